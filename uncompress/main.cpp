// qz_uncompress: extracts every file of each .qz archive it is given into a fresh directory beside
// the archive.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "qz_filefunc.h" // print, die
#include "qz_platform.h" // chdir
#include "qz_uncompress.h"

static int force_overwrite = 0; // -f is accepted for symmetry with the packer; nothing is replaced

static void usage(const char *name) {
    print(0,
          "Usage: %s <options> file.qz [file.qz ...]\n -j threads (one per processor by default)\n"
          " -q no progress line for large files\n"
          " -o directory: extract into it (made when missing; nothing in it is replaced)\n"
          " --include pattern, --exclude pattern: extract only the matching entries\n"
          " --help this text; --version the version\n",
          name);
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    print(0, "qz_uncompress 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    unpack_threads = default_threads();
    std::vector<std::string> archives;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (standard_option(arg, usage, argv[0]))
            return 0;
        if (arg[0] == '-') {
            switch (arg[1]) {
            case 'f':
                force_overwrite = 1;
                break;
            case 'q':
                show_progress = 0;
                break;
            case 'o':
                if (++i >= argc || argv[i][0] == '\0') {
                    usage(argv[0]);
                    return -1;
                }
                output_to = typed_path(argv[i]);
                break;
            case '-': {
                const bool include = strcmp(arg, "--include") == 0;
                if (!include && strcmp(arg, "--exclude") != 0) {
                    print(0, "Unknown option %s \n", arg);
                    usage(argv[0]);
                    return -1;
                }
                if (++i >= argc) {
                    usage(argv[0]);
                    return -1;
                }
                entry_patterns.push_back({stored_pattern(argv[i]), argv[i], include, false});
                break;
            }
            case 'b': // a base directory only the packer uses; its value is passed over
                if (++i >= argc) {
                    usage(argv[0]);
                    return -1;
                }
                break;
            case 'j':
                if (++i >= argc || (unpack_threads = threads_option(argv[i])) == 0) {
                    usage(argv[0]);
                    return -1;
                }
                break;
            default:
                print(0, "Unknown option %s \n", arg);
                return -1;
            }
        } else {
            archives.push_back(typed_path(arg));
        }
    }
    if (archives.empty()) {
        usage(argv[0]);
        return -1;
    }
    // -o names a directory from here, whichever archive's directory is entered.
    if (!output_to.empty() && plat_mark_dir() != 0)
        die("can't keep the working directory: %s\n", strerror(errno));
    for_each_file(archives, extractqzarchive);
    return 0;
}

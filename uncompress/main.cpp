// qz_uncompress: extracts every file of a .qz archive into a fresh directory beside it.
#include <cerrno>
#include <cstring>
#include <string>

#include "qz_filefunc.h" // print, die
#include "qz_platform.h" // chdir
#include "qz_uncompress.h"

static int force_overwrite = 0; // -f is accepted for symmetry with the packer; nothing is replaced

static void usage(const char *name) {
    print(0, "Usage: %s <options> file.qz\n -j threads (one per processor by default)\n", name);
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    print(0, "qz_uncompress 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    unpack_threads = default_threads();
    std::string workdir = ".";
    const char *archivename = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-') {
            switch (arg[1]) {
            case 'f':
                force_overwrite = 1;
                break;
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
        } else if (archivename == nullptr) {
            // The archive's directory, as typed with either separator, is entered at once.
            archivename = plat_file_part(arg);
            if (const std::string dir = directory_part(arg); !dir.empty()) {
                workdir = dir;
                if (plat_chdir(workdir.c_str()) != 0)
                    die("chdir('%s') failed: %s\n", workdir.c_str(), strerror(errno));
            }
        }
    }
    if (archivename == nullptr) {
        usage(argv[0]);
        return -1;
    }
    print(0, "working dir: %s\n", workdir.c_str());
    extractqzarchive(archivename);
    return 0;
}

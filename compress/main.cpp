// qz_compress: packs the files below one directory into a .qz archive.
#include <cstring>
#include <string>
#include <vector>

#include "qz_compress.h"
#include "qz_filefunc.h" // print, die
#include "qz_platform.h" // stat

static void usage(const char *name) {
    print(0,
          "Usage: %s <options> directory <file>\n"
          " -f force overwrite\n"
          " -u update: replace the archive, copying the streams of unchanged files from it\n"
          " -b basedirectory\n"
          " -p fullpath\n"
          " --exclude pattern\n"
          " -j threads (one per processor by default)\n"
          " -q no progress line for large files\n"
          " -0 ... -9 compression level (0 stores; zlib's default by default)\n"
          " --sort files of each directory in byte order of their names\n"
          " --help this text; --version the version\n",
          name);
}

// The directory as the scan takes it, and the archive's name when none is given. A separator at
// the end, as tab completion leaves it, is not part of the name: "mod\" is packed into "mod.qz"
// beside it, not into "mod\.qz" inside it. Where the typed name is not the folder's own (".",
// "..", "D:"), the folder's real name is taken and the archive goes beside the folder. A root
// keeps its separator and, having no name of its own, gives "root.qz" for "/", "D.qz" for "D:\"
// and "share.qz" for "\\host\share", in the working directory.
static void directory_names(const std::string &arg, std::string *directory, std::string *archive) {
    std::string dir = arg;
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/'))
        dir.pop_back();
    const bool bare_root = dir.empty() || (dir.size() == 2 && dir[1] == ':');
    *directory = bare_root && dir.size() < arg.size() ? dir + arg[dir.size()] : dir;
    *archive = dir + ".qz";
    std::string full;
    size_t root = 0;
    if (plat_full_path(arg.c_str(), &full, &root) != 0)
        return;
    if (full.size() <= root) {
        std::string name = full;
        while (!name.empty() && (name.back() == '\\' || name.back() == '/'))
            name.pop_back();
        name = !name.empty() && name.back() == ':' ? name.substr(name.size() - 2, 1)
                                                   : std::string(plat_file_part(name.c_str()));
        *archive = (name.empty() ? std::string("root") : name) + ".qz";
        return;
    }
    const std::string last = plat_file_part(dir.c_str());
    if (last.empty() || last == "." || last == "..")
        *archive = full + ".qz";
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    print(0, "qz_compress 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    const char *directory = nullptr;
    std::string scan_root, default_name;
    std::string filename;
    bool has_filename = false;
    const char *basepath = nullptr, *fullpath = nullptr, *info = nullptr, *threads = nullptr;
    std::vector<std::string> patterns, typed; // stored names' separators, and as typed
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (standard_option(arg, usage, argv[0]))
            return 0;
        if (arg[0] != '-') {
            if (has_filename) { // a directory and an archive at most
                usage(argv[0]);
                return -1;
            }
            if (directory != nullptr) {
                filename = typed_path(arg);
                has_filename = true;
                continue;
            }
            const std::string path = typed_path(arg);
            plat_stat_info st;
            if (plat_stat(path.c_str(), &st) != 0)
                die("Can't determine type of %s, stat failed\n", arg);
            if (st.mode != PLAT_S_IFDIR)
                die("%s doesn't seem to be a directory\n", arg);
            directory_names(path, &scan_root, &default_name);
            directory = scan_root.c_str();
            continue;
        }
        const char **value = nullptr; // null for --exclude
        switch (arg[1]) {
        case 'f':
            force_overwrite = 1;
            continue;
        case 'u': // replaces the archive, as -f does, taking what it can from it
            update_archive = 1;
            force_overwrite = 1;
            continue;
        case 'q':
            show_progress = 0;
            continue;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            if (arg[2] != '\0') {
                usage(argv[0]);
                return -1;
            }
            pack_level = arg[1] - '0';
            continue;
        case 'b':
            value = &basepath;
            break;
        case 'p':
            value = &fullpath;
            break;
        case 'i':
            value = &info;
            break;
        case 'j':
            value = &threads;
            break;
        case '-':
            if (strcmp(arg, "--sort") == 0) {
                sort_names = 1;
                continue;
            }
            // A mistyped option would otherwise be taken for the archive's name.
            if (strcmp(arg, "--exclude") != 0) {
                print(0, "Unknown option %s \n", arg);
                usage(argv[0]);
                return -1;
            }
            break;
        default:
            print(0, "Unknown option %s \n", arg);
            return -1;
        }
        if (++i >= argc) {
            usage(argv[0]);
            return -1;
        }
        if (value == &threads && threads_option(argv[i]) == 0) {
            usage(argv[0]);
            return -1;
        }
        if (value != nullptr) {
            *value = argv[i];
            continue;
        }
        typed.emplace_back(argv[i]);
        patterns.push_back(stored_pattern(argv[i]));
        print(1, "Excluding: %s\n", argv[i]);
    }
    pack_threads = threads != nullptr ? threads_option(threads) : default_threads();
    if (directory == nullptr) {
        usage(argv[0]);
        return -1;
    }
    const std::string name = has_filename ? filename : default_name;
    // Each pattern is put in front of the ones before it; any single match excludes a file.
    std::vector<exclude_pattern> nodes(patterns.size());
    exclude_pattern *excludes = nullptr;
    for (size_t i = 0; i < patterns.size(); i++) {
        nodes[i] = {patterns[i].data(), excludes, 0};
        excludes = &nodes[i];
    }

    flist *first = check_flist(getfilelist(directory, nullptr, nullptr, excludes));
    // A pattern that leaves nothing out is most likely mistyped.
    for (size_t i = 0; i < nodes.size(); i++)
        if (!nodes[i].used)
            print(0, "[warn] --exclude %s left out no file\n", typed[i].c_str());
    first = drop_archive_itself(first, name.c_str());
    createqzarchive(name.c_str(), first, basepath, fullpath, info);

    free_flist(first);
    return 0;
}

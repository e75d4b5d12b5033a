// qz_import: converts one OBJ model, the MTL libraries it names and its optional paths file into
// the engine's object file and one material file per material.
#include <cerrno>
#include <cstring>

#include "qz_filefunc.h" // print, die
#include "qz_platform.h" // chdir
#include "qzobj_import.h"

static void usage(const char *name) {
    print(0, "Usage: %s <options> <OBJ file>\n -f force overwrite\n -v verbose output\n", name);
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    print(0, "qz_import 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    std::string path;
    const char *filename = nullptr;
    for (int i = 1; i < argc; i++) {
        char *arg = argv[i];
        if (arg[0] == '-') {
            if (arg[1] == 'f') {
                force_overwrite = 1;
            } else if (arg[1] == 'v') {
                verbose = arg[2] == '2' ? 2 : 1;
            } else {
                print(0, "Unknown option %s \n", arg);
                usage(argv[0]);
                return -1;
            }
            continue;
        }
        // The model's directory, as typed with either separator, is entered at once.
        path = directory_part(arg);
        filename = plat_file_part(arg);
        if (path.empty())
            path.assign(1, '.');
        else if (plat_chdir(path.c_str()) != 0)
            die("chdir('%s') failed: %s\n", path.c_str(), strerror(errno));
    }
    if (filename == nullptr) {
        usage(argv[0]);
        return -1;
    }

    allocate_lists();
    print(0, "working dir: %s\n", path.c_str());
    import_model(filename);
    return 0;
}

// qz_import: converts each OBJ model it is given, the MTL libraries it names and its optional
// paths file into the engine's object file and one material file per material.
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qz_filefunc.h" // print, die
#include "qz_platform.h" // chdir
#include "qzobj_import.h"

static void usage(const char *name) {
    print(0,
          "Usage: %s <options> <OBJ file> [OBJ file ...]\n -f force overwrite\n -v verbose output\n"
          " --help this text; --version the version\n"
          " A model may also be glTF 2.0 (.gltf, .glb): the file's content decides\n",
          name);
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    // The lists grow with the model: memory that runs out ends the run as any failure does.
    std::set_new_handler([] { die("out of memory\n"); });
    print(0, "qz_import 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    std::vector<std::string> models;
    for (int i = 1; i < argc; i++) {
        char *arg = argv[i];
        if (standard_option(arg, usage, argv[0]))
            return 0;
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
        models.push_back(typed_path(arg));
    }
    if (models.empty()) {
        usage(argv[0]);
        return -1;
    }

    for_each_file(models, [](const char *model) {
        import_model(model);
        reset_import_state();
    });
    return 0;
}

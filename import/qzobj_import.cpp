// qz_import: converts one OBJ model, the MTL libraries it names and its optional paths file into
// the engine's object file and one material file per material.
#include "qzobj_import.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qz_filefunc.h" // print, die, file-name helpers
#include "qz_platform.h" // chdir

int force_overwrite = 0;
int verbose = 0;
char *obj_name = nullptr;

unsigned num_v = 0, num_vn = 0, num_vt = 0;
float *v_list = nullptr;
float *vn_list = nullptr;
float *vt_list = nullptr;

unsigned nventries = 0;
v_entry *v_entries = nullptr;
unsigned nindices = 0;
v_entry **v_indices = nullptr;

unsigned nmaterials = 0;
material *material_list = nullptr;
material *act_mat = nullptr;

path_data_ll *path_list = nullptr;

void *xcalloc(size_t count, size_t size) {
    void *p = calloc(count, size);
    if (p == nullptr)
        die("out of memory\n");
    return p;
}

char *xstrdup(const char *s) {
    const size_t len = strlen(s) + 1;
    return static_cast<char *>(memcpy(xcalloc(len, 1), s, len));
}

static void usage(const char *name) {
    print(0, "Usage: %s <options> <OBJ file>\n -f force overwrite\n -v verbose output\n", name);
}

// The three attribute lists share one block; the triangle corners have their own.
static void allocate_lists() {
    constexpr size_t xyz = size_t{MAX_LIST_SIZE} * 3;
    v_list = static_cast<float *>(malloc((xyz + xyz + size_t{MAX_LIST_SIZE} * 2) * sizeof(float)));
    v_indices = static_cast<v_entry **>(malloc(size_t{MAX_LIST_SIZE} * 3 * sizeof(v_entry *)));
    if (v_list == nullptr || v_indices == nullptr)
        die("out of memory\n");
    vn_list = v_list + xyz;
    vt_list = vn_list + xyz;
}

int main(int argc, char **argv) {
    plat_binary_stdio();
    print(0, "qz_import 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    const char *path = nullptr;
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
        // Only the backslash separates directories on the command line. The argument itself is
        // cut in two, so the directory part stays valid for the working-directory line.
        char *sep = strrchr(arg, '\\');
        if (sep == nullptr) {
            path = ".";
            filename = arg;
        } else {
            *sep = '\0';
            path = arg;
            filename = sep + 1;
            if (plat_chdir(path) != 0)
                die("chdir('%s') failed: %s\n", path, strerror(errno));
        }
    }
    if (filename == nullptr) {
        usage(argv[0]);
        return -1;
    }

    allocate_lists();
    char *basefilename = filename_noext(filename);
    print(0, "working dir: %s\n", path);

    read_obj_file(filename);

    char *path_filename = make_path(nullptr, basefilename, ".paths");
    char *object_filename = make_path(nullptr, basefilename, ".object");
    path_list = read_paths_file(path_filename);
    if (obj_name == nullptr) {
        obj_name = xstrdup(basefilename);
        print(0, "[warn] No object name found, falling back to %s\n", obj_name);
    }
    write_object_file(object_filename);
    write_material_files();

    free(path_filename);
    free(object_filename);
    free(basefilename);
    return 0;
}

// qz_import's state and the order of its phases: the OBJ file with the MTL libraries it names,
// the paths file, then the object file and one material file per material.
#include "qzobj_import.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qz_filefunc.h" // print, die, file-name helpers

int force_overwrite = 0;
int verbose = 0;
char *obj_name = nullptr;

unsigned num_v = 0, num_vn = 0, num_vt = 0;
std::vector<float> v_list;
std::vector<float> vn_list;
std::vector<float> vt_list;

unsigned nventries = 0;
v_entry *v_entries = nullptr;
unsigned nindices = 0;
std::vector<uint32_t> v_indices;

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

void import_model(const char *filename) {
    char *noext = filename_noext(filename);
    const std::string basefilename(noext);
    free(noext);

    read_obj_file(filename);

    const std::string path_filename = basefilename + ".paths";
    const std::string object_filename = basefilename + ".object";
    path_list = read_paths_file(path_filename.c_str());
    if (obj_name == nullptr) {
        obj_name = xstrdup(basefilename.c_str());
        print(0, "[warn] No object name found, falling back to %s\n", obj_name);
    }
    write_object_file(object_filename.c_str());
    write_material_files();
    commit_outputs();
}

void reset_import_state() {
    reset_obj_reader();
    while (material_list != nullptr) {
        material *next = material_list->next;
        free(material_list->name);
        free(material_list->texture);
        free(material_list->qzmat);
        free(material_list->diffusemap);
        free(material_list->normalmap);
        free(material_list->specularmap);
        free(material_list);
        material_list = next;
    }
    nmaterials = 0;
    free_path_list(path_list);
    path_list = nullptr;
    free(obj_name);
    obj_name = nullptr;
    num_v = num_vn = num_vt = 0;
    // Emptied and given back: the next model may be a small one.
    for (std::vector<float> *list : {&v_list, &vn_list, &vt_list})
        std::vector<float>().swap(*list);
    std::vector<uint32_t>().swap(v_indices);
    nindices = 0;
    act_mat = nullptr;
}

// qz_import's state and the order of its phases: the OBJ file with the MTL libraries it names,
// the paths file, then the object file and one material file per material.
#include "qzobj_import.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qz_filefunc.h" // print, die, file-name helpers
#include "qz_platform.h" // descriptor I/O

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

std::string joined_names(const std::vector<std::string> &names) {
    constexpr size_t shown = 8;
    std::string s;
    for (size_t i = 0; i < names.size() && i < shown; i++)
        s += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > shown)
        s += formatted(" and %zu more", names.size() - shown);
    return s;
}

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

// Whether the model is glTF: then *bytes holds the whole file. An OBJ file is left to its
// reader, which reads it line by line.
static bool model_may_be_gltf(const char *filename, std::vector<unsigned char> *bytes) {
    const int fd = plat_open_read(filename);
    if (fd < 0)
        return false; // the OBJ reader says why
    unsigned char first[4096];
    const size_t got = read_all(fd, first, sizeof first);
    const bool candidate = may_be_gltf(first, got);
    if (candidate) {
        bytes->assign(first, first + got);
        if (got == sizeof first && !read_to_end(fd, bytes))
            die("read(): %s\n", strerror(errno));
    }
    plat_close(fd);
    return candidate && is_gltf(*bytes);
}

void import_model(const char *filename) {
    char *noext = filename_noext(filename);
    const std::string basefilename(noext);
    free(noext);

    // The reader goes by what the file holds, not by its name.
    std::vector<unsigned char> head;
    if (model_may_be_gltf(filename, &head))
        read_gltf_file(filename, head);
    else
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
    write_embedded_images();
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
    embedded_images.clear();
}

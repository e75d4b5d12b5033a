// qz_import's state and phases. The driver allocates the lists, the OBJ and MTL readers fill
// them, and the two writers turn them into the object file and one material file per material.
// Everything a run builds lives until the process ends; the program frees nothing one by one.
#ifndef QZOBJ_IMPORT_H
#define QZOBJ_IMPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qz.h"
#include "qz_path.h"

// The lists grow as the model needs; what bounds them is the object file. Its counts and indices
// are 32-bit, so an attribute list holds at most MAX_ELEMENTS (one index stays free for the
// texture coordinate of corners without one). The file must stay under 2 GiB: the 12 bytes of
// each triangle's indices alone bound the triangles, and each material's record the materials.
constexpr uint32_t MAX_ELEMENTS = UINT32_MAX - 1;
constexpr uint64_t MAX_OBJECT_FILE = INT32_MAX;
constexpr uint32_t MAX_TRIANGLES = MAX_OBJECT_FILE / 12;
constexpr uint32_t MAX_MATERIALS = MAX_OBJECT_FILE / (sizeof(qz_chunk) + sizeof(qz_material));

// One distinct (position, texture coordinate, normal) triple used by a face corner; all three
// indices are zero-based.
struct v_entry {
    unsigned idx; // place in the written vertex array, set by the object writer
    unsigned v_idx;
    unsigned vt_idx;
    unsigned vn_idx;
    v_entry *next; // next greater triple
};

struct material {
    char *name;
    char *texture; // file of the last map_Kd, kept for reference only
    unsigned run;  // 1 + the place of its first "usemtl" among the materials used; 0 while unused
    qz_material *qzmat;
    qz_tex *diffusemap;
    qz_tex *normalmap;
    qz_tex *specularmap;
    material *next;
};

extern int force_overwrite;
extern int verbose;
extern char *obj_name;

extern unsigned num_v, num_vn, num_vt;
extern std::vector<float> v_list;  // 3 floats per position
extern std::vector<float> vn_list; // 3 floats per normal
extern std::vector<float> vt_list; // 2 floats per texture coordinate

extern unsigned nventries;
extern v_entry *v_entries; // ascending by (v_idx, vt_idx, vn_idx), no two alike; linked
                           // once the whole OBJ file is read
extern unsigned nindices;  // triangles read
// Three corners per triangle, each material's triangles together: the place of each corner's
// vertex in the written vertex array.
extern std::vector<uint32_t> v_indices;
extern unsigned nmaterials;
extern material *material_list; // in order of first definition
extern material *act_mat;       // the material whose faces are being read

extern path_data_ll *path_list;

// Zero-filled memory, or the end of the run.
void *xcalloc(size_t count, size_t size);
char *xstrdup(const char *s);
// Names for a line of text: the first few, and how many more there are.
std::string joined_names(const std::vector<std::string> &names);

// Every phase after the command line: reads the model (a name relative to the current
// directory), its libraries and its paths file, then writes the object and material files.
void import_model(const char *filename);
// Frees what an import built and sets the state back to its start, so that one process can
// import model after model: the fuzzing harness does.
void reset_import_state();

// A face corner as the OBJ file writes it: zero-based indices, and whether the corner leaves
// out its texture coordinate ("v", "v//vn") or its normal ("v", "v/vt").
struct obj_corner {
    unsigned v, vt, vn;
    bool no_vt, no_vn;
};
// A face: its corners, the line it stands on, its material's run (0 for none) and its smoothing
// group (0 for a flat face: "s off", "s 0", "s" alone or no "s").
constexpr uint64_t SMOOTHING_ON = uint64_t{1} << 32; // "s on": no numbered group is this one
struct obj_face {
    unsigned first_corner;
    unsigned count;
    unsigned line;
    unsigned run;
    uint64_t smooth; // 0 for none, SMOOTHING_ON for "s on", else its number
};

int read_obj_file(const char *filename);
// Whether a model file's bytes are glTF: a binary file's magic, or a JSON document with an
// "asset" object.
bool is_gltf(const std::vector<unsigned char> &bytes);
// Whether a file that begins with these bytes may be glTF: a binary file's magic, or '{' after
// a UTF-8 byte order mark and white space.
bool may_be_gltf(const unsigned char *head, size_t n);
// Appends what fd holds from its position to its end; false with errno set on a read error.
bool read_to_end(int fd, std::vector<unsigned char> *bytes);
void read_gltf_file(const char *filename, const std::vector<unsigned char> &bytes);
// An image a glTF model holds inside it, to be written beside the outputs under name.
struct embedded_image {
    std::string name;
    int index; // in the model's images
    std::vector<unsigned char> bytes;
};
extern std::vector<embedded_image> embedded_images;
void write_embedded_images();
// Gives every corner without a normal one made from the positions: the normal of its face, or in
// a smoothing group the angle-weighted mean of the normals of the group's faces at its position.
// The normals made join vn_list; filename names the model when they do not fit.
void compute_normals(const obj_face *faces, size_t nfaces, obj_corner *corners,
                     const char *filename);
// Splits a polygon of count >= 3 corners into count - 2 triangles that keep its winding: three
// corner numbers (0 to count - 1) per triangle into triangles.
void triangulate_polygon(const qz_vec *corners, unsigned count, unsigned *triangles);
// Turns the faces, every corner's indices checked, into the object: what the corners leave out
// filled in (missing_texture: some lack a texture coordinate, missing_normals: some lack a normal
// or have one of no length), vertex entries (v_entries), polygons split into triangles
// (v_indices), each material's triangles in one run with its ranges. runs lists the materials in
// the order of their first use: a face's run is the place of its material there + 1, or 0 for
// none. filename names the model in messages.
void build_object(const std::vector<obj_face> &faces, std::vector<obj_corner> &corners,
                  const std::vector<material *> &runs, const char *filename, bool missing_texture,
                  bool missing_normals);
// Drops every vertex entry, for the next import.
void reset_object_builder();
// Drops every vertex entry, polygon and material run the OBJ reader holds, for the next import.
void reset_obj_reader();
void read_mtl_file(const char *filename);
// Whether a material of this name can have its file in the working directory (no separator, no
// "..", a name the system can hold); *twin is the material whose record and file name it shares,
// or null.
bool material_file_allowed(const char *name, const material **twin);
// A new material at the end of the list, with the engine's defaults; the name is not checked.
material *add_material(const char *name);
// Fills a texture slot afresh, with its defaults: slot 0 diffuse, 1 specular, 2 normal.
enum { SLOT_DIFFUSE, SLOT_SPECULAR, SLOT_NORMAL };
void set_texture(material *m, int slot, const char *file);
// Opacity 0 to 1 as the record's byte, held at the nearest end.
uint8_t opacity_byte(float d);
material *material_exists(material *m, const char *materialname);
void write_object_file(const char *filename);
void write_material_files();

#endif

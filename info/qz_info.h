// qz_info's readers and writers. One reader per file kind walks the chunk tree front to back,
// shows what it meets (unless the run is quiet) and reports every broken rule of the format as
// it goes; the export writers work from what the object reader collected.
#ifndef QZ_INFO_H
#define QZ_INFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qz.h"
#include "qz_filefunc.h" // QZ_PRINTF

// The file being read. Every budget of the walk stays inside `length`, so a damaged size never
// makes a read run past the end of the file (which would end the run) or an allocation exceed
// what the file holds.
struct info_reader {
    int fd;
    const char *filename;
    uint64_t length;
    unsigned violations;
    int show; // print the tree and the records; reports of broken rules appear either way
};

// A chunk met by the walk. `left` is its budget: data bytes not yet consumed, never more than
// the file holds behind the current position.
struct info_chunk {
    uint32_t pos; // file offset of its header
    uint32_t type;
    uint32_t size; // as stored
    uint32_t left;
    unsigned level;
};

// Name of a chunk type for the tree and the reports; "UNKNOWN_CHUNK(0x........)" for types no
// format knows.
std::string chunk_type_name(uint32_t type);

// Reports one broken rule about chunk c and counts it.
void info_bad(info_reader *r, const info_chunk *c, const char *fmt, ...) QZ_PRINTF(3, 4);
// print at level, only when the run shows the file.
void info_show(const info_reader *r, unsigned level, const char *fmt, ...) QZ_PRINTF(3, 4);

// Opens the file, whose top chunk must be of type `type`, and returns its top chunk; reports a
// top chunk size that disagrees with the file's length.
info_chunk info_open(info_reader *r, const char *filename, uint32_t type, const char *typestr);
// Reads the header of the next child of parent. Returns 0 when the parent has no more; a child
// that claims more than its parent holds is reported and cut to what is there.
int info_next_child(info_reader *r, info_chunk *parent, info_chunk *child);
// Reads len bytes of c's data; returns 0 (nothing read) when c holds fewer than that.
int info_read(info_reader *r, info_chunk *c, void *dst, uint32_t len);
// Moves past what is left of c.
void info_skip(info_reader *r, info_chunk *c);

// The children a parent may hold, in the order they must come: each slot takes one or two
// types, at least min and at most max times.
struct child_slot {
    uint32_t type, alt;
    unsigned min, max;
    const char *what; // the slot's name in a report of a missing one
};
struct child_order {
    const child_slot *slots;
    size_t nslots;
    size_t at;          // furthest slot reached so far
    unsigned count[4];  // children accepted per slot
    uint32_t last_type; // type of the last accepted child
};
// Returns 1 when child is read as a child of its kind (also when it stands out of order, which
// is reported), 0 when it is reported as misplaced and must be skipped.
int order_accept(info_reader *r, const info_chunk *parent, child_order *o, const info_chunk *child);
// Reports the slots that stayed below their minimum.
void order_finish(info_reader *r, const info_chunk *parent, const child_order *o);

// A fixed name field as text: up to its first NUL, all of it when it has none.
std::string field_text(const char *field, size_t len);
// Text for showing and reports: control characters and backslashes escaped as \xNN.
std::string shown_text(const char *text, size_t len);
// A fixed name field so.
std::string shown_field(const char *field, size_t len);

// What is wrong with a name field, or null when nothing is: a line feed would end the line an
// export writes it on (every other byte reads back as it was written), and a name that names a
// file (names_file: a material's) may hold no separator or drive and be no "..", or its file
// would lie outside the object's folder.
const char *name_fault(const char *field, size_t len, bool names_file);
// Reports the fault of a name field as a violation of chunk c; what names the field.
void check_name(info_reader *r, const info_chunk *c, const char *what, const char *field,
                size_t len, bool names_file);

// ---- Archive ----
void read_archive(info_reader *r, info_chunk *top);

// ---- Object and material files ----
struct info_material {
    qz_material rec;
    uint32_t pos;    // header of its chunk, for reports
    int have_tex[3]; // diffuse, specular, normal
    qz_tex tex[3];
};

struct info_object {
    qz_object obj;
    std::vector<qz_vertex> vertices;
    std::vector<uint32_t> indices;
    std::vector<info_material> materials;
    std::vector<qz_path> paths;
};

void read_object(info_reader *r, info_chunk *top, info_object *out);
void read_material_file(info_reader *r, info_chunk *top, info_material *out);
// With -c: each material file beside the object must hold the object's record of that material.
// Files of two runs (an import killed in the middle of its renames) differ there.
void check_material_files(info_reader *r, const info_object *o);

// ---- Export ----
extern int force_overwrite;
// Writes the OBJ, its MTL beside it when there are materials and a paths file when there are
// path points. objectname names the object file in the comments; texture slots come from the
// material files beside it. The files are staged: they take their names at commit_outputs.
void export_obj(const info_object *o, const char *objectname, const char *objfile);
void export_path_markers(const info_object *o, const char *objectname, const char *objfile);

#endif

// The OBJ reader: positions, texture coordinates and normals into the fixed lists, triangles into
// de-duplicated vertex entries, the object name, and one run of faces per material.
#include "qzobj_import.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <tuple>

#include "qz_filefunc.h" // parser, print, die
#include "qz_platform.h" // close

// Line of each triangle, for reporting a corner whose element the file never defines: that can
// only be known once the whole file has been read.
static unsigned face_line[MAX_LIST_SIZE];

// Every vertex entry by its triple. The map orders triples as the list does, so the entry a new
// triple goes behind is its neighbour in the map; at the limits a linear walk of the list for
// each of 98,304 corners would make the import quadratic.
using triple = std::tuple<unsigned, unsigned, unsigned>;
static std::map<triple, v_entry *> v_entry_index;

static void read_floats_to_list(char *p, float *array, unsigned elem_count, unsigned num,
                                parser *parser) {
    if (elem_count == MAX_LIST_SIZE)
        die("MAX_LIST_SIZE(%u) reached (line: %u)\n", MAX_LIST_SIZE, parser->nline);
    for (unsigned i = 0; i < num; i++)
        array[elem_count * num + i] = read_float(p, &p, parser);
}

static v_entry *get_v_entry(unsigned v_idx, unsigned vt_idx, unsigned vn_idx) {
    const triple key{v_idx, vt_idx, vn_idx};
    const auto next = v_entry_index.lower_bound(key);
    if (next != v_entry_index.end() && next->first == key)
        return next->second;

    auto *e = static_cast<v_entry *>(xcalloc(1, sizeof(v_entry)));
    e->v_idx = v_idx;
    e->vt_idx = vt_idx;
    e->vn_idx = vn_idx;
    if (next == v_entry_index.begin()) {
        e->next = v_entries;
        v_entries = e;
    } else {
        v_entry *prev = std::prev(next)->second;
        e->next = prev->next;
        prev->next = e;
    }
    v_entry_index.emplace_hint(next, key, e);
    nventries++;
    return e;
}

static void expect_slash(parser *parser, const char *p) {
    if (*p != '/')
        die_parser(parser, p, "expected index or /\n");
}

// One corner "v/vt/vn". OBJ counts from 1; an index of 0 wraps to the largest unsigned value and
// is caught with the other undefined indices after the file is read.
static v_entry *parse_indices(char *p, char **end, parser *parser) {
    parser->errinfo = "face definition needs vertex & tex & normal index";
    const unsigned v_idx = read_uint(p, &p, parser) - 1;
    expect_slash(parser, p);
    parser->errinfo = "missing texture index, uv map coordinates created and exported?";
    const unsigned vt_idx = read_uint(p + 1, &p, parser) - 1;
    expect_slash(parser, p);
    parser->errinfo = "missing normal index, exported normals?";
    const unsigned vn_idx = read_uint(p + 1, &p, parser) - 1;
    *end = p;
    return get_v_entry(v_idx, vt_idx, vn_idx);
}

// Only the first three corners count: the rest of a polygon is dropped.
static void read_face_def(char *p, parser *parser) {
    if (nindices == MAX_LIST_SIZE)
        die("reached MAX_LIST_SIZE(%u)\n", MAX_LIST_SIZE);
    v_entry **corners = v_indices + 3 * nindices;
    for (int i = 0; i < 3; i++)
        corners[i] = parse_indices(p, &p, parser);
    face_line[nindices] = parser->nline;
    nindices++;
}

static void close_run(material *m) {
    m->qzmat->idx_num = 3 * nindices - m->qzmat->idx_start;
    m->qzmat->vert_num = nventries - m->qzmat->vert_start;
}

static void set_active_material(const char *name, unsigned linenumber) {
    material *m = material_exists(material_list, name);
    if (m == nullptr)
        die("'%s' - unknown material on line %u\n", name, linenumber);
    if (m == act_mat)
        return;
    if (m->material_used)
        die("'%s' material reusing not supported yet on line %u\n", name, linenumber);
    m->material_used = 1;
    m->qzmat->idx_start = 3 * nindices;
    m->qzmat->vert_start = nventries;
    if (act_mat != nullptr)
        close_run(act_mat);
    act_mat = m;
}

static void set_object_name(const char *name, unsigned linenumber) {
    if (obj_name != nullptr)
        die("can't handle more than one obj mesh in file on line %u\n", linenumber);
    if (strncmp(name, "Mesh_", 5) == 0)
        name += 5;
    obj_name = xstrdup(name);
}

// The text behind a keyword and its one blank at the start of the line, or null.
static char *statement(char *line, const char *keyword) {
    const size_t len = strlen(keyword);
    return strncmp(line, keyword, len) == 0 ? line + len : nullptr;
}

static void read_obj_parse_line(parser *parser) {
    char *line = parser->line;
    char *rest = nullptr;
    if ((rest = statement(line, "v ")) != nullptr)
        read_floats_to_list(rest, v_list, num_v++, 3, parser);
    else if ((rest = statement(line, "vt ")) != nullptr)
        read_floats_to_list(rest, vt_list, num_vt++, 2, parser);
    else if ((rest = statement(line, "vn ")) != nullptr)
        read_floats_to_list(rest, vn_list, num_vn++, 3, parser);
    else if ((rest = statement(line, "f ")) != nullptr)
        read_face_def(rest, parser);
    else if ((rest = statement(line, "o ")) != nullptr)
        set_object_name(rest, parser->nline);
    else if ((rest = statement(line, "mtllib ")) != nullptr)
        read_mtl_file(rest);
    else if ((rest = statement(line, "usemtl ")) != nullptr)
        set_active_material(rest, parser->nline);
}

static void check_index(unsigned idx, unsigned count, const char *kind, unsigned line) {
    if (idx >= count)
        die("face on line %u: %s index %u is out of range (the file defines %u)\n", line, kind,
            idx + 1, count);
}

// The writer reads the lists without bounds, so nothing undefined may reach it.
static void check_face_indices() {
    for (unsigned t = 0; t < nindices; t++) {
        for (unsigned c = 0; c < 3; c++) {
            const v_entry *e = v_indices[3 * t + c];
            check_index(e->v_idx, num_v, "position", face_line[t]);
            check_index(e->vt_idx, num_vt, "texture", face_line[t]);
            check_index(e->vn_idx, num_vn, "normal", face_line[t]);
        }
    }
}

int read_obj_file(const char *filename) {
    parser *parser = init_parser(filename);
    while (parser->line != nullptr) {
        read_obj_parse_line(parser);
        parser_read_line(parser);
    }
    plat_close(parser->fd);
    free(parser);
    if (act_mat != nullptr)
        close_run(act_mat);
    check_face_indices();
    return 0;
}

// The OBJ reader: positions, texture coordinates and normals into the fixed lists, triangles into
// de-duplicated vertex entries, the object name, and one run of triangles per material. Polygons
// are split into triangles.
#include "qzobj_import.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qz_filefunc.h" // parser, print, die

// Line of each triangle, for reporting a corner whose element the file never defines: that can
// only be known once the whole file has been read.
static unsigned face_line[MAX_LIST_SIZE];
// The material run of each triangle: its material's run, 0 before the first "usemtl".
static unsigned face_run[MAX_LIST_SIZE];
// The materials in the order of their first "usemtl": a material's run is its place here + 1.
static std::vector<material *> runs;

// Faces of four corners or more. Their triangles stand in the list as a fan from the first
// corner until the whole file is read; only then are all positions known (a face may name one
// that the file defines further down), and the polygon is split for real.
struct polygon {
    unsigned first_triangle;
    unsigned first_corner; // in polygon_corners
    unsigned count;
};
static std::vector<polygon> polygons;
static std::vector<v_entry *> polygon_corners;
static std::vector<v_entry *> face_corners; // of the face being read

// The vertex entries in the order they were made, at most three per triangle, allocated once
// like the lists. They are found by their triple through a hash table of open addressing whose
// slots hold an entry's place + 1 (0 for a free slot). The table doubles whenever half of it
// would be in use, so a small model touches little memory and the runs stay short at the limits.
// The sorted list is linked once the whole file is read: no corner costs more than a few probes.
static v_entry *entry_block;
static uint32_t *entry_slots;
static unsigned entry_slot_bits; // 2^entry_slot_bits slots; 0 while there is no table

static unsigned entry_slot(unsigned v_idx, unsigned vt_idx, unsigned vn_idx) {
    const uint64_t key = uint64_t{v_idx} << 42 ^ uint64_t { vt_idx } << 21 ^ vn_idx;
    return static_cast<unsigned>(key * 0x9E3779B97F4A7C15ull >> (64 - entry_slot_bits));
}

// Makes the first table of 4096 slots, or one twice the size, and enters every entry afresh.
static void grow_entry_slots() {
    free(entry_slots);
    entry_slot_bits = entry_slot_bits == 0 ? 12 : entry_slot_bits + 1;
    const unsigned mask = (1u << entry_slot_bits) - 1;
    entry_slots = static_cast<uint32_t *>(xcalloc(size_t{mask} + 1, sizeof(uint32_t)));
    for (uint32_t i = 0; i < nventries; i++) {
        const v_entry &e = entry_block[i];
        unsigned s = entry_slot(e.v_idx, e.vt_idx, e.vn_idx);
        while (entry_slots[s] != 0)
            s = (s + 1) & mask;
        entry_slots[s] = i + 1;
    }
}

static void read_floats_to_list(char *p, float *array, unsigned elem_count, unsigned num,
                                parser *parser) {
    if (elem_count == MAX_LIST_SIZE)
        die("MAX_LIST_SIZE(%u) reached (line: %u)\n", MAX_LIST_SIZE, parser->nline);
    for (unsigned i = 0; i < num; i++)
        array[elem_count * num + i] = read_float(p, &p, parser);
}

static v_entry *get_v_entry(unsigned v_idx, unsigned vt_idx, unsigned vn_idx) {
    if (entry_block == nullptr)
        entry_block = static_cast<v_entry *>(xcalloc(size_t{MAX_LIST_SIZE} * 3, sizeof(v_entry)));
    if (2 * (nventries + 1) > 1u << entry_slot_bits)
        grow_entry_slots();
    const unsigned mask = (1u << entry_slot_bits) - 1;
    unsigned s = entry_slot(v_idx, vt_idx, vn_idx);
    for (; entry_slots[s] != 0; s = (s + 1) & mask) {
        v_entry *e = &entry_block[entry_slots[s] - 1];
        if (e->v_idx == v_idx && e->vt_idx == vt_idx && e->vn_idx == vn_idx)
            return e;
    }
    // The triangle limit is checked before a triangle's corners are read: the block has room.
    v_entry *e = &entry_block[nventries];
    *e = v_entry{0, v_idx, vt_idx, vn_idx, nullptr};
    entry_slots[s] = ++nventries;
    return e;
}

// Links the entries into v_entries in ascending order of their triples, and numbers them in that
// order: the place of each in the written vertex array. Three stable counting sorts, by normal,
// texture and position index. Once the indices are checked each of them is below MAX_LIST_SIZE,
// which bounds the buckets. Linear in the number of entries, whatever their order.
static void link_entries_in_order() {
    unsigned largest = 0;
    for (uint32_t i = 0; i < nventries; i++) {
        const v_entry &e = entry_block[i];
        largest = std::max({largest, e.v_idx, e.vt_idx, e.vn_idx});
    }
    std::vector<uint32_t> order(nventries), sorted(nventries), start(size_t{largest} + 2);
    for (uint32_t i = 0; i < nventries; i++)
        order[i] = i;
    for (unsigned v_entry::*key : {&v_entry::vn_idx, &v_entry::vt_idx, &v_entry::v_idx}) {
        std::fill(start.begin(), start.end(), 0);
        for (uint32_t i : order)
            start[entry_block[i].*key + 1]++;
        for (size_t k = 1; k < start.size(); k++)
            start[k] += start[k - 1];
        for (uint32_t i : order)
            sorted[start[entry_block[i].*key]++] = i;
        order.swap(sorted);
    }
    v_entries = nullptr;
    for (uint32_t i = nventries; i-- > 0;) {
        entry_block[order[i]].idx = i;
        entry_block[order[i]].next = v_entries;
        v_entries = &entry_block[order[i]];
    }
}

static void expect_slash(parser *parser, const char *p) {
    if (*p != '/')
        die_parser(parser, p, "expected index or /\n");
}

static bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// One index of a corner, zero-based. OBJ counts from 1; an index of 0 wraps to the largest
// unsigned value and is caught with the other undefined indices after the file is read. A
// negative index counts back from the last element of its kind defined so far: -1 is that one.
static unsigned read_index(char *p, char **end, parser *parser, unsigned defined,
                           const char *kind) {
    const char *s = p;
    while (is_blank(*s))
        s++;
    if (*s != '-')
        return read_uint(p, end, parser) - 1;
    if (s[1] < '0' || s[1] > '9') // no second sign, no blank behind it
        die_parser(parser, p, "parser: expected integer\n");
    const unsigned back = read_uint(const_cast<char *>(s) + 1, end, parser);
    if (back == 0 || back > defined)
        die("face on line %u: %s index -%u is out of range (the file defines %u)\n", parser->nline,
            kind, back, defined);
    return defined - back;
}

// One corner "v/vt/vn".
static v_entry *parse_indices(char *p, char **end, parser *parser) {
    parser->errinfo = "face definition needs vertex & tex & normal index";
    const unsigned v_idx = read_index(p, &p, parser, num_v, "position");
    expect_slash(parser, p);
    parser->errinfo = "missing texture index, uv map coordinates created and exported?";
    const unsigned vt_idx = read_index(p + 1, &p, parser, num_vt, "texture");
    expect_slash(parser, p);
    parser->errinfo = "missing normal index, exported normals?";
    const unsigned vn_idx = read_index(p + 1, &p, parser, num_vn, "normal");
    *end = p;
    return get_v_entry(v_idx, vt_idx, vn_idx);
}

// Whether another corner follows on the line; blanks are skipped, and a comment ends the face.
static bool corner_follows(char **p) {
    while (is_blank(**p))
        ++*p;
    return **p != '\0' && **p != '#';
}

// A face of k corners makes k - 2 triangles, each of which counts toward the limit.
static void read_face_def(char *p, parser *parser) {
    if (nindices == MAX_LIST_SIZE)
        die("reached MAX_LIST_SIZE(%u)\n", MAX_LIST_SIZE);
    face_corners.clear();
    for (int i = 0; i < 3; i++)
        face_corners.push_back(parse_indices(p, &p, parser));
    while (corner_follows(&p)) {
        if (nindices + face_corners.size() - 2 == MAX_LIST_SIZE)
            die("reached MAX_LIST_SIZE(%u)\n", MAX_LIST_SIZE);
        face_corners.push_back(parse_indices(p, &p, parser));
    }
    const auto count = static_cast<unsigned>(face_corners.size());
    if (count > 3) {
        polygons.push_back({nindices, static_cast<unsigned>(polygon_corners.size()), count});
        polygon_corners.insert(polygon_corners.end(), face_corners.begin(), face_corners.end());
    }
    for (unsigned i = 1; i + 1 < count; i++) {
        v_entry **corners = v_indices + 3 * nindices;
        corners[0] = face_corners[0];
        corners[1] = face_corners[i];
        corners[2] = face_corners[i + 1];
        face_line[nindices] = parser->nline;
        face_run[nindices] = act_mat != nullptr ? act_mat->run : 0;
        nindices++;
    }
}

// A material may be taken up again: its triangles join its run wherever they stand in the file.
static void set_active_material(const char *name, unsigned linenumber) {
    material *m = material_exists(material_list, name);
    if (m == nullptr)
        die("'%s' - unknown material on line %u\n", name, linenumber);
    if (m->run == 0) {
        runs.push_back(m);
        m->run = static_cast<unsigned>(runs.size());
    }
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

// Each polygon's fan is replaced by the triangles it splits into.
static void split_polygons() {
    std::vector<qz_vec> at;
    std::vector<unsigned> triangles;
    for (const polygon &pg : polygons) {
        v_entry *const *corners = polygon_corners.data() + pg.first_corner;
        at.resize(pg.count);
        for (unsigned i = 0; i < pg.count; i++) {
            const float *v = v_list + 3 * size_t{corners[i]->v_idx};
            at[i] = qz_vec{v[0], v[1], v[2]};
        }
        triangles.resize(3 * size_t{pg.count - 2});
        triangulate_polygon(at.data(), pg.count, triangles.data());
        for (size_t i = 0; i < triangles.size(); i++)
            v_indices[3 * size_t{pg.first_triangle} + i] = corners[triangles[i]];
    }
}

// Puts each material's triangles together, in the order of the materials' first use and each
// run in file order (a stable counting sort by run), behind the triangles that precede every
// "usemtl"; and gives each material the place and length of its run.
static void gather_material_runs() {
    std::vector<unsigned> start(runs.size() + 2);
    for (unsigned t = 0; t < nindices; t++)
        start[face_run[t] + 1]++;
    for (size_t r = 1; r < start.size(); r++)
        start[r] += start[r - 1];
    for (size_t r = 1; r <= runs.size(); r++) {
        qz_material *q = runs[r - 1]->qzmat;
        q->idx_start = 3 * start[r];
        q->idx_num = 3 * (start[r + 1] - start[r]);
    }
    if (std::is_sorted(face_run, face_run + nindices))
        return;
    std::vector<v_entry *> sorted(3 * size_t{nindices});
    for (unsigned t = 0; t < nindices; t++)
        std::copy_n(v_indices + 3 * size_t{t}, 3, sorted.begin() + 3 * start[face_run[t]]++);
    std::copy(sorted.begin(), sorted.end(), v_indices);
}

// A material's vertex range is the stretch of the vertex array its indices span: from the
// smallest to the largest. The entries must be numbered. A material without triangles has none.
static void set_vertex_ranges() {
    for (material *m : runs) {
        qz_material *q = m->qzmat;
        q->vert_start = q->vert_num = 0;
        if (q->idx_num == 0)
            continue;
        unsigned lo = UINT32_MAX, hi = 0;
        for (uint32_t i = q->idx_start; i < q->idx_start + q->idx_num; i++) {
            lo = std::min(lo, v_indices[i]->idx);
            hi = std::max(hi, v_indices[i]->idx);
        }
        q->vert_start = lo;
        q->vert_num = hi - lo + 1;
    }
}

int read_obj_file(const char *filename) {
    {
        const parser_guard guard(init_parser(filename));
        parser *parser = guard.ps;
        while (parser->line != nullptr) {
            read_obj_parse_line(parser);
            parser_read_line(parser);
        }
    }
    check_face_indices();
    split_polygons();
    gather_material_runs();
    link_entries_in_order();
    set_vertex_ranges();
    return 0;
}

void reset_obj_reader() {
    free(entry_slots); // the next import starts with a small table again
    entry_slots = nullptr;
    entry_slot_bits = 0;
    v_entries = nullptr;
    nventries = 0;
    runs.clear();
    polygons.clear();
    polygon_corners.clear();
}

// The object and material readers. A material record is read by one function wherever it
// stands: inside an object file, where it is the bare 72-byte record, and as a material file,
// where its texture slots follow it.
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "qz_info.h"
#include "qz_math.h" // quat_to_euler, RADTODEG

namespace {

const child_slot object_slots[] = {{CHUNK_OBJECTDATA, 0, 1, 1, "CHUNK_OBJECTDATA"},
                                   {CHUNK_PATH, 0, 0, UINT_MAX, "CHUNK_PATH"}};
const child_slot objectdata_slots[] = {{CHUNK_VERTICES, 0, 1, 1, "CHUNK_VERTICES"},
                                       {CHUNK_INDICES, 0, 1, 1, "CHUNK_INDICES"},
                                       {CHUNK_MATERIALS, 0, 1, 1, "CHUNK_MATERIALS"}};
const child_slot materials_slots[] = {{CHUNK_MATDEF, 0, 0, UINT_MAX, "CHUNK_MATDEF"}};
// The slots of a material file, in the order they are written: not the order of their types.
const child_slot matdef_slots[] = {{CHUNK_MATDEF_DIFFUSEMAP, 0, 0, 1, "diffuse map"},
                                   {CHUNK_MATDEF_SPECULARMAP, 0, 0, 1, "specular map"},
                                   {CHUNK_MATDEF_NORMALMAP, 0, 0, 1, "normal map"}};
const char *const slot_names[] = {"diffuse", "specular", "normal"};

// Reports of bad indices stop here; the count of the rest follows in one line.
constexpr unsigned MAX_INDEX_REPORTS = 10;

// Where the indices stand, for the reports of the checks made once the walk is over.
struct object_walk {
    info_chunk indices = {};
};

// Reads a count, then as many of the records it counts as the chunk holds.
template <typename T>
void read_array(info_reader *r, info_chunk *c, std::vector<T> *out, const char *what) {
    uint32_t count = 0;
    if (!info_read(r, c, &count, sizeof count)) {
        info_bad(r, c, "too small for the number of %s", what);
        return;
    }
    const uint64_t needed = 4 + uint64_t{count} * sizeof(T);
    if (c->size != needed)
        info_bad(r, c, "holds %u bytes, %u %s need %llu", c->size, count, what,
                 static_cast<unsigned long long>(needed));
    const uint32_t n = std::min<uint32_t>(count, c->left / sizeof(T));
    out->resize(n);
    info_read(r, c, out->data(), static_cast<uint32_t>(n * sizeof(T)));
}

void show_material(const info_reader *r, unsigned level, const qz_material &m) {
    const std::string name = shown_field(m.name, sizeof m.name);
    info_show(r, level,
              "material '%s': type %u, flags 0x%02x, twoSided %u, opacity %u, specularLevel %u, "
              "glossiness %u, brightness %u, reflection %u\n",
              name.c_str(), m.type, m.flags, m.twoSided, m.opacity, m.specularLevel, m.glossiness,
              m.brightness, m.reflection);
    info_show(r, level + 1,
              "ambient 0x%08x, diffuse 0x%08x, specular 0x%08x, illumination 0x%08x\n",
              m.ambient.abgr, m.diffuse.abgr, m.specular.abgr, m.illumination.abgr);
    info_show(r, level + 1, "vert_start %u, vert_num %u, idx_start %u, idx_num %u\n", m.vert_start,
              m.vert_num, m.idx_start, m.idx_num);
}

void read_texture(info_reader *r, info_chunk *c, info_material *m) {
    const int slot = c->type == CHUNK_MATDEF_DIFFUSEMAP    ? 0
                     : c->type == CHUNK_MATDEF_SPECULARMAP ? 1
                                                           : 2;
    qz_tex &t = m->tex[slot];
    if (c->size != sizeof t)
        info_bad(r, c, "holds %u bytes, a texture slot has %u", c->size,
                 static_cast<unsigned>(sizeof t));
    if (!info_read(r, c, &t, sizeof t))
        return;
    m->have_tex[slot] = 1;
    const std::string file = shown_field(t.file, sizeof t.file);
    info_show(r, c->level + 1,
              "%s map '%s': type %u, amount %u, alphaChannel %u, alphaBits %u, tileU %u, tileV %u, "
              "mirrorU %u, mirrorV %u\n",
              slot_names[slot], file.c_str(), t.type, t.amount, t.alphaChannel, t.alphaBits,
              t.tileU, t.tileV, t.mirrorU, t.mirrorV);
}

// Returns 0 when the chunk is too small to hold the record.
int read_matdef(info_reader *r, info_chunk *c, int in_object, info_material *m) {
    *m = {};
    m->pos = c->pos;
    if (c->size < sizeof m->rec) {
        info_bad(r, c, "too small for the %u-byte material record",
                 static_cast<unsigned>(sizeof m->rec));
        return 0;
    }
    if (in_object && c->size != sizeof m->rec)
        info_bad(r, c, "holds %u bytes, a material record in an object file has %u", c->size,
                 static_cast<unsigned>(sizeof m->rec));
    info_read(r, c, &m->rec, sizeof m->rec);
    check_name(r, c, "material name", m->rec.name, sizeof m->rec.name, true);
    show_material(r, c->level + 1, m->rec);
    if (in_object)
        return 1;
    child_order order = {matdef_slots, std::size(matdef_slots), 0, {}, 0};
    info_chunk t;
    while (info_next_child(r, c, &t)) {
        if (order_accept(r, c, &order, &t))
            read_texture(r, &t, m);
        info_skip(r, &t);
    }
    return 1;
}

void read_materials(info_reader *r, info_chunk *c, info_object *o) {
    uint32_t count = 0;
    if (!info_read(r, c, &count, sizeof count)) {
        info_bad(r, c, "too small for the number of materials");
        return;
    }
    info_show(r, c->level + 1, "materials: %u\n", count);
    child_order order = {materials_slots, std::size(materials_slots), 0, {}, 0};
    info_chunk m;
    while (info_next_child(r, c, &m)) {
        info_material mat;
        if (order_accept(r, c, &order, &m) && read_matdef(r, &m, 1, &mat))
            o->materials.push_back(mat);
        info_skip(r, &m);
    }
    if (count != order.count[0])
        info_bad(r, c, "says %u materials, holds %u", count, order.count[0]);
}

void read_objectdata(info_reader *r, info_chunk *data, info_object *o, object_walk *w) {
    child_order order = {objectdata_slots, std::size(objectdata_slots), 0, {}, 0};
    info_chunk c;
    while (info_next_child(r, data, &c)) {
        if (order_accept(r, data, &order, &c) == 0) {
            // misplaced: skipped below
        } else if (c.type == CHUNK_VERTICES) {
            read_array(r, &c, &o->vertices, "vertices");
            info_show(r, c.level + 1, "vertices: %zu\n", o->vertices.size());
        } else if (c.type == CHUNK_INDICES) {
            w->indices = c;
            read_array(r, &c, &o->indices, "indices");
            info_show(r, c.level + 1, "indices: %zu, triangles: %zu\n", o->indices.size(),
                      o->indices.size() / 3);
        } else {
            read_materials(r, &c, o);
        }
        info_skip(r, &c);
    }
    order_finish(r, data, &order);
}

void read_path(info_reader *r, info_chunk *c, info_object *o) {
    qz_path p;
    if (c->size != sizeof p)
        info_bad(r, c, "holds %u bytes, a path point has %u", c->size,
                 static_cast<unsigned>(sizeof p));
    if (!info_read(r, c, &p, sizeof p))
        return;
    o->paths.push_back(p);
    check_name(r, c, "path point name", p.name, sizeof p.name, false);
    const qz_vec e = quat_to_euler(p.quat);
    const std::string name = shown_field(p.name, sizeof p.name);
    info_show(r, c->level + 1,
              "path '%s': flags %u, pos (%g, %g, %g), quat (%g, %g, %g, %g), euler (%g, %g, %g) "
              "degrees\n",
              name.c_str(), p.flags, p.pos.x, p.pos.y, p.pos.z, p.quat.x, p.quat.y, p.quat.z,
              // adding zero shows -0 as 0
              p.quat.w, e.x * RADTODEG + 0.0f, e.y * RADTODEG + 0.0f, e.z * RADTODEG + 0.0f);
}

void check_indices(info_reader *r, const info_object *o, const object_walk &w) {
    const size_t nidx = o->indices.size(), nvert = o->vertices.size();
    if (nidx % 3 != 0)
        info_bad(r, &w.indices, "%zu indices make no whole number of triangles", nidx);
    unsigned beyond = 0;
    for (size_t i = 0; i < nidx; i++) {
        if (o->indices[i] < nvert)
            continue;
        if (++beyond <= MAX_INDEX_REPORTS)
            info_bad(r, &w.indices, "index %zu (triangle %zu) is %u, there are %zu vertices", i,
                     i / 3, o->indices[i], nvert);
    }
    if (beyond > MAX_INDEX_REPORTS)
        info_bad(r, &w.indices, "%u more indices lie beyond the vertices",
                 beyond - MAX_INDEX_REPORTS);
}

void check_material_ranges(info_reader *r, const info_object *o) {
    std::vector<const info_material *> runs;
    for (const info_material &m : o->materials) {
        const qz_material &q = m.rec;
        const info_chunk at = {m.pos, CHUNK_MATDEF, 0, 0, 0};
        const std::string name = shown_field(q.name, sizeof q.name);
        if (uint64_t{q.vert_start} + q.vert_num > o->vertices.size())
            info_bad(r, &at, "vertices %u + %u of '%s' reach beyond the %zu vertices", q.vert_start,
                     q.vert_num, name.c_str(), o->vertices.size());
        if (uint64_t{q.idx_start} + q.idx_num > o->indices.size())
            info_bad(r, &at, "indices %u + %u of '%s' reach beyond the %zu indices", q.idx_start,
                     q.idx_num, name.c_str(), o->indices.size());
        if (q.idx_start % 3 != 0 || q.idx_num % 3 != 0)
            info_bad(r, &at, "indices %u + %u of '%s' cut through a triangle", q.idx_start,
                     q.idx_num, name.c_str());
        if (q.idx_num == 0)
            continue;
        runs.push_back(&m);
        // An engine that draws or copies a material by its ranges reads only its vertices.
        if (uint64_t{q.vert_start} + q.vert_num > o->vertices.size() ||
            uint64_t{q.idx_start} + q.idx_num > o->indices.size())
            continue;
        unsigned outside = 0;
        uint32_t first = 0;
        for (uint32_t i = q.idx_start; i < q.idx_start + q.idx_num; i++) {
            const uint32_t v = o->indices[i];
            // Unsigned: below the start wraps to large. One past the vertices is reported above.
            if (v - q.vert_start < q.vert_num || v >= o->vertices.size())
                continue;
            if (outside++ == 0)
                first = i;
        }
        if (outside != 0)
            info_bad(r, &at,
                     "%u of the %u indices of '%s' lie outside its vertices %u + %u (index %u, "
                     "triangle %u, is %u)",
                     outside, q.idx_num, name.c_str(), q.vert_start, q.vert_num, first, first / 3,
                     o->indices[first]);
    }
    // Each material covers one run of triangles of its own.
    std::stable_sort(runs.begin(), runs.end(), [](const info_material *a, const info_material *b) {
        return a->rec.idx_start < b->rec.idx_start;
    });
    for (size_t i = 1; i < runs.size(); i++) {
        const qz_material &prev = runs[i - 1]->rec, &q = runs[i]->rec;
        if (uint64_t{prev.idx_start} + prev.idx_num <= q.idx_start)
            continue;
        const info_chunk at = {runs[i]->pos, CHUNK_MATDEF, 0, 0, 0};
        info_bad(r, &at, "indices %u + %u of '%s' overlap those of '%s'", q.idx_start, q.idx_num,
                 shown_field(q.name, sizeof q.name).c_str(),
                 shown_field(prev.name, sizeof prev.name).c_str());
    }
}

} // namespace

void read_object(info_reader *r, info_chunk *top, info_object *o) {
    object_walk w;
    if (!info_read(r, top, &o->obj, sizeof o->obj)) {
        info_bad(r, top, "too small for the %u-byte object record",
                 static_cast<unsigned>(sizeof o->obj));
        info_skip(r, top);
        return;
    }
    const qz_object &ob = o->obj;
    check_name(r, top, "object name", ob.name, sizeof ob.name, false);
    const std::string name = shown_field(ob.name, sizeof ob.name);
    info_show(r, 1, "object '%s': pos (%g, %g, %g), quat (%g, %g, %g, %g)\n", name.c_str(),
              ob.pos.x, ob.pos.y, ob.pos.z, ob.quat.x, ob.quat.y, ob.quat.z, ob.quat.w);
    child_order order = {object_slots, std::size(object_slots), 0, {}, 0};
    info_chunk c;
    while (info_next_child(r, top, &c)) {
        if (order_accept(r, top, &order, &c)) {
            if (c.type == CHUNK_OBJECTDATA)
                read_objectdata(r, &c, o, &w);
            else
                read_path(r, &c, o);
        }
        info_skip(r, &c);
    }
    order_finish(r, top, &order);
    check_indices(r, o, w);
    check_material_ranges(r, o);
}

void read_material_file(info_reader *r, info_chunk *top, info_material *out) {
    read_matdef(r, top, 0, out);
    info_skip(r, top);
}

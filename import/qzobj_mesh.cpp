// The object builder: faces with their corners, as a reader made them, become the object's
// de-duplicated vertex entries and triangles, polygons split, each material's triangles in one
// run with its ranges.
#include "qzobj_import.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

// The vertex entries in the order they were made, at most one per corner: the block has room
// for that many, allocated zeroed so that only what is used costs memory. They are found by
// their triple through a hash table of open addressing whose slots hold an entry's place + 1
// (0 for a free slot). The table doubles whenever half of it would be in use, so a small model
// touches little memory and the runs stay short. The sorted list is linked once all are made: no
// corner costs more than a few probes.
static v_entry *entry_block;
static uint32_t *entry_slots;
static unsigned entry_slot_bits; // 2^entry_slot_bits slots; 0 while there is no table
static_assert(MAX_TRIANGLES < (1u << 31) / 3, "the slots of 3 entries per triangle fit 32 bits");

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

// The place of the triple's entry in the block.
static uint32_t get_v_entry(unsigned v_idx, unsigned vt_idx, unsigned vn_idx) {
    if (2 * (nventries + 1) > 1u << entry_slot_bits)
        grow_entry_slots();
    const unsigned mask = (1u << entry_slot_bits) - 1;
    unsigned s = entry_slot(v_idx, vt_idx, vn_idx);
    for (; entry_slots[s] != 0; s = (s + 1) & mask) {
        const v_entry &e = entry_block[entry_slots[s] - 1];
        if (e.v_idx == v_idx && e.vt_idx == vt_idx && e.vn_idx == vn_idx)
            return entry_slots[s] - 1;
    }
    entry_block[nventries] = v_entry{0, v_idx, vt_idx, vn_idx, nullptr};
    entry_slots[s] = nventries + 1;
    return nventries++;
}

// Links the entries into v_entries in ascending order of their triples, and numbers them in that
// order: the place of each in the written vertex array. Three stable counting sorts, by normal,
// texture and position index; the buckets are as many as the largest index. Linear in the number
// of entries and the lengths of the lists, whatever their order.
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

// Corners without a texture coordinate share (0, 0), kept behind the file's own: the indices
// have room for that one more.
static void share_missing_texture_coordinate(std::vector<obj_corner> &corners) {
    vt_list.insert(vt_list.end(), {0, 0});
    for (obj_corner &c : corners)
        if (c.no_vt)
            c.vt = num_vt;
}

// Each face becomes its triangles, a polygon split by its positions, and each corner the place of
// its vertex entry. The triangles of each material stand together, in the order of the
// materials' first use and each run in file order, behind the triangles that belong to no
// material; each material gets the place and length of its run.
static void make_triangles(const std::vector<obj_face> &faces,
                           const std::vector<obj_corner> &corners,
                           const std::vector<material *> &runs) {
    std::vector<unsigned> start(runs.size() + 2);
    for (const obj_face &f : faces)
        start[f.run + 1] += f.count - 2;
    for (size_t r = 1; r < start.size(); r++)
        start[r] += start[r - 1];
    for (size_t r = 1; r <= runs.size(); r++) {
        qz_material *q = runs[r - 1]->qzmat;
        q->idx_start = 3 * start[r];
        q->idx_num = 3 * (start[r + 1] - start[r]);
    }
    entry_block =
        static_cast<v_entry *>(xcalloc(std::max<size_t>(corners.size(), 1), sizeof(v_entry)));
    v_indices.resize(3 * size_t{nindices});
    std::vector<uint32_t> corner;
    std::vector<qz_vec> at;
    std::vector<unsigned> triangles;
    for (const obj_face &f : faces) {
        uint32_t *out = v_indices.data() + 3 * size_t{start[f.run]};
        start[f.run] += f.count - 2;
        corner.resize(f.count);
        for (unsigned i = 0; i < f.count; i++) {
            const obj_corner &c = corners[f.first_corner + i];
            corner[i] = get_v_entry(c.v, c.vt, c.vn);
        }
        if (f.count == 3) {
            std::copy_n(corner.data(), 3, out);
            continue;
        }
        at.resize(f.count);
        for (unsigned i = 0; i < f.count; i++) {
            const float *v = &v_list[3 * size_t{corners[f.first_corner + i].v}];
            at[i] = qz_vec{v[0], v[1], v[2]};
        }
        triangles.resize(3 * size_t{f.count - 2});
        triangulate_polygon(at.data(), f.count, triangles.data());
        for (size_t i = 0; i < triangles.size(); i++)
            out[i] = corner[triangles[i]];
    }
}

// Each corner's entry gives way to its place in the written vertex array, which the entries hold
// once they are numbered.
static void number_corners() {
    for (uint32_t &i : v_indices)
        i = entry_block[i].idx;
}

// A material's vertex range is the stretch of the vertex array its indices span: from the
// smallest to the largest. A material without triangles has none.
static void set_vertex_ranges(const std::vector<material *> &runs) {
    for (material *m : runs) {
        qz_material *q = m->qzmat;
        q->vert_start = q->vert_num = 0;
        if (q->idx_num == 0)
            continue;
        unsigned lo = UINT32_MAX, hi = 0;
        for (uint32_t i = q->idx_start; i < q->idx_start + q->idx_num; i++) {
            lo = std::min(lo, v_indices[i]);
            hi = std::max(hi, v_indices[i]);
        }
        q->vert_start = lo;
        q->vert_num = hi - lo + 1;
    }
}

void build_object(const std::vector<obj_face> &faces, std::vector<obj_corner> &corners,
                  const std::vector<material *> &runs, const char *filename, bool missing_texture,
                  bool missing_normals) {
    if (missing_texture)
        share_missing_texture_coordinate(corners);
    if (missing_normals)
        compute_normals(faces.data(), faces.size(), corners.data(), filename);
    make_triangles(faces, corners, runs);
    link_entries_in_order();
    number_corners();
    set_vertex_ranges(runs);
}

void reset_object_builder() {
    free(entry_block);
    entry_block = nullptr;
    free(entry_slots); // the next import starts with a small table again
    entry_slots = nullptr;
    entry_slot_bits = 0;
    v_entries = nullptr;
    nventries = 0;
}

// Normals for the corners that an OBJ file gives none, as modelling programs shade them: a flat
// face takes its own normal, and a face in a smoothing group takes, at each position, the mean of
// the normals of the group's faces around it, each weighted by the face's angle there.
#include "qzobj_import.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qz_filefunc.h" // die

namespace {

struct dvec {
    double x, y, z;
};
dvec operator-(const dvec &a, const dvec &b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
dvec &operator+=(dvec &a, const dvec &b) {
    a.x += b.x;
    a.y += b.y;
    a.z += b.z;
    return a;
}
dvec operator*(double s, const dvec &a) {
    return {s * a.x, s * a.y, s * a.z};
}
dvec cross(const dvec &a, const dvec &b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot(const dvec &a, const dvec &b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Of unit length, or zero when a has none (or is not a number).
dvec unit(const dvec &a) {
    const double len = std::sqrt(dot(a, a));
    return len > 0 && std::isfinite(len) ? (1 / len) * a : dvec{0, 0, 0};
}
bool is_zero(const dvec &a) {
    return a.x == 0 && a.y == 0 && a.z == 0;
}

dvec position(unsigned v) {
    const float *p = &v_list[3 * size_t{v}];
    return {p[0], p[1], p[2]};
}

// The positions of a face's corners.
void load(const obj_face &f, const obj_corner *corners, std::vector<dvec> *at) {
    at->resize(f.count);
    for (unsigned i = 0; i < f.count; i++)
        (*at)[i] = position(corners[f.first_corner + i].v);
}

// The Newell normal of the whole polygon, before it is split: of unit length, or zero for a
// polygon without area.
dvec face_normal(const std::vector<dvec> &at) {
    dvec n{0, 0, 0};
    for (size_t i = 0; i < at.size(); i++) {
        const dvec &a = at[i], &b = at[i + 1 < at.size() ? i + 1 : 0];
        n += dvec{(a.y - b.y) * (a.z + b.z), (a.z - b.z) * (a.x + b.x), (a.x - b.x) * (a.y + b.y)};
    }
    return unit(n);
}

// The polygon's angle at corner i, between the edges to its neighbours. A weight needs no more
// than single precision, which takes half the time.
double corner_angle(const std::vector<dvec> &at, size_t i) {
    const dvec a = at[i > 0 ? i - 1 : at.size() - 1] - at[i];
    const dvec b = at[i + 1 < at.size() ? i + 1 : 0] - at[i];
    const dvec n = cross(a, b);
    return std::atan2(static_cast<float>(std::sqrt(dot(n, n))), static_cast<float>(dot(a, b)));
}

uint32_t float_bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

using triple = std::array<uint32_t, 3>;

uint64_t mixed(const triple &k) {
    constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
    return ((uint64_t{k[0]} << 32 | k[1]) * golden ^ k[2]) * golden;
}

// Numbers keys 0, 1, 2, ... in the order they are first seen: a table of open addressing whose
// slots hold a key's number + 1, doubled whenever it would be half full. A model makes thousands
// of lookups, where a node per key would cost more than the work itself.
template <typename K> class numbering {
    std::vector<K> keys_;
    std::vector<uint32_t> slots_;
    unsigned bits_ = 4;

    size_t slot(const K &key) const { return static_cast<size_t>(mixed(key) >> (64 - bits_)); }

  public:
    // Room for about expected keys before the table grows.
    explicit numbering(size_t expected) {
        while (size_t{1} << bits_ < 2 * expected)
            bits_++;
        slots_.resize(size_t{1} << bits_);
        keys_.reserve(expected);
    }
    uint32_t operator()(const K &key) {
        size_t mask = slots_.size() - 1, s = slot(key);
        for (; slots_[s] != 0; s = (s + 1) & mask)
            if (keys_[slots_[s] - 1] == key)
                return slots_[s] - 1;
        keys_.push_back(key);
        if (2 * keys_.size() > slots_.size()) {
            slots_.assign(2 * slots_.size(), 0);
            bits_++;
            mask = slots_.size() - 1;
            for (uint32_t i = 0; i < keys_.size(); i++) {
                for (s = slot(keys_[i]); slots_[s] != 0;)
                    s = (s + 1) & mask;
                slots_[s] = i + 1;
            }
            return static_cast<uint32_t>(keys_.size() - 1);
        }
        slots_[s] = static_cast<uint32_t>(keys_.size());
        return slots_[s] - 1;
    }
    const std::vector<K> &keys() const { return keys_; }
};

constexpr uint32_t NONE = UINT32_MAX;     // not known yet
constexpr uint32_t ZERO = UINT32_MAX - 1; // a sum without direction: the face's own normal then

} // namespace

void compute_normals(const obj_face *faces, size_t nfaces, obj_corner *corners,
                     const char *filename) {
    // A position by its coordinates: corners of one place whose file names it twice (as
    // exporters do along a seam of texture coordinates) still share their smooth normal. -0 is 0.
    numbering<triple> places(num_v);
    std::vector<uint32_t> place(num_v, NONE);
    const auto place_of = [&](unsigned v) {
        if (place[v] == NONE) {
            const float *p = &v_list[3 * size_t{v}];
            place[v] =
                places({float_bits(p[0] + 0.0f), float_bits(p[1] + 0.0f), float_bits(p[2] + 0.0f)});
        }
        return place[v];
    };
    // The weighted sum at each place of each smoothing group. A place's sums are chained, one
    // per group that meets there: most places have one. A corner without a normal keeps the
    // number of the sum it shares in its vn until it gets its normal.
    struct sum {
        float x, y, z;
        uint64_t group;
        uint32_t next; // of the same place
    };
    std::vector<sum> sums;
    std::vector<uint32_t> first_sum(num_v, NONE);
    const auto sum_at = [&](uint32_t place, uint64_t group) {
        uint32_t *link = &first_sum[place];
        while (*link != NONE && sums[*link].group != group)
            link = &sums[*link].next;
        if (*link != NONE)
            return *link;
        *link = static_cast<uint32_t>(sums.size()); // before the vector may move
        sums.push_back({0, 0, 0, group, NONE});
        return static_cast<uint32_t>(sums.size() - 1);
    };
    std::vector<dvec> at;
    for (size_t f = 0; f < nfaces; f++) {
        const obj_face &face = faces[f];
        if (face.smooth == 0)
            continue;
        load(face, corners, &at);
        const dvec n = face_normal(at);
        for (unsigned i = 0; i < face.count; i++) {
            obj_corner &c = corners[face.first_corner + i];
            const uint32_t k = sum_at(place_of(c.v), face.smooth);
            if (c.no_vn)
                c.vn = k;
            if (!is_zero(n)) {
                const double w = corner_angle(at, i);
                sums[k].x += static_cast<float>(w * n.x);
                sums[k].y += static_cast<float>(w * n.y);
                sums[k].z += static_cast<float>(w * n.z);
            }
        }
    }

    // Alike normals share one element of the list, behind the file's own. A normal is looked up
    // once per sum and once per face that needs its own, not for each corner.
    numbering<triple> made(sums.size());
    const auto add = [&](const dvec &n) {
        return num_vn +
               made({float_bits(static_cast<float>(n.x)), float_bits(static_cast<float>(n.y)),
                     float_bits(static_cast<float>(n.z))});
    };
    std::vector<uint32_t> sum_normal(sums.size(), NONE);
    for (size_t f = 0; f < nfaces; f++) {
        const obj_face &face = faces[f];
        uint32_t own = NONE; // the face's own normal
        for (unsigned i = 0; i < face.count; i++) {
            obj_corner &c = corners[face.first_corner + i];
            // A given normal of no length (the reader left one so) gives way to the face's own.
            const float *given = c.no_vn ? nullptr : &vn_list[3 * size_t{c.vn}];
            const bool no_length = !c.no_vn && given[0] == 0 && given[1] == 0 && given[2] == 0;
            if (!c.no_vn && !no_length)
                continue;
            if (face.smooth != 0 && !no_length) {
                const uint32_t k = c.vn;
                if (sum_normal[k] == NONE) {
                    const dvec n = unit({sums[k].x, sums[k].y, sums[k].z});
                    sum_normal[k] = is_zero(n) ? ZERO : add(n);
                }
                if (sum_normal[k] != ZERO) {
                    c.vn = sum_normal[k];
                    continue;
                }
            }
            if (own == NONE) {
                load(face, corners, &at);
                const dvec n = face_normal(at);
                own = add(is_zero(n) ? dvec{0, 0, 1} : n);
            }
            c.vn = own;
        }
    }
    const std::vector<triple> &list = made.keys();
    if (list.size() > MAX_ELEMENTS - num_vn)
        die("%s: %u normals given and %zu made for the corners without one, more than the %u "
            "that 32-bit indices can tell apart\n",
            filename, num_vn, list.size(), MAX_ELEMENTS);
    for (const triple &xyz : list) {
        float n[3];
        memcpy(n, xyz.data(), sizeof n);
        vn_list.insert(vn_list.end(), n, n + 3);
        num_vn++;
    }
}

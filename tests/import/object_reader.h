// An object file read back by its layout, and the vector arithmetic to check it with, for the
// tests that check what a converted model means (its triangles, their area and winding, the
// normals made for it) rather than only its bytes.
#ifndef QZ_TEST_OBJECT_READER_H
#define QZ_TEST_OBJECT_READER_H

#include <cstring>
#include <string>
#include <vector>

#include "qz.h"
#include "qz_test.h"

namespace qzt {

struct vec3 {
    double x, y, z;
};
inline vec3 operator-(const vec3 &a, const vec3 &b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline vec3 cross(const vec3 &a, const vec3 &b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double dot(const vec3 &a, const vec3 &b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

struct object_data {
    std::string name;
    std::vector<qz_vertex> vertices;
    std::vector<uint32_t> indices;
    std::vector<qz_material> materials;
};

inline object_data read_object_file(const fs::path &file) {
    const std::string b = read_file(file);
    const auto take = [&b](void *to, size_t pos, size_t n) {
        if (n != 0) // an empty list has no storage to copy to
            memcpy(to, b.data() + pos, n);
    };
    const auto at32 = [&take](size_t pos) {
        uint32_t v;
        take(&v, pos, 4);
        return v;
    };
    object_data o;
    o.name = std::string(b.data() + 8, strnlen(b.data() + 8, 32));
    size_t pos = 8 + sizeof(qz_object) + 8 + 8; // object, its data, the vertex chunk
    o.vertices.resize(at32(pos));
    take(o.vertices.data(), pos + 4, o.vertices.size() * sizeof(qz_vertex));
    pos += 4 + o.vertices.size() * sizeof(qz_vertex) + 8;
    o.indices.resize(at32(pos));
    take(o.indices.data(), pos + 4, o.indices.size() * 4);
    pos += 4 + o.indices.size() * 4 + 8;
    o.materials.resize(at32(pos));
    for (size_t i = 0; i < o.materials.size(); i++)
        take(&o.materials[i], pos + 4 + 8 + i * (8 + sizeof(qz_material)), sizeof(qz_material));
    return o;
}

} // namespace qzt

#endif

// Builds glTF 2.0 models for the tests: one binary buffer of views and accessors, JSON around it,
// written as a .gltf beside its .bin, a .gltf with the buffer in a data: URI, or a .glb.
#ifndef QZ_TEST_GLTF_BUILDER_H
#define QZ_TEST_GLTF_BUILDER_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qzt {

constexpr int GL_BYTE = 5120, GL_UBYTE = 5121, GL_SHORT = 5122, GL_USHORT = 5123, GL_UINT = 5125,
              GL_FLOAT = 5126;

struct gltf_builder {
    std::string bin;
    std::vector<std::string> views, accessors, meshes, nodes, materials, textures, images;
    std::string scene_nodes = "[0]";
    std::string extra; // more top-level members, each followed by a comma

    // A buffer view of the bytes given, aligned to 4; returns its index.
    template <typename T> int view(const std::vector<T> &data, int stride = 0) {
        while (bin.size() % 4 != 0)
            bin += '\0';
        const size_t offset = bin.size();
        bin.append(reinterpret_cast<const char *>(data.data()), data.size() * sizeof(T));
        views.push_back("{\"buffer\": 0, \"byteOffset\": " + std::to_string(offset) +
                        ", \"byteLength\": " + std::to_string(data.size() * sizeof(T)) +
                        (stride != 0 ? ", \"byteStride\": " + std::to_string(stride) : "") + "}");
        return static_cast<int>(views.size() - 1);
    }
    // An accessor of count elements; more is JSON added inside it (", \"normalized\": true").
    int accessor(int view, int type, size_t count, const char *kind, const std::string &more = "") {
        std::string a = "{";
        if (view >= 0)
            a.append("\"bufferView\": ").append(std::to_string(view)).append(", ");
        a.append("\"componentType\": ").append(std::to_string(type)).append(", \"count\": ");
        a.append(std::to_string(count)).append(", \"type\": \"").append(kind).append("\"");
        accessors.push_back(a.append(more).append("}"));
        return static_cast<int>(accessors.size() - 1);
    }
    int floats(const std::vector<float> &v, const char *kind, size_t n) {
        return accessor(view(v), GL_FLOAT, v.size() / n, kind);
    }
    // Positions carry their bounds, as the format requires.
    int positions(const std::vector<float> &v) {
        std::string lo = "[", hi = "[";
        for (size_t c = 0; c < 3; c++) {
            float a = v[c], b = v[c];
            for (size_t i = c; i < v.size(); i += 3)
                a = std::min(a, v[i]), b = std::max(b, v[i]);
            char text[64];
            snprintf(text, sizeof text, "%s%.9g", c == 0 ? "" : ", ", double(a));
            lo += text;
            snprintf(text, sizeof text, "%s%.9g", c == 0 ? "" : ", ", double(b));
            hi += text;
        }
        return accessor(view(v), GL_FLOAT, v.size() / 3, "VEC3",
                        ", \"min\": " + lo + "], \"max\": " + hi + "]");
    }
    std::string json(const std::string &buffer_uri) const {
        const auto list = [](const std::vector<std::string> &items) {
            std::string s = "[";
            for (size_t i = 0; i < items.size(); i++)
                s += (i == 0 ? "" : ", ") + items[i];
            return s + "]";
        };
        std::string j = "{\"asset\": {\"version\": \"2.0\"}, " + extra +
                        "\"scene\": 0, \"scenes\": [{\"nodes\": " + scene_nodes + "}], ";
        const std::pair<const char *, const std::vector<std::string> *> parts[] = {
            {"nodes", &nodes},       {"meshes", &meshes}, {"materials", &materials},
            {"textures", &textures}, {"images", &images}, {"accessors", &accessors},
            {"bufferViews", &views}};
        for (const auto &[name, items] : parts)
            if (!items->empty())
                j.append("\"").append(name).append("\": ").append(list(*items)).append(", ");
        j += "\"buffers\": [{\"byteLength\": " + std::to_string(bin.size()) +
             (buffer_uri.empty() ? "" : ", \"uri\": \"" + buffer_uri + "\"") + "}]}";
        return j;
    }
    std::string data_uri_json() const {
        static const char b64[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string s;
        for (size_t i = 0; i < bin.size(); i += 3) {
            uint32_t v = static_cast<uint8_t>(bin[i]) << 16;
            if (i + 1 < bin.size())
                v |= static_cast<uint8_t>(bin[i + 1]) << 8;
            if (i + 2 < bin.size())
                v |= static_cast<uint8_t>(bin[i + 2]);
            s += b64[v >> 18 & 63];
            s += b64[v >> 12 & 63];
            s += i + 1 < bin.size() ? b64[v >> 6 & 63] : '=';
            s += i + 2 < bin.size() ? b64[v & 63] : '=';
        }
        return json("data:application/octet-stream;base64," + s);
    }
    std::string glb() const {
        std::string j = json("");
        while (j.size() % 4 != 0)
            j += ' ';
        std::string b = bin;
        while (b.size() % 4 != 0)
            b += '\0';
        std::string out = "glTF";
        const auto u32 = [&out](uint32_t v) { out.append(reinterpret_cast<const char *>(&v), 4); };
        u32(2);
        u32(static_cast<uint32_t>(12 + 8 + j.size() + 8 + b.size()));
        u32(static_cast<uint32_t>(j.size()));
        u32(0x4E4F534A);
        out += j;
        u32(static_cast<uint32_t>(b.size()));
        u32(0x004E4942);
        return out + b;
    }
};

// The tests' model, which the fuzzer's seeds take too: a quad and a triangle in two materials, with
// normals and texture coordinates: positions, normals and (u, v) per vertex, the OBJ's v being 1 -
// glTF's.
inline const std::vector<float> quad_pos = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0};
inline const std::vector<float> quad_nor = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0.6f, 0, 0.8f, 0, 0, 1};
inline const std::vector<float> quad_uv = {0, 1, 1, 1, 1, 0, 0, 0.25f, 0.5f, 0.5f};

inline gltf_builder two_material_model() {
    gltf_builder g;
    const int pos = g.positions(quad_pos), nor = g.floats(quad_nor, "VEC3", 3),
              uv = g.floats(quad_uv, "VEC2", 2);
    const int quad =
        g.accessor(g.view(std::vector<uint16_t>{0, 1, 2, 0, 2, 3}), GL_USHORT, 6, "SCALAR");
    const int tri = g.accessor(g.view(std::vector<uint8_t>{1, 4, 2}), GL_UBYTE, 3, "SCALAR");
    const std::string attributes = "\"attributes\": {\"POSITION\": " + std::to_string(pos) +
                                   ", \"NORMAL\": " + std::to_string(nor) +
                                   ", \"TEXCOORD_0\": " + std::to_string(uv) + "}";
    g.meshes.push_back("{\"name\": \"Body\", \"primitives\": [{" + attributes + ", \"indices\": " +
                       std::to_string(quad) + ", \"material\": 0}, {" + attributes +
                       ", \"indices\": " + std::to_string(tri) + ", \"material\": 1}]}");
    g.nodes.push_back("{\"name\": \"Crate\", \"mesh\": 0}");
    g.materials = {"{\"name\": \"Wood\", \"pbrMetallicRoughness\": {\"baseColorTexture\": "
                   "{\"index\": 0}}, \"normalTexture\": {\"index\": 1}}",
                   "{\"name\": \"Glass\", \"alphaMode\": \"BLEND\", \"pbrMetallicRoughness\": "
                   "{\"baseColorFactor\": [1, 1, 1, 0.5]}}"};
    g.textures = {"{\"source\": 0}", "{\"source\": 1}"};
    g.images = {"{\"uri\": \"wood.png\"}", "{\"uri\": \"wood%20normal.png\"}"};
    return g;
}

} // namespace qzt

#endif

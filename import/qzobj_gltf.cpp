// The glTF 2.0 reader (.gltf with its buffers and images, or .glb): every mesh primitive that the
// scene reaches through its nodes, each node's world transform applied, becomes faces and
// corners for the object builder, as OBJ faces do; each glTF material becomes a material with
// its texture slots. Images inside the model are kept to be written beside the outputs.
#include "qzobj_gltf.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "qz_filefunc.h" // print, die, file names
#include "qz_platform.h" // descriptor I/O
#include "qzobj_import.h"

std::vector<embedded_image> embedded_images;

namespace {

using mat4 = std::array<double, 16>; // column-major, as glTF writes it
constexpr mat4 identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

mat4 multiply(const mat4 &a, const mat4 &b) {
    mat4 r{};
    for (int c = 0; c < 4; c++)
        for (int row = 0; row < 4; row++)
            for (int k = 0; k < 4; k++)
                r[c * 4 + row] += a[k * 4 + row] * b[c * 4 + k];
    return r;
}

// A node's own transform: its matrix, or translation x rotation x scale.
mat4 local_transform(const tinygltf::Node &n) {
    if (n.matrix.size() == 16) {
        mat4 m;
        std::copy(n.matrix.begin(), n.matrix.end(), m.begin());
        return m;
    }
    const double tx = n.translation.size() == 3 ? n.translation[0] : 0;
    const double ty = n.translation.size() == 3 ? n.translation[1] : 0;
    const double tz = n.translation.size() == 3 ? n.translation[2] : 0;
    double x = 0, y = 0, z = 0, w = 1;
    if (n.rotation.size() == 4)
        x = n.rotation[0], y = n.rotation[1], z = n.rotation[2], w = n.rotation[3];
    double sx = 1, sy = 1, sz = 1;
    if (n.scale.size() == 3)
        sx = n.scale[0], sy = n.scale[1], sz = n.scale[2];
    return {(1 - 2 * (y * y + z * z)) * sx,
            (2 * (x * y + z * w)) * sx,
            (2 * (x * z - y * w)) * sx,
            0,
            (2 * (x * y - z * w)) * sy,
            (1 - 2 * (x * x + z * z)) * sy,
            (2 * (y * z + x * w)) * sy,
            0,
            (2 * (x * z + y * w)) * sz,
            (2 * (y * z - x * w)) * sz,
            (1 - 2 * (x * x + y * y)) * sz,
            0,
            tx,
            ty,
            tz,
            1};
}

// Something the object gets in another form, or not at all: counted, with the first place.
struct gltf_notice {
    unsigned count = 0;
    std::string first;
    void add(const std::string &where, unsigned n = 1) {
        if (count == 0)
            first = where;
        count += n;
    }
};

// Where the attributes of a primitive of the node being read went in the lists: key is the
// POSITION, NORMAL and TEXCOORD_0 accessors.
struct placed_attributes {
    std::array<int, 3> key;
    size_t count; // vertices
    unsigned v, vn, vt;
};

struct gltf_reader {
    gltf_reader(const tinygltf::Model &m, const char *f) : model(m), filename(f) {}
    const tinygltf::Model &model;
    const char *filename;
    std::vector<obj_corner> corners;
    std::vector<obj_face> faces;
    std::vector<material *> runs;          // in order of first use
    std::vector<material *> materials;     // by glTF index, made on first use
    std::vector<std::string> image_files;  // by glTF image index, "" until first used
    std::vector<std::string> merged;       // of the nodes merged into the first, quoted
    std::vector<placed_attributes> placed; // of the node being read
    gltf_notice no_texture, no_normal, zero_normals, points_lines, skins, morphs;
    gltf_notice left_out[5]; // the material features the material file has no place for
};

const char *const left_out_kinds[] = {"metallic-roughness textures", "occlusion textures",
                                      "emissive textures", "texture transforms",
                                      "textures of a second UV set"};

[[noreturn]] void broken(const gltf_reader &rd, const std::string &why) {
    die("%s: %s\n", rd.filename, why.c_str());
}

// The bytes of a buffer view, checked against its buffer.
const unsigned char *view_bytes(const gltf_reader &rd, int index, size_t *length, size_t *stride) {
    const auto &views = rd.model.bufferViews;
    if (index < 0 || static_cast<size_t>(index) >= views.size())
        broken(rd, formatted("buffer view %d does not exist", index));
    const tinygltf::BufferView &v = views[static_cast<size_t>(index)];
    if (v.buffer < 0 || static_cast<size_t>(v.buffer) >= rd.model.buffers.size())
        broken(rd,
               formatted("buffer view %d names buffer %d, which does not exist", index, v.buffer));
    const std::vector<unsigned char> &data = rd.model.buffers[static_cast<size_t>(v.buffer)].data;
    if (v.byteOffset > data.size() || v.byteLength > data.size() - v.byteOffset)
        broken(rd, formatted("buffer view %d runs past the end of its buffer (%zu bytes)", index,
                             data.size()));
    *length = v.byteLength;
    *stride = v.byteStride;
    return data.data() + v.byteOffset;
}

size_t component_size(const gltf_reader &rd, int type) {
    switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT:
        return 4;
    default:
        broken(rd, formatted("component type %d is none of the format's", type));
    }
}

// One component as a number: integers as they stand, or mapped to -1..1 or 0..1 when normalized.
double component(const unsigned char *p, int type, bool normalized) {
    switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE: {
        const auto v = static_cast<int8_t>(*p);
        return normalized ? std::max(v / 127.0, -1.0) : v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return normalized ? *p / 255.0 : *p;
    case TINYGLTF_COMPONENT_TYPE_SHORT: {
        int16_t v;
        memcpy(&v, p, 2);
        return normalized ? std::max(v / 32767.0, -1.0) : v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
        uint16_t v;
        memcpy(&v, p, 2);
        return normalized ? v / 65535.0 : v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    default: {
        float v;
        memcpy(&v, p, 4);
        return v;
    }
    }
}

// Reads count elements of n components each from a view at offset with the view's stride,
// every byte checked to lie inside it before anything is allocated. Without a view (an accessor
// of sparse values alone) the elements are zeros; so many that they would outnumber the bytes of
// the model's buffers make no model, only a demand for memory.
std::vector<double> read_elements(const gltf_reader &rd, int view, size_t offset, size_t count,
                                  int n, int type, bool normalized, const char *what) {
    const size_t size = component_size(rd, type) * static_cast<size_t>(n);
    if (view < 0) {
        size_t bytes = 0;
        for (const tinygltf::Buffer &b : rd.model.buffers)
            bytes += b.data.size();
        if (count > std::max<size_t>(bytes, 65536))
            broken(rd, formatted("%s: %zu elements without a buffer view, more than the model's "
                                 "%zu bytes of buffers",
                                 what, count, bytes));
        return std::vector<double>(count * static_cast<size_t>(n));
    }
    size_t length = 0, stride = 0;
    const unsigned char *bytes = view_bytes(rd, view, &length, &stride);
    if (stride == 0)
        stride = size;
    if (count != 0 && (offset > length || size > length - offset ||
                       (count - 1) > (length - offset - size) / stride))
        broken(rd, formatted("%s: %zu elements of %zu bytes from byte %zu run past the end of "
                             "buffer view %d (%zu bytes)",
                             what, count, size, offset, view, length));
    std::vector<double> out(count * static_cast<size_t>(n));
    for (size_t i = 0; i < count; i++)
        for (int c = 0; c < n; c++)
            out[i * static_cast<size_t>(n) + static_cast<size_t>(c)] =
                component(bytes + offset + i * stride + static_cast<size_t>(c) * (size / n), type,
                          normalized);
    return out;
}

// The component types that indices may have.
bool unsigned_integers(int type) {
    return type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
}

int type_components(int type) {
    switch (type) {
    case TINYGLTF_TYPE_SCALAR:
        return 1;
    case TINYGLTF_TYPE_VEC2:
        return 2;
    case TINYGLTF_TYPE_VEC3:
        return 3;
    case TINYGLTF_TYPE_VEC4:
        return 4;
    default:
        return 0;
    }
}

// An accessor's values, n components each, as the format defines them: strided, normalized
// integers mapped, sparse values put in place.
std::vector<double> read_accessor(const gltf_reader &rd, int index, int n, const char *what) {
    const auto &accessors = rd.model.accessors;
    if (index < 0 || static_cast<size_t>(index) >= accessors.size())
        broken(rd, formatted("%s: accessor %d does not exist", what, index));
    const tinygltf::Accessor &a = accessors[static_cast<size_t>(index)];
    if (type_components(a.type) != n)
        broken(rd, formatted("%s: accessor %d holds elements of %d components, not %d", what, index,
                             type_components(a.type), n));
    std::vector<double> values = read_elements(rd, a.bufferView, a.byteOffset, a.count, n,
                                               a.componentType, a.normalized, what);
    if (a.sparse.isSparse) {
        if (a.sparse.count < 0 || static_cast<size_t>(a.sparse.count) > a.count ||
            a.sparse.indices.bufferView < 0 || a.sparse.values.bufferView < 0 ||
            !unsigned_integers(a.sparse.indices.componentType))
            broken(rd, formatted("%s: the sparse values of accessor %d are not as the format "
                                 "defines them",
                                 what, index));
        const size_t count = static_cast<size_t>(a.sparse.count);
        const std::vector<double> at = read_elements(
            rd, a.sparse.indices.bufferView, static_cast<size_t>(a.sparse.indices.byteOffset),
            count, 1, a.sparse.indices.componentType, false, what);
        const std::vector<double> put = read_elements(
            rd, a.sparse.values.bufferView, static_cast<size_t>(a.sparse.values.byteOffset), count,
            n, a.componentType, a.normalized, what);
        for (size_t i = 0; i < count; i++) {
            if (at[i] >= static_cast<double>(a.count))
                broken(rd, formatted("%s: sparse index %.0f of accessor %d is past its %zu "
                                     "elements",
                                     what, at[i], index, a.count));
            std::copy_n(&put[i * static_cast<size_t>(n)], n,
                        &values[static_cast<size_t>(at[i]) * static_cast<size_t>(n)]);
        }
    }
    for (double v : values)
        if (!std::isfinite(v))
            broken(rd, formatted("%s: accessor %d holds a number that is not finite", what, index));
    return values;
}

// A name in a URI: %XX escapes decoded.
std::string decoded_uri(const std::string &uri) {
    std::string s;
    for (size_t i = 0; i < uri.size(); i++) {
        const auto hex = [](char c) {
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
        };
        if (uri[i] == '%' && i + 2 < uri.size() && hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0) {
            s += static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
            i += 2;
        } else {
            s += uri[i];
        }
    }
    return s;
}

// Whether a name can be a file beside the outputs as it stands.
bool plain_file_name(const std::string &name) {
    return !name.empty() && name.size() <= QZ_RECORD_NAME_LEN &&
           name.find_first_of("/\\:") == std::string::npos && name != "." && name != ".." &&
           plat_name_allowed(name.c_str());
}

// The file a texture slot names for an image: a file of its own, which must exist (outside the
// model's folder: its own name, with a warning), or one written from the model's bytes.
std::string image_file(gltf_reader &rd, int image, const std::string &model_stem,
                       const std::string &material_name) {
    if (image < 0 || static_cast<size_t>(image) >= rd.model.images.size())
        broken(rd,
               formatted("image %d of material '%s' does not exist", image, material_name.c_str()));
    std::string &known = rd.image_files[static_cast<size_t>(image)];
    if (!known.empty())
        return known;
    const tinygltf::Image &img = rd.model.images[static_cast<size_t>(image)];
    if (!img.uri.empty() && img.image.empty()) {
        const std::string path = decoded_uri(img.uri);
        if (!file_exists(path.c_str()))
            die("%s: image '%s' of material '%s' does not exist\n", rd.filename, path.c_str(),
                material_name.c_str());
        std::string stored = path;
        if (plat_path_leaves_dir(path.c_str())) {
            stored = plat_file_part(path.c_str());
            print(0,
                  "[warn] %s: image '%s' lies outside the model's folder: the material names it "
                  "'%s', the name by which alone the engine finds it; ship the file beside the "
                  "model\n",
                  rd.filename, path.c_str(), stored.c_str());
        }
        if (stored.size() > QZ_RECORD_NAME_LEN)
            die("%s: image name '%s' of material '%s' is %zu bytes long, a material holds names "
                "of at most %u bytes\n",
                rd.filename, stored.c_str(), material_name.c_str(), stored.size(),
                QZ_RECORD_NAME_LEN);
        return known = stored;
    }
    // Inside the model: a file of its own beside the outputs, named after the image.
    const char *ext = img.mimeType == "image/jpeg" ? ".jpg" : ".png";
    std::string name = img.name;
    if (!name.empty() && name.find('.') == std::string::npos)
        name += ext;
    if (!plain_file_name(name))
        name = model_stem + "_image" + std::to_string(image) + ext;
    if (!plain_file_name(name))
        name = "image" + std::to_string(image) + ext;
    for (const embedded_image &e : embedded_images)
        if (e.name == name)
            die("%s: images %d and %d would both be written to '%s'\n", rd.filename, e.index, image,
                name.c_str());
    embedded_images.push_back({name, image, img.image});
    return known = name;
}

// The glTF texture a texture info names, as the image file for a slot.
std::string texture_file(gltf_reader &rd, const tinygltf::TextureInfo &info,
                         const std::string &stem, const std::string &name) {
    const auto &textures = rd.model.textures;
    if (info.index < 0 || static_cast<size_t>(info.index) >= textures.size())
        broken(rd,
               formatted("texture %d of material '%s' does not exist", info.index, name.c_str()));
    if (info.texCoord != 0)
        rd.left_out[4].add(name);
    if (info.extensions.count("KHR_texture_transform") != 0)
        rd.left_out[3].add(name);
    return image_file(rd, textures[static_cast<size_t>(info.index)].source, stem, name);
}

// A texture info held in an extension's value ({"index": N, "texCoord": M}).
bool extension_texture(const tinygltf::Value &ext, const char *key, tinygltf::TextureInfo *info) {
    if (!ext.IsObject() || !ext.Has(key))
        return false;
    const tinygltf::Value &t = ext.Get(key);
    if (!t.IsObject() || !t.Has("index") || !t.Get("index").IsNumber())
        return false;
    info->index = t.Get("index").GetNumberAsInt();
    info->texCoord = t.Has("texCoord") ? t.Get("texCoord").GetNumberAsInt() : 0;
    if (t.Has("extensions") && t.Get("extensions").IsObject() &&
        t.Get("extensions").Has("KHR_texture_transform"))
        info->extensions["KHR_texture_transform"] = tinygltf::Value();
    return true;
}

// The material of glTF index i, made when a primitive first uses it.
material *gltf_material(gltf_reader &rd, int index, const std::string &stem) {
    if (index < 0)
        return nullptr;
    if (static_cast<size_t>(index) >= rd.model.materials.size())
        broken(rd, formatted("material %d does not exist", index));
    material *&m = rd.materials[static_cast<size_t>(index)];
    if (m != nullptr)
        return m;
    const tinygltf::Material &g = rd.model.materials[static_cast<size_t>(index)];
    std::string name = g.name.empty() ? "material_" + std::to_string(index) : g.name;
    if (material_exists(material_list, name.c_str()) != nullptr) {
        const std::string other = "material_" + std::to_string(index);
        print(0, "[warn] %s: material %d is named '%s' as an earlier one is: it is called '%s'\n",
              rd.filename, index, name.c_str(), other.c_str());
        name = other;
    }
    const material *twin = nullptr;
    if (!material_file_allowed(name.c_str(), &twin))
        die("%s: material name '%s' would put its file outside the working directory\n",
            rd.filename, name.c_str());
    if (twin != nullptr)
        die("%s: materials '%s' and '%s' agree in their first %u bytes, which name their records "
            "and files\n",
            rd.filename, twin->name, name.c_str(), QZ_RECORD_NAME_LEN);
    m = add_material(name.c_str());
    if (g.alphaMode == "BLEND" && g.pbrMetallicRoughness.baseColorFactor.size() == 4)
        m->qzmat->opacity =
            opacity_byte(static_cast<float>(g.pbrMetallicRoughness.baseColorFactor[3]));
    const auto &pbr = g.pbrMetallicRoughness;
    if (pbr.baseColorTexture.index >= 0)
        set_texture(m, SLOT_DIFFUSE, texture_file(rd, pbr.baseColorTexture, stem, name).c_str());
    if (g.normalTexture.index >= 0) {
        tinygltf::TextureInfo info;
        info.index = g.normalTexture.index;
        info.texCoord = g.normalTexture.texCoord;
        info.extensions = g.normalTexture.extensions;
        set_texture(m, SLOT_NORMAL, texture_file(rd, info, stem, name).c_str());
    }
    tinygltf::TextureInfo specular_info;
    const auto specular = g.extensions.find("KHR_materials_specular");
    const auto gloss = g.extensions.find("KHR_materials_pbrSpecularGlossiness");
    if (gloss != g.extensions.end()) {
        tinygltf::TextureInfo diffuse;
        if (pbr.baseColorTexture.index < 0 &&
            extension_texture(gloss->second, "diffuseTexture", &diffuse))
            set_texture(m, SLOT_DIFFUSE, texture_file(rd, diffuse, stem, name).c_str());
        if (extension_texture(gloss->second, "specularGlossinessTexture", &specular_info))
            set_texture(m, SLOT_SPECULAR, texture_file(rd, specular_info, stem, name).c_str());
    } else if (specular != g.extensions.end() &&
               (extension_texture(specular->second, "specularTexture", &specular_info) ||
                extension_texture(specular->second, "specularColorTexture", &specular_info))) {
        set_texture(m, SLOT_SPECULAR, texture_file(rd, specular_info, stem, name).c_str());
    }
    if (pbr.metallicRoughnessTexture.index >= 0)
        rd.left_out[0].add(name);
    if (g.occlusionTexture.index >= 0)
        rd.left_out[1].add(name);
    if (g.emissiveTexture.index >= 0)
        rd.left_out[2].add(name);
    return m;
}

// The triangles of a primitive as corner numbers into its vertices, three each.
std::vector<uint32_t> primitive_triangles(const gltf_reader &rd, const tinygltf::Primitive &p,
                                          size_t vertices, const std::string &where) {
    std::vector<uint32_t> order;
    if (p.indices >= 0) {
        if (static_cast<size_t>(p.indices) < rd.model.accessors.size() &&
            !unsigned_integers(rd.model.accessors[static_cast<size_t>(p.indices)].componentType))
            broken(rd, formatted("%s: its indices are not unsigned integers", where.c_str()));
        const std::vector<double> idx = read_accessor(rd, p.indices, 1, where.c_str());
        order.reserve(idx.size());
        for (double i : idx) {
            if (i >= static_cast<double>(vertices))
                broken(rd, formatted("%s: index %.0f is past its %zu vertices", where.c_str(), i,
                                     vertices));
            order.push_back(static_cast<uint32_t>(i));
        }
    } else {
        for (size_t i = 0; i < vertices; i++)
            order.push_back(static_cast<uint32_t>(i));
    }
    if (p.mode == TINYGLTF_MODE_TRIANGLES) {
        order.resize(order.size() / 3 * 3);
        return order;
    }
    std::vector<uint32_t> tri;
    for (size_t i = 2; i < order.size(); i++) {
        uint32_t a, b, c;
        if (p.mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
            // Every other triangle of a strip is given the other way round.
            a = order[i - 2], b = order[i - 1 + i % 2], c = order[i - i % 2];
            if (a == b || b == c || a == c) // the seams that join strips into one
                continue;
        } else {
            a = order[i - 1], b = order[i], c = order[0];
        }
        tri.insert(tri.end(), {a, b, c});
    }
    return tri;
}

// A primitive of a node with its world transform: positions, normals and texture coordinates
// join the lists, its triangles the faces.
void read_primitive(gltf_reader &rd, const tinygltf::Primitive &p, const mat4 &world,
                    const std::string &where, const std::string &stem) {
    if (p.mode != TINYGLTF_MODE_TRIANGLES && p.mode != TINYGLTF_MODE_TRIANGLE_STRIP &&
        p.mode != TINYGLTF_MODE_TRIANGLE_FAN) {
        rd.points_lines.add(where);
        return;
    }
    if (!p.targets.empty())
        rd.morphs.add(where);
    const auto attribute = [&](const char *name) {
        const auto found = p.attributes.find(name);
        return found != p.attributes.end() ? found->second : -1;
    };
    if (attribute("POSITION") < 0)
        broken(rd, formatted("%s has no POSITION", where.c_str()));
    // Primitives that share their attributes (one mesh in several materials) share their
    // vertices in the lists, as the faces of an OBJ file share its elements: read once.
    const std::array<int, 3> key = {attribute("POSITION"), attribute("NORMAL"),
                                    attribute("TEXCOORD_0")};
    const bool given_normals = key[1] >= 0, given_uv = key[2] >= 0;
    const auto shared = std::find_if(rd.placed.begin(), rd.placed.end(),
                                     [&key](const placed_attributes &a) { return a.key == key; });
    std::vector<double> pos, nor, uv;
    size_t n = shared != rd.placed.end() ? shared->count : 0;
    if (shared == rd.placed.end()) {
        pos = read_accessor(rd, key[0], 3, where.c_str());
        n = pos.size() / 3;
        if (given_normals) {
            nor = read_accessor(rd, key[1], 3, where.c_str());
            if (nor.size() != pos.size())
                broken(rd, formatted("%s: NORMAL has %zu elements, POSITION %zu", where.c_str(),
                                     nor.size() / 3, n));
        }
        if (given_uv) {
            uv = read_accessor(rd, key[2], 2, where.c_str());
            if (uv.size() / 2 != n)
                broken(rd, formatted("%s: TEXCOORD_0 has %zu elements, POSITION %zu", where.c_str(),
                                     uv.size() / 2, n));
        }
    }
    const std::vector<uint32_t> tri = primitive_triangles(rd, p, n, where);
    if (tri.empty())
        return;
    const size_t fresh = pos.size() / 3; // none when the vertices were placed before
    if (uint64_t{num_v} + fresh > MAX_ELEMENTS ||
        uint64_t{nindices} + tri.size() / 3 > MAX_TRIANGLES)
        broken(rd, formatted("%s: more than %u triangles or %u positions, more than an object "
                             "file holds",
                             where.c_str(), MAX_TRIANGLES, MAX_ELEMENTS));
    unsigned v0 = num_v, vn0 = num_vn, vt0 = num_vt;
    if (shared != rd.placed.end())
        v0 = shared->v, vn0 = shared->vn, vt0 = shared->vt;
    else
        rd.placed.push_back({key, n, v0, vn0, vt0});
    // Normals go by the inverse transpose of the transform's 3 x 3 part: its cofactors over its
    // determinant (cof[3 * c + r] is the cofactor of row r, column c).
    const mat4 &m = world;
    const double cof[9] = {
        m[5] * m[10] - m[6] * m[9], m[6] * m[8] - m[4] * m[10], m[4] * m[9] - m[5] * m[8],
        m[2] * m[9] - m[1] * m[10], m[0] * m[10] - m[2] * m[8], m[1] * m[8] - m[0] * m[9],
        m[1] * m[6] - m[2] * m[5],  m[2] * m[4] - m[0] * m[6],  m[0] * m[5] - m[1] * m[4]};
    const double det = m[0] * cof[0] + m[1] * cof[1] + m[2] * cof[2];
    for (size_t i = 0; i < fresh; i++) {
        const double *q = &pos[3 * i];
        for (int r = 0; r < 3; r++)
            v_list.push_back(
                static_cast<float>(m[r] * q[0] + m[4 + r] * q[1] + m[8 + r] * q[2] + m[12 + r]));
        if (given_normals) {
            const double *k = &nor[3 * i];
            double t[3];
            for (int r = 0; r < 3; r++)
                t[r] = (cof[r] * k[0] + cof[3 + r] * k[1] + cof[6 + r] * k[2]) / det;
            // At unit length, as the OBJ reader stores a given normal: one within 1e-6 of it as
            // it is, so that a model without transforms keeps its normals bit for bit.
            const double len = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]);
            const double scale = std::fabs(len - 1) <= 1e-6 ? 1 : len > 0 ? 1 / len : 0;
            for (double c : t) // one of no length stays so, for its face's normal
                vn_list.push_back(static_cast<float>(c * scale));
            if (!(len > 0))
                rd.zero_normals.add(where);
        }
        if (given_uv) // the engine's v runs as OBJ's does, up from the bottom
            vt_list.insert(vt_list.end(),
                           {static_cast<float>(uv[2 * i]), static_cast<float>(1 - uv[2 * i + 1])});
    }
    num_v += static_cast<unsigned>(fresh);
    if (given_normals)
        num_vn += static_cast<unsigned>(fresh);
    else
        rd.no_normal.add(where, static_cast<unsigned>(tri.size()));
    if (given_uv)
        num_vt += static_cast<unsigned>(fresh);
    else
        rd.no_texture.add(where, static_cast<unsigned>(tri.size()));
    material *mat = gltf_material(rd, p.material, stem);
    unsigned run = 0;
    if (mat != nullptr) {
        if (mat->run == 0) {
            rd.runs.push_back(mat);
            mat->run = static_cast<unsigned>(rd.runs.size());
        }
        run = mat->run;
    }
    for (size_t t = 0; t < tri.size(); t += 3) {
        rd.faces.push_back({static_cast<unsigned>(rd.corners.size()), 3, 0, run, 0});
        // A transform that mirrors turns the faces inside out: the winding turns back.
        const uint32_t order[3] = {tri[t], det < 0 ? tri[t + 2] : tri[t + 1],
                                   det < 0 ? tri[t + 1] : tri[t + 2]};
        for (uint32_t k : order)
            rd.corners.push_back({v0 + k, vt0 + k, vn0 + k, !given_uv, !given_normals});
    }
    nindices += static_cast<unsigned>(tri.size() / 3);
}

// The nodes a scene reaches, depth first in the order given, each with its world transform.
void read_nodes(gltf_reader &rd, const std::string &stem) {
    const tinygltf::Model &g = rd.model;
    if (g.scenes.empty())
        return;
    const size_t scene =
        g.defaultScene >= 0 && static_cast<size_t>(g.defaultScene) < g.scenes.size()
            ? static_cast<size_t>(g.defaultScene)
            : 0;
    struct pending {
        int node;
        mat4 parent;
    };
    std::vector<pending> stack;
    const std::vector<int> &roots = g.scenes[scene].nodes;
    for (auto r = roots.rbegin(); r != roots.rend(); ++r)
        stack.push_back({*r, identity});
    std::vector<bool> seen(g.nodes.size());
    while (!stack.empty()) {
        const pending at = stack.back();
        stack.pop_back();
        if (at.node < 0 || static_cast<size_t>(at.node) >= g.nodes.size())
            broken(rd, formatted("node %d does not exist", at.node));
        if (seen[static_cast<size_t>(at.node)])
            broken(rd, formatted("node %d is reached twice: the node tree is no tree", at.node));
        seen[static_cast<size_t>(at.node)] = true;
        const tinygltf::Node &node = g.nodes[static_cast<size_t>(at.node)];
        const mat4 world = multiply(at.parent, local_transform(node));
        if (node.mesh >= 0) {
            if (static_cast<size_t>(node.mesh) >= g.meshes.size())
                broken(rd, formatted("node %d names mesh %d, which does not exist", at.node,
                                     node.mesh));
            const tinygltf::Mesh &mesh = g.meshes[static_cast<size_t>(node.mesh)];
            const std::string name = !node.name.empty() ? node.name : mesh.name;
            if (obj_name == nullptr && !name.empty())
                obj_name = xstrdup(name.c_str());
            else if (!name.empty())
                rd.merged.push_back("'" + name + "'");
            // A skinned mesh is placed by its joints, not by its node: in its bind pose its
            // positions stand as given.
            if (node.skin >= 0)
                rd.skins.add("mesh '" + mesh.name + "'");
            rd.placed.clear(); // another node puts the attributes elsewhere
            for (size_t p = 0; p < mesh.primitives.size(); p++)
                read_primitive(rd, mesh.primitives[p], node.skin >= 0 ? identity : world,
                               formatted("mesh '%s' primitive %zu", mesh.name.c_str(), p), stem);
        }
        for (auto c = node.children.rbegin(); c != node.children.rend(); ++c)
            stack.push_back({*c, world});
    }
}

void print_gltf_notices(const gltf_reader &rd) {
    const char *f = rd.filename;
    if (rd.merged.size() != 0)
        print(0, "[warn] %s: %zu objects merged into the first, '%s': %s\n", f,
              rd.merged.size() + 1, obj_name, joined_names(rd.merged).c_str());
    const auto line = [f](const gltf_notice &n, const char *text) {
        if (n.count != 0)
            print(0, "[warn] %s: %u %s, the first in %s\n", f, n.count, text, n.first.c_str());
    };
    line(rd.no_texture, "corners without a texture coordinate get (0, 0)");
    line(rd.no_normal, "corners without a normal get one made from their faces");
    line(rd.zero_normals, "given normals of no length take their faces' normals");
    line(rd.points_lines, "primitives of points or lines skipped: an object holds faces only");
    line(rd.skins, "skinned meshes kept in their bind pose");
    line(rd.morphs, "primitives with morph targets kept in their base shape");
    for (size_t k = 0; k < std::size(left_out_kinds); k++)
        if (rd.left_out[k].count != 0)
            print(0, "[warn] %s: %u %s left out, the first in material '%s'\n", f,
                  rd.left_out[k].count, left_out_kinds[k], rd.left_out[k].first.c_str());
}

// The parser reads the model's buffers through these; it writes nothing.
bool gltf_file_exists(const std::string &name, void *) {
    return file_exists(name.c_str()) != 0;
}

std::string gltf_expand(const std::string &name, void *) {
    return name;
}

bool gltf_read(std::vector<unsigned char> *out, std::string *err, const std::string &name, void *) {
    const fd_guard in{plat_open_read(name.c_str())};
    out->clear();
    if (in.fd >= 0 && read_to_end(in.fd, out))
        return true;
    *err = formatted("'%s': %s", name.c_str(), strerror(errno));
    return false;
}

bool gltf_write(std::string *err, const std::string &, const std::vector<unsigned char> &, void *) {
    *err = "the importer writes no glTF";
    return false;
}

// An image inside the model stays as its file's bytes.
bool keep_image(tinygltf::Image *image, const int, std::string *, std::string *, int, int,
                const unsigned char *bytes, int size, void *) {
    image->image.assign(bytes, bytes + size);
    image->as_is = true;
    return true;
}

// The extensions the reader takes, or leaves out with a warning where the material file has no
// place for them (texture transforms; the materials' other settings change how a surface looks,
// not the mesh). A file that requires any other (a compressed mesh, an image format) is refused.
bool extension_read(const std::string &name) {
    return name == "KHR_mesh_quantization" || name == "KHR_texture_transform" ||
           name.rfind("KHR_materials_", 0) == 0;
}

} // namespace

bool read_to_end(int fd, std::vector<unsigned char> *bytes) {
    unsigned char block[65536];
    for (int64_t n; (n = read_some_all(fd, block, sizeof block)) != 0;) {
        if (n < 0)
            return false;
        bytes->insert(bytes->end(), block, block + n);
    }
    return true;
}

bool may_be_gltf(const unsigned char *head, size_t n) {
    if (n >= 4 && memcmp(head, "glTF", 4) == 0)
        return true;
    size_t i = n >= 3 && memcmp(head, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    while (i < n && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n'))
        i++;
    return i < n && head[i] == '{';
}

bool is_gltf(const std::vector<unsigned char> &bytes) {
    if (!may_be_gltf(bytes.data(), bytes.size()))
        return false;
    if (bytes.size() >= 4 && memcmp(bytes.data(), "glTF", 4) == 0)
        return true;
    static const char key[] = "\"asset\"";
    return std::search(bytes.begin(), bytes.end(), key, key + sizeof key - 1) != bytes.end();
}

void read_gltf_file(const char *filename, const std::vector<unsigned char> &bytes) {
    print(0, "reading: '%s' ...\n", filename);
    tinygltf::TinyGLTF loader;
    loader.SetFsCallbacks({gltf_file_exists, gltf_expand, gltf_read, gltf_write, nullptr});
    loader.SetImageLoader(keep_image, nullptr);
    tinygltf::Model model;
    std::string err, warn;
    if (bytes.size() > UINT32_MAX)
        die("%s: %zu bytes, more than a glTF file holds\n", filename, bytes.size());
    const auto length = static_cast<unsigned>(bytes.size());
    const bool ok =
        bytes.size() >= 4 && memcmp(bytes.data(), "glTF", 4) == 0
            ? loader.LoadBinaryFromMemory(&model, &err, &warn, bytes.data(), length)
            : loader.LoadASCIIFromString(&model, &err, &warn,
                                         reinterpret_cast<const char *>(bytes.data()), length, "");
    if (!ok) {
        while (!err.empty() && (err.back() == '\n' || err.back() == ' '))
            err.pop_back();
        for (char &c : err)
            if (c == '\n')
                c = ' ';
        die("%s: %s\n", filename, err.empty() ? "not a glTF file the reader takes" : err.c_str());
    }
    for (const std::string &ext : model.extensionsRequired)
        if (!extension_read(ext))
            die("%s requires the extension %s, which qz_import does not read\n", filename,
                ext.c_str());
    gltf_reader rd{model, filename};
    rd.materials.resize(model.materials.size());
    rd.image_files.resize(model.images.size());
    char *noext = filename_noext(plat_file_part(filename));
    const std::string stem(noext);
    free(noext);
    // Every material of the file, in its order, used or not, as every material of a library is.
    for (size_t i = 0; i < model.materials.size(); i++)
        gltf_material(rd, static_cast<int>(i), stem);
    read_nodes(rd, stem);
    print_gltf_notices(rd);
    build_object(rd.faces, rd.corners, rd.runs, filename, rd.no_texture.count != 0,
                 rd.no_normal.count != 0 || rd.zero_normals.count != 0);
}

// qz_import on glTF 2.0 models built here as exporters write them: the same object as the OBJ of
// the same model, node transforms, strips and fans, packed accessors, images inside the model,
// and the files it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "gltf_builder.h"
#include "object_reader.h"
#include "qz_test.h"

using namespace qzt;

namespace {

run_result import(const temp_dir &t, const std::vector<std::pair<std::string, std::string>> &in,
                  const std::vector<std::string> &args) {
    for (const auto &[name, content] : in)
        write_file(t / name, content);
    return run(tool("qz_import"), args, t.path);
}

const std::string quad_obj =
    "o Crate\nmtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 0.75\nvt 0.5 0.5\n"
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0.6 0 0.8\nvn 0 0 1\n"
    "usemtl Wood\nf 1/1/1 2/2/2 3/3/3\nf 1/1/1 3/3/3 4/4/4\nusemtl Glass\nf 2/2/2 5/5/5 3/3/3\n";
const std::string quad_mtl = "newmtl Wood\nmap_Kd wood.png\nmap_bump wood normal.png\n"
                             "newmtl Glass\nd 0.5\n";

// The same model as OBJ and as glTF, in each of its three forms, gives the same object and
// material files, and the reader is chosen by what the file holds, not by its name.
TEST(ImportGltf, SameObjectAsTheObjOfTheModel) {
    const gltf_builder g = two_material_model();
    temp_dir obj;
    const std::vector<std::pair<std::string, std::string>> images = {{"wood.png", "png"},
                                                                     {"wood normal.png", "png"}};
    auto in = images;
    in.insert(in.end(), {{"m.obj", quad_obj}, {"m.mtl", quad_mtl}});
    const run_result a = import(obj, in, {"m.obj"});
    ASSERT_EQ(a.status, 0) << a.err;
    const std::pair<std::string, std::string> forms[] = {{"m.gltf", g.json("m.bin")},
                                                         {"m.gltf", g.data_uri_json()},
                                                         {"m.glb", g.glb()},
                                                         {"model.obj", g.glb()}};
    for (const auto &[name, content] : forms) {
        SCOPED_TRACE(name);
        temp_dir t;
        auto files = images;
        files.insert(files.end(), {{name, content}, {"m.bin", g.bin}});
        const run_result r = import(t, files, {name});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string stem = name.substr(0, name.find('.'));
        EXPECT_EQ(r.out, "qz_import 12.09.2012 (ul_tam)\nworking dir: .\nreading: '" + name +
                             "' ...\nreading: '" + stem +
                             ".paths' skipped, file not found...\n"
                             "writing: '" +
                             stem +
                             ".object'\nwriting material: "
                             "'Wood.material_new'\nwriting material: 'Glass.material_new'\n");
        EXPECT_TRUE(read_file(t / (stem + ".object")) == read_file(obj / "m.object"));
        for (const char *mat : {"Wood.material_new", "Glass.material_new"})
            EXPECT_EQ(read_file(t / mat), read_file(obj / mat)) << mat;
    }
}

// Node transforms: a parent's moves its children, matrices and translation-rotation-scale
// alike; normals go by the inverse transpose and come out at unit length; a mirror keeps the
// faces pointing out. Strips and fans make the triangles the format defines.
TEST(ImportGltf, TransformsStripsAndFans) {
    gltf_builder g;
    const int pos = g.positions({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 1, 0});
    const int nor = g.floats(
        {0.6f, 0, 0.8f, 0.6f, 0, 0.8f, 0.6f, 0, 0.8f, 0.6f, 0, 0.8f, 0.6f, 0, 0.8f}, "VEC3", 3);
    const std::string at =
        "{\"POSITION\": " + std::to_string(pos) + ", \"NORMAL\": " + std::to_string(nor) + "}";
    g.meshes = {"{\"name\": \"tri\", \"primitives\": [{\"attributes\": " + at + "}]}",
                "{\"name\": \"strip\", \"primitives\": [{\"attributes\": " + at +
                    ", \"mode\": 5}]}",
                "{\"name\": \"fan\", \"primitives\": [{\"attributes\": " + at + ", \"mode\": 6}]}"};
    g.nodes = {// a parent moved by 10 along x, its child turned a quarter about z and scaled
               "{\"translation\": [10, 0, 0], \"children\": [1]}",
               "{\"name\": \"child\", \"mesh\": 0, \"rotation\": [0, 0, 0.70710678, "
               "0.70710678], \"scale\": [2, 1, 1]}",
               // a mirror in x, as a matrix
               "{\"mesh\": 1, \"matrix\": [-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]}",
               "{\"mesh\": 2}",
               // a skinned mesh: placed by its joints, so its node's transform does not apply
               "{\"name\": \"skinned\", \"mesh\": 0, \"skin\": 0, \"translation\": [100, 0, 0]}"};
    g.scene_nodes = "[0, 2, 3, 4]";
    g.extra = "\"skins\": [{\"joints\": [4]}], ";
    temp_dir t;
    const run_result r = import(t, {{"m.gltf", g.json("m.bin")}, {"m.bin", g.bin}}, {"m.gltf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[warn] m.gltf: 4 objects merged into the first, 'child': 'strip', "
                         "'fan', 'skinned'\n[warn] m.gltf: 24 corners without a texture "
                         "coordinate get (0, 0), the first in mesh 'tri' primitive 0\n[warn] "
                         "m.gltf: 1 skinned meshes kept in their bind pose, the first in mesh "
                         "'tri'\n"),
              std::string::npos)
        << r.out;
    const object_data o = read_object_file(t / "m.object");
    // Each triangle's corners in the file's order: position and normal of each.
    std::vector<std::vector<float>> corners;
    for (uint32_t i : o.indices) {
        const qz_vertex &v = o.vertices[i];
        corners.push_back({v.pos.x, v.pos.y, v.pos.z, v.nor.x, v.nor.y, v.nor.z});
    }
    ASSERT_EQ(corners.size(), 3u * (1 + 3 + 3 + 1));
    const auto near = [](const std::vector<float> &a, const std::vector<double> &b) {
        for (size_t i = 0; i < b.size(); i++)
            if (std::fabs(a[i] - b[i]) > 1e-5)
                return false;
        return true;
    };
    // The child: (x, y) -> (10 - y, 2x); the normal (0.6, 0, 0.8) by the inverse transpose of
    // rotate(scale(2, 1)) -> (0, 0.3, 0.8), at unit length.
    const double ny = 0.3 / std::sqrt(0.73), nz = 0.8 / std::sqrt(0.73);
    EXPECT_TRUE(near(corners[0], {10, 0, 0, 0, ny, nz}));
    EXPECT_TRUE(near(corners[1], {10, 2, 0, 0, ny, nz}));
    EXPECT_TRUE(near(corners[2], {9, 0, 0, 0, ny, nz}));
    // The mirrored strip: (0 1 2), (2 1 3), (2 3 4) with x negated and each triangle turned back,
    // so that it faces +z as the unmirrored one does.
    const std::vector<double> strip[] = {{0, 0},  {0, 1}, {-1, 0}, {-1, 0}, {0, 1},
                                         {-1, 1}, {0, 1}, {-2, 1}, {-1, 1}};
    for (size_t i = 0; i < 9; i++)
        EXPECT_TRUE(near(corners[3 + i], {strip[i][0], strip[i][1], 0, -0.6, 0, 0.8})) << i;
    // The fan: (1 2 0), (2 3 0), (3 4 0).
    const std::vector<double> fan[] = {{1, 0}, {0, 1}, {0, 0}, {0, 1}, {1, 1},
                                       {0, 0}, {1, 1}, {2, 1}, {0, 0}};
    for (size_t i = 0; i < 9; i++)
        EXPECT_TRUE(near(corners[12 + i], {fan[i][0], fan[i][1], 0, 0.6, 0, 0.8})) << i;
    // The skinned triangle in its bind pose: as given.
    EXPECT_TRUE(near(corners[21], {0, 0, 0, 0.6, 0, 0.8}));
    EXPECT_TRUE(near(corners[23], {0, 1, 0, 0.6, 0, 0.8}));
}

// Packed accessors: positions as unsigned shorts (KHR_mesh_quantization) interleaved with
// normalized byte normals through one strided view, texture coordinates as normalized unsigned
// bytes, and a sparse accessor that moves one position; no indices, no material.
TEST(ImportGltf, QuantizedInterleavedAndSparseAccessors) {
    gltf_builder g;
    g.extra = "\"extensionsUsed\": [\"KHR_mesh_quantization\"], \"extensionsRequired\": "
              "[\"KHR_mesh_quantization\"], ";
    // Per vertex: x y z (ushort) and two bytes of padding, then nx ny nz (byte) and one more.
    std::vector<uint8_t> interleaved;
    const uint16_t xyz[3][3] = {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}};
    for (const auto &p : xyz) {
        for (uint16_t c : p)
            interleaved.insert(interleaved.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
        interleaved.insert(interleaved.end(), {0, 0, 0, 0, 127, 0});
    }
    const int view = g.view(interleaved, 12);
    const int pos = g.accessor(view, GL_USHORT, 3, "VEC3",
                               ", \"min\": [0, 0, 0], \"max\": [4, 8, 0], \"sparse\": {\"count\": "
                               "1, \"indices\": {\"bufferView\": " +
                                   std::to_string(g.view(std::vector<uint8_t>{2})) +
                                   ", \"componentType\": 5121}, \"values\": {\"bufferView\": " +
                                   std::to_string(g.view(std::vector<uint16_t>{0, 8, 0})) + "}}");
    const int nor =
        g.accessor(view, GL_BYTE, 3, "VEC3", ", \"byteOffset\": 8, \"normalized\": true");
    const int uv = g.accessor(g.view(std::vector<uint8_t>{0, 255, 255, 255, 0, 0}), GL_UBYTE, 3,
                              "VEC2", ", \"normalized\": true");
    g.meshes = {"{\"primitives\": [{\"attributes\": {\"POSITION\": " + std::to_string(pos) +
                ", \"NORMAL\": " + std::to_string(nor) + ", \"TEXCOORD_0\": " + std::to_string(uv) +
                "}}]}"};
    g.nodes = {"{\"mesh\": 0}"};
    temp_dir t;
    const run_result r = import(t, {{"q.glb", g.glb()}}, {"q.glb"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[warn] No object name found, falling back to q\n"), std::string::npos);
    const object_data o = read_object_file(t / "q.object");
    ASSERT_EQ(o.vertices.size(), 3u);
    EXPECT_EQ(o.indices, (std::vector<uint32_t>{0, 1, 2}));
    const float want[3][5] = {{0, 0, 0, 0, 0}, {4, 0, 0, 1, 0}, {0, 8, 0, 0, -1}};
    for (size_t i = 0; i < 3; i++) {
        const qz_vertex &v = o.vertices[i];
        EXPECT_EQ((std::vector<float>{v.pos.x, v.pos.y, v.pos.z, v.uv[0], v.uv[1]}),
                  std::vector<float>(want[i], want[i] + 5))
            << i;
        EXPECT_EQ(v.nor.z, 1.0f);
    }
    EXPECT_TRUE(o.materials.empty());
}

// Images inside the model, in a .glb's buffer or a data: URI, become files beside the outputs,
// staged with them and refused without -f when the name is taken; an image file the model names
// must exist; a required extension the importer does not read and a cut .glb are refused with
// the file's name and the reason, before anything is written.
TEST(ImportGltf, ImagesAndRefusedFiles) {
    const std::string png = "\x89PNG\r\n\x1a\nsome image bytes";
    gltf_builder g = two_material_model();
    const int bytes = g.view(std::vector<char>(png.begin(), png.end()));
    g.images = {"{\"name\": \"wood\", \"bufferView\": " + std::to_string(bytes) +
                    ", \"mimeType\": \"image/png\"}",
                "{\"uri\": \"data:image/jpeg;base64,/9j/4A==\"}"};
    {
        temp_dir t;
        const run_result r = import(t, {{"m.glb", g.glb()}}, {"m.glb"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("writing image: 'wood.png'\nwriting image: 'm_image1.jpg'\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(read_file(t / "wood.png"), png);
        EXPECT_EQ(read_file(t / "m_image1.jpg"), std::string("\xFF\xD8\xFF\xE0", 4));
        const run_result again = run(tool("qz_import"), {"m.glb"}, t.path);
        EXPECT_EQ(again.status, DIE_STATUS);
        EXPECT_EQ(read_file(t / "wood.png"), png);
    }
    const gltf_builder missing = two_material_model(); // names wood.png, which is not there
    gltf_builder draco = two_material_model();
    draco.images.clear();
    draco.textures.clear();
    draco.materials = {"{}", "{}"};
    draco.extra = "\"extensionsRequired\": [\"KHR_draco_mesh_compression\"], ";
    const std::string cut = two_material_model().glb().substr(0, 100);
    const std::pair<std::string, std::string> refused[] = {
        {missing.json("m.bin"), "*error*:m.gltf: image 'wood.png' of material 'Wood' does not "
                                "exist\n"},
        {draco.json("m.bin"), "*error*:m.gltf requires the extension KHR_draco_mesh_compression, "
                              "which qz_import does not read\n"},
        {cut, ""}};
    for (const auto &[content, err] : refused) {
        temp_dir t;
        const run_result r = import(t, {{"m.gltf", content}, {"m.bin", missing.bin}}, {"m.gltf"});
        EXPECT_EQ(r.status, DIE_STATUS);
        if (!err.empty())
            EXPECT_EQ(r.err, err);
        else
            EXPECT_EQ(r.err.rfind("*error*:m.gltf: ", 0), 0u) << r.err;
        EXPECT_EQ(listing(t.path), (std::set<std::string>{"m.bin", "m.gltf"}));
    }
}

} // namespace

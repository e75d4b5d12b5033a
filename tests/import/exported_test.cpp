// qz_import on models as modelling programs export them: several objects, materials without a
// name or without a library, indented statements, corners without texture coordinates or
// normals, and the normals made for them. Each run is checked for its exact output and for what
// the object file means.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "object_reader.h"
#include "qz_test.h"

using namespace qzt;

namespace {

using files = std::vector<std::pair<std::string, std::string>>;

run_result import(const temp_dir &t, const files &input, const std::string &obj = "m.obj") {
    for (const auto &[name, content] : input)
        write_file(t / name, content);
    return run(tool("qz_import"), {obj}, t.path);
}

std::string head(const std::string &obj) {
    return "qz_import 12.09.2012 (ul_tam)\nworking dir: .\nreading: '" + obj + "' ...\n";
}
// From the paths file on; unnamed when the model has no "o" statement.
std::string tail(const std::string &base, const std::vector<std::string> &materials = {},
                 bool unnamed = false) {
    std::string s = "reading: '" + base + ".paths' skipped, file not found...\n";
    if (unnamed)
        s += "[warn] No object name found, falling back to " + base + "\n";
    s += "writing: '" + base + ".object'\n";
    for (const std::string &m : materials)
        s += "writing material: '" + m + ".material_new'\n";
    return s;
}

vec3 unit(const vec3 &a) {
    const double l = std::sqrt(dot(a, a));
    return {a.x / l, a.y / l, a.z / l};
}
vec3 position(const object_data &o, uint32_t index) {
    const qz_vec &p = o.vertices[index].pos;
    return {p.x, p.y, p.z};
}
vec3 normal(const qz_vertex &v) {
    return {v.nor.x, v.nor.y, v.nor.z};
}

// The area of the triangles from index first on, and whether each faces along up.
std::pair<double, bool> cover(const object_data &o, uint32_t first, uint32_t count,
                              const vec3 &up) {
    double area = 0;
    bool along = true;
    for (uint32_t i = first; i < first + count; i += 3) {
        const vec3 a = position(o, o.indices[i]);
        const vec3 n = cross(position(o, o.indices[i + 1]) - a, position(o, o.indices[i + 2]) - a);
        area += std::sqrt(dot(n, n)) / 2;
        along = along && dot(n, up) > 0;
    }
    return {area, along};
}

// Blender: one object per mesh, each with its own "usemtl", quads, "s off" and "s 1", and a
// material without a name ("newmtl " and "usemtl " with nothing behind them).
TEST(ImportExported, BlenderScene) {
    const std::string obj = "# Blender v2.93.1 OBJ File: ''\n# www.blender.org\n"
                            "mtllib scene.mtl\no Cube\n"
                            "v 1 1 -1\nv 1 -1 -1\nv 1 1 1\nv 1 -1 1\n"
                            "v -1 1 -1\nv -1 -1 -1\nv -1 1 1\nv -1 -1 1\n"
                            "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                            "vn 0 1 0\nvn 0 0 1\nvn -1 0 0\nvn 0 -1 0\nvn 1 0 0\nvn 0 0 -1\n"
                            "usemtl Material\ns off\n"
                            "f 1/1/1 5/2/1 7/3/1 3/4/1\nf 4/1/2 3/2/2 7/3/2 8/4/2\n"
                            "f 8/1/3 7/2/3 5/3/3 6/4/3\nf 6/1/4 2/2/4 4/3/4 8/4/4\n"
                            "f 2/1/5 1/2/5 3/3/5 4/4/5\nf 6/1/6 5/2/6 1/3/6 2/4/6\n"
                            "o Plane\nv -1 0 -1\nv 1 0 -1\nv -1 0 1\nv 1 0 1\nvn 0 1 0\n"
                            "usemtl \ns 1\nf 9/1/7 11/2/7 12/3/7 10/4/7\n"
                            "o Light\no Camera\n";
    const std::string mtl = "# Blender MTL File: 'scene.blend'\n# Material Count: 2\n\n"
                            "newmtl \nNs 0\nKd 0.8 0.8 0.8\nd 1\nillum 2\n\n"
                            "newmtl Material\nNs 323.999994\nKa 1.000000 1.000000 1.000000\n"
                            "Kd 0.800000 0.800000 0.800000\nd 0.5\nillum 2\nmap_Kd wood.png\n";
    temp_dir t;
    const run_result r =
        import(t, {{"scene.obj", obj}, {"scene.mtl", mtl}, {"wood.png", ""}}, "scene.obj");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, head("scene.obj") + "reading: 'scene.mtl' ...\n" +
                         "[warn] scene.mtl: 1 newmtl statements without a name, the first on line "
                         "4: the material is called 'unnamed'\n"
                         "[warn] scene.obj: 4 objects merged into the first, 'Cube': 'Plane', "
                         "'Light', 'Camera', the first on line 31\n" +
                         tail("scene", {"unnamed", "Material"}));
    const object_data o = read_object_file(t / "scene.object");
    EXPECT_EQ(o.name, "Cube");
    EXPECT_EQ(o.indices.size(), 3u * 14);
    ASSERT_EQ(o.materials.size(), 2u);
    EXPECT_STREQ(o.materials[0].name, "unnamed");
    EXPECT_EQ(o.materials[0].idx_start, 36u);
    EXPECT_EQ(o.materials[0].idx_num, 6u);
    EXPECT_STREQ(o.materials[1].name, "Material");
    EXPECT_EQ(o.materials[1].idx_num, 36u);
    EXPECT_EQ(o.materials[1].opacity, 0x7F);
    EXPECT_NE(read_file(t / "Material.material_new").find("wood.png"), std::string::npos);
    EXPECT_EQ(cover(o, 36, 6, {0, 1, 0}), std::make_pair(4.0, true));

    // A material actually called "unnamed" beside one without a name: one file for two.
    write_file(t / "scene.mtl", mtl + "newmtl unnamed\n");
    const run_result twice = run(tool("qz_import"), {"-f", "scene.obj"}, t.path);
    EXPECT_EQ(twice.status, DIE_STATUS);
    EXPECT_EQ(twice.err, "*error*:scene.mtl: materials '' and 'unnamed' (line 17) agree in their "
                         "first 32 bytes, which name their records and files\n");
}

// 3ds Max: every MTL statement but "newmtl" indented by a tab, groups, "v//vn" corners,
// smoothing groups 1, 2 and off, and an L-shaped hexagon.
TEST(ImportExported, MaxScene) {
    const std::string obj = "# Max2Obj Version 4.0 Mar 10th, 2001\n#\nmtllib ./max.mtl\ng\n"
                            "v  0 0 0\nv  2 0 0\nv  2 1 0\nv  1 1 0\nv  1 2 0\nv  0 2 0\n"
                            "v  0 0 1\nv  1 0 1\nv  0 1 1\n# 9 vertices\n\n"
                            "vn  0 0 1\nvn  0 0 -1\n# 2 vertex normals\n\n"
                            "g Floor\nusemtl Steel\ns 2\nf 1//1 2//1 3//1 4//1 5//1 6//1\n"
                            "g Wall\nusemtl Wood\ns 1\nf 7//2 9//2 8//2\ns off\n"
                            "\tf 8//2 9//2 7//2\n# 2 faces\n\ng\n";
    const std::string mtl = "# Max2Mtl Version 4.0 Mar 10th, 2001\n#\nnewmtl Wood\n"
                            "\tKa  0.6 0.6 0.6\n\tKd  0.6 0.6 0.6\n\td  1.0\n\tmap_Kd wood.tga\n"
                            "#\nnewmtl Steel\n\tKs  0.9 0.9 0.9\n\tmap_Ks  steel.tga \n";
    temp_dir t;
    const run_result r = import(
        t, {{"max.obj", obj}, {"max.mtl", mtl}, {"wood.tga", ""}, {"steel.tga", ""}}, "max.obj");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, head("max.obj") + "reading: './max.mtl' ...\n" +
                         "[warn] max.obj: 12 corners without a texture coordinate get (0, 0), the "
                         "first on line 23\n" +
                         tail("max", {"Wood", "Steel"}, true));
    const object_data o = read_object_file(t / "max.object");
    ASSERT_EQ(o.indices.size(), 3u * 6);
    EXPECT_EQ(o.materials[1].idx_start, 0u);
    EXPECT_EQ(o.materials[1].idx_num, 12u);
    EXPECT_EQ(cover(o, 0, 12, {0, 0, 1}), std::make_pair(3.0, true));
    for (const qz_vertex &v : o.vertices)
        EXPECT_TRUE(v.uv[0] == 0 && v.uv[1] == 0);
    EXPECT_NE(read_file(t / "Wood.material_new").find("wood.tga"), std::string::npos);
    EXPECT_NE(read_file(t / "Steel.material_new").find("steel.tga"), std::string::npos);
}

std::string utf16(const std::string &ascii, bool big_endian) {
    std::string s = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii)
        s += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
    return s;
}

// A scanner's point cloud turned into a mesh: coloured positions, "v" corners, no library but a
// material named all the same, and the points kept beside the faces; saved as UTF-8 or UTF-16.
TEST(ImportExported, ScanWithoutLibrary) {
    const std::string obj = "# scan\nv 0 0 0 0.5 0.5 0.5\nv 1 0 0 1 0 0\nv 1 1 0 0 1 0\n"
                            "v 0 1 0 0 0 1\nusemtl scan\np 1 2 3 4\nf 1 2 3\nf 1 3 4\n"
                            "l 1 2\nusemtl scan\nf 4 3\ncurv 0 1 1 2\nparm u 0 1\nend\n";
    const std::string warnings =
        "[warn] m.obj: 2 usemtl statements name a material that no library defines ('scan'), "
        "the first on line 6: their faces belong to no material\n"
        "[warn] m.obj: 1 point statements (p) skipped, the first on line 7: an object holds faces "
        "only\n"
        "[warn] m.obj: 6 corners without a texture coordinate get (0, 0), the first on line 8\n"
        "[warn] m.obj: 6 corners without a normal get one made from their faces, the first on "
        "line 8\n"
        "[warn] m.obj: 1 line statements (l) skipped, the first on line 10: an object holds faces "
        "only\n"
        "[warn] m.obj: 1 faces of fewer than three corners skipped, the first on line 12: an "
        "object holds faces only\n"
        "[warn] m.obj: 3 free-form statements (curv, parm, end) skipped, the first on line 13: "
        "an object holds faces only\n";
    std::string first;
    for (const std::string &text : {obj, utf16(obj, false), utf16(obj, true)}) {
        temp_dir t;
        const run_result r = import(t, {{"m.obj", text}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, head("m.obj") + warnings + tail("m", {}, true));
        const std::string bytes = read_file(t / "m.object");
        if (first.empty())
            first = bytes;
        EXPECT_EQ(bytes, first);
        const object_data o = read_object_file(t / "m.object");
        EXPECT_EQ(o.indices.size(), 6u);
        ASSERT_EQ(o.vertices.size(), 4u);
        for (const qz_vertex &v : o.vertices)
            EXPECT_TRUE(v.nor.x == 0 && v.nor.y == 0 && v.nor.z == 1);
    }
    // The cloud alone, as a mesh editor saves it: positions and their normals, not a face.
    temp_dir t;
    const run_result r = import(t, {{"m.obj", "# cloud\nvn 0 0 1\nv 0 0 0\nvn 0 1 0\nv 1 0 0\n"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("m.obj") +
                         "[warn] m.obj: 2 positions and no face, the first on line 3: the object "
                         "is empty\n" +
                         tail("m", {}, true));
    EXPECT_EQ(read_object_file(t / "m.object").vertices.size(), 0u);
}

// Normals made where the file gives none: flat faces take their own, a smoothing group shares
// the angle-weighted mean at each position, two groups keep a crease, given ones stay as given.
TEST(ImportNormals, MadeAsModellersShadeThem) {
    const std::string cube_positions = "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\n"
                                       "v -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n";
    const std::string cube_faces = "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\n"
                                   "f 4 1 5 8\n";
    {
        SCOPED_TRACE("a flat cube");
        temp_dir t;
        ASSERT_EQ(import(t, {{"m.obj", cube_positions + "s off\n" + cube_faces}}).status, 0);
        const object_data o = read_object_file(t / "m.object");
        EXPECT_EQ(o.vertices.size(), 24u);
        for (const qz_vertex &v : o.vertices) {
            const vec3 n = normal(v);
            EXPECT_EQ(std::abs(n.x) + std::abs(n.y) + std::abs(n.z), 1.0);
            EXPECT_TRUE(n.x * v.pos.x == 1 || n.y * v.pos.y == 1 || n.z * v.pos.z == 1);
        }
    }
    {
        SCOPED_TRACE("a smooth cube, one side in two triangles: weighted by angle");
        temp_dir t;
        const std::string faces =
            "f 1 4 3\nf 1 3 2\n" + cube_faces.substr(cube_faces.find('\n') + 1);
        ASSERT_EQ(import(t, {{"m.obj", cube_positions + "s 1\n" + faces}}).status, 0);
        const object_data o = read_object_file(t / "m.object");
        EXPECT_EQ(o.vertices.size(), 8u);
        for (const qz_vertex &v : o.vertices)
            EXPECT_GT(dot(normal(v), unit({v.pos.x, v.pos.y, v.pos.z})), 1 - 1e-6);
    }
    {
        SCOPED_TRACE("a sphere in one smoothing group");
        const int rings = 12, segments = 24;
        std::string obj = "v 0 0 1\n";
        for (int i = 1; i < rings; i++) {
            for (int j = 0; j < segments; j++) {
                const double a = std::numbers::pi * i / rings,
                             b = 2 * std::numbers::pi * j / segments;
                obj += "v " + std::to_string(std::sin(a) * std::cos(b)) + " " +
                       std::to_string(std::sin(a) * std::sin(b)) + " " +
                       std::to_string(std::cos(a)) + "\n";
            }
        }
        obj += "v 0 0 -1\ns 1\n";
        const auto at = [&](int ring, int seg) {
            return std::to_string(2 + (ring - 1) * segments + (seg % segments));
        };
        const std::string south = std::to_string(2 + (rings - 1) * segments);
        for (int j = 0; j < segments; j++) {
            obj += "f 1 " + at(1, j) + " " + at(1, j + 1) + "\n";
            for (int i = 1; i + 1 < rings; i++)
                obj += "f " + at(i, j) + " " + at(i + 1, j) + " " + at(i + 1, j + 1) + " " +
                       at(i, j + 1) + "\n";
            obj += "f " + south + " " + at(rings - 1, j + 1) + " " + at(rings - 1, j) + "\n";
        }
        temp_dir t;
        ASSERT_EQ(import(t, {{"m.obj", obj}}).status, 0);
        const object_data o = read_object_file(t / "m.object");
        EXPECT_EQ(o.vertices.size(), size_t{2 + (rings - 1) * segments});
        for (const qz_vertex &v : o.vertices)
            EXPECT_GT(dot(normal(v), unit({v.pos.x, v.pos.y, v.pos.z})),
                      std::cos(2 * std::numbers::pi / 180));
    }
    // Two faces meet at a right angle along the y axis.
    const std::string roof = "v 0 0 0\nv 0 1 0\nv -1 0 0\nv -1 1 0\nv 0 0 1\nv 0 1 1\n";
    {
        SCOPED_TRACE("a crease between two groups, none within one");
        for (const char *second : {"s 2\n", "s 1\n"}) {
            temp_dir t;
            const std::string obj = roof + "s 1\nf 1 2 4 3\n" + second + "f 1 2 6 5\n";
            ASSERT_EQ(import(t, {{"m.obj", obj}}).status, 0);
            const object_data o = read_object_file(t / "m.object");
            const bool crease = second[2] == '2';
            EXPECT_EQ(o.vertices.size(), crease ? 8u : 6u);
            const double h = std::sqrt(0.5);
            for (const qz_vertex &v : o.vertices) {
                const vec3 n = normal(v);
                if (v.pos.x == -1 || v.pos.z == 1 || crease)
                    EXPECT_TRUE((n.x == 0 && n.z == 1) || (n.x == 1 && n.z == 0));
                else
                    EXPECT_TRUE(std::abs(n.x - h) < 1e-7 && std::abs(n.z - h) < 1e-7);
            }
        }
    }
    {
        SCOPED_TRACE("given normals of unit length kept bit for bit");
        temp_dir t;
        const std::string obj = roof + "vn 0.6 0 0.8\ns 1\nf 1//1 2 4//1 3\nf 1 2//1 6 5\n";
        ASSERT_EQ(import(t, {{"m.obj", obj}}).status, 0);
        const object_data o = read_object_file(t / "m.object");
        size_t given = 0;
        for (const qz_vertex &v : o.vertices)
            given += v.nor.x == 0.6f && v.nor.y == 0 && v.nor.z == 0.8f;
        EXPECT_EQ(given, 3u);
        EXPECT_EQ(o.vertices.size(), 8u);
    }
    {
        SCOPED_TRACE("made normals join a list past 32,768 given ones");
        std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
        for (int i = 0; i < 32767; i++)
            obj += "vn 0 0 1\n";
        temp_dir t;
        const run_result r = import(t, {{"m.obj", obj + "f 1 2 3\nf 1 3 2\nf 1//1 2//1 3//1\n"}});
        ASSERT_EQ(r.status, 0) << r.err;
        const object_data o = read_object_file(t / "m.object");
        // Each position with the given normal (0, 0, 1), then the two made ones.
        std::vector<float> z;
        for (const qz_vertex &v : o.vertices)
            z.push_back(v.nor.z);
        EXPECT_EQ(z, (std::vector<float>{1, 1, -1, 1, 1, -1, 1, 1, -1}));
    }
}

// Texture statements as Blender writes them: options before the file name (-bm for every
// normal map, -s for a tiled texture, -o for an offset), "map_Bump" and "bump" for the normal map.
// The material files are those of the same library without them, and one warning says what was
// left out.
TEST(ImportMaterials, TextureOptionsAsExportersWriteThem) {
    const std::string obj = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
                            "usemtl Mat\nf 1/1/1 2/1/1 3/1/1\nusemtl Tiled\nf 1/1/1 3/1/1 2/1/1\n";
    const files textures = {{"wood grain.png", ""}, {"normal.png", ""}, {"tile.png", ""}};
    const std::string with_options =
        "newmtl Mat\nmap_Kd -s 2.000000 2.000000 1.000000 wood grain.png\n"
        "map_Bump -bm 1.000000 normal.png\nnewmtl Tiled\n"
        "map_Kd -o 0.5 0.5 -s 4 4 1 -clamp on -imfchan l tile.png\nbump normal.png\n";
    const std::string plain = "newmtl Mat\nmap_Kd wood grain.png\nmap_bump normal.png\n"
                              "newmtl Tiled\nmap_Kd tile.png\nmap_bump normal.png\n";
    temp_dir a, b;
    files in = textures;
    in.push_back({"m.obj", obj});
    in.push_back({"m.mtl", plain});
    ASSERT_EQ(import(a, in).status, 0);
    in.back().second = with_options;
    const run_result r = import(b, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("reading: 'm.mtl' ...\n[warn] m.mtl: 6 texture options left out (-s, -bm, "
                         "-o, -clamp, -imfchan), the first on line 2\n"),
              std::string::npos)
        << r.out;
    for (const char *name : {"Mat.material_new", "Tiled.material_new", "m.object"})
        EXPECT_EQ(read_file(b / name), read_file(a / name)) << name;
}

// Textures kept outside the model's folder, as Blender's default path mode writes them: by an
// absolute path, or one that climbs out. The material names the file alone, as if it lay beside
// the model, with a warning for each; a name inside the folder stays as written, and one outside
// that does not exist stays an error.
TEST(ImportMaterials, TexturesByPathOutsideTheFolder) {
    const std::string obj = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Mat\nf 1 2 3\n";
    temp_dir plain, t;
    fs::create_directories(plain / "tex");
    ASSERT_EQ(import(plain, {{"m.obj", obj},
                             {"wood.png", ""},
                             {"n.png", ""},
                             {"tex/s.png", ""},
                             {"m.mtl", "newmtl Mat\nmap_Kd wood.png\nmap_bump n.png\n"
                                       "map_Ks tex/s.png\n"}})
                  .status,
              0);
    fs::create_directories(t / "tex");
    fs::create_directories(t / "model" / "tex");
    const std::string wood = (t / "tex" / "wood.png").string();
    const std::string mtl =
        "newmtl Mat\nmap_Kd " + wood + "\nmap_Bump -bm 1 ../tex/n.png\nmap_Ks tex/s.png\n";
    const run_result r = import(t,
                                {{"model/m.obj", obj},
                                 {"tex/wood.png", ""},
                                 {"tex/n.png", ""},
                                 {"model/tex/s.png", ""},
                                 {"model/m.mtl", mtl}},
                                "model/m.obj");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string ship = "the name by which alone the engine finds it; ship the file beside "
                             "the model\n";
    EXPECT_NE(r.out.find("reading: 'm.mtl' ...\n[warn] m.mtl: texture '" + wood +
                         "' on line 2 lies outside the model's folder: the material names it "
                         "'wood.png', " +
                         ship +
                         "[warn] m.mtl: texture '../tex/n.png' on line 3 lies outside the "
                         "model's folder: the material names it 'n.png', " +
                         ship),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(t / "model" / "Mat.material_new"), read_file(plain / "Mat.material_new"));

    write_file(t / "model" / "m.mtl", "newmtl Mat\nmap_Kd ../tex/none.png\n");
    const run_result missing = run(tool("qz_import"), {"-f", "model/m.obj"}, t.path);
    EXPECT_EQ(missing.status, DIE_STATUS);
    EXPECT_EQ(missing.err,
              "*error*:m.mtl: referenced texture doesn't exist '../tex/none.png' on line 2\n");
}

// A backslash at the end of a line goes on on the next, as the format allows: the model is the
// one written on single lines, and a report names the line the statement begins on. One that
// ends a comment or a name continues nothing, nor does one on the last line.
TEST(ImportStatements, ContinuedLines) {
    const std::string single = "o part\\\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n# C:\\models\\\n"
                               "f 1 2 3 4\nf 1 3 2\n";
    const std::string continued = "o part\\\nv 0 0 \\\n0\nv 1 0 0\r\nv 1 1 \\\r\n0\nv 0 1 0\n"
                                  "# C:\\models\\\nf 1 \\\n2 \\\n\\\n3 4\nf 1 3 2 \\";
    temp_dir a, b, bad;
    const run_result one = import(a, {{"m.obj", single}});
    ASSERT_EQ(one.status, 0) << one.err;
    const run_result r = import(b, {{"m.obj", continued}});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string out = one.out; // the first face begins on line 9, not 7
    for (size_t at; (at = out.find("on line 7\n")) != std::string::npos;)
        out.replace(at, 10, "on line 9\n");
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(read_file(b / "m.object"), read_file(a / "m.object"));
    const run_result e = import(bad, {{"m.obj", "v 0 0 0\n\nf 1 \\\n 1 \\\n x\nf 1 1 1\n"}});
    EXPECT_EQ(e.status, DIE_STATUS);
    EXPECT_EQ(e.err,
              "*error*:parser: expected integer\non line 3,12:\nf 1    1    x\n           ^\n"
              "face definition needs vertex & tex & normal index\n");
}

// A model of another format reads as lines of unknown statements: it is refused before anything
// is written, where it used to become an empty object. An empty file, or one of comments and
// groups, keeps its empty object.
TEST(ImportFormats, ModelsOfAnotherFormatAreRefused) {
    const std::string others[] = {
        "<?xml version=\"1.0\"?>\n<COLLADA version=\"1.4.1\">\n</COLLADA>\n",
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nend_header\n0\n1\n2\n",
        "{\n  \"meshes\": []\n}\n"};
    for (const std::string &text : others) {
        temp_dir t;
        const run_result r = import(t, {{"m.obj", text}});
        EXPECT_EQ(r.status, DIE_STATUS) << text;
        EXPECT_EQ(r.out, head("m.obj"));
        EXPECT_EQ(r.err, "*error*:m.obj holds no OBJ statement (is it a model of another "
                         "format?)\n");
        EXPECT_EQ(listing(t.path), std::set<std::string>{"m.obj"});
    }
    for (const std::string text : {"", "# nothing yet\n\n", "g group\n"}) {
        temp_dir t;
        EXPECT_EQ(import(t, {{"m.obj", text}}).status, 0) << text;
        EXPECT_TRUE(fs::exists(t / "m.object"));
    }
}

// "v//" corners, as ctmconv writes every mesh without normals: a position alone, the same model
// as plain "v" corners, with the same warnings.
TEST(ImportCorners, PositionOnlyWithTwoSlashes) {
    const std::string positions = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    temp_dir plain, slashes;
    const run_result a = import(plain, {{"m.obj", positions + "f 1 2 3 4\nf 1 3 2\n"}});
    const run_result b =
        import(slashes, {{"m.obj", positions + "f 1// 2// 3// 4//\nf 1// 3// 2//#\n"}});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(b.out, a.out);
    EXPECT_EQ(read_file(slashes / "m.object"), read_file(plain / "m.object"));
}

// Given normals at unit length, as the engine shades with them: scaled ones (assimp bakes node
// scales into them, MeshLab weights them by area) are scaled back, one of no length (a
// degenerate facet's) gives way to its face's normal, and a warning counts each kind.
TEST(ImportNormals, GivenNormalsAtUnitLength) {
    temp_dir t;
    const std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nvn 0 0 100\nvn 0.01 0 0\n"
                            "vn 0 0 0\nf 1//1 2//1 3//1\nf 1//2 3//2 4//2\nf 1//3 4//3 2//3\n";
    const run_result r = import(t, {{"m.obj", obj}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[warn] m.obj: 2 given normals scaled to unit length, the first on line "
                         "5\n[warn] m.obj: 1 given normals of no length take their faces' "
                         "normals, the first on line 7\n"),
              std::string::npos)
        << r.out;
    const object_data o = read_object_file(t / "m.object");
    std::set<std::vector<float>> normals;
    for (const qz_vertex &v : o.vertices)
        normals.insert({v.nor.x, v.nor.y, v.nor.z});
    // The third face, (0,0,0) (0,0,1) (1,0,0), faces +y.
    EXPECT_EQ(normals, (std::set<std::vector<float>>{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}));
}

// "s" alone and "s off" with a comment make flat faces, "s on" a smoothing group of its own: two
// faces at a right angle share the vertices of their edge only within one group.
TEST(ImportNormals, SmoothingStatementsAsWritten) {
    const std::string roof = "v 0 0 0\nv 0 1 0\nv -1 0 0\nv -1 1 0\nv 0 0 1\nv 0 1 1\n";
    const struct {
        const char *first, *second;
        size_t vertices;
    } cases[] = {{"s on", "s on", 6},        {"s on", "s 1", 8},      {"s 1", "s", 8},
                 {"s 1", "s off # flat", 8}, {"s 1 # one", "s 1", 6}, {"s", "s  OFF ", 8}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second);
        temp_dir t;
        const std::string obj = roof + c.first + "\nf 1 2 4 3\n" + c.second + "\nf 1 2 6 5\n";
        const run_result r = import(t, {{"m.obj", obj}});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_object_file(t / "m.object").vertices.size(), c.vertices);
    }
}

} // namespace

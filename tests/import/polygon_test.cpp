// qz_import on models as modelling programs write them: polygons of any number of corners,
// materials taken up again, relative indices, and the lines and names that used to be cut or
// skipped without a word. The object files are read back and checked for what they mean
// (triangle count, area, winding, ranges), not only for their bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "object_reader.h"
#include "qz.h"
#include "qz_test.h"
#include "qzobj_import.h"

using namespace qzt;

namespace {

// What an object file holds, read back by its layout.
struct object {
    std::vector<vec3> positions;
    std::vector<uint32_t> indices;
    std::vector<qz_material> materials;
};

object read_object(const fs::path &file) {
    const object_data d = read_object_file(file);
    object o{{}, d.indices, d.materials};
    for (const qz_vertex &v : d.vertices)
        o.positions.push_back({v.pos.x, v.pos.y, v.pos.z});
    return o;
}

// Twice the area of triangle t, as a vector along its normal: its direction gives the winding.
vec3 doubled_area(const object &o, size_t t) {
    const vec3 &a = o.positions[o.indices[3 * t]], &b = o.positions[o.indices[3 * t + 1]],
               &c = o.positions[o.indices[3 * t + 2]];
    return cross(b - a, c - a);
}

struct coverage {
    size_t triangles;
    double area;      // of all triangles together
    bool one_winding; // no triangle faces away from the normal given
    double smallest;  // area of the smallest triangle
};

coverage cover(const object &o, const vec3 &normal) {
    coverage c = {o.indices.size() / 3, 0, true, INFINITY};
    for (size_t t = 0; t < c.triangles; t++) {
        const vec3 n = doubled_area(o, t);
        c.area += std::sqrt(dot(n, n)) / 2;
        c.one_winding = c.one_winding && dot(n, normal) >= 0;
        c.smallest = std::min(c.smallest, std::sqrt(dot(n, n)) / 2);
    }
    return c;
}

run_result import(const temp_dir &t, const std::string &obj, const std::string &mtl = "") {
    write_file(t / "m.obj", obj);
    if (!mtl.empty())
        write_file(t / "m.mtl", mtl);
    return run(tool("qz_import"), {"-f", "m.obj"}, t.path);
}

std::string positions(const std::vector<std::pair<double, double>> &xy) {
    std::string s;
    for (const auto &[x, y] : xy)
        s += "v " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
    return s;
}

// One face over corners first..first+count-1, as "v/1/1", in order.
std::string face(unsigned first, unsigned count) {
    std::string s = "f";
    for (unsigned i = 0; i < count; i++) {
        s += ' ';
        s += std::to_string(first + i);
        s += "/1/1";
    }
    return s + "\n";
}

// A 3 by 2 grid of quads, written the way exporters write it: positions, texture coordinates
// and normals first, then smoothing and the faces, CR LF line ends, no line end at the last face.
TEST(ImportPolygons, QuadGridAsExported) {
    std::string obj = "# exported\r\nmtllib m.mtl\r\no Grid\r\n";
    for (int y = 0; y <= 2; y++)
        for (int x = 0; x <= 3; x++)
            obj +=
                "v " + std::to_string(x) + ".000000 " + std::to_string(y) + ".000000 0.000000\r\n";
    obj += "vt 0.0 0.0\r\nvn 0.0000 0.0000 1.0000\r\nusemtl Mat\r\ns off\r\n";
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) {
            const int a = y * 4 + x + 1;
            obj += "f " + std::to_string(a) + "/1/1 " + std::to_string(a + 1) + "/1/1 " +
                   std::to_string(a + 5) + "/1/1 " + std::to_string(a + 4) + "/1/1\r\n";
        }
    obj.resize(obj.size() - 2);
    temp_dir t;
    const run_result r = import(t, obj, "newmtl Mat\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const object o = read_object(t / "m.object");
    const coverage c = cover(o, {0, 0, 1});
    EXPECT_EQ(c.triangles, 12u);
    EXPECT_DOUBLE_EQ(c.area, 6);
    EXPECT_TRUE(c.one_winding);
    // The first quad as a fan from its first corner: (1, 2, 6) and (1, 6, 5).
    EXPECT_EQ(std::vector<uint32_t>(o.indices.begin(), o.indices.begin() + 6),
              (std::vector<uint32_t>{0, 1, 5, 0, 5, 4}));
    ASSERT_EQ(o.materials.size(), 1u);
    EXPECT_EQ(o.materials[0].idx_num, 36u);
    EXPECT_EQ(o.materials[0].vert_num, 12u);
}

// Polygons that are not convex, given clockwise and counter-clockwise: the triangles cover the
// polygon's area exactly once and all face the polygon's own way.
TEST(ImportPolygons, ConcaveShapesKeepAreaAndWinding) {
    std::vector<std::pair<double, double>> star;
    for (int i = 0; i < 10; i++) {
        const double a = std::numbers::pi / 2 + i * std::numbers::pi / 5,
                     radius = i % 2 == 0 ? 4 : 1.5;
        star.emplace_back(radius * std::cos(a), radius * std::sin(a));
    }
    const double star_area = 10 * 0.5 * 4 * 1.5 * std::sin(std::numbers::pi / 5);
    // The L with its reflex corner first, where a fan from the first corner would fold over.
    const std::vector<std::pair<double, double>> ell = {{1, 1}, {1, 3}, {0, 3},
                                                        {0, 0}, {3, 0}, {3, 1}};
    const struct {
        const char *name;
        std::vector<std::pair<double, double>> corners;
        double area;
    } shapes[] = {{"L", ell, 5}, {"star", star, star_area}};
    for (const auto &shape : shapes) {
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(std::string(shape.name) + (reversed ? " reversed" : ""));
            auto corners = shape.corners;
            if (reversed)
                std::reverse(corners.begin(), corners.end());
            const unsigned n = static_cast<unsigned>(corners.size());
            temp_dir t;
            const run_result r =
                import(t, "o s\nvt 0 0\nvn 0 0 1\n" + positions(corners) + face(1, n));
            ASSERT_EQ(r.status, 0) << r.err;
            const object o = read_object(t / "m.object");
            const coverage c = cover(o, {0, 0, reversed ? -1.0 : 1.0});
            EXPECT_EQ(c.triangles, n - 2);
            EXPECT_NEAR(c.area, shape.area, 1e-4);
            EXPECT_TRUE(c.one_winding);
        }
    }
}

// Without area a polygon is split as a fan: nothing is lost. A triangle with a spike, an edge out
// from one of its corners and back, keeps its area; the spike gives the triangles without area.
TEST(ImportPolygons, DegeneratePolygonsBecomeFans) {
    const std::string head = "o d\nvt 0 0\nvn 0 0 1\n";
    const struct {
        std::string obj;
        std::vector<uint32_t> indices;
    } cases[] = {
        {head + positions({{0, 0}, {1, 0}, {2, 0}, {3, 0}}) + face(1, 4), {0, 1, 2, 0, 2, 3}},
        {head + positions({{0, 0}, {2, 0}, {2, 2}, {0, 0}, {0, 2}}) +
             "f 1/1/1 2/1/1 3/1/1 1/1/1 5/1/1\n",
         {0, 1, 2, 0, 2, 0, 0, 0, 3}},
    };
    for (const auto &c : cases) {
        temp_dir t;
        const run_result r = import(t, c.obj);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_object(t / "m.object").indices, c.indices);
    }
}

// Triangles of materials that alternate over shared positions: each material's triangles form
// one run, and every index of a run lies in the material's vertex range, which qz_info -c checks.
TEST(ImportMaterialRuns, InterleavedRunsOverSharedPositions) {
    std::string obj = "mtllib m.mtl\no x\nvt 0 0\nvn 0 0 1\n";
    for (int i = 0; i < 12; i++)
        obj += "v " + std::to_string(i) + " " + std::to_string(i * i % 5) + " 0\n";
    const char *order[] = {"B", "A", "C", "A", "B", "A", "C", "B"};
    for (int i = 0; i < 8; i++)
        obj += std::string("usemtl ") + order[i] + "\n" + face(i * 5 % 10 + 1, 3) + "f " +
               std::to_string(i + 1) + "/1/1 " + std::to_string(12 - i) + "/1/1 " +
               std::to_string((i + 4) % 12 + 1) + "/1/1\n";
    temp_dir t;
    const run_result r = import(t, obj, "newmtl A\nnewmtl B\nnewmtl C\nnewmtl D\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const object o = read_object(t / "m.object");
    ASSERT_EQ(o.indices.size(), 48u);
    struct expected_run {
        const char *name;
        uint32_t idx_start, idx_num;
    } runs[] = {{"A", 18, 18}, {"B", 0, 18}, {"C", 36, 12}, {"D", 0, 0}};
    ASSERT_EQ(o.materials.size(), 4u);
    for (size_t m = 0; m < 4; m++) {
        const qz_material &q = o.materials[m];
        SCOPED_TRACE(q.name);
        EXPECT_EQ(q.idx_start, runs[m].idx_start);
        EXPECT_EQ(q.idx_num, runs[m].idx_num);
        if (q.idx_num == 0) {
            EXPECT_EQ(q.vert_start + q.vert_num, 0u);
            continue;
        }
        uint32_t lo = UINT32_MAX, hi = 0;
        for (uint32_t i = q.idx_start; i < q.idx_start + q.idx_num; i++) {
            lo = std::min(lo, o.indices[i]);
            hi = std::max(hi, o.indices[i]);
        }
        EXPECT_EQ(q.vert_start, lo);
        EXPECT_EQ(q.vert_num, hi - lo + 1);
    }
    const run_result check = run(tool("qz_info"), {"-c", "m.object"}, t.path);
    EXPECT_EQ(check.status, 0) << check.out;
}

// The same model three ways: a material taken up again, its faces written together, and with
// relative indices. All give the same object file, byte for byte.
TEST(ImportMaterialRuns, ReusedMaterialsAndRelativeIndices) {
    const std::string mtl = "newmtl A\nnewmtl B\n";
    const std::string head = "mtllib m.mtl\no x\nvt 0 0\nvt 1 0\nvn 0 0 1\n" +
                             positions({{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 0}, {2, 1}});
    const std::string a1 = "f 1/1/1 2/2/1 3/1/1 4/1/1\n", b = "f 2/1/1 5/1/1 6/1/1\n",
                      a2 = "f 4/1/1 3/2/1 6/1/1\n";
    const std::string reused = head + "usemtl A\n" + a1 + "usemtl B\n" + b + "usemtl A\n" + a2;
    const std::string together = head + "usemtl A\n" + a1 + a2 + "usemtl B\n" + b;
    const std::string relative = head + "usemtl A\nf -6/-2/-1 -5/-1/-1 -4/-2/1 -3/1/-1\n" +
                                 "usemtl B\nf -5/1/1 -2/-2/1 -1/-2/-1\nusemtl A\n" +
                                 "f -3/1/1 -4/2/1 -1/-2/1\n";
    std::string objects[3];
    const std::string *models[] = {&reused, &together, &relative};
    for (int i = 0; i < 3; i++) {
        temp_dir t;
        const run_result r = import(t, *models[i], mtl);
        ASSERT_EQ(r.status, 0) << r.err;
        objects[i] = read_file(t / "m.object");
    }
    EXPECT_EQ(objects[0], objects[1]);
    EXPECT_EQ(objects[2], objects[1]);
}

// Each way a model used to lose data while the run reported success now ends the run with the
// file, the line and the cause, and writes nothing.
TEST(ImportSilentLosses, RefusedWithAWord) {
    const std::string tri = "vt 0 0\nvn 0 0 1\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/1/1 2/1/1 3/1/1\n";
    std::string utf16; // without a byte order mark, which would tell how to read it
    for (char ch : tri)
        utf16 += std::string(1, ch) + '\0';
    const std::string long_comment = "# " + std::string(40000, 'x') + "\n";
    const std::string long_tex = "abcdefghijklmnopqrstuvwxyz0123456789.dds";
    const struct {
        std::string obj, mtl, paths, err;
    } cases[] = {
        {utf16, "", "", "m.obj: line 1 holds a NUL byte; the file may be UTF-16, save it as UTF-8"},
        {"o x\n" + long_comment + tri, "", "", "m.obj: line 2 is longer than 32766 bytes"},
        {tri + "mtllib m.mtl\n", "newmtl A\n" + long_comment, "",
         "m.mtl: line 2 is longer than 32766 bytes"},
        {tri, "", "name p\n" + long_comment, "m.paths: line 2 is longer than 32766 bytes"},
        {tri + "mtllib m.mtl\n", "newmtl A\nmap_Kd " + long_tex + "\n", "",
         "m.mtl: texture name '" + long_tex +
             "' on line 2 is 40 bytes long, a material holds names of at most 32 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        temp_dir t;
        write_file(t / long_tex, "");
        if (!c.paths.empty())
            write_file(t / "m.paths", c.paths);
        const run_result r = import(t, c.obj, c.mtl);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err, "*error*:" + c.err + "\n");
        EXPECT_FALSE(fs::exists(t / "m.object"));
    }
}

// A byte order mark does not hide the first statement, and a last line without a line feed
// counts: each of them held a triangle that used to be dropped.
TEST(ImportSilentLosses, FirstAndLastLinesCount) {
    const std::string model = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1";
    for (const std::string &obj : {"\xEF\xBB\xBF" + model, "\xEF\xBB\xBFo x\n" + model + "\n"}) {
        temp_dir t;
        const run_result r = import(t, obj);
        ASSERT_EQ(r.status, 0) << r.err;
        const object o = read_object(t / "m.object");
        EXPECT_EQ(o.positions.size(), 3u);
        EXPECT_EQ(o.indices, (std::vector<uint32_t>{0, 1, 2}));
    }
}

// A polygon's triangles are kept however many came before: the quad that makes the 32,769th and
// the 32,770th, past what the list once held.
TEST(ImportPolygons, TrianglesPastTheOldLimit) {
    std::string obj = "vt 0 0\nvn 0 0 1\n" + positions({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    for (unsigned i = 0; i < 32767; i++)
        obj += "f 1/1/1 2/1/1 3/1/1\n";
    temp_dir t;
    const run_result r = import(t, obj + "f 1/1/1 2/1/1 3/1/1 4/1/1\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const object o = read_object(t / "m.object");
    ASSERT_EQ(o.indices.size(), 3u * 32769);
    EXPECT_EQ(std::vector<uint32_t>(o.indices.end() - 6, o.indices.end()),
              (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
}

// Random simple polygons (star-shaped about a point, so never crossing themselves) in planes of
// every orientation: always n - 2 triangles over distinct corners, facing the polygon's way, with
// the polygon's area.
TEST(Triangulation, RandomStarShapedPolygons) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int round = 0; round < 400; round++) {
        const unsigned n = 4 + round % 40;
        // One corner in each of n equal sectors about the centre: no gap reaches half a turn.
        std::vector<double> angle(n);
        for (unsigned i = 0; i < n; i++)
            angle[i] = (i + 0.9 * unit(rng)) * 2 * std::numbers::pi / n;
        const vec3 u = {unit(rng) - 0.5, unit(rng) - 0.5, unit(rng) - 0.5};
        vec3 w = cross(u, {unit(rng), unit(rng), unit(rng)});
        const vec3 normal = cross(u, w);
        std::vector<qz_vec> corners(n);
        double area = 0;
        std::vector<std::pair<double, double>> plane(n);
        for (unsigned i = 0; i < n; i++) {
            const double radius = 0.2 + unit(rng) * (round % 2 == 0 ? 5 : 0.3);
            plane[i] = {radius * std::cos(angle[i]), radius * std::sin(angle[i])};
            const auto &[a, b] = plane[i];
            corners[i] = {float(a * u.x + b * w.x), float(a * u.y + b * w.y),
                          float(a * u.z + b * w.z)};
        }
        std::vector<unsigned> tri(3 * (n - 2));
        triangulate_polygon(corners.data(), n, tri.data());
        object o;
        for (const qz_vec &c : corners)
            o.positions.push_back({c.x, c.y, c.z});
        o.indices.assign(tri.begin(), tri.end());
        for (unsigned i = 0; i < n; i++) // shoelace, in the plane's own coordinates
            area += plane[i].first * plane[(i + 1) % n].second -
                    plane[(i + 1) % n].first * plane[i].second;
        area *= std::sqrt(dot(u, u) * dot(w, w)) / 2;
        SCOPED_TRACE(round);
        for (size_t t = 0; t < tri.size(); t += 3) {
            ASSERT_TRUE(tri[t] < n && tri[t + 1] < n && tri[t + 2] < n);
            ASSERT_TRUE(tri[t] != tri[t + 1] && tri[t + 1] != tri[t + 2] && tri[t] != tri[t + 2]);
        }
        const coverage c = cover(o, normal);
        EXPECT_TRUE(c.one_winding);
        EXPECT_NEAR(c.area, area, 1e-4 * area);
    }
}

// A square with a square hole, its outline run in along a bridge edge, round the hole the other
// way and back out; a star with two tips and two inner corners on one line. From every first
// corner and both ways round: the area once over, each triangle with area and facing its way.
TEST(Triangulation, HolesAndCornersInLine) {
    const std::vector<std::pair<double, double>> keyhole = {{0, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 0},
                                                            {1, 1}, {1, 3}, {3, 3}, {3, 1}, {1, 1}},
                                                 star = {{0, 10},  {-2, 3}, {-10, 3}, {-4, -2},
                                                         {-6, -9}, {0, -4}, {6, -9},  {4, -2},
                                                         {10, 3},  {2, 3}};
    for (auto [xy, area] : {std::pair{keyhole, 16.0 - 4}, std::pair{star, 124.0}})
        for (size_t turn = 0; turn < 2 * xy.size(); turn++) {
            SCOPED_TRACE(turn);
            if (turn == xy.size())
                std::reverse(xy.begin(), xy.end());
            std::rotate(xy.begin(), xy.begin() + 1, xy.end());
            std::vector<qz_vec> corners;
            object o;
            for (const auto &[x, y] : xy) {
                corners.push_back({float(x), float(y), 0});
                o.positions.push_back({x, y, 0});
            }
            o.indices.resize(3 * (xy.size() - 2));
            triangulate_polygon(corners.data(), unsigned(xy.size()), o.indices.data());
            const coverage c = cover(o, {0, 0, turn < xy.size() ? 1.0 : -1.0});
            EXPECT_DOUBLE_EQ(c.area, area);
            EXPECT_TRUE(c.one_winding);
            EXPECT_GT(c.smallest, 0);
        }
}

// A notch given twice in a row turns nowhere at either copy: the polygon is not convex, and no
// fan folds over the notch. A convex polygon with a corner on the line through its neighbours
// is fanned from a corner that gives every triangle an area.
TEST(Triangulation, DoubledAndFlatCorners) {
    const struct {
        std::vector<std::pair<double, double>> xy;
        double area;
        bool all_with_area;
    } cases[] = {{{{10, 0}, {12, 1}, {12, 1}, {14, 0}, {12, 3}}, 4, false},
                 {{{0, 0}, {1, 0}, {2, 0}, {2, 2}, {0, 2}}, 4, true},
                 {{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 1}, {0, 1}}, 3, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.xy.size());
        std::vector<qz_vec> corners;
        object o;
        for (const auto &[x, y] : c.xy) {
            corners.push_back({float(x), float(y), 0});
            o.positions.push_back({x, y, 0});
        }
        o.indices.resize(3 * (c.xy.size() - 2));
        triangulate_polygon(corners.data(), unsigned(c.xy.size()), o.indices.data());
        const coverage cov = cover(o, {0, 0, 1});
        EXPECT_DOUBLE_EQ(cov.area, c.area);
        EXPECT_TRUE(cov.one_winding);
        if (c.all_with_area) {
            EXPECT_GT(cov.smallest, 0);
        }
    }
}

} // namespace

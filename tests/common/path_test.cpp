// The paths file reader and the OBJ drawing of path points.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qz_path.h"
#include "qz_test.h"

using namespace qzt;

namespace {

std::array<uint32_t, 4> bits(qz_quat q) {
    std::array<uint32_t, 4> b;
    memcpy(b.data(), &q, sizeof q);
    return b;
}

// The records of a list, releasing its nodes.
std::vector<qz_path> take(path_data_ll *n) {
    std::vector<qz_path> v;
    while (n != nullptr) {
        v.push_back(n->p);
        free(std::exchange(n, n->next));
    }
    return v;
}

// A paths file in a scratch directory, read with the given text.
struct paths_file {
    temp_dir t;
    std::string name = (t / "model.paths").string();
    std::vector<qz_path> paths;
    std::string out; // what the reader printed
    explicit paths_file(const std::string &text) {
        write_file(name, text);
        testing::internal::CaptureStdout();
        paths = take(read_paths_file(name.c_str()));
        out = testing::internal::GetCapturedStdout();
    }
};

const std::string name31(31, 'n'), name40 = std::string(32, 'm') + "OVERFLOW";

TEST(PathsFile, MissingOrEmpty) {
    temp_dir t;
    for (const std::string &name : {(t / "none").string(), t.path.string()}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_paths_file(name.c_str()), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "reading: '" + name + "' skipped, file not found...\n");
    }
    paths_file r("# only comments\n\n#name x\n");
    EXPECT_TRUE(r.paths.empty());
    EXPECT_EQ(r.out, "reading: '" + r.name + "' ...\n");
}

TEST(PathsFile, Statements) {
    paths_file r("name first\npos 1 2.5e1 -3 ignored\nquat 0.1 .2 -0.3 9\n"
                 "name  inner  blanks \r\nrotation 0 0 90\n"
                 "name \nrotation 0 0 0\nname " +
                 name31 + "\nname " + name40 +
                 "\nPos 9 9 9\npos\t9 9 9\n\t pos  9 9 8\nposition 1\n");
    ASSERT_EQ(r.paths.size(), 5u);
    const qz_path &a = r.paths[0];
    EXPECT_EQ(a.flags, 0u);
    EXPECT_EQ(std::string(a.name, 32), "first" + std::string(27, '\0'));
    EXPECT_TRUE(a.pos.x == 1 && a.pos.y == 25 && a.pos.z == -3);
    EXPECT_EQ(bits(a.quat), bits(qz_quat{0.1f, 0.2f, -0.3f, 9}));
    EXPECT_STREQ(r.paths[1].name, "inner  blanks");
    const float h = 0.70710677f;
    EXPECT_EQ(bits(r.paths[1].quat), bits(qz_quat{0, 0, h, h}));
    EXPECT_EQ(std::string(r.paths[2].name, 32), std::string(32, '\0'));
    EXPECT_EQ(bits(r.paths[2].quat), bits(qz_quat{0, 0, 0, 1}));
    EXPECT_EQ(std::string(r.paths[3].name, 32), name31 + '\0');
    const qz_path &e = r.paths[4];
    EXPECT_EQ(std::string(e.name, 32), name40.substr(0, 32));
    EXPECT_TRUE(e.pos.x == 9 && e.pos.y == 9 && e.pos.z == 8);
    EXPECT_EQ(bits(e.quat), bits(qz_quat{0, 0, 0, 0}));
    EXPECT_EQ(r.out, "reading: '" + r.name + "' ...\n");
}

TEST(PathsFile, NoticeOnlyWhenQuatAlreadySet) {
    paths_file r("name a\nquat 0 0 0 0\nquat 0 0 0 1\n"
                 "name b\nrotation 0 0 0\nquat 0 0 0 1\n"
                 "name c\nquat -0 0 0 0\nquat 1 2 3 4\n"
                 "name d\nquat nan 0 0 0\nrotation 0 0 90\n");
    ASSERT_EQ(r.paths.size(), 4u);
    EXPECT_EQ(r.out, "reading: '" + r.name + "' ...\nNotice at line 6 in '" + r.name +
                         "' quat already defined\nNotice at line 12 in '" + r.name +
                         "' quat already defined\n");
    EXPECT_EQ(bits(r.paths[2].quat), bits(qz_quat{1, 2, 3, 4}));
}

using PathsFileDeath = testing::Test;

TEST(PathsFileDeath, Failures) {
    for (const char *statement : {"pos 1 2 3", "quat 0 0 0 1", "rotation 0 0 0"}) {
        temp_dir t;
        const std::string name = (t / "p").string();
        write_file(name, "# c\n" + std::string(statement) + "\nname a\n");
        EXPECT_EXIT(read_paths_file(name.c_str()), testing::ExitedWithCode(DIE_STATUS),
                    exactly("*error*:At line 2 in '" + name + "' missing name statement\n"));
    }
    EXPECT_EXIT(paths_file("name a\npos 1 2\n"), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:expected float\non line 2,7:\npos 1 2\n      ^\n"));
    EXPECT_EXIT(paths_file("name a\npos 1,2,3\n"), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:expected float\non line 2,5:\npos 1,2,3\n    ^\n"));
}

// The marker export: a list of three records in a scratch directory.
struct markers {
    temp_dir t;
    std::string file = (t / "paths.obj").string();
    path_data_ll n[3] = {};
    markers() {
        memcpy(n[0].p.name, "p1", 2);
        n[0].p.pos = {1, 2, 3};
        n[0].p.quat = {0, 0, 0, 1};
        n[0].next = &n[1];
        memset(n[1].p.name, 'w', 32); // full field, no terminator: the pos bytes follow
        n[1].p.pos = {1.1f, 0.25f, 1e-7f};
        n[1].next = &n[2];
        memcpy(n[2].p.name, "turned", 6);
        n[2].p.quat = {0, 0, 0.70710677f, 0.70710677f}; // a quarter turn about Z
    }
    std::string write(int force) {
        testing::internal::CaptureStdout();
        write_obj_path_file_combined(file.c_str(), force, n, "tool");
        return testing::internal::GetCapturedStdout();
    }
};

std::string marker_lines(const std::string &pos, const std::array<std::string, 4> &v) {
    std::string s;
    for (const std::string &vertex : v)
        s += "# pos " + pos + "\nv " + vertex + "\n";
    return s + "f -1 -2 -3\nf -1 -4 -2\n";
}

TEST(MarkerExport, Text) {
    markers m;
    EXPECT_EQ(m.write(0), "writing obj path file: " + m.file + "\n");
    const std::string text = read_file(m.file);
    const std::string first =
        "# path obj created by tool \nmtllib (None)\no qzPaths\ng p1\n" +
        marker_lines("1 2 3", {"1.5 2.5 3", "1.5 1.5 3", "0.5 2 3", "1 2 3"}) + "g " +
        std::string(32, 'w') + "\n" +
        marker_lines("1.1 0.25 1e-07",
                     {"1.1 0.25 1e-07", "1.1 0.25 1e-07", "1.1 0.25 1e-07", "1.1 0.25 1e-07"}) +
        "g turned\n";
    ASSERT_EQ(text.substr(0, first.size()), first);
    // The turned marker: its tip (-0.5, 0, 0) comes out at (0, 0.5, 0), (x, y) going to (y, -x).
    std::istringstream rest(text.substr(first.size()));
    std::string line, word;
    std::vector<std::array<float, 3>> v;
    int faces = 0;
    while (std::getline(rest, line)) {
        std::istringstream in(line);
        in >> word;
        if (word == "v") {
            v.emplace_back();
            in >> v.back()[0] >> v.back()[1] >> v.back()[2];
        }
        faces += word == "f";
        EXPECT_TRUE(word == "v" || word == "f" || line == "# pos 0 0 0") << line;
    }
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(faces, 2);
    const float want[4][3] = {{0.5f, -0.5f, 0}, {-0.5f, -0.5f, 0}, {0, 0.5f, 0}, {0, 0, 0}};
    for (int i = 0; i < 4; i++)
        for (int k = 0; k < 3; k++)
            EXPECT_NEAR(v[i][k], want[i][k], 1e-7) << i << "," << k;
}

TEST(MarkerExport, NothingForAnEmptyList) {
    temp_dir t;
    testing::internal::CaptureStdout();
    write_obj_path_file_combined((t / "x.obj").string().c_str(), 1, nullptr, "tool");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists(t / "x.obj"));
}

using MarkerExportDeath = testing::Test;

TEST(MarkerExportDeath, Overwrite) {
    markers m;
    write_file(m.file, "keep");
    EXPECT_EXIT(
        m.write(0), testing::ExitedWithCode(DIE_STATUS),
        exactly("*error*:'" + m.file + "' already exists. Remove or use -f to force overwrite\n"));
    EXPECT_EQ(read_file(m.file), "keep");
    m.write(1);
    EXPECT_EQ(read_file(m.file).substr(0, 22), "# path obj created by ");
}

// Whatever stands under the name counts as there; -f replaces only a file or a link to one.
TEST(MarkerExportDeath, DirectoryInTheWay) {
    markers m;
    fs::create_directory(m.file);
    EXPECT_EXIT(
        m.write(0), testing::ExitedWithCode(DIE_STATUS),
        exactly("*error*:'" + m.file + "' already exists. Remove or use -f to force overwrite\n"));
    EXPECT_EXIT(m.write(1), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:'" + m.file +
                        "' is a directory: -f replaces only a file or a link to one\n"));
}

} // namespace

// Paths as typed and their parts: the directory to enter, the name, the extension; what stands
// under a name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz_filefunc.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

// Takes ownership of a newly allocated result and returns it as a string.
std::string take(char *s) {
    std::string r(s);
    free(s);
    return r;
}

TEST(NameHelpers, MakePath) {
    EXPECT_EQ(take(make_path("out", "model", ".object")), "out\\model.object");
    EXPECT_EQ(take(make_path(nullptr, "model", ".object")), "model.object");
    EXPECT_EQ(take(make_path(nullptr, "model", nullptr)), "model");
    EXPECT_EQ(take(make_path("a\\b", "c", nullptr)), "a\\b\\c");
}

TEST(NameHelpers, FilenameNoext) {
    EXPECT_EQ(take(filename_noext("a.b.c")), "a.b");
    EXPECT_EQ(take(filename_noext("model")), "model");
    EXPECT_EQ(take(filename_noext(".hidden")), "");
    EXPECT_EQ(take(filename_noext("dir.old\\model")), "dir");
    EXPECT_EQ(take(filename_noext("old.dir/archive")), "old");
}

TEST(NameHelpers, FilenameDirectory) {
    EXPECT_EQ(take(filename_directory("a\\b\\c.obj")), "a\\b");
    EXPECT_EQ(take(filename_directory("c.obj")), "");
    EXPECT_EQ(take(filename_directory("a/b/c.obj")), "");
}

// A path as typed: either separator ends the directory part, a leading one is the root, and on
// Windows a drive's colon ends it too.
TEST(NameHelpers, DirectoryPartAsTyped) {
    const struct {
        const char *path, *dir, *file;
    } cases[] = {
        {"a\\b/c.obj", "a\\b", "c.obj"}, {"a/b\\c.obj", "a/b", "c.obj"}, {"c.obj", "", "c.obj"},
        {"\\r.qz", "\\", "r.qz"},        {"/r.qz", "/", "r.qz"},         {"a//b", "a/", "b"},
#ifdef _WIN32
        {"Q:c.obj", "Q:", "c.obj"},      {"Q:\\r.qz", "Q:\\", "r.qz"},
#else
        {"Q:c.obj", "", "Q:c.obj"},
#endif
    };
    for (const auto &c : cases) {
        EXPECT_EQ(directory_part(c.path), c.dir) << c.path;
        EXPECT_STREQ(plat_file_part(c.path), c.file) << c.path;
    }
}

TEST(FileQueries, ExistsAndPresent) {
    temp_dir t;
    write_file(t / "f", "x");
    fs::create_directory(t / "d");
    EXPECT_EQ(file_exists((t / "f").string().c_str()), 1);
    EXPECT_EQ(file_exists((t / "d").string().c_str()), 0);
    EXPECT_EQ(file_exists((t / "none").string().c_str()), 0);
    EXPECT_EQ(fileordir_present((t / "f").string().c_str()), 1);
    EXPECT_EQ(fileordir_present((t / "d").string().c_str()), 1);
    EXPECT_EQ(fileordir_present((t / "none").string().c_str()), 0);
#ifndef _WIN32
    // A path through a regular file fails with something other than "no such file" here
    // (Windows reports "no such file" for it).
    EXPECT_EQ(fileordir_present((t / "f" / "x").string().c_str()), 1);
#endif
}

TEST(FileQueries, BackslashSeparatesOnEveryPlatform) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "x");
    EXPECT_EQ(file_exists((t.path.string() + "\\d\\f").c_str()), 1);
}

} // namespace

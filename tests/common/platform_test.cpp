// The platform module: directory reads that tell their end from a failure, and a working
// directory deeper than the system's own limit, with relative paths resolved against it.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> names;
    plat_dir *d = plat_opendir(dir.c_str());
    EXPECT_NE(d, nullptr) << dir;
    if (d == nullptr)
        return names;
    while (const char *name = plat_readdir(d))
        names.insert(name);
    EXPECT_EQ(errno, 0) << dir; // the end, not a failure
    plat_closedir(d);
    return names;
}

TEST(Platform, DirectoryReadsTellTheirEndFromAFailure) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "x");
    EXPECT_EQ(entries((t / "d").string()), (std::set<std::string>{".", "..", "f"}));

    errno = 0;
    EXPECT_EQ(plat_opendir((t / "none").string().c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(plat_opendir((t / "d" / "f").string().c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
}

// The working directory may lie deeper than 260 characters; relative paths, "." and ".." are
// resolved against it, and names come back as UTF-8.
TEST(Platform, DeepWorkingDirectory) {
    temp_dir t;
    fs::path deep = t.path;
    std::string rel;
    for (int i = 0; i < 4; i++) {
        const std::string level(100, static_cast<char>('a' + i));
        deep /= level;
        rel += (rel.empty() ? "" : "\\") + level;
        fs::create_directory(long_path(deep));
    }
    const std::string name = "\xc3\xbc\xe6\x96\x87.txt"; // "ü文.txt"
    write_file(long_path(deep / u8path(name)), "deep");

    const fs::path before = fs::current_path();
    ASSERT_EQ(plat_chdir(t.path.string().c_str()), 0);
    ASSERT_EQ(plat_chdir(rel.c_str()), 0);
    plat_stat_info st;
    ASSERT_EQ(plat_stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.mode, PLAT_S_IFREG);
    EXPECT_EQ(st.size, 4u);
    EXPECT_EQ(entries("."), (std::set<std::string>{".", "..", name}));

    // Up one level and down again; a file made there is found from the start.
    const std::string back = "..\\" + std::string(100, 'd') + "\\.\\made";
    const int fd = plat_open_new(back.c_str());
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_TRUE(fs::exists(long_path(deep / "made")));
    EXPECT_LT(plat_open_new(back.c_str()), 0);
    EXPECT_EQ(errno, EEXIST);

    EXPECT_EQ(plat_chdir(name.c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);
    ASSERT_EQ(plat_chdir(before.string().c_str()), 0);
}

#ifdef _WIN32
// Names go to the system as they stand: a trailing dot or blank is kept, and "aux.txt" is a
// file, not the serial port. The unpacker refuses such names; the module itself must not change
// them into other names behind the caller's back.
TEST(Platform, NamesReachTheSystemAsTheyStand) {
    temp_dir t;
    fs::create_directory(t / "d");
    const std::string dir = (t / "d").string();
    for (const std::string name : {"aux.txt", "dot.", "blank "}) {
        const int fd = plat_open_new((dir + "\\" + name).c_str());
        ASSERT_GE(fd, 0) << name;
        EXPECT_EQ(plat_write(fd, "x", 1), 1);
        plat_close(fd);
    }
    EXPECT_EQ(entries(dir), (std::set<std::string>{".", "..", "aux.txt", "dot.", "blank "}));
}
#endif

} // namespace

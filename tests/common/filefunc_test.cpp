// The library's file toolkit: name helpers, chunk writers and the budgeted chunk reader.
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

TEST(NameHelpers, CopyNameField) {
    char f[4];
    copy_name_field(f, "ab", 4);
    EXPECT_EQ(std::string(f, 4), std::string("ab\0\0", 4));
    copy_name_field(f, "abcd", 4);
    EXPECT_EQ(std::string(f, 4), "abcd");
    copy_name_field(f, "abcdef", 4);
    EXPECT_EQ(std::string(f, 4), "abcd");
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

// The nested example: a parent with 12 bytes, then a child with 4.
const std::string nested_example =
    u32(7) + u32(24) + std::string(12, 'p') + u32(9) + u32(4) + "cccc";

TEST(ChunkWriter, DescriptorNesting) {
    temp_dir t;
    const std::string path = (t / "c").string();
    int fd = plat_open_write(path.c_str());
    ASSERT_GE(fd, 0);
    chunkfilepos *parent = write_chunk_start(fd, 7);
    write_all(fd, std::string(12, 'p').data(), 12, "test");
    chunkfilepos *child = write_chunk_start(fd, 9);
    write_all(fd, "cccc", 4, "test");
    EXPECT_EQ(write_chunk_end(child), 4u);
    EXPECT_EQ(plat_tell(fd), 32);
    EXPECT_EQ(write_chunk_end(parent), 24u);
    EXPECT_EQ(plat_tell(fd), 32);
    plat_close(fd);
    EXPECT_EQ(read_file(path), nested_example);
}

TEST(ChunkWriter, StreamNesting) {
    temp_dir t;
    const std::string path = (t / "c").string();
    FILE *f = plat_fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    chunkfilepos_f *parent = fwrite_chunk_start(f, 7);
    fwrite(std::string(12, 'p').data(), 1, 12, f);
    chunkfilepos_f *child = fwrite_chunk_start(f, 9);
    fwrite("cccc", 1, 4, f);
    EXPECT_EQ(fwrite_chunk_end(child), 4u);
    EXPECT_EQ(plat_ftell(f), 32);
    EXPECT_EQ(fwrite_chunk_end(parent), 24u);
    EXPECT_EQ(plat_ftell(f), 32);
    fclose(f);
    EXPECT_EQ(read_file(path), nested_example);
}

TEST(ChunkWriter, EmptyChunk) {
    temp_dir t;
    const std::string path = (t / "c").string();
    int fd = plat_open_write(path.c_str());
    EXPECT_EQ(write_chunk_end(write_chunk_start(fd, 0x01020304)), 0u);
    plat_close(fd);
    EXPECT_EQ(read_file(path), u32(0x01020304) + u32(0));
}

// Opens a file with the given bytes whose top chunk has type 7, returning its descriptor.
struct chunk_file {
    temp_dir t;
    int fd;
    uint32_t budget = 0;
    explicit chunk_file(const std::string &bytes) {
        write_file(t / "f", bytes);
        fd = qz_openfile((t / "f").string().c_str(), 7, "TEST", &budget);
    }
    ~chunk_file() { plat_close(fd); }
};

TEST(ChunkReader, BudgetsAreChargedAndChecked) {
    testing::internal::CaptureStdout();
    chunk_file f(u32(7) + u32(20) + u32(9) + u32(12) + std::string(12, 'x'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "reading: '" + (f.t / "f").string() + "'\n");
    EXPECT_EQ(f.budget, 20u);
    qz_chunk ch;
    qz_read_chunk(f.fd, &ch, &f.budget);
    EXPECT_EQ(ch.type, 9u);
    EXPECT_EQ(ch.size, 12u);
    EXPECT_EQ(f.budget, 0u);
    char buf[12];
    qz_read(f.fd, buf, 12, &ch.size); // the whole budget may be read
    EXPECT_EQ(ch.size, 0u);
    EXPECT_EQ(std::string(buf, 12), std::string(12, 'x'));
}

using ChunkReaderDeath = testing::Test;

TEST(ChunkReaderDeath, ReadBeyondBudget) {
    chunk_file f(u32(7) + u32(4) + "abcd");
    char buf[5];
    EXPECT_EXIT(qz_read(f.fd, buf, 5, &f.budget), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:trying to read beyond chunk end\\(req: 5/avail:4\\)\n$");
}

TEST(ChunkReaderDeath, ChildLargerThanParent) {
    chunk_file f(u32(7) + u32(20) + u32(9) + u32(13) + std::string(13, 'x'));
    qz_chunk ch;
    EXPECT_EXIT(qz_read_chunk(f.fd, &ch, &f.budget), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:chunk: exceeds size of parents data block\n$");
}

TEST(ChunkReaderDeath, TrailingBytesCannotHoldAHeader) {
    chunk_file f(u32(7) + u32(5) + "12345");
    qz_chunk ch;
    EXPECT_EXIT(qz_read_chunk(f.fd, &ch, &f.budget), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:trying to read beyond chunk end\\(req: 8/avail:5\\)\n$");
}

TEST(ChunkReaderDeath, FileShorterThanItsChunk) {
    chunk_file f(u32(7) + u32(100) + "abc");
    char buf[4];
    EXPECT_EXIT(qz_read(f.fd, buf, 4, &f.budget), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:unexpected EOF\n$");
}

TEST(ChunkReaderDeath, WrongTypeAndShortFile) {
    temp_dir t;
    write_file(t / "wrong", u32(8) + u32(0));
    write_file(t / "short", std::string("\x07\0\0\0", 4));
    uint32_t size;
    const std::string wrong = (t / "wrong").string(), shrt = (t / "short").string();
    EXPECT_EXIT(qz_openfile(wrong.c_str(), 7, "TEST", &size), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:" + wrong + ": not an TEST file\n"));
    EXPECT_EXIT(qz_openfile(shrt.c_str(), 7, "TEST", &size), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:" + shrt + ": not an TEST file\n"));
    EXPECT_EXIT(qz_openfile((t / "none").string().c_str(), 7, "TEST", &size),
                testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:open\\(\\): No such file or directory\n$");
}

TEST(Diagnostics, PrintIndents) {
    testing::internal::CaptureStdout();
    print(0, "a%d\n", 1);
    print(3, "b\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a1\n      b\n");
}

TEST(Diagnostics, DieKeepsTheMessageAsItStands) {
    EXPECT_EXIT(die("chunkfilepos malloc failed"), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:chunkfilepos malloc failed$");
}

} // namespace

// The chunk writers, on descriptors and streams, and the budgeted chunk reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz_filefunc.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

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

} // namespace

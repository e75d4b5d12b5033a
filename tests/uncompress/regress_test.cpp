// qz_uncompress against archives that bend the sizes and offsets of the index: each case is a
// fault found in the review of what the unpacker takes from a file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <zlib.h>

#include "qz_test.h"

using namespace qzt;

namespace {

std::string deflated(const std::string &content) {
    uLongf len = compressBound(static_cast<uLong>(content.size()));
    std::string out(len, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef *>(out.data()), &len,
                       reinterpret_cast<const Bytef *>(content.data()),
                       static_cast<uLong>(content.size())),
              Z_OK);
    out.resize(len);
    return out;
}

std::string entry(const std::string &signature, uint32_t offset, uint32_t outsize, uint32_t insize,
                  const std::string &name) {
    return chunk(0x01120000,
                 field(signature, 4) + u32(offset) + u32(outsize) + u32(insize) + field(name, 128));
}

// Many entries may point at one stream, each within the ratio deflate allows for it: together
// they claimed far more than the archive can hold, and each was written in full.
TEST(UnpackRegress, EntriesSharingAStreamCannotClaimMoreThanTheArchiveHolds) {
    temp_dir t;
    std::string noise(1000, '\0'); // hardly compressible: the stream is longer than an entry
    uint32_t x = 12345;
    for (char &c : noise) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    const std::string stream = deflated(noise);
    const uint32_t insize = static_cast<uint32_t>(stream.size());
    const uint32_t outsize = insize * 1032; // the most one stream may claim
    std::string entries;
    const uint32_t n = 8;
    for (uint32_t i = 0; i < n; i++) {
        std::string name = "f";
        name += std::to_string(i);
        entries += entry("zzzz", 20 + 152 * n, outsize, insize, name);
    }
    const std::string bytes =
        chunk(0x30315A51,
              chunk(0x01000000, chunk(0x01100000, u32(n) + entries) + chunk(0x01200000, stream)));
    write_file(t / "x.qz", bytes);
    const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:corrupt archive: its files add up to " +
                         std::to_string(uint64_t{outsize} * n) + " bytes, more than " +
                         std::to_string(bytes.size()) + " bytes of archive can hold\n");
    EXPECT_FALSE(fs::exists(t / "x"));
}

// The same stream for two entries, as long as the whole stays within what the archive can hold,
// is still extracted: the limit is on the total, not on sharing.
TEST(UnpackRegress, EntriesMayShareAStreamWithinTheLimit) {
    temp_dir t;
    const std::string content = "shared content";
    const std::string stream = deflated(content);
    const uint32_t insize = static_cast<uint32_t>(stream.size());
    const uint32_t size = static_cast<uint32_t>(content.size());
    const std::string entries =
        entry(content, 20 + 304, size, insize, "a") + entry(content, 20 + 304, size, insize, "b");
    write_file(t / "x.qz", chunk(0x30315A51, chunk(0x01000000, chunk(0x01100000, u32(2) + entries) +
                                                                   chunk(0x01200000, stream))));
    const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "x" / "a"), content);
    EXPECT_EQ(read_file(t / "x" / "b"), content);
}

// Windows drops the dots and blanks at the end of a path component: ".. ", "..." and ". ." lead
// to the parent directory there, and only ".." itself was refused.
TEST(UnpackRegress, ComponentsThatWindowsReadsAsParentAreRefused) {
    temp_dir t;
    const std::string content = "x";
    const std::string stream = deflated(content);
    for (const std::string name : {".. /evil", "a/.../evil", ". ./evil", "a/ ../evil", "....."}) {
        fs::remove_all(t / "x");
        const std::string table =
            chunk(0x01100000,
                  u32(1) + entry(content, 20 + 152, 1, static_cast<uint32_t>(stream.size()), name));
        write_file(t / "x.qz",
                   chunk(0x30315A51, chunk(0x01000000, table + chunk(0x01200000, stream))));
        const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path);
        EXPECT_EQ(r.status, DIE_STATUS) << name;
        EXPECT_EQ(r.err, "*error*:unsafe file name in archive: '" + name + "'\n");
        EXPECT_FALSE(fs::exists(t / "x")) << name; // the refused run takes its folder along
    }
    EXPECT_FALSE(fs::exists(t / "evil"));
}

// A component of one dot, or of dots and blanks with a single dot, stays where it is: such names
// are still extracted.
#ifdef _WIN32
// A component that ends in a blank is refused there, as Windows cannot hold it; the single dot
// still has to pass.
const char *const SINGLE_DOTS = "a/./b/c";
#else
const char *const SINGLE_DOTS = "a/./b. /c";
#endif

TEST(UnpackRegress, SingleDotComponentsStayAllowed) {
    temp_dir t;
    const std::string content = "x";
    const std::string stream = deflated(content);
    const std::string table =
        chunk(0x01100000, u32(1) + entry(content, 20 + 152, 1, static_cast<uint32_t>(stream.size()),
                                         SINGLE_DOTS));
    write_file(t / "x.qz", chunk(0x30315A51, chunk(0x01000000, table + chunk(0x01200000, stream))));
    const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
}

#ifndef _WIN32

// The offset base lies behind a chunk of almost 4 GiB, and base plus offset beyond 4 GiB: the
// stream's position was kept in 32 bits and wrapped to a place near the start of the file. The
// archive is a sparse file; where the file system cannot make one, the test is skipped.
TEST(UnpackRegress, StreamPositionBeyondFourGiB) {
    temp_dir t;
    const std::string content = "far away";
    const std::string stream = deflated(content);
    const uint32_t filler = 0xF0000000;
    const uint64_t base = 8 + 8 + uint64_t{filler} + 8;
    const uint32_t offset = 0x10000000; // base + offset = 0x100000018
    const std::string table =
        chunk(0x01100000, u32(1) + entry(content, offset, static_cast<uint32_t>(content.size()),
                                         static_cast<uint32_t>(stream.size()), "far"));
    const std::string content_chunk = chunk(0x01000000, table);
    const uint32_t top = static_cast<uint32_t>(8 + filler + content_chunk.size());
    {
        std::ofstream out(t / "x.qz", std::ios::binary);
        const std::string head = u32(0x30315A51) + u32(top) + u32(0x7777) + u32(filler);
        out.write(head.data(), static_cast<std::streamsize>(head.size()));
        out.seekp(static_cast<std::streamoff>(16 + uint64_t{filler}));
        out.write(content_chunk.data(), static_cast<std::streamsize>(content_chunk.size()));
        out.seekp(static_cast<std::streamoff>(base + offset));
        out.write(stream.data(), static_cast<std::streamsize>(stream.size()));
        ASSERT_TRUE(out.good());
    }
    struct stat st;
    ASSERT_EQ(stat((t / "x.qz").string().c_str(), &st), 0);
    if (static_cast<uint64_t>(st.st_blocks) * 512 > (uint64_t{64} << 20))
        GTEST_SKIP() << "no sparse files here";
    const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("fileofs = 0x100000018\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(t / "x" / "far"), content);
}

#endif

} // namespace

// The packer's module called directly: what the command line cannot reach cheaply.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <zlib.h>

#include "qz_compress.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

TEST(Scan, AppendsBehindTheRecordPassedIn) {
    temp_dir t;
    fs::create_directories(t / "d" / "empty");
    flist before = {};
    const std::string dir = (t / "d").string();
    EXPECT_EQ(getfilelist(dir.c_str(), "pre", &before, nullptr), &before);
    EXPECT_EQ(before.next, nullptr);

    write_file(t / "d" / "x", "1");
    flist *added = getfilelist(dir.c_str(), "pre", &before, nullptr);
    ASSERT_NE(added, &before);
    EXPECT_STREQ(added->archivename, "pre/x");
    EXPECT_EQ(added->path, dir + "\\x");
    EXPECT_EQ(added->prev, &before);
    EXPECT_EQ(before.next, added);
    EXPECT_EQ(check_flist(added), &before);
    free_flist(added);
}

TEST(ScanDeath, BrokenLinksAreFatal) {
    flist a = {}, b = {}, c = {};
    a.next = &b;
    b.prev = &a;
    b.next = &a; // should lead to c
    c.prev = &b;
    // The two links are printed as numbers, which differ from run to run.
    EXPECT_EXIT(check_flist(&c), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:!!error: flist->next\\(\\w+\\) != oldflist\\(\\w+\\)\n$");
}

#ifndef _WIN32

// Opening a fifo for reading waits for a writer, so the scan must not list one.
TEST(Scan, FifosAreLeftOut) {
    temp_dir t;
    fs::create_directory(t / "d");
    ASSERT_EQ(mkfifo((t / "d" / "fifo").c_str(), 0644), 0);
    const std::string dir = (t / "d").string();
    testing::internal::CaptureStdout();
    EXPECT_EQ(getfilelist(dir.c_str(), nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "  Skipping " + dir + "\\fifo: not a regular file\n");
}

// A file that is a FIFO by the time it is packed ends the run at once (opening it would wait for a
// writer for good).
TEST(CompressFileDeath, FileSwappedForAFifo) {
    temp_dir t;
    std::string path = (t / "in").string(), name = "in";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    flist f = {};
    f.path = path.data();
    f.archivename = name.data();
    FILE *out = plat_fopen((t / "a.qz").string().c_str(), "wb");
    EXPECT_EXIT(compressfile(&f, out, "a.qz"), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:" + path +
                        " changed while it was being read: it is no longer a regular file\n"));
    fclose(out);
}

// A stream that ends exactly at the last position an archive can have is accepted; one byte
// further is refused before anything is written.
TEST(CompressFileDeath, ArchiveStopsAtItsLimit) {
    temp_dir t;
    std::mt19937 rng(7);
    std::string content(1000, '\0');
    for (char &c : content)
        c = static_cast<char>(rng());
    write_file(t / "in", content);
    uLongf zlen = compressBound(content.size());
    std::string z(zlen, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef *>(z.data()), &zlen,
                        reinterpret_cast<const Bytef *>(content.data()), content.size(),
                        Z_DEFAULT_COMPRESSION),
              Z_OK);
    z.resize(zlen);

    std::string path = (t / "in").string(), name = "in";
    flist f = {};
    f.path = path.data();
    f.archivename = name.data();
    const int64_t start = 0x7FFFFFFF - static_cast<int64_t>(z.size());
    const std::string archive = (t / "a.qz").string();
    FILE *out = plat_fopen(archive.c_str(), "wb");
    ASSERT_EQ(plat_fseek(out, start, SEEK_SET), 0);
    compressfile(&f, out, "a.qz");
    EXPECT_EQ(f.offset, static_cast<uint32_t>(start));
    EXPECT_EQ(f.size, 1000u);
    EXPECT_EQ(f.compressedsize, z.size());
    EXPECT_EQ(std::string(f.signature, 4), content.substr(0, 4));
    fclose(out);
    EXPECT_EQ(fs::file_size(archive), 0x7FFFFFFFu);
    std::ifstream in(archive, std::ios::binary);
    in.seekg(start);
    std::string tail(z.size(), '\0');
    in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    EXPECT_EQ(tail, z);

    out = plat_fopen(archive.c_str(), "wb");
    ASSERT_EQ(plat_fseek(out, start + 1, SEEK_SET), 0);
    EXPECT_EXIT(compressfile(&f, out, "a.qz"), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:a.qz: the archive would grow past its limit of 2 GiB - 1 bytes\n$");
    fclose(out);
    EXPECT_EQ(fs::file_size(archive), 0u);
}

#endif // Windows has no fifos, and its files are not sparse by default

} // namespace

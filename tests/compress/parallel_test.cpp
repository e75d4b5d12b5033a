// The packer and the unpacker with several threads: the archive, the extracted files, every line
// of output and the exit status are those of one thread, whatever the number, also when files
// fail; and memory stays within its budget whatever the files' sizes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qz_test.h"

using namespace qzt;

namespace {

const char *const THREADS[] = {"1", "2", "8", "64"};

std::string numbered(const char *prefix, int i) {
    std::string s = prefix;
    s += std::to_string(i);
    return s;
}

// Bytes that deflate has some work with: runs of text among random stretches.
std::string content(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(n);
    while (s.size() < n) {
        if (rng() % 3 == 0)
            for (int i = 0; i < 64 && s.size() < n; i++)
                s += static_cast<char>(rng());
        else
            s.append("vertex ").append(std::to_string(rng() % 1000)).append("\n");
    }
    s.resize(n);
    return s;
}

// A large file written a block at a time, so that the test itself stays small in memory (its
// children start out with what it holds).
void write_large(const fs::path &p, size_t n, unsigned seed) {
    std::ofstream f(p, std::ios::binary);
    const std::string block = content(size_t{1} << 20, seed);
    for (size_t done = 0; done < n; done += block.size())
        f.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), n - done)));
}

// Many small files in nested folders, empty ones among them, a file past the size that is
// compressed ahead in memory and one past the size the unpacker inflates in one piece.
void make_tree(const fs::path &d) {
    for (int i = 0; i < 400; i++) {
        const fs::path dir = d / numbered("dir", i % 7) / numbered("sub", i % 3);
        fs::create_directories(dir);
        write_file(dir / numbered("f", i), i % 13 == 0 ? "" : content(i * 97 % 30000, i));
    }
    write_large(d / "large", size_t{20} << 20, 1);
    write_large(d / "dir3" / "larger", size_t{40} << 20, 2);
}

struct outcome {
    run_result r;
    std::string archive;
    bool operator==(const outcome &o) const {
        return r.status == o.r.status && r.out == o.r.out && r.err == o.r.err &&
               archive == o.archive;
    }
};

outcome pack(const temp_dir &t, const std::string &threads) {
    outcome o{run(tool("qz_compress"), {"-f", "-j", threads, "d", "d.qz"}, t.path), ""};
    if (fs::exists(t / "d.qz"))
        o.archive = read_file(t / "d.qz");
    return o;
}

std::map<std::string, std::string> tree(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (const std::string &name : listing(dir))
        files[name] = name.back() == '/' ? "" : read_file(dir / name);
    return files;
}

TEST(Parallel, SameArchiveFilesAndOutputForEveryThreadCount) {
    temp_dir t;
    make_tree(t / "d");
    const outcome one = pack(t, "1");
    ASSERT_EQ(one.r.status, 0) << one.r.err;
    for (const char *n : THREADS) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(pack(t, n) == one);
    }
    const std::map<std::string, std::string> files = tree(t / "d");
    fs::rename(t / "d.qz", t / "x.qz");
    run_result first;
    for (const char *n : THREADS) {
        SCOPED_TRACE(n);
        fs::remove_all(t / "x");
        const run_result r = run(tool("qz_uncompress"), {"-j", n, "x.qz"}, t.path);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(tree(t / "x") == files);
        if (first.out.empty())
            first = r;
        EXPECT_EQ(r.out, first.out);
        EXPECT_EQ(r.err, "");
    }
}

#ifndef _WIN32

// Files that fail in several ways among many that do not: the run stops at the first failing
// file in scan order, with its own message, and nothing of a later file is printed.
TEST(Parallel, FirstFailureInScanOrderWins) {
    temp_dir t;
    fs::create_directories(t / "d");
    for (int i = 0; i < 60; i++)
        write_file(t / "d" / numbered("f", i), content(5000, i));
    // Reading fails, the file reads longer than it measures, and a sparse file too large.
    fs::create_symlink("/proc/self/mem", t / "d" / "mem");
    fs::create_symlink("/proc/self/status", t / "d" / "status");
    {
        std::ofstream big(t / "d" / "big", std::ios::binary);
        big.seekp(int64_t{1} << 32);
        big.put('x');
    }
    const outcome one = pack(t, "1");
    ASSERT_EQ(one.r.status, DIE_STATUS);
    // The message is the one of the last file named on standard output.
    const std::string &out = one.r.out;
    const size_t last = out.rfind("\n    ") + 5;
    const std::string name = out.substr(last, out.size() - last - 3);
    EXPECT_NE(one.r.err.find("d\\" + name), std::string::npos) << one.r.err;
    for (const char *n : THREADS) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(pack(t, n) == one);
    }
    EXPECT_FALSE(fs::exists(t / "d.qz"));
}

// A file that measures shorter or longer than it reads is reported as changed, by every thread
// count alike.
TEST(Parallel, FileThatChangesWhileRead) {
    const char *shrinking = "/sys/kernel/mm/transparent_hugepage/enabled"; // measures 4096
    for (const char *source : {"/proc/self/status", shrinking}) {
        if (!fs::exists(source))
            continue;
        temp_dir t;
        fs::create_directories(t / "d");
        for (int i = 0; i < 20; i++)
            write_file(t / "d" / numbered("f", i), content(3000, i));
        fs::create_symlink(source, t / "d" / "changing");
        const outcome one = pack(t, "1");
        EXPECT_EQ(one.r.status, DIE_STATUS);
        EXPECT_EQ(one.r.err, "*error*:d\\changing changed while it was being read\n");
        for (const char *n : THREADS) {
            SCOPED_TRACE(n);
            EXPECT_TRUE(pack(t, n) == one);
        }
    }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

// A file larger than the budget streams through both programs, beside small files that are
// handled in memory: neither holds it whole. Sanitizers add memory of their own.
TEST(Parallel, MemoryStaysWithinTheBudget) {
    temp_dir t;
    fs::create_directories(t / "d");
    for (int i = 0; i < 50; i++)
        write_file(t / "d" / numbered("f", i), content(200000, i));
    write_large(t / "d" / "huge", size_t{160} << 20, 3);
    const uint64_t budget_kib = (64 + 4 * 4 + 24) << 10; // with the program's own 24 MiB
    const run_result packed = run(tool("qz_compress"), {"-j", "4", "d", "x.qz"}, t.path);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_LT(packed.peak_kib, budget_kib);
    const run_result unpacked = run(tool("qz_uncompress"), {"-j", "4", "x.qz"}, t.path);
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_LT(unpacked.peak_kib, budget_kib);
    EXPECT_EQ(fs::file_size(t / "x" / "huge"), size_t{160} << 20);
}

#endif
#endif

} // namespace

// The packer and the unpacker with several threads: the archive, the extracted files, every line
// of output and the exit status are those of one thread, whatever the number, also when files
// fail; and memory stays within its budget whatever the files' sizes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
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

// Files over 1 MiB are made in blocks of 256 KiB on every thread, joined into one zlib stream:
// the same archive for every -j, and streams that another zlib, Python's, reads to the files'
// bytes. The sizes lie at the threshold and at block boundaries.
TEST(Parallel, FilesInBlocksAreOneStreamForEveryThreadCount) {
    temp_dir t;
    fs::create_directories(t / "d");
    const size_t mib = size_t{1} << 20, block = size_t{256} << 10;
    const std::map<std::string, std::string> files = {{"empty", ""},
                                                      {"threshold", content(mib, 1)},
                                                      {"threshold+1", content(mib + 1, 2)},
                                                      {"five blocks", content(5 * block, 3)},
                                                      {"five blocks+1", content(5 * block + 1, 4)},
                                                      {"random", random_bytes(2 * mib + 77, 5)},
                                                      {"text", content(3 * mib, 6)}};
    for (const auto &[name, bytes] : files)
        write_file(t / "d" / name, bytes);
    const outcome one = pack(t, "1");
    ASSERT_EQ(one.r.status, 0) << one.r.err;
    for (const char *n : THREADS) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(pack(t, n) == one);
    }
    const char *inflate_all = R"(import struct, sys, zlib
a = open(sys.argv[1], 'rb').read()
for i in range(struct.unpack_from('<I', a, 24)[0]):
    e = 28 + 152 * i
    offset, outsize, insize = struct.unpack_from('<III', a, e + 12)
    name = a[e + 24:e + 152].split(b'\0')[0].decode()
    data = zlib.decompress(a[16 + offset:16 + offset + insize])
    print(name, len(data) == outsize and data == open(sys.argv[2] + '/' + name, 'rb').read()))";
    const run_result py = run("/usr/bin/python3", {"-c", inflate_all, "d.qz", "d"}, t.path);
    EXPECT_EQ(py.err, "");
    std::set<std::string> lines;
    std::istringstream out(py.out);
    for (std::string line; std::getline(out, line);)
        lines.insert(line);
    std::set<std::string> expected;
    for (const auto &[name, bytes] : files)
        expected.insert(name + " True");
    EXPECT_EQ(lines, expected);
}

// A large file's progress shows on standard error when it is a terminal, rewritten in place,
// while the packer and the unpacker work on it; never through a pipe or with -q. Standard output
// is the same bytes in every case. Reads are slowed so that the work takes over a second.
TEST(Parallel, ProgressOnATerminalOnly) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "big", random_bytes(size_t{17} << 20, 7)); // unpacked in a stream
    ASSERT_EQ(run(tool("qz_compress"), {"d", "x.qz"}, t.path).status, 0);
    // Reads slow enough by the program's clock that the file takes well over the second after
    // which progress shows, however fast the machine compresses: 17 MiB and its windows at 240 us
    // per KiB move its clock on by 4.7 s.
    const std::vector<std::pair<std::string, std::string>> slow_reads = {
        {"QZ_SLOW_READ_US", "240"}};
    std::string slow;
    for (const auto &[name, value] : with_faults(slow_reads).environment)
        slow += name + "='" + value + "' ";
    const auto on_terminal = [&](const std::string &program, const std::string &args) {
        const std::string command = "cd '" + t.path.string() + "' && rm -rf x && " + slow + "'" +
                                    tool(program) + "' " + args + " > out";
        return run("/usr/bin/script", {"-qec", command, "/dev/null"}, t.path);
    };
    const struct {
        std::string program, args;
        bool shown;
    } cases[] = {{"qz_compress", "-f -j 2 d y.qz", true},
                 {"qz_compress", "-q -f -j 1 d y.qz", false},
                 {"qz_uncompress", "-j 1 x.qz", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const run_result r = on_terminal(c.program, c.args);
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string name = c.program == "qz_compress" ? "    big   " : "      big  ";
        if (c.shown) {
            ASSERT_EQ(r.out.rfind("\r" + name, 0), 0u) << r.out.substr(0, 100);
            EXPECT_NE(r.out.find("% "), std::string::npos);
            EXPECT_NE(r.out.find(" of 17.0 MiB "), std::string::npos) << r.out.substr(0, 100);
            EXPECT_EQ(r.out.back(), '\r'); // wiped when done
        } else {
            EXPECT_EQ(r.out, "");
        }
        // Through a pipe, with the same slow reads: standard output alike, nothing else.
        fs::remove_all(t / "x");
        const std::vector<std::string> args = c.program == "qz_compress"
                                                  ? std::vector<std::string>{"-f", "d", "y.qz"}
                                                  : std::vector<std::string>{"x.qz"};
        const run_result piped = run(tool(c.program), args, t.path, with_faults(slow_reads));
        EXPECT_EQ(piped.err, "");
        EXPECT_EQ(read_file(t / "out"), piped.out);
    }
}

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

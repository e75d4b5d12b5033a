// qz_compress -u: a repack over an earlier archive is byte for byte the archive a full pack of
// the tree writes, whatever changed and however many threads; what it could reuse it says in one
// line; a damaged or foreign old archive is passed over, and an interrupted run leaves it whole.
#include <gtest/gtest.h>

#include <set>
#include <csignal>
#include <string>
#include <vector>

#include "qz_test.h"

using namespace qzt;

namespace {

run_result pack(const temp_dir &t, const std::vector<std::string> &args,
                const run_options &options = {}) {
    return run(tool("qz_compress"), args, t.path, options);
}

// A tree of small files, an empty one and one over 1 MiB (compressed in blocks).
void make_tree(const temp_dir &t) {
    fs::create_directories(t / "d" / "sub");
    write_file(t / "d" / "a.txt", std::string(5000, 'a') + "tail");
    write_file(t / "d" / "empty", "");
    write_file(t / "d" / "sub" / "b.bin", random_bytes(3000, 1));
    // Stored (-0), its bytes 00 00 FF FF stand where a block's end would: the stream is then
    // checked from its start, not piece by piece.
    std::string large;
    for (int i = 0; large.size() < (size_t{3} << 19); i++) {
        large += "line " + std::to_string(i * 7919 % 10007) + "\n";
        if (i % 1000 == 0)
            large.append("\0\0\xFF\xFF", 4);
    }
    write_file(t / "d" / "sub" / "large.txt", large);
}

// The last line of a run's output: -u's summary.
std::string last_line(const std::string &out) {
    const size_t end = out.size() - 1, start = out.rfind('\n', end - 1);
    return out.substr(start + 1, end - start - 1);
}

// For every kind of change to the tree, and for a change of options, -u over the archive of the
// tree before equals a full pack of the tree after, with one thread and with two.
TEST(Update, SameArchiveAsAFullPack) {
    using change = void (*)(const temp_dir &);
    const std::pair<const char *, change> changes[] = {
        {"nothing", [](const temp_dir &) {}},
        {"same length",
         [](const temp_dir &t) { write_file(t / "d" / "a.txt", std::string(5004, 'b')); }},
        {"grown",
         [](const temp_dir &t) { write_file(t / "d" / "sub" / "b.bin", random_bytes(4000, 1)); }},
        {"same length, in a block",
         [](const temp_dir &t) {
             std::string large = read_file(t / "d" / "sub" / "large.txt");
             large[large.size() / 2] ^= 1;
             write_file(t / "d" / "sub" / "large.txt", large);
         }},
        {"shrunk",
         [](const temp_dir &t) {
             const std::string large = read_file(t / "d" / "sub" / "large.txt");
             write_file(t / "d" / "sub" / "large.txt", large.substr(0, large.size() - 1));
         }},
        {"added", [](const temp_dir &t) { write_file(t / "d" / "new", "new"); }},
        {"removed", [](const temp_dir &t) { fs::remove(t / "d" / "empty"); }},
        {"renamed", [](const temp_dir &t) {
             fs::rename(t / "d" / "sub" / "large.txt", t / "d" / "sub" / "moved.txt");
         }}};
    const std::vector<std::string> option_sets[] = {{}, {"-9"}, {"-0"}, {"--sort", "-1"}};
    for (const std::string threads : {"1", "2"}) {
        for (const auto &[name, apply] : changes) {
            SCOPED_TRACE(std::string(name) + ", -j " + threads);
            temp_dir t;
            make_tree(t);
            ASSERT_EQ(pack(t, {"d", "old.qz"}).status, 0);
            apply(t);
            ASSERT_EQ(pack(t, {"-j", threads, "d", "full.qz"}).status, 0);
            const run_result r = pack(t, {"-j", threads, "-u", "d", "old.qz"});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(read_file(t / "old.qz") == read_file(t / "full.qz"));
            EXPECT_EQ(r.err, "");
        }
        // Another level or order: the old streams are not what this run makes, or stand
        // elsewhere.
        for (const auto &options : option_sets) {
            SCOPED_TRACE("options " + (options.empty() ? std::string("none") : options[0]));
            temp_dir t;
            make_tree(t);
            ASSERT_EQ(pack(t, {"d", "old.qz"}).status, 0);
            std::vector<std::string> args = {"-j", threads};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<std::string> full = args, update = args;
            full.insert(full.end(), {"d", "full.qz"});
            update.insert(update.end(), {"-u", "d", "old.qz"});
            ASSERT_EQ(pack(t, full).status, 0);
            const run_result r = pack(t, update);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(read_file(t / "old.qz") == read_file(t / "full.qz"));
        }
    }
}

// The summary counts what was copied: everything when nothing changed, all but the changed file
// when one did; without an old archive -u packs as usual and reuses nothing.
TEST(Update, SaysWhatItReused) {
    temp_dir t;
    make_tree(t);
    const run_result first = pack(t, {"-u", "d", "x.qz"});
    ASSERT_EQ(first.status, 0) << first.err;
    const size_t total = 5004 + 3000 + read_file(t / "d" / "sub" / "large.txt").size();
    EXPECT_EQ(last_line(first.out),
              "Reused 0 of 4 files (0 of " + std::to_string(total) + " bytes) from x.qz");
    const run_result same = pack(t, {"-u", "d", "x.qz"});
    EXPECT_EQ(last_line(same.out), "Reused 4 of 4 files (" + std::to_string(total) + " of " +
                                       std::to_string(total) + " bytes) from x.qz");
    write_file(t / "d" / "sub" / "b.bin", random_bytes(3000, 2)); // same length, other bytes
    const run_result one = pack(t, {"-u", "d", "x.qz"});
    EXPECT_EQ(last_line(one.out), "Reused 3 of 4 files (" + std::to_string(total - 3000) + " of " +
                                      std::to_string(total) + " bytes) from x.qz");
    // Every other line is a full pack's.
    const run_result full = pack(t, {"-f", "d", "x.qz"});
    EXPECT_EQ(one.out.substr(0, one.out.rfind('\n', one.out.size() - 2) + 1), full.out);
}

// An old archive that is damaged, or no archive at all, gets one warning and is otherwise passed
// over; one of another tree gives nothing it does not hold. The result is a full pack's.
TEST(Update, DamagedOrForeignOldArchive) {
    temp_dir t;
    make_tree(t);
    ASSERT_EQ(pack(t, {"d", "full.qz"}).status, 0);
    const std::string full = read_file(t / "full.qz");
    fs::create_directories(t / "other");
    write_file(t / "other" / "a.txt", "another a");
    ASSERT_EQ(pack(t, {"other", "foreign.qz"}).status, 0);
    std::string cut_index = full.substr(0, 40), bad_offset = full;
    bad_offset[43] = '\x7F'; // the first entry's stream offset, far beyond the end
    const std::pair<std::string, std::string> olds[] = {
        {"not an archive", "[warn] old.qz: not an archive of this format: every file is "
                           "compressed again\n"},
        {cut_index, "[warn] old.qz: its index is cut short: every file is compressed again\n"},
        {bad_offset, "[warn] old.qz: a stream lies beyond its end: every file is compressed "
                     "again\n"},
        {read_file(t / "foreign.qz"), ""}};
    for (const auto &[old, warning] : olds) {
        SCOPED_TRACE(warning);
        write_file(t / "old.qz", old);
        const run_result r = pack(t, {"-u", "d", "old.qz"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(t / "old.qz") == full);
        if (warning.empty())
            EXPECT_EQ(r.out.find("[warn]"), std::string::npos) << r.out;
        else
            EXPECT_NE(r.out.find(warning), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Reused 0 of 4 files"), std::string::npos);
    }
}

#ifndef _WIN32
// Killed once the new archive is begun, the old one open for its streams: the old one stays as
// it was, and nothing of the run is left.
TEST(Update, InterruptedRunLeavesTheOldArchiveWhole) {
    temp_dir t;
    make_tree(t);
    ASSERT_EQ(pack(t, {"d", "old.qz"}).status, 0);
    const std::string before = read_file(t / "old.qz");
    write_file(t / "d" / "a.txt", "changed");
    const run_result r = pack(t, {"-u", "d", "old.qz"}, with_faults({{"QZ_KILL_AT_CREATE", "1"}}));
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_TRUE(read_file(t / "old.qz") == before);
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/a.txt", "d/empty", "d/sub/",
                                                      "d/sub/b.bin", "d/sub/large.txt", "old.qz"}));
}

// With no thread to spare, the checks run on the calling thread: the same archive.
TEST(Update, NoThreadToSpare) {
    temp_dir t;
    make_tree(t);
    ASSERT_EQ(pack(t, {"d", "old.qz"}).status, 0);
    ASSERT_EQ(pack(t, {"d", "full.qz"}).status, 0);
    const run_result r =
        pack(t, {"-j", "2", "-u", "d", "old.qz"}, with_faults({{"QZ_FAIL_THREADS", "1"}}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(t / "old.qz") == read_file(t / "full.qz"));
    EXPECT_NE(r.out.find("Reused 4 of 4 files"), std::string::npos) << r.out;
}
#endif

} // namespace

// What stands under the archive's name: without -f nothing is ever replaced, whatever it is and
// whenever it appeared; with -f only a file or a link to one, and a link is replaced itself, not
// what it leads to.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

#ifndef _WIN32

const std::string banner = "qz_compress 12.09.2012 (ul_tam)\n";

run_result pack(const temp_dir &t, std::vector<std::string> args, const run_options &o = {}) {
    args.insert(args.begin(), {"-j", "1"});
    return run(tool("qz_compress"), args, t.path, o);
}

TEST(Targets, OnlyFilesAndLinksToThemAreReplaced) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "x", "x");
    write_file(t / "file", "old");
    const struct {
        const char *name, *what;
        void (*make)(const fs::path &);
    } targets[] = {
        {"fifo", "a FIFO", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
        {"nowhere", "a link that leads nowhere",
         [](const fs::path &p) { fs::create_symlink(p.parent_path() / "none", p); }},
        {"device", "a link to a character device",
         [](const fs::path &p) { fs::create_symlink("/dev/null", p); }},
        {"dir", "a directory", [](const fs::path &p) { fs::create_directory(p); }},
    };
    for (const auto &target : targets) {
        SCOPED_TRACE(target.name);
        target.make(t / target.name);
        const auto kind = fs::symlink_status(t / target.name).type();
        const std::string head = banner + "Writing qz archive file: " + target.name + "\n";
        run_result r = pack(t, {"d", target.name});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head);
        EXPECT_EQ(r.err, std::string("*error*:'") + target.name +
                             "' already exists. Remove or use -f to force overwrite\n");
        r = pack(t, {"-f", "d", target.name});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err, std::string("*error*:'") + target.name + "' is " + target.what +
                             ": -f replaces only a file or a link to one\n");
        EXPECT_EQ(fs::symlink_status(t / target.name).type(), kind);
    }
    // A link to a file: the link gives way to the archive, the file stays.
    fs::create_symlink("file", t / "link");
    ASSERT_EQ(pack(t, {"-f", "d", "link"}).status, 0);
    EXPECT_EQ(fs::symlink_status(t / "link").type(), fs::file_type::regular);
    EXPECT_EQ(read_file(t / "file"), "old");
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/x", "file", "fifo", "nowhere",
                                                      "device", "dir/", "link"}));
}

// A file that appears under the name while the archive is written is never replaced without -f:
// made there just before the rename, and by another run of the packer at the same time.
TEST(Targets, NameTakenWhileWriting) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "x", "x");
    run_result r = pack(t, {"d"}, with_faults({{"QZ_CREATE_BEFORE_RENAME", "1"}}));
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:'d.qz' already exists. Remove or use -f to force overwrite\n");
    EXPECT_EQ(read_file(t / "d.qz"), "intruder");
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/x", "d.qz"}));
    fs::remove(t / "d.qz");

    int succeeded = 0;
    for (const run_result &r : run_together(tool("qz_compress"), {{"d"}, {"d"}}, t.path)) {
        succeeded += r.status == 0;
        EXPECT_TRUE(r.status == 0 ||
                    r.err == "*error*:'d.qz' already exists. Remove or use -f to force overwrite\n")
            << r.err;
    }
    EXPECT_EQ(succeeded, 1);
    const std::string archive = read_file(t / "d.qz");
    EXPECT_EQ(pack(t, {"-f", "d"}).status, 0);
    EXPECT_EQ(read_file(t / "d.qz"), archive);
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/x", "d.qz"}));
}

// What a killed run left in the folder being packed is not packed, with a word; a name that only
// looks like one is.
TEST(Targets, LeftoversOfKilledRunsAreNotPacked) {
    temp_dir t;
    fs::create_directories(t / "d" / "s");
    write_file(t / "d" / "s" / ".out.qz.tmp0123abcd", "left");
    write_file(t / "d" / ".x.tmp0123abcz", "kept");
    const run_result r = pack(t, {"d", "a.qz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("[warn] Skipping d\\s\\.out.qz.tmp0123abcd: a temporary file of an "
                         "interrupted run\n"),
              std::string::npos)
        << r.out;
    ASSERT_EQ(run(tool("qz_uncompress"), {"a.qz"}, t.path).status, 0);
    EXPECT_EQ(listing(t / "a"), (std::set<std::string>{".x.tmp0123abcz"}));
}

#endif

} // namespace

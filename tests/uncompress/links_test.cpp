// qz_uncompress never writes through a link that stands in its output folder: one there before
// the run, and one put there while it goes on (by a library in front of the C library, right
// after the Nth file is made, so that nothing depends on timing). Nothing outside changes.
#include <gtest/gtest.h>

#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

// The archive a.qz of a, sub/a2, sub/deeper/b and sub/file, in that order, and a folder "outside"
// with one file, which no run may change.
struct linked : testing::Test {
    temp_dir t;
    void SetUp() override {
        fs::create_directories(t / "a" / "sub" / "deeper");
        write_file(t / "a" / "a", "1");
        write_file(t / "a" / "sub" / "a2", "2");
        write_file(t / "a" / "sub" / "file", "2");
        write_file(t / "a" / "sub" / "deeper" / "b", "3");
        ASSERT_EQ(run(tool("qz_compress"), {"-j", "1", "--sort", "a"}, t.path).status, 0);
        fs::remove_all(t / "a");
        fs::create_directory(t / "outside");
        write_file(t / "outside" / "kept", "mine");
    }
    void expect_outside_unchanged() {
        EXPECT_EQ(listing(t / "outside"), std::set<std::string>{"kept"});
        EXPECT_EQ(read_file(t / "outside" / "kept"), "mine");
    }
    run_result unpack(const std::vector<std::string> &args, const run_options &options = {}) {
        return run(tool("qz_uncompress"), args, t.path, options);
    }
};

// A link in DIR at an entry's folder (to a folder outside, or leading nowhere) or at its name is
// found before the first file is written.
TEST_F(linked, StandingInTheChosenFolder) {
    for (const fs::path &target : {fs::path("..") / "outside", fs::path("..") / "outside" / "no"}) {
        SCOPED_TRACE(target);
        fs::remove_all(t / "dest");
        fs::create_directory(t / "dest");
        if (!make_link(target, t / "dest" / "sub", true))
            GTEST_SKIP() << "this user cannot make symbolic links here";
        const run_result r = unpack({"-o", "dest", "a.qz"});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err, "*error*:can't extract sub/a2: sub is a link, and nothing is "
                         "written through one\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(t / "dest"), {}), 1); // the link alone
    }
    fs::remove_all(t / "dest");
    fs::create_directory(t / "dest");
    if (!make_link(fs::path("..") / "outside" / "new", t / "dest" / "a", false))
        GTEST_SKIP() << "this user cannot make symbolic links to files here";
    const run_result r = unpack({"-o", "dest", "a.qz"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:already exists a\n");
    expect_outside_unchanged();
}

#ifndef _WIN32

// Links that appear after the first file: at a later entry's folder, at a folder below one the
// run made, and at a later entry's name; into a chosen folder and into a fresh one. The run ends
// at that entry, and the file completed before it stays.
TEST_F(linked, PutThereWhileTheRunGoesOn) {
    struct planted {
        const char *at, *name, *target, *entry;
    };
    for (const planted p : {planted{"1", "sub", "../outside", "sub/a2"},
                            planted{"2", "sub/deeper", "../../outside", "sub/deeper/b"},
                            planted{"3", "sub/file", "../../outside/new", "sub/file"}}) {
        for (const bool chosen : {true, false}) {
            SCOPED_TRACE(std::string(p.name) + (chosen ? " in -o dest" : " in a fresh folder"));
            fs::remove_all(t / "dest");
            fs::remove_all(t / "a");
            const run_result r =
                unpack(chosen ? std::vector<std::string>{"-j", "1", "-o", "dest", "a.qz"}
                              : std::vector<std::string>{"-j", "1", "a.qz"},
                       with_faults({{"QZ_LINK_AT_CREATE", p.at},
                                    {"QZ_LINK_NAME", p.name},
                                    {"QZ_LINK_TARGET", p.target}}));
            EXPECT_EQ(r.status, DIE_STATUS);
            EXPECT_EQ(r.err, std::string("*error*:can't extract ") + p.entry + ": " + p.name +
                                 " is a link, and nothing is written through one\n");
            EXPECT_EQ(read_file(t / (chosen ? "dest" : "a") / "a"), "1");
            expect_outside_unchanged();
        }
    }
}

#endif

} // namespace

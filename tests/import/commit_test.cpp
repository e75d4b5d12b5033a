// qz_import's outputs take their names all together or not at all: a run interrupted before the
// renames leaves every file as it was, one interrupted during them finishes them and succeeds,
// and a rename that fails after others have succeeded brings the earlier files back. The faults
// come from a library put in front of the C library (tests/support/faults.cpp).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include <map>
#include <set>
#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

// A model of count materials, converted once; opacity tells one conversion from the other.
struct converted {
    temp_dir t;
    std::map<std::string, std::string> before; // every file: its bytes
    explicit converted(int count) {
        write_file(t / "m.obj", "mtllib m.mtl\no x\n");
        write_file(t / "m.mtl", library(count, "1"));
        EXPECT_EQ(run(tool("qz_import"), {"m.obj"}, t.path).status, 0);
        write_file(t / "m.mtl", library(count, "0.5"));
        for (const std::string &f : listing(t.path))
            before[f] = read_file(t / f);
    }
    static std::string library(int count, const char *opacity) {
        std::string s;
        for (int i = 0; i < count; i++)
            s.append("newmtl M")
                .append(std::to_string(i))
                .append("\nd ")
                .append(opacity)
                .append("\n");
        return s;
    }
    void expect_unchanged() const {
        std::map<std::string, std::string> now;
        for (const std::string &f : listing(t.path))
            now[f] = read_file(t / f);
        EXPECT_TRUE(now == before) << "files changed or left behind";
    }
    run_result import(const std::vector<std::pair<std::string, std::string>> &faults) const {
        return run(tool("qz_import"), {"-f", "m.obj"}, t.path, with_faults(faults));
    }
};

#ifndef _WIN32

TEST(Commit, InterruptedImport) {
    converted c(2000);
    // 2,001 files are made: the object file and one per material.
    for (const char *at : {"1", "2", "1000", "2001"}) {
        SCOPED_TRACE(std::string("SIGTERM after file ") + at);
        EXPECT_EQ(c.import({{"QZ_KILL_AT_CREATE", at}}).status, 128 + SIGTERM);
        c.expect_unchanged();
    }
    // Once the renames have begun they are finished, and the run succeeds.
    for (const char *at : {"1", "2001"}) {
        SCOPED_TRACE(std::string("SIGTERM before rename ") + at);
        EXPECT_EQ(c.import({{"QZ_KILL_AT_RENAME", at}}).status, 0);
        std::set<std::string> names;
        for (const auto &[name, bytes] : c.before) {
            names.insert(name);
            if (name.find(".material_new") != std::string::npos) {
                EXPECT_NE(read_file(c.t / name), bytes) << name;
            }
        }
        EXPECT_EQ(listing(c.t.path), names);
    }
}

TEST(Commit, FailedRenameBringsBackTheOthers) {
    converted c(3);
    for (const char *at : {"1", "2", "4"}) {
        SCOPED_TRACE(std::string("rename ") + at + " fails");
        const run_result r = c.import({{"QZ_FAIL_RENAME_AT", at}});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err.rfind("*error*:can't rename ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(": Operation not permitted\n"), std::string::npos) << r.err;
        c.expect_unchanged();
    }
    // Where nothing stood before, the files already renamed go again.
    temp_dir fresh;
    write_file(fresh / "m.obj", "mtllib m.mtl\no x\n");
    write_file(fresh / "m.mtl", "newmtl A\nnewmtl B\n");
    const run_result r =
        run(tool("qz_import"), {"m.obj"}, fresh.path, with_faults({{"QZ_FAIL_RENAME_AT", "3"}}));
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(listing(fresh.path), (std::set<std::string>{"m.obj", "m.mtl"}));
}

#else

// A material file held open by another program without leave to delete it, as a running engine
// or viewer holds it: its rename fails, and the files renamed before it are brought back.
TEST(Commit, FileHeldOpenBringsBackTheOthers) {
    converted c(2);
    const HANDLE held = CreateFileW(long_path(c.t / "M1.material_new").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const run_result r = run(tool("qz_import"), {"-f", "m.obj"}, c.t.path);
    CloseHandle(held);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err.rfind("*error*:can't rename ", 0), 0u) << r.err;
    c.expect_unchanged();
}

#endif

} // namespace

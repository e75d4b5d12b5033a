// qz_uncompress interrupted, and two unpacks of one archive at once: whatever stands in an
// output folder afterwards is a whole file. The interrupts come from a library put in front of
// the C library (tests/support/faults.cpp), right after the Nth file is made.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#endif

#include <map>
#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

#ifndef _WIN32

std::string folder(int i) {
    std::string f(1, 'f');
    return f.append(std::to_string(i % 30));
}

// 3,000 small files in 30 folders, and their archive a.qz beside them.
struct packed_tree {
    temp_dir t;
    std::map<std::string, std::string> files; // name below the folder: content
    packed_tree() {
        for (int i = 0; i < 30; i++)
            fs::create_directories(t / "a" / folder(i));
        for (int i = 0; i < 3000; i++) {
            const std::string name = folder(i).append("/").append(std::to_string(i));
            files[name] =
                std::string(static_cast<size_t>(i * 7 % 5000), static_cast<char>('a' + i % 26));
            write_file(t / "a" / name, files[name]);
        }
        EXPECT_EQ(run(tool("qz_compress"), {"-j", "1", "a"}, t.path).status, 0);
        fs::remove_all(t / "a");
    }
    // Every file in the folder is one of the tree's, whole; returns how many there are.
    size_t check(const fs::path &out) const {
        size_t n = 0;
        for (const std::string &name : listing(out)) {
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
            if (name.back() == '/')
                continue;
            n++;
            const auto f = files.find(name);
            if (f == files.end())
                ADD_FAILURE() << "unknown file " << name;
            else
                EXPECT_EQ(read_file(out / name), f->second) << name;
        }
        return n;
    }
};

TEST(Interrupts, UnpackLeavesOnlyWholeFiles) {
    packed_tree p;
    for (const char *threads : {"1", "2"}) {
        for (const char *at : {"1", "2", "9", "100", "1500", "2999"}) {
            SCOPED_TRACE(std::string("-j ") + threads + ", SIGTERM after file " + at);
            const run_result r = run(tool("qz_uncompress"), {"-j", threads, "a.qz"}, p.t.path,
                                     with_faults({{"QZ_KILL_AT_CREATE", at}}));
            const size_t whole = p.check(p.t / "a");
            // The signal may come too late for a run at its last files.
            EXPECT_TRUE(r.status == 128 + SIGTERM || (r.status == 0 && whole == 3000)) << r.status;
            fs::remove_all(p.t / "a");
        }
    }
}

// Each run makes a folder of its own, and each folder gets every file.
TEST(Interrupts, TwoUnpacksAtOnce) {
    packed_tree p;
    const std::vector<std::string> args = {"-j", "2", "a.qz"};
    for (const run_result &r : run_together(tool("qz_uncompress"), {args, args}, p.t.path))
        EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(p.check(p.t / "a"), 3000u);
    EXPECT_EQ(p.check(p.t / "a.0"), 3000u);
}

#endif

} // namespace

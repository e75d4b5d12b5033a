// The options every tool takes: --help shows the usage text that a run without arguments shows,
// --version the banner alone, both on standard output and with status 0, wherever they stand.
#include <gtest/gtest.h>

#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

TEST(StandardOptions, HelpAndVersionInEveryTool) {
    temp_dir t;
    for (const char *name : {"qz_compress", "qz_uncompress", "qz_import", "qz_info"}) {
        SCOPED_TRACE(name);
        const run_result bare = run(tool(name), {}, t.path);
        ASSERT_EQ(bare.status, DIE_STATUS);
        const std::string banner = bare.out.substr(0, bare.out.find('\n') + 1);
        ASSERT_EQ(bare.out.compare(0, banner.size() + 7, banner + "Usage: "), 0) << bare.out;
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"--help"}, {"-f", "--help", "never-read"}}) {
            const run_result help = run(tool(name), args, t.path);
            EXPECT_EQ(help.status, 0);
            EXPECT_EQ(help.out, bare.out);
            EXPECT_EQ(help.err, "");
        }
        const run_result version = run(tool(name), {"--version"}, t.path);
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, banner);
        EXPECT_EQ(version.err, "");
        EXPECT_EQ(listing(t.path), std::set<std::string>{});
    }
}

} // namespace

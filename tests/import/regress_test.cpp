// qz_import at the limits of what it takes from its input files: each case is a fault found in
// the review of the importer's lists.
#include <gtest/gtest.h>

#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

// The material list grows as the libraries need: past the 32,768 it once held, every material
// gets its record and its file. What bounds it is the object file (its material chunk, 80 bytes a
// material, must stay under 2 GiB).
TEST(ImportRegress, MaterialListGrows) {
#ifdef _WIN32
    // The code is the same on every system; Wine takes minutes to make and rename 32,769 files.
    GTEST_SKIP() << "32,769 material files take minutes under Wine";
#endif
    temp_dir t;
    std::string mtl;
    for (unsigned i = 0; i <= 32768; i++)
        mtl += "newmtl m" + std::to_string(i) + "\n";
    write_file(t / "m.mtl", mtl);
    write_file(t / "m.obj", "mtllib m.mtl\n");
    const run_result r = run(tool("qz_import"), {"m.obj"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(t.path).size(), 32769u + 3); // with m.obj, m.mtl and m.object
    EXPECT_TRUE(fs::exists(t / "m32768.material_new"));
}

// A name given again reuses its material and counts nothing toward the limit.
TEST(ImportRegress, RepeatedNamesDoNotCountTowardTheLimit) {
    temp_dir t;
    std::string mtl;
    for (unsigned i = 0; i <= 32768; i++)
        mtl += "newmtl same\n";
    write_file(t / "m.mtl", mtl);
    write_file(t / "m.obj", "mtllib m.mtl\n");
    const run_result r = run(tool("qz_import"), {"m.obj"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(t / "same.material_new"));
}

} // namespace

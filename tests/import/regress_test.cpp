// qz_import at the limits of what it takes from its input files: each case is a fault found in
// the review of the importer's lists.
#include <gtest/gtest.h>

#include <string>

#include "qz_test.h"

using namespace qzt;

namespace {

// The material list had no capacity: every name made a node, and the object file's material
// chunk size (80 bytes a material, in 32 bits) could wrap.
TEST(ImportRegress, MaterialListIsBounded) {
    temp_dir t;
    std::string mtl;
    for (unsigned i = 0; i <= 32768; i++)
        mtl += "newmtl m" + std::to_string(i) + "\n";
    write_file(t / "m.mtl", mtl);
    write_file(t / "m.obj", "mtllib m.mtl\n");
    const run_result r = run(tool("qz_import"), {"m.obj"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, "qz_import 12.09.2012 (ul_tam)\nworking dir: .\nreading: 'm.obj' ...\n"
                     "reading: 'm.mtl' ...\n");
    EXPECT_EQ(r.err, "*error*:m.mtl: too many materials (at most 32768) on line 32769\n");
    EXPECT_FALSE(fs::exists(t / "m0.material_new"));
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

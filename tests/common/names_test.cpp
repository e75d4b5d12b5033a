// Names cut to their fixed fields.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz_filefunc.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

TEST(NameHelpers, CopyNameField) {
    char f[4];
    copy_name_field(f, "ab", 4);
    EXPECT_EQ(std::string(f, 4), std::string("ab\0\0", 4));
    copy_name_field(f, "abcd", 4);
    EXPECT_EQ(std::string(f, 4), "abcd");
    copy_name_field(f, "abcdef", 4);
    EXPECT_EQ(std::string(f, 4), "abcd");
}

} // namespace

// Standard output and the fatal path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz_filefunc.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;

namespace {

TEST(Diagnostics, PrintIndents) {
    testing::internal::CaptureStdout();
    print(0, "a%d\n", 1);
    print(3, "b\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a1\n      b\n");
}

TEST(Diagnostics, DieKeepsTheMessageAsItStands) {
    EXPECT_EXIT(die("chunkfilepos malloc failed"), testing::ExitedWithCode(DIE_STATUS),
                "^\\*error\\*:chunkfilepos malloc failed$");
}

} // namespace

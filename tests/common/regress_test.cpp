// The library's readers at the limits of what they take from a file: each case is a fault found
// in the review of the sizes and counts the readers use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "qz_path.h"
#include "qz_test.h"

using namespace qzt;

namespace {

std::string names(unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count; i++)
        text += "name p\n";
    return text;
}

unsigned count_and_free(path_data_ll *n) {
    unsigned count = 0;
    for (; n != nullptr; count++)
        free(std::exchange(n, n->next));
    return count;
}

// Every "name" line made a node of 72 bytes from 7 bytes of text, without a bound, and each
// node a record of the object file.
TEST(PathsRegress, AsManyPointsAsTheLimit) {
    temp_dir t;
    const std::string file = (t / "m.paths").string();
    write_file(file, names(MAX_PATH_POINTS));
    testing::internal::CaptureStdout();
    path_data_ll *list = read_paths_file(file.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_and_free(list), MAX_PATH_POINTS);
}

using PathsRegressDeath = testing::Test;

TEST(PathsRegressDeath, OnePointMoreIsRefused) {
    temp_dir t;
    const std::string file = (t / "m.paths").string();
    write_file(file, "# many\n" + names(MAX_PATH_POINTS + 1));
    EXPECT_EQ(MAX_PATH_POINTS, 32768u);
    EXPECT_EXIT(
        read_paths_file(file.c_str()), testing::ExitedWithCode(DIE_STATUS),
        exactly("*error*:At line 32770 in '" + file + "' too many path points (at most 32768)\n"));
}

} // namespace

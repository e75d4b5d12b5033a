// The exclusion pattern matcher: the documented examples and the corners of its '*' runs.
#include <gtest/gtest.h>

#include <string>

#include "qz_filefunc.h"

namespace {

struct match_case {
    const char *pattern;
    const char *text;
    int result;
};

TEST(Matcher, DocumentedExamples) {
    const match_case cases[] = {
        {"*.bak", "a/b/c.bak", 1}, {"*.bak", "c.bak.txt", 0},
        {"c.bak", "a/c.bak", 0},   {"sub/*", "sub/x/y.dat", 1},
        {"a?c", "abc", 1},         {"a?c", "ac", 0},
        {"*.TXT", "a.txt", 0},     {"*", "any name", 1},
        {"*?x", "x", 1},           {"*?", "", 0},
    };
    for (const match_case &c : cases)
        EXPECT_EQ(matcher(c.pattern, c.text), c.result) << c.pattern << " / " << c.text;
}

TEST(Matcher, Corners) {
    const match_case
        cases[] =
            {
                {"", "", 1},           {"", "a", 0},
                {"a", "", 0},          {"abc", "ab", 0},
                {"ab", "abc", 0},      {"?", "", 0},
                {"?", "a", 1},         {"*", "", 1},
                {"**", "", 1},         {"*?", "a", 1},
                {"?*", "", 0},         {"*x", "", 0},
                {"*?*", "", 0},        {"*??x", "x", 1}, // the '?' of a run never consume the text
                {"a*b*c", "aXbYc", 1}, {"a*b*c", "aXbYcZ", 0},
                {"*b", "abab", 1}, // a failed first candidate is not the end
                {"*ab", "aab", 1},     {"*a*b", "bab", 1},
                {"sub", "sub/x", 0}, // a directory's prefix alone excludes nothing below it
                {"a*", "a/b/c", 1},    {"*/*", "top", 0},
                {"\xe4*", "\xe4x", 1}, // bytes above 127 compare like any other
            };
    for (const match_case &c : cases)
        EXPECT_EQ(matcher(c.pattern, c.text), c.result) << c.pattern << " / " << c.text;
    // Many '*' against a name as long as an archive holds: no try of every way to place them.
    const std::string name(128, 'a');
    EXPECT_EQ(matcher("*a*a*a*a*a*a*a*a*a*a*b", name.c_str()), 0);
    EXPECT_EQ(matcher("*a*a*a*a*a*a*a*a*a*a*a", name.c_str()), 1);
}

} // namespace

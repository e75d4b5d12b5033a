// The line parser on real files: line rules, window refills, number conversion, error reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz_filefunc.h"
#include "qz_platform.h"
#include "qz_test.h"

using namespace qzt;
using namespace std::string_literals;

namespace {

using lines = std::vector<std::string>;

uint32_t bits(float v) {
    uint32_t b;
    memcpy(&b, &v, sizeof b);
    return b;
}

// A parser on a file holding the given bytes.
struct open_file {
    temp_dir t;
    parser *ps;
    std::string out; // what init_parser printed
    explicit open_file(const std::string &bytes) {
        write_file(t / "f", bytes);
        testing::internal::CaptureStdout();
        ps = init_parser(name().c_str());
        out = testing::internal::GetCapturedStdout();
    }
    ~open_file() { close_parser(ps); }
    std::string name() const { return (t / "f").string(); }
    void skip_to(unsigned int n) {
        while (ps->line != nullptr && ps->nline < n)
            parser_read_line(ps);
        ASSERT_NE(ps->line, nullptr);
    }
};

// Every line delivered, checking on the way that each lies inside the window with the data
// still NUL-terminated, and that the end of input stays the end.
lines all_lines(const std::string &bytes) {
    open_file f(bytes);
    EXPECT_EQ(f.out, "reading: '" + f.name() + "' ...\n");
    lines got;
    for (parser *ps = f.ps; ps->line != nullptr; parser_read_line(ps)) {
        EXPECT_TRUE(ps->line >= ps->buf && ps->line < ps->buf + sizeof ps->buf);
        EXPECT_EQ(ps->cur[ps->bytes_left], '\0');
        EXPECT_EQ(ps->nline, got.size() + 1);
        got.emplace_back(ps->line);
    }
    for (int i = 0; i < 2; i++) {
        parser_read_line(f.ps);
        EXPECT_EQ(f.ps->line, nullptr);
        EXPECT_EQ(f.ps->nline, got.size());
    }
    return got;
}

// A last line without a line feed counts like any other, and so does a lone CR at the end.
TEST(Parser, LineEnds) {
    EXPECT_EQ(all_lines(""), lines{});
    EXPECT_EQ(all_lines("\n"), lines{""});
    EXPECT_EQ(all_lines("a\n\nb\nunterminated"), (lines{"a", "", "b", "unterminated"}));
    EXPECT_EQ(all_lines("a\r\n\r\nb\rc\n\r"), (lines{"a", "", "b\rc", ""}));
    EXPECT_EQ(all_lines("last\r"), lines{"last"});
}

// Only a mark at the very start is skipped; elsewhere its bytes are text.
TEST(Parser, ByteOrderMark) {
    EXPECT_EQ(all_lines("\xEF\xBB\xBFv 1\n\xEF\xBB\xBF\n"), (lines{"v 1", "\xEF\xBB\xBF"}));
    EXPECT_EQ(all_lines("\xEF\xBB\xBF"), lines{});
    EXPECT_EQ(all_lines("\xEF\xBB"), lines{"\xEF\xBB"});
}

// A file as a Windows editor saves text in UTF-16, byte order mark first.
std::string utf16(const std::u16string &text, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t u : text) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u);
        bytes += big_endian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return bytes;
}

// UTF-16 gives the lines of the same text in UTF-8, in either byte order; the file of many windows
// has its refills cut surrogate pairs and leave code points that did not fit for the next window.
// Half a pair on its own, or an odd last byte, stands for U+FFFD.
TEST(Parser, Utf16ReadsAsUtf8) {
    const std::string smile = "\xF0\x9F\x98\x80", bad = "\xEF\xBF\xBD";
    const std::string longest = std::string(PARSER_WINDOW - 5, 'y') + smile;
    const std::u16string longest16 = std::u16string(PARSER_WINDOW - 5, u'y') + u"\U0001F600";
    std::string many;
    std::u16string many16;
    for (int i = 0; many16.size() < 20 * PARSER_WINDOW; i++) {
        many += std::string(i % 13, 'a') + "\xC3\xA9\xE4\xB8\xAD" + smile + (i % 5 ? "\n" : "\r\n");
        many16 +=
            std::u16string(i % 13, u'a') + u"\u00E9\u4E2D\U0001F600" + (i % 5 ? u"\n" : u"\r\n");
    }
    const char16_t halves[] = {'a',    0xD800, 'b',    '\n', 0xDC00, '\n',
                               0xD800, 0xD83D, 0xDE00, '\n', 0xDBFF, 0};
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        EXPECT_EQ(all_lines(utf16(u"v 1\r\n\u00E9 \U0001F600\n\n\uFEFF", big)),
                  (lines{"v 1", "\xC3\xA9 " + smile, "", "\xEF\xBB\xBF"}));
        EXPECT_EQ(all_lines(utf16(u"x\n" + longest16 + u"\nz", big)), (lines{"x", longest, "z"}));
        EXPECT_EQ(all_lines(utf16(u"x\n" + longest16, big)), (lines{"x", longest}));
        EXPECT_EQ(all_lines(utf16(many16, big)), all_lines(many));
        EXPECT_EQ(all_lines(utf16(halves, big)), (lines{"a" + bad + "b", bad, bad + smile, bad}));
        EXPECT_EQ(all_lines(utf16(u"a", big) + "b"), lines{"a" + bad});
    }
}

TEST(Parser, LongestLineFitsTheWindowWhereverItStarts) {
    const std::string longest(PARSER_WINDOW - 1, 'y');
    EXPECT_EQ(all_lines("x\n" + longest + "\nz\n"), (lines{"x", longest, "z"}));
    EXPECT_EQ(all_lines("x\n" + longest), (lines{"x", longest}));
    // The carriage return counts against the window.
    const std::string shorter(PARSER_WINDOW - 2, 'y');
    EXPECT_EQ(all_lines(shorter + "\r\nz\n"), (lines{shorter, "z"}));
}

TEST(Parser, FileOfManyWindows) {
    std::string text;
    lines want;
    for (int i = 0; want.size() < 20000; i++) {
        want.push_back(std::string(i * 37 % 311, static_cast<char>('a' + i % 26)) +
                       std::to_string(i));
        text += want.back() + (i % 7 == 0 ? "\r\n" : "\n");
    }
    ASSERT_GT(text.size(), 3000000u);
    EXPECT_EQ(all_lines(text), want);
}

TEST(Parser, HintLastsOneLine) {
    open_file f("a\nb\n");
    f.ps->errinfo = "hint";
    parser_read_line(f.ps);
    EXPECT_EQ(f.ps->errinfo, nullptr);
}

TEST(Parser, Numbers) {
    open_file f("v 1.5 -2e3 +.25 rest 1e-40 -6.46540895e-40 1e-50 -1e-50\n"
                "-1 4294967295 +007 9\n");
    char *e;
    EXPECT_EQ(read_float(f.ps->line + 1, &e, f.ps), 1.5f);
    EXPECT_EQ(read_float(e, &e, f.ps), -2000.0f);
    EXPECT_EQ(read_float(e, &e, f.ps), 0.25f);
    EXPECT_STREQ(e, " rest 1e-40 -6.46540895e-40 1e-50 -1e-50");
    // Underflow is no error: the denormal, or a zero of the number's sign, is kept.
    EXPECT_EQ(bits(read_float(e + 5, &e, f.ps)), bits(1e-40f));
    EXPECT_EQ(bits(read_float(e, &e, f.ps)), bits(-6.46540895e-40f));
    EXPECT_EQ(bits(read_float(e, &e, f.ps)), 0u);
    EXPECT_EQ(bits(read_float(e, &e, f.ps)), 0x80000000u);
    parser_read_line(f.ps);
    EXPECT_EQ(read_uint(f.ps->line, &e, f.ps), 4294967295u);
    EXPECT_EQ(read_uint(e, &e, f.ps), 4294967295u);
    EXPECT_EQ(read_uint(e, &e, f.ps), 7u);
    EXPECT_EQ(read_uint(e, &e, f.ps), 9u);
    EXPECT_EQ(*e, '\0');
}

using ParserDeath = testing::Test;

TEST(ParserDeath, CaretStandsBeforeThePosition) {
    open_file f("abcdef\n");
    const std::string head = "*error*:bad 3\non line 1,";
    EXPECT_EXIT(die_parser(f.ps, f.ps->line, "bad %d\n", 3), testing::ExitedWithCode(DIE_STATUS),
                exactly(head + "0:\nabcdef\n^\n"));
    EXPECT_EXIT(die_parser(f.ps, f.ps->line + 1, "bad %d\n", 3),
                testing::ExitedWithCode(DIE_STATUS), exactly(head + "1:\nabcdef\n^\n"));
    EXPECT_EXIT(die_parser(f.ps, f.ps->line + 5, "bad %d\n", 3),
                testing::ExitedWithCode(DIE_STATUS), exactly(head + "5:\nabcdef\n    ^\n"));
}

TEST(ParserDeath, HintAndLineWithoutPosition) {
    open_file f("abc\ndef\n");
    f.ps->errinfo = "the hint";
    EXPECT_EXIT(die_parser(f.ps, nullptr, "bad\n"), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:bad\non line 1: abc\nthe hint\n"));
    parser_read_line(f.ps);
    EXPECT_EXIT(die_parser(f.ps, f.ps->line, "bad\n"), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:bad\non line 2,0:\ndef\n^\n"));
}

TEST(ParserDeath, FloatErrors) {
    open_file f("1\n2\n3\n4\n5\n6\npos 1 x 3\nv   \n1e999 -1e39\n");
    f.skip_to(7);
    char *e;
    EXPECT_EQ(read_float(f.ps->line + 3, &e, f.ps), 1.0f);
    EXPECT_EXIT(read_float(e, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:expected float\non line 7,5:\npos 1 x 3\n    ^\n"));
    f.skip_to(8);
    EXPECT_EXIT(read_float(f.ps->line + 1, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:expected float\non line 8,1:\nv   \n^\n"));
    f.skip_to(9);
    const std::string range = "*error*:strtof(): " + std::string(strerror(ERANGE));
    EXPECT_EXIT(read_float(f.ps->line, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly(range + "\non line 9,0:\n1e999 -1e39\n^\n"));
    EXPECT_EXIT(read_float(f.ps->line + 5, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly(range + "\non line 9,5:\n1e999 -1e39\n    ^\n"));
}

TEST(ParserDeath, IntegerErrors) {
    open_file f("4294967296 -4294967296 x\n");
    char *p = f.ps->line, *e;
    const std::string range = "*error*:strtoul(): " + std::string(strerror(ERANGE));
    EXPECT_EXIT(read_uint(p, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly(range + "\non line 1,0:\n" + p + "\n^\n"));
    EXPECT_EXIT(read_uint(p + 10, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly(range + "\non line 1,10:\n" + p + "\n         ^\n"));
    EXPECT_EXIT(read_uint(p + 22, &e, f.ps), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:parser: expected integer\non line 1,22:\n" + std::string(p) +
                        "\n" + std::string(21, ' ') + "^\n"));
}

TEST(ParserDeath, MissingFile) {
    temp_dir t;
    const std::string name = (t / "none").string();
    EXPECT_EXIT(init_parser(name.c_str()), testing::ExitedWithCode(DIE_STATUS),
                exactly("*error*:open(" + name + ") failed: " + strerror(ENOENT) + "\n"));
}

// Text the window cannot hold, and a NUL byte, end the run where they are found, naming the file
// and the line: the lines behind them are never dropped without a word.
TEST(ParserDeath, LinesThatCannotBeRead) {
    const std::string longest(PARSER_WINDOW - 1, 'y');
    const std::pair<std::string, std::string> cases[] = {
        {"x\n" + longest + "y\nz\n", "line 2 is longer than 32766 bytes"},
        {"x\n" + longest + "\r\nz\n", "line 2 is longer than 32766 bytes"},
        {std::string(3 * PARSER_WINDOW, 'y'), "line 1 is longer than 32766 bytes"},
        {"a\nb\0c\nd\n"s, "line 2 holds a NUL byte"},
        {"a\n\0"s, "line 2 holds a NUL byte"},
        {longest + "\n" + longest + "\nz\0\n"s, "line 3 holds a NUL byte"},
        // "v 1" in UTF-16 without a byte order mark.
        {"v\0 \0001\0\n\0"s, "line 1 holds a NUL byte; the file may be UTF-16, save it as UTF-8"},
        // A file with the mark is read as UTF-16, where a NUL is a NUL all the same.
        {utf16(u"a\nb\0c\n"s, false), "line 2 holds a NUL byte"},
        {utf16(u"\0"s, true), "line 1 holds a NUL byte"},
        // Lines of 32767 and 32769 bytes in UTF-8; the second leaves the window short of full.
        {utf16(u"x\n" + std::u16string(10922, u'\u4E2D') + u"a", false),
         "line 2 is longer than 32766 bytes"},
        {utf16(u"x\n" + std::u16string(10923, u'\u4E2D') + u"\n", true),
         "line 2 is longer than 32766 bytes"},
        {"\xEF\xBB\xBF\0\n"s, "line 1 holds a NUL byte; the file may be UTF-16, save it as UTF-8"},
    };
    for (const auto &[bytes, message] : cases) {
        SCOPED_TRACE(message);
        temp_dir t;
        write_file(t / "f", bytes);
        const std::string name = (t / "f").string();
        EXPECT_EXIT(
            {
                parser *ps = init_parser(name.c_str());
                while (ps->line != nullptr)
                    parser_read_line(ps);
            },
            testing::ExitedWithCode(DIE_STATUS),
            exactly("*error*:" + name + ": " + message + "\n"));
    }
}

} // namespace

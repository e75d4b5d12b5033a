// qz_uncompress and the names it writes: names Windows cannot hold, names that are not ASCII,
// and output directories deeper than the system's old limit of 260 characters. The same
// archives run on every platform; only what they lead to differs.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include <zlib.h>

#include "qz_test.h"

using namespace qzt;

namespace {

const std::string BANNER = "qz_uncompress 12.09.2012 (ul_tam)\n";

using contents = std::vector<std::pair<std::string, std::string>>;

// An archive of the given names and contents, laid out as the packer writes it.
std::string archive(const contents &files) {
    uint32_t offset = static_cast<uint32_t>(20 + 152 * files.size());
    std::string entries, streams;
    for (const auto &[name, content] : files) {
        uLongf len = compressBound(static_cast<uLong>(content.size()));
        std::string stream(len, '\0');
        EXPECT_EQ(compress(reinterpret_cast<Bytef *>(stream.data()), &len,
                           reinterpret_cast<const Bytef *>(content.data()),
                           static_cast<uLong>(content.size())),
                  Z_OK);
        stream.resize(len);
        entries += chunk(0x01120000, field(content, 4) + u32(offset) +
                                         u32(static_cast<uint32_t>(content.size())) +
                                         u32(static_cast<uint32_t>(len)) + field(name, 128));
        streams += stream;
        offset += static_cast<uint32_t>(len);
    }
    const std::string table = chunk(0x01100000, u32(static_cast<uint32_t>(files.size())) + entries);
    return chunk(0x30315A51, chunk(0x01000000, table + chunk(0x01200000, streams)));
}

std::string head(const std::string &workdir = ".") {
    return BANNER + "working dir: " + workdir + "\nreading: 'x.qz'\nCreated output directory x\n";
}

// Every regular file below dir, as UTF-8 with '/' between the components: on POSIX the bytes
// of the names as they stand.
std::set<std::string> files_below(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) {
            const std::u8string name = e.path().lexically_relative(dir).generic_u8string();
            names.emplace(name.begin(), name.end());
        }
    return names;
}

run_result extract(const temp_dir &t, const contents &files) {
    write_file(t / "x.qz", archive(files));
    return run(tool("qz_uncompress"), {"x.qz"}, t.path);
}

// Device names are judged by what comes before the first dot, blanks at its end left out, in any
// case and in any component; Windows would open the device, or drop the dot or blank at the end,
// or take "a.txt:hidden" for a stream of a.txt.
TEST(UnpackNames, NamesWindowsCannotHoldAreRefusedThereOnly) {
    const std::string names[] = {// devices
                                 "CON", "Con", "prn.txt", "aux.txt", "nul.tar.gz", "conin$",
                                 "CONOUT$.log", "COM1", "com9.dat", "LPT1", "lpt9", "COM\xc2\xb9",
                                 "LPT\xc2\xb3", "com\xc2\xb2.log", "CON .txt", "dir/NUL", "AUX/f",
                                 // a dot or a blank at the end
                                 "name.", "name ", "dir./f", "a/b ",
                                 // reserved and control characters
                                 "a.txt:hidden", "a<b", "a>b", "a\"b", "a|b", "what?", "star*",
                                 "x\x01y", "tab\there", "x\x1fy"};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        temp_dir t;
        const run_result r = extract(t, {{"good", "1"}, {name, "2"}});
#ifdef _WIN32
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head() + "    NumberOfFiles: 2\n");
        EXPECT_EQ(r.err, "*error*:unsafe file name in archive: '" + name + "'\n");
        EXPECT_FALSE(fs::exists(t / "x"));
#else
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files_below(t / "x"), (std::set<std::string>{"good", name}));
        EXPECT_EQ(read_file(t / "x" / name), "2");
#endif
    }
}

// Names that differ only in case are one file on Windows: refused there before anything is
// written, and the refused run takes its folder along; two files elsewhere.
TEST(UnpackNames, CaseOnlyClashesAreRefusedOnWindows) {
    const std::pair<std::string, std::string> clashes[] = {{"A.txt", "a.txt"},
                                                           {"Dir/x.txt", "dir/./X.TXT"}};
    for (const auto &[first, second] : clashes) {
        SCOPED_TRACE(second);
        temp_dir t;
        const run_result r = extract(t, {{"good", "1"}, {first, "2"}, {second, "3"}});
#ifdef _WIN32
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head() + "    NumberOfFiles: 3\n");
        const std::string plain = second == "dir/./X.TXT" ? "dir/X.TXT" : second;
        EXPECT_EQ(r.err, "*error*:'" + first + "' and '" + plain +
                             "' in the archive name one file on this system, which does not tell "
                             "case apart\n");
        EXPECT_FALSE(fs::exists(t / "x"));
#else
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(
            files_below(t / "x"),
            (std::set<std::string>{"good", first, second == "dir/./X.TXT" ? "dir/X.TXT" : second}));
#endif
    }
}

// Names close to the refused ones that every system holds as they stand ("LPT\xe2\x81\xb4" has a
// superscript 4). A component "." is the directory itself.
TEST(UnpackNames, NamesCloseToDevicesAreOrdinaryEverywhere) {
    const std::pair<std::string, std::string> cases[] = {
        {"COM10", "COM10"},
        {"CONSOLE", "CONSOLE"},
        {"COM0", "COM0"},
        {"auxiliary.txt", "auxiliary.txt"},
        {"LPT\xe2\x81\xb4", "LPT\xe2\x81\xb4"},
        {"COM\xc2\xb9x", "COM\xc2\xb9x"},
        {".NUL", ".NUL"},
        {"NUL_/ con", "NUL_/ con"},
        {"a..b", "a..b"},
        {"x\x7fy", "x\x7fy"},
        {"./f", "f"},
        {"a/./b", "a/b"},
    };
    for (const auto &[name, on_disk] : cases) {
        SCOPED_TRACE(name);
        temp_dir t;
        const run_result r = extract(t, {{"good", "1"}, {name, "2"}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files_below(t / "x"), (std::set<std::string>{"good", on_disk}));
        EXPECT_EQ(read_file(long_path(t / "x" / u8path(on_disk))), "2");
    }
}

TEST(UnpackNames, Utf8NamesKeepEveryCharacter) {
    const contents files = {{"J\xc3\xb6rg/\xc3\xbc.txt", "umlauts"},
                            {"\xe6\x96\x87\xe4\xbb\xb6.txt", "cjk"},
                            {"\xf0\x9f\x98\x80.bin", "emoji"}};
    temp_dir t;
    const run_result r = extract(t, files);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::set<std::string> names;
    for (const auto &[name, content] : files) {
        names.insert(name);
        EXPECT_EQ(read_file(t / "x" / u8path(name)), content) << name;
        // Redirected, the name is shown as the archive holds it.
        EXPECT_NE(r.out.find("      " + name + "\n"), std::string::npos) << name;
    }
    EXPECT_EQ(files_below(t / "x"), names);
}

// Older Windows packers stored names in the ANSI code page. Such a name is not valid UTF-8, and
// Windows reads it in its ANSI code page again; elsewhere its bytes are the name.
TEST(UnpackNames, NamesThatAreNotUtf8) {
    const contents files = {{"J\xf6rg.txt", "legacy"}, {"caf\xe9/men\xfc.txt", "nested"}};
    temp_dir t;
    const run_result r = extract(t, files);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::set<std::string> names;
    for (const auto &[name, content] : files) {
#ifdef _WIN32
        std::wstring wide(name.size(), L'\0');
        wide.resize(static_cast<size_t>(
            MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(),
                                static_cast<int>(wide.size()))));
        const fs::path on_disk(wide);
#else
        const fs::path on_disk(name);
#endif
        const std::u8string u8 = on_disk.generic_u8string();
        names.emplace(u8.begin(), u8.end());
        EXPECT_EQ(read_file(t / "x" / on_disk), content) << name;
    }
    EXPECT_EQ(files_below(t / "x"), names);
}

// The archive's directory is given relative to a short working directory, but is itself longer
// than 300 and than 1000 characters; Windows is reached through "\\?\" paths only there.
TEST(UnpackNames, OutputDirectoryDeeperThanTheOldLimit) {
    for (int levels : {3, 10}) {
        SCOPED_TRACE(levels);
        temp_dir t;
        std::string arg = std::to_string(levels);
        fs::path dir = t / arg;
        fs::create_directory(long_path(dir));
        for (int i = 0; i < levels; i++) {
            const std::string level(100, static_cast<char>('a' + i));
            arg += "\\" + level;
            dir /= level;
            fs::create_directory(long_path(dir));
        }
        EXPECT_GT(arg.size(), levels < 10 ? 300u : 1000u);
        write_file(long_path(dir / "x.qz"), archive({{"f", "top"}, {"sub/g", "below"}}));
        const run_result r = run(tool("qz_uncompress"), {arg + "\\x.qz"}, t.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.substr(0, head(arg).size()), head(arg));
        EXPECT_EQ(read_file(long_path(dir / "x" / "f")), "top");
        EXPECT_EQ(read_file(long_path(dir / "x" / "sub" / "g")), "below");
    }
}

} // namespace

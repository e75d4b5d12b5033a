// The Linux and the Windows programs side by side: both store the same UTF-8 names for a tree,
// each unpacks what the other packs, and the Windows programs reach paths past 260 characters.
// The Windows programs run under Wine; these tests run when QZ_WINDOWS_BIN names their folder.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <zlib.h>

#include "qz_test.h"

using namespace qzt;
using namespace std::string_literals;

namespace {

// Names in every script the system may meet, a binary file that text mode would change, and an
// empty one, in nested directories.
const std::map<std::string, std::string> tree_files = {
    {"J\xc3\xb6rg/\xc3\xbc"
     "ber.txt",
     "accented"},                                             // Jörg/über.txt
    {"\xe6\x96\x87\xe4\xbb\xb6/\xe6\x95\xb0\xe6\x8d\xae.bin", // 文件/数据.bin
     "line\r\nline\n\x1a\0end"s},
    {"\xf0\x9f\x98\x80.txt", "emoji"}, // 😀.txt
    {"plain/ascii.txt", "plain"},
    {"plain/deeper/empty", ""},
};

void make_tree(const fs::path &root, const std::map<std::string, std::string> &files) {
    for (const auto &[name, content] : files) {
        fs::create_directories((root / u8path(name)).parent_path());
        write_file(root / u8path(name), content);
    }
}

// Every regular file below root, by its path relative to root, as the bytes on disk.
std::map<std::string, std::string> on_disk(const fs::path &root) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files[fs::relative(e.path(), root).generic_string()] = read_file(e.path());
    return files;
}

uint32_t u32_at(const std::string &a, size_t pos) {
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;)
        v = v << 8 | static_cast<unsigned char>(a.at(pos + i));
    return v;
}

// The files an archive without a path entry holds, by stored name, each inflated from its stream
// (offsets count from the data of the archive's content chunk).
std::map<std::string, std::string> contents(const std::string &a) {
    std::map<std::string, std::string> files;
    const uint32_t n = u32_at(a, 24);
    for (uint32_t i = 0; i < n; i++) {
        const size_t entry = 28 + 152 * size_t{i};
        const std::string field = a.substr(entry + 24, 128);
        const std::string name = field.substr(0, field.find('\0'));
        const std::string z = a.substr(16 + u32_at(a, entry + 12), u32_at(a, entry + 20));
        std::string data(u32_at(a, entry + 16), '\0');
        uLongf len = data.size();
        EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(data.data()), &len,
                             reinterpret_cast<const Bytef *>(z.data()), z.size()),
                  Z_OK)
            << name;
        EXPECT_EQ(len, data.size()) << name;
        EXPECT_TRUE(files.emplace(name, data).second) << "stored twice: " << name;
    }
    return files;
}

std::string find_program(const std::string &name) {
    std::istringstream dirs(getenv("PATH") != nullptr ? getenv("PATH") : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((fs::path(dir) / name).c_str(), X_OK) == 0)
            return (fs::path(dir) / name).string();
    return "/usr/bin/" + name;
}

// Waits up to a minute for what to hold.
template <class F> bool wait_for(F what) {
    const auto start = std::chrono::steady_clock::now();
    while (!what()) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class CrossBuild : public testing::Test {
  protected:
    fs::path windows_bin;
    std::string wine;

    void SetUp() override {
        const char *bin = getenv("QZ_WINDOWS_BIN");
        if (bin == nullptr || *bin == '\0')
            GTEST_SKIP() << "set QZ_WINDOWS_BIN to the folder of the Windows programs to run these";
        windows_bin = bin;
        wine = find_program("wine");
        ASSERT_EQ(access(wine.c_str(), X_OK), 0) << "no wine to run the Windows programs";
        for (const char *exe : {"qz_compress.exe", "qz_uncompress.exe"})
            ASSERT_TRUE(fs::exists(windows_bin / exe)) << (windows_bin / exe);
    }

    static run_result on_linux(const std::string &program, const std::vector<std::string> &args,
                               const fs::path &cwd) {
        return run(tool(program), args, cwd);
    }

    // Wine shows the system's names to the program in UTF-16 decoded from the locale's charset,
    // so the locale must be a UTF-8 one for the names on disk to be the bytes Linux sees.
    // Wine takes the ANSI code page from the locale's name: 1252 for C, 932 for ja_JP, 936 for
    // zh_CN.
    run_result on_windows(const std::string &program, const std::vector<std::string> &args,
                          const fs::path &cwd, const std::string &locale = "C.UTF-8") const {
        std::vector<std::string> wine_args = {(windows_bin / (program + ".exe")).string()};
        wine_args.insert(wine_args.end(), args.begin(), args.end());
        run_options options;
        options.environment = {{"WINEDEBUG", "-all"}, {"LC_ALL", locale}};
        return run(wine, wine_args, cwd, options);
    }

    // The tree in src, packed by the Linux build into lin.qz and by the Windows one into win.qz.
    void pack_both(const temp_dir &t) const {
        make_tree(t / "src", tree_files);
        const run_result l = on_linux("qz_compress", {"src", "lin.qz"}, t.path);
        ASSERT_EQ(l.status, 0) << l.err;
        const run_result w = on_windows("qz_compress", {"src", "win.qz"}, t.path);
        ASSERT_EQ(w.status, 0) << w.err;
    }
};

// The scan order may differ between the builds; the stored names and contents may not.
TEST_F(CrossBuild, BothStoreTheSameUtf8Names) {
    temp_dir t;
    ASSERT_NO_FATAL_FAILURE(pack_both(t));
    EXPECT_EQ(contents(read_file(t / "lin.qz")), tree_files);
    EXPECT_EQ(contents(read_file(t / "win.qz")), tree_files);
}

TEST_F(CrossBuild, EachUnpacksWhatTheOtherPacks) {
    temp_dir t;
    ASSERT_NO_FATAL_FAILURE(pack_both(t));
    // Each archive twice: into lin (win), then lin.0 (win.0) beside it.
    for (const std::string archive : {"lin", "win"}) {
        const run_result l = on_linux("qz_uncompress", {archive + ".qz"}, t.path);
        EXPECT_EQ(l.status, 0) << l.err;
        EXPECT_EQ(on_disk(t / archive), tree_files) << archive << ".qz by the Linux build";
        const run_result w = on_windows("qz_uncompress", {archive + ".qz"}, t.path);
        EXPECT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(on_disk(t / (archive + ".0")), tree_files)
            << archive << ".qz by the Windows build";
    }
}

// The packed directory and the archive lie 302 and 1009 characters below the working directory,
// which stays short: Wine fails to start any program in a directory some 400 characters deep.
TEST_F(CrossBuild, DeepPaths) {
    for (const int levels : {3, 10}) {
        temp_dir t;
        fs::path parent = t.path;
        std::string rel;
        for (int i = 0; i < levels - 1; i++) {
            parent /= std::string(100, static_cast<char>('a' + i));
            rel += std::string(100, static_cast<char>('a' + i)) + "\\";
        }
        const std::string last(100, static_cast<char>('a' + levels - 1));
        rel += last;
        const std::map<std::string, std::string> files = {
            {"a.txt", "a"}, {"sub/b.bin", "\0\r\n"s}, {"sub/\xc3\xa9.txt", "e"}};
        make_tree(parent / last, files);
        ASSERT_GT(rel.size(), levels == 3 ? 300u : 1000u);

        const run_result l = on_linux("qz_compress", {rel, "lin.qz"}, t.path);
        ASSERT_EQ(l.status, 0) << l.err;
        EXPECT_EQ(contents(read_file(t / "lin.qz")), files) << levels;
        const run_result w = on_windows("qz_compress", {rel}, t.path);
        ASSERT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(contents(read_file(parent / (last + ".qz"))), files) << levels;

        // Enters the archive's directory, unpacks beside the packed one.
        const run_result u = on_windows("qz_uncompress", {rel + ".qz"}, t.path);
        ASSERT_EQ(u.status, 0) << u.err;
        EXPECT_EQ(on_disk(parent / (last + ".0")), files) << levels;
    }
}

// A separator at the end, as tab completion leaves it, puts the archive beside the directory on
// both. With one file, whose place in the index cannot differ, both builds print the same bytes
// and write the same archive, and both unpack it alike.
TEST_F(CrossBuild, TrailingSeparatorAndSameOutput) {
    temp_dir t;
    const std::string name = "r\xc3\xa9sum\xc3\xa9.txt"; // résumé.txt
    const std::map<std::string, std::string> files = {{name, "content"}};
    make_tree(t / "mod", files);
    const run_result l = on_linux("qz_compress", {"mod/"}, t.path);
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(on_disk(t / "mod"), files);
    const std::string linux_archive = read_file(t / "mod.qz");
    fs::remove(t / "mod.qz");
    const run_result w = on_windows("qz_compress", {"mod\\"}, t.path);
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(on_disk(t / "mod"), files);
    EXPECT_EQ(read_file(t / "mod.qz"), linux_archive);
    EXPECT_NE(l.out.find("Writing qz archive file: mod.qz\n"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("    " + name + "   "), std::string::npos) << l.out;
    EXPECT_EQ(w.out, l.out);

    for (const char *dir : {"l", "w"}) {
        fs::create_directory(t / dir);
        fs::copy_file(t / "mod.qz", t / dir / "mod.qz");
    }
    const run_result ul = on_linux("qz_uncompress", {"mod.qz"}, t / "l");
    const run_result uw = on_windows("qz_uncompress", {"mod.qz"}, t / "w");
    EXPECT_EQ(ul.status, 0) << ul.err;
    EXPECT_EQ(uw.status, 0) << uw.err;
    EXPECT_EQ(uw.out, ul.out);
    EXPECT_EQ(on_disk(t / "l" / "mod"), files);
    EXPECT_EQ(on_disk(t / "w" / "mod"), files);
}

// An older Windows program stored names in its ANSI code page. Each name is read once, as a
// whole, before any check: UTF-8 when all of it is, else in the code page. 95 5C is one character
// in code pages 932 and 936, whose second byte is no backslash; in 1252 it is two, a backslash
// among them, and the archive is refused. A name whose folder alone is UTF-8 is read whole in
// the code page too. Redirected output shows the names in UTF-8.
TEST_F(CrossBuild, AnsiNamesAreReadOnceAsAWhole) {
    const char *locales = getenv("QZ_TEST_LOCPATH");
    if (locales == nullptr || *locales == '\0')
        GTEST_SKIP() << "set QZ_TEST_LOCPATH to a folder with the ja_JP.UTF-8 and zh_CN.UTF-8 "
                        "locales";
    setenv("LOCPATH", locales, 1); // for the runs of Wine
    temp_dir t;
    make_tree(t / "src", {{"AB.txt", "one"}, {"d12r/XE.txt", "two"}});
    ASSERT_EQ(on_linux("qz_compress", {"src", "a.qz"}, t.path).status, 0);
    const std::string a = read_file(t / "a.qz");
    const auto stored_as = [&](const std::string &name, const std::string &bytes) {
        std::string patched = a;
        patched.replace(patched.find(name), bytes.size(), bytes);
        return patched;
    };
    const std::string ansi = stored_as("AB.txt", "\x95\x5c"),
                      mixed = stored_as("d12r/XE.txt", "d\xc3\xbcr/X\xe9");
    const struct {
        std::string locale, archive, name; // the name read, empty where the archive is refused
    } cases[] = {{"ja_JP.UTF-8", ansi, "\xe8\xa1\xa8.txt"},               // 表.txt
                 {"zh_CN.UTF-8", ansi, "\xe6\x98\x9e.txt"},               // 昞.txt
                 {"C.UTF-8", ansi, ""},                                   // •\.txt
                 {"C.UTF-8", mixed, "d\xc3\x83\xc2\xbcr/X\xc3\xa9.txt"}}; // dÃ¼r/Xé.txt
    for (const auto &c : cases) {
        const fs::path dir = t / ("in " + c.locale + std::to_string(c.archive == mixed));
        fs::create_directory(dir);
        write_file(dir / "x.qz", c.archive);
        const run_result r = on_windows("qz_uncompress", {"x.qz"}, dir, c.locale);
        if (c.name.empty()) {
            EXPECT_EQ(r.status, 255) << c.locale;
            EXPECT_EQ(r.err, "*error*:unsafe file name in archive: '\xe2\x80\xa2\\.txt'\n");
            EXPECT_EQ(listing(dir), std::set<std::string>{"x.qz"});
            continue;
        }
        EXPECT_EQ(r.status, 0) << c.locale << r.err;
        EXPECT_NE(r.out.find("      " + c.name + "\n"), std::string::npos) << r.out;
        std::map<std::string, std::string> expected = {{c.name, "one"}, {"d12r/XE.txt", "two"}};
        if (c.archive == mixed)
            expected = {{"AB.txt", "one"}, {c.name, "two"}};
        EXPECT_EQ(on_disk(dir / "x"), expected) << c.locale;
    }
}

// In a console, names show as they are whatever the console's code page. Under a terminal, Wine
// gives the program a console and shows its text in the terminal's UTF-8; bytes written to the
// console as they stand would be read in the console's code page instead.
TEST_F(CrossBuild, ConsoleShowsNames) {
    temp_dir t;
    const std::string name = "\xe6\x96\x87\xe4\xbb\xb6 J\xc3\xb6rg.txt"; // 文件 Jörg.txt
    make_tree(t / "mod", {{name, "x"}});
    const std::string command =
        "'" + wine + "' '" + (windows_bin / "qz_compress.exe").string() + "' mod";
    run_options options;
    options.environment = {{"WINEDEBUG", "-all"}, {"LC_ALL", "C.UTF-8"}};
    const run_result r = run("/usr/bin/script", {"-qec", command, "/dev/null"}, t.path, options);
    EXPECT_EQ(r.status, 0) << r.out;
    // The console draws blanks as cursor moves: the name's two words are looked for apart.
    EXPECT_NE(r.out.find("\xe6\x96\x87\xe4\xbb\xb6"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("J\xc3\xb6rg.txt"), std::string::npos) << r.out;
}

// Ctrl+C in a console in the middle of a large pack: the console's handler removes the partly
// written archive and the run ends with Windows' status for it (0xC000013A, 58 as a shell shows
// it); the archive of the run before stays. The console is Wine's, in a terminal of tmux's.
TEST_F(CrossBuild, CtrlCInAConsole) {
    temp_dir t;
    make_tree(t / "d", {{"small", "x"}});
    ASSERT_EQ(on_windows("qz_compress", {"d"}, t.path).status, 0);
    const std::string before = read_file(t / "d.qz");
    std::mt19937 rng(3);
    std::string large(size_t{96} << 20, '\0');
    for (char &c : large)
        c = static_cast<char>(rng());
    write_file(t / "d" / "large", large);

    const std::string tmux = find_program("tmux"), server = "qz" + std::to_string(getpid());
    const auto tmux_run = [&](const std::vector<std::string> &args) {
        std::vector<std::string> all = {"-L", server};
        all.insert(all.end(), args.begin(), args.end());
        return run(tmux, all, t.path);
    };
    const std::string command = "cd '" + t.path.string() + "' && WINEDEBUG=-all LC_ALL=C.UTF-8 '" +
                                wine + "' '" + (windows_bin / "qz_compress.exe").string() +
                                "' -f d; echo $? > status";
    ASSERT_EQ(tmux_run({"new-session", "-d", "-x", "100", "-y", "20", command}).status, 0);
    const bool writing = wait_for([&] {
        for (const std::string &name : listing(t.path))
            if (name.rfind(".d.qz.tmp", 0) == 0 && fs::file_size(t / name) > 0)
                return true;
        return false;
    });
    tmux_run({"send-keys", "C-c"});
    const bool ended = wait_for([&] { return fs::exists(t / "status"); });
    tmux_run({"kill-server"});
    EXPECT_TRUE(writing) << "no temporary archive seen";
    ASSERT_TRUE(ended);
    EXPECT_EQ(read_file(t / "status"), "58\n");
    EXPECT_EQ(read_file(t / "d.qz"), before);
    EXPECT_EQ(listing(t.path),
              (std::set<std::string>{"d/", "d/small", "d/large", "d.qz", "status"}));
}

} // namespace

#endif

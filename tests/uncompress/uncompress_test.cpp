// qz_uncompress end to end: archives are built byte by byte here, the real program extracts
// them, and its exit status, both output streams and the extracted bytes are compared exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz_test.h"

using namespace qzt;

namespace {

const std::string BANNER = "qz_uncompress 12.09.2012 (ul_tam)\n";

std::string deflate_bytes(const std::string &content) {
    uLongf len = compressBound(content.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef *>(out.data()), &len,
                       reinterpret_cast<const Bytef *>(content.data()), content.size()),
              Z_OK);
    out.resize(len);
    return out;
}

// One stored file as the archive describes it; tests bend single fields to damage it.
struct stored {
    std::string name;
    std::string content;
    std::string stream;
    std::string signature;
    uint32_t outsize;
    int64_t offset_delta = 0; // added to the offset the layout gives
};

stored file(const std::string &name, const std::string &content) {
    std::string signature = content.substr(0, 4);
    signature.resize(4, '\0');
    return {name, content, deflate_bytes(content), signature,
            static_cast<uint32_t>(content.size())};
}

// The archive layout: content chunk with index table and stream chunk, then `after` inside
// the top chunk (an info chunk, say).
std::string archive(const std::vector<stored> &files, const std::string &path_entry = "",
                    const std::string &after = "") {
    uint32_t offset = static_cast<uint32_t>(20 + path_entry.size() + 152 * files.size());
    std::string entries, streams;
    for (const stored &f : files) {
        const uint32_t at = static_cast<uint32_t>(offset + f.offset_delta);
        entries +=
            chunk(0x01120000, f.signature + u32(at) + u32(f.outsize) +
                                  u32(static_cast<uint32_t>(f.stream.size())) + field(f.name, 128));
        streams += f.stream;
        offset += static_cast<uint32_t>(f.stream.size());
    }
    const std::string table =
        chunk(0x01100000, u32(static_cast<uint32_t>(files.size())) + path_entry + entries);
    return chunk(0x30315A51, chunk(0x01000000, table + chunk(0x01200000, streams)) + after);
}

std::string entry_lines(const stored &f, uint32_t offset) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "      %s\n        insize: %6u, outsize: %6u, offset: %#08x; fileofs = %#08x\n",
             f.name.c_str(), static_cast<unsigned>(f.stream.size()), f.outsize, offset,
             offset + 16);
    return buf;
}

struct unpack : testing::Test {
    temp_dir t;
    run_result extract(const std::string &bytes, const std::vector<std::string> &args = {"x.qz"}) {
        write_file(t / "x.qz", bytes);
        return run(tool("qz_uncompress"), args, t.path);
    }
    std::string head(const std::string &outdir = "x", const std::string &workdir = ".") {
        return BANNER + "working dir: " + workdir + "\nreading: 'x.qz'\nCreated output directory " +
               outdir + "\n";
    }
};

TEST_F(unpack, ExtractsEveryFileInIndexOrder) {
    const stored a = file("a.txt", "hello, world\n");
    const stored b =
        file("sub/deeper/b.bin", std::string("\0\1\2\3\4\5", 6) + std::string(40000, 'z'));
    const stored e = file("sub/empty", "");
    const run_result r = extract(archive({a, b, e}));
    const uint32_t first = 20 + 3 * 152;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 3\n    Decompressing...\n" +
                         entry_lines(a, first) + entry_lines(b, first + a.stream.size()) +
                         entry_lines(e, first + a.stream.size() + b.stream.size()));
    EXPECT_EQ(read_file(t / "x" / "a.txt"), a.content);
    EXPECT_EQ(read_file(t / "x" / "sub" / "deeper" / "b.bin"), b.content);
    EXPECT_EQ(read_file(t / "x" / "sub" / "empty"), "");
}

TEST_F(unpack, EmptyArchiveCreatesOnlyTheDirectory) {
    const run_result r = extract(archive({}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 0\n");
    EXPECT_TRUE(fs::is_directory(t / "x"));
    EXPECT_TRUE(fs::is_empty(t / "x"));
}

TEST_F(unpack, OutputDirectoryTakesTheNextFreeName) {
    fs::create_directory(t / "x");
    write_file(t / "x.0", "a file counts as taken too");
    const run_result r = extract(archive({file("f", "1")}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, head("x.1").size()), head("x.1"));
    EXPECT_EQ(read_file(t / "x.1" / "f"), "1");
}

TEST_F(unpack, GivesUpAfterOneHundredCandidates) {
    fs::create_directory(t / "x");
    for (int n = 0; n < 100; n++)
        fs::create_directory(t / ("x." + std::to_string(n)));
    const run_result r = extract(archive({}));
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, BANNER + "working dir: .\nreading: 'x.qz'\n");
    EXPECT_EQ(r.err, "*error*:Output directory (x.99) already exists , max tries reached");
}

TEST_F(unpack, NameWithoutDotExtractsBesideItself) {
    write_file(t / "plain", archive({file("f", "1")}));
    const run_result r = run(tool("qz_uncompress"), {"plain"}, t.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "plain.0" / "f"), "1");
}

// A forward slash separates as a backslash does: the dot of the directory is no extension, and
// an archive without one stands where its folder would, which moves on to the next name.
TEST_F(unpack, ForwardSlashEntersTheArchiveDirectory) {
    fs::create_directory(t / "old.dir");
    write_file(t / "old.dir" / "archive", archive({file("f", "1")}));
    const run_result r = run(tool("qz_uncompress"), {"old.dir/archive"}, t.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "old.dir" / "archive.0" / "f"), "1");
}

TEST_F(unpack, BackslashArgumentEntersTheArchiveDirectory) {
    fs::create_directories(t / "dir" / "sub");
    write_file(t / "dir" / "sub" / "x.qz", archive({file("f", "1")}));
    const run_result r = run(tool("qz_uncompress"), {"dir\\sub\\x.qz"}, t.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, head("x", "dir\\sub").size()), head("x", "dir\\sub"));
    EXPECT_EQ(read_file(t / "dir" / "sub" / "x" / "f"), "1");
}

TEST_F(unpack, MissingDirectoryCannotBeEntered) {
    const run_result r = run(tool("qz_uncompress"), {"nowhere\\x.qz"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, BANNER);
    EXPECT_EQ(r.err, "*error*:chdir('nowhere') failed: No such file or directory\n");
}

TEST_F(unpack, CommandLine) {
    write_file(t / "x.qz", archive({}));
    const std::string usage =
        "Usage: " + tool("qz_uncompress") +
        " <options> file.qz [file.qz ...]\n -j threads (one per processor by default)\n"
        " -q no progress line for large files\n"
        " -o directory: extract into it (made when missing; nothing in it is replaced)\n"
        " --include pattern, --exclude pattern: extract only the matching entries\n"
        " --help this text; --version the version\n";
    struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{}, DIE_STATUS, BANNER + usage},
        {{"-b"}, DIE_STATUS, BANNER + usage},
        {{"-b", "x.qz"}, DIE_STATUS, BANNER + usage}, // -b takes the name as its value
        {{"-f"}, DIE_STATUS, BANNER + usage},
        {{"-x", "x.qz"}, DIE_STATUS, BANNER + "Unknown option -x \n"},
        {{"-", "x.qz"}, DIE_STATUS, BANNER + "Unknown option - \n"},
        {{"--includes", "x", "x.qz"}, DIE_STATUS, BANNER + "Unknown option --includes \n" + usage},
        // Every archive named, in order, each from where the run started.
        {{"-fast", "-bx", "ignored", "x.qz", "x.qz"},
         0,
         head() + "    NumberOfFiles: 0\n" + head("x.0").substr(BANNER.size()) +
             "    NumberOfFiles: 0\n"},
        // -j takes the packer's values (see its tests); a bad or missing one is a bad argument.
        {{"x.qz", "-j"}, DIE_STATUS, BANNER + usage},
        {{"-j", "257", "x.qz"}, DIE_STATUS, BANNER + usage},
        {{"-jobs", "256", "x.qz"}, 0, head() + "    NumberOfFiles: 0\n"},
    };
    for (const auto &c : cases) {
        fs::remove_all(t / "x");
        fs::remove_all(t / "x.0");
        const run_result r = run(tool("qz_uncompress"), c.args, t.path);
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(unpack, UnknownChunksAreReportedAndSkipped) {
    const stored f = file("f", "data");
    // An info chunk after the content, an index entry at the wrong level, and a stranger in the
    // index table.
    std::string a = archive({f}, chunk(0x7777, "abc"), chunk(0x00000001, "info!"));
    const run_result r = extract(a);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const uint32_t first = 20 + 11 + 152;
    char info_line[80];
    snprintf(info_line, sizeof info_line, "  @ %#.8x UNKNOWN_CHUNK(0x000001) (5 bytes) \n",
             static_cast<unsigned>(a.size() - 13));
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 1\n" +
                         "      @ 0x0000001c UNKNOWN_CHUNK(0x007777) (3 bytes) \n" + info_line +
                         "    Decompressing...\n" + entry_lines(f, first));
    EXPECT_EQ(read_file(t / "x" / "f"), "data");
}

TEST_F(unpack, KnownTypeAtTheWrongLevelIsUnknown) {
    const std::string stray = chunk(0x01120000, zeros(144));
    const std::string a =
        chunk(0x30315A51, chunk(0x01000000, chunk(0x01100000, u32(0)) + stray) + stray);
    const run_result r = extract(a);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 0\n" +
                         "    @ 0x0000001c UNKNOWN_CHUNK(0x1120000) (144 bytes) \n" +
                         "  @ 0x000000b4 UNKNOWN_CHUNK(0x1120000) (144 bytes) \n");
}

TEST_F(unpack, PathEntriesAreOnlyReported) {
    const stored f = file("f", "data");
    for (const auto &[type, word] :
         {std::pair{0x01130000u, "Base"}, std::pair{0x01140000u, "Full"}}) {
        fs::remove_all(t / "x");
        const run_result r = extract(archive({f}, chunk(type, field("C:\\games\\mod", 128))));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head() + "    NumberOfFiles: 1\n      Warning: " + word +
                             " path found, folder structure needs fixup: C:\\games\\mod\n" +
                             "    Decompressing...\n" + entry_lines(f, 20 + 136 + 152));
        EXPECT_EQ(read_file(t / "x" / "f"), "data");
    }
}

TEST_F(unpack, BrokenSignatureIsOnlyAWarning) {
    stored f = file("f", "abcdef");
    f.signature = "abcX";
    stored tiny = file("t", "ab"); // shorter than a signature: compared zero-padded
    const run_result r = extract(archive({f, tiny}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 2\n    Decompressing...\n" +
                         entry_lines(f, 20 + 304) +
                         "        -> signature broken! (compressed with QZFileViewer?)\n" +
                         entry_lines(tiny, 20 + 304 + f.stream.size()));
    EXPECT_EQ(read_file(t / "x" / "f"), "abcdef");
    EXPECT_EQ(read_file(t / "x" / "t"), "ab");
}

TEST_F(unpack, NeverReplacesAnything) {
    const run_result dup = extract(archive({file("a", "1"), file("a", "2")}));
    EXPECT_EQ(dup.status, DIE_STATUS);
    EXPECT_EQ(dup.err, "*error*:already exists a\n");
    EXPECT_EQ(read_file(t / "x" / "a"), "1");

    fs::remove_all(t / "x");
    const run_result nested = extract(archive({file("a", "1"), file("a/b", "2")}));
    EXPECT_EQ(nested.status, DIE_STATUS);
    EXPECT_EQ(nested.err, "*error*:can't create directory a: file already exists\n");

    // A name between the file and the one below it ('-' sorts before '/') hides neither from
    // the check that several threads may take them.
    for (const char *threads : {"1", "2"}) {
        fs::remove_all(t / "x");
        const run_result r = extract(archive({file("a/b", "1"), file("a-b", "2"), file("a", "3")}),
                                     {"-j", threads, "x.qz"});
        EXPECT_EQ(r.err, "*error*:already exists a\n") << threads;
        EXPECT_EQ(listing(t / "x"), (std::set<std::string>{"a-b", "a/", "a/b"})) << threads;
    }
}

TEST_F(unpack, RunsOfSlashesMakeOneDirectory) {
    const run_result r = extract(archive({file("a//b///c", "1")}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "x" / "a" / "b" / "c"), "1");
}

TEST_F(unpack, FullLengthNameIsTakenWithoutReadingPastTheField) {
    const std::string name128 = std::string(60, 'd') + "/" + std::string(67, 'n');
    const run_result r = extract(archive({file(name128 + "cut", "1")}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("      " + name128 + "\n"), std::string::npos);
    EXPECT_EQ(read_file(t / "x" / std::string(60, 'd') / std::string(67, 'n')), "1");
}

TEST_F(unpack, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
    for (const std::string name : {"/etc/evil", "../evil", "a/../../evil", "a/..", "..", "a\\b",
                                   "C:evil", "c:/evil", "", ".", "a/", "x/."}) {
        fs::remove_all(t / "x");
        const run_result r = extract(archive({file("good", "1"), file(name, "2")}));
        EXPECT_EQ(r.status, DIE_STATUS) << name;
        EXPECT_EQ(r.out, head() + "    NumberOfFiles: 2\n") << name;
        EXPECT_EQ(r.err, "*error*:unsafe file name in archive: '" + name + "'\n");
        EXPECT_FALSE(fs::exists(t / "x")) << name; // the refused run takes its folder along
    }
    EXPECT_FALSE(fs::exists(t / "evil"));
}

struct malformed_case {
    const char *what;
    std::string bytes;
    std::string err;
};

TEST_F(unpack, MalformedArchivesAreRefused) {
    const stored f = file("f", "some content");
    const std::string good = archive({f});
    std::string child_too_big = good;
    child_too_big[12] = static_cast<char>(child_too_big[12] + 1); // content size + 1
    std::string short_entry = chunk(
        0x30315A51, chunk(0x01000000, chunk(0x01100000, u32(1) + chunk(0x01120000, zeros(100)))));
    std::string top_past_end = good;
    top_past_end[4] = static_cast<char>(top_past_end[4] + 16);
    std::string damaged = good;
    damaged[good.size() - 1] ^= 0x55; // the stream's checksum
    stored small_outsize = f;
    small_outsize.outsize = 5;
    stored large_outsize = f;
    large_outsize.outsize = 13; // the stream ends after 12 bytes
    stored beyond = f;
    beyond.offset_delta = 1;
    stored ratio = f;
    ratio.outsize = static_cast<uint32_t>(ratio.stream.size() * 1032 + 1);
    const malformed_case cases[] = {
        {"wrong magic", "QZ11" + good.substr(4), "*error*:x.qz: not an QZ_ARCHIVE file\n"},
        {"shorter than a header", "QZ10", "*error*:x.qz: not an QZ_ARCHIVE file\n"},
        {"child larger than parent", child_too_big,
         "*error*:chunk: exceeds size of parents data block\n"},
        {"short index entry", short_entry,
         "*error*:trying to read beyond chunk end(req: 144/avail:100)\n"},
        {"top size past the end", top_past_end, "*error*:unexpected EOF\n"},
        {"damaged stream", damaged, "*error*:uncompressing error: -3\n"},
        {"outsize too small", archive({small_outsize}), "*error*:uncompressing error: -5\n"},
        {"outsize too large", archive({large_outsize}),
         "*error*:corrupt archive: 'f' inflates to 12 bytes instead of 13\n"},
        {"stream beyond the end", archive({beyond}),
         "*error*:corrupt archive: the data of 'f' lies beyond the end of the file\n"},
        {"impossible ratio", archive({ratio}),
         "*error*:corrupt archive: 'f' cannot inflate from " + std::to_string(f.stream.size()) +
             " to " + std::to_string(ratio.outsize) + " bytes\n"},
    };
    for (const malformed_case &c : cases) {
        fs::remove_all(t / "x");
        const run_result r = extract(c.bytes);
        EXPECT_EQ(r.status, DIE_STATUS) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(fs::exists(t / "x" / "f")) << c.what;
    }
}

TEST_F(unpack, TrailingBytesThatCannotHoldAHeader) {
    for (uint32_t n = 1; n <= 7; n++) {
        fs::remove_all(t / "x");
        std::string a = archive({});
        a += std::string(n, 'z');
        const uint32_t top = static_cast<uint32_t>(a.size() - 8);
        a.replace(4, 4, u32(top));
        const run_result r = extract(a);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err, "*error*:trying to read beyond chunk end(req: 8/avail:" +
                             std::to_string(n) + ")\n");
    }
}

TEST_F(unpack, MissingArchive) {
    const run_result r = run(tool("qz_uncompress"), {"none.qz"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, BANNER + "working dir: .\nreading: 'none.qz'\n");
    EXPECT_EQ(r.err, "*error*:open(): No such file or directory\n");
    EXPECT_FALSE(fs::exists(t / "none"));
}

// The folder beside the archive never takes a name the unpacker refuses inside an archive: none
// at all, "..", and on Windows one that ends in a dot or names a device, as typed names may. A
// typed name means there what it means to other programs: "x.qz." is x.qz, "NUL" the device.
TEST_F(unpack, FolderNamesTheUnpackerWouldTake) {
    const std::string a = archive({file("f", "x")});
    std::vector<std::pair<std::string, std::string>> cases = {{".qz", "_"}, {"...qz", "_"}};
#ifdef _WIN32
    cases.insert(cases.end(), {{"dot..qz", "dot"}, {"x.qz.", "x"}, {"y.qz ", "y"}});
    for (const char *device : {"NUL", "aux.qz", "sub\\com1.qz"}) {
        const run_result r = run(tool("qz_uncompress"), {device}, t.path);
        EXPECT_EQ(r.status, DIE_STATUS) << device;
        EXPECT_EQ(r.err, "*error*:'" + std::string(device) + "' is a device, not a file\n");
    }
#else
    cases.push_back({"dot..qz", "dot."});
#endif
    for (const auto &[typed, folder] : cases) {
        const std::string stored = typed.substr(0, typed.find(".qz") + 3);
        write_file(t / stored, a);
        const run_result r = run(tool("qz_uncompress"), {typed}, t.path);
        EXPECT_EQ(r.status, 0) << typed << r.err;
        EXPECT_EQ(listing(t.path), (std::set<std::string>{stored, folder + "/", folder + "/f"}))
            << typed;
        fs::remove_all(t / folder);
        fs::remove(t / stored);
    }
}

// -o DIR: made with its parents when missing, used as it is when it exists, and nothing in it is
// ever replaced: a name that stands in the way is found before the first file is written.
TEST_F(unpack, IntoAChosenDirectory) {
    write_file(t / "x.qz", archive({file("a/x", "1"), file("b", "2")}));
    const std::string files = "    NumberOfFiles: 2\n    Decompressing...\n";
    run_result r = run(tool("qz_uncompress"), {"-o", "new/deep", "x.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find(files)),
              BANNER + "working dir: .\nreading: 'x.qz'\nCreated output directory new/deep\n");
    EXPECT_EQ(listing(t / "new"),
              (std::set<std::string>{"deep/", "deep/a/", "deep/a/x", "deep/b"}));
    fs::create_directories(t / "sub" / "empty");
    fs::rename(t / "x.qz", t / "sub" / "x.qz");
    r = run(tool("qz_uncompress"), {"-o", "sub/empty", "sub/x.qz"}, t.path); // from where it starts
    EXPECT_NE(r.out.find("Using output directory sub/empty\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(t / "sub" / "empty" / "b"), "2");

    fs::create_directory(t / "full");
    write_file(t / "full" / "b", "mine");
    r = run(tool("qz_uncompress"), {"-o", "full", "sub/x.qz"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:already exists b\n");
    EXPECT_EQ(listing(t / "full"), std::set<std::string>{"b"});
    EXPECT_EQ(read_file(t / "full" / "b"), "mine");
}

// A -o that cannot be used says why before anything else, and leaves none of the folders that
// the run made on the way.
TEST_F(unpack, ChosenDirectoryThatCannotBeUsed) {
    write_file(t / "x.qz", archive({file("a", "1")}));
    write_file(t / "afile", "mine");
    const std::string head = BANNER + "working dir: .\nreading: 'x.qz'\n";
    for (const char *dir : {"afile", "afile/sub"}) {
        const run_result r = run(tool("qz_uncompress"), {"-o", dir, "x.qz"}, t.path);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head);
        EXPECT_EQ(r.err, std::string("*error*:can't extract into ") + dir +
                             ": afile is not a directory\n");
    }
    const std::string too_long = "new1/new2/" + std::string(300, 'n');
    const run_result r = run(tool("qz_uncompress"), {"-o", too_long, "x.qz"}, t.path);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head);
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"afile", "x.qz"}));
}

// --include and --exclude choose the entries by the packer's patterns; a pattern that matched
// nothing is reported, and nothing selected ends the run with no folder left. The whole index is
// checked whatever is chosen.
TEST_F(unpack, SelectedEntries) {
    const std::vector<stored> files = {file("tex/a.png", "a"), file("tex/b.dds", "b"),
                                       file("doc/r.txt", "r")};
    run_result r = extract(archive(files), {"--include", "tex\\*", "--exclude", "*.dds",
                                            "--include", "no\\ne", "x.qz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head() + "    NumberOfFiles: 3\n[warn] --include no\\ne matched no entry\n" +
                         "    Decompressing...\n" + entry_lines(files[0], 0x1dc));
    EXPECT_EQ(listing(t / "x"), (std::set<std::string>{"tex/", "tex/a.png"}));
    fs::remove_all(t / "x");

    r = extract(archive(files), {"--exclude", "*", "x.qz"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:no entry is selected by --include and --exclude\n");
    EXPECT_EQ(listing(t.path), std::set<std::string>{"x.qz"});

    stored beyond = files[2];
    beyond.offset_delta = 1000;
    r = extract(archive({files[0], files[1], beyond}), {"--include", "tex/a.png", "x.qz"});
    EXPECT_EQ(r.err, "*error*:corrupt archive: the data of 'doc/r.txt' lies beyond the end of "
                     "the file\n");
    EXPECT_EQ(listing(t.path), std::set<std::string>{"x.qz"});
}

TEST_F(unpack, FailedWriteIsReported) {
#ifdef _WIN32
    GTEST_SKIP() << "a child's file size cannot be limited on Windows";
#endif
    // The files completed before the failure stay; the one cut short is removed, never left
    // half-written under its name.
    const stored done = file("sub/done", "complete");
    const stored big = file("sub/big", std::string(20000, 'q'));
    write_file(t / "x.qz", archive({done, big}));
    run_options limited;
    limited.file_size_limit = 8192;
    const run_result r = run(tool("qz_uncompress"), {"x.qz"}, t.path, limited);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:write(sub/big) failed: File too large\n");
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"x.qz", "x/", "x/sub/", "x/sub/done"}));
    EXPECT_EQ(read_file(t / "x" / "sub" / "done"), "complete");
}

} // namespace

// ---- Several threads ----

// An entry too large to inflate in one piece goes through blocks, and a damaged one is reported
// as one in one piece is: a damaged stream, a stream that runs out, and content longer or
// shorter than the index says. Nothing of the entry's file stays behind (its directory may).
TEST_F(unpack, DamagedEntriesReadTheSameLargeOrSmall) {
    for (const size_t size : {size_t{1000}, size_t{40} << 20}) {
        SCOPED_TRACE(size);
        // Numbered lines, which deflate to about a fifth: a stream cut in half stays within
        // what any stream may inflate to.
        std::string text;
        for (unsigned i = 0; text.size() < size; i++)
            text.append("line ").append(std::to_string(i * 7919 % 100000)).append("\n");
        text.resize(size);
        const stored f = file("dir/f", text);
        stored damaged = f, cut = f, longer = f, shorter = f;
        damaged.stream.back() ^= 0x55;
        cut.stream.resize(cut.stream.size() / 2);
        longer.outsize -= 5;
        shorter.outsize += 1;
        const std::pair<stored, std::string> cases[] = {
            {damaged, "uncompressing error: -3\n"},
            {cut, "uncompressing error: -3\n"},
            {longer, "uncompressing error: -5\n"},
            {shorter, "corrupt archive: 'dir/f' inflates to " + std::to_string(size) +
                          " bytes instead of " + std::to_string(size + 1) + "\n"},
        };
        for (const auto &[entry, err] : cases) {
            for (const char *threads : {"1", "2"}) {
                fs::remove_all(t / "x");
                const run_result r = extract(archive({entry}), {"-j", threads, "x.qz"});
                EXPECT_EQ(r.status, DIE_STATUS);
                EXPECT_EQ(r.err, "*error*:" + err);
                EXPECT_FALSE(fs::exists(t / "x" / "dir" / "f"));
            }
        }
        fs::remove_all(t / "x");
        ASSERT_EQ(extract(archive({f}), {"-j", "2", "x.qz"}).status, 0);
        EXPECT_TRUE(read_file(t / "x" / "dir" / "f") == f.content);
    }
}

// Bytes behind the end of a stream, within its stored length: the file is whole and written, and
// a warning names the entry, whether the entry is inflated in one piece or in blocks.
TEST_F(unpack, BytesBehindAStreamAreReported) {
    for (const size_t size : {size_t{1000}, size_t{40} << 20}) {
        stored f = file("f", std::string(size, 'q'));
        const size_t used = f.stream.size();
        f.stream += "tail";
        for (const char *threads : {"1", "2"}) {
            SCOPED_TRACE(std::to_string(size) + " bytes, -j " + threads);
            fs::remove_all(t / "x");
            const run_result r = extract(archive({f}), {"-j", threads, "x.qz"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, head() + "    NumberOfFiles: 1\n    Decompressing...\n" +
                                 entry_lines(f, 20 + 152) + "[warn] the stream of 'f' ends after " +
                                 std::to_string(used) + " of its " + std::to_string(used + 4) +
                                 " bytes\n");
            EXPECT_TRUE(read_file(t / "x" / "f") == f.content);
        }
    }
}

// Several damaged entries among many good ones: every thread count stops at the first damaged
// one in index order with its message and the same output. The files before it are complete;
// no file is left cut short.
TEST_F(unpack, FirstFailingEntryInIndexOrderWins) {
    std::vector<stored> files;
    for (int i = 0; i < 60; i++) {
        std::string name = "d";
        name.append(std::to_string(i % 5)).append("/f").append(std::to_string(i));
        files.push_back(file(name, std::string(static_cast<size_t>(i) * 300, 'a' + i % 26)));
        if (i == 17 || i == 23 || i == 40)
            files.back().stream.back() ^= 0x55;
    }
    write_file(t / "x.qz", archive(files));
    run_result first;
    for (const char *threads : {"1", "2", "8", "64"}) {
        SCOPED_TRACE(threads);
        fs::remove_all(t / "x");
        const run_result r = run(tool("qz_uncompress"), {"-j", threads, "x.qz"}, t.path);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.err, "*error*:uncompressing error: -3\n");
        if (first.out.empty())
            first = r;
        EXPECT_EQ(r.out, first.out);
        EXPECT_NE(r.out.find("f17\n        insize"), std::string::npos);
        EXPECT_EQ(r.out.find("f18\n"), std::string::npos);
        for (const std::string &name : listing(t / "x")) {
            if (name.back() == '/')
                continue;
            const int i = std::stoi(name.substr(name.find("/f") + 2));
            EXPECT_LT(i, 17) << name;
            EXPECT_EQ(read_file(t / "x" / name), files[static_cast<size_t>(i)].content);
        }
        for (int i = 0; i < 17; i++)
            EXPECT_TRUE(fs::exists(t / "x" / files[static_cast<size_t>(i)].name));
    }
}

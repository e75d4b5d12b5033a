// qz_compress end to end: command line, progress output, archive bytes, round trips through
// qz_uncompress, and the refusals that keep a broken archive from being reported as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include <zlib.h>

#include "qz.h"
#include "qz_test.h"

using namespace qzt;

namespace {

const std::string banner = "qz_compress 12.09.2012 (ul_tam)\n";

run_result pack(const temp_dir &t, const std::vector<std::string> &args,
                const run_options &options = {}) {
    return run(tool("qz_compress"), args, t.path, options);
}

std::string usage() {
    return "Usage: " + tool("qz_compress") +
           " <options> directory <file>\n -f force overwrite\n"
           " -u update: replace the archive, copying the streams of unchanged files from it\n"
           " -b basedirectory\n -p "
           "fullpath\n --exclude pattern\n -j threads (one per processor by default)\n"
           " -q no progress line for large files\n"
           " -0 ... -9 compression level (0 stores; zlib's default by default)\n"
           " --sort files of each directory in byte order of their names\n"
           " --help this text; --version the version\n";
}

// A file over 1 MiB is stored in blocks of 256 KiB, each deflated raw with the 32 KiB before it
// as its dictionary and ended on a byte boundary, the last one ending the stream, behind a zlib
// header and followed by the whole file's Adler-32.
std::string zstream_in_blocks(const std::string &data) {
    constexpr size_t block = 256 << 10, window = 32 << 10;
    std::string out = "\x78\x9c";
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    for (size_t at = 0; at < data.size(); at += block) {
        const size_t len = std::min(block, data.size() - at);
        deflateReset(&z);
        if (at != 0)
            deflateSetDictionary(&z, reinterpret_cast<const Bytef *>(data.data() + at - window),
                                 window);
        std::string piece(deflateBound(&z, len) + 16, '\0');
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + at));
        z.avail_in = static_cast<uInt>(len);
        z.next_out = reinterpret_cast<Bytef *>(piece.data());
        z.avail_out = static_cast<uInt>(piece.size());
        EXPECT_EQ(deflate(&z, at + len == data.size() ? Z_FINISH : Z_SYNC_FLUSH),
                  at + len == data.size() ? Z_STREAM_END : Z_OK);
        out.append(piece, 0, piece.size() - z.avail_out);
    }
    deflateEnd(&z);
    const uLong check =
        adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef *>(data.data()), data.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(check >> shift);
    return out;
}

std::string zstream(const std::string &data) {
    if (data.size() > (1u << 20))
        return zstream_in_blocks(data);
    uLongf len = compressBound(data.size());
    std::string z(len, '\0');
    compress2(reinterpret_cast<Bytef *>(z.data()), &len,
              reinterpret_cast<const Bytef *>(data.data()), data.size(), Z_DEFAULT_COMPRESSION);
    z.resize(len);
    return z;
}

struct stored {
    std::string name, content;
};

// The archive the packer must write for these files in this order; path_entry is a whole
// BASEPATH_ENTRY or FULLPATH_ENTRY chunk.
std::string archive(const std::vector<stored> &files, const std::string &path_entry = "",
                    const std::optional<std::string> &info = {}) {
    std::string index, streams;
    auto offset = static_cast<uint32_t>(20 + path_entry.size() + 152 * files.size());
    for (const stored &f : files) {
        const std::string z = zstream(f.content);
        index += chunk(INDEX_ENTRY, field(f.content, 4) + u32(offset) +
                                        u32(static_cast<uint32_t>(f.content.size())) +
                                        u32(static_cast<uint32_t>(z.size())) + field(f.name, 128));
        streams += z;
        offset += static_cast<uint32_t>(z.size());
    }
    const std::string n = u32(static_cast<uint32_t>(files.size()));
    std::string top = chunk(ARCHIVE_CONTENT, chunk(FILE_INDEX_TABLE, n + path_entry + index) +
                                                 chunk(FILE_STREAM, streams));
    if (info)
        top += chunk(ARCHIVE_INFO, *info);
    return chunk(QZ_ARCHIVE, top);
}

// Standard output of a run that writes these files; path_line is the base or full path report.
std::string progress(const std::string &name, const std::vector<stored> &files,
                     const std::string &path_line = "") {
    std::string s = "Writing qz archive file: " + name + "\n" + path_line +
                    "  Alloc room for file index table\n  Write compressing file stream:\n";
    for (const stored &f : files)
        s += "    " + f.name + "         size: " + std::to_string(f.content.size()) +
             " compressedsize: " + std::to_string(zstream(f.content).size()) + "\n";
    s += "  writing index entries for files:\n";
    for (const stored &f : files)
        s += "    " + f.name + "\n";
    return s;
}

// The stored names in index order, read from an archive without a path entry.
std::vector<std::string> index_names(const std::string &a) {
    std::vector<std::string> names;
    uint32_t n;
    memcpy(&n, a.data() + 24, sizeof n);
    for (uint32_t i = 0; i < n; i++) {
        const char *name = a.data() + 28 + 152 * i + 24;
        names.emplace_back(name, strnlen(name, 128));
    }
    return names;
}

// Every regular file below root, by its path relative to root.
std::map<std::string, std::string> tree(const fs::path &root) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files[fs::relative(e.path(), root).generic_string()] = read_file(e.path());
    return files;
}

// The files in the order the archive's index lists them.
std::vector<stored> in_index_order(const std::string &a,
                                   const std::map<std::string, std::string> &files) {
    std::vector<stored> r;
    for (const std::string &name : index_names(a))
        r.push_back({name, files.at(name)});
    return r;
}

void expect_die(const run_result &r, const std::string &out, const std::string &err) {
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, banner + out);
    EXPECT_EQ(r.err, "*error*:" + err);
}

// ---- Command line ----

TEST(CommandLine, UsageWithoutDirectory) {
    temp_dir t;
    for (const auto &args :
         std::vector<std::vector<std::string>>{{}, {"-f"}, {"-b", "d"}, {"-i", "-f"}}) {
        const run_result r = pack(t, args);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, banner + usage());
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(pack(t, {"--exclude", "x"}).out, banner + "  Excluding: x\n" + usage());
}

TEST(CommandLine, OptionValueMissing) {
    temp_dir t;
    fs::create_directory(t / "d");
    for (const std::string opt : {"-b", "-p", "-i", "--exclude", "-bvalue", "-j"}) {
        const run_result r = pack(t, {"d", opt});
        EXPECT_EQ(r.status, DIE_STATUS) << opt;
        EXPECT_EQ(r.out, banner + usage()) << opt;
    }
    EXPECT_FALSE(fs::exists(t / "d.qz"));
}

// -j takes a whole number of threads from 1 to 256; anything else is a bad argument.
TEST(CommandLine, ThreadCounts) {
    temp_dir t;
    fs::create_directory(t / "d");
    // Refused where it stands, before a directory argument after it is looked at.
    for (const std::string n : {"0", "257", "4294967297", "2x", "-2", "", "1.5", " 2"}) {
        const run_result r = pack(t, {"-j", n, "nowhere"});
        EXPECT_EQ(r.status, DIE_STATUS) << n;
        EXPECT_EQ(r.out, banner + usage()) << n;
        EXPECT_EQ(r.err, "") << n;
    }
    EXPECT_FALSE(fs::exists(t / "d.qz"));
    for (const std::string n : {"1", "256", "007"}) {
        const run_result r = pack(t, {"-f", "-jobs", n, "d"});
        EXPECT_EQ(r.status, 0) << n;
    }
}

TEST(CommandLine, UnknownOption) {
    temp_dir t;
    fs::create_directory(t / "d");
    for (const std::string opt : {"-x", "-", "-F"}) {
        const run_result r = pack(t, {"d", opt});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, banner + "Unknown option " + opt + " \n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(fs::exists(t / "d.qz"));
    // A mistyped long option is no name for the archive: the usage text follows.
    for (const std::string opt : {"--exlcude", "--", "--sorted"}) {
        const run_result r = pack(t, {"d", opt, "*.bak"});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, banner + "Unknown option " + opt + " \n" + usage());
    }
    EXPECT_EQ(listing(t.path), std::set<std::string>{"d/"});
}

TEST(CommandLine, DirectoryIsCheckedAtOnce) {
    temp_dir t;
    write_file(t / "file", "x");
    expect_die(pack(t, {"none", "-x"}), "", "Can't determine type of none, stat failed\n");
    expect_die(pack(t, {"file", "-x"}), "", "file doesn't seem to be a directory\n");
}

TEST(CommandLine, OutputNames) {
    temp_dir t;
    fs::create_directories(t / "w" / "d");
    write_file(t / "w" / "d" / "f", "abc");
    const std::string a = archive({{"f", "abc"}});

    // The default name is the argument with ".qz" appended; a backslash separates directories.
    run_result r = pack(t, {"w\\d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + progress("w\\d.qz", {{"f", "abc"}}));
    EXPECT_EQ(read_file(t / "w" / "d.qz"), a);

    // Options stand anywhere; a name after the archive's is a usage error, nothing written.
    r = pack(t, {"-f", "w\\d", "two.qz", "-fast"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "two.qz"), a);
    r = pack(t, {"w\\d", "one.qz", "two.qz"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, banner + usage());
    EXPECT_FALSE(fs::exists(t / "one.qz"));
}

// Directories as users type them: a separator at the end (tab completion leaves one), either
// separator, "." and "..", and absolute paths. The archive always goes beside the directory,
// never inside it, where the next run would pack it too.
TEST(CommandLine, DirectoryArgumentsAsTyped) {
    temp_dir t;
    fs::create_directories(t / "w" / "d");
    write_file(t / "w" / "d" / "f", "abc");
    const std::string a = archive({{"f", "abc"}});
    const std::string absolute = t.path.string();
    const struct {
        std::string arg, archive;
    } cases[] = {{"w\\d\\", "w\\d.qz"},
                 {"w/d/", "w/d.qz"},
                 {"w\\d\\\\", "w\\d.qz"},
                 {".\\w\\..\\w\\d", ".\\w\\..\\w\\d.qz"},
                 {absolute + "\\w\\d\\", absolute + "\\w\\d.qz"}};
    for (const auto &c : cases) {
        const run_result r = pack(t, {"-f", c.arg});
        EXPECT_EQ(r.status, 0) << c.arg << r.err;
        EXPECT_EQ(r.out, banner + progress(c.archive, {{"f", "abc"}})) << c.arg;
        EXPECT_EQ(read_file(t / "w" / "d.qz"), a) << c.arg;
        EXPECT_FALSE(fs::exists(t / "w" / "d" / ".qz")) << c.arg;
        fs::remove(t / "w" / "d.qz");
    }
}

// "." and ".." are no folder's own name: the archive takes the folder's real name and goes beside
// it, never inside it as "..qz".
TEST(CommandLine, DotAndDotDotTakeTheFoldersRealName) {
    temp_dir t;
    const fs::path car = t / "mods" / "car";
    fs::create_directories(car / "sub");
    write_file(car / "sub" / "f", "abc");
    const std::string beside = (fs::canonical(t / "mods") / "car.qz").string();
    for (const auto &[arg, from] : {std::pair{".", car}, {"..", car / "sub"}, {"sub\\..", car}}) {
        const run_result r = run(tool("qz_compress"), {arg}, from);
        EXPECT_EQ(r.status, 0) << arg << r.err;
        EXPECT_EQ(r.out, banner + progress(beside, {{"sub/f", "abc"}})) << arg;
        EXPECT_EQ(read_file(t / "mods" / "car.qz"), archive({{"sub/f", "abc"}})) << arg;
        EXPECT_EQ(listing(car), (std::set<std::string>{"sub/", "sub/f"})) << arg;
        fs::remove(t / "mods" / "car.qz");
    }
}

TEST(CommandLine, ValuesMayBeginWithADash) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "-f", "1");
    write_file(t / "d" / "keep", "2");
    const run_result r =
        pack(t, {"-b", "-p", "--exclude", "-f", "-i", "-x", "d", "--exclude", "--exclude"});
    const std::string path_entry = chunk(BASEPATH_ENTRY, field("-p", 128));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "  Excluding: -f\n  Excluding: --exclude\n" +
                         "[warn] --exclude --exclude left out no file\n" +
                         progress("d.qz", {{"keep", "2"}}, "  Writeing basepath(-p) entry\n"));
    EXPECT_EQ(read_file(t / "d.qz"), archive({{"keep", "2"}}, path_entry, "-x"));
}

// ---- Archive layout ----

TEST(Layout, OneFileEachKind) {
    temp_dir t;
    fs::create_directory(t / "d");
    // Empty, shorter than the signature, exactly one compression buffer, one byte more.
    const std::vector<std::string> contents = {"", "ab", std::string(16384, 'q'),
                                               random_bytes(16385, 1)};
    for (const std::string &content : contents) {
        write_file(t / "d" / "f", content);
        const run_result r = pack(t, {"-f", "d"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, banner + progress("d.qz", {{"f", content}}));
        EXPECT_EQ(read_file(t / "d.qz"), archive({{"f", content}})) << content.size();
    }
}

TEST(Layout, EmptyTreeAndPathEntries) {
    temp_dir t;
    fs::create_directories(t / "d" / "e1" / "e2");
    run_result r = pack(t, {"d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + progress("d.qz", {}));
    EXPECT_EQ(read_file(t / "d.qz"), archive({}));

    const std::string p127(127, 'p'), p128(128, 'q'), p200(200, 'r');
    r = pack(t, {"d", "-f", "-p", p127, "-i", ""});
    EXPECT_EQ(r.out, banner + progress("d.qz", {}, "  Writeing fullpath(" + p127 + ") entry\n"));
    EXPECT_EQ(read_file(t / "d.qz"), archive({}, chunk(FULLPATH_ENTRY, p127 + '\0'), ""));
    r = pack(t, {"d", "-f", "-b", p128});
    EXPECT_EQ(read_file(t / "d.qz"), archive({}, chunk(BASEPATH_ENTRY, p128)));
    r = pack(t, {"d", "-f", "-p", "x", "-p", p200});
    EXPECT_EQ(read_file(t / "d.qz"), archive({}, chunk(FULLPATH_ENTRY, p200.substr(0, 128))));
}

// A stored name fills at most the index's 128 bytes, with no terminator when it fills them. A
// longer one would be cut and unpack as another file (or collide with one): it ends the run
// before anything is written, and an archive already there stays as it was.
TEST(Layout, NamesLongerThanTheIndexHoldsAreRefused) {
    temp_dir t;
    fs::create_directories(t / "d");
    std::map<std::string, std::string> files;
    for (const std::string &name : {std::string(127, 'a'), std::string(128, 'b')}) {
        write_file(t / "d" / name, name.substr(0, 4));
        files[name] = name.substr(0, 4);
    }
    const run_result r = pack(t, {"d"});
    EXPECT_EQ(r.status, 0);
    const std::string a = read_file(t / "d.qz");
    const std::vector<stored> order = in_index_order(a, files);
    EXPECT_EQ(r.out, banner + progress("d.qz", order));
    EXPECT_EQ(a, archive(order));

    const std::string dir(100, 's'), name(28, 'c'); // "sss/ccc": 129 bytes
    fs::create_directory(t / "d" / dir);
    write_file(t / "d" / dir / name, "c");
    expect_die(pack(t, {"-f", "d"}), "",
               "d\\" + dir + "\\" + name +
                   ": its stored name is 129 bytes long, an archive holds names of at most 128 "
                   "bytes\n");
    EXPECT_EQ(read_file(t / "d.qz"), a);
    EXPECT_EQ(listing(t.path),
              (std::set<std::string>{"d/", "d.qz", "d/" + dir + "/", "d/" + dir + "/" + name,
                                     "d/" + files.begin()->first, "d/" + files.rbegin()->first}));
}

// ---- Round trip ----

// -0 to -9 are zlib's levels, for whole files and files in blocks alike: each level round-trips
// and gives one archive for every -j, a small file's stream is zlib's own at that level, and a
// level of more than one digit is a usage error.
TEST(RoundTrip, CompressionLevels) {
    temp_dir t;
    const std::string small = std::string(5000, 'x').append(" level"),
                      big = random_bytes(3 << 20, 8);
    fs::create_directories(t / "d");
    write_file(t / "d" / "small", small);
    write_file(t / "d" / "big", big);
    for (const int level : {0, 1, 9}) {
        SCOPED_TRACE(level);
        const std::string opt = std::string(1, '-').append(std::to_string(level));
        ASSERT_EQ(pack(t, {"-f", opt, "-j", "1", "d", "one.qz"}).status, 0);
        ASSERT_EQ(pack(t, {"-j", "2", opt, "-f", "d", "two.qz"}).status, 0);
        const std::string a = read_file(t / "one.qz");
        EXPECT_TRUE(a == read_file(t / "two.qz"));
        uLongf len = compressBound(small.size());
        std::string z(len, '\0');
        compress2(reinterpret_cast<Bytef *>(z.data()), &len,
                  reinterpret_cast<const Bytef *>(small.data()), small.size(), level);
        EXPECT_NE(a.find(z.substr(0, len)), std::string::npos);
        fs::remove_all(t / "one");
        ASSERT_EQ(run(tool("qz_uncompress"), {"one.qz"}, t.path).status, 0);
        EXPECT_EQ(tree(t / "one"), tree(t / "d"));
    }
    for (const char *bad : {"-10", "-0x"}) {
        const run_result r = pack(t, {bad, "d", "bad.qz"});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, banner + usage());
    }
}

// --sort stores the files of each directory in byte order of their names at every depth: two
// trees made in opposite orders give one archive.
TEST(RoundTrip, SortedTreesGiveOneArchive) {
    temp_dir t;
    const std::vector<std::string> names = {"b/z", "C", "a/c/2", "a/c/10", "\xc3\xa9", "a/_", "Z"};
    for (const std::string dir : {"one", "two"}) {
        for (size_t i = 0; i < names.size(); i++) {
            const std::string &name = dir == "one" ? names[i] : names[names.size() - 1 - i];
            fs::create_directories((t / dir / u8path(name)).parent_path());
            write_file(t / dir / u8path(name), name);
        }
    }
    ASSERT_EQ(pack(t, {"--sort", "one", "x.qz"}).status, 0);
    ASSERT_EQ(pack(t, {"two", "y.qz", "--sort"}).status, 0);
    EXPECT_EQ(read_file(t / "x.qz"), read_file(t / "y.qz"));
    EXPECT_EQ(index_names(read_file(t / "x.qz")),
              (std::vector<std::string>{"C", "Z", "a/_", "a/c/10", "a/c/2", "b/z", "\xc3\xa9"}));
}

TEST(RoundTrip, NestedTreeComesBackByteForByte) {
    temp_dir t;
    const fs::path d = t / "d";
    fs::create_directories(d / "a" / "b" / "c");
    fs::create_directories(d / "empty" / "deeper");
    write_file(d / ".hidden", "h");
    write_file(d / "zero", "");
    write_file(d / "a" / "zero", "");
    write_file(d / "a" / "b" / "exact", random_bytes(16384, 2));
    write_file(d / "a" / "b" / "c" / "over", random_bytes(16385, 3));
    write_file(d / "a" / "big", random_bytes(3 << 20, 4));
    write_file(d / "a" / "b" / "text", std::string(100000, 'x') + "end");

    const run_result r = pack(t, {"d"});
    EXPECT_EQ(r.status, 0);
    const std::string a = read_file(t / "d.qz");
    const auto files = tree(d);
    const std::vector<stored> order = in_index_order(a, files);
    EXPECT_EQ(order.size(), files.size());
    EXPECT_EQ(r.out, banner + progress("d.qz", order));
    EXPECT_TRUE(a == archive(order)); // a diff of megabytes would drown the report

    const run_result u = run(tool("qz_uncompress"), {"d.qz"}, t.path);
    EXPECT_EQ(u.status, 0) << u.err;
    EXPECT_EQ(tree(t / "d.0"), files);
}

// ---- Exclusion and the file list ----

TEST(FileList, ExcludedFilesAreLeftOut) {
    temp_dir t;
    const fs::path d = t / "d";
    fs::create_directories(d / "sub" / "x");
    fs::create_directories(d / "keep");
    for (const char *name :
         {"a.bak", "a.bak.txt", "sub/x/y.dat", "sub/z", "keep/c.bak", "keep/k", "abc", "ac"})
        write_file(d / name, name);
    // A directory's name alone (keep) excludes nothing below it, and a pattern that leaves out
    // nothing is named; '\' in a pattern is the '/' of stored names.
    const run_result r = pack(t, {"--exclude", "*.bak", "d", "--exclude", "sub\\*", "--exclude",
                                  "a?c", "--exclude", "keep", "--exclude", "*.BAK.txt"});
    EXPECT_EQ(r.status, 0);
    const std::string a = read_file(t / "d.qz");
    std::vector<std::string> names = index_names(a);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.bak.txt", "ac", "keep/k"}));
    const std::string excluding = banner + "  Excluding: *.bak\n  Excluding: sub\\*\n" +
                                  "  Excluding: a?c\n  Excluding: keep\n  Excluding: *.BAK.txt\n" +
                                  "[warn] --exclude keep left out no file\n" +
                                  "[warn] --exclude *.BAK.txt left out no file\n";
    EXPECT_EQ(r.out.substr(0, excluding.size()), excluding);

    // A pattern of '*' alone leaves nothing.
    EXPECT_EQ(pack(t, {"-f", "d", "--exclude", "*"}).status, 0);
    EXPECT_EQ(read_file(t / "d.qz"), archive({}));
}

TEST(FileList, ExistingArchive) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "new");
    write_file(t / "d.qz", std::string(5000, 'o'));
    expect_die(pack(t, {"d"}), "Writing qz archive file: d.qz\n",
               "'d.qz' already exists. Remove or use -f to force overwrite\n");
    expect_die(pack(t, {"d", "-f", "-b", "B", "-p", "P"}), "Writing qz archive file: d.qz\n",
               "Writeing basepath(B) and fullpath(P) is not possible\n");
    EXPECT_EQ(read_file(t / "d.qz"), std::string(5000, 'o'));
    EXPECT_EQ(pack(t, {"d", "-f"}).status, 0);
    EXPECT_EQ(read_file(t / "d.qz"), archive({{"f", "new"}}));
}

// The archive of an earlier run inside the packed tree is recognised as the same file, under any
// name; a different file under the archive's name is stored.
TEST(FileList, ArchiveNeverStoresItself) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "abc");
    // The first run scans before it creates the archive.
    EXPECT_EQ(pack(t, {"d", "d\\a.qz"}).status, 0);
    const run_result r = pack(t, {"d", "d\\a.qz", "-f"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "  Skipping d\\a.qz: it is the output archive\n" +
                         progress("d\\a.qz", {{"f", "abc"}}));
    EXPECT_EQ(read_file(t / "d" / "a.qz"), archive({{"f", "abc"}}));

    fs::create_directory(t / "e");
    write_file(t / "e" / "out.qz", "not the output");
    write_file(t / "out.qz", "old");
    fs::create_hard_link(t / "out.qz", t / "e" / "link");
    const run_result h = pack(t, {"-f", "e", "out.qz"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, banner + "  Skipping e\\link: it is the output archive\n" +
                         progress("out.qz", {{"out.qz", "not the output"}}));
    EXPECT_EQ(read_file(t / "out.qz"), archive({{"out.qz", "not the output"}}));
}

// ---- Failures while writing ----

const std::string stream_head = "Writing qz archive file: d.qz\n  Alloc room for file index table\n"
                                "  Write compressing file stream:\n";

TEST(Failures, OutputCannotBeCreated) {
    temp_dir t;
    fs::create_directories(t / "d");
    fs::create_directories(t / "out");
    expect_die(pack(t, {"d", "none/a.qz"}), "Writing qz archive file: none/a.qz\n",
               "can't create none/a.qz: No such file or directory\n");
    expect_die(pack(t, {"d", "out"}), "Writing qz archive file: out\n",
               "'out' already exists. Remove or use -f to force overwrite\n");
    expect_die(pack(t, {"-f", "d", "out"}), "Writing qz archive file: out\n",
               "'out' is a directory: -f replaces only a file or a link to one\n");
}

TEST(Failures, FileOfFourGiB) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "big", "");
    ASSERT_EQ(pack(t, {"d"}).status, 0);
    fs::resize_file(t / "d" / "big", uint64_t{1} << 32);
    expect_die(
        pack(t, {"-f", "d"}), stream_head + "    big   ",
        "d\\big is too large: 4294967296 bytes, an archive holds files of less than 4 GiB\n");
    EXPECT_EQ(read_file(t / "d.qz"), archive({{"big", ""}}));
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/big", "d.qz"}));
}

// ---- Names beyond ASCII, drive roots ----

// Stored names are UTF-8 on every platform: a file's entry holds the same bytes whichever build
// packed it, and a directory argument arrives whole whatever the ANSI code page can spell.
TEST(FileList, NamesAreStoredAsUtf8) {
    temp_dir t;
    const std::string dir = "mod\xc3\xa9"; // "modé"
    const std::vector<stored> files = {{"J\xc3\xb6rg/\xc3\xbc.txt", "1"},
                                       {"\xe6\x96\x87\xe4\xbb\xb6.txt", "22"},
                                       {"\xf0\x9f\x98\x80", ""}};
    for (const stored &f : files) {
        fs::create_directories((t.path / u8path(dir + "/" + f.name)).parent_path());
        write_file(t.path / u8path(dir + "/" + f.name), f.content);
    }
    const run_result r = pack(t, {dir});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string a = read_file(t.path / u8path(dir + ".qz"));
    std::vector<std::string> names = index_names(a);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{files[0].name, files[1].name, files[2].name}));
    // Progress shows the same bytes, in the order the archive holds the files.
    std::map<std::string, std::string> contents;
    for (const stored &f : files)
        contents[f.name] = f.content;
    EXPECT_EQ(r.out, banner + progress(dir + ".qz", in_index_order(a, contents)));
}

#ifdef _WIN32
// A drive's root, packed and unpacked by drive letter. scripts/test-windows.sh maps the drive
// named by QZ_TEST_DRIVE ("Q:") to an empty folder of its own.
TEST(CommandLine, DriveRoot) {
    const char *drive = getenv("QZ_TEST_DRIVE");
    if (drive == nullptr)
        GTEST_SKIP() << "QZ_TEST_DRIVE names no drive to pack";
    const std::string root = std::string(drive) + "\\";
    const auto clear = [&] {
        for (const char *name : {"sub", "x", "x.qz"})
            fs::remove_all(root + name);
    };
    clear();
    temp_dir t;
    const std::string name = std::string(1, drive[0]) + ".qz";
    // An empty root lists not even "." and "..": that is an empty directory, not a failure.
    run_result r = pack(t, {root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / name), archive({}));

    fs::create_directory(root + "sub");
    write_file(root + "sub\\f", "abc");
    r = pack(t, {"-f", root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + progress(name, {{"sub/f", "abc"}}));
    EXPECT_EQ(read_file(t / name), archive({{"sub/f", "abc"}}));

    // The drive alone is its root too, not a file ".qz" in it.
    r = pack(t, {"-f", drive});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + progress(name, {{"sub/f", "abc"}}));
    EXPECT_FALSE(fs::exists(root + ".qz"));

    // Unpacked from the root, into a folder at the root.
    fs::copy_file(t / name, root + "x.qz");
    r = run(tool("qz_uncompress"), {root + "x.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(root + "x\\sub\\f"), "abc");
    clear();
}

// A share reached by a UNC path, for every tool: scripts/test-windows.sh maps the share named by
// QZ_TEST_SHARE ("\\qzhost\share") to a folder of its own. "..\" stops at the share, as the
// system's own resolution does.
TEST(CommandLine, UncPaths) {
    const char *share = getenv("QZ_TEST_SHARE");
    if (share == nullptr)
        GTEST_SKIP() << "QZ_TEST_SHARE names no share";
    temp_dir t;
    const std::string name = t.path.filename().string();
    const std::string root = std::string(share) + "\\" + name;
    fs::create_directories(root + "\\mod\\sub");
    write_file(root + "\\mod\\sub\\f", "abc");

    run_result r = pack(t, {root + "\\mod\\"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + progress(root + "\\mod.qz", {{"sub/f", "abc"}}));
    EXPECT_EQ(read_file(root + "\\mod.qz"), archive({{"sub/f", "abc"}}));

    r = run(tool("qz_uncompress"), {root + "\\..\\..\\..\\" + name + "\\mod.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(root + "\\mod.0\\sub\\f"), "abc");
    r = run(tool("qz_info"), {"-c", root + "\\mod.qz"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;

    // The same model converted on the share and here gives the same object file.
    const std::string model = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n";
    write_file(root + "\\m.obj", model);
    write_file(t / "m.obj", model);
    r = run(tool("qz_import"), {root + "\\m.obj"}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(run(tool("qz_import"), {"m.obj"}, t.path).status, 0);
    EXPECT_EQ(read_file(root + "\\m.object"), read_file(t / "m.object"));
    // The share itself has no folder to go beside: its archive takes its name, here.
    r = pack(t, {share});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(t / "share.qz"));
    fs::remove_all(root);
}

// No buffer of the tools' own bounds a path, only the system's limit does: a typed name of 6,100
// bytes whose ".." lead back is written, shown and reported whole.
TEST(CommandLine, LongTypedNames) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "abc");
    std::string detour;
    for (int i = 0; i < 25; i++) {
        for (int k = 0; k < 80; k++)
            detour += "\xe6\x96\x87"; // 文
        detour += "\\..\\";
    }
    const std::string name = detour + "out.qz";
    ASSERT_GT(name.size(), 6000u);
    run_result r = pack(t, {"d", name});
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 200);
    EXPECT_EQ(r.out, banner + progress(name, {{"f", "abc"}}));
    EXPECT_EQ(read_file(t / "out.qz"), archive({{"f", "abc"}}));
    r = pack(t, {"d", name});
    EXPECT_EQ(r.err,
              "*error*:'" + name + "' already exists. Remove or use -f to force overwrite\n");
}

// Typed names mean what they mean to other Windows programs: dots and blanks at the end of a
// component go, a device is refused before anything is read, and the quote that the system's
// argument rules leave for a quoted trailing backslash ("d\") is dropped.
TEST(CommandLine, NamesAsWindowsReadsThem) {
    temp_dir t;
    fs::create_directory(t / "d");
    write_file(t / "d" / "f", "abc");
    const std::string a = archive({{"f", "abc"}});
    for (const char *device : {"NUL", "aux.qz", "com1.qz", "x\\CON"}) {
        const run_result r = pack(t, {"d", device});
        EXPECT_EQ(r.status, DIE_STATUS) << device;
        EXPECT_EQ(r.err, "*error*:'" + std::string(device) + "' is a device, not a file\n");
    }
    const run_result dev = pack(t, {"lpt1"});
    EXPECT_EQ(dev.err, "*error*:'lpt1' is a device, not a file\n");
    for (const auto &[args, written] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"d", "out. "}, "out"}, {{"d.\\", ".\\x.qz."}, "x.qz"}, {{"d\""}, "d.qz"}}) {
        const run_result r = pack(t, args);
        EXPECT_EQ(r.status, 0) << args[0] << r.err;
        EXPECT_EQ(read_file(t / written), a) << args[0];
        EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/f", written})) << args[0];
        fs::remove(t / written);
    }
}
#endif

// ---- Links, devices, fifos, resource limits and made-up files: POSIX only ----

#ifndef _WIN32

// Every directory and file below the test's directory, files with their bytes: a failed run must
// leave it as it found it, the archive of an earlier run included, with no temporary file added.
std::map<std::string, std::string> state(const temp_dir &t) {
    std::map<std::string, std::string> s;
    for (const std::string &name : listing(t.path))
        s[name] = name.back() == '/' ? "" : read_file(t.path / u8path(name));
    return s;
}

// Runs the packer under a shell ulimit. Descriptors 3 to 9 are closed first, so that a
// descriptor limit leaves exactly the packer's own files; the leak checker of sanitizer builds
// cannot work under such limits and is switched off.
run_result pack_limited(const temp_dir &t, const std::string &limit,
                        const std::vector<std::string> &args) {
    std::vector<std::string> sh = {"-c",
                                   "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit " + limit +
                                       " && ASAN_OPTIONS=detect_leaks=0 exec \"$0\" \"$@\"",
                                   tool("qz_compress")};
    sh.insert(sh.end(), args.begin(), args.end());
    return run("/bin/sh", sh, t.path);
}

// A device stands for every entry that is not a regular file (fifos: see the scan's own test,
// where a fault cannot hang the run).
TEST(FileList, DevicesAndCyclesAreSkipped) {
    temp_dir t;
    const fs::path d = t / "d";
    fs::create_directories(d / "a");
    write_file(d / "a" / "x", "x");
    fs::create_symlink("/dev/null", d / "null");
    fs::create_symlink("/dev/null", d / "a" / "excluded.p");
    fs::create_directory_symlink("..", d / "a" / "up");
    fs::create_directory_symlink("a", d / "b"); // no cycle: its files are stored twice
    const run_result r = pack(t, {"d", "--exclude", "*.p"});
    EXPECT_EQ(r.status, 0);
    const std::string a = read_file(t / "d.qz");
    const std::vector<std::string> names = index_names(a);
    ASSERT_EQ(names.size(), 2u);
    const size_t writing = r.out.find("Writing");
    EXPECT_EQ(r.out.substr(writing), progress("d.qz", {{names[0], "x"}, {names[1], "x"}}));
    // The notices stand in the order in which the scan met the entries.
    std::multiset<std::string> lines;
    std::istringstream head(r.out.substr(0, writing));
    for (std::string line; std::getline(head, line);)
        lines.insert(line);
    EXPECT_EQ(lines,
              (std::multiset<std::string>{banner.substr(0, banner.size() - 1), "  Excluding: *.p",
                                          "  Skipping d\\null: not a regular file",
                                          "  Skipping d\\a\\up: it leads back to d",
                                          "  Skipping d\\b\\up: it leads back to d"}));
    EXPECT_EQ(a, archive({{names[0], "x"}, {names[1], "x"}}));
}

// A directory that the system stops reading with an error ends the run: it is never taken for a
// directory with fewer files. The failing reads come from a library put in front of the C
// library's (tests/support/fail_readdir.cpp): at once, and after three entries.
TEST(FileList, DirectoryReadInPartEndsTheRun) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "a", "1");
    write_file(t / "d" / "b", "2");
    for (const char *after : {"0", "3"}) {
        run_options fail;
        fail.environment = {{"LD_PRELOAD", tool("libqz_fail_readdir.so")},
                            {"QZ_READDIR_FAIL_AFTER", after},
                            {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
        expect_die(pack(t, {"d"}, fail), "", "can't read directory d: Input/output error\n");
        EXPECT_FALSE(fs::exists(t / "d.qz"));
    }
    EXPECT_EQ(pack(t, {"d"}).status, 0);
}

// On POSIX a name may hold a backslash, the separator of the tools' paths: such a file would be
// looked for elsewhere and left out, so the run ends instead.
TEST(FileList, NameWithABackslash) {
    temp_dir t;
    fs::create_directories(t / "d" / "b");
    write_file(t / "d" / "b" / "a\\x", "1");
    expect_die(pack(t, {"d"}), "", "d\\b\\a\\x: a name with a backslash cannot be stored\n");
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/b/", "d/b/a\\x"}));
}

TEST(FileList, EntryThatCannotBeExamined) {
    temp_dir t;
    fs::create_directory(t / "d");
    fs::create_symlink("nowhere", t / "d" / "dangling");
    expect_die(pack(t, {"d"}), "", "can't read d/dangling: it is a link that leads nowhere\n");
}

// The system takes paths of 4095 bytes: those fit, one more is refused by name.
TEST(FileList, PathLengthLimit) {
    temp_dir t;
    fs::path deepest = t / "d";
    std::string path = "d";
    for (int i = 0; i < 20; i++) {
        deepest /= std::string(200, static_cast<char>('a' + i));
        path += "\\" + std::string(200, static_cast<char>('a' + i));
    }
    fs::create_directories(deepest);
    EXPECT_EQ(path.size() + 1 + 73, 4095u);
    // Files that deep are made and removed relative to their directory.
    const int dir = open(deepest.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    const std::string fits(73, 'f'), too_long(74, 'f');
    close(openat(dir, fits.c_str(), O_WRONLY | O_CREAT, 0644));
    EXPECT_EQ(pack(t, {path, "out.qz"}).status, 0);
    EXPECT_EQ(index_names(read_file(t / "out.qz")), std::vector<std::string>{fits});

    close(openat(dir, too_long.c_str(), O_WRONLY | O_CREAT, 0644));
    expect_die(pack(t, {"-f", path, "out.qz"}), "",
               "path too long (4096 bytes, at most 4095): " + path + "\\" + too_long + "\n");
    unlinkat(dir, fits.c_str(), 0);
    unlinkat(dir, too_long.c_str(), 0);
    close(dir);
}

// Each failure leaves the archive of the run before as it was.
TEST(Failures, InputCannotBeOpenedOrRead) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "f", "x");
    ASSERT_EQ(pack(t, {"d"}).status, 0);
    auto before = state(t);
    // The archive takes the last free descriptor.
    expect_die(pack_limited(t, "-n 4", {"-f", "d"}), stream_head + "    f   ",
               "can't open d\\f: Too many open files\n");
    EXPECT_EQ(state(t), before);
    fs::create_directory(t / "d" / "sub");
    before = state(t);
    expect_die(pack_limited(t, "-n 4", {"-f", "d"}), "",
               "Can't open directory d\\sub: Too many open files\n");
    EXPECT_EQ(state(t), before);

    // Files whose content the system makes up on reading.
    for (const char *name : {"f", "sub"})
        fs::remove(t / "d" / name);
    fs::create_symlink("/proc/self/mem", t / "d" / "mem");
    before = state(t);
    expect_die(pack(t, {"-f", "d"}), stream_head + "    mem   ",
               "read(d\\mem) failed: Input/output error\n");
    EXPECT_EQ(state(t), before);
    fs::remove(t / "d" / "mem");
    fs::create_symlink("/proc/self/status", t / "d" / "status");
    expect_die(pack(t, {"-f", "d"}), stream_head + "    status   ",
               "d\\status changed while it was being read\n");
    EXPECT_EQ(read_file(t / "d.qz"), archive({{"f", "x"}}));
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/status", "d.qz"}));
}

// Ctrl+C in the middle of a large pack: the run ends as the signal ends it, the archive of the
// run before is still there byte for byte, and the partly written one is gone.
TEST(Failures, InterruptedPack) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "small", "x");
    ASSERT_EQ(pack(t, {"d"}).status, 0);
    const std::string before = read_file(t / "d.qz");
    write_file(t / "d" / "large", random_bytes(size_t{96} << 20, 7));

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || chdir(t.path.c_str()) != 0)
            _exit(127);
        const std::string program = tool("qz_compress");
        execl(program.c_str(), program.c_str(), "-f", "d", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Interrupted once the new archive is being written.
    const auto started = std::chrono::steady_clock::now();
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() - started < std::chrono::seconds(60)) {
        for (const std::string &name : listing(t.path))
            if (name.rfind(".d.qz.tmp", 0) == 0 && fs::file_size(t / name) > 0)
                writing = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(writing) << "no temporary archive seen";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    // Not EXPECT_EQ: the framework's line diff of two archives of 96 MiB takes all memory.
    EXPECT_TRUE(read_file(t / "d.qz") == before);
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/small", "d/large", "d.qz"}));
}

TEST(Failures, ArchiveWriteFails) {
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "r", random_bytes(100000, 5));
    run_options limit;
    limit.file_size_limit = 1000;
    expect_die(pack(t, {"d"}, limit), stream_head + "    r   ",
               "write(d.qz) failed: File too large\n");
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/r"}));

    // Only the last chunk crosses the limit; an archive of exactly the limit is fine.
    write_file(t / "d" / "r", "small");
    const std::string a = archive({{"r", "small"}}, "", "info");
    limit.file_size_limit = a.size() - 1;
    expect_die(pack(t, {"-f", "d", "-i", "info"}, limit), progress("d.qz", {{"r", "small"}}),
               "write(d.qz) failed: File too large\n");
    limit.file_size_limit = a.size();
    EXPECT_EQ(pack(t, {"-f", "d", "-i", "info"}, limit).status, 0);
    EXPECT_EQ(read_file(t / "d.qz"), a);

    // Replacing: the failed run leaves the archive it would have replaced.
    write_file(t / "d" / "r", random_bytes(100000, 6));
    limit.file_size_limit = 1000;
    expect_die(pack(t, {"-f", "d"}, limit), stream_head + "    r   ",
               "write(d.qz) failed: File too large\n");
    EXPECT_EQ(read_file(t / "d.qz"), a);
    EXPECT_EQ(listing(t.path), (std::set<std::string>{"d/", "d/r", "d.qz"}));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QZ_SANITIZED 1
#endif
#endif

// zlib fails only when it finds no memory. Address space is cut down until the run fails: the
// last allocation that still needed more is deflate's. Sanitizers reserve too much address
// space for such a limit.
TEST(Failures, CompressionFails) {
#ifdef QZ_SANITIZED
    GTEST_SKIP() << "address space limits do not work with sanitizers";
#else
    temp_dir t;
    fs::create_directories(t / "d");
    write_file(t / "d" / "f", "abc");
    unsigned fails = 1024, works = 1 << 20; // KiB
    ASSERT_EQ(pack_limited(t, "-v " + std::to_string(works), {"-f", "d"}).status, 0);
    while (works - fails > 1) {
        const unsigned mid = (works + fails) / 2;
        (pack_limited(t, "-v " + std::to_string(mid), {"-f", "d"}).status == 0 ? works : fails) =
            mid;
    }
    expect_die(pack_limited(t, "-v " + std::to_string(fails), {"-f", "d"}),
               stream_head + "    f   ", "deflate(d\\f) failed: zlib error -4\n");
#endif
}

#endif

} // namespace

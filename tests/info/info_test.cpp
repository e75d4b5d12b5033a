// qz_info end to end: files written by the other tools are shown and found sound, files damaged
// here are found unsound with every broken rule named, and objects go out as OBJ and come back
// through qz_import to the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz_test.h"

using namespace qzt;

namespace {

const std::string BANNER = "qz_info 12.09.2012 (ul_tam)\n";

run_result info(const temp_dir &t, const std::vector<std::string> &args) {
    return run(tool("qz_info"), args, t.path);
}
std::string head(const std::string &file, const std::string &dir = ".") {
    return BANNER + "working dir: " + dir + "\nreading: '" + file + "'\n";
}
std::string sound(const std::string &file) {
    return "'" + file + "' is sound\n";
}
std::string hex(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}
// One report line: the chunk at pos, named, and what is wrong with it.
std::string bad(uint32_t pos, const std::string &chunk, const std::string &what) {
    return "! @ " + hex(pos) + " " + chunk + ": " + what + "\n";
}
uint32_t get32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}
void set32(std::string &s, size_t at, uint32_t v) {
    s.replace(at, 4, u32(v));
}

// Runs -c on bytes written as `name` and expects exactly the given reports.
void expect_unsound(const std::string &name, const std::string &bytes, const std::string &reports,
                    unsigned count) {
    temp_dir t;
    write_file(t / name, bytes);
    const run_result r = info(t, {"-c", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, head(name) + reports + "'" + name +
                         "' is not sound, violations: " + std::to_string(count) + "\n");
    EXPECT_EQ(r.err, "");
}

// ---- Archives ----

TEST(InfoArchive, ShowsWhatQzCompressWrote) {
    temp_dir t;
    fs::create_directories(t / "d" / "sub");
    write_file(t / "d" / "a.txt", "hello, world\n");
    std::string z;
    for (int i = 0; i < 1000; i++)
        z += "abc";
    write_file(t / "d" / "sub" / "z.bin", z);
    write_file(t / "d" / "sub" / "e", "");
    ASSERT_EQ(
        run(tool("qz_compress"), {"d", "out.qz", "-b", "base", "-i", "two words"}, t.path).status,
        0);
    const std::string qz = read_file(t / "out.qz");
    const uint32_t S = get32(qz, 0x26c + 4); // FILE_STREAM behind one path entry and 3 entries

    std::string expected = head("out.qz") + "@ 0x00000000 QZ_ARCHIVE (" +
                           std::to_string(qz.size() - 8) +
                           " bytes)\n  @ 0x00000008 ARCHIVE_CONTENT (" + std::to_string(612 + S) +
                           " bytes)\n    @ 0x00000010 FILE_INDEX_TABLE (596 bytes)\n"
                           "      NumberOfFiles: 3\n"
                           "      @ 0x0000001c BASEPATH_ENTRY (128 bytes)\n"
                           "        base path: 'base'\n";
    std::vector<std::string> names;
    for (uint32_t k = 0, pos = 0xa4; k < 3; k++, pos += 152) {
        const std::string name = qz.substr(pos + 24, qz.find('\0', pos + 24) - pos - 24);
        const uint32_t offset = get32(qz, pos + 12), out = get32(qz, pos + 16),
                       in = get32(qz, pos + 20);
        EXPECT_EQ(out, name == "a.txt" ? 13u : name == "sub/e" ? 0u : 3000u);
        char ratio[16] = "-", line[256];
        if (out != 0)
            snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * in / out);
        const std::string sig = out == 0          ? "00 00 00 00"
                                : name == "a.txt" ? "68 65 6c 6c"
                                                  : "61 62 63 61";
        snprintf(line, sizeof line, "'%s': outsize %u, insize %u, ratio %s, offset %s",
                 name.c_str(), out, in, ratio, hex(offset).c_str());
        expected += "      @ " + hex(pos) + " INDEX_ENTRY (144 bytes)\n        " + line +
                    ", signature " + sig + "\n";
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub/e", "sub/z.bin"}));
    expected += "    @ 0x0000026c FILE_STREAM (" + std::to_string(S) + " bytes)\n  @ " +
                hex(0x274 + S) + " ARCHIVE_INFO (9 bytes)\n    info: 'two words'\n" +
                sound("out.qz");
    run_result r = info(t, {"out.qz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");

    r = info(t, {"-c", "out.qz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("out.qz") + sound("out.qz"));
    EXPECT_EQ(read_file(t / "out.qz"), qz);
}

std::string deflated(const std::string &content) {
    uLongf len = compressBound(content.size());
    std::string out(len, '\0');
    compress(reinterpret_cast<Bytef *>(out.data()), &len,
             reinterpret_cast<const Bytef *>(content.data()), content.size());
    out.resize(len);
    return out;
}

// Two files "a" and "b": entries at 0x1c and 0xb4, FILE_STREAM at 0x14c, streams from 0x154.
const std::string A = "hello, world\n", B = "the second file";
const std::string SA = deflated(A), SB = deflated(B);
std::string two_files() {
    const auto entry = [](const std::string &c, const std::string &s, uint32_t at,
                          const std::string &name) {
        return chunk(0x01120000,
                     c.substr(0, 4) + u32(at) + u32(c.size()) + u32(s.size()) + field(name, 128));
    };
    const std::string table =
        u32(2) + entry(A, SA, 0x144, "a") + entry(B, SB, 0x144 + SA.size(), "b");
    return chunk(0x30315A51,
                 chunk(0x01000000, chunk(0x01100000, table) + chunk(0x01200000, SA + SB)));
}
const uint32_t EA = 0x1c, EB = 0xb4, ST = 0x14c;

TEST(InfoArchive, ReportsBrokenFields) {
    temp_dir t;
    write_file(t / "x.qz", two_files());
    const run_result r = info(t, {"-c", "x.qz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("x.qz") + sound("x.qz"));

    const uint32_t L = static_cast<uint32_t>(two_files().size()), N = SA.size() + SB.size();
    const uint32_t OB = 0x144 + SA.size(); // b's offset
    struct damage {
        std::function<void(std::string &)> change;
        std::string reports;
        unsigned count;
    } cases[] = {
        {[](std::string &s) { s.pop_back(); },
         bad(0, "QZ_ARCHIVE",
             "claims " + std::to_string(L - 8) + " bytes, the file holds " + std::to_string(L - 9) +
                 " behind the header") +
             bad(8, "ARCHIVE_CONTENT",
                 "claims " + std::to_string(L - 16) + " bytes, QZ_ARCHIVE has " +
                     std::to_string(L - 17) + " left") +
             bad(ST, "FILE_STREAM",
                 "claims " + std::to_string(N) + " bytes, ARCHIVE_CONTENT has " +
                     std::to_string(N - 1) + " left") +
             bad(EB, "INDEX_ENTRY", "the stream of 'b' lies outside FILE_STREAM's data"),
         4},
        {[](std::string &s) { s += "xyz"; },
         bad(0, "QZ_ARCHIVE", "the file goes on for 3 bytes behind the top chunk"), 1},
        {[](std::string &s) { set32(s, 24, 3); },
         bad(0x10, "FILE_INDEX_TABLE", "says 3 files, holds 2 index entries"), 1},
        {[&](std::string &s) { set32(s, EB + 12, OB + 1); },
         bad(EB, "INDEX_ENTRY", "offset " + hex(OB + 1) + ", its stream starts at " + hex(OB)) +
             bad(EB, "INDEX_ENTRY", "the stream of 'b' lies outside FILE_STREAM's data"),
         2},
        {[](std::string &s) {
             set32(s, EA + 16, 14);
             set32(s, EB + 16, 14);
             s[EB + 8] = 'T';
         },
         bad(EA, "INDEX_ENTRY", "'a' inflates to 13 bytes, its outsize is 14") +
             bad(EB, "INDEX_ENTRY", "'b' inflates to more than its outsize of 14 bytes") +
             bad(EB, "INDEX_ENTRY",
                 "the signature 54 68 65 20 of 'b' differs from its first bytes 74 68 65 20"),
         3},
        {[](std::string &s) { s[ST + 8] = 0; },
         bad(EA, "INDEX_ENTRY", "the stream of 'a' is no zlib stream (incorrect header check)"), 1},
        {[&](std::string &s) { set32(s, EA + 20, SA.size() + 1); },
         bad(EA, "INDEX_ENTRY",
             "the stream of 'a' ends after " + std::to_string(SA.size()) + " of its " +
                 std::to_string(SA.size() + 1) + " bytes") +
             bad(EB, "INDEX_ENTRY", "offset " + hex(OB) + ", its stream starts at " + hex(OB + 1)) +
             bad(ST, "FILE_STREAM",
                 "holds " + std::to_string(N) + " bytes, the streams of the index add up to " +
                     std::to_string(N + 1)),
         3},
        {[&](std::string &s) { set32(s, EB + 20, SB.size() - 1); },
         bad(EB, "INDEX_ENTRY",
             "the stream of 'b' does not end within its " + std::to_string(SB.size() - 1) +
                 " bytes") +
             bad(ST, "FILE_STREAM",
                 "holds " + std::to_string(N) + " bytes, the streams of the index add up to " +
                     std::to_string(N - 1)),
         2},
        {[](std::string &s) {
             s.replace(EA + 24, 3, std::string("../", 3));
             s.replace(EB + 24, 3, std::string("../", 3));
         },
         bad(EA, "INDEX_ENTRY", "the name '../' does not lead below the output directory") +
             bad(EB, "INDEX_ENTRY", "the name '../' does not lead below the output directory") +
             bad(EB, "INDEX_ENTRY", "'../' is stored before, @ " + hex(EA)),
         3},
        // What Windows reads as "..": the unpacker refuses it on every system.
        {[](std::string &s) { s.replace(EA + 24, 3, ". ."); },
         bad(EA, "INDEX_ENTRY", "the name '. .' does not lead below the output directory"), 1},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        std::string bytes = two_files();
        cases[i].change(bytes);
        expect_unsound("x.qz", bytes, cases[i].reports, cases[i].count);
    }
}

TEST(InfoArchive, ReportsMisplacedChunks) {
    // No streams: only the tree is wrong.
    const std::string table = chunk(
        0x01100000, u32(1) + chunk(0x01120000, zeros(140)) + chunk(0x01130000, field("base", 100)) +
                        chunk(0x01140000, field("full", 128)) + "12345");
    expect_unsound(
        "x.qz", chunk(0x30315A51, chunk(0x01000000, table + chunk(0x01200000, ""))),
        bad(0x1c, "INDEX_ENTRY", "holds 140 bytes, an index entry has 144") +
            bad(0xb0, "BASEPATH_ENTRY", "stands after INDEX_ENTRY in FILE_INDEX_TABLE") +
            bad(0xb0, "BASEPATH_ENTRY", "holds 100 bytes, a path entry has 128") +
            bad(0x11c, "FULLPATH_ENTRY", "FILE_INDEX_TABLE holds more than 1 of these") +
            bad(0x10, "FILE_INDEX_TABLE", "its last 5 bytes are too few for a chunk header"),
        5);
    const std::string content = chunk(0x01000000, chunk(0x01100000, "") + chunk(0x99, ""));
    expect_unsound(
        "x.qz", chunk(0x30315A51, chunk(1, "i") + content + content),
        bad(0x11, "ARCHIVE_CONTENT", "stands after ARCHIVE_INFO in QZ_ARCHIVE") +
            bad(0x19, "FILE_INDEX_TABLE", "too small for the number of files") +
            bad(0x21, "UNKNOWN_CHUNK(0x00000099)", "does not belong in ARCHIVE_CONTENT") +
            bad(0x11, "ARCHIVE_CONTENT", "holds no FILE_STREAM") +
            bad(0x29, "ARCHIVE_CONTENT", "QZ_ARCHIVE holds more than 1 of these"),
        5);
}

// ---- Objects and materials ----

const std::string OBJ = "mtllib m.mtl\no Mesh_Mesh_Tri\nv 1 2 3\nv 4 5 6\nv 7 8 9\nvt 0.25 0.75\n"
                        "vn 0 0 1\nusemtl B\nf 3/1/1 1/1/1 2/1/1\n";
const std::string MTL = "newmtl A\nd 0.5\nnewmtl B\nqzflags 3\nmap_Kd t.tga\nmap_Kd_alpha 3 8\n";
const std::string PATHS = "name p\npos 1 2 3\nquat 0 0 0 1\nname q\nquat 0 0 0.6 0.8\n";

void import_model(const temp_dir &t, const std::string &name, const std::string &obj,
                  const std::string &mtl, const std::string &paths,
                  const std::vector<std::string> &textures) {
    write_file(t / (name + ".obj"), obj);
    write_file(t / "m.mtl", mtl);
    write_file(t / (name + ".paths"), paths);
    for (const std::string &tex : textures)
        write_file(t / tex, "texture");
    ASSERT_EQ(run(tool("qz_import"), {name + ".obj"}, t.path).status, 0);
}

std::string material_lines(unsigned level, const std::string &name, unsigned flags,
                           unsigned opacity, const std::string &ranges) {
    const std::string in(2 * level, ' ');
    return in + "material '" + name + "': type 0, flags 0x0" + std::to_string(flags) +
           ", twoSided 0, opacity " + std::to_string(opacity) +
           ", specularLevel 0, glossiness 4, brightness 0, reflection 0\n" + in +
           "  ambient 0xff808080, diffuse 0xff808080, specular 0xffffffff, illumination "
           "0xffffffff\n" +
           in + "  " + ranges + "\n";
}

TEST(InfoObject, ShowsWhatQzImportWrote) {
    temp_dir t;
    import_model(t, "m", OBJ, MTL, PATHS, {"t.tga"});
    run_result r = info(t, {"m.object"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        head("m.object") +
            "@ 0x00000000 CHUNK_OBJECT (528 bytes)\n"
            "  object 'Mesh_Tri': pos (0, 0, 0), quat (0, 0, 0, 1)\n"
            "  @ 0x00000044 CHUNK_OBJECTDATA (316 bytes)\n"
            "    @ 0x0000004c CHUNK_VERTICES (112 bytes)\n"
            "      vertices: 3\n"
            "    @ 0x000000c4 CHUNK_INDICES (16 bytes)\n"
            "      indices: 3, triangles: 1\n"
            "    @ 0x000000dc CHUNK_MATERIALS (164 bytes)\n"
            "      materials: 2\n"
            "      @ 0x000000e8 CHUNK_MATDEF (72 bytes)\n" +
            material_lines(4, "A", 0, 127, "vert_start 0, vert_num 0, idx_start 0, idx_num 0") +
            "      @ 0x00000138 CHUNK_MATDEF (72 bytes)\n" +
            material_lines(4, "B", 3, 255, "vert_start 0, vert_num 3, idx_start 0, idx_num 3") +
            "  @ 0x00000188 CHUNK_PATH (64 bytes)\n"
            "    path 'p': flags 0, pos (1, 2, 3), quat (0, 0, 0, 1), euler (0, 0, 0) degrees\n"
            "  @ 0x000001d0 CHUNK_PATH (64 bytes)\n"
            "    path 'q': flags 0, pos (0, 0, 0), quat (0, 0, 0.6, 0.8), euler (0, 0, "
            "73.7398) degrees\n" +
            sound("m.object"));
    EXPECT_EQ(r.err, "");

    r = info(t, {"B.material_new"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        head("B.material_new") + "@ 0x00000000 CHUNK_MATDEF (120 bytes)\n" +
            material_lines(1, "B", 3, 255, "vert_start 0, vert_num 3, idx_start 0, idx_num 3") +
            "  @ 0x00000050 CHUNK_MATDEF_DIFFUSEMAP (40 bytes)\n"
            "    diffuse map 't.tga': type 0, amount 255, alphaChannel 3, alphaBits 8, "
            "tileU 255, tileV 255, mirrorU 0, mirrorV 0\n" +
            sound("B.material_new"));

    fs::create_directory(t / "sub");
    fs::rename(t / "A.material_new", t / "sub" / "A.material_new");
    // The object's check reads the material files beside it: each must hold its record.
    const std::string b_file = "reading: 'B.material_new'\n";
    for (const std::string f : {"m.object", "sub\\A.material_new"}) {
        SCOPED_TRACE(f);
        r = info(t, {"-c", f});
        const std::string dir = f[0] == 's' ? "sub" : ".", name = f.substr(f.find('\\') + 1);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head(name, dir) + (f[0] == 'm' ? b_file : "") + sound(name));
    }
    // One of another run, as an import killed in the middle of its renames leaves it.
    std::string b = read_file(t / "B.material_new");
    b[8 + 35] = 0x7F; // opacity
    write_file(t / "B.material_new", b);
    r = info(t, {"-c", "m.object"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, head("m.object") + b_file +
                         "! @ 0x00000138 CHUNK_MATDEF: 'B.material_new' holds another record of "
                         "the material: the two files are not of one run\n"
                         "'m.object' is not sound, violations: 1\n");
}

std::string rec(const std::string &name, uint32_t vs, uint32_t vn, uint32_t is, uint32_t in) {
    return field(name, 32) + std::string("\0\0\0\xff\0\4\0\0", 8) + u32(0xFF808080) +
           u32(0xFF808080) + u32(0xFFFFFFFF) + u32(0xFFFFFFFF) + u32(vs) + u32(vn) + u32(is) +
           u32(in);
}
std::string object(const std::string &vertices, const std::string &indices,
                   const std::string &materials, const std::string &after = "") {
    const std::string data =
        chunk(0x02011000, vertices) + chunk(0x02012000, indices) + chunk(0x02013000, materials);
    return chunk(0x02000000, field("o", 32) + zeros(24) + f32(1) + chunk(0x02010000, data) + after);
}
std::string indices(const std::vector<uint32_t> &list) {
    std::string s = u32(list.size());
    for (uint32_t i : list)
        s += u32(i);
    return s;
}
const std::string FOUR = u32(4) + zeros(4 * 36);
// Four vertices, two triangles, materials A and B: indices at 0xe8, materials at 0x10c, their
// records at 0x118 and 0x168 (4 bytes before with one index less).
std::string two_materials(const std::vector<uint32_t> &idx, const std::string &a,
                          const std::string &b, uint32_t count = 2) {
    return object(FOUR, indices(idx), u32(count) + chunk(0x02013100, a) + chunk(0x02013100, b));
}
const std::vector<uint32_t> SIX = {0, 1, 2, 2, 1, 3};

TEST(InfoObject, ReportsBrokenRanges) {
    const std::string I = "CHUNK_INDICES", M = "CHUNK_MATDEF";
    const std::string a = rec("A", 0, 3, 0, 3), b = rec("B", 1, 3, 3, 3);
    EXPECT_EQ(two_materials(SIX, a, b).size(), 440u);
    struct damage {
        std::string bytes, reports;
        unsigned count;
    } cases[] = {
        {two_materials({0, 1, 2, 2, 9, 3}, a, b),
         bad(0xe8, I, "index 4 (triangle 1) is 9, there are 4 vertices"), 1},
        {two_materials({0, 1, 2, 2, 1}, a, b),
         bad(0xe8, I, "5 indices make no whole number of triangles") +
             bad(0x164, M, "indices 3 + 3 of 'B' reach beyond the 5 indices"),
         2},
        {object(u32(5) + zeros(4 * 36), indices(SIX), u32(0)),
         bad(0x4c, "CHUNK_VERTICES", "holds 148 bytes, 5 vertices need 184"), 1},
        {two_materials(SIX, rec("A", 2, 3, 0, 6), b, 3),
         bad(0x10c, "CHUNK_MATERIALS", "says 3 materials, holds 2") +
             bad(0x118, M, "vertices 2 + 3 of 'A' reach beyond the 4 vertices") +
             bad(0x168, M, "indices 3 + 3 of 'B' overlap those of 'A'"),
         3},
        {two_materials(SIX, rec("A", 0, 3, 0, 2), rec("B", 3, 1, 4, 3)),
         bad(0x118, M, "indices 0 + 2 of 'A' cut through a triangle") +
             bad(0x168, M, "indices 4 + 3 of 'B' reach beyond the 6 indices") +
             bad(0x168, M, "indices 4 + 3 of 'B' cut through a triangle"),
         3},
        {object(FOUR, indices(std::vector<uint32_t>(12, 4)), u32(0)), "", 11},
        // Ranges that count the vertices each material's faces added, as older importers wrote
        // them: the indices name vertices outside them.
        {two_materials({2, 3, 1, 0, 1, 2}, a, rec("B", 3, 1, 3, 3)),
         bad(0x118, M,
             "1 of the 3 indices of 'A' lie outside its vertices 0 + 3 (index 1, triangle 0, is "
             "3)") +
             bad(0x168, M,
                 "3 of the 3 indices of 'B' lie outside its vertices 3 + 1 (index 3, triangle 1, "
                 "is 0)"),
         2},
    };
    for (uint32_t i = 0; i < 10; i++)
        cases[5].reports += bad(0xe8, I,
                                "index " + std::to_string(i) + " (triangle " +
                                    std::to_string(i / 3) + ") is 4, there are 4 vertices");
    cases[5].reports += bad(0xe8, I, "2 more indices lie beyond the vertices");
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        expect_unsound("m.object", cases[i].bytes, cases[i].reports, cases[i].count);
    }
}

// A line feed in a name would end the line an export writes it on, and a material name with a
// separator would send the check and the export to a file outside the folder. Other control
// characters, which the importer takes, read back as they were written.
TEST(InfoObject, ReportsNamesThatBreakTheFormats) {
    const std::string M = "CHUNK_MATDEF";
    std::string bytes = two_materials(SIX, rec("..\\x", 0, 3, 0, 3), rec("B/", 1, 3, 3, 3));
    bytes.replace(8, 5, std::string("o\nv 1", 5));
    expect_unsound(
        "m.object", bytes,
        bad(0, "CHUNK_OBJECT", "the object name 'o\\x0av 1' holds a line feed") +
            bad(0x118, M,
                "the material name '..\\x5cx' would name a file outside the object's "
                "folder") +
            bad(0x168, M, "the material name 'B/' would name a file outside the object's folder"),
        3);
    temp_dir t;
    write_file(t / "m.object", bytes);
    const run_result r = info(t, {"-x", "m.object", "m.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:'m.object' is not sound: nothing is exported\n");
    EXPECT_EQ(listing(t.path), std::set<std::string>{"m.object"});

    bytes = two_materials(SIX, rec("A\tB", 0, 3, 0, 3), rec("B\x0c\x1f", 1, 3, 3, 3));
    bytes.replace(8, 3, "o\rp");
    write_file(t / "m.object", bytes);
    EXPECT_EQ(info(t, {"-c", "m.object"}).status, 0);
}

TEST(InfoObject, ReportsBrokenTree) {
    const std::string data =
        chunk(0x02012000, u32(0)) + chunk(0x02011000, u32(0)) + chunk(0x02019999, "");
    expect_unsound(
        "m.object",
        chunk(0x02000000, zeros(60) + chunk(0x02600000, zeros(60)) + chunk(0x02010000, data) +
                              chunk(0x02010000, "")),
        bad(0x44, "CHUNK_PATH", "holds 60 bytes, a path point has 64") +
            bad(0x88, "CHUNK_OBJECTDATA", "stands after CHUNK_PATH in CHUNK_OBJECT") +
            bad(0x9c, "CHUNK_VERTICES", "stands after CHUNK_INDICES in CHUNK_OBJECTDATA") +
            bad(0xa8, "UNKNOWN_CHUNK(0x02019999)", "does not belong in CHUNK_OBJECTDATA") +
            bad(0x88, "CHUNK_OBJECTDATA", "holds no CHUNK_MATERIALS") +
            bad(0xb0, "CHUNK_OBJECTDATA", "CHUNK_OBJECT holds more than 1 of these"),
        6);
    expect_unsound("m.object", chunk(0x02000000, zeros(59)),
                   bad(0, "CHUNK_OBJECT", "too small for the 60-byte object record"), 1);
    expect_unsound(
        "m.object",
        chunk(0x02000000,
              zeros(60) +
                  chunk(0x02010000,
                        chunk(0x02011000, "") + chunk(0x02012000, "12") +
                            chunk(0x02013000, u32(2) + chunk(0x02013100, zeros(60)) +
                                                  chunk(0x02013100, rec("A", 0, 0, 0, 0) +
                                                                        "48 texture bytes")))),
        bad(0x4c, "CHUNK_VERTICES", "too small for the number of vertices") +
            bad(0x54, "CHUNK_INDICES", "too small for the number of indices") +
            bad(0x6a, "CHUNK_MATDEF", "too small for the 72-byte material record") +
            bad(0xae, "CHUNK_MATDEF", "holds 88 bytes, a material record in an object file has 72"),
        4);
    const std::string tex = std::string("\0\xff\0\x08\xff\xff\0\0", 8) + field("t.tga", 32);
    expect_unsound(
        "m.material_new",
        chunk(0x02013100, rec("A", 0, 0, 0, 0) + chunk(0x02013130, tex) + chunk(0x02013110, tex) +
                              chunk(0x02013110, tex) + chunk(0x02013120, zeros(36)) +
                              chunk(0x02013140, "")),
        bad(0x80, "CHUNK_MATDEF_DIFFUSEMAP",
            "stands after CHUNK_MATDEF_SPECULARMAP in CHUNK_MATDEF") +
            bad(0xb0, "CHUNK_MATDEF_DIFFUSEMAP", "CHUNK_MATDEF holds more than 1 of these") +
            bad(0xe0, "CHUNK_MATDEF_NORMALMAP", "holds 36 bytes, a texture slot has 40") +
            bad(0x10c, "UNKNOWN_CHUNK(0x02013140)", "does not belong in CHUNK_MATDEF"),
        4);
    expect_unsound("m.material_new", chunk(0x02013100, zeros(10)),
                   bad(0, "CHUNK_MATDEF", "too small for the 72-byte material record"), 1);
}

// ---- Export ----

TEST(InfoExport, WritesObjMtlAndPaths) {
    temp_dir t;
    import_model(t, "m", OBJ, MTL, PATHS, {"t.tga"});
    const run_result r = info(t, {"-x", "m.object", "back.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("m.object") + sound("m.object") +
                         "reading: 'A.material_new'\nreading: 'B.material_new'\n"
                         "writing: 'back.obj'\nwriting: 'back.mtl'\nwriting: 'back.paths'\n");
    EXPECT_EQ(r.err, "");
    // Runs without faces come first where they start: A is selected only so that B follows.
    EXPECT_EQ(read_file(t / "back.obj"),
              "# 'm.object', written back by qz_info\nmtllib back.mtl\no Mesh_Mesh_Tri\n"
              "v 1 2 3\nv 4 5 6\nv 7 8 9\nvt 0.25 0.75\nvt 0.25 0.75\nvt 0.25 0.75\n"
              "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nusemtl A\nusemtl B\nf 3/3/3 1/1/1 2/2/2\n");
    const std::string grey = "Ka 0.502 0.502 0.502\nKd 0.502 0.502 0.502\nKs 1 1 1\n";
    EXPECT_EQ(read_file(t / "back.mtl"),
              "# materials of 'm.object', written by qz_info\n\nnewmtl A\n" + grey +
                  "d 0.5\nqzflags 0\n\nnewmtl B\n" + grey +
                  "d 1\nqzflags 3\nmap_Kd t.tga\nmap_Kd_alpha 3 8\n");
    EXPECT_EQ(read_file(t / "back.paths"),
              "# path points of 'm.object', written by qz_info\n\nname p\npos 1 2 3\n"
              "quat 0 0 0 1\n\nname q\npos 0 0 0\nquat 0 0 0.600000024 0.800000012\n");
}

// Faces before any material, a material without faces between two runs, one never used, names
// of 32 characters and more, and numbers that need all nine digits.
TEST(InfoExport, RoundTripThroughQzImportGivesTheSameBytes) {
    const std::string L = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::string obj = "mtllib m.mtl\no Mesh_Mesh_round\nv 0.1 -0 1e-40\n"
                            "v 3.4e38 -2.5 0.333333343\nv 1 2 3\nv 4 5 6\nv 7 8 9\n"
                            "vt 0.1 0.9\nvt -0 1e-3\nvt 0.5 -0.5\nvn 0 1 0\n"
                            "vn 0.577350269 0.577350269 0.577350269\n"
                            "f 1/1/1 2/2/2 3/3/1\nusemtl " +
                            L +
                            "\nf 3/3/1 4/1/2 5/2/2\nf 5/2/2 4/1/2 1/1/1\n"
                            "usemtl Empty\nusemtl Third\nf 2/3/2 5/3/2 1/2/1\n";
    const std::string mtl = "newmtl " + L +
                            "\nd 0.3\nmap_Kd a.tga\nmap_Ks s.tga\nmap_Ks_alpha 2 4\n"
                            "map_bump n.tga\nmap_bump_alpha 0 0\nnewmtl Unused\nqzflags 200\n"
                            "d 0\nnewmtl Empty\nnewmtl Third\nd 0.75\nmap_bump n.tga\n";
    const std::string paths = "name " + L + "\npos 0.1 0.2 0.3\nrotation 10 20 30\nname bare\n";
    const std::vector<std::string> textures = {"a.tga", "s.tga", "n.tga"};
    temp_dir first, second;
    import_model(first, "m", obj, mtl, paths, textures);
    ASSERT_EQ(info(first, {"-x", "m.object", "back.obj"}).status, 0);
    for (const std::string f : {"back.obj", "back.mtl", "back.paths"})
        fs::copy_file(first / f, second / f);
    for (const std::string &tex : textures)
        write_file(second / tex, "texture");
    ASSERT_EQ(run(tool("qz_import"), {"back.obj"}, second.path).status, 0);
    EXPECT_EQ(read_file(second / "back.object"), read_file(first / "m.object"));
    for (const std::string &m :
         {L.substr(0, 32), std::string("Unused"), std::string("Empty"), std::string("Third")}) {
        SCOPED_TRACE(m);
        EXPECT_EQ(read_file(second / (m + ".material_new")),
                  read_file(first / (m + ".material_new")));
    }
}

TEST(InfoExport, PathMarkers) {
    temp_dir t;
    import_model(t, "m", OBJ, MTL, PATHS, {"t.tga"});
    const run_result r = info(t, {"-p", "marks.obj", "m.object"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("m.object") + sound("m.object") + "writing obj path file: marks.obj\n");
    const std::string pos = "# pos 1 2 3\n";
    // The first point, unturned, lands on exact numbers.
    const std::string first = "# path obj created by qz_info \nmtllib (None)\no qzPaths\ng p\n" +
                              pos + "v 1.5 2.5 3\n" + pos + "v 1.5 1.5 3\n" + pos + "v 0.5 2 3\n" +
                              pos + "v 1 2 3\nf -1 -2 -3\nf -1 -4 -2\ng q\n";
    EXPECT_EQ(read_file(t / "marks.obj").substr(0, first.size()), first);
}

TEST(InfoExport, RefusesWhatItMustNotDo) {
    temp_dir t;
    import_model(t, "m", OBJ, MTL, PATHS, {"t.tga"});
    const std::string object = read_file(t / "m.object");
    write_file(t / "back.mtl", "mine");
    run_result r = info(t, {"-x", "m.object", "back.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head("m.object") + sound("m.object"));
    EXPECT_EQ(r.err, "*error*:'back.mtl' already exists. Remove or use -f to force overwrite\n");
    EXPECT_FALSE(fs::exists(t / "back.obj"));
    EXPECT_EQ(read_file(t / "back.mtl"), "mine");
    // Texture slots come from the material files beside the object.
    fs::remove(t / "B.material_new");
    r = info(t, {"-f", "-x", "m.object", "back.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("reading: 'A.material_new'\n[warn] 'B.material_new' not found: "
                         "material 'B' is written without texture maps\nwriting: 'back.obj'\n"),
              std::string::npos);
    EXPECT_EQ(read_file(t / "back.mtl").find("map_Kd"), std::string::npos);
    // All three files or none: a failure in the second leaves the first as it was.
    const std::string obj = read_file(t / "back.obj");
    fs::remove(t / "back.mtl");
    fs::create_directory(t / "back.mtl");
    const std::set<std::string> files = listing(t.path);
    r = info(t, {"-f", "-x", "m.object", "back.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err,
              "*error*:'back.mtl' is a directory: -f replaces only a file or a link to one\n");
    EXPECT_EQ(read_file(t / "back.obj"), obj);
    EXPECT_EQ(listing(t.path), files);
    fs::remove(t / "back.mtl");

    write_file(t / "B.material_new", chunk(0x02013100, zeros(10)));
    r = info(t, {"-f", "-x", "m.object", "back.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:'B.material_new' is not sound: nothing is exported\n");

    r = info(t, {"-f", "-x", "m.object", "m.object"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:'m.object' is the file being read\n");
    EXPECT_EQ(read_file(t / "m.object"), object);

    write_file(t / "bad.object", object.substr(0, object.size() - 1));
    r = info(t, {"-x", "bad.object", "x.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out,
              head("bad.object") +
                  bad(0, "CHUNK_OBJECT", "claims 528 bytes, the file holds 527 behind the header") +
                  bad(0x1d0, "CHUNK_PATH", "claims 64 bytes, CHUNK_OBJECT has 63 left") +
                  "'bad.object' is not sound, violations: 2\n");
    EXPECT_EQ(r.err, "*error*:'bad.object' is not sound: nothing is exported\n");
    EXPECT_FALSE(fs::exists(t / "x.obj"));
}

// ---- Command line ----

TEST(InfoCommandLine, UsageAndFatalErrors) {
    temp_dir t;
    const std::string usage = "Usage: " + tool("qz_info") +
                              " <options> <file>\n"
                              " -c check the file; exit status 1 when it breaks a rule of its "
                              "format\n"
                              " -x <file.object> <out.obj> write the object as OBJ, MTL and paths "
                              "files\n"
                              " -p <out.obj> write the object's path points as markers\n"
                              " -f force overwrite\n --help this text; --version the version\n";
    const std::vector<std::string> wrong[] = {{}, {"-x", "m.object"}, {"a", "b"}, {"a", "-p"}};
    for (const auto &args : wrong) {
        const run_result r = info(t, args);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, BANNER + usage);
    }
    run_result r = info(t, {"-z", "a"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, BANNER + "Unknown option -z \n" + usage);

    write_file(t / "short", "QZ1");
    write_file(t / "x.qz", two_files());
    const struct {
        std::vector<std::string> args;
        std::string out, err;
    } fatal[] = {
        {{"-c", "none"}, BANNER + "working dir: .\n", "open(): No such file or directory\n"},
        {{"short"},
         BANNER + "working dir: .\n",
         "short: not a QZ_ARCHIVE, CHUNK_OBJECT or CHUNK_MATDEF file\n"},
        {{"-x", "x.qz", "o.obj"}, head("x.qz"), "x.qz: not an CHUNK_OBJECT file\n"},
    };
    for (const auto &f : fatal) {
        r = info(t, f.args);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, f.out);
        EXPECT_EQ(r.err, "*error*:" + f.err);
    }
}

} // namespace

// qz_import end to end: each run converts a model in a scratch directory, and its exit status,
// both output streams and every byte it writes are compared with what is expected.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "qz_test.h"

using namespace qzt;

namespace {

using files = std::vector<std::pair<std::string, std::string>>;

const std::string banner = "qz_import 12.09.2012 (ul_tam)\n";

std::string usage() {
    return "Usage: " + tool("qz_import") +
           " <options> <OBJ file> [OBJ file ...]\n -f force overwrite\n"
           " -v verbose output\n --help this text; --version the version\n"
           " A model may also be glTF 2.0 (.gltf, .glb): the file's content decides\n";
}

void put(const temp_dir &t, const files &fs) {
    for (const auto &[name, content] : fs)
        write_file(t / name, content);
}

run_result import(const temp_dir &t, const std::vector<std::string> &args = {"m.obj"}) {
    return run(tool("qz_import"), args, t.path);
}

// Everything below the directory, directories with a trailing '/'.
std::set<std::string> listing(const temp_dir &t) {
    return qzt::listing(t.path);
}

std::string reading(const std::string &f) {
    return "reading: '" + f + "' ...\n";
}
std::string head(const std::string &obj = "m.obj", const std::string &dir = ".") {
    return banner + "working dir: " + dir + "\n" + reading(obj);
}
std::string no_paths(const std::string &base = "m") {
    return "reading: '" + base + ".paths' skipped, file not found...\n";
}
std::string fallback(const std::string &base = "m") {
    return "[warn] No object name found, falling back to " + base + "\n";
}
std::string writing(const std::string &base = "m") {
    return "writing: '" + base + ".object'\n";
}
std::string writing_mat(const std::string &name) {
    return "writing material: '" + name + ".material_new'\n";
}
std::string warn_again(const std::string &name) {
    return "[warn] Material " + name + " already defined, old material data will be overwritten\n";
}
std::string exists(const std::string &file) {
    return "*error*:'" + file + "' already exists. Remove or use -f to force overwrite\n";
}

std::string crlf(const std::string &text) {
    std::string r;
    for (char c : text)
        r += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return r;
}

std::string bytes(std::initializer_list<uint8_t> b) {
    return std::string(b.begin(), b.end());
}
std::string vec(float x, float y, float z) {
    return f32(x) + f32(y) + f32(z);
}
std::string vertex(const std::string &pos, const std::string &nor, float u, float v) {
    return pos + nor + u32(0x80808080) + f32(u) + f32(-v);
}

struct mat {
    std::string name;
    uint32_t vert_start = 0, vert_num = 0, idx_start = 0, idx_num = 0;
    uint8_t flags = 0, opacity = 0xFF;
};

std::string record(const mat &m) {
    return field(m.name, 32) + bytes({0, m.flags, 0, m.opacity, 0, 4, 0, 0}) + u32(0xFF808080) +
           u32(0xFF808080) + u32(0xFFFFFFFF) + u32(0xFFFFFFFF) + u32(m.vert_start) +
           u32(m.vert_num) + u32(m.idx_start) + u32(m.idx_num);
}
std::string tex(uint32_t type, const std::string &file, uint8_t channel, uint8_t bits) {
    return chunk(type, bytes({0, 0xFF, channel, bits, 0xFF, 0xFF, 0, 0}) + field(file, 32));
}
const uint32_t DIFFUSE = 0x02013110, SPECULAR = 0x02013130, NORMAL = 0x02013120;

std::string material_file(const mat &m, const std::string &slots = "") {
    return chunk(0x02013100, record(m) + slots);
}

std::string object_file(const std::string &name, const std::vector<std::string> &vertices,
                        const std::vector<uint32_t> &indices, const std::vector<mat> &mats = {},
                        const std::string &paths = "") {
    std::string v = u32(vertices.size()), i = u32(indices.size()), m = u32(mats.size());
    for (const std::string &x : vertices)
        v += x;
    for (uint32_t x : indices)
        i += u32(x);
    for (const mat &x : mats)
        m += chunk(0x02013100, record(x));
    const std::string data = chunk(0x02011000, v) + chunk(0x02012000, i) + chunk(0x02013000, m);
    return chunk(0x02000000,
                 field(name, 32) + zeros(24) + f32(1) + chunk(0x02010000, data) + paths);
}

TEST(ImportModel, EmptyModelIs112Bytes) {
    temp_dir t;
    put(t, {{"m.obj", ""}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + no_paths() + fallback() + writing());
    EXPECT_EQ(r.err, "");
    const std::string expected = u32(0x02000000) + u32(104) + field("m", 32) + zeros(24) + f32(1) +
                                 u32(0x02010000) + u32(36) + u32(0x02011000) + u32(4) + u32(0) +
                                 u32(0x02012000) + u32(4) + u32(0) + u32(0x02013000) + u32(4) +
                                 u32(0);
    EXPECT_EQ(expected.size(), 112u);
    EXPECT_EQ(read_file(t / "m.object"), expected);
}

// Lines that are not statements come first: counted by mistake, they would shift the indices.
const std::string triangle_obj = "# comment\nV 9 9 9\nVT 9 9\n# v 9 9 9\n"
                                 "g Box\ns 1\nUSEMTL A\n\n \t\n"
                                 "o Mesh_Box\nv 1 2 3 4\nv 4 5 6\nv 7 8 9\nvt 0.25 0.75 9\n"
                                 "vn 0 0 2\nf 3/1/1 1/1/1 2/1/1\n";

// The given normal (0, 0, 2) is stored at unit length.
const std::string scaled_normal =
    "[warn] m.obj: 1 given normals scaled to unit length, the first on line 15\n";

std::string triangle_object() {
    const std::string n = vec(0, 0, 1);
    return object_file("Box",
                       {vertex(vec(1, 2, 3), n, 0.25f, 0.75f),
                        vertex(vec(4, 5, 6), n, 0.25f, 0.75f),
                        vertex(vec(7, 8, 9), n, 0.25f, 0.75f)},
                       {2, 0, 1});
}

TEST(ImportModel, TriangleVerticesSortedUvFlipped) {
    temp_dir t;
    put(t, {{"m.obj", triangle_obj}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + scaled_normal + no_paths() + writing());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(t / "m.object"), triangle_object());
}

TEST(ImportModel, CrLfLinesReadAsLf) {
    temp_dir t;
    put(t, {{"m.obj", crlf(triangle_obj)}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + scaled_normal + no_paths() + writing());
    EXPECT_EQ(read_file(t / "m.object"), triangle_object());
}

// Faces refer forward here; corners that differ only in their normal stay apart; blanks behind a
// '/' are skipped. The quad lies on a line, without area: it becomes a fan of two triangles.
TEST(ImportModel, SharedAndDistinctCorners) {
    temp_dir t;
    put(t, {{"m.obj", "f 1/1/1 2/1/1 3/1/1\nf 3/ 1/ 1 2/1/1 1/1/2 4/1/1\n"
                      "v 1 0 0\nv 2 0 0\nv 3 0 0\nv 4 0 0\nvt 0.5 0\nvn 1 0 0\nvn 0 1 0\n"}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + no_paths() + fallback() + writing());
    const std::string n1 = vec(1, 0, 0), n2 = vec(0, 1, 0);
    EXPECT_EQ(read_file(t / "m.object"),
              object_file("m",
                          {vertex(vec(1, 0, 0), n1, 0.5f, 0), vertex(vec(1, 0, 0), n2, 0.5f, 0),
                           vertex(vec(2, 0, 0), n1, 0.5f, 0), vertex(vec(3, 0, 0), n1, 0.5f, 0),
                           vertex(vec(4, 0, 0), n1, 0.5f, 0)},
                          {0, 2, 3, 3, 2, 1, 3, 1, 4}));
}

TEST(ImportModel, ObjectNames) {
    const std::string chars = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    const std::string c31 = chars.substr(0, 31), c32 = chars.substr(0, 32);
    // An empty name counts as given: no fallback.
    const std::pair<std::string, std::string> cases[] = {
        {"Mesh_Box", "Box"}, {"mesh_Box", "mesh_Box"},
        {"Mesh_", ""},       {"", ""},
        {c31, c31},          {c32, c32},
        {chars, chars}};
    for (const auto &[text, name] : cases) {
        SCOPED_TRACE(text);
        temp_dir t;
        put(t, {{"m.obj", "o " + text + "\n"}});
        const run_result r = import(t);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head() + no_paths() + writing());
        EXPECT_EQ(read_file(t / "m.object"), object_file(name, {}, {}));
    }
}

// A's two triangles, then B's; C never selected; a repeated "usemtl A" changes nothing. B's
// triangle uses two of A's corners, so its vertex range reaches back to them. The line ends are
// CR LF, so a name that kept its CR would not be found.
TEST(ImportModel, MaterialRuns) {
    const std::string obj =
        "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nv 2 2 0\nvt 0 0\n"
        "vn 0 0 1\nusemtl A\nf 1/1/1 2/1/1 3/1/1\nusemtl A\nf 3/1/1 2/1/1 4/1/1\n"
        "usemtl B\nf 4/1/1 3/1/1 5/1/1\n";
    temp_dir t;
    put(t, {{"m.obj", crlf(obj)}, {"m.mtl", crlf("newmtl A\nnewmtl B\nnewmtl C\n")}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + fallback() + writing() +
                         writing_mat("A") + writing_mat("B") + writing_mat("C"));
    EXPECT_EQ(r.err, "");
    const mat a{"A", 0, 4, 0, 6}, b{"B", 2, 3, 6, 3}, c{"C"};
    const std::string n = vec(0, 0, 1);
    EXPECT_EQ(read_file(t / "m.object"),
              object_file("m",
                          {vertex(vec(0, 0, 0), n, 0, 0), vertex(vec(1, 0, 0), n, 0, 0),
                           vertex(vec(0, 1, 0), n, 0, 0), vertex(vec(1, 1, 0), n, 0, 0),
                           vertex(vec(2, 2, 0), n, 0, 0)},
                          {0, 1, 2, 2, 1, 3, 3, 2, 4}, {a, b, c}));
    EXPECT_EQ(read_file(t / "A.material_new"), material_file(a));
    EXPECT_EQ(read_file(t / "B.material_new"), material_file(b));
    EXPECT_EQ(read_file(t / "C.material_new"), material_file(c));
}

// A name is cut to the most of its first 32 bytes that end on a whole UTF-8 character, in the
// record and the file's name alike.
TEST(ImportModel, MaterialNameLengths) {
    const std::string chars = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    // prefix, then c n times
    const auto times = [](std::string s, const std::string &c, int n) {
        for (int i = 0; i < n; i++)
            s += c;
        return s;
    };
    const std::string e = "\xc3\xa9", wen = "\xe6\x96\x87", smile = "\xf0\x9f\x98\x80"; // é 文 😀
    const std::pair<std::string, std::string> cases[] = {
        {chars.substr(0, 31), chars.substr(0, 31)},
        {chars.substr(0, 32), chars.substr(0, 32)},
        {chars.substr(0, 40), chars.substr(0, 32)},
        {times("ab_", e, 16), times("ab_", e, 14)},
        {times("", wen, 11), times("", wen, 10)},
        {times("a", smile, 8), times("a", smile, 7)},
        {times("ab", wen, 10), times("ab", wen, 10)},
        {chars.substr(0, 30) + " \tx", chars.substr(0, 30)}}; // cut behind blanks: they go too
    for (const auto &[name, file] : cases) {
        temp_dir t;
        put(t, {{"m.obj", "mtllib m.mtl\no " + name + "\n"}, {"m.mtl", "newmtl " + name + "\n"}});
        const run_result r = import(t);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing() + writing_mat(file));
        EXPECT_EQ(read_file(t / "m.object"), object_file(file, {}, {}, {{file}}));
        EXPECT_EQ(read_file(t.path / u8path(file + ".material_new")), material_file({file}));
    }
    // Names whose cuts agree share a file name.
    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\n"},
            {"m.mtl", "newmtl " + times("", wen, 11) + "x\nnewmtl " + times("", wen, 11) + "y\n"}});
    EXPECT_EQ(import(t).err, "*error*:m.mtl: materials '" + times("", wen, 11) + "x' and '" +
                                 times("", wen, 11) +
                                 "y' (line 2) agree in their first 32 bytes, which name their "
                                 "records and files\n");
}

// Names that agree in the 32 bytes a record and a file name hold would give one file for two
// materials: refused while the library is read, with -f as without.
TEST(ImportModel, MaterialsSharingTheirFileName) {
    const std::string prefix = "abcdefghijklmnopqrstuvwxyz012345";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"m.obj"}, {"-f", "m.obj"}}) {
        temp_dir t;
        put(t, {{"m.obj", "mtllib m.mtl\no x\n"},
                {"m.mtl", "newmtl " + prefix + "\nnewmtl A\nnewmtl " + prefix + "2\nd 0.5\n"}});
        const std::set<std::string> before = listing(t);
        const run_result r = import(t, args);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head() + reading("m.mtl"));
        EXPECT_EQ(r.err, "*error*:m.mtl: materials '" + prefix + "' and '" + prefix +
                             "2' (line 3) agree in their first 32 bytes, which name their records "
                             "and files\n");
        EXPECT_EQ(listing(t), before);
    }
}

// A material file Windows cannot hold under its name (a device, whatever follows its first dot,
// or a character it reserves) would be written nowhere or somewhere else: refused there before
// any output, an ordinary file elsewhere. A dot at the end of a material name, whole or cut, is no
// trouble, ".material_new" follows it, and nor is what lies past the 32 bytes the file takes.
TEST(ImportModel, MaterialFilesWindowsCannotHold) {
    const std::string c32 = "abcdefghijklmnopqrstuvwxyz012345";
    const std::pair<std::string, bool> cases[] = {
        {"NUL", false},         {"aux", false},     {"com1", false},
        {"Lpt9.x", false},      {"CONOUT$", false}, {"con .x", false},
        {"COM\xc2\xb3", false}, {"a|b", false},     {"what?", false},
        {"x<y", false},         {"\"q\"", false},   {"star*", false},
        {"a\x01z", false},      {"name.", true},    {c32.substr(0, 31) + ".x", true},
        {"CONSOLE", true},      {"COM10", true},    {".NUL", true},
        {c32 + "|?", true},
    };
    for (const auto &[name, everywhere] : cases) {
        SCOPED_TRACE(name);
        const std::string file = name.substr(0, 32);
        temp_dir t;
        put(t, {{"m.obj", "mtllib m.mtl\no x\n"}, {"m.mtl", "newmtl A\nnewmtl " + name + "\n"}});
        const std::set<std::string> before = listing(t);
        const run_result r = import(t);
#ifdef _WIN32
        if (!everywhere) {
            EXPECT_EQ(r.status, DIE_STATUS);
            EXPECT_EQ(r.out, head() + reading("m.mtl"));
            EXPECT_EQ(r.err, "*error*:m.mtl: material name '" + name +
                                 "' on line 2 would put its file outside the working directory\n");
            EXPECT_EQ(listing(t), before);
            continue;
        }
#endif
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing() + writing_mat("A") +
                             writing_mat(file));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(t / "m.object"), object_file("x", {}, {}, {{"A"}, {name}}));
        EXPECT_EQ(read_file(t / "A.material_new"), material_file({"A"}));
        EXPECT_EQ(read_file(long_path(t / (file + ".material_new"))), material_file({name}));
        std::set<std::string> after = before;
        after.insert({"m.object", "A.material_new", file + ".material_new"});
        EXPECT_EQ(listing(t), after);
    }
}

// A model in a folder deeper than 260 characters, named relative to a short working directory:
// the importer enters the folder, reads the model and its library and writes every file there.
TEST(ImportModel, ModelInADeepFolder) {
    temp_dir t;
    std::string dir_arg;
    fs::path dir = t.path;
    for (int i = 0; i < 4; i++) {
        const std::string level(100, static_cast<char>('a' + i));
        dir_arg += (i == 0 ? "" : "\\") + level;
        dir /= level;
        fs::create_directory(long_path(dir));
    }
    write_file(long_path(dir / "m.obj"), "mtllib m.mtl\no x\n");
    write_file(long_path(dir / "m.mtl"), "newmtl A\n");
    const run_result r = import(t, {dir_arg + "\\m.obj"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head("m.obj", dir_arg) + reading("m.mtl") + no_paths() + writing() +
                         writing_mat("A"));
    EXPECT_EQ(read_file(long_path(dir / "m.object")), object_file("x", {}, {}, {{"A"}}));
    EXPECT_EQ(read_file(long_path(dir / "A.material_new")), material_file({"A"}));
}

// All three maps with their alpha statements, in the reverse of the written order.
TEST(ImportMaterials, AllMapsVerboseNotes) {
    const files model = {{"m.obj", "mtllib m.mtl\no x\n"},
                         {"t.dds", ""},
                         {"m.mtl", "Ka 1 1 1\nnewmtl A\nd 0.5\nqzflags 3\nmap_bump t.dds\n"
                                   "map_bump_alpha 0 4\nmap_Ks t.dds\nmap_Ks_alpha 1 2\n"
                                   "map_Kd t.dds\nmap_Kd_alpha 3 9\n"}};
    const std::string notes =
        "    Ka: unsupported currently @1\n  newmtl: A @2\n    d: opacity: 0x7f @3\n"
        "    qzflags: 0x03 @4\n    map_bump: texture: 't.dds' @5\n"
        "    map_bump_alpha: alphaChannel: 0x00 alphaBits: 0x04 @6\n"
        "    map_Ks:   texture: 't.dds' @7\n"
        "    map_Ks_alpha: alphaChannel: 0x01 alphaBits: 0x02 @8\n"
        "    map_Kd:   texture: 't.dds' @9\n"
        "    map_Kd_alpha: alphaChannel: 0x03 alphaBits: 0x09 @10\n";
    const mat a{"A", 0, 0, 0, 0, 3, 0x7F};
    const std::string expected = material_file(
        a, tex(DIFFUSE, "t.dds", 3, 9) + tex(SPECULAR, "t.dds", 1, 2) + tex(NORMAL, "t.dds", 0, 4));
    EXPECT_EQ(expected.size(), 224u);
    const std::vector<std::string> runs[] = {
        {"-v", "m.obj"}, {"-v2", "m.obj"}, {"m.obj", "-verbose"}, {"m.obj"}};
    for (const auto &args : runs) {
        SCOPED_TRACE(args[0]);
        const bool quiet = args.size() == 1;
        temp_dir t;
        put(t, model);
        const run_result r = import(t, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, head() + reading("m.mtl") + (quiet ? "" : notes) + no_paths() + writing() +
                             writing_mat("A"));
        EXPECT_EQ(read_file(t / "A.material_new"), expected);
        EXPECT_EQ(read_file(t / "m.object"), object_file("x", {}, {}, {a}));
    }
}

// Keywords in any case but "newmtl", indented or not; unknown statements ignored; a repeated name
// resumes its material, also when the library is read a second time; a replaced map loses its
// alpha settings; opacity outside 0..1 is held at the nearest end; a material without a name is
// called "unnamed".
TEST(ImportMaterials, StatementsAndRepeatedNames) {
    const std::string long_tex = "abcdefghijklmnopqrstuvwxyz01.dds"; // fills its field
    const std::string mtl = "newmtl Red\nd 0.25\nKd 1 0 0\n\tmap_Kd t.dds\nmap_Ks t.dds\n"
                            "newmtl red\nQZFLAGS 257\nNEWMTL Blue\nD 0.5\nmap_bump t.dds\n"
                            "newmtl Big\nd 2\nmap_Kd t.dds\nMap_kd_Alpha 3 9\nmap_Kd " +
                            long_tex +
                            "\nnewmtl Neg\nd -1\nnewmtl \nnewmtl\nnewmtl Red\nqzflags 5\n";
    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\nmtllib m.mtl\no x\n"},
            {"m.mtl", mtl},
            {"t.dds", ""},
            {long_tex, ""}});
    const run_result r = import(t);
    const std::string unnamed = "[warn] m.mtl: 2 newmtl statements without a name, the first on "
                                "line 18: the material is called 'unnamed'\n";
    // The library named twice is read once.
    const std::string out = head() + reading("m.mtl") + warn_again("") + warn_again("Red") +
                            unnamed + no_paths() + writing() + writing_mat("Red") +
                            writing_mat("red");
    const std::vector<mat> mats = {{"Red", 0, 0, 0, 0, 5, 0x3F},
                                   {"red", 0, 0, 0, 0, 1, 0x7F},
                                   {"Big"},
                                   {"Neg", 0, 0, 0, 0, 0, 0},
                                   {"unnamed"}};
#ifdef _WIN32
    // File names that differ only in case name one file here: the second is refused, with -f
    // as without, and the run writes nothing.
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "*error*:'red.material_new' names the file of an earlier material: this "
                     "system does not tell the two names apart\n");
    EXPECT_EQ(import(t, {"-f", "m.obj"}).err, r.err);
    EXPECT_EQ(listing(t), (std::set<std::string>{"m.obj", "m.mtl", "t.dds", long_tex}));
    return;
#endif
    EXPECT_EQ(read_file(t / "m.object"), object_file("x", {}, {}, mats));
    EXPECT_EQ(read_file(t / "Red.material_new"),
              material_file(mats[0], tex(DIFFUSE, "t.dds", 0, 8) + tex(SPECULAR, "t.dds", 0, 0)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out + writing_mat("Big") + writing_mat("Neg") + writing_mat("unnamed"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(t / "red.material_new"),
              material_file(mats[1], tex(NORMAL, "t.dds", 1, 8)));
    EXPECT_EQ(read_file(t / "Big.material_new"),
              material_file(mats[2], tex(DIFFUSE, long_tex, 0, 8)));
    EXPECT_EQ(read_file(t / "Neg.material_new").size(), 80u);
    EXPECT_EQ(read_file(t / "Neg.material_new"), material_file(mats[3]));
    EXPECT_EQ(read_file(t / "unnamed.material_new"), material_file(mats[4]));
}

TEST(ImportPaths, PointsFollowTheMaterials) {
    temp_dir t;
    const std::string long_name = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    put(t, {{"my.car.obj", "mtllib m.mtl\n"},
            {"m.mtl", "newmtl A\n"},
            {"my.car.paths",
             "# points\n\nname P1\npos 1 2 3\nquat 0 0 0 1\nname " + long_name + "\n"}});
    const run_result r = import(t, {"my.car.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("my.car.obj") + reading("m.mtl") + reading("my.car.paths") +
                         fallback("my.car") + writing("my.car") + writing_mat("A"));
    const std::string paths =
        chunk(0x02600000, u32(0) + field("P1", 32) + vec(1, 2, 3) + vec(0, 0, 0) + f32(1)) +
        chunk(0x02600000, u32(0) + field(long_name, 32) + zeros(28));
    EXPECT_EQ(read_file(t / "my.car.object"), object_file("my.car", {}, {}, {{"A"}}, paths));
}

// The example model that comes with the sources imports as it stands.
TEST(ImportExample, Crate) {
    temp_dir t;
    fs::copy(source_dir() / "examples" / "model", t.path);
    const run_result r = import(t, {"crate.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("crate.obj") + reading("crate.mtl") + reading("crate.paths") +
                         writing("crate") + writing_mat("crate_wood") + writing_mat("crate_metal"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(t / "crate.object").size(), 112u + 36 * 24 + 12 * 12 + 80 * 2 + 72 * 2);
    EXPECT_EQ(read_file(t / "crate_wood.material_new"),
              material_file({"crate_wood", 0, 24, 0, 24}, tex(DIFFUSE, "crate_wood.tga", 0, 8)));
    EXPECT_EQ(read_file(t / "crate_metal.material_new"),
              material_file({"crate_metal", 1, 21, 24, 12, 1},
                            tex(DIFFUSE, "crate_metal.tga", 0, 8) +
                                tex(SPECULAR, "crate_metal.tga", 3, 8) +
                                tex(NORMAL, "crate_metal_n.tga", 1, 8)));
}

TEST(ImportCommandLine, UsageAndUnknownOptions) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, banner + usage()},
        {{"-f"}, banner + usage()},
        {{"-x", "m.obj"}, banner + "Unknown option -x \n" + usage()},
        {{"m.obj", "-"}, banner + "Unknown option - \n" + usage()}};
    for (const auto &[args, out] : cases) {
        temp_dir t;
        put(t, {{"m.obj", "o x\n"}});
        const run_result r = import(t, args);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(listing(t), std::set<std::string>{"m.obj"});
    }
}

TEST(ImportCommandLine, DirectoriesAndNames) {
    temp_dir t;
    fs::create_directories(t / "a" / "b");
    fs::create_directories(t / "models");
    put(t, {{"models/car.obj", "o Car\n"},
            {"a/b/y.obj", "o Y\n"},
            {"car", "o C\n"},
            {"models/fwd.obj", "mtllib m.mtl\n"},
            {"models/m.mtl", "newmtl A\n"}});

    run_result r = import(t, {"models\\car.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("car.obj", "models") + no_paths("car") + writing("car"));
    EXPECT_EQ(read_file(t / "models" / "car.object"), object_file("Car", {}, {}));

    // Several models, each from where the run started, options anywhere; the first that fails
    // ends the run, and those before it keep their files.
    r = import(t, {"a\\b\\y.obj", "-force", "models/car.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("y.obj", "a\\b") + no_paths("y") + writing("y") +
                         head("car.obj", "models").substr(banner.size()) + no_paths("car") +
                         writing("car"));
    EXPECT_EQ(read_file(t / "a" / "b" / "y.object"), object_file("Y", {}, {}));
    fs::remove(t / "a" / "b" / "y.object");
    r = import(t, {"a/b/y.obj", "a/none.obj", "car"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head("y.obj", "a/b") + no_paths("y") + writing("y") + "working dir: a\n");
    EXPECT_EQ(r.err, "*error*:open(none.obj) failed: No such file or directory\n");
    EXPECT_TRUE(fs::exists(t / "a" / "b" / "y.object"));
    EXPECT_FALSE(fs::exists(t / "car.object"));

    r = import(t, {"car"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("car") + no_paths("car") + writing("car"));
    EXPECT_EQ(read_file(t / "car.object"), object_file("C", {}, {}));

    // A forward slash separates as the backslash does: the model's library and every output
    // are in its directory.
    r = import(t, {"models/fwd.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head("fwd.obj", "models") + reading("m.mtl") + no_paths("fwd") +
                         fallback("fwd") + writing("fwd") + writing_mat("A"));
    EXPECT_EQ(read_file(t / "models" / "fwd.object"), object_file("fwd", {}, {}, {{"A"}}));
    EXPECT_EQ(read_file(t / "models" / "A.material_new"), material_file({"A"}));

    // A separator in front is the root.
    for (const std::string root : {"\\", "/"}) {
        r = import(t, {root + "qz-no-such-model.obj"});
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, banner + "working dir: " + root + "\n");
        EXPECT_EQ(r.err, "*error*:open(qz-no-such-model.obj) failed: No such file or directory\n");
    }
}

TEST(ImportOutput, OverwriteOnlyWithForce) {
    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\no x\n"}, {"m.mtl", "newmtl A\n"}, {"m.object", "old"}});
    run_result r = import(t);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing());
    EXPECT_EQ(r.err, exists("m.object"));
    EXPECT_EQ(read_file(t / "m.object"), "old");
    EXPECT_FALSE(fs::exists(t / "A.material_new"));

    fs::remove(t / "m.object");
    write_file(t / "A.material_new", "old");
    r = import(t);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing() + writing_mat("A"));
    EXPECT_EQ(r.err, exists("A.material_new"));
    // All or nothing: the object file written before the refusal is not kept either.
    EXPECT_EQ(listing(t), (std::set<std::string>{"m.obj", "m.mtl", "A.material_new"}));
    EXPECT_EQ(read_file(t / "A.material_new"), "old");

    r = import(t, {"-f", "m.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "m.object"), object_file("x", {}, {}, {{"A"}}));
    EXPECT_EQ(read_file(t / "A.material_new"), material_file({"A"}));
}

TEST(ImportOutput, UnopenableOutputs) {
    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\no x\n"}, {"m.mtl", "newmtl A\n"}});
    fs::create_directory(t / "m.object");
    run_result r = import(t);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing());
    EXPECT_EQ(r.err, exists("m.object"));

    fs::remove(t / "m.object");
    fs::create_directory(t / "A.material_new");
    r = import(t, {"-f", "m.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing() + writing_mat("A"));
    EXPECT_EQ(r.err, "*error*:'A.material_new' is a directory: -f replaces only a file or a link "
                     "to one\n");
    EXPECT_EQ(listing(t), (std::set<std::string>{"m.obj", "m.mtl", "A.material_new/"}));
}

// Replacing a whole set of outputs: a failure anywhere, in the 2nd of 3 materials or in writing
// the object, leaves the object and every material file of the run before as they were, and
// no temporary file.
TEST(ImportOutput, FailureLeavesThePreviousOutputs) {
    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\no x\n"}, {"m.mtl", "newmtl A\nnewmtl B\nnewmtl C\n"}});
    ASSERT_EQ(import(t).status, 0);
    const std::set<std::string> outputs = {"m.object", "A.material_new", "B.material_new",
                                           "C.material_new"};
    std::map<std::string, std::string> before;
    for (const std::string &f : outputs)
        before[f] = read_file(t / f);
    const auto unchanged = [&] {
        for (const std::string &f : outputs)
            EXPECT_EQ(read_file(t / f), before.at(f)) << f;
    };
    const std::set<std::string> files = listing(t);

    put(t, {{"m.mtl", "newmtl A\nd 0.5\nnewmtl B\nd 0.5\nnewmtl C\nd 0.5\n"}});
    fs::remove(t / "B.material_new");
    fs::create_directory(t / "B.material_new");
    run_result r = import(t, {"-f", "m.obj"});
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + writing() + writing_mat("A") +
                         writing_mat("B"));
    EXPECT_EQ(r.err, "*error*:'B.material_new' is a directory: -f replaces only a file or a link "
                     "to one\n");
    fs::remove(t / "B.material_new");
    write_file(t / "B.material_new", before.at("B.material_new"));
    unchanged();
    EXPECT_EQ(listing(t), files);

#ifndef _WIN32
    run_options limit;
    // One byte short of the object; the two output streams stay below that.
    limit.file_size_limit = before.at("m.object").size() - 1;
    r = run(tool("qz_import"), {"-f", "m.obj"}, t.path, limit);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:write(m.object) failed: File too large\n");
    unchanged();
    EXPECT_EQ(listing(t), files);
#endif

    r = import(t, {"-f", "m.obj"});
    EXPECT_EQ(r.status, 0);
    mat half{"A"};
    half.opacity = 0x7F;
    EXPECT_EQ(read_file(t / "A.material_new"), material_file(half));
    EXPECT_EQ(listing(t), files);
}

// "vt u" is (u, 0); a coordinate that is not a finite number ends the run, naming the file and
// the line; a library that mtllib names again is not read again.
TEST(ImportStatements, ShortTextureCoordinatesNonFiniteNumbersAndRepeatedLibraries) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n";
    temp_dir a, b;
    put(a, {{"m.obj", "vt 0.5\n" + tri}});
    put(b, {{"m.obj", "vt 0.5 0 # u alone\n" + tri}});
    ASSERT_EQ(import(a).status, 0);
    ASSERT_EQ(import(b).status, 0);
    EXPECT_EQ(read_file(a / "m.object"), read_file(b / "m.object"));

    for (const std::string bad : {"v 1 nan 0", "v inf 0 0", "vn 0 0 -infinity", "vt 0 NaN"}) {
        temp_dir t;
        put(t, {{"m.obj", "v 0 0 0\n" + bad + "\n"}});
        const run_result r = import(t);
        EXPECT_EQ(r.status, DIE_STATUS) << bad;
        const size_t at = bad.find_first_of("-niNI", bad.find(' ')); // where the number starts
        EXPECT_EQ(r.err, "*error*:m.obj: not a finite number\non line 2," + std::to_string(at) +
                             ":\n" + bad + "\n" + std::string(at - 1, ' ') + "^\n");
        EXPECT_FALSE(fs::exists(t / "m.object"));
    }

    temp_dir t;
    put(t, {{"m.obj", "mtllib m.mtl\nmtllib m.mtl\nusemtl A\nvt 0 0\n" + tri},
            {"m.mtl", "newmtl A\nd 0.5\n"}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head() + reading("m.mtl") + no_paths() + fallback() + writing() +
                         "writing material: 'A.material_new'\n");
}

// A library name that leads to something other than a file says what it leads to.
TEST(ImportFailures, LibraryThatIsNoFile) {
    temp_dir t;
    put(t, {{"m.obj", "mtllib lib.mtl\n"}});
    fs::create_directory(t / "lib.mtl");
    run_result r = import(t);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.err, "*error*:m.obj: material library 'lib.mtl' on line 1 is a directory, not a "
                     "file\n");
#ifndef _WIN32
    fs::remove(t / "lib.mtl");
    ASSERT_EQ(mkfifo((t / "lib.mtl").c_str(), 0644), 0);
    r = import(t);
    EXPECT_EQ(r.err, "*error*:m.obj: material library 'lib.mtl' on line 1 is a FIFO, not a file\n");
    EXPECT_EQ(listing(t), (std::set<std::string>{"lib.mtl", "m.obj"}));
#endif
}

struct failure {
    files input;     // m.obj unless it names its own
    std::string out; // after the OBJ file's reading line
    std::string err;
};

// Every reading error stops the run before any output file exists.
TEST(ImportFailures, ReadingErrors) {
    const std::string lib = reading("m.mtl");
    const std::string tri = "v 0 0 0\nvt 0 0\nvn 0 0 1\n";
    auto mtl = [](const std::string &text) {
        return files{{"m.obj", "mtllib m.mtl\n"}, {"m.mtl", text}, {"t.dds", ""}};
    };
    const failure cases[] = {
        {{{"m.obj", "\n mtllib  none.mtl \n"}},
         "",
         "m.obj: material library 'none.mtl' on line 2 does not exist\n"},
        {{{"m.obj", "v 1 2\n"}}, "", "expected float\non line 1,5:\nv 1 2\n    ^\n"},
        {{{"m.obj", "f 1,2,3\n"}},
         "",
         "expected index or /\non line 1,3:\nf 1,2,3\n  ^\n"
         "face definition needs vertex & tex & normal index\n"},
        {{{"m.obj", "f 1/1 2/2/2/2 3/3\n"}},
         "",
         "expected index or /\non line 1,11:\nf 1/1 2/2/2/2 3/3\n          ^\n"
         "missing normal index, exported normals?\n"},
        {{{"m.obj", "f 1/1/x 2/2/2 3/3/3\n"}},
         "",
         "parser: expected integer\non line 1,6:\nf 1/1/x 2/2/2 3/3/3\n     ^\n"
         "missing normal index, exported normals?\n"},
        {{{"m.obj", "\ns 1 \ns x\n"}}, "", "parser: expected integer\non line 3,2:\ns x\n ^\n"},
        {mtl("d 0.5\n"), lib, "missing newmtl statement\n"},
        {mtl("qzflags 1\n"), lib, "missing newmtl statement\n"},
        {mtl("map_Kd t.dds\n"), lib, "missing newmtl statement\n"},
        {mtl("map_bump t.dds\n"), lib, "missing newmtl statement\n"},
        {mtl("map_Ks t.dds\n"), lib, "missing newmtl statement on line 1\n"},
        {mtl("map_Kd_alpha 3 8\n"), lib, "map_Kd not defined yet on line 1\n"},
        {mtl("newmtl A\nmap_Ks_alpha 1 1\n"), lib, "map_Ks not defined yet on line 2\n"},
        {mtl("newmtl A\nmap_Kd t.dds\nmap_bump_alpha 1 1\n"), lib,
         "map_bump not defined yet on line 3\n"},
        // A word with a '-' that is no option, or an option without its values, starts the name.
        {mtl("newmtl A\nmap_Kd -x 2 t.dds\n"), lib,
         "m.mtl: referenced texture doesn't exist '-x 2 t.dds' on line 2\n"},
        {mtl("newmtl A\nmap_Kd -bm t.dds\n"), lib,
         "m.mtl: referenced texture doesn't exist '-bm t.dds' on line 2\n"},
        {mtl("newmtl A\nmap_Ks none.dds\n"), lib,
         "m.mtl: referenced texture doesn't exist: 'none.dds' on line 2\n"},
        {mtl("newmtl A\n\nmap_bump none.dds\n"), lib,
         "m.mtl: referenced texture doesn't exist: 'none.dds' on line 3\n"},
        {mtl("newmtl A\nd x\n"), lib, "expected float\non line 2,2:\nd x\n ^\n"},
        {mtl("newmtl A\nqzflags x\n"), lib,
         "parser: expected integer\non line 2,8:\nqzflags x\n       ^\n"},
        // Every library starts without a current material.
        {{{"m.obj", "mtllib a.mtl\nmtllib b.mtl\n"}, {"a.mtl", "newmtl A\n"}, {"b.mtl", "d 1\n"}},
         reading("a.mtl") + reading("b.mtl"),
         "missing newmtl statement\n"},
        // Corners are checked once the file is read; faces may refer forward.
        {{{"m.obj", "f 0/1/1 1/1/1 1/1/1\n" + tri}},
         "",
         "face on line 1: position index 0 is out of range (the file defines 1)\n"},
        {{{"m.obj", "f 1/1/1 1/1/1 1/0/1\n" + tri}},
         "",
         "face on line 1: texture index 0 is out of range (the file defines 1)\n"},
        {{{"m.obj", tri + "f 1/1/1 1/1/1 1/1/1\nf 1/1/1 1/1/1 1/1/0\n"}},
         "",
         "face on line 5: normal index 0 is out of range (the file defines 1)\n"},
        {{{"m.obj", "f 1/1/1 2/1/1 1/1/1\n" + tri}},
         "",
         "face on line 1: position index 2 is out of range (the file defines 1)\n"},
        {{{"m.obj", tri + "f 1/2/1 1/1/1 1/1/1\n"}},
         "",
         "face on line 4: texture index 2 is out of range (the file defines 1)\n"},
        {{{"m.obj", tri + "\nf 1/1/1 1/1/3 1/1/1\n"}},
         "",
         "face on line 5: normal index 3 is out of range (the file defines 1)\n"},
        // A relative index counts back over what the file has defined so far.
        {{{"m.obj", "vt 0 0\nvn 0 0 1\nf -1/1/1 1/1/1 1/1/1\n" + tri}},
         "",
         "face on line 3: position index -1 is out of range (the file defines 0)\n"},
        {{{"m.obj", tri + "f 1/1/1 1/-2/1 1/1/1\n"}},
         "",
         "face on line 4: texture index -2 is out of range (the file defines 1)\n"},
        {{{"m.obj", tri + "f 1/1/1 1/1/1 1/1/-0\n"}},
         "",
         "face on line 4: normal index -0 is out of range (the file defines 1)\n"},
        {{{"m.obj", tri + "f 1/1/1 1/- 1/1 1/1/1\n"}},
         "",
         "parser: expected integer\non line 4,10:\nf 1/1/1 1/- 1/1 1/1/1\n         ^\n"
         "missing texture index, uv map coordinates created and exported?\n"},
        {{{"m.obj", tri + "f 1/1/1 1/1/1 1/1/1 --1/1/1\n"}},
         "",
         "parser: expected integer\non line 4,20:\nf 1/1/1 1/1/1 1/1/1 --1/1/1\n"
         "                   ^\nface definition needs vertex & tex & normal index\n"},
        // A material file may not be placed outside the model's directory.
        {mtl("newmtl a/b\n"), lib,
         "m.mtl: material name 'a/b' on line 1 would put its file outside the working "
         "directory\n"},
        {mtl("newmtl A\nnewmtl sub\\x\n"), lib,
         "m.mtl: material name 'sub\\x' on line 2 would put its file outside the working "
         "directory\n"},
        {mtl("newmtl ..\n"), lib,
         "m.mtl: material name '..' on line 1 would put its file outside the working "
         "directory\n"},
        {mtl("newmtl c:x\n"), lib,
         "m.mtl: material name 'c:x' on line 1 would put its file outside the working "
         "directory\n"},
    };
    for (const failure &c : cases) {
        SCOPED_TRACE(c.err);
        temp_dir t;
        fs::create_directory(t / "sub");
        put(t, c.input);
        const std::set<std::string> before = listing(t);
        const run_result r = import(t);
        EXPECT_EQ(r.status, DIE_STATUS);
        EXPECT_EQ(r.out, head() + c.out);
        EXPECT_EQ(r.err, "*error*:" + c.err);
        EXPECT_EQ(listing(t), before);
    }

    temp_dir t;
    const run_result r = import(t);
    EXPECT_EQ(r.status, DIE_STATUS);
    EXPECT_EQ(r.out, banner + "working dir: .\n");
    EXPECT_EQ(r.err, "*error*:open(m.obj) failed: No such file or directory\n");
}

// The lists grow as the model needs, far past the 32,768 elements they once held: 100,000
// triangles over 50,000 positions, 40,000 texture coordinates (a UV atlas has more of them than
// positions) and 35,000 normals, with 300,000 corners used in an order far from their sorted
// one.
TEST(ImportLimits, ListsGrowAsTheModelNeeds) {
    const unsigned nv = 50000, nvt = 40000, nvn = 35000, triangles = 100000;
    std::string obj;
    for (unsigned k = 1; k <= nv; k++) {
        const std::string s = std::to_string(k);
        obj.append("v ").append(s).append(" -").append(s).append(" 0.5\n");
        if (k <= nvt)
            obj.append("vt ").append(s).append(" 0.25\n");
        if (k <= nvn)
            obj.append("vn 0 ").append(s).append(" 1\n");
    }
    using triple = std::tuple<unsigned, unsigned, unsigned>;
    std::vector<triple> corners;
    for (unsigned t = 0; t < triangles; t++) {
        const triple c[3] = {{nv - t % nv, t % nvt + 1, t % nvn + 1},
                             {t % nv + 1, nvt - t % nvt, t * 7 % nvn + 1},
                             {(t * 13 + 5) % nv + 1, t * 3 % nvt + 1, nvn - t % nvn}};
        corners.insert(corners.end(), std::begin(c), std::end(c));
        obj += "f";
        for (const auto &[v, vt, vn] : c)
            obj.append(" ")
                .append(std::to_string(v))
                .append("/")
                .append(std::to_string(vt))
                .append("/")
                .append(std::to_string(vn));
        obj += '\n';
    }
    std::map<triple, uint32_t> order;
    for (const auto &c : corners)
        order[c] = 0;
    std::vector<std::string> vertices;
    for (auto &[c, idx] : order) {
        idx = static_cast<uint32_t>(vertices.size());
        const auto [v, vt, vn] = c;
        // (0, vn, 1) at unit length, as the importer scales it.
        const double len = std::sqrt(double(vn) * vn + 1);
        vertices.push_back(vertex(vec(float(v), -float(v), 0.5f),
                                  vec(0, float(vn / len), float(1 / len)), float(vt), 0.25f));
    }
    std::vector<uint32_t> indices;
    for (const auto &c : corners)
        indices.push_back(order[c]);

    temp_dir t;
    put(t, {{"m.obj", obj}});
    const run_result r = import(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head() +
                         "[warn] m.obj: 35000 given normals scaled to unit length, the first on "
                         "line 3\n" +
                         no_paths() + fallback() + writing());
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(t / "m.object") == object_file("m", vertices, indices));
}

} // namespace

// Writes the fuzzers' seed inputs, made from the bundled examples and from the shapes the tests
// build: make_seeds <source dir> <output dir>. Each fuzzer gets a folder of its own below the
// output directory.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "gltf_builder.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + p.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path &p, const std::string &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

std::string u32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string chunk(uint32_t type, const std::string &data) {
    return u32(type) + u32(static_cast<uint32_t>(data.size())) + data;
}

std::string field(const std::string &text, size_t len) {
    std::string s = text.substr(0, len);
    s.resize(len, '\0');
    return s;
}

std::string deflate_bytes(const std::string &content) {
    uLongf len = compressBound(static_cast<uLong>(content.size()));
    std::string out(len, '\0');
    if (compress(reinterpret_cast<Bytef *>(out.data()), &len,
                 reinterpret_cast<const Bytef *>(content.data()),
                 static_cast<uLong>(content.size())) != Z_OK)
        throw std::runtime_error("compress failed");
    out.resize(len);
    return out;
}

constexpr uint32_t QZ_ARCHIVE = 0x30315A51, ARCHIVE_CONTENT = 0x01000000,
                   FILE_INDEX_TABLE = 0x01100000, INDEX_ENTRY = 0x01120000,
                   BASEPATH_ENTRY = 0x01130000, FULLPATH_ENTRY = 0x01140000,
                   FILE_STREAM = 0x01200000, ARCHIVE_INFO = 0x00000001;

using files = std::vector<std::pair<std::string, std::string>>; // stored name, content

// The archive content chunk as the packer lays it out: index table (with an optional path entry
// and extra chunks behind the entries), then the streams.
std::string content(const files &fs, const std::string &path_entry = "",
                    const std::string &extra = "") {
    uint32_t offset = static_cast<uint32_t>(20 + path_entry.size() + 152 * fs.size());
    std::string entries, streams;
    for (const auto &[name, data] : fs) {
        const std::string stream = deflate_bytes(data);
        std::string signature = data.substr(0, 4);
        signature.resize(4, '\0');
        entries +=
            chunk(INDEX_ENTRY, signature + u32(offset) + u32(static_cast<uint32_t>(data.size())) +
                                   u32(static_cast<uint32_t>(stream.size())) + field(name, 128));
        streams += stream;
        offset += static_cast<uint32_t>(stream.size());
    }
    const std::string table = chunk(FILE_INDEX_TABLE, u32(static_cast<uint32_t>(fs.size())) +
                                                          path_entry + entries + extra);
    return chunk(ARCHIVE_CONTENT, table + chunk(FILE_STREAM, streams));
}

std::string archive(const std::string &inside) {
    return chunk(QZ_ARCHIVE, inside);
}

void archive_seeds(const fs::path &src, const fs::path &out) {
    // The example tree, stored as the packer stores it (files small enough to keep inputs short).
    files tree;
    for (const auto &e : fs::recursive_directory_iterator(src / "examples" / "tree"))
        if (e.is_regular_file() && e.file_size() <= 2048)
            tree.emplace_back(fs::relative(e.path(), src / "examples" / "tree").generic_string(),
                              read_file(e.path()));
    write_file(out / "tree.qz", archive(content(tree)));

    const files small = {{"a.txt", "hello, world\n"},
                         {"sub/deeper/b.bin", std::string("\0\1\2\3\4\5", 6) + "zzzzzzzz"},
                         {"sub/empty", ""},
                         {"t", "ab"}};
    write_file(out / "small.qz", archive(content(small)));
    write_file(out / "empty.qz", archive(content({})));
    write_file(out / "basepath_info.qz",
               archive(content(small, chunk(BASEPATH_ENTRY, field("C:\\games\\mod", 128))) +
                       chunk(ARCHIVE_INFO, "release 3")));
    write_file(out / "fullpath_unknown.qz",
               archive(content({{"f", "data"}}, chunk(FULLPATH_ENTRY, field("mods/x", 128)),
                               chunk(0x7777, "abc")) +
                       chunk(INDEX_ENTRY, std::string(144, '\0'))));
    write_file(out / "two_contents.qz",
               archive(content({{"one", "1111"}}) + content({{"two/2", "2222"}})));
    write_file(out / "long_name.qz",
               archive(content({{std::string(60, 'd') + "/" + std::string(70, 'n'), "x"}})));
}

// The OBJ text, a NUL, the MTL text: the import fuzzer's input.
std::string model(const std::string &obj, const std::string &mtl) {
    return obj + std::string(1, '\0') + mtl;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

std::string crlf(const std::string &text) {
    return replace_all(text, "\n", "\r\n");
}

void import_seeds(const fs::path &src, const fs::path &out) {
    const std::string obj =
        replace_all(read_file(src / "examples" / "model" / "crate.obj"), "crate.mtl", "m.mtl");
    const std::string mtl = read_file(src / "examples" / "model" / "crate.mtl");
    write_file(out / "crate", model(obj, mtl));
    write_file(out / "crate_crlf", model(crlf(obj), crlf(mtl)));

    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1 1\nvt 0 0\nvt 1 0\nvt 0 1 0\n"
                            "vn 0 0 1\nvn 0 0 2\n";
    write_file(out / "no_material",
               model(tri + "f 1/1/1 2/2/1 3/3/1\nf 3/3/2 2/2/1 4/1/2 1/1/1\n", ""));
    write_file(out / "runs",
               model("mtllib m.mtl\no Box\n" + tri +
                         "usemtl A\nf 1/1/1 2/2/1 3/3/1\nf 2/2/1 3/3/1 4/1/1\nusemtl A\n"
                         "usemtl B\nf 4/1/2 3/3/1 1/2/2\ng group\ns 1\n# done\n",
                     "newmtl A\nd 0.5\nD 1.5\nqzflags 257\nKa 1 1 1\nKd 1 0 0\n"
                     "map_Kd t.tga\nmap_Kd_alpha 3 8\nmap_Kd t.tga\nmap_bump t.tga\n"
                     "MAP_BUMP_ALPHA 1 4\n\nnewmtl B\nmap_Ks t.tga\nmap_Ks_alpha 0 0\n"
                     "newmtl A\nd -1\n"));
    write_file(out / "long_names",
               model("mtllib m.mtl\no Mesh_" + std::string(40, 'o') + "\n" + tri + "usemtl " +
                         std::string(40, 'M') + "\nf 1/1/1 2/2/1 3/3/1\n",
                     "newmtl " + std::string(40, 'M') + "\nmap_Kd t.tga\n"));
    write_file(out / "twice",
               model("mtllib m.mtl\nmtllib m.mtl\nusemtl r\n" + tri + "f 1/1/1 1/1/1 1/1/1\n",
                     "newmtl r\nnewmtl R\nnewmtl \n"));
}

void paths_seeds(const fs::path &src, const fs::path &out) {
    const std::string crate = read_file(src / "examples" / "model" / "crate.paths");
    write_file(out / "crate", crate);
    write_file(out / "crate_crlf", crlf(crate));
    write_file(out / "statements",
               "# points\n\nname a\npos 1 2 3\nquat 0 0 0 1\nquat 0 0 0 0\n"
               "name " +
                   std::string(40, 'b') +
                   "\nrotation 0 0 90\n"
                   "rotation 10 -20 30.5\npos 1e-40 -0 +4\nPos 1 2 3\n pos 1 2 3\n"
                   "name \nname c d\tpos\n");
    // A number on the first line: the harness converts it both ways and compares.
    const char *numbers[] = {"0.1",          "123456.789",     "-0.0e+5",     "16777217",
                             "3.4028235e38", "1.17549435e-38", "0.000000015", "  +7.25E-3x",
                             "1e-45",        "0x1.8p1",        "4294967295",  "-1",
                             "999999999",    "1000000000",     "4294967296",  " -4294967295"};
    int i = 0;
    for (const char *number : numbers)
        write_file(out / ("number" + std::to_string(i++)), std::string(number) + "\n" + crate);
}

// The glTF model of the tests, as a binary file and as JSON with its buffer inside it.
void gltf_seeds(const fs::path &out) {
    const qzt::gltf_builder g = qzt::two_material_model();
    write_file(out / "two_materials.glb", g.glb());
    write_file(out / "two_materials.gltf", g.data_uri_json());
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <source dir> <output dir>\n", argv[0]);
        return 2;
    }
    const fs::path src = argv[1], out = argv[2];
    try {
        for (const char *target : {"uncompress", "import", "gltf", "paths", "info"})
            fs::create_directories(out / target);
        archive_seeds(src, out / "uncompress");
        archive_seeds(src, out / "info"); // qz_info's archive reader takes the same inputs
        import_seeds(src, out / "import");
        paths_seeds(src, out / "paths");
        gltf_seeds(out / "gltf");
    } catch (const std::exception &e) {
        fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}

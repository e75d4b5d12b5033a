// qzb_gen: makes the benchmark inputs, the same bytes on every run.
//
//   qzb_gen tree DIR COUNT                     COUNT small files in a tree of directories
//   qzb_gen mixed FILE MIB                     one file of MIB MiB of mixed data
//   qzb_gen obj FILE TRIANGLES KIND           a model and its material library (FILE.mtl);
//                                              KIND is shared, distinct, materials, smooth
//                                              or large
//   qzb_gen glb FILE TRIANGLES                 the large model as a binary glTF
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "gltf_builder.h" // the test suite's glTF writer

namespace {

// splitmix64: small, fast and the same everywhere.
struct rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

[[noreturn]] void fail(const char *what, const std::string &name) {
    fprintf(stderr, "qzb_gen: %s %s: %s\n", what, name.c_str(), strerror(errno));
    exit(1);
}

void make_dir(const std::string &dir) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        fail("mkdir", dir);
}

void write_file(const std::string &name, const std::string &data) {
    FILE *f = fopen(name.c_str(), "wb");
    if (f == nullptr || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0)
        fail("write", name);
}

const char *const words[] = {
    "struct", "vertex", "float",    "return", "material", "texture", "static",  "const",
    "index",  "chunk",  "unsigned", "while",  "model",    "normal",  "archive", "the",
    "of",     "and",    "to",       "in",     "position", "color",   "light",   "shadow",
    "sound",  "level",  "engine",   "data",   "file",     "name",    "size",    "offset"};

// Text that compresses like source code or configuration files, roughly 3:1.
void append_text(std::string &out, size_t len, rng &r) {
    const size_t end = out.size() + len;
    while (out.size() < end) {
        const unsigned n = 3 + r.below(9);
        for (unsigned i = 0; i < n && out.size() < end; i++) {
            out += words[r.below(sizeof words / sizeof words[0])];
            if (r.below(6) == 0) {
                out += " = ";
                out += std::to_string(r.below(1000));
                out += ';';
            }
            out += ' ';
        }
        out += '\n';
    }
    out.resize(end);
}

// Incompressible bytes, as in already compressed textures and sounds.
void append_random(std::string &out, size_t len, rng &r) {
    const size_t start = out.size();
    out.resize(start + len);
    for (size_t i = start; i < out.size(); i += 8) {
        const uint64_t v = r.next();
        memcpy(&out[i], &v, std::min<size_t>(8, out.size() - i));
    }
}

// Binary records of smoothly varying floats, as in meshes and animation tracks.
void append_floats(std::string &out, size_t len, rng &r) {
    const size_t start = out.size();
    out.resize(start + len);
    float x = static_cast<float>(r.unit());
    for (size_t i = start; i + 4 <= out.size(); i += 4) {
        x += static_cast<float>(r.unit() - 0.5) * 0.01f;
        memcpy(&out[i], &x, 4);
    }
}

// Long runs of few values, as in masks and padded tables.
void append_runs(std::string &out, size_t len, rng &r) {
    const size_t end = out.size() + len;
    while (out.size() < end)
        out.append(std::min<size_t>(end - out.size(), 16 + r.below(4000)),
                   static_cast<char>(r.below(4)));
}

void append_mixed(std::string &out, size_t len, rng &r, unsigned kind) {
    switch (kind % 4) {
    case 0:
        append_text(out, len, r);
        break;
    case 1:
        append_floats(out, len, r);
        break;
    case 2:
        append_random(out, len, r);
        break;
    default:
        append_runs(out, len, r);
    }
}

// COUNT files of 100 bytes to 16 KiB (most below 4 KiB) in directories of 100 files, two levels.
void make_tree(const std::string &dir, unsigned count) {
    rng r{1};
    make_dir(dir);
    std::string data;
    for (unsigned i = 0; i < count; i++) {
        const std::string sub = dir + "/d" + std::to_string(i / 1000);
        const std::string leaf = sub + "/e" + std::to_string(i / 100 % 10);
        if (i % 1000 == 0)
            make_dir(sub);
        if (i % 100 == 0)
            make_dir(leaf);
        const size_t len = r.below(8) == 0 ? 4096 + r.below(12288) : 100 + r.below(4000);
        data.clear();
        append_mixed(data, len, r, r.below(3) == 0 ? 1 + r.below(3) : 0);
        write_file(leaf + "/f" + std::to_string(i) + (i % 3 == 0 ? ".txt" : ".dat"), data);
    }
}

// Blocks of 64 KiB to 1 MiB of each kind in turn.
void make_mixed(const std::string &name, unsigned mib) {
    rng r{2};
    FILE *f = fopen(name.c_str(), "wb");
    if (f == nullptr)
        fail("create", name);
    const uint64_t total = uint64_t{mib} << 20;
    std::string block;
    for (uint64_t done = 0; done < total; done += block.size()) {
        block.clear();
        const size_t len = std::min<uint64_t>(total - done, (64u << 10) + r.below(960u << 10));
        append_mixed(block, len, r, r.below(4));
        if (fwrite(block.data(), 1, block.size(), f) != block.size())
            fail("write", name);
    }
    if (fclose(f) != 0)
        fail("write", name);
}

void put_float(std::string &out, double v) {
    char buf[32];
    snprintf(buf, sizeof buf, " %.6f", v);
    out += buf;
}

// "shared": a grid of quads whose corners are shared by up to six triangles, one index for
// position, texture coordinate and normal. "distinct": a triangle soup where no two corners use
// the same (position, texture coordinate, normal) triple; every triangle has its own normal, and
// positions and texture coordinates repeat beyond 32768 of each.
// One material per `run` triangles. Without normals, the faces are in one smoothing group and
// their corners "v/vt": the importer makes the normals.
void make_obj(const std::string &name, unsigned triangles, bool shared, unsigned run,
              bool normals) {
    constexpr unsigned cap = 32768;
    rng r{3};
    const std::string stem = name.substr(0, name.rfind('.'));
    const std::string mtl = stem + ".mtl";
    const unsigned nmat = (triangles + run - 1) / run;
    std::string text = "# generated by qzb_gen\n";
    for (unsigned m = 0; m < nmat; m++) {
        text += "newmtl mat" + std::to_string(m) + "\nKa 1 1 1\nKd 0.8 0.6 0.4\nd 1\n";
        text += "qzflags " + std::to_string(m % 4) + "\n\n";
    }
    write_file(mtl, text);

    const std::string base = mtl.substr(mtl.rfind('/') + 1);
    text = "# generated by qzb_gen\nmtllib " + base + "\no Mesh_bench\n";
    std::vector<unsigned> corners; // one-based v, vt, vn per corner
    if (shared) {
        // w x h quads, two triangles each, as square as the count allows.
        unsigned w = 1;
        while (w * w * 2 < triangles)
            w++;
        const unsigned h = (triangles / 2 + w - 1) / w;
        for (unsigned y = 0; y <= h; y++)
            for (unsigned x = 0; x <= w; x++) {
                const double px = x * 0.01, pz = y * 0.01;
                const double py = 0.05 * ((x * 7 + y * 13) % 17) + r.unit() * 0.01;
                text += "v";
                put_float(text, px - 1.0);
                put_float(text, py);
                put_float(text, pz - 1.0);
                text += "\nvt";
                put_float(text, static_cast<double>(x) / w);
                put_float(text, static_cast<double>(y) / h);
                const double nx = r.unit() * 0.2 - 0.1, nz = r.unit() * 0.2 - 0.1;
                if (normals) {
                    text += "\nvn";
                    put_float(text, nx);
                    put_float(text, 0.98);
                    put_float(text, nz);
                }
                text += "\n";
            }
        const unsigned row = w + 1;
        for (unsigned t = 0; t < triangles; t++) {
            const unsigned q = t / 2, x = q % w, y = q / w;
            const unsigned a = y * row + x + 1, b = a + 1, c = a + row, d = c + 1;
            const unsigned tri[2][3] = {{a, c, b}, {b, c, d}};
            for (unsigned k : tri[t % 2])
                corners.insert(corners.end(), {k, k, k});
        }
    } else {
        const unsigned nv = std::min(3 * triangles, cap), nt = nv, nn = std::min(triangles, cap);
        for (unsigned i = 0; i < nv; i++) {
            text += "v";
            put_float(text, r.unit() * 20 - 10);
            put_float(text, r.unit() * 20 - 10);
            put_float(text, r.unit() * 20 - 10);
            text += "\nvt";
            put_float(text, r.unit());
            put_float(text, r.unit());
            text += "\n";
        }
        for (unsigned i = 0; i < nn; i++) {
            text += "vn";
            put_float(text, r.unit() * 2 - 1);
            put_float(text, r.unit() * 2 - 1);
            put_float(text, r.unit() * 2 - 1);
            text += "\n";
        }
        // Corner k of the model uses position and texture coordinate k mod nv (offset for the
        // texture coordinate) and its triangle's normal: triples never repeat.
        for (unsigned k = 0; k < 3 * triangles; k++)
            corners.insert(corners.end(), {k % nv + 1, (k + 7919) % nt + 1, k / 3 % nn + 1});
    }
    if (!normals)
        text += "s 1\n";
    for (unsigned t = 0; t < triangles; t++) {
        if (t % run == 0)
            text += "usemtl mat" + std::to_string(t / run) + "\n";
        const unsigned *k = &corners[9 * t];
        char line[128];
        if (normals)
            snprintf(line, sizeof line, "f %u/%u/%u %u/%u/%u %u/%u/%u\n", k[0], k[1], k[2], k[3],
                     k[4], k[5], k[6], k[7], k[8]);
        else
            snprintf(line, sizeof line, "f %u/%u %u/%u %u/%u\n", k[0], k[1], k[3], k[4], k[6],
                     k[7]);
        text += line;
    }
    write_file(name, text);
}

// The "large" model of make_obj as a binary glTF: the same grid, positions, normals and texture
// coordinates as floats, 32-bit indices, one primitive per material, all four sharing the
// vertex attributes.
void make_glb(const std::string &name, unsigned triangles) {
    rng r{3};
    unsigned w = 1;
    while (w * w * 2 < triangles)
        w++;
    const unsigned h = (triangles / 2 + w - 1) / w, row = w + 1;
    std::vector<float> pos, nor, uv;
    for (unsigned y = 0; y <= h; y++)
        for (unsigned x = 0; x <= w; x++) {
            const double py = 0.05 * ((x * 7 + y * 13) % 17) + r.unit() * 0.01;
            pos.insert(pos.end(), {float(x * 0.01 - 1.0), float(py), float(y * 0.01 - 1.0)});
            uv.insert(uv.end(), {float(double(x) / w), float(1 - double(y) / h)});
            const double nx = r.unit() * 0.2 - 0.1, nz = r.unit() * 0.2 - 0.1;
            const double len = std::sqrt(nx * nx + 0.98 * 0.98 + nz * nz);
            nor.insert(nor.end(), {float(nx / len), float(0.98 / len), float(nz / len)});
        }
    std::vector<uint32_t> idx;
    for (unsigned t = 0; t < triangles; t++) {
        const unsigned q = t / 2, x = q % w, y = q / w;
        const unsigned a = y * row + x, b = a + 1, c = a + row, d = c + 1;
        if (t % 2 == 0)
            idx.insert(idx.end(), {a, c, b});
        else
            idx.insert(idx.end(), {b, c, d});
    }
    qzt::gltf_builder g;
    const int p = g.positions(pos), n = g.floats(nor, "VEC3", 3), u = g.floats(uv, "VEC2", 2);
    const int indices = g.view(idx);
    std::string primitives;
    const unsigned run = (triangles + 3) / 4;
    for (unsigned m = 0; m * run < triangles; m++) {
        const unsigned count = std::min(run, triangles - m * run) * 3;
        const int a = g.accessor(indices, qzt::GL_UINT, count, "SCALAR",
                                 ", \"byteOffset\": " + std::to_string(m * run * 12));
        primitives +=
            std::string(m == 0 ? "" : ", ") +
            "{\"attributes\": {\"POSITION\": " + std::to_string(p) +
            ", \"NORMAL\": " + std::to_string(n) + ", \"TEXCOORD_0\": " + std::to_string(u) +
            "}, \"indices\": " + std::to_string(a) + ", \"material\": " + std::to_string(m) + "}";
        g.materials.push_back("{\"name\": \"mat" + std::to_string(m) + "\"}");
    }
    g.meshes.push_back("{\"primitives\": [" + primitives + "]}");
    g.nodes.push_back("{\"name\": \"bench\", \"mesh\": 0}");
    write_file(name, g.glb());
}

void usage() {
    fputs("usage: qzb_gen tree DIR COUNT | mixed FILE MIB | obj FILE TRIANGLES "
          "shared|distinct|materials|smooth|large | glb FILE TRIANGLES\n",
          stderr);
    exit(2);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4)
        usage();
    const std::string what = argv[1];
    const unsigned n = static_cast<unsigned>(strtoul(argv[3], nullptr, 10));
    if (what == "tree")
        make_tree(argv[2], n);
    else if (what == "mixed")
        make_mixed(argv[2], n);
    else if (what == "glb" && n >= 1)
        make_glb(argv[2], n);
    else if (what == "obj" && argc == 5 && n >= 1) {
        // "materials": the shared grid with a material of its own for every triangle; "smooth":
        // the shared grid without normals; "large": the shared grid in four materials, half as
        // many of each of v, vt and vn as triangles, as a large scanned or sculpted model is.
        const std::string kind = argv[4];
        const unsigned run = kind == "materials" ? 1 : kind == "large" ? (n + 3) / 4 : 4096;
        make_obj(argv[2], n, kind != "distinct", run, kind != "smooth");
    } else
        usage();
    return 0;
}

// Fuzzing harness of the model round trip: the input bytes steer the making of a small, valid
// model (an OBJ file with positions, texture coordinates, normals and faces of three corners or
// more, with indices absolute or relative and materials taken up again; an MTL library with a
// few materials and their maps; and a paths file). The model is imported as qz_import
// imports it, the object file is read as qz_info reads it (it must be sound), written back out
// as "qz_info -x" writes it, and the export is imported again in a directory of its own. Both
// imports must give the same object file and the same material files, byte for byte.
//
// The numbers are written in several notations (shortest, fixed, hexadecimal); whatever the first
// import reads from them is what the export must carry over. They are finite and within float
// range, and every name is one the importer takes, so the first import never refuses.
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "qz_filefunc.h"
#include "qz_info.h"
#include "qz_platform.h"
#include "qzobj_import.h"

namespace {

namespace fs = qzfuzz::fs;

// The input, read front to back; once it is used up, every choice is the first one.
struct source {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    unsigned byte() { return pos < size ? data[pos++] : 0; }
    unsigned below(unsigned n) { return byte() % n; }
    bool chance(unsigned in) { return below(in) == 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
};

float number(source &in) {
    static const float special[] = {0.0f,
                                    -0.0f,
                                    1.0f,
                                    -1.0f,
                                    0.5f,
                                    0.1f,
                                    FLT_MIN,
                                    -FLT_MIN,
                                    std::numeric_limits<float>::denorm_min(),
                                    -6.46540895e-40f,
                                    FLT_MAX,
                                    -FLT_MAX,
                                    FLT_EPSILON,
                                    16777217.0f,
                                    123456.789f,
                                    1e-8f};
    switch (in.below(5)) {
    case 0:
        return static_cast<float>(static_cast<int8_t>(in.byte()));
    case 1: {
        const unsigned low = in.byte();
        const auto n = static_cast<int16_t>(low | in.byte() << 8);
        return static_cast<float>(n) / 100.0f;
    }
    case 2: {
        uint32_t bits = in.u32();
        if ((bits & 0x7F800000) == 0x7F800000)
            bits &= ~0x40000000u; // an infinity or NaN becomes a finite number
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    case 3:
        return special[in.below(std::size(special))];
    default: {
        // Between 2^-10 and 2^10, where models live.
        const uint32_t bits = (in.u32() & 0x807FFFFF) | (117u + in.below(21)) << 23;
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    }
}

std::string text(source &in, float f) {
    static const char *const formats[] = {"%.9g", "%g", "%a", "%.3f", "%+.12e", "%.9g"};
    char buf[128];
    snprintf(buf, sizeof buf, formats[in.below(std::size(formats))], static_cast<double>(f));
    return buf;
}

std::string numbers(source &in, int n) {
    std::string s;
    for (int i = 0; i < n; i++)
        s += (i == 0 ? "" : in.chance(8) ? "  " : " ") + text(in, number(in));
    return s;
}

// A name of up to max bytes, none of them a line end or a NUL, nor one of the bytes in refused.
// Blanks and tabs around a name are no part of it, and a record keeps its first 32 bytes: a name
// whose first, last or 32nd byte is one would not read back as the record holds it.
std::string name(source &in, unsigned max, const char *refused) {
    std::string s;
    const unsigned len = in.below(max + 1);
    for (unsigned i = 0; i < len; i++) {
        unsigned c = in.byte();
        const bool blank = c == ' ' || c == '\t';
        if (c == 0 || c == '\n' || c == '\r' || strchr(refused, static_cast<int>(c)) != nullptr ||
            (blank && (i == 0 || i == 31 || i + 1 == len)))
            c = 'a' + c % 26;
        s += static_cast<char>(c);
    }
    return s;
}

// The keyword with each letter in either case: the MTL reader ignores the case of its keywords.
std::string any_case(source &in, const char *keyword) {
    std::string s = keyword;
    if (in.chance(4))
        for (char &c : s)
            if (c >= 'a' && c <= 'z' && in.chance(2))
                c = static_cast<char>(c - 'a' + 'A');
    return s;
}

struct model {
    std::string obj, mtl, paths;
    bool have_paths = false;
    std::vector<std::string> textures;
    bool crlf = false;
    bool bom = false;      // a UTF-8 byte order mark in front of each file
    bool open_end = false; // no line feed behind each file's last line
};

const char *const maps[] = {"map_Kd", "map_Ks", "map_bump"};

std::string make_mtl(source &in, const std::vector<std::string> &materials,
                     const std::vector<std::string> &textures) {
    std::string mtl = "# materials\n";
    std::vector<std::array<bool, 3>> slots(materials.size());
    size_t next = 0; // every material is defined once at least
    unsigned reopened = 0;
    while (next < materials.size()) {
        // Now and then an earlier material is opened again, which changes it.
        const bool reopen = next > 0 && reopened < 4 && in.chance(6);
        reopened += reopen;
        const size_t m = reopen ? in.below(static_cast<unsigned>(next)) : next++;
        mtl += "newmtl " + materials[m] + "\n";
        for (unsigned lines = in.below(7); lines > 0; lines--) {
            const unsigned s = in.below(3);
            switch (in.below(7)) {
            case 0:
                mtl += any_case(in, "d ") + text(in, number(in)) + "\n";
                break;
            case 1:
                mtl += any_case(in, "qzflags ") +
                       (in.chance(8) ? "-" + std::to_string(in.byte())
                                     : std::to_string(in.chance(2) ? in.byte() : in.u32())) +
                       "\n";
                break;
            case 2:
            case 3:
                mtl += any_case(in, maps[s]) + " " +
                       textures[in.below(static_cast<unsigned>(textures.size()))] + "\n";
                slots[m][s] = true;
                break;
            case 4:
                if (slots[m][s])
                    mtl += any_case(in, maps[s]) + "_alpha " + std::to_string(in.u32() % 300) +
                           " " + std::to_string(in.byte()) + "\n";
                break;
            case 5:
                mtl += in.chance(2) ? "Ka " + numbers(in, 3) + "\n" : "Kd 0.8 0.6 0.4\n";
                break;
            default:
                mtl += in.chance(2) ? "\n" : "illum 2\n";
            }
        }
    }
    return mtl;
}

// One index of a corner: counted from 1 among all the elements the model will have, or now and
// then counted back from the last of those defined so far.
std::string index(source &in, unsigned all, unsigned so_far) {
    if (so_far > 0 && in.chance(4))
        return "-" + std::to_string(1 + in.below(so_far));
    return std::to_string(1 + in.below(all));
}

std::string corner(source &in, const unsigned (&all)[3], const unsigned (&so_far)[3]) {
    return index(in, all[0], so_far[0]) + "/" + index(in, all[1], so_far[1]) + "/" +
           index(in, all[2], so_far[2]);
}

model make_model(source &in) {
    model md;
    md.crlf = in.chance(8);
    md.bom = in.chance(8);
    md.open_end = in.chance(8);

    // Texture files, made in both directories. Blanks in front of a name would only separate it
    // from its keyword.
    for (unsigned n = 1 + in.below(3); n > 0; n--)
        md.textures.push_back("t" + name(in, 27, "/\\") + ".tga");

    // Materials: their files are named after the first 32 bytes of the name ("unnamed" for
    // none), which must differ, and must put the file in the model's directory.
    std::vector<std::string> materials;
    std::set<std::string> stems;
    const auto stem = [](const std::string &m) { return m.empty() ? "unnamed" : m.substr(0, 32); };
    for (unsigned n = in.below(5); n > 0; n--) {
        std::string m = name(in, in.chance(4) ? 40 : 8, "/\\:");
        if (stem(m) == "..")
            m += "x";
        for (unsigned k = 0; !stems.insert(stem(m)).second; k++)
            m = "m" + std::to_string(k);
        materials.push_back(m);
    }
    if (!materials.empty() || in.chance(4))
        md.mtl = make_mtl(in, materials, md.textures);

    std::string &obj = md.obj;
    obj = "# generated\n";
    if (!md.mtl.empty())
        obj += "mtllib m.mtl\n";
    if (!md.mtl.empty() && in.chance(8))
        obj += "mtllib m.mtl\n"; // read again: nothing changes
    const unsigned nv = 1 + in.below(16), nt = 1 + in.below(16), nn = 1 + in.below(16);
    const unsigned nf = in.below(25);
    unsigned v = 0, t = 0, n = 0, f = 0;
    bool named = false;
    int active = -1;
    // Any material, one used before too: its faces join its run.
    const auto select = [&] {
        if (materials.empty())
            return;
        const auto m = in.below(static_cast<unsigned>(materials.size()));
        obj += "usemtl " + materials[m] + "\n";
        active = static_cast<int>(m);
    };
    // Once the input is used up, or after enough other lines, each step makes progress.
    for (unsigned step = 0; v < nv || t < nt || n < nn || f < nf; step++) {
        const unsigned progress = v < nv ? 0 : t < nt ? 1 : n < nn ? 2 : 3;
        switch (step < 200 && in.pos < in.size ? in.below(8) : progress) {
        case 0:
            if (v < nv) {
                obj += "v " + numbers(in, 3) + (in.chance(8) ? " 1" : "") + "\n";
                v++;
            }
            break;
        case 1:
            if (t < nt) {
                obj += "vt " + numbers(in, 2) + (in.chance(8) ? " 0" : "") + "\n";
                t++;
            }
            break;
        case 2:
            if (n < nn) {
                obj += "vn " + numbers(in, 3) + "\n";
                n++;
            }
            break;
        case 3:
        case 4:
            // A face may name elements defined further down: they are checked at the end.
            if (f < nf) {
                if (!materials.empty() && in.chance(3))
                    select();
                if (active >= 0 && in.chance(8))
                    obj += "usemtl " + materials[static_cast<size_t>(active)] + "\n";
                // Mostly triangles; polygons of up to 9 corners, with repeated corners at times.
                const unsigned all[3] = {nv, nt, nn}, so_far[3] = {v, t, n};
                obj += "f";
                for (unsigned c = in.chance(3) ? 4 + in.below(6) : 3; c > 0; c--)
                    obj += " " + corner(in, all, so_far);
                obj += in.chance(16) ? " # comment\n" : "\n";
                f++;
            }
            break;
        case 5:
            if (!named && in.chance(2)) {
                // The importer takes "Mesh_" off the front: what follows is the name.
                std::string n = name(in, 40, "");
                if (n.compare(0, 5, "Mesh_") == 0)
                    n[0] = 'x';
                obj += "o " + std::string(in.chance(2) ? "Mesh_" : "") + n + "\n";
                named = true;
            }
            break;
        case 6:
            obj += in.chance(2) ? "s 1\n" : "g group\n";
            break;
        default:
            obj += "\n";
        }
    }
    // Materials selected after the last face have runs without faces.
    for (size_t k = 0; k < materials.size() && in.chance(3); k++)
        select();

    if (in.chance(2)) {
        md.have_paths = true;
        std::string &p = md.paths;
        p = "# points\n";
        for (unsigned points = in.below(5); points > 0; points--) {
            p += "name " + name(in, 40, "") + "\n";
            for (unsigned lines = in.below(4); lines > 0; lines--) {
                switch (in.below(4)) {
                case 0:
                    p += "pos " + numbers(in, 3) + "\n";
                    break;
                case 1:
                    p += "quat " + numbers(in, 4) + "\n";
                    break;
                case 2:
                    p += "rotation " + numbers(in, 3) + "\n";
                    break;
                default:
                    p += in.chance(2) ? "\n" : "# note\n";
                }
            }
        }
    }
    return md;
}

std::string crlf(const std::string &s) {
    std::string r;
    for (char c : s)
        r += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return r;
}

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The material files of a directory, by name.
std::map<std::string, std::string> material_files(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ".material_new")
            files[e.path().filename().string()] = read_file(e.path());
    return files;
}

[[noreturn]] void finding(const model &md, const char *what) {
    fprintf(stderr, "%s\n--- m.obj\n%s--- m.mtl\n%s--- m.paths\n%s", what, md.obj.c_str(),
            md.mtl.c_str(), md.paths.c_str());
    abort();
}

void import(const model &md, const char *filename, const char *when) {
    try {
        import_model(filename);
    } catch (const qz_die_exit &) {
        reset_import_state();
        finding(md, when);
    }
    reset_import_state();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("model");
    verbose = 1; // the detail lines too
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    source in{data, size};
    const model md = make_model(in);
    const auto lines = [&](const std::string &s) {
        std::string text = (md.bom ? "\xEF\xBB\xBF" : "") + (md.crlf ? crlf(s) : s);
        if (md.open_end)
            text.erase(text.find_last_not_of("\r\n") + 1);
        return text;
    };

    const fs::path work = qzfuzz::enter_work_dir();
    const fs::path back = work / "2";
    fs::create_directory(back);
    qzfuzz::write_file(work / "m.obj", lines(md.obj));
    if (!md.mtl.empty())
        qzfuzz::write_file(work / "m.mtl", lines(md.mtl));
    if (md.have_paths)
        qzfuzz::write_file(work / "m.paths", lines(md.paths));
    for (const std::string &t : md.textures) {
        qzfuzz::write_file(work / t, "TGA");
        qzfuzz::write_file(back / t, "TGA");
    }

    import(md, "m.obj", "the generated model is refused");

    info_object object;
    info_reader r = {};
    r.fd = -1;
    r.show = in.chance(2);
    try {
        info_chunk top = info_open(&r, "m.object", CHUNK_OBJECT, "CHUNK_OBJECT");
        read_object(&r, &top, &object);
    } catch (const qz_die_exit &) {
        finding(md, "qz_info cannot read the object file");
    }
    plat_close(r.fd);
    if (r.violations != 0)
        finding(md, "qz_info finds the object file not sound");
    try {
        export_obj(&object, "m.object", "2\\back.obj");
        commit_outputs();
    } catch (const qz_die_exit &) {
        finding(md, "qz_info refuses to export the object");
    }

    fs::current_path(back);
    import(md, "back.obj", "the export is refused");
    fs::current_path(work);

    if (read_file(work / "m.object") != read_file(back / "back.object"))
        finding(md, "the export imports to another object file");
    if (material_files(work) != material_files(back))
        finding(md, "the export imports to other material files");
    qzfuzz::leave_work_dir();
    return 0;
}

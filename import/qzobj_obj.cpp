// The OBJ reader: positions, texture coordinates and normals into their lists, each face with
// its corners as written, the object name, and the material of each face. Only once the whole
// file is read (a face may name an element defined further down) are the corners checked and
// what they leave out filled in, for the object builder.
#include "qzobj_import.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz_filefunc.h" // parser, statements, print, die
#include "qz_platform.h" // what stands under a name

namespace {

// Something in the file that the object gets in another form, or not at all: counted and
// reported once, with the line of the first.
struct notice {
    unsigned count = 0;
    unsigned first_line = 0;
    std::vector<std::string> names; // distinct, in order of appearance
    void add(unsigned line, const std::string &name = {}) {
        if (count++ == 0)
            first_line = line;
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
};

struct reader {
    std::vector<obj_corner> corners;
    std::vector<obj_face> faces;
    std::vector<material *> runs; // in order of first "usemtl": a material's run is its place + 1
    uint64_t smooth = 0;          // smoothing group of the faces being read
    notice no_texture, no_normal, objects, undefined, lines, points, free_form, short_faces;
    notice zero_normals, scaled_normals; // given normals of no length, and of another than 1
    unsigned first_position = 0;         // the line of the first "v"
    std::vector<std::string> libraries;  // read so far, as each mtllib names it
    bool statements = false;             // a line holds a statement of the format
    unsigned first_other = 0;            // the first line that holds something else
};

} // namespace

static reader rd;

static bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A given normal is stored at unit length, as the engine shades with it: one an exporter scaled
// (assimp bakes node scales into them, MeshLab weights them by area) is scaled back. One within
// 1e-6 of unit length stays as given, bit for bit. One of no length is left at zero, for its
// corners to take their face's normal.
static void unit_normal(float *n, unsigned line) {
    const double len = std::sqrt(double{n[0]} * n[0] + double{n[1]} * n[1] + double{n[2]} * n[2]);
    if (len == 0) {
        rd.zero_normals.add(line);
    } else if (std::fabs(len - 1) > 1e-6) {
        for (int i = 0; i < 3; i++)
            n[i] = static_cast<float>(n[i] / len);
        rd.scaled_normals.add(line);
    }
}

// The coordinates of one v, vt or vn appended to its list, which counts them in count; those
// from the given'th on may be left out ("vt u" is (u, 0)), up to the end of the line or a
// comment. A coordinate that is no finite number would poison every normal and bound the object
// is part of.
static void read_floats_to_list(char *p, std::vector<float> &list, unsigned *count,
                                const char *kind, unsigned num, parser *parser,
                                unsigned given = 3) {
    if (*count == MAX_ELEMENTS)
        die("%s: line %u: more than %u %s, the most that 32-bit indices can tell apart\n",
            parser->filename, parser->nline, MAX_ELEMENTS, kind);
    ++*count;
    for (unsigned i = 0; i < num; i++) {
        char *at = p;
        while (is_blank(*at))
            at++;
        if (i >= given && (*at == '\0' || *at == '#')) {
            list.push_back(0);
            continue;
        }
        const float v = read_float(p, &p, parser);
        if (!std::isfinite(v))
            die_parser(parser, at, "%s: not a finite number\n", parser->filename);
        list.push_back(v);
    }
}

// One index of a corner, zero-based. OBJ counts from 1; an index of 0 wraps to the largest
// unsigned value and is caught with the other undefined indices after the file is read. A
// negative index counts back from the last element of its kind defined so far: -1 is that one.
static unsigned read_index(char *p, char **end, parser *parser, unsigned defined,
                           const char *kind) {
    const char *s = p;
    while (is_blank(*s))
        s++;
    if (*s != '-')
        return read_uint(p, end, parser) - 1;
    if (s[1] < '0' || s[1] > '9') // no second sign, no blank behind it
        die_parser(parser, p, "parser: expected integer\n");
    const unsigned back = read_uint(const_cast<char *>(s) + 1, end, parser);
    if (back == 0 || back > defined)
        die("face on line %u: %s index -%u is out of range (the file defines %u)\n", parser->nline,
            kind, back, defined);
    return defined - back;
}

// One corner: "v", "v/vt", "v//vn", "v/vt/vn", or "v//" (a position alone, as some converters
// write every corner of a mesh without normals).
static obj_corner parse_corner(char *p, char **end, parser *parser) {
    obj_corner c{0, 0, 0, true, true};
    parser->errinfo = "face definition needs vertex & tex & normal index";
    c.v = read_index(p, &p, parser, num_v, "position");
    if (*p == '/') {
        if (p[1] == '/') {
            p++;
            if (p[1] == '\0' || p[1] == '#' || is_blank(p[1])) {
                *end = p + 1;
                return c;
            }
        } else {
            parser->errinfo = "missing texture index, uv map coordinates created and exported?";
            c.vt = read_index(p + 1, &p, parser, num_vt, "texture");
            c.no_vt = false;
        }
        if (*p == '/') {
            parser->errinfo = "missing normal index, exported normals?";
            c.vn = read_index(p + 1, &p, parser, num_vn, "normal");
            c.no_vn = false;
        }
    }
    if (*p != '\0' && *p != '#' && !is_blank(*p))
        die_parser(parser, p, "expected index or /\n");
    *end = p;
    return c;
}

// Whether another corner follows on the line; blanks are skipped, and a comment ends the face.
static bool corner_follows(char **p) {
    while (is_blank(**p))
        ++*p;
    return **p != '\0' && **p != '#';
}

// A face of k corners makes k - 2 triangles, each of which counts toward the limit. One of fewer
// than three corners has no area to make one of.
static void read_face_def(char *p, parser *parser) {
    const auto first = static_cast<unsigned>(rd.corners.size());
    for (unsigned k = 0; corner_follows(&p); k++) {
        if (k >= 2 && nindices + k - 2 == MAX_TRIANGLES)
            die("%s: line %u: more than %u triangles, more than an object file (under 2 GiB) "
                "holds\n",
                parser->filename, parser->nline, MAX_TRIANGLES);
        rd.corners.push_back(parse_corner(p, &p, parser));
    }
    const auto count = static_cast<unsigned>(rd.corners.size() - first);
    const unsigned line = parser->nline;
    if (count < 3) {
        rd.corners.resize(first);
        rd.short_faces.add(line);
        return;
    }
    rd.faces.push_back({first, count, line, act_mat != nullptr ? act_mat->run : 0, rd.smooth});
    nindices += count - 2;
    for (unsigned i = first; i < first + count; i++) {
        if (rd.corners[i].no_vt)
            rd.no_texture.add(line);
        if (rd.corners[i].no_vn)
            rd.no_normal.add(line);
    }
}

static std::string quoted(const char *name) {
    std::string q(1, '\'');
    return q.append(name).append(1, '\'');
}

// A material may be taken up again: its triangles join its run wherever they stand in the file.
// A name that no library read so far defines leaves the faces that follow without a material.
static void set_active_material(const char *name, unsigned linenumber) {
    material *m = material_exists(material_list, name);
    if (m == nullptr) {
        rd.undefined.add(linenumber, quoted(name));
    } else if (m->run == 0) {
        rd.runs.push_back(m);
        m->run = static_cast<unsigned>(rd.runs.size());
    }
    act_mat = m;
}

// The first object names the object file; the faces of every later one join it.
static void set_object_name(const char *name, unsigned linenumber) {
    if (strncmp(name, "Mesh_", 5) == 0)
        name += 5;
    if (obj_name == nullptr)
        obj_name = xstrdup(name);
    else
        rd.objects.add(linenumber, quoted(name));
}

// A library that does not exist would lose its materials: that ends the run. Each is read once.
static void read_mtl_library(const char *name, const parser *parser) {
    std::string what;
    const int kind = plat_target_kind(name, &what);
    if (kind == 0)
        die("%s: material library '%s' on line %u does not exist\n", parser->filename, name,
            parser->nline);
    if (kind == 2)
        die("%s: material library '%s' on line %u is %s, not a file\n", parser->filename, name,
            parser->nline, what.c_str());
    // A library named again holds nothing new: reading it again would cost its whole time.
    if (std::find(rd.libraries.begin(), rd.libraries.end(), name) != rd.libraries.end())
        return;
    rd.libraries.emplace_back(name);
    read_mtl_file(name);
}

// "s" alone, "s off" and "s 0" make the faces that follow flat; "s on" puts them in a smoothing
// group of their own, apart from every numbered one. A comment may follow.
static void set_smoothing_group(char *args, parser *parser) {
    if (char *comment = strchr(args, '#'))
        *comment = '\0';
    char *word = trim_name(args);
    if (*word == '\0' || keyword_nocase(word, "off"))
        rd.smooth = 0;
    else if (keyword_nocase(word, "on"))
        rd.smooth = SMOOTHING_ON;
    else
        rd.smooth = read_uint(word, &word, parser);
}

static bool is_free_form(std::string_view keyword) {
    static const char *const words[] = {"vp",   "cstype", "deg",  "bmat", "step",
                                        "curv", "curv2",  "surf", "parm", "trim",
                                        "hole", "scrv",   "sp",   "end",  "con"};
    return std::find(std::begin(words), std::end(words), keyword) != std::end(words);
}

// The statements of numbers and indices, whose long lines the format lets a backslash at their
// end continue. A name statement ("o", "usemtl", "mtllib", ...) runs to the end of its line, a
// backslash there included, as it always has.
static bool continued_statement(std::string_view keyword) {
    static const char *const words[] = {"v", "vt", "vn", "f", "l", "p"};
    return std::find(std::begin(words), std::end(words), keyword) != std::end(words) ||
           is_free_form(keyword);
}

// The statements of the format that the object has no use for: groups, and the settings of
// display and rendering.
static bool is_ignored_statement(std::string_view keyword) {
    static const char *const words[] = {"g",          "mg",        "maplib",   "usemap",
                                        "shadow_obj", "trace_obj", "ctech",    "stech",
                                        "bevel",      "c_interp",  "d_interp", "lod"};
    return std::find(std::begin(words), std::end(words), keyword) != std::end(words);
}

static void read_obj_parse_line(parser *parser) {
    const text_statement st = split_statement(parser->line);
    const std::string_view k = st.keyword;
    char *args = st.args;
    const unsigned line = parser->nline;
    if (k == "v") {
        if (num_v == 0)
            rd.first_position = line;
        read_floats_to_list(args, v_list, &num_v, "positions (v)", 3, parser);
    } else if (k == "vt")
        read_floats_to_list(args, vt_list, &num_vt, "texture coordinates (vt)", 2, parser, 1);
    else if (k == "vn") {
        read_floats_to_list(args, vn_list, &num_vn, "normals (vn)", 3, parser);
        unit_normal(&vn_list[vn_list.size() - 3], parser->nline);
    } else if (k == "f")
        read_face_def(args, parser);
    else if (k == "s")
        set_smoothing_group(args, parser);
    else if (k == "o")
        set_object_name(trim_name(args), line);
    else if (k == "mtllib")
        read_mtl_library(trim_name(args), parser);
    else if (k == "usemtl")
        set_active_material(trim_name(args), line);
    else if (k == "l")
        rd.lines.add(line);
    else if (k == "p")
        rd.points.add(line);
    else if (is_free_form(k))
        rd.free_form.add(line, std::string(k));
    else if (!is_ignored_statement(k) && !k.empty() && k[0] != '#') {
        if (rd.first_other == 0)
            rd.first_other = line;
        return;
    }
    if (!k.empty() && k[0] != '#')
        rd.statements = true;
}

static void check_index(unsigned idx, unsigned count, const char *kind, unsigned line) {
    if (idx >= count)
        die("face on line %u: %s index %u is out of range (the file defines %u)\n", line, kind,
            idx + 1, count);
}

// The writer reads the lists without bounds, so nothing undefined may reach it.
static void check_face_indices() {
    for (const obj_face &f : rd.faces) {
        for (unsigned i = f.first_corner; i < f.first_corner + f.count; i++) {
            const obj_corner &c = rd.corners[i];
            check_index(c.v, num_v, "position", f.line);
            if (!c.no_vt)
                check_index(c.vt, num_vt, "texture", f.line);
            if (!c.no_vn)
                check_index(c.vn, num_vn, "normal", f.line);
        }
    }
}

// What the file held that the object gets in another form or not at all, one line per kind, in
// the order of the first line of each.
static void print_notices(const char *filename) {
    std::vector<std::pair<unsigned, std::string>> lines;
    const auto add = [&](const notice &n, const std::string &text) {
        if (n.count != 0)
            lines.emplace_back(n.first_line, formatted("[warn] %s: ", filename) + text);
    };
    const auto skipped = [&](const notice &n, const std::string &what) {
        add(n, formatted("%u %s skipped, the first on line %u: an object holds faces only\n",
                         n.count, what.c_str(), n.first_line));
    };
    add(rd.no_texture, formatted("%u corners without a texture coordinate get (0, 0), the first "
                                 "on line %u\n",
                                 rd.no_texture.count, rd.no_texture.first_line));
    add(rd.no_normal, formatted("%u corners without a normal get one made from their faces, the "
                                "first on line %u\n",
                                rd.no_normal.count, rd.no_normal.first_line));
    add(rd.zero_normals, formatted("%u given normals of no length take their faces' normals, the "
                                   "first on line %u\n",
                                   rd.zero_normals.count, rd.zero_normals.first_line));
    add(rd.scaled_normals,
        formatted("%u given normals scaled to unit length, the first on line %u\n",
                  rd.scaled_normals.count, rd.scaled_normals.first_line));
    add(rd.objects, formatted("%u objects merged into the first, '%s': %s, the first on line %u\n",
                              rd.objects.count + 1, obj_name,
                              joined_names(rd.objects.names).c_str(), rd.objects.first_line));
    add(rd.undefined,
        formatted("%u usemtl statements name a material that no library defines (%s), the first "
                  "on line %u: their faces belong to no material\n",
                  rd.undefined.count, joined_names(rd.undefined.names).c_str(),
                  rd.undefined.first_line));
    skipped(rd.short_faces, "faces of fewer than three corners");
    skipped(rd.lines, "line statements (l)");
    skipped(rd.points, "point statements (p)");
    skipped(rd.free_form, "free-form statements (" + joined_names(rd.free_form.names) + ")");
    if (rd.faces.empty()) // a point cloud, or a drawing of lines
        add(notice{num_v, rd.first_position, {}},
            formatted("%u positions and no face, the first on line %u: the object is empty\n",
                      num_v, rd.first_position));
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[line, text] : lines)
        print(0, "%s", text.c_str());
}

int read_obj_file(const char *filename) {
    {
        const parser_guard guard(init_parser(filename, continued_statement));
        parser *parser = guard.ps;
        while (parser->line != nullptr) {
            read_obj_parse_line(parser);
            parser_read_line(parser);
        }
    }
    // A file of another format (COLLADA, a text PLY, JSON) reads as lines of unknown statements:
    // an empty object would pass for its conversion.
    if (!rd.statements && rd.first_other != 0)
        die("%s holds no OBJ statement (is it a model of another format?)\n", filename);
    check_face_indices();
    print_notices(filename);
    build_object(rd.faces, rd.corners, rd.runs, filename, rd.no_texture.count != 0,
                 rd.no_normal.count != 0 || rd.zero_normals.count != 0);
    return 0;
}

void reset_obj_reader() {
    reset_object_builder();
    rd = reader{};
}

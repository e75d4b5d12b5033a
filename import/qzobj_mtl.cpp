// The MTL reader: one material node per name, its record with the engine's fixed defaults, and
// up to three texture slots. Only opacity, the engine's flag byte, three maps and their alpha
// settings are taken from the file.
#include "qzobj_import.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qz_filefunc.h" // parser, print, die, file_exists
#include "qz_platform.h" // names the system can hold

// The three maps differ only in their slot, their alpha defaults and their words.
struct texture_map {
    const char *keyword;
    const char *alpha_keyword;
    qz_tex *material::*slot;
    uint8_t alpha_channel;
    uint8_t alpha_bits;
    const char *no_material;   // format; given the line number, used or not
    const char *no_texture;    // format: MTL file, texture file, line number
    const char *note;          // format: texture file, line number
    const char *alpha_missing; // format: line number
    const char *alpha_note;    // format: channel, bits, line number
};

static const texture_map texture_maps[] = {
    {"map_Kd", "map_Kd_alpha", &material::diffusemap, 0, 8, "missing newmtl statement\n",
     "%s: referenced texture doesn't exist '%s' on line %u\n", "map_Kd:   texture: '%s' @%u\n",
     "map_Kd not defined yet on line %u\n",
     "map_Kd_alpha: alphaChannel: 0x%02x alphaBits: 0x%02x @%u\n"},
    {"map_Ks", "map_Ks_alpha", &material::specularmap, 0, 0,
     "missing newmtl statement on line %u\n",
     "%s: referenced texture doesn't exist: '%s' on line %u\n", "map_Ks:   texture: '%s' @%u\n",
     "map_Ks not defined yet on line %u\n",
     "map_Ks_alpha: alphaChannel: 0x%02x alphaBits: 0x%02x @%u\n"},
    {"map_bump", "map_bump_alpha", &material::normalmap, 1, 8, "missing newmtl statement\n",
     "%s: referenced texture doesn't exist: '%s' on line %u\n", "map_bump: texture: '%s' @%u\n",
     "map_bump not defined yet on line %u\n",
     "map_bump_alpha: alphaChannel: 0x%02x alphaBits: 0x%02x @%u\n"},
};

// material_list's nodes by name and by the name their record and file take (the first 32 bytes
// of the name), and its last node, so that neither a lookup nor an append walks the list:
// thousands of materials cost time in proportion to their number. Rebuilt from the list when the
// list is not the one indexed (an import that starts afresh empties it).
static std::unordered_map<std::string_view, material *> material_index;
static std::unordered_map<std::string_view, material *> stem_index;
static const material *indexed_list;
static material *indexed_last;

// The part of a name that the record holds and the material file is named after.
static std::string_view stem(const char *name) {
    return std::string_view(name, text_name_length(name, QZ_RECORD_NAME_LEN));
}

// A material without a name still needs a name for its record and its file.
static const char *record_name(const char *name) {
    return name[0] != '\0' ? name : "unnamed";
}

static void enter_material(material *m) {
    material_index.emplace(m->name, m);
    stem_index.emplace(stem(m->qzmat->name), m);
    indexed_last = m;
}

static void index_materials() {
    if (indexed_list == material_list && material_index.size() == nmaterials)
        return;
    material_index.clear();
    stem_index.clear();
    indexed_last = nullptr;
    for (material *m = material_list; m != nullptr; m = m->next)
        enter_material(m);
    indexed_list = material_list;
}

material *material_exists(material *m, const char *materialname) {
    if (m != nullptr && m == material_list) {
        index_materials();
        const auto found = material_index.find(materialname);
        return found != material_index.end() ? found->second : nullptr;
    }
    for (; m != nullptr; m = m->next)
        if (strcmp(m->name, materialname) == 0)
            return m;
    return nullptr;
}

// A material's file is named after the first 32 bytes of its name. A separator, a drive prefix
// or ".." there would put the file somewhere else than the model's directory, and a name the
// system cannot hold as it stands (a device name such as "NUL" on Windows) nowhere. Two names
// that agree in those bytes would give two records of one name and one file for both.
bool material_file_allowed(const char *name, const material **twin) {
    index_materials();
    const std::string file_stem(stem(record_name(name)));
    const std::string file = file_stem + ".material_new";
    const auto found = stem_index.find(file_stem);
    *twin = found != stem_index.end() ? found->second : nullptr;
    return file_stem.find_first_of("/\\:") == std::string::npos && file_stem != ".." &&
           plat_name_allowed(file.c_str());
}

static void check_material_name(const char *name, const char *filename, unsigned line) {
    const material *twin = nullptr;
    if (!material_file_allowed(name, &twin))
        die("%s: material name '%s' on line %u would put its file outside the working "
            "directory\n",
            filename, name, line);
    if (twin != nullptr)
        die("%s: materials '%s' and '%s' (line %u) agree in their first %u bytes, which name "
            "their records and files\n",
            filename, twin->name, name, line, QZ_RECORD_NAME_LEN);
}

static qz_material *new_material_record(const char *name) {
    auto *r = static_cast<qz_material *>(xcalloc(1, sizeof(qz_material)));
    copy_text_name(r->name, name, sizeof r->name);
    r->opacity = 0xFF;
    r->glossiness = 4;
    r->ambient.c = {0x80, 0x80, 0x80, 0xFF};
    r->diffuse.c = {0x80, 0x80, 0x80, 0xFF};
    r->specular.c = {0xFF, 0xFF, 0xFF, 0xFF};
    r->illumination.c = {0xFF, 0xFF, 0xFF, 0xFF};
    return r;
}

static material *start_material(const char *name, const char *filename, unsigned line) {
    if (verbose)
        print(1, "newmtl: %s @%u\n", name, line);
    material *m = material_exists(material_list, name);
    if (m != nullptr) {
        print(0, "[warn] Material %s already defined, old material data will be overwritten\n",
              name);
        return m;
    }
    index_materials();
    check_material_name(name, filename, line);
    if (nmaterials == MAX_MATERIALS)
        die("%s: line %u: more than %u materials, more than an object file (under 2 GiB) "
            "holds\n",
            filename, line, MAX_MATERIALS);
    return add_material(name);
}

material *add_material(const char *name) {
    index_materials();
    material *m = static_cast<material *>(xcalloc(1, sizeof(material)));
    m->name = xstrdup(name);
    m->qzmat = new_material_record(record_name(name));
    (indexed_last != nullptr ? indexed_last->next : material_list) = m;
    indexed_list = material_list;
    enter_material(m);
    nmaterials++;
    return m;
}

// Opacity is stored as a byte; values outside 0..1 are held at the nearest end rather than
// wrapped, so a slightly high "d 1.01" stays opaque.
uint8_t opacity_byte(float d) {
    const float v = d * 255;
    if (!(v > 0)) // NaN too
        return 0;
    return v >= 255 ? 0xFF : static_cast<uint8_t>(v);
}

static void read_texture_map(const texture_map &map, const char *texname, material *m,
                             const char *filename, unsigned line) {
    if (m == nullptr)
        die(map.no_material, line);
    if (map.slot == &material::diffusemap) {
        free(m->texture);
        m->texture = xstrdup(texname);
    }
    if (!file_exists(texname))
        die(map.no_texture, filename, texname, line);
    // A texture kept outside the model's folder (exporters write the absolute path of an image
    // kept elsewhere) cannot be found by that path where the model is used: the material names
    // its file, which must go beside the model.
    const char *stored = plat_path_leaves_dir(texname) ? plat_file_part(texname) : texname;
    // A name cut to fit its field would send the engine to a file that does not exist.
    if (strlen(stored) > QZ_RECORD_NAME_LEN)
        die("%s: texture name '%s' on line %u is %zu bytes long, a material holds names of at "
            "most %u bytes\n",
            filename, stored, line, strlen(stored), QZ_RECORD_NAME_LEN);
    if (stored != texname)
        print(0,
              "[warn] %s: texture '%s' on line %u lies outside the model's folder: the material "
              "names it '%s', the name by which alone the engine finds it; ship the file beside "
              "the model\n",
              filename, texname, line, stored);
    if (verbose)
        print(2, map.note, stored, line);
    set_texture(m, static_cast<int>(&map - texture_maps), stored);
}

void set_texture(material *m, int slot, const char *file) {
    const texture_map &map = texture_maps[slot];
    // A map given again starts afresh: the slot is refilled, its alpha settings with it.
    qz_tex *t = m->*map.slot;
    if (t == nullptr)
        t = m->*map.slot = static_cast<qz_tex *>(xcalloc(1, sizeof(qz_tex)));
    *t = qz_tex{};
    t->amount = 0xFF;
    t->alphaChannel = map.alpha_channel;
    t->alphaBits = map.alpha_bits;
    t->tileU = 0xFF;
    t->tileV = 0xFF;
    copy_name_field(t->file, file, sizeof t->file);
}

static void read_texture_alpha(const texture_map &map, char *p, material *m, parser *parser) {
    const unsigned channel = read_uint(p, &p, parser);
    const unsigned bits = read_uint(p, &p, parser);
    qz_tex *t = m != nullptr ? m->*map.slot : nullptr;
    if (t == nullptr)
        die(map.alpha_missing, parser->nline);
    t->alphaChannel = static_cast<uint8_t>(channel);
    t->alphaBits = static_cast<uint8_t>(bits);
    if (verbose)
        print(2, map.alpha_note, t->alphaChannel, t->alphaBits, parser->nline);
}

// What a library's statements left to say at its end: the newmtl statements that give no name,
// and the texture options left out, each with the line of the first.
struct unnamed_count {
    unsigned count = 0;
    unsigned first_line = 0;
    unsigned options = 0;
    unsigned first_option_line = 0;
    std::vector<const char *> option_kinds; // in the order first met
};

// The options an MTL texture statement may give before its file name, with the number of values
// each takes (-s, -o and -t one to three) and whether they are numbers. The material file has no
// place for any of them.
struct texture_option {
    const char *name;
    unsigned min, max;
    bool numbers;
};
static const texture_option texture_options[] = {
    {"-bm", 1, 1, true},      {"-s", 1, 3, true},      {"-o", 1, 3, true},
    {"-t", 1, 3, true},       {"-mm", 2, 2, true},     {"-boost", 1, 1, true},
    {"-texres", 1, 1, true},  {"-clamp", 1, 1, false}, {"-blendu", 1, 1, false},
    {"-blendv", 1, 1, false}, {"-cc", 1, 1, false},    {"-imfchan", 1, 1, false},
    {"-type", 1, 1, false}};

static bool is_blank_char(char c) {
    return c == ' ' || c == '\t';
}

// The word at p, up to a blank or the end.
static std::string_view word_at(const char *p) {
    size_t n = 0;
    while (p[n] != '\0' && !is_blank_char(p[n]))
        n++;
    return {p, n};
}

static bool is_number(std::string_view word) {
    const std::string text(word);
    char *end = nullptr;
    strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

// The texture's file name: what follows the options in front of it, the rest of the statement
// with the blanks inside it kept. The options are counted in notes. A word that begins with '-'
// and is no option, or an option without its values, starts the name.
static char *texture_file_name(char *args, unsigned line, unnamed_count *notes) {
    for (;;) {
        while (is_blank_char(*args))
            args++;
        const std::string_view word = word_at(args);
        const texture_option *option = nullptr;
        for (const texture_option &o : texture_options)
            if (word == o.name)
                option = &o;
        if (option == nullptr)
            return args;
        char *p = args + word.size();
        unsigned values = 0;
        while (values < option->max) {
            char *v = p;
            while (is_blank_char(*v))
                v++;
            const std::string_view value = word_at(v);
            if (value.empty() || (option->numbers && !is_number(value)))
                break;
            p = v + value.size();
            values++;
        }
        if (values < option->min)
            return args;
        if (notes->options++ == 0)
            notes->first_option_line = line;
        if (std::find(notes->option_kinds.begin(), notes->option_kinds.end(), option->name) ==
            notes->option_kinds.end())
            notes->option_kinds.push_back(option->name);
        args = p;
    }
}

// Handles one line; returns the current material, which a "newmtl" line changes.
static material *read_mtl_parse_line(parser *parser, const char *filename, material *m,
                                     unnamed_count *unnamed) {
    const text_statement st = split_statement(parser->line);
    const std::string_view k = st.keyword;
    char *rest = st.args;
    const unsigned n = parser->nline;
    if (k == "newmtl") {
        const char *name = trim_name(rest);
        if (name[0] == '\0' && unnamed->count++ == 0)
            unnamed->first_line = n;
        return start_material(name, filename, n);
    }
    if (keyword_nocase(k, "d")) {
        if (m == nullptr)
            die("missing newmtl statement\n");
        m->qzmat->opacity = opacity_byte(read_float(rest, &rest, parser));
        if (verbose)
            print(2, "d: opacity: 0x%02x @%u\n", m->qzmat->opacity, n);
    } else if (keyword_nocase(k, "Ka")) {
        if (verbose)
            print(2, "Ka: unsupported currently @%u\n", n);
    } else if (keyword_nocase(k, "qzflags")) {
        if (m == nullptr)
            die("missing newmtl statement\n");
        m->qzmat->flags = static_cast<uint8_t>(read_uint(rest, &rest, parser));
        if (verbose)
            print(2, "qzflags: 0x%02x @%u\n", m->qzmat->flags, n);
    } else {
        for (const texture_map &map : texture_maps) {
            if (keyword_nocase(k, map.alpha_keyword))
                read_texture_alpha(map, rest, m, parser);
            else if (keyword_nocase(k, map.keyword) ||
                     (map.slot == &material::normalmap && keyword_nocase(k, "bump")))
                read_texture_map(map, texture_file_name(trim_name(rest), n, unnamed), m, filename,
                                 n);
        }
    }
    return m;
}

void read_mtl_file(const char *filename) {
    const parser_guard guard(init_parser(filename));
    parser *parser = guard.ps;
    material *current = nullptr; // every library starts without one
    unnamed_count unnamed;
    while (parser->line != nullptr) {
        current = read_mtl_parse_line(parser, filename, current, &unnamed);
        parser_read_line(parser);
    }
    if (unnamed.count != 0)
        print(0,
              "[warn] %s: %u newmtl statements without a name, the first on line %u: the "
              "material is called 'unnamed'\n",
              filename, unnamed.count, unnamed.first_line);
    if (unnamed.options != 0) {
        std::string kinds;
        for (const char *kind : unnamed.option_kinds)
            kinds += (kinds.empty() ? "" : ", ") + std::string(kind);
        print(0, "[warn] %s: %u texture options left out (%s), the first on line %u\n", filename,
              unnamed.options, kinds.c_str(), unnamed.first_option_line);
    }
}

// The object written back as text: an OBJ with its MTL and paths files that qz_import turns into
// the same object file again, and the path points as markers for a viewer.
//
// Floats are written with nine significant digits, which read back to the same bits. Every
// vertex record becomes one position, one texture coordinate and one normal of the same number,
// and the faces name them so: the importer's sorted de-duplication then gives back the records in
// their order, and each material's first vertex and vertex count come out as before, since they
// count the distinct corners of the faces before and within its run.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qz_info.h"
#include "qz_path.h"     // write_obj_path_file_combined
#include "qz_platform.h" // streams, file identity

int force_overwrite = 0;

namespace {

FILE *open_text(const char *filename) {
    print(0, "writing: '%s'\n", filename);
    FILE *f = stage_output_stream(filename, force_overwrite);
    if (f == nullptr)
        die("fopen(%s): %s\n", filename, strerror(errno));
    return f;
}

void close_text(FILE *f, const char *filename) {
    const bool failed = ferror(f) != 0;
    if (fclose(f) != 0 || failed)
        die("write(%s) failed: %s\n", filename, strerror(errno));
}

// The importer's reading of "d": the product with 255, truncated, held inside 0..255.
uint8_t opacity_byte(float d) {
    const float v = d * 255;
    if (!(v > 0))
        return 0;
    return v >= 255 ? 0xFF : static_cast<uint8_t>(v);
}

// The shortest "d" value that the importer turns back into the same byte. The middle of the
// byte's interval is always found by four digits; the plain fraction often reads better.
std::string opacity_text(uint8_t b) {
    char buf[32];
    for (int digits = 1;; digits++)
        for (const double d : {b / 255.0, (b + 0.5) / 255.0}) {
            snprintf(buf, sizeof buf, "%.*g", digits, d);
            if (opacity_byte(strtof(buf, nullptr)) == b)
                return buf;
        }
}

void write_color(FILE *f, const char *keyword, qz_color c) {
    fprintf(f, "%s %.3g %.3g %.3g\n", keyword, c.c.r / 255.0, c.c.g / 255.0, c.c.b / 255.0);
}

// The material file of a record, beside the object.
std::string file_of(const qz_material &rec) {
    return field_text(rec.name, sizeof rec.name) + ".material_new";
}

// Reads a material file into *m: false when there is none. *violations counts the rules it
// breaks.
bool read_beside(const std::string &file, info_material *m, unsigned *violations) {
    if (!file_exists(file.c_str()))
        return false;
    info_reader r = {};
    info_chunk top = info_open(&r, file.c_str(), CHUNK_MATDEF, "CHUNK_MATDEF");
    // Closed also when a fatal error leaves early (the fuzzing build goes on after one).
    const struct closer {
        int fd;
        ~closer() { plat_close(fd); }
    } close_at_end{r.fd};
    read_material_file(&r, &top, m);
    *violations = r.violations;
    return true;
}

// The texture slots of each material, from the material files beside the object: the object
// file holds the bare records.
std::vector<info_material> material_files(const info_object *o) {
    std::vector<info_material> slots(o->materials.size());
    for (size_t i = 0; i < slots.size(); i++) {
        const qz_material &rec = o->materials[i].rec;
        unsigned violations = 0;
        const std::string file = file_of(rec);
        if (!read_beside(file, &slots[i], &violations))
            print(0, "[warn] '%s' not found: material '%s' is written without texture maps\n",
                  file.c_str(), shown_field(rec.name, sizeof rec.name).c_str());
        else if (violations != 0)
            die("'%s' is not sound: nothing is exported\n", file.c_str());
    }
    return slots;
}

void write_mtl(const info_object *o, const std::vector<info_material> &slots,
               const char *objectname, const char *mtlfile) {
    static const char *const maps[] = {"map_Kd", "map_Ks", "map_bump"}; // slot order
    FILE *f = open_text(mtlfile);
    fprintf(f, "# materials of '%s', written by qz_info\n", objectname);
    for (size_t i = 0; i < o->materials.size(); i++) {
        const qz_material &m = o->materials[i].rec;
        fprintf(f, "\nnewmtl %s\n", field_text(m.name, sizeof m.name).c_str());
        // Only for viewers: the importer gives every material its fixed colours.
        write_color(f, "Ka", m.ambient);
        write_color(f, "Kd", m.diffuse);
        write_color(f, "Ks", m.specular);
        fprintf(f, "d %s\nqzflags %u\n", opacity_text(m.opacity).c_str(), m.flags);
        for (int s = 0; s < 3; s++) {
            if (!slots[i].have_tex[s])
                continue;
            const qz_tex &t = slots[i].tex[s];
            fprintf(f, "%s %s\n%s_alpha %u %u\n", maps[s],
                    field_text(t.file, sizeof t.file).c_str(), maps[s], t.alphaChannel,
                    t.alphaBits);
        }
    }
    close_text(f, mtlfile);
}

void write_paths(const info_object *o, const char *objectname, const char *pathsfile) {
    FILE *f = open_text(pathsfile);
    fprintf(f, "# path points of '%s', written by qz_info\n", objectname);
    for (const qz_path &p : o->paths)
        fprintf(f, "\nname %s\npos %.9g %.9g %.9g\nquat %.9g %.9g %.9g %.9g\n",
                field_text(p.name, sizeof p.name).c_str(), p.pos.x, p.pos.y, p.pos.z, p.quat.x,
                p.quat.y, p.quat.z, p.quat.w);
    close_text(f, pathsfile);
}

// The materials to select, in the order of their runs. A material without faces is selected
// only where nothing follows before the next selection or the end: anywhere else it would take
// over the faces behind it. Left out, it keeps all four range fields at zero, as before.
std::vector<const qz_material *> selections(const info_object *o) {
    const size_t nidx = o->indices.size();
    std::vector<const qz_material *> sel;
    for (const info_material &m : o->materials) {
        const qz_material &q = m.rec;
        const bool followed =
            std::any_of(o->materials.begin(), o->materials.end(), [&](const info_material &n) {
                return n.rec.idx_num != 0 && n.rec.idx_start == q.idx_start;
            });
        if (q.idx_num != 0 || q.idx_start == nidx || followed)
            sel.push_back(&q);
    }
    // Runs without faces stand before the run that starts where they do.
    std::stable_sort(sel.begin(), sel.end(), [](const qz_material *a, const qz_material *b) {
        return a->idx_start != b->idx_start ? a->idx_start < b->idx_start
                                            : a->idx_num == 0 && b->idx_num != 0;
    });
    return sel;
}

void write_obj(const info_object *o, const char *objectname, const char *objfile,
               const char *mtlfile) {
    FILE *f = open_text(objfile);
    fprintf(f, "# '%s', written back by qz_info\n", objectname);
    if (mtlfile != nullptr) {
        // The importer looks for it in the OBJ's own directory.
        const char *sep = strrchr(mtlfile, '\\');
        fprintf(f, "mtllib %s\n", sep != nullptr ? sep + 1 : mtlfile);
    }
    // The importer takes "Mesh_" off the front of a name.
    const std::string name = field_text(o->obj.name, sizeof o->obj.name);
    fprintf(f, "o %s%s\n", name.compare(0, 5, "Mesh_") == 0 ? "Mesh_" : "", name.c_str());
    for (const qz_vertex &v : o->vertices)
        fprintf(f, "v %.9g %.9g %.9g\n", v.pos.x, v.pos.y, v.pos.z);
    // The engine's v runs the other way: the importer negates it.
    for (const qz_vertex &v : o->vertices)
        fprintf(f, "vt %.9g %.9g\n", v.uv[0], -v.uv[1]);
    for (const qz_vertex &v : o->vertices)
        fprintf(f, "vn %.9g %.9g %.9g\n", v.nor.x, v.nor.y, v.nor.z);
    const std::vector<const qz_material *> sel = selections(o);
    size_t next = 0;
    const auto select_up_to = [&](size_t i) {
        for (; next < sel.size() && sel[next]->idx_start <= i; next++)
            fprintf(f, "usemtl %s\n", field_text(sel[next]->name, sizeof sel[next]->name).c_str());
    };
    for (size_t i = 0; i + 2 < o->indices.size(); i += 3) {
        select_up_to(i);
        const uint32_t *t = &o->indices[i];
        fprintf(f, "f %u/%u/%u %u/%u/%u %u/%u/%u\n", t[0] + 1, t[0] + 1, t[0] + 1, t[1] + 1,
                t[1] + 1, t[1] + 1, t[2] + 1, t[2] + 1, t[2] + 1);
    }
    select_up_to(o->indices.size());
    close_text(f, objfile);
}

// Ends the run when output is the input file itself (with or without -f), or, when
// check_existing is set, when output exists and -f was not given.
void refuse_output(const char *input, const char *output, int check_existing) {
    plat_stat_info in, out;
    if (plat_stat_id(input, &in) == 0 && plat_stat_id(output, &out) == 0 && in.dev == out.dev &&
        in.ino == out.ino && in.ino != 0)
        die("'%s' is the file being read\n", output);
    if (check_existing)
        check_output_target(output, force_overwrite);
}

} // namespace

void check_material_files(info_reader *r, const info_object *o) {
    for (const info_material &m : o->materials) {
        info_material beside{};
        unsigned violations = 0;
        // A name that leads out of the folder is a violation already: nothing is looked for.
        if (name_fault(m.rec.name, sizeof m.rec.name, true) != nullptr ||
            !read_beside(file_of(m.rec), &beside, &violations))
            continue;
        if (violations != 0 || memcmp(&beside.rec, &m.rec, sizeof m.rec) != 0) {
            const info_chunk at = {m.pos, CHUNK_MATDEF, 0, 0, 0};
            info_bad(r, &at,
                     "'%s.material_new' holds another record of the material: the two "
                     "files are not of one run",
                     field_text(m.rec.name, sizeof m.rec.name).c_str());
        }
    }
}

void export_obj(const info_object *o, const char *objectname, const char *objfile) {
    char *noext = filename_noext(objfile);
    const std::string base = noext;
    free(noext);
    const std::string mtl = base + ".mtl", paths = base + ".paths";
    const char *mtlfile = o->materials.empty() ? nullptr : mtl.c_str();
    const char *pathsfile = o->paths.empty() ? nullptr : paths.c_str();
    // Nothing is written unless everything may be.
    for (const char *out : {objfile, mtlfile, pathsfile}) {
        if (out != nullptr)
            refuse_output(objectname, out, 1);
    }
    const std::vector<info_material> slots = material_files(o);
    write_obj(o, objectname, objfile, mtlfile);
    if (mtlfile != nullptr)
        write_mtl(o, slots, objectname, mtlfile);
    if (pathsfile != nullptr)
        write_paths(o, objectname, pathsfile);
}

void export_path_markers(const info_object *o, const char *objectname, const char *objfile) {
    // The library's writer has the overwrite rule of its own.
    refuse_output(objectname, objfile, 0);
    if (o->paths.empty()) {
        print(0, "[warn] no path points: '%s' is not written\n", objfile);
        return;
    }
    std::vector<path_data_ll> nodes(o->paths.size());
    for (size_t i = 0; i < nodes.size(); i++)
        nodes[i] = {o->paths[i], i + 1 < nodes.size() ? &nodes[i + 1] : nullptr};
    write_obj_path_file_combined(objfile, force_overwrite, nodes.data(), "qz_info");
}

// Fuzzing harness of qz_info: the input is a file to show and check. Its kind comes from its top
// chunk as the program tells it; a file that starts with none of the three top chunks is read as
// the kind its first byte picks, with that kind's top chunk in place of its first four bytes, so
// that a mutation of those bytes hands the rest of the file to another reader.
//
// Each file is read twice, once shown and once only checked (-c): both runs must count the same
// broken rules. Once the file is open, the readers report what is wrong and never end the run,
// since every budget of the walk stays inside the file. An object that reads as sound is also
// exported (-x, with -f) and drawn as path markers (-p), beside two material files for the export
// to take texture slots from: "A" is sound, "B" is not, and the export refuses an object that
// names it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "qz_filefunc.h"
#include "qz_info.h"
#include "qz_platform.h"

namespace {

const uint32_t kinds[] = {QZ_ARCHIVE, CHUNK_OBJECT, CHUNK_MATDEF};

std::string u32(uint32_t v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

std::string chunk(uint32_t type, const std::string &data) {
    return u32(type) + u32(static_cast<uint32_t>(data.size())) + data;
}

// A material file as the importer writes it: the record, then all three texture slots.
std::string material_file() {
    qz_material m = {};
    memcpy(m.name, "A", 1);
    m.opacity = 0x80;
    m.flags = 3;
    std::string slots;
    const uint32_t types[] = {CHUNK_MATDEF_DIFFUSEMAP, CHUNK_MATDEF_SPECULARMAP,
                              CHUNK_MATDEF_NORMALMAP};
    for (uint32_t type : types) {
        qz_tex t = {};
        t.amount = t.tileU = t.tileV = 0xFF;
        t.alphaChannel = static_cast<uint8_t>(type & 0xFF);
        t.alphaBits = 8;
        memcpy(t.file, "t.tga", 5);
        slots += chunk(type, std::string(reinterpret_cast<const char *>(&t), sizeof t));
    }
    return chunk(CHUNK_MATDEF, std::string(reinterpret_cast<const char *>(&m), sizeof m) + slots);
}

[[noreturn]] void finding(const char *what, uint32_t kind, int show) {
    fprintf(stderr, "%s (%s, %s)\n", what, chunk_type_name(kind).c_str(),
            show ? "shown" : "checked only");
    abort();
}

// Reads the file as kind, as qz_info does with or without -c. Returns the number of broken rules,
// or -1 when the file could not be opened as that kind.
long read_as(const char *filename, uint32_t kind, int show, info_object *object) {
    info_reader r = {};
    r.fd = -1;
    r.show = show;
    const std::string typestr = chunk_type_name(kind);
    info_chunk top;
    try {
        top = info_open(&r, filename, kind, typestr.c_str());
    } catch (const qz_die_exit &) {
        if (r.fd >= 0)
            finding("the run ended after the file was opened", kind, show);
        return -1;
    }
    try {
        info_material material;
        if (kind == QZ_ARCHIVE)
            read_archive(&r, &top);
        else if (kind == CHUNK_OBJECT)
            read_object(&r, &top, object);
        else
            read_material_file(&r, &top, &material);
    } catch (const qz_die_exit &) {
        finding("a reader ended the run instead of reporting", kind, show);
    }
    plat_close(r.fd);
    return r.violations;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("info");
    force_overwrite = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t kind = 0;
    if (size >= 4)
        memcpy(&kind, data, 4);
    std::string file(reinterpret_cast<const char *>(data), size);
    if (kind != QZ_ARCHIVE && kind != CHUNK_OBJECT && kind != CHUNK_MATDEF && size >= 4) {
        kind = kinds[data[0] % 3];
        file.replace(0, 4, u32(kind));
    }
    if (size < 4)
        kind = kinds[size % 3]; // too short for a header: refused whatever its kind

    const qzfuzz::fs::path work = qzfuzz::enter_work_dir();
    qzfuzz::write_file(work / "in", file);
    qzfuzz::write_file(work / "A.material_new", material_file());
    qzfuzz::write_file(work / "B.material_new", chunk(CHUNK_MATDEF, "too small"));

    info_object shown, checked;
    const long violations = read_as("in", kind, 1, &shown);
    if (read_as("in", kind, 0, &checked) != violations)
        finding("shown and checked only, the file breaks a different number of rules", kind, 0);

    if (kind == CHUNK_OBJECT && violations == 0) {
        try {
            export_obj(&shown, "in", "out.obj");
            export_path_markers(&shown, "in", "marks.obj");
            commit_outputs(); // every file of the run, or none
        } catch (const qz_die_exit &) {
            // refused: the message went to standard error, as the program would print it
        }
    }
    qzfuzz::leave_work_dir();
    return 0;
}

// The two writers: the object file (object record, vertices, indices, material records, path
// points) and one material file per material with its texture slots.
#include "qzobj_import.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "qz_filefunc.h" // print, die, chunk writers
#include "qz_platform.h" // descriptor I/O

// A chunk whose size is known beforehand is written whole instead of back-patched.
static void write_header(int fd, uint32_t type, uint32_t size, const char *filename) {
    const qz_chunk header = {type, size};
    write_all(fd, &header, sizeof header, filename);
}

static int open_output(const char *filename) {
    // Names that differ only in case name one file on Windows: the second would replace the
    // first, with -f or without.
    if (output_staged(filename))
        die("'%s' names the file of an earlier material: this system does not tell the two "
            "names apart\n",
            filename);
    check_output_target(filename, force_overwrite);
    // Written beside its target, which it replaces only when the whole import has succeeded.
    const int fd = stage_output(filename, force_overwrite);
    if (fd < 0)
        die("open output file failed: %s: '%s'\n", strerror(errno), filename);
    return fd;
}

static void close_output(int fd, const char *filename) {
    if (plat_close(fd) != 0)
        die("write(%s) failed: %s\n", filename, strerror(errno));
}

static void write_vertices(int fd, const char *filename) {
    write_header(fd, CHUNK_VERTICES, nventries * sizeof(qz_vertex) + 4, filename);
    write_all(fd, &nventries, sizeof nventries, filename);
    // Written in batches from one small buffer: a model's worth of fresh memory would cost more
    // in page faults than the conversion itself.
    qz_vertex batch[1024];
    size_t n = 0;
    for (const v_entry *e = v_entries; e != nullptr; e = e->next) {
        const float *pos = &v_list[3 * size_t{e->v_idx}];
        const float *nor = &vn_list[3 * size_t{e->vn_idx}];
        const float *uv = &vt_list[2 * size_t{e->vt_idx}];
        // The engine's texture origin is at the other edge, hence the negated v.
        batch[n++] = qz_vertex{
            {pos[0], pos[1], pos[2]}, {nor[0], nor[1], nor[2]}, 0x80808080, {uv[0], -uv[1]}};
        if (n == std::size(batch) || e->next == nullptr) {
            write_all(fd, batch, n * sizeof(qz_vertex), filename);
            n = 0;
        }
    }
}

static void write_indices(int fd, const char *filename) {
    const uint32_t count = 3 * nindices;
    write_header(fd, CHUNK_INDICES, count * 4 + 4, filename);
    write_all(fd, &count, sizeof count, filename);
    write_all(fd, v_indices.data(), count * sizeof(uint32_t), filename);
}

// The object file's length, computed in 64 bits: its chunk sizes must hold it.
static uint64_t object_file_length() {
    uint64_t paths = 0;
    for (const path_data_ll *p = path_list; p != nullptr; p = p->next)
        paths++;
    return 2 * sizeof(qz_chunk) + sizeof(qz_object) + 3 * (sizeof(qz_chunk) + 4) +
           uint64_t{nventries} * sizeof(qz_vertex) + uint64_t{nindices} * 12 +
           uint64_t{nmaterials} * (sizeof(qz_chunk) + sizeof(qz_material)) +
           paths * (sizeof(qz_chunk) + sizeof(qz_path));
}

void write_object_file(const char *filename) {
    print(0, "writing: '%s'\n", filename);
    const uint64_t length = object_file_length();
    if (length > MAX_OBJECT_FILE)
        die("%s: the object would take %llu bytes (%u vertices, %u triangles, %u materials), more "
            "than the %llu that an object file holds\n",
            filename, static_cast<unsigned long long>(length), nventries, nindices, nmaterials,
            static_cast<unsigned long long>(MAX_OBJECT_FILE));
    const uint32_t vdata_len = nventries * sizeof(qz_vertex) + 4;
    const uint32_t idata_len = nindices * 12 + 4;
    const uint32_t mdata_len = nmaterials * (sizeof(qz_chunk) + sizeof(qz_material)) + 4;
    const uint32_t objdata_len = vdata_len + idata_len + mdata_len + 3 * sizeof(qz_chunk);
    const int fd = open_output(filename);

    chunkfilepos *h_qzobject = write_chunk_start(fd, CHUNK_OBJECT, filename);
    qz_object object = {};
    copy_text_name(object.name, obj_name, sizeof object.name);
    object.quat.w = 1.0f;
    write_all(fd, &object, sizeof object, filename);

    chunkfilepos *h_qzobjectdata = write_chunk_start(fd, CHUNK_OBJECTDATA, filename);
    write_vertices(fd, filename);
    write_indices(fd, filename);
    write_header(fd, CHUNK_MATERIALS, mdata_len, filename);
    write_all(fd, &nmaterials, sizeof nmaterials, filename);
    for (const material *m = material_list; m != nullptr; m = m->next) {
        write_header(fd, CHUNK_MATDEF, sizeof(qz_material), filename);
        write_all(fd, m->qzmat, sizeof(qz_material), filename);
    }
    if (write_chunk_end(h_qzobjectdata) != objdata_len)
        die("Internal Chunk Writer error, please report");

    for (const path_data_ll *p = path_list; p != nullptr; p = p->next) {
        write_header(fd, CHUNK_PATH, sizeof(qz_path), filename);
        write_all(fd, &p->p, sizeof(qz_path), filename);
    }
    write_chunk_end(h_qzobject);
    close_output(fd, filename);
}

void write_material_files() {
    for (const material *m = material_list; m != nullptr; m = m->next) {
        // The record's name field is the name cut to 32 characters, with no terminator then.
        char name[QZ_RECORD_NAME_LEN + 1] = {};
        memcpy(name, m->qzmat->name, QZ_RECORD_NAME_LEN);
        const std::string file = std::string(name) + ".material_new";
        const char *filename = file.c_str();
        print(0, "writing material: '%s'\n", filename);
        const int fd = open_output(filename);

        chunkfilepos *statechunkmatdef = write_chunk_start(fd, CHUNK_MATDEF, filename);
        write_all(fd, m->qzmat, sizeof(qz_material), filename);
        // Always diffuse, specular, normal: the order of the format, not of the type codes.
        const struct {
            uint32_t type;
            const qz_tex *tex;
        } slots[] = {{CHUNK_MATDEF_DIFFUSEMAP, m->diffusemap},
                     {CHUNK_MATDEF_SPECULARMAP, m->specularmap},
                     {CHUNK_MATDEF_NORMALMAP, m->normalmap}};
        for (const auto &slot : slots) {
            if (slot.tex == nullptr)
                continue;
            write_header(fd, slot.type, sizeof(qz_tex), filename);
            write_all(fd, slot.tex, sizeof(qz_tex), filename);
        }
        write_chunk_end(statechunkmatdef);
        close_output(fd, filename);
    }
}

void write_embedded_images() {
    for (const embedded_image &image : embedded_images) {
        print(0, "writing image: '%s'\n", image.name.c_str());
        const int fd = open_output(image.name.c_str());
        write_all(fd, image.bytes.data(), image.bytes.size(), image.name.c_str());
        close_output(fd, image.name.c_str());
    }
}

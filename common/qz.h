// The engine's file records. Each struct is laid out exactly as it stands in the files
// (little-endian, no padding), so a record is read and written as one block.
#ifndef QZ_H
#define QZ_H

#include <cstdint>

// Every engine file is a tree of chunks: this header, then `size` bytes of data that may hold
// further chunks. The header's own 8 bytes are not counted in `size`.
struct qz_chunk {
    uint32_t type;
    uint32_t size;
};
static_assert(sizeof(qz_chunk) == 8);

struct qz_vec {
    float x, y, z;
};
static_assert(sizeof(qz_vec) == 12);

struct qz_quat {
    float x, y, z, w;
};
static_assert(sizeof(qz_quat) == 16);

// A colour: read as a little-endian u32, alpha is the most significant byte and red the least.
union qz_color {
    uint32_t abgr;
    struct {
        uint8_t r, g, b, a;
    } c;
};
static_assert(sizeof(qz_color) == 4);

// ---- Archive (.qz) ----

constexpr uint32_t QZ_ARCHIVE = 0x30315A51; // "QZ10"
constexpr const char *QZ_ARCHIVE_NAME = "QZ_ARCHIVE";
constexpr uint32_t ARCHIVE_CONTENT = 0x01000000;
constexpr uint32_t FILE_INDEX_TABLE = 0x01100000;
constexpr uint32_t INDEX_ENTRY = 0x01120000;
constexpr uint32_t BASEPATH_ENTRY = 0x01130000;
constexpr uint32_t FULLPATH_ENTRY = 0x01140000;
constexpr uint32_t FILE_STREAM = 0x01200000;
constexpr uint32_t ARCHIVE_INFO = 0x00000001;

constexpr uint32_t QZ_NAME_LEN = 128;                            // stored name field
constexpr uint32_t QZ_PATH_LEN = 128;                            // base/full path field
constexpr uint32_t QZ_INDEX_ENTRY_ROOM = sizeof(qz_chunk) + 144; // header + record

struct index_entry {
    char signature[4]; // the file's first four bytes, zero-padded
    uint32_t offset;   // start of the compressed stream, from the offset base
    uint32_t outsize;  // content length
    uint32_t insize;   // compressed stream length
    char name[QZ_NAME_LEN];
};
static_assert(sizeof(index_entry) == 144);

// ---- Object file (.object) ----

constexpr uint32_t CHUNK_OBJECT = 0x02000000;
constexpr uint32_t CHUNK_OBJECTDATA = 0x02010000;
constexpr uint32_t CHUNK_VERTICES = 0x02011000;
constexpr uint32_t CHUNK_INDICES = 0x02012000;
constexpr uint32_t CHUNK_MATERIALS = 0x02013000;
constexpr uint32_t CHUNK_MATDEF = 0x02013100;
constexpr uint32_t CHUNK_MATDEF_DIFFUSEMAP = 0x02013110;
constexpr uint32_t CHUNK_MATDEF_NORMALMAP = 0x02013120;
constexpr uint32_t CHUNK_MATDEF_SPECULARMAP = 0x02013130;
constexpr uint32_t CHUNK_PATH = 0x02600000;

constexpr unsigned QZ_RECORD_NAME_LEN = 32;

struct qz_object {
    char name[QZ_RECORD_NAME_LEN];
    qz_vec pos;
    qz_quat quat;
};
static_assert(sizeof(qz_object) == 60);

struct qz_vertex {
    qz_vec pos;
    qz_vec nor;
    uint32_t color;
    float uv[2];
};
static_assert(sizeof(qz_vertex) == 36);

// One point of interest of a model, from its paths file.
struct qz_path {
    uint32_t flags;
    char name[QZ_RECORD_NAME_LEN];
    qz_vec pos;
    qz_quat quat;
};
static_assert(sizeof(qz_path) == 64);

struct qz_material {
    char name[QZ_RECORD_NAME_LEN];
    uint8_t type;
    uint8_t flags;
    uint8_t twoSided;
    uint8_t opacity;
    uint8_t specularLevel;
    uint8_t glossiness;
    uint8_t brightness;
    uint8_t reflection;
    qz_color ambient;
    qz_color diffuse;
    qz_color specular;
    qz_color illumination;
    uint32_t vert_start;
    uint32_t vert_num;
    uint32_t idx_start;
    uint32_t idx_num;
};
static_assert(sizeof(qz_material) == 72);

struct qz_tex {
    uint8_t type;
    uint8_t amount;
    uint8_t alphaChannel;
    uint8_t alphaBits;
    uint8_t tileU;
    uint8_t tileV;
    uint8_t mirrorU;
    uint8_t mirrorV;
    char file[QZ_RECORD_NAME_LEN];
};
static_assert(sizeof(qz_tex) == 40);

#endif

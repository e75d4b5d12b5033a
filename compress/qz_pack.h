// The packer's parts that its files share: the limits of the format, the archive's checked
// writes (qz_compress.cpp), one file's deflate (qz_deflate.cpp) and the compression ahead of the
// writer (qz_ahead.cpp). Not installed: the module's interface is qz_compress.h.
#ifndef QZ_PACK_H
#define QZ_PACK_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz_compress.h"
#include "qz_filefunc.h" // progress_line

// Files pass through zlib in blocks of this size, so memory does not grow with a file.
constexpr size_t ZBUF = 16384;
// Index offsets are 32-bit and chunk positions 32-bit signed.
constexpr uint64_t FILE_LIMIT = 0xFFFFFFFF;
constexpr uint64_t ARCHIVE_LIMIT = 0x7FFFFFFF;

// ---- Large files in blocks ----
// A file over BLOCKED_FILE bytes is compressed in blocks of BLOCK bytes, each primed with the
// WINDOW bytes before it and ended on a byte boundary, the last one ending the stream. Behind one
// zlib header and followed by the Adler-32 of the whole file, made from the blocks' own, the
// pieces are one ordinary zlib stream that every inflater reads. The blocks may be compressed by
// all threads at once; their layout follows from the file's length alone, so the archive is the
// same for every -j. Smaller files keep their one-call stream.
constexpr uint64_t BLOCKED_FILE = uint64_t{1} << 20;
constexpr size_t BLOCK = size_t{256} << 10;
constexpr size_t WINDOW = 32768;

// ---- The archive's checked writes (qz_compress.cpp) ----
[[noreturn]] void write_failed(const char *archivename);
void archive_room(FILE *out, const char *archivename, uint64_t bytes);
void put(FILE *out, const char *archivename, const void *data, size_t len);

// ---- One file's stream (qz_deflate.cpp) ----

// The header deflateInit writes for the window of 32 KiB and the level: its second byte tells
// the level's kind (fastest, fast, default, best) and makes the pair a multiple of 31.
struct zlib_header {
    unsigned char bytes[2];
    zlib_header() {
        const int kind = pack_level == Z_DEFAULT_COMPRESSION ? 2
                         : pack_level < 2                    ? 0
                         : pack_level < 6                    ? 1
                         : pack_level == 6                   ? 2
                                                             : 3;
        const unsigned flags = static_cast<unsigned>(kind) << 6;
        bytes[0] = 0x78;
        bytes[1] = static_cast<unsigned char>(flags + 31 - (0x7800 + flags) % 31);
    }
};

// A deflate state with its buffers; each thread that compresses has one. Set up once and reset
// for each file: zlib's 256 KiB of state cost more to make and give back than a small file costs
// to compress, and deflateReset starts a stream exactly as a fresh deflateInit does.
struct packer {
    z_stream strm{}; // a whole file's stream
    bool ready = false;
    z_stream raw{}; // a block's: no header, no check value
    bool raw_ready = false;
    std::vector<unsigned char> block; // WINDOW bytes before a block, then the block
    unsigned char inbuf[ZBUF], outbuf[ZBUF];
    packer() = default;
    packer(const packer &) = delete;
    packer &operator=(const packer &) = delete;
    ~packer() {
        if (ready)
            deflateEnd(&strm);
        if (raw_ready)
            deflateEnd(&raw);
    }
};

// Where a file's stream goes: the archive, from where it stands, or a block of memory. Writing
// the archive, a failure ends the run at once. In memory the failure is kept, with the stream
// made up to it, for the writer to report in the file's turn: the run then stops where and as
// it stops when the writer compresses the file itself.
struct pack_output {
    FILE *archive = nullptr;
    const char *archivename = nullptr;
    unsigned char *memory = nullptr;
    size_t room = 0, length = 0;
    bool overflow = false; // the block was too small: the writer compresses the file itself
    std::string error;     // the message that ends the run
};

uint64_t block_room(uint64_t len);
bool fail(pack_output &o, const std::string &text);
bool emit(pack_output &o, const unsigned char *data, size_t n);
bool changed(pack_output &o, const char *path);
bool deflate_block(const char *path, packer &z, const unsigned char *data, size_t window_len,
                   size_t len, bool last, pack_output &o);
uLong block_check(const unsigned char *data, size_t len);
void put_check(unsigned char out[4], uLong check);
bool pack_file(const char *path, packer &z, pack_output &o, uint32_t *size, char signature[4]);

// The progress line of the file the writer puts into the archive.
extern progress_line progress;

// ---- Streams of an earlier archive (qz_reuse.cpp) ----
// Marks the files whose streams the archive at archivename holds as this run would make them;
// returns its descriptor, or -1 when there is none to take from.
int find_reusable(const char *archivename, flist *first);
void copy_reused(flist *f, int old_archive, FILE *out, const char *archivename);

// ---- Ahead of the writer (qz_ahead.cpp) ----
// Every file's stream into the archive, in scan order, with its progress lines.
void pack_files(flist *first, uint32_t n, FILE *out, const char *archivename, int old_archive);

#endif

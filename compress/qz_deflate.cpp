// One file's zlib stream, into the archive or into memory: in one call for a small file, in
// blocks primed with the window before them for a large one.
#include "qz_pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz_platform.h" // descriptor I/O

int pack_level = Z_DEFAULT_COMPRESSION;

// The most a block's raw stream takes: stored blocks of 16 KiB at worst, 5 bytes each, and the
// flush's 5.
uint64_t block_room(uint64_t len) {
    return len + (len >> 10) + 64;
}

// Ends the run, or keeps the message for the file's turn; false either way.
bool fail(pack_output &o, const std::string &text) {
    if (o.archive != nullptr)
        die("%s", text.c_str());
    o.error = text;
    return false;
}

bool emit(pack_output &o, const unsigned char *data, size_t n) {
    if (o.archive != nullptr) {
        archive_room(o.archive, o.archivename, n);
        put(o.archive, o.archivename, data, n);
        return true;
    }
    if (n > o.room - o.length) {
        o.overflow = true;
        return false;
    }
    memcpy(o.memory + o.length, data, n);
    o.length += n;
    return true;
}

bool changed(pack_output &o, const char *path) {
    return fail(o, formatted("%s changed while it was being read\n", path));
}

static bool zlib_failed(pack_output &o, const char *path, int ret) {
    return fail(o, formatted("deflate(%s) failed: zlib error %d\n", path, ret));
}

// One block's raw stream into o, primed with the window_len bytes before data.
bool deflate_block(const char *path, packer &z, const unsigned char *data, size_t window_len,
                   size_t len, bool last, pack_output &o) {
    int ret = z.raw_ready
                  ? deflateReset(&z.raw)
                  : deflateInit2_(&z.raw, pack_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                                  "1.2.5", static_cast<int>(sizeof z.raw));
    if (ret != Z_OK)
        return zlib_failed(o, path, ret);
    z.raw_ready = true;
    if (window_len != 0 && (ret = deflateSetDictionary(&z.raw, data - window_len,
                                                       static_cast<uInt>(window_len))) != Z_OK)
        return zlib_failed(o, path, ret);
    z.raw.next_in = const_cast<unsigned char *>(data);
    z.raw.avail_in = static_cast<uInt>(len);
    do {
        z.raw.next_out = z.outbuf;
        z.raw.avail_out = ZBUF;
        ret = deflate(&z.raw, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (ret == Z_STREAM_ERROR)
            return zlib_failed(o, path, ret);
        if (!emit(o, z.outbuf, ZBUF - z.raw.avail_out))
            return false;
    } while (z.raw.avail_out == 0);
    if (z.raw.avail_in != 0 || (last && ret != Z_STREAM_END))
        return zlib_failed(o, path, ret);
    return true;
}

uLong block_check(const unsigned char *data, size_t len) {
    return adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(len));
}

void put_check(unsigned char out[4], uLong check) {
    for (int i = 0; i < 4; i++)
        out[i] = static_cast<unsigned char>(check >> (24 - 8 * i));
}

progress_line progress;

// A file of size bytes in blocks, one after the other, from fd as it stands at its start.
static bool pack_blocks(int fd, const char *path, uint64_t size, packer &z, pack_output &o,
                        char signature[4]) {
    z.block.resize(WINDOW + BLOCK);
    unsigned char *data = z.block.data() + WINDOW;
    if (o.archive != nullptr)
        progress.total = size;
    const zlib_header header;
    if (!emit(o, header.bytes, sizeof header.bytes))
        return false;
    uLong check = adler32(0, nullptr, 0);
    for (uint64_t at = 0; at < size; at += BLOCK) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(BLOCK, size - at));
        const int64_t n = read_some_all(fd, data, len);
        if (n < 0)
            return fail(o, formatted("read(%s) failed: %s\n", path, strerror(errno)));
        if (static_cast<size_t>(n) != len)
            return changed(o, path);
        if (at == 0)
            memcpy(signature, data, 4);
        const bool last = at + len == size;
        if (last && read_some_all(fd, z.inbuf, 1) != 0)
            return changed(o, path); // it grew, or cannot be read to its end
        if (!deflate_block(path, z, data, at == 0 ? 0 : WINDOW, len, last, o))
            return false;
        check = adler32_combine(check, block_check(data, len), static_cast<z_off_t>(len));
        memmove(data - WINDOW, data + len - WINDOW, WINDOW); // every block but the last is larger
        if (o.archive != nullptr)
            progress_step(&progress, at + len);
    }
    unsigned char trailer[4];
    put_check(trailer, check);
    return emit(o, trailer, sizeof trailer);
}

// Compresses the file at path into one zlib stream at o and gives its length and signature.
// False when it failed, which only happens in memory.
bool pack_file(const char *path, packer &z, pack_output &o, uint32_t *size, char signature[4]) {
    const fd_guard in{plat_open_read(path)};
    if (in.fd < 0)
        return fail(o, formatted("can't open %s: %s\n", path, strerror(errno)));
    // The length as the file system records it: the same as a seek to the end would find, and
    // no extra read or seeks for each of thousands of small files.
    plat_stat_info st;
    if (plat_fstat(in.fd, &st) != 0)
        return fail(o, formatted("read(%s) failed: %s\n", path, strerror(errno)));
    // Swapped for a FIFO or a device since the scan: its place in the index is taken already.
    if (st.mode != PLAT_S_IFREG)
        return fail(o, formatted("%s changed while it was being read: it is no longer a regular "
                                 "file\n",
                                 path));
    if (st.size > FILE_LIMIT)
        return fail(o, formatted("%s is too large: %lld bytes, an archive holds files of less than "
                                 "4 GiB\n",
                                 path, static_cast<long long>(st.size)));
    *size = static_cast<uint32_t>(st.size);
    if (st.size > BLOCKED_FILE)
        return pack_blocks(in.fd, path, st.size, z, o, signature);

    // The interface version is the one the format was made with; zlib accepts any release of
    // series 1.
    int ret = z.ready ? deflateReset(&z.strm)
                      : deflateInit_(&z.strm, pack_level, "1.2.5", static_cast<int>(sizeof z.strm));
    if (ret != Z_OK)
        return zlib_failed(o, path, ret);
    z.ready = true;
    uint64_t total = 0;
    int flush_mode = Z_NO_FLUSH;
    while (flush_mode != Z_FINISH) {
        const int64_t n = read_some_all(in.fd, z.inbuf, ZBUF);
        if (n < 0)
            return fail(o, formatted("read(%s) failed: %s\n", path, strerror(errno)));
        if (total == 0) {
            // A file shorter than four bytes leaves zero bytes in the rest of its signature.
            memset(signature, 0, 4);
            memcpy(signature, z.inbuf, static_cast<size_t>(n < 4 ? n : 4));
        }
        // The index would describe a different file than the stream holds; and a file that keeps
        // growing would keep the run reading.
        if (total + static_cast<uint64_t>(n) > *size)
            return changed(o, path);
        total += static_cast<uint64_t>(n);
        flush_mode = n < static_cast<int64_t>(ZBUF) ? Z_FINISH : Z_NO_FLUSH;
        z.strm.next_in = z.inbuf;
        z.strm.avail_in = static_cast<uInt>(n);
        do {
            z.strm.next_out = z.outbuf;
            z.strm.avail_out = ZBUF;
            ret = deflate(&z.strm, flush_mode);
            if (ret == Z_STREAM_ERROR)
                return zlib_failed(o, path, ret);
            if (!emit(o, z.outbuf, ZBUF - z.strm.avail_out))
                return false;
        } while (z.strm.avail_out == 0);
        if (z.strm.avail_in != 0)
            return zlib_failed(o, path, ret);
    }
    if (ret != Z_STREAM_END)
        return zlib_failed(o, path, ret);
    if (total != *size)
        return changed(o, path);
    return true;
}

void compressfile(flist *f, FILE *out, const char *archivename) {
    const int64_t offset = plat_ftell(out);
    if (offset < 0)
        write_failed(archivename);
    f->offset = static_cast<uint32_t>(offset); // below 2 GiB: archive_room keeps it there
    static packer z;
    pack_output o;
    o.archive = out;
    o.archivename = archivename;
    pack_file(f->path, z, o, &f->size, f->signature);
    f->compressedsize = static_cast<uint32_t>(plat_ftell(out) - offset);
}

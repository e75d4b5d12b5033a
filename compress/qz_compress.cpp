// qz_compress's module: collects the files below a directory and writes them into a .qz archive.
//
// Every failure ends the run through die, so an archive is never reported as written when it
// was not; a run cut short leaves zero placeholders in the top chunk's header, which the unpacker
// refuses.
#include "qz_compress.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "qz.h"          // archive chunk types, index_entry
#include "qz_filefunc.h" // print, die, chunk writers
#include "qz_platform.h" // stat, directory enumeration, streams

int force_overwrite = 0;

// Files pass through zlib in blocks of this size, so memory does not grow with a file.
constexpr size_t ZBUF = 16384;
// Index offsets are 32-bit and chunk positions 32-bit signed.
constexpr uint64_t FILE_LIMIT = 0xFFFFFFFF;
constexpr uint64_t ARCHIVE_LIMIT = 0x7FFFFFFF;

// Device and file number identify a file whatever name leads to it. A file number of 0 means the
// platform gave none, and such files are never taken as the same.
static bool same_file(const plat_stat_info &a, const plat_stat_info &b) {
    return a.ino != 0 && a.dev == b.dev && a.ino == b.ino;
}

// Every pattern that matches is marked as used, not only the first.
static bool excluded(const char *name, exclude_pattern *excludes) {
    bool any = false;
    for (; excludes != nullptr; excludes = excludes->next) {
        if (matcher(excludes->pattern, name)) {
            excludes->used = 1;
            any = true;
        }
    }
    return any;
}

// What a scope holds is released when it ends, also when a fatal error leaves it early: the
// fuzzing build goes on running after one.
struct dir_guard {
    plat_dir *d;
    ~dir_guard() {
        if (d != nullptr)
            plat_closedir(d);
    }
};
struct stream_guard {
    FILE *f;
    ~stream_guard() {
        if (f != nullptr)
            fclose(f);
    }
};
struct chunk_guard {
    chunkfilepos_f *h = nullptr; // the end call releases it
    ~chunk_guard() { free(h); }
};

// The directories from the root down to the one being read, so that a link back to one of them
// is recognised instead of being followed forever.
struct scan_level {
    plat_stat_info id;
    const char *dir;
    const scan_level *up;
};

static const char *next_entry(plat_dir *d, const char *dir) {
    const char *name = plat_readdir(d);
    if (name == nullptr && errno != 0)
        die("can't read directory %s: %s\n", dir, strerror(errno));
    return name;
}

static void take_entry(const scan_level *here, const char *prefix, flist *&last,
                       exclude_pattern *excludes, const char *name, uint32_t mode);

// Appends to the list ending at last, which always names the list's last record, so that what
// was added is known when a fatal error leaves the scan early.
static void scan(const scan_level *here, const char *prefix, flist *&last,
                 exclude_pattern *excludes) {
    const dir_guard guard{plat_opendir(here->dir)};
    plat_dir *d = guard.d;
    if (d == nullptr)
        die("Can't open directory %s: %s\n", here->dir, strerror(errno));
    // A directory read only in part would leave files out of the archive without a word. Sorted,
    // the names are all read before the first is taken.
    std::vector<std::pair<std::string, uint32_t>> sorted;
    while (const char *name = next_entry(d, here->dir)) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (sort_names)
            sorted.emplace_back(name, plat_readdir_mode(d));
        else
            take_entry(here, prefix, last, excludes, name, plat_readdir_mode(d));
    }
    std::sort(sorted.begin(), sorted.end()); // std::string compares bytes as unsigned
    for (const auto &[name, mode] : sorted)
        take_entry(here, prefix, last, excludes, name.c_str(), mode);
}

// An entry of the tree that cannot be examined ends the run, named as the user would type it.
[[noreturn]] static void unreadable(std::string path) {
    const int error = errno;
    std::replace(path.begin(), path.end(), '\\', PLAT_SEPARATOR);
    std::string what;
    if (plat_target_kind(path.c_str(), &what) == 2 && what == "a link that leads nowhere")
        die("can't read %s: it is a link that leads nowhere\n", path.c_str());
    die("can't read %s: %s\n", path.c_str(), strerror(error));
}

// One entry of the directory here; mode: what the directory tells of its kind.
static void take_entry(const scan_level *here, const char *prefix, flist *&last,
                       exclude_pattern *excludes, const char *name, uint32_t mode) {
    // The backslash separates the tools' paths: a name that holds one (POSIX allows it) would
    // lead to another file, and the file itself would be left out without a word.
    if (strchr(name, '\\') != nullptr)
        die("%s\\%s: a name with a backslash cannot be stored\n", here->dir, name);
    const std::string path = std::string(here->dir) + '\\' + name;
    // Where the system has a limit of bytes, a path beyond it is named as such.
    if (PLAT_PATH_MAX != 0 && path.size() >= PLAT_PATH_MAX)
        die("path too long (%zu bytes, at most %zu): %s\n", path.size(), PLAT_PATH_MAX - 1,
            path.c_str());
    const std::string stored = prefix != nullptr ? std::string(prefix) + '/' + name : name;
    // Only directories need their identity and only links their target: a regular file, as
    // the directory tells it, needs no stat of its own.
    plat_stat_info st{};
    if (mode == PLAT_S_IFREG)
        st.mode = PLAT_S_IFREG;
    else if (plat_stat_id(path.c_str(), &st) != 0)
        unreadable(path);

    if (st.mode == PLAT_S_IFDIR) {
        const scan_level *seen = here;
        while (seen != nullptr && !same_file(seen->id, st))
            seen = seen->up;
        if (seen != nullptr) {
            // Its files are stored already, under the names of the directory it leads to.
            print(1, "Skipping %s: it leads back to %s\n", path.c_str(), seen->dir);
            return;
        }
        const scan_level sub = {st, path.c_str(), here};
        scan(&sub, stored.c_str(), last, excludes);
        return;
    }
    if (excluded(stored.c_str(), excludes))
        return;
    // What a run of these tools killed in the middle left behind (the packer's own archive,
    // say, when it writes into the folder it packs): not the user's data.
    if (plat_is_temp_name(name)) {
        print(0, "[warn] Skipping %s: a temporary file of an interrupted run\n", path.c_str());
        return;
    }
    // A fifo or device has no fixed content to store, and reading one may never end.
    if (st.mode != PLAT_S_IFREG) {
        print(1, "Skipping %s: not a regular file\n", path.c_str());
        return;
    }
    // A longer name would be cut in the index and unpack as another file.
    if (stored.size() > QZ_NAME_LEN)
        die("%s: its stored name is %zu bytes long, an archive holds names of at most %zu "
            "bytes\n",
            path.c_str(), stored.size(), size_t{QZ_NAME_LEN});
    auto *f = static_cast<flist *>(calloc(1, sizeof(flist)));
    if (f == nullptr)
        die("out of memory\n");
    f->archivename = strdup(stored.c_str());
    f->path = strdup(path.c_str());
    if (f->archivename == nullptr || f->path == nullptr)
        die("out of memory\n");
    f->prev = last;
    if (last != nullptr)
        last->next = f;
    last = f;
}

static void free_record(flist *f);

flist *getfilelist(const char *dir, const char *prefix, flist *last, exclude_pattern *excludes) {
    scan_level top = {{}, dir, nullptr};
    if (plat_stat_id(dir, &top.id) != 0)
        die("Can't open directory %s: %s\n", dir, strerror(errno));
    flist *const before = last;
    try {
        scan(&top, prefix, last, excludes);
    } catch (...) { // the fuzzing build's fatal error: the records of this scan go
        while (last != before) {
            flist *prev = last->prev;
            free_record(last);
            last = prev;
        }
        if (before != nullptr)
            before->next = nullptr;
        throw;
    }
    return last;
}

flist *check_flist(flist *last) {
    flist *f = last;
    while (f != nullptr && f->prev != nullptr) {
        if (f->prev->next != f)
            die("!!error: flist->next(%02x) != oldflist(%02x)\n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(f->prev->next)),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(f)));
        f = f->prev;
    }
    return f;
}

static void free_record(flist *f) {
    free(f->archivename);
    free(f->path);
    free(f);
}

void free_flist(flist *first) {
    while (first != nullptr) {
        flist *next = first->next;
        free_record(first);
        first = next;
    }
}

flist *drop_archive_itself(flist *first, const char *archivename) {
    plat_stat_info archive;
    if (plat_stat_id(archivename, &archive) != 0)
        return first; // it does not exist yet, so the scan cannot have met it
    for (flist *f = first, *next; f != nullptr; f = next) {
        next = f->next;
        plat_stat_info st;
        if (plat_stat_id(f->path, &st) != 0 || !same_file(st, archive))
            continue;
        print(1, "Skipping %s: it is the output archive\n", f->path);
        (f->prev != nullptr ? f->prev->next : first) = next;
        if (next != nullptr)
            next->prev = f->prev;
        free_record(f);
    }
    return first;
}

// ---- Writing the archive ----

[[noreturn]] static void write_failed(const char *archivename) {
    die("write(%s) failed: %s\n", archivename, strerror(errno));
}

// Refuses to let the archive grow past what its 32-bit signed positions can address, before a
// position could wrap.
static void archive_room(FILE *out, const char *archivename, uint64_t bytes) {
    const int64_t pos = plat_ftell(out);
    if (pos < 0)
        write_failed(archivename);
    if (static_cast<uint64_t>(pos) + bytes > ARCHIVE_LIMIT)
        die("%s: the archive would grow past its limit of 2 GiB - 1 bytes\n", archivename);
}

static void put(FILE *out, const char *archivename, const void *data, size_t len) {
    if (fwrite(data, 1, len, out) != len)
        write_failed(archivename);
}

// Pending bytes go out before the stream is repositioned, so that a failing write is reported
// as one, naming the archive, and not as a failed seek of the chunk writer.
static void flush(FILE *out, const char *archivename) {
    if (fflush(out) != 0 || ferror(out))
        write_failed(archivename);
}

static void seek(FILE *out, const char *archivename, int64_t pos) {
    flush(out, archivename);
    if (plat_fseek(out, pos, SEEK_SET) != 0)
        write_failed(archivename);
}

static void end_chunk(FILE *out, const char *archivename, chunk_guard &chunk) {
    flush(out, archivename);
    fwrite_chunk_end(chunk.h);
    chunk.h = nullptr;
}

// ---- Compressing a file ----

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
int pack_level = Z_DEFAULT_COMPRESSION;
int sort_names = 0;

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

// The most a block's raw stream takes: stored blocks of 16 KiB at worst, 5 bytes each, and the
// flush's 5.
static uint64_t block_room(uint64_t len) {
    return len + (len >> 10) + 64;
}

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

// Ends the run, or keeps the message for the file's turn; false either way.
static bool fail(pack_output &o, const std::string &text) {
    if (o.archive != nullptr)
        die("%s", text.c_str());
    o.error = text;
    return false;
}

static bool emit(pack_output &o, const unsigned char *data, size_t n) {
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

static bool changed(pack_output &o, const char *path) {
    return fail(o, formatted("%s changed while it was being read\n", path));
}

static bool zlib_failed(pack_output &o, const char *path, int ret) {
    return fail(o, formatted("deflate(%s) failed: zlib error %d\n", path, ret));
}

// One block's raw stream into o, primed with the window_len bytes before data.
static bool deflate_block(const char *path, packer &z, const unsigned char *data, size_t window_len,
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

static uLong block_check(const unsigned char *data, size_t len) {
    return adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(len));
}

static void put_check(unsigned char out[4], uLong check) {
    for (int i = 0; i < 4; i++)
        out[i] = static_cast<unsigned char>(check >> (24 - 8 * i));
}

static progress_line progress; // of the file the writer puts into the archive

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
static bool pack_file(const char *path, packer &z, pack_output &o, uint32_t *size,
                      char signature[4]) {
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

// ---- Compressing ahead of the writer ----
// With N threads, N - 1 workers and the writer itself compress what follows the writer's turn
// into memory, taking it in scan order: a small file whole, a file in blocks block by block. The
// writer puts each piece into the archive in its turn; a writer whose next piece is not ready
// compresses the next piece instead of waiting. What the pieces made ahead hold together stays
// within a budget, taken in scan order and given back by the writer alone, so the writer never
// waits for a share: the run never waits on itself. A file that cannot fit (over 4 GiB, which
// fails) is left to the writer.

unsigned pack_threads = 1;

// Memory the pieces made ahead may hold together.
constexpr uint64_t AHEAD_BUDGET = uint64_t{64} << 20;

// A piece of work: a whole file, or one block of a file in blocks. Its stream goes into memory.
struct pack_unit {
    size_t file = 0;
    bool whole = true;
    uint64_t offset = 0; // a block's place in its file, and its length
    size_t length = 0;
    bool last = false;  // the file's last block
    uint64_t share = 0; // of the budget, from the taking to the turn; 0: left to the writer
    std::unique_ptr<unsigned char[]> memory;
    pack_output o;
    uLong check = 0;     // a block's Adler-32
    char signature[4]{}; // the first block's first bytes
    bool done = false;
};

// What the writer and the workers share; every field under the crew's lock. Units are added at
// the end only, so a unit stays where it is; a reference to one is taken under the lock.
struct pack_ahead {
    std::vector<flist *> files;
    std::vector<size_t> first_unit; // of each file measured
    std::vector<uint64_t> sizes;    // of each file in blocks, as measured
    std::deque<pack_unit> units;
    size_t next = 0; // the next unit to take
    uint64_t budget = AHEAD_BUDGET;
    workers crew;
};

// A file's units, once it is measured. A file that cannot be measured gets the share of an empty
// one: opening it fails, or it does not fit and is left to the writer.
static void add_units(pack_ahead &a, size_t k, bool measured, uint64_t size) {
    a.first_unit.push_back(a.units.size());
    a.sizes.push_back(size);
    if (measured && size > BLOCKED_FILE && size <= FILE_LIMIT) {
        for (uint64_t at = 0; at < size; at += BLOCK) {
            pack_unit &u = a.units.emplace_back();
            u.file = k;
            u.whole = false;
            u.offset = at;
            u.length = static_cast<size_t>(std::min<uint64_t>(BLOCK, size - at));
            u.last = at + u.length == size;
            u.share = block_room(u.length);
        }
        return;
    }
    pack_unit &u = a.units.emplace_back();
    u.file = k;
    u.share = !measured || size <= BLOCKED_FILE ? compressBound(static_cast<uLong>(size)) : 0;
}

// Takes the next unit, with its share of the budget, when the share is free. Called under the
// lock held by hold, which it lets go while it measures the next file: a stat costs more than
// the hand-over itself, on Windows many times more.
static bool take_next(pack_ahead &a, std::unique_lock<std::mutex> &hold, pack_unit **taken) {
    while (!a.crew.stop && a.next == a.units.size() && a.first_unit.size() < a.files.size()) {
        const size_t at = a.first_unit.size();
        hold.unlock();
        plat_stat_info st{};
        const bool measured = plat_stat(a.files[at]->path, &st) == 0;
        hold.lock();
        if (a.first_unit.size() == at) {
            add_units(a, at, measured, st.size);
            a.crew.changed.notify_all();
        }
    }
    if (a.crew.stop || a.next == a.units.size() || a.units[a.next].share > a.budget)
        return false;
    a.budget -= a.units[a.next].share;
    *taken = &a.units[a.next++];
    return true;
}

// One block of a file in blocks, read with the window before it.
static void pack_block(const char *path, pack_unit &u, packer &z) {
    z.block.resize(WINDOW + BLOCK);
    const size_t window_len = u.offset == 0 ? 0 : WINDOW;
    unsigned char *data = z.block.data() + WINDOW;
    const fd_guard in{plat_open_read(path)};
    if (in.fd < 0) {
        fail(u.o, formatted("can't open %s: %s\n", path, strerror(errno)));
        return;
    }
    size_t got = 0;
    const size_t want = window_len + u.length;
    while (got < want) {
        const int64_t n =
            plat_pread(in.fd, data - window_len + got, want - got, u.offset - window_len + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(u.o, formatted("read(%s) failed: %s\n", path, strerror(errno)));
            return;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got != want || (u.last && plat_pread(in.fd, z.inbuf, 1, u.offset + u.length) != 0)) {
        changed(u.o, path);
        return;
    }
    memcpy(u.signature, data, 4);
    if (deflate_block(path, z, data, window_len, u.length, u.last, u.o))
        u.check = block_check(data, u.length);
}

static void pack_ahead_unit(pack_ahead &a, pack_unit &u, packer &z) {
    u.memory.reset(u.share != 0 ? new (std::nothrow) unsigned char[u.share] : nullptr);
    if (u.memory != nullptr) {
        u.o.memory = u.memory.get();
        u.o.room = u.share;
        flist *f = a.files[u.file];
        if (u.whole)
            pack_file(f->path, z, u.o, &f->size, f->signature);
        else
            pack_block(f->path, u, z);
    } else {
        u.o.overflow = true;
    }
    {
        const std::lock_guard<std::mutex> hold(a.crew.lock);
        u.done = true;
    }
    a.crew.changed.notify_all();
}

static void pack_worker(pack_ahead &a) {
    const auto z = std::make_unique<packer>();
    for (;;) {
        pack_unit *u;
        {
            std::unique_lock<std::mutex> hold(a.crew.lock);
            while (!take_next(a, hold, &u)) {
                if (a.crew.stop ||
                    (a.next == a.units.size() && a.first_unit.size() == a.files.size()))
                    return;
                a.crew.changed.wait(hold);
            }
        }
        pack_ahead_unit(a, *u, *z);
    }
}

// Runs units until ready() holds, evaluated under the lock: only the writer calls this, in its
// turn, to wait for its file's units while it makes what follows.
template <typename Ready> static void run_until(pack_ahead &a, packer &mine, Ready ready) {
    for (;;) {
        pack_unit *other;
        {
            std::unique_lock<std::mutex> hold(a.crew.lock);
            if (ready())
                return;
            // The budget only grows when this thread gives shares back: without a unit to take
            // now, the turn's unit is all there is to wait for.
            if (!take_next(a, hold, &other)) {
                a.crew.changed.wait(hold, ready);
                return;
            }
        }
        pack_ahead_unit(a, *other, mine);
    }
}

// Unit i once it is done.
static pack_unit &finished(pack_ahead &a, size_t i, packer &mine) {
    run_until(a, mine, [&] { return a.units[i].done; });
    const std::lock_guard<std::mutex> hold(a.crew.lock);
    return a.units[i];
}

// The writer gives a unit's memory and share back.
static void release(pack_ahead &a, pack_unit &u) {
    u.memory.reset();
    {
        const std::lock_guard<std::mutex> hold(a.crew.lock);
        a.budget += u.share;
    }
    a.crew.changed.notify_all();
}

static void put_unit(const pack_unit &u, FILE *out, const char *archivename) {
    archive_room(out, archivename, u.o.length);
    put(out, archivename, u.o.memory, u.o.length);
    if (!u.o.error.empty())
        die("%s", u.o.error.c_str());
}

// The stream of file k into the archive in its turn, from its units.
static void write_packed(pack_ahead &a, size_t k, packer &mine, FILE *out,
                         const char *archivename) {
    flist *f = a.files[k];
    const int64_t offset = plat_ftell(out);
    if (offset < 0)
        write_failed(archivename);
    // By its turn the file is measured, or the next to be: every unit before its own is done.
    run_until(a, mine, [&] { return a.first_unit.size() > k; });
    size_t i = 0;
    uint64_t size = 0;
    {
        const std::lock_guard<std::mutex> hold(a.crew.lock);
        i = a.first_unit[k];
        size = a.sizes[k];
    }
    pack_unit &first = finished(a, i, mine);
    if (first.whole) {
        if (first.o.overflow) {
            compressfile(f, out, archivename);
        } else {
            put_unit(first, out, archivename);
            f->offset = static_cast<uint32_t>(offset);
            f->compressedsize = static_cast<uint32_t>(first.o.length);
        }
        release(a, first);
        return;
    }
    progress.total = size;
    pack_output o;
    o.archive = out;
    o.archivename = archivename;
    const zlib_header header;
    emit(o, header.bytes, sizeof header.bytes);
    uLong check = adler32(0, nullptr, 0);
    for (bool last = false; !last; i++) {
        pack_unit &b = finished(a, i, mine);
        put_unit(b, out, archivename);
        if (b.offset == 0)
            memcpy(f->signature, b.signature, 4);
        check = adler32_combine(check, b.check, static_cast<z_off_t>(b.length));
        last = b.last;
        progress_step(&progress, b.offset + b.length);
        release(a, b);
    }
    unsigned char trailer[4];
    put_check(trailer, check);
    emit(o, trailer, sizeof trailer);
    f->offset = static_cast<uint32_t>(offset);
    f->size = static_cast<uint32_t>(size);
    f->compressedsize = static_cast<uint32_t>(plat_ftell(out) - offset);
}

// Every file's stream into the archive, in scan order, with its progress lines.
static void pack_files(flist *first, uint32_t n, FILE *out, const char *archivename) {
    pack_ahead a;
    // One file keeps the threads busy only with its blocks.
    plat_stat_info st{};
    const bool one_in_blocks = n == 1 && plat_stat(first->path, &st) == 0 && st.size > BLOCKED_FILE;
    const unsigned threads = n > 1 || one_in_blocks ? pack_threads : 1;
    if (threads > 1) {
        for (flist *f = first; f != nullptr; f = f->next)
            a.files.push_back(f);
        a.crew.start(threads - 1, [&a] { pack_worker(a); });
    }
    const auto mine = a.crew.threads.empty() ? nullptr : std::make_unique<packer>();
    size_t k = 0;
    for (flist *f = first; f != nullptr; f = f->next, k++) {
        const std::string line = formatted("    %s   ", f->archivename);
        print(0, "%s", line.c_str());
        progress_start(&progress, line, true, 0);
        if (mine == nullptr)
            compressfile(f, out, archivename);
        else
            write_packed(a, k, *mine, out, archivename);
        progress_end(&progress);
        print(3, "size: %u compressedsize: %u\n", f->size, f->compressedsize);
    }
}

static void write_path_entry(FILE *out, const char *archivename, uint32_t type, const char *text) {
    const qz_chunk header = {type, QZ_PATH_LEN};
    char field[QZ_PATH_LEN];
    copy_name_field(field, text, sizeof field);
    put(out, archivename, &header, sizeof header);
    put(out, archivename, field, sizeof field);
}

void createqzarchive(const char *filename, flist *first, const char *basepath, const char *fullpath,
                     const char *info) {
    uint32_t n = 0;
    for (const flist *f = first; f != nullptr; f = f->next)
        n++;
    print(0, "Writing qz archive file: %s\n", filename);
    if (basepath != nullptr && fullpath != nullptr)
        die("Writeing basepath(%s) and fullpath(%s) is not possible\n", basepath, fullpath);
    check_output_target(filename, force_overwrite);
    // Written beside the archive and given its name only when complete: a failed run leaves an
    // archive that was there as it was.
    stream_guard output{stage_output_stream(filename, force_overwrite)};
    FILE *out = output.f;
    if (out == nullptr)
        die("can't create %s: %s\n", filename, strerror(errno));

    chunk_guard top, content, table, stream, chunk;
    top.h = fwrite_chunk_start(out, QZ_ARCHIVE);
    content.h = fwrite_chunk_start(out, ARCHIVE_CONTENT);
    const int64_t base = plat_ftell(out);
    table.h = fwrite_chunk_start(out, FILE_INDEX_TABLE);
    put(out, filename, &n, sizeof n);
    if (basepath != nullptr) {
        print(1, "Writeing basepath(%s) entry\n", basepath);
        write_path_entry(out, filename, BASEPATH_ENTRY, basepath);
    } else if (fullpath != nullptr) {
        print(1, "Writeing fullpath(%s) entry\n", fullpath);
        write_path_entry(out, filename, FULLPATH_ENTRY, fullpath);
    }

    // The entries need every file's sizes, known only once it is compressed: keep room here.
    const int64_t index = plat_ftell(out);
    print(1, "Alloc room for file index table\n");
    const uint64_t room = uint64_t{n} * QZ_INDEX_ENTRY_ROOM;
    archive_room(out, filename, room + sizeof(qz_chunk));
    seek(out, filename, index + static_cast<int64_t>(room));
    end_chunk(out, filename, table);

    stream.h = fwrite_chunk_start(out, FILE_STREAM);
    print(1, "Write compressing file stream:\n");
    pack_files(first, n, out, filename);
    end_chunk(out, filename, stream);
    const int64_t end = plat_ftell(out);

    seek(out, filename, index);
    print(1, "writing index entries for files:\n");
    for (const flist *f = first; f != nullptr; f = f->next) {
        print(2, "%s\n", f->archivename);
        const qz_chunk header = {INDEX_ENTRY, sizeof(index_entry)};
        index_entry ie = {};
        memcpy(ie.signature, f->signature, sizeof ie.signature);
        ie.offset = static_cast<uint32_t>(f->offset - base);
        ie.outsize = f->size;
        ie.insize = f->compressedsize;
        copy_name_field(ie.name, f->archivename, sizeof ie.name);
        put(out, filename, &header, sizeof header);
        put(out, filename, &ie, sizeof ie);
    }
    seek(out, filename, end);
    end_chunk(out, filename, content);

    if (info != nullptr) {
        const size_t len = strlen(info);
        archive_room(out, filename, sizeof(qz_chunk) + len);
        chunk.h = fwrite_chunk_start(out, ARCHIVE_INFO);
        put(out, filename, info, len);
        end_chunk(out, filename, chunk);
    }
    end_chunk(out, filename, top);
    output.f = nullptr;
    if (fclose(out) != 0)
        write_failed(filename);
    commit_outputs();
}

// qz_uncompress's module: walks a .qz archive and extracts every file into a fresh directory.
//
// The whole index is read (and every entry checked) before the first file is written, so a
// damaged or hostile archive is refused before it can leave half an extraction behind.
#include "qz_uncompress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <zlib.h>

#include "qz.h"          // index_entry, archive chunk types
#include "qz_filefunc.h" // print, die, chunk reader
#include "qz_platform.h" // chdir, mkdir, stat, descriptor I/O

// Deflate codes at best 258 bytes in 2 bits, so no zlib stream inflates to more than 1032 times
// its own length.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

// What the extraction keeps of an index entry: all of it but the name field, which is decoded
// once into name. An archive may hold a million entries: the field would take 128 bytes each.
struct entry_fields {
    char signature[4];
    uint32_t offset, outsize, insize;
};

struct archive_entry {
    entry_fields ie;
    uint64_t fileofs; // absolute position of the compressed stream
    std::string name; // the stored name as UTF-8 text, decoded once as a whole before any check
};

// A buffer that is released when its scope ends, also when a fatal error leaves it early (the
// fuzzing build goes on running after one).
struct buffer_guard {
    void *p;
    ~buffer_guard() { free(p); }
};

// Decodes the stored name (the 128-byte field need not hold a terminating NUL) and checks the
// entry. All sums in 64 bits: offset base, offset and length are each below 2^32 but their sum
// is not.
static archive_entry check_entry(const index_entry &read, uint64_t archive_len, uint64_t base) {
    archive_entry e{{{}, read.offset, read.outsize, read.insize}, base + read.offset, {}};
    memcpy(e.ie.signature, read.signature, sizeof e.ie.signature);
    e.name = plat_stored_name(read.name, strnlen(read.name, sizeof read.name));
    const std::string &name = e.name;
    if (!archive_name_is_safe(name.c_str()))
        die("unsafe file name in archive: '%s'\n", name.c_str());
    if (base + e.ie.offset + e.ie.insize > archive_len)
        die("corrupt archive: the data of '%s' lies beyond the end of the file\n", name.c_str());
    if (e.ie.outsize > e.ie.insize * MAX_INFLATE_RATIO)
        die("corrupt archive: '%s' cannot inflate from %u to %u bytes\n", name.c_str(), e.ie.insize,
            e.ie.outsize);
    return e;
}

// Entries may share their compressed data, so the check of each entry alone does not bound what
// an archive unpacks to: the whole of it cannot hold more than its length inflated.
static void check_total(const std::vector<archive_entry> &entries, uint64_t archive_len) {
    uint64_t total = 0;
    for (const archive_entry &e : entries)
        total += e.ie.outsize;
    if (total > archive_len * MAX_INFLATE_RATIO)
        die("corrupt archive: its files add up to %llu bytes, more than %llu bytes of archive "
            "can hold\n",
            static_cast<unsigned long long>(total), static_cast<unsigned long long>(archive_len));
}

static void chunk_pr_warn(const qz_chunk *ch, unsigned int level, int fd) {
    const int64_t pos = plat_tell(fd) - static_cast<int64_t>(sizeof *ch);
    print(level, "@ %#.8llx %s(%#08x) (%u bytes) \n", static_cast<unsigned long long>(pos),
          "UNKNOWN_CHUNK", ch->type, ch->size);
}

// Moves past what is left of a chunk's data.
static void skip(int fd, uint32_t remaining) {
    if (remaining != 0 && plat_seek(fd, remaining, SEEK_CUR) < 0)
        die("seek(): %s\n", strerror(errno));
}

static void read_path_entry(int fd, qz_chunk *ch, uint64_t archive_len) {
    // The claimed size is refused before it is allocated when the file cannot hold it.
    if (static_cast<uint64_t>(plat_tell(fd)) + ch->size > archive_len)
        die("unexpected EOF\n");
    std::vector<char> path(static_cast<size_t>(ch->size) + 1, '\0');
    qz_read(fd, path.data(), ch->size, &ch->size);
    const char *kind = ch->type == BASEPATH_ENTRY ? "Base" : "Full";
    print(3, "Warning: %s path found, folder structure needs fixup: %s\n", kind, path.data());
}

static void read_index_table(int fd, qz_chunk *table, uint64_t base, uint64_t archive_len,
                             std::vector<archive_entry> &entries) {
    uint32_t nfiles = 0;
    qz_read(fd, &nfiles, sizeof nfiles, &table->size);
    print(2, "NumberOfFiles: %u\n", nfiles);
    // Room for the entries the table can hold, whatever the count claims: a list that doubled as
    // it grew would hold up to three times its entries while it moved them.
    constexpr uint32_t entry_room = sizeof(qz_chunk) + sizeof(index_entry);
    entries.reserve(entries.size() + std::min(nfiles, table->size / entry_room));
    // Index entries are taken from blocks read ahead: one read for hundreds of entries instead of
    // two for each. Only a whole entry of the usual size is taken from a block; for anything else
    // the descriptor is put back at the chunk's start and the chunk is read as below, with every
    // check and message in its place. A block starts at one entry and doubles while entries keep
    // coming, so other chunks never cost more than reading two entries' worth.
    std::vector<char> ahead(size_t{entry_room} * 256);
    size_t have = 0, used = 0, block = entry_room;
    const auto put_back = [&] {
        if (have != used && plat_seek(fd, -static_cast<int64_t>(have - used), SEEK_CUR) < 0)
            die("seek(): %s\n", strerror(errno));
        have = used = 0;
    };
    while (table->size != 0) {
        if (table->size >= entry_room) {
            if (have - used < entry_room) {
                put_back();
                have = read_all(fd, ahead.data(), std::min<size_t>(block, table->size));
                block = std::min(2 * block, ahead.size());
            }
            qz_chunk head;
            if (have - used >= entry_room) {
                memcpy(&head, &ahead[used], sizeof head);
                if (head.type == INDEX_ENTRY && head.size == sizeof(index_entry)) {
                    index_entry read;
                    memcpy(&read, &ahead[used + sizeof head], sizeof read);
                    used += entry_room;
                    table->size -= entry_room;
                    entries.push_back(check_entry(read, archive_len, base));
                    continue;
                }
            }
        }
        put_back();
        block = entry_room;
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &table->size);
        switch (ch.type) {
        case INDEX_ENTRY: {
            index_entry read;
            qz_read(fd, &read, sizeof read, &ch.size);
            entries.push_back(check_entry(read, archive_len, base));
            break;
        }
        case BASEPATH_ENTRY:
        case FULLPATH_ENTRY:
            read_path_entry(fd, &ch, archive_len);
            break;
        default:
            chunk_pr_warn(&ch, 3, fd);
        }
        skip(fd, ch.size);
    }
    put_back(); // nothing is left over: a block never reaches past the table
}

static void read_content(int fd, qz_chunk *content, uint64_t archive_len,
                         std::vector<archive_entry> &entries) {
    const int64_t base = plat_tell(fd);
    while (content->size != 0) {
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &content->size);
        if (ch.type == FILE_INDEX_TABLE)
            read_index_table(fd, &ch, static_cast<uint64_t>(base), archive_len, entries);
        else if (ch.type != FILE_STREAM) // streams are reached through the index
            chunk_pr_warn(&ch, 2, fd);
        skip(fd, ch.size);
    }
}

// The folder's name for an archive's name without its extension: one the unpacker would take
// inside an archive. Where the system would drop them (Windows), the dots and blanks at its end
// go; a device's name gets a '_' before its first dot ("aux.x" gives "aux_.x"), and so does a
// name of nothing at all.
static std::string folder_name(std::string base) {
    if (archive_name_is_safe(base.c_str()))
        return base;
    while (!base.empty() && (base.back() == '.' || base.back() == ' '))
        base.pop_back();
    if (!base.empty() && archive_name_is_safe(base.c_str()))
        return base;
    const size_t dot = std::min(base.find('.'), base.size());
    return base.substr(0, dot).append(1, '_').append(base, dot, std::string::npos);
}

// A fresh directory beside the archive: its name without the extension, else with ".0" to
// ".99". Making it is the test: a name that is taken, also by another run that made it a moment
// ago, moves on to the next.
static std::string createoutputdirectory(const char *archivename) {
    char *noext = filename_noext(archivename);
    const std::string base = folder_name(noext);
    free(noext);
    std::string candidate = base;
    for (int n = -1; n < 100; n++) {
        candidate = n < 0 ? base : base + "." + std::to_string(n);
        if (plat_mkdir(candidate.c_str()) == 0)
            return candidate;
        if (errno != EEXIST)
            die("can't create directory %s: %s\n", candidate.c_str(), strerror(errno));
    }
    die("Output directory (%s) already exists , max tries reached", candidate.c_str());
}

// ---- Extracting one entry ----

// An entry whose stream and content together fit this is inflated in memory in one call; a
// larger one in a stream, through blocks of ZBUF bytes, so memory stays small whatever the file.
constexpr uint64_t WHOLE_ENTRY_LIMIT = uint64_t{32} << 20;
constexpr size_t ZBUF = 16384;
// Buffers up to this size are kept for the next entry: a run of small files then costs neither
// allocations nor fresh pages. Larger ones go back at once.
constexpr uint32_t KEPT_BUFFER = 1u << 20;

// What one thread of the extraction holds from entry to entry.
struct unpacker {
    // The directories on the way to the file extracted last, each held open below the one before
    // it, from the output directory on, and the stored names that lead to them: the files beside
    // it are made in the directory held last, and nothing on the way is looked at again.
    std::vector<plat_held_dir *> held;
    std::vector<std::string> held_paths; // of held[1] on
    buffer_guard in{nullptr}, out{nullptr};
    uint32_t in_room = 0, out_room = 0;
    z_stream strm{};
    bool strm_ready = false;
    unsigned char zin[ZBUF], zout[ZBUF];
    unpacker() = default;
    unpacker(const unpacker &) = delete;
    unpacker &operator=(const unpacker &) = delete;
    ~unpacker() {
        if (strm_ready)
            inflateEnd(&strm);
        for (plat_held_dir *d : held)
            plat_release_dir(d);
    }
};

// How an entry ended: the message that ends the run, empty when it was extracted.
struct unpacked {
    std::string error;
    uint64_t stream_used = 0; // bytes of the stored stream that its zlib stream takes
    bool signature_broken = false;
    bool done = false;
};

// What uncompress() reports of an inflation that did not give the content the index promises;
// empty when it did.
static std::string inflate_failure(int rc, uint64_t got, const entry_fields &ie,
                                   const std::string &name) {
    if (rc != Z_OK)
        return formatted("uncompressing error: %i\n", rc);
    // A stream that ends early would leave the rest of the file undefined.
    if (got != ie.outsize)
        return formatted("corrupt archive: '%s' inflates to %lu bytes instead of %u\n",
                         name.c_str(), static_cast<unsigned long>(got), ie.outsize);
    return {};
}

static std::string link_in_the_way(const std::string &name, const std::string &link) {
    return formatted("can't extract %s: %s is a link, and nothing is written through one\n",
                     name.c_str(), link.c_str());
}

// Holds the directories on the way to the file, made where missing, one name at a time below the
// output directory (the working directory), so that a link that stands anywhere on the way, also
// one put there while the run goes on, is never followed. Returns an empty string with the file's
// own name in *leaf, or the message that ends the run. Another thread may make the same directory
// at the same moment: one that stands is as good as made.
static std::string mkdirforfile(unpacker &u, const std::string &name, std::string *leaf) {
    if (u.held.empty()) {
        plat_held_dir *top = plat_hold_dir(".");
        if (top == nullptr)
            return formatted("can't open the output directory: %s\n", strerror(errno));
        u.held.push_back(top);
    }
    size_t depth = 0; // directories below the output directory on the way
    for (size_t start = 0;;) {
        const size_t end = name.find('/', start);
        std::string component = name.substr(start, end - start);
        if (end == std::string::npos) {
            *leaf = std::move(component);
            break;
        }
        start = end + 1;
        if (component.empty() || component == ".")
            continue;
        const std::string path = name.substr(0, end);
        depth++;
        if (depth < u.held.size() && u.held_paths[depth - 1] == path)
            continue; // held for an earlier file
        while (u.held.size() > depth) {
            plat_release_dir(u.held.back());
            u.held.pop_back();
            u.held_paths.pop_back();
        }
        bool made = false;
        plat_held_dir *d = plat_hold_subdir(u.held.back(), component.c_str(), &made);
        if (d == nullptr && errno == ELOOP)
            return link_in_the_way(name, path);
        if (d == nullptr && errno == ENOTDIR)
            return formatted("can't create directory %s: file already exists\n", path.c_str());
        if (d == nullptr)
            return formatted("can't create %s: %s\n", path.c_str(), strerror(errno));
        u.held.push_back(d);
        u.held_paths.push_back(path);
    }
    while (u.held.size() > depth + 1) {
        plat_release_dir(u.held.back());
        u.held.pop_back();
        u.held_paths.pop_back();
    }
    return {};
}

// Creates the file in the directory held last, where nothing may stand under its name; the
// descriptor, or -1 with the message in *error.
//
// A file cut short by a failure or an interrupt is removed, the ones before it stay: with one
// thread the file is guarded here, as it is made, and with more the main thread guards it ahead
// (the names of such an archive are all apart, so no earlier file can be taken for it). The
// interrupts are held meanwhile: an interrupt finds a file made and guarded, or neither, and
// once it has removed the guarded files no thread makes another.
static int open_output(unpacker &u, const std::string &leaf, const std::string &name, bool guard,
                       std::string *error) {
    plat_hold_interrupts(true);
    const int fd = plat_open_new_in(u.held.back(), leaf.c_str());
    if (fd < 0 && errno == ELOOP)
        *error = link_in_the_way(name, name);
    else if (fd < 0 && errno == EEXIST)
        *error = formatted("already exists %s\n", name.c_str());
    else if (fd < 0)
        *error = formatted("open output file failed: %s: '%s'\n", strerror(errno), name.c_str());
    else if (guard)
        guard_output(name.c_str());
    plat_hold_interrupts(false);
    return fd;
}

static std::string close_output(int fd, const std::string &name) {
    return plat_close(fd) == 0 ? std::string()
                               : formatted("write(%s) failed: %s\n", name.c_str(), strerror(errno));
}

// Reads len bytes of the archive from offset; an empty string, or the message.
static std::string read_stream(int fd, void *dst, size_t len, uint64_t offset) {
    size_t done = 0;
    while (done < len) {
        const int64_t n =
            plat_pread(fd, static_cast<char *>(dst) + done, len - done, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return formatted("read(): %s\n", strerror(errno));
        // The entry was checked against the file's length, so only a file cut short since then
        // delivers less.
        if (n == 0)
            return "unexpected EOF\n";
        done += static_cast<size_t>(n);
    }
    return {};
}

static bool grow(buffer_guard &b, uint32_t *room, uint32_t size) {
    if (b.p != nullptr && *room >= size && *room <= KEPT_BUFFER)
        return true;
    free(b.p);
    *room = 0;
    b.p = malloc(size != 0 ? size : 1);
    if (b.p == nullptr)
        return false;
    *room = size;
    // A large file fills its buffer whole: page by page, the faults would cost more than the
    // inflation.
    plat_prepare_large_block(b.p, size);
    return true;
}

static void drop_large(buffer_guard &b, uint32_t *room) {
    if (*room > KEPT_BUFFER) {
        free(b.p);
        b.p = nullptr;
        *room = 0;
    }
}

static bool signature_broken(const entry_fields &ie, const void *content, uint64_t length) {
    // Files shorter than four bytes carry zero bytes in the rest of their signature.
    char signature[4] = {0, 0, 0, 0};
    memcpy(signature, content, length < 4 ? length : 4);
    return memcmp(signature, ie.signature, 4) != 0;
}

// The whole stream in memory, inflated in one call, then written.
static void unpack_whole(const archive_entry &e, int fd, unpacker &u, bool guard, unpacked &r) {
    const entry_fields &ie = e.ie;
    const std::string &name = e.name;
    if (!grow(u.in, &u.in_room, ie.insize)) {
        r.error = "inbuffer malloc failed\n";
        return;
    }
    if (!grow(u.out, &u.out_room, ie.outsize)) {
        r.error = "outbuffer malloc failed\n";
        return;
    }
    if (!(r.error = read_stream(fd, u.in.p, ie.insize, e.fileofs)).empty())
        return;
    uLongf outlen = ie.outsize;
    uLong inlen = ie.insize;
    const int rc = uncompress2(static_cast<Bytef *>(u.out.p), &outlen,
                               static_cast<const Bytef *>(u.in.p), &inlen);
    r.stream_used = inlen;
    if (!(r.error = inflate_failure(rc, outlen, ie, name)).empty())
        return;
    r.signature_broken = signature_broken(ie, u.out.p, ie.outsize);
    std::string leaf;
    if (!(r.error = mkdirforfile(u, name, &leaf)).empty())
        return;
    const int out = open_output(u, leaf, name, guard, &r.error);
    if (out < 0)
        return;
    r.error = try_write_all(out, u.out.p, ie.outsize, name.c_str());
    const std::string closed = close_output(out, name);
    if (r.error.empty())
        r.error = closed;
}

// What the progress line of an entry starts with: its name where the report shows it.
static std::string progress_label(const std::string &name) {
    return formatted("      %s  ", name.c_str());
}

// Inflated through blocks and written as it comes. The messages and their order are those of
// the whole entry in memory: a damaged stream is reported before a file that cannot be made or
// written, so the file's failures are kept while the rest of the stream is still checked.
// How far the entry has come goes to written_so_far, and to shown when this thread draws it.
static void unpack_streaming(const archive_entry &e, int fd, unpacker &u, bool guard, unpacked &r,
                             const std::atomic<bool> &stop, std::atomic<uint64_t> &written_so_far,
                             progress_line *shown) {
    const entry_fields &ie = e.ie;
    const std::string &name = e.name;
    plat_stat_info st;
    if (plat_fstat(fd, &st) != 0 || st.size < e.fileofs + ie.insize) {
        r.error = "unexpected EOF\n";
        return;
    }
    int ret = u.strm_ready ? inflateReset(&u.strm) : inflateInit(&u.strm);
    if (ret != Z_OK) {
        r.error = formatted("uncompressing error: %i\n", ret);
        return;
    }
    u.strm_ready = true;
    std::string leaf;
    std::string later = mkdirforfile(u, name, &leaf);
    const int out = later.empty() ? open_output(u, leaf, name, guard, &later) : -1;
    uint64_t read = 0, written = 0;
    char head[4] = {0, 0, 0, 0};
    if (shown != nullptr)
        progress_start(shown, progress_label(name), false, ie.outsize);
    // As uncompress() tells it: the stream ends (Z_OK), the content would pass the size the
    // index gives (Z_BUF_ERROR), or the data is damaged or ends first (Z_DATA_ERROR).
    int rc = Z_OK;
    for (;;) {
        if (u.strm.avail_in == 0 && read < ie.insize) {
            const size_t n = std::min<uint64_t>(ZBUF, ie.insize - read);
            if (!(r.error = read_stream(fd, u.zin, n, e.fileofs + read)).empty())
                break;
            u.strm.next_in = u.zin;
            u.strm.avail_in = static_cast<uInt>(n);
            read += n;
        }
        const uint64_t room = ie.outsize - u.strm.total_out;
        u.strm.next_out = u.zout;
        u.strm.avail_out = static_cast<uInt>(std::min<uint64_t>(ZBUF, room));
        ret = inflate(&u.strm, Z_NO_FLUSH);
        const size_t have = static_cast<size_t>(u.strm.next_out - u.zout);
        if (have != 0 && written < 4)
            memcpy(head + written, u.zout, std::min<size_t>(4 - written, have));
        if (have != 0 && out >= 0 && later.empty())
            later = try_write_all(out, u.zout, have, name.c_str());
        written += have;
        written_so_far.store(written, std::memory_order_relaxed);
        if (shown != nullptr)
            progress_step(shown, written);
        if (ret == Z_STREAM_END) {
            r.stream_used = read - u.strm.avail_in;
            break;
        }
        if (ret == Z_BUF_ERROR && u.strm.avail_in == 0 && read < ie.insize)
            continue; // the next block of the stream is needed
        if (ret == Z_BUF_ERROR) {
            // No progress with all the stream at hand: the content is full, or the stream has
            // run out before its end.
            rc = room == 0 ? Z_BUF_ERROR : Z_DATA_ERROR;
            break;
        }
        if (ret != Z_OK) {
            rc = ret == Z_NEED_DICT ? Z_DATA_ERROR : ret;
            break;
        }
        if (stop) {
            r.error = "stopped\n"; // never reported: the run ends with an earlier entry's failure
            break;
        }
    }
    if (shown != nullptr)
        progress_end(shown);
    const std::string closed = out >= 0 ? close_output(out, name) : std::string();
    if (!r.error.empty() || !(r.error = inflate_failure(rc, written, ie, name)).empty())
        return;
    r.signature_broken = signature_broken(ie, head, written);
    r.error = !later.empty() ? later : closed;
}

// guard: whether this thread guards the file it makes (the only thread of the extraction);
// shown: the progress line, when this thread draws it (the main thread).
static void unpack_entry(const archive_entry &e, int fd, unpacker &u, bool guard, unpacked &r,
                         const std::atomic<bool> &stop, std::atomic<uint64_t> &written,
                         progress_line *shown) {
    if (uint64_t{e.ie.insize} + e.ie.outsize <= WHOLE_ENTRY_LIMIT) {
        unpack_whole(e, fd, u, guard, r);
        drop_large(u.in, &u.in_room);
        drop_large(u.out, &u.out_room);
    } else {
        unpack_streaming(e, fd, u, guard, r, stop, written, shown);
    }
}

// ---- Extracting the entries ----
// With N threads, N - 1 workers and the main thread inflate and write entries at the same time,
// taking them in index order; the main thread reports them in that order, and extracts the next
// entry itself while the one to report is not done. It ends the run at the first failing entry
// in index order with that entry's own message: the output is the same whatever the number of
// threads. The files of the entries being extracted are guarded (removed should the run fail or
// be interrupted) from before a thread may take them until they are reported; the main thread
// alone changes that list, as the interrupt handlers require. An entry held whole in memory
// takes its share of a budget, in index order, which only the main thread gives back: the entry
// it waits for always has its share, and the run never waits on itself.

unsigned unpack_threads = 1;

constexpr uint64_t AHEAD_BUDGET = uint64_t{64} << 20;

// What the main thread and the workers share; every field under the crew's lock.
struct unpack_ahead {
    const std::vector<archive_entry> *entries = nullptr;
    // Of the entries that may be in flight (the window and the one reported next), entry k at
    // k % their number: what came of it, and how far it has come when extracted in a stream.
    std::vector<unpacked> results;
    std::vector<std::atomic<uint64_t>> written;
    int fd = -1;
    size_t next = 0;    // the next entry to take
    size_t guarded = 0; // entries whose files are guarded: none beyond is taken
    uint64_t budget = AHEAD_BUDGET;
    workers crew;
};

static uint64_t share_of(const archive_entry &e) {
    const uint64_t whole = uint64_t{e.ie.insize} + e.ie.outsize;
    return whole <= WHOLE_ENTRY_LIMIT ? whole : 0;
}

// Takes the next entry, with its share of the budget, when it is guarded and the share is free;
// under lock.
static bool take_next(unpack_ahead &a, size_t *k) {
    if (a.crew.stop || a.next == a.entries->size() || a.next >= a.guarded ||
        share_of((*a.entries)[a.next]) > a.budget)
        return false;
    a.budget -= share_of((*a.entries)[a.next]);
    *k = a.next++;
    return true;
}

static void extract_ahead(unpack_ahead &a, size_t k, unpacker &u, progress_line *shown) {
    unpacked r;
    unpack_entry((*a.entries)[k], a.fd, u, false, r, a.crew.stop, a.written[k % a.written.size()],
                 shown);
    r.done = true;
    {
        const std::lock_guard<std::mutex> hold(a.crew.lock);
        a.results[k % a.results.size()] = std::move(r);
    }
    a.crew.changed.notify_all();
}

static void unpack_worker(unpack_ahead &a) {
    const auto u = std::make_unique<unpacker>();
    for (;;) {
        size_t k;
        {
            std::unique_lock<std::mutex> hold(a.crew.lock);
            while (!take_next(a, &k)) {
                if (a.crew.stop || a.next == a.entries->size())
                    return;
                a.crew.changed.wait(hold);
            }
        }
        extract_ahead(a, k, *u, nullptr);
    }
}

static void report(const archive_entry &e, const unpacked &r) {
    const entry_fields &ie = e.ie;
    print(3, "%s\n", e.name.c_str());
    print(4, "insize: %6u, outsize: %6u, offset: %#08x; fileofs = %#08llx\n", ie.insize, ie.outsize,
          ie.offset, static_cast<unsigned long long>(e.fileofs));
    if (r.signature_broken)
        print(4, "-> signature broken! (compressed with QZFileViewer?)\n");
    // The file is whole, but the archive is not as it was written.
    if (r.error.empty() && r.stream_used < ie.insize)
        print(0, "[warn] the stream of '%s' ends after %llu of its %u bytes\n", e.name.c_str(),
              static_cast<unsigned long long>(r.stream_used), ie.insize);
}

// The components of a stored name that lead somewhere: without empty and "." ones.
static std::vector<std::string> components(const std::string &name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find('/', start), name.size());
        std::string component = name.substr(start, end - start);
        start = end + 1;
        if (!component.empty() && component != ".")
            parts.push_back(std::move(component));
    }
    return parts;
}

// The name of an entry's file as the system compares names ("Dir/x.txt" and "dir/x.txt" alike
// on Windows), and as it stands when plain is given.
static void file_names(const std::string &name, std::string *key, std::string *plain) {
    for (const std::string &component : components(name)) {
        if (!key->empty())
            *key += '/';
        *key += plat_name_key(component.c_str());
        if (plain != nullptr)
            *plain += (plain->empty() ? "" : "/") + component;
    }
}

// The keys of every entry's file in an order in which a directory comes right before the names
// below it ('/' before every other byte), each with its entry's place in the index. A key that is
// the name itself (as a name without "." or empty components is where case counts) is the
// entry's own text; only the others are kept in own. Sorted, a million names take a fraction of
// the memory that a table of them would.
struct file_key {
    std::string_view key;
    size_t index;
};
static std::vector<file_key> sorted_keys(const std::vector<archive_entry> &entries,
                                         std::deque<std::string> &own) {
    std::vector<file_key> keys(entries.size());
    for (size_t k = 0; k < entries.size(); k++) {
        std::string key;
        file_names(entries[k].name, &key, nullptr);
        std::string_view text = entries[k].name;
        if (key != text) {
            own.push_back(std::move(key));
            text = own.back();
        }
        keys[k] = {text, k};
    }
    const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
    std::sort(keys.begin(), keys.end(), [&rank](const file_key &a, const file_key &b) {
        return std::lexicographical_compare(
                   a.key.begin(), a.key.end(), b.key.begin(), b.key.end(),
                   [&rank](char x, char y) { return rank(x) < rank(y); }) ||
               (a.key == b.key && a.index < b.index);
    });
    return keys;
}

// Whether every entry's file is one of its own: no name given twice, and none that is a
// directory on the way to another, as the system compares names. Only then may the entries be
// extracted in any order with the same outcome. In key order, a name below a directory follows
// the directory's own name at once.
static bool names_apart(const std::vector<archive_entry> &entries) {
    std::deque<std::string> own;
    const auto keys = sorted_keys(entries, own);
    for (size_t i = 1; i < keys.size(); i++) {
        const std::string_view a = keys[i - 1].key, b = keys[i].key;
        if (b.compare(0, a.size(), a) == 0 && (b.size() == a.size() || b[a.size()] == '/'))
            return false;
    }
    return true;
}

// Two names that differ only in case name one file where the system ignores case: the second
// would meet the first halfway through the run. Such an archive is refused before anything is
// written, naming the first entry of that file and the first later one that spells it otherwise,
// the earliest such in the index. (Where case counts, no two names are alike.)
static void check_case_clashes(const std::vector<archive_entry> &entries) {
    if (!PLAT_NAMES_IGNORE_CASE)
        return;
    std::deque<std::string> own;
    const auto keys = sorted_keys(entries, own);
    std::string first, clash;
    size_t clash_at = entries.size();
    for (size_t i = 0, start = 0; i < keys.size(); i++) {
        if (keys[i].key != keys[start].key)
            start = i;
        if (i == start || keys[i].index >= clash_at)
            continue;
        std::string key, a, b;
        file_names(entries[keys[start].index].name, &key, &a);
        file_names(entries[keys[i].index].name, &key, &b);
        if (a != b) {
            first = a;
            clash = b;
            clash_at = keys[i].index;
        }
    }
    if (clash_at != entries.size())
        die("'%s' and '%s' in the archive name one file on this system, which does not tell "
            "case apart\n",
            first.c_str(), clash.c_str());
}

// Forgets the guards set ahead, for the files none of which has been made.
static void discard_guards(const std::vector<archive_entry> &entries, size_t guarded) {
    for (size_t k = 0; k < guarded; k++)
        release_output(entries[k].name.c_str());
}

static void unpack_entries(const std::vector<archive_entry> &entries, int fd) {
    const size_t n = entries.size();
    // Names alike are extracted in their order, by one thread.
    const auto threads = static_cast<unsigned>(std::min<size_t>(unpack_threads, n));
    const unsigned workers = threads > 1 && names_apart(entries) ? threads : 1;
    unpack_ahead a;
    // Entries a worker may take while the main thread reports an earlier one.
    const size_t window = 8 * size_t{workers}, ring = window + 1;
    const auto guard_up_to = [&](size_t end) {
        end = std::min(end, n);
        for (size_t k = a.guarded; k < end; k++)
            guard_output(entries[k].name.c_str());
        {
            const std::lock_guard<std::mutex> hold(a.crew.lock);
            a.guarded = std::max(a.guarded, end);
        }
        a.crew.changed.notify_all();
    };
    if (workers > 1) {
        a.entries = &entries;
        a.results.resize(window + 1);
        a.written = std::vector<std::atomic<uint64_t>>(window + 1);
        a.fd = fd;
        guard_up_to(window);
        a.crew.start(workers - 1, [&a] { unpack_worker(a); });
        if (a.crew.threads.empty())
            discard_guards(entries, a.guarded);
    }
    if (a.crew.threads.empty()) {
        const auto u = std::make_unique<unpacker>(); // nothing is known of the new directory
        const std::atomic<bool> never{false};
        std::atomic<uint64_t> written{0};
        progress_line shown;
        for (const archive_entry &e : entries) {
            unpacked r;
            unpack_entry(e, fd, *u, true, r, never, written, &shown);
            report(e, r);
            if (!r.error.empty())
                die("%s", r.error.c_str());
            release_output(e.name.c_str());
        }
        return;
    }
    const auto mine = std::make_unique<unpacker>();
    progress_line waited, own;
    for (size_t k = 0; k < n; k++) {
        // A large entry that another thread extracts shows its progress while it is waited for.
        const bool streamed = share_of(entries[k]) == 0;
        if (streamed)
            progress_start(&waited, progress_label(entries[k].name), false, entries[k].ie.outsize);
        for (;;) {
            size_t other;
            {
                std::unique_lock<std::mutex> hold(a.crew.lock);
                if (a.results[k % ring].done)
                    break;
                // Shares come back from this thread alone: without an entry to take now, the
                // one to report is all there is to wait for.
                if (!take_next(a, &other)) {
                    while (!a.crew.changed.wait_for(hold, std::chrono::milliseconds(100),
                                                    [&] { return a.results[k % ring].done; }))
                        if (streamed)
                            progress_step(&waited,
                                          a.written[k % ring].load(std::memory_order_relaxed));
                    break;
                }
            }
            progress_end(&waited); // the line is this thread's own meanwhile
            extract_ahead(a, other, *mine, &own);
        }
        progress_end(&waited);
        const unpacked &r = a.results[k % ring];
        report(entries[k], r);
        if (!r.error.empty()) {
            // No file may be in the making while the guarded ones are removed.
            a.crew.stop_all();
            die("%s", r.error.c_str());
        }
        release_output(entries[k].name.c_str());
        {
            // Its place is free for the entry that the window takes in next.
            const std::lock_guard<std::mutex> hold(a.crew.lock);
            a.budget += share_of(entries[k]);
            a.results[k % ring] = unpacked{};
            a.written[k % ring].store(0, std::memory_order_relaxed);
        }
        guard_up_to(k + 1 + window);
    }
}

std::string output_to;
std::vector<entry_pattern> entry_patterns;

// Keeps the entries the patterns select, each pattern marked when it matches; a pattern that
// matched none is reported, and a selection of nothing ends the run.
static void select_entries(std::vector<archive_entry> &entries) {
    if (entry_patterns.empty())
        return;
    bool includes = false;
    for (const entry_pattern &p : entry_patterns)
        includes |= p.include;
    size_t kept = 0;
    for (archive_entry &e : entries) {
        const std::string &name = e.name;
        bool in = !includes, out = false;
        for (entry_pattern &p : entry_patterns) {
            if (matcher(p.text.c_str(), name.c_str()) == 0)
                continue;
            p.used = true;
            (p.include ? in : out) = true;
        }
        if (in && !out) {
            if (&entries[kept] != &e)
                entries[kept] = std::move(e);
            kept++;
        }
    }
    entries.resize(kept);
    for (const entry_pattern &p : entry_patterns)
        if (!p.used)
            print(0, "[warn] --%s %s matched no entry\n", p.include ? "include" : "exclude",
                  p.typed.c_str());
    if (entries.empty())
        die("no entry is selected by --include and --exclude\n");
}

// The directory of -o, made with the parents it lacks, from the directory the run started in;
// what is made here goes again when the run fails while it holds no file.
static void enter_output_to() {
    if (plat_chdir_back() != 0)
        die("can't return to the working directory: %s\n", strerror(errno));
    std::vector<std::string> made;
    const auto fail = [&made](const std::string &message) {
        for (auto d = made.rbegin(); d != made.rend(); ++d)
            plat_rmdir(d->c_str());
        die("%s", message.c_str());
    };
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = output_to.find_first_of("/\\", pos + 1);
        const std::string part = output_to.substr(0, pos);
        plat_stat_info st;
        if (part.back() == ':')
            continue;
        if (plat_stat(part.c_str(), &st) == 0) {
            if (st.mode != PLAT_S_IFDIR)
                fail(formatted("can't extract into %s: %s is not a directory\n", output_to.c_str(),
                               part.c_str()));
            continue;
        }
        // A step on the way that cannot be made (the server of a share, say) is left to the
        // last one to report.
        if (plat_mkdir(part.c_str()) == 0)
            made.push_back(part);
        else if (pos == std::string::npos)
            fail(formatted("can't create directory %s: %s\n", part.c_str(), strerror(errno)));
    }
    print(0, "%s output directory %s\n", made.empty() ? "Using" : "Created", output_to.c_str());
    std::string full;
    size_t root = 0;
    if (!made.empty() && plat_full_path(made[0].c_str(), &full, &root) == 0)
        guard_output_directory(full.c_str());
    if (plat_chdir(output_to.c_str()) != 0)
        fail(formatted("chdir('%s') failed: %s\n", output_to.c_str(), strerror(errno)));
}

// Nothing in a directory of the user's is ever replaced: every file and directory an entry needs
// is looked at before the first file is written, and the first that stands in the way ends the
// run with the entry's name.
static void check_targets(const std::vector<archive_entry> &entries) {
    for (const archive_entry &e : entries) {
        const std::string &name = e.name;
        std::string what;
        for (size_t pos = name.find('/'); pos != std::string::npos; pos = name.find('/', pos + 1)) {
            const std::string dir = name.substr(0, pos);
            const int kind = plat_target_kind(dir.c_str(), &what);
            if (kind == 2 && what.compare(0, 6, "a link") == 0)
                die("%s", link_in_the_way(name, dir).c_str());
            if (kind != 0 && (kind != 2 || what != "a directory"))
                die("can't create directory %s: file already exists\n", dir.c_str());
        }
        if (plat_target_kind(name.c_str(), &what) != 0)
            die("already exists %s\n", name.c_str());
    }
}

void extractqzarchive(const char *archivename) {
    uint32_t remaining = 0;
    const fd_guard archive{qz_openfile(archivename, QZ_ARCHIVE, QZ_ARCHIVE_NAME, &remaining)};
    const int fd = archive.fd;
    plat_stat_info st;
    if (plat_fstat(fd, &st) != 0)
        die("stat(%s) failed\n", archivename);

    if (output_to.empty()) {
        const std::string outdir = createoutputdirectory(archivename);
        print(0, "Created output directory %s\n", outdir.c_str());
        if (plat_chdir(outdir.c_str()) != 0)
            die("chdir('%s') failed: %s\n", outdir.c_str(), strerror(errno));
        // A run that fails takes its folder with it while the folder holds no file: a refused
        // archive leaves nothing behind.
        guard_output_directory(("..\\" + outdir).c_str());
    } else {
        enter_output_to();
    }

    std::vector<archive_entry> entries;
    while (remaining != 0) {
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &remaining);
        if (ch.type == ARCHIVE_CONTENT)
            read_content(fd, &ch, st.size, entries);
        else
            chunk_pr_warn(&ch, 1, fd);
        skip(fd, ch.size);
    }
    check_total(entries, st.size);
    check_case_clashes(entries);
    // Only what is selected is read and inflated, once the whole index is checked.
    select_entries(entries);
    if (!output_to.empty())
        check_targets(entries);

    if (!entries.empty()) {
        print(2, "Decompressing...\n");
        unpack_entries(entries, fd);
    }
    guard_output_directory(""); // the run succeeded: the folder stays
}

// The extraction: each entry inflated and written into the working directory, never through a
// link, by several threads at once, and reported in index order.
#include "qz_unpack.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "qz_filefunc.h" // print, progress, guarded outputs, workers
#include "qz_platform.h" // held directories, descriptor I/O

// A buffer that is released when its scope ends, also when a fatal error leaves it early (the
// fuzzing build goes on running after one).
struct buffer_guard {
    void *p;
    ~buffer_guard() { free(p); }
};

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
    // Lets go of the directories beyond the output directory and the depth below it.
    void keep_held(size_t depth) {
        while (held.size() > depth + 1) {
            plat_release_dir(held.back());
            held.pop_back();
            held_paths.pop_back();
        }
    }
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

std::string link_in_the_way(const std::string &name, const std::string &link) {
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
        u.keep_held(depth - 1);
        plat_held_dir *d = plat_hold_subdir(u.held.back(), component.c_str());
        if (d == nullptr && errno == ELOOP)
            return link_in_the_way(name, path);
        if (d == nullptr && errno == ENOTDIR)
            return formatted("can't create directory %s: file already exists\n", path.c_str());
        if (d == nullptr)
            return formatted("can't create %s: %s\n", path.c_str(), strerror(errno));
        u.held.push_back(d);
        u.held_paths.push_back(path);
    }
    u.keep_held(depth);
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
    const int64_t n = pread_some_all(fd, dst, len, offset);
    if (n < 0)
        return formatted("read(): %s\n", strerror(errno));
    // The entry was checked against the file's length, so only a file cut short since then
    // delivers less.
    return static_cast<size_t>(n) < len ? "unexpected EOF\n" : std::string();
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

// Forgets the guards set ahead, for the files none of which has been made.
static void discard_guards(const std::vector<archive_entry> &entries, size_t guarded) {
    for (size_t k = 0; k < guarded; k++)
        release_output(entries[k].name.c_str());
}

void unpack_entries(const std::vector<archive_entry> &entries, int fd) {
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

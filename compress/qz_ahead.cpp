// Compression ahead of the archive's writer: the files, and the blocks of large files, taken in
// scan order by every thread into memory within a budget, written in their turn.
#include "qz_pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "qz_platform.h" // stat

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
    if (a.files[k]->reuse) { // copied by the writer: nothing to compress
        pack_unit &u = a.units.emplace_back();
        u.file = k;
        u.done = true;
        return;
    }
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
    const auto skip_done = [&a] {
        while (a.next < a.units.size() && a.units[a.next].done)
            a.next++;
    };
    skip_done();
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
        skip_done();
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
    const size_t want = window_len + u.length;
    const int64_t got = pread_some_all(in.fd, data - window_len, want, u.offset - window_len);
    if (got < 0) {
        fail(u.o, formatted("read(%s) failed: %s\n", path, strerror(errno)));
        return;
    }
    if (static_cast<size_t>(got) != want ||
        (u.last && plat_pread(in.fd, z.inbuf, 1, u.offset + u.length) != 0)) {
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
void pack_files(flist *first, uint32_t n, FILE *out, const char *archivename, int old_archive) {
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
        if (f->reuse)
            copy_reused(f, old_archive, out, archivename);
        else if (mine == nullptr)
            compressfile(f, out, archivename);
        else
            write_packed(a, k, *mine, out, archivename);
        progress_end(&progress);
        print(3, "size: %u compressedsize: %u\n", f->size, f->compressedsize);
    }
}

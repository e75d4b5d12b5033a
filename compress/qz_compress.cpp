// qz_compress's module: collects the files below a directory and writes them into a .qz archive.
//
// Every failure ends the run through die, so an archive is never reported as written when it
// was not; a run cut short leaves zero placeholders in the top chunk's header, which the unpacker
// refuses.
#include "qz_compress.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <zlib.h>

#include "qz.h"          // archive chunk types, index_entry
#include "qz_filefunc.h" // print, die, chunk writers
#include "qz_platform.h" // stat, directory enumeration, streams

int force_overwrite = 0;

// Paths and stored names: at most 4095 bytes, what a buffer of 4096 holds.
constexpr size_t SCAN_PATH_MAX = 4096;
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

int matcher(const char *pattern, const char *text) {
    for (; *pattern != '*'; pattern++, text++) {
        if (*pattern == '\0')
            return *text == '\0';
        if (*text == '\0' || (*pattern != '?' && *pattern != *text))
            return 0;
    }
    // A run of '*' and '?' consumes no character itself; each '?' only needs one to exist.
    for (; *pattern == '*' || *pattern == '?'; pattern++)
        if (*pattern == '?' && *text == '\0')
            return 0;
    if (*pattern == '\0')
        return 1;
    for (; *text != '\0'; text++)
        if (*text == *pattern && matcher(pattern, text))
            return 1;
    return 0;
}

static bool excluded(const char *name, const exclude_pattern *excludes) {
    for (; excludes != nullptr; excludes = excludes->next)
        if (matcher(excludes->pattern, name))
            return true;
    return false;
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

// Appends to the list ending at last, which always names the list's last record, so that what
// was added is known when a fatal error leaves the scan early.
static void scan(const scan_level *here, const char *prefix, flist *&last,
                 exclude_pattern *excludes) {
    const dir_guard guard{plat_opendir(here->dir)};
    plat_dir *d = guard.d;
    if (d == nullptr)
        die("Can't open directory %s: %s\n", here->dir, strerror(errno));
    // A directory read only in part would leave files out of the archive without a word.
    while (const char *name = next_entry(d, here->dir)) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        // The backslash separates the tools' paths: a name that holds one (POSIX allows it) would
        // lead to another file, and the file itself would be left out without a word.
        if (strchr(name, '\\') != nullptr)
            die("%s\\%s: a name with a backslash cannot be stored\n", here->dir, name);
        const std::string path = std::string(here->dir) + '\\' + name;
        // The stored name is never longer than the path, so this bounds both.
        if (path.size() >= SCAN_PATH_MAX)
            die("path too long (%zu bytes, at most %zu): %s\n", path.size(), SCAN_PATH_MAX - 1,
                path.c_str());
        const std::string stored = prefix != nullptr ? std::string(prefix) + '/' + name : name;
        // Only directories need their identity and only links their target: a regular file, as
        // the directory tells it, needs no stat of its own.
        plat_stat_info st{};
        if (plat_readdir_mode(d) == PLAT_S_IFREG)
            st.mode = PLAT_S_IFREG;
        else if (plat_stat_id(path.c_str(), &st) != 0)
            die("stat(%s) failed\n", path.c_str());

        if (st.mode == PLAT_S_IFDIR) {
            const scan_level *seen = here;
            while (seen != nullptr && !same_file(seen->id, st))
                seen = seen->up;
            if (seen != nullptr) {
                // Its files are stored already, under the names of the directory it leads to.
                print(1, "Skipping %s: it leads back to %s\n", path.c_str(), seen->dir);
                continue;
            }
            const scan_level sub = {st, path.c_str(), here};
            scan(&sub, stored.c_str(), last, excludes);
            continue;
        }
        if (excluded(stored.c_str(), excludes))
            continue;
        // A fifo or device has no fixed content to store, and reading one may never end.
        if (st.mode != PLAT_S_IFREG) {
            print(1, "Skipping %s: not a regular file\n", path.c_str());
            continue;
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

[[noreturn]] static void read_failed(const flist *f) {
    die("read(%s) failed: %s\n", f->path, strerror(errno));
}

[[noreturn]] static void deflate_failed(const flist *f, int ret) {
    die("deflate(%s) failed: zlib error %d\n", f->path, ret);
}

void compressfile(flist *f, FILE *out, const char *archivename) {
    const int64_t offset = plat_ftell(out);
    if (offset < 0)
        write_failed(archivename);
    f->offset = static_cast<uint32_t>(offset); // below 2 GiB: archive_room keeps it there

    const stream_guard input{plat_fopen(f->path, "rb")};
    FILE *in = input.f;
    if (in == nullptr)
        die("can't open %s: %s\n", f->path, strerror(errno));
    // Read in whole blocks straight into inbuf: the stream's own buffer would only add a copy
    // (and a system call to size it).
    setvbuf(in, nullptr, _IONBF, 0);
    // The length as the file system records it: the same as a seek to the end would find, and
    // no extra read or seeks for each of thousands of small files.
    plat_stat_info st;
    if (plat_fstat_stream(in, &st) != 0)
        read_failed(f);
    if (st.size > FILE_LIMIT)
        die("%s is too large: %lld bytes, an archive holds files of less than 4 GiB\n", f->path,
            static_cast<long long>(st.size));
    f->size = static_cast<uint32_t>(st.size);

    // One deflate state and one pair of buffers serve every file. Setting up zlib's 256 KiB of
    // state for each file and giving it back afterwards (to the system, as the heap shrinks)
    // costs more than compressing a small file; deflateReset starts each stream exactly as a
    // fresh deflateInit does. The interface version is the one the format was made with; zlib
    // accepts any release of series 1.
    static z_stream strm;
    static bool strm_ready = false;
    int ret = Z_OK;
    if (!strm_ready) {
        ret = deflateInit_(&strm, Z_DEFAULT_COMPRESSION, "1.2.5", static_cast<int>(sizeof strm));
        if (ret != Z_OK)
            deflate_failed(f, ret);
        strm_ready = true;
    } else if ((ret = deflateReset(&strm)) != Z_OK) {
        deflate_failed(f, ret);
    }
    static unsigned char inbuf[ZBUF], outbuf[ZBUF];
    uint64_t total = 0;
    int flush_mode = Z_NO_FLUSH;
    while (flush_mode != Z_FINISH) {
        const size_t n = fread(inbuf, 1, ZBUF, in);
        if (ferror(in))
            read_failed(f);
        if (total == 0) {
            // A file shorter than four bytes leaves zero bytes in the rest of its signature.
            memset(f->signature, 0, sizeof f->signature);
            memcpy(f->signature, inbuf, n < sizeof f->signature ? n : sizeof f->signature);
        }
        total += n;
        flush_mode = feof(in) ? Z_FINISH : Z_NO_FLUSH;
        strm.next_in = inbuf;
        strm.avail_in = static_cast<uInt>(n);
        do {
            strm.next_out = outbuf;
            strm.avail_out = ZBUF;
            ret = deflate(&strm, flush_mode);
            if (ret == Z_STREAM_ERROR)
                deflate_failed(f, ret);
            const size_t have = ZBUF - strm.avail_out;
            archive_room(out, archivename, have);
            put(out, archivename, outbuf, have);
        } while (strm.avail_out == 0);
        if (strm.avail_in != 0)
            deflate_failed(f, ret);
    }
    if (ret != Z_STREAM_END)
        deflate_failed(f, ret);
    // The index would describe a different file than the stream holds.
    if (total != f->size)
        die("%s changed while it was being read\n", f->path);
    f->compressedsize = static_cast<uint32_t>(plat_ftell(out) - offset);
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
    if (!force_overwrite && file_exists(filename))
        die("'%s' already exists. Remove or use -f to force overwrite\n", filename);
    // Written beside the archive and given its name only when complete: a failed run leaves an
    // archive that was there as it was.
    stream_guard output{stage_output_stream(filename)};
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
    for (flist *f = first; f != nullptr; f = f->next) {
        print(2, "%s   ", f->archivename);
        compressfile(f, out, filename);
        print(3, "size: %u compressedsize: %u\n", f->size, f->compressedsize);
    }
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

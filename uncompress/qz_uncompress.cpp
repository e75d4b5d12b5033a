// qz_uncompress's module: walks a .qz archive and extracts every file into a fresh directory.
//
// The whole index is read (and every entry checked) before the first file is written, so a
// damaged or hostile archive is refused before it can leave half an extraction behind.
#include "qz_uncompress.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz.h"          // index_entry, archive chunk types
#include "qz_filefunc.h" // print, die, chunk reader
#include "qz_platform.h" // chdir, mkdir, stat, descriptor I/O

// Deflate codes at best 258 bytes in 2 bits, so no zlib stream inflates to more than 1032 times
// its own length.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

struct archive_entry {
    index_entry ie;
    uint64_t fileofs; // absolute position of the compressed stream
};

// A descriptor and a buffer that are released when their scope ends, also when a fatal error
// leaves it early (the fuzzing build goes on running after one).
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0)
            plat_close(fd);
    }
};
struct buffer_guard {
    void *p;
    ~buffer_guard() { free(p); }
};

// The stored name as a string: the 128-byte field need not hold a terminating NUL.
static std::string entry_name(const index_entry &ie) {
    return std::string(ie.name, strnlen(ie.name, sizeof ie.name));
}

// All sums in 64 bits: offset base, offset and length are each below 2^32 but their sum is not.
static void check_entry(const archive_entry &e, uint64_t archive_len, uint64_t base) {
    const std::string name = entry_name(e.ie);
    if (!archive_name_is_safe(name.c_str()))
        die("unsafe file name in archive: '%s'\n", name.c_str());
    if (base + e.ie.offset + e.ie.insize > archive_len)
        die("corrupt archive: the data of '%s' lies beyond the end of the file\n", name.c_str());
    if (e.ie.outsize > e.ie.insize * MAX_INFLATE_RATIO)
        die("corrupt archive: '%s' cannot inflate from %u to %u bytes\n", name.c_str(), e.ie.insize,
            e.ie.outsize);
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
    // Index entries are taken from blocks read ahead: one read for hundreds of entries instead of
    // two for each. Only a whole entry of the usual size is taken from a block; for anything else
    // the descriptor is put back at the chunk's start and the chunk is read as below, with every
    // check and message in its place. A block starts at one entry and doubles while entries keep
    // coming, so other chunks never cost more than reading two entries' worth.
    constexpr uint32_t entry_room = sizeof(qz_chunk) + sizeof(index_entry);
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
                    archive_entry e{};
                    memcpy(&e.ie, &ahead[used + sizeof head], sizeof e.ie);
                    used += entry_room;
                    table->size -= entry_room;
                    check_entry(e, archive_len, base);
                    e.fileofs = base + e.ie.offset;
                    entries.push_back(e);
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
            archive_entry e{};
            qz_read(fd, &e.ie, sizeof e.ie, &ch.size);
            check_entry(e, archive_len, base);
            e.fileofs = base + e.ie.offset;
            entries.push_back(e);
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

static std::string createoutputdirectory(const char *archivename) {
    char *noext = filename_noext(archivename);
    const std::string base(noext);
    free(noext);
    if (!fileordir_present(base.c_str())) {
        plat_mkdir(base.c_str()); // a failure shows when the directory is entered
        return base;
    }
    std::string candidate;
    for (unsigned n = 0; n < 100; n++) {
        candidate = base + "." + std::to_string(n);
        if (!fileordir_present(candidate.c_str())) {
            plat_mkdir(candidate.c_str());
            return candidate;
        }
    }
    die("Output directory (%s) already exists , max tries reached", candidate.c_str());
}

// The directory of the file extracted last, known to be a directory below the output directory:
// neither it nor the directories on the way to it are examined again for the files beside it.
// The extraction only ever adds directories and regular files, so a directory stays one.
static std::string known_directory;

// Whether prefix, a leading part of a stored name that ends at a separator, is known_directory
// or one of the directories on the way to it.
static bool known_as_directory(const std::string &prefix) {
    return known_directory.compare(0, prefix.size(), prefix) == 0 &&
           (known_directory.size() == prefix.size() || known_directory[prefix.size()] == '/');
}

static int mkdirforfile(const char *name) {
    const std::string copy(name);
    size_t pos = copy.find_first_not_of('/');
    std::string prefix;
    for (;;) {
        pos = copy.find('/', pos);
        if (pos == std::string::npos)
            break;
        prefix = copy.substr(0, pos);
        plat_stat_info st;
        if (known_as_directory(prefix)) {
            // examined for an earlier file
        } else if (plat_stat(prefix.c_str(), &st) == 0) {
            if (st.mode != PLAT_S_IFDIR)
                die("can't create directory %s: file already exists\n", prefix.c_str());
        } else if (plat_mkdir(prefix.c_str()) != 0) {
            die("can't create %s: %s\n", prefix.c_str(), strerror(errno));
        }
        pos = copy.find_first_not_of('/', pos);
    }
    known_directory = prefix;
    return 1;
}

static void *buffer(uint32_t size, const char *failure) {
    void *p = malloc(size != 0 ? size : 1);
    if (p == nullptr)
        die("%s", failure);
    return p;
}

// Where the archive's descriptor stands after the last stream read, -1 when not known. The packer
// writes the streams in the order of the index, so each one usually starts where the one before
// ended and needs no seek.
static int64_t archive_position = -1;

static void decompressfile(const archive_entry *e, int fd) {
    const index_entry &ie = e->ie;
    const std::string name = entry_name(ie);
    print(3, "%s\n", name.c_str());
    print(4, "insize: %6u, outsize: %6u, offset: %#08x; fileofs = %#08llx\n", ie.insize, ie.outsize,
          ie.offset, static_cast<unsigned long long>(e->fileofs));

    // The two buffers are kept for the next file when both are large enough, so a run of files
    // costs neither allocations nor fresh pages. What is held is always the pair allocated for
    // one file: memory stays within one file's compressed plus uncompressed size.
    static buffer_guard in{nullptr}, out{nullptr};
    static uint32_t in_room = 0, out_room = 0;
    if (in.p == nullptr || in_room < ie.insize || out_room < ie.outsize) {
        free(in.p);
        free(out.p);
        in.p = out.p = nullptr;
        in_room = out_room = 0;
        in.p = buffer(ie.insize, "inbuffer malloc failed\n");
        out.p = buffer(ie.outsize, "outbuffer malloc failed\n");
        in_room = ie.insize;
        out_room = ie.outsize;
        // A large file fills its buffers whole: page by page, the faults would cost more than
        // the inflation.
        plat_prepare_large_block(in.p, in_room);
        plat_prepare_large_block(out.p, out_room);
    }
    const auto fileofs = static_cast<int64_t>(e->fileofs);
    if (archive_position != fileofs && plat_seek(fd, fileofs, SEEK_SET) != fileofs)
        die("seek(): %s\n", strerror(errno));
    archive_position = -1;
    // The entry was checked against the file's length, so only a file cut short since then
    // delivers less; the rest of the buffer would be undefined.
    if (read_all(fd, in.p, ie.insize) != ie.insize)
        die("unexpected EOF\n");
    archive_position = fileofs + ie.insize;

    uLongf outlen = ie.outsize;
    const int rc = uncompress(static_cast<Bytef *>(out.p), &outlen,
                              static_cast<const Bytef *>(in.p), ie.insize);
    if (rc != Z_OK)
        die("uncompressing error: %i\n", rc);
    // A stream that ends early would leave the rest of the file undefined.
    if (outlen != ie.outsize)
        die("corrupt archive: '%s' inflates to %lu bytes instead of %u\n", name.c_str(),
            static_cast<unsigned long>(outlen), ie.outsize);

    // Files shorter than four bytes carry zero bytes in the rest of their signature.
    char signature[4] = {0, 0, 0, 0};
    memcpy(signature, out.p, ie.outsize < 4 ? ie.outsize : 4);
    if (memcmp(signature, ie.signature, 4) != 0)
        print(4, "-> signature broken! (compressed with QZFileViewer?)\n");

    mkdirforfile(name.c_str());
    // One call creates the file when nothing stands under its name, as is usual in a fresh
    // directory. Otherwise the name is examined: a regular file there is never replaced, and
    // anything else is left to the open that replaces.
    fd_guard ofd{plat_open_new(name.c_str())};
    if (ofd.fd < 0) {
        if (file_exists(name.c_str()))
            die("already exists %s\n", name.c_str());
        ofd.fd = plat_open_write(name.c_str());
    }
    if (ofd.fd < 0)
        die("open output file failed: %s\n", strerror(errno));
    // A file cut short by a failure or an interrupt is removed; the ones before it stay.
    guard_output(name.c_str());
    write_all(ofd.fd, out.p, ie.outsize, name.c_str());
    const int closed = plat_close(ofd.fd);
    ofd.fd = -1;
    if (closed != 0)
        die("write(%s) failed: %s\n", name.c_str(), strerror(errno));
    commit_outputs();
}

void extractqzarchive(const char *archivename) {
    uint32_t remaining = 0;
    const fd_guard archive{qz_openfile(archivename, QZ_ARCHIVE, QZ_ARCHIVE_NAME, &remaining)};
    const int fd = archive.fd;
    plat_stat_info st;
    if (plat_fstat(fd, &st) != 0)
        die("stat(%s) failed\n", archivename);

    const std::string outdir = createoutputdirectory(archivename);
    print(0, "Created output directory %s\n", outdir.c_str());
    if (plat_chdir(outdir.c_str()) != 0)
        die("chdir('%s') failed: %s\n", outdir.c_str(), strerror(errno));
    known_directory.clear(); // nothing is known of the new output directory

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

    archive_position = -1; // the walk has moved the descriptor
    if (!entries.empty()) {
        print(2, "Decompressing...\n");
        for (const archive_entry &e : entries)
            decompressfile(&e, fd);
    }
}

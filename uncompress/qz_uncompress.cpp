// qz_uncompress: extracts every file of a .qz archive into a fresh directory beside it.
//
// The whole index is read (and every entry checked) before the first file is written, so a
// damaged or hostile archive is refused before it can leave half an extraction behind.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz.h"          // index_entry, archive chunk types
#include "qz_filefunc.h" // print, die, chunk reader
#include "qz_platform.h" // chdir, mkdir, stat, descriptor I/O

static int force_overwrite = 0; // -f is accepted for symmetry with the packer; nothing is replaced

// Deflate codes at best 258 bytes in 2 bits, so no zlib stream inflates to more than 1032 times
// its own length.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

struct archive_entry {
    index_entry ie;
    uint32_t fileofs; // absolute position of the compressed stream
};

// The stored name as a string: the 128-byte field need not hold a terminating NUL.
static std::string entry_name(const index_entry &ie) {
    return std::string(ie.name, strnlen(ie.name, sizeof ie.name));
}

static void usage(const char *name) {
    print(0, "Usage: %s <options> file.qz\n", name);
}

// A name may only lead to a place below the output directory: no absolute path, no drive, no
// "..", and no backslash, which Windows would take as a separator.
static bool name_is_safe(const std::string &name) {
    if (name.empty() || name[0] == '/')
        return false;
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return false;
    if (name.find('\\') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string component = name.substr(start, end - start);
        if (component == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

static void check_entry(const archive_entry &e, uint64_t archive_len, uint64_t base) {
    const std::string name = entry_name(e.ie);
    if (!name_is_safe(name))
        die("unsafe file name in archive: '%s'\n", name.c_str());
    if (base + e.ie.offset + e.ie.insize > archive_len)
        die("corrupt archive: the data of '%s' lies beyond the end of the file\n", name.c_str());
    if (e.ie.outsize > e.ie.insize * MAX_INFLATE_RATIO)
        die("corrupt archive: '%s' cannot inflate from %u to %u bytes\n", name.c_str(), e.ie.insize,
            e.ie.outsize);
}

static void chunk_pr_warn(const qz_chunk *ch, unsigned int level, int fd) {
    const int64_t pos = plat_tell(fd) - static_cast<int64_t>(sizeof *ch);
    print(level, "@ %#.8x %s(%#08x) (%u bytes) \n", static_cast<unsigned>(pos), "UNKNOWN_CHUNK",
          ch->type, ch->size);
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
    while (table->size != 0) {
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &table->size);
        switch (ch.type) {
        case INDEX_ENTRY: {
            archive_entry e{};
            qz_read(fd, &e.ie, sizeof e.ie, &ch.size);
            check_entry(e, archive_len, base);
            e.fileofs = static_cast<uint32_t>(base + e.ie.offset);
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

static char *createoutputdirectory(const char *archivename) {
    char *base = filename_noext(archivename);
    if (!fileordir_present(base)) {
        plat_mkdir(base); // a failure shows when the directory is entered
        return base;
    }
    std::string candidate;
    for (unsigned n = 0; n < 100; n++) {
        candidate = std::string(base) + "." + std::to_string(n);
        if (!fileordir_present(candidate.c_str())) {
            plat_mkdir(candidate.c_str());
            free(base);
            return strdup(candidate.c_str());
        }
    }
    die("Output directory (%s) already exists , max tries reached", candidate.c_str());
}

static int mkdirforfile(const char *name) {
    const std::string copy(name);
    size_t pos = copy.find_first_not_of('/');
    for (;;) {
        pos = copy.find('/', pos);
        if (pos == std::string::npos)
            break;
        const std::string prefix = copy.substr(0, pos);
        plat_stat_info st;
        if (plat_stat(prefix.c_str(), &st) == 0) {
            if (st.mode != PLAT_S_IFDIR)
                die("can't create directory %s: file already exists\n", prefix.c_str());
        } else if (plat_mkdir(prefix.c_str()) != 0) {
            die("can't create %s: %s\n", prefix.c_str(), strerror(errno));
        }
        pos = copy.find_first_not_of('/', pos);
    }
    if (file_exists(name))
        die("already exists %s\n", name);
    return 1;
}

static void *buffer(uint32_t size, const char *failure) {
    void *p = malloc(size != 0 ? size : 1);
    if (p == nullptr)
        die("%s", failure);
    return p;
}

static void decompressfile(const archive_entry *e, int fd) {
    const index_entry &ie = e->ie;
    const std::string name = entry_name(ie);
    print(3, "%s\n", name.c_str());
    print(4, "insize: %6u, outsize: %6u, offset: %#08x; fileofs = %#08x\n", ie.insize, ie.outsize,
          ie.offset, e->fileofs);

    auto *in = static_cast<Bytef *>(buffer(ie.insize, "inbuffer malloc failed\n"));
    auto *out = static_cast<Bytef *>(buffer(ie.outsize, "outbuffer malloc failed\n"));
    if (plat_seek(fd, e->fileofs, SEEK_SET) != e->fileofs)
        die("seek(): %s\n", strerror(errno));
    if (read_all(fd, in, ie.insize) == 0)
        die("unexpected EOF\n");

    uLongf outlen = ie.outsize;
    const int rc = uncompress(out, &outlen, in, ie.insize);
    if (rc != Z_OK)
        die("uncompressing error: %i\n", rc);
    // A stream that ends early would leave the rest of the file undefined.
    if (outlen != ie.outsize)
        die("corrupt archive: '%s' inflates to %lu bytes instead of %u\n", name.c_str(),
            static_cast<unsigned long>(outlen), ie.outsize);

    // Files shorter than four bytes carry zero bytes in the rest of their signature.
    char signature[4] = {0, 0, 0, 0};
    memcpy(signature, out, ie.outsize < 4 ? ie.outsize : 4);
    if (memcmp(signature, ie.signature, 4) != 0)
        print(4, "-> signature broken! (compressed with QZFileViewer?)\n");

    mkdirforfile(name.c_str());
    const int ofd = plat_open_write(name.c_str());
    if (ofd < 0)
        die("open output file failed: %s\n", strerror(errno));
    write_all(ofd, out, ie.outsize, name.c_str());
    if (plat_close(ofd) != 0)
        die("write(%s) failed: %s\n", name.c_str(), strerror(errno));
    free(in);
    free(out);
}

static void extractqzarchive(const char *archivename) {
    uint32_t remaining = 0;
    const int fd = qz_openfile(archivename, QZ_ARCHIVE, QZ_ARCHIVE_NAME, &remaining);
    plat_stat_info st;
    if (plat_fstat(fd, &st) != 0)
        die("stat(%s) failed\n", archivename);

    char *outdir = createoutputdirectory(archivename);
    print(0, "Created output directory %s\n", outdir);
    if (plat_chdir(outdir) != 0)
        die("chdir('%s') failed: %s\n", outdir, strerror(errno));

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

    if (!entries.empty()) {
        print(2, "Decompressing...\n");
        for (const archive_entry &e : entries)
            decompressfile(&e, fd);
    }
    plat_close(fd);
    free(outdir);
}

int main(int argc, char **argv) {
    plat_binary_stdio();
    print(0, "qz_uncompress 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    std::string workdir = ".";
    const char *archivename = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-') {
            switch (arg[1]) {
            case 'f':
                force_overwrite = 1;
                break;
            case 'b': // a base directory only the packer uses; its value is passed over
                if (++i >= argc) {
                    usage(argv[0]);
                    return -1;
                }
                break;
            default:
                print(0, "Unknown option %s \n", arg);
                return -1;
            }
        } else if (archivename == nullptr) {
            const char *sep = strrchr(arg, '\\');
            if (sep == nullptr) {
                archivename = arg;
            } else {
                workdir.assign(arg, static_cast<size_t>(sep - arg));
                if (plat_chdir(workdir.c_str()) != 0)
                    die("chdir('%s') failed: %s\n", workdir.c_str(), strerror(errno));
                archivename = sep + 1;
            }
        }
    }
    if (archivename == nullptr) {
        usage(argv[0]);
        return -1;
    }
    print(0, "working dir: %s\n", workdir.c_str());
    extractqzarchive(archivename);
    return 0;
}

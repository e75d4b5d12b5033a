// Reading and writing chunk files through descriptors and streams, whole reads and writes.
#include "qz_filefunc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qz_platform.h"

fd_guard::~fd_guard() {
    if (fd >= 0)
        plat_close(fd);
}

// Calls read(done) for the bytes from done on until len are read or the file ends, again after
// an interrupted call; the count, or -1 with errno set.
template <typename Read> static int64_t read_until(size_t len, Read read) {
    size_t done = 0;
    while (done < len) {
        const int64_t n = read(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t read_some_all(int fd, void *dst, size_t len) {
    return read_until(len, [&](size_t done) {
        return plat_read(fd, static_cast<char *>(dst) + done, len - done);
    });
}

int64_t pread_some_all(int fd, void *dst, size_t len, uint64_t offset) {
    return read_until(len, [&](size_t done) {
        return plat_pread(fd, static_cast<char *>(dst) + done, len - done, offset + done);
    });
}

size_t read_all(int fd, void *dst, size_t len) {
    const int64_t n = read_some_all(fd, dst, len);
    if (n < 0)
        die("read(): %s\n", strerror(errno));
    return static_cast<size_t>(n);
}

std::string try_write_all(int fd, const void *src, size_t len, const char *what) {
    size_t done = 0;
    while (done < len) {
        const int64_t n = plat_write(fd, static_cast<const char *>(src) + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return formatted("write(%s) failed: %s\n", what, strerror(errno));
        if (n == 0)
            return formatted("write(%s) failed: nothing written\n", what);
        done += static_cast<size_t>(n);
    }
    return {};
}

void write_all(int fd, const void *src, size_t len, const char *what) {
    const std::string failure = try_write_all(fd, src, len, what);
    if (!failure.empty())
        die("%s", failure.c_str());
}

int qz_openfile(const char *filename, uint32_t type, const char *filetypestr, uint32_t *size) {
    print(0, "reading: '%s'\n", filename);
    int fd = plat_open_read(filename);
    if (fd < 0)
        die("open(): %s\n", strerror(errno));
    qz_chunk top;
    // A file too short to hold a header is no chunk file of any kind.
    if (read_all(fd, &top, sizeof top) != sizeof top || top.type != type) {
        plat_close(fd);
        die("%s: not an %s file\n", filename, filetypestr);
    }
    *size = top.size;
    return fd;
}

int qz_read(int fd, void *dst, uint32_t len, uint32_t *remaining) {
    if (*remaining < len)
        die("trying to read beyond chunk end(req: %u/avail:%u)\n", len, *remaining);
    // A read cut short by the end of the file is as bad as none: the chunk claims bytes that
    // the file does not have.
    if (read_all(fd, dst, len) != len)
        die("unexpected EOF\n");
    *remaining -= len;
    return 0;
}

int qz_read_chunk(int fd, qz_chunk *ch, uint32_t *remaining) {
    qz_read(fd, ch, sizeof *ch, remaining);
    if (ch->size > *remaining)
        die("chunk: exceeds size of parents data block\n");
    *remaining -= ch->size;
    return 0;
}

// Chunk files address their data with 32-bit signed offsets.
constexpr int64_t CHUNK_FILE_LIMIT = 0x7FFFFFFF;

struct chunkfilepos {
    uint32_t chunktype;
    int fd;
    int32_t pos;
    const char *filename; // named when a write fails, or null
};

struct chunkfilepos_f {
    uint32_t chunktype;
    FILE *file;
    int32_t pos;
};

// room: bytes that must still fit behind pos.
static int32_t checked_pos(int64_t pos, int64_t room) {
    if (pos < 0)
        die("seek(): %s\n", strerror(errno));
    if (pos > CHUNK_FILE_LIMIT - room)
        die("chunk file would exceed the limit of 2 GiB - 1 bytes\n");
    return static_cast<int32_t>(pos);
}

template <typename Handle> static Handle *new_handle() {
    auto *s = static_cast<Handle *>(malloc(sizeof(Handle)));
    if (s == nullptr)
        die("chunkfilepos malloc failed");
    return s;
}

static void fd_seek(int fd, int64_t pos) {
    if (plat_seek(fd, pos, SEEK_SET) != pos)
        die("seek(): %s\n", strerror(errno));
}

// A header that cannot be written ends the run, naming the file when the caller gave its name.
static void write_header(const chunkfilepos *s, const qz_chunk &header) {
    std::string failure = try_write_all(s->fd, &header, sizeof header, "chunk header");
    if (failure.empty())
        return;
    if (s->filename != nullptr)
        failure.insert(failure.size() - 1, formatted(": '%s'", s->filename));
    die("%s", failure.c_str());
}

chunkfilepos *write_chunk_start(int fd, uint32_t chunktype, const char *filename) {
    auto *s = new_handle<chunkfilepos>();
    s->chunktype = chunktype;
    s->fd = fd;
    s->filename = filename;
    s->pos = checked_pos(plat_tell(fd), sizeof(qz_chunk));
    write_header(s, qz_chunk{0, 0});
    return s;
}

uint32_t write_chunk_end(chunkfilepos *s) {
    int64_t curpos = plat_tell(s->fd);
    checked_pos(curpos, 0);
    const qz_chunk header = {s->chunktype, static_cast<uint32_t>(curpos - s->pos - 8)};
    fd_seek(s->fd, s->pos);
    write_header(s, header);
    fd_seek(s->fd, curpos);
    free(s);
    return header.size;
}

static void stream_seek(FILE *f, int64_t pos) {
    if (plat_fseek(f, pos, SEEK_SET) != 0)
        die("seek(): %s\n", strerror(errno));
}

static void stream_write_header(FILE *f, const qz_chunk &header) {
    if (fwrite(&header, sizeof header, 1, f) != 1)
        die("write(chunk header) failed: %s\n", strerror(errno));
}

chunkfilepos_f *fwrite_chunk_start(FILE *f, uint32_t chunktype) {
    auto *s = new_handle<chunkfilepos_f>();
    s->chunktype = chunktype;
    s->file = f;
    s->pos = checked_pos(plat_ftell(f), sizeof(qz_chunk));
    stream_write_header(f, qz_chunk{0, 0});
    return s;
}

uint32_t fwrite_chunk_end(chunkfilepos_f *s) {
    int64_t curpos = plat_ftell(s->file);
    checked_pos(curpos, 0);
    const qz_chunk header = {s->chunktype, static_cast<uint32_t>(curpos - s->pos - 8)};
    stream_seek(s->file, s->pos);
    stream_write_header(s->file, header);
    stream_seek(s->file, curpos);
    free(s);
    return header.size;
}

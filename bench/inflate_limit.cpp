// qzb_inflate: the least work that unpacking an archive takes. Reads the archive's index, then
// for every entry reads its zlib stream and inflates it with zlib's inflate, both through 64 KiB
// buffers, writing the pieces to the file below OUTDIR as they come (directories as needed).
// No checks beyond what keeps this program safe, and no promise that a damaged stream leaves no
// file behind: the least work, not a replacement.
//
//   qzb_inflate ARCHIVE OUTDIR
//   qzb_inflate --largest ARCHIVE
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

struct chunk {
    uint32_t type, size;
};

struct entry {
    char signature[4];
    uint32_t offset, outsize, insize;
    char name[128];
};

constexpr uint32_t ARCHIVE_CONTENT = 0x01000000;
constexpr uint32_t FILE_INDEX_TABLE = 0x01100000;
constexpr uint32_t INDEX_ENTRY = 0x01120000;

[[noreturn]] void fail(const char *what, const std::string &name) {
    fprintf(stderr, "qzb_inflate: %s %s: %s\n", what, name.c_str(), strerror(errno));
    exit(1);
}

void read_at(int fd, void *dst, size_t len, uint64_t pos) {
    auto *p = static_cast<char *>(dst);
    while (len != 0) {
        const ssize_t n = pread(fd, p, len, static_cast<off_t>(pos));
        if (n <= 0)
            fail("read", "archive");
        p += n;
        pos += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
}

// The directory of the previous file: its parents exist already.
std::string made;

void make_parents(const std::string &name) {
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos || name.compare(0, slash, made) == 0)
        return;
    for (size_t i = name.find('/'); i != std::string::npos; i = name.find('/', i + 1)) {
        const std::string dir = name.substr(0, i);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            fail("mkdir", dir);
    }
    made = name.substr(0, slash);
}

} // namespace

int main(int argc, char **argv) {
    // With --largest: prints the largest compressed plus uncompressed size of one file and the
    // total uncompressed size, and extracts nothing.
    const bool largest = argc == 3 && strcmp(argv[1], "--largest") == 0;
    if (argc != 3) {
        fputs("usage: qzb_inflate ARCHIVE OUTDIR | --largest ARCHIVE\n", stderr);
        return 2;
    }
    const char *archive = largest ? argv[2] : argv[1];
    const int fd = open(archive, O_RDONLY);
    if (fd < 0)
        fail("open", archive);

    // Top chunk, then ARCHIVE_CONTENT with the index table first, as the packer writes them.
    chunk top, content, table;
    read_at(fd, &top, sizeof top, 0);
    read_at(fd, &content, sizeof content, 8);
    read_at(fd, &table, sizeof table, 16);
    if (content.type != ARCHIVE_CONTENT || table.type != FILE_INDEX_TABLE)
        fail("unexpected layout in", archive);
    const uint64_t base = 16;
    std::vector<char> index(table.size);
    read_at(fd, index.data(), index.size(), 24);
    std::vector<entry> entries;
    for (size_t pos = 4; pos + sizeof(chunk) <= index.size();) {
        chunk ch;
        memcpy(&ch, &index[pos], sizeof ch);
        pos += sizeof ch;
        if (ch.type == INDEX_ENTRY && ch.size == sizeof(entry) && pos + ch.size <= index.size()) {
            entry e;
            memcpy(&e, &index[pos], sizeof e);
            entries.push_back(e);
        }
        pos += ch.size;
    }

    if (largest) {
        uint64_t pair = 0, total = 0;
        for (const entry &e : entries) {
            pair = std::max<uint64_t>(pair, uint64_t{e.insize} + e.outsize);
            total += e.outsize;
        }
        printf("%llu %llu\n", static_cast<unsigned long long>(pair),
               static_cast<unsigned long long>(total));
        return 0;
    }
    if (mkdir(argv[2], 0755) != 0 || chdir(argv[2]) != 0)
        fail("mkdir", argv[2]);

    z_stream strm{};
    if (inflateInit(&strm) != Z_OK)
        fail("inflateInit", "");
    // Both sides go through small buffers: the stream is read in pieces as inflate asks for them
    // and the output is written to the file as it comes, so no page is touched twice.
    static unsigned char in[1 << 16], out[1 << 16];
    for (const entry &e : entries) {
        const std::string name(e.name, strnlen(e.name, sizeof e.name));
        make_parents(name);
        const int ofd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (ofd < 0)
            fail("create", name);
        inflateReset(&strm);
        uint64_t pos = base + e.offset, left = e.insize;
        strm.avail_in = 0;
        int ret = Z_OK;
        while (ret == Z_OK) {
            if (strm.avail_in == 0 && left != 0) {
                const size_t n = left < sizeof in ? left : sizeof in;
                read_at(fd, in, n, pos);
                pos += n;
                left -= n;
                strm.next_in = in;
                strm.avail_in = static_cast<uInt>(n);
            }
            strm.next_out = out;
            strm.avail_out = sizeof out;
            ret = inflate(&strm, Z_NO_FLUSH);
            const size_t n = sizeof out - strm.avail_out;
            for (size_t done = 0; done < n;) {
                const ssize_t w = write(ofd, out + done, n - done);
                if (w <= 0)
                    fail("write", name);
                done += static_cast<size_t>(w);
            }
        }
        if (ret != Z_STREAM_END || strm.total_out != e.outsize)
            fail("inflate", name);
        if (close(ofd) != 0)
            fail("close", name);
    }
    inflateEnd(&strm);
    close(fd);
    return 0;
}

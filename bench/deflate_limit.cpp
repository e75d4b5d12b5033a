// qzb_deflate: the least work that packing a tree takes. Walks DIR, reads every regular file
// through a 16 KiB buffer and deflates it as a zlib stream of its own, at zlib's default level
// through a 16 KiB output buffer (as the packer does), and appends the streams to OUT. No index,
// no names, no checks: only enumerating, reading, compressing and writing.
//
//   qzb_deflate DIR OUT
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr size_t ZBUF = 16384;

unsigned char inbuf[ZBUF], outbuf[ZBUF];
z_stream strm;
int out_fd;

[[noreturn]] void fail(const char *what, const std::string &name) {
    fprintf(stderr, "qzb_deflate: %s %s: %s\n", what, name.c_str(), strerror(errno));
    exit(1);
}

// The output is gathered into large writes, as a stream's buffer would.
unsigned char pending[1 << 17];
size_t npending;

void flush() {
    for (size_t done = 0; done < npending;) {
        const ssize_t w = write(out_fd, pending + done, npending - done);
        if (w <= 0)
            fail("write", "output");
        done += static_cast<size_t>(w);
    }
    npending = 0;
}

void put(const unsigned char *p, size_t n) {
    if (npending + n > sizeof pending)
        flush();
    memcpy(pending + npending, p, n);
    npending += n;
}

void pack_file(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        fail("open", path);
    deflateReset(&strm);
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH) {
        const ssize_t n = read(fd, inbuf, ZBUF);
        if (n < 0)
            fail("read", path);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        strm.next_in = inbuf;
        strm.avail_in = static_cast<uInt>(n);
        do {
            strm.next_out = outbuf;
            strm.avail_out = ZBUF;
            deflate(&strm, flush);
            put(outbuf, ZBUF - strm.avail_out);
        } while (strm.avail_out == 0);
    }
    close(fd);
}

void walk(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        fail("opendir", dir);
    while (const dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        const std::string path = dir + '/' + e->d_name;
        unsigned char type = e->d_type; // links are followed, as the packer does
        if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            walk(path);
        else if (type == DT_REG)
            pack_file(path);
    }
    closedir(d);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: qzb_deflate DIR OUT\n", stderr);
        return 2;
    }
    out_fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0)
        fail("create", argv[2]);
    if (deflateInit(&strm, Z_DEFAULT_COMPRESSION) != Z_OK)
        fail("deflateInit", "");
    walk(argv[1]);
    flush();
    deflateEnd(&strm);
    if (close(out_fd) != 0)
        fail("close", argv[2]);
    return 0;
}

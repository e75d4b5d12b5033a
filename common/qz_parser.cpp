// The line parser of the file toolkit: one fixed window per text file, lines handed out in place.
#include "qz_filefunc.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "qz_platform.h" // descriptor I/O

parser *init_parser(const char *filename) {
    int fd = plat_open_read(filename);
    if (fd < 0)
        die("open(%s) failed: %s\n", filename, strerror(errno));
    auto *ps = static_cast<parser *>(calloc(1, sizeof(parser)));
    if (ps == nullptr)
        die("out of memory\n");
    ps->fd = fd;
    parser_fill_buffer(ps);
    parser_read_line(ps);
    print(0, "reading: '%s' ...\n", filename);
    return ps;
}

void parser_fill_buffer(parser *ps) {
    if (ps->bytes_left != 0)
        memmove(ps->buf, ps->cur, static_cast<size_t>(ps->bytes_left));
    // read_all keeps reading until the window is full or the file ends: a short read (a pipe,
    // an interrupted call) must not pass for the end of the file, or a line that does fit the
    // window would be taken for one that does not.
    size_t room = static_cast<size_t>(PARSER_WINDOW - ps->bytes_left);
    ps->bytes_left += static_cast<int32_t>(read_all(ps->fd, ps->buf + ps->bytes_left, room));
    ps->buf[ps->bytes_left] = '\0';
    ps->cur = ps->buf;
}

void parser_read_line(parser *ps) {
    // strchr stops at the NUL behind the data, and at a NUL inside it: such a byte ends the input.
    char *lf = strchr(ps->cur, '\n');
    if (lf == nullptr) {
        parser_fill_buffer(ps);
        lf = strchr(ps->cur, '\n');
        if (lf == nullptr) {
            ps->line = nullptr;
            return;
        }
    }
    ps->line = ps->cur;
    if (lf != ps->cur && lf[-1] == '\r')
        lf[-1] = '\0';
    *lf = '\0';
    ps->bytes_left -= static_cast<int32_t>(lf - ps->cur + 1);
    ps->cur = lf + 1;
    ps->nline++;
    ps->errinfo = nullptr;
}

float read_float(char *p, char **end, parser *ps) {
    errno = 0;
    float v = strtof(p, end);
    // Only an overflow is an error. The C library also reports ERANGE for an underflow, but
    // such a number is still held (as a denormal) or rounded to zero, and exporters do write
    // values like -6.46540895e-40.
    bool overflow = v == HUGE_VALF || v == -HUGE_VALF;
    if (errno == ERANGE ? overflow : errno != 0)
        die_parser(ps, p, "strtof(): %s\n", strerror(errno));
    if (*end == p)
        die_parser(ps, p, "expected float\n");
    return v;
}

unsigned int read_uint(char *p, char **end, parser *ps) {
    // The numbers are 32-bit whatever the width of this platform's unsigned long: the magnitude
    // must fit 32 bits and a leading minus then negates modulo 2^32, so "-1" is 4294967295.
    errno = 0;
    unsigned long long v = strtoull(p, end, 10);
    const char *s = p;
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    unsigned long long magnitude = *s == '-' ? 0 - v : v;
    if (errno == 0 && magnitude > 0xFFFFFFFFull)
        errno = ERANGE;
    if (errno != 0)
        die_parser(ps, p, "strtoul(): %s\n", strerror(errno));
    if (*end == p)
        die_parser(ps, p, "parser: expected integer\n");
    return static_cast<unsigned int>(v);
}

void die_parser(parser *ps, const char *p, const char *fmt, ...) {
    // Progress already printed must stand before the error.
    fflush(stdout);
    fflush(stderr);
    fputs("*error*:", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    // A reader may give up after the input has ended; there is no line to show then.
    const char *line = ps->line != nullptr ? ps->line : "";
    if (p != nullptr) {
        int column = static_cast<int>(p - line);
        fprintf(stderr, "on line %u,%u:\n%s\n", ps->nline, static_cast<unsigned int>(column), line);
        fprintf(stderr, "%*s\n", column, "^");
    } else {
        fprintf(stderr, "on line %u: %s\n", ps->nline, line);
    }
    if (ps->errinfo != nullptr)
        fprintf(stderr, "%s\n", ps->errinfo);
    fflush(stderr);
    exit(-1);
}

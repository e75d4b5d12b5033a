// The line parser of the file toolkit: one fixed window per text file, lines handed out in place.
#include "qz_filefunc.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "qz_platform.h" // descriptor I/O, console output

parser *init_parser(const char *filename, bool (*continued)(std::string_view)) {
    int fd = plat_open_read(filename);
    if (fd < 0)
        die("open(%s) failed: %s\n", filename, strerror(errno));
    auto *ps = static_cast<parser *>(calloc(1, sizeof(parser)));
    char *name = strdup(filename);
    if (ps == nullptr || name == nullptr) {
        plat_close(fd);
        free(ps);
        free(name);
        die("out of memory\n");
    }
    ps->fd = fd;
    ps->filename = name;
    ps->continued = continued;
    parser_guard guard(ps); // a read error ends the run before the caller holds the record
    // The first two bytes tell a UTF-16 file (Notepad's "Unicode") by its byte order mark. They
    // are read on their own, as the descriptor may be a pipe that cannot be rewound.
    ps->cur = ps->buf;
    ps->bytes_left = static_cast<int32_t>(read_all(fd, ps->buf, 2));
    ps->read_end = ps->bytes_left < 2;
    if (ps->bytes_left == 2 &&
        (memcmp(ps->buf, "\xFF\xFE", 2) == 0 || memcmp(ps->buf, "\xFE\xFF", 2) == 0)) {
        ps->utf16 = ps->buf[0] == '\xFF' ? 1 : 2;
        ps->bytes_left = 0;
    }
    parser_fill_buffer(ps);
    // Editors on Windows start UTF-8 files with a byte order mark; it is no part of line 1.
    if (ps->utf16 == 0 && ps->bytes_left >= 3 && memcmp(ps->buf, "\xEF\xBB\xBF", 3) == 0) {
        ps->cur += 3;
        ps->bytes_left -= 3;
    }
    parser_read_line(ps);
    guard.ps = nullptr;
    print(0, "reading: '%s' ...\n", filename);
    return ps;
}

void close_parser(parser *ps) {
    plat_close(ps->fd);
    free(ps->filename);
    free(ps);
}

// Writes code point c in UTF-8 as its size bytes.
static char *put_utf8(char *out, uint32_t c, int size) {
    static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    *out++ = static_cast<char>(lead[size] | c >> 6 * (size - 1));
    for (int shift = 6 * (size - 2); shift >= 0; shift -= 6)
        *out++ = static_cast<char>(0x80 | (c >> shift & 0x3F));
    return out;
}

// Converts UTF-16 into the window behind the data, a code point at a time while it fits. Two
// bytes never take more than three in UTF-8, so a read asks for at most two thirds of the free
// room and all of it fits, but for a pair cut by the read, which waits for the next one. Near
// the end of the room a read asks for one more code unit, so the window fills up to the last
// code point that fits; the one that did not waits in the carry for the next fill.
static void fill_utf16(parser *ps) {
    unsigned char raw[8192];
    size_t have = ps->ncarry;
    memcpy(raw, ps->carry, have);
    char *out = ps->buf + ps->bytes_left;
    char *const end = ps->buf + PARSER_WINDOW;
    const auto unit = [ps](const unsigned char *p) {
        return ps->utf16 == 1 ? uint32_t{p[0]} | uint32_t{p[1]} << 8
                              : uint32_t{p[0]} << 8 | uint32_t{p[1]};
    };
    for (;;) {
        size_t used = 0;
        bool full = false;
        while (have - used >= 2 || (ps->read_end && have > used)) {
            const size_t left = have - used;
            uint32_t c = left >= 2 ? unit(raw + used) : 0xFFFD; // an odd last byte
            size_t len = std::min<size_t>(left, 2);
            if (c >= 0xD800 && c < 0xDC00) {
                if (left < 4 && !ps->read_end)
                    break; // the low half may come with the next read
                const uint32_t low = left >= 4 ? unit(raw + used + 2) : 0;
                const bool pair = low >= 0xDC00 && low < 0xE000;
                c = pair ? 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00) : 0xFFFD;
                len = pair ? 4 : 2;
            } else if (c >= 0xDC00 && c < 0xE000) {
                c = 0xFFFD;
            }
            const int size = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            if (size > end - out) {
                full = true;
                break;
            }
            out = put_utf8(out, c, size);
            used += len;
        }
        have -= used;
        memmove(raw, raw + used, have);
        if (full || ps->read_end || out == end)
            break;
        const size_t room = static_cast<size_t>(end - out);
        const size_t want = std::min(sizeof raw, std::max(room / 3 * 2, have + 2)) - have;
        const size_t got = read_all(ps->fd, raw + have, want);
        ps->read_end = got < want;
        have += got;
    }
    memcpy(ps->carry, raw, have);
    ps->ncarry = static_cast<uint8_t>(have);
    ps->bytes_left = static_cast<int32_t>(out - ps->buf);
}

void parser_fill_buffer(parser *ps) {
    if (ps->bytes_left != 0)
        memmove(ps->buf, ps->cur, static_cast<size_t>(ps->bytes_left));
    ps->cur = ps->buf;
    if (ps->utf16 != 0) {
        fill_utf16(ps);
    } else if (!ps->read_end) {
        // read_all keeps reading until the window is full or the file ends: a short read (a
        // pipe, an interrupted call) must not pass for the end of the file, or a line that does
        // fit the window would be taken for one that does not.
        size_t room = static_cast<size_t>(PARSER_WINDOW - ps->bytes_left);
        size_t got = read_all(ps->fd, ps->buf + ps->bytes_left, room);
        ps->read_end = got < room;
        ps->bytes_left += static_cast<int32_t>(got);
    }
    ps->buf[ps->bytes_left] = '\0';
}

// Whether the physical line from piece to end (its line feed, or its carriage return before
// one) goes on on the next: its last character is a backslash that stands outside a comment
// ("# C:\models\" holds no statement to continue), and the statement that begins at start is
// one that goes on.
static bool continues(const parser *ps, const char *start, const char *piece, const char *end) {
    if (ps->continued == nullptr || end == piece || end[-1] != '\\' ||
        memchr(piece, '#', static_cast<size_t>(end - piece)) != nullptr)
        return false;
    while (*start == ' ' || *start == '\t')
        start++;
    size_t len = 0;
    while (start + len < end && start[len] != ' ' && start[len] != '\t')
        len++;
    return ps->continued(std::string_view(start, len));
}

void parser_read_line(parser *ps) {
    ps->nline += ps->joined; // the lines that the last one went on over
    ps->joined = 0;
    // The line ends at the first line feed behind from (an offset from cur) that no backslash
    // continues; each continuation becomes blanks in place, so the statement is one line.
    size_t from = 0;
    char *piece = ps->cur; // the start of the physical line being looked at
    char *lf;
    for (;;) {
        const auto line_feed = [ps, from] {
            return static_cast<char *>(
                memchr(ps->cur + from, '\n', static_cast<size_t>(ps->bytes_left) - from));
        };
        lf = line_feed();
        if (lf == nullptr) {
            const size_t at = static_cast<size_t>(piece - ps->cur);
            parser_fill_buffer(ps);
            piece = ps->cur + at;
            lf = line_feed();
        }
        if (lf == nullptr)
            break;
        char *end = lf != piece && lf[-1] == '\r' ? lf - 1 : lf;
        if (!continues(ps, ps->cur, piece, end))
            break;
        std::fill(end - 1, lf + 1, ' ');
        from = static_cast<size_t>(lf + 1 - ps->cur);
        piece = lf + 1;
        ps->joined++;
    }
    // Without a line feed in the refilled window the file has ended, or the line is too long.
    char *end = lf != nullptr ? lf : ps->cur + ps->bytes_left;
    if (lf == nullptr && ps->bytes_left == 0) {
        ps->line = nullptr;
        return;
    }
    // A UTF-16 window may be short of full where the next code point did not fit, so the end of
    // the file is known from the reads. A full window is too long even where the file ends: the
    // limit is the same for a last line without a line feed.
    const bool ended = ps->read_end && ps->ncarry == 0;
    if (lf == nullptr && (!ended || ps->bytes_left == PARSER_WINDOW))
        die("%s: line %u is longer than %d bytes\n", ps->filename, ps->nline + 1,
            PARSER_WINDOW - 1);
    if (memchr(ps->cur, '\0', static_cast<size_t>(end - ps->cur)) != nullptr)
        die(ps->nline == 0 && ps->utf16 == 0
                ? "%s: line %u holds a NUL byte; the file may be UTF-16, save it as "
                  "UTF-8\n"
                : "%s: line %u holds a NUL byte\n",
            ps->filename, ps->nline + 1);
    ps->line = ps->cur;
    *end = '\0';
    if (end != piece && end[-1] == '\r')
        *--end = '\0';
    // The last line of the file, with no line after it to go on: its backslash continues nothing.
    if (lf == nullptr && continues(ps, ps->cur, piece, end))
        end[-1] = ' ';
    const char *next = lf != nullptr ? lf + 1 : ps->cur + ps->bytes_left;
    ps->bytes_left -= static_cast<int32_t>(next - ps->cur);
    ps->cur = const_cast<char *>(next);
    ps->nline++;
    ps->errinfo = nullptr;
}

// White space as the C library's conversions skip it in the "C" locale the tools run in.
static bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Powers of ten that a double holds exactly.
static const double exact_pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The numbers that models are made of, converted without the C library: a decimal mantissa of
// at most 15 significant digits with at most 8 decimals left after the exponent (if any) is
// applied. The number is then w / 10^q or w * 10^k with w below 2^53, and one double operation
// on exact operands rounds it correctly. Rounding that double to float gives strtof's result:
// the float rounding boundaries are odd multiples of 2^-25 of the number's binade, which a
// fraction w / 10^q with q <= 8 either hits exactly or misses by more than 2^-29 of the binade,
// far beyond the double's error of 2^-53. Everything else (hexadecimal, infinity, NaN, long
// mantissas, large exponents, an 'e' without digits) returns false for strtof to decide.
static bool read_decimal_float(const char *s, float *value, char **end) {
    while (is_c_space(*s))
        s++;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    uint64_t w = 0;
    int significant = 0, scale = 0; // the number is w * 10^scale
    bool any = false;
    for (bool point = false;; s++) {
        if (*s == '.' && !point) {
            point = true;
            continue;
        }
        if (!is_digit(*s))
            break;
        any = true;
        scale -= point ? 1 : 0;
        if (w == 0 && *s == '0')
            continue;
        if (++significant > 15)
            return false;
        w = w * 10 + static_cast<unsigned>(*s - '0');
    }
    if (!any || *s == 'x' || *s == 'X')
        return false;
    if (*s == 'e' || *s == 'E') {
        const char *e = s + 1;
        const bool negative_exponent = *e == '-';
        if (*e == '-' || *e == '+')
            e++;
        if (!is_digit(*e))
            return false;
        int exponent = 0;
        for (; is_digit(*e); e++) {
            if (exponent > 1000)
                return false;
            exponent = exponent * 10 + (*e - '0');
        }
        scale += negative_exponent ? -exponent : exponent;
        s = e;
    }
    double d = 0;
    if (w != 0) {
        if (scale < -8 || scale > 22)
            return false;
        d = scale < 0 ? static_cast<double>(w) / exact_pow10[-scale]
                      : static_cast<double>(w) * exact_pow10[scale];
        if (d >= 9007199254740992.0) // 2^53: the product might have been rounded
            return false;
    }
    *value = static_cast<float>(negative ? -d : d);
    *end = const_cast<char *>(s);
    return true;
}

float read_float(char *p, char **end, parser *ps) {
    float v;
    if (read_decimal_float(p, &v, end))
        return v;
    errno = 0;
    v = strtof(p, end);
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
    // Up to nine plain digits cannot overflow: the common case needs no library call.
    const char *d = p;
    while (is_c_space(*d))
        d++;
    if (is_digit(*d)) {
        unsigned int v = 0;
        for (int n = 0; n < 9 && is_digit(*d); n++, d++)
            v = v * 10 + static_cast<unsigned int>(*d - '0');
        if (!is_digit(*d)) {
            *end = const_cast<char *>(d);
            return v;
        }
    }
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
    va_list ap;
    va_start(ap, fmt);
    die_report(fmt, ap);
    va_end(ap);
    // A reader may give up after the input has ended; there is no line to show then.
    const char *line = ps->line != nullptr ? ps->line : "";
    if (p != nullptr) {
        int column = static_cast<int>(p - line);
        plat_fprintf(stderr, "on line %u,%u:\n%s\n", ps->nline, static_cast<unsigned int>(column),
                     line);
        plat_fprintf(stderr, "%*s\n", column, "^");
    } else {
        plat_fprintf(stderr, "on line %u: %s\n", ps->nline, line);
    }
    if (ps->errinfo != nullptr)
        plat_fprintf(stderr, "%s\n", ps->errinfo);
    die_end();
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

text_statement split_statement(char *line) {
    while (is_blank(*line))
        line++;
    char *end = line;
    while (*end != '\0' && !is_blank(*end))
        end++;
    text_statement st{std::string_view(line, static_cast<size_t>(end - line)), end};
    while (is_blank(*st.args))
        st.args++;
    return st;
}

bool keyword_nocase(std::string_view keyword, std::string_view word) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (keyword.size() != word.size())
        return false;
    for (size_t i = 0; i < word.size(); i++)
        if (lower(keyword[i]) != lower(word[i]))
            return false;
    return true;
}

char *trim_name(char *args) {
    size_t len = strlen(args);
    while (len > 0 && is_blank(args[len - 1]))
        args[--len] = '\0';
    return args;
}

size_t text_name_length(const char *name, size_t len) {
    size_t n = name_field_length(name, len);
    while (n > 0 && is_blank(name[n - 1]))
        n--;
    return n;
}

void copy_text_name(char *field, const char *name, size_t len) {
    const size_t n = text_name_length(name, len);
    memcpy(field, name, n);
    memset(field + n, 0, len - n);
}

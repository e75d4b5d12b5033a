// qzb_numcheck: compares the line parser's number conversions with the C library's on millions
// of generated numbers, in the forms exporters write and in odd ones. Every float must come out
// with the same bits and the same end position as strtof gives, every integer as strtoull gives
// (cut to 32 bits). Inputs that the C library refuses are left out: those end the run in both.
//
//   qzb_numcheck [COUNT]
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qz_filefunc.h"

namespace {

struct rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

const char *const prefixes[] = {"", "", "", "", " ", "  ", "\t", "-", "+", " -", "\t+"};
const char *const suffixes[] = {"", "", "", " 1", "/2", "e", "E+", "e-x", "x", ".", "f", "\r"};

long exp10i(int q) {
    long v = 1;
    while (q-- > 0)
        v *= 10;
    return v;
}

std::string random_number(rng &r) {
    char buf[96];
    const double magnitude = std::pow(10.0, static_cast<int>(r.below(24)) - 12);
    const double v = static_cast<double>(r.next() >> 11) / 9007199254740992.0 * magnitude;
    switch (r.below(7)) {
    case 0:
        snprintf(buf, sizeof buf, "%.*f", static_cast<int>(r.below(10)), v);
        break;
    case 1:
        snprintf(buf, sizeof buf, "%.*e", static_cast<int>(r.below(12)), v);
        break;
    case 2:
        snprintf(buf, sizeof buf, "%.*g", 1 + static_cast<int>(r.below(17)), v);
        break;
    case 3: { // random digits with a point somewhere, sometimes an exponent
        std::string s;
        const unsigned n = 1 + r.below(20), point = r.below(n + 2);
        for (unsigned i = 0; i < n; i++) {
            if (i == point)
                s += '.';
            s += static_cast<char>('0' + r.below(10));
        }
        if (r.below(3) == 0) {
            s += r.below(2) != 0 ? 'e' : 'E';
            s += std::to_string(static_cast<int>(r.below(60)) - 30);
        }
        snprintf(buf, sizeof buf, "%s", s.c_str());
        break;
    }
    case 4: // exactly halfway between two floats, and its neighbours in the last decimal
        snprintf(buf, sizeof buf, "%.*g", 9 + static_cast<int>(r.below(9)),
                 (static_cast<double>(static_cast<float>(v)) +
                  static_cast<double>(std::nextafter(static_cast<float>(v), 1e30f))) /
                     2);
        break;
    case 5: { // the odd forms that the C library reads as well
        const char *const odd[] = {"0x1p3", "0X1.8", "inf",     "-INF",  "nan",   "infinity",
                                   "0x",    "1e",    "1e+",     ".5",    "5.",    "-.0",
                                   "0e999", "1e-50", "1.5e-40", "00012", "-0.00", "1e38"};
        snprintf(buf, sizeof buf, "%s", odd[r.below(sizeof odd / sizeof odd[0])]);
        break;
    }
    default:
        snprintf(buf, sizeof buf, "%.6f", v * (r.below(2) != 0 ? 1 : 1000));
    }
    return std::string(prefixes[r.below(sizeof prefixes / sizeof prefixes[0])]) + buf +
           suffixes[r.below(sizeof suffixes / sizeof suffixes[0])];
}

std::string random_integer(rng &r) {
    std::string s = std::to_string(r.next() >> r.below(64));
    if (r.below(4) == 0)
        s = s.substr(0, 1 + r.below(static_cast<unsigned>(s.size())));
    if (r.below(8) == 0)
        s = "000" + s;
    return std::string(prefixes[r.below(sizeof prefixes / sizeof prefixes[0])]) + s +
           suffixes[r.below(sizeof suffixes / sizeof suffixes[0])];
}

} // namespace

int main(int argc, char **argv) {
    const unsigned long count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000000;
    rng r{42};
    parser ps{};
    unsigned long floats = 0, integers = 0, bad = 0;
    for (unsigned long i = 0; i < count; i++) {
        std::string text = random_number(r);
        char *lib_end = nullptr;
        errno = 0;
        const float lib = strtof(text.c_str(), &lib_end);
        const bool overflow = errno == ERANGE && std::isinf(lib);
        if (lib_end != text.c_str() && !overflow) {
            floats++;
            char *end = nullptr;
            const float got = read_float(text.data(), &end, &ps);
            if (memcmp(&got, &lib, sizeof got) != 0 ||
                end - text.data() != lib_end - text.c_str()) {
                if (bad++ < 20)
                    printf("float '%s': %.9g at %td, strtof %.9g at %td\n", text.c_str(), got,
                           end - text.data(), lib, lib_end - text.c_str());
            }
        }

        text = random_integer(r);
        errno = 0;
        const unsigned long long lib_u = strtoull(text.c_str(), &lib_end, 10);
        const char *s = text.c_str();
        while (*s == ' ' || *s == '\t')
            s++;
        const unsigned long long magnitude = *s == '-' ? 0 - lib_u : lib_u;
        if (lib_end != text.c_str() && errno == 0 && magnitude <= 0xFFFFFFFFull) {
            integers++;
            char *end = nullptr;
            const unsigned got = read_uint(text.data(), &end, &ps);
            if (got != static_cast<unsigned>(lib_u) ||
                end - text.data() != lib_end - text.c_str()) {
                if (bad++ < 20)
                    printf("integer '%s': %u at %td, strtoull %u at %td\n", text.c_str(), got,
                           end - text.data(), static_cast<unsigned>(lib_u), lib_end - text.c_str());
            }
        }
    }
    // Every number of up to 7 digits with each count of decimals the conversion takes itself.
    char text[32];
    for (int q = 0; q <= 8; q++)
        for (unsigned k = 0; k < 10000000; k += 1 + (q == 0 ? 0 : r.below(3))) {
            const auto unit = static_cast<unsigned>(exp10i(q));
            if (q == 0)
                snprintf(text, sizeof text, "%u", k);
            else
                snprintf(text, sizeof text, "%u.%0*u", k / unit, q, k % unit);
            char *lib_end = nullptr;
            const float lib = strtof(text, &lib_end);
            char *end = nullptr;
            const float got = read_float(text, &end, &ps);
            floats++;
            if (memcmp(&got, &lib, sizeof got) != 0 || end != lib_end) {
                if (bad++ < 20)
                    printf("float '%s': %.9g, strtof %.9g\n", text, got, lib);
            }
        }
    printf("%lu floats, %lu integers compared, %lu differences\n", floats, integers, bad);
    return bad == 0 ? 0 : 1;
}

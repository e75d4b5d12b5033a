// Fuzzing harness of the paths reader: the input is a paths file. The points read are then
// drawn by the path marker export, which runs them through the quaternion math.
//
// The line parser converts common decimal numbers itself and leaves the rest to the C library,
// so the input's first line is also converted both ways, as a float and as an unsigned integer:
// the results must agree bit for bit, end position and refusal included.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "qz_filefunc.h"
#include "qz_path.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("paths");
    return 0;
}

namespace {

// The conversions as the C library makes them, with the parser's rules for what is refused.
bool libc_float(const char *p, float *value, const char **end) {
    char *e = nullptr;
    errno = 0;
    *value = strtof(p, &e);
    *end = e;
    const bool overflow = *value == HUGE_VALF || *value == -HUGE_VALF;
    return !(errno == ERANGE ? overflow : errno != 0) && e != p;
}

bool libc_uint(const char *p, unsigned *value, const char **end) {
    char *e = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(p, &e, 10);
    *end = e;
    const char *s = p;
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    const unsigned long long magnitude = *s == '-' ? 0 - v : v;
    *value = static_cast<unsigned>(v);
    return errno == 0 && magnitude <= 0xFFFFFFFFull && e != p;
}

[[noreturn]] void mismatch(const char *what, const std::string &text) {
    fprintf(stderr, "%s disagrees with the C library on '%s'\n", what, text.c_str());
    abort();
}

void check_numbers(const uint8_t *data, size_t size) {
    const auto *lf = static_cast<const uint8_t *>(memchr(data, '\n', size));
    std::string text(reinterpret_cast<const char *>(data), lf != nullptr ? lf - data : size);
    text.resize(strlen(text.c_str())); // as the parser hands it out: up to a NUL
    static parser ps;                  // only read for a report: line, line number, hint
    ps.line = text.data();

    float f = 0, libc_f = 0;
    const char *libc_end = nullptr;
    const bool libc_ok = libc_float(text.c_str(), &libc_f, &libc_end);
    char *end = nullptr;
    try {
        f = read_float(text.data(), &end, &ps);
        if (!libc_ok || memcmp(&f, &libc_f, sizeof f) != 0 || end != libc_end)
            mismatch("read_float", text);
    } catch (const qz_die_exit &) {
        if (libc_ok)
            mismatch("read_float", text);
    }

    unsigned u = 0, libc_u = 0;
    const bool libc_uint_ok = libc_uint(text.c_str(), &libc_u, &libc_end);
    try {
        u = read_uint(text.data(), &end, &ps);
        if (!libc_uint_ok || u != libc_u || end != libc_end)
            mismatch("read_uint", text);
    } catch (const qz_die_exit &) {
        if (libc_uint_ok)
            mismatch("read_uint", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_numbers(data, size);

    const qzfuzz::fs::path work = qzfuzz::enter_work_dir();
    qzfuzz::write_file(work / "p.paths", data, size);
    path_data_ll *list = nullptr;
    try {
        list = read_paths_file("p.paths");
        write_obj_path_file_combined("p_paths.obj", 1, list, "fuzz_paths");
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    free_path_list(list);
    qzfuzz::leave_work_dir();
    return 0;
}

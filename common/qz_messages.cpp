// Standard output, and the fatal path that ends a run: the message, the removal of the run's
// files, the exit.
#include "qz_filefunc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qz_platform.h"

std::string formatted(const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

void print(unsigned int indent_level, const char *fmt, ...) {
    for (unsigned int i = 0; i < indent_level; i++)
        fputs("  ", stdout);
    va_list ap;
    va_start(ap, fmt);
    plat_vfprintf(stdout, fmt, ap);
    va_end(ap);
}

void die_report(const char *fmt, va_list ap) {
    // Progress already printed must stand before the error.
    fflush(stdout);
    fflush(stderr);
    fputs("*error*:", stderr);
    plat_vfprintf(stderr, fmt, ap);
}

static bool workers_running = false;

void set_workers_running(bool running) {
    workers_running = running;
}

void die_end() {
    fflush(stderr);
    discard_outputs();
#ifdef QZ_DIE_THROWS
    throw qz_die_exit{};
#else
    if (workers_running) {
        fflush(stdout);
        _Exit(-1);
    }
    exit(-1);
#endif
}

void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    die_report(fmt, ap);
    va_end(ap);
    die_end();
}

// The progress line of a large file on standard error.
#include "qz_filefunc.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "qz_platform.h"

int show_progress = 1;

void progress_start(progress_line *p, const std::string &line, bool kept, uint64_t total) {
    p->line = line;
    p->kept = kept;
    p->total = total;
    p->start = p->drawn = std::chrono::steady_clock::now();
    p->width = 0;
}

void progress_step(progress_line *p, uint64_t done) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (now - p->start < seconds(1) || now - p->drawn < milliseconds(100) || !show_progress ||
        !plat_is_terminal(stderr))
        return;
    if (p->width == 0 && p->kept)
        fflush(stdout); // the start of the line, so that both show in their place
    p->drawn = now;
    constexpr double MIB = 1024.0 * 1024.0;
    const double seconds_taken = duration<double>(now - p->start).count();
    const std::string text =
        formatted("%s%3u%%  %.1f of %.1f MiB  %.1f MiB/s", p->line.c_str(),
                  static_cast<unsigned>(p->total != 0 ? done * 100 / p->total : 100), done / MIB,
                  p->total / MIB, done / MIB / seconds_taken);
    // Blanks over what is left of a longer text drawn before.
    const std::string blanks(p->width > text.size() ? p->width - text.size() : 0, ' ');
    plat_fprintf(stderr, "\r%s%s", text.c_str(), blanks.c_str());
    fflush(stderr);
    p->width = std::max(p->width, text.size());
}

void progress_end(progress_line *p) {
    if (p->width == 0)
        return;
    const std::string blanks(p->width, ' ');
    const bool same_line = p->kept && plat_is_terminal(stdout);
    plat_fprintf(stderr, "\r%s\r%s", blanks.c_str(), same_line ? p->line.c_str() : "");
    fflush(stderr);
    p->width = 0;
}

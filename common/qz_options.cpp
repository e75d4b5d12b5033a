// The options every tool shares (--help, --version, -j), and the worker threads of -j.
#include "qz_filefunc.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "qz_platform.h"

bool standard_option(const char *arg, void (*usage)(const char *name), const char *name) {
    const bool help = strcmp(arg, "--help") == 0;
    if (help)
        usage(name);
    return help || strcmp(arg, "--version") == 0;
}

unsigned threads_option(const char *text) {
    unsigned n = 0;
    for (const char *c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(*c - '0');
        if (n > MAX_THREADS)
            return 0;
    }
    return n;
}

unsigned default_threads() {
    return std::min(plat_cpu_count(), MAX_THREADS);
}

void workers::start(unsigned count, const std::function<void()> &work) {
    try {
        while (threads.size() < count)
            threads.emplace_back(work);
    } catch (const std::system_error &) {
        // as many as there are
    }
    if (!threads.empty())
        set_workers_running(true);
}

void workers::stop_all() {
    {
        const std::lock_guard<std::mutex> hold(lock);
        stop = true;
    }
    changed.notify_all();
    for (std::thread &t : threads)
        t.join();
    if (!threads.empty())
        set_workers_running(false);
    threads.clear();
}

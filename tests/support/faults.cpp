// Put in front of the C library with LD_PRELOAD: faults at chosen points of a run, steered by
// the environment, each counted over the whole process (all threads) from 1.
//
//   QZ_KILL_AT_CREATE=N    SIGTERM to the process right after the Nth open() that may create a
//                          file (the tools make their files through open())
//   QZ_LINK_AT_CREATE=N    right after the Nth such open(), a symbolic link QZ_LINK_NAME that
//                          leads to QZ_LINK_TARGET appears, as another program could put it there
//   QZ_KILL_AT_RENAME=N    SIGTERM to the process right before the Nth rename
//   QZ_FAIL_RENAME_AT=N    the Nth rename fails with EPERM and changes nothing
//   QZ_CREATE_BEFORE_RENAME=1  before each rename, a file "intruder" appears at the new name
//                              when nothing stands there, as another program could make it
//   QZ_FAIL_THREADS=1      every new thread fails to start (EAGAIN): a system with none to spare
//   QZ_SLOW_READ_US=N      each read() and pread() moves the program's monotonic clock on by N
//                          microseconds for every KiB it asks for: a slow disk as the program
//                          sees it, so that a run on a small file takes seconds by its clock
//                          while it takes no longer to run
//
// The signal goes to the process, as kill(1) sends it, not to the thread that made the call.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long setting(const char *name) {
    const char *v = getenv(name);
    return v != nullptr ? atol(v) : 0;
}

std::atomic<long> creates{0}, renames{0};

const char *text_setting(const char *name) {
    const char *v = getenv(name);
    return v != nullptr ? v : "";
}

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int after_open(int fd, int flags) {
    static const long kill_at = setting("QZ_KILL_AT_CREATE");
    static const long link_at = setting("QZ_LINK_AT_CREATE");
    if ((flags & O_CREAT) == 0)
        return fd;
    const long n = ++creates;
    const int error = errno;
    if (n == link_at && symlink(text_setting("QZ_LINK_TARGET"), text_setting("QZ_LINK_NAME")) != 0)
        perror("faults: symlink");
    if (n == kill_at)
        kill(getpid(), SIGTERM);
    errno = error;
    return fd;
}

// Whether the rename to `to` is to go ahead; errno is set when not.
bool before_rename(int dirfd, const char *to) {
    static const long kill_at = setting("QZ_KILL_AT_RENAME");
    static const long fail_at = setting("QZ_FAIL_RENAME_AT");
    static const long intrude = setting("QZ_CREATE_BEFORE_RENAME");
    const long n = ++renames;
    if (n == kill_at)
        kill(getpid(), SIGTERM);
    if (n == fail_at) {
        errno = EPERM;
        return false;
    }
    if (intrude != 0) {
        using openat_fn = int (*)(int, const char *, int, ...);
        static const auto real_openat = next<openat_fn>("openat");
        const int fd = real_openat(dirfd, to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t written = write(fd, "intruder", 8);
            close(fd);
        }
    }
    return true;
}

// How far the reads have moved the monotonic clock on, in nanoseconds.
std::atomic<long long> read_time_ns{0};

void slow_read(size_t n) {
    static const long per_kib = setting("QZ_SLOW_READ_US");
    if (per_kib > 0)
        read_time_ns += static_cast<long long>(per_kib) * static_cast<long long>(n / 1024) * 1000;
}

mode_t mode_of(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    using fn = int (*)(const char *, int, ...);
    static const auto real = next<fn>("open");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return after_open(real(path, flags, mode), flags);
}

int openat(int dirfd, const char *path, int flags, ...) {
    using fn = int (*)(int, const char *, int, ...);
    static const auto real = next<fn>("openat");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return after_open(real(dirfd, path, flags, mode), flags);
}

ssize_t read(int fd, void *buf, size_t n) {
    using fn = ssize_t (*)(int, void *, size_t);
    static const auto real = next<fn>("read");
    slow_read(n);
    return real(fd, buf, n);
}

ssize_t pread(int fd, void *buf, size_t n, off_t offset) {
    using fn = ssize_t (*)(int, void *, size_t, off_t);
    static const auto real = next<fn>("pread");
    slow_read(n);
    return real(fd, buf, n, offset);
}

int clock_gettime(clockid_t clock, timespec *now) {
    using fn = int (*)(clockid_t, timespec *);
    static const auto real = next<fn>("clock_gettime");
    const int r = real(clock, now);
    if (r == 0 && clock == CLOCK_MONOTONIC) {
        const long long ns = now->tv_nsec + read_time_ns.load();
        now->tv_sec += static_cast<time_t>(ns / 1000000000);
        now->tv_nsec = static_cast<long>(ns % 1000000000);
    }
    return r;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
    using fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto real = next<fn>("pthread_create");
    static const long fail = setting("QZ_FAIL_THREADS");
    return fail != 0 ? EAGAIN : real(thread, attr, start, arg);
}

// A wait until a time of that clock waits as long as it would without the reads' share.
int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const timespec *until) {
    using fn = int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);
    static const auto real = next<fn>("pthread_cond_clockwait");
    timespec shifted = *until;
    if (clock == CLOCK_MONOTONIC) {
        const long long ns = until->tv_sec * 1000000000LL + until->tv_nsec - read_time_ns.load();
        shifted = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    return real(cond, mutex, clock, &shifted);
}

int rename(const char *from, const char *to) {
    using fn = int (*)(const char *, const char *);
    static const auto real = next<fn>("rename");
    return before_rename(AT_FDCWD, to) ? real(from, to) : -1;
}

int renameat2(int olddirfd, const char *from, int newdirfd, const char *to, unsigned flags) {
    using fn = int (*)(int, const char *, int, const char *, unsigned);
    static const auto real = next<fn>("renameat2");
    return before_rename(newdirfd, to) ? real(olddirfd, from, newdirfd, to, flags) : -1;
}
}

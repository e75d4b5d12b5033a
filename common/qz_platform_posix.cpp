// The POSIX half of the platform module: paths as they stand but for the tools' separator,
// signals, directories.
#include "qz_platform.h"
#include "qz_platform_impl.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>  // renameat2
#include <cstdlib> // realpath
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h> // mallopt
#endif
#include <pthread.h>
#include <sched.h> // sched_getaffinity
#include <sys/stat.h>
#include <unistd.h>

// ---- POSIX: paths as they stand, but for the tools' separator ----

namespace {
struct os_path {
    std::string s;
    explicit os_path(const char *path) : s(path) {
        for (char &c : s)
            if (c == '\\')
                c = '/';
    }
    operator const char *() const { return s.c_str(); }
};
} // namespace

namespace {
// The files an interrupt removes. The interrupt signals are blocked in every thread from the
// start (plat_init), and a thread of their own waits for them. It removes the files under the
// lock that every change of the list takes, and so does the making of a listed file: when the
// interrupt comes, a file is made and listed, or neither. Once it holds the lock, no file is made
// any more, whatever other threads are doing.
std::recursive_mutex interrupt_lock;
std::vector<std::string> interrupt_paths;
bool interrupts_ignored = false;
const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
sigset_t waited_signals;

void *wait_for_interrupts(void *) {
    for (;;) {
        int sig = 0;
        if (sigwait(&waited_signals, &sig) != 0)
            continue;
        interrupt_lock.lock(); // kept to the end of the process
        if (interrupts_ignored) {
            interrupt_lock.unlock();
            continue;
        }
        for (const std::string &p : interrupt_paths)
            unlink(p.c_str());
        // The process ends as the signal ends it.
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
    }
}
} // namespace

// Opening a FIFO without a writer would wait for one, for good: nothing waits at the open, and
// reads wait again as they do for any descriptor.
int plat_open_read(const char *path) {
    const int fd = open(os_path(path), O_RDONLY | O_NONBLOCK);
    if (fd >= 0)
        fcntl(fd, F_SETFL, 0); // the only status flag it was opened with
    return fd;
}

int plat_open_write(const char *path) {
    return open(os_path(path), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

int plat_open_new(const char *path) {
    return open(os_path(path), O_WRONLY | O_CREAT | O_EXCL, 0644);
}

FILE *plat_fopen(const char *path, const char *mode) {
    return fopen(os_path(path), mode);
}

FILE *plat_fdopen(int fd, const char *mode) {
    return fdopen(fd, mode);
}

int plat_open_temp(const char *target, char *name, size_t room) {
    struct stat st;
    if (stat(os_path(target), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR; // as opening it for writing would say
        return -1;
    }
    return with_fresh_name(os_path(target), "/", name, room, [](const char *temp) {
        // Made and listed for an interrupt together, or neither.
        const std::lock_guard<std::recursive_mutex> hold(interrupt_lock);
        const int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0)
            interrupt_paths.push_back(temp);
        return fd;
    });
}

// fsync, or with whole set to syncfs for the file's whole file system where there is one.
static int sync_path(const char *path, bool whole) {
    const int fd = open(os_path(path), O_RDONLY);
    if (fd < 0)
        return -1;
#ifdef __linux__
    const int rc = whole ? syncfs(fd) : fsync(fd);
#else
    (void)whole;
    const int rc = fsync(fd);
#endif
    const int error = errno;
    close(fd);
    errno = error;
    return rc;
}

int plat_sync_files(const char *const *paths, size_t n, size_t *failed) {
    // A few files one by one; beyond that, each file system once.
    constexpr size_t one_by_one = 4;
    std::vector<dev_t> synced;
    for (size_t i = 0; i < n; i++) {
        *failed = i;
        struct stat st;
        if (stat(os_path(paths[i]), &st) != 0)
            return -1;
        if (n > one_by_one && std::find(synced.begin(), synced.end(), st.st_dev) != synced.end())
            continue;
        if (sync_path(paths[i], n > one_by_one) != 0)
            return -1;
        synced.push_back(st.st_dev);
    }
    return 0;
}

int plat_rename_replace(const char *from, const char *to) {
    return rename(os_path(from), os_path(to));
}

static int rename_noreplace(const char *from, const char *to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
#endif
    // A file system without it: a second name is never made over an existing one.
    if (link(from, to) != 0)
        return -1;
    unlink(from);
    return 0;
}

int plat_rename_new(const char *from, const char *to) {
    return rename_noreplace(os_path(from), os_path(to));
}

int plat_set_aside(const char *target, char *name, size_t room) {
    const os_path path(target);
    return with_fresh_name(path, "/", name, room, [&path](const char *aside) {
        // link() takes a symbolic link itself, not what it leads to.
        if (link(path, aside) == 0)
            return 0;
        // No second name here (a file system without them, a file the system protects): the
        // file itself moves aside.
        if (errno != EEXIST && rename_noreplace(path, aside) == 0)
            return 1;
        return -1;
    });
}

static const char *kind_of(mode_t mode) {
    return S_ISDIR(mode)    ? "a directory"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISSOCK(mode) ? "a socket"
                            : "not a regular file";
}

int plat_target_kind(const char *path, std::string *what) {
    const os_path p(path);
    struct stat l, s;
    if (lstat(p, &l) != 0)
        return 0;
    if (S_ISREG(l.st_mode))
        return 1;
    if (!S_ISLNK(l.st_mode)) {
        *what = kind_of(l.st_mode);
        return 2;
    }
    if (stat(p, &s) != 0) {
        *what = "a link that leads nowhere";
        return 2;
    }
    if (S_ISREG(s.st_mode))
        return 1;
    *what = std::string("a link to ") + kind_of(s.st_mode);
    return 2;
}

int plat_remove(const char *path) {
    return unlink(os_path(path));
}

int plat_rmdir(const char *path) {
    return rmdir(os_path(path));
}

struct plat_held_dir {
    int fd;
};

namespace {
// Why name in dir could not be opened as it was asked: a link there gives ELOOP, whatever the
// call said.
int refusal(int dirfd, const char *name, int error) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        error = ELOOP;
    errno = error;
    return -1;
}

plat_held_dir *held(int fd) {
    if (fd < 0)
        return nullptr;
    return new plat_held_dir{fd};
}
} // namespace

plat_held_dir *plat_hold_dir(const char *path) {
    return held(open(os_path(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

plat_held_dir *plat_hold_subdir(plat_held_dir *dir, const char *name) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dir->fd, name, flags);
    if (fd < 0 && errno == ENOENT) {
        const bool made = mkdirat(dir->fd, name, 0777) == 0;
        const int made_error = errno;
        fd = openat(dir->fd, name, flags);
        if (fd < 0 && errno == ENOENT && !made)
            errno = made_error; // nothing there, and why it could not be made
    }
    if (fd < 0)
        refusal(dir->fd, name, errno);
    return held(fd);
}

int plat_open_new_in(plat_held_dir *dir, const char *name) {
    const int fd =
        openat(dir->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : refusal(dir->fd, name, errno);
}

void plat_release_dir(plat_held_dir *dir) {
    if (dir != nullptr)
        close(dir->fd);
    delete dir;
}

void plat_remove_on_interrupt(const char *path) {
    const std::lock_guard<std::recursive_mutex> hold(interrupt_lock);
    interrupt_paths.push_back(os_path(path).s);
}

void plat_keep_on_interrupt() {
    const std::lock_guard<std::recursive_mutex> hold(interrupt_lock);
    interrupt_paths.clear();
}

void plat_keep_one_on_interrupt(const char *path) {
    const std::lock_guard<std::recursive_mutex> hold(interrupt_lock);
    const auto at = std::find(interrupt_paths.begin(), interrupt_paths.end(), os_path(path).s);
    if (at != interrupt_paths.end())
        interrupt_paths.erase(at);
}

void plat_hold_interrupts(bool hold) {
    if (hold)
        interrupt_lock.lock();
    else
        interrupt_lock.unlock();
}

void plat_ignore_interrupts() {
    const std::lock_guard<std::recursive_mutex> hold(interrupt_lock);
    interrupts_ignored = true;
}

unsigned plat_cpu_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

std::string plat_name_key(const char *name) {
    return name;
}

int plat_stat(const char *path, plat_stat_info *st) {
    struct stat s;
    if (stat(os_path(path), &s) != 0)
        return -1;
    st->mode = S_ISDIR(s.st_mode)   ? PLAT_S_IFDIR
               : S_ISREG(s.st_mode) ? PLAT_S_IFREG
                                    : static_cast<uint32_t>(s.st_mode) & PLAT_S_IFMT;
    st->size = static_cast<uint64_t>(s.st_size);
    st->dev = static_cast<uint64_t>(s.st_dev);
    st->ino = static_cast<uint64_t>(s.st_ino);
    return 0;
}

int plat_stat_id(const char *path, plat_stat_info *st) {
    return plat_stat(path, st);
}

int plat_mkdir(const char *path) {
    return mkdir(os_path(path), 0777);
}

int plat_chdir(const char *path) {
    return chdir(os_path(path));
}

namespace {
int marked_dir = -1; // kept open: a name may be too long for the system to take back
}

int plat_mark_dir() {
    const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (marked_dir >= 0)
        close(marked_dir);
    marked_dir = fd;
    return 0;
}

int plat_chdir_back() {
    return fchdir(marked_dir);
}

int plat_full_path(const char *path, std::string *full, size_t *root) {
    char *real = realpath(os_path(path), nullptr);
    if (real == nullptr)
        return -1;
    *full = real;
    free(real);
    *root = 1;
    return 0;
}

bool plat_typed_path(const char *typed, std::string *path) {
    *path = typed;
    return true;
}

struct plat_dir {
    DIR *d;
    uint32_t mode; // of the entry returned last, as far as the directory tells it
};

plat_dir *plat_opendir(const char *path) {
    DIR *d = opendir(os_path(path));
    if (d == nullptr)
        return nullptr;
    return new plat_dir{d, 0};
}

const char *plat_readdir(plat_dir *d) {
    errno = 0; // readdir leaves it so at the end, and sets it when it fails
    struct dirent *e = readdir(d->d);
    d->mode = 0;
#ifdef _DIRENT_HAVE_D_TYPE
    if (e != nullptr && e->d_type == DT_REG)
        d->mode = PLAT_S_IFREG;
#endif
    return e != nullptr ? e->d_name : nullptr;
}

void plat_closedir(plat_dir *d) {
    closedir(d->d);
    delete d;
}

void plat_init(int *, char ***) {
#ifdef __GLIBC__
    // A block of 1 MiB or more comes from the system and goes back to it when it is freed. Left
    // to itself, glibc raises that bound to the largest block freed so far and then keeps such
    // blocks in the arena of each thread that freed one: sixteen threads that had inflated
    // 32 MiB each went on holding half a GiB.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    // A signal that was ignored when the run started (nohup) stays ignored.
    sigemptyset(&waited_signals);
    for (int sig : interrupt_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaddset(&waited_signals, sig);
    }
    pthread_sigmask(SIG_BLOCK, &waited_signals, nullptr);
    // Should no thread be had (a system out of them), the signals end the run as they would
    // without the tools' care.
    pthread_t waiter;
    if (pthread_create(&waiter, nullptr, wait_for_interrupts, nullptr) == 0)
        pthread_detach(waiter);
    else
        pthread_sigmask(SIG_UNBLOCK, &waited_signals, nullptr);
}

bool plat_is_terminal(FILE *stream) {
    return isatty(fileno(stream)) != 0;
}

int plat_vfprintf(FILE *stream, const char *fmt, va_list ap) {
    return vfprintf(stream, fmt, ap);
}

std::string plat_stored_name(const char *bytes, size_t n) {
    return std::string(bytes, n);
}

bool plat_name_allowed(const char *) {
    return true;
}

uint32_t plat_readdir_mode(const plat_dir *d) {
    return d->mode;
}

// The POSIX half of the platform module: paths as they stand but for the tools' separator,
// signals, directories.
#include "qz_platform.h"
#include "qz_platform_impl.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
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

int plat_open_read(const char *path) {
    return open(os_path(path), O_RDONLY);
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
    const std::string path = os_path(target).s;
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string temp = temp_name(path.c_str(), "/");
        if (temp.size() >= room) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            memcpy(name, temp.c_str(), temp.size() + 1);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
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

int plat_remove(const char *path) {
    return unlink(os_path(path));
}

namespace {
// The files an interrupt removes. The list only changes while the signals are blocked in the
// thread that changes it, and threads are started with them blocked (plat_hold_interrupts), so
// the handler runs in the one thread that may change the list and never sees it halfway.
std::vector<std::string> interrupt_paths;
const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int sig) {
    for (const std::string &p : interrupt_paths)
        unlink(p.c_str());
    signal(sig, SIG_DFL);
    raise(sig); // the process ends as the signal ends it
}

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : interrupt_signals)
        sigaddset(&set, sig);
    return set;
}
} // namespace

void plat_remove_on_interrupt(const char *path) {
    const sigset_t set = interrupt_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    interrupt_paths.push_back(os_path(path).s);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void plat_keep_on_interrupt() {
    const sigset_t set = interrupt_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    interrupt_paths.clear();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void plat_keep_one_on_interrupt(const char *path) {
    const sigset_t set = interrupt_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const auto at = std::find(interrupt_paths.begin(), interrupt_paths.end(), os_path(path).s);
    if (at != interrupt_paths.end())
        interrupt_paths.erase(at);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void plat_hold_interrupts(bool hold) {
    const sigset_t set = interrupt_set();
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
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
    // A signal that was ignored when the run started (nohup) stays ignored.
    for (int sig : interrupt_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_interrupt;
        sa.sa_mask = interrupt_set(); // one interrupt at a time
        sigaction(sig, &sa, nullptr);
    }
}

int plat_vfprintf(FILE *stream, const char *fmt, va_list ap) {
    return vfprintf(stream, fmt, ap);
}

bool plat_name_allowed(const char *) {
    return true;
}

uint32_t plat_readdir_mode(const plat_dir *d) {
    return d->mode;
}

#include "qz_platform.h"

#include <cerrno>
#include <string>

#ifdef _WIN32
#include <windows.h> // file identity
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <dirent.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h> // madvise
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

static const char *os_path(const char *path) {
    return path;
}

#else

// The tools build their paths with '\'; this system separates with '/'.
namespace {
struct os_path_buf {
    std::string s;
    explicit os_path_buf(const char *path) : s(path) {
        for (char &c : s)
            if (c == '\\')
                c = '/';
    }
    operator const char *() const { return s.c_str(); }
};
} // namespace

static os_path_buf os_path(const char *path) {
    return os_path_buf(path);
}

#endif

#ifdef _WIN32
static void fill_stat(const struct _stat64 &s, plat_stat_info *st) {
    st->mode = static_cast<uint32_t>(s.st_mode) & PLAT_S_IFMT;
    st->size = static_cast<uint64_t>(s.st_size);
    st->dev = static_cast<uint64_t>(s.st_dev);
    st->ino = static_cast<uint64_t>(s.st_ino);
}
#else
static void fill_stat(const struct stat &s, plat_stat_info *st) {
    uint32_t type = 0;
    if (S_ISDIR(s.st_mode))
        type = PLAT_S_IFDIR;
    else if (S_ISREG(s.st_mode))
        type = PLAT_S_IFREG;
    else
        type = static_cast<uint32_t>(s.st_mode) & PLAT_S_IFMT;
    st->mode = type;
    st->size = static_cast<uint64_t>(s.st_size);
    st->dev = static_cast<uint64_t>(s.st_dev);
    st->ino = static_cast<uint64_t>(s.st_ino);
}
#endif

int plat_open_read(const char *path) {
#ifdef _WIN32
    return _open(path, _O_RDONLY | _O_BINARY);
#else
    return open(os_path(path), O_RDONLY);
#endif
}

int plat_open_write(const char *path) {
#ifdef _WIN32
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(os_path(path), O_WRONLY | O_CREAT | O_TRUNC, 0644);
#endif
}

int plat_open_new(const char *path) {
#ifdef _WIN32
    return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(os_path(path), O_WRONLY | O_CREAT | O_EXCL, 0644);
#endif
}

int64_t plat_read(int fd, void *dst, size_t len) {
#ifdef _WIN32
    if (len > 0x7FFFFFFF)
        len = 0x7FFFFFFF;
    return _read(fd, dst, static_cast<unsigned>(len));
#else
    return read(fd, dst, len);
#endif
}

int64_t plat_write(int fd, const void *src, size_t len) {
#ifdef _WIN32
    if (len > 0x7FFFFFFF)
        len = 0x7FFFFFFF;
    return _write(fd, src, static_cast<unsigned>(len));
#else
    return write(fd, src, len);
#endif
}

int64_t plat_seek(int fd, int64_t offset, int whence) {
#ifdef _WIN32
    return _lseeki64(fd, offset, whence);
#else
    return lseek(fd, static_cast<off_t>(offset), whence);
#endif
}

int64_t plat_tell(int fd) {
    return plat_seek(fd, 0, SEEK_CUR);
}

int plat_close(int fd) {
#ifdef _WIN32
    return _close(fd);
#else
    return close(fd);
#endif
}

int plat_stat(const char *path, plat_stat_info *st) {
#ifdef _WIN32
    struct _stat64 s;
    if (_stat64(path, &s) != 0)
        return -1;
#else
    struct stat s;
    if (stat(os_path(path), &s) != 0)
        return -1;
#endif
    fill_stat(s, st);
    return 0;
}

int plat_fstat(int fd, plat_stat_info *st) {
#ifdef _WIN32
    struct _stat64 s;
    if (_fstat64(fd, &s) != 0)
        return -1;
#else
    struct stat s;
    if (fstat(fd, &s) != 0)
        return -1;
#endif
    fill_stat(s, st);
    return 0;
}

int plat_mkdir(const char *path) {
#ifdef _WIN32
    return _mkdir(path);
#else
    return mkdir(os_path(path), 0777);
#endif
}

int plat_chdir(const char *path) {
#ifdef _WIN32
    return _chdir(path);
#else
    return chdir(os_path(path));
#endif
}

FILE *plat_fopen(const char *path, const char *mode) {
    return fopen(os_path(path), mode);
}

int plat_fseek(FILE *f, int64_t offset, int whence) {
#ifdef _WIN32
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

int64_t plat_ftell(FILE *f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return ftello(f);
#endif
}

int plat_fstat_stream(FILE *f, plat_stat_info *st) {
#ifdef _WIN32
    return plat_fstat(_fileno(f), st);
#else
    return plat_fstat(fileno(f), st);
#endif
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
    struct dirent *e = readdir(d->d);
    d->mode = 0;
#ifdef _DIRENT_HAVE_D_TYPE
    if (e != nullptr && e->d_type == DT_REG)
        d->mode = PLAT_S_IFREG;
#endif
    return e != nullptr ? e->d_name : nullptr;
}

uint32_t plat_readdir_mode(const plat_dir *d) {
    return d->mode;
}

void plat_closedir(plat_dir *d) {
    closedir(d->d);
    delete d;
}

void plat_binary_stdio() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

void plat_prepare_large_block(void *p, size_t len) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (len < (size_t{2} << 20))
        return;
    // Only whole pages inside the block are advised. Both calls are requests that an older
    // kernel or a lack of huge pages may turn down; the block works the same either way.
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + len) & ~(page - 1);
    if (end <= start)
        return;
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#endif
#else
    (void)p;
    (void)len;
#endif
}

#ifdef _WIN32

int plat_stat_id(const char *path, plat_stat_info *st) {
    if (plat_stat(path, st) != 0)
        return -1;
    st->dev = 0;
    st->ino = 0;
    // No access rights asked: only the file's identity is read, whoever holds it open.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        st->dev = info.dwVolumeSerialNumber;
        st->ino = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    CloseHandle(h);
    return 0;
}

#else

int plat_stat_id(const char *path, plat_stat_info *st) {
    return plat_stat(path, st);
}

#endif

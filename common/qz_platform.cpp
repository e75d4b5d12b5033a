// The platform module's calls that are the same on every system once a file is open: descriptors,
// streams and status. What differs lives in qz_platform_win.cpp and qz_platform_posix.cpp, of
// which each build compiles the one for its system.
#include "qz_platform.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "qz_platform_impl.h"

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/mman.h> // madvise
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---- Descriptors, streams and status: the same on every platform once a file is open ----

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

int64_t plat_pread(int fd, void *dst, size_t len, uint64_t offset) {
#ifdef _WIN32
    // A read with an offset of its own leaves the handle's position as it was for the other
    // threads; a handle opened without FILE_FLAG_OVERLAPPED reads synchronously all the same.
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(h, dst, static_cast<DWORD>(std::min<size_t>(len, 0x40000000)), &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        errno = EIO;
        return -1;
    }
    return got;
#else
    return pread(fd, dst, len, static_cast<off_t>(offset));
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

int plat_fstat(int fd, plat_stat_info *st) {
#ifdef _WIN32
    struct _stat64 s;
    if (_fstat64(fd, &s) != 0)
        return -1;
    st->mode = static_cast<uint32_t>(s.st_mode) & PLAT_S_IFMT;
#else
    struct stat s;
    if (fstat(fd, &s) != 0)
        return -1;
    st->mode = S_ISDIR(s.st_mode)   ? PLAT_S_IFDIR
               : S_ISREG(s.st_mode) ? PLAT_S_IFREG
                                    : static_cast<uint32_t>(s.st_mode) & PLAT_S_IFMT;
#endif
    st->size = static_cast<uint64_t>(s.st_size);
    st->dev = static_cast<uint64_t>(s.st_dev);
    st->ino = static_cast<uint64_t>(s.st_ino);
    return 0;
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

std::string temp_name(const char *target, const char *separators) {
    const std::string t = target;
    const size_t cut = t.find_last_of(separators);
    const size_t start = cut == std::string::npos ? 0 : cut + 1;
    static uint64_t state = 0;
    if (state == 0)
        state = static_cast<uint64_t>(time(nullptr)) ^ reinterpret_cast<uintptr_t>(&state) ^
#ifdef _WIN32
                (uint64_t{GetCurrentProcessId()} << 32);
#else
                (static_cast<uint64_t>(getpid()) << 32);
#endif
    state = state * 6364136223846793005u + 1442695040888963407u;
    char tail[24];
    snprintf(tail, sizeof tail, ".tmp%08x", static_cast<unsigned>(state >> 32));
    return t.substr(0, start) + "." + t.substr(start, 200) + tail;
}

const char *plat_file_part(const char *path) {
    const char *file = path;
#ifdef _WIN32
    if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':')
        file = path + 2;
#endif
    for (const char *c = file; *c != '\0'; c++)
        if (*c == '/' || *c == '\\')
            file = c + 1;
    return file;
}

bool plat_path_leaves_dir(const char *path) {
    if (path[0] == '/' || path[0] == '\\')
        return true;
#ifdef _WIN32
    if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':')
        return true;
#endif
    long depth = 0;
    for (const char *c = path; *c != '\0';) {
        const size_t len = strcspn(c, "/\\");
        if (len == 2 && c[0] == '.' && c[1] == '.') {
            if (--depth < 0)
                return true;
        } else if (len != 0 && !(len == 1 && c[0] == '.')) {
            depth++;
        }
        c += len;
        if (*c != '\0')
            c++;
    }
    return false;
}

bool plat_is_temp_name(const char *name) {
    // "." + at least one byte of the target's name + ".tmp" + eight hexadecimal digits.
    const size_t len = strlen(name);
    if (len < 14 || name[0] != '.' || memcmp(name + len - 12, ".tmp", 4) != 0)
        return false;
    for (size_t i = len - 8; i < len; i++)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f')))
            return false;
    return true;
}

int plat_fprintf(FILE *stream, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = plat_vfprintf(stream, fmt, ap);
    va_end(ap);
    return n;
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

// The one place that knows the operating system. Every other file of the project reaches files,
// directories and the working directory through these calls.
//
// On Windows they are the C runtime's own calls. On POSIX each backslash in a path is mapped to
// '/' before the call, so a path built with the tools' separator works on both.
#ifndef QZ_PLATFORM_H
#define QZ_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// File type bits of plat_stat_info::mode, the values the tools' formats and messages use.
constexpr uint32_t PLAT_S_IFMT = 0xF000;
constexpr uint32_t PLAT_S_IFDIR = 0x4000;
constexpr uint32_t PLAT_S_IFREG = 0x8000;

struct plat_stat_info {
    uint32_t mode; // file type bits only (PLAT_S_IFDIR, PLAT_S_IFREG, other)
    uint64_t size; // length in bytes
    uint64_t dev;  // device and file number together identify a file
    uint64_t ino;
};

// Opens for reading, binary. Returns a descriptor or -1 with errno set.
int plat_open_read(const char *path);
// Opens for writing: write-only, create, truncate, binary, permission bits 0644.
int plat_open_write(const char *path);
// The same, but only for a file it creates: -1 with errno EEXIST when anything at all already
// stands under the name (a link too, which is not followed).
int plat_open_new(const char *path);
// Reads or writes at most len bytes; returns the count, or -1 with errno set.
int64_t plat_read(int fd, void *dst, size_t len);
int64_t plat_write(int fd, const void *src, size_t len);
// whence is SEEK_SET, SEEK_CUR or SEEK_END; returns the new position or -1.
int64_t plat_seek(int fd, int64_t offset, int whence);
int64_t plat_tell(int fd);
int plat_close(int fd);

// Returns 0 and fills *st, or -1 with errno set. Links are followed.
int plat_stat(const char *path, plat_stat_info *st);
int plat_fstat(int fd, plat_stat_info *st);
int plat_mkdir(const char *path);
int plat_chdir(const char *path);

// Buffered streams, binary mode. mode is "rb", "wb" or "r+b".
FILE *plat_fopen(const char *path, const char *mode);
int plat_fseek(FILE *f, int64_t offset, int whence);
int64_t plat_ftell(FILE *f);
int plat_fstat_stream(FILE *f, plat_stat_info *st);

// Directory enumeration: entries in the order the system yields them, "." and ".." included.
struct plat_dir;
plat_dir *plat_opendir(const char *path);
// Returns the next entry's name, or null at the end. Valid until the next call.
const char *plat_readdir(plat_dir *d);
// What the directory itself tells of the entry plat_readdir returned last: PLAT_S_IFREG for a
// regular file (a link to one does not count), 0 when it tells nothing or the entry is of another
// kind. Where the system keeps the kind in the directory, this spares a stat per file.
uint32_t plat_readdir_mode(const plat_dir *d);
void plat_closedir(plat_dir *d);

// Puts standard output and standard error in binary mode, so "\n" is written as it stands.
void plat_binary_stdio();

// Readies a freshly allocated block of len bytes at p that is about to be filled whole: where
// the system offers it (Linux), the block is backed by huge pages and made present in one call,
// which spares the page faults of filling it page by page. Blocks below 2 MiB and other systems
// are left as they are; a system that cannot oblige leaves the block as it was.
void plat_prepare_large_block(void *p, size_t len);

// plat_stat, with dev and ino that identify the file on every platform: two names (links
// included) lead to the same file exactly when both agree. The Windows runtime's stat reports
// no file numbers, so there they come from the volume and the file index; ino stays 0 when
// the system gives none.
int plat_stat_id(const char *path, plat_stat_info *st);

#endif

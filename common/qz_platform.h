// The one place that knows the operating system. Every other file of the project reaches files,
// directories, the working directory, the command line and the console through these calls.
//
// Paths are UTF-8 text on every platform. On POSIX they are handed to the system as they are,
// byte for byte, but for each backslash, which is mapped to '/' so that a path built with the
// tools' separator works on both. On Windows every path goes to the wide (UTF-16) calls in
// their "\\?\" form, made absolute here, so that no length limit but the system's own 32,767
// units applies, and no name is changed on the way: the system then neither strips trailing
// dots and blanks nor takes "CON" or "aux.txt" for a device. Text that is not valid UTF-8 (a
// name written by an older Windows program) is read in the ANSI code page there.
#ifndef QZ_PLATFORM_H
#define QZ_PLATFORM_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

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

// Opens for reading, binary, without waiting (for the writer of a FIFO, say). Returns a
// descriptor or -1 with errno set.
int plat_open_read(const char *path);
// Opens for writing: write-only, create, truncate, binary, permission bits 0644.
int plat_open_write(const char *path);
// The same, but only for a file it creates: -1 with errno EEXIST when anything at all already
// stands under the name (a link too, which is not followed).
int plat_open_new(const char *path);
// Reads or writes at most len bytes; returns the count, or -1 with errno set.
int64_t plat_read(int fd, void *dst, size_t len);
int64_t plat_write(int fd, const void *src, size_t len);
// Reads at most len bytes from offset on, leaving the descriptor's position alone, so that
// threads may share the descriptor; returns the count (0 at the end), or -1 with errno set.
int64_t plat_pread(int fd, void *dst, size_t len, uint64_t offset);
// whence is SEEK_SET, SEEK_CUR or SEEK_END; returns the new position or -1.
int64_t plat_seek(int fd, int64_t offset, int whence);
int64_t plat_tell(int fd);
int plat_close(int fd);

// The longest path in bytes, its terminating NUL counted, that the system takes at its calls; 0
// where the system's own calls tell (Windows, whose limit of 32,767 UTF-16 units applies to the
// absolute path).
#ifdef _WIN32
constexpr size_t PLAT_PATH_MAX = 0;
#else
constexpr size_t PLAT_PATH_MAX = 4096;
#endif

// The separator between the components of a path as the system's own programs show it.
#ifdef _WIN32
constexpr char PLAT_SEPARATOR = '\\';
#else
constexpr char PLAT_SEPARATOR = '/';
#endif

// Returns 0 and fills *st, or -1 with errno set. Links are followed. plat_stat leaves dev and ino
// 0 on Windows: plat_stat_id below gives them.
int plat_stat(const char *path, plat_stat_info *st);
int plat_fstat(int fd, plat_stat_info *st);
int plat_mkdir(const char *path);
// Relative paths are taken from here on against path. On Windows this is the tools' own working
// directory, kept here, so that it may be deeper than the system's limit of 260 characters for
// its own; a bare drive ("D:", what is left of "D:\\name" once the name is cut off) is the
// drive's root.
int plat_chdir(const char *path);
// Remembers the working directory as it stands, so that plat_chdir_back returns to it however
// deep it lies: a tool given several files enters each one's directory from where it started.
// Both return 0, or -1 with errno set.
int plat_mark_dir();
int plat_chdir_back();

// The absolute path of an existing directory, as the system resolves it (links followed on
// POSIX), without a separator at its end but for a root; *root is the length of its root part
// ("/", "C:\", "\\host\share\"). Returns 0, or -1 with errno set.
int plat_full_path(const char *path, std::string *full, size_t *root);

// A path typed on the command line, as the system's other programs read it. On Windows each
// component but "." and ".." loses the dots and blanks at its end, and a component that names a
// device (see plat_name_allowed) makes it return false; a path in the "\\?\" form stands as
// typed. Elsewhere the path stands.
bool plat_typed_path(const char *typed, std::string *path);

// A new file beside target, for writing: named after it, hidden where the system allows (a
// leading dot; on Windows also the hidden attribute), made with exclusive creation under a name
// no other file has, and removed by an interrupt: an interrupt finds it made and listed, or
// neither. Its name goes to name (room bytes). Returns a descriptor or -1 with errno; when target
// is a directory, with the errno that opening it for writing gives.
int plat_open_temp(const char *target, char *name, size_t room);
// Whether a name, without its directory, is one that plat_open_temp or plat_set_aside gives.
bool plat_is_temp_name(const char *name);
// Brings what was written to the n files at paths onto the disk. On Linux many files are synced
// with one call for their whole file system, which costs far less than one call per file.
// Returns 0, or -1 with errno set and the index of the file that failed in *failed.
int plat_sync_files(const char *const *paths, size_t n, size_t *failed);
// Gives the file from the name to, replacing what is there, in one step that a crash or a power
// cut leaves either before or after. On Windows the hidden attribute of a temporary file goes.
int plat_rename_replace(const char *from, const char *to);
// The same where nothing stands under the name to: -1 with errno EEXIST when anything does, and
// then nothing changes.
int plat_rename_new(const char *from, const char *to);
// Keeps what stands under target (a link itself, not what it leads to) under a hidden name
// beside it, to be brought back by plat_rename_replace. On POSIX a second name for the same file
// where the file system has them (0), so that target stays as it is, else the file itself moves
// (1); on Windows the file moves. The name goes to name (room bytes). -1 with errno set when
// neither can be done.
int plat_set_aside(const char *target, char *name, size_t room);
// What stands under a name about to be replaced, a link there not followed: 0 nothing, 1 a
// regular file or a link to one, 2 anything else, which *what then names ("a directory", "a
// FIFO", "a link that leads nowhere", ...).
int plat_target_kind(const char *path, std::string *what);
int plat_remove(const char *path);
// Removes an empty directory; -1 with errno set otherwise.
int plat_rmdir(const char *path);

// Making a tree below a directory without ever going through a link. Each directory on the way is
// held open, and the next name is made or opened inside the one held before it, one name at a
// time, so that nothing that stands in the tree as a link (a symbolic link; on Windows also a
// junction or any other reparse point) is followed, whoever puts it there and whenever.
struct plat_held_dir;
// The directory at path, reached as the system reaches it. Null with errno set.
plat_held_dir *plat_hold_dir(const char *path);
// The directory name inside dir, made when nothing stands there. Null with errno set: ELOOP when
// a link stands under the name, ENOTDIR when anything else but a directory does.
plat_held_dir *plat_hold_subdir(plat_held_dir *dir, const char *name);
// A new regular file name inside dir, for writing: -1 with errno EEXIST when anything at all
// stands under the name (a link too), ELOOP when that is a link.
int plat_open_new_in(plat_held_dir *dir, const char *name);
void plat_release_dir(plat_held_dir *dir);

// Files that an interrupted run removes: Ctrl+C, SIGINT, SIGTERM and SIGHUP remove every file
// named here, then end the process as the signal does. plat_init sets up the handlers.
void plat_remove_on_interrupt(const char *path);
// Forgets every file named so far: from here on they are kept.
void plat_keep_on_interrupt();
// Forgets the one file named path (the first it holds of that name).
void plat_keep_one_on_interrupt(const char *path);
// While held, an interrupt waits: nothing is removed halfway through a set of renames, and a file
// made while it is held is made and listed before the interrupt comes. Holds nest in a thread. No
// thread but the one the system hands interrupts to ever takes one.
void plat_hold_interrupts(bool hold);
// From here on an interrupt no longer ends the run: its outputs are taking their names, and the
// run ends as one that succeeded.
void plat_ignore_interrupts();

// The number of processors the process may run on: its affinity mask on Linux, its processor
// group's mask on Windows. At least 1.
unsigned plat_cpu_count();

// The form of a name under which the system takes two names for one file: the name itself on
// POSIX; on Windows, whose names ignore case, the name in capitals.
std::string plat_name_key(const char *name);
#ifdef _WIN32
constexpr bool PLAT_NAMES_IGNORE_CASE = true;
#else
constexpr bool PLAT_NAMES_IGNORE_CASE = false;
#endif

// Buffered streams, binary mode. mode is "rb", "wb" or "r+b".
FILE *plat_fopen(const char *path, const char *mode);
// A stream over a descriptor, which it then owns.
FILE *plat_fdopen(int fd, const char *mode);
int plat_fseek(FILE *f, int64_t offset, int whence);
int64_t plat_ftell(FILE *f);
int plat_fstat_stream(FILE *f, plat_stat_info *st);

// Directory enumeration: entries in the order the system yields them, "." and ".." included.
struct plat_dir;
// Null with errno set when the directory cannot be opened.
plat_dir *plat_opendir(const char *path);
// Returns the next entry's name, valid until the next call, or null with errno 0 at the end and
// null with errno set when the system could not go on: a directory read only in part.
const char *plat_readdir(plat_dir *d);
// What the directory itself tells of the entry plat_readdir returned last: PLAT_S_IFREG for a
// regular file (a link to one does not count), 0 when it tells nothing or the entry is of another
// kind. Where the system keeps the kind in the directory, this spares a stat per file.
uint32_t plat_readdir_mode(const plat_dir *d);
void plat_closedir(plat_dir *d);

// Called first in main. Puts standard output and standard error in binary mode, so "\n" is
// written as it stands. On Windows it also replaces argc and argv by the command line as the
// system holds it, in UTF-16, turned into UTF-8: every character of an argument arrives, whatever
// the ANSI code page can spell. Wildcards are never expanded.
void plat_init(int *argc, char ***argv);

// Whether standard output or standard error (stream) is a terminal: a Windows console there
// (GetConsoleMode), a terminal elsewhere.
bool plat_is_terminal(FILE *stream);

// vfprintf and fprintf. Where the stream is a Windows console, the text goes to it as UTF-16, so
// that names show whatever the console's code page; everywhere else, and when redirected, the
// bytes are written as they stand.
int plat_vfprintf(FILE *stream, const char *fmt, va_list ap);
#ifdef __MINGW32__
int plat_fprintf(FILE *stream, const char *fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
#else
int plat_fprintf(FILE *stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
#endif

// Where the file name of a path as typed begins: behind its last '/' or '\', or on Windows behind
// the colon of a drive ("Q:crate.obj"); the path itself when it has no directory part.
const char *plat_file_part(const char *path);
// Whether a path names something outside the directory it is taken against: it is absolute (on
// Windows also one with a drive), or its ".." components climb above where it starts.
bool plat_path_leaves_dir(const char *path);

// A name as another program stored it (an archive's entry), as UTF-8 text: as it stands where it
// is valid UTF-8, and on POSIX always; else, on Windows, the whole of it read in the ANSI code
// page, as the programs that wrote such names wrote them.
std::string plat_stored_name(const char *bytes, size_t n);

// Whether the system can hold a file or directory under this one component of a path, as it
// stands. Always on POSIX. On Windows not: a reserved device name in any case, with or without
// an extension (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1 to COM9, LPT1 to LPT9, and COM and LPT
// with a superscript 1, 2 or 3), a name that ends in a dot or a blank (the system would drop
// them; "." itself is allowed), and a name with one of < > : " | ? * or a control character.
bool plat_name_allowed(const char *component);

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

// What every tool shares, one concern to a file: standard output and the fatal path
// (qz_messages.cpp), the progress line (qz_progress.cpp), output files all or nothing
// (qz_output.cpp), the options and worker threads (qz_options.cpp), the wildcard patterns
// (qz_pattern.cpp), stored names and name fields (qz_names.cpp), paths and their parts
// (qz_pathname.cpp), chunk I/O (qz_chunkio.cpp), and the line parser with the statements of the
// text formats (qz_parser.cpp).
#ifndef QZ_FILEFUNC_H
#define QZ_FILEFUNC_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qz.h"

// Format checking of the printf-like functions. MinGW builds use the C99 printf of their own
// runtime (__USE_MINGW_ANSI_STDIO), so the output is the same as on every other system.
#ifdef __MINGW32__
#define QZ_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define QZ_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// The formatted text, for a message that a thread keeps until its turn to report.
std::string formatted(const char *fmt, ...) QZ_PRINTF(1, 2);

// Writes 2 x indent_level spaces, then the formatted text, to standard output.
void print(unsigned int indent_level, const char *fmt, ...) QZ_PRINTF(2, 3);
// Flushes both streams, writes "*error*:" and the message to standard error, exits with -1.
[[noreturn]] void die(const char *fmt, ...) QZ_PRINTF(1, 2);

// A line on standard error, rewritten in place, that shows how far the work on one large file
// has come: line (which names the file), the percentage, the bytes done and the total, and the
// rate. It shows only when standard error is a terminal, progress is wanted (show_progress,
// cleared by -q), and the work has taken a second. When the work ends it is wiped; where
// standard output holds line as the start of the current line (kept), line stands there again.
// Standard output's bytes never change.
extern int show_progress;
struct progress_line {
    std::string line;
    bool kept = false;
    uint64_t total = 0;
    std::chrono::steady_clock::time_point start, drawn;
    size_t width = 0; // of the text on the terminal; 0 while nothing is shown
};
void progress_start(progress_line *p, const std::string &line, bool kept, uint64_t total);
void progress_step(progress_line *p, uint64_t done);
void progress_end(progress_line *p);
// The two halves of die, for reports that add lines of their own (die_parser): the prefix and
// the message, then the end of the run.
void die_report(const char *fmt, va_list ap);
[[noreturn]] void die_end();
// While worker threads run, a fatal error ends the process at once, after the messages and the
// removal of the run's files, without running the destructors of static objects that the
// workers may still be using. The code that starts and joins them says when.
void set_workers_running(bool running);

#ifdef QZ_DIE_THROWS
// Only in the fuzzing build, where the tools' modules run inside a test harness: die and
// die_parser print as always, then throw this instead of ending the process. The code between
// the failure and the harness releases what it holds on the way (open files, buffers, parsers).
struct qz_die_exit {};
#endif

// ---- Output files: all or nothing ----
// A file a run writes is written under a temporary name beside its target (plat_open_temp) and
// takes the target's name only in commit_outputs, once everything has been written. A failed run
// (die) or an interrupted one removes what it staged, so every file that was there before stays
// as it was. A file that replaces another reaches the disk before the rename, so that a power cut
// leaves the old file or the new one, never an empty one.
//
// Before a file for target is staged: without force anything that stands there ends the run
// ("'%s' already exists. Remove or use -f to force overwrite"), with force anything but a file or
// a link to one (a link is replaced, not what it leads to).
void check_output_target(const char *target, int force);
// A descriptor or stream of a new temporary file for target, or -1 (null) with errno set. Without
// force, the file takes its name only where nothing has appeared there meanwhile.
int stage_output(const char *target, int force);
FILE *stage_output_stream(const char *target, int force);
// 1 when a file for target is staged and not yet committed: to the run, target exists.
int output_staged(const char *target);
// A file being written under its own name: removed if the run fails before commit_outputs.
void guard_output(const char *path);
// The one guarded file path is written whole: it is kept whatever happens to the run.
void release_output(const char *path);
// Every staged file takes its target's name, all of them or none: with several, what stood at
// each target is kept aside until all have their names and brought back when one cannot take its
// own. Guarded files are kept. Ends the run when a rename fails; an interrupt during the renames
// waits for them, and then no longer ends the run.
void commit_outputs();
// A directory the run made for its outputs: should the run fail, it goes with every directory
// below it that holds no file. Files in it are never removed here. An empty path forgets it.
void guard_output_directory(const char *path);
// Removes every staged and guarded file, and the guarded directory as far as it is empty; die
// does this before the run ends.
void discard_outputs();

// The options every tool takes: "--help" prints the usage text (usage, given the program's name),
// "--version" nothing more than the banner already printed; true when arg is one of them, and the
// run then ends with status 0.
bool standard_option(const char *arg, void (*usage)(const char *name), const char *name);

// The value of -j: a whole number of threads from 1 to 256, or 0 for anything else. Without -j
// the tools take one thread per processor: default_threads.
constexpr unsigned MAX_THREADS = 256;
unsigned threads_option(const char *text);
unsigned default_threads();

// Worker threads and what they share with the main thread: the lock over that state, the
// condition that something in it changed, and the word to stop. stop_all, which also runs when
// the object goes (as when a fatal error leaves early in the fuzzing build), ends them and waits
// for them. An object that holds one declares it last, so that the threads are gone before the
// state they use.
struct workers {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> stop{false}; // read in the middle of a piece of work too
    std::vector<std::thread> threads;

    // Starts up to count threads running work, and says that workers run (set_workers_running).
    // Fewer start when the system has no room for more; the caller does the work itself when none
    // did.
    void start(unsigned count, const std::function<void()> &work);
    void stop_all();
    workers() = default;
    workers(const workers &) = delete;
    workers &operator=(const workers &) = delete;
    ~workers() { stop_all(); }
};

// 1 when the whole text matches the whole pattern ('*' any run, '/' included, '?' any one
// character): the packer's --exclude and the unpacker's --include and --exclude.
int matcher(const char *pattern, const char *text);
// A pattern as typed, in the form of stored names: '\' means '/', their separator.
std::string stored_pattern(const char *typed);

// 1 when a stored name leads to a file below the output directory that this system can hold
// under that very name; what the unpacker extracts, and what qz_info -c checks.
int archive_name_is_safe(const char *name);

int file_exists(const char *file);
int fileordir_present(const char *file);
// Newly allocated: path '\' file suffix, or file suffix without a path.
char *make_path(const char *path, const char *file, const char *suffix);
char *filename_noext(const char *file);
char *filename_directory(const char *file);
// The directory part of a path as typed, to enter before the file is opened: everything before
// the file name (plat_file_part), without the separator that ends it, but the root ("/" or "\")
// when that separator is the path's first character; empty when there is no directory part.
std::string directory_part(const char *path);
// A path typed on the command line, as the system's other programs read it (plat_typed_path); a
// device's name ends the run.
std::string typed_path(const char *arg);
// Enters the directory part of a typed path and returns the file's name; *workdir gets the
// directory, "." when there is none.
std::string enter_directory_of(const std::string &path, std::string *workdir);
// Runs job on each typed path in the order given, each from the directory the run started in:
// its directory is entered and shown as the working dir, and job gets the file's name. A failure
// ends the run, and what the files before it made stays.
void for_each_file(const std::vector<std::string> &paths, void (*job)(const char *name));

// Reading a chunk file. `remaining` is the caller's budget for the chunk being read.
int qz_openfile(const char *filename, uint32_t type, const char *filetypestr, uint32_t *size);
int qz_read(int fd, void *dst, uint32_t len, uint32_t *remaining);
int qz_read_chunk(int fd, qz_chunk *ch, uint32_t *remaining);

// Writing a chunk file: start writes a placeholder header, end patches in type and size and
// returns the size. Chunks nest by ending them in the reverse order of starting.
struct chunkfilepos;
struct chunkfilepos_f;
// filename, when given, is named in the message of a failed write; it must outlive the handle.
chunkfilepos *write_chunk_start(int fd, uint32_t chunktype, const char *filename = nullptr);
uint32_t write_chunk_end(chunkfilepos *s);
chunkfilepos_f *fwrite_chunk_start(FILE *f, uint32_t chunktype);
uint32_t fwrite_chunk_end(chunkfilepos_f *s);

// Writes all len bytes or ends the run; what names the file in the message.
void write_all(int fd, const void *src, size_t len, const char *what);
// The same, but the message is returned (empty when all was written), for a thread that reports
// it in its turn.
std::string try_write_all(int fd, const void *src, size_t len, const char *what);
// Reads up to len bytes, retrying short reads; returns the count (less than len only at the end
// of the file) or ends the run on a read error.
size_t read_all(int fd, void *dst, size_t len);
// The same, but -1 with errno set on a read error.
int64_t read_some_all(int fd, void *dst, size_t len);
// read_some_all from offset on, leaving the descriptor's position alone (plat_pread).
int64_t pread_some_all(int fd, void *dst, size_t len, uint64_t offset);

// How many bytes of text a fixed field of len bytes holds: all of a text that fits, else the
// most that end on a whole UTF-8 character, so that a cut name stays valid UTF-8.
size_t name_field_length(const char *text, size_t len);
// Copies text into a fixed field of len bytes: its first name_field_length bytes, then zero bytes
// to the end. A text as long as the field fills it with no terminating zero.
void copy_name_field(char *field, const char *text, size_t len);

// ---- Line parser ----
// Delivers a text file line by line from one fixed window that is refilled in place. A line is
// handed out inside the window, its line end overwritten with NUL; it stays valid until the
// next parser_read_line. A UTF-8 byte order mark at the start of the file is skipped, and a last
// line without a line feed is delivered like the others. A file that starts with a UTF-16 byte
// order mark (either byte order) is converted to UTF-8 as the window fills, so that it reads as
// if it had been saved as UTF-8. Nothing of a file goes unread without a word: a line too long
// for the window, or one holding a NUL byte, ends the run with the file's name and the line's
// number.

constexpr int PARSER_WINDOW = 32767; // data bytes in the window; a NUL always follows them

struct parser {
    int fd;
    char buf[PARSER_WINDOW + 1];
    char *cur;           // first byte not yet handed out
    char *line;          // the current line, or null once the input is exhausted
    const char *errinfo; // hint printed last in a parse error report, or null
    unsigned int nline;  // the line the current one begins on: lines before it, plus one
    unsigned int joined; // lines that a backslash at the end of the one before joined to it
    // Whether a statement of this keyword goes on past a backslash at the end of its line; null
    // where none does.
    bool (*continued)(std::string_view keyword);
    int32_t bytes_left; // data bytes from cur to the end of the data in buf
    char *filename;     // for the reports that name the file
    int utf16;          // 0 for a UTF-8 file; 1 for UTF-16 little-endian, 2 big-endian
    bool read_end;      // a read came up short: the file has no more bytes
    uint8_t ncarry;     // bytes in carry
    // UTF-16 bytes read but not converted yet: a code unit or surrogate pair that did not fit
    // the window, or an odd last byte.
    unsigned char carry[4];
};

parser *init_parser(const char *filename, bool (*continued)(std::string_view) = nullptr);
// Closes the file and releases the record.
void close_parser(parser *parser);
void parser_fill_buffer(parser *parser);
void parser_read_line(parser *parser);
float read_float(char *p, char **end, parser *parser);
unsigned int read_uint(char *p, char **end, parser *parser);
[[noreturn]] void die_parser(parser *parser, const char *p, const char *fmt, ...) QZ_PRINTF(3, 4);

// A descriptor closed when its scope ends, also when a fatal error leaves the scope early in the
// fuzzing build.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard();
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

// Holds a reader's parser and closes it when the reader's scope ends, also when a fatal error
// leaves it early in the fuzzing build.
struct parser_guard {
    parser *ps;
    explicit parser_guard(parser *p) : ps(p) {}
    ~parser_guard() {
        if (ps != nullptr)
            close_parser(ps);
    }
    parser_guard(const parser_guard &) = delete;
    parser_guard &operator=(const parser_guard &) = delete;
};

// ---- Statements of the text formats ----
// A line of an OBJ, MTL or paths file is a keyword, its first word, and the arguments behind
// it. Blanks and tabs before the keyword, and any number of them between the keyword and its
// arguments, separate and are no part of either, as modelling programs write them.
struct text_statement {
    std::string_view keyword; // empty for a line of blanks
    char *args;               // the text behind the keyword and the blanks after it
};
text_statement split_statement(char *line);
// Whether a keyword is word, comparing ASCII letters without regard to their case.
bool keyword_nocase(std::string_view keyword, std::string_view word);
// A name argument: args without the blanks and tabs at its end, cut off in place.
char *trim_name(char *args);
// How many bytes of a name from a text file a fixed field of len bytes holds: name_field_length's,
// less the blanks a cut leaves at the end, as trim_name takes them from the whole name, so that
// the name reads back as it is stored. copy_text_name fills the field with them, then zero bytes.
size_t text_name_length(const char *name, size_t len);
void copy_text_name(char *field, const char *name, size_t len);

#endif

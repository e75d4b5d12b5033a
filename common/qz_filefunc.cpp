#include "qz_filefunc.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "qz_platform.h" // descriptor I/O, stat, console output

std::string formatted(const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

void print(unsigned int indent_level, const char *fmt, ...) {
    for (unsigned int i = 0; i < indent_level; i++)
        fputs("  ", stdout);
    va_list ap;
    va_start(ap, fmt);
    plat_vfprintf(stdout, fmt, ap);
    va_end(ap);
}

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

void die_report(const char *fmt, va_list ap) {
    // Progress already printed must stand before the error.
    fflush(stdout);
    fflush(stderr);
    fputs("*error*:", stderr);
    plat_vfprintf(stderr, fmt, ap);
}

static bool workers_running = false;

void set_workers_running(bool running) {
    workers_running = running;
}

void die_end() {
    fflush(stderr);
    discard_outputs();
#ifdef QZ_DIE_THROWS
    throw qz_die_exit{};
#else
    if (workers_running) {
        fflush(stdout);
        _Exit(-1);
    }
    exit(-1);
#endif
}

void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    die_report(fmt, ap);
    va_end(ap);
    die_end();
}

static void *xmalloc(size_t n) {
    void *p = malloc(n);
    if (p == nullptr)
        die("out of memory\n");
    return p;
}

static char *copy_prefix(const char *s, size_t n) {
    char *r = static_cast<char *>(xmalloc(n + 1));
    memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

namespace {
struct staged_file {
    std::string written; // the temporary file, or the guarded file itself
    std::string target;  // empty for a guarded file
    bool replaces;       // a file stood at target when it was staged
    bool force;          // target may be replaced
};
std::vector<staged_file> staged;
// The targets of staged, as the system compares names: a run may stage thousands.
std::unordered_set<std::string> staged_targets;

int stage(const char *target, int force) {
    std::vector<char> temp(strlen(target) + 64); // the target's name, marked and numbered
    const int fd = plat_open_temp(target, temp.data(), temp.size());
    if (fd < 0)
        return -1;
    staged.push_back({temp.data(), target, file_exists(target) != 0, force != 0});
    staged_targets.insert(plat_name_key(target));
    return fd;
}
} // namespace

void check_output_target(const char *target, int force) {
    std::string what;
    const int kind = plat_target_kind(target, &what);
    if (kind != 0 && !force)
        die("'%s' already exists. Remove or use -f to force overwrite\n", target);
    if (kind == 2)
        die("'%s' is %s: -f replaces only a file or a link to one\n", target, what.c_str());
}

int stage_output(const char *target, int force) {
    return stage(target, force);
}

FILE *stage_output_stream(const char *target, int force) {
    const int fd = stage(target, force);
    if (fd < 0)
        return nullptr;
    FILE *f = plat_fdopen(fd, "wb");
    if (f == nullptr)
        plat_close(fd);
    return f;
}

int output_staged(const char *target) {
    return staged_targets.count(plat_name_key(target)) != 0 ? 1 : 0;
}

void guard_output(const char *path) {
    plat_remove_on_interrupt(path);
    staged.push_back({path, "", false, false});
}

void release_output(const char *path) {
    const auto at = std::find_if(staged.begin(), staged.end(), [path](const staged_file &s) {
        return s.target.empty() && s.written == path;
    });
    if (at != staged.end())
        staged.erase(at);
    plat_keep_one_on_interrupt(path);
}

namespace {
// One staged file on its way to its target: what stood there is kept aside until the whole set
// has its names.
struct commit_step {
    std::string aside;  // what stood at the target, or empty
    bool moved = false; // the aside is the old file itself, not a second name of it
    bool renamed = false;
};

// Brings back what stood at the target of a step, or removes the new file where nothing stood.
// The message that names what could not be brought back, or empty.
std::string undo(const staged_file &s, const commit_step &c) {
    if (!c.renamed && !c.moved) {
        if (!c.aside.empty())
            plat_remove(c.aside.c_str());
        return {};
    }
    if (c.aside.empty())
        return plat_remove(s.target.c_str()) == 0 ? std::string()
                                                  : formatted(", '%s' stays", s.target.c_str());
    if (plat_rename_replace(c.aside.c_str(), s.target.c_str()) != 0)
        return formatted(", the file that was '%s' is now '%s'", s.target.c_str(), c.aside.c_str());
    return {};
}
} // namespace

void commit_outputs() {
    // Every sync before the first rename: an interrupt or a power cut in between leaves all the
    // old files or all the new ones but the few renamed at that instant. A new file needs none:
    // a crash can only leave it missing or short, never take an old file's place.
    std::vector<const char *> replacing;
    std::vector<const staged_file *> of;
    size_t targets = 0;
    for (const staged_file &s : staged) {
        targets += !s.target.empty();
        if (s.replaces) {
            replacing.push_back(s.written.c_str());
            of.push_back(&s);
        }
    }
    size_t failed = 0;
    if (!replacing.empty() && plat_sync_files(replacing.data(), replacing.size(), &failed) != 0)
        die("write(%s) failed: %s\n", of[failed]->target.c_str(), strerror(errno));
    // From the first rename on, the set takes its names whole or not at all: with more than one
    // file, each one that stood at a target is kept aside until all have their names, and brought
    // back if one cannot. An interrupt waits meanwhile, and once the names are taken the run ends
    // as one that succeeded.
    plat_hold_interrupts(true);
    std::vector<commit_step> steps(staged.size());
    std::string failure;
    size_t i = 0;
    for (; i < staged.size() && failure.empty(); i++) {
        const staged_file &s = staged[i];
        commit_step &c = steps[i];
        if (s.target.empty())
            continue;
        std::vector<char> aside(s.target.size() + 64);
        std::string what;
        if (targets > 1 && s.force && plat_target_kind(s.target.c_str(), &what) != 0) {
            const int kept = plat_set_aside(s.target.c_str(), aside.data(), aside.size());
            if (kept < 0) {
                failure = formatted("can't rename %s to %s: %s", s.written.c_str(),
                                    s.target.c_str(), strerror(errno));
                continue;
            }
            c.aside = aside.data();
            c.moved = kept == 1;
        }
        const int rc = s.force ? plat_rename_replace(s.written.c_str(), s.target.c_str())
                               : plat_rename_new(s.written.c_str(), s.target.c_str());
        if (rc == 0) {
            c.renamed = true;
        } else if (errno == EEXIST && !s.force) {
            // A file that appeared while the run was writing is never replaced without -f.
            failure = formatted("'%s' already exists. Remove or use -f to force overwrite",
                                s.target.c_str());
        } else {
            failure = formatted("can't rename %s to %s: %s", s.written.c_str(), s.target.c_str(),
                                strerror(errno));
        }
    }
    if (!failure.empty()) {
        for (size_t k = i; k-- > 0;)
            failure += undo(staged[k], steps[k]);
        std::vector<staged_file> left;
        for (size_t k = 0; k < staged.size(); k++)
            if (!steps[k].renamed)
                left.push_back(staged[k]);
        staged.swap(left);
        plat_hold_interrupts(false);
        die("%s\n", failure.c_str());
    }
    for (const commit_step &c : steps)
        if (!c.aside.empty())
            plat_remove(c.aside.c_str());
    staged.clear();
    staged_targets.clear();
    plat_keep_on_interrupt();
    plat_ignore_interrupts();
    plat_hold_interrupts(false);
}

static std::string output_directory;

void guard_output_directory(const char *path) {
    output_directory = path;
}

// Removes the directories of the tree at path that hold no file, and path itself if it ends up
// empty; whether it did.
static bool remove_empty_tree(const std::string &path) {
    plat_dir *d = plat_opendir(path.c_str());
    if (d == nullptr)
        return false;
    bool empty = true;
    while (const char *name = plat_readdir(d)) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        const std::string sub = path + '\\' + name;
        std::string what; // a link to a directory is left as it stands, and where it leads
        empty = plat_target_kind(sub.c_str(), &what) == 2 && what == "a directory" &&
                remove_empty_tree(sub) && empty;
    }
    plat_closedir(d);
    return empty && plat_rmdir(path.c_str()) == 0;
}

void discard_outputs() {
    for (const staged_file &s : staged)
        plat_remove(s.written.c_str());
    staged.clear();
    staged_targets.clear();
    plat_keep_on_interrupt();
    if (!output_directory.empty())
        remove_empty_tree(output_directory);
    output_directory.clear();
}

// Windows drops the dots and blanks at the end of a path component, so for it ".. ", "..." and
// ". ." all mean "..": a component of nothing but dots and blanks, two dots or more among them,
// is refused everywhere.
static bool means_parent(const std::string &component) {
    return component.find_first_not_of(". ") == std::string::npos &&
           std::count(component.begin(), component.end(), '.') >= 2;
}

// A name may only lead to a file below the output directory: no absolute path, no drive, no
// "..", no directory of its own ("a/", "x/."), and no backslash, which Windows would take as a
// separator. Each component must also be a name the system can hold as it stands; on Windows a
// device name, a trailing dot or blank, or a character such as ':' would write somewhere else than
// the name says, or nowhere.
int archive_name_is_safe(const char *stored) {
    const std::string name = stored;
    if (name.empty() || name[0] == '/')
        return 0;
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return 0;
    if (name.find('\\') != std::string::npos)
        return 0;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string component = name.substr(start, end - start);
        if (means_parent(component) || !plat_name_allowed(component.c_str()))
            return 0;
        // The last component names the file: a name that ends in a separator or a "." names
        // a directory.
        if (end == std::string::npos)
            return component.empty() || component == "." ? 0 : 1;
        start = end + 1;
    }
}

int file_exists(const char *file) {
    plat_stat_info st;
    if (plat_stat(file, &st) != 0)
        return 0;
    return st.mode == PLAT_S_IFREG ? 1 : 0;
}

int fileordir_present(const char *file) {
    plat_stat_info st;
    if (plat_stat(file, &st) != 0 && errno == ENOENT)
        return 0;
    return 1;
}

char *make_path(const char *path, const char *file, const char *suffix) {
    if (suffix == nullptr)
        suffix = "";
    size_t len = strlen(file) + 1 + strlen(suffix);
    if (path != nullptr)
        len += strlen(path) + 1;
    char *r = static_cast<char *>(xmalloc(len));
    if (path != nullptr)
        snprintf(r, len, "%s%c%s%s", path, '\\', file, suffix);
    else
        snprintf(r, len, "%s%s", file, suffix);
    return r;
}

char *filename_noext(const char *file) {
    const char *dot = strrchr(file, '.');
    return copy_prefix(file, dot != nullptr ? static_cast<size_t>(dot - file) : strlen(file));
}

char *filename_directory(const char *file) {
    const char *sep = strrchr(file, '\\');
    return copy_prefix(file, sep != nullptr ? static_cast<size_t>(sep - file) : 0);
}

std::string directory_part(const char *path) {
    const char *file = plat_file_part(path);
    size_t len = static_cast<size_t>(file - path);
    if (len > 1 && (file[-1] == '/' || file[-1] == '\\') && file[-2] != ':')
        len--;
    return std::string(path, len);
}

std::string typed_path(const char *arg) {
    std::string path;
    if (!plat_typed_path(arg, &path))
        die("'%s' is a device, not a file\n", arg);
    return path;
}

std::string enter_directory_of(const std::string &path, std::string *workdir) {
    *workdir = directory_part(path.c_str());
    if (workdir->empty())
        workdir->assign(1, '.');
    else if (plat_chdir(workdir->c_str()) != 0)
        die("chdir('%s') failed: %s\n", workdir->c_str(), strerror(errno));
    return plat_file_part(path.c_str());
}

void for_each_file(const std::vector<std::string> &paths, void (*job)(const char *name)) {
    if (paths.size() > 1 && plat_mark_dir() != 0)
        die("can't keep the working directory: %s\n", strerror(errno));
    for (size_t i = 0; i < paths.size(); i++) {
        if (i > 0 && plat_chdir_back() != 0)
            die("can't return to the working directory: %s\n", strerror(errno));
        std::string workdir;
        const std::string name = enter_directory_of(paths[i], &workdir);
        print(0, "working dir: %s\n", workdir.c_str());
        job(name.c_str());
    }
}

size_t name_field_length(const char *text, size_t len) {
    if (strnlen(text, len + 1) <= len)
        return strnlen(text, len);
    // The first byte left out continues a character: the character starts at most three bytes
    // before it, and is left out whole when it is a well-formed start.
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    size_t start = len;
    while (start > 0 && len - start < 3 && (t[start] & 0xC0) == 0x80)
        start--;
    if (start == len || (t[start] & 0xC0) != 0xC0)
        return len;
    const size_t bytes = t[start] >= 0xF0 ? 4 : t[start] >= 0xE0 ? 3 : 2;
    return start + bytes > len ? start : len;
}

int matcher(const char *pattern, const char *text) {
    const char *after_star = nullptr; // the pattern behind the last run of '*', and
    const char *tried = nullptr;      // where in the text it was last tried
    for (;;) {
        if (*pattern == '*') {
            // A run of '*' and '?' consumes no character itself; each '?' only needs one to exist.
            for (; *pattern == '*' || *pattern == '?'; pattern++)
                if (*pattern == '?' && *text == '\0')
                    return 0;
            if (*pattern == '\0')
                return 1;
            after_star = pattern;
            tried = text;
        } else if (*pattern == '\0' && *text == '\0') {
            return 1;
        } else if (*pattern != '\0' && *text != '\0' && (*pattern == '?' || *pattern == *text)) {
            pattern++;
            text++;
        } else if (after_star != nullptr && *tried != '\0') {
            // Behind the last '*' the text may start one character later. An earlier '*' needs no
            // other try: each part between two runs was placed as early as it could be, and a later
            // place would leave less text for the rest. So a name costs at most its length times
            // the pattern's, however many '*' the pattern holds.
            pattern = after_star;
            text = ++tried;
        } else {
            return 0;
        }
    }
}

std::string stored_pattern(const char *typed) {
    std::string pattern = typed;
    std::replace(pattern.begin(), pattern.end(), '\\', '/');
    return pattern;
}

void copy_name_field(char *field, const char *text, size_t len) {
    const size_t n = name_field_length(text, len);
    memcpy(field, text, n);
    memset(field + n, 0, len - n);
}

int standard_option(const char *arg) {
    return strcmp(arg, "--help") == 0 ? 1 : strcmp(arg, "--version") == 0 ? 2 : 0;
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

fd_guard::~fd_guard() {
    if (fd >= 0)
        plat_close(fd);
}

int64_t read_some_all(int fd, void *dst, size_t len) {
    size_t done = 0;
    while (done < len) {
        const int64_t n = plat_read(fd, static_cast<char *>(dst) + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

size_t read_all(int fd, void *dst, size_t len) {
    const int64_t n = read_some_all(fd, dst, len);
    if (n < 0)
        die("read(): %s\n", strerror(errno));
    return static_cast<size_t>(n);
}

std::string try_write_all(int fd, const void *src, size_t len, const char *what) {
    size_t done = 0;
    while (done < len) {
        const int64_t n = plat_write(fd, static_cast<const char *>(src) + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return formatted("write(%s) failed: %s\n", what, strerror(errno));
        if (n == 0)
            return formatted("write(%s) failed: nothing written\n", what);
        done += static_cast<size_t>(n);
    }
    return {};
}

void write_all(int fd, const void *src, size_t len, const char *what) {
    const std::string failure = try_write_all(fd, src, len, what);
    if (!failure.empty())
        die("%s", failure.c_str());
}

int qz_openfile(const char *filename, uint32_t type, const char *filetypestr, uint32_t *size) {
    print(0, "reading: '%s'\n", filename);
    int fd = plat_open_read(filename);
    if (fd < 0)
        die("open(): %s\n", strerror(errno));
    qz_chunk top;
    // A file too short to hold a header is no chunk file of any kind.
    if (read_all(fd, &top, sizeof top) != sizeof top || top.type != type) {
        plat_close(fd);
        die("%s: not an %s file\n", filename, filetypestr);
    }
    *size = top.size;
    return fd;
}

int qz_read(int fd, void *dst, uint32_t len, uint32_t *remaining) {
    if (*remaining < len)
        die("trying to read beyond chunk end(req: %u/avail:%u)\n", len, *remaining);
    // A read cut short by the end of the file is as bad as none: the chunk claims bytes that
    // the file does not have.
    if (read_all(fd, dst, len) != len)
        die("unexpected EOF\n");
    *remaining -= len;
    return 0;
}

int qz_read_chunk(int fd, qz_chunk *ch, uint32_t *remaining) {
    qz_read(fd, ch, sizeof *ch, remaining);
    if (ch->size > *remaining)
        die("chunk: exceeds size of parents data block\n");
    *remaining -= ch->size;
    return 0;
}

// Chunk files address their data with 32-bit signed offsets.
constexpr int64_t CHUNK_FILE_LIMIT = 0x7FFFFFFF;

struct chunkfilepos {
    uint32_t chunktype;
    int fd;
    int32_t pos;
    const char *filename; // named when a write fails, or null
};

struct chunkfilepos_f {
    uint32_t chunktype;
    FILE *file;
    int32_t pos;
};

// room: bytes that must still fit behind pos.
static int32_t checked_pos(int64_t pos, int64_t room) {
    if (pos < 0)
        die("seek(): %s\n", strerror(errno));
    if (pos > CHUNK_FILE_LIMIT - room)
        die("chunk file would exceed the limit of 2 GiB - 1 bytes\n");
    return static_cast<int32_t>(pos);
}

template <typename Handle> static Handle *new_handle() {
    auto *s = static_cast<Handle *>(malloc(sizeof(Handle)));
    if (s == nullptr)
        die("chunkfilepos malloc failed");
    return s;
}

static void fd_seek(int fd, int64_t pos) {
    if (plat_seek(fd, pos, SEEK_SET) != pos)
        die("seek(): %s\n", strerror(errno));
}

// A header that cannot be written ends the run, naming the file when the caller gave its name.
static void write_header(const chunkfilepos *s, const qz_chunk &header) {
    std::string failure = try_write_all(s->fd, &header, sizeof header, "chunk header");
    if (failure.empty())
        return;
    if (s->filename != nullptr)
        failure.insert(failure.size() - 1, formatted(": '%s'", s->filename));
    die("%s", failure.c_str());
}

chunkfilepos *write_chunk_start(int fd, uint32_t chunktype, const char *filename) {
    auto *s = new_handle<chunkfilepos>();
    s->chunktype = chunktype;
    s->fd = fd;
    s->filename = filename;
    s->pos = checked_pos(plat_tell(fd), sizeof(qz_chunk));
    write_header(s, qz_chunk{0, 0});
    return s;
}

uint32_t write_chunk_end(chunkfilepos *s) {
    int64_t curpos = plat_tell(s->fd);
    checked_pos(curpos, 0);
    const qz_chunk header = {s->chunktype, static_cast<uint32_t>(curpos - s->pos - 8)};
    fd_seek(s->fd, s->pos);
    write_header(s, header);
    fd_seek(s->fd, curpos);
    free(s);
    return header.size;
}

static void stream_seek(FILE *f, int64_t pos) {
    if (plat_fseek(f, pos, SEEK_SET) != 0)
        die("seek(): %s\n", strerror(errno));
}

static void stream_write_header(FILE *f, const qz_chunk &header) {
    if (fwrite(&header, sizeof header, 1, f) != 1)
        die("write(chunk header) failed: %s\n", strerror(errno));
}

chunkfilepos_f *fwrite_chunk_start(FILE *f, uint32_t chunktype) {
    auto *s = new_handle<chunkfilepos_f>();
    s->chunktype = chunktype;
    s->file = f;
    s->pos = checked_pos(plat_ftell(f), sizeof(qz_chunk));
    stream_write_header(f, qz_chunk{0, 0});
    return s;
}

uint32_t fwrite_chunk_end(chunkfilepos_f *s) {
    int64_t curpos = plat_ftell(s->file);
    checked_pos(curpos, 0);
    const qz_chunk header = {s->chunktype, static_cast<uint32_t>(curpos - s->pos - 8)};
    stream_seek(s->file, s->pos);
    stream_write_header(s->file, header);
    stream_seek(s->file, curpos);
    free(s);
    return header.size;
}

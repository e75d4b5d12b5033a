// The packer's scan: the files below a directory in the order they are stored, with the
// exclusion patterns, links that lead back up left out, and the list's own checks.
#include "qz_compress.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz.h"          // QZ_NAME_LEN
#include "qz_filefunc.h" // print, die, matcher
#include "qz_platform.h" // stat, directory enumeration

int sort_names = 0;

// Device and file number identify a file whatever name leads to it. A file number of 0 means the
// platform gave none, and such files are never taken as the same.
static bool same_file(const plat_stat_info &a, const plat_stat_info &b) {
    return a.ino != 0 && a.dev == b.dev && a.ino == b.ino;
}

// Every pattern that matches is marked as used, not only the first.
static bool excluded(const char *name, exclude_pattern *excludes) {
    bool any = false;
    for (; excludes != nullptr; excludes = excludes->next) {
        if (matcher(excludes->pattern, name)) {
            excludes->used = 1;
            any = true;
        }
    }
    return any;
}

// What a scope holds is released when it ends, also when a fatal error leaves it early: the
// fuzzing build goes on running after one.
struct dir_guard {
    plat_dir *d;
    ~dir_guard() {
        if (d != nullptr)
            plat_closedir(d);
    }
};

// The directories from the root down to the one being read, so that a link back to one of them
// is recognised instead of being followed forever.
struct scan_level {
    plat_stat_info id;
    const char *dir;
    const scan_level *up;
};

static const char *next_entry(plat_dir *d, const char *dir) {
    const char *name = plat_readdir(d);
    if (name == nullptr && errno != 0)
        die("can't read directory %s: %s\n", dir, strerror(errno));
    return name;
}

static void take_entry(const scan_level *here, const char *prefix, flist *&last,
                       exclude_pattern *excludes, const char *name, uint32_t mode);

// Appends to the list ending at last, which always names the list's last record, so that what
// was added is known when a fatal error leaves the scan early.
static void scan(const scan_level *here, const char *prefix, flist *&last,
                 exclude_pattern *excludes) {
    const dir_guard guard{plat_opendir(here->dir)};
    plat_dir *d = guard.d;
    if (d == nullptr)
        die("Can't open directory %s: %s\n", here->dir, strerror(errno));
    // A directory read only in part would leave files out of the archive without a word. Sorted,
    // the names are all read before the first is taken.
    std::vector<std::pair<std::string, uint32_t>> sorted;
    while (const char *name = next_entry(d, here->dir)) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (sort_names)
            sorted.emplace_back(name, plat_readdir_mode(d));
        else
            take_entry(here, prefix, last, excludes, name, plat_readdir_mode(d));
    }
    std::sort(sorted.begin(), sorted.end()); // std::string compares bytes as unsigned
    for (const auto &[name, mode] : sorted)
        take_entry(here, prefix, last, excludes, name.c_str(), mode);
}

// An entry of the tree that cannot be examined ends the run, named as the user would type it.
[[noreturn]] static void unreadable(std::string path) {
    const int error = errno;
    std::replace(path.begin(), path.end(), '\\', PLAT_SEPARATOR);
    std::string what;
    if (plat_target_kind(path.c_str(), &what) == 2 && what == "a link that leads nowhere")
        die("can't read %s: it is a link that leads nowhere\n", path.c_str());
    die("can't read %s: %s\n", path.c_str(), strerror(error));
}

// One entry of the directory here; mode: what the directory tells of its kind.
static void take_entry(const scan_level *here, const char *prefix, flist *&last,
                       exclude_pattern *excludes, const char *name, uint32_t mode) {
    // The backslash separates the tools' paths: a name that holds one (POSIX allows it) would
    // lead to another file, and the file itself would be left out without a word.
    if (strchr(name, '\\') != nullptr)
        die("%s\\%s: a name with a backslash cannot be stored\n", here->dir, name);
    const std::string path = std::string(here->dir) + '\\' + name;
    // Where the system has a limit of bytes, a path beyond it is named as such.
    if (PLAT_PATH_MAX != 0 && path.size() >= PLAT_PATH_MAX)
        die("path too long (%zu bytes, at most %zu): %s\n", path.size(), PLAT_PATH_MAX - 1,
            path.c_str());
    const std::string stored = prefix != nullptr ? std::string(prefix) + '/' + name : name;
    // Only directories need their identity and only links their target: a regular file, as
    // the directory tells it, needs no stat of its own.
    plat_stat_info st{};
    if (mode == PLAT_S_IFREG)
        st.mode = PLAT_S_IFREG;
    else if (plat_stat_id(path.c_str(), &st) != 0)
        unreadable(path);

    if (st.mode == PLAT_S_IFDIR) {
        const scan_level *seen = here;
        while (seen != nullptr && !same_file(seen->id, st))
            seen = seen->up;
        if (seen != nullptr) {
            // Its files are stored already, under the names of the directory it leads to.
            print(1, "Skipping %s: it leads back to %s\n", path.c_str(), seen->dir);
            return;
        }
        const scan_level sub = {st, path.c_str(), here};
        scan(&sub, stored.c_str(), last, excludes);
        return;
    }
    if (excluded(stored.c_str(), excludes))
        return;
    // What a run of these tools killed in the middle left behind (the packer's own archive,
    // say, when it writes into the folder it packs): not the user's data.
    if (plat_is_temp_name(name)) {
        print(0, "[warn] Skipping %s: a temporary file of an interrupted run\n", path.c_str());
        return;
    }
    // A fifo or device has no fixed content to store, and reading one may never end.
    if (st.mode != PLAT_S_IFREG) {
        print(1, "Skipping %s: not a regular file\n", path.c_str());
        return;
    }
    // A longer name would be cut in the index and unpack as another file.
    if (stored.size() > QZ_NAME_LEN)
        die("%s: its stored name is %zu bytes long, an archive holds names of at most %zu "
            "bytes\n",
            path.c_str(), stored.size(), size_t{QZ_NAME_LEN});
    auto *f = static_cast<flist *>(calloc(1, sizeof(flist)));
    if (f == nullptr)
        die("out of memory\n");
    f->archivename = strdup(stored.c_str());
    f->path = strdup(path.c_str());
    if (f->archivename == nullptr || f->path == nullptr)
        die("out of memory\n");
    f->prev = last;
    if (last != nullptr)
        last->next = f;
    last = f;
}

static void free_record(flist *f);

flist *getfilelist(const char *dir, const char *prefix, flist *last, exclude_pattern *excludes) {
    scan_level top = {{}, dir, nullptr};
    if (plat_stat_id(dir, &top.id) != 0)
        die("Can't open directory %s: %s\n", dir, strerror(errno));
    flist *const before = last;
    try {
        scan(&top, prefix, last, excludes);
    } catch (...) { // the fuzzing build's fatal error: the records of this scan go
        while (last != before) {
            flist *prev = last->prev;
            free_record(last);
            last = prev;
        }
        if (before != nullptr)
            before->next = nullptr;
        throw;
    }
    return last;
}

flist *check_flist(flist *last) {
    flist *f = last;
    while (f != nullptr && f->prev != nullptr) {
        if (f->prev->next != f)
            die("!!error: flist->next(%02x) != oldflist(%02x)\n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(f->prev->next)),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(f)));
        f = f->prev;
    }
    return f;
}

static void free_record(flist *f) {
    free(f->archivename);
    free(f->path);
    free(f);
}

void free_flist(flist *first) {
    while (first != nullptr) {
        flist *next = first->next;
        free_record(first);
        first = next;
    }
}

flist *drop_archive_itself(flist *first, const char *archivename) {
    plat_stat_info archive;
    if (plat_stat_id(archivename, &archive) != 0)
        return first; // it does not exist yet, so the scan cannot have met it
    for (flist *f = first, *next; f != nullptr; f = next) {
        next = f->next;
        plat_stat_info st;
        if (plat_stat_id(f->path, &st) != 0 || !same_file(st, archive))
            continue;
        print(1, "Skipping %s: it is the output archive\n", f->path);
        (f->prev != nullptr ? f->prev->next : first) = next;
        if (next != nullptr)
            next->prev = f->prev;
        free_record(f);
    }
    return first;
}

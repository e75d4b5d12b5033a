// Output files, all or nothing: staged under temporary names beside their targets, committed
// together by renames, and removed when the run fails or is interrupted.
#include "qz_filefunc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "qz_platform.h"

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

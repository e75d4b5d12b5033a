// Paths as typed and the parts of a path: the directory to enter, the file's name, its
// extension; and the run over several files, each from the directory the run started in.
#include "qz_filefunc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz_platform.h"

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

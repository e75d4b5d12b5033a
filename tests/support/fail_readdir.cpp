// Put in front of the C library with LD_PRELOAD: directory reads fail with EIO once
// QZ_READDIR_FAIL_AFTER entries (0 when unset) have been read, as a failing disk or network
// file system makes them fail.
#include <dirent.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

extern "C" struct dirent *readdir(DIR *d) {
    using readdir_fn = struct dirent *(*)(DIR *);
    static const auto next = reinterpret_cast<readdir_fn>(dlsym(RTLD_NEXT, "readdir"));
    static long left = [] {
        const char *after = getenv("QZ_READDIR_FAIL_AFTER");
        return after != nullptr ? atol(after) : 0L;
    }();
    if (left-- <= 0) {
        errno = EIO;
        return nullptr;
    }
    return next(d);
}

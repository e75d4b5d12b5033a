// What the two halves of the platform module share with its common part; no other file includes
// this.
#ifndef QZ_PLATFORM_IMPL_H
#define QZ_PLATFORM_IMPL_H

#include <cerrno>
#include <cstring>
#include <string>

// The name of a temporary file beside target: its directory part as it stands (up to the last of
// separators), then a dot, the target's own name (cut short so that the whole stays a valid
// name) and a random tail.
std::string temp_name(const char *target, const char *separators);

// Tries make on fresh names of that form until one is not taken: make returns what it made (0 or
// more), or -1 with errno set, EEXIST for a name taken. The name tried last goes to name (room
// bytes).
template <typename Make>
int with_fresh_name(const char *target, const char *separators, char *name, size_t room,
                    Make make) {
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string fresh = temp_name(target, separators);
        if (fresh.size() >= room) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, fresh.c_str(), fresh.size() + 1);
        const int made = make(name);
        if (made >= 0 || errno != EEXIST)
            return made;
    }
    return -1;
}

#endif

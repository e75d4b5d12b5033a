// The names stored in archives and in the formats' fixed fields: which stored names are safe to
// extract, and how a name is cut to its field.
#include "qz_filefunc.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "qz_platform.h"

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

void copy_name_field(char *field, const char *text, size_t len) {
    const size_t n = name_field_length(text, len);
    memcpy(field, text, n);
    memset(field + n, 0, len - n);
}

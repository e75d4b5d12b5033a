// The wildcard patterns of --exclude and --include.
#include "qz_filefunc.h"

#include <algorithm>
#include <string>

#include "qz_platform.h"

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

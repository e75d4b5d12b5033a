// The entries --include and --exclude choose.
#include "qz_unpack.h"

#include <string>
#include <utility>
#include <vector>

#include "qz_filefunc.h" // matcher, print, die

std::vector<entry_pattern> entry_patterns;

// Keeps the entries the patterns select, each pattern marked when it matches; a pattern that
// matched none is reported, and a selection of nothing ends the run.
void select_entries(std::vector<archive_entry> &entries) {
    if (entry_patterns.empty())
        return;
    bool includes = false;
    for (const entry_pattern &p : entry_patterns)
        includes |= p.include;
    size_t kept = 0;
    for (archive_entry &e : entries) {
        const std::string &name = e.name;
        bool in = !includes, out = false;
        for (entry_pattern &p : entry_patterns) {
            if (matcher(p.text.c_str(), name.c_str()) == 0)
                continue;
            p.used = true;
            (p.include ? in : out) = true;
        }
        if (in && !out) {
            if (&entries[kept] != &e)
                entries[kept] = std::move(e);
            kept++;
        }
    }
    entries.resize(kept);
    for (const entry_pattern &p : entry_patterns)
        if (!p.used)
            print(0, "[warn] --%s %s matched no entry\n", p.include ? "include" : "exclude",
                  p.typed.c_str());
    if (entries.empty())
        die("no entry is selected by --include and --exclude\n");
}

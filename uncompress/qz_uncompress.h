// The unpacker's module: the archive walk and the extraction. main.cpp holds the command line;
// the fuzzing harness calls the module directly.
#ifndef QZ_UNCOMPRESS_H
#define QZ_UNCOMPRESS_H

#include <string>
#include <vector>

// Threads that extract entries at the same time (-j); 1 extracts each in its turn. The files and
// every message are the same whatever the number.
extern unsigned unpack_threads;

// -o: the directory to extract into instead of a fresh one beside the archive, a path from the
// directory the run started in (marked with plat_mark_dir); empty for none. It is made with its
// parents when missing; nothing in it is ever replaced.
extern std::string output_to;

// --include and --exclude, in the order given: an entry is extracted when its stored name
// matches an include (or there is none) and no exclude.
struct entry_pattern {
    std::string text;  // in the stored names' form
    std::string typed; // as the user typed it, for the reports
    bool include;
    bool used; // it matched an entry
};
extern std::vector<entry_pattern> entry_patterns;

// Extracts every file of the archive (a name relative to the current directory) into a fresh
// directory beside it, which becomes the current directory. Every failure ends the run.
void extractqzarchive(const char *archivename);

#endif

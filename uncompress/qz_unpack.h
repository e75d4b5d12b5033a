// The unpacker's parts that its files share: the index entries as read and checked
// (qz_index.cpp), the selection of --include and --exclude (qz_select.cpp) and the extraction
// (qz_extract.cpp), which the run of qz_uncompress.cpp puts together. Not installed: the module's
// interface is qz_uncompress.h.
#ifndef QZ_UNPACK_H
#define QZ_UNPACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "qz_uncompress.h"

// What the extraction keeps of an index entry: all of it but the name field, which is decoded
// once into name. An archive may hold a million entries: the field would take 128 bytes each.
struct entry_fields {
    char signature[4];
    uint32_t offset, outsize, insize;
};

struct archive_entry {
    entry_fields ie;
    uint64_t fileofs; // absolute position of the compressed stream
    std::string name; // the stored name as UTF-8 text, decoded once as a whole before any check
};

// ---- The index (qz_index.cpp) ----
// Reads every entry of the archive at fd, whose top chunk holds remaining bytes, and checks
// each, their sum and (where the system ignores case) their names: a failure ends the run.
void read_index(int fd, uint32_t remaining, uint64_t archive_len,
                std::vector<archive_entry> &entries);
// Whether every entry's file is one of its own: no name given twice, and none that is a
// directory on the way to another, as the system compares names.
bool names_apart(const std::vector<archive_entry> &entries);

// ---- The selection (qz_select.cpp) ----
// Keeps the entries the patterns select; a selection of nothing ends the run.
void select_entries(std::vector<archive_entry> &entries);

// ---- The extraction (qz_extract.cpp) ----
// The message that ends the run when the way to the entry's file leads through a link.
std::string link_in_the_way(const std::string &name, const std::string &link);
// Extracts the entries from the archive at fd into the working directory, in index order as
// far as anyone can tell; a failure ends the run.
void unpack_entries(const std::vector<archive_entry> &entries, int fd);

#endif

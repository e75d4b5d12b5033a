// The packer's module: the directory scan with its exclusion patterns, and the archive writer.
// main.cpp holds the command line; the test program links this module directly.
#ifndef QZ_COMPRESS_H
#define QZ_COMPRESS_H

#include <cstdint>
#include <cstdio>

// One file to store. The scan fills archivename, path and the links; compressfile the rest.
struct flist {
    char *archivename; // stored name: components joined by '/', relative to the packed root
    uint32_t size;
    uint32_t compressedsize;
    char signature[4]; // the first four bytes, zero-padded
    char *path;        // where the file is read: root argument, then '\' and each component
    uint32_t offset;   // archive position of the compressed stream
    int reuse;         // -u: the stream is copied from the old archive, at reuse_at
    uint64_t reuse_at;
    flist *next;
    flist *prev;
};

struct exclude_pattern {
    char *pattern;
    exclude_pattern *next;
    int used; // 1 once it has excluded a file
};

extern int force_overwrite; // -f: an existing archive file may be replaced
// Threads that compress files at the same time (-j); 1 compresses each in its turn. The archive
// and every message are the same whatever the number.
extern unsigned pack_threads;
// -0 to -9: zlib's level (0 stores); Z_DEFAULT_COMPRESSION unless one is given.
extern int pack_level;
// -u: the streams of files whose content an existing archive of the name holds, as this run
// would make them, are copied from it; the result is the archive a full pack writes.
extern int update_archive;
// --sort: the files of each directory in byte order of their names, at every depth, so that a
// tree gives the same archive on every file system; else in the order the system lists them.
extern int sort_names;

// Appends every regular file below dir to the list ending at last and returns the new last
// record (last itself when nothing was added). prefix is dir's stored name, null for the root.
flist *getfilelist(const char *dir, const char *prefix, flist *last, exclude_pattern *excludes);
// Follows the list back from its last record, checking the links; returns the first record.
flist *check_flist(flist *last);
// Leaves out any record that is the file named archivename (the archive of an earlier run inside
// the packed tree); returns the first record of what is left.
flist *drop_archive_itself(flist *first, const char *archivename);
void free_flist(flist *first);

// Writes the archive; basepath, fullpath and info may be null. Every failure ends the run.
void createqzarchive(const char *filename, flist *first, const char *basepath, const char *fullpath,
                     const char *info);
// Appends f's compressed stream at out's position and fills in f's sizes, offset and
// signature. archivename names out in messages.
void compressfile(flist *f, FILE *out, const char *archivename);

#endif

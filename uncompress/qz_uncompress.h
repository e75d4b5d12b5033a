// The unpacker's module: the archive walk and the extraction. main.cpp holds the command line;
// the fuzzing harness calls the module directly.
#ifndef QZ_UNCOMPRESS_H
#define QZ_UNCOMPRESS_H

// Threads that extract entries at the same time (-j); 1 extracts each in its turn. The files and
// every message are the same whatever the number.
extern unsigned unpack_threads;

// Extracts every file of the archive (a name relative to the current directory) into a fresh
// directory beside it, which becomes the current directory. Every failure ends the run.
void extractqzarchive(const char *archivename);

#endif

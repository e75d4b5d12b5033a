// qz_compress's module: collects the files below a directory and writes them into a .qz archive.
//
// Every failure ends the run through die, so an archive is never reported as written when it
// was not; a run cut short leaves zero placeholders in the top chunk's header, which the unpacker
// refuses.
#include "qz_pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz.h"          // archive chunk types, index_entry
#include "qz_filefunc.h" // print, die, chunk writers, staged outputs
#include "qz_platform.h" // streams

int force_overwrite = 0;

// What a scope holds is released when it ends, also when a fatal error leaves it early: the
// fuzzing build goes on running after one.
struct stream_guard {
    FILE *f;
    ~stream_guard() {
        if (f != nullptr)
            fclose(f);
    }
};
struct chunk_guard {
    chunkfilepos_f *h = nullptr; // the end call releases it
    ~chunk_guard() { free(h); }
};

// ---- Writing the archive ----

[[noreturn]] void write_failed(const char *archivename) {
    die("write(%s) failed: %s\n", archivename, strerror(errno));
}

// Refuses to let the archive grow past what its 32-bit signed positions can address, before a
// position could wrap.
void archive_room(FILE *out, const char *archivename, uint64_t bytes) {
    const int64_t pos = plat_ftell(out);
    if (pos < 0)
        write_failed(archivename);
    if (static_cast<uint64_t>(pos) + bytes > ARCHIVE_LIMIT)
        die("%s: the archive would grow past its limit of 2 GiB - 1 bytes\n", archivename);
}

void put(FILE *out, const char *archivename, const void *data, size_t len) {
    if (fwrite(data, 1, len, out) != len)
        write_failed(archivename);
}

// Pending bytes go out before the stream is repositioned, so that a failing write is reported
// as one, naming the archive, and not as a failed seek of the chunk writer.
static void flush(FILE *out, const char *archivename) {
    if (fflush(out) != 0 || ferror(out))
        write_failed(archivename);
}

static void seek(FILE *out, const char *archivename, int64_t pos) {
    flush(out, archivename);
    if (plat_fseek(out, pos, SEEK_SET) != 0)
        write_failed(archivename);
}

static void end_chunk(FILE *out, const char *archivename, chunk_guard &chunk) {
    flush(out, archivename);
    fwrite_chunk_end(chunk.h);
    chunk.h = nullptr;
}

static void write_path_entry(FILE *out, const char *archivename, uint32_t type, const char *text) {
    const qz_chunk header = {type, QZ_PATH_LEN};
    char field[QZ_PATH_LEN];
    copy_name_field(field, text, sizeof field);
    put(out, archivename, &header, sizeof header);
    put(out, archivename, field, sizeof field);
}

// The summary of a run over an old archive: how much of it was taken as it stood.
static void print_reused(const flist *first, uint32_t n, const char *archivename) {
    uint32_t files = 0;
    uint64_t bytes = 0, total = 0;
    for (const flist *f = first; f != nullptr; f = f->next) {
        files += f->reuse != 0;
        bytes += f->reuse ? f->size : 0;
        total += f->size;
    }
    print(0, "Reused %u of %u files (%llu of %llu bytes) from %s\n", files, n,
          static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(total),
          archivename);
}

void createqzarchive(const char *filename, flist *first, const char *basepath, const char *fullpath,
                     const char *info) {
    uint32_t n = 0;
    for (const flist *f = first; f != nullptr; f = f->next)
        n++;
    print(0, "Writing qz archive file: %s\n", filename);
    if (basepath != nullptr && fullpath != nullptr)
        die("Writeing basepath(%s) and fullpath(%s) is not possible\n", basepath, fullpath);
    check_output_target(filename, force_overwrite);
    // Written beside the archive and given its name only when complete: a failed run leaves an
    // archive that was there as it was.
    stream_guard output{stage_output_stream(filename, force_overwrite)};
    FILE *out = output.f;
    if (out == nullptr)
        die("can't create %s: %s\n", filename, strerror(errno));

    chunk_guard top, content, table, stream, chunk;
    top.h = fwrite_chunk_start(out, QZ_ARCHIVE);
    content.h = fwrite_chunk_start(out, ARCHIVE_CONTENT);
    const int64_t base = plat_ftell(out);
    table.h = fwrite_chunk_start(out, FILE_INDEX_TABLE);
    put(out, filename, &n, sizeof n);
    if (basepath != nullptr) {
        print(1, "Writeing basepath(%s) entry\n", basepath);
        write_path_entry(out, filename, BASEPATH_ENTRY, basepath);
    } else if (fullpath != nullptr) {
        print(1, "Writeing fullpath(%s) entry\n", fullpath);
        write_path_entry(out, filename, FULLPATH_ENTRY, fullpath);
    }

    // The entries need every file's sizes, known only once it is compressed: keep room here.
    const int64_t index = plat_ftell(out);
    print(1, "Alloc room for file index table\n");
    const uint64_t room = uint64_t{n} * QZ_INDEX_ENTRY_ROOM;
    archive_room(out, filename, room + sizeof(qz_chunk));
    seek(out, filename, index + static_cast<int64_t>(room));
    end_chunk(out, filename, table);

    {
        // -u: the old archive stays open, and whole, until its streams are copied; it is closed
        // before the new archive takes its name.
        const fd_guard old{update_archive ? find_reusable(filename, first) : -1};
        stream.h = fwrite_chunk_start(out, FILE_STREAM);
        print(1, "Write compressing file stream:\n");
        pack_files(first, n, out, filename, old.fd);
        end_chunk(out, filename, stream);
    }
    const int64_t end = plat_ftell(out);

    seek(out, filename, index);
    print(1, "writing index entries for files:\n");
    for (const flist *f = first; f != nullptr; f = f->next) {
        print(2, "%s\n", f->archivename);
        const qz_chunk header = {INDEX_ENTRY, sizeof(index_entry)};
        index_entry ie = {};
        memcpy(ie.signature, f->signature, sizeof ie.signature);
        ie.offset = static_cast<uint32_t>(f->offset - base);
        ie.outsize = f->size;
        ie.insize = f->compressedsize;
        copy_name_field(ie.name, f->archivename, sizeof ie.name);
        put(out, filename, &header, sizeof header);
        put(out, filename, &ie, sizeof ie);
    }
    seek(out, filename, end);
    end_chunk(out, filename, content);

    if (info != nullptr) {
        const size_t len = strlen(info);
        archive_room(out, filename, sizeof(qz_chunk) + len);
        chunk.h = fwrite_chunk_start(out, ARCHIVE_INFO);
        put(out, filename, info, len);
        end_chunk(out, filename, chunk);
    }
    end_chunk(out, filename, top);
    if (update_archive)
        print_reused(first, n, filename);
    output.f = nullptr;
    if (fclose(out) != 0)
        write_failed(filename);
    commit_outputs();
}

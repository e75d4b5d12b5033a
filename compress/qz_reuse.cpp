// Repacking over an earlier archive (-u): a file whose content an earlier archive holds, in the
// very stream this run would make, has that stream copied instead of being compressed again.
// The content is compared byte for byte with what the old stream inflates to, on every thread;
// nothing weaker decides. An old archive that cannot be read is passed over with a warning.
#include "qz_pack.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qz.h"          // archive chunk types, index_entry
#include "qz_platform.h" // descriptor I/O

int update_archive = 0;

namespace {

struct old_stream {
    uint64_t at; // absolute position of the stream in the old archive
    uint32_t insize, outsize;
    char signature[4];
};

bool read_at(int fd, void *dst, size_t len, uint64_t at) {
    return pread_some_all(fd, dst, len, at) == static_cast<int64_t>(len);
}

// The old archive's streams by stored name, or why they cannot be had. The index is read whole:
// about 150 bytes an entry, and the names once more.
bool read_old_index(int fd, std::unordered_map<std::string, old_stream> *streams,
                    std::string *why) {
    plat_stat_info st{};
    if (plat_fstat(fd, &st) != 0) {
        *why = strerror(errno);
        return false;
    }
    qz_chunk top{}, content{}, table{};
    uint32_t count = 0;
    if (!read_at(fd, &top, sizeof top, 0) || !read_at(fd, &content, sizeof content, 8) ||
        !read_at(fd, &table, sizeof table, 16) || !read_at(fd, &count, sizeof count, 24) ||
        top.type != QZ_ARCHIVE || content.type != ARCHIVE_CONTENT ||
        table.type != FILE_INDEX_TABLE || table.size < 4) {
        *why = "not an archive of this format";
        return false;
    }
    if (24 + uint64_t{table.size} > st.size) {
        *why = "its index is cut short";
        return false;
    }
    std::vector<unsigned char> bytes(table.size - 4);
    if (!read_at(fd, bytes.data(), bytes.size(), 28)) {
        *why = "its index is cut short";
        return false;
    }
    const uint64_t base = 16; // the offsets count from the index table's chunk
    uint32_t found = 0;
    for (size_t at = 0; at + sizeof(qz_chunk) <= bytes.size();) {
        qz_chunk c;
        memcpy(&c, &bytes[at], sizeof c);
        at += sizeof c;
        if (c.size > bytes.size() - at) {
            *why = "its index is damaged";
            return false;
        }
        if (c.type == INDEX_ENTRY && c.size == sizeof(index_entry)) {
            index_entry ie;
            memcpy(&ie, &bytes[at], sizeof ie);
            if (base + ie.offset + uint64_t{ie.insize} > st.size) {
                *why = "a stream lies beyond its end";
                return false;
            }
            old_stream s{base + ie.offset, ie.insize, ie.outsize, {}};
            memcpy(s.signature, ie.signature, sizeof s.signature);
            // The field up to its zeros: a name that fills it has none.
            streams->emplace(std::string(ie.name, strnlen(ie.name, sizeof ie.name)), s);
            found++;
        } else if (c.type != BASEPATH_ENTRY && c.type != FULLPATH_ENTRY) {
            *why = "its index is damaged";
            return false;
        }
        at += c.size;
    }
    if (found != count) {
        *why = "its index is damaged";
        return false;
    }
    return true;
}

// A stored level 0 stream is its header, stored blocks of five bytes' header each and the check
// value: another of the same kind of level (1) has compressed blocks in it.
bool stored_only(const old_stream &s) {
    if (s.insize < 6 + uint64_t{s.outsize} + 5)
        return false;
    return (s.insize - 6 - uint64_t{s.outsize}) % 5 == 0;
}

// Whether the old stream may be this run's of the file at all: its header shows this run's kind
// of level, and the file is a regular file of the entry's length.
bool header_fits(int archive, const old_stream &s) {
    const zlib_header header;
    unsigned char head[2];
    if (s.insize < 6 || !read_at(archive, head, 2, s.at) || head[0] != header.bytes[0] ||
        head[1] != header.bytes[1])
        return false;
    // Levels 0 and 1 share a header: only level 0 stores every block.
    return !((pack_level == 0 || pack_level == 1) && (pack_level == 0) != stored_only(s));
}

bool may_be_same(int archive, const old_stream &s, const char *path) {
    plat_stat_info st{};
    return header_fits(archive, s) && plat_stat(path, &st) == 0 && st.mode == PLAT_S_IFREG &&
           st.size == s.outsize;
}

// What a thread needs to check a stream or one piece of it: buffers, and an inflater set up
// once and reset for each stream, as the packer's deflater is.
struct piece_scratch {
    std::vector<unsigned char> piece, file, out;
    z_stream strm{};
    bool ready = false;
    piece_scratch() = default;
    piece_scratch(const piece_scratch &) = delete;
    piece_scratch &operator=(const piece_scratch &) = delete;
    ~piece_scratch() {
        if (ready)
            inflateEnd(&strm);
    }
    // The inflater, started afresh for a zlib stream (MAX_WBITS) or a raw one (-MAX_WBITS).
    z_stream *inflater(int window_bits) {
        if (ready ? inflateReset2(&strm, window_bits) != Z_OK
                  : inflateInit2(&strm, window_bits) != Z_OK)
            return nullptr;
        ready = true;
        return &strm;
    }
};

// Streams and files are read in pieces of this size.
constexpr size_t CHECK_BUF = 65536;

// Whether the old stream is the stream this run makes of the file: its header shows this run's
// kind of level, it inflates to the file's bytes exactly (compared as both are read) and ends
// where its index entry says, and a file in blocks has a block ending at every block boundary.
bool same_stream(int archive, const old_stream &s, const char *path, piece_scratch &m) {
    if (!header_fits(archive, s))
        return false;
    const fd_guard in{plat_open_read(path)};
    plat_stat_info st{};
    if (in.fd < 0 || plat_fstat(in.fd, &st) != 0 || st.mode != PLAT_S_IFREG || st.size != s.outsize)
        return false;
    z_stream *const z = m.inflater(MAX_WBITS);
    if (z == nullptr)
        return false;
    z_stream &strm = *z;
    const bool blocked = s.outsize > BLOCKED_FILE;
    uint64_t next_boundary = BLOCK; // in the output, for a file in blocks
    uint64_t read_in = 0, compared = 0;
    m.piece.resize(std::max(m.piece.size(), CHECK_BUF));
    m.file.resize(std::max(m.file.size(), CHECK_BUF));
    m.out.resize(std::max(m.out.size(), CHECK_BUF));
    unsigned char *const out = m.out.data(), *const file = m.file.data();
    int ret = Z_OK;
    while (ret != Z_STREAM_END) {
        if (strm.avail_in == 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(CHECK_BUF, s.insize - read_in));
            if (n == 0 || !read_at(archive, m.piece.data(), n, s.at + read_in))
                return false;
            read_in += n;
            strm.next_in = m.piece.data();
            strm.avail_in = static_cast<uInt>(n);
        }
        strm.next_out = out;
        strm.avail_out = CHECK_BUF;
        ret = inflate(&strm, blocked ? Z_BLOCK : Z_NO_FLUSH);
        if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR)
            return false;
        const size_t made = CHECK_BUF - strm.avail_out;
        if (made != 0) {
            if (compared + made > s.outsize || !read_at(in.fd, file, made, compared) ||
                memcmp(out, file, made) != 0)
                return false;
            compared += made;
        }
        // The blocks of a file end where its layout puts them, at every BLOCK of its bytes.
        if (blocked && (strm.data_type & 128) != 0 && strm.total_out == next_boundary)
            next_boundary += BLOCK;
        if (blocked && strm.total_out > next_boundary && next_boundary < s.outsize)
            return false;
    }
    unsigned char more;
    return compared == s.outsize && read_in == s.insize && strm.avail_in == 0 &&
           plat_pread(in.fd, &more, 1, s.outsize) == 0;
}

// Whether raw deflate data at `at` in the archive begins block j of the file: inflated with the
// window before that block, its first bytes are the block's first bytes. A start found by the
// marker where none is (the bytes stand inside a piece) fails this at once.
bool begins_block(int archive, uint64_t at, uint64_t end, int file, uint64_t j,
                  uint64_t file_size) {
    constexpr size_t PREFIX = 64;
    unsigned char in[4096], window[WINDOW + PREFIX], out[PREFIX];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof in, end - at));
    const uint64_t start = j * BLOCK;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(PREFIX, file_size - start));
    if (!read_at(archive, in, n, at) || !read_at(file, window, WINDOW + want, start - WINDOW))
        return false;
    z_stream strm{};
    if (inflateInit2(&strm, -MAX_WBITS) != Z_OK)
        return false;
    bool same = inflateSetDictionary(&strm, window, WINDOW) == Z_OK;
    strm.next_in = in;
    strm.avail_in = static_cast<uInt>(n);
    strm.next_out = out;
    strm.avail_out = static_cast<uInt>(want);
    const int ret = same ? inflate(&strm, Z_SYNC_FLUSH) : Z_DATA_ERROR;
    same = (ret == Z_OK || ret == Z_STREAM_END || ret == Z_BUF_ERROR) && strm.avail_out == 0 &&
           memcmp(out, window + WINDOW, want) == 0;
    inflateEnd(&strm);
    return same;
}

// A stream in blocks is its header, one raw piece per block and the Adler-32 of the whole. Every
// piece but the last ends with the empty stored block of a sync flush (00 00 FF FF, on a byte
// boundary), so the pieces can be found by those bytes and checked each on its own, on every
// thread: a large file takes all of them, as its compression does. The same bytes may stand
// inside a piece too (stored data, a second flush marker where the output buffer filled): then
// each block's start is the first of the places it may have that begins the block. The places
// where the pieces begin and the stream's end, or none when they cannot be found, for the stream
// to be checked from its start.
std::vector<uint64_t> piece_starts(int archive, const old_stream &s, const char *path) {
    const uint64_t blocks = (uint64_t{s.outsize} + BLOCK - 1) / BLOCK;
    std::vector<uint64_t> found = {s.at + 2};
    const uint64_t end = s.at + s.insize - 4;
    std::vector<unsigned char> buf(65536 + 3);
    size_t carry = 0;
    for (uint64_t at = s.at + 2; at < end;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(65536, end - at));
        if (!read_at(archive, buf.data() + carry, n, at))
            return {};
        const size_t have = carry + n;
        for (size_t i = 0; i + 4 <= have; i++)
            if (buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] == 0xFF && buf[i + 3] == 0xFF) {
                found.push_back(at - carry + i + 4);
                if (found.size() > 2 * blocks + 16) // not a stream of this layout
                    return {};
            }
        carry = std::min<size_t>(3, have);
        memmove(buf.data(), buf.data() + have - carry, carry);
        at += n;
    }
    if (found.size() < blocks)
        return {};
    std::vector<uint64_t> starts = {found[0]};
    if (found.size() == blocks) {
        starts = found;
    } else {
        const fd_guard in{plat_open_read(path)};
        if (in.fd < 0)
            return {};
        // Block j starts at one of found[j] to found[j + extra], after block j - 1's start.
        const size_t extra = found.size() - blocks;
        size_t i = 1;
        for (uint64_t j = 1; j < blocks; j++) {
            while (i < found.size() && i <= j + extra &&
                   !begins_block(archive, found[i], end, in.fd, j, s.outsize))
                i++;
            if (i >= found.size() || i > j + extra)
                return {};
            starts.push_back(found[i++]);
        }
    }
    starts.push_back(end);
    for (size_t k = 0; k + 1 < starts.size(); k++)
        if (starts[k + 1] - starts[k] > block_room(BLOCK))
            return {};
    return starts;
}

// Whether piece k (from starts[k] to starts[k + 1]) inflates, with the WINDOW bytes before its
// block as its window, to exactly its block of the file, and ends as the layout ends it: at a
// block boundary after the sync flush, or with the stream's last block. *check is the block's
// Adler-32.
bool same_piece(int archive, const old_stream &s, const std::vector<uint64_t> &starts, size_t k,
                const char *path, piece_scratch &m, uLong *check) {
    const uint64_t offset = uint64_t{k} * BLOCK;
    const size_t len = static_cast<size_t>(std::min<uint64_t>(BLOCK, s.outsize - offset));
    const size_t window = k == 0 ? 0 : WINDOW;
    const bool last = k + 2 == starts.size();
    const size_t in_len = static_cast<size_t>(starts[k + 1] - starts[k]);
    m.piece.resize(std::max<size_t>(m.piece.size(), block_room(BLOCK)));
    m.file.resize(std::max<size_t>(m.file.size(), WINDOW + BLOCK + 1));
    m.out.resize(std::max<size_t>(m.out.size(), BLOCK + 1));
    const fd_guard in{plat_open_read(path)};
    if (in.fd < 0 || !read_at(archive, m.piece.data(), in_len, starts[k]) ||
        !read_at(in.fd, m.file.data(), window + len, offset - window))
        return false;
    if (last && plat_pread(in.fd, m.file.data() + window + len, 1, offset + len) != 0)
        return false;
    z_stream *const z = m.inflater(-MAX_WBITS);
    if (z == nullptr)
        return false;
    z_stream &strm = *z;
    if (window != 0 && inflateSetDictionary(&strm, m.file.data(), WINDOW) != Z_OK)
        return false;
    strm.next_in = m.piece.data();
    strm.avail_in = static_cast<uInt>(in_len);
    strm.next_out = m.out.data();
    strm.avail_out = static_cast<uInt>(BLOCK + 1);
    const int ret = inflate(&strm, Z_SYNC_FLUSH);
    const bool ended = last ? ret == Z_STREAM_END
                            : (ret == Z_OK || ret == Z_BUF_ERROR) && (strm.data_type & 128) != 0 &&
                                  (strm.data_type & 64) == 0;
    if (!ended || strm.avail_in != 0 || strm.total_out != len ||
        memcmp(m.out.data(), m.file.data() + window, len) != 0)
        return false;
    *check = adler32(adler32(0, nullptr, 0), m.file.data() + window, static_cast<uInt>(len));
    return true;
}

} // namespace

// Marks each file whose stream the old archive holds as this run would make it: f->reuse_at,
// its size, compressed size and signature from there. Returns the old archive's descriptor, or
// -1 when there is none to take from.
int find_reusable(const char *archivename, flist *first) {
    const int fd = plat_open_read(archivename);
    if (fd < 0)
        return -1; // nothing to reuse: -u packs as usual
    std::unordered_map<std::string, old_stream> streams;
    std::string why;
    if (!read_old_index(fd, &streams, &why)) {
        print(0, "[warn] %s: %s: every file is compressed again\n", archivename, why.c_str());
        plat_close(fd);
        return -1;
    }
    struct candidate {
        flist *f;
        old_stream s;
        std::vector<uint64_t> starts; // of its pieces, for a file in blocks
    };
    std::vector<candidate> candidates;
    for (flist *f = first; f != nullptr; f = f->next) {
        // The name as its field holds it.
        char field[QZ_NAME_LEN];
        copy_name_field(field, f->archivename, sizeof field);
        const auto found = streams.find(std::string(field, strnlen(field, sizeof field)));
        // A file in blocks is looked at here, before its pieces are found; any other in its task.
        if (found != streams.end() &&
            (found->second.outsize <= BLOCKED_FILE || may_be_same(fd, found->second, f->path)))
            candidates.push_back({f, found->second, {}});
    }
    // The work: a whole stream checked from its start (piece -1), or one piece of a stream in
    // blocks. Every thread takes the next; each result has a place of its own.
    struct task {
        size_t c;
        long piece;
    };
    std::vector<task> tasks;
    for (size_t c = 0; c < candidates.size(); c++) {
        candidate &k = candidates[c];
        if (k.s.outsize > BLOCKED_FILE)
            k.starts = piece_starts(fd, k.s, k.f->path);
        if (k.starts.empty())
            tasks.push_back({c, -1});
        for (size_t p = 0; p + 1 < k.starts.size(); p++)
            tasks.push_back({c, static_cast<long>(p)});
    }
    std::vector<char> ok(tasks.size());
    std::vector<uLong> checks(tasks.size());
    std::atomic<size_t> next{0};
    const auto work = [&] {
        piece_scratch m;
        for (size_t i; (i = next++) < tasks.size();) {
            const candidate &k = candidates[tasks[i].c];
            ok[i] = tasks[i].piece < 0
                        ? same_stream(fd, k.s, k.f->path, m)
                        : same_piece(fd, k.s, k.starts, static_cast<size_t>(tasks[i].piece),
                                     k.f->path, m, &checks[i]);
        }
    };
    workers crew;
    if (tasks.size() > 1)
        crew.start(static_cast<unsigned>(std::min<size_t>(pack_threads, tasks.size()) - 1), work);
    work();
    crew.stop_all();
    // A candidate is the same when all its work is; the pieces' checks make the stream's.
    std::vector<char> same(candidates.size(), 1);
    std::vector<uLong> whole(candidates.size(), adler32(0, nullptr, 0));
    for (size_t i = 0; i < tasks.size(); i++) {
        const size_t c = tasks[i].c;
        same[c] = same[c] && ok[i];
        if (tasks[i].piece >= 0) {
            const uint64_t at = uint64_t(tasks[i].piece) * BLOCK;
            const auto len =
                static_cast<z_off_t>(std::min<uint64_t>(BLOCK, candidates[c].s.outsize - at));
            whole[c] = adler32_combine(whole[c], checks[i], len);
        }
    }
    for (size_t c = 0; c < candidates.size(); c++) {
        if (!same[c] || candidates[c].starts.empty())
            continue;
        unsigned char trailer[4], want[4];
        put_check(want, whole[c]);
        same[c] = read_at(fd, trailer, 4, candidates[c].s.at + candidates[c].s.insize - 4) &&
                  memcmp(trailer, want, 4) == 0;
    }
    for (size_t i = 0; i < candidates.size(); i++) {
        if (!same[i])
            continue;
        flist *f = candidates[i].f;
        f->reuse = 1;
        f->reuse_at = candidates[i].s.at;
        f->size = candidates[i].s.outsize;
        f->compressedsize = candidates[i].s.insize;
        memcpy(f->signature, candidates[i].s.signature, sizeof f->signature);
    }
    return fd;
}

// The reused stream of f, copied from the old archive into the new one at its place.
void copy_reused(flist *f, int old_archive, FILE *out, const char *archivename) {
    const int64_t offset = plat_ftell(out);
    if (offset < 0)
        write_failed(archivename);
    archive_room(out, archivename, f->compressedsize);
    f->offset = static_cast<uint32_t>(offset);
    progress.total = f->size;
    unsigned char buf[65536];
    for (uint64_t done = 0; done < f->compressedsize;) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(sizeof buf, f->compressedsize - done));
        if (!read_at(old_archive, buf, n, f->reuse_at + done))
            die("read(%s) failed: %s\n", archivename, errno != 0 ? strerror(errno) : "cut short");
        put(out, archivename, buf, n);
        done += n;
        progress_step(&progress, done * f->size / f->compressedsize);
    }
}

// The archive reader: the index with each entry's stored name and sizes, the info text, and
// every stream inflated once to see that it gives what its entry promises.
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <zlib.h>

#include "qz_info.h"
#include "qz_platform.h" // seek

namespace {

// An entry's name as the unpacker takes it: decoded once, as a whole.
std::string stored_name(const index_entry &ie) {
    return plat_stored_name(ie.name, strnlen(ie.name, sizeof ie.name));
}

std::string shown_name(const index_entry &ie) {
    const std::string name = stored_name(ie);
    return shown_text(name.data(), name.size());
}

struct entry {
    index_entry ie;
    info_chunk at; // its INDEX_ENTRY chunk, for reports
};

// What the walk of one archive gathers for the checks that need all of it.
struct archive_walk {
    uint64_t base = 0;        // offsets count from here: the first data byte of ARCHIVE_CONTENT
    int have_stream = 0;      // a FILE_STREAM was met
    info_chunk stream = {};   // and its chunk, with the position of its data below
    uint64_t stream_data = 0; // file offset of its first data byte
    std::vector<entry> entries;
};

const child_slot top_slots[] = {{ARCHIVE_CONTENT, 0, 1, 1, "ARCHIVE_CONTENT"},
                                {ARCHIVE_INFO, 0, 0, 1, "ARCHIVE_INFO"}};
const child_slot content_slots[] = {{FILE_INDEX_TABLE, 0, 1, 1, "FILE_INDEX_TABLE"},
                                    {FILE_STREAM, 0, 1, 1, "FILE_STREAM"}};
const child_slot table_slots[] = {{BASEPATH_ENTRY, FULLPATH_ENTRY, 0, 1, "path entry"},
                                  {INDEX_ENTRY, 0, 0, UINT_MAX, "INDEX_ENTRY"}};

void read_path_entry(info_reader *r, info_chunk *c) {
    char path[QZ_PATH_LEN];
    if (c->size != QZ_PATH_LEN)
        info_bad(r, c, "holds %u bytes, a path entry has %u", c->size, QZ_PATH_LEN);
    if (!info_read(r, c, path, sizeof path))
        return;
    const std::string text = shown_field(path, sizeof path);
    info_show(r, c->level + 1, "%s path: '%s'\n", c->type == BASEPATH_ENTRY ? "base" : "full",
              text.c_str());
}

void read_index_entry(info_reader *r, info_chunk *c, archive_walk *w) {
    entry e = {};
    e.at = *c;
    if (c->size != sizeof e.ie)
        info_bad(r, c, "holds %u bytes, an index entry has %u", c->size,
                 static_cast<unsigned>(sizeof e.ie));
    if (!info_read(r, c, &e.ie, sizeof e.ie))
        return;
    const index_entry &ie = e.ie;
    const std::string name = shown_name(ie);
    char ratio[32] = "-";
    if (ie.outsize != 0)
        snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * ie.insize / ie.outsize);
    const auto *sig = reinterpret_cast<const unsigned char *>(ie.signature);
    info_show(r, c->level + 1,
              "'%s': outsize %u, insize %u, ratio %s, offset 0x%08x, signature %02x %02x %02x "
              "%02x\n",
              name.c_str(), ie.outsize, ie.insize, ratio, ie.offset, sig[0], sig[1], sig[2],
              sig[3]);
    w->entries.push_back(e);
}

void read_index_table(info_reader *r, info_chunk *table, archive_walk *w) {
    uint32_t nfiles = 0;
    if (!info_read(r, table, &nfiles, sizeof nfiles)) {
        info_bad(r, table, "too small for the number of files");
        return;
    }
    info_show(r, table->level + 1, "NumberOfFiles: %u\n", nfiles);
    child_order order = {table_slots, std::size(table_slots), 0, {}, 0};
    info_chunk c;
    while (info_next_child(r, table, &c)) {
        if (order_accept(r, table, &order, &c)) {
            if (c.type == INDEX_ENTRY)
                read_index_entry(r, &c, w);
            else
                read_path_entry(r, &c);
        }
        info_skip(r, &c);
    }
    if (nfiles != order.count[1])
        info_bad(r, table, "says %u files, holds %u index entries", nfiles, order.count[1]);
}

void read_content(info_reader *r, info_chunk *content, archive_walk *w) {
    w->base = static_cast<uint64_t>(plat_tell(r->fd));
    child_order order = {content_slots, std::size(content_slots), 0, {}, 0};
    info_chunk c;
    while (info_next_child(r, content, &c)) {
        if (order_accept(r, content, &order, &c)) {
            if (c.type == FILE_INDEX_TABLE) {
                read_index_table(r, &c, w);
            } else {
                w->have_stream = 1;
                w->stream = c;
                w->stream_data = static_cast<uint64_t>(plat_tell(r->fd));
            }
        }
        info_skip(r, &c);
    }
    order_finish(r, content, &order);
}

void read_info_text(info_reader *r, info_chunk *c) {
    // The walk's budget keeps the size inside the file.
    std::string text(c->left, '\0');
    info_read(r, c, text.data(), c->left);
    info_show(r, c->level + 1, "info: '%s'\n", shown_text(text.data(), text.size()).c_str());
}

// Inflates one stream piece by piece: the reader's memory does not grow with what a damaged
// entry claims. Reports what the stream gives that its entry does not promise.
void check_stream(info_reader *r, const entry &e, uint64_t at) {
    const index_entry &ie = e.ie;
    if (plat_seek(r->fd, static_cast<int64_t>(at), SEEK_SET) != static_cast<int64_t>(at))
        die("seek(): %s\n", strerror(errno));
    z_stream zs = {};
    if (inflateInit(&zs) != Z_OK)
        die("inflateInit failed\n");
    unsigned char in[16384], out[16384];
    unsigned char head[4] = {0, 0, 0, 0};
    uint32_t unread = ie.insize;
    uint64_t produced = 0;
    int rc = Z_OK;
    while (rc == Z_OK && produced <= ie.outsize) {
        if (zs.avail_in == 0 && unread != 0) {
            const uint32_t n = unread < sizeof in ? unread : static_cast<uint32_t>(sizeof in);
            if (read_all(r->fd, in, n) != n)
                die("unexpected EOF\n");
            zs.next_in = in;
            zs.avail_in = n;
            unread -= n;
        }
        zs.next_out = out;
        zs.avail_out = sizeof out;
        rc = inflate(&zs, Z_NO_FLUSH);
        const size_t got = sizeof out - zs.avail_out;
        for (size_t i = 0; i < got && produced + i < 4; i++)
            head[produced + i] = out[i];
        produced += got;
    }
    const uint32_t rest = zs.avail_in + unread;
    const std::string why = zs.msg != nullptr ? zs.msg : zError(rc);
    inflateEnd(&zs);
    const std::string name = shown_name(ie);
    const char *n = name.c_str();
    if (produced > ie.outsize) {
        info_bad(r, &e.at, "'%s' inflates to more than its outsize of %u bytes", n, ie.outsize);
    } else if (rc == Z_BUF_ERROR) {
        info_bad(r, &e.at, "the stream of '%s' does not end within its %u bytes", n, ie.insize);
    } else if (rc != Z_STREAM_END) {
        info_bad(r, &e.at, "the stream of '%s' is no zlib stream (%s)", n, why.c_str());
    } else {
        if (rest != 0)
            info_bad(r, &e.at, "the stream of '%s' ends after %u of its %u bytes", n,
                     ie.insize - rest, ie.insize);
        if (produced != ie.outsize)
            info_bad(r, &e.at, "'%s' inflates to %llu bytes, its outsize is %u", n,
                     static_cast<unsigned long long>(produced), ie.outsize);
    }
    if (produced >= 4 || rc == Z_STREAM_END) {
        if (memcmp(head, ie.signature, 4) != 0)
            info_bad(r, &e.at,
                     "the signature %02x %02x %02x %02x of '%s' differs from its first bytes "
                     "%02x %02x %02x %02x",
                     static_cast<unsigned char>(ie.signature[0]),
                     static_cast<unsigned char>(ie.signature[1]),
                     static_cast<unsigned char>(ie.signature[2]),
                     static_cast<unsigned char>(ie.signature[3]), n, head[0], head[1], head[2],
                     head[3]);
    }
}

void check_entries(info_reader *r, const archive_walk &w) {
    std::map<std::string, uint32_t> seen; // name, header of the entry that stores it first
    for (const entry &e : w.entries) {
        const std::string name = shown_name(e.ie);
        if (!archive_name_is_safe(stored_name(e.ie).c_str()))
            info_bad(r, &e.at, "the name '%s' does not lead below the output directory",
                     name.c_str());
        const auto [it, fresh] = seen.emplace(name, e.at.pos);
        if (!fresh)
            info_bad(r, &e.at, "'%s' is stored before, @ 0x%08x", name.c_str(), it->second);
    }
    if (!w.have_stream)
        return;
    // The streams lie back to back in index order, the first at the start of the stream data.
    uint64_t expected = w.stream_data - w.base, total = 0;
    // Its budget, not its claim: a claim beyond the file's end is reported already.
    const uint64_t end = w.stream_data + w.stream.left;
    for (const entry &e : w.entries) {
        const index_entry &ie = e.ie;
        if (ie.offset != expected)
            info_bad(r, &e.at, "offset 0x%08x, its stream starts at 0x%08llx", ie.offset,
                     static_cast<unsigned long long>(expected));
        expected += ie.insize;
        total += ie.insize;
        const uint64_t at = w.base + ie.offset;
        if (at < w.stream_data || at + ie.insize > end)
            info_bad(r, &e.at, "the stream of '%s' lies outside FILE_STREAM's data",
                     shown_name(ie).c_str());
        else
            check_stream(r, e, at);
    }
    if (total != w.stream.size)
        info_bad(r, &w.stream, "holds %u bytes, the streams of the index add up to %llu",
                 w.stream.size, static_cast<unsigned long long>(total));
}

} // namespace

void read_archive(info_reader *r, info_chunk *top) {
    archive_walk w;
    child_order order = {top_slots, std::size(top_slots), 0, {}, 0};
    info_chunk c;
    while (info_next_child(r, top, &c)) {
        if (order_accept(r, top, &order, &c)) {
            if (c.type == ARCHIVE_CONTENT)
                read_content(r, &c, &w);
            else
                read_info_text(r, &c);
        }
        info_skip(r, &c);
    }
    order_finish(r, top, &order);
    check_entries(r, w);
}

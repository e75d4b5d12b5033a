// The unpacker's index: every entry read and checked before the first file is written, so that
// a damaged or hostile archive is refused before it can leave half an extraction behind.
#include "qz_unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "qz.h"          // index_entry, archive chunk types
#include "qz_filefunc.h" // print, die, chunk reader
#include "qz_platform.h" // stored names, name keys

// Deflate codes at best 258 bytes in 2 bits, so no zlib stream inflates to more than 1032 times
// its own length.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

// The components of a stored name that lead somewhere: without empty and "." ones.
static std::vector<std::string> components(const std::string &name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find('/', start), name.size());
        std::string component = name.substr(start, end - start);
        start = end + 1;
        if (!component.empty() && component != ".")
            parts.push_back(std::move(component));
    }
    return parts;
}

// The name of an entry's file as the system compares names ("Dir/x.txt" and "dir/x.txt" alike
// on Windows), and as it stands when plain is given.
static void file_names(const std::string &name, std::string *key, std::string *plain) {
    for (const std::string &component : components(name)) {
        if (!key->empty())
            *key += '/';
        *key += plat_name_key(component.c_str());
        if (plain != nullptr)
            *plain += (plain->empty() ? "" : "/") + component;
    }
}

// The keys of every entry's file in an order in which a directory comes right before the names
// below it ('/' before every other byte), each with its entry's place in the index. A key that is
// the name itself (as a name without "." or empty components is where case counts) is the
// entry's own text; only the others are kept in own. Sorted, a million names take a fraction of
// the memory that a table of them would.
struct file_key {
    std::string_view key;
    size_t index;
};
static std::vector<file_key> sorted_keys(const std::vector<archive_entry> &entries,
                                         std::deque<std::string> &own) {
    std::vector<file_key> keys(entries.size());
    for (size_t k = 0; k < entries.size(); k++) {
        std::string key;
        file_names(entries[k].name, &key, nullptr);
        std::string_view text = entries[k].name;
        if (key != text) {
            own.push_back(std::move(key));
            text = own.back();
        }
        keys[k] = {text, k};
    }
    const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
    std::sort(keys.begin(), keys.end(), [&rank](const file_key &a, const file_key &b) {
        return std::lexicographical_compare(
                   a.key.begin(), a.key.end(), b.key.begin(), b.key.end(),
                   [&rank](char x, char y) { return rank(x) < rank(y); }) ||
               (a.key == b.key && a.index < b.index);
    });
    return keys;
}

// Whether every entry's file is one of its own: no name given twice, and none that is a
// directory on the way to another, as the system compares names. Only then may the entries be
// extracted in any order with the same outcome. In key order, a name below a directory follows
// the directory's own name at once.
bool names_apart(const std::vector<archive_entry> &entries) {
    std::deque<std::string> own;
    const auto keys = sorted_keys(entries, own);
    for (size_t i = 1; i < keys.size(); i++) {
        const std::string_view a = keys[i - 1].key, b = keys[i].key;
        if (b.compare(0, a.size(), a) == 0 && (b.size() == a.size() || b[a.size()] == '/'))
            return false;
    }
    return true;
}

// Two names that differ only in case name one file where the system ignores case: the second
// would meet the first halfway through the run. Such an archive is refused before anything is
// written, naming the first entry of that file and the first later one that spells it otherwise,
// the earliest such in the index. (Where case counts, no two names are alike.)
static void check_case_clashes(const std::vector<archive_entry> &entries) {
    if (!PLAT_NAMES_IGNORE_CASE)
        return;
    std::deque<std::string> own;
    const auto keys = sorted_keys(entries, own);
    std::string first, clash;
    size_t clash_at = entries.size();
    for (size_t i = 0, start = 0; i < keys.size(); i++) {
        if (keys[i].key != keys[start].key)
            start = i;
        if (i == start || keys[i].index >= clash_at)
            continue;
        std::string key, a, b;
        file_names(entries[keys[start].index].name, &key, &a);
        file_names(entries[keys[i].index].name, &key, &b);
        if (a != b) {
            first = a;
            clash = b;
            clash_at = keys[i].index;
        }
    }
    if (clash_at != entries.size())
        die("'%s' and '%s' in the archive name one file on this system, which does not tell "
            "case apart\n",
            first.c_str(), clash.c_str());
}

// Decodes the stored name (the 128-byte field need not hold a terminating NUL) and checks the
// entry. All sums in 64 bits: offset base, offset and length are each below 2^32 but their sum
// is not.
static archive_entry check_entry(const index_entry &read, uint64_t archive_len, uint64_t base) {
    archive_entry e{{{}, read.offset, read.outsize, read.insize}, base + read.offset, {}};
    memcpy(e.ie.signature, read.signature, sizeof e.ie.signature);
    e.name = plat_stored_name(read.name, strnlen(read.name, sizeof read.name));
    const std::string &name = e.name;
    if (!archive_name_is_safe(name.c_str()))
        die("unsafe file name in archive: '%s'\n", name.c_str());
    if (base + e.ie.offset + e.ie.insize > archive_len)
        die("corrupt archive: the data of '%s' lies beyond the end of the file\n", name.c_str());
    if (e.ie.outsize > e.ie.insize * MAX_INFLATE_RATIO)
        die("corrupt archive: '%s' cannot inflate from %u to %u bytes\n", name.c_str(), e.ie.insize,
            e.ie.outsize);
    return e;
}

// Entries may share their compressed data, so the check of each entry alone does not bound what
// an archive unpacks to: the whole of it cannot hold more than its length inflated.
static void check_total(const std::vector<archive_entry> &entries, uint64_t archive_len) {
    uint64_t total = 0;
    for (const archive_entry &e : entries)
        total += e.ie.outsize;
    if (total > archive_len * MAX_INFLATE_RATIO)
        die("corrupt archive: its files add up to %llu bytes, more than %llu bytes of archive "
            "can hold\n",
            static_cast<unsigned long long>(total), static_cast<unsigned long long>(archive_len));
}

static void chunk_pr_warn(const qz_chunk *ch, unsigned int level, int fd) {
    const int64_t pos = plat_tell(fd) - static_cast<int64_t>(sizeof *ch);
    print(level, "@ %#.8llx %s(%#08x) (%u bytes) \n", static_cast<unsigned long long>(pos),
          "UNKNOWN_CHUNK", ch->type, ch->size);
}

// Moves past what is left of a chunk's data.
static void skip(int fd, uint32_t remaining) {
    if (remaining != 0 && plat_seek(fd, remaining, SEEK_CUR) < 0)
        die("seek(): %s\n", strerror(errno));
}

static void read_path_entry(int fd, qz_chunk *ch, uint64_t archive_len) {
    // The claimed size is refused before it is allocated when the file cannot hold it.
    if (static_cast<uint64_t>(plat_tell(fd)) + ch->size > archive_len)
        die("unexpected EOF\n");
    std::vector<char> path(static_cast<size_t>(ch->size) + 1, '\0');
    qz_read(fd, path.data(), ch->size, &ch->size);
    const char *kind = ch->type == BASEPATH_ENTRY ? "Base" : "Full";
    print(3, "Warning: %s path found, folder structure needs fixup: %s\n", kind, path.data());
}

static void read_index_table(int fd, qz_chunk *table, uint64_t base, uint64_t archive_len,
                             std::vector<archive_entry> &entries) {
    uint32_t nfiles = 0;
    qz_read(fd, &nfiles, sizeof nfiles, &table->size);
    print(2, "NumberOfFiles: %u\n", nfiles);
    // Room for the entries the table can hold, whatever the count claims: a list that doubled as
    // it grew would hold up to three times its entries while it moved them.
    constexpr uint32_t entry_room = sizeof(qz_chunk) + sizeof(index_entry);
    entries.reserve(entries.size() + std::min(nfiles, table->size / entry_room));
    // Index entries are taken from blocks read ahead: one read for hundreds of entries instead of
    // two for each. Only a whole entry of the usual size is taken from a block; for anything else
    // the descriptor is put back at the chunk's start and the chunk is read as below, with every
    // check and message in its place. A block starts at one entry and doubles while entries keep
    // coming, so other chunks never cost more than reading two entries' worth.
    std::vector<char> ahead(size_t{entry_room} * 256);
    size_t have = 0, used = 0, block = entry_room;
    const auto put_back = [&] {
        if (have != used && plat_seek(fd, -static_cast<int64_t>(have - used), SEEK_CUR) < 0)
            die("seek(): %s\n", strerror(errno));
        have = used = 0;
    };
    while (table->size != 0) {
        if (table->size >= entry_room) {
            if (have - used < entry_room) {
                put_back();
                have = read_all(fd, ahead.data(), std::min<size_t>(block, table->size));
                block = std::min(2 * block, ahead.size());
            }
            qz_chunk head;
            if (have - used >= entry_room) {
                memcpy(&head, &ahead[used], sizeof head);
                if (head.type == INDEX_ENTRY && head.size == sizeof(index_entry)) {
                    index_entry read;
                    memcpy(&read, &ahead[used + sizeof head], sizeof read);
                    used += entry_room;
                    table->size -= entry_room;
                    entries.push_back(check_entry(read, archive_len, base));
                    continue;
                }
            }
        }
        put_back();
        block = entry_room;
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &table->size);
        switch (ch.type) {
        case INDEX_ENTRY: {
            index_entry read;
            qz_read(fd, &read, sizeof read, &ch.size);
            entries.push_back(check_entry(read, archive_len, base));
            break;
        }
        case BASEPATH_ENTRY:
        case FULLPATH_ENTRY:
            read_path_entry(fd, &ch, archive_len);
            break;
        default:
            chunk_pr_warn(&ch, 3, fd);
        }
        skip(fd, ch.size);
    }
    put_back(); // nothing is left over: a block never reaches past the table
}

static void read_content(int fd, qz_chunk *content, uint64_t archive_len,
                         std::vector<archive_entry> &entries) {
    const int64_t base = plat_tell(fd);
    while (content->size != 0) {
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &content->size);
        if (ch.type == FILE_INDEX_TABLE)
            read_index_table(fd, &ch, static_cast<uint64_t>(base), archive_len, entries);
        else if (ch.type != FILE_STREAM) // streams are reached through the index
            chunk_pr_warn(&ch, 2, fd);
        skip(fd, ch.size);
    }
}

void read_index(int fd, uint32_t remaining, uint64_t archive_len,
                std::vector<archive_entry> &entries) {
    while (remaining != 0) {
        qz_chunk ch;
        qz_read_chunk(fd, &ch, &remaining);
        if (ch.type == ARCHIVE_CONTENT)
            read_content(fd, &ch, archive_len, entries);
        else
            chunk_pr_warn(&ch, 1, fd);
        skip(fd, ch.size);
    }
    check_total(entries, archive_len);
    check_case_clashes(entries);
}

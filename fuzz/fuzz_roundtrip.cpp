// Fuzzing harness of the packer and the unpacker together: the input describes a small tree of
// files, which is made in the work directory, packed as qz_compress packs it, checked as
// "qz_info -c" checks an archive, and unpacked as qz_uncompress unpacks it. What comes back must
// be what was packed, name for name and byte for byte, and nothing else.
//
// The input: a count byte (up to 8 files), then for each file a length byte and that many bytes
// of name (up to 140, so that names pass the 128 bytes an index entry holds), two bytes of
// content length (little-endian, up to 4 KiB) and the content. Where the input ends, the rest is
// empty. A '/' in a name separates directories; empty components are dropped. A name the file
// system cannot hold (a NUL, a component "." or "..") or that collides with a file or directory
// made before is left out.
//
// The outcome is decided from the tree before the tools run:
// - a stored name longer than 128 bytes: the packer refuses the tree;
// - a backslash in a name: the tools take it for a separator, so the packer refuses the tree;
// - a name the unpacker refuses on every system (a drive prefix, a component of dots and blanks
//   with two dots or more): the packer writes the archive, qz_info reports the name, and the
//   unpacker refuses the archive before it writes a file;
// - anything else packs, checks sound and unpacks to the same files.
// Any other outcome is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "qz_compress.h"
#include "qz_filefunc.h"
#include "qz_info.h"
#include "qz_platform.h"
#include "qz_uncompress.h"

namespace {

namespace fs = qzfuzz::fs;

constexpr size_t MAX_FILES = 8;
constexpr size_t MAX_NAME = 140;
constexpr size_t MAX_CONTENT = 4096;

struct input {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    size_t byte() { return pos < size ? data[pos++] : 0; }
    std::string bytes(size_t n) {
        n = std::min(n, size - pos);
        std::string s(reinterpret_cast<const char *>(data + pos), n);
        pos += n;
        return s;
    }
};

enum class outcome { unpacked, pack_refused, unpack_refused };

const char *outcome_name(outcome o) {
    switch (o) {
    case outcome::unpacked:
        return "packed, sound, unpacked";
    case outcome::pack_refused:
        return "refused by the packer";
    default:
        return "packed, reported by qz_info, refused by the unpacker";
    }
}

std::string shown(const std::string &name) {
    return shown_text(name.data(), name.size());
}

// The stored names and contents of the files made.
using tree = std::map<std::string, std::string>;

[[noreturn]] void finding(const tree &files, outcome expected, const char *what) {
    fprintf(stderr, "expected: %s; %s\n", outcome_name(expected), what);
    for (const auto &[name, content] : files)
        fprintf(stderr, "  '%s' (%zu bytes)\n", shown(name).c_str(), content.size());
    abort();
}

std::vector<std::string> components(const std::string &name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (end > start)
            parts.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Makes the file below root; returns its stored name, or an empty string when it is left out.
std::string make_file(const fs::path &root, const std::string &name, const std::string &content) {
    if (name.find('\0') != std::string::npos)
        return "";
    const std::vector<std::string> parts = components(name);
    if (parts.empty())
        return "";
    fs::path p = root;
    std::string stored;
    std::error_code ec;
    for (size_t i = 0; i < parts.size(); i++) {
        if (parts[i] == "." || parts[i] == "..")
            return "";
        p /= parts[i];
        stored += (i == 0 ? "" : "/") + parts[i];
        const fs::file_status st = fs::symlink_status(p, ec);
        if (fs::exists(st) && (i + 1 == parts.size() || !fs::is_directory(st)))
            return "";
    }
    fs::create_directories(p.parent_path(), ec);
    if (ec)
        return "";
    qzfuzz::write_file(p, content);
    return stored;
}

// The unpacker's rule for names on every system.
bool unpacker_refuses(const std::string &name) {
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return true;
    for (const std::string &c : components(name)) {
        size_t dots = 0;
        bool only_dots_and_blanks = true;
        for (char ch : c) {
            dots += ch == '.';
            only_dots_and_blanks = only_dots_and_blanks && (ch == '.' || ch == ' ');
        }
        if (only_dots_and_blanks && dots >= 2)
            return true;
    }
    return false;
}

outcome expectation(const tree &files) {
    bool unsafe = false;
    for (const auto &[name, content] : files) {
        if (name.size() > QZ_NAME_LEN || name.find('\\') != std::string::npos)
            return outcome::pack_refused;
        unsafe = unsafe || unpacker_refuses(name);
    }
    return unsafe ? outcome::unpack_refused : outcome::unpacked;
}

bool pack(const char *dir, const char *archive) {
    flist *first = nullptr;
    bool packed = false;
    try {
        first = check_flist(getfilelist(dir, nullptr, nullptr, nullptr));
        first = drop_archive_itself(first, archive);
        createqzarchive(archive, first, nullptr, nullptr, nullptr);
        packed = true;
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    free_flist(first);
    return packed;
}

// The number of broken rules "qz_info -c" reports.
unsigned check(const tree &files, outcome expected, const char *archive) {
    info_reader r = {};
    r.fd = -1;
    try {
        info_chunk top = info_open(&r, archive, QZ_ARCHIVE, QZ_ARCHIVE_NAME);
        read_archive(&r, &top);
    } catch (const qz_die_exit &) {
        finding(files, expected, "qz_info cannot read the archive");
    }
    plat_close(r.fd);
    return r.violations;
}

bool unpack(const fs::path &work, const char *archive) {
    bool unpacked = false;
    try {
        extractqzarchive(archive);
        unpacked = true;
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    fs::current_path(work); // the unpacker enters its output directory
    return unpacked;
}

// Every file of the tree is in dir with its content, and nothing else is.
void compare(const tree &files, outcome expected, const fs::path &dir) {
    size_t found = 0;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(e.path(), dir).generic_string();
        const fs::file_status st = e.symlink_status();
        if (fs::is_directory(st)) {
            const auto below = files.lower_bound(name + "/");
            if (below == files.end() || below->first.compare(0, name.size() + 1, name + "/") != 0)
                finding(files, expected, ("unpacked an extra directory: " + shown(name)).c_str());
            continue;
        }
        const auto it = files.find(name);
        if (!fs::is_regular_file(st) || it == files.end())
            finding(files, expected, ("unpacked an extra file: " + shown(name)).c_str());
        std::ifstream in(e.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (content != it->second)
            finding(files, expected, ("unpacked other bytes for " + shown(name)).c_str());
        found++;
    }
    if (found != files.size())
        finding(files, expected, "files are missing from what was unpacked");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("roundtrip");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path work = qzfuzz::enter_work_dir();
    const fs::path root = work / "d";
    fs::create_directory(root);

    input in{data, size};
    tree files;
    const size_t count = in.byte() % (MAX_FILES + 1);
    for (size_t i = 0; i < count; i++) {
        const std::string name = in.bytes(in.byte() % (MAX_NAME + 1));
        const size_t low = in.byte();
        const size_t length = low | in.byte() << 8;
        const std::string content = in.bytes(length % (MAX_CONTENT + 1));
        const std::string stored = make_file(root, name, content);
        if (!stored.empty())
            files[stored] = content;
    }
    const outcome expected = expectation(files);

    const bool packed = pack("d", "x.qz");
    if (packed != (expected != outcome::pack_refused))
        finding(files, expected, packed ? "the packer wrote the archive" : "the packer refused");
    if (packed) {
        const unsigned violations = check(files, expected, "x.qz");
        if ((violations == 0) != (expected == outcome::unpacked))
            finding(files, expected,
                    violations == 0 ? "qz_info finds the archive sound" : "qz_info reports it");
        const bool unpacked = unpack(work, "x.qz");
        if (unpacked != (expected == outcome::unpacked))
            finding(files, expected,
                    unpacked ? "the unpacker took the archive" : "the unpacker refused");
        if (unpacked)
            compare(files, expected, work / "x");
        else if (fs::exists(work / "x"))
            finding(files, expected, "the unpacker left its folder when it refused");
    }
    qzfuzz::leave_work_dir();
    return 0;
}

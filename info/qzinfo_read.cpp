// The walk shared by every file kind: budgets that never leave the file, the tree lines, the
// reports of broken rules, and the order in which a parent's children must come.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qz_info.h"
#include "qz_platform.h" // seek, tell, fstat

std::string chunk_type_name(uint32_t type) {
    switch (type) {
    case QZ_ARCHIVE:
        return QZ_ARCHIVE_NAME;
    case ARCHIVE_CONTENT:
        return "ARCHIVE_CONTENT";
    case FILE_INDEX_TABLE:
        return "FILE_INDEX_TABLE";
    case INDEX_ENTRY:
        return "INDEX_ENTRY";
    case BASEPATH_ENTRY:
        return "BASEPATH_ENTRY";
    case FULLPATH_ENTRY:
        return "FULLPATH_ENTRY";
    case FILE_STREAM:
        return "FILE_STREAM";
    case ARCHIVE_INFO:
        return "ARCHIVE_INFO";
    case CHUNK_OBJECT:
        return "CHUNK_OBJECT";
    case CHUNK_OBJECTDATA:
        return "CHUNK_OBJECTDATA";
    case CHUNK_VERTICES:
        return "CHUNK_VERTICES";
    case CHUNK_INDICES:
        return "CHUNK_INDICES";
    case CHUNK_MATERIALS:
        return "CHUNK_MATERIALS";
    case CHUNK_MATDEF:
        return "CHUNK_MATDEF";
    case CHUNK_MATDEF_DIFFUSEMAP:
        return "CHUNK_MATDEF_DIFFUSEMAP";
    case CHUNK_MATDEF_NORMALMAP:
        return "CHUNK_MATDEF_NORMALMAP";
    case CHUNK_MATDEF_SPECULARMAP:
        return "CHUNK_MATDEF_SPECULARMAP";
    case CHUNK_PATH:
        return "CHUNK_PATH";
    default:
        char buf[32];
        snprintf(buf, sizeof buf, "UNKNOWN_CHUNK(0x%08x)", type);
        return buf;
    }
}

static std::string vformat(const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

void info_bad(info_reader *r, const info_chunk *c, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string msg = vformat(fmt, ap);
    va_end(ap);
    print(0, "! @ 0x%08x %s: %s\n", c->pos, chunk_type_name(c->type).c_str(), msg.c_str());
    r->violations++;
}

void info_show(const info_reader *r, unsigned level, const char *fmt, ...) {
    if (!r->show)
        return;
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    print(level, "%s", text.c_str());
}

static void show_chunk(const info_reader *r, const info_chunk *c) {
    info_show(r, c->level, "@ 0x%08x %s (%u bytes)\n", c->pos, chunk_type_name(c->type).c_str(),
              c->size);
}

info_chunk info_open(info_reader *r, const char *filename, uint32_t type, const char *typestr) {
    uint32_t size = 0;
    r->fd = qz_openfile(filename, type, typestr, &size);
    r->filename = filename;
    r->violations = 0;
    plat_stat_info st;
    if (plat_fstat(r->fd, &st) != 0)
        die("stat(%s) failed: %s\n", filename, strerror(errno));
    r->length = st.size;
    const uint64_t room = st.size - sizeof(qz_chunk); // qz_openfile saw a whole header
    info_chunk top = {0, type, size, size, 0};
    show_chunk(r, &top);
    if (size > room) {
        info_bad(r, &top, "claims %u bytes, the file holds %llu behind the header", size,
                 static_cast<unsigned long long>(room));
        top.left = static_cast<uint32_t>(room);
    } else if (size < room) {
        info_bad(r, &top, "the file goes on for %llu bytes behind the top chunk",
                 static_cast<unsigned long long>(room - size));
    }
    return top;
}

int info_next_child(info_reader *r, info_chunk *parent, info_chunk *child) {
    if (parent->left == 0)
        return 0;
    if (parent->left < sizeof(qz_chunk)) {
        info_bad(r, parent, "its last %u bytes are too few for a chunk header", parent->left);
        info_skip(r, parent);
        return 0;
    }
    const int64_t pos = plat_tell(r->fd);
    qz_chunk h;
    qz_read(r->fd, &h, sizeof h, &parent->left);
    *child = {static_cast<uint32_t>(pos), h.type, h.size, h.size, parent->level + 1};
    show_chunk(r, child);
    if (h.size > parent->left) {
        info_bad(r, child, "claims %u bytes, %s has %u left", h.size,
                 chunk_type_name(parent->type).c_str(), parent->left);
        child->left = parent->left;
    }
    parent->left -= child->left;
    return 1;
}

int info_read(info_reader *r, info_chunk *c, void *dst, uint32_t len) {
    if (c->left < len)
        return 0;
    qz_read(r->fd, dst, len, &c->left);
    return 1;
}

void info_skip(info_reader *r, info_chunk *c) {
    if (c->left != 0 && plat_seek(r->fd, c->left, SEEK_CUR) < 0)
        die("seek(): %s\n", strerror(errno));
    c->left = 0;
}

static int slot_takes(const child_slot &s, uint32_t type) {
    return type == s.type || (s.alt != 0 && type == s.alt);
}

int order_accept(info_reader *r, const info_chunk *parent, child_order *o,
                 const info_chunk *child) {
    const std::string parent_name = chunk_type_name(parent->type);
    const std::string name = chunk_type_name(child->type);
    size_t s = 0;
    while (s < o->nslots && !slot_takes(o->slots[s], child->type))
        s++;
    if (s == o->nslots) {
        info_bad(r, child, "does not belong in %s", parent_name.c_str());
        return 0;
    }
    if (o->count[s] == o->slots[s].max) {
        info_bad(r, child, "%s holds more than %u of these", parent_name.c_str(), o->slots[s].max);
        return 0;
    }
    if (s < o->at)
        info_bad(r, child, "stands after %s in %s", chunk_type_name(o->last_type).c_str(),
                 parent_name.c_str());
    else
        o->at = s;
    o->count[s]++;
    o->last_type = child->type;
    return 1;
}

void order_finish(info_reader *r, const info_chunk *parent, const child_order *o) {
    for (size_t s = 0; s < o->nslots; s++)
        if (o->count[s] < o->slots[s].min)
            info_bad(r, parent, "holds no %s", o->slots[s].what);
}

std::string field_text(const char *field, size_t len) {
    return std::string(field, strnlen(field, len));
}

std::string shown_text(const char *text, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            s += buf;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s;
}

std::string shown_field(const char *field, size_t len) {
    return shown_text(field, strnlen(field, len));
}

const char *name_fault(const char *field, size_t len, bool names_file) {
    const std::string text = field_text(field, len);
    if (text.find('\n') != std::string::npos)
        return "holds a line feed";
    if (names_file && (text.find_first_of("/\\:") != std::string::npos || text == ".."))
        return "would name a file outside the object's folder";
    return nullptr;
}

void check_name(info_reader *r, const info_chunk *c, const char *what, const char *field,
                size_t len, bool names_file) {
    if (const char *fault = name_fault(field, len, names_file))
        info_bad(r, c, "the %s '%s' %s", what, shown_field(field, len).c_str(), fault);
}

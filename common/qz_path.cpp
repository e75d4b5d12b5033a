// The paths file of a model, and an OBJ drawing of its points for checking them in a viewer.
#include "qz_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qz_filefunc.h"
#include "qz_math.h"
#include "qz_platform.h" // stdio streams

namespace {

// -0 counts as unset, a NaN as set.
bool quat_is_set(const qz_quat &q) {
    return q.x != 0 || q.y != 0 || q.z != 0 || q.w != 0;
}

// The nodes read so far; released if a fatal error leaves the reader early (the fuzzing build
// goes on running after one).
struct path_list_guard {
    path_data_ll *first = nullptr;
    ~path_list_guard() { free_path_list(first); }
};

} // namespace

void free_path_list(path_data_ll *first) {
    while (first != nullptr) {
        path_data_ll *next = first->next;
        free(first);
        first = next;
    }
}

path_data_ll *read_paths_file(const char *filename) {
    if (!file_exists(filename)) {
        print(0, "reading: '%s' skipped, file not found...\n", filename);
        return nullptr;
    }
    parser_guard guard(init_parser(filename));
    parser *ps = guard.ps;
    path_list_guard list;
    path_data_ll *current = nullptr;
    unsigned count = 0;
    for (; ps->line != nullptr; parser_read_line(ps)) {
        const text_statement st = split_statement(ps->line);
        if (st.keyword == "name") {
            // Six bytes of text make 72 in memory and in the object file: the number of points
            // is bounded, not only the length of the file.
            if (count == MAX_PATH_POINTS)
                die("At line %u in '%s' too many path points (at most %u)\n", ps->nline, filename,
                    MAX_PATH_POINTS);
            count++;
            // Zero-filled: no pos is (0, 0, 0) and no rotation the all-zero quaternion.
            auto *node = static_cast<path_data_ll *>(calloc(1, sizeof(path_data_ll)));
            if (node == nullptr)
                die("out of memory\n");
            copy_text_name(node->p.name, trim_name(st.args), sizeof node->p.name);
            (current != nullptr ? current->next : list.first) = node;
            current = node;
            continue;
        }
        const bool pos = st.keyword == "pos", quat = st.keyword == "quat";
        const bool rotation = st.keyword == "rotation";
        if (!pos && !quat && !rotation)
            continue;
        if (current == nullptr)
            die("At line %u in '%s' missing name statement\n", ps->nline, filename);
        qz_path &p = current->p;
        char *s;
        if (pos) {
            p.pos.x = read_float(st.args, &s, ps);
            p.pos.y = read_float(s, &s, ps);
            p.pos.z = read_float(s, &s, ps);
            continue;
        }
        if (quat_is_set(p.quat))
            print(0, "Notice at line %u in '%s' quat already defined\n", ps->nline, filename);
        if (quat) {
            p.quat.x = read_float(st.args, &s, ps);
            p.quat.y = read_float(s, &s, ps);
            p.quat.z = read_float(s, &s, ps);
            p.quat.w = read_float(s, &s, ps);
        } else {
            qz_vec angles;
            angles.x = read_float(st.args, &s, ps) * DEGTORAD;
            angles.y = read_float(s, &s, ps) * DEGTORAD;
            angles.z = read_float(s, &s, ps) * DEGTORAD;
            p.quat = euler_to_quat(angles);
        }
    }
    path_data_ll *first = list.first;
    list.first = nullptr; // the caller's now
    return first;
}

void write_obj_path_file_combined(const char *obj_path_file, int force_overwrite, path_data_ll *pd,
                                  const char *toolname) {
    if (pd == nullptr)
        return;
    print(0, "writing obj path file: %s\n", obj_path_file);
    check_output_target(obj_path_file, force_overwrite);
    // Binary, so the file has the same bytes on every system.
    FILE *f = stage_output_stream(obj_path_file, force_overwrite);
    if (f == nullptr)
        die("fopen(%s): %s\n", obj_path_file, strerror(errno));
    fprintf(f, "# path obj created by %s \nmtllib (None)\no qzPaths\n", toolname);
    // An arrow head in its own XY plane: tip at (-0.5, 0, 0), a notch at the path point itself.
    static const qz_vec marker[4] = {{0.5f, 0.5f, 0}, {0.5f, -0.5f, 0}, {-0.5f, 0, 0}, {0, 0, 0}};
    for (; pd != nullptr; pd = pd->next) {
        const qz_path &p = pd->p;
        fprintf(f, "g %.*s\n", static_cast<int>(sizeof p.name), p.name);
        for (const qz_vec &m : marker) {
            fprintf(f, "# pos %g %g %g\n", p.pos.x, p.pos.y, p.pos.z);
            qz_vec v = vec_add(p.pos, quat_multiply_vec(p.quat, m));
            fprintf(f, "v %g %g %g\n", v.x, v.y, v.z);
        }
        // Relative indices: -1 is the notch, -2 the tip, -3 and -4 the back corners.
        fprintf(f, "f -1 -2 -3\nf -1 -4 -2\n");
    }
    const bool failed = ferror(f) != 0;
    if (fclose(f) != 0 || failed)
        die("write(%s) failed: %s\n", obj_path_file, strerror(errno));
    commit_outputs();
}

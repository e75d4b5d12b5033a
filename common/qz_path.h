// Path points of a model: the paths text file, and an OBJ drawing of the points.
#ifndef QZ_PATH_H
#define QZ_PATH_H

#include "qz.h"

struct path_data_ll {
    qz_path p;
    path_data_ll *next;
};

// Most points one paths file may name: each becomes a record of the object file.
constexpr unsigned MAX_PATH_POINTS = 32768;

// Returns the first node, in file order, or null when the file is missing or names no point.
path_data_ll *read_paths_file(const char *filename);
void free_path_list(path_data_ll *first);
void write_obj_path_file_combined(const char *obj_path_file, int force_overwrite, path_data_ll *pd,
                                  const char *toolname);

#endif

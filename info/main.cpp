// qz_info: shows what an archive, object or material file holds, checks it against the rules of
// its format, and writes an object back out as OBJ, MTL and paths files. It only ever reads the
// file it is given.
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "qz_info.h"
#include "qz_platform.h" // chdir, descriptor I/O

static void usage(const char *name) {
    print(0,
          "Usage: %s <options> <file>\n"
          " -c check the file; exit status 1 when it breaks a rule of its format\n"
          " -x <file.object> <out.obj> write the object as OBJ, MTL and paths files\n"
          " -p <out.obj> write the object's path points as markers\n"
          " -f force overwrite\n"
          " --help this text; --version the version\n",
          name);
}

// The kind of file, told by its top chunk.
static uint32_t top_type(const char *filename) {
    const int fd = plat_open_read(filename);
    if (fd < 0)
        die("open(): %s\n", strerror(errno));
    uint32_t type = 0;
    const size_t n = read_all(fd, &type, sizeof type);
    plat_close(fd);
    if (n != sizeof type || (type != QZ_ARCHIVE && type != CHUNK_OBJECT && type != CHUNK_MATDEF))
        die("%s: not a %s, CHUNK_OBJECT or CHUNK_MATDEF file\n", filename, QZ_ARCHIVE_NAME);
    return type;
}

int main(int argc, char **argv) {
    plat_init(&argc, &argv);
    print(0, "qz_info 12.09.2012 (ul_tam)\n");
    if (argc < 2) {
        usage(argv[0]);
        return -1;
    }
    int check = 0, export_model = 0;
    std::string files[2];
    std::optional<std::string> markers;
    int nfiles = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (standard_option(arg, usage, argv[0]))
            return 0;
        if (arg[0] != '-') {
            if (nfiles == 2) {
                usage(argv[0]);
                return -1;
            }
            files[nfiles++] = typed_path(arg);
            continue;
        }
        switch (arg[1]) {
        case 'c':
            check = 1;
            break;
        case 'x':
            export_model = 1;
            break;
        case 'f':
            force_overwrite = 1;
            break;
        case 'p':
            if (++i >= argc) {
                usage(argv[0]);
                return -1;
            }
            markers = typed_path(argv[i]);
            break;
        default:
            print(0, "Unknown option %s \n", arg);
            usage(argv[0]);
            return -1;
        }
    }
    // The second name is the export's output and nothing else.
    if (nfiles == 0 || (nfiles == 2) != (export_model == 1)) {
        usage(argv[0]);
        return -1;
    }

    // Outputs go beside the file read, as the importer's do.
    std::string workdir;
    const std::string name = enter_directory_of(files[0], &workdir);
    const char *filename = name.c_str();
    print(0, "working dir: %s\n", workdir.c_str());

    const int to_object = export_model || markers.has_value();
    const uint32_t type = to_object ? CHUNK_OBJECT : top_type(filename);
    info_reader r = {};
    r.show = !check && !to_object;
    const std::string typestr = chunk_type_name(type);
    info_chunk top = info_open(&r, filename, type, typestr.c_str());
    info_object object;
    info_material material;
    if (type == QZ_ARCHIVE)
        read_archive(&r, &top);
    else if (type == CHUNK_OBJECT)
        read_object(&r, &top, &object);
    else
        read_material_file(&r, &top, &material);
    plat_close(r.fd);
    if (check && type == CHUNK_OBJECT)
        check_material_files(&r, &object);
    if (r.violations == 0)
        print(0, "'%s' is sound\n", filename);
    else
        print(0, "'%s' is not sound, violations: %u\n", filename, r.violations);

    if (to_object) {
        if (r.violations != 0)
            die("'%s' is not sound: nothing is exported\n", filename);
        if (export_model)
            export_obj(&object, filename, files[1].c_str());
        if (markers.has_value())
            export_path_markers(&object, filename, markers->c_str());
        commit_outputs(); // every file of the run, or none
    }
    return check && r.violations != 0 ? 1 : 0;
}

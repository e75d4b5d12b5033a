// Fuzzing harness of qz_import: the input is an OBJ text, then a NUL byte, then the text of the
// MTL library m.mtl, which the OBJ text names with "mtllib m.mtl". A NUL ends a text for the
// line parser anyway, so no OBJ text is lost by the split. The import runs as the program's
// would in a work directory that holds the two files and a few texture files, up to the object
// and material files written.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "qz_filefunc.h"
#include "qzobj_import.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("import");
    verbose = 1; // the detail lines too
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t obj_len = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    const size_t mtl_start = nul != nullptr ? obj_len + 1 : size;

    const qzfuzz::fs::path work = qzfuzz::enter_work_dir();
    qzfuzz::write_file(work / "m.obj", data, obj_len);
    qzfuzz::write_file(work / "m.mtl", data + mtl_start, size - mtl_start);
    for (const char *texture : {"t.tga", "crate_wood.tga", "crate_metal.tga", "crate_metal_n.tga"})
        qzfuzz::write_file(work / texture, "TGA");
    try {
        import_model("m.obj");
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    reset_import_state();
    qzfuzz::leave_work_dir();
    return 0;
}

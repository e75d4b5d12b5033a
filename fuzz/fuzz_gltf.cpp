// Fuzzing harness of qz_import's glTF reader: the input is the model file, a JSON document or a
// binary glTF, written as m.gltf beside a buffer m.bin (the same bytes) and the image files the
// seeds name. The import runs as the program's would, up to the object, material and image
// files written.
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "qz_filefunc.h"
#include "qzobj_import.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("gltf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const qzfuzz::fs::path work = qzfuzz::enter_work_dir();
    qzfuzz::write_file(work / "m.gltf", data, size);
    qzfuzz::write_file(work / "m.bin", data, size);
    for (const char *image : {"wood.png", "wood normal.png"})
        qzfuzz::write_file(work / image, "PNG");
    try {
        import_model("m.gltf");
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    reset_import_state();
    qzfuzz::leave_work_dir();
    return 0;
}

// Fuzzing harness of qz_uncompress: the input is an archive, walked and extracted into a work
// directory as the program would.
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "qz_filefunc.h"
#include "qz_uncompress.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qzfuzz::init("uncompress");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const qzfuzz::fs::path work = qzfuzz::enter_work_dir();
    qzfuzz::write_file(work / "x.qz", data, size);
    try {
        extractqzarchive("x.qz");
    } catch (const qz_die_exit &) {
        // refused: the message went to standard error, as the program would print it
    }
    qzfuzz::leave_work_dir();
    return 0;
}

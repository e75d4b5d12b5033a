// Writes a chunk file with the installed library and reads it back with the same library.
#include <cstdio>
#include <cstdlib>

#include <qz/qz_filefunc.h>
#include <qz/qz_math.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        print(0, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[1], "wb");
    if (f == nullptr)
        die("cannot create %s\n", argv[1]);
    chunkfilepos_f *top = fwrite_chunk_start(f, CHUNK_OBJECT);
    const qz_vec v = vec_add(qz_vec{1, 2, 3}, qz_vec{0.5f, 0.5f, 0.5f});
    fwrite(&v, sizeof v, 1, f);
    const uint32_t size = fwrite_chunk_end(top);
    fclose(f);

    uint32_t remaining = 0;
    const int fd = qz_openfile(argv[1], CHUNK_OBJECT, "object", &remaining);
    qz_vec back;
    qz_read(fd, &back, sizeof back, &remaining);
    print(1, "chunk of %u bytes holds (%g, %g, %g)\n", size, back.x, back.y, back.z);
    return remaining == 0 && back.x == 1.5f && back.z == 3.5f ? 0 : 1;
}

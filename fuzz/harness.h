// What the fuzzing harnesses share: a scratch directory per process, in which each input runs in
// a fresh work directory that is checked and removed afterwards.
#ifndef QZ_FUZZ_HARNESS_H
#define QZ_FUZZ_HARNESS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace qzfuzz {

namespace fs = std::filesystem;

inline fs::path &root_dir() {
    static fs::path root;
    return root;
}

inline fs::path &start_dir() {
    static fs::path start;
    return start;
}

inline void remove_root() {
    std::error_code ec;
    fs::current_path(start_dir(), ec);
    fs::remove_all(root_dir(), ec);
}

// Makes the scratch directory, once: TMPDIR (or /tmp) / qz_fuzz_<name>_XXXXXX.
inline void init(const char *name) {
    start_dir() = fs::current_path();
    std::string tmpl =
        (fs::temp_directory_path() / (std::string("qz_fuzz_") + name + "_XXXXXX")).string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    root_dir() = tmpl;
    atexit(remove_root);
}

inline void write_file(const fs::path &p, const uint8_t *data, size_t size) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) {
        fprintf(stderr, "cannot write %s\n", p.string().c_str());
        abort();
    }
}

inline void write_file(const fs::path &p, const std::string &text) {
    write_file(p, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// A fresh, empty work directory below the scratch directory, made the current directory.
inline fs::path enter_work_dir() {
    const fs::path work = root_dir() / "w";
    fs::remove_all(work);
    fs::create_directory(work);
    fs::current_path(work);
    return work;
}

// Back to the directory the fuzzer started in, where its corpus paths are relative to. Whatever
// the tool did, it must not have written beside its work directory: anything in the scratch
// directory besides "w" came through a name that escaped.
inline void leave_work_dir() {
    fs::current_path(start_dir());
    for (const auto &e : fs::directory_iterator(root_dir())) {
        if (e.path().filename() != "w") {
            fprintf(stderr, "written outside the work directory: %s\n", e.path().string().c_str());
            abort();
        }
    }
    fs::remove_all(root_dir() / "w");
}

} // namespace qzfuzz

#endif

// Helpers shared by the test programs: scratch directories, whole-file I/O, little-endian byte
// building, and running the real tools as child processes.
#ifndef QZ_TEST_H
#define QZ_TEST_H

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace qzt {

namespace fs = std::filesystem;

// Exit status of a run that ended through the fatal-error path (-1 as the parent sees it).
extern const int DIE_STATUS;

// What the system reports for opening a directory to write it, and for entering the empty path.
extern const int OPEN_DIRECTORY_ERRNO;
extern const int CHDIR_EMPTY_ERRNO;

// A fresh directory that is removed with everything in it when the object goes.
struct temp_dir {
    fs::path path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    fs::path operator/(const std::string &name) const { return path / name; }
};

// A path from UTF-8 text, on every platform (a plain string is taken in the ANSI code page on
// Windows).
fs::path u8path(const std::string &utf8);
// The form of an existing or new path that the system takes at any length: "\\?\" and the
// absolute path on Windows, the path itself elsewhere.
fs::path long_path(const fs::path &p);

// Everything below dir, as paths relative to it with '/' between components, directories with a
// '/' at the end: what a run left behind, temporary files included.
std::set<std::string> listing(const fs::path &dir);

// A symbolic link at the path at that leads to target (a directory or a file); false where the
// system or the user's rights do not allow one (Windows lets only some users make them, Wine
// none).
bool make_link(const fs::path &target, const fs::path &at, bool directory);

// n bytes of a fixed pseudo-random sequence: what deflate cannot shrink.
std::string random_bytes(size_t n, unsigned seed);

std::string read_file(const fs::path &p);
void write_file(const fs::path &p, const std::string &bytes);

// Little-endian byte building.
std::string u32(uint32_t v);
std::string f32(float v);
std::string zeros(size_t n);
// A chunk: type, size of data, data.
std::string chunk(uint32_t type, const std::string &data);
// A fixed field: the text, zero-padded (or cut) to len bytes.
std::string field(const std::string &text, size_t len);

// A regular expression (for death tests) that matches exactly the given text.
std::string exactly(const std::string &text);

struct run_result {
    int status;
    std::string out;
    std::string err;
    uint64_t peak_kib = 0; // the most memory the program held at once (POSIX only)
};

struct run_options {
    uint64_t file_size_limit = 0; // bytes a child may write to one file; 0 for no limit
    // Variables set in the child's environment (POSIX only).
    std::vector<std::pair<std::string, std::string>> environment;
};

// The runs of program, each with its arguments, started all at once (POSIX only).
std::vector<run_result> run_together(const std::string &program,
                                     const std::vector<std::vector<std::string>> &runs,
                                     const fs::path &cwd);

// Options for a run with the faults of tests/support/faults.cpp put in front of the C library
// (POSIX only), set as settings say: {"QZ_KILL_AT_CREATE", "3"}, say.
run_options with_faults(const std::vector<std::pair<std::string, std::string>> &settings);

// The top of the project's sources.
fs::path source_dir();

// The path of one of the project's programs, found beside the test program.
std::string tool(const std::string &name);
// Runs program with args in directory cwd; collects its exit status and both output streams.
// Arguments are UTF-8 and reach a Windows program whole, whatever its ANSI code page.
run_result run(const std::string &program, const std::vector<std::string> &args,
               const fs::path &cwd, const run_options &options = {});

} // namespace qzt

#endif

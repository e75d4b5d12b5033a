// qz_uncompress's module: the run over one archive. The output folder, fresh beside the archive
// or the one -o names, then the index, the selection and the extraction.
#include "qz_unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz.h"          // archive chunk types
#include "qz_filefunc.h" // print, die, guarded output directory
#include "qz_platform.h" // chdir, mkdir, stat

std::string output_to;

// The folder's name for an archive's name without its extension: one the unpacker would take
// inside an archive. Where the system would drop them (Windows), the dots and blanks at its end
// go; a device's name gets a '_' before its first dot ("aux.x" gives "aux_.x"), and so does a
// name of nothing at all.
static std::string folder_name(std::string base) {
    if (archive_name_is_safe(base.c_str()))
        return base;
    while (!base.empty() && (base.back() == '.' || base.back() == ' '))
        base.pop_back();
    if (!base.empty() && archive_name_is_safe(base.c_str()))
        return base;
    const size_t dot = std::min(base.find('.'), base.size());
    return base.substr(0, dot).append(1, '_').append(base, dot, std::string::npos);
}

// A fresh directory beside the archive: its name without the extension, else with ".0" to
// ".99". Making it is the test: a name that is taken, also by another run that made it a moment
// ago, moves on to the next.
static std::string createoutputdirectory(const char *archivename) {
    char *noext = filename_noext(archivename);
    const std::string base = folder_name(noext);
    free(noext);
    std::string candidate = base;
    for (int n = -1; n < 100; n++) {
        candidate = n < 0 ? base : base + "." + std::to_string(n);
        if (plat_mkdir(candidate.c_str()) == 0)
            return candidate;
        if (errno != EEXIST)
            die("can't create directory %s: %s\n", candidate.c_str(), strerror(errno));
    }
    die("Output directory (%s) already exists , max tries reached", candidate.c_str());
}

// The directory of -o, made with the parents it lacks, from the directory the run started in;
// what is made here goes again when the run fails while it holds no file.
static void enter_output_to() {
    if (plat_chdir_back() != 0)
        die("can't return to the working directory: %s\n", strerror(errno));
    std::vector<std::string> made;
    const auto fail = [&made](const std::string &message) {
        for (auto d = made.rbegin(); d != made.rend(); ++d)
            plat_rmdir(d->c_str());
        die("%s", message.c_str());
    };
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = output_to.find_first_of("/\\", pos + 1);
        const std::string part = output_to.substr(0, pos);
        plat_stat_info st;
        if (part.back() == ':')
            continue;
        if (plat_stat(part.c_str(), &st) == 0) {
            if (st.mode != PLAT_S_IFDIR)
                fail(formatted("can't extract into %s: %s is not a directory\n", output_to.c_str(),
                               part.c_str()));
            continue;
        }
        // A step on the way that cannot be made (the server of a share, say) is left to the
        // last one to report.
        if (plat_mkdir(part.c_str()) == 0)
            made.push_back(part);
        else if (pos == std::string::npos)
            fail(formatted("can't create directory %s: %s\n", part.c_str(), strerror(errno)));
    }
    print(0, "%s output directory %s\n", made.empty() ? "Using" : "Created", output_to.c_str());
    std::string full;
    size_t root = 0;
    if (!made.empty() && plat_full_path(made[0].c_str(), &full, &root) == 0)
        guard_output_directory(full.c_str());
    if (plat_chdir(output_to.c_str()) != 0)
        fail(formatted("chdir('%s') failed: %s\n", output_to.c_str(), strerror(errno)));
}

// Nothing in a directory of the user's is ever replaced: every file and directory an entry needs
// is looked at before the first file is written, and the first that stands in the way ends the
// run with the entry's name.
static void check_targets(const std::vector<archive_entry> &entries) {
    for (const archive_entry &e : entries) {
        const std::string &name = e.name;
        std::string what;
        for (size_t pos = name.find('/'); pos != std::string::npos; pos = name.find('/', pos + 1)) {
            const std::string dir = name.substr(0, pos);
            const int kind = plat_target_kind(dir.c_str(), &what);
            if (kind == 2 && what.compare(0, 6, "a link") == 0)
                die("%s", link_in_the_way(name, dir).c_str());
            if (kind != 0 && (kind != 2 || what != "a directory"))
                die("can't create directory %s: file already exists\n", dir.c_str());
        }
        if (plat_target_kind(name.c_str(), &what) != 0)
            die("already exists %s\n", name.c_str());
    }
}

void extractqzarchive(const char *archivename) {
    uint32_t remaining = 0;
    const fd_guard archive{qz_openfile(archivename, QZ_ARCHIVE, QZ_ARCHIVE_NAME, &remaining)};
    const int fd = archive.fd;
    plat_stat_info st;
    if (plat_fstat(fd, &st) != 0)
        die("stat(%s) failed\n", archivename);

    if (output_to.empty()) {
        const std::string outdir = createoutputdirectory(archivename);
        print(0, "Created output directory %s\n", outdir.c_str());
        if (plat_chdir(outdir.c_str()) != 0)
            die("chdir('%s') failed: %s\n", outdir.c_str(), strerror(errno));
        // A run that fails takes its folder with it while the folder holds no file: a refused
        // archive leaves nothing behind.
        guard_output_directory(("..\\" + outdir).c_str());
    } else {
        enter_output_to();
    }

    std::vector<archive_entry> entries;
    read_index(fd, remaining, st.size, entries);
    // Only what is selected is read and inflated, once the whole index is checked.
    select_entries(entries);
    if (!output_to.empty())
        check_targets(entries);

    if (!entries.empty()) {
        print(2, "Decompressing...\n");
        unpack_entries(entries, fd);
    }
    guard_output_directory(""); // the run succeeded: the folder stays
}

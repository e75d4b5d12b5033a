#include "qz_test.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qzt {

#ifdef _WIN32
const int DIE_STATUS = -1;
const int OPEN_DIRECTORY_ERRNO = EACCES;
const int CHDIR_EMPTY_ERRNO = EINVAL;
#else
const int DIE_STATUS = 255;
const int OPEN_DIRECTORY_ERRNO = EISDIR;
const int CHDIR_EMPTY_ERRNO = ENOENT;
#endif

static std::string this_process() {
#ifdef _WIN32
    return std::to_string(GetCurrentProcessId());
#else
    return std::to_string(getpid());
#endif
}

// The process that the test run started in. A death test on Windows runs the test again in a
// child process, which inherits this from the environment.
static std::string run_id() {
    if (const char *id = getenv("QZ_TEST_RUN"))
        return id;
    const std::string id = this_process();
#ifdef _WIN32
    _putenv_s("QZ_TEST_RUN", id.c_str());
#else
    setenv("QZ_TEST_RUN", id.c_str(), 1);
#endif
    return id;
}

#ifdef _WIN32
// The library's directory walk and removal ask the C runtime's stat about every entry, which
// fails on the "\\?\" form that names deeper than 260 characters need: a deep tree would stay.
static void remove_deep(const std::wstring &dir) {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = dir + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                remove_deep(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}
#endif

// Removes a scratch tree, however deep.
static void remove_tree(const fs::path &dir) {
#ifdef _WIN32
    remove_deep(long_path(dir).wstring());
#else
    std::error_code ec;
    fs::remove_all(dir, ec);
#endif
}

// Scratch directories are named after the run, the test and their number within the test, so
// that a death test's child, which repeats the test's steps, works in the same directory and
// reports the same paths as its parent.
temp_dir::temp_dir() {
    static std::string last_test;
    static int count = 0;
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name()
                                       : std::string("global");
    for (char &c : test)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    if (test != last_test) {
        last_test = test;
        count = 0;
    }
    const std::string run = run_id();
    path =
        fs::temp_directory_path() / ("qz_test_" + run + "_" + test + "_" + std::to_string(count++));
    // The child of a death test takes the directory over as it stands: its parent may hold
    // files in it open, and Windows does not remove open files. Anywhere else a directory of the
    // name is a leftover of an earlier run whose process had the same number (Wine hands the
    // numbers out again soon), deep trees included.
    if (run == this_process())
        remove_tree(path);
    fs::create_directories(path);
}

temp_dir::~temp_dir() {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    remove_tree(path);
}

fs::path u8path(const std::string &utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

fs::path long_path(const fs::path &p) {
#ifdef _WIN32
    std::wstring w = fs::absolute(p).wstring();
    for (wchar_t &c : w)
        if (c == L'/')
            c = L'\\';
    return w.rfind(L"\\\\?\\", 0) == 0 ? fs::path(w) : fs::path(L"\\\\?\\" + w);
#else
    return p;
#endif
}

bool make_link(const fs::path &target, const fs::path &at, bool directory) {
#ifdef _WIN32
    const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                        0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    // Wine says it made one and makes nothing: the link must stand afterwards.
    return CreateSymbolicLinkW(at.wstring().c_str(), target.wstring().c_str(), flags) != 0 &&
           GetFileAttributesW(at.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    std::error_code failed;
    if (directory)
        fs::create_directory_symlink(target, at, failed);
    else
        fs::create_symlink(target, at, failed);
    return !failed;
#endif
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(rng());
    return s;
}

std::set<std::string> listing(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        const std::u8string name = e.path().lexically_relative(dir).generic_u8string();
        names.insert(std::string(name.begin(), name.end()) + (e.is_directory() ? "/" : ""));
    }
    return names;
}

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + p.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path &p, const std::string &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

std::string u32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string f32(float v) {
    uint32_t bits;
    memcpy(&bits, &v, 4);
    return u32(bits);
}

std::string zeros(size_t n) {
    return std::string(n, '\0');
}

std::string chunk(uint32_t type, const std::string &data) {
    return u32(type) + u32(static_cast<uint32_t>(data.size())) + data;
}

std::string field(const std::string &text, size_t len) {
    std::string s = text.substr(0, len);
    s.resize(len, '\0');
    return s;
}

std::string exactly(const std::string &text) {
    std::string r = "^";
    for (char c : text) {
        if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
            r += '\\';
        r += c;
    }
    return r + "$";
}

#ifdef _WIN32

static fs::path self_dir() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return fs::path(std::string(buf, n)).parent_path();
}

// Quotes one argument so that the child's runtime splits it back exactly.
static std::string quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, '\\');
    return q + "\"";
}

static std::wstring wide(const std::string &utf8) {
    std::wstring w(utf8.size(), L'\0');
    w.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                                     static_cast<int>(utf8.size()), w.data(),
                                                     static_cast<int>(w.size()))));
    return w;
}

static HANDLE inheritable_file(const fs::path &p) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileW(p.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

run_result run(const std::string &program, const std::vector<std::string> &args,
               const fs::path &cwd, const run_options &) {
    temp_dir capture;
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    std::string cmdline = quote(program);
    for (const std::string &a : args) {
        cmdline += ' ';
        cmdline += quote(a);
    }
    fflush(nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable_file(out_path);
    si.hStdError = inheritable_file(err_path);
    PROCESS_INFORMATION pi = {};
    std::wstring wcmdline = wide(cmdline);
    if (!CreateProcessW(nullptr, wcmdline.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        cwd.wstring().c_str(), &si, &pi))
        throw std::runtime_error("cannot start " + program);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(si.hStdOutput);
    CloseHandle(si.hStdError);
    run_result r;
    r.status = static_cast<int>(code);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

#else

static fs::path self_dir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

// A child running program, its output going to files in capture.
static pid_t start(const std::string &program, const std::vector<std::string> &args,
                   const fs::path &cwd, const run_options &options, const temp_dir &capture) {
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(127);
        for (const auto &[name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (options.file_size_limit != 0) {
            signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG
            struct rlimit rl = {options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

static run_result finish(pid_t pid, const temp_dir &capture) {
    int wstatus = 0;
    struct rusage usage = {};
    while (wait4(pid, &wstatus, 0, &usage) < 0) {
    }
    run_result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.peak_kib = static_cast<uint64_t>(usage.ru_maxrss);
    r.out = read_file(capture / "stdout");
    r.err = read_file(capture / "stderr");
    return r;
}

run_result run(const std::string &program, const std::vector<std::string> &args,
               const fs::path &cwd, const run_options &options) {
    temp_dir capture;
    return finish(start(program, args, cwd, options, capture), capture);
}

std::vector<run_result> run_together(const std::string &program,
                                     const std::vector<std::vector<std::string>> &runs,
                                     const fs::path &cwd) {
    std::vector<temp_dir> captures(runs.size());
    std::vector<pid_t> pids;
    for (size_t i = 0; i < runs.size(); i++)
        pids.push_back(start(program, runs[i], cwd, {}, captures[i]));
    std::vector<run_result> results;
    for (size_t i = 0; i < runs.size(); i++)
        results.push_back(finish(pids[i], captures[i]));
    return results;
}

#endif

fs::path source_dir() {
    return QZ_SOURCE_DIR;
}

std::string tool(const std::string &name) {
#ifdef _WIN32
    return (self_dir() / (name + ".exe")).string();
#else
    return (self_dir() / name).string();
#endif
}

run_options with_faults(const std::vector<std::pair<std::string, std::string>> &settings) {
    run_options o;
    o.environment = {{"LD_PRELOAD", tool("libqz_faults.so")},
                     {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    o.environment.insert(o.environment.end(), settings.begin(), settings.end());
    return o;
}

} // namespace qzt

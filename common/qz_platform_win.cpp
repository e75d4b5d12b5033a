// The Windows half of the platform module: the wide (UTF-16) API with "\\?\" paths, the console,
// the command line as the system holds it.
#include "qz_platform.h"
#include "qz_platform_impl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>
#include <winternl.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// ---- Windows: UTF-8 inside, UTF-16 "\\?\" paths at the system ----

namespace {

// Valid UTF-8 converts as such; anything else is read in the ANSI code page.
std::wstring widen(const char *s, size_t n) {
    if (n == 0)
        return {};
    UINT page = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int len = MultiByteToWideChar(page, flags, s, static_cast<int>(n), nullptr, 0);
    if (len == 0) {
        page = CP_ACP;
        flags = 0;
        len = MultiByteToWideChar(page, flags, s, static_cast<int>(n), nullptr, 0);
    }
    std::wstring w(static_cast<size_t>(len), L'\0');
    MultiByteToWideChar(page, flags, s, static_cast<int>(n), w.data(), len);
    return w;
}

std::string narrow(const wchar_t *w, size_t n) {
    if (n == 0)
        return {};
    const int len =
        WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), s.data(), len, nullptr, nullptr);
    return s;
}

// The C runtime's errno for a system error code, as its own calls set it.
int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_READY:
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
        return EIO;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_CURRENT_DIRECTORY:
        return EACCES;
    default:
        return EINVAL;
    }
}

int failed() {
    errno = errno_of(GetLastError());
    return -1;
}

bool starts_with(const std::wstring &s, const wchar_t *prefix) {
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

bool is_drive(const std::wstring &s) {
    return s.size() >= 2 && s[1] == L':' &&
           ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'));
}

// The length of the root of a path in "\\?\" form: "\\?\C:", "\\?\UNC\server\share", or the
// device in any other form ("\\?\Volume{...}").
size_t root_length(const std::wstring &sys) {
    size_t end = 4;
    if (starts_with(sys, L"\\\\?\\UNC\\")) {
        end = sys.find(L'\\', 8);
        if (end != std::wstring::npos)
            end = sys.find(L'\\', end + 1);
    } else {
        end = sys.find(L'\\', 4);
    }
    return end == std::wstring::npos ? sys.size() : end;
}

// Whether the system takes a component of a path for a device: by the part before the first dot,
// blanks at its end left out, in any case.
bool is_device(const std::wstring &component) {
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    for (wchar_t &c : base)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    for (const wchar_t *device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (base == device)
            return true;
    return base.size() == 4 && (starts_with(base, L"COM") || starts_with(base, L"LPT")) &&
           ((base[3] >= L'1' && base[3] <= L'9') || base[3] == L'\u00b9' || base[3] == L'\u00b2' ||
            base[3] == L'\u00b3');
}

// Appends the components of rel, separated by '\', to base, a path in "\\?\" form without a
// separator at its end, resolving "." and ".." as the system resolves them in the paths it
// takes without that prefix. Nothing else of a name is changed.
std::wstring resolve(std::wstring base, const std::wstring &rel) {
    const size_t root = root_length(base);
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t end = rel.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = rel.size();
        const std::wstring_view part(rel.data() + pos, end - pos);
        if (part == L"..") {
            const size_t cut = base.rfind(L'\\');
            if (cut != std::wstring::npos && cut >= root)
                base.resize(cut);
        } else if (!part.empty() && part != L".") {
            base += L'\\';
            base += part;
        }
        pos = end + 1;
    }
    return base;
}

// The tools' working directory in "\\?\" form without a separator at its end; empty while it is
// the process's own.
std::wstring work_dir;
std::wstring marked_dir; // what plat_chdir_back returns to

std::wstring system_path(const std::wstring &path);

std::wstring current_dir() {
    if (!work_dir.empty())
        return work_dir;
    const DWORD room = GetCurrentDirectoryW(0, nullptr);
    std::wstring w(room, L'\0');
    w.resize(GetCurrentDirectoryW(room, w.data()));
    return system_path(w);
}

// Where path leads, in "\\?\" form. A path already in that form (or in the "\\.\" device form)
// is taken as it stands, as the system takes it.
std::wstring system_path(const std::wstring &path) {
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\"))
        return path;
    std::wstring p = path;
    for (wchar_t &c : p)
        if (c == L'/')
            c = L'\\';
    std::wstring base, rel;
    if (starts_with(p, L"\\\\")) { // \\server\share\rest
        size_t share = p.find(L'\\', 2);
        size_t rest = share == std::wstring::npos ? share : p.find(L'\\', share + 1);
        base = L"\\\\?\\UNC\\" + p.substr(2, rest == std::wstring::npos ? rest : rest - 2);
        rel = rest == std::wstring::npos ? L"" : p.substr(rest + 1);
    } else if (is_drive(p) && p.size() > 2 && p[2] == L'\\') { // C:\rest
        base = L"\\\\?\\" + p.substr(0, 2);
        rel = p.substr(3);
    } else if (is_drive(p)) { // C:rest, relative to that drive's working directory
        const std::wstring cwd = current_dir();
        if (cwd.size() >= 6 && towupper(cwd[4]) == towupper(p[0]) && cwd[5] == L':') {
            base = cwd;
        } else {
            const std::wstring drive = p.substr(0, 2);
            const DWORD room = GetFullPathNameW(drive.c_str(), 0, nullptr, nullptr);
            std::wstring full(room, L'\0');
            full.resize(GetFullPathNameW(drive.c_str(), room, full.data(), nullptr));
            base = full.empty() ? L"\\\\?\\" + drive : system_path(full);
        }
        rel = p.substr(2);
    } else if (!p.empty() && p[0] == L'\\') { // \rest, on the working directory's drive
        base = current_dir();
        base.resize(root_length(base));
        rel = p.substr(1);
    } else {
        base = current_dir();
        rel = p;
    }
    while (base.size() > root_length(base) && base.back() == L'\\')
        base.pop_back();
    std::wstring full = resolve(base, rel);
    if (full.size() == root_length(full))
        full += L'\\'; // the root directory itself, not the volume
    return full;
}

// The "\\?\" form of a UTF-8 path; false with errno set for the empty path, which names nothing.
bool system_path(const char *path, std::wstring *out) {
    if (*path == '\0') {
        errno = ENOENT;
        return false;
    }
    *out = system_path(widen(path, strlen(path)));
    return true;
}

HANDLE open_handle(const char *path, DWORD access, DWORD disposition, DWORD flags) {
    std::wstring p;
    if (!system_path(path, &p))
        return INVALID_HANDLE_VALUE;
    HANDLE h =
        CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        failed();
    return h;
}

// A C runtime descriptor that owns h.
int descriptor(HANDLE h, int flags) {
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

void fill_stat(DWORD attributes, uint64_t size, plat_stat_info *st) {
    st->mode = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PLAT_S_IFDIR : PLAT_S_IFREG;
    st->size = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : size;
    st->dev = 0;
    st->ino = 0;
}

// Status through a handle, which follows links to their target and tells the file's identity.
int stat_by_handle(const std::wstring &p, plat_stat_info *st) {
    // No access rights asked: only the file's status is read, whoever holds it open.
    HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failed();
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
        errno = errno_of(error);
        return -1;
    }
    fill_stat(info.dwFileAttributes, uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow, st);
    st->dev = info.dwVolumeSerialNumber;
    st->ino = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return 0;
}

bool console_out = false, console_err = false;

} // namespace

namespace {
// The files an interrupt removes, in the form the system takes. The console's handler runs on a
// thread of its own: the list is only touched inside the lock, and a listed file is made inside
// it too, so that an interrupt finds it made and listed, or neither.
CRITICAL_SECTION interrupt_lock;
std::vector<std::wstring> interrupt_paths;

bool interrupts_ignored = false;

// The lock is kept to the end of the process: from the moment the files go, no thread makes
// another one.
BOOL WINAPI on_console_interrupt(DWORD event) {
    EnterCriticalSection(&interrupt_lock);
    if (interrupts_ignored) {
        LeaveCriticalSection(&interrupt_lock);
        return TRUE;
    }
    for (const std::wstring &p : interrupt_paths)
        DeleteFileW(p.c_str());
    interrupt_paths.clear();
    // Ctrl+C and Ctrl+Break end the run with the status Windows gives them, which not every
    // runtime's own handler does; for the others the process ends as it would have.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return FALSE;
}

void init_interrupts() {
    static bool ready = false;
    if (!ready) {
        InitializeCriticalSection(&interrupt_lock);
        ready = true;
    }
}
} // namespace

int plat_open_read(const char *path) {
    return descriptor(open_handle(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN),
                      _O_RDONLY);
}

int plat_open_write(const char *path) {
    return descriptor(open_handle(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
                      _O_WRONLY);
}

int plat_open_new(const char *path) {
    return descriptor(open_handle(path, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL),
                      _O_WRONLY);
}

FILE *plat_fdopen(int fd, const char *mode) {
    return _fdopen(fd, mode);
}

int plat_open_temp(const char *target, char *name, size_t room) {
    plat_stat_info st;
    if (plat_stat(target, &st) == 0 && st.mode == PLAT_S_IFDIR) {
        errno = EACCES; // as CreateFile refuses a directory
        return -1;
    }
    return with_fresh_name(target, "\\/:", name, room, [](const char *temp) {
        std::wstring listed;
        if (!system_path(temp, &listed))
            return -1;
        // Made and listed for an interrupt together, or neither.
        init_interrupts();
        EnterCriticalSection(&interrupt_lock);
        const HANDLE h = open_handle(temp, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
        if (h != INVALID_HANDLE_VALUE)
            interrupt_paths.push_back(listed);
        LeaveCriticalSection(&interrupt_lock);
        return h != INVALID_HANDLE_VALUE ? descriptor(h, _O_WRONLY) : -1;
    });
}

int plat_sync_files(const char *const *paths, size_t n, size_t *failed) {
    for (size_t i = 0; i < n; i++) {
        *failed = i;
        const HANDLE h = open_handle(paths[i], GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        if (h == INVALID_HANDLE_VALUE)
            return -1;
        const BOOL ok = FlushFileBuffers(h);
        const DWORD error = GetLastError();
        CloseHandle(h);
        if (!ok) {
            errno = errno_of(error);
            return -1;
        }
    }
    return 0;
}

int plat_rename_replace(const char *from, const char *to) {
    std::wstring f, t;
    if (!system_path(from, &f) || !system_path(to, &t))
        return -1;
    SetFileAttributesW(f.c_str(), FILE_ATTRIBUTE_NORMAL);
    return MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : failed();
}

int plat_rename_new(const char *from, const char *to) {
    std::wstring f, t;
    if (!system_path(from, &f) || !system_path(to, &t))
        return -1;
    SetFileAttributesW(f.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExW(f.c_str(), t.c_str(), 0))
        return 0;
    const DWORD error = GetLastError();
    SetFileAttributesW(f.c_str(), FILE_ATTRIBUTE_HIDDEN);
    errno = errno_of(error);
    return -1;
}

// The file itself moves aside here, not a second name of it: a file that another program holds
// open without leave to delete it (a running engine or viewer) then fails at once, before any
// target has changed, where a second name would stay behind once the rename over it failed.
int plat_set_aside(const char *target, char *name, size_t room) {
    std::wstring from;
    if (!system_path(target, &from))
        return -1;
    return with_fresh_name(target, "\\/:", name, room, [&from](const char *aside) {
        std::wstring to;
        if (!system_path(aside, &to))
            return -1;
        return MoveFileExW(from.c_str(), to.c_str(), 0) ? 1 : failed();
    });
}

int plat_target_kind(const char *path, std::string *what) {
    std::wstring p;
    if (!system_path(path, &p))
        return 0;
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        plat_stat_info st;
        if (stat_by_handle(p, &st) != 0)
            *what = "a link that leads nowhere";
        else if (st.mode == PLAT_S_IFREG)
            return 1;
        else
            *what = "a link to a directory";
        return 2;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *what = "a directory";
        return 2;
    }
    return 1;
}

int plat_remove(const char *path) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    return DeleteFileW(p.c_str()) ? 0 : failed();
}

int plat_rmdir(const char *path) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    return RemoveDirectoryW(p.c_str()) ? 0 : failed();
}

// Names below a held directory are opened relative to its handle (NtCreateFile's root
// directory), and a reparse point is opened as itself, never followed to where it leads.
struct plat_held_dir {
    HANDLE h;
};

namespace {
constexpr ACCESS_MASK HELD_DIR_ACCESS =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// ntdll is in every process: its calls are taken from it as it stands, so that the programs keep
// importing nothing but kernel32 and the C runtime.
template <typename F> F ntdll_call(const char *name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

HANDLE open_below(HANDLE root, const char *name, ACCESS_MASK access, ULONG disposition,
                  ULONG options) {
    std::wstring w = widen(name, strlen(name));
    UNICODE_STRING us;
    us.Buffer = w.data();
    us.Length = us.MaximumLength = static_cast<USHORT>(w.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = INVALID_HANDLE_VALUE;
    static const auto create = ntdll_call<decltype(&NtCreateFile)>("NtCreateFile");
    static const auto status_error =
        ntdll_call<decltype(&RtlNtStatusToDosError)>("RtlNtStatusToDosError");
    const NTSTATUS status =
        create(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
               options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status < 0) {
        errno = errno_of(status_error(status));
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool is_reparse_point(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Why name below root could not be opened as it was asked: a reparse point there gives ELOOP.
void refusal(HANDLE root, const char *name) {
    const int error = errno;
    HANDLE h = open_below(root, name, FILE_READ_ATTRIBUTES, FILE_OPEN, 0);
    errno = h != INVALID_HANDLE_VALUE && is_reparse_point(h) ? ELOOP : error;
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}
} // namespace

plat_held_dir *plat_hold_dir(const char *path) {
    std::wstring p;
    if (!system_path(path, &p))
        return nullptr;
    HANDLE h = CreateFileW(p.c_str(), HELD_DIR_ACCESS,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failed();
        return nullptr;
    }
    return new plat_held_dir{h};
}

plat_held_dir *plat_hold_subdir(plat_held_dir *dir, const char *name) {
    HANDLE h = open_below(dir->h, name, HELD_DIR_ACCESS, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    if (h != INVALID_HANDLE_VALUE && is_reparse_point(h)) {
        CloseHandle(h);
        errno = ELOOP;
        return nullptr;
    }
    if (h == INVALID_HANDLE_VALUE) {
        refusal(dir->h, name);
        return nullptr;
    }
    return new plat_held_dir{h};
}

int plat_open_new_in(plat_held_dir *dir, const char *name) {
    HANDLE h = open_below(dir->h, name, FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    if (h == INVALID_HANDLE_VALUE) {
        refusal(dir->h, name);
        return -1;
    }
    return descriptor(h, _O_WRONLY);
}

void plat_release_dir(plat_held_dir *dir) {
    if (dir != nullptr)
        CloseHandle(dir->h);
    delete dir;
}

void plat_remove_on_interrupt(const char *path) {
    init_interrupts();
    std::wstring p;
    if (!system_path(path, &p))
        return;
    EnterCriticalSection(&interrupt_lock);
    interrupt_paths.push_back(p);
    LeaveCriticalSection(&interrupt_lock);
}

void plat_keep_on_interrupt() {
    init_interrupts();
    EnterCriticalSection(&interrupt_lock);
    interrupt_paths.clear();
    LeaveCriticalSection(&interrupt_lock);
}

void plat_keep_one_on_interrupt(const char *path) {
    init_interrupts();
    std::wstring p;
    if (!system_path(path, &p))
        return;
    EnterCriticalSection(&interrupt_lock);
    const auto at = std::find(interrupt_paths.begin(), interrupt_paths.end(), p);
    if (at != interrupt_paths.end())
        interrupt_paths.erase(at);
    LeaveCriticalSection(&interrupt_lock);
}

void plat_ignore_interrupts() {
    init_interrupts();
    EnterCriticalSection(&interrupt_lock);
    interrupts_ignored = true;
    LeaveCriticalSection(&interrupt_lock);
}

void plat_hold_interrupts(bool hold) {
    init_interrupts();
    if (hold)
        EnterCriticalSection(&interrupt_lock);
    else
        LeaveCriticalSection(&interrupt_lock);
}

unsigned plat_cpu_count() {
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned n = 0;
        for (; process != 0; process &= process - 1)
            n++;
        return n;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

std::string plat_name_key(const char *name) {
    const std::wstring w = widen(name, strlen(name));
    if (w.empty())
        return {};
    std::wstring upper(w.size(), L'\0');
    const int n =
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.data(), static_cast<int>(w.size()),
                      upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return n > 0 ? narrow(upper.data(), static_cast<size_t>(n)) : narrow(w.data(), w.size());
}

FILE *plat_fopen(const char *path, const char *mode) {
    const bool update = strchr(mode, '+') != nullptr;
    const bool write = mode[0] == 'w';
    const DWORD access = update  ? GENERIC_READ | GENERIC_WRITE
                         : write ? GENERIC_WRITE
                                 : GENERIC_READ;
    const int fd = descriptor(
        open_handle(path, access, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL),
        update  ? _O_RDWR
        : write ? _O_WRONLY
                : _O_RDONLY);
    if (fd < 0)
        return nullptr;
    FILE *f = _fdopen(fd, mode);
    if (f == nullptr) {
        const int error = errno;
        _close(fd);
        errno = error;
    }
    return f;
}

int plat_stat(const char *path, plat_stat_info *st) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data))
        return failed();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return stat_by_handle(p, st); // a link: what it leads to
    fill_stat(data.dwFileAttributes, uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow, st);
    return 0;
}

int plat_stat_id(const char *path, plat_stat_info *st) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    return stat_by_handle(p, st);
}

int plat_mkdir(const char *path) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    return CreateDirectoryW(p.c_str(), nullptr) ? 0 : failed();
}

int plat_mark_dir() {
    marked_dir = work_dir;
    return 0;
}

int plat_chdir_back() {
    work_dir = marked_dir;
    return 0;
}

int plat_full_path(const char *path, std::string *full, size_t *root) {
    std::wstring p;
    if (!system_path(path, &p))
        return -1;
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failed();
    size_t r = root_length(p) + 1; // the separator after the root
    if (p.size() < r)
        p += L'\\';
    // The form users type: "C:\..." and "\\server\share\...".
    const bool share = starts_with(p, L"\\\\?\\UNC\\");
    const size_t cut = share ? 6 : 4;
    p.erase(share ? 2 : 0, cut);
    r -= cut;
    *full = narrow(p.data(), p.size());
    *root = narrow(p.data(), r).size();
    return 0;
}

bool plat_typed_path(const char *typed, std::string *path) {
    *path = typed;
    if (path->rfind("\\\\?\\", 0) == 0 || path->rfind("\\\\.\\", 0) == 0)
        return true;
    std::string out;
    size_t pos = 0;
    while (pos <= path->size()) {
        size_t end = path->find_first_of("\\/", pos);
        if (end == std::string::npos)
            end = path->size();
        std::string part = path->substr(pos, end - pos);
        if (part != "." && part != "..")
            while (!part.empty() && (part.back() == '.' || part.back() == ' '))
                part.pop_back();
        // A drive's letter and colon are no part of the name.
        const std::string name =
            pos == 0 && part.size() >= 2 && part[1] == ':' ? part.substr(2) : part;
        if (is_device(widen(name.data(), name.size())))
            return false;
        out += part;
        if (end < path->size())
            out += (*path)[end];
        pos = end + 1;
    }
    *path = out;
    return true;
}

int plat_chdir(const char *path) {
    if (*path == '\0') {
        errno = EINVAL;
        return -1;
    }
    std::wstring w = widen(path, strlen(path));
    if (is_drive(w) && w.size() == 2)
        w += L'\\';
    const std::wstring p = system_path(w);
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failed();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        errno = ENOTDIR;
        return -1;
    }
    work_dir = p;
    while (work_dir.size() > root_length(work_dir) && work_dir.back() == L'\\')
        work_dir.pop_back();
    return 0;
}

struct plat_dir {
    HANDLE find;
    WIN32_FIND_DATAW data;
    bool pending; // data holds an entry not handed out yet
    std::string name;
    uint32_t mode;
};

plat_dir *plat_opendir(const char *path) {
    std::wstring p;
    if (!system_path(path, &p))
        return nullptr;
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        failed();
        return nullptr;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        errno = ENOTDIR;
        return nullptr;
    }
    if (p.back() != L'\\')
        p += L'\\';
    p += L'*';
    auto *d = new plat_dir{};
    d->find = FindFirstFileExW(p.c_str(), FindExInfoBasic, &d->data, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH);
    d->pending = d->find != INVALID_HANDLE_VALUE;
    if (!d->pending && GetLastError() != ERROR_FILE_NOT_FOUND) { // not found: a root with nothing
        failed();
        delete d;
        return nullptr;
    }
    return d;
}

const char *plat_readdir(plat_dir *d) {
    d->mode = 0;
    errno = 0;
    if (!d->pending) {
        if (d->find == INVALID_HANDLE_VALUE)
            return nullptr;
        if (!FindNextFileW(d->find, &d->data)) {
            if (GetLastError() != ERROR_NO_MORE_FILES)
                failed();
            return nullptr;
        }
    }
    d->pending = false;
    d->name = narrow(d->data.cFileName, wcslen(d->data.cFileName));
    constexpr DWORD not_plain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if ((d->data.dwFileAttributes & not_plain) == 0)
        d->mode = PLAT_S_IFREG;
    return d->name.c_str();
}

void plat_closedir(plat_dir *d) {
    if (d->find != INVALID_HANDLE_VALUE)
        FindClose(d->find);
    delete d;
}

// The runtime's own entry, which splits the wide command line by the same rules as the narrow.
struct startup_info {
    int newmode;
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int glob,
                              startup_info *info);

void plat_init(int *argc, char ***argv) {
    init_interrupts();
    SetConsoleCtrlHandler(on_console_interrupt, TRUE);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    DWORD mode;
    console_out = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    console_err = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;

    int wargc = 0;
    wchar_t **wargv = nullptr, **wenv = nullptr;
    startup_info info = {0};
    if (__wgetmainargs(&wargc, &wargv, &wenv, 0, &info) != 0 || wargv == nullptr)
        return; // the runtime's narrow arguments stay
    static std::vector<std::string> args;
    static std::vector<char *> pointers;
    for (int i = 0; i < wargc; i++) {
        args.push_back(narrow(wargv[i], wcslen(wargv[i])));
        // By the system's rules a quoted argument's closing quote after a backslash is taken as
        // a quote ("my mods\the mod\" arrives as 'my mods\the mod"'); no name holds one.
        if (i > 0 && args.back().size() > 1 && args.back().back() == '"')
            args.back().pop_back();
    }
    for (std::string &a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    *argc = wargc;
    *argv = pointers.data();
}

bool plat_is_terminal(FILE *stream) {
    return stream == stdout ? console_out : stream == stderr && console_err;
}

int plat_vfprintf(FILE *stream, const char *fmt, va_list ap) {
    if (!plat_is_terminal(stream))
        return vfprintf(stream, fmt, ap);
    va_list again;
    va_copy(again, ap);
    char small[1024];
    const int n = vsnprintf(small, sizeof small, fmt, ap);
    std::string text;
    if (n >= static_cast<int>(sizeof small)) {
        text.resize(static_cast<size_t>(n));
        vsnprintf(text.data(), text.size() + 1, fmt, again);
    } else if (n > 0) {
        text.assign(small, static_cast<size_t>(n));
    }
    va_end(again);
    fflush(stream); // what the stream holds goes first
    const std::wstring w = widen(text.data(), text.size());
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), w.data(),
                  static_cast<DWORD>(w.size()), &written, nullptr);
    return n;
}

std::string plat_stored_name(const char *bytes, size_t n) {
    const std::wstring w = widen(bytes, n);
    return narrow(w.data(), w.size());
}

bool plat_name_allowed(const char *component) {
    const std::wstring w = widen(component, strlen(component));
    for (wchar_t c : w)
        if (c < 32 || wcschr(L"<>:\"|?*", c) != nullptr)
            return false;
    // "." is the directory itself, as everywhere.
    if (!w.empty() && w != L"." && (w.back() == L'.' || w.back() == L' '))
        return false;
    return !is_device(w);
}

uint32_t plat_readdir_mode(const plat_dir *d) {
    return d->mode;
}

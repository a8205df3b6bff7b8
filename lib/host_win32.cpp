// The system calls of the host units on Windows: the table `host` of
// host.h, filled with this system's calls. Built on Windows only.
//
// Names are UTF-8 in the program and reach the system through its wide
// calls, so that a file's name on disk is the name typed whatever the code
// pages; a path of 260 characters or more takes the \\?\ form.
//
// Sections:
//   1. errors               a Windows error as an error number
//   2. files a run reads    open_read, file_size, read_at, write_at
//   3. the mapped model     map, unmap, map_was_cut
//   4. scratch files        temp_folder, make_scratch (deleted on close)
//   5. results              resolve, entry_at, may_replace, open_write,
//                           link (none), rename, replace (ReplaceFile, which
//                           keeps the earlier file's attributes and access
//                           rules), remove, lock (a named mutex), flush, close,
//                           sync (FlushFileBuffers), list, the run's mark (a
//                           file open unshared)
//   6. ending signals       the console events, a lock on the registry
//   7. console              binary output, lines read and text written as
//                           Unicode at a console, the code pages, the key wait
//   8. room                 the machine's memory, the job object's limits
//   9. the table
#include "files.h"
#include "host.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <thread>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

const char host_separators[] = "\\/";
const char path_separator[] = "\\";

namespace {

// ----------------------------------------------------------------- 1. errors

int error_number(DWORD e)
{
    switch (e) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    default:
        return EACCES;
    }
}

// ---------------------------------------------------------------- wide names

// The characters of text in code page cp (UTF-8 unless named).
std::wstring wide(const std::string &text, UINT cp = CP_UTF8)
{
    const int n = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
    return w;
}

// The bytes of the characters w in code page cp (UTF-8 unless named).
std::string narrow(const std::wstring &w, UINT cp = CP_UTF8)
{
    const int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// The wide name of a path; from 260 characters on, its full form behind
// \\?\ (\\?\UNC\ for a share), which the calls take at any length.
std::wstring wide_path(const std::string &utf8)
{
    const std::wstring w = wide(utf8);
    if (w.size() < MAX_PATH || w.starts_with(L"\\\\?\\"))
        return w;
    const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    const DWORD got = n == 0 ? 0 : GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n)
        return w;
    full.resize(got);
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Whether a name of the path is beyond the 255 characters of the file
// systems, or the path beyond the 32767 of the wide calls: the system would
// call such a name invalid, as if it found no such file.
bool too_long(const std::wstring &path)
{
    size_t name = 0;
    for (const wchar_t c : path) {
        name = c == L'\\' || c == L'/' ? 0 : name + 1;
        if (name > 255)
            return true;
    }
    return path.size() >= 32767;
}

// ------------------------------------------------------- 2. files a run reads

HANDLE handle_of(FILE *f)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

OVERLAPPED at_offset(int64_t offset)
{
    OVERLAPPED o = {};
    o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return o;
}

// A stream over the handle h (flags: _O_RDONLY or _O_RDWR), or null with the
// handle closed: once a descriptor was made, it owns the handle.
FILE *stream_of_handle(HANDLE h, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    FILE *f = fd < 0 ? nullptr : _fdopen(fd, mode);
    if (f == nullptr) {
        if (fd < 0)
            CloseHandle(h);
        else
            _close(fd);
    }
    return f;
}

int win_open_read(const std::string &path, FILE *&f, bool &regular)
{
    f = nullptr;
    regular = false;
    const std::wstring name = wide_path(path);
    if (too_long(name))
        return ENAMETOOLONG;
    const DWORD a = GetFileAttributesW(name.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        const int e = error_number(GetLastError());
        return e == ENAMETOOLONG || e == ENOENT ? e : EACCES;
    }
    if ((a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return 0;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return error_number(GetLastError()) == ENAMETOOLONG ? ENAMETOOLONG : EACCES;
    if ((f = stream_of_handle(h, _O_RDONLY, "rb")) == nullptr)
        return EMFILE;
    regular = true;
    return 0;
}

int64_t win_file_size(FILE *f)
{
    LARGE_INTEGER size;
    if (GetFileType(handle_of(f)) != FILE_TYPE_DISK || !GetFileSizeEx(handle_of(f), &size))
        return -1;
    return size.QuadPart;
}

int win_read_at(FILE *f, void *buf, size_t bytes, int64_t offset, size_t &done)
{
    OVERLAPPED o = at_offset(offset);
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
    const bool ok = ReadFile(handle_of(f), buf, ask, &got, &o) != 0;
    done = ok ? got : 0;
    // The end of the file is a failed read there.
    return ok || GetLastError() == ERROR_HANDLE_EOF ? 0 : EIO;
}

int win_write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, size_t &done)
{
    OVERLAPPED o = at_offset(offset);
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
    done = 0;
    if (!WriteFile(handle_of(f), buf, ask, &put, &o) || put == 0)
        return GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
    done = put;
    return 0;
}

// --------------------------------------------------------- 3. the mapped model

const char *win_map(FILE *f, size_t &size)
{
    // A view one byte longer than the file would grow it: the file is
    // mapped as it is, and the zero after it is the rest of its last page,
    // which the system fills with zeros. A file that ends on a page
    // boundary has none, and is read in blocks instead.
    const int64_t bytes = win_file_size(f);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    if (bytes <= 0 || bytes % si.dwPageSize == 0 || static_cast<uint64_t>(bytes) > SIZE_MAX / 2)
        return nullptr;
    HANDLE m = CreateFileMappingW(handle_of(f), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (m == nullptr)
        return nullptr;
    void *view = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(m); // the view keeps the mapping
    if (view == nullptr)
        return nullptr;
    size = static_cast<size_t>(bytes);
    return static_cast<const char *>(view);
}

void win_unmap(const char *text, size_t)
{
    UnmapViewOfFile(text);
}

bool win_map_was_cut()
{
    return false; // Windows refuses to cut a file that is mapped
}

// ----------------------------------------------------------- 4. scratch files

// The temporary folder, as the system names it; empty when it names none.
bool temp_path(std::wstring &folder)
{
    wchar_t temp_dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp_dir);
    if (n == 0 || n > MAX_PATH)
        return false;
    folder = temp_dir;
    return true;
}

std::string win_temp_folder()
{
    std::wstring folder;
    return temp_path(folder) ? narrow(folder) : "";
}

int win_make_scratch(const std::string &folder, bool temp, FILE *&f)
{
    // Deleted by the system when it is closed, or when the program ends.
    const std::string dir = temp ? win_temp_folder() : folder.empty() ? ".\\" : folder;
    if (dir.empty())
        return ENOENT;
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; attempt++) {
        const unsigned long long tag = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                                       GetTickCount64() ^ (static_cast<unsigned long long>(serial++) << 20);
        char leaf[64];
        std::snprintf(leaf, sizeof leaf, ".quarvelin-%llx.tmp", tag);
        const std::wstring path = wide_path(dir + leaf);
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return EACCES;
        }
        return (f = stream_of_handle(h, _O_RDWR, "w+b")) == nullptr ? EMFILE : 0;
    }
    return EEXIST;
}

// ----------------------------------------------------------------- 5. results

std::string path_of(const std::string &folder, const char *leaf)
{
    return folder + leaf;
}

int win_resolve(const std::string &path, std::string &target)
{
    target = path; // programs make no symbolic links here
    return too_long(wide_path(path)) ? ENAMETOOLONG : 0;
}

int win_open_folder(const std::string &, int &dir)
{
    dir = -1; // reached by its path
    return 0;
}

void win_close_folders()
{}

int win_entry_at(int, const std::string &folder, const char *leaf, HostEntry &e)
{
    const DWORD a = GetFileAttributesW(wide_path(path_of(folder, leaf)).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND ? 0 : error_number(err);
    }
    e.exists = true;
    e.directory = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.regular = !e.directory && (a & FILE_ATTRIBUTE_DEVICE) == 0;
    e.writable = (a & FILE_ATTRIBUTE_READONLY) == 0;
    e.mine = true;
    return 0;
}

int win_may_replace(int dir, const std::string &folder, const char *leaf, bool &exists)
{
    HostEntry e{};
    const int bad = win_entry_at(dir, folder, leaf, e);
    exists = e.exists;
    if (bad != 0)
        return bad;
    return e.directory ? EISDIR : e.exists && !e.writable ? EACCES : 0;
}

int win_open_write(int, const std::string &folder, const char *leaf, HostOpen how, int &fd)
{
    // A new file is a temporary: hidden until the commit names it.
    HANDLE h = CreateFileW(wide_path(path_of(folder, leaf)).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, how == host_open_new ? CREATE_NEW : OPEN_EXISTING,
                           how == host_open_new ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return error_number(GetLastError());
    fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return EMFILE;
    }
    return 0;
}

FILE *win_stream(int fd, const char *mode)
{
    return _fdopen(fd, mode);
}

int win_close_fd(int fd)
{
    return _close(fd) == 0 ? 0 : errno;
}

void win_keep_attributes(int, const std::string &, const char *, int)
{
    // ReplaceFile keeps them at the commit.
}

int win_truncate(FILE *f)
{
    return _chsize_s(_fileno(f), 0);
}

int win_flush(FILE *f)
{
    errno = 0;
    return std::fflush(f) == 0 ? 0 : errno != 0 ? errno : EIO;
}

int win_close(FILE *f)
{
    errno = 0;
    return std::fclose(f) == 0 ? 0 : errno != 0 ? errno : EIO;
}

int win_link(int, const std::string &, const char *, const char *)
{
    return ENOSYS; // the earlier file is kept by ReplaceFile instead
}

// A hidden temporary (".NAME") that takes a name of its own is shown.
void show_if_named(const std::wstring &from, const char *leaf, const char *to)
{
    const DWORD a = GetFileAttributesW(from.c_str());
    if (leaf[0] == '.' && to[0] != '.' && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_HIDDEN) != 0)
        SetFileAttributesW(from.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

int win_rename(int, const std::string &folder, const char *from, const char *to)
{
    const std::wstring source = wide_path(path_of(folder, from));
    show_if_named(source, from, to);
    return MoveFileExW(source.c_str(), wide_path(path_of(folder, to)).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? 0
               : error_number(GetLastError());
}

int win_replace(int, const std::string &folder, const char *from, const char *target, const char *backup,
                bool &backed_up)
{
    const std::wstring backup_path = wide_path(path_of(folder, backup));
    const std::wstring source = wide_path(path_of(folder, from));
    show_if_named(source, from, target);
    const bool ok = ReplaceFileW(wide_path(path_of(folder, target)).c_str(), source.c_str(), backup_path.c_str(),
                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    const DWORD e = GetLastError();
    const DWORD kept = GetFileAttributesW(backup_path.c_str());
    backed_up = ok || kept != INVALID_FILE_ATTRIBUTES;
    if (kept != INVALID_FILE_ATTRIBUTES) // the backup is hidden, as the temporaries are
        SetFileAttributesW(backup_path.c_str(), kept | FILE_ATTRIBUTE_HIDDEN);
    return ok ? 0 : error_number(e);
}

int win_remove(int, const std::string &folder, const char *leaf)
{
    return DeleteFileW(wide_path(path_of(folder, leaf)).c_str()) != 0 ? 0 : error_number(GetLastError());
}

void win_lock(const std::vector<HostFolder> &set, bool lock)
{
    // Runs that commit into the same folders take turns: a named lock of
    // the system, so that no lock file is left behind.
    static std::vector<HANDLE> held;
    if (!lock) {
        for (HANDLE h : held) {
            ReleaseMutex(h);
            CloseHandle(h);
        }
        held.clear();
        return;
    }
    std::vector<std::wstring> names;
    for (const HostFolder &folder : set) {
        const std::wstring path = wide_path(folder.path.empty() ? "." : folder.path);
        const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        std::wstring full(n, L'\0');
        full.resize(n == 0 ? 0 : GetFullPathNameW(path.c_str(), n, full.data(), nullptr));
        // The folder's full name in lower case; a long one is cut and ends
        // in a hash of the whole, within the limit of a mutex's name.
        std::wstring name = L"Local\\quarvelin-commit-";
        uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (wchar_t c : full) {
            const wchar_t lower = static_cast<wchar_t>(std::towlower(c));
            hash = (hash ^ static_cast<uint64_t>(lower)) * 1099511628211ull;
            name += c == L'\\' || c == L'/' || c == L':' ? L'_' : lower;
        }
        if (name.size() > MAX_PATH - 1) {
            wchar_t tail[24];
            swprintf(tail, 24, L"-%016llx", static_cast<unsigned long long>(hash));
            name = name.substr(0, MAX_PATH - 1 - std::wcslen(tail)) + tail;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const std::wstring &name : names) {
        HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
        if (h != nullptr && WaitForSingleObject(h, INFINITE) != WAIT_FAILED)
            held.push_back(h);
        else if (h != nullptr)
            CloseHandle(h);
    }
}

int win_sync(FILE *f)
{
    return FlushFileBuffers(handle_of(f)) != 0 ? 0 : error_number(GetLastError());
}

int64_t win_write_back(FILE *, int64_t from)
{
    return from; // the system starts writing by itself; FlushFileBuffers waits for the rest
}

int win_sync_folder(int, const std::string &)
{
    return 0; // each rename is written through (MOVEFILE_WRITE_THROUGH)
}

int win_list(int, const std::string &folder, std::vector<std::string> &names)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(path_of(folder, "*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return error_number(GetLastError());
    do
        names.emplace_back(found.cFileName);
    while (FindNextFileA(h, &found) != 0);
    FindClose(h);
    return 0;
}

// The mark is a file open unshared: no other open succeeds while the run
// lives, and the system closes it when the process ends.
int win_make_mark(int, const std::string &folder, const char *leaf, intptr_t &mark)
{
    HANDLE h = CreateFileA(path_of(folder, leaf).c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return error_number(GetLastError());
    mark = reinterpret_cast<intptr_t>(h);
    return 0;
}

void win_close_mark(intptr_t mark)
{
    CloseHandle(reinterpret_cast<HANDLE>(mark));
}

bool win_mark_held(int, const std::string &folder, const char *leaf)
{
    HANDLE h = CreateFileA(path_of(folder, leaf).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_FILE_NOT_FOUND;
    CloseHandle(h);
    return false;
}

// ---------------------------------------------------------- 6. ending signals
//
// A console event (Ctrl-C, Ctrl-Break, the window closed, the session
// ended) is handled on a thread of its own: the registry is guarded by a
// lock that the handler takes too.

CRITICAL_SECTION registry_lock;
bool lock_ready = false;
void (*ending_hook)() = nullptr;

void ready_lock()
{
    if (!lock_ready) {
        InitializeCriticalSection(&registry_lock);
        lock_ready = true;
    }
}

void win_hold_signals()
{
    ready_lock();
    EnterCriticalSection(&registry_lock);
}

void win_release_signals()
{
    LeaveCriticalSection(&registry_lock);
}

BOOL WINAPI on_console_event(DWORD)
{
    // Another thread: the registry is taken as it stands between changes.
    win_hold_signals();
    if (ending_hook != nullptr)
        ending_hook();
    win_release_signals();
    return FALSE; // and the system ends the program
}

void win_catch_signals(void (*on_end)())
{
    ending_hook = on_end;
    ready_lock();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// ----------------------------------------------------------------- 7. console
//
// The console's code pages are never changed: at a console, lines are read
// with ReadConsoleW and text written with WriteConsoleW, which take
// Unicode; elsewhere the bytes are those of the answers.

void win_console_begin()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

int win_read_console(std::string &line)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode))
        return ENOTTY;
    // One line, up to its Enter; a line of more than 1 Mi characters
    // comes in parts.
    std::wstring typed;
    wchar_t block[4096];
    while (typed.size() < (size_t(1) << 20)) {
        DWORD got = 0;
        if (!ReadConsoleW(in, block, 4096, &got, nullptr))
            return typed.empty() ? EIO : 0;
        // A read cut by Ctrl-C is no end of the input: the console event's
        // handler ends the program meanwhile, on a thread of its own.
        if (got == 0 && GetLastError() == ERROR_OPERATION_ABORTED) {
            Sleep(100);
            continue;
        }
        typed.append(block, got);
        if (got == 0 || typed.back() == L'\n')
            break;
    }
    line = narrow(typed);
    return 0;
}

UINT input_code_page()
{
    const UINT cp = GetConsoleCP();
    return cp != 0 ? cp : GetOEMCP();
}

std::string win_from_code_page(const std::string &bytes)
{
    return narrow(wide(bytes, input_code_page()));
}

std::string win_to_code_page(const std::string &utf8)
{
    return narrow(wide(utf8), input_code_page());
}

int win_write_console(const std::string &utf8)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return ENOTTY;
    const std::wstring w = wide(utf8);
    for (size_t at = 0; at < w.size();) {
        DWORD put = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(w.size() - at, 8192));
        if (!WriteConsoleW(out, w.data() + at, ask, &put, nullptr) || put == 0)
            return EIO;
        at += put;
    }
    return 0;
}

bool win_windows_text()
{
    return true;
}

std::string win_environment(const char *name)
{
    const wchar_t *value = _wgetenv(wide(name).c_str());
    return value != nullptr ? narrow(value) : "";
}

void win_binary_input(FILE *in)
{
    _setmode(_fileno(in), _O_BINARY);
}

bool win_is_terminal(FILE *f)
{
    return f == stdin && _isatty(_fileno(stdin));
}

void win_key_wait()
{
    // Whatever was typed ahead does not count; a key that sends two codes
    // (0 or 0xE0 and a second one: F1, the arrows) is read whole.
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    const int c = _getch();
    if (c == 0 || c == 0xE0)
        _getch();
}

void win_restore_terminal()
{
    // The key wait changes no setting of the console.
}

// -------------------------------------------------------------------- 8. room

double win_machine_memory()
{
    MEMORYSTATUSEX ms;
    ms.dwLength = sizeof ms;
    return GlobalMemoryStatusEx(&ms) ? static_cast<double>(ms.ullAvailPhys) : -1.0;
}

double win_group_memory()
{
    // The room a job object's limit leaves this process.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job = {};
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr))
        return -1.0;
    const DWORD flags = job.BasicLimitInformation.LimitFlags;
    double limit = -1.0;
    if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
        limit = static_cast<double>(job.ProcessMemoryLimit);
    if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) {
        const double j = static_cast<double>(job.JobMemoryLimit) - static_cast<double>(job.PeakJobMemoryUsed);
        limit = limit < 0.0 ? j : std::min(limit, j);
    }
    return limit;
}

double win_address_room()
{
    return -1.0; // no limit on the address space of a process
}

int win_affinity_processors()
{
    DWORD_PTR process = 0, system = 0;
    int n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1)
            n++;
    return n;
}

double win_processor_quota()
{
    return -1.0;
}

double win_thread_stack()
{
    return 0.0; // a stack is reserved, not committed: a job's limit does not count it
}

// --------------------------------------------------------------- 9. the table

constexpr HostCalls win_calls = {
    win_open_read,
    win_file_size,
    win_read_at,
    win_write_at,
    win_map,
    win_unmap,
    win_map_was_cut,
    win_temp_folder,
    win_make_scratch,
    win_resolve,
    win_open_folder,
    win_close_folders,
    win_entry_at,
    win_may_replace,
    win_open_write,
    win_stream,
    win_close_fd,
    win_keep_attributes,
    win_truncate,
    win_flush,
    win_close,
    win_link,
    win_rename,
    win_replace,
    win_remove,
    win_lock,
    win_sync,
    win_write_back,
    win_sync_folder,
    win_list,
    win_make_mark,
    win_close_mark,
    win_mark_held,
    win_hold_signals,
    win_release_signals,
    win_catch_signals,
    win_console_begin,
    win_read_console,
    win_from_code_page,
    win_to_code_page,
    win_write_console,
    win_windows_text,
    win_environment,
    win_binary_input,
    win_is_terminal,
    win_key_wait,
    win_restore_terminal,
    win_machine_memory,
    win_group_memory,
    win_address_room,
    win_affinity_processors,
    win_processor_quota,
    win_thread_stack,
};

} // namespace

const HostCalls host_system = win_calls;
HostCalls host = win_calls;

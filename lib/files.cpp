// The files a run reads (files.h), on POSIX systems and on Windows.
#include "files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
const char path_separator[] = "\\";
#else
const char path_separator[] = "/";
#endif

namespace {

bool is_separator(char c)
{
#if defined(_WIN32)
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

} // namespace

std::string folder_of(const std::string &path)
{
    size_t k = path.size();
    while (k > 0 && !is_separator(path[k - 1]))
        k--;
    return path.substr(0, k);
}

std::string root_directory()
{
    const char *env = std::getenv("QUARVELIN_ROOT");
    if (env == nullptr || *env == '\0')
        return std::string("images") + path_separator;
    std::string root = env;
    if (!is_separator(root.back()))
        root += path_separator;
    return root;
}

std::string write_failure(int err)
{
    switch (err) {
    case ENOSPC:
        return "no space left on the disk";
#if defined(EDQUOT)
    case EDQUOT:
        return "the disk quota is used up";
#endif
    case EFBIG:
        return "the file-size limit is reached";
    default:
        return std::strerror(err);
    }
}

#if defined(_WIN32)

namespace {

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

} // namespace

InputStatus input_open(const std::string &path, FILE *&f)
{
    f = nullptr;
    if (path.size() >= MAX_PATH) // the system would only say that it finds no such file
        return input_too_long;
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) != 0)
        return errno == ENAMETOOLONG ? input_too_long : errno == ENOENT ? input_absent : input_unreadable;
    if ((st.st_mode & _S_IFMT) != _S_IFREG)
        return input_not_regular;
    f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return errno == ENAMETOOLONG ? input_too_long : input_unreadable;
    return input_ok;
}

int64_t file_size(FILE *f)
{
    LARGE_INTEGER size;
    if (GetFileType(handle_of(f)) != FILE_TYPE_DISK || !GetFileSizeEx(handle_of(f), &size))
        return -1;
    return size.QuadPart;
}

bool read_at(FILE *f, void *buf, size_t bytes, int64_t offset)
{
    char *p = static_cast<char *>(buf);
    while (bytes > 0) {
        OVERLAPPED o = at_offset(offset);
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
        if (!ReadFile(handle_of(f), p, ask, &got, &o) || got == 0)
            return false;
        p += got;
        bytes -= got;
        offset += got;
    }
    return true;
}

bool write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, int &err)
{
    const char *p = static_cast<const char *>(buf);
    while (bytes > 0) {
        OVERLAPPED o = at_offset(offset);
        DWORD put = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
        if (!WriteFile(handle_of(f), p, ask, &put, &o) || put == 0) {
            err = GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
            return false;
        }
        p += put;
        bytes -= put;
        offset += put;
    }
    return true;
}

const char *map_whole(FILE *f, size_t &size)
{
    // A view one byte longer than the file would grow it: the file is
    // mapped as it is, and the zero after it is the rest of its last page,
    // which the system fills with zeros. A file that ends on a page
    // boundary has none, and is read in blocks instead.
    const int64_t bytes = file_size(f);
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

void unmap_whole(const char *text, size_t)
{
    UnmapViewOfFile(text);
}

bool map_was_cut()
{
    return false; // Windows refuses to cut a file that is mapped
}

FILE *scratch_open(const std::string &beside, std::string &where, int &err)
{
    // Deleted by the system when it is closed, or when the program ends.
    wchar_t temp_dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp_dir);
    std::wstring folders[2];
    std::string names[2] = {folder_of(beside), ""};
    const int wide = MultiByteToWideChar(CP_ACP, 0, names[0].c_str(), -1, nullptr, 0);
    folders[0].resize(static_cast<size_t>(std::max(wide, 1)));
    MultiByteToWideChar(CP_ACP, 0, names[0].c_str(), -1, folders[0].data(), wide);
    folders[0].resize(std::wcslen(folders[0].c_str()));
    if (folders[0].empty())
        folders[0] = L".\\";
    if (n > 0 && n <= MAX_PATH)
        folders[1] = temp_dir;
    char narrow[MAX_PATH * 4 + 1] = "";
    WideCharToMultiByte(CP_ACP, 0, folders[1].c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    names[1] = narrow;
    err = 0;
    static std::atomic<unsigned> serial{0};
    for (int k = 0; k < 2; k++) {
        if (folders[k].empty())
            continue;
        for (int attempt = 0; attempt < 100; attempt++) {
            const unsigned long long tag = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                                           GetTickCount64() ^ (static_cast<unsigned long long>(serial++) << 20);
            wchar_t leaf[64];
            swprintf(leaf, 64, L".quarvelin-%llx.tmp", tag);
            const std::wstring path = folders[k] + leaf;
            HANDLE h =
                CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                if (GetLastError() == ERROR_FILE_EXISTS)
                    continue;
                err = EACCES;
                break;
            }
            const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
            FILE *f = fd < 0 ? nullptr : _fdopen(fd, "w+b");
            if (f == nullptr) {
                // The descriptor owns the handle once it was made.
                if (fd < 0)
                    CloseHandle(h);
                else
                    _close(fd);
                err = EMFILE;
                break;
            }
            where = names[k];
            return f;
        }
    }
    where = names[1];
    return nullptr;
}

#else

InputStatus input_open(const std::string &path, FILE *&f)
{
    // Opened without waiting, so that a FIFO is refused instead of waited
    // on; what was opened is then looked at before anything is read.
    f = nullptr;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENAMETOOLONG ? input_too_long : errno == ENOENT ? input_absent : input_unreadable;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return input_not_regular;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return input_unreadable;
    }
    return input_ok;
}

int64_t file_size(FILE *f)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool read_at(FILE *f, void *buf, size_t bytes, int64_t offset)
{
    char *p = static_cast<char *>(buf);
    while (bytes > 0) {
        const ssize_t got = pread(fileno(f), p, bytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        bytes -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, int &err)
{
    const char *p = static_cast<const char *>(buf);
    while (bytes > 0) {
        const ssize_t put = pwrite(fileno(f), p, bytes, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            err = put < 0 ? errno : ENOSPC;
            return false;
        }
        p += put;
        bytes -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

namespace {

// The mapped file, for the bus-error handler: a page past the end of a file
// that was cut is mapped again as zeros, and the cut is noted.
std::atomic<const char *> mapped_begin{nullptr};
std::atomic<size_t> mapped_size{0};
volatile sig_atomic_t mapped_cut = 0;
int mapped_fd = -1; // to see a cut within the last page, which reads as zeros
struct sigaction bus_before;
size_t page_size;

void on_bus_error(int sig, siginfo_t *info, void *context)
{
    const char *at = static_cast<const char *>(info->si_addr);
    const char *begin = mapped_begin.load();
    if (begin != nullptr && at >= begin && at < begin + mapped_size.load()) {
        const uintptr_t page = reinterpret_cast<uintptr_t>(at) & ~(uintptr_t(page_size) - 1);
        if (mmap(reinterpret_cast<void *>(page), page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                 0) != MAP_FAILED) {
            mapped_cut = 1;
            return; // the read is made again, of zeros
        }
    }
    // Not the model: what would have happened without this handler.
    if ((bus_before.sa_flags & SA_SIGINFO) != 0) {
        bus_before.sa_sigaction(sig, info, context);
    } else if (bus_before.sa_handler != SIG_DFL && bus_before.sa_handler != SIG_IGN) {
        bus_before.sa_handler(sig);
    } else {
        signal(sig, SIG_DFL); // the fault happens again, and ends the program
    }
}

} // namespace

const char *map_whole(FILE *f, size_t &size)
{
    const int64_t bytes = file_size(f);
    if (bytes <= 0 || static_cast<uint64_t>(bytes) > SIZE_MAX / 2)
        return nullptr;
    page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size = static_cast<size_t>(bytes);
    const size_t mapped = (size / page_size + 1) * page_size;
    void *room = mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED)
        return nullptr;
    if (mmap(room, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fileno(f), 0) == MAP_FAILED) {
        munmap(room, mapped);
        return nullptr;
    }
    madvise(room, size, MADV_SEQUENTIAL);
    mapped_cut = 0;
    mapped_fd = fileno(f);
    mapped_size = size;
    mapped_begin = static_cast<const char *>(room);
    struct sigaction bus = {};
    bus.sa_sigaction = on_bus_error;
    bus.sa_flags = SA_SIGINFO;
    sigemptyset(&bus.sa_mask);
    sigaction(SIGBUS, &bus, &bus_before);
    return static_cast<const char *>(room);
}

void unmap_whole(const char *text, size_t size)
{
    sigaction(SIGBUS, &bus_before, nullptr);
    mapped_begin = nullptr;
    mapped_fd = -1;
    munmap(const_cast<char *>(text), (size / page_size + 1) * page_size);
}

bool map_was_cut()
{
    struct stat st;
    return mapped_cut != 0 ||
           (mapped_fd >= 0 && fstat(mapped_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < mapped_size.load());
}

namespace {

// A scratch file with no name in `folder` (with its separator, or empty for
// the working folder); -1 with errno set when none can be made there.
int scratch_in(const std::string &folder)
{
    const std::string dir = folder.empty() ? "." : folder;
#if defined(O_TMPFILE)
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
#endif
    std::string name = dir + "/.quarvelin-XXXXXX";
    const int named = mkstemp(name.data());
    if (named >= 0)
        unlink(name.c_str());
    return named;
}

} // namespace

FILE *scratch_open(const std::string &beside, std::string &where, int &err)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string temp_folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/";
    err = 0;
    for (const std::string &folder : {folder_of(beside), temp_folder}) {
        const int fd = scratch_in(folder);
        if (fd < 0) {
            err = errno;
            continue;
        }
        FILE *f = fdopen(fd, "w+b");
        if (f == nullptr) {
            err = errno;
            close(fd);
            continue;
        }
        where = folder;
        return f;
    }
    where = temp_folder;
    return nullptr;
}

#endif

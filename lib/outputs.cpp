// The results of a run and the ending signals (outputs.h): the registry and
// the commit, over a few file operations of each system (POSIX below, then
// Windows).
#include "outputs.h"
#include "files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif
#endif

namespace {

// ------------------------------------------------------------ the registry
//
// One record per result, in a fixed table: the handler of an ending signal
// (or of a console event, on Windows) reads it, so it changes only while
// the signals are held back.

constexpr int max_outputs = 32; // a run makes at most a dozen results
constexpr size_t leaf_size = 256;

struct Output {
    FILE *f;                // open; null once closed
    int dir;                // POSIX: descriptor of the folder of the file replaced
    std::string folder;     // that folder, with its separator
    char target[leaf_size]; // the file replaced, in that folder
    char temp[leaf_size];   // the temporary; empty when written directly or in place
    char backup[leaf_size]; // the earlier file's hidden backup, during the commit
    bool at_close, closed, in_place, backup_by_rename;
    std::string name; // as named, for the caller's messages
};

Output outputs[max_outputs];
volatile sig_atomic_t output_count = 0;

void (*restore_hook)() = nullptr;

void hold_signals();
void release_signals();

// A name no file of the folder has yet: ".LEAF.XXXXXX" with LEAF cut so as
// to fit the system's limit, and six letters or digits that differ from run
// to run and from name to name.
void temporary_name(const char *leaf, char *out)
{
    static uint64_t state = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) << 17 ^
                            reinterpret_cast<uintptr_t>(&state);
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    state += 0x9E3779B97F4A7C15ull; // splitmix64
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    char suffix[7];
    for (int k = 0; k < 6; k++, z /= 62)
        suffix[k] = letters[z % 62];
    suffix[6] = '\0';
    std::snprintf(out, leaf_size, ".%.200s.%s", leaf, suffix);
}

// Adds a record, the signals held back meanwhile.
Output &add_output(const Output &o)
{
    hold_signals();
    Output &slot = outputs[output_count];
    slot = o;
    output_count = output_count + 1;
    release_signals();
    return slot;
}

// What stands in the place of a result.
struct Earlier {
    bool exists, directory, regular, writable;
};

// The system's side: each returns 0 or an error number.
int locate(const std::string &path, Output &o, Earlier &e); // the file replaced, its folder, what it is
int open_direct(Output &o, int &fd);                        // a device or a FIFO of that name
int open_new(Output &o, const char *leaf, int &fd);         // a new file, as a plain create makes one
int open_in_place(Output &o, int &fd);                      // the earlier file itself
void keep_attributes(Output &o, int fd);                    // the earlier file's owner, mode, access rules
int check_replaceable(Output &o, bool &exists);             // at the commit: may the file be replaced?
int back_up(Output &o);                                     // a backup of the earlier file, before any rename
int put_in_place(Output &o);                                // the temporary onto the file
void take_back(Output &o);                                  // the earlier file back, or the new one removed
void remove_leaf(Output &o, const char *leaf);
void lock_folders(const std::vector<Output *> &set, bool lock);
void empty_file(FILE *f);
void close_descriptor(int fd);

// Takes back results already put in place, the last first.
void take_back_all(const std::vector<Output *> &done)
{
    for (auto o = done.rbegin(); o != done.rend(); ++o)
        take_back(**o);
}

// Puts a set of closed results in place together (see outputs.h).
OutputStatus commit_set(const std::vector<Output *> &set, std::string &failed, int &err)
{
    if (set.empty())
        return output_ok;
    hold_signals();
    lock_folders(set, true);
    OutputStatus status = output_ok;
    // Every file to replace is looked at and backed up before anything is
    // renamed.
    for (Output *o : set) {
        bool exists = false;
        o->backup[0] = '\0';
        o->backup_by_rename = false;
        int e = check_replaceable(*o, exists);
        if (e == 0 && exists)
            e = back_up(*o);
        if (e != 0) {
            failed = o->name;
            err = e;
            status = output_write_failed;
            break;
        }
    }
    std::vector<Output *> done;
    for (size_t k = 0; status == output_ok && k < set.size(); k++) {
        Output *o = set[k];
        const int e = put_in_place(*o);
        if (e != 0) {
            failed = o->name;
            err = e;
            status = output_write_failed;
            if (o->backup_by_rename && o->backup[0] != '\0')
                done.push_back(o); // its earlier file was moved aside already
            break;
        }
        o->temp[0] = '\0';
        done.push_back(o);
    }
    if (status != output_ok)
        take_back_all(done);
    for (Output *o : set)
        if (o->backup[0] != '\0') {
            remove_leaf(*o, o->backup);
            o->backup[0] = '\0';
        }
    lock_folders(set, false);
    release_signals();
    return status;
}

Output *find_output(FILE *f)
{
    for (int k = 0; k < output_count; k++)
        if (outputs[k].f == f)
            return &outputs[k];
    return nullptr;
}

void forget_outputs();

} // namespace

OutputStatus output_create(const std::string &path, const char *mode, bool at_close, FILE *&f, int &err)
{
    f = nullptr;
    err = 0;
    auto refused = [&](int e) {
        err = e;
        return e == ENAMETOOLONG ? output_too_long : output_cannot_create;
    };
    if (output_count >= max_outputs)
        return refused(EMFILE);
    Output o{};
    o.dir = -1;
    o.at_close = at_close;
    o.name = path;
    Earlier e{};
    if (const int bad = locate(path, o, e); bad != 0)
        return refused(bad);
    // A directory, or a file the user may not write to, is left alone.
    if (e.directory || (e.regular && !e.writable))
        return refused(e.directory ? EISDIR : EACCES);

    int fd = -1, bad = 0;
    if (e.exists && !e.regular) {
        bad = open_direct(o, fd); // a device or a FIFO: written directly
    } else {
        for (int attempt = 0; attempt < 100; attempt++) {
            temporary_name(o.target, o.temp);
            hold_signals();
            bad = open_new(o, o.temp, fd);
            if (bad == 0)
                add_output(o);
            release_signals();
            if (bad != EEXIST)
                break;
        }
        if (bad != 0 && e.exists && (bad == EACCES || bad == EPERM || bad == EROFS)) {
            // The folder refuses a temporary, the file itself may be written.
            o.temp[0] = '\0';
            o.in_place = true;
            bad = open_in_place(o, fd);
        }
        if (bad == 0 && e.exists && !o.in_place)
            keep_attributes(o, fd);
    }
    if (bad != 0)
        return refused(bad);
    Output &slot = o.temp[0] != '\0' ? outputs[output_count - 1] : add_output(o);
    f = fdopen(fd, mode);
    if (f == nullptr) {
        err = errno;
        close_descriptor(fd);
        return output_cannot_create;
    }
    slot.f = f;
    return output_ok;
}

void output_begin()
{
    for (int k = 0; k < output_count; k++)
        if (outputs[k].in_place && outputs[k].f != nullptr)
            empty_file(outputs[k].f);
}

OutputStatus output_close(FILE *&f, int &err)
{
    Output *o = find_output(f);
    const bool unwritten = std::ferror(f) != 0;
    errno = 0;
    const bool unclosed = std::fclose(f) != 0;
    const int bad = unwritten || unclosed;
    err = !bad ? 0 : unclosed && errno != 0 ? errno : EIO;
    f = nullptr;
    if (o == nullptr)
        return bad != 0 ? output_write_failed : output_ok;
    o->f = nullptr;
    o->closed = true;
    if (bad != 0)
        return output_write_failed;
    if (!o->at_close || o->temp[0] == '\0')
        return output_ok;
    std::string failed;
    return commit_set({o}, failed, err);
}

OutputStatus output_commit(std::string &failed, int &err)
{
    std::vector<Output *> set;
    for (int k = 0; k < output_count; k++)
        if (outputs[k].closed && outputs[k].temp[0] != '\0')
            set.push_back(&outputs[k]);
    const OutputStatus status = commit_set(set, failed, err);
    if (status == output_ok)
        forget_outputs();
    return status;
}

void output_discard(bool from_signal)
{
    for (int k = 0; k < output_count; k++) {
        Output &o = outputs[k];
        if (!from_signal && o.f != nullptr) {
            std::fclose(o.f);
            o.f = nullptr;
        }
        if (o.temp[0] != '\0')
            remove_leaf(o, o.temp);
    }
    if (!from_signal)
        forget_outputs();
}

void hold_ending_signals()
{
    hold_signals();
}

void release_ending_signals()
{
    release_signals();
}

#if defined(_WIN32)

// ------------------------------------------------------------------ Windows
//
// A console event (Ctrl-C, Ctrl-Break, the window closed, the session
// ended) is handled on a thread of its own: the registry is guarded by a
// lock that the handler takes too. Results are replaced with ReplaceFile,
// which keeps the earlier file's attributes and access rules, and the
// earlier file stays as its backup until the last result is in place.

namespace {

CRITICAL_SECTION registry_lock;
bool lock_ready = false;

void ready_lock()
{
    if (!lock_ready) {
        InitializeCriticalSection(&registry_lock);
        lock_ready = true;
    }
}

void hold_signals()
{
    ready_lock();
    EnterCriticalSection(&registry_lock);
}

void release_signals()
{
    LeaveCriticalSection(&registry_lock);
}

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

std::string path_of(const Output &o, const char *leaf)
{
    return o.folder + leaf;
}

int locate(const std::string &path, Output &o, Earlier &e)
{
    o.folder = folder_of(path);
    const std::string leaf = path.substr(o.folder.size());
    if (leaf.size() >= leaf_size || path.size() >= MAX_PATH)
        return ENAMETOOLONG;
    std::strcpy(o.target, leaf.c_str());
    const DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND ? 0 : error_number(err);
    }
    e.exists = true;
    e.directory = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.regular = !e.directory && (a & FILE_ATTRIBUTE_DEVICE) == 0;
    e.writable = (a & FILE_ATTRIBUTE_READONLY) == 0;
    return 0;
}

// A C descriptor over a handle of the file `leaf` of the folder.
int open_handle(Output &o, const char *leaf, DWORD disposition, int &fd)
{
    HANDLE h = CreateFileA(path_of(o, leaf).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return error_number(GetLastError());
    fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return EMFILE;
    }
    return 0;
}

int open_direct(Output &o, int &fd)
{
    return open_handle(o, o.target, OPEN_EXISTING, fd);
}

int open_new(Output &o, const char *leaf, int &fd)
{
    return open_handle(o, leaf, CREATE_NEW, fd);
}

int open_in_place(Output &o, int &fd)
{
    return open_handle(o, o.target, OPEN_EXISTING, fd);
}

void keep_attributes(Output &, int)
{
    // ReplaceFile keeps them at the commit.
}

int check_replaceable(Output &o, bool &exists)
{
    Earlier e{};
    const int bad = locate(path_of(o, o.target), o, e);
    exists = e.exists;
    if (bad != 0)
        return bad;
    return e.directory ? EISDIR : e.exists && !e.writable ? EACCES : 0;
}

int back_up(Output &o)
{
    // ReplaceFile makes the backup when it puts the result in place.
    temporary_name(o.target, o.backup);
    o.backup_by_rename = true;
    return 0;
}

int put_in_place(Output &o)
{
    const std::string target = path_of(o, o.target), temp = path_of(o, o.temp);
    bool ok;
    if (o.backup[0] != '\0')
        ok = ReplaceFileA(target.c_str(), temp.c_str(), path_of(o, o.backup).c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                          nullptr, nullptr) != 0;
    else
        ok = MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok && o.backup[0] != '\0' && GetFileAttributesA(path_of(o, o.backup).c_str()) == INVALID_FILE_ATTRIBUTES)
        o.backup[0] = '\0'; // nothing was moved aside
    return ok ? 0 : error_number(GetLastError());
}

void take_back(Output &o)
{
    const std::string target = path_of(o, o.target);
    if (o.backup[0] != '\0') {
        MoveFileExA(path_of(o, o.backup).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        o.backup[0] = '\0';
    } else {
        DeleteFileA(target.c_str());
    }
}

void remove_leaf(Output &o, const char *leaf)
{
    DeleteFileA(path_of(o, leaf).c_str());
}

void empty_file(FILE *f)
{
    _chsize_s(_fileno(f), 0);
}

void close_descriptor(int fd)
{
    _close(fd);
}

void lock_folders(const std::vector<Output *> &set, bool lock)
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
    std::vector<std::string> names;
    for (const Output *o : set) {
        char full[MAX_PATH] = "";
        GetFullPathNameA(o->folder.empty() ? "." : o->folder.c_str(), MAX_PATH, full, nullptr);
        std::string name = "Local\\quarvelin-commit-";
        for (const char *c = full; *c != '\0'; c++)
            name += *c == '\\' || *c == '/' || *c == ':' ? '_' : static_cast<char>(std::tolower(*c));
        names.push_back(name.substr(0, MAX_PATH - 1));
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const std::string &name : names) {
        HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
        if (h != nullptr && WaitForSingleObject(h, INFINITE) != WAIT_FAILED)
            held.push_back(h);
        else if (h != nullptr)
            CloseHandle(h);
    }
}

void forget_outputs()
{
    hold_signals();
    output_count = 0;
    release_signals();
}

BOOL WINAPI on_console_event(DWORD)
{
    // Another thread: the registry is taken as it stands between changes.
    hold_signals();
    if (restore_hook != nullptr)
        restore_hook();
    output_discard(true);
    release_signals();
    return FALSE; // and the system ends the program
}

} // namespace

void catch_ending_signals(void (*restore)())
{
    restore_hook = restore;
    ready_lock();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

#else

// -------------------------------------------------------------------- POSIX
//
// Every file operation goes through the descriptor of the result's folder,
// opened once. Each earlier file is backed up by a hard link (the file stays
// in place meanwhile), or where the system makes none by a rename just
// before its replacement; a folder with the sticky bit lets only the owner
// of a file, or of the folder, rename it.

namespace {

// Folders of the results, each opened once (a run writes in one or two).
struct Folder {
    int fd;
    dev_t dev;
    ino_t ino;
};
std::vector<Folder> folders;

// Faults of the program itself end it too; the sanitizers of a test build
// report them with handlers of their own, which are left alone there.
constexpr int fault_signals[] = {
#if !defined(__SANITIZE_ADDRESS__)
    SIGSEGV, SIGBUS,  SIGFPE, SIGILL,
#endif
    SIGABRT, SIGTRAP, SIGSYS};

// The signals sent to a run from outside, held back in the workers and
// while the registry changes.
const int sent_signals[] = {SIGHUP,   SIGINT,  SIGQUIT,   SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,
                            SIGUSR2,  SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,
#if defined(SIGSTKFLT)
                            SIGSTKFLT
#endif
};

sigset_t sent_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : sent_signals)
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&set, sig);
    return set;
}

void on_signal(int sig)
{
    if (restore_hook != nullptr)
        restore_hook();
    output_discard(true);
    signal(sig, SIG_DFL);
    raise(sig);
}

sigset_t before_hold;
int hold_depth = 0;

void hold_signals()
{
    if (hold_depth++ > 0)
        return;
    const sigset_t set = sent_set();
    pthread_sigmask(SIG_BLOCK, &set, &before_hold);
}

void release_signals()
{
    if (hold_depth > 0 && --hold_depth == 0)
        pthread_sigmask(SIG_SETMASK, &before_hold, nullptr);
}

// The file that writing to `path` replaces: the end of its symbolic links,
// which need not exist yet. An error number when there is none.
int resolve_links(const std::string &path, std::string &target)
{
    target = path;
    for (int hops = 0; hops < 40; hops++) { // the system's own limit on links in a row
        struct stat st;
        if (lstat(target.c_str(), &st) != 0)
            return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(st.st_mode))
            return 0;
        std::vector<char> link(static_cast<size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1);
        const ssize_t n = readlink(target.c_str(), link.data(), link.size() - 1);
        if (n < 0)
            return errno;
        const std::string to(link.data(), static_cast<size_t>(n));
        const size_t slash = target.rfind('/');
        target = (!to.empty() && to[0] == '/') || slash == std::string::npos ? to : target.substr(0, slash + 1) + to;
    }
    return ELOOP;
}

// The descriptor of a folder, opened once; -1 with errno set.
int folder_fd(const std::string &folder)
{
    const char *dir = folder.empty() ? "." : folder.c_str();
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) // a folder that may be written but not listed
        fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return -1;
    for (const Folder &known : folders)
        if (known.dev == st.st_dev && known.ino == st.st_ino) {
            close(fd);
            return known.fd;
        }
    folders.push_back({fd, st.st_dev, st.st_ino});
    return fd;
}

int locate(const std::string &path, Output &o, Earlier &e)
{
    std::string target;
    if (const int bad = resolve_links(path, target); bad != 0)
        return bad;
    o.folder = folder_of(target);
    const std::string leaf = target.substr(o.folder.size());
    if (leaf.size() >= leaf_size)
        return ENAMETOOLONG;
    std::strcpy(o.target, leaf.c_str());
    o.dir = folder_fd(o.folder);
    if (o.dir < 0)
        return errno;
    struct stat st;
    if (fstatat(o.dir, o.target, &st, 0) != 0)
        return errno == ENOENT ? 0 : errno;
    e.exists = true;
    e.directory = S_ISDIR(st.st_mode);
    e.regular = S_ISREG(st.st_mode);
    e.writable = faccessat(o.dir, o.target, W_OK, AT_EACCESS) == 0;
    return 0;
}

int opened(int fd, int &out)
{
    out = fd;
    return fd >= 0 ? 0 : errno;
}

int open_direct(Output &o, int &fd)
{
    return opened(openat(o.dir, o.target, O_WRONLY | O_CLOEXEC), fd);
}

int open_new(Output &o, const char *leaf, int &fd)
{
    // A plain create, so that the umask and the folder's default access
    // rules make the new file's permissions.
    return opened(openat(o.dir, leaf, O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL, 0666), fd);
}

int open_in_place(Output &o, int &fd)
{
    return open_direct(o, fd);
}

// A replaced result keeps the earlier file's owner and group (as far as the
// user may set them), its access control list and its mode. The list goes
// before the mode: setting it sets the group bits of the mode.
void keep_attributes(Output &o, int fd)
{
    struct stat st;
    if (fstatat(o.dir, o.target, &st, 0) != 0)
        return;
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // another user's group: the new file keeps the user's own
    }
#if defined(__linux__)
    static const char acl[] = "system.posix_acl_access";
    const std::string earlier = o.folder + o.target;
    std::vector<char> value(static_cast<size_t>(std::max<ssize_t>(getxattr(earlier.c_str(), acl, nullptr, 0), 1)));
    const ssize_t n = getxattr(earlier.c_str(), acl, value.data(), value.size());
    if (n >= 0)
        fsetxattr(fd, acl, value.data(), static_cast<size_t>(n), 0);
    else if (errno == ENODATA)
        fremovexattr(fd, acl); // none: nor one inherited from the folder
#endif
    fchmod(fd, st.st_mode & 07777);
}

int check_replaceable(Output &o, bool &exists)
{
    struct stat st, d;
    exists = fstatat(o.dir, o.target, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists)
        return 0;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    const uid_t me = geteuid();
    if (fstat(o.dir, &d) == 0 && (d.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && d.st_uid != me)
        return EPERM;
    return 0;
}

int back_up(Output &o)
{
    // A second name for the file to replace; a name another run took
    // meanwhile is drawn again, never renamed over.
    for (int tries = 0; tries < 100; tries++) {
        temporary_name(o.target, o.backup);
        if (linkat(o.dir, o.target, o.dir, o.backup, 0) == 0)
            return 0;
        if (errno != EEXIST)
            break;
    }
    o.backup_by_rename = true;
    return 0;
}

int put_in_place(Output &o)
{
    if (o.backup_by_rename && renameat(o.dir, o.target, o.dir, o.backup) != 0) {
        const int e = errno;
        o.backup[0] = '\0';
        return e;
    }
    return renameat(o.dir, o.temp, o.dir, o.target) == 0 ? 0 : errno;
}

void take_back(Output &o)
{
    if (o.backup[0] != '\0') {
        renameat(o.dir, o.backup, o.dir, o.target);
        o.backup[0] = '\0';
    } else {
        unlinkat(o.dir, o.target, 0);
    }
}

void remove_leaf(Output &o, const char *leaf)
{
    unlinkat(o.dir, leaf, 0);
}

void empty_file(FILE *f)
{
    if (ftruncate(fileno(f), 0) != 0) {
        // written over from the start all the same
    }
}

void close_descriptor(int fd)
{
    close(fd);
}

void lock_folders(const std::vector<Output *> &set, bool lock)
{
    // One folder after another, always in the same order, so that two runs
    // cannot each hold the lock the other waits for.
    std::vector<int> dirs;
    for (const Output *o : set)
        dirs.push_back(o->dir);
    std::sort(dirs.begin(), dirs.end(), [](int a, int b) {
        struct stat sa, sb;
        fstat(a, &sa);
        fstat(b, &sb);
        return sa.st_dev != sb.st_dev ? sa.st_dev < sb.st_dev : sa.st_ino < sb.st_ino;
    });
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    for (int d : dirs)
        while (flock(d, lock ? LOCK_EX : LOCK_UN) != 0 && errno == EINTR) {
        }
}

void forget_outputs()
{
    hold_signals();
    output_count = 0;
    release_signals();
    for (const Folder &d : folders)
        close(d.fd);
    folders.clear();
}

} // namespace

void catch_ending_signals(void (*restore)())
{
    restore_hook = restore;
    struct sigaction on = {};
    on.sa_handler = on_signal;
    sigemptyset(&on.sa_mask);
    auto take = [&](int sig) {
        // A signal ignored from the start (a run under nohup) stays ignored.
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            sigaction(sig, &on, nullptr);
    };
    for (int sig : sent_signals)
        take(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        take(sig);
    for (int sig : fault_signals)
        take(sig);
    // Beyond the file-size limit a write fails (EFBIG) as on a full disk,
    // and the run says so, instead of dying of the signal.
    signal(SIGXFSZ, SIG_IGN);
}

#endif

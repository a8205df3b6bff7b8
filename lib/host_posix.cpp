// The system calls of the host units on POSIX systems (Linux): the table
// `host` of host.h, filled with this system's calls. Built on every system
// but Windows.
//
// Sections:
//   1. files a run reads    open_read, file_size, read_at, write_at
//   2. the mapped model     map, unmap, map_was_cut (the bus-error handler)
//   3. scratch files        temp_folder, make_scratch
//   4. results              resolve, open_folder, entry_at, may_replace,
//                           open_write, keep_attributes, link, rename,
//                           replace, remove, lock, flush, close, sync,
//                           write_back, sync_folder, list, the run's mark
//   5. ending signals       hold_signals, release_signals, catch_signals
//   6. console              key_wait on the terminal, restore_terminal
//   7. room                 /proc/meminfo, the control groups, the limits
//   8. the table
#include "files.h"
#include "host.h"
#include "room.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

const char host_separators[] = "/";
const char path_separator[] = "/";

namespace {

int error_or(int fallback)
{
    return errno != 0 ? errno : fallback;
}

// ------------------------------------------------------ 1. files a run reads

int posix_open_read(const std::string &path, FILE *&f, bool &regular)
{
    // Opened without waiting, so that a FIFO is refused instead of waited
    // on; what was opened is then looked at before anything is read.
    f = nullptr;
    regular = false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return EACCES;
    }
    regular = true;
    return 0;
}

int64_t posix_file_size(FILE *f)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int posix_read_at(FILE *f, void *buf, size_t bytes, int64_t offset, size_t &done)
{
    ssize_t got;
    while ((got = pread(fileno(f), buf, bytes, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
    }
    done = got > 0 ? static_cast<size_t>(got) : 0;
    return got < 0 ? errno : 0;
}

int posix_write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, size_t &done)
{
    ssize_t put;
    while ((put = pwrite(fileno(f), buf, bytes, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
    }
    done = put > 0 ? static_cast<size_t>(put) : 0;
    return put < 0 ? errno : 0;
}

// --------------------------------------------------------- 2. the mapped model

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

const char *posix_map(FILE *f, size_t &size)
{
    const int64_t bytes = posix_file_size(f);
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

void posix_unmap(const char *text, size_t size)
{
    sigaction(SIGBUS, &bus_before, nullptr);
    mapped_begin = nullptr;
    mapped_fd = -1;
    munmap(const_cast<char *>(text), (size / page_size + 1) * page_size);
}

bool posix_map_was_cut()
{
    struct stat st;
    return mapped_cut != 0 ||
           (mapped_fd >= 0 && fstat(mapped_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < mapped_size.load());
}

// ----------------------------------------------------------- 3. scratch files

std::string posix_temp_folder()
{
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/";
}

int posix_make_scratch(const std::string &folder, bool, FILE *&f)
{
    const std::string dir = folder.empty() ? "." : folder;
    int fd = -1;
#if defined(O_TMPFILE)
    fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
#endif
    if (fd < 0) {
        std::string name = dir + "/.quarvelin-XXXXXX";
        fd = mkstemp(name.data());
        if (fd < 0)
            return errno;
        unlink(name.c_str());
    }
    f = fdopen(fd, "w+b");
    if (f == nullptr) {
        const int e = errno;
        close(fd);
        return e;
    }
    return 0;
}

// ----------------------------------------------------------------- 4. results
//
// Every file operation goes through the descriptor of the result's folder,
// opened once. Each earlier file is backed up by a hard link (the file stays
// in place meanwhile), or where the system makes none by a rename just
// before its replacement; a folder with the sticky bit lets only the owner
// of a file, or of the folder, rename it.

// Folders of the results, each opened once (a run writes in one or two).
struct Folder {
    int fd;
    dev_t dev;
    ino_t ino;
};
std::vector<Folder> folders;

int posix_resolve(const std::string &path, std::string &target)
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

int posix_open_folder(const std::string &folder, int &dir)
{
    const char *path = folder.empty() ? "." : folder.c_str();
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) // a folder that may be written but not listed
        fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return errno;
    for (const Folder &known : folders)
        if (known.dev == st.st_dev && known.ino == st.st_ino) {
            close(fd);
            dir = known.fd;
            return 0;
        }
    folders.push_back({fd, st.st_dev, st.st_ino});
    dir = fd;
    return 0;
}

void posix_close_folders()
{
    for (const Folder &d : folders)
        close(d.fd);
    folders.clear();
}

int posix_entry_at(int dir, const std::string &, const char *leaf, HostEntry &e)
{
    struct stat st;
    if (fstatat(dir, leaf, &st, 0) != 0)
        return errno == ENOENT ? 0 : errno;
    e.exists = true;
    e.directory = S_ISDIR(st.st_mode);
    e.regular = S_ISREG(st.st_mode);
    e.writable = faccessat(dir, leaf, W_OK, AT_EACCESS) == 0;
    e.mine = st.st_uid == geteuid();
    return 0;
}

int posix_may_replace(int dir, const std::string &, const char *leaf, bool &exists)
{
    struct stat st, d;
    exists = fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists)
        return 0;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    const uid_t me = geteuid();
    if (fstat(dir, &d) == 0 && (d.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && d.st_uid != me)
        return EPERM;
    return 0;
}

int posix_open_write(int dir, const std::string &, const char *leaf, HostOpen how, int &fd)
{
    // A new file is made by a plain create, so that the umask and the
    // folder's default access rules make its permissions.
    fd = how == host_open_new ? openat(dir, leaf, O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL, 0666)
                              : openat(dir, leaf, O_WRONLY | O_CLOEXEC);
    return fd >= 0 ? 0 : errno;
}

FILE *posix_stream(int fd, const char *mode)
{
    return fdopen(fd, mode);
}

int posix_close_fd(int fd)
{
    return close(fd) == 0 ? 0 : errno;
}

// A replaced result keeps the earlier file's owner and group (as far as the
// user may set them), its access control list and its mode. The list goes
// before the mode: setting it sets the group bits of the mode.
void posix_keep_attributes(int dir, const std::string &folder, const char *leaf, int fd)
{
    struct stat st;
    if (fstatat(dir, leaf, &st, 0) != 0)
        return;
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // another user's group: the new file keeps the user's own
    }
#if defined(__linux__)
    static const char acl[] = "system.posix_acl_access";
    const std::string earlier = folder + leaf;
    std::vector<char> value(static_cast<size_t>(std::max<ssize_t>(getxattr(earlier.c_str(), acl, nullptr, 0), 1)));
    const ssize_t n = getxattr(earlier.c_str(), acl, value.data(), value.size());
    if (n >= 0)
        fsetxattr(fd, acl, value.data(), static_cast<size_t>(n), 0);
    else if (errno == ENODATA)
        fremovexattr(fd, acl); // none: nor one inherited from the folder
#else
    (void)folder;
#endif
    fchmod(fd, st.st_mode & 07777);
}

int posix_truncate(FILE *f)
{
    return ftruncate(fileno(f), 0) == 0 ? 0 : errno; // written over from the start all the same
}

int posix_flush(FILE *f)
{
    errno = 0;
    return std::fflush(f) == 0 ? 0 : error_or(EIO);
}

int posix_close(FILE *f)
{
    errno = 0;
    return std::fclose(f) == 0 ? 0 : error_or(EIO);
}

int posix_link(int dir, const std::string &, const char *from, const char *to)
{
    return linkat(dir, from, dir, to, 0) == 0 ? 0 : errno;
}

int posix_rename(int dir, const std::string &, const char *from, const char *to)
{
    return renameat(dir, from, dir, to) == 0 ? 0 : errno;
}

int posix_replace(int dir, const std::string &folder, const char *from, const char *target, const char *backup,
                  bool &backed_up)
{
    // The earlier file moved aside just before its replacement.
    const int aside = host.rename(dir, folder, target, backup);
    backed_up = aside == 0;
    return aside != 0 ? aside : host.rename(dir, folder, from, target);
}

int posix_remove(int dir, const std::string &, const char *leaf)
{
    return unlinkat(dir, leaf, 0) == 0 ? 0 : errno;
}

void posix_lock(const std::vector<HostFolder> &set, bool lock)
{
    // One folder after another, always in the same order, so that two runs
    // cannot each hold the lock the other waits for.
    std::vector<int> dirs;
    for (const HostFolder &f : set)
        dirs.push_back(f.dir);
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

int posix_sync(FILE *f)
{
    // The data and the size: what a rename needs to find after a power loss.
    while (fdatasync(fileno(f)) != 0)
        if (errno != EINTR)
            return errno == EINVAL ? 0 : errno; // a file that keeps nothing to flush
    return 0;
}

int64_t posix_write_back(FILE *f, int64_t from)
{
    const off_t end = ftello(f);
    if (end <= from)
        return from;
#if defined(__linux__)
    sync_file_range(fileno(f), from, end - from, SYNC_FILE_RANGE_WRITE);
#endif
    return end;
}

int posix_sync_folder(int dir, const std::string &)
{
    while (fsync(dir) != 0)
        if (errno != EINTR)
            return errno == EINVAL || errno == EBADF ? 0 : errno; // a folder that keeps nothing to flush
    return 0;
}

int posix_list(int dir, const std::string &, std::vector<std::string> &names)
{
    const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        const int e = errno;
        if (fd >= 0)
            close(fd);
        return e;
    }
    while (const dirent *e = readdir(d))
        names.emplace_back(e->d_name);
    closedir(d);
    return 0;
}

// The mark is a file locked whole (flock): the lock belongs to the open
// file, so that a second open sees it held, in this process too.
int posix_make_mark(int dir, const std::string &, const char *leaf, intptr_t &mark)
{
    const int fd = openat(dir, leaf, O_RDONLY | O_CLOEXEC | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        close(fd);
        unlinkat(dir, leaf, 0);
        return e;
    }
    mark = fd;
    return 0;
}

void posix_close_mark(intptr_t mark)
{
    close(static_cast<int>(mark));
}

bool posix_mark_held(int dir, const std::string &, const char *leaf)
{
    const int fd = openat(dir, leaf, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno != ENOENT;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
}

// ---------------------------------------------------------- 5. ending signals

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

void (*ending_hook)() = nullptr;

void on_signal(int sig)
{
    if (ending_hook != nullptr)
        ending_hook();
    signal(sig, SIG_DFL);
    raise(sig);
}

sigset_t before_hold;
int hold_depth = 0;

void posix_hold_signals()
{
    if (hold_depth++ > 0)
        return;
    const sigset_t set = sent_set();
    pthread_sigmask(SIG_BLOCK, &set, &before_hold);
}

void posix_release_signals()
{
    if (hold_depth > 0 && --hold_depth == 0)
        pthread_sigmask(SIG_SETMASK, &before_hold, nullptr);
}

void posix_catch_signals(void (*on_end)())
{
    ending_hook = on_end;
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

// ------------------------------------------------------------------ 6. console

void posix_console_begin()
{}

void posix_binary_input(FILE *)
{}

bool posix_is_terminal(FILE *f)
{
    return f == stdin && isatty(STDIN_FILENO);
}

int posix_read_console(std::string &)
{
    return ENOTTY; // a terminal gives its bytes
}

std::string posix_same_bytes(const std::string &bytes)
{
    return bytes; // names are the bytes typed
}

int posix_write_console(const std::string &)
{
    return ENOTTY;
}

bool posix_windows_text()
{
    return false;
}

std::string posix_environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Terminal settings saved while a key is awaited, and the single-key
// settings of the wait, set again when the program is continued.
termios saved_tty, key_tty;
volatile sig_atomic_t tty_changed = 0;

void set_key_mode()
{
    // Only in the foreground: a program continued in the background would
    // be stopped again by the change.
    if (tty_changed && tcgetpgrp(STDIN_FILENO) == getpgrp())
        tcsetattr(STDIN_FILENO, TCSANOW, &key_tty);
}

void on_continue(int)
{
    const int saved = errno;
    set_key_mode();
    errno = saved;
}

// Reads one byte of the terminal; false when nothing came.
bool read_byte()
{
    char c;
    ssize_t n;
    while ((n = read(STDIN_FILENO, &c, 1)) < 0 && errno == EINTR) {
    }
    return n == 1;
}

void posix_restore_terminal()
{
    if (tty_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
        tty_changed = 0;
    }
}

void posix_key_wait()
{
    if (tcgetattr(STDIN_FILENO, &saved_tty) != 0)
        return;
    key_tty = saved_tty;
    key_tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key_tty.c_cc[VMIN] = 1;
    key_tty.c_cc[VTIME] = 0;
    struct sigaction cont = {}, before = {};
    cont.sa_handler = on_continue;
    sigemptyset(&cont.sa_mask);
    cont.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &cont, &before);
    tty_changed = 1;
    set_key_mode();
    tcflush(STDIN_FILENO, TCIFLUSH);
    if (read_byte()) {
        // The rest of the key: the bytes that follow within a tenth of a
        // second (a terminal sends a key's sequence at once).
        key_tty.c_cc[VMIN] = 0;
        key_tty.c_cc[VTIME] = 1;
        set_key_mode();
        while (read_byte()) {
        }
    }
    posix_restore_terminal();
    sigaction(SIGCONT, &before, nullptr);
}

// --------------------------------------------------------------------- 7. room

// The value of `key` (in kB) in a /proc file of "key: value kB" lines.
double proc_kb(const char *path, const char *key)
{
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return -1.0;
    char line[256];
    double v = -1.0;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
            v = std::strtod(line + n + 1, nullptr) * 1024.0;
            break;
        }
    std::fclose(f);
    return v;
}

double posix_machine_memory()
{
    const double available = proc_kb("/proc/meminfo", "MemAvailable");
    if (available >= 0.0)
        return available;
    const long pages = sysconf(_SC_AVPHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : -1.0;
}

double posix_group_memory()
{
    return cgroup_room("/proc/self/cgroup", "/sys/fs/cgroup");
}

double posix_address_room()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return -1.0;
    // Below the limit, beyond it: none left.
    return std::max(static_cast<double>(rl.rlim_cur) - std::max(proc_kb("/proc/self/status", "VmSize"), 0.0), 0.0);
}

int posix_affinity_processors()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

double posix_processor_quota()
{
    return cgroup_processors("/proc/self/cgroup", "/sys/fs/cgroup");
}

// The stack a new thread gets (the system's default, from the stack limit
// at the start), its guard page with it: all of it counts against the
// address-space limit.
double posix_thread_stack()
{
    pthread_attr_t a;
    size_t size = 0, guard = 0;
    if (pthread_attr_init(&a) != 0)
        return 8.0 * 1024 * 1024;
    if (pthread_attr_getstacksize(&a, &size) != 0 || size == 0)
        size = size_t(8) << 20;
    pthread_attr_getguardsize(&a, &guard);
    pthread_attr_destroy(&a);
    return static_cast<double>(size + guard);
}

// -------------------------------------------------------------------- 8. the table

constexpr HostCalls posix_calls = {
    posix_open_read,
    posix_file_size,
    posix_read_at,
    posix_write_at,
    posix_map,
    posix_unmap,
    posix_map_was_cut,
    posix_temp_folder,
    posix_make_scratch,
    posix_resolve,
    posix_open_folder,
    posix_close_folders,
    posix_entry_at,
    posix_may_replace,
    posix_open_write,
    posix_stream,
    posix_close_fd,
    posix_keep_attributes,
    posix_truncate,
    posix_flush,
    posix_close,
    posix_link,
    posix_rename,
    posix_replace,
    posix_remove,
    posix_lock,
    posix_sync,
    posix_write_back,
    posix_sync_folder,
    posix_list,
    posix_make_mark,
    posix_close_mark,
    posix_mark_held,
    posix_hold_signals,
    posix_release_signals,
    posix_catch_signals,
    posix_console_begin,
    posix_read_console,
    posix_same_bytes,
    posix_same_bytes,
    posix_write_console,
    posix_windows_text,
    posix_environment,
    posix_binary_input,
    posix_is_terminal,
    posix_key_wait,
    posix_restore_terminal,
    posix_machine_memory,
    posix_group_memory,
    posix_address_room,
    posix_affinity_processors,
    posix_processor_quota,
    posix_thread_stack,
};

} // namespace

const HostCalls host_system = posix_calls;
HostCalls host = posix_calls;

// The results of a run and the ending signals (outputs.h), on POSIX systems.
#include "outputs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

namespace {

// ------------------------------------------------------------ the registry
//
// One record per result, in a fixed table: the signal handler reads it (the
// folder's descriptor and the temporary's name), so it is only changed while
// the ending signals are held back.

constexpr int max_outputs = 32; // a run makes at most a dozen results
constexpr size_t leaf_size = 256;

struct Output {
    FILE *f;               // open; null once closed
    int dir;               // descriptor of the folder of the file replaced
    char target[leaf_size]; // the file replaced, in that folder
    char temp[leaf_size];  // the temporary; empty when written directly or in place
    char backup[leaf_size]; // the earlier file's hidden backup, during the commit
    bool at_close, closed, in_place, backup_by_rename;
    std::string name; // as named, for the caller's messages
};

Output outputs[max_outputs];
volatile sig_atomic_t output_count = 0;

// Folders of the results, each opened once (a run writes in one or two).
struct Folder {
    int fd;
    dev_t dev;
    ino_t ino;
};
std::vector<Folder> folders;

// ------------------------------------------------------------------ signals

void (*restore_hook)() = nullptr;

// Faults of the program itself end it too; the sanitizers of a test build
// report them with handlers of their own, which are left alone there.
constexpr int fault_signals[] = {
#if !defined(__SANITIZE_ADDRESS__)
    SIGSEGV, SIGBUS, SIGFPE, SIGILL,
#endif
    SIGABRT, SIGTRAP, SIGSYS};

// The signals sent to a run from outside, held back in the workers and
// while the registry changes.
const int sent_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,
                            SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,
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

// --------------------------------------------------------------- names

// A name no file of the folder has yet: ".LEAF.XXXXXX" with LEAF cut so as
// to fit the system's limit, and six letters or digits that differ from run
// to run and from name to name.
void temporary_name(const char *leaf, char *out)
{
    static uint64_t state = static_cast<uint64_t>(getpid()) << 32 ^
                            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
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

// A replaced result keeps the earlier file's owner and group (as far as
// the user may set them), its access control list and its mode. The list
// goes before the mode: setting it sets the group bits of the mode.
void keep_attributes(int fd, const std::string &earlier, const struct stat &st)
{
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // another user's group: the new file keeps the user's own
    }
#if defined(__linux__)
    static const char acl[] = "system.posix_acl_access";
    char value[4096];
    const ssize_t n = getxattr(earlier.c_str(), acl, value, sizeof value);
    if (n >= 0)
        fsetxattr(fd, acl, value, static_cast<size_t>(n), 0);
    else
        fremovexattr(fd, acl); // none: nor one inherited from the folder
#else
    (void)earlier;
#endif
    fchmod(fd, st.st_mode & 07777);
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

Output *find_output(FILE *f)
{
    for (int k = 0; k < output_count; k++)
        if (outputs[k].f == f)
            return &outputs[k];
    return nullptr;
}

// ------------------------------------------------------------------ commit

// Whether the user may rename a file of the folder: in a folder with the
// sticky bit, only the owner of the file or of the folder may.
bool may_replace(int dir, const struct stat &file)
{
    struct stat d;
    if (fstat(dir, &d) != 0 || (d.st_mode & S_ISVTX) == 0)
        return true;
    const uid_t me = geteuid();
    return me == 0 || file.st_uid == me || d.st_uid == me;
}

// Takes back results already put in place: each earlier file from its
// backup, each new file removed.
void take_back(const std::vector<Output *> &done)
{
    for (auto o = done.rbegin(); o != done.rend(); ++o) {
        Output &r = **o;
        if (r.backup[0] != '\0') {
            renameat(r.dir, r.backup, r.dir, r.target);
            r.backup[0] = '\0';
        } else {
            unlinkat(r.dir, r.target, 0);
        }
    }
}

void remove_backups(const std::vector<Output *> &set)
{
    for (Output *o : set)
        if (o->backup[0] != '\0') {
            unlinkat(o->dir, o->backup, 0);
            o->backup[0] = '\0';
        }
}

// Puts a set of closed results in place together (see outputs.h).
OutputStatus commit_set(std::vector<Output *> set, std::string &failed, int &err)
{
    if (set.empty())
        return output_ok;
    // One folder after another, always in the same order, so that two runs
    // cannot each hold the lock the other waits for.
    std::vector<int> dirs;
    for (Output *o : set)
        dirs.push_back(o->dir);
    std::sort(dirs.begin(), dirs.end(), [](int a, int b) {
        struct stat sa, sb;
        fstat(a, &sa);
        fstat(b, &sb);
        return sa.st_dev != sb.st_dev ? sa.st_dev < sb.st_dev : sa.st_ino < sb.st_ino;
    });
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    hold_signals();
    for (int d : dirs)
        while (flock(d, LOCK_EX) != 0 && errno == EINTR) {
        }

    OutputStatus status = output_ok;
    auto fail = [&](Output *o, int e) {
        failed = o->name;
        err = e;
        status = output_write_failed;
    };
    // Every file to replace is looked at and backed up before anything is
    // renamed: a hard link where the system makes one, else a rename just
    // before the replacement.
    for (Output *o : set) {
        struct stat st;
        o->backup[0] = '\0';
        o->backup_by_rename = false;
        if (fstatat(o->dir, o->target, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // no earlier file
        if (S_ISDIR(st.st_mode) || !may_replace(o->dir, st)) {
            fail(o, S_ISDIR(st.st_mode) ? EISDIR : EPERM);
            break;
        }
        temporary_name(o->target, o->backup);
        if (linkat(o->dir, o->target, o->dir, o->backup, 0) != 0)
            o->backup_by_rename = true;
    }
    std::vector<Output *> done;
    for (size_t k = 0; status == output_ok && k < set.size(); k++) {
        Output *o = set[k];
        if (o->backup_by_rename && renameat(o->dir, o->target, o->dir, o->backup) != 0) {
            fail(o, errno);
            o->backup[0] = '\0';
            break;
        }
        if (renameat(o->dir, o->temp, o->dir, o->target) != 0) {
            fail(o, errno);
            if (o->backup_by_rename)
                done.push_back(o); // its earlier file goes back
            break;
        }
        o->temp[0] = '\0';
        done.push_back(o);
    }
    if (status != output_ok)
        take_back(done);
    for (Output *o : set)
        if (o->backup_by_rename && status != output_ok)
            o->backup[0] = '\0'; // put back already, or never made
    remove_backups(set);

    for (int d : dirs)
        flock(d, LOCK_UN);
    release_signals();
    return status;
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

OutputStatus output_create(const std::string &path, const char *mode, bool at_close, FILE *&f, int &err)
{
    f = nullptr;
    err = 0;
    if (output_count >= max_outputs) {
        err = EMFILE;
        return output_cannot_create;
    }
    auto refused = [&](int e) {
        err = e;
        return e == ENAMETOOLONG ? output_too_long : output_cannot_create;
    };
    std::string target;
    if (const int e = resolve_links(path, target); e != 0)
        return refused(e);
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string leaf = target.substr(folder.size());
    if (leaf.size() >= leaf_size)
        return refused(ENAMETOOLONG);
    const int dir = folder_fd(folder);
    if (dir < 0)
        return refused(errno);

    Output o{};
    o.dir = dir;
    o.at_close = at_close;
    o.name = path;
    std::strcpy(o.target, leaf.c_str());
    struct stat st;
    const bool exists = fstatat(dir, o.target, &st, 0) == 0;
    if (!exists && errno != ENOENT)
        return refused(errno);
    // A directory, or a file the user may not write to, is left alone.
    if (exists && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && faccessat(dir, o.target, W_OK, AT_EACCESS) != 0)))
        return refused(S_ISDIR(st.st_mode) ? EISDIR : EACCES);

    const int flags = O_WRONLY | O_CLOEXEC;
    int fd = -1;
    if (exists && !S_ISREG(st.st_mode)) {
        fd = openat(dir, o.target, flags); // a device or a FIFO: written directly
    } else {
        // A plain create, so that the umask and the folder's default access
        // rules make the new file's permissions.
        for (int attempt = 0; attempt < 100; attempt++) {
            temporary_name(o.target, o.temp);
            hold_signals();
            fd = openat(dir, o.temp, flags | O_CREAT | O_EXCL, 0666);
            if (fd >= 0)
                add_output(o);
            release_signals();
            if (fd >= 0 || errno != EEXIST)
                break;
        }
        const int e = errno;
        if (fd < 0 && exists && (e == EACCES || e == EPERM || e == EROFS)) {
            // The folder refuses a temporary, the file itself may be written.
            o.temp[0] = '\0';
            o.in_place = true;
            fd = openat(dir, o.target, flags);
        }
        errno = e;
        if (fd >= 0 && exists && !o.in_place)
            keep_attributes(fd, target, st);
    }
    if (fd < 0)
        return refused(errno);
    Output &slot = o.temp[0] != '\0' ? outputs[output_count - 1] : add_output(o);
    f = fdopen(fd, mode);
    if (f == nullptr) {
        err = errno;
        close(fd);
        return output_cannot_create;
    }
    slot.f = f;
    return output_ok;
}

void output_begin()
{
    for (int k = 0; k < output_count; k++)
        if (outputs[k].in_place && outputs[k].f != nullptr && ftruncate(fileno(outputs[k].f), 0) != 0) {
            // written over from the start all the same
        }
}

OutputStatus output_close(FILE *&f, int &err)
{
    Output *o = find_output(f);
    int bad = std::ferror(f);
    bad |= std::fclose(f);
    err = errno;
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
            unlinkat(o.dir, o.temp, 0);
    }
    if (!from_signal)
        forget_outputs();
}

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

void hold_ending_signals()
{
    hold_signals();
}

void release_ending_signals()
{
    release_signals();
}

// The results of a run and the ending signals (outputs.h): the registry and
// the commit, written once over the system's calls (host.h).
//
// The life of a result: created (output_create: its temporary is open and
// in the registry, or the file itself for a device or a file written in
// place) -> closed (output_close: written whole, waiting for the commit) ->
// committed (output_commit: put in place with the others, the registry
// emptied) or discarded (output_discard, from a failure or a signal: its
// temporary removed). An at_close result is committed alone by its close.
// The commit of a set: lock the folders -> check and back up every file to
// replace -> rename each temporary in place -> on a failure, take back
// those already in place, the last first -> remove the backups -> unlock.
#include "outputs.h"
#include "files.h"
#include "host.h"
#include "words.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

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
    int dir;                // the folder of the file replaced, as host.open_folder gave it
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

void hold_signals()
{
    host.hold_signals();
}

void release_signals()
{
    host.release_signals();
}

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

// The system's side, over the host's calls: each returns 0 or an error
// number.

// The file replaced (the end of the links of `path`), its folder, and what
// stands there.
int locate(const std::string &path, Output &o, HostEntry &e)
{
    std::string target;
    if (const int bad = host.resolve(path, target); bad != 0)
        return bad;
    o.folder = folder_of(target);
    const std::string leaf = target.substr(o.folder.size());
    if (leaf.size() >= leaf_size)
        return ENAMETOOLONG;
    std::strcpy(o.target, leaf.c_str());
    if (const int bad = host.open_folder(o.folder, o.dir); bad != 0)
        return bad;
    return host.entry_at(o.dir, o.folder, o.target, e);
}

// A backup of the earlier file before any rename: a second name for it (the
// file stays in place meanwhile), or, where the system makes none, a name
// that the earlier file is moved to by its replacement. A name another run
// took meanwhile is drawn again, never written over.
void back_up(Output &o)
{
    for (int tries = 0; tries < 100; tries++) {
        temporary_name(o.target, o.backup);
        const int e = host.link(o.dir, o.folder, o.target, o.backup);
        if (e == 0)
            return;
        if (e != EEXIST)
            break;
    }
    o.backup_by_rename = true;
}

// The temporary onto the file.
int put_in_place(Output &o)
{
    if (!o.backup_by_rename)
        return host.rename(o.dir, o.folder, o.temp, o.target);
    bool backed_up = false;
    const int e = host.replace(o.dir, o.folder, o.temp, o.target, o.backup, backed_up);
    if (!backed_up)
        o.backup[0] = '\0'; // nothing was moved aside
    return e;
}

// The earlier file back, or the new one removed.
void take_back(Output &o)
{
    if (o.backup[0] != '\0') {
        host.rename(o.dir, o.folder, o.backup, o.target);
        o.backup[0] = '\0';
    } else {
        host.remove(o.dir, o.folder, o.target);
    }
}

void remove_leaf(Output &o, const char *leaf)
{
    host.remove(o.dir, o.folder, leaf);
}

void lock_folders(const std::vector<Output *> &set, bool lock)
{
    std::vector<HostFolder> folders;
    for (const Output *o : set)
        folders.push_back({o->dir, o->folder});
    host.lock(folders, lock);
}

void forget_outputs()
{
    hold_signals();
    output_count = 0;
    release_signals();
    host.close_folders();
}

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
        const int e = host.may_replace(o->dir, o->folder, o->target, exists);
        if (e == 0 && exists)
            back_up(*o);
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
    HostEntry e{};
    if (const int bad = locate(path, o, e); bad != 0)
        return refused(bad);
    // A directory, or a file the user may not write to, is left alone.
    if (e.directory || (e.regular && !e.writable))
        return refused(e.directory ? EISDIR : EACCES);

    int fd = -1, bad = 0;
    if (e.exists && !e.regular) {
        bad =
            host.open_write(o.dir, o.folder, o.target, host_open_existing, fd); // a device or a FIFO: written directly
    } else {
        for (int attempt = 0; attempt < 100; attempt++) {
            temporary_name(o.target, o.temp);
            hold_signals();
            bad = host.open_write(o.dir, o.folder, o.temp, host_open_new, fd);
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
            bad = host.open_write(o.dir, o.folder, o.target, host_open_existing, fd);
        }
        if (bad == 0 && e.exists && !o.in_place)
            host.keep_attributes(o.dir, o.folder, o.target, fd);
    }
    if (bad != 0)
        return refused(bad);
    Output &slot = o.temp[0] != '\0' ? outputs[output_count - 1] : add_output(o);
    f = host.stream(fd, mode);
    if (f == nullptr) {
        err = errno;
        host.close_fd(fd);
        return output_cannot_create;
    }
    slot.f = f;
    return output_ok;
}

void output_begin()
{
    for (int k = 0; k < output_count; k++)
        if (outputs[k].in_place && outputs[k].f != nullptr)
            host.truncate(outputs[k].f);
}

OutputStatus output_close(FILE *&f, int &err)
{
    Output *o = find_output(f);
    // What the stream holds yet is written by the flush: a full disk is
    // seen there or at the close.
    const bool unwritten = std::ferror(f) != 0;
    int e = host.flush(f);
    if (const int closed = host.close(f); e == 0)
        e = closed;
    const int bad = unwritten || e != 0;
    err = !bad ? 0 : e != 0 ? e : EIO;
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
            host.close(o.f);
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

namespace {

void on_ending_signal()
{
    if (restore_hook != nullptr)
        restore_hook();
    output_discard(true);
}

} // namespace

void catch_ending_signals(void (*restore)())
{
    restore_hook = restore;
    host.catch_signals(on_ending_signal);
}

std::string output_refusal(OutputStatus status, const std::string &path)
{
    switch (status) {
    case output_ok:
        break;
    case output_too_long:
        return strf("\n\tFile %s: the name is too long for the system\n", path.c_str());
    case output_cannot_create:
    case output_write_failed:
        return strf("\n\tFile %s cannot be created\n", path.c_str());
    }
    return "";
}

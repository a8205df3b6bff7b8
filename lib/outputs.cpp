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

#include <algorithm>
#include <cctype>
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
    int64_t written;  // what the disk was asked to write so far (output_write_back)
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

// Letters or digits that differ from run to run and from call to call.
void random_letters(char *out, int count)
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
    for (int k = 0; k < count; k++, z /= 62)
        out[k] = letters[z % 62];
    out[count] = '\0';
}

// ------------------------------------------------------------ the run's files
//
// Every file a run makes in a folder carries the run's tag, so that the
// next run knows it: ".quarvelin-TAG" is the run's mark in that folder
// (made before its first temporary, held while the run lives, removed
// last), ".quarvelin-TAG.journal" the journal of its commit, and
// ".LEAF.quarvelin-TAG.XXXXXX" its temporaries and backups.

constexpr int tag_size = 8, suffix_size = 6;
const char tag_prefix[] = ".quarvelin-";
constexpr size_t prefix_size = sizeof tag_prefix - 1;
const char journal_suffix[] = ".journal";

const char *run_tag()
{
    static char tag[tag_size + 1] = "";
    if (tag[0] == '\0')
        random_letters(tag, tag_size);
    return tag;
}

std::string mark_leaf(const std::string &tag)
{
    return tag_prefix + tag;
}

std::string journal_leaf(const std::string &tag)
{
    return mark_leaf(tag) + journal_suffix;
}

bool is_word(const std::string &s, size_t from, size_t count)
{
    for (size_t k = from; k < from + count; k++)
        if (!std::isalnum(static_cast<unsigned char>(s[k])))
            return false;
    return true;
}

// Whether `name` is a file of a run (a mark, a journal, a temporary or a
// backup), and the run's tag.
bool run_file(const std::string &name, std::string &tag)
{
    const size_t temp_tail = prefix_size + tag_size + 1 + suffix_size, n = name.size();
    if (n > temp_tail && name.compare(n - temp_tail, prefix_size, tag_prefix) == 0 &&
        name[n - suffix_size - 1] == '.' && is_word(name, n - temp_tail + prefix_size, tag_size) &&
        is_word(name, n - suffix_size, suffix_size)) {
        tag = name.substr(n - temp_tail + prefix_size, tag_size);
        return true;
    }
    if (n < prefix_size + tag_size || name.compare(0, prefix_size, tag_prefix) != 0 ||
        !is_word(name, prefix_size, tag_size))
        return false;
    tag = name.substr(prefix_size, tag_size);
    return n == prefix_size + tag_size || name.substr(prefix_size + tag_size) == journal_suffix;
}

// A name no file of the folder has yet: ".LEAF.quarvelin-TAG.XXXXXX" with
// LEAF cut so as to fit the system's limit, and six letters or digits that
// differ from name to name.
void temporary_name(const char *leaf, char *out)
{
    char suffix[suffix_size + 1];
    random_letters(suffix, suffix_size);
    std::snprintf(out, leaf_size, ".%.200s%s%s.%s", leaf, tag_prefix, run_tag(), suffix);
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

// ------------------------------------------------ marks, journals, recovery

// The folders this run has marked, in a fixed table (the handler of an
// ending signal removes the marks).
struct Mark {
    int dir;
    std::string folder;
    intptr_t handle;
};

Mark marks[max_outputs];
volatile sig_atomic_t mark_count = 0;
char mark_name[prefix_size + tag_size + 1]; // this run's, made with its first mark

bool same_folder(int dir_a, const std::string &a, int dir_b, const std::string &b)
{
    return dir_a >= 0 ? dir_a == dir_b : a == b;
}

// One result of a commit, as its journal names it.
struct Entry {
    std::string target, temp, backup;
};

// The journal of a commit: a first line, each entry's three names ended by
// a zero byte, a last line. Without its last line, it was cut before the
// first rename.
const char journal_head[] = "quarvelin journal\n", journal_end[] = "end\n";

bool read_journal(const std::string &folder, const std::string &leaf, std::vector<Entry> &entries)
{
    FILE *f = nullptr;
    if (input_open(folder + leaf, f) != input_ok)
        return false;
    std::string text;
    const bool read = read_text(f, text, size_t(1) << 20);
    host.close(f);
    if (!read)
        return false;
    const size_t head = sizeof journal_head - 1, end = sizeof journal_end - 1;
    if (text.size() < head + end || text.compare(0, head, journal_head) != 0 ||
        text.compare(text.size() - end, end, journal_end) != 0)
        return false;
    std::vector<std::string> names;
    for (size_t at = head, stop = text.size() - end; at < stop;) {
        const size_t zero = text.find('\0', at);
        if (zero == std::string::npos || zero >= stop)
            return false;
        names.push_back(text.substr(at, zero - at));
        at = zero + 1;
    }
    if (names.size() % 3 != 0)
        return false;
    for (size_t k = 0; k < names.size(); k += 3)
        entries.push_back({names[k], names[k + 1], names[k + 2]});
    return true;
}

// Puts the folder of a dead run's commit back as it was before it, or
// completes it when every result is in place, then removes the run's files:
// the journal after the folder is whole, the mark last.
void recover_run(int dir, const std::string &folder, const std::string &tag, const std::vector<std::string> &names)
{
    const auto has = [&](const std::string &name) {
        return !name.empty() && std::find(names.begin(), names.end(), name) != names.end();
    };
    const std::string journal = journal_leaf(tag);
    std::vector<Entry> entries;
    // A journal names only the run's own temporaries and backups, and files
    // of this folder: another name is not one this run may act on.
    const auto own = [&](const std::string &name) {
        std::string t;
        return name.empty() || (run_file(name, t) && t == tag);
    };
    const auto leaf = [](const std::string &name) {
        return !name.empty() && name != "." && name != ".." && name.find_first_of(host_separators) == std::string::npos;
    };
    if (has(journal) && read_journal(folder, journal, entries) &&
        std::all_of(entries.begin(), entries.end(),
                    [&](const Entry &e) { return leaf(e.target) && own(e.temp) && own(e.backup); })) {
        const bool whole = std::none_of(entries.begin(), entries.end(), [&](const Entry &e) { return has(e.temp); });
        for (const Entry &e : entries) {
            if (whole)
                break;
            HostEntry t{};
            if (!has(e.temp) && has(e.backup))
                host.rename(dir, folder, e.backup.c_str(), e.target.c_str()); // the earlier file back
            else if (!has(e.temp) && e.backup.empty())
                host.remove(dir, folder, e.target.c_str()); // a result that had no earlier file
            else if (has(e.backup) && host.entry_at(dir, folder, e.target.c_str(), t) == 0 && !t.exists)
                host.rename(dir, folder, e.backup.c_str(), e.target.c_str()); // moved aside, not yet replaced
        }
        host.sync_folder(dir, folder);
    }
    std::string t;
    if (has(journal))
        host.remove(dir, folder, journal.c_str());
    for (const std::string &name : names)
        if (run_file(name, t) && t == tag && name != journal && name != mark_leaf(tag))
            host.remove(dir, folder, name.c_str());
    host.remove(dir, folder, mark_leaf(tag).c_str());
    host.sync_folder(dir, folder);
}

// The files of every dead run in the folder, found by their marks: the
// lock of the folder is held, and a mark still held is a live run's (this
// one's too).
void recover_folder(int dir, const std::string &folder)
{
    std::vector<std::string> names;
    if (host.list(dir, folder, names) != 0)
        return;
    std::string tag;
    for (const std::string &name : names) {
        HostEntry mark{};
        // The dead runs of this user only: another's are not this run's to
        // put back.
        if (run_file(name, tag) && name == mark_leaf(tag) && host.entry_at(dir, folder, name.c_str(), mark) == 0 &&
            mark.mine && !host.mark_held(dir, folder, name.c_str()))
            recover_run(dir, folder, tag, names);
    }
}

// Marks the folder of o as this run's, once, before its first temporary
// there; the dead runs' files are recovered first, under the same lock.
void mark_folder(const Output &o)
{
    for (int k = 0; k < mark_count; k++)
        if (same_folder(marks[k].dir, marks[k].folder, o.dir, o.folder))
            return;
    if (mark_count >= max_outputs)
        return;
    const std::vector<HostFolder> folder = {{o.dir, o.folder}};
    host.lock(folder, true);
    recover_folder(o.dir, o.folder);
    intptr_t handle = 0;
    std::snprintf(mark_name, sizeof mark_name, "%s", mark_leaf(run_tag()).c_str());
    if (host.make_mark(o.dir, o.folder, mark_name, handle) == 0) {
        hold_signals();
        marks[mark_count] = {o.dir, o.folder, handle};
        mark_count = mark_count + 1;
        release_signals();
    }
    host.lock(folder, false);
}

// Lets the marks go and removes them: the run has no file left there.
// Safe in a signal handler.
void remove_marks()
{
    for (int k = 0; k < mark_count; k++) {
        host.close_mark(marks[k].handle);
        host.remove(marks[k].dir, marks[k].folder, mark_name);
    }
    mark_count = 0;
}

// Writes and flushes the journal of the results of `set` in the folder of
// `first`, before any of them is renamed.
int write_journal(const Output &first, const std::vector<Output *> &set)
{
    std::string text = journal_head;
    for (const Output *o : set)
        if (same_folder(o->dir, o->folder, first.dir, first.folder))
            for (const char *name : {o->target, o->temp, o->backup})
                text.append(name, std::strlen(name) + 1);
    text += journal_end;
    const std::string leaf = journal_leaf(run_tag());
    int fd = -1;
    host.remove(first.dir, first.folder, leaf.c_str()); // an earlier commit's of this run
    if (const int e = host.open_write(first.dir, first.folder, leaf.c_str(), host_open_new, fd); e != 0)
        return e;
    FILE *f = host.stream(fd, "wb");
    if (f == nullptr) {
        host.close_fd(fd);
        return EIO;
    }
    int e = std::fwrite(text.data(), 1, text.size(), f) == text.size() ? 0 : EIO;
    if (const int flushed = host.flush(f); e == 0)
        e = flushed;
    if (const int synced = host.sync(f); e == 0)
        e = synced;
    if (const int closed = host.close(f); e == 0)
        e = closed;
    if (e == 0)
        e = host.sync_folder(first.dir, first.folder);
    return e;
}

// The first result of each folder of the set.
std::vector<Output *> folders_of(const std::vector<Output *> &set)
{
    std::vector<Output *> firsts;
    for (Output *o : set)
        if (std::none_of(firsts.begin(), firsts.end(),
                         [&](const Output *f) { return same_folder(f->dir, f->folder, o->dir, o->folder); }))
            firsts.push_back(o);
    return firsts;
}

void forget_outputs()
{
    remove_marks();
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
    // The journal of each folder is on the disk before the first rename.
    const std::vector<Output *> folders = folders_of(set);
    std::vector<Output *> journaled;
    for (Output *first : folders) {
        if (status != output_ok)
            break;
        if (const int e = write_journal(*first, set); e != 0) {
            failed = first->name;
            err = e;
            status = output_write_failed;
        }
        journaled.push_back(first); // a journal cut short is removed all the same
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
    // The renames are on the disk before the backups go.
    for (Output *first : folders)
        host.sync_folder(first->dir, first->folder);
    for (Output *o : set)
        if (o->backup[0] != '\0') {
            remove_leaf(*o, o->backup);
            o->backup[0] = '\0';
        }
    for (Output *first : journaled)
        remove_leaf(*first, journal_leaf(run_tag()).c_str());
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
        mark_folder(o);
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
    // The data of a file to be renamed is on the disk before the rename.
    if (e == 0 && !unwritten && o != nullptr && (o->temp[0] != '\0' || o->in_place))
        e = host.sync(f);
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
    if (from_signal)
        remove_marks();
    else
        forget_outputs();
}

void output_recover(const std::string &folder)
{
    int dir = -1;
    if (host.open_folder(folder, dir) != 0)
        return;
    const std::vector<HostFolder> set = {{dir, folder}};
    host.lock(set, true);
    recover_folder(dir, folder);
    host.lock(set, false);
}

void output_write_back(FILE *f)
{
    Output *o = find_output(f);
    if (o == nullptr || o->temp[0] == '\0' || std::fflush(f) != 0)
        return; // a failed write is seen at the close
    o->written = host.write_back(f, o->written);
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

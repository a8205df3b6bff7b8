// The table of system calls the host units make (files, outputs, console,
// room): every call that reaches the operating system goes through `host`,
// one plain struct of function pointers. host_posix.cpp fills it on POSIX
// systems and host_win32.cpp on Windows; the build compiles one of the two.
// files.cpp, outputs.cpp, console.cpp and room.cpp hold the logic that is
// the same on both (the read and write loops, the registry and the commit,
// the scanner of answers, the arithmetic of the control groups) and call
// the system through this table only.
//
// The fault seam: an entry may be swapped for another of the same type (a
// test's, one that fails on its Nth call), and swapped back; the units see
// the failure as they would see the system's. Swap entries only while no
// other thread calls them.
//
// Conventions: an entry that returns int returns 0 on success, or the
// system's error number, as errno names it (a Windows error is translated:
// a full disk is ENOSPC, a name too long ENAMETOOLONG, an existing name
// EEXIST, anything else refused EACCES). Nothing here prints or exits.
//
// A folder is named twice: by its path (ended by its separator, or empty
// for the working folder) and by the descriptor open_folder gave for it
// (POSIX: every call reaches the file through it, so that the folder may be
// renamed meanwhile; Windows: -1, the path is used). `leaf` is a file's
// name within its folder.
#ifndef QUARVELIN_HOST_H
#define QUARVELIN_HOST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What stands at a name, as entry_at sees it.
struct HostEntry {
    bool exists, directory, regular, writable;
    bool mine; // the user's own (Windows: every file the user may reach)
};

// A folder a commit locks: its descriptor and its path.
struct HostFolder {
    int dir;
    std::string path;
};

// How a result file is opened by open_write.
enum HostOpen {
    host_open_existing, // the file there, written over (a device, a FIFO, a file written in place)
    host_open_new       // a new file, none of that name yet (EEXIST), as a plain create makes one
};

struct HostCalls {
    // ---- files a run reads
    // Opens a file for reading: 0 with f and whether it is a regular file
    // (f is then null when it is not); ENOENT, ENAMETOOLONG or another error.
    int (*open_read)(const std::string &path, FILE *&f, bool &regular);
    // The size of the regular file open as f; -1 for anything else.
    int64_t (*file_size)(FILE *f);
    // One read or write at an offset, without moving the position of f: 0
    // with the bytes moved in `done` (0 at the end of the file), or an error.
    int (*read_at)(FILE *f, void *buf, size_t bytes, int64_t offset, size_t &done);
    int (*write_at)(FILE *f, const void *buf, size_t bytes, int64_t offset, size_t &done);
    // The regular file open as f mapped whole, read-only, a zero byte after
    // it; null when it cannot be. map_was_cut: the file shrank meanwhile.
    const char *(*map)(FILE *f, size_t &size);
    void (*unmap)(const char *text, size_t size);
    bool (*map_was_cut)();
    // The temporary folder of the system ($TMPDIR or /tmp; %TEMP%), ended by
    // its separator; empty when it has none.
    std::string (*temp_folder)();
    // A scratch file with no name, for reading and writing, in `folder`
    // (`temp`: the one temp_folder names): 0 with f, or an error.
    int (*make_scratch)(const std::string &folder, bool temp, FILE *&f);

    // ---- results (see outputs.h)
    // The file that writing to `path` reaches, at the end of its symbolic
    // links; ENAMETOOLONG for a path beyond the system's limits.
    int (*resolve)(const std::string &path, std::string &target);
    // The descriptor of a folder, opened once and kept until close_folders.
    int (*open_folder)(const std::string &folder, int &dir);
    void (*close_folders)();
    // What stands at leaf (no such file: 0 with exists false).
    int (*entry_at)(int dir, const std::string &folder, const char *leaf, HostEntry &e);
    // May the file at leaf be replaced by a rename (0: it may, or there is
    // none)? exists says whether there is one.
    int (*may_replace)(int dir, const std::string &folder, const char *leaf, bool &exists);
    // Opens leaf for writing as a C descriptor.
    int (*open_write)(int dir, const std::string &folder, const char *leaf, HostOpen how, int &fd);
    // The descriptor of a result as a stream in the fopen mode `mode`; null
    // with errno set when it cannot be.
    FILE *(*stream)(int fd, const char *mode);
    int (*close_fd)(int fd);
    // Gives the new file open as fd the owner, group, mode and access rules
    // of the file at leaf, as far as the user may.
    void (*keep_attributes)(int dir, const std::string &folder, const char *leaf, int fd);
    // Empties the file open as f.
    int (*truncate)(FILE *f);
    // Pushes what f holds to the system, and closes it.
    int (*flush)(FILE *f);
    int (*close)(FILE *f);
    // A second name `to` for the file at `from` (ENOSYS where the system
    // makes none: the commit then backs up by replace).
    int (*link)(int dir, const std::string &folder, const char *from, const char *to);
    // Renames from to to, over any file of that name.
    int (*rename)(int dir, const std::string &folder, const char *from, const char *to);
    // Puts `from` in the place of `target`, the earlier target kept as
    // `backup`; backed_up says whether the earlier file was moved there.
    int (*replace)(int dir, const std::string &folder, const char *from, const char *target, const char *backup,
                   bool &backed_up);
    int (*remove)(int dir, const std::string &folder, const char *leaf);
    // Takes (or, with lock false, gives back) the commit locks of the
    // folders, always in the same order.
    void (*lock)(const std::vector<HostFolder> &folders, bool lock);
    // Pushes the data of the file open as f, its size with it, to the disk
    // (after a flush): 0, or the error of the disk.
    int (*sync)(FILE *f);
    // Starts the disk's writing of what f holds from `from` to its position,
    // without waiting for it; returns that position (from, where the system
    // starts none).
    int64_t (*write_back)(FILE *f, int64_t from);
    // Pushes the names of the folder (its creates, renames and removes) to
    // the disk: 0, or an error (where the system does it at each rename: 0).
    int (*sync_folder)(int dir, const std::string &folder);
    // The names of the files of the folder.
    int (*list)(int dir, const std::string &folder, std::vector<std::string> &names);
    // Makes the new file leaf the mark of this run, held while the process
    // lives (the system lets it go when the process ends, however it ends):
    // 0 with its handle, or an error. close_mark lets it go.
    int (*make_mark)(int dir, const std::string &folder, const char *leaf, intptr_t &mark);
    void (*close_mark)(intptr_t mark);
    // Whether the mark at leaf is held by a live process, this one
    // included (true as well when it cannot be known).
    bool (*mark_held)(int dir, const std::string &folder, const char *leaf);

    // ---- ending signals (see outputs.h)
    // Holds back the signals sent from outside in the calling thread (nested).
    void (*hold_signals)();
    void (*release_signals)();
    // Catches every ending signal: `on_end` is called, then the program
    // ends as the signal would have ended it.
    void (*catch_signals)(void (*on_end)());

    // ---- console
    // Standard output as binary, until the program ends.
    void (*console_begin)();
    // At a console (Windows): one line typed, as UTF-8, its line end kept;
    // an empty line at the end of the input. ENOTTY when standard input is
    // no console: its bytes are then read as they are.
    int (*read_console)(std::string &line);
    // The bytes of an answer that is no UTF-8, in the console's input code
    // page, as UTF-8 (POSIX: the bytes as they are), and back.
    std::string (*from_code_page)(const std::string &bytes);
    std::string (*to_code_page)(const std::string &utf8);
    // At a console (Windows): writes the UTF-8 text as the characters it
    // names, whatever the code page. ENOTTY when standard output is no
    // console: the text is then written as bytes.
    int (*write_console)(const std::string &utf8);
    // Whether this system's text files end at a Ctrl-Z byte that starts a
    // line, and take the frame of the banner in code page 437 bytes
    // (Windows) rather than UTF-8.
    bool (*windows_text)();
    // The value of an environment variable as UTF-8 (POSIX: its bytes);
    // empty when it is unset.
    std::string (*environment)(const char *name);
    // Answers read from `in` are taken byte for byte (no end at a Ctrl-Z).
    void (*binary_input)(FILE *in);
    // Whether f is standard input and a terminal.
    bool (*is_terminal)(FILE *f);
    // One whole key press at the terminal, after dropping what was typed
    // ahead (see console.h).
    void (*key_wait)();
    // The terminal (and code page) as before; safe in a signal handler.
    void (*restore_terminal)();

    // ---- room
    // The machine's available memory in bytes; -1 when it cannot be read.
    double (*machine_memory)();
    // Limits on this process's memory, each the room it leaves in bytes, or
    // -1 for none: its group's (control group, job object) and its address
    // space's.
    double (*group_memory)();
    double (*address_room)();
    // The processors of the affinity mask (0 when it cannot be read), and
    // the processors' time the control groups allow (-1: no limit).
    int (*affinity_processors)();
    double (*processor_quota)();
    // The room a worker thread's stack takes from the limits above, in bytes.
    double (*thread_stack)();
};

// The separators of the folders of a path on this system, the one written
// first (files.h names it path_separator).
extern const char host_separators[];

// The calls of this system, and the table in use (a copy of it, or a test's).
extern const HostCalls host_system;
extern HostCalls host;

#endif

// The files a run reads: the root of every folder and the separator of
// paths; the model and its descriptor, opened only when they are regular
// files; reads at 64-bit offsets, safe from several threads at once; the
// model mapped whole; and the scratch copy that an ASCII model read line by
// line keeps its elevations in.
//
// Nothing here prints or exits; failures come back as statuses, with the
// system's error number where the caller says why.
#ifndef QUARVELIN_FILES_H
#define QUARVELIN_FILES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The separator of the folders of a path on this system.
extern const char path_separator[];

// The folder of a path, ended by its separator; empty for a bare name.
std::string folder_of(const std::string &path);

// Root directory of every folder: $QUARVELIN_ROOT, ended by a separator
// when it is not, or "images" and a separator under the working directory.
std::string root_directory();

// Opens a model or a descriptor file for reading, as f. Anything but a
// regular file (a directory, a device, a FIFO) is refused without waiting;
// a symbolic link to a regular file is that file.
enum InputStatus {
    input_ok = 0,
    input_absent,     // no such file
    input_unreadable, // it exists but cannot be opened (permissions)
    input_too_long,   // the path is too long for the system
    input_not_regular // not a regular file
};
InputStatus input_open(const std::string &path, FILE *&f);
// What the program tells of the path that opened with `status`: "" when
// that is no failure (input_ok, or input_absent when `unknown` is null);
// `unknown`, a format of the path, tells an absent or unopenable file.
std::string input_refusal(InputStatus status, const std::string &path, const char *unknown);

// The size in bytes of the regular file open as f; -1 for anything else.
int64_t file_size(FILE *f);

// Reads `bytes` bytes at `offset` of f without moving its position; false
// when the file ends before them or a read fails.
bool read_at(FILE *f, void *buf, size_t bytes, int64_t offset);

// The text of the file open as f, its first `most` bytes at most; false
// when they could not be read.
bool read_text(FILE *f, std::string &text, size_t most);

// Writes `bytes` bytes at `offset` of f; false with the error in err.
bool write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, int &err);

// The regular file open as f mapped whole, read-only, with at least one zero
// byte after its last one; null (nothing mapped) when it cannot be. A file
// cut short while it is mapped reads as zeros past its new end, and
// map_was_cut() then says so (before unmap_whole), instead of the program
// dying of a bus error.
const char *map_whole(FILE *f, size_t &size);
void unmap_whole(const char *text, size_t size);
bool map_was_cut();

// A scratch file for reading and writing, with no name: in the folder of
// `beside` (a path), or when that folder refuses, in the temporary folder
// ($TMPDIR, else /tmp; %TEMP% on Windows). Null when neither can hold one;
// err then says why the temporary folder refused. `where` is the folder of
// the scratch file, or the temporary folder when there is none.
FILE *scratch_open(const std::string &beside, std::string &where, int &err);

// Why a write failed, in words, from its error number: a full disk, a
// quota, the file-size limit, or the system's own text.
std::string write_failure(int err);

#endif

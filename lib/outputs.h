// The results of a run, put in place together or not at all, and the
// signals that end a run.
//
// Each result is written to a temporary file beside the file it will
// replace (".NAME.XXXXXX", in the folder of NAME, reached through that
// folder's descriptor, so that the folder may be renamed meanwhile), and the
// results are put in place by one commit when the run is complete:
// - before the first rename, every file to replace is checked and kept as a
//   hidden backup; when a rename fails anyway, every result already put in
//   place is taken back, so the folder holds the earlier results, whole;
// - the commits of runs writing in the same folder take turns (a lock on the
//   folder itself), so the last run to commit wins whole; a folder that may
//   be written but not listed cannot be locked, and there runs do not wait
//   for each other;
// - a new result is made as a plain file would be (the umask, the folder's
//   default access rules); a replaced one keeps its mode, owner, group and
//   access control list as far as the user may set them;
// - a result name that is a symbolic link replaces the file the link leads
//   to, and the link stays;
// - a device or a FIFO of that name is written directly, and never removed;
// - a file the user may write to, in a folder that refuses a temporary, is
//   written in place: emptied when the writing starts (output_begin), so not
//   replaced whole.
//
// - no rename can leave a mix: before the first, a journal naming every
//   temporary and backup of the commit is on the disk, and the next run that
//   opens the folder (output_recover, or its first result there) finds the
//   journal of a run that died: it puts the earlier set back from the
//   backups, or, when every new result is in place, completes the commit;
// - every file of a run carries its tag (".LEAF.quarvelin-TAG.XXXXXX", the
//   journal ".quarvelin-TAG.journal") and its folder the run's mark
//   ".quarvelin-TAG", held while the run lives: the next run removes the
//   files of a run whose mark nobody holds, never those of a live run;
// - each result's data is on the disk before its rename (the write-back of
//   its bands started as they are written, output_write_back), and the
//   folder's names after the renames.
//
// The cleanup list is the list of temporaries: a failure, the end of the
// input or an ending signal removes them (output_discard). Every signal
// whose default action ends the program is caught (but those that cannot
// be): the handler removes the temporaries, calls the caller's restore
// function (the terminal) and ends the program by the same signal. A
// signal ignored at the start (nohup) stays ignored; the file-size limit
// makes a write fail (EFBIG) instead of ending the program.
//
// Nothing here prints or exits; failures come back as statuses with the
// system's error number.
#ifndef QUARVELIN_OUTPUTS_H
#define QUARVELIN_OUTPUTS_H

#include <cstdio>
#include <string>

enum OutputStatus {
    output_ok = 0,
    output_too_long,      // the name is beyond the system's limits
    output_cannot_create, // no such folder, no permission, a directory or a protected file
    output_write_failed   // a write, a close or the commit failed
};

// Creates the result `path` for writing, as f, in the fopen mode "w" or
// "wb". With `at_close`, output_close puts it in place by itself.
OutputStatus output_create(const std::string &path, const char *mode, bool at_close, FILE *&f, int &err);
// What the program tells of the result `path` that was created with
// `status`: "" for output_ok.
std::string output_refusal(OutputStatus status, const std::string &path);

// Empties the results written in place, just before the results are written.
void output_begin();

// Closes a finished result (f becomes null); write_failed when a write or
// the close failed, or when an at_close result cannot be put in place.
OutputStatus output_close(FILE *&f, int &err);

// Puts every closed result in place, together. On failure `failed` is the
// path of the result that could not be, and every earlier file is as it was.
OutputStatus output_commit(std::string &failed, int &err);

// Closes every result and removes every temporary: the way out of a run
// that fails. Safe in a signal handler when `from_signal`.
void output_discard(bool from_signal = false);

// Recovers the files of the dead runs in `folder` (ended by its separator):
// called by a run when it learns the folder it reads and writes in.
void output_recover(const std::string &folder);

// Starts the disk's writing of what the result f holds so far.
void output_write_back(FILE *f);

// Catches the ending signals; `restore` is called by the handler first.
void catch_ending_signals(void (*restore)());

// Holds the ending signals sent from outside back in the calling thread,
// until as many releases as holds; threads started meanwhile hold them for
// good, so that the thread that started them alone handles them.
void hold_ending_signals();
void release_ending_signals();

#endif

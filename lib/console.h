// The console: the answers the dialogue reads, the wait for one key press,
// and the terminal settings that the wait changes and every way out of the
// program restores.
//
// Answers are whitespace-separated words from standard input, or from a
// stream the caller names; a byte-order mark (EF BB BF) at the very start of
// the input is no part of the first answer. A word is returned whole, zero
// bytes included; a word longer than 1 MiB is cut there (it is no number and
// no usable name, and the rest of it must not fill the memory).
//
// The key wait reads one key from the terminal without echo and without
// line buffering, after dropping what was typed ahead; the whole key is read,
// so that the rest of a key that sends several bytes (F1, an arrow) is not
// left for the shell. Stopped (Ctrl-Z) and continued during the wait, the
// program sets single-key input again. When the answers do not come from a
// terminal, the wait takes one byte of what remains of them, if any, and
// never waits at their end.
//
// Nothing here prints or exits; standard output is flushed before reading.
#ifndef QUARVELIN_CONSOLE_H
#define QUARVELIN_CONSOLE_H

#include <cstdio>
#include <string>

// Readies the console for a run: on Windows, standard output in binary mode
// (a transcript holds the same bytes as on other systems) and the console
// showing UTF-8 (the frame of the banner), until the program ends.
void console_begin();

// The stream the answers come from from now on (standard input at start);
// nothing read ahead of the earlier stream is kept.
void console_answers_from(FILE *in);

// The next answer; false at the end of the input.
bool console_next_answer(std::string &word);

// One key press, as described above.
void console_key_wait();

// Puts the terminal back as it was before a key wait, if one changed it.
// Safe in a signal handler.
void console_restore_terminal();

#endif

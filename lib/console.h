// The console: the answers the dialogue reads, the wait for one key press,
// and the terminal settings that the wait changes and every way out of the
// program restores.
//
// Answers are whitespace-separated words from standard input, or from a
// stream the caller names; a byte-order mark (EF BB BF) at the very start of
// the input is no part of the first answer. Names are UTF-8 within the
// program: at a Windows console the answers are read as Unicode; from a
// file or pipe, an answer that is valid UTF-8 is taken as it is, and one
// that is not is taken in the console's input code page (on POSIX systems
// its bytes are kept). On Windows, a Ctrl-Z at the start of a line (typed,
// then Enter, or a byte of a file) ends the answers. A word is returned whole, zero
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
// (a transcript holds the same bytes as on other systems).
void console_begin();

// Writes text that may name files (UTF-8) on standard output: at a Windows
// console as the characters it names; elsewhere as bytes, in the code page
// of the answers when they came in one.
void console_say(const std::string &text);

// Writes a frame of the banner (UTF-8 box characters): at a Windows console
// as the characters; in a Windows file or pipe as the single bytes of code
// page 437, which show right at code pages 437 and 850; on POSIX systems as
// UTF-8.
void console_frame(const std::string &text);

// The double-line box characters of text in code page 437 bytes.
std::string box_in_code_page_437(const std::string &text);

// Whether [b, e) is UTF-8: no overlong form, no surrogate, nothing beyond
// U+10FFFF.
bool valid_utf8(const char *b, const char *e);

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

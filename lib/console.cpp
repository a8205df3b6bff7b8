// The console (console.h): answers through the word scanner, and the key
// wait on a POSIX terminal or a Windows console.
#include "console.h"

#include "words.h"

#include <csignal>
#include <cstdlib>

#if defined(_WIN32)
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// The answers: one scanner over the answer stream, a line at a time so that
// an answer typed at a terminal is taken as soon as Enter is pressed.
constexpr size_t longest_answer = size_t(1) << 20;
char answer_block[longest_answer + 1];
FILE *answer_stream = nullptr;
WordScanner answers;
bool answers_at_start = false; // the stream was at its start when taken

void take_answers(FILE *in)
{
    answer_stream = in;
    scan_stream(answers, in, answer_block, sizeof answer_block, true);
    // A stream that cannot tell its place (a pipe, a terminal) is taken to
    // be at its start.
    const long at = std::ftell(in);
    answers_at_start = at <= 0;
#if defined(_WIN32)
    // A Ctrl-Z byte in an answers file does not end the answers.
    if (in == stdin)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
}

FILE *answer_source()
{
    if (answer_stream == nullptr)
        take_answers(stdin);
    return answer_stream;
}

} // namespace

void console_answers_from(FILE *in)
{
    take_answers(in);
}

bool console_next_answer(std::string &word)
{
    answer_source();
    std::fflush(stdout);
    const char *b, *e;
    for (;;) {
        if (!next_word(answers, b, e))
            return false;
        // The mark counts only at the very first byte of the input.
        const bool first = answers_at_start && answers.consumed + (b - answers.buf) == 0;
        if (first && e - b >= 3 && b[0] == '\xEF' && b[1] == '\xBB' && b[2] == '\xBF') {
            b += 3;
            if (b == e)
                continue; // the mark alone, before a blank
        }
        answers_at_start = false;
        word.assign(b, e);
        return true;
    }
}

#if defined(_WIN32)

namespace {

UINT code_page_before = 0;

void restore_code_page()
{
    if (code_page_before != 0)
        SetConsoleOutputCP(code_page_before);
}

} // namespace

void console_begin()
{
    _setmode(_fileno(stdout), _O_BINARY);
    code_page_before = GetConsoleOutputCP();
    if (code_page_before != 0 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(restore_code_page);
}

void console_key_wait()
{
    FILE *in = answer_source();
    std::fflush(stdout);
    if (in == stdin && _isatty(_fileno(stdin))) {
        // Whatever was typed ahead does not count; a key that sends two
        // codes (0 or 0xE0 and a second one: F1, the arrows) is read whole.
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
        const int c = _getch();
        if (c == 0 || c == 0xE0)
            _getch();
        return;
    }
    next_byte(answers);
}

void console_restore_terminal()
{
    restore_code_page();
}

#else

void console_begin()
{}

namespace {

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

} // namespace

void console_key_wait()
{
    FILE *in = answer_source();
    std::fflush(stdout);
    if (in != stdin || !isatty(STDIN_FILENO)) {
        next_byte(answers);
        return;
    }
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
    console_restore_terminal();
    sigaction(SIGCONT, &before, nullptr);
}

void console_restore_terminal()
{
    if (tty_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
        tty_changed = 0;
    }
}

#endif

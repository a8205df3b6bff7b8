// The console (console.h): answers through the word scanner, and the key
// wait, over the system's calls (host.h).
#include "console.h"

#include "host.h"
#include "words.h"

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
    // A Ctrl-Z byte in an answers file does not end the answers.
    if (in == stdin)
        host.binary_input(in);
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

void console_begin()
{
    host.console_begin();
}

void console_key_wait()
{
    FILE *in = answer_source();
    std::fflush(stdout);
    if (host.is_terminal(in))
        host.key_wait();
    else
        next_byte(answers); // one byte of what remains of the answers
}

void console_restore_terminal()
{
    host.restore_terminal();
}

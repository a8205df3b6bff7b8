// The console (console.h): answers through the word scanner, and the key
// wait, over the system's calls (host.h).
#include "console.h"

#include "host.h"
#include "words.h"

#include <cerrno>

namespace {

// The answers: one scanner over the answer stream, a line at a time so that
// an answer typed at a terminal is taken as soon as Enter is pressed.
constexpr size_t longest_answer = size_t(1) << 20;
char answer_block[longest_answer + 1];
FILE *answer_stream = nullptr;
WordScanner answers;
bool answers_at_start = false; // the stream was at its start when taken
// At a Windows console, the line read last (UTF-8), scanned as a text.
enum { not_asked, console_lines, stream_bytes } answer_kind = not_asked;
std::string console_line;
bool answers_ended = false;        // a Ctrl-Z ended them
bool answers_in_code_page = false; // an answer came in the input code page

void take_answers(FILE *in)
{
    answer_stream = in;
    answer_kind = not_asked;
    answers_ended = false;
    answers_in_code_page = false;
    scan_stream(answers, in, answer_block, sizeof answer_block, true);
    // A stream that cannot tell its place (a pipe, a terminal) is taken to
    // be at its start.
    const long at = std::ftell(in);
    answers_at_start = at <= 0;
    // Read as binary, the C runtime ends the answers at no Ctrl-Z: one ends
    // them only at the start of a line (console_next_answer).
    if (in == stdin)
        host.binary_input(in);
}

FILE *answer_source()
{
    if (answer_stream == nullptr)
        take_answers(stdin);
    return answer_stream;
}

// The next word of the answers as they come, at a console a line at a
// time; line_start: the word begins a line.
bool next_raw_word(const char *&b, const char *&e, bool &line_start)
{
    if (answer_kind == not_asked) {
        std::string line;
        const int bad = host.is_terminal(answer_stream) ? host.read_console(line) : ENOTTY;
        answer_kind = bad == ENOTTY ? stream_bytes : console_lines;
        if (answer_kind == console_lines) {
            console_line = bad == 0 ? line : "";
            scan_text(answers, console_line.c_str(), console_line.size());
        }
    }
    while (!next_word(answers, b, e)) {
        if (answer_kind == stream_bytes || host.read_console(console_line) != 0 || console_line.empty())
            return false;
        scan_text(answers, console_line.c_str(), console_line.size());
    }
    line_start = b == answers.buf || b[-1] == '\n';
    return true;
}

} // namespace

std::string box_in_code_page_437(const std::string &text)
{
    // U+2550 to U+255D are E2 95 90 to E2 95 9D in UTF-8.
    static const struct {
        char last;
        char byte;
    } box[] = {{'\x90', '\xCD'}, {'\x91', '\xBA'}, {'\x94', '\xC9'},
               {'\x97', '\xBB'}, {'\x9A', '\xC8'}, {'\x9D', '\xBC'}};
    std::string out;
    for (size_t k = 0; k < text.size(); k++) {
        char put = text[k];
        if (text.compare(k, 2, "\xE2\x95") == 0 && k + 2 < text.size())
            for (const auto &c : box)
                if (text[k + 2] == c.last) {
                    put = c.byte;
                    k += 2;
                    break; // the next character is no part of this one
                }
        out += put;
    }
    return out;
}

bool valid_utf8(const char *b, const char *e)
{
    const auto *p = reinterpret_cast<const unsigned char *>(b);
    const auto *end = reinterpret_cast<const unsigned char *>(e);
    while (p < end) {
        const unsigned c = *p++;
        int more = 0;
        unsigned least = 0, code = 0;
        if (c < 0x80)
            continue;
        if (c >= 0xC2 && c <= 0xDF)
            more = 1, least = 0x80, code = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            more = 2, least = 0x800, code = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            more = 3, least = 0x10000, code = c & 0x07;
        else
            return false;
        for (; more > 0; more--, p++) {
            if (p == end || (*p & 0xC0) != 0x80)
                return false;
            code = code << 6 | (*p & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

void console_say(const std::string &text)
{
    std::fflush(stdout);
    if (host.write_console(text) == 0)
        return;
    const std::string bytes = answers_in_code_page ? host.to_code_page(text) : text;
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void console_frame(const std::string &text)
{
    std::fflush(stdout);
    if (host.write_console(text) == 0)
        return;
    const std::string bytes = host.windows_text() ? box_in_code_page_437(text) : text;
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void console_answers_from(FILE *in)
{
    take_answers(in);
}

bool console_next_answer(std::string &word)
{
    answer_source();
    std::fflush(stdout);
    const char *b, *e;
    bool line_start = false;
    for (;;) {
        if (answers_ended || !next_raw_word(b, e, line_start))
            return false;
        // A Ctrl-Z that starts a line ends the input, as Windows has it.
        if (line_start && *b == '\x1A' && host.windows_text()) {
            answers_ended = true;
            return false;
        }
        // The mark counts only at the very first byte of the input.
        const bool first = answers_at_start && answers.consumed + (b - answers.buf) == 0;
        if (first && e - b >= 3 && b[0] == '\xEF' && b[1] == '\xBB' && b[2] == '\xBF') {
            b += 3;
            if (b == e)
                continue; // the mark alone, before a blank
        }
        answers_at_start = false;
        word.assign(b, e);
        if (answer_kind == stream_bytes && !valid_utf8(b, e)) {
            word = host.from_code_page(word);
            answers_in_code_page = true;
        }
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

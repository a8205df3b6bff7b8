// The console through the host table, on every system: answers as UTF-8 or
// in the input code page, typed at a console, ended by a Ctrl-Z that starts
// a line on Windows; the frame's bytes for each output; --help on Windows; a
// whole run on names in other letters. Under Wine, the wide calls: a path of
// more than 259 characters, hidden temporaries, the folder's lock.
#include "ask.h"
#include "console.h"
#include "host.h"
#include "rows.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#endif

using namespace qtest;

namespace {

// The console's code page in the fake: Latin-1, each byte the letter of its
// value; POSIX systems keep the bytes.
bool windows_text = false, console_takes_text = false;
std::vector<std::string> console_lines; // typed, one a call of read_console
size_t console_next = 0;
std::string console_text; // what write_console was given

std::string from_latin1(const std::string &s)
{
    std::string out;
    for (const char letter : s) {
        const auto c = static_cast<unsigned char>(letter);
        out += c < 0x80 ? std::string(1, char(c)) : std::string{char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
    }
    return out;
}

std::string to_latin1(const std::string &s)
{
    std::string out;
    for (size_t k = 0; k < s.size(); k++)
        out += (s[k] & 0xC0) == 0xC0 ? char(s[k] << 6 | (s[k + 1] & 0x3F)) : s[k], k += (s[k] & 0xC0) == 0xC0;
    return out;
}

void fake_console(bool windows, const std::string &typed, bool takes_text)
{
    windows_text = windows;
    console_takes_text = takes_text;
    console_lines.clear();
    for (size_t at = 0; at < typed.size();) // a line a call, its end kept
        console_lines.push_back(typed.substr(at, typed.find('\n', at) + 1 - at)), at += console_lines.back().size();
    console_next = 0;
    console_text.clear();
    host.windows_text = [] { return windows_text; };
    host.from_code_page = [](const std::string &s) { return windows_text ? from_latin1(s) : s; };
    host.to_code_page = [](const std::string &s) { return windows_text ? to_latin1(s) : s; };
    host.is_terminal = [](FILE *) { return !console_lines.empty(); };
    host.read_console = [](std::string &line) {
        line = console_next < console_lines.size() ? console_lines[console_next++] : "";
        return console_lines.empty() ? ENOTTY : 0;
    };
    host.write_console = [](const std::string &text) {
        console_text += console_takes_text ? text : "";
        return console_takes_text ? 0 : ENOTTY;
    };
}

struct AnswerRow {
    const char *what;
    bool windows, console;    // Windows or POSIX; typed at a console or read from a file
    std::string input, words; // the answers read, joined by '|'
    bool said_in_code_page;   // "über" is then printed in the code page
};

const AnswerRow answer_rows[] = {
    {"UTF-8 names are kept", true, false, "caf\u00e9 \u00fcber\n", "caf\u00e9|\u00fcber|", false},
    {"a byte order mark goes and UTF-8 stays", true, false, "\xEF\xBB\xBF\u00fcber\r\n1\r\n", "\u00fcber|1|", false},
    {"code page bytes become UTF-8 and names are said in them", true, false, "caf\xE9\n\xFCxy\n", "caf\u00e9|\u00fcxy|",
     true},
    {"an overlong form is no UTF-8", true, false, "\xC0\xAF", "\u00c0\u00af|", true},
    {"a surrogate is no UTF-8", true, false, "a\xED\xA0\x80", "a\u00ed\u00a0\u0080|", true},
    {"a code point beyond U+10FFFF is no UTF-8", true, false, "\xF4\x90\x80\x80", "\u00f4\u0090\u0080\u0080|", true},
    {"the largest code point is UTF-8", true, false, "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF|", false},
    {"a cut sequence is no UTF-8", true, false, "\xE9\xC3", "\u00e9\u00c3|", true},
    {"Ctrl-Z starting a line ends the answers", true, false, "1\n\x1A\n2\n", "1|", false},
    {"Ctrl-Z starting the input ends it", true, false, "\x1Azz\n2\n", "", false},
    {"Ctrl-Z within a line is an answer", true, false, "1 \x1A 2\n", "1|\x1A|2|", false},
    {"Ctrl-Z is an answer on POSIX systems", false, false, "1\n\x1A\n2\n", "1|\x1A|2|", false},
    {"code page bytes are kept on POSIX systems", false, false, "caf\xE9\n", "caf\xE9|", false},
    {"console lines are Unicode", true, true, "caf\u00e9 1\r\n\u00fcber\r\n", "caf\u00e9|1|\u00fcber|", false},
    {"Ctrl-Z then Enter at a console ends the answers", true, true, "1\r\n\x1A\r\n2\r\n", "1|", false},
    {"blank lines at a console are passed over", true, true, "\r\n  \r\n7\r\n", "7|", false},
};

class Answers : public testing::TestWithParam<AnswerRow> {};

template <typename Row>
std::string what_of(const testing::TestParamInfo<Row> &p)
{
    return row_name(p.param.what);
}

} // namespace

TEST_P(Answers, AreTakenAsTheirEncodingAndEndAtCtrlZ)
{
    const AnswerRow &r = GetParam();
    fake_console(r.windows, r.console ? r.input : "", false);
    feed_answers(r.console ? "" : r.input);
    std::string words, word;
    for (int k = 0; k < 10 && console_next_answer(word); k++)
        words += word + "|";
    EXPECT_EQ(words, r.words);
    EXPECT_FALSE(console_next_answer(word)) << "the end of the input stays";
    EXPECT_EQ(console_of([] { console_say("\u00fcber"); }),
              r.said_in_code_page ? std::string("\xFC") + "ber" : "\u00fcber");
    host = host_system;
    reset_run_state();
}
INSTANTIATE_TEST_SUITE_P(Console, Answers, testing::ValuesIn(answer_rows), what_of<AnswerRow>);

// The frame of one line "ab" after "L" and before "T", its box characters
// (top left, horizontal, top right, vertical, bottom left, bottom right)
// written in the bytes each output takes.
TEST(Console, FramesAreWrittenInTheBytesTheOutputTakes)
{
    const std::vector<std::string> utf8 = {"\u2554", "\u2550", "\u2557", "\u2551", "\u255A", "\u255D"};
    const std::vector<std::string> cp437_box = {"\xC9", "\xCD", "\xBB", "\xBA", "\xC8", "\xBC"};
    for (const auto &[windows, console, box] :
         {std::tuple{false, false, utf8}, {true, false, cp437_box}, {true, true, utf8}}) {
        SCOPED_TRACE(std::string(windows ? "Windows" : "POSIX") + (console ? " console" : " file"));
        fake_console(windows, "", console);
        std::string edge;
        for (int k = 0; k < 60; k++)
            edge += box[1];
        const char *texts[] = {"ab"};
        const std::string out = console_of([&] { frame("L", texts, 1, "T"); });
        EXPECT_EQ(console ? console_text : out, "L" + box[0] + edge + box[2] + "\n\t" + box[3] + "ab" + box[3] +
                                                    "\n\t" + box[4] + edge + box[5] + "T");
        EXPECT_EQ(console ? out : console_text, "");
    }
    host = host_system;
    // A letter after a box character is kept whole (U+011A is C4 9A).
    EXPECT_EQ(box_in_code_page_437("\u2557\u011A"), "\xBB\u011A");
}

// --help speaks in the terms of Windows there, and no word of a POSIX shell.
TEST(Console, HelpOnWindowsSpeaksWindows)
{
    fake_console(true, "", false);
    char program[] = "quarvelin", help[] = "--help";
    char *argv[] = {program, help, nullptr};
    const std::string text = console_of([&] { run_program(2, argv); });
    host = host_system;
    for (const char *word : {"%QUARVELIN_ROOT%", "images\\", "set QUARVELIN_ROOT=c:\\images\\", "%TEMP%", "Ctrl-C",
                             "Ctrl-Z", "quarvelin.txt"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
    for (const char *word : {"$", "/", "TMPDIR", "ulimit", "SIG", "~", "quarvelin(1)"})
        EXPECT_EQ(text.find(word), std::string::npos) << word;
}

// A whole run answered in UTF-8 finds the folder café and writes über_*.
TEST(Console, AWholeRunTakesNamesInOtherLetters)
{
    Site s;
    const fs::path cafe = s.folder().parent_path() / fs::path(u8"caf\u00e9");
    fs::create_directories(cafe);
    fs::copy_file(fs::path(QUARVELIN_SAMPLE_DIR) / "jacksboro.asc", cafe / "jacksboro.asc");
    const Outcome r = s.run("\xEF\xBB\xBF"
                            "1\ncaf\u00e9\njacksboro\n0\n\u00fcber\n1\n1\n",
                            60);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::exists(cafe / fs::path(u8"\u00fcber_log.bmp")) &&
                fs::exists(cafe / fs::path(u8"\u00fcber_log.xls")));
    EXPECT_NE(r.out.find("caf\u00e9"), std::string::npos);
}

#if defined(_WIN32)

// A temporary is hidden, and shown once the commit names it, reached by a
// path of more than 259 characters in other letters; commits into that
// folder, whatever the case of its path, take turns.
TEST(WindowsHost, LongNamesHiddenTemporariesAndTheLock)
{
    TempDir dir;
    const std::wstring wide =
        L"\\\\?\\" + fs::absolute(dir.path).make_preferred().wstring() + L"\\" + std::wstring(200, L'd') + L"\\";
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
    const std::string folder = dir.path.string() + "\\" + std::string(200, 'd') + "\\";
    const std::string leaf = std::string(60, 'n') + "\u00fcber.bmp";
    int fd = -1;
    ASSERT_EQ(host.open_write(-1, folder, ".t.tmp", host_open_new, fd), 0);
    FILE *f = host.stream(fd, "wb");
    ASSERT_TRUE(f != nullptr && std::fputs("tones", f) >= 0 && host.close(f) == 0);
    EXPECT_NE(GetFileAttributesW((wide + L".t.tmp").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    ASSERT_EQ(host.rename(-1, folder, ".t.tmp", leaf.c_str()), 0);
    const DWORD shown = GetFileAttributesW((wide + std::wstring(60, L'n') + L"\u00fcber.bmp").c_str());
    EXPECT_TRUE(shown != INVALID_FILE_ATTRIBUTES && (shown & FILE_ATTRIBUTE_HIDDEN) == 0) << "named as typed, shown";
    FILE *back = nullptr;
    bool regular = false;
    char got[8] = "";
    ASSERT_EQ(host.open_read(folder + leaf, back, regular), 0);
    EXPECT_EQ(std::string(got, std::fread(got, 1, sizeof got, back)), "tones");
    std::fclose(back);
    EXPECT_EQ(host.remove(-1, folder, leaf.c_str()), 0);

    std::string upper = folder;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return std::toupper(c); });
    std::atomic<bool> second_has_it{false};
    host.lock({{-1, folder}}, true);
    std::thread second([&] {
        host.lock({{-1, upper}}, true);
        second_has_it = true;
        host.lock({}, false);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(second_has_it) << "the second commit did not wait";
    host.lock({}, false);
    second.join();
    EXPECT_TRUE(second_has_it);
    RemoveDirectoryW(wide.c_str());
}

#endif

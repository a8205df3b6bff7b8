// The console's conversions through the host table, on every system: the
// answers taken as UTF-8 or in the console's input code page, read a line at
// a time at a console, ended by a Ctrl-Z that starts a line where the
// system's text files end so; the frame of the banner in the bytes each
// output takes; --help in the terms of the system; a whole run on names in
// other letters. On Windows (under Wine), the wide calls themselves: a path
// of more than 259 characters, and temporaries hidden until they are named.
#include "ask.h"
#include "console.h"
#include "host.h"
#include "rows.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace qtest;

namespace {

template <typename Row>
std::string what_of(const testing::TestParamInfo<Row> &p)
{
    return row_name(p.param.what);
}

// Code page 437 as the console would have it, for the letters of the rows
// (0x81 u with diaeresis, 0x82 e with acute); any other byte above 0x7F is
// a '?'.
std::string fake_from_code_page(const std::string &bytes)
{
    std::string out;
    for (const char c : bytes)
        out += c == '\x81' ? "\xC3\xBC" : c == '\x82' ? "\xC3\xA9" : (c & 0x80) != 0 ? "?" : std::string(1, c);
    return out;
}

std::string fake_to_code_page(const std::string &utf8)
{
    std::string out = utf8;
    for (const auto &[from, to] : {std::pair<std::string, std::string>{"\xC3\xBC", "\x81"}, {"\xC3\xA9", "\x82"}})
        for (size_t at = out.find(from); at != std::string::npos; at = out.find(from, at))
            out.replace(at, from.size(), to);
    return out;
}

bool windows_text = false;
std::vector<std::string> console_lines; // what the console gives, a line a call
size_t console_next = 0;
bool console_takes_text = false;
std::string console_text; // what reached the console through write_console

void fake_console(bool windows, const std::vector<std::string> &lines, bool takes_text)
{
    windows_text = windows;
    console_lines = lines;
    console_next = 0;
    console_takes_text = takes_text;
    console_text.clear();
    host.windows_text = [] { return windows_text; };
    // POSIX systems keep the bytes of a name.
    host.from_code_page = windows ? fake_from_code_page : [](const std::string &bytes) { return bytes; };
    host.to_code_page = windows ? fake_to_code_page : [](const std::string &bytes) { return bytes; };
    host.is_terminal = [](FILE *) { return !console_lines.empty(); };
    host.read_console = [](std::string &line) {
        if (console_lines.empty())
            return ENOTTY;
        line = console_next < console_lines.size() ? console_lines[console_next++] : "";
        return 0;
    };
    host.write_console = [](const std::string &text) {
        if (!console_takes_text)
            return ENOTTY;
        console_text += text;
        return 0;
    };
}

struct AnswerRow {
    const char *what;
    bool windows;
    std::vector<std::string> console; // lines typed at a console; none: the bytes below
    std::string bytes;
    std::vector<std::string> words; // every answer, up to the end of the input
    std::string said;               // what console_say("über") writes then
};

const std::string uber = "\xC3\xBC"
                         "ber";

const AnswerRow answer_rows[] = {
    {"UTF-8 names are kept",
     true,
     {},
     "caf\xC3\xA9 \xC3\xBC"
     "ber\n",
     {"caf\xC3\xA9", uber},
     uber},
    {"a byte order mark goes and UTF-8 stays",
     true,
     {},
     "\xEF\xBB\xBF\xC3\xBC"
     "ber\r\n1\r\n",
     {uber, "1"},
     uber},
    {"code page bytes become UTF-8 and names are said back in them",
     true,
     {},
     "caf\x82\n\x81"
     "ber\n",
     {"caf\xC3\xA9", uber},
     "\x81"
     "ber"},
    {"an overlong form is no UTF-8",
     true,
     {},
     "\xC0\xAF",
     {"??"},
     "\x81"
     "ber"},
    {"a surrogate is no UTF-8",
     true,
     {},
     "a\xED\xA0\x80",
     {"a???"},
     "\x81"
     "ber"},
    {"a code point beyond U+10FFFF is no UTF-8",
     true,
     {},
     "\xF4\x90\x80\x80",
     {"????"},
     "\x81"
     "ber"},
    {"the largest code point is UTF-8", true, {}, "\xF4\x8F\xBF\xBF", {"\xF4\x8F\xBF\xBF"}, uber},
    {"a cut sequence is no UTF-8",
     true,
     {},
     "\x82\xC3",
     {"\xC3\xA9?"},
     "\x81"
     "ber"},
    {"Ctrl-Z starting a line ends the answers", true, {}, "1\n\x1A\n2\n", {"1"}, uber},
    {"Ctrl-Z starting the input ends it",
     true,
     {},
     "\x1A"
     "1\n2\n",
     {},
     uber},
    {"Ctrl-Z within a line is an answer", true, {}, "1 \x1A 2\n", {"1", "\x1A", "2"}, uber},
    {"Ctrl-Z is an answer on POSIX systems", false, {}, "1\n\x1A\n2\n", {"1", "\x1A", "2"}, uber},
    {"code page bytes are kept on POSIX systems", false, {}, "caf\x82\n", {"caf\x82"}, uber},
    {"console lines are Unicode",
     true,
     {"caf\xC3\xA9 1\r\n", "\xC3\xBC"
                           "ber\r\n"},
     "",
     {"caf\xC3\xA9", "1", uber},
     uber},
    {"Ctrl-Z then Enter at a console ends the answers", true, {"1\r\n", "\x1A\r\n", "2\r\n"}, "", {"1"}, uber},
    {"blank lines at a console are passed over", true, {"\r\n", "  \r\n", "7\r\n"}, "", {"7"}, uber},
};

class Answers : public testing::TestWithParam<AnswerRow> {};

} // namespace

TEST_P(Answers, AreTakenAsTheirEncodingAndEndAtCtrlZ)
{
    const AnswerRow &r = GetParam();
    fake_console(r.windows, r.console, false);
    feed_answers(r.bytes);
    std::vector<std::string> words;
    std::string word;
    while (words.size() < 10 && console_next_answer(word))
        words.push_back(word);
    EXPECT_EQ(words, r.words);
    EXPECT_FALSE(console_next_answer(word)) << "the end of the input stays";
    EXPECT_EQ(console_of([] {
                  console_say("\xC3\xBC"
                              "ber");
              }),
              r.said);
    host = host_system;
    reset_run_state();
}
INSTANTIATE_TEST_SUITE_P(Console, Answers, testing::ValuesIn(answer_rows), what_of<AnswerRow>);

namespace {

// The frame of one line "ab" after "L" and before "T", in the three ways
// its box characters can be written.
struct FrameRow {
    const char *what;
    bool windows, console;
    const char *top_left, *horizontal, *top_right, *vertical, *bottom_left, *bottom_right;
};

const FrameRow frame_rows[] = {
    {"POSIX output is UTF-8", false, false, "\xE2\x95\x94", "\xE2\x95\x90", "\xE2\x95\x97", "\xE2\x95\x91",
     "\xE2\x95\x9A", "\xE2\x95\x9D"},
    {"a Windows file or pipe takes code page 437", true, false, "\xC9", "\xCD", "\xBB", "\xBA", "\xC8", "\xBC"},
    {"a Windows console takes the characters", true, true, "\xE2\x95\x94", "\xE2\x95\x90", "\xE2\x95\x97",
     "\xE2\x95\x91", "\xE2\x95\x9A", "\xE2\x95\x9D"},
};

class Frames : public testing::TestWithParam<FrameRow> {};

} // namespace

TEST_P(Frames, AreWrittenInTheBytesTheOutputTakes)
{
    const FrameRow &r = GetParam();
    fake_console(r.windows, {}, r.console);
    std::string edge;
    for (int k = 0; k < 60; k++)
        edge += r.horizontal;
    const std::string expected = std::string("L") + r.top_left + edge + r.top_right + "\n\t" + r.vertical + "ab" +
                                 r.vertical + "\n\t" + r.bottom_left + edge + r.bottom_right + "T";
    const char *texts[] = {"ab"};
    const std::string out = console_of([&] { frame("L", texts, 1, "T"); });
    EXPECT_EQ(r.console ? console_text : out, expected);
    EXPECT_EQ(r.console ? out : console_text, "");
    host = host_system;
}
INSTANTIATE_TEST_SUITE_P(Console, Frames, testing::ValuesIn(frame_rows), what_of<FrameRow>);

// --help speaks in the terms of Windows there: its variables, folders and
// keys, and no word of a POSIX shell.
TEST(Console, HelpOnWindowsSpeaksWindows)
{
    fake_console(true, {}, false);
    char program[] = "quarvelin", help[] = "--help";
    char *argv[] = {program, help, nullptr};
    const std::string text = console_of([&] { run_program(2, argv); });
    host = host_system;
    for (const char *word : {"%QUARVELIN_ROOT%", "images\\", "set QUARVELIN_ROOT=c:\\images\\", "%TEMP%", "Ctrl-C",
                             "Ctrl-Z", "quarvelin.txt"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
    for (const char *word : {"$", "/", "TMPDIR", "/tmp", "ulimit", "SIG", "~", "quarvelin(1)"})
        EXPECT_EQ(text.find(word), std::string::npos) << word;
}

// A whole run answered in UTF-8 finds the folder café and writes über_*,
// under those names, on every system.
TEST(Console, AWholeRunTakesNamesInOtherLetters)
{
    Site s;
    const fs::path cafe = s.folder().parent_path() / fs::path(u8"caf\u00e9");
    fs::create_directories(cafe);
    fs::copy_file(fs::path(QUARVELIN_SAMPLE_DIR) / "jacksboro.asc", cafe / "jacksboro.asc");
    const Outcome r = s.run("\xEF\xBB\xBF"
                            "1\ncaf\xC3\xA9\njacksboro\n0\n\xC3\xBC"
                            "ber\n1\n1\n",
                            60);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char *suffix : {"_log.bmp", "_log.xls"})
        EXPECT_TRUE(fs::exists(cafe / fs::path(std::u8string(u8"\u00fcber") + std::u8string(suffix, suffix + 8))))
            << suffix;
    EXPECT_NE(r.out.find("caf\xC3\xA9"), std::string::npos);
}

#if defined(_WIN32)

// A temporary is hidden, and shown once the commit gives it a name; both
// reached by a path of more than 259 characters, in other letters.
TEST(WindowsHost, LongNamesInOtherLettersAndHiddenTemporaries)
{
    TempDir dir;
    const std::string folder = dir.path.string() + "\\" + std::string(200, 'd') + "\\";
    const std::wstring long_folder =
        L"\\\\?\\" + fs::absolute(dir.path).make_preferred().wstring() + L"\\" + std::wstring(200, L'd');
    ASSERT_TRUE(CreateDirectoryW(long_folder.c_str(), nullptr));
    const std::string leaf = std::string(60, 'n') + "\xC3\xBC"
                                                    "ber.bmp";
    const std::wstring target = long_folder + L"\\" + std::wstring(60, L'n') + L"\u00fcber.bmp";
    ASSERT_GE(folder.size() + leaf.size(), 260u);
    int fd = -1;
    ASSERT_EQ(host.open_write(-1, folder, ".t.tmp", host_open_new, fd), 0);
    FILE *f = host.stream(fd, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("tones", f);
    ASSERT_EQ(host.close(f), 0);
    const DWORD before = GetFileAttributesW((long_folder + L"\\.t.tmp").c_str());
    ASSERT_NE(before, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(before & FILE_ATTRIBUTE_HIDDEN, 0u);
    ASSERT_EQ(host.rename(-1, folder, ".t.tmp", leaf.c_str()), 0);
    const DWORD after = GetFileAttributesW(target.c_str());
    ASSERT_NE(after, INVALID_FILE_ATTRIBUTES) << "not under the name given";
    EXPECT_EQ(after & FILE_ATTRIBUTE_HIDDEN, 0u);
    FILE *back = nullptr;
    bool regular = false;
    ASSERT_EQ(host.open_read(folder + leaf, back, regular), 0);
    ASSERT_TRUE(regular);
    char got[8] = "";
    EXPECT_EQ(std::fread(got, 1, sizeof got, back), 5u);
    EXPECT_EQ(std::string(got, 5), "tones");
    std::fclose(back);
    EXPECT_EQ(host.remove(-1, folder, leaf.c_str()), 0);
    RemoveDirectoryW(long_folder.c_str());
}

// Commits into one folder take turns, whatever the case of its path and
// its length: a second commit waits for the first one's lock.
TEST(WindowsHost, TheLockOfAFolderIsTakenInTurns)
{
    TempDir dir;
    const std::wstring deep =
        L"\\\\?\\" + fs::absolute(dir.path).make_preferred().wstring() + L"\\" + std::wstring(250, L'k');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    const std::string folder = dir.path.string() + "\\" + std::string(250, 'k') + "\\";
    std::string upper = folder;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
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
    RemoveDirectoryW(deep.c_str());
}

#endif

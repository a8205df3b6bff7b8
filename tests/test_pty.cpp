// The program at a real terminal: a pseudo-terminal from forkpty, answers
// typed one by one after their prompts, the key waits read from the terminal
// without echo and without line buffering, and the terminal settings as they
// were when the program ends, however it ends.
#include "support.h"

#include <gtest/gtest.h>

#if defined(_WIN32)

// A Windows console is no pseudo-terminal: the tests of this file have no
// counterpart there, and say so.
TEST(Pty, AtATerminal)
{
    GTEST_SKIP() << "no pseudo-terminal (forkpty, termios) nor POSIX signals (SIGINT, SIGSTOP) on Windows; "
                    "the console's side there (answers read as Unicode, Ctrl-Z, the frame, the key wait, the "
                    "console events) is covered by Console/Answers, Console/Frames, ConsoleSeam and SignalSeam "
                    "through the host table";
}

#else

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace qtest;

namespace {

constexpr int prompt_ms = 5000; // longest wait for any text or for the exit
constexpr tcflag_t line_mode = ICANON | ECHO;

// One run of the program on a pseudo-terminal. The test keeps the terminal
// side open too: its settings can be read before and after the program, and
// what the program wrote stays readable after it ended.
struct PtyRun : Child {
    int tty = -1;

    explicit PtyRun(const Site &s) : Child(s.root(), {}, {}, {}, 0, RLIM_INFINITY, true)
    {
        if (pid > 0)
            tty = open(ptsname(from), O_RDWR | O_NOCTTY);
    }
    ~PtyRun() { close(tty); }

    bool started() const { return pid > 0 && tty >= 0; }

    // Settings of the terminal as the program sees them.
    tcflag_t lflag() const
    {
        termios t{};
        tcgetattr(tty, &t);
        return t.c_lflag;
    }

    // Waits until the terminal reads single keys without echo (the program
    // sets it right after its prompt is shown).
    bool wait_key_mode()
    {
        return read_until([&] { return (lflag() & line_mode) == 0; }, prompt_ms, 10);
    }

    // Line mode and echo set again, as a shell does for a job it stopped.
    void set_line_mode()
    {
        termios t{};
        tcgetattr(tty, &t);
        t.c_lflag |= line_mode;
        tcsetattr(tty, TCSANOW, &t);
    }

    // What was typed and never read, once the program has ended: the line
    // it left in the terminal, ended here.
    std::string unread()
    {
        send("\n");
        char buf[64];
        const ssize_t n = read(tty, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n - 1)) : "(nothing)";
    }
};

// A site holding a 5 x 5 model of 16-bit cells in decimetres, rising 1 m a
// line and 0.5 m a column, without its descriptor file.
struct Pty : ::testing::Test {
    Site s;

    void SetUp() override
    {
        ASSERT_TRUE(fs::is_directory(s.folder()));
        std::vector<int64_t> z;
        for (int i = 0; i < 5; i++)
            for (int j = 0; j < 5; j++)
                z.push_back(1000 + 10 * i + 5 * j);
        s.put_raw("dem", 0, z);
    }
};

std::string repeat(const std::string &s, int n)
{
    std::string r;
    for (int k = 0; k < n; k++)
        r += s;
    return r;
}

TEST_F(Pty, WholeDialogueTypedAtATerminal)
{
    PtyRun run(s);
    ASSERT_TRUE(run.started());
    const tcflag_t before = run.lflag();
    ASSERT_EQ(before & line_mode, line_mode) << "a fresh terminal echoes and edits lines";

    // The banner frame, 62 columns of double-line box characters.
    const std::string h = "\u2550", v = "\u2551";
    ASSERT_TRUE(run.wait_for("\u2554" + repeat(h, 60) + "\u2557")) << run.out;
    ASSERT_TRUE(run.wait_for(v + "                        QUARVELIN                           " + v));
    ASSERT_TRUE(run.wait_for("\u255A" + repeat(h, 60) + "\u255D"));

    // Each prompt, and what is typed once it is shown ("" types nothing).
    const std::vector<std::pair<std::string, std::string>> dialogue = {
        {"Consult the information file concerning the treatment", ""},
        {"1 ====> no", "0\n"},
        {"slope values in degrees.", ""},
        {"Name of the File Folder located in the Directory " + s.root() + " : ", "site\n"},
        {"Name of DEM File (without any extension) ? ", "dem\n"},
        {"1 ====> raster", "1\n"},
        {"1 ====> 32 bits", "0\n"},
        {"No File " + s.path("dem_m2.txt"), ""},
        {"Number of lines   ? ", "5\n"},
        {"Number of columns ? ", "5\n"},
        {"Pixel size ? ", "10\n"},
        {"Max = 1060 ", ""},
        {"3 ====> in millimeters", "1\n"},
        {"AND 5 COLUMNS", ""},
        {"Generic name of the resulting file ? ", "res\n"},
        {"2 ====> ascii", "1\n"},
        {"Note: gray tones result from a stretching", ""},
        {"1 ====> no", "0\n"},
        {"1 ====> ascii", "0\n"},
        // Text typed ahead of the key wait must not count as the key.
        {"Stretch limit value ? ", "1000\nx"},
        {"Hit any key to exit. ", ""},
    };
    for (const auto &[prompt, answer] : dialogue) {
        ASSERT_TRUE(run.wait_for(prompt)) << "no prompt \"" << prompt << "\" in:\n" << run.out;
        if (!answer.empty())
            run.send(answer);
    }

    // The key wait: one key, no echo, no line editing, and nothing typed
    // before it counts.
    EXPECT_TRUE(run.wait_key_mode()) << "the key wait leaves the terminal in line mode";
    EXPECT_FALSE(run.ended_within(250)) << "the program did not wait for a key";
    run.send("k");
    ASSERT_TRUE(run.ended_within()) << "no exit after the key";
    ASSERT_TRUE(WIFEXITED(run.wait_status));
    EXPECT_EQ(WEXITSTATUS(run.wait_status), 0);
    EXPECT_EQ(run.lflag() & line_mode, before & line_mode) << "terminal settings not restored";
    const std::string tail = run.out.substr(run.out.rfind("Hit any key to exit. ") + 21);
    EXPECT_EQ(tail.find('k'), std::string::npos) << "the key was echoed";

    // The run wrote what it was asked for.
    EXPECT_EQ(s.read("dem_m2.txt"), "5\n5\n2\n1000\n1060\n10\n");
    EXPECT_EQ(s.read("res_log.bmp").substr(0, 2), "BM");
    EXPECT_EQ(s.read("res_log_dem_m4.raw").size(), 5u * 5u * 4u);
    EXPECT_EQ(s.read("res_log_dem_m4.txt"), "5\n5\n4\n0\n1000\n10\n");
}

// Starts a run that fails to open its model: it then waits for a key.
void answer_up_to_unknown(PtyRun &run, const Site &s)
{
    ASSERT_TRUE(run.wait_for("1 ====> no"));
    run.send("1\n");
    ASSERT_TRUE(run.wait_for("located in the Directory"));
    run.send("site\n");
    ASSERT_TRUE(run.wait_for("(without any extension) ? "));
    run.send("absent\n");
    ASSERT_TRUE(run.wait_for("1 ====> raster"));
    run.send("0\n");
    ASSERT_TRUE(run.wait_for("File " + s.path("absent.asc") + " unknown")) << run.out;
    ASSERT_TRUE(run.wait_key_mode());
}

TEST_F(Pty, FailuresEndWithTheTerminalAsItWas)
{
    // A model that cannot be opened: the message, a key wait, status 1.
    {
        PtyRun run(s);
        ASSERT_TRUE(run.started());
        const tcflag_t before = run.lflag();
        answer_up_to_unknown(run, s);
        EXPECT_FALSE(run.ended_within(200)) << "no key wait after the failed open";
        run.send("q");
        ASSERT_TRUE(run.ended_within());
        ASSERT_TRUE(WIFEXITED(run.wait_status));
        EXPECT_EQ(WEXITSTATUS(run.wait_status), 1);
        EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
    }
    // Interrupted during the key wait: the terminal is restored all the same.
    // (A Ctrl-C typed just as the wait begins may be taken for typed-ahead
    // text and dropped: it is typed until the program ends.)
    {
        PtyRun run(s);
        ASSERT_TRUE(run.started());
        const tcflag_t before = run.lflag();
        answer_up_to_unknown(run, s);
        bool ended = false;
        for (int k = 0; k < 25 && !ended; k++) {
            run.send("\x03");
            ended = run.ended_within(200);
        }
        ASSERT_TRUE(ended) << "an interrupt did not end the key wait";
        ASSERT_TRUE(WIFSIGNALED(run.wait_status));
        EXPECT_EQ(WTERMSIG(run.wait_status), SIGINT);
        EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
    }
    // End of input typed at a prompt: abandoned at once, no key wait, and
    // the descriptor file the run had started is removed.
    {
        PtyRun run(s);
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.wait_for("1 ====> no"));
        run.send("1\nsite\ndem\n1\n0\n");
        ASSERT_TRUE(run.wait_for("Number of lines   ? ")) << run.out;
        run.send("\x04");
        ASSERT_TRUE(run.wait_for("End of input: the run is abandoned."));
        ASSERT_TRUE(run.ended_within()) << "end of input did not end the run";
        ASSERT_TRUE(WIFEXITED(run.wait_status));
        EXPECT_EQ(WEXITSTATUS(run.wait_status), 1);
        EXPECT_FALSE(s.exists("dem_m2.txt"));
    }
}

// A key that sends several bytes (an arrow, F1) is read whole: none of it is
// left for the shell. Stopped during the wait, the terminal put back in line
// mode with echo meanwhile, and continued, the program sets single-key input
// without echo again, and one key ends the wait.
TEST_F(Pty, AKeyOfSeveralBytesIsReadWholeAndAStopDoesNotUndoTheKeyWait)
{
    for (const char *key : {"\x1b[A", "\x1bOP"})
        for (bool stop : {false, true}) {
            SCOPED_TRACE(std::string(key + 1) + (stop ? ", stopped and continued" : ""));
            PtyRun run(s);
            ASSERT_TRUE(run.started());
            const tcflag_t before = run.lflag();
            answer_up_to_unknown(run, s);
            const std::optional<bool> reading = wait_in_syscall(run.pid, SYS_read, "0x0");
            if (!reading)
                GTEST_SKIP() << "no /proc/PID/syscall here to see the key wait read the terminal";
            ASSERT_TRUE(*reading) << "the key wait does not read the terminal";
            if (stop) {
                kill(run.pid, SIGSTOP);
                int st = 0;
                ASSERT_EQ(waitpid(run.pid, &st, WUNTRACED), run.pid);
                ASSERT_TRUE(WIFSTOPPED(st));
                run.set_line_mode();
                kill(run.pid, SIGCONT);
                ASSERT_TRUE(run.wait_key_mode()) << "continued, the key wait stays in line mode";
            }
            run.send(key);
            ASSERT_TRUE(run.ended_within()) << "one key did not end the wait";
            EXPECT_TRUE(WIFEXITED(run.wait_status)) << run.wait_status;
            EXPECT_EQ(WEXITSTATUS(run.wait_status), 1) << run.wait_status;
            EXPECT_EQ(run.unread(), "") << "a part of the key is left for the shell";
            EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
        }
}

// Every signal that ends a run, sent while the run writes its results or
// waits for a key: the run dies of that signal, its temporary files are
// removed, every earlier result is left as it was, and so is the terminal.
TEST_F(Pty, EverySignalThatEndsARunRemovesItsTemporariesAndRestoresTheTerminal)
{
    s.write("dem_m2.txt", "5\n5\n2\n1000\n1060\n10\n");
    s.put_earlier_results("res");
    const auto earlier = s.contents();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(sig));
        // Stopped at the stretch limit, every result of the run is being
        // written: a bitmap and a raw log DEM, with their histograms.
        {
            PtyRun run(s);
            ASSERT_TRUE(run.started());
            run.send("1\nsite\ndem\n1\n0\n1\nres\n1\n0\n0\n");
            ASSERT_TRUE(run.wait_for("Stretch limit value ? ")) << run.out;
            EXPECT_NE(s.contents(), earlier) << "no temporary file to remove";
            kill(run.pid, sig);
            ASSERT_TRUE(run.ended_within());
            EXPECT_TRUE(WIFSIGNALED(run.wait_status)) << run.wait_status;
            EXPECT_EQ(WTERMSIG(run.wait_status), sig) << run.wait_status;
            EXPECT_EQ(s.contents(), earlier);
        }
        // At the key wait after a failure.
        {
            PtyRun run(s);
            ASSERT_TRUE(run.started());
            const tcflag_t before = run.lflag();
            answer_up_to_unknown(run, s);
            kill(run.pid, sig);
            ASSERT_TRUE(run.ended_within());
            EXPECT_TRUE(WIFSIGNALED(run.wait_status)) << run.wait_status;
            EXPECT_EQ(WTERMSIG(run.wait_status), sig) << run.wait_status;
            EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
        }
    }
}

} // namespace

#endif

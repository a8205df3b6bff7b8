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
    GTEST_SKIP() << "no pseudo-terminal (forkpty, termios) nor POSIX signals (SIGINT, SIGSTOP) on Windows";
}

#else

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace qtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int prompt_ms = 5000; // longest wait for any text or for the exit

// One run of the program on a pseudo-terminal.
class PtyRun {
  public:
    explicit PtyRun(const std::string &root)
    {
        // The environment is built before fork: the child only execs.
        std::vector<std::string> env = child_environment(root), args = {QUARVELIN_EXE};
        const std::vector<char *> envp = c_strings(env), argv = c_strings(args);

        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            // Every signal at its default and none held back, whatever the
            // test runner set; no core file from a quit.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int sig = 1; sig < NSIG; sig++)
                signal(sig, SIG_DFL);
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            execve(QUARVELIN_EXE, argv.data(), envp.data());
            _exit(127);
        }
        if (pid_ > 0) {
            // The parent keeps the terminal side open too: its settings can
            // be read before and after the program, and what the program
            // wrote stays readable after it ended.
            slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }

    ~PtyRun()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }

    bool started() const { return pid_ > 0 && slave_ >= 0; }
    pid_t pid() const { return pid_; }

    // Waits until `text` appears after what was already matched.
    bool wait_for(const std::string &text, int ms = prompt_ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const size_t at = out_.find(text, seen_);
            if (at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (Clock::now() >= end)
                return false;
            drain(20);
        }
    }

    void type(const std::string &keys)
    {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Still running after `ms` milliseconds (output is drained meanwhile).
    bool running_after(int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end)
            drain(10);
        return !reap(WNOHANG);
    }

    // Waits for the end of the program; its wait status in `status`.
    bool wait_exit(int &status, int ms = prompt_ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!reap(WNOHANG)) {
            if (Clock::now() >= end)
                return false;
            drain(10);
        }
        drain(0);
        status = status_;
        return true;
    }

    // Settings of the terminal as the program sees them.
    tcflag_t lflag() const
    {
        termios t{};
        tcgetattr(slave_, &t);
        return t.c_lflag;
    }

    // Waits until the terminal settings satisfy `pred` (the program changes
    // them right after its prompt is shown).
    template <typename P>
    bool wait_lflag(P pred, int ms = prompt_ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!pred(lflag())) {
            if (Clock::now() >= end)
                return false;
            drain(10);
        }
        return true;
    }

    const std::string &output() const { return out_; }

    // Waits until the program is blocked reading the terminal: a key wait
    // has then dropped what was typed ahead.
    bool wait_reading(int ms = prompt_ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
            long call = -1;
            std::string fd;
            if (in >> call >> fd && call == SYS_read && fd == "0x0")
                return true;
            if (Clock::now() >= end)
                return false;
            drain(10);
        }
    }

    // Line mode and echo set again, as a shell does for a job it stopped.
    void set_line_mode()
    {
        termios t{};
        tcgetattr(slave_, &t);
        t.c_lflag |= ICANON | ECHO;
        tcsetattr(slave_, TCSANOW, &t);
    }

    // What was typed and never read, once the program has ended: the line
    // it left in the terminal, ended here.
    std::string unread()
    {
        type("\n");
        char buf[64];
        const ssize_t n = read(slave_, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n - 1)) : "(nothing)";
    }

  private:
    void drain(int ms)
    {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0)
            out_.append(buf, static_cast<size_t>(n));
    }

    bool reap(int flags)
    {
        if (exited_)
            return true;
        int st = 0;
        if (waitpid(pid_, &st, flags) == pid_) {
            exited_ = true;
            status_ = st;
        }
        return exited_;
    }

    pid_t pid_ = -1;
    int master_ = -1, slave_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::string out_;
    size_t seen_ = 0;
};

constexpr tcflag_t line_mode = ICANON | ECHO;

struct Pty : ::testing::Test {
    TempDir dir;
    fs::path root = dir.path;

    void SetUp() override
    {
        ASSERT_FALSE(root.empty());
        fs::create_directory(root / "m");
        // A 5 x 5 model of 16-bit cells in decimetres, rising 1 m a line and
        // 0.5 m a column, without its descriptor file.
        std::vector<int64_t> z;
        for (int i = 0; i < 5; i++)
            for (int j = 0; j < 5; j++)
                z.push_back(1000 + 10 * i + 5 * j);
        write_file(root / "m" / raw_name("dem", 0), raw_cells(0, z));
    }

    std::string folder() const { return root.string() + "/m/"; }
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
    PtyRun run(root.string());
    ASSERT_TRUE(run.started());
    const tcflag_t before = run.lflag();
    ASSERT_EQ(before & line_mode, line_mode) << "a fresh terminal echoes and edits lines";

    // The banner frame, 62 columns of double-line box characters.
    const std::string h = "\u2550", v = "\u2551";
    ASSERT_TRUE(run.wait_for("\u2554" + repeat(h, 60) + "\u2557")) << run.output();
    ASSERT_TRUE(run.wait_for(v + "                        QUARVELIN                           " + v));
    ASSERT_TRUE(run.wait_for("\u255A" + repeat(h, 60) + "\u255D"));

    // Each prompt, and what is typed once it is shown ("" types nothing).
    const std::vector<std::pair<std::string, std::string>> dialogue = {
        {"Consult the information file concerning the treatment", ""},
        {"1 ====> no", "0\n"},
        {"slope values in degrees.", ""},
        {"Name of the File Folder located in the Directory " + root.string() + "/ : ", "m\n"},
        {"Name of DEM File (without any extension) ? ", "dem\n"},
        {"1 ====> raster", "1\n"},
        {"1 ====> 32 bits", "0\n"},
        {"No File " + folder() + "dem_m2.txt", ""},
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
        ASSERT_TRUE(run.wait_for(prompt)) << "no prompt \"" << prompt << "\" in:\n" << run.output();
        if (!answer.empty())
            run.type(answer);
    }

    // The key wait: one key, no echo, no line editing, and nothing typed
    // before it counts.
    EXPECT_TRUE(run.wait_lflag([](tcflag_t f) { return (f & line_mode) == 0; }))
        << "the key wait leaves the terminal in line mode";
    EXPECT_TRUE(run.running_after(250)) << "the program did not wait for a key";
    run.type("k");
    int status = 0;
    ASSERT_TRUE(run.wait_exit(status)) << "no exit after the key";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(run.lflag() & line_mode, before & line_mode) << "terminal settings not restored";
    const std::string tail = run.output().substr(run.output().rfind("Hit any key to exit. ") + 21);
    EXPECT_EQ(tail.find('k'), std::string::npos) << "the key was echoed";

    // The run wrote what it was asked for.
    EXPECT_EQ(read_file(root / "m" / "dem_m2.txt"), "5\n5\n2\n1000\n1060\n10\n");
    EXPECT_EQ(read_file(root / "m" / "res_log.bmp").substr(0, 2), "BM");
    EXPECT_EQ(read_file(root / "m" / "res_log_dem_m4.raw").size(), 5u * 5u * 4u);
    EXPECT_EQ(read_file(root / "m" / "res_log_dem_m4.txt"), "5\n5\n4\n0\n1000\n10\n");
}

// Starts a run that fails to open its model: it then waits for a key.
void answer_up_to_unknown(PtyRun &run, const std::string &folder)
{
    ASSERT_TRUE(run.wait_for("1 ====> no"));
    run.type("1\n");
    ASSERT_TRUE(run.wait_for("located in the Directory"));
    run.type("m\n");
    ASSERT_TRUE(run.wait_for("(without any extension) ? "));
    run.type("absent\n");
    ASSERT_TRUE(run.wait_for("1 ====> raster"));
    run.type("0\n");
    ASSERT_TRUE(run.wait_for("File " + folder + "absent.asc unknown")) << run.output();
    ASSERT_TRUE(run.wait_lflag([](tcflag_t f) { return (f & line_mode) == 0; }));
}

TEST_F(Pty, FailuresEndWithTheTerminalAsItWas)
{
    // A model that cannot be opened: the message, a key wait, status 1.
    {
        PtyRun run(root.string());
        ASSERT_TRUE(run.started());
        const tcflag_t before = run.lflag();
        answer_up_to_unknown(run, folder());
        EXPECT_TRUE(run.running_after(200)) << "no key wait after the failed open";
        run.type("q");
        int status = 0;
        ASSERT_TRUE(run.wait_exit(status));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
    }
    // Interrupted during the key wait: the terminal is restored all the same.
    // (A Ctrl-C typed just as the wait begins may be taken for typed-ahead
    // text and dropped: it is typed until the program ends.)
    {
        PtyRun run(root.string());
        ASSERT_TRUE(run.started());
        const tcflag_t before = run.lflag();
        answer_up_to_unknown(run, folder());
        int status = 0;
        bool ended = false;
        for (int k = 0; k < 25 && !ended; k++) {
            run.type("\x03");
            ended = run.wait_exit(status, 200);
        }
        ASSERT_TRUE(ended) << "an interrupt did not end the key wait";
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGINT);
        EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
    }
    // End of input typed at a prompt: abandoned at once, no key wait, and
    // the descriptor file the run had started is removed.
    {
        PtyRun run(root.string());
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.wait_for("1 ====> no"));
        run.type("1\nm\ndem\n1\n0\n");
        ASSERT_TRUE(run.wait_for("Number of lines   ? ")) << run.output();
        run.type("\x04");
        ASSERT_TRUE(run.wait_for("End of input: the run is abandoned."));
        int status = 0;
        ASSERT_TRUE(run.wait_exit(status)) << "end of input did not end the run";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_FALSE(fs::exists(root / "m" / "dem_m2.txt"));
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
            PtyRun run(root.string());
            ASSERT_TRUE(run.started());
            const tcflag_t before = run.lflag();
            answer_up_to_unknown(run, folder());
            ASSERT_TRUE(run.wait_reading()) << "the key wait does not read the terminal";
            if (stop) {
                kill(run.pid(), SIGSTOP);
                int st = 0;
                ASSERT_EQ(waitpid(run.pid(), &st, WUNTRACED), run.pid());
                ASSERT_TRUE(WIFSTOPPED(st));
                run.set_line_mode();
                kill(run.pid(), SIGCONT);
                ASSERT_TRUE(run.wait_lflag([](tcflag_t f) { return (f & line_mode) == 0; }))
                    << "continued, the key wait stays in line mode";
            }
            run.type(key);
            int status = 0;
            ASSERT_TRUE(run.wait_exit(status)) << "one key did not end the wait";
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            EXPECT_EQ(run.unread(), "") << "a part of the key is left for the shell";
            EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
        }
}

// Every signal that ends a run, sent while the run writes its results or
// waits for a key: the run dies of that signal, its temporary files are
// removed, every earlier result is left as it was, and so is the terminal.
TEST_F(Pty, EverySignalThatEndsARunRemovesItsTemporariesAndRestoresTheTerminal)
{
    const fs::path m = root / "m";
    write_file(m / "dem_m2.txt", "5\n5\n2\n1000\n1060\n10\n");
    for (const ResultFile &r : result_files)
        write_file(m / ("res" + std::string(r.suffix)), "earlier\n");
    const auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const auto &e : fs::directory_iterator(m))
            files[e.path().filename().string()] = read_file(e.path());
        return files;
    };
    const auto earlier = snapshot();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(sig));
        // Stopped at the stretch limit, every result of the run is being
        // written: a bitmap and a raw log DEM, with their histograms.
        {
            PtyRun run(root.string());
            ASSERT_TRUE(run.started());
            run.type("1\nm\ndem\n1\n0\n1\nres\n1\n0\n0\n");
            ASSERT_TRUE(run.wait_for("Stretch limit value ? ")) << run.output();
            EXPECT_NE(snapshot(), earlier) << "no temporary file to remove";
            kill(run.pid(), sig);
            int status = 0;
            ASSERT_TRUE(run.wait_exit(status));
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_EQ(snapshot(), earlier);
        }
        // At the key wait after a failure.
        {
            PtyRun run(root.string());
            ASSERT_TRUE(run.started());
            const tcflag_t before = run.lflag();
            answer_up_to_unknown(run, folder());
            kill(run.pid(), sig);
            int status = 0;
            ASSERT_TRUE(run.wait_exit(status));
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_EQ(run.lflag() & line_mode, before & line_mode);
        }
    }
}

} // namespace

#endif

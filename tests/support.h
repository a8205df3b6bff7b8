// Shared support of the tests, in six parts:
//   files and directories  read_file, write_file, text_stream, TempDir
//   text                   count, contains
//   models and names       raw_cells, le32, ascii_grid, grid_header,
//                          descriptor_text, raw_name, result_name
//   child processes        child_environment, ScopedEnv, c_strings
//   the Run state          feed_answers, set_elevations, console_of,
//                          read_ascii_text, console_to_stderr
//                          (and run_state.h: reset_run_state)
//   whole runs             Outcome, Site, fnv1a, words, Child and
//                          wait_in_syscall (POSIX), run_on_windows
//                          (Site::run on Windows)
// Everything is in namespace qtest; test files say `using namespace qtest;`.
#ifndef QUARVELIN_TEST_SUPPORT_H
#define QUARVELIN_TEST_SUPPORT_H

#include "files.h"
#include "nrutil.h"
#include "quarvelin.h"
#include "run_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

// The POSIX names of setting and removing a variable of the environment, as
// the tests use them; the children started afterwards get it. (Windows
// keeps no empty variable: an empty value removes it, which the program
// takes as unset anyway.)
inline int setenv(const char *name, const char *value, int)
{
    return _putenv_s(name, value);
}
inline int unsetenv(const char *name)
{
    return _putenv_s(name, "");
}
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace qtest {

namespace fs = std::filesystem;

// ====================================================== files and directories

// The whole content of a file, empty when it cannot be read; as a string or
// as another container of bytes (std::vector<unsigned char>).
template <typename Bytes = std::string>
Bytes read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the content of a file; a file that cannot be written fails the test.
inline void write_file(const fs::path &p, const std::string &bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        ADD_FAILURE() << "cannot write " << p;
}

// An anonymous file holding `text`, open for reading from its start, as the
// program's readers take their input.
inline FILE *text_stream(const std::string &text)
{
    FILE *f = std::tmpfile();
    if (f == nullptr) {
        ADD_FAILURE() << "tmpfile: " << std::strerror(errno);
        return nullptr;
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

// A directory of its own in the temporary directory, removed with
// everything in it when the object ends. `path` is empty (and the test has
// failed) when it could not be made.
struct TempDir {
    fs::path path;

    // The path of `name` in the directory, as the program takes file names.
    std::string at(const std::string &name) const { return (path / name).string(); }

    // Names of the clock and a count are tried in turn (Windows has no
    // mkdtemp): one that exists is passed over.
    TempDir()
    {
        static unsigned made = 0;
        std::error_code ec;
        const fs::path base = fs::temp_directory_path(ec), in = ec ? fs::path("/tmp") : base;
        for (int tries = 0; tries < 100 && path.empty() && !ec; tries++) {
            const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
            const fs::path p = in / ("quarvelin-test-" + std::to_string(now) + "-" + std::to_string(made++));
            if (fs::create_directory(p, ec))
                path = p;
        }
        if (path.empty())
            ADD_FAILURE() << "no new directory in " << in << ": " << ec.message();
    }
    ~TempDir()
    {
        std::error_code ec;
#if defined(_WIN32)
        // Windows removes no read-only file: every file is made writable first.
        for (const auto &e : fs::recursive_directory_iterator(path, ec))
            fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
#endif
        if (!path.empty())
            fs::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

// ===================================================================== text

// How many times `what` occurs in s (overlapping occurrences too), and
// whether it occurs at all.
inline size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}
inline bool contains(const std::string &s, const std::string &what)
{
    return s.find(what) != std::string::npos;
}

// ========================================================= models and names

// Cells as a raw model of the cell type `type` holds them (raw_forms: 16-bit
// unsigned or 32-bit signed), little-endian, line 0 first; le32 as a 32-bit
// model and a raw log DEM hold them.
inline std::string raw_cells(int type, const std::vector<int64_t> &cells)
{
    std::string s;
    for (int64_t v : cells)
        for (int k = 0; k < raw_forms[type].bytes; k++)
            s += static_cast<char>((static_cast<uint64_t>(v) >> (8 * k)) & 0xFF);
    return s;
}
inline std::string le32(const std::vector<int64_t> &cells)
{
    return raw_cells(1, cells);
}

// The header lines of an ASCII grid from their values, one word each: ncols,
// nrows, xllcorner, yllcorner, cellsize and, when there are six, nodata_value.
inline std::string grid_header(const std::vector<std::string> &values)
{
    static const char *const keywords[] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize", "nodata_value"};
    std::string s;
    for (size_t k = 0; k < values.size() && k < 6; k++)
        s += std::string(keywords[k]) + " " + values[k] + "\n";
    return s;
}

// An ASCII grid: the header, then the first `values` cells, `cols` to a line.
inline std::string ascii_grid(const std::string &header, const std::vector<int64_t> &cells, size_t cols,
                              size_t values = SIZE_MAX)
{
    std::string s = header;
    for (size_t k = 0; k < values && k < cells.size(); k++)
        s += std::to_string(cells[k]) + ((k + 1) % cols == 0 ? "\n" : " ");
    return s;
}

// Whole numbers one a line, as a descriptor file holds its six values.
inline std::string descriptor_text(const std::vector<int64_t> &values)
{
    std::string s;
    for (int64_t v : values)
        s += std::to_string(v) + "\n";
    return s;
}

// The file names the program makes from a name and its own tables: a raw
// model of the cell type `type`, its descriptor, a result.
inline std::string raw_name(const std::string &name, int type)
{
    return name + raw_forms[type].raster;
}
inline std::string descriptor_name(const std::string &name, int type)
{
    return name + raw_forms[type].descriptor;
}
inline std::string result_name(const std::string &generic, ResultRole role)
{
    return generic + result_files[role].suffix;
}

// ========================================================== child processes

// The environment of a child run of the program: this process's, with
// QUARVELIN_ROOT set to `root`.
inline std::vector<std::string> child_environment(const std::string &root)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "QUARVELIN_ROOT=", 15) != 0)
            env.emplace_back(*e);
    env.push_back("QUARVELIN_ROOT=" + root);
    return env;
}

// An environment variable set for the life of the object, children of the
// test included, then put back as it was.
struct ScopedEnv {
    std::string name, old;
    bool had;
    ScopedEnv(const std::string &n, const std::string &value) : name(n), had(std::getenv(n.c_str()) != nullptr)
    {
        if (had)
            old = std::getenv(n.c_str());
        setenv(n.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;
};

// The strings as an argv or envp: their pointers and a null pointer. The
// strings must outlive the result.
inline std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (std::string &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// ============================================================ the Run state

// The answers that the next dialogue questions will read.
inline void feed_answers(const std::string &text)
{
    feed_answers_from(text_stream(text));
}

// A grid of `lines` x `cols` elevations from a list, line 0 first, with its
// slope grid.
inline void set_elevations(int lines, int cols, const std::vector<double> &z)
{
    nb_lig = lines;
    nb_col = cols;
    dtab_in = dmatrice(cols, lines);
    dtab_slope = dmatrice(cols, lines);
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            dtab_in[i][j] = z[static_cast<size_t>(i * cols + j)];
}

// What the stages, run in turn, print on the console, kept out of the
// test's output.
template <typename... Stages>
std::string console_of(Stages... stages)
{
    testing::internal::CaptureStdout();
    (stages(), ...);
    return testing::internal::GetCapturedStdout();
}

// `text` read as an ASCII grid from an anonymous file, its progress lines
// kept off the console: the status, and in `line` and `col` the place of a
// fault.
inline AsciiStatus read_ascii_text(const std::string &text, int &line, int &col)
{
    FILE *f = text_stream(text);
    AsciiStatus status = ascii_ok;
    console_of([&] { status = ascii_read(f, line, col); });
    std::fclose(f);
    return status;
}

// In a death test the console goes to the standard error, where the
// expected message is matched.
inline void console_to_stderr()
{
    std::fflush(stdout);
    dup2(2, 1);
}

// =============================================================== whole runs

// What a run of the built program left: its exit status (-1 when it was
// killed), its console text and whether it had to be killed for hanging.
struct Outcome {
    int status = -1;
    std::string out;
    bool hung = false;
};

// 64-bit FNV-1a, as 16 hex digits: the fingerprint of a file too large to
// keep as an expected file.
inline std::string fnv1a(const std::string &bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// The first `count` answers, one a line.
inline std::string words(const std::vector<std::string> &w, size_t count = SIZE_MAX)
{
    std::string s;
    for (size_t k = 0; k < w.size() && k < count; k++)
        s += w[k] + "\n";
    return s;
}

#if defined(_WIN32)
// The Windows side of Site::run: the program `exe` started by CreateProcess
// with `env` as its whole environment, its standard input read from the
// file `input`, its standard output into a pipe that a thread reads to the
// end, its standard error to NUL; ended by TerminateProcess when it has not
// ended within `seconds`. Its exit status, or -1 when it was killed or died
// of an exception. A `prefix` can only be env's words, done here: -u NAME,
// -C FOLDER (the working folder) and NAME=VALUE; another command (another
// user, a shell's limits) has no counterpart and fails the test.
inline Outcome run_on_windows(const std::string &exe, const fs::path &input, std::vector<std::string> env,
                              const std::vector<std::string> &prefix, int seconds)
{
    Outcome r;
    std::string folder;
    if (!prefix.empty() && prefix[0] != "/usr/bin/env") {
        ADD_FAILURE() << prefix[0] << " cannot start the program on Windows";
        return r;
    }
    const auto unset = [&](const std::string &name) {
        std::erase_if(env, [&](const std::string &e) { return e.starts_with(name + "="); });
    };
    for (size_t k = 1; k < prefix.size(); k++)
        if ((prefix[k] == "-u" || prefix[k] == "-C") && k + 1 < prefix.size()) {
            if (prefix[k] == "-u")
                unset(prefix[k + 1]);
            else
                folder = prefix[k + 1];
            k++;
        } else if (const size_t eq = prefix[k].find('='); eq != std::string::npos && eq > 0) {
            unset(prefix[k].substr(0, eq));
            env.push_back(prefix[k]);
        } else {
            ADD_FAILURE() << "env word " << prefix[k] << " not done on Windows";
            return r;
        }
    // The block of NAME=VALUE strings, sorted by name as Windows keeps them.
    std::sort(env.begin(), env.end(),
              [](const std::string &a, const std::string &b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
    std::string block;
    for (const std::string &e : env)
        block += e + '\0';
    block += '\0';

    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in = CreateFileA(input.string().c_str(), GENERIC_READ, FILE_SHARE_READ, &inherited, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE null_out =
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    HANDLE from_child = nullptr, to_parent = nullptr;
    if (in == INVALID_HANDLE_VALUE || null_out == INVALID_HANDLE_VALUE ||
        !CreatePipe(&from_child, &to_parent, &inherited, 0)) {
        ADD_FAILURE() << "cannot open the child's standard streams: error " << GetLastError();
        for (HANDLE h : {in, null_out})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        return r;
    }
    SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in;
    start.hStdOutput = to_parent;
    start.hStdError = null_out;
    PROCESS_INFORMATION child{};
    std::string command = "\"" + exe + "\"";
    // Wine's CreateProcess now and then fails with its internal error (1359,
    // ERROR_INTERNAL_ERROR) when a process starts just as the one before it
    // ends: no process was made, so the start is tried again a few times.
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int tries = 0; tries < 5 && !started; tries++) {
        if (tries > 0)
            Sleep(200);
        started = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(),
                                 folder.empty() ? nullptr : folder.c_str(), &start, &child);
        start_error = started ? 0 : GetLastError();
        if (start_error != ERROR_INTERNAL_ERROR)
            break;
    }
    for (HANDLE h : {in, null_out, to_parent})
        CloseHandle(h);
    if (!started) {
        CloseHandle(from_child);
        ADD_FAILURE() << "CreateProcess " << exe << ": error " << start_error;
        return r;
    }
    CloseHandle(child.hThread);

    std::thread reader([&] {
        char buf[65536];
        DWORD n = 0;
        while (ReadFile(from_child, buf, sizeof buf, &n, nullptr) && n > 0)
            r.out.append(buf, n);
    });
    if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(seconds) * 1000) != WAIT_OBJECT_0) {
        r.hung = true;
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    reader.join();
    DWORD code = 0;
    if (!r.hung && GetExitCodeProcess(child.hProcess, &code) && code < 0xC0000000u)
        r.status = static_cast<int>(code);
    CloseHandle(child.hProcess);
    CloseHandle(from_child);
    return r;
}
#else
// A run of the built program with QUARVELIN_ROOT set to `root` and `env`
// added to its environment, started by `prefix` when one is given (its
// words, then the program's path). Its standard input is the file `input`,
// or else a pipe the test holds, so that it can be stopped at a prompt; at a
// `terminal`, its three streams are a pseudo-terminal whose master side the
// test writes to and reads from (`in` and `from` alike). Every signal at its
// default (`ignored` ignored from the start), no core file, files limited to
// `size_limit` bytes. `out` is what it printed.
struct Child : Outcome {
    pid_t pid = -1; // -1 once it has ended, its wait status in `wait_status`
    int in = -1, from = -1, wait_status = 0;
    const bool at_terminal;

    explicit Child(const std::string &root, const fs::path &input = {}, const std::vector<std::string> &prefix = {},
                   const std::vector<std::string> &env = {}, int ignored = 0, rlim_t size_limit = RLIM_INFINITY,
                   bool terminal = false)
        : at_terminal(terminal)
    {
        std::vector<std::string> env_text = child_environment(root), arg_text = prefix;
        env_text.insert(env_text.end(), env.begin(), env.end());
        arg_text.push_back(QUARVELIN_EXE);
        const std::vector<char *> envp = c_strings(env_text), argv = c_strings(arg_text);
        int i[2] = {-1, -1}, o[2] = {-1, -1};
        const bool started = terminal ? (pid = forkpty(&from, nullptr, nullptr, nullptr)) >= 0
                                      : pipe2(i, O_CLOEXEC) == 0 && pipe2(o, O_CLOEXEC) == 0 && (pid = fork()) >= 0;
        if (!started) {
            ADD_FAILURE() << "pipe, fork or forkpty: " << std::strerror(errno);
            return;
        }
        if (pid == 0) {
            if (!terminal) {
                dup2(input.empty() ? i[0] : open(input.c_str(), O_RDONLY), 0);
                dup2(o[1], 1);
                dup2(open("/dev/null", O_WRONLY), 2);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int sig = 1; sig < NSIG; sig++)
                signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
            const rlimit no_core{0, 0}, size{size_limit, size_limit};
            setrlimit(RLIMIT_CORE, &no_core);
            if (size_limit != RLIM_INFINITY)
                setrlimit(RLIMIT_FSIZE, &size);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (terminal) {
            in = from;
            return;
        }
        close(i[0]);
        close(o[1]);
        in = i[1];
        from = o[0];
        if (!input.empty())
            close_input();
    }
    ~Child()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        if (in != from)
            close(in);
        close(from);
    }
    Child(const Child &) = delete;

    void send(const std::string &answers) { EXPECT_EQ(write(in, answers.data(), answers.size()), std::ssize(answers)); }
    // (The input of a terminal stays open: closing it would hang up the program.)
    void close_input()
    {
        if (in != from)
            close(std::exchange(in, -1));
    }

    // Waits up to `ms` milliseconds for what the program prints, and reads
    // it: the bytes read, or -1 at the end of its output.
    ssize_t read_some(int ms)
    {
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return 0;
        char buf[65536];
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        return n > 0 ? n : -1;
    }
    // Reads what the program prints until `done()` (true), or until the end
    // of its output or `ms` milliseconds have passed (false; `hung` then);
    // `done()` is asked again at least every `step` milliseconds.
    template <typename Done>
    bool read_until(Done done, int ms, int step = INT_MAX)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (hung = false; !done();) {
            const auto left = (end - std::chrono::steady_clock::now()) / std::chrono::milliseconds(1);
            if ((hung = left <= 0) || read_some(static_cast<int>(std::min<decltype(left)>(left, step))) < 0)
                return false;
        }
        return true;
    }
    // Reads what the program prints until `what` appears after the text an
    // earlier wait matched (true), or until its end or `seconds` have passed
    // (false; `hung` then). An empty `what` reads to the end.
    bool wait_for(const std::string &what, int seconds = 5)
    {
        size_t at = std::string::npos;
        if (!read_until([&] { return !what.empty() && (at = out.find(what, seen_)) != std::string::npos; },
                        seconds * 1000))
            return false;
        seen_ = at + what.size();
        return true;
    }
    // Whether the program ends within `ms` milliseconds, what it prints read
    // meanwhile. Its output ends with it, but not at a terminal, which the
    // test keeps open: there it is looked for every 10 ms.
    bool ended_within(int ms = 5000)
    {
        if (!read_until([&] { return reap(WNOHANG); }, ms, at_terminal ? 10 : INT_MAX) && !hung)
            reap(0);
        while (read_some(0) > 0) {
        }
        return !hung;
    }
    // Ends the input and reads to the end of the program, killed when it
    // has not ended within `seconds` (which fails the test): its wait
    // status; `status` is its exit status, -1 when a signal ended it.
    int finish(int seconds = 5)
    {
        close_input();
        if (!ended_within(seconds * 1000)) {
            ADD_FAILURE() << "the program did not end within " << seconds << " s";
            kill(pid, SIGKILL);
            reap(0);
        }
        status = !hung && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        return wait_status;
    }

  private:
    // Whether the program has ended, its wait status taken (waited for with
    // `flags` 0, not with WNOHANG).
    bool reap(int flags)
    {
        pid_t got = 0;
        while (pid > 0 && (got = waitpid(pid, &wait_status, flags)) < 0 && errno == EINTR) {
        }
        if (pid > 0 && got == pid)
            pid = -1;
        return pid < 0;
    }

    size_t seen_ = 0;
};

// Whether the process `pid` is in the system call `call` (its first argument
// `arg` when one is given, as /proc/PID/syscall writes it: "0x0"), or enters
// it within `seconds`, looked at every 5 ms; nothing where the system shows
// no process's system call (no /proc/self/syscall to read).
inline std::optional<bool> wait_in_syscall(pid_t pid, long call, const std::string &arg = "", int seconds = 5)
{
    std::string line;
    if (!std::getline(std::ifstream("/proc/self/syscall"), line))
        return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
        long now = -1;
        std::string first;
        if (in >> now >> first && now == call && (arg.empty() || first == arg))
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
#endif

#if defined(_WIN32)
// The double-line box characters of code page 437 as UTF-8.
inline std::string frame_as_utf8(const std::string &text)
{
    static const char cp437[] = "\xC9\xCD\xBB\xBA\xC8\xBC";
    static const char *const utf8[] = {"\u2554", "\u2550", "\u2557", "\u2551", "\u255A", "\u255D"};
    std::string s;
    for (const char c : text)
        s += std::strchr(cp437, c) != nullptr && c != '\0' ? utf8[std::strchr(cp437, c) - cp437] : std::string(1, c);
    return s;
}
#endif

// A fresh QUARVELIN_ROOT holding one folder "site", removed with everything
// in it at the end of the test; the root is the folder `under` of a new
// temporary directory when one is named. `run` starts the built program with that
// root, feeds it an answers string on standard input, captures standard
// output and kills the program if it has not ended within a few seconds.
// The folder can then be listed and its files read.
class Site {
  public:
    explicit Site(const std::string &under = "") : root_(under.empty() ? dir_.path : dir_.path / under)
    {
        if (!dir_.path.empty())
            fs::create_directories(folder());
    }

    // The root as the program prints it (with its trailing separator).
    std::string root() const { return root_.string() + path_separator; }
    fs::path folder() const { return root_ / "site"; }
    std::string path(const std::string &name) const { return (folder() / name).string(); }

    // Files of the sample model (images/sample), copied into the folder.
    void copy_sample(const std::vector<std::string> &names) const
    {
        for (const std::string &name : names)
            fs::copy_file(fs::path(QUARVELIN_SAMPLE_DIR) / name, folder() / name, fs::copy_options::overwrite_existing);
    }
    void write(const std::string &name, const std::string &bytes) const { write_file(folder() / name, bytes); }
    std::string read(const std::string &name) const { return read_file(folder() / name); }
    // A raw model of the cell type `type`, and its descriptor when one is given.
    void put_raw(const std::string &name, int type, const std::vector<int64_t> &cells,
                 const std::string &descriptor = "") const
    {
        write(raw_name(name, type), raw_cells(type, cells));
        if (!descriptor.empty())
            write(descriptor_name(name, type), descriptor);
    }
    bool exists(const std::string &name) const { return fs::exists(fs::symlink_status(folder() / name)); }

    // Names in the folder, sorted; a symbolic link counts as a name.
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(folder()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Every regular file of the folder with its contents.
    std::map<std::string, std::string> contents() const
    {
        std::map<std::string, std::string> all;
        for (const auto &e : fs::directory_iterator(folder()))
            if (e.is_regular_file())
                all[e.path().filename().string()] = read_file(e.path());
        return all;
    }

    // The console text with this root (or the root `printed`) written as
    // "<ROOT>/", so that a transcript does not depend on the temporary
    // directory; on Windows the separators of the path that follows the
    // root, up to a blank, are written '/' too.
    std::string portable(const std::string &out, const std::string &printed = "") const
    {
        std::string s = out, from = printed.empty() ? root() : printed;
#if defined(_WIN32)
        // The frame of the banner comes in code page 437 bytes (the names of
        // these transcripts are ASCII): as the UTF-8 of the transcripts.
        s = frame_as_utf8(s);
#endif
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at)) {
            s.replace(at, from.size(), "<ROOT>/");
#if defined(_WIN32)
            for (at += 7; at < s.size() && !std::isspace(static_cast<unsigned char>(s[at])); at++)
                if (s[at] == '\\')
                    s[at] = '/';
#endif
        }
        return s;
    }

    // Every result file of the generic name `generic`, as an earlier run
    // could have left them: each holds a line of its own name.
    void put_earlier_results(const std::string &generic) const
    {
        for (const ResultFile &r : result_files)
            write(generic + r.suffix, "earlier " + generic + r.suffix + "\n");
    }

    // Runs the program on these answers; kills it after `seconds`. With a
    // `prefix`, the program is started by that command (its words, then the
    // program's path), such as one that runs it as another user; with a
    // `size_limit`, the files it writes are limited to that many bytes (not
    // on Windows, which has no such limit).
    Outcome run(const std::string &answers, int seconds = 5, const std::vector<std::string> &prefix = {},
                uint64_t size_limit = UINT64_MAX) const
    {
        Outcome r;
        const fs::path input = dir_.path / "answers.in";
        write_file(input, answers);
#if defined(_WIN32)
        if (size_limit != UINT64_MAX)
            ADD_FAILURE() << "no limit on the size of files on Windows";
        r = run_on_windows(QUARVELIN_EXE, input, child_environment(root_.string()), prefix, seconds);
        if (r.hung)
            ADD_FAILURE() << "the program did not end within " << seconds << " s";
#else
        Child c(root_.string(), input, prefix, {}, 0, size_limit);
        c.finish(seconds);
        r = c;
#endif
        std::error_code ec;
        fs::remove(input, ec);
        return r;
    }

  private:
    TempDir dir_;
    fs::path root_;
};

} // namespace qtest

#endif

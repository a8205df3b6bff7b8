// Test support for whole runs of the built program.
//
// A Site is a fresh QUARVELIN_ROOT (under /tmp) holding one folder "site",
// removed with everything in it at the end of the test. `run` starts the
// program with that root, feeds it an answers string on standard input,
// captures standard output and kills the program if it has not ended within
// a few seconds. The folder can then be listed and its files read.
#ifndef QUARVELIN_TEST_RUN_HELPERS_H
#define QUARVELIN_TEST_RUN_HELPERS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace qtest {

namespace fs = std::filesystem;

// What a run left: its exit status (-1 when it was killed), its console text
// and whether it had to be killed for hanging.
struct Outcome {
    int status = -1;
    std::string out;
    bool hung = false;
};

inline std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path &p, const std::string &bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// 64-bit FNV-1a, as 16 hex digits: the fingerprint of a file too large to
// keep as an expected file.
inline std::string fnv1a(const std::string &bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// Little-endian bytes of 32-bit cells, for raw models written by the tests.
inline std::string le32(std::initializer_list<int32_t> cells)
{
    std::string s;
    for (int32_t v : cells) {
        const uint32_t u = static_cast<uint32_t>(v);
        for (int k = 0; k < 4; k++)
            s += static_cast<char>((u >> (8 * k)) & 0xFF);
    }
    return s;
}

// Answers as one line of words.
inline std::string words(const std::vector<std::string> &w, size_t count = SIZE_MAX)
{
    std::string s;
    for (size_t k = 0; k < w.size() && k < count; k++)
        s += w[k] + "\n";
    return s;
}

class Site {
  public:
    Site()
    {
        char tmpl[] = "/tmp/quarvelin-run-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d == nullptr)
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        else
            root_ = d;
        fs::create_directory(folder());
    }
    ~Site()
    {
        std::error_code ec;
        if (!root_.empty())
            fs::remove_all(root_, ec);
    }
    Site(const Site &) = delete;
    Site &operator=(const Site &) = delete;

    // The root as the program prints it (with its trailing '/').
    std::string root() const { return root_.string() + "/"; }
    fs::path folder() const { return root_ / "site"; }
    std::string path(const std::string &name) const { return (folder() / name).string(); }

    void copy_fixture(const std::string &name) const
    {
        fs::copy_file(fs::path(QUARVELIN_FIXTURES) / name, folder() / name, fs::copy_options::overwrite_existing);
    }
    void write(const std::string &name, const std::string &bytes) const { write_file(folder() / name, bytes); }
    std::string read(const std::string &name) const { return read_file(folder() / name); }
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

    // The console text with this root written as "<ROOT>/", so that a
    // transcript does not depend on the temporary directory.
    std::string portable(const std::string &out) const
    {
        std::string s = out, from = root();
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at))
            s.replace(at, from.size(), "<ROOT>/");
        return s;
    }

    // Runs the program on these answers; kills it after `seconds`.
    Outcome run(const std::string &answers, int seconds = 5) const
    {
        Outcome r;
        const fs::path input = root_ / "answers.in";
        write_file(input, answers);

        int pipe_fd[2];
        if (pipe(pipe_fd) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return r;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, pipe_fd[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclose(&fa, pipe_fd[0]);
        posix_spawn_file_actions_addclose(&fa, pipe_fd[1]);

        std::vector<std::string> env_text;
        for (char **e = environ; *e != nullptr; e++)
            if (std::strncmp(*e, "QUARVELIN_ROOT=", 15) != 0)
                env_text.push_back(*e);
        env_text.push_back("QUARVELIN_ROOT=" + root_.string());
        std::vector<char *> env;
        for (auto &s : env_text)
            env.push_back(s.data());
        env.push_back(nullptr);
        std::string exe = QUARVELIN_EXE;
        char *argv[] = {exe.data(), nullptr};

        pid_t pid = -1;
        const int err = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&fa);
        close(pipe_fd[1]);
        if (err != 0) {
            close(pipe_fd[0]);
            ADD_FAILURE() << "posix_spawn " << exe << ": " << std::strerror(err);
            return r;
        }

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        char buf[65536];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                r.hung = true;
                kill(pid, SIGKILL);
                break;
            }
            pollfd p{pipe_fd[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            const ssize_t n = ::read(pipe_fd[0], buf, sizeof buf);
            if (n > 0)
                r.out.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        close(pipe_fd[0]);
        int ws = 0;
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
        }
        r.status = (!r.hung && WIFEXITED(ws)) ? WEXITSTATUS(ws) : -1;
        if (r.hung)
            ADD_FAILURE() << "the program did not end within " << seconds << " s";
        std::error_code ec;
        fs::remove(input, ec);
        return r;
    }

  private:
    fs::path root_;
};

} // namespace qtest

#endif

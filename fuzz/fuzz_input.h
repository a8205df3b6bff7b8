// Fuzz support: one temporary file per process that holds the current input,
// for the readers that need a real file (fstat, fseek) rather than memory.
#ifndef QUARVELIN_FUZZ_INPUT_H
#define QUARVELIN_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// Path of the process's input file, created on first use in the temporary
// folder ($TMPDIR or /tmp) and removed when the process ends.
inline const std::string &fuzz_input_path()
{
    static std::string path = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarvelin-fuzz-XXXXXX").string();
        const int fd = mkstemp(tmpl.data());
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(fd);
        static std::string to_remove;
        to_remove = tmpl;
        std::atexit([] { unlink(to_remove.c_str()); });
        return tmpl;
    }();
    return path;
}

// Writes the input as the whole content of the process's input file.
inline const char *fuzz_write_input(const uint8_t *data, size_t size)
{
    const std::string &path = fuzz_input_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path.c_str();
}

// The readers print progress lines; the fuzzer's own report is on stderr.
inline void fuzz_quiet_stdout()
{
    static bool done = false;
    if (!done && std::getenv("QUARVELIN_FUZZ_VERBOSE") == nullptr) {
#if defined(_WIN32)
        const char *null_device = "NUL";
#else
        const char *null_device = "/dev/null";
#endif
        if (std::freopen(null_device, "w", stdout) == nullptr)
            std::abort();
    }
    done = true;
}

// The input as a stream in memory. fmemopen needs a buffer of at least one
// byte; an empty input is one byte that is read away at once. Windows has no
// fmemopen: there the stream reads the process's input file (the caller
// closes it before the next input is written).
inline FILE *fuzz_memory_stream(const uint8_t *data, size_t size)
{
#if defined(_WIN32)
    FILE *f = std::fopen(fuzz_write_input(data, size), "rb");
    if (f == nullptr)
        std::abort();
    return f;
#else
    static const char none = 0;
    FILE *f = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fmemopen(const_cast<char *>(&none), 1, "r");
    if (f == nullptr)
        std::abort();
    if (size == 0)
        std::fgetc(f);
    return f;
#endif
}

#endif

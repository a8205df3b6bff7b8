// Replay of a fuzz target's inputs without libFuzzer: every file of every
// directory named on the command line goes through LLVMFuzzerTestOneInput
// once. A directory that does not exist holds nothing (an empty regressions
// folder is not kept by git); the first directory, the corpus, must hold at
// least one input. A crash of the target is the test failing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MORE_DIRS...]\n", argv[0]);
        return 2;
    }
    for (int a = 1; a < argc; a++) {
        std::error_code ec;
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(argv[a], ec))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        if (a == 1 && files.empty()) {
            std::fprintf(stderr, "%s: no input to replay\n", argv[a]);
            return 1;
        }
        for (const fs::path &p : files) {
            std::ifstream in(p, std::ios::binary);
            const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
            if (!in.is_open() || in.bad()) {
                std::fprintf(stderr, "%s: cannot be read\n", p.string().c_str());
                return 1;
            }
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        std::fprintf(stderr, "%s: %zu inputs replayed\n", argv[a], files.size());
    }
    return 0;
}

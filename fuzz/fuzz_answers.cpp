// Fuzz target: the answer reader of the dialogue. The input is the answer
// stream; every word `next_word` returns goes through `parse_int_word` and
// `parse_real_word`, as the numeric prompts do. Checks what they promise:
// words are non-empty, hold no blank and are cut at 1 MiB; an accepted
// integer or real is what the C library reads from the whole word.
#include "fuzz_input.h"
#include "quarvelin.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fuzz_memory_stream(data, size);
    std::string word;
    while (next_word(f, word)) {
        if (word.empty() || word.size() > (size_t(1) << 20) || word.find_first_of(" \t\n\r\v\f") != std::string::npos)
            std::abort();
        int i = 0;
        if (parse_int_word(word, i)) {
            errno = 0;
            char *end = nullptr;
            const long l = std::strtol(word.c_str(), &end, 10);
            if (errno != 0 || *end != '\0' || l != i)
                std::abort();
        }
        double d = 0.0;
        if (parse_real_word(word, d) && !std::isfinite(d))
            std::abort();
    }
    std::fclose(f);
    return 0;
}

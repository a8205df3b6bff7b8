// Fuzz target: the answer reader of the dialogue. The input is the answer
// stream; every word `console_next_answer` returns goes through `int_word`
// and `real_word`, as the numeric prompts do. Checks what they promise:
// words are non-empty, hold no blank and are cut at 1 MiB; an accepted
// integer or real is what the C library reads from the whole word.
#include "console.h"
#include "fuzz_input.h"
#include "words.h"

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
    console_answers_from(f);
    std::string word;
    while (console_next_answer(word)) {
        if (word.empty() || word.size() > (size_t(1) << 20) || word.find_first_of(" \t\n\r\v\f") != std::string::npos)
            std::abort();
        const char *b = word.data(), *e = b + word.size();
        const bool whole_c_string = word.find('\0') == std::string::npos;
        int i = 0;
        if (int_word(b, e, i)) {
            errno = 0;
            char *end = nullptr;
            const long l = std::strtol(word.c_str(), &end, 10);
            if (!whole_c_string || errno != 0 || *end != '\0' || l != i)
                std::abort();
        }
        double d = 0.0;
        if (real_word(b, e, d) == word_number) {
            char *end = nullptr;
            const double c = std::strtod(word.c_str(), &end);
            if (!whole_c_string || !std::isfinite(d) || *end != '\0' || !(c == d || (std::isnan(c) && std::isnan(d))))
                std::abort();
        }
    }
    console_answers_from(stdin);
    std::fclose(f);
    return 0;
}

// Fuzz target: the descriptor reader `read_descriptor` over the input held in
// memory. Checks what it promises: at most six values read, and the places
// after the last value read left as they were.
#include "fuzz_input.h"
#include "quarvelin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fuzz_memory_stream(data, size);
    const int untouched = 0x5A5A5A5A;
    int v[6] = {untouched, untouched, untouched, untouched, untouched, untouched};
    const int n = read_descriptor(f, v);
    std::fclose(f);
    if (n < 0 || n > 6)
        std::abort();
    for (int k = n; k < 6; k++)
        if (v[k] != untouched)
            std::abort();
    return 0;
}

// Fuzz target: the bitmap reader `ChargeBMP` on the input written to a
// file, once without and once with a palette request. Every byte of every
// line it returns is read (so the sanitizer sees a line shorter than
// promised), then the picture is released as a matrix is, and the palette.
#include "fuzz_input.h"
#include "image.h"
#include "nrutil.h"

#include <cstdlib>

namespace {

// Reads the file; returns a sum of the pixels so that none is skipped.
unsigned read_once(const char *path, bool palette, int &cols, int &lines, int &type)
{
    Color32 ask{};
    Color32 *map = palette ? &ask : nullptr;
    cols = lines = type = -1;
    unsigned char **m = ChargeBMP(path, cols, lines, type, map);
    if (palette && map == &ask)
        std::abort(); // a palette request always gets an array of its own (or null)
    if (!palette && map != nullptr)
        std::abort();
    unsigned sum = 0;
    if (m != nullptr) {
        if (cols <= 0 || cols > 32767 || lines <= 0 || lines > 32767 || type < 0 || type > 2)
            std::abort();
        const int bytes = cols * (type == 2 ? 3 : 1);
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < bytes; j++)
                sum += m[i][j];
        frucmatrice(m, lines);
    } else if (cols != -1 || lines != -1 || type != -1) {
        std::abort(); // a failed read leaves the sizes untouched
    }
    if (map != nullptr) {
        for (int k = 0; k < 256; k++)
            sum += static_cast<unsigned>(map[k].R + map[k].G + map[k].B + map[k].O);
        std::free(map);
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *path = fuzz_write_input(data, size);
    int c1, l1, t1, c2, l2, t2;
    volatile unsigned sink = read_once(path, false, c1, l1, t1);
    sink = sink + read_once(path, true, c2, l2, t2);
    (void)sink;
    if (c1 != c2 || l1 != l2 || t1 != t2)
        std::abort(); // the palette request changes nothing of the picture
    return 0;
}

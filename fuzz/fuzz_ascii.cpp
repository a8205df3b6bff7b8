// Fuzz target: the ASCII grid reader `ascii_read`, then, when the grid was
// read, the stages that work on it (slopes, slope range, logarithmic
// stretch), since a grid the reader accepts must be one they can process.
// After each input the Run state is set back as a run starts (every grid
// released), so no input depends on the one before.
#include "fuzz_input.h"
#include "quarvelin.h"
#include "run_state.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_stdout();
    const char *path = fuzz_write_input(data, size);
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        std::abort();
    int bad_line = -1, bad_col = -1;
    const AsciiStatus st = ascii_read(f, bad_line, bad_col);
    std::fclose(f);
    if (st == ascii_ok) {
        // What the reader promises on success.
        if (nb_lig < 0 || nb_col < 0 || !std::isfinite(dpix_size) || dpix_size == 0.0)
            std::abort();
        if (nb_lig > 0 && nb_col > 0 && (dtab_in == nullptr || dtab_slope == nullptr))
            std::abort();
        pendientes();
        treatment();
    } else if (dtab_in != nullptr || dtab_slope != nullptr) {
        std::abort(); // a failed read releases its grids
    }
    reset_run_state();
    return 0;
}

// Fuzz target: the ASCII grid reader `ascii_read`, then, when the grid was
// read, the stages that work on it (slopes, slope range, logarithmic
// stretch), since a grid the reader accepts must be one they can process.
// After each input the Run state values the reader sets are reset and every
// grid is released, so no input depends on the one before.
#include "fuzz_input.h"
#include "nrutil.h"
#include "quarvelin.h"

#include <cmath>

namespace {

void release_grids()
{
    const int rows = nb_col > 0 ? nb_lig : 0;
    frdmatrice(dtab_in, rows);
    frdmatrice(dtab_slope, rows);
    frucmatrice(tab_out, rows);
    frimatrice(itab_out, rows);
    frdmatrice(dtab_out, rows);
    dtab_in = dtab_slope = dtab_out = nullptr;
    tab_out = nullptr;
    itab_out = nullptr;
    nb_lig = nb_col = pix_size = 0;
    X_min = Y_min = dpix_size = nodata = 0.0;
    min_pen = max_pen = log_min = log_max = log_dif = 0.0;
}

} // namespace

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
    release_grids();
    return 0;
}

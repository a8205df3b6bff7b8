// floor_run: the memory floor of a whole-grid run on a raw 16-bit model.
//
//   floor_run MODEL RESULT [logdem]
//
// Reads MODEL_m2.raw (16-bit unsigned little-endian cells, line 0 first) with
// its descriptor MODEL_m2.txt (lines, columns, ...), as gen_dem writes them,
// and does to memory and files what quarvelin's whole-grid run does, with the
// terrain arithmetic left out: the same grids from the same allocators
// (lib/nrutil.h), first written in the same order, and the same bitmap writer
// (lib/image.h). It writes RESULT_log.bmp (8-bit grey) and, with `logdem`,
// RESULT_log_dem_m4.raw (32-bit little-endian) with its 6-line descriptor
// RESULT_log_dem_m4.txt. Like the program, it leaves its grids to the end of
// the process.
//
// Its time and peak memory are what a run with these grids costs before any
// slope or logarithm is computed: bench/compare.sh (BENCH_FLOOR=1) sets
// beside it the program's run that holds every grid (QUARVELIN_LINE_BY_LINE=0;
// a model this large goes line by line by default), and "run / floor" tells
// how much the arithmetic adds to the price of the memory.
#include "image.h"
#include "nrutil.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

// The model's cells are read into memory as they lie in the file.
static_assert(std::endian::native == std::endian::little, "floor_run reads little-endian cells directly");

namespace {

int usage()
{
    std::fprintf(stderr, "usage: floor_run MODEL RESULT [logdem]\n"
                         "  reads MODEL_m2.raw and MODEL_m2.txt; writes RESULT_log.bmp and, with logdem,\n"
                         "  RESULT_log_dem_m4.raw and RESULT_log_dem_m4.txt\n");
    return 2;
}

int failure(const char *what, const std::string &path)
{
    std::fprintf(stderr, "floor_run: %s %s\n", what, path.c_str());
    return 1;
}

// Lines, columns and cell size from a descriptor of whole numbers, one a line
// (lines, columns, bytes, min, max, cell size); the cell size may be absent.
bool read_descriptor(const std::string &path, int &lines, int &columns, int &cell)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    int v[6] = {0, 0, 0, 0, 0, 25};
    int n = 0;
    while (n < 6 && std::fscanf(f, "%d", &v[n]) == 1)
        n++;
    std::fclose(f);
    lines = v[0];
    columns = v[1];
    cell = v[5];
    return n >= 2 && lines > 0 && columns > 0;
}

// The log DEM as the program writes it: each line packed little-endian into
// one buffer and written with one call, then the descriptor.
bool write_log_dem(const std::string &stem, int **grid, int lines, int columns, int largest, int cell)
{
    const std::string raw = stem + "_log_dem_m4.raw", txt = stem + "_log_dem_m4.txt";
    FILE *f = std::fopen(raw.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<unsigned char> bytes(static_cast<size_t>(columns) * 4);
    bool ok = true;
    for (int i = 0; i < lines && ok; i++) {
        for (int j = 0; j < columns; j++) {
            const auto u = static_cast<uint32_t>(grid[i][j]);
            unsigned char *b = bytes.data() + 4 * static_cast<size_t>(j);
            b[0] = static_cast<unsigned char>(u);
            b[1] = static_cast<unsigned char>(u >> 8);
            b[2] = static_cast<unsigned char>(u >> 16);
            b[3] = static_cast<unsigned char>(u >> 24);
        }
        ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    ok = (std::fclose(f) == 0) && ok;
    FILE *d = std::fopen(txt.c_str(), "w");
    if (d == nullptr)
        return false;
    ok = std::fprintf(d, "%d\n%d\n%d\n%d\n%d\n%d\n", lines, columns, 4, 0, largest, cell) > 0 && ok;
    return (std::fclose(d) == 0) && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4)
        return usage();
    const bool log_dem = argc == 4;
    if (log_dem && std::strcmp(argv[3], "logdem") != 0)
        return usage();
    const std::string model = argv[1], stem = argv[2];
    const std::string raw_path = model + "_m2.raw", descr_path = model + "_m2.txt";

    int lines = 0, columns = 0, cell = 0;
    if (!read_descriptor(descr_path, lines, columns, cell))
        return failure("no lines and columns in", descr_path);
    FILE *in = std::fopen(raw_path.c_str(), "rb");
    if (in == nullptr)
        return failure("cannot open", raw_path);
    struct stat st;
    const auto n = static_cast<size_t>(columns);
    if (fstat(fileno(in), &st) != 0 || static_cast<double>(st.st_size) < 2.0 * lines * static_cast<double>(columns))
        return failure("too short for its descriptor:", raw_path);

    // Reading: the real grid first (untouched until the first sweep), then
    // the integer grid, filled line by line through one line of 16-bit cells.
    double **dtab_in = dmatrice(columns, lines);
    int **itab_in = imatrice(columns, lines);
    std::vector<unsigned short> cells(n);
    if (dtab_in == nullptr || itab_in == nullptr)
        return failure("not enough memory for the model", raw_path);
    int lo = 65535, hi = 0;
    for (int i = 0; i < lines; i++) {
        if (std::fread(cells.data(), 2, n, in) != n)
            return failure("cannot read", raw_path);
        int *dst = itab_in[i];
        for (size_t j = 0; j < n; j++) {
            dst[j] = cells[j];
            lo = dst[j] < lo ? dst[j] : lo;
            hi = dst[j] > hi ? dst[j] : hi;
        }
    }
    std::fclose(in);

    // The grids of the slopes and of the result; the log DEM's integers are
    // only touched when a log DEM is written.
    double **dtab_slope = dmatrice(columns, lines);
    double **dtab_out = dmatrice(columns, lines);
    unsigned char **tab_out = ucmatrice(columns, lines);
    int **itab_out = imatrice(columns, lines);
    if (dtab_slope == nullptr || dtab_out == nullptr || tab_out == nullptr || itab_out == nullptr)
        return failure("not enough memory for the results of", raw_path);

    // First sweep: metres, "slopes" (the centre line itself) and their
    // "logarithms" (a copy), one line at a time as the program's sweeps go.
    for (int i = 0; i < lines; i++) {
        const int *z = itab_in[i];
        double *m = dtab_in[i];
        for (size_t j = 0; j < n; j++)
            m[j] = z[j] / 10.0;
        std::memcpy(dtab_slope[i], m, n * sizeof(double));
        std::memcpy(dtab_out[i], dtab_slope[i], n * sizeof(double));
    }
    // Second sweep: grey tones by a plain cast (the values are 0..6553.5, so
    // the integer is in range; its low byte is the tone).
    for (int i = 0; i < lines; i++) {
        const double *lg = dtab_out[i];
        unsigned char *tone = tab_out[i];
        for (size_t j = 0; j < n; j++)
            tone[j] = static_cast<unsigned char>(static_cast<int>(lg[j]));
    }

    const std::string bmp = stem + "_log.bmp";
    if (SauveBMP(bmp.c_str(), tab_out, columns, lines, 0, nullptr) != 0)
        return failure("cannot write", bmp);
    if (log_dem) {
        for (int i = 0; i < lines; i++) {
            const double *lg = dtab_out[i];
            int *val = itab_out[i];
            for (size_t j = 0; j < n; j++)
                val[j] = static_cast<int>(lg[j]);
        }
        if (!write_log_dem(stem, itab_out, lines, columns, hi / 10, cell))
            return failure("cannot write the log DEM of", stem);
    }
    std::printf("floor_run: %d x %d, %d..%d dm%s\n", lines, columns, lo, hi, log_dem ? ", log DEM" : "");
    return 0;
}

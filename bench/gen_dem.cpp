// gen_dem: writes a synthetic elevation model of any size for the benchmarks.
//
//   gen_dem LINES COLUMNS OUTDIR BASE [raw|asc|both] [hills|plane]
//
// raw:  OUTDIR/BASE_m2.raw (16-bit unsigned little-endian, decimetres, line 0
//       first) and its descriptor OUTDIR/BASE_m2.txt;
// asc:  OUTDIR/BASE.asc (ASCII grid, metres with one decimal);
// both (default): all three. hills (default): the synthetic relief; plane:
// an inclined plane, every interior cell of the same slope. Cell size 25 m.
// The same arguments give the same bytes on every machine.
#include "dem_synth.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool parse_size(const char *s, int &v)
{
    char *end = nullptr;
    const long n = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || n < 3 || n > 100000)
        return false;
    v = static_cast<int>(n);
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: gen_dem LINES COLUMNS OUTDIR BASE [raw|asc|both] [hills|plane]\n"
                         "  LINES and COLUMNS: 3 to 100000\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5 || argc > 7)
        return usage();
    int lines = 0, columns = 0;
    if (!parse_size(argv[1], lines) || !parse_size(argv[2], columns))
        return usage();
    synth::Forms forms = synth::both_forms;
    if (argc >= 6) {
        if (!std::strcmp(argv[5], "raw"))
            forms = synth::raw_form;
        else if (!std::strcmp(argv[5], "asc"))
            forms = synth::ascii_form;
        else if (std::strcmp(argv[5], "both"))
            return usage();
    }
    synth::Relief relief = synth::hills;
    if (argc == 7) {
        if (!std::strcmp(argv[6], "plane"))
            relief = synth::plane;
        else if (std::strcmp(argv[6], "hills"))
            return usage();
    }
    const auto t0 = std::chrono::steady_clock::now();
    const synth::ModelInfo info = synth::write_model(argv[3], argv[4], lines, columns, forms, relief);
    if (!info.error.empty()) {
        std::fprintf(stderr, "gen_dem: %s\n", info.error.c_str());
        return 1;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("gen_dem: %s/%s %d x %d, %d..%d dm, %.2f s\n", argv[3], argv[4], lines, columns, info.min_dm,
                info.max_dm, s);
    return 0;
}

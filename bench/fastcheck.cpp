// The fast path against the plain one over many cells (not a test of CI: at
// its default size it takes minutes). Each kind of synthetic model is cut
// into tiles of SIDE x SIDE cells, each tile a model of its own held in the
// grids of the Run state; on every tile the stages run the plain way
// (plain_path: the correctly rounded atan and log10 on every cell) and the fast
// way, with one thread and with several, and the ranges, the grey tones
// (treatment) and the log DEM values to two stretch limits (fill_log_dem:
// to 1000 from its table of values, to 2147483647 from the fast logarithms)
// are compared. A run line by line makes every line with the same line
// driver, from lines it reads from the model's file. Prints the
// mismatches (there must be none); from fast_stats, the share of the cells
// each pass did the plain way (the plain values of a gradient met again on
// the same worker are not computed again, and not counted; a slope pass that
// fills the grids computes a plain slope once for the ranges and once for
// the grids, so the plain way shows 2 there); and the time of the stages,
// all passes together, for each cell of the tiles.
//
//   quarvelin_fastcheck [CELLS_PER_KIND [SIDE]]   (default 340 000 000 cells
//                                                 of each of 5 kinds, SIDE 4000)
//
// The threads: 1, and $QUARVELIN_THREADS or the processors this process may
// use, at least 3 (so that the bands of a tile part several times even on a
// small machine). The plain reference is made with the most threads, and on
// the first tile of each kind also with one.
#include "dem_synth.h"
#include "fastmath.h"
#include "nrutil.h"
#include "quarvelin.h"
#include "room.h"
#include "words.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

FILE *out; // the report; standard output takes the stages' progress lines

// A kind of model: line i of the whole kind (tiles are bands of its lines)
// in metres.
struct Kind {
    const char *what;
    std::function<void(int, double *)> line;
    bool voids = false; // cells at the no-data value void_value
};
constexpr double void_value = -9999.0;

const double stretch_limits[] = {1000.0, 2147483647.0};
constexpr int limit_count = 2;

// What a run decides from its logarithms, as the plain way made them.
struct Reference {
    double min_pen = 0, max_pen = 0, log_min = 0, log_max = 0;
    std::vector<unsigned char> tones;
    std::vector<int> dem[limit_count];
};

// The plain-way counts of one way of running, over every tile.
struct Counts {
    int64_t cells = 0, slopes = 0, tones = 0, dem[limit_count] = {0, 0}, mismatches = 0;
    double seconds = 0;
};

size_t cells_of_tile()
{
    return static_cast<size_t>(nb_lig) * static_cast<size_t>(nb_col);
}

// The stages on the tile in dtab_in: pendientes, treatment, and for each
// stretch limit fill_log_dem; `each_dem(k)` is called after limit k. Only
// the stages are timed.
template <typename EachDem>
void run_stages(bool plain, int threads, Counts &c, EachDem each_dem)
{
    engine.plain_path = plain;
    engine.thread_count = threads;
    auto timed = [&c](auto stage) {
        const auto t0 = std::chrono::steady_clock::now();
        stage();
        c.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    const FastStats before = fast_stats;
    timed(pendientes); // holds every grid of the run the first time
    timed(treatment);
    for (int k = 0; k < limit_count; k++) {
        strcoef = stretch_limits[k];
        const int64_t dem_before = fast_stats.plain_dem;
        timed(fill_log_dem);
        c.dem[k] += fast_stats.plain_dem - dem_before;
        each_dem(k);
    }
    c.cells += fast_stats.cells - before.cells;
    c.slopes += fast_stats.plain_slopes - before.plain_slopes;
    c.tones += fast_stats.plain_tones - before.plain_tones;
    engine.plain_path = false;
}

// The plain way, kept as the reference.
Reference plain_reference(int threads, Counts &c)
{
    Reference r;
    r.tones.resize(cells_of_tile());
    run_stages(true, threads, c, [&](int k) {
        r.dem[k].resize(cells_of_tile());
        for (int i = 0; i < nb_lig; i++)
            std::copy(itab_out[i], itab_out[i] + nb_col, r.dem[k].begin() + static_cast<ptrdiff_t>(i) * nb_col);
    });
    r.min_pen = min_pen;
    r.max_pen = max_pen;
    r.log_min = log_min;
    r.log_max = log_max;
    for (int i = 0; i < nb_lig; i++)
        std::copy(tab_out[i], tab_out[i] + nb_col, r.tones.begin() + static_cast<ptrdiff_t>(i) * nb_col);
    return r;
}

// One way of running against the reference: its mismatches, counted into c.
void against(const Reference &r, bool plain, int threads, Counts &c)
{
    int64_t bad = 0;
    run_stages(plain, threads, c, [&](int k) {
        for (int i = 0; i < nb_lig; i++) {
            const int *want = r.dem[k].data() + static_cast<ptrdiff_t>(i) * nb_col;
            for (int j = 0; j < nb_col; j++)
                bad += itab_out[i][j] != want[j];
        }
    });
    bad += (min_pen != r.min_pen) + (max_pen != r.max_pen) + (log_min != r.log_min) + (log_max != r.log_max);
    for (int i = 0; i < nb_lig; i++) {
        const unsigned char *want = r.tones.data() + static_cast<ptrdiff_t>(i) * nb_col;
        for (int j = 0; j < nb_col; j++)
            bad += tab_out[i][j] != want[j];
    }
    c.mismatches += bad;
}

double share(int64_t part, int64_t whole)
{
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

void report(const char *how, const Counts &c)
{
    std::fprintf(out,
                 "  %-22s %" PRId64 " mismatches; plain way: slopes %.2e, tones %.2e, log DEM to 1000 %.2e, "
                 "to 2147483647 %.2e; %.1f s, %.1f ns a cell\n",
                 how, c.mismatches, share(c.slopes, c.cells), share(c.tones, c.cells), share(c.dem[0], c.cells),
                 share(c.dem[1], c.cells), c.seconds,
                 1e9 * c.seconds / static_cast<double>(std::max<int64_t>(c.cells, 1)));
    std::fflush(out);
}

int many_threads()
{
    const char *forced = std::getenv("QUARVELIN_THREADS");
    int n = 0;
    if (!(forced != nullptr && int_word(forced, forced + std::strlen(forced), n) && n >= 1))
        n = usable_processors();
    return std::clamp(n, 3, 256);
}

int usage()
{
    std::fprintf(stderr, "usage: quarvelin_fastcheck [CELLS_PER_KIND [SIDE]]\n"
                         "  CELLS_PER_KIND at least SIDE x SIDE (340000000), SIDE 3 to 20000 (4000)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 3)
        return usage();
    const double cells = argc > 1 ? std::atof(argv[1]) : 340e6;
    const int side = argc > 2 ? std::atoi(argv[2]) : 4000;
    if (side < 3 || side > 20000 || !(cells >= static_cast<double>(side) * side) || cells > 1e12)
        return usage();
    const int tiles = static_cast<int>(cells / (static_cast<double>(side) * side));
    const int threads = many_threads();
    // The log DEM to 1000 from its table of values on every tile, whatever
    // its size; to 2147483647 from the fast logarithms.
    engine.dem_table_cells_per_value = 0;

    // The report keeps the original standard output; the stages' progress
    // lines go to /dev/null.
    std::fflush(stdout);
    const int report_fd = dup(STDOUT_FILENO);
    out = report_fd >= 0 ? fdopen(report_fd, "w") : nullptr;
    if (out == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::fprintf(stderr, "quarvelin_fastcheck: cannot redirect standard output\n");
        return 1;
    }
    fast_variant_in_use(); // chosen once, before any thread

    const int all_lines = tiles * side;
    const synth::Terrain terrain(all_lines, side);
    std::vector<int32_t> dm(static_cast<size_t>(side));
    auto cell = [](int i, int j) { return synth::cell_hash(static_cast<uint32_t>(i), static_cast<uint32_t>(j)); };
    const Kind kinds[] = {
        {"decimetres of a 16-bit model",
         [&](int i, double *z) {
             terrain.line_dm(i, dm.data());
             for (int j = 0; j < side; j++)
                 z[j] = dm[static_cast<size_t>(j)] / 10.0;
         }},
        {"real-valued relief",
         [&](int i, double *z) {
             terrain.line_dm(i, dm.data());
             for (int j = 0; j < side; j++)
                 z[j] = dm[static_cast<size_t>(j)] * 0.1 + cell(i, j) * 0x1p-40;
         }},
        {"rough metres",
         [&](int i, double *z) {
             for (int j = 0; j < side; j++)
                 z[j] = cell(i, j) % 2000;
         }},
        // Every interior cell has nearly the largest slope: the gradients
        // differ only in the last bits of the elevations.
        {"inclined plane",
         [&](int i, double *z) {
             const double tilt = 0.05 + 0.01 * (i / side);
             for (int j = 0; j < side; j++)
                 z[j] = 400.0 + tilt * (i % side) + 0.37 * j;
         }},
        // Relief clipped by voids: blocks, whole lines and columns, and
        // scattered cells at the no-data value.
        {"relief with voids",
         [&](int i, double *z) {
             terrain.line_dm(i, dm.data());
             for (int j = 0; j < side; j++) {
                 const uint32_t h = cell(i, j);
                 const bool hole = (i / 37 + j / 53) % 7 == 3 || i % 211 == 5 || j % 307 == 11 || h % 61 == 0;
                 z[j] = hole ? void_value : dm[static_cast<size_t>(j)] * 0.1 + h * 0x1p-40;
             }
         },
         true},
    };
    std::fprintf(out, "fast kernels: %s; %d tiles of %d x %d cells of each kind; threads 1 and %d\n",
                 fast_variant_name(fast_variant_in_use()), tiles, side, side, threads);
    std::fflush(out);

    nb_lig = nb_col = side;
    dpix_size = synth::cell_size_m;
    engine.line_by_line = false;
    dtab_in = dmatrice(side, side);
    dtab_slope = dmatrice(side, side);
    if (dtab_in == nullptr || dtab_slope == nullptr) {
        std::fprintf(out, "quarvelin_fastcheck: not enough memory for tiles of %d x %d cells\n", side, side);
        return 1;
    }
    int64_t total = 0, mismatches = 0;
    for (const Kind &kind : kinds) {
        std::fprintf(out, "%s, max slope of the first tile ", kind.what);
        Counts plain_many, plain_one, fast_one, fast_many;
        engine.void_cells = kind.voids ? 1 : 0;
        engine.void_metres = void_value;
        for (int t = 0; t < tiles; t++) {
            for (int i = 0; i < side; i++)
                kind.line(t * side + i, dtab_in[i]);
            const Reference r = plain_reference(threads, plain_many);
            if (t == 0) {
                std::fprintf(out, "%.6f:\n", max_pen);
                against(r, true, 1, plain_one);
            }
            against(r, false, 1, fast_one);
            against(r, false, threads, fast_many);
        }
        const std::string many = "fast, " + std::to_string(threads) + " threads";
        report("plain, 1 thread, tile 1", plain_one);
        report("fast, 1 thread", fast_one);
        report(many.c_str(), fast_many);
        report("plain (reference)", plain_many);
        total += plain_many.cells;
        mismatches += plain_one.mismatches + fast_one.mismatches + fast_many.mismatches;
    }
    release_grids();
    std::fprintf(out, "%" PRId64 " cells of each way compared, %" PRId64 " mismatches\n", total, mismatches);
    return mismatches == 0 ? 0 : 1;
}

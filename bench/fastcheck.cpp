// The fast path against the plain one over at least 10^9 cells (not a test
// of CI: it takes minutes). Synthetic models are made a line at a time, so
// that no grid is held; for each, the ranges, the grey tones and the log DEM
// values that the fast kernels decide are compared with the C library's on
// every cell, as a run holding its grids decides them and as a run line by
// line does. Prints the mismatches (there must be none) and how many cells
// were done the plain way.
//
//   quarvelin_fastcheck [CELLS_PER_MODEL]      (default 340 000 000, 3 models)
#include "dem_synth.h"
#include "fastmath.h"
#include "quarvelin.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// A model made a line at a time, in metres.
struct Source {
    const char *what;
    std::function<void(int, double *)> line;
};

struct Lines {
    std::vector<double> z[3];
    int at[3] = {-1, -1, -1};
};

const double *line_of(const Source &m, Lines &l, int i)
{
    double *z = l.z[i % 3].data();
    if (l.at[i % 3] != i) {
        m.line(i, z);
        l.at[i % 3] = i;
    }
    return z;
}

// Every line with the lines around it.
template <typename F>
void sweep(const Source &m, F f)
{
    Lines l;
    for (auto &z : l.z)
        z.resize(static_cast<size_t>(nb_col));
    for (int i = 0; i < nb_lig; i++)
        f(i > 0 ? line_of(m, l, i - 1) : nullptr, line_of(m, l, i), i + 1 < nb_lig ? line_of(m, l, i + 1) : nullptr);
}

struct Ranges {
    double max_pen, log_max;
};

// The ranges by one of the three ways: plain, fast with values, fast from
// the gradients alone.
Ranges ranges(const Source &m, int how)
{
    plain_path = how == 0;
    SlopeSweep w;
    begin_slopes(w, true);
    std::vector<double> slope(static_cast<size_t>(nb_col)), lg(slope.size());
    sweep(m, [&](const double *z0, const double *z1, const double *z2) {
        if (how == 2)
            range_line(w, z0, z1, z2);
        else
            slope_line(w, z0, z1, z2, slope.data(), lg.data());
    });
    end_slopes(w);
    plain_path = false;
    return {max_pen, log_max};
}

} // namespace

int main(int argc, char **argv)
{
    const double cells = argc > 1 ? std::atof(argv[1]) : 340e6;
    const int cols = 17000, lines = static_cast<int>(cells / cols);
    const synth::Terrain terrain(lines, cols);
    std::vector<int32_t> dm(cols);
    const Source models[] = {
        {"decimetres of a 16-bit model",
         [&](int i, double *z) {
             terrain.line_dm(i, dm.data());
             for (int j = 0; j < cols; j++)
                 z[j] = dm[static_cast<size_t>(j)] / 10.0;
         }},
        {"real-valued relief",
         [&](int i, double *z) {
             terrain.line_dm(i, dm.data());
             for (int j = 0; j < cols; j++)
                 z[j] = dm[static_cast<size_t>(j)] * 0.1 +
                        synth::cell_hash(static_cast<uint32_t>(i), static_cast<uint32_t>(j)) * 0x1p-40;
         }},
        {"rough metres",
         [&](int i, double *z) {
             for (int j = 0; j < cols; j++)
                 z[j] = synth::cell_hash(static_cast<uint32_t>(i), static_cast<uint32_t>(j)) % 2000;
         }},
    };
    std::printf("fast kernels: %s; %d x %d cells a model\n", fast_variant_name(fast_variant_in_use()), lines, cols);
    int64_t total = 0, mismatches = 0;
    nb_lig = lines;
    nb_col = cols;
    dpix_size = synth::cell_size_m;
    const double limits[] = {1000.0, 2147483647.0};
    for (const Source &m : models) {
        const auto t0 = std::chrono::steady_clock::now();
        const FastStats before = fast_stats;
        const Ranges plain = ranges(m, 0), fast = ranges(m, 1), grad = ranges(m, 2);
        int64_t bad = (fast.max_pen != plain.max_pen) + (fast.log_max != plain.log_max) +
                      (grad.max_pen != plain.max_pen) + (grad.log_max != plain.log_max);
        max_pen = plain.max_pen;
        log_max = plain.log_max;
        log_min = 0.0;
        log_dif = log_max - log_min;
        ToneEdges edges;
        begin_tones(edges);
        static GradientTones gt;
        begin_gradient_tones(gt, edges, HUGE_VAL);
        SlopeSweep w;
        begin_slopes(w, false);
        std::vector<double> ps(static_cast<size_t>(cols)), pl(ps.size()), fs(ps.size()), fl(ps.size());
        std::vector<unsigned char> tone(ps.size()), gtone(ps.size());
        std::vector<int> val(ps.size());
        int64_t dem_exact[2] = {0, 0};
        sweep(m, [&](const double *z0, const double *z1, const double *z2) {
            plain_path = true;
            slope_line(w, z0, z1, z2, ps.data(), pl.data());
            plain_path = false;
            slope_line(w, z0, z1, z2, fs.data(), fl.data());
            tone_line(edges, z0, z1, z2, fl.data(), tone.data());
            gradient_tone_line(gt, z0, z1, z2, gtone.data());
            for (int j = 0; j < cols; j++) {
                const int t = grey_tone(pl[static_cast<size_t>(j)], log_min, log_dif);
                bad += (tone[static_cast<size_t>(j)] != t) + (gtone[static_cast<size_t>(j)] != t);
            }
            for (int k = 0; k < 2; k++) {
                const double limit = limits[k];
                strcoef = limit;
                const int64_t exact = fast_stats.exact_dem;
                log_dem_line(z0, z1, z2, fl.data(), val.data());
                dem_exact[k] += fast_stats.exact_dem - exact;
                for (int j = 0; j < cols; j++)
                    bad += val[static_cast<size_t>(j)] != stretch(pl[static_cast<size_t>(j)], log_min, log_dif, limit);
            }
        });
        const double n = static_cast<double>(lines) * cols;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%-30s max slope %.6f: %" PRId64 " mismatches; share of the cells done the plain way: slopes "
                    "%.2e, tones %.2e, log DEM to 1000 %.2e, to 2147483647 %.2e (%.0f s)\n",
                    m.what, max_pen, bad, static_cast<double>(fast_stats.exact_slopes - before.exact_slopes) / n,
                    static_cast<double>(fast_stats.exact_tones - before.exact_tones) / n,
                    static_cast<double>(dem_exact[0]) / n, static_cast<double>(dem_exact[1]) / n, s);
        total += static_cast<int64_t>(n);
        mismatches += bad;
    }
    std::printf("%" PRId64 " cells compared, %" PRId64 " mismatches\n", total, mismatches);
    return mismatches == 0 ? 0 : 1;
}

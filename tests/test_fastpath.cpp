// The fast path against the plain one: on every kind of model, with every
// build of the fast kernels and any number of threads, the ranges, the grey
// tones and the log DEM values are those of the correctly rounded atan and
// log10 on every cell.
#include "crmath.h"
#include "fastmath.h"
#include "rows.h"
#include "support.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#ifdef QUARVELIN_HAVE_MPFR
#include <mpfr.h>
#endif

using namespace qtest;

namespace {

struct Model {
    const char *what;
    int lines, cols;
    double cell;
    std::vector<double> z;
};

// Everything a run decides from its logarithms.
struct Decisions {
    double max_pen, log_max;
    std::vector<int> tones, dem;
};

const double stretch_limits[] = {1000.0, 254.0, 2147483647.0, -1000.5};

// The ranges, tones and log DEM values of a model, its lines spread over
// `threads` threads in bands (the bands of a run line by line are made by
// the same line driver from lines read from the model's file).
Decisions decide(const Model &m, bool plain, int threads)
{
    reset_run_state();
    engine.plain_path = plain;
    engine.thread_count = threads;
    set_elevations(m.lines, m.cols, m.z);
    dpix_size = m.cell;
    Decisions d;
    testing::internal::CaptureStdout();
    pendientes();
    treatment();
    d.max_pen = max_pen;
    d.log_max = log_max;
    for (int i = 0; i < m.lines; i++)
        d.tones.insert(d.tones.end(), tab_out[i], tab_out[i] + m.cols);
    // The log DEM also from its table of values, which a model this small
    // would not otherwise get.
    const int64_t per_value = engine.dem_table_cells_per_value;
    for (double limit : stretch_limits)
        for (int64_t table_from : {per_value, int64_t{0}}) {
            strcoef = limit;
            engine.dem_table_cells_per_value = table_from;
            fill_log_dem();
            for (int i = 0; i < m.lines; i++)
                d.dem.insert(d.dem.end(), itab_out[i], itab_out[i] + m.cols);
        }
    engine.dem_table_cells_per_value = per_value;
    testing::internal::GetCapturedStdout();
    return d;
}

// Every third line holds values v every fourth column, the lines between
// them 0, so that cell (3g + 1, 4k + 2) has the gradient v / 4 / cell: a
// model whose gradients are chosen one by one, `per_line` to a line.
Model chosen_gradients(const char *what, const std::vector<double> &v, double cell, size_t per_line)
{
    const size_t groups = (v.size() + per_line - 1) / per_line;
    Model m{what, static_cast<int>(3 * groups), static_cast<int>(4 * per_line + 3), cell, {}};
    m.z.assign(static_cast<size_t>(m.lines) * static_cast<size_t>(m.cols), 0.0);
    for (size_t k = 0; k < v.size(); k++)
        m.z[(3 * (k / per_line) + 2) * static_cast<size_t>(m.cols) + 4 * (k % per_line) + 2] = v[k];
    return m;
}

// Values of v on and next to every edge of a plain decision f(v) (a tone, a
// log DEM value) between 1 and n, found by halving over the doubles.
template <typename F>
std::vector<double> around_edges(F f, int n, double top)
{
    std::vector<double> v = {top};
    for (int k = 1; k <= n; k++) {
        double lo = 0.0, hi = top;
        if (f(hi) < k)
            continue;
        for (int step = 0; step < 200 && std::nextafter(lo, hi) < hi; step++) {
            const double mid =
                lo + (hi - lo) / 2 > lo && lo + (hi - lo) / 2 < hi ? lo + (hi - lo) / 2 : std::nextafter(lo, hi);
            (f(mid) >= k ? hi : lo) = mid;
        }
        double x = hi;
        for (int s = 0; s < 3; s++)
            x = std::nextafter(x, 0.0);
        for (int s = 0; s < 6; s++, x = std::nextafter(x, top))
            v.push_back(x);
    }
    return v;
}

std::vector<Model> models()
{
    std::vector<Model> all;
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto grid = [&](const char *what, int lines, int cols, double cell, auto height) {
        Model m{what, lines, cols, cell, {}};
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < cols; j++)
                m.z.push_back(height(i, j));
        all.push_back(m);
    };
    grid("smooth relief", 60, 70, 25.0,
         [](int i, int j) { return 400.0 + 80.0 * std::sin(i * 0.11) * std::cos(j * 0.07); });
    grid("rough relief", 50, 50, 3.0, [&](int, int) { return 1000.0 * u(rng); });
    grid("decimetres of a 16-bit model", 40, 45, 90.0,
         [&](int i, int j) { return std::floor(40000.0 * u(rng) + 37.0 * i * j) / 10.0; });
    grid("integer terraces", 30, 30, 10.0, [](int i, int j) { return static_cast<double>((i / 3 + j / 4) % 5); });
    grid("flat", 5, 5, 30.0, [](int, int) { return 12.5; });
    grid("one cell", 1, 1, 1.0, [](int, int) { return 7.0; });
    grid("two lines", 2, 7, 1.0, [&](int, int) { return u(rng); });
    grid("three by three", 3, 3, 1.0, [](int i, int j) { return i * 3.0 + j * j; });
    grid("huge values", 6, 6, 10.0, [&](int i, int j) { return (i + j) % 3 == 0 ? 1e300 * u(rng) : 0.0; });
    grid("tiny differences", 8, 8, 1.0, [&](int, int) { return 1e-310 * u(rng); });
    grid("nearly vertical", 8, 8, 1e-6, [&](int, int) { return 1e6 * u(rng); });

    // Cells on and next to every tone edge, and to every 37th log DEM value.
    const double cell = 10.0, top = 400.0;
    auto plain_log_of = [&](double v) {
        return cr_log10(cr_atan(v / 4.0 * (1.0 / cell)) * 180.0 / (cr_atan(1.0) * 4.0) + 1.0);
    };
    auto tone = [&](double v) { return grey_tone(plain_log_of(v), 0.0, plain_log_of(top)); };
    const std::vector<double> at_tones = around_edges(tone, 254, top);
    all.push_back(chosen_gradients("cells at every tone edge", at_tones, cell, at_tones.size()));
    auto dem = [&](double v) { return stretch(plain_log_of(v), 0.0, plain_log_of(top), 1000.0) / 37; };
    const std::vector<double> at_dem = around_edges(dem, 27, top);
    all.push_back(chosen_gradients("cells at log DEM edges", at_dem, cell, 16));
    // The steepest cells a few bits apart, one to a line, the steepest first
    // of all or last: the fast and plain values need not agree on their order.
    std::vector<double> steep;
    for (double x = std::nextafter(top, 0.0), k = 0; k < 48; k++, x = std::nextafter(x, 0.0))
        steep.push_back(x);
    all.push_back(chosen_gradients("steepest cells, the steepest first", steep, cell, 1));
    std::reverse(steep.begin(), steep.end());
    all.push_back(chosen_gradients("steepest cells, the steepest last", steep, cell, 1));
    return all;
}

const std::vector<Model> &all_models()
{
    static const std::vector<Model> all = models();
    return all;
}

struct FastPath : ::testing::TestWithParam<size_t> {};

TEST_P(FastPath, DecidesAsThePlainPathWithEveryBuildOfTheKernels)
{
    const fast_variant in_use = fast_variant_in_use();
    const Model &m = all_models()[GetParam()];
    const Decisions plain = decide(m, true, 1);
    for (fast_variant v : fast_variants) {
        if (!fast_use_variant(v))
            continue;
        const FastStats before = fast_stats;
        for (int threads : {1, 3, 7}) {
            SCOPED_TRACE(std::string(fast_variant_name(v)) + ", " + std::to_string(threads) + " threads");
            const Decisions fast = decide(m, false, threads);
            EXPECT_EQ(fast.max_pen, plain.max_pen);
            EXPECT_EQ(fast.log_max, plain.log_max);
            EXPECT_EQ(fast.tones, plain.tones);
            EXPECT_EQ(fast.dem, plain.dem);
        }
        // The cells at the edges were decided the plain way.
        if (std::string(m.what).find("edge") != std::string::npos) {
            EXPECT_GT(fast_stats.plain_tones + fast_stats.plain_dem, before.plain_tones + before.plain_dem);
        }
    }
    fast_use_variant(in_use);
    reset_run_state();
}

INSTANTIATE_TEST_SUITE_P(Models, FastPath, ::testing::Range<size_t>(0, all_models().size()),
                         [](const ::testing::TestParamInfo<size_t> &row) {
                             return row_name(all_models()[row.param].what);
                         });

// The halving over the doubles in order finds the first gradient whose
// value reaches a target, across zero and up to infinity: its value reaches
// the target and the double just below it does not.
TEST(Decide, GradientReachingIsTheFirstDoubleThatReaches)
{
    EXPECT_LT(ordered_key(-0.5), ordered_key(-0.0));
    EXPECT_LT(ordered_key(-0.0), ordered_key(0.0));
    EXPECT_EQ(from_ordered_key(ordered_key(-3.25)), -3.25);
    EXPECT_EQ(first_reaching(-8.0, 8.0, [](double x) { return x >= -1.0; }), -1.0);
    const PlainRule slope = [](double g) { return std::atan(g) * 180.0 / (std::atan(1.0) * 4.0); };
    for (double target : {1e-300, 0.5, 45.0, 89.999999}) {
        const double g = gradient_reaching(slope, target);
        EXPECT_GE(slope(g), target) << target;
        EXPECT_LT(slope(std::nextafter(g, 0.0)), target) << target;
    }
    EXPECT_EQ(gradient_reaching(slope, 0.0), 0.0);
    EXPECT_EQ(gradient_reaching(slope, 91.0), HUGE_VAL);
}

#ifdef QUARVELIN_HAVE_MPFR
// The logarithm of a gradient from GNU MPFR's atan and log10, rounded to
// nearest, with the program's order of operations around them.
double reference_log(double g, double &slope)
{
    mpfr_t x, y;
    mpfr_init2(x, 53);
    mpfr_init2(y, 53);
    mpfr_set_d(x, g, MPFR_RNDN);
    mpfr_atan(y, x, MPFR_RNDN);
    slope = mpfr_get_d(y, MPFR_RNDN) * 180.0 / 0x1.921fb54442d18p+1;
    mpfr_set_d(x, slope + 1.0, MPFR_RNDN);
    mpfr_log10(y, x, MPFR_RNDN);
    const double lg = mpfr_get_d(y, MPFR_RNDN);
    mpfr_clear(x);
    mpfr_clear(y);
    return lg;
}
#endif

// The models built on tone and log DEM edges (and the steepest ones) give
// the same ranges, tones and log DEM values (to 1000 and to 2^31 - 1) on
// every platform: a digest of them made on Linux, where they were checked
// cell by cell against GNU MPFR's correctly rounded atan and log10, is
// checked by every build, the Windows one under Wine included.
TEST(EdgeModels, GiveTheCorrectlyRoundedDecisionsOnEveryPlatform)
{
    uint64_t digest = 0xcbf29ce484222325u; // FNV-1a
    auto mix = [&](uint64_t v) {
        for (int b = 0; b < 64; b += 8)
            digest = (digest ^ ((v >> b) & 0xff)) * 0x100000001b3u;
    };
    for (const Model &m : all_models()) {
        if (std::strstr(m.what, "edge") == nullptr && std::strstr(m.what, "steepest") == nullptr)
            continue;
        SCOPED_TRACE(m.what);
        const Decisions d = decide(m, false, 3);
        mix(std::bit_cast<uint64_t>(d.max_pen));
        mix(std::bit_cast<uint64_t>(d.log_max));
        for (int v : d.tones)
            mix(static_cast<uint64_t>(v));
        for (int v : d.dem)
            mix(static_cast<uint64_t>(static_cast<uint32_t>(v)));
#ifdef QUARVELIN_HAVE_MPFR
        // Every interior cell (the model's least logarithm is 0).
        const size_t cols = static_cast<size_t>(m.cols), cells = static_cast<size_t>(m.lines) * cols;
        std::vector<double> lg(cells, 0.0), g(cols);
        double max_pen = 0.0, log_max = 0.0;
        for (size_t i = 1; i + 1 < static_cast<size_t>(m.lines); i++) {
            line_gradients(&m.z[(i - 1) * cols], &m.z[i * cols], &m.z[(i + 1) * cols], cols - 2, 1.0 / m.cell,
                           g.data());
            for (size_t j = 1; j + 1 < cols; j++) {
                double slope;
                lg[i * cols + j] = reference_log(g[j - 1], slope);
                max_pen = std::max(max_pen, slope);
                log_max = std::max(log_max, lg[i * cols + j]);
            }
        }
        EXPECT_EQ(d.max_pen, max_pen);
        EXPECT_EQ(d.log_max, log_max);
        for (size_t i = 1; i + 1 < static_cast<size_t>(m.lines); i++)
            for (size_t j = 1; j + 1 < cols; j++) {
                const size_t c = i * cols + j;
                ASSERT_EQ(d.tones[c], grey_tone(lg[c], 0.0, log_max)) << i << ", " << j;
                // The blocks of stretch limits 1000 (0, 1) and 2^31 - 1 (4, 5).
                for (const size_t block : {size_t{0}, size_t{1}, size_t{4}, size_t{5}})
                    ASSERT_EQ(d.dem[block * cells + c], stretch(lg[c], 0.0, log_max, stretch_limits[block / 2]))
                        << i << ", " << j << ", block " << block;
            }
#endif
    }
    EXPECT_EQ(digest, 0xe0bee6fde410eda7u);
    reset_run_state();
#ifdef QUARVELIN_HAVE_MPFR
    mpfr_free_cache();
#endif
}

} // namespace

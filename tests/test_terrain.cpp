// Allocation library, slopes and the logarithmic stretch.
#include "ask.h"
#include "lines.h"
#include "rows.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <tuple>

using namespace qtest;

namespace {

struct Terrain : ::testing::Test {
    void TearDown() override { reset_run_state(); }
};

TEST(Allocation, MatricesAreZeroFilledAndEmptyRequestsAreRefused)
{
    double **d = dmatrice(3, 2);
    ASSERT_NE(d, nullptr);
    for (int l = 0; l < 2; l++)
        for (int c = 0; c < 3; c++)
            EXPECT_EQ(d[l][c], 0.0);
    d[1][2] = 7.0; // the last element of the last line is ours to write
    frdmatrice(d, 2);

    unsigned char **u = ucmatrice(5, 4);
    int **i = imatrice(5, 4);
    ASSERT_NE(u, nullptr);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(u[3][4], 0);
    EXPECT_EQ(i[3][4], 0);
    frucmatrice(u, 4);
    frimatrice(i, 4);

    EXPECT_EQ(dmatrice(0, 5), nullptr);
    EXPECT_EQ(dmatrice(5, 0), nullptr);
    EXPECT_EQ(imatrice(-1, 5), nullptr);
    EXPECT_EQ(dvecteur(0), nullptr);
    double *v = dvecteur(4);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[3], 0.0);
    frdvecteur(v);
}

TEST_F(Terrain, WindowSlopesStayWithinZeroAndNinetyDegrees)
{
    const struct {
        double z[9], p, low, high;
    } windows[] = {
        // An inclined plane; a very steep window, below 90 degrees; a flat one.
        {{100, 104, 108, 102, 106, 110, 104, 108, 112}, 1.0 / 10.0, 24.0948425521 - 1e-10, 24.0948425521 + 1e-10},
        {{0, 0, 1e6, 0, 0, 1e6, 0, 0, 1e6}, 1.0, std::nextafter(89.99, 90.0), 90.0},
        {{5, 5, 5, 5, 5, 5, 5, 5, 5}, 1.0, 0.0, 0.0},
    };
    for (const auto &w : windows) {
        const double slope = window_slope(w.z, w.z + 3, w.z + 6, w.p);
        EXPECT_GE(slope, w.low);
        EXPECT_LE(slope, w.high);
    }
}

// A whole number is expected exactly, anything else to 1e-10.
void expect_near(double got, double want, const std::string &what)
{
    EXPECT_NEAR(got, want, want == std::trunc(want) ? 0.0 : 1e-10) << what;
}

struct Ranges {
    double min_pen, max_pen, log_min, log_max;
};

struct Relief {
    const char *what;
    int lines, cols;
    double cell;
    std::vector<double> z;
    std::string progress; // printed by the slopes and the stretch
    Ranges ranges;
    std::vector<std::tuple<int, int, double>> steep = {}; // every other cell has slope 0
    std::vector<int> tones = {};                          // none: every tone 0
    std::string grid = "";                                // the model read from this ASCII grid instead
};

const std::vector<Relief> &reliefs()
{
    const std::vector<double> example = {100, 100, 100, 100, 100, 100, 100, 100, 110, 130, 100, 100, 100, 120, 160};
    const Ranges example_ranges = {0.0, 62.8808572266, 0.0, 1.8053707354}, level = {0, 0, 0, 0},
                 none = {1.0e7, 0.0, 1000.0, 0.0};
    const std::vector<std::tuple<int, int, double>> example_steep = {{1, 2, 29.2059322474}, {1, 3, 62.8808572266}};
    const std::vector<int> example_tones = {0, 0, 0, 0, 0, 0, 0, 208, 254, 0, 0, 0, 0, 0, 0};
    std::vector<double> spike(100, 3.0);
    spike[7] = 900.0;
    const std::string line_100 = "\tline 100                 \r", line_200 = "\tline 200                 \r";
    // Found by the fuzzer (fuzz/regressions/ascii/no_columns_several_lines.asc):
    // no grid at all; the slopes read no line of them and still print their
    // progress.
    const std::string no_columns = grid_header({"0", "250", "0", "0", "30", "-9999"});
    static const std::vector<Relief> all = {
        {"the worked example", 3, 5, 10.0, example, "\n", example_ranges, example_steep, example_tones},
        {"two lines have no interior", 2, 50, 1.0, spike, "\n", level},
        {"101 lines: no progress for the last", 101, 3, 1.0, std::vector<double>(303, 1.0), "\n", level},
        {"102 lines", 102, 3, 1.0, std::vector<double>(306, 1.0), "\n" + line_100, level},
        {"flat", 4, 4, 30.0, std::vector<double>(16, 12.5), "\n", level},
        {"no lines", 0, 7, 1.0, {}, "\n", none},
        {"lines without columns", 250, 0, 30.0, {}, "\n" + line_100 + line_200, none, {}, {}, no_columns},
    };
    return all;
}

struct Slopes : Terrain, ::testing::WithParamInterface<size_t> {};

// The slopes of a model (border cells 0, and so the smallest slope and
// logarithm, in every model with cells), their logarithms and ranges, the
// progress lines of both stages, and the grey tones; a model without cells
// keeps the start values of the ranges and has no grids.
TEST_P(Slopes, RangesAndTonesOfTheModel)
{
    const Relief &r = reliefs()[GetParam()];
    reset_run_state();
    if (!r.grid.empty()) {
        int line, col;
        EXPECT_EQ(read_ascii_text(r.grid, line, col), ascii_ok);
    } else {
        set_elevations(r.lines, r.cols, r.z);
        dpix_size = r.cell;
    }
    const bool cells = r.lines > 0 && r.cols > 0;
    EXPECT_EQ(dtab_in != nullptr, cells);
    EXPECT_EQ(dtab_slope != nullptr, cells);
    EXPECT_EQ(console_of(pendientes, treatment), r.progress);
    expect_near(min_pen, r.ranges.min_pen, "min_pen");
    expect_near(max_pen, r.ranges.max_pen, "max_pen");
    expect_near(log_min, r.ranges.log_min, "log_min");
    expect_near(log_max, r.ranges.log_max, "log_max");
    EXPECT_EQ(log_dif, log_max - log_min);
    EXPECT_EQ(tab_out != nullptr, cells);
    EXPECT_EQ(itab_out != nullptr, cells);
    for (int i = 0; cells && i < r.lines; i++)
        for (int j = 0; j < r.cols; j++) {
            double slope = 0.0;
            for (const auto &[si, sj, steep] : r.steep)
                slope = si == i && sj == j ? steep : slope;
            const std::string at = std::to_string(i) + "," + std::to_string(j);
            expect_near(dtab_slope[i][j], slope, "slope " + at);
            EXPECT_NEAR(dtab_out[i][j], std::log10(dtab_slope[i][j] + 1.0), 1e-12) << at;
            EXPECT_EQ(tab_out[i][j], r.tones.empty() ? 0 : r.tones[static_cast<size_t>(i * r.cols + j)]) << at;
        }
}

INSTANTIATE_TEST_SUITE_P(Models, Slopes, ::testing::Range<size_t>(0, reliefs().size()),
                         [](const ::testing::TestParamInfo<size_t> &row) {
                             return row_name(reliefs()[row.param].what);
                         });

TEST(GreyTone, TruncatesTheExactProductAtEveryToneBoundary)
{
    for (int k = 1; k <= 254; k++) {
        // The largest double below k / 254 and the smallest at or above it.
        double below = k / 254.0;
        while (std::fma(below, 254.0, -k) >= 0.0)
            below = std::nextafter(below, 0.0);
        const double above = std::nextafter(below, 2.0);
        EXPECT_EQ(grey_tone(below, 0.0, 1.0), k - 1) << k;
        EXPECT_EQ(grey_tone(above, 0.0, 1.0), k) << k;
    }
    EXPECT_EQ(grey_tone(1.0, 0.0, 1.0), 254);
    EXPECT_EQ(grey_tone(std::nan(""), 0.0, 1.0), 0);
    EXPECT_EQ(grey_tone(0.7, 0.0, 0.0), 0);

    EXPECT_EQ(trunc_product(0.9999, 1000.0), 999);
    EXPECT_EQ(trunc_product(0.5, -1000.0), -500);
    EXPECT_EQ(trunc_product(1.0, 1000.7), 1000);
    EXPECT_EQ(trunc_product(1.0, -1000.7), -1000);
    EXPECT_EQ(trunc_product(std::nextafter(0.5, 0.0), -1000.0), -499);
    // A product that rounds to a whole number the exact product falls short
    // of (0.009 x 1000 rounds to 9) is one less, toward zero on either side;
    // one that the exact product reaches or passes is that number.
    // The exact product from long double, whose 64-bit significand holds
    // the product of a double and a scale of at most 11 bits.
    static_assert(LDBL_MANT_DIG >= 64, "the exact product needs a 64-bit long double");
    int short_of = 0;
    for (double scale : {10.0, 254.0, 1000.0})
        for (int k = 1; k <= 5000; k++) {
            const double d = k / scale, product = d * scale;
            if (product != std::trunc(product))
                continue;
            const int whole = static_cast<int>(std::trunc(static_cast<long double>(d) * scale));
            short_of += whole < product;
            EXPECT_EQ(trunc_product(d, scale), whole) << k << " / " << scale;
            EXPECT_EQ(trunc_product(d, -scale), -whole) << k << " / " << scale;
        }
    EXPECT_GT(short_of, 100);
    EXPECT_EQ(trunc_product(0.009, -1000.0), -8);
    // At the ends of the 32-bit range too: a product that rounds onto the
    // largest whole number falls short of it.
    for (const auto &[d, s, whole] : {std::tuple{2147483.647, 1000.0, 2147483646},
                                      {306783378.14285713, 7.0, 2147483646},
                                      {715827882.66666663, -3.0, -2147483647},
                                      {2.0, 1.5e9, 2147483647},
                                      {-2.0, 1.5e9, -2147483647 - 1}})
        EXPECT_EQ(trunc_product(d, s), whole) << d << " x " << s;
}

// Counts of lines near the largest int: the bands of a pass cover every
// line once, its last band ending on the last line, whatever the threads
// and the room a line takes (the pass, and so its progress lines, the same
// for every thread count); the progress lines of the last hundreds end.
TEST(LargeCounts, BandsCoverEveryLineAndTheProgressLinesEnd)
{
    for (const int lines : {1700000001, 2000000000, 2147483647})
        for (int threads = 1; threads <= 8; threads++)
            for (const size_t bytes : {size_t(0), size_t(4000)}) {
                const BandPlan p = plan_bands(lines, threads, bytes, size_t(1) << 30, threads % 2 == 0);
                ASSERT_GT(p.bands, 0) << lines << " lines, " << threads << " threads";
                EXPECT_GE(static_cast<int64_t>(p.bands) * p.per_band, lines);
                EXPECT_LT(static_cast<int64_t>(p.bands - 1) * p.per_band, lines);
                if (bytes == 0)
                    continue; // bands of hundreds of millions of lines
                int64_t count = 0, end = -1;
                each_line_of(p, p.bands - 1, [&](int i) { count++, end = i; });
                EXPECT_EQ(end, p.backwards ? 0 : lines - 1);
                EXPECT_EQ(count, lines - static_cast<int64_t>(p.bands - 1) * p.per_band);
            }
    int64_t next = 2147483500;
    EXPECT_EQ(console_of([&] { progress_every_100("%d\n", next, 2147483647); }), "2147483500\n2147483600\n");
}

} // namespace

// Allocation library, slopes and the logarithmic stretch.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST_F(Terrain, SlopesAndStretchOfTheWorkedExamples)
{
    // An inclined plane: the same slope in every interior cell.
    const double z0[] = {100, 104, 108}, z1[] = {102, 106, 110}, z2[] = {104, 108, 112};
    EXPECT_NEAR(window_slope(z0, z1, z2, 1.0 / 10.0), 24.0948425521, 1e-10);

    set_elevations(3, 5,
                   {100, 100, 100, 100, 100, //
                    100, 100, 100, 110, 130, //
                    100, 100, 100, 120, 160});
    dpix_size = 10.0;
    testing::internal::CaptureStdout();
    pendientes();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    EXPECT_EQ(dtab_slope[1][1], 0.0);
    EXPECT_NEAR(dtab_slope[1][2], 29.2059322474, 1e-10);
    EXPECT_NEAR(dtab_slope[1][3], 62.8808572266, 1e-10);
    for (int j = 0; j < 5; j++)
        EXPECT_EQ(dtab_slope[0][j] + dtab_slope[2][j], 0.0);
    EXPECT_EQ(dtab_slope[1][0] + dtab_slope[1][4], 0.0);

    // The stretch of the same example.
    EXPECT_EQ(min_pen, 0.0);
    EXPECT_NEAR(max_pen, 62.8808572266, 1e-10);
    treatment();
    EXPECT_EQ(log_min, 0.0);
    EXPECT_NEAR(log_max, 1.8053707354, 1e-10);
    EXPECT_EQ(log_dif, log_max);
    EXPECT_NEAR(dtab_out[1][2], 1.4800922439, 1e-10);
    const int expected[3][5] = {{0, 0, 0, 0, 0}, {0, 0, 208, 254, 0}, {0, 0, 0, 0, 0}};
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 5; j++)
            EXPECT_EQ(tab_out[i][j], expected[i][j]) << i << "," << j;
    EXPECT_EQ(strf("%lf %lf", log_min, log_max), "0.000000 1.805371");
    ASSERT_NE(itab_out, nullptr);
    EXPECT_EQ(itab_out[2][4], 0);

    // A very steep window stays below 90 degrees; a flat one is 0.
    const double s0[] = {0, 0, 1e6}, s1[] = {0, 0, 1e6}, s2[] = {0, 0, 1e6};
    const double steep = window_slope(s0, s1, s2, 1.0);
    EXPECT_GT(steep, 89.99);
    EXPECT_LE(steep, 90.0);
    const double f[] = {5, 5, 5};
    EXPECT_EQ(window_slope(f, f, f, 1.0), 0.0);
}

TEST_F(Terrain, NarrowGridsHaveNoInteriorAndProgressSkipsTheLastLine)
{
    set_elevations(2, 50, std::vector<double>(100, 3.0));
    dtab_in[0][7] = 900.0;
    dpix_size = 1.0;
    testing::internal::CaptureStdout();
    pendientes();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    for (int j = 0; j < 50; j++)
        EXPECT_EQ(dtab_slope[0][j] + dtab_slope[1][j], 0.0);
    reset_run_state();

    for (int lines : {101, 102}) {
        set_elevations(lines, 3, std::vector<double>(static_cast<size_t>(lines) * 3, 1.0));
        dpix_size = 1.0;
        testing::internal::CaptureStdout();
        pendientes();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, lines == 101 ? "\n" : "\n\tline 100                 \r") << lines;
        reset_run_state();
    }
}

TEST_F(Terrain, FlatAndEmptyModelsStretchWithoutDividingByZero)
{
    set_elevations(4, 4, std::vector<double>(16, 12.5));
    dpix_size = 30.0;
    testing::internal::CaptureStdout();
    pendientes();
    testing::internal::GetCapturedStdout();
    treatment();
    EXPECT_EQ(max_pen, 0.0);
    EXPECT_EQ(log_dif, 0.0);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            EXPECT_EQ(tab_out[i][j], 0);
    reset_run_state();

    nb_lig = 0;
    nb_col = 7;
    testing::internal::CaptureStdout();
    pendientes();
    testing::internal::GetCapturedStdout();
    treatment();
    EXPECT_EQ(min_pen, 1.0e7);
    EXPECT_EQ(max_pen, 0.0);
    EXPECT_EQ(log_min, 1000.0);
    EXPECT_EQ(log_max, 0.0);
    EXPECT_EQ(log_dif, -1000.0);
    EXPECT_EQ(tab_out, nullptr);
}

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
    double below_half = 0.5;
    while (std::fma(below_half, -1000.0, 500.0) <= 0.0)
        below_half = std::nextafter(below_half, 0.0);
    EXPECT_EQ(trunc_product(below_half, -1000.0), -499);
}

} // namespace

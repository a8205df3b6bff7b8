// The correctly rounded arc tangent and logarithm: the special values, the
// table of hard arguments (results from GNU MPFR, checked in, so that the
// Windows build runs it too), and, where MPFR is at hand, a random sample
// against it. bench/crmath_check runs the long version of the sample.
#include "crmath.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#ifdef QUARVELIN_HAVE_MPFR
#include <mpfr.h>
#endif

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double half_pi = 0x1.921fb54442d18p+0;

uint64_t bits(double v)
{
    return std::bit_cast<uint64_t>(v);
}

bool is_nan(double v)
{
    return v != v;
}

TEST(CrMath, SpecialValues)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), tiny = 0x1p-1074, below = 0x1.fffffffffffffp-28;
    EXPECT_TRUE(is_nan(cr_atan(nan)) && is_nan(cr_log10(nan)) && is_nan(cr_log10(-1.0)) && is_nan(cr_log10(-inf)) &&
                is_nan(cr_log10(-tiny)));
    const double atan_rows[][2] = {{0.0, 0.0},       {-0.0, -0.0},      {tiny, tiny},
                                   {-tiny, -tiny},   {below, below},    {inf, half_pi},
                                   {-inf, -half_pi}, {0x1p61, half_pi}, {-0x1p61, -half_pi}};
    for (const auto &r : atan_rows)
        EXPECT_EQ(bits(cr_atan(r[0])), bits(r[1])) << std::hexfloat << r[0];
    EXPECT_EQ(cr_log10(0.0), -inf);
    EXPECT_EQ(cr_log10(-0.0), -inf);
    EXPECT_EQ(cr_log10(inf), inf);
    EXPECT_EQ(bits(cr_log10(1.0)), bits(0.0));
    // Every power of ten that is a double (up to 1e22) is exact.
    double p = 1.0;
    for (int k = 1; k <= 22; k++) {
        p *= 10.0;
        EXPECT_EQ(cr_log10(p), double(k)) << k;
    }
}

// The table written by bench/crmath_hard.cpp: both functions (with and
// without the fused multiply-add), and their accurate paths alone, must give
// the correctly rounded result.
TEST(CrMath, HardArguments)
{
    std::ifstream in(std::string(QUARVELIN_TEST_DATA) + "/crmath_hard.txt");
    ASSERT_TRUE(in.is_open());
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string f, pair;
        words >> f;
        while (words >> pair) {
            const double x = std::bit_cast<double>(std::stoull(pair.substr(0, 16), nullptr, 16));
            const uint64_t want = std::stoull(pair.substr(17), nullptr, 16);
            const bool atan = f == "a";
            for (const bool fma : {false, true}) {
                cr_use_fma(fma);
                EXPECT_EQ(bits(atan ? cr_atan(x) : cr_log10(x)), want) << f << ' ' << std::hexfloat << x;
            }
            EXPECT_EQ(bits(atan ? cr_atan_accurate(x) : cr_log10_accurate(x)), want) << f << ' ' << std::hexfloat << x;
            if (atan) {
                EXPECT_EQ(bits(cr_atan(-x)), want ^ (uint64_t(1) << 63));
            }
            rows++;
        }
    }
    cr_use_fma(true);
    EXPECT_GT(rows, 600);
}

#ifdef QUARVELIN_HAVE_MPFR
// Random arguments over the ranges the program uses (gradients up to 1e6,
// slope + 1 in 1..91), every binade, every power of two and subnormals;
// the accurate path alone on every 16th argument, the fast path without the
// fused multiply-add on every other one.
TEST(CrMath, AgainstMpfr)
{
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    mpfr_t in, out;
    mpfr_init2(in, 53);
    mpfr_init2(out, 53);
    std::mt19937_64 gen(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs;
    for (int k = -1074; k <= 1023; k++)
        xs.push_back(std::ldexp(1.0, k));
    for (int k = 0; k < 300000; k++) {
        const double binade = std::ldexp(1.0 + unit(gen), int(gen() % 2046) - 1022);
        const double choice[] = {3.0 * unit(gen), 1e6 * unit(gen), 1.0 + 90.0 * unit(gen), binade,
                                 std::bit_cast<double>(gen() % (uint64_t(1) << 52))};
        xs.push_back(choice[k % 5]);
    }
    int mismatches = 0;
    for (size_t k = 0; k < xs.size(); k++) {
        const double x = xs[k];
        for (const bool atan : {true, false}) {
            mpfr_set_d(in, x, MPFR_RNDN);
            const int inex = atan ? mpfr_atan(out, in, MPFR_RNDN) : mpfr_log10(out, in, MPFR_RNDN);
            mpfr_subnormalize(out, inex, MPFR_RNDN);
            const double want = mpfr_get_d(out, MPFR_RNDN);
            cr_use_fma(k % 2 == 0);
            double got = atan ? cr_atan(x) : cr_log10(x);
            const bool accurate_range = atan ? x >= 0x1p-27 && x <= 0x1p60 : x != 1.0;
            if (k % 16 == 0 && accurate_range && bits(got) == bits(want))
                got = atan ? cr_atan_accurate(x) : cr_log10_accurate(x);
            if (bits(got) != bits(want) && mismatches++ < 10)
                ADD_FAILURE() << (atan ? "atan " : "log10 ") << std::hexfloat << x << ": " << got << ", MPFR " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);
    mpfr_clear(in);
    mpfr_clear(out);
    mpfr_free_cache();
    cr_use_fma(true);
}
#endif

} // namespace

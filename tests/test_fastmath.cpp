// The fast arc tangent and decimal logarithm against the C library, for each
// variant: error bound, exact special values, sign and range, and results
// that do not depend on how an array is split or placed.
#include "fastmath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

// The bound stated in lib/fastmath.h, in units in the last place of the C
// library's result.
constexpr double bound_ulp = 4.0;
constexpr double pi_half = 0x1.921fb54442d18p+0;

// v and `count` neighbours on each side.
void add_around(std::vector<double> &xs, double v, int count)
{
    double lo = v, hi = v;
    xs.push_back(v);
    for (int i = 0; i < count; ++i) {
        lo = std::nextafter(lo, 0.0);
        hi = std::nextafter(hi, HUGE_VAL);
        xs.push_back(lo);
        xs.push_back(hi);
    }
}

// Arguments from 0 through subnormals, tiny values, the neighbourhoods of 1
// and of the angles k pi/16 (where the reduction changes centre), the
// program's range 0..60 and up to the largest double.
std::vector<double> atan_arguments()
{
    std::vector<double> xs = {0.0, DBL_TRUE_MIN, 3 * DBL_TRUE_MIN, DBL_MIN - DBL_TRUE_MIN, DBL_MIN, DBL_MAX};
    for (int k = 1; k < 8; ++k)
        add_around(xs, std::tan(k * std::numbers::pi / 16), 300);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 100000; ++i) {
        xs.push_back(60.0 * unit(rng));
        xs.push_back(std::ldexp(1.0 + unit(rng), -1074 + static_cast<int>(2097 * unit(rng))));
    }
    return xs;
}

// Arguments 1 and its neighbours, powers of 2 and 10 and their neighbours,
// the neighbourhoods of 2^k sqrt(2) (where the reduction halves m), dense
// 1..91 and up to the largest double.
std::vector<double> log10_arguments()
{
    std::vector<double> xs = {DBL_MAX};
    add_around(xs, 1.0, 1000);
    for (int k = 0; k < 1024; ++k) {
        add_around(xs, std::ldexp(1.0, k), 4);
        add_around(xs, std::ldexp(std::numbers::sqrt2, k), 4);
    }
    for (int k = 0; k <= 308; ++k)
        add_around(xs, std::pow(10.0, k), 4);
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 100000; ++i) {
        xs.push_back(1.0 + 90.0 * unit(rng));
        xs.push_back(std::ldexp(1.0 + unit(rng), static_cast<int>(1024 * unit(rng))));
    }
    xs.erase(std::remove_if(xs.begin(), xs.end(), [](double x) { return !(x >= 1.0) || std::isinf(x); }), xs.end());
    return xs;
}

using kernel = void (*)(fast_variant, const double *, double *, size_t);

struct function_case {
    const char *name;
    kernel fast;
    double (*reference)(double);
    std::vector<double> (*arguments)();
    double lowest, highest; // range of every result
};

const function_case functions[] = {
    {"atan", fast_atan_with, [](double x) { return std::atan(x); }, atan_arguments, 0.0, pi_half},
    {"log10", fast_log10_with, [](double x) { return std::log10(x); }, log10_arguments, 0.0, DBL_MAX},
};

class Fastmath : public ::testing::TestWithParam<fast_variant> {
  protected:
    void SetUp() override
    {
        if (!fast_variant_available(GetParam()))
            GTEST_SKIP() << "this processor cannot run " << fast_variant_name(GetParam());
    }
};

TEST_P(Fastmath, AgreesWithTheCLibraryWithinTheBound)
{
    for (const function_case &fc : functions) {
        const std::vector<double> xs = fc.arguments();
        std::vector<double> ys(xs.size());
        fc.fast(GetParam(), xs.data(), ys.data(), xs.size());
        double worst = 0.0, worst_x = 0.0;
        for (size_t i = 0; i < xs.size(); ++i) {
            const double err = fast_ulp_error(ys[i], fc.reference(xs[i]));
            if (err > worst) {
                worst = err;
                worst_x = xs[i];
            }
            ASSERT_TRUE(ys[i] >= fc.lowest && ys[i] <= fc.highest) << fc.name << "(" << std::hexfloat << xs[i] << ")";
        }
        EXPECT_LE(worst, bound_ulp) << fc.name << " at " << std::hexfloat << worst_x;
    }
}

TEST_P(Fastmath, ExactSpecialValues)
{
    // atan(0) is +0; below 2^-27 atan(x) rounds to x itself, subnormals too.
    std::vector<double> xs = {0.0, DBL_TRUE_MIN, 5 * DBL_TRUE_MIN, DBL_MIN / 3, DBL_MIN, 1e-300, 1e-20, 0x1p-28};
    std::vector<double> ys(xs.size(), -1.0);
    fast_atan_with(GetParam(), xs.data(), ys.data(), xs.size());
    EXPECT_FALSE(std::signbit(ys[0]));
    for (size_t i = 0; i < xs.size(); ++i)
        EXPECT_EQ(ys[i], xs[i]) << std::hexfloat << xs[i];
    const double one = 1.0;
    double lg = -1.0;
    fast_log10_with(GetParam(), &one, &lg, 1);
    EXPECT_EQ(lg, 0.0);
    EXPECT_FALSE(std::signbit(lg));
}

TEST_P(Fastmath, ResultsDoNotDependOnLengthPlaceOrOverlap)
{
    for (const function_case &fc : functions) {
        std::vector<double> xs = fc.arguments();
        xs.resize(4099);
        std::vector<double> whole(xs.size()), single(xs.size()), shifted(xs.size() + 1);
        fc.fast(GetParam(), xs.data(), whole.data(), xs.size());
        for (size_t i = 0; i < xs.size(); ++i)
            fc.fast(GetParam(), &xs[i], &single[i], 1);
        fc.fast(GetParam(), xs.data(), shifted.data() + 1, xs.size());
        std::vector<double> in_place = xs;
        fc.fast(GetParam(), in_place.data(), in_place.data(), xs.size());
        for (size_t i = 0; i < xs.size(); ++i) {
            const double expect = whole[i];
            ASSERT_EQ(std::memcmp(&single[i], &expect, sizeof expect), 0) << fc.name << " one by one, " << i;
            ASSERT_EQ(std::memcmp(&shifted[i + 1], &expect, sizeof expect), 0) << fc.name << " shifted, " << i;
            ASSERT_EQ(std::memcmp(&in_place[i], &expect, sizeof expect), 0) << fc.name << " in place, " << i;
        }
        // Outside the domain the result is unspecified, but must come back.
        const double odd[] = {-0.0, -1.0, -DBL_MAX, -DBL_TRUE_MIN, 0.5, HUGE_VAL, -HUGE_VAL, NAN, -NAN};
        double out[std::size(odd)];
        fc.fast(GetParam(), odd, out, std::size(odd));
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, Fastmath, ::testing::ValuesIn(fast_variants),
                         [](const ::testing::TestParamInfo<fast_variant> &variant) {
                             return std::string(fast_variant_name(variant.param));
                         });

} // namespace

// Error and speed of the fast arc tangent and decimal logarithm
// (lib/fastmath.h) against the C library, for every variant this processor
// runs.
//
//   quarvelin_kernels [COUNT [SEED]]     COUNT random arguments per function
//                                        (default 100000000), SEED default 1
//
// Arguments: for atan 70% uniform on [0, 60] (the gradients of slopes up to
// 89 degrees), 10% uniform on [0, 1] and 20% spread evenly over every binade
// from the smallest subnormal to the largest double; for log10 80% uniform on
// [1, 91] (1 + slope in degrees) and 20% over every binade from 1 to the
// largest double. Errors are in units in the last place (ulp) of the C
// library's result and as relative errors, beside the 2^-40 margin that the
// program keeps around its decisions; on every 16th argument both are also
// compared with the long double function, to tell whose error it is. Speed is
// nanoseconds per element over a 4096-element array (in the first-level
// cache) of arguments from the program's range only (atan 0..60, log10
// 1..91), best of several rounds: tiny arguments whose intermediate results
// underflow take much longer on processors that handle subnormal results in
// microcode, in the C library as well.
#include "fastmath.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr size_t chunk = 1 << 16;

double ulp_error_exact(double got, long double exact)
{
    const double ref = static_cast<double>(exact);
    int e;
    std::frexp(ref, &e);
    return static_cast<double>(std::fabs(got - exact) / std::ldexp(1.0L, std::max(e - 53, -1074)));
}

struct function_case {
    const char *name;
    void (*fast)(fast_variant, const double *, double *, size_t);
    double (*libm)(double);
    long double (*exact)(long double);
    void (*fill)(std::mt19937_64 &, double *, size_t);
    double lo, hi; // the program's range, for the speed
};

double uniform(std::mt19937_64 &rng, double lo, double hi)
{
    return lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
}

// A double spread evenly over the binades 2^lo .. 2^hi (mantissa uniform).
double any_binade(std::mt19937_64 &rng, int lo, int hi)
{
    const int e = std::uniform_int_distribution<int>(lo, hi)(rng);
    return std::ldexp(uniform(rng, 1.0, 2.0), e);
}

void fill_atan(std::mt19937_64 &rng, double *x, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const double pick = uniform(rng, 0.0, 1.0);
        x[i] = pick < 0.7   ? uniform(rng, 0.0, 60.0)
               : pick < 0.8 ? uniform(rng, 0.0, 1.0)
                            : any_binade(rng, -1074, 1023);
    }
}

void fill_log10(std::mt19937_64 &rng, double *x, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        x[i] = uniform(rng, 0.0, 1.0) < 0.8 ? uniform(rng, 1.0, 91.0) : any_binade(rng, 0, 1023);
}

const function_case functions[] = {
    {"atan", fast_atan_with, [](double x) { return std::atan(x); }, [](long double x) { return std::atan(x); },
     fill_atan, 0.0, 60.0},
    {"log10", fast_log10_with, [](double x) { return std::log10(x); }, [](long double x) { return std::log10(x); },
     fill_log10, 1.0, 91.0},
};

struct errors {
    double ulp = 0, rel = 0, worst_x = 0;  // against the C library
    double fast_exact = 0, libm_exact = 0; // against long double, in ulp
};

template <typename F>
double ns_per_element(F &&body, size_t n)
{
    double best = 1e30;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int rep = 0; rep < 50; ++rep)
            body();
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / (50.0 * static_cast<double>(n)));
    }
    return best;
}

volatile double sink;

} // namespace

int main(int argc, char **argv)
{
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::vector<fast_variant> variants;
    for (fast_variant v : fast_variants)
        if (fast_variant_available(v))
            variants.push_back(v);
    std::printf("variant in use: %s; %zu arguments per function, seed %llu\n", fast_variant_name(fast_variant_in_use()),
                count, seed);
    std::printf("%-6s %-9s %9s %11s %11s %24s %9s %9s %9s %9s %8s\n", "func", "variant", "max ulp", "max rel", "margin",
                "worst x", "fast ulp*", "libm ulp*", "fast ns", "libm ns", "speed-up");
    for (const function_case &fc : functions) {
        std::mt19937_64 rng(seed);
        std::vector<double> x(chunk), ref(chunk), y(chunk);
        std::vector<errors> err(variants.size());
        for (size_t done = 0; done < count; done += chunk) {
            const size_t n = std::min(chunk, count - done);
            fc.fill(rng, x.data(), n);
            for (size_t i = 0; i < n; ++i)
                ref[i] = fc.libm(x[i]);
            for (size_t v = 0; v < variants.size(); ++v) {
                errors &e = err[v];
                fc.fast(variants[v], x.data(), y.data(), n);
                for (size_t i = 0; i < n; ++i) {
                    const double u = fast_ulp_error(y[i], ref[i]);
                    if (u > e.ulp) {
                        e.ulp = u;
                        e.worst_x = x[i];
                    }
                    if (ref[i] != 0.0)
                        e.rel = std::max(e.rel, std::fabs(y[i] - ref[i]) / std::fabs(ref[i]));
                }
                for (size_t i = 0; i < n; i += 16) {
                    const long double exact = fc.exact(x[i]);
                    e.fast_exact = std::max(e.fast_exact, ulp_error_exact(y[i], exact));
                    e.libm_exact = std::max(e.libm_exact, ulp_error_exact(ref[i], exact));
                }
            }
        }
        const size_t n = 4096;
        std::vector<double> tx(n), ty(n);
        for (double &v : tx)
            v = uniform(rng, fc.lo, fc.hi);
        const double libm_ns = ns_per_element(
            [&] {
                for (size_t i = 0; i < n; ++i)
                    ty[i] = fc.libm(tx[i]);
                sink = ty[n - 1];
            },
            n);
        for (size_t v = 0; v < variants.size(); ++v) {
            const double fast_ns = ns_per_element(
                [&] {
                    fc.fast(variants[v], tx.data(), ty.data(), n);
                    sink = ty[n - 1];
                },
                n);
            const errors &e = err[v];
            std::printf("%-6s %-9s %9.3f %11.3e %11.3e %24a %9.3f %9.3f %9.2f %9.2f %8.1f\n", fc.name,
                        fast_variant_name(variants[v]), e.ulp, e.rel, std::ldexp(1.0, -40), e.worst_x, e.fast_exact,
                        e.libm_exact, fast_ns, libm_ns, libm_ns / fast_ns);
        }
    }
    std::printf("ulp*: against long double, every 16th argument\n");
    return 0;
}

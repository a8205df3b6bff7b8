// The correctly rounded arc tangent and logarithm (lib/crmath.h) against GNU
// MPFR, over many random arguments per function:
//
//     quarvelin_crmath_check [count per function, default 10^8] [threads]
//
// Arguments: atan over gradients 0..3, 0..1e6, every binade from 2^-30 to
// 2^64 and random bit patterns; log10 over 1..91 (slope + 1), every binade
// and random bit patterns (subnormals among them). Reports the mismatches
// (must be 0), the share of arguments the fast path could not decide, and
// the time per call of both paths; and, where the processor has a fused
// multiply-add, that the fast path gives the same bits with it and without
// it. Exit status 1 on any mismatch or difference.
#include "crmath.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mpfr.h>
#include <thread>
#include <vector>

namespace {

uint64_t next(uint64_t &s)
{
    s += 0x9e3779b97f4a7c15u;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

double unit(uint64_t &s)
{
    return double(next(s) >> 11) * 0x1p-53;
}

double pow2(int e)
{
    return std::bit_cast<double>(uint64_t(e + 1023) << 52);
}

double argument(bool atan, uint64_t &s)
{
    const uint64_t kind = next(s) % 8;
    if (atan) {
        if (kind < 3)
            return 3.0 * unit(s);
        if (kind < 5)
            return 1e6 * unit(s);
        if (kind < 7)
            return pow2(int(next(s) % 94) - 30) * (1.0 + unit(s));
        return std::bit_cast<double>(next(s) & ~(uint64_t(1) << 63));
    }
    if (kind < 5)
        return 1.0 + 90.0 * unit(s);
    if (kind < 7)
        return pow2(int(next(s) % 2046) - 1022) * (1.0 + unit(s));
    return std::bit_cast<double>(next(s) >> 1);
}

double oracle(bool atan, double x, mpfr_t in, mpfr_t out)
{
    mpfr_set_d(in, x, MPFR_RNDN);
    const int inex = atan ? mpfr_atan(out, in, MPFR_RNDN) : mpfr_log10(out, in, MPFR_RNDN);
    mpfr_subnormalize(out, inex, MPFR_RNDN);
    return mpfr_get_d(out, MPFR_RNDN);
}

struct tally {
    std::atomic<uint64_t> mismatches{0}, undecided{0};
};

void check(bool atan, uint64_t seed, uint64_t count, tally &t)
{
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    mpfr_t in, out;
    mpfr_init2(in, 53);
    mpfr_init2(out, 53);
    uint64_t s = seed, bad = 0, slow = 0;
    for (uint64_t k = 0; k < count; k++) {
        const double x = argument(atan, s);
        double fast;
        const bool in_range = atan ? x >= 0x1p-27 && x <= 0x1p60 : x > 0.0 && x <= 0x1.fffffffffffffp1023 && x != 1.0;
        if (in_range && !(atan ? cr_atan_fast(x, fast) : cr_log10_fast(x, fast)))
            slow++;
        const double want = oracle(atan, x, in, out);
        const double got = atan ? cr_atan(x) : cr_log10(x);
        // The accurate path alone too, on one argument in 32.
        const double got2 = in_range && k % 32 == 0 ? (atan ? cr_atan_accurate(x) : cr_log10_accurate(x)) : got;
        for (const double g : {got, got2})
            if (std::bit_cast<uint64_t>(g) != std::bit_cast<uint64_t>(want) && !(g != g && want != want) && bad++ < 10)
                std::printf("MISMATCH %s(%a): %a, MPFR %a\n", atan ? "atan" : "log10", x, g, want);
    }
    t.mismatches += bad;
    t.undecided += slow;
    mpfr_clear(in);
    mpfr_clear(out);
    mpfr_free_cache();
}

double ns_per_call(bool atan, bool accurate, uint64_t count)
{
    std::vector<double> xs(4096);
    uint64_t s = 7;
    for (double &x : xs)
        x = atan ? 3.0 * unit(s) + 0x1p-20 : 1.0 + 90.0 * unit(s);
    double sink = 0.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (uint64_t k = 0; k < count; k++) {
        const double x = xs[k % xs.size()];
        if (accurate)
            sink += atan ? cr_atan_accurate(x) : cr_log10_accurate(x);
        else
            sink += atan ? cr_atan(x) : cr_log10(x);
    }
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    if (sink == 0.5)
        std::puts("");
    return ns / double(count);
}

// The fast path with and without the fused multiply-add, on `count`
// arguments: the number of arguments where they differ (decision or value).
uint64_t variants_differ(bool atan, uint64_t count)
{
    uint64_t s = 99, differ = 0;
    std::vector<double> xs(1 << 20), out[2];
    std::vector<char> decided[2];
    for (uint64_t done = 0; done < count; done += xs.size()) {
        for (double &x : xs)
            x = argument(atan, s);
        for (int v = 0; v < 2; v++) {
            cr_use_fma(v == 1);
            out[v].assign(xs.size(), 0.0);
            decided[v].assign(xs.size(), 0);
            for (size_t k = 0; k < xs.size(); k++) {
                const double x = xs[k];
                if (atan ? x >= 0x1p-27 && x <= 0x1p60 : x > 0.0 && x <= 0x1.fffffffffffffp1023 && x != 1.0)
                    decided[v][k] = atan ? cr_atan_fast(x, out[v][k]) : cr_log10_fast(x, out[v][k]);
            }
        }
        for (size_t k = 0; k < xs.size(); k++)
            differ += decided[0][k] != decided[1][k] ||
                      std::bit_cast<uint64_t>(out[0][k]) != std::bit_cast<uint64_t>(out[1][k]);
    }
    cr_use_fma(true);
    return differ;
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000u;
    const unsigned threads = argc > 2 ? unsigned(std::atoi(argv[2])) : 2u;
    int status = 0;
    for (int f = 0; f < 2; f++) {
        const bool atan = f == 0;
        tally t;
        std::vector<std::thread> pool;
        for (unsigned k = 0; k < threads; k++)
            pool.emplace_back(check, atan, 1234567u * (k + 1) + unsigned(f), count / threads + (k < count % threads),
                              std::ref(t));
        for (std::thread &th : pool)
            th.join();
        std::printf("%-5s  %" PRIu64 " arguments, %" PRIu64 " mismatches, accurate path %" PRIu64 " (%.2e)\n",
                    atan ? "atan" : "log10", count, t.mismatches.load(), t.undecided.load(),
                    double(t.undecided.load()) / double(count));
        std::printf("       ns per call: whole function %.1f, accurate path %.1f\n", ns_per_call(atan, false, 20000000),
                    ns_per_call(atan, true, 200000));
        const bool fma = cr_use_fma(true);
        const uint64_t differ = fma ? variants_differ(atan, count) : 0;
        std::printf("       fast path with and without fused multiply-add: %s, %" PRIu64 " differences\n",
                    fma ? "compared" : "no fused multiply-add here", differ);
        if (t.mismatches.load() != 0 || differ != 0)
            status = 1;
    }
    return status;
}

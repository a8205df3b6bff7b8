// Hard arguments for the correctly rounded arc tangent and logarithm, found
// with GNU MPFR, written as the table tests/data/crmath_hard.txt:
//
//     quarvelin_crmath_hard [seconds of log10 search, default 60] > tests/data/crmath_hard.txt
//
// Each line is a function letter (a = atan, l = log10) and pairs
// argument:result of IEEE bit patterns in hexadecimal, the result correctly
// rounded to nearest. The rows:
//   - atan, results within 2^-40 of a unit in the last place of a midpoint
//     between two doubles: small x, where x - atan(x) ~ x^3/3 crosses a
//     half unit of x slowly; and large x, where pi/2 - atan(x) ~ 1/x does;
//   - log10, the nearest to a midpoint among the arguments that the fast
//     path of lib/crmath cannot decide, in a random search over 1..91 and
//     over every binade (no structure brings log10 as close as atan);
//   - tone edges: for a stretch over log10(1 + slope) from 0 to the maximum
//     of real runs (the sample model, 45 and 89.9 degrees), the slope + 1
//     where each fourth tone begins and the gradient of that slope, with a
//     neighbour on each side.
// The distance to a midpoint of every row is printed on standard error.
#include "crmath.h"

#include <bit>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mpfr.h>
#include <vector>

namespace {

constexpr mpfr_prec_t prec = 320;

uint64_t bits(double v)
{
    return std::bit_cast<uint64_t>(v);
}

double from_bits(uint64_t b)
{
    return std::bit_cast<double>(b);
}

// f(x) at 320 bits into y; its correctly rounded double; its distance to the
// nearest midpoint in units in the last place of that double (0 .. 0.5).
double exact(bool atan, double x, mpfr_t y, double &rounded)
{
    mpfr_t xx, r, d;
    mpfr_inits2(prec, xx, r, d, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(xx, x, MPFR_RNDN);
    if (atan)
        mpfr_atan(y, xx, MPFR_RNDN);
    else
        mpfr_log10(y, xx, MPFR_RNDN);
    rounded = mpfr_get_d(y, MPFR_RNDN);
    mpfr_set_d(r, rounded, MPFR_RNDN);
    mpfr_sub(d, y, r, MPFR_RNDN);
    // The gap on the side of the exact value.
    const double next = from_bits(bits(rounded) + ((mpfr_sgn(d) > 0) == (rounded > 0) ? uint64_t(1) : ~uint64_t(0)));
    const double gap = next > rounded ? next - rounded : rounded - next;
    mpfr_div_d(d, d, gap, MPFR_RNDN);
    mpfr_abs(d, d, MPFR_RNDN);
    const double dist = 0.5 - mpfr_get_d(d, MPFR_RNDN);
    mpfr_clears(xx, r, d, static_cast<mpfr_ptr>(nullptr));
    return dist;
}

struct row {
    double x, y, dist;
};

row make(bool atan, double x)
{
    mpfr_t y;
    mpfr_init2(y, prec);
    double r;
    const double dist = exact(atan, x, y, r);
    mpfr_clear(y);
    return {x, r, dist};
}

void print(char f, const std::vector<row> &rows)
{
    for (size_t k = 0; k < rows.size(); k += 8) {
        std::printf("%c", f);
        for (size_t j = k; j < rows.size() && j < k + 8; j++) {
            std::printf(" %016" PRIx64 ":%016" PRIx64, bits(rows[j].x), bits(rows[j].y));
            std::fprintf(stderr, "%c %a %a distance 2^%.1f ulp\n", f, rows[j].x, rows[j].y,
                         rows[j].dist > 0 ? std::log2(rows[j].dist) : -999.0);
        }
        std::printf("\n");
    }
}

// The double x in [lo, hi] (a binade) nearest to where (x - atan(x)) / ulp(x)
// crosses h, by halving over the bit patterns.
double small_crossing(double lo, double hi, double h)
{
    uint64_t a = bits(lo), b = bits(hi);
    const double ulp = from_bits(bits(lo) + 1) - lo;
    mpfr_t y, xx;
    mpfr_inits2(prec, y, xx, static_cast<mpfr_ptr>(nullptr));
    while (b - a > 1) {
        const uint64_t m = a + (b - a) / 2;
        mpfr_set_d(xx, from_bits(m), MPFR_RNDN);
        mpfr_atan(y, xx, MPFR_RNDN);
        mpfr_sub(y, xx, y, MPFR_RNDN);
        mpfr_div_d(y, y, ulp, MPFR_RNDN);
        (mpfr_cmp_d(y, h) < 0 ? a : b) = m;
    }
    mpfr_clears(y, xx, static_cast<mpfr_ptr>(nullptr));
    return from_bits(a);
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    std::printf("# Hard arguments of cr_atan (a) and cr_log10 (l): argument:result as IEEE bits,\n"
                "# the result correctly rounded to nearest (GNU MPFR). Made by bench/crmath_hard.cpp.\n");
    std::vector<row> atan_rows;
    // Small x: crossings of the half units 0.5, 1.5, ... in three binades.
    for (int e = -27; e <= -25; e++) {
        const double lo = std::ldexp(1.0, e), hi = std::ldexp(1.0, e + 1);
        for (double h = 0.5; h < 40.0; h += 1.0) {
            const double x = small_crossing(lo, from_bits(bits(hi) - 1), h);
            if (x <= lo)
                continue;
            for (int d = -1; d <= 1; d++) {
                const row r = make(true, from_bits(bits(x) + uint64_t(int64_t(d))));
                if (r.dist < 0x1p-40)
                    atan_rows.push_back(r);
            }
            if (atan_rows.size() >= 24)
                break;
        }
    }
    // Large x: the tangent of the midpoints below pi/2, rounded.
    {
        mpfr_t m, t;
        mpfr_inits2(prec, m, t, static_cast<mpfr_ptr>(nullptr));
        const double top = 0x1.921fb54442d18p+0;
        size_t found = 0;
        for (uint64_t j = 1; found < 24 && j < 4096; j = j * 3 / 2 + 1) {
            mpfr_set_d(m, top, MPFR_RNDN);
            mpfr_sub_d(m, m, (double(j) - 0.5) * 0x1p-52, MPFR_RNDN);
            mpfr_tan(t, m, MPFR_RNDN);
            const row r = make(true, mpfr_get_d(t, MPFR_RNDN));
            if (r.dist < 0x1p-40) {
                atan_rows.push_back(r);
                found++;
            }
        }
        mpfr_clears(m, t, static_cast<mpfr_ptr>(nullptr));
    }
    print('a', atan_rows);

    // log10: a random search among the arguments the fast path leaves open.
    std::vector<row> best;
    uint64_t s = 88172645463325252u;
    const auto start = std::chrono::steady_clock::now();
    uint64_t tried = 0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        for (int k = 0; k < 1000000; k++) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            const double x =
                (k & 1) != 0 ? 1.0 + 90.0 * double(s >> 11) * 0x1p-53 : from_bits((s >> 1) | 0x0010000000000000u);
            double out;
            if (x >= 0x1p1023 || x == 1.0 || cr_log10_fast(x, out))
                continue;
            const row r = make(false, x);
            best.push_back(r);
            for (size_t j = best.size() - 1; j > 0 && best[j].dist < best[j - 1].dist; j--)
                std::swap(best[j], best[j - 1]);
            if (best.size() > 32)
                best.pop_back();
        }
        tried += 1000000;
    }
    std::fprintf(stderr, "log10: %" PRIu64 " arguments searched\n", tried);
    print('l', best);

    // Tone edges.
    for (const double max_slope : {32.214189, 45.0, 89.9}) {
        std::vector<row> logs, atans;
        mpfr_t lm, v, g;
        mpfr_inits2(prec, lm, v, g, static_cast<mpfr_ptr>(nullptr));
        mpfr_set_d(lm, max_slope + 1.0, MPFR_RNDN);
        mpfr_log10(lm, lm, MPFR_RNDN);
        for (int k = 1; k < 255; k += 4) {
            // slope + 1 = 10^(k log_max / 254); gradient = tan(slope pi / 180).
            mpfr_mul_si(v, lm, k, MPFR_RNDN);
            mpfr_div_si(v, v, 254, MPFR_RNDN);
            mpfr_exp10(v, v, MPFR_RNDN);
            const double x = mpfr_get_d(v, MPFR_RNDN);
            mpfr_sub_ui(v, v, 1, MPFR_RNDN);
            mpfr_const_pi(g, MPFR_RNDN);
            mpfr_mul(g, g, v, MPFR_RNDN);
            mpfr_div_ui(g, g, 180, MPFR_RNDN);
            mpfr_tan(g, g, MPFR_RNDN);
            const double gr = mpfr_get_d(g, MPFR_RNDN);
            for (int d = -1; d <= 1; d++) {
                logs.push_back(make(false, from_bits(bits(x) + uint64_t(int64_t(d)))));
                atans.push_back(make(true, from_bits(bits(gr) + uint64_t(int64_t(d)))));
            }
        }
        mpfr_clears(lm, v, g, static_cast<mpfr_ptr>(nullptr));
        print('l', logs);
        print('a', atans);
    }
    return 0;
}

// The loops of lib/fastmath.h: the arc tangent, the decimal logarithm and
// the per-line loops of the slope stage.
//
// This one source is built three times: as part of the support library for
// any x86-64 (SSE2, names ending in _baseline), with -mavx2 -mfma and
// QUARVELIN_FASTMATH_AVX2 defined (_avx2), and with AVX-512 as well and
// QUARVELIN_FASTMATH_AVX512 defined (_avx512); fastmath.cpp picks one at
// run time, by hand, so that no loader support for picking functions is
// needed. The bodies are branch-free (selects, bit operations, one division,
// Horner polynomials) so that g++ -O3 vectorises every loop. mul_add is the
// only place where the builds differ: one fused multiply-add in the AVX2 and
// AVX-512 builds, a product and a sum (two roundings) in the baseline build,
// where a fused operation would be emulated in software. Nothing else is
// contracted (-ffp-contract=off), so each build gives the same results
// everywhere, and the line loops, which use no mul_add, give the same bits
// in every build.
//
// Built with -fno-trapping-math: the choices `c ? a : b` become branches
// inside g++, and only when floating-point operations may be assumed not to
// trap does it turn them back into unconditional operations and selects,
// which the vectoriser needs. Results are the same to the bit; only the
// floating-point exception flags (which nothing reads) may differ.
//
// Everything except the entry points has internal linkage and no
// header-defined inline function or template is used: otherwise the linker
// could keep the AVX2 copy of a shared inline function for the baseline
// code, which would then fail on a processor without AVX2.
//
// The constants come from bench/fastmath_coeffs.py (Remez fits of the two
// polynomials, split constants, reduction thresholds).
#include "fastmath.h"

#include <cstdint>

#if defined(QUARVELIN_FASTMATH_AVX512)
#define FASTMATH_NAME(name) name##_avx512
#elif defined(QUARVELIN_FASTMATH_AVX2)
#define FASTMATH_NAME(name) name##_avx2
#else
#define FASTMATH_NAME(name) name##_baseline
#endif

void FASTMATH_NAME(fast_atan)(const double *x, double *y, size_t n);
void FASTMATH_NAME(fast_log10)(const double *x, double *y, size_t n);
void FASTMATH_NAME(line_gradients)(const double *z0, const double *z1, const double *z2, size_t m, double p, double *g);
void FASTMATH_NAME(line_degrees)(double *pen, double *x, size_t m, double pi);
double FASTMATH_NAME(line_largest)(const double *g, size_t m);
void FASTMATH_NAME(line_stretch)(const double *lg, const double *g, size_t m, const double stretch[4], int *val,
                                 unsigned char *todo);
void FASTMATH_NAME(line_lookup)(const double *g, size_t m, uint64_t first, int shift, const unsigned char *table,
                                uint64_t size, unsigned char below, unsigned char *out);
void FASTMATH_NAME(line_lookup16)(const double *g, size_t m, uint64_t first, int shift, const uint16_t *table,
                                  uint64_t size, int *val, unsigned char *left);
void FASTMATH_NAME(line_cells)(const unsigned char *bytes, size_t n, int width, int *cells, int extent[2]);
void FASTMATH_NAME(line_metres)(const int *cells, size_t n, double coef, double *z);

namespace {

inline double mul_add(double a, double b, double c)
{
#if defined(QUARVELIN_FASTMATH_AVX2) || defined(QUARVELIN_FASTMATH_AVX512)
    return __builtin_fma(a, b, c);
#else
    return a * b + c;
#endif
}

// A polynomial in x by Horner's rule, its coefficients from the highest
// power down: ((c0 x + c1) x + c2) x + ..., one mul_add a step.
template <typename... C>
inline double horner(double x, double c0, C... cs)
{
    double acc = c0;
    ((acc = mul_add(acc, x, cs)), ...);
    return acc;
}

inline uint64_t bits_of(double v)
{
    return __builtin_bit_cast(uint64_t, v);
}

inline double double_of(uint64_t u)
{
    return __builtin_bit_cast(double, u);
}

// Arc tangent. Five centres 0, c, 1, 1/c, infinity with c = tan(pi/8); each
// centre is the ratio B / A of a pair (A, B) and has the angle K (split into
// hi + lo), so that
//     atan(x) = K + atan(t),    t = (A x - B) / (B x + A).
// x above threshold i moves to centre i; the thresholds lie half-way in angle
// between neighbouring centres, so |t| <= 0.1990 (p = t^2 <= 0.03957). Below
// the first threshold t = x exactly, so tiny and subnormal x come back
// unchanged; for the centre at infinity t = -1 / x.
constexpr double atan_c = 0x1.a827999fcef32p-2;
constexpr double atan_t1 = 0x1.975f5e0553158p-3;
constexpr double atan_t2 = 0x1.561b82ab7f990p-1;
constexpr double atan_t3 = 0x1.7f218e25a7462p+0;
constexpr double atan_t4 = 0x1.41bfee2424771p+2;
constexpr double atan_k1_hi = 0x1.921fb54442d18p-2, atan_k1_lo = 0x1.c398861b78b55p-59;
constexpr double atan_k2_hi = 0x1.921fb54442d18p-1, atan_k2_lo = 0x1.1a62633145c07p-55;
constexpr double atan_k3_hi = 0x1.2d97c7f3321d2p+0, atan_k3_lo = 0x1.0c459f0069facp-54;
constexpr double atan_k4_hi = 0x1.921fb54442d18p+0, atan_k4_lo = 0x1.1a62633145c07p-54;
// atan(t) = t + t p P(p): P is within 2^-60 relative (of the result) of the
// true series -1/3 + p/5 - p^2/7 + ... on p <= 0.03957.
constexpr double atan_p0 = -0x1.5555555555551p-2, atan_p1 = 0x1.9999999997f95p-3, atan_p2 = -0x1.24924922c94c1p-3,
                 atan_p3 = 0x1.c71c6fe166733p-4, atan_p4 = -0x1.745c883a68c8ap-4, atan_p5 = 0x1.3afb11564422dp-4,
                 atan_p6 = -0x1.0e97a7347a6fdp-4, atan_p7 = 0x1.9c5f8624b67d6p-5;

// Decimal logarithm. x = 2^e m with sqrt(1/2) < m <= sqrt(2), f = m - 1 (exact),
// s = f / (2 + f), z = s^2 <= 0.02944. The natural logarithm of m is
//     ln(1 + f) = 2 atanh(s) = f - f^2/2 + s (f^2/2 + z Q(z)),
// with f as the exact leading term. Then
//     log10(x) = e log10(2) + f / ln(10) + (ln(1 + f) - f) / ln(10)
// where e log10_2_hi (42 bits times at most 11) and f_hi inv_ln10_hi (21 bits
// times 32) are exact products and the rest is small.
constexpr double log_sqrt2 = 0x1.6a09e667f3bcdp+0;
constexpr double log10_2_hi = 0x1.34413509f7800p-2, log10_2_lo = 0x1.fef311f12b358p-46;
constexpr double inv_ln10_hi = 0x1.bcb7b15200000p-2, inv_ln10_lo = 0x1.b9438ca9aadd5p-36;
constexpr double inv_ln10 = 0x1.bcb7b1526e50ep-2;
// Q is within 2^-59 relative (of the result) of 2/3 + 2z/5 + 2z^2/7 + ...
constexpr double log_q0 = 0x1.5555555555592p-1, log_q1 = 0x1.999999997fee8p-2, log_q2 = 0x1.24924941e0cd0p-2,
                 log_q3 = 0x1.c71c521643d64p-3, log_q4 = 0x1.74663c555a73bp-3, log_q5 = 0x1.39a1fb6a5f8dfp-3,
                 log_q6 = 0x1.2f02e7c2503aap-3;
constexpr uint64_t exponent_bias = 0x4330000000000000;    // 2^52 as a double, low bits free for the exponent
constexpr double exponent_offset = 0x1.00000000003ffp+52; // 2^52 + 1023
constexpr uint64_t mantissa_mask = 0x000fffffffffffff;
constexpr uint64_t one_bits = 0x3ff0000000000000;
// The upper half of a double: sign, exponent and the first 20 stored bits
// of the mantissa, so that f_hi keeps 21 significant bits with the hidden one.
constexpr uint64_t upper_half = 0xffffffff00000000;

} // namespace

void FASTMATH_NAME(fast_atan)(const double *x, double *y, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        const double v = x[k];
        const bool above1 = v > atan_t1, above2 = v > atan_t2, above3 = v > atan_t3, above4 = v > atan_t4;
        double a = above3 ? atan_c : 1.0;
        a = above4 ? 0.0 : a;
        double b = above1 ? atan_c : 0.0;
        b = above2 ? 1.0 : b;
        double k_hi = above1 ? atan_k1_hi : 0.0;
        double k_lo = above1 ? atan_k1_lo : 0.0;
        k_hi = above2 ? atan_k2_hi : k_hi;
        k_lo = above2 ? atan_k2_lo : k_lo;
        k_hi = above3 ? atan_k3_hi : k_hi;
        k_lo = above3 ? atan_k3_lo : k_lo;
        k_hi = above4 ? atan_k4_hi : k_hi;
        k_lo = above4 ? atan_k4_lo : k_lo;
        // At the centre at infinity A x - B is 0 * 1 - 1, so that an
        // infinite x cannot make 0 * inf.
        const double num = mul_add(a, above4 ? 1.0 : v, -b);
        const double t = num / mul_add(b, v, a);
        const double p = t * t;
        const double q = horner(p, atan_p7, atan_p6, atan_p5, atan_p4, atan_p3, atan_p2, atan_p1, atan_p0);
        y[k] = k_hi + (t + mul_add(t * p, q, k_lo));
    }
}

void FASTMATH_NAME(fast_log10)(const double *x, double *y, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        const uint64_t u = bits_of(x[k]);
        // The biased exponent placed in the low bits of 2^52 gives 2^52 +
        // biased exponent exactly; no conversion from an integer is needed.
        double e = double_of((u >> 52) | exponent_bias) - exponent_offset;
        double m = double_of((u & mantissa_mask) | one_bits);
        const bool halve = m > log_sqrt2;
        m = halve ? 0.5 * m : m;
        e = halve ? e + 1.0 : e;
        const double f = m - 1.0;
        const double s = f / (2.0 + f);
        const double z = s * s;
        const double q = horner(z, log_q6, log_q5, log_q4, log_q3, log_q2, log_q1, log_q0);
        const double hfsq = 0.5 * f * f;
        const double c = mul_add(s, mul_add(z, q, hfsq), -hfsq); // ln(1 + f) - f
        const double f_hi = double_of(bits_of(f) & upper_half);
        const double lo = mul_add(f - f_hi, inv_ln10_hi, mul_add(f, inv_ln10_lo, mul_add(c, inv_ln10, e * log10_2_lo)));
        // hi + err is the exact sum of the two exact products (|e log10_2_hi|
        // is the larger, or e is 0), so only the last addition rounds.
        const double e_part = e * log10_2_hi, f_part = f_hi * inv_ln10_hi;
        const double hi = e_part + f_part;
        const double err = (e_part - hi) + f_part;
        y[k] = hi + (err + lo);
    }
}

// Horn's gradient of the window around column j + 1 of the lines z0, z1, z2
// (above, at and below the cell): the two weighted sums, each over 8 times
// the cell size, and the root of the sum of their squares.
//
// The sums are made term by term, window line by window line and column by
// column, from 0.0; the zero weights add nothing and are left out.
// Floating-point addition is not associative: any other order or grouping
// changes the last bit of some slopes, and a last bit can move a grey tone
// or a log DEM value. Only exactly rounded operations are used, so this is
// the plain gradient in every build.
void FASTMATH_NAME(line_gradients)(const double *z0, const double *z1, const double *z2, size_t m, double p, double *g)
{
    for (size_t j = 0; j < m; j++) {
        double pentx = 0.0;
        pentx += -1.0 * z0[j];
        pentx += 1.0 * z0[j + 2];
        pentx += -2.0 * z1[j];
        pentx += 2.0 * z1[j + 2];
        pentx += -1.0 * z2[j];
        pentx += 1.0 * z2[j + 2];

        double penty = 0.0;
        penty += 1.0 * z0[j];
        penty += 2.0 * z0[j + 1];
        penty += 1.0 * z0[j + 2];
        penty += -1.0 * z2[j];
        penty += -2.0 * z2[j + 1];
        penty += -1.0 * z2[j + 2];

        const double cc = 8.0;
        pentx = pentx / cc * p; // divided by 8 first, then by the cell size
        penty = penty / cc * p;
        g[j] = __builtin_sqrt(pentx * pentx + penty * penty);
    }
}

// Radians to degrees (times 180 first, then over pi), and slope + 1.
void FASTMATH_NAME(line_degrees)(double *pen, double *x, size_t m, double pi)
{
    for (size_t j = 0; j < m; j++) {
        pen[j] = pen[j] * 180.0 / pi;
        x[j] = pen[j] + 1.0;
    }
}

// The largest of m gradients, +inf when one is not finite. Gradients are
// never negative, and non-negative doubles are in the order of their bits
// read as integers: an integer maximum vectorises.
double FASTMATH_NAME(line_largest)(const double *g, size_t m)
{
    const uint64_t inf = bits_of(__builtin_inf());
    uint64_t a = 0;
    for (size_t j = 0; j < m; j++) {
        const uint64_t b = g[j] <= 0x1.fffffffffffffp+1023 ? bits_of(g[j]) : inf;
        a = a > b ? a : b;
    }
    return double_of(a);
}

// The truncated stretch f = (lg - lmin) x scale of each fast logarithm, when
// it is one whole number over the whole margin of lg (rel x lg + abs) and
// the error of f itself (a few units of 2^-53 of it, well below the slack
// of 2^-48 of it); val[j] is then that number and todo[j] 0, else todo[j]
// is 1. Only exactly rounded operations: the same bits in every build.
void FASTMATH_NAME(line_stretch)(const double *lg, const double *g, size_t m, const double stretch[4], int *val,
                                 unsigned char *todo)
{
    const double lmin = stretch[0], scale = stretch[1], rel = stretch[2], abs = stretch[3];
    const double spread = __builtin_fabs(scale) * (1.0 + 0x1p-40);
    for (size_t j = 0; j < m; j++) {
        const double l = lg[j], f = (l - lmin) * scale;
        const double e = __builtin_fabs(f) * 0x1p-48 + (l * rel + abs) * spread;
        const double lo = __builtin_trunc(f - e), hi = __builtin_trunc(f + e);
        // Every test taken, with no branch, and the number converted only
        // once it is in range: the loop goes whole into vectors.
        const bool sure = (lo == hi) & (g[j] <= 0x1.fffffffffffffp+1023) & (lo >= -2147483648.0) & (lo <= 2147483647.0);
        val[j] = static_cast<int>(sure ? lo : 0.0);
        todo[j] = static_cast<unsigned char>(!sure);
    }
}

// The entry of each gradient in a table indexed by its leading bits: its
// bits shifted right by `shift`, less `first`; `below` before the table,
// 255 beyond it.
void FASTMATH_NAME(line_lookup)(const double *g, size_t m, uint64_t first, int shift, const unsigned char *table,
                                uint64_t size, unsigned char below, unsigned char *out)
{
    for (size_t j = 0; j < m; j++) {
        const uint64_t k = bits_of(g[j]) >> shift;
        out[j] = k < first ? below : k - first < size ? table[k - first] : 255;
    }
}

// The same with 16-bit entries whose top bit marks a hint (see fastmath.h).
// The table is read at every cell (at 0 outside it), so that the loop has
// no branch to mispredict.
void FASTMATH_NAME(line_lookup16)(const double *g, size_t m, uint64_t first, int shift, const uint16_t *table,
                                  uint64_t size, int *val, unsigned char *left)
{
    for (size_t j = 0; j < m; j++) {
        const uint64_t k = bits_of(g[j]) >> shift, i = k - first;
        const bool inside = i < size;
        const int entry = table[inside ? i : 0], outside = k < first ? 0 : -1;
        const int e = inside ? entry : outside;
        left[j] = static_cast<unsigned char>((e < 0) | ((e & 0x8000) != 0));
        val[j] = e < 0 ? -1 : e & 0x7FFF;
    }
}

// The stored cells of a raw line, little-endian: 16-bit unsigned (width 2)
// or 32-bit two's complement (width 4); extent[0] is lowered to the
// smallest of them and extent[1] raised to the largest (unless extent is
// null).
void FASTMATH_NAME(line_cells)(const unsigned char *bytes, size_t n, int width, int *cells, int extent[2])
{
    if (width == 2)
        for (size_t j = 0; j < n; j++)
            cells[j] =
                static_cast<int>(static_cast<unsigned>(bytes[2 * j]) | static_cast<unsigned>(bytes[2 * j + 1]) << 8);
    else
        for (size_t j = 0; j < n; j++)
            cells[j] = static_cast<int>(
                static_cast<uint32_t>(bytes[4 * j]) | static_cast<uint32_t>(bytes[4 * j + 1]) << 8 |
                static_cast<uint32_t>(bytes[4 * j + 2]) << 16 | static_cast<uint32_t>(bytes[4 * j + 3]) << 24);
    if (extent == nullptr)
        return;
    int lo = extent[0], hi = extent[1];
    for (size_t j = 0; j < n; j++) {
        lo = cells[j] < lo ? cells[j] : lo;
        hi = cells[j] > hi ? cells[j] : hi;
    }
    extent[0] = lo;
    extent[1] = hi;
}

// Elevations from stored cells: each cell over the unit's factor, one
// exactly rounded division.
void FASTMATH_NAME(line_metres)(const int *cells, size_t n, double coef, double *z)
{
    // Stored in metres: a division by 1 gives the cell itself, without the
    // cost of dividing.
    if (coef == 1.0) {
        for (size_t j = 0; j < n; j++)
            z[j] = static_cast<double>(cells[j]);
        return;
    }
    for (size_t j = 0; j < n; j++)
        z[j] = static_cast<double>(cells[j]) / coef;
}

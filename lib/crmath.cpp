// Correctly rounded arc tangent and decimal logarithm (see crmath.h).
//
// Every operation below is an IEEE double operation rounded to nearest, an
// integer operation, or a bit manipulation: no long double, no C library
// mathematics; a fused multiply-add only for the error of a product, which
// Dekker's splitting gives as exactly where there is none (two_prod).
// The tables come from bench/crmath_tables.py (mpmath at 400 bits).
//
// Fast path. The argument is reduced with a table to a small t (|t| <= 2^-7
// for atan, |r| <= 2^-7.3 for the logarithm); the table value and the first
// term or two of the series are carried as double-double (hi + lo), the
// remaining terms in double. The result is a normalised double-double whose
// relative error is below 2^-66.5 (the bounds are worked out beside each
// function); the rounding test asks whether every value within 2^-65 (a
// margin of 4) of it rounds to the same double, and returns that double if
// so.
//
// Accurate path. Fixed point with 256 bits, two's complement, 240 of them
// after the point (fx below): additions are exact, every product and every
// division by a small integer truncates by less than 2^-240. The same
// reductions are done exactly or to within a few 2^-240, the series are
// summed until their terms vanish, and the result is rounded to a double
// once. Its relative error is below 2^-178 (bounds beside the functions):
// the hardest arguments of binary64 lie about 2^-118 (relative) or more from
// a midpoint, and the exact results that are doubles (log10 of a power of
// ten, atan(0)) are exactly found, so rounding this value is rounding the
// exact one.
#include "crmath.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>

namespace {

struct dd {
    double hi, lo;
};

struct fx {
    uint64_t w[4]; // w[0] least significant; value = signed 256-bit integer * 2^-240
};

__extension__ typedef unsigned __int128 u128;

#include "crmath_tables.h"

constexpr uint64_t sign_bit = uint64_t(1) << 63;
constexpr uint64_t mantissa_bits = (uint64_t(1) << 52) - 1;

// ------------------------------------------------------- exact double steps

// a + b = s.hi + s.lo exactly (Knuth).
inline dd two_sum(double a, double b)
{
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s.hi + s.lo exactly when a is 0 or its exponent is at least b's.
inline dd fast_two_sum(double a, double b)
{
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with hi of 26 bits and lo of 26 (Veltkamp); |a| < 2^995.
inline void split(double a, double &hi, double &lo)
{
    const double c = 134217729.0 * a; // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// a * b = p.hi + p.lo exactly: with a fused multiply-add where the processor
// has one (the error of a product is a double, and the multiply-add gives
// it exactly), else by Dekker's splitting, exact when nothing overflows or
// underflows: every product here is of numbers between 2^-80 and 2^61, with
// results above 2^-130. Both give the same two doubles, so the results never
// depend on the processor.
template <bool Fma>
[[gnu::always_inline]] inline dd two_prod(double a, double b)
{
    const double p = a * b;
    if constexpr (Fma) {
        return {p, __builtin_fma(a, b, -p)};
    } else {
        double ah, al, bh, bl;
        split(a, ah, al);
        split(b, bh, bl);
        return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
    }
}

// Product: error below 2^-102 |a b|.
template <bool Fma>
[[gnu::always_inline]] inline dd dd_mul(dd a, dd b)
{
    dd p = two_prod<Fma>(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return fast_two_sum(p.hi, p.lo);
}

// Quotient n / d, d > 0, with one division: q1 = n.hi (1 / d.hi) within
// 2^-51, then one correction step, error below 2^-102 |n / d|.
template <bool Fma>
[[gnu::always_inline]] inline dd dd_div(dd n, dd d)
{
    const double inv = 1.0 / d.hi;
    const double q1 = n.hi * inv;
    const dd p = two_prod<Fma>(q1, d.hi);
    // n.hi - p.hi is exact: p.hi lies within a few units of n.hi.
    const double rem = (((n.hi - p.hi) - p.lo) + n.lo) - q1 * d.lo;
    return fast_two_sum(q1, rem * inv);
}

inline double abs_of(double v)
{
    return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & ~sign_bit);
}

// The rounding test. v is normalised (v.hi = v.hi + v.lo rounded), v.hi is a
// normal double above 2^-960 in magnitude, and the exact value lies within
// err |v.hi| of v.hi + v.lo. Every such value rounds to v.hi when it lies
// within half the gap from v.hi to its nearer neighbour (the gap below a power
// of two is half the one above); the sum on the left is rounded, up by at
// most a factor 1 + 2^-53, which the factor on the right covers.
inline bool rounds_to(dd v, double err, double &out)
{
    const uint64_t b = std::bit_cast<uint64_t>(v.hi);
    const uint64_t biased = (b >> 52) & 0x7ff;
    double half = std::bit_cast<double>((biased - 53) << 52);
    if ((b & mantissa_bits) == 0)
        half *= 0.5;
    if (abs_of(v.lo) + abs_of(v.hi) * err <= half * (1.0 - 0x1p-52)) {
        out = v.hi;
        return true;
    }
    return false;
}

// The fast paths' error bound with its margin (the bounds derived are below
// 2^-66.5).
constexpr double fast_err = 0x1p-65;

// ------------------------------------------------------ 256-bit fixed point

inline bool fx_negative(const fx &a)
{
    return (a.w[3] >> 63) != 0;
}

inline bool fx_zero(const fx &a)
{
    return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0;
}

fx fx_add(fx a, const fx &b)
{
    u128 carry = 0;
    for (int j = 0; j < 4; j++) {
        const u128 s = u128(a.w[j]) + b.w[j] + carry;
        a.w[j] = uint64_t(s);
        carry = s >> 64;
    }
    return a;
}

fx fx_neg(fx a)
{
    u128 carry = 1;
    for (int j = 0; j < 4; j++) {
        const u128 s = u128(~a.w[j]) + carry;
        a.w[j] = uint64_t(s);
        carry = s >> 64;
    }
    return a;
}

fx fx_sub(const fx &a, const fx &b)
{
    return fx_add(a, fx_neg(b));
}

inline fx fx_abs(const fx &a)
{
    return fx_negative(a) ? fx_neg(a) : a;
}

// a * b, the magnitude truncated: error below 2^-240. |a b| < 2^15.
fx fx_mul(const fx &a, const fx &b)
{
    const bool negative = fx_negative(a) != fx_negative(b);
    const fx x = fx_abs(a), y = fx_abs(b);
    uint64_t p[8] = {};
    for (int i = 0; i < 4; i++) {
        u128 carry = 0;
        for (int j = 0; j < 4; j++) {
            const u128 t = u128(x.w[i]) * y.w[j] + p[i + j] + carry;
            p[i + j] = uint64_t(t);
            carry = t >> 64;
        }
        p[i + 4] = uint64_t(carry);
    }
    fx r;
    for (int j = 0; j < 4; j++)
        r.w[j] = (p[j + 3] >> 48) | (p[j + 4] << 16);
    return negative ? fx_neg(r) : r;
}

// a / d for a small positive integer d, the magnitude truncated: error below
// 2^-240.
fx fx_div_small(const fx &a, uint64_t d)
{
    fx m = fx_abs(a);
    u128 rem = 0;
    for (int j = 3; j >= 0; j--) {
        const u128 cur = (rem << 64) | m.w[j];
        m.w[j] = uint64_t(cur / d);
        rem = cur % d;
    }
    return fx_negative(a) ? fx_neg(m) : m;
}

// a / 2^s for a >= 0, 0 <= s < 64, truncated.
fx fx_shr(const fx &a, int s)
{
    if (s == 0)
        return a;
    fx r;
    for (int j = 0; j < 4; j++)
        r.w[j] = (a.w[j] >> s) | (j < 3 ? a.w[j + 1] << (64 - s) : 0);
    return r;
}

// The signed integer m times 2^(e + 240) exactly; |m| < 2^60, the value below
// 2^15 and e + 240 >= 0.
fx fx_scaled(int64_t m, int e)
{
    const uint64_t mag = m < 0 ? uint64_t(0) - uint64_t(m) : uint64_t(m);
    const int s = e + 240, limb = s / 64, bit = s % 64;
    fx r = {};
    r.w[limb] = mag << bit;
    if (bit != 0 && limb < 3)
        r.w[limb + 1] = mag >> (64 - bit);
    return m < 0 ? fx_neg(r) : r;
}

// A double exactly: x = 0 or 2^-187 <= |x| < 2^15.
fx fx_of(double x)
{
    const uint64_t b = std::bit_cast<uint64_t>(x);
    if ((b & ~sign_bit) == 0)
        return fx{};
    const int biased = int((b >> 52) & 0x7ff);
    const int64_t m = int64_t((b & mantissa_bits) | (uint64_t(1) << 52));
    return fx_scaled((b >> 63) != 0 ? -m : m, biased - 1075);
}

// The bits pos .. pos + 63 of a non-negative a, as an integer.
uint64_t fx_bits(const fx &a, int pos)
{
    const int limb = pos / 64, bit = pos % 64;
    uint64_t v = a.w[limb] >> bit;
    if (bit != 0 && limb < 3)
        v |= a.w[limb + 1] << (64 - bit);
    return v;
}

// a rounded to the nearest double (a midpoint, which the callers never
// produce, rounds away from zero). |a| >= 2^-187.
double fx_round(const fx &a)
{
    const fx m = fx_abs(a);
    int top = 3;
    while (top > 0 && m.w[top] == 0)
        top--;
    if (m.w[top] == 0)
        return 0.0;
    const int msb = 64 * top + 63 - std::countl_zero(m.w[top]);
    // 54 bits from the most significant: 53 of the result, one to round by.
    const uint64_t m54 = fx_bits(m, msb - 53) & ((uint64_t(1) << 54) - 1);
    const uint64_t mant = (m54 + 1) >> 1;
    // mant * 2^(msb - 52 - 240); mant <= 2^53 converts exactly.
    const double scale = std::bit_cast<double>(uint64_t(msb - 292 + 1023) << 52);
    const double r = double(mant) * scale;
    return fx_negative(a) ? -r : r;
}

// 1 / d for 1/2 <= d <= 2 given near to 2^-50 by `approx`: Newton's
// y <- y (2 - d y) from 1 / approx (relative error below 2^-50) squares the
// error three times (2^-100, 2^-200, then the truncations), so the result is
// within 2^-236 of 1 / d.
fx fx_recip(const fx &d, double approx)
{
    const fx two = fx_scaled(2, 0);
    fx y = fx_of(1.0 / approx);
    for (int k = 0; k < 3; k++)
        y = fx_mul(y, fx_sub(two, fx_mul(d, y)));
    return y;
}

// ---------------------------------------------------------------- arc tangent
//
// For 0 <= x <= 1, with c = k / 64 the nearest to x,
//     atan(x) = atan(c) + atan(t),    t = (x - c) / (1 + x c),   |t| <= 2^-7;
// for x > 1, with c = k / 64 the nearest to 1 / x,
//     atan(x) = (pi/2 - atan(c)) - atan(t),   t = (1 - c x) / (x + c) (the
// same t for 1 / x), |t| <= 2^-7. atan(t) = t - t^3/3 + t^5/5 - ...
//
// Fast path error. x - c is exact (Sterbenz: c / 2 <= x <= 2 c, or c = 0),
// so are c x, 1 - c x (cx lies in [1/2, 2]) and x + c as double-doubles; the
// quotient t is within 2^-102 |t|. The series beyond t is summed in double
// up to t^9/9: truncation below 2^-73 |t|, rounding below 3 * 2^-53 of
// |t^3/3| <= 2^-14 |t| / 3, so below 2^-67 |t|, and leaving t.lo out of it
// changes it by under 2^-53 * 2^-14 |t|. The table values are within 2^-106,
// the final additions add 2^-104. Since |t| <= |result| (k = 0: the result
// is atan(t); k >= 1: atan(c) > 1.99 * 2^-7 >= 1.99 |t|; x > 1: the result is above
// pi/4), the relative error is below 2^-66.5.
//
// Accurate path error. x (or 1 / x, within 2^-236 of it) and c are exact in
// fixed point; 1 + x c has one truncation, its reciprocal is within 2^-235,
// so t is within 2^-233. The series of about 18 terms adds 2 truncations per
// term (2^-234.8 in all), the table 2^-241. So the result is within 2^-231
// absolute, and above 2^-28: below 2^-203 relative.

template <bool Fma>
[[gnu::always_inline]] inline bool atan_fast_t(double x, double &out)
{
    dd t, base;
    if (x <= 1.0) {
        const int k = int(x * 64.0 + 0.5);
        const double c = k * 0x1p-6;
        const dd p = two_prod<Fma>(x, c);
        dd den = two_sum(1.0, p.hi);
        den = fast_two_sum(den.hi, den.lo + p.lo);
        t = dd_div<Fma>({x - c, 0.0}, den);
        base = atan_dd[k];
    } else {
        const int k = int(64.0 / x + 0.5);
        const double c = k * 0x1p-6;
        const dd p = two_prod<Fma>(c, x);
        const dd num = two_sum(1.0 - p.hi, -p.lo);
        t = dd_div<Fma>(num, two_sum(x, c));
        t = {-t.hi, -t.lo};
        base = atan_co_dd[k];
    }
    const double t2 = t.hi * t.hi;
    const double q = t2 * (-0x1.5555555555555p-2 +
                           t2 * (0x1.999999999999ap-3 + t2 * (-0x1.2492492492492p-3 + t2 * 0x1.c71c71c71c71cp-4)));
    dd s = two_sum(base.hi, t.hi);
    s.lo += base.lo + (t.hi * q + t.lo);
    return rounds_to(fast_two_sum(s.hi, s.lo), fast_err, out);
}

double atan_accurate(double x)
{
    fx a;
    int k;
    const bool above1 = x > 1.0;
    if (!above1) {
        a = fx_of(x);
        k = int(x * 64.0 + 0.5);
    } else {
        // x = m 2^e with 1 <= m < 2, 1 / x = (1 / m) / 2^e, e <= 60.
        const uint64_t b = std::bit_cast<uint64_t>(x);
        const int e = int(b >> 52) - 1023;
        const double m = std::bit_cast<double>((b & mantissa_bits) | (uint64_t(1023) << 52));
        a = fx_shr(fx_recip(fx_of(m), m), e);
        k = int(64.0 / x + 0.5);
    }
    const double c = k * 0x1p-6;
    const fx cf = fx_of(c);
    const fx num = fx_sub(a, cf);
    const fx den = fx_add(fx_scaled(1, 0), fx_mul(a, cf));
    const fx t = fx_mul(num, fx_recip(den, 1.0 + c * (above1 ? 1.0 / x : x)));
    const fx t2 = fx_mul(t, t);
    fx s = t, p = t;
    for (uint64_t j = 1;; j++) {
        p = fx_mul(p, t2);
        if (fx_zero(p))
            break;
        const fx term = fx_div_small(p, 2 * j + 1);
        s = (j % 2) != 0 ? fx_sub(s, term) : fx_add(s, term);
    }
    return fx_round(above1 ? fx_sub(fx_sub(half_pi_fx, atan_fx[k]), s) : fx_add(atan_fx[k], s));
}

// ------------------------------------------------------------------ logarithm
//
// x = 2^e m exactly, with m = M 2^-sh (sh = 52 or 53, M an integer of 53
// bits) and sqrt(1/2) <= m < sqrt(2). i = round(128 m) lies in 91..181, and
// rinv = C / 1024 (C an integer below 1457) is 128 / i to 11 bits. Then
//     r = m rinv - 1 = (M C 2^(63 - sh - 10) - 2^63) 2^-63 = R 2^-63
// exactly, R an integer with |R| < 2^56 (|r| <= 2^-7.3), and
//     ln x = e ln 2 - ln(rinv) + ln(1 + r),   ln(1 + r) = r - r^2/2 + r^3/3 ...
//     log10 x = ln x / ln 10.
//
// Fast path error. r = r.hi + r.lo exactly; r.hi^2 is exact (Dekker), and the
// term r.hi r.lo of r^2 / 2 is added (r.lo^2 is below 2^-106 r^2). The terms
// r^3/3 .. r^10/10 are summed in double: truncation below 2^-76 |r|,
// rounding below 3 * 2^-53 of |r^3/3| <= 2^-14.6 |r| / 3, so below 2^-67 |r|.
// e ln2_head is exact (|e| < 2^11, the head has 42 bits); the table within
// 2^-106, the additions and the product by 1/ln 10 within 2^-100 of the
// result. |r| is at most the result's magnitude in ln (i = 128, e = 0: the
// result is ln(1 + r)), or at most 2^-7.3 against a result above 2^-8 (i !=
// 128, e = 0: |ln m| >= ln(1 + 1/256)), or at most 2^-7.3 against a result
// above 0.34 (e != 0). Relative error: below 2^-66.5.
//
// Accurate path error. r is exact in fixed point and ln(rinv) within 2^-241;
// the series adds 2 truncations per term, at most 36 terms: below 2^-233.8.
// e ln 2 is within 1100 * 2^-241 + 2^-240 (e != 0, result above 0.34), and
// the product by 1/ln 10 adds 2^-240. For e = 0 the logarithm is at least
// log10(1 + 2^-53) > 2^-55, so the relative error is below 2^-178.

struct log_reduction {
    int e;     // the power of two
    int index; // i - 90
    int64_t R; // r = R 2^-63
};

// x positive, finite and not 1.
log_reduction reduce_log(double x)
{
    const uint64_t b = std::bit_cast<uint64_t>(x);
    int e = int(b >> 52) - 1023;
    uint64_t M = b & mantissa_bits;
    if ((b >> 52) == 0) {
        // Subnormal: shift the leading bit up to bit 52.
        const int lead = 63 - std::countl_zero(M);
        M <<= 52 - lead;
        e = -1022 - (52 - lead);
    } else {
        M |= uint64_t(1) << 52;
    }
    const int above = M > 0x16A09E667F3BCCu ? 1 : 0; // m > sqrt(2): halve m
    const int sh = 52 + above;
    e += above;
    const int i = int((M + (uint64_t(1) << (sh - 8))) >> (sh - 7));
    const uint64_t C = uint64_t(int64_t(log_rinv[i - 90] * 1024.0));
    const uint64_t prod = (M * C) << (1 - above);
    return {e, i - 90, int64_t(prod - (uint64_t(1) << 63))};
}

template <bool Fma>
[[gnu::always_inline]] inline bool log10_fast_t(double x, double &out)
{
    const log_reduction red = reduce_log(x);
    const double rh = double(red.R);
    const double rl = double(red.R - int64_t(rh));
    const dd r = {rh * 0x1p-63, rl * 0x1p-63};
    const dd sq = two_prod<Fma>(r.hi, r.hi);
    // r^3 (1/3 - r/4 + ... - r^7/10) by pairs (Estrin), r^2 = sq.hi.
    const double rr = r.hi, r2 = sq.hi, r4 = r2 * r2;
    const double q0 = (0x1.5555555555555p-2 - 0x1p-2 * rr) + (0x1.999999999999ap-3 - 0x1.5555555555555p-3 * rr) * r2;
    const double q1 = (0x1.2492492492492p-3 - 0x1p-3 * rr) + (0x1.c71c71c71c71cp-4 - 0x1.999999999999ap-4 * rr) * r2;
    const double tail = rr * r2 * (q0 + q1 * r4);
    const double e = red.e;
    dd a = two_sum(e * ln2_head, log_dd[red.index].hi);
    a.lo += e * ln2_tail + log_dd[red.index].lo;
    dd s = two_sum(r.hi, -0.5 * sq.hi);
    s.lo += r.lo + (-0.5 * sq.lo - r.hi * r.lo) + tail;
    // a and s never nearly cancel (|a + s| > |s| / 3 whenever a != 0), so
    // their low parts are added in one rounding.
    const dd h = two_sum(a.hi, s.hi);
    const dd ln = fast_two_sum(h.hi, h.lo + (a.lo + s.lo));
    return rounds_to(dd_mul<Fma>(ln, inv_ln10_dd), fast_err, out);
}

double log10_accurate(double x)
{
    const log_reduction red = reduce_log(x);
    const fx r = fx_scaled(red.R, -63);
    fx s = r, p = r;
    for (uint64_t k = 2;; k++) {
        p = fx_mul(p, r);
        if (fx_zero(p))
            break;
        const fx term = fx_div_small(p, k);
        s = (k % 2) == 0 ? fx_sub(s, term) : fx_add(s, term);
    }
    fx ln = fx_add(s, log_fx[red.index]);
    if (red.e != 0)
        ln = fx_add(ln, fx_mul(fx_scaled(red.e, 0), ln2_fx));
    return fx_round(fx_mul(ln, inv_ln10_fx));
}

// The fast paths built twice: for any x86-64, and with the fused
// multiply-add (used only in two_prod, where it gives the same bits).
bool atan_fast_base(double x, double &out)
{
    return atan_fast_t<false>(x, out);
}

bool log10_fast_base(double x, double &out)
{
    return log10_fast_t<false>(x, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("fma")]] bool atan_fast_fma(double x, double &out)
{
    return atan_fast_t<true>(x, out);
}

[[gnu::target("fma")]] bool log10_fast_fma(double x, double &out)
{
    return log10_fast_t<true>(x, out);
}

bool processor_has_fma()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma");
}
#else
bool atan_fast_fma(double x, double &out)
{
    return atan_fast_t<false>(x, out);
}

bool log10_fast_fma(double x, double &out)
{
    return log10_fast_t<false>(x, out);
}

bool processor_has_fma()
{
    return false;
}
#endif

// Whether the fast paths use the fused multiply-add: -1 until the first
// call asks the processor. Constant-initialised, so that callers in other
// units' static initialisers (the program's pi) find it set.
std::atomic<int> fma_state{-1};

inline bool use_fma()
{
    int s = fma_state.load(std::memory_order_relaxed);
    if (s < 0) {
        s = processor_has_fma() ? 1 : 0;
        fma_state.store(s, std::memory_order_relaxed);
    }
    return s != 0;
}

inline bool atan_fast(double x, double &out)
{
    return use_fma() ? atan_fast_fma(x, out) : atan_fast_base(x, out);
}

inline bool log10_fast(double x, double &out)
{
    return use_fma() ? log10_fast_fma(x, out) : log10_fast_base(x, out);
}

} // namespace

bool cr_use_fma(bool on)
{
    const bool used = on && processor_has_fma();
    fma_state.store(used ? 1 : 0, std::memory_order_relaxed);
    return used;
}

double cr_atan(double x)
{
    const uint64_t b = std::bit_cast<uint64_t>(x);
    const uint64_t mag = b & ~sign_bit;
    const double sign = (b >> 63) != 0 ? -1.0 : 1.0;
    if (mag > 0x7ff0000000000000u) // NaN
        return x + x;
    // Below 2^-27, atan(x) = x (1 - x^2/3 + ...) lies within x^3/3 < 2^-54 |x| / 3
    // of x: nearer to x than half the gap below it.
    if (mag < 0x3e40000000000000u)
        return x;
    // Above 2^60 (infinity included), atan(x) = pi/2 - 1/x + ... lies within
    // 2^-60 below pi/2, which is 0.27 units in the last place above the
    // double half_pi_hi: half_pi_hi it is.
    if (mag > 0x43b0000000000000u)
        return sign * half_pi_hi;
    const double ax = std::bit_cast<double>(mag);
    double r;
    if (!atan_fast(ax, r))
        r = atan_accurate(ax);
    return sign * r;
}

double cr_log10(double x)
{
    const uint64_t b = std::bit_cast<uint64_t>(x);
    if ((b & ~sign_bit) > 0x7ff0000000000000u) // NaN
        return x + x;
    if ((b & ~sign_bit) == 0)
        return -std::numeric_limits<double>::infinity();
    if ((b >> 63) != 0)
        return std::numeric_limits<double>::quiet_NaN();
    if (b == 0x7ff0000000000000u || x == 1.0)
        return x == 1.0 ? 0.0 : x;
    double r;
    if (!log10_fast(x, r))
        r = log10_accurate(x);
    return r;
}

bool cr_atan_fast(double x, double &out)
{
    return atan_fast(x, out);
}

bool cr_log10_fast(double x, double &out)
{
    return log10_fast(x, out);
}

double cr_atan_accurate(double x)
{
    return atan_accurate(x);
}

double cr_log10_accurate(double x)
{
    return log10_accurate(x);
}

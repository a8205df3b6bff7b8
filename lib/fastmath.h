// Arc tangent and decimal logarithm of whole arrays, several times faster
// than the correctly rounded atan and log10 (crmath.h), for the slope and
// log stages, within a few units in the last place of them; and the
// per-line loops of the slope stage, vectorised the same way (the loops
// that look lines up in the value tables are declared in decide.h, those
// that decode the raw cells of a model in lines.h).
//
// fast_atan: y[k] = atan(x[k]) for 0 <= x[k] < infinity, subnormals
//   included. fast_atan(+0) is +0, tiny and subnormal x come back unchanged
//   (atan(x) = x to the last bit there), the result is never negative and
//   never above pi/2 rounded to a double (0x1.921fb54442d18p+0).
// fast_log10: y[k] = log10(x[k]) for 1 <= x[k] < 2^1024. fast_log10(1) is
//   +0, and the result is never negative.
// x and y are either the same array (in place) or do not overlap.
// Outside these domains (negative x, infinities, NaN; x < 1 for the
// logarithm) nothing traps and nothing is undefined, but the result is
// unspecified: the caller routes such cells elsewhere. Neither function
// touches the floating-point environment (subnormals are never flushed).
//
// Error. Both are minimax polynomials after an argument reduction with one
// division, evaluated in double. Measured with bench/quarvelin_kernels over
// 10^8 random arguments per function (weighted to the program's range: atan
// 0..60, log10 1..91, the rest spread over every binade of the domain), the
// largest difference from the C library of this machine (glibc 2.36) is
//     variant     atan     log10     (units in the last place of the C
//     baseline    2 ulp    2 ulp      library's result; relative error
//     avx2        2 ulp    2 ulp      at most 2.9e-16 = 1.3 * 2^-52)
//     avx512      2 ulp    2 ulp      (the same operations as avx2)
// Against the long double functions (11 more bits) the largest errors were
// atan 1.65 ulp and log10 0.93 ulp for every variant, and the C library's
// own atan 0.52 ulp and log10 1.57 ulp. The bound the tests assert, and
// callers may rely on, is 4 ulp of the C library's result (a relative
// 2^-50): far below the 2^-40 margin the program keeps around its
// decisions. The C library picks its own atan and log10 code per processor
// (with or without fused multiply-add), so these figures are always measured
// against the library in use at run time.
//
// Speed does not depend on the argument, except that atan of arguments below
// about 2^-340 (whose intermediate results underflow) is much slower on
// processors that handle subnormal results in microcode.
//
// Variants. The same source is built three times: fast_baseline runs on any
// x86-64 (SSE2, no fused multiply-add), fast_avx2 needs AVX2 and FMA,
// fast_avx512 also AVX-512 (F, DQ, VL) and takes eight values at a time. The
// baseline differs from the others in the last bits; fast_avx2 and
// fast_avx512 make the same operations. fast_atan and fast_log10 use the
// variant chosen on first use: the widest that the processor runs.
// Results depend only on the variant, never on the array length or
// alignment. The variant is chosen on first use, which is not thread-safe:
// the program calls fast_variant_in_use() before it starts any thread.
#ifndef QUARVELIN_FASTMATH_H
#define QUARVELIN_FASTMATH_H

#include <cstddef>
#include <cstdint>

enum fast_variant { fast_baseline, fast_avx2, fast_avx512 };
constexpr fast_variant fast_variants[] = {fast_baseline, fast_avx2, fast_avx512};

void fast_atan(const double *x, double *y, size_t n);
void fast_log10(const double *x, double *y, size_t n);

// The same with a given variant; one that is not available on this processor
// (or not built, off x86-64) computes with fast_baseline instead.
void fast_atan_with(fast_variant v, const double *x, double *y, size_t n);
void fast_log10_with(fast_variant v, const double *x, double *y, size_t n);

// Whether the variant was built and the processor can run it.
bool fast_variant_available(fast_variant v);
// The variant fast_atan and fast_log10 use.
fast_variant fast_variant_in_use();
// Makes fast_atan and fast_log10 use v from now on; false (and no change)
// when v is not available.
bool fast_use_variant(fast_variant v);
// "baseline", "avx2" or "avx512".
const char *fast_variant_name(fast_variant v);

// The per-line loops. They use only exactly rounded operations, so every
// variant gives the same bits: they are the plain computation, only faster.
// line_gradients: g[j], j < m, is Horn's gradient of the window around
//   column j + 1 of the lines z0, z1, z2 (above, at and below the cell), for
//   the reciprocal cell size p.
// line_degrees: pen[j] = pen[j] x 180 / pi (radians to degrees), then
//   x[j] = pen[j] + 1.
// line_largest: the largest of m gradients; +inf when one is not finite.
void line_gradients(const double *z0, const double *z1, const double *z2, size_t m, double p, double *g);
void line_degrees(double *pen, double *x, size_t m, double pi);
double line_largest(const double *g, size_t m);

// How far got stands from ref, in units in the last place of ref (the
// measure of the error bounds above).
double fast_ulp_error(double got, double ref);

#endif

// Arc tangent and decimal logarithm of the program's own, correctly rounded
// to nearest (ties cannot occur) for every double argument, with the same
// result on every platform and compiler: the C library's atan and log10 give
// results that differ by a unit in the last place between systems, and one
// such unit moves a grey tone or a log DEM value that lies on an edge.
//
// cr_atan(x): atan(x) rounded to nearest. NaN gives NaN; +-infinity gives
//   +-pi/2 rounded (0x1.921fb54442d18p+0); +-0 and tiny or subnormal x come
//   back unchanged; cr_atan(-x) = -cr_atan(x).
// cr_log10(x): log10(x) rounded to nearest. NaN gives NaN; x < 0 gives NaN;
//   +-0 gives -infinity; +infinity gives +infinity; subnormals are handled;
//   log10(10^k) = k exactly for every power of ten that is a double.
//
// Both use plain double arithmetic (no long double, no C library
// mathematics; a fused multiply-add only where it is exact), so any x86-64
// build, the Windows one included, gives the same bits. Neither touches the floating-point environment.
//
// Method. A fast path reduces the argument with a table and evaluates a
// short series in double-double, with a relative error below 2^-66; when
// that value lies too close to the midpoint between two doubles to round
// with certainty, an accurate path recomputes it in 256-bit fixed point
// with an error below 2^-178 relative, far below the distance from a
// midpoint of the hardest arguments known for binary64 (about 2^-118 for
// logarithms). The fast path decides all but about 4 arguments in 10^4;
// lib/crmath.cpp states both error bounds and how they are reached.
#ifndef QUARVELIN_CRMATH_H
#define QUARVELIN_CRMATH_H

double cr_atan(double x);
double cr_log10(double x);

// The two paths alone, for the benchmark and the tests, on positive finite
// x in the range the two functions above send them (atan: 2^-27 <= x <=
// 2^60; log10: any positive finite x other than 1). The fast path returns
// false, leaving `out` alone, when it cannot round with certainty.
bool cr_atan_fast(double x, double &out);
bool cr_log10_fast(double x, double &out);
double cr_atan_accurate(double x);
double cr_log10_accurate(double x);

// The fast paths use the processor's fused multiply-add where it has one,
// only for exact products (the same bits as without it). For the tests and
// the benchmark: cr_use_fma(false) makes them do without it, cr_use_fma(true)
// goes back; returns whether it is used. Not to be called while another
// thread computes.
bool cr_use_fma(bool on);

#endif

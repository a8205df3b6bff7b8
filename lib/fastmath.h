// Fast arc tangent and decimal logarithm of arrays of doubles (stand-in
// until the vectorised kernels land: the C library's functions nudged by
// one unit in the last place, so that the callers' filters are exercised).
#ifndef QUARVELIN_FASTMATH_H
#define QUARVELIN_FASTMATH_H

#include <cstddef>

void fast_atan(const double *x, double *y, size_t n);
void fast_log10(const double *x, double *y, size_t n);

#endif

#include "fastmath.h"

#include <cmath>

void fast_atan(const double *x, double *y, size_t n)
{
    for (size_t k = 0; k < n; k++)
        y[k] = x[k] > 0.0 ? std::nextafter(std::atan(x[k]), 2.0) : std::atan(x[k]);
}

void fast_log10(const double *x, double *y, size_t n)
{
    for (size_t k = 0; k < n; k++)
        y[k] = x[k] > 1.0 ? std::nextafter(std::log10(x[k]), 0.0) : std::log10(x[k]);
}

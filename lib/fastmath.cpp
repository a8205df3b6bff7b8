// Choice of the variant of the arc tangent and logarithm loops: the loops
// themselves are in fastmath_kernels.cpp, built once for any x86-64 and once
// more for AVX2 with FMA when QUARVELIN_FASTMATH_HAVE_AVX2 is defined.
#include "fastmath.h"

#include <algorithm>
#include <cmath>

void fast_atan_baseline(const double *x, double *y, size_t n);
void fast_log10_baseline(const double *x, double *y, size_t n);
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
void fast_atan_avx2(const double *x, double *y, size_t n);
void fast_log10_avx2(const double *x, double *y, size_t n);
#endif

namespace {

// -1 until the first use, then the variant in use.
int chosen = -1;

bool processor_has_avx2_fma()
{
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

} // namespace

bool fast_variant_available(fast_variant v)
{
    if (v == fast_baseline)
        return true;
    // Asked once: the answer cannot change while the program runs.
    static const bool avx2 = processor_has_avx2_fma();
    return v == fast_avx2 && avx2;
}

fast_variant fast_variant_in_use()
{
    if (chosen < 0)
        chosen = fast_variant_available(fast_avx2) ? fast_avx2 : fast_baseline;
    return static_cast<fast_variant>(chosen);
}

bool fast_use_variant(fast_variant v)
{
    if (!fast_variant_available(v))
        return false;
    chosen = v;
    return true;
}

const char *fast_variant_name(fast_variant v)
{
    return v == fast_avx2 ? "avx2" : "baseline";
}

void fast_atan_with(fast_variant v, const double *x, double *y, size_t n)
{
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
    if (v == fast_avx2 && fast_variant_available(fast_avx2)) {
        fast_atan_avx2(x, y, n);
        return;
    }
#endif
    (void)v;
    fast_atan_baseline(x, y, n);
}

void fast_log10_with(fast_variant v, const double *x, double *y, size_t n)
{
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
    if (v == fast_avx2 && fast_variant_available(fast_avx2)) {
        fast_log10_avx2(x, y, n);
        return;
    }
#endif
    (void)v;
    fast_log10_baseline(x, y, n);
}

void fast_atan(const double *x, double *y, size_t n)
{
    fast_atan_with(fast_variant_in_use(), x, y, n);
}

void fast_log10(const double *x, double *y, size_t n)
{
    fast_log10_with(fast_variant_in_use(), x, y, n);
}

double fast_ulp_error(double got, double ref)
{
    if (got == ref)
        return 0.0;
    int e;
    std::frexp(ref, &e);
    return std::fabs(got - ref) / std::ldexp(1.0, std::max(e - 53, -1074));
}

// Choice of the variant of the arc tangent and logarithm loops: the loops
// themselves are in fastmath_kernels.cpp, built once for any x86-64 and, when
// QUARVELIN_FASTMATH_HAVE_AVX2 is defined, once more for AVX2 with FMA and
// once for AVX-512.
#include "fastmath.h"

#include "decide.h"
#include "lines.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#define FASTMATH_LOOPS(build)                                                                                          \
    void fast_atan_##build(const double *x, double *y, size_t n);                                                      \
    void fast_log10_##build(const double *x, double *y, size_t n);                                                     \
    void line_gradients_##build(const double *z0, const double *z1, const double *z2, size_t m, double p, double *g);  \
    void line_degrees_##build(double *pen, double *x, size_t m, double pi);                                            \
    double line_largest_##build(const double *g, size_t m);                                                            \
    void line_stretch_##build(const double *lg, const double *g, size_t m, const double stretch[4], int *val,          \
                              unsigned char *todo);                                                                    \
    void line_lookup_##build(const double *g, size_t m, uint64_t first, int shift, const unsigned char *table,         \
                             uint64_t size, unsigned char below, unsigned char *out);                                  \
    void line_lookup16_##build(const double *g, size_t m, uint64_t first, int shift, const uint16_t *table,            \
                               uint64_t size, int *val, unsigned char *todo);                                          \
    void line_cells_##build(const unsigned char *bytes, size_t n, int width, int *cells, int extent[2]);               \
    void line_metres_##build(const int *cells, size_t n, double coef, double *z);
FASTMATH_LOOPS(baseline)
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
FASTMATH_LOOPS(avx2)
FASTMATH_LOOPS(avx512)
#endif

namespace {

// The loops of each variant, and whether the processor runs them.
struct Build {
    const char *name;
    void (*atan)(const double *, double *, size_t);
    void (*log10)(const double *, double *, size_t);
    void (*gradients)(const double *, const double *, const double *, size_t, double, double *);
    void (*degrees)(double *, double *, size_t, double);
    double (*largest)(const double *, size_t);
    void (*stretch)(const double *, const double *, size_t, const double *, int *, unsigned char *);
    void (*lookup)(const double *, size_t, uint64_t, int, const unsigned char *, uint64_t, unsigned char,
                   unsigned char *);
    void (*lookup16)(const double *, size_t, uint64_t, int, const uint16_t *, uint64_t, int *, unsigned char *);
    void (*cells)(const unsigned char *, size_t, int, int *, int *);
    void (*metres)(const int *, size_t, double, double *);
};
#define FASTMATH_BUILD(name, build)                                                                                    \
    {                                                                                                                  \
        name, fast_atan_##build, fast_log10_##build, line_gradients_##build, line_degrees_##build,                     \
            line_largest_##build, line_stretch_##build, line_lookup_##build, line_lookup16_##build,                    \
            line_cells_##build, line_metres_##build                                                                    \
    }
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
const Build builds[] = {FASTMATH_BUILD("baseline", baseline), FASTMATH_BUILD("avx2", avx2),
                        FASTMATH_BUILD("avx512", avx512)};
#else
const Build builds[] = {FASTMATH_BUILD("baseline", baseline), FASTMATH_BUILD("avx2", baseline),
                        FASTMATH_BUILD("avx512", baseline)};
#endif

bool processor_runs(fast_variant v)
{
#if defined(QUARVELIN_FASTMATH_HAVE_AVX2)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (v == fast_avx2)
        return avx2;
    if (v == fast_avx512)
        return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
#endif
    return v == fast_baseline;
}

// -1 until the first use, then the variant in use.
int chosen = -1;

} // namespace

bool fast_variant_available(fast_variant v)
{
    // Asked once: the answers cannot change while the program runs.
    static const bool runs[] = {processor_runs(fast_baseline), processor_runs(fast_avx2), processor_runs(fast_avx512)};
    return v >= fast_baseline && v <= fast_avx512 && runs[v];
}

fast_variant fast_variant_in_use()
{
    if (chosen < 0)
        chosen = fast_variant_available(fast_avx512) ? fast_avx512
                 : fast_variant_available(fast_avx2) ? fast_avx2
                                                     : fast_baseline;
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
    return builds[v].name;
}

void fast_atan_with(fast_variant v, const double *x, double *y, size_t n)
{
    builds[fast_variant_available(v) ? v : fast_baseline].atan(x, y, n);
}

void fast_log10_with(fast_variant v, const double *x, double *y, size_t n)
{
    builds[fast_variant_available(v) ? v : fast_baseline].log10(x, y, n);
}

void fast_atan(const double *x, double *y, size_t n)
{
    fast_atan_with(fast_variant_in_use(), x, y, n);
}

void fast_log10(const double *x, double *y, size_t n)
{
    fast_log10_with(fast_variant_in_use(), x, y, n);
}

void line_gradients(const double *z0, const double *z1, const double *z2, size_t m, double p, double *g)
{
    builds[fast_variant_in_use()].gradients(z0, z1, z2, m, p, g);
}

void line_degrees(double *pen, double *x, size_t m, double pi)
{
    builds[fast_variant_in_use()].degrees(pen, x, m, pi);
}

double line_largest(const double *g, size_t m)
{
    return builds[fast_variant_in_use()].largest(g, m);
}

void line_stretch(const double *lg, const double *g, size_t m, const double stretch[4], int *val, unsigned char *todo)
{
    builds[fast_variant_in_use()].stretch(lg, g, m, stretch, val, todo);
}

void line_lookup(const double *g, size_t m, uint64_t first, int shift, const unsigned char *table, uint64_t size,
                 unsigned char below, unsigned char *out)
{
    builds[fast_variant_in_use()].lookup(g, m, first, shift, table, size, below, out);
}

void line_lookup16(const double *g, size_t m, uint64_t first, int shift, const uint16_t *table, uint64_t size, int *val,
                   unsigned char *todo)
{
    builds[fast_variant_in_use()].lookup16(g, m, first, shift, table, size, val, todo);
}

void line_cells(const unsigned char *bytes, size_t n, int width, int *cells, int extent[2])
{
    builds[fast_variant_in_use()].cells(bytes, n, width, cells, extent);
}

void line_metres(const int *cells, size_t n, double coef, double *z)
{
    builds[fast_variant_in_use()].metres(cells, n, coef, z);
}

double fast_ulp_error(double got, double ref)
{
    if (got == ref)
        return 0.0;
    int e;
    std::frexp(ref, &e);
    return std::fabs(got - ref) / std::ldexp(1.0, std::max(e - 53, -1074));
}

// Deciding cells quickly: the machinery behind the fast step of every pass.
//
// A pass decides, for every cell, a value that depends on the correctly
// rounded atan and log10 only through a maximum (a range) or a truncation (a grey
// tone, a log DEM value). The program gives the plain rules (the slope of a
// gradient, the logarithm of a slope, the value of a logarithm); this unit
// finds, once, the gradients around which those values change, so that a
// cell whose gradient or fast logarithm lies clear of every change by a wide
// margin is decided without the plain rules. Whatever it cannot prove is
// left to the plain rules: it never decides a cell otherwise than they would.
//
// What it holds:
// - the margins kept around a fast value (far beyond the fast kernels'
//   error, see fastmath.h);
// - gradient_reaching: the smallest gradient whose plain value reaches a
//   target, found by halving over the doubles in order (first_reaching);
// - range_threshold: the gradient below which no cell can hold the largest
//   slope or logarithm;
// - ValueTable: for a non-decreasing value of the logarithm (a tone, a log
//   DEM value), the gradients where each value begins, and a table of
//   buckets of gradients that each hold one value (line_lookup,
//   line_lookup16 look a line up in it; table_value a gradient);
// - line_stretch: the log DEM values of a line of fast logarithms, where
//   the margin allows;
// - PlainCache: the plain values of the gradients a worker met last (an
//   integer model repeats its windows, a plane has one gradient), and what a
//   pass decided from them;
// - Pace: leaves the fast step out after a line where the plain rules did
//   most cells (a plane), and tries it again 16 lines later;
// - Range: the ranges of the slopes and logarithms a range pass finds, and
//   the range rule that extends and merges them.
//
// Nothing here prints, allocates after a table is built, or touches the
// floating-point environment; a PlainCache and a Pace belong to one worker.
#ifndef QUARVELIN_DECIDE_H
#define QUARVELIN_DECIDE_H

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <vector>

// How far a fast value may stand from the plain one: the kernels' error is
// a few units of 2^-52 of the value (the plain values are correctly rounded,
// within half a unit, so the margins could shrink to the kernels' own bound
// plus half a unit); the margins are 2^-40 of it, and for a
// logarithm 2^-50 more, for the rounding of slope + 1 when the slope is
// nearly 0.
constexpr double slope_margin = 0x1p-40;
inline double log_margin(double lg)
{
    return lg * 0x1p-40 + 0x1p-50;
}

// A plain rule of one real: a slope of a gradient, a logarithm of a gradient.
using PlainRule = double (*)(double);

// Doubles in the order of their values as unsigned integers, and back.
inline uint64_t ordered_key(double v)
{
    const uint64_t b = std::bit_cast<uint64_t>(v);
    return (b >> 63) != 0 ? ~b : b | (uint64_t(1) << 63);
}
inline double from_ordered_key(uint64_t k)
{
    return std::bit_cast<double>((k >> 63) != 0 ? k & ~(uint64_t(1) << 63) : ~k);
}

// The smallest double in (below, at] for which `reached` holds, found by
// halving: reached(below) is false and reached(at) true. Where `reached`
// is not monotone (the last bits of a library function), it is one of the
// places where it turns true.
template <typename Pred>
double first_reaching(double below, double at, Pred reached)
{
    uint64_t lo = ordered_key(below), hi = ordered_key(at);
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (reached(from_ordered_key(mid)))
            hi = mid;
        else
            lo = mid;
    }
    return from_ordered_key(hi);
}

// The smallest gradient whose plain value f(g) reaches `target`: 0 when even
// 0 does, +inf when none does. f grows with g up to its last bits, so any
// gradient below the one found has a value below target + those bits, and
// any above it a value above target - those bits.
double gradient_reaching(PlainRule f, double target);

// The gradient below which no cell holds a largest plain slope or
// logarithm when the steepest gradient met is `steepest`: their plain
// values lie within twice the margins of the steepest one's.
double range_threshold(double steepest, PlainRule slope, PlainRule log);

// The values 0..top of a non-decreasing value(logarithm), as gradients: value
// k is proven for every gradient at or above hi[k] and below lo[k + 1].
// Beside them, a table of buckets of gradients (by their leading bits) that
// each hold their value when the whole bucket lies within one value's
// proven span. A bucket of 8 bits without one value holds 255; one of 16
// bits holds its first value k (hi[k] <= its first gradient) with the top
// bit set, from which a gradient's value is a step or two away.
template <typename Entry>
struct ValueTable {
    uint64_t buckets = 0;
    static constexpr Entry mixed = sizeof(Entry) == 1 ? 0xFF : 0x8000;
    bool flat = true; // no range to stretch over: every value is 0
    int top = 0;      // the largest value
    std::vector<double> lo, hi;
    uint64_t first = 0; // leading bits of the first bucket
    int shift = 0;      // bits of a gradient below its bucket's
    std::vector<Entry> bucket;
};

// Builds the table of values 0..top of value(lg) over the logarithms
// lmin..lmax (flat when lmax - lmin is not above 0), for gradients up to
// `steepest`, in 2^bits buckets; log is the plain logarithm of a gradient.
template <typename Entry>
void build_value_table(ValueTable<Entry> &t, int top, double steepest, int bits, double lmin, double lmax,
                       PlainRule log, int (*value)(double lg));

// The value of gradient g when the table proves it, else -1, from a value k whose
// span has begun at or below g (hi[k] <= g).
template <typename Entry>
int table_value_from(const ValueTable<Entry> &t, double g, int k)
{
    while (k < t.top && t.hi[static_cast<size_t>(k) + 1] <= g)
        k++;
    return g < t.lo[static_cast<size_t>(k) + 1] ? k : -1;
}

// The value of gradient g when the table proves it, else -1.
template <typename Entry>
int table_value(const ValueTable<Entry> &t, double g)
{
    if (t.flat)
        return 0;
    if (!(g <= DBL_MAX))
        return -1;
    if (g < t.lo[1])
        return 0;
    if (g >= t.hi[static_cast<size_t>(t.top)])
        return t.top;
    // From the last value whose span has begun (hi[k] <= g).
    const auto end = t.hi.begin() + t.top + 1;
    return table_value_from(t, g, static_cast<int>(std::upper_bound(t.hi.begin() + 1, end, g) - t.hi.begin()) - 1);
}

// Lines of gradients looked up in a table, m at a time; k = bits of g[j] >>
// shift.
// line_lookup: out[j] = `below` when k < first, table[k - first] when
//   k - first < size, else 255.
// line_lookup16: the same with 16-bit entries, whose top bit marks an entry
//   that is only a hint: val[j] = 0 and todo[j] = 0 when k < first; else
//   with e = table[k - first], val[j] = e without its top bit and todo[j] =
//   that bit; beyond the table, val[j] = -1 and todo[j] = 1.
// line_stretch: for each fast logarithm lg[j] (of the finite gradient g[j])
//   whose stretch f = (lg[j] - lmin) x scale truncates to one whole 32-bit
//   number over the whole margin rel x lg[j] + abs around lg[j] (with slack
//   for the error of f itself): val[j] = that number and todo[j] = 0; else
//   todo[j] = 1 (and val[j] = 0). stretch = {lmin, scale, rel, abs}.
// They are built with the fast kernels (fastmath_kernels.cpp) and use only
// exactly rounded operations: every processor gives the same bits.
void line_lookup(const double *g, size_t m, uint64_t first, int shift, const unsigned char *table, uint64_t size,
                 unsigned char below, unsigned char *out);
void line_lookup16(const double *g, size_t m, uint64_t first, int shift, const uint16_t *table, uint64_t size, int *val,
                   unsigned char *todo);
void line_stretch(const double *lg, const double *g, size_t m, const double stretch[4], int *val, unsigned char *todo);

// The plain slope and logarithm of a gradient, and what a pass decided
// from them once it has.
struct PlainValue {
    uint64_t g; // the gradient's bits
    double pen, lg;
    bool decided;
    int decision;
};
// Enough for the few hundred gradients around the largest one that a plane
// in decimetres makes (its elevations in metres are not exact).
constexpr int plain_slots = 1024;
struct PlainCache {
    PlainValue slot[plain_slots];
    PlainRule slope, log; // the plain slope of a gradient, the logarithm of a slope
};
void ready_plain_cache(PlainCache &c, PlainRule slope, PlainRule log);

// The plain values of gradient g, from the cache when g is in it;
// `counter` counts the gradients computed.
inline PlainValue &plain_of(PlainCache &c, double g, int64_t &counter)
{
    const uint64_t bits = std::bit_cast<uint64_t>(g);
    PlainValue &p = c.slot[(bits ^ bits >> 10 ^ bits >> 21 ^ bits >> 42) % plain_slots];
    if (p.g != bits) {
        p.g = bits;
        p.pen = c.slope(g);
        p.lg = c.log(p.pen);
        p.decided = false;
        counter++;
    }
    return p;
}

// A pass's decision for gradient g: decide(its plain logarithm), made once
// for each gradient in the cache.
template <typename Decide>
int plain_decision(PlainCache &c, double g, int64_t &counter, Decide decide)
{
    PlainValue &p = plain_of(c, g, counter);
    if (!p.decided) {
        p.decision = decide(p.lg);
        p.decided = true;
    }
    return p.decision;
}

// The fast step is left out of the lines after one where the plain rules did
// most cells (a plane, whose cells all lie near the largest slope):
// its work is then lost, and the plain rules alone are quicker. It is tried
// again every 16 lines.
struct Pace {
    int plain_lines = 0; // lines to leave to the plain rules whole
};
// Whether the fast step runs on this line.
inline bool pace_fast(Pace &p)
{
    const bool fast = p.plain_lines == 0;
    if (p.plain_lines > 0)
        p.plain_lines--;
    return fast;
}
// After a line of n cells where the fast step ran and the plain rules
// decided `plain` cells.
inline void pace_after(Pace &p, int n, int plain)
{
    if (plain > n / 2)
        p.plain_lines = 15;
}

// The ranges of the slopes and logarithms start from these values
// (quarvelin.h says how they show in what a user reads).
constexpr double slope_min_start = 1.0e7, slope_max_start = 0.0;
constexpr double log_min_start = 1000.0, log_max_start = 0.0;

// The ranges of the slopes and logarithms, and what finds them: the largest
// finite gradient so far (steepest); the one the threshold was made for
// (threshold_of); the threshold, below which no gradient holds a largest
// plain slope or logarithm; the first cell whose gradient is not a number.
struct Range {
    double min_pen = slope_min_start, max_pen = slope_max_start;
    double log_min = log_min_start, log_max = log_max_start;
    double steepest = 0.0, threshold_of = 0.0, threshold = 0.0;
    int bad_line = -1, bad_col = -1;
};

// The range rule: a value replaces a bound only when it lies strictly
// beyond it.
void extend(Range &r, double lowest_slope, double highest_slope, double lowest_log, double highest_log);

// The ranges of a band after those of the bands before it.
void merge(Range &r, const Range &band);

#endif

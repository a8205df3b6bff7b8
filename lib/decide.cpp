// Deciding cells quickly (decide.h): the thresholds and value tables, found
// once a pass from the plain rules.
#include "decide.h"

#include <cmath>

double gradient_reaching(PlainRule f, double target)
{
    if (f(0.0) >= target)
        return 0.0;
    if (!(f(HUGE_VAL) >= target))
        return HUGE_VAL;
    return first_reaching(0.0, HUGE_VAL, [&](double g) { return f(g) >= target; });
}

double range_threshold(double steepest, PlainRule slope, PlainRule log)
{
    const double pen = slope(steepest), lg = log(steepest);
    return std::min(gradient_reaching(slope, pen - 2.0 * slope_margin * pen),
                    gradient_reaching(log, lg - 2.0 * log_margin(lg)));
}

template <typename Entry>
void build_value_table(ValueTable<Entry> &t, int top, double steepest, int bits, double lmin, double lmax,
                       PlainRule log, int (*value)(double lg))
{
    t.flat = !(lmax - lmin > 0.0);
    if (t.flat)
        return;
    t.top = top;
    t.lo.assign(static_cast<size_t>(top) + 2, 0.0);
    t.hi.assign(static_cast<size_t>(top) + 2, 0.0);
    for (int k = 1; k <= top; k++) {
        const double edge = first_reaching(lmin, lmax, [&](double l) { return value(l) >= k; });
        const double m = 2.0 * log_margin(edge);
        t.lo[static_cast<size_t>(k)] = gradient_reaching(log, edge - m);
        t.hi[static_cast<size_t>(k)] = gradient_reaching(log, edge + m);
    }
    t.lo[static_cast<size_t>(top) + 1] = t.hi[static_cast<size_t>(top) + 1] = HUGE_VAL;

    // The buckets span lo[1] to the largest gradient of the model.
    const double upper = std::min(t.hi[static_cast<size_t>(top)], std::max(steepest, t.lo[1]));
    const uint64_t first = std::bit_cast<uint64_t>(t.lo[1]), last = std::bit_cast<uint64_t>(upper);
    t.shift = 0;
    t.buckets = uint64_t{1} << bits;
    while (((last >> t.shift) - (first >> t.shift)) >= t.buckets - 1)
        t.shift++;
    t.first = first >> t.shift;
    t.bucket.resize(t.buckets);
    size_t k = 0;
    for (uint64_t b = 0; b < t.buckets; b++) {
        const double g0 = std::bit_cast<double>((t.first + b) << t.shift);
        const double g1 = std::bit_cast<double>((t.first + b + 1) << t.shift);
        while (k < static_cast<size_t>(top) && t.hi[k + 1] <= g0)
            k++;
        // A bucket without one value: 255 for 8-bit entries, its first value
        // with the top bit for 16-bit ones.
        const Entry mixed =
            sizeof(Entry) == 1 ? ValueTable<Entry>::mixed : static_cast<Entry>(ValueTable<Entry>::mixed | k);
        t.bucket[b] = g0 >= t.hi[k] && g1 <= t.lo[k + 1] ? static_cast<Entry>(k) : mixed;
    }
}

template void build_value_table(ValueTable<unsigned char> &, int, double, int, double, double, PlainRule,
                                int (*)(double));
template void build_value_table(ValueTable<uint16_t> &, int, double, int, double, double, PlainRule, int (*)(double));

void ready_plain_cache(PlainCache &c, PlainRule slope, PlainRule log)
{
    for (PlainValue &p : c.slot)
        p = PlainValue{0xBFF0000000000000, 0.0, 0.0, false, 0}; // -1.0: a root is never negative
    c.slope = slope;
    c.log = log;
}

// The range rule: a value replaces a bound only when it lies strictly
// beyond it.
void extend(Range &r, double lowest_slope, double highest_slope, double lowest_log, double highest_log)
{
    if (r.min_pen > lowest_slope)
        r.min_pen = lowest_slope;
    if (r.max_pen < highest_slope)
        r.max_pen = highest_slope;
    if (r.log_min > lowest_log)
        r.log_min = lowest_log;
    if (r.log_max < highest_log)
        r.log_max = highest_log;
}

// The ranges of a band after those of the bands before it.
void merge(Range &r, const Range &band)
{
    extend(r, band.min_pen, band.max_pen, band.log_min, band.log_max);
    r.steepest = std::max(r.steepest, band.steepest);
    if (r.bad_line < 0) {
        r.bad_line = band.bad_line;
        r.bad_col = band.bad_col;
    }
}

// The lines a pass works in, and the bands it goes through a model in.
//
// Every pass over a model goes through its lines in bands, each band made
// on one worker thread with lines of its own (Lines), and used in order by
// the thread that started the workers (workers.h), so that what it prints
// and writes comes out as from one thread, whatever the number of threads.
//
// - plan_bands: how many lines a band, how many bands ahead, how many
//   workers, for a model of `lines` lines and a budget of bytes.
// - each_line_of: the lines of one band, in the order of the pass (a
//   backwards pass goes from the last line up: a bitmap is stored so).
// - run_line_pass: the bands of a plan on the workers, each worker with
//   lines for `columns` columns; false, and no band made, when memory
//   refuses the lines. The counts of the fast path of every worker are
//   added to `stats` at the end.
// - line_cells, line_metres: a raw line of a model decoded into its stored
//   cells, and those into metres.
// Nothing here prints or exits.
#ifndef QUARVELIN_LINES_H
#define QUARVELIN_LINES_H

#include "decide.h"
#include "workers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// The raw cells of a model, decoded with the builds of the fast kernels
// (fastmath.h), exactly in every build:
// line_cells: the n stored cells of a raw line, little-endian 16-bit
//   unsigned (width 2) or 32-bit two's complement (width 4), into cells;
//   extent[0] is lowered to their smallest and extent[1] raised to their
//   largest; a null extent is left out.
// line_metres: z[j] = cells[j] / coef.
void line_cells(const unsigned char *bytes, size_t n, int width, int *cells, int extent[2]);
void line_metres(const int *cells, size_t n, double coef, double *z);

// Cells seen by the slope pass, and cells each pass decided the plain way.
struct FastStats {
    int64_t cells = 0, plain_slopes = 0, plain_tones = 0, plain_dem = 0;
};

// The passes that decide cells, each with a pace of its own (decide.h).
enum PassKind { range_pass, slope_pass, tone_pass, dem_pass, pass_kinds };

// The lines one worker works in: the three elevation lines around the
// current one (elevation_line: which model line each holds, or -1); the
// gradients, slopes, slopes + 1 and logarithms of the interior cells
// (gradient[j] is that of cell j + 1); one raw line as read (bytes, 4 a
// cell at most) and its stored cells; one line of tones and one of log DEM
// values, and the todo flags of the cells the plain kernel still has to
// do. Beside them, the plain values of the gradients met last, the paces
// of the passes and the counts of the fast path.
struct Lines {
    void *block = nullptr;
    double *elevation[3] = {}, *gradient = nullptr, *slope = nullptr, *slope_plus_1 = nullptr, *logarithm = nullptr;
    int elevation_line[3] = {-1, -1, -1};
    int *stored = nullptr, *dem = nullptr;
    unsigned char *bytes = nullptr, *tones = nullptr, *todo = nullptr;
    PlainCache *plain = nullptr;
    Pace pace[pass_kinds];
    FastStats stats;
};
constexpr size_t line_bytes_per_column = 7 * sizeof(double) + 2 * sizeof(int) + 4 + 1 + 1;

// The lines for `columns` columns, zero-filled, the plain cache ready with
// the plain rules; false when memory refuses them.
bool ready_lines(Lines &w, int columns, PlainRule slope, PlainRule log);

// The interior cells 1 .. n - 2 of a line whose key is `unsettled` (a
// table entry of mixed values, a todo flag): value(j, gradient) is the
// cell's value when the table's spans prove it, else -1. A cell's todo flag
// is cleared, and the value put in out[j], when it is proven; set when not.
template <typename T, typename Value>
void settle_todo(Lines &w, int n, const unsigned char *keys, unsigned char unsettled, T *out, Value value)
{
    const unsigned char *end = keys + std::max(n - 1, 1);
    for (const unsigned char *at = keys + 1;
         (at = static_cast<const unsigned char *>(std::memchr(at, unsettled, static_cast<size_t>(end - at)))) !=
         nullptr;
         at++) {
        const int j = static_cast<int>(at - keys);
        const int v = value(j, w.gradient[j - 1]);
        w.todo[j] = static_cast<unsigned char>(v < 0);
        if (v >= 0)
            out[j] = static_cast<T>(v);
    }
}

// A pass: bands of per_band lines (the last may be shorter), made on up to
// `workers` threads, at most `slots` of them ahead of the one being used.
struct BandPlan {
    int lines = 0, per_band = 1, bands = 0, slots = 1, workers = 1;
    bool backwards = false;
};

// Several bands a worker, so that they finish together; no more lines a
// band than its share of `budget` holds at bytes_per_line (0: no limit).
BandPlan plan_bands(int lines, int threads, size_t bytes_per_line, size_t budget, bool backwards);

// The lines of band k, in the order of the pass.
template <typename Each>
void each_line_of(const BandPlan &p, int band, Each each)
{
    const int64_t first = static_cast<int64_t>(band) * p.per_band,
                  last = std::min<int64_t>(first + p.per_band, p.lines);
    for (int64_t t = first; t < last; t++)
        each(static_cast<int>(p.backwards ? p.lines - 1 - t : t));
}

// make(k, lines, slot) on the workers, each with lines of its own, then
// use(k, slot) in order on this thread, which stops the pass by returning
// false.
template <typename Make, typename Use>
bool run_line_pass(const BandPlan &p, int columns, PlainRule slope, PlainRule log, FastStats &stats, Make make, Use use)
{
    std::vector<Lines> lines(static_cast<size_t>(p.workers));
    bool ready = true;
    for (Lines &w : lines)
        ready = ready_lines(w, columns, slope, log) && ready;
    if (ready)
        run_bands(
            p.bands, p.slots, p.workers,
            [&](int k, int slot, int worker) { make(k, lines[static_cast<size_t>(worker)], slot); }, use);
    for (Lines &w : lines) {
        stats.cells += w.stats.cells;
        stats.plain_slopes += w.stats.plain_slopes;
        stats.plain_tones += w.stats.plain_tones;
        stats.plain_dem += w.stats.plain_dem;
        std::free(w.block);
    }
    return ready;
}

#endif

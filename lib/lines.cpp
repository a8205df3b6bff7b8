// The lines of a pass and its bands (lines.h).
#include "lines.h"

#include <cstdlib>

bool ready_lines(Lines &w, int columns, PlainRule slope, PlainRule log)
{
    const size_t n = static_cast<size_t>(std::max(columns, 0));
    w = Lines{};
    w.block = std::calloc(1, sizeof(PlainCache) + n * line_bytes_per_column);
    if (w.block == nullptr)
        return false;
    w.plain = static_cast<PlainCache *>(w.block);
    ready_plain_cache(*w.plain, slope, log);
    double *d = static_cast<double *>(static_cast<void *>(w.plain + 1));
    for (double **line :
         {&w.elevation[0], &w.elevation[1], &w.elevation[2], &w.gradient, &w.slope, &w.slope_plus_1, &w.logarithm}) {
        *line = d;
        d += n;
    }
    w.stored = static_cast<int *>(static_cast<void *>(d));
    w.dem = w.stored + n;
    w.bytes = static_cast<unsigned char *>(static_cast<void *>(w.dem + n));
    w.tones = w.bytes + 4 * n;
    w.todo = w.tones + n;
    return true;
}

BandPlan plan_bands(int lines, int threads, size_t bytes_per_line, size_t budget, bool backwards)
{
    BandPlan p;
    p.lines = lines;
    p.backwards = backwards;
    p.workers = std::max(threads, 1);
    p.slots = 2 * p.workers; // a band ahead for every worker while one is written
    // In 64 bits: a count of lines near the largest int goes past it.
    const int64_t shares = 4 * static_cast<int64_t>(p.workers);
    int64_t per = std::max<int64_t>(1, (lines + shares - 1) / shares);
    if (bytes_per_line > 0)
        per = static_cast<int64_t>(
            std::clamp<size_t>(budget / static_cast<size_t>(p.slots) / bytes_per_line, 1, static_cast<size_t>(per)));
    p.per_band = static_cast<int>(per);
    p.bands = static_cast<int>((lines + per - 1) / per);
    // No worker, and no line buffers, for threads that cannot get a band.
    p.workers = std::max(1, std::min(p.workers, p.bands));
    p.slots = std::max(1, std::min(p.slots, p.bands));
    return p;
}

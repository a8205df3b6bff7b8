// The Run state set back to what a run starts from, for everything that
// runs the stages many times in one process: the tests, the fuzz targets and
// the benchmarks. Needs nothing but the program and its units.
#ifndef QUARVELIN_RUN_STATE_H
#define QUARVELIN_RUN_STATE_H

#include "console.h"
#include "outputs.h"
#include "quarvelin.h"

#include <cstdio>

// The stream the dialogue reads its answers from; the one it read before is
// closed (standard input stays open).
inline void feed_answers_from(FILE *in)
{
    static FILE *fed = nullptr;
    if (fed != nullptr && fed != stdin)
        std::fclose(fed);
    fed = in;
    console_answers_from(in);
}

// Releases every grid, closes every file, sets every variable of the Run
// state and the engine back to their start, the answers back to standard
// input. The switches of the engine are read from the environment as a run
// reads them, but for the plain path (off) and the threads (one); the cells a
// value of the log DEM table needs and the counters of fast_stats go on.
inline void reset_run_state()
{
    release_grids();
#define QUARVELIN_RESET_FILE(f)                                                                                        \
    if (f != nullptr)                                                                                                  \
        std::fclose(f);                                                                                                \
    f = nullptr;
    QUARVELIN_FILES(QUARVELIN_RESET_FILE)
    QUARVELIN_RESET_FILE(engine.elevations)
#undef QUARVELIN_RESET_FILE
    nb_lig = nb_col = pix_size = format = itype = mind = maxd = 0;
    dyn_scale = output = dem_result = dem_type = 0;
    dpix_size = coef = strcoef = X_min = Y_min = nodata = ignore_value = 0.0;
    min_pen = max_pen = log_min = log_max = log_dif = 0.0;
    descr_OK = open_ascii_OK = nodata_OK = false;
#define QUARVELIN_RESET_NAME(n) n.clear();
    QUARVELIN_NAMES(QUARVELIN_RESET_NAME)
#undef QUARVELIN_RESET_NAME
    crs_wkt = map_projection = map_fields = "";
    const int64_t per_value = engine.dem_table_cells_per_value;
    engine = Engine{};
    read_switches();
    engine.plain_path = false;
    engine.thread_count = 1;
    engine.dem_table_cells_per_value = per_value;
    output_discard();
    feed_answers_from(stdin);
}

#endif

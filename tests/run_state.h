// The Run state set back to what a run starts from, for everything that
// runs the stages many times in one process: the tests, the fuzz targets and
// the benchmarks. Needs nothing but the program and its units.
#ifndef QUARVELIN_RUN_STATE_H
#define QUARVELIN_RUN_STATE_H

#include "console.h"
#include "outputs.h"
#include "quarvelin.h"

#include <cstdio>
#include <initializer_list>

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
// state and the switches of a run back to their start, the answers back to
// standard input. The counters of fast_stats go on.
inline void reset_run_state()
{
    release_grids();
    for (FILE **f : {&f1, &f1d, &f2, &f2d, &f2g, &f2h, &f2p, &f3, &f3d, &f3g, &f3h, &f3p}) {
        if (*f != nullptr)
            std::fclose(*f);
        *f = nullptr;
    }
    nb_lig = nb_col = pix_size = format = itype = mind = maxd = 0;
    dyn_scale = output = dem_result = dem_type = 0;
    dpix_size = coef = strcoef = X_min = Y_min = nodata = ignore_value = 0.0;
    min_pen = max_pen = log_min = log_max = log_dif = 0.0;
    descr_OK = open_ascii_OK = nodata_OK = plain_path = line_by_line = false;
    thread_count = 1;
    nomim1 = nomdescr1 = nomgeo1 = nomim2 = nomdescr2 = nomhisto = nomhisto2 = nomim3 = nomdescr3 = "";
    nomgis2 = nomprj2 = nomgis3 = nomprj3 = crs_wkt = map_projection = map_fields = "";
    output_discard();
    feed_answers_from(stdin);
}

#endif

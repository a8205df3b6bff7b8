// Test support: a fresh Run state for each test, temporary files, and the
// answer stream fed from a string.
#ifndef QUARVELIN_TEST_RUN_STATE_H
#define QUARVELIN_TEST_RUN_STATE_H

#include "nrutil.h"
#include "quarvelin.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// Releases every grid of the Run state.
inline void release_grids()
{
    const int rows = nb_col > 0 ? nb_lig : 0;
    frusmatrice(jtab_in, rows);
    frimatrice(itab_in, rows);
    frdmatrice(dtab_in, rows);
    frdmatrice(dtab_slope, rows);
    frucmatrice(tab_out, rows);
    frimatrice(itab_out, rows);
    frdmatrice(dtab_out, rows);
    jtab_in = nullptr;
    itab_in = itab_out = nullptr;
    dtab_in = dtab_slope = dtab_out = nullptr;
    tab_out = nullptr;
}

// Releases every grid and sets every variable of the Run state back to zero.
inline void reset_run_state()
{
    release_grids();
    for (FILE **f : {&f1, &f1d, &f2, &f2d, &f2h, &f3, &f3d, &f3h}) {
        if (*f != nullptr)
            std::fclose(*f);
        *f = nullptr;
    }
    nb_lig = nb_col = pix_size = format = itype = mind = maxd = 0;
    dyn_scale = output = dem_result = dem_type = 0;
    dpix_size = coef = strcoef = X_min = Y_min = nodata = 0.0;
    min_pen = max_pen = log_min = log_max = log_dif = 0.0;
    descr_OK = open_ascii_OK = false;
    nomim1 = nomdescr1 = nomim2 = nomdescr2 = nomhisto = nomhisto2 = nomim3 = nomdescr3 = "";
    if (answers != stdin && answers != nullptr)
        std::fclose(answers);
    answers = stdin;
}

// A directory of its own for one test, removed with everything in it.
inline std::string temp_dir()
{
    char tmpl[] = "/tmp/quarvelin-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? std::string(d) + "/" : std::string("/tmp/");
}

inline void remove_dir(const std::string &dir)
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::perror("rm");
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// The answers that the next dialogue questions will read.
inline void feed_answers(const std::string &text)
{
    if (answers != stdin && answers != nullptr)
        std::fclose(answers);
    answers = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), answers);
    std::rewind(answers);
}

// A grid of nb_lig x nb_col elevations from a list, line 0 first.
inline void set_elevations(int lines, int cols, const std::vector<double> &z)
{
    nb_lig = lines;
    nb_col = cols;
    dtab_in = dmatrice(cols, lines);
    dtab_slope = dmatrice(cols, lines);
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            dtab_in[i][j] = z[static_cast<size_t>(i * cols + j)];
}

#endif

// quarvelin: the Run state and the stages of one run.
//
// Entry points, in the order of a run:
//   run_program     the whole program: its arguments, then the two stages
//   opening         banner, dialogue, the model read, its slopes and tones,
//                   the result files created
//     dem_lecture     reads a raw raster model (the dialogue's raw branch)
//     ascii_lecture   reads an ASCII grid model (the dialogue's ASCII branch)
//     pendientes      the slopes, their logarithms and both ranges
//     treatment       the grey tones
//   image_saving    the image, the histogram files, the log DEM; the results
//                   put in place; the closing key wait
//   fail            the one way out of a run that cannot go on
//
// Every stage works on the program-wide Run state declared here and on the
// engine record (the switches, the mode, the tables a stage hands on);
// nothing is passed between stages as arguments. A run decides once, before
// its first pass, whether it holds every grid of the Run state or reads its
// model line by line; the grids are then null and each pass asks the line
// source for the model's lines again, in bands spread over the processors.
// Failures never return: `fail` prints the message, removes the
// temporary files the results were being written to (earlier results stay
// as they were), waits for a key when asked to and ends the program with
// status 1.
#ifndef QUARVELIN_H
#define QUARVELIN_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "decide.h"
#include "lines.h"
#include "names.h"
#include "words.h" // strf

// ================================================================ Run state

// Files: digit = input (1), image (2), log DEM (3); d = descriptor,
// h = histogram, g = the sidecar that places a result for a GIS (a header
// beside a raw raster, a world file beside a bitmap), p = the sidecar that
// gives its coordinate system (a .prj beside an ASCII grid, an .aux.xml
// beside a bitmap). f2h is the log DEM histogram, f3h the image histogram.
// The lists below are the one place they are named: X(name) for each; the
// result files are those a failed run removes (f1d when the dialogue creates
// the descriptor).
#define QUARVELIN_RESULT_FILES(X) X(f1d) X(f2) X(f2d) X(f2g) X(f2h) X(f2p) X(f3) X(f3d) X(f3g) X(f3h) X(f3p)
#define QUARVELIN_FILES(X) X(f1) QUARVELIN_RESULT_FILES(X)
#define QUARVELIN_DECLARE_FILE(f) extern FILE *f;
QUARVELIN_FILES(QUARVELIN_DECLARE_FILE)

// Dimensions and choices.
extern int nb_lig, nb_col, pix_size;
extern int format;     // input form: 0 ASCII grid, 1 raw raster
extern int itype;      // raw cells: 0 16-bit unsigned, 1 32-bit signed
extern int mind, maxd; // fourth and fifth values of the input descriptor
extern int dyn_scale;  // unit of raw values: 0 m, 1 dm, 2 cm, 3 mm
extern int output;     // image form: 0 raw raster, 1 bitmap, 2 ASCII grid
extern int dem_result; // log DEM wanted: 0 yes, 1 no
extern int dem_type;   // log DEM form: 0 raw 32-bit raster, 1 ASCII grid

// Real numbers.
extern double dpix_size, coef, strcoef, X_min, Y_min, nodata;
extern double ignore_value; // no-data value of a raw model, from its ENVI header
extern double min_pen, max_pen, log_min, log_max, log_dif;

// Flags.
extern bool descr_OK;      // the input descriptor existed and was read
extern bool open_ascii_OK; // X_min and Y_min are known
extern bool nodata_OK;     // the model declares a no-data value: the ASCII
                           // header's sixth line (nodata), or the ENVI
                           // header's data ignore value (ignore_value)

// The model's coordinate system as WKT ("" when not known), and the name and
// fields that the map info of a header gives it (see georef.h).
extern std::string crs_wkt, map_projection, map_fields;

// Grids, row-pointer matrices of nb_lig lines by nb_col columns.
extern unsigned short **jtab_in;
extern int **itab_in;
extern double **dtab_in;
extern double **dtab_slope;
extern unsigned char **tab_out;
extern int **itab_out;
extern double **dtab_out;

// Names: the input model, its descriptor and the sidecar that placed it (a
// .prj beside an ASCII grid, an ENVI header beside a raw raster; "" when it
// has none), and every result path.
// clang-format off
#define QUARVELIN_NAMES(X)                                                                                             \
    X(nomim1) X(nomdescr1) X(nomgeo1)                                                                                  \
    X(nomim2) X(nomdescr2) X(nomgis2) X(nomprj2) X(nomhisto) X(nomhisto2) X(nomim3) X(nomdescr3) X(nomgis3) X(nomprj3)
// clang-format on
#define QUARVELIN_DECLARE_NAME(n) extern std::string n;
QUARVELIN_NAMES(QUARVELIN_DECLARE_NAME)

// =============================================================== File names
//
// The suffixes of the model and of the results (RawForm, ResultRole,
// ResultFile and their tables) are in names.h.

// ================================================================== Stages
//
// Each stage says what it reads (@pre) and what it leaves (@post) of the Run
// state and of the engine record (below).

// The whole program: its arguments, the switches of the engine from the
// environment (read_switches), then the two stages. The exit status for main.
int run_program(int argc, char **argv);
// @pre  engine switches read.
// @post the model read, its slopes, ranges and tones made (the stages
//       below), every result file open: f2.., f3.., nomim2.. nomgis3, output,
//       dem_result, dem_type, strcoef, X_min, Y_min.
void opening();
// @pre  what opening leaves.
// @post every result written, closed and put in place.
void image_saving();
// @pre  f1, nomim1, nomdescr1, itype; f1d open (read) or created (written).
// @post nb_lig, nb_col, pix_size, dpix_size, mind, maxd, dyn_scale, coef;
//       the line source started (start_source): itab_in and dtab_in filled
//       when the run holds its grids; the created descriptor written.
void dem_lecture();
// @pre  f1, nomim1.
// @post nb_lig, nb_col, X_min, Y_min, dpix_size, nodata, pix_size; the line
//       source started: dtab_in filled, or the scratch copy written.
void ascii_lecture();
// @pre  the line source, dpix_size.
// @post min_pen, max_pen, log_min, log_max, log_dif, engine.steepest;
//       dtab_slope and dtab_out filled when held.
void pendientes();
// @pre  log_min, log_dif, engine.steepest.
// @post engine.tones; tab_out filled when held.
void treatment();

// Prints msg, removes the temporaries of the results, waits for a key when
// key is true, exits with status 1. Called at the boundaries of the stages,
// never from the bands of a pass.
[[noreturn]] void fail(const std::string &msg, bool key = true);

// ======================================================== Terrain formulas

// Slope in degrees of the 3 x 3 window z (z0, z1, z2: the lines above, at
// and below the cell, from its left neighbour) for the reciprocal cell size
// p = 1 / dpix_size.
double window_slope(const double *z0, const double *z1, const double *z2, double p);

// The slope in degrees of a gradient: the correctly rounded arc tangent,
// times 180 first, then over pi.
double plain_slope(double g);

// The logarithm of a slope in degrees: log10(pen + 1).
double log_of_slope(double pen);

// Whole part, toward zero, of the exact product d x s (not of its rounding).
int trunc_product(double d, double s);

// The stretch of one logarithm onto 0..limit: the whole part, toward zero,
// of limit x (lg - lmin) / ldif, the quotient rounded to a double and its
// product with limit taken exactly. 0 for a flat model (ldif not above 0).
int stretch(double lg, double lmin, double ldif, double limit);

// The image stretches onto the grey tones 0..254 (255 never occurs). The
// histogram files place a slope on a scale of 0..255 instead, so a tone t
// reads back at t x 255 / 254 in the image histogram; files read by users
// and their scripts rely on both numbers.
constexpr double tone_limit = 254.0;
constexpr double histogram_scale = 255.0;

// Grey tone 0..254 of one logarithm: the stretch at tone_limit.
int grey_tone(double lg, double lmin, double ldif);

// The ranges start from these values and a cell replaces a bound only when
// it lies strictly beyond it, so they show in what a user reads:
// - stored values of a raw model (reported, and written into a descriptor
//   the dialogue creates): a model whose values all lie above 1 000 000
//   reports a minimum of 1000000, and an all-negative 32-bit model a
//   maximum of 0;
// - slopes: a model without cells reports 10000000.000000 and 0.000000;
// - logarithms: a model without cells reports 1000.000000 and 0.000000.
// Border cells have slope 0, so every model with cells has the smallest
// slope and the smallest logarithm 0.
// (The slopes' and logarithms' starts are in decide.h, with the ranges.)
constexpr int stored_min_start = 1000000, stored_max_start = 0;

// An ASCII grid's header lines are told apart by their order, not by their
// keywords (only xllcenter and yllcenter are told from the corner's); a
// keyword is limited to the 59 characters that the grid format's
// 60-character keyword buffer holds, so that a header that is not one is
// refused early.
constexpr long longest_keyword = 59;

// Bytes per cell of all the grids a run holds at once. Every run holds the
// elevations (8), slopes (8), logarithms (8), tones (1) and log DEM (4); a
// raw model also its stored values (4). The 16-bit cells of a raw model (2)
// go through a line of their own and are never a grid.
constexpr int ascii_run_bytes_per_cell = 8 + 8 + 8 + 1 + 4;
constexpr int raw_run_bytes_per_cell = 4 + ascii_run_bytes_per_cell;

// ================================================= For tests and benchmarks
//
// What the tests, fuzzers and benchmarks reach besides the stages: the
// switches a run reads from its environment, the readers' statuses without
// their messages, the memory decision, and counters of the fast path.

// The engine record: what the passes share besides the Run state. The
// switches are read from the environment once, by run_program
// (read_switches); the mode is decided once, before the first pass
// (start_source); the steepest gradient and the tables are handed from the
// stage that makes them to the passes after it.
struct Engine {
    // The whole run through the plain path (the correctly rounded atan and
    // log10 on every cell): the reference. $QUARVELIN_PLAIN.
    bool plain_path = false;
    // $QUARVELIN_LINE_BY_LINE: -1 unset, 0 hold the grids, 1 line by line.
    int forced_mode = -1;
    // Threads the passes spread their bands over: $QUARVELIN_THREADS (1 to
    // 256), else one for every processor this process may use.
    int thread_count = 1;
    // The log DEM values are looked up in a table of the gradients where
    // each value begins, as the tones are, when the model has at least this
    // many cells for each value (the stretch limit); 0 always, when the
    // limit allows.
    int64_t dem_table_cells_per_value = 16384;

    // The run reads its model line by line instead of holding its grids.
    bool line_by_line = false;
    // The voids of the model: its cells equal to the no-data value it
    // declares (nodata_OK), counted by its reader; that value in metres, as
    // the elevation lines hold it. A cell whose window holds a void has no
    // slope: it is a border cell.
    int64_t void_cells = 0;
    double void_metres = 0.0;
    // The largest finite gradient of the model (pendientes).
    double steepest = 0.0;
    // The grey tones (treatment) and the log DEM values (its writer) by
    // gradient; dem_by_table: the log DEM is looked up in its table.
    ValueTable<unsigned char> tones;
    ValueTable<uint16_t> dem;
    bool dem_by_table = false;
    // The scratch copy of an ASCII model's elevations for a run line by
    // line; the folder it is in, or the folder that refused it, and why
    // writing it failed.
    FILE *elevations = nullptr;
    std::string copy_folder;
    int copy_error = 0;
};
extern Engine engine;

// Reads the switches of the engine from the environment.
void read_switches();
int threads_to_use();

// Cells seen by the slope pass, and cells each pass decided the plain way.
extern FastStats fast_stats;

// Whether the grids of a model of bytes_per_cell bytes a cell are held: when
// they need at most 64 MiB and at most half of the usable memory, or as
// engine.forced_mode says.
bool grids_wanted(int bytes_per_cell);
// Whether the lines of the passes fit in the usable memory: every worker's
// lines and the bands of a result at their widest.
bool lines_fit();
// Starts the line source, once, before the first pass of a model: holds
// every grid of the run when they are wanted and granted, else reads line
// by line (engine.line_by_line). False when not even the lines fit.
bool start_source(int bytes_per_cell);

// Releases every grid of the Run state and sets it to null.
void release_grids();

// The log DEM of a run that holds its grids, into itab_out.
// @pre  log_min, log_max, log_dif, strcoef, engine.steepest; the grids held.
// @post engine.dem, engine.dem_by_table; itab_out filled.
void fill_log_dem();

// Reads up to six whitespace-separated whole numbers of a descriptor file
// into v (values that are absent are left untouched), each word as int_word
// reads it; nothing after the sixth value is read. Returns how many were
// read. Reading stops at the first word that is not a 32-bit whole number,
// and then *refused (when given) is set.
int read_descriptor(FILE *f, int v[6], bool *refused = nullptr);

// Outcome of reading a raw raster with `raw_read`.
enum RawStatus {
    raw_ok = 0,
    raw_too_short,  // the file holds `found` cells, fewer than the model's
    raw_unreadable, // a read failed
    raw_no_memory   // not even the lines of the passes fit
};

// Reads the nb_lig x nb_col cells of the raw raster on f, of the cell type
// itype, into itab_in (or, line by line, only for their range), and finds
// the range of the stored values, starting from stored_min_start and
// stored_max_start. The size of the file is checked before anything is
// allocated. On failure every grid is released and null.
RawStatus raw_read(FILE *f, int &min, int &max, int64_t &found);

// Outcome of reading an ASCII grid with `ascii_read`.
enum AsciiStatus {
    ascii_ok = 0,
    ascii_bad_header,   // header line `bad_line` (1 to 6) is not valid
    ascii_bad_cellsize, // cell size 0 or not finite
    ascii_bad_value,    // no valid value for the cell (bad_line, bad_col)
    ascii_no_memory,    // not even the lines of the passes fit
    ascii_no_temporary, // line by line: no scratch file for its elevations
    ascii_copy_failed,  // line by line: writing that scratch file failed
    ascii_unreadable    // the file was cut while it was read
};

// Reads the ASCII grid on f into the Run state (nb_col, nb_lig, X_min, Y_min,
// dpix_size, nodata, pix_size, dtab_in, dtab_slope). Prints the progress
// lines. On failure the grids it allocated are released and set to null.
AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col);

#endif

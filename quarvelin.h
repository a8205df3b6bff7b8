// quarvelin: the Run state and the stages of one run.
//
// Every stage works on the program-wide Run state declared here; nothing is
// passed between stages as arguments. The order of a run is fixed: `opening`
// (banner, dialogue, reading the model, slopes, normalisation, opening the
// output files), then `image_saving` (image, histogram files, log DEM, end).
// A run either holds every grid or reads its model line by line; its grids
// are then null and the per-line kernels are fed from the model's file.
//
// Failures never return: they go through `fail`, which prints the message,
// removes the temporary files the results were being written to (earlier
// results stay as they were), waits for a key when asked to and ends the
// program with status 1.
#ifndef QUARVELIN_H
#define QUARVELIN_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------- Run state

// Files: digit = input (1), image (2), log DEM (3); d = descriptor,
// h = histogram. f2h is the log DEM histogram, f3h the image histogram.
extern FILE *f1, *f1d, *f2, *f2d, *f2h, *f3, *f3d, *f3h;

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
extern double min_pen, max_pen, log_min, log_max, log_dif;

// Flags.
extern bool descr_OK;      // the input descriptor existed and was read
extern bool open_ascii_OK; // X_min and Y_min are known

// Grids, row-pointer matrices of nb_lig lines by nb_col columns.
extern unsigned short **jtab_in;
extern int **itab_in;
extern double **dtab_in;
extern double **dtab_slope;
extern unsigned char **tab_out;
extern int **itab_out;
extern double **dtab_out;

// Names: the input model and its descriptor, and every result path.
extern std::string nomim1, nomdescr1;
extern std::string nomim2, nomdescr2, nomhisto, nomhisto2, nomim3, nomdescr3;

// --------------------------------------------------------------- File names

// A raw raster model of one cell type (index: itype) and its descriptor.
struct RawForm {
    const char *raster;     // suffix of the raster file
    const char *descriptor; // suffix of its descriptor file
    int bytes;              // bytes per cell, third value of the descriptor
    const char *what;
};
extern const RawForm raw_forms[2];
extern const char ascii_suffix[]; // suffix of an ASCII grid model

// The result files, each the generic result name followed by its suffix.
enum ResultRole {
    result_histogram,            // f3h, written in every run
    result_raw_image,            // f2, output form 0
    result_raw_image_descriptor, // f2d, output form 0
    result_bitmap,               // created by the bitmap writer, output form 1
    result_ascii_image,          // f2, output form 2
    result_dem_histogram,        // f2h, with a log DEM
    result_raw_dem,              // f3, log DEM form 0
    result_raw_dem_descriptor,   // f3d, log DEM form 0
    result_ascii_dem,            // f3, log DEM form 1
    result_count
};
struct ResultFile {
    const char *suffix;
    const char *mode; // fopen mode: text or binary
    const char *what;
};
extern const ResultFile result_files[result_count];

// ------------------------------------------------------------------ Stages

void opening();
void image_saving();
void dem_lecture();
void ascii_lecture();
void pendientes(); // slopes, logarithms and their ranges: min_pen .. log_dif
void treatment();  // grey tones

// -------------------------------------------------------- Terrain formulas

// Slope in degrees of the 3 x 3 window z (z[k][l] is line i-1+k, column
// j-1+l) for the reciprocal cell size p = 1 / dpix_size.
double window_slope(const double *z0, const double *z1, const double *z2, double p);

// Slope in degrees of a cell whose logarithm is needed alone, and that
// logarithm: log10(pen + 1).
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

// ---------------------------------------------------------- Range limits
//
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
constexpr int stored_min_start = 1000000, stored_max_start = 0;
constexpr double slope_min_start = 1.0e7, slope_max_start = 0.0;
constexpr double log_min_start = 1000.0, log_max_start = 0.0;

// An ASCII grid keyword is not compared with anything; it is only limited to
// the 59 characters that the grid format's 60-character keyword buffer
// holds, so that a header that is not one is refused early.
constexpr long longest_keyword = 59;

// Bytes per cell of all the grids a run holds at once. Every run holds the
// elevations (8), slopes (8), logarithms (8), tones (1) and log DEM (4); a
// raw model also its stored values (4). The 16-bit cells of a raw model (2)
// are released before the elevations are made, so they do not add up.
constexpr int ascii_run_bytes_per_cell = 8 + 8 + 8 + 1 + 4;
constexpr int raw_run_bytes_per_cell = 4 + ascii_run_bytes_per_cell;

// ------------------------------------------------------ Per-line kernels
//
// The slopes, logarithms, tones and log DEM values of one line, the same in
// a run that holds every grid and in one that reads the model line by line.
// z0, z1, z2 are the elevations of the lines above, at and below the line
// (z0 null on the first line, z2 on the last). The cell math is done by the
// fast kernels and checked against margins; a cell near a boundary is done
// the plain way from its window, so the results are those of the plain path.

// The whole run through the plain path (the C library's atan and log10 on
// every cell): the reference. Set from $QUARVELIN_PLAIN.
extern bool plain_path;

// Cells seen by the slope pass, and cells the passes computed the plain way.
struct FastStats {
    int64_t cells = 0, exact_slopes = 0, exact_tones = 0, exact_dem = 0;
};
extern FastStats fast_stats;

// What a pass over the lines keeps from line to line besides the ranges.
struct SlopeSweep {
    bool ranges = false;                  // the slope pass: the ranges are made
    double p = 0.0;                       // 1 / dpix_size
    double fast_max_pen = 0.0;            // largest fast slope so far
    double fast_log_max = 0.0;            // largest fast logarithm so far
    double last_g = -1.0;                 // the last gradient done the plain way,
    double last_pen = 0.0, last_lg = 0.0; // its slope and logarithm
    int line = 0;                         // the line being done
    int bad_line = -1, bad_col = -1;      // first cell whose sums overflowed
    double g_max = 0.0;                   // range_line: largest gradient so far,
    double g_ref = 0.0;                   // the one the threshold was made for,
    double threshold = 0.0;               // below which no cell can hold a maximum
};

// Readies a pass (the line buffers; with `ranges`, the ranges min_pen,
// max_pen, log_min, log_max at their start values); then slope_line for
// every line in order writes the line's slopes and logarithms and, in the
// slope pass, extends the ranges (plain values); end_slopes sets log_dif. A
// cell without a slope (its sums overflowed) is noted in bad_line, bad_col.
void begin_slopes(SlopeSweep &w, bool ranges);
void slope_line(SlopeSweep &w, const double *z0, const double *z1, const double *z2, double *slope, double *lg);
void end_slopes(const SlopeSweep &w);

// The ranges alone, from the gradients of a line, for a run line by line:
// only the cells whose gradient comes near the largest are done the plain
// way (the slopes and logarithms of the other cells are not needed).
void range_line(SlopeSweep &w, const double *z0, const double *z1, const double *z2);

// The plain logarithm of cell j of the line z1.
double cell_log(const double *z0, const double *z1, const double *z2, int j);

// The smallest logarithm of every grey tone, for the ranges of the Run state.
struct ToneEdges {
    bool flat = true;   // no range to stretch over: every tone is 0
    double scale = 0;   // tone_limit / log_dif
    double edge[256]{}; // edge[k]: smallest logarithm of tone k; edge[255] = +inf
};
void begin_tones(ToneEdges &t);
void tone_line(const ToneEdges &t, const double *z0, const double *z1, const double *z2, const double *lg,
               unsigned char *tone);
void log_dem_line(const double *z0, const double *z1, const double *z2, const double *lg, int *val);

// The tones from the gradients alone, for a run line by line: the plain
// logarithm grows with the gradient, so the gradients at the edges of every
// tone are found once (with the margins around them) and a cell's tone is
// looked up; only a gradient within the margins of an edge is done the plain
// way. g_max: the largest gradient of the model.
struct GradientTones {
    static constexpr uint64_t buckets = 1 << 16;
    bool flat = true;
    double lo[256]{}, hi[256]{};
    uint64_t first = 0; // leading bits of the first bucket
    int shift = 0;      // bits of a gradient below its bucket's
    unsigned char bucket[buckets]{};
    double last_g = -1.0; // the last gradient done the plain way, and its tone
    int last_tone = 0;
};
void begin_gradient_tones(GradientTones &t, const ToneEdges &e, double g_max);
void gradient_tone_line(GradientTones &t, const double *z0, const double *z1, const double *z2, unsigned char *tone);

// ---------------------------------------------------------- Line by line

// The run reads its model line by line instead of holding its grids; the
// grids of the Run state then stay null.
extern bool line_by_line;

// Bytes this process may still use: the least of the machine's available
// memory, the room its control group leaves (cgroup_room, from the group
// named in proc_cgroup under cgroup_root; -1 when no limit is set) and its
// address-space limit.
double usable_memory();
double cgroup_room(const std::string &proc_cgroup, const std::string &cgroup_root);

// Decides between the two runs for grids of bytes_per_cell bytes a cell:
// line by line when they need more than half of usable_memory(), or as
// $QUARVELIN_LINE_BY_LINE says when it is set (0: hold the grids, anything
// else: line by line). Readies the line buffers; false when even those do
// not fit.
bool decide_run(int bytes_per_cell);

// A grid was refused: every grid is released and the run goes on line by
// line. An ASCII model's elevations are kept in a temporary file first
// (open_elevations makes it beside the model); false when they cannot be.
bool fall_back_to_lines();

// Releases every grid of the Run state and sets it to null.
void release_grids();
bool open_elevations();

// ------------------------------------------------------- Readers (no exits)

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
    raw_no_memory   // the grids do not fit, or one was refused
};

// Reads the nb_lig x nb_col cells of the raw raster on f, of the cell type
// itype, into itab_in (16-bit cells through a line buffer; jtab_in stays
// null), and finds the range of the stored values, starting from
// stored_min_start and stored_max_start. The size of the file is checked
// before anything is allocated. On failure itab_in is released and null.
RawStatus raw_read(FILE *f, int &min, int &max, int64_t &found);

// Outcome of reading an ASCII grid with `ascii_read`.
enum AsciiStatus {
    ascii_ok = 0,
    ascii_bad_header,   // header line `bad_line` (1 to 6) is not valid
    ascii_bad_cellsize, // cell size 0 or not finite
    ascii_bad_value,    // no valid value for the cell (bad_line, bad_col)
    ascii_no_memory,    // not even the line buffers fit
    ascii_no_temporary  // line by line: the file of its elevations cannot be made
};

// Reads the ASCII grid on f into the Run state (nb_col, nb_lig, X_min, Y_min,
// dpix_size, nodata, pix_size, dtab_in, dtab_slope). Prints the progress
// lines. On failure the grids it allocated are released and set to null.
AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col);

// ------------------------------------------------------ Words and numbers

// The characters that separate words: blank, tab, line feed, carriage
// return, vertical tab, form feed.
bool is_blank(int c);

// The word [b, e) as a 32-bit integer, "%d" on a whole word: an optional
// sign ("+" included, "+-" not), then decimal digits. False, with value
// untouched, for anything else or a number beyond 32 bits.
bool int_word(const char *b, const char *e, int &value);

// The word [b, e) as a real number, "%lf" on a whole word: an optional
// sign, digits, decimal point, exponent. value is set only for word_number.
enum NumberWord {
    word_number,      // a finite number
    word_not_number,  // not a number at all
    word_out_of_range // beyond the range of a double (1e999, 1e-999), or inf, nan
};
NumberWord real_word(const char *b, const char *e, double &value);

// --------------------------------------------------------- Platform layer

// Root directory of every folder: $QUARVELIN_ROOT with a trailing '/', or
// "images/" under the working directory.
std::string root_directory();
extern const char path_separator[];

// Box characters of the banner frame, as UTF-8 text.
extern const char *const box_h, *const box_v, *const box_p1, *const box_p2, *const box_p3, *const box_p4;

// Next whitespace-delimited answer word from `answers` (standard input by
// default); false at end of input.
extern FILE *answers;
bool next_word(FILE *in, std::string &word);

// Whole-word conversions of an answer: "%d" and "%lf" semantics, except that
// the whole word must be the number and a real must be finite.
bool parse_int_word(const std::string &word, int &value);
bool parse_real_word(const std::string &word, double &value);

// Reads one answer; at end of input the run is abandoned (status 1). Returns
// false, after printing "A number is expected.", when the word is not a number.
bool ask_int(int &value);
bool ask_real(double &value);
std::string ask_word();

// One key press: from the terminal without echo when standard input is one,
// otherwise one character of what remains of the input, if any.
void key_wait();

// Opens a model or a descriptor file for reading, as f. Anything but a
// regular file (a directory, a device, a FIFO) is refused without waiting;
// a symbolic link to a regular file is that file.
enum InputStatus {
    input_ok = 0,
    input_absent,     // no such file
    input_unreadable, // it exists but cannot be opened (permissions)
    input_too_long,   // the path is too long for the system
    input_not_regular // not a regular file
};
InputStatus open_input(const std::string &path, FILE *&f);

// ------------------------------------------------------------- Failures

// Registers a file as incomplete until `file_done` is called for it; every
// incomplete file is removed when the run fails or a signal ends it. The
// results are written to temporary files registered so, and put in place
// only when the whole run is complete.
void file_started(const std::string &path);
void file_done(const std::string &path);

// Handlers of every signal that ends the program (interrupt, quit, hang-up,
// termination, broken pipe, alarm, user signals): they remove the incomplete
// files, restore the terminal and end the program by the same signal. The
// file-size limit makes a write fail instead, as a full disk does.
void catch_signals();

// Prints msg, removes incomplete files, waits for a key when key is true,
// exits with status.
[[noreturn]] void fail(const std::string &msg, bool key = true, int status = 1);

// printf-style formatting into a std::string.
std::string strf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Program entry without the process: the dialogue and the writer. Returns the
// exit status for `main`.
int run_program(int argc, char **argv);

#endif

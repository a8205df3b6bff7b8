// quarvelin: logarithmic slope images of digital elevation models.
//
// One run, one pass: the dialogue names a model (a raw 16- or 32-bit raster
// with its descriptor file, or an ASCII grid), the model is read in metres,
// the slope of every interior cell is computed with Horn's 3 x 3 weights,
// log10(1 + slope) is stretched onto the grey tones 0..254, and the result is
// written as an image (raw 8-bit raster, bitmap or ASCII grid) with a
// histogram file that reads a tone back as a slope, and on request as a log
// DEM (raw 32-bit raster or ASCII grid) with a histogram file of its own.
//
// This file reads in the order of a run: the Run state (the file names are
// in names.h), the dialogue, the two readers, the slopes (the rules, the
// line driver and the kernels of every pass), the tones and the log DEM,
// the line source, the writers. Terrain arithmetic is done in 64-bit reals
// in a fixed order of operations, every real that becomes an integer is
// truncated toward zero, and every file is the one the correctly rounded
// atan and log10 (crmath.h) give on every cell. lib/ holds what deciding cells quickly takes (decide.h), the
// lines and bands of a pass (lines.h), the fixed texts (texts.h) and the host.
#include "quarvelin.h"

#include "ask.h"
#include "console.h"
#include "crmath.h"
#include "fastmath.h"
#include "files.h"
#include "georef.h"
#include "host.h"
#include "image.h"
#include "lines.h"
#include "nrutil.h"
#include "outputs.h"
#include "room.h"
#include "texts.h"
#include "words.h"
#include "workers.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

// The version comes from the build (project() in CMakeLists.txt).
#ifndef QUARVELIN_VERSION
#error "QUARVELIN_VERSION is not defined: build with CMake, or pass -DQUARVELIN_VERSION=\"x.y.z\""
#endif

// ================================================================ Run state

#define QUARVELIN_DEFINE_FILE(f) FILE *f;
QUARVELIN_FILES(QUARVELIN_DEFINE_FILE)

int nb_lig, nb_col, pix_size;
int format, itype, mind, maxd, dyn_scale, output, dem_result, dem_type;

double dpix_size, coef, strcoef, X_min, Y_min, nodata;
double ignore_value;
double min_pen, max_pen, log_min, log_max, log_dif;

bool descr_OK, open_ascii_OK;
bool nodata_OK;

std::string crs_wkt, map_projection, map_fields;

unsigned short **jtab_in;
int **itab_in;
double **dtab_in;
double **dtab_slope;
unsigned char **tab_out;
int **itab_out;
double **dtab_out;

#define QUARVELIN_DEFINE_NAME(n) std::string n;
QUARVELIN_NAMES(QUARVELIN_DEFINE_NAME)

Engine engine;
FastStats fast_stats;

namespace {

// The widest text of a value in an ASCII result, its tab included: a tone
// ("254\t") and a log DEM value ("-2147483648\t").
constexpr size_t tone_text_width = 4, value_text_width = 12;

} // namespace

// ======================================================= Dialogue and driver

namespace {

[[noreturn]] void cannot_write(const std::string &path)
{
    fail(strf("\n\tFile %s could not be written\n", path.c_str()));
}

[[noreturn]] void cannot_read(const std::string &path)
{
    fail(strf("\n\tFile %s could not be read\n", path.c_str()));
}

[[noreturn]] void no_memory()
{
    fail(strf("\n\tNot enough memory for a grid of %d lines by %d columns\n", nb_lig, nb_col));
}

[[noreturn]] void end_of_input()
{
    fail("\n\tEnd of input: the run is abandoned.\n", false);
}

// Whichever stage asks, the end of the input ends the run.
const bool input_end_handled = (ask_when_input_ends(end_of_input), true);

void ask_coordinates()
{
    ask_corner(X_min, Y_min);
    open_ascii_OK = true;
}

const char yes_no[] = "\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t";

// The generic name, asked again while one of the files it names would be
// the input model, its descriptor or its sidecar.
std::string ask_result_name(const std::string &folder)
{
    return ask_generic_name(folder, {nomim1, format == 1 ? nomdescr1 : "", nomgeo1});
}

// Opens a model or its descriptor as f; `unknown` is the message of a file
// that does not exist or cannot be opened, null when that is no failure.
void open_input(const std::string &path, FILE *&f, const char *unknown)
{
    const std::string refusal = input_refusal(input_open(path, f), path, unknown);
    if (!refusal.empty())
        fail(refusal);
}

// Creates a result file as f, written to a temporary until the commit.
void create_result(const std::string &path, const char *mode, FILE *&f, bool at_close = false)
{
    int err = 0;
    const std::string refusal = output_refusal(output_create(path, mode, at_close, f, err), path);
    if (!refusal.empty())
        fail(refusal);
}

// Closes a finished result file; a failed close is a failed write.
void close_result(FILE *&f, const std::string &path)
{
    int err = 0;
    if (output_close(f, err) != output_ok)
        cannot_write(path);
}

void read_model_descriptor()
{
    int val = 0;
    int v[6] = {nb_lig, nb_col, val, mind, maxd, pix_size};
    bool refused = false;
    const int count = read_descriptor(f1d, v, &refused);
    if (std::ferror(f1d))
        cannot_read(nomdescr1);
    if (refused || count < 2)
        fail(strf("\n\tFile %s is not a valid descriptor file\n", nomdescr1.c_str()));
    nb_lig = v[0];
    nb_col = v[1];
    val = v[2];
    mind = v[3];
    maxd = v[4];
    pix_size = v[5];
    descr_OK = true;
    std::fclose(f1d);
    f1d = nullptr;
    if (nb_lig < 0 || nb_col < 0)
        fail(strf("\n\tFile %s: the dimensions are not valid\n", nomdescr1.c_str()));
}

// The text of the sidecar `path` of the model, its name then in nomgeo1;
// "" when there is none.
std::string read_model_sidecar(const std::string &path)
{
    FILE *f = nullptr;
    open_input(path, f, nullptr);
    if (f == nullptr)
        return "";
    nomgeo1 = path;
    std::string text;
    const bool read = read_text(f, text, size_t(1) << 20);
    std::fclose(f);
    if (!read)
        cannot_read(path);
    return text;
}

// The model's coordinate system, from the WKT text of its sidecar `path`
// (or the name of its map info): a geographic one is refused before anything
// is written, as its cells are in degrees; a projected one goes with every
// result; any other is not known, and the run goes on without it.
void take_crs(const std::string &wkt, const std::string &path)
{
    const CrsKind kind = model_crs_kind(wkt, map_projection);
    if (kind == crs_geographic)
        fail(degrees_refusal(path));
    if (kind != crs_projected)
        return;
    crs_wkt = wkt_line(wkt);
    if (map_projection.empty())
        envi_projection_of(crs_wkt, map_projection, map_fields);
}

// What the ENVI header beside a raw model says: read before its descriptor,
// used once the descriptor gave the model's size.
EnviHeader model_header;

void read_model_header(const std::string &raster)
{
    model_header = read_envi_header(read_model_sidecar(raster.substr(0, raster.size() - 4) + ".hdr"));
    const EnviHeader &h = model_header;
    if (!h.valid)
        return;
    if (h.placed) {
        map_projection = h.projection;
        map_fields = h.projection_fields;
    }
    take_crs(h.wkt, nomgeo1);
    nodata_OK = h.has_ignore;
    ignore_value = h.ignore_value;
}

// The size of a raw model is the descriptor's: a header that disagrees
// with it is told in one line.
void check_header_size()
{
    if (const std::string note = header_size_note(model_header, nb_lig, nb_col, nomgeo1, nomdescr1); !note.empty())
        console_say(note);
}

// A raw model placed by its header: its upper-left corner, and the lower
// left one the descriptor's lines of cells below it.
void place_raw_model()
{
    if (!model_header.valid || !model_header.placed)
        return;
    X_min = model_header.left;
    Y_min = model_header.top - nb_lig * dpix_size;
    open_ascii_OK = true;
}

void open_raw_model()
{
    itype = ask_choice("", "\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t", 1);
    nomdescr1 = nomim1 + raw_forms[itype].descriptor;
    nomim1 += raw_forms[itype].raster;

    open_input(nomim1, f1, "\n File %s unknown\n");
    read_model_header(nomim1);
    open_input(nomdescr1, f1d, nullptr);
    if (f1d != nullptr) {
        read_model_descriptor();
    } else {
        console_say(strf("\n\tNo File %s \n\n", nomdescr1.c_str()));
        // A new file of the model, put in place once the model was read.
        create_result(nomdescr1, "w", f1d, true);
        ask_model_size(nb_lig, nb_col, pix_size);
        if (std::fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, raw_forms[itype].bytes) < 0)
            cannot_write(nomdescr1);
        descr_OK = false;
    }
    while (pix_size == 0)
        pix_size = ask_count("\n\tPixel Size (in meters) ? ", INT_MIN);
    dpix_size = static_cast<double>(pix_size);
    check_header_size();
    dem_lecture();
    place_raw_model();
}

void open_ascii_model()
{
    const std::string base = nomim1;
    nomim1 += ascii_suffix;
    open_input(nomim1, f1, "\n\tFile %s unknown\n");
    const std::string wkt = read_model_sidecar(base + ".prj");
    if (!nomgeo1.empty())
        take_crs(wkt, nomgeo1);
    ascii_lecture();
    std::fputs("\n", stdout);
}

// The sidecars for a GIS that could not be made, told in one line before
// the results are written.
std::vector<std::string> skipped_sidecars;

// Creates the result file of `role` for the generic name as `f` and names it.
// A sidecar for a GIS is an extra: one that cannot be made (a folder that
// refuses new files, where the results themselves are written in place) is
// skipped, f left null.
void open_result(const std::string &generic, ResultRole role, std::string &name, FILE *&f, bool sidecar = false)
{
    name = generic + result_files[role].suffix;
    int err = 0;
    const OutputStatus status = output_create(name, result_files[role].mode, false, f, err);
    if (sidecar && status == output_cannot_create) {
        skipped_sidecars.push_back(name);
        return;
    }
    if (const std::string refusal = output_refusal(status, name); !refusal.empty())
        fail(refusal);
}

// The image form; a bitmap is refused when the model is too large for one.
void ask_image_form()
{
    output = ask_image_form_of(nb_lig, nb_col);
}

void open_outputs(const std::string &generic)
{
    open_result(generic, result_histogram, nomhisto, f3h);
    ask_image_form();
    // A world file is made only for a model whose place is known, and the
    // sidecar of the coordinate system only for one whose system is known.
    // The places 2 and 3 of a form (names.h) are its sidecars.
    auto open_form = [&](const ResultRole(&roles)[4], std::string *names[4], FILE **files[4]) {
        if (roles[0] == result_ascii_image || roles[0] == result_ascii_dem) {
            if (!open_ascii_OK)
                ask_coordinates();
        }
        for (int k = 0; k < 4; k++)
            if (roles[k] != result_count && (roles[k] != result_bitmap_world || open_ascii_OK) &&
                (k != 3 || !crs_wkt.empty()))
                open_result(generic, roles[k], *names[k], *files[k], k >= 2);
    };
    std::string *image_names[4] = {&nomim2, &nomdescr2, &nomgis2, &nomprj2};
    FILE **image_files[4] = {&f2, &f2d, &f2g, &f2p};
    open_form(image_results[output], image_names, image_files);

    dem_result = ask_log_dem_wanted();
    if (dem_result != 0)
        return;

    open_result(generic, result_dem_histogram, nomhisto2, f2h);
    dem_type = ask_log_dem_form();
    std::string *dem_names[4] = {&nomim3, &nomdescr3, &nomgis3, &nomprj3};
    FILE **dem_files[4] = {&f3, &f3d, &f3g, &f3p};
    open_form(dem_results[dem_type], dem_names, dem_files);

    strcoef = ask_stretch_limit();
}

} // namespace

int threads_to_use()
{
    return threads_wanted(std::getenv("QUARVELIN_THREADS"));
}

void read_switches()
{
    const char *plain = std::getenv("QUARVELIN_PLAIN");
    engine.plain_path = plain != nullptr && *plain != '\0' && std::strcmp(plain, "0") != 0;
    const char *forced = std::getenv("QUARVELIN_LINE_BY_LINE");
    engine.forced_mode = forced == nullptr || *forced == '\0' ? -1 : std::strcmp(forced, "0") != 0 ? 1 : 0;
    engine.thread_count = threads_to_use();
}

void fail(const std::string &msg, bool key)
{
    stop_bands(); // the workers of a pass end first
    console_say(msg);
    output_discard();
#define QUARVELIN_FORGET_FILE(f) f = nullptr; // closed with the temporaries
    QUARVELIN_RESULT_FILES(QUARVELIN_FORGET_FILE)
    if (key)
        console_key_wait();
    std::fflush(stdout);
    std::exit(1);
}

void opening()
{
    banner();
    const int consult = ask_choice("\n\n\tConsult the information file concerning the treatment ", yes_no, 1);
    if (consult == 0)
        information_box();

    nomim1 = root_directory();
    const std::string nomdir =
        ask_name(strf("\n\n\tName of the File Folder located in the Directory %s : ", nomim1.c_str()));
    nomim1 += nomdir;
    nomim1 += path_separator;
    const std::string folder = nomim1;
    output_recover(folder); // the files of a run that died in this folder
    nomim1 += ask_name("\n\tName of DEM File (without any extension) ? ");

    format = ask_choice("", "\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t", 1);
    if (format == 1)
        open_raw_model();
    else
        open_ascii_model();

    std::fputs("\n\tTHE ORIGINAL DEM HAS : ", stdout);
    std::printf("\n\t            %d LINES", nb_lig);
    std::printf("\n\t        AND %d COLUMNS", nb_col);
    if (engine.void_cells > 0)
        std::printf("\n\t       WITH %lld VOID CELLS (NO DATA)", static_cast<long long>(engine.void_cells));
    std::fputs("\n", stdout);

    pendientes();
    treatment();
    std::fputs("\n\n\tLogarithmic Treatment ", stdout);
    std::fputs("\n\n\tDynamic Scale in:", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", min_pen, max_pen);
    std::fputs("\n\n\tLogarithmic scale: ", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", log_min, log_max);

    open_outputs(ask_result_name(folder));
}

int run_program(int argc, char **argv)
{
    if (const int status = answer_command_line(argc, argv, QUARVELIN_VERSION); status >= 0)
        return status;
    console_begin();
    catch_ending_signals(console_restore_terminal);
    // The small allocations of a run (names, the lists of a pass) fail only
    // when the memory is all but gone: the run then ends as when a grid does
    // not fit, the reserve released so that it can still say so.
    keep_reserve(no_memory);
    read_switches();
    fast_variant_in_use(); // chosen once, before any thread
    opening();
    image_saving();
    return 0;
}

// ======================================================== The lines of a pass
//
// Every pass over a model (reading it, its slopes, its tones, its log DEM)
// goes through its lines in bands (lines.h).

namespace {

// How a pass ended; a stage tells the user (pass_failed).
enum PassStatus { pass_ok, pass_unreadable, pass_no_memory, pass_unwritable };

// The bands of a result being made at once, all workers together: a few
// hundred lines of a wide model for each worker, small beside the 64 MiB a
// run line by line may use.
constexpr size_t band_budget = size_t(16) << 20;

// The bands of a pass over the model (lines.h).
BandPlan plan(size_t bytes_per_line, bool backwards)
{
    return plan_bands(nb_lig, engine.thread_count, bytes_per_line, band_budget, backwards);
}

// A pass over the bands of p: make(k, lines, slot) on the workers, each
// with lines of its own, then use(k, slot) in order on this thread.
template <typename Make, typename Use>
PassStatus line_pass(const BandPlan &p, Make make, Use use)
{
    return run_line_pass(p, nb_col, plain_slope, log_of_slope, fast_stats, make, use) ? pass_ok : pass_no_memory;
}

// Declared here, defined under Line source.
template <typename Band, typename Make, typename Each, typename Use>
PassStatus model_pass(const BandPlan &p, Make make, Each each, Use use);

} // namespace

// ======================================================= Raw raster reader

namespace {

// Reads line i of the raw model into w.bytes and decodes its stored cells into
// `cells` (16-bit unsigned, FF FF is 65535, or 32-bit two's complement, both
// little-endian), extending the range `extent` of the stored values. False
// when the file could not be read.
bool read_raw_line(FILE *f, Lines &w, int i, int *cells, int extent[2])
{
    const size_t bytes = static_cast<size_t>(std::max(nb_col, 0)) * static_cast<size_t>(raw_forms[itype].bytes);
    if (!read_at(f, w.bytes, bytes, static_cast<int64_t>(i) * static_cast<int64_t>(bytes)))
        return false;
    line_cells(w.bytes, static_cast<size_t>(nb_col), raw_forms[itype].bytes, cells, extent);
    return true;
}

} // namespace

int read_descriptor(FILE *f, int v[6], bool *refused)
{
    return read_whole_numbers(f, v, 6, refused);
}

RawStatus raw_read(FILE *f, int &min, int &max, int64_t &found)
{
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    found = std::max<int64_t>(file_size(f), 0) / raw_forms[itype].bytes;
    if (found < cells)
        return raw_too_short;
    if (!start_source(raw_run_bytes_per_cell))
        return raw_no_memory;

    // A run line by line reads the stored values here only for their range.
    struct Band {
        int extent[2]; // the range of the band's stored values
        bool read;
        int64_t voids; // its cells equal to the declared no-data value
    };
    const BandPlan p = plan(0, false);
    std::vector<Band> bands(static_cast<size_t>(p.slots));
    min = stored_min_start;
    max = stored_max_start;
    engine.void_cells = 0;
    RawStatus status = raw_ok;
    const PassStatus pass = line_pass(
        p,
        [&](int k, Lines &w, int slot) {
            Band &b = bands[static_cast<size_t>(slot)];
            b = Band{{stored_min_start, stored_max_start}, true, 0};
            each_line_of(p, k, [&](int i) {
                int *const line = itab_in != nullptr ? itab_in[i] : w.stored;
                if (nb_col > 0 && b.read)
                    b.read = read_raw_line(f, w, i, line, b.extent);
                if (nodata_OK && b.read)
                    b.voids += std::count(line, line + nb_col, ignore_value);
            });
        },
        [&](int, int slot) {
            const Band &b = bands[static_cast<size_t>(slot)];
            if (!b.read)
                status = raw_unreadable;
            if (b.extent[0] < min)
                min = b.extent[0];
            if (b.extent[1] > max)
                max = b.extent[1];
            engine.void_cells += b.voids;
            return status == raw_ok;
        });
    if (pass == pass_no_memory)
        status = raw_no_memory;
    if (status != raw_ok)
        release_grids();
    return status;
}

void dem_lecture()
{
    open_ascii_OK = false;
    int min = 0, max = 0;
    int64_t found = 0;
    switch (raw_read(f1, min, max, found)) {
    case raw_ok:
        break;
    case raw_too_short:
        fail(strf("\n\tFile %s is too short: %lld cells expected, %lld found\n", nomim1.c_str(),
                  static_cast<long long>(nb_lig) * nb_col, static_cast<long long>(found)));
    case raw_unreadable:
        cannot_read(nomim1);
    case raw_no_memory:
        no_memory();
    }
    std::printf("\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);

    dyn_scale = ask_units();
    coef = unit_factors[dyn_scale];
    engine.void_metres = ignore_value / coef; // as line_metres makes a stored value metres
    // The elevations in metres, stored value / coef, into the grid of a run
    // that holds it; a run line by line makes them as each pass reads its
    // lines (read_line).
    for (int i = 0; itab_in != nullptr && i < nb_lig; i++)
        line_metres(itab_in[i], static_cast<size_t>(nb_col), coef, dtab_in[i]);

    // A descriptor the dialogue created gets the range and the cell size.
    if (!descr_OK) {
        if (std::fprintf(f1d, "%d\n%d\n%d\n", min, max, static_cast<int>(dpix_size)) < 0)
            cannot_write(nomdescr1);
        close_result(f1d, nomdescr1);
    }
}

// ============================================================= ASCII reader

namespace {

// The block of a grid that cannot be mapped, read as a stream.
constexpr size_t block_size = size_t(1) << 20;

// The scratch copy of an ASCII model's elevations for a run line by line
// (engine.elevations), nb_col doubles a line.
void release_copy()
{
    if (engine.elevations != nullptr)
        std::fclose(engine.elevations);
    engine.elevations = nullptr;
}

bool open_copy()
{
    release_copy(); // a copy of an earlier model
    engine.elevations = scratch_open(nomim1, engine.copy_folder, engine.copy_error);
    return engine.elevations != nullptr;
}

bool grid_real(const char *b, const char *e, double &v)
{
    return real_word(b, e, v) == word_number;
}

// The keyword [b, e) is `word`, in any case.
bool keyword_is(const char *b, const char *e, const char *word)
{
    for (; b < e && *word != '\0'; b++, word++)
        if (std::tolower(static_cast<unsigned char>(*b)) != *word)
            return false;
    return b == e && *word == '\0';
}

// The six header lines, told apart by their order. A header of five lines
// (no no-data line) is recognised by a number in the sixth keyword's place,
// which is then the first value of the body (`first`, and `pending` set).
// Lines 3 and 4 give the lower-left corner of the grid, or with the keywords
// xllcenter and yllcenter the centre of its lower-left cell, half a cell
// further up and right.
AsciiStatus read_header(WordScanner &s, int &bad_line, bool &pending, double &first)
{
    const char *b, *e;
    pending = false;
    bool centre[2] = {false, false};
    nodata_OK = false;
    for (int line = 1; line <= 6; line++) {
        bad_line = line;
        if (!next_word(s, b, e))
            return ascii_bad_header;
        if (line == 6 && grid_real(b, e, first)) { // a value of any length
            pending = true;
            break;
        }
        if (e - b > longest_keyword)
            return ascii_bad_header;
        if (line == 3 || line == 4)
            centre[line - 3] = keyword_is(b, e, line == 3 ? "xllcenter" : "yllcenter");
        if (!next_word(s, b, e))
            return ascii_bad_header;
        // Lines 1 and 2 are counts; 3, 4 and 6 real numbers; 5 the cell
        // size, which has messages of its own: a number that is not a finite
        // one, 0, or so small that its reciprocal is infinite (0 x inf is no
        // number, so it has no slopes).
        int *const counts[] = {&nb_col, &nb_lig};
        double *const reals[] = {nullptr, nullptr, &X_min, &Y_min, &dpix_size, &nodata};
        if (line <= 2 && !(int_word(b, e, *counts[line - 1]) && *counts[line - 1] >= 0))
            return ascii_bad_header;
        if (line >= 3) {
            const NumberWord w = real_word(b, e, *reals[line - 1]);
            if (w == word_not_number || (line != 5 && w != word_number))
                return ascii_bad_header;
            if (line == 5 && (w == word_out_of_range || dpix_size == 0.0 || std::fabs(dpix_size) >= 2147483648.0 ||
                              !std::isfinite(1.0 / dpix_size)))
                return ascii_bad_cellsize;
        }
    }
    bad_line = 0;
    if (centre[0])
        X_min -= dpix_size / 2.0;
    if (centre[1])
        Y_min -= dpix_size / 2.0;
    nodata_OK = !pending;
    engine.void_metres = nodata;
    return ascii_ok;
}

// Where the values of the body go: the grid, the scratch copy through a
// buffer of `held` values, or nowhere (a body too short for the grid is
// read only to find its first missing value).
struct CellSink {
    double *buffer = nullptr;
    size_t size = 0;
    int err = 0;
    int64_t voids = 0; // values equal to the declared no-data value
};

// The values of the cells from .. to - 1, in order, from the scanner.
// Returns the first cell without a valid value, or `to`; -1 when the copy
// could not be written (sink.err says why).
int64_t read_cells(WordScanner &s, int64_t from, int64_t to, CellSink &sink)
{
    const int64_t cols = std::max(nb_col, 1);
    int64_t i = from / cols, j = from % cols, held_from = from;
    size_t held = 0;
    auto flush = [&] {
        const bool ok = held == 0 || write_at(engine.elevations, sink.buffer, held * sizeof(double),
                                              held_from * static_cast<int64_t>(sizeof(double)), sink.err);
        held_from += static_cast<int64_t>(held);
        held = 0;
        return ok;
    };
    for (int64_t c = from; c < to; c++) {
        double v;
        if (!next_value(s, v))
            return flush() ? c : -1;
        if (nodata_OK && v == nodata)
            sink.voids++;
        if (dtab_in != nullptr) {
            dtab_in[i][j] = v;
        } else if (sink.buffer != nullptr) {
            sink.buffer[held++] = v;
            if (held == sink.size && !flush())
                return -1;
        }
        if (++j == cols) {
            j = 0;
            i++;
        }
    }
    return flush() ? to : -1;
}

// The progress lines of the reader: line 100, 200, ... as the reading
// reaches the first cell of that line; `next` is the next one to print.
void progress_to(int64_t &next, int lines)
{
    progress_every_100("\tline %d                   \r", next, std::min(lines, nb_lig));
}

int line_of_cell(int64_t c)
{
    return nb_col > 0 ? static_cast<int>(c / nb_col) : nb_lig;
}

// Readies the grid, or the scratch copy of a run line by line, for the body.
AsciiStatus ready_body()
{
    if (!start_source(ascii_run_bytes_per_cell))
        return ascii_no_memory;
    if (engine.line_by_line && !open_copy())
        return ascii_no_temporary;
    return ascii_ok;
}

// A body in memory, read in chunks on every worker: the chunks, cut at
// blanks, first count their words, whose sums place each chunk's first
// cell; then each reads its values into their places. Returns the first cell
// without a valid value (`cells` when there is none), or -1 for a copy that
// could not be written.
int64_t read_body_in_chunks(const char *body, size_t size, int64_t first_cell, AsciiStatus &status, int64_t &next)
{
    constexpr size_t chunk_bytes = size_t(1) << 20; // big enough for the workers' turns to cost nothing
    const std::vector<TextChunk> text = counted_chunks(
        body, size, std::clamp<size_t>(size / chunk_bytes, 1, 16 * static_cast<size_t>(engine.thread_count)),
        engine.thread_count);
    struct Chunk {
        int64_t first, stop, voids;
        int err;
    };
    std::vector<Chunk> chunks(text.size());
    const int n = static_cast<int>(text.size());
    int64_t total = first_cell;
    for (size_t k = 0; k < text.size(); k++) {
        chunks[k] = Chunk{total, 0, 0, 0};
        total += text[k].words;
    }
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    if (total >= cells && (status = ready_body()) != ascii_ok)
        return cells;

    // The values, each worker's copy through a buffer of its own.
    constexpr size_t buffer_cells = 1 << 16;
    std::vector<double *> buffers(static_cast<size_t>(engine.thread_count), nullptr);
    for (double *&b : buffers)
        if (engine.elevations != nullptr && (b = dvecteur(static_cast<int>(buffer_cells))) == nullptr)
            status = ascii_no_memory;
    int64_t stop = status == ascii_ok ? cells : 0;
    run_bands(
        stop == 0 ? 0 : n, n, engine.thread_count,
        [&](int k, int, int worker) {
            Chunk &c = chunks[static_cast<size_t>(k)];
            const TextChunk &t = text[static_cast<size_t>(k)];
            const int64_t to = std::min(c.first + t.words, cells);
            c.stop = to;
            if (c.first >= to)
                return;
            WordScanner s;
            scan_text(s, t.begin, t.size);
            CellSink sink{buffers[static_cast<size_t>(worker)], buffer_cells, 0};
            c.stop = read_cells(s, c.first, to, sink);
            c.err = sink.err;
            c.voids = sink.voids;
        },
        [&](int k, int) {
            const Chunk &c = chunks[static_cast<size_t>(k)];
            if (c.stop < 0) {
                engine.copy_error = c.err;
                stop = -1;
                return false;
            }
            if (c.stop < std::min(c.first + text[static_cast<size_t>(k)].words, cells)) {
                stop = c.stop;
                return false;
            }
            progress_to(next, c.stop > 0 ? line_of_cell(c.stop - 1) + 1 : 0);
            engine.void_cells += c.voids;
            return true;
        });
    for (double *b : buffers)
        frdvecteur(b);
    return stop != cells ? stop : std::min(total, cells); // a bad value or a failed copy; else a missing one
}

AsciiStatus read_grid(WordScanner &s, const char *text, size_t size, int &bad_line, int &bad_col)
{
    bool pending = false;
    double first = 0.0;
    bad_col = 0;
    if (const AsciiStatus h = read_header(s, bad_line, pending, first); h != ascii_ok)
        return h;
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col, first_cell = pending && cells > 0 ? 1 : 0;
    int64_t next = 100; // the next progress line
    engine.void_cells = 0;
    AsciiStatus status = ascii_ok;
    int64_t stop = cells;
    if (text != nullptr) {
        const size_t at = static_cast<size_t>(scanned(s));
        stop = read_body_in_chunks(text + at, size - at, first_cell, status, next);
    } else {
        // A body that cannot hold every cell (each value takes at least one
        // character and one separator) is read without storing, to name the
        // first missing cell without allocating grids the file cannot fill.
        const int64_t rest = file_size(s.in) - scanned(s);
        if (file_size(s.in) < 0 || cells - first_cell <= (rest + 1) / 2)
            status = ready_body();
        if (status == ascii_ok) {
            double buffer[4096];
            CellSink sink{engine.elevations != nullptr ? buffer : nullptr, 4096, 0};
            stop = read_cells(s, first_cell, cells, sink);
            engine.copy_error = sink.err;
            engine.void_cells = sink.voids;
        }
    }
    if (status == ascii_ok && first_cell == 1) {
        if (dtab_in != nullptr)
            dtab_in[0][0] = first;
        else if (engine.elevations != nullptr &&
                 !write_at(engine.elevations, &first, sizeof first, 0, engine.copy_error))
            stop = -1;
    }
    if (status == ascii_ok && stop < 0)
        status = ascii_copy_failed;
    if (status == ascii_ok && stop < cells) {
        progress_to(next, line_of_cell(stop) + 1);
        bad_line = line_of_cell(stop);
        bad_col = static_cast<int>(stop - static_cast<int64_t>(bad_line) * nb_col);
        status = ascii_bad_value;
    }
    if (status != ascii_ok)
        return status;
    progress_to(next, nb_lig);
    pix_size = static_cast<int>(dpix_size);
    return ascii_ok;
}

} // namespace

AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col)
{
    size_t size = 0;
    const char *text = map_whole(f, size);
    std::vector<char> block(text == nullptr ? block_size + 1 : 0);
    WordScanner s;
    if (text != nullptr)
        scan_text(s, text, size);
    else
        scan_stream(s, f, block.data(), block.size(), false);
    AsciiStatus status = read_grid(s, text, size, bad_line, bad_col);
    // A grid that could not be read to its end is not a damaged one: a cut
    // under the map, or a read that failed, is told as such.
    if (text != nullptr) {
        if (map_was_cut())
            status = ascii_unreadable;
        unmap_whole(text, size);
    } else if (status != ascii_ok && std::ferror(f)) {
        status = ascii_unreadable;
    }
    if (status != ascii_ok) {
        release_grids();
        release_copy();
    }
    return status;
}

void ascii_lecture()
{
    std::fputs("\n", stdout);
    open_ascii_OK = true;
    int line = 0, col = 0;
    switch (ascii_read(f1, line, col)) {
    case ascii_ok:
        return;
    case ascii_bad_header:
        fail(strf("\n\tFile %s: header line %d is not valid\n", nomim1.c_str(), line));
    case ascii_bad_cellsize:
        fail(strf("\n\tFile %s: the cell size is not valid\n", nomim1.c_str()));
    case ascii_bad_value:
        fail(strf("\n\tFile %s: no valid value for line %d, column %d\n", nomim1.c_str(), line, col));
    case ascii_no_memory:
        no_memory();
    case ascii_no_temporary:
        fail(strf("\n\tFile %s: no temporary file can be made beside it or in %s to read it line by line\n",
                  nomim1.c_str(), engine.copy_folder.c_str()));
    case ascii_copy_failed:
        fail(strf("\n\tFile %s: its copy in %s for reading it line by line could not be written: %s\n", nomim1.c_str(),
                  engine.copy_folder.c_str(), write_failure(engine.copy_error).c_str()));
    case ascii_unreadable:
        cannot_read(nomim1);
    }
}

// =================================================================== Slopes
//
// Per cell, slope = atan(g) x 180 / pi of the gradient g of its window, and
// its logarithm log10(slope + 1). Every pass drives a line through one
// driver (drive_line): the gradients of the line, exact in every build; the
// pass's fast step, which decides the cells it can prove (decide.h); then
// the pass's plain kernel on the other cells, with the correctly rounded
// atan and log10 of lib/crmath. $QUARVELIN_PLAIN leaves the fast step out: the reference. A new
// pass is one kernel (a fast step and a plain kernel) and one call of
// drive_line for each line of a model pass.

namespace {

const double pi = cr_atan(1.0) * 4.0;

} // namespace

// The rules, each a small pure function of the program.

double plain_slope(double g)
{
    return cr_atan(g) * 180.0 / pi;
}

double log_of_slope(double pen)
{
    return cr_log10(pen + 1.0);
}

double window_slope(const double *z0, const double *z1, const double *z2, double p)
{
    double g;
    line_gradients(z0, z1, z2, 1, p, &g);
    return plain_slope(g);
}

namespace {

// The logarithm of the slope of a gradient.
double plain_log(double g)
{
    return log_of_slope(plain_slope(g));
}

// The border rule: a cell of the first or last line or column has no
// window of its own; its gradient is 0 (slope 0, logarithm 0). interior: the
// line has interior cells (gradients).
inline double gradient_at(const Lines &w, bool interior, int j)
{
    return interior && j > 0 && j < nb_col - 1 ? w.gradient[j - 1] : 0.0;
}

// The void rule: a cell whose window holds a void has no slope; its
// gradient is 0, as a border cell's. A column of the window holds one when
// any of its three elevations is the void value.
void void_windows(Lines &w, const double *z0, const double *z1, const double *z2)
{
    const double v = engine.void_metres;
    const auto column = [&](int j) { return z0[j] == v || z1[j] == v || z2[j] == v; };
    bool left = column(0), here = column(1);
    for (int j = 1; j < nb_col - 1; j++) {
        const bool right = column(j + 1);
        if (left || here || right)
            w.gradient[j - 1] = 0.0;
        left = here;
        here = right;
    }
}

// The gradients of the interior cells of the line z1 into w.gradient; false
// for a line without interior cells (the first, the last, a model of fewer
// than 3 columns).
bool gradients(Lines &w, const double *z0, const double *z1, const double *z2)
{
    if (z0 == nullptr || z2 == nullptr || nb_col < 3)
        return false;
    line_gradients(z0, z1, z2, static_cast<size_t>(nb_col - 2), 1.0 / dpix_size, w.gradient);
    if (engine.void_cells > 0)
        void_windows(w, z0, z1, z2);
    return true;
}

// The fast slopes and logarithms of the interior cells, from w.gradient.
void fast_logs(Lines &w)
{
    const size_t m = static_cast<size_t>(nb_col - 2);
    fast_atan(w.gradient, w.slope, m);
    line_degrees(w.slope, w.slope_plus_1, m, pi);
    fast_log10(w.slope_plus_1, w.logarithm, m);
}

// The driver of every pass over a line of nb_col cells. Every cell starts
// marked todo. fast() (a line with interior cells, off the plain path, when
// the pace allows) decides the cells it can prove, clears their todo flags and
// returns the column where the plain loop resumes; plain(j, g) then decides
// each cell still marked from there, given its gradient g, and says whether
// it needed the plain rules.
template <typename Fast, typename Plain>
void drive_line(Lines &w, PassKind kind, bool interior, Fast fast, Plain plain)
{
    const int n = nb_col;
    std::memset(w.todo, 1, static_cast<size_t>(n));
    Pace &pace = w.pace[kind];
    const bool tried = interior && !engine.plain_path && pace_fast(pace);
    int plain_cells = 0;
    for (unsigned char *at = w.todo + (tried ? fast() : 0), *end = w.todo + n;
         (at = static_cast<unsigned char *>(std::memchr(at, 1, static_cast<size_t>(end - at)))) != nullptr; at++) {
        const int j = static_cast<int>(at - w.todo);
        plain_cells += plain(j, gradient_at(w, interior, j)) ? 1 : 0;
    }
    if (tried)
        pace_after(pace, n, plain_cells);
}

// The range kernel: the cells of line i that may hold a bound, done the
// plain way. Only a gradient at or above the threshold may hold a largest
// value, and only the gradient 0 (of every border cell) the smallest; the
// fast step leaves out the interior of a line whose gradients all lie below
// the threshold. The threshold follows the largest gradient by steps of
// 10 %: below it, a few more cells than needed are done the plain way.
void range_of_line(Range &r, Lines &w, int i, bool interior)
{
    w.stats.cells += nb_col;
    double last_g = -1.0; // a gradient met on the cell before is done
    drive_line(
        w, range_pass, interior,
        [&] {
            const size_t m = static_cast<size_t>(nb_col - 2);
            if (line_largest(w.gradient, m) < r.threshold)
                std::memset(w.todo + 1, 0, m);
            return 0;
        },
        [&](int j, double g) {
            if (g == last_g)
                return false;
            last_g = g;
            if (g <= DBL_MAX) {
                if (g > r.steepest) {
                    r.steepest = g;
                    if (!engine.plain_path && g > 1.1 * r.threshold_of) {
                        r.threshold_of = g;
                        r.threshold = range_threshold(g, plain_slope, plain_log);
                    }
                }
                if (g > 0.0 && g < r.threshold)
                    return false;
            }
            const PlainValue &p = plain_of(*w.plain, g, w.stats.plain_slopes);
            if (std::isnan(p.pen) && r.bad_line < 0) {
                r.bad_line = i;
                r.bad_col = j;
            }
            extend(r, p.pen, p.pen, p.lg, p.lg);
            return true;
        });
}

// The slope kernel, for the grids of a run that holds them: the fast
// slopes and logarithms of the cells whose gradients are finite, the plain
// ones of the others.
void slopes_of_line(Lines &w, bool interior, double *slope, double *lg)
{
    drive_line(
        w, slope_pass, interior,
        [&] {
            fast_logs(w);
            for (int j = 1; j < nb_col - 1; j++)
                if (w.gradient[j - 1] <= DBL_MAX) {
                    slope[j] = w.slope[j - 1];
                    lg[j] = w.logarithm[j - 1];
                    w.todo[j] = 0;
                }
            return 0;
        },
        [&](int j, double g) {
            const PlainValue &p = plain_of(*w.plain, g, w.stats.plain_slopes);
            slope[j] = p.pen;
            lg[j] = p.lg;
            return true;
        });
}

void slope_progress(int i)
{
    if (i > 0 && i < nb_lig - 1 && i % 100 == 0)
        progress("\tline %d                 \r", i);
}

// Tells the user why a pass did not end; at the boundary of a stage.
void pass_failed(PassStatus status, const std::string &path)
{
    if (status == pass_unreadable)
        cannot_read(nomim1);
    if (status == pass_no_memory)
        no_memory();
    if (status == pass_unwritable)
        cannot_write(path);
}

// Declared here, defined under Line source: holds every grid of the run
// not held yet (the stored values too when asked); false when one is
// refused.
bool hold_grids(bool stored);

} // namespace

void pendientes()
{
    // A run that holds its elevations holds every grid (start_source); one
    // given its elevations alone gets the others here.
    if (dtab_in != nullptr && !hold_grids(false))
        no_memory();
    std::fputs("\n", stdout);
    Range r;
    const PassStatus status = model_pass<Range>(
        plan(0, false),
        [](int i, Lines &w, Range &band, const double *z0, const double *z1, const double *z2) {
            const bool interior = gradients(w, z0, z1, z2);
            range_of_line(band, w, i, interior);
            if (dtab_out != nullptr)
                slopes_of_line(w, interior, dtab_slope[i], dtab_out[i]);
        },
        slope_progress,
        [&](const Range &band) {
            merge(r, band);
            return true;
        });
    pass_failed(status, nomim1);
    min_pen = r.min_pen;
    max_pen = r.max_pen;
    log_min = r.log_min;
    log_max = r.log_max;
    log_dif = log_max - log_min;
    engine.steepest = r.steepest;
    if (r.bad_line >= 0)
        fail(strf("\n\tFile %s: the elevations around line %d, column %d are too large for a slope\n", nomim1.c_str(),
                  r.bad_line, r.bad_col));
}

// ============================================================ Normalisation

int trunc_product(double d, double s)
{
    const double prod = d * s;
    if (std::isnan(prod))
        return 0;
    // Beyond the 32-bit range by more than the rounding of the product.
    if (prod >= 2147483648.0)
        return INT_MAX;
    if (prod <= -2147483649.0)
        return INT_MIN;
    double t = std::trunc(prod);
    // The rounded product can reach a whole number that the exact product
    // falls just short of; only then does the exact residue decide.
    if (prod == t && t != 0.0) {
        const double residue = std::fma(d, s, -t);
        if (t > 0.0 && residue < 0.0)
            t -= 1.0;
        else if (t < 0.0 && residue > 0.0)
            t += 1.0;
    }
    return static_cast<int>(std::clamp(t, -2147483648.0, 2147483647.0));
}

int stretch(double lg, double lmin, double ldif, double limit)
{
    if (!(ldif > 0.0))
        return 0; // a flat model (or none): every value is 0
    double dval_out = lg - lmin;
    dval_out = dval_out / ldif;
    return trunc_product(dval_out, limit);
}

int grey_tone(double lg, double lmin, double ldif)
{
    // Within the range the tone is 0..254 by construction; the bounds only
    // keep a byte from wrapping round.
    return std::clamp(stretch(lg, lmin, ldif, tone_limit), 0, static_cast<int>(tone_limit));
}

namespace {

constexpr int top_tone = static_cast<int>(tone_limit);

// The grey tone and the log DEM value of a logarithm of this model.
int tone_of_log(double lg)
{
    return grey_tone(lg, log_min, log_dif);
}

int dem_value(double lg)
{
    return stretch(lg, log_min, log_dif, strcoef);
}

// The tone kernel: the fast step looks each gradient up in its bucket (255
// where the bucket holds no one tone), then between the tones' proven
// spans; the plain kernel takes the plain tone of the rest.
void tones_of_line(Lines &w, bool interior, unsigned char *tone, int)
{
    const ValueTable<unsigned char> &t = engine.tones;
    drive_line(
        w, tone_pass, interior,
        [&] {
            if (t.flat)
                return 0;
            line_lookup(w.gradient, static_cast<size_t>(nb_col - 2), t.first, t.shift, t.bucket.data(), t.buckets, 0,
                        tone + 1);
            std::memset(w.todo + 1, 0, static_cast<size_t>(nb_col - 2));
            settle_todo(w, nb_col, tone, ValueTable<unsigned char>::mixed, tone,
                        [&](int, double g) { return table_value(t, g); });
            return 0;
        },
        [&](int j, double g) {
            tone[j] = static_cast<unsigned char>(plain_decision(*w.plain, g, w.stats.plain_tones, tone_of_log));
            return true;
        });
}

// The log DEM values to a limit of 1 to 4096 are looked up in a table like
// the tones' in 2^18 buckets (half a megabyte): built when the model has at
// least dem_table_cells_per_value cells for each value (a value costs about
// 6 microseconds to find, on one thread, against about 2 ns a cell saved on
// each), it takes the place of the fast logarithms and their stretch. With
// more values, too many cells fall in buckets that hold no one value, and
// the fast logarithms are quicker.
void build_dem_table()
{
    const int top = stretch(log_max, log_min, log_dif, strcoef);
    const double cells = static_cast<double>(nb_lig) * static_cast<double>(nb_col);
    engine.dem_by_table = log_dif > 0.0 && strcoef > 0.0 && top >= 1 && top <= 4096 &&
                          cells >= static_cast<double>(engine.dem_table_cells_per_value) * top;
    if (engine.dem_by_table)
        build_value_table(engine.dem, top, engine.steepest, 18, log_min, log_max, plain_log, dem_value);
}

// The log DEM kernel. The stretch is monotone, so a cell's value is proven
// when its gradient lies in one value's span of the table, or when it is
// one value over the whole margin of its fast logarithm (line_stretch); the
// plain kernel takes the plain stretch of the other cells. A run that holds
// its grids has the line's fast logarithms already (held_logs): the slope
// pass kept them, and the cells where it kept a plain one instead have
// gradients that are not finite, which the plain kernel takes anyway.
void dem_of_line(Lines &w, bool interior, int *val, int i)
{
    const ValueTable<uint16_t> &t = engine.dem;
    const double *held_logs = dtab_out != nullptr ? dtab_out[i] : nullptr;
    drive_line(
        w, dem_pass, interior,
        [&] {
            const size_t m = static_cast<size_t>(nb_col - 2);
            if (!(log_dif > 0.0))
                return 0;
            if (engine.dem_by_table) {
                // A hint (a first value to step from) or a gradient beyond
                // the table: the values' proven spans decide.
                line_lookup16(w.gradient, m, t.first, t.shift, t.bucket.data(), t.buckets, val + 1, w.todo + 1);
                settle_todo(w, nb_col, w.todo, 1, val, [&](int j, double g) {
                    return val[j] >= 0 ? table_value_from(t, g, val[j]) : table_value(t, g);
                });
                return 0;
            }
            if (held_logs == nullptr)
                fast_logs(w);
            const double stretch_of[4] = {log_min, strcoef / log_dif, log_margin(1.0) - log_margin(0.0),
                                          log_margin(0.0)};
            line_stretch(held_logs != nullptr ? held_logs + 1 : w.logarithm, w.gradient, m, stretch_of, val + 1,
                         w.todo + 1);
            return 0;
        },
        [&](int j, double g) {
            val[j] = plain_decision(*w.plain, g, w.stats.plain_dem, dem_value);
            return true;
        });
}

// A pass that fills a grid of the run, line by line, from each line's
// gradients.
template <typename T, typename Fill>
PassStatus fill_grid(T **grid, Fill fill)
{
    struct None {};
    return model_pass<None>(
        plan(0, false),
        [&](int i, Lines &w, None &, const double *z0, const double *z1, const double *z2) {
            fill(w, gradients(w, z0, z1, z2), grid[i], i);
        },
        [](int) {}, [](const None &) { return true; });
}

} // namespace

void treatment()
{
    build_value_table(engine.tones, top_tone, engine.steepest, 16, log_min, log_max, plain_log, tone_of_log);
    // A run that holds its grids keeps its tones in tab_out; a run line by
    // line makes them as the image is written.
    if (tab_out != nullptr)
        pass_failed(fill_grid(tab_out, tones_of_line), nomim1);
}

void fill_log_dem()
{
    build_dem_table();
    pass_failed(fill_grid(itab_out, dem_of_line), nomim1);
}

// ============================================================= Line source
//
// A run holds every grid of its model only while they need at most 64 MiB
// and at most half of what this process may use: beyond that, holding the
// grids costs more than it saves (the first touch of fresh memory is slow).
// A larger model is read line by line, with the same driver, console text
// and files: a raw model from its own file, an ASCII grid from a scratch
// copy of its elevations that its reader wrote (a file with no name, which
// no end of the program can leave behind). The choice is made once, before
// the first pass (start_source): every grid of the run is held, or none.

namespace {

constexpr double grid_limit = 64.0 * 1024 * 1024;
// The line pointers of the six grids a run holds at once.
constexpr double grid_pointer_arrays = 6.0;
// The line source: model line i in metres, from the grid of a run that
// holds it, or read again from the model into the slot i % 3 of the
// worker's three (the lines around any line fall into different slots);
// null when it could not be read.
using LineSource = const double *(*)(Lines &w, int i);

const double *held_line(Lines &, int i)
{
    return dtab_in[i];
}

const double *read_line(Lines &w, int i)
{
    const int slot = i % 3;
    double *z = w.elevation[slot];
    if (w.elevation_line[slot] == i)
        return z;
    const size_t n = static_cast<size_t>(nb_col);
    w.elevation_line[slot] = -1; // until the slot holds line i whole
    if (format == 0) {
        if (!read_at(engine.elevations, z, n * sizeof(double),
                     static_cast<int64_t>(i) * static_cast<int64_t>(n * sizeof(double))))
            return nullptr;
    } else {
        if (!read_raw_line(f1, w, i, w.stored, nullptr))
            return nullptr;
        line_metres(w.stored, n, coef, z);
    }
    w.elevation_line[slot] = i;
    return z;
}

// The elevation lines around line i (null beyond the model). False when the
// model could not be read.
bool window_of(LineSource line, Lines &w, int i, const double *&z0, const double *&z1, const double *&z2)
{
    z1 = line(w, i);
    z0 = i > 0 ? line(w, i - 1) : nullptr;
    z2 = i + 1 < nb_lig ? line(w, i + 1) : nullptr;
    return z1 != nullptr && (z0 != nullptr || i == 0) && (z2 != nullptr || i + 1 == nb_lig);
}

// Holds one grid: true when it is held (an empty one is null).
template <typename T>
bool hold_grid(T **&grid, T **(*alloc)(int, int))
{
    if (grid == nullptr && nb_lig > 0 && nb_col > 0)
        grid = alloc(nb_col, nb_lig);
    return grid != nullptr || nb_lig <= 0 || nb_col <= 0;
}

bool hold_grids(bool stored)
{
    if ((!stored || hold_grid(itab_in, imatrice)) && hold_grid(dtab_in, dmatrice) && hold_grid(dtab_slope, dmatrice) &&
        hold_grid(dtab_out, dmatrice) && hold_grid(tab_out, ucmatrice) && hold_grid(itab_out, imatrice))
        return true;
    release_grids();
    return false;
}

} // namespace

bool grids_wanted(int bytes_per_cell)
{
    if (engine.forced_mode >= 0)
        return engine.forced_mode == 0;
    const double cells = static_cast<double>(nb_lig) * static_cast<double>(std::max(nb_col, 0));
    const double need = cells * bytes_per_cell + static_cast<double>(nb_lig) * sizeof(void *) * grid_pointer_arrays;
    // The workers' stacks are taken from the room first: grids that leave
    // none for them would fail a later pass.
    const double stacks = worker_stacks(std::min(engine.thread_count, std::max(nb_lig, 1)));
    return need <= grid_limit && need <= (usable_memory() - stacks) / 2.0;
}

bool lines_fit()
{
    // Memory is promised before it is used: lines that the machine cannot
    // hold would be granted and kill the run once touched. The passes hold
    // every worker's lines, and the bands of a result at their widest (an
    // ASCII log DEM).
    const double cols = std::max(nb_col, 0);
    const BandPlan p = plan(value_text_width * static_cast<size_t>(cols), false);
    const double lines = static_cast<double>(line_bytes_per_column) * cols * p.workers;
    return lines + value_text_width * cols * p.slots * p.per_band + worker_stacks(p.workers) <= usable_memory();
}

bool start_source(int bytes_per_cell)
{
    release_grids(); // those of an earlier model
    // Fewer workers where the room cannot hold the stacks and lines of them
    // all: the calling thread alone at worst, whose stack is there already.
    while (!lines_fit() && engine.thread_count > 1)
        engine.thread_count /= 2;
    if (!lines_fit())
        return false;
    engine.line_by_line = !(grids_wanted(bytes_per_cell) && hold_grids(bytes_per_cell == raw_run_bytes_per_cell));
    return true;
}

void release_grids()
{
    const int rows = nb_col > 0 ? nb_lig : 0;
    frusmatrice(jtab_in, rows);
    frimatrice(itab_in, rows);
    frdmatrice(dtab_in, rows);
    frdmatrice(dtab_slope, rows);
    frdmatrice(dtab_out, rows);
    frucmatrice(tab_out, rows);
    frimatrice(itab_out, rows);
    jtab_in = nullptr;
    itab_in = itab_out = nullptr;
    dtab_in = dtab_slope = dtab_out = nullptr;
    tab_out = nullptr;
}

namespace {

// A pass over the lines of the model: make(i, lines, band, z0, z1, z2) for
// every line i of a band in the order of the pass, with the elevation lines
// around it from the line source, on the workers; then on this thread, in
// order, each(i) for the lines of the band (their progress lines) and
// use(band), which may stop the pass by returning false (a band it could
// not write). The pass stops at a line whose window could not be read.
template <typename Band, typename Make, typename Each, typename Use>
PassStatus model_pass(const BandPlan &p, Make make, Each each, Use use)
{
    struct Slot {
        Band band;
        int unread; // the line whose model lines could not be read, or -1
    };
    const LineSource line = dtab_in != nullptr ? held_line : read_line;
    std::vector<Slot> slots(static_cast<size_t>(p.slots));
    PassStatus status = pass_ok;
    const PassStatus lines = line_pass(
        p,
        [&](int k, Lines &w, int s) {
            Slot &slot = slots[static_cast<size_t>(s)];
            slot = Slot{Band{}, -1};
            each_line_of(p, k, [&](int i) {
                const double *z0, *z1, *z2;
                if (slot.unread >= 0 || nb_col <= 0)
                    return;
                if (window_of(line, w, i, z0, z1, z2))
                    make(i, w, slot.band, z0, z1, z2);
                else
                    slot.unread = i;
            });
        },
        [&](int k, int s) {
            const Slot &slot = slots[static_cast<size_t>(s)];
            each_line_of(p, k, [&](int i) {
                if (status == pass_ok)
                    each(i);
                if (i == slot.unread)
                    status = pass_unreadable;
            });
            if (status == pass_ok && !use(slot.band))
                status = pass_unwritable;
            return status == pass_ok;
        });
    return lines != pass_ok ? lines : status;
}

} // namespace

// ================================================================== Writers

namespace {

bool wrote(FILE *f, const void *data, size_t bytes)
{
    return bytes == 0 || std::fwrite(data, 1, bytes, f) == bytes;
}

void write_block(FILE *f, const void *data, size_t bytes, const std::string &path)
{
    if (!wrote(f, data, bytes))
        cannot_write(path);
}

void print_block(FILE *f, const std::string &text, const std::string &path)
{
    write_block(f, text.data(), text.size(), path);
}

// The header of an ASCII result, its numbers with six decimals. A cell size
// that six decimals write as 0 cannot be read back: the run says so.
void write_ascii_header(FILE *f, const std::string &path)
{
    print_block(f,
                strf("ncols %d\nnrows %d\nxllcorner %lf\nyllcorner %lf\ncellsize %lf\nnodata_value -9999.9999\n",
                     nb_col, nb_lig, X_min, Y_min, dpix_size),
                path);
    if (dpix_size != 0.0 && std::strtod(strf("%lf", dpix_size).c_str(), nullptr) == 0.0)
        std::printf("\n\tFile %s: the cell size %s is written with six decimals as %s, which no grid reader takes "
                    "as a cell size.",
                    path.c_str(), shortest_word(dpix_size).c_str(), strf("%lf", dpix_size).c_str());
}

void write_descriptor(FILE *f, const std::string &path, int bytes, int largest)
{
    print_block(f, strf("%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, bytes, 0, largest, pix_size), path);
}

// The sidecar that places a raw raster for a GIS: a header of the raster's
// size, cell type (1: bytes, 3: 32-bit signed), layout (one band, lines in
// order, little-endian), and when the model's place is known its map place
// (the upper-left corner of the upper-left cell, and the cell size) in the
// model's projection, and when its coordinate system is known that system.
// Lines run from north to south, so that corner is the lower-left corner
// raised by the model's height.
void write_raster_header(FILE *&f, const std::string &path, int data_type)
{
    if (f == nullptr)
        return; // none was asked for
    print_block(f,
                envi_header_text(nb_col, nb_lig, data_type, open_ascii_OK, map_projection, map_fields, X_min,
                                 Y_min + nb_lig * dpix_size, dpix_size, crs_wkt),
                path);
    close_result(f, path);
}

// The sidecar that gives a result's coordinate system, when one was made.
void write_crs_sidecar(FILE *&f, const std::string &path, const std::string &text)
{
    if (f == nullptr)
        return;
    print_block(f, text, path);
    close_result(f, path);
}

// The world file of a bitmap: the cell's size across, two rotations of 0,
// its size down (negative: lines run south), and the centre of the
// upper-left cell.
void write_world_file(FILE *&f, const std::string &path)
{
    if (f == nullptr)
        return; // none was asked for
    const double half = dpix_size / 2.0;
    print_block(f,
                shortest_word(dpix_size) + "\n0\n0\n" + shortest_word(-dpix_size) + "\n" + shortest_word(X_min + half) +
                    "\n" + shortest_word(Y_min + nb_lig * dpix_size - half) + "\n",
                path);
    close_result(f, path);
}

// A pass that writes every line of a result, in the order of the pass:
// line(i, lines, z0, z1, z2, out) puts the bytes of line i at out (at most
// bytes_per_line) and returns their count. The ASCII forms print their
// progress lines. Fails the run when the pass does not end.
template <typename Line>
void write_lines(FILE *f, const std::string &path, size_t bytes_per_line, bool backwards, bool progress_lines,
                 Line line)
{
    struct Bytes {
        char *text = nullptr;
        size_t size = 0;
    };
    const BandPlan p = plan(bytes_per_line, backwards);
    // A band's bytes, in the block of the slot the pass makes it in.
    std::vector<char *> blocks(static_cast<size_t>(p.slots));
    PassStatus status = pass_ok;
    for (char *&b : blocks)
        if ((b = static_cast<char *>(std::malloc(static_cast<size_t>(p.per_band) * bytes_per_line + 1))) == nullptr)
            status = pass_no_memory;
    if (status == pass_ok)
        status = model_pass<Bytes>(
            p,
            [&](int i, Lines &w, Bytes &band, const double *z0, const double *z1, const double *z2) {
                if (band.text == nullptr)
                    band.text = blocks[static_cast<size_t>((p.backwards ? nb_lig - 1 - i : i) / p.per_band % p.slots)];
                band.size += line(i, w, z0, z1, z2, band.text + band.size);
            },
            [&](int i) {
                if (progress_lines && i > 0 && i % 100 == 0)
                    progress("\tline %d              \r", i);
            },
            [&](const Bytes &band) {
                if (!wrote(f, band.text, band.size))
                    return false;
                output_write_back(f);
                return true;
            });
    for (char *b : blocks)
        std::free(b);
    pass_failed(status, path);
}

// The tones of line i: the held grid's (treatment made them), or made now
// into the worker's line.
const unsigned char *tones_of(int i, Lines &w, const double *z0, const double *z1, const double *z2)
{
    if (tab_out != nullptr)
        return tab_out[i];
    tones_of_line(w, gradients(w, z0, z1, z2), w.tones, i);
    return w.tones;
}

// The log DEM values of line i, made into the held grid's line or the
// worker's.
const int *values_of(Lines &w, int i, const double *z0, const double *z1, const double *z2)
{
    int *val = itab_out != nullptr ? itab_out[i] : w.dem;
    dem_of_line(w, gradients(w, z0, z1, z2), val, i);
    return val;
}

void write_image()
{
    // A line of the image: its tones (raw raster); its tones and the padding
    // of a bitmap line, the bottom line first (bitmap); "%d\t" of each tone
    // and no line break (ASCII grid).
    const size_t n = static_cast<size_t>(std::max(nb_col, 0));
    const size_t size = output == 1   ? static_cast<size_t>(TailleLigneBMP(nb_col, 0))
                        : output == 2 ? tone_text_width * n
                                      : n;
    if (output == 0)
        write_descriptor(f2d, nomdescr2, 1, 255);
    if (output == 1 && EcritEnteteBMP(f2, nb_col, nb_lig, 0, nullptr) != 0)
        cannot_write(nomim2);
    if (output == 2) {
        write_ascii_header(f2, nomim2);
        std::fputs("\n", stdout);
    }
    write_lines(f2, nomim2, size, output == 1, output == 2,
                [&](int i, Lines &w, const double *z0, const double *z1, const double *z2, char *out) {
                    const unsigned char *t = tones_of(i, w, z0, z1, z2);
                    if (output == 2)
                        return tabbed_words(t, n, out);
                    std::memcpy(out, t, n);
                    std::memset(out + n, 0, size - n);
                    return size;
                });
    close_result(f2, nomim2);
    if (output == 0) {
        close_result(f2d, nomdescr2);
        write_raster_header(f2g, nomgis2, 1);
    }
    if (output == 1) {
        write_world_file(f2g, nomgis2);
        write_crs_sidecar(f2p, nomprj2, pam_text(crs_wkt));
    }
    if (output == 2)
        write_crs_sidecar(f2p, nomprj2, crs_wkt + "\n");
}

void write_histograms()
{
    double pen = 0.0;
    const double val_log1 = log_of_slope(max_pen);
    const int num_val = trunc_product(max_pen, 10.0);
    for (int k = 0; k < num_val; k++) {
        const double val_log2 = log_of_slope(pen);
        const double ratio = val_log2 / val_log1;
        double norm_log = ratio * histogram_scale;
        if (std::fprintf(f3h, "%lf\t%lf\n", pen, norm_log) < 0)
            cannot_write(nomhisto);
        if (dem_result == 0) {
            norm_log = ratio * strcoef;
            if (std::fprintf(f2h, "%lf\t%lf\n", pen, norm_log) < 0)
                cannot_write(nomhisto2);
        }
        pen = pen + 0.1;
    }
    close_result(f3h, nomhisto);
    if (dem_result == 0)
        close_result(f2h, nomhisto2);
}

void write_log_dem()
{
    // A line of the log DEM: 32-bit two's complement values, least
    // significant byte first (raw raster); "%d\t" of each (ASCII grid).
    const size_t n = static_cast<size_t>(std::max(nb_col, 0));
    build_dem_table();
    if (dem_type == 0)
        write_descriptor(f3d, nomdescr3, 4, static_cast<int>(strcoef));
    if (dem_type == 1) {
        write_ascii_header(f3, nomim3);
        std::fputs("\n", stdout);
    }
    write_lines(f3, nomim3, (dem_type == 0 ? sizeof(int32_t) : value_text_width) * n, false, dem_type == 1,
                [&](int i, Lines &w, const double *z0, const double *z1, const double *z2, char *out) {
                    const int *val = values_of(w, i, z0, z1, z2);
                    return dem_type == 1 ? tabbed_words(val, n, out) : little_endian_words(val, n, out);
                });
    close_result(f3, nomim3);
    if (dem_type == 0) {
        close_result(f3d, nomdescr3);
        write_raster_header(f3g, nomgis3, 3);
    }
    if (dem_type == 1)
        write_crs_sidecar(f3p, nomprj3, crs_wkt + "\n");
}

} // namespace

void image_saving()
{
    if (!skipped_sidecars.empty()) {
        std::string names;
        for (const std::string &name : skipped_sidecars)
            names += (names.empty() ? "" : ", ") + name;
        std::printf("\n\tThe GIS sidecar%s %s cannot be created: the results are written without %s.\n",
                    skipped_sidecars.size() > 1 ? "s" : "", names.c_str(), skipped_sidecars.size() > 1 ? "them" : "it");
    }
    output_begin();
    write_image();
    write_histograms();
    console_say(strf("\n\n\t%s has been saved as a logarithm image of the slope ", nomim2.c_str()));
    console_say(strf("\n\tas well the histogram named %s ", nomhisto.c_str()));
    std::fputs("\n\tthat corresponds to slope / normalized values of the logarithms\n", stdout);
    if (dem_result == 0)
        write_log_dem();
    std::string failed;
    int err = 0;
    if (output_commit(failed, err) != output_ok)
        cannot_write(failed);
    std::fputs("\n\n\tProcessing completed. ", stdout);
    std::fputs("\n\tHit any key to exit. ", stdout);
    console_key_wait();
}

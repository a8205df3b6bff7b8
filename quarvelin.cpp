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
// This file reads in the order of a run: the Run state and the file names,
// the dialogue that drives the run, the two readers, the slopes, the grey
// tones and the log DEM, the passes of a run line by line, the writers. The
// host (console, files, results, memory, threads) is in lib/.
//
// Terrain arithmetic is done in 64-bit reals in a fixed order of operations,
// and every real that becomes an integer is truncated toward zero. The
// slopes, their logarithms and both ranges are made in one pass
// (pendientes), so that a run line by line reads its model once for them;
// treatment then makes the grey tones from those ranges. Every file is the
// one the correctly rounded atan and log10 give on every cell: one line driver
// computes the gradients of a line, lets the fast kernels decide the cells
// that lie clear of every boundary by a wide margin, and finishes the rest
// with one plain loop (Slopes). A model whose grids need more than 64 MiB is
// read line by line, in bands spread over every processor (Line by line).
//
// A run that fails prints one message, removes the temporary files of its
// results (the results are put in place only when the run is complete),
// waits for a key (except at end of input) and exits with status 1.
#include "quarvelin.h"

#include "console.h"
#include "crmath.h"
#include "fastmath.h"
#include "files.h"
#include "image.h"
#include "nrutil.h"
#include "outputs.h"
#include "room.h"
#include "words.h"
#include "workers.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

// The version comes from the build (project() in CMakeLists.txt).
#ifndef QUARVELIN_VERSION
#error "QUARVELIN_VERSION is not defined: build with CMake, or pass -DQUARVELIN_VERSION=\"x.y.z\""
#endif

// ================================================================ Run state

FILE *f1, *f1d, *f2, *f2d, *f2g, *f2h, *f3, *f3d, *f3g, *f3h;

int nb_lig, nb_col, pix_size;
int format, itype, mind, maxd, dyn_scale, output, dem_result, dem_type;

double dpix_size, coef, strcoef, X_min, Y_min, nodata;
double min_pen, max_pen, log_min, log_max, log_dif;

bool descr_OK, open_ascii_OK;

unsigned short **jtab_in;
int **itab_in;
double **dtab_in;
double **dtab_slope;
unsigned char **tab_out;
int **itab_out;
double **dtab_out;

std::string nomim1, nomdescr1;
std::string nomim2, nomdescr2, nomgis2, nomhisto, nomhisto2, nomim3, nomdescr3, nomgis3;

bool plain_path, line_by_line;
int64_t dem_table_cells_per_value = 16384;
int thread_count = 1;
FastStats fast_stats;

// =============================================================== File names
//
// Every file of a run is its base name followed by a fixed suffix: the model
// and its descriptor take the base name typed for the model, the results the
// generic result name. These tables are the one place the suffixes stand.

const RawForm raw_forms[2] = {
    {"_m2.raw", "_m2.txt", 2, "raw 16-bit unsigned cells"},
    {"_m4.raw", "_m4.txt", 4, "raw 32-bit signed cells"},
};

const char ascii_suffix[] = ".asc";

const ResultFile result_files[result_count] = {
    {"_log.xls", "w", "histogram file of the image"},
    {"_log.raw", "wb", "image, raw 8-bit raster"},
    {"_log.txt", "w", "descriptor file of the raw image"},
    {"_log.bmp", "wb", "image, bitmap"},
    {"_log.asc", "w", "image, ASCII grid"},
    {"_dem_log.xls", "w", "histogram file of the log DEM"},
    {"_log_dem_m4.raw", "wb", "log DEM, raw 32-bit raster"},
    {"_log_dem_m4.txt", "w", "descriptor file of the raw log DEM"},
    {"_log_dem.asc", "w", "log DEM, ASCII grid"},
    {"_log.hdr", "w", "header of the raw image, for a GIS"},
    {"_log.bpw", "w", "world file of the bitmap, for a GIS"},
    {"_log_dem_m4.hdr", "w", "header of the raw log DEM, for a GIS"},
};

// ======================================================= Dialogue and driver

namespace {

// Declared here, for the dialogue: the grids of the stages and the passes
// of a run line by line, defined with them below.
template <typename T>
bool hold_grid(T **&grid, T **(*alloc)(int, int));
void release_copy();

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
    fail("\n\tEnd of input: the run is abandoned.\n", false, 1);
}

// A progress line of a long loop. Shown at once, but at most ten times a
// second: a model of millions of lines prints tens of thousands of them.
void progress(const char *fmt, int i)
{
    std::printf(fmt, i);
    static std::chrono::steady_clock::time_point shown;
    const auto now = std::chrono::steady_clock::now();
    if (now - shown >= std::chrono::milliseconds(100)) {
        std::fflush(stdout);
        shown = now;
    }
}

std::string ask_word()
{
    std::string w;
    if (!console_next_answer(w))
        end_of_input();
    return w;
}

bool not_a_number()
{
    std::fputs("\n\tA number is expected.", stdout);
    return false;
}

bool ask_int(int &value)
{
    const std::string w = ask_word();
    return int_word(w.data(), w.data() + w.size(), value) || not_a_number();
}

bool ask_real(double &value)
{
    const std::string w = ask_word();
    return real_word(w.data(), w.data() + w.size(), value) == word_number || not_a_number();
}

// A name typed after `prompt`: a zero byte would cut it short unseen, so a
// name that holds one is asked again.
std::string ask_name(const std::string &prompt)
{
    for (;;) {
        std::fputs(prompt.c_str(), stdout);
        const std::string w = ask_word();
        if (w.find('\0') == std::string::npos)
            return w;
        std::fputs("\n\tA name without a zero byte is expected.", stdout);
    }
}

// A menu: `once` shown first, `each` (the options) shown again until the
// answer is one of 0 .. largest.
int ask_choice(const char *once, const char *each, int largest)
{
    std::fputs(once, stdout);
    int v = -1;
    do
        std::fputs(each, stdout);
    while (!ask_int(v) || v < 0 || v > largest);
    return v;
}

// A word of digits after an optional sign: a whole number, maybe beyond
// the 32-bit range.
bool whole_word(const std::string &w)
{
    const size_t first = !w.empty() && (w[0] == '+' || w[0] == '-') ? 1 : 0;
    return w.size() > first && w.find_first_not_of("0123456789", first) == std::string::npos;
}

// A whole number typed after `prompt`, asked again until it is one and at
// least `least`; a whole number out of that range is told the range.
int ask_count(const char *prompt, int least)
{
    for (;;) {
        std::fputs(prompt, stdout);
        const std::string w = ask_word();
        int v = 0;
        if (int_word(w.data(), w.data() + w.size(), v) && v >= least)
            return v;
        if (whole_word(w))
            std::printf("\n\tA whole number from %d to %d is expected.", least, INT_MAX);
        else
            not_a_number();
    }
}

double ask_coordinate(const char *prompt)
{
    double v = 0.0;
    do
        std::fputs(prompt, stdout);
    while (!ask_real(v));
    return v;
}

void ask_coordinates()
{
    std::fputs("\n\tUTM coordinates required ", stdout);
    X_min = ask_coordinate("\n\t\tX_min ? ");
    Y_min = ask_coordinate("\t\tY_min ? ");
    open_ascii_OK = true;
}

const char yes_no[] = "\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t";
const char blank60[] = "                                                            ";

// One framed line of the banner: the vertical on both sides of 60 characters.
// The frame is drawn with the double-line box characters, in UTF-8.
void frame_line(const char *text)
{
    std::printf("\n\t\u2551%s\u2551", text);
}

void frame_edge(const char *lead, const char *left, const char *right, const char *tail)
{
    std::fputs(lead, stdout);
    std::fputs(left, stdout);
    for (int k = 0; k < 60; k++)
        std::fputs("\u2550", stdout);
    std::fputs(right, stdout);
    std::fputs(tail, stdout);
}

void frame(const char *lead, const char *const *texts, int lines, const char *tail)
{
    frame_edge(lead, "\u2554", "\u2557", "");
    for (int k = 0; k < lines; k++)
        frame_line(texts[k]);
    frame_edge("\n\t", "\u255A", "\u255D", tail);
}

void banner()
{
    const char *texts[10] = {blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60};
    texts[1] = "                        QUARVELIN                           ";
    texts[6] = "                                         ZORBELVANTIK       ";
    texts[8] = "                                   Actualization 2020       ";
    frame("\n\n\t", texts, 10, "");
}

void information_box()
{
    static const char *const texts[9] = {
        blank60,
        "   This program generates an image of the logarithmic       ",
        "   values of the slope and normalizes these values          ",
        "   between 0 and 255.                                       ",
        blank60,
        "   An attached two-dimensional histogram allows defining    ",
        "   the correspondence between gray tones scale and the      ",
        "   slope values in degrees.                                 ",
        blank60,
    };
    frame("\n\t", texts, 9, "\n");
}

bool same_file(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

// The generic name, asked again while one of the files it names would be
// the input model or its descriptor. Returns the folder and generic name.
std::string ask_result_name(const std::string &folder)
{
    for (;;) {
        const std::string generic = folder + ask_name("\n\n\tGeneric name of the resulting file ? ");
        const char *clash = nullptr;
        for (const ResultFile &r : result_files) {
            const std::string name = generic + r.suffix;
            if (same_file(name, nomim1) || (format == 1 && same_file(name, nomdescr1))) {
                clash = r.suffix;
                break;
            }
        }
        if (clash == nullptr)
            return generic;
        std::printf("\n\tFile %s%s is the input model: choose another name\n", generic.c_str(), clash);
    }
}

// Opens a model or its descriptor as f; `unknown` is the message of a file
// that does not exist or cannot be opened, null when that is no failure.
void open_input(const std::string &path, FILE *&f, const char *unknown)
{
    switch (input_open(path, f)) {
    case input_ok:
        return;
    case input_absent:
        if (unknown == nullptr)
            return;
        fail(strf(unknown, path.c_str()));
    case input_unreadable:
        fail(strf(unknown != nullptr ? unknown : "\n\tFile %s could not be read\n", path.c_str()));
    case input_too_long:
        fail(strf("\n\tFile %s: the name is too long for the system\n", path.c_str()));
    case input_not_regular:
        fail(strf("\n\tFile %s is not a regular file\n", path.c_str()));
    }
}

// Creates a result file as f, written to a temporary until the commit.
void create_result(const std::string &path, const char *mode, FILE *&f, bool at_close = false)
{
    int err = 0;
    switch (output_create(path, mode, at_close, f, err)) {
    case output_ok:
        return;
    case output_too_long:
        fail(strf("\n\tFile %s: the name is too long for the system\n", path.c_str()));
    case output_cannot_create:
    case output_write_failed:
        fail(strf("\n\tFile %s cannot be created\n", path.c_str()));
    }
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

void open_raw_model()
{
    itype = ask_choice("", "\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t", 1);
    nomdescr1 = nomim1 + raw_forms[itype].descriptor;
    nomim1 += raw_forms[itype].raster;

    open_input(nomim1, f1, "\n File %s unknown\n");
    open_input(nomdescr1, f1d, nullptr);
    if (f1d != nullptr) {
        read_model_descriptor();
    } else {
        std::printf("\n\tNo File %s \n\n", nomdescr1.c_str());
        // A new file of the model, put in place once the model was read.
        create_result(nomdescr1, "w", f1d, true);
        nb_lig = ask_count("\n\tNumber of lines   ? ", 0);
        nb_col = ask_count("\n\tNumber of columns ? ", 0);
        pix_size = ask_count("\n\tPixel size ? ", INT_MIN);
        if (std::fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, raw_forms[itype].bytes) < 0)
            cannot_write(nomdescr1);
        descr_OK = false;
    }
    while (pix_size == 0)
        pix_size = ask_count("\n\tPixel Size (in meters) ? ", INT_MIN);
    dpix_size = static_cast<double>(pix_size);
    dem_lecture();
}

void open_ascii_model()
{
    nomim1 += ascii_suffix;
    open_input(nomim1, f1, "\n\tFile %s unknown\n");
    ascii_lecture();
    std::fputs("\n", stdout);
}

// Creates the result file of `role` for the generic name as `f` and names it.
void open_result(const std::string &generic, ResultRole role, std::string &name, FILE *&f)
{
    name = generic + result_files[role].suffix;
    create_result(name, result_files[role].mode, f);
}

// The image form; a bitmap is refused when the model is too large for one.
void ask_image_form()
{
    const char *once = "\n\toutput file format : ";
    for (;;) {
        output = ask_choice(once, "\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t2 ====> ascii\n\t\t", 2);
        if (output != 1 || TailleBMPPermise(nb_col, nb_lig, 0))
            return;
        std::printf("\n\tA bitmap of %d lines by %d columns would pass the 4 GiB that a bitmap file can hold: "
                    "choose another form.",
                    nb_lig, nb_col);
        once = "";
    }
}

void open_outputs(const std::string &generic)
{
    open_result(generic, result_histogram, nomhisto, f3h);
    ask_image_form();
    // The results of each form: the raster, its descriptor and its GIS
    // sidecar, those the form has (result_count where it has none).
    static const ResultRole image_forms[3][3] = {
        {result_raw_image, result_raw_image_descriptor, result_raw_image_header},
        {result_bitmap, result_count, result_bitmap_world},
        {result_ascii_image, result_count, result_count}};
    static const ResultRole dem_forms[2][3] = {{result_raw_dem, result_raw_dem_descriptor, result_raw_dem_header},
                                               {result_ascii_dem, result_count, result_count}};
    auto open_form = [&](const ResultRole(&roles)[3], std::string *names[3], FILE **files[3]) {
        if (roles[0] == result_ascii_image || roles[0] == result_ascii_dem) {
            if (!open_ascii_OK)
                ask_coordinates();
        }
        for (int k = 0; k < 3; k++)
            if (roles[k] != result_count)
                open_result(generic, roles[k], *names[k], *files[k]);
    };
    std::string *image_names[3] = {&nomim2, &nomdescr2, &nomgis2};
    FILE **image_files[3] = {&f2, &f2d, &f2g};
    open_form(image_forms[output], image_names, image_files);

    dem_result = ask_choice("",
                            "\n\tSave the result as a Digital Elevation Model:"
                            "\n\tNote: gray tones result from a stretching\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t",
                            1);
    if (dem_result != 0)
        return;

    open_result(generic, result_dem_histogram, nomhisto2, f2h);
    dem_type = ask_choice("",
                          "\n\tType of DEM:\n\t\t0 ====> raster (integer 4 with extension _m4.raw)"
                          "\n\t\t1 ====> ascii\n\t\t",
                          1);
    std::string *dem_names[3] = {&nomim3, &nomdescr3, &nomgis3};
    FILE **dem_files[3] = {&f3, &f3d, &f3g};
    open_form(dem_forms[dem_type], dem_names, dem_files);

    // The log DEM holds whole numbers up to the stretch limit: it must be
    // finite and its truncation a 32-bit value.
    for (;;) {
        std::fputs("\n\tStretch limit value ? ", stdout);
        if (!ask_real(strcoef))
            continue;
        if (std::fabs(std::trunc(strcoef)) <= 2147483647.0)
            break;
        std::fputs("\n\tThe log DEM holds 32-bit values: a stretch limit from -2147483647 to 2147483647 is "
                   "expected.",
                   stdout);
    }
}

// The usage text, its file lists taken from the file name tables.
std::string usage_text()
{
    std::string t = "Usage: quarvelin [-h | --help | --version]\n"
                    "\n"
                    "Reads a digital elevation model, computes the slope in degrees of every\n"
                    "interior cell (Horn's 3 x 3 method), stretches log10(1 + slope) onto the\n"
                    "grey tones 0 to 254 and writes the result as an image, with a histogram\n"
                    "file that reads a grey tone back as a slope, and on request as a log DEM.\n"
                    "\n"
                    "Every parameter is typed in answer to a prompt. Models are read from and\n"
                    "results written to ROOT/FOLDER/, where ROOT is $QUARVELIN_ROOT or\n"
                    "./images/ when it is unset.\n"
                    "\n"
                    "Input models (NAME is the model's name):\n";
    for (const RawForm &r : raw_forms) {
        t += strf("  NAME%-20s %s\n", r.raster, r.what);
        t += strf("  NAME%-20s its descriptor file\n", r.descriptor);
    }
    t += strf("  NAME%-20s %s\n", ascii_suffix, "ASCII grid");
    t += "Results (RES is the generic result name):\n";
    for (const ResultFile &r : result_files)
        t += strf("  RES%-21s %s\n", r.suffix, r.what);
    t += "\n"
         "Scripted use:  quarvelin < answers.txt   (one answer per word, in order;\n"
         "               a word that is not a valid answer is asked again, and the\n"
         "               end of the input abandons the run)\n"
         "\n"
         "Exit status:   0 the run completed, 1 the run failed or its input ended,\n"
         "               2 a command-line argument was not understood.\n"
         "\n"
         "The manual page quarvelin(1) describes the dialogue and the files in full.\n";
    return t;
}

} // namespace

int threads_to_use()
{
    const char *forced = std::getenv("QUARVELIN_THREADS");
    int n = 0;
    if (forced != nullptr && int_word(forced, forced + std::strlen(forced), n) && n >= 1)
        return std::min(n, 256);
    return usable_processors();
}

void fail(const std::string &msg, bool key, int status)
{
    stop_bands(); // the workers of a pass end first
    std::fputs(msg.c_str(), stdout);
    output_discard();
    for (FILE **f : {&f1d, &f2, &f2d, &f2g, &f2h, &f3, &f3d, &f3g, &f3h})
        *f = nullptr; // closed with the temporaries
    if (key)
        console_key_wait();
    std::fflush(stdout);
    std::exit(status);
}

std::string strf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap2);
    va_end(ap2);
    return s;
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
    nomim1 += ask_name("\n\tName of DEM File (without any extension) ? ");

    format = ask_choice("", "\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t", 1);
    if (format == 1)
        open_raw_model();
    else
        open_ascii_model();

    std::fputs("\n\tTHE ORIGINAL DEM HAS : ", stdout);
    std::printf("\n\t            %d LINES", nb_lig);
    std::printf("\n\t        AND %d COLUMNS\n", nb_col);

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
    if (argc > 1) {
        const std::string arg = argv[1];
        if (argc == 2 && (arg == "--help" || arg == "-h")) {
            std::fputs(usage_text().c_str(), stdout);
            return 0;
        }
        if (argc == 2 && arg == "--version") {
            std::printf("quarvelin %s\n", QUARVELIN_VERSION);
            return 0;
        }
        // Name the first word that is not understood: an option followed by
        // anything is not understood either.
        const bool known = arg == "--help" || arg == "-h" || arg == "--version";
        const char *bad = known ? argv[2] : argv[1];
        std::fprintf(stderr, "quarvelin: unknown argument '%s' (try --help)\n", bad);
        return 2;
    }
    console_begin();
    catch_ending_signals(console_restore_terminal);
    // The small allocations of a run (names, the lists of a pass) fail only
    // when the memory is all but gone: the run then ends as when a grid does
    // not fit, the reserve released so that it can still say so.
    static void *reserve = std::malloc(size_t(1) << 16);
    std::set_new_handler([] {
        std::free(reserve);
        reserve = nullptr;
        std::set_new_handler(nullptr);
        no_memory();
    });
    const char *plain = std::getenv("QUARVELIN_PLAIN");
    plain_path = plain != nullptr && *plain != '\0' && std::strcmp(plain, "0") != 0;
    thread_count = threads_to_use();
    fast_variant_in_use(); // chosen once, before any thread
    opening();
    image_saving();
    return 0;
}

// ======================================================== The lines of a pass
//
// Every pass over a model (reading it, its slopes, its tones, its log DEM)
// goes through its lines in bands, each band on one worker thread with lines
// of its own; the thread that started the workers uses the bands in order.

namespace {

// The plain slope and logarithm of a gradient, as the correctly rounded atan
// and log10 give them, and what the pass decided from them (a tone, a log DEM
// value) once it has.
struct Plain {
    uint64_t g; // the gradient's bits
    double pen, lg;
    bool decided;
    int decision;
};
// Enough for the few hundred gradients around the largest one that a plane
// in decimetres makes (its elevations in metres are not exact).
constexpr int plain_slots = 1024;
constexpr uint64_t no_gradient = 0xBFF0000000000000; // -1.0: a root is never negative

// The lines one worker works in, for nb_col columns: the three elevation
// lines around the current one (elevation_line: which model line each
// holds, or -1); the gradients, slopes, slopes + 1 and logarithms of the
// interior cells (gradient[j] is that of cell j + 1); one raw line as read
// (bytes) and its stored cells; one line of tones and one of log DEM values,
// and the marks of the cells a fast step left to the plain loop. Beside them, the plain values of
// the gradients met last (an integer model repeats its windows, a plane has
// one gradient) and the counts of the fast path.
struct Lines {
    void *block = nullptr;
    double *elevation[3] = {}, *gradient = nullptr, *slope = nullptr, *slope_plus_1 = nullptr, *logarithm = nullptr;
    int elevation_line[3] = {-1, -1, -1};
    int *stored = nullptr, *dem = nullptr;
    unsigned char *bytes = nullptr, *tones = nullptr, *left = nullptr;
    Plain *plain = nullptr; // plain_slots of them
    int plain_lines = 0;    // lines to leave to the plain loop whole
    bool tried = false;     // the fast step ran on this line
    FastStats stats;
};
constexpr size_t line_bytes_per_column = 7 * sizeof(double) + 2 * sizeof(int) + 4 + 1 + 1;

// The lines for nb_col columns, zero-filled; false when memory refuses them.
bool ready_lines(Lines &w)
{
    const size_t n = static_cast<size_t>(std::max(nb_col, 0));
    w = Lines{};
    w.block = std::calloc(1, plain_slots * sizeof(Plain) + n * line_bytes_per_column);
    if (w.block == nullptr)
        return false;
    w.plain = static_cast<Plain *>(w.block);
    for (int k = 0; k < plain_slots; k++)
        w.plain[k].g = no_gradient;
    double *d = static_cast<double *>(static_cast<void *>(w.plain + plain_slots));
    for (double **line :
         {&w.elevation[0], &w.elevation[1], &w.elevation[2], &w.gradient, &w.slope, &w.slope_plus_1, &w.logarithm}) {
        *line = d;
        d += n;
    }
    w.stored = static_cast<int *>(static_cast<void *>(d));
    w.dem = w.stored + n;
    w.bytes = static_cast<unsigned char *>(static_cast<void *>(w.dem + n));
    w.tones = w.bytes + 4 * n;
    w.left = w.tones + n;
    return true;
}

// A pass: bands of per_band lines (the last may be shorter), made on up to
// `workers` threads, at most `slots` of them ahead of the one being used.
// A backwards pass goes from the last line up (a bitmap is stored so).
struct BandPlan {
    int per_band = 1, bands = 0, slots = 1, workers = 1;
    bool backwards = false;
};

// Declared here, defined under Line by line.
BandPlan plan_bands(size_t bytes_per_line, bool backwards);
template <typename Each>
void each_line_of(const BandPlan &p, int band, Each each);
template <typename Make, typename Use>
void line_pass(const BandPlan &p, Make make, Use use);
template <typename Band, typename Make, typename Each, typename Use>
void model_pass(const BandPlan &p, Make make, Each each, Use use);

} // namespace

// ======================================================= Raw raster reader

namespace {

// Stored value / factor = metres, for the units metres, decimetres,
// centimetres and millimetres (the answer dyn_scale is the index).
const double unit_factors[4] = {1.0, 10.0, 100.0, 1000.0};

size_t raw_line_bytes()
{
    return static_cast<size_t>(std::max(nb_col, 0)) * static_cast<size_t>(raw_forms[itype].bytes);
}

// Reads line i of the raw model into w.bytes and decodes its stored cells into
// `cells` (16-bit unsigned, FF FF is 65535, or 32-bit two's complement, both
// little-endian), extending the range `extent` of the stored values. False
// when the file could not be read.
bool read_raw_line(FILE *f, Lines &w, int i, int *cells, int extent[2])
{
    const size_t bytes = raw_line_bytes();
    if (!read_at(f, w.bytes, bytes, static_cast<int64_t>(i) * static_cast<int64_t>(bytes)))
        return false;
    line_cells(w.bytes, static_cast<size_t>(nb_col), raw_forms[itype].bytes, cells, extent);
    return true;
}

} // namespace

int read_descriptor(FILE *f, int v[6], bool *refused)
{
    // Each word is read whole and must be a whole number: "343." or "2.5"
    // is not read as 343 or 2. A word longer than any number is no number.
    char block[4096];
    WordScanner s;
    scan_stream(s, f, block, sizeof block, false);
    if (refused != nullptr)
        *refused = false;
    int n = 0;
    const char *b, *e;
    while (n < 6 && next_word(s, b, e)) {
        int x = 0;
        if (e - b > 64 || !int_word(b, e, x)) {
            if (refused != nullptr)
                *refused = true;
            break;
        }
        v[n++] = x;
    }
    return n;
}

RawStatus raw_read(FILE *f, int &min, int &max, int64_t &found)
{
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    found = std::max<int64_t>(file_size(f), 0) / raw_forms[itype].bytes;
    if (found < cells)
        return raw_too_short;
    if (!decide_run(raw_run_bytes_per_cell))
        return raw_no_memory;

    // A run line by line reads the stored values here only for their range.
    if (!line_by_line)
        hold_grid(itab_in, imatrice);
    struct Band {
        int extent[2]; // the range of the band's stored values
        bool read;
    };
    const BandPlan p = plan_bands(0, false);
    std::vector<Band> bands(static_cast<size_t>(p.slots));
    min = stored_min_start;
    max = stored_max_start;
    RawStatus status = raw_ok;
    line_pass(
        p,
        [&](int k, Lines &w, int slot) {
            Band &b = bands[static_cast<size_t>(slot)];
            b = Band{{stored_min_start, stored_max_start}, true};
            each_line_of(p, k, [&](int i) {
                if (nb_col > 0 && b.read)
                    b.read = read_raw_line(f, w, i, itab_in != nullptr ? itab_in[i] : w.stored, b.extent);
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
            return status == raw_ok;
        });
    if (status != raw_ok) {
        frimatrice(itab_in, nb_col > 0 ? nb_lig : 0);
        itab_in = nullptr;
    }
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

    dyn_scale = ask_choice("",
                           "\n\n\tAre these values\n\t\t0 ====> in meters"
                           "\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters"
                           "\n\t\t3 ====> in millimeters\n\t\t",
                           3);
    coef = unit_factors[dyn_scale];
    // The elevations in metres, stored value / coef; a run line by line
    // makes them as each pass reads its lines.
    if (!line_by_line && hold_grid(dtab_in, dmatrice) && hold_grid(dtab_slope, dmatrice))
        for (int i = 0; i < nb_lig && nb_col > 0; i++)
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

// The block of a grid that cannot be mapped, read as a stream: made with the
// program, so that no allocation can fail on the way.
constexpr size_t block_size = size_t(1) << 20;
char read_block[block_size + 1];

// The scratch copy of an ASCII model's elevations for a run line by line,
// nb_col doubles a line; the folder it is in, or the folder that refused
// it, and why writing it failed.
FILE *elevations;
std::string copy_folder;
int copy_error;

bool open_copy()
{
    release_copy(); // a copy of an earlier model
    elevations = scratch_open(nomim1, copy_folder, copy_error);
    return elevations != nullptr;
}

[[noreturn]] void no_copy()
{
    fail(strf("\n\tFile %s: no temporary file can be made beside it or in %s to read it line by line\n", nomim1.c_str(),
              copy_folder.c_str()));
}

[[noreturn]] void copy_not_written()
{
    fail(strf("\n\tFile %s: its copy in %s for reading it line by line could not be written: %s\n", nomim1.c_str(),
              copy_folder.c_str(), write_failure(copy_error).c_str()));
}

bool grid_real(const char *b, const char *e, double &v)
{
    return real_word(b, e, v) == word_number;
}

// The six header lines, told apart by their order. A header of five lines
// (no no-data line) is recognised by a number in the sixth keyword's place,
// which is then the first value of the body (`first`, and `pending` set).
AsciiStatus read_header(WordScanner &s, int &bad_line, bool &pending, double &first)
{
    const char *b, *e;
    pending = false;
    for (int line = 1; line <= 6; line++) {
        bad_line = line;
        if (!next_word(s, b, e) || e - b > longest_keyword)
            return ascii_bad_header;
        if (line == 6 && grid_real(b, e, first)) {
            pending = true;
            break;
        }
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
    return ascii_ok;
}

// Where the values of the body go: the grid, the scratch copy through a
// buffer of `held` values, or nowhere (a body too short for the grid is
// read only to find its first missing value).
struct CellSink {
    double *buffer = nullptr;
    size_t size = 0;
    int err = 0;
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
        const bool ok = held == 0 || write_at(elevations, sink.buffer, held * sizeof(double),
                                              held_from * static_cast<int64_t>(sizeof(double)), sink.err);
        held_from += static_cast<int64_t>(held);
        held = 0;
        return ok;
    };
    for (int64_t c = from; c < to; c++) {
        double v;
        if (!next_value(s, v))
            return flush() ? c : -1;
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
// reaches the first cell of that line.
int progress_line = 100;
void progress_to(int lines)
{
    for (; progress_line < std::min(lines, nb_lig); progress_line += 100)
        progress("\tline %d                   \r", progress_line);
}

int line_of_cell(int64_t c)
{
    return nb_col > 0 ? static_cast<int>(c / nb_col) : nb_lig;
}

// Readies the grid, or the scratch copy of a run line by line, for the body.
AsciiStatus ready_body()
{
    if (!decide_run(ascii_run_bytes_per_cell))
        return ascii_no_memory;
    if (!line_by_line)
        hold_grid(dtab_in, dmatrice);
    if (line_by_line && !open_copy())
        return ascii_no_temporary;
    return ascii_ok;
}

// A body in memory, read in chunks on every worker: the chunks, cut at
// blanks, first count their words, whose sums place each chunk's first
// cell; then each reads its values into their places. Returns the first cell
// without a valid value (`cells` when there is none), or -1 for a copy that
// could not be written.
int64_t read_body_in_chunks(const char *body, size_t size, int64_t first_cell, AsciiStatus &status)
{
    struct Chunk {
        const char *begin;
        size_t size;
        int64_t words, first, stop;
        int err;
    };
    constexpr size_t chunk_bytes = size_t(1) << 20; // big enough for the workers' turns to cost nothing
    const size_t count = std::clamp<size_t>(size / chunk_bytes, 1, 16 * static_cast<size_t>(thread_count));
    std::vector<Chunk> chunks(count);
    const char *at = body, *end = body + size;
    for (size_t k = 0; k < count; k++) {
        const char *stop = k + 1 == count ? end : std::max(at, body + size / count * (k + 1));
        while (stop < end && !is_blank(static_cast<unsigned char>(*stop)))
            stop++;
        chunks[k] = Chunk{at, static_cast<size_t>(stop - at), 0, 0, 0, 0};
        at = stop;
    }
    const int n = static_cast<int>(count);
    run_bands(
        n, n, thread_count,
        [&](int k, int, int) {
            chunks[static_cast<size_t>(k)].words =
                count_words(chunks[static_cast<size_t>(k)].begin, chunks[static_cast<size_t>(k)].size);
        },
        [](int, int) { return true; });
    int64_t total = first_cell;
    for (Chunk &c : chunks) {
        c.first = total;
        total += c.words;
    }
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    if (total >= cells && (status = ready_body()) != ascii_ok)
        return cells;

    // The values, each worker's copy through a buffer of its own.
    constexpr size_t buffer_cells = 1 << 16;
    std::vector<double *> buffers(static_cast<size_t>(thread_count), nullptr);
    if (elevations != nullptr)
        for (double *&b : buffers)
            if ((b = dvecteur(static_cast<int>(buffer_cells))) == nullptr)
                no_memory();
    int64_t stop = cells;
    run_bands(
        n, n, thread_count,
        [&](int k, int, int worker) {
            Chunk &c = chunks[static_cast<size_t>(k)];
            const int64_t to = std::min(c.first + c.words, cells);
            c.stop = to;
            if (c.first >= to)
                return;
            WordScanner s;
            scan_text(s, c.begin, c.size);
            CellSink sink{buffers[static_cast<size_t>(worker)], buffer_cells, 0};
            c.stop = read_cells(s, c.first, to, sink);
            c.err = sink.err;
        },
        [&](int k, int) {
            const Chunk &c = chunks[static_cast<size_t>(k)];
            if (c.stop < 0) {
                copy_error = c.err;
                stop = -1;
                return false;
            }
            if (c.stop < std::min(c.first + c.words, cells)) {
                stop = c.stop;
                return false;
            }
            progress_to(c.stop > 0 ? line_of_cell(c.stop - 1) + 1 : 0);
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
    progress_line = 100;
    AsciiStatus status = ascii_ok;
    int64_t stop = cells;
    if (text != nullptr) {
        const size_t at = static_cast<size_t>(scanned(s));
        stop = read_body_in_chunks(text + at, size - at, first_cell, status);
    } else {
        // A body that cannot hold every cell (each value takes at least one
        // character and one separator) is read without storing, to name the
        // first missing cell without allocating grids the file cannot fill.
        const int64_t rest = file_size(s.in) - scanned(s);
        if (file_size(s.in) < 0 || cells - first_cell <= (rest + 1) / 2)
            status = ready_body();
        if (status == ascii_ok) {
            double buffer[4096];
            CellSink sink{elevations != nullptr ? buffer : nullptr, 4096, 0};
            stop = read_cells(s, first_cell, cells, sink);
            copy_error = sink.err;
        }
    }
    if (status == ascii_ok && first_cell == 1) {
        if (dtab_in != nullptr)
            dtab_in[0][0] = first;
        else if (elevations != nullptr && !write_at(elevations, &first, sizeof first, 0, copy_error))
            stop = -1;
    }
    if (status == ascii_ok && stop < 0)
        status = ascii_copy_failed;
    if (status == ascii_ok && stop < cells) {
        progress_to(line_of_cell(stop) + 1);
        bad_line = line_of_cell(stop);
        bad_col = static_cast<int>(stop - static_cast<int64_t>(bad_line) * nb_col);
        status = ascii_bad_value;
    }
    if (status != ascii_ok)
        return status;
    progress_to(nb_lig);
    pix_size = static_cast<int>(dpix_size);
    if (!line_by_line)
        hold_grid(dtab_slope, dmatrice);
    return ascii_ok;
}

} // namespace

AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col)
{
    size_t size = 0;
    const char *text = map_whole(f, size);
    WordScanner s;
    if (text != nullptr)
        scan_text(s, text, size);
    else
        scan_stream(s, f, read_block, sizeof read_block, false);
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
        no_copy();
    case ascii_copy_failed:
        copy_not_written();
    case ascii_unreadable:
        cannot_read(nomim1);
    }
}

// =================================================================== Slopes
//
// Per cell, slope = atan(g) x 180 / pi of the gradient g of its window, and
// its logarithm log10(slope + 1). Every output depends on atan and log10
// only through a maximum (the ranges reported and stretched over) or a
// truncation (a grey tone, a log DEM value). So each pass drives a line in
// two steps, in the manner of the 3 x 3 drivers of raster tools: the
// gradients of the line, exact in every build; then a fast step that decides
// every cell whose fast value lies clear of every boundary by a margin far
// beyond the kernels' error; then one plain loop that finishes the other
// cells with the correctly rounded atan and log10 (lib/crmath.h) on their
// gradients. The plain
// switch (plain_path) leaves the fast step out, so that every cell goes
// through the plain loop: the reference the fast step is tested against.

namespace {

const double pi = cr_atan(1.0) * 4.0;

// The plain slope of a gradient: the correctly rounded arc tangent, in
// degrees (times 180 first, then over pi).
inline double plain_slope(double g)
{
    return cr_atan(g) * 180.0 / pi;
}

inline double plain_log(double g)
{
    return log_of_slope(plain_slope(g));
}

// How far a fast value may stand from the plain one: the kernels' error is
// a few units of 2^-52 of the value (see fastmath.h; the plain values are
// correctly rounded, within half a unit, so these margins could shrink to
// the kernels' own bound plus half a unit); the margins are 2^-40
// of it, and for a logarithm 2^-50 more, for the rounding of slope + 1
// when the slope is nearly 0.
constexpr double slope_margin = 0x1p-40;
inline double log_margin(double lg)
{
    return lg * 0x1p-40 + 0x1p-50;
}

// The plain values of gradient g, from the worker's lately met gradients
// when g is one of them; `counter` counts the gradients computed.
Plain &plain_of(Lines &w, double g, int64_t &counter)
{
    const uint64_t bits = std::bit_cast<uint64_t>(g);
    Plain &p = w.plain[(bits ^ bits >> 10 ^ bits >> 21 ^ bits >> 42) % plain_slots];
    if (p.g != bits) {
        p.g = bits;
        p.pen = plain_slope(g);
        p.lg = log_of_slope(p.pen);
        p.decided = false;
        counter++;
    }
    return p;
}

// The gradients of the interior cells of the line z1 into w.gradient; false for a
// line without interior cells (the first, the last, a model of fewer than 3
// columns), whose cells all have the gradient 0.
bool gradients(Lines &w, const double *z0, const double *z1, const double *z2)
{
    if (z0 == nullptr || z2 == nullptr || nb_col < 3)
        return false;
    line_gradients(z0, z1, z2, static_cast<size_t>(nb_col - 2), 1.0 / dpix_size, w.gradient);
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
double gradient_reaching(double (*f)(double), double target)
{
    if (f(0.0) >= target)
        return 0.0;
    if (!(f(HUGE_VAL) >= target))
        return HUGE_VAL;
    return first_reaching(0.0, HUGE_VAL, [&](double g) { return f(g) >= target; });
}

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

// After a new largest gradient: the gradients at or above the threshold may
// hold the largest plain slope or logarithm (their plain values lie within
// twice the margins of the largest gradient's); no gradient below it does.
void set_threshold(Range &r)
{
    r.threshold_of = r.steepest;
    const double pen = plain_slope(r.threshold_of), lg = plain_log(r.threshold_of);
    r.threshold = std::min(gradient_reaching(plain_slope, pen - 2.0 * slope_margin * pen),
                           gradient_reaching(plain_log, lg - 2.0 * log_margin(lg)));
}

// The cells of line i in the range: the border cells (slope 0, logarithm 0)
// and the interior cells whose gradients may hold a largest value, done the
// plain way. A line whose gradients all lie below the threshold holds none.
void range_of_line(Range &r, Lines &w, int i, bool interior)
{
    extend(r, 0.0, 0.0, 0.0, 0.0);
    w.stats.cells += nb_col;
    if (!interior)
        return;
    const int m = nb_col - 2;
    if (!plain_path && line_largest(w.gradient, static_cast<size_t>(m)) < r.threshold)
        return;
    double last_g = -1.0; // a gradient met on the cell before is done
    for (int j = 0; j < m; j++) {
        const double g = w.gradient[j];
        if (g == last_g)
            continue;
        last_g = g;
        if (g <= DBL_MAX) {
            // The threshold follows the largest gradient by steps of 10 %:
            // below it, a few more cells than needed are done the plain way.
            if (g > r.steepest) {
                r.steepest = g;
                if (!plain_path && g > 1.1 * r.threshold_of)
                    set_threshold(r);
            }
            if (g < r.threshold)
                continue;
        }
        const Plain &p = plain_of(w, g, w.stats.exact_slopes);
        if (std::isnan(p.pen) && r.bad_line < 0) {
            r.bad_line = i;
            r.bad_col = j + 1;
        }
        extend(r, p.pen, p.pen, p.lg, p.lg);
    }
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

// The slopes and logarithms of line i for the grids of a run that holds
// them: the fast values, plain ones for a cell whose gradient is not finite
// (and for every cell on the plain path).
void slopes_of_line(Lines &w, bool interior, double *slope, double *lg)
{
    const int n = nb_col;
    std::fill(slope, slope + n, 0.0);
    std::fill(lg, lg + n, 0.0);
    if (!interior)
        return;
    if (!plain_path)
        fast_logs(w);
    for (int j = 0; j < n - 2; j++) {
        if (plain_path || !(w.gradient[j] <= DBL_MAX)) {
            const Plain &p = plain_of(w, w.gradient[j], w.stats.exact_slopes);
            slope[j + 1] = p.pen;
            lg[j + 1] = p.lg;
        } else {
            slope[j + 1] = w.slope[j];
            lg[j + 1] = w.logarithm[j];
        }
    }
}

// The largest finite gradient of the model, for the tones.
double steepest_gradient;

void slope_progress(int i)
{
    if (i > 0 && i < nb_lig - 1 && i % 100 == 0)
        progress("\tline %d                 \r", i);
}

} // namespace

double window_slope(const double *z0, const double *z1, const double *z2, double p)
{
    double g;
    line_gradients(z0, z1, z2, 1, p, &g);
    return plain_slope(g);
}

double log_of_slope(double pen)
{
    return cr_log10(pen + 1.0);
}

void pendientes()
{
    if (!line_by_line && dtab_out == nullptr)
        hold_grid(dtab_out, dmatrice);
    std::fputs("\n", stdout);
    Range r;
    model_pass<Range>(
        plan_bands(0, false),
        [](int i, Lines &w, Range &band, const double *z0, const double *z1, const double *z2) {
            const bool interior = gradients(w, z0, z1, z2);
            range_of_line(band, w, i, interior);
            if (dtab_out != nullptr)
                slopes_of_line(w, interior, dtab_slope[i], dtab_out[i]);
        },
        slope_progress, [&](const Range &band) { merge(r, band); });
    min_pen = r.min_pen;
    max_pen = r.max_pen;
    log_min = r.log_min;
    log_max = r.log_max;
    log_dif = log_max - log_min;
    steepest_gradient = r.steepest;
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

// The values of gradients under a non-decreasing stretch of the
// logarithm: the grey tones, and the log DEM values to a positive limit.
// The value is a non-decreasing function of the logarithm, and the plain
// logarithm one of the gradient (up to its last bits), so the smallest
// logarithm of every value (edge) is found once by halving, and from it the
// gradients around which a value is certain: value k for every gradient at
// or above hi[k] and below lo[k + 1]. A gradient is looked up in a table of
// buckets (by its leading bits) that each hold their value when the whole
// bucket lies within one value's certain span; only a gradient near an
// edge is done the plain way. A bucket of tones that holds no certain tone
// holds 255; one of 16 bits holds its first value k (hi[k] <= its first
// gradient) with the top bit set, from which a gradient's value is a step
// or two away.
template <typename Entry>
struct ValueTable {
    uint64_t buckets = 0;
    static constexpr Entry unsure = sizeof(Entry) == 1 ? 0xFF : 0x8000; // the mark of a bucket without one value
    static constexpr Entry unsure_from(size_t k)
    {
        return sizeof(Entry) == 1 ? unsure : static_cast<Entry>(unsure | k);
    }
    bool flat = true; // no range to stretch over: every value is 0
    int top = 0;      // the largest value
    std::vector<double> lo, hi;
    uint64_t first = 0; // leading bits of the first bucket
    int shift = 0;      // bits of a gradient below its bucket's
    std::vector<Entry> bucket;
};
ValueTable<unsigned char> tone_table;
constexpr int top_tone = static_cast<int>(tone_limit);

// The table of values 0..top of value(logarithm), for gradients up to the
// steepest of the model, in 2^bits buckets.
template <typename Entry, typename Value>
void build_value_table(ValueTable<Entry> &t, int top, double steepest, int bits, Value value)
{
    t.flat = !(log_dif > 0.0);
    if (t.flat)
        return;
    t.top = top;
    t.lo.assign(static_cast<size_t>(top) + 2, 0.0);
    t.hi.assign(static_cast<size_t>(top) + 2, 0.0);
    for (int k = 1; k <= top; k++) {
        const double edge = first_reaching(log_min, log_max, [&](double l) { return value(l) >= k; });
        const double m = 2.0 * log_margin(edge);
        t.lo[static_cast<size_t>(k)] = gradient_reaching(plain_log, edge - m);
        t.hi[static_cast<size_t>(k)] = gradient_reaching(plain_log, edge + m);
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
        t.bucket[b] = g0 >= t.hi[k] && g1 <= t.lo[k + 1] ? static_cast<Entry>(k) : ValueTable<Entry>::unsure_from(k);
    }
}

// The value of gradient g when it is certain, else -1, from a value k whose
// span has begun at or below g (hi[k] <= g).
template <typename Entry>
int certain_value_from(const ValueTable<Entry> &t, double g, int k)
{
    while (k < t.top && t.hi[static_cast<size_t>(k) + 1] <= g)
        k++;
    return g < t.lo[static_cast<size_t>(k) + 1] ? k : -1;
}

// The value of a gradient when it is certain, else -1.
template <typename Entry>
int certain_value(const ValueTable<Entry> &t, double g)
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
    return certain_value_from(t, g, static_cast<int>(std::upper_bound(t.hi.begin() + 1, end, g) - t.hi.begin()) - 1);
}

// The fast step is left out of the lines after one where it left most cells
// to the plain loop (a plane, whose cells all lie near the largest slope):
// its work is then lost, and the plain loop alone is quicker. It is tried
// again every 16 lines.
bool fast_step(Lines &w)
{
    w.tried = !plain_path && w.plain_lines == 0;
    if (w.plain_lines > 0)
        w.plain_lines--;
    return w.tried;
}

void after_line(Lines &w, int left)
{
    if (w.tried && left > nb_col / 2)
        w.plain_lines = 15;
    w.tried = false;
}

// The plain loop's decision for a gradient: decide(its plain logarithm),
// made once for each gradient the worker meets (a plane repeats a few
// gradients over and over).
template <typename Decide>
int plain_decision(Lines &w, double g, int64_t &counter, Decide decide)
{
    Plain &p = plain_of(w, g, counter);
    if (!p.decided) {
        p.decision = decide(p.lg);
        p.decided = true;
    }
    return p.decision;
}

// Every cell of a line whose mark is `mark`, in order: visit(j, gradient).
// Border cells have the gradient 0. Returns how many there were.
template <typename Visit>
int each_marked(const Lines &w, bool interior, unsigned char *marks, unsigned char mark, Visit visit)
{
    const int n = nb_col;
    int count = 0;
    for (unsigned char *at = marks, *end = marks + n;
         (at = static_cast<unsigned char *>(std::memchr(at, mark, static_cast<size_t>(end - at)))) != nullptr; at++) {
        const int j = static_cast<int>(at - marks);
        visit(j, interior && j > 0 && j < n - 1 ? w.gradient[j - 1] : 0.0);
        count++;
    }
    return count;
}

// The tones of a line: the fast step looks each gradient up in its bucket
// (255 where the bucket holds none), then between the tones' certain
// spans; the plain loop takes the exact tone of the rest.
void tones_of_line(Lines &w, bool interior, unsigned char *tone)
{
    const ValueTable<unsigned char> &t = tone_table;
    std::memset(tone, 255, static_cast<size_t>(nb_col));
    const bool fast = interior && !t.flat && fast_step(w);
    if (fast)
        line_lookup(w.gradient, static_cast<size_t>(nb_col - 2), t.first, t.shift, t.bucket.data(), t.buckets, 0,
                    tone + 1);
    int left = 0;
    each_marked(w, interior, tone, 255, [&](int j, double g) {
        // A line the fast step left out goes to the plain loop whole, but for
        // its border cells, whose tone 0 is certain.
        const bool border = !interior || j == 0 || j == nb_col - 1;
        int k = !plain_path && (fast || t.flat || border) ? certain_value(t, g) : -1;
        if (k < 0) {
            left++;
            k = plain_decision(w, g, w.stats.exact_tones, [](double lg) { return grey_tone(lg, log_min, log_dif); });
        }
        tone[j] = static_cast<unsigned char>(k);
    });
    after_line(w, left);
}

// The log DEM values to a limit of 1 to 4096, as a table like the tones'
// in 2^18 buckets (half a megabyte): built when the model has at least
// dem_table_cells_per_value cells for each value (a value costs about 6
// microseconds to find, on one thread, against about 2 ns a cell saved on
// each), it takes the place of the fast logarithms and their stretch.
// With more values, too many cells fall in buckets that hold no one value,
// and the fast logarithms are quicker.
ValueTable<uint16_t> dem_table;
bool dem_by_table = false;

void build_dem_table()
{
    const int top = stretch(log_max, log_min, log_dif, strcoef);
    const double cells = static_cast<double>(nb_lig) * static_cast<double>(nb_col);
    dem_by_table = !plain_path && log_dif > 0.0 && strcoef > 0.0 && top >= 1 && top <= 4096 &&
                   cells >= static_cast<double>(dem_table_cells_per_value) * top;
    if (dem_by_table)
        build_value_table(dem_table, top, steepest_gradient, 18,
                          [](double lg) { return stretch(lg, log_min, log_dif, strcoef); });
}

// The log DEM values of a line. The stretch is monotone, so a cell's value
// is certain when it is one value over the whole margin of its fast
// logarithm (line_stretch), or when its gradient lies in one value's span
// of the table; the plain loop takes the exact stretch of the other cells.
// A run that holds its grids has the line's fast logarithms already: the
// slope pass kept them (held, from its second cell), and the cells where it
// kept a plain one instead have gradients that are not finite, which the
// plain loop takes anyway.
void dem_of_line(Lines &w, bool interior, int *val, const double *held)
{
    const int n = nb_col;
    std::memset(w.left, 1, static_cast<size_t>(n));
    const bool fast = interior && log_dif > 0.0 && fast_step(w);
    if (fast && dem_by_table) {
        const ValueTable<uint16_t> &t = dem_table;
        line_lookup16(w.gradient, static_cast<size_t>(n - 2), t.first, t.shift, t.bucket.data(), t.buckets, val + 1,
                      w.left + 1);
    } else if (fast) {
        const double *lg = held != nullptr ? held + 1 : w.logarithm;
        if (held == nullptr)
            fast_logs(w);
        const double stretch_of[4] = {log_min, strcoef / log_dif, log_margin(1.0) - log_margin(0.0), log_margin(0.0)};
        line_stretch(lg, w.gradient, static_cast<size_t>(n - 2), stretch_of, val + 1, w.left + 1);
    }
    int left = 0;
    each_marked(w, interior, w.left, 1, [&](int j, double g) {
        const bool border = !interior || j == 0 || j == n - 1;
        int v = -1;
        if (dem_by_table && fast && !border && val[j] >= 0)
            v = certain_value_from(dem_table, g, val[j]);
        else if (dem_by_table && (fast || border))
            v = certain_value(dem_table, g);
        if (v < 0) {
            left++;
            v = plain_decision(w, g, w.stats.exact_dem,
                               [](double lg) { return stretch(lg, log_min, log_dif, strcoef); });
        }
        val[j] = v;
    });
    after_line(w, left);
}

// A pass that fills a grid of the run, line by line, from each line's
// gradients.
template <typename T, typename Fill>
void fill_grid(T **grid, Fill fill)
{
    struct None {};
    model_pass<None>(
        plan_bands(0, false),
        [&](int i, Lines &w, None &, const double *z0, const double *z1, const double *z2) {
            fill(w, gradients(w, z0, z1, z2), grid[i], i);
        },
        [](int) {}, [](const None &) {});
}

} // namespace

void treatment()
{
    build_value_table(tone_table, top_tone, steepest_gradient, 16,
                      [](double lg) { return grey_tone(lg, log_min, log_dif); });
    // A run line by line makes its tones as the image is written. The log
    // DEM grid is filled only when a log DEM is written; until then its
    // pages are not touched.
    if (line_by_line || !hold_grid(tab_out, ucmatrice) || !hold_grid(itab_out, imatrice))
        return;
    fill_grid(tab_out, [](Lines &w, bool interior, unsigned char *tone, int) { tones_of_line(w, interior, tone); });
}

void fill_log_dem()
{
    build_dem_table();
    fill_grid(itab_out, [](Lines &w, bool interior, int *val, int i) {
        dem_of_line(w, interior, val, dtab_out != nullptr ? dtab_out[i] : nullptr);
    });
}

// ============================================================= Line by line
//
// A run holds every grid of its model only while they need at most 64 MiB
// and at most half of what this process may use: beyond that, holding the
// grids costs more than it saves (the first touch of fresh memory is slow),
// and the other half stays for the system's file cache and other programs.
// A larger model is read line by line, with the same line driver, the same
// console text and the same files. The slope pass reads the model once for
// the ranges, then each result pass reads it again: a raw model from its
// own file, an ASCII grid from a scratch copy of its elevations that its
// reader wrote (a file with no name, so that no end of the program can
// leave it behind).
//
// Every pass goes through its lines in bands: the workers make the bands
// (each with lines of its own, reading the model at offsets), and the thread
// that started them uses them in order, so that the progress lines and the
// files come out as from one thread, whatever the number of threads.

namespace {

constexpr double grid_limit = 64.0 * 1024 * 1024;
// The line pointers of the six grids a run holds at once.
constexpr double grid_pointer_arrays = 6.0;
// The bands of the results being made at once, all workers together: a few
// hundred lines of a wide model for each worker, small beside the 64 MiB a
// run line by line may use.
constexpr size_t band_budget = size_t(16) << 20;

// Model line i in metres, into the slot i % 3 of the worker's three (the
// lines around any line fall into different slots); null when it could not
// be read.
const double *model_line(Lines &w, int i)
{
    const int slot = i % 3;
    double *z = w.elevation[slot];
    if (w.elevation_line[slot] == i)
        return z;
    const size_t n = static_cast<size_t>(nb_col);
    w.elevation_line[slot] = -1; // until the slot holds line i whole
    if (format == 0) {
        if (!read_at(elevations, z, n * sizeof(double),
                     static_cast<int64_t>(i) * static_cast<int64_t>(n * sizeof(double))))
            return nullptr;
    } else {
        if (!read_raw_line(f1, w, i, w.stored, nullptr))
            return nullptr;
        line_metres(w.stored, static_cast<size_t>(nb_col), coef, z);
    }
    w.elevation_line[slot] = i;
    return z;
}

} // namespace

bool decide_run(int bytes_per_cell)
{
    const double usable = usable_memory();
    const char *forced = std::getenv("QUARVELIN_LINE_BY_LINE");
    if (forced != nullptr && *forced != '\0') {
        line_by_line = std::strcmp(forced, "0") != 0;
    } else {
        const double cells = static_cast<double>(nb_lig) * static_cast<double>(std::max(nb_col, 0));
        const double need = cells * bytes_per_cell + static_cast<double>(nb_lig) * sizeof(void *) * grid_pointer_arrays;
        line_by_line = need > grid_limit || need > usable / 2.0;
    }
    // Memory is promised before it is used: lines that the machine cannot
    // hold would be granted and kill the run once touched. The passes hold
    // every worker's lines, and the bands of a result at their widest (an
    // ASCII log DEM, 12 bytes a cell).
    const double cols = std::max(nb_col, 0);
    const BandPlan p = plan_bands(12 * static_cast<size_t>(cols), false);
    const double lines = static_cast<double>(line_bytes_per_column) * cols * p.workers;
    return lines + 12.0 * cols * p.slots * p.per_band <= usable;
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

void release_copy()
{
    if (elevations != nullptr)
        std::fclose(elevations);
    elevations = nullptr;
}

// A grid was refused: every grid is released and the run goes on line by
// line. An ASCII model's elevations were read at some cost: they are kept in
// its scratch copy first.
void fall_back_to_lines()
{
    if (format == 0 && dtab_in != nullptr && nb_col > 0) {
        if (!open_copy())
            no_copy();
        const size_t bytes = static_cast<size_t>(nb_col) * sizeof(double);
        for (int i = 0; i < nb_lig; i++)
            if (!write_at(elevations, dtab_in[i], bytes, static_cast<int64_t>(i) * static_cast<int64_t>(bytes),
                          copy_error))
                copy_not_written();
    }
    release_grids();
    line_by_line = true;
}

// Holds a grid of the whole run: true when it is held; when memory refuses
// it, the run goes on line by line, and the result is false.
template <typename T>
bool hold_grid(T **&grid, T **(*alloc)(int, int))
{
    if (nb_lig <= 0 || nb_col <= 0) {
        grid = nullptr; // an empty grid: no lines to point at
        return true;
    }
    grid = alloc(nb_col, nb_lig);
    if (grid != nullptr)
        return true;
    fall_back_to_lines();
    return false;
}

// The elevation lines around line i (null beyond the model): the grid's, or
// read into the worker's lines. False when the model could not be read.
bool window_of(Lines &w, int i, const double *&z0, const double *&z1, const double *&z2)
{
    if (dtab_in != nullptr) {
        z0 = i > 0 ? dtab_in[i - 1] : nullptr;
        z1 = dtab_in[i];
        z2 = i + 1 < nb_lig ? dtab_in[i + 1] : nullptr;
        return true;
    }
    z1 = model_line(w, i);
    z0 = i > 0 ? model_line(w, i - 1) : nullptr;
    z2 = i + 1 < nb_lig ? model_line(w, i + 1) : nullptr;
    return z1 != nullptr && (z0 != nullptr || i == 0) && (z2 != nullptr || i + 1 == nb_lig);
}

BandPlan plan_bands(size_t bytes_per_line, bool backwards)
{
    BandPlan p;
    p.backwards = backwards;
    p.workers = std::max(thread_count, 1);
    p.slots = 2 * p.workers; // a band ahead for every worker while one is written
    // Several bands a worker, so that they finish together; no more lines a
    // band than its share of the budget holds.
    int per = std::max(1, (nb_lig + 4 * p.workers - 1) / (4 * p.workers));
    if (bytes_per_line > 0)
        per = static_cast<int>(std::clamp<size_t>(band_budget / static_cast<size_t>(p.slots) / bytes_per_line, 1,
                                                  static_cast<size_t>(per)));
    p.per_band = per;
    p.bands = (nb_lig + per - 1) / per;
    return p;
}

// The lines of band k, in the order of the pass.
template <typename Each>
void each_line_of(const BandPlan &p, int band, Each each)
{
    const int first = band * p.per_band, last = std::min(first + p.per_band, nb_lig);
    for (int t = first; t < last; t++)
        each(p.backwards ? nb_lig - 1 - t : t);
}

// A pass over the bands of p: make(k, lines, slot) on the workers, each
// with lines of its own, then use(k, slot) in order on this thread.
template <typename Make, typename Use>
void line_pass(const BandPlan &p, Make make, Use use)
{
    std::vector<Lines> lines(static_cast<size_t>(p.workers));
    for (Lines &w : lines)
        if (!ready_lines(w))
            no_memory();
    run_bands(
        p.bands, p.slots, p.workers,
        [&](int k, int slot, int worker) { make(k, lines[static_cast<size_t>(worker)], slot); }, use);
    for (Lines &w : lines) {
        fast_stats.cells += w.stats.cells;
        fast_stats.exact_slopes += w.stats.exact_slopes;
        fast_stats.exact_tones += w.stats.exact_tones;
        fast_stats.exact_dem += w.stats.exact_dem;
        std::free(w.block);
    }
}

// A pass over the lines of the model: make(i, lines, band, z0, z1, z2) for
// every line i of a band in the order of the pass, with the elevation lines
// around it, on the workers; then on this thread, in order, each(i) for the
// lines of the band (their progress lines), the failure of a line whose
// window could not be read, and use(band).
template <typename Band, typename Make, typename Each, typename Use>
void model_pass(const BandPlan &p, Make make, Each each, Use use)
{
    struct Slot {
        Band band;
        int unread; // the line whose model lines could not be read, or -1
    };
    std::vector<Slot> slots(static_cast<size_t>(p.slots));
    line_pass(
        p,
        [&](int k, Lines &w, int s) {
            Slot &slot = slots[static_cast<size_t>(s)];
            slot = Slot{Band{}, -1};
            each_line_of(p, k, [&](int i) {
                const double *z0, *z1, *z2;
                if (slot.unread < 0 && nb_col > 0 && !window_of(w, i, z0, z1, z2))
                    slot.unread = i;
                else if (slot.unread < 0 && nb_col > 0)
                    make(i, w, slot.band, z0, z1, z2);
            });
        },
        [&](int k, int s) {
            const Slot &slot = slots[static_cast<size_t>(s)];
            each_line_of(p, k, [&](int i) {
                each(i);
                if (i == slot.unread)
                    cannot_read(nomim1);
            });
            use(slot.band);
            return true;
        });
}

} // namespace

// ================================================================== Writers

namespace {

void write_block(FILE *f, const void *data, size_t bytes, const std::string &path)
{
    if (bytes != 0 && std::fwrite(data, 1, bytes, f) != bytes)
        cannot_write(path);
}

void print_block(FILE *f, const std::string &text, const std::string &path)
{
    write_block(f, text.data(), text.size(), path);
}

void write_ascii_header(FILE *f, const std::string &path)
{
    print_block(f,
                strf("ncols %d\nnrows %d\nxllcorner %lf\nyllcorner %lf\ncellsize %lf\nnodata_value -9999.9999\n",
                     nb_col, nb_lig, X_min, Y_min, dpix_size),
                path);
}

void write_descriptor(FILE *f, const std::string &path, int bytes, int largest)
{
    print_block(f, strf("%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, bytes, 0, largest, pix_size), path);
}

// The sidecar that places a raw raster for a GIS: a header of the raster's
// size, cell type (1: bytes, 3: 32-bit signed), layout (one band, lines in
// order, little-endian) and map place (the upper-left corner of the
// upper-left cell, and the cell size). Lines run from north to south, so
// that corner is the lower-left corner raised by the model's height.
void write_raster_header(FILE *&f, const std::string &path, int data_type)
{
    if (f == nullptr)
        return; // none was asked for
    print_block(f,
                strf("ENVI\ndescription = {quarvelin result}\nsamples = %d\nlines = %d\nbands = 1\nheader offset = 0\n"
                     "file type = ENVI Standard\ndata type = %d\ninterleave = bsq\nbyte order = 0\n"
                     "map info = {Arbitrary, 1, 1, %s, %s, %s, %s}\n",
                     nb_col, nb_lig, data_type, shortest_word(X_min).c_str(),
                     shortest_word(Y_min + nb_lig * dpix_size).c_str(), shortest_word(dpix_size).c_str(),
                     shortest_word(dpix_size).c_str()),
                path);
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
// progress lines.
template <typename Line>
void write_lines(FILE *f, const std::string &path, size_t bytes_per_line, bool backwards, bool progress_lines,
                 Line line)
{
    struct Bytes {
        char *text = nullptr;
        size_t size = 0;
    };
    const BandPlan p = plan_bands(bytes_per_line, backwards);
    // A band's bytes, in the block of the slot the pass makes it in.
    std::vector<char *> blocks(static_cast<size_t>(p.slots));
    for (char *&b : blocks)
        if ((b = static_cast<char *>(std::malloc(static_cast<size_t>(p.per_band) * bytes_per_line + 1))) == nullptr)
            no_memory();
    model_pass<Bytes>(
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
        [&](const Bytes &band) { write_block(f, band.text, band.size, path); });
    for (char *b : blocks)
        std::free(b);
}

// The tones of line i: the grid's, or made from the line's gradients.
const unsigned char *tones_of(int i, Lines &w, const double *z0, const double *z1, const double *z2)
{
    if (tab_out != nullptr)
        return tab_out[i];
    tones_of_line(w, gradients(w, z0, z1, z2), w.tones);
    return w.tones;
}

// The log DEM values of line i, also into the grid of a run that holds it.
const int *values_of(Lines &w, int i, const double *z0, const double *z1, const double *z2)
{
    int *val = itab_out != nullptr ? itab_out[i] : w.dem;
    dem_of_line(w, gradients(w, z0, z1, z2), val, dtab_out != nullptr ? dtab_out[i] : nullptr);
    return val;
}

void write_image()
{
    if (output < 0 || output > 2)
        return;
    // A line of the image: its tones (raw raster); its tones and the padding
    // of a bitmap line, the bottom line first (bitmap); "%d\t" of each tone
    // and no line break (ASCII grid).
    const size_t n = static_cast<size_t>(std::max(nb_col, 0));
    const size_t size = output == 1 ? static_cast<size_t>(TailleLigneBMP(nb_col, 0)) : output == 2 ? 4 * n : n;
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
    if (output == 1)
        write_world_file(f2g, nomgis2);
}

void write_histograms()
{
    double pen = 0.0;
    const double val_log1 = cr_log10(max_pen + 1.0);
    const int num_val = trunc_product(max_pen, 10.0);
    for (int k = 0; k < num_val; k++) {
        const double val_log2 = cr_log10(pen + 1.0);
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
    if (dem_type < 0 || dem_type > 1)
        return;
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
    write_lines(f3, nomim3, (dem_type == 0 ? 4 : 12) * n, false, dem_type == 1,
                [&](int i, Lines &w, const double *z0, const double *z1, const double *z2, char *out) {
                    const int *val = values_of(w, i, z0, z1, z2);
                    if (dem_type == 1)
                        return tabbed_words(val, n, out);
                    if constexpr (std::endian::native == std::endian::little)
                        std::memcpy(out, val, 4 * n);
                    else
                        for (size_t j = 0; j < 4 * n; j++)
                            out[j] = static_cast<char>(static_cast<uint32_t>(val[j / 4]) >> (8 * (j % 4)) & 0xFF);
                    return 4 * n;
                });
    close_result(f3, nomim3);
    if (dem_type == 0) {
        close_result(f3d, nomdescr3);
        write_raster_header(f3g, nomgis3, 3);
    }
}

} // namespace

void image_saving()
{
    output_begin();
    write_image();
    write_histograms();
    std::printf("\n\n\t%s has been saved as a logarithm image of the slope ", nomim2.c_str());
    std::printf("\n\tas well the histogram named %s ", nomhisto.c_str());
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

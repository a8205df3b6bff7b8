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
// Every stage works on the Run state below. Terrain arithmetic is done in
// 64-bit reals in a fixed order of operations, and every real that becomes an
// integer is truncated toward zero, so that the same model gives the same
// files on every machine.
//
// A run that fails prints one message, removes the files it left incomplete,
// waits for a key (except at end of input) and exits with status 1.
#include "quarvelin.h"

#include "image.h"
#include "nrutil.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <termios.h>
#include <unistd.h>

// The version comes from the build (project() in CMakeLists.txt).
#ifndef QUARVELIN_VERSION
#error "QUARVELIN_VERSION is not defined: build with CMake, or pass -DQUARVELIN_VERSION=\"x.y.z\""
#endif

// ================================================================ Run state

FILE *f1, *f1d, *f2, *f2d, *f2h, *f3, *f3d, *f3h;

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
std::string nomim2, nomdescr2, nomhisto, nomhisto2, nomim3, nomdescr3;

// =========================================================== Platform layer
//
// Everything that depends on the console or the file system of the host:
// the root directory, the path separator, the box characters, reading the
// answers and waiting for a key.

const char path_separator[] = "/";

// The frame is drawn with the double-line box characters, in UTF-8.
const char *const box_h = "\u2550";
const char *const box_v = "\u2551";
const char *const box_p1 = "\u2554";
const char *const box_p2 = "\u2557";
const char *const box_p3 = "\u255D";
const char *const box_p4 = "\u255A";

FILE *answers = stdin;

std::string root_directory()
{
    const char *env = std::getenv("QUARVELIN_ROOT");
    if (env == nullptr || *env == '\0')
        return "images/";
    std::string root = env;
    if (root.back() != '/')
        root += '/';
    return root;
}

namespace {

// Terminal settings saved while a key is awaited, restored on every way out.
termios saved_tty;
volatile sig_atomic_t tty_changed = 0;

// Paths of output files opened and not yet finished (at most a handful).
constexpr int max_pending = 16;
char *pending[max_pending];
volatile sig_atomic_t pending_count = 0;

bool is_blank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void restore_tty()
{
    if (tty_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
        tty_changed = 0;
    }
}

void remove_pending()
{
    for (int k = 0; k < pending_count; k++)
        unlink(pending[k]);
}

// An interrupted run leaves the terminal as it found it and no incomplete
// file behind, then dies of the same signal.
void on_signal(int sig)
{
    restore_tty();
    remove_pending();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

bool next_word(FILE *in, std::string &word)
{
    // A word longer than this is kept only in part: it is no number and no
    // usable name, and the rest of it must not fill the memory.
    constexpr size_t longest = 1 << 20;
    word.clear();
    int c;
    do
        c = std::getc(in);
    while (c != EOF && is_blank(c));
    if (c == EOF)
        return false;
    while (c != EOF && !is_blank(c)) {
        if (word.size() < longest)
            word += static_cast<char>(c);
        c = std::getc(in);
    }
    return true;
}

bool parse_int_word(const std::string &word, int &value)
{
    const char *b = word.data(), *e = b + word.size();
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-')
            return false;
    }
    int v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e)
        return false;
    value = v;
    return true;
}

bool parse_real_word(const std::string &word, double &value)
{
    const char *b = word.data(), *e = b + word.size();
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-')
            return false;
    }
    double v = 0.0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

namespace {

[[noreturn]] void end_of_input()
{
    fail("\n\tEnd of input: the run is abandoned.\n", false, 1);
}

bool not_a_number()
{
    std::fputs("\n\tA number is expected.", stdout);
    return false;
}

} // namespace

std::string ask_word()
{
    std::fflush(stdout);
    std::string w;
    if (!next_word(answers, w))
        end_of_input();
    return w;
}

bool ask_int(int &value)
{
    return parse_int_word(ask_word(), value) || not_a_number();
}

bool ask_real(double &value)
{
    return parse_real_word(ask_word(), value) || not_a_number();
}

void key_wait()
{
    std::fflush(stdout);
    if (answers == stdin && isatty(STDIN_FILENO)) {
        // One real key press: no echo, no line buffering, and nothing of
        // what was typed ahead counts.
        if (tcgetattr(STDIN_FILENO, &saved_tty) != 0)
            return;
        termios raw = saved_tty;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tty_changed = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        tcflush(STDIN_FILENO, TCIFLUSH);
        char c;
        while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
        }
        restore_tty();
    } else {
        // Scripted input: one character of what remains, if any.
        std::getc(answers);
    }
}

// ================================================================= Failures

void file_started(const std::string &path)
{
    if (pending_count < max_pending) {
        pending[pending_count] = strdup(path.c_str());
        pending_count = pending_count + 1;
    }
}

void file_done(const std::string &path)
{
    for (int k = 0; k < pending_count; k++)
        if (path == pending[k]) {
            char *done = pending[k];
            pending[k] = pending[pending_count - 1];
            pending_count = pending_count - 1;
            std::free(done);
            return;
        }
}

void fail(const std::string &msg, bool key, int status)
{
    std::fputs(msg.c_str(), stdout);
    for (FILE **f : {&f1d, &f2, &f2d, &f2h, &f3, &f3d, &f3h})
        if (*f != nullptr) {
            std::fclose(*f);
            *f = nullptr;
        }
    remove_pending();
    if (key)
        key_wait();
    std::fflush(stdout);
    std::exit(status);
}

std::string strf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap2);
    va_end(ap2);
    return s;
}

namespace {

[[noreturn]] void cannot_write(const std::string &path)
{
    fail(strf("\n\tFile %s could not be written\n", path.c_str()));
}

[[noreturn]] void no_memory()
{
    fail(strf("\n\tNot enough memory for a grid of %d lines by %d columns\n", nb_lig, nb_col));
}

// Opens an output file for writing and registers it as incomplete.
FILE *create_output(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        fail(strf("\n\tFile %s cannot be created\n", path.c_str()));
    file_started(path);
    return f;
}

// Closes a finished output file; a failed close is a failed write.
void close_output(FILE *&f, const std::string &path)
{
    int bad = std::ferror(f);
    bad |= std::fclose(f);
    f = nullptr;
    if (bad != 0)
        cannot_write(path);
    file_done(path);
}

void write_block(FILE *f, const void *data, size_t bytes, const std::string &path)
{
    if (bytes != 0 && std::fwrite(data, 1, bytes, f) != bytes)
        cannot_write(path);
}

void print_block(FILE *f, const std::string &text, const std::string &path)
{
    write_block(f, text.data(), text.size(), path);
}

// Whether grids of `bytes_per_cell` bytes for every cell (all the grids a
// run will hold) fit in the machine's memory. Refusing early is kinder than
// being killed halfway through the slopes.
bool grids_fit(int64_t bytes_per_cell)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return true;
    const double memory = (static_cast<double>(si.totalram) + static_cast<double>(si.totalswap)) * si.mem_unit;
    const double cells = static_cast<double>(nb_lig) * static_cast<double>(nb_col);
    const double needed = cells * static_cast<double>(bytes_per_cell) + static_cast<double>(nb_lig) * 64.0 * 6.0;
    return needed <= memory;
}

// A grid of nb_lig x nb_col cells; null (and no failure) for an empty grid.
template <typename T>
T **try_grid(T **(*alloc)(int, int), bool &refused)
{
    if (nb_lig <= 0 || nb_col <= 0)
        return nullptr;
    T **m = alloc(nb_col, nb_lig);
    if (m == nullptr)
        refused = true;
    return m;
}

template <typename T>
T **new_grid(T **(*alloc)(int, int))
{
    bool refused = false;
    T **m = try_grid(alloc, refused);
    if (refused)
        no_memory();
    return m;
}

void progress(const char *fmt, int i)
{
    std::printf(fmt, i);
    std::fflush(stdout);
}

} // namespace

// ========================================================= Terrain formulas

namespace {
const double pi = std::atan(1.0) * 4.0;
}

double window_slope(const double *z0, const double *z1, const double *z2, double p)
{
    // Weighted sums over the window line by line, column by column; the
    // zero weights add nothing and are left out.
    double pentx = 0.0;
    pentx += -1.0 * z0[0];
    pentx += 1.0 * z0[2];
    pentx += -2.0 * z1[0];
    pentx += 2.0 * z1[2];
    pentx += -1.0 * z2[0];
    pentx += 1.0 * z2[2];

    double penty = 0.0;
    penty += 1.0 * z0[0];
    penty += 2.0 * z0[1];
    penty += 1.0 * z0[2];
    penty += -1.0 * z2[0];
    penty += -2.0 * z2[1];
    penty += -1.0 * z2[2];

    const double cc = 8.0;
    pentx = pentx / cc * p;
    penty = penty / cc * p;
    double pent = pentx * pentx + penty * penty;
    pent = std::sqrt(pent);
    return std::atan(pent) * 180.0 / pi;
}

int trunc_product(double d, double s)
{
    const double prod = d * s;
    if (std::isnan(prod))
        return 0;
    if (prod >= 2147483647.0)
        return INT_MAX;
    if (prod <= -2147483648.0)
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
    return static_cast<int>(t);
}

int grey_tone(double lg, double lmin, double ldif)
{
    if (!(ldif > 0.0))
        return 0; // a flat model: every tone is 0
    double dval_out = lg - lmin;
    dval_out = dval_out / ldif;
    const int val_out = trunc_product(dval_out, 254.0);
    return std::clamp(val_out, 0, 254);
}

// ===================================================== Raw raster and descriptor

int read_descriptor(FILE *f, int v[6])
{
    // "%d" six times: blanks skipped, an optional sign, then digits. A value
    // beyond the 32-bit range stands at the nearest end of it.
    int n = 0;
    while (n < 6) {
        int c;
        do
            c = std::getc(f);
        while (c != EOF && is_blank(c));
        bool negative = false;
        if (c == '+' || c == '-') {
            negative = (c == '-');
            c = std::getc(f);
        }
        if (c == EOF || c < '0' || c > '9')
            break;
        int64_t x = 0;
        while (c != EOF && c >= '0' && c <= '9') {
            if (x <= INT64_C(1) << 40)
                x = x * 10 + (c - '0');
            c = std::getc(f);
        }
        if (c != EOF)
            std::ungetc(c, f);
        if (negative)
            x = -x;
        v[n++] = static_cast<int>(std::clamp<int64_t>(x, INT_MIN, INT_MAX));
    }
    return n;
}

namespace {

int64_t file_size(FILE *f)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

// Cells arrive little-endian; a big-endian host turns them around.
template <typename T>
void from_little_endian(T *row, int n)
{
    if constexpr (std::endian::native == std::endian::big)
        for (int j = 0; j < n; j++) {
            T v = row[j], s = 0;
            for (size_t k = 0; k < sizeof(T); k++)
                s = static_cast<T>((s << 8) | ((v >> (8 * k)) & 0xFF));
            row[j] = s;
        }
    else
        (void)row, (void)n;
}

void ask_unit()
{
    do {
        std::fputs("\n\n\tAre these values\n\t\t0 ====> in meters", stdout);
        std::fputs("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters", stdout);
        std::fputs("\n\t\t3 ====> in millimeters\n\t\t", stdout);
    } while (!ask_int(dyn_scale) || dyn_scale < 0 || dyn_scale > 3);
}

} // namespace

void dem_lecture()
{
    const int w = (itype == 0) ? 2 : 4;
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    const int64_t found = std::max<int64_t>(file_size(f1), 0) / w;
    if (found < cells)
        fail(strf("\n\tFile %s is too short: %lld cells expected, %lld found\n", nomim1.c_str(),
                  static_cast<long long>(cells), static_cast<long long>(found)));
    if (!grids_fit(4 + 8 + 8 + 1 + 8 + 4))
        no_memory();

    dtab_in = new_grid(dmatrice);
    open_ascii_OK = false;

    if (itype == 0) {
        jtab_in = new_grid(usmatrice);
        itab_in = new_grid(imatrice);
        for (int i = 0; i < nb_lig && nb_col > 0; i++) {
            if (std::fread(jtab_in[i], 2, static_cast<size_t>(nb_col), f1) != static_cast<size_t>(nb_col))
                fail(strf("\n\tFile %s could not be read\n", nomim1.c_str()));
            from_little_endian(jtab_in[i], nb_col);
        }
        for (int i = 0; i < nb_lig && nb_col > 0; i++) {
            const unsigned short *src = jtab_in[i];
            int *dst = itab_in[i];
            for (int j = 0; j < nb_col; j++)
                dst[j] = src[j];
        }
        frusmatrice(jtab_in, nb_col > 0 ? nb_lig : 0);
        jtab_in = nullptr;
    } else {
        itab_in = new_grid(imatrice);
        for (int i = 0; i < nb_lig && nb_col > 0; i++) {
            if (std::fread(itab_in[i], 4, static_cast<size_t>(nb_col), f1) != static_cast<size_t>(nb_col))
                fail(strf("\n\tFile %s could not be read\n", nomim1.c_str()));
            from_little_endian(itab_in[i], nb_col);
        }
    }

    int min = 1000000, max = 0;
    for (int i = 0; i < nb_lig && nb_col > 0; i++) {
        const int *row = itab_in[i];
        for (int j = 0; j < nb_col; j++) {
            if (row[j] < min)
                min = row[j];
            if (row[j] > max)
                max = row[j];
        }
    }
    std::printf("\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);

    ask_unit();
    if (dyn_scale == 0)
        coef = 1.0;
    if (dyn_scale == 1)
        coef = 10.0;
    if (dyn_scale == 2)
        coef = 100.0;
    if (dyn_scale == 3)
        coef = 1000.0;

    for (int i = 0; i < nb_lig && nb_col > 0; i++) {
        const int *src = itab_in[i];
        double *dst = dtab_in[i];
        for (int j = 0; j < nb_col; j++)
            dst[j] = static_cast<double>(src[j]) / coef;
    }

    dtab_slope = new_grid(dmatrice);

    if (!descr_OK) {
        if (std::fprintf(f1d, "%d\n%d\n%d\n", min, max, static_cast<int>(dpix_size)) < 0)
            cannot_write(nomdescr1);
        close_output(f1d, nomdescr1);
    }
}

// ================================================================ ASCII grid

namespace {

// A file read in large blocks and cut into whitespace-separated words. A word
// is never split between two blocks.
struct WordReader {
    FILE *f;
    std::vector<char> buf;
    size_t pos, len;
    bool eof;
    int64_t consumed; // bytes of the file before buf[0]
};

constexpr size_t block_size = size_t(1) << 20;

// blank_table[c] is true for the characters that separate words.
struct BlankTable {
    bool t[256];
};
constexpr BlankTable make_blank_table()
{
    BlankTable b{};
    for (int c : {' ', '\t', '\n', '\r', '\v', '\f'})
        b.t[c] = true;
    return b;
}
constexpr BlankTable blank_table = make_blank_table();

inline bool blank(char c)
{
    return blank_table.t[static_cast<unsigned char>(c)];
}

bool refill(WordReader &r)
{
    if (r.eof)
        return false;
    if (r.pos > 0) {
        std::memmove(r.buf.data(), r.buf.data() + r.pos, r.len - r.pos);
        r.consumed += static_cast<int64_t>(r.pos);
        r.len -= r.pos;
        r.pos = 0;
    }
    const size_t got = std::fread(r.buf.data() + r.len, 1, r.buf.size() - r.len, r.f);
    r.len += got;
    if (got == 0)
        r.eof = true;
    return got != 0;
}

// The next word as [b, e); false at the end of the file. A word longer than
// a block comes back cut to the block, which no number ever fills.
bool next_grid_word(WordReader &r, const char *&b, const char *&e)
{
    for (;;) {
        while (r.pos < r.len && blank(r.buf[r.pos]))
            r.pos++;
        if (r.pos < r.len)
            break;
        if (!refill(r))
            return false;
    }
    size_t k = r.pos;
    for (;;) {
        while (k < r.len && !blank(r.buf[k]))
            k++;
        if (k < r.len || r.eof)
            break;
        if (r.pos == 0 && r.len == r.buf.size())
            break; // longer than a block
        k -= r.pos;
        refill(r);
    }
    b = r.buf.data() + r.pos;
    e = r.buf.data() + k;
    r.pos = k;
    return true;
}

// "%lf" on one whole word: optional sign ("+" included), digits, decimal
// point, exponent. Anything else, or a value that is not finite, is refused.
bool grid_real(const char *b, const char *e, double &v)
{
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-')
            return false;
    }
    auto [p, ec] = std::from_chars(b, e, v);
    return ec == std::errc() && p == e && std::isfinite(v);
}

bool grid_int(const char *b, const char *e, int &v)
{
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-')
            return false;
    }
    auto [p, ec] = std::from_chars(b, e, v);
    return ec == std::errc() && p == e;
}

void release_ascii_grids()
{
    frdmatrice(dtab_in, nb_col > 0 ? nb_lig : 0);
    dtab_in = nullptr;
}

} // namespace

AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col)
{
    WordReader r{f, std::vector<char>(block_size), 0, 0, false, 0};
    const char *b, *e;
    bad_line = 0;
    bad_col = 0;

    // Header: six lines of a keyword and a value, told apart by their order.
    // A header of five lines (no no-data line) is recognised by a number in
    // the sixth keyword's place, which is then the first value of the body.
    bool first_pending = false;
    double first_value = 0.0;
    for (int line = 1; line <= 6; line++) {
        bad_line = line;
        if (!next_grid_word(r, b, e) || e - b > 59)
            return ascii_bad_header;
        if (line == 6) {
            double v;
            if (grid_real(b, e, v)) {
                first_pending = true;
                first_value = v;
                break;
            }
        }
        if (!next_grid_word(r, b, e))
            return ascii_bad_header;
        bool ok = true;
        switch (line) {
        case 1:
            ok = grid_int(b, e, nb_col) && nb_col >= 0;
            break;
        case 2:
            ok = grid_int(b, e, nb_lig) && nb_lig >= 0;
            break;
        case 3:
            ok = grid_real(b, e, X_min);
            break;
        case 4:
            ok = grid_real(b, e, Y_min);
            break;
        case 5: {
            // Read as any real first: a cell size that is not finite has a
            // message of its own.
            const char *bb = b;
            if (bb != e && *bb == '+' && ++bb != e && *bb == '-')
                return ascii_bad_header;
            auto [p, ec] = std::from_chars(bb, e, dpix_size);
            if (p != e || (ec != std::errc() && ec != std::errc::result_out_of_range))
                return ascii_bad_header;
            if (ec != std::errc() || !std::isfinite(dpix_size) || dpix_size == 0.0 ||
                std::fabs(dpix_size) >= 2147483648.0)
                return ascii_bad_cellsize;
            break;
        }
        case 6:
            ok = grid_real(b, e, nodata);
            break;
        }
        if (!ok)
            return ascii_bad_header;
    }
    bad_line = 0;

    // A body that cannot hold every cell (each value takes at least one
    // character and one separator) is read without storing, to name the
    // first missing cell without allocating grids the file cannot fill.
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    const int64_t size = file_size(f);
    const int64_t rest = size - (r.consumed + static_cast<int64_t>(r.pos));
    const bool store = size < 0 || cells - (first_pending ? 1 : 0) <= (rest + 1) / 2;
    if (store) {
        if (!grids_fit(8 + 8 + 1 + 8 + 4))
            return ascii_no_memory;
        bool refused = false;
        dtab_in = try_grid(dmatrice, refused);
        if (refused)
            return ascii_no_memory;
    }

    for (int i = 0; i < nb_lig; i++) {
        if (i > 0 && i % 100 == 0)
            progress("\tline %d                   \r", i);
        double *row = (store && nb_col > 0) ? dtab_in[i] : nullptr;
        for (int j = 0; j < nb_col; j++) {
            double dval;
            if (first_pending) {
                dval = first_value;
                first_pending = false;
            } else if (!next_grid_word(r, b, e) || !grid_real(b, e, dval)) {
                bad_line = i;
                bad_col = j;
                release_ascii_grids();
                return ascii_bad_value;
            }
            if (row != nullptr)
                row[j] = dval;
        }
    }

    pix_size = static_cast<int>(dpix_size);
    bool refused = false;
    dtab_slope = try_grid(dmatrice, refused);
    if (refused) {
        release_ascii_grids();
        return ascii_no_memory;
    }
    return ascii_ok;
}

void ascii_lecture()
{
    std::fputs("\n", stdout);
    open_ascii_OK = true;
    int line, col;
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
    }
}

// ============================================================ Terrain analysis

void pendientes()
{
    const double p = 1.0 / dpix_size;
    std::fputs("\n", stdout);
    for (int i = 1; i < nb_lig - 1; i++) {
        if (i % 100 == 0)
            progress("\tline %d                 \r", i);
        if (nb_col <= 0)
            continue; // a model of no columns has no lines to point at
        const double *z0 = dtab_in[i - 1], *z1 = dtab_in[i], *z2 = dtab_in[i + 1];
        double *slope = dtab_slope[i];
        for (int j = 1; j < nb_col - 1; j++)
            slope[j] = window_slope(z0 + j - 1, z1 + j - 1, z2 + j - 1, p);
    }
}

void slope_range()
{
    min_pen = 10000000.0;
    max_pen = 0.0;
    for (int i = 0; i < nb_lig && nb_col > 0; i++) {
        const double *row = dtab_slope[i];
        for (int j = 0; j < nb_col; j++) {
            if (min_pen > row[j])
                min_pen = row[j];
            if (max_pen < row[j])
                max_pen = row[j];
        }
    }
}

void treatment()
{
    log_min = 1000.0;
    log_max = 0.0;
    tab_out = new_grid(ucmatrice);
    dtab_out = new_grid(dmatrice);
    itab_out = new_grid(imatrice);
    const int rows = nb_col > 0 ? nb_lig : 0;

    // The logarithms and their range in one pass: the range visits the cells
    // in the same order as a pass of its own would.
    for (int i = 0; i < rows; i++) {
        const double *slope = dtab_slope[i];
        double *lg = dtab_out[i];
        for (int j = 0; j < nb_col; j++) {
            lg[j] = std::log10(slope[j] + 1.0);
            if (log_min > lg[j])
                log_min = lg[j];
            if (log_max < lg[j])
                log_max = lg[j];
        }
    }
    log_dif = log_max - log_min;
    for (int i = 0; i < rows; i++) {
        const double *lg = dtab_out[i];
        unsigned char *tone = tab_out[i];
        for (int j = 0; j < nb_col; j++)
            tone[j] = static_cast<unsigned char>(grey_tone(lg[j], log_min, log_dif));
    }
}

// ============================================================ Result output

namespace {

// Text of the body of an ASCII grid, gathered into large blocks: one
// formatted print per cell would dominate the run.
struct TextBlock {
    FILE *f;
    const std::string *path;
    std::vector<char> buf;
    size_t len;
};

void flush_text(TextBlock &t)
{
    write_block(t.f, t.buf.data(), t.len, *t.path);
    t.len = 0;
}

// "%d\t" of every tone 0..255, built once.
struct ToneTexts {
    char text[256][5];
    unsigned char size[256];
};
const ToneTexts &tone_texts()
{
    static ToneTexts t = [] {
        ToneTexts x{};
        for (int v = 0; v < 256; v++) {
            auto r = std::to_chars(x.text[v], x.text[v] + 4, v);
            *r.ptr++ = '\t';
            x.size[v] = static_cast<unsigned char>(r.ptr - x.text[v]);
        }
        return x;
    }();
    return t;
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

// The body of an ASCII grid: "%d\t" after every cell, no line break at all.
template <typename T>
void write_ascii_body(FILE *f, const std::string &path, T **grid)
{
    TextBlock t{f, &path, std::vector<char>(block_size + 64), 0};
    const ToneTexts &tt = tone_texts();
    std::fputs("\n", stdout);
    for (int i = 0; i < nb_lig; i++) {
        if (i > 0 && i % 100 == 0)
            progress("\tline %d              \r", i);
        if (nb_col <= 0)
            continue;
        const T *row = grid[i];
        for (int j = 0; j < nb_col; j++) {
            if (t.len > block_size)
                flush_text(t);
            char *out = t.buf.data() + t.len;
            if constexpr (sizeof(T) == 1) {
                std::memcpy(out, tt.text[row[j]], 4);
                t.len += tt.size[row[j]];
            } else {
                char *end = std::to_chars(out, out + 16, row[j]).ptr;
                *end++ = '\t';
                t.len += static_cast<size_t>(end - out);
            }
        }
    }
    flush_text(t);
}

void write_image()
{
    if (output == 0) {
        write_descriptor(f2d, nomdescr2, 1, 255);
        for (int i = 0; i < nb_lig && nb_col > 0; i++)
            write_block(f2, tab_out[i], static_cast<size_t>(nb_col), nomim2);
        close_output(f2, nomim2);
        close_output(f2d, nomdescr2);
    } else if (output == 1) {
        // An empty grid has no lines to point at; the bitmap still gets its
        // header and palette.
        std::vector<unsigned char *> empty_rows(tab_out == nullptr ? static_cast<size_t>(std::max(nb_lig, 0)) : 0);
        static unsigned char no_pixel = 0;
        std::fill(empty_rows.begin(), empty_rows.end(), &no_pixel);
        unsigned char **rows = tab_out != nullptr ? tab_out : empty_rows.data();
        file_started(nomim2);
        if (SauveBMP(nomim2.c_str(), rows, nb_col, nb_lig, 0, nullptr) != 0)
            cannot_write(nomim2);
        file_done(nomim2);
    } else if (output == 2) {
        write_ascii_header(f2, nomim2);
        write_ascii_body(f2, nomim2, tab_out);
        close_output(f2, nomim2);
    }
}

void write_histograms()
{
    double pen = 0.0;
    const double val_log1 = std::log10(max_pen + 1.0);
    const int num_val = trunc_product(max_pen, 10.0);
    for (int k = 0; k < num_val; k++) {
        const double val_log2 = std::log10(pen + 1.0);
        const double ratio = val_log2 / val_log1;
        double norm_log = ratio * 255.0;
        if (std::fprintf(f3h, "%lf\t%lf\n", pen, norm_log) < 0)
            cannot_write(nomhisto);
        if (dem_result == 0) {
            norm_log = ratio * strcoef;
            if (std::fprintf(f2h, "%lf\t%lf\n", pen, norm_log) < 0)
                cannot_write(nomhisto2);
        }
        pen = pen + 0.1;
    }
    close_output(f3h, nomhisto);
    if (dem_result == 0)
        close_output(f2h, nomhisto2);
}

void write_log_dem()
{
    log_dif = log_max - log_min;
    const bool flat = !(log_dif > 0.0);
    for (int i = 0; i < nb_lig && nb_col > 0; i++) {
        const double *lg = dtab_out[i];
        int *val = itab_out[i];
        for (int j = 0; j < nb_col; j++) {
            double dval_out = lg[j] - log_min;
            dval_out = dval_out / log_dif;
            val[j] = flat ? 0 : trunc_product(dval_out, strcoef);
        }
    }

    if (dem_type == 0) {
        write_descriptor(f3d, nomdescr3, 4, static_cast<int>(strcoef));
        std::vector<unsigned char> bytes(static_cast<size_t>(std::max(nb_col, 0)) * 4);
        for (int i = 0; i < nb_lig && nb_col > 0; i++) {
            const int *val = itab_out[i];
            for (int j = 0; j < nb_col; j++) {
                const uint32_t u = static_cast<uint32_t>(val[j]);
                unsigned char *b = bytes.data() + 4 * static_cast<size_t>(j);
                b[0] = static_cast<unsigned char>(u);
                b[1] = static_cast<unsigned char>(u >> 8);
                b[2] = static_cast<unsigned char>(u >> 16);
                b[3] = static_cast<unsigned char>(u >> 24);
            }
            write_block(f3, bytes.data(), bytes.size(), nomim3);
        }
        close_output(f3, nomim3);
        close_output(f3d, nomdescr3);
    } else if (dem_type == 1) {
        write_ascii_header(f3, nomim3);
        write_ascii_body(f3, nomim3, itab_out);
        close_output(f3, nomim3);
    }
}

} // namespace

void image_saving()
{
    write_image();
    write_histograms();
    std::printf("\n\n\t%s has been saved as a logarithm image of the slope ", nomim2.c_str());
    std::printf("\n\tas well the histogram named %s ", nomhisto.c_str());
    std::fputs("\n\tthat corresponds to slope / normalized values of the logarithms\n", stdout);
    if (dem_result == 0)
        write_log_dem();
    std::fputs("\n\n\tProcessing completed. ", stdout);
    std::fputs("\n\tHit any key to exit. ", stdout);
    key_wait();
}

// ================================================================= Dialogue

namespace {

// One framed line of the banner: the vertical on both sides of 60 characters.
void frame_line(const char *text)
{
    std::printf("\n\t%s%s%s", box_v, text, box_v);
}

void frame_edge(const char *lead, const char *left, const char *right, const char *tail)
{
    std::fputs(lead, stdout);
    std::fputs(left, stdout);
    for (int k = 0; k < 60; k++)
        std::fputs(box_h, stdout);
    std::fputs(right, stdout);
    std::fputs(tail, stdout);
}

const char blank60[] = "                                                            ";

void banner()
{
    frame_edge("\n\n\t", box_p1, box_p2, "");
    for (int line = 1; line <= 10; line++) {
        const char *text = blank60;
        if (line == 2)
            text = "                        QUARVELIN                           ";
        if (line == 7)
            text = "                                         ZORBELVANTIK       ";
        if (line == 9)
            text = "                                   Actualization 2020       ";
        frame_line(text);
    }
    frame_edge("\n\t", box_p4, box_p3, "");
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
    frame_edge("\n\t", box_p1, box_p2, "");
    for (const char *text : texts)
        frame_line(text);
    frame_edge("\n\t", box_p4, box_p3, "\n");
}

const char yes_no[] = "\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t";

// A whole number typed after `prompt`, asked again until it is one and at
// least `least`.
int ask_count(const char *prompt, int least)
{
    int v = 0;
    do
        std::fputs(prompt, stdout);
    while (!ask_int(v) || v < least);
    return v;
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

bool same_file(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

// The generic name, asked again while one of the files it names would be
// the input model or its descriptor.
void ask_result_name(const std::string &folder)
{
    static const char *const suffixes[] = {"_log.xls",        "_log.raw",        "_log.txt",
                                           "_log.bmp",        "_log.asc",        "_dem_log.xls",
                                           "_log_dem_m4.raw", "_log_dem_m4.txt", "_log_dem.asc"};
    for (;;) {
        std::fputs("\n\n\tGeneric name of the resulting file ? ", stdout);
        const std::string generic = folder + ask_word();
        const std::string *clash = nullptr;
        std::string name;
        for (const char *suffix : suffixes) {
            name = generic + suffix;
            if (same_file(name, nomim1) || (format == 1 && same_file(name, nomdescr1))) {
                clash = &name;
                break;
            }
        }
        if (clash == nullptr) {
            nomim2 = generic;
            return;
        }
        std::printf("\n\tFile %s is the input model: choose another name\n", clash->c_str());
    }
}

void open_raw_model()
{
    do
        std::fputs("\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t", stdout);
    while (!ask_int(itype) || itype < 0 || itype > 1);

    nomdescr1 = nomim1;
    nomim1 += (itype == 0) ? "_m2.raw" : "_m4.raw";
    nomdescr1 += (itype == 0) ? "_m2.txt" : "_m4.txt";

    f1 = std::fopen(nomim1.c_str(), "rb");
    if (f1 == nullptr)
        fail(strf("\n File %s unknown\n", nomim1.c_str()));

    f1d = std::fopen(nomdescr1.c_str(), "r");
    if (f1d != nullptr) {
        int val = 0;
        int v[6] = {nb_lig, nb_col, val, mind, maxd, pix_size};
        read_descriptor(f1d, v);
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
    } else {
        std::printf("\n\tNo File %s \n\n", nomdescr1.c_str());
        f1d = create_output(nomdescr1);
        nb_lig = ask_count("\n\tNumber of lines   ? ", 0);
        nb_col = ask_count("\n\tNumber of columns ? ", 0);
        pix_size = ask_count("\n\tPixel size ? ", INT_MIN);
        const int val = (itype == 0) ? 2 : 4;
        if (std::fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, val) < 0)
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
    nomim1 += ".asc";
    f1 = std::fopen(nomim1.c_str(), "rb");
    if (f1 == nullptr)
        fail(strf("\n\tFile %s unknown\n", nomim1.c_str()));
    ascii_lecture();
    std::fputs("\n", stdout);
}

void open_outputs()
{
    nomim3 = nomim2;
    nomhisto = nomim2;
    nomhisto2 = nomim2;
    nomhisto += "_log.xls";
    f3h = create_output(nomhisto);

    std::fputs("\n\toutput file format : ", stdout);
    do
        std::fputs("\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t2 ====> ascii\n\t\t", stdout);
    while (!ask_int(output) || output < 0 || output > 2);
    if (output == 0) {
        nomdescr2 = nomim2;
        nomim2 += "_log.raw";
        nomdescr2 += "_log.txt";
        f2 = create_output(nomim2);
        f2d = create_output(nomdescr2);
    }
    if (output == 1)
        nomim2 += "_log.bmp";
    if (output == 2) {
        if (!open_ascii_OK)
            ask_coordinates();
        nomim2 += "_log.asc";
        f2 = create_output(nomim2);
    }

    do {
        std::fputs("\n\tSave the result as a Digital Elevation Model:", stdout);
        std::fputs("\n\tNote: gray tones result from a stretching", stdout);
        std::fputs(yes_no, stdout);
    } while (!ask_int(dem_result) || dem_result < 0 || dem_result > 1);
    if (dem_result != 0)
        return;

    nomhisto2 += "_dem_log.xls";
    f2h = create_output(nomhisto2);
    nomim3 += "_log_dem";
    nomdescr3 = nomim3;
    do {
        std::fputs("\n\tType of DEM:", stdout);
        std::fputs("\n\t\t0 ====> raster (integer 4 with extension _m4.raw)", stdout);
        std::fputs("\n\t\t1 ====> ascii\n\t\t", stdout);
    } while (!ask_int(dem_type) || dem_type < 0 || dem_type > 1);
    if (dem_type == 0) {
        nomim3 += "_m4.raw";
        nomdescr3 += "_m4.txt";
        f3 = create_output(nomim3);
        f3d = create_output(nomdescr3);
    }
    if (dem_type == 1) {
        if (!open_ascii_OK)
            ask_coordinates();
        nomim3 += ".asc";
        f3 = create_output(nomim3);
    }

    // The log DEM holds whole numbers up to the stretch limit: it must be
    // finite and its truncation a 32-bit value.
    for (;;) {
        std::fputs("\n\tStretch limit value ? ", stdout);
        if (ask_real(strcoef) && std::fabs(std::trunc(strcoef)) <= 2147483647.0)
            break;
    }
}

} // namespace

void opening()
{
    banner();

    int consult = 1;
    std::fputs("\n\n\tConsult the information file concerning the treatment ", stdout);
    do
        std::fputs(yes_no, stdout);
    while (!ask_int(consult) || consult < 0 || consult > 1);
    if (consult == 0)
        information_box();

    nomim1 = root_directory();
    std::printf("\n\n\tName of the File Folder located in the Directory %s : ", nomim1.c_str());
    const std::string nomdir = ask_word();
    nomim1 += nomdir;
    nomim1 += path_separator;
    nomim2 = nomim1;
    const std::string folder = nomim1;

    std::fputs("\n\tName of DEM File (without any extension) ? ", stdout);
    nomim1 += ask_word();

    do
        std::fputs("\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t", stdout);
    while (!ask_int(format) || format < 0 || format > 1);
    if (format == 1)
        open_raw_model();
    else
        open_ascii_model();

    std::fputs("\n\tTHE ORIGINAL DEM HAS : ", stdout);
    std::printf("\n\t            %d LINES", nb_lig);
    std::printf("\n\t        AND %d COLUMNS\n", nb_col);

    pendientes();
    slope_range();
    treatment();
    std::fputs("\n\n\tLogarithmic Treatment ", stdout);
    std::fputs("\n\n\tDynamic Scale in:", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", min_pen, max_pen);
    std::fputs("\n\n\tLogarithmic scale: ", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", log_min, log_max);

    ask_result_name(folder);
    open_outputs();
}

// ================================================================== Entry

namespace {

const char usage_text[] = "Usage: quarvelin [-h | --help | --version]\n"
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
                          "Input models:  NAME_m2.raw + NAME_m2.txt  raw 16-bit unsigned + descriptor\n"
                          "               NAME_m4.raw + NAME_m4.txt  raw 32-bit signed + descriptor\n"
                          "               NAME.asc                   ASCII grid\n"
                          "Results:       RES_log.raw + RES_log.txt, RES_log.bmp or RES_log.asc\n"
                          "               RES_log.xls                histogram file of the image\n"
                          "               RES_log_dem_m4.raw + RES_log_dem_m4.txt or RES_log_dem.asc,\n"
                          "               RES_dem_log.xls            log DEM and its histogram file\n"
                          "\n"
                          "Scripted use:  quarvelin < answers.txt   (one answer per word, in order;\n"
                          "               a word that is not a valid answer is asked again, and the\n"
                          "               end of the input abandons the run)\n"
                          "\n"
                          "Exit status:   0 the run completed, 1 the run failed or its input ended,\n"
                          "               2 a command-line argument was not understood.\n"
                          "\n"
                          "The manual page quarvelin(1) describes the dialogue and the files in full.\n";

} // namespace

int run_program(int argc, char **argv)
{
    if (argc > 1) {
        const std::string arg = argv[1];
        if (argc == 2 && (arg == "--help" || arg == "-h")) {
            std::fputs(usage_text, stdout);
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
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, on_signal);
    opening();
    image_saving();
    return 0;
}

#ifndef QUARVELIN_NO_MAIN
int main(int argc, char **argv)
{
    return run_program(argc, argv);
}
#endif

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
// integer is truncated toward zero. The slope and logarithm of a cell come
// from fast kernels, checked against margins so that every file is the one
// the C library's atan and log10 give on every cell (Terrain analysis). A
// model whose grids do not fit in half of the memory the process may use is
// read line by line, with the same kernels (Line by line).
//
// A run that fails prints one message, removes the temporary files of its
// results (the results are put in place only when the run is complete),
// waits for a key (except at end of input) and exits with status 1.
#include "quarvelin.h"

#include "fastmath.h"
#include "image.h"
#include "nrutil.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
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
};

// ========================================================= Words and numbers
//
// Answers, descriptor files and ASCII grids are all read as words separated
// by white space, and their numbers are read by the same two rules.

namespace {

constexpr bool blank_table_entry(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

struct BlankTable {
    bool t[256];
};

constexpr BlankTable make_blank_table()
{
    BlankTable b{};
    for (int c = 0; c < 256; c++)
        b.t[c] = blank_table_entry(c);
    return b;
}

constexpr BlankTable blank_table = make_blank_table();

// Where the digits of a number word start: "%d" and "%lf" take one '+'
// before the digits, but not "+-".
bool skip_plus(const char *&b, const char *e)
{
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-')
            return false;
    }
    return true;
}

} // namespace

bool is_blank(int c)
{
    return c >= 0 && c < 256 && blank_table.t[c];
}

bool int_word(const char *b, const char *e, int &value)
{
    if (!skip_plus(b, e))
        return false;
    int v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e)
        return false;
    value = v;
    return true;
}

namespace {

// The common decimal numbers (up to 19 digits, an exponent within 22 of the
// point) read at once: the digits make an integer m, and when m is at most
// 2^53 the value m x 10^k or m / 10^k is one exactly rounded operation on
// exact operands, the correctly rounded value of the number (as
// std::from_chars gives it). Returns where the number ends in [b, e), or
// null when what starts at b is not such a number (from_chars reads it).
// With `ended`, a byte that is no digit, point, sign or exponent letter
// stands at e, so that the loops need not look for e.
template <bool ended = false>
const char *short_decimal(const char *b, const char *e, double &value)
{
    static constexpr double powers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    auto more = [&] { return ended || b != e; };
    auto digit = [&] { return more() && static_cast<unsigned char>(*b - '0') <= 9; };
    const bool negative = more() && *b == '-';
    b += negative;
    uint64_t m = 0;
    int digits = 0, scale = 0;
    for (; digit(); b++, digits++)
        m = m * 10 + static_cast<uint64_t>(*b - '0');
    if (more() && *b == '.')
        for (b++; digit(); b++, digits++, scale--)
            m = m * 10 + static_cast<uint64_t>(*b - '0');
    if (digits == 0 || digits > 19)
        return nullptr;
    if (more() && (*b == 'e' || *b == 'E')) {
        b++;
        const bool minus = more() && *b == '-';
        b += more() && (*b == '-' || *b == '+');
        if (!digit())
            return nullptr;
        int x = 0;
        for (; digit() && x < 1000; b++)
            x = x * 10 + (*b - '0');
        scale += minus ? -x : x;
    }
    if (m > (uint64_t(1) << 53) || scale < -22 || scale > 22)
        return nullptr;
    double v = static_cast<double>(m);
    v = scale < 0 ? v / powers[-scale] : v * powers[scale];
    value = negative ? -v : v;
    return b;
}

} // namespace

NumberWord real_word(const char *b, const char *e, double &value)
{
    if (!skip_plus(b, e))
        return word_not_number;
    if (short_decimal(b, e, value) == e)
        return word_number;
    double v = 0.0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (p != e || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return word_not_number;
    if (ec != std::errc() || !std::isfinite(v))
        return word_out_of_range;
    value = v;
    return word_number;
}

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

// The first number of a text file, or -1 when there is none ("max", say).
double number_in_file(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return -1.0;
    double v = -1.0;
    if (std::fscanf(f, "%lf", &v) != 1)
        v = -1.0;
    std::fclose(f);
    return v;
}

// The value of `key` (in kB) in a /proc file of "key: value kB" lines.
double proc_kb(const char *path, const char *key)
{
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return -1.0;
    char line[256];
    double v = -1.0;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
            v = std::strtod(line + n + 1, nullptr) * 1024.0;
            break;
        }
    std::fclose(f);
    return v;
}

} // namespace

double cgroup_room(const std::string &proc_cgroup, const std::string &cgroup_root)
{
    // "0::/path" is the group of a unified hierarchy; "N:memory:/path" that
    // of a memory controller of its own. Each group up to the root may set
    // a limit of its own, and the least room left counts.
    FILE *f = std::fopen(proc_cgroup.c_str(), "r");
    if (f == nullptr)
        return -1.0;
    double room = -1.0;
    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const size_t c1 = text.find(':'), c2 = text.find(':', c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos)
            continue;
        const std::string controllers = text.substr(c1 + 1, c2 - c1 - 1);
        std::string group = text.substr(c2 + 1);
        const bool unified = controllers.empty();
        if (!unified && controllers.find("memory") == std::string::npos)
            continue;
        const std::string base = unified ? cgroup_root : cgroup_root + "/memory";
        for (;;) {
            const std::string dir = base + group;
            const double limit = number_in_file(dir + (unified ? "/memory.max" : "/memory.limit_in_bytes"));
            const double used = number_in_file(dir + (unified ? "/memory.current" : "/memory.usage_in_bytes"));
            if (limit >= 0.0 && limit < 1e18) {
                const double left = limit - std::max(used, 0.0);
                room = room < 0.0 ? left : std::min(room, left);
            }
            if (group.empty() || group == "/")
                break;
            const size_t slash = group.rfind('/');
            group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
        }
    }
    std::fclose(f);
    return room;
}

double usable_memory()
{
    double room = proc_kb("/proc/meminfo", "MemAvailable");
    if (room < 0.0) {
        struct sysinfo si;
        if (sysinfo(&si) == 0)
            room = (static_cast<double>(si.freeram) + static_cast<double>(si.bufferram)) * si.mem_unit;
    }
    const double group = cgroup_room("/proc/self/cgroup", "/sys/fs/cgroup");
    if (group >= 0.0)
        room = room < 0.0 ? group : std::min(room, group);
    struct rlimit rl;
    if (getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
        const double left = static_cast<double>(rl.rlim_cur) - std::max(proc_kb("/proc/self/status", "VmSize"), 0.0);
        room = room < 0.0 ? left : std::min(room, left);
    }
    return room < 0.0 ? HUGE_VAL : std::max(room, 0.0);
}

namespace {

// Terminal settings saved while a key is awaited, restored on every way out.
termios saved_tty;
volatile sig_atomic_t tty_changed = 0;

// Paths of output files opened and not yet finished (at most a handful).
constexpr int max_pending = 16;
char *pending[max_pending];
volatile sig_atomic_t pending_count = 0;

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

// Every signal whose default action ends the program and that a user, a
// script or the system sends to a run: an interrupt (Ctrl-C, Ctrl-\), a
// hang-up, a termination, a closed pipe, an alarm and the two user signals.
const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};

// The ending signals are held back while the list of files to remove
// changes, so that the handler never misses a file made and not yet listed.
// Holds nest; `fail` lets them go at once.
sigset_t signals_before_hold;
int hold_depth = 0;

void hold_signals()
{
    if (hold_depth++ > 0)
        return;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ending_signals)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &signals_before_hold);
}

void release_signals(bool all = false)
{
    if (hold_depth == 0 || (--hold_depth > 0 && !all))
        return;
    hold_depth = 0;
    sigprocmask(SIG_SETMASK, &signals_before_hold, nullptr);
}

} // namespace

InputStatus open_input(const std::string &path, FILE *&f)
{
    // Opened without waiting, so that a FIFO is refused instead of waited
    // on; what was opened is then looked at before anything is read.
    f = nullptr;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENAMETOOLONG ? input_too_long : errno == ENOENT ? input_absent : input_unreadable;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return input_not_regular;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return input_unreadable;
    }
    return input_ok;
}

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
    return int_word(word.data(), word.data() + word.size(), value);
}

bool parse_real_word(const std::string &word, double &value)
{
    return real_word(word.data(), word.data() + word.size(), value) == word_number;
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

namespace {

// Whether no answer was read yet from a stream that cannot tell its place
// (a pipe, a terminal).
bool answers_begun;

// The next answer; the first of the input without the byte-order mark
// (EF BB BF) that some editors put at the very start of a text file.
bool next_answer(FILE *in, std::string &word)
{
    const long at = std::ftell(in);
    const bool at_start = at == 0 || (at < 0 && !answers_begun);
    answers_begun = true;
    const int first = at_start ? std::getc(in) : EOF;
    if (first != EOF)
        std::ungetc(first, in);
    if (!next_word(in, word))
        return false;
    if (first == 0xEF && word.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        word.erase(0, 3);
        if (word.empty())
            return next_word(in, word);
    }
    return true;
}

} // namespace

std::string ask_word()
{
    std::fflush(stdout);
    std::string w;
    if (!next_answer(answers, w))
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
//
// A result is written to a temporary file beside the file it replaces and
// put in place only when the run has completed: a run that fails, is
// abandoned or is interrupted leaves every earlier result as it was, and a
// result is never seen half-written, not even by a run writing the same
// name at the same time. The temporaries are the files to remove on every
// way out, a signal included.

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

void catch_signals()
{
    // A signal ignored from the start (a run under nohup) stays ignored.
    for (int sig : ending_signals) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_IGN)
            std::signal(sig, on_signal);
    }
    // Beyond the file-size limit a write fails (EFBIG) as on a full disk,
    // and the run says so, instead of dying of the signal.
    std::signal(SIGXFSZ, SIG_IGN);
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
    release_signals(true);
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

[[noreturn]] void cannot_create(const std::string &path, int err)
{
    if (err == ENAMETOOLONG)
        fail(strf("\n\tFile %s: the name is too long for the system\n", path.c_str()));
    fail(strf("\n\tFile %s cannot be created\n", path.c_str()));
}

// An output file being written: the name it was created under, the file it
// replaces (that name, or the file a symbolic link of that name leads to)
// and the temporary it is written to, empty when it is written directly.
// With `at_close`, it is put in place as soon as it is closed.
struct Output {
    std::string name, target, temp;
    bool at_close;
};
std::vector<Output> outputs;

// The file that writing to `path` replaces: the end of its symbolic links,
// which need not exist yet. An errno value when there is none.
int output_target(const std::string &path, std::string &target)
{
    target = path;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0)
            return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(st.st_mode))
            return 0;
        std::vector<char> link(static_cast<size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1);
        const ssize_t n = readlink(target.c_str(), link.data(), link.size() - 1);
        if (n < 0)
            return errno;
        const std::string to(link.data(), static_cast<size_t>(n));
        const size_t slash = target.rfind('/');
        target = (!to.empty() && to[0] == '/') || slash == std::string::npos ? to : target.substr(0, slash + 1) + to;
    }
    return ELOOP;
}

// Opens an output file for writing: a temporary beside the file it will
// replace, listed for removal. A device or a FIFO of that name is written
// directly, and never removed.
FILE *create_output(const std::string &path, const char *mode, bool at_close = false)
{
    std::string target;
    if (const int err = output_target(path, target); err != 0)
        cannot_create(path, err);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        cannot_create(path, errno);
    // A directory, or a file the user may not replace, is left alone.
    if (exists && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && access(target.c_str(), W_OK) != 0)))
        cannot_create(path, EACCES);
    if (exists && !S_ISREG(st.st_mode)) {
        FILE *f = std::fopen(path.c_str(), mode);
        if (f == nullptr)
            cannot_create(path, errno);
        outputs.push_back({path, target, "", at_close});
        return f;
    }

    // ".NAME.XXXXXX" beside it, the name cut so as to fit the system's limit.
    const size_t slash = target.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string temp = target.substr(0, base) + "." + target.substr(base, 200) + ".XXXXXX";
    hold_signals();
    const int fd = mkstemp(temp.data());
    const int err = errno;
    if (fd >= 0)
        file_started(temp);
    release_signals();
    if (fd < 0)
        cannot_create(path, err);
    // A new file takes the permissions of the umask; a file replaced keeps
    // its own.
    mode_t perm = st.st_mode & 0777;
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        perm = 0666 & ~mask;
    }
    fchmod(fd, perm);
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        close(fd);
        cannot_create(path, errno);
    }
    outputs.push_back({path, target, temp, at_close});
    return f;
}

// Puts output k in place of the file it replaces.
void commit_output(size_t k)
{
    const Output o = outputs[k];
    outputs.erase(outputs.begin() + static_cast<std::ptrdiff_t>(k));
    if (o.temp.empty())
        return;
    hold_signals();
    const bool moved = std::rename(o.temp.c_str(), o.target.c_str()) == 0;
    if (moved)
        file_done(o.temp);
    release_signals();
    if (!moved)
        cannot_write(o.name);
}

// Puts every finished output in place, together, once the run is complete.
void commit_outputs()
{
    hold_signals();
    while (!outputs.empty())
        commit_output(0);
    release_signals();
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
    for (size_t k = 0; k < outputs.size(); k++)
        if (outputs[k].name == path && outputs[k].at_close) {
            commit_output(k);
            break;
        }
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

void progress(const char *fmt, int i)
{
    std::printf(fmt, i);
    std::fflush(stdout);
}

} // namespace

// ========================================================= Terrain formulas

namespace {

// The gradient of the window around column 1 of z0, z1, z2 (the lines
// above, at and below the cell): Horn's weighted sums, each over 8 times the
// cell size, and the root of the sum of their squares.
//
// The sums are made term by term, window line by window line and column by
// column, from 0.0; the zero weights add nothing and are left out.
// Floating-point addition is not associative: any other order or grouping
// changes the last bit of some slopes, and a last bit can move a grey tone
// or a log DEM value. Only exactly rounded operations are used, so a loop of
// this function is vectorised without changing a bit.
inline double window_gradient(const double *z0, const double *z1, const double *z2, double p)
{
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
    pentx = pentx / cc * p; // divided by 8 first, then by the cell size
    penty = penty / cc * p;
    const double pent = pentx * pentx + penty * penty;
    return std::sqrt(pent);
}

const double pi = std::atan(1.0) * 4.0;

inline double degrees(double angle)
{
    return angle * 180.0 / pi; // times 180 first, then over pi
}

// The plain slope of a gradient: the C library's arc tangent, in degrees.
inline double plain_slope(double g)
{
    return degrees(std::atan(g));
}

} // namespace

double window_slope(const double *z0, const double *z1, const double *z2, double p)
{
    return plain_slope(window_gradient(z0, z1, z2, p));
}

double log_of_slope(double pen)
{
    return std::log10(pen + 1.0);
}

namespace {

// The plain logarithm of a gradient.
inline double plain_log(double g)
{
    return log_of_slope(plain_slope(g));
}

} // namespace

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

// ============================================================ Line by line
//
// A run holds every grid of its model when they need at most half of what
// this process may really use; a larger model is read line by line, with
// the same per-line kernels, the same console text and the same files. The
// slope pass reads the model once for the ranges, then each result pass
// reads it again: a raw model from its own file, an ASCII grid from a
// temporary file of its elevations that its reader wrote beside it (removed
// from the folder as soon as it is made, so that no end of the program can
// leave it behind).

bool line_by_line;

namespace {

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

// The lines every run works in: a line of gradients and of slopes + 1 for
// the kernels, one of stored cells for the raw reader, and for a run line by
// line the three elevation lines around the current one (z_line: which model
// line each holds, or -1) and one line of each result.
struct Work {
    int cols = -1;
    double *g, *x, *slope, *lg, *z[3];
    int z_line[3];
    unsigned char *tone;
    int *val, *cells;
    unsigned short *cells16;
};
Work work;

// The temporary file of an ASCII model's elevations, nb_col doubles a line,
// and the file position of each model source, to seek only when needed.
FILE *elevations;
int64_t source_at = -1;

void release_work()
{
    for (double *d : {work.g, work.x, work.slope, work.lg, work.z[0], work.z[1], work.z[2]})
        frdvecteur(d);
    frucvecteur(work.tone);
    frivecteur(work.val);
    frivecteur(work.cells);
    frusvecteur(work.cells16);
    work = Work{};
}

// The line buffers for nb_col columns; false when memory refuses them.
bool ready_work()
{
    if (work.cols == nb_col)
        return true;
    release_work();
    work.cols = nb_col;
    if (nb_col <= 0)
        return true;
    bool ok = true;
    for (double **d : {&work.g, &work.x, &work.slope, &work.lg, &work.z[0], &work.z[1], &work.z[2]})
        ok &= (*d = dvecteur(nb_col)) != nullptr;
    ok &= (work.tone = ucvecteur(nb_col)) != nullptr;
    ok &= (work.val = ivecteur(nb_col)) != nullptr;
    ok &= (work.cells = ivecteur(nb_col)) != nullptr;
    ok &= (work.cells16 = usvecteur(nb_col)) != nullptr;
    work.z_line[0] = work.z_line[1] = work.z_line[2] = -1;
    if (!ok)
        release_work();
    return ok;
}

} // namespace

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

bool decide_run(int bytes_per_cell)
{
    const double usable = usable_memory();
    const char *forced = std::getenv("QUARVELIN_LINE_BY_LINE");
    if (forced != nullptr && *forced != '\0') {
        line_by_line = std::strcmp(forced, "0") != 0;
    } else {
        const double cells = static_cast<double>(nb_lig) * static_cast<double>(std::max(nb_col, 0));
        const double need = cells * bytes_per_cell + static_cast<double>(nb_lig) * sizeof(void *) * 6.0;
        line_by_line = need > usable / 2.0;
    }
    // Memory is promised before it is used: a line buffer that the machine
    // cannot hold would be granted and kill the run once touched.
    constexpr double work_bytes_per_column = 7 * sizeof(double) + 1 + 2 * sizeof(int) + sizeof(unsigned short);
    if (work_bytes_per_column * std::max(nb_col, 0) > usable)
        return false;
    return ready_work();
}

bool open_elevations()
{
    source_at = -1;
    if (elevations != nullptr) // a file of an earlier model: emptied
        return std::fseek(elevations, 0, SEEK_SET) == 0 && ftruncate(fileno(elevations), 0) == 0;
    const size_t slash = nomim1.rfind('/');
    std::string name = (slash == std::string::npos ? std::string() : nomim1.substr(0, slash + 1)) + ".quarvelin-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    unlink(name.c_str());
    elevations = fdopen(fd, "w+b");
    if (elevations == nullptr)
        close(fd);
    source_at = -1;
    return elevations != nullptr;
}

bool fall_back_to_lines()
{
    // An ASCII model's elevations were read at some cost: they are kept.
    if (format == 0 && dtab_in != nullptr && nb_col > 0) {
        if (!open_elevations())
            return false;
        for (int i = 0; i < nb_lig; i++)
            if (std::fwrite(dtab_in[i], sizeof(double), static_cast<size_t>(nb_col), elevations) !=
                static_cast<size_t>(nb_col))
                return false;
    }
    release_grids();
    line_by_line = true;
    return true;
}

namespace {

// A grid of the whole run; when memory refuses it, the run goes on line by
// line. False then.
template <typename T>
bool grid_or_lines(T **&grid, T **(*alloc)(int, int))
{
    bool refused = false;
    grid = try_grid(alloc, refused);
    if (!refused)
        return true;
    if (!fall_back_to_lines())
        no_memory();
    return false;
}

// Model line i in metres, into the slot i % 3 of the three lines kept (the
// lines around any line fall into different slots).
const double *model_line(int i)
{
    const int slot = i % 3;
    double *z = work.z[slot];
    if (work.z_line[slot] == i)
        return z;
    const size_t n = static_cast<size_t>(nb_col);
    FILE *f = format == 0 ? elevations : f1;
    const int64_t width = format == 0 ? 8 : raw_forms[itype].bytes;
    const int64_t at = static_cast<int64_t>(i) * nb_col * width;
    bool ok = at == source_at || fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
    if (format == 0) {
        ok = ok && std::fread(z, 8, n, f) == n;
    } else if (itype == 0) {
        ok = ok && std::fread(work.cells16, 2, n, f) == n;
        from_little_endian(work.cells16, nb_col);
        for (size_t j = 0; j < n; j++)
            z[j] = static_cast<double>(work.cells16[j]) / coef;
    } else {
        ok = ok && std::fread(work.cells, 4, n, f) == n;
        from_little_endian(work.cells, nb_col);
        for (size_t j = 0; j < n; j++)
            z[j] = static_cast<double>(work.cells[j]) / coef;
    }
    if (!ok)
        fail(strf("\n\tFile %s could not be read\n", nomim1.c_str()));
    source_at = at + static_cast<int64_t>(n) * width;
    work.z_line[slot] = i;
    return z;
}

} // namespace

// ===================================================== Raw raster and descriptor

int read_descriptor(FILE *f, int v[6], bool *refused)
{
    // Each word is read whole and must be a whole number: "343." or "2.5"
    // is not read as 343 or 2. A word longer than any number is no number.
    if (refused != nullptr)
        *refused = false;
    int n = 0;
    while (n < 6) {
        int c;
        do
            c = std::getc(f);
        while (c != EOF && is_blank(c));
        if (c == EOF)
            break;
        char word[64];
        size_t len = 0;
        bool too_long = false;
        for (; c != EOF && !is_blank(c); c = std::getc(f)) {
            if (len < sizeof word)
                word[len++] = static_cast<char>(c);
            else
                too_long = true;
        }
        int x = 0;
        if (too_long || !int_word(word, word + len, x)) {
            if (refused != nullptr)
                *refused = true;
            break;
        }
        v[n++] = x;
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

void ask_unit()
{
    do {
        std::fputs("\n\n\tAre these values\n\t\t0 ====> in meters", stdout);
        std::fputs("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters", stdout);
        std::fputs("\n\t\t3 ====> in millimeters\n\t\t", stdout);
    } while (!ask_int(dyn_scale) || dyn_scale < 0 || dyn_scale > 3);
}

// Stored value / factor = metres, for the units metres, decimetres,
// centimetres and millimetres (the answer dyn_scale is the index).
const double unit_factors[4] = {1.0, 10.0, 100.0, 1000.0};

} // namespace

RawStatus raw_read(FILE *f, int &min, int &max, int64_t &found)
{
    const int64_t cells = static_cast<int64_t>(nb_lig) * nb_col;
    found = std::max<int64_t>(file_size(f), 0) / raw_forms[itype].bytes;
    if (found < cells)
        return raw_too_short;
    if (!decide_run(raw_run_bytes_per_cell))
        return raw_no_memory;

    min = stored_min_start;
    max = stored_max_start;
    // A run line by line reads the stored values here only for their range.
    if (!line_by_line)
        grid_or_lines(itab_in, imatrice);
    const size_t n = static_cast<size_t>(std::max(nb_col, 0));
    RawStatus status = raw_ok;
    for (int i = 0; i < nb_lig && n > 0 && status == raw_ok; i++) {
        int *row = itab_in != nullptr ? itab_in[i] : work.cells;
        if (itype == 0) {
            // 16-bit cells go through one line of their own, read as they
            // are stored and widened without sign (FF FF is 65535).
            if (std::fread(work.cells16, 2, n, f) != n)
                status = raw_unreadable;
            from_little_endian(work.cells16, nb_col);
            for (size_t j = 0; j < n; j++)
                row[j] = work.cells16[j];
        } else {
            if (std::fread(row, 4, n, f) != n)
                status = raw_unreadable;
            from_little_endian(row, nb_col);
        }
        for (size_t j = 0; j < n; j++) {
            if (row[j] < min)
                min = row[j];
            if (row[j] > max)
                max = row[j];
        }
    }
    if (status != raw_ok) {
        frimatrice(itab_in, n > 0 ? nb_lig : 0);
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
        fail(strf("\n\tFile %s could not be read\n", nomim1.c_str()));
    case raw_no_memory:
        no_memory();
    }
    std::printf("\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);

    ask_unit();
    coef = unit_factors[dyn_scale];
    // The elevations in metres, stored value / coef, are made line by line
    // as the slopes reach them (pendientes).
    if (!line_by_line && grid_or_lines(dtab_in, dmatrice))
        grid_or_lines(dtab_slope, dmatrice);

    // A descriptor the dialogue created gets the range and the cell size.
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
    char *buf; // block_size bytes
    size_t pos, len;
    bool eof;
    int64_t consumed; // bytes of the file before buf[0]
};

constexpr size_t block_size = size_t(1) << 20;

// The blocks of the readers and writers of text, one of each at a time:
// made with the program, so that no allocation can fail on the way.
char read_block[block_size + 1]; // and a 0 after what was read
char text_block[block_size + 64];

bool refill(WordReader &r)
{
    if (r.eof)
        return false;
    if (r.pos > 0) {
        std::memmove(r.buf, r.buf + r.pos, r.len - r.pos);
        r.consumed += static_cast<int64_t>(r.pos);
        r.len -= r.pos;
        r.pos = 0;
    }
    const size_t got = std::fread(r.buf + r.len, 1, block_size - r.len, r.f);
    r.buf[r.len + got] = '\0'; // no number goes on past it
    r.len += got;
    if (got == 0)
        r.eof = true;
    return got != 0;
}

// The next word as [b, e); false at the end of the file. A word longer than
// a block comes back cut to the block, which no number ever fills.
// Skips the blanks before the next word; false at the end of the file.
bool skip_blanks(WordReader &r)
{
    for (;;) {
        while (is_blank(static_cast<unsigned char>(r.buf[r.pos]))) // the 0 after the block ends it
            r.pos++;
        if (r.pos < r.len)
            return true;
        if (!refill(r))
            return false;
    }
}

bool next_grid_word(WordReader &r, const char *&b, const char *&e)
{
    if (!skip_blanks(r))
        return false;
    size_t k = r.pos;
    for (;;) {
        while (k < r.len && !is_blank(static_cast<unsigned char>(r.buf[k])))
            k++;
        if (k < r.len || r.eof)
            break;
        if (r.pos == 0 && r.len == block_size)
            break; // longer than a block
        k -= r.pos;
        refill(r);
    }
    b = r.buf + r.pos;
    e = r.buf + k;
    r.pos = k;
    return true;
}

bool grid_real(const char *b, const char *e, double &v)
{
    return real_word(b, e, v) == word_number;
}

// The next word of the body as a value: a short decimal number is read as
// the words are found; any other word, word by word (false at the end of the
// file or when it is no number).
bool next_grid_value(WordReader &r, double &v)
{
    if (!skip_blanks(r))
        return false;
    constexpr size_t longest_short = 64; // a short number is shorter
    if (r.len - r.pos < longest_short && !r.eof)
        refill(r);
    const char *b = r.buf + r.pos, *end = r.buf + r.len;
    const char *stop = short_decimal<true>(b, end, v);
    if (stop != nullptr && (stop == end ? r.eof : is_blank(static_cast<unsigned char>(*stop)))) {
        r.pos = static_cast<size_t>(stop - r.buf);
        return true;
    }
    const char *e;
    return next_grid_word(r, b, e) && grid_real(b, e, v);
}

void release_ascii_grids()
{
    frdmatrice(dtab_in, nb_col > 0 ? nb_lig : 0);
    dtab_in = nullptr;
}

} // namespace

namespace {

// The whole of a regular file mapped into memory, with a page of zeros after
// it (the 0 that ends the words); null for anything else, which is read in
// blocks.
char *map_whole(FILE *f, size_t &size, size_t &mapped)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > SIZE_MAX / 2)
        return nullptr;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size = static_cast<size_t>(st.st_size);
    mapped = (size / page + 1) * page;
    void *room = mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED)
        return nullptr;
    if (mmap(room, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fileno(f), 0) == MAP_FAILED) {
        munmap(room, mapped);
        return nullptr;
    }
    madvise(room, size, MADV_SEQUENTIAL);
    return static_cast<char *>(room);
}

AsciiStatus read_grid(WordReader &r, int &bad_line, int &bad_col);

} // namespace

AsciiStatus ascii_read(FILE *f, int &bad_line, int &bad_col)
{
    size_t size = 0, mapped = 0;
    char *whole = map_whole(f, size, mapped);
    WordReader r{f, read_block, 0, 0, false, 0};
    read_block[0] = '\0'; // nothing read yet
    if (whole != nullptr)
        r = WordReader{f, whole, 0, size, true, 0};
    const AsciiStatus st = read_grid(r, bad_line, bad_col);
    if (whole != nullptr)
        munmap(whole, mapped);
    return st;
}

namespace {

AsciiStatus read_grid(WordReader &r, int &bad_line, int &bad_col)
{
    FILE *const f = r.f;
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
        if (!next_grid_word(r, b, e) || e - b > longest_keyword)
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
            ok = int_word(b, e, nb_col) && nb_col >= 0;
            break;
        case 2:
            ok = int_word(b, e, nb_lig) && nb_lig >= 0;
            break;
        case 3:
            ok = grid_real(b, e, X_min);
            break;
        case 4:
            ok = grid_real(b, e, Y_min);
            break;
        case 5:
            // A cell size that is a number but not a finite one, or that is
            // 0, has a message of its own.
            switch (real_word(b, e, dpix_size)) {
            case word_not_number:
                return ascii_bad_header;
            case word_out_of_range:
                return ascii_bad_cellsize;
            case word_number:
                // A cell so small that its reciprocal is infinite has no
                // slopes: 0 x inf is no number.
                if (dpix_size == 0.0 || std::fabs(dpix_size) >= 2147483648.0 || !std::isfinite(1.0 / dpix_size))
                    return ascii_bad_cellsize;
            }
            break;
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
        if (!decide_run(ascii_run_bytes_per_cell))
            return ascii_no_memory;
        if (!line_by_line)
            grid_or_lines(dtab_in, dmatrice);
        // Line by line, the elevations go to a temporary file.
        if (line_by_line && !open_elevations())
            return ascii_no_temporary;
    } else if (!ready_work()) {
        return ascii_no_memory;
    }

    for (int i = 0; i < nb_lig; i++) {
        if (i > 0 && i % 100 == 0)
            progress("\tline %d                   \r", i);
        double *row = !store || nb_col <= 0 ? nullptr : dtab_in != nullptr ? dtab_in[i] : work.lg;
        for (int j = 0; j < nb_col; j++) {
            double dval;
            if (first_pending) {
                dval = first_value;
                first_pending = false;
            } else if (!next_grid_value(r, dval)) {
                bad_line = i;
                bad_col = j;
                release_ascii_grids();
                return ascii_bad_value;
            }
            if (row != nullptr)
                row[j] = dval;
        }
        if (row != nullptr && row == work.lg &&
            std::fwrite(row, sizeof(double), static_cast<size_t>(nb_col), elevations) != static_cast<size_t>(nb_col))
            return ascii_no_temporary;
    }

    pix_size = static_cast<int>(dpix_size);
    if (!line_by_line)
        grid_or_lines(dtab_slope, dmatrice);
    return ascii_ok;
}

} // namespace

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
    case ascii_no_temporary:
        fail(strf("\n\tFile %s: no temporary file can be made beside it to read it line by line\n", nomim1.c_str()));
    }
}

// ============================================================ Terrain analysis
//
// Per cell, slope = atan(g) x 180 / pi of the gradient g of its window, and
// its logarithm log10(slope + 1). Every output depends on atan and log10
// only through a truncation (a grey tone, a log DEM value) or a maximum (the
// ranges reported and stretched over). So the run computes both with the
// support library's fast kernels and decides each output from the fast value
// wherever that value lies clear of every boundary by a margin far beyond
// the kernels' error. A cell within the margin, and a cell whose gradient is
// not finite, takes the plain path: the C library's atan and log10 on that
// cell, in the order of operations of window_slope. The outputs are
// therefore exactly those of the plain path, to which a whole run can be
// switched (plain_path) as the reference.

bool plain_path;
FastStats fast_stats;

namespace {

// How far a fast value may stand from the plain one: the kernels' error is
// a few units of 2^-52 of the value (see fastmath.h); the margins are 2^-40
// of it, and for a logarithm 2^-50 more, for the rounding of slope + 1
// when the slope is nearly 0.
constexpr double slope_margin = 0x1p-40;
inline double log_margin(double lg)
{
    return lg * 0x1p-40 + 0x1p-50;
}

// The ranges take a value only when it lies strictly beyond them.
inline void extend_slope_range(double pen, double lg)
{
    if (min_pen > pen)
        min_pen = pen;
    if (max_pen < pen)
        max_pen = pen;
    if (log_min > lg)
        log_min = lg;
    if (log_max < lg)
        log_max = lg;
}

// Plain slope and logarithm of a gradient, the last cell's kept: integer
// models repeat their windows, most of all at the steepest cells.
void exact_of_gradient(SlopeSweep &w, double g, double &pen, double &lg)
{
    if (!(g == w.last_g)) {
        w.last_g = g;
        w.last_pen = plain_slope(g);
        w.last_lg = log_of_slope(w.last_pen);
        fast_stats.exact_slopes++;
    }
    pen = w.last_pen;
    lg = w.last_lg;
}

void note_bad_cell(SlopeSweep &w, int j)
{
    if (w.bad_line < 0) {
        w.bad_line = w.line;
        w.bad_col = j;
    }
}

// The loops of a fast line, each built for AVX2 too and picked once for the
// processor. They hold only exactly rounded operations, so every build gives
// the same bits.
__attribute__((target_clones("avx2", "default"))) void gradient_line(const double *z0, const double *z1,
                                                                     const double *z2, int m, double p, double *g)
{
    for (int j = 0; j < m; j++)
        g[j] = window_gradient(z0 + j, z1 + j, z2 + j, p);
}

__attribute__((target_clones("avx2", "default"))) void degrees_line(double *pen, double *x, int m)
{
    for (int j = 0; j < m; j++) {
        pen[j] = degrees(pen[j]);
        x[j] = pen[j] + 1.0;
    }
}

// Whether every gradient is finite, and the largest slope and logarithm.
// Slopes and logarithms are never negative, and non-negative doubles are in
// the order of their bits read as integers: integer maxima vectorise.
__attribute__((target_clones("avx2", "default"))) bool
line_maxima(const double *g, const double *pen, const double *lgs, int m, double &max_pen_f, double &max_lg_f)
{
    int64_t not_finite = 0, a = 0, b = 0;
    for (int j = 0; j < m; j++) {
        not_finite |= !(g[j] <= DBL_MAX);
        a = std::max(a, std::bit_cast<int64_t>(pen[j]));
        b = std::max(b, std::bit_cast<int64_t>(lgs[j]));
    }
    max_pen_f = std::bit_cast<double>(a);
    max_lg_f = std::bit_cast<double>(b);
    return not_finite == 0;
}

// Fast slopes and logarithms of the interior cells 1..n-2 of a line.
void fast_slope_line(SlopeSweep &w, const double *z0, const double *z1, const double *z2, double *slope, double *lg)
{
    const int m = nb_col - 2;
    double *g = work.g, *x = work.x;
    double *pen = slope + 1, *lgs = lg + 1;
    gradient_line(z0, z1, z2, m, w.p, g);
    fast_atan(g, pen, static_cast<size_t>(m));
    degrees_line(pen, x, m);
    fast_log10(x, lgs, static_cast<size_t>(m));
    double line_pen = 0.0, line_lg = 0.0;
    const bool finite = line_maxima(g, pen, lgs, m, line_pen, line_lg);

    // A window whose sums left the range of a double takes the plain path.
    if (!finite)
        for (int j = 0; j < m; j++)
            if (!(g[j] <= DBL_MAX)) {
                exact_of_gradient(w, g[j], pen[j], lgs[j]);
                if (std::isnan(pen[j]))
                    note_bad_cell(w, j + 1);
            }
    if (!w.ranges)
        return;

    // The largest plain slope and logarithm lie at cells whose fast value
    // is within the margins of the largest fast value so far; only those
    // cells are computed the plain way, and none when no cell of the line
    // comes near the largest so far.
    if (!finite) // maxima again, now with the plain values
        line_maxima(g, pen, lgs, m, line_pen, line_lg);
    if (line_pen < w.fast_max_pen * (1.0 - slope_margin) && line_lg < w.fast_log_max - 2.0 * log_margin(w.fast_log_max))
        return;
    for (int j = 0; j < m; j++) {
        w.fast_max_pen = std::max(w.fast_max_pen, pen[j]);
        w.fast_log_max = std::max(w.fast_log_max, lgs[j]);
        if (pen[j] >= w.fast_max_pen * (1.0 - slope_margin) ||
            lgs[j] >= w.fast_log_max - 2.0 * log_margin(w.fast_log_max)) {
            double e_pen, e_lg;
            exact_of_gradient(w, g[j], e_pen, e_lg);
            if (max_pen < e_pen)
                max_pen = e_pen;
            if (log_max < e_lg)
                log_max = e_lg;
        }
    }
}

} // namespace

void begin_slopes(SlopeSweep &w, bool ranges)
{
    if (ranges) {
        min_pen = slope_min_start;
        max_pen = slope_max_start;
        log_min = log_min_start;
        log_max = log_max_start;
    }
    w.ranges = ranges;
    w.p = 1.0 / dpix_size;
    w.fast_max_pen = w.fast_log_max = 0.0;
    w.last_g = -1.0;
    w.line = 0;
    w.bad_line = w.bad_col = -1;
    w.g_max = w.g_ref = w.threshold = 0.0;
    if (!ready_work())
        no_memory();
}

void slope_line(SlopeSweep &w, const double *z0, const double *z1, const double *z2, double *slope, double *lg)
{
    const int n = nb_col;
    const bool interior = z0 != nullptr && z2 != nullptr && n >= 3;
    if (plain_path) {
        for (int j = 0; j < n; j++) {
            // Border cells keep the slope 0 (they have no whole window).
            const bool border = !interior || j == 0 || j == n - 1;
            slope[j] = border ? 0.0 : window_slope(z0 + j - 1, z1 + j - 1, z2 + j - 1, w.p);
            lg[j] = log_of_slope(slope[j]);
            if (w.ranges) {
                if (std::isnan(slope[j]))
                    note_bad_cell(w, j);
                extend_slope_range(slope[j], lg[j]);
            }
        }
    } else if (n > 0) {
        // Border cells: slope 0 and logarithm log10(1) = 0.
        slope[0] = slope[n - 1] = lg[0] = lg[n - 1] = 0.0;
        if (w.ranges)
            extend_slope_range(0.0, 0.0);
        if (interior)
            fast_slope_line(w, z0, z1, z2, slope, lg);
        else
            for (int j = 1; j < n - 1; j++)
                slope[j] = lg[j] = 0.0;
        fast_stats.cells += n;
    }
    w.line++;
}

void end_slopes(const SlopeSweep &w)
{
    (void)w;
    log_dif = log_max - log_min;
}

double cell_log(const double *z0, const double *z1, const double *z2, int j)
{
    if (z0 == nullptr || z2 == nullptr || j <= 0 || j >= nb_col - 1)
        return log_of_slope(0.0); // a border cell
    return log_of_slope(window_slope(z0 + j - 1, z1 + j - 1, z2 + j - 1, 1.0 / dpix_size));
}

namespace {

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

// After a new largest gradient: the gradients at or above the threshold may
// hold the largest plain slope or logarithm (their plain values lie within
// twice the margins of the largest gradient's); no gradient below it does.
void set_candidate_threshold(SlopeSweep &w)
{
    w.g_ref = w.g_max;
    const double pen = plain_slope(w.g_ref), lg = plain_log(w.g_ref);
    w.threshold = std::min(gradient_reaching(plain_slope, pen - 2.0 * slope_margin * pen),
                           gradient_reaching(plain_log, lg - 2.0 * log_margin(lg)));
}

// The largest of m non-negative doubles (their bits in the order of their
// values); a gradient that is not finite makes it inf or NaN.
__attribute__((target_clones("avx2", "default"))) double largest(const double *v, int m)
{
    int64_t a = 0;
    for (int j = 0; j < m; j++)
        a = std::max(a, std::bit_cast<int64_t>(v[j]));
    return std::bit_cast<double>(a);
}

} // namespace

void range_line(SlopeSweep &w, const double *z0, const double *z1, const double *z2)
{
    const int n = nb_col;
    if (plain_path || z0 == nullptr || z2 == nullptr || n < 3) {
        slope_line(w, z0, z1, z2, work.slope, work.lg);
        return;
    }
    extend_slope_range(0.0, 0.0); // the border cells
    const int m = n - 2;
    double *g = work.g;
    gradient_line(z0, z1, z2, m, w.p, g);
    fast_stats.cells += n;
    w.line++;
    if (largest(g, m) < w.threshold)
        return; // no cell of the line comes near the largest so far
    for (int j = 0; j < m; j++) {
        double pen, lg;
        if (!(g[j] <= DBL_MAX)) { // sums beyond the range of a double
            exact_of_gradient(w, g[j], pen, lg);
            if (std::isnan(pen))
                note_bad_cell(w, j + 1);
            extend_slope_range(pen, lg);
            continue;
        }
        if (g[j] < w.threshold)
            continue;
        if (g[j] > w.g_max) {
            w.g_max = g[j];
            // The threshold follows the largest gradient by steps of 10 %:
            // below it, more cells than needed are done the plain way.
            if (w.g_max > 1.1 * w.g_ref)
                set_candidate_threshold(w);
            if (g[j] < w.threshold)
                continue;
        }
        exact_of_gradient(w, g[j], pen, lg);
        extend_slope_range(pen, lg);
    }
}

void begin_tones(ToneEdges &t)
{
    t.flat = !(log_dif > 0.0);
    t.scale = t.flat ? 0.0 : tone_limit / log_dif;
    t.edge[0] = -HUGE_VAL;
    t.edge[256 - 1] = HUGE_VAL;
    if (t.flat)
        return;
    // The tone is a non-decreasing function of the logarithm (each step of
    // the stretch is), so the smallest logarithm of each tone is found by
    // halving the interval between log_min (tone 0) and log_max (tone 254).
    for (int k = 1; k <= static_cast<int>(tone_limit); k++) {
        uint64_t below = ordered_key(log_min), at = ordered_key(log_max);
        while (at - below > 1) {
            const uint64_t mid = below + (at - below) / 2;
            if (grey_tone(from_ordered_key(mid), log_min, log_dif) >= k)
                at = mid;
            else
                below = mid;
        }
        t.edge[k] = from_ordered_key(at);
    }
}

void tone_line(const ToneEdges &t, const double *z0, const double *z1, const double *z2, const double *lg,
               unsigned char *tone)
{
    const int n = nb_col;
    if (plain_path || t.flat) {
        for (int j = 0; j < n; j++)
            tone[j] = static_cast<unsigned char>(grey_tone(lg[j], log_min, log_dif));
        return;
    }
    for (int j = 0; j < n; j++) {
        __builtin_prefetch(lg + j + 64); // the logarithms come from memory, not the cache
        const double l = lg[j], m = log_margin(l);
        const double f = (l - log_min) * t.scale;
        const int k = f <= 0.0 ? 0 : f >= tone_limit ? static_cast<int>(tone_limit) : static_cast<int>(f);
        tone[j] = static_cast<unsigned char>(k);
        // The tone is k for every logarithm within the margin of this one
        // only when the whole margin lies between the edges of tone k.
        if (!(t.edge[k] <= l - m && l + m < t.edge[k + 1])) {
            tone[j] = static_cast<unsigned char>(grey_tone(cell_log(z0, z1, z2, j), log_min, log_dif));
            fast_stats.exact_tones++;
        }
    }
}

void log_dem_line(const double *z0, const double *z1, const double *z2, const double *lg, int *val)
{
    const int n = nb_col;
    for (int j = 0; j < n; j++) {
        const double l = lg[j];
        if (plain_path) {
            val[j] = stretch(l, log_min, log_dif, strcoef);
            continue;
        }
        // The stretch is monotone: equal at both ends of the margin, it is
        // that value all over it.
        const double m = log_margin(l);
        const int lo = stretch(l - m, log_min, log_dif, strcoef);
        if (lo == stretch(l + m, log_min, log_dif, strcoef)) {
            val[j] = lo;
        } else {
            val[j] = stretch(cell_log(z0, z1, z2, j), log_min, log_dif, strcoef);
            fast_stats.exact_dem++;
        }
    }
}

void begin_gradient_tones(GradientTones &t, const ToneEdges &e, double g_max)
{
    t.flat = e.flat;
    t.last_g = -1.0;
    if (t.flat)
        return;
    const int top = static_cast<int>(tone_limit);
    // Tone k is certain for a gradient at or above hi[k] and below lo[k + 1].
    for (int k = 1; k <= top; k++) {
        const double m = 2.0 * log_margin(e.edge[k]);
        t.lo[k] = gradient_reaching(plain_log, e.edge[k] - m);
        t.hi[k] = gradient_reaching(plain_log, e.edge[k] + m);
    }
    t.lo[0] = t.hi[0] = 0.0;
    t.lo[top + 1] = t.hi[top + 1] = HUGE_VAL;

    // Buckets of gradients, by the leading bits of a gradient, between lo[1]
    // and the largest gradient of the model: each holds its tone when the
    // whole bucket lies within one tone's certain span, else 255.
    const double upper = std::min(t.hi[top], std::max(g_max, t.lo[1]));
    const uint64_t first = std::bit_cast<uint64_t>(t.lo[1]), last = std::bit_cast<uint64_t>(upper);
    t.shift = 0;
    while (((last >> t.shift) - (first >> t.shift)) >= GradientTones::buckets - 1)
        t.shift++;
    t.first = first >> t.shift;
    int k = 0;
    for (uint64_t b = 0; b < GradientTones::buckets; b++) {
        const double g0 = std::bit_cast<double>((t.first + b) << t.shift);
        const double g1 = std::bit_cast<double>((t.first + b + 1) << t.shift);
        while (k < top && t.hi[k + 1] <= g0)
            k++;
        t.bucket[b] = g0 >= t.hi[k] && g1 <= t.lo[k + 1] ? static_cast<unsigned char>(k) : 255;
    }
}

namespace {

// The tone of a gradient: from its bucket, else from the edges, else (near
// an edge) the plain way.
inline int tone_of_gradient(GradientTones &t, double g)
{
    const int top = static_cast<int>(tone_limit);
    if (g < t.lo[1])
        return 0;
    if (g >= t.hi[top])
        return top;
    const uint64_t b = (std::bit_cast<uint64_t>(g) >> t.shift) - t.first;
    if (b < GradientTones::buckets && t.bucket[b] != 255)
        return t.bucket[b];
    int k = 0;
    for (int step = 128; step > 0; step /= 2)
        if (k + step <= top && t.hi[k + step] <= g)
            k += step;
    if (g < t.lo[k + 1] && g <= DBL_MAX)
        return k;
    if (!(g == t.last_g)) {
        t.last_g = g;
        t.last_tone = grey_tone(plain_log(g), log_min, log_dif);
        fast_stats.exact_tones++;
    }
    return t.last_tone;
}

} // namespace

void gradient_tone_line(GradientTones &t, const double *z0, const double *z1, const double *z2, unsigned char *tone)
{
    const int n = nb_col;
    if (plain_path || t.flat || z0 == nullptr || z2 == nullptr || n < 3) {
        for (int j = 0; j < n; j++)
            tone[j] = static_cast<unsigned char>(grey_tone(cell_log(z0, z1, z2, j), log_min, log_dif));
        return;
    }
    const int m = n - 2;
    gradient_line(z0, z1, z2, m, 1.0 / dpix_size, work.g);
    tone[0] = tone[n - 1] = static_cast<unsigned char>(tone_of_gradient(t, 0.0)); // border cells
    for (int j = 0; j < m; j++)
        tone[j + 1] = static_cast<unsigned char>(tone_of_gradient(t, work.g[j]));
}

namespace {

// Elevation line i in metres, made from the stored values of a raw model.
void metres_line(int i)
{
    const int *src = itab_in[i];
    double *dst = dtab_in[i];
    for (int j = 0; j < nb_col; j++)
        dst[j] = static_cast<double>(src[j]) / coef;
}

// Elevation line i, and the lines around it (null beyond the model).
inline const double *at(int i)
{
    return dtab_in != nullptr && i >= 0 && i < nb_lig ? dtab_in[i] : nullptr;
}
inline const double *above(int i)
{
    return at(i - 1);
}
inline const double *below(int i)
{
    return at(i + 1);
}

} // namespace

namespace {

// The grey-tone edges of the ranges, for the passes that make tones.
ToneEdges tone_edges;

// The gradient tones of the ranges and the largest gradient of the model,
// for the tones of a run line by line.
GradientTones gradient_tones;
double gradient_max;

// Every line of a model read line by line, from the last line up when
// `backwards`: before(i), then after(i, z0, z1, z2) with the elevation
// lines around it.
template <typename Before, typename After>
void line_pass(bool backwards, Before before, After after)
{
    source_at = -1; // every pass starts with a seek
    for (int k = 0; k < nb_lig; k++) {
        const int i = backwards ? nb_lig - 1 - k : k;
        before(i);
        if (nb_col <= 0)
            continue;
        const double *z1 = model_line(i);
        const double *z0 = i > 0 ? model_line(i - 1) : nullptr;
        const double *z2 = i + 1 < nb_lig ? model_line(i + 1) : nullptr;
        after(i, z0, z1, z2);
    }
}

// The progress line of the slopes, for the interior lines 100, 200, ...
void slope_progress(int i)
{
    if (i > 0 && i < nb_lig - 1 && i % 100 == 0)
        progress("\tline %d                 \r", i);
}

} // namespace

void pendientes()
{
    SlopeSweep w;
    begin_slopes(w, true);
    if (!line_by_line && dtab_out == nullptr)
        grid_or_lines(dtab_out, dmatrice);
    std::fputs("\n", stdout);
    if (line_by_line) {
        line_pass(false, slope_progress,
                  [&](int, const double *z0, const double *z1, const double *z2) { range_line(w, z0, z1, z2); });
        gradient_max = w.g_max;
    } else {
        for (int i = 0; i < nb_lig; i++) {
            slope_progress(i);
            if (nb_col <= 0)
                continue; // a model of no columns has no lines to point at
            // The elevations of a raw model are made in metres as the slopes
            // reach them, while the line is still in the cache.
            if (itab_in != nullptr) {
                if (i == 0)
                    metres_line(0);
                if (i + 1 < nb_lig)
                    metres_line(i + 1);
            }
            slope_line(w, above(i), dtab_in[i], below(i), dtab_slope[i], dtab_out[i]);
        }
    }
    end_slopes(w);
    if (w.bad_line >= 0)
        fail(strf("\n\tFile %s: the elevations around line %d, column %d are too large for a slope\n", nomim1.c_str(),
                  w.bad_line, w.bad_col));
}

void treatment()
{
    begin_tones(tone_edges);
    // The log DEM grid is filled only when a log DEM is written; until then
    // its pages are not touched.
    if (line_by_line || !grid_or_lines(tab_out, ucmatrice) || !grid_or_lines(itab_out, imatrice)) {
        // The tones are made as the image is written. A run that fell back
        // to its lines has no largest gradient: it takes the largest slope's.
        if (gradient_max == 0.0)
            gradient_max = std::tan(max_pen * pi / 180.0) * 2.0 + 1.0;
        begin_gradient_tones(gradient_tones, tone_edges, gradient_max);
        return;
    }
    for (int i = 0; i < nb_lig && nb_col > 0; i++)
        tone_line(tone_edges, above(i), at(i), below(i), dtab_out[i], tab_out[i]);
}

namespace {

// The grey tones of every line in turn (from the last line up when
// `backwards`): before(i), then use(i, tones). From the grid of a whole run,
// or made line by line.
template <typename Before, typename Use>
void each_tone_line(bool backwards, Before before, Use use)
{
    if (!line_by_line) {
        for (int k = 0; k < nb_lig; k++) {
            const int i = backwards ? nb_lig - 1 - k : k;
            before(i);
            if (nb_col > 0)
                use(i, tab_out[i]);
        }
        return;
    }
    line_pass(backwards, before, [&](int i, const double *z0, const double *z1, const double *z2) {
        gradient_tone_line(gradient_tones, z0, z1, z2, work.tone);
        use(i, work.tone);
    });
}

// The log DEM values of every line in order: before(i), then use(i, values),
// the grid itab_out of a whole run filled on the way.
template <typename Before, typename Use>
void each_dem_line(Before before, Use use)
{
    if (!line_by_line) {
        for (int i = 0; i < nb_lig; i++) {
            before(i);
            if (nb_col <= 0)
                continue;
            log_dem_line(above(i), at(i), below(i), dtab_out[i], itab_out[i]);
            use(i, itab_out[i]);
        }
        return;
    }
    SlopeSweep w;
    begin_slopes(w, false);
    line_pass(false, before, [&](int i, const double *z0, const double *z1, const double *z2) {
        slope_line(w, z0, z1, z2, work.slope, work.lg);
        log_dem_line(z0, z1, z2, work.lg, work.val);
        use(i, work.val);
    });
}

} // namespace

// ============================================================ Result output

namespace {

// Text of the body of an ASCII grid, gathered into large blocks: one
// formatted print per cell would dominate the run.
struct TextBlock {
    FILE *f;
    const std::string *path;
    char *buf; // text_block
    size_t len;
};

void flush_text(TextBlock &t)
{
    write_block(t.f, t.buf, t.len, *t.path);
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

// The body of an ASCII grid, a line at a time: "%d\t" after every cell, no
// line break at all.
template <typename T>
void append_ascii_line(TextBlock &t, const T *row)
{
    const ToneTexts &tt = tone_texts();
    for (int j = 0; j < nb_col; j++) {
        if (t.len > block_size)
            flush_text(t);
        char *out = t.buf + t.len;
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

// The progress line of the ASCII writers, for the lines 100, 200, ...
void writer_progress(int i)
{
    if (i > 0 && i % 100 == 0)
        progress("\tline %d              \r", i);
}

void no_progress(int)
{}

void write_image()
{
    if (output == 0) {
        write_descriptor(f2d, nomdescr2, 1, 255);
        each_tone_line(false, no_progress, [](int, const unsigned char *tones) {
            write_block(f2, tones, static_cast<size_t>(nb_col), nomim2);
        });
        close_output(f2, nomim2);
        close_output(f2d, nomdescr2);
    } else if (output == 1) {
        // 8-bit grey bitmap, its lines stored bottom-up.
        if (EcritEnteteBMP(f2, nb_col, nb_lig, 0, nullptr) != 0)
            cannot_write(nomim2);
        each_tone_line(true, no_progress, [](int, const unsigned char *tones) {
            if (EcritLigneBMP(f2, tones, nb_col, 0) != 0)
                cannot_write(nomim2);
        });
        close_output(f2, nomim2);
    } else if (output == 2) {
        write_ascii_header(f2, nomim2);
        TextBlock t{f2, &nomim2, text_block, 0};
        std::fputs("\n", stdout);
        each_tone_line(false, writer_progress, [&](int, const unsigned char *tones) { append_ascii_line(t, tones); });
        flush_text(t);
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
    close_output(f3h, nomhisto);
    if (dem_result == 0)
        close_output(f2h, nomhisto2);
}

void write_log_dem()
{
    if (!ready_work())
        no_memory();
    if (dem_type == 0) {
        write_descriptor(f3d, nomdescr3, 4, static_cast<int>(strcoef));
        each_dem_line(no_progress, [](int, const int *val) {
            // 32-bit two's complement, least significant byte first.
            std::memcpy(work.cells, val, static_cast<size_t>(nb_col) * sizeof(int));
            from_little_endian(work.cells, nb_col); // the same turn both ways
            write_block(f3, work.cells, static_cast<size_t>(nb_col) * 4, nomim3);
        });
        close_output(f3, nomim3);
        close_output(f3d, nomdescr3);
    } else if (dem_type == 1) {
        write_ascii_header(f3, nomim3);
        TextBlock t{f3, &nomim3, text_block, 0};
        std::fputs("\n", stdout);
        each_dem_line(writer_progress, [&](int, const int *val) { append_ascii_line(t, val); });
        flush_text(t);
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
    commit_outputs();
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
        if (parse_int_word(w, v) && v >= least)
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
        std::fputs("\n\n\tGeneric name of the resulting file ? ", stdout);
        const std::string generic = folder + ask_word();
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

// Opens the model nomim1 as f1; `unknown` is the message of a model that
// does not exist or cannot be opened.
void open_model(const char *unknown)
{
    switch (open_input(nomim1, f1)) {
    case input_ok:
        return;
    case input_absent:
    case input_unreadable:
        fail(strf(unknown, nomim1.c_str()));
    case input_too_long:
        fail(strf("\n\tFile %s: the name is too long for the system\n", nomim1.c_str()));
    case input_not_regular:
        fail(strf("\n\tFile %s is not a regular file\n", nomim1.c_str()));
    }
}

void open_raw_model()
{
    do
        std::fputs("\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t", stdout);
    while (!ask_int(itype) || itype < 0 || itype > 1);

    nomdescr1 = nomim1 + raw_forms[itype].descriptor;
    nomim1 += raw_forms[itype].raster;

    open_model("\n File %s unknown\n");

    switch (open_input(nomdescr1, f1d)) {
    case input_ok:
    case input_absent:
        break;
    case input_unreadable:
        fail(strf("\n\tFile %s could not be read\n", nomdescr1.c_str()));
    case input_too_long:
        fail(strf("\n\tFile %s: the name is too long for the system\n", nomdescr1.c_str()));
    case input_not_regular:
        fail(strf("\n\tFile %s is not a regular file\n", nomdescr1.c_str()));
    }
    if (f1d != nullptr) {
        int val = 0;
        int v[6] = {nb_lig, nb_col, val, mind, maxd, pix_size};
        bool refused = false;
        const int count = read_descriptor(f1d, v, &refused);
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
    } else {
        std::printf("\n\tNo File %s \n\n", nomdescr1.c_str());
        // An input file, put in place once the model was read (dem_lecture).
        f1d = create_output(nomdescr1, "w", true);
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
    open_model("\n\tFile %s unknown\n");
    ascii_lecture();
    std::fputs("\n", stdout);
}

// Creates the result file of `role` for the generic name as `f` and names it.
void open_result(const std::string &generic, ResultRole role, std::string &name, FILE *&f)
{
    name = generic + result_files[role].suffix;
    f = create_output(name, result_files[role].mode);
}

void open_outputs(const std::string &generic)
{
    open_result(generic, result_histogram, nomhisto, f3h);

    std::fputs("\n\toutput file format : ", stdout);
    do
        std::fputs("\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t2 ====> ascii\n\t\t", stdout);
    while (!ask_int(output) || output < 0 || output > 2);
    if (output == 0) {
        open_result(generic, result_raw_image, nomim2, f2);
        open_result(generic, result_raw_image_descriptor, nomdescr2, f2d);
    }
    if (output == 1)
        open_result(generic, result_bitmap, nomim2, f2);
    if (output == 2) {
        if (!open_ascii_OK)
            ask_coordinates();
        open_result(generic, result_ascii_image, nomim2, f2);
    }

    do {
        std::fputs("\n\tSave the result as a Digital Elevation Model:", stdout);
        std::fputs("\n\tNote: gray tones result from a stretching", stdout);
        std::fputs(yes_no, stdout);
    } while (!ask_int(dem_result) || dem_result < 0 || dem_result > 1);
    if (dem_result != 0)
        return;

    open_result(generic, result_dem_histogram, nomhisto2, f2h);
    do {
        std::fputs("\n\tType of DEM:", stdout);
        std::fputs("\n\t\t0 ====> raster (integer 4 with extension _m4.raw)", stdout);
        std::fputs("\n\t\t1 ====> ascii\n\t\t", stdout);
    } while (!ask_int(dem_type) || dem_type < 0 || dem_type > 1);
    if (dem_type == 0) {
        open_result(generic, result_raw_dem, nomim3, f3);
        open_result(generic, result_raw_dem_descriptor, nomdescr3, f3d);
    }
    if (dem_type == 1) {
        if (!open_ascii_OK)
            ask_coordinates();
        open_result(generic, result_ascii_dem, nomim3, f3);
    }

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
    treatment();
    std::fputs("\n\n\tLogarithmic Treatment ", stdout);
    std::fputs("\n\n\tDynamic Scale in:", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", min_pen, max_pen);
    std::fputs("\n\n\tLogarithmic scale: ", stdout);
    std::printf("\n\t\tMin = %lf\tMax = %lf ", log_min, log_max);

    open_outputs(ask_result_name(folder));
}

// ================================================================== Entry

namespace {

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
    catch_signals();
    const char *plain = std::getenv("QUARVELIN_PLAIN");
    plain_path = plain != nullptr && *plain != '\0' && std::strcmp(plain, "0") != 0;
    opening();
    image_saving();
    return 0;
}


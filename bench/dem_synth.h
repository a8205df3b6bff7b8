// Synthetic terrain for the benchmarks: the same elevations, bit for bit, on
// every machine and with every standard library.
//
// The relief is a sum of products of one-dimensional sine waves (so each cell
// costs a handful of multiplications once the row and column factors are
// tabulated), plus a small noise term drawn from an integer hash of the cell
// position. The sines come from our own polynomial over an integer phase, not
// from the maths library, and no random-number distribution is used: nothing
// here depends on how a library rounds.
//
// Elevations are whole decimetres, roughly 450 m to 1350 m; cell size 25 m.
//
// The other relief, Plane, is an inclined plane of whole decimetres: every
// interior cell has the same slope (in metres, up to the last bits of the
// elevations), the largest of the model.
#ifndef QUARVELIN_BENCH_DEM_SYNTH_H
#define QUARVELIN_BENCH_DEM_SYNTH_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace synth {

constexpr int cell_size_m = 25;

// sin(2 pi k / 2^32). The phase is reduced to a quarter turn exactly (integer
// operations), then a Taylor polynomial of degree 17 on [0, pi/2] is evaluated
// with plain additions and multiplications: error below 1e-13.
inline double sin_turn(uint32_t k)
{
    const uint32_t quarter = 1u << 30;
    const unsigned quadrant = k >> 30;
    uint32_t r = k & (quarter - 1);
    if (quadrant & 1u)
        r = quarter - r; // mirror inside the half turn
    const double x = static_cast<double>(r) * (6.283185307179586 / 4294967296.0);
    const double x2 = x * x;
    // Horner form of x - x^3/3! + x^5/5! - ... - x^15/15! + x^17/17!
    double p = 1.0 / 355687428096000.0; // 1/17!
    p = p * x2 - 1.0 / 1307674368000.0; // 1/15!
    p = p * x2 + 1.0 / 6227020800.0;    // 1/13!
    p = p * x2 - 1.0 / 39916800.0;      // 1/11!
    p = p * x2 + 1.0 / 362880.0;        // 1/9!
    p = p * x2 - 1.0 / 5040.0;          // 1/7!
    p = p * x2 + 1.0 / 120.0;           // 1/5!
    p = p * x2 - 1.0 / 6.0;             // 1/3!
    p = p * x2 + 1.0;
    const double s = p * x;
    return (quadrant & 2u) ? -s : s;
}

// Phase step of a wave of `cells` cells per period, and a phase offset given
// in turns.
inline uint32_t step(unsigned cells)
{
    return static_cast<uint32_t>(4294967296.0 / cells + 0.5);
}
inline uint32_t turns(double t)
{
    return static_cast<uint32_t>(t * 4294967296.0 + 0.5);
}
constexpr uint32_t quarter_turn = 1u << 30; // cos(a) = sin(a + quarter)

// Integer hash of a cell (finaliser of a 32-bit mixing function).
inline uint32_t cell_hash(uint32_t i, uint32_t j)
{
    uint32_t h = i * 0x9E3779B1u ^ (j + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

class Terrain {
  public:
    Terrain(int lines, int columns) : lines_(lines), columns_(columns)
    {
        // term: amplitude (m), line wave (cells, phase, cos?), column wave.
        struct Wave {
            unsigned cells;
            double phase;
            bool cosine;
        };
        struct Term {
            double amp;
            Wave li, co;
        };
        // The second and third terms together are 120 sin((i + j)/240 + 0.1):
        // ridges running across the grid diagonally.
        static const Term terms[nterms] = {
            {250.0, {800, 0.00, false}, {1100, 0.00, true}}, {120.0, {240, 0.10, false}, {240, 0.00, true}},
            {120.0, {240, 0.10, true}, {240, 0.00, false}},  {60.0, {70, 0.30, true}, {90, 0.70, false}},
            {20.0, {23, 0.00, false}, {31, 0.20, false}},
        };
        auto table = [](int n, const Wave &w, double amp) {
            std::vector<double> t(static_cast<size_t>(n));
            const uint32_t st = step(w.cells);
            const uint32_t ph = turns(w.phase) + (w.cosine ? quarter_turn : 0u);
            for (int k = 0; k < n; ++k)
                t[static_cast<size_t>(k)] = amp * sin_turn(static_cast<uint32_t>(k) * st + ph);
            return t;
        };
        for (int t = 0; t < nterms; ++t) {
            row_[t] = table(lines, terms[t].li, terms[t].amp);
            col_[t] = table(columns, terms[t].co, 1.0);
        }
    }

    int lines() const { return lines_; }
    int columns() const { return columns_; }

    // Elevations of line i in decimetres.
    void line_dm(int i, int32_t *out) const
    {
        const size_t ii = static_cast<size_t>(i);
        for (int j = 0; j < columns_; ++j) {
            const size_t jj = static_cast<size_t>(j);
            double z = 900.0;
            for (int t = 0; t < nterms; ++t)
                z += row_[t][ii] * col_[t][jj];
            // Noise of -15..+15 dm.
            const int noise =
                static_cast<int>(cell_hash(static_cast<uint32_t>(i), static_cast<uint32_t>(j)) % 31u) - 15;
            out[j] = static_cast<int32_t>(std::floor(z * 10.0 + 0.5)) + noise;
        }
    }

  private:
    static constexpr int nterms = 5;
    int lines_, columns_;
    std::vector<double> row_[nterms], col_[nterms];
};

// An inclined plane: 100 m at line 0, column 0, rising 3 dm a line and 4 dm
// a column (a slope of 1.15 degrees at 25 m cells), or 1 dm each way when
// that would pass the 16-bit range.
class Plane {
  public:
    Plane(int lines, int columns) : columns_(columns)
    {
        if (1000.0 + 3.0 * (lines - 1) + 4.0 * (columns - 1) > 65535.0)
            a_ = b_ = 1;
    }
    void line_dm(int i, int32_t *out) const
    {
        for (int j = 0; j < columns_; ++j)
            out[j] = 1000 + a_ * i + b_ * j;
    }

  private:
    int columns_;
    int32_t a_ = 3, b_ = 4;
};

// The relief `write_model` writes.
enum Relief { hills, plane };

// Which input forms `write_model` writes.
enum Forms { raw_form = 1, ascii_form = 2, both_forms = 3 };

struct ModelInfo {
    int min_dm = 0, max_dm = 0;
    std::string error; // empty on success
};

namespace detail {
// A file written through our own large block, so one fwrite moves megabytes.
class BlockWriter {
  public:
    explicit BlockWriter(const std::string &path) : path_(path), buf_(8u << 20) { f_ = std::fopen(path.c_str(), "wb"); }
    ~BlockWriter()
    {
        if (f_)
            std::fclose(f_);
    }
    bool ok() const { return f_ != nullptr && !failed_; }
    // Room for at least n more bytes; returns where to write them.
    char *reserve(size_t n)
    {
        if (used_ + n > buf_.size())
            flush();
        if (n > buf_.size())
            buf_.resize(n);
        return buf_.data() + used_;
    }
    void commit(size_t n) { used_ += n; }
    void flush()
    {
        if (f_ && used_ && std::fwrite(buf_.data(), 1, used_, f_) != used_)
            failed_ = true;
        used_ = 0;
    }
    bool close()
    {
        flush();
        if (f_ && std::fclose(f_) != 0)
            failed_ = true;
        f_ = nullptr;
        return !failed_;
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    std::vector<char> buf_;
    size_t used_ = 0;
    std::FILE *f_ = nullptr;
    bool failed_ = false;
};

// Decimal digits of v (any sign) at p; returns the end.
inline char *put_int(char *p, long v)
{
    char tmp[24];
    int n = 0;
    unsigned long u = v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *p++ = '-';
    while (n)
        *p++ = tmp[--n];
    return p;
}
} // namespace detail

// Writes <dir>/<base>_m2.raw and <dir>/<base>_m2.txt (16-bit little-endian
// decimetres and their descriptor) and/or <dir>/<base>.asc (metres, one
// decimal), all from one pass over the terrain (a Terrain or a Plane).
template <typename Source>
ModelInfo write_model_of(const Source &terrain, const std::string &dir, const std::string &base, int lines, int columns,
                         Forms forms)
{
    ModelInfo info;
    const std::string stem = dir + "/" + base;
    const bool want_raw = forms & raw_form, want_asc = forms & ascii_form;
    detail::BlockWriter raw(want_raw ? stem + "_m2.raw" : std::string());
    detail::BlockWriter asc(want_asc ? stem + ".asc" : std::string());
    if (want_raw && !raw.ok()) {
        info.error = "cannot create " + raw.path();
        return info;
    }
    if (want_asc && !asc.ok()) {
        info.error = "cannot create " + asc.path();
        return info;
    }
    if (want_asc) {
        char *p = asc.reserve(256);
        const int n = std::snprintf(p, 256,
                                    "ncols %d\nnrows %d\nxllcorner 500000.0\nyllcorner 4000000.0\n"
                                    "cellsize %d\nnodata_value -9999\n",
                                    columns, lines, cell_size_m);
        asc.commit(static_cast<size_t>(n));
    }
    std::vector<int32_t> z(static_cast<size_t>(columns));
    int lo = 0, hi = 0;
    for (int i = 0; i < lines; ++i) {
        terrain.line_dm(i, z.data());
        for (int j = 0; j < columns; ++j) {
            const int v = z[static_cast<size_t>(j)];
            if ((i == 0 && j == 0) || v < lo)
                lo = v;
            if ((i == 0 && j == 0) || v > hi)
                hi = v;
        }
        if (lo < 0 || hi > 65535) {
            info.error = "elevation out of the 16-bit range";
            return info;
        }
        if (want_raw) {
            const size_t n = 2u * static_cast<size_t>(columns);
            unsigned char *p = reinterpret_cast<unsigned char *>(raw.reserve(n));
            for (int j = 0; j < columns; ++j) {
                const unsigned v = static_cast<unsigned>(z[static_cast<size_t>(j)]);
                p[2 * j] = static_cast<unsigned char>(v & 0xFFu);
                p[2 * j + 1] = static_cast<unsigned char>(v >> 8);
            }
            raw.commit(n);
        }
        if (want_asc) {
            // At most 13 bytes a value: sign, ten digits, point, one decimal
            // (and the blank or the end of line).
            char *const start = asc.reserve(14u * static_cast<size_t>(columns) + 1);
            char *p = start;
            for (int j = 0; j < columns; ++j) {
                const long v = z[static_cast<size_t>(j)];
                const long whole = v / 10, tenth = v % 10;
                if (v < 0 && whole == 0)
                    *p++ = '-';
                p = detail::put_int(p, whole);
                *p++ = '.';
                *p++ = static_cast<char>('0' + (tenth < 0 ? -tenth : tenth));
                *p++ = (j + 1 < columns) ? ' ' : '\n';
            }
            asc.commit(static_cast<size_t>(p - start));
        }
    }
    info.min_dm = lo;
    info.max_dm = hi;
    if (want_raw) {
        if (!raw.close()) {
            info.error = "write error on " + raw.path();
            return info;
        }
        const std::string dpath = stem + "_m2.txt";
        std::FILE *d = std::fopen(dpath.c_str(), "w");
        bool written = d != nullptr;
        if (d) {
            written = std::fprintf(d, "%d\n%d\n2\n%d\n%d\n%d\n", lines, columns, lo, hi, cell_size_m) > 0;
            written = std::fclose(d) == 0 && written;
        }
        if (!written) {
            info.error = "cannot write " + dpath;
            return info;
        }
    }
    if (want_asc && !asc.close()) {
        info.error = "write error on " + asc.path();
        return info;
    }
    return info;
}

// The same, of the hills or of the plane.
inline ModelInfo write_model(const std::string &dir, const std::string &base, int lines, int columns,
                             Forms forms = both_forms, Relief relief = hills)
{
    if (relief == plane)
        return write_model_of(Plane(lines, columns), dir, base, lines, columns, forms);
    return write_model_of(Terrain(lines, columns), dir, base, lines, columns, forms);
}

} // namespace synth

#endif

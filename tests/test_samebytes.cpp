// The same bytes on every platform: whole runs on the cases where two
// libraries' atan and log10 used to part (a log DEM to 2^31 - 1, an ASCII
// grid with CR LF line ends, a 32-bit model of negative values) write files
// whose digest was made on Linux, and the Windows build checks the same
// digests under Wine. Where GNU MPFR is at hand, the histogram rows of the
// log DEM are those of its correctly rounded atan and log10.
#include "fastmath.h"
#include "support.h"

#include <cmath>
#include <sstream>
#ifdef QUARVELIN_HAVE_MPFR
#include <mpfr.h>
#endif

using namespace qtest;

namespace {

// A rough relief in decimetres: many distinct gradients, several near the
// steepest.
std::vector<int64_t> relief(int lines, int cols, int64_t base)
{
    std::vector<int64_t> z;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            z.push_back(base + (i * 131 + j * 71) % 389 + (i * j) % 97 - ((i + 2 * j) % 13) * 31);
    return z;
}

struct Case {
    const char *name;
    bool ascii;      // an ASCII grid with CR LF line ends, else a 32-bit raw model
    int64_t base;    // the lowest elevations, in decimetres
    const char *sum; // the digest of every result file, made on Linux
};
void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

const int lines = 47, cols = 53;

class SameBytes : public ::testing::TestWithParam<Case> {};

// Every result file, name and bytes, in one digest.
std::string digest_of(const Site &s, const std::string &model)
{
    std::string all;
    for (const auto &[name, bytes] : s.contents())
        if (!name.starts_with(model))
            all += name + '\0' + bytes + '\0';
    return fnv1a(all);
}

#ifdef QUARVELIN_HAVE_MPFR
// MPFR's correctly rounded log10 of x, as a double.
double mpfr_log10_of(double x)
{
    mpfr_t v;
    mpfr_init2(v, 53);
    mpfr_set_d(v, x, MPFR_RNDN);
    mpfr_log10(v, v, MPFR_RNDN);
    const double r = mpfr_get_d(v, MPFR_RNDN);
    mpfr_clear(v);
    return r;
}

// The histogram rows of a log DEM to `limit` of the elevations z (metres),
// from MPFR's atan and log10, in the program's order of operations.
std::string reference_rows(const std::vector<double> &z, double cell, double limit)
{
    const double pi = 0x1.921fb54442d18p+1;
    double max_pen = 0.0;
    std::vector<double> g(cols - 2);
    for (size_t i = 1; i + 1 < lines; i++) {
        line_gradients(&z[(i - 1) * cols], &z[i * cols], &z[(i + 1) * cols], cols - 2, 1.0 / cell, g.data());
        for (double x : g) {
            mpfr_t v;
            mpfr_init2(v, 53);
            mpfr_set_d(v, x, MPFR_RNDN);
            mpfr_atan(v, v, MPFR_RNDN);
            max_pen = std::max(max_pen, mpfr_get_d(v, MPFR_RNDN) * 180.0 / pi);
            mpfr_clear(v);
        }
    }
    std::string rows;
    const double top = mpfr_log10_of(max_pen + 1.0);
    const long rows_count = static_cast<long>(static_cast<long double>(max_pen) * 10.0L); // exact, then truncated
    double pen = 0.0;
    for (long k = 0; k < rows_count; k++) {
        rows += strf("%lf\t%lf\n", pen, mpfr_log10_of(pen + 1.0) / top * limit);
        pen = pen + 0.1;
    }
    mpfr_free_cache();
    return rows;
}
#endif

} // namespace

TEST_P(SameBytes, EveryPlatformWritesTheFilesOfLinux)
{
    const Case &c = GetParam();
    const std::vector<int64_t> dm = relief(lines, cols, c.base);
    Site s;
    std::string answers;
    if (c.ascii) {
        std::string text = "ncols " + std::to_string(cols) + "\r\nnrows " + std::to_string(lines) +
                           "\r\nxllcorner 500000\r\nyllcorner 4000000\r\ncellsize 30\r\nNODATA_value -9999\r\n";
        for (size_t k = 0; k < dm.size(); k++)
            text += strf("%.1f", static_cast<double>(dm[k]) / 10.0) + ((k + 1) % cols == 0 ? "\r\n" : " ");
        s.write("m.asc", text);
        answers = "1 site m 0 res 0 0 0 2147483647\n";
    } else {
        s.put_raw("m", 1, dm, descriptor_text({lines, cols, 4, 0, 0, 30}));
        answers = "1 site m 1 1 1 res 2 500000 4000000 0 1 2147483647\n";
    }
    const Outcome r = s.run(answers);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(digest_of(s, "m"), c.sum);
#ifdef QUARVELIN_HAVE_MPFR
    std::vector<double> z;
    for (int64_t v : dm)
        z.push_back(c.ascii ? std::strtod(strf("%.1f", static_cast<double>(v) / 10.0).c_str(), nullptr)
                            : static_cast<double>(v) / 10.0);
    EXPECT_EQ(s.read("res_dem_log.xls"), reference_rows(z, 30.0, 2147483647.0));
#endif
}

INSTANTIATE_TEST_SUITE_P(Cases, SameBytes,
                         ::testing::Values(Case{"ascii_crlf", true, 1200, "e681a40dee646a31"},
                                           Case{"raw32_negative", false, -4200, "962f19db9b34b17e"}),
                         [](const ::testing::TestParamInfo<Case> &c) { return std::string(c.param.name); });

// Voids: the cells of a model equal to the no-data value its header
// declares. A cell whose 3 x 3 window holds a void has no slope and is made
// a border cell (slope 0, tone 0, log DEM value 0); the ranges, the stretch
// and the histogram files come from the terrain alone.
#include "support.h"

#include <random>
#include <sstream>

using namespace qtest;

namespace {

constexpr int64_t void_cell = -9999;

// Hills and gullies in metres, with a roughness of their own per seed.
std::vector<int64_t> terrain(int lines, int cols, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> rough(-40, 40);
    std::vector<int64_t> z;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            z.push_back(500 + (i * 37 + j * 23) % 211 + ((i / 5 + j / 7) % 3) * 90 + rough(rng));
    return z;
}

// The ASCII grid of `cells`, with 30 m cells and -9999 declared as no data.
std::string model_text(int lines, int cols, const std::vector<int64_t> &cells)
{
    return ascii_grid(grid_header({std::to_string(cols), std::to_string(lines), "500000", "4000000", "30", "-9999"}),
                      cells, static_cast<size_t>(cols));
}

// The values of an ASCII grid after its six header lines.
std::vector<double> body(const std::string &grid)
{
    std::istringstream in(grid);
    std::string line;
    for (int k = 0; k < 6 && std::getline(in, line); k++) {
    }
    std::vector<double> v;
    for (double x; in >> x;)
        v.push_back(x);
    return v;
}

// Answers: the ASCII model `name`, the image and a log DEM to 1000 as ASCII
// grids under the result name res.
std::string answers_for(const std::string &name)
{
    return "1 site " + name + " 0 res 2 0 1 1000\n";
}

// The lines of a console text from `from` up to the result name question.
std::string ranges_of(const std::string &out)
{
    const size_t a = out.find("Dynamic Scale"), b = out.find("Generic name");
    return a == std::string::npos || b == std::string::npos ? out : out.substr(a, b - a);
}

// A void layout: which cells of a lines x cols model are voids.
struct Layout {
    const char *name;
    bool (*is_void)(int i, int j, int lines, int cols, std::mt19937 &rng);
};
void PrintTo(const Layout &l, std::ostream *os)
{
    *os << l.name;
}

const Layout layouts[] = {
    {"none", [](int, int, int, int, std::mt19937 &) { return false; }},
    {"scattered", [](int, int, int, int, std::mt19937 &rng) { return rng() % 23 == 0; }},
    {"dense", [](int, int, int, int, std::mt19937 &rng) { return rng() % 3 == 0; }},
    {"blocks", [](int i, int j, int, int, std::mt19937 &) { return (i / 6 + j / 5) % 4 == 1; }},
    {"whole_lines", [](int i, int, int, int, std::mt19937 &) { return i % 9 == 4 || i == 0; }},
    {"whole_columns", [](int, int j, int, int cols, std::mt19937 &) { return j % 8 == 3 || j == cols - 1; }},
    {"checkerboard", [](int i, int j, int, int, std::mt19937 &) { return (i + j) % 2 == 0; }},
    {"clipped_border",
     [](int i, int j, int lines, int cols, std::mt19937 &) {
         const int di = 2 * i - lines, dj = 2 * j - cols;
         return di * di + dj * dj > lines * cols;
     }},
    {"all", [](int, int, int, int, std::mt19937 &) { return true; }},
};

} // namespace

// A frame of voids around a model gives, inside the frame, the tones and log
// DEM values of the model alone, zeros on the frame, the same ranges and the
// same histogram files: its cells next to the frame are border cells.
TEST(Voids, AFrameOfVoidsGivesTheModelInside)
{
    const int lines = 40, cols = 37;
    const std::vector<int64_t> inside = terrain(lines, cols, 7);
    std::vector<int64_t> framed;
    for (int i = -1; i <= lines; i++)
        for (int j = -1; j <= cols; j++)
            framed.push_back(i < 0 || j < 0 || i == lines || j == cols ? void_cell
                                                                       : inside[static_cast<size_t>(i * cols + j)]);
    Site plain_site, framed_site;
    plain_site.write("m.asc", model_text(lines, cols, inside));
    framed_site.write("m.asc", model_text(lines + 2, cols + 2, framed));
    const Outcome a = plain_site.run(answers_for("m")), b = framed_site.run(answers_for("m"));
    ASSERT_EQ(a.status, 0) << a.out;
    ASSERT_EQ(b.status, 0) << b.out;
    EXPECT_EQ(ranges_of(a.out), ranges_of(b.out));
    EXPECT_TRUE(
        contains(b.out, "\n\t       WITH " + std::to_string(2 * (lines + cols) + 4) + " VOID CELLS (NO DATA)\n"))
        << b.out;
    EXPECT_FALSE(contains(a.out, "VOID")) << a.out;
    for (const char *histogram : {"res_log.xls", "res_dem_log.xls"})
        EXPECT_EQ(plain_site.read(histogram), framed_site.read(histogram)) << histogram;
    for (const char *grid : {"res_log.asc", "res_log_dem.asc"}) {
        SCOPED_TRACE(grid);
        const std::vector<double> in = body(plain_site.read(grid)), out = body(framed_site.read(grid));
        ASSERT_EQ(in.size(), inside.size());
        ASSERT_EQ(out.size(), framed.size());
        for (int i = -1; i <= lines; i++)
            for (int j = -1; j <= cols; j++) {
                const double v = out[static_cast<size_t>((i + 1) * (cols + 2) + j + 1)];
                const bool frame = i < 0 || j < 0 || i == lines || j == cols;
                EXPECT_EQ(v, frame ? 0.0 : in[static_cast<size_t>(i * cols + j)])
                    << "line " << i + 1 << " column " << j + 1;
            }
    }
}

// On every void layout, each mode and thread count writes what the plain
// path of one thread writes, and every cell whose window holds a void has
// tone 0 and log DEM value 0.
class VoidLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(VoidLayouts, EveryModeAndThreadCountWritesThePlainRunAndVoidWindowsAreZero)
{
    const int lines = 53, cols = 41;
    std::mt19937 rng(11);
    std::vector<int64_t> z = terrain(lines, cols, 3);
    std::vector<bool> is_void(z.size());
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            if (GetParam().is_void(i, j, lines, cols, rng)) {
                z[static_cast<size_t>(i * cols + j)] = void_cell;
                is_void[static_cast<size_t>(i * cols + j)] = true;
            }
    const std::string model = model_text(lines, cols, z);
    std::map<std::string, std::string> reference;
    for (const char *mode : {"plain", "grids", "lines"})
        for (const char *threads : {"1", "3"}) {
            SCOPED_TRACE(std::string(mode) + " " + threads + " threads");
            ScopedEnv plain("QUARVELIN_PLAIN", std::string(mode) == "plain" ? "1" : "0");
            ScopedEnv by_lines("QUARVELIN_LINE_BY_LINE", std::string(mode) == "lines" ? "1" : "0");
            ScopedEnv count("QUARVELIN_THREADS", threads);
            Site s;
            s.write("m.asc", model);
            const Outcome r = s.run(answers_for("m"));
            ASSERT_EQ(r.status, 0) << r.out;
            std::map<std::string, std::string> files = s.contents();
            files["console"] = ranges_of(r.out);
            if (reference.empty())
                reference = files;
            EXPECT_EQ(files, reference);
        }
    for (const char *grid : {"res_log.asc", "res_log_dem.asc"}) {
        SCOPED_TRACE(grid);
        const std::vector<double> v = body(reference[grid]);
        ASSERT_EQ(v.size(), z.size());
        for (int i = 1; i + 1 < lines; i++)
            for (int j = 1; j + 1 < cols; j++) {
                bool touches = false;
                for (int di = -1; di <= 1; di++)
                    for (int dj = -1; dj <= 1; dj++)
                        touches = touches || is_void[static_cast<size_t>((i + di) * cols + j + dj)];
                if (touches) {
                    EXPECT_EQ(v[static_cast<size_t>(i * cols + j)], 0.0) << "line " << i << " column " << j;
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Voids, VoidLayouts, ::testing::ValuesIn(layouts),
                         [](const ::testing::TestParamInfo<Layout> &l) { return std::string(l.param.name); });

// A raw model's voids are the cells equal to the data ignore value of the
// header beside it, with the model's values in decimetres: it writes the
// files of the ASCII grid of the same elevations in metres and the same
// voids, and says how many cells are voids; without the header it has none.
TEST(Voids, ARawModelTakesItsVoidsFromItsHeader)
{
    const int lines = 30, cols = 26;
    std::vector<int64_t> metres = terrain(lines, cols, 5), stored;
    int64_t voids = 0;
    for (size_t k = 0; k < metres.size(); k++) {
        if (k % 7 == 3 || (k / cols >= 10 && k / cols < 13)) {
            metres[k] = void_cell;
            voids++;
        }
        stored.push_back(metres[k] == void_cell ? 0 : metres[k] * 10);
    }
    Site ascii, raw, bare;
    ascii.write("m.asc", model_text(lines, cols, metres));
    const std::string header = "ENVI\nsamples = " + std::to_string(cols) + "\nlines = " + std::to_string(lines) +
                               "\nbands = 1\ndata type = 12\nbyte order = 0\ndata ignore value = 0\n";
    for (const Site *s : {&raw, &bare}) {
        s->put_raw("m", 0, stored, descriptor_text({lines, cols, 2, 0, 0, 30}));
        if (s == &raw)
            s->write("m_m2.hdr", header);
    }
    const Outcome a = ascii.run(answers_for("m"));
    ASSERT_EQ(a.status, 0) << a.out;
    const std::string raw_answers = "1 site m 1 0 1 res 2 500000 4000000 0 1 1000\n";
    const Outcome r = raw.run(raw_answers), b = bare.run(raw_answers);
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(b.status, 0) << b.out;
    const std::string told = "WITH " + std::to_string(voids) + " VOID CELLS (NO DATA)\n";
    EXPECT_TRUE(contains(r.out, told)) << r.out;
    EXPECT_FALSE(contains(b.out, "VOID")) << b.out;
    EXPECT_EQ(ranges_of(a.out), ranges_of(r.out));
    for (const char *name : {"res_log.xls", "res_dem_log.xls"})
        EXPECT_EQ(ascii.read(name), raw.read(name)) << name;
    for (const char *grid : {"res_log.asc", "res_log_dem.asc"})
        EXPECT_EQ(body(ascii.read(grid)), body(raw.read(grid))) << grid;
}

// Whole runs of the built program: the Jacksboro DEM through a whole
// dialogue in every output form, its console text compared byte for byte
// with the transcripts in tests/data/expected; a small worked example whose
// tones are known; results read back as models; descriptors created from the
// typed answers. Every one is run four ways that must give the same console
// text and files: holding every grid, line by line, and each of these
// through the plain path alone; a run under a small address-space limit
// reads its model line by line, and one whose grids are refused halfway
// goes on line by line.
//
// QUARVELIN_RECORD=1 rewrites the transcripts from the current program, and
// every test that rewrites one fails: a recording run never passes. A
// rewritten transcript must be read against the dialogue's texts before it
// is kept: it is only as right as the program that printed it.
#include "room.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

using namespace qtest;

namespace {

void check_transcript(const Site &s, const Outcome &r, const std::string &name)
{
    const fs::path expected = fs::path(QUARVELIN_TRANSCRIPTS) / (name + ".txt");
    const std::string text = s.portable(r.out);
    // A recording run writes the transcript and fails, so that it can
    // never pass by comparing the program with itself.
    if (std::getenv("QUARVELIN_RECORD") != nullptr) {
        write_file(expected, text);
        FAIL() << "recorded " << expected << ": read it against the dialogue, then run the tests without "
               << "QUARVELIN_RECORD";
    }
    ASSERT_TRUE(fs::exists(expected)) << expected;
    EXPECT_EQ(text, read_file(expected)) << "console text differs from " << expected;
}

// The rows of a histogram file: 10 per degree of the largest slope, the
// first at slope 0, every one "%lf\t%lf\n".
void check_histogram(const std::string &text, int rows, const std::string &last_slope)
{
    EXPECT_EQ(static_cast<int>(count(text, "\n")), rows);
    EXPECT_TRUE(text.starts_with("0.000000\t0.000000\n"));
    const size_t last = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_EQ(text.substr(last, last_slope.size() + 1), last_slope + "\t");
}

// The Jacksboro DEM of the sample in both input forms, and its descriptor.
const std::vector<std::string> jacksboro_files = {"jacksboro.asc", "jacksboro_m2.raw", "jacksboro_m2.txt"};
const std::string jacksboro_descriptor = "343\n324\n2\n2425\n10722\n90\n";

struct Jacksboro {
    const char *transcript;
    std::string answers;
    double x_min, y_min;                     // the lower-left corner the run knows (0, 0: none)
    const std::vector<std::string> &results; // files made by the run, sorted
};

// The sidecars that place a result for a GIS, read as a GIS reads them: a
// header of "key = value" lines beside a raw raster (its size, cell type,
// layout and the upper-left corner with the cell size in its map info), the
// six numbers of a world file beside a bitmap (the cell across, two
// rotations, the cell down, the centre of the upper-left cell). A header of
// a model whose place is not known has no map info.
void check_sidecar(const std::string &name, const std::string &text, bool placed, double x_min, double y_min)
{
    const double cell = 90.0, top = y_min + 343 * cell;
    if (name.ends_with(".bpw")) {
        std::istringstream in(text);
        std::vector<double> v{std::istream_iterator<double>(in), std::istream_iterator<double>()};
        EXPECT_EQ(v, (std::vector<double>{cell, 0, 0, -cell, x_min + cell / 2, top - cell / 2})) << name;
        return;
    }
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "ENVI") << name;
    while (std::getline(in, line))
        if (const size_t eq = line.find(" = "); eq != std::string::npos)
            keys[line.substr(0, eq)] = line.substr(eq + 3);
    const char *const type = name.find("dem") != std::string::npos ? "3" : "1";
    const std::pair<const char *, const char *> expected[] = {
        {"samples", "324"},  {"lines", "343"},      {"bands", "1"},     {"header offset", "0"},
        {"data type", type}, {"interleave", "bsq"}, {"byte order", "0"}};
    for (const auto &[key, value] : expected)
        EXPECT_EQ(keys[key], value) << key;
    EXPECT_EQ(keys.count("map info"), placed ? 1u : 0u) << name;
    if (!placed)
        return;
    std::string map = keys["map info"];
    std::replace(map.begin(), map.end(), ',', ' ');
    std::istringstream fields(map.substr(1, map.size() - 2));
    std::string projection;
    double ref_x = 0, ref_y = 0, x = 0, y = 0, dx = 0, dy = 0;
    fields >> projection >> ref_x >> ref_y >> x >> y >> dx >> dy;
    EXPECT_EQ((std::vector<double>{ref_x, ref_y, x, y, dx, dy}), (std::vector<double>{1, 1, x_min, top, cell, cell}));
}

// Fingerprints of the results of the Jacksboro DEM (the same elevations
// from either input form give the same files, the ASCII headers aside).
const std::map<std::string, std::string> jacksboro_fnv = {
    {"res_log.raw", "7035be15bf940547"},     {"res_log.bmp", "51da39ce928ca7e4"},
    {"res_log.asc", "ad2f2225eb927f4c"},     {"res_log.xls", "5cd76221914967ad"},
    {"res_dem_log.xls", "bde72a4bf896e0fd"}, {"res_log_dem_m4.raw", "4c9474ef5813dfb0"},
    {"res_log_dem.asc", "db28e1c9b66b1a6f"},
};

// The descriptors of the raw results; the sizes of the images and log DEMs.
const std::map<std::string, std::string> jacksboro_descriptors = {{"res_log.txt", "343\n324\n1\n0\n255\n90\n"},
                                                                  {"res_log_dem_m4.txt", "343\n324\n4\n0\n1000\n90\n"}};
const std::map<std::string, size_t> jacksboro_sizes = {
    {"res_log.raw", 343u * 324u}, {"res_log_dem_m4.raw", 343u * 324u * 4u}, {"res_log.bmp", 54u + 1024u + 343u * 324u}};

struct RunMode {
    const char *name, *line_by_line, *plain;
};
// A failure names the mode instead of dumping the struct's bytes.
void PrintTo(const RunMode &mode, std::ostream *os)
{
    *os << mode.name;
}

// The mode set in the environment of every run of the test, then put back.
class WholeRuns : public ::testing::TestWithParam<RunMode> {
  protected:
    ScopedEnv line_by_line{"QUARVELIN_LINE_BY_LINE", GetParam().line_by_line},
        plain{"QUARVELIN_PLAIN", GetParam().plain};
};

INSTANTIATE_TEST_SUITE_P(Modes, WholeRuns,
                         ::testing::Values(RunMode{"grids", "0", "0"}, RunMode{"lines", "1", "0"},
                                           RunMode{"plain_grids", "0", "1"}, RunMode{"plain_lines", "1", "1"}),
                         [](const ::testing::TestParamInfo<RunMode> &mode) { return mode.param.name; });

} // namespace

TEST_P(WholeRuns, TheJacksboroDemInEveryFormPrintsTheDialogueAndWritesItsFiles)
{
    const std::vector<std::string> raw = {"res_dem_log.xls",    "res_log.hdr",       "res_log.raw",
                                          "res_log.txt",        "res_log.xls",       "res_log_dem_m4.hdr",
                                          "res_log_dem_m4.raw", "res_log_dem_m4.txt"},
                                   ascii = {"res_dem_log.xls", "res_log.asc", "res_log.xls", "res_log_dem.asc"},
                                   bitmap = {"res_log.bmp", "res_log.xls"};
    const Jacksboro runs[] = {
        {"jacksboro_raw16_raw", "1 site jacksboro 1 0 1 res 0 0 0 1000\n", 0, 0, raw},
        {"jacksboro_raw16_bitmap", "0 site jacksboro 1 0 1 res 1 1\n", 0, 0, bitmap},
        {"jacksboro_raw16_ascii", "1 site jacksboro 1 0 1 res 2 731839.2 4037456.2 0 1 1000\n", 731839.2, 4037456.2,
         ascii},
        {"jacksboro_ascii_ascii", "1 site jacksboro 0 res 2 0 1 1000\n", 731839.2, 4037456.2, ascii},
        {"jacksboro_ascii_raw", "1 site jacksboro 0 res 0 0 0 1000\n", 731839.2, 4037456.2, raw},
    };
    const std::string ascii_header = "ncols 324\nnrows 343\nxllcorner 731839.200000\nyllcorner 4037456.200000\n"
                                     "cellsize 90.000000\nnodata_value -9999.9999\n";
    for (const Jacksboro &j : runs) {
        SCOPED_TRACE(j.transcript);
        Site s;
        s.copy_sample(jacksboro_files);
        const Outcome r = s.run(j.answers);
        EXPECT_EQ(r.status, 0);
        check_transcript(s, r, j.transcript);
        // Coordinates are asked only when no ASCII input gave them, and once.
        EXPECT_EQ(count(r.out, "UTM coordinates required"), std::string(j.transcript) == "jacksboro_raw16_ascii");

        std::vector<std::string> made;
        for (const std::string &f : s.files())
            if (!f.starts_with("jacksboro"))
                made.push_back(f);
        EXPECT_EQ(made, j.results);
        EXPECT_EQ(s.read("jacksboro_m2.txt"), jacksboro_descriptor);

        for (const std::string &f : made) {
            const std::string bytes = s.read(f);
            if (jacksboro_fnv.count(f)) {
                EXPECT_EQ(fnv1a(bytes), jacksboro_fnv.at(f)) << f;
            }
            if (jacksboro_sizes.count(f)) {
                EXPECT_EQ(bytes.size(), jacksboro_sizes.at(f)) << f;
            }
            if (jacksboro_descriptors.count(f)) {
                EXPECT_EQ(bytes, jacksboro_descriptors.at(f));
            }
            if (f == "res_log.raw") { // the largest tone is 254
                EXPECT_TRUE(contains(bytes, "\xFE"));
                EXPECT_FALSE(contains(bytes, "\xFF"));
            }
            if (f == "res_log.asc" || f == "res_log_dem.asc") {
                EXPECT_TRUE(bytes.starts_with(ascii_header));
                EXPECT_EQ(count(bytes, "\t"), 343u * 324u);
                EXPECT_EQ(count(bytes, "\n"), 6u);
            }
            // Largest slope 32.214189: 322 rows, the last at 32.1.
            if (f == "res_log.xls" || f == "res_dem_log.xls")
                check_histogram(bytes, 322, "32.100000");
            if (f.ends_with(".hdr") || f.ends_with(".bpw"))
                check_sidecar(f, bytes, j.x_min != 0, j.x_min, j.y_min);
        }
    }
}

namespace {

// The worked example of the slopes: 3 lines by 5 columns, cell size 10.
const std::vector<int64_t> example_cells = {100, 100, 100, 100, 100, 100, 100, 100, 110, 130, 100, 100, 100, 120, 160};
const std::string example_descriptor = descriptor_text({3, 5, 4, 100, 160, 10});
const std::string example_header =
    "ncols 5\nnrows 3\nxllcorner 512000.000000\nyllcorner 4100000.000000\ncellsize 10.000000\n"
    "nodata_value -9999.9999\n";

void put_example(const Site &s, bool descriptor)
{
    s.put_raw("w", 1, example_cells, descriptor ? example_descriptor : "");
}

} // namespace

TEST_P(WholeRuns, TheWorkedExampleGivesItsTonesAndLogDemInEveryForm)
{
    Site s;
    put_example(s, true);

    Outcome r = s.run("1 site w 1 1 0 res 0 0 0 1000.7\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(s.read("res_log.raw"), std::string("\0\0\0\0\0\0\0\xD0\xFE\0\0\0\0\0\0", 15));
    EXPECT_EQ(s.read("res_log.txt"), "3\n5\n1\n0\n255\n10\n");
    EXPECT_EQ(s.read("res_log_dem_m4.raw"), le32({0, 0, 0, 0, 0, 0, 0, 820, 1000, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.read("res_log_dem_m4.txt"), "3\n5\n4\n0\n1000\n10\n");
    // Largest slope 62.880857: 628 rows.
    check_histogram(s.read("res_log.xls"), 628, "62.700000");
    check_histogram(s.read("res_dem_log.xls"), 628, "62.700000");

    // Both ASCII outputs: the coordinates are asked once.
    r = s.run("1 site w 1 1 0 res 2 512000 4100000 0 1 1000\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "\n\tUTM coordinates required \n\t\tX_min ? \t\tY_min ? "), 1u);
    EXPECT_EQ(s.read("res_log.asc"), example_header + "0\t0\t0\t0\t0\t0\t0\t208\t254\t0\t0\t0\t0\t0\t0\t");
    EXPECT_EQ(s.read("res_log_dem.asc"), example_header + "0\t0\t0\t0\t0\t0\t0\t819\t1000\t0\t0\t0\t0\t0\t0\t");

    // A raw image and an ASCII log DEM: the coordinates are asked for the
    // log DEM only.
    Site t;
    put_example(t, true);
    r = t.run("1 site w 1 1 0 res 0 0 1 512000 4100000 1000\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "UTM coordinates required"), 1u);
    EXPECT_EQ(t.read("res_log_dem.asc"), s.read("res_log_dem.asc"));
}

TEST_P(WholeRuns, ResultsReadBackAsModels)
{
    Site s;
    put_example(s, true);
    ASSERT_EQ(s.run("1 site w 1 1 0 res 0 0 0 1000\n").status, 0);
    ASSERT_EQ(s.run("1 site w 1 1 0 res 2 512000 4100000 0 1 1000\n").status, 0);

    // The raw log DEM, as a 32-bit model in metres.
    Outcome r = s.run("1 site res_log_dem 1 1 0 back 0 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\tHypsometric dynamic scale:\n\t\tMin = 0\n\t\tMax = 1000 ")) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\t            3 LINES\n\t        AND 5 COLUMNS\n"));
    EXPECT_FALSE(contains(r.out, "No File"));

    // The ASCII log DEM holds the same grid: the same image, and no
    // coordinate question for ASCII results.
    r = s.run("1 site res_log_dem 0 back2 0 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\t            3 LINES\n\t        AND 5 COLUMNS\n"));
    EXPECT_EQ(s.read("back2_log.raw"), s.read("back_log.raw"));
    r = s.run("1 site res_log_dem 0 back3 2 0 1 500\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "UTM coordinates"));
    EXPECT_TRUE(s.read("back3_log_dem.asc").starts_with(example_header));

    // The ASCII image, its tones as elevations; its header carries the
    // corner and cell size on.
    r = s.run("1 site res_log 0 again 2 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "UTM coordinates"));
    EXPECT_TRUE(contains(r.out, "\n\t            3 LINES\n\t        AND 5 COLUMNS\n"));
    EXPECT_TRUE(s.read("again_log.asc").starts_with(example_header));
}

TEST_P(WholeRuns, WithoutALogDemOnlyTheImageAndItsHistogramAreWritten)
{
    Site s;
    put_example(s, true);
    // Each form typed, and the files of its image (a model whose place is
    // not known gets no world file).
    const std::pair<const char *, std::vector<ResultRole>> forms[] = {
        {"0", {result_raw_image, result_raw_image_descriptor, result_raw_image_header}},
        {"1", {result_bitmap}},
        {"2 1 2", {result_ascii_image}}};
    for (const auto &[form, image] : forms) {
        SCOPED_TRACE(form);
        for (const std::string &f : s.files())
            if (!f.starts_with("w_m4."))
                fs::remove(s.folder() / f);
        const Outcome r = s.run(std::string("1 site w 1 1 0 res ") + form + " 1\n");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_FALSE(contains(r.out, "Type of DEM"));
        EXPECT_FALSE(contains(r.out, "Stretch limit"));
        EXPECT_TRUE(contains(r.out, "that corresponds to slope / normalized values of the logarithms\n"
                                    "\n\n\tProcessing completed. \n\tHit any key to exit. "));
        std::vector<std::string> expected = {result_name("res", result_histogram), "w_m4.raw", "w_m4.txt"};
        for (ResultRole role : image)
            expected.push_back(result_name("res", role));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(s.files(), expected);
    }
}

TEST_P(WholeRuns, AMissingDescriptorIsCreatedFromTheTypedAnswers)
{
    Site s;
    put_example(s, false);
    Outcome r = s.run("1 site w 1 1 3 5 10 0 res 1 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\tNo File " + s.path("w_m4.txt") +
                                    " \n\n\n\tNumber of lines   ? \n\tNumber of columns ? \n\tPixel size ? "
                                    "\n\tHypsometric dynamic scale:\n\t\tMin = 100\n\t\tMax = 160 "))
        << r.out;
    EXPECT_EQ(s.read("w_m4.txt"), example_descriptor);
    const std::string image = s.read("res_log.bmp");

    // The next run reads it, asks no dimensions and makes the same image.
    r = s.run("1 site w 1 1 0 res 1 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "No File"));
    EXPECT_FALSE(contains(r.out, "Number of lines"));
    EXPECT_EQ(s.read("w_m4.txt"), example_descriptor);
    EXPECT_EQ(s.read("res_log.bmp"), image);

    // A pixel size of 0 typed is asked again; the descriptor keeps the size
    // finally given, and a 16-bit model gets 2 as its third value.
    Site t;
    t.put_raw("w", 0, {100, 100, 100, 100, 100, 110, 100, 120, 160});
    r = t.run("1 site w 1 0 3 3 0 25 0 res 1 1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "\n\tPixel Size (in meters) ? "), 1u);
    EXPECT_EQ(t.read("w_m2.txt"), "3\n3\n2\n100\n160\n25\n");
}

// The passes of a run line by line spread bands of lines over the threads;
// 343 lines and 324 columns divide evenly among none of 2, 3 and 7 of them.
// Every number of threads prints and writes what one thread does, in every
// form of the Jacksboro DEM.
TEST(Threads, EveryNumberOfThreadsGivesTheRunOfOne)
{
    ScopedEnv lines("QUARVELIN_LINE_BY_LINE", "1");
    // A log DEM to 5 is made from its table of values (the model has
    // enough cells for each value); the plain path gives every run too.
    for (const char *answers :
         {"1 site jacksboro 1 0 1 res 1 0 0 1000\n", "1 site jacksboro 0 res 2 0 1 -700.5\n",
          "1 site jacksboro 1 0 1 res 0 0 1 731839.2 4037456.2 2147483647\n", "1 site jacksboro 1 0 1 res 1 0 0 5\n"}) {
        std::pair<std::string, std::map<std::string, std::string>> one;
        for (const char *threads : {"1", "2", "3", "7", "plain"}) {
            SCOPED_TRACE(std::string(answers) + threads + " threads");
            const bool plain = std::string(threads) == "plain";
            ScopedEnv count("QUARVELIN_THREADS", plain ? "1" : threads);
            ScopedEnv plain_env("QUARVELIN_PLAIN", plain ? "1" : "0");
            Site s;
            s.copy_sample(jacksboro_files);
            const Outcome r = s.run(answers);
            EXPECT_EQ(r.status, 0) << r.out;
            const auto run = std::make_pair(s.portable(r.out), s.contents());
            if (one.first.empty())
                one = run;
            EXPECT_EQ(run, one);
        }
    }
}

// The root of the folders: $QUARVELIN_ROOT, with a closing '/' or without,
// or "images/" under the working directory when it is not set; a path is
// printed with one '/' between the root and the folder.
TEST(Roots, TheDefaultRootAndARootEndingInASeparator)
{
    const std::string typed = "1 site w 1 1 0 res 1 1\n";
    Site plain, images("images"), slash;
    put_example(plain, true);
    const Outcome reference = plain.run(typed);
    ASSERT_EQ(reference.status, 0) << reference.out;
    const struct {
        const Site &site;
        std::vector<std::string> prefix;
        std::string printed;
    } roots[] = {
        {images,
         {"/usr/bin/env", "-u", "QUARVELIN_ROOT", "-C", images.folder().parent_path().parent_path().string()},
         std::string("images") + path_separator},
        {slash, {"/usr/bin/env", "QUARVELIN_ROOT=" + slash.root()}, slash.root()},
    };
    for (const auto &r : roots) {
        SCOPED_TRACE(r.printed);
        put_example(r.site, true);
        const Outcome o = r.site.run(typed, 5, r.prefix);
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(r.site.portable(o.out, r.printed), plain.portable(reference.out));
        EXPECT_FALSE(contains(o.out, "//")) << o.out;
        EXPECT_EQ(r.site.contents(), plain.contents());
    }
}

// A model too large for the address space that the run may use is read line
// by line; one whose grids are held by force (QUARVELIN_LINE_BY_LINE=0) goes
// on line by line when memory refuses a grid halfway, whichever it is, an
// ASCII model's elevations kept. Every such run prints and writes what a run
// without limits does, or, with no room even for its lines, says so and
// leaves nothing behind.
TEST(MemoryLimits, RunsUnderAnAddressSpaceLimitGoOnLineByLine)
{
#if defined(__SANITIZE_ADDRESS__) || defined(QUARVELIN_SANITIZE)
    GTEST_SKIP() << "the address sanitizer reserves more address space than these limits allow";
#elif defined(_WIN32)
    GTEST_SKIP() << "no address-space limit (ulimit -v) for a process on Windows; runs line by line there are "
                    "covered by Modes/WholeRuns (its lines rows), and a job object's limit by Figures/Room";
#endif
    const int lines = 500, cols = 600; // 300 000 cells: about 10 MB of grids
    std::vector<int64_t> z;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            z.push_back(1000 + (i * 37 + j * 11) % 211 + (i / 50) * (j / 60));
    const std::string ascii = ascii_grid(grid_header({"600", "500", "0", "0", "10", "-9999"}), z, cols);
    for (const std::string typed : {"1 site m 1 1 0 res 1 0 0 1000\n", "1 site m 0 res 2 0 1 1000\n"}) {
        SCOPED_TRACE(typed);
        auto files = [&](const Site &s) {
            s.put_raw("m", 1, z, descriptor_text({lines, cols, 4, 0, 0, 10}));
            s.write("m" + std::string(ascii_suffix), ascii);
        };
        Site free_run;
        files(free_run);
        const Outcome reference = free_run.run(typed);
        ASSERT_EQ(reference.status, 0) << reference.out;
        int completed_by_force = 0;
        for (const char *forced : {"", "0"}) {
            ScopedEnv mode("QUARVELIN_LINE_BY_LINE", forced);
            for (long kb = 9000; kb <= 21000; kb += 1000) {
                SCOPED_TRACE(std::string("limit ") + std::to_string(kb) + " KiB, forced '" + forced + "'");
                Site s;
                files(s);
                // The limit set by a shell that then becomes the program.
                const Outcome r =
                    s.run(typed, 5, {"/bin/sh", "-c", "ulimit -v " + std::to_string(kb) + " && exec \"$0\""});
                if (r.status != 0) {
                    EXPECT_EQ(r.status, 1) << r.out;
                    EXPECT_NE(r.out.find("\n\tNot enough memory"), std::string::npos) << r.out;
                    EXPECT_EQ(s.files(), (std::vector<std::string>{"m.asc", "m_m4.raw", "m_m4.txt"}));
                    continue;
                }
                completed_by_force += *forced != '\0' && kb < 16000;
                EXPECT_EQ(s.portable(r.out), free_run.portable(reference.out));
                EXPECT_EQ(s.contents(), free_run.contents());
            }
        }
        EXPECT_GT(completed_by_force, 0);
    }
}

// The room counts the workers' stacks, and lines only for the workers that
// can get a band: under a rising address-space limit a run with a raw log
// DEM fails only below every limit where it completes, and before it
// reports a result saved, whatever the threads; a model of 3 lines runs on
// 64 threads where it runs on one.
TEST(MemoryLimits, ALargerLimitNeverFailsWhereASmallerOneWorks)
{
#if defined(__SANITIZE_ADDRESS__) || defined(QUARVELIN_SANITIZE)
    GTEST_SKIP() << "the address sanitizer reserves more address space than these limits allow";
#elif defined(_WIN32)
    GTEST_SKIP() << "no address-space limit (ulimit -v) for a process on Windows";
#endif
    struct Row {
        int lines, cols;
        long from_kb, to_kb;
    };
    for (const Row &row : {Row{1000, 1000, 10000, 40000}, Row{3, 300000, 524288, 524288}}) {
        std::vector<int64_t> z;
        for (int i = 0; i < row.lines; i++)
            for (int j = 0; j < row.cols; j++)
                z.push_back(100 + (i * 37 + j * 11) % 211);
        for (const char *threads : {"1", "2", "64"}) {
            ScopedEnv forced("QUARVELIN_THREADS", threads);
            bool completed = false;
            for (long kb = row.from_kb; kb <= row.to_kb; kb += 2000) {
                SCOPED_TRACE(std::to_string(row.lines) + " x " + std::to_string(row.cols) + ", " + threads +
                             " threads, limit " + std::to_string(kb) + " KiB");
                Site s;
                s.put_raw("m", 1, z, descriptor_text({row.lines, row.cols, 4, 0, 0, 10}));
                const Outcome r = s.run("1 site m 1 1 0 res 0 0 0 1000\n", 10,
                                        {"/bin/sh", "-c", "ulimit -v " + std::to_string(kb) + " && exec \"$0\""});
                if (r.status == 0) {
                    completed = true;
                    continue;
                }
                EXPECT_FALSE(completed) << "a larger limit fails: " << r.out;
                EXPECT_EQ(r.out.find("has been saved"), std::string::npos) << r.out;
            }
            EXPECT_TRUE(completed);
        }
    }
}

// The room and the processors the control groups leave: the least of every
// group up to the root that sets a limit, in the unified hierarchy and in a
// controller of its own; none when no group sets one.
TEST(MemoryLimits, ControlGroupsLeaveTheLeastRoomAndProcessorsUpToTheRoot)
{
    TempDir d;
    auto put = [&](const std::string &name, const std::string &text) {
        fs::create_directories(fs::path(d.at(name)).parent_path());
        write_file(d.at(name), text);
    };
    put("proc_unified", "0::/a/b\n");
    put("fs/a/b/memory.max", "1000000\n");
    put("fs/a/b/memory.current", "400000\n");
    put("fs/a/memory.max", "800000\n");
    put("fs/a/memory.current", "100000\n");
    put("fs/memory.max", "max\n");
    EXPECT_EQ(cgroup_room(d.at("proc_unified"), d.at("fs")), 600000.0);
    put("fs/a/b/memory.max", "max\n");
    EXPECT_EQ(cgroup_room(d.at("proc_unified"), d.at("fs")), 700000.0);
    put("fs/a/memory.current", "900000\n"); // beyond its limit: no room at all
    EXPECT_EQ(cgroup_room(d.at("proc_unified"), d.at("fs")), 0.0);
    // Use that is mostly page cache not used of late leaves that cache as room.
    put("fs/a/memory.stat", "active_file 1000\nfile 850000\ninactive_file 850000\n");
    EXPECT_EQ(cgroup_room(d.at("proc_unified"), d.at("fs")), 750000.0);

    put("proc_v1", "6:cpuset:/y\n5:cpu,cpuacct:/x\n4:memory:/x\n");
    put("fs/cpu/y/cpu.cfs_quota_us", "50000\n"); // a cpuset group's folder is not read for the cpu
    put("fs/cpu/y/cpu.cfs_period_us", "100000\n");
    put("fs/memory/x/memory.limit_in_bytes", "9223372036854771712\n");
    put("fs/memory/x/memory.usage_in_bytes", "5\n");
    EXPECT_EQ(cgroup_room(d.at("proc_v1"), d.at("fs")), -1.0);
    put("fs/memory/x/memory.limit_in_bytes", "2000\n");
    EXPECT_EQ(cgroup_room(d.at("proc_v1"), d.at("fs")), 1995.0);
    put("fs/memory/x/memory.usage_in_bytes", "1990\n");
    put("fs/memory/x/memory.stat", "inactive_file 10\ntotal_inactive_file 1900\n"); // of the group and below
    EXPECT_EQ(cgroup_room(d.at("proc_v1"), d.at("fs")), 1910.0);
    EXPECT_EQ(cgroup_room(d.at("no such file"), d.at("fs")), -1.0);

    EXPECT_EQ(cgroup_processors(d.at("proc_unified"), d.at("fs")), -1.0);
    put("fs/a/b/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroup_processors(d.at("proc_unified"), d.at("fs")), -1.0);
    put("fs/a/cpu.max", "150000 100000\n");
    put("fs/cpu.max", "300000 100000\n");
    EXPECT_EQ(cgroup_processors(d.at("proc_unified"), d.at("fs")), 1.5);
    put("fs/a/b/cpu.max", "50000 100000\n");
    EXPECT_EQ(cgroup_processors(d.at("proc_unified"), d.at("fs")), 0.5);
    put("fs/cpu/x/cpu.cfs_quota_us", "-1\n");
    put("fs/cpu/x/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_processors(d.at("proc_v1"), d.at("fs")), -1.0);
    put("fs/cpu/x/cpu.cfs_quota_us", "250000\n");
    EXPECT_EQ(cgroup_processors(d.at("proc_v1"), d.at("fs")), 2.5);
}

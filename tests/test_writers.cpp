// The result image in its three forms, the histogram files and the log DEM,
// written from a small model whose tones and log DEM values were worked out
// apart from the program.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

using namespace qtest;

namespace {

struct Writers : ::testing::Test {
    TempDir dir;
    std::string console;

    // A model of 4 lines by 5 columns whose interior cells have slopes of
    // several sizes, in an empty folder.
    void SetUp() override
    {
        reset_run_state(); // every file closed first, or Windows removes none
        std::error_code ec;
        fs::remove_all(dir.path, ec);
        fs::create_directory(dir.path, ec);
        make(4, 5, {100, 100, 100, 100, 100, //
                    100, 104, 111, 130, 160, //
                    100, 108, 120, 150, 200, //
                    100, 100, 100, 100, 100},
             25.0);
        pix_size = 25;
        X_min = 512000.0;
        Y_min = 4100000.0;
    }
    void TearDown() override { reset_run_state(); }

    // A model from a clean Run state, its slopes and tones made, and the
    // histogram file open.
    void make(int lines, int cols, const std::vector<double> &z, double cell)
    {
        reset_run_state();
        set_elevations(lines, cols, z);
        dpix_size = cell;
        console_of(pendientes, treatment);
        dem_result = 1;
        nomhisto = at(result_histogram);
        f3h = std::fopen(nomhisto.c_str(), "wb");
    }

    // The path of a result of the generic name "r".
    std::string at(ResultRole role) const { return dir.at(result_name("r", role)); }

    void open_image(int form)
    {
        const ResultRole images[] = {result_raw_image, result_bitmap, result_ascii_image};
        output = form;
        nomim2 = at(images[form]);
        f2 = std::fopen(nomim2.c_str(), "wb");
        if (form == 0) {
            nomdescr2 = at(result_raw_image_descriptor);
            f2d = std::fopen(nomdescr2.c_str(), "wb");
        }
    }
    void open_log_dem(int type, double stretch)
    {
        dem_result = 0;
        dem_type = type;
        strcoef = stretch;
        nomhisto2 = at(result_dem_histogram);
        f2h = std::fopen(nomhisto2.c_str(), "wb");
        nomim3 = at(type == 0 ? result_raw_dem : result_ascii_dem);
        f3 = std::fopen(nomim3.c_str(), "wb");
        if (type == 0) {
            nomdescr3 = at(result_raw_dem_descriptor);
            f3d = std::fopen(nomdescr3.c_str(), "wb");
        }
    }
    void save()
    {
        feed_answers("\n");
        console = console_of(image_saving);
    }
};

// The worked example: the tones and log DEM values of the model's cells,
// line 0 first, computed apart from the program (Horn's gradient summed in
// its order, the C library's atan and log10, the stretch truncated as an
// exact rational number).
const int example_tones[20] = {0, 0, 0, 0, 0, 0, 176, 224, 254, 0, 0, 176, 220, 249, 0, 0, 0, 0, 0, 0};
const struct {
    double limit;
    int values[20];
} example_dem[] = {
    {1000.7, {0, 0, 0, 0, 0, 0, 697, 886, 1000, 0, 0, 693, 867, 983, 0, 0, 0, 0, 0, 0}},
    {-1000.0, {0, 0, 0, 0, 0, 0, -696, -885, -1000, 0, 0, -692, -867, -982, 0, 0, 0, 0, 0, 0}},
};

const char ascii_header[] = "ncols 5\nnrows 4\nxllcorner 512000.000000\nyllcorner 4100000.000000\n"
                            "cellsize 25.000000\nnodata_value -9999.9999\n";

std::string summary(const std::string &image, const std::string &histogram)
{
    return "\n\n\t" + image + " has been saved as a logarithm image of the slope \n\tas well the histogram named " +
           histogram + " \n\tthat corresponds to slope / normalized values of the logarithms\n";
}
const char closing[] = "\n\n\tProcessing completed. \n\tHit any key to exit. ";

// Each form holds the tones of every cell: the raw raster line 0 first with
// its descriptor, the bitmap bottom line first with each line padded to 4
// bytes after a grey palette, the ASCII grid as tabbed values on one line.
TEST_F(Writers, EveryImageFormHoldsTheTonesOfEveryCell)
{
    std::string raw, bmp, text = ascii_header;
    for (int tone : example_tones) {
        raw += static_cast<char>(tone);
        text += std::to_string(tone) + "\t";
    }
    for (int i = 3; i >= 0; i--)
        bmp += raw.substr(static_cast<size_t>(5 * i), 5) + std::string(3, '\0');
    EXPECT_NE(raw.find('\xfe'), std::string::npos); // the steepest cell
    const struct {
        int form;
        std::string body;
        size_t offset; // of the pixels
        const char *before_summary;
    } forms[] = {{0, raw, 0, ""}, {1, bmp, 1078, ""}, {2, text, 0, "\n"}};
    for (const auto &f : forms) {
        SCOPED_TRACE(f.form);
        SetUp();
        open_image(f.form);
        save();
        const std::string file = read_file(nomim2);
        EXPECT_EQ(file.substr(std::min(f.offset, file.size())), f.body);
        EXPECT_EQ(console, f.before_summary + summary(nomim2, nomhisto) + closing);
        EXPECT_EQ(f2, nullptr);
        if (f.form == 0) {
            EXPECT_EQ(read_file(nomdescr2), "4\n5\n1\n0\n255\n25\n");
        }
        if (f.form == 1) {
            EXPECT_EQ(file.substr(54 + 4 * 200, 4), std::string("\xc8\xc8\xc8\0", 4));
        }
    }
}

TEST_F(Writers, HistogramRowsPairSlopesWithTheScale)
{
    max_pen = 0.35;
    open_image(1);
    open_log_dem(0, 1000.0);
    save();
    EXPECT_EQ(read_file(nomhisto), "0.000000\t0.000000\n0.100000\t80.985418\n0.200000\t154.919312\n");
    EXPECT_EQ(read_file(nomhisto2), "0.000000\t0.000000\n0.100000\t317.589874\n0.200000\t607.526714\n");

    for (double pen : {0.05, 45.37, 90.0}) {
        SetUp();
        max_pen = pen;
        open_image(1);
        save();
        const std::string rows = read_file(nomhisto);
        const char *last = pen == 45.37 ? "45.200000\t" : "89.900000\t";
        if (pen < 0.1) {
            EXPECT_EQ(rows, "");
        } else {
            EXPECT_EQ(count(rows, "\n"), pen == 90.0 ? 900u : 453u);
            EXPECT_NE(rows.find(std::string("\n") + last), std::string::npos) << pen;
        }
        EXPECT_FALSE(fs::exists(at(result_dem_histogram)));
    }
}

// The log DEM holds the truncated stretch of every cell's logarithm onto
// 0 .. the limit, in either form; the steepest cell gets the limit
// truncated, a flat model 0 everywhere.
TEST_F(Writers, LogDemIsTheTruncatedStretch)
{
    for (const auto &[limit, values] : example_dem) {
        for (int type : {0, 1}) {
            SCOPED_TRACE(std::to_string(limit) + (type == 0 ? " raw" : " ascii"));
            SetUp();
            open_image(1);
            open_log_dem(type, limit);
            save();
            std::string raw, text = ascii_header;
            for (int v : values) {
                raw += le32({v});
                text += std::to_string(v) + "\t";
            }
            EXPECT_NE(raw.find(le32({static_cast<int>(limit)})), std::string::npos);
            EXPECT_EQ(read_file(nomim3), type == 0 ? raw : text);
            if (type == 0) {
                EXPECT_EQ(read_file(nomdescr3), "4\n5\n4\n0\n" + std::to_string(static_cast<int>(limit)) + "\n25\n");
            }
            EXPECT_EQ(console, summary(nomim2, nomhisto) + (type == 1 ? "\n" : "") + closing);
        }
    }

    make(3, 3, std::vector<double>(9, 7.0), 25.0);
    open_image(1);
    open_log_dem(1, 1000.0);
    save();
    EXPECT_EQ(read_file(nomim3), "ncols 3\nnrows 3\nxllcorner 0.000000\nyllcorner 0.000000\ncellsize 25.000000\n"
                                 "nodata_value -9999.9999\n0\t0\t0\t0\t0\t0\t0\t0\t0\t");
}

TEST_F(Writers, ProgressOfTheAsciiWriterEveryHundredLines)
{
    make(1000, 1, std::vector<double>(1000, 1.0), 1.0);
    open_image(2);
    save();
    std::string expected = "\n";
    for (int i = 100; i < 1000; i += 100)
        expected += strf("\tline %d              \r", i);
    EXPECT_EQ(console.substr(0, expected.size()), expected);
}

// A full disk fails the run; a device in the place of a result is written
// directly and never removed.
TEST_F(Writers, FullDiskIsReportedAndTheDeviceKept)
{
#if defined(_WIN32)
    GTEST_SKIP() << "no full device (/dev/full) nor symbolic link to one on Windows; a full disk there is "
                    "covered by Faults/Writer and Faults/Commit (the host's writes made to fail with ENOSPC)";
#else
    for (int form : {0, 1, 2}) {
        const std::string link = dir.at("full" + std::to_string(form));
        ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
        EXPECT_EXIT(
            {
                open_image(form);
                if (f2 != nullptr)
                    std::fclose(f2);
                nomim2 = link;
                int err = 0;
                if (output_create(link, "wb", false, f2, err) != output_ok)
                    std::exit(3);
                feed_answers("");
                console_to_stderr();
                image_saving();
            },
            ::testing::ExitedWithCode(1), "\n\tFile .*full.* could not be written\n");
        struct stat st;
        EXPECT_EQ(lstat(link.c_str(), &st), 0) << form;
    }
#endif
}

} // namespace

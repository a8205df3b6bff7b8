// The result image, the histogram files and the log DEM.
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

    // Some tests set up again: each time from an empty directory.
    void SetUp() override
    {
        // The logarithms below are made up, with no elevations behind them:
        // they are stretched as they stand, by the plain path.
        plain_path = true;
        std::error_code ec;
        fs::remove_all(dir.path, ec);
        fs::create_directory(dir.path, ec);
        // Two lines of three tones, and logarithms from 0 to 1.
        nb_lig = 2;
        nb_col = 3;
        tab_out = ucmatrice(3, 2);
        dtab_out = dmatrice(3, 2);
        itab_out = imatrice(3, 2);
        const unsigned char tones[6] = {0, 10, 20, 30, 40, 254};
        const double logs[6] = {0.0, 0.25, 0.5, 0.9999, 0.75, 1.0};
        for (int k = 0; k < 6; k++) {
            tab_out[k / 3][k % 3] = tones[k];
            dtab_out[k / 3][k % 3] = logs[k];
        }
        log_min = 0.0;
        log_max = 1.0;
        log_dif = 1.0;
        X_min = 512000.0;
        Y_min = 4100000.0;
        dpix_size = 25.0;
        pix_size = 25;
        max_pen = 0.35;
        dem_result = 1;
        nomhisto = dir.at("r_log.xls");
        f3h = std::fopen(nomhisto.c_str(), "wb");
    }
    void TearDown() override
    {
        plain_path = false;
        reset_run_state();
    }

    void open_image(int form, const char *suffix)
    {
        output = form;
        nomim2 = dir.at("r" + std::string(suffix));
        f2 = std::fopen(nomim2.c_str(), "wb");
        if (form == 0) {
            nomdescr2 = dir.at("r_log.txt");
            f2d = std::fopen(nomdescr2.c_str(), "wb");
        }
    }
    void open_log_dem(int type, double stretch)
    {
        dem_result = 0;
        dem_type = type;
        strcoef = stretch;
        nomhisto2 = dir.at("r_dem_log.xls");
        f2h = std::fopen(nomhisto2.c_str(), "wb");
        nomim3 = dir.at(type == 0 ? "r_log_dem_m4.raw" : "r_log_dem.asc");
        f3 = std::fopen(nomim3.c_str(), "wb");
        if (type == 0) {
            nomdescr3 = dir.at("r_log_dem_m4.txt");
            f3d = std::fopen(nomdescr3.c_str(), "wb");
        }
    }
    void save()
    {
        feed_answers("\n");
        testing::internal::CaptureStdout();
        image_saving();
        console = testing::internal::GetCapturedStdout();
    }
};

const char ascii_header[] = "ncols 3\nnrows 2\nxllcorner 512000.000000\nyllcorner 4100000.000000\n"
                            "cellsize 25.000000\nnodata_value -9999.9999\n";

std::string summary(const std::string &image, const std::string &histogram)
{
    return "\n\n\t" + image + " has been saved as a logarithm image of the slope \n\tas well the histogram named " +
           histogram + " \n\tthat corresponds to slope / normalized values of the logarithms\n";
}
const char closing[] = "\n\n\tProcessing completed. \n\tHit any key to exit. ";

TEST_F(Writers, AsciiImageIsOneLineOfTabbedTones)
{
    open_image(2, "_log.asc");
    save();
    EXPECT_EQ(read_file(nomim2), std::string(ascii_header) + "0\t10\t20\t30\t40\t254\t");
    EXPECT_EQ(console, "\n" + summary(nomim2, nomhisto) + closing);
    EXPECT_EQ(f2, nullptr);
}

TEST_F(Writers, RawImageAndItsDescriptor)
{
    open_image(0, "_log.raw");
    save();
    EXPECT_EQ(read_file(nomim2), std::string("\0\x0a\x14\x1e\x28\xfe", 6));
    EXPECT_EQ(read_file(nomdescr2), "2\n3\n1\n0\n255\n25\n");
    EXPECT_EQ(console, summary(nomim2, nomhisto) + closing);
}

TEST_F(Writers, BitmapImageHoldsTheTonesBottomUp)
{
    open_image(1, "_log.bmp");
    save();
    const std::string bmp = read_file(nomim2);
    ASSERT_EQ(bmp.size(), 1078u + 2 * 4);
    EXPECT_EQ(bmp.substr(1078), std::string("\x1e\x28\xfe\0\0\x0a\x14\0", 8));
    EXPECT_EQ(bmp.substr(54 + 4 * 200, 4), std::string("\xc8\xc8\xc8\0", 4));
}

TEST_F(Writers, HistogramRowsPairSlopesWithTheScale)
{
    open_image(1, "_log.bmp");
    open_log_dem(0, 1000.0);
    save();
    EXPECT_EQ(read_file(nomhisto), "0.000000\t0.000000\n0.100000\t80.985418\n0.200000\t154.919312\n");
    EXPECT_EQ(read_file(nomhisto2), "0.000000\t0.000000\n0.100000\t317.589874\n0.200000\t607.526714\n");
    reset_run_state();

    for (double pen : {0.05, 45.37, 90.0}) {
        SetUp();
        max_pen = pen;
        open_image(1, "_log.bmp");
        save();
        const std::string rows = read_file(nomhisto);
        const size_t count = static_cast<size_t>(std::count(rows.begin(), rows.end(), '\n'));
        const char *last = pen == 45.37 ? "45.200000\t" : "89.900000\t";
        if (pen < 0.1) {
            EXPECT_EQ(rows, "");
        } else {
            EXPECT_EQ(count, pen == 90.0 ? 900u : 453u);
            EXPECT_NE(rows.find(std::string("\n") + last), std::string::npos) << pen;
        }
        EXPECT_EQ(std::fopen(dir.at("r_dem_log.xls").c_str(), "r"), nullptr);
        reset_run_state();
    }
}

TEST_F(Writers, LogDemIsTheTruncatedStretch)
{
    open_image(1, "_log.bmp");
    open_log_dem(0, 1000.7);
    save();
    const std::string raw = read_file(nomim3);
    ASSERT_EQ(raw.size(), 24u);
    const int expected[6] = {0, 250, 500, 1000, 750, 1000}; // 0.9999 x 1000.7 = 1000.6
    for (int k = 0; k < 6; k++) {
        int v = 0;
        for (int b = 3; b >= 0; b--)
            v = v * 256 + static_cast<unsigned char>(raw[static_cast<size_t>(4 * k + b)]);
        EXPECT_EQ(v, expected[k]) << k;
    }
    EXPECT_EQ(read_file(nomdescr3), "2\n3\n4\n0\n1000\n25\n");
    reset_run_state();

    SetUp();
    open_image(1, "_log.bmp");
    open_log_dem(1, -1000.0);
    save();
    EXPECT_EQ(read_file(nomim3), std::string(ascii_header) + "0\t-250\t-500\t-999\t-750\t-1000\t");
    EXPECT_EQ(console, summary(nomim2, nomhisto) + "\n" + closing);
}

TEST_F(Writers, FlatModelGivesAZeroLogDem)
{
    log_max = log_dif = 0.0;
    for (int k = 0; k < 6; k++)
        dtab_out[k / 3][k % 3] = 0.0;
    open_image(1, "_log.bmp");
    open_log_dem(1, 1000.0);
    save();
    EXPECT_EQ(read_file(nomim3), std::string(ascii_header) + "0\t0\t0\t0\t0\t0\t");
}

TEST_F(Writers, ProgressOfTheAsciiWriterEveryHundredLines)
{
    reset_run_state();
    nb_lig = 1000;
    nb_col = 1;
    tab_out = ucmatrice(1, 1000);
    dtab_out = dmatrice(1, 1000);
    itab_out = imatrice(1, 1000);
    nomhisto = dir.at("r_log.xls");
    f3h = std::fopen(nomhisto.c_str(), "wb");
    dem_result = 1;
    open_image(2, "_log.asc");
    save();
    std::string expected = "\n";
    for (int i = 100; i < 1000; i += 100)
        expected += strf("\tline %d              \r", i);
    EXPECT_EQ(console.substr(0, expected.size()), expected);
}

TEST_F(Writers, FullDiskIsReportedAndTheFileRemoved)
{
    for (int form : {0, 1, 2}) {
        const std::string link = dir.at("full" + std::to_string(form));
        ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
        EXPECT_EXIT(
            {
                open_image(form, form == 1 ? "_log.bmp" : form == 0 ? "_log.raw" : "_log.asc");
                if (f2 != nullptr)
                    std::fclose(f2);
                nomim2 = link;
                f2 = std::fopen(link.c_str(), "wb");
                file_started(link);
                feed_answers("");
                console_to_stderr();
                image_saving();
            },
            ::testing::ExitedWithCode(1), "\n\tFile .*full.* could not be written\n");
        struct stat st;
        EXPECT_NE(lstat(link.c_str(), &st), 0) << form;
    }
}

} // namespace

// The raw raster reader, the descriptor file and the ASCII grid reader.
#include "support.h"
#include "words.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <array>

using namespace qtest;

namespace {

struct Readers : ::testing::Test {
    TempDir dir;
    void TearDown() override { reset_run_state(); }

    // Reads `bytes` as a raw model of the given shape and cell type, with the
    // unit answers `units`; returns the console output.
    std::string read_raw(const std::string &bytes, int lines, int cols, int type, const std::string &units)
    {
        nomim1 = dir.at("m.raw");
        write_file(nomim1, bytes);
        f1 = std::fopen(nomim1.c_str(), "rb");
        nb_lig = lines;
        nb_col = cols;
        itype = type;
        dpix_size = 10.0;
        descr_OK = true;
        feed_answers(units);
        testing::internal::CaptureStdout();
        dem_lecture();
        return testing::internal::GetCapturedStdout();
    }

    // Reads `text` as an ASCII grid; returns the status.
    AsciiStatus read_ascii(const std::string &text, int &line, int &col)
    {
        nomim1 = dir.at("m.asc");
        write_file(nomim1, text);
        f1 = std::fopen(nomim1.c_str(), "rb");
        testing::internal::CaptureStdout();
        AsciiStatus s = ascii_read(f1, line, col);
        progress_text = testing::internal::GetCapturedStdout();
        return s;
    }
    std::string progress_text;
};

const char range_and_unit[] = "\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ";
const char unit_question[] = "\n\n\tAre these values\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters\n\t\t2 ====> in "
                             "centimeters\n\t\t3 ====> in millimeters\n\t\t";

TEST_F(Readers, RawCellsAreLittleEndianOfEitherWidth)
{
    const std::string bytes("\x01\x00\xFF\xFF", 4);
    std::string out = read_raw(bytes, 1, 2, 0, "0\n");
    EXPECT_EQ(itab_in[0][0], 1);
    EXPECT_EQ(itab_in[0][1], 65535);
    EXPECT_EQ(jtab_in, nullptr);
    EXPECT_EQ(out, strf(range_and_unit, 1, 65535) + unit_question);
    ASSERT_NE(dtab_slope, nullptr);
    reset_run_state();

    out = read_raw(bytes, 1, 1, 1, "0\n");
    EXPECT_EQ(itab_in[0][0], -65535);
    // One negative cell: the range keeps its start values for the maximum.
    EXPECT_EQ(out, strf(range_and_unit, -65535, 0) + unit_question);
    reset_run_state();

    out = read_raw(std::string("\xFF\xFF\xFF\xFF", 4), 1, 1, 1, "1\n");
    testing::internal::CaptureStdout();
    pendientes(); // the elevations in metres are made with the slopes
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(dtab_in[0][0], -0.1);
    EXPECT_EQ(dtab_in[0][0], -1.0 / 10.0);
    EXPECT_FALSE(open_ascii_OK);
}

TEST_F(Readers, UnitQuestionRepeatsUntilAnOfferedUnit)
{
    // 1 234 567 decimetres: above the minimum's start value of 1 000 000.
    const std::string cell("\x87\xD6\x12\x00", 4);
    const std::string out = read_raw(cell + cell, 1, 2, 1, "7 -1 2\n");
    EXPECT_EQ(out, strf(range_and_unit, 1000000, 1234567) + unit_question + unit_question + unit_question);
    EXPECT_EQ(coef, 100.0);
    testing::internal::CaptureStdout();
    pendientes();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dtab_in[0][1], 1234567 / 100.0);
}

TEST_F(Readers, NewDescriptorIsCompletedWithTheRange)
{
    nomdescr1 = dir.at("m_m2.txt");
    f1d = std::fopen(nomdescr1.c_str(), "w");
    std::fputs("1\n3\n2\n", f1d);
    descr_OK = false;
    std::string bytes("\x10\x00\x20\x00\x05\x00", 6);
    nomim1 = dir.at("m.raw");
    write_file(nomim1, bytes);
    f1 = std::fopen(nomim1.c_str(), "rb");
    nb_lig = 1;
    nb_col = 3;
    dpix_size = 25.0;
    feed_answers("0");
    testing::internal::CaptureStdout();
    dem_lecture();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(f1d, nullptr);
    EXPECT_EQ(read_file(nomdescr1), "1\n3\n2\n5\n32\n25\n");
}

// The raw reader checks the length of the file before it allocates, and
// returns what it found; the stage makes the message of it.
TEST_F(Readers, RawReadTellsAShortFileFromAWholeOne)
{
    for (int bytes : {0, 1, 17, 18, 40}) {
        write_file(dir.at("m.raw"), std::string(static_cast<size_t>(bytes), '\1'));
        FILE *f = std::fopen(dir.at("m.raw").c_str(), "rb");
        nb_lig = nb_col = 3;
        itype = 0;
        int min = -1, max = -1;
        int64_t found = -1;
        const RawStatus st = raw_read(f, min, max, found);
        std::fclose(f);
        EXPECT_EQ(found, bytes / 2) << bytes;
        EXPECT_EQ(st, bytes < 18 ? raw_too_short : raw_ok) << bytes;
        if (st == raw_ok) {
            EXPECT_EQ(min, 257);
            EXPECT_EQ(max, 257);
        } else {
            EXPECT_EQ(itab_in, nullptr);
        }
        reset_run_state();
    }
}

// Every number word is read as "%lf" reads the whole word (strtod): as an
// answer, and as a value of an ASCII grid body; a number too small for a
// double is the 0 or subnormal strtod gives, an infinite one is refused.
TEST_F(Readers, NumberWordsReadAsTheLibraryReadsThem)
{
    std::mt19937_64 rng(11);
    const char alphabet[] = "0123456789.-+eExp";
    std::string body;
    std::vector<double> expected;
    for (int k = 0; k < 200000; k++) {
        std::string w = k % 50 == 0 ? "0x" : "";
        for (size_t n = 1 + rng() % 24; w.size() < n;)
            w += alphabet[rng() % (rng() % 6 == 0 ? 17 : 10)];
        const char *b = w.data(), *e = b + w.size();
        double v = 0.0;
        char *end = nullptr;
        const double ref = std::strtod(w.c_str(), &end);
        const bool plus_ok = !(w[0] == '+' && (w.size() == 1 || w[1] == '-'));
        const bool number = plus_ok && end == e && std::isfinite(ref);
        ASSERT_EQ(real_word(b, e, v) == word_number, number) << w;
        if (!number)
            continue;
        ASSERT_EQ(std::bit_cast<uint64_t>(v), std::bit_cast<uint64_t>(ref)) << w;
        body += w + (k % 7 == 0 ? "\n" : " ");
        expected.push_back(ref);
    }
    int line, col;
    const std::string header = "ncols " + std::to_string(expected.size()) + "\nnrows 1\nx 0\ny 0\ncellsize 1\nn 0\n";
    ASSERT_EQ(read_ascii(header + body, line, col), ascii_ok);
    for (size_t j = 0; j < expected.size(); j++)
        ASSERT_EQ(std::bit_cast<uint64_t>(dtab_in[0][j]), std::bit_cast<uint64_t>(expected[j])) << j;
}

TEST(Descriptor, ReadsUpToSixIntegersAnyWhiteSpace)
{
    // Fewer values leave the rest as they were; a word that is not a whole
    // 32-bit number stops the read and is refused; after the sixth value
    // nothing is read.
    const struct {
        const char *text;
        int count;
        bool refused;
        std::array<int, 6> before, after;
    } cases[] = {
        {"343\r\n324\r\n2\t2425 10722\n\n 90\n", 6, false, {}, {343, 324, 2, 2425, 10722, 90}},
        {"5\n-6\n+4\n", 3, false, {0, 0, 0, 0, 0, 77}, {5, -6, 4, 0, 0, 77}},
        {"1 2 3 4 5 6 seven 2.5", 6, false, {}, {1, 2, 3, 4, 5, 6}},
        {"12abc 99999999999 3", 0, true, {}, {}},
        {"4 99999999999 -99999999999", 1, true, {}, {4, 0, 0, 0, 0, 0}},
        {"1 2 3 4 5 2.5", 5, true, {}, {1, 2, 3, 4, 5, 0}},
        {"-2147483648 2147483647 +-3", 2, true, {}, {-2147483647 - 1, 2147483647, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        FILE *f = text_stream(c.text);
        std::array<int, 6> v = c.before;
        bool refused = !c.refused;
        EXPECT_EQ(read_descriptor(f, v.data(), &refused), c.count) << c.text;
        EXPECT_EQ(refused, c.refused) << c.text;
        EXPECT_EQ(v, c.after) << c.text;
        std::fclose(f);
    }
}

const char header[] = "ncols 3\nnrows 2\nxllcorner 512000\nyllcorner 4100000.5\ncellsize 12.5\nnodata_value -9999\n";

TEST_F(Readers, AsciiHeaderIsReadByOrderAloneAndTheBodyByCount)
{
    int line, col;
    const std::string layouts[] = {
        std::string(header) + "1 2 3\n4 5 -9999\n",
        std::string(header) + "1\n2\n3\n4\n5\n-9999\n",
        std::string(header) + "1 2 3 4 5 -9999",
        "NCOLS\t3\r\nNROWS 2\r\nfoo 512000\r\nbar 4100000.5\r\nSIZE 1.25e1\r\nNODATA -9999\r\n+1 2.0 3e0\r\n4 .5e1 "
        "-9999.\r\n",
    };
    for (const std::string &text : layouts) {
        ASSERT_EQ(read_ascii(text, line, col), ascii_ok) << text;
        EXPECT_EQ(nb_col, 3);
        EXPECT_EQ(nb_lig, 2);
        EXPECT_EQ(X_min, 512000.0);
        EXPECT_EQ(Y_min, 4100000.5);
        EXPECT_EQ(dpix_size, 12.5);
        EXPECT_EQ(pix_size, 12);
        EXPECT_EQ(nodata, -9999.0);
        const double expected[2][3] = {{1, 2, 3}, {4, 5, -9999}};
        for (int i = 0; i < 2; i++)
            for (int j = 0; j < 3; j++)
                EXPECT_EQ(dtab_in[i][j], expected[i][j]);
        ASSERT_NE(dtab_slope, nullptr);
        EXPECT_EQ(dtab_slope[1][2], 0.0);
        reset_run_state();
    }

    // Without its no-data line the header has five lines.
    ASSERT_EQ(read_ascii("ncols 2\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 0.5\n7 8\n", line, col), ascii_ok);
    EXPECT_EQ(dtab_in[0][0], 7.0);
    EXPECT_EQ(dtab_in[0][1], 8.0);
    EXPECT_EQ(nodata, 0.0);
    EXPECT_EQ(pix_size, 0);
}

TEST_F(Readers, AsciiProgressForEveryHundredthLine)
{
    std::string text = "ncols 1\nnrows 250\nx 0\ny 0\ncellsize 1\nnodata 0\n";
    for (int i = 0; i < 250; i++)
        text += "1\n";
    int line, col;
    ASSERT_EQ(read_ascii(text, line, col), ascii_ok);
    EXPECT_EQ(progress_text, "\tline 100                   \r\tline 200                   \r");
}

TEST_F(Readers, DamagedAsciiGridsNameTheirFault)
{
    struct Case {
        std::string text;
        AsciiStatus status;
        int line, col;
    };
    const std::string h(header);
    const std::string long_word(60, 'k');
    const Case cases[] = {
        {h + "1 2 3 4 5", ascii_bad_value, 1, 2},
        {h + "1 2 3 4 x 6", ascii_bad_value, 1, 1},
        {h + "1 2 12abc 4 5 6", ascii_bad_value, 0, 2},
        {h + "1 2 3 inf 5 6", ascii_bad_value, 1, 0},
        {h, ascii_bad_value, 0, 0},
        {"ncols 3\nnrows", ascii_bad_header, 2, 0},
        {"ncols -3\nnrows 2\n", ascii_bad_header, 1, 0},
        {"ncols 3.5\nnrows 2\n", ascii_bad_header, 1, 0},
        {"ncols 3\nnrows 2\nxllcorner abc\n", ascii_bad_header, 3, 0},
        {long_word + " 3\n", ascii_bad_header, 1, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 0\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize inf\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 1\nnodata nan\n1 2 3 4 5 6", ascii_bad_header, 6, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 3e9\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 1e-310\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        // Enormous dimensions above a tiny body: named without allocating.
        {"ncols 2000000000\nnrows 2000000000\nx 0\ny 0\ncellsize 1\nnodata 0\n1 2 3", ascii_bad_value, 0, 3},
    };
    for (const Case &c : cases) {
        int line = -1, col = -1;
        EXPECT_EQ(read_ascii(c.text, line, col), c.status) << c.text;
        if (c.status == ascii_bad_header) {
            EXPECT_EQ(line, c.line) << c.text;
        }
        if (c.status == ascii_bad_value) {
            EXPECT_EQ(line, c.line) << c.text;
            EXPECT_EQ(col, c.col) << c.text;
        }
        EXPECT_EQ(dtab_in, nullptr);
        reset_run_state();
    }
}

TEST_F(Readers, AsciiFailureMessages)
{
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {std::string(header) + "1 2 3 4", "no valid value for line 1, column 1\n"},
        {"ncols 3\nnrows -2\n", "header line 2 is not valid\n"},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 0.0\nnodata 0\n", "the cell size is not valid\n"},
    };
    for (const Case &c : cases) {
        const std::string path = dir.at("bad.asc");
        write_file(path, c.text);
        EXPECT_EXIT(
            {
                nomim1 = path;
                f1 = std::fopen(path.c_str(), "rb");
                feed_answers("");
                console_to_stderr();
                ascii_lecture();
            },
            ::testing::ExitedWithCode(1), "\tFile .*bad.asc: " + c.message);
    }
}

} // namespace

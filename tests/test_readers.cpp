// The raw raster reader, the descriptor file and the ASCII grid reader.
#include "support.h"
#include "words.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <tuple>

#include <gtest/gtest.h>

#include <array>

using namespace qtest;

namespace {

struct Readers : ::testing::Test {
    TempDir dir;
    void TearDown() override { reset_run_state(); }

    // Reads `text` as an ASCII grid; returns the status.
    AsciiStatus read_ascii(const std::string &text, int &line, int &col)
    {
        nomim1 = dir.at("m.asc");
        write_file(nomim1, text);
        f1 = std::fopen(nomim1.c_str(), "rb");
        AsciiStatus s = ascii_ok;
        progress_text = console_of([&] { s = ascii_read(f1, line, col); });
        return s;
    }
    std::string progress_text;
};

// The raw reader: cells of either width, little-endian; the length of the
// file checked before anything is allocated (raw_read returns the cells it
// found); the range of the stored values from its start values, reported;
// the unit asked until an offered one; the elevations in metres; a
// descriptor the dialogue began completed with the range and the cell size.
TEST_F(Readers, RawModelsOfEitherWidth)
{
    struct Raw {
        std::string bytes;
        int lines, cols, type;
        const char *units = "";           // the answers to the unit question
        int asked = 0, min = 0, max = 0;  // how often it is asked; the range
        double unit = 1.0;                // stored values in a metre
        std::vector<int64_t> stored = {}; // none: the file is too short
        std::string begun = "";           // a descriptor the dialogue began
    };
    const std::string ones(40, '\1'), big = raw_cells(1, {1234567}); // above the minimum's start value
    const Raw cases[] = {
        {raw_cells(0, {1, 65535}), 1, 2, 0, "0", 1, 1, 65535, 1.0, {1, 65535}},
        // One negative cell: the maximum keeps its start value.
        {raw_cells(0, {1, 65535}), 1, 1, 1, "0", 1, -65535, 0, 1.0, {-65535}},
        {raw_cells(1, {-1}), 1, 1, 1, "1", 1, -1, 0, 10.0, {-1}},
        {big + big, 1, 2, 1, "7 -1 2", 3, 1000000, 1234567, 100.0, {1234567, 1234567}},
        {raw_cells(0, {16, 32, 5}), 1, 3, 0, "0", 1, 5, 32, 1.0, {16, 32, 5}, "1\n3\n2\n"},
        {"", 3, 3, 0},
        {ones.substr(0, 1), 3, 3, 0},
        {ones.substr(0, 17), 3, 3, 0},
        {ones.substr(0, 18), 3, 3, 0, "0", 1, 257, 257, 1.0, std::vector<int64_t>(9, 257)},
        {ones, 3, 3, 0, "0", 1, 257, 257, 1.0, std::vector<int64_t>(9, 257)},
    };
    const std::string question = "\n\n\tAre these values\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters\n\t\t2 "
                                 "====> in centimeters\n\t\t3 ====> in millimeters\n\t\t";
    for (const Raw &c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes.size()) + " bytes as " + raw_forms[c.type].what);
        reset_run_state();
        nomim1 = dir.at(raw_name("m", c.type));
        write_file(nomim1, c.bytes);
        f1 = std::fopen(nomim1.c_str(), "rb");
        nb_lig = c.lines;
        nb_col = c.cols;
        itype = c.type;
        int min = -1, max = -1;
        int64_t found = -1;
        const RawStatus st = raw_read(f1, min, max, found);
        EXPECT_EQ(found, static_cast<int64_t>(c.bytes.size()) / raw_forms[c.type].bytes);
        ASSERT_EQ(st, c.stored.empty() ? raw_too_short : raw_ok);
        if (st != raw_ok) {
            EXPECT_EQ(itab_in, nullptr);
            continue;
        }
        EXPECT_EQ(min, c.min);
        EXPECT_EQ(max, c.max);

        release_grids();
        dpix_size = 25.0;
        descr_OK = c.begun.empty();
        if (!descr_OK) {
            nomdescr1 = dir.at(descriptor_name("m", c.type));
            f1d = std::fopen(nomdescr1.c_str(), "wb");
            std::fputs(c.begun.c_str(), f1d);
        }
        std::string shown = strf("\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", c.min, c.max);
        for (int k = 0; k < c.asked; k++)
            shown += question;
        feed_answers(c.units);
        EXPECT_EQ(console_of(dem_lecture), shown);
        EXPECT_EQ(coef, c.unit);
        EXPECT_EQ(jtab_in, nullptr);
        EXPECT_FALSE(open_ascii_OK);
        EXPECT_EQ(f1d, nullptr);
        if (!descr_OK) {
            EXPECT_EQ(read_file(nomdescr1), c.begun + descriptor_text({c.min, c.max, 25}));
        }
        console_of(pendientes);
        ASSERT_NE(dtab_slope, nullptr);
        for (int j = 0; j < c.lines * c.cols; j++) {
            EXPECT_EQ(itab_in[j / c.cols][j % c.cols], c.stored[static_cast<size_t>(j)]) << j;
            EXPECT_EQ(dtab_in[j / c.cols][j % c.cols], static_cast<double>(c.stored[static_cast<size_t>(j)]) / c.unit)
                << j;
        }
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
    reset_run_state();

    // A grid whose reading fails (here a stream open for writing alone) is
    // told as unreadable, not as a damaged header. The Windows C library
    // sets no error on a read from such a stream.
#if !defined(_WIN32)
    write_file(dir.at("w.asc"), std::string(header) + "1 2 3\n4 5 6\n");
    f1 = std::fopen(dir.at("w.asc").c_str(), "ab");
    AsciiStatus status = ascii_ok;
    console_of([&] { status = ascii_read(f1, line, col); });
    EXPECT_EQ(status, ascii_unreadable);
#endif
}

// The byte-order mark an editor puts before a file of answers is dropped at
// the very first byte of the input alone.
TEST_F(Readers, AnswersLoseAByteOrderMarkAtTheirFirstByteOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\xEF\xBB\xBF"
         "5",
         "5"},
        {"\xEF\xBB\xBF 5", "5"},
        {"\n\xEF\xBB\xBF"
         "5",
         "\xEF\xBB\xBF"
         "5"},
        {"  \xEF\xBB\xBF"
         "5",
         "\xEF\xBB\xBF"
         "5"},
    };
    for (const auto &[in, first] : cases) {
        feed_answers(in);
        std::string word;
        ASSERT_TRUE(console_next_answer(word));
        EXPECT_EQ(word, first);
    }
}

// A body of a few MiB is read in chunks cut at blanks, on every thread: the
// grid, the progress lines and the first cell without a valid value (a bad
// word in a later chunk, or the body ending early) are those of one thread,
// in a run holding its grid and in one line by line.
TEST_F(Readers, AsciiChunksOnEveryThreadReadTheGridOfOne)
{
    const int lines = 400, cols = 700; // about 3 MiB of words
    std::string body;
    for (int c = 0; c < lines * cols; c++)
        body += std::to_string(1000.0 + c % 977 * 0.125) + (c % cols == cols - 1 ? "\n" : " ");
    const std::string head = grid_header({std::to_string(cols), std::to_string(lines), "0", "0", "30", "-9999"});
    const size_t bad_at = body.find(' ', body.size() * 2 / 3) + 1; // a word in the third chunk
    const std::pair<std::string, AsciiStatus> texts[] = {
        {head + body, ascii_ok},
        {head + body.substr(0, bad_at) + "x" + body.substr(bad_at), ascii_bad_value},
        {head + body.substr(0, 1 << 21), ascii_bad_value}};
    for (const auto &[text, status] : texts) {
        // The status, the first bad cell, the progress lines, lines of the
        // grid held, and the slope range a pass makes from the grid or the
        // copy of a run line by line.
        std::vector<std::tuple<AsciiStatus, int, int, std::string, std::vector<double>, double>> reads;
        for (const char *by_line : {"0", "1"})
            for (int threads : {1, 2, 3}) {
                ScopedEnv mode("QUARVELIN_LINE_BY_LINE", by_line);
                read_switches();
                engine.thread_count = threads;
                int line = -1, col = -1;
                const AsciiStatus st = read_ascii(text, line, col);
                std::vector<double> some_lines;
                for (int i = 0; st == ascii_ok && dtab_in != nullptr && i < lines; i += 97)
                    some_lines.insert(some_lines.end(), dtab_in[i], dtab_in[i] + cols);
                if (st == ascii_ok)
                    console_of(pendientes);
                reads.emplace_back(st, line, col, progress_text,
                                   *by_line == '0' ? some_lines : std::get<4>(reads.front()), max_pen);
                EXPECT_EQ(reads.back(), reads.front()) << by_line << " " << threads;
                reset_run_state();
            }
        EXPECT_EQ(std::get<0>(reads.front()), status);
    }
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

} // namespace

// Faults that the fuzzers found, kept as behaviour of the program. The input
// that showed each one is also in fuzz/regressions/<target>/.
#include "support.h"

#include <gtest/gtest.h>

using namespace qtest;

namespace {

struct Regressions : ::testing::Test {
    void TearDown() override { reset_run_state(); }
};

// ASCII grid read from a temporary file, as the program reads it.
AsciiStatus read_grid(const std::string &text, int &line, int &col)
{
    FILE *f = text_stream(text);
    const AsciiStatus st = ascii_read(f, line, col);
    std::fclose(f);
    return st;
}

// A model of lines but no columns (ncols 0, or a descriptor with 0 columns)
// has no grids at all; the slopes read no line of them, the progress lines
// are still printed, and the stretch makes an empty image.
// fuzz/regressions/ascii/no_columns_several_lines.asc
TEST_F(Regressions, ModelOfLinesWithoutColumnsHasNoSlopes)
{
    int line = -1, col = -1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(read_grid("ncols 0\nnrows 250\nxllcorner 0\nyllcorner 0\ncellsize 30\nnodata_value -9999\n", line, col),
              ascii_ok);
    EXPECT_EQ(dtab_in, nullptr);
    EXPECT_EQ(dtab_slope, nullptr);
    pendientes();
    treatment();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\tline 200                 \r"), std::string::npos) << out;
    EXPECT_EQ(max_pen, 0.0);
    EXPECT_EQ(tab_out, nullptr);
    EXPECT_EQ(itab_out, nullptr);
}

} // namespace

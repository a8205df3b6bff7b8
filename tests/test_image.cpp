// Bitmap writer and reader: the file layout byte by byte, round trips in the
// three forms, the reader's refusal of malformed or forged files, and the
// largest bitmap a file holds.
#include "image.h"
#include "nrutil.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qtest;

namespace {

using Bytes = std::vector<unsigned char>;
using Words = std::vector<uint32_t>;

uint32_t u32(const Bytes &b, size_t o)
{
    return uint32_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16) | uint32_t(b[o + 3]) << 24;
}
Bytes with(Bytes b, size_t off, uint32_t v, size_t n = 4)
{
    for (size_t i = 0; i < n; i++)
        b[off + i] = static_cast<unsigned char>(v >> (8 * i));
    return b;
}
unsigned char **pattern(int larg, int NbLig) // byte (l, c) = 10 l + c + 1
{
    unsigned char **m = ucmatrice(larg, NbLig);
    for (int l = 0; l < NbLig; l++)
        for (int c = 0; c < larg; c++)
            m[l][c] = static_cast<unsigned char>(10 * l + c + 1);
    return m;
}

class BmpTest : public ::testing::Test {
  protected:
    void TearDown() override { frucmatrice(m, 3); }
    std::string at(const char *n) const { return dir.at(n); }
    int save(int w, int h, int type, const Color32 *map = nullptr)
    {
        return SauveBMP(at("a.bmp").c_str(), m, w, h, type, map);
    }
    // Writes b and reads it back, the palette wanted when want >= 0; true when
    // accepted, and then the pixels must be m's, the form want, the palette map.
    bool reads(const Bytes &b, int want = -1, const Color32 *map = nullptr)
    {
        write_file(at("x.bmp"), std::string(b.begin(), b.end()));
        int nc = 0, nl = 0, type = -1;
        Color32 dummy, *pal = want < 0 ? nullptr : &dummy;
        unsigned char **r = ChargeBMP(at("x.bmp").c_str(), nc, nl, type, pal);
        for (int l = 0; r != nullptr && l < 3; l++)
            EXPECT_TRUE(nl == 3 && std::equal(r[l], r[l] + nc * (type == 2 ? 3 : 1), m[l])) << l;
        EXPECT_TRUE(!r || ((want < 0 || type == want) && (!map || !std::memcmp(pal, map, 1024)))) << type;
        EXPECT_TRUE(want >= 0 || pal == nullptr);
        std::free(pal);
        frucmatrice(r, nl);
        return r != nullptr;
    }
    TempDir dir;
    unsigned char **m = pattern(15, 3);
};
using BmpWriter = BmpTest;
using BmpReader = BmpTest;

TEST_F(BmpWriter, LayoutGreyRampPaddingAndBottomUpLines)
{
    ASSERT_EQ(save(5, 3, 0), 0);
    Bytes f = read_file<Bytes>(at("a.bmp"));
    ASSERT_EQ(f.size(), 1078u + 8 * 3);
    EXPECT_EQ((Words{u32(f, 0) & 0xFFFF, u32(f, 2), u32(f, 10), u32(f, 14), u32(f, 18), u32(f, 22), u32(f, 26),
                     u32(f, 30), u32(f, 34), u32(f, 38), u32(f, 42), u32(f, 46), u32(f, 50)}),
              (Words{0x4D42, 1102, 1078, 40, 5, 3, 1 | 8 << 16, 0, 24, 10000, 10000, 0, 0}));
    for (unsigned i = 0; i < 256; i++)
        ASSERT_EQ(u32(f, 54 + 4 * i), i | i << 8 | i << 16) << i;
    EXPECT_EQ(Bytes(f.begin() + 1078, f.begin() + 1086), (Bytes{21, 22, 23, 24, 25, 0, 0, 0})); // line 2
    EXPECT_EQ(Bytes(f.end() - 8, f.end()), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    auto size = [&](int w, int h, int type) { return save(w, h, type) ? 0u : unsigned(read_file(at("a.bmp")).size()); };
    EXPECT_EQ((Words{size(4, 3, 1), size(5, 0, 0), size(5, 0, 2)}), (Words{1078 + 4 * 3, 1078, 54}));
    ASSERT_EQ(save(5, 2, 2), 0); // 15 pixel bytes, 16 in the file
    f = read_file<Bytes>(at("a.bmp"));
    EXPECT_EQ((Words{unsigned(f.size()), u32(f, 2), u32(f, 10), u32(f, 26), u32(f, 54 + 12) >> 16}),
              (Words{86, 86, 54, 1 | 24 << 16, 25}));
}

TEST_F(BmpWriter, ReportsBadArgumentsAndFullDisk)
{
    EXPECT_EQ((Words{unsigned(save(5, 3, 3)), unsigned(save(-1, 3, 0)), unsigned(save(5, -1, 0)),
                     unsigned(save(70000, 70000, 2)), unsigned(SauveBMP(at("no/a").c_str(), m, 5, 3, 0, nullptr))}),
              Words(5, unsigned(-1)));
#if defined(_WIN32)
    GTEST_SKIP() << "no full device on Windows (Wine's Z: would reach the host's /dev/full); a full disk there "
                    "is covered by Faults/Writer (the host's writes made to fail with ENOSPC)";
#endif
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    unsigned char **wide = pattern(40000, 1);
    EXPECT_EQ(SauveBMP("/dev/full", m, 5, 3, 0, nullptr), -1);        // fails at fclose
    EXPECT_EQ(SauveBMP("/dev/full", wide, 40000, 1, 0, nullptr), -1); // fails at a line
    frucmatrice(wide, 1);
}

TEST_F(BmpReader, RoundTripsKeepPixelsPaletteAndForm)
{
    Color32 colour[256], grey_o[256];
    for (int i = 0; i < 256; i++) {
        const auto v = static_cast<unsigned char>(i);
        colour[i] = Color32{v, static_cast<unsigned char>(255 - i), static_cast<unsigned char>(i / 2), 0};
        grey_o[i] = Color32{v, v, v, 99};
    }
    const struct {
        int w, type;
        const Color32 *map;
        int want;
    } cases[] = {{5, 1, nullptr, 0}, {5, 0, colour, 1}, {4, 1, grey_o, 0}, {5, 2, colour, 2}};
    for (const auto &k : cases) {
        ASSERT_EQ(save(k.w, 3, k.type, k.map), 0);
        const Bytes f = read_file<Bytes>(at("a.bmp"));
        EXPECT_TRUE(reads(f, k.want, k.type == 2 ? nullptr : k.map)) << k.want; // O kept
        EXPECT_TRUE(reads(f)) << k.want;
    }
}

TEST_F(BmpReader, RefusesMalformedForgedAndShortFilesAndAcceptsCompression2And3)
{
    ASSERT_EQ(save(5, 3, 0), 0);
    const Bytes g = read_file<Bytes>(at("a.bmp"));
    ASSERT_EQ(save(5, 3, 2), 0);
    const Bytes t = read_file<Bytes>(at("a.bmp"));
    EXPECT_TRUE(reads(with(g, 30, 2), 0));
    EXPECT_TRUE(reads(with(t, 30, 3), 2));
    const struct {
        const Bytes &b;
        size_t off;
        uint32_t v;
        size_t n;
    } bad[] = {
        {g, 0, 'X', 1}, {g, 10, 1074, 4},  {g, 10, 54, 4},         {t, 10, 1078, 4},      {g, 30, 1, 4},
        {g, 28, 1, 2},  {g, 28, 4, 2},     {g, 28, 16, 2},         {g, 28, 32, 2},        {g, 18, 0, 4},
        {g, 22, 0, 4},  {g, 22, 30000, 4}, {g, 18, 0xFFFFFFFF, 4}, {g, 22, 0xFFFFFFFF, 4}}; // forged sizes, top-down
    for (const auto &k : bad) {
        EXPECT_FALSE(reads(with(k.b, k.off, k.v, k.n), 0)) << k.off;
        EXPECT_FALSE(reads(with(k.b, k.off, k.v, k.n))) << k.off;
    }
    EXPECT_FALSE(reads(with(with(t, 18, 32767), 22, 32767), 2)); // 3 GiB announced
    for (size_t cut : {size_t{40}, size_t{600}, g.size() - 1})
        EXPECT_FALSE(reads(Bytes(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(cut)), 0)) << cut;
    unsigned char **tall = pattern(1, 32768); // a whole file, but above 32767 either way
    ASSERT_EQ(SauveBMP(at("w.bmp").c_str(), tall, 1, 32768, 0, nullptr), 0);
    frucmatrice(tall, 32768);
    const Bytes w = read_file<Bytes>(at("w.bmp"));
    EXPECT_FALSE(reads(w, 0));
    EXPECT_FALSE(reads(with(with(w, 18, 32768), 22, 4), 0));
}

// A bitmap file holds its size in 32 bits: the widest picture of each form
// and height fits (lines padded to 4 bytes), one column more does not. A
// size is 2 more than a multiple of 4, so the largest is 4 GiB - 2 bytes:
// 1078 + 2 x 2147483108, two lines of 2147483105 to 2147483108 columns.
TEST(Reliability, ABitmapFitsUpTo4GiBAndNotAColumnMore)
{
    for (int type : {0, 1, 2})
        for (int lines : {1, 2, 3, 7, 1000, 65535, 65536, 1 << 20, INT_MAX}) {
            SCOPED_TRACE(strf("form %d, %d lines", type, lines));
            const uint64_t header = type == 2 ? 54 : 1078, line = (0xFFFFFFFFu - header) / uint64_t(lines) / 4 * 4;
            const int cols = static_cast<int>(std::min<uint64_t>(line / (type == 2 ? 3 : 1), INT_MAX));
            EXPECT_TRUE(TailleBMPPermise(cols, lines, type));
            EXPECT_TRUE(TailleBMPPermise(std::max(cols - 1, 0), lines, type));
            EXPECT_TRUE(cols == INT_MAX || !TailleBMPPermise(cols + 1, lines, type));
        }
    // Worked out by hand: 65536 padded lines of 8-bit cells hold 65532
    // bytes each at most (65536 x 65536 is 4 GiB, beyond any 32-bit size);
    // one 24-bit line of 1431655746 cells is 4294967238 bytes, 4294967240
    // padded, 4294967294 with the 54 of the header; a cell more passes
    // 4294967295.
    EXPECT_TRUE(TailleBMPPermise(65532, 65536, 0));
    EXPECT_FALSE(TailleBMPPermise(65533, 65536, 0));
    EXPECT_TRUE(TailleBMPPermise(1431655746, 1, 2));
    EXPECT_FALSE(TailleBMPPermise(1431655747, 1, 2));
    EXPECT_TRUE(TailleBMPPermise(2147483105, 2, 0));
    EXPECT_TRUE(TailleBMPPermise(2147483108, 2, 0));
    EXPECT_FALSE(TailleBMPPermise(2147483109, 2, 0));
}

} // namespace

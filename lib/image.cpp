// Bitmap writer and reader. The 54 header bytes go through a buffer, each
// field at its own offset, least significant byte first, whatever the host.
// Only one file line (BuffTmp), the palette and the header buffer are held
// besides the picture.
// All sizes are computed in 64 bits.
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 54;
constexpr size_t kPaletteEntries = 256;
constexpr uint32_t kOffset8 = 1078; // header + 256 x 4 palette bytes
constexpr uint32_t kOffset24 = 54;
constexpr uint32_t kMaxSide = 32767; // NbCol and NbLig leave through 16 bits

void put16(unsigned char *b, size_t off, uint16_t v)
{
    b[off] = static_cast<unsigned char>(v & 0xFF);
    b[off + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char *b, size_t off, uint32_t v)
{
    for (size_t i = 0; i < 4; i++)
        b[off + i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

uint16_t get16(const unsigned char *b, size_t off)
{
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

uint32_t get32(const unsigned char *b, size_t off)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++)
        v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
    return v;
}

void pack_header(const BMP_Header &h, unsigned char *BuffHeader)
{
    put16(BuffHeader, 0, h.BfType);
    put32(BuffHeader, 2, h.BfSize);
    put16(BuffHeader, 6, h.Res1);
    put16(BuffHeader, 8, h.Res2);
    put32(BuffHeader, 10, h.BfOffBits);
    put32(BuffHeader, 14, h.BiSize);
    put32(BuffHeader, 18, h.BiWidth);
    put32(BuffHeader, 22, h.BiHeight);
    put16(BuffHeader, 26, h.BiPlanes);
    put16(BuffHeader, 28, h.BiBitCount);
    put32(BuffHeader, 30, h.BiCompression);
    put32(BuffHeader, 34, h.BiSizeImage);
    put32(BuffHeader, 38, h.BiXPelsPerMeter);
    put32(BuffHeader, 42, h.BiYPelsPerMeter);
    put32(BuffHeader, 46, h.BiClrUsed);
    put32(BuffHeader, 50, h.BiClrImportant);
}

void unpack_header(const unsigned char *BuffHeader, BMP_Header &h)
{
    h.BfType = get16(BuffHeader, 0);
    h.BfSize = get32(BuffHeader, 2);
    h.Res1 = get16(BuffHeader, 6);
    h.Res2 = get16(BuffHeader, 8);
    h.BfOffBits = get32(BuffHeader, 10);
    h.BiSize = get32(BuffHeader, 14);
    h.BiWidth = get32(BuffHeader, 18);
    h.BiHeight = get32(BuffHeader, 22);
    h.BiPlanes = get16(BuffHeader, 26);
    h.BiBitCount = get16(BuffHeader, 28);
    h.BiCompression = get32(BuffHeader, 30);
    h.BiSizeImage = get32(BuffHeader, 34);
    h.BiXPelsPerMeter = get32(BuffHeader, 38);
    h.BiYPelsPerMeter = get32(BuffHeader, 42);
    h.BiClrUsed = get32(BuffHeader, 46);
    h.BiClrImportant = get32(BuffHeader, 50);
}

// Bytes one line takes in the file: larg rounded up to a multiple of 4.
uint64_t line_bytes(uint64_t larg)
{
    return (larg + 3) / 4 * 4;
}

// A picture of this form and size can be written: its file size fits the
// 32-bit size field.
bool picture_fits(int NbCol, int NbLig, int Type)
{
    if (NbCol < 0 || NbLig < 0 || Type < 0 || Type > 2)
        return false;
    const uint64_t TBuff = line_bytes(static_cast<uint64_t>(NbCol) * (Type == 2 ? 3 : 1));
    return (Type == 2 ? kOffset24 : kOffset8) + static_cast<uint64_t>(NbLig) * TBuff <= UINT32_MAX;
}

// A picture's lines are cut from one block, as a matrix of lib/nrutil is, so
// that frucmatrice releases it.
void release_lines(unsigned char **Buff, uint32_t NbLig)
{
    if (Buff == nullptr)
        return;
    if (NbLig > 0)
        std::free(Buff[0]);
    std::free(Buff);
}

// Length of the open file, or -1 when it cannot be measured (a pipe, say).
// Leaves the position where it found it.
long file_length(FILE *f)
{
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0)
        return -1;
    const long end = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0)
        return -1;
    return end;
}

// Everything after opening: header, checks, palette into CM, pixel lines.
// Releases all it allocated when it fails.
unsigned char **read_body(FILE *f, int &NbCol, int &NbLig, int &Type, Color32 *CM)
{
    unsigned char BuffHeader[kHeaderBytes];
    if (std::fread(BuffHeader, kHeaderBytes, 1, f) != 1)
        return nullptr;
    BMP_Header h;
    unpack_header(BuffHeader, h);
    if (h.BfType != 0x4D42)
        return nullptr;
    int form;
    uint64_t taille;
    if (h.BiBitCount == 8 && h.BfOffBits == kOffset8) {
        form = 0;
        taille = 1;
    } else if (h.BiBitCount == 24 && h.BfOffBits == kOffset24) {
        form = 2;
        taille = 3;
    } else {
        return nullptr;
    }
    if (h.BiCompression == 1)
        return nullptr;
    if (h.BiWidth == 0 || h.BiWidth > kMaxSide || h.BiHeight == 0 || h.BiHeight > kMaxSide)
        return nullptr;
    const uint64_t larg = h.BiWidth * taille;
    const uint64_t TBuff = line_bytes(larg);
    const long length = file_length(f);
    if (length < 0 || static_cast<uint64_t>(length) < h.BfOffBits + h.BiHeight * TBuff)
        return nullptr;

    if (form == 0) {
        unsigned char pal[kPaletteEntries * 4];
        if (std::fread(pal, 4, kPaletteEntries, f) != kPaletteEntries)
            return nullptr;
        for (size_t i = 0; i < kPaletteEntries; i++)
            CM[i] = Color32{pal[4 * i], pal[4 * i + 1], pal[4 * i + 2], pal[4 * i + 3]};
        for (size_t i = 0; i < kPaletteEntries; i++)
            if (CM[i].R != i || CM[i].G != i || CM[i].B != i) { // O is not compared
                form = 1;
                break;
            }
    }

    unsigned char *BuffTmp = static_cast<unsigned char *>(std::malloc(TBuff));
    unsigned char **Buff = static_cast<unsigned char **>(std::calloc(h.BiHeight, sizeof(unsigned char *)));
    unsigned char *lines = static_cast<unsigned char *>(std::malloc(h.BiHeight * larg));
    bool ok = BuffTmp != nullptr && Buff != nullptr && lines != nullptr;
    for (uint32_t l = 0; ok && l < h.BiHeight; l++)
        Buff[l] = lines + l * larg;
    if (!ok)
        std::free(lines);
    for (uint32_t l = h.BiHeight; ok && l-- > 0;) {
        ok = std::fread(BuffTmp, 1, TBuff, f) == TBuff;
        if (ok)
            std::memcpy(Buff[l], BuffTmp, larg);
    }
    std::free(BuffTmp);
    if (!ok) {
        release_lines(Buff, h.BiHeight);
        return nullptr;
    }
    NbCol = static_cast<int>(h.BiWidth);
    NbLig = static_cast<int>(h.BiHeight);
    Type = form;
    return Buff;
}

// One line of NbCol x (1 or 3) bytes with its padding; 0, or -1 when a
// write failed.
int write_line(FILE *f, const unsigned char *Ligne, int NbCol, int Type)
{
    const size_t larg = static_cast<size_t>(NbCol) * (Type == 2 ? 3 : 1);
    static const unsigned char padding[3] = {0, 0, 0};
    const size_t pad = static_cast<size_t>(line_bytes(larg) - larg);
    if (larg > 0 && std::fwrite(Ligne, 1, larg, f) != larg)
        return -1;
    if (pad > 0 && std::fwrite(padding, 1, pad, f) != pad)
        return -1;
    return 0;
}

} // namespace

int EcritEnteteBMP(FILE *f, int NbCol, int NbLig, int Type, const Color32 *ColorMAP)
{
    if (f == nullptr || !picture_fits(NbCol, NbLig, Type))
        return -1;
    const bool eight = Type != 2;
    const uint64_t TBuff = line_bytes(static_cast<uint64_t>(NbCol) * (eight ? 1 : 3));
    const uint32_t BfOffBits = eight ? kOffset8 : kOffset24;
    const uint64_t BiSizeImage = static_cast<uint64_t>(NbLig) * TBuff;

    BMP_Header h{};
    h.BfType = 0x4D42;
    h.BfSize = static_cast<uint32_t>(BfOffBits + BiSizeImage);
    h.Res1 = 0;
    h.Res2 = 0;
    h.BfOffBits = BfOffBits;
    h.BiSize = 40;
    h.BiWidth = static_cast<uint32_t>(NbCol);
    h.BiHeight = static_cast<uint32_t>(NbLig);
    h.BiPlanes = 1;
    h.BiBitCount = eight ? 8 : 24;
    h.BiCompression = 0;
    h.BiSizeImage = static_cast<uint32_t>(BiSizeImage);
    h.BiXPelsPerMeter = 10000;
    h.BiYPelsPerMeter = 10000;
    h.BiClrUsed = 0;
    h.BiClrImportant = 0;

    unsigned char BuffHeader[kHeaderBytes];
    pack_header(h, BuffHeader);
    if (std::fwrite(BuffHeader, kHeaderBytes, 1, f) != 1)
        return -1;
    if (eight) {
        unsigned char pal[kPaletteEntries * 4];
        for (size_t i = 0; i < kPaletteEntries; i++) {
            const auto v = static_cast<unsigned char>(i);
            const Color32 c = ColorMAP != nullptr ? ColorMAP[i] : Color32{v, v, v, 0};
            pal[4 * i] = c.B;
            pal[4 * i + 1] = c.G;
            pal[4 * i + 2] = c.R;
            pal[4 * i + 3] = c.O;
        }
        if (std::fwrite(pal, 4, kPaletteEntries, f) != kPaletteEntries)
            return -1;
    }
    return 0;
}

uint64_t TailleLigneBMP(int NbCol, int Type)
{
    return line_bytes(static_cast<uint64_t>(std::max(NbCol, 0)) * (Type == 2 ? 3 : 1));
}

bool TailleBMPPermise(int NbCol, int NbLig, int Type)
{
    return picture_fits(NbCol, NbLig, Type);
}

int SauveBMP(const char *Nom, unsigned char **Buff, int NbCol, int NbLig, int Type, const Color32 *ColorMAP)
{
    if (Nom == nullptr || NbCol < 0 || NbLig < 0 || Type < 0 || Type > 2 || (NbLig > 0 && Buff == nullptr))
        return -1;
    if (!picture_fits(NbCol, NbLig, Type))
        return -1; // refused before the file is made
    FILE *f = std::fopen(Nom, "wb");
    if (f == nullptr)
        return -1;
    bool ok = EcritEnteteBMP(f, NbCol, NbLig, Type, ColorMAP) == 0;
    for (int l = NbLig - 1; ok && l >= 0; l--)
        ok = write_line(f, Buff[l], NbCol, Type) == 0;
    if (std::fclose(f) != 0) // buffered bytes that reach a full disk fail here
        ok = false;
    return ok ? 0 : -1;
}

unsigned char **ChargeBMP(const char *Name, int &NbCol, int &NbLig, int &Type, Color32 *&ColorMAP)
{
    const bool wanted = ColorMAP != nullptr;
    Color32 *CM = static_cast<Color32 *>(std::calloc(kPaletteEntries, sizeof(Color32)));
    if (wanted)
        ColorMAP = CM;
    if (CM == nullptr)
        return nullptr;
    unsigned char **Buff = nullptr;
    FILE *f = Name != nullptr ? std::fopen(Name, "rb") : nullptr;
    if (f != nullptr) {
        Buff = read_body(f, NbCol, NbLig, Type, CM);
        std::fclose(f);
    }
    if (!wanted)
        std::free(CM);
    return Buff;
}

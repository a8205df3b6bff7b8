// Bitmap files: SauveBMP writes a row-pointer matrix of bytes (lib/nrutil.h)
// as an uncompressed BMP file, ChargeBMP reads one back into a new matrix.
// Two forms: Type 0 or 1, 8 bits per pixel with a 256-colour palette
// (0 = grey ramp, 1 = any other palette), pixels at offset 1078; Type 2,
// 24 bits per pixel (bytes blue, green, red), no palette, pixels at offset 54.
// Lines are stored bottom-up (matrix line 0 is the top of the picture), each
// padded with zero bytes to a multiple of 4. Nothing is printed, nothing ends
// the program; failure shows only in the result.
//
// SauveBMP: Buff holds NbLig lines of at least NbCol x (1 or 3) bytes; a null
// ColorMAP writes the grey ramp (entry i = i, i, i, 0), otherwise ColorMAP
// must hold 256 entries, whatever the Type. Result 0 when the whole file was
// written and closed; -1 for a Type other than 0, 1, 2, a negative size, a
// picture whose file would pass 4 GiB, or a file that could not be opened,
// written whole or closed. A file that failed midway stays on disk.
//
// ChargeBMP: reads 8-bit files with offset 1078 and 24-bit files with
// offset 54 from a seekable file (not a pipe); refuses other signatures,
// offsets and bit counts, run-length compression (value 1; the values 2 and
// 3 are read as plain lines), widths or heights of 0 or above 32767 (a
// top-down picture, whose height is negative, is above that), and files
// shorter than their header announces. Before anything is allocated, the file's length is
// checked, so a forged header cannot make it allocate more than the file holds.
// On success NbCol, NbLig, Type are set and the result is a matrix of NbLig
// lines of NbCol x (1 or 3) bytes, to be released by the caller with
// frucmatrice(Mat, NbLig). On failure the result is null, NbCol, NbLig and
// Type are left untouched, and the file is closed.
// ColorMAP: null on entry asks for no palette and stays null. Any other value
// on entry asks for it: that value is neither read nor released, and the
// pointer is overwritten with a new array of 256 entries (all zero for a
// 24-bit file) that the caller owns and releases with free(), even when the
// read failed (its contents are then meaningless). If that array cannot be
// obtained, the pointer becomes null and the result is null.
#ifndef QUARVELIN_IMAGE_H
#define QUARVELIN_IMAGE_H

#include <cstdint>
#include <cstdio>

struct Color32 {
    unsigned char B, G, R, O;
};

// The two headers of the file as one record, in file order. The record's
// memory layout never reaches the file: it is packed field by field.
struct BMP_Header {
    uint16_t BfType;
    uint32_t BfSize;
    uint16_t Res1;
    uint16_t Res2;
    uint32_t BfOffBits;
    uint32_t BiSize;
    uint32_t BiWidth;
    uint32_t BiHeight;
    uint16_t BiPlanes;
    uint16_t BiBitCount;
    uint32_t BiCompression;
    uint32_t BiSizeImage;
    uint32_t BiXPelsPerMeter;
    uint32_t BiYPelsPerMeter;
    uint32_t BiClrUsed;
    uint32_t BiClrImportant;
};

int SauveBMP(const char *Nom, unsigned char **Buff, int NbCol, int NbLig, int Type, const Color32 *ColorMAP);

// The header of SauveBMP's file and, in the 8-bit forms, its palette, on a
// file the caller opened, writes the lines of (each padded to 4 bytes, the
// bottom line of the picture first) and closes. Returns 0, or -1 when its
// arguments are refused (as SauveBMP refuses them) or a write failed.
int EcritEnteteBMP(FILE *f, int NbCol, int NbLig, int Type, const Color32 *ColorMAP);
// Bytes one line of NbCol pixels takes in the file, its padding included;
// and whether a picture of this size and form can be written at all (its
// file size fits the format's 32-bit field: below 4 GiB).
uint64_t TailleLigneBMP(int NbCol, int Type);
bool TailleBMPPermise(int NbCol, int NbLig, int Type);
unsigned char **ChargeBMP(const char *Name, int &NbCol, int &NbLig, int &Type, Color32 *&ColorMAP);

#endif

// The names of the files of a run. Every file is a base name followed by a
// fixed suffix: the model and its descriptor take the base name typed for
// the model, the results the generic result name. These tables are the one
// place the suffixes stand, with what each file holds (the usage text lists
// them). Plain constants: nothing here does anything.
#ifndef QUARVELIN_NAMES_H
#define QUARVELIN_NAMES_H

// A raw raster model of one cell type (index: itype) and its descriptor.
struct RawForm {
    const char *raster;     // suffix of the raster file
    const char *descriptor; // suffix of its descriptor file
    int bytes;              // bytes per cell, third value of the descriptor
    const char *what;
};
extern const RawForm raw_forms[2];
extern const char ascii_suffix[]; // suffix of an ASCII grid model

// The result files, each the generic result name followed by its suffix.
enum ResultRole {
    result_histogram,            // f3h, written in every run
    result_raw_image,            // f2, output form 0
    result_raw_image_descriptor, // f2d, output form 0
    result_bitmap,               // f2, output form 1
    result_ascii_image,          // f2, output form 2
    result_dem_histogram,        // f2h, with a log DEM
    result_raw_dem,              // f3, log DEM form 0
    result_raw_dem_descriptor,   // f3d, log DEM form 0
    result_ascii_dem,            // f3, log DEM form 1
    result_raw_image_header,     // f2g, output form 0
    result_bitmap_world,         // f2g, output form 1
    result_raw_dem_header,       // f3g, log DEM form 0
    result_bitmap_crs,           // f2p, output form 1, its coordinate system known
    result_ascii_image_crs,      // f2p, output form 2, its coordinate system known
    result_ascii_dem_crs,        // f3p, log DEM form 1, its coordinate system known
    result_count
};
struct ResultFile {
    const char *suffix;
    const char *mode; // fopen mode: text or binary
    const char *what;
};
extern const ResultFile result_files[result_count];

// The results of each form of the image (raw raster, bitmap, ASCII grid) and
// of the log DEM (raw raster, ASCII grid): the raster, its descriptor and its
// GIS sidecars (the place, the coordinate system), those the form has
// (result_count where it has none).
extern const ResultRole image_results[3][4];
extern const ResultRole dem_results[2][4];

#endif

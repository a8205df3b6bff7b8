// The names of the files of a run (names.h).
#include "names.h"

const RawForm raw_forms[2] = {
    {"_m2.raw", "_m2.txt", 2, "raw 16-bit unsigned cells"},
    {"_m4.raw", "_m4.txt", 4, "raw 32-bit signed cells"},
};

const char ascii_suffix[] = ".asc";

const ResultFile result_files[result_count] = {
    {"_log.xls", "w", "histogram file of the image"},
    {"_log.raw", "wb", "image, raw 8-bit raster"},
    {"_log.txt", "w", "descriptor file of the raw image"},
    {"_log.bmp", "wb", "image, bitmap"},
    {"_log.asc", "w", "image, ASCII grid"},
    {"_dem_log.xls", "w", "histogram file of the log DEM"},
    {"_log_dem_m4.raw", "wb", "log DEM, raw 32-bit raster"},
    {"_log_dem_m4.txt", "w", "descriptor file of the raw log DEM"},
    {"_log_dem.asc", "w", "log DEM, ASCII grid"},
    {"_log.hdr", "w", "header of the raw image, for a GIS"},
    {"_log.bpw", "w", "world file of the bitmap, for a GIS"},
    {"_log_dem_m4.hdr", "w", "header of the raw log DEM, for a GIS"},
    {"_log.bmp.aux.xml", "w", "coordinate system of the bitmap, for a GIS"},
    {"_log.prj", "w", "coordinate system of the ASCII image, for a GIS"},
    {"_log_dem.prj", "w", "coordinate system of the ASCII log DEM, for a GIS"},
};

const ResultRole image_results[3][4] = {
    {result_raw_image, result_raw_image_descriptor, result_raw_image_header, result_count},
    {result_bitmap, result_count, result_bitmap_world, result_bitmap_crs},
    {result_ascii_image, result_count, result_count, result_ascii_image_crs}};
const ResultRole dem_results[2][4] = {{result_raw_dem, result_raw_dem_descriptor, result_raw_dem_header, result_count},
                                      {result_ascii_dem, result_count, result_count, result_ascii_dem_crs}};

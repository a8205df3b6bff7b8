// Where a model lies and in which coordinate system: the texts that carry
// them beside a raster, read and written.
//
// - The ENVI header that GIS tools write beside a raw raster (NAME.hdr
//   beside NAME.raw): "key = value" lines after a first line "ENVI", a value
//   in braces running on over lines until its closing brace. Read here: its
//   size (samples, lines), its map info (the map place of a reference cell,
//   the cell size and the projection's name and fields), its coordinate
//   system string (a WKT text) and its data ignore value.
// - A coordinate system as WKT (a .prj file beside an ASCII grid, or the
//   coordinate system string of a header), of either WKT version: whether it
//   is projected (cells in metres) or geographic (cells in degrees), and the
//   name a header's map info gives it.
// - The texts written beside results: the map info of a header, the .prj of
//   an ASCII grid and the .aux.xml that GIS tools read the coordinate system
//   of a bitmap from.
//
// Everything here works on texts in memory: nothing reads or writes files,
// prints, exits or keeps state.
#ifndef QUARVELIN_GEOREF_H
#define QUARVELIN_GEOREF_H

#include <string>

// What an ENVI header says. A map place is `placed` only when the map info
// holds the seven numbers, positive cell sizes and no rotation; its corner
// is then the upper-left corner of the upper-left cell, whatever reference
// cell the header names.
struct EnviHeader {
    bool valid = false;                // the text starts with the line "ENVI"
    int samples = -1, lines = -1;      // columns and lines; -1 when not given
    bool placed = false;               // the map info gives the map place
    double left = 0.0, top = 0.0;      // upper-left corner of the raster
    double cell_x = 0.0, cell_y = 0.0; // cell size across and down, positive
    std::string projection;            // the map info's name of the projection
    std::string projection_fields;     // its fields after the cell size, from the
                                       // first comma on ("" when none)
    std::string wkt;                   // the coordinate system string, or ""
    bool has_ignore = false;           // a data ignore value is given
    double ignore_value = 0.0;
};

EnviHeader read_envi_header(const std::string &text);

// The line that tells how a raster's header `h`, in the file `header`,
// disagrees with the `lines` and `cols` of its descriptor `descriptor`,
// which are used: "" when it agrees (a size it does not give agrees).
std::string header_size_note(const EnviHeader &h, int lines, int cols, const std::string &header,
                             const std::string &descriptor);

// What kind of coordinate system a WKT text is: the first coordinate system
// keyword met outside quotes decides (a projected one holds its geographic
// base inside, after its own keyword). A text with none is not known.
enum CrsKind { crs_unknown, crs_projected, crs_geographic };
CrsKind crs_kind(const std::string &wkt);

// The kind of a model's coordinate system: its WKT text's (crs_kind), and
// when that names none, geographic when the name of the projection of its
// header's map info starts with "Geographic".
CrsKind model_crs_kind(const std::string &wkt, const std::string &projection);
// What the program tells of a model whose sidecar `path` gives it in
// degrees: slopes need cells in metres, and how to project it.
std::string degrees_refusal(const std::string &path);

// The WKT text as one line: line breaks become blanks, blanks at both ends
// go. The form the coordinate system string of a header holds.
std::string wkt_line(const std::string &wkt);

// The name and fields that a header's map info gives a projected WKT, as
// GIS tools write them: "UTM" with the fields ", ZONE, North" or
// ", ZONE, South" and the datum (",WGS-84" ...) for a UTM zone; the name of
// a few common projections with no fields; "Arbitrary" otherwise.
void envi_projection_of(const std::string &wkt, std::string &name, std::string &fields);

// The map info value of a header: the upper-left corner of the upper-left
// cell (reference cell 1, 1) and the cell size, the numbers written in
// their shortest exact form: "{NAME, 1, 1, LEFT, TOP, CELL, CELL FIELDS}".
std::string envi_map_info(const std::string &name, const std::string &fields, double left, double top, double cell);

// The ENVI header beside a raw result of `samples` columns by `lines` lines
// of cells of the ENVI `data_type` (1: bytes, 3: 32-bit signed), one band,
// lines in order, little-endian; when `placed`, the map info of its
// upper-left corner (left, top) and cell size in the projection `name` with
// its `fields` ("Arbitrary" when the name is ""); and when `wkt` is not ""
// that coordinate system string.
std::string envi_header_text(int samples, int lines, int data_type, bool placed, const std::string &name,
                             const std::string &fields, double left, double top, double cell, const std::string &wkt);

// The .aux.xml text beside a bitmap that gives its coordinate system.
std::string pam_text(const std::string &wkt);

#endif

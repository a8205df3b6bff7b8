// Where a model lies and in which coordinate system: the headers and WKT
// texts that GIS tools write, read; whole runs whose results carry the
// model's place and system, claim none they do not know, or refuse a model
// in degrees before anything is written.
#include "georef.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace qtest;

namespace {

// As GIS tools write them for UTM zone 33N (ESRI WKT, in a .prj and in the
// header beside a 16-bit raster of 5 lines by 6 columns), and for
// latitude and longitude.
const std::string utm_wkt =
    R"(PROJCS["WGS_1984_UTM_Zone_33N",GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984",SPHEROID["WGS_1984",6378137.0,)"
    R"(298.257223563]],PRIMEM["Greenwich",0.0],UNIT["Degree",0.0174532925199433]],PROJECTION["Transverse_Mercator"],)"
    R"(PARAMETER["False_Easting",500000.0],PARAMETER["Central_Meridian",15.0],UNIT["Meter",1.0]])";
const std::string degrees_wkt = R"(GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984"],UNIT["Degree",0.0174532925199433]])";
const std::string tool_header = "ENVI\ndescription = {\ndem_m2.raw}\nsamples = 6\nlines   = 5\nbands   = 1\n"
                                "data type = 12\nmap info = {UTM, 1, 1, 500000, 4100150, 30, 30, 33, North,WGS-84}\n"
                                "coordinate system string = {" +
                                utm_wkt + "}\nband names = {\nBand 1}\ndata ignore value = 0\n";

} // namespace

TEST(Georef, HeadersAreReadAsGisToolsWriteThem)
{
    struct Row {
        std::string text;
        bool valid, placed;
        int samples, lines;
        double left, top;
        const char *fields;
    };
    const Row rows[] = {
        {tool_header, true, true, 6, 5, 500000, 4100150, ", 33, North,WGS-84"},
        // The reference cell at the centre of the upper-left cell.
        {"ENVI\nmap info = {UTM, 1.5, 1.5, 500015, 4100135, 30, 30}\n", true, true, -1, -1, 500000, 4100150, ""},
        {"ENVI\nmap info = {UTM, 1, 1, 500000, 4100150, 30, 30, 33, North, rotation=10}\n", true, false, -1, -1, 0, 0,
         ", 33, North, rotation=10"},
        {"samples = 6\n", false, false, -1, -1, 0, 0, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text);
        const EnviHeader h = read_envi_header(r.text);
        EXPECT_EQ(h.valid, r.valid);
        EXPECT_EQ(h.placed, r.placed);
        EXPECT_EQ(h.samples, r.samples);
        EXPECT_EQ(h.lines, r.lines);
        EXPECT_EQ(h.projection_fields, r.fields);
        if (r.placed) {
            EXPECT_EQ((std::vector<double>{h.left, h.top, h.cell_x, h.cell_y}),
                      (std::vector<double>{r.left, r.top, 30, 30}));
        }
    }
    const EnviHeader h = read_envi_header(tool_header);
    EXPECT_EQ(h.wkt, utm_wkt);
    EXPECT_TRUE(h.has_ignore && h.ignore_value == 0.0);
}

TEST(Georef, CoordinateSystemsAreToldApartAndNamedAsGisToolsNameThem)
{
    struct Row {
        std::string wkt;
        CrsKind kind;
        const char *name, *fields;
    };
    const Row rows[] = {
        {utm_wkt, crs_projected, "UTM", ", 33, North,WGS-84"},
        {R"(PROJCRS["WGS 84 / UTM zone 33S",BASEGEOGCRS["WGS 84"],CONVERSION["UTM zone 33S"]])", crs_projected, "UTM",
         ", 33, South,WGS-84"},
        {R"(PROJCS["ETRS89 / LAEA Europe",GEOGCS["ETRS89"],PROJECTION["Lambert_Azimuthal_Equal_Area"]])", crs_projected,
         "Lambert Azimuthal Equal Area", ""},
        {R"(COMPD_CS["GEOGCS[ in a name",PROJCS["x"],VERT_CS["h"]])", crs_projected, "Arbitrary", ""},
        {degrees_wkt, crs_geographic, "Arbitrary", ""},
        {R"(GEOGCRS["WGS 84",DATUM["World Geodetic System 1984"]])", crs_geographic, "Arbitrary", ""},
        {R"(BOUNDCRS[SOURCECRS[GEODCRS["x"]]])", crs_geographic, "Arbitrary", ""},
        {R"(LOCAL_CS["site grid"])", crs_unknown, "Arbitrary", ""},
        {"Projection UTM\nZone 33\n", crs_unknown, "Arbitrary", ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.wkt);
        EXPECT_EQ(crs_kind(r.wkt), r.kind);
        std::string name, fields;
        envi_projection_of(r.wkt, name, fields);
        EXPECT_EQ(name, r.name);
        EXPECT_EQ(fields, r.fields);
    }
}

namespace {

// The worked example of the slopes (3 lines by 5 columns, cell size 10) as
// a 32-bit raw model with its descriptor, or as an ASCII grid.
const std::vector<int64_t> cells = {100, 100, 100, 100, 100, 100, 100, 100, 110, 130, 100, 100, 100, 120, 160};
const std::string tones = "0\t0\t0\t0\t0\t0\t0\t208\t254\t0\t0\t0\t0\t0\t0\t";
const std::string grid_body = "100 100 100 100 100\n100 100 100 110 130\n100 100 100 120 160\n";
const std::string result_header = "ENVI\ndescription = {quarvelin result}\nsamples = 5\nlines = 3\nbands = 1\n"
                                  "header offset = 0\nfile type = ENVI Standard\ndata type = 3\ninterleave = bsq\n"
                                  "byte order = 0\n";
const std::string placed_header = "ENVI\nsamples = 5\nlines = 3\nmap info = {UTM, 1, 1, 512000, 4100030, 10, 10, 33, "
                                  "North,WGS-84}\ncoordinate system string = {" +
                                  utm_wkt + "}\n";
const std::string raw_bitmap_dem = "1 site w 1 1 0 res 1 0 0 1000\n";

struct PlacedRun {
    const char *name;
    std::vector<std::pair<std::string, std::string>> put; // besides w_m4.raw
    std::string answers;
    int status;
    std::string shown;                                     // in the console text
    std::vector<std::pair<std::string, std::string>> made; // files and their bytes
    std::vector<std::string> files;                        // every file after the run
};

// A failure names the row instead of dumping its bytes.
void PrintTo(const PlacedRun &row, std::ostream *os)
{
    *os << row.name;
}

class PlacedRuns : public ::testing::TestWithParam<PlacedRun> {};

const std::vector<std::string> raw_files = {
    "res_dem_log.xls",    "res_log.bmp",        "res_log.xls", "res_log_dem_m4.hdr",
    "res_log_dem_m4.raw", "res_log_dem_m4.txt", "w_m4.raw",    "w_m4.txt"};

const PlacedRun placed_runs[] = {
    {"AsciiCentreIsTheCentreOfTheLowerLeftCell",
     {{"w.asc", "ncols 5\nnrows 3\nXLLCENTER 512005\nyllcenter 4100005\ncellsize 10\n" + grid_body}},
     "1 site w 0 res 2 1\n",
     0,
     "",
     {{"res_log.asc", "ncols 5\nnrows 3\nxllcorner 512000.000000\nyllcorner 4100000.000000\ncellsize 10.000000\n"
                      "nodata_value -9999.9999\n" +
                          tones}},
     {"res_log.asc", "res_log.xls", "w.asc"}},
    {"RawModelWithoutHeaderClaimsNoPlace",
     {},
     raw_bitmap_dem,
     0,
     "",
     {{"res_log_dem_m4.hdr", result_header}},
     raw_files},
    {"RawModelPlacedByItsHeader",
     {{"w_m4.hdr", placed_header}},
     raw_bitmap_dem,
     0,
     "",
     {{"res_log.bpw", "10\n0\n0\n-10\n512005\n4100025\n"},
      {"res_log.bmp.aux.xml", "<PAMDataset>\n  <SRS>" + utm_wkt + "</SRS>\n</PAMDataset>\n"},
      {"res_log_dem_m4.hdr", result_header + "map info = {UTM, 1, 1, 512000, 4100030, 10, 10, 33, North,WGS-84}\n" +
                                 "coordinate system string = {" + utm_wkt + "}\n"}},
     {"res_dem_log.xls", "res_log.bmp", "res_log.bmp.aux.xml", "res_log.bpw", "res_log.xls", "res_log_dem_m4.hdr",
      "res_log_dem_m4.raw", "res_log_dem_m4.txt", "w_m4.hdr", "w_m4.raw", "w_m4.txt"}},
    {"HeaderOfAnotherSizeIsToldAndTheDescriptorRules",
     {{"w_m4.hdr", "ENVI\nsamples = 6\nlines = 3\n"}},
     "1 site w 1 1 0 res 0 1\n",
     0,
     "w_m4.hdr gives 3 lines by 6 columns: the 3 lines by 5 columns of <ROOT>/site/w_m4.txt are used\n\n\t"
     "Hypsometric",
     {{"res_log.raw", std::string("\0\0\0\0\0\0\0\xD0\xFE\0\0\0\0\0\0", 15)}},
     {"res_log.hdr", "res_log.raw", "res_log.txt", "res_log.xls", "w_m4.hdr", "w_m4.raw", "w_m4.txt"}},
    {"AsciiModelCarriesItsPrjToEveryAsciiResult",
     {{"w.asc", "ncols 5\nnrows 3\nxllcorner 512000\nyllcorner 4100000\ncellsize 10\n" + grid_body},
      {"w.prj", utm_wkt}},
     "1 site w 0 res 2 0 1 1000\n",
     0,
     "",
     {{"res_log.prj", utm_wkt + "\n"}, {"res_log_dem.prj", utm_wkt + "\n"}},
     {"res_dem_log.xls", "res_log.asc", "res_log.prj", "res_log.xls", "res_log_dem.asc", "res_log_dem.prj", "w.asc",
      "w.prj"}},
    {"AsciiModelInDegreesIsRefused",
     {{"w.asc", "ncols 5\nnrows 3\nxllcorner 15\nyllcorner 45\ncellsize 0.001\n" + grid_body}, {"w.prj", degrees_wkt}},
     "1 site w 0 res 2 1\n",
     1,
     "\n\tFile <ROOT>/site/w.prj gives the model in degrees of latitude and longitude: slopes need cells in metres."
     "\n\tProject the model onto a map in metres first, for example: gdalwarp -t_srs EPSG:32633 ",
     {},
     {"w.asc", "w.prj"}},
    {"RawModelInDegreesIsRefusedBeforeItsDescriptorIsMade",
     {{"w_m4.hdr", "ENVI\ncoordinate system string = {" + degrees_wkt + "}\n"}},
     "1 site w 1 1 3 5 10 0 res 1 1\n",
     1,
     "File <ROOT>/site/w_m4.hdr gives the model in degrees",
     {},
     {"w_m4.hdr", "w_m4.raw"}},
};

INSTANTIATE_TEST_SUITE_P(Georef, PlacedRuns, ::testing::ValuesIn(placed_runs),
                         [](const ::testing::TestParamInfo<PlacedRun> &row) { return row.param.name; });

} // namespace

TEST_P(PlacedRuns, ResultsCarryWhatTheModelSaysOfItsPlace)
{
    const PlacedRun &row = GetParam();
    Site s;
    const bool raw = row.put.empty() || row.put[0].first.ends_with(".hdr");
    if (raw)
        s.put_raw("w", 1, cells, row.files.back() == "w_m4.txt" ? descriptor_text({3, 5, 4, 100, 160, 10}) : "");
    for (const auto &[name, bytes] : row.put)
        s.write(name, bytes);
    const Outcome r = s.run(row.answers);
    EXPECT_EQ(r.status, row.status);
    EXPECT_TRUE(contains(s.portable(r.out), row.shown)) << r.out;
    EXPECT_EQ(s.files(), row.files);
    for (const auto &[name, bytes] : row.made)
        EXPECT_EQ(s.read(name), bytes) << name;
}

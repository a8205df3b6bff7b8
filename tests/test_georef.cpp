// Headers and WKT texts as GIS tools write them; runs that place their
// results right, claim no place they do not know, or refuse a model in
// degrees (gis_recipes.sh checks the results of GDAL's models with gdalinfo).
#include "georef.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace qtest;

TEST(Georef, HeadersGiveTheUpperLeftCornerOfTheRasterWhateverTheirReferenceCell)
{
    const std::string head = "ENVI\ndescription = {\nm.raw}\nsamples = 6\nlines   = 5\nmap info = {UTM, ";
    const std::pair<std::string, std::vector<double>> rows[] = {
        // placed: left, top; not placed: {}
        {head + "1, 1, 500000, 4100150, 30, 30, 33, North,WGS-84}\n", {500000, 4100150}},
        {head + "1.5, 1.5, 500015, 4100135, 30, 30}\n", {500000, 4100150}},
        {head + "1, 1, 500000, 4100150, 30, 30, 33, North, rotation=10}\n", {}},
        {head + "1, 1, 500000, 4100150, 0, 30}\n", {}}};
    for (const auto &[text, corner] : rows) {
        const EnviHeader h = read_envi_header(text);
        EXPECT_TRUE(h.valid && h.samples == 6 && h.lines == 5) << text;
        EXPECT_EQ(h.placed ? std::vector<double>({h.left, h.top}) : std::vector<double>(), corner) << text;
    }
    EXPECT_EQ(read_envi_header(head + "1, 1, 0, 0, 1, 1, 33, North,WGS-84}\n").projection_fields, ", 33, North,WGS-84");
    EXPECT_FALSE(read_envi_header("samples = 6\n").valid);
}

TEST(Georef, CoordinateSystemsAreToldApartAndNamedAsGisToolsNameThem)
{
    // The WKT, its kind, and the name and fields of the map info that GDAL writes for it.
    const std::tuple<const char *, CrsKind, const char *> rows[] = {
        {R"(PROJCS["WGS_1984_UTM_Zone_33N",GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984"]]])", crs_projected,
         "UTM, 33, North,WGS-84"},
        {R"(PROJCRS["WGS 84 / UTM zone 33S",BASEGEOGCRS["WGS 84"]])", crs_projected, "UTM, 33, South,WGS-84"},
        {R"(PROJCS["LAEA",PROJECTION["Lambert_Azimuthal_Equal_Area"]])", crs_projected, "Lambert Azimuthal Equal Area"},
        {R"(COMPD_CS["GEOGCS[ in a name",PROJCS["x"],VERT_CS["h"]])", crs_projected, "Arbitrary"},
        {R"(GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984"]])", crs_geographic, "Arbitrary"},
        {R"(BOUNDCRS[SOURCECRS[GEODCRS["x"]]])", crs_geographic, "Arbitrary"},
        {"Projection UTM\nZone 33\n", crs_unknown, "Arbitrary"}};
    for (const auto &[wkt, kind, named] : rows) {
        std::string name, fields;
        envi_projection_of(wkt, name, fields);
        EXPECT_EQ(crs_kind(wkt), kind) << wkt;
        EXPECT_EQ(name + fields, named) << wkt;
    }
}

namespace {

// The worked example of the slopes (3 lines by 5 columns, cell size 10), as
// a 32-bit raw model (with its descriptor unless the row makes none) or as
// an ASCII grid whose header the row gives.
struct PlacedRun {
    const char *name;
    std::vector<std::pair<std::string, std::string>> put, made; // files and their bytes, before and after
    std::string answers, shown;                                 // shown: in the console text
    std::vector<std::string> files;                             // every file after the run
};
void PrintTo(const PlacedRun &row, std::ostream *os)
{
    *os << row.name;
}
class PlacedRuns : public ::testing::TestWithParam<PlacedRun> {};

const std::string body = "100 100 100 100 100\n100 100 100 110 130\n100 100 100 120 160\n";
const std::string degrees = "\n\tFile <ROOT>/site/w.prj gives the model in degrees of latitude and longitude: slopes "
                            "need cells in metres.\n\tProject the model onto a map in metres first, for example: "
                            "gdalwarp -t_srs EPSG:32633 dem.tif dem_utm.tif\n";
const std::string header = "ENVI\ndescription = {quarvelin result}\nsamples = 5\nlines = 3\nbands = 1\nheader offset "
                           "= 0\nfile type = ENVI Standard\ndata type = 3\ninterleave = bsq\nbyte order = 0\n";

const PlacedRun placed_runs[] = {
    {"AsciiCentreIsTheCentreOfTheLowerLeftCell",
     {{"w.asc", "ncols 5\nnrows 3\nXLLCENTER 512005\nyllcenter 4100005\ncellsize 10\n" + body}},
     {{"res_log.asc", "ncols 5\nnrows 3\nxllcorner 512000.000000\nyllcorner 4100000.000000\ncellsize 10.000000\n"
                      "nodata_value -9999.9999\n0\t0\t0\t0\t0\t0\t0\t208\t254\t0\t0\t0\t0\t0\t0\t"}},
     "1 site w 0 res 2 1\n",
     "",
     {"res_log.asc", "res_log.xls", "w.asc"}},
    {"RawModelWithoutHeaderClaimsNoPlace",
     {},
     {{"res_log_dem_m4.hdr", header}},
     "1 site w 1 1 0 res 1 0 0 1000\n",
     "",
     {"res_dem_log.xls", "res_log.bmp", "res_log.xls", "res_log_dem_m4.hdr", "res_log_dem_m4.raw", "res_log_dem_m4.txt",
      "w_m4.raw", "w_m4.txt"}},
    {"HeaderOfAnotherSizeIsToldAndTheDescriptorRules",
     {{"w_m4.hdr", "ENVI\nsamples = 6\nlines = 3\n"}},
     {{"res_log.raw", std::string("\0\0\0\0\0\0\0\xD0\xFE\0\0\0\0\0\0", 15)}},
     "1 site w 1 1 0 res 0 1\n",
     "\n\tFile <ROOT>/site/w_m4.hdr gives 3 lines by 6 columns: the 3 lines by 5 columns of <ROOT>/site/w_m4.txt are "
     "used\n\n\tHypsometric",
     {"res_log.hdr", "res_log.raw", "res_log.txt", "res_log.xls", "w_m4.hdr", "w_m4.raw", "w_m4.txt"}},
    {"AsciiModelInDegreesIsRefused",
     {{"w.asc", "ncols 5\nnrows 3\nxllcorner 15\nyllcorner 45\ncellsize 0.001\n" + body},
      {"w.prj", R"(GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984"]])"}},
     {},
     "1 site w 0 res 2 1\n",
     degrees,
     {"w.asc", "w.prj"}},
    {"RawModelInDegreesIsRefusedBeforeItsDescriptorIsMade",
     {{"w_m4.hdr", "ENVI\nmap info = {Geographic Lat/Lon, 1, 1, 15, 45, 0.001, 0.001,WGS-84}\n"}},
     {},
     "1 site w 1 1 3 5 10 0 res 1 1\n",
     "File <ROOT>/site/w_m4.hdr gives the model in degrees",
     {"w_m4.hdr", "w_m4.raw"}},
};
INSTANTIATE_TEST_SUITE_P(Georef, PlacedRuns, ::testing::ValuesIn(placed_runs),
                         [](const ::testing::TestParamInfo<PlacedRun> &row) { return row.param.name; });

} // namespace

TEST_P(PlacedRuns, ResultsCarryWhatTheModelSaysOfItsPlace)
{
    const PlacedRun &row = GetParam();
    Site s;
    if (row.files.back() != "w.prj" && row.files.back() != "w.asc")
        s.put_raw("w", 1, {100, 100, 100, 100, 100, 100, 100, 100, 110, 130, 100, 100, 100, 120, 160},
                  row.files.back() == "w_m4.txt" ? "3 5 4 100 160 10\n" : "");
    for (const auto &[name, bytes] : row.put)
        s.write(name, bytes);
    const Outcome r = s.run(row.answers);
    EXPECT_EQ(r.status, row.shown.find("degrees") == std::string::npos ? 0 : 1);
    EXPECT_TRUE(contains(s.portable(r.out), row.shown)) << r.out;
    EXPECT_EQ(s.files(), row.files);
    for (const auto &[name, bytes] : row.made)
        EXPECT_EQ(s.read(name), bytes) << name;
}

// Where a model lies and in which coordinate system: see georef.h.
#include "georef.h"

#include "words.h"

#include <cctype>
#include <cmath>
#include <string_view>
#include <vector>

namespace {

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmed(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t\r\n\v\f");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n\v\f") + 1 - b);
}

// A key of a header in one form: lower case, one blank between its words
// ("lines   =" and "Lines =" are the same key).
std::string key_of(const std::string &s)
{
    std::string k;
    for (char c : trimmed(s)) {
        if (is_blank(static_cast<unsigned char>(c))) {
            if (!k.empty() && k.back() != ' ')
                k += ' ';
        } else {
            k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return k;
}

bool number_of(const std::string &s, double &v)
{
    const std::string t = trimmed(s);
    return !t.empty() && real_word(t.data(), t.data() + t.size(), v) == word_number;
}

bool count_of(const std::string &s, int &v)
{
    const std::string t = trimmed(s);
    return int_word(t.data(), t.data() + t.size(), v) && v >= 0;
}

// The map info value without its braces: the projection's name, the
// reference cell (1-based, its upper-left corner at 1, 1), its map place,
// the cell size, then the fields of the projection.
void read_map_info(const std::string &value, EnviHeader &h)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (int k = 0; k < 7; k++) {
        const size_t comma = value.find(',', at);
        fields.push_back(value.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) {
            at = value.size();
            break;
        }
        at = comma + 1;
    }
    if (fields.size() < 7)
        return;
    h.projection = trimmed(fields[0]);
    const std::string rest = fields.size() == 7 && at < value.size() ? value.substr(at) : "";
    h.projection_fields = rest.empty() ? "" : "," + rest;
    double n[6];
    for (int k = 0; k < 6; k++)
        if (!number_of(fields[static_cast<size_t>(k) + 1], n[k]))
            return;
    if (n[4] <= 0.0 || n[5] <= 0.0 || lower(rest).find("rotation") != std::string::npos)
        return;
    h.cell_x = n[4];
    h.cell_y = n[5];
    h.left = n[2] - (n[0] - 1.0) * n[4];
    h.top = n[3] + (n[1] - 1.0) * n[5];
    h.placed = std::isfinite(h.left) && std::isfinite(h.top);
}

} // namespace

EnviHeader read_envi_header(const std::string &text)
{
    EnviHeader h;
    size_t at = 0;
    auto next_line = [&](std::string &line) {
        if (at >= text.size())
            return false;
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        line = text.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string line;
    if (!next_line(line) || key_of(line) != "envi")
        return h;
    h.valid = true;
    while (next_line(line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = key_of(line.substr(0, eq));
        std::string value = trimmed(line.substr(eq + 1));
        if (value.starts_with("{")) {
            // A value in braces runs on until its closing brace.
            while (value.find('}') == std::string::npos && at < text.size()) {
                std::string more;
                next_line(more);
                value += "\n" + more;
            }
            const size_t close = value.find('}');
            value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        }
        if (key == "samples" && !count_of(value, h.samples))
            h.samples = -1;
        else if (key == "lines" && !count_of(value, h.lines))
            h.lines = -1;
        else if (key == "map info")
            read_map_info(value, h);
        else if (key == "coordinate system string")
            h.wkt = wkt_line(value);
        else if (key == "data ignore value")
            h.has_ignore = number_of(value, h.ignore_value);
    }
    return h;
}

CrsKind crs_kind(const std::string &wkt)
{
    static const char *const projected[] = {"projcs", "projcrs", "projectedcrs"};
    static const char *const geographic[] = {"geogcs", "geogcrs", "geographiccrs", "geodcrs", "geodeticcrs"};
    bool quoted = false;
    size_t word = std::string::npos;
    for (size_t i = 0; i < wkt.size(); i++) {
        const char c = wkt[i];
        if (c == '"') {
            quoted = !quoted;
            word = std::string::npos;
        } else if (quoted) {
            continue;
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            if (word == std::string::npos)
                word = i;
        } else if ((c == '[' || c == '(') && word != std::string::npos) {
            const std::string w = lower(wkt.substr(word, i - word));
            for (const char *p : projected)
                if (w == p)
                    return crs_projected;
            for (const char *g : geographic)
                if (w == g)
                    return crs_geographic;
            word = std::string::npos;
        } else if (!std::isalnum(static_cast<unsigned char>(c))) {
            word = std::string::npos;
        }
    }
    return crs_unknown;
}

std::string wkt_line(const std::string &wkt)
{
    std::string s = trimmed(wkt);
    for (char &c : s)
        if (c == '\n' || c == '\r')
            c = ' ';
    return s;
}

void envi_projection_of(const std::string &wkt, std::string &name, std::string &fields)
{
    const std::string w = lower(wkt);
    name = "Arbitrary";
    fields.clear();
    // The projected system's name, the first quoted text: "WGS 84 / UTM zone
    // 33N", "WGS_1984_UTM_Zone_33N", "ETRS89 / UTM zone 32N".
    const size_t q = w.find('"');
    const size_t q2 = q == std::string::npos ? q : w.find('"', q + 1);
    const std::string title = q2 == std::string::npos ? "" : w.substr(q + 1, q2 - q - 1);
    const size_t utm = title.find("utm");
    const size_t zone = utm == std::string::npos ? utm : title.find("zone", utm);
    if (zone != std::string::npos) {
        size_t d = zone + 4;
        while (d < title.size() && (title[d] == ' ' || title[d] == '_'))
            d++;
        int z = 0;
        size_t digits = 0;
        while (d < title.size() && std::isdigit(static_cast<unsigned char>(title[d])) && digits < 3) {
            z = z * 10 + (title[d++] - '0');
            digits++;
        }
        if (digits > 0 && z >= 1 && z <= 60 && d < title.size() && (title[d] == 'n' || title[d] == 's')) {
            name = "UTM";
            fields = ", " + std::to_string(z) + (title[d] == 'n' ? ", North" : ", South");
            if (w.find("wgs_1984") != std::string::npos || w.find("wgs 84") != std::string::npos ||
                w.find("wgs84") != std::string::npos)
                fields += ",WGS-84";
            else if (w.find("north_american_1983") != std::string::npos || w.find("nad83") != std::string::npos)
                fields += ",North America 1983";
            return;
        }
    }
    // The method: PROJECTION["..."] (first WKT) or METHOD["..."] (second).
    static const std::pair<const char *, const char *> methods[] = {
        {"transverse_mercator", "Transverse Mercator"},
        {"transverse mercator", "Transverse Mercator"},
        {"lambert_conformal_conic", "Lambert Conformal Conic"},
        {"lambert conic conformal", "Lambert Conformal Conic"},
        {"lambert_azimuthal_equal_area", "Lambert Azimuthal Equal Area"},
        {"lambert azimuthal equal area", "Lambert Azimuthal Equal Area"},
        {"albers_conic_equal_area", "Albers Conical Equal Area"},
        {"albers equal area", "Albers Conical Equal Area"},
        {"polar_stereographic", "Polar Stereographic"},
        {"polar stereographic", "Polar Stereographic"},
    };
    for (const char *node : {"projection[\"", "method[\""}) {
        const size_t at = w.find(node);
        if (at == std::string::npos)
            continue;
        for (const auto &[method, envi] : methods)
            if (std::string_view(w).substr(at + std::char_traits<char>::length(node)).starts_with(method)) {
                name = envi;
                return;
            }
    }
}

std::string envi_map_info(const std::string &name, const std::string &fields, double left, double top, double cell)
{
    return "{" + name + ", 1, 1, " + shortest_word(left) + ", " + shortest_word(top) + ", " + shortest_word(cell) +
           ", " + shortest_word(cell) + fields + "}";
}

std::string pam_text(const std::string &wkt)
{
    std::string escaped;
    for (char c : wkt_line(wkt)) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return "<PAMDataset>\n  <SRS>" + escaped + "</SRS>\n</PAMDataset>\n";
}

std::string envi_header_text(int samples, int lines, int data_type, bool placed, const std::string &name,
                             const std::string &fields, double left, double top, double cell, const std::string &wkt)
{
    std::string text = strf("ENVI\ndescription = {quarvelin result}\nsamples = %d\nlines = %d\nbands = 1\n"
                            "header offset = 0\nfile type = ENVI Standard\ndata type = %d\ninterleave = bsq\n"
                            "byte order = 0\n",
                            samples, lines, data_type);
    if (placed)
        text += "map info = " + envi_map_info(name.empty() ? "Arbitrary" : name, fields, left, top, cell) + "\n";
    if (!wkt.empty())
        text += "coordinate system string = {" + wkt + "}\n";
    return text;
}

CrsKind model_crs_kind(const std::string &wkt, const std::string &projection)
{
    const CrsKind kind = crs_kind(wkt);
    return kind == crs_unknown && projection.starts_with("Geographic") ? crs_geographic : kind;
}

std::string degrees_refusal(const std::string &path)
{
    return strf("\n\tFile %s gives the model in degrees of latitude and longitude: slopes need cells in metres."
                "\n\tProject the model onto a map in metres first, for example: gdalwarp -t_srs EPSG:32633 dem.tif "
                "dem_utm.tif\n",
                path.c_str());
}

std::string header_size_note(const EnviHeader &h, int lines, int cols, const std::string &header,
                             const std::string &descriptor)
{
    const int given_cols = h.samples < 0 ? cols : h.samples, given_lines = h.lines < 0 ? lines : h.lines;
    if (!h.valid || (given_cols == cols && given_lines == lines))
        return "";
    return strf("\n\tFile %s gives %d lines by %d columns: the %d lines by %d columns of %s are used\n", header.c_str(),
                given_lines, given_cols, lines, cols, descriptor.c_str());
}

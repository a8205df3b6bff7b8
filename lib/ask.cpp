// The questions of the dialogue, its progress lines and frames (ask.h).
#include "ask.h"

#include "console.h"
#include "image.h"
#include "names.h"
#include "words.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>

// A progress line of a long loop. Shown at once, but at most ten times a
// second: a model of millions of lines prints tens of thousands of them.
void progress(const char *fmt, int i)
{
    std::printf(fmt, i);
    static std::chrono::steady_clock::time_point shown;
    const auto now = std::chrono::steady_clock::now();
    if (now - shown >= std::chrono::milliseconds(100)) {
        std::fflush(stdout);
        shown = now;
    }
}

void progress_every_100(const char *fmt, int64_t &next, int64_t to)
{
    for (; next < to; next += 100)
        progress(fmt, static_cast<int>(next));
}

namespace {

void (*input_ended)() = nullptr;

bool not_a_number()
{
    std::fputs("\n\tA number is expected.", stdout);
    return false;
}

} // namespace

void ask_when_input_ends(void (*ended)())
{
    input_ended = ended;
}

std::string ask_word()
{
    std::string w;
    if (!console_next_answer(w) && input_ended != nullptr)
        input_ended();
    return w;
}

bool ask_int(int &value)
{
    const std::string w = ask_word();
    return int_word(w.data(), w.data() + w.size(), value) || not_a_number();
}

bool ask_real(double &value)
{
    const std::string w = ask_word();
    return real_word(w.data(), w.data() + w.size(), value) == word_number || not_a_number();
}

// A name typed after `prompt`: a zero byte would cut it short unseen, so a
// name that holds one is asked again.
std::string ask_name(const std::string &prompt)
{
    for (;;) {
        console_say(prompt);
        const std::string w = ask_word();
        if (w.find('\0') == std::string::npos)
            return w;
        std::fputs("\n\tA name without a zero byte is expected.", stdout);
    }
}

// A menu: `once` shown first, `each` (the options) shown again until the
// answer is one of 0 .. largest.
int ask_choice(const char *once, const char *each, int largest)
{
    std::fputs(once, stdout);
    int v = -1;
    do
        std::fputs(each, stdout);
    while (!ask_int(v) || v < 0 || v > largest);
    return v;
}

// A word of digits after an optional sign: a whole number, maybe beyond
// the 32-bit range.
bool whole_word(const std::string &w)
{
    const size_t first = !w.empty() && (w[0] == '+' || w[0] == '-') ? 1 : 0;
    return w.size() > first && w.find_first_not_of("0123456789", first) == std::string::npos;
}

// A whole number typed after `prompt`, asked again until it is one and at
// least `least`; a whole number out of that range is told the range.
int ask_count(const char *prompt, int least)
{
    for (;;) {
        std::fputs(prompt, stdout);
        const std::string w = ask_word();
        int v = 0;
        if (int_word(w.data(), w.data() + w.size(), v) && v >= least)
            return v;
        if (whole_word(w))
            std::printf("\n\tA whole number from %d to %d is expected.", least, INT_MAX);
        else
            not_a_number();
    }
}

double ask_coordinate(const char *prompt)
{
    double v = 0.0;
    do
        std::fputs(prompt, stdout);
    while (!ask_real(v));
    return v;
}

// A frame of the banner: the vertical on both sides of each text of 60
// characters, drawn with the double-line box characters (written as the
// console takes them, see console_frame).
void frame(const char *lead, const char *const *texts, int lines, const char *tail)
{
    std::string edge;
    for (int k = 0; k < 60; k++)
        edge += "\u2550";
    std::string text = std::string(lead) + "\u2554" + edge + "\u2557";
    for (int k = 0; k < lines; k++)
        text += std::string("\n\t\u2551") + texts[k] + "\u2551";
    text += "\n\t\u255A" + edge + "\u255D" + tail;
    console_frame(text);
}

double ask_stretch_limit()
{
    // The log DEM holds whole numbers up to the stretch limit: it must be
    // finite and its truncation a 32-bit value.
    double limit = 0.0;
    for (;;) {
        std::fputs("\n\tStretch limit value ? ", stdout);
        if (!ask_real(limit))
            continue;
        if (std::fabs(std::trunc(limit)) <= 2147483647.0)
            return limit;
        std::fputs("\n\tThe log DEM holds 32-bit values: a stretch limit from -2147483647 to 2147483647 is "
                   "expected.",
                   stdout);
    }
}

int ask_units()
{
    return ask_choice("",
                      "\n\n\tAre these values\n\t\t0 ====> in meters"
                      "\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters"
                      "\n\t\t3 ====> in millimeters\n\t\t",
                      3);
}

int ask_log_dem_wanted()
{
    return ask_choice("",
                      "\n\tSave the result as a Digital Elevation Model:"
                      "\n\tNote: gray tones result from a stretching\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t",
                      1);
}

int ask_log_dem_form()
{
    return ask_choice("",
                      "\n\tType of DEM:\n\t\t0 ====> raster (integer 4 with extension _m4.raw)"
                      "\n\t\t1 ====> ascii\n\t\t",
                      1);
}

namespace {

bool same_file(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

} // namespace

std::string ask_generic_name(const std::string &folder, const std::vector<std::string> &inputs)
{
    for (;;) {
        const std::string generic = folder + ask_name("\n\n\tGeneric name of the resulting file ? ");
        const char *clash = nullptr;
        for (const ResultFile &r : result_files) {
            const std::string name = generic + r.suffix;
            for (const std::string &input : inputs)
                if (clash == nullptr && !input.empty() && same_file(name, input))
                    clash = r.suffix;
            if (clash != nullptr)
                break;
        }
        if (clash == nullptr)
            return generic;
        console_say(strf("\n\tFile %s%s is the input model: choose another name\n", generic.c_str(), clash));
    }
}

int ask_image_form_of(int lines, int cols)
{
    const char *once = "\n\toutput file format : ";
    for (;;) {
        const int form = ask_choice(once, "\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t2 ====> ascii\n\t\t", 2);
        if (form != 1 || TailleBMPPermise(cols, lines, 0))
            return form;
        std::printf("\n\tA bitmap of %d lines by %d columns would pass the 4 GiB that a bitmap file can hold: "
                    "choose another form.",
                    lines, cols);
        once = "";
    }
}

void ask_corner(double &x, double &y)
{
    std::fputs("\n\tUTM coordinates required ", stdout);
    x = ask_coordinate("\n\t\tX_min ? ");
    y = ask_coordinate("\t\tY_min ? ");
}

void ask_model_size(int &lines, int &cols, int &cell)
{
    lines = ask_count("\n\tNumber of lines   ? ", 0);
    cols = ask_count("\n\tNumber of columns ? ", 0);
    cell = ask_count("\n\tPixel size ? ", INT_MIN);
}

// The questions of the dialogue, the progress lines of long loops and the
// frames of the banner, on standard output and the console's answers.
//
// Every question prints its prompt and reads answers (console.h) until one
// is valid, telling the user what is expected after each answer that is
// not; at the end of the input it calls the handler given to
// ask_when_input_ends, which ends the program (without one, an empty answer
// is returned). Nothing here exits.
#ifndef QUARVELIN_ASK_H
#define QUARVELIN_ASK_H

#include <cstdint>
#include <string>
#include <vector>

// The handler of the end of the input; it does not return.
void ask_when_input_ends(void (*ended)());

// The next answer, whatever it is.
std::string ask_word();
// A whole 32-bit number, a real number: false (and "A number is expected.")
// for an answer that is none.
bool ask_int(int &value);
bool ask_real(double &value);
// A name typed after `prompt`: a zero byte would cut it short unseen, so a
// name that holds one is asked again.
std::string ask_name(const std::string &prompt);
// A menu: `once` shown first, `each` (the options) shown again until the
// answer is one of 0 .. largest.
int ask_choice(const char *once, const char *each, int largest);
// A whole number typed after `prompt`, asked again until it is one and at
// least `least`; a whole number out of that range is told the range.
int ask_count(const char *prompt, int least);
// A real number typed after `prompt`, asked again until it is one.
double ask_coordinate(const char *prompt);
// The generic name of the results, `folder` before it: asked again, with the
// reason, while one of the files it names (names.h) is one of the `inputs`
// (the same path, or the same file by another; "" names none).
std::string ask_generic_name(const std::string &folder, const std::vector<std::string> &inputs);

// The form of the image of a model of `lines` by `cols` cells (0 raw raster,
// 1 bitmap, 2 ASCII grid), asked again when a bitmap would be too large.
int ask_image_form_of(int lines, int cols);

// The fixed menus of the dialogue: the unit of a raw model's stored values
// (0 metres, 1 decimetres, 2 centimetres, 3 millimetres), whether a log DEM
// is made (0 yes, 1 no) and its form (0 raw raster, 1 ASCII grid).
int ask_units();
// Stored value / factor = metres, for those units (the answer is the index).
constexpr double unit_factors[4] = {1.0, 10.0, 100.0, 1000.0};
int ask_log_dem_wanted();
int ask_log_dem_form();
// The size of a raw model without a descriptor: its lines and columns (from
// 0 on) and its cell size, in that order.
void ask_model_size(int &lines, int &cols, int &cell);
// The UTM coordinates of the lower-left corner of a model, x then y.
void ask_corner(double &x, double &y);
// The stretch limit of a log DEM, asked again until it is a real number
// whose truncation is a 32-bit value.
double ask_stretch_limit();

// A progress line of a long loop, printf(fmt, i). Shown at once, but at most
// ten times a second: a model of millions of lines prints tens of thousands
// of them.
void progress(const char *fmt, int i);

// The progress lines of lines next, next + 100, ... below `to`, counted in
// 64 bits (a count of lines near the largest int goes past it); `next`
// becomes the first one not printed.
void progress_every_100(const char *fmt, int64_t &next, int64_t to);

// A frame of `lines` texts of 60 characters, after `lead` and before
// `tail`, drawn with the double-line box characters in UTF-8.
void frame(const char *lead, const char *const *texts, int lines, const char *tail);

#endif

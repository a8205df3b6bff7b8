// The fixed texts of the program (texts.h).
#include "texts.h"

#include "ask.h"
#include "host.h"
#include "names.h"
#include "words.h"

#include <cstdio>

namespace {

const char blank60[] = "                                                            ";

} // namespace

void banner()
{
    const char *texts[10] = {blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60, blank60};
    texts[1] = "                        QUARVELIN                           ";
    texts[6] = "                                         ZORBELVANTIK       ";
    texts[8] = "                                   Actualization 2020       ";
    frame("\n\n\t", texts, 10, "");
}

void information_box()
{
    static const char *const texts[9] = {
        blank60,
        "   This program generates an image of the logarithmic       ",
        "   values of the slope and normalizes these values          ",
        "   between 0 and 255.                                       ",
        blank60,
        "   An attached two-dimensional histogram allows defining    ",
        "   the correspondence between gray tones scale and the      ",
        "   slope values in degrees.                                 ",
        blank60,
    };
    frame("\n\t", texts, 9, "\n");
}

namespace {

std::string usage_opening(bool windows)
{
    std::string t = "Usage: quarvelin [-h | --help | --version]\n"
                    "\n"
                    "Reads a digital elevation model, computes the slope in degrees of every\n"
                    "interior cell (Horn's 3 x 3 method), stretches log10(1 + slope) onto the\n"
                    "grey tones 0 to 254 and writes the result as an image, with a histogram\n"
                    "file that reads a grey tone back as a slope, and on request as a log DEM.\n"
                    "\n";
    if (windows)
        t += "Every parameter is typed in answer to a prompt. Models are read from and\n"
             "results written to ROOT\\FOLDER\\, where ROOT is %QUARVELIN_ROOT% or the\n"
             "folder images\\ of the current folder when it is unset. To keep models in\n"
             "c:\\images\\, type before the run:  set QUARVELIN_ROOT=c:\\images\\\n"
             "Names may hold any letters; answers in a file are read as UTF-8, or in the\n"
             "console's code page when they are not UTF-8.\n"
             "\n"
             "Input models (NAME is the model's name):\n";
    else
        t += "Every parameter is typed in answer to a prompt. Models are read from and\n"
             "results written to ROOT/FOLDER/, where ROOT is $QUARVELIN_ROOT or\n"
             "./images/ when it is unset.\n"
             "\n"
             "Input models (NAME is the model's name):\n";
    return t;
}

std::string usage_closing(bool windows)
{
    std::string t = "\n"
                    "Scripted use:  quarvelin < answers.txt   (one answer per word, in order;\n"
                    "               a word that is not a valid answer is asked again, and the\n"
                    "               end of the input abandons the run)\n";
    if (windows)
        t += "               Ctrl-Z at the start of a line, then Enter, ends the input.\n"
             "\n"
             "Ctrl-C or closing the window abandons the run: no result is left half\n"
             "written, and the earlier results of the same names are kept.\n"
             "A model read line by line is copied beside it, or into %TEMP%.\n";
    t += "\n"
         "Exit status:   0 the run completed, 1 the run failed or its input ended,\n"
         "               2 a command-line argument was not understood.\n"
         "\n";
    t += windows ? "The manual quarvelin.txt, beside quarvelin.exe, describes the dialogue and\n"
                   "the files in full.\n"
                 : "The manual page quarvelin(1) describes the dialogue and the files in full.\n";
    return t;
}

} // namespace

// The usage text, its file lists taken from the file name tables, in the
// terms of the system it runs on (Windows: its variables, folders and keys).
std::string usage_text(bool windows)
{
    std::string t = usage_opening(windows);
    for (const RawForm &r : raw_forms) {
        t += strf("  NAME%-20s %s\n", r.raster, r.what);
        t += strf("  NAME%-20s its descriptor file\n", r.descriptor);
    }
    t += strf("  NAME%-20s %s\n", ascii_suffix, "ASCII grid");
    t += "Results (RES is the generic result name):\n";
    for (const ResultFile &r : result_files)
        t += strf("  RES%-21s %s\n", r.suffix, r.what);
    return t + usage_closing(windows);
}

int answer_command_line(int argc, char **argv, const char *version)
{
    if (argc <= 1)
        return -1;
    const std::string arg = argv[1];
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
        std::fputs(usage_text(host.windows_text()).c_str(), stdout);
        return 0;
    }
    if (argc == 2 && arg == "--version") {
        std::printf("quarvelin %s\n", version);
        return 0;
    }
    // Name the first word that is not understood: an option followed by
    // anything is not understood either.
    const bool known = arg == "--help" || arg == "-h" || arg == "--version";
    const char *bad = known ? argv[2] : argv[1];
    std::fprintf(stderr, "quarvelin: unknown argument '%s' (try --help)\n", bad);
    return 2;
}

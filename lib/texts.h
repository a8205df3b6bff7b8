// The fixed texts of the program: the banner and the information box of the
// dialogue, the prose of the usage text (--help) in the terms of either
// system, Windows (its variables, folders and keys) or POSIX, and the answer
// to the words of the command line.
//
// The banner and the box print their frames on standard output (ask.h); the
// usage text is returned. Nothing here reads input, exits or keeps state.
#ifndef QUARVELIN_TEXTS_H
#define QUARVELIN_TEXTS_H

#include <string>

// The frame of the program's name at the start of a run.
void banner();
// The frame that says what the program makes, on request.
void information_box();

// The usage text (--help): the synopsis, what the program does and where it
// finds models, the lists of the input models and of the results (from the
// tables of names.h), scripted use, how a run is abandoned, the exit status
// and where the manual is; in the terms of Windows or of POSIX.
std::string usage_text(bool windows);

// The answer to the command line argv[0 .. argc - 1]: -h or --help alone
// prints the usage text (in the terms of the system it runs on) and --version alone "quarvelin VERSION" on standard
// output (status 0); any other words name the first one not understood on standard error (status 2: an option followed
// by anything is not understood either). Returns that exit status, or -1 when there are no words after the program's
// name and the run goes on.
int answer_command_line(int argc, char **argv, const char *version);

#endif

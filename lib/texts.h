// The fixed texts of the program: the banner and the information box of the
// dialogue, the prose of the usage text (--help) in the terms of either
// system, Windows (its variables, folders and keys) or POSIX, and the answer
// to the words of the command line.
//
// The banner and the box print their frames on standard output (ask.h); the
// usage texts are returned, the program puts the lists of its files between
// them. Nothing here reads input, exits or keeps state.
#ifndef QUARVELIN_TEXTS_H
#define QUARVELIN_TEXTS_H

#include <string>

// The frame of the program's name at the start of a run.
void banner();
// The frame that says what the program makes, on request.
void information_box();

// The usage text before the list of the input models: the synopsis, what
// the program does and where it finds models, ending with the heading of
// that list.
std::string usage_opening(bool windows);
// The usage text after the list of the results: scripted use, how a run is
// abandoned, the exit status and where the manual is.
std::string usage_closing(bool windows);

// The answer to the command line argv[0 .. argc - 1]: -h or --help alone
// prints usage() and --version alone "quarvelin VERSION" on standard output
// (status 0); any other words name the first one not understood on standard
// error (status 2: an option followed by anything is not understood
// either). Returns that exit status, or -1 when there are no words after
// the program's name and the run goes on.
int answer_command_line(int argc, char **argv, std::string (*usage)(), const char *version);

#endif

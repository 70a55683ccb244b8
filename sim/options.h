#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

// The simulator's command line: what each option sets, and the one-line message
// that names an option and what it takes when a value does not fit.

#include "bms_model.h"
#include "reply_line.h"

#include <string>

struct Options {
    std::string link;
    unsigned seed = 1;
    double silent_after_s = -1;
    bool verbose = false;
    bool truth = false;
    LineFaults line;
    LoaderFaults loader;
    WriteRefusal refusal;
    PackSetup pack;
};

enum class Parsed {
    Run,
    Help,
    Version,
    Refused, // `error` holds the one line to print
};

Parsed parse_options(int argc, const char *const *argv, Options &options, std::string &error);

// Laid out for help2man: a usage line, a paragraph, then sections of
// "  --option ARG  text" whose continuation lines are indented further.
extern const char SIM_HELP[];

#endif // SIM_OPTIONS_H

// zarvik-printer-emulator's command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "printer/identity.h"

namespace emu {

struct Options {
    std::vector<PrinterRequest> printers;  // --printer, in order
    std::string control;                   // --control PATH|auto
    std::string store;                     // --store DIR
    bool verbose = false;
    bool help = false;
    std::vector<std::string> command;  // after --
};

// False, with the reason on standard error, for a command line that does not parse.
bool parse_options(int argc, char** argv, Options* options);

// The usage; with `verbs`, the control language's verbs too.
void print_usage(std::FILE* out, bool verbs);

}  // namespace emu

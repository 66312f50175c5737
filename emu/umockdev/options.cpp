#include "options.h"

#include "printer/control.h"

namespace emu {

namespace {

constexpr const char* program_name = "zarvik-printer-emulator";

}  // namespace

bool parse_options(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", program_name, arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        if (arg == "--") {
            options->command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--printer") {
            std::string text, error;
            PrinterRequest printer;
            if (!value(&text))
                return false;
            if (!parse_printer_request(text, &printer, &error)) {
                std::fprintf(stderr, "%s: --printer %s: %s\n", program_name, text.c_str(), error.c_str());
                return false;
            }
            options->printers.push_back(printer);
        } else if (arg == "--control" || arg == "--store") {
            if (!value(arg == "--control" ? &options->control : &options->store))
                return false;
        } else if (arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
            return true;
        } else {
            std::fprintf(stderr, "%s: unknown option %s\n", program_name, arg.c_str());
            return false;
        }
    }
    if (options->command.empty()) {
        std::fprintf(stderr, "%s: no program to run (put it after --)\n", program_name);
        return false;
    }
    return true;
}

void print_usage(std::FILE* out, bool verbs)
{
    std::fprintf(out,
                 "usage: %s [--printer VID:PID|target[,bus=B,addr=A,serial=S,manufacturer=M,product=P]]...\n"
                 "          [--control PATH|auto] [--store DIR] [--verbose] -- PROGRAM ARGS...\n"
                 "\n"
                 "Runs PROGRAM on an emulated USB bus that carries the given printers (ids in\n"
                 "hexadecimal, or target for the printer the tool updates; bus 1 and the next\n"
                 "free address from 5 unless given; strings of\n"
                 "the printer table's row and serial SN<bus>-<address> unless given) and exits\n"
                 "with PROGRAM's status, or 128 + the signal that ended it.\n"
                 "\n"
                 "  --control PATH  a Unix socket for one-line requests (--help lists them);\n"
                 "                  'auto' makes one in the emulator's scratch folder.  PROGRAM\n"
                 "                  finds it in $%s.\n"
                 "  --store DIR     when PROGRAM has ended, writes every printer's stored files\n"
                 "                  and summary.txt into DIR.\n"
                 "  --verbose       reports plugging and unserved ioctls on standard error.\n",
                 program_name, control::socket_variable);
    if (verbs)
        std::fprintf(out, "\nControl requests (ID: 1 for the first printer), and their answers:\n%s",
                     control::verbs_help().c_str());
}

}  // namespace emu

// zarvik: the firmware update from a terminal or a script, for one printer
// or many at once.  The program's whole behaviour is run(); main() only
// hands it the process's streams.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zarvik {

enum ExitStatus {
    exit_updated = 0,     // every printer updated (list: a target printer is there; plan: done)
    exit_failed = 1,      // an update failed; with --all: any
    exit_usage = 2,       // the command line was wrong, or names no single printer
    exit_no_printer = 3,  // no target printer attached
    exit_error = 4,       // an unexpected error ended the command early (said on standard error)
};

class ServiceManager;

struct Io {
    std::FILE* out = stdout;  // results
    std::FILE* err = stderr;  // messages
    bool terminal = false;    // `out` is a terminal: progress lines are redrawn in place
    // The terminal's width in columns now, asked at every redraw (it may be
    // resized meanwhile); 0 or unset: unknown, lines are not cut.
    std::function<int()> terminal_width;
    std::string program_dir;  // UTF-8; the default log folder is chosen from it (log_place.h)
    // The background service that holds the printers while it runs, stopped
    // while list and update use them; none when null.
    ServiceManager* service = nullptr;
};

// Runs one command line (without the program name) and returns its exit status.
int run(const std::vector<std::string>& args, const Io& io);

// The folder of the running program, UTF-8.
std::string program_dir();

// zarvik as a program: the process's arguments and streams (console.h), its
// folder, and on Windows the background service `service_name` held while
// printers are in use ("" none).  Returns the exit status.
int run_program(int argc, char** argv, const std::string& service_name);

}  // namespace zarvik

// What a zarvik process takes from its system and gives back to it: the
// arguments in UTF-8, and standard output and error set up so that every
// name reaches a console whole.  zarvik and zarvik-emulated (the tests'
// twin on the emulated bus) both start through it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zarvik.h"

namespace zarvik {

// The arguments after the program name, in UTF-8.  On Windows they are read
// from the system's UTF-16 command line and argc and argv are not used:
// argv holds them in the ANSI code page, which loses every character outside
// it.
std::vector<std::string> command_line(int argc, char** argv);

// Standard output and error as run() writes to them, for the life of the
// object; run() writes UTF-8.  On Windows, what goes to a console is handed
// to it as UTF-16 (WriteConsoleW), so that it shows whole whatever the
// console's code page, which is left as it is; what goes to a pipe or a file
// is the UTF-8 written, byte for byte.  Elsewhere the streams are used as
// they are.
class ProcessStreams {
public:
    ProcessStreams();
    // Everything written has reached its console, pipe or file.
    ~ProcessStreams();
    ProcessStreams(const ProcessStreams&) = delete;
    ProcessStreams& operator=(const ProcessStreams&) = delete;

    // out, err and terminal set; the rest as Io has it.
    const Io& io() const { return io_; }

private:
    struct Console;
    Io io_;
    [[maybe_unused]] Console* console_ = nullptr;  // Windows: the console's own writer
};

// The length of the longest start of `text` that does not end inside a UTF-8
// sequence still to be completed by what follows; malformed bytes count as
// complete.  Text is handed to the console in such pieces, so that no
// character is cut in two.
std::size_t whole_utf8_prefix(const std::string& text);

}  // namespace zarvik

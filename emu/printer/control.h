// The control language of the emulated printers, the same on every transport
// that serves the printer model: zarvik-printer-emulator's control socket and
// the gadget printer's standard input and output.
//
// A request is one line: a verb and its arguments, separated by single
// blanks.  The answer is one line too: "ok" and the answer's tokens, or
// "error" and a message.  Text that could hold a blank, a comma, a line end or
// any other byte (command lines, reply lines, paths, payloads) travels
// escaped (see escape()), so that every token is free of those bytes.  ID is
// a printer's number, 1 for the first; numbers are decimal or 0x-hexadecimal.
// The verbs, their arguments and their answers are the table in control.cpp;
// verbs_help() prints it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "identity.h"
#include "printer.h"

namespace emu {
namespace control {

// The environment variable that names the control socket for the program
// under zarvik-printer-emulator.
constexpr const char* socket_variable = "ZARVIK_EMULATOR_CONTROL";

// Escapes every byte outside the printable ASCII range, and the blank, the
// comma and the backslash: "\\", "\s", "\c", "\r", "\n", "\t", "\xHH".
std::string escape(const std::string& bytes);
// The reverse of escape; false for a malformed escape.
bool unescape(const std::string& text, std::string* bytes);
// Splits on every `separator`; empty parts are kept.
std::vector<std::string> split(const std::string& text, char separator);
// An unsigned number in decimal or 0x-hexadecimal; false for anything else.
bool parse_number(const std::string& text, unsigned long long* value);

// What a transport offers the language: its printers, and plugging.
class Bus {
public:
    struct Entry {
        int id = 0;
        Identity identity;
        bool plugged = false;
    };

    virtual ~Bus() = default;
    virtual std::vector<Entry> printers() = 0;
    // Runs `act` on printer `id` with the transport's lock held; false when
    // there is no such printer.  `act` returns true when it may have changed
    // what an IN transfer finds now, so that waiting transfers look again.
    virtual bool with_printer(int id, const std::function<bool(Printer&)>& act) = 0;
    // Plugging; each returns "" when done, or why not.
    virtual std::string plug_new(const PrinterRequest& request, int* id) = 0;
    virtual std::string plug_back(int id, std::uint8_t address) = 0;  // address 0: the bus picks one
    virtual std::string unplug(int id) = 0;
};

// Carries out one request on `bus`; the answer line, without its line end.
std::string answer(Bus& bus, const std::string& request);

// Every verb with its arguments and its answer, one a line.
std::string verbs_help();

}  // namespace control
}  // namespace emu

// The line protocol of the printer emulator's control socket.
//
// A request is one line: a command word and its arguments, separated by single
// blanks.  The answer is one line too: "ok" and the answer's tokens, or
// "error" and a message.  Text that could hold a blank, a comma, a line end or
// any other byte (command lines, reply lines, file paths, payloads) travels
// escaped, so that every token is free of those bytes.
//
// Requests (ID is a printer's number, 1 for the first one given to the
// emulator; EP an endpoint address, decimal or 0x-hexadecimal):
//   printers                          ok ID,VID,PID,BUS,ADDR,plugged|unplugged ...
//   plug VID:PID[,bus=B,addr=A,serial=S,manufacturer=M,product=P]
//                                     a new printer: ok ID
//   plug ID [addr=A]                  the same printer back (a new address unless given): ok ID
//   unplug ID                         ok
//   fault ID INDEX|+K KIND [AMOUNT]   transfer INDEX (or the K-th from now, 0 = the next)
//                                     does KIND: silence stall vanish overflow
//                                     short_transfer io_error zero_length
//   replace ID COMMAND OCCURRENCE LINE TEXT
//   silence ID COMMAND OCCURRENCE FROM_LINE
//   push ID BYTES                     raw bytes into the reply queue, as one transfer
//   capacity ID BYTES
//   framing ID line|exchange|split [AT]
//   count ID                          ok N (bulk transfers so far)
//   control ID                        ok 1|0 (whether the host holds the printer)
//   pending ID                        ok N (reply bytes not yet read)
//   clears ID EP                      ok N (clear-halt requests seen on EP)
//   files ID                          ok PATH,SIZE,ANNOUNCED,COMPLETE ...
//   file ID PATH                      ok BYTES (the stored file, escaped)
//   installs ID                       ok PATH,COMPLETE ...
//   commands ID [FROM]                ok COMMAND ...
//   violations ID                     ok TEXT ...
//   traffic ID [FROM [COUNT]]         ok INDEX,EP,LENGTH,STATUS,AT_MS,DATA ...
#pragma once

#include <string>
#include <vector>

namespace emu {
namespace control {

// The environment variable that names the socket for the emulated program.
constexpr const char* socket_variable = "ZARVIK_EMULATOR_CONTROL";

// Escapes every byte outside the printable ASCII range, and the blank, the
// comma and the backslash: "\\", "\s", "\c", "\r", "\n", "\t", "\xHH".
std::string escape(const std::string& bytes);
// The reverse of escape; false for a malformed escape.
bool unescape(const std::string& text, std::string* bytes);

// Splits on single blanks (empty tokens kept) or on commas.
std::vector<std::string> split(const std::string& text, char separator);

// Bytes as lower-case hexadecimal pairs, and back.
std::string to_hex(const std::string& bytes);
bool from_hex(const std::string& text, std::string* bytes);

// An unsigned number in decimal or 0x-hexadecimal; false for anything else.
bool parse_number(const std::string& text, unsigned long long* value);

}  // namespace control
}  // namespace emu

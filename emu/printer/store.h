// What printers hold, written out as files: for each printer N that stores
// any, DIR/printer-N/<path as a file name> holds each stored file byte for
// byte, and DIR/summary.txt has one line per stored file:
//   printer=N path=PATH size=S announced=A complete=0|1 installed=0|1 file=printer-N/NAME
// (PATH escaped as in the control language; NAME keeps letters, digits and
// ". _ -" and writes every other byte as %XX).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "printer.h"

namespace emu {

bool write_store(const std::string& dir, const std::vector<std::pair<int, const Printer*>>& printers,
                 std::string* error);

// The same for printers numbered from 1 in the order given.
bool write_store(const std::string& dir, const std::vector<std::shared_ptr<Printer>>& printers, std::string* error);

}  // namespace emu

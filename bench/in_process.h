// The in-process emulated bus, as the upload and hash benchmarks use it: one
// fresh printer of the tool's model, and the check that an upload arrived.
#pragma once

#include <cstdint>
#include <memory>

#include "printer/printer.h"

namespace bench {

constexpr unsigned piece_bytes = 4096;  // the link's upload piece
constexpr unsigned timeout_ms = 10000;
constexpr const char* remote_path = "0:/sys/orbrey.bin";  // where the main image goes

// Unplugs everything from the emulated bus and plugs in one printer of the
// tool's model; the printer keeps no record of the transfers' payloads.
std::shared_ptr<emu::Printer> fresh_printer();

// Throws std::runtime_error naming `what` when the printer has not stored the
// whole upload at remote_path, or saw anything a careful host never does.
void check_upload(const emu::Printer& printer, std::uint64_t size, const char* what);

}  // namespace bench

// The in-process emulated bus, as the upload and hash benchmarks use it: one
// fresh printer of the tool's model, and the check that an upload arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "com/protocol.h"
#include "printer/printer.h"
#include "update/plan.h"

namespace bench {

constexpr unsigned piece_bytes = com::protocol::upload_piece_bytes;
constexpr unsigned timeout_ms = 10000;
// Where the main image goes.
inline const std::string remote_path = std::string(com::protocol::system_folder) + update::main_image_name;

// Unplugs everything from the emulated bus and plugs in one printer of the
// tool's model; the printer keeps no record of the transfers' payloads.
std::shared_ptr<emu::Printer> fresh_printer();

// Throws std::runtime_error naming `what` when the printer has not stored the
// whole upload at remote_path, or saw anything a careful host never does.
void check_upload(const emu::Printer& printer, std::uint64_t size, const char* what);

}  // namespace bench

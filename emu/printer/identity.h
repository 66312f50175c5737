// Who an emulated printer is on the bus: its ids, where it sits, its strings
// and its endpoints.  Every transport takes it from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "com/devices.h"

namespace emu {

struct Identity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t bus = 1;
    std::uint8_t address = 2;
    // The ports from the root hub down ({1, 4}: port 4 of a hub in port 1,
    // "1-1.4"); empty: the transport picks the next free port of the root hub.
    std::vector<std::uint8_t> ports;
    std::string manufacturer;  // UTF-8; empty: the printer has no such string
    std::string product;
    std::string serial;
    com::EndpointSet endpoints = com::endpoint_set_a;
};

// A printer as "VID:PID[,bus=B,addr=A,port=P[.P...],serial=S,manufacturer=M,product=P]"
// asks for it: ids in hexadecimal (or "target" for the ids of the printer the
// tool updates), values in the control language's escapes.
struct PrinterRequest {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t bus = 1;
    std::uint8_t address = 0;                                  // 0: the bus picks one
    std::vector<std::uint8_t> ports;                           // empty: the bus picks a root port
    std::optional<std::string> manufacturer, product, serial;  // unset: the defaults of printer_identity
};

// Where the identity says the printer is plugged in (not known while its
// ports are not chosen).
com::UsbPortPath port_path(const Identity& identity);

bool parse_printer_request(const std::string& text, PrinterRequest* request, std::string* error);

// A printer with these ids at this place: the strings of its row of the
// printer table (none for ids of no row), the endpoint set its product id
// uses and the serial "SN<bus>-<address>".
Identity printer_identity(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus, std::uint8_t address);
// The same at `address`, with what `request` gives in place of the defaults.
Identity printer_identity(const PrinterRequest& request, std::uint8_t address);

}  // namespace emu

// The USB descriptors an emulated printer presents: its device and
// configuration descriptors (one configuration, interface 0 with the four
// bulk endpoints) and its string descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "printer/printer.h"

namespace emu {

using Bytes = std::vector<std::uint8_t>;

// String descriptor indexes; 0 in the device descriptor means "no string".
constexpr std::uint8_t manufacturer_index = 1;
constexpr std::uint8_t product_index = 2;
constexpr std::uint8_t serial_index = 3;
constexpr std::uint16_t english_us = 0x0409;
constexpr std::uint16_t bulk_packet_size = 512;  // high speed

struct DeviceStrings {
    std::string manufacturer;  // UTF-8; empty: no string
    std::string product;
    std::string serial;
};

// Device descriptor followed by the whole configuration descriptor, as the
// sysfs file "descriptors" holds them.
Bytes printer_descriptors(std::uint16_t vendor_id, std::uint16_t product_id, const DeviceStrings& strings,
                          const PrinterEndpoints& endpoints);
// The same for a USB 2.0 root hub.
Bytes root_hub_descriptors();

// String descriptor 0: the list of languages (US English only).
Bytes language_descriptor();
// A string descriptor holding `utf8` as UTF-16LE, cut to what a descriptor of
// at most 255 bytes holds (126 code units, never half a surrogate pair).
// Bytes that are not valid UTF-8 become U+FFFD.
Bytes string_descriptor(const std::string& utf8);

}  // namespace emu

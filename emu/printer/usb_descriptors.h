// USB descriptors: the encoder, and the descriptors a printer presents
// (device; one configuration with one vendor-specific interface and its four
// bulk endpoints; strings 1 to 3 after the language list).  The umockdev
// emulator puts them into sysfs and answers GET_DESCRIPTOR with them; the
// gadget hands them to gadgetfs, which gives them to the host unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "identity.h"

namespace emu {
namespace usb {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t manufacturer_index = 1;  // 0 in the device descriptor: no such string
constexpr std::uint8_t product_index = 2;
constexpr std::uint8_t serial_index = 3;
constexpr std::uint16_t english_us = 0x0409;
constexpr std::uint16_t full_speed_bulk_packet = 64;
constexpr std::uint16_t high_speed_bulk_packet = 512;

struct Device {
    std::uint8_t device_class = 0;  // 0: given by the interface
    std::uint8_t protocol = 0;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t release = 0x0100;                          // bcdDevice
    std::uint8_t manufacturer = 0, product = 0, serial = 0;  // string indexes
};

struct Endpoint {
    std::uint8_t address = 0;
    std::uint8_t attributes = 2;  // bulk
    std::uint16_t packet = high_speed_bulk_packet;
    std::uint8_t interval = 0;
};

// The 18-byte device descriptor (USB 2.0, one configuration).
Bytes device_descriptor(const Device& device);
// A 7-byte endpoint descriptor.
Bytes endpoint_descriptor(const Endpoint& endpoint);
// Configuration 1 with interface 0 of `interface_class` and its endpoints.
Bytes configuration_descriptor(std::uint8_t attributes, std::uint8_t max_power, std::uint8_t interface_class,
                               const std::vector<Endpoint>& endpoints);
// String descriptor 0: the list of languages (US English only).
Bytes language_descriptor();
// A string descriptor holding `utf8` as UTF-16LE, cut to what a descriptor of
// at most 255 bytes holds (126 code units, never half a surrogate pair).
// Bytes that are not valid UTF-8 become U+FFFD.
Bytes string_descriptor(const std::string& utf8);

}  // namespace usb

// The printer's device descriptor: string indexes 1 to 3, 0 for an empty string.
usb::Bytes printer_device_descriptor(const Identity& identity);
// Its configuration, bulk endpoints of `packet` bytes (full or high speed).
usb::Bytes printer_configuration(const Identity& identity, std::uint16_t packet = usb::high_speed_bulk_packet);
// String descriptor `index` (0: the language list), or empty when the
// printer has no such string: the request is then stalled.
usb::Bytes printer_string(const Identity& identity, std::uint8_t index);

}  // namespace emu

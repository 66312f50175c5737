// The USB descriptors the gadget printer presents, as gadgetfs takes them.
//
// gadgetfs passes descriptors through verbatim: the host sees exactly the
// device, configuration and endpoint descriptors written here, so the
// endpoint addresses are the printer's own (set A or set B), whatever the
// device controller calls its endpoint files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com/devices.h"

namespace emu {
namespace gadget {

// Who the gadget says it is.
struct Identity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t device_release = 0x0100;  // bcdDevice
    std::string manufacturer;               // string 1 (none when empty)
    std::string product;                    // string 2
    std::string serial;                     // string 3
    com::EndpointSet endpoints{0, 0, 0, 0};
};

// The row of the printer table with these ids (its strings and the endpoint
// set its product id uses), with `serial`.  Ids of no row give empty strings.
Identity identity_for(std::uint16_t vendor_id, std::uint16_t product_id, const std::string& serial);

constexpr std::uint8_t manufacturer_index = 1;
constexpr std::uint8_t product_index = 2;
constexpr std::uint8_t serial_index = 3;
constexpr std::uint16_t language_en_us = 0x0409;

// What is written to the controller file (ep0) to bind the gadget: tag 0,
// the full-speed configuration, the high-speed configuration, the device
// descriptor.  One configuration, one vendor-specific interface with the
// four bulk endpoints.
std::vector<std::uint8_t> controller_setup(const Identity& identity);

// What is written to an endpoint file to enable it: tag 1, the full-speed
// and the high-speed bulk endpoint descriptor for `address`.
std::vector<std::uint8_t> endpoint_setup(std::uint8_t address);

// String descriptor `index` in UTF-16LE (index 0: the language list), or an
// empty vector when there is no such string: the request is then stalled.
std::vector<std::uint8_t> string_descriptor(const Identity& identity, std::uint8_t index);

}  // namespace gadget
}  // namespace emu

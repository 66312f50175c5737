#include "descriptors.h"

namespace emu {
namespace gadget {

namespace {

constexpr std::uint8_t type_device = 1;
constexpr std::uint8_t type_configuration = 2;
constexpr std::uint8_t type_string = 3;
constexpr std::uint8_t type_interface = 4;
constexpr std::uint8_t type_endpoint = 5;

constexpr std::uint8_t device_length = 18;
constexpr std::uint8_t configuration_length = 9;
constexpr std::uint8_t interface_length = 9;
constexpr std::uint8_t endpoint_length = 7;

constexpr std::uint16_t full_speed_bulk_packet = 64;
constexpr std::uint16_t high_speed_bulk_packet = 512;

// A string descriptor holds at most (255 - 2) / 2 UTF-16 code units.
constexpr std::size_t longest_string_units = 126;

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void put_endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint16_t packet)
{
    out.push_back(endpoint_length);
    out.push_back(type_endpoint);
    out.push_back(address);
    out.push_back(0x02);  // bulk
    put16(out, packet);
    out.push_back(0);  // bInterval: bulk endpoints never NAK-limit here
}

void put_configuration(std::vector<std::uint8_t>& out, const com::EndpointSet& endpoints, std::uint16_t packet)
{
    const std::uint16_t total = configuration_length + interface_length + 4 * endpoint_length;
    out.push_back(configuration_length);
    out.push_back(type_configuration);
    put16(out, total);
    out.push_back(1);     // bNumInterfaces
    out.push_back(1);     // bConfigurationValue
    out.push_back(0);     // iConfiguration
    out.push_back(0xC0);  // bmAttributes: the printer has its own power supply
    out.push_back(1);     // bMaxPower: 2 mA

    out.push_back(interface_length);
    out.push_back(type_interface);
    out.push_back(0);     // bInterfaceNumber
    out.push_back(0);     // bAlternateSetting
    out.push_back(4);     // bNumEndpoints
    out.push_back(0xFF);  // vendor-specific class
    out.push_back(0);
    out.push_back(0);
    out.push_back(0);     // iInterface

    put_endpoint(out, endpoints.cmd_in, packet);
    put_endpoint(out, endpoints.cmd_out, packet);
    put_endpoint(out, endpoints.data_in, packet);
    put_endpoint(out, endpoints.data_out, packet);
}

// UTF-8 to UTF-16 code units; a malformed sequence becomes U+FFFD.
std::vector<std::uint16_t> utf16_units(const std::string& text)
{
    std::vector<std::uint16_t> units;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
        }
        if (length > 1) {
            bool valid = i + length <= text.size();
            std::uint32_t value = lead & (0x7F >> length);
            for (std::size_t k = 1; valid && k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                valid = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3F);
            }
            if (valid)
                code = value;
            else
                length = 1;
        }
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(code));
        }
    }
    return units;
}

}  // namespace

Identity identity_for(std::uint16_t vendor_id, std::uint16_t product_id, const std::string& serial)
{
    Identity identity;
    identity.vendor_id = vendor_id;
    identity.product_id = product_id;
    identity.serial = serial;
    identity.endpoints = com::endpoints_for_product(product_id);
    if (const com::DeviceInfo* row = com::find_supported_device(vendor_id, product_id)) {
        identity.manufacturer = row->manufacturer;
        identity.product = row->product;
    }
    return identity;
}

std::vector<std::uint8_t> controller_setup(const Identity& identity)
{
    std::vector<std::uint8_t> out;
    put32(out, 0);
    put_configuration(out, identity.endpoints, full_speed_bulk_packet);
    put_configuration(out, identity.endpoints, high_speed_bulk_packet);

    out.push_back(device_length);
    out.push_back(type_device);
    put16(out, 0x0200);  // bcdUSB
    out.push_back(0);    // class, subclass and protocol come with the interface
    out.push_back(0);
    out.push_back(0);
    out.push_back(64);   // bMaxPacketSize0
    put16(out, identity.vendor_id);
    put16(out, identity.product_id);
    put16(out, identity.device_release);
    out.push_back(identity.manufacturer.empty() ? 0 : manufacturer_index);
    out.push_back(identity.product.empty() ? 0 : product_index);
    out.push_back(identity.serial.empty() ? 0 : serial_index);
    out.push_back(1);    // bNumConfigurations
    return out;
}

std::vector<std::uint8_t> endpoint_setup(std::uint8_t address)
{
    std::vector<std::uint8_t> out;
    put32(out, 1);
    put_endpoint(out, address, full_speed_bulk_packet);
    put_endpoint(out, address, high_speed_bulk_packet);
    return out;
}

std::vector<std::uint8_t> string_descriptor(const Identity& identity, std::uint8_t index)
{
    std::vector<std::uint8_t> out;
    if (index == 0) {
        out.push_back(4);
        out.push_back(type_string);
        put16(out, language_en_us);
        return out;
    }
    const std::string* text = nullptr;
    switch (index) {
    case manufacturer_index: text = &identity.manufacturer; break;
    case product_index: text = &identity.product; break;
    case serial_index: text = &identity.serial; break;
    default: return out;
    }
    if (text->empty())
        return out;
    std::vector<std::uint16_t> units = utf16_units(*text);
    if (units.size() > longest_string_units) {
        units.resize(longest_string_units);
        if (units.back() >= 0xD800 && units.back() < 0xDC00)
            units.pop_back();  // never end on half a surrogate pair
    }
    out.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
    out.push_back(type_string);
    for (std::uint16_t unit : units)
        put16(out, unit);
    return out;
}

}  // namespace gadget
}  // namespace emu

#include "usb_descriptors.h"

#include "com/utf8.h"

namespace emu {
namespace usb {

namespace {

constexpr std::uint8_t type_device = 1;
constexpr std::uint8_t type_configuration = 2;
constexpr std::uint8_t type_string = 3;
constexpr std::uint8_t type_interface = 4;
constexpr std::uint8_t type_endpoint = 5;
constexpr std::size_t longest_string_units = (255 - 2) / 2;

void put16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

Bytes device_descriptor(const Device& device)
{
    Bytes d{18, type_device};
    put16(d, 0x0200);  // USB 2.0
    d.push_back(device.device_class);
    d.push_back(0);  // bDeviceSubClass
    d.push_back(device.protocol);
    d.push_back(64);  // bMaxPacketSize0
    put16(d, device.vendor_id);
    put16(d, device.product_id);
    put16(d, device.release);
    d.push_back(device.manufacturer);
    d.push_back(device.product);
    d.push_back(device.serial);
    d.push_back(1);  // bNumConfigurations
    return d;
}

Bytes endpoint_descriptor(const Endpoint& endpoint)
{
    Bytes d{7, type_endpoint, endpoint.address, endpoint.attributes};
    put16(d, endpoint.packet);
    d.push_back(endpoint.interval);
    return d;
}

Bytes configuration_descriptor(std::uint8_t attributes, std::uint8_t max_power, std::uint8_t interface_class,
                               const std::vector<Endpoint>& endpoints)
{
    Bytes d{9, type_configuration};
    put16(d, static_cast<std::uint16_t>(9 + 9 + 7 * endpoints.size()));
    d.insert(d.end(), {1, 1, 0, attributes, max_power});  // one interface, value 1, no string
    d.insert(d.end(), {9, type_interface, 0, 0, static_cast<std::uint8_t>(endpoints.size()), interface_class, 0, 0, 0});
    for (const Endpoint& endpoint : endpoints) {
        const Bytes e = endpoint_descriptor(endpoint);
        d.insert(d.end(), e.begin(), e.end());
    }
    return d;
}

Bytes language_descriptor()
{
    Bytes d{4, type_string};
    put16(d, english_us);
    return d;
}

Bytes string_descriptor(const std::string& utf8)
{
    std::u16string units;
    for (std::size_t i = 0; i < utf8.size();) {
        // A bad sequence is one U+FFFD.
        const com::utf8::Character c = com::utf8::decode_at(utf8, i);
        i += c.length;
        const std::size_t needs = c.code_point < 0x10000 ? 1 : 2;
        if (units.size() + needs > longest_string_units)
            break;
        com::utf8::append_utf16(units, c.code_point);
    }
    Bytes d{static_cast<std::uint8_t>(2 + 2 * units.size()), type_string};
    for (char16_t u : units)
        put16(d, u);
    return d;
}

}  // namespace usb

usb::Bytes printer_device_descriptor(const Identity& identity)
{
    usb::Device device;
    device.vendor_id = identity.vendor_id;
    device.product_id = identity.product_id;
    device.manufacturer = identity.manufacturer.empty() ? 0 : usb::manufacturer_index;
    device.product = identity.product.empty() ? 0 : usb::product_index;
    device.serial = identity.serial.empty() ? 0 : usb::serial_index;
    return usb::device_descriptor(device);
}

usb::Bytes printer_configuration(const Identity& identity, std::uint16_t packet)
{
    const com::EndpointSet& e = identity.endpoints;
    // Self-powered (the printer has its own supply), 2 mA from the bus.
    return usb::configuration_descriptor(
        0xC0, 1, 0xFF,
        {{e.cmd_in, 2, packet, 0}, {e.cmd_out, 2, packet, 0}, {e.data_in, 2, packet, 0}, {e.data_out, 2, packet, 0}});
}

usb::Bytes printer_string(const Identity& identity, std::uint8_t index)
{
    if (index == 0)
        return usb::language_descriptor();
    const std::string* text = index == usb::manufacturer_index ? &identity.manufacturer
                              : index == usb::product_index    ? &identity.product
                              : index == usb::serial_index     ? &identity.serial
                                                               : nullptr;
    return text && !text->empty() ? usb::string_descriptor(*text) : usb::Bytes{};
}

}  // namespace emu

#include "usb_descriptors.h"

namespace emu {

namespace {

void put16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

Bytes device_descriptor(std::uint8_t device_class, std::uint16_t vendor_id, std::uint16_t product_id,
                        std::uint16_t release, const DeviceStrings& strings)
{
    Bytes d;
    d.push_back(18);    // bLength
    d.push_back(1);     // DEVICE
    put16(d, 0x0200);   // USB 2.0
    d.push_back(device_class);
    d.push_back(0);     // bDeviceSubClass
    d.push_back(device_class == 9 ? 1 : 0);  // a hub's protocol: single TT
    d.push_back(64);    // bMaxPacketSize0
    put16(d, vendor_id);
    put16(d, product_id);
    put16(d, release);
    d.push_back(strings.manufacturer.empty() ? 0 : manufacturer_index);
    d.push_back(strings.product.empty() ? 0 : product_index);
    d.push_back(strings.serial.empty() ? 0 : serial_index);
    d.push_back(1);     // bNumConfigurations
    return d;
}

void config_header(Bytes& d, std::uint16_t total_length, std::uint8_t attributes, std::uint8_t max_power)
{
    d.push_back(9);
    d.push_back(2);     // CONFIGURATION
    put16(d, total_length);
    d.push_back(1);     // bNumInterfaces
    d.push_back(1);     // bConfigurationValue
    d.push_back(0);     // iConfiguration
    d.push_back(attributes);
    d.push_back(max_power);
}

void interface(Bytes& d, std::uint8_t endpoint_count, std::uint8_t interface_class)
{
    d.push_back(9);
    d.push_back(4);     // INTERFACE
    d.push_back(0);     // bInterfaceNumber
    d.push_back(0);     // bAlternateSetting
    d.push_back(endpoint_count);
    d.push_back(interface_class);
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);     // iInterface
}

void endpoint(Bytes& d, std::uint8_t address, std::uint8_t attributes, std::uint16_t packet_size,
              std::uint8_t interval)
{
    d.push_back(7);
    d.push_back(5);     // ENDPOINT
    d.push_back(address);
    d.push_back(attributes);
    put16(d, packet_size);
    d.push_back(interval);
}

// Decodes one code point at `i`, moving `i` past it; U+FFFD for a bad sequence.
std::uint32_t next_code_point(const std::string& s, std::size_t& i)
{
    const auto lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80)
        return lead;
    int extra = 0;
    std::uint32_t cp = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0xFFFD;
    return cp;
}

}  // namespace

Bytes printer_descriptors(std::uint16_t vendor_id, std::uint16_t product_id, const DeviceStrings& strings,
                          const PrinterEndpoints& endpoints)
{
    Bytes d = device_descriptor(0, vendor_id, product_id, 0x0100, strings);
    config_header(d, 9 + 9 + 4 * 7, 0xC0, 50);
    interface(d, 4, 0xFF);
    endpoint(d, endpoints.cmd_in, 2, bulk_packet_size, 0);
    endpoint(d, endpoints.cmd_out, 2, bulk_packet_size, 0);
    endpoint(d, endpoints.data_in, 2, bulk_packet_size, 0);
    endpoint(d, endpoints.data_out, 2, bulk_packet_size, 0);
    return d;
}

Bytes root_hub_descriptors()
{
    Bytes d = device_descriptor(9, 0x1D6B, 0x0002, 0x0601, DeviceStrings{});
    config_header(d, 9 + 9 + 7, 0xE0, 0);
    interface(d, 1, 9);
    endpoint(d, 0x81, 3, 4, 12);  // the status change endpoint
    return d;
}

Bytes language_descriptor()
{
    Bytes d{4, 3};
    put16(d, english_us);
    return d;
}

Bytes string_descriptor(const std::string& utf8)
{
    constexpr std::size_t most_units = (255 - 2) / 2;
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint32_t cp = next_code_point(utf8, i);
        if (cp < 0x10000) {
            if (units.size() + 1 > most_units)
                break;
            units.push_back(static_cast<std::uint16_t>(cp));
        } else {
            if (units.size() + 2 > most_units)
                break;
            const std::uint32_t v = cp - 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (v >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (v & 0x3FF)));
        }
    }
    Bytes d;
    d.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
    d.push_back(3);  // STRING
    for (std::uint16_t u : units)
        put16(d, u);
    return d;
}

}  // namespace emu

#include "sysfs_records.h"

#include <cstdio>

#include "printer/usb_descriptors.h"

namespace emu {

namespace {

std::string format(const char* pattern, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Binary values: upper-case hexadecimal, the only case umockdev's parser takes.
std::string hex_of(const usb::Bytes& bytes)
{
    std::string hex;
    for (std::uint8_t byte : bytes)
        hex += format("%02X", byte);
    return hex;
}

// An attribute value: escaped as the record format wants, ending in a line
// feed as the kernel's attributes do.
std::string attribute(const std::string& name, const std::string& text)
{
    std::string out = "A: " + name + "=";
    for (char c : text)
        out += c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return out + "\\n\n";
}

// What a hub and a printer record share; `descriptors` is the device
// descriptor followed by the whole configuration descriptor.
std::string record(const std::string& syspath, std::uint8_t bus, unsigned address, std::uint16_t vendor_id,
                   std::uint16_t product_id, const usb::Bytes& descriptors)
{
    const std::string node = "bus/usb/" + format("%03u", bus) + "/" + format("%03u", address);
    return "P: " + syspath.substr(4) + "\n" +  // without "/sys"
           "N: " + node + "=" + hex_of(descriptors) + "\n" +
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DEVNAME=/dev/" +
           node + "\n" + "E: BUSNUM=" + format("%03u", bus) + "\n" + "E: DEVNUM=" + format("%03u", address) + "\n" +
           attribute("busnum", std::to_string(bus)) + attribute("devnum", std::to_string(address)) +
           attribute("speed", "480") + attribute("bConfigurationValue", "1") +
           attribute("idVendor", format("%04x", vendor_id)) + attribute("idProduct", format("%04x", product_id));
}

}  // namespace

std::string root_hub_syspath(std::uint8_t bus)
{
    return "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus);
}

std::string device_syspath(std::uint8_t bus, const std::vector<std::uint8_t>& ports)
{
    std::string path = root_hub_syspath(bus);
    std::string name = std::to_string(bus) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        name += (i ? "." : "") + std::to_string(ports[i]);
        path += "/" + name;
    }
    return path;
}

std::string printer_syspath(const Identity& identity)
{
    return device_syspath(identity.bus, identity.ports);
}

namespace {

// A USB 2.0 hub's descriptors, with the ids of the root hubs: only its class
// and its place matter to the host.
usb::Bytes hub_descriptors(std::uint16_t release)
{
    usb::Device hub;
    hub.device_class = 9;
    hub.protocol = 1;  // single TT
    hub.vendor_id = 0x1D6B;
    hub.product_id = 0x0002;
    hub.release = release;
    usb::Bytes descriptors = usb::device_descriptor(hub);
    // Self-powered with remote wake-up; the status change endpoint.
    const usb::Bytes configuration = usb::configuration_descriptor(0xE0, 0, 9, {{0x81, 3, 4, 12}});
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    return descriptors;
}

}  // namespace

std::string root_hub_record(std::uint8_t bus)
{
    const usb::Bytes descriptors = hub_descriptors(0x0601);
    return record(root_hub_syspath(bus), bus, 1, 0x1D6B, 0x0002, descriptors) +
           "H: descriptors=" + hex_of(descriptors) + "\n";
}

std::string hub_record(std::uint8_t bus, const std::vector<std::uint8_t>& ports, std::uint8_t address)
{
    const usb::Bytes descriptors = hub_descriptors(0x0100);
    return record(device_syspath(bus, ports), bus, address, 0x1D6B, 0x0002, descriptors) +
           attribute("bNumInterfaces", " 1") + "H: descriptors=" + hex_of(descriptors) + "\n";
}

std::string printer_record(const Identity& identity)
{
    usb::Bytes descriptors = printer_device_descriptor(identity);
    const usb::Bytes configuration = printer_configuration(identity);
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    std::string out = record(printer_syspath(identity), identity.bus, identity.address, identity.vendor_id,
                             identity.product_id, descriptors);
    out += "E: PRODUCT=" + format("%x", identity.vendor_id) + "/" + format("%x", identity.product_id) + "/100\n";
    out += attribute("bNumInterfaces", " 1");
    if (!identity.manufacturer.empty())
        out += attribute("manufacturer", identity.manufacturer);
    if (!identity.product.empty())
        out += attribute("product", identity.product);
    if (!identity.serial.empty())
        out += attribute("serial", identity.serial);
    return out + "H: descriptors=" + hex_of(descriptors) + "\n";
}

}  // namespace emu

#include "identity.h"

#include <vector>

#include "control.h"
#include "update/target.h"

namespace emu {

namespace {

// A number of at most `high` and at least `low`, as a request's key gives it.
bool parse_small(const std::string& text, std::uint8_t* value, unsigned long long low, unsigned long long high)
{
    unsigned long long v = 0;
    if (!control::parse_number(text, &v) || v < low || v > high)
        return false;
    *value = static_cast<std::uint8_t>(v);
    return true;
}

bool parse_id(const std::string& text, std::uint16_t* value)
{
    unsigned long long v = 0;
    if (text.empty() || text.size() > 4 || !control::parse_number("0x" + text, &v) || v == 0)
        return false;
    *value = static_cast<std::uint16_t>(v);
    return true;
}

// "1.4": the ports from the root hub down.
bool parse_ports(const std::string& text, std::vector<std::uint8_t>* ports)
{
    std::vector<std::uint8_t> out;
    for (const std::string& part : control::split(text, '.')) {
        std::uint8_t port = 0;
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
            !parse_small(part, &port, 1, 255))
            return false;
        out.push_back(port);
    }
    if (out.size() > static_cast<std::size_t>(com::UsbPortPath::most_ports))
        return false;
    *ports = out;
    return true;
}

}  // namespace

bool parse_printer_request(const std::string& text, PrinterRequest* request, std::string* error)
{
    PrinterRequest r;
    const std::vector<std::string> parts = control::split(text, ',');
    const std::vector<std::string> ids = control::split(parts[0], ':');
    if (parts[0] == "target") {
        r.vendor_id = update::target_vendor_id;
        r.product_id = update::target_product_id;
    } else if (ids.size() != 2 || !parse_id(ids[0], &r.vendor_id) || !parse_id(ids[1], &r.product_id)) {
        *error = "expected VID:PID in hexadecimal, got '" + parts[0] + "'";
        return false;
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        std::string value, why;
        if (eq == std::string::npos || !control::unescape(parts[i].substr(eq + 1), &value))
            why = "expected KEY=VALUE, got '" + parts[i] + "'";
        else if (key == "bus" && !parse_small(value, &r.bus, 1, 127))
            why = "bus must be 1 to 127";
        else if (key == "addr" && !parse_small(value, &r.address, 2, 127))
            why = "addr must be 2 to 127";
        else if (key == "port" && !parse_ports(value, &r.ports))
            why = "port must be one to seven port numbers of 1 to 255 joined by dots (1.4)";
        else if (key == "serial" || key == "manufacturer" || key == "product")
            (key == "serial" ? r.serial : key == "product" ? r.product : r.manufacturer) = value;
        else if (key != "bus" && key != "addr" && key != "port")
            why = "unknown key '" + key + "'";
        if (!why.empty()) {
            *error = why;
            return false;
        }
    }
    *request = r;
    return true;
}

com::UsbPortPath port_path(const Identity& identity)
{
    com::UsbPortPath path;
    path.bus_number = identity.bus;
    for (std::uint8_t port : identity.ports)
        if (path.depth < com::UsbPortPath::most_ports)
            path.ports[path.depth++] = port;
    return path;
}

Identity printer_identity(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus, std::uint8_t address)
{
    Identity identity;
    identity.vendor_id = vendor_id;
    identity.product_id = product_id;
    identity.bus = bus;
    identity.address = address;
    if (const com::DeviceInfo* row = com::find_supported_device(vendor_id, product_id)) {
        identity.manufacturer = row->manufacturer;
        identity.product = row->product;
    }
    identity.serial = "SN" + std::to_string(bus) + "-" + std::to_string(address);
    identity.endpoints = com::endpoints_for_product(product_id);
    return identity;
}

Identity printer_identity(const PrinterRequest& request, std::uint8_t address)
{
    Identity identity = printer_identity(request.vendor_id, request.product_id, request.bus, address);
    identity.manufacturer = request.manufacturer.value_or(identity.manufacturer);
    identity.product = request.product.value_or(identity.product);
    identity.serial = request.serial.value_or(identity.serial);
    identity.ports = request.ports;
    return identity;
}

}  // namespace emu

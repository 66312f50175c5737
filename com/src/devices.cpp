#include "com/devices.h"

#include <iterator>

namespace com {

#define ROW(maker, product, vid, pid)                                                                                  \
    {                                                                                                                  \
        maker, product, "", vid, pid                                                                                   \
    }

const DeviceInfo supported_devices[supported_device_slots] = {
    ROW("Velmora", "Velmora Amsel serials 3D Printer", ids::vendor_velmora_first, ids::product_amsel),
    ROW("Velmora", "Velmora Amsel serials 3D Printer", ids::vendor_velmora, ids::product_amsel),
    ROW("Velmora", "Velmora Brannt serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 1),
    ROW("Velmora", "Velmora Cirro serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 2),
    ROW("Velmora", "Velmora Cirro II serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 3),
    ROW("Velmora", "Velmora Dunmo serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 4),
    ROW("Velmora", "Velmora Dunmo II serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 5),
    ROW("Velmora", "Velmora Brannt serials 3D Printer", ids::vendor_velmora, ids::product_amsel + 6),
    ROW("Velmora", "Velmora Ephra serials 3D Printer", ids::vendor_velmora, ids::product_ephra),
    ROW("Edvin Halvenn Tool Corporation", "Halvenn Orbrey 3D Printer", ids::vendor_halvenn, ids::product_orbrey),
    ROW("Edvin Halvenn Tool Corporation", "Halvenn Orbrey-II 3D Printer", ids::vendor_halvenn, ids::product_orbrey_ii),
};

#undef ROW

SupportedRows supported_rows()
{
    const DeviceInfo* end = std::begin(supported_devices);
    while (end != std::end(supported_devices) && (end->vendor_id != 0 || end->product_id != 0))
        ++end;
    return SupportedRows{std::begin(supported_devices), end};
}

const DeviceInfo* find_supported_device(std::uint16_t vendor_id, std::uint16_t product_id)
{
    for (const DeviceInfo& row : supported_rows())
        if (row.vendor_id == vendor_id && row.product_id == product_id)
            return &row;
    return nullptr;
}

std::string place_text(const UsbPlace& place)
{
    return std::to_string(place.bus_number) + ":" + std::to_string(place.device_address);
}

namespace {

// A decimal number of `low` to 255, at most three digits.
bool small_number(const std::string& part, int low, std::uint8_t* out)
{
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(part);
    if (value < low || value > 255)
        return false;
    *out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

bool parse_place(const std::string& text, UsbPlace* place)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    UsbPlace parsed;
    if (!small_number(text.substr(0, colon), 0, &parsed.bus_number) ||
        !small_number(text.substr(colon + 1), 1, &parsed.device_address))
        return false;
    *place = parsed;
    return true;
}

bool operator==(const UsbPortPath& a, const UsbPortPath& b)
{
    if (a.bus_number != b.bus_number || a.depth != b.depth)
        return false;
    for (int i = 0; i < a.depth; ++i)
        if (a.ports[i] != b.ports[i])
            return false;
    return true;
}

std::string port_path_text(const UsbPortPath& path)
{
    if (!path.known())
        return std::string();
    std::string text = std::to_string(path.bus_number) + "-";
    for (int i = 0; i < path.depth; ++i)
        text += (i ? "." : "") + std::to_string(path.ports[i]);
    return text;
}

bool parse_port_path(const std::string& text, UsbPortPath* path)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        return false;
    UsbPortPath parsed;
    if (!small_number(text.substr(0, dash), 0, &parsed.bus_number))
        return false;
    std::size_t start = dash + 1;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        if (parsed.depth == UsbPortPath::most_ports ||
            !small_number(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start), 1,
                          &parsed.ports[parsed.depth]))
            return false;
        ++parsed.depth;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    *path = parsed;
    return true;
}

EndpointSet endpoints_for_product(std::uint16_t product_id)
{
    for (std::uint16_t b : ids::endpoint_set_b_products)
        if (b == product_id)
            return endpoint_set_b;
    return endpoint_set_a;
}

}  // namespace com

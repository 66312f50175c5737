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

bool parse_place(const std::string& text, UsbPlace* place)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    const auto number = [](const std::string& part, int low, std::uint8_t* out) {
        if (part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const int value = std::stoi(part);
        if (value < low || value > 255)
            return false;
        *out = static_cast<std::uint8_t>(value);
        return true;
    };
    UsbPlace parsed;
    if (!number(text.substr(0, colon), 0, &parsed.bus_number) ||
        !number(text.substr(colon + 1), 1, &parsed.device_address))
        return false;
    *place = parsed;
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

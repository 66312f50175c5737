#include "com/devices.h"

#include <iterator>

namespace com {


#define ROW(maker, product, vid, pid) {maker, product, "", vid, pid}

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

EndpointSet endpoints_for_product(std::uint16_t product_id)
{
    for (std::uint16_t b : ids::endpoint_set_b_products)
        if (b == product_id)
            return endpoint_set_b;
    return endpoint_set_a;
}

}  // namespace com

// The one printer model the tool updates: the window, zarvik, the emulator's
// `--printer target` and the scripts all take it from here.
#pragma once

#include <cstdint>

#include "com/devices.h"

namespace update {

// The first Orbrey row of the printer table; the Orbrey-II is not served.
constexpr std::uint16_t target_vendor_id = com::ids::vendor_halvenn;
constexpr std::uint16_t target_product_id = com::ids::product_orbrey;

// True for a record of the target printer.
constexpr bool is_target(std::uint16_t vendor_id, std::uint16_t product_id)
{
    return vendor_id == target_vendor_id && product_id == target_product_id;
}

// Its product name, from its row of the printer table.
inline const char* target_product()
{
    return com::find_supported_device(target_vendor_id, target_product_id)->product;
}

}  // namespace update

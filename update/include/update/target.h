// The one printer model the update is for.
#pragma once

#include <cstdint>

#include "com/devices.h"

namespace update {

// The first Orbrey row of the printer table; the Orbrey-II is not served.
constexpr std::uint16_t target_vendor_id = com::ids::vendor_halvenn;
constexpr std::uint16_t target_product_id = com::ids::product_orbrey;
constexpr const char* target_product = "Halvenn Orbrey 3D Printer";

}  // namespace update

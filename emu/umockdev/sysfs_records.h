// The umockdev device records of the emulated bus: a USB 2.0 root hub for
// each bus, and a printer under it, as libusb's sysfs scan reads them
// (busnum, devnum, speed, the binary "descriptors" file, ...).
#pragma once

#include <cstdint>
#include <string>

#include "printer/identity.h"

namespace emu {

// Where a device sits in sysfs: "/sys/devices/.../usb<bus>[/<bus>-<port>]".
std::string root_hub_syspath(std::uint8_t bus);
std::string printer_syspath(const Identity& identity, unsigned port);

// The records for umockdev_testbed_add_from_string.
std::string root_hub_record(std::uint8_t bus);
std::string printer_record(const Identity& identity, unsigned port);

}  // namespace emu

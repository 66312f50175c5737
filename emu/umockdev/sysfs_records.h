// The umockdev device records of the emulated bus: a USB 2.0 root hub for
// each bus, the hubs a printer is plugged in behind, and the printers, as
// libusb's sysfs scan reads them (busnum, devnum, speed, the binary
// "descriptors" file, ...).  libusb takes a device's port numbers from its
// name ("1-1.4": port 4 of the hub in port 1 of bus 1) and its parent's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "printer/identity.h"

namespace emu {

// Where a device sits in sysfs: "/sys/devices/.../usb<bus>", then one level
// a port: ".../usb1/1-1/1-1.4".
std::string root_hub_syspath(std::uint8_t bus);
std::string device_syspath(std::uint8_t bus, const std::vector<std::uint8_t>& ports);
std::string printer_syspath(const Identity& identity);

// The records for umockdev_testbed_add_from_string.
std::string root_hub_record(std::uint8_t bus);
std::string hub_record(std::uint8_t bus, const std::vector<std::uint8_t>& ports, std::uint8_t address);
std::string printer_record(const Identity& identity);

}  // namespace emu

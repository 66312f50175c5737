// What the link's sources share: the names under which operations log, and
// the walk of the device list.
#pragma once

#include <cstdint>
#include <functional>

#include "com/devices.h"

struct libusb_device;
struct libusb_device_descriptor;
struct libusb_device_handle;

namespace com {
namespace detail {

// Each logging operation names itself with one of these prefixes.
constexpr char write_prefix[] = "com_write: ";
constexpr char readline_prefix[] = "com_readline: ";
constexpr char clear_prefix[] = "com_clear_buffer: ";
constexpr char send_prefix[] = "com_send_file: ";
constexpr char open_prefix[] = "com_open: ";

// Reads the manufacturer, product and serial strings of an open device into
// `info` as the listing does; a failed or empty read leaves its field empty.
void read_strings(libusb_device_handle* handle, const libusb_device_descriptor& descriptor, DeviceInfo& info);

// Where `device` is plugged in, as libusb tells it.
UsbPortPath port_path_of(libusb_device* device);

// The walk of both listings, with libusb initialised: the device list, then
// `listed` once it is there, then for each supported printer in list order
// `visit` with its record (bus, address, ids set); a code other than
// COM_SUCCESS from `visit` ends the walk with it.  COM_ERR_LIST_DEVICES when
// there is no list, COM_ERR_ACCESS when a descriptor cannot be read.
int walk_supported_devices(
    const std::function<void()>& listed,
    const std::function<int(libusb_device*, const libusb_device_descriptor&, UsbDeviceRecord&)>& visit);

}  // namespace detail
}  // namespace com

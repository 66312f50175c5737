// What the link's sources share: the names under which operations log, and
// fixed values of the printer protocol.
#pragma once

#include <cstdint>

struct libusb_device_handle;

namespace com {
namespace detail {

// Each logging operation names itself with one of these prefixes.
constexpr char write_prefix[] = "com_write: ";
constexpr char readline_prefix[] = "com_readline: ";
constexpr char clear_prefix[] = "com_clear_buffer: ";
constexpr char send_prefix[] = "com_send_file: ";
constexpr char open_prefix[] = "com_open: ";

constexpr const char* system_folder = "0:/sys/";
constexpr int install_progress_scale = 99;

// Reads string descriptor `index` of an open device into `field` (132 bytes)
// as the listing does; a failed or empty read leaves the field empty.
void read_string(libusb_device_handle* handle, std::uint8_t index, char* field);

}  // namespace detail
}  // namespace com

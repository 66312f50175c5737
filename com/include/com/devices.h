// The printers this library knows, and what a USB listing reports of them.
#pragma once

#include <cstdint>
#include <string>

namespace com {

// USB ids of the supported family.  They are written here once; the printer
// table, the endpoint choice and the application all take them from here.
namespace ids {
constexpr std::uint16_t vendor_velmora_first = 0x1E4A;  // V1: row 1 only
constexpr std::uint16_t vendor_velmora = 0x1E4B;        // V2: rows 2 to 9
constexpr std::uint16_t vendor_halvenn = 0x2C7E;        // V3: rows 10 and 11

constexpr std::uint16_t product_amsel = 0x0101;      // P1; rows 2 to 8 count up from it
constexpr std::uint16_t product_ephra = 0x0110;      // P2
constexpr std::uint16_t product_orbrey = 0x4201;     // P3
constexpr std::uint16_t product_orbrey_ii = 0x4203;  // P3 + 2

// Product ids whose printers take commands on 0x02 and file data on 0x04.
constexpr std::uint16_t endpoint_set_b_products[] = {0x0104, 0x0106, 0x0107};
}  // namespace ids

struct DeviceInfo {
    char manufacturer[132];
    char product[132];
    char serial[132];
    std::uint16_t vendor_id;
    std::uint16_t product_id;
};

constexpr int supported_device_slots = 20;

// Rows 1 to 11 are filled; a row with both ids 0 ends the table.
extern const DeviceInfo supported_devices[supported_device_slots];

// The filled rows of `supported_devices`, in table order: those before the
// first row with both ids 0.  `for (const DeviceInfo& row : supported_rows())`.
struct SupportedRows {
    const DeviceInfo* first;
    const DeviceInfo* last;
    const DeviceInfo* begin() const { return first; }
    const DeviceInfo* end() const { return last; }
};
SupportedRows supported_rows();

// The row of `supported_devices` with these ids, or nullptr.
const DeviceInfo* find_supported_device(std::uint16_t vendor_id, std::uint16_t product_id);

// One attached supported printer, as a listing finds it.
struct UsbDeviceRecord {
    std::uint8_t bus_number;
    std::uint8_t device_address;
    DeviceInfo info;
};

// Where a printer is attached: the number of its bus and its address there.
struct UsbPlace {
    std::uint8_t bus_number = 0;
    std::uint8_t device_address = 0;
};

inline UsbPlace place_of(const UsbDeviceRecord& record)
{
    return UsbPlace{record.bus_number, record.device_address};
}

// A place as users write it, "BUS:ADDR": "1:5".
std::string place_text(const UsbPlace& place);

// The place that "BUS:ADDR" names (a bus of 0 to 255, an address of 1 to
// 255, decimal); false for any other text.
bool parse_place(const std::string& text, UsbPlace* place);

// Where a printer is plugged in: its bus and the ports from the root hub
// down, as libusb gives them (libusb_get_port_numbers).  Unlike the address,
// which the bus hands out anew at each plug-in, it names the socket: a
// printer plugged in again at the same one comes back at the same path.
struct UsbPortPath {
    static constexpr int most_ports = 7;  // USB has at most seven tiers

    std::uint8_t bus_number = 0;
    std::uint8_t depth = 0;  // ports in use; 0: not known
    std::uint8_t ports[most_ports] = {};

    bool known() const { return depth > 0; }
};

bool operator==(const UsbPortPath& a, const UsbPortPath& b);
inline bool operator!=(const UsbPortPath& a, const UsbPortPath& b)
{
    return !(a == b);
}

// A port path as the system writes it, "BUS-PORT.PORT...": "1-1.4"; "" when
// it is not known.
std::string port_path_text(const UsbPortPath& path);

// The path that "BUS-PORT[.PORT]..." names (a bus of 0 to 255, one to seven
// ports of 1 to 255, decimal); false for any other text.
bool parse_port_path(const std::string& text, UsbPortPath* path);

// The four bulk endpoints of an open printer.
struct EndpointSet {
    std::uint8_t cmd_in;    // bulk IN, command replies
    std::uint8_t cmd_out;   // bulk OUT, commands
    std::uint8_t data_in;   // bulk IN, not used
    std::uint8_t data_out;  // bulk OUT, file data
};

constexpr EndpointSet endpoint_set_a{0x81, 0x01, 0x83, 0x03};
constexpr EndpointSet endpoint_set_b{0x81, 0x02, 0x83, 0x04};

// The endpoint set of a printer with this product id.
EndpointSet endpoints_for_product(std::uint16_t product_id);

}  // namespace com

// USB discovery of supported printers, and the link factory.
#include "com/com_factory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <libusb.h>

#include "com/com_usb.h"
#include "com/result.h"
#include "link_detail.h"

namespace com {

namespace {

constexpr int string_read_limit = 128;

// Reads string descriptor `index` into `field` (132 bytes); a failed or
// empty read leaves the field empty.
void read_string(libusb_device_handle* handle, std::uint8_t index, char* field)
{
    unsigned char scratch[256];
    const int length = libusb_get_string_descriptor_ascii(handle, index, scratch, string_read_limit);
    if (length <= 0)
        return;
    const auto kept = static_cast<std::size_t>(length < string_read_limit ? length : string_read_limit);
    std::memcpy(field, scratch, kept);
    field[kept] = '\0';
}

}  // namespace

namespace detail {

void read_strings(libusb_device_handle* handle, const libusb_device_descriptor& descriptor, DeviceInfo& info)
{
    read_string(handle, descriptor.iManufacturer, info.manufacturer);
    read_string(handle, descriptor.iProduct, info.product);
    read_string(handle, descriptor.iSerialNumber, info.serial);
}

UsbPortPath port_path_of(libusb_device* device)
{
    UsbPortPath path;
    path.bus_number = libusb_get_bus_number(device);
    const int depth = libusb_get_port_numbers(device, path.ports, UsbPortPath::most_ports);
    path.depth = static_cast<std::uint8_t>(depth > 0 ? depth : 0);
    return path;
}

int walk_supported_devices(
    const std::function<void()>& listed,
    const std::function<int(libusb_device*, const libusb_device_descriptor&, UsbDeviceRecord&)>& visit)
{
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);
    if (count < 0)
        return COM_ERR_LIST_DEVICES;
    listed();
    int result = COM_SUCCESS;
    for (ssize_t i = 0; i < count && result == COM_SUCCESS; ++i) {
        libusb_device* device = devices[i];
        UsbDeviceRecord record{};
        record.bus_number = libusb_get_bus_number(device);
        record.device_address = libusb_get_device_address(device);
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) < 0) {
            result = COM_ERR_ACCESS;
            break;
        }
        if (!find_supported_device(descriptor.idVendor, descriptor.idProduct))
            continue;
        record.info.vendor_id = descriptor.idVendor;
        record.info.product_id = descriptor.idProduct;
        result = visit(device, descriptor, record);
    }
    libusb_free_device_list(devices, 1);
    return result;
}

}  // namespace detail

int ComFactory::list_usb_devices(std::vector<UsbDeviceRecord>* out)
{
    if (libusb_init(nullptr) < 0)
        return COM_ERR_INIT_LIB;

    const libusb_version* version = libusb_get_version();
    std::printf("Using libusb v%d.%d.%d.%d\n\n", version->major, version->minor, version->micro, version->nano);

    const int result = detail::walk_supported_devices(
        [&] { out->clear(); },
        [&](libusb_device*, const libusb_device_descriptor& descriptor, UsbDeviceRecord& record) {
            // The first attached device with these ids, whichever this one is.
            libusb_device_handle* handle =
                libusb_open_device_with_vid_pid(nullptr, descriptor.idVendor, descriptor.idProduct);
            if (!handle) {
                std::fprintf(stderr, "libusb_open_device_with_vid_pid %X:%X failed: %s\n", descriptor.idVendor,
                             descriptor.idProduct, std::strerror(errno));
                return static_cast<int>(COM_ERR_CONNECT);
            }
            detail::read_strings(handle, descriptor, record.info);
            libusb_close(handle);
            out->push_back(record);
            return static_cast<int>(COM_SUCCESS);
        });
    libusb_exit(nullptr);
    return result;
}

Com* ComFactory::create_usb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled)
{
    return new ComUsb(vendor_id, product_id, std::move(log_dir), log_enabled);
}

}  // namespace com

// Printers told apart by where they sit on the bus: a listing that reads each
// printer's own strings, and links to the printer at one bus and address.
#include <libusb.h>

#include "com/com_factory.h"
#include "com/com_usb.h"
#include "com/result.h"
#include "link_detail.h"

namespace com {

ComUsb::ComUsb(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus_number, std::uint8_t device_address,
               std::string log_dir, bool log_enabled)
    : ComUsb(vendor_id, product_id, std::move(log_dir), log_enabled)
{
    place = UsbPlace{bus_number, device_address};
}

libusb_device_handle* ComUsb::open_at_place() const
{
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);
    if (count < 0)
        return nullptr;
    libusb_device_handle* opened = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = devices[i];
        if (libusb_get_bus_number(device) != place->bus_number ||
            libusb_get_device_address(device) != place->device_address)
            continue;
        // Another printer (or anything else) that took the address over is not ours.
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) == 0 && descriptor.idVendor == vendor_id &&
            descriptor.idProduct == product_id && libusb_open(device, &opened) != 0)
            opened = nullptr;
        break;
    }
    libusb_free_device_list(devices, 1);
    return opened;
}

int ComFactory::list_usb_printers(std::vector<UsbPrinterRecord>* out)
{
    if (libusb_init(nullptr) < 0)
        return COM_ERR_INIT_LIB;
    const int result = detail::walk_supported_devices(
        [&] { out->clear(); },
        [&](libusb_device* device, const libusb_device_descriptor& descriptor, UsbDeviceRecord& found) {
            UsbPrinterRecord record{};
            record.device = found;
            record.port = detail::port_path_of(device);
            libusb_device_handle* handle = nullptr;
            record.open_error = libusb_open(device, &handle);
            if (record.open_error == 0) {
                detail::read_strings(handle, descriptor, record.device.info);
                libusb_close(handle);
            }
            out->push_back(record);
            return static_cast<int>(COM_SUCCESS);
        });
    libusb_exit(nullptr);
    return result;
}

int ComFactory::scan_usb_printers(std::vector<UsbPrinterRecord>* out)
{
    if (libusb_init(nullptr) < 0)
        return COM_ERR_INIT_LIB;
    const int result = detail::walk_supported_devices(
        [&] { out->clear(); },
        [&](libusb_device* device, const libusb_device_descriptor&, UsbDeviceRecord& found) {
            UsbPrinterRecord record{};
            record.device = found;
            record.port = detail::port_path_of(device);
            out->push_back(record);
            return static_cast<int>(COM_SUCCESS);
        });
    libusb_exit(nullptr);
    return result;
}

int ComFactory::read_usb_printer(UsbPrinterRecord* record)
{
    if (libusb_init(nullptr) < 0)
        return COM_ERR_INIT_LIB;
    UsbDeviceRecord& wanted = record->device;
    wanted.info.manufacturer[0] = wanted.info.product[0] = wanted.info.serial[0] = '\0';
    record->open_error = LIBUSB_ERROR_NO_DEVICE;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);
    if (count < 0) {
        libusb_exit(nullptr);
        return COM_ERR_LIST_DEVICES;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = devices[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_bus_number(device) != wanted.bus_number ||
            libusb_get_device_address(device) != wanted.device_address ||
            libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.idVendor != wanted.info.vendor_id ||
            descriptor.idProduct != wanted.info.product_id)
            continue;
        libusb_device_handle* handle = nullptr;
        record->open_error = libusb_open(device, &handle);
        if (record->open_error == 0) {
            detail::read_strings(handle, descriptor, wanted.info);
            libusb_close(handle);
        }
        break;
    }
    libusb_free_device_list(devices, 1);
    libusb_exit(nullptr);
    return COM_SUCCESS;
}

Com* ComFactory::create_usb_at(std::uint8_t bus_number, std::uint8_t device_address, std::uint16_t vendor_id,
                               std::uint16_t product_id, std::string log_dir, bool log_enabled)
{
    return new ComUsb(vendor_id, product_id, bus_number, device_address, std::move(log_dir), log_enabled);
}

}  // namespace com

// Lists attached supported printers and creates links to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com.h"
#include "devices.h"

namespace com {

// One attached supported printer as list_usb_printers finds it.
struct UsbPrinterRecord {
    UsbDeviceRecord device;
    // Where it is plugged in; not known where libusb cannot tell.
    UsbPortPath port;
    // 0 when the device was opened and its strings read from it; otherwise
    // the libusb-1.0 error of opening it (LIBUSB_ERROR_ACCESS: no permission
    // on its device node), and its strings are empty.
    int open_error = 0;
};

class ComFactory {
public:
    // Fills `out` with one record per attached supported printer.  Returns
    // COM_SUCCESS, COM_ERR_INIT_LIB, COM_ERR_LIST_DEVICES, COM_ERR_CONNECT or
    // COM_ERR_ACCESS.  Prints the libusb version line to standard output.
    int list_usb_devices(std::vector<UsbDeviceRecord>* out);

    // A new USB link for this printer model; the caller owns it.  Throws what
    // the link's constructor throws.
    Com* create_usb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled);

    // Like list_usb_devices, but each printer's strings are read from that
    // very device (list_usb_devices reads those of the first device with the
    // same ids), and a printer that cannot be opened is listed with its
    // error instead of ending the listing.  Prints nothing.  Returns
    // COM_SUCCESS, COM_ERR_INIT_LIB, COM_ERR_LIST_DEVICES or COM_ERR_ACCESS.
    int list_usb_printers(std::vector<UsbPrinterRecord>* out);

    // Like list_usb_printers, but no printer is opened: the records carry the
    // bus, the address, the port path and the ids, and empty strings.  For a
    // look once a second, which must not disturb a printer in use.  Returns
    // COM_SUCCESS, COM_ERR_INIT_LIB, COM_ERR_LIST_DEVICES or COM_ERR_ACCESS.
    int scan_usb_printers(std::vector<UsbPrinterRecord>* out);

    // Reads the strings of the printer `record` names (its bus, address and
    // ids) from that printer: opens it, reads them and closes it.  A printer
    // that cannot be opened keeps empty strings and gets the libusb-1.0 error
    // in open_error (LIBUSB_ERROR_NO_DEVICE when it is no longer there).
    // Returns COM_SUCCESS, COM_ERR_INIT_LIB or COM_ERR_LIST_DEVICES.
    int read_usb_printer(UsbPrinterRecord* record);

    // A new USB link to the printer at this bus number and device address
    // only, for a caller that chose one among several; the caller owns it.
    Com* create_usb_at(std::uint8_t bus_number, std::uint8_t device_address, std::uint16_t vendor_id,
                       std::uint16_t product_id, std::string log_dir, bool log_enabled);
};

}  // namespace com

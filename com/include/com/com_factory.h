// Lists attached supported printers and creates links to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com.h"
#include "devices.h"

namespace com {

class ComFactory {
public:
    // Fills `out` with one record per attached supported printer.  Returns
    // COM_SUCCESS, COM_ERR_INIT_LIB, COM_ERR_LIST_DEVICES, COM_ERR_CONNECT or
    // COM_ERR_ACCESS.  Prints the libusb version line to standard output.
    int list_usb_devices(std::vector<UsbDeviceRecord>* out);

    // A new USB link for this printer model; the caller owns it.  Throws what
    // the link's constructor throws.
    Com* create_usb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled);
};

}  // namespace com

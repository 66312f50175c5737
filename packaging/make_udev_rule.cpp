// Writes the udev rule that gives users access to the supported printers,
// one line per row of the printer table, so that the ids are written once.
//
//   make_udev_rule OUTPUT.rules
//
// TAG+="uaccess" lets the user logged in at the seat open the printer;
// MODE and GROUP let the members of plugdev (headless machines, ssh users).
#include <cstdio>
#include <set>
#include <utility>

#include "com/devices.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.rules\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "# Zarvik Firmware Update Tool: access to the USB printers it supports, for the\n"
                      "# user at the seat (uaccess) and for the group plugdev.  Generated from the\n"
                      "# tool's printer table; install it in /etc/udev/rules.d or /usr/lib/udev/rules.d,\n"
                      "# then: udevadm control --reload && udevadm trigger --subsystem-match=usb\n");
    std::set<std::pair<unsigned, unsigned>> written;
    for (const com::DeviceInfo& row : com::supported_rows()) {
        if (!written.insert({row.vendor_id, row.product_id}).second)
            continue;
        std::fprintf(out,
                     "# %s\n"
                     "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%04x\", "
                     "ATTR{idProduct}==\"%04x\", TAG+=\"uaccess\", MODE=\"0660\", GROUP=\"plugdev\"\n",
                     row.product, row.vendor_id, row.product_id);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

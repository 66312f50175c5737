// zarvik-gadget-printer: the emulated printer as a USB device, on a Linux
// device controller through gadgetfs.  Runs inside a machine (usually a test
// guest) with dummy_hcd and gadgetfs loaded and gadgetfs mounted; the host
// side of the same machine then sees a printer on its USB bus.
//
//   zarvik-gadget-printer [--vid HEX] [--pid HEX] [--serial TEXT]
//                         [--manufacturer TEXT] [--product TEXT]
//                         [--gadgetfs DIR]
//
// Without ids it is row 10 of the printer table; without strings it takes
// those of the row with its ids; without a serial it makes one up for this
// run.  Control lines are read from standard input (see printer_service.h),
// answers and state lines go to standard output, diagnostics to standard
// error.  The end of standard input ends the gadget: the printer is unplugged.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

#include "com/devices.h"
#include "gadget/descriptors.h"
#include "gadget/gadgetfs_transport.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: zarvik-gadget-printer [--vid HEX] [--pid HEX] [--serial TEXT] [--manufacturer TEXT]\n"
                 "                             [--product TEXT] [--gadgetfs DIR]\n");
    return 2;
}

bool parse_id(const char* text, std::uint16_t& id)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (*text == '\0' || *end != '\0' || value == 0 || value > 0xFFFF)
        return false;
    id = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint16_t vid = com::ids::vendor_halvenn;
    std::uint16_t pid = com::ids::product_orbrey;
    std::string serial;
    const char* manufacturer = nullptr;
    const char* product = nullptr;
    std::string folder = "/dev/gadget";

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        if (option == "--vid") {
            if (!parse_id(value, vid))
                return usage();
        } else if (option == "--pid") {
            if (!parse_id(value, pid))
                return usage();
        } else if (option == "--serial") {
            serial = value;
        } else if (option == "--manufacturer") {
            manufacturer = value;
        } else if (option == "--product") {
            product = value;
        } else if (option == "--gadgetfs") {
            folder = value;
        } else {
            return usage();
        }
    }
    if (serial.empty()) {
        char made[32];
        std::snprintf(made, sizeof made, "ZG%08lX%04X", static_cast<unsigned long>(std::time(nullptr)),
                      static_cast<unsigned>(::getpid()) & 0xFFFF);
        serial = made;
    }

    emu::gadget::Identity identity = emu::gadget::identity_for(vid, pid, serial);
    if (manufacturer)
        identity.manufacturer = manufacturer;
    if (product)
        identity.product = product;

    try {
        emu::gadget::GadgetfsTransport transport(identity, folder, stdout);
        transport.bind();
        return transport.serve(STDIN_FILENO);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-gadget-printer: %s\n", e.what());
        return 1;
    }
}

// zarvik-gadget-printer: the emulated printer as a USB device, on a Linux
// device controller through gadgetfs.  Runs inside a machine (usually a test
// guest) with dummy_hcd and gadgetfs loaded and gadgetfs mounted; the host
// side of the same machine then sees a printer on its USB bus.
//
//   zarvik-gadget-printer [--printer VID:PID[,serial=S,manufacturer=M,product=P]]
//                         [--gadgetfs DIR]
//
// The printer is given as to zarvik-printer-emulator, but the host picks its
// bus and address.  Without --printer it is row 10 of the printer table;
// without a serial it makes one up for this run.  Requests of the control
// language (printer/control.h; printer 1) are read from standard input, their
// answers and the gadget's events ("bound", "connect", "configured",
// "disconnect", "vanished after N data bytes") go to standard output,
// diagnostics to standard error.  The end of standard input, or "unplug 1",
// ends the gadget: the printer is unplugged.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>

#include "gadget/gadgetfs_transport.h"
#include "printer/identity.h"

namespace {

int usage(const std::string& why)
{
    std::fprintf(stderr,
                 "zarvik-gadget-printer: %s\n"
                 "usage: zarvik-gadget-printer [--printer VID:PID[,serial=S,manufacturer=M,product=P]]\n"
                 "                             [--gadgetfs DIR]\n",
                 why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    emu::PrinterRequest request;
    request.vendor_id = com::ids::vendor_halvenn;
    request.product_id = com::ids::product_orbrey;
    std::string folder = "/dev/gadget";

    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage(option + " needs a value");
        std::string error;
        if (option == "--printer") {
            if (!emu::parse_printer_request(argv[i + 1], &request, &error))
                return usage(error);
            if (request.bus != 1 || request.address != 0)
                return usage("the host gives the bus and the address");
        } else if (option == "--gadgetfs") {
            folder = argv[i + 1];
        } else {
            return usage("unknown option " + option);
        }
    }
    if (!request.serial) {
        char made[32];
        std::snprintf(made, sizeof made, "ZG%08lX%04X", static_cast<unsigned long>(std::time(nullptr)),
                      static_cast<unsigned>(::getpid()) & 0xFFFF);
        request.serial = made;
    }

    try {
        emu::gadget::GadgetfsTransport transport(emu::printer_identity(request, 0), folder, stdout);
        transport.bind();
        return transport.serve(STDIN_FILENO);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-gadget-printer: %s\n", e.what());
        return 1;
    }
}

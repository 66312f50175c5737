// zarvik on the in-process emulated bus, for tests: the printers named in
// ZARVIK_EMULATED_PRINTERS ("BUS:ADDR,BUS:ADDR...", default one at 1:5) are
// attached before zarvik runs.
#include <cstdlib>
#include <sstream>
#include <string>

#include "libusb/usb_bus.h"
#include "update/target.h"
#include "zarvik.h"

int main(int argc, char** argv)
{
    const char* list = std::getenv("ZARVIK_EMULATED_PRINTERS");
    std::stringstream places(list && *list ? list : "1:5");
    std::string place;
    while (std::getline(places, place, ',')) {
        const std::size_t colon = place.find(':');
        if (colon == std::string::npos)
            continue;
        emu::UsbBus::instance().attach_printer(update::target_vendor_id, update::target_product_id,
                                               static_cast<std::uint8_t>(std::stoi(place.substr(0, colon))),
                                               static_cast<std::uint8_t>(std::stoi(place.substr(colon + 1))));
    }
    zarvik::Io io;
    io.program_dir = zarvik::program_dir();
    return zarvik::run(std::vector<std::string>(argv + 1, argv + argc), io);
}

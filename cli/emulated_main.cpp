// zarvik on the in-process emulated bus, for tests.  Environment, all optional:
//   ZARVIK_EMULATED_PRINTERS=BUS:ADDR,...  printers of the tool's model attached
//                                          before zarvik runs (default one at 1:5)
//   ZARVIK_EMULATED_SERVICE=NAME           (Windows) the service held while
//                                          printers are in use, as zarvik.exe
//                                          holds the printer maker's (default none)
//   ZARVIK_EMULATED_WIRE=full|high         each printer's bulk transfers take the
//                                          real time of a full-speed (12 Mbit/s) or a
//                                          high-speed (480 Mbit/s) link of its own
//   ZARVIK_EMU_STORE=DIR                   at exit, every printer's files go to DIR
//                                          as the printer emulator's --store writes
//                                          them (emu/printer/store.h; printers
//                                          numbered from 1 in the order above)
// It starts as zarvik does (console.h): arguments from the system's UTF-16
// command line, names handed whole to a console.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "libusb/usb_bus.h"
#include "printer/store.h"
#include "update/target.h"
#include "zarvik.h"

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::shared_ptr<emu::Printer>> printers;
    std::stringstream places(environment("ZARVIK_EMULATED_PRINTERS").empty() ? "1:5"
                                                                             : environment("ZARVIK_EMULATED_PRINTERS"));
    const std::string wire = environment("ZARVIK_EMULATED_WIRE");
    const emu::WireSpeed* speed = wire == "full" ? &emu::full_speed : wire == "high" ? &emu::high_speed : nullptr;
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.independent_devices = speed != nullptr;
    std::string place;
    while (std::getline(places, place, ',')) {
        const std::size_t colon = place.find(':');
        if (colon == std::string::npos)
            continue;
        printers.push_back(bus.attach_printer(update::target_vendor_id, update::target_product_id,
                                              static_cast<std::uint8_t>(std::stoi(place.substr(0, colon))),
                                              static_cast<std::uint8_t>(std::stoi(place.substr(colon + 1)))));
        if (speed) {
            printers.back()->set_max_packet(speed->packet_bytes);
            bus.find(printers.back().get())->wire = speed;
        }
    }

    const int status = zarvik::run_program(argc, argv, environment("ZARVIK_EMULATED_SERVICE"));

    const std::string store = environment("ZARVIK_EMU_STORE");
    std::string error;
    if (!store.empty() && !emu::write_store(store, printers, &error)) {
        std::fprintf(stderr, "zarvik-emulated: %s\n", error.c_str());
        return 3;
    }
    return status;
}

// The printer on a USB device controller, through gadgetfs.
//
// Binds the gadget by writing its descriptors to the controller file in the
// mounted gadgetfs folder, answers the control requests the kernel leaves to
// user space (string descriptors, SET_CONFIGURATION, SET_INTERFACE), and on
// SET_CONFIGURATION enables the four bulk endpoints and starts one thread for
// each endpoint that carries data:
//   command OUT, file data OUT   read() what the host sends, hand it to the model
//   command IN                   write() each reply transfer the model queues;
//                                the write completes when the host has read it
// The file-data IN endpoint is enabled but never written: a host reading it
// runs into its own time-out, as on the printer.
//
// The gadget goes away by ending its process: closing the controller file
// unbinds the gadget, and the host sees the device disconnect.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gadget/printer_service.h"
#include "printer/identity.h"

namespace emu {
namespace gadget {

class GadgetfsTransport {
public:
    // `folder`: where gadgetfs is mounted.  `answers`: where the control
    // language's answers and the gadget's events go (standard output).
    GadgetfsTransport(Identity identity, std::string folder, std::FILE* answers);

    // Binds the gadget.  Throws std::runtime_error when gadgetfs refuses.
    void bind();

    // Serves USB control requests, and the control language's requests read
    // from `control_fd`, until "unplug 1" or the end of the control input.
    // Returns the exit status for the process.
    int serve(int control_fd);

private:
    struct Endpoint {
        std::uint8_t address = 0;
        std::string file;
        int fd = -1;
    };

    void handle_events();
    void handle_setup(const void* setup);
    void configure();
    bool handle_control_input(int control_fd);
    void out_loop(const Endpoint* endpoint);
    void in_loop(const Endpoint* endpoint);
    // Ends the process at once: the printer is gone from the bus.
    [[noreturn]] void vanish();
    void say(const std::string& line);

    Identity identity_;
    std::string folder_;
    std::FILE* answers_;
    PrinterService service_;
    int ep0_ = -1;
    std::size_t packet_ = 512;
    bool configured_ = false;
    std::vector<Endpoint> endpoints_;  // cmd_in, cmd_out, data_in, data_out
    std::vector<std::thread> threads_;
    std::string control_pending_;
};

}  // namespace gadget
}  // namespace emu

// The gadget printer as a child process of the test program, in the guest.
//
// Starting one plugs a printer into the guest's USB bus (dummy_hcd); ending
// it unplugs the printer.  The test talks to it over its standard input and
// output: requests of the control language go in, their answers and the
// gadget's events come back.  Its printer is number 1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "printer/control_client.h"

namespace kerneltest {

// Where the printer sits on the host side, from sysfs.
struct HostView {
    std::string sysfs_name;  // "1-1"
    int bus = 0;
    int address = 0;
    std::vector<std::uint8_t> endpoints;  // of interface 0, as the host enumerated them
};

class GadgetProcess : public emu::ControlClient {
public:
    // Starts `program` with the printer "VID:PID[,key=value...]" and this
    // serial, on the gadgetfs mounted at `gadgetfs` ("": the program's
    // default, /dev/gadget), and waits until the host has configured it.
    // Throws std::runtime_error when it does not come up.
    GadgetProcess(const std::string& program, const std::string& printer, const std::string& serial,
                  const std::string& gadgetfs = std::string());
    ~GadgetProcess() override;

    GadgetProcess(const GadgetProcess&) = delete;
    GadgetProcess& operator=(const GadgetProcess&) = delete;

    // The next event the gadget prints ("vanished after N data bytes", ...),
    // or "" after `limit`.
    std::string next_event(std::chrono::milliseconds limit);
    // Waits for the process to end by itself; true when it did within `limit`.
    bool wait_exit(std::chrono::milliseconds limit);
    // Unplugs the printer (ends the gadget) and waits until the host has
    // noticed.
    void unplug();

    const HostView& host() const { return host_; }

private:
    std::string exchange(const std::string& line) override;
    std::string next_line(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string pending_;
    std::size_t searched_ = 0;  // bytes of pending_ known to hold no line end
    std::vector<std::string> events_;
    std::string serial_;
    HostView host_;
};

// The sysfs view of the device with this serial, if the host has it configured.
bool find_on_host(const std::string& serial, HostView& view);

// The gadget program, as the guest's test program is given it (--gadget PATH).
extern std::string gadget_program;
// The main function of a guest's test program: takes --gadget PATH besides
// GoogleTest's options and runs every test.
int run_guest_tests(int argc, char** argv);

}  // namespace kerneltest

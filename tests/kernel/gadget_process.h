// The gadget printer as a child process of the test program, in the guest.
//
// Starting one plugs a printer into the guest's USB bus (dummy_hcd); ending
// it unplugs the printer.  The test talks to it over its standard input and
// output: control lines go in, answers and state lines come back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kerneltest {

// What the gadget's model holds, from a "report" line block.
struct PrinterState {
    struct File {
        std::string path;
        bool complete = false;
        std::uint64_t announced = 0;
        std::string bytes;
    };
    struct Install {
        std::string path;
        bool complete = false;
    };
    bool under_control = false;
    std::vector<std::string> commands;
    std::vector<File> files;
    std::vector<Install> installs;
    std::vector<std::string> violations;

    const File* file(const std::string& path) const;
};

// Where the printer sits on the host side, from sysfs.
struct HostView {
    std::string sysfs_name;  // "1-1"
    int bus = 0;
    int address = 0;
    std::vector<std::uint8_t> endpoints;  // of interface 0, as the host enumerated them
};

class GadgetProcess {
public:
    // Starts `program` with `arguments` and waits until the host has
    // configured the printer.  Throws std::runtime_error when it does not come up.
    GadgetProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& serial);
    ~GadgetProcess();

    GadgetProcess(const GadgetProcess&) = delete;
    GadgetProcess& operator=(const GadgetProcess&) = delete;

    // Sends one control line and returns the gadget's answer line.
    std::string control(const std::string& line);
    // The model's state; stored files are read back from `scratch_dir`.
    PrinterState report(const std::string& scratch_dir);
    // The next line the gadget prints, or "" after `limit`.
    std::string next_line(std::chrono::milliseconds limit);
    // Waits for the process to end by itself; true when it did within `limit`.
    bool wait_exit(std::chrono::milliseconds limit);
    // Unplugs the printer (ends the gadget) and waits until the host has
    // noticed.
    void unplug();

    const HostView& host() const { return host_; }

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string pending_;
    std::string serial_;
    HostView host_;
};

// The sysfs view of the device with this serial, if the host has it configured.
bool find_on_host(const std::string& serial, HostView& view);

}  // namespace kerneltest

// Emulated printers on a umockdev testbed, served to a program that runs on
// the real libusb-1.0.
//
// Each printer appears in the testbed's sysfs as a USB device under the root
// hub of its bus (sysfs_records.h), with a usbfs device node (usbfs_node.h)
// whose bulk endpoints an emu::Printer model serves.  The emulator is the bus
// of the control language (printer/control.h): it plugs printers in and out
// and carries out the requests on their models.
//
// An appearance that has left the bus (unplugged, or vanished by a fault)
// stays for the clients that still have its device node open, which get
// ENODEV; once none has, and a second has passed, it is let go with its
// socket and FIFO, so that an emulator that plugs printers in all day keeps a
// bounded set of descriptors.
//
// Thread use: ioctls arrive on umockdev's worker thread, control requests and
// plugging on the thread that runs the GLib main loop; one mutex guards the
// models and the nodes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "printer/control.h"
#include "printer/identity.h"
#include "printer/printer.h"
#include "usbfs_node.h"

namespace emu {

class PrinterEmulator : public control::Bus {
public:
    explicit PrinterEmulator(UMockdevTestbed* testbed, bool verbose = false);
    ~PrinterEmulator() override;
    PrinterEmulator(const PrinterEmulator&) = delete;
    PrinterEmulator& operator=(const PrinterEmulator&) = delete;

    // One control request, one answer line (without its line end).
    std::string handle_request(const std::string& line) { return control::answer(*this, line); }

    // Writes every printer's stored files and "summary.txt" into `dir` (store.h).
    bool write_store(const std::string& dir, std::string* error);

    // control::Bus
    std::vector<Entry> printers() override;
    bool with_printer(int id, const std::function<bool(Printer&)>& act) override;
    std::string plug_new(const PrinterRequest& request, int* id) override;
    std::string plug_back(int id, std::uint8_t address) override;
    std::string unplug(int id) override;

private:
    struct Device {
        int id = 0;
        PrinterRequest request;
        Identity identity;  // at the address and the ports of its last appearance
        std::shared_ptr<Printer> printer;
        UsbfsNode* node = nullptr;  // null while unplugged
    };

    // A hub that a printer was plugged in behind; it stays on the bus.
    struct Hub {
        std::uint8_t bus = 0;
        std::vector<std::uint8_t> ports;
        std::uint8_t address = 0;
    };

    // --- main thread, mutex not held ---
    bool plug(Device& device, std::uint8_t address, std::string* error);
    // The root hub and the hubs on the way to `identity`'s port.
    void add_hubs(const Identity& identity);
    void remove_from_sysfs(const std::string& syspath);
    void remove_from_sysfs(UsbfsNode* node);  // if it is still listed
    void remove_vanished();
    // Lets go of the appearances that have left the bus and are no longer
    // used; true while some are still to go.
    bool retire();

    // --- mutex held ---
    std::uint8_t next_address(std::uint8_t bus);
    // Why `d` cannot be plugged in at its ports now, or "".
    std::string port_refusal(const Device& d) const;
    Device* find(int id);
    void vanished(UsbfsNode& node);

    UMockdevTestbed* testbed_;
    bool verbose_;
    std::string root_;
    std::uint64_t start_ms_;  // the traffic is stamped from here
    std::mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;   // only ever added: pointers stay valid
    std::vector<std::unique_ptr<UsbfsNode>> nodes_;  // every appearance still served
    std::map<UsbfsNode*, std::string> in_sysfs_;     // node -> its syspath, while listed (main thread)
    std::vector<UsbfsNode*> vanished_;               // gone by a fault, still to be taken out of sysfs
    std::map<std::uint8_t, std::uint8_t> last_address_;
    std::vector<std::uint8_t> root_hubs_;
    std::vector<Hub> hubs_;

    // Appearances off the bus, to be let go (main thread).
    struct Leaving {
        UsbfsNode* node;
        std::uint64_t since_ms;
        bool detached;
    };
    std::vector<Leaving> leaving_;
    unsigned retire_source_ = 0;  // the GLib timeout that calls retire(), while there is one
};

}  // namespace emu

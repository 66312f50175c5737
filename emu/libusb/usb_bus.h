// The emulated USB bus behind the in-process libusb-1.0 stand-in.
//
// Test executables link emulated_libusb.cpp instead of the real libusb-1.0:
// the link library's calls land here, on a set of attached devices that a
// test plugs in, unplugs and makes fail.  A device that is a printer serves
// its bulk endpoints from a Printer model.  Time-outs cost no real time: a
// transfer that would wait moves the virtual clock on by its time-out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "printer/identity.h"
#include "printer/printer.h"

namespace emu {

// What a device says it is: ids, bus and address, and strings 1 to 3 (index
// 0 for an empty one); the endpoints matter only to a printer's model.
using DeviceSpec = Identity;

struct EmulatedDevice {
    DeviceSpec spec;
    std::shared_ptr<Printer> printer;  // null for a device that is not a printer

    // Failures of the device's side of enumeration and opening.
    bool fail_descriptor = false;      // libusb_get_device_descriptor fails
    int open_errno = 0;                // non-zero: opening fails with this errno
    bool no_driver = false;            // opening fails as on Windows without a usable driver bound
                                       // (LIBUSB_ERROR_NOT_SUPPORTED)
    bool fail_strings = false;         // string descriptor reads fail
    bool fail_claim = false;           // interface 0 is busy
    bool kernel_driver_bound = false;  // a kernel driver holds interface 0 unless auto-detach is on

    // Virtual time a successful transfer on an endpoint takes (the link's speed).
    std::map<std::uint8_t, unsigned> transfer_ms;

    bool attached = true;
    int opens = 0;              // successful opens so far
    int claimed_by_others = 0;  // handles holding interface 0 (at most one)
};

// Counters of the stand-in's library-level calls, for checking pairing.
struct LibraryCounters {
    int inits = 0;
    int exits = 0;
    int default_context_refs = 0;  // inits minus exits that matched one
    int unmatched_exits = 0;
    int live_device_lists = 0;
    int live_handles = 0;
    int claimed_interfaces = 0;
    int auto_detach_before_claim = 0;  // claims made with auto-detach already on
};

class UsbBus {
public:
    static UsbBus& instance();
    // Every libusb call of the stand-in and every change of the bus holds it,
    // so that several threads (one link each) can use the bus at once.  A
    // printer's command hook runs with it held.
    static std::recursive_mutex& mutex();

    // Unplugs everything and forgets failures and counters.
    void reset();

    // Plugs a device in; with `printer` it serves that model.
    std::shared_ptr<EmulatedDevice> attach(const DeviceSpec& spec, std::shared_ptr<Printer> printer = nullptr);
    // Plugs in a printer of the given ids with the strings of its table row and
    // the endpoints its product id uses; returns its model.
    std::shared_ptr<Printer> attach_printer(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus = 1,
                                            std::uint8_t address = 5);
    void detach(const std::shared_ptr<EmulatedDevice>& device);
    void detach_all();
    std::vector<std::shared_ptr<EmulatedDevice>> devices() const;
    std::shared_ptr<EmulatedDevice> find(const Printer* printer) const;

    // Library-level failures.
    bool fail_init = false;
    bool fail_device_list = false;
    int version_major = 1, version_minor = 0, version_micro = 26, version_nano = 11724;

    LibraryCounters counters;
    // Calls a careful caller never makes (a transfer on a closed handle, an exit without init, ...).
    std::vector<std::string> misuse;

private:
    UsbBus() = default;
    std::vector<std::shared_ptr<EmulatedDevice>> devices_;
};

}  // namespace emu

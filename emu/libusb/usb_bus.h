// The emulated USB bus behind the in-process libusb-1.0 stand-in.
//
// Test executables link emulated_libusb.cpp instead of the real libusb-1.0:
// the link library's calls land here, on a set of attached devices that a
// test plugs in, unplugs and makes fail.  A device that is a printer serves
// its bulk endpoints from a Printer model.  Time-outs cost no real time: a
// transfer that would wait moves the virtual clock on by its time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "printer/identity.h"
#include "printer/printer.h"

struct libusb_context;

namespace emu {

struct EmulatedDevice;

// A device that arrived or left, for a context's hotplug callbacks.
struct HotplugEvent {
    std::shared_ptr<EmulatedDevice> device;
    bool arrived = false;
};

// What a device says it is: ids, bus and address, and strings 1 to 3 (index
// 0 for an empty one); the endpoints matter only to a printer's model.
using DeviceSpec = Identity;

// The bulk speed of a real USB link, for a device whose transfers take real
// time: a transfer of n packets takes n / packets_per_ms, and never less
// than one (micro)frame.
struct WireSpeed {
    unsigned packet_bytes;  // the bulk endpoints' packet size
    double packets_per_ms;  // bulk packets the link moves in a millisecond at most
    double frame_ms;        // the shortest transfer: one frame, or one microframe

    // Real time of a transfer of `bytes` (a zero-length one included), in microseconds.
    double transfer_us(std::size_t bytes) const;
};
// 12 Mbit/s: at most 19 packets of 64 bytes in a 1 ms frame (1.2 MB/s).
constexpr WireSpeed full_speed{64, 19, 1.0};
// 480 Mbit/s: at most 13 packets of 512 bytes in a 125 us microframe (53 MB/s).
constexpr WireSpeed high_speed{512, 104, 0.125};

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
    // Real time each successful bulk transfer takes, when set: the calling
    // thread waits for it, as on a real link (benchmarks, never tests).
    const WireSpeed* wire = nullptr;

    bool attached = true;
    int opens = 0;              // successful opens so far
    int claimed_by_others = 0;  // handles holding interface 0 (at most one)

    // With UsbBus::independent_devices, held by each bulk transfer on this
    // device in place of the bus's lock; the time its link is busy until.
    std::mutex own_mutex;
    std::chrono::steady_clock::time_point wire_free{};
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
    int live_contexts = 0;             // contexts of their own, made and not yet ended
    int hotplug_callbacks = 0;         // registered and not yet deregistered
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

    // Plugs a device in; with `printer` it serves that model.  A spec without
    // ports gets the root hub's port after the last one handed out on its bus.
    // Contexts with hotplug callbacks hear of it, and of every detach.
    std::shared_ptr<EmulatedDevice> attach(const DeviceSpec& spec, std::shared_ptr<Printer> printer = nullptr);
    // Plugs in a printer of the given ids with the strings of its table row and
    // the endpoints its product id uses; returns its model.
    std::shared_ptr<Printer> attach_printer(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus = 1,
                                            std::uint8_t address = 5);
    void detach(const std::shared_ptr<EmulatedDevice>& device);
    void detach_all();
    std::vector<std::shared_ptr<EmulatedDevice>> devices() const;
    std::shared_ptr<EmulatedDevice> find(const Printer* printer) const;

    // When set, a bulk transfer holds its own device's lock instead of the
    // bus's, so that the printers of several threads never wait for each
    // other, as on a real bus.  A printer's command hook then runs without
    // the bus's lock, and devices must not be unplugged or changed while
    // transfers run: for benchmarks, never tests.
    bool independent_devices = false;
    // Whether the library offers hotplug events (libusb_has_capability), as
    // libusb-1.0 does on Linux; without them a caller must look for itself.
    bool hotplug = true;

    // Library-level failures.
    bool fail_init = false;
    bool fail_device_list = false;
    int version_major = 1, version_minor = 0, version_micro = 26, version_nano = 11724;

    LibraryCounters counters;
    // Calls a careful caller never makes (a transfer on a closed handle, an exit without init, ...).
    std::vector<std::string> misuse;

    // --- for the stand-in's own functions ---
    // A device left the bus without a detach (its printer vanished during a
    // transfer): the contexts hear of it once.  With mutex() held.
    void gone(const std::shared_ptr<EmulatedDevice>& device);
    // Contexts of their own and their hotplug events, behind a lock of their
    // own so that interrupting a context waits for no transfer.
    void add_context(libusb_context* context);
    void remove_context(libusb_context* context);
    bool has_context(const libusb_context* context) const;
    // Ends the context's wait for events; false for no such context.
    bool interrupt_context(libusb_context* context);
    // Waits at most `real_ms` of real time for the context's events or an
    // interrupt; takes the events that are there.  False when nothing came.
    bool wait_for_events(libusb_context* context, unsigned real_ms, std::deque<HotplugEvent>* taken,
                         const int* completed);

private:
    UsbBus() = default;
    void tell_contexts(const std::shared_ptr<EmulatedDevice>& device, bool arrived);

    std::vector<std::shared_ptr<EmulatedDevice>> devices_;
    std::map<std::uint8_t, std::uint8_t> last_root_port_;
    mutable std::mutex events_mutex_;
    std::condition_variable events_changed_;
    std::vector<libusb_context*> contexts_;  // behind events_mutex_
};

}  // namespace emu

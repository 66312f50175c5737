// One appearance of an emulated printer on the bus, from plug to unplug: its
// usbfs device node, whose ioctls (URB submission, reaping, discarding,
// claims, clear-halt) umockdev hands here from the program under test.
//
// Bulk URBs are served by the printer model, control URBs (GET_DESCRIPTOR,
// GET_STATUS) from the printer's descriptors.  The device node is a FIFO that
// is kept full while nothing can be reaped, so that a waiting libusb sleeps in
// poll() instead of spinning on REAPURBNDELAY.  Clients that opened the node
// keep talking to it after an unplug and get ENODEV; once none is left, the
// emulator lets the appearance go (printer_emulator.h).
//
// Thread use: ioctls arrive on umockdev's worker thread and take the mutex
// shared with the emulator; the functions marked "mutex held" are called with
// it from the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include "printer/identity.h"
#include "printer/printer.h"

namespace emu {

class UsbfsNode {
public:
    // `on_vanish` is called (worker thread, mutex held) when the printer
    // leaves the bus in the middle of a transfer.
    UsbfsNode(std::mutex& mutex, std::shared_ptr<Printer> printer, const Identity& identity, bool verbose,
              std::function<void(UsbfsNode&)> on_vanish);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    // /dev/bus/usb/BBB/DDD
    const std::string& devnode() const { return devnode_; }

    // --- main thread, mutex not held ---
    // Makes the device node under the testbed's `root` the FIFO gate and
    // takes over its ioctls.
    bool attach(UMockdevTestbed* testbed, const std::string& root, std::string* error);
    // Takes no more clients and gives up the FIFO gate: the appearance has
    // left the bus and nobody uses it, or a later one at the same address
    // takes the device node over.
    void detach(UMockdevTestbed* testbed);

    // --- mutex held ---
    // The printer is gone: every transfer in flight ends with -ESHUTDOWN.
    void unplug();
    // IN transfers that wait for a reply take it if the model has one now.
    void wake_waiting();
    // No program has the device node open.
    bool unused() const { return clients_.empty(); }

private:
    struct Urb {
        enum class State {
            waiting,  // an IN transfer with nothing to take yet; the model has not seen it
            held,     // the model let it run into its time-out; only a discard ends it
            done,     // completed, waiting to be reaped
        };

        UMockdevIoctlClient* client = nullptr;
        UMockdevIoctlData* urb = nullptr;     // our copy of the client's struct usbdevfs_urb
        UMockdevIoctlData* buffer = nullptr;  // our copy of its buffer (null when empty)
        unsigned long address = 0;            // the URB's address in the client
        State state = State::waiting;
        std::size_t moved = 0;  // a held OUT transfer: bytes the printer took before it went silent
        std::uint64_t done_order = 0;

        usbdevfs_urb* fields() { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
        std::uint8_t* data()
        {
            static std::uint8_t none = 0;
            return buffer ? buffer->data : &none;
        }
        std::size_t length() { return buffer ? static_cast<std::size_t>(buffer->data_len) : 0; }
        ~Urb()
        {
            if (buffer)
                g_object_unref(buffer);
            if (urb)
                g_object_unref(urb);
        }
    };

    static int on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* node);
    static void on_client_connected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* node);
    static void on_client_released(void* node, GObject* client);
    void handle_ioctl(UMockdevIoctlClient* client);
    void client_gone(UMockdevIoctlClient* client);

    // One request each; each completes the ioctl.
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void capabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void release(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void driver_request(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void clear_halt(UMockdevIoctlClient* client, UMockdevIoctlData* arg);

    void serve_bulk(Urb& urb);
    void serve_control(Urb& urb);
    void finish(Urb& urb, int status, std::size_t actual);
    void cut_off(int status);
    void update_gate();

    std::mutex& mutex_;
    std::shared_ptr<Printer> printer_;
    Identity identity_;
    bool verbose_;
    std::function<void(UsbfsNode&)> on_vanish_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;
    bool attached_ = false;
    int fifo_fd_ = -1;
    bool fifo_full_ = false;
    bool gone_ = false;
    UMockdevIoctlClient* claimer_ = nullptr;
    std::set<UMockdevIoctlClient*> clients_;  // connected to the device node's socket, not yet closed
    std::vector<std::unique_ptr<Urb>> urbs_;
    std::uint64_t completions_ = 0;
};

}  // namespace emu

// Emulated printers on a umockdev testbed, served to a program that runs on
// the real libusb-1.0.
//
// Each printer appears in the testbed's sysfs as a USB device under the root
// hub of its bus, with a usbfs device node whose ioctls (URB submission,
// reaping, discarding, claims, clear-halt) land here.  Its bulk endpoints are
// served by an emu::Printer model; its string descriptors come from the
// printer's strings.  The node is a FIFO that is kept full while nothing can
// be reaped, so a waiting libusb sleeps in poll() instead of spinning.
//
// Thread use: ioctls arrive on umockdev's worker thread, control requests and
// plugging on the thread that runs the GLib main loop; one mutex guards all
// state.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "printer/printer.h"
#include "usb_descriptors.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace emu {

// What "--printer VID:PID[,bus=B,addr=A,serial=S,manufacturer=M,product=P]" asks for.
struct PrinterOptions {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t bus = 1;
    std::uint8_t address = 0;  // 0: the bus picks the next free one (5 and up)
    // Unset: the strings of the printer's table row, and "SN<bus>-<address>".
    std::optional<std::string> manufacturer, product, serial;
};

// Parses the text after "--printer"; values may use the control escapes.
bool parse_printer_options(const std::string& text, PrinterOptions* options, std::string* error);

class PrinterEmulator {
public:
    explicit PrinterEmulator(UMockdevTestbed* testbed, bool verbose = false);
    ~PrinterEmulator();
    PrinterEmulator(const PrinterEmulator&) = delete;
    PrinterEmulator& operator=(const PrinterEmulator&) = delete;

    // Plugs a new printer in; its number (1, 2, ...) or 0 with `error` set.
    int add_printer(const PrinterOptions& options, std::string* error);

    // One control request, one answer line (without its line end).
    std::string handle_request(const std::string& line);

    // Writes every printer's stored files and "summary.txt" into `dir`.
    bool write_store(const std::string& dir, std::string* error);

    // Called on the main thread for devices whose printer vanished during a
    // transfer: removes them from sysfs.
    void remove_vanished();

private:
    struct Urb;
    struct Node;
    struct Device;

    // --- main thread, mutex not held ---
    bool plug(Device& device, std::uint8_t address, std::string* error);
    bool unplug(Device& device);
    void remove_from_sysfs(Node& node);
    void ensure_root_hub(std::uint8_t bus);

    // --- mutex held ---
    std::uint8_t next_address(std::uint8_t bus);
    std::string handle_locked(const std::vector<std::string>& words, bool* changed);
    Device* find(const std::string& id_text, std::string* error);
    void cut_off(Node& node, int status);
    void wake_waiting(Node& node);
    void finish(Node& node, Urb& urb, int status, std::size_t actual);
    void update_gate(Node& node);

    // --- umockdev's worker thread ---
    static int on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* node);
    static void on_client_vanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* node);
    void handle_ioctl(Node& node, UMockdevIoctlClient* client);
    void submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void serve_control(Node& node, Urb& urb);
    void serve_bulk(Node& node, Urb& urb);
    void client_gone(Node& node, UMockdevIoctlClient* client);

    std::uint64_t now_ms() const;

    UMockdevTestbed* testbed_;
    bool verbose_;
    std::string root_;
    std::uint64_t start_ms_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Node>> nodes_;  // every attachment ever made, kept for late clients
    std::map<std::uint8_t, std::uint8_t> last_address_;
    std::vector<std::uint8_t> root_hubs_;
};

}  // namespace emu

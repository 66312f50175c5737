#include "printer_emulator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <umockdev.h>

#include "com/devices.h"
#include "control_protocol.h"

namespace emu {

namespace {

constexpr std::uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr std::uint8_t first_auto_address = 5;

std::uint64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// Binary values in a device record: upper-case hexadecimal, the only case
// umockdev's parser takes.
std::string hex_of(const Bytes& bytes)
{
    std::string hex = control::to_hex(std::string(bytes.begin(), bytes.end()));
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

std::string three_digits(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03u", value);
    return text;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string plain_hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// A sysfs attribute value: escaped as the record format wants, ending in a
// line feed as the kernel's attributes do.
std::string attribute(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\\n";
}

const char* status_token(Status status)
{
    switch (status) {
    case Status::ok: return "ok";
    case Status::timeout: return "timeout";
    case Status::stall: return "stall";
    case Status::no_device: return "no_device";
    case Status::overflow: return "overflow";
    case Status::io_error: return "io_error";
    }
    return "?";
}

bool fault_from_token(const std::string& token, FaultKind* kind)
{
    static const std::pair<const char*, FaultKind> kinds[] = {
        {"silence", FaultKind::silence},         {"stall", FaultKind::stall},
        {"vanish", FaultKind::vanish},           {"overflow", FaultKind::overflow},
        {"short_transfer", FaultKind::short_transfer}, {"io_error", FaultKind::io_error},
        {"zero_length", FaultKind::zero_length},
    };
    for (const auto& k : kinds) {
        if (token == k.first) {
            *kind = k.second;
            return true;
        }
    }
    return false;
}

// A stored path as a file name: letters, digits and ". _ -" stay, the rest is %XX.
std::string file_name_for(const std::string& path)
{
    std::string out;
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-') {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            out += hex;
        }
    }
    if (out.empty() || out == "." || out == "..")
        out = "%" + out;
    return out;
}

bool parse_u8(const std::string& text, std::uint8_t* value, unsigned long long low, unsigned long long high)
{
    unsigned long long v = 0;
    if (!control::parse_number(text, &v) || v < low || v > high)
        return false;
    *value = static_cast<std::uint8_t>(v);
    return true;
}

bool parse_id(const std::string& text, std::uint16_t* value)
{
    unsigned long long v = 0;
    if (text.empty() || text.size() > 4)
        return false;
    if (!control::parse_number("0x" + text, &v) || v == 0)
        return false;
    *value = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace

bool parse_printer_options(const std::string& text, PrinterOptions* options, std::string* error)
{
    PrinterOptions o;
    const std::vector<std::string> parts = control::split(text, ',');
    const std::vector<std::string> ids = control::split(parts[0], ':');
    if (ids.size() != 2 || !parse_id(ids[0], &o.vendor_id) || !parse_id(ids[1], &o.product_id)) {
        *error = "expected VID:PID in hexadecimal, got '" + parts[0] + "'";
        return false;
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        std::string value;
        if (eq == std::string::npos || !control::unescape(parts[i].substr(eq + 1), &value)) {
            *error = "expected KEY=VALUE, got '" + parts[i] + "'";
            return false;
        }
        if (key == "bus") {
            if (!parse_u8(value, &o.bus, 1, 127)) {
                *error = "bus must be 1 to 127";
                return false;
            }
        } else if (key == "addr") {
            if (!parse_u8(value, &o.address, 2, 127)) {
                *error = "addr must be 2 to 127";
                return false;
            }
        } else if (key == "serial") {
            o.serial = value;
        } else if (key == "manufacturer") {
            o.manufacturer = value;
        } else if (key == "product") {
            o.product = value;
        } else {
            *error = "unknown key '" + key + "'";
            return false;
        }
    }
    *options = o;
    return true;
}

struct PrinterEmulator::Urb {
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
    std::uint64_t done_order = 0;

    usbdevfs_urb* fields() { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    std::uint8_t* data() { return buffer ? buffer->data : nullptr; }
    std::size_t length() { return buffer ? static_cast<std::size_t>(buffer->data_len) : 0; }

    ~Urb()
    {
        if (buffer)
            g_object_unref(buffer);
        if (urb)
            g_object_unref(urb);
    }
};

// One appearance of a device on the bus, from plug to unplug.  Clients that
// opened it keep talking to it after the unplug and get ENODEV.
struct PrinterEmulator::Node {
    PrinterEmulator* owner = nullptr;
    Device* device = nullptr;
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    std::string syspath;  // /sys/devices/...
    Bytes descriptors;
    UMockdevIoctlBase* handler = nullptr;
    bool attached = false;
    int fifo_fd = -1;
    bool fifo_full = false;
    bool gone = false;
    bool in_sysfs = false;  // main thread only
    bool vanished = false;  // gone by a fault: the main thread still has to take it out of sysfs
    UMockdevIoctlClient* claimer = nullptr;
    std::vector<std::unique_ptr<Urb>> urbs;
    std::uint64_t completions = 0;
};

struct PrinterEmulator::Device {
    int id = 0;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t bus = 1;
    std::uint8_t address = 0;
    unsigned port = 0;
    DeviceStrings strings;
    std::shared_ptr<Printer> printer;
    Node* node = nullptr;  // null while unplugged
};

PrinterEmulator::PrinterEmulator(UMockdevTestbed* testbed, bool verbose)
    : testbed_(testbed), verbose_(verbose), start_ms_(monotonic_ms())
{
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

PrinterEmulator::~PrinterEmulator()
{
    for (const auto& node : nodes_) {
        if (node->attached)
            umockdev_testbed_detach_ioctl(testbed_, node->devnode.c_str(), nullptr);
        if (node->handler) {
            g_signal_handlers_disconnect_by_data(node->handler, node.get());
            g_object_unref(node->handler);
        }
        node->urbs.clear();
        if (node->fifo_fd >= 0)
            ::close(node->fifo_fd);
    }
}

std::uint64_t PrinterEmulator::now_ms() const
{
    return monotonic_ms() - start_ms_;
}

// ---------------------------------------------------------------- plugging

void PrinterEmulator::ensure_root_hub(std::uint8_t bus)
{
    if (std::find(root_hubs_.begin(), root_hubs_.end(), bus) != root_hubs_.end())
        return;
    const std::string b = std::to_string(bus);
    const std::string node = "bus/usb/" + three_digits(bus) + "/001";
    const std::string record = "P: /devices/pci0000:00/0000:00:14.0/usb" + b + "\n" +
                               "N: " + node + "=" + hex_of(root_hub_descriptors()) + "\n" +
                               "E: SUBSYSTEM=usb\n"
                               "E: DEVTYPE=usb_device\n"
                               "E: DEVNAME=/dev/" + node + "\n" +
                               "E: BUSNUM=" + three_digits(bus) + "\n" +
                               "E: DEVNUM=001\n"
                               "A: busnum=" + b + "\\n\n" +
                               "A: devnum=1\\n\n"
                               "A: speed=480\\n\n"
                               "A: bConfigurationValue=1\\n\n"
                               "A: idVendor=1d6b\\n\n"
                               "A: idProduct=0002\\n\n"
                               "H: descriptors=" + hex_of(root_hub_descriptors()) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::fprintf(stderr, "zarvik-printer-emulator: root hub of bus %u: %s\n", bus, error->message);
        g_error_free(error);
    }
    root_hubs_.push_back(bus);
}

// Mutex held.
std::uint8_t PrinterEmulator::next_address(std::uint8_t bus)
{
    std::set<unsigned> used{1};
    for (const auto& d : devices_)
        if (d->node && d->bus == bus)
            used.insert(d->address);
    unsigned candidate = std::max<unsigned>(first_auto_address - 1, last_address_[bus]);
    for (int tries = 0; tries < 127; ++tries) {
        candidate = candidate >= 127 ? 2 : candidate + 1;
        if (!used.count(candidate))
            return static_cast<std::uint8_t>(candidate);
    }
    return 0;
}

int PrinterEmulator::add_printer(const PrinterOptions& options, std::string* error)
{
    auto device = std::make_unique<Device>();
    device->id = static_cast<int>(devices_.size()) + 1;
    device->vendor_id = options.vendor_id;
    device->product_id = options.product_id;
    device->bus = options.bus;
    unsigned port = 1;
    for (const auto& d : devices_)
        if (d->bus == options.bus)
            port = std::max(port, d->port + 1);
    device->port = port;

    if (const com::DeviceInfo* row = com::find_supported_device(options.vendor_id, options.product_id)) {
        device->strings.manufacturer = row->manufacturer;
        device->strings.product = row->product;
    }
    if (options.manufacturer)
        device->strings.manufacturer = *options.manufacturer;
    if (options.product)
        device->strings.product = *options.product;

    const com::EndpointSet set = com::endpoints_for_product(options.product_id);
    Printer::Endpoints endpoints;
    endpoints.cmd_in = set.cmd_in;
    endpoints.cmd_out = set.cmd_out;
    endpoints.data_in = set.data_in;
    endpoints.data_out = set.data_out;
    device->printer = std::make_shared<Printer>(endpoints);
    device->printer->set_clock([this] { return now_ms(); });

    std::uint8_t address = options.address;
    if (address == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        address = next_address(options.bus);
    }
    // The serial follows the address the printer first appears at, as the
    // in-process bus names it.
    device->strings.serial = options.serial ? *options.serial
                                            : "SN" + std::to_string(options.bus) + "-" + std::to_string(address);

    Device& d = *device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(std::move(device));
    }
    if (!plug(d, address, error))
        return 0;
    return d.id;
}

bool PrinterEmulator::plug(Device& d, std::uint8_t address, std::string* error)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (d.node) {
            *error = "printer " + std::to_string(d.id) + " is plugged in";
            return false;
        }
        if (address == 0)
            address = next_address(d.bus);
        for (const auto& other : devices_) {
            if (other.get() != &d && other->node && other->bus == d.bus && other->address == address) {
                *error = "address " + std::to_string(address) + " on bus " + std::to_string(d.bus) + " is taken";
                return false;
            }
        }
        if (address == 0) {
            *error = "no free address on bus " + std::to_string(d.bus);
            return false;
        }
        d.address = address;
        last_address_[d.bus] = std::max(last_address_[d.bus], address);
    }
    ensure_root_hub(d.bus);

    auto node = std::make_unique<Node>();
    node->owner = this;
    node->device = &d;
    const std::string b = std::to_string(d.bus);
    const std::string sysname = b + "-" + std::to_string(d.port);
    const std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + b + "/" + sysname;
    const std::string dev = "bus/usb/" + three_digits(d.bus) + "/" + three_digits(address);
    node->devnode = "/dev/" + dev;
    node->syspath = "/sys" + path;
    node->descriptors = printer_descriptors(d.vendor_id, d.product_id, d.strings, d.printer->endpoints());

    std::string record = "P: " + path + "\n" +
                         "N: " + dev + "=" + hex_of(node->descriptors) + "\n" +
                         "E: SUBSYSTEM=usb\n"
                         "E: DEVTYPE=usb_device\n"
                         "E: DEVNAME=" + node->devnode + "\n" +
                         "E: BUSNUM=" + three_digits(d.bus) + "\n" +
                         "E: DEVNUM=" + three_digits(address) + "\n" +
                         "E: PRODUCT=" + plain_hex(d.vendor_id) + "/" + plain_hex(d.product_id) + "/100\n" +
                         "A: busnum=" + b + "\\n\n" +
                         "A: devnum=" + std::to_string(address) + "\\n\n" +
                         "A: speed=480\\n\n"
                         "A: bConfigurationValue=1\\n\n"
                         "A: bNumInterfaces= 1\\n\n"
                         "A: idVendor=" + hex4(d.vendor_id) + "\\n\n" +
                         "A: idProduct=" + hex4(d.product_id) + "\\n\n";
    if (!d.strings.manufacturer.empty())
        record += "A: manufacturer=" + attribute(d.strings.manufacturer) + "\n";
    if (!d.strings.product.empty())
        record += "A: product=" + attribute(d.strings.product) + "\n";
    if (!d.strings.serial.empty())
        record += "A: serial=" + attribute(d.strings.serial) + "\n";
    record += "H: descriptors=" + hex_of(node->descriptors) + "\n";

    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &gerror)) {
        *error = std::string("cannot add the device: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    node->in_sysfs = true;

    // The device node becomes a FIFO of one page: full, poll() sees it not
    // writable and the client sleeps; emptied, the client wakes to reap.
    const std::string fifo = root_ + node->devnode;
    ::unlink(fifo.c_str());
    if (::mkfifo(fifo.c_str(), 0666) != 0 ||
        (node->fifo_fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        *error = "cannot make the device node " + fifo + ": " + std::strerror(errno);
        remove_from_sysfs(*node);
        return false;
    }
    ::fcntl(node->fifo_fd, F_SETPIPE_SZ, 4096);

    // An earlier appearance at the same address hands its node over.
    for (const auto& old : nodes_) {
        if (old->attached && old->devnode == node->devnode) {
            umockdev_testbed_detach_ioctl(testbed_, old->devnode.c_str(), nullptr);
            old->attached = false;
        }
    }
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(on_ioctl), node.get());
    g_signal_connect(node->handler, "client-vanished", G_CALLBACK(on_client_vanished), node.get());
    if (!umockdev_testbed_attach_ioctl(testbed_, node->devnode.c_str(), node->handler, &gerror)) {
        *error = std::string("cannot attach to ") + node->devnode + ": " + gerror->message;
        g_error_free(gerror);
        remove_from_sysfs(*node);
        g_object_unref(node->handler);
        ::close(node->fifo_fd);
        return false;
    }
    node->attached = true;

    Node* raw = node.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_.push_back(std::move(node));
        d.node = raw;
        d.printer->plug_back();
        update_gate(*raw);
    }
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: printer %d plugged in at %s\n", d.id, raw->devnode.c_str());
    return true;
}

void PrinterEmulator::remove_from_sysfs(Node& node)
{
    if (!node.in_sysfs)
        return;
    umockdev_testbed_uevent(testbed_, node.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, node.syspath.c_str());
    node.in_sysfs = false;
}

bool PrinterEmulator::unplug(Device& d)
{
    Node* node = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        node = d.node;
        if (!node)
            return false;
        d.node = nullptr;
        node->gone = true;
        d.printer->unplug();
        cut_off(*node, -ESHUTDOWN);
    }
    remove_from_sysfs(*node);
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: printer %d unplugged\n", d.id);
    return true;
}

void PrinterEmulator::remove_vanished()
{
    std::vector<Node*> vanished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& node : nodes_) {
            if (node->vanished && node->in_sysfs) {
                node->vanished = false;
                vanished.push_back(node.get());
            }
        }
    }
    for (Node* node : vanished)
        remove_from_sysfs(*node);
}

// ---------------------------------------------------------------- URBs

void PrinterEmulator::update_gate(Node& node)
{
    if (node.fifo_fd < 0)
        return;
    const bool reapable = std::any_of(node.urbs.begin(), node.urbs.end(),
                                      [](const std::unique_ptr<Urb>& u) { return u->state == Urb::State::done; });
    if (reapable && node.fifo_full) {
        char sink[64];
        while (::read(node.fifo_fd, sink, sizeof sink) > 0) {
        }
        node.fifo_full = false;
    } else if (!reapable && !node.fifo_full) {
        const char byte = 0;
        if (::write(node.fifo_fd, &byte, 1) == 1 || errno == EAGAIN)
            node.fifo_full = true;
    }
}

void PrinterEmulator::finish(Node& node, Urb& urb, int status, std::size_t actual)
{
    usbdevfs_urb* u = urb.fields();
    u->status = status;
    u->actual_length = static_cast<int>(actual);
    urb.state = Urb::State::done;
    urb.done_order = ++node.completions;
    update_gate(node);
}

// Every transfer still in flight ends with `status` (the device is gone).
void PrinterEmulator::cut_off(Node& node, int status)
{
    for (const auto& urb : node.urbs)
        if (urb->state != Urb::State::done)
            finish(node, *urb, status, 0);
}

void PrinterEmulator::serve_bulk(Node& node, Urb& urb)
{
    Printer& printer = *node.device->printer;
    usbdevfs_urb* u = urb.fields();
    const std::uint8_t endpoint = u->endpoint;
    std::uint8_t none = 0;
    std::uint8_t* data = urb.data() ? urb.data() : &none;

    TransferResult result;
    if (endpoint & 0x80) {
        if (printer.in_transfer_would_wait(endpoint)) {
            urb.state = Urb::State::waiting;
            return;
        }
        result = printer.bulk_in(endpoint, data, urb.length(), 0);
    } else {
        result = printer.bulk_out(endpoint, data, urb.length(), 0);
    }

    switch (result.status) {
    case Status::ok: finish(node, urb, 0, result.actual); break;
    case Status::timeout: urb.state = Urb::State::held; break;
    case Status::stall: finish(node, urb, -EPIPE, 0); break;
    case Status::overflow: finish(node, urb, -EOVERFLOW, result.actual); break;
    case Status::io_error: finish(node, urb, -EPROTO, 0); break;
    case Status::no_device:
        // The printer left the bus in the middle of this transfer.
        node.gone = true;
        node.vanished = true;
        if (node.device->node == &node)
            node.device->node = nullptr;
        finish(node, urb, -ESHUTDOWN, 0);
        cut_off(node, -ESHUTDOWN);
        g_idle_add(
            [](gpointer self) -> gboolean {
                static_cast<PrinterEmulator*>(self)->remove_vanished();
                return G_SOURCE_REMOVE;
            },
            this);
        break;
    }
}

// IN transfers that waited for a reply take it as soon as the model has one
// (or a fault or halt to report).
void PrinterEmulator::wake_waiting(Node& node)
{
    for (const auto& urb : node.urbs) {
        if (urb->state != Urb::State::waiting || node.gone)
            continue;
        if (!node.device->printer->in_transfer_would_wait(urb->fields()->endpoint))
            serve_bulk(node, *urb);
    }
}

void PrinterEmulator::serve_control(Node& node, Urb& urb)
{
    const std::size_t length = urb.length();
    if (length < 8) {
        finish(node, urb, -EPIPE, 0);
        return;
    }
    const std::uint8_t* setup = urb.data();
    const std::uint8_t request_type = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = setup[2] | (setup[3] << 8);
    const unsigned wanted = setup[6] | (setup[7] << 8);

    Bytes answer;
    bool stall = true;
    if (request_type == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const unsigned type = value >> 8;
        const unsigned index = value & 0xFF;
        const DeviceStrings& strings = node.device->strings;
        if (type == 1) {
            answer.assign(node.descriptors.begin(), node.descriptors.begin() + 18);
            stall = false;
        } else if (type == 2 && index == 0) {
            answer.assign(node.descriptors.begin() + 18, node.descriptors.end());
            stall = false;
        } else if (type == 3) {
            const std::string* text = index == manufacturer_index ? &strings.manufacturer
                                      : index == product_index    ? &strings.product
                                      : index == serial_index     ? &strings.serial
                                                                  : nullptr;
            if (index == 0) {
                answer = language_descriptor();
                stall = false;
            } else if (text && !text->empty()) {
                answer = string_descriptor(*text);
                stall = false;
            }
        }
    } else if (request_type == 0x80 && request == 0) {  // GET_STATUS
        answer = {0, 0};
        stall = false;
    }
    if (stall) {
        finish(node, urb, -EPIPE, 0);
        return;
    }
    const std::size_t n = std::min({answer.size(), static_cast<std::size_t>(wanted), length - 8});
    std::memcpy(urb.data() + 8, answer.data(), n);
    finish(node, urb, 0, n);
}

void PrinterEmulator::submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    GError* error = nullptr;
    UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!urb_data) {
        g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto urb = std::make_unique<Urb>();
    urb->client = client;
    urb->urb = urb_data;
    urb->address = urb_data->client_addr;
    const usbdevfs_urb* u = urb->fields();
    const std::uint8_t endpoint = u->endpoint;
    const PrinterEndpoints& eps = node.device->printer->endpoints();
    const bool bulk = u->type == USBDEVFS_URB_TYPE_BULK;
    const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
    const bool known = endpoint == eps.cmd_in || endpoint == eps.cmd_out || endpoint == eps.data_in ||
                       endpoint == eps.data_out;
    if (!(bulk && known) && !(control && endpoint == 0)) {
        umockdev_ioctl_client_complete(client, -1, bulk || control ? ENOENT : EINVAL);
        return;
    }
    if (u->buffer_length < 0) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (u->buffer_length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<gsize>(u->buffer_length), &error);
        if (!urb->buffer) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: URB %#lx on %#04x, %d bytes\n", node.devnode.c_str(),
                     urb->address, endpoint, u->buffer_length);
    urb->fields()->status = -EINPROGRESS;
    urb->fields()->actual_length = 0;
    Urb& accepted = *urb;
    node.urbs.push_back(std::move(urb));
    if (control) {
        serve_control(node, accepted);
    } else {
        serve_bulk(node, accepted);
        if (!(endpoint & 0x80))
            wake_waiting(node);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void PrinterEmulator::handle_ioctl(Node& node, UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);
    GError* error = nullptr;

    // Reaping still works after a disconnect; everything else gets ENODEV.
    if (request == USBDEVFS_REAPURBNDELAY) {
        Urb* ready = nullptr;
        for (const auto& urb : node.urbs)
            if (urb->client == client && urb->state == Urb::State::done &&
                (!ready || urb->done_order < ready->done_order))
                ready = urb.get();
        if (!ready) {
            umockdev_ioctl_client_complete(client, -1, node.gone ? ENODEV : EAGAIN);
            return;
        }
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (!slot) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, ready->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        node.urbs.erase(std::find_if(node.urbs.begin(), node.urbs.end(),
                                     [ready](const std::unique_ptr<Urb>& u) { return u.get() == ready; }));
        update_gate(node);
        return;
    }
    if (node.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }

    // An ioctl argument that points to a small struct: our copy of it.
    auto resolve = [&](gsize size) -> UMockdevIoctlData* {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
        if (!data) {
            g_error_free(error);
            error = nullptr;
        }
        return data;
    };
    auto read_u32 = [&](std::uint32_t* value) {
        UMockdevIoctlData* data = resolve(sizeof(std::uint32_t));
        if (!data)
            return false;
        std::memcpy(value, data->data, sizeof *value);
        g_object_unref(data);
        return true;
    };

    long result = 0;
    int err = 0;
    switch (request) {
    case USBDEVFS_SUBMITURB:
        submit(node, client, arg);
        return;
    case USBDEVFS_DISCARDURB: {
        unsigned long address = 0;
        std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
        Urb* found = nullptr;
        for (const auto& urb : node.urbs)
            if (urb->client == client && urb->address == address)
                found = urb.get();
        if (verbose_)
            std::fprintf(stderr, "zarvik-printer-emulator: %s: discard URB %#lx (%s)\n", node.devnode.c_str(), address,
                         !found ? "unknown" : found->state == Urb::State::done ? "done" : "in flight");
        if (!found || found->state == Urb::State::done) {
            result = -1;
            err = EINVAL;
        } else {
            if (found->state == Urb::State::waiting) {
                // The host gave up waiting: the printer's record shows the time-out.
                const std::uint8_t endpoint = found->fields()->endpoint;
                std::uint8_t none = 0;
                if (node.device->printer->in_transfer_would_wait(endpoint))
                    node.device->printer->bulk_in(endpoint, found->data() ? found->data() : &none, found->length(), 0);
            }
            finish(node, *found, -ENOENT, 0);
        }
        break;
    }
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* data = resolve(sizeof(std::uint32_t));
        if (!data) {
            result = -1;
            err = EFAULT;
            break;
        }
        std::memcpy(data->data, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(data);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_RELEASEINTERFACE: {
        std::uint32_t interface_number = 0;
        if (!read_u32(&interface_number)) {  // the first field of the claim struct, too
            result = -1;
            err = EFAULT;
        } else if (interface_number != 0) {
            result = -1;
            err = request == USBDEVFS_RELEASEINTERFACE ? EINVAL : ENOENT;
        } else if (request == USBDEVFS_RELEASEINTERFACE) {
            if (node.claimer != client) {
                result = -1;
                err = EINVAL;
            } else {
                node.claimer = nullptr;
            }
        } else if (node.claimer && node.claimer != client) {
            result = -1;
            err = EBUSY;
        } else {
            node.claimer = client;
        }
        break;
    }
    case USBDEVFS_GETDRIVER:
        result = -1;
        err = ENODATA;  // no kernel driver on the interface
        break;
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* data = resolve(sizeof(usbdevfs_ioctl));
        if (!data) {
            result = -1;
            err = EFAULT;
            break;
        }
        usbdevfs_ioctl command{};
        std::memcpy(&command, data->data, sizeof command);
        g_object_unref(data);
        if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            result = -1;
            err = ENODATA;
        } else if (command.ioctl_code != static_cast<int>(USBDEVFS_CONNECT)) {
            result = -1;
            err = ENOTTY;
        }
        break;
    }
    case USBDEVFS_CLEAR_HALT: {
        std::uint32_t endpoint = 0;
        const PrinterEndpoints& eps = node.device->printer->endpoints();
        if (!read_u32(&endpoint)) {
            result = -1;
            err = EFAULT;
        } else if (endpoint != eps.cmd_in && endpoint != eps.cmd_out && endpoint != eps.data_in &&
                   endpoint != eps.data_out) {
            result = -1;
            err = ENOENT;
        } else {
            node.device->printer->clear_halt(static_cast<std::uint8_t>(endpoint));
            wake_waiting(node);
        }
        break;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        break;
    default:
        if (verbose_)
            std::fprintf(stderr, "zarvik-printer-emulator: %s: ioctl 0x%lx not served\n", node.devnode.c_str(),
                         static_cast<unsigned long>(request));
        result = -1;
        err = ENOTTY;
        break;
    }
    umockdev_ioctl_client_complete(client, result, err);
}

void PrinterEmulator::client_gone(Node& node, UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    node.urbs.erase(std::remove_if(node.urbs.begin(), node.urbs.end(),
                                   [client](const std::unique_ptr<Urb>& u) { return u->client == client; }),
                    node.urbs.end());
    if (node.claimer == client)
        node.claimer = nullptr;
    update_gate(node);
}

int PrinterEmulator::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* user_data)
{
    Node& node = *static_cast<Node*>(user_data);
    node.owner->handle_ioctl(node, client);
    return TRUE;
}

void PrinterEmulator::on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* user_data)
{
    Node& node = *static_cast<Node*>(user_data);
    node.owner->client_gone(node, client);
}

// ---------------------------------------------------------------- control

// Devices are only ever added, by the main thread: their pointers stay valid.
PrinterEmulator::Device* PrinterEmulator::find(const std::string& id_text, std::string* error)
{
    unsigned long long id = 0;
    if (!control::parse_number(id_text, &id) || id == 0 || id > devices_.size()) {
        *error = "no printer '" + id_text + "'";
        return nullptr;
    }
    return devices_[id - 1].get();
}

std::string PrinterEmulator::handle_request(const std::string& line)
{
    const std::vector<std::string> words = control::split(line, ' ');
    const std::string& verb = words[0];
    std::string error;

    // Plugging touches the testbed: done here, outside the lock.
    if (verb == "plug") {
        if (words.size() < 2 || words.size() > 3)
            return "error usage: plug VID:PID[,...] | plug ID [addr=A]";
        if (words[1].find(':') != std::string::npos) {
            PrinterOptions options;
            if (words.size() != 2 || !parse_printer_options(words[1], &options, &error))
                return "error " + error;
            const int id = add_printer(options, &error);
            return id ? "ok " + std::to_string(id) : "error " + error;
        }
        Device* d = find(words[1], &error);
        if (!d)
            return "error " + error;
        std::uint8_t address = 0;
        if (words.size() == 3 && (words[2].compare(0, 5, "addr=") != 0 || !parse_u8(words[2].substr(5), &address, 2, 127)))
            return "error usage: plug ID [addr=A] with A from 2 to 127";
        return plug(*d, address, &error) ? "ok " + std::to_string(d->id) : "error " + error;
    }
    if (verb == "unplug") {
        if (words.size() != 2)
            return "error usage: unplug ID";
        Device* d = find(words[1], &error);
        if (!d)
            return "error " + error;
        return unplug(*d) ? "ok" : "error printer " + words[1] + " is not plugged in";
    }

    std::lock_guard<std::mutex> lock(mutex_);
    bool changed = false;
    std::string answer = handle_locked(words, &changed);
    if (changed)
        for (const auto& d : devices_)
            if (d->node)
                wake_waiting(*d->node);
    return answer;
}

std::string PrinterEmulator::handle_locked(const std::vector<std::string>& words, bool* changed)
{
    const std::string& verb = words[0];
    std::string error;
    if (verb == "printers") {
        std::string out = "ok";
        for (const auto& d : devices_) {
            out += " " + std::to_string(d->id) + "," + hex4(d->vendor_id) + "," + hex4(d->product_id) + "," +
                   std::to_string(d->bus) + "," + std::to_string(d->address) + "," +
                   (d->node ? "plugged" : "unplugged");
        }
        return out;
    }
    if (words.size() < 2)
        return "error unknown request '" + control::escape(verb) + "'";
    Device* d = find(words[1], &error);
    if (!d)
        return "error " + error;
    Printer& printer = *d->printer;
    auto number = [&](std::size_t at, unsigned long long* value) {
        return at < words.size() && control::parse_number(words[at], value);
    };
    auto text = [&](std::size_t at, std::string* value) {
        return at < words.size() && control::unescape(words[at], value);
    };
    unsigned long long a = 0, b = 0, c = 0;
    std::string s, t;

    if (verb == "fault") {
        FaultKind kind;
        if (words.size() < 4 || words.size() > 5 || !fault_from_token(words[3], &kind))
            return "error usage: fault ID INDEX|+K KIND [AMOUNT]";
        const bool relative = !words[2].empty() && words[2][0] == '+';
        if (!control::parse_number(relative ? words[2].substr(1) : words[2], &a))
            return "error bad transfer index '" + words[2] + "'";
        if (words.size() == 5 && !number(4, &b))
            return "error bad amount";
        const std::uint64_t index = relative ? printer.transfer_count() + a : a;
        printer.fault_at(index, kind, static_cast<std::size_t>(b));
        *changed = true;
        return "ok " + std::to_string(index);
    }
    if (verb == "replace") {
        if (words.size() != 6 || !text(2, &s) || !number(3, &a) || !number(4, &b) || !text(5, &t))
            return "error usage: replace ID COMMAND OCCURRENCE LINE TEXT";
        printer.replace_reply(s, static_cast<int>(b), t, static_cast<int>(a));
        return "ok";
    }
    if (verb == "silence") {
        if (words.size() != 5 || !text(2, &s) || !number(3, &a) || !number(4, &b))
            return "error usage: silence ID COMMAND OCCURRENCE FROM_LINE";
        printer.silence_replies(s, static_cast<int>(b), static_cast<int>(a));
        return "ok";
    }
    if (verb == "push") {
        if (words.size() != 3 || !text(2, &s))
            return "error usage: push ID BYTES";
        printer.push_raw_reply(s);
        *changed = true;
        return "ok";
    }
    if (verb == "capacity") {
        if (words.size() != 3 || !number(2, &a))
            return "error usage: capacity ID BYTES";
        printer.set_capacity(a);
        return "ok";
    }
    if (verb == "framing") {
        if (words.size() < 3 || words.size() > 4 || (words.size() == 4 && !number(3, &a)))
            return "error usage: framing ID line|exchange|split [AT]";
        if (words[2] == "line")
            printer.set_framing(Printer::Framing::line_per_transfer);
        else if (words[2] == "exchange")
            printer.set_framing(Printer::Framing::exchange_per_transfer);
        else if (words[2] == "split")
            printer.set_framing(Printer::Framing::split_lines, static_cast<std::size_t>(a));
        else
            return "error unknown framing '" + control::escape(words[2]) + "'";
        return "ok";
    }
    if (verb == "count")
        return "ok " + std::to_string(printer.transfer_count());
    if (verb == "control")
        return std::string("ok ") + (printer.under_control() ? "1" : "0");
    if (verb == "pending")
        return "ok " + std::to_string(printer.pending_reply_bytes());
    if (verb == "clears") {
        if (words.size() != 3 || !number(2, &a) || a > 0xFF)
            return "error usage: clears ID EP";
        return "ok " + std::to_string(printer.clear_halt_count(static_cast<std::uint8_t>(a)));
    }
    if (verb == "files") {
        std::string out = "ok";
        for (const auto& f : printer.files())
            out += " " + control::escape(f.first) + "," + std::to_string(f.second.data.size()) + "," +
                   std::to_string(f.second.announced) + "," + (f.second.complete ? "1" : "0");
        return out;
    }
    if (verb == "file") {
        if (words.size() != 3 || !text(2, &s))
            return "error usage: file ID PATH";
        auto f = printer.files().find(s);
        if (f == printer.files().end())
            return "error no file " + words[2];
        return "ok " + control::escape(std::string(f->second.data.begin(), f->second.data.end()));
    }
    if (verb == "installs") {
        std::string out = "ok";
        for (const Install& i : printer.installs())
            out += " " + control::escape(i.path) + "," + (i.complete ? "1" : "0");
        return out;
    }
    if (verb == "commands") {
        if (words.size() > 3 || (words.size() == 3 && !number(2, &a)))
            return "error usage: commands ID [FROM]";
        std::string out = "ok";
        const auto& all = printer.commands();
        for (std::size_t i = static_cast<std::size_t>(a); i < all.size(); ++i)
            out += " " + control::escape(all[i]);
        return out;
    }
    if (verb == "violations") {
        std::string out = "ok";
        for (const std::string& v : printer.violations())
            out += " " + control::escape(v);
        return out;
    }
    if (verb == "traffic") {
        c = UINT64_MAX;
        if (words.size() > 4 || (words.size() >= 3 && !number(2, &a)) || (words.size() == 4 && !number(3, &c)))
            return "error usage: traffic ID [FROM [COUNT]]";
        std::string out = "ok";
        const auto& all = printer.traffic();
        for (std::size_t i = static_cast<std::size_t>(a); i < all.size() && i - a < c; ++i) {
            const Transfer& tr = all[i];
            out += " " + std::to_string(tr.index) + "," + std::to_string(tr.endpoint) + "," +
                   std::to_string(tr.length) + "," + status_token(tr.status) + "," + std::to_string(tr.at_ms) + "," +
                   control::escape(std::string(tr.data.begin(), tr.data.end()));
        }
        return out;
    }
    return "error unknown request '" + control::escape(verb) + "'";
}

// ---------------------------------------------------------------- store

bool PrinterEmulator::write_store(const std::string& dir, std::string* error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::ofstream summary(dir + "/summary.txt", std::ios::trunc);
    for (const auto& d : devices_) {
        const std::string folder = "printer-" + std::to_string(d->id);
        if (d->printer->files().empty())
            continue;
        if (g_mkdir_with_parents((dir + "/" + folder).c_str(), 0755) != 0) {
            *error = "cannot make " + dir + "/" + folder + ": " + std::strerror(errno);
            return false;
        }
        for (const auto& f : d->printer->files()) {
            const std::string name = folder + "/" + file_name_for(f.first);
            std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(f.second.data.data()),
                      static_cast<std::streamsize>(f.second.data.size()));
            if (!out) {
                *error = "cannot write " + dir + "/" + name;
                return false;
            }
            const auto& installs = d->printer->installs();
            const bool installed = std::any_of(installs.begin(), installs.end(),
                                               [&](const Install& i) { return i.path == f.first; });
            summary << "printer=" << d->id << " path=" << control::escape(f.first)
                    << " size=" << f.second.data.size() << " announced=" << f.second.announced
                    << " complete=" << (f.second.complete ? 1 : 0) << " installed=" << (installed ? 1 : 0)
                    << " file=" << name << "\n";
        }
    }
    summary.flush();
    if (!summary) {
        *error = "cannot write " + dir + "/summary.txt";
        return false;
    }
    return true;
}

}  // namespace emu

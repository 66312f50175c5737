#include "usbfs_node.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include "printer/usb_descriptors.h"

namespace emu {

namespace {

constexpr std::uint32_t capability_bits = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                          USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                          USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

void complete(UMockdevIoctlClient* client, int error)
{
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
}

// Our copy of the struct an ioctl argument points to, or null.
UMockdevIoctlData* resolve(UMockdevIoctlData* arg, gsize size)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!data)
        g_error_free(error);
    return data;
}

bool read_u32(UMockdevIoctlData* arg, std::uint32_t* value)
{
    UMockdevIoctlData* data = resolve(arg, sizeof *value);
    if (!data)
        return false;
    std::memcpy(value, data->data, sizeof *value);
    g_object_unref(data);
    return true;
}

std::string devnode_for(const Identity& identity)
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", identity.bus, identity.address);
    return path;
}

}  // namespace

struct UsbfsNode::Urb {
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

UsbfsNode::UsbfsNode(std::mutex& mutex, std::shared_ptr<Printer> printer, const Identity& identity, bool verbose,
                     std::function<void(UsbfsNode&)> on_vanish)
    : mutex_(mutex),
      printer_(std::move(printer)),
      identity_(identity),
      verbose_(verbose),
      on_vanish_(std::move(on_vanish)),
      devnode_(devnode_for(identity))
{
}

UsbfsNode::~UsbfsNode()
{
    if (handler_) {
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
    }
    urbs_.clear();
    if (fifo_fd_ >= 0)
        ::close(fifo_fd_);
}

bool UsbfsNode::attach(UMockdevTestbed* testbed, const std::string& root, std::string* error)
{
    // A FIFO of one page: full, poll() sees it not writable and the client
    // sleeps; emptied, the client wakes to reap.
    const std::string fifo = root + devnode_;
    ::unlink(fifo.c_str());
    if (::mkfifo(fifo.c_str(), 0666) != 0 || (fifo_fd_ = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        *error = "cannot make the device node " + fifo + ": " + std::strerror(errno);
        return false;
    }
    ::fcntl(fifo_fd_, F_SETPIPE_SZ, 4096);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(on_client_vanished), this);
    GError* failure = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode_.c_str(), handler_, &failure)) {
        *error = "cannot attach to " + devnode_ + ": " + failure->message;
        g_error_free(failure);
        return false;
    }
    attached_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    update_gate();
    return true;
}

void UsbfsNode::detach(UMockdevTestbed* testbed)
{
    if (attached_)
        umockdev_testbed_detach_ioctl(testbed, devnode_.c_str(), nullptr);
    attached_ = false;
}

void UsbfsNode::unplug()
{
    gone_ = true;
    cut_off(-ESHUTDOWN);
}

// ---------------------------------------------------------------- URBs

void UsbfsNode::update_gate()
{
    if (fifo_fd_ < 0)
        return;
    const bool reapable = std::any_of(urbs_.begin(), urbs_.end(),
                                      [](const std::unique_ptr<Urb>& u) { return u->state == Urb::State::done; });
    if (reapable && fifo_full_) {
        char sink[64];
        while (::read(fifo_fd_, sink, sizeof sink) > 0) {
        }
        fifo_full_ = false;
    } else if (!reapable && !fifo_full_) {
        const char byte = 0;
        if (::write(fifo_fd_, &byte, 1) == 1 || errno == EAGAIN)
            fifo_full_ = true;
    }
}

void UsbfsNode::finish(Urb& urb, int status, std::size_t actual)
{
    usbdevfs_urb* u = urb.fields();
    u->status = status;
    u->actual_length = static_cast<int>(actual);
    urb.state = Urb::State::done;
    urb.done_order = ++completions_;
    update_gate();
}

// Every transfer still in flight ends with `status` (the device is gone).
void UsbfsNode::cut_off(int status)
{
    for (const auto& urb : urbs_)
        if (urb->state != Urb::State::done)
            finish(*urb, status, 0);
}

void UsbfsNode::serve_bulk(Urb& urb)
{
    const std::uint8_t endpoint = urb.fields()->endpoint;
    TransferResult result;
    if (endpoint & 0x80) {
        if (printer_->in_transfer_would_wait(endpoint)) {
            urb.state = Urb::State::waiting;
            return;
        }
        result = printer_->bulk_in(endpoint, urb.data(), urb.length(), 0);
    } else {
        result = printer_->bulk_out(endpoint, urb.data(), urb.length(), 0);
    }

    switch (result.status) {
    case Status::ok: finish(urb, 0, result.actual); break;
    case Status::timeout: urb.state = Urb::State::held; break;
    case Status::stall: finish(urb, -EPIPE, 0); break;
    case Status::overflow: finish(urb, -EOVERFLOW, result.actual); break;
    case Status::io_error: finish(urb, -EPROTO, 0); break;
    case Status::no_device:
        // The printer left the bus in the middle of this transfer.
        finish(urb, -ESHUTDOWN, 0);
        unplug();
        on_vanish_(*this);
        break;
    }
}

void UsbfsNode::wake_waiting()
{
    for (const auto& urb : urbs_) {
        if (urb->state != Urb::State::waiting || gone_)
            continue;
        if (!printer_->in_transfer_would_wait(urb->fields()->endpoint))
            serve_bulk(*urb);
    }
}

void UsbfsNode::serve_control(Urb& urb)
{
    const std::size_t length = urb.length();
    const std::uint8_t* setup = urb.data();
    usb::Bytes answer;
    if (length >= 8 && setup[0] == 0x80 && setup[1] == 6) {  // GET_DESCRIPTOR
        const unsigned type = setup[3];
        const unsigned index = setup[2];
        if (type == 1)
            answer = printer_device_descriptor(identity_);
        else if (type == 2 && index == 0)
            answer = printer_configuration(identity_);
        else if (type == 3)
            answer = printer_string(identity_, static_cast<std::uint8_t>(index));
    } else if (length >= 8 && setup[0] == 0x80 && setup[1] == 0) {  // GET_STATUS
        answer = {0, 0};
    }
    if (answer.empty()) {
        finish(urb, -EPIPE, 0);
        return;
    }
    const std::size_t wanted = setup[6] | (setup[7] << 8);
    const std::size_t n = std::min({answer.size(), wanted, length - 8});
    std::memcpy(urb.data() + 8, answer.data(), n);
    finish(urb, 0, n);
}

// ---------------------------------------------------------------- ioctls

void UsbfsNode::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urb_data = resolve(arg, sizeof(usbdevfs_urb));
    if (!urb_data)
        return complete(client, EFAULT);
    auto urb = std::make_unique<Urb>();
    urb->client = client;
    urb->urb = urb_data;
    urb->address = urb_data->client_addr;
    const usbdevfs_urb* u = urb->fields();
    const std::uint8_t endpoint = u->endpoint;
    const bool bulk = u->type == USBDEVFS_URB_TYPE_BULK;
    const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
    if (!(bulk && printer_->serves(endpoint)) && !(control && endpoint == 0))
        return complete(client, bulk || control ? ENOENT : EINVAL);
    if (u->buffer_length < 0)
        return complete(client, EINVAL);
    if (u->buffer_length > 0) {
        GError* error = nullptr;
        urb->buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<gsize>(u->buffer_length), &error);
        if (!urb->buffer) {
            g_error_free(error);
            return complete(client, EFAULT);
        }
    }
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: URB %#lx on %#04x, %d bytes\n", devnode_.c_str(),
                     urb->address, endpoint, u->buffer_length);
    urb->fields()->status = -EINPROGRESS;
    urb->fields()->actual_length = 0;
    Urb& accepted = *urb;
    urbs_.push_back(std::move(urb));
    if (control) {
        serve_control(accepted);
    } else {
        serve_bulk(accepted);
        if (!(endpoint & 0x80))
            wake_waiting();
    }
    complete(client, 0);
}

// Reaping still works after a disconnect.
void UsbfsNode::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    auto ready = urbs_.end();
    for (auto it = urbs_.begin(); it != urbs_.end(); ++it)
        if ((*it)->client == client && (*it)->state == Urb::State::done &&
            (ready == urbs_.end() || (*it)->done_order < (*ready)->done_order))
            ready = it;
    if (ready == urbs_.end())
        return complete(client, gone_ ? ENODEV : EAGAIN);
    UMockdevIoctlData* slot = resolve(arg, sizeof(void*));
    if (!slot)
        return complete(client, EFAULT);
    // umockdev writes our copy of the URB and its buffer back as the ioctl completes.
    umockdev_ioctl_data_set_ptr(slot, 0, (*ready)->urb);
    complete(client, 0);
    g_object_unref(slot);
    urbs_.erase(ready);
    update_gate();
}

void UsbfsNode::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    Urb* found = nullptr;
    for (const auto& urb : urbs_)
        if (urb->client == client && urb->address == address)
            found = urb.get();
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: discard URB %#lx (%s)\n", devnode_.c_str(), address,
                     !found ? "unknown" : found->state == Urb::State::done ? "done" : "in flight");
    if (!found || found->state == Urb::State::done)
        return complete(client, EINVAL);
    if (found->state == Urb::State::waiting) {
        // The host gave up waiting: the printer's record shows the time-out.
        const std::uint8_t endpoint = found->fields()->endpoint;
        if (printer_->in_transfer_would_wait(endpoint))
            printer_->bulk_in(endpoint, found->data(), found->length(), 0);
    }
    finish(*found, -ENOENT, 0);
    complete(client, 0);
}

void UsbfsNode::capabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = resolve(arg, sizeof capability_bits);
    if (!data)
        return complete(client, EFAULT);
    std::memcpy(data->data, &capability_bits, sizeof capability_bits);
    complete(client, 0);
    g_object_unref(data);
}

// CLAIMINTERFACE and DISCONNECT_CLAIM: the interface number is the first field of either.
void UsbfsNode::claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    std::uint32_t interface_number = 0;
    if (!read_u32(arg, &interface_number))
        return complete(client, EFAULT);
    if (interface_number != 0)
        return complete(client, ENOENT);
    if (claimer_ && claimer_ != client)
        return complete(client, EBUSY);
    claimer_ = client;
    complete(client, 0);
}

void UsbfsNode::release(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    std::uint32_t interface_number = 0;
    if (!read_u32(arg, &interface_number))
        return complete(client, EFAULT);
    if (interface_number != 0 || claimer_ != client)
        return complete(client, EINVAL);
    claimer_ = nullptr;
    complete(client, 0);
}

void UsbfsNode::kernel_driver(UMockdevIoctlClient* client, UMockdevIoctlData*)
{
    complete(client, ENODATA);  // no kernel driver on the interface
}

// USBDEVFS_IOCTL: connecting the (absent) kernel driver again succeeds, detaching it finds none.
void UsbfsNode::driver_request(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = resolve(arg, sizeof(usbdevfs_ioctl));
    if (!data)
        return complete(client, EFAULT);
    usbdevfs_ioctl command{};
    std::memcpy(&command, data->data, sizeof command);
    g_object_unref(data);
    if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT))
        return complete(client, ENODATA);
    complete(client, command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT) ? 0 : ENOTTY);
}

void UsbfsNode::clear_halt(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    std::uint32_t endpoint = 0;
    if (!read_u32(arg, &endpoint))
        return complete(client, EFAULT);
    if (endpoint > 0xFF || !printer_->serves(static_cast<std::uint8_t>(endpoint)))
        return complete(client, ENOENT);
    printer_->clear_halt(static_cast<std::uint8_t>(endpoint));
    wake_waiting();
    complete(client, 0);
}

void UsbfsNode::accept(UMockdevIoctlClient* client, UMockdevIoctlData*)
{
    complete(client, 0);
}

void UsbfsNode::handle_ioctl(UMockdevIoctlClient* client)
{
    using Request = void (UsbfsNode::*)(UMockdevIoctlClient*, UMockdevIoctlData*);
    static const std::pair<unsigned long, Request> requests[] = {
        {USBDEVFS_REAPURBNDELAY, &UsbfsNode::reap},
        {USBDEVFS_SUBMITURB, &UsbfsNode::submit},
        {USBDEVFS_DISCARDURB, &UsbfsNode::discard},
        {USBDEVFS_GET_CAPABILITIES, &UsbfsNode::capabilities},
        {USBDEVFS_CLAIMINTERFACE, &UsbfsNode::claim},
        {USBDEVFS_DISCONNECT_CLAIM, &UsbfsNode::claim},
        {USBDEVFS_RELEASEINTERFACE, &UsbfsNode::release},
        {USBDEVFS_GETDRIVER, &UsbfsNode::kernel_driver},
        {USBDEVFS_IOCTL, &UsbfsNode::driver_request},
        {USBDEVFS_CLEAR_HALT, &UsbfsNode::clear_halt},
        {USBDEVFS_RESETEP, &UsbfsNode::accept},
        {USBDEVFS_SETINTERFACE, &UsbfsNode::accept},
        {USBDEVFS_SETCONFIGURATION, &UsbfsNode::accept},
        {USBDEVFS_RESET, &UsbfsNode::accept},
    };
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);
    // Reaping still works after a disconnect; everything else gets ENODEV.
    if (gone_ && request != USBDEVFS_REAPURBNDELAY)
        return complete(client, ENODEV);
    for (const auto& [code, serve] : requests)
        if (code == request)
            return (this->*serve)(client, arg);
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: ioctl 0x%lx not served\n", devnode_.c_str(), request);
    complete(client, ENOTTY);
}

void UsbfsNode::client_gone(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    urbs_.erase(std::remove_if(urbs_.begin(), urbs_.end(),
                               [client](const std::unique_ptr<Urb>& u) { return u->client == client; }),
                urbs_.end());
    if (claimer_ == client)
        claimer_ = nullptr;
    update_gate();
}

int UsbfsNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* node)
{
    static_cast<UsbfsNode*>(node)->handle_ioctl(client);
    return TRUE;
}

void UsbfsNode::on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* node)
{
    static_cast<UsbfsNode*>(node)->client_gone(client);
}

}  // namespace emu

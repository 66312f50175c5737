#include "usbfs_node.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "printer/usb_descriptors.h"

namespace emu {

UsbfsNode::UsbfsNode(std::mutex& mutex, std::shared_ptr<Printer> printer, const Identity& identity, bool verbose,
                     std::function<void(UsbfsNode&)> on_vanish)
    : mutex_(mutex), printer_(std::move(printer)), identity_(identity), verbose_(verbose),
      on_vanish_(std::move(on_vanish))
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", identity.bus, identity.address);
    devnode_ = path;
}

UsbfsNode::~UsbfsNode()
{
    {
        // Clients umockdev still keeps (the emulator ends) no longer tell this node.
        std::lock_guard<std::mutex> lock(mutex_);
        for (UMockdevIoctlClient* client : clients_)
            g_object_weak_unref(G_OBJECT(client), on_client_released, this);
        clients_.clear();
    }
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
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_client_connected), this);
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
    // No request reaches this appearance any more: its gate can go, so that
    // an emulator that plugs printers in all day keeps a bounded set of files.
    std::lock_guard<std::mutex> lock(mutex_);
    if (fifo_fd_ >= 0)
        ::close(fifo_fd_);
    fifo_fd_ = -1;
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
    case Status::ok:
        finish(urb, 0, result.actual);
        break;
    case Status::timeout:
        urb.state = Urb::State::held;
        urb.moved = result.actual;
        break;
    case Status::stall:
        finish(urb, -EPIPE, 0);
        break;
    case Status::overflow:
        finish(urb, -EOVERFLOW, result.actual);
        break;
    case Status::io_error:
        finish(urb, -EPROTO, 0);
        break;
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

}  // namespace emu

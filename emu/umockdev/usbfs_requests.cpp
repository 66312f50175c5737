// The usbfs ioctl requests of an emulated printer's device node, one
// function each, and the dispatch that picks them.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <sys/ioctl.h>

#include "usbfs_node.h"

namespace emu {

namespace {

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

constexpr std::uint32_t capability_bits = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                          USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                          USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

}  // namespace

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
                     !found                             ? "unknown"
                     : found->state == Urb::State::done ? "done"
                                                        : "in flight");
    if (!found || found->state == Urb::State::done)
        return complete(client, EINVAL);
    if (found->state == Urb::State::waiting) {
        // The host gave up waiting: the printer's record shows the time-out.
        const std::uint8_t endpoint = found->fields()->endpoint;
        if (printer_->in_transfer_would_wait(endpoint))
            printer_->bulk_in(endpoint, found->data(), found->length(), 0);
    }
    // What a write moved before its time-out ran out reaches the host with it, as from the kernel.
    finish(*found, -ENOENT, found->moved);
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

void UsbfsNode::handle_ioctl(UMockdevIoctlClient* client)
{
    // Each request with the function that serves it, or the errno it always gets.
    using Serve = void (UsbfsNode::*)(UMockdevIoctlClient*, UMockdevIoctlData*);
    static const struct {
        unsigned long request;
        Serve serve;
        int error;
    } requests[] = {
        {USBDEVFS_REAPURBNDELAY, &UsbfsNode::reap, 0},
        {USBDEVFS_SUBMITURB, &UsbfsNode::submit, 0},
        {USBDEVFS_DISCARDURB, &UsbfsNode::discard, 0},
        {USBDEVFS_GET_CAPABILITIES, &UsbfsNode::capabilities, 0},
        {USBDEVFS_CLAIMINTERFACE, &UsbfsNode::claim, 0},
        {USBDEVFS_DISCONNECT_CLAIM, &UsbfsNode::claim, 0},
        {USBDEVFS_RELEASEINTERFACE, &UsbfsNode::release, 0},
        {USBDEVFS_IOCTL, &UsbfsNode::driver_request, 0},
        {USBDEVFS_CLEAR_HALT, &UsbfsNode::clear_halt, 0},
        {USBDEVFS_GETDRIVER, nullptr, ENODATA},  // no kernel driver on the interface
        {USBDEVFS_RESETEP, nullptr, 0},
        {USBDEVFS_SETINTERFACE, nullptr, 0},
        {USBDEVFS_SETCONFIGURATION, nullptr, 0},
        {USBDEVFS_RESET, nullptr, 0},
    };
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);
    // Reaping still works after a disconnect; everything else gets ENODEV.
    if (gone_ && request != USBDEVFS_REAPURBNDELAY)
        return complete(client, ENODEV);
    for (const auto& r : requests)
        if (r.request == request)
            return r.serve ? (this->*r.serve)(client, arg) : complete(client, r.error);
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: ioctl 0x%lx not served\n", devnode_.c_str(), request);
    complete(client, ENOTTY);
}

void UsbfsNode::client_gone(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(client);
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: %s: a client closed it (%zu)\n", devnode_.c_str(),
                     clients_.size());
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

// umockdev never sends "client-vanished": a client is gone when umockdev lets
// go of it, once its program closed the device node.
void UsbfsNode::on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* node)
{
    auto* self = static_cast<UsbfsNode*>(node);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->clients_.insert(client);
        if (self->verbose_)
            std::fprintf(stderr, "zarvik-printer-emulator: %s: a client opened it (%zu)\n", self->devnode_.c_str(),
                         self->clients_.size());
    }
    g_object_weak_ref(G_OBJECT(client), on_client_released, node);
}

void UsbfsNode::on_client_released(void* node, GObject* client)
{
    static_cast<UsbfsNode*>(node)->client_gone(reinterpret_cast<UMockdevIoctlClient*>(client));
}

}  // namespace emu

// The libusb-1.0 functions the link library calls, served by the emulated bus.
// Same declarations as the real library (its own header), so the link library
// is compiled once and linked against either.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include <libusb.h>

#include "clock/virtual_clock.h"
#include "printer/usb_descriptors.h"
#include "usb_bus.h"

struct libusb_device {
    std::shared_ptr<emu::EmulatedDevice> device;
    int refs = 1;
};

struct libusb_device_handle {
    std::shared_ptr<emu::EmulatedDevice> device;
    bool claimed = false;
    bool auto_detach = false;
    libusb_device self{device, 0};  // what libusb_get_device hands out; the handle keeps it
};

// A context of its own (libusb_init with a context pointer): what a hotplug
// caller registered, and the events waiting for its next handling.
struct libusb_context {
    struct Callback {
        libusb_hotplug_callback_handle handle;
        int events;
        int vendor_id, product_id;
        libusb_hotplug_callback_fn fn;
        void* user_data;
    };
    using Event = emu::HotplugEvent;
    std::vector<Callback> callbacks;  // behind the bus's mutex
    std::deque<Event> pending;        // these two behind the bus's events mutex
    bool interrupted = false;
    libusb_hotplug_callback_handle next_handle = 1;
};

namespace emu {

double WireSpeed::transfer_us(std::size_t bytes) const
{
    const double packets = std::max(1.0, std::ceil(static_cast<double>(bytes) / packet_bytes));
    return std::max(frame_ms, packets / packets_per_ms) * 1000.0;
}

UsbBus& UsbBus::instance()
{
    static UsbBus bus;
    return bus;
}

std::recursive_mutex& UsbBus::mutex()
{
    static std::recursive_mutex bus_mutex;
    return bus_mutex;
}

void UsbBus::reset()
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    devices_.clear();
    fail_init = false;
    fail_device_list = false;
    version_major = 1;
    version_minor = 0;
    version_micro = 26;
    version_nano = 11724;
    counters = LibraryCounters{};
    misuse.clear();
    hotplug = true;
    {
        const std::lock_guard<std::mutex> events(events_mutex_);
        contexts_.clear();  // any left were counted as not ended
    }
    last_root_port_.clear();
}

void UsbBus::tell_contexts(const std::shared_ptr<EmulatedDevice>& device, bool arrived)
{
    {
        const std::lock_guard<std::mutex> events(events_mutex_);
        for (libusb_context* context : contexts_)
            if (!context->callbacks.empty())
                context->pending.push_back(libusb_context::Event{device, arrived});
    }
    events_changed_.notify_all();
}

void UsbBus::gone(const std::shared_ptr<EmulatedDevice>& device)
{
    if (!device->attached)
        return;
    device->attached = false;
    tell_contexts(device, false);
}

void UsbBus::add_context(libusb_context* context)
{
    const std::lock_guard<std::mutex> events(events_mutex_);
    contexts_.push_back(context);
}

void UsbBus::remove_context(libusb_context* context)
{
    const std::lock_guard<std::mutex> events(events_mutex_);
    contexts_.erase(std::remove(contexts_.begin(), contexts_.end(), context), contexts_.end());
}

bool UsbBus::has_context(const libusb_context* context) const
{
    const std::lock_guard<std::mutex> events(events_mutex_);
    return std::find(contexts_.begin(), contexts_.end(), context) != contexts_.end();
}

bool UsbBus::interrupt_context(libusb_context* context)
{
    {
        const std::lock_guard<std::mutex> events(events_mutex_);
        if (std::find(contexts_.begin(), contexts_.end(), context) == contexts_.end())
            return false;
        context->interrupted = true;
    }
    events_changed_.notify_all();
    return true;
}

bool UsbBus::wait_for_events(libusb_context* context, unsigned real_ms, std::deque<HotplugEvent>* taken,
                             const int* completed)
{
    std::unique_lock<std::mutex> events(events_mutex_);
    const auto ready = [&] { return !context->pending.empty() || context->interrupted || (completed && *completed); };
    if (!ready() && real_ms > 0)
        events_changed_.wait_for(events, std::chrono::milliseconds(real_ms), ready);
    if (!ready())
        return false;
    context->interrupted = false;
    taken->swap(context->pending);
    return true;
}

std::shared_ptr<EmulatedDevice> UsbBus::attach(const DeviceSpec& spec, std::shared_ptr<Printer> printer)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    auto device = std::make_shared<EmulatedDevice>();
    device->spec = spec;
    device->printer = std::move(printer);
    if (device->printer)
        device->printer->set_clock([] { return VirtualClock::elapsed_ms(); });
    std::uint8_t& last_port = last_root_port_[spec.bus];
    for (const auto& other : devices_)
        if (other->spec.bus == spec.bus && !other->spec.ports.empty())
            last_port = std::max(last_port, other->spec.ports.front());
    if (device->spec.ports.empty())
        device->spec.ports.push_back(++last_port);
    devices_.push_back(device);
    tell_contexts(device, true);
    return device;
}

std::shared_ptr<Printer> UsbBus::attach_printer(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus,
                                                std::uint8_t address)
{
    const Identity identity = printer_identity(vendor_id, product_id, bus, address);
    auto printer = std::make_shared<Printer>(identity.endpoints);
    attach(identity, printer);
    return printer;
}

void UsbBus::detach(const std::shared_ptr<EmulatedDevice>& device)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (device->printer)
        device->printer->unplug();
    gone(device);
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
}

void UsbBus::detach_all()
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    while (!devices_.empty())
        detach(devices_.front());
}

std::vector<std::shared_ptr<EmulatedDevice>> UsbBus::devices() const
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    return devices_;
}

std::shared_ptr<EmulatedDevice> UsbBus::find(const Printer* printer) const
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    for (const auto& device : devices_)
        if (device->printer.get() == printer)
            return device;
    return nullptr;
}

}  // namespace emu

namespace {

emu::UsbBus& bus()
{
    return emu::UsbBus::instance();
}

// A device is reachable while it is plugged in and its printer has not vanished.
bool reachable(const emu::EmulatedDevice& device)
{
    return device.attached && (!device.printer || device.printer->present());
}

// libusb's code for each emu::Status, in the order of the enumeration.
constexpr int libusb_codes[] = {LIBUSB_SUCCESS,         LIBUSB_ERROR_TIMEOUT,  LIBUSB_ERROR_PIPE,
                                LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_IO};

libusb_device_handle* new_handle(const std::shared_ptr<emu::EmulatedDevice>& device)
{
    ++device->opens;
    ++bus().counters.live_handles;
    return new libusb_device_handle{device, false, false, libusb_device{device, 0}};
}

// A call a careful caller never makes, noted under the bus's lock.
void note_misuse(const std::string& what)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    bus().misuse.push_back(what);
}

// Waits until the device's link has carried `bytes` after what it carried before.
void take_wire_time(emu::EmulatedDevice& device, std::size_t bytes)
{
    const auto now = std::chrono::steady_clock::now();
    const auto busy = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::micro>(device.wire->transfer_us(bytes)));
    device.wire_free = std::max(now, device.wire_free) + busy;
    std::this_thread::sleep_until(device.wire_free);
}

bool matches(const libusb_context::Callback& callback, const emu::EmulatedDevice& device)
{
    return (callback.vendor_id == LIBUSB_HOTPLUG_MATCH_ANY || callback.vendor_id == device.spec.vendor_id) &&
           (callback.product_id == LIBUSB_HOTPLUG_MATCH_ANY || callback.product_id == device.spec.product_id);
}

void check_default_context(libusb_context* ctx, const char* call)
{
    if (ctx)
        bus().misuse.push_back(std::string(call) + " on a context other than the default one");
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    ++bus().counters.inits;
    if (bus().fail_init)
        return LIBUSB_ERROR_OTHER;
    if (ctx) {
        *ctx = new libusb_context;
        bus().add_context(*ctx);
        ++bus().counters.live_contexts;
        return LIBUSB_SUCCESS;
    }
    ++bus().counters.default_context_refs;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (ctx) {
        ++bus().counters.exits;
        if (!bus().has_context(ctx)) {
            bus().misuse.push_back("libusb_exit on a context that was not made");
            return;
        }
        bus().counters.hotplug_callbacks -= static_cast<int>(ctx->callbacks.size());
        bus().remove_context(ctx);
        --bus().counters.live_contexts;
        delete ctx;
        return;
    }
    ++bus().counters.exits;
    if (bus().counters.default_context_refs == 0) {
        ++bus().counters.unmatched_exits;
        bus().misuse.push_back("libusb_exit without a matching libusb_init");
        return;
    }
    --bus().counters.default_context_refs;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    static std::unique_ptr<libusb_version> version;
    version.reset(new libusb_version{
        static_cast<uint16_t>(bus().version_major), static_cast<uint16_t>(bus().version_minor),
        static_cast<uint16_t>(bus().version_micro), static_cast<uint16_t>(bus().version_nano), "", "emulated"});
    return version.get();
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (ctx ? !bus().has_context(ctx) : bus().counters.default_context_refs == 0)
        bus().misuse.push_back("libusb_get_device_list before libusb_init");
    if (bus().fail_device_list)
        return LIBUSB_ERROR_NO_MEM;
    // Newest first: libusb builds its list by putting each device it finds
    // in front of those it already has.
    std::vector<std::shared_ptr<emu::EmulatedDevice>> present;
    const auto all = bus().devices();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (reachable(**it))
            present.push_back(*it);
    auto** array = new libusb_device*[present.size() + 1];
    for (std::size_t i = 0; i < present.size(); ++i)
        array[i] = new libusb_device{present[i], 1};
    array[present.size()] = nullptr;
    *list = array;
    ++bus().counters.live_device_lists;
    return static_cast<ssize_t>(present.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (!list)
        return;
    if (unref_devices) {
        for (libusb_device** p = list; *p; ++p)
            if (--(*p)->refs == 0)
                delete *p;
    } else {
        bus().misuse.push_back("libusb_free_device_list without unref: the devices leak");
    }
    delete[] list;
    --bus().counters.live_device_lists;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    const emu::EmulatedDevice& device = *dev->device;
    if (device.fail_descriptor)
        return LIBUSB_ERROR_IO;
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = device.spec.vendor_id;
    desc->idProduct = device.spec.product_id;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = device.spec.manufacturer.empty() ? 0 : 1;
    desc->iProduct = device.spec.product.empty() ? 0 : 2;
    desc->iSerialNumber = device.spec.serial.empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    return dev->device->spec.bus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    return dev->device->spec.address;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    const std::vector<std::uint8_t>& ports = dev->device->spec.ports;
    if (port_numbers_len <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (ports.size() > static_cast<std::size_t>(port_numbers_len))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(ports.begin(), ports.end(), port_numbers);
    return static_cast<int>(ports.size());
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (dev && --dev->refs == 0)
        delete dev;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    return capability == LIBUSB_CAP_HAS_CAPABILITY || (capability == LIBUSB_CAP_HAS_HOTPLUG && bus().hotplug);
}

// Hotplug, on a context of its own.  As the real library: with
// LIBUSB_HOTPLUG_ENUMERATE the callback hears of every device there now
// before this returns; later events reach it from the handling of the
// context's events, on the thread that handles them.
int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                                 int product_id, int /*dev_class*/, libusb_hotplug_callback_fn cb_fn,
                                                 void* user_data, libusb_hotplug_callback_handle* callback_handle)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (!bus().hotplug)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    if (!ctx || !bus().has_context(ctx)) {
        bus().misuse.push_back("libusb_hotplug_register_callback without a context of its own");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const libusb_context::Callback callback{ctx->next_handle++, events, vendor_id, product_id, cb_fn, user_data};
    if (callback_handle)
        *callback_handle = callback.handle;
    ++bus().counters.hotplug_callbacks;
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)) {
        const auto all = bus().devices();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            const auto& device = *it;
            if (!reachable(*device) || !matches(callback, *device))
                continue;
            libusb_device* dev = new libusb_device{device, 1};
            const int done = cb_fn(ctx, dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user_data);
            libusb_unref_device(dev);
            if (done) {
                --bus().counters.hotplug_callbacks;
                return LIBUSB_SUCCESS;
            }
        }
    }
    ctx->callbacks.push_back(callback);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx, libusb_hotplug_callback_handle callback_handle)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (!ctx || !bus().has_context(ctx))
        return;
    auto& all = ctx->callbacks;
    const auto kept = std::remove_if(all.begin(), all.end(),
                                     [&](const libusb_context::Callback& c) { return c.handle == callback_handle; });
    bus().counters.hotplug_callbacks -= static_cast<int>(all.end() - kept);
    all.erase(kept, all.end());
    bus().interrupt_context(ctx);  // as the real library, which wakes the event handler
}

// As the real library's, it waits for no transfer: it takes no lock of the bus.
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx)
{
    if (ctx)
        bus().interrupt_context(ctx);
}

// Waits for the context's next events and hands them to its callbacks.  A
// wait costs virtual time, not real time: when nothing has come after a
// moment of real time (an event from another thread, an interrupt), the
// virtual clock moves on by the whole time-out and the call returns.
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed)
{
    if (!ctx || !bus().has_context(ctx)) {
        const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
        bus().misuse.push_back("libusb_handle_events_timeout_completed without a context of its own");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const std::uint64_t timeout_ms =
        tv ? static_cast<std::uint64_t>(tv->tv_sec) * 1000u + static_cast<std::uint64_t>(tv->tv_usec) / 1000u : 60000u;
    std::deque<libusb_context::Event> taken;
    if (!bus().wait_for_events(ctx, timeout_ms > 0 ? 1 : 0, &taken, completed)) {
        emu::VirtualClock::advance(timeout_ms);
        return LIBUSB_SUCCESS;
    }
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    while (!taken.empty()) {
        const libusb_context::Event event = taken.front();
        taken.pop_front();
        const int kind = event.arrived ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
        const std::vector<libusb_context::Callback> callbacks = ctx->callbacks;
        for (const libusb_context::Callback& callback : callbacks) {
            if (!(callback.events & kind) || !matches(callback, *event.device))
                continue;
            libusb_device* dev = new libusb_device{event.device, 1};
            const int done = callback.fn(ctx, dev, static_cast<libusb_hotplug_event>(kind), callback.user_data);
            libusb_unref_device(dev);
            if (done)
                libusb_hotplug_deregister_callback(ctx, callback.handle);
        }
    }
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                                  uint16_t product_id)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    check_default_context(ctx, "libusb_open_device_with_vid_pid");
    if (bus().counters.default_context_refs == 0)
        bus().misuse.push_back("libusb_open_device_with_vid_pid before libusb_init");
    // The first in list order, so newest first.
    const auto all = bus().devices();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        const auto& device = *it;
        if (!reachable(*device) || device->spec.vendor_id != vendor_id || device->spec.product_id != product_id)
            continue;
        errno = device->open_errno;
        return device->open_errno || device->no_driver ? nullptr : new_handle(device);
    }
    return nullptr;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle)
{
    return &handle->self;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    const emu::EmulatedDevice& device = *dev->device;
    if (!device.printer || !device.printer->serves(endpoint))
        return LIBUSB_ERROR_NOT_FOUND;
    return static_cast<int>(device.printer->max_packet());
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (bus().counters.default_context_refs == 0)
        bus().misuse.push_back("libusb_open before libusb_init");
    const auto& device = dev->device;
    if (!reachable(*device))
        return LIBUSB_ERROR_NO_DEVICE;
    if (device->no_driver)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    switch (device->open_errno) {
    case 0:
        *dev_handle = new_handle(device);
        return LIBUSB_SUCCESS;
    case EACCES:
    case EPERM:
        return LIBUSB_ERROR_ACCESS;
    case ENODEV:
        return LIBUSB_ERROR_NO_DEVICE;
    case ENOMEM:
        return LIBUSB_ERROR_NO_MEM;
    default:
        return LIBUSB_ERROR_IO;
    }
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (!handle)
        return;
    if (handle->claimed) {
        --handle->device->claimed_by_others;
        --bus().counters.claimed_interfaces;
    }
    --bus().counters.live_handles;
    delete handle;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    handle->auto_detach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    emu::EmulatedDevice& device = *handle->device;
    if (!reachable(device))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (device.fail_claim)
        return LIBUSB_ERROR_BUSY;
    if (device.kernel_driver_bound && !handle->auto_detach)
        return LIBUSB_ERROR_BUSY;
    if (!handle->claimed && device.claimed_by_others > 0)
        return LIBUSB_ERROR_BUSY;  // another handle holds the interface
    if (handle->auto_detach)
        ++bus().counters.auto_detach_before_claim;
    if (!handle->claimed) {
        handle->claimed = true;
        ++device.claimed_by_others;
        ++bus().counters.claimed_interfaces;
    }
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (interface_number != 0 || !handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    --handle->device->claimed_by_others;
    --bus().counters.claimed_interfaces;
    return reachable(*handle->device) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t desc_index,
                                                   unsigned char* data, int length)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    if (desc_index == 0 || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const emu::EmulatedDevice& device = *handle->device;
    if (!reachable(device))
        return LIBUSB_ERROR_NO_DEVICE;
    if (device.fail_strings)
        return LIBUSB_ERROR_PIPE;
    // The descriptor the device would send; the device stalls a request for
    // a string it does not have.
    const emu::usb::Bytes descriptor = emu::printer_string(device.spec, desc_index);
    if (descriptor.empty())
        return LIBUSB_ERROR_PIPE;
    // As the real function: one character per UTF-16 unit, '?' for every unit
    // outside ASCII, at most length - 1 characters and a terminating NUL.
    int out = 0;
    for (std::size_t i = 2; i + 1 < descriptor.size() && out < length - 1; i += 2)
        data[out++] = (descriptor[i] & 0x80) || descriptor[i + 1] ? '?' : descriptor[i];
    data[out] = '\0';
    return out;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout)
{
    std::unique_lock<std::recursive_mutex> bus_lock(emu::UsbBus::mutex(), std::defer_lock);
    std::unique_lock<std::mutex> device_lock;
    if (!bus().independent_devices)
        bus_lock.lock();
    *transferred = 0;
    if (!handle) {
        note_misuse("bulk transfer on a null handle");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    emu::EmulatedDevice& device = *handle->device;
    if (!bus_lock.owns_lock())
        device_lock = std::unique_lock<std::mutex>(device.own_mutex);
    if (!reachable(device)) {
        bus().gone(handle->device);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!handle->claimed)
        note_misuse("bulk transfer on an unclaimed interface");
    if (!device.printer)
        return LIBUSB_ERROR_IO;
    if (timeout == 0)
        note_misuse("bulk transfer without a time-out");
    if (length < 0)
        return LIBUSB_ERROR_INVALID_PARAM;

    const auto size = static_cast<std::size_t>(length);
    const emu::TransferResult result = (endpoint & LIBUSB_ENDPOINT_IN)
                                           ? device.printer->bulk_in(endpoint, data, size, timeout)
                                           : device.printer->bulk_out(endpoint, data, size, timeout);
    if (result.status == emu::Status::timeout) {
        emu::VirtualClock::advance(timeout);
    } else if (result.status == emu::Status::ok) {
        auto cost = device.transfer_ms.find(endpoint);
        if (cost != device.transfer_ms.end())
            emu::VirtualClock::advance(cost->second);
        if (device.wire)
            take_wire_time(device, result.actual);
    }
    if (result.status == emu::Status::no_device)
        bus().gone(handle->device);
    *transferred = static_cast<int>(result.actual);
    return libusb_codes[static_cast<int>(result.status)];
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint)
{
    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
    emu::EmulatedDevice& device = *handle->device;
    if (!reachable(device))
        return LIBUSB_ERROR_NO_DEVICE;
    if (device.printer)
        device.printer->clear_halt(endpoint);
    return LIBUSB_SUCCESS;
}

}  // extern "C"

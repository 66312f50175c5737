// The monitor of plugged printers: hotplug events on a context of its own,
// or a look at the bus at intervals; the settle time on the platform clock.
#include "com/usb_monitor.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include <libusb.h>

#include "com/result.h"
#include "link_detail.h"
#include "platform/platform.h"

namespace com {

namespace {

bool same_device(const UsbPrinterRecord& a, const UsbPrinterRecord& b)
{
    return a.device.bus_number == b.device.bus_number && a.device.device_address == b.device.device_address &&
           a.device.info.vendor_id == b.device.info.vendor_id && a.device.info.product_id == b.device.info.product_id;
}

// Milliseconds from `since` to `now` on the wrapping tick counter.
std::uint32_t ticks_between(std::uint32_t since, std::uint32_t now)
{
    return now - since;
}

}  // namespace

struct UsbMonitor::State {
    struct Attached {
        UsbPrinterRecord printer;
        std::uint32_t arrived_at = 0;
        bool settled = false;
    };

    explicit State(const Options& options) : options(options) {}

    // What the hotplug callback saw, handled by the waiting thread.
    void heard(const UsbPrinterRecord& printer, bool arrived)
    {
        if (arrived) {
            attached.push_back(Attached{printer, platform::tick_count(), false});
            changes.push_back(Change{Kind::arrived, printer});
            return;
        }
        const auto it = std::find_if(attached.begin(), attached.end(),
                                     [&](const Attached& a) { return same_device(a.printer, printer); });
        if (it == attached.end())
            return;  // not a printer it told of
        changes.push_back(Change{Kind::left, it->printer});
        attached.erase(it);
    }

    static int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self)
    {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
            !find_supported_device(descriptor.idVendor, descriptor.idProduct))
            return 0;
        UsbPrinterRecord printer{};
        printer.device.bus_number = libusb_get_bus_number(device);
        printer.device.device_address = libusb_get_device_address(device);
        printer.device.info.vendor_id = descriptor.idVendor;
        printer.device.info.product_id = descriptor.idProduct;
        printer.port = detail::port_path_of(device);
        static_cast<State*>(self)->heard(printer, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0;
    }

    // One look at the bus: what is new arrived, what is missing left.  A
    // look that fails changes nothing; the next one tries again.
    int look()
    {
        looked_at = platform::tick_count();
        std::vector<UsbPrinterRecord> now;
        const int code = ComFactory().scan_usb_printers(&now);
        if (code != COM_SUCCESS)
            return code;
        std::vector<UsbPrinterRecord> gone;
        for (const Attached& a : attached)
            if (std::none_of(now.begin(), now.end(),
                             [&](const UsbPrinterRecord& p) { return same_device(p, a.printer); }))
                gone.push_back(a.printer);
        for (const UsbPrinterRecord& p : gone)
            heard(p, false);
        // The list comes newest first: the oldest arrival is told first.
        for (auto it = now.rbegin(); it != now.rend(); ++it)
            if (std::none_of(attached.begin(), attached.end(),
                             [&](const Attached& a) { return same_device(a.printer, *it); }))
                heard(*it, true);
        return COM_SUCCESS;
    }

    // Those there for the settle time are settled; the time until the next
    // one is, at most `longest`.  Looking, the bus is looked at first, so
    // that a printer unplugged since the last look is not told as settled.
    unsigned settle(unsigned longest)
    {
        if (!hotplug && std::any_of(attached.begin(), attached.end(), [&](const Attached& a) {
                return !a.settled && ticks_between(a.arrived_at, platform::tick_count()) >= options.settle_ms;
            }))
            look();
        const std::uint32_t now = platform::tick_count();
        unsigned next = longest;
        for (Attached& a : attached) {
            if (a.settled)
                continue;
            const std::uint32_t there = ticks_between(a.arrived_at, now);
            if (there >= options.settle_ms) {
                a.settled = true;
                changes.push_back(Change{Kind::settled, a.printer});
            } else {
                next = std::min(next, static_cast<unsigned>(options.settle_ms - there));
            }
        }
        return next;
    }

    Options options;
    bool started = false;
    bool hotplug = false;
    libusb_context* context = nullptr;
    libusb_hotplug_callback_handle callback = 0;
    std::uint32_t looked_at = 0;
    std::vector<Attached> attached;
    std::vector<Change> changes;

    // Waking: the flag, and for the looks the condition they wait on.
    std::atomic<bool> woken{false};
    std::mutex wake_mutex;
    std::condition_variable wake_condition;
};

UsbMonitor::UsbMonitor(const Options& options) : state(std::make_unique<State>(options)) {}

UsbMonitor::UsbMonitor() : UsbMonitor(Options{}) {}

UsbMonitor::~UsbMonitor()
{
    if (state->context) {
        if (state->hotplug)
            libusb_hotplug_deregister_callback(state->context, state->callback);
        libusb_exit(state->context);
    }
}

int UsbMonitor::start()
{
    State& s = *state;
    if (s.started)
        return COM_SUCCESS;
    if (s.options.hotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        if (libusb_init(&s.context) < 0) {
            s.context = nullptr;
            return COM_ERR_INIT_LIB;
        }
        const int registered = libusb_hotplug_register_callback(
            s.context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE,
            LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &State::on_hotplug, &s,
            &s.callback);
        if (registered == LIBUSB_SUCCESS) {
            s.hotplug = true;
            s.started = true;
            return COM_SUCCESS;
        }
        // Said to be there, but refused: look instead.
        libusb_exit(s.context);
        s.context = nullptr;
    }
    const int code = s.look();
    s.started = code == COM_SUCCESS;
    return code;
}

bool UsbMonitor::uses_hotplug() const
{
    return state->hotplug;
}

void UsbMonitor::wait(unsigned timeout_ms, std::vector<Change>* out)
{
    State& s = *state;
    const std::uint32_t began = platform::tick_count();
    for (;;) {
        const std::uint32_t waited = ticks_between(began, platform::tick_count());
        unsigned left = waited >= timeout_ms ? 0 : timeout_ms - waited;
        if (s.started && !s.hotplug) {
            const std::uint32_t since_look = ticks_between(s.looked_at, platform::tick_count());
            if (since_look >= s.options.poll_ms)
                s.look();
            else
                left = std::min(left, static_cast<unsigned>(s.options.poll_ms - since_look));
        }
        left = s.settle(left);
        if (!s.changes.empty() || s.woken.exchange(false) || waited >= timeout_ms || !s.started)
            break;
        if (s.hotplug) {
            timeval tv{static_cast<decltype(tv.tv_sec)>(left / 1000),
                       static_cast<decltype(tv.tv_usec)>(left % 1000) * 1000};
            libusb_handle_events_timeout_completed(s.context, &tv, nullptr);
        } else {
            std::unique_lock<std::mutex> lock(s.wake_mutex);
            platform::wait_ready(s.wake_condition, lock, left, [&s] { return s.woken.load(); });
        }
    }
    out->insert(out->end(), s.changes.begin(), s.changes.end());
    s.changes.clear();
}

void UsbMonitor::wake()
{
    State& s = *state;
    {
        std::lock_guard<std::mutex> lock(s.wake_mutex);
        s.woken = true;
    }
    s.wake_condition.notify_all();
    if (s.hotplug)
        libusb_interrupt_event_handler(s.context);
}

}  // namespace com

#include "printer_emulator.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include <umockdev.h>

#include "printer/store.h"
#include "sysfs_records.h"

namespace emu {

namespace {

constexpr std::uint8_t first_auto_address = 5;
// How long an appearance that left the bus and has no client is kept, for a
// program that opened its node just before it left and has not yet connected.
constexpr std::uint64_t leaving_grace_ms = 1000;
constexpr unsigned retire_every_ms = 250;

bool add_record(UMockdevTestbed* testbed, const std::string& record, std::string* error)
{
    GError* failure = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &failure))
        return true;
    *error = std::string("cannot add the device: ") + failure->message;
    g_error_free(failure);
    return false;
}

}  // namespace

PrinterEmulator::PrinterEmulator(UMockdevTestbed* testbed, bool verbose)
    : testbed_(testbed), verbose_(verbose), start_ms_(steady_ms())
{
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

PrinterEmulator::~PrinterEmulator()
{
    if (retire_source_)
        g_source_remove(retire_source_);
    for (const auto& node : nodes_)
        node->detach(testbed_);
}

// ---------------------------------------------------------------- plugging

std::uint8_t PrinterEmulator::next_address(std::uint8_t bus)
{
    std::set<unsigned> used{1};
    for (const auto& d : devices_)
        if (d->node && d->identity.bus == bus)
            used.insert(d->identity.address);
    for (const Hub& hub : hubs_)
        if (hub.bus == bus)
            used.insert(hub.address);
    unsigned candidate = std::max<unsigned>(first_auto_address - 1, last_address_[bus]);
    for (int tries = 0; tries < 127; ++tries) {
        candidate = candidate >= 127 ? 2 : candidate + 1;
        if (!used.count(candidate))
            return static_cast<std::uint8_t>(candidate);
    }
    return 0;
}

// A new printer: its number (1, 2, ...) in `id`, or 0 and why not.
std::string PrinterEmulator::plug_new(const PrinterRequest& request, int* id)
{
    auto device = std::make_unique<Device>();
    device->request = request;
    std::uint8_t address = request.address;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device->id = static_cast<int>(devices_.size()) + 1;
        if (address == 0)
            address = next_address(request.bus);
    }
    // The serial follows the address the printer first appears at, as the
    // in-process bus names it.
    device->identity = printer_identity(request, address);
    if (device->identity.ports.empty()) {
        // The root hub's port after the last one in use on this bus.
        unsigned port = 1;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& d : devices_)
            if (d->identity.bus == request.bus && !d->identity.ports.empty())
                port = std::max<unsigned>(port, d->identity.ports.front() + 1u);
        for (const Hub& hub : hubs_)
            if (hub.bus == request.bus)
                port = std::max<unsigned>(port, hub.ports.front() + 1u);
        device->identity.ports.push_back(static_cast<std::uint8_t>(std::min(port, 255u)));
    }
    device->printer = std::make_shared<Printer>(device->identity.endpoints);
    device->printer->set_clock([start = start_ms_] { return steady_ms() - start; });
    Device& d = *device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(std::move(device));
    }
    std::string error;
    *id = plug(d, address, &error) ? d.id : 0;
    return error;
}

bool PrinterEmulator::plug(Device& d, std::uint8_t address, std::string* error)
{
    const std::uint8_t bus = d.identity.bus;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (d.node) {
            *error = "printer " + std::to_string(d.id) + " is plugged in";
            return false;
        }
        if (address == 0)
            address = next_address(bus);
        for (const auto& other : devices_) {
            if (other.get() != &d && other->node && other->identity.bus == bus && other->identity.address == address) {
                *error = "address " + std::to_string(address) + " on bus " + std::to_string(bus) + " is taken";
                return false;
            }
        }
        if (address == 0) {
            *error = "no free address on bus " + std::to_string(bus);
            return false;
        }
        *error = port_refusal(d);
        if (!error->empty())
            return false;
        d.identity.address = address;
        last_address_[bus] = std::max(last_address_[bus], address);
    }
    add_hubs(d.identity);

    auto node = std::make_unique<UsbfsNode>(mutex_, d.printer, d.identity, verbose_,
                                            [this](UsbfsNode& gone) { vanished(gone); });
    const std::string syspath = printer_syspath(d.identity);
    if (!add_record(testbed_, printer_record(d.identity), error))
        return false;
    // An earlier appearance at the same address hands its node over.
    for (const auto& old : nodes_)
        if (old->devnode() == node->devnode())
            old->detach(testbed_);
    if (!node->attach(testbed_, root_, error)) {
        remove_from_sysfs(syspath);
        return false;
    }
    in_sysfs_[node.get()] = syspath;

    {
        std::lock_guard<std::mutex> lock(mutex_);
        d.node = node.get();
        d.printer->plug_back();
        nodes_.push_back(std::move(node));
    }
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: printer %d plugged in at %s\n", d.id, d.node->devnode().c_str());
    return true;
}

namespace {

std::string path_text(std::uint8_t bus, const std::vector<std::uint8_t>& ports)
{
    std::string text = std::to_string(bus) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i)
        text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

// Whether `prefix` is `path` or on the way to it.
bool leads_to(const std::vector<std::uint8_t>& prefix, const std::vector<std::uint8_t>& path)
{
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace

std::string PrinterEmulator::port_refusal(const Device& d) const
{
    const Identity& at = d.identity;
    for (const Hub& hub : hubs_)
        if (hub.bus == at.bus && hub.ports == at.ports)
            return "port " + path_text(at.bus, at.ports) + " holds a hub";
    for (const auto& other : devices_) {
        if (other.get() == &d || !other->node || other->identity.bus != at.bus)
            continue;
        if (other->identity.ports == at.ports)
            return "port " + path_text(at.bus, at.ports) + " is taken";
        if (other->identity.ports.size() < at.ports.size() && leads_to(other->identity.ports, at.ports))
            return "port " + path_text(at.bus, other->identity.ports) + " holds a printer, not a hub";
    }
    return std::string();
}

void PrinterEmulator::add_hubs(const Identity& identity)
{
    const std::uint8_t bus = identity.bus;
    if (std::find(root_hubs_.begin(), root_hubs_.end(), bus) == root_hubs_.end()) {
        std::string failure;
        if (!add_record(testbed_, root_hub_record(bus), &failure))
            std::fprintf(stderr, "zarvik-printer-emulator: root hub of bus %u: %s\n", bus, failure.c_str());
        root_hubs_.push_back(bus);
    }
    for (std::size_t depth = 1; depth < identity.ports.size(); ++depth) {
        Hub hub;
        hub.bus = bus;
        hub.ports.assign(identity.ports.begin(), identity.ports.begin() + static_cast<long>(depth));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (std::any_of(hubs_.begin(), hubs_.end(),
                            [&](const Hub& h) { return h.bus == bus && h.ports == hub.ports; }))
                continue;
            hub.address = next_address(bus);
            last_address_[bus] = std::max(last_address_[bus], hub.address);
            hubs_.push_back(hub);
        }
        std::string failure;
        if (!add_record(testbed_, hub_record(bus, hub.ports, hub.address), &failure))
            std::fprintf(stderr, "zarvik-printer-emulator: hub at %s: %s\n", path_text(bus, hub.ports).c_str(),
                         failure.c_str());
        else if (verbose_)
            std::fprintf(stderr, "zarvik-printer-emulator: hub at %s, address %u\n", path_text(bus, hub.ports).c_str(),
                         hub.address);
    }
}

void PrinterEmulator::remove_from_sysfs(const std::string& syspath)
{
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

void PrinterEmulator::remove_from_sysfs(UsbfsNode* node)
{
    const auto listed = in_sysfs_.find(node);
    if (listed == in_sysfs_.end())
        return;
    remove_from_sysfs(listed->second);
    in_sysfs_.erase(listed);
    leaving_.push_back(Leaving{node, steady_ms(), false});
    if (!retire_source_)
        retire_source_ = g_timeout_add(
            retire_every_ms,
            [](gpointer self) -> gboolean {
                auto* emulator = static_cast<PrinterEmulator*>(self);
                if (emulator->retire())
                    return G_SOURCE_CONTINUE;
                emulator->retire_source_ = 0;
                return G_SOURCE_REMOVE;
            },
            this);
}

// An appearance is first detached (no new client can connect), and let go on
// a later round if still no client uses it: a connection umockdev accepted
// just before the detach has shown by then.
bool PrinterEmulator::retire()
{
    const std::uint64_t now = steady_ms();
    std::vector<UsbfsNode*> detach;
    std::vector<std::unique_ptr<UsbfsNode>> done;  // let go once the mutex is free: a node takes it as it goes
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = leaving_.begin(); it != leaving_.end();) {
            if (now - it->since_ms < leaving_grace_ms || !it->node->unused()) {
                ++it;
            } else if (!it->detached) {
                it->detached = true;
                detach.push_back(it->node);
                ++it;
            } else {
                const UsbfsNode* gone = it->node;
                const auto found =
                    std::find_if(nodes_.begin(), nodes_.end(),
                                 [gone](const std::unique_ptr<UsbfsNode>& n) { return n.get() == gone; });
                done.push_back(std::move(*found));
                nodes_.erase(found);
                it = leaving_.erase(it);
            }
        }
    }
    for (UsbfsNode* node : detach)
        node->detach(testbed_);
    return !leaving_.empty();
}

std::string PrinterEmulator::unplug(int id)
{
    UsbfsNode* node = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Device* d = find(id);
        if (!d)
            return "no printer " + std::to_string(id);
        if (!d->node)
            return "printer " + std::to_string(id) + " is not plugged in";
        node = d->node;
        d->node = nullptr;
        d->printer->unplug();
        node->unplug();
    }
    remove_from_sysfs(node);
    if (verbose_)
        std::fprintf(stderr, "zarvik-printer-emulator: printer %d unplugged\n", id);
    return std::string();
}

// Worker thread, mutex held: the printer left the bus during a transfer.
void PrinterEmulator::vanished(UsbfsNode& node)
{
    for (const auto& d : devices_)
        if (d->node == &node)
            d->node = nullptr;
    vanished_.push_back(&node);
    g_idle_add(
        [](gpointer self) -> gboolean {
            static_cast<PrinterEmulator*>(self)->remove_vanished();
            return G_SOURCE_REMOVE;
        },
        this);
}

void PrinterEmulator::remove_vanished()
{
    std::vector<UsbfsNode*> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(vanished_);
    }
    for (UsbfsNode* node : gone)
        remove_from_sysfs(node);
}

// ---------------------------------------------------------------- the control language's bus

PrinterEmulator::Device* PrinterEmulator::find(int id)
{
    return id >= 1 && static_cast<std::size_t>(id) <= devices_.size() ? devices_[id - 1].get() : nullptr;
}

std::vector<control::Bus::Entry> PrinterEmulator::printers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> out;
    for (const auto& d : devices_)
        out.push_back(Entry{d->id, d->identity, d->node != nullptr});
    return out;
}

bool PrinterEmulator::with_printer(int id, const std::function<bool(Printer&)>& act)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Device* d = find(id);
    if (!d)
        return false;
    if (act(*d->printer) && d->node)
        d->node->wake_waiting();
    return true;
}

std::string PrinterEmulator::plug_back(int id, std::uint8_t address)
{
    Device* d = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        d = find(id);
    }
    std::string error = d ? std::string() : "no printer " + std::to_string(id);
    if (d)
        plug(*d, address, &error);
    return error;
}

bool PrinterEmulator::write_store(const std::string& dir, std::string* error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<int, const Printer*>> printers;
    for (const auto& d : devices_)
        printers.emplace_back(d->id, d->printer.get());
    return emu::write_store(dir, printers, error);
}

}  // namespace emu

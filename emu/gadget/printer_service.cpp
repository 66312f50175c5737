#include "printer_service.h"

#include <algorithm>

namespace emu {
namespace gadget {

PrinterService::PrinterService(const Identity& identity) : identity_(identity), printer_(identity.endpoints)
{
    identity_.bus = 0;
    identity_.address = 0;
    printer_.set_clock(steady_ms);
}

bool PrinterService::take(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    printer_.bulk_out(endpoint, data, length, 0);
    replies_.notify_all();
    return printer_.present();
}

bool PrinterService::next_reply(std::vector<std::uint8_t>& chunk, std::size_t capacity)
{
    const std::uint8_t endpoint = printer_.endpoints().cmd_in;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        replies_.wait(lock, [&] { return stopped_ || !printer_.in_transfer_would_wait(endpoint); });
        if (stopped_ || !printer_.present())
            return false;
        chunk.resize(capacity);
        const TransferResult result = printer_.bulk_in(endpoint, chunk.data(), capacity, 0);
        if (result.status == Status::ok) {
            chunk.resize(result.actual);
            return true;
        }
        // A fault the gadget cannot carry over the wire: nothing goes out.
    }
}

std::size_t PrinterService::data_read_size(std::size_t packet, std::size_t largest) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t missing = printer_.upload_missing();
    if (missing == 0)
        return packet;
    const std::uint64_t whole_packets = (missing + packet - 1) / packet * packet;
    return static_cast<std::size_t>(std::min<std::uint64_t>(whole_packets, largest));
}

void PrinterService::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    replies_.notify_all();
}

bool PrinterService::unplug_requested() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unplug_requested_;
}

bool PrinterService::gone() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !printer_.present();
}

std::uint64_t PrinterService::data_bytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return printer_.data_bytes();
}

std::vector<control::Bus::Entry> PrinterService::printers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {Entry{1, identity_, printer_.present() && !unplug_requested_}};
}

bool PrinterService::with_printer(int id, const std::function<bool(Printer&)>& act)
{
    if (id != 1)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (act(printer_))
        replies_.notify_all();
    return true;
}

std::string PrinterService::plug_new(const PrinterRequest&, int*)
{
    return "a gadget is one printer: start another gadget for another";
}

std::string PrinterService::plug_back(int, std::uint8_t)
{
    return "a gadget that was unplugged has ended";
}

std::string PrinterService::unplug(int id)
{
    if (id != 1)
        return "no printer " + std::to_string(id);
    std::lock_guard<std::mutex> lock(mutex_);
    unplug_requested_ = true;
    return std::string();
}

}  // namespace gadget
}  // namespace emu

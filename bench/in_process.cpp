#include "in_process.h"

#include <stdexcept>
#include <string>

#include "libusb/usb_bus.h"
#include "update/target.h"

namespace bench {

std::shared_ptr<emu::Printer> fresh_printer()
{
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.detach_all();
    auto printer = bus.attach_printer(update::target_vendor_id, update::target_product_id);
    printer->set_record_payloads(false);
    return printer;
}

void check_upload(const emu::Printer& printer, std::uint64_t size, const char* what)
{
    if (!printer.violations().empty())
        throw std::runtime_error(std::string(what) + ": the printer saw: " + printer.violations().front());
    const auto it = printer.files().find(remote_path);
    if (it == printer.files().end() || !it->second.complete || it->second.data.size() != size)
        throw std::runtime_error(std::string(what) + ": the printer did not store the whole file");
}

}  // namespace bench

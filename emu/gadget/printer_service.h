// The printer model as the gadget serves it: one emu::Printer behind a lock,
// fed by the endpoint threads and steered by the control language
// (printer/control.h), whose bus here holds this one printer, number 1.
//
// The gadget's endpoint threads block in the kernel while the host is not
// transferring, so time-outs are the host's own: a reply the model does not
// queue is simply never written to the IN endpoint.  The gadget knows neither
// its bus nor its address (the host gives them), so "printers" reports 0 for
// both; "unplug 1" ends the gadget, and plugging is refused.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "printer/control.h"
#include "printer/identity.h"
#include "printer/printer.h"

namespace emu {
namespace gadget {

class PrinterService : public control::Bus {
public:
    explicit PrinterService(const Identity& identity);

    // An OUT transfer the gadget read from `endpoint`.  False when the
    // printer is to go away now (it vanished).
    bool take(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length);

    // Waits until the model has reply bytes for the command IN endpoint and
    // moves up to `capacity` of them into `chunk` (one IN transfer).  False
    // once stop() was called or the printer is gone.
    bool next_reply(std::vector<std::uint8_t>& chunk, std::size_t capacity);

    // How many bytes the next read on the data endpoint asks for: what the
    // upload in progress still lacks, rounded up to whole packets of
    // `packet` bytes and at most `largest`; one packet when no upload runs.
    // A read that asks for more than the host sends would wait for a short
    // packet that never comes when the upload ends on a packet boundary.
    std::size_t data_read_size(std::size_t packet, std::size_t largest) const;

    // Wakes every waiter for good.
    void stop();

    // One control request; the answer line.
    std::string control(const std::string& line) { return control::answer(*this, line); }
    // True once "unplug 1" was asked for.
    bool unplug_requested() const;

    // True once the printer left the bus by a planned fault.
    bool gone() const;
    std::uint64_t data_bytes() const;

    // control::Bus
    std::vector<Entry> printers() override;
    bool with_printer(int id, const std::function<bool(Printer&)>& act) override;
    std::string plug_new(const PrinterRequest& request, int* id) override;
    std::string plug_back(int id, std::uint8_t address) override;
    std::string unplug(int id) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable replies_;
    Identity identity_;
    Printer printer_;
    bool stopped_ = false;
    bool unplug_requested_ = false;
};

}  // namespace gadget
}  // namespace emu

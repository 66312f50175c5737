// The printer model as the gadget serves it: one emu::Printer behind a lock,
// fed by the endpoint threads, steered by control lines.
//
// The gadget's endpoint threads block in the kernel while the host is not
// transferring, so time-outs are the host's own: a reply the model does not
// queue is simply never written to the IN endpoint.
//
// Control lines (one command a line, answered with one line, a report with
// several):
//   silence COMMAND FROM_LINE  the next exchange of COMMAND ("M601", "M28", ...)
//                              sends its reply lines only up to FROM_LINE
//   raw TEXT                   queue TEXT plus "\r\n" as one IN transfer now
//                              (output a host has not asked for)
//   vanish-after BYTES         once the data endpoint has taken BYTES bytes
//                              in all, the printer goes away at once
//   report DIR                 write every stored file to DIR/<n> and list
//                              the model's state (see report())
//   quit                       end the gadget
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "printer/printer.h"

namespace emu {
namespace gadget {

class PrinterService {
public:
    explicit PrinterService(PrinterEndpoints endpoints);

    // An OUT transfer the gadget read from `endpoint`.  False when the
    // printer is to go away now (a planned vanish was reached).
    bool take(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length);

    // Waits until the model has reply bytes for the command IN endpoint and
    // moves up to `capacity` of them into `chunk` (one IN transfer).  False
    // once stop() was called.
    bool next_reply(std::vector<std::uint8_t>& chunk, std::size_t capacity);

    // How many bytes the next read on the data endpoint asks for: what the
    // upload in progress still lacks, rounded up to whole packets of
    // `packet` bytes and at most `largest`; one packet when no upload runs.
    // A read that asks for more than the host sends would wait for a short
    // packet that never comes when the upload ends on a packet boundary.
    std::size_t data_read_size(std::size_t packet, std::size_t largest) const;

    // Wakes every waiter for good.
    void stop();

    enum class Outcome { answered, quit, bad };
    // Carries out one control line; `answer` gets the lines to send back
    // (each ending in '\n').
    Outcome control(const std::string& line, std::string& answer);

    // The model's state, one item a line, closed by "end":
    //   control 0|1
    //   command TEXT                      every command line, in order
    //   file N COMPLETE ANNOUNCED SIZE PATH   bytes written to DIR/N
    //   install COMPLETE PATH
    //   violation TEXT
    std::string report(const std::string& dir);

    std::uint64_t data_bytes() const;

private:
    std::string report_locked(const std::string& dir) const;

    mutable std::mutex mutex_;
    std::condition_variable replies_;
    Printer printer_;
    bool stopped_ = false;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t vanish_after_ = 0;  // 0: never
};

}  // namespace gadget
}  // namespace emu

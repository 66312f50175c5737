// A model of the printer's side of the USB link.
//
// Plain C++ with no USB in it: a transport (the in-process libusb stand-in,
// the umockdev emulator, the gadget in a guest) hands it each bulk transfer
// and carries back what it answers.  It keeps the protocol state of a real
// printer: whether the host holds it, the upload in progress, the files it
// stores byte for byte and the files it was asked to take up.  It records the
// whole wire traffic and can be told to misbehave at a chosen transfer or in a
// chosen reply.
//
// Not thread-safe: a transport that serves it from several threads locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "com/devices.h"

namespace emu {

// Milliseconds of the steady clock, for transports that stamp the traffic in real time.
std::uint64_t steady_ms();

// How one bulk transfer ended, as the printer (or the bus in front of it) saw it.
enum class Status { ok, timeout, stall, no_device, overflow, io_error };

struct TransferResult {
    Status status = Status::ok;
    std::size_t actual = 0;  // bytes moved
};

struct Transfer {
    std::uint64_t index = 0;         // 0-based over all bulk transfers of this printer
    std::uint8_t endpoint = 0;       // with the direction bit (0x80 = IN)
    std::vector<std::uint8_t> data;  // OUT: bytes the printer took; IN: bytes it delivered
    std::size_t length = 0;          // the host's transfer length
    unsigned timeout_ms = 0;
    Status status = Status::ok;
    std::uint64_t at_ms = 0;  // the transport's clock when the transfer ended
};

// What a transfer can be made to do instead of its normal work.
enum class FaultKind {
    silence,         // the host's transfer runs into its time-out; an OUT transfer may move `amount` bytes first
    stall,           // the endpoint halts until the host clears it
    vanish,          // the printer is gone from the bus, for this and every later transfer
    overflow,        // the transfer reports an overflow (an IN transfer loses the chunk it would have carried)
    short_transfer,  // an OUT transfer takes only `amount` bytes
    io_error,        // any other transfer error
    zero_length,     // an IN transfer succeeds with no bytes
};

// The names the traffic record, the control language and the tests use:
// "no_device", "short_transfer", ...
const char* status_name(Status status);
const char* fault_name(FaultKind kind);
// The fault with this name; false for none.
bool fault_from_name(const std::string& name, FaultKind* kind);

struct StoredFile {
    std::vector<std::uint8_t> data;
    std::uint64_t announced = 0;  // the size given with "~M28"
    bool complete = false;        // every announced byte arrived before "~M29"
};

struct Install {
    std::string path;
    bool complete = false;  // the file taken up had arrived whole
};

class Printer {
public:
    // The bulk endpoints the printer serves.
    using Endpoints = com::EndpointSet;

    // How reply lines are cut into IN transfers.
    enum class Framing {
        line_per_transfer,      // each line in a transfer of its own (the usual printer)
        exchange_per_transfer,  // all reply lines of one command in one transfer
        split_lines,            // each line over two transfers
    };

    explicit Printer(Endpoints endpoints = com::endpoint_set_a);

    // --- the transport's side ---
    TransferResult bulk_out(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length, unsigned timeout_ms);
    TransferResult bulk_in(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, unsigned timeout_ms);
    void clear_halt(std::uint8_t endpoint);
    // False once the printer was unplugged or vanished.
    bool present() const { return present_; }
    // True when a bulk IN transfer on `endpoint` made now would only run into
    // its time-out: nothing to deliver, no halt and no planned fault.  A
    // transport whose host waits in real time holds such a transfer open
    // without handing it to the model, and hands it over once this turns
    // false or the host gives up.
    bool in_transfer_would_wait(std::uint8_t endpoint) const;
    // Time stamps for the traffic record, in milliseconds.
    void set_clock(std::function<std::uint64_t()> clock) { clock_ = std::move(clock); }

    // --- the test's side: misbehaviour ---
    // The transfer with this index (see Transfer::index) does `kind` instead.
    void fault_at(std::uint64_t transfer_index, FaultKind kind, std::size_t amount = 0);
    // At the `occurrence`-th (0-based) exchange of `command` ("M601", "M28", ...),
    // reply line `line` (0-based) is `text` instead.
    void replace_reply(const std::string& command, int line, const std::string& text, int occurrence = 0);
    // At that exchange, reply lines from `from_line` on are never sent.
    void silence_replies(const std::string& command, int from_line = 0, int occurrence = 0);
    // Bytes to put into the reply queue now, as one transfer (stale or unsolicited output).
    void push_raw_reply(const std::string& bytes);
    // With `own` false the printer still acts on every command but queues none
    // of its reply lines: what the host reads is only what push_raw_reply put
    // there, so a test can script the whole reply stream.  On by default.
    void set_own_replies(bool own) { own_replies_ = own; }
    // Called with each command line (without its line end) once the printer
    // has acted on it and queued its own replies; a scripted reply stream
    // answers from here.  Reply edits still apply to the printer's own lines.
    void set_command_hook(std::function<void(const std::string&)> hook) { command_hook_ = std::move(hook); }
    void set_framing(Framing framing, std::size_t split_at = 0);
    // The packet size of the reply endpoint: an IN transfer that ends inside
    // a packet the printer sends overflows.
    void set_max_packet(std::size_t bytes) { max_packet_ = bytes ? bytes : 512; }
    std::size_t max_packet() const { return max_packet_; }
    // Storage space for uploads; an upload that does not fit is answered "out of space".
    void set_capacity(std::uint64_t bytes) { capacity_ = bytes; }
    // Stop recording transfer payloads (the record keeps every transfer's size).
    void set_record_payloads(bool record) { record_payloads_ = record; }
    // Once the file-data endpoint has taken `bytes` bytes in all, counted
    // from the printer's start, the printer leaves the bus (as vanish does);
    // the transfer that reaches the count still succeeds.  0: never.
    void vanish_after_data(std::uint64_t bytes) { vanish_after_data_ = bytes; }
    void unplug() { present_ = false; }
    void plug_back() { present_ = true; }

    // --- the test's side: what happened ---
    bool under_control() const { return under_control_; }
    // Inside an upload: an "~M28" was taken and no "~M29" after it.
    bool uploading() const { return uploading_; }
    const std::map<std::string, StoredFile>& files() const { return files_; }
    const std::vector<Install>& installs() const { return installs_; }
    const std::vector<Transfer>& traffic() const { return traffic_; }
    // Every command line received, without its line end, in order.
    const std::vector<std::string>& commands() const { return commands_; }
    // Everything a well-behaved host never does (a command without control, data beyond the announced size, ...).
    const std::vector<std::string>& violations() const { return violations_; }
    std::uint64_t transfer_count() const { return next_index_; }
    // How many exchanges of `command` ("M601", "M28", ...) were answered so
    // far: the occurrence number the next one gets in replace_reply and
    // silence_replies.
    int exchange_count(const std::string& command) const;
    // Bytes the upload in progress still lacks of its announced size; 0 when
    // no upload is in progress.  A transport that reads file data in pieces
    // of its own choosing sizes them by this, as a printer's firmware does.
    std::uint64_t upload_missing() const;
    // The file of the upload in progress.
    const std::string& upload_path() const { return upload_.path; }
    std::size_t pending_reply_bytes() const;
    int clear_halt_count(std::uint8_t endpoint) const;
    bool halted(std::uint8_t endpoint) const { return halted_.count(endpoint) != 0; }
    const Endpoints& endpoints() const { return endpoints_; }
    // True for the four bulk endpoints of this printer.
    bool serves(std::uint8_t endpoint) const;
    // Bytes the file-data endpoint has taken so far.
    std::uint64_t data_bytes() const { return data_bytes_; }
    std::uint64_t used_space() const;

private:
    struct PlannedFault {
        FaultKind kind;
        std::size_t amount;
    };
    struct ReplyEdit {
        std::string command;
        int occurrence;
        int line;
        bool silence;  // drop from `line` on
        std::string text;
    };
    struct Upload {
        std::string path;
        std::uint64_t announced = 0;
        std::vector<std::uint8_t> data;
    };

    bool take_planned_fault(std::uint8_t endpoint, bool in, TransferResult* result, std::size_t* limit);
    Transfer& record(std::uint8_t endpoint, std::size_t length, unsigned timeout_ms);
    void take_command_bytes(const std::uint8_t* data, std::size_t length);
    void handle_command(const std::string& line);
    void answer(const std::string& command, std::vector<std::string> lines);
    void finish_upload();
    std::uint64_t now() const { return clock_ ? clock_() : 0; }

    Endpoints endpoints_;
    Framing framing_ = Framing::line_per_transfer;
    std::size_t split_at_ = 0;
    std::size_t max_packet_ = 512;  // a high-speed bulk endpoint
    std::uint64_t capacity_ = UINT64_MAX;
    bool record_payloads_ = true;
    bool own_replies_ = true;
    std::function<void(const std::string&)> command_hook_;
    bool present_ = true;
    bool under_control_ = false;
    std::function<std::uint64_t()> clock_;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t vanish_after_data_ = 0;

    std::uint64_t next_index_ = 0;
    std::map<std::uint64_t, PlannedFault> faults_;
    std::vector<ReplyEdit> edits_;
    std::map<std::string, int> exchange_counts_;
    std::set<std::uint8_t> halted_;
    std::map<std::uint8_t, int> clear_halts_;

    std::string command_line_;             // bytes of a command line not yet ended
    std::deque<std::string> reply_queue_;  // one entry per IN transfer
    bool uploading_ = false;
    Upload upload_;

    std::map<std::string, StoredFile> files_;
    std::vector<Install> installs_;
    std::string last_saved_;
    std::vector<Transfer> traffic_;
    std::vector<std::string> commands_;
    std::vector<std::string> violations_;
};

}  // namespace emu

// A test's side of the control language (control.h): typed calls, each one
// request and its answer, over whatever line channel a transport offers.
//
// An "error" answer or a broken channel throws ControlClient::Error.  Calls
// from several threads are taken one at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "printer.h"

namespace emu {

class ControlClient {
public:
    struct Error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    struct PrinterState {
        int id = 0;
        std::uint16_t vendor_id = 0;
        std::uint16_t product_id = 0;
        int bus = 0;
        int address = 0;
        std::vector<int> ports;  // from the root hub down; empty: not known
        bool plugged = false;
    };

    struct StoredFile {
        std::string path;
        std::uint64_t size = 0;
        std::uint64_t announced = 0;
        bool complete = false;
    };

    using Install = emu::Install;

    // The upload the printer has open, if any.
    struct OpenUpload {
        bool open = false;
        std::string path;
        std::uint64_t missing = 0;  // bytes it still lacks of the announced size
    };

    struct Transfer {
        std::uint64_t index = 0;
        std::uint8_t endpoint = 0;
        std::uint64_t length = 0;
        std::string status;  // ok, timeout, stall, no_device, overflow, io_error
        std::uint64_t at_ms = 0;
        std::string data;
    };

    // What a new printer is plugged in with; empty texts and zero numbers
    // leave the emulator's defaults.
    struct NewPrinter {
        std::uint16_t vendor_id = 0;
        std::uint16_t product_id = 0;
        int bus = 0;
        int address = 0;
        std::vector<int> ports;  // from the root hub down ({1, 4}: "1-1.4"); empty: the next free
        std::string serial, manufacturer, product;
        bool no_serial = false;  // a printer without a serial number string
    };

    virtual ~ControlClient() = default;

    // One raw request; the answer's text after "ok" (tokens still escaped).
    std::string request(const std::string& line);

    std::vector<PrinterState> printers();
    int plug(const NewPrinter& printer);
    // Plugs printer `id` back in, at `address` or the bus's next free one.
    void plug_back(int id, int address = 0)
    {
        request("plug " + std::to_string(id) + (address ? " addr=" + std::to_string(address) : ""));
    }
    void unplug(int id) { ask("unplug", id); }

    // Transfer `index` (see emu::Transfer::index) does `kind` (silence,
    // stall, vanish, overflow, short_transfer, io_error, zero_length).
    void fault_at(int id, std::uint64_t index, const std::string& kind, std::size_t amount = 0)
    {
        ask("fault", id, index, kind, amount);
    }
    // The same `transfers_from_now` transfers after the last one so far (0:
    // the next); returns the index it was planned at.
    std::uint64_t fault_ahead(int id, std::uint64_t transfers_from_now, const std::string& kind, std::size_t amount = 0)
    {
        return number(ask("fault", id, "+" + std::to_string(transfers_from_now), kind, amount));
    }
    void vanish_after_data(int id, std::uint64_t bytes) { ask("vanish-after", id, bytes); }
    void replace_reply(int id, const std::string& command, int line, const std::string& text, int occurrence = 0)
    {
        ask("replace", id, escaped(command), occurrence, line, escaped(text));
    }
    void silence_replies(int id, const std::string& command, int from_line = 0, int occurrence = 0)
    {
        ask("silence", id, escaped(command), occurrence, from_line);
    }
    void push_raw_reply(int id, const std::string& bytes) { ask("push", id, escaped(bytes)); }
    void set_capacity(int id, std::uint64_t bytes) { ask("capacity", id, bytes); }
    // "line", "exchange" or "split".
    void set_framing(int id, const std::string& framing, std::size_t split_at = 0)
    {
        ask("framing", id, framing, split_at);
    }

    std::uint64_t transfer_count(int id) { return number(ask("count", id)); }
    bool under_control(int id) { return number(ask("control", id)) != 0; }
    std::uint64_t pending_reply_bytes(int id) { return number(ask("pending", id)); }
    int clear_halt_count(int id, std::uint8_t endpoint)
    {
        return static_cast<int>(number(ask("clears", id, endpoint)));
    }
    OpenUpload open_upload(int id);
    std::vector<StoredFile> files(int id);
    std::string file_bytes(int id, const std::string& path);
    std::vector<Install> installs(int id);
    std::vector<std::string> commands(int id, std::size_t from = 0) { return texts(ask("commands", id, from)); }
    std::vector<std::string> violations(int id) { return texts(ask("violations", id)); }
    std::vector<Transfer> traffic(int id, std::uint64_t from = 0);

protected:
    // Sends `line` and returns the answer line, both without line ends.
    virtual std::string exchange(const std::string& line) = 0;

private:
    static std::string word(const std::string& text) { return text; }
    template <typename Number>
    static std::string word(Number n)
    {
        return std::to_string(n);
    }
    // "VERB A B ..." asked; the answer after "ok".
    template <typename... Words>
    std::string ask(const char* verb, const Words&... words)
    {
        return request((std::string(verb) + ... + (" " + word(words))));
    }
    static std::string escaped(const std::string& text);
    static std::uint64_t number(const std::string& answer);
    static std::vector<std::string> texts(const std::string& answer);  // tokens unescaped

    std::mutex mutex_;
};

}  // namespace emu

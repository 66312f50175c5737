// Fuzz target: whatever a printer answers, however its answers are cut into
// transfers and whatever the bus does meanwhile, the link stays inside its
// buffers, returns one of its 17 result codes, leaves libusb as it found it,
// never sends file data past what it announced and never asks the printer to
// take up a file that did not arrive whole.
//
// The input is a script for the emulated printer:
//
//   byte 0      what runs: bits 0-2 modulo 5 pick the sequence (0 the line
//               reader alone, 1 opening with take-control, 2 an upload, 3 an
//               install, 4 open + two installs + close); bit 7 turns the log on
//   then records, each an opcode and its arguments:
//     n < 0xE0  a reply transfer of the n bytes that follow
//     0xE0      the end of one answer: the transfers after it answer the next
//               command line the printer gets (the first answer is what the
//               printer already holds when the sequence starts)
//     0xE1 n b  a reply transfer of n * 32 bytes of value b
//     0xE2 k f  transfer k of the sequence fails in way f % 7 (a short
//               transfer takes f / 8 bytes)
//     0xE3 s    line reader: com_readline into a buffer of s - 8 bytes
//               (255: 8192 bytes)
//     0xE4      line reader: com_clear_buffer
//     0xE5 n    line reader: com_read of n bytes
//   anything else is skipped.  In the line reader, transfers are queued where
//   they stand among the calls; in the other sequences the printer's own
//   replies are off and the answers are all it says.
//
// Built with libFuzzer by scripts/fuzz.sh; replayed over the committed corpus
// by fuzz_corpus_replay in every build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "clock/virtual_clock.h"
#include "com/com_usb.h"
#include "com/result.h"
#include "libusb/usb_bus.h"

namespace {

constexpr std::uint16_t vid = 0x2C7E;
constexpr std::uint16_t pid = 0x4201;
constexpr unsigned timeout_ms = 1000;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "reply_fuzz: %s\n", what);
        std::abort();
    }
}

void require_code(int code)
{
    require(code >= 0 && code < com::result_code_count, "a result outside 0..16");
}

// Scratch folder with the local files the uploads send; logs go there too.
struct Workspace {
    std::string dir;
    std::string image;
    std::string extra;

    Workspace()
    {
        char templ[] = "/tmp/zarvik-fuzz-XXXXXX";
        require(mkdtemp(templ) != nullptr, "cannot make a scratch folder");
        dir = templ;
        image = dir + "/image.bin";
        extra = dir + "/fonts.xbf";
        write(image, 5000);
        write(extra, 100);
    }

    ~Workspace()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    static void write(const std::string& path, std::size_t size)
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        require(f != nullptr, "cannot write a local file");
        for (std::size_t i = 0; i < size; ++i)
            std::fputc(static_cast<int>((i * 7 + 3) & 0xFF), f);
        std::fclose(f);
    }
};

const Workspace& workspace()
{
    static const Workspace w;
    return w;
}

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : p(data), end(data + size) {}
    bool done() const { return p >= end; }
    std::uint8_t byte() { return p < end ? *p++ : 0; }
    std::string bytes(std::size_t n)
    {
        const std::size_t have = std::min<std::size_t>(n, static_cast<std::size_t>(end - p));
        std::string out(reinterpret_cast<const char*>(p), have);
        p += have;
        return out;
    }

private:
    const std::uint8_t* p;
    const std::uint8_t* end;
};

emu::FaultKind fault_kind(std::uint8_t f)
{
    static const emu::FaultKind kinds[] = {
        emu::FaultKind::silence,        emu::FaultKind::stall,    emu::FaultKind::vanish,     emu::FaultKind::overflow,
        emu::FaultKind::short_transfer, emu::FaultKind::io_error, emu::FaultKind::zero_length};
    return kinds[f % 7];
}

// The line reader against transfers queued among its calls.
void run_line_reader(Script& script, com::ComUsb& link, emu::Printer& printer, std::uint64_t base, bool* faulted)
{
    require_code(link.com_open(timeout_ms, false));
    std::string delivered;  // every byte the printer handed over, in order
    std::size_t seen = 0;
    auto collect = [&] {
        const auto& traffic = printer.traffic();
        for (; seen < traffic.size(); ++seen)
            if (traffic[seen].endpoint & 0x80)
                delivered.append(traffic[seen].data.begin(), traffic[seen].data.end());
    };
    while (!script.done()) {
        const std::uint8_t op = script.byte();
        if (op < 0xE0) {
            printer.push_raw_reply(script.bytes(op));
        } else if (op == 0xE1) {
            const std::size_t n = script.byte() * 32u;
            printer.push_raw_reply(std::string(n, static_cast<char>(script.byte())));
        } else if (op == 0xE2) {
            const std::uint8_t k = script.byte();
            const std::uint8_t f = script.byte();
            printer.fault_at(base + k, fault_kind(f), f / 8u);
            *faulted = true;
        } else if (op == 0xE3) {
            const std::uint8_t s = script.byte();
            const int size = s == 255 ? 8192 : static_cast<int>(s) - 8;
            // Exactly `size` bytes, so that the sanitizer sees any step past them.
            std::unique_ptr<char[]> buffer(new char[size > 0 ? static_cast<std::size_t>(size) : 0]);
            int length = -1;
            const int code = link.com_readline(buffer.get(), size, &length, timeout_ms);
            require_code(code);
            collect();
            if (code == com::COM_SUCCESS && size <= 0) {
                // No room even for an empty text: only "no line" can succeed.
                require(length == 0, "a line handed out into no buffer");
            } else if (code == com::COM_SUCCESS) {
                require(length >= 0 && length < size, "a line length outside the buffer");
                require(buffer[static_cast<std::size_t>(length)] == '\0', "a line without its terminator");
                const std::string line(buffer.get(), static_cast<std::size_t>(length));
                require(line.find('\n') == std::string::npos, "a line end inside a line");
                if (length > 0)
                    require(delivered.find(line + "\n") != std::string::npos ||
                                delivered.find(line + "\r\n") != std::string::npos,
                            "a line the printer never sent");
            }
        } else if (op == 0xE4) {
            require_code(link.com_clear_buffer(timeout_ms));
        } else if (op == 0xE5) {
            // A raw read takes bytes past the line buffer: they are no part of any line.
            collect();
            const std::size_t n = script.byte();
            std::unique_ptr<char[]> buffer(new char[n]);
            int received = -1;
            const int code = link.com_read(buffer.get(), static_cast<int>(n), &received, timeout_ms);
            require_code(code);
            if (code == com::COM_SUCCESS)
                require(received >= 0 && static_cast<std::size_t>(received) <= n, "a raw read past its buffer");
            seen = printer.traffic().size();
        }
    }
}

// Reads the answers of a sequence: the first is queued now, each later one
// when the printer gets its next command line.
void load_answers(Script& script, emu::Printer& printer, std::uint64_t base, bool* faulted)
{
    auto answers = std::make_shared<std::deque<std::vector<std::string>>>();
    answers->emplace_back();
    while (!script.done()) {
        const std::uint8_t op = script.byte();
        if (op < 0xE0) {
            answers->back().push_back(script.bytes(op));
        } else if (op == 0xE0) {
            answers->emplace_back();
        } else if (op == 0xE1) {
            const std::size_t n = script.byte() * 32u;
            answers->back().push_back(std::string(n, static_cast<char>(script.byte())));
        } else if (op == 0xE2) {
            const std::uint8_t k = script.byte();
            const std::uint8_t f = script.byte();
            printer.fault_at(base + k, fault_kind(f), f / 8u);
            *faulted = true;
        }
    }
    auto next = [answers, &printer] {
        if (answers->empty())
            return;
        for (const std::string& transfer : answers->front())
            printer.push_raw_reply(transfer);
        answers->pop_front();
    };
    printer.set_own_replies(false);
    printer.set_command_hook([next](const std::string&) { next(); });
    next();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const Workspace& w = workspace();
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.reset();
    emu::VirtualClock::reset();
    std::shared_ptr<emu::Printer> printer = bus.attach_printer(vid, pid);

    Script script(data, size);
    const std::uint8_t head = script.byte();
    const int mode = (head & 7) % 5;
    const bool logging = (head & 0x80) != 0;
    bool faulted = false;
    std::string log_path;
    {
        com::ComUsb link(vid, pid, w.dir, logging);
        log_path = link.log_file_path();
        if (mode == 0) {
            run_line_reader(script, link, *printer, printer->transfer_count(), &faulted);
        } else {
            bool go = true;
            if (mode == 2 || mode == 3)
                go = link.com_open(timeout_ms, true) == com::COM_SUCCESS;  // the printer's own handshake
            require(go, "the printer's own handshake failed");
            load_answers(script, *printer, printer->transfer_count(), &faulted);
            if (mode == 1 || mode == 4) {
                const int code = link.com_open(timeout_ms, true);
                require_code(code);
                go = code == com::COM_SUCCESS;
            }
            if (go && mode == 2) {
                require_code(link.com_send_file(w.image, "0:/sys/image.bin", nullptr, nullptr, 100, "", timeout_ms));
            } else if (go && (mode == 3 || mode == 4)) {
                int code = link.com_install_file(w.image, "orbrey.bin", nullptr, nullptr, "", timeout_ms);
                require_code(code);
                if (code == com::COM_SUCCESS && mode == 4)
                    require_code(link.com_install_file(w.extra, "fonts.xbf", nullptr, nullptr, "", timeout_ms));
            }
            require_code(link.com_close());
            require(link.com_is_closed() == 1, "closed, yet still open");
        }
    }
    if (logging)
        unlink(log_path.c_str());

    if (!bus.misuse.empty())
        require(false, ("libusb misuse: " + bus.misuse.front()).c_str());
    require(bus.counters.live_device_lists == 0, "a device list was not freed");
    require(bus.counters.live_handles == 0, "a device handle was not closed");
    require(bus.counters.claimed_interfaces == 0, "an interface stayed claimed");
    require(bus.counters.default_context_refs == 0 && bus.counters.inits == bus.counters.exits,
            "libusb_init and libusb_exit unpaired");
    for (const emu::Install& install : printer->installs())
        require(install.complete, "took up a file that did not arrive whole");
    for (const std::string& what : printer->violations()) {
        require(what.rfind("file data", 0) != 0, "file data outside an announced upload");
        // Without bus faults the replies alone never make the host misbehave.
        require(faulted, what.c_str());
    }
    if (!faulted && mode != 0)
        require(!printer->under_control(), "the printer was left held");
    bus.reset();
    return 0;
}

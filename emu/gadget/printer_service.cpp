#include "printer_service.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace emu {
namespace gadget {

namespace {

std::uint64_t steady_ms()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The first word of `line` and the rest after one blank.
std::pair<std::string, std::string> split_word(const std::string& line)
{
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos)
        return {line, std::string()};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

bool parse_count(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

PrinterService::PrinterService(PrinterEndpoints endpoints) : printer_(endpoints)
{
    printer_.set_clock(steady_ms);
}

bool PrinterService::take(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    printer_.bulk_out(endpoint, data, length, 0);
    if (endpoint == printer_.endpoints().data_out)
        data_bytes_ += length;
    replies_.notify_all();
    return vanish_after_ == 0 || data_bytes_ < vanish_after_;
}

bool PrinterService::next_reply(std::vector<std::uint8_t>& chunk, std::size_t capacity)
{
    const std::uint8_t endpoint = printer_.endpoints().cmd_in;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        replies_.wait(lock, [&] { return stopped_ || !printer_.in_transfer_would_wait(endpoint); });
        if (stopped_)
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

PrinterService::Outcome PrinterService::control(const std::string& line, std::string& answer)
{
    const auto [verb, rest] = split_word(line);
    std::lock_guard<std::mutex> lock(mutex_);
    if (verb == "silence") {
        const auto [command, from_text] = split_word(rest);
        std::uint64_t from = 0;
        if (command.empty() || !parse_count(from_text, from)) {
            answer = "error: silence COMMAND FROM_LINE\n";
            return Outcome::bad;
        }
        const int occurrence = printer_.exchange_count(command);
        printer_.silence_replies(command, static_cast<int>(from), occurrence);
        answer = "ok silence " + command + " #" + std::to_string(occurrence) + " from line " + from_text + "\n";
        return Outcome::answered;
    }
    if (verb == "raw") {
        printer_.push_raw_reply(rest + "\r\n");
        replies_.notify_all();
        answer = "ok raw\n";
        return Outcome::answered;
    }
    if (verb == "vanish-after") {
        if (!parse_count(rest, vanish_after_)) {
            answer = "error: vanish-after BYTES\n";
            return Outcome::bad;
        }
        answer = "ok vanish-after " + rest + "\n";
        return Outcome::answered;
    }
    if (verb == "quit") {
        answer = "ok quit\n";
        return Outcome::quit;
    }
    if (verb == "report") {
        if (rest.empty()) {
            answer = "error: report DIR\n";
            return Outcome::bad;
        }
        answer = report_locked(rest);
        return Outcome::answered;
    }
    answer = "error: unknown control line: " + line + "\n";
    return Outcome::bad;
}

std::string PrinterService::report(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return report_locked(dir);
}

std::string PrinterService::report_locked(const std::string& dir) const
{
    std::ostringstream out;
    out << "control " << (printer_.under_control() ? 1 : 0) << "\n";
    for (const std::string& command : printer_.commands())
        out << "command " << command << "\n";
    int n = 0;
    for (const auto& [path, file] : printer_.files()) {
        const std::string name = dir + "/" + std::to_string(n);
        std::ofstream stored(name, std::ios::binary | std::ios::trunc);
        stored.write(reinterpret_cast<const char*>(file.data.data()), static_cast<std::streamsize>(file.data.size()));
        if (!stored)
            out << "violation the gadget could not write " << name << "\n";
        out << "file " << n << " " << (file.complete ? 1 : 0) << " " << file.announced << " " << file.data.size()
            << " " << path << "\n";
        ++n;
    }
    for (const Install& install : printer_.installs())
        out << "install " << (install.complete ? 1 : 0) << " " << install.path << "\n";
    for (const std::string& violation : printer_.violations())
        out << "violation " << violation << "\n";
    out << "end\n";
    return out.str();
}

std::uint64_t PrinterService::data_bytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return data_bytes_;
}

}  // namespace gadget
}  // namespace emu

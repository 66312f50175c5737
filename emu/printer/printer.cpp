#include "printer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace emu {

namespace {

constexpr std::size_t longest_command = 4096;

// In the order of the enumerations.
const char* const status_names[] = {"ok", "timeout", "stall", "no_device", "overflow", "io_error"};
const char* const fault_names[] = {"silence",        "stall",    "vanish",     "overflow",
                                   "short_transfer", "io_error", "zero_length"};

}  // namespace

std::uint64_t steady_ms()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

const char* status_name(Status status)
{
    return status_names[static_cast<int>(status)];
}

const char* fault_name(FaultKind kind)
{
    return fault_names[static_cast<int>(kind)];
}

bool fault_from_name(const std::string& name, FaultKind* kind)
{
    for (std::size_t i = 0; i < std::size(fault_names); ++i)
        if (name == fault_names[i]) {
            *kind = static_cast<FaultKind>(i);
            return true;
        }
    return false;
}

Printer::Printer(Endpoints endpoints) : endpoints_(endpoints) {}

Transfer& Printer::record(std::uint8_t endpoint, std::size_t length, unsigned timeout_ms)
{
    Transfer t;
    t.index = next_index_++;
    t.endpoint = endpoint;
    t.length = length;
    t.timeout_ms = timeout_ms;
    traffic_.push_back(std::move(t));
    return traffic_.back();
}

// Takes the fault planned for the transfer about to be made, if any, and
// applies what the printer's absence or the fault decides.  True when the
// transfer ends with `result` as it is; otherwise the normal work goes on,
// with `*limit` lowered by a short or empty transfer.
bool Printer::take_planned_fault(std::uint8_t endpoint, bool in, TransferResult* result, std::size_t* limit)
{
    auto planned = faults_.find(next_index_);
    if (planned == faults_.end()) {
        if (present_)
            return false;
        result->status = Status::no_device;
        return true;
    }
    const PlannedFault fault = planned->second;
    faults_.erase(planned);
    if (!present_) {
        result->status = Status::no_device;
        return true;
    }
    switch (fault.kind) {
    case FaultKind::vanish:
        present_ = false;
        result->status = Status::no_device;
        return true;
    case FaultKind::silence:
        // A time-out can end an OUT transfer after part of it went through.
        *limit = in ? 0 : std::min(*limit, fault.amount);
        result->status = Status::timeout;
        return true;
    case FaultKind::stall:
        halted_.insert(endpoint);
        result->status = Status::stall;
        return true;
    case FaultKind::overflow:
        // An IN transfer that overflows loses the chunk it would have carried.
        if (in && endpoint == endpoints_.cmd_in && !reply_queue_.empty())
            reply_queue_.pop_front();
        result->status = Status::overflow;
        return true;
    case FaultKind::io_error:
        result->status = Status::io_error;
        return true;
    case FaultKind::zero_length:
        if (in)
            return true;  // succeeds with no bytes
        *limit = 0;
        return false;
    case FaultKind::short_transfer:
        if (!in)
            *limit = std::min(*limit, fault.amount);
        return false;  // means nothing for IN
    }
    return false;
}

TransferResult Printer::bulk_out(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length,
                                 unsigned timeout_ms)
{
    TransferResult result;
    std::size_t take = length;
    const bool faulted = take_planned_fault(endpoint, false, &result, &take);
    // A time-out after part of the bytes: those bytes arrived all the same.
    const bool partial = faulted && result.status == Status::timeout && take > 0;

    if (!faulted || partial) {
        if (halted(endpoint)) {
            result.status = Status::stall;
        } else if (endpoint == endpoints_.cmd_out) {
            take_command_bytes(data, take);
            result.actual = take;
        } else if (endpoint == endpoints_.data_out) {
            data_bytes_ += take;
            if (vanish_after_data_ != 0 && data_bytes_ >= vanish_after_data_) {
                present_ = false;
                vanish_after_data_ = 0;
            }
            if (!uploading_) {
                violations_.push_back("file data without an upload: " + std::to_string(take) + " bytes");
            } else {
                const std::uint64_t room = upload_.announced - upload_.data.size();
                const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(room, take));
                upload_.data.insert(upload_.data.end(), data, data + keep);
                if (take > keep)
                    violations_.push_back("file data beyond the announced size: " + std::to_string(take - keep) +
                                          " bytes for " + upload_.path);
            }
            result.actual = take;
        } else {
            result.status = Status::io_error;  // no such endpoint on this printer
        }
    }

    Transfer& t = record(endpoint, length, timeout_ms);
    t.status = result.status;
    t.at_ms = now();
    if (record_payloads_ && (result.status == Status::ok || partial))
        t.data.assign(data, data + result.actual);
    return result;
}

TransferResult Printer::bulk_in(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length, unsigned timeout_ms)
{
    TransferResult result;
    std::size_t unused_limit = length;
    const bool done = take_planned_fault(endpoint, true, &result, &unused_limit);

    if (!done) {
        if (halted(endpoint)) {
            result.status = Status::stall;
        } else if (endpoint == endpoints_.cmd_in) {
            if (reply_queue_.empty()) {
                result.status = Status::timeout;
            } else {
                // A chunk goes out in packets of max_packet_ bytes.  A host
                // buffer that ends on a packet boundary takes what fits and
                // leaves the rest; one that ends inside a packet overflows, and
                // what the printer sent is lost, as on a real bus.
                std::string& chunk = reply_queue_.front();
                const std::size_t n = std::min(length, chunk.size());
                if (n < chunk.size() && n % max_packet_ != 0) {
                    reply_queue_.pop_front();
                    result.status = Status::overflow;
                } else {
                    std::memcpy(buffer, chunk.data(), n);
                    result.actual = n;
                    if (n < chunk.size())
                        chunk.erase(0, n);
                    else
                        reply_queue_.pop_front();
                }
            }
        } else if (endpoint == endpoints_.data_in) {
            result.status = Status::timeout;  // the printer never sends anything there
        } else {
            result.status = Status::io_error;
        }
    }

    Transfer& t = record(endpoint, length, timeout_ms);
    t.status = result.status;
    t.at_ms = now();
    if (record_payloads_ && result.status == Status::ok)
        t.data.assign(buffer, buffer + result.actual);
    return result;
}

bool Printer::in_transfer_would_wait(std::uint8_t endpoint) const
{
    if (!present_ || halted(endpoint) || faults_.count(next_index_) != 0)
        return false;
    if (endpoint == endpoints_.cmd_in)
        return reply_queue_.empty();
    return endpoint == endpoints_.data_in;
}

bool Printer::serves(std::uint8_t endpoint) const
{
    return endpoint == endpoints_.cmd_in || endpoint == endpoints_.cmd_out || endpoint == endpoints_.data_in ||
           endpoint == endpoints_.data_out;
}

void Printer::clear_halt(std::uint8_t endpoint)
{
    halted_.erase(endpoint);
    ++clear_halts_[endpoint];
}

int Printer::clear_halt_count(std::uint8_t endpoint) const
{
    auto it = clear_halts_.find(endpoint);
    return it == clear_halts_.end() ? 0 : it->second;
}

void Printer::fault_at(std::uint64_t transfer_index, FaultKind kind, std::size_t amount)
{
    faults_[transfer_index] = PlannedFault{kind, amount};
}

void Printer::replace_reply(const std::string& command, int line, const std::string& text, int occurrence)
{
    edits_.push_back(ReplyEdit{command, occurrence, line, false, text});
}

void Printer::silence_replies(const std::string& command, int from_line, int occurrence)
{
    edits_.push_back(ReplyEdit{command, occurrence, from_line, true, std::string()});
}

void Printer::push_raw_reply(const std::string& bytes)
{
    reply_queue_.push_back(bytes);
}

void Printer::set_framing(Framing framing, std::size_t split_at)
{
    framing_ = framing;
    split_at_ = split_at;
}

std::size_t Printer::pending_reply_bytes() const
{
    std::size_t total = 0;
    for (const std::string& chunk : reply_queue_)
        total += chunk.size();
    return total;
}

int Printer::exchange_count(const std::string& command) const
{
    auto it = exchange_counts_.find(command);
    return it == exchange_counts_.end() ? 0 : it->second;
}

std::uint64_t Printer::upload_missing() const
{
    return uploading_ ? upload_.announced - upload_.data.size() : 0;
}

std::uint64_t Printer::used_space() const
{
    std::uint64_t used = 0;
    for (const auto& entry : files_)
        used += entry.second.data.size();
    return used;
}

void Printer::take_command_bytes(const std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\n') {
            command_line_ += c;
            if (command_line_.size() > longest_command) {
                violations_.push_back("command line without an end, over " + std::to_string(longest_command) +
                                      " bytes");
                command_line_.clear();
            }
            continue;
        }
        std::string line;
        line.swap(command_line_);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        handle_command(line);
        if (command_hook_)
            command_hook_(line);
    }
}

void Printer::handle_command(const std::string& line)
{
    commands_.push_back(line);
    if (line.empty())
        return;
    if (line[0] != '~') {
        violations_.push_back("not a command: " + line);
        return;
    }
    const std::size_t blank = line.find(' ');
    const std::string name = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
    const std::string args = blank == std::string::npos ? std::string() : line.substr(blank + 1);

    if (name == "M601") {
        if (args != "S0")
            violations_.push_back("take-control with arguments '" + args + "'");
        under_control_ = true;
        answer(name, {"CMD M601 Received.", "Control Success.", "ok"});
        return;
    }
    if (name == "M602") {
        under_control_ = false;
        answer(name, {"CMD M602 Received.", "Control Release.", "ok"});
        return;
    }
    if (name == "M28") {
        if (!under_control_)
            violations_.push_back("upload without control: " + line);
        if (uploading_)
            finish_upload();
        // "~M28 <size> <path>": the path is the rest of the line, blanks included.
        const std::size_t gap = args.find(' ');
        const std::string size_text = args.substr(0, gap);
        char* end = nullptr;
        const unsigned long long size = std::strtoull(size_text.c_str(), &end, 10);
        if (gap == std::string::npos || size_text.empty() || *end != '\0' || size_text[0] == '-') {
            violations_.push_back("malformed upload command: " + line);
            answer(name, {"CMD M28 Received.", "open failed", "ok"});
            return;
        }
        const std::string path = args.substr(gap + 1);
        std::uint64_t used = used_space();
        auto existing = files_.find(path);
        if (existing != files_.end())
            used -= existing->second.data.size();
        if (size > capacity_ || capacity_ - size < used) {
            answer(name, {"CMD M28 Received.", "out of space", "ok"});
            return;
        }
        uploading_ = true;
        upload_ = Upload{path, size, {}};
        answer(name, {"CMD M28 Received.", "Writing to file: " + path, "ok"});
        return;
    }
    if (name == "M29") {
        if (uploading_)
            finish_upload();
        else
            violations_.push_back("end of upload without an upload");
        answer(name, {"CMD M29 Received.", "Done saving file.", "ok"});
        return;
    }
    if (name == "M600") {
        if (!under_control_)
            violations_.push_back("take-up without control");
        if (last_saved_.empty()) {
            violations_.push_back("take-up without a saved file");
        } else {
            installs_.push_back(Install{last_saved_, files_[last_saved_].complete});
        }
        answer(name, {"CMD M600 Received.", "succeed", "ok"});
        return;
    }
    violations_.push_back("unknown command: " + line);
}

void Printer::finish_upload()
{
    StoredFile& file = files_[upload_.path];
    file.announced = upload_.announced;
    file.complete = upload_.data.size() == upload_.announced;
    file.data = std::move(upload_.data);
    last_saved_ = upload_.path;
    uploading_ = false;
    upload_ = Upload{};
}

void Printer::answer(const std::string& command, std::vector<std::string> lines)
{
    const int occurrence = exchange_counts_[command]++;
    for (const ReplyEdit& edit : edits_) {
        if (edit.command != command || edit.occurrence != occurrence)
            continue;
        const auto at = static_cast<std::size_t>(edit.line);
        if (edit.silence) {
            if (at < lines.size())
                lines.resize(at);
        } else if (at < lines.size()) {
            lines[at] = edit.text;
        } else {
            lines.push_back(edit.text);
        }
    }
    if (!own_replies_)
        return;
    switch (framing_) {
    case Framing::line_per_transfer:
        for (const std::string& line : lines)
            reply_queue_.push_back(line + "\r\n");
        break;
    case Framing::exchange_per_transfer: {
        std::string all;
        for (const std::string& line : lines)
            all += line + "\r\n";
        if (!all.empty())
            reply_queue_.push_back(all);
        break;
    }
    case Framing::split_lines:
        for (const std::string& line : lines) {
            const std::string whole = line + "\r\n";
            const std::size_t cut = split_at_ ? std::min(split_at_, whole.size() - 1) : whole.size() / 2;
            reply_queue_.push_back(whole.substr(0, cut));
            reply_queue_.push_back(whole.substr(cut));
        }
        break;
    }
}

}  // namespace emu

#include "control_client.h"

#include <cstdio>

#include "control.h"

namespace emu {

namespace {

std::string unescaped(const std::string& token)
{
    std::string bytes;
    if (!control::unescape(token, &bytes))
        throw ControlClient::Error("malformed answer token: " + token);
    return bytes;
}

std::uint64_t to_number(const std::string& token)
{
    unsigned long long value = 0;
    if (!control::parse_number(token, &value))
        throw ControlClient::Error("not a number in the answer: " + token);
    return value;
}

std::vector<std::string> fields(const std::string& token, std::size_t count)
{
    std::vector<std::string> parts = control::split(token, ',');
    if (parts.size() != count)
        throw ControlClient::Error("malformed answer token: " + token);
    return parts;
}

}  // namespace

std::string ControlClient::request(const std::string& line)
{
    std::string answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = exchange(line);
    }
    if (answer == "ok")
        return std::string();
    if (answer.compare(0, 3, "ok ") == 0)
        return answer.substr(3);
    throw Error("printer control: '" + line.substr(0, 200) + "': " + answer);
}

std::vector<std::string> ControlClient::tokens(const std::string& line)
{
    const std::string answer = request(line);
    if (answer.empty())
        return {};
    return control::split(answer, ' ');
}

std::uint64_t ControlClient::number(const std::string& line)
{
    return to_number(request(line));
}

std::vector<ControlClient::PrinterState> ControlClient::printers()
{
    std::vector<PrinterState> out;
    for (const std::string& token : tokens("printers")) {
        const auto f = fields(token, 6);
        PrinterState p;
        p.id = static_cast<int>(to_number(f[0]));
        p.vendor_id = static_cast<std::uint16_t>(to_number("0x" + f[1]));
        p.product_id = static_cast<std::uint16_t>(to_number("0x" + f[2]));
        p.bus = static_cast<int>(to_number(f[3]));
        p.address = static_cast<int>(to_number(f[4]));
        p.plugged = f[5] == "plugged";
        out.push_back(p);
    }
    return out;
}

int ControlClient::plug(const NewPrinter& printer)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", printer.vendor_id, printer.product_id);
    std::string line = std::string("plug ") + ids;
    if (printer.bus)
        line += ",bus=" + std::to_string(printer.bus);
    if (printer.address)
        line += ",addr=" + std::to_string(printer.address);
    if (printer.no_serial)
        line += ",serial=";
    else if (!printer.serial.empty())
        line += ",serial=" + control::escape(printer.serial);
    if (!printer.manufacturer.empty())
        line += ",manufacturer=" + control::escape(printer.manufacturer);
    if (!printer.product.empty())
        line += ",product=" + control::escape(printer.product);
    return static_cast<int>(number(line));
}

void ControlClient::plug_back(int id, int address)
{
    request("plug " + std::to_string(id) + (address ? " addr=" + std::to_string(address) : std::string()));
}

void ControlClient::unplug(int id)
{
    request("unplug " + std::to_string(id));
}

void ControlClient::fault_at(int id, std::uint64_t index, const std::string& kind, std::size_t amount)
{
    request("fault " + std::to_string(id) + " " + std::to_string(index) + " " + kind + " " + std::to_string(amount));
}

std::uint64_t ControlClient::fault_ahead(int id, std::uint64_t transfers_from_now, const std::string& kind,
                                           std::size_t amount)
{
    return number("fault " + std::to_string(id) + " +" + std::to_string(transfers_from_now) + " " + kind + " " +
                  std::to_string(amount));
}

void ControlClient::vanish_after_data(int id, std::uint64_t bytes)
{
    request("vanish-after " + std::to_string(id) + " " + std::to_string(bytes));
}

void ControlClient::replace_reply(int id, const std::string& command, int line, const std::string& text,
                                    int occurrence)
{
    request("replace " + std::to_string(id) + " " + control::escape(command) + " " + std::to_string(occurrence) + " " +
            std::to_string(line) + " " + control::escape(text));
}

void ControlClient::silence_replies(int id, const std::string& command, int from_line, int occurrence)
{
    request("silence " + std::to_string(id) + " " + control::escape(command) + " " + std::to_string(occurrence) + " " +
            std::to_string(from_line));
}

void ControlClient::push_raw_reply(int id, const std::string& bytes)
{
    request("push " + std::to_string(id) + " " + control::escape(bytes));
}

void ControlClient::set_capacity(int id, std::uint64_t bytes)
{
    request("capacity " + std::to_string(id) + " " + std::to_string(bytes));
}

void ControlClient::set_framing(int id, const std::string& framing, std::size_t split_at)
{
    request("framing " + std::to_string(id) + " " + framing + " " + std::to_string(split_at));
}

std::uint64_t ControlClient::transfer_count(int id)
{
    return number("count " + std::to_string(id));
}

bool ControlClient::under_control(int id)
{
    return number("control " + std::to_string(id)) != 0;
}

std::uint64_t ControlClient::pending_reply_bytes(int id)
{
    return number("pending " + std::to_string(id));
}

int ControlClient::clear_halt_count(int id, std::uint8_t endpoint)
{
    return static_cast<int>(number("clears " + std::to_string(id) + " " + std::to_string(endpoint)));
}

std::vector<ControlClient::StoredFile> ControlClient::files(int id)
{
    std::vector<StoredFile> out;
    for (const std::string& token : tokens("files " + std::to_string(id))) {
        const auto f = fields(token, 4);
        out.push_back(StoredFile{unescaped(f[0]), to_number(f[1]), to_number(f[2]), f[3] == "1"});
    }
    return out;
}

std::string ControlClient::file_bytes(int id, const std::string& path)
{
    return unescaped(request("file " + std::to_string(id) + " " + control::escape(path)));
}

std::vector<ControlClient::Install> ControlClient::installs(int id)
{
    std::vector<Install> out;
    for (const std::string& token : tokens("installs " + std::to_string(id))) {
        const auto f = fields(token, 2);
        out.push_back(Install{unescaped(f[0]), f[1] == "1"});
    }
    return out;
}

std::vector<std::string> ControlClient::commands(int id, std::size_t from)
{
    std::vector<std::string> out;
    for (const std::string& token : tokens("commands " + std::to_string(id) + " " + std::to_string(from)))
        out.push_back(unescaped(token));
    return out;
}

std::vector<std::string> ControlClient::violations(int id)
{
    std::vector<std::string> out;
    for (const std::string& token : tokens("violations " + std::to_string(id)))
        out.push_back(unescaped(token));
    return out;
}

std::vector<ControlClient::Transfer> ControlClient::traffic(int id, std::uint64_t from)
{
    std::vector<Transfer> out;
    for (const std::string& token : tokens("traffic " + std::to_string(id) + " " + std::to_string(from))) {
        const auto f = fields(token, 6);
        Transfer t;
        t.index = to_number(f[0]);
        t.endpoint = static_cast<std::uint8_t>(to_number(f[1]));
        t.length = to_number(f[2]);
        t.status = f[3];
        t.at_ms = to_number(f[4]);
        t.data = unescaped(f[5]);
        out.push_back(std::move(t));
    }
    return out;
}

}  // namespace emu

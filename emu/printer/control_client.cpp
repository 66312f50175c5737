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

std::string ControlClient::escaped(const std::string& text)
{
    return control::escape(text);
}

std::uint64_t ControlClient::number(const std::string& answer)
{
    return to_number(answer);
}

std::vector<std::string> ControlClient::tokens(const std::string& answer)
{
    return answer.empty() ? std::vector<std::string>() : control::split(answer, ' ');
}

std::vector<std::string> ControlClient::texts(const std::string& answer)
{
    std::vector<std::string> out;
    for (const std::string& token : tokens(answer))
        out.push_back(unescaped(token));
    return out;
}

std::vector<ControlClient::PrinterState> ControlClient::printers()
{
    std::vector<PrinterState> out;
    for (const std::string& token : tokens(request("printers"))) {
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
    return static_cast<int>(number(request(line)));
}

std::vector<ControlClient::StoredFile> ControlClient::files(int id)
{
    std::vector<StoredFile> out;
    for (const std::string& token : tokens(ask("files", id))) {
        const auto f = fields(token, 4);
        out.push_back(StoredFile{unescaped(f[0]), to_number(f[1]), to_number(f[2]), f[3] == "1"});
    }
    return out;
}

std::string ControlClient::file_bytes(int id, const std::string& path)
{
    return unescaped(ask("file", id, escaped(path)));
}

std::vector<ControlClient::Install> ControlClient::installs(int id)
{
    std::vector<Install> out;
    for (const std::string& token : tokens(ask("installs", id))) {
        const auto f = fields(token, 2);
        out.push_back(Install{unescaped(f[0]), f[1] == "1"});
    }
    return out;
}

std::vector<ControlClient::Transfer> ControlClient::traffic(int id, std::uint64_t from)
{
    std::vector<Transfer> out;
    for (const std::string& token : tokens(ask("traffic", id, from))) {
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

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

// The answer's tokens, each of `count` comma-separated fields, made into items.
template <typename Item, typename Make>
std::vector<Item> items(const std::string& answer, std::size_t count, Make make)
{
    std::vector<Item> out;
    for (const std::string& token : answer.empty() ? std::vector<std::string>() : control::split(answer, ' ')) {
        const std::vector<std::string> fields = control::split(token, ',');
        if (fields.size() != count)
            throw ControlClient::Error("malformed answer token: " + token);
        out.push_back(make(fields));
    }
    return out;
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

std::vector<std::string> ControlClient::texts(const std::string& answer)
{
    std::vector<std::string> out;
    if (!answer.empty())
        for (const std::string& token : control::split(answer, ' '))
            out.push_back(unescaped(token));
    return out;
}

std::vector<ControlClient::PrinterState> ControlClient::printers()
{
    return items<PrinterState>(request("printers"), 7, [](const std::vector<std::string>& f) {
        std::vector<int> ports;
        if (f[5] != "-")
            for (const std::string& port : control::split(f[5], '.'))
                ports.push_back(static_cast<int>(to_number(port)));
        return PrinterState{static_cast<int>(to_number(f[0])),
                            static_cast<std::uint16_t>(to_number("0x" + f[1])),
                            static_cast<std::uint16_t>(to_number("0x" + f[2])),
                            static_cast<int>(to_number(f[3])),
                            static_cast<int>(to_number(f[4])),
                            ports,
                            f[6] == "plugged"};
    });
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
    for (std::size_t i = 0; i < printer.ports.size(); ++i)
        line += (i ? "." : ",port=") + std::to_string(printer.ports[i]);
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
    return items<StoredFile>(ask("files", id), 4, [](const std::vector<std::string>& f) {
        return StoredFile{unescaped(f[0]), to_number(f[1]), to_number(f[2]), f[3] == "1"};
    });
}

ControlClient::OpenUpload ControlClient::open_upload(int id)
{
    const std::string answer = ask("upload", id);
    if (answer.empty())
        return OpenUpload{};
    const std::vector<std::string> f = control::split(answer, ',');
    if (f.size() != 2)
        throw Error("not an open upload: " + answer);
    return OpenUpload{true, unescaped(f[0]), to_number(f[1])};
}

std::string ControlClient::file_bytes(int id, const std::string& path)
{
    return unescaped(ask("file", id, escaped(path)));
}

std::vector<ControlClient::Install> ControlClient::installs(int id)
{
    return items<Install>(ask("installs", id), 2, [](const std::vector<std::string>& f) {
        return Install{unescaped(f[0]), f[1] == "1"};
    });
}

std::vector<ControlClient::Transfer> ControlClient::traffic(int id, std::uint64_t from)
{
    return items<Transfer>(ask("traffic", id, from), 6, [](const std::vector<std::string>& f) {
        return Transfer{to_number(f[0]), static_cast<std::uint8_t>(to_number(f[1])),
                        to_number(f[2]), f[3],
                        to_number(f[4]), unescaped(f[5])};
    });
}

}  // namespace emu

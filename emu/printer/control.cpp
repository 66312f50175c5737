#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace emu {
namespace control {

namespace {

const char hex_digits[] = "0123456789abcdef";

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A request that does not fit its verb's usage.
struct Usage {};

// The words of one request; word 0 is the verb.
struct Args {
    const std::vector<std::string>& words;

    std::size_t size() const { return words.size() - 1; }
    const std::string& word(std::size_t at) const { return words[at]; }
    std::uint64_t number(std::size_t at) const
    {
        unsigned long long value = 0;
        if (at >= words.size() || !parse_number(words[at], &value))
            throw Usage{};
        return value;
    }
    std::string text(std::size_t at) const
    {
        std::string value;
        if (at >= words.size() || !unescape(words[at], &value))
            throw Usage{};
        return value;
    }
};

std::string bytes_text(const std::vector<std::uint8_t>& bytes)
{
    return escape(std::string(bytes.begin(), bytes.end()));
}

// "ok" and one token for each item.
template <typename Items, typename Token>
std::string ok_list(const Items& items, Token token)
{
    std::string out = "ok";
    for (const auto& item : items)
        out += " " + token(item);
    return out;
}

std::string done(const std::string& refusal)
{
    return refusal.empty() ? "ok" : "error " + refusal;
}

// Verbs on one printer: words[1] is its ID.  `changed` as in Bus::with_printer.
using PrinterVerb = std::string (*)(Printer&, const Args&, bool& changed);
// Verbs on the bus.
using BusVerb = std::string (*)(Bus&, const Args&);

struct Verb {
    const char* name;
    const char* usage;
    const char* answer;
    std::size_t least, most;  // arguments
    PrinterVerb on_printer;
    BusVerb on_bus;
};

const Verb verbs[] = {
    {"printers", "", "ok ID,VID,PID,BUS,ADDR,plugged|unplugged ...", 0, 0, nullptr,
     [](Bus& bus, const Args&) {
         char ids[16];
         return ok_list(bus.printers(), [&](const Bus::Entry& e) {
             std::snprintf(ids, sizeof ids, "%04x,%04x", e.identity.vendor_id, e.identity.product_id);
             return std::to_string(e.id) + "," + ids + "," + std::to_string(e.identity.bus) + "," +
                    std::to_string(e.identity.address) + "," + (e.plugged ? "plugged" : "unplugged");
         });
     }},
    {"plug", "VID:PID[,bus=B,addr=A,serial=S,manufacturer=M,product=P] | ID [addr=A]",
     "a new printer, or printer ID back (at the bus's next free address unless given): ok ID", 1, 2, nullptr,
     [](Bus& bus, const Args& a) {
         int id = 0;
         std::string refusal;
         if (a.word(1).find(':') != std::string::npos) {
             PrinterRequest request;
             if (a.size() != 1 || !parse_printer_request(a.word(1), &request, &refusal))
                 return "error " + (refusal.empty() ? "usage: plug VID:PID[,...]" : refusal);
             refusal = bus.plug_new(request, &id);
         } else {
             id = static_cast<int>(a.number(1));
             unsigned long long address = 0;
             if (a.size() == 2 && (a.word(2).compare(0, 5, "addr=") != 0 ||
                                   !parse_number(a.word(2).substr(5), &address) || address < 2 || address > 127))
                 throw Usage{};
             refusal = bus.plug_back(id, static_cast<std::uint8_t>(address));
         }
         return refusal.empty() ? "ok " + std::to_string(id) : "error " + refusal;
     }},
    {"unplug", "ID", "ok", 1, 1, nullptr,
     [](Bus& bus, const Args& a) { return done(bus.unplug(static_cast<int>(a.number(1)))); }},

    {"fault", "ID INDEX|+K KIND [AMOUNT]",
     "transfer INDEX (or the K-th from now, +0 the next) does KIND: silence stall vanish overflow "
     "short_transfer io_error zero_length: ok INDEX",
     3, 4,
     [](Printer& p, const Args& a, bool& changed) {
         FaultKind kind;
         if (!fault_from_name(a.word(3), &kind))
             throw Usage{};
         const bool ahead = a.word(2).compare(0, 1, "+") == 0;
         const std::vector<std::string> at{"", ahead ? a.word(2).substr(1) : a.word(2)};
         const std::uint64_t index = (ahead ? p.transfer_count() : 0) + Args{at}.number(1);
         p.fault_at(index, kind, a.size() == 4 ? static_cast<std::size_t>(a.number(4)) : 0);
         changed = true;
         return "ok " + std::to_string(index);
     },
     nullptr},
    {"vanish-after", "ID BYTES", "the printer leaves once its file-data endpoint has taken BYTES in all: ok", 2, 2,
     [](Printer& p, const Args& a, bool&) {
         p.vanish_after_data(a.number(2));
         return std::string("ok");
     },
     nullptr},
    {"replace", "ID COMMAND OCCURRENCE LINE TEXT",
     "reply line LINE of that exchange of COMMAND (\"M601\", ...; 0 the first) is TEXT: ok", 5, 5,
     [](Printer& p, const Args& a, bool&) {
         p.replace_reply(a.text(2), static_cast<int>(a.number(4)), a.text(5), static_cast<int>(a.number(3)));
         return std::string("ok");
     },
     nullptr},
    {"silence", "ID COMMAND OCCURRENCE FROM_LINE", "that exchange sends no reply line from FROM_LINE on: ok", 4, 4,
     [](Printer& p, const Args& a, bool&) {
         p.silence_replies(a.text(2), static_cast<int>(a.number(4)), static_cast<int>(a.number(3)));
         return std::string("ok");
     },
     nullptr},
    {"push", "ID BYTES", "BYTES into the reply queue now, as one transfer: ok", 2, 2,
     [](Printer& p, const Args& a, bool& changed) {
         p.push_raw_reply(a.text(2));
         changed = true;
         return std::string("ok");
     },
     nullptr},
    {"capacity", "ID BYTES", "storage space for uploads: ok", 2, 2,
     [](Printer& p, const Args& a, bool&) {
         p.set_capacity(a.number(2));
         return std::string("ok");
     },
     nullptr},
    {"framing", "ID line|exchange|split [AT]",
     "reply lines one a transfer, one exchange a transfer, or each line in two (cut at AT): ok", 2, 3,
     [](Printer& p, const Args& a, bool&) {
         static const std::pair<const char*, Printer::Framing> framings[] = {
             {"line", Printer::Framing::line_per_transfer},
             {"exchange", Printer::Framing::exchange_per_transfer},
             {"split", Printer::Framing::split_lines},
         };
         const std::size_t at = a.size() == 3 ? static_cast<std::size_t>(a.number(3)) : 0;
         for (const auto& [name, framing] : framings) {
             if (a.word(2) == name) {
                 p.set_framing(framing, at);
                 return std::string("ok");
             }
         }
         throw Usage{};
     },
     nullptr},

    {"count", "ID", "ok N (bulk transfers so far)", 1, 1,
     [](Printer& p, const Args&, bool&) { return "ok " + std::to_string(p.transfer_count()); }, nullptr},
    {"control", "ID", "ok 1|0 (whether the host holds the printer)", 1, 1,
     [](Printer& p, const Args&, bool&) { return std::string(p.under_control() ? "ok 1" : "ok 0"); }, nullptr},
    {"pending", "ID", "ok N (reply bytes not yet read)", 1, 1,
     [](Printer& p, const Args&, bool&) { return "ok " + std::to_string(p.pending_reply_bytes()); }, nullptr},
    {"clears", "ID EP", "ok N (clear-halt requests on endpoint EP)", 2, 2,
     [](Printer& p, const Args& a, bool&) {
         if (a.number(2) > 0xFF)
             throw Usage{};
         return "ok " + std::to_string(p.clear_halt_count(static_cast<std::uint8_t>(a.number(2))));
     },
     nullptr},
    {"files", "ID", "ok PATH,SIZE,ANNOUNCED,COMPLETE ...", 1, 1,
     [](Printer& p, const Args&, bool&) {
         return ok_list(p.files(), [](const auto& f) {
             return escape(f.first) + "," + std::to_string(f.second.data.size()) + "," +
                    std::to_string(f.second.announced) + "," + (f.second.complete ? "1" : "0");
         });
     },
     nullptr},
    {"file", "ID PATH", "ok BYTES (the stored file)", 2, 2,
     [](Printer& p, const Args& a, bool&) {
         const auto f = p.files().find(a.text(2));
         return f == p.files().end() ? "error no file " + a.word(2) : "ok " + bytes_text(f->second.data);
     },
     nullptr},
    {"installs", "ID", "ok PATH,COMPLETE ... (the files taken up, in order)", 1, 1,
     [](Printer& p, const Args&, bool&) {
         return ok_list(p.installs(), [](const Install& i) { return escape(i.path) + (i.complete ? ",1" : ",0"); });
     },
     nullptr},
    {"commands", "ID [FROM]", "ok COMMAND ... (every command line from the FROM-th on)", 1, 2,
     [](Printer& p, const Args& a, bool&) {
         const auto& all = p.commands();
         const std::size_t from = a.size() == 2 ? static_cast<std::size_t>(a.number(2)) : 0;
         return ok_list(std::vector<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end()),
                        escape);
     },
     nullptr},
    {"violations", "ID", "ok TEXT ... (what a careful host never does)", 1, 1,
     [](Printer& p, const Args&, bool&) { return ok_list(p.violations(), escape); }, nullptr},
    {"traffic", "ID [FROM [COUNT]]", "ok INDEX,EP,LENGTH,STATUS,AT_MS,DATA ...", 1, 3,
     [](Printer& p, const Args& a, bool&) {
         const auto& all = p.traffic();
         const std::size_t from = std::min<std::size_t>(a.size() >= 2 ? a.number(2) : 0, all.size());
         const std::size_t count = std::min<std::size_t>(a.size() == 3 ? a.number(3) : all.size(), all.size() - from);
         const std::vector<Transfer> some(all.begin() + static_cast<long>(from),
                                          all.begin() + static_cast<long>(from + count));
         return ok_list(some, [](const Transfer& t) {
             return std::to_string(t.index) + "," + std::to_string(t.endpoint) + "," + std::to_string(t.length) + "," +
                    status_name(t.status) + "," + std::to_string(t.at_ms) + "," + bytes_text(t.data);
         });
     },
     nullptr},
};

}  // namespace

std::string escape(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; continue;
        case ' ': out += "\\s"; continue;
        case ',': out += "\\c"; continue;
        case '\r': out += "\\r"; continue;
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape(const std::string& text, std::string* bytes)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 's': out += ' '; break;
        case 'c': out += ','; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
            const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
            if (low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    *bytes = std::move(out);
    return true;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool parse_number(const std::string& text, unsigned long long* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* start = text.c_str() + (hex ? 2 : 0);
    if (*start == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(start, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

std::string answer(Bus& bus, const std::string& request)
{
    const std::vector<std::string> words = split(request, ' ');
    for (const Verb& verb : verbs) {
        if (words[0] != verb.name)
            continue;
        const Args args{words};
        try {
            if (args.size() < verb.least || args.size() > verb.most)
                throw Usage{};
            if (verb.on_bus)
                return verb.on_bus(bus, args);
            unsigned long long id = 0;
            std::string out;
            const bool found = parse_number(words[1], &id) && id <= 0x7FFFFFFF &&
                               bus.with_printer(static_cast<int>(id), [&](Printer& printer) {
                                   bool changed = false;
                                   out = verb.on_printer(printer, args, changed);
                                   return changed;
                               });
            return found ? out : "error no printer '" + escape(words[1]) + "'";
        } catch (const Usage&) {
            return std::string("error usage: ") + verb.name + " " + verb.usage;
        }
    }
    return "error unknown request '" + escape(words[0]) + "'";
}

std::string verbs_help()
{
    std::string out;
    for (const Verb& verb : verbs)
        out += std::string(verb.name) + " " + verb.usage + "\n        " + verb.answer + "\n";
    return out;
}

}  // namespace control
}  // namespace emu

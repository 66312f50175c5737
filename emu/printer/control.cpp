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

// One request being carried out: its words (word 0 is the verb), the bus,
// and for a verb on one printer (word 1 its ID) that printer, and whether
// the verb may have changed what an IN transfer finds (Bus::with_printer).
struct Call {
    const std::vector<std::string>& words;
    Bus& bus;
    Printer* p = nullptr;
    bool changed = false;

    std::size_t size() const { return words.size() - 1; }
    const std::string& word(std::size_t at) const { return words[at]; }
    std::uint64_t number(std::size_t at) const { return number_of(at < words.size() ? words[at] : ""); }
    static std::uint64_t number_of(const std::string& text)
    {
        unsigned long long value = 0;
        if (!parse_number(text, &value))
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

const std::string ok = "ok";

// "1.4", or "-" for ports not known.
std::string ports_text(const std::vector<std::uint8_t>& ports)
{
    std::string out;
    for (std::uint8_t port : ports)
        out += (out.empty() ? "" : ".") + std::to_string(port);
    return out.empty() ? "-" : out;
}

struct Verb {
    const char* name;
    const char* usage;
    const char* answer;
    std::size_t least, most;  // arguments
    bool on_printer;
    std::string (*carry_out)(Call&);
};

const Verb verbs[] = {
    {"printers", "", "ok ID,VID,PID,BUS,ADDR,PORT,plugged|unplugged ... (PORT: 1.4 for 1-1.4, - if not known)", 0, 0,
     false,
     [](Call& c) {
         char ids[16];
         return ok_list(c.bus.printers(), [&](const Bus::Entry& e) {
             std::snprintf(ids, sizeof ids, "%04x,%04x", e.identity.vendor_id, e.identity.product_id);
             return std::to_string(e.id) + "," + ids + "," + std::to_string(e.identity.bus) + "," +
                    std::to_string(e.identity.address) + "," + ports_text(e.identity.ports) + "," +
                    (e.plugged ? "plugged" : "unplugged");
         });
     }},
    {"plug", "VID:PID[,bus=B,addr=A,port=P[.P...],serial=S,manufacturer=M,product=P] | ID [addr=A]",
     "a new printer (port: from the root hub down, 1.4 is port 4 of a hub in port 1; the hubs on the way are "
     "made), or printer ID back at its port (at the bus's next free address unless given): ok ID",
     1, 2, false,
     [](Call& c) {
         int id = 0;
         std::string refusal;
         if (c.word(1).find(':') != std::string::npos) {
             PrinterRequest request;
             if (c.size() != 1 || !parse_printer_request(c.word(1), &request, &refusal))
                 return "error " + (refusal.empty() ? "usage: plug VID:PID[,...]" : refusal);
             refusal = c.bus.plug_new(request, &id);
         } else {
             id = static_cast<int>(c.number(1));
             std::uint64_t address = 0;
             if (c.size() == 2 && (c.word(2).compare(0, 5, "addr=") != 0 ||
                                   (address = Call::number_of(c.word(2).substr(5))) < 2 || address > 127))
                 throw Usage{};
             refusal = c.bus.plug_back(id, static_cast<std::uint8_t>(address));
         }
         return refusal.empty() ? "ok " + std::to_string(id) : "error " + refusal;
     }},
    {"unplug", "ID", "ok", 1, 1, false,
     [](Call& c) {
         const std::string refusal = c.bus.unplug(static_cast<int>(c.number(1)));
         return refusal.empty() ? ok : "error " + refusal;
     }},

    {"fault", "ID INDEX|+K KIND [AMOUNT]",
     "transfer INDEX (or the K-th from now, +0 the next) does KIND: silence stall vanish overflow "
     "short_transfer io_error zero_length: ok INDEX",
     3, 4, true,
     [](Call& c) {
         FaultKind kind;
         if (!fault_from_name(c.word(3), &kind))
             throw Usage{};
         const bool ahead = c.word(2).compare(0, 1, "+") == 0;
         const std::uint64_t index =
             (ahead ? c.p->transfer_count() : 0) + Call::number_of(c.word(2).substr(ahead ? 1 : 0));
         c.p->fault_at(index, kind, c.size() == 4 ? static_cast<std::size_t>(c.number(4)) : 0);
         c.changed = true;
         return "ok " + std::to_string(index);
     }},
    {"vanish-after", "ID BYTES", "the printer leaves once its file-data endpoint has taken BYTES in all: ok", 2, 2,
     true,
     [](Call& c) {
         c.p->vanish_after_data(c.number(2));
         return ok;
     }},
    {"replace", "ID COMMAND OCCURRENCE LINE TEXT",
     "reply line LINE of that exchange of COMMAND (\"M601\", ...; 0 the first) is TEXT: ok", 5, 5, true,
     [](Call& c) {
         c.p->replace_reply(c.text(2), static_cast<int>(c.number(4)), c.text(5), static_cast<int>(c.number(3)));
         return ok;
     }},
    {"silence", "ID COMMAND OCCURRENCE FROM_LINE", "that exchange sends no reply line from FROM_LINE on: ok", 4, 4,
     true,
     [](Call& c) {
         c.p->silence_replies(c.text(2), static_cast<int>(c.number(4)), static_cast<int>(c.number(3)));
         return ok;
     }},
    {"push", "ID BYTES", "BYTES into the reply queue now, as one transfer: ok", 2, 2, true,
     [](Call& c) {
         c.p->push_raw_reply(c.text(2));
         c.changed = true;
         return ok;
     }},
    {"capacity", "ID BYTES", "storage space for uploads: ok", 2, 2, true,
     [](Call& c) {
         c.p->set_capacity(c.number(2));
         return ok;
     }},
    {"framing", "ID line|exchange|split [AT]",
     "reply lines one a transfer, one exchange a transfer, or each line in two (cut at AT): ok", 2, 3, true,
     [](Call& c) {
         static const std::pair<const char*, Printer::Framing> framings[] = {
             {"line", Printer::Framing::line_per_transfer},
             {"exchange", Printer::Framing::exchange_per_transfer},
             {"split", Printer::Framing::split_lines},
         };
         for (const auto& [name, framing] : framings) {
             if (c.word(2) == name) {
                 c.p->set_framing(framing, c.size() == 3 ? static_cast<std::size_t>(c.number(3)) : 0);
                 return ok;
             }
         }
         throw Usage{};
     }},

    {"count", "ID", "ok N (bulk transfers so far)", 1, 1, true,
     [](Call& c) { return "ok " + std::to_string(c.p->transfer_count()); }},
    {"control", "ID", "ok 1|0 (whether the host holds the printer)", 1, 1, true,
     [](Call& c) { return std::string(c.p->under_control() ? "ok 1" : "ok 0"); }},
    {"pending", "ID", "ok N (reply bytes not yet read)", 1, 1, true,
     [](Call& c) { return "ok " + std::to_string(c.p->pending_reply_bytes()); }},
    {"clears", "ID EP", "ok N (clear-halt requests on endpoint EP)", 2, 2, true,
     [](Call& c) {
         if (c.number(2) > 0xFF)
             throw Usage{};
         return "ok " + std::to_string(c.p->clear_halt_count(static_cast<std::uint8_t>(c.number(2))));
     }},
    {"upload", "ID", "ok PATH,MISSING while an upload is open (MISSING: bytes it still lacks), else ok", 1, 1, true,
     [](Call& c) {
         return c.p->uploading() ? "ok " + escape(c.p->upload_path()) + "," + std::to_string(c.p->upload_missing())
                                 : ok;
     }},
    {"files", "ID", "ok PATH,SIZE,ANNOUNCED,COMPLETE ...", 1, 1, true,
     [](Call& c) {
         return ok_list(c.p->files(), [](const auto& f) {
             return escape(f.first) + "," + std::to_string(f.second.data.size()) + "," +
                    std::to_string(f.second.announced) + "," + (f.second.complete ? "1" : "0");
         });
     }},
    {"file", "ID PATH", "ok BYTES (the stored file)", 2, 2, true,
     [](Call& c) {
         const auto f = c.p->files().find(c.text(2));
         return f == c.p->files().end() ? "error no file " + c.word(2) : "ok " + bytes_text(f->second.data);
     }},
    {"installs", "ID", "ok PATH,COMPLETE ... (the files taken up, in order)", 1, 1, true,
     [](Call& c) {
         return ok_list(c.p->installs(), [](const Install& i) { return escape(i.path) + (i.complete ? ",1" : ",0"); });
     }},
    {"commands", "ID [FROM]", "ok COMMAND ... (every command line from the FROM-th on)", 1, 2, true,
     [](Call& c) {
         const auto& all = c.p->commands();
         const std::size_t from = std::min<std::size_t>(c.size() == 2 ? c.number(2) : 0, all.size());
         return ok_list(std::vector<std::string>(all.begin() + static_cast<long>(from), all.end()), escape);
     }},
    {"violations", "ID", "ok TEXT ... (what a careful host never does)", 1, 1, true,
     [](Call& c) { return ok_list(c.p->violations(), escape); }},
    {"traffic", "ID [FROM [COUNT]]", "ok INDEX,EP,LENGTH,STATUS,AT_MS,DATA ...", 1, 3, true,
     [](Call& c) {
         const auto& all = c.p->traffic();
         const std::size_t from = std::min<std::size_t>(c.size() >= 2 ? c.number(2) : 0, all.size());
         const std::size_t count = std::min<std::size_t>(c.size() == 3 ? c.number(3) : all.size(), all.size() - from);
         const auto first = all.begin() + static_cast<long>(from);
         return ok_list(std::vector<Transfer>(first, first + static_cast<long>(count)), [](const Transfer& t) {
             return std::to_string(t.index) + "," + std::to_string(t.endpoint) + "," + std::to_string(t.length) + "," +
                    status_name(t.status) + "," + std::to_string(t.at_ms) + "," + bytes_text(t.data);
         });
     }},
};

}  // namespace

std::string escape(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            continue;
        case ' ':
            out += "\\s";
            continue;
        case ',':
            out += "\\c";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
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
        case '\\':
            out += '\\';
            break;
        case 's':
            out += ' ';
            break;
        case 'c':
            out += ',';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
            const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
            if (low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return false;
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
        Call call{words, bus};
        try {
            if (call.size() < verb.least || call.size() > verb.most)
                throw Usage{};
            if (!verb.on_printer)
                return verb.carry_out(call);
            unsigned long long id = 0;
            std::string out;
            const bool found = parse_number(words[1], &id) && id <= 0x7FFFFFFF &&
                               bus.with_printer(static_cast<int>(id), [&](Printer& printer) {
                                   call.p = &printer;
                                   out = verb.carry_out(call);
                                   return call.changed;
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

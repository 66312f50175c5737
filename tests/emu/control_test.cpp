// The control language: its escapes, and every verb on a bus of two plain
// printer models, with the host's side of the wire driven by the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "com/devices.h"
#include "printer/control.h"

namespace {

namespace control = emu::control;

TEST(ControlText, EscapedTextHoldsNoSeparatorAndComesBackWhole)
{
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    every += "~M28 12 0:/sys/a,b\\c\r\n";
    const std::string escaped = control::escape(every);
    for (char c : escaped) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte > 0x20 && byte < 0x7F && c != ',') << "byte " << int(byte);
    }
    std::string back;
    ASSERT_TRUE(control::unescape(escaped, &back));
    EXPECT_EQ(back, every);
}

TEST(ControlText, MalformedEscapesAndNumbersAreRefused)
{
    std::string out;
    for (const char* bad : {"\\", "a\\", "\\q", "\\x4", "\\xZ1", "\\x1"})
        EXPECT_FALSE(control::unescape(bad, &out)) << bad;
    unsigned long long n = 0;
    EXPECT_TRUE(control::parse_number("0x81", &n));
    EXPECT_EQ(n, 0x81u);
    EXPECT_TRUE(control::parse_number("4096", &n));
    EXPECT_EQ(n, 4096u);
    for (const char* bad : {"", "-1", "+2", "0x", "12a", " 1", "99999999999999999999999"})
        EXPECT_FALSE(control::parse_number(bad, &n)) << bad;
}

// A bus of printers that are only models: plugging flips a flag.
class ModelBus : public control::Bus {
public:
    ModelBus()
    {
        add(emu::printer_identity(com::ids::vendor_halvenn, com::ids::product_orbrey, 1, 5));
        add(emu::printer_identity(com::ids::vendor_velmora, com::ids::endpoint_set_b_products[0], 1, 6));
    }

    emu::Printer& printer(int id) { return *slots_[static_cast<std::size_t>(id - 1)].printer; }

    std::vector<Entry> printers() override
    {
        std::vector<Entry> out;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            out.push_back(Entry{static_cast<int>(i + 1), slots_[i].identity, slots_[i].printer->present()});
        return out;
    }
    bool with_printer(int id, const std::function<bool(emu::Printer&)>& act) override
    {
        if (id < 1 || static_cast<std::size_t>(id) > slots_.size())
            return false;
        act(printer(id));
        return true;
    }
    std::string plug_new(const emu::PrinterRequest& request, int* id) override
    {
        *id = add(emu::printer_identity(request, 7));
        return std::string();
    }
    std::string plug_back(int id, std::uint8_t address) override
    {
        if (id < 1 || static_cast<std::size_t>(id) > slots_.size())
            return "no printer " + std::to_string(id);
        slots_[static_cast<std::size_t>(id - 1)].identity.address = address ? address : 8;
        printer(id).plug_back();
        return std::string();
    }
    std::string unplug(int id) override
    {
        if (id < 1 || static_cast<std::size_t>(id) > slots_.size())
            return "no printer " + std::to_string(id);
        printer(id).unplug();
        return std::string();
    }

private:
    struct Slot {
        emu::Identity identity;
        std::unique_ptr<emu::Printer> printer;
    };
    int add(const emu::Identity& identity)
    {
        slots_.push_back(Slot{identity, std::make_unique<emu::Printer>(identity.endpoints)});
        return static_cast<int>(slots_.size());
    }
    std::vector<Slot> slots_;
};

// The host's side of printer 1, written as steps among the requests:
//   "host> LINE"   LINE and "\r\n" on the command endpoint
//   "host= BYTES"  BYTES (escaped) on the file-data endpoint; its status
//   "host< N"      N transfers read from the reply endpoint, "|" between
//                  them, "<status>" for one that fails
std::string host(emu::Printer& printer, const std::string& step)
{
    const std::string rest = step.substr(6);
    auto out = [&](std::uint8_t endpoint, const std::string& bytes) {
        return printer.bulk_out(endpoint, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 100)
            .status;
    };
    if (step.compare(0, 6, "host> ") == 0)
        return emu::status_name(out(printer.endpoints().cmd_out, rest + "\r\n"));
    if (step.compare(0, 6, "host= ") == 0) {
        std::string bytes;
        control::unescape(rest, &bytes);
        return emu::status_name(out(printer.endpoints().data_out, bytes));
    }
    std::string read;
    for (int i = 0; i < std::stoi(rest); ++i) {
        std::string buffer(4096, '\0');
        const auto r = printer.bulk_in(0x81, reinterpret_cast<std::uint8_t*>(&buffer[0]), buffer.size(), 100);
        read += (i ? "|" : "") + (r.status == emu::Status::ok ? buffer.substr(0, r.actual)
                                                              : "<" + std::string(emu::status_name(r.status)) + ">");
    }
    return read;
}

struct Step {
    std::string request;
    std::string answer;  // for host steps: what the host saw ("" checks nothing)
};

struct Script {
    const char* what;
    std::vector<Step> steps;
};

const std::string take_control_replies = "CMD M601 Received.\r\n|Control Success.\r\n|ok\r\n";

const Script scripts[] = {
    {"the bus lists, unplugs and plugs printers",
     {{"printers", "ok 1,2c7e,4201,1,5,-,plugged 2,1e4b,0104,1,6,-,plugged"},
      {"unplug 2", "ok"},
      {"printers", "ok 1,2c7e,4201,1,5,-,plugged 2,1e4b,0104,1,6,-,unplugged"},
      {"plug 2 addr=9", "ok 2"},
      {"plug 1e4b:0101,serial=A\\sB", "ok 3"},
      {"plug 2c7e:4201,port=1.4", "ok 4"},
      {"printers", "ok 1,2c7e,4201,1,5,-,plugged 2,1e4b,0104,1,9,-,plugged 3,1e4b,0101,1,7,-,plugged "
                   "4,2c7e,4201,1,7,1.4,plugged"},
      {"plug 2c7e:4201,port=1.0", "error port must be one to seven port numbers of 1 to 255 joined by dots (1.4)"},
      {"plug 2c7e:4201,port=1.2.3.4.5.6.7.8",
       "error port must be one to seven port numbers of 1 to 255 joined by dots (1.4)"},
      {"plug 2 addr=1",
       "error usage: plug VID:PID[,bus=B,addr=A,port=P[.P...],serial=S,manufacturer=M,product=P] | ID [addr=A]"},
      {"plug 2e:0:1", "error expected VID:PID in hexadecimal, got '2e:0:1'"},
      {"plug 2c7e:4201 addr=9", "error usage: plug VID:PID[,...]"},
      {"unplug 7", "error no printer 7"}}},
    {"taking control shows in the state and the reply queue",
     {{"control 1", "ok 0"},
      {"host> ~M601 S0", "ok"},
      {"control 1", "ok 1"},
      {"pending 1", "ok 42"},
      {"count 1", "ok 1"},
      {"commands 1", "ok ~M601\\sS0"},
      {"host< 3", take_control_replies},
      {"pending 1", "ok 0"},
      {"traffic 1 1 1", "ok 1,129,4096,ok,0,CMD\\sM601\\sReceived.\\r\\n"},
      {"control 2", "ok 0"}}},
    {"an upload shows as a stored file, a take-up and the commands",
     {{"host> ~M601 S0", "ok"},
      {"upload 1", "ok"},
      {"host> ~M28 3 0:/sys/a b.bin", "ok"},
      {"upload 1", "ok 0:/sys/a\\sb.bin,3"},
      {"host= a\\x00c", "ok"},
      {"upload 1", "ok 0:/sys/a\\sb.bin,0"},
      {"host> ~M29", "ok"},
      {"upload 1", "ok"},
      {"host> ~M600", "ok"},
      {"host> ~M28 9 0:/sys/cut.bin", "ok"},
      {"host= xyz", "ok"},
      {"host> ~M29", "ok"},
      {"files 1", "ok 0:/sys/a\\sb.bin,3,3,1 0:/sys/cut.bin,3,9,0"},
      {"file 1 0:/sys/a\\sb.bin", "ok a\\x00c"},
      {"file 1 0:/sys/none", "error no file 0:/sys/none"},
      {"installs 1", "ok 0:/sys/a\\sb.bin,1"},
      {"commands 1 3", "ok ~M600 ~M28\\s9\\s0:/sys/cut.bin ~M29"},
      {"commands 1 99", "ok"},
      {"violations 1", "ok"},
      {"host> ~M600", "ok"},
      {"installs 1", "ok 0:/sys/a\\sb.bin,1 0:/sys/cut.bin,0"}}},
    {"what a careless host does is listed",
     {{"host> ~M28 1 x", "ok"},
      {"host= ab", "ok"},
      {"host> M29", "ok"},
      {"violations 1",
       "ok upload\\swithout\\scontrol:\\s~M28\\s1\\sx "
       "file\\sdata\\sbeyond\\sthe\\sannounced\\ssize:\\s1\\sbytes\\sfor\\sx not\\sa\\scommand:\\sM29"}}},
    {"faults are planned by index or from now",
     {{"fault 1 +0 stall", "ok 0"},
      {"host< 1", "<stall>"},
      {"traffic 1", "ok 0,129,4096,stall,0,"},
      {"clears 1 0x81", "ok 0"},
      {"fault 1 +1 silence", "ok 2"},
      {"fault 1 5 short_transfer 2", "ok 5"},
      {"fault 1 +0 sneeze", "error usage: fault ID INDEX|+K KIND [AMOUNT]"},
      {"fault 1 -1 stall", "error usage: fault ID INDEX|+K KIND [AMOUNT]"},
      {"clears 1 256", "error usage: clears ID EP"}}},
    {"reply lines are replaced and silenced per exchange",
     {{"replace 1 M601 0 1 Control\\sFailed.", "ok"},
      {"silence 1 M602 0 1", "ok"},
      {"host> ~M601 S0", "ok"},
      {"host< 3", "CMD M601 Received.\r\n|Control Failed.\r\n|ok\r\n"},
      {"host> ~M602", "ok"},
      {"host< 2", "CMD M602 Received.\r\n|<timeout>"},
      {"host> ~M601 S0", "ok"},
      {"host< 3", take_control_replies},
      {"replace 1 M601 0 1", "error usage: replace ID COMMAND OCCURRENCE LINE TEXT"},
      {"silence 1 M601 x 0", "error usage: silence ID COMMAND OCCURRENCE FROM_LINE"}}},
    {"pushed bytes and the framing shape what the host reads",
     {{"push 1 stale\\r\\n", "ok"},
      {"pending 1", "ok 7"},
      {"framing 1 exchange", "ok"},
      {"host> ~M601 S0", "ok"},
      {"host< 2", "stale\r\n|CMD M601 Received.\r\nControl Success.\r\nok\r\n"},
      {"framing 1 split 3", "ok"},
      {"host> ~M602", "ok"},
      {"host< 2", "CMD| M602 Received.\r\n"},
      {"framing 1 diagonal", "error usage: framing ID line|exchange|split [AT]"},
      {"push 1 bad\\q", "error usage: push ID BYTES"}}},
    {"a printer that is full says so",
     {{"capacity 1 2", "ok"},
      {"host> ~M601 S0", "ok"},
      {"host> ~M28 3 0:/sys/a", "ok"},
      {"host< 6", take_control_replies + "|CMD M28 Received.\r\n|out of space\r\n|ok\r\n"}}},
    {"a printer leaves after so many file-data bytes",
     {{"vanish-after 1 4", "ok"},
      {"host> ~M601 S0", "ok"},
      {"host> ~M28 8 0:/sys/a", "ok"},
      {"host= abc", "ok"},
      {"host= de", "ok"},
      {"host= f", "no_device"},
      {"printers", "ok 1,2c7e,4201,1,5,-,unplugged 2,1e4b,0104,1,6,-,plugged"},
      {"vanish-after 1", "error usage: vanish-after ID BYTES"}}},
    {"requests that are no request",
     {{"", "error unknown request ''"},
      {"dance 1", "error unknown request 'dance'"},
      {"count", "error usage: count ID"},
      {"count 1 2", "error usage: count ID"},
      {"count 9", "error no printer '9'"},
      {"count x\\s", "error no printer 'x\\\\s'"},
      {"traffic 1 0 0", "ok"}}},
};

TEST(ControlLanguage, EveryVerbAndTheStateItReports)
{
    std::set<std::string> used;
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        ModelBus bus;
        for (const Step& step : script.steps) {
            if (step.request.compare(0, 4, "host") == 0) {
                EXPECT_EQ(host(bus.printer(1), step.request), step.answer) << step.request;
                continue;
            }
            used.insert(control::split(step.request, ' ')[0]);
            EXPECT_EQ(control::answer(bus, step.request), step.answer) << step.request;
        }
    }
    // The table above tries every verb there is.
    std::istringstream help(control::verbs_help());
    for (std::string line; std::getline(help, line);) {
        if (!line.empty() && line[0] != ' ') {
            EXPECT_TRUE(used.count(line.substr(0, line.find(' ')))) << "untried: " << line;
        }
    }
}

}  // namespace

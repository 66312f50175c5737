// Every step of a whole update fails once.
//
// A clean update of a main image and two additional files is recorded
// transfer by transfer; then the update is run again once for every transfer
// and every way that transfer can go wrong, and once for every log line with
// the disk full from that line on.  Each run must end with the worker's
// signal contract kept, the printer given back, nothing taken up that did not
// arrive whole, no complete file on the printer that differs from its local
// file, the failure in the log, libusb left as it was found, and a next
// update that succeeds.
#include "update_harness.h"

#include <chrono>
#include <cinttypes>

namespace {

using namespace faults;

// ---------------------------------------------------------------------------
// The scenario

struct Scenario {
    std::vector<Firmware> firmware;  // in the order the update takes them up
    QFileInfoList files;             // what the window hands the worker
};

const Scenario& scenario()
{
    static const Scenario s = [] {
        Scenario made;
        QDir(firmwareDir()).removeRecursively();
        QDir().mkpath(firmwareDir());
        // Four data pieces, the last one short; two pieces with a one-byte
        // tail; exactly one piece.
        made.firmware.push_back(
            writeFirmware(firmwareDir(), QStringLiteral("Orbrey-3.1.bin"), patternBytes(3 * 4096 + 700, 1)));
        made.firmware.push_back(writeFirmware(firmwareDir(), QStringLiteral("fonts.xbf"), patternBytes(4096 + 1, 2)));
        made.firmware.push_back(writeFirmware(firmwareDir(), QStringLiteral("ui.xbf"), patternBytes(4096, 3)));
        made.files = listFolder(firmwareDir());
        return made;
    }();
    return s;
}

// An empty bus with one target printer, the clock at its start, no logs.
std::shared_ptr<emu::Printer> freshWorld()
{
    emu::UsbBus::instance().reset();
    emu::VirtualClock::reset();
    clearLogs();
    return emu::UsbBus::instance().attach_printer(UpdateFirmware::TARGET_VENDOR_ID, UpdateFirmware::TARGET_PRODUCT_ID);
}

// ---------------------------------------------------------------------------
// The clean update, transfer by transfer

struct Step {
    std::uint64_t index = 0;
    std::uint8_t endpoint = 0;
    bool out = false;
    bool data = false;       // a piece of file data
    std::size_t length = 0;  // the host's transfer length
    emu::Status status = emu::Status::ok;
    std::string command;  // the exchange it belongs to ("M601", "M28", ...); empty before the first command
    int occurrence = -1;  // which exchange of that command
    int replyLine = -1;   // an IN transfer that delivered a line: its number in the exchange
    std::string text;     // the command or reply line without its line end
};

std::string withoutLineEnd(const std::vector<std::uint8_t>& data)
{
    std::string text(data.begin(), data.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::vector<Step> describe(const emu::Printer& printer)
{
    std::vector<Step> steps;
    std::map<std::string, int> seen;
    std::string command;
    int occurrence = -1;
    int line = 0;
    for (const emu::Transfer& t : printer.traffic()) {
        Step s;
        s.index = t.index;
        s.endpoint = t.endpoint;
        s.out = (t.endpoint & 0x80) == 0;
        s.length = t.length;
        s.status = t.status;
        if (t.endpoint == printer.endpoints().cmd_out) {
            s.text = withoutLineEnd(t.data);
            const std::size_t blank = s.text.find(' ');
            command = s.text.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
            occurrence = seen[command]++;
            line = 0;
        } else if (t.endpoint == printer.endpoints().data_out) {
            s.data = true;
        } else if (t.status == emu::Status::ok && !t.data.empty()) {
            s.replyLine = line++;
            s.text = withoutLineEnd(t.data);
        }
        s.command = command;
        s.occurrence = occurrence;
        steps.push_back(s);
    }
    return steps;
}

std::string printable(const std::string& text, std::size_t limit = 44)
{
    std::string out;
    for (char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    return text.size() > limit ? out + "..." : out;
}

// ---------------------------------------------------------------------------
// The faults

enum class Fault { silence, stall, vanish, wrong_reply, short_transfer, overflow, out_of_space, io_error, zero_length };

constexpr Fault all_faults[] = {Fault::silence,      Fault::stall,          Fault::vanish,
                                Fault::wrong_reply,  Fault::short_transfer, Fault::overflow,
                                Fault::out_of_space, Fault::io_error,       Fault::zero_length};

const char* name(Fault f)
{
    switch (f) {
    case Fault::silence:
        return "time-out";
    case Fault::stall:
        return "stall";
    case Fault::vanish:
        return "vanish";
    case Fault::wrong_reply:
        return "wrong reply";
    case Fault::short_transfer:
        return "short transfer";
    case Fault::overflow:
        return "overflow";
    case Fault::out_of_space:
        return "out of space";
    case Fault::io_error:
        return "i/o error";
    case Fault::zero_length:
        return "zero length";
    }
    return "?";
}

bool applies(Fault f, const Step& s)
{
    switch (f) {
    case Fault::short_transfer:
        return s.out && s.length > 1;
    case Fault::wrong_reply:
        return s.replyLine >= 0;
    case Fault::out_of_space:
        return s.command == "M28" && s.replyLine == 1;
    default:
        return true;
    }
}

// A line the printer never sends at that point.
std::string wrongLine(const Step& s)
{
    return s.text == "ok" ? "failed" : "ok";
}

std::size_t shortAmount(const Step& s)
{
    return s.length / 2;
}

// Sizes of the files the update sends before the one of M28 exchange `occurrence`.
std::uint64_t sizeBefore(int occurrence)
{
    std::uint64_t total = 0;
    for (int i = 0; i < occurrence; ++i)
        total += static_cast<std::uint64_t>(scenario().firmware[static_cast<std::size_t>(i)].bytes.size());
    return total;
}

void plant(emu::Printer& printer, Fault f, const Step& s)
{
    switch (f) {
    case Fault::silence:
        printer.fault_at(s.index, emu::FaultKind::silence);
        break;
    case Fault::stall:
        printer.fault_at(s.index, emu::FaultKind::stall);
        break;
    case Fault::vanish:
        printer.fault_at(s.index, emu::FaultKind::vanish);
        break;
    case Fault::overflow:
        printer.fault_at(s.index, emu::FaultKind::overflow);
        break;
    case Fault::io_error:
        printer.fault_at(s.index, emu::FaultKind::io_error);
        break;
    case Fault::zero_length:
        printer.fault_at(s.index, emu::FaultKind::zero_length);
        break;
    case Fault::short_transfer:
        printer.fault_at(s.index, emu::FaultKind::short_transfer, shortAmount(s));
        break;
    case Fault::wrong_reply:
        printer.replace_reply(s.command, s.replyLine, wrongLine(s), s.occurrence);
        break;
    case Fault::out_of_space: {
        // The printer's own answer: the file of this exchange is one byte too big.
        const std::uint64_t size =
            static_cast<std::uint64_t>(scenario().firmware[static_cast<std::size_t>(s.occurrence)].bytes.size());
        printer.set_capacity(sizeBefore(s.occurrence) + size - 1);
        break;
    }
    }
}

// The transfer did what was planned for it (the run really is the one it claims to be).
void checkFired(const emu::Printer& printer, Fault f, const Step& s)
{
    ASSERT_GT(printer.traffic().size(), s.index) << "the update ended before the faulted transfer";
    const emu::Transfer& t = printer.traffic()[s.index];
    ASSERT_EQ(t.endpoint, s.endpoint) << "the faulted run took another path before the fault";
    const std::string got(t.data.begin(), t.data.end());
    switch (f) {
    case Fault::silence:
        EXPECT_EQ(t.status, emu::Status::timeout);
        break;
    case Fault::stall:
        EXPECT_EQ(t.status, emu::Status::stall);
        break;
    case Fault::vanish:
        EXPECT_EQ(t.status, emu::Status::no_device);
        break;
    case Fault::overflow:
        EXPECT_EQ(t.status, emu::Status::overflow);
        break;
    case Fault::io_error:
        EXPECT_EQ(t.status, emu::Status::io_error);
        break;
    case Fault::zero_length:
        EXPECT_TRUE(t.status == emu::Status::ok && t.data.empty());
        break;
    case Fault::short_transfer:
        EXPECT_TRUE(t.status == emu::Status::ok && t.data.size() == shortAmount(s));
        break;
    case Fault::wrong_reply:
        EXPECT_EQ(got, wrongLine(s) + "\r\n");
        break;
    case Fault::out_of_space:
        EXPECT_EQ(got, "out of space\r\n");
        break;
    }
}

// What the update must end with: 0 for done(true), else the result code whose
// text the worker shows.
int expectedCode(Fault f, const Step& s)
{
    // Before the first command the link only looks for stale replies from an
    // earlier session; whatever that look finds or fails with is ignored, and
    // the take-control handshake runs as usual.  Only a printer that is gone
    // stays gone.
    if (s.command.empty())
        return f == Fault::vanish ? com::COM_ERR_DISCONNECTED : com::COM_SUCCESS;
    // The give-back runs when the link is deleted, after done(true): its
    // outcome is not reported.  (Whether the printer was given back is
    // checked for every run.)
    if (s.command == "M602")
        return com::COM_SUCCESS;
    switch (f) {
    case Fault::silence:
        return com::COM_ERR_TIMEOUT;
    case Fault::stall:
        return com::COM_ERR_HALTED;
    case Fault::vanish:
        return com::COM_ERR_DISCONNECTED;
    case Fault::io_error:
        return com::COM_ERR_UNKNOWN;
    // A line read keeps overflow for its own buffer; the bus's is another error.
    case Fault::overflow:
        return s.out ? com::COM_ERR_OVERFLOW : com::COM_ERR_UNKNOWN;
    // File data goes out once: a piece the printer did not take whole ends the
    // upload.  A command line the printer took only part of is completed.
    case Fault::short_transfer:
        return s.data ? com::COM_ERR_OVERFLOW : com::COM_SUCCESS;
    // A command the printer took none of was not sent; an empty reply
    // transfer hands out no line, which is no expected reply.
    case Fault::zero_length:
        return s.data ? com::COM_ERR_OVERFLOW : s.out ? com::COM_ERR_TIMEOUT : com::COM_ERR_COMMAND;
    case Fault::wrong_reply:
        return com::COM_ERR_COMMAND;
    case Fault::out_of_space:
        return com::COM_ERR_DISK_FULL;
    }
    return -1;
}

// The line the log must hold after a failed update.
std::string failureLine(Fault f, const Step& s)
{
    switch (f) {
    case Fault::silence:
        return ": timeout\n";
    case Fault::stall:
        return ": device has halted\n";
    case Fault::vanish:
        return ": no device\n";
    case Fault::io_error:
        return ": other error, error code: -1\n";
    case Fault::overflow:
        return s.out ? ": device buffer overflow\n" : ": other error, error code: -8\n";
    case Fault::short_transfer:
        return ": device took " + std::to_string(shortAmount(s)) + " of ";
    case Fault::zero_length:
        return s.data ? ": device took 0 of " : s.out ? "com_write: : the printer took no byte" : "com_readline: \n";
    case Fault::wrong_reply:
        return "com_readline: " + wrongLine(s) + "\r\n\n";
    case Fault::out_of_space:
        return "com_readline: out of space\r\n\n";
    }
    return std::string();
}

void replugIfGone(emu::Printer& printer)
{
    if (printer.present())
        return;
    printer.plug_back();
    emu::UsbBus::instance().find(&printer)->attached = true;
}

// Outcome counts per fault kind, printed as a table.
class Tally {
public:
    void add(const std::string& kind, const std::string& outcome)
    {
        ++counts[kind][outcome];
        outcomes.insert(outcome);
        ++runs;
    }

    void print(const char* title) const
    {
        std::printf("\n%s: %d runs\n", title, runs);
        std::map<std::string, char> key;
        char next = 'A';
        for (const std::string& o : outcomes)
            key[o] = next++;
        std::printf("  %-15s %5s", "fault", "runs");
        for (const auto& k : key)
            std::printf(" %4c", k.second);
        std::printf("\n");
        for (const auto& row : counts) {
            int total = 0;
            for (const auto& c : row.second)
                total += c.second;
            std::printf("  %-15s %5d", row.first.c_str(), total);
            for (const auto& k : key) {
                auto it = row.second.find(k.first);
                std::printf(" %4d", it == row.second.end() ? 0 : it->second);
            }
            std::printf("\n");
        }
        for (const auto& k : key)
            std::printf("  %c = %s\n", k.second, k.first.c_str());
        std::fflush(stdout);
    }

private:
    std::map<std::string, std::map<std::string, int>> counts;
    std::set<std::string> outcomes;
    int runs = 0;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------

class UpdateSweep : public ::testing::Test {
protected:
    void TearDown() override
    {
        emu::UsbBus::instance().reset();
        clearLogs();
    }

    // The clean update's transfers (run once per test that needs them).
    std::vector<Step> cleanSteps()
    {
        auto printer = freshWorld();
        const Emitted e = runUpdate(scenario().files, "clean update");
        EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
        EXPECT_EQ(printer->installs().size(), scenario().firmware.size());
        checkPrinterFiles(*printer, scenario().firmware);
        checkViolations(*printer);
        checkBus();
        return describe(*printer);
    }
};

TEST_F(UpdateSweep, TheCleanUpdateAndItsTransfers)
{
    const std::vector<Step> steps = cleanSteps();
    std::printf("The clean update: %zu transfers\n", steps.size());
    std::printf("  %4s %4s %-3s %6s %-8s %-6s %s\n", "k", "ep", "dir", "length", "status", "part", "line");
    for (const Step& s : steps) {
        const std::string part = s.command.empty() ? "-" : s.command + "#" + std::to_string(s.occurrence);
        std::printf("  %4" PRIu64 " 0x%02X %-3s %6zu %-8s %-6s %s\n", s.index, s.endpoint, s.out ? "out" : "in",
                    s.length, emu::status_name(s.status), part.c_str(),
                    s.data ? "(file data)" : printable(s.text).c_str());
    }
    std::fflush(stdout);

    // The update is what the sweep assumes: a look for stale replies, then
    // the handshakes and three uploads with their take-ups.
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front().status, emu::Status::timeout);
    int pieces = 0;
    std::vector<std::string> commands;
    for (const Step& s : steps) {
        pieces += s.data ? 1 : 0;
        if (s.out && !s.data)
            commands.push_back(s.command);
    }
    EXPECT_EQ(pieces, 4 + 2 + 1);
    EXPECT_EQ(commands, (std::vector<std::string>{"M601", "M28", "M29", "M600", "M28", "M29", "M600", "M28", "M29",
                                                  "M600", "M602"}));
}

TEST_F(UpdateSweep, EveryTransferFailsOnceInEveryWay)
{
    const std::vector<Step> steps = cleanSteps();
    ASSERT_FALSE(HasFailure());
    const std::set<QString> texts = applicationTexts();
    Tally tally;
    std::map<std::string, std::set<std::string>> harmless;
    const auto start = std::chrono::steady_clock::now();

    for (const Step& s : steps) {
        for (Fault f : all_faults) {
            if (!applies(f, s))
                continue;
            const std::string what = std::string(name(f)) + " at transfer " + std::to_string(s.index) + " (" +
                                     (s.command.empty() ? std::string("stale-reply look") : s.command) +
                                     (s.data  ? " data"
                                      : s.out ? " command"
                                              : " reply") +
                                     ")";
            SCOPED_TRACE(what);
            auto printer = freshWorld();
            plant(*printer, f, s);
            const Emitted e = runUpdate(scenario().files, what);

            checkFired(*printer, f, s);
            checkSignals(e, texts);
            const int code = expectedCode(f, s);
            if (e.succeeded())
                harmless[name(f)].insert(s.command.empty() ? "stale-reply look" : s.command);
            if (code == com::COM_SUCCESS) {
                EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
                EXPECT_EQ(printer->installs().size(), scenario().firmware.size());
            } else {
                EXPECT_EQ(str(e.outcome()), str(applicationText(code)));
                const std::string log = logText();
                EXPECT_NE(log.find(failureLine(f, s)), std::string::npos)
                    << "the log lacks \"" << printable(failureLine(f, s)) << "\"";
            }
            checkGivenBack(*printer);
            checkPrinterFiles(*printer, scenario().firmware);
            checkViolations(*printer);
            checkBus();
            checkLocalFiles(scenario().firmware);
            tally.add(name(f), str(e.outcome()));

            printer->set_capacity(UINT64_MAX);
            replugIfGone(*printer);
            checkNextUpdateSucceeds(*printer, scenario().files, scenario().firmware, what);
            checkViolations(*printer);
            checkBus();
            if (HasFatalFailure())
                return;
        }
    }
    tally.print("USB fault sweep (fault kind x outcome)");
    std::printf("  harmless:");
    for (const auto& h : harmless) {
        std::printf(" %s in", h.first.c_str());
        for (const std::string& where : h.second)
            std::printf(" %s", where.c_str());
        std::printf(";");
    }
    std::printf("\n  sweep time: %.2f s\n", secondsSince(start));
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// The log on a full disk

// Where each log line starts: "<year>-<month>-<day> <h>:<m>:<s>: " at the
// start of the file or after a line end.  (Logged replies carry their own
// line ends, so one log line can span several text lines.)
std::vector<std::size_t> logLineStarts(const std::string& log)
{
    auto stampAt = [&](std::size_t p) {
        int fields = 0;
        const char separators[] = {'-', '-', ' ', ':', ':', ':'};
        while (fields < 6) {
            const std::size_t digits = p;
            while (p < log.size() && log[p] >= '0' && log[p] <= '9')
                ++p;
            if (p == digits || p >= log.size() || log[p] != separators[fields])
                return false;
            ++p;
            ++fields;
        }
        return p < log.size() && log[p] == ' ';
    };
    std::vector<std::size_t> starts;
    for (std::size_t p = 0; p < log.size(); ++p)
        if ((p == 0 || log[p - 1] == '\n') && stampAt(p))
            starts.push_back(p);
    return starts;
}

// The message of the log line that starts at `at`, up to its first line end.
std::string messageAt(const std::string& log, std::size_t at)
{
    std::size_t p = at;
    for (int colons = 0; colons < 3 && p != std::string::npos; ++colons)
        p = log.find(':', p) + 1;
    const std::size_t from = p + 1;
    return log.substr(from, log.find_first_of("\r\n", from) - from);
}

const char* const disk_full_text = "It's not enough disk space";

TEST_F(UpdateSweep, TheLogFailsAtEveryLine)
{
    // The clean update's log, line by line.
    {
        auto printer = freshWorld();
        ASSERT_TRUE(runUpdate(scenario().files, "clean update").succeeded());
    }
    const std::string cleanLog = logText();
    const std::vector<std::size_t> starts = logLineStarts(cleanLog);
    ASSERT_GT(starts.size(), 30u);
    // From the give-back's first line on, the update has already ended.
    const std::size_t releaseText = cleanLog.find("com_write: ~M602");
    ASSERT_NE(releaseText, std::string::npos);
    const std::size_t release = *std::prev(std::upper_bound(starts.begin(), starts.end(), releaseText));

    std::set<QString> texts = applicationTexts();
    texts.insert(QString::fromLatin1(disk_full_text));
    Tally tally;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t n = 0; n < starts.size(); ++n) {
        const std::size_t at = starts[n];
        const std::string line = printable(messageAt(cleanLog, at), 30);
        const std::string what = "log line " + std::to_string(n + 1) + " fails (" + line + ")";
        SCOPED_TRACE(what);
        auto printer = freshWorld();
        Emitted e;
        {
            testsupport::DiskFullAt full(at);
            e = runUpdate(scenario().files, what);
        }
        checkSignals(e, texts);
        if (at >= release) {
            // The give-back runs after done(true): the update itself is over.
            EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
        } else {
            EXPECT_EQ(str(e.outcome()), disk_full_text);
        }
        // Every line before the failing one is there, whole; nothing after it.
        EXPECT_EQ(logText(), cleanLog.substr(0, at));
        checkGivenBack(*printer);
        checkPrinterFiles(*printer, scenario().firmware);
        checkViolations(*printer);
        checkBus();
        tally.add("log write", str(e.outcome()));

        checkNextUpdateSucceeds(*printer, scenario().files, scenario().firmware, what);
        checkBus();
        if (HasFatalFailure())
            return;
    }
    tally.print("Log failure sweep (the disk is full from each log line on)");
    std::printf("  sweep time: %.2f s\n", secondsSince(start));
    std::fflush(stdout);
}

TEST_F(UpdateSweep, TheDiskFillsUpDuringAnUpload)
{
    auto printer = freshWorld();
    // Data pieces take virtual time, so the upload reports progress.
    emu::UsbBus::instance().find(printer.get())->transfer_ms[printer->endpoints().data_out] = 300;
    std::unique_ptr<testsupport::DiskFullAt> full;
    std::size_t limit = 0;
    const Emitted e = runUpdate(scenario().files, "disk full during the upload", [&](int percent) {
        if (percent == 0 || full)
            return;
        // The disk is full from here on: the next log line cannot be written.
        const QStringList logs = QDir(logDir()).entryList(QStringList{QStringLiteral("libcom-*.log")}, QDir::Files);
        ASSERT_EQ(logs.size(), 1);
        limit = static_cast<std::size_t>(QFileInfo(logDir() + QLatin1Char('/') + logs.front()).size());
        full = std::make_unique<testsupport::DiskFullAt>(limit);
    });
    full.reset();
    ASSERT_GT(limit, 0u) << "the upload reported no progress";

    std::set<QString> texts{QString::fromLatin1(disk_full_text)};
    checkSignals(e, texts);
    EXPECT_EQ(str(e.outcome()), disk_full_text);
    const std::string log = logText();
    EXPECT_EQ(log.size(), limit) << "nothing was written past the full disk";
    EXPECT_EQ(log.back(), '\n') << "the last line is whole";
    EXPECT_TRUE(printer->installs().empty()) << "nothing is taken up after the log failed";
    checkGivenBack(*printer);
    EXPECT_EQ(printer->commands().back(), "~M602");
    checkPrinterFiles(*printer, scenario().firmware);
    checkViolations(*printer);
    checkBus();

    checkNextUpdateSucceeds(*printer, scenario().files, scenario().firmware, "after the disk had room again");
    checkBus();
}

}  // namespace

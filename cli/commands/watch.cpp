// watch: the bench.  Every target printer plugged in is updated once, on a
// thread of its own, while the next may be plugged in.
//
// Threads: this command's own waits for the bus (com::UsbMonitor) and
// decides: what is known of the printers, the counts and the history are
// its alone.  A settled printer gets a thread that reads its strings, then,
// once the watch has decided to take it up, one that runs its update; a
// printer's thread hands what it does to the display and the history and
// never waits for either.  The display writes on a thread of its own.
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "com/com.h"
#include "com/result.h"
#include "com/usb_monitor.h"
#include "commands.h"
#include "history/process.h"
#include "history/records.h"
#include "interrupt.h"
#include "log_place.h"
#include "recording.h"
#include "service_hold.h"
#include "update/local_path.h"
#include "update/messages.h"
#include "update/session.h"
#include "update/target.h"
#include "watch_display.h"
#include "zarvik/version.h"

namespace zarvik {

namespace {

constexpr int libusb_error_no_device = -4;  // LIBUSB_ERROR_NO_DEVICE

// How long a printer just plugged in is left alone before it is opened.
constexpr unsigned settle_ms = 1000;

// The watch waits for the bus at most this long at a time.
constexpr unsigned wait_ms = 1000;

bool same_device(const com::UsbPrinterRecord& a, const com::UsbPrinterRecord& b)
{
    return a.device.bus_number == b.device.bus_number && a.device.device_address == b.device.device_address &&
           a.device.info.vendor_id == b.device.info.vendor_id && a.device.info.product_id == b.device.info.product_id;
}

// A printer as the watch knows it again: its serial and its port; one
// without a serial by its port alone.
std::string key_of(const WatchedPrinter& p)
{
    return p.serial + '\n' + com::port_path_text(p.port);
}

// The folder of a printer's logs inside the log folder: "1-1.4_SN1-5", its
// port and serial with every byte but letters, digits, '.', '-' and '_' as '_'.
std::string log_folder_name(const WatchedPrinter& p)
{
    std::string name = p.port.known()
                           ? com::port_path_text(p.port)
                           : std::to_string(p.where.bus_number) + "-" + std::to_string(p.where.device_address);
    if (!p.serial.empty())
        name += "_" + p.serial;
    for (char& c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        if (!kept)
            c = '_';
    }
    return name;
}

std::string ids_text(const com::UsbDeviceRecord& d)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d.info.vendor_id, d.info.product_id);
    return ids;
}

const char* interrupt_notice(int number)
{
    switch (number) {
    case 1:
        return "zarvik: interrupted: the watch ends; the printers being updated stop at their next piece and are "
               "given back (interrupt again to end without the usual waits)";
    case 2:
        return "zarvik: interrupted again: ending as soon as the transfers under way return; "
               "the printers are still given back";
    default:
        return "zarvik: already ending: the printers are being given back";
    }
}

class Bench {
public:
    Bench(const Report& report, const WatchOptions& options, const update::Plan& plan)
        : report(report), io(report.io), options(options), plan(plan),
          log_root(options.log.empty() ? default_log_dir(io.program_dir) : options.log),
          display(report.output,
                  options.json  ? WatchDisplay::Mode::json
                  : io.terminal ? WatchDisplay::Mode::terminal
                                : WatchDisplay::Mode::plain,
                  plan, !options.quiet, options.count),
          history(report.output, options.json, history_path(io, options)), monitor(monitor_options())
    {
    }

    // Whatever ends the watch, no printer's thread outlives it: those under
    // way are stopped and give their printers back first.
    ~Bench()
    {
        if (std::any_of(appearances.begin(), appearances.end(),
                        [](const auto& a) { return a.second->thread.joinable(); })) {
            interrupt.on_interrupt();
            for (auto& [id, a] : appearances)
                if (a->thread.joinable())
                    a->thread.join();
        }
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    int run(bool interrupted_early);

private:
    // One plug-in of a printer, from its arrival to its unplugging.
    struct Appearance : update::Observer {
        Appearance(Bench& bench, int id, const com::UsbPrinterRecord& record) : bench(bench), id(id), record(record)
        {
            who.where = com::place_of(record.device);
            who.port = record.port;
        }

        void progress(int percent, float rate) override { bench.display.progress(id, percent, rate); }
        void link_made(const std::string& log_path) override
        {
            if (recorder() && !log_path.empty())
                recorder()->set_log_path(*history_record, log_path);
        }
        void file_started(std::size_t file) override
        {
            if (recorder())
                recorder()->file_reached(*history_record, file);
            bench.display.file_started(id, file);
        }
        void file_installed(std::size_t file) override
        {
            installed = file + 1;
            if (recorder())
                recorder()->file_installed(*history_record, file);
            bench.display.file_installed(id, file);
        }
        void error(const update::Failure& failure) override
        {
            update::Failure told = failure;
            if (failure.code < 0 &&
                (failure.message == com::log_open_failure || failure.message == com::log_write_failure))
                told.detail = "the log folder " + log_dir + " cannot be written; choose another with --log DIR";
            bench.display.error(id, told);
        }
        // Told once the printer has been given back (update_printer): a
        // printer shown as updated may be unplugged at once.
        void done(bool) override {}
        // The history's calls only hand the event over.
        history::Recorder* recorder() { return history_record ? bench.history.recorder() : nullptr; }

        Bench& bench;
        const int id;
        const com::UsbPrinterRecord record;  // as the monitor told it
        WatchedPrinter who;

        // The watch's thread, and the printer's thread while it runs (each
        // its turn: the watch reads them once the thread is over).
        enum class Stage { settling, identifying, updating, ended } stage = Stage::settling;
        bool present = true;
        std::thread thread;
        std::atomic<bool> over{false};  // set by the printer's thread as its last step
        com::UsbPrinterRecord read{};   // identifying: its strings
        int read_code = 0;
        std::optional<std::int64_t> history_record;
        std::string log_dir;
        std::size_t installed = 0;
        update::Outcome outcome;
    };

    static std::string history_path(const Io& io, const WatchOptions& options)
    {
        if (options.no_history)
            return std::string();
        if (!options.history.empty())
            return options.history;
        std::string path = default_history_file(io.program_dir);
        update::make_folders(update::utf8_of(update::path_of(path).parent_path()));
        return path;
    }

    static com::UsbMonitor::Options monitor_options()
    {
        com::UsbMonitor::Options o;
        o.settle_ms = settle_ms;
        return o;
    }

    void on_change(const com::UsbMonitor::Change& change);
    // The printer's first thread: its strings, read from it.
    void identify(Appearance& a);
    // What to do with it once they are read; the history is asked here, on
    // the watch's thread, never on a printer's.
    void decide(Appearance& a);
    void left_alone(Appearance& a, const std::string& reason, bool counted);
    // The printer's second thread: its update.
    void update_printer(Appearance& a);
    void on_thread(Appearance& a, void (Bench::*work)(Appearance&));
    // Joins the printers' threads that are over and goes on with each.
    void reap();
    Appearance* find(const com::UsbPrinterRecord& record);
    bool enough() const { return options.count > 0 && counts.updated + counts.failed >= options.count; }
    void record_printer(Appearance& a);

    const Report& report;
    const Io& io;
    const WatchOptions& options;
    const update::Plan& plan;
    const std::string log_root;
    WatchDisplay display;
    UpdateHistory history;
    bool run_recorded = false;
    com::UsbMonitor monitor;
    InterruptWatch interrupt{[this](int number) {
        display.message(interrupt_notice(number));
        stopping = true;
        monitor.wake();
    }};
    std::atomic<bool> stopping{false};

    // The watch's thread only.
    std::map<int, std::unique_ptr<Appearance>> appearances;
    int next_id = 0;
    std::set<std::string> named;         // models left alone and named, by ids and port
    std::set<std::string> updated_keys;  // printers updated in this watch
    std::set<int> hints_given;           // open errors whose remedy was said
    std::size_t taken = 0;               // printers taken up
    WatchCounts counts;
};

Bench::Appearance* Bench::find(const com::UsbPrinterRecord& record)
{
    for (auto& [id, a] : appearances)
        if (a->present && same_device(a->record, record))
            return a.get();
    return nullptr;
}

void Bench::on_change(const com::UsbMonitor::Change& change)
{
    using Kind = com::UsbMonitor::Kind;
    if (change.kind == Kind::arrived) {
        auto made = std::make_unique<Appearance>(*this, ++next_id, change.printer);
        Appearance& a = *made;
        appearances[a.id] = std::move(made);
        if (!is_target(a.record.device)) {
            // Known by its ids, without opening it.  Named once per model and port.
            const com::DeviceInfo* row =
                com::find_supported_device(a.record.device.info.vendor_id, a.record.device.info.product_id);
            const bool first = named.insert(ids_text(a.record.device) + " " + key_of(a.who)).second;
            a.stage = Appearance::Stage::ended;
            display.left_alone(a.id, a.who,
                               std::string("a ") + (row ? row->product : "printer") + " (" + ids_text(a.record.device) +
                                   "), not the model this tool updates",
                               first, first);
            counts.left_alone += first ? 1 : 0;
            return;
        }
        display.arrived(a.id, a.who);
        return;
    }
    Appearance* a = find(change.printer);
    if (!a)
        return;
    if (change.kind == Kind::settled) {
        if (a->stage == Appearance::Stage::settling && !stopping) {
            a->stage = Appearance::Stage::identifying;
            on_thread(*a, &Bench::identify);
        }
        return;
    }
    // Left: a thread under way ends by itself, its printer gone.
    a->present = false;
    display.unplugged(a->id);
    if (!a->thread.joinable())
        appearances.erase(a->id);
}

void Bench::on_thread(Appearance& a, void (Bench::*work)(Appearance&))
{
    a.over = false;
    a.thread = std::thread([this, &a, work] {
        try {
            (this->*work)(a);
        } catch (const std::exception& e) {
            // The printer is given back by then: its link is gone.
            a.outcome.failure = update::Failure{-1, std::string("unexpected error: ") + e.what(), std::string(),
                                                static_cast<std::size_t>(-1)};
            display.error(a.id, a.outcome.failure);
            display.done(a.id, false, a.installed, false);
        } catch (...) {
            a.outcome.failure = update::Failure{-1, "unexpected error", std::string(), static_cast<std::size_t>(-1)};
            display.error(a.id, a.outcome.failure);
            display.done(a.id, false, a.installed, false);
        }
        a.over = true;
        monitor.wake();
    });
}

void Bench::identify(Appearance& a)
{
    // It is opened here for the first time.
    a.read = a.record;
    a.read_code = com::ComFactory().read_usb_printer(&a.read);
}

void Bench::left_alone(Appearance& a, const std::string& reason, bool counted)
{
    a.stage = Appearance::Stage::ended;
    display.left_alone(a.id, a.who, reason, true, counted);
    counts.left_alone += counted ? 1 : 0;
}

void Bench::decide(Appearance& a)
{
    if (a.read_code == com::COM_SUCCESS && a.read.open_error == libusb_error_no_device) {
        a.stage = Appearance::Stage::ended;  // gone already: the monitor tells its unplugging
        return;
    }
    if (a.read_code != com::COM_SUCCESS || a.read.open_error != 0) {
        left_alone(a,
                   a.read_code != com::COM_SUCCESS ? update::user_message(a.read_code)
                                                   : "cannot be opened: " + open_error_text(a.read.open_error),
                   true);
        const std::string hint = open_error_hint(a.read.open_error);
        if (!hint.empty() && hints_given.insert(a.read.open_error).second)
            display.message(hint);
        return;
    }
    a.who.serial = a.read.device.info.serial;
    a.who.identified = true;
    if (updated_keys.count(key_of(a.who)))
        return left_alone(a, "updated earlier in this watch; not updated again", false);
    if (stopping)
        return left_alone(a, "the watch is ending", false);
    if (options.count > 0 && taken >= options.count)
        return left_alone(a, "the watch has taken up the " + std::to_string(options.count) + " printers of --count",
                          true);
    const com::DeviceInfo& info = a.read.device.info;
    if (options.skip_installed && history.recorder() && info.serial[0]) {
        const std::optional<history::PrinterRun> last =
            history.recorder()->last_of(info.serial, info.vendor_id, info.product_id);
        if (last && history::installed_exactly(*last, planned_files(plan)))
            return left_alone(a, "already has these files, installed " + shown_time(last->ended), true);
    }
    ++taken;
    record_printer(a);
    a.stage = Appearance::Stage::updating;
    display.taken_up(a.id, a.who);
    on_thread(a, &Bench::update_printer);
}

void Bench::record_printer(Appearance& a)
{
    if (!history.recorder())
        return;
    if (!run_recorded) {
        history::RunRecord run_record;
        run_record.host = history::host_name();
        run_record.account = history::account_name();
        run_record.tool_version = ZARVIK_VERSION_STRING;
        run_record.command = report.command;
        run_record.firmware_folder = options.firmware;
        run_record.plan = planned_files(plan);
        run_recorded = history.recorder()->start_run(run_record);
    }
    if (run_recorded && history.recorder())
        a.history_record = history.recorder()->add_printer(printer_record(a.read));
}

void Bench::update_printer(Appearance& a)
{
    a.log_dir = update::joined(log_root, log_folder_name(a.who));
    update::make_folders(a.log_dir);  // a folder that cannot be made fails the link, and so this update
    update::Session session(plan, a);
    session.set_log_note(std::string("zarvik ") + ZARVIK_VERSION_STRING + " watch, " +
                         log_note(PrinterLabel{a.who.where, a.who.serial, a.who.port}));
    interrupt.add(&session);
    const com::UsbDeviceRecord& d = a.record.device;
    try {
        a.outcome = session.run([&] {
            return com::ComFactory().create_usb_at(d.bus_number, d.device_address, d.info.vendor_id, d.info.product_id,
                                                   a.log_dir, true);
        });
    } catch (...) {
        interrupt.remove(&session);
        throw;
    }
    interrupt.remove(&session);
    display.done(a.id, a.outcome.succeed, a.outcome.installed, a.outcome.cancelled);
    if (a.recorder())
        a.recorder()->end_printer(*a.history_record, printer_end(a.outcome));
}

void Bench::reap()
{
    for (auto it = appearances.begin(); it != appearances.end();) {
        Appearance& a = *it->second;
        const bool busy = a.stage == Appearance::Stage::identifying || a.stage == Appearance::Stage::updating;
        if (busy && a.over) {
            if (a.thread.joinable())
                a.thread.join();
            if (a.stage == Appearance::Stage::identifying) {
                decide(a);
            } else if (a.stage == Appearance::Stage::updating) {
                a.stage = Appearance::Stage::ended;
                ++(a.outcome.succeed ? counts.updated : counts.failed);
                if (a.outcome.succeed)
                    updated_keys.insert(key_of(a.who));
            }
        }
        it = a.present || a.thread.joinable() ? std::next(it) : appearances.erase(it);
    }
}

int Bench::run(bool interrupted_early)
{
    if (interrupted_early)
        interrupt.on_interrupt();  // it came just before the watch took Ctrl-C over
    const int code = monitor.start();
    if (code != com::COM_SUCCESS) {
        nlohmann::json event = code_fields(code);
        event["message"] = update::user_message(code);
        return report.fail(exit_failed,
                           {std::string("zarvik: cannot watch the USB bus: ") + update::user_message(code)}, event);
    }
    display.started(monitor.uses_hotplug(), settle_ms);
    std::vector<com::UsbMonitor::Change> changes;
    while (!stopping && !enough()) {
        changes.clear();
        monitor.wait(wait_ms, &changes);
        for (const com::UsbMonitor::Change& change : changes)
            on_change(change);
        reap();
    }
    // Those under way end now: on Ctrl-C they were asked to stop.  One whose
    // strings were being read is not taken up any more.
    stopping = true;
    for (auto& [id, a] : appearances)
        if (a->thread.joinable())
            a->thread.join();
    reap();
    const int status = counts.failed == 0 ? exit_updated : exit_failed;
    display.finish(counts, status);
    history.finish(status);
    return status;
}

}  // namespace

CLI::App* define_watch(CLI::App& app, WatchOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "watch", "waits for printers and updates each one as it is plugged in, once, on a thread of its own while "
                 "the next may be plugged in; a printer is known again by its serial and its port");
    command->add_option("--firmware", options.firmware, "the firmware folder")->required();
    command->add_option("--count", options.count, "end once N printers have been updated or have failed")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    add_record_options(*command, options, "watch");
    command->add_flag("--json", options.json, "one JSON object a line, an event per change");
    command->add_flag("--quiet", options.quiet, "no bell when a printer ends");
    command->footer(exit_statuses);
    return command;
}

int run_watch(const Report& report, const WatchOptions& options)
{
    const Io& io = report.io;
    update::Plan plan;
    const int status = checked_plan(report, options.firmware, &plan);
    if (status != exit_updated)
        return status;
    ServiceHold hold(io, options.json);
    if (!hold.stop())
        return exit_failed;
    if (hold.interrupted())
        return interrupted_before_printers(report);
    Bench bench(report, options, plan);
    return bench.run(hold.interrupted());
}

}  // namespace zarvik

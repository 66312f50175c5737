#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "com/com.h"
#include "com/result.h"
#include "commands.h"
#include "history/process.h"
#include "interrupt.h"
#include "log_place.h"
#include "recording.h"
#include "service_hold.h"
#include "update/local_path.h"
#include "update/session.h"
#include "zarvik/version.h"

namespace zarvik {

namespace {

// Tells the display, and the history, what one printer's update does.  The
// history's calls only hand the event over: they never wait for the file.
class PrinterObserver : public update::Observer {
public:
    PrinterObserver(Display& display, std::size_t index, std::string log_dir, history::Recorder* recorder,
                    std::optional<std::int64_t> record)
        : display(display), index(index), log_dir(std::move(log_dir)), recorder(record ? recorder : nullptr),
          record(record.value_or(0))
    {
    }
    void progress(int percent, float rate) override { display.progress(index, percent, rate); }
    void link_made(const std::string& log_path) override
    {
        if (recorder && !log_path.empty())
            recorder->set_log_path(record, log_path);
    }
    void file_started(std::size_t file) override
    {
        if (recorder)
            recorder->file_reached(record, file);
        display.file_started(index, file);
    }
    void file_installed(std::size_t file) override
    {
        installed = file + 1;
        if (recorder)
            recorder->file_installed(record, file);
        display.file_installed(index, file);
    }
    // The printer has been given back: how it ended.
    void ended(const update::Outcome& outcome)
    {
        if (recorder)
            recorder->end_printer(record, printer_end(outcome));
    }
    void error(const update::Failure& failure) override
    {
        update::Failure told = failure;
        // The link's log cannot be opened or written: say which folder, and
        // how to choose another.
        if (failure.code < 0 && (failure.message == com::log_open_failure || failure.message == com::log_write_failure))
            told.detail = "the log folder " + log_dir + " cannot be written; choose another with --log DIR";
        display.error(index, told);
    }
    void done(bool succeed) override { display.done(index, succeed, installed); }

private:
    Display& display;
    std::size_t index;
    std::string log_dir;
    history::Recorder* recorder;
    std::int64_t record;
    std::size_t installed = 0;
};

const char* interrupt_notice(int number)
{
    switch (number) {
    case 1:
        return "zarvik: interrupted: the upload stops at its next piece and the printer is given back "
               "(interrupt again to end without the usual waits)";
    case 2:
        return "zarvik: interrupted again: ending as soon as the transfers under way return; "
               "the printers are still given back";
    default:
        return "zarvik: already ending: the printers are being given back";
    }
}

}  // namespace

CLI::App* define_update(CLI::App& app, UpdateOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "update", "installs the firmware folder's files on the attached printer (the first *.bin as orbrey.bin, "
                  "then every *.xbf; suffixes are matched exactly, in lower case); with a SHA256SUMS file in the "
                  "folder, every installed file must be listed there and match");
    command->add_option("--firmware", options.firmware, "the firmware folder")->required();
    PrinterChoice& choice = options.choice;
    CLI::Option* printer = command->add_option("--printer", choice.printer, "the printer at this bus and address");
    printer->type_name("BUS:ADDR");
    CLI::Option* port =
        command->add_option("--port", choice.port,
                            "the printer plugged in at this port path, as list shows it (1-1.4: bus 1, port 4 of "
                            "the hub in port 1); it stays the same when the printer is plugged in again there");
    port->type_name("PATH");
    CLI::Option* serial = command->add_option("--serial", choice.serial, "the printer with this serial number");
    serial->type_name("S");
    CLI::Option* all = command->add_flag("--all", choice.all, "every attached target printer, all at the same time");
    printer->excludes(port)->excludes(serial)->excludes(all);
    port->excludes(serial)->excludes(all);
    serial->excludes(all);
    add_record_options(*command, options, "update");
    command->add_flag("--json", options.json,
                      "one JSON object a line: plan, left_alone, progress, error, done, history_error");
    command->footer(exit_statuses);
    // Once the whole command line is read.
    command->callback([&choice] {
        if (!choice.printer.empty() && !com::parse_place(choice.printer, &choice.place))
            throw CLI::ValidationError("--printer", "expects BUS:ADDR, e.g. 1:5, not " + choice.printer);
        if (!choice.port.empty() && !com::parse_port_path(choice.port, &choice.port_path))
            throw CLI::ValidationError("--port", "expects BUS-PORT[.PORT]..., e.g. 1-1.4, not " + choice.port);
    });
    return command;
}

int run_update(const Report& report, const UpdateOptions& options)
{
    const Io& io = report.io;
    update::Plan plan;
    int status = checked_plan(report, options.firmware, &plan);
    if (status != exit_updated)
        return status;
    // Started again, if it ran, when this ends, however it ends.
    ServiceHold hold(io, options.json, &report.output);
    if (!hold.stop())
        return service_not_stopped(report, hold);
    if (hold.interrupted())
        return interrupted_before_printers(report);
    std::vector<com::UsbPrinterRecord> attached, chosen;
    status = list_printers(report, &attached);
    if (status != exit_updated)
        return status;
    status = choose(report, options.choice, attached, &chosen);
    if (status != exit_updated)
        return status;

    // The history: opened, and with --skip-installed read, before any
    // printer is taken; each printer's record is written before its own.
    std::string history_path;
    if (!options.no_history) {
        history_path = options.history.empty() ? default_history_file(io.program_dir) : options.history;
        if (options.history.empty())
            update::make_folders(update::utf8_of(update::path_of(history_path).parent_path()));
    }
    UpdateHistory history(report.output, options.json, history_path);
    std::vector<std::pair<PrinterLabel, std::string>> left_alone;
    if (options.skip_installed && history.recorder()) {
        const std::vector<history::PlannedFile> files = planned_files(plan);
        std::vector<com::UsbPrinterRecord> to_update;
        for (const com::UsbPrinterRecord& r : chosen) {
            const com::DeviceInfo& info = r.device.info;
            const std::optional<history::PrinterRun> last =
                info.serial[0] && history.recorder()
                    ? history.recorder()->last_of(info.serial, info.vendor_id, info.product_id)
                    : std::nullopt;
            if (last && history::installed_exactly(*last, files))
                left_alone.emplace_back(label_of(r), "already has these files, installed " + shown_time(last->ended));
            else
                to_update.push_back(r);
        }
        chosen = std::move(to_update);
    }
    std::vector<std::optional<std::int64_t>> records(chosen.size());
    if (history.recorder() && !chosen.empty()) {
        history::RunRecord run_record;
        run_record.host = history::host_name();
        run_record.account = history::account_name();
        run_record.tool_version = ZARVIK_VERSION_STRING;
        run_record.command = report.command;
        run_record.firmware_folder = options.firmware;
        run_record.plan = planned_files(plan);
        if (history.recorder()->start_run(run_record))
            for (std::size_t i = 0; i < chosen.size() && history.recorder(); ++i)
                records[i] = history.recorder()->add_printer(printer_record(chosen[i]));
    }

    // One log folder per printer when there are several, so that each
    // printer's logs are found together.
    const std::string log_root = options.log.empty() ? default_log_dir(io.program_dir) : options.log;
    std::vector<PrinterLabel> labels;
    std::vector<std::string> log_dirs;
    for (const com::UsbPrinterRecord& r : chosen) {
        labels.push_back(label_of(r));
        log_dirs.push_back(chosen.size() > 1 ? update::joined(log_root, std::to_string(r.device.bus_number) + "-" +
                                                                            std::to_string(r.device.device_address))
                                             : log_root);
        update::make_folders(log_dirs.back());  // a folder that cannot be made fails the link, and so that update
    }

    const Display::Mode mode = options.json  ? Display::Mode::json
                               : io.terminal ? Display::Mode::terminal
                                             : Display::Mode::plain;
    Display display(report.output, mode, plan, labels);
    display.plan_event();
    for (const auto& [label, reason] : left_alone)
        display.left_alone(label, reason);

    std::vector<std::unique_ptr<PrinterObserver>> observers;
    std::vector<std::unique_ptr<update::Session>> sessions;
    std::vector<update::Outcome> outcomes(chosen.size());
    InterruptWatch watch([&display](int number) { display.message(interrupt_notice(number)); });
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        observers.push_back(std::make_unique<PrinterObserver>(display, i, log_dirs[i], history.recorder(), records[i]));
        sessions.push_back(std::make_unique<update::Session>(plan, *observers.back()));
        sessions.back()->set_log_note(std::string("zarvik ") + ZARVIK_VERSION_STRING + ", " + log_note(labels[i]));
        watch.add(sessions.back().get());
    }
    if (hold.interrupted())
        watch.on_interrupt();  // it came just before the watch took Ctrl-C over
    // One thread and one link per printer.  What one of them throws ends
    // that printer's update (its link, and so its hold on the printer, is
    // gone by then), not the others'.
    std::vector<std::thread> threads;
    const auto update_one = [&](std::size_t i) {
        try {
            const com::UsbDeviceRecord& d = chosen[i].device;
            outcomes[i] = sessions[i]->run([&, i] {
                return com::ComFactory().create_usb_at(d.bus_number, d.device_address, d.info.vendor_id,
                                                       d.info.product_id, log_dirs[i], true);
            });
        } catch (const std::exception& e) {
            outcomes[i].succeed = false;
            outcomes[i].failure = update::Failure{-1, std::string("unexpected error: ") + e.what(), std::string(),
                                                  static_cast<std::size_t>(-1)};
        } catch (...) {
            outcomes[i].succeed = false;
            outcomes[i].failure = update::Failure{-1, "unexpected error", std::string(), static_cast<std::size_t>(-1)};
        }
        observers[i]->ended(outcomes[i]);
    };
    try {
        for (std::size_t i = 0; i < chosen.size(); ++i)
            threads.emplace_back(update_one, i);
    } catch (...) {
        // No thread for the rest: those that run are stopped and given back first.
        for (const std::unique_ptr<update::Session>& session : sessions)
            session->cancel();
        for (std::thread& t : threads)
            t.join();
        throw;
    }
    for (std::thread& t : threads)
        t.join();
    display.finish(outcomes);
    // Stopped before any of them was opened (the interrupt came while the
    // updates were being set up): the run ends as one that opened none.
    // (With every printer left alone there was none to stop.)
    if (!outcomes.empty() && std::all_of(outcomes.begin(), outcomes.end(),
                                         [](const update::Outcome& o) { return o.cancelled && !o.link_made; })) {
        const int early = interrupted_before_printers(report);
        history.finish(early);
        return early;
    }

    bool all_updated = true;
    bool hinted = false;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        all_updated = all_updated && outcomes[i].succeed;
        if (!hinted && !outcomes[i].succeed && outcomes[i].failure.code == com::COM_ERR_CONNECT &&
            hinted_error(chosen[i].open_error)) {
            hint_open_error(report, chosen[i].open_error);
            hinted = true;
        }
    }
    const int exit_status = all_updated ? exit_updated : exit_failed;
    history.finish(exit_status);
    return exit_status;
}

}  // namespace zarvik

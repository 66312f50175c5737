#include "zarvik.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/protocol.h"
#include "com/result.h"
#include "console.h"
#include "display.h"
#include "interrupt.h"
#include "log_place.h"
#include "service_hold.h"
#include "update/local_path.h"
#include "update/messages.h"
#include "update/plan.h"
#include "update/session.h"
#include "update/target.h"
#include "zarvik/version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <csignal>
#include <unistd.h>
#endif

namespace zarvik {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int libusb_error_access = -3;          // LIBUSB_ERROR_ACCESS
constexpr int libusb_error_not_supported = -12;  // LIBUSB_ERROR_NOT_SUPPORTED: on Windows, no usable driver

const char* const exit_statuses =
    "Exit status:\n"
    "  0  every printer updated (list: a target printer is attached; plan: done)\n"
    "  1  an update failed (with --all: any), or there is nothing to install\n"
    "  2  usage error, or several printers and none chosen\n"
    "  3  no target printer attached (at the place or with the serial given; list: none)\n"
    "  4  an unexpected error ended the command early (every printer was given back)\n"
    "With --json, standard output carries JSON objects only, one a line: an \"error\" event with\n"
    "its \"exit_status\" when a run ends before any printer is updated.";

#ifdef _WIN32
const char* const log_help = "the log folder (default: log beside the program when that folder can be written, "
                             "otherwise %LOCALAPPDATA%\\zarvik\\log)";
#else
const char* const log_help =
    "the log folder (default: log beside the program when that folder can be written and the program is not "
    "installed in the system's folders, otherwise $XDG_STATE_HOME/zarvik/log, by default "
    "~/.local/state/zarvik/log, and /var/log/zarvik for root)";
#endif

const char* const commands[] = {"list", "plan", "update"};

bool is_target(const com::UsbDeviceRecord& r)
{
    return update::is_target(r.info.vendor_id, r.info.product_id);
}

PrinterLabel label_of(const com::UsbPrinterRecord& r)
{
    return PrinterLabel{com::place_of(r.device), r.device.info.serial};
}

void say(std::FILE* stream, const std::string& text)
{
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
}

#ifndef _WIN32
// How to give the user access to the printer's device node: the rule that
// comes with the tool (the Debian package installs it).
std::string access_hint()
{
    return "to give your user access to the printer, install the tool's udev rule: "
           "sudo cp 70-zarvik.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
           "sudo udevadm trigger --subsystem-match=usb (the Debian package zarvik installs it for you)";
}
#endif

// What to do when the printer has no usable driver: on Windows a printer
// can be opened only with the WinUSB driver bound to it, which the printer
// maker's software installs.
std::string driver_hint()
{
    return "the printer has no usable USB driver: install the printer maker's software, which installs the "
           "WinUSB driver for it, then connect the printer again";
}

// What a command says when it ends early: its text on standard error and,
// with --json, an error event with the exit status on standard output.
struct Report {
    const Io& io;
    bool as_json;

    // `event` holds at least "message"; `text` is what a person reads.
    int fail(int status, const std::vector<std::string>& text, json event) const
    {
        for (const std::string& line : text)
            say(io.err, line);
        if (as_json) {
            event["event"] = "error";
            event["exit_status"] = status;
            say(io.out, dump(event));
        }
        return status;
    }
};

json code_fields(int code)
{
    return {{"code", code}, {"code_name", update::code_name(code)}};
}

std::string open_error_text(int error)
{
    if (error == libusb_error_access)
        return "access denied";
    if (error == libusb_error_not_supported)
        return "no driver";
    return "cannot be opened (libusb error " + std::to_string(error) + ")";
}

json printer_json(const com::UsbPrinterRecord& r)
{
    char vid[8], pid[8];
    std::snprintf(vid, sizeof vid, "%04x", r.device.info.vendor_id);
    std::snprintf(pid, sizeof pid, "%04x", r.device.info.product_id);
    json line = {{"printer", label_of(r).place()},
                 {"bus", r.device.bus_number},
                 {"address", r.device.device_address},
                 {"vendor_id", vid},
                 {"product_id", pid},
                 {"manufacturer", r.device.info.manufacturer},
                 {"product", r.device.info.product},
                 {"serial", r.device.info.serial},
                 {"target", is_target(r.device)}};
    line["open_error"] = r.open_error == 0 ? json(nullptr) : json(open_error_text(r.open_error));
    return line;
}

std::string printer_text(const com::UsbPrinterRecord& r)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", r.device.info.vendor_id, r.device.info.product_id);
    std::string text = label_of(r).place() + "  " + ids;
    if (r.open_error != 0) {
        text += "  " + open_error_text(r.open_error);
    } else {
        text += "  " + printable(r.device.info.manufacturer) + "  " + printable(r.device.info.product) + "  serial " +
                (r.device.info.serial[0] ? printable(r.device.info.serial) : std::string("(none)"));
    }
    return text + (is_target(r.device) ? "  [updated by this tool]" : "  [not updated by this tool]");
}

// How to go on when a printer cannot be opened because of `error`, if the
// error says.
void hint_open_error(const Io& io, int error)
{
#ifndef _WIN32
    if (error == libusb_error_access)
        say(io.err, access_hint());
#endif
    if (error == libusb_error_not_supported)
        say(io.err, "zarvik: " + driver_hint());
}

bool hinted_error(int error)
{
    return error == libusb_error_access || error == libusb_error_not_supported;
}

// A Ctrl-C that arrived while the background service was held, before any
// printer was opened.
int interrupted_before_printers(const Io& io)
{
    say(io.err, "zarvik: interrupted; no printer was opened");
    return exit_failed;
}

// The attached supported printers, by bus and address; an exit status other
// than exit_updated when they cannot be listed.
int list_printers(const Report& report, std::vector<com::UsbPrinterRecord>* out)
{
    const int code = com::ComFactory().list_usb_printers(out);
    std::sort(out->begin(), out->end(), [](const com::UsbPrinterRecord& a, const com::UsbPrinterRecord& b) {
        return a.device.bus_number != b.device.bus_number ? a.device.bus_number < b.device.bus_number
                                                          : a.device.device_address < b.device.device_address;
    });
    if (code == com::COM_SUCCESS)
        return exit_updated;
    json event = code_fields(code);
    event["message"] = update::user_message(code);
    return report.fail(exit_failed, {std::string("zarvik: ") + update::user_message(code)}, event);
}

int command_list(const Report& report)
{
    const Io& io = report.io;
    ServiceHold hold(io, report.as_json);
    if (!hold.stop())
        return exit_failed;
    if (hold.interrupted())
        return interrupted_before_printers(io);
    std::vector<com::UsbPrinterRecord> printers;
    const int status = list_printers(report, &printers);
    if (status != exit_updated)
        return status;
    std::vector<int> hints;
    bool target = false;
    json all = json::array();
    for (const com::UsbPrinterRecord& r : printers) {
        if (report.as_json)
            all.push_back(printer_json(r));
        else
            say(io.out, printer_text(r));
        if (hinted_error(r.open_error) && std::find(hints.begin(), hints.end(), r.open_error) == hints.end())
            hints.push_back(r.open_error);
        target = target || is_target(r.device);
    }
    if (report.as_json)
        say(io.out, dump({{"event", "list"}, {"printers", all}}));
    if (printers.empty())
        say(io.err, "zarvik: no supported printer attached");
    else if (!target)
        say(io.err, "zarvik: none of the attached printers is one this tool updates");
    for (int error : hints)
        hint_open_error(io, error);
    // A script asks "is there a printer to update?" with the same status as update.
    return target ? exit_updated : exit_no_printer;
}

// The plan of a folder, checked; exit_updated when it can be sent.
int checked_plan(const Report& report, const std::string& folder, update::Plan* plan)
{
    if (update::path_kind(folder) != update::PathKind::folder) {
        return report.fail(
            exit_failed, {"zarvik: " + printable(folder) + ": no such folder", update::no_firmware_message},
            {{"message", update::no_firmware_message}, {"detail", "no such folder"}, {"folder", folder}});
    }
    *plan = update::plan_folder(folder);
    if (plan->empty()) {
        return report.fail(exit_failed, {update::no_firmware_message},
                           {{"message", update::no_firmware_message}, {"folder", folder}});
    }
    const update::Problem problem = update::check_plan(*plan);
    if (problem.code != com::COM_SUCCESS) {
        const update::PlannedFile& f = plan->files[problem.file];
        json event = code_fields(problem.code);
        event["message"] = update::user_message(problem.code);
        event["file"] = f.local_path;
        event["detail"] = problem.reason;
        return report.fail(
            exit_failed,
            {std::string(update::user_message(problem.code)) + " (" + update::code_name(problem.code) + ")",
             "zarvik: " + printable(f.local_path) + ": " + printable(problem.reason) + "; nothing was sent"},
            event);
    }
    return exit_updated;
}

int command_plan(const Report& report, const std::string& folder)
{
    const Io& io = report.io;
    const bool as_json = report.as_json;
    update::Plan plan;
    const int status = checked_plan(report, folder, &plan);
    if (status != exit_updated)
        return status;
    if (as_json) {
        Display(io, Display::Mode::json, plan, {}).plan_event();
        return exit_updated;
    }
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const update::PlannedFile& f = plan.files[i];
        std::fprintf(io.out, "%zu. %s as %s%s, %lld bytes\n   sha256 %s\n", i + 1, printable(f.local_name).c_str(),
                     com::protocol::system_folder, printable(f.printer_name).c_str(), static_cast<long long>(f.size),
                     f.sha256.c_str());
    }
    for (const update::LeftOut& entry : plan.left_out)
        std::fprintf(io.out, "not installed: %s: %s\n", printable(entry.name).c_str(), entry.reason.c_str());
    if (!plan.checksum_list.empty())
        std::fprintf(io.out, "every file is listed in %s with its SHA-256\n", printable(plan.checksum_list).c_str());
    std::fprintf(io.out, "%s, %lld bytes; nothing was sent\n", count_of(plan.files.size(), "file", "files").c_str(),
                 static_cast<long long>(plan.total_bytes()));
    std::fflush(io.out);
    return exit_updated;
}

struct UpdateOptions {
    std::string firmware;
    std::string printer;  // as given, for messages
    com::UsbPlace place;  // read from it once the arguments are parsed
    std::string serial;
    bool all = false;
    std::string log;
    bool json = false;
};

// Tells the display what one printer's update does.
class PrinterObserver : public update::Observer {
public:
    PrinterObserver(Display& display, std::size_t index, std::string log_dir)
        : display(display), index(index), log_dir(std::move(log_dir))
    {
    }
    void progress(int percent, float rate) override { display.progress(index, percent, rate); }
    void file_started(std::size_t file) override { display.file_started(index, file); }
    void file_installed(std::size_t file) override
    {
        installed = file + 1;
        display.file_installed(index, file);
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
    std::size_t installed = 0;
};

json printers_json(const std::vector<com::UsbPrinterRecord>& printers)
{
    json all = json::array();
    for (const com::UsbPrinterRecord& r : printers)
        all.push_back(printer_json(r));
    return all;
}

// The target printers the options choose; an exit status other than
// exit_updated when they choose none.
int choose(const Report& report, const UpdateOptions& options, const std::vector<com::UsbPrinterRecord>& attached,
           std::vector<com::UsbPrinterRecord>* chosen)
{
    std::vector<com::UsbPrinterRecord> targets;
    std::copy_if(attached.begin(), attached.end(), std::back_inserter(targets),
                 [](const com::UsbPrinterRecord& r) { return is_target(r.device); });
    // The message, then the printers there are to choose from.
    const auto refuse = [&](int status, const std::string& message) {
        std::vector<std::string> text{"zarvik: " + message};
        for (const com::UsbPrinterRecord& r : targets)
            text.push_back("  " + printer_text(r));
        return report.fail(status, text, {{"message", message}, {"printers", printers_json(targets)}});
    };
    const std::string product = update::target_product();
    if (!options.printer.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (r.device.bus_number == options.place.bus_number &&
                r.device.device_address == options.place.device_address)
                chosen->push_back(r);
        return chosen->empty() ? refuse(exit_no_printer, "no " + product + " at " + options.printer) : exit_updated;
    }
    if (!options.serial.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (options.serial == r.device.info.serial)
                chosen->push_back(r);
        if (chosen->size() > 1)
            return refuse(exit_usage, "several printers carry the serial " + printable(options.serial) +
                                          ": choose one with --printer BUS:ADDR");
        if (chosen->empty())
            return refuse(exit_no_printer, "no " + product + " with the serial " + printable(options.serial));
        return exit_updated;
    }
    if (targets.empty()) {
        const int status = refuse(exit_no_printer, "no " + product + " attached");
        for (int error : {libusb_error_access, libusb_error_not_supported})
            if (std::any_of(attached.begin(), attached.end(),
                            [error](const com::UsbPrinterRecord& r) { return r.open_error == error; }))
                hint_open_error(report.io, error);
        return status;
    }
    if (targets.size() > 1 && !options.all) {
        return refuse(exit_usage, std::to_string(targets.size()) +
                                      " printers attached: choose one with --printer "
                                      "BUS:ADDR or --serial S, or update them all with --all");
    }
    *chosen = targets;
    return exit_updated;
}

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

int command_update(const Report& report, const UpdateOptions& options)
{
    const Io& io = report.io;
    update::Plan plan;
    int status = checked_plan(report, options.firmware, &plan);
    if (status != exit_updated)
        return status;
    // Started again, if it ran, when this ends, however it ends.
    ServiceHold hold(io, options.json);
    if (!hold.stop())
        return exit_failed;
    if (hold.interrupted())
        return interrupted_before_printers(io);
    std::vector<com::UsbPrinterRecord> attached, chosen;
    status = list_printers(report, &attached);
    if (status != exit_updated)
        return status;
    status = choose(report, options, attached, &chosen);
    if (status != exit_updated)
        return status;

    // One log folder per printer when there are several, so that each
    // printer's logs are found together.
    const std::string log_root = options.log.empty() ? default_log_dir(io.program_dir) : options.log;
    std::vector<PrinterLabel> labels;
    std::vector<std::string> log_dirs;
    for (const com::UsbPrinterRecord& r : chosen) {
        labels.push_back(label_of(r));
        log_dirs.push_back(chosen.size() > 1 ? log_root + "/" + std::to_string(r.device.bus_number) + "-" +
                                                   std::to_string(r.device.device_address)
                                             : log_root);
        update::make_folders(log_dirs.back());  // a folder that cannot be made fails the link, and so that update
    }

    const Display::Mode mode = options.json  ? Display::Mode::json
                               : io.terminal ? Display::Mode::terminal
                                             : Display::Mode::plain;
    Display display(io, mode, plan, labels);
    display.plan_event();

    std::vector<std::unique_ptr<PrinterObserver>> observers;
    std::vector<std::unique_ptr<update::Session>> sessions;
    std::vector<update::Outcome> outcomes(chosen.size());
    InterruptWatch watch([&display](int number) { display.message(interrupt_notice(number)); });
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        observers.push_back(std::make_unique<PrinterObserver>(display, i, log_dirs[i]));
        sessions.push_back(std::make_unique<update::Session>(plan, *observers.back()));
        sessions.back()->set_log_note(std::string("zarvik ") + ZARVIK_VERSION_STRING + ", printer at bus " +
                                      std::to_string(labels[i].where.bus_number) + " address " +
                                      std::to_string(labels[i].where.device_address) + ", serial " + labels[i].serial);
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

    bool all_updated = true;
    bool hinted = false;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        all_updated = all_updated && outcomes[i].succeed;
        if (!hinted && !outcomes[i].succeed && outcomes[i].failure.code == com::COM_ERR_CONNECT &&
            hinted_error(chosen[i].open_error)) {
            hint_open_error(io, chosen[i].open_error);
            hinted = true;
        }
    }
    return all_updated ? exit_updated : exit_failed;
}

// The command `word` was most likely meant as, or nullptr.
const char* nearest_command(const std::string& word)
{
    // Edit distance, small words only.
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    const char* best = nullptr;
    std::size_t best_distance = 3;  // at most two edits away
    for (const char* command : commands) {
        const std::size_t d = distance(word, command);
        if (d < best_distance) {
            best = command;
            best_distance = d;
        }
    }
    return best;
}

}  // namespace

int run(const std::vector<std::string>& args, const Io& io)
{
#ifndef _WIN32
    // A reader that goes away (zarvik update ... | head -1) must not end the
    // program while it holds a printer: its writes fail instead, and the
    // display stops writing while the update goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    CLI::App app{std::string("zarvik ") + ZARVIK_VERSION_STRING + ": updates the firmware of " +
                     update::target_product() + "s over USB, one or many at once",
                 "zarvik"};
    app.set_version_flag("--version", std::string("zarvik ") + ZARVIK_VERSION_STRING);
    app.require_subcommand(1, 1);
    app.footer(exit_statuses);

    bool as_json = false;
    UpdateOptions options;
    CLI::App* list = app.add_subcommand("list", "the attached supported printers, one a line");
    list->add_flag("--json", as_json, "the list as one JSON object");

    CLI::App* plan = app.add_subcommand(
        "plan", "what an update would install, in order, with sizes and SHA-256, and every other file of the folder "
                "with the reason it is not installed; nothing is sent");
    plan->add_option("--firmware", options.firmware, "the firmware folder")->required();
    plan->add_flag("--json", as_json, "the plan as one JSON object");

    CLI::App* upd = app.add_subcommand(
        "update", "installs the firmware folder's files on the attached printer (the first *.bin as orbrey.bin, "
                  "then every *.xbf; suffixes are matched exactly, in lower case); with a SHA256SUMS file in the "
                  "folder, every installed file must be listed there and match");
    upd->add_option("--firmware", options.firmware, "the firmware folder")->required();
    CLI::Option* printer = upd->add_option("--printer", options.printer, "the printer at this bus and address");
    printer->type_name("BUS:ADDR");
    CLI::Option* serial = upd->add_option("--serial", options.serial, "the printer with this serial number");
    serial->type_name("S");
    CLI::Option* all = upd->add_flag("--all", options.all, "every attached target printer, all at the same time");
    printer->excludes(serial)->excludes(all);
    serial->excludes(all);
    upd->add_option("--log", options.log, log_help)->type_name("DIR");
    upd->add_flag("--json", options.json, "one JSON object a line: plan, progress, error, done");
    upd->footer(exit_statuses);

    // With --json anywhere, even a command line that cannot be read is
    // answered with JSON on standard output.
    const Report usage{io, std::find(args.begin(), args.end(), "--json") != args.end()};
    const auto first_word =
        std::find_if(args.begin(), args.end(), [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (first_word != args.end() &&
        std::find(std::begin(commands), std::end(commands), *first_word) == std::end(commands)) {
        std::string text = "zarvik: unknown command '" + printable(*first_word) + "'";
        if (const char* guess = nearest_command(*first_word))
            text += " (did you mean '" + std::string(guess) + "'?)";
        return usage.fail(exit_usage, {text + "; the commands are list, plan and update (zarvik --help)"},
                          {{"message", "unknown command '" + *first_word + "'"}});
    }

    std::ostringstream out, err;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
        if (!options.printer.empty() && !com::parse_place(options.printer, &options.place))
            throw CLI::ValidationError("--printer", "expects BUS:ADDR, e.g. 1:5, not " + options.printer);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        std::fputs(out.str().c_str(), io.out);
        std::fflush(io.out);
        if (code == 0)
            return exit_updated;  // --help, --version
        return usage.fail(exit_usage, {err.str().substr(0, err.str().find_last_not_of('\n') + 1)},
                          {{"message", e.what()}});
    }
    // Whatever a command throws is said here, once it has given back every
    // printer and started the background service again on its way out.
    const Report report{io, list->parsed() || plan->parsed() ? as_json : options.json};
    try {
        if (list->parsed())
            return command_list(report);
        if (plan->parsed())
            return command_plan(report, options.firmware);
        return command_update(report, options);
    } catch (const std::exception& e) {
        return report.fail(exit_error, {std::string("zarvik: unexpected error: ") + e.what()},
                           {{"message", std::string("unexpected error: ") + e.what()}});
    } catch (...) {
        return report.fail(exit_error, {"zarvik: unexpected error"}, {{"message", "unexpected error"}});
    }
}

std::string program_dir()
{
#ifdef _WIN32
    wchar_t path[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(sizeof path / sizeof path[0]));
    if (n == 0)
        return ".";
    return update::utf8_of(fs::path(std::wstring(path, n)).parent_path());
#else
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0)
        return ".";
    return update::utf8_of(fs::path(std::string(path, static_cast<std::size_t>(n))).parent_path());
#endif
}

int run_program(int argc, char** argv, [[maybe_unused]] const std::string& service_name)
{
    const ProcessStreams streams;
    Io io = streams.io();
    io.program_dir = program_dir();
#ifdef _WIN32
    std::unique_ptr<ServiceManager> service;
    if (!service_name.empty()) {
        service = windows_service(service_name);
        io.service = service.get();
    }
#endif
    return run(command_line(argc, argv), io);
}

}  // namespace zarvik

#include "zarvik.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "com/com_factory.h"
#include "com/result.h"
#include "display.h"
#include "interrupt.h"
#include "service_hold.h"
#include "update/messages.h"
#include "update/plan.h"
#include "update/session.h"
#include "update/target.h"
#include "update/local_path.h"
#include "zarvik/version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
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
    "  4  an unexpected error ended the command early (every printer was given back)";

bool is_target(const com::UsbDeviceRecord& r)
{
    return r.info.vendor_id == update::target_vendor_id && r.info.product_id == update::target_product_id;
}

PrinterLabel label_of(const com::UsbPrinterRecord& r)
{
    return PrinterLabel{r.device.bus_number, r.device.device_address, r.device.info.serial};
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

bool parse_place(const std::string& text, std::uint8_t* bus, std::uint8_t* address)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    const auto number = [](const std::string& part, int low, std::uint8_t* out) {
        if (part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const int value = std::stoi(part);
        if (value < low || value > 255)
            return false;
        *out = static_cast<std::uint8_t>(value);
        return true;
    };
    return number(text.substr(0, colon), 0, bus) && number(text.substr(colon + 1), 1, address);
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
    json line = {{"bus", r.device.bus_number},
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
    char head[64];
    std::snprintf(head, sizeof head, "%u:%u  %04x:%04x", r.device.bus_number, r.device.device_address,
                  r.device.info.vendor_id, r.device.info.product_id);
    std::string text = head;
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

int list_printers(const Io& io, std::vector<com::UsbPrinterRecord>* out)
{
    const int code = com::ComFactory().list_usb_printers(out);
    std::sort(out->begin(), out->end(), [](const com::UsbPrinterRecord& a, const com::UsbPrinterRecord& b) {
        return a.device.bus_number != b.device.bus_number ? a.device.bus_number < b.device.bus_number
                                                          : a.device.device_address < b.device.device_address;
    });
    if (code != com::COM_SUCCESS)
        say(io.err, std::string("zarvik: ") + update::user_message(code));
    return code;
}

int command_list(const Io& io, bool as_json)
{
    ServiceHold hold(io, as_json);
    if (!hold.stop())
        return exit_failed;
    if (hold.interrupted())
        return interrupted_before_printers(io);
    std::vector<com::UsbPrinterRecord> printers;
    if (list_printers(io, &printers) != com::COM_SUCCESS)
        return exit_failed;
    std::vector<int> hints;
    bool target = false;
    for (const com::UsbPrinterRecord& r : printers) {
        say(io.out, as_json ? printer_json(r).dump(-1, ' ', false, json::error_handler_t::replace) : printer_text(r));
        if (hinted_error(r.open_error) && std::find(hints.begin(), hints.end(), r.open_error) == hints.end())
            hints.push_back(r.open_error);
        target = target || is_target(r.device);
    }
    if (printers.empty() && !as_json)
        say(io.err, "zarvik: no supported printer attached");
    else if (!target && !as_json)
        say(io.err, "zarvik: none of the attached printers is one this tool updates");
    for (int error : hints)
        hint_open_error(io, error);
    // A script asks "is there a printer to update?" with the same status as update.
    return target ? exit_updated : exit_no_printer;
}

// The plan of a folder, checked; exit_updated when it can be sent.
int checked_plan(const Io& io, const std::string& folder, update::Plan* plan)
{
    if (update::path_kind(folder) != update::PathKind::folder) {
        say(io.err, "zarvik: " + printable(folder) + ": no such folder");
        say(io.err, update::no_firmware_message);
        return exit_failed;
    }
    *plan = update::make_plan(update::list_firmware_folder(folder));
    if (plan->empty()) {
        say(io.err, update::no_firmware_message);
        return exit_failed;
    }
    const update::Problem problem = update::check_plan(*plan);
    if (problem.code != com::COM_SUCCESS) {
        say(io.err, std::string(update::user_message(problem.code)) + " (" + update::code_name(problem.code) + ")");
        say(io.err, "zarvik: " + printable(plan->files[problem.file].local_path) + " " + problem.reason +
                        "; nothing was sent");
        return exit_failed;
    }
    return exit_updated;
}

int command_plan(const Io& io, const std::string& folder, bool as_json)
{
    update::Plan plan;
    const int status = checked_plan(io, folder, &plan);
    if (status != exit_updated)
        return status;
    if (as_json) {
        Display(io, Display::Mode::json, plan, {}).plan_event();
        return exit_updated;
    }
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const update::PlannedFile& f = plan.files[i];
        std::fprintf(io.out, "%zu. %s as 0:/sys/%s, %lld bytes\n", i + 1, printable(f.local_name).c_str(),
                     printable(f.printer_name).c_str(), static_cast<long long>(f.size));
    }
    std::fprintf(io.out, "%zu files, %lld bytes; nothing was sent\n", plan.files.size(),
                 static_cast<long long>(plan.total_bytes()));
    std::fflush(io.out);
    return exit_updated;
}

struct UpdateOptions {
    std::string firmware;
    std::string printer;
    std::string serial;
    bool all = false;
    std::string log;
    bool json = false;
};

// Tells the display what one printer's update does.
class PrinterObserver : public update::Observer {
public:
    PrinterObserver(Display& display, std::size_t index) : display(display), index(index) {}
    void progress(int percent, float rate) override { display.progress(index, percent, rate); }
    void file_started(std::size_t file) override { display.file_started(index, file); }
    void file_installed(std::size_t file) override
    {
        installed = file + 1;
        display.file_installed(index, file);
    }
    void error(const update::Failure& failure) override { display.error(index, failure); }
    void done(bool succeed) override { display.done(index, succeed, installed); }

private:
    Display& display;
    std::size_t index;
    std::size_t installed = 0;
};

// The target printers the options choose; an exit status other than
// exit_updated when they choose none.
int choose(const Io& io, const UpdateOptions& options, const std::vector<com::UsbPrinterRecord>& attached,
           std::vector<com::UsbPrinterRecord>* chosen)
{
    std::vector<com::UsbPrinterRecord> targets;
    std::copy_if(attached.begin(), attached.end(), std::back_inserter(targets),
                 [](const com::UsbPrinterRecord& r) { return is_target(r.device); });
    const auto show_targets = [&] {
        for (const com::UsbPrinterRecord& r : targets)
            say(io.err, "  " + printer_text(r));
    };
    if (!options.printer.empty()) {
        std::uint8_t bus = 0, address = 0;
        parse_place(options.printer, &bus, &address);
        for (const com::UsbPrinterRecord& r : targets)
            if (r.device.bus_number == bus && r.device.device_address == address)
                chosen->push_back(r);
        if (chosen->empty()) {
            say(io.err, "zarvik: no " + std::string(update::target_product) + " at " + options.printer);
            show_targets();
            return exit_no_printer;
        }
        return exit_updated;
    }
    if (!options.serial.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (options.serial == r.device.info.serial)
                chosen->push_back(r);
        if (chosen->size() > 1) {
            say(io.err, "zarvik: several printers carry the serial " + printable(options.serial) +
                            ": choose one with --printer BUS:ADDR");
            show_targets();
            return exit_usage;
        }
        if (chosen->empty()) {
            say(io.err, "zarvik: no " + std::string(update::target_product) + " with the serial " +
                            printable(options.serial));
            show_targets();
            return exit_no_printer;
        }
        return exit_updated;
    }
    if (targets.empty()) {
        say(io.err, "zarvik: no " + std::string(update::target_product) + " attached");
        for (int error : {libusb_error_access, libusb_error_not_supported})
            if (std::any_of(attached.begin(), attached.end(),
                            [error](const com::UsbPrinterRecord& r) { return r.open_error == error; }))
                hint_open_error(io, error);
        return exit_no_printer;
    }
    if (targets.size() > 1 && !options.all) {
        say(io.err, "zarvik: " + std::to_string(targets.size()) + " printers attached: choose one with --printer "
                    "BUS:ADDR or --serial S, or update them all with --all");
        show_targets();
        return exit_usage;
    }
    *chosen = targets;
    return exit_updated;
}

int command_update(const Io& io, const UpdateOptions& options)
{
    update::Plan plan;
    int status = checked_plan(io, options.firmware, &plan);
    if (status != exit_updated)
        return status;
    // Started again, if it ran, when this ends, however it ends.
    ServiceHold hold(io, options.json);
    if (!hold.stop())
        return exit_failed;
    if (hold.interrupted())
        return interrupted_before_printers(io);
    std::vector<com::UsbPrinterRecord> attached, chosen;
    if (list_printers(io, &attached) != com::COM_SUCCESS)
        return exit_failed;
    status = choose(io, options, attached, &chosen);
    if (status != exit_updated)
        return status;

    // One log folder per printer when there are several: a log file's name
    // is the second it was opened in, and two links must not share one.
    const std::string log_root = options.log.empty() ? io.program_dir + "/log" : options.log;
    std::vector<PrinterLabel> labels;
    std::vector<std::string> log_dirs;
    for (const com::UsbPrinterRecord& r : chosen) {
        labels.push_back(label_of(r));
        log_dirs.push_back(chosen.size() > 1 ? log_root + "/" + std::to_string(r.device.bus_number) + "-" +
                                                   std::to_string(r.device.device_address)
                                             : log_root);
        update::make_folders(log_dirs.back());  // a folder that cannot be made fails the link, and so that update
    }

    const Display::Mode mode =
        options.json ? Display::Mode::json : io.terminal ? Display::Mode::terminal : Display::Mode::plain;
    Display display(io, mode, plan, labels);
    display.plan_event();

    std::vector<std::unique_ptr<PrinterObserver>> observers;
    std::vector<std::unique_ptr<update::Session>> sessions;
    std::vector<update::Outcome> outcomes(chosen.size());
    InterruptWatch watch([&display] {
        display.message("zarvik: interrupted: the upload stops at its next piece and the printer is given back");
    });
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        observers.push_back(std::make_unique<PrinterObserver>(display, i));
        sessions.push_back(std::make_unique<update::Session>(plan, *observers.back()));
        sessions.back()->set_log_note(std::string("zarvik ") + ZARVIK_VERSION_STRING + ", printer at bus " +
                                      std::to_string(labels[i].bus) + " address " + std::to_string(labels[i].address) +
                                      ", serial " + labels[i].serial);
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

}  // namespace

int run(const std::vector<std::string>& args, const Io& io)
{
    CLI::App app{std::string("zarvik ") + ZARVIK_VERSION_STRING + ": updates the firmware of " +
                     update::target_product + "s over USB, one or many at once",
                 "zarvik"};
    app.set_version_flag("--version", std::string("zarvik ") + ZARVIK_VERSION_STRING);
    app.require_subcommand(1, 1);
    app.footer(exit_statuses);

    bool as_json = false;
    UpdateOptions options;
    CLI::App* list = app.add_subcommand("list", "the attached supported printers, one a line");
    list->add_flag("--json", as_json, "one JSON object a line");

    CLI::App* plan = app.add_subcommand("plan", "what an update would install, in order, with sizes; nothing is sent");
    plan->add_option("--firmware", options.firmware, "the firmware folder")->required();
    plan->add_flag("--json", as_json, "the plan as one JSON object");

    CLI::App* upd = app.add_subcommand(
        "update", "installs the firmware folder's files on the attached printer (the first *.bin as orbrey.bin, "
                  "then every *.xbf)");
    upd->add_option("--firmware", options.firmware, "the firmware folder")->required();
    CLI::Option* printer = upd->add_option("--printer", options.printer, "the printer at this bus and address");
    printer->type_name("BUS:ADDR");
    CLI::Option* serial = upd->add_option("--serial", options.serial, "the printer with this serial number");
    serial->type_name("S");
    CLI::Option* all = upd->add_flag("--all", options.all, "every attached target printer, all at the same time");
    printer->excludes(serial)->excludes(all);
    serial->excludes(all);
    upd->add_option("--log", options.log, "the log folder (default: log beside the program)")->type_name("DIR");
    upd->add_flag("--json", options.json, "one JSON object a line: plan, progress, error, done");
    upd->footer(exit_statuses);

    std::ostringstream out, err;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
        std::uint8_t bus = 0, address = 0;
        if (!options.printer.empty() && !parse_place(options.printer, &bus, &address))
            throw CLI::ValidationError("--printer", "expects BUS:ADDR, e.g. 1:5, not " + options.printer);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        std::fputs(out.str().c_str(), io.out);
        std::fputs(err.str().c_str(), io.err);
        std::fflush(io.out);
        std::fflush(io.err);
        return code == 0 ? exit_updated : exit_usage;
    }
    // Whatever a command throws is said here, once it has given back every
    // printer and started the background service again on its way out.
    try {
        if (list->parsed())
            return command_list(io, as_json);
        if (plan->parsed())
            return command_plan(io, options.firmware, as_json);
        return command_update(io, options);
    } catch (const std::exception& e) {
        say(io.err, std::string("zarvik: unexpected error: ") + e.what());
    } catch (...) {
        say(io.err, "zarvik: unexpected error");
    }
    return exit_error;
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

}  // namespace zarvik

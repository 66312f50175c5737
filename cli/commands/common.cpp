#include "common.h"

#include <algorithm>
#include <iterator>

#include "com/result.h"
#include "update/local_path.h"
#include "update/messages.h"
#include "update/target.h"

namespace zarvik {

using nlohmann::json;

namespace {

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

json printers_json(const std::vector<com::UsbPrinterRecord>& printers)
{
    json all = json::array();
    for (const com::UsbPrinterRecord& r : printers)
        all.push_back(printer_json(r));
    return all;
}

}  // namespace

std::string open_error_text(int error)
{
    if (error == libusb_error_access)
        return "access denied";
    if (error == libusb_error_not_supported)
        return "no driver";
    return "cannot be opened (libusb error " + std::to_string(error) + ")";
}

std::string open_error_hint(int error)
{
#ifndef _WIN32
    if (error == libusb_error_access)
        return access_hint();
#endif
    if (error == libusb_error_not_supported)
        return "zarvik: " + driver_hint();
    return std::string();
}

const char* const exit_statuses =
    "Exit status:\n"
    "  0  every printer updated, or left alone by --skip-installed (list: a target printer is attached; plan,\n"
    "     history: done)\n"
    "  1  an update failed (with --all: any), or there is nothing to install\n"
    "  2  usage error, or several printers and none chosen\n"
    "  3  no target printer attached (at the place or with the serial given; list: none)\n"
    "  4  an unexpected error ended the command early (every printer was given back)\n"
    "With --json, standard output carries JSON objects only, one a line: an \"error\" event with\n"
    "its \"exit_status\" when a run ends before any printer is updated.";

#ifdef _WIN32
const char* const log_help_text = "the log folder (default: log beside the program when that folder can be written, "
                                  "otherwise %LOCALAPPDATA%\\zarvik\\log)";
#else
const char* const log_help_text =
    "the log folder (default: log beside the program when that folder can be written and the program is not "
    "installed in the system's folders, otherwise $XDG_STATE_HOME/zarvik/log, by default "
    "~/.local/state/zarvik/log, and /var/log/zarvik for root)";
#endif

#ifdef _WIN32
const char* const history_help_text =
    "the update history's file (default: history.sqlite beside the program where the log goes there, "
    "otherwise %LOCALAPPDATA%\\zarvik\\history.sqlite)";
#else
const char* const history_help_text =
    "the update history's file (default: history.sqlite beside the program where the log goes there, otherwise "
    "$XDG_STATE_HOME/zarvik/history.sqlite, by default ~/.local/state/zarvik/history.sqlite, and "
    "/var/lib/zarvik/history.sqlite for root)";
#endif

const char* const skip_installed_help_text =
    "leave alone each printer whose last record in the history shows exactly these files (every name on the "
    "printer with its SHA-256) installed and taken up, with nothing recorded after it; it cannot know of an "
    "update the history did not record: one made by the window zarvik-update, by another account or on "
    "another host (each has its own history), with --no-history, or by any other means";

void add_record_options(CLI::App& command, RecordOptions& options, const std::string& what)
{
    command.add_option("--log", options.log, log_help_text)->type_name("DIR");
    CLI::Option* history = command.add_option("--history", options.history, history_help_text)->type_name("FILE");
    CLI::Option* no_history =
        command.add_flag("--no-history", options.no_history, "keep no record of this " + what + " in the history");
    CLI::Option* skip = command.add_flag("--skip-installed", options.skip_installed, skip_installed_help_text);
    history->excludes(no_history);
    skip->excludes(no_history);
}

int Report::fail(int status, const std::vector<std::string>& text, json event) const
{
    for (const std::string& line : text)
        err(line);
    if (as_json) {
        event["event"] = "error";
        event["exit_status"] = status;
        out(dump(event));
    }
    return status;
}

json code_fields(int code)
{
    return {{"code", code}, {"code_name", update::code_name(code)}};
}

bool is_target(const com::UsbDeviceRecord& r)
{
    return update::is_target(r.info.vendor_id, r.info.product_id);
}

PrinterLabel label_of(const com::UsbPrinterRecord& r)
{
    return PrinterLabel{com::place_of(r.device), r.device.info.serial, r.port};
}

std::string log_note(const PrinterLabel& label)
{
    return "printer at bus " + std::to_string(label.where.bus_number) + " address " +
           std::to_string(label.where.device_address) +
           (label.port.known() ? ", port " + com::port_path_text(label.port) : std::string()) + ", serial " +
           label.serial;
}

json printer_json(const com::UsbPrinterRecord& r)
{
    char vid[8], pid[8];
    std::snprintf(vid, sizeof vid, "%04x", r.device.info.vendor_id);
    std::snprintf(pid, sizeof pid, "%04x", r.device.info.product_id);
    json line = {{"printer", label_of(r).place()},
                 {"bus", r.device.bus_number},
                 {"address", r.device.device_address},
                 {"port", label_of(r).port_json()},
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
    const std::string port = r.port.known() ? com::port_path_text(r.port) : std::string("-");
    std::string text = label_of(r).place() + "  port " + port + "  " + ids;
    if (r.open_error != 0) {
        text += "  " + open_error_text(r.open_error);
    } else {
        text += "  " + printable(r.device.info.manufacturer) + "  " + printable(r.device.info.product) + "  serial " +
                (r.device.info.serial[0] ? printable(r.device.info.serial) : std::string("(none)"));
    }
    return text + (is_target(r.device) ? "  [updated by this tool]" : "  [not updated by this tool]");
}

void hint_open_error(const Report& report, int error)
{
    const std::string hint = open_error_hint(error);
    if (!hint.empty())
        report.err(hint);
}

bool hinted_error(int error)
{
    return error == libusb_error_access || error == libusb_error_not_supported;
}

int service_not_stopped(const Report& report, const ServiceHold& hold)
{
    // Standard error has the hold's own line already.
    return report.fail(exit_failed, {}, {{"message", hold.failure()}});
}

int interrupted_before_printers(const Report& report)
{
    const std::string message = "interrupted; no printer was opened";
    return report.fail(exit_failed, {"zarvik: " + message}, {{"message", message}});
}

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

int choose(const Report& report, const PrinterChoice& choice, const std::vector<com::UsbPrinterRecord>& attached,
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
    if (!choice.printer.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (r.device.bus_number == choice.place.bus_number &&
                r.device.device_address == choice.place.device_address)
                chosen->push_back(r);
        return chosen->empty() ? refuse(exit_no_printer, "no " + product + " at " + choice.printer) : exit_updated;
    }
    if (!choice.port.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (r.port == choice.port_path)
                chosen->push_back(r);
        return chosen->empty() ? refuse(exit_no_printer, "no " + product + " at port " + choice.port) : exit_updated;
    }
    if (!choice.serial.empty()) {
        for (const com::UsbPrinterRecord& r : targets)
            if (choice.serial == r.device.info.serial)
                chosen->push_back(r);
        if (chosen->size() > 1)
            return refuse(exit_usage, "several printers carry the serial " + printable(choice.serial) +
                                          ": choose one with --port PATH or --printer BUS:ADDR");
        if (chosen->empty())
            return refuse(exit_no_printer, "no " + product + " with the serial " + printable(choice.serial));
        return exit_updated;
    }
    if (targets.empty()) {
        const int status = refuse(exit_no_printer, "no " + product + " attached");
        for (int error : {libusb_error_access, libusb_error_not_supported})
            if (std::any_of(attached.begin(), attached.end(),
                            [error](const com::UsbPrinterRecord& r) { return r.open_error == error; }))
                hint_open_error(report, error);
        return status;
    }
    if (targets.size() > 1 && !choice.all) {
        return refuse(exit_usage, std::to_string(targets.size()) +
                                      " printers attached: choose one with --printer "
                                      "BUS:ADDR, --port PATH or --serial S, or update them all with --all");
    }
    *chosen = targets;
    return exit_updated;
}

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

}  // namespace zarvik

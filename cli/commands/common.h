// What zarvik's commands share: how a command says it ended early, the
// attached printers as text and as JSON, listing them, choosing among them,
// the hints for a printer that cannot be opened, and the checked plan.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "com/com_factory.h"
#include "com/devices.h"
#include "display.h"
#include "output.h"
#include "service_hold.h"
#include "update/plan.h"
#include "zarvik.h"

namespace zarvik {

constexpr int libusb_error_access = -3;          // LIBUSB_ERROR_ACCESS
constexpr int libusb_error_not_supported = -12;  // LIBUSB_ERROR_NOT_SUPPORTED: on Windows, no usable driver

// What the exit statuses mean, as --help ends.
extern const char* const exit_statuses;

// What the commands that update share: --log DIR, --history FILE or
// --no-history (`what`: "update", "watch", for its help), --skip-installed.
struct RecordOptions {
    std::string log;
    std::string history;  // "": the default place
    bool no_history = false;
    bool skip_installed = false;
};
void add_record_options(CLI::App& command, RecordOptions& options, const std::string& what);

// What a command says, through the output's thread (output.h), and how it
// says that it ends early: its text on standard error and, with --json, an
// error event with the exit status on standard output.
struct Report {
    const Io& io;
    Output& output;
    bool as_json;
    std::string command;  // the command line as given, for the history

    // One line, its line end added.
    void out(const std::string& line) const { output.out(line + "\n"); }
    void err(const std::string& line) const { output.err(line + "\n"); }
    // `event` holds at least "message"; `text` is what a person reads.
    int fail(int status, const std::vector<std::string>& text, nlohmann::json event) const;
};

// "code" and "code_name" of a result code, for a JSON event.
nlohmann::json code_fields(int code);

bool is_target(const com::UsbDeviceRecord& r);
PrinterLabel label_of(const com::UsbPrinterRecord& r);

// Which printer a log is about, for its first line: "printer at bus 1
// address 5, port 1-1.4, serial SN1-5".
std::string log_note(const PrinterLabel& label);

// A printer as one line of `zarvik list`, and as its JSON object.
std::string printer_text(const com::UsbPrinterRecord& r);
nlohmann::json printer_json(const com::UsbPrinterRecord& r);

// Why a printer cannot be opened: "access denied", "no driver", ...
std::string open_error_text(int error);
// How to go on when a printer cannot be opened because of `error`, if the
// error says ("" otherwise).
std::string open_error_hint(int error);

// How to go on when a printer cannot be opened because of `error`, on
// standard error, if the error says; hinted_error: whether it does.
void hint_open_error(const Report& report, int error);
bool hinted_error(int error);

// A run that ends before any printer was opened: the background service
// could not be stopped (`hold` said why), or an interrupt came first.  Said,
// with --json as an error event, and the exit status.
int service_not_stopped(const Report& report, const ServiceHold& hold);
int interrupted_before_printers(const Report& report);

// The attached supported printers, by bus and address; an exit status other
// than exit_updated when they cannot be listed.
int list_printers(const Report& report, std::vector<com::UsbPrinterRecord>* out);

// Which printers a command works on: one at a place, one at a port, one
// with a serial, or every target printer.
struct PrinterChoice {
    std::string printer;  // as given, for messages
    com::UsbPlace place;  // read from it once the arguments are parsed
    std::string port;     // as given
    com::UsbPortPath port_path;
    std::string serial;
    bool all = false;
};

// The target printers `choice` chooses among `attached`; an exit status
// other than exit_updated when it chooses none.
int choose(const Report& report, const PrinterChoice& choice, const std::vector<com::UsbPrinterRecord>& attached,
           std::vector<com::UsbPrinterRecord>* chosen);

// The plan of a folder, checked; exit_updated when it can be sent.
int checked_plan(const Report& report, const std::string& folder, update::Plan* plan);

}  // namespace zarvik

// What zarvik shows while printers are updated, in one of three forms:
//   terminal  one line per printer (file, percentage, KiB/s, time left),
//             redrawn in place on standard output;
//   plain     one line per file and outcome, no control characters;
//   json      one JSON object a line: plan, progress, error, done.
// Several update threads report at once: every call takes the display's
// lock, which is held only to change what it shows and to hand text to the
// output's thread (output.h): no call ever waits for the output.  When
// standard output goes away (the reader of a pipe ended), the output stops
// and the update goes on: the user is told once on standard error, and the
// outcome is still the exit status and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/devices.h"
#include "output.h"
#include "update/session.h"
#include "zarvik.h"

namespace zarvik {

struct PrinterLabel {
    com::UsbPlace where;
    std::string serial;
    com::UsbPortPath port;

    std::string place() const { return com::place_text(where); }  // "1:5"
    // "1:5 SN1-5"; a printer without a serial is known by its port path:
    // "1:5 port 1-1.4".
    std::string text() const;
    // The port path for JSON: "1-1.4", or null when it is not known.
    nlohmann::json port_json() const;
};

// Text from outside (a file name, a path, the printer's strings and
// replies) as it may reach a terminal: control characters (C0, DEL, and C1,
// U+0080 to U+009F, which terminals take as escape sequences) and bytes that
// are not UTF-8 each as \xNN of their bytes; the rest as it is.
std::string printable(const std::string& text);

// JSON text with the C1 controls that the dump leaves as they are written
// as \u0080 to \u009f: the same JSON, which a terminal shown it does not act on.
std::string without_c1(const std::string& json_text);

// One JSON object as one line of text.  Strings are UTF-8 in JSON: what a
// name holds that is not (on POSIX a name is any bytes) comes out as U+FFFD,
// so that every reader can parse the line; control characters are escaped.
template <class Json = nlohmann::json>
std::string dump(const Json& object)
{
    return without_c1(object.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// What became of the plan's files when `installed` of them were installed:
// "installed: a; may have been taken up: b; not installed: c" (the middle
// part only when the next file may have been taken up).
std::string files_outcome(const update::Plan& plan, std::size_t installed, bool maybe_taken_up);

// A printer's failure: its fields in an "error" event (message, code and
// its name, the file, the detail, may_have_been_taken_up), and its text for
// a terminal: "MESSAGE (CODE_NAME), with FILE: DETAIL; the printer may have
// taken it up".
void add_failure(nlohmann::json& event, const update::Plan& plan, const update::Failure& failure);
std::string failure_text(const update::Plan& plan, const update::Failure& failure);

// "1 file", "2 files".
std::string count_of(std::size_t count, const char* singular, const char* plural);

class Display {
public:
    enum class Mode { terminal, plain, json };

    Display(Output& output, Mode mode, const update::Plan& plan, std::vector<PrinterLabel> printers);

    // The plan, before anything is sent (json: the plan event).
    void plan_event();
    void file_started(std::size_t printer, std::size_t file);
    void progress(std::size_t printer, int percent, float kib_per_s);
    void file_installed(std::size_t printer, std::size_t file);
    void error(std::size_t printer, const update::Failure& failure);
    void done(std::size_t printer, bool succeed, std::size_t installed);
    // A message for the user, on standard error (json: standard error too).
    void message(const std::string& text);
    // A printer left alone, and why: said now, and named in the summary.
    void left_alone(const PrinterLabel& printer, const std::string& reason);
    // The last redraw, and with several printers a summary line each.
    void finish(const std::vector<update::Outcome>& outcomes);

private:
    struct Line {
        std::size_t file = 0;
        int percent = 0;
        float rate = 0;
        std::size_t installed = 0;
        bool maybe_taken_up = false;  // the file after the installed ones, see update::Failure
        bool started = false;
        std::string state;  // "" while running, then the outcome
    };

    std::string terminal_line(const Line& line, std::size_t printer) const;
    void redraw();
    void plain(std::size_t printer, const std::string& text, bool to_err = false);
    void json_line(const std::string& text);
    void put(const std::string& text) { output.out(text); }

    Output& output;
    Mode mode;
    const update::Plan& plan;
    std::vector<PrinterLabel> printers;
    std::vector<Line> lines;
    std::vector<std::pair<PrinterLabel, std::string>> left;  // left alone, and why
    std::mutex mutex;
};

}  // namespace zarvik

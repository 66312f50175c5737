// What zarvik shows while printers are updated, in one of three forms:
//   terminal  one line per printer (file, percentage, KiB/s, time left),
//             redrawn in place on standard output;
//   plain     one line per file and outcome, no control characters;
//   json      one JSON object a line: plan, progress, error, done.
// Several update threads report at once: every call takes the display's lock.
// When standard output goes away (the reader of a pipe ended), the output
// stops and the update goes on: the user is told once on standard error, and
// the outcome is still the exit status and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/devices.h"
#include "update/session.h"
#include "zarvik.h"

namespace zarvik {

struct PrinterLabel {
    com::UsbPlace where;
    std::string serial;

    std::string place() const { return com::place_text(where); }  // "1:5"
    std::string text() const;                                     // "1:5 SN1-5"
};

// Text for a line of output: control bytes as \xNN.
std::string printable(const std::string& text);

// One JSON object as one line of text; names need not be UTF-8: what is not
// comes out as U+FFFD.
template <class Json = nlohmann::json>
std::string dump(const Json& object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// "1 file", "2 files".
std::string count_of(std::size_t count, const char* singular, const char* plural);

class Display {
public:
    enum class Mode { terminal, plain, json };

    Display(const Io& io, Mode mode, const update::Plan& plan, std::vector<PrinterLabel> printers);

    // The plan, before anything is sent (json: the plan event).
    void plan_event();
    void file_started(std::size_t printer, std::size_t file);
    void progress(std::size_t printer, int percent, float kib_per_s);
    void file_installed(std::size_t printer, std::size_t file);
    void error(std::size_t printer, const update::Failure& failure);
    void done(std::size_t printer, bool succeed, std::size_t installed);
    // A message for the user, on standard error (json: standard error too).
    void message(const std::string& text);
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
    // Writes to standard output unless it went away; notices when it does.
    void put(const std::string& text);
    // What became of the plan's files: "installed: a; may have been taken
    // up: b; not installed: c" (the middle part only when there is one).
    std::string files_outcome(std::size_t installed, bool maybe_taken_up) const;

    const Io& io;
    Mode mode;
    const update::Plan& plan;
    std::vector<PrinterLabel> printers;
    std::vector<Line> lines;
    bool drawn = false;
    int drawn_width = 0;
    bool out_lost = false;
    std::mutex mutex;
};

}  // namespace zarvik

// What zarvik shows while printers are updated, in one of three forms:
//   terminal  one line per printer (file, percentage, KiB/s, time left),
//             redrawn in place on standard output;
//   plain     one line per file and outcome, no control characters;
//   json      one JSON object a line: plan, progress, error, done.
// Several update threads report at once: every call takes the display's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "update/session.h"
#include "zarvik.h"

namespace zarvik {

struct PrinterLabel {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    std::string serial;

    std::string place() const;  // "1:5"
    std::string text() const;   // "1:5 SN1-5"
};

// Text for a line of output: control bytes as \xNN.
std::string printable(const std::string& text);

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
        bool started = false;
        std::string state;  // "" while running, then the outcome
    };

    std::string terminal_line(const Line& line, std::size_t printer) const;
    void redraw();
    void plain(std::size_t printer, const std::string& text, bool to_err = false);
    void json_line(const std::string& text);
    std::string installed_list(std::size_t installed, bool installed_part) const;

    const Io& io;
    Mode mode;
    const update::Plan& plan;
    std::vector<PrinterLabel> printers;
    std::vector<Line> lines;
    bool drawn = false;
    std::mutex mutex;
};

}  // namespace zarvik

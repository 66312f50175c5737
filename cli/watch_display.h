// What `zarvik watch` shows, in one of three forms:
//   terminal  one line per printer plugged in (port, serial, state), redrawn
//             in place, and a last line with the counts and what to do next;
//             a printer's line moves up into the scrolled text, with its last
//             state, once it is unplugged; the bell when a printer ends;
//   plain     one line per change, no control characters;
//   json      one JSON object a line per change.
//
// Every call only queues what it is told and returns: a thread of the
// display's own makes the text, and the output's thread (output.h) writes it,
// so that a printer's thread, or the watch's, never waits for the terminal
// or a pipe.  When standard output goes away the output stops and the watch
// goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/devices.h"
#include "output.h"
#include "update/plan.h"
#include "update/session.h"
#include "zarvik.h"

namespace zarvik {

// Who a printer is, as far as the watch knows it yet.
struct WatchedPrinter {
    com::UsbPlace where;
    com::UsbPortPath port;
    std::string serial;
    bool identified = false;  // its strings were read: `serial` is its own ("" none)

    // "1-1.4 SN1-5", "1-1.4" before its serial is read or when it has none;
    // the place when the port path is not known.
    std::string label() const;
};

// The counts of a watch, for the last line and the end.
struct WatchCounts {
    std::size_t updated = 0;
    std::size_t failed = 0;      // taken up and not updated, stopped ones too
    std::size_t left_alone = 0;  // named with the reason and not taken up
    std::size_t busy = 0;        // settling or being updated now (the last line counts them)
};

class WatchDisplay {
public:
    enum class Mode { terminal, plain, json };

    // `count`: the --count given (0 none), for the last line.
    WatchDisplay(Output& output, Mode mode, const update::Plan& plan, bool bell, std::size_t count);
    // Writes what is queued and ends the thread.
    ~WatchDisplay();
    WatchDisplay(const WatchDisplay&) = delete;
    WatchDisplay& operator=(const WatchDisplay&) = delete;

    // The plan, and how printers are detected.
    void started(bool hotplug, unsigned settle_ms);
    // Printer `id` (one a plug-in) was plugged in and is given time to settle.
    void arrived(int id, const WatchedPrinter& printer);
    // Its strings were read; it is taken up now.
    void taken_up(int id, const WatchedPrinter& printer);
    void file_started(int id, std::size_t file);
    void progress(int id, int percent, float kib_per_s);
    void file_installed(int id, std::size_t file);
    void error(int id, const update::Failure& failure);
    // Its update ended (the printer is given back right after).
    void done(int id, bool succeed, std::size_t installed, bool stopped);
    // Not taken up, and why.  `named`: said now and shown (false: it was
    // named before, and is not shown again); `counted`: one more printer left
    // alone in the counts (a printer updated earlier in the watch, plugged in
    // again, is not).
    void left_alone(int id, const WatchedPrinter& printer, const std::string& reason, bool named, bool counted);
    void unplugged(int id);
    // A message for the user, on standard error.
    void message(const std::string& text);
    // The history cannot be written: `text` on standard error, and with
    // --json `json_line` too.
    void history_error(const std::string& text, const std::string& json_line);
    // The end: the last redraw and the counts; returns once all is written.
    void finish(const WatchCounts& counts, int exit_status);

    // Returns once everything told so far is written (the end, and tests).
    // Only a thread that no printer waits for may call it.
    void wait_written();

    // The counts as the display has them (for the last line); tests.
    WatchCounts counts() const;

private:
    struct Event {
        enum class Kind {
            started,
            arrived,
            taken_up,
            file_started,
            progress,
            file_installed,
            error,
            done,
            left_alone,
            unplugged,
            message,
            history_error,
            finish
        };
        Kind kind = Kind::message;
        int id = 0;
        WatchedPrinter printer;
        std::size_t file = 0;
        int percent = 0;
        float rate = 0;
        update::Failure failure;
        bool flag = false;       // done: succeed; left_alone: named; started: hotplug
        bool stopped = false;    // done: stopped by Ctrl-C; left_alone: counted
        std::size_t number = 0;  // done: installed; started: settle_ms
        std::string text;        // left_alone: reason; message
        std::string json_line;   // history_error
        WatchCounts counts;      // finish
        int status = 0;          // finish
    };

    // One printer's line, as the writer has it.
    struct Line {
        WatchedPrinter printer;
        std::string state;  // "waiting to settle", "updated", "failed: ...", ...
        bool updating = false;
        std::size_t file = 0;
        int percent = 0;
        float rate = 0;
        std::size_t installed = 0;
        bool maybe_taken_up = false;
        bool ended = false;  // updated, failed or left alone
        bool shown = true;   // false: left alone again without being named
        bool unplugged = false;
    };

    void post(Event event);
    void write_loop();
    void apply(const Event& e);
    // The printer is unplugged and its update over: its line goes.
    void let_go(int id);
    std::string line_text(const Line& line) const;
    std::string last_line() const;
    void redraw();
    void plain_line(const WatchedPrinter& printer, const std::string& text);
    void json_event(const std::string& text) { put(text + "\n"); }
    void put(const std::string& text) { output.out(text); }
    nlohmann::json who(int id, const WatchedPrinter& printer) const;

    Output& output;
    const Mode mode;
    const update::Plan& plan;
    const bool bell;
    const std::size_t count;

    // The queue, between the callers and the writer.
    mutable std::mutex mutex;
    std::condition_variable queued;
    std::deque<Event> events;
    bool finished = false;
    bool writing = false;      // the writer has taken events it has not written yet
    WatchCounts shown_counts;  // what the last line says (the writer changes it under the mutex)

    // The writer's own.
    std::map<int, Line> lines;          // the printers plugged in now, by id
    std::vector<std::string> scrolled;  // terminal: lines to write above the redrawn ones
    std::string ending;                 // terminal: the last line once the watch has ended
    std::thread writer;
};

}  // namespace zarvik

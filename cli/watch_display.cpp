#include "watch_display.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "display.h"
#include "update/messages.h"

namespace zarvik {

using nlohmann::json;

namespace {

std::string one_decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

std::string WatchedPrinter::label() const
{
    std::string text = port.known() ? com::port_path_text(port) : com::place_text(where);
    if (identified && !serial.empty())
        text += " " + printable(serial);
    return text;
}

WatchDisplay::WatchDisplay(Output& output, Mode mode, const update::Plan& plan, bool bell, std::size_t count)
    : output(output), mode(mode), plan(plan), bell(bell), count(count), writer([this] { write_loop(); })
{
}

WatchDisplay::~WatchDisplay()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    queued.notify_all();
    writer.join();
}

// --- the callers' side: each call queues one event ----------------------------------

void WatchDisplay::post(Event event)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(event));
    }
    queued.notify_one();
}

void WatchDisplay::started(bool hotplug, unsigned settle_ms)
{
    Event e;
    e.kind = Event::Kind::started;
    e.flag = hotplug;
    e.number = settle_ms;
    post(std::move(e));
}

void WatchDisplay::arrived(int id, const WatchedPrinter& printer)
{
    Event e;
    e.kind = Event::Kind::arrived;
    e.id = id;
    e.printer = printer;
    post(std::move(e));
}

void WatchDisplay::taken_up(int id, const WatchedPrinter& printer)
{
    Event e;
    e.kind = Event::Kind::taken_up;
    e.id = id;
    e.printer = printer;
    post(std::move(e));
}

void WatchDisplay::file_started(int id, std::size_t file)
{
    Event e;
    e.kind = Event::Kind::file_started;
    e.id = id;
    e.file = file;
    post(std::move(e));
}

void WatchDisplay::progress(int id, int percent, float kib_per_s)
{
    Event e;
    e.kind = Event::Kind::progress;
    e.id = id;
    e.percent = percent;
    e.rate = kib_per_s;
    post(std::move(e));
}

void WatchDisplay::file_installed(int id, std::size_t file)
{
    Event e;
    e.kind = Event::Kind::file_installed;
    e.id = id;
    e.file = file;
    post(std::move(e));
}

void WatchDisplay::error(int id, const update::Failure& failure)
{
    Event e;
    e.kind = Event::Kind::error;
    e.id = id;
    e.failure = failure;
    post(std::move(e));
}

void WatchDisplay::done(int id, bool succeed, std::size_t installed, bool stopped)
{
    Event e;
    e.kind = Event::Kind::done;
    e.id = id;
    e.flag = succeed;
    e.number = installed;
    e.stopped = stopped;
    post(std::move(e));
}

void WatchDisplay::left_alone(int id, const WatchedPrinter& printer, const std::string& reason, bool named,
                              bool counted)
{
    Event e;
    e.kind = Event::Kind::left_alone;
    e.id = id;
    e.printer = printer;
    e.text = reason;
    e.flag = named;
    e.stopped = counted;
    post(std::move(e));
}

void WatchDisplay::unplugged(int id)
{
    Event e;
    e.kind = Event::Kind::unplugged;
    e.id = id;
    post(std::move(e));
}

void WatchDisplay::message(const std::string& text)
{
    Event e;
    e.kind = Event::Kind::message;
    e.text = text;
    post(std::move(e));
}

void WatchDisplay::history_error(const std::string& text, const std::string& json_line)
{
    Event e;
    e.kind = Event::Kind::history_error;
    e.text = text;
    e.json_line = json_line;
    post(std::move(e));
}

void WatchDisplay::finish(const WatchCounts& final_counts, int exit_status)
{
    Event e;
    e.kind = Event::Kind::finish;
    e.counts = final_counts;
    e.status = exit_status;
    post(std::move(e));
    // The watch's own thread waits here, once every printer has ended.
    wait_written();
}

void WatchDisplay::wait_written()
{
    std::unique_lock<std::mutex> lock(mutex);
    queued.wait(lock, [this] { return events.empty() && !writing; });
}

WatchCounts WatchDisplay::counts() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return shown_counts;
}

// --- the writer -----------------------------------------------------------------------

void WatchDisplay::write_loop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return finished || !events.empty(); });
        if (events.empty())
            return;
        std::deque<Event> taken;
        taken.swap(events);
        writing = true;
        lock.unlock();
        for (const Event& e : taken)
            apply(e);
        if (mode == Mode::terminal)
            redraw();
        lock.lock();
        writing = false;
        queued.notify_all();  // finish() waits for the queue to be written
    }
}

json WatchDisplay::who(int id, const WatchedPrinter& printer) const
{
    return {{"id", id},
            {"printer", com::place_text(printer.where)},
            {"port", printer.port.known() ? json(com::port_path_text(printer.port)) : json(nullptr)},
            {"serial", printer.identified ? json(printer.serial) : json(nullptr)}};
}

void WatchDisplay::apply(const Event& e)
{
    const auto count_change = [this](const std::function<void(WatchCounts&)>& change) {
        const std::lock_guard<std::mutex> lock(mutex);
        change(shown_counts);
    };
    Line* line = nullptr;
    if (e.kind != Event::Kind::started && e.kind != Event::Kind::message && e.kind != Event::Kind::history_error &&
        e.kind != Event::Kind::finish) {
        line = &lines[e.id];
        if (e.kind == Event::Kind::arrived || e.kind == Event::Kind::taken_up || e.kind == Event::Kind::left_alone)
            line->printer = e.printer;
    }
    const auto state_event = [&](const char* state) {
        json event = who(e.id, line->printer);
        event["event"] = "printer";
        event["state"] = state;
        return event;
    };

    switch (e.kind) {
    case Event::Kind::started: {
        // The plan first, as update shows it.
        Display(output, mode == Mode::json ? Display::Mode::json : Display::Mode::plain, plan, {}).plan_event();
        const std::string how = e.flag ? "hotplug" : "looking";
        if (mode == Mode::json)
            json_event(dump({{"event", "watch"}, {"detection", how}, {"settle_ms", e.number}}));
        else
            put(std::string("watch: waiting for printers (") +
                (e.flag ? "told by the system as they are plugged in" : "looked for once a second") + ", each given " +
                one_decimal(static_cast<double>(e.number) / 1000.0) +
                " s to settle); plug in the next printer, Ctrl-C to end\n");
        return;
    }
    case Event::Kind::arrived:
        line->state = "plugged in, waiting to settle";
        if (mode == Mode::json)
            json_event(dump(state_event("settling")));
        else if (mode == Mode::plain)
            plain_line(line->printer, "plugged in at " + com::place_text(line->printer.where) + ", waiting to settle");
        return;
    case Event::Kind::taken_up:
        line->updating = true;
        line->state.clear();
        if (mode == Mode::json)
            json_event(dump(state_event("updating")));
        else if (mode == Mode::plain)
            plain_line(line->printer, "updating");
        return;
    case Event::Kind::file_started: {
        line->file = e.file;
        line->percent = 0;
        const update::PlannedFile& f = plan.files[e.file];
        if (mode == Mode::plain)
            plain_line(line->printer, "sending " + printable(f.local_name) + " as " + printable(f.printer_name) + " (" +
                                          std::to_string(f.size) + " bytes)");
        return;
    }
    case Event::Kind::progress:
        line->percent = e.percent;
        if (e.percent < 100 && e.rate > 0)
            line->rate = e.rate;
        if (mode == Mode::json && line->updating && e.percent > 0) {
            json event = who(e.id, line->printer);
            event["event"] = "progress";
            event["file"] = plan.files[line->file].printer_name;
            event["percent"] = e.percent;
            event["kib_per_s"] = std::round(static_cast<double>(e.rate) * 10.0) / 10.0;
            json_event(dump(event));
        }
        return;
    case Event::Kind::file_installed:
        line->installed = e.file + 1;
        if (mode == Mode::plain)
            plain_line(line->printer, "installed " + printable(plan.files[e.file].printer_name));
        return;
    case Event::Kind::error: {
        const update::Failure& failure = e.failure;
        line->maybe_taken_up = failure.may_be_taken_up;
        if (mode == Mode::json) {
            json event = who(e.id, line->printer);
            event["event"] = "error";
            add_failure(event, plan, failure);
            json_event(dump(event));
            return;
        }
        const std::string text = failure_text(plan, failure);
        line->state = text;
        if (mode == Mode::plain)
            output.err(line->printer.label() + ": error: " + text + "\n");
        return;
    }
    case Event::Kind::done: {
        line->updating = false;
        line->ended = true;
        line->installed = e.number;
        const std::string failure = line->state;
        if (e.flag)
            line->state = "updated";
        else
            line->state = std::string(e.stopped ? "stopped" : "failed") + (failure.empty() ? "" : ": " + failure) +
                          "; " + files_outcome(plan, e.number, line->maybe_taken_up);
        count_change([&](WatchCounts& c) { ++(e.flag ? c.updated : c.failed); });
        if (mode == Mode::json) {
            json installed = json::array(), maybe = json::array(), left = json::array();
            for (std::size_t i = 0; i < plan.files.size(); ++i)
                (i < e.number                            ? installed
                 : i == e.number && line->maybe_taken_up ? maybe
                                                         : left)
                    .push_back(plan.files[i].printer_name);
            json event = who(e.id, line->printer);
            event["event"] = "done";
            event["succeed"] = e.flag;
            event["stopped"] = e.stopped;
            event["installed"] = installed;
            event["may_have_been_taken_up"] = maybe;
            event["not_installed"] = left;
            json_event(dump(event));
        } else if (mode == Mode::plain) {
            plain_line(line->printer, line->state);
        } else if (bell) {
            output.above("\a");
        }
        if (line->unplugged)
            let_go(e.id);
        return;
    }
    case Event::Kind::left_alone:
        line->updating = false;
        line->ended = true;
        line->shown = e.flag;
        line->state = "left alone: " + e.text;
        if (e.stopped)
            count_change([](WatchCounts& c) { ++c.left_alone; });
        if (!e.flag)
            return;
        if (mode == Mode::json) {
            json event = state_event("left_alone");
            event["reason"] = e.text;
            json_event(dump(event));
        } else if (mode == Mode::plain) {
            plain_line(line->printer, line->state);
        }
        return;
    case Event::Kind::unplugged: {
        if (!line->ended && !line->updating) {
            // Gone before it was taken up.
            line->ended = true;
            line->state = "unplugged before it was taken up";
        }
        line->unplugged = true;
        if (line->shown && mode == Mode::json) {
            json event = who(e.id, line->printer);
            event["event"] = "printer";
            event["state"] = "unplugged";
            json_event(dump(event));
        } else if (line->shown && mode == Mode::plain) {
            plain_line(line->printer, "unplugged");
        }
        // Gone in the middle of its update: its end is still to come.
        if (line->ended)
            let_go(e.id);
        return;
    }
    case Event::Kind::message:
    case Event::Kind::history_error:
        output.err(printable(e.text) + "\n");
        if (e.kind == Event::Kind::history_error && mode == Mode::json)
            json_event(e.json_line);
        return;
    case Event::Kind::finish: {
        const WatchCounts& c = e.counts;
        const std::string text = "watch ended: " + count_of(c.updated, "printer", "printers") + " updated, " +
                                 std::to_string(c.failed) + " failed, " + std::to_string(c.left_alone) + " left alone";
        if (mode == Mode::json) {
            json_event(dump({{"event", "watch_end"},
                             {"updated", c.updated},
                             {"failed", c.failed},
                             {"left_alone", c.left_alone},
                             {"exit_status", e.status}}));
        } else if (mode == Mode::plain) {
            put(text + "\n");
        } else {
            ending = text;
        }
        return;
    }
    }
}

void WatchDisplay::let_go(int id)
{
    const auto it = lines.find(id);
    if (it == lines.end())
        return;
    // On a terminal its last state moves up, out of the lines redrawn.
    if (mode == Mode::terminal && it->second.shown)
        scrolled.push_back(line_text(it->second) + ", unplugged");
    lines.erase(it);
}

std::string WatchDisplay::line_text(const Line& line) const
{
    std::string text = line.printer.label() + "  ";
    if (!line.updating)
        return text + line.state;
    const update::PlannedFile& f = plan.files[line.file];
    char tail[64];
    std::snprintf(tail, sizeof tail, "%3d %%  %8.1f KiB/s", line.percent, line.rate);
    return text + "updating " + printable(f.printer_name) + " (" + std::to_string(line.file + 1) + "/" +
           std::to_string(plan.files.size()) + ")  " + tail;
}

std::string WatchDisplay::last_line() const
{
    WatchCounts c = counts();
    for (const auto& [id, line] : lines)
        c.busy += line.ended ? 0 : 1;
    std::string text = std::to_string(c.updated) + " updated, " + std::to_string(c.failed) + " failed, " +
                       std::to_string(c.left_alone) + " left alone";
    if (c.busy > 0)
        text += ", " + std::to_string(c.busy) + " under way";
    if (count > 0)
        text += " (" + std::to_string(c.updated + c.failed) + " of " + std::to_string(count) + ")";
    return text + "; plug in the next printer, Ctrl-C to end";
}

void WatchDisplay::redraw()
{
    // The lines that have left the block go above it, for good; the block
    // is the printers plugged in now and the last line.
    std::vector<std::string> above;
    for (const std::string& line : scrolled)
        above.push_back(line + "\n");
    scrolled.clear();
    std::vector<std::string> block;
    for (const auto& [id, line] : lines)
        if (line.shown)
            block.push_back(line_text(line));
    block.push_back(ending.empty() ? last_line() : ending);
    output.block(std::move(block), std::move(above));
}

void WatchDisplay::plain_line(const WatchedPrinter& printer, const std::string& text)
{
    put(printer.label() + ": " + text + "\n");
}

}  // namespace zarvik

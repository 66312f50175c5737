#include "display.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "com/protocol.h"
#include "com/utf8.h"
#include "update/messages.h"

namespace zarvik {

using nlohmann::json;

namespace {

// The terminal sequence that moves the cursor up `rows` rows.
std::string rows_up(std::size_t rows)
{
    return "\x1b[" + std::to_string(rows) + "A";
}

// Columns a character takes in a terminal: two for the wide characters of
// East Asian scripts, one for the rest.
int columns_of(char32_t c)
{
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

std::string seconds_text(double seconds)
{
    if (!(seconds >= 0) || seconds > 99 * 3600)
        return "--:--";
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// `text` cut to at most `columns` terminal columns (characters of East Asian
// width count two), with "..." in place of what is cut.  UTF-8 is cut only
// between characters.
std::string fit_columns(const std::string& text, int columns)
{
    int used = 0;
    std::size_t cut_at = std::string::npos;  // the end of the part that leaves room for "..."
    for (std::size_t i = 0; i < text.size();) {
        const com::utf8::Character c = com::utf8::decode_at(text, i);
        const int width = columns_of(c.code_point);
        if (used + width > columns - 3 && cut_at == std::string::npos)
            cut_at = i;
        if (used + width > columns)
            return columns < 3 ? std::string(static_cast<std::size_t>(std::max(columns, 0)), '.')
                               : text.substr(0, cut_at) + "...";
        used += width;
        i += c.length;
    }
    return text;
}

}  // namespace

std::string PrinterLabel::text() const
{
    return serial.empty() ? place() : place() + " " + printable(serial);
}

std::string printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (com::protocol::is_control_byte(byte)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string count_of(std::size_t count, const char* singular, const char* plural)
{
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

Display::Display(const Io& io, Mode mode, const update::Plan& plan, std::vector<PrinterLabel> printers)
    : io(io), mode(mode), plan(plan), printers(std::move(printers)), lines(this->printers.size())
{
}

void Display::plan_event()
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (mode == Mode::json) {
        json files = json::array();
        for (const update::PlannedFile& f : plan.files)
            files.push_back(
                {{"local", f.local_path}, {"name", f.printer_name}, {"size", f.size}, {"sha256", f.sha256}});
        json skipped = json::array();
        for (const update::LeftOut& entry : plan.left_out)
            skipped.push_back({{"name", entry.name}, {"reason", entry.reason}});
        json printer_list = json::array();
        for (const PrinterLabel& p : printers)
            printer_list.push_back({{"printer", p.place()}, {"serial", p.serial}});
        json_line(dump({{"event", "plan"},
                        {"files", files},
                        {"total_bytes", plan.total_bytes()},
                        {"checksum_list", plan.checksum_list.empty() ? json(nullptr) : json(plan.checksum_list)},
                        {"skipped", skipped},
                        {"printers", printer_list}}));
        return;
    }
    // Plain lines, also on a terminal before its progress lines.
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const update::PlannedFile& f = plan.files[i];
        put("plan " + std::to_string(i + 1) + "/" + std::to_string(plan.files.size()) + ": " + printable(f.local_name) +
            " as " + printable(f.printer_name) + " (" + std::to_string(f.size) + " bytes, sha256 " + f.sha256 + ")\n");
    }
    for (const update::LeftOut& entry : plan.left_out)
        put("plan: not installed: " + printable(entry.name) + " (" + entry.reason + ")\n");
    if (!plan.checksum_list.empty())
        put("plan: every file is listed in " + printable(plan.checksum_list) + " with its SHA-256\n");
    redraw();
}

void Display::file_started(std::size_t printer, std::size_t file)
{
    const std::lock_guard<std::mutex> lock(mutex);
    lines[printer].file = file;
    lines[printer].percent = 0;
    lines[printer].started = true;
    if (mode == Mode::plain) {
        const update::PlannedFile& f = plan.files[file];
        plain(printer, "sending " + printable(f.local_name) + " as " + printable(f.printer_name) + " (" +
                           std::to_string(f.size) + " bytes)");
    } else if (mode == Mode::terminal) {
        redraw();
    }
}

void Display::progress(std::size_t printer, int percent, float kib_per_s)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Line& line = lines[printer];
    line.percent = percent;
    if (percent < 100 && kib_per_s > 0)
        line.rate = kib_per_s;
    if (mode == Mode::json) {
        if (!line.started)
            return;  // the start, before any file: the plan event said it
        // The rate to one decimal, computed as a double: a float would carry
        // its binary error into the JSON as sixteen digits.
        json event = {{"event", "progress"},
                      {"printer", printers[printer].place()},
                      {"serial", printers[printer].serial},
                      {"file", plan.files[line.file].printer_name},
                      {"percent", percent},
                      {"kib_per_s", std::round(static_cast<double>(kib_per_s) * 10.0) / 10.0}};
        json_line(dump(event));
    } else if (mode == Mode::terminal) {
        redraw();
    }
}

void Display::file_installed(std::size_t printer, std::size_t file)
{
    const std::lock_guard<std::mutex> lock(mutex);
    lines[printer].installed = file + 1;
    if (mode == Mode::plain)
        plain(printer, "installed " + printable(plan.files[file].printer_name));
    else if (mode == Mode::terminal)
        redraw();
}

void Display::error(std::size_t printer, const update::Failure& failure)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const char* name = update::code_name(failure.code);
    if (mode == Mode::json) {
        json event = {{"event", "error"},
                      {"printer", printers[printer].place()},
                      {"serial", printers[printer].serial},
                      {"message", failure.message},
                      {"code", failure.code < 0 ? json(nullptr) : json(failure.code)},
                      {"code_name", *name ? json(name) : json(nullptr)}};
        if (failure.file < plan.files.size())
            event["file"] = plan.files[failure.file].printer_name;
        if (!failure.detail.empty())
            event["detail"] = failure.detail;
        if (failure.may_be_taken_up)
            event["may_have_been_taken_up"] = true;
        lines[printer].maybe_taken_up = failure.may_be_taken_up;
        json_line(dump(event));
        return;
    }
    std::string text = printable(failure.message);
    if (*name)
        text += " (" + std::string(name) + ")";
    if (failure.file < plan.files.size())
        text += ", with " + printable(plan.files[failure.file].printer_name);
    if (!failure.detail.empty())
        text += ": " + printable(failure.detail);
    if (failure.may_be_taken_up)
        text += "; the printer may have taken it up";
    lines[printer].state = "failed: " + text;
    lines[printer].maybe_taken_up = failure.may_be_taken_up;
    if (mode == Mode::plain)
        plain(printer, "error: " + text, true);
    else
        redraw();
}

void Display::done(std::size_t printer, bool succeed, std::size_t installed)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Line& line = lines[printer];
    line.installed = installed;
    if (succeed)
        line.state = "updated";
    if (mode == Mode::json) {
        json done_files = json::array(), maybe = json::array(), left = json::array();
        for (std::size_t i = 0; i < plan.files.size(); ++i)
            (i < installed                           ? done_files
             : i == installed && line.maybe_taken_up ? maybe
                                                     : left)
                .push_back(plan.files[i].printer_name);
        json_line(dump({{"event", "done"},
                        {"printer", printers[printer].place()},
                        {"serial", printers[printer].serial},
                        {"succeed", succeed},
                        {"installed", done_files},
                        {"may_have_been_taken_up", maybe},
                        {"not_installed", left}}));
    } else if (mode == Mode::plain) {
        if (succeed)
            plain(printer, update::success_message);
        else
            plain(printer, "not updated; " + files_outcome(installed, line.maybe_taken_up));
    } else {
        redraw();
    }
}

void Display::message(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (mode == Mode::terminal && drawn && !out_lost) {
        // Above the progress lines, which are drawn again below it.
        put(rows_up(lines.size()) + "\r\x1b[J");
        std::fprintf(io.err, "%s\n", printable(text).c_str());
        std::fflush(io.err);
        drawn = false;
        redraw();
        return;
    }
    std::fprintf(io.err, "%s\n", printable(text).c_str());
    std::fflush(io.err);
}

void Display::finish(const std::vector<update::Outcome>& outcomes)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const bool several = printers.size() > 1;
    // In json every printer's done event is its summary; in plain a single
    // printer's last line was.
    if (mode == Mode::json || (mode == Mode::plain && !several))
        return;
    if (mode == Mode::terminal)
        redraw();
    if (several)
        put("summary: " +
            std::to_string(
                std::count_if(outcomes.begin(), outcomes.end(), [](const update::Outcome& o) { return o.succeed; })) +
            " of " + std::to_string(printers.size()) + " printers updated\n");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const update::Outcome& o = outcomes[i];
        if (o.succeed) {
            put(printers[i].text() + ": " + (several ? "updated" : update::success_message) + "\n");
            continue;
        }
        put(printers[i].text() + ": " + (o.cancelled ? "stopped" : "failed") + ": " + printable(o.failure.message) +
            "; " + files_outcome(o.installed, o.failure.may_be_taken_up) + "\n");
    }
}

std::string Display::files_outcome(std::size_t installed, bool maybe_taken_up) const
{
    const auto names = [this](const char* head, std::size_t from, std::size_t to) {
        std::string text = head;
        for (std::size_t i = from; i < to; ++i)
            text += (i > from ? ", " : "") + printable(plan.files[i].printer_name);
        return from < to ? text : text + "none";
    };
    const std::size_t uncertain = maybe_taken_up && installed < plan.files.size() ? 1 : 0;
    std::string text = names("installed: ", 0, installed);
    if (uncertain)
        text += "; " + names("may have been taken up: ", installed, installed + 1);
    return text + "; " + names("not installed: ", installed + uncertain, plan.files.size());
}

std::string Display::terminal_line(const Line& line, std::size_t printer) const
{
    std::string text = printers[printer].text() + "  ";
    if (!line.state.empty())
        return text + line.state;
    const update::PlannedFile& f = plan.files[line.file];
    // Time left from the rate the upload last reported, over what the plan still holds.
    double left = 0;
    for (std::size_t i = line.file; i < plan.files.size(); ++i)
        left += static_cast<double>(plan.files[i].size);
    const int scale = com::protocol::install_progress_scale;
    left -= static_cast<double>(f.size) * std::min(line.percent, scale) / scale;
    char tail[96];
    std::snprintf(tail, sizeof tail, "%3d %%  %8.1f KiB/s  %s left", line.percent, line.rate,
                  line.rate > 0 ? seconds_text(left / 1024.0 / line.rate).c_str() : "--:--");
    return text + printable(f.printer_name) + " (" + std::to_string(line.file + 1) + "/" +
           std::to_string(plan.files.size()) + ")  " + tail;
}

void Display::redraw()
{
    if (mode != Mode::terminal || out_lost)
        return;
    // Each line is cut to the width, so that none wraps and the cursor goes
    // back up exactly as many rows as were drawn.  After a resize the rows
    // drawn at the old width may have been rewrapped by the terminal: the
    // block starts afresh below them rather than overwrite what is above.
    const int width = io.terminal_width ? io.terminal_width() : 0;
    std::string text;
    if (drawn && width == drawn_width)
        text += rows_up(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = terminal_line(lines[i], i);
        text += "\r\x1b[2K" + (width > 1 ? fit_columns(line, width - 1) : line) + "\n";
    }
    put(text);
    drawn = true;
    drawn_width = width;
}

void Display::plain(std::size_t printer, const std::string& text, bool to_err)
{
    const std::string line = printers[printer].text() + ": " + text + "\n";
    if (!to_err) {
        put(line);
        return;
    }
    std::fputs(line.c_str(), io.err);
    std::fflush(io.err);
}

void Display::json_line(const std::string& text)
{
    put(text + "\n");
}

void Display::put(const std::string& text)
{
    if (out_lost)
        return;
    std::fputs(text.c_str(), io.out);
    if (std::fflush(io.out) == 0 && !std::ferror(io.out))
        return;
    const int cause = errno;
    out_lost = true;
    std::fprintf(io.err,
                 "zarvik: standard output went away (%s): the update goes on without it; its outcome is "
                 "the exit status and the log\n",
                 std::strerror(cause));
    std::fflush(io.err);
}

}  // namespace zarvik

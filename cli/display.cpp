#include "display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "update/messages.h"

namespace zarvik {

using nlohmann::json;

namespace {

std::string dump(const json& object)
{
    // File names need not be UTF-8: what is not comes out as U+FFFD.
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
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

}  // namespace

std::string PrinterLabel::place() const
{
    return std::to_string(bus) + ":" + std::to_string(address);
}

std::string PrinterLabel::text() const
{
    return serial.empty() ? place() : place() + " " + printable(serial);
}

std::string printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
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
            files.push_back({{"local", f.local_path}, {"name", f.printer_name}, {"size", f.size}, {"sha256", f.sha256}});
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
        std::fprintf(io.out, "plan %zu/%zu: %s as %s (%lld bytes, sha256 %s)\n", i + 1, plan.files.size(),
                     printable(f.local_name).c_str(), printable(f.printer_name).c_str(),
                     static_cast<long long>(f.size), f.sha256.c_str());
    }
    for (const update::LeftOut& entry : plan.left_out)
        std::fprintf(io.out, "plan: not installed: %s (%s)\n", printable(entry.name).c_str(), entry.reason.c_str());
    if (!plan.checksum_list.empty())
        std::fprintf(io.out, "plan: every file is listed in %s with its SHA-256\n", printable(plan.checksum_list).c_str());
    std::fflush(io.out);
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
        json event = {{"event", "progress"},   {"printer", printers[printer].place()},
                      {"serial", printers[printer].serial},
                      {"file", plan.files[line.file].printer_name},
                      {"percent", percent}, {"kib_per_s", std::round(kib_per_s * 10) / 10}};
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
        json event = {{"event", "error"}, {"printer", printers[printer].place()}, {"serial", printers[printer].serial},
                      {"message", failure.message}, {"code", failure.code < 0 ? json(nullptr) : json(failure.code)},
                      {"code_name", *name ? json(name) : json(nullptr)}};
        if (failure.file < plan.files.size())
            event["file"] = plan.files[failure.file].printer_name;
        if (!failure.detail.empty())
            event["detail"] = failure.detail;
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
    lines[printer].state = "failed: " + text;
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
        json done_files = json::array(), left = json::array();
        for (std::size_t i = 0; i < plan.files.size(); ++i)
            (i < installed ? done_files : left).push_back(plan.files[i].printer_name);
        json_line(dump({{"event", "done"}, {"printer", printers[printer].place()}, {"serial", printers[printer].serial},
                        {"succeed", succeed}, {"installed", done_files}, {"not_installed", left}}));
    } else if (mode == Mode::plain) {
        if (succeed)
            plain(printer, update::success_message);
        else
            plain(printer, "not updated; " + installed_list(installed, true) + "; " + installed_list(installed, false));
    } else {
        redraw();
    }
}

void Display::message(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (mode == Mode::terminal && drawn) {
        // Above the progress lines, which are drawn again below it.
        std::fprintf(io.out, "\x1b[%zuA\r\x1b[J", lines.size());
        std::fflush(io.out);
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
        std::fprintf(io.out, "summary: %zu of %zu printers updated\n",
                     static_cast<std::size_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                            [](const update::Outcome& o) { return o.succeed; })),
                     printers.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const update::Outcome& o = outcomes[i];
        if (o.succeed) {
            std::fprintf(io.out, "%s: %s\n", printers[i].text().c_str(),
                         several ? "updated" : update::success_message);
            continue;
        }
        std::fprintf(io.out, "%s: %s: %s; %s; %s\n", printers[i].text().c_str(), o.cancelled ? "stopped" : "failed",
                     printable(o.failure.message).c_str(), installed_list(o.installed, true).c_str(),
                     installed_list(o.installed, false).c_str());
    }
    std::fflush(io.out);
}

std::string Display::installed_list(std::size_t installed, bool installed_part) const
{
    std::string text = installed_part ? "installed: " : "not installed: ";
    bool any = false;
    for (std::size_t i = installed_part ? 0 : installed; i < (installed_part ? installed : plan.files.size()); ++i) {
        text += (any ? ", " : "") + printable(plan.files[i].printer_name);
        any = true;
    }
    return any ? text : text + "none";
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
    left -= static_cast<double>(f.size) * std::min(line.percent, 99) / 99.0;
    char tail[96];
    std::snprintf(tail, sizeof tail, "%3d %%  %8.1f KiB/s  %s left", line.percent, line.rate,
                  line.rate > 0 ? seconds_text(left / 1024.0 / line.rate).c_str() : "--:--");
    return text + printable(f.printer_name) + " (" + std::to_string(line.file + 1) + "/" +
           std::to_string(plan.files.size()) + ")  " + tail;
}

void Display::redraw()
{
    if (mode != Mode::terminal)
        return;
    if (drawn)
        std::fprintf(io.out, "\x1b[%zuA", lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        std::fprintf(io.out, "\r\x1b[2K%s\n", terminal_line(lines[i], i).c_str());
    std::fflush(io.out);
    drawn = true;
}

void Display::plain(std::size_t printer, const std::string& text, bool to_err)
{
    std::FILE* stream = to_err ? io.err : io.out;
    std::fprintf(stream, "%s: %s\n", printers[printer].text().c_str(), text.c_str());
    std::fflush(stream);
}

void Display::json_line(const std::string& text)
{
    std::fprintf(io.out, "%s\n", text.c_str());
    std::fflush(io.out);
}

}  // namespace zarvik

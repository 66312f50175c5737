#include "display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "com/protocol.h"
#include "com/utf8.h"
#include "update/messages.h"

namespace zarvik {

using nlohmann::json;

namespace {

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

std::string PrinterLabel::text() const
{
    if (!serial.empty())
        return place() + " " + printable(serial);
    return port.known() ? place() + " port " + com::port_path_text(port) : place();
}

json PrinterLabel::port_json() const
{
    return port.known() ? json(com::port_path_text(port)) : json(nullptr);
}

std::string printable(const std::string& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const com::utf8::Character c = com::utf8::decode_at(text, at);
        const char32_t u = c.code_point;
        if (c.valid && !(u < 0x20 || (u >= 0x7F && u <= 0x9F))) {
            out.append(text, at, c.length);
        } else {
            // A control character (C0, DEL, C1), or bytes that are not UTF-8: each byte as \xNN.
            for (std::size_t i = at; i < at + c.length; ++i) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
                out += escaped;
            }
        }
        at += c.length;
    }
    return out;
}

std::string without_c1(const std::string& json_text)
{
    std::string out;
    out.reserve(json_text.size());
    for (std::size_t at = 0; at < json_text.size(); ++at) {
        const auto next = at + 1 < json_text.size() ? static_cast<unsigned char>(json_text[at + 1]) : 0u;
        if (json_text[at] == '\xC2' && next >= 0x80 && next <= 0x9F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
            out += escaped;
            ++at;
        } else {
            out += json_text[at];
        }
    }
    return out;
}

std::string count_of(std::size_t count, const char* singular, const char* plural)
{
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

Display::Display(Output& output, Mode mode, const update::Plan& plan, std::vector<PrinterLabel> printers)
    : output(output), mode(mode), plan(plan), printers(std::move(printers)), lines(this->printers.size())
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
            printer_list.push_back({{"printer", p.place()}, {"serial", p.serial}, {"port", p.port_json()}});
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
                      {"port", printers[printer].port_json()},
                      {"file", plan.files[line.file].printer_name},
                      {"percent", percent},
                      {"kib_per_s", std::round(static_cast<double>(kib_per_s) * 10.0) / 10.0}};
        output.state(printer, dump(event) + "\n");
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
    if (mode == Mode::json) {
        json event = {{"event", "error"},
                      {"printer", printers[printer].place()},
                      {"serial", printers[printer].serial},
                      {"port", printers[printer].port_json()}};
        add_failure(event, plan, failure);
        lines[printer].maybe_taken_up = failure.may_be_taken_up;
        json_line(dump(event));
        return;
    }
    const std::string text = failure_text(plan, failure);
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
        json done_files = json::array(), maybe = json::array(), not_installed = json::array();
        for (std::size_t i = 0; i < plan.files.size(); ++i)
            (i < installed                           ? done_files
             : i == installed && line.maybe_taken_up ? maybe
                                                     : not_installed)
                .push_back(plan.files[i].printer_name);
        json_line(dump({{"event", "done"},
                        {"printer", printers[printer].place()},
                        {"serial", printers[printer].serial},
                        {"port", printers[printer].port_json()},
                        {"succeed", succeed},
                        {"installed", done_files},
                        {"may_have_been_taken_up", maybe},
                        {"not_installed", not_installed}}));
    } else if (mode == Mode::plain) {
        if (succeed)
            plain(printer, update::success_message);
        else
            plain(printer, "not updated; " + files_outcome(plan, installed, line.maybe_taken_up));
    } else {
        redraw();
    }
}

void Display::message(const std::string& text)
{
    output.err(printable(text) + "\n");
}

void Display::left_alone(const PrinterLabel& printer, const std::string& reason)
{
    const std::lock_guard<std::mutex> lock(mutex);
    left.emplace_back(printer, reason);
    if (mode == Mode::json) {
        json_line(dump({{"event", "left_alone"},
                        {"printer", printer.place()},
                        {"serial", printer.serial},
                        {"port", printer.port_json()},
                        {"reason", reason}}));
        return;
    }
    put(printer.text() + ": left alone: " + printable(reason) + "\n");
    redraw();  // on a terminal the progress lines again, below it
}

void Display::finish(const std::vector<update::Outcome>& outcomes)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const bool several = printers.size() + left.size() > 1;
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
            " of " + std::to_string(printers.size() + left.size()) + " printers updated" +
            (left.empty() ? std::string() : ", " + std::to_string(left.size()) + " left alone") + "\n");
    for (const auto& [printer, reason] : left)
        put(printer.text() + ": left alone: " + reason + "\n");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const update::Outcome& o = outcomes[i];
        if (o.succeed) {
            put(printers[i].text() + ": " + (several ? "updated" : update::success_message) + "\n");
            continue;
        }
        put(printers[i].text() + ": " + (o.cancelled ? "stopped" : "failed") + ": " + printable(o.failure.message) +
            "; " + files_outcome(plan, o.installed, o.failure.may_be_taken_up) + "\n");
    }
}

void add_failure(json& event, const update::Plan& plan, const update::Failure& failure)
{
    const char* name = update::code_name(failure.code);
    event["message"] = failure.message;
    event["code"] = failure.code < 0 ? json(nullptr) : json(failure.code);
    event["code_name"] = *name ? json(name) : json(nullptr);
    if (failure.file < plan.files.size())
        event["file"] = plan.files[failure.file].printer_name;
    if (!failure.detail.empty())
        event["detail"] = failure.detail;
    if (failure.may_be_taken_up)
        event["may_have_been_taken_up"] = true;
}

std::string failure_text(const update::Plan& plan, const update::Failure& failure)
{
    const char* name = update::code_name(failure.code);
    std::string text = printable(failure.message);
    if (*name)
        text += " (" + std::string(name) + ")";
    if (failure.file < plan.files.size())
        text += ", with " + printable(plan.files[failure.file].printer_name);
    if (!failure.detail.empty())
        text += ": " + printable(failure.detail);
    if (failure.may_be_taken_up)
        text += "; the printer may have taken it up";
    return text;
}

std::string files_outcome(const update::Plan& plan, std::size_t installed, bool maybe_taken_up)
{
    const auto names = [&plan](const char* head, std::size_t from, std::size_t to) {
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
    double bytes_left = 0;
    for (std::size_t i = line.file; i < plan.files.size(); ++i)
        bytes_left += static_cast<double>(plan.files[i].size);
    const int scale = com::protocol::install_progress_scale;
    bytes_left -= static_cast<double>(f.size) * std::min(line.percent, scale) / scale;
    char tail[96];
    std::snprintf(tail, sizeof tail, "%3d %%  %8.1f KiB/s  %s left", line.percent, line.rate,
                  line.rate > 0 ? seconds_text(bytes_left / 1024.0 / line.rate).c_str() : "--:--");
    return text + printable(f.printer_name) + " (" + std::to_string(line.file + 1) + "/" +
           std::to_string(plan.files.size()) + ")  " + tail;
}

void Display::redraw()
{
    if (mode != Mode::terminal)
        return;
    std::vector<std::string> block;
    for (std::size_t i = 0; i < lines.size(); ++i)
        block.push_back(terminal_line(lines[i], i));
    output.block(std::move(block));
}

void Display::plain(std::size_t printer, const std::string& text, bool to_err)
{
    const std::string line = printers[printer].text() + ": " + text + "\n";
    if (!to_err) {
        put(line);
        return;
    }
    output.err(line);
}

void Display::json_line(const std::string& text)
{
    put(text + "\n");
}

}  // namespace zarvik

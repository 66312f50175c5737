#include <cstdio>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "history/database.h"
#include "log_place.h"
#include "recording.h"
#include "update/messages.h"

namespace zarvik {

namespace {

using nlohmann::json;

// "orbrey.bin 0495d9a1": a file with the start of its SHA-256.
std::string file_text(const history::PlannedFile& f)
{
    return printable(f.printer_name) + " " + f.sha256.substr(0, 8);
}

// One printer run as one line: when, which printer, the outcome, the files.
std::string run_text(const history::PrinterRun& r)
{
    std::string text = shown_time(r.started) + "  " + std::to_string(r.bus) + ":" + std::to_string(r.address) +
                       (r.serial.empty() ? std::string() : " " + printable(r.serial)) + "  " +
                       history::outcome_name(r.outcome);
    if (r.outcome == history::Outcome::updated) {
        text += " ";
        for (std::size_t i = 0; i < r.files.size(); ++i)
            text += (i ? ", " : " ") + file_text(r.files[i].planned);  // two blanks after the outcome
        return text;
    }
    if (r.reached && r.outcome != history::Outcome::failed && r.outcome != history::Outcome::stopped)
        text += " at " + printable(r.files[*r.reached].planned.printer_name) + " (" + std::to_string(*r.reached + 1) +
                "/" + std::to_string(r.files.size()) + ")";
    const auto group = [&r](const char* head, history::FileState a, history::FileState b) {
        std::string names;
        for (const history::PrinterRun::File& f : r.files)
            if (f.state == a || f.state == b)
                names += (names.empty() ? "" : ", ") + file_text(f.planned);
        return std::string(head) + (names.empty() ? "none" : names);
    };
    using history::FileState;
    text += "  " + group("installed: ", FileState::installed, FileState::installed);
    const std::string maybe = group("may have been taken up: ", FileState::may_have_been_taken_up, FileState::reached);
    if (maybe.find(": none") == std::string::npos)
        text += "; " + maybe;
    text += "; " + group("not installed: ", FileState::not_installed, FileState::not_installed);
    if (!r.message.empty()) {
        const char* name = r.code ? update::code_name(*r.code) : "";
        text += "; " + printable(r.message) + (*name ? " (" + std::string(name) + ")" : std::string());
    }
    if (r.outcome == history::Outcome::unknown)
        text += "; no end recorded, written on " + printable(r.host);
    return text;
}

json run_json(const history::PrinterRun& r)
{
    json files = json::array();
    for (const history::PrinterRun::File& f : r.files)
        files.push_back({{"local", f.planned.local_name},
                         {"name", f.planned.printer_name},
                         {"size", f.planned.size},
                         {"sha256", f.planned.sha256},
                         {"state", history::file_state_name(f.state)}});
    char vid[8], pid[8];
    std::snprintf(vid, sizeof vid, "%04x", static_cast<unsigned>(r.vendor_id) & 0xFFFF);
    std::snprintf(pid, sizeof pid, "%04x", static_cast<unsigned>(r.product_id) & 0xFFFF);
    const auto text_or_null = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
    json line = {
        {"event", "history"},
        {"started", r.started},
        {"ended", text_or_null(r.ended)},
        {"printer", std::to_string(r.bus) + ":" + std::to_string(r.address)},
        {"bus", r.bus},
        {"address", r.address},
        {"port_path", r.port_path ? json(*r.port_path) : json(nullptr)},
        {"serial", r.serial},
        {"vendor_id", vid},
        {"product_id", pid},
        {"outcome", history::outcome_name(r.outcome)},
        {"reached", r.reached ? json(r.files[*r.reached].planned.printer_name) : json(nullptr)},
        {"files", files},
        {"code", r.code ? json(*r.code) : json(nullptr)},
        {"code_name", r.code && *update::code_name(*r.code) ? json(update::code_name(*r.code)) : json(nullptr)},
        {"message", text_or_null(r.message)},
        {"detail", text_or_null(r.detail)},
        {"log", text_or_null(r.log_path)},
        {"run",
         {{"id", r.run_id},
          {"started", r.run_started},
          {"ended", text_or_null(r.run_ended)},
          {"host", r.host},
          {"account", r.account},
          {"pid", r.pid},
          {"tool_version", r.tool_version},
          {"command", r.command},
          {"firmware", r.firmware_folder},
          {"exit_status", r.exit_status ? json(*r.exit_status) : json(nullptr)}}}};
    return line;
}

}  // namespace

CLI::App* define_history(CLI::App& app, HistoryOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "history", "what the update history holds, newest first: one line per printer and run, with when, which "
                   "printer, the outcome and the files with the start of their SHA-256; a run that ended without "
                   "its end written (killed, the power lost) reads \"interrupted\" at the file it reached");
    CLI::Option* serial = command->add_option("--serial", options.serial, "the printer with this serial number");
    serial->type_name("S");
    CLI::Option* printer = command->add_option("--printer", options.printer, "the printer at this bus and address");
    printer->type_name("BUS:ADDR");
    serial->excludes(printer);
    command->add_option("--since", options.since, "from this day or time on, UTC (2026-12-09, 2026-12-09T23:12)")
        ->type_name("DATE");
    command->add_option("--history", options.history, "the update history's file (default: as update's)")
        ->type_name("FILE");
    command->add_flag("--json", options.json, "one JSON object a line: history");
    command->footer(exit_statuses);
    command->callback([&options] {
        if (!options.printer.empty() && !com::parse_place(options.printer, &options.place))
            throw CLI::ValidationError("--printer", "expects BUS:ADDR, e.g. 1:5, not " + options.printer);
        if (!options.since.empty()) {
            options.since_utc = history::parse_date(options.since);
            if (options.since_utc.empty())
                throw CLI::ValidationError("--since", "expects a date, 2026-12-09, or a time, 2026-12-09T23:12, not " +
                                                          options.since);
        }
    });
    return command;
}

int run_history(const Report& report, const HistoryOptions& options)
{
    const Io& io = report.io;
    const std::string path = options.history.empty() ? default_history_file(io.program_dir) : options.history;
    history::Query query;
    if (!options.serial.empty())
        query.serial = options.serial;
    if (!options.printer.empty())
        query.place = std::make_pair(int{options.place.bus_number}, int{options.place.device_address});
    query.since = options.since_utc;
    std::vector<history::PrinterRun> runs;
    try {
        runs = history::Database::open(path, history::Database::Mode::read)->read(query);
    } catch (const history::Error& e) {
        return report.fail(
            exit_failed, {"zarvik: the update history " + printable(path) + " cannot be read: " + e.what()},
            {{"message", std::string("the update history cannot be read: ") + e.what()}, {"history", path}});
    }
    for (const history::PrinterRun& r : runs)
        report.out(report.as_json ? dump(run_json(r)) : run_text(r));
    if (runs.empty()) {
        const bool filtered = query.serial || query.place || !query.since.empty();
        report.err(std::string("zarvik: ") +
                   (filtered ? "no update of that printer or time in " : "no update recorded in ") + printable(path));
    }
    return exit_updated;
}

}  // namespace zarvik

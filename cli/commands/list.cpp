#include <algorithm>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "service_hold.h"

namespace zarvik {

using nlohmann::json;

CLI::App* define_list(CLI::App& app, ListOptions& options)
{
    CLI::App* command = app.add_subcommand("list", "the attached supported printers, one a line");
    command->add_flag("--json", options.json, "the list as one JSON object");
    return command;
}

int run_list(const Report& report, const ListOptions&)
{
    ServiceHold hold(report.io, report.as_json, &report.output);
    if (!hold.stop())
        return service_not_stopped(report, hold);
    if (hold.interrupted())
        return interrupted_before_printers(report);
    std::vector<com::UsbPrinterRecord> printers;
    const int status = list_printers(report, &printers);
    if (status != exit_updated)
        return status;
    std::vector<int> hints;
    bool target = false;
    json all = json::array();
    for (const com::UsbPrinterRecord& r : printers) {
        if (report.as_json)
            all.push_back(printer_json(r));
        else
            report.out(printer_text(r));
        if (hinted_error(r.open_error) && std::find(hints.begin(), hints.end(), r.open_error) == hints.end())
            hints.push_back(r.open_error);
        target = target || is_target(r.device);
    }
    if (report.as_json)
        report.out(dump({{"event", "list"}, {"printers", all}}));
    if (printers.empty())
        report.err("zarvik: no supported printer attached");
    else if (!target)
        report.err("zarvik: none of the attached printers is one this tool updates");
    for (int error : hints)
        hint_open_error(report, error);
    // A script asks "is there a printer to update?" with the same status as update.
    return target ? exit_updated : exit_no_printer;
}

}  // namespace zarvik

#include <string>

#include <CLI/CLI.hpp>

#include "com/protocol.h"
#include "commands.h"

namespace zarvik {

CLI::App* define_plan(CLI::App& app, PlanOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "plan", "what an update would install, in order, with sizes and SHA-256, and every other file of the folder "
                "with the reason it is not installed; nothing is sent");
    command->add_option("--firmware", options.firmware, "the firmware folder")->required();
    command->add_flag("--json", options.json, "the plan as one JSON object");
    return command;
}

int run_plan(const Report& report, const PlanOptions& options)
{
    update::Plan plan;
    const int status = checked_plan(report, options.firmware, &plan);
    if (status != exit_updated)
        return status;
    if (report.as_json) {
        Display(report.output, Display::Mode::json, plan, {}).plan_event();
        return exit_updated;
    }
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const update::PlannedFile& f = plan.files[i];
        report.out(std::to_string(i + 1) + ". " + printable(f.local_name) + " as " + com::protocol::system_folder +
                   printable(f.printer_name) + ", " + std::to_string(f.size) + " bytes\n   sha256 " + f.sha256);
    }
    for (const update::LeftOut& entry : plan.left_out)
        report.out("not installed: " + printable(entry.name) + ": " + printable(entry.reason));
    if (!plan.checksum_list.empty())
        report.out("every file is listed in " + printable(plan.checksum_list) + " with its SHA-256");
    report.out(count_of(plan.files.size(), "file", "files") + ", " + std::to_string(plan.total_bytes()) +
               " bytes; nothing was sent");
    return exit_updated;
}

}  // namespace zarvik

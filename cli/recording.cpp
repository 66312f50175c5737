#include "recording.h"

#include <nlohmann/json.hpp>

#include "display.h"

namespace zarvik {

std::vector<history::PlannedFile> planned_files(const update::Plan& plan)
{
    std::vector<history::PlannedFile> files;
    for (const update::PlannedFile& f : plan.files)
        files.push_back({f.local_name, f.printer_name, f.size, f.sha256});
    return files;
}

history::PrinterRecord printer_record(const com::UsbPrinterRecord& r)
{
    const com::UsbDeviceRecord& device = r.device;
    history::PrinterRecord printer;
    if (r.port.known())
        printer.port_path = com::port_path_text(r.port);
    printer.serial = device.info.serial;
    printer.bus = device.bus_number;
    printer.address = device.device_address;
    printer.vendor_id = device.info.vendor_id;
    printer.product_id = device.info.product_id;
    return printer;
}

history::PrinterEnd printer_end(const update::Outcome& outcome)
{
    history::PrinterEnd end;
    end.outcome = outcome.succeed     ? history::Outcome::updated
                  : outcome.cancelled ? history::Outcome::stopped
                                      : history::Outcome::failed;
    end.installed = outcome.installed;
    if (!outcome.succeed) {
        end.may_be_taken_up = outcome.failure.may_be_taken_up;
        if (outcome.failure.code >= 0)
            end.code = outcome.failure.code;
        end.message = outcome.failure.message;
        end.detail = outcome.failure.detail;
    }
    return end;
}

std::string shown_time(const std::string& utc)
{
    if (utc.size() < 19)
        return utc;
    std::string text = utc.substr(0, 19);
    text[10] = ' ';
    return text + " UTC";
}

UpdateHistory::UpdateHistory(Output& output, bool as_json, std::string path)
    : output(output), as_json(as_json), path(std::move(path))
{
    if (this->path.empty())
        return;
    recorder_ = std::make_unique<history::Recorder>(this->path, [this](const std::string& what) { failed(what); });
    if (!recorder_->opened())
        recorder_.reset();
}

UpdateHistory::~UpdateHistory() = default;

void UpdateHistory::finish(int exit_status)
{
    if (recorder_)
        recorder_->finish(exit_status);
}

history::Recorder* UpdateHistory::recorder()
{
    return recorder_ && !recorder_->failed() ? recorder_.get() : nullptr;
}

void UpdateHistory::failed(const std::string& what)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (said)
        return;
    said = true;
    const std::string text = "zarvik: the update history " + path + " cannot be written (" + what +
                             "); the update goes on without it (--history FILE chooses another, --no-history none)";
    output.err(printable(text) + "\n");
    if (as_json)
        output.out(dump(nlohmann::json{{"event", "history_error"}, {"history", path}, {"message", what}}) + "\n");
}

}  // namespace zarvik

// What zarvik tells the update history (history/), and how it says once
// that the history cannot be written while the update goes on.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/com_factory.h"
#include "com/devices.h"
#include "history/recorder.h"
#include "history/records.h"
#include "output.h"
#include "update/plan.h"
#include "update/session.h"
#include "zarvik.h"

namespace zarvik {

std::vector<history::PlannedFile> planned_files(const update::Plan& plan);
history::PrinterRecord printer_record(const com::UsbPrinterRecord& printer);
// How a session's outcome is kept.
history::PrinterEnd printer_end(const update::Outcome& outcome);
// A history time as people read it: "2026-12-09 23:12:20 UTC".
std::string shown_time(const std::string& utc);

// The history of one update run: the recorder, unless there is none, and
// its failure said once, on standard error and (with --json) as a
// history_error event, through the output's thread (output.h), whichever
// thread finds it.
class UpdateHistory {
public:
    // No history when `path` is "".
    UpdateHistory(Output& output, bool as_json, std::string path);
    ~UpdateHistory();

    // Null once the history cannot be written.
    history::Recorder* recorder();
    // The run's end written, within a bounded time.
    void finish(int exit_status);
    // Said once.
    void failed(const std::string& what);

private:
    Output& output;
    bool as_json;
    std::string path;
    std::mutex mutex;
    bool said = false;
    std::unique_ptr<history::Recorder> recorder_;
};

}  // namespace zarvik

// What the update history holds: runs, the printers each run updated, and
// what became of every planned file on each of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace history {

// One file of a run's plan.
struct PlannedFile {
    std::string local_name;    // the file's own name in the firmware folder
    std::string printer_name;  // its name on the printer
    std::int64_t size = 0;
    std::string sha256;  // lower-case hex
};

// One zarvik run, as it starts.
struct RunRecord {
    std::string started;  // UTC, utc_text(); "" for now
    std::string host;
    std::string account;
    std::string tool_version;
    std::string command;  // the command line, as given
    std::string firmware_folder;
    std::vector<PlannedFile> plan;
};

// One printer of a run, as it is about to be taken.
struct PrinterRecord {
    std::string serial;
    int bus = 0;
    int address = 0;
    std::optional<std::string> port_path;  // "1-1.4"; none when unknown
    int vendor_id = 0;
    int product_id = 0;
};

enum class Outcome {
    updated,      // every planned file installed and taken up
    failed,       // ended on an error
    stopped,      // stopped by the user (Ctrl-C, a signal)
    interrupted,  // no end was written and the process is gone: killed, or the power lost
    running,      // no end yet, and the process that writes it is still there
    unknown,      // no end, written on another host whose processes cannot be seen from here
};

const char* outcome_name(Outcome outcome);  // "updated", ...

enum class FileState { not_installed, reached, installed, may_have_been_taken_up };

const char* file_state_name(FileState state);  // "not_installed", "reached", ...

// How a printer's update ended.
struct PrinterEnd {
    Outcome outcome = Outcome::failed;  // updated, failed or stopped
    std::size_t installed = 0;          // planned files installed, from the first on
    bool may_be_taken_up = false;       // the file after them may have been taken up
    std::optional<int> code;            // the result code of the failure
    std::string message;
    std::string detail;
};

// One printer's record in one run, read back.
struct PrinterRun {
    std::int64_t id = 0;
    std::int64_t run_id = 0;
    // The run's.
    std::string run_started, run_ended, host, account, tool_version, command, firmware_folder;
    std::int64_t pid = 0;
    std::optional<int> exit_status;
    // The printer's.
    std::string serial;
    int bus = 0, address = 0;
    std::optional<std::string> port_path;
    int vendor_id = 0, product_id = 0;
    std::string started, ended;  // ended "" without an end
    Outcome outcome = Outcome::interrupted;
    std::optional<int> code;
    std::string message, detail, log_path;

    struct File {
        PlannedFile planned;
        // What the record says; for a run without an end, the file it
        // reached reads may_have_been_taken_up (the take-up command may have
        // gone out before it ended), the later ones not_installed.
        FileState state = FileState::not_installed;
    };
    std::vector<File> files;
    // The planned file the record reached last (being sent or installed),
    // none before the first.
    std::optional<std::size_t> reached;
};

// True when `r` ended updated, every planned file installed and taken up, and
// its plan is exactly `plan`: the same printer names, each with the same
// SHA-256, whatever the local names.
bool installed_exactly(const PrinterRun& r, const std::vector<PlannedFile>& plan);

// Which printer runs to read: newest first.
struct Query {
    std::optional<std::string> serial;
    std::optional<std::pair<int, int>> place;  // bus, address
    std::string since;                         // UTC, utc_text form; "" for all
    std::size_t limit = 0;                     // 0: no limit
};

// A time as the history writes it: "2026-12-09T23:12:20.123Z".
std::string utc_text(std::int64_t unix_ms);
std::string utc_now();
// A date as users give it, "2026-12-09", "2026-12-09 23:12", "2026-12-09T23:12:20"
// (UTC), in utc_text form; "" when it is not one.
std::string parse_date(const std::string& text);

}  // namespace history

// zarvik's commands, one file each in this folder.  A command is its options,
// a function that declares it on the command line (its sub-command, its
// options and their checks) and the function that runs it once the command
// line is read.  A new command is its file here, its declarations below and
// its one line in the dispatch's table (zarvik.cpp).
#pragma once

#include <cstddef>
#include <string>

#include "common.h"

namespace CLI {
class App;
}

namespace zarvik {

// list: the attached supported printers.
struct ListOptions {
    bool json = false;
};
CLI::App* define_list(CLI::App& app, ListOptions& options);
int run_list(const Report& report, const ListOptions& options);

// plan: what an update would install; nothing is sent.
struct PlanOptions {
    std::string firmware;
    bool json = false;
};
CLI::App* define_plan(CLI::App& app, PlanOptions& options);
int run_plan(const Report& report, const PlanOptions& options);

// update: the firmware folder installed on the chosen printers.
struct UpdateOptions : RecordOptions {
    std::string firmware;
    PrinterChoice choice;
    bool json = false;
};
CLI::App* define_update(CLI::App& app, UpdateOptions& options);
int run_update(const Report& report, const UpdateOptions& options);

// history: what the update history holds, newest first.
struct HistoryOptions {
    std::string history;  // "": the default place
    std::string serial;
    std::string printer;  // BUS:ADDR as given
    com::UsbPlace place;
    std::string since;  // as given
    std::string since_utc;
    bool json = false;
};
CLI::App* define_history(CLI::App& app, HistoryOptions& options);
int run_history(const Report& report, const HistoryOptions& options);

// watch: each target printer updated once as it is plugged in.
struct WatchOptions : RecordOptions {
    std::string firmware;
    std::size_t count = 0;  // end after so many printers have ended (0: at Ctrl-C only)
    bool json = false;
    bool quiet = false;  // no bell
};
CLI::App* define_watch(CLI::App& app, WatchOptions& options);
int run_watch(const Report& report, const WatchOptions& options);

}  // namespace zarvik

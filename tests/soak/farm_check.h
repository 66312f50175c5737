// The farm's rules, apart from its processes: the fault each printer gets
// from a run's seed, what zarvik reported (its plain summary or its JSON
// lines), and what must hold between that report and what each emulated
// printer holds once the run is over.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace farm {

// The emulator's faults, in the four kinds a farm meets.
enum class FaultClass { none, failed_transfer, silence, vanish, full_store };

struct Fault {
    FaultClass what = FaultClass::none;
    // The emulator's fault ("stall", "io_error", ... "vanish"), or
    // "vanish-after" (after `at` file-data bytes), or "capacity" (a store
    // of `at` bytes).
    std::string kind;
    std::uint64_t at = 0;    // the transfer index, or the bytes as above
    std::size_t amount = 0;  // bytes an OUT transfer still moves (silence, short_transfer)

    std::string text() const;  // "stall@17", "silence@23+5", "capacity 20000", "-"
};

// One fault or none for each of `printers` printers, from `seed` alone.
// `transfers`: the bulk transfers of one update without faults (where a
// fault may fall); `data_bytes`: the plan's file data (where a vanish after
// so many bytes may fall, how small a full store may be).
std::vector<Fault> plan_faults(unsigned seed, int printers, std::uint64_t transfers, std::uint64_t data_bytes);

// What zarvik reported about one printer, by its place "BUS:ADDR".
struct Reported {
    bool succeed = false;
    std::vector<std::string> installed;  // printer names, in order
    // The file after them, when the report says the printer may have taken
    // it up (an install that failed after the take-up may have reached it).
    std::string may_be_taken_up;
};

struct Report {
    std::map<std::string, Reported> printers;
    int summary_updated = -1;           // the plain summary's count; -1 when there is none
    std::vector<std::string> problems;  // what does not read as a report should
};

// zarvik's standard output: JSON lines (the "done" events) or the plain
// summary block that ends a run on several printers.
// `names`: the plan's printer names in order ("orbrey.bin", ...), which the
// plain summary leaves out for an updated printer.
Report read_json(const std::string& out);
Report read_plain(const std::string& out, const std::vector<std::string>& names);

// What one emulated printer holds once the run is over.
struct Held {
    std::string place;  // "1:5"
    bool plugged = true;
    bool under_control = false;
    bool upload_open = false;
    std::string upload_path;
    std::vector<std::pair<std::string, bool>> installs;  // path, arrived whole
    std::vector<std::string> differing;                  // files held whole whose bytes are not the local file's
    std::vector<std::string> violations;                 // what a careful host never does
    std::vector<std::string> commands;                   // every command line it received
};

// What breaks a rule.
struct Findings {
    std::vector<std::string> failures;
};

// The rules for one printer: given back or gone; no upload left open; no
// file taken up that did not arrive whole; every file held whole is the local
// file byte for byte; nothing a careful host never does; the report agrees
// with the printer (what it took up, in order, and whether it is updated); a
// printer without a fault is updated.  `plan`: the remote paths in order.
void check_printer(const Held& held, const Reported* reported, const Fault& fault, const std::vector<std::string>& plan,
                   Findings* findings);

}  // namespace farm

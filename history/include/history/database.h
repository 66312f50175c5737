// The update history's file: one SQLite database, one connection per
// object, every write one transaction.  Not for several threads at once
// (history::Recorder gives it a thread of its own).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "history/records.h"

struct sqlite3;

namespace history {

// What a history that cannot be opened, read or written throws.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Another connection held a lock that SQLite would not wait for.
class Busy : public Error {
public:
    using Error::Error;
};

class Database {
public:
    enum class Mode {
        write,  // made when missing (its folder too), brought to the latest version
        read,   // read as it is: missing is an empty history, never made
    };

    // How long a statement waits for a lock another connection holds
    // before the history is given up.
    static constexpr int busy_timeout_ms = 1000;

    // Opens `path`.  A file that is not a database, or not one of this tool's
    // histories, or one of a newer version, throws Error and is left exactly
    // as it is; so does one that cannot be read or written.  With Mode::read,
    // a missing file gives a Database that reads as empty.
    static std::unique_ptr<Database> open(const std::string& path, Mode mode);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // The run as it starts, with its plan, and this process as its writer.
    std::int64_t add_run(const RunRecord& run);
    // A printer of `run`, before it is taken.
    std::int64_t add_printer(std::int64_t run, const PrinterRecord& printer);
    void set_log_path(std::int64_t printer_run, const std::string& path);
    // The printer begins to receive planned file `file`.
    void file_reached(std::int64_t printer_run, std::size_t file);
    // The printer has taken planned file `file` up.
    void file_installed(std::int64_t printer_run, std::size_t file);
    // The printer's end: its outcome and the state of every planned file.
    void end_printer(std::int64_t printer_run, const PrinterEnd& end);
    void end_run(std::int64_t run, int exit_status);

    // The printer runs `query` chooses, newest first, with their files.
    std::vector<PrinterRun> read(const Query& query);
    // The newest record of the printer with this serial and these ids, if any.
    std::optional<PrinterRun> last_of(const std::string& serial, int vendor_id, int product_id);

    sqlite3* handle() { return db; }

private:
    explicit Database(sqlite3* db) : db(db) {}
    static std::unique_ptr<Database> open_once(const std::string& path, Mode mode);
    std::vector<PrinterRun> read_where(const std::string& where, const std::vector<std::optional<std::string>>& texts,
                                       const std::vector<std::int64_t>& numbers, std::size_t limit);
    sqlite3* db = nullptr;  // null: a missing file read as empty
};

}  // namespace history

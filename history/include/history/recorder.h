// The history written while printers are updated, off their threads.
//
// Every write runs on the recorder's own thread, in order, one transaction
// each.  The printers' threads only hand their events over (a lock held
// just to move an event into the queue, never while anything is written):
// they never wait for the database.  What must exist before a printer is
// taken (the run and the printer's record) is waited for by the caller,
// which is not a printer's thread, and for a bounded time.
//
// The history never holds an update up or fails it: the first write that
// cannot be done (full disk, read-only, not a database, locked past its
// time-out, not done within the wait) is told once through the failure
// callback, and every later call does nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/database.h"
#include "history/records.h"

namespace history {

class Recorder {
public:
    // How long a caller waits for what must be written before a printer is
    // taken: the open (with a migration), the run, each printer's record.
    static constexpr std::chrono::milliseconds wait_limit{2 * Database::busy_timeout_ms};

    // Starts the thread, which opens `path` (Mode::write).  `on_failure` is
    // called once, on whichever thread saw it, with what went wrong.
    Recorder(std::string path, std::function<void(const std::string&)> on_failure);
    ~Recorder();  // finish() if not yet done
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Waits, bounded, for the history to be open: false when it cannot be.
    bool opened();
    // Written before it returns (bounded); false when the history failed.
    bool start_run(const RunRecord& run);
    // The printer's record, written before it returns (bounded); none when
    // the history failed.
    std::optional<std::int64_t> add_printer(const PrinterRecord& printer);
    // The newest record of this printer, read before it returns (bounded).
    std::optional<PrinterRun> last_of(const std::string& serial, int vendor_id, int product_id);

    // Handed over, never waited for.
    void set_log_path(std::int64_t printer_run, const std::string& path);
    void file_reached(std::int64_t printer_run, std::size_t file);
    void file_installed(std::int64_t printer_run, std::size_t file);
    void end_printer(std::int64_t printer_run, const PrinterEnd& end);

    // The run's end, then every event still queued, written within
    // `limit`; the thread ends.  What is not written by then is given up
    // (and told).
    void finish(int exit_status, std::chrono::milliseconds limit = wait_limit);

    bool failed() const;
    const std::string& path() const { return path_; }

private:
    using Job = std::function<void(Database&)>;
    void post(Job job);
    // Runs `job` on the thread and waits for it at most `limit`.
    bool call(Job job, std::chrono::milliseconds limit);
    void fail(const std::string& what);
    void work();

    std::string path_;
    std::function<void(const std::string&)> on_failure;
    mutable std::mutex mutex;
    std::condition_variable wake;     // the thread: a job, or the end
    std::condition_variable settled;  // callers: a job done
    std::deque<Job> jobs;
    std::uint64_t posted = 0, done = 0;
    bool ending = false;
    bool given_up = false;
    bool told = false;
    std::optional<std::int64_t> run_id;
    std::thread thread;
};

}  // namespace history

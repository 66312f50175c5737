// One update of one printer: the plan checked, the link made and opened with
// control, each planned file installed in order, the printer given back.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "update/plan.h"

namespace com {
class Com;
}

namespace update {

// Why an update ended without success.
struct Failure {
    // The result code; -1 when there is none (nothing to install, or an
    // error thrown by the link: its log could not be written).
    int code = -1;
    // What the user is shown: the application's text for the code.
    std::string message;
    // What it concerns, for the log and the command line: the file and the
    // reason a check refused it, "" when it is about no particular file.
    std::string detail;
    // The planned file it happened with, or npos.
    std::size_t file = static_cast<std::size_t>(-1);
    // The printer may have taken `file` up all the same: the take-up
    // command reached it before the install failed, or the link threw (its
    // log could not be written) while installing it.
    bool may_be_taken_up = false;
};

// Told what an update does, on the thread that runs it, in this order:
// progress(0); link_made once the link exists (before anything is sent);
// then for each file file_started, progress reports, file_installed; then
// either done(true), or error once and done(false).
// The printer is still held while done runs: it is given back afterwards.
class Observer {
public:
    virtual ~Observer() = default;
    // 0 at the start; then the upload's reports, 0 to 99 of the file being
    // sent, with the rate of the last interval, and 100 once the printer has
    // taken the file up.
    virtual void progress(int percent, float kib_per_s) = 0;
    // The link is made, its log file at `log_path` ("" without a log).
    virtual void link_made(const std::string& /*log_path*/) {}
    virtual void file_started(std::size_t /*index*/) {}
    virtual void file_installed(std::size_t /*index*/) {}
    virtual void error(const Failure& failure) = 0;
    virtual void done(bool succeed) = 0;
};

// How the outcome came about, once the update is over and the printer given back.
struct Outcome {
    bool succeed = false;
    bool link_made = false;     // false: stopped before the printer was touched
    std::size_t installed = 0;  // planned files installed, from the first on
    Failure failure;            // when not succeed
    bool cancelled = false;     // stopped by cancel()
};

// Makes the link once the plan has passed its checks; may throw.
using LinkMaker = std::function<com::Com*()>;

class Session {
public:
    Session(Plan plan, Observer& observer);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A line written to the link's log before anything is sent (who is
    // updating which printer); none when empty.
    void set_log_note(std::string note) { log_note = std::move(note); }

    // Runs the whole update and returns when the printer has been given back.
    Outcome run(const LinkMaker& make_link);

    // Asks the update to stop: an upload in progress stops at its next
    // piece (the printer is told the upload has ended and is given back),
    // no further file is sent.  With `at_once` the rest goes without the
    // link's fixed waits (see com::Com::stop).  Safe from any thread, at
    // any time, also before run.
    void cancel(bool at_once = false);

    // The plan, with the sizes its check found.
    const Plan& plan() const { return plan_; }

private:
    static void on_progress(int percent, float rate, void* context);
    bool fail(Outcome& outcome, int code, std::string detail, std::size_t file, bool may_be_taken_up = false);

    Plan plan_;
    Observer& observer;
    std::string log_note;
    std::atomic<bool> cancel_requested{false};
    std::atomic<bool> cancel_at_once{false};
    std::mutex link_mutex;
    com::Com* link = nullptr;  // while it exists, for cancel()
};

}  // namespace update

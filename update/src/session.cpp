#include "update/session.h"

#include <exception>
#include <memory>

#include "com/com.h"
#include "com/protocol.h"
#include "com/result.h"
#include "update/messages.h"

namespace update {

namespace {

constexpr unsigned open_timeout_ms = 1000;
constexpr unsigned install_timeout_ms = 10000;
constexpr std::size_t no_file = static_cast<std::size_t>(-1);

}  // namespace

Session::Session(Plan plan, Observer& observer) : plan_(std::move(plan)), observer(observer) {}

void Session::cancel(bool at_once)
{
    if (at_once)
        cancel_at_once.store(true);
    cancel_requested.store(true);
    const std::lock_guard<std::mutex> lock(link_mutex);
    if (link)
        link->stop(at_once);
}

void Session::on_progress(int percent, float rate, void* context)
{
    static_cast<Session*>(context)->observer.progress(percent, rate);
}

bool Session::fail(Outcome& outcome, int code, std::string detail, std::size_t file, bool may_be_taken_up)
{
    outcome.failure.code = code;
    outcome.failure.message = code < 0 ? no_firmware_message : user_message(code);
    outcome.failure.detail = std::move(detail);
    outcome.failure.file = file;
    outcome.failure.may_be_taken_up = may_be_taken_up;
    observer.error(outcome.failure);
    return false;
}

Outcome Session::run(const LinkMaker& make_link)
{
    Outcome outcome;
    observer.progress(0, 0.0f);

    // Nothing is sent, and the printer not taken, unless every file can go.
    if (plan_.empty()) {
        fail(outcome, -1, std::string(), no_file);
        observer.done(false);
        return outcome;
    }
    const Problem problem = check_plan(plan_);
    if (problem.code != com::COM_SUCCESS) {
        const PlannedFile& f = plan_.files[problem.file];
        fail(outcome, problem.code, f.local_name + ": " + problem.reason, problem.file);
        observer.done(false);
        return outcome;
    }

    // A session stopped before it starts sends nothing: no link is made,
    // and the printer is not taken.
    if (cancel_requested.load()) {
        fail(outcome, com::COM_ERR_CANCELED, std::string(), no_file);
        observer.done(false);
        outcome.cancelled = true;
        return outcome;
    }

    // The link lives until done has been handled, so that the printer is
    // given back only then.  cancel() sees it from the moment it is made
    // until just before it is deleted, however run ends (an observer may
    // throw).
    std::unique_ptr<com::Com> owned;
    struct Unseen {
        Session& session;
        ~Unseen()
        {
            const std::lock_guard<std::mutex> lock(session.link_mutex);
            session.link = nullptr;
        }
    } unseen{*this};
    bool succeed = false;
    std::size_t installing = no_file;
    try {
        owned.reset(make_link());
        outcome.link_made = true;
        bool stopped = false;
        {
            // A cancel that came while the link was made reaches it here.
            const std::lock_guard<std::mutex> lock(link_mutex);
            link = owned.get();
            stopped = cancel_requested.load();
            if (stopped)
                link->stop(cancel_at_once.load());
        }
        observer.link_made(owned->log_file_path());
        if (!log_note.empty())
            owned->write_log(("update: " + log_note).c_str());
        // Stopped by now, the printer is not taken (the link refuses to
        // open once stopped, for a cancel that comes after this look).
        const int opened = stopped ? com::COM_ERR_CANCELED : owned->com_open(open_timeout_ms, true);
        succeed = opened == com::COM_SUCCESS || fail(outcome, opened, std::string(), no_file);
        for (std::size_t i = 0; succeed && i < plan_.files.size(); ++i) {
            const PlannedFile& f = plan_.files[i];
            if (cancel_requested.load()) {
                succeed = fail(outcome, com::COM_ERR_CANCELED, std::string(), i);
                break;
            }
            owned->write_log(("update: sending " + f.local_path + " (" + std::to_string(f.size) + " bytes) as " +
                              com::protocol::system_folder + f.printer_name + ", sha256 " + f.sha256)
                                 .c_str());
            // The upload proves it sends the bytes checked, or sends not all of them.
            if (f.sha256_digest)
                owned->expect_upload_sha256(*f.sha256_digest);
            observer.file_started(i);
            installing = i;
            const int code = owned->com_install_file(f.local_path, f.printer_name, on_progress, this, std::string(),
                                                     install_timeout_ms);
            installing = no_file;
            if (code != com::COM_SUCCESS) {
                // The take-up command reached the printer: it may have taken
                // the file up, whatever the link heard back.
                succeed = fail(outcome, code, std::string(), i, owned->take_up_requested());
                break;
            }
            ++outcome.installed;
            observer.file_installed(i);
        }
    } catch (const std::exception& e) {
        // The log could not be written or memory ran out: the update ends
        // like any other failure, and the printer is still given back below.
        // Thrown while a file was installed after its take-up command went
        // out, it may have come after the printer took the file up: the
        // report must not say it did not.
        succeed = false;
        outcome.failure = Failure{-1, e.what(), std::string(), installing};
        outcome.failure.may_be_taken_up = installing != no_file && owned && owned->take_up_requested();
        observer.error(outcome.failure);
    }
    outcome.succeed = succeed;
    observer.done(succeed);
    {
        const std::lock_guard<std::mutex> lock(link_mutex);
        link = nullptr;
    }
    owned.reset();
    outcome.cancelled = !succeed && cancel_requested.load();
    return outcome;
}

}  // namespace update

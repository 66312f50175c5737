#include "history/recorder.h"

#include <exception>

namespace history {

Recorder::Recorder(std::string path, std::function<void(const std::string&)> on_failure)
    : path_(std::move(path)), on_failure(std::move(on_failure))
{
    thread = std::thread([this] { work(); });
}

Recorder::~Recorder()
{
    finish(-1);
}

void Recorder::work()
{
    std::unique_ptr<Database> db;
    try {
        db = Database::open(path_, Database::Mode::write);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return !jobs.empty() || ending; });
        if (jobs.empty())
            break;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        const bool skip = given_up;
        lock.unlock();
        if (!skip && db) {
            try {
                job(*db);
            } catch (const std::exception& e) {
                fail(e.what());
            }
        }
        lock.lock();
        ++done;
        settled.notify_all();
    }
    lock.unlock();
    db.reset();  // the last connection's close folds the log back into the file
}

void Recorder::fail(const std::string& what)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        given_up = true;
        if (told)
            return;
        told = true;
    }
    if (on_failure)
        on_failure(what);
}

bool Recorder::failed() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return given_up;
}

void Recorder::post(Job job)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (given_up || ending)
        return;
    jobs.push_back(std::move(job));
    ++posted;
    wake.notify_one();
}

bool Recorder::call(Job job, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (given_up || ending)
        return false;
    jobs.push_back(std::move(job));
    const std::uint64_t mine = ++posted;
    wake.notify_one();
    if (!settled.wait_for(lock, limit, [&] { return done >= mine; })) {
        lock.unlock();
        fail("the history was not written within " + std::to_string(limit.count()) + " ms");
        return false;
    }
    return !given_up;
}

bool Recorder::opened()
{
    // Opening may wait for the lock twice: to switch to write-ahead logging,
    // and to migrate.
    return call([](Database&) {}, wait_limit + std::chrono::milliseconds(Database::busy_timeout_ms));
}

bool Recorder::start_run(const RunRecord& run)
{
    const auto id = std::make_shared<std::int64_t>(0);
    if (!call([run, id](Database& db) { *id = db.add_run(run); }, wait_limit))
        return false;
    const std::lock_guard<std::mutex> lock(mutex);
    run_id = *id;
    return true;
}

std::optional<std::int64_t> Recorder::add_printer(const PrinterRecord& printer)
{
    std::optional<std::int64_t> run;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        run = run_id;
    }
    if (!run)
        return std::nullopt;
    // Shared with the job: a job given up on still runs later, and must not
    // write into this frame.
    const auto id = std::make_shared<std::int64_t>(0);
    if (!call([run, printer, id](Database& db) { *id = db.add_printer(*run, printer); }, wait_limit))
        return std::nullopt;
    return *id;
}

std::optional<PrinterRun> Recorder::last_of(const std::string& serial, int vendor_id, int product_id)
{
    const auto found = std::make_shared<std::optional<PrinterRun>>();
    if (!call([=](Database& db) { *found = db.last_of(serial, vendor_id, product_id); }, wait_limit))
        return std::nullopt;
    return *found;
}

void Recorder::set_log_path(std::int64_t printer_run, const std::string& path)
{
    post([=](Database& db) { db.set_log_path(printer_run, path); });
}

void Recorder::file_reached(std::int64_t printer_run, std::size_t file)
{
    post([=](Database& db) { db.file_reached(printer_run, file); });
}

void Recorder::file_installed(std::int64_t printer_run, std::size_t file)
{
    post([=](Database& db) { db.file_installed(printer_run, file); });
}

void Recorder::end_printer(std::int64_t printer_run, const PrinterEnd& end)
{
    post([=](Database& db) { db.end_printer(printer_run, end); });
}

void Recorder::finish(int exit_status, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable())
        return;
    if (run_id && exit_status >= 0 && !given_up && !ending) {
        const std::int64_t run = *run_id;
        jobs.push_back([run, exit_status](Database& db) { db.end_run(run, exit_status); });
        ++posted;
    }
    ending = true;
    wake.notify_one();
    const std::uint64_t all = posted;
    if (!settled.wait_for(lock, limit, [&] { return done >= all; })) {
        lock.unlock();
        fail("the history's last records were not written within " + std::to_string(limit.count()) + " ms");
        lock.lock();
    }
    lock.unlock();
    // Given up: what is left is skipped, and the write under way ends within
    // its busy time-out.
    thread.join();
}

}  // namespace history

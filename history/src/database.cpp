#include "history/database.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "history/process.h"
#include "history/schema.h"
#include "sqlite_util.h"

namespace history {

namespace {

bool exists(const std::string& utf8)
{
    std::error_code error;
#ifdef _WIN32
    return std::filesystem::exists(std::filesystem::u8path(utf8), error);
#else
    return std::filesystem::exists(std::filesystem::path(utf8), error);
#endif
}

const char* const printer_columns =
    "SELECT p.id, p.run_id, r.started, r.ended, r.host, r.account, r.tool_version, r.command, r.firmware_folder, "
    "r.pid, r.process, r.exit_status, p.serial, p.bus, p.address, p.port_path, p.vendor_id, p.product_id, "
    "p.started, p.ended, p.outcome, p.code, p.message, p.detail, p.log_path "
    "FROM printer_runs p JOIN runs r ON r.id = p.run_id ";

Outcome outcome_of(const std::string& stored)
{
    if (stored == "updated")
        return Outcome::updated;
    if (stored == "stopped")
        return Outcome::stopped;
    return Outcome::failed;
}

const char* stored_outcome(Outcome outcome)
{
    switch (outcome) {
    case Outcome::updated:
        return "updated";
    case Outcome::stopped:
        return "stopped";
    default:
        return "failed";
    }
}

}  // namespace

std::unique_ptr<Database> Database::open(const std::string& path, Mode mode)
{
    // A lock SQLite does not wait for (another process switching a new file
    // to write-ahead logging, or recovering its log) is waited for here,
    // within the same time-out.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        try {
            return open_once(path, mode);
        } catch (const Busy&) {
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(busy_timeout_ms))
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

std::unique_ptr<Database> Database::open_once(const std::string& path, Mode mode)
{
    const bool missing = !exists(path);
    if (mode == Mode::read && missing)
        return std::unique_ptr<Database>(new Database(nullptr));
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (mode == Mode::write)
        flags |= SQLITE_OPEN_CREATE;
    int code = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (code != SQLITE_OK && mode == Mode::read) {
        sqlite3_close(db);
        db = nullptr;
        code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    }
    std::unique_ptr<Database> opened(new Database(db));
    if (code != SQLITE_OK)
        throw_error(db, code);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busy_timeout_ms);
    // The first read tells a file that is not a database (SQLITE_NOTADB);
    // nothing has been written to it yet, and nothing will be.
    const int user_version = check_ours(db);
    if (mode == Mode::read && user_version == 0)
        return std::unique_ptr<Database>(new Database(nullptr));  // empty: nothing recorded yet
    if (mode == Mode::write || user_version != latest_version()) {
        if (user_version <= latest_version()) {
            // Written once into a new file; WAL lets readers and one writer
            // work at once, and a killed writer leaves every committed event.
            // Another process that opens the new file at the same moment
            // keeps the mode from changing for a while, and the pragma then
            // answers with the old mode rather than wait: asked again, within
            // the busy time-out.
            Statement journal(db, "PRAGMA journal_mode = WAL");
            for (int waited = 0;; waited += 10) {
                if (journal.step() && journal.column_text(0) == "wal")
                    break;
                journal.reset();
                if (waited >= busy_timeout_ms)
                    throw Error("the history cannot be switched to write-ahead logging");
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        migrate(db);
    }
    // Each commit reaches the disk before the next step: a record that the
    // printer was taken survives a power loss.
    exec(db, "PRAGMA synchronous = FULL");
    return opened;
}

Database::~Database()
{
    sqlite3_close_v2(db);
}

std::int64_t Database::add_run(const RunRecord& run)
{
    Transaction transaction(db);
    Statement insert(db, "INSERT INTO runs (started, host, account, pid, process, tool_version, command, "
                         "firmware_folder) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    const std::int64_t pid = this_process_id();
    insert.bind(1, run.started.empty() ? utc_now() : run.started)
        .bind(2, run.host)
        .bind(3, run.account)
        .bind(4, pid)
        .bind(5, process_identity(pid))
        .bind(6, run.tool_version)
        .bind(7, run.command)
        .bind(8, run.firmware_folder)
        .run();
    const std::int64_t id = sqlite3_last_insert_rowid(db);
    Statement file(db, "INSERT INTO run_files (run_id, position, local_name, printer_name, size, sha256) "
                       "VALUES (?, ?, ?, ?, ?, ?)");
    for (std::size_t i = 0; i < run.plan.size(); ++i) {
        const PlannedFile& f = run.plan[i];
        file.bind(1, id)
            .bind(2, static_cast<std::int64_t>(i))
            .bind(3, f.local_name)
            .bind(4, f.printer_name)
            .bind(5, f.size)
            .bind(6, f.sha256)
            .run();
    }
    transaction.commit();
    return id;
}

std::int64_t Database::add_printer(std::int64_t run, const PrinterRecord& printer)
{
    Transaction transaction(db);
    Statement insert(db, "INSERT INTO printer_runs (run_id, serial, bus, address, port_path, vendor_id, product_id, "
                         "started) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, run)
        .bind(2, printer.serial)
        .bind(3, std::int64_t{printer.bus})
        .bind(4, std::int64_t{printer.address})
        .bind(5, printer.port_path)
        .bind(6, std::int64_t{printer.vendor_id})
        .bind(7, std::int64_t{printer.product_id})
        .bind(8, utc_now())
        .run();
    const std::int64_t id = sqlite3_last_insert_rowid(db);
    transaction.commit();
    return id;
}

void Database::set_log_path(std::int64_t printer_run, const std::string& path)
{
    Transaction transaction(db);
    Statement(db, "UPDATE printer_runs SET log_path = ? WHERE id = ?").bind(1, path).bind(2, printer_run).run();
    transaction.commit();
}

namespace {

void set_state(sqlite3* db, std::int64_t printer_run, std::size_t file, const char* state)
{
    Transaction transaction(db);
    Statement(db, "INSERT OR REPLACE INTO printer_files (printer_run_id, position, state) VALUES (?, ?, ?)")
        .bind(1, printer_run)
        .bind(2, static_cast<std::int64_t>(file))
        .bind(3, std::string(state))
        .run();
    transaction.commit();
}

}  // namespace

void Database::file_reached(std::int64_t printer_run, std::size_t file)
{
    set_state(db, printer_run, file, "reached");
}

void Database::file_installed(std::int64_t printer_run, std::size_t file)
{
    set_state(db, printer_run, file, "installed");
}

void Database::end_printer(std::int64_t printer_run, const PrinterEnd& end)
{
    Transaction transaction(db);
    Statement(db, "UPDATE printer_runs SET ended = ?, outcome = ?, code = ?, message = ?, detail = ? WHERE id = ?")
        .bind(1, utc_now())
        .bind(2, std::string(stored_outcome(end.outcome)))
        .bind(3, end.code)
        .bind(4, end.message)
        .bind(5, end.detail)
        .bind(6, printer_run)
        .run();
    Statement count(db, "SELECT count(*) FROM run_files WHERE run_id = (SELECT run_id FROM printer_runs WHERE id = ?)");
    count.bind(1, printer_run);
    const std::size_t files = count.step() ? static_cast<std::size_t>(count.column_int64(0)) : 0;
    Statement state(db, "INSERT OR REPLACE INTO printer_files (printer_run_id, position, state) VALUES (?, ?, ?)");
    for (std::size_t i = 0; i < files; ++i) {
        const char* name = i < end.installed                           ? "installed"
                           : i == end.installed && end.may_be_taken_up ? "may_have_been_taken_up"
                                                                       : "not_installed";
        state.bind(1, printer_run).bind(2, static_cast<std::int64_t>(i)).bind(3, std::string(name)).run();
    }
    transaction.commit();
}

void Database::end_run(std::int64_t run, int exit_status)
{
    Transaction transaction(db);
    Statement(db, "UPDATE runs SET ended = ?, exit_status = ? WHERE id = ?")
        .bind(1, utc_now())
        .bind(2, std::int64_t{exit_status})
        .bind(3, run)
        .run();
    transaction.commit();
}

std::vector<PrinterRun> Database::read(const Query& query)
{
    std::string where;
    std::vector<std::int64_t> numbers;
    const auto add = [&where](const char* condition) {
        where += (where.empty() ? "WHERE " : " AND ") + std::string(condition);
    };
    if (query.serial)
        add("p.serial = ?1");
    if (query.place) {
        add("p.bus = ?3 AND p.address = ?4");
        numbers = {query.place->first, query.place->second};
    }
    std::optional<std::string> since;
    if (!query.since.empty()) {
        add("p.started >= ?2");
        since = query.since;
    }
    return read_where(where, {query.serial, since}, numbers, query.limit);
}

std::optional<PrinterRun> Database::last_of(const std::string& serial, int vendor_id, int product_id)
{
    std::vector<PrinterRun> runs = read_where("WHERE p.serial = ?1 AND p.vendor_id = ?3 AND p.product_id = ?4",
                                              {serial, std::nullopt}, {vendor_id, product_id}, 1);
    if (runs.empty())
        return std::nullopt;
    return std::move(runs.front());
}

std::vector<PrinterRun> Database::read_where(const std::string& where,
                                             const std::vector<std::optional<std::string>>& texts,
                                             const std::vector<std::int64_t>& numbers, std::size_t limit)
{
    std::vector<PrinterRun> runs;
    if (!db)
        return runs;
    Statement select(db, printer_columns + where + " ORDER BY p.id DESC" +
                             (limit ? " LIMIT " + std::to_string(limit) : std::string()));
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (texts[i])
            select.bind(static_cast<int>(i + 1), *texts[i]);
    for (std::size_t i = 0; i < numbers.size(); ++i)
        select.bind(static_cast<int>(i + 3), numbers[i]);
    Statement files(db, "SELECT f.local_name, f.printer_name, f.size, f.sha256, s.state FROM run_files f "
                        "LEFT JOIN printer_files s ON s.printer_run_id = ?1 AND s.position = f.position "
                        "WHERE f.run_id = ?2 ORDER BY f.position");
    const std::string this_host = host_name();
    std::map<std::int64_t, std::string> identities;  // of the processes asked about, by id
    while (select.step()) {
        PrinterRun r;
        r.id = select.column_int64(0);
        r.run_id = select.column_int64(1);
        r.run_started = select.column_text(2);
        r.run_ended = select.column_text(3);
        r.host = select.column_text(4);
        r.account = select.column_text(5);
        r.tool_version = select.column_text(6);
        r.command = select.column_text(7);
        r.firmware_folder = select.column_text(8);
        r.pid = select.column_int64(9);
        const std::string process = select.column_text(10);
        if (!select.column_null(11))
            r.exit_status = select.column_int(11);
        r.serial = select.column_text(12);
        r.bus = select.column_int(13);
        r.address = select.column_int(14);
        if (!select.column_null(15))
            r.port_path = select.column_text(15);
        r.vendor_id = select.column_int(16);
        r.product_id = select.column_int(17);
        r.started = select.column_text(18);
        r.ended = select.column_text(19);
        const bool finished = !select.column_null(20);
        if (finished) {
            r.outcome = outcome_of(select.column_text(20));
        } else if (r.host != this_host) {
            r.outcome = Outcome::unknown;
        } else {
            auto known = identities.find(r.pid);
            if (known == identities.end())
                known = identities.emplace(r.pid, process_identity(r.pid)).first;
            r.outcome = !process.empty() && known->second == process ? Outcome::running : Outcome::interrupted;
        }
        if (!select.column_null(21))
            r.code = select.column_int(21);
        r.message = select.column_text(22);
        r.detail = select.column_text(23);
        r.log_path = select.column_text(24);

        files.bind(1, r.id).bind(2, r.run_id);
        for (std::size_t i = 0; files.step(); ++i) {
            PrinterRun::File f;
            f.planned =
                PlannedFile{files.column_text(0), files.column_text(1), files.column_int64(2), files.column_text(3)};
            const std::string state = files.column_text(4);
            if (state == "installed") {
                f.state = FileState::installed;
                r.reached = i;
            } else if (state == "may_have_been_taken_up") {
                f.state = FileState::may_have_been_taken_up;
                r.reached = i;
            } else if (state == "reached") {
                // Without an end, the take-up command may have gone out
                // after the last event was written.
                f.state = r.outcome == Outcome::running ? FileState::reached : FileState::may_have_been_taken_up;
                r.reached = i;
            }
            r.files.push_back(std::move(f));
        }
        files.reset();
        runs.push_back(std::move(r));
    }
    return runs;
}

}  // namespace history

// The update history: its versions and their migration, what it refuses to
// touch, a run recorded whole and read back, runs killed at each step, several
// writers at once, and the history failing without holding anything up.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/database.h"
#include "history/process.h"
#include "history/recorder.h"
#include "history/schema.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using history::Database;
using history::FileState;
using history::Outcome;

std::string frozen(const std::string& name)
{
    return testsupport::read_file(testsupport::fs::path(ZARVIK_HISTORY_SCHEMAS) / name);
}

// A connection of the test's own, beside the one under test.
struct Raw {
    explicit Raw(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK); }
    ~Raw() { sqlite3_close(db); }
    int exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    std::string text(const std::string& sql)
    {
        sqlite3_stmt* s = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK)
            while (sqlite3_step(s) == SQLITE_ROW)
                for (int c = 0; c < sqlite3_column_count(s); ++c)
                    out += (c ? "|" : "") +
                           std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, c))
                                           ? reinterpret_cast<const char*>(sqlite3_column_text(s, c))
                                           : "NULL") +
                           (c + 1 == sqlite3_column_count(s) ? "\n" : "");
        sqlite3_finalize(s);
        return out;
    }
    sqlite3* db = nullptr;
};

std::string schema_of(const std::string& path)
{
    return Raw(path).text("SELECT type, name, sql FROM sqlite_master ORDER BY name");
}

history::RunRecord run_of(const std::string& folder = "/fw")
{
    history::RunRecord run;
    run.host = history::host_name();
    run.account = "tester";
    run.tool_version = "1.1.0";
    run.command = "zarvik update --firmware " + folder + " --all";
    run.firmware_folder = folder;
    run.plan = {{"Main-2.4.bin", "orbrey.bin", 70000, "0495d9"},
                {"fonts.xbf", "fonts.xbf", 9000, "77aa01"},
                {"ui-en.xbf", "ui-en.xbf", 300, "c0ffee"}};
    return run;
}

history::PrinterRecord printer_of(const std::string& serial, int address)
{
    return history::PrinterRecord{serial, 1, address, std::nullopt, 0x2C7E, 0x4201};
}

std::vector<FileState> states_of(const history::PrinterRun& r)
{
    std::vector<FileState> states;
    for (const auto& f : r.files)
        states.push_back(f.state);
    return states;
}

class History : public ::testing::Test {
protected:
    std::string path() const { return dir.utf8("history.sqlite"); }
    testsupport::TempDir dir;
};

TEST_F(History, EveryEarlierVersionIsMigratedToTheLatestWithItsRecords)
{
    // Version 0, a new empty file, becomes exactly the latest frozen schema.
    testsupport::write_file(dir.path() / "history.sqlite", "");
    Database::open(path(), Database::Mode::write);
    const std::string latest = "v" + std::to_string(history::latest_version()) + ".sql";
    const std::string made_fresh = dir.utf8("fresh.sqlite");
    {
        Raw fresh(made_fresh);
        ASSERT_EQ(fresh.exec(frozen(latest)), SQLITE_OK);
    }
    EXPECT_EQ(schema_of(path()), schema_of(made_fresh)) << "the migrations from version 0 make " << latest;
    EXPECT_EQ(Raw(path()).text("PRAGMA user_version"), std::to_string(history::latest_version()) + "\n");
    EXPECT_EQ(Raw(path()).text("PRAGMA application_id"), std::to_string(history::application_id) + "\n");

    // Every frozen version, with records of its time, reads back after its migration.
    for (int version = 1; version <= history::latest_version(); ++version) {
        const std::string file = dir.utf8("v" + std::to_string(version) + ".sqlite");
        {
            Raw old(file);
            ASSERT_EQ(old.exec(frozen("v" + std::to_string(version) + ".sql")), SQLITE_OK);
            ASSERT_EQ(old.exec(frozen("v" + std::to_string(version) + "-data.sql")), SQLITE_OK);
            old.exec("PRAGMA application_id = " + std::to_string(history::application_id));
            old.exec("PRAGMA user_version = " + std::to_string(version));
        }
        auto db = Database::open(file, Database::Mode::write);
        const auto runs = db->read({});
        ASSERT_EQ(runs.size(), 2u) << "version " << version;
        EXPECT_EQ(runs[1].serial, "SN-A");
        EXPECT_EQ(runs[1].outcome, Outcome::updated);
        EXPECT_EQ(runs[1].port_path, std::optional<std::string>("1-1.4"));
        EXPECT_EQ(states_of(runs[1]), (std::vector<FileState>{FileState::installed, FileState::installed}));
        EXPECT_EQ(runs[0].outcome, Outcome::unknown) << "no end, written on another host";
        EXPECT_EQ(runs[0].reached, std::optional<std::size_t>(1));
        EXPECT_EQ(schema_of(file), schema_of(made_fresh)) << "version " << version;
    }
}

TEST_F(History, WhatIsNotThisToolsHistoryIsRefusedAndLeftAsItIs)
{
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* message;
    };
    const std::string text = "name,firmware\nSN1,2.4\n";
    const Case cases[] = {
        {"a spreadsheet", [&](const std::string& p) { testsupport::write_file(testsupport::from_utf8(p), text); },
         "file is not a database"},
        {"another application's database",
         [](const std::string& p) { Raw(p).exec("CREATE TABLE contacts (name TEXT)"); },
         "it is a database, but not a zarvik history"},
        {"another application's, by its id",
         [](const std::string& p) { Raw(p).exec("PRAGMA application_id = 7; PRAGMA user_version = 1"); },
         "it is a database, but not a zarvik history"},
        {"a history of a newer zarvik",
         [](const std::string& p) {
             Raw(p).exec("PRAGMA application_id = " + std::to_string(history::application_id) +
                         "; PRAGMA user_version = 99; CREATE TABLE later (x)");
         },
         "it was written by a newer zarvik (history version 99"},
    };
    for (const Case& c : cases) {
        const std::string p = dir.utf8(std::string(c.what) + ".sqlite");
        c.make(p);
        const std::string before = testsupport::read_file(testsupport::from_utf8(p));
        for (const Database::Mode mode : {Database::Mode::write, Database::Mode::read}) {
            try {
                Database::open(p, mode);
                ADD_FAILURE() << c.what << ": opened";
            } catch (const history::Error& e) {
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
            }
        }
        EXPECT_TRUE(testsupport::read_file(testsupport::from_utf8(p)) == before) << c.what << ": changed";
        EXPECT_FALSE(testsupport::fs::exists(testsupport::from_utf8(p + "-wal"))) << c.what;
    }
    // Read, a missing history is an empty one, and stays missing.
    EXPECT_TRUE(Database::open(path(), Database::Mode::read)->read({}).empty());
    EXPECT_FALSE(testsupport::fs::exists(dir.path() / "history.sqlite"));
}

TEST_F(History, ARunIsRecordedWholeAndReadBackByPrinterPlaceAndDate)
{
    {
        history::Recorder recorder(path(), [](const std::string& what) { ADD_FAILURE() << what; });
        ASSERT_TRUE(recorder.start_run(run_of()));
        const auto a = recorder.add_printer(printer_of("SN-A", 5));
        auto b_record = printer_of("SN-B", 6);
        b_record.port_path = "1-1.4";
        const auto b = recorder.add_printer(b_record);
        const auto c = recorder.add_printer(printer_of("SN-C", 7));
        ASSERT_TRUE(a && b && c);
        for (std::size_t i = 0; i < 3; ++i) {
            recorder.file_reached(*a, i);
            recorder.file_installed(*a, i);
        }
        recorder.set_log_path(*a, "/log/1-5/libcom-2026-12-9_8-0-0.log");
        recorder.end_printer(*a, {Outcome::updated, 3, false, std::nullopt, "", ""});
        recorder.file_reached(*b, 0);
        recorder.file_installed(*b, 0);
        recorder.file_reached(*b, 1);
        recorder.end_printer(*b, {Outcome::failed, 1, true, 13, "printer execute command failure", ""});
        recorder.end_printer(*c, {Outcome::stopped, 0, false, 15, "user canceled", ""});
        recorder.finish(1);
        EXPECT_FALSE(recorder.failed());
    }
    auto db = Database::open(path(), Database::Mode::read);
    const auto all = db->read({});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].serial, "SN-C") << "newest first";
    struct Expected {
        const char* serial;
        Outcome outcome;
        std::vector<FileState> files;
        std::optional<int> code;
    };
    const Expected expected[] = {
        {"SN-C", Outcome::stopped, {FileState::not_installed, FileState::not_installed, FileState::not_installed}, 15},
        {"SN-B",
         Outcome::failed,
         {FileState::installed, FileState::may_have_been_taken_up, FileState::not_installed},
         13},
        {"SN-A", Outcome::updated, {FileState::installed, FileState::installed, FileState::installed}, std::nullopt},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(all[i].serial, expected[i].serial);
        EXPECT_EQ(all[i].outcome, expected[i].outcome) << expected[i].serial;
        EXPECT_EQ(states_of(all[i]), expected[i].files) << expected[i].serial;
        EXPECT_EQ(all[i].code, expected[i].code) << expected[i].serial;
        EXPECT_EQ(all[i].exit_status, std::optional<int>(1));
        EXPECT_FALSE(all[i].ended.empty());
        EXPECT_EQ(all[i].files[1].planned.sha256, "77aa01");
    }
    EXPECT_EQ(all[2].log_path, "/log/1-5/libcom-2026-12-9_8-0-0.log");
    EXPECT_EQ(all[1].port_path, std::optional<std::string>("1-1.4"));
    EXPECT_EQ(all[0].port_path, std::nullopt);

    history::Query by_serial;
    by_serial.serial = "SN-B";
    EXPECT_EQ(db->read(by_serial).size(), 1u);
    history::Query by_place;
    by_place.place = std::make_pair(1, 7);
    ASSERT_EQ(db->read(by_place).size(), 1u);
    EXPECT_EQ(db->read(by_place)[0].serial, "SN-C");
    history::Query later;
    later.since = history::parse_date("2999-01-01");
    EXPECT_TRUE(db->read(later).empty());
    later.since = history::parse_date("2000-01-01 10:00");
    EXPECT_EQ(db->read(later).size(), 3u);
    ASSERT_TRUE(db->last_of("SN-A", 0x2C7E, 0x4201));
    EXPECT_FALSE(db->last_of("SN-A", 0x2C7E, 0x4203)) << "another model of the same serial";
}

TEST(HistoryDates, AreReadAsUsersWriteThemInUtc)
{
    const std::pair<const char*, const char*> cases[] = {
        {"2026-12-09", "2026-12-09T00:00:00.000Z"},
        {"2026-12-09T23:12", "2026-12-09T23:12:00.000Z"},
        {"2026-12-09 23:12:20", "2026-12-09T23:12:20.000Z"},
        {"2026-12-09T23:12:20Z", "2026-12-09T23:12:20.000Z"},
        {"2026-13-01", ""},
        {"yesterday", ""},
        {"2026-12-09T", ""},
        {"2026-12-09 23", ""},
        {"2026-12-09x", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(history::parse_date(text), expected) << text;
    EXPECT_EQ(history::utc_text(1765321940123), "2025-12-09T23:12:20.123Z");
}

#ifndef _WIN32
// A writer in a process of its own that records up to a step, says so on a
// pipe and waits to be killed.
pid_t record_until(const std::string& path, const std::function<void(history::Recorder&, std::int64_t)>& step,
                   int* ready)
{
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        {
            history::Recorder recorder(path, {});
            recorder.start_run(run_of());
            const auto id = recorder.add_printer(printer_of("SN-K", 5));
            step(recorder, id.value_or(0));
            recorder.last_of("", 0, 0);  // after every event before it
            const char byte = recorder.failed() ? 'f' : 'k';
            if (::write(fds[1], &byte, 1) != 1)
                ::_exit(2);
            for (;;)
                ::pause();
        }
    }
    ::close(fds[1]);
    *ready = fds[0];
    return child;
}

TEST_F(History, ARunKilledAtEachStepReadsInterruptedAtTheFileItReached)
{
    struct Case {
        const char* step;
        std::function<void(history::Recorder&, std::int64_t)> events;
        std::optional<std::size_t> reached;
        std::vector<FileState> files;
    };
    const Case cases[] = {
        {"before the open",
         [](history::Recorder&, std::int64_t) {},
         std::nullopt,
         {FileState::not_installed, FileState::not_installed, FileState::not_installed}},
        {"during a file",
         [](history::Recorder& r, std::int64_t id) {
             r.set_log_path(id, "/log/libcom.log");
             r.file_reached(id, 0);
             r.file_installed(id, 0);
             r.file_reached(id, 1);
         },
         1,
         {FileState::installed, FileState::may_have_been_taken_up, FileState::not_installed}},
        {"after a take-up",
         [](history::Recorder& r, std::int64_t id) {
             r.file_reached(id, 0);
             r.file_installed(id, 0);
         },
         0,
         {FileState::installed, FileState::not_installed, FileState::not_installed}},
    };
    for (const Case& c : cases) {
        testsupport::fs::remove(testsupport::from_utf8(path()));
        int ready = -1;
        const pid_t child = record_until(path(), c.events, &ready);
        char byte = 0;
        ASSERT_EQ(::read(ready, &byte, 1), 1) << c.step;
        EXPECT_EQ(byte, 'k') << c.step;
        auto runs = Database::open(path(), Database::Mode::read)->read({});
        ASSERT_EQ(runs.size(), 1u) << c.step;
        EXPECT_EQ(runs[0].outcome, Outcome::running) << c.step << ": its process is still there";
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready);
        runs = Database::open(path(), Database::Mode::read)->read({});
        ASSERT_EQ(runs.size(), 1u) << c.step;
        EXPECT_EQ(runs[0].outcome, Outcome::interrupted) << c.step;
        EXPECT_EQ(runs[0].reached, c.reached) << c.step;
        EXPECT_EQ(states_of(runs[0]), c.files) << c.step;
        EXPECT_TRUE(runs[0].ended.empty());
        EXPECT_EQ(runs[0].pid, child);
    }
}

TEST_F(History, TwoProcessesAndTheirThreadsAtOnceLoseAndMixNoRecord)
{
    constexpr int printers = 4, files = 3;
    pid_t children[2];
    for (int w = 0; w < 2; ++w) {
        children[w] = ::fork();
        if (children[w] != 0)
            continue;
        int status = 0;
        {
            history::Recorder recorder(path(), [&status](const std::string& what) {
                std::fprintf(stderr, "writer %d: %s\n", static_cast<int>(::getpid()), what.c_str());
                status = 1;
            });
            recorder.start_run(run_of("/fw-" + std::to_string(w)));
            std::vector<std::thread> threads;
            for (int p = 0; p < printers; ++p) {
                const auto id =
                    recorder.add_printer(printer_of("W" + std::to_string(w) + "-" + std::to_string(p), 5 + p));
                threads.emplace_back([&recorder, id] {
                    for (std::size_t i = 0; i < files; ++i) {
                        recorder.file_reached(id.value_or(0), i);
                        recorder.file_installed(id.value_or(0), i);
                    }
                    recorder.end_printer(id.value_or(0), {Outcome::updated, files, false, std::nullopt, "", ""});
                });
            }
            for (std::thread& t : threads)
                t.join();
            recorder.finish(0, std::chrono::seconds(30));
        }
        ::_exit(status);
    }
    for (pid_t child : children) {
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw the history fail";
    }
    const auto runs = Database::open(path(), Database::Mode::read)->read({});
    ASSERT_EQ(runs.size(), 2u * printers);
    for (const auto& r : runs) {
        EXPECT_EQ(r.outcome, Outcome::updated) << r.serial;
        EXPECT_EQ(r.files.size(), std::size_t{files});
        EXPECT_EQ(states_of(r), std::vector<FileState>(files, FileState::installed)) << r.serial;
        // Each printer in the run of its own writer.
        EXPECT_EQ(r.firmware_folder, "/fw-" + r.serial.substr(1, 1)) << r.serial;
        EXPECT_EQ(r.exit_status, std::optional<int>(0));
    }
}

TEST_F(History, AFullDiskIsToldOnceAndNothingWaitsForIt)
{
    std::vector<std::string> told;
    history::Recorder recorder(path(), [&told](const std::string& what) { told.push_back(what); });
    ASSERT_TRUE(recorder.start_run(run_of()));
    const auto id = recorder.add_printer(printer_of("SN-F", 5));
    ASSERT_TRUE(id);
    recorder.last_of("", 0, 0);
    {
        // Neither the file nor its write-ahead log may grow any more.
        const testsupport::DiskFullAt full(0);
        recorder.file_reached(*id, 0);
        recorder.file_installed(*id, 0);
        recorder.file_reached(*id, 1);
        EXPECT_FALSE(recorder.add_printer(printer_of("SN-G", 6)));
        recorder.end_printer(*id, {Outcome::updated, 3, false, std::nullopt, "", ""});
        recorder.finish(0);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("disk"), std::string::npos) << told[0];
    EXPECT_TRUE(recorder.failed());
}
#endif

TEST_F(History, ADatabaseLockedPastItsTimeOutIsToldOnceAndEventsNeverWait)
{
    // Another writer holds the lock for longer than the time-out: the run
    // cannot be recorded, and says so once.
    Database::open(path(), Database::Mode::write);
    Raw other(path());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    std::vector<std::string> told;
    {
        history::Recorder recorder(path(), [&told](const std::string& what) { told.push_back(what); });
        EXPECT_TRUE(recorder.opened());
        EXPECT_FALSE(recorder.start_run(run_of()));
        EXPECT_FALSE(recorder.add_printer(printer_of("SN-L", 5)));
        recorder.finish(1);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("locked"), std::string::npos) << told[0];
    ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);

    // A lock held while events are handed over only delays their writing:
    // handing them over never waits for it, and none is lost.
    history::Recorder recorder(path(), [](const std::string& what) { ADD_FAILURE() << what; });
    ASSERT_TRUE(recorder.start_run(run_of()));
    const auto id = recorder.add_printer(printer_of("SN-M", 5));
    ASSERT_TRUE(id);
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    for (std::size_t i = 0; i < 3; ++i) {
        recorder.file_reached(*id, i);
        recorder.file_installed(*id, i);
    }
    recorder.end_printer(*id, {Outcome::updated, 3, false, std::nullopt, "", ""});
    ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
    recorder.finish(0);
    const auto runs = Database::open(path(), Database::Mode::read)->read({});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, Outcome::updated);
    EXPECT_EQ(states_of(runs[0]), std::vector<FileState>(3, FileState::installed));
}

TEST_F(History, AHistoryThatCannotBeOpenedIsToldOnce)
{
    testsupport::write_file(dir.path() / "file", "a file, not a folder");
    const std::string cases[] = {dir.utf8("file") + "/history.sqlite", dir.utf8("not-a-database")};
    testsupport::write_file(dir.path() / "not-a-database", std::string(5000, 'x'));
    for (const std::string& p : cases) {
        std::vector<std::string> told;
        history::Recorder recorder(p, [&told](const std::string& what) { told.push_back(what); });
        EXPECT_FALSE(recorder.opened()) << p;
        EXPECT_FALSE(recorder.start_run(run_of())) << p;
        recorder.file_reached(1, 0);
        recorder.finish(1);
        EXPECT_EQ(told.size(), 1u) << p;
    }
    EXPECT_TRUE(testsupport::read_file(dir.path() / "not-a-database") == std::string(5000, 'x'));
}

}  // namespace

// The update history's cost:
//   - each kind of event, written on its own (one transaction each, committed
//     to the disk), and all the events of one update;
//   - a whole `zarvik update` of a 1 MiB plan on the in-process emulated bus,
//     with the history and without it (--no-history);
//   - `zarvik history --serial S` on a history of 100,000 printer runs.
// Options: --rounds=N (default 15), --runs=N (printer runs in the big history,
// default 100000).
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "history/database.h"
#include "history/process.h"
#include "libusb/usb_bus.h"
#include "support.h"
#include "update/target.h"
#include "zarvik.h"

namespace {

history::RunRecord run_record()
{
    history::RunRecord run;
    run.host = history::host_name();
    run.account = "bench";
    run.tool_version = "1.1.0";
    run.command = "zarvik update --firmware /fw --all";
    run.firmware_folder = "/fw";
    run.plan = {{"Main-2.4.bin", "orbrey.bin", 1048576, std::string(64, 'a')},
                {"fonts.xbf", "fonts.xbf", 307200, std::string(64, 'b')},
                {"ui-en.xbf", "ui-en.xbf", 204800, std::string(64, 'c')}};
    return run;
}

double ms_of(const std::function<void()>& step)
{
    const double start = bench::wall_seconds();
    step();
    return (bench::wall_seconds() - start) * 1000.0;
}

int zarvik_run(const std::vector<std::string>& args)
{
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    zarvik::Io io;
    io.out = out;
    io.err = err;
    io.program_dir = "/nonexistent";
    const int status = zarvik::run(args, io);
    std::fclose(out);
    std::fclose(err);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        bench::refuse_other_options(argc, argv, {"rounds", "runs"});
        const int rounds = bench::count_option(argc, argv, "rounds", 15);
        const int big = bench::count_option(argc, argv, "runs", 100000);
        bench::ScratchFolder scratch("history-bench");

        // Each event on its own.
        bench::heading("the history's events, each one transaction committed to the disk (ms)");
        {
            auto db = history::Database::open(scratch.file("events.sqlite"), history::Database::Mode::write);
            std::vector<double> run, printer, reached, installed, log, end, run_end, whole;
            for (int r = 0; r < rounds; ++r) {
                std::int64_t run_id = 0, id = 0;
                double all = 0;
                all += run.emplace_back(ms_of([&] { run_id = db->add_run(run_record()); }));
                all += printer.emplace_back(ms_of([&] {
                    id = db->add_printer(run_id, {"SN1-5", 1, 5, std::nullopt, 0x2C7E, 0x4201});
                }));
                all += log.emplace_back(ms_of([&] { db->set_log_path(id, "/log/libcom-2026-12-10_9-0-0.log"); }));
                for (std::size_t f = 0; f < 3; ++f) {
                    all += reached.emplace_back(ms_of([&] { db->file_reached(id, f); }));
                    all += installed.emplace_back(ms_of([&] { db->file_installed(id, f); }));
                }
                all += end.emplace_back(ms_of([&] {
                    db->end_printer(id, {history::Outcome::updated, 3, false, std::nullopt, "", ""});
                }));
                all += run_end.emplace_back(ms_of([&] { db->end_run(run_id, 0); }));
                whole.push_back(all);
            }
            bench::report("the run with its plan", bench::format(bench::spread(run), "%.3f"));
            bench::report("a printer's record", bench::format(bench::spread(printer), "%.3f"));
            bench::report("its log file", bench::format(bench::spread(log), "%.3f"));
            bench::report("a file reached", bench::format(bench::spread(reached), "%.3f"));
            bench::report("a file taken up", bench::format(bench::spread(installed), "%.3f"));
            bench::report("the printer's end", bench::format(bench::spread(end), "%.3f"));
            bench::report("the run's end", bench::format(bench::spread(run_end), "%.3f"));
            bench::report("all 11 events of a one-printer update", bench::format(bench::spread(whole), "%.2f"));
        }

        // A whole update, with the history and without.
        bench::heading("zarvik update of a 1 MiB plan (3 files) in process, one printer (ms)");
        {
            const std::string fw = scratch.file("fw");
            const std::string logs = scratch.file("log");
            std::vector<std::string> base = {"update", "--firmware", fw, "--log", logs};
            std::filesystem::create_directories(fw);
            bench::write_firmware(fw + "/Main-2.4.bin", 1048576 - 512000);
            bench::write_firmware(fw + "/fonts.xbf", 307200);
            bench::write_firmware(fw + "/ui-en.xbf", 204800);
            emu::UsbBus::instance().detach_all();
            emu::UsbBus::instance()
                .attach_printer(update::target_vendor_id, update::target_product_id, 1, 5)
                ->set_record_payloads(false);
            std::vector<double> without, with;
            for (int r = 0; r < rounds + 1; ++r) {
                auto no = base, yes = base;
                no.push_back("--no-history");
                yes.insert(yes.end(), {"--history", scratch.file("update.sqlite")});
                double a = 0, b = 0;
                a = ms_of([&] {
                    if (zarvik_run(no) != 0)
                        throw std::runtime_error("the update without a history failed");
                });
                b = ms_of([&] {
                    if (zarvik_run(yes) != 0)
                        throw std::runtime_error("the update with a history failed");
                });
                if (r > 0) {  // the first round warms the caches and makes the file
                    without.push_back(a);
                    with.push_back(b);
                }
            }
            const bench::Spread s0 = bench::spread(without), s1 = bench::spread(with);
            bench::report("--no-history", bench::format(s0, "%.1f"));
            bench::report("with the history", bench::format(s1, "%.1f"));
            bench::report("the history's share of the run", std::to_string(s1.median - s0.median).substr(0, 5) + " ms");
        }

        // Reading one printer's runs from a big history.
        bench::heading("zarvik history --serial on " + std::to_string(big) + " printer runs (ms)");
        {
            const std::string path = scratch.file("big.sqlite");
            auto db = history::Database::open(path, history::Database::Mode::write);
            // Filled without waiting for the disk at each commit (the figure
            // read is what matters here), then read as zarvik reads it.
            sqlite3_exec(db->handle(), "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
            const double fill = ms_of([&] {
                // 100 printers, updated in runs of 10 at a time.
                std::int64_t run_id = 0;
                for (int i = 0; i < big; ++i) {
                    if (i % 10 == 0)
                        run_id = db->add_run(run_record());
                    const std::int64_t id = db->add_printer(
                        run_id, {"FARM-" + std::to_string(i % 100), 1, 5 + i % 10, std::nullopt, 0x2C7E, 0x4201});
                    db->end_printer(id, {history::Outcome::updated, 3, false, std::nullopt, "", ""});
                }
            });
            db.reset();
            bench::report("filling it (one transaction per event, no wait for the disk)",
                          std::to_string(static_cast<long>(fill)) + " ms");
            std::vector<double> serial, one, since;
            std::size_t rows = 0;
            for (int r = 0; r < rounds; ++r) {
                serial.push_back(ms_of([&] {
                    std::vector<std::string> args = {"history", "--history", path, "--serial", "FARM-42"};
                    if (zarvik_run(args) != 0)
                        throw std::runtime_error("zarvik history failed");
                }));
                one.push_back(ms_of([&] {
                    history::Query q;
                    q.serial = "FARM-42";
                    rows = history::Database::open(path, history::Database::Mode::read)->read(q).size();
                }));
                since.push_back(ms_of([&] {
                    history::Query q;
                    q.serial = "FARM-42";
                    q.since = history::utc_now();
                    history::Database::open(path, history::Database::Mode::read)->read(q);
                }));
            }
            bench::report("zarvik history --serial FARM-42 (" + std::to_string(rows) + " lines)",
                          bench::format(bench::spread(serial), "%.1f"));
            bench::report("its read alone, open included", bench::format(bench::spread(one), "%.1f"));
            bench::report("with --since now (no line)", bench::format(bench::spread(since), "%.1f"));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-history: %s\n", e.what());
        return 1;
    }
    return 0;
}

// zarvik-farm: `zarvik update --all` on a farm of emulated printers through
// the real libusb-1.0, run after run, with some printers misbehaving.
//
//   zarvik-farm --emulator PATH --zarvik PATH [--runs N] [--seed S] [--jobs J]
//               [--printers P] [--work DIR]
//
// A calibration run without faults comes first: every printer must be
// updated, and its bulk transfers and its time fix where faults may fall and
// how long a run may take.  Then N runs with the seeds S, S+1, ..., J at a
// time, each under an emulator of its own with P printers.  A run's seed
// alone decides each printer's fault (farm_check.h: none for half of them; a
// failed transfer, silence, a vanish or a full store at a random point for
// the others) and whether zarvik reports in JSON (odd seeds) or plain text.
// After each run every printer must be given back or gone, with no upload
// left open, nothing taken up that did not arrive whole and every file held
// whole byte for byte the local one; the report and the exit status must
// agree with what the printers hold; and the run must end within its limit:
// its calibrated time half again, 5 s for drains and give-backs, and 23 s
// more when a printer was silenced (the longest time-out of one transfer,
// 20 s, and three one-second waits after it).
//
// Each run prints one line; a failed run prints all it found and the command
// that replays it.  The end gives the figures.  Exit status 0 when no run
// failed (cases already filed against the product are counted, not failed).
//
// The program is also each run's inner part, the emulator's child:
//   zarvik-farm --run SEED --transfers N --base SECONDS --firmware DIR --work DIR -- ZARVIK
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator_control.h"
#include "farm_check.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The firmware every printer gets: a main image of ten pieces, the last one
// short, and an additional file of three; a note that is not sent.
struct LocalFile {
    const char* name;
    const char* remote;
    std::size_t size;
};
const LocalFile firmware_files[] = {{"Firmware-3.1.bin", "0:/sys/orbrey.bin", 40000},
                                    {"fonts.xbf", "0:/sys/fonts.xbf", 9000}};

std::vector<std::string> plan_paths()
{
    std::vector<std::string> paths;
    for (const LocalFile& f : firmware_files)
        paths.push_back(f.remote);
    return paths;
}

std::vector<std::string> plan_names()
{
    std::vector<std::string> names;
    for (const LocalFile& f : firmware_files)
        names.push_back(std::string(f.remote).substr(7));
    return names;
}

std::uint64_t plan_bytes()
{
    std::uint64_t total = 0;
    for (const LocalFile& f : firmware_files)
        total += f.size;
    return total;
}

std::string bytes_of(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Starts `argv` with standard output into `output` and standard error into
// `errors` (the same file when they are the same); its pid, or -1.
pid_t start(const std::vector<std::string>& argv, const fs::path& output, const fs::path& errors)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errors == output)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ------------------------------------------------------------------ one run, under the emulator

struct RunOptions {
    unsigned seed = 0;  // 0: the calibration run, no faults
    std::uint64_t transfers = 0;
    double base_s = 0;
    std::string firmware, work, zarvik;
};

int run_inner(const RunOptions& o)
{
    emu::EmulatorControl control;
    const auto printers = control.printers();
    const int count = static_cast<int>(printers.size());
    const std::vector<farm::Fault> faults =
        o.seed ? farm::plan_faults(o.seed, count, o.transfers, plan_bytes()) : std::vector<farm::Fault>(count);
    bool silenced = false;
    std::map<std::string, int> by_kind;
    std::string planned;
    for (int i = 0; i < count; ++i) {
        const farm::Fault& f = faults[static_cast<std::size_t>(i)];
        const int id = printers[static_cast<std::size_t>(i)].id;
        if (f.what == farm::FaultClass::full_store)
            control.set_capacity(id, f.at);
        else if (f.kind == "vanish-after")
            control.vanish_after_data(id, f.at);
        else if (f.what != farm::FaultClass::none)
            control.fault_at(id, f.at, f.kind, f.amount);
        silenced = silenced || f.what == farm::FaultClass::silence;
        if (f.what != farm::FaultClass::none) {
            ++by_kind[f.kind];
            planned += " " + std::to_string(id) + ":" + f.text();
        }
    }
    const double limit = o.seed ? 1.5 * o.base_s + 5 + (silenced ? 23 : 0) : 120;
    const bool json = o.seed % 2 == 1;

    const fs::path work = o.work;
    std::vector<std::string> argv{o.zarvik,
                                  "update",
                                  "--firmware",
                                  o.firmware,
                                  "--all",
                                  "--log",
                                  (work / "log").string(),
                                  "--history",
                                  (work / "history.sqlite").string()};
    if (json)
        argv.push_back("--json");
    const auto started = Clock::now();
    const pid_t pid = start(argv, work / "out.txt", work / "err.txt");
    int status = 0;
    bool ended = false;
    while (pid > 0 && !ended) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!ended && seconds_since(started) > limit + 60) {
            ::kill(pid, SIGKILL);  // a hung run: what it leaves is checked all the same
            ::waitpid(pid, &status, 0);
            ended = true;
        } else if (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const double took = seconds_since(started);
    const int zarvik_status = pid > 0 ? exit_code(status) : -1;

    const std::string out = read_text(work / "out.txt");
    const std::string err = read_text(work / "err.txt");
    const farm::Report report = json ? farm::read_json(out) : farm::read_plain(out, plan_names());
    farm::Findings findings;
    for (const std::string& p : report.problems)
        findings.failures.push_back("report: " + p);

    std::map<std::string, std::string> local;
    for (const LocalFile& f : firmware_files)
        local[f.remote] = read_text(fs::path(o.firmware) / f.name);
    int updated = 0, gone = 0;
    for (int i = 0; i < count; ++i) {
        const auto& p = printers[static_cast<std::size_t>(i)];
        farm::Held held;
        held.place = std::to_string(p.bus) + ":" + std::to_string(p.address);
        for (const auto& now : control.printers())
            if (now.id == p.id)
                held.plugged = now.plugged;
        held.under_control = control.under_control(p.id);
        const auto upload = control.open_upload(p.id);
        held.upload_open = upload.open;
        held.upload_path = upload.path;
        for (const auto& install : control.installs(p.id))
            held.installs.emplace_back(install.path, install.complete);
        for (const auto& file : control.files(p.id)) {
            const auto sent = local.find(file.path);
            if (file.complete && (sent == local.end() || control.file_bytes(p.id, file.path) != sent->second))
                held.differing.push_back(file.path);
        }
        held.violations = control.violations(p.id);
        held.commands = control.commands(p.id);
        const auto r = report.printers.find(held.place);
        const farm::Reported* reported = r == report.printers.end() ? nullptr : &r->second;
        farm::check_printer(held, reported, faults[static_cast<std::size_t>(i)], plan_paths(), &findings);
        updated += reported && reported->succeed;
        gone += !held.plugged;
    }
    if (report.printers.size() != static_cast<std::size_t>(count))
        findings.failures.push_back("the report names " + std::to_string(report.printers.size()) + " printers, not " +
                                    std::to_string(count));
    if (!json && report.summary_updated != updated)
        findings.failures.push_back("the summary counts " + std::to_string(report.summary_updated) + " updated, the " +
                                    "lines " + std::to_string(updated));
    if (zarvik_status != (updated == count ? 0 : 1))
        findings.failures.push_back("zarvik ended with status " + std::to_string(zarvik_status) + " for " +
                                    std::to_string(updated) + " of " + std::to_string(count) + " updated");
    if (took > limit)
        findings.failures.push_back("the run took " + std::to_string(took) + " s, over its limit of " +
                                    std::to_string(limit) + " s");

    const char* verdict = !findings.failures.empty() ? "failed" : "ok";
    if (!findings.failures.empty() || o.seed == 0) {
        std::printf("zarvik %s -> %d\n%s%s", json ? "--json" : "(plain)", zarvik_status, out.c_str(), err.c_str());
        for (const std::string& f : findings.failures)
            std::printf("FAILED: %s\n", f.c_str());
    }
    // What a failed printer's link wrote, to understand it without the folder.
    for (const auto& p : printers) {
        const std::string place = std::to_string(p.bus) + ":" + std::to_string(p.address);
        const bool failed = std::any_of(findings.failures.begin(), findings.failures.end(),
                                        [&](const std::string& f) { return f.rfind(place + ": ", 0) == 0; });
        const fs::path logs = work / "log" / (std::to_string(p.bus) + "-" + std::to_string(p.address));
        std::error_code error;
        if (!failed || !fs::is_directory(logs, error))
            continue;
        for (const auto& entry : fs::directory_iterator(logs, error))
            std::printf("--- %s, log %s:\n%s", place.c_str(), entry.path().c_str(), read_text(entry.path()).c_str());
    }
    std::string kinds;
    for (const auto& [kind, n] : by_kind)
        kinds += (kinds.empty() ? "" : ",") + kind + ":" + std::to_string(n);
    std::uint64_t transfers = 0;
    for (const auto& p : printers)
        transfers = std::max(transfers, control.transfer_count(p.id));
    std::printf("farm-result seed=%u verdict=%s seconds=%.2f limit=%.1f updated=%d printers=%d gone=%d exit=%d "
                "transfers=%llu faults=%s json=%d plan=%s\n",
                o.seed, verdict, took, limit, updated, count, gone, zarvik_status,
                static_cast<unsigned long long>(transfers), kinds.empty() ? "-" : kinds.c_str(), json ? 1 : 0,
                planned.empty() ? " -" : planned.c_str());
    return findings.failures.empty() ? 0 : 1;
}

// ------------------------------------------------------------------ the runs

struct FarmOptions {
    std::string emulator, zarvik, work;
    int runs = 50;
    unsigned seed = 1;
    int jobs = 4;
    int printers = 8;
};

struct Result {
    unsigned seed = 0;
    std::string verdict = "failed";
    double seconds = 0, limit = 0;
    int updated = 0, printers = 0, gone = 0;
    std::uint64_t transfers = 0;
    std::map<std::string, int> faults;
    std::string plan, output;
};

Result read_result(unsigned seed, const std::string& output)
{
    Result r;
    r.seed = seed;
    r.output = output;
    const std::size_t at = output.rfind("farm-result ");
    if (at == std::string::npos)
        return r;
    std::istringstream fields(output.substr(at + 12, output.find('\n', at) - at - 12));
    std::string field;
    while (fields >> field) {
        const std::size_t eq = field.find('=');
        if (eq == std::string::npos)
            break;  // the plan, which runs to the end of the line
        const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "verdict")
            r.verdict = value;
        else if (key == "seconds")
            r.seconds = std::atof(value.c_str());
        else if (key == "limit")
            r.limit = std::atof(value.c_str());
        else if (key == "updated")
            r.updated = std::atoi(value.c_str());
        else if (key == "printers")
            r.printers = std::atoi(value.c_str());
        else if (key == "gone")
            r.gone = std::atoi(value.c_str());
        else if (key == "transfers")
            r.transfers = std::strtoull(value.c_str(), nullptr, 10);
        else if (key == "faults" && value != "-")
            for (std::size_t start = 0; start < value.size();) {
                const std::size_t end = std::min(value.find(',', start), value.size());
                const std::string item = value.substr(start, end - start);
                r.faults[item.substr(0, item.find(':'))] += std::atoi(item.c_str() + item.find(':') + 1);
                start = end + 1;
            }
        else if (key == "plan") {
            std::getline(fields, r.plan);
            r.plan = value + r.plan;
            break;
        }
    }
    return r;
}

std::vector<std::string> emulator_command(const FarmOptions& o, const RunOptions& run, const std::string& self)
{
    std::vector<std::string> argv{o.emulator};
    for (int i = 1; i <= o.printers; ++i)
        argv.insert(argv.end(), {"--printer", "target,serial=FARM-" + std::to_string(i)});
    char base[32];
    std::snprintf(base, sizeof base, "%.3f", run.base_s);
    argv.insert(argv.end(), {"--control", "auto", "--", self, "--run", std::to_string(run.seed), "--transfers",
                             std::to_string(run.transfers), "--base", base, "--firmware", run.firmware, "--work",
                             run.work, "--", run.zarvik});
    return argv;
}

int run_farm(const FarmOptions& o, const std::string& self)
{
    fs::path work = o.work;
    const bool temporary = work.empty();
    if (temporary) {
        char name[] = "/tmp/zarvik-farm-runs.XXXXXX";
        work = ::mkdtemp(name);
    }
    const fs::path firmware = work / "firmware";
    fs::create_directories(firmware);
    unsigned n = 1;
    for (const LocalFile& f : firmware_files)
        std::ofstream(firmware / f.name, std::ios::binary) << bytes_of(f.size, n++);
    std::ofstream(firmware / "notes.txt") << "not sent\n";

    RunOptions base;
    base.firmware = firmware.string();
    base.zarvik = o.zarvik;
    const auto run_one = [&](RunOptions run) {
        const fs::path dir = work / ("run-" + std::to_string(run.seed));
        fs::create_directories(dir);
        run.work = dir.string();
        const pid_t pid = start(emulator_command(o, run, self), dir / "report.txt", dir / "report.txt");
        return std::make_pair(pid, dir);
    };

    // The calibration run.
    const auto [calibration_pid, calibration_dir] = run_one(base);
    int status = 0;
    ::waitpid(calibration_pid, &status, 0);
    const Result calibration = read_result(0, read_text(calibration_dir / "report.txt"));
    if (exit_code(status) != 0 || calibration.verdict != "ok" || calibration.transfers == 0) {
        std::printf("the calibration run without faults failed:\n%s", calibration.output.c_str());
        std::printf("farm: the run's folder (its logs, zarvik's and the emulator's output) is %s\n",
                    calibration_dir.c_str());
        return 1;
    }
    base.transfers = calibration.transfers;
    base.base_s = calibration.seconds;
    std::printf("farm: %d printers, %d runs from seed %u, %d at a time; without faults a run takes %.2f s and "
                "%llu transfers per printer\n",
                o.printers, o.runs, o.seed, o.jobs, calibration.seconds,
                static_cast<unsigned long long>(calibration.transfers));
    std::fflush(stdout);

    const auto farm_start = Clock::now();
    std::map<pid_t, std::pair<unsigned, fs::path>> running;
    std::vector<Result> results;
    unsigned next = o.seed;
    const unsigned end = o.seed + static_cast<unsigned>(o.runs);
    while (next < end || !running.empty()) {
        while (next < end && static_cast<int>(running.size()) < o.jobs) {
            RunOptions run = base;
            run.seed = next++;
            const auto [pid, dir] = run_one(run);
            running[pid] = {run.seed, dir};
        }
        const pid_t done = ::waitpid(-1, &status, 0);
        const auto it = running.find(done);
        if (it == running.end())
            continue;
        Result r = read_result(it->second.first, read_text(it->second.second / "report.txt"));
        if (exit_code(status) != 0 && r.verdict != "failed")
            r.verdict = "failed";
        running.erase(it);
        std::printf("seed %u: %s in %.1f s (limit %.1f s): %d of %d updated, %d gone; faults:%s\n", r.seed,
                    r.verdict.c_str(), r.seconds, r.limit, r.updated, r.printers, r.gone, r.plan.c_str());
        if (r.verdict != "ok")
            std::printf("%s--- replay: %s --emulator %s --zarvik %s --runs 1 --seed %u --printers %d\n",
                        r.output.c_str(), self.c_str(), o.emulator.c_str(), o.zarvik.c_str(), r.seed, o.printers);
        std::fflush(stdout);
        results.push_back(r);
    }

    int failed = 0, updated = 0, printers = 0, gone = 0;
    double longest = 0, longest_limit = 0;
    std::map<std::string, int> faults;
    std::string failed_seeds;
    for (const Result& r : results) {
        failed += r.verdict == "failed";
        if (r.verdict == "failed")
            failed_seeds += " " + std::to_string(r.seed);
        updated += r.updated;
        printers += r.printers;
        gone += r.gone;
        if (r.seconds / r.limit > longest / std::max(longest_limit, 1e-9)) {
            longest = r.seconds;
            longest_limit = r.limit;
        }
        for (const auto& [kind, count] : r.faults)
            faults[kind] += count;
    }
    int injected = 0;
    std::string kinds;
    for (const auto& [kind, count] : faults) {
        injected += count;
        kinds += " " + kind + " " + std::to_string(count);
    }
    std::printf("farm: %zu runs in %.0f s; %d printer updates: %d updated, %d not (%d of them gone); %d faults "
                "injected:%s; the run closest to its limit took %.1f of %.1f s\n",
                results.size(), seconds_since(farm_start), printers, updated, printers - updated, gone, injected,
                kinds.c_str(), longest, longest_limit);
    std::printf("farm: %d runs failed%s%s\n", failed, failed ? ", seeds" : "", failed_seeds.c_str());
    if (temporary && failed == 0)
        fs::remove_all(work);
    else
        std::printf("farm: the runs' folders are in %s\n", work.c_str());
    return failed == 0 ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: zarvik-farm --emulator PATH --zarvik PATH [--runs N] [--seed S] [--jobs J] "
                         "[--printers P] [--work DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    FarmOptions farm_options;
    RunOptions run;
    bool inner = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--" && i + 1 < argc) {
            run.zarvik = argv[i + 1];
            break;
        }
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (option == "--emulator")
            farm_options.emulator = value;
        else if (option == "--zarvik")
            farm_options.zarvik = value;
        else if (option == "--runs")
            farm_options.runs = std::atoi(value.c_str());
        else if (option == "--seed")
            farm_options.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--jobs")
            farm_options.jobs = std::max(1, std::atoi(value.c_str()));
        else if (option == "--printers")
            farm_options.printers = std::atoi(value.c_str());
        else if (option == "--work")
            farm_options.work = run.work = value;
        else if (option == "--run")
            inner = true, run.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--transfers")
            run.transfers = std::strtoull(value.c_str(), nullptr, 10);
        else if (option == "--base")
            run.base_s = std::atof(value.c_str());
        else if (option == "--firmware")
            run.firmware = value;
        else
            return usage();
    }
    try {
        if (inner)
            return run.zarvik.empty() || run.firmware.empty() || run.work.empty() ? usage() : run_inner(run);
        if (farm_options.emulator.empty() || farm_options.zarvik.empty() || farm_options.runs < 1 ||
            farm_options.printers < 1 || farm_options.seed < 1)
            return usage();
        return run_farm(farm_options, fs::canonical("/proc/self/exe").string());
    } catch (const std::exception& e) {
        std::printf("zarvik-farm: %s\n", e.what());
        return 1;
    }
}

// A bench's day: one zarvik watch (the program, on the real libusb-1.0 and
// its hotplug events) while printers are plugged in and out, four sockets at
// a time, through the printer emulator's control socket.  Runs as the child
// of zarvik-printer-emulator --control auto; zarvik runs as its own child.
//
//   zarvik-soak-watch --zarvik PATH [--plugins N] [--sockets K] [--readings A,B,...] [--rss-margin KIB]
//
// Each round plugs a new printer into every socket, waits until each holds
// the image whole and is given back, and unplugs them; every tenth round one
// of them is plugged in again, and must be left alone.  zarvik's descriptors,
// threads and resident memory are read between rounds, with nothing plugged
// in, at the readings (default after 20 plug-ins and after the last); the
// first and the last must be the same within the margins.  At the end a Ctrl-C: zarvik must end with status 0,
// its events telling every printer updated once.  Exit status 0 when all holds.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulator_control.h"
#include "process_readings.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string zarvik;
    long plugins = 200;
    long sockets = 4;
    std::set<long> readings;
    std::uint64_t rss_margin_kib = 512;
};

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--zarvik")
            o->zarvik = value;
        else if (option == "--plugins")
            o->plugins = std::atol(value);
        else if (option == "--sockets")
            o->sockets = std::atol(value);
        else if (option == "--rss-margin")
            o->rss_margin_kib = std::strtoull(value, nullptr, 10);
        else if (option == "--readings")
            o->readings = soak::numbers(value);
        else
            return false;
    }
    if (argc % 2 == 0 || o->zarvik.empty() || o->plugins < 1 || o->sockets < 1 || o->sockets > 8)
        return false;
    if (o->readings.empty())
        o->readings = {std::min(20L, o->plugins), o->plugins};
    return true;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool wait_for(const std::function<bool()>& condition, double limit_s)
{
    const auto start = Clock::now();
    while (!condition()) {
        if (seconds_since(start) > limit_s)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// How many printers zarvik has left alone as updated earlier, so far.
long left_alone_again(const std::string& out_path)
{
    long n = 0;
    std::ifstream events(out_path);
    for (std::string line; std::getline(events, line);)
        n += line.find("\"state\":\"left_alone\"") != std::string::npos &&
             line.find("updated earlier") != std::string::npos;
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: zarvik-soak-watch --zarvik PATH [--plugins N] [--sockets K] [--readings A,B,...] "
                             "[--rss-margin KIB]\n");
        return 2;
    }
    if (!emu::EmulatorControl::available()) {
        std::fprintf(stderr, "zarvik-soak-watch: run me as the child of zarvik-printer-emulator --control auto\n");
        return 2;
    }
    emu::EmulatorControl control;
    testsupport::TempDir work;
    const std::string image = testsupport::pattern_bytes(8192, 7);
    std::filesystem::create_directories(work.path() / "firmware");
    testsupport::write_file(work.path() / "firmware" / "Main-2.4.bin", image);
    const std::string out_path = work.utf8("out.json");

    std::vector<std::string> args{options.zarvik, "watch", "--firmware",     work.utf8("firmware"),
                                  "--json",       "--log", work.utf8("log"), "--no-history"};
    std::vector<char*> child_argv;
    for (std::string& a : args)
        child_argv.push_back(&a[0]);
    child_argv.push_back(nullptr);
    const pid_t zarvik = ::fork();
    if (zarvik == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(work.utf8("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(child_argv[0], child_argv.data());
        ::_exit(127);
    }

    std::printf("%ld plug-ins in one zarvik watch, %ld sockets at a time; readings after plug-in", options.plugins,
                options.sockets);
    for (long at : options.readings)
        std::printf(" %ld", at);
    std::printf("; margins: descriptors 0, threads 0, resident memory %llu KiB\n",
                static_cast<unsigned long long>(options.rss_margin_kib));
    std::printf("%9s %8s  %s\n", "plug-ins", "seconds", "zarvik");

    const auto start = Clock::now();
    long plugged = 0, failed = 0, again = 0;
    std::vector<soak::Reading> checkpoints;
    std::set<long> readings = options.readings;
    for (long round = 0; plugged < options.plugins; ++round) {
        std::vector<int> ids;
        for (long socket = 0; socket < options.sockets && plugged < options.plugins; ++socket, ++plugged) {
            emu::ControlClient::NewPrinter p;
            p.vendor_id = 0x2C7E;
            p.product_id = 0x4201;
            p.ports = {static_cast<int>(socket + 1)};
            p.serial = "BENCH-" + std::to_string(plugged + 1);
            ids.push_back(control.plug(p));
        }
        for (int id : ids) {
            const bool updated =
                wait_for([&] { return control.installs(id).size() == 1 && !control.under_control(id); }, 30);
            if (!updated || control.file_bytes(id, "0:/sys/orbrey.bin") != image) {
                std::printf("printer %d: not updated\n", id);
                ++failed;
            }
        }
        for (int id : ids)
            control.unplug(id);
        // Every tenth round one of them comes back (rebooted to finish its
        // update): seen, left alone, never taken again.
        if (round % 10 == 9) {
            control.plug_back(ids.front());
            ++again;
            if (!wait_for([&] { return left_alone_again(out_path) == again; }, 30)) {
                std::printf("printer %d: plugged in again and not left alone\n", ids.front());
                ++failed;
            }
            control.unplug(ids.front());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the unplugging told and let go
        while (!readings.empty() && *readings.begin() <= plugged) {
            readings.erase(readings.begin());
            const soak::Reading r = soak::read_process(zarvik);
            checkpoints.push_back(r);
            std::printf("%9ld %8.1f  %s\n", plugged, seconds_since(start), soak::describe(r).c_str());
            std::fflush(stdout);
        }
    }

    ::kill(zarvik, SIGINT);
    int status = 0;
    ::waitpid(zarvik, &status, 0);
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    // What zarvik told: every printer updated once, the ones come back left alone.
    long done = 0;
    const long left_again = left_alone_again(out_path);
    std::ifstream events(out_path);
    for (std::string line; std::getline(events, line);) {
        const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
        done += !e.is_discarded() && e["event"] == "done" && e["succeed"] == true;
    }
    long takes_again = 0;
    for (const auto& p : control.printers()) {
        int takes = 0;
        for (const std::string& c : control.commands(p.id))
            takes += c == "~M601 S0";
        takes_again += takes > 1 ? 1 : 0;
    }

    int result = 0;
    const auto check = [&](bool holds, const std::string& what) {
        if (!holds) {
            std::printf("FAILED: %s\n", what.c_str());
            result = 1;
        }
    };
    check(failed == 0, std::to_string(failed) + " printers not updated");
    check(exit_status == 0, "zarvik ended with " + std::to_string(exit_status));
    check(done == options.plugins, "zarvik told " + std::to_string(done) + " printers updated");
    check(left_again == again && takes_again == 0, std::to_string(again) + " printers came back, " +
                                                       std::to_string(left_again) + " left alone, " +
                                                       std::to_string(takes_again) + " taken again");
    soak::Margins margins;
    margins.rss_kib = options.rss_margin_kib;
    if (checkpoints.size() >= 2)
        for (const std::string& finding : soak::growth(checkpoints.front(), checkpoints.back(), margins))
            check(false, "from the first reading to the last: " + finding);
    if (result == 0)
        std::printf("%ld printers updated once each, %ld plugged in again and left alone, in %.0f s; zarvik's "
                    "descriptors, threads and resident memory the same at the last reading as at the first\n",
                    done, again, seconds_since(start));
    return result;
}

// A day of the window's printer detection, as fast as it goes: the scan the
// window makes once a second (UpdateFirmware::detectPrinter, a whole USB
// listing through the real libusb-1.0, set-up and tear-down included), run
// back to back as the child of zarvik-printer-emulator with one printer,
// which is unplugged now and then and plugged in again a few scans later.
//
//   zarvik-soak-scans [--scans N] [--readings A,B,...] [--every K] [--seed S]
//                     [--rss-margin KIB]
//
// Every scan must find the printer exactly while it is plugged in.  This
// process's open descriptors, threads and resident memory are read at each
// of the readings (default 1,000 and N) and every K scans for the table; the
// first reading and the last must be the same, within the margins (stated
// with the table).  The emulator's own figures (the parent process) are
// shown beside them, and its descriptors and threads must hold too: a few
// descriptors more at the last reading are an appearance of the printer that
// has just left the bus and is not let go yet, a leak grows with the scans.
// Its resident memory is shown only: the printer model keeps a record of its
// traffic, which grows by design.  Exit status 0 when all holds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "emulator_control.h"
#include "process_readings.h"
#include "update_firmware.h"

namespace {

struct Options {
    long scans = 10000;
    std::set<long> readings;
    long every = 1000;
    unsigned seed = 24;
    std::uint64_t rss_margin_kib = 256;
};

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--scans")
            o->scans = std::atol(value);
        else if (option == "--every")
            o->every = std::atol(value);
        else if (option == "--seed")
            o->seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (option == "--rss-margin")
            o->rss_margin_kib = std::strtoull(value, nullptr, 10);
        else if (option == "--readings")
            o->readings = soak::numbers(value);
        else
            return false;
    }
    if (argc % 2 == 0 || o->scans < 1 || o->every < 1)
        return false;
    if (o->readings.empty())
        o->readings = {std::min(1000L, o->scans), o->scans};
    return *o->readings.begin() >= 1 && *o->readings.rbegin() <= o->scans;
}

// The scan prints the libusb version line on standard output each time: it
// goes to /dev/null, and the report to a stream of its own.
std::FILE* report_stream()
{
    std::fflush(stdout);
    std::FILE* report = ::fdopen(::dup(STDOUT_FILENO), "w");
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    return report;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: zarvik-soak-scans [--scans N] [--readings A,B,...] [--every K] [--seed S] "
                             "[--rss-margin KIB]\n");
        return 2;
    }
    if (!emu::EmulatorControl::available()) {
        std::fprintf(stderr, "zarvik-soak-scans: run me as the child of zarvik-printer-emulator --control auto\n");
        return 2;
    }
    emu::EmulatorControl control;
    constexpr int printer = 1;
    std::FILE* report = report_stream();

    // Unplugged after 50 to 350 scans, for 1 to 5 scans.
    std::mt19937 random(options.seed);
    const auto next = [&](long low, long high) { return std::uniform_int_distribution<long>(low, high)(random); };
    bool plugged = true;
    long change_at = next(50, 350);
    long replugs = 0, wrong = 0;

    std::fprintf(report, "%ld scans, one printer, readings at", options.scans);
    for (long at : options.readings)
        std::fprintf(report, " %ld", at);
    std::fprintf(report, "; margins: descriptors 0, threads 0, resident memory %llu KiB\n",
                 static_cast<unsigned long long>(options.rss_margin_kib));
    std::fprintf(report, "%8s %8s %6s  %-50s  %s\n", "scans", "seconds", "found", "this process", "the emulator");
    std::fflush(report);

    UpdateFirmware worker;
    std::vector<soak::Reading> checkpoints, emulator_checkpoints;
    long found = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long scan = 1; scan <= options.scans; ++scan) {
        if (scan == change_at) {
            if (plugged) {
                control.unplug(printer);
                change_at = scan + next(1, 5);
            } else {
                control.plug_back(printer);
                ++replugs;
                change_at = scan + next(50, 350);
            }
            plugged = !plugged;
        }
        const bool detected = worker.detectPrinter();
        found += detected;
        if (detected != plugged && ++wrong <= 5)
            std::fprintf(report, "scan %ld: the printer is %s but was %sfound\n", scan,
                         plugged ? "plugged in" : "unplugged", detected ? "" : "not ");

        const bool checkpoint = options.readings.count(scan) != 0;
        if (checkpoint || scan % options.every == 0) {
            const soak::Reading own = soak::read_process();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::string parent = "-";
            soak::Reading emulator;
            try {
                emulator = soak::read_process(::getppid());
                parent = soak::describe(emulator);
            } catch (const std::exception&) {
            }
            std::fprintf(report, "%8ld %8.1f %6ld  %-50s  %s\n", scan, seconds, found, soak::describe(own).c_str(),
                         parent.c_str());
            std::fflush(report);
            if (checkpoint) {
                checkpoints.push_back(own);
                emulator_checkpoints.push_back(emulator);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int status = 0;
    std::fprintf(report, "%ld scans in %.1f s (%.2f ms each), the printer unplugged and plugged in again %ld times\n",
                 options.scans, seconds, 1000.0 * seconds / static_cast<double>(options.scans), replugs);
    if (wrong) {
        std::fprintf(report, "FAILED: %ld scans did not see the printer as it was\n", wrong);
        status = 1;
    }
    const soak::Margins margins{0, 0, options.rss_margin_kib};
    for (const std::string& finding : soak::growth(checkpoints.front(), checkpoints.back(), margins)) {
        std::fprintf(report, "FAILED: from scan %ld to scan %ld: %s\n", *options.readings.begin(),
                     *options.readings.rbegin(), finding.c_str());
        status = 1;
    }
    // An appearance on its way out holds its socket and its FIFO, and a
    // control request may be in flight.
    const soak::Margins emulator_margins{3, 0, UINT64_MAX / 2};
    for (const std::string& finding :
         soak::growth(emulator_checkpoints.front(), emulator_checkpoints.back(), emulator_margins)) {
        std::fprintf(report, "FAILED: the emulator, from scan %ld to scan %ld: %s\n", *options.readings.begin(),
                     *options.readings.rbegin(), finding.c_str());
        status = 1;
    }
    if (status == 0)
        std::fprintf(report,
                     "flat: descriptors, threads and resident memory the same at scan %ld and scan %ld; the "
                     "emulator's descriptors and threads too\n",
                     *options.readings.begin(), *options.readings.rbegin());
    std::fclose(report);
    return status;
}

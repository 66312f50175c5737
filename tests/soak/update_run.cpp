// A thousand updates in a row in one process: the window's update worker
// (UpdateFirmware, the Qt front of the update core, as the window calls it)
// on the in-process emulated bus and the virtual clock.  Each update goes to
// a printer fresh from the box, plugged in where the one before was, with
// the firmware files written anew with other bytes.
//
//   zarvik-soak-updates [--updates N] [--readings A,B,...] [--every K] [--rss-margin KIB]
//
// Every update must end with done(true) and no error, and leave its printer
// holding exactly the three files, each whole and byte for byte as sent,
// taken up once each in order, given back, with nothing a careful host never
// does and every libusb call paired.  This process's descriptors, threads and
// resident memory are read at the readings (default after update 100 and
// after the last) and every K updates for the table; the first reading and
// the last must be the same within the margins.  Exit status 0 when all holds.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/devices.h"
#include "libusb/usb_bus.h"
#include "process_readings.h"
#include "support/test_support.h"
#include "update_firmware.h"

namespace {

struct Options {
    long updates = 1000;
    std::set<long> readings;
    long every = 100;
    std::uint64_t rss_margin_kib = 256;
};

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--updates")
            o->updates = std::atol(value);
        else if (option == "--every")
            o->every = std::atol(value);
        else if (option == "--rss-margin")
            o->rss_margin_kib = std::strtoull(value, nullptr, 10);
        else if (option == "--readings")
            o->readings = soak::numbers(value);
        else
            return false;
    }
    if (argc % 2 == 0 || o->updates < 1 || o->every < 1)
        return false;
    if (o->readings.empty())
        o->readings = {std::min(100L, o->updates), o->updates};
    return *o->readings.begin() >= 1 && *o->readings.rbegin() <= o->updates;
}

struct Firmware {
    QString name;
    std::string remote;
    std::size_t size;
    std::string bytes;
};

// What one update left wrong; empty when it is right.
std::vector<std::string> check_update(const emu::Printer& printer, const std::vector<Firmware>& firmware, int done_true,
                                      int done_false, const QStringList& errors)
{
    std::vector<std::string> wrong;
    if (done_true != 1 || done_false != 0 || !errors.isEmpty())
        wrong.push_back("the worker reported done(true) " + std::to_string(done_true) + " times, done(false) " +
                        std::to_string(done_false) + " times" +
                        (errors.isEmpty() ? std::string() : ", error " + errors.front().toStdString()));
    if (printer.files().size() != firmware.size())
        wrong.push_back("the printer holds " + std::to_string(printer.files().size()) + " files");
    for (const Firmware& f : firmware) {
        const auto held = printer.files().find(f.remote);
        if (held == printer.files().end()) {
            wrong.push_back(f.remote + " is missing");
            continue;
        }
        const std::vector<std::uint8_t>& data = held->second.data;
        if (!held->second.complete || held->second.announced != f.bytes.size() ||
            !std::equal(data.begin(), data.end(), f.bytes.begin(), f.bytes.end(),
                        [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
            wrong.push_back(f.remote + " is not byte for byte what was sent");
    }
    std::vector<std::string> taken;
    for (const emu::Install& install : printer.installs())
        taken.push_back(install.path + (install.complete ? "" : " (incomplete)"));
    std::vector<std::string> expected;
    for (const Firmware& f : firmware)
        expected.push_back(f.remote);
    if (taken != expected)
        wrong.push_back("the printer took up " + std::to_string(taken.size()) + " files, not each once in order");
    if (printer.under_control())
        wrong.push_back("the printer was not given back");
    for (const std::string& what : printer.violations())
        wrong.push_back("the printer saw: " + what);
    const emu::UsbBus& bus = emu::UsbBus::instance();
    for (const std::string& what : bus.misuse)
        wrong.push_back("libusb misuse: " + what);
    const emu::LibraryCounters& c = bus.counters;
    if (c.live_device_lists || c.live_handles || c.claimed_interfaces || c.default_context_refs || c.inits != c.exits ||
        c.unmatched_exits)
        wrong.push_back("libusb left open: lists " + std::to_string(c.live_device_lists) + ", handles " +
                        std::to_string(c.live_handles) + ", claims " + std::to_string(c.claimed_interfaces) +
                        ", inits " + std::to_string(c.inits) + " against exits " + std::to_string(c.exits));
    return wrong;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);  // the worker finds its log folder beside the program
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: zarvik-soak-updates [--updates N] [--readings A,B,...] [--every K] "
                             "[--rss-margin KIB]\n");
        return 2;
    }

    testsupport::TempDir folder;
    const QString dir = QString::fromStdString(folder.utf8());
    // A main image of many pieces with a short last one, an additional file
    // of exactly one piece, and one of a few bytes.
    std::vector<Firmware> firmware = {{QStringLiteral("Main-2.7.bin"), "0:/sys/orbrey.bin", 300000, {}},
                                      {QStringLiteral("fonts.xbf"), "0:/sys/fonts.xbf", 4096, {}},
                                      {QStringLiteral("ui-en.xbf"), "0:/sys/ui-en.xbf", 37, {}}};
    QFileInfoList files;
    for (const Firmware& f : firmware)
        files << QFileInfo(dir + QLatin1Char('/') + f.name);
    QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/log")).removeRecursively();

    std::printf("%ld updates of %zu files, each on a new printer; readings after update", options.updates,
                firmware.size());
    for (long at : options.readings)
        std::printf(" %ld", at);
    std::printf("; margins: descriptors 0, threads 0, resident memory %llu KiB\n",
                static_cast<unsigned long long>(options.rss_margin_kib));
    std::printf("%8s %8s  %s\n", "updates", "seconds", "this process");
    std::fflush(stdout);

    UpdateFirmware worker;
    int done_true = 0, done_false = 0;
    QStringList errors;
    QObject::connect(&worker, &UpdateFirmware::done, [&](bool ok) { ++(ok ? done_true : done_false); });
    QObject::connect(&worker, &UpdateFirmware::error, [&](const QString& m) { errors << m; });

    std::vector<soak::Reading> checkpoints;
    long failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long n = 1; n <= options.updates; ++n) {
        // Time goes on from update to update; the clock forgets the pauses it recorded.
        emu::VirtualClock::reset(com::platform::utc_now(), com::platform::tick_count());
        emu::UsbBus& bus = emu::UsbBus::instance();
        bus.reset();
        const auto printer = bus.attach_printer(com::ids::vendor_halvenn, com::ids::product_orbrey, 1, 5);
        printer->set_record_payloads(false);
        for (std::size_t i = 0; i < firmware.size(); ++i) {
            firmware[i].bytes = testsupport::pattern_bytes(firmware[i].size, static_cast<std::uint32_t>(n * 7 + i));
            testsupport::write_file(folder.path() / firmware[i].name.toStdString(), firmware[i].bytes);
        }
        done_true = done_false = 0;
        errors.clear();
        worker.update(files);

        const std::vector<std::string> wrong = check_update(*printer, firmware, done_true, done_false, errors);
        if (!wrong.empty() && ++failed <= 5)
            for (const std::string& what : wrong)
                std::printf("update %ld: %s\n", n, what.c_str());

        const bool checkpoint = options.readings.count(n) != 0;
        if (checkpoint || n % options.every == 0) {
            const soak::Reading own = soak::read_process();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%8ld %8.1f  %s\n", n, seconds, soak::describe(own).c_str());
            std::fflush(stdout);
            if (checkpoint)
                checkpoints.push_back(own);
        }
    }

    int status = 0;
    std::printf("%ld updates, %ld of them wrong\n", options.updates, failed);
    if (failed)
        status = 1;
    const soak::Margins margins{0, 0, options.rss_margin_kib};
    for (const std::string& finding : soak::growth(checkpoints.front(), checkpoints.back(), margins)) {
        std::printf("FAILED: from update %ld to update %ld: %s\n", *options.readings.begin(),
                    *options.readings.rbegin(), finding.c_str());
        status = 1;
    }
    if (status == 0)
        std::printf("every update byte-exact; descriptors, threads and resident memory the same after update %ld "
                    "and update %ld\n",
                    *options.readings.begin(), *options.readings.rbegin());
    return status;
}

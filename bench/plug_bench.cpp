// A printer plugged in, as zarvik watch meets it:
//   - how long after its arrival is told (the hotplug event) it can first be
//     opened and taken ("~M601 S0" answered): what a settle time must cover
//     on this transport;
//   - the time from the plug-in to the first "~M601 S0" the printer sees
//     while zarvik watch runs (with its settle time).
//
// Two builds of this file:
//   zarvik-bench-plug           in process, on the emulated bus (real time:
//                               the settle time and every other wait move the
//                               virtual clock on at once)
//   zarvik-bench-plug-emulator  through the real libusb-1.0 and its hotplug
//                               events, as the child of the umockdev printer
//                               emulator (scripts/bench.sh starts it):
//     zarvik-printer-emulator --control auto -- zarvik-bench-plug-emulator [--rounds=N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/result.h"
#include "com/usb_monitor.h"
#include "support.h"
#include "update/target.h"
#include "zarvik.h"

#ifdef ZARVIK_BENCH_IN_PROCESS
#include "clock/virtual_clock.h"
#include "libusb/usb_bus.h"
#else
#include "emulator_control.h"
#endif

namespace {

constexpr int first_port = 1;

// The printers this benchmark plugs in, one after another, each at the same port.
class Plugger {
public:
    // Plugs in printer `n`, with the serial "PLUG-n".
    void plug(int n)
    {
#ifdef ZARVIK_BENCH_IN_PROCESS
        emu::DeviceSpec spec = emu::printer_identity(update::target_vendor_id, update::target_product_id, 1,
                                                     static_cast<std::uint8_t>(5 + n % 100));
        spec.serial = "PLUG-" + std::to_string(n);
        spec.ports = {first_port};
        printer = std::make_shared<emu::Printer>(spec.endpoints);
        printer->set_command_hook([this](const std::string& line) {
            if (line == "~M601 S0" && !seen.exchange(true))
                seen_at = now_ms();
        });
        seen = false;
        device = emu::UsbBus::instance().attach(spec, printer);
#else
        emu::ControlClient::NewPrinter p;
        p.vendor_id = update::target_vendor_id;
        p.product_id = update::target_product_id;
        p.ports = {first_port};
        p.serial = "PLUG-" + std::to_string(n);
        id = control.plug(p);
#endif
        plugged_at = now_ms();
    }

    void unplug()
    {
#ifdef ZARVIK_BENCH_IN_PROCESS
        emu::UsbBus::instance().detach(device);
#else
        control.unplug(id);
#endif
    }

    // Waits for the printer's first "~M601 S0"; milliseconds from its plug-in
    // on the clock the link sees, and in real time; -1 when none came.
    void first_take(double* clock_ms, double* real_ms)
    {
        const double started = bench::wall_seconds();
#ifdef ZARVIK_BENCH_IN_PROCESS
        while (!seen && bench::wall_seconds() - started < 30)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        *clock_ms = seen ? seen_at - plugged_at : -1;
        *real_ms = seen ? (bench::wall_seconds() - started) * 1000 : -1;
#else
        for (;;) {
            const std::vector<std::string> commands = control.commands(id);
            if (std::find(commands.begin(), commands.end(), "~M601 S0") != commands.end())
                break;
            if (bench::wall_seconds() - started > 30) {
                *clock_ms = *real_ms = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        *clock_ms = *real_ms = now_ms() - plugged_at;
#endif
    }

    // Whether the printer holds the firmware and was given back.
    bool updated()
    {
#ifdef ZARVIK_BENCH_IN_PROCESS
        return printer->installs().size() == 1 && !printer->under_control();
#else
        return control.installs(id).size() == 1 && !control.under_control(id);
#endif
    }

    // Milliseconds on the clock the link reads.
    static double now_ms()
    {
#ifdef ZARVIK_BENCH_IN_PROCESS
        return static_cast<double>(emu::VirtualClock::elapsed_ms());
#else
        return bench::wall_seconds() * 1000;
#endif
    }

private:
#ifdef ZARVIK_BENCH_IN_PROCESS
    std::shared_ptr<emu::Printer> printer;
    std::shared_ptr<emu::EmulatedDevice> device;
    std::atomic<bool> seen{false};
    double seen_at = 0;
#else
    emu::EmulatorControl control;
    int id = 0;
#endif
    double plugged_at = 0;
};

// From the arrival the monitor tells (no settle time) to the first take of
// control that succeeds, trying every millisecond.
void settle_needed(Plugger& plugger, int rounds)
{
    std::vector<double> after_arrival, tries, plug_to_arrival;
    com::UsbMonitor::Options options;
    options.settle_ms = 0;
    for (int n = 0; n < rounds; ++n) {
        com::UsbMonitor monitor(options);
        if (monitor.start() != com::COM_SUCCESS)
            throw std::runtime_error("the bus cannot be watched");
        std::vector<com::UsbMonitor::Change> changes;
        monitor.wait(0, &changes);
        changes.clear();
        const double plugged = bench::wall_seconds();
        plugger.plug(1000 + n);
        com::UsbPrinterRecord arrived{};
        bool found = false;
        while (!found && bench::wall_seconds() - plugged < 10) {
            monitor.wait(100, &changes);
            for (const auto& c : changes)
                if (c.kind == com::UsbMonitor::Kind::arrived) {
                    arrived = c.printer;
                    found = true;
                }
            changes.clear();
        }
        if (!found)
            throw std::runtime_error("no arrival told");
        const double arrival = bench::wall_seconds();
        int attempts = 0;
        for (;;) {
            ++attempts;
            const com::UsbDeviceRecord& d = arrived.device;
            std::unique_ptr<com::Com> link(com::ComFactory().create_usb_at(
                d.bus_number, d.device_address, d.info.vendor_id, d.info.product_id, std::string(), false));
            if (link->com_open(200, true) == com::COM_SUCCESS)
                break;
            if (bench::wall_seconds() - arrival > 10)
                throw std::runtime_error("never taken after its arrival");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        after_arrival.push_back((bench::wall_seconds() - arrival) * 1000);
        plug_to_arrival.push_back((arrival - plugged) * 1000);
        tries.push_back(attempts);
        plugger.unplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bench::report("plug-in to its arrival told, ms", bench::format(bench::spread(plug_to_arrival), "%.1f"));
    bench::report("arrival to the first take of control, ms", bench::format(bench::spread(after_arrival), "%.1f"));
    bench::report("opens tried until one took", bench::format(bench::spread(tries), "%.0f"));
}

// zarvik watch running, printers plugged in one after another.
void watch_to_first_take(Plugger& plugger, int rounds)
{
    bench::ScratchFolder folder("plug-bench");
    bench::write_firmware(folder.file("Main.bin"), 4096);
    std::FILE* out = std::fopen(folder.file("out.txt").c_str(), "w");
    std::FILE* err = std::fopen(folder.file("err.txt").c_str(), "w");
    zarvik::Io io;
    io.out = out;
    io.err = err;
    io.program_dir = folder.path();
    int status = -1;
    std::thread watch([&] {
        status = zarvik::run({"watch", "--firmware", folder.path(), "--count", std::to_string(rounds), "--log",
                              folder.file("log"), "--no-history"},
                             io);
    });
    std::vector<double> clock_ms, real_ms;
    for (int n = 0; n < rounds; ++n) {
        plugger.plug(n);
        double c = 0, r = 0;
        plugger.first_take(&c, &r);
        if (c < 0)
            throw std::runtime_error("the watch never took printer " + std::to_string(n));
        clock_ms.push_back(c);
        real_ms.push_back(r);
        const double started = bench::wall_seconds();
        while (!plugger.updated() && bench::wall_seconds() - started < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        plugger.unplug();
    }
    watch.join();
    std::fclose(out);
    std::fclose(err);
    if (status != 0)
        throw std::runtime_error("the watch ended with " + std::to_string(status));
#ifdef ZARVIK_BENCH_IN_PROCESS
    // The virtual clock moves on by every wait of every thread, the watch's
    // own idle ones among them: only the real time tells here.
    (void)clock_ms;
    bench::report("plug-in to the first ~M601, real ms (the waits cost none)",
                  bench::format(bench::spread(real_ms), "%.2f"));
#else
    bench::report("plug-in to the first ~M601, ms", bench::format(bench::spread(real_ms), "%.1f"));
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        bench::refuse_other_options(argc, argv, {"rounds"});
        const int rounds = bench::count_option(argc, argv, "rounds", 10);
        Plugger plugger;
#ifdef ZARVIK_BENCH_IN_PROCESS
        bench::heading("A printer plugged in, on the emulated bus (" + std::to_string(rounds) + " rounds)");
#else
        bench::heading("A printer plugged in, through the real libusb-1.0 under umockdev (" + std::to_string(rounds) +
                       " rounds)");
#endif
        settle_needed(plugger, rounds);
        watch_to_first_take(plugger, rounds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-plug: %s\n", e.what());
        return 1;
    }
}

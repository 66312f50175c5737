// `zarvik update --all`'s parallel updates: 1, 4 and 16 printers updated at
// once with the same 1 MiB plan, one update::Session and one link each, each
// on a thread of its own, as zarvik runs them.  Reports the wall time for N
// printers against the time of one.
//
// Two builds of this file:
//   zarvik-bench-parallel           in process, on the emulated bus.  Each
//                                   printer is on a link of its own, as on a
//                                   real bus: its bulk transfers hold its own
//                                   lock only and take the real time that a
//                                   full-speed (12 Mbit/s) or a high-speed
//                                   (480 Mbit/s) link needs for them; the
//                                   virtual clock makes the fixed waits free.
//                                   It runs the sessions alone (the update
//                                   core) and zarvik's own `update --all`
//                                   (zarvik::run, its display on a terminal
//                                   that reads at once).
//   zarvik-bench-parallel-emulator  through the real libusb-1.0, as the child
//                                   of the umockdev printer emulator with 16
//                                   printers (scripts/bench.sh starts it):
//     zarvik-printer-emulator --printer target (16 times) --
//         zarvik-bench-parallel-emulator [--rounds=N]
//
// Through the emulator it also takes the CPU time of the emulator (its
// parent, from /proc) and of the emulator's busiest thread: where the time
// goes when N updates do not overlap.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "com/com_factory.h"
#include "support.h"
#include "update/session.h"
#include "update/target.h"

#ifdef ZARVIK_BENCH_IN_PROCESS
#include <sys/prctl.h>

#include "clock/virtual_clock.h"
#include "libusb/usb_bus.h"
#include "zarvik.h"
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t image_bytes = 1 << 20;
#ifdef ZARVIK_BENCH_IN_PROCESS
constexpr bool emulator_apart = false;  // the printers run in this program
#else
constexpr bool emulator_apart = true;  // the emulator is this program's parent
#endif
constexpr std::size_t most_printers = 16;

class Quiet : public update::Observer {
public:
    void progress(int, float) override {}
    void error(const update::Failure& f) override { failure = f.message; }
    void done(bool) override {}
    std::string failure;
};

// The emulator's CPU time so far (this program's parent), in seconds, or -1;
// 0 when the printers run in this program.
double emulator_cpu()
{
    if (!emulator_apart)
        return 0;
    return bench::stat_cpu_seconds("/proc/" + std::to_string(::getppid()) + "/stat");
}

// The CPU time of each of the emulator's threads so far, by thread id
// (none when the printers run in this program).
std::map<std::string, double> emulator_thread_cpu()
{
    std::map<std::string, double> out;
    if (!emulator_apart)
        return out;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(::getppid()) + "/task", error))
        out[task.path().filename().string()] = bench::stat_cpu_seconds((task.path() / "stat").string());
    return out;
}

std::vector<com::UsbDeviceRecord> target_printers()
{
    std::vector<com::UsbPrinterRecord> found;
    if (com::ComFactory().list_usb_printers(&found) != 0)
        throw std::runtime_error("listing the printers failed");
    std::vector<com::UsbDeviceRecord> out;
    for (const auto& r : found)
        if (update::is_target(r.device.info.vendor_id, r.device.info.product_id))
            out.push_back(r.device);
    return out;
}

// Milliseconds of one round: wall time, this program's CPU, the emulator's,
// and the emulator's busiest thread's.
struct Round {
    double wall = 0, cpu = 0, emulator = 0, busiest_thread = 0;
};

// Updates the first `n` printers at once; throws when one fails.
Round update_at_once(const std::vector<com::UsbDeviceRecord>& printers, std::size_t n, const update::Plan& plan,
                     const fs::path& logs)
{
    std::vector<std::unique_ptr<Quiet>> observers;
    std::vector<std::unique_ptr<update::Session>> sessions;
    std::vector<update::Outcome> outcomes(n);
    for (std::size_t i = 0; i < n; ++i) {
        observers.push_back(std::make_unique<Quiet>());
        sessions.push_back(std::make_unique<update::Session>(plan, *observers.back()));
        fs::create_directories(logs / std::to_string(i));
    }
    const std::map<std::string, double> threads_before = emulator_thread_cpu();
    const double cpu = bench::process_cpu_seconds(), emulator = emulator_cpu(), start = bench::wall_seconds();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            const com::UsbDeviceRecord& p = printers[i];
            outcomes[i] = sessions[i]->run([&] {
                return com::ComFactory().create_usb_at(p.bus_number, p.device_address, p.info.vendor_id,
                                                       p.info.product_id, (logs / std::to_string(i)).string(), true);
            });
        });
    for (std::thread& t : threads)
        t.join();
    Round r{(bench::wall_seconds() - start) * 1e3, (bench::process_cpu_seconds() - cpu) * 1e3,
            (emulator_cpu() - emulator) * 1e3, 0};
    for (const auto& [id, seconds] : emulator_thread_cpu()) {
        const auto before = threads_before.find(id);
        r.busiest_thread =
            std::max(r.busiest_thread, (seconds - (before == threads_before.end() ? 0 : before->second)) * 1e3);
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!outcomes[i].succeed)
            throw std::runtime_error("printer " + std::to_string(i) + ": " + observers[i]->failure);
    return r;
}

#ifdef ZARVIK_BENCH_IN_PROCESS
// Unplugs every printer and plugs in `n`, each on a link of its own at `speed`.
std::vector<com::UsbDeviceRecord> attach_printers(std::size_t n, const emu::WireSpeed& speed)
{
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.detach_all();
    bus.independent_devices = true;
    for (std::size_t i = 0; i < n; ++i) {
        auto printer = bus.attach_printer(update::target_vendor_id, update::target_product_id, 1,
                                          static_cast<std::uint8_t>(5 + i));
        printer->set_record_payloads(false);
        printer->set_max_packet(speed.packet_bytes);
        bus.find(printer.get())->wire = &speed;
    }
    return target_printers();
}

// zarvik's own `update --all` of every attached printer, its display drawn
// for a terminal that takes every byte at once.
Round zarvik_update_all(const std::string& firmware, const fs::path& logs)
{
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (!sink)
        throw std::runtime_error("cannot open /dev/null");
    zarvik::Io io;
    io.out = sink;
    io.err = sink;
    io.terminal = true;
    io.terminal_width = [] { return 120; };
    const double cpu = bench::process_cpu_seconds(), start = bench::wall_seconds();
    const int status = zarvik::run({"update", "--firmware", firmware, "--all", "--log", logs.string()}, io);
    Round r{(bench::wall_seconds() - start) * 1e3, (bench::process_cpu_seconds() - cpu) * 1e3, 0, 0};
    std::fclose(sink);
    if (status != zarvik::exit_updated)
        throw std::runtime_error("zarvik update --all ended with status " + std::to_string(status));
    return r;
}
#endif

// Log file names go by the second: every round starts in a second of its own,
// so that no two rounds share a log file.
void next_second()
{
#ifdef ZARVIK_BENCH_IN_PROCESS
    emu::VirtualClock::advance(2000);
#else
    const auto ms = static_cast<int>(bench::wall_seconds() * 1000) % 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(1001 - ms));
#endif
}

// "MEDIAN [MIN, MAX] ms = R x one; CPU C ms" for the walls and CPU times of
// the rounds, against the median wall time of one printer.
std::string figure_of(const std::vector<double>& wall, const std::vector<double>& cpu, double one)
{
    const bench::Spread w = bench::spread(wall);
    char figure[160];
    std::snprintf(figure, sizeof figure, " ms = %.3f x one; CPU %.1f ms", w.median / one, bench::spread(cpu).median);
    return bench::format(w, "%.1f") + figure;
}

const std::size_t printer_counts[] = {1, 4, most_printers};

}  // namespace

int main(int argc, char** argv)
{
    try {
#ifdef ZARVIK_BENCH_IN_PROCESS
        // For a profile of one case: --printers=N, 1 and N printers only;
        // --speed=12 or 480, that link only; --path=sessions or zarvik, that
        // way only.
        bench::refuse_other_options(argc, argv, {"rounds", "printers", "speed", "path"});
        const std::string only_path = bench::text_option(argc, argv, "path", {"sessions", "zarvik"}, "");
        const std::size_t only = static_cast<std::size_t>(bench::count_option(argc, argv, "printers", 0));
        const int only_speed = bench::count_option(argc, argv, "speed", 0);
        std::vector<std::size_t> counts(std::begin(printer_counts), std::end(printer_counts));
        if (only > 0)
            counts = only == 1 ? std::vector<std::size_t>{1} : std::vector<std::size_t>{1, only};
#else
        bench::refuse_other_options(argc, argv, {"rounds"});
#endif
        const int rounds = bench::count_option(argc, argv, "rounds", 5);
        bench::ScratchFolder scratch("parallel");
        const fs::path folder = fs::path(scratch.path()) / "fw", logs = fs::path(scratch.path()) / "logs";
        fs::create_directories(folder);
        bench::write_firmware((folder / "image.bin").string(), image_bytes);
        const update::Plan plan = update::plan_folder(folder.string());
#ifdef ZARVIK_BENCH_IN_PROCESS
        // Wake-ups at the wire's own times, not up to 50 us later.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const struct {
            const char* name;
            int mbit;
            const emu::WireSpeed& speed;
        } speeds[] = {{"full-speed (12 Mbit/s)", 12, emu::full_speed},
                      {"high-speed (480 Mbit/s)", 480, emu::high_speed}};
        for (const auto& s : speeds) {
            if (only_speed != 0 && only_speed != s.mbit)
                continue;
            bench::heading(std::string("Parallel updates of a 1 MiB plan in process, each printer on a ") + s.name +
                           " link of its own (median [min, max] of " + std::to_string(rounds) + " rounds):");
            for (const bool whole_zarvik : {false, true}) {
                if (!only_path.empty() && whole_zarvik != (only_path == "zarvik"))
                    continue;
                double one = 0;
                for (const std::size_t n : counts) {
                    const auto update_round = [&] {
                        next_second();
                        fs::remove_all(logs);
                        fs::create_directories(logs);
                        const std::vector<com::UsbDeviceRecord> printers = attach_printers(n, s.speed);
                        return whole_zarvik ? zarvik_update_all(folder.string(), logs)
                                            : update_at_once(printers, n, plan, logs);
                    };
                    update_round();  // warm-up
                    std::vector<double> wall, cpu;
                    for (int r = 0; r < rounds; ++r) {
                        const Round round = update_round();
                        wall.push_back(round.wall);
                        cpu.push_back(round.cpu);
                    }
                    if (n == 1)
                        one = bench::spread(wall).median;
                    bench::report(std::to_string(n) + (n == 1 ? " printer" : " printers") +
                                      (whole_zarvik ? ", zarvik update --all" : ", the sessions alone"),
                                  figure_of(wall, cpu, one));
                }
            }
        }
#else
        const std::vector<com::UsbDeviceRecord> printers = target_printers();
        if (printers.size() < most_printers)
            throw std::runtime_error(std::to_string(most_printers) + " printers are needed, " +
                                     std::to_string(printers.size()) + " attached");

        bench::heading("Parallel updates of a 1 MiB plan, through the real libusb-1.0 and the umockdev emulator "
                       "(median [min, max] of " +
                       std::to_string(rounds) + " rounds):");
        double one = 0;
        for (const std::size_t n : printer_counts) {
            update_at_once(printers, n, plan, logs);  // warm-up
            std::vector<double> wall, cpu, emulator, busiest;
            for (int r = 0; r < rounds; ++r) {
                next_second();
                fs::remove_all(logs);
                const Round round = update_at_once(printers, n, plan, logs);
                wall.push_back(round.wall);
                cpu.push_back(round.cpu);
                emulator.push_back(round.emulator);
                busiest.push_back(round.busiest_thread);
            }
            if (n == 1)
                one = bench::spread(wall).median;
            char figure[160];
            std::snprintf(figure, sizeof figure, "; the emulator's %.0f ms, %.0f ms in its busiest thread",
                          bench::spread(emulator).median, bench::spread(busiest).median);
            bench::report(std::to_string(n) + (n == 1 ? " printer" : " printers"), figure_of(wall, cpu, one) + figure);
        }
#endif
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-parallel: %s\n", e.what());
        return 1;
    }
}

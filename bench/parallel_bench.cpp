// zarvik's parallel updates: 1, 4 and 16 printers updated at once with the
// same 1 MiB plan, one thread and one link each, as `zarvik update --all`
// runs them (update::Session on a link made for each printer's place).
// Reports the wall time for N printers against N times the time of one.
//
// Two builds of this file:
//   zarvik-bench-parallel           in process, on the emulated bus (the
//                                   printers are attached here; the virtual
//                                   clock makes the fixed waits free)
//   zarvik-bench-parallel-emulator  through the real libusb-1.0, as the child
//                                   of the umockdev printer emulator with 16
//                                   printers (scripts/bench.sh starts it):
//     zarvik-printer-emulator --printer 2C7E:4201 (16 times) --
//         zarvik-bench-parallel-emulator [--rounds=N] [--summary=FILE]
//
// Through the emulator it also takes the CPU time this program and the
// emulator (its parent, from /proc) spent per round: where the time goes
// when N updates do not overlap.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "com/com_factory.h"
#include "measure.h"
#include "update/session.h"
#include "update/target.h"

#ifdef ZARVIK_BENCH_IN_PROCESS
#include "clock/virtual_clock.h"
#include "libusb/usb_bus.h"
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::size_t image_bytes = 1 << 20;
constexpr int counts[] = {1, 4, 16};

class Quiet : public update::Observer {
public:
    void progress(int, float) override {}
    void error(const update::Failure& f) override { failure = f.message; }
    void done(bool) override {}
    std::string failure;
};

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The emulator's CPU time so far (this program's parent), or -1.
double parent_cpu_seconds()
{
    return bench::stat_cpu_seconds("/proc/" + std::to_string(::getppid()) + "/stat");
}

// The CPU time of each of the emulator's threads so far, by thread id.
std::map<std::string, double> parent_thread_cpu()
{
    std::map<std::string, double> out;
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
        if (r.device.info.vendor_id == update::target_vendor_id && r.device.info.product_id == update::target_product_id)
            out.push_back(r.device);
    return out;
}

struct Round {
    double wall = 0, cpu = 0, emulator_cpu = 0;
    double busiest_thread_cpu = 0;  // the emulator's thread that worked most
};

// Updates the first `n` printers at once; throws when one fails.
Round update_at_once(const std::vector<com::UsbDeviceRecord>& printers, std::size_t n, const update::Plan& plan,
                     const std::string& logs)
{
    std::vector<std::unique_ptr<Quiet>> observers;
    std::vector<std::unique_ptr<update::Session>> sessions;
    std::vector<update::Outcome> outcomes(n);
    for (std::size_t i = 0; i < n; ++i) {
        observers.push_back(std::make_unique<Quiet>());
        sessions.push_back(std::make_unique<update::Session>(plan, *observers.back()));
        fs::create_directories(logs + "/" + std::to_string(i));
    }
    const std::map<std::string, double> threads0 = parent_thread_cpu();
    const double cpu0 = cpu_seconds(), emulator0 = parent_cpu_seconds(), start = now_seconds();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            const com::UsbDeviceRecord& p = printers[i];
            outcomes[i] = sessions[i]->run([&] {
                return com::ComFactory().create_usb_at(p.bus_number, p.device_address, p.info.vendor_id,
                                                       p.info.product_id, logs + "/" + std::to_string(i), true);
            });
        });
    for (std::thread& t : threads)
        t.join();
    Round r{now_seconds() - start, cpu_seconds() - cpu0, parent_cpu_seconds() - emulator0, 0};
    for (const auto& thread : parent_thread_cpu()) {
        const auto before = threads0.find(thread.first);
        r.busiest_thread_cpu = std::max(r.busiest_thread_cpu,
                                        thread.second - (before == threads0.end() ? 0 : before->second));
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!outcomes[i].succeed)
            throw std::runtime_error("printer " + std::to_string(i) + ": " + observers[i]->failure);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    const char* summary_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::atoi(argv[i] + 9);
        else if (std::strncmp(argv[i], "--summary=", 10) == 0)
            summary_path = argv[i] + 10;
    }
#ifdef ZARVIK_BENCH_IN_PROCESS
    const char* side = "in process";
    const char* key = "par";
    for (int i = 0; i < 16; ++i) {
        auto p = emu::UsbBus::instance().attach_printer(update::target_vendor_id, update::target_product_id, 1,
                                                        static_cast<std::uint8_t>(5 + i));
        p->set_record_payloads(false);
    }
#else
    const char* side = "through the real libusb-1.0 and the umockdev emulator";
    const char* key = "par_emu";
#endif
    const fs::path scratch = fs::temp_directory_path() / ("zarvik-bench-parallel-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "fw");
    try {
        {
            std::FILE* f = std::fopen((scratch / "fw" / "image.bin").c_str(), "wb");
            std::vector<unsigned char> bytes(image_bytes);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        update::Plan plan = update::make_plan(update::list_firmware_folder((scratch / "fw").string()));
        const std::vector<com::UsbDeviceRecord> printers = target_printers();
        if (printers.size() < 16)
            throw std::runtime_error("16 printers are needed, " + std::to_string(printers.size()) + " attached");

        std::FILE* summary = summary_path ? std::fopen(summary_path, "a") : nullptr;
        std::printf("parallel updates of a 1 MiB plan, %s, %d rounds (median [min, max])\n", side, rounds);
        double one = 0;
        for (int n : counts) {
            std::vector<double> wall, cpu, emulator, busiest;
            update_at_once(printers, static_cast<std::size_t>(n), plan, (scratch / "logs").string());  // warm-up
            for (int r = 0; r < rounds; ++r) {
#ifdef ZARVIK_BENCH_IN_PROCESS
                emu::VirtualClock::advance(2000);  // a new second for every round's log names
#else
                std::this_thread::sleep_for(std::chrono::milliseconds(1001 - static_cast<int>(now_seconds() * 1000) % 1000));
#endif
                fs::remove_all(scratch / "logs");
                const Round round = update_at_once(printers, static_cast<std::size_t>(n), plan, (scratch / "logs").string());
                wall.push_back(round.wall * 1000);
                cpu.push_back(round.cpu * 1000);
                emulator.push_back(round.emulator_cpu * 1000);
                busiest.push_back(round.busiest_thread_cpu * 1000);
            }
            const bench::Spread w = bench::spread(wall), c = bench::spread(cpu), e = bench::spread(emulator);
            if (n == 1)
                one = w.median;
            std::printf("  %2d printers: %9.2f ms [%.2f, %.2f] wall = %.3f x one, against %2d x one; CPU %.1f ms here",
                        n, w.median, w.min, w.max, w.median / one, n, c.median);
#ifndef ZARVIK_BENCH_IN_PROCESS
            std::printf(", %.1f ms in the emulator, %.1f ms of it in its busiest thread", e.median,
                        bench::spread(busiest).median);
#endif
            std::printf("\n");
            if (summary)
                std::fprintf(summary, "%s%d_wall_ms_median=%.6g\n%s%d_wall_ms_min=%.6g\n%s%d_wall_ms_max=%.6g\n"
                                      "%s%d_ratio=%.6g\n%s%d_cpu_ms=%.6g\n%s%d_emulator_cpu_ms=%.6g\n",
                             key, n, w.median, key, n, w.min, key, n, w.max, key, n, w.median / one, key, n, c.median,
                             key, n, e.median);
            if (summary)
                std::fprintf(summary, "%s%d_busiest_thread_cpu_ms=%.6g\n", key, n, bench::spread(busiest).median);
        }
        if (summary)
            std::fclose(summary);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-parallel: %s\n", e.what());
        fs::remove_all(scratch);
        return 1;
    }
    fs::remove_all(scratch);
    return 0;
}

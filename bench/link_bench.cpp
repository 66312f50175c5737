// The timed benchmarks: the upload side by side with the bare transfer loop,
// the USB scan, and the log line.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "quiet_stdout.h"
#include "bench_world.h"
#include "com/com_factory.h"
#include "com/result.h"
#include "libusb/usb_bus.h"

namespace {

using bench::UploadRig;

struct Seconds {
    double wall = 0;
    double cpu = 0;  // this thread's
    Seconds& operator+=(const Seconds& other)
    {
        wall += other.wall;
        cpu += other.cpu;
        return *this;
    }
};

double clock_seconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class Stopwatch {
public:
    Stopwatch() : wall(clock_seconds(CLOCK_MONOTONIC)), cpu(clock_seconds(CLOCK_THREAD_CPUTIME_ID)) {}
    Seconds read() const
    {
        Seconds s;
        s.cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
        s.wall = clock_seconds(CLOCK_MONOTONIC) - wall;
        return s;
    }

private:
    double wall;
    double cpu;
};

double smallest(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

double largest(const std::vector<double>& v)
{
    return *std::max_element(v.begin(), v.end());
}

// --- upload ------------------------------------------------------------------

// Each iteration uploads the file twice, once through the link and once
// through the bare loop, in alternating order, each to a fresh printer.  The
// counters compare the two over the same iterations (MB = 10^6 bytes):
//   link_MBps, bare_MBps   bytes per second of the thread's CPU time
//   ratio                  link throughput / bare throughput, by CPU time
//   ratio_wall             the same by wall-clock time
//   ratio_best             the same from each side's fastest upload (CPU time):
//                          waits and interruptions only ever add time, so the
//                          fastest is the closest to the code's own cost
//   overhead_ns_per_piece  the link's extra CPU time per 4096-byte piece
//   overhead_us_per_upload the same per upload (with a one-piece file: the
//                          fixed cost, the exchanges and their log lines)
// CPU time leaves out the time this thread waits while other processes run,
// which on a shared machine is most of the noise in wall-clock time.
void BM_UploadSideBySide(benchmark::State& state)
{
    try {
        UploadRig rig(static_cast<std::uint64_t>(state.range(0)) << 10, state.range(1) != 0);
        Seconds link, bare;
        double link_best = 1e9, bare_best = 1e9;
        std::int64_t round = 0;
        for (auto _ : state) {
            double round_s = 0;
            for (int k = 0; k < 2; ++k) {
                const bool link_side = (k == 0) == (round % 2 == 0);
                const auto side = link_side ? UploadRig::Side::link : UploadRig::Side::bare;
                rig.ready(side);
                const Stopwatch watch;
                rig.run(side);
                const Seconds spent = watch.read();
                rig.check(side);
                (link_side ? link : bare) += spent;
                double& best = link_side ? link_best : bare_best;
                best = std::min(best, spent.cpu);
                round_s += spent.wall;
            }
            state.SetIterationTime(round_s);
            ++round;
        }
        const double bytes = static_cast<double>(rig.file_bytes()) * static_cast<double>(round);
        state.counters["link_MBps"] = bytes / link.cpu / 1e6;
        state.counters["bare_MBps"] = bytes / bare.cpu / 1e6;
        state.counters["ratio"] = bare.cpu / link.cpu;
        state.counters["ratio_wall"] = bare.wall / link.wall;
        state.counters["ratio_best"] = bare_best / link_best;
        state.counters["overhead_ns_per_piece"] =
            (link.cpu - bare.cpu) * 1e9 / (static_cast<double>(rig.pieces()) * static_cast<double>(round));
        state.counters["overhead_us_per_upload"] = (link.cpu - bare.cpu) * 1e6 / static_cast<double>(round);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// --- USB scan ----------------------------------------------------------------

// ComFactory::list_usb_devices with range(0) printers attached, each scan
// into a new record vector as the window's detection does it.  The printers
// take the rows of the printer table in turn, the tool's model first.
void BM_Scan(benchmark::State& state)
{
    const auto printers = static_cast<std::size_t>(state.range(0));
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.detach_all();
    const com::DeviceInfo* tool_row = com::find_supported_device(bench::vendor_id, bench::product_id);
    std::vector<const com::DeviceInfo*> rows{tool_row};
    for (const com::DeviceInfo& row : com::supported_devices) {
        if (row.vendor_id == 0 && row.product_id == 0)
            break;
        if (&row != tool_row)
            rows.push_back(&row);
    }
    for (std::size_t i = 0; i < printers; ++i) {
        const com::DeviceInfo* row = rows[i % rows.size()];
        bus.attach_printer(row->vendor_id, row->product_id, static_cast<std::uint8_t>(1 + i / 100),
                           static_cast<std::uint8_t>(2 + i % 100));
    }
    {
        QuietStdout quiet;
        com::ComFactory factory;
        for (auto _ : state) {
            std::vector<com::UsbDeviceRecord> records;
            const int code = factory.list_usb_devices(&records);
            if (code != com::COM_SUCCESS || records.size() != printers) {
                state.SkipWithError("the scan did not find every printer");
                break;
            }
            benchmark::DoNotOptimize(records.data());
        }
    }
    bus.detach_all();
}

// --- log line --------------------------------------------------------------

class LogProbe : public com::ComUsb {
public:
    LogProbe(const std::string& dir) : com::ComUsb(bench::vendor_id, bench::product_id, dir, true) {}
    using com::Com::log_format;
};

// range(0) 0: a command line as com_write logs it (44 bytes);
//          1: a 4096-byte received block as the line reader logs it.
struct LogText {
    std::string prefix;
    std::string body;
};

LogText log_text(std::int64_t kind)
{
    if (kind == 0)
        return LogText{"com_write: ", "~M28 4194304 0:/sys/orbrey.bin\r\n"};
    std::string block;
    block.reserve(4096);
    while (block.size() < 4096)
        block += "ok\r\nCMD M28 Received.\r\nWriting to file: 0:/sys/orbrey.bin\r\n";
    block.resize(4096);
    return LogText{"com_readline: ", block};
}

// write_log with the finished message.
void BM_WriteLog(benchmark::State& state)
{
    const LogText text = log_text(state.range(0));
    const std::string message = text.prefix + text.body;
    try {
        bench::ScratchFolder folder("log");
        LogProbe link(folder.path());
        link.write_log(message.c_str());
        for (auto _ : state)
            link.write_log(message.c_str());
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(message.size()));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// The same line through log_format, as the link writes it ("%s%.*s").
void BM_LogFormat(benchmark::State& state)
{
    const LogText text = log_text(state.range(0));
    const int length = static_cast<int>(text.body.size());
    try {
        bench::ScratchFolder folder("log");
        LogProbe link(folder.path());
        link.log_format("%s%.*s", text.prefix.c_str(), length, text.body.data());
        for (auto _ : state)
            link.log_format("%s%.*s", text.prefix.c_str(), length, text.body.data());
        state.SetBytesProcessed(state.iterations() *
                                static_cast<std::int64_t>(text.prefix.size() + text.body.size()));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

constexpr int repetitions = 9;
constexpr int upload_repetitions = 15;

}  // namespace

// Repeated runs, reported with their minimum and maximum beside the median.
void spread_over(benchmark::internal::Benchmark* b, int runs)
{
    b->Repetitions(runs)->ComputeStatistics("min", smallest)->ComputeStatistics("max", largest);
}
void spread(benchmark::internal::Benchmark* b)
{
    spread_over(b, repetitions);
}
void upload_spread(benchmark::internal::Benchmark* b)
{
    spread_over(b, upload_repetitions);
}

// A 4 MiB firmware file, with the log as the tool keeps it and without.
BENCHMARK(BM_UploadSideBySide)
    ->ArgNames({"KiB", "log"})
    ->Args({4096, 1})
    ->Args({4096, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Apply(upload_spread);
// A one-piece file: what every upload costs whatever its size.
BENCHMARK(BM_UploadSideBySide)
    ->ArgNames({"KiB", "log"})
    ->Args({4, 1})
    ->Args({4, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.05)
    ->Apply(upload_spread);

BENCHMARK(BM_Scan)
    ->ArgName("printers")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)
    ->Apply(spread);

// Fixed iteration counts keep the log files small (at most 20 MB a run).
BENCHMARK(BM_WriteLog)
    ->ArgName("block")
    ->Arg(0)
    ->Iterations(100000)
    ->Apply(spread);
BENCHMARK(BM_WriteLog)
    ->ArgName("block")
    ->Arg(1)
    ->Iterations(5000)
    ->Apply(spread);
BENCHMARK(BM_LogFormat)
    ->ArgName("block")
    ->Arg(0)
    ->Iterations(100000)
    ->Apply(spread);
BENCHMARK(BM_LogFormat)
    ->ArgName("block")
    ->Arg(1)
    ->Iterations(5000)
    ->Apply(spread);

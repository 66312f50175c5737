// The USB scan through the real libusb-1.0, on whatever this machine has
// attached: ComFactory::list_usb_devices as the window's detection calls it
// once a second, libusb's set-up and tear-down included.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "com/com_factory.h"

namespace {

void BM_ScanSystem(benchmark::State& state)
{
    // The scan prints the libusb version line each time: not on the console.
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    com::ComFactory factory;
    std::size_t found = 0;
    for (auto _ : state) {
        std::vector<com::UsbDeviceRecord> records;
        factory.list_usb_devices(&records);
        found = records.size();
        benchmark::DoNotOptimize(records.data());
    }
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    state.counters["printers"] = static_cast<double>(found);
}

double smallest(const std::vector<double>& v)
{
    double m = v.front();
    for (double x : v)
        m = x < m ? x : m;
    return m;
}

double largest(const std::vector<double>& v)
{
    double m = v.front();
    for (double x : v)
        m = x > m ? x : m;
    return m;
}

}  // namespace

BENCHMARK(BM_ScanSystem)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)
    ->Repetitions(9)
    ->ComputeStatistics("min", smallest)
    ->ComputeStatistics("max", largest);

BENCHMARK_MAIN();

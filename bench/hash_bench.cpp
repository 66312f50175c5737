// What proving the bytes costs: SHA-256 from the platform layer in MB/s by
// size, the plan check of a folder with a 16 MiB main image (with and without
// a checksum list), and an in-process upload of 16 MiB that hashes what it
// sends against one that does not.  Prints key=value lines and a short table.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench_world.h"
#include "clock/virtual_clock.h"
#include "com/result.h"
#include "com/sha256.h"
#include "measure.h"
#include "update/plan.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This thread's CPU time in milliseconds: on a busy machine the wall time
// also counts the time other programs had the processor.
double cpu_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

com::Sha256Digest digest_of(const std::string& bytes)
{
    com::Sha256 hash;
    com::Sha256Digest digest{};
    if (!hash.add(bytes.data(), bytes.size()) || !hash.finish(&digest))
        throw std::runtime_error("the platform could not hash");
    return digest;
}

// MB/s (10^6 bytes) of hashing `size` bytes in memory, in one call each
// time, by wall and by CPU time.
std::pair<bench::Spread, bench::Spread> hash_rate(std::size_t size, int rounds)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 2654435761u >> 24);
    // Enough repetitions per round for about 64 MiB, so small sizes are timed well.
    const std::size_t repeat = std::max<std::size_t>(1, (64u << 20) / size);
    std::vector<double> rates, cpu_rates;
    const double megabytes = static_cast<double>(size) * static_cast<double>(repeat) / 1e6;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        const double cpu_start = cpu_ms();
        for (std::size_t i = 0; i < repeat; ++i)
            digest_of(bytes);
        cpu_rates.push_back(megabytes / ((cpu_ms() - cpu_start) / 1e3));
        rates.push_back(megabytes / (ms_since(start) / 1e3));
    }
    return {bench::spread(rates), bench::spread(cpu_rates)};
}

// Milliseconds of check_plan over a folder, by wall and by CPU time: the
// 16 MiB main image and a 300 KiB additional file, read from the page cache
// as after a download.
std::pair<bench::Spread, bench::Spread> plan_check_ms(const std::string& folder, bool with_list, int rounds)
{
    std::vector<double> times, cpu_times;
    for (int r = 0; r < rounds; ++r) {
        update::Plan plan = update::plan_folder(folder);
        const auto start = Clock::now();
        const double cpu_start = cpu_ms();
        const update::Problem problem = update::check_plan(plan);
        cpu_times.push_back(cpu_ms() - cpu_start);
        times.push_back(ms_since(start));
        if (problem.code != com::COM_SUCCESS || plan.checksum_list.empty() != !with_list)
            throw std::runtime_error("the plan check failed: " + problem.reason);
    }
    return {bench::spread(times), bench::spread(cpu_times)};
}

// Milliseconds of this thread's CPU time for one in-process upload of `path`
// (the emulated printer answers on this thread), with the link hashing what
// it sends or not.
bench::Spread upload_ms(const std::string& path, const com::Sha256Digest* digest, std::uint64_t size, int rounds)
{
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        emu::VirtualClock::reset();
        auto printer = bench::fresh_printer();
        auto link = bench::make_link("", false);
        if (link->com_open(bench::timeout_ms, true) != com::COM_SUCCESS)
            throw std::runtime_error("the link did not open");
        if (digest)
            link->expect_upload_sha256(*digest);
        const double start = cpu_ms();
        const int code = link->com_send_file(path, bench::remote_path, nullptr, nullptr, 99, "", bench::timeout_ms);
        times.push_back(cpu_ms() - start);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the upload failed: code " + std::to_string(code));
        bench::check_upload(*printer, size, digest ? "hashed upload" : "plain upload");
    }
    return bench::spread(times);
}

void print(const char* key, const bench::Spread& s)
{
    std::printf("%s_median=%.3f\n%s_min=%.3f\n%s_max=%.3f\n", key, s.median, key, s.min, key, s.max);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 9;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--rounds=", 0) == 0)
            rounds = std::max(1, std::stoi(std::string(argv[i]).substr(9)));
    try {
        for (std::size_t size : {std::size_t(4) << 10, std::size_t(64) << 10, std::size_t(1) << 20,
                                 std::size_t(16) << 20, std::size_t(64) << 20}) {
            const auto s = hash_rate(size, rounds);
            const std::string key = "sha256_mb_per_s_" + std::to_string(size >> 10) + "kib";
            print(key.c_str(), s.first);
            print((key + "_cpu").c_str(), s.second);
        }

        constexpr std::uint64_t image_bytes = 16u << 20;
        bench::ScratchFolder folder("hash");
        bench::write_firmware(folder.file("Main-2.4.bin"), image_bytes);
        bench::write_firmware(folder.file("fonts.xbf"), 300u << 10);
        plan_check_ms(folder.path(), false, 1);  // into the page cache
        const auto check = plan_check_ms(folder.path(), false, rounds);
        print("plan_check_16mib_ms", check.first);
        print("plan_check_16mib_cpu_ms", check.second);
        update::Plan plan = update::plan_folder(folder.path());
        update::check_plan(plan);
        {
            std::ofstream list(folder.file("SHA256SUMS"), std::ios::binary);
            for (const update::PlannedFile& f : plan.files)
                list << f.sha256 << "  " << f.local_name << "\n";
        }
        const auto listed = plan_check_ms(folder.path(), true, rounds);
        print("plan_check_16mib_with_list_ms", listed.first);
        print("plan_check_16mib_with_list_cpu_ms", listed.second);

        com::Sha256Digest digest{};
        if (!com::sha256_from_hex(plan.files[0].sha256, &digest))
            throw std::runtime_error("no digest");
        const std::string image = folder.file("Main-2.4.bin");
        const bench::Spread plain = upload_ms(image, nullptr, image_bytes, rounds);
        const bench::Spread hashed = upload_ms(image, &digest, image_bytes, rounds);
        print("upload_16mib_plain_cpu_ms", plain);
        print("upload_16mib_hashed_cpu_ms", hashed);
        const double pieces = static_cast<double>(image_bytes / bench::piece_bytes);
        std::printf("upload_hash_ns_per_piece=%.0f\n", (hashed.median - plain.median) * 1e6 / pieces);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hash benchmark: %s\n", e.what());
        return 1;
    }
    return 0;
}

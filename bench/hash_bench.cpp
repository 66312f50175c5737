// zarvik-bench-hash: what proving the bytes costs.  SHA-256 from the platform
// layer in MB/s by size, the plan check of a folder with a 16 MiB main image
// (with and without a checksum list), and an in-process upload of 16 MiB
// that hashes what it sends against one that does not.
//
//   zarvik-bench-hash [--rounds=N]
#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/com_usb.h"
#include "com/result.h"
#include "com/sha256.h"
#include "in_process.h"
#include "support.h"
#include "update/plan.h"
#include "update/target.h"

namespace {

// Wall and CPU figures of the same runs.
using Pair = std::pair<bench::Spread, bench::Spread>;

// MB/s (10^6 bytes) of hashing `size` bytes in memory, in one call each
// time, by wall and by CPU time.
Pair hash_rate(std::size_t size, int rounds)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 2654435761u >> 24);
    // Enough repetitions per round for about 64 MiB, so small sizes are timed well.
    const std::size_t repeat = std::max<std::size_t>(1, (64u << 20) / size);
    const double megabytes = static_cast<double>(size) * static_cast<double>(repeat) / 1e6;
    std::vector<double> wall, cpu;
    for (int r = 0; r < rounds; ++r) {
        const double wall_start = bench::wall_seconds(), cpu_start = bench::thread_cpu_seconds();
        for (std::size_t i = 0; i < repeat; ++i) {
            com::Sha256 hash;
            com::Sha256Digest digest{};
            if (!hash.add(bytes.data(), bytes.size()) || !hash.finish(&digest))
                throw std::runtime_error("the platform could not hash");
        }
        cpu.push_back(megabytes / (bench::thread_cpu_seconds() - cpu_start));
        wall.push_back(megabytes / (bench::wall_seconds() - wall_start));
    }
    return {bench::spread(wall), bench::spread(cpu)};
}

// Milliseconds of check_plan over a folder, by wall and by CPU time: read
// from the page cache, as after a download.
Pair plan_check_ms(const std::string& folder, bool with_list, int rounds)
{
    std::vector<double> wall, cpu;
    for (int r = 0; r < rounds; ++r) {
        update::Plan plan = update::plan_folder(folder);
        const double wall_start = bench::wall_seconds(), cpu_start = bench::thread_cpu_seconds();
        const update::Problem problem = update::check_plan(plan);
        cpu.push_back((bench::thread_cpu_seconds() - cpu_start) * 1e3);
        wall.push_back((bench::wall_seconds() - wall_start) * 1e3);
        if (problem.code != com::COM_SUCCESS || plan.checksum_list.empty() == with_list)
            throw std::runtime_error("the plan check failed: " + problem.reason);
    }
    return {bench::spread(wall), bench::spread(cpu)};
}

// Milliseconds of this thread's CPU time for one in-process upload of `path`
// (the emulated printer answers on this thread), the link hashing what it
// sends when given the digest.
bench::Spread upload_ms(const std::string& path, const com::Sha256Digest* digest, std::uint64_t size, int rounds)
{
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        emu::VirtualClock::reset();
        auto printer = bench::fresh_printer();
        com::ComUsb link(update::target_vendor_id, update::target_product_id, "", false);
        if (link.com_open(bench::timeout_ms, true) != com::COM_SUCCESS)
            throw std::runtime_error("the link did not open");
        if (digest)
            link.expect_upload_sha256(*digest);
        const double start = bench::thread_cpu_seconds();
        const int code = link.com_send_file(path, bench::remote_path, nullptr, nullptr, 99, "", bench::timeout_ms);
        times.push_back((bench::thread_cpu_seconds() - start) * 1e3);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the upload failed: code " + std::to_string(code));
        bench::check_upload(*printer, size, digest ? "hashed upload" : "plain upload");
    }
    return bench::spread(times);
}

std::string wall_and_cpu(const Pair& p, const char* format)
{
    return bench::format(p.first, format) + " wall, " + bench::format(p.second, format) + " CPU";
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        bench::refuse_other_options(argc, argv, {"rounds"});
        const int rounds = bench::count_option(argc, argv, "rounds", 9);
        bench::heading("What proving the bytes costs (median [min, max] of " + std::to_string(rounds) + " rounds):");
        std::string by_cpu, by_wall;
        for (const std::size_t kib : {4, 64, 1024, 16384, 65536}) {
            const Pair rate = hash_rate(kib << 10, rounds);
            char text[32];
            std::snprintf(text, sizeof text, "%s%.0f", by_cpu.empty() ? "" : " / ", rate.second.median);
            by_cpu += text;
            std::snprintf(text, sizeof text, "%s%.0f", by_wall.empty() ? "" : " / ", rate.first.median);
            by_wall += text;
        }
        bench::report("SHA-256, 4 KiB / 64 KiB / 1 / 16 / 64 MiB (MB/s by CPU)", by_cpu);
        bench::report("  the same, MB/s by wall-clock time", by_wall);

        constexpr std::uint64_t image_bytes = 16u << 20;
        bench::ScratchFolder folder("hash");
        const std::string image = folder.file("Main-2.4.bin");
        bench::write_firmware(image, image_bytes);
        bench::write_firmware(folder.file("fonts.xbf"), 300u << 10);
        update::Plan plan = update::plan_folder(folder.path());
        update::check_plan(plan);  // the files into the page cache, and their hashes for SHA256SUMS
        bench::report("plan check, 16 MiB + 300 KiB (ms)",
                      wall_and_cpu(plan_check_ms(folder.path(), false, rounds), "%.1f"));
        {
            std::ofstream list(folder.file("SHA256SUMS"), std::ios::binary);
            for (const update::PlannedFile& f : plan.files)
                list << f.sha256 << "  " << f.local_name << "\n";
        }
        bench::report("  the same with SHA256SUMS (ms)",
                      wall_and_cpu(plan_check_ms(folder.path(), true, rounds), "%.1f"));

        if (!plan.files[0].sha256_digest)
            throw std::runtime_error("no digest");
        const bench::Spread plain = upload_ms(image, nullptr, image_bytes, rounds);
        const bench::Spread hashed = upload_ms(image, &*plan.files[0].sha256_digest, image_bytes, rounds);
        bench::report("upload of 16 MiB in process, plain / hashed (ms CPU)",
                      bench::format(plain, "%.1f") + " / " + bench::format(hashed, "%.1f"));
        char per_piece[32];
        std::snprintf(per_piece, sizeof per_piece, "%.1f",
                      (hashed.median - plain.median) * 1e3 / static_cast<double>(image_bytes / bench::piece_bytes));
        bench::report("  hashing's CPU time per 4096-byte piece (us)", per_piece);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-hash: %s\n", e.what());
        return 1;
    }
}

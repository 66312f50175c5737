// zarvik-bench: what the tool itself costs, on the emulated printer.
//
//   zarvik-bench [--summary=FILE] [benchmark flags]
//       the timed benchmarks (Google Benchmark); with --summary the medians,
//       minima and maxima the table needs, as key=value lines
//   zarvik-bench --allocations [--where] [--summary=FILE]
//       heap allocations during an upload and per log line; --where prints
//       the call stack of every allocation counted in the link's upload to
//       standard error (mangled names: pipe it through c++filt)
//   zarvik-bench --callgrind link|bare MIB ROUNDS
//       one warm-up upload, then ROUNDS uploads of a MIB MiB file through the
//       link or through the bare loop, with callgrind collecting only during
//       those uploads (run under valgrind --tool=callgrind --collect-atstart=no)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define ZARVIK_TOGGLE_COLLECT() CALLGRIND_TOGGLE_COLLECT
#else
#define ZARVIK_TOGGLE_COLLECT() static_cast<void>(0)
#endif

#include "alloc_count.h"
#include "bench_world.h"

namespace {

using bench::UploadRig;

// --- the timed benchmarks ----------------------------------------------------

// Prints as the console reporter does and keeps the aggregates.
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    explicit KeepingReporter(OutputOptions options) : ConsoleReporter(options) {}

    struct Figure {
        double real_ns = 0;
        std::map<std::string, double> counters;
    };
    // key: "function/args", then the aggregate's name ("median", "min", ...)
    std::map<std::string, std::map<std::string, Figure>> figures;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.error_occurred ||
                run.aggregate_unit != benchmark::kTime)
                continue;
            Figure figure;
            figure.real_ns = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            for (const auto& counter : run.counters)
                figure.counters[counter.first] = counter.second.value;
            std::string key = run.run_name.function_name;
            if (!run.run_name.args.empty())
                key += "/" + run.run_name.args;
            figures[key][run.aggregate_name] = figure;
        }
    }
};

void write_summary(const KeepingReporter& reporter, const char* path)
{
    std::FILE* out = std::fopen(path, "w");
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return;
    }
    const char* const aggregates[] = {"median", "min", "max"};
    const auto find = [&](const std::string& key, const char* aggregate) -> const KeepingReporter::Figure* {
        auto f = reporter.figures.find(key);
        if (f == reporter.figures.end())
            return nullptr;
        auto a = f->second.find(aggregate);
        return a == f->second.end() ? nullptr : &a->second;
    };
    for (const char* aggregate : aggregates) {
        for (const char* kib : {"4096", "4"}) {
            for (const char* log : {"1", "0"}) {
                const std::string key = std::string("BM_UploadSideBySide/KiB:") + kib + "/log:" + log;
                if (const auto* f = find(key, aggregate)) {
                    const std::string name = std::string("upload_") + kib + "k_log" + log;
                    for (const auto& c : f->counters)
                        std::fprintf(out, "%s_%s_%s=%.6g\n", name.c_str(), c.first.c_str(), aggregate, c.second);
                }
            }
        }
        for (const char* printers : {"1", "4", "16"}) {
            if (const auto* f = find(std::string("BM_Scan/printers:") + printers, aggregate))
                std::fprintf(out, "scan%s_us_%s=%.6g\n", printers, aggregate, f->real_ns / 1e3);
        }
        for (const char* function : {"BM_WriteLog", "BM_LogFormat"}) {
            for (const char* block : {"0", "1"}) {
                if (const auto* f = find(std::string(function) + "/block:" + block, aggregate))
                    std::fprintf(out, "%s_%s_ns_%s=%.6g\n", function + 3, *block == '0' ? "command" : "block",
                                 aggregate, f->real_ns);
            }
        }
    }
    std::fclose(out);
}

int run_benchmarks(int argc, char** argv)
{
    const char* summary = nullptr;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--summary=", 10) == 0)
            summary = argv[i] + 10;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;
    // Colours only on a terminal.
    KeepingReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                     : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (summary)
        write_summary(reporter, summary);
    return 0;
}

// --- heap allocations ----------------------------------------------------------

struct UploadCounts {
    alloc_count::Counts link;
    alloc_count::Counts bare;
};

alloc_count::Counts count_upload(UploadRig& rig, UploadRig::Side side, bool where)
{
    rig.ready(side);
    rig.run(side);  // warm-up: first-use allocations are not the upload's
    rig.ready(side);
    if (where)
        alloc_count::trace(true);
    const alloc_count::Counts before = alloc_count::now();
    rig.run(side);
    const alloc_count::Counts counted = alloc_count::since(before);
    alloc_count::trace(false);
    rig.check(side);
    return counted;
}

class LogProbe : public com::ComUsb {
public:
    LogProbe(const std::string& dir) : com::ComUsb(bench::vendor_id, bench::product_id, dir, true) {}
    using com::Com::log_format;
};

void print_counts(const char* what, const alloc_count::Counts& c)
{
    std::printf("  %-52s %8llu  (operator new %llu, malloc/calloc/realloc %llu)\n", what,
                static_cast<unsigned long long>(c.total()), static_cast<unsigned long long>(c.news),
                static_cast<unsigned long long>(c.mallocs));
}

int count_allocations(bool where, const char* result_path)
{
    const unsigned sizes_mib[] = {4, 8};
    std::map<unsigned, UploadCounts> uploads;
    std::printf("Heap allocations during one upload (after a warm-up upload; fresh printer each time):\n");
    for (const unsigned mib : sizes_mib) {
        UploadRig rig(static_cast<std::uint64_t>(mib) << 20, true);
        UploadCounts& u = uploads[mib];
        u.link = count_upload(rig, UploadRig::Side::link, where);
        u.bare = count_upload(rig, UploadRig::Side::bare, false);
        char label[96];
        std::snprintf(label, sizeof label, "%u MiB, link upload (library + emulator):", mib);
        print_counts(label, u.link);
        std::snprintf(label, sizeof label, "%u MiB, bare loop (emulator + file API):", mib);
        print_counts(label, u.bare);
    }
    const auto library = [&](unsigned mib) {
        return static_cast<long long>(uploads[mib].link.total()) - static_cast<long long>(uploads[mib].bare.total());
    };
    const long long pieces_between = static_cast<long long>((8u - 4u) << 20) / bench::piece_bytes;
    const double per_piece = static_cast<double>(library(8) - library(4)) / static_cast<double>(pieces_between);
    std::printf("  the library's own (link minus bare loop): %lld at 4 MiB, %lld at 8 MiB\n", library(4), library(8));
    std::printf("  the library's own per 4096-byte piece: %.4g\n\n", per_piece);

    std::printf("Heap allocations per log line (after one line of each kind):\n");
    std::map<std::string, alloc_count::Counts> lines;
    {
        bench::ScratchFolder folder("alloc-log");
        LogProbe link(folder.path());
        const std::string command = "com_write: ~M28 4194304 0:/sys/orbrey.bin\r\n";
        std::string block(4096, 'x');
        const std::string block_line = "com_readline: " + block;
        link.write_log(command.c_str());
        link.write_log(block_line.c_str());
        link.log_format("%s%.*s", "com_readline: ", 4096, block.data());
        constexpr int line_count = 1000;
        if (where)
            alloc_count::trace(true);
        alloc_count::Counts before = alloc_count::now();
        for (int i = 0; i < line_count; ++i)
            link.write_log(command.c_str());
        lines["write_log_command"] = alloc_count::since(before);
        before = alloc_count::now();
        for (int i = 0; i < line_count; ++i)
            link.write_log(block_line.c_str());
        lines["write_log_block"] = alloc_count::since(before);
        before = alloc_count::now();
        for (int i = 0; i < line_count; ++i)
            link.log_format("%s%.*s", "com_write: ", 33, command.c_str() + 11);
        lines["log_format_command"] = alloc_count::since(before);
        before = alloc_count::now();
        for (int i = 0; i < line_count; ++i)
            link.log_format("%s%.*s", "com_readline: ", 4096, block.data());
        lines["log_format_block"] = alloc_count::since(before);
        alloc_count::trace(false);
        for (const auto& l : lines) {
            const std::string label = l.first + " x1000:";
            print_counts(label.c_str(), l.second);
        }
    }

    if (result_path) {
        std::FILE* out = std::fopen(result_path, "w");
        if (out) {
            for (const unsigned mib : sizes_mib) {
                std::fprintf(out, "alloc_link_%umib=%llu\n", mib,
                             static_cast<unsigned long long>(uploads[mib].link.total()));
                std::fprintf(out, "alloc_bare_%umib=%llu\n", mib,
                             static_cast<unsigned long long>(uploads[mib].bare.total()));
                std::fprintf(out, "alloc_library_%umib=%lld\n", mib, library(mib));
            }
            std::fprintf(out, "alloc_library_per_piece=%.4g\n", per_piece);
            for (const auto& l : lines)
                std::fprintf(out, "alloc_%s_per_line=%.4g\n", l.first.c_str(),
                             static_cast<double>(l.second.total()) / 1000.0);
            std::fclose(out);
        }
    }
    return 0;
}

// --- instructions, under callgrind ---------------------------------------------

int run_for_callgrind(const char* side_name, unsigned mib, int rounds)
{
    const bool link_side = std::strcmp(side_name, "link") == 0;
    if (!link_side && std::strcmp(side_name, "bare") != 0) {
        std::fprintf(stderr, "--callgrind takes link or bare\n");
        return 2;
    }
    const auto side = link_side ? UploadRig::Side::link : UploadRig::Side::bare;
    UploadRig rig(static_cast<std::uint64_t>(mib) << 20, true);
    rig.ready(side);
    rig.run(side);
    for (int i = 0; i < rounds; ++i) {
        rig.ready(side);
        ZARVIK_TOGGLE_COLLECT();
        rig.run(side);
        ZARVIK_TOGGLE_COLLECT();
        rig.check(side);
    }
    std::printf("pieces=%llu\n", static_cast<unsigned long long>(rig.pieces()) * static_cast<unsigned>(rounds));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The emulated printer keeps every uploaded byte in a vector that grows
    // from empty on each upload.  With the allocator's defaults the large
    // blocks are mapped afresh and faulted in page by page each time: kernel
    // time that both sides pay and that buries the difference in noise.
    // Freed memory is kept and reused instead.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);

    try {
        if (argc > 1 && std::strcmp(argv[1], "--allocations") == 0) {
            bool where = false;
            const char* result_path = nullptr;
            for (int i = 2; i < argc; ++i) {
                if (std::strcmp(argv[i], "--where") == 0)
                    where = true;
                else if (std::strncmp(argv[i], "--summary=", 10) == 0)
                    result_path = argv[i] + 10;
            }
            return count_allocations(where, result_path);
        }
        if (argc > 1 && std::strcmp(argv[1], "--callgrind") == 0) {
            if (argc != 5) {
                std::fprintf(stderr, "usage: %s --callgrind link|bare MIB ROUNDS\n", argv[0]);
                return 2;
            }
            return run_for_callgrind(argv[2], static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]));
        }
        return run_benchmarks(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench: %s\n", e.what());
        return 1;
    }
}

// zarvik-bench-upload: the link's upload against a bare transfer loop, in
// process, side by side.
//
//   zarvik-bench-upload [--repetitions=N]
//
// Each round uploads one firmware file twice, each time to a fresh emulated
// printer: once through the link (com::ComUsb::com_send_file, the tool's own
// upload) and once through the bare loop below, which makes the same
// transfers and nothing else; the two alternate in which goes first.  Rounds
// are grouped into repetitions of a set least time, each giving one ratio of
// the bare loop's time to the link's (the link's throughput as a share of the
// bare loop's); the report gives their median and spread.  The virtual clock
// makes the link's fixed waits free: what is left is the code's own cost.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <libusb.h>
#include <malloc.h>
#include <sys/stat.h>

#include "clock/virtual_clock.h"
#include "com/com_usb.h"
#include "com/devices.h"
#include "com/local_file.h"
#include "com/result.h"
#include "in_process.h"
#include "support.h"
#include "update/target.h"

namespace {

// The host side of an upload and nothing else: the file read in 4096-byte
// pieces through the link's own file API, the same bulk transfers to the same
// endpoints, the replies read and not looked at.
class BareLoop {
public:
    BareLoop() : endpoints(com::endpoints_for_product(update::target_product_id))
    {
        if (libusb_init(nullptr) < 0)
            throw std::runtime_error("bare loop: libusb_init failed");
    }
    ~BareLoop()
    {
        close();
        libusb_exit(nullptr);
    }
    BareLoop(const BareLoop&) = delete;
    BareLoop& operator=(const BareLoop&) = delete;

    // Opens the printer and takes control as the link's com_open does: one
    // look for stale replies, "~M601 S0" and its three replies.
    void open()
    {
        close();
        handle = libusb_open_device_with_vid_pid(nullptr, update::target_vendor_id, update::target_product_id);
        if (!handle || libusb_claim_interface(handle, 0) != 0)
            throw std::runtime_error("bare loop: cannot open the printer");
        int got = 0;
        libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &got, 100);
        exchange("~M601 S0\r\n");
    }

    // Gives the printer back ("~M602") and closes it.
    void close()
    {
        if (!handle)
            return;
        exchange("~M602\r\n");
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        handle = nullptr;
    }

    // "~M28", the data, "~M29", each command with its three replies.
    void upload(const std::string& local_path)
    {
        com::LocalFile file(local_path, true, false);
        if (!file.open())
            throw std::runtime_error("bare loop: cannot open " + local_path);
        const std::int64_t size = file.size();
        char line[256];
        std::snprintf(line, sizeof line, "~M28 %lld %s\r\n", static_cast<long long>(size), bench::remote_path.c_str());
        exchange(line);
        unsigned char piece[bench::piece_bytes];
        for (std::int64_t sent = 0; sent < size;) {
            const unsigned want = static_cast<unsigned>(std::min<std::int64_t>(sizeof piece, size - sent));
            unsigned got = 0;
            if (!file.read(piece, want, &got) || got == 0)
                throw std::runtime_error("bare loop: cannot read " + local_path);
            int moved = 0;
            if (libusb_bulk_transfer(handle, endpoints.data_out, piece, static_cast<int>(got), &moved,
                                     bench::timeout_ms) != 0)
                throw std::runtime_error("bare loop: a data transfer failed");
            sent += got;
        }
        exchange("~M29\r\n");
    }

private:
    void exchange(const char* line)
    {
        int moved = 0;
        libusb_bulk_transfer(handle, endpoints.cmd_out, reinterpret_cast<unsigned char*>(const_cast<char*>(line)),
                             static_cast<int>(std::strlen(line)), &moved, bench::timeout_ms);
        for (int i = 0; i < 3; ++i)
            libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &moved,
                                 bench::timeout_ms);
    }

    libusb_device_handle* handle = nullptr;
    const com::EndpointSet endpoints;
    unsigned char reply_buffer[4096];
};

// One firmware file, the link and the bare loop.  ready() does the untimed
// set-up (a fresh printer, the side opened and in control, the virtual clock
// reset), run() the upload alone, check() that it arrived whole.
class Rig {
public:
    Rig(std::uint64_t file_bytes, bool log_enabled) : size(file_bytes)
    {
        bench::write_firmware(firmware, size);
        const std::string log_dir = folder.file("log");
        ::mkdir(log_dir.c_str(), 0777);
        emu::VirtualClock::reset();
        link = std::make_unique<com::ComUsb>(update::target_vendor_id, update::target_product_id, log_dir, log_enabled);
    }
    void ready(bool link_side)
    {
        link->com_close();
        bare->close();
        emu::VirtualClock::reset();
        printer = bench::fresh_printer();
        if (!link_side)
            bare->open();
        else if (const int code = link->com_open(bench::timeout_ms, true); code != com::COM_SUCCESS)
            throw std::runtime_error("the link did not open: code " + std::to_string(code));
    }

    void run(bool link_side)
    {
        if (!link_side) {
            bare->upload(firmware);
            return;
        }
        const int code =
            link->com_send_file(firmware, bench::remote_path, nullptr, nullptr, 100, std::string(), bench::timeout_ms);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the link's upload failed: code " + std::to_string(code));
    }

    void check(bool link_side) const { bench::check_upload(*printer, size, link_side ? "link" : "bare loop"); }

    std::uint64_t bytes() const { return size; }
    double pieces() const { return static_cast<double>((size + bench::piece_bytes - 1) / bench::piece_bytes); }

private:
    bench::ScratchFolder folder{"upload"};
    const std::string firmware = folder.file("firmware.bin");
    std::uint64_t size;
    std::unique_ptr<com::ComUsb> link;
    std::unique_ptr<BareLoop> bare = std::make_unique<BareLoop>();
    std::shared_ptr<emu::Printer> printer;
};

// What one repetition took, per side: CPU and wall seconds in all, and the
// fastest upload by CPU time (waits and interruptions only ever add time, so
// the fastest is the closest to the code's own cost).
struct Side {
    double cpu = 0, wall = 0, best = 1e9;
};
struct Repetition {
    Side link, bare;
    double rounds = 0;
};

Repetition repeat(Rig& rig, double least_seconds, long& round)
{
    Repetition r;
    do {
        for (int k = 0; k < 2; ++k) {
            const bool link_side = (k == 0) == (round % 2 == 0);
            rig.ready(link_side);
            const double wall = bench::wall_seconds(), cpu = bench::thread_cpu_seconds();
            rig.run(link_side);
            const double cpu_spent = bench::thread_cpu_seconds() - cpu, wall_spent = bench::wall_seconds() - wall;
            rig.check(link_side);
            Side& side = link_side ? r.link : r.bare;
            side.cpu += cpu_spent;
            side.wall += wall_spent;
            side.best = std::min(side.best, cpu_spent);
        }
        ++round;
        r.rounds += 1;
    } while (r.link.wall + r.bare.wall < least_seconds);
    return r;
}

std::vector<Repetition> measure(Rig& rig, int repetitions, double least_seconds)
{
    long round = 0;
    repeat(rig, 0, round);  // warm-up: first-use costs are not the upload's
    std::vector<Repetition> out;
    for (int i = 0; i < repetitions; ++i)
        out.push_back(repeat(rig, least_seconds, round));
    return out;
}

template <typename F>
bench::Spread over(const std::vector<Repetition>& reps, F figure)
{
    std::vector<double> values;
    for (const Repetition& r : reps)
        values.push_back(figure(r));
    return bench::spread(values);
}

double ratio(const Repetition& r)
{
    return r.bare.cpu / r.link.cpu;
}

void report_large(int repetitions, bool log_enabled)
{
    Rig rig(std::uint64_t(4) << 20, log_enabled);
    const auto reps = measure(rig, repetitions, 0.5);
    const double bytes = static_cast<double>(rig.bytes()), pieces = rig.pieces();
    const std::string log = log_enabled ? "log on" : "log off";
    bench::report("4 MiB, " + log + ": link / bare loop throughput by CPU time",
                  bench::format(over(reps, ratio), "%.3f"));
    bench::report("  the same by wall-clock time",
                  bench::format(over(reps, [](const Repetition& r) { return r.bare.wall / r.link.wall; }), "%.3f"));
    bench::report("  the same from each side's fastest upload",
                  bench::format(over(reps, [](const Repetition& r) { return r.bare.best / r.link.best; }), "%.3f"));
    const auto rate = [&](const Side& s, double rounds) { return bytes * rounds / s.cpu / 1e6; };
    bench::report("  link / bare loop, MB/s by CPU time",
                  bench::format(over(reps, [&](const Repetition& r) { return rate(r.link, r.rounds); }), "%.0f") +
                      " / " +
                      bench::format(over(reps, [&](const Repetition& r) { return rate(r.bare, r.rounds); }), "%.0f"));
    bench::report(
        "  the link's extra CPU per 4096-byte piece (ns)",
        bench::format(
            over(reps, [&](const Repetition& r) { return (r.link.cpu - r.bare.cpu) * 1e9 / (pieces * r.rounds); }),
            "%.0f"));
}

void report_small(int repetitions)
{
    std::string figure;
    for (const bool log_enabled : {true, false}) {
        Rig rig(4096, log_enabled);
        const auto reps = measure(rig, repetitions, 0.05);
        figure +=
            (figure.empty() ? "" : " / ") +
            bench::format(over(reps, [](const Repetition& r) { return (r.link.cpu - r.bare.cpu) * 1e6 / r.rounds; }),
                          "%.1f");
    }
    bench::report("4 KiB, one piece: extra CPU per upload, log on / off (us)", figure);
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
        bench::refuse_other_options(argc, argv, {"repetitions"});
        const int repetitions = bench::count_option(argc, argv, "repetitions", 15);
        bench::heading("The upload in process, the link against the bare loop (median [min, max] of " +
                       std::to_string(repetitions) + " repetitions):");
        report_large(repetitions, true);
        report_large(repetitions, false);
        report_small(repetitions);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-upload: %s\n", e.what());
        return 1;
    }
}

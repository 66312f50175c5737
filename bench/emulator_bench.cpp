// zarvik-bench-emulator: the link on the real libusb-1.0, against the umockdev
// printer emulator.  It runs as the emulator's child, with one printer of the
// tool's model to start with:
//
//   zarvik-printer-emulator --printer 2C7E:4201 --control auto --
//       zarvik-bench-emulator [--rounds=N] [--scan-runs=N] [--summary=FILE]
//   (one command line)
//
// 1. Whole updates of a 1 MiB image, N rounds after one warm-up round.  Each
//    round makes three, one after the other, the order cycling through all
//    six:
//      the link   as the tool's update worker drives it: ComUsb made, com_open
//                 taking control, com_install_file, the link destroyed (which
//                 gives the printer back);
//      the bare   program: libusb-1.0 called directly with the same transfers
//                 in the same order (the look for stale replies, "~M601 S0",
//                 "~M28", the 4096-byte pieces, the pause, "~M29", "~M600",
//                 "~M602", each command with its three replies), timing its
//                 own look, data phase and pause;
//      again      the bare program once more: the control.
//    All wait the same two fixed times: the 100 ms look for stale replies at
//    open and the 500 ms pause before "~M29".  The ratio leaves both out:
//    each update's time less the medians of the bare program's own look and
//    pause, the link's against the bare program's of the same round.  The
//    control's ratio to the bare program, taken the same way, is what two
//    identical updates differ by here.  The emulator's transfer count after
//    each update shows that all made the same transfers; the printer's state
//    that the update arrived whole and was installed.  The bare program's
//    data phases give the raw bulk speed through the emulator, with the CPU
//    time this program and the emulator (its parent, from /proc) spend per
//    transfer.
// 2. ComFactory::list_usb_devices with 1, 4 and 16 printers attached (more
//    are plugged in through the control socket; they take the rows of the
//    printer table in turn, the tool's model first, as in zarvik-bench): the
//    mean time of one scan over at least 0.2 s, repeated.
//
// It prints each round's times, then medians with [min, max]; the figures
// scripts/bench.sh tabulates also go to --summary as key=value lines.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quiet_stdout.h"
#include "measure.h"
#include "com/com_factory.h"
#include "com/com_usb.h"
#include "com/devices.h"
#include "com/result.h"
#include "emulator_control.h"

namespace {

constexpr std::uint16_t vendor_id = com::ids::vendor_halvenn;
constexpr std::uint16_t product_id = com::ids::product_orbrey;
constexpr int first_printer = 1;  // the one the emulator was started with
constexpr std::size_t image_bytes = 1 << 20;
constexpr unsigned piece_bytes = 4096;
// The tool's own time-outs (app/update_firmware.cpp).
constexpr unsigned open_timeout_ms = 1000;
constexpr unsigned install_timeout_ms = 10000;
// The link's fixed waits (com/src/com_usb.cpp).
constexpr unsigned stale_look_ms = 100;
constexpr unsigned closing_pause_ms = 500;
constexpr const char* install_name = "orbrey.bin";
constexpr const char* remote_path = "0:/sys/orbrey.bin";
constexpr double scan_batch_seconds = 0.2;

// --- time -------------------------------------------------------------------

double wall_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The whole process's CPU time: the caller and libusb's event thread.
double cpu_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The CPU time the emulator (this program's parent) has used so far, from
// /proc in clock ticks; -1 when it cannot be read.
double emulator_cpu_seconds()
{
    return bench::stat_cpu_seconds("/proc/" + std::to_string(::getppid()) + "/stat");
}

using bench::Spread;
using bench::spread;

// --- output -------------------------------------------------------------------

class Summary {
public:
    explicit Summary(const char* path)
    {
        if (path && !(file = std::fopen(path, "w")))
            throw std::runtime_error(std::string("cannot write ") + path);
    }
    ~Summary()
    {
        if (file)
            std::fclose(file);
    }
    Summary(const Summary&) = delete;
    Summary& operator=(const Summary&) = delete;

    void value(const std::string& key, double v)
    {
        if (file)
            std::fprintf(file, "%s=%.6g\n", key.c_str(), v);
    }
    void values(const std::string& key, const Spread& s)
    {
        value(key + "_median", s.median);
        value(key + "_min", s.min);
        value(key + "_max", s.max);
    }

private:
    std::FILE* file = nullptr;
};

void print_row(const char* what, const Spread& s, const char* unit, const char* format = "%.2f")
{
    char text[160];
    std::snprintf(text, sizeof text, "%s [%s, %s] %s", format, format, format, unit);
    std::printf("  %-46s ", what);
    std::printf(text, s.median, s.min, s.max);
    std::printf("\n");
}

// --- files ------------------------------------------------------------------------

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

// A new empty folder under the temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zarvik-bench-emulator-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data()))
            throw std::runtime_error("cannot make a scratch folder from " + pattern);
        path_ = buffer.data();
    }
    ~ScratchFolder() { ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string image_content()
{
    std::string bytes(image_bytes, '\0');
    std::uint32_t x = 2463534242u;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        if (f)
            std::fclose(f);
        throw std::runtime_error("cannot write " + path);
    }
    std::fclose(f);
}

// --- the two sides of an update ---------------------------------------------------

struct UpdateTimes {
    // Seconds of wall-clock time, unless CPU time.  All but the totals are
    // the bare program's only.
    double total = 0;
    double total_cpu = 0;          // this process's
    double look = 0;               // the look for stale replies
    double pause = 0;              // the pause before "~M29"
    double data = 0;               // the data phase: the file read and the bulk transfers
    double data_cpu = 0;           // this process's, in the data phase
    double data_emulator_cpu = 0;  // the emulator's, in the data phase; -1 when unknown
};

int last_percent = 0;

// The tool's progress callback emits a signal; this one does as little.
void note_progress(int percent, float, void* context)
{
    *static_cast<int*>(context) = percent;
}

// A whole update through the library, as the tool's worker makes it.
UpdateTimes link_update(const std::string& image, const std::string& log_dir)
{
    UpdateTimes t;
    const double start = wall_seconds();
    const double cpu_start = cpu_seconds();
    {
        std::unique_ptr<com::Com> link(com::ComFactory().create_usb(vendor_id, product_id, log_dir, true));
        int code = link->com_open(open_timeout_ms, true);
        if (code == com::COM_SUCCESS)
            code = link->com_install_file(image, install_name, note_progress, &last_percent, std::string(),
                                          install_timeout_ms);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the link's update failed: code " + std::to_string(code));
    }
    t.total_cpu = cpu_seconds() - cpu_start;
    t.total = wall_seconds() - start;
    return t;
}

// The same transfers, libusb-1.0 called directly; any failure throws.
class BareUpdate {
public:
    explicit BareUpdate(const std::string& image_path) : path(image_path) {}

    UpdateTimes run()
    {
        UpdateTimes t;
        const double start = wall_seconds();
        const double cpu_start = cpu_seconds();
        if (libusb_init(nullptr) < 0)
            throw std::runtime_error("bare: libusb_init failed");
        handle = libusb_open_device_with_vid_pid(nullptr, vendor_id, product_id);
        if (!handle) {
            libusb_exit(nullptr);
            throw std::runtime_error("bare: cannot open the printer");
        }
        libusb_set_auto_detach_kernel_driver(handle, 1);
        if (libusb_claim_interface(handle, 0) != 0)
            fail("cannot claim the interface");

        const double look_start = wall_seconds();
        int got = 0;
        const int look = libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &got,
                                              stale_look_ms);
        t.look = wall_seconds() - look_start;
        if (look != LIBUSB_ERROR_TIMEOUT)
            fail("the look for stale replies found some");

        exchange("~M601 S0\r\n");

        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0)
            fail("cannot open the image");
        char command[128];
        std::snprintf(command, sizeof command, "~M28 %lld %s\r\n", static_cast<long long>(st.st_size),
                      remote_path);
        exchange(command);

        // Reading the emulator's CPU time from /proc is not part of the update:
        // its time is taken out of the totals.
        double probe = wall_seconds();
        double probe_cpu = cpu_seconds();
        const double emulator_cpu_start = emulator_cpu_seconds();
        const double data_cpu_start = cpu_seconds();
        const double data_start = wall_seconds();
        probe = data_start - probe;
        probe_cpu = data_cpu_start - probe_cpu;
        unsigned char piece[piece_bytes];
        for (off_t sent = 0; sent < st.st_size;) {
            const ssize_t n = ::read(fd, piece, sizeof piece);
            if (n <= 0)
                fail("cannot read the image");
            int transferred = 0;
            if (libusb_bulk_transfer(handle, endpoints.data_out, piece, static_cast<int>(n), &transferred,
                                     install_timeout_ms) != 0 ||
                transferred != n)
                fail("a data transfer failed");
            sent += n;
        }
        const double data_end = wall_seconds();
        const double data_cpu_end = cpu_seconds();
        t.data = data_end - data_start;
        t.data_cpu = data_cpu_end - data_cpu_start;
        t.data_emulator_cpu = emulator_cpu_start < 0 ? -1 : emulator_cpu_seconds() - emulator_cpu_start;
        probe_cpu += cpu_seconds() - data_cpu_end;
        probe += wall_seconds() - data_end;
        ::close(fd);
        fd = -1;

        const double pause_start = wall_seconds();
        timespec left{static_cast<time_t>(closing_pause_ms / 1000),
                      static_cast<long>(closing_pause_ms % 1000) * 1000000L};
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        t.pause = wall_seconds() - pause_start;

        exchange("~M29\r\n");
        exchange("~M600\r\n");
        exchange("~M602\r\n");
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        handle = nullptr;
        libusb_exit(nullptr);
        t.total_cpu = cpu_seconds() - cpu_start - probe_cpu;
        t.total = wall_seconds() - start - probe;
        return t;
    }

private:
    [[noreturn]] void fail(const char* what)
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        if (handle) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
            handle = nullptr;
            libusb_exit(nullptr);
        }
        throw std::runtime_error(std::string("bare: ") + what);
    }

    // One command line and its three reply lines, one transfer each.
    void exchange(const char* line)
    {
        int sent = 0;
        const int length = static_cast<int>(std::strlen(line));
        if (libusb_bulk_transfer(handle, endpoints.cmd_out, reinterpret_cast<unsigned char*>(const_cast<char*>(line)),
                                 length, &sent, install_timeout_ms) != 0 ||
            sent != length)
            fail("a command did not go out");
        for (int i = 0; i < 3; ++i) {
            int got = 0;
            if (libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &got,
                                     install_timeout_ms) != 0)
                fail("a reply did not come");
        }
    }

    std::string path;
    libusb_device_handle* handle = nullptr;
    int fd = -1;
    const com::EndpointSet endpoints = com::endpoints_for_product(product_id);
    unsigned char reply_buffer[4096];
};

// Throws unless the update just made stored the whole image, installed it,
// gave the printer back and broke no rule.
void check_update(emu::EmulatorControl& ctl, std::size_t installs_before, const char* side)
{
    const std::string what = std::string(side) + ": ";
    for (const std::string& v : ctl.violations(first_printer))
        throw std::runtime_error(what + "the printer saw: " + v);
    if (ctl.under_control(first_printer))
        throw std::runtime_error(what + "the printer was not given back");
    bool stored = false;
    for (const auto& f : ctl.files(first_printer))
        if (f.path == remote_path && f.complete && f.size == image_bytes)
            stored = true;
    if (!stored)
        throw std::runtime_error(what + "the printer did not store the whole image");
    const auto installs = ctl.installs(first_printer);
    if (installs.size() != installs_before + 1 || installs.back().path != remote_path || !installs.back().complete)
        throw std::runtime_error(what + "the printer did not install the image");
}

// The three updates of a round.  The second run of the bare program is the
// control: held against the first like the link, it shows how far two
// identical updates differ here, that is, the noise in the link's ratio.
enum Side { link_side, bare_side, control_side, side_count };
const char* const side_names[side_count] = {"link", "bare", "again"};

// Round r makes its updates in order r % 6: every order equally often, so
// that neither drift nor a disturbance that recurs at some period favours a
// side.
constexpr Side orders[6][side_count] = {
    {link_side, bare_side, control_side}, {bare_side, control_side, link_side},
    {control_side, link_side, bare_side}, {link_side, control_side, bare_side},
    {bare_side, link_side, control_side}, {control_side, bare_side, link_side},
};

std::vector<double> in_ms(const std::vector<double>& seconds)
{
    std::vector<double> ms;
    for (double s : seconds)
        ms.push_back(s * 1e3);
    return ms;
}

int run_updates(emu::EmulatorControl& ctl, int rounds, Summary& summary)
{
    ScratchFolder folder;
    const std::string image = image_content();
    const std::string image_path = folder.file("firmware.bin");
    write_file(image_path, image);
    const std::string log_dir = folder.file("log");
    ::mkdir(log_dir.c_str(), 0777);
    BareUpdate bare(image_path);

    // Per side and round: wall and CPU time of the whole update.
    std::vector<double> total[side_count], cpu[side_count];
    // Every counted run of the bare program (both sides).
    std::vector<double> look, pause, data_ms, data_cpu_us;
    std::uint64_t transfers_per_update[side_count] = {};
    double emulator_cpu = 0, data_total = 0;  // over every counted data phase
    std::printf("Whole updates of a %zu KiB image, %d rounds after a warm-up (link, bare, bare again; the order\n"
                "cycles through all six):\n",
                image_bytes / 1024, rounds);
    std::fflush(stdout);
    for (int round = -1; round < rounds; ++round) {
        const Side* order = orders[round < 0 ? 0 : round % 6];
        for (int k = 0; k < side_count; ++k) {
            const Side side = order[k];
            const std::size_t installs_before = ctl.installs(first_printer).size();
            const std::uint64_t transfers_before = ctl.transfer_count(first_printer);
            const UpdateTimes t = side == link_side ? link_update(image_path, log_dir) : bare.run();
            const std::uint64_t transfers = ctl.transfer_count(first_printer) - transfers_before;
            check_update(ctl, installs_before, side_names[side]);
            if (round < 0) {
                // The warm-up also checks the stored bytes, once per side.
                if (ctl.file_bytes(first_printer, remote_path) != image)
                    throw std::runtime_error("the stored image differs from the one sent");
                transfers_per_update[side] = transfers;
                continue;
            }
            if (transfers != transfers_per_update[side])
                throw std::runtime_error("an update made another number of transfers than the warm-up");
            if (side == link_side)
                std::printf("  round %2d  %-5s %8.2f ms, CPU %6.2f ms\n", round + 1, side_names[side], t.total * 1e3,
                            t.total_cpu * 1e3);
            else
                std::printf("  round %2d  %-5s %8.2f ms, CPU %6.2f ms (look %.2f, data %.2f, pause %.2f)\n",
                            round + 1, side_names[side], t.total * 1e3, t.total_cpu * 1e3, t.look * 1e3,
                            t.data * 1e3, t.pause * 1e3);
            total[side].push_back(t.total);
            cpu[side].push_back(t.total_cpu);
            if (side != link_side) {
                look.push_back(t.look);
                pause.push_back(t.pause);
                data_ms.push_back(t.data * 1e3);
                data_cpu_us.push_back(t.data_cpu * 1e6);
                emulator_cpu = emulator_cpu < 0 || t.data_emulator_cpu < 0 ? -1 : emulator_cpu + t.data_emulator_cpu;
                data_total += t.data;
            }
        }
    }
    for (int side = bare_side; side < side_count; ++side)
        if (transfers_per_update[side] != transfers_per_update[link_side])
            throw std::runtime_error("the link made " + std::to_string(transfers_per_update[link_side]) +
                                     " transfers, the bare program " + std::to_string(transfers_per_update[side]));

    // Both fixed waits, as the bare program measured them, come off every
    // update: what is left is the work, and the transfers' time.
    const Spread pause_s = spread(pause);
    const double fixed = spread(look).median + pause_s.median;
    std::vector<double> work[side_count];
    for (int side = 0; side < side_count; ++side)
        for (double t : total[side])
            work[side].push_back((t - fixed) * 1e3);
    std::vector<double> ratio, ratio_look, ratio_cpu, extra, control, control_cpu;
    for (std::size_t i = 0; i < total[link_side].size(); ++i) {
        ratio.push_back(work[link_side][i] / work[bare_side][i]);
        ratio_look.push_back((total[link_side][i] - pause_s.median) / (total[bare_side][i] - pause_s.median));
        ratio_cpu.push_back(cpu[link_side][i] / cpu[bare_side][i]);
        extra.push_back(work[link_side][i] - work[bare_side][i]);
        control.push_back(work[control_side][i] / work[bare_side][i]);
        control_cpu.push_back(cpu[control_side][i] / cpu[bare_side][i]);
    }
    const double ratio_best = spread(work[link_side]).min / spread(work[bare_side]).min;
    const double control_best = spread(work[control_side]).min / spread(work[bare_side]).min;
    const double pieces = static_cast<double>((image_bytes + piece_bytes - 1) / piece_bytes);
    std::vector<double> mbps, transfer_ms, cpu_us;
    for (std::size_t i = 0; i < data_ms.size(); ++i) {
        mbps.push_back(static_cast<double>(image_bytes) / (data_ms[i] / 1e3) / 1e6);
        transfer_ms.push_back(data_ms[i] / pieces);
        cpu_us.push_back(data_cpu_us[i] / pieces);
    }
    const double all_transfers = pieces * static_cast<double>(data_ms.size());

    print_row("update, link (ms)", spread(in_ms(total[link_side])), "");
    print_row("update, bare program (ms)", spread(in_ms(total[bare_side])), "");
    print_row("update, bare program again (ms)", spread(in_ms(total[control_side])), "");
    print_row("look for stale replies (bare, ms)", spread(in_ms(look)), "", "%.3f");
    print_row("pause before ~M29 (bare, ms)", spread(in_ms(pause)), "", "%.3f");
    print_row("update less look and pause, link (ms)", spread(work[link_side]), "");
    print_row("update less look and pause, bare (ms)", spread(work[bare_side]), "");
    print_row("ratio link / bare, less look and pause", spread(ratio), "", "%.3f");
    print_row("ratio link / bare, less the pause only", spread(ratio_look), "", "%.3f");
    print_row("ratio link / bare, the program's CPU time", spread(ratio_cpu), "", "%.3f");
    std::printf("  %-46s %.3f\n", "ratio link / bare, each side's fastest update", ratio_best);
    print_row("control: bare again / bare, as the ratio", spread(control), "", "%.3f");
    print_row("control: bare again / bare, CPU time", spread(control_cpu), "", "%.3f");
    std::printf("  %-46s %.3f\n", "control: each side's fastest update", control_best);
    print_row("link's extra time per update (ms)", spread(extra), "", "%.2f");
    print_row("data phase, 1 MiB (bare, ms)", spread(data_ms), "");
    print_row("bulk speed (MB/s)", spread(mbps), "");
    print_row("per 4096-byte transfer (ms)", spread(transfer_ms), "", "%.3f");
    print_row("this program's CPU per transfer (us)", spread(cpu_us), "", "%.1f");
    if (emulator_cpu >= 0)
        std::printf("  %-46s %.1f us (all data phases together, %.0f ms of %.0f ms)\n",
                    "the emulator's CPU per transfer", emulator_cpu / all_transfers * 1e6, emulator_cpu * 1e3,
                    data_total * 1e3);
    std::printf("  transfers per update (emulator's count)        link %llu, bare %llu, again %llu\n\n",
                static_cast<unsigned long long>(transfers_per_update[link_side]),
                static_cast<unsigned long long>(transfers_per_update[bare_side]),
                static_cast<unsigned long long>(transfers_per_update[control_side]));

    summary.value("emu_update_rounds", rounds);
    summary.value("emu_update_transfers", static_cast<double>(transfers_per_update[link_side]));
    summary.values("emu_update_link_ms", spread(in_ms(total[link_side])));
    summary.values("emu_update_bare_ms", spread(in_ms(total[bare_side])));
    summary.values("emu_look_ms", spread(in_ms(look)));
    summary.values("emu_pause_ms", spread(in_ms(pause)));
    summary.values("emu_work_link_ms", spread(work[link_side]));
    summary.values("emu_work_bare_ms", spread(work[bare_side]));
    summary.values("emu_ratio", spread(ratio));
    summary.values("emu_ratio_with_look", spread(ratio_look));
    summary.values("emu_ratio_cpu", spread(ratio_cpu));
    summary.value("emu_ratio_best", ratio_best);
    summary.values("emu_control_ratio", spread(control));
    summary.values("emu_control_ratio_cpu", spread(control_cpu));
    summary.value("emu_control_ratio_best", control_best);
    summary.values("emu_extra_ms", spread(extra));
    summary.values("emu_data_ms", spread(data_ms));
    summary.values("emu_bulk_MBps", spread(mbps));
    summary.values("emu_transfer_ms", spread(transfer_ms));
    summary.values("emu_transfer_cpu_us", spread(cpu_us));
    if (emulator_cpu >= 0)
        summary.value("emu_transfer_emulator_cpu_us", emulator_cpu / all_transfers * 1e6);
    return 0;
}

// --- the scan -----------------------------------------------------------------------

// The rows of the printer table, the tool's model first.
std::vector<const com::DeviceInfo*> table_rows()
{
    const com::DeviceInfo* tool_row = com::find_supported_device(vendor_id, product_id);
    std::vector<const com::DeviceInfo*> rows{tool_row};
    for (const com::DeviceInfo& row : com::supported_devices) {
        if (row.vendor_id == 0 && row.product_id == 0)
            break;
        if (&row != tool_row)
            rows.push_back(&row);
    }
    return rows;
}

int run_scans(emu::EmulatorControl& ctl, int runs, Summary& summary)
{
    const std::vector<const com::DeviceInfo*> rows = table_rows();
    std::printf("One scan (ComFactory::list_usb_devices), mean over at least %.1f s, %d runs:\n", scan_batch_seconds,
                runs);
    std::fflush(stdout);
    for (const int printers : {1, 4, 16}) {
        std::size_t plugged = 0;
        for (const auto& p : ctl.printers())
            plugged += p.plugged ? 1 : 0;
        for (; plugged < static_cast<std::size_t>(printers); ++plugged) {
            emu::EmulatorControl::NewPrinter p;
            p.vendor_id = rows[plugged % rows.size()]->vendor_id;
            p.product_id = rows[plugged % rows.size()]->product_id;
            ctl.plug(p);
        }
        std::vector<double> wall_us, cpu_us;
        std::size_t scans_per_run = 0;
        {
            QuietStdout quiet;
            com::ComFactory factory;
            const auto scan = [&] {
                std::vector<com::UsbDeviceRecord> records;
                const int code = factory.list_usb_devices(&records);
                if (code != com::COM_SUCCESS || records.size() != static_cast<std::size_t>(printers))
                    throw std::runtime_error("the scan did not find every printer");
            };
            scan();  // warm-up
            for (int run = 0; run < runs; ++run) {
                const double start = wall_seconds();
                const double cpu_start = cpu_seconds();
                std::size_t n = 0;
                do {
                    scan();
                    ++n;
                } while (n < 3 || wall_seconds() - start < scan_batch_seconds);
                wall_us.push_back((wall_seconds() - start) / static_cast<double>(n) * 1e6);
                cpu_us.push_back((cpu_seconds() - cpu_start) / static_cast<double>(n) * 1e6);
                scans_per_run = std::max(scans_per_run, n);
            }
        }
        const Spread wall = spread(wall_us);
        const Spread cpu = spread(cpu_us);
        char label[64];
        std::snprintf(label, sizeof label, "%d printer%s, wall (us)", printers, printers == 1 ? "" : "s");
        print_row(label, wall, "", "%.0f");
        std::snprintf(label, sizeof label, "%d printer%s, CPU (us)", printers, printers == 1 ? "" : "s");
        print_row(label, cpu, "", "%.0f");
        const std::string key = "emu_scan" + std::to_string(printers);
        summary.values(key + "_us", wall);
        summary.values(key + "_cpu_us", cpu);
        summary.value(key + "_scans_per_run", static_cast<double>(scans_per_run));
    }
    summary.value("emu_scan_runs", runs);
    std::printf("\n");
    return 0;
}

int positive_option(const char* arg, const char* name, int* value)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0)
        return 0;
    *value = std::atoi(arg + n);
    return *value > 0 ? 1 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 11;
    int scan_runs = 9;
    const char* summary_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        int known = positive_option(argv[i], "--rounds=", &rounds);
        if (known == 0)
            known = positive_option(argv[i], "--scan-runs=", &scan_runs);
        if (known == 0 && std::strncmp(argv[i], "--summary=", 10) == 0) {
            summary_path = argv[i] + 10;
            known = 1;
        }
        if (known != 1) {
            std::fprintf(stderr, "usage: %s [--rounds=N] [--scan-runs=N] [--summary=FILE]\n", argv[0]);
            return 2;
        }
    }
    if (!emu::EmulatorControl::available()) {
        std::fprintf(stderr, "zarvik-bench-emulator: run this as the child of zarvik-printer-emulator --control\n");
        return 2;
    }
    try {
        Summary summary(summary_path);
        emu::EmulatorControl ctl;
        run_updates(ctl, rounds, summary);
        run_scans(ctl, scan_runs, summary);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarvik-bench-emulator: %s\n", e.what());
        return 1;
    }
}

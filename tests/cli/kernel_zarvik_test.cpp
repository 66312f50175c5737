// zarvik on the real libusb-1.0 and the real Linux kernel USB stack: runs in
// the kernel test guest (tests/kernel/run-guest.sh) against the gadget
// printer, through zarvik::run, the whole program but its main(): one
// printer, four at once, and zarvik watch meeting gadget printers plugged in
// one after the other through the kernel's and udev's hotplug path.
//
//   kernel_zarvik_test --gadget PATH [GoogleTest options]
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <future>
#include <map>
#include <set>
#include <thread>

#include <unistd.h>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/devices.h"
#include "com/result.h"
#include "com/usb_monitor.h"
#include "gadget_process.h"
#include "interrupt.h"
#include "support/test_support.h"
#include "watch_scripts.h"
#include "zarvik.h"

namespace {

using kerneltest::gadget_program;

// zarvik::run with its output caught, and printed for the guest's console.
class ZarvikInGuest : public ::testing::Test {
protected:
    int run(const std::vector<std::string>& args)
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        zarvik::Io io;
        io.out = out;
        io.err = err;
        io.program_dir = program.utf8();
        const int status = zarvik::run(args, io);
        out_text = testsupport::read_stream(out);
        err_text = testsupport::read_stream(err);
        std::fclose(out);
        std::fclose(err);
        std::printf("zarvik");
        for (const std::string& a : args)
            std::printf(" %s", a.c_str());
        std::printf(" -> %d\n%s%s", status, out_text.c_str(), err_text.c_str());
        return status;
    }

    static std::string made_serial(const char* prefix, int n = 0)
    {
        char made[40];
        std::snprintf(made, sizeof made, "%s%08lX%d", prefix, static_cast<unsigned long>(std::time(nullptr)), n);
        return made;
    }

    static std::string place(const kerneltest::GadgetProcess& g)
    {
        return std::to_string(g.host().bus) + ":" + std::to_string(g.host().address);
    }

    static constexpr int printer_id = 1;  // a gadget's one printer
    testsupport::TempDir firmware, logs, scratch, program;
    std::string out_text, err_text;
};

class KernelZarvik : public ZarvikInGuest {
protected:
    void SetUp() override
    {
        serial = made_serial("ZZ");
        gadget = std::make_unique<kerneltest::GadgetProcess>(gadget_program, "2c7e:4201", serial);
    }

    void TearDown() override
    {
        if (gadget)
            for (const std::string& what : gadget->violations(printer_id))
                ADD_FAILURE() << "printer saw: " << what;
    }

    std::string serial;
    std::unique_ptr<kerneltest::GadgetProcess> gadget;
};

TEST_F(KernelZarvik, ListThenAWholeUpdateOfThePrinterAtItsPlace)
{
    const std::string place = ZarvikInGuest::place(*gadget);
    ASSERT_EQ(run({"list"}), zarvik::exit_updated);
    // The port path as the kernel names the device in sysfs.
    EXPECT_NE(out_text.find(place + "  port " + gadget->host().sysfs_name +
                            "  2c7e:4201  Edvin Halvenn Tool Corporation  Halvenn Orbrey 3D Printer  serial " + serial +
                            "  [updated by this tool]"),
              std::string::npos);

    const std::string image = testsupport::pattern_bytes(300000, 31);
    const std::string fonts = testsupport::pattern_bytes(50000, 32);
    testsupport::write_file(firmware.path() / "Firmware-2.5.bin", image);
    testsupport::write_file(firmware.path() / "fonts.xbf", fonts);
    testsupport::write_file(firmware.path() / "notes.txt", "not sent");
    ASSERT_EQ(run({"update", "--firmware", firmware.utf8(), "--printer", place, "--log", logs.utf8()}),
              zarvik::exit_updated);
    EXPECT_NE(out_text.find(place + " " + serial +
                            ": Firmware has been uploaded, reboot your printer to complete the update."),
              std::string::npos);

    EXPECT_FALSE(gadget->under_control(printer_id));
    const auto stored = gadget->files(printer_id);
    ASSERT_EQ(stored.size(), 2u);
    for (const auto& f : stored)
        EXPECT_TRUE(f.complete) << f.path;
    EXPECT_TRUE(gadget->file_bytes(printer_id, "0:/sys/orbrey.bin") == image);
    EXPECT_TRUE(gadget->file_bytes(printer_id, "0:/sys/fonts.xbf") == fonts);
    const auto installs = gadget->installs(printer_id);
    ASSERT_EQ(installs.size(), 2u);
    EXPECT_EQ(installs[0].path, "0:/sys/orbrey.bin");
    const auto logs_made = testsupport::log_files(logs.path());
    ASSERT_EQ(logs_made.size(), 1u);
    EXPECT_NE(testsupport::read_file(logs.path() / logs_made[0]).find("serial " + serial), std::string::npos);
}

// Four gadget printers, each on a device controller and a bus of its own
// (gadgetfs and its three copies, see make-initramfs.sh), updated by
// `zarvik update --all`, and one of them alone for comparison, in turns.
// Each update must succeed and every printer end holding the image byte for
// byte; the time of the four against the one is printed, a figure and not a
// check (the guest's one emulated CPU runs the four printers and zarvik).
TEST_F(ZarvikInGuest, FourPrintersAtOnceAgainstOneAlone)
{
    const char* const folders[] = {"/dev/gadget", "/dev/gadget1", "/dev/gadget2", "/dev/gadget3"};
    std::vector<std::unique_ptr<kerneltest::GadgetProcess>> printers;
    for (int i = 0; i < 4; ++i)
        printers.push_back(
            std::make_unique<kerneltest::GadgetProcess>(gadget_program, "2c7e:4201", made_serial("ZF", i), folders[i]));
    ASSERT_EQ(run({"list"}), zarvik::exit_updated);
    for (const auto& p : printers)
        EXPECT_NE(out_text.find(place(*p) + "  port " + p->host().sysfs_name + "  2c7e:4201"), std::string::npos)
            << place(*p);

    const std::string image = testsupport::pattern_bytes(1 << 20, 41);
    testsupport::write_file(firmware.path() / "Firmware-4.0.bin", image);
    using Clock = std::chrono::steady_clock;
    // The guest's CPU time, busy and in all, from /proc/stat (clock ticks).
    const auto cpu = [] {
        unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
        std::FILE* f = std::fopen("/proc/stat", "r");
        if (f) {
            if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq,
                            &softirq) != 7)
                user = nice = system = idle = iowait = irq = softirq = 0;
            std::fclose(f);
        }
        const unsigned long long busy = user + nice + system + irq + softirq;
        return std::make_pair(busy, busy + idle + iowait);
    };
    std::vector<double> four_busy, one_busy;
    const auto timed = [&](const std::vector<std::string>& args, std::vector<double>& busy) {
        const auto before = cpu();
        const auto start = Clock::now();
        const int status = run(args);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const auto after = cpu();
        busy.push_back(100.0 * static_cast<double>(after.first - before.first) /
                       static_cast<double>(std::max(after.second - before.second, 1ULL)));
        EXPECT_EQ(status, zarvik::exit_updated);
        return ms;
    };
    const std::vector<std::string> all = {"update", "--firmware", firmware.utf8(), "--all", "--log", logs.utf8()};
    const std::vector<std::string> alone = {
        "update", "--firmware", firmware.utf8(), "--printer", place(*printers[0]), "--log", logs.utf8("alone")};
    constexpr int rounds = 5;
    std::vector<double> four_ms, one_ms;
    for (int round = 0; round < rounds; ++round) {
        // In turns, so that neither always comes first.
        if (round % 2 == 0)
            one_ms.push_back(timed(alone, one_busy));
        four_ms.push_back(timed(all, four_busy));
        EXPECT_NE(out_text.find("summary: 4 of 4 printers updated"), std::string::npos);
        if (round % 2 == 1)
            one_ms.push_back(timed(alone, one_busy));
    }
    for (auto* v : {&four_ms, &one_ms, &four_busy, &one_busy})
        std::sort(v->begin(), v->end());
    std::printf("zarvik-kernel-figure: a 1 MiB image, four printers at once %.0f ms [%.0f, %.0f], one alone %.0f ms "
                "[%.0f, %.0f] (medians [min, max] of %d): %.2f x one; the guest's CPU busy %.0f %% / %.0f %%\n",
                four_ms[rounds / 2], four_ms.front(), four_ms.back(), one_ms[rounds / 2], one_ms.front(), one_ms.back(),
                rounds, four_ms[rounds / 2] / one_ms[rounds / 2], four_busy[rounds / 2], one_busy[rounds / 2]);

    for (std::size_t i = 0; i < printers.size(); ++i) {
        SCOPED_TRACE(place(*printers[i]));
        kerneltest::GadgetProcess& p = *printers[i];
        EXPECT_FALSE(p.under_control(printer_id));
        const auto installs = p.installs(printer_id);
        EXPECT_EQ(installs.size(), static_cast<std::size_t>(i == 0 ? 2 * rounds : rounds));
        for (const auto& install : installs)
            EXPECT_TRUE(install.complete && install.path == "0:/sys/orbrey.bin") << install.path;
        EXPECT_TRUE(p.file_bytes(printer_id, "0:/sys/orbrey.bin") == image) << "the image is not byte for byte";
        for (const std::string& what : p.violations(printer_id))
            ADD_FAILURE() << "printer saw: " << what;
    }
}

// --- zarvik watch on the real hotplug path ------------------------------------------

// Gadget printers as the bench's scripts plug them (watch_scripts.h): each
// plug-in a gadget process, on a gadgetfs of its own while another is
// plugged in; zarvik watch runs on a thread of this program.  A gadget's
// state goes with its process, so each appearance's is kept when it ends.
class GadgetBench : public watchtest::Bench {
public:
    GadgetBench(const std::string& firmware_dir, const std::string& logs_dir)
        : firmware_dir(firmware_dir), logs_dir(logs_dir)
    {
    }

    ~GadgetBench() override
    {
        if (runner.joinable()) {
            interrupt();
            runner.join();
        }
        if (out)
            std::fclose(out);
        if (err)
            std::fclose(err);
    }

    void start(const std::vector<std::string>& extra) override
    {
        std::vector<std::string> args{"watch", "--firmware", firmware_dir, "--json", "--log", logs_dir};
        args.insert(args.end(), extra.begin(), extra.end());
        out = std::fopen(output_path().c_str(), "w");
        err = std::tmpfile();
        io.out = out;
        io.err = err;
        io.program_dir = logs_dir;
        runner = std::thread([this, args] { status = zarvik::run(args, io); });
    }

    void plug(const watchtest::PlugRequest& r) override { appear(r.name); }
    void replug(const std::string& name) override { appear(name); }

    void unplug(const std::string& name) override
    {
        Printer& p = printers.at(name);
        keep(p);
        folders_in_use.erase(p.folder);
        p.gadget.reset();  // ends the process, and waits until the host has let it go
    }

    void interrupt() override
    {
        const int before = zarvik::InterruptWatch::handled();
        ::kill(::getpid(), SIGINT);
        for (int i = 0; i < 5000 && zarvik::InterruptWatch::handled() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::vector<std::string> places(const std::string& name) override { return printers.at(name).places; }

    int finish() override
    {
        runner.join();
        for (auto& [name, p] : printers)
            if (p.gadget)
                keep(p);
        return status;
    }

    int takes(const std::string& name) override
    {
        int n = 0;
        for (const Kept& k : printers.at(name).kept)
            n += k.takes;
        return n;
    }

    bool holds_firmware(const std::string& name) override
    {
        const auto& kept = printers.at(name).kept;
        return std::any_of(kept.begin(), kept.end(), [](const Kept& k) { return k.holds_firmware; });
    }

    std::string output_path() const override { return output.utf8("out.json"); }

    std::vector<std::string> violations;

    static constexpr int image_bytes = 20000, fonts_bytes = 9000;

private:
    struct Kept {
        int takes = 0;
        bool holds_firmware = false;
    };
    struct Printer {
        std::unique_ptr<kerneltest::GadgetProcess> gadget;
        std::string folder;
        std::vector<std::string> places;
        std::vector<Kept> kept;
    };

    void appear(const std::string& name)
    {
        static const char* const folders[] = {"/dev/gadget", "/dev/gadget1", "/dev/gadget2", "/dev/gadget3"};
        Printer& p = printers[name];
        for (const char* folder : folders)
            if (folders_in_use.insert(folder).second) {
                p.folder = folder;
                break;
            }
        p.gadget = std::make_unique<kerneltest::GadgetProcess>(gadget_program, "2c7e:4201", name, p.folder);
        p.places.push_back(std::to_string(p.gadget->host().bus) + ":" + std::to_string(p.gadget->host().address));
    }

    void keep(Printer& p)
    {
        kerneltest::GadgetProcess& g = *p.gadget;
        Kept k;
        for (const std::string& c : g.commands(printer_id))
            k.takes += c == "~M601 S0";
        const auto installs = g.installs(printer_id);
        k.holds_firmware =
            installs.size() == 2 && !g.under_control(printer_id) &&
            g.file_bytes(printer_id, "0:/sys/orbrey.bin") == testsupport::pattern_bytes(image_bytes, 51) &&
            g.file_bytes(printer_id, "0:/sys/fonts.xbf") == testsupport::pattern_bytes(fonts_bytes, 52);
        for (const std::string& what : g.violations(printer_id))
            violations.push_back(what);
        p.kept.push_back(k);
    }

    static constexpr int printer_id = 1;
    const std::string firmware_dir, logs_dir;
    testsupport::TempDir output;
    std::map<std::string, Printer> printers;
    std::set<std::string> folders_in_use;
    zarvik::Io io;
    std::FILE* out = nullptr;
    std::FILE* err = nullptr;
    std::thread runner;
    int status = -1;
};

// Two gadget printers plugged in one after the other, the first plugged in
// again after its update (not updated again) while the second comes.
TEST_F(ZarvikInGuest, WatchUpdatesEachGadgetPrinterOnceAsItIsPluggedIn)
{
    testsupport::write_file(firmware.path() / "Main-2.4.bin", testsupport::pattern_bytes(GadgetBench::image_bytes, 51));
    testsupport::write_file(firmware.path() / "fonts.xbf", testsupport::pattern_bytes(GadgetBench::fonts_bytes, 52));
    const watchtest::Script& script = watchtest::scripts()[1];
    SCOPED_TRACE(script.what);
    GadgetBench bench(firmware.utf8(), logs.utf8());
    watchtest::run_script(bench, script);
    for (const std::string& what : bench.violations)
        ADD_FAILURE() << "printer saw: " << what;
    for (const nlohmann::json& e : bench.events())
        std::printf("watch: %s\n", e.dump().c_str());
}

// What the kernel's USB stack needs before a printer just plugged in can be
// taken, and the time from the plug-in to the first "~M601" under zarvik
// watch: figures, not checks.
TEST_F(ZarvikInGuest, FromThePlugInToTheFirstTakeOfControl)
{
    using Clock = std::chrono::steady_clock;
    const auto ms_between = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    constexpr int rounds = 5;
    std::vector<double> to_arrival, arrival_to_take, tries;
    com::UsbMonitor::Options no_settle;
    no_settle.settle_ms = 0;
    for (int n = 0; n < rounds; ++n) {
        com::UsbMonitor monitor(no_settle);
        ASSERT_EQ(monitor.start(), com::COM_SUCCESS);
        ASSERT_TRUE(monitor.uses_hotplug());
        std::vector<com::UsbMonitor::Change> changes;
        monitor.wait(0, &changes);
        changes.clear();
        const auto plugged = Clock::now();
        auto gadget = std::async(std::launch::async, [&] {
            return std::make_unique<kerneltest::GadgetProcess>(gadget_program, "2c7e:4201", made_serial("ZS", n));
        });
        com::UsbPrinterRecord arrived{};
        bool found = false;
        while (!found && ms_between(plugged, Clock::now()) < 20000) {
            monitor.wait(100, &changes);
            for (const auto& c : changes)
                found = found || (c.kind == com::UsbMonitor::Kind::arrived && (arrived = c.printer, true));
            changes.clear();
        }
        ASSERT_TRUE(found);
        const auto arrival = Clock::now();
        int attempts = 0;
        for (;; ++attempts) {
            const com::UsbDeviceRecord& d = arrived.device;
            std::unique_ptr<com::Com> link(com::ComFactory().create_usb_at(
                d.bus_number, d.device_address, d.info.vendor_id, d.info.product_id, std::string(), false));
            if (link->com_open(200, true) == com::COM_SUCCESS)
                break;
            ASSERT_LT(ms_between(arrival, Clock::now()), 20000) << "never taken";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        to_arrival.push_back(ms_between(plugged, arrival));
        arrival_to_take.push_back(ms_between(arrival, Clock::now()));
        tries.push_back(attempts + 1);
        gadget.get().reset();
    }

    testsupport::write_file(firmware.path() / "Main-2.4.bin", testsupport::pattern_bytes(4096, 53));
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    zarvik::Io io;
    io.out = out;
    io.err = err;
    io.program_dir = program.utf8();
    int status = -1;
    std::thread watch([&] {
        status = zarvik::run(
            {"watch", "--firmware", firmware.utf8(), "--count", std::to_string(rounds), "--log", logs.utf8()}, io);
    });
    std::vector<double> to_first_take, configured_to_take;
    for (int n = 0; n < rounds; ++n) {
        const auto plugged = Clock::now();
        kerneltest::GadgetProcess gadget(gadget_program, "2c7e:4201", made_serial("ZW", n));
        const auto configured = Clock::now();
        for (;;) {
            const auto commands = gadget.commands(1);
            if (std::find(commands.begin(), commands.end(), "~M601 S0") != commands.end())
                break;
            ASSERT_LT(ms_between(plugged, Clock::now()), 30000) << "the watch never took it";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        to_first_take.push_back(ms_between(plugged, Clock::now()));
        configured_to_take.push_back(ms_between(configured, Clock::now()));
        while (gadget.installs(1).empty() || gadget.under_control(1))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    watch.join();
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(status, zarvik::exit_updated);
    for (auto* v : {&to_arrival, &arrival_to_take, &tries, &to_first_take, &configured_to_take})
        std::sort(v->begin(), v->end());
    const auto spread = [](const std::vector<double>& v) {
        char text[64];
        std::snprintf(text, sizeof text, "%.0f [%.0f, %.0f]", v[v.size() / 2], v.front(), v.back());
        return std::string(text);
    };
    std::printf("zarvik-kernel-figure: gadget started to its arrival told %s ms; arrival to the first take of control "
                "%s ms in %s opens (medians [min, max] of %d)\n",
                spread(to_arrival).c_str(), spread(arrival_to_take).c_str(), spread(tries).c_str(), rounds);
    std::printf("zarvik-kernel-figure: zarvik watch, gadget started to the first ~M601 %s ms, from the host's "
                "configuration of it %s ms\n",
                spread(to_first_take).c_str(), spread(configured_to_take).c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    return kerneltest::run_guest_tests(argc, argv);
}

// zarvik on the real libusb-1.0 and the real Linux kernel USB stack: runs in
// the kernel test guest (tests/kernel/run-guest.sh) against the gadget
// printer, through zarvik::run, the whole program but its main(): one
// printer, and four at once.
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

#include "com/devices.h"
#include "gadget_process.h"
#include "support/test_support.h"
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
    EXPECT_NE(out_text.find(place + "  2c7e:4201  Edvin Halvenn Tool Corporation  Halvenn Orbrey 3D Printer  serial " +
                            serial + "  [updated by this tool]"),
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
        EXPECT_NE(out_text.find(place(*p) + "  2c7e:4201"), std::string::npos) << place(*p);

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

}  // namespace

int main(int argc, char** argv)
{
    return kerneltest::run_guest_tests(argc, argv);
}

// zarvik watch on the real libusb-1.0 and its hotplug events, under the
// umockdev printer emulator: the bench's scripts (watch_scripts.h), each
// printer plugged in and out through the emulator's control language while
// the program `zarvik` watches.  Runs as the child of
// zarvik-printer-emulator --control auto (no printer at the start); it runs
// zarvik as its own child, which finds the emulated bus as it does.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator_control.h"
#include "support/test_support.h"
#include "watch_scripts.h"

namespace {

class EmulatorBench : public watchtest::Bench {
public:
    EmulatorBench()
    {
        testsupport::write_file(firmware.path() / "Main-2.4.bin", image);
        testsupport::write_file(firmware.path() / "fonts.xbf", fonts);
    }

    ~EmulatorBench() override
    {
        if (child > 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }

    void start(const std::vector<std::string>& extra) override
    {
        // Its history in the test's own folder, never beside the program, where
        // every test run and every other test would share it.
        std::vector<std::string> args{ZARVIK_PROGRAM,  "watch",     "--firmware",
                                      firmware.utf8(), "--json",    "--log",
                                      logs.utf8(),     "--history", output.utf8("history.sqlite")};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const std::string out = output_path();
        const std::string err = output.utf8("err.txt");
        child = ::fork();
        if (child == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
    }

    void plug(const watchtest::PlugRequest& r) override
    {
        emu::ControlClient::NewPrinter p;
        p.vendor_id = 0x2C7E;
        p.product_id = r.product_id;
        p.bus = 1;
        p.ports = r.ports;
        p.serial = r.name;
        p.no_serial = r.no_serial;
        Printer& printer = printers[r.name];
        printer.id = ctl.plug(p);
        if (r.vanish_after)
            ctl.vanish_after_data(printer.id, r.vanish_after);
        appeared(printer);
        if (r.interrupt) {
            // While it takes the second file, which takes a while here.
            ASSERT_TRUE(wait_for([&] { return ctl.open_upload(printer.id).path == "0:/sys/fonts.xbf"; }));
            interrupt();
        }
    }

    void replug(const std::string& name) override
    {
        Printer& p = printers.at(name);
        ctl.plug_back(p.id);
        appeared(p);
    }

    void unplug(const std::string& name) override { ctl.unplug(printers.at(name).id); }

    void interrupt() override { ::kill(child, SIGINT); }

    std::vector<std::string> places(const std::string& name) override
    {
        const auto it = printers.find(name);
        return it == printers.end() ? std::vector<std::string>() : it->second.places;
    }

    int finish() override
    {
        int status = 0;
        for (int i = 0; i < 3000; ++i) {
            if (::waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                // What it told a person, for the test's log.
                std::printf("zarvik's standard error:\n%s", testsupport::read_file(output.path() / "err.txt").c_str());
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the watch did not end";
        return -1;
    }

    int takes(const std::string& name) override
    {
        int n = 0;
        for (const std::string& c : ctl.commands(printers.at(name).id))
            n += c == "~M601 S0";
        return n;
    }

    bool holds_firmware(const std::string& name) override
    {
        const int id = printers.at(name).id;
        return ctl.file_bytes(id, "0:/sys/orbrey.bin") == image && ctl.file_bytes(id, "0:/sys/fonts.xbf") == fonts &&
               ctl.installs(id).size() == 2 && !ctl.under_control(id);
    }

    std::string output_path() const override { return output.utf8("out.json"); }

    std::vector<std::string> violations()
    {
        std::vector<std::string> out;
        for (const auto& [name, p] : printers)
            for (const std::string& what : ctl.violations(p.id))
                out.push_back(name + " saw: " + what);
        return out;
    }

private:
    struct Printer {
        int id = 0;
        std::vector<std::string> places;
    };

    void appeared(Printer& p)
    {
        for (const auto& state : ctl.printers())
            if (state.id == p.id)
                p.places.push_back(std::to_string(state.bus) + ":" + std::to_string(state.address));
    }

    static bool wait_for(const std::function<bool()>& condition)
    {
        for (int i = 0; i < 10000; ++i) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    emu::EmulatorControl ctl;
    testsupport::TempDir firmware, logs, output;
    // The second file large enough (about a second through umockdev) to be
    // interrupted while it goes.
    const std::string image = testsupport::pattern_bytes(20000, 1);
    const std::string fonts = testsupport::pattern_bytes(1 << 20, 2);
    std::map<std::string, Printer> printers;
    pid_t child = -1;
};

class WatchScript : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WatchScript, OnTheRealLibusb)
{
    ASSERT_TRUE(emu::EmulatorControl::available()) << "run this program as the child of zarvik-printer-emulator";
    const watchtest::Script& script = watchtest::scripts()[GetParam()];
    SCOPED_TRACE(script.what);
    EmulatorBench bench;
    watchtest::run_script(bench, script);
    for (const std::string& what : bench.violations())
        ADD_FAILURE() << what;
}

INSTANTIATE_TEST_SUITE_P(Bench, WatchScript, ::testing::Range<std::size_t>(0, watchtest::scripts().size()));

}  // namespace

// zarvik watch on the in-process emulated bus and the virtual clock: the
// bench's scripts (watch_scripts.h), and what a person sees on a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/result.h"
#include "interrupt.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"
#include "watch_display.h"
#include "watch_scripts.h"
#include "zarvik.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {

using nlohmann::json;

constexpr std::uint16_t vid = 0x2C7E;

// Ctrl-C, once it has been passed on.
void interrupt_now()
{
    const int before = zarvik::InterruptWatch::handled();
#ifdef _WIN32
    zarvik::InterruptWatch::console_event(CTRL_C_EVENT);
#else
    ::kill(::getpid(), SIGINT);
#endif
    for (int i = 0; i < 5000 && zarvik::InterruptWatch::handled() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The emulated bus as the scripts' bench: zarvik::run on a thread of its own.
class InProcessBench : public watchtest::Bench {
public:
    InProcessBench()
    {
        testsupport::write_file(firmware.path() / "Main-2.4.bin", image);
        testsupport::write_file(firmware.path() / "fonts.xbf", fonts);
    }

    ~InProcessBench() override
    {
        if (runner.joinable()) {
            interrupt_now();
            runner.join();
        }
        if (out)
            std::fclose(out);
        if (err)
            std::fclose(err);
    }

    void start(const std::vector<std::string>& extra) override
    {
        std::vector<std::string> args{"watch", "--firmware", firmware.utf8(), "--json", "--log", logs.utf8()};
        args.insert(args.end(), extra.begin(), extra.end());
        if (out)
            std::fclose(out);
        if (err)
            std::fclose(err);
        out = std::fopen(output_path().c_str(), "w");
        err = std::tmpfile();
        io.out = out;
        io.err = err;
        io.program_dir = logs.utf8();
        runner = std::thread([this, args] { status = zarvik::run(args, io); });
    }

    void plug(const watchtest::PlugRequest& r) override
    {
        Printer& p = printers[r.name];
        p.spec = emu::printer_identity(vid, r.product_id, 1, next_address++);
        p.spec.serial = r.no_serial ? "" : r.name;
        p.spec.ports.assign(r.ports.begin(), r.ports.end());
        p.model = std::make_shared<emu::Printer>(p.spec.endpoints);
        if (r.vanish_after)
            p.model->vanish_after_data(r.vanish_after);
        if (r.interrupt) {
            auto uploads = std::make_shared<int>(0);
            p.model->set_command_hook([uploads](const std::string& line) {
                if (line.rfind("~M28 ", 0) == 0 && ++*uploads == 2)
                    interrupt_now();
            });
        }
        attach(p);
    }

    void replug(const std::string& name) override
    {
        Printer& p = printers.at(name);
        if (p.device && p.device->attached)
            emu::UsbBus::instance().detach(p.device);
        p.spec.address = next_address++;
        p.model->plug_back();
        attach(p);
    }

    void unplug(const std::string& name) override { emu::UsbBus::instance().detach(printers.at(name).device); }

    void interrupt() override { interrupt_now(); }

    std::vector<std::string> places(const std::string& name) override
    {
        const auto it = printers.find(name);
        return it == printers.end() ? std::vector<std::string>() : it->second.places;
    }

    int finish() override
    {
        // A watch that does not end is a failure, not a hang.
        auto ended = std::async(std::launch::async, [this] { runner.join(); });
        if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "the watch did not end";
            interrupt_now();
        }
        ended.wait();
        stderr_text = testsupport::read_stream(err);
        return status;
    }

    int takes(const std::string& name) override
    {
        int n = 0;
        for (const std::string& c : printers.at(name).model->commands())
            n += c == "~M601 S0";
        return n;
    }

    bool holds_firmware(const std::string& name) override
    {
        const emu::Printer& p = *printers.at(name).model;
        const auto whole = [&](const char* path, const std::string& bytes) {
            const auto f = p.files().find(path);
            return f != p.files().end() && f->second.complete &&
                   std::string(f->second.data.begin(), f->second.data.end()) == bytes;
        };
        return whole("0:/sys/orbrey.bin", image) && whole("0:/sys/fonts.xbf", fonts) && p.installs().size() == 2 &&
               !p.under_control();
    }

    std::string output_path() const override { return output.utf8("out.json"); }

    // What no printer may see: held at the end, or a careless host.
    std::vector<std::string> violations() const
    {
        std::vector<std::string> out;
        for (const auto& [name, p] : printers) {
            if (p.model->present() && p.model->under_control())
                out.push_back(name + " is still held");
            for (const std::string& what : p.model->violations())
                out.push_back(name + " saw: " + what);
        }
        return out;
    }

    std::string stderr_text;

private:
    struct Printer {
        emu::DeviceSpec spec;
        std::shared_ptr<emu::Printer> model;
        std::shared_ptr<emu::EmulatedDevice> device;
        std::vector<std::string> places;
    };

    void attach(Printer& p)
    {
        p.device = emu::UsbBus::instance().attach(p.spec, p.model);
        p.device->transfer_ms[p.spec.endpoints.data_out] = 100;  // file data takes virtual time
        p.spec.ports = p.device->spec.ports;                     // plugged in again at the same port
        p.places.push_back("1:" + std::to_string(p.spec.address));
    }

    testsupport::TempDir firmware, logs, output;
    const std::string image = testsupport::pattern_bytes(70000, 1);
    const std::string fonts = testsupport::pattern_bytes(9000, 2);
    std::map<std::string, Printer> printers;
    std::uint8_t next_address = 5;
    zarvik::Io io;
    std::FILE* out = nullptr;
    std::FILE* err = nullptr;
    std::thread runner;
    int status = -1;
};

class WatchScript : public testsupport::EmulatedBusTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(WatchScript, OnTheEmulatedBus)
{
    const watchtest::Script& script = watchtest::scripts()[GetParam()];
    SCOPED_TRACE(script.what);
    {
        InProcessBench bench;
        watchtest::run_script(bench, script);
        for (const std::string& what : bench.violations())
            ADD_FAILURE() << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Bench, WatchScript, ::testing::Range<std::size_t>(0, watchtest::scripts().size()));

class Watch : public testsupport::EmulatedBusTest {};

TEST_F(Watch, SkipInstalledLeavesAloneAPrinterTheHistoryShowsUpdatedWithThisPlan)
{
    InProcessBench bench;
    testsupport::TempDir state;
    const std::string history = state.utf8("history.sqlite");
    bench.start({"--count", "1", "--history", history});
    bench.plug(watchtest::parse_plug("A,port=1"));
    ASSERT_TRUE(bench.wait_state("A", "updated"));
    EXPECT_EQ(bench.finish(), 0);

    // A stays plugged in: the next watch finds it there at its start.
    bench.start({"--count", "1", "--history", history, "--skip-installed"});
    ASSERT_TRUE(bench.wait_state("A", "left"));
    bench.plug(watchtest::parse_plug("B,port=2"));
    EXPECT_EQ(bench.finish(), 0) << "a printer left alone so is no failure";
    bool said = false;
    for (const json& e : bench.events())
        said = said || (e["event"] == "printer" && e["state"] == "left_alone" && e["serial"] == "A" &&
                        e["reason"].get<std::string>().rfind("already has these files, installed ", 0) == 0);
    EXPECT_TRUE(said);
    EXPECT_EQ(bench.takes("A"), 1);
    EXPECT_EQ(bench.takes("B"), 1);
    EXPECT_TRUE(bench.holds_firmware("B"));
}

}  // namespace

namespace {

// The display alone, fed as the watch feeds it, in the order the real
// kernel and umockdev tell an unplugging: before the update's own end.
class WatchDisplayTest : public ::testing::Test {
protected:
    WatchDisplayTest()
    {
        update::PlannedFile f;
        f.local_name = "Main-2.4.bin";
        f.printer_name = "orbrey.bin";
        f.size = 70000;
        plan.files.push_back(f);
        f.local_name = f.printer_name = "fonts.xbf";
        f.size = 9000;
        plan.files.push_back(f);
        a.where = {1, 5};
        a.port.bus_number = 1;
        a.port.depth = 2;
        a.port.ports[0] = 1;
        a.port.ports[1] = 4;
        b = a;
        b.where = {1, 6};
        b.port.ports[1] = 3;
    }

    // Feeds the display and returns what it wrote on standard output.
    std::string shown(zarvik::WatchDisplay::Mode mode, int width = 0)
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        zarvik::Io io;
        io.out = out;
        io.err = err;
        io.terminal = mode == zarvik::WatchDisplay::Mode::terminal;
        if (width)
            io.terminal_width = [width] { return width; };
        {
            zarvik::Output output(io);
            zarvik::WatchDisplay display(output, mode, plan, true, 0);
            display.arrived(1, a);
            display.arrived(2, b);
            display.wait_written();  // each step drawn on a terminal
            zarvik::WatchedPrinter known = a;
            known.identified = true;
            known.serial = "SN-A";
            display.taken_up(1, known);
            display.file_started(1, 0);
            display.progress(1, 40, 1466.1f);
            display.wait_written();
            display.unplugged(1);  // gone in the middle: its end comes after
            display.error(1, update::Failure{com::COM_ERR_DISCONNECTED, "device disconnected", "", 0});
            display.done(1, false, 0, false);
            display.wait_written();
            zarvik::WatchedPrinter other = b;
            other.identified = true;
            display.left_alone(2, other, "a Halvenn Orbrey-II 3D Printer (2c7e:4203), not the model this tool updates",
                               true, true);
            zarvik::WatchCounts counts;
            counts.failed = counts.left_alone = 1;
            display.finish(counts, 1);
        }
        const std::string text = testsupport::read_stream(out);
        std::fclose(out);
        std::fclose(err);
        return text;
    }

    update::Plan plan;
    zarvik::WatchedPrinter a, b;
};

TEST_F(WatchDisplayTest, APrinterUnpluggedDuringItsUpdateKeepsItsNameUntilItsEnd)
{
    const std::string plain = shown(zarvik::WatchDisplay::Mode::plain);
    for (const char* line :
         {"1-1.4: plugged in at 1:5, waiting to settle\n", "1-1.4 SN-A: updating\n",
          "1-1.4 SN-A: sending Main-2.4.bin as orbrey.bin (70000 bytes)\n", "1-1.4 SN-A: unplugged\n",
          "1-1.4 SN-A: failed: device disconnected (COM_ERR_DISCONNECTED), with orbrey.bin; installed: none; not "
          "installed: orbrey.bin, fonts.xbf\n",
          "1-1.3: left alone: a Halvenn Orbrey-II 3D Printer (2c7e:4203), not the model this tool updates\n",
          "watch ended: 0 printers updated, 1 failed, 1 left alone\n"})
        EXPECT_NE(plain.find(line), std::string::npos) << line << "in\n" << plain;

    std::vector<json> events;
    std::istringstream lines(shown(zarvik::WatchDisplay::Mode::json));
    for (std::string line; std::getline(lines, line);)
        events.push_back(json::parse(line));
    const auto done = std::find_if(events.begin(), events.end(), [](const json& e) { return e["event"] == "done"; });
    ASSERT_NE(done, events.end());
    EXPECT_EQ((*done)["printer"], "1:5");
    EXPECT_EQ((*done)["port"], "1-1.4");
    EXPECT_EQ((*done)["serial"], "SN-A");
    EXPECT_EQ((*done)["not_installed"], json::array({"orbrey.bin", "fonts.xbf"}));
    EXPECT_EQ(events.back(),
              json({{"event", "watch_end"}, {"updated", 0}, {"failed", 1}, {"left_alone", 1}, {"exit_status", 1}}));
}

TEST_F(WatchDisplayTest, OnATerminalAnUnpluggedPrinterMovesUpAndTheLastLineCounts)
{
    const std::string text = shown(zarvik::WatchDisplay::Mode::terminal, 200);
    EXPECT_NE(text.find("1-1.4 SN-A  failed: device disconnected (COM_ERR_DISCONNECTED), with orbrey.bin; installed: "
                        "none; not installed: orbrey.bin, fonts.xbf, unplugged\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("SN-A  updating", text.find(", unplugged\n")), std::string::npos)
        << "below its end, the printer's old state drawn again:\n"
        << text;
    EXPECT_NE(text.find("\a"), std::string::npos) << "the bell when a printer ends";
    // The last drawing: the printer still plugged in, then the end.
    const std::string last = text.substr(text.rfind("A\r\x1b[2K"));
    EXPECT_NE(last.find("1-1.3  left alone: a Halvenn Orbrey-II"), std::string::npos) << last;
    EXPECT_NE(last.find("watch ended: 0 printers updated, 1 failed, 1 left alone\n"), std::string::npos) << last;
    EXPECT_EQ(last.find("SN-A"), std::string::npos) << "unplugged: no longer redrawn";
    EXPECT_NE(text.find("0 updated, 0 failed, 0 left alone, 2 under way; plug in the next printer, Ctrl-C to end"),
              std::string::npos);
    EXPECT_NE(text.find("1-1.4 SN-A  updating orbrey.bin (1/2)   40 %    1466.1 KiB/s"), std::string::npos) << text;
}

}  // namespace

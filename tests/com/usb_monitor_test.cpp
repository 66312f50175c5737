// The monitor of plugged printers on the emulated bus, with hotplug events
// and by looking once a second: what it tells, when, and waking it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/result.h"
#include "com/usb_monitor.h"
#include "support/emulated_fixture.h"

namespace {

using com::UsbMonitor;

constexpr std::uint16_t vid = 0x2C7E;
constexpr std::uint16_t pid = 0x4201;

class Monitor : public testsupport::EmulatedBusTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        EmulatedBusTest::SetUp();
        bus().hotplug = GetParam();
        options.settle_ms = 700;
        options.poll_ms = 1000;
    }

    // What the monitor tells within `timeout_ms`, one "KIND BUS:ADDR PORT" each, with the
    // virtual time it was told at.
    std::vector<std::string> told(UsbMonitor& monitor, unsigned timeout_ms)
    {
        std::vector<UsbMonitor::Change> changes;
        monitor.wait(timeout_ms, &changes);
        std::vector<std::string> out;
        for (const UsbMonitor::Change& c : changes) {
            const char* kind = c.kind == UsbMonitor::Kind::arrived   ? "arrived"
                               : c.kind == UsbMonitor::Kind::settled ? "settled"
                                                                     : "left";
            out.push_back(std::string(kind) + " " + com::place_text(com::place_of(c.printer.device)) + " " +
                          com::port_path_text(c.printer.port) + " @" + std::to_string(emu::VirtualClock::elapsed_ms()));
        }
        return out;
    }

    using Lines = std::vector<std::string>;
    UsbMonitor::Options options;
};

TEST_P(Monitor, TellsArrivalsSettlingAndDeparturesOfPrintersOnly)
{
    bus().attach_printer(vid, pid, 1, 5);
    emu::DeviceSpec keyboard;
    keyboard.vendor_id = 0x1234;
    keyboard.product_id = 0x5678;
    bus().attach(keyboard);
    UsbMonitor monitor(options);
    ASSERT_EQ(monitor.start(), com::COM_SUCCESS);
    EXPECT_EQ(monitor.uses_hotplug(), GetParam());
    EXPECT_EQ(told(monitor, 0), Lines{"arrived 1:5 1-1 @0"});
    EXPECT_EQ(told(monitor, 5000), Lines{"settled 1:5 1-1 @700"}) << "settled once the settle time has passed";

    auto second = bus().attach_printer(vid, pid, 1, 6);
    // Looking: at the next look, a second after the last (the one that settled 1:5).
    const std::uint64_t seen = GetParam() ? 700 : 1700;
    EXPECT_EQ(told(monitor, 5000), Lines{"arrived 1:6 1-3 @" + std::to_string(seen)});
    bus().detach(bus().find(second.get()));
    // Gone before it settled: never settled (looking: the look at its settle time sees it gone).
    const std::uint64_t gone = GetParam() ? seen : 2400;
    EXPECT_EQ(told(monitor, 5000), Lines{"left 1:6 1-3 @" + std::to_string(gone)});
    EXPECT_EQ(told(monitor, 3000), Lines{}) << "nothing else within the wait";
}

TEST_P(Monitor, APrinterThatVanishesDuringATransferLeaves)
{
    auto printer = bus().attach_printer(vid, pid, 1, 5);
    UsbMonitor monitor(options);
    ASSERT_EQ(monitor.start(), com::COM_SUCCESS);
    told(monitor, 5000);
    told(monitor, 5000);
    {
        std::unique_ptr<com::Com> link(com::ComFactory().create_usb_at(1, 5, vid, pid, "", false));
        ASSERT_EQ(link->com_open(1000, true), com::COM_SUCCESS);
        printer->fault_at(printer->transfer_count(), emu::FaultKind::vanish);
        int written = 0;
        const char byte = 'x';
        EXPECT_NE(link->com_write(&byte, 1, &written, 1000), com::COM_SUCCESS);
    }
    const Lines out = told(monitor, 5000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].substr(0, 12), "left 1:5 1-1");
}

TEST_P(Monitor, AWakeEndsTheWaitAtOnce)
{
    UsbMonitor monitor(options);
    ASSERT_EQ(monitor.start(), com::COM_SUCCESS);
    monitor.wake();
    EXPECT_EQ(told(monitor, 60000), Lines{});
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 0u) << "woken before it waited";
    std::thread waker([&] { monitor.wake(); });
    told(monitor, 3600000);
    waker.join();
    EXPECT_LE(emu::VirtualClock::elapsed_ms(), 3600000u);
}

TEST_P(Monitor, ABusThatCannotBeWatchedSaysSo)
{
    bus().fail_init = true;
    EXPECT_EQ(UsbMonitor(options).start(), com::COM_ERR_INIT_LIB);
    bus().fail_init = false;
    bus().fail_device_list = true;
    UsbMonitor monitor(options);
    if (GetParam()) {
        EXPECT_EQ(monitor.start(), com::COM_SUCCESS) << "hotplug needs no list";
    } else {
        EXPECT_EQ(monitor.start(), com::COM_ERR_LIST_DEVICES);
    }
}

INSTANTIATE_TEST_SUITE_P(Detection, Monitor, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Hotplug" : "LookingOnceASecond";
                         });

}  // namespace

// Fixture for tests on the emulated bus: every test starts with an empty bus
// and the virtual clock at 2021-04-20 06:43:01 UTC, and ends with a check that
// the library used libusb-1.0 as a careful caller does.
#pragma once

#include <gtest/gtest.h>

#include "clock/virtual_clock.h"
#include "libusb/usb_bus.h"

namespace testsupport {

class EmulatedBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        emu::UsbBus::instance().reset();
        emu::VirtualClock::reset();
    }

    void TearDown() override
    {
        emu::UsbBus& bus = emu::UsbBus::instance();
        for (const std::string& what : bus.misuse)
            ADD_FAILURE() << "libusb misuse: " << what;
        EXPECT_EQ(bus.counters.live_device_lists, 0) << "a device list was not freed";
        EXPECT_EQ(bus.counters.live_handles, 0) << "a device handle was not closed";
        EXPECT_EQ(bus.counters.default_context_refs, 0) << "libusb_init without libusb_exit";
        EXPECT_EQ(bus.counters.live_contexts, 0) << "a context of its own was not ended";
        EXPECT_EQ(bus.counters.hotplug_callbacks, 0) << "a hotplug callback was left registered";
        bus.reset();
    }

    emu::UsbBus& bus() { return emu::UsbBus::instance(); }
};

}  // namespace testsupport

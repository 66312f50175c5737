// Fixture for system tests: the link library on the real libusb-1.0, run as
// the child of zarvik-printer-emulator (one emulator per test).  Printer 1 is
// the emulator's first printer, a 0x2C7E:0x4201 at bus 1, address 5; the test
// reshapes the bus and the printers through the emulator's control socket.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com/com_factory.h"
#include "com/com_usb.h"
#include "com/result.h"
#include "emulator_control.h"
#include "support/test_support.h"

namespace systemtest {

using Clock = std::chrono::steady_clock;

inline long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `condition` every 20 ms for up to `limit_ms`; true once it holds.
inline bool wait_for(const std::function<bool()>& condition, int limit_ms = 3000)
{
    const auto start = Clock::now();
    for (;;) {
        if (condition())
            return true;
        if (ms_since(start) > limit_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class SystemTest : public ::testing::Test {
protected:
    static constexpr int first = 1;  // the emulator's first printer
    static constexpr std::uint16_t vid = 0x2C7E;
    static constexpr std::uint16_t pid = 0x4201;

    void SetUp() override
    {
        ASSERT_TRUE(emu::EmulatorControl::available())
            << "run this program as the child of zarvik-printer-emulator --control";
        ctl = std::make_unique<emu::EmulatorControl>();
    }

    void TearDown() override
    {
        link.reset();
        if (!ctl)
            return;
        for (const auto& p : ctl->printers())
            for (const std::string& what : ctl->violations(p.id))
                ADD_FAILURE() << "printer " << p.id << " saw: " << what;
    }

    int list(std::vector<com::UsbDeviceRecord>* out)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = com::ComFactory().list_usb_devices(out);
        stdout_text = ::testing::internal::GetCapturedStdout();
        stderr_text = ::testing::internal::GetCapturedStderr();
        return code;
    }

    std::vector<com::UsbDeviceRecord> listed()
    {
        std::vector<com::UsbDeviceRecord> out;
        list(&out);
        return out;
    }

    com::ComUsb& make_link(std::uint16_t vendor = vid, std::uint16_t product = pid)
    {
        link = std::make_unique<com::ComUsb>(vendor, product, logs.utf8(), true);
        return *link;
    }

    com::ComUsb& open_link(unsigned timeout_ms = 1000)
    {
        make_link();
        const int code = link->com_open(timeout_ms, true);
        EXPECT_EQ(code, com::COM_SUCCESS) << "opening the link";
        return *link;
    }

    std::string log_text() const
    {
        return link ? testsupport::read_file(testsupport::from_utf8(link->log_file_path())) : std::string();
    }
    bool log_has(const std::string& text) const { return log_text().find(text) != std::string::npos; }

    std::string local(const std::string& name, const std::string& bytes)
    {
        testsupport::write_file(files.path() / name, bytes);
        return files.utf8(name);
    }

    // Drains what a failed exchange left on the printer, so the next one starts clean.
    void settle(int id = first)
    {
        for (int i = 0; i < 8 && ctl->pending_reply_bytes(id) > 0; ++i)
            link->com_clear_buffer(1000);
    }

    std::unique_ptr<emu::EmulatorControl> ctl;
    testsupport::TempDir logs;
    testsupport::TempDir files;
    std::unique_ptr<com::ComUsb> link;
    std::string stdout_text;
    std::string stderr_text;
};

}  // namespace systemtest

// Fixture for tests of a USB link to one emulated printer (row 10 unless a
// test attaches another), with its log in a scratch folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "com/com_usb.h"
#include "com/result.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"

namespace testsupport {

class LinkTest : public EmulatedBusTest {
protected:
    static constexpr std::uint16_t vid = 0x2C7E;
    static constexpr std::uint16_t pid = 0x4201;

    void SetUp() override
    {
        EmulatedBusTest::SetUp();
        printer = bus().attach_printer(vid, pid);
    }

    void TearDown() override
    {
        link.reset();
        if (printer)
            for (const std::string& what : printer->violations())
                ADD_FAILURE() << "printer saw: " << what;
        EmulatedBusTest::TearDown();
    }

    // A link with logging on; opened (taking control unless told not to).
    com::ComUsb& open_link(bool take_control = true, unsigned timeout_ms = 1000)
    {
        make_link();
        const int code = link->com_open(timeout_ms, take_control);
        EXPECT_EQ(code, com::COM_SUCCESS) << "opening the link";
        return *link;
    }

    com::ComUsb& make_link(std::uint16_t vendor = vid, std::uint16_t product = pid, bool logging = true)
    {
        link.reset();  // one link at a time, as the tool has: both would open the same log
        link = std::make_unique<com::ComUsb>(vendor, product, logs.utf8(), logging);
        return *link;
    }

    // The log file's whole text.
    std::string log_text() const { return link ? read_file(from_utf8(link->log_file_path())) : std::string(); }
    bool log_has(const std::string& text) const { return log_text().find(text) != std::string::npos; }

    // Transfers recorded from index `from` on.
    std::vector<emu::Transfer> traffic_from(std::size_t from) const
    {
        const auto& all = printer->traffic();
        return std::vector<emu::Transfer>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                                          all.end());
    }

    static std::string text(const emu::Transfer& t) { return std::string(t.data.begin(), t.data.end()); }

    TempDir logs;
    std::shared_ptr<emu::Printer> printer;
    std::unique_ptr<com::ComUsb> link;
};

}  // namespace testsupport

// Several printers with the same ids: a listing with each one's own strings,
// and a link to the one at a chosen bus and address.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <libusb.h>

#include "com/com_factory.h"
#include "com/result.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"

namespace {

using testsupport::EmulatedBusTest;

constexpr std::uint16_t vid = 0x2C7E;
constexpr std::uint16_t pid = 0x4201;

class Place : public EmulatedBusTest {
protected:
    std::vector<com::UsbPrinterRecord> printers()
    {
        std::vector<com::UsbPrinterRecord> out;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        code = com::ComFactory().list_usb_printers(&out);
        printed = ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
        return out;
    }

    int code = -1;
    std::string printed;
    testsupport::TempDir logs;
};

TEST_F(Place, EachPrinterIsListedWithItsOwnStringsAndNothingIsPrinted)
{
    bus().attach_printer(vid, pid, 1, 5);
    bus().attach_printer(vid, pid, 1, 6);
    bus().attach_printer(0x1E4B, 0x0104, 2, 3);
    const auto out = printers();
    EXPECT_EQ(code, com::COM_SUCCESS);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(out.size(), 3u);
    // Newest first, as libusb lists them.
    EXPECT_STREQ(out[0].device.info.serial, "SN2-3");
    EXPECT_EQ(out[0].device.info.product_id, 0x0104);
    EXPECT_STREQ(out[1].device.info.serial, "SN1-6");
    EXPECT_EQ(out[1].device.device_address, 6);
    EXPECT_STREQ(out[2].device.info.serial, "SN1-5");
    EXPECT_STREQ(out[2].device.info.product, "Halvenn Orbrey 3D Printer");
    for (const auto& r : out)
        EXPECT_EQ(r.open_error, 0);
}

TEST_F(Place, APrinterThatCannotBeOpenedIsListedWithItsError)
{
    bus().attach_printer(vid, pid, 1, 5);
    bus().attach_printer(vid, pid, 1, 6);
    bus().devices().back()->open_errno = EACCES;
    const auto out = printers();
    EXPECT_EQ(code, com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].open_error, LIBUSB_ERROR_ACCESS);
    EXPECT_STREQ(out[0].device.info.serial, "");
    EXPECT_EQ(out[0].device.device_address, 6);
    EXPECT_EQ(out[1].open_error, 0);
    EXPECT_STREQ(out[1].device.info.serial, "SN1-5");
}

TEST_F(Place, ListingFailuresGiveTheirCodes)
{
    bus().attach_printer(vid, pid);
    bus().fail_device_list = true;
    printers();
    EXPECT_EQ(code, com::COM_ERR_LIST_DEVICES);
    bus().fail_device_list = false;
    bus().fail_init = true;
    printers();
    EXPECT_EQ(code, com::COM_ERR_INIT_LIB);
    bus().fail_init = false;
    bus().devices().front()->fail_descriptor = true;
    EXPECT_TRUE(printers().empty());
    EXPECT_EQ(code, com::COM_ERR_ACCESS);
}

TEST_F(Place, ALinkAtAnAddressTakesThatPrinterOnly)
{
    auto at5 = bus().attach_printer(vid, pid, 1, 5);
    auto at6 = bus().attach_printer(vid, pid, 1, 6);
    std::unique_ptr<com::Com> link(com::ComFactory().create_usb_at(1, 5, vid, pid, logs.utf8(), true));
    EXPECT_EQ(link->com_open(1000, true), com::COM_SUCCESS);
    EXPECT_TRUE(at5->under_control());
    EXPECT_FALSE(at6->under_control()) << "the first with the ids would have been this one (newest first)";
    link.reset();
    EXPECT_FALSE(at5->under_control());
}

TEST_F(Place, NothingAtTheAddressOrOtherIdsThereGiveConnectFailure)
{
    bus().attach_printer(vid, pid, 1, 5);
    auto other = bus().attach_printer(vid, 0x4203, 1, 7);
    struct Case {
        std::uint8_t bus, address;
    };
    for (const Case c : {Case{1, 6}, Case{2, 5}, Case{1, 7}}) {
        std::unique_ptr<com::Com> link(com::ComFactory().create_usb_at(c.bus, c.address, vid, pid, logs.utf8(), false));
        EXPECT_EQ(link->com_open(1000, true), com::COM_ERR_CONNECT) << int(c.bus) << ":" << int(c.address);
        EXPECT_EQ(link->com_is_closed(), 1);
    }
    EXPECT_EQ(bus().devices().back()->opens, 0);
    EXPECT_FALSE(other->under_control());
}

TEST(PortPath, IsWrittenAndReadAsTheSystemWritesIt)
{
    struct Case {
        const char* text;
        bool valid;
        std::uint8_t bus;
        std::vector<std::uint8_t> ports;
    };
    const Case cases[] = {
        {"1-1.4", true, 1, {1, 4}},
        {"3-2", true, 3, {2}},
        {"0-255.1.2.3.4.5.6", true, 0, {255, 1, 2, 3, 4, 5, 6}},
        {"1-1.2.3.4.5.6.7.8", false, 0, {}},  // deeper than USB goes
        {"1-0", false, 0, {}},
        {"1-", false, 0, {}},
        {"1-1.", false, 0, {}},
        {"1-.4", false, 0, {}},
        {"-1", false, 0, {}},
        {"256-1", false, 0, {}},
        {"1:5", false, 0, {}},
        {"1-1,4", false, 0, {}},
        {"1-+4", false, 0, {}},
    };
    for (const Case& c : cases) {
        com::UsbPortPath path;
        ASSERT_EQ(com::parse_port_path(c.text, &path), c.valid) << c.text;
        if (!c.valid)
            continue;
        EXPECT_EQ(path.bus_number, c.bus) << c.text;
        EXPECT_EQ(std::vector<std::uint8_t>(path.ports, path.ports + path.depth), c.ports) << c.text;
        EXPECT_EQ(com::port_path_text(path), c.text);
    }
    EXPECT_EQ(com::port_path_text(com::UsbPortPath{}), "") << "not known";
}

TEST_F(Place, EachPrinterIsListedWithItsPortPathAndAScanOpensNone)
{
    emu::DeviceSpec behind_hub = emu::printer_identity(vid, pid, 2, 9);
    behind_hub.ports = {1, 4};
    bus().attach(behind_hub, std::make_shared<emu::Printer>(behind_hub.endpoints));
    bus().attach_printer(vid, pid, 1, 5);
    bus().attach_printer(vid, pid, 1, 6);
    std::vector<com::UsbPrinterRecord> scanned;
    ASSERT_EQ(com::ComFactory().scan_usb_printers(&scanned), com::COM_SUCCESS);
    for (const auto& listing : {printers(), scanned}) {
        ASSERT_EQ(listing.size(), 3u);
        EXPECT_EQ(com::port_path_text(listing[0].port), "1-2");
        EXPECT_EQ(com::port_path_text(listing[1].port), "1-1");
        EXPECT_EQ(com::port_path_text(listing[2].port), "2-1.4");
    }
    EXPECT_STREQ(scanned[2].device.info.serial, "");
    EXPECT_EQ(scanned[2].device.info.product_id, pid);
    int opens = 0;
    for (const auto& d : bus().devices())
        opens += d->opens;
    EXPECT_EQ(opens, 3) << "the listing opened each printer once, the scan none";
}

TEST_F(Place, APrinterIsReadAtItsPlaceOnly)
{
    bus().attach_printer(vid, pid, 1, 5);
    bus().attach_printer(vid, pid, 1, 6)->unplug();  // vanished: still on the bus's list, not reachable
    bus().attach_printer(vid, 0x4203, 1, 7)->unplug();
    bus().attach_printer(vid, 0x4203, 1, 8);
    bus().devices().back()->open_errno = EACCES;
    struct Case {
        std::uint8_t address;
        std::uint16_t product;
        int open_error;
        const char* serial;
    };
    for (const Case c : {Case{5, pid, 0, "SN1-5"}, Case{6, pid, LIBUSB_ERROR_NO_DEVICE, ""},
                         Case{5, 0x4203, LIBUSB_ERROR_NO_DEVICE, ""}, Case{8, 0x4203, LIBUSB_ERROR_ACCESS, ""}}) {
        com::UsbPrinterRecord record{};
        record.device.bus_number = 1;
        record.device.device_address = c.address;
        record.device.info.vendor_id = vid;
        record.device.info.product_id = c.product;
        std::snprintf(record.device.info.serial, sizeof record.device.info.serial, "stale");
        EXPECT_EQ(com::ComFactory().read_usb_printer(&record), com::COM_SUCCESS);
        EXPECT_EQ(record.open_error, c.open_error) << int(c.address);
        EXPECT_STREQ(record.device.info.serial, c.serial) << int(c.address);
    }
}

}  // namespace

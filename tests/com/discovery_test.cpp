// Listing the attached supported printers over the emulated bus.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "com/com_factory.h"
#include "com/result.h"
#include "support/emulated_fixture.h"

namespace {

using testsupport::EmulatedBusTest;

class Discovery : public EmulatedBusTest {
protected:
    int list(std::vector<com::UsbDeviceRecord>* out)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = com::ComFactory().list_usb_devices(out);
        stdout_text = ::testing::internal::GetCapturedStdout();
        stderr_text = ::testing::internal::GetCapturedStderr();
        return code;
    }

    std::shared_ptr<emu::EmulatedDevice> other_device(std::uint16_t vid, std::uint16_t pid, std::uint8_t address)
    {
        emu::DeviceSpec spec;
        spec.vendor_id = vid;
        spec.product_id = pid;
        spec.address = address;
        spec.manufacturer = "Other";
        return bus().attach(spec);
    }

    static com::UsbDeviceRecord sentinel()
    {
        com::UsbDeviceRecord record{};
        record.bus_number = 99;
        return record;
    }

    std::string stdout_text;
    std::string stderr_text;
};

TEST_F(Discovery, NoPrinterGivesAnEmptyListAndTheVersionLine)
{
    other_device(0x2C7E, 0x4202, 3);  // unsupported ids next to the Orbrey rows
    std::vector<com::UsbDeviceRecord> out;
    EXPECT_EQ(list(&out), com::COM_SUCCESS);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(stdout_text, "Using libusb v1.0.26.11724\n\n");
    EXPECT_EQ(stderr_text, "");
    EXPECT_EQ(bus().devices().front()->opens, 0) << "an unsupported device was opened";
}

TEST_F(Discovery, VersionLineShowsWhatTheLibraryReports)
{
    bus().version_major = 2;
    bus().version_minor = 10;
    bus().version_micro = 3;
    bus().version_nano = 7;
    std::vector<com::UsbDeviceRecord> out;
    list(&out);
    EXPECT_EQ(stdout_text, "Using libusb v2.10.3.7\n\n");
}

TEST_F(Discovery, APrinterIsReportedWithBusAddressIdsAndStrings)
{
    other_device(0x1E4A, 0x0102, 2);
    bus().attach_printer(0x2C7E, 0x4201, 3, 7);
    std::vector<com::UsbDeviceRecord> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bus_number, 3);
    EXPECT_EQ(out[0].device_address, 7);
    EXPECT_EQ(out[0].info.vendor_id, 0x2C7E);
    EXPECT_EQ(out[0].info.product_id, 0x4201);
    EXPECT_STREQ(out[0].info.manufacturer, "Edvin Halvenn Tool Corporation");
    EXPECT_STREQ(out[0].info.product, "Halvenn Orbrey 3D Printer");
    EXPECT_STREQ(out[0].info.serial, "SN3-7");
    EXPECT_EQ(bus().counters.inits, 1);
    EXPECT_EQ(bus().counters.exits, 1);
}

TEST_F(Discovery, SeveralPrintersAreListedNewestFirst)
{
    // libusb builds its list by putting each device it finds in front.
    bus().attach_printer(0x1E4B, 0x0104, 1, 4);
    bus().attach_printer(0x2C7E, 0x4203, 2, 9);
    std::vector<com::UsbDeviceRecord> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].info.product_id, 0x4203);
    EXPECT_EQ(out[0].device_address, 9);
    EXPECT_EQ(out[1].info.product_id, 0x0104);
    EXPECT_STREQ(out[1].info.product, "Velmora Cirro II serials 3D Printer");
}

TEST_F(Discovery, PrintersWithTheSameIdsAllShowTheFirstListedOnesStrings)
{
    bus().attach_printer(0x2C7E, 0x4201, 1, 5);
    bus().attach_printer(0x2C7E, 0x4201, 1, 6);
    std::vector<com::UsbDeviceRecord> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].device_address, 6);
    EXPECT_EQ(out[1].device_address, 5);
    EXPECT_STREQ(out[1].info.serial, "SN1-6") << "opened by ids, so the first device in the list answers";
}

TEST_F(Discovery, MissingOrFailingStringsLeaveEmptyFieldsButTheRightIds)
{
    bus().attach_printer(0x2C7E, 0x4201, 2, 4);
    bus().devices().back()->fail_strings = true;
    emu::DeviceSpec bare;
    bare.vendor_id = 0x1E4B;
    bare.product_id = 0x0110;
    bare.bus = 2;
    bare.address = 3;  // no strings at all: every index is 0
    bus().attach(bare, std::make_shared<emu::Printer>());

    std::vector<com::UsbDeviceRecord> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    for (const auto& record : out) {
        EXPECT_STREQ(record.info.manufacturer, "");
        EXPECT_STREQ(record.info.product, "");
        EXPECT_STREQ(record.info.serial, "");
    }
    EXPECT_EQ(out[0].info.product_id, 0x0110);
    EXPECT_EQ(out[0].device_address, 3);
    EXPECT_EQ(out[1].info.vendor_id, 0x2C7E);
    EXPECT_EQ(out[1].device_address, 4);
}

TEST_F(Discovery, StringsArriveAsTheDescriptorCarriesThem)
{
    // A string descriptor holds at most 126 UTF-16 units; the listing keeps
    // what arrives, cut by nothing of its own below 128 characters.
    emu::DeviceSpec spec;
    spec.vendor_id = 0x2C7E;
    spec.product_id = 0x4201;
    spec.manufacturer = std::string(200, 'm');
    spec.product = std::string(125, 'p') + "\xF0\x9D\x84\x9E";  // the pair would make 127 units
    spec.serial = "S\xC3\xA9rie";                               // non-ASCII reads as '?'
    bus().attach(spec, std::make_shared<emu::Printer>());
    std::vector<com::UsbDeviceRecord> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::string(out[0].info.manufacturer), std::string(126, 'm'));
    EXPECT_EQ(std::string(out[0].info.product), std::string(125, 'p'));
    EXPECT_STREQ(out[0].info.serial, "S?rie");
}

TEST_F(Discovery, FailingInitReturns3AndLeavesTheListAlone)
{
    bus().attach_printer(0x2C7E, 0x4201);
    bus().fail_init = true;
    std::vector<com::UsbDeviceRecord> out{sentinel()};
    EXPECT_EQ(list(&out), com::COM_ERR_INIT_LIB);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bus_number, 99);
    EXPECT_EQ(stdout_text, "");
    EXPECT_EQ(bus().counters.exits, 0);
}

TEST_F(Discovery, FailingDeviceListReturns4AndLeavesTheListAlone)
{
    bus().attach_printer(0x2C7E, 0x4201);
    bus().fail_device_list = true;
    std::vector<com::UsbDeviceRecord> out{sentinel()};
    EXPECT_EQ(list(&out), com::COM_ERR_LIST_DEVICES);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bus_number, 99);
    EXPECT_EQ(stdout_text, "Using libusb v1.0.26.11724\n\n");
    EXPECT_EQ(bus().counters.exits, 1);
}

TEST_F(Discovery, UnreadableDescriptorReturns8WithTheRecordsBeforeIt)
{
    // Listed newest first: 1/4, then the unreadable 1/3, then 1/2.
    bus().attach_printer(0x2C7E, 0x4201, 1, 2);
    other_device(0x1E4A, 0x0102, 3)->fail_descriptor = true;
    bus().attach_printer(0x1E4A, 0x0101, 1, 4);
    std::vector<com::UsbDeviceRecord> out{sentinel(), sentinel()};
    EXPECT_EQ(list(&out), com::COM_ERR_ACCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info.vendor_id, 0x1E4A);
    EXPECT_EQ(bus().devices().front()->opens, 0) << "the listing went on after the failure";
}

TEST_F(Discovery, PrinterThatCannotBeOpenedReturns5AndSaysSoOnStandardError)
{
    bus().attach_printer(0x2C7E, 0x4201, 1, 3);
    bus().devices().back()->open_errno = EACCES;
    bus().attach_printer(0x1E4B, 0x0110, 1, 2);
    std::vector<com::UsbDeviceRecord> out;
    EXPECT_EQ(list(&out), com::COM_ERR_CONNECT);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info.product_id, 0x0110);
    EXPECT_EQ(stderr_text,
              "libusb_open_device_with_vid_pid 2C7E:4201 failed: " + std::string(std::strerror(EACCES)) + "\n");
}

TEST_F(Discovery, SuccessfulListingReplacesEarlierRecords)
{
    std::vector<com::UsbDeviceRecord> out{sentinel(), sentinel(), sentinel()};
    EXPECT_EQ(list(&out), com::COM_SUCCESS);
    EXPECT_TRUE(out.empty());
}

TEST_F(Discovery, ListingFollowsPlugAndUnplug)
{
    std::vector<com::UsbDeviceRecord> out;
    list(&out);
    EXPECT_TRUE(out.empty());
    bus().attach_printer(0x2C7E, 0x4201);
    list(&out);
    EXPECT_EQ(out.size(), 1u);
    bus().detach_all();
    list(&out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(bus().counters.inits, 3);
    EXPECT_EQ(bus().counters.exits, 3);
}

}  // namespace

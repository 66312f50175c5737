// The gadget printer's parts that need no gadgetfs: the descriptors it binds
// with and the model behind its endpoint threads and control lines.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "com/devices.h"
#include "gadget/descriptors.h"
#include "gadget/printer_service.h"
#include "support/test_support.h"

namespace {

using emu::gadget::Identity;
using emu::gadget::PrinterService;
using Bytes = std::vector<std::uint8_t>;

unsigned le16(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

// The endpoint addresses and packet sizes of one configuration at `at`.
struct Configuration {
    std::size_t length = 0;
    std::vector<std::uint8_t> addresses;
    std::vector<unsigned> packets;
};

Configuration read_configuration(const Bytes& b, std::size_t at)
{
    Configuration c;
    EXPECT_EQ(b[at], 9);
    EXPECT_EQ(b[at + 1], 2) << "a configuration descriptor";
    c.length = le16(b, at + 2);
    EXPECT_EQ(b[at + 5], 1) << "configuration value 1";
    EXPECT_NE(b[at + 7] & 0x80, 0) << "bmAttributes bit 7 is always set";
    std::size_t p = at + 9;
    EXPECT_EQ(b[p + 1], 4) << "an interface descriptor";
    EXPECT_EQ(b[p + 4], 4) << "with four endpoints";
    p += b[p];
    while (p < at + c.length) {
        EXPECT_EQ(b[p], 7);
        EXPECT_EQ(b[p + 1], 5) << "an endpoint descriptor";
        EXPECT_EQ(b[p + 3], 2) << "bulk";
        c.addresses.push_back(b[p + 2]);
        c.packets.push_back(le16(b, p + 4));
        p += b[p];
    }
    EXPECT_EQ(p, at + c.length) << "wTotalLength covers exactly the descriptors";
    return c;
}

TEST(GadgetDescriptors, EverySupportedPrinterBindsWithItsIdsStringsAndEndpointSet)
{
    for (const com::DeviceInfo& row : com::supported_devices) {
        if (row.vendor_id == 0 && row.product_id == 0)
            break;
        const Identity id = emu::gadget::identity_for(row.vendor_id, row.product_id, "SN1");
        EXPECT_STREQ(id.product.c_str(), row.product);
        const Bytes b = emu::gadget::controller_setup(id);
        ASSERT_GE(b.size(), 4u + 18u);
        EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0, 0, 0, 0})) << "tag 0";
        const Configuration full = read_configuration(b, 4);
        const Configuration high = read_configuration(b, 4 + full.length);
        const com::EndpointSet set = com::endpoints_for_product(row.product_id);
        const std::vector<std::uint8_t> expected{set.cmd_in, set.cmd_out, set.data_in, set.data_out};
        EXPECT_EQ(full.addresses, expected);
        EXPECT_EQ(high.addresses, expected);
        EXPECT_EQ(full.packets, (std::vector<unsigned>(4, 64)));
        EXPECT_EQ(high.packets, (std::vector<unsigned>(4, 512)));

        const std::size_t device = 4 + full.length + high.length;
        ASSERT_EQ(b.size(), device + 18) << "the device descriptor comes last";
        EXPECT_EQ(b[device + 1], 1);
        EXPECT_EQ(le16(b, device + 8), row.vendor_id);
        EXPECT_EQ(le16(b, device + 10), row.product_id);
        EXPECT_EQ(b[device + 14], 1);
        EXPECT_EQ(b[device + 15], 2);
        EXPECT_EQ(b[device + 16], 3);
        EXPECT_EQ(b[device + 17], 1) << "one configuration";
    }
}

TEST(GadgetDescriptors, SetBPrintersServe02And04)
{
    const Identity b = emu::gadget::identity_for(com::ids::vendor_velmora, 0x0106, "x");
    EXPECT_EQ(b.endpoints.cmd_out, 0x02);
    EXPECT_EQ(b.endpoints.data_out, 0x04);
    const Identity a = emu::gadget::identity_for(com::ids::vendor_velmora, 0x0105, "x");
    EXPECT_EQ(a.endpoints.cmd_out, 0x01);
    EXPECT_EQ(a.endpoints.data_out, 0x03);
}

TEST(GadgetDescriptors, MissingStringsHaveIndexZeroAndAreStalled)
{
    const Identity id = emu::gadget::identity_for(0x1234, 0x5678, "");
    const Bytes b = emu::gadget::controller_setup(id);
    EXPECT_EQ(Bytes(b.end() - 4, b.end() - 1), (Bytes{0, 0, 0}));
    EXPECT_TRUE(emu::gadget::string_descriptor(id, 1).empty());
    EXPECT_TRUE(emu::gadget::string_descriptor(id, 3).empty());
    EXPECT_TRUE(emu::gadget::string_descriptor(id, 4).empty());
}

TEST(GadgetDescriptors, StringsAreUtf16WithTheLanguageListAtIndexZero)
{
    const std::string serial = "A\xC3\x84\xE2\x82\xAC\xF0\x9F\x96\xA8";
    Identity id = emu::gadget::identity_for(com::ids::vendor_halvenn, com::ids::product_orbrey, serial);
    EXPECT_EQ(emu::gadget::string_descriptor(id, 0), (Bytes{4, 3, 0x09, 0x04}));
    // A, U+00C4, U+20AC, U+1F5A8 as a surrogate pair.
    EXPECT_EQ(emu::gadget::string_descriptor(id, 3),
              (Bytes{12, 3, 'A', 0, 0xC4, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0xA8, 0xDD}));
    const Bytes product = emu::gadget::string_descriptor(id, 2);
    ASSERT_EQ(product.size(), 2 + 2 * std::string("Halvenn Orbrey 3D Printer").size());
    EXPECT_EQ(product[2], 'H');
    EXPECT_EQ(product[3], 0);

    id.serial = "\xC3";  // a lead byte with nothing after it
    EXPECT_EQ(emu::gadget::string_descriptor(id, 3), (Bytes{4, 3, 0xFD, 0xFF}));
}

TEST(GadgetDescriptors, LongStringsAreCutToWhatADescriptorHoldsNeverInsideAPair)
{
    Identity id = emu::gadget::identity_for(com::ids::vendor_halvenn, com::ids::product_orbrey, std::string(200, 's'));
    Bytes d = emu::gadget::string_descriptor(id, 3);
    EXPECT_EQ(d.size(), 254u);
    EXPECT_EQ(d[0], 254);
    id.serial = std::string(125, 's') + "\xF0\x9F\x96\xA8";  // the pair would be units 126 and 127
    d = emu::gadget::string_descriptor(id, 3);
    EXPECT_EQ(d.size(), 2u + 2 * 125);
}

class GadgetService : public ::testing::Test {
protected:
    PrinterService service{emu::PrinterEndpoints{}};

    void command(const std::string& line)
    {
        const std::string text = line + "\r\n";
        ASSERT_TRUE(service.take(0x01, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }

    std::string reply()
    {
        std::vector<std::uint8_t> chunk;
        EXPECT_TRUE(service.next_reply(chunk, 4096));
        return std::string(chunk.begin(), chunk.end());
    }

    std::string control(const std::string& line)
    {
        std::string answer;
        service.control(line, answer);
        return answer;
    }
};

TEST_F(GadgetService, CommandsSplitOverTransfersAreAnsweredOneLinePerTransfer)
{
    const std::string half = "~M60";
    ASSERT_TRUE(service.take(0x01, reinterpret_cast<const std::uint8_t*>(half.data()), half.size()));
    command("1 S0");
    EXPECT_EQ(reply(), "CMD M601 Received.\r\n");
    EXPECT_EQ(reply(), "Control Success.\r\n");
    EXPECT_EQ(reply(), "ok\r\n");
}

TEST_F(GadgetService, SilenceAppliesToTheNextExchangeOfThatCommandOnly)
{
    command("~M601 S0");
    for (int i = 0; i < 3; ++i)
        reply();
    EXPECT_EQ(control("silence M601 1"), "ok silence M601 #1 from line 1\n");
    command("~M601 S0");
    EXPECT_EQ(reply(), "CMD M601 Received.\r\n");
    command("~M602");
    EXPECT_EQ(reply(), "CMD M602 Received.\r\n") << "the rest of the silenced exchange never comes";
    for (int i = 0; i < 2; ++i)
        reply();
    command("~M601 S0");
    EXPECT_EQ(reply(), "CMD M601 Received.\r\n");
    EXPECT_EQ(reply(), "Control Success.\r\n") << "the exchange after it is whole again";
}

TEST_F(GadgetService, RawOutputIsQueuedAsItsOwnTransfer)
{
    EXPECT_EQ(control("raw Control Release."), "ok raw\n");
    EXPECT_EQ(reply(), "Control Release.\r\n");
}

TEST_F(GadgetService, BadControlLinesAreRefused)
{
    std::string answer;
    EXPECT_EQ(service.control("silence M601", answer), PrinterService::Outcome::bad);
    EXPECT_EQ(service.control("silence M601 x", answer), PrinterService::Outcome::bad);
    EXPECT_EQ(service.control("vanish-after -1", answer), PrinterService::Outcome::bad);
    EXPECT_EQ(service.control("report", answer), PrinterService::Outcome::bad);
    EXPECT_EQ(service.control("unplug", answer), PrinterService::Outcome::bad);
    EXPECT_EQ(service.control("quit", answer), PrinterService::Outcome::quit);
}

TEST_F(GadgetService, DataReadsEndWhereTheAnnouncedFileEnds)
{
    EXPECT_EQ(service.data_read_size(512, 16384), 512u) << "no upload: one packet";
    command("~M601 S0");
    command("~M28 1000 0:/sys/a.bin");
    EXPECT_EQ(service.data_read_size(512, 16384), 1024u) << "whole packets: the host's last one is short";
    const std::vector<std::uint8_t> data(600, 0x5A);
    ASSERT_TRUE(service.take(0x03, data.data(), data.size()));
    EXPECT_EQ(service.data_read_size(512, 16384), 512u);
    command("~M28 65536 0:/sys/b.bin");
    EXPECT_EQ(service.data_read_size(512, 16384), 16384u);
    command("~M29");
    EXPECT_EQ(service.data_read_size(512, 16384), 512u);
}

TEST_F(GadgetService, VanishComesOnceTheDataEndpointHasTakenThatMuch)
{
    ASSERT_EQ(control("vanish-after 1024"), "ok vanish-after 1024\n");
    command("~M601 S0");
    command("~M28 4096 0:/sys/a.bin");
    const std::vector<std::uint8_t> data(512, 1);
    EXPECT_TRUE(service.take(0x03, data.data(), data.size()));
    EXPECT_FALSE(service.take(0x03, data.data(), data.size()));
    EXPECT_EQ(service.data_bytes(), 1024u);
}

TEST_F(GadgetService, ReportListsStateAndWritesStoredFilesByteForByte)
{
    testsupport::TempDir dir;
    command("~M601 S0");
    command("~M28 5 0:/sys/with blank.bin");
    const std::string bytes("\0\r\nx\xFF", 5);
    ASSERT_TRUE(service.take(0x03, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    command("~M29");
    command("~M600");
    command("~M28 9 0:/sys/short.bin");
    ASSERT_TRUE(service.take(0x03, reinterpret_cast<const std::uint8_t*>("abc"), 3));
    command("~M29");
    const std::string report = service.report(dir.utf8());
    EXPECT_EQ(report,
              "control 1\n"
              "command ~M601 S0\n"
              "command ~M28 5 0:/sys/with blank.bin\n"
              "command ~M29\n"
              "command ~M600\n"
              "command ~M28 9 0:/sys/short.bin\n"
              "command ~M29\n"
              "file 0 0 9 3 0:/sys/short.bin\n"
              "file 1 1 5 5 0:/sys/with blank.bin\n"
              "install 1 0:/sys/with blank.bin\n"
              "end\n");
    EXPECT_EQ(testsupport::read_file(dir.path() / "0"), "abc");
    EXPECT_EQ(testsupport::read_file(dir.path() / "1"), bytes);
}

TEST_F(GadgetService, StopWakesAWaitingReplyThread)
{
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> chunk;
        return service.next_reply(chunk, 4096);
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    service.stop();
    EXPECT_FALSE(waiting.get());
}

}  // namespace

// The gadget printer's part that needs no gadgetfs: the model behind its
// endpoint threads and its control requests.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "com/devices.h"
#include "gadget/printer_service.h"

namespace {

using emu::gadget::PrinterService;

class GadgetService : public ::testing::Test {
protected:
    PrinterService service{emu::printer_identity(com::ids::vendor_halvenn, com::ids::product_orbrey, 0, 0)};

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

    std::string control(const std::string& line) { return service.control(line); }
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
    EXPECT_EQ(control("silence 1 M601 1 1"), "ok");
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

TEST_F(GadgetService, PushedOutputIsQueuedAsItsOwnTransfer)
{
    EXPECT_EQ(control("push 1 Control\\sRelease.\\r\\n"), "ok");
    EXPECT_EQ(reply(), "Control Release.\r\n");
}

TEST_F(GadgetService, ItsBusIsThisOnePrinterWhichUnplugEnds)
{
    EXPECT_EQ(control("printers"), "ok 1,2c7e,4201,0,0,-,plugged") << "the host gives bus and address";
    EXPECT_EQ(control("count 2"), "error no printer '2'");
    EXPECT_EQ(control("plug 2c7e:4201"), "error a gadget is one printer: start another gadget for another");
    EXPECT_EQ(control("plug 1"), "error a gadget that was unplugged has ended");
    EXPECT_EQ(control("unplug 2"), "error no printer 2");
    EXPECT_FALSE(service.unplug_requested());
    EXPECT_EQ(control("unplug 1"), "ok");
    EXPECT_TRUE(service.unplug_requested());
    EXPECT_EQ(control("printers"), "ok 1,2c7e,4201,0,0,-,unplugged");
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
    ASSERT_EQ(control("vanish-after 1 1024"), "ok");
    command("~M601 S0");
    command("~M28 4096 0:/sys/a.bin");
    const std::vector<std::uint8_t> data(512, 1);
    EXPECT_TRUE(service.take(0x03, data.data(), data.size()));
    EXPECT_FALSE(service.take(0x03, data.data(), data.size()));
    EXPECT_EQ(service.data_bytes(), 1024u);
}

TEST_F(GadgetService, TheStateComesThroughTheControlLanguage)
{
    command("~M601 S0");
    command("~M28 5 0:/sys/with blank.bin");
    const std::string bytes("\0\r\nx\xFF", 5);
    ASSERT_TRUE(service.take(0x03, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    command("~M29");
    command("~M600");
    EXPECT_EQ(control("control 1"), "ok 1");
    EXPECT_EQ(control("files 1"), "ok 0:/sys/with\\sblank.bin,5,5,1");
    EXPECT_EQ(control("file 1 0:/sys/with\\sblank.bin"), "ok \\x00\\r\\nx\\xff");
    EXPECT_EQ(control("installs 1"), "ok 0:/sys/with\\sblank.bin,1");
    EXPECT_EQ(control("commands 1 2"), "ok ~M29 ~M600");
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

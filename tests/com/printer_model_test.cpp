// The emulated printer itself: every other test leans on it, so its protocol
// model is checked here directly, without the link library.
#include <gtest/gtest.h>

#include <string>

#include "printer/printer.h"

namespace {

using emu::Printer;
using emu::Status;

struct Wire {
    Printer printer;

    Status out(const std::string& bytes, std::uint8_t endpoint = 0x01)
    {
        return printer.bulk_out(endpoint, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 100)
            .status;
    }
    std::string in(std::size_t length = 4096)
    {
        std::string buffer(length, '\0');
        const auto r = printer.bulk_in(0x81, reinterpret_cast<std::uint8_t*>(&buffer[0]), length, 100);
        return r.status == Status::ok ? buffer.substr(0, r.actual)
                                      : "<" + std::string(emu::status_name(r.status)) + ">";
    }
};

TEST(PrinterModel, AnswersEachCommandLineByLine)
{
    Wire w;
    w.out("~M601 S0\r\n");
    EXPECT_TRUE(w.printer.under_control());
    EXPECT_EQ(w.in(), "CMD M601 Received.\r\n");
    EXPECT_EQ(w.in(), "Control Success.\r\n");
    EXPECT_EQ(w.in(), "ok\r\n");
    EXPECT_EQ(w.in(), "<timeout>");
    w.out("~M602\r\n");
    EXPECT_FALSE(w.printer.under_control());
}

TEST(PrinterModel, CommandsMayArriveInPieces)
{
    Wire w;
    w.out("~M6");
    w.out("01 S");
    EXPECT_FALSE(w.printer.under_control());
    w.out("0\r\n~M602\n");
    EXPECT_EQ(w.printer.commands(), (std::vector<std::string>{"~M601 S0", "~M602"}));
}

TEST(PrinterModel, StoresAnUploadAgainstItsAnnouncedSize)
{
    Wire w;
    w.out("~M601 S0\r\n~M28 6 0:/sys/my file.bin\r\n");
    w.out("abc", 0x03);
    w.out("def", 0x03);
    w.out("~M29\r\n");
    const auto& f = w.printer.files().at("0:/sys/my file.bin");
    EXPECT_EQ(std::string(f.data.begin(), f.data.end()), "abcdef");
    EXPECT_TRUE(f.complete);
    EXPECT_TRUE(w.printer.violations().empty());
}

TEST(PrinterModel, MarksShortUploadsAndRefusesExtraBytes)
{
    Wire w;
    w.out("~M601 S0\r\n~M28 4 0:/sys/a\r\n");
    w.out("abcdef", 0x03);
    w.out("~M29\r\n~M28 4 0:/sys/b\r\n");
    w.out("ab", 0x03);
    w.out("~M29\r\n~M600\r\n");
    EXPECT_TRUE(w.printer.files().at("0:/sys/a").complete);
    EXPECT_EQ(w.printer.files().at("0:/sys/a").data.size(), 4u);
    EXPECT_FALSE(w.printer.files().at("0:/sys/b").complete);
    ASSERT_EQ(w.printer.violations().size(), 1u);
    EXPECT_NE(w.printer.violations()[0].find("beyond the announced size"), std::string::npos);
    ASSERT_EQ(w.printer.installs().size(), 1u);
    EXPECT_FALSE(w.printer.installs()[0].complete) << "the take-up saw a partial file";
}

TEST(PrinterModel, NoticesWhatAHostMustNotDo)
{
    Wire w;
    w.out("~M28 1 0:/sys/a\r\n");
    w.out("x", 0x03);
    w.out("y", 0x03);
    w.out("~M29\r\n~M600\r\n~M999\r\nhello\r\n");
    EXPECT_EQ(w.printer.violations().size(), 5u);
}

TEST(PrinterModel, RefusesUploadsThatDoNotFit)
{
    Wire w;
    w.printer.set_capacity(10);
    w.out("~M601 S0\r\n");
    w.in();
    w.in();
    w.in();
    w.out("~M28 11 0:/sys/a\r\n");
    EXPECT_EQ(w.in(), "CMD M28 Received.\r\n");
    EXPECT_EQ(w.in(), "out of space\r\n");
    EXPECT_EQ(w.in(), "ok\r\n");
    w.out("~M28 10 0:/sys/a\r\n");
    w.in();
    EXPECT_EQ(w.in(), "Writing to file: 0:/sys/a\r\n");
}

TEST(PrinterModel, FramingAndFaults)
{
    Wire w;
    w.printer.set_framing(Printer::Framing::exchange_per_transfer);
    w.out("~M601 S0\r\n");
    EXPECT_EQ(w.in(), "CMD M601 Received.\r\nControl Success.\r\nok\r\n");
    w.printer.set_framing(Printer::Framing::split_lines, 3);
    w.out("~M602\r\n");
    EXPECT_EQ(w.in(), "CMD");
    EXPECT_EQ(w.in(), " M602 Received.\r\n");

    w.printer.fault_at(w.printer.transfer_count(), emu::FaultKind::stall);
    EXPECT_EQ(w.in(), "<stall>");
    EXPECT_EQ(w.in(), "<stall>") << "halted until cleared";
    w.printer.clear_halt(0x81);
    EXPECT_EQ(w.in(), "Con");
    w.printer.fault_at(w.printer.transfer_count(), emu::FaultKind::vanish);
    EXPECT_EQ(w.in(), "<no_device>");
    EXPECT_EQ(w.out("~M601 S0\r\n"), Status::no_device);
    EXPECT_FALSE(w.printer.present());
}

TEST(PrinterModel, RecordsEveryTransfer)
{
    Wire w;
    w.out("~M601 S0\r\n");
    w.in(8);
    ASSERT_EQ(w.printer.traffic().size(), 2u);
    const emu::Transfer& t = w.printer.traffic()[1];
    EXPECT_EQ(t.index, 1u);
    EXPECT_EQ(t.endpoint, 0x81);
    EXPECT_EQ(t.length, 8u);
    EXPECT_EQ(t.timeout_ms, 100u);
    EXPECT_EQ(t.status, Status::overflow) << "8 bytes end inside the reply's packet";
    EXPECT_EQ(w.in(), "Control Success.\r\n") << "the overflowed reply is lost";
}

TEST(PrinterModel, ReadsThatEndOnAPacketBoundaryLeaveTheRest)
{
    Wire w;
    w.printer.push_raw_reply(std::string(1024, 'a') + std::string(100, 'b'));
    EXPECT_EQ(w.in(512), std::string(512, 'a'));
    EXPECT_EQ(w.in(4096), std::string(512, 'a') + std::string(100, 'b'));
}

TEST(PrinterModel, AnInTransferWaitsOnlyWhenItWouldFindNothing)
{
    emu::Printer p;
    EXPECT_TRUE(p.in_transfer_would_wait(0x81)) << "no reply queued";
    EXPECT_TRUE(p.in_transfer_would_wait(0x83)) << "the printer never sends there";
    EXPECT_FALSE(p.in_transfer_would_wait(0x85)) << "no such endpoint: the transfer fails at once";

    const std::string take = "~M601 S0\r\n";
    p.bulk_out(0x01, reinterpret_cast<const std::uint8_t*>(take.data()), take.size(), 0);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a reply is queued";
    std::uint8_t buffer[4096];
    for (int i = 0; i < 3; ++i)
        p.bulk_in(0x81, buffer, sizeof buffer, 0);
    EXPECT_TRUE(p.in_transfer_would_wait(0x81));
    const auto count = p.transfer_count();

    p.fault_at(count, emu::FaultKind::stall);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a planned fault acts at once";
    EXPECT_EQ(p.bulk_in(0x81, buffer, sizeof buffer, 0).status, emu::Status::stall);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a halted endpoint stalls at once";
    p.clear_halt(0x81);
    EXPECT_TRUE(p.in_transfer_would_wait(0x81));

    p.fault_at(p.transfer_count(), emu::FaultKind::silence);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "the model consumes a planned silence itself";
    p.unplug();
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a printer that left answers at once";
    EXPECT_EQ(p.transfer_count(), count + 1) << "asking records nothing";
}

TEST(PrinterModel, LeavesOnceTheFileDataEndpointHasTakenTheCount)
{
    Wire w;
    w.printer.vanish_after_data(1000);
    w.out("~M601 S0\r\n");
    w.out("~M28 4096 0:/sys/a.bin\r\n");
    EXPECT_EQ(w.out(std::string(600, 'a'), 0x03), Status::ok);
    EXPECT_TRUE(w.printer.present());
    EXPECT_EQ(w.out(std::string(600, 'b'), 0x03), Status::ok) << "the transfer that reaches the count succeeds";
    EXPECT_FALSE(w.printer.present());
    EXPECT_EQ(w.printer.data_bytes(), 1200u);
    EXPECT_EQ(w.out(std::string(600, 'c'), 0x03), Status::no_device);
    w.printer.plug_back();
    EXPECT_EQ(w.out(std::string(600, 'd'), 0x03), Status::ok) << "once only";
}

}  // namespace

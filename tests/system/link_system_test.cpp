// The USB link on the real libusb-1.0: handshakes, real time-outs, stalls,
// the second endpoint set, and printers that leave the bus.
#include <atomic>
#include <thread>

#include "system_fixture.h"

namespace {

using systemtest::Clock;
using systemtest::ms_since;
using systemtest::SystemTest;
using systemtest::wait_for;
using Commands = std::vector<std::string>;

class Connection : public SystemTest {};

TEST_F(Connection, OpenTakesControlAndCloseGivesItBack)
{
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_is_closed(), 1);
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 0);
    EXPECT_TRUE(ctl->under_control(first));
    EXPECT_EQ(l.endpoint_set().cmd_out, 0x01);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_FALSE(ctl->under_control(first));
    EXPECT_EQ(ctl->commands(first), (Commands{"~M601 S0", "~M602"}));
    EXPECT_EQ(ctl->pending_reply_bytes(first), 0u) << "every reply line was read";

    const auto traffic = ctl->traffic(first);
    ASSERT_EQ(traffic.size(), 9u) << "a look for stale replies, then two exchanges of one command and three replies";
    EXPECT_EQ(traffic[0].endpoint, 0x81);
    EXPECT_EQ(traffic[0].status, "timeout") << "nothing stale: the look ran into its time-out";
    EXPECT_EQ(traffic[1].endpoint, 0x01);
    EXPECT_EQ(traffic[1].data, "~M601 S0\r\n");
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(traffic[i].endpoint, 0x81);
        EXPECT_EQ(traffic[i].length, 4096u) << "a refill asks for the whole receive buffer";
    }
    const std::string log = log_text();
    for (const char* line :
         {"com_write: ~M601 S0\r\n\n", "com_readline: CMD M601 Received.\r\n\n", "com_readline: Control Success.\r\n\n",
          "com_write: ~M602\r\n\n", "com_readline: Control Release.\r\n\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(Connection, DeletingAnOpenLinkGivesThePrinterBackAndFreesIt)
{
    open_link();
    link.reset();
    EXPECT_FALSE(ctl->under_control(first));
    // Released and closed: a new link claims the interface again.
    EXPECT_EQ(make_link().com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(ctl->commands(first), (Commands{"~M601 S0", "~M602", "~M601 S0"}));
}

TEST_F(Connection, WrongHandshakeLineGives13AfterADrainAndStaysOpen)
{
    ctl->replace_reply(first, "M601", 1, "Control Failed.");
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_COMMAND);
    EXPECT_EQ(l.com_is_closed(), 0);
    const auto traffic = ctl->traffic(first);
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[4].endpoint, 0x81);
    EXPECT_EQ(traffic[4].data, "ok\r\n") << "the drain took the rest of the reply";
    EXPECT_TRUE(log_has("com_clear_buffer: ok\r\n\n"));
    link.reset();
    EXPECT_FALSE(ctl->under_control(first)) << "deleting the link hands the printer back";
}

TEST_F(Connection, SilentPrinterGives9AfterTheRealTimeout)
{
    ctl->silence_replies(first, "M601");
    com::ComUsb& l = make_link();
    const auto start = Clock::now();
    EXPECT_EQ(l.com_open(250, true), com::COM_ERR_TIMEOUT);
    const long long waited = ms_since(start);
    EXPECT_GE(waited, 100 + 250) << "the look for stale replies, then the caller's time-out";
    EXPECT_LT(waited, 1100) << "the time-out is the caller's, not libusb's or the emulator's";
    EXPECT_EQ(l.com_is_closed(), 0);
    EXPECT_TRUE(log_has("com_readline: : timeout"));
    const auto traffic = ctl->traffic(first);
    ASSERT_EQ(traffic.size(), 3u);
    EXPECT_EQ(traffic[2].endpoint, 0x81);
    EXPECT_EQ(traffic[2].status, "timeout");
    EXPECT_GE(traffic[2].at_ms - traffic[1].at_ms, 240u) << "the printer saw the host give up, not the submission";

    // The printer answers again: the release handshake goes through.
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(ctl->commands(first).back(), "~M602");
    EXPECT_FALSE(ctl->under_control(first));
}

TEST_F(Connection, StaleRepliesAreReadAwayBeforeTakingControl)
{
    // An earlier session ended in the middle of an exchange, leaving lines queued.
    ctl->push_raw_reply(first, "Control Release.\r\n");
    ctl->push_raw_reply(first, "ok\r\n");
    com::ComUsb& l = make_link();
    const auto start = Clock::now();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    const long long took = ms_since(start);
    EXPECT_TRUE(log_has(": com_open: Control Release.\r\n\n"));
    EXPECT_TRUE(log_has(": com_open: ok\r\n\n"));
    EXPECT_GE(took, 100) << "the line must stay quiet for 100 ms";
    EXPECT_LT(took, 800);
    EXPECT_TRUE(ctl->under_control(first));
    EXPECT_EQ(ctl->pending_reply_bytes(first), 0u);
}

TEST_F(Connection, AReplyThatArrivesWhileTheHostWaitsIsTaken)
{
    com::ComUsb& l = open_link();
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ctl->push_raw_reply(first, "late line\r\n");
    });
    char line[128];
    int length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(l.com_readline(line, sizeof line, &length, 2000), com::COM_SUCCESS);
    const long long waited = ms_since(start);
    late.join();
    EXPECT_STREQ(line, "late line");
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 1500) << "the waiting transfer completed when the line came, not at its time-out";
}

TEST_F(Connection, RepliesCutOverSeveralTransfersAreJoined)
{
    ctl->set_framing(first, "split", 5);
    EXPECT_EQ(make_link().com_open(1000, true), com::COM_SUCCESS);
    ctl->set_framing(first, "exchange");
    EXPECT_EQ(link->com_close(), com::COM_SUCCESS) << "all three lines in one transfer";
    EXPECT_FALSE(ctl->under_control(first));
    EXPECT_EQ(ctl->pending_reply_bytes(first), 0u);
}

TEST_F(Connection, SetBPrinterTakesCommandsOn2AndDataOn4)
{
    ctl->unplug(first);
    emu::EmulatorControl::NewPrinter cirro;
    cirro.vendor_id = 0x1E4B;
    cirro.product_id = 0x0104;
    const int id = ctl->plug(cirro);
    com::ComUsb& l = make_link(0x1E4B, 0x0104);
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(l.endpoint_set().cmd_out, 0x02);
    EXPECT_EQ(l.endpoint_set().data_out, 0x04);
    const std::string bytes = testsupport::pattern_bytes(5000, 3);
    ASSERT_EQ(l.com_send_file(local("f.bin", bytes), "0:/sys/f.bin", nullptr, nullptr, 99, "", 1000), com::COM_SUCCESS);
    for (const auto& t : ctl->traffic(id)) {
        if (t.endpoint & 0x80)
            EXPECT_EQ(t.endpoint, 0x81);
        else
            EXPECT_TRUE(t.endpoint == 0x02 || t.endpoint == 0x04) << int(t.endpoint);
    }
    EXPECT_EQ(ctl->file_bytes(id, "0:/sys/f.bin"), bytes);
}

TEST_F(Connection, ASecondLinkToAHeldPrinterGives5UntilTheFirstLetsGo)
{
    open_link();
    com::ComUsb second(vid, pid, logs.utf8(), false);
    EXPECT_EQ(second.com_open(1000, true), com::COM_ERR_CONNECT) << "interface 0 is claimed by the first link";
    EXPECT_EQ(second.com_is_closed(), 1);
    EXPECT_EQ(ctl->commands(first), (Commands{"~M601 S0"})) << "the second link sent nothing";
    link.reset();
    EXPECT_EQ(second.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_TRUE(ctl->under_control(first));
}

TEST_F(Connection, ALinkOpensThePrinterTheListingNamesFirst)
{
    emu::EmulatorControl::NewPrinter twin;
    twin.vendor_id = vid;
    twin.product_id = pid;
    twin.address = 6;
    const int second = ctl->plug(twin);
    const auto records = listed();
    ASSERT_EQ(records.size(), 2u);
    const int opened = records[0].device_address == 5 ? first : second;
    const int other = opened == first ? second : first;
    RecordProperty("first_listed_address", records[0].device_address);
    open_link();
    EXPECT_TRUE(ctl->under_control(opened));
    EXPECT_FALSE(ctl->under_control(other));
    EXPECT_TRUE(ctl->commands(other).empty());
}

TEST_F(Connection, UnpluggedPrinterGives5)
{
    ctl->unplug(first);
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_CONNECT);
    EXPECT_EQ(l.com_is_closed(), 1);
}

// A link made before the printer left holds libusb's context, whose device
// list follows the bus through uevents.
TEST_F(Connection, ALinkFindsItsPrinterAgainAfterAReplug)
{
    com::ComUsb& l = open_link();
    ctl->unplug(first);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS) << "closing a printer that left";
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_CONNECT);
    ctl->plug_back(first);
    const auto start = Clock::now();
    int code = com::COM_ERR_CONNECT;
    EXPECT_TRUE(wait_for([&] { return (code = l.com_open(1000, true)) == com::COM_SUCCESS; })) << "last code " << code;
    RecordProperty("reopen_after_replug_ms", std::to_string(ms_since(start)));
    EXPECT_TRUE(ctl->under_control(first));
}

class Faults : public SystemTest {
protected:
    int send(const std::string& path, unsigned timeout = 1000)
    {
        return link->com_send_file(path, "0:/sys/f.bin", nullptr, nullptr, 99, "", timeout);
    }
};

TEST_F(Faults, StalledDataEndpointGives11AndIsClearedForTheNextUpload)
{
    open_link();
    // The upload command and its three replies, then the first piece of data.
    ctl->fault_ahead(first, 4, "stall");
    const std::string path = local("f.bin", testsupport::pattern_bytes(5000, 5));
    EXPECT_EQ(send(path), com::COM_ERR_HALTED);
    EXPECT_EQ(ctl->clear_halt_count(first, 0x03), 1);
    EXPECT_TRUE(log_has("com_send_file: : device has halted\n"));
    settle();
    EXPECT_EQ(send(path), com::COM_SUCCESS);
    const auto stored = ctl->files(first);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored[0].complete);
    EXPECT_EQ(ctl->file_bytes(first, "0:/sys/f.bin"), testsupport::pattern_bytes(5000, 5));
}

TEST_F(Faults, StalledReplyEndpointGives11AndTheLinkGoesOn)
{
    com::ComUsb& l = open_link();
    ctl->fault_ahead(first, 0, "stall");
    char line[128];
    int length = 0;
    ctl->push_raw_reply(first, "stale\r\n");
    EXPECT_EQ(l.com_readline(line, sizeof line, &length, 1000), com::COM_ERR_HALTED);
    EXPECT_EQ(ctl->clear_halt_count(first, 0x81), 1);
    EXPECT_EQ(l.com_readline(line, sizeof line, &length, 1000), com::COM_SUCCESS);
    EXPECT_STREQ(line, "stale");
}

TEST_F(Faults, DataTimeoutStillRunsTheClosingExchange)
{
    open_link();
    ctl->fault_ahead(first, 5, "silence");  // the second piece of data never moves
    const auto start = Clock::now();
    EXPECT_EQ(send(local("f.bin", testsupport::pattern_bytes(10000, 6)), 300), com::COM_ERR_TIMEOUT);
    const long long took = ms_since(start);
    EXPECT_GE(took, 300 + 500) << "the piece's time-out, then the pause before ~M29";
    EXPECT_LT(took, 2000);
    EXPECT_EQ(ctl->commands(first).back(), "~M29");
    EXPECT_TRUE(log_has("com_send_file: : timeout\n"));
    const auto stored = ctl->files(first);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_FALSE(stored[0].complete);
    EXPECT_EQ(stored[0].size, 4096u) << "the data phase stopped at the silent piece";
    EXPECT_EQ(ctl->pending_reply_bytes(first), 0u);
}

TEST_F(Faults, AWriteCutByItsTimeOutReportsWhatWentOut)
{
    // The give-back times out after three of its bytes: the link must hear
    // of them, or it sends the whole line again and the printer reads
    // "~M6~M602", a command it does not know, and stays held.
    com::ComUsb& l = open_link();
    ctl->fault_ahead(first, 0, "silence", 3);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_FALSE(ctl->under_control(first)) << "the printer was left held";
    EXPECT_EQ(ctl->commands(first).back(), "~M602");
    const auto traffic = ctl->traffic(first);
    ASSERT_GE(traffic.size(), 2u);
    EXPECT_EQ(traffic[traffic.size() - 4].data, "02\r\n") << "the rest of the line, not the whole line again";
}

TEST_F(Faults, DataOverflowGives12AndOtherErrorsGive1)
{
    open_link();
    ctl->fault_ahead(first, 4, "overflow");
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_OVERFLOW);
    EXPECT_TRUE(log_has("com_send_file: : device buffer overflow\n"));
    ctl->fault_ahead(first, 4, "io_error");
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_UNKNOWN);
    EXPECT_TRUE(log_has("com_send_file: : other error, error code: -1\n"));
}

TEST_F(Faults, PrinterVanishingDuringTheDataPhaseGives10WithoutAHang)
{
    open_link();
    ctl->fault_ahead(first, 5, "vanish");  // the second piece of data
    const auto start = Clock::now();
    EXPECT_EQ(send(local("f.bin", std::string(20000, 'x')), 5000), com::COM_ERR_DISCONNECTED);
    EXPECT_LT(ms_since(start), 2500) << "no time-out was waited for (the 500 ms pause before ~M29 aside)";
    EXPECT_TRUE(log_has("com_send_file: : no device\n"));
    EXPECT_TRUE(log_has("com_write: : no device\n")) << "the closing command was still tried";
    link.reset();
    EXPECT_TRUE(wait_for([&] { return listed().empty(); })) << "the vanished printer stayed on the bus";
}

TEST_F(Faults, UnplugWhileAReadWaitsEndsItAtOnce)
{
    com::ComUsb& l = open_link();
    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ctl->unplug(first);
    });
    char line[128];
    int length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(l.com_readline(line, sizeof line, &length, 5000), com::COM_ERR_DISCONNECTED);
    const long long waited = ms_since(start);
    unplugger.join();
    EXPECT_LT(waited, 2000) << "the waiting transfer ended with the unplug, not its 5 s time-out";
    EXPECT_TRUE(log_has("com_readline: : no device\n"));
    const auto before = Clock::now();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_LT(ms_since(before), 500) << "closing a printer that left waits for nothing";
    EXPECT_EQ(l.com_is_closed(), 1);
}

TEST_F(Faults, UnplugDuringAnUploadGives10)
{
    open_link();
    const std::uint64_t mark = ctl->transfer_count(first);
    std::atomic<bool> unplugged{false};
    std::thread unplugger([&] {
        // Some way into the data phase, whatever the machine's speed.
        wait_for([&] { return ctl->transfer_count(first) >= mark + 30; }, 10000);
        ctl->unplug(first);
        unplugged = true;
    });
    const auto start = Clock::now();
    const int code = send(local("f.bin", testsupport::pattern_bytes(1 << 20, 9)), 1000);
    const long long took = ms_since(start);
    unplugger.join();
    ASSERT_TRUE(unplugged.load());
    EXPECT_EQ(code, com::COM_ERR_DISCONNECTED);
    EXPECT_LT(took, 5000);
    EXPECT_TRUE(log_has("com_send_file: : no device\n"));
    EXPECT_TRUE(ctl->files(first).empty()) << "the upload never closed: nothing was stored";
    const std::uint64_t taken = ctl->transfer_count(first) - mark;
    EXPECT_GE(taken, 30u);
    EXPECT_LT(taken, 4u + 256u) << "the data phase stopped at the unplug";
}

}  // namespace

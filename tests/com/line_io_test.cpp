// Command line I/O: writes, reply lines through the receive buffer, drains,
// raw reads, and how every transfer outcome maps to a code and a log line.
#include <gtest/gtest.h>

#include "clock/virtual_clock.h"
#include "support/link_fixture.h"

namespace {

using testsupport::LinkTest;

class LineIo : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        open_link(false);  // no handshake: the tests feed the reply queue themselves
    }

    // Reads one line into a buffer of `size` bytes.
    int readline(int size = 128, unsigned timeout = 1000)
    {
        line.assign(static_cast<std::size_t>(size > 0 ? size : 1), '#');
        length = -1;
        const int code = link->com_readline(&line[0], size, &length, timeout);
        return code;
    }
    std::string text_read() const { return std::string(line.c_str()); }

    std::string line;
    int length = -1;
};

TEST_F(LineIo, TwoLinesInOneTransferAreHandedOutOneByOne)
{
    printer->push_raw_reply("CMD M28 Received.\r\nWriting to file: 0:/sys/a.bin\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "CMD M28 Received.");
    EXPECT_EQ(length, 17);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "Writing to file: 0:/sys/a.bin");
    EXPECT_EQ(printer->transfer_count(), 1u) << "the second line came from the buffer";
    // The buffer is empty again: the next line needs a transfer.
    EXPECT_EQ(readline(), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(printer->transfer_count(), 2u);
    EXPECT_TRUE(log_has("com_readline: CMD M28 Received.\r\nWriting to file: 0:/sys/a.bin\r\n\n"));
}

TEST_F(LineIo, LineEndsAreLfOrCrLfAndOtherCrsStay)
{
    struct Case {
        const char* bytes;
        std::string line;
    } cases[] = {{"ok\n", "ok"}, {"ok\r\n", "ok"}, {"\r\n", ""}, {"\n", ""}, {"a\rb\n", "a\rb"}, {"x\r\r\n", "x\r"}};
    for (const Case& c : cases) {
        printer->push_raw_reply(c.bytes);
        ASSERT_EQ(readline(), com::COM_SUCCESS) << c.bytes;
        EXPECT_EQ(text_read(), c.line);
        EXPECT_EQ(length, static_cast<int>(c.line.size()));
    }
}

TEST_F(LineIo, LineMustFitTheCallersBufferWithItsTerminator)
{
    printer->push_raw_reply(std::string(127, 'a') + "\r\n" + std::string(128, 'b') + "\r\nok\r\n");
    ASSERT_EQ(readline(128), com::COM_SUCCESS);
    EXPECT_EQ(length, 127);
    EXPECT_EQ(text_read(), std::string(127, 'a'));

    EXPECT_EQ(readline(128), com::COM_ERR_OVERFLOW);
    EXPECT_EQ(length, 128) << "the length is reported even when the line does not fit";
    EXPECT_EQ(readline(128), com::COM_ERR_OVERFLOW) << "the line stays buffered";
    EXPECT_TRUE(log_has("com_readline: : receive buf too small"));

    ASSERT_EQ(readline(129), com::COM_SUCCESS) << "a larger buffer takes it";
    EXPECT_EQ(text_read(), std::string(128, 'b'));
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "ok");
}

TEST_F(LineIo, DrainDropsABufferedLineThatDidNotFit)
{
    printer->push_raw_reply(std::string(200, 'z') + "\r\n");
    EXPECT_EQ(readline(), com::COM_ERR_OVERFLOW);
    EXPECT_EQ(link->com_clear_buffer(1000), com::COM_ERR_TIMEOUT);
    printer->push_raw_reply("ok\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "ok");
}

TEST_F(LineIo, DrainWithNothingPendingTimesOutAfterItsTimeout)
{
    EXPECT_EQ(link->com_clear_buffer(1000), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 1000u);
    EXPECT_TRUE(log_has("com_clear_buffer: : timeout\n"));
}

TEST_F(LineIo, DrainTakesOneTransferOfPendingBytesAndLogsThem)
{
    printer->push_raw_reply("CMD M600 Received.\r\n");
    printer->push_raw_reply("later\r\n");
    printer->push_raw_reply("ok\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);  // buffered: nothing more
    EXPECT_EQ(link->com_clear_buffer(1000), com::COM_SUCCESS);
    EXPECT_TRUE(log_has("com_clear_buffer: later\r\n\n"));
    EXPECT_EQ(printer->pending_reply_bytes(), 4u) << "one transfer only, not until quiet";
    EXPECT_EQ(printer->traffic().back().length, 4096u);
}

TEST_F(LineIo, WriteSendsAndLogsTheBytesExactly)
{
    int written = 0;
    ASSERT_EQ(link->com_write("~M601 S0\r\n", 10, &written, 3000), com::COM_SUCCESS);
    EXPECT_EQ(written, 10);
    EXPECT_EQ(printer->traffic().back().timeout_ms, 3000u);
    EXPECT_EQ(log_text(), "2021-4-20 6:43:1: com_write: ~M601 S0\r\n\n");
}

TEST_F(LineIo, ShortWriteReportsWhatWentOut)
{
    printer->fault_at(0, emu::FaultKind::short_transfer, 3);
    int written = 0;
    ASSERT_EQ(link->com_write("~M601 S0\r\n", 10, &written, 1000), com::COM_SUCCESS);
    EXPECT_EQ(written, 3);
    EXPECT_TRUE(log_has("com_write: ~M6\n"));
    EXPECT_TRUE(printer->commands().empty()) << "the printer got only part of the line";
    ASSERT_EQ(link->com_write("01 S0\r\n", 7, &written, 1000), com::COM_SUCCESS);
    EXPECT_TRUE(printer->under_control());
}

TEST_F(LineIo, StalledCommandOutIsClearedBeforeReturning11)
{
    printer->fault_at(0, emu::FaultKind::stall);
    int written = -1;
    EXPECT_EQ(link->com_write("~M601 S0\r\n", 10, &written, 1000), com::COM_ERR_HALTED);
    EXPECT_EQ(written, -1) << "failure leaves the count alone";
    EXPECT_EQ(printer->clear_halt_count(0x01), 1);
    EXPECT_FALSE(printer->halted(0x01));
    EXPECT_TRUE(log_has("com_write: : device has halted\n"));
    EXPECT_EQ(link->com_write("~M601 S0\r\n", 10, &written, 1000), com::COM_SUCCESS) << "cleared, so it goes through";
    link->com_clear_buffer(1000);
}

TEST_F(LineIo, StalledCommandInIsClearedToo)
{
    printer->push_raw_reply("ok\r\n");
    printer->fault_at(0, emu::FaultKind::stall);
    EXPECT_EQ(readline(), com::COM_ERR_HALTED);
    EXPECT_EQ(printer->clear_halt_count(0x81), 1);
    EXPECT_TRUE(log_has("com_readline: : device has halted\n"));
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "ok");
}

TEST_F(LineIo, OverflowIsOwnInWritesButUnknownInLineReads)
{
    printer->push_raw_reply("ok\r\n");
    printer->fault_at(0, emu::FaultKind::overflow);
    EXPECT_EQ(readline(), com::COM_ERR_UNKNOWN);
    EXPECT_TRUE(log_has("com_readline: : other error, error code: -8\n"));

    printer->fault_at(1, emu::FaultKind::overflow);
    EXPECT_EQ(link->com_clear_buffer(1000), com::COM_ERR_UNKNOWN);
    EXPECT_TRUE(log_has("com_clear_buffer: : other error, error code: -8\n"));

    printer->fault_at(2, emu::FaultKind::overflow);
    int written = 0;
    EXPECT_EQ(link->com_write("x", 1, &written, 1000), com::COM_ERR_OVERFLOW);
    EXPECT_TRUE(log_has("com_write: : device buffer overflow\n"));
}

TEST_F(LineIo, GoneDeviceGives10AndOtherErrorsGive1)
{
    printer->fault_at(0, emu::FaultKind::io_error);
    int written = 0;
    EXPECT_EQ(link->com_write("x", 1, &written, 1000), com::COM_ERR_UNKNOWN);
    EXPECT_TRUE(log_has("com_write: : other error, error code: -1\n"));
    printer->fault_at(1, emu::FaultKind::vanish);
    EXPECT_EQ(readline(), com::COM_ERR_DISCONNECTED);
    EXPECT_TRUE(log_has("com_readline: : no device\n"));
    EXPECT_EQ(link->com_write("x", 1, &written, 1000), com::COM_ERR_DISCONNECTED);
    EXPECT_EQ(link->com_clear_buffer(1000), com::COM_ERR_DISCONNECTED);
    EXPECT_EQ(link->com_close(), com::COM_SUCCESS) << "closing a vanished printer still succeeds";
    EXPECT_EQ(link->com_is_closed(), 1);
}

TEST_F(LineIo, TimeoutsWaitTheGivenTimeAndLog)
{
    EXPECT_EQ(readline(128, 2345), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 2345u);
    printer->fault_at(1, emu::FaultKind::silence);
    int written = 0;
    EXPECT_EQ(link->com_write("x", 1, &written, 700), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 3045u);
    EXPECT_TRUE(log_has("com_readline: : timeout\n"));
    EXPECT_TRUE(log_has("com_write: : timeout\n"));
}

TEST_F(LineIo, WithoutLoggingTheCodesAreTheSame)
{
    link.reset();
    const std::string earlier = testsupport::read_file(logs.path() / testsupport::log_files(logs.path()).at(0));
    make_link(vid, pid, false);
    EXPECT_EQ(link->log_file_path(), "");
    ASSERT_EQ(link->com_open(1000, true), com::COM_SUCCESS);
    printer->fault_at(printer->transfer_count(), emu::FaultKind::stall);
    int written = 0;
    EXPECT_EQ(link->com_write("x", 1, &written, 1000), com::COM_ERR_HALTED);
    EXPECT_EQ(readline(), com::COM_ERR_TIMEOUT);
    ASSERT_EQ(testsupport::log_files(logs.path()).size(), 1u);
    EXPECT_EQ(testsupport::read_file(logs.path() / testsupport::log_files(logs.path()).at(0)), earlier);
}

TEST_F(LineIo, ALineSplitOverTransfersIsReadOnToItsEnd)
{
    printer->push_raw_reply("CMD M6");
    printer->push_raw_reply("01 Rece");
    printer->push_raw_reply("ived.\r\nControl");
    printer->push_raw_reply(" Success.\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "CMD M601 Received.");
    EXPECT_EQ(printer->transfer_count(), 3u);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "Control Success.");
    EXPECT_EQ(printer->transfer_count(), 4u);
    EXPECT_TRUE(log_has("com_readline: 01 Rece\n"));
}

TEST_F(LineIo, ALineThatNeverEndsIsNoLineAfterABoundedReadOn)
{
    // Read on for the caller's whole time-out, a reply that never ends would
    // hold "CMD M29 Received." up for 20 s and give a time-out without the
    // drain the callers make for any line other than the expected one.
    struct Case {
        unsigned timeout;
        std::uint64_t waited;
    } cases[] = {{20000, 1000}, {1000, 1000}, {300, 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        link->com_clear_buffer(1);
        printer->push_raw_reply("CMD M29 Rece");
        const auto before = emu::VirtualClock::elapsed_ms();
        ASSERT_EQ(readline(128, c.timeout), com::COM_SUCCESS);
        EXPECT_EQ(text_read(), "") << "no complete line";
        EXPECT_EQ(length, 0);
        EXPECT_EQ(emu::VirtualClock::elapsed_ms() - before, c.waited);
    }
    // The log says what happened: the line had no end; nothing timed out.
    EXPECT_TRUE(log_has("com_readline: : no line end within 1000 ms after 12 bytes\n")) << log_text();
    EXPECT_FALSE(log_has("com_readline: : timeout\n"));
    // The start stays buffered: the rest, when it comes, completes the line.
    printer->push_raw_reply("ived.\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "CMD M29 Received.");
}

TEST_F(LineIo, ReadingOnAsksForWholePacketsSoNoReplyByteIsLost)
{
    // A partial line, then a burst longer than the free space: a read that
    // ends inside a packet overflows and loses the packet's bytes.
    for (const std::uint16_t packet : {std::uint16_t{64}, std::uint16_t{512}}) {
        SCOPED_TRACE(packet);
        link.reset();
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        printer->set_max_packet(packet);
        open_link(false);
        EXPECT_EQ(link->reply_packet_bytes(), packet);

        std::string burst = "01 Received.\r\n";
        std::vector<std::string> lines;
        for (int i = 0; burst.size() < 4500; ++i) {
            lines.push_back("line " + std::to_string(i) + std::string(60, '.'));
            burst += lines.back() + "\r\n";
        }
        printer->push_raw_reply("CMD M6");
        printer->push_raw_reply(burst);
        ASSERT_EQ(readline(), com::COM_SUCCESS);
        EXPECT_EQ(text_read(), "CMD M601 Received.");
        for (const std::string& expected : lines) {
            ASSERT_EQ(readline(), com::COM_SUCCESS);
            ASSERT_EQ(text_read(), expected);
        }
        for (const emu::Transfer& t : printer->traffic()) {
            if (t.endpoint == 0x81) {
                EXPECT_EQ(t.length % packet, 0u) << "transfer " << t.index << " asked for " << t.length;
            }
        }
    }
}

TEST_F(LineIo, AnEmptyTransferHandsOutNoStaleText)
{
    printer->fault_at(0, emu::FaultKind::zero_length);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(text_read(), "") << "the caller's buffer must not keep older text";

    // An empty transfer while reading on ends the call without a line too.
    printer->push_raw_reply("CMD");
    printer->fault_at(2, emu::FaultKind::zero_length);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "");
}

TEST_F(LineIo, AReceiveBufferFullOfOneUnendedLineIsOneUnexpectedLine)
{
    // Not a line too long for the caller (that is 12): no line end comes at
    // all, so the callers see a line other than the one they expect.
    printer->push_raw_reply(std::string(4096, 'q'));
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "");
    EXPECT_EQ(printer->transfer_count(), 1u);
    EXPECT_TRUE(log_has("com_readline: : no line end in 4096 bytes\n"));
    printer->push_raw_reply("ok\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS) << "the unended bytes are gone";
    EXPECT_EQ(text_read(), "ok");
}

TEST_F(LineIo, AStraddlingLineIsCompletedAfterEarlierLines)
{
    // 40 lines and the start of one more in a transfer, its end in the next:
    // the partial line moves to the front of the buffer to be completed.
    std::string lines;
    while (lines.size() < 4000)
        lines += std::string(98, 'l') + "\r\n";
    lines += "CMD M29";
    printer->push_raw_reply(lines);
    printer->push_raw_reply(" Received.\r\n");
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(readline(), com::COM_SUCCESS);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "CMD M29 Received.");
}

TEST_F(LineIo, RawReadBypassesTheLineBufferAndLogsNothing)
{
    printer->push_raw_reply("first\r\nsecond\r\n");
    ASSERT_EQ(readline(), com::COM_SUCCESS);  // "second" stays buffered
    printer->push_raw_reply("raw bytes");
    const std::string before = log_text();
    char raw[64] = {};
    int received = 0;
    ASSERT_EQ(link->com_read(raw, sizeof raw, &received, 1000), com::COM_SUCCESS);
    EXPECT_EQ(std::string(raw, static_cast<std::size_t>(received)), "raw bytes");
    EXPECT_EQ(log_text(), before);
    ASSERT_EQ(readline(), com::COM_SUCCESS);
    EXPECT_EQ(text_read(), "second");

    printer->fault_at(printer->transfer_count(), emu::FaultKind::overflow);
    EXPECT_EQ(link->com_read(raw, sizeof raw, &received, 1000), com::COM_ERR_OVERFLOW);
    printer->fault_at(printer->transfer_count(), emu::FaultKind::stall);
    EXPECT_EQ(link->com_read(raw, sizeof raw, &received, 1000), com::COM_ERR_HALTED);
    EXPECT_EQ(printer->clear_halt_count(0x81), 1);
    EXPECT_EQ(link->com_read(raw, sizeof raw, &received, 1000), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(log_text(), before);
}

}  // namespace

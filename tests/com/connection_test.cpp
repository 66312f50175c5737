// Opening a printer, the take-control and give-back handshakes, closing.
#include <gtest/gtest.h>

#include <stdexcept>

#include "clock/virtual_clock.h"
#include "support/link_fixture.h"

namespace {

using testsupport::LinkTest;
using Commands = std::vector<std::string>;

class Connection : public LinkTest {
protected:
    testsupport::TempDir files_dir;
};

TEST_F(Connection, OpenTakesControlAndCloseGivesItBack)
{
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_is_closed(), 1);
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 0);
    EXPECT_TRUE(printer->under_control());
    EXPECT_EQ(bus().counters.claimed_interfaces, 1);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_FALSE(printer->under_control());
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0", "~M602"}));
    EXPECT_EQ(bus().counters.claimed_interfaces, 0);
    EXPECT_EQ(bus().counters.live_handles, 0);
    EXPECT_EQ(printer->pending_reply_bytes(), 0u) << "every reply line was read";
}

TEST_F(Connection, HandshakeLinesGoOutAndAreLoggedExactly)
{
    open_link();
    const auto& traffic = printer->traffic();
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[0].endpoint, 0x81) << "first, a look for stale replies";
    EXPECT_EQ(traffic[0].timeout_ms, 100u);
    EXPECT_EQ(traffic[0].status, emu::Status::timeout);
    EXPECT_EQ(traffic[1].endpoint, 0x01);
    EXPECT_EQ(text(traffic[1]), "~M601 S0\r\n");
    EXPECT_EQ(traffic[1].timeout_ms, 1000u);
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(traffic[i].endpoint, 0x81);
        EXPECT_EQ(traffic[i].length, 4096u) << "a refill asks for the whole receive buffer";
    }
    EXPECT_EQ(log_text(), "2021-4-20 6:43:1: com_write: ~M601 S0\r\n\n"
                          "2021-4-20 6:43:1: com_readline: CMD M601 Received.\r\n\n"
                          "2021-4-20 6:43:1: com_readline: Control Success.\r\n\n"
                          "2021-4-20 6:43:1: com_readline: ok\r\n\n");
}

TEST_F(Connection, StaleRepliesFromAnEarlierSessionAreReadAwayBeforeTakingControl)
{
    // An earlier session ended in the middle of an exchange, leaving lines queued.
    printer->push_raw_reply("Control Release.\r\n");
    printer->push_raw_reply("ok\r\n");
    com::ComUsb& l = make_link();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_TRUE(log_has(": com_open: Control Release.\r\n\n"));
    EXPECT_TRUE(log_has(": com_open: ok\r\n\n"));
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 100u) << "one short wait once the line is quiet";
}

TEST_F(Connection, ReopeningForgetsLinesTheHostStillHeld)
{
    com::ComUsb& l = open_link(false);
    printer->push_raw_reply(std::string(150, 'x') + "\r\n");
    char line[128];
    int length = 0;
    ASSERT_EQ(l.com_readline(line, sizeof line, &length, 1000), com::COM_ERR_OVERFLOW);  // stays buffered
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS) << "the buffered line must not answer the handshake";
}

TEST_F(Connection, CloseOnANeverOpenedLinkSendsNothing)
{
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_EQ(printer->transfer_count(), 0u);
}

TEST_F(Connection, UnpluggedPrinterGives5AndUnknownIdsGive10)
{
    bus().detach_all();
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_CONNECT);
    EXPECT_EQ(l.com_is_closed(), 1);

    bus().attach_printer(0x2C7E, 0x4202);  // attached, but not a supported pair
    com::ComUsb& unknown = make_link(0x2C7E, 0x4202);
    EXPECT_EQ(unknown.com_open(1000, true), com::COM_ERR_DISCONNECTED);
    EXPECT_EQ(unknown.com_is_closed(), 1);
    EXPECT_EQ(bus().devices().back()->opens, 0);
    printer = nullptr;
}

TEST_F(Connection, ConstructionRefusesZeroIdsAndAFailingLibrary)
{
    for (auto ids : {std::pair<int, int>{0, 0x4201}, {0x2C7E, 0}}) {
        try {
            com::ComUsb l(static_cast<std::uint16_t>(ids.first), static_cast<std::uint16_t>(ids.second), logs.utf8(),
                          true);
            FAIL() << "constructed with a zero id";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "not specify vid or pid");
        }
    }
    bus().fail_init = true;
    try {
        make_link();
        FAIL() << "constructed without libusb";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "init libusb failed");
    }
    EXPECT_EQ(bus().counters.exits, 0) << "nothing to deinitialise after a failed init";
}

TEST_F(Connection, SecondOpenGivesThePrinterBackFirst)
{
    com::ComUsb& l = open_link();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0", "~M602", "~M601 S0"}));
    EXPECT_EQ(bus().devices().front()->opens, 2);
    EXPECT_EQ(bus().counters.live_handles, 1);
    EXPECT_TRUE(printer->under_control());
}

TEST_F(Connection, WithoutTakingControlNothingIsSentButCloseStillGivesBack)
{
    com::ComUsb& l = open_link(false);
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_EQ(l.com_is_closed(), 0);
    l.com_close();
    EXPECT_EQ(printer->commands(), (Commands{"~M602"}));
}

TEST_F(Connection, WrongHandshakeLineGives13AfterADrainAndStaysOpen)
{
    printer->replace_reply("M601", 1, "Control Failed.");
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_COMMAND);
    EXPECT_EQ(l.com_is_closed(), 0);
    const auto& traffic = printer->traffic();
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[4].endpoint, 0x81);
    EXPECT_EQ(traffic[4].timeout_ms, 1000u) << "the drain";
    EXPECT_EQ(text(traffic[4]), "ok\r\n") << "the drain took the rest of the reply";
    EXPECT_TRUE(log_has("com_clear_buffer: ok\r\n\n"));
    // The printer took control; deleting the link hands it back.
    link.reset();
    EXPECT_FALSE(printer->under_control());
}

TEST_F(Connection, DrainAfterTheLastLineWaitsASecond)
{
    printer->replace_reply("M601", 2, "ko");
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(5000, true), com::COM_ERR_COMMAND);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 100u + 1000u) << "nothing left: the drain runs into its 1000 ms";
    EXPECT_TRUE(log_has("com_clear_buffer: : timeout\n"));
}

TEST_F(Connection, EveryHandshakeLineIsChecked)
{
    for (int line = 0; line < 3; ++line) {
        link.reset();
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        printer->replace_reply("M601", line, "?");
        EXPECT_EQ(make_link().com_open(1000, true), com::COM_ERR_COMMAND) << "line " << line;
    }
}

TEST_F(Connection, SilentPrinterGives9AfterTheCallersTimeout)
{
    printer->silence_replies("M601");
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(2500, true), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 100u + 2500u);
    EXPECT_EQ(l.com_is_closed(), 0);
    EXPECT_TRUE(log_has("com_readline: : timeout"));
}

TEST_F(Connection, CloseWithASilentPrinterTakesASecondAndCloses)
{
    com::ComUsb& l = open_link();
    printer->silence_replies("M602");
    const auto before = emu::VirtualClock::elapsed_ms();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms() - before, 1000u);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_EQ(bus().counters.live_handles, 0);
}

TEST_F(Connection, WrongReleaseLineIsDrainedAndTheLinkStillCloses)
{
    com::ComUsb& l = open_link();
    printer->replace_reply("M602", 1, "Control Kept.");
    const std::size_t mark = printer->traffic().size();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    const auto after = traffic_from(mark);
    ASSERT_EQ(after.size(), 4u) << "write, two reads, one drain";
    EXPECT_EQ(text(after[3]), "ok\r\n") << "the drain takes the rest of the reply";
}

TEST_F(Connection, DeletingAnOpenLinkGivesBackReleasesAndDeinitialises)
{
    open_link();
    link.reset();
    EXPECT_EQ(printer->commands().back(), "~M602");
    EXPECT_FALSE(printer->under_control());
    EXPECT_EQ(bus().counters.claimed_interfaces, 0);
    EXPECT_EQ(bus().counters.inits, 1);
    EXPECT_EQ(bus().counters.exits, 1);
}

TEST_F(Connection, DeletingANeverOpenedLinkOnlyDeinitialises)
{
    make_link();
    link.reset();
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_EQ(bus().counters.exits, 1);
}

TEST_F(Connection, SetBPrintersTakeCommandsOn2AndDataOn4)
{
    bus().detach_all();
    for (std::uint16_t product : {0x0104, 0x0106, 0x0107, 0x0105}) {
        printer = bus().attach_printer(0x1E4B, product);
        com::ComUsb& l = make_link(0x1E4B, product);
        ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
        const bool set_b = product != 0x0105;
        EXPECT_EQ(l.endpoint_set().cmd_out, set_b ? 0x02 : 0x01);
        EXPECT_EQ(l.endpoint_set().data_out, set_b ? 0x04 : 0x03);
        EXPECT_EQ(printer->traffic().at(1).endpoint, set_b ? 0x02 : 0x01);
        for (const auto& t : printer->traffic()) {
            if (t.endpoint & 0x80) {
                EXPECT_EQ(t.endpoint, 0x81);
            }
        }
        link.reset();
        bus().detach_all();
    }
}

TEST_F(Connection, ClosedLinkForgetsItsEndpoints)
{
    com::ComUsb& l = open_link();
    l.com_close();
    EXPECT_EQ(l.endpoint_set().cmd_in, 0);
    EXPECT_EQ(l.endpoint_set().cmd_out, 0);
    EXPECT_EQ(l.endpoint_set().data_in, 0);
    EXPECT_EQ(l.endpoint_set().data_out, 0);
}

TEST_F(Connection, InterfaceThatCannotBeClaimedGives5AndCloses)
{
    bus().devices().front()->fail_claim = true;
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_CONNECT);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_EQ(bus().counters.live_handles, 0);
    EXPECT_EQ(printer->transfer_count(), 0u);
}

TEST_F(Connection, ASecondLinkToAHeldPrinterGives5UntilTheFirstLetsGo)
{
    com::ComUsb& first = open_link();
    com::ComUsb second(vid, pid, logs.utf8(), false);
    EXPECT_EQ(second.com_open(1000, true), com::COM_ERR_CONNECT);
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0"})) << "nothing reached the printer";
    first.com_close();
    EXPECT_EQ(second.com_open(1000, true), com::COM_SUCCESS);
}

TEST_F(Connection, AKernelDriverIsDetachedBeforeTheClaim)
{
    bus().devices().front()->kernel_driver_bound = true;
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(bus().counters.auto_detach_before_claim, 1);
}

TEST_F(Connection, ACommandLineThePrinterTookOnlyPartOfIsCompleted)
{
    // Left half-sent, "~M6" would be joined to the next command: the printer
    // would see "~M6~M602" and never be given back.
    printer->fault_at(1, emu::FaultKind::short_transfer, 3);
    com::ComUsb& l = make_link();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_EQ(text(printer->traffic()[1]), "~M6");
    EXPECT_EQ(text(printer->traffic()[2]), "01 S0\r\n");
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0", "~M602"}));
    EXPECT_FALSE(printer->under_control());
}

TEST_F(Connection, ACommandLineThePrinterTookNothingOfIsATimeout)
{
    printer->fault_at(1, emu::FaultKind::zero_length);
    com::ComUsb& l = make_link();
    EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(printer->transfer_count(), 2u) << "no reply is waited for";
    EXPECT_TRUE(log_has(": com_write: : the printer took no byte of 10\n"));
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands(), (Commands{"~M602"}));
}

TEST_F(Connection, AGiveBackThatDoesNotGoOutIsSentAgain)
{
    const emu::FaultKind kinds[] = {emu::FaultKind::silence, emu::FaultKind::stall, emu::FaultKind::io_error,
                                    emu::FaultKind::overflow, emu::FaultKind::zero_length};
    for (emu::FaultKind kind : kinds) {
        SCOPED_TRACE(emu::fault_name(kind));
        com::ComUsb& l = open_link();
        printer->fault_at(printer->transfer_count(), kind);
        EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
        EXPECT_FALSE(printer->under_control()) << "the printer was left held";
        EXPECT_EQ(printer->commands().back(), "~M602");
        EXPECT_EQ(l.com_is_closed(), 1);
    }
}

TEST_F(Connection, AGiveBackIsSentAtMostThreeTimes)
{
    com::ComUsb& l = open_link();
    const std::uint64_t next = printer->transfer_count();
    for (std::uint64_t i = 0; i < 4; ++i)
        printer->fault_at(next + i, emu::FaultKind::silence);
    const auto before = emu::VirtualClock::elapsed_ms();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(printer->transfer_count() - next, 3u);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms() - before, 3000u);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_EQ(bus().counters.live_handles, 0);
    EXPECT_TRUE(printer->under_control()) << "nothing reached it";
}

TEST_F(Connection, AGoneDeviceIsNotSentTheGiveBackAgain)
{
    com::ComUsb& l = open_link();
    const std::uint64_t next = printer->transfer_count();
    printer->fault_at(next, emu::FaultKind::vanish);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(printer->transfer_count() - next, 1u);
    EXPECT_EQ(bus().counters.claimed_interfaces, 0);
}

TEST_F(Connection, AResentGiveBackGoesOnWhereThePrinterStoppedTakingIt)
{
    // Sent again from its first byte, the give-back would reach the printer
    // as "~M6~M602": one line it does not know, and it stays held.
    struct Case {
        emu::FaultKind after;  // what ends the first attempt once 3 bytes went out
        std::size_t moved;     // bytes the failing transfer itself still moved
    } cases[] = {{emu::FaultKind::silence, 0},
                 {emu::FaultKind::silence, 2},
                 {emu::FaultKind::stall, 0},
                 {emu::FaultKind::io_error, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::fault_name(c.after)) + " moving " + std::to_string(c.moved));
        com::ComUsb& l = open_link();
        const std::uint64_t next = printer->transfer_count();
        printer->fault_at(next, emu::FaultKind::short_transfer, 3);
        printer->fault_at(next + 1, c.after, c.moved);
        EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
        EXPECT_FALSE(printer->under_control()) << "the printer was left held";
        EXPECT_EQ(printer->commands().back(), "~M602");
        EXPECT_EQ(text(printer->traffic()[next + 2]), std::string("~M602\r\n").substr(3 + c.moved));
    }
}

TEST_F(Connection, ACommandCutByAFailedWriteIsCompletedBeforeTheNextOne)
{
    // A time-out after part of a line: libusb reports the bytes that went out.
    // The next command (here the give-back of the link's destructor) must not
    // be joined to the rest of the cut line.
    testsupport::write_file(files_dir.path() / "a.bin", std::string(5000, 'i'));
    struct Case {
        bool at_open;          // the take-control's line, else one of the install
        std::uint64_t offset;  // of its transfer: from the stale look at open, else from ~M28
        std::string cut;       // what of it went out
    } cases[] = {{true, 1, "~M60"}, {false, 0, "~M28 5000"}, {false, 6, "~"}, {false, 10, "~M6"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cut);
        com::ComUsb& l = make_link();
        std::uint64_t cut_at = c.offset;
        if (c.at_open) {
            printer->fault_at(cut_at, emu::FaultKind::silence, c.cut.size());
            EXPECT_EQ(l.com_open(1000, true), com::COM_ERR_TIMEOUT);
        } else {
            ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
            cut_at += printer->transfer_count();
            printer->fault_at(cut_at, emu::FaultKind::silence, c.cut.size());
            EXPECT_EQ(l.com_install_file(files_dir.utf8("a.bin"), "a.bin", nullptr, nullptr, "", 1000),
                      com::COM_ERR_TIMEOUT);
        }
        ASSERT_EQ(text(printer->traffic().at(cut_at)), c.cut);
        link.reset();
        EXPECT_FALSE(printer->under_control()) << "the printer was left held";
        for (const std::string& command : printer->commands())
            EXPECT_EQ(command.find('~', 1), std::string::npos) << "two commands joined: " << command;
        EXPECT_EQ(printer->commands().back(), "~M602");
    }
}

TEST_F(Connection, AnUploadThePrinterMayBeInIsClosedBeforeItIsGivenBack)
{
    // A full-speed printer takes command lines in 64-byte packets: with a
    // long name "~M28" is two of them, and a write that fails after the
    // first leaves the start of an upload command in the printer.
    const std::string name = std::string(70, 'n') + ".xbf";
    testsupport::write_file(files_dir.path() / name, std::string(5000, 'f'));
    struct Case {
        const char* what;
        std::uint64_t offset;    // of the failing write, from the ~M28
        std::size_t moved;       // what of it went out
        std::uint64_t capacity;  // of the printer's store
        Commands last;           // the printer's last commands
    };
    const std::string m28 = "~M28 5000 0:/sys/" + name;
    const Case cases[] = {
        {"~M28 cut after one packet", 0, 64, UINT64_MAX, {m28, "~M29", "~M602"}},
        {"~M28 cut, then refused for want of space", 0, 64, 100, {m28, "~M602"}},
        {"the closing ~M29 never went out", 6, 0, UINT64_MAX, {m28, "~M29", "~M602"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        link.reset();
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        printer->set_max_packet(64);
        printer->set_capacity(c.capacity);
        ASSERT_EQ(make_link().com_open(1000, true), com::COM_SUCCESS);
        printer->fault_at(printer->transfer_count() + c.offset, emu::FaultKind::silence, c.moved);
        EXPECT_EQ(link->com_install_file(files_dir.utf8(name), name, nullptr, nullptr, "", 1000), com::COM_ERR_TIMEOUT);
        link.reset();
        EXPECT_FALSE(printer->under_control()) << "the printer was left held";
        EXPECT_FALSE(printer->uploading()) << "the printer was left inside an upload";
        EXPECT_TRUE(printer->installs().empty());
        const Commands& commands = printer->commands();
        ASSERT_GE(commands.size(), c.last.size());
        EXPECT_EQ(Commands(commands.end() - static_cast<std::ptrdiff_t>(c.last.size()), commands.end()), c.last);
        if (c.moved > 0) {
            for (const auto& file : printer->files())
                EXPECT_FALSE(file.second.complete) << "stored: " << file.first;
        }
    }
    // Every step is in the log (one file: the links were made in the same second).
    const std::string log = testsupport::read_file(logs.path() / testsupport::log_files(logs.path()).at(0));
    EXPECT_NE(log.find("com_write: : completing a command cut short after 64 of its "), std::string::npos);
    EXPECT_NE(log.find("com_send_file: : the printer may be inside an upload: closing it"), std::string::npos);
}

#ifndef _WIN32
TEST_F(Connection, ALogThatCannotWriteDoesNotKeepThePrinterHeld)
{
    com::ComUsb& l = make_link();
    ASSERT_EQ(l.com_open(1000, false), com::COM_SUCCESS) << "opening without the handshake logs nothing";
    testsupport::DiskFullAt full(0);
    // Called directly, the exception reaches the caller and the link stays open.
    EXPECT_THROW(l.com_close(), std::runtime_error);
    EXPECT_EQ(l.com_is_closed(), 0);
    // The destructor contains it and still releases, closes and deinitialises.
    EXPECT_NO_THROW(link.reset());
    EXPECT_EQ(bus().counters.claimed_interfaces, 0);
    EXPECT_EQ(bus().counters.live_handles, 0);
    EXPECT_EQ(bus().counters.default_context_refs, 0);
    EXPECT_EQ(printer->commands(), (Commands{"~M602", "~M602"})) << "each attempt still reached the printer";
}
#endif

}  // namespace

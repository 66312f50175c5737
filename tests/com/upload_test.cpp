// Uploading a file: the opening exchange, the data phase with its progress
// reports and cancel flag, and the closing exchange with its result rules.
#include <gtest/gtest.h>

#include <vector>

#include "clock/virtual_clock.h"
#include "com/sha256.h"
#include "support/link_fixture.h"

namespace {

using testsupport::LinkTest;
using testsupport::write_file;
using Commands = std::vector<std::string>;

struct Report {
    int percent;
    float rate;
    std::uint64_t at_ms;
};

void record_report(int percent, float rate, void* context)
{
    static_cast<std::vector<Report>*>(context)->push_back(Report{percent, rate, emu::VirtualClock::elapsed_ms()});
}

class Upload : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        open_link();
        mark = printer->transfer_count();
    }

    std::string local(const std::string& name, const std::string& bytes)
    {
        write_file(files.path() / testsupport::from_utf8(name), bytes);
        return files.utf8(name);
    }

    int send(const std::string& path, const std::string& remote = "0:/sys/f.bin", unsigned timeout = 1000,
             const std::string& closing = "")
    {
        return link->com_send_file(path, remote, record_report, &reports, 99, closing, timeout);
    }

    // Drains what a failed exchange left pending, so the next upload starts clean.
    void settle()
    {
        while (printer->pending_reply_bytes() > 0)
            link->com_clear_buffer(1000);
    }

    std::vector<emu::Transfer> data_transfers() const
    {
        std::vector<emu::Transfer> out;
        for (const auto& t : printer->traffic())
            if (t.endpoint == 0x03)
                out.push_back(t);
        return out;
    }

    // Index of the first transfer after `mark` on `endpoint`, counting `skip` more.
    std::uint64_t transfer_index_on(std::uint8_t endpoint, int skip = 0) const
    {
        for (std::uint64_t i = mark; i < printer->transfer_count(); ++i)
            if (printer->traffic()[i].endpoint == endpoint && skip-- == 0)
                return i;
        return UINT64_MAX;
    }

    testsupport::TempDir files;
    std::vector<Report> reports;
    std::uint64_t mark = 0;
};

TEST_F(Upload, EmptyFileIsAnnouncedAndClosedWithoutData)
{
    const std::string path = local("empty.bin", "");
    ASSERT_EQ(send(path, "0:/sys/empty.bin"), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0", "~M28 0 0:/sys/empty.bin", "~M29"}));
    EXPECT_TRUE(data_transfers().empty());
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(emu::VirtualClock::sleeps(), std::vector<unsigned>{500});
    ASSERT_EQ(printer->files().count("0:/sys/empty.bin"), 1u);
    EXPECT_TRUE(printer->files().at("0:/sys/empty.bin").complete);
    EXPECT_EQ(printer->pending_reply_bytes(), 0u);
}

TEST_F(Upload, FileGoesOutIn4096BytePiecesAndArrivesWhole)
{
    const std::string bytes = testsupport::pattern_bytes(10000, 7);
    ASSERT_EQ(send(local("f.bin", bytes)), com::COM_SUCCESS);
    const auto data = data_transfers();
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].length, 4096u);
    EXPECT_EQ(data[1].length, 4096u);
    EXPECT_EQ(data[2].length, 1808u);
    for (const auto& t : data)
        EXPECT_EQ(t.timeout_ms, 1000u);
    const auto& stored = printer->files().at("0:/sys/f.bin");
    EXPECT_TRUE(stored.complete);
    EXPECT_EQ(std::string(stored.data.begin(), stored.data.end()), bytes);
    EXPECT_EQ(printer->commands()[1], "~M28 10000 0:/sys/f.bin");
}

TEST_F(Upload, WholeExchangeIsLoggedButNotTheFileData)
{
    ASSERT_EQ(send(local("f.bin", "DATA-NOT-LOGGED")), com::COM_SUCCESS);
    const std::string log = log_text();
    EXPECT_NE(log.find("com_write: ~M28 15 0:/sys/f.bin\r\n\n"), std::string::npos);
    EXPECT_NE(log.find("com_readline: Writing to file: 0:/sys/f.bin\r\n\n"), std::string::npos);
    EXPECT_NE(log.find("com_write: ~M29\r\n\n"), std::string::npos);
    EXPECT_NE(log.find("com_readline: Done saving file.\r\n\n"), std::string::npos);
    EXPECT_EQ(log.find("DATA-NOT-LOGGED"), std::string::npos);
}

TEST_F(Upload, ProgressIsReportedAfterPiecesWhenMoreThan500msPassed)
{
    bus().devices().front()->transfer_ms[0x03] = 600;
    ASSERT_EQ(send(local("f.bin", std::string(8192, 'x'))), com::COM_SUCCESS);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].percent, 49) << "99 * 4096 / 8192, truncated";
    EXPECT_NEAR(reports[0].rate, 4.0 / 0.6, 1e-3) << "KiB per second over the interval";
    EXPECT_EQ(reports[1].percent, 99) << "a report on the last piece carries the scale";
}

TEST_F(Upload, ReportsAreNeverCloserThan500ms)
{
    bus().devices().front()->transfer_ms[0x03] = 100;
    ASSERT_EQ(send(local("f.bin", std::string(40 * 4096, 'x'))), com::COM_SUCCESS);
    ASSERT_EQ(reports.size(), 6u) << "every sixth piece is more than 500 ms after the last report";
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GT(reports[i].at_ms - reports[i - 1].at_ms, 500u);
        EXPECT_GT(reports[i].percent, reports[i - 1].percent);
    }
    EXPECT_EQ(reports.back().percent, 99 * 36 / 40);
}

TEST_F(Upload, ReportsGoOnAcrossTheTickCountersWrap)
{
    emu::VirtualClock::set_tick(0xFFFFFFFFu - 700);
    bus().devices().front()->transfer_ms[0x03] = 600;
    ASSERT_EQ(send(local("f.bin", std::string(4 * 4096, 'x'))), com::COM_SUCCESS);
    EXPECT_EQ(reports.size(), 4u);
}

TEST_F(Upload, NoCallbackWithoutAContext)
{
    bus().devices().front()->transfer_ms[0x03] = 600;
    const std::string path = local("f.bin", std::string(8192, 'x'));
    ASSERT_EQ(link->com_send_file(path, "0:/sys/f.bin", record_report, nullptr, 99, "", 1000), com::COM_SUCCESS);
    ASSERT_EQ(link->com_send_file(path, "0:/sys/f.bin", nullptr, &reports, 99, "", 1000), com::COM_SUCCESS);
    EXPECT_TRUE(reports.empty());
}

TEST_F(Upload, WritingToFilePrefixNeedsItsColonButNoBlank)
{
    printer->replace_reply("M28", 1, "Writing to file:0:/sys/f.bin");
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_SUCCESS);

    printer->replace_reply("M28", 1, "Writing to file 0:/sys/f.bin", 1);
    const auto before = emu::VirtualClock::elapsed_ms();
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_COMMAND);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms() - before, 0u) << "the drain took the pending ok";
    EXPECT_EQ(printer->commands().size(), 4u) << "no data phase, no closing command";
    EXPECT_TRUE(log_has("com_clear_buffer: ok\r\n"));
}

TEST_F(Upload, WrongFirstReplyOrLastOpeningReplyGives13)
{
    printer->replace_reply("M28", 0, "CMD M29 Received.");
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_COMMAND);
    printer->replace_reply("M28", 2, "ko", 1);
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_COMMAND);
    EXPECT_TRUE(data_transfers().empty());
}

TEST_F(Upload, OutOfSpaceFollowedByOkGives16WithoutADrain)
{
    printer->set_capacity(100);
    EXPECT_EQ(send(local("f.bin", std::string(101, 'x'))), com::COM_ERR_DISK_FULL);
    const auto after = traffic_from(mark);
    ASSERT_EQ(after.size(), 4u) << "the command and its three replies, nothing more";
    EXPECT_EQ(text(after[2]), "out of space\r\n");
    EXPECT_EQ(printer->commands().back(), "~M28 101 0:/sys/f.bin") << "no ~M29";
    EXPECT_TRUE(printer->files().empty());
}

TEST_F(Upload, OutOfSpaceFollowedByAnotherLineGives16AfterADrain)
{
    printer->replace_reply("M28", 1, "out of space");
    printer->replace_reply("M28", 2, "busy");
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_DISK_FULL);
    const auto after = traffic_from(mark);
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[4].timeout_ms, 1000u) << "the drain";
    EXPECT_TRUE(data_transfers().empty());
    EXPECT_EQ(printer->commands().back().substr(0, 4), "~M28");
}

TEST_F(Upload, MissingLocalFileGives14AndSendsNothing)
{
    const std::string path = files.utf8("absent.bin");
    EXPECT_EQ(send(path), com::COM_ERR_FILE);
    EXPECT_EQ(printer->transfer_count(), mark);
    EXPECT_TRUE(log_has("com_send_file: : open file " + path + " failed\n"));
}

TEST_F(Upload, DataTimeoutStillRunsTheClosingExchange)
{
    const std::string path = local("f.bin", std::string(10000, 'x'));
    printer->fault_at(mark + 4 + 1, emu::FaultKind::silence);  // M28 + 3 replies, then the 2nd piece
    EXPECT_EQ(send(path), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(emu::VirtualClock::sleeps(), std::vector<unsigned>{500});
    EXPECT_EQ(printer->commands().back(), "~M29");
    EXPECT_TRUE(log_has("com_send_file: : timeout\n"));
    EXPECT_EQ(data_transfers().size(), 2u) << "the data phase stopped at the failed piece";
    EXPECT_FALSE(printer->files().at("0:/sys/f.bin").complete);
    EXPECT_EQ(printer->pending_reply_bytes(), 0u);
}

TEST_F(Upload, DataFailureWinsOverAFailedClosingExchange)
{
    const std::string path = local("f.bin", std::string(100, 'x'));
    printer->fault_at(mark + 4, emu::FaultKind::silence);
    printer->replace_reply("M29", 0, "nonsense");
    EXPECT_EQ(send(path), com::COM_ERR_TIMEOUT);
    settle();

    printer->fault_at(printer->transfer_count() + 4, emu::FaultKind::silence);
    printer->silence_replies("M29", 2, 1);  // no "ok"
    EXPECT_EQ(send(path), com::COM_ERR_TIMEOUT);
}

TEST_F(Upload, AFailedDoneSavingReadReturnsItsOwnCode)
{
    const std::string path = local("f.bin", std::string(100, 'x'));
    printer->fault_at(mark + 4, emu::FaultKind::silence);        // data times out: 9
    printer->fault_at(mark + 4 + 2 + 1, emu::FaultKind::stall);  // M29, its first reply, then the second
    EXPECT_EQ(send(path), com::COM_ERR_HALTED);
}

TEST_F(Upload, ClosingFailuresAfterAGoodDataPhaseGiveTheirOwnCodes)
{
    const std::string path = local("f.bin", std::string(100, 'x'));
    printer->replace_reply("M29", 0, "CMD M28 Received.");
    EXPECT_EQ(send(path), com::COM_ERR_COMMAND);
    settle();
    printer->replace_reply("M29", 1, "Disk error.", 1);
    EXPECT_EQ(send(path), com::COM_ERR_COMMAND);
    settle();
    printer->replace_reply("M29", 2, "ko", 2);
    EXPECT_EQ(send(path), com::COM_ERR_COMMAND);
    printer->silence_replies("M29", 0, 3);
    EXPECT_EQ(send(path), com::COM_ERR_TIMEOUT);
}

TEST_F(Upload, TheCmdM29ReplyGetsTenSecondsMore)
{
    const std::string path = local("f.bin", std::string(100, 'x'));
    ASSERT_EQ(send(path, "0:/sys/f.bin", 10000), com::COM_SUCCESS);
    const auto after = traffic_from(mark);
    // M28, 3 replies, 1 data piece, M29, then the reply reads.
    ASSERT_EQ(after.size(), 9u);
    EXPECT_EQ(after[5].endpoint, 0x01);
    EXPECT_EQ(after[6].timeout_ms, 20000u);
    EXPECT_EQ(after[7].timeout_ms, 10000u);
    EXPECT_EQ(after[8].timeout_ms, 10000u);
}

TEST_F(Upload, AClosingReplyThatNeverEndsIsAnUnexpectedLineNotATimeout)
{
    // "CMD M29 Received." gets T + 10 s: a reply cut off without its line end
    // used to hold the update that long and end with a time-out, no drain.
    printer->silence_replies("M29");
    printer->set_command_hook([&](const std::string& line) {
        if (line == "~M29")
            printer->push_raw_reply("CMD M29 Rec");
    });
    const auto before = emu::VirtualClock::elapsed_ms();
    EXPECT_EQ(send(local("f.bin", "data"), "0:/sys/f.bin", 10000), com::COM_ERR_COMMAND);
    EXPECT_EQ(emu::VirtualClock::elapsed_ms() - before, 500u + 1000u + 1000u) << "pause, read-on, drain";
    EXPECT_TRUE(log_has("com_clear_buffer: : timeout\n"));
}

TEST_F(Upload, StalledDataEndpointIsCleared)
{
    printer->fault_at(mark + 4, emu::FaultKind::stall);
    EXPECT_EQ(send(local("f.bin", std::string(5000, 'x'))), com::COM_ERR_HALTED);
    EXPECT_EQ(printer->clear_halt_count(0x03), 1);
    EXPECT_TRUE(log_has("com_send_file: : device has halted\n"));
}

TEST_F(Upload, ShortDataTransferGives12AndTheClosingExchangeRuns)
{
    printer->fault_at(mark + 4, emu::FaultKind::short_transfer, 1000);
    EXPECT_EQ(send(local("f.bin", std::string(5000, 'x'))), com::COM_ERR_OVERFLOW);
    EXPECT_EQ(data_transfers().size(), 1u);
    EXPECT_EQ(printer->commands().back(), "~M29");
    EXPECT_FALSE(printer->files().at("0:/sys/f.bin").complete);
}

TEST_F(Upload, APieceThePrinterDidNotTakeWholeIsLogged)
{
    printer->fault_at(mark + 4, emu::FaultKind::short_transfer, 1000);
    EXPECT_EQ(send(local("f.bin", std::string(5000, 'x'))), com::COM_ERR_OVERFLOW);
    EXPECT_TRUE(log_has("com_send_file: : device took 1000 of 4096 bytes\n"));
    settle();
    printer->fault_at(printer->transfer_count() + 4, emu::FaultKind::zero_length);
    EXPECT_EQ(send(local("g.bin", std::string(5000, 'y'))), com::COM_ERR_OVERFLOW);
    EXPECT_TRUE(log_has("com_send_file: : device took 0 of 4096 bytes\n"));
}

TEST_F(Upload, DataOverflowAndOtherErrors)
{
    printer->fault_at(mark + 4, emu::FaultKind::overflow);
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_OVERFLOW);
    EXPECT_TRUE(log_has("com_send_file: : device buffer overflow\n"));
    printer->fault_at(printer->transfer_count() + 4, emu::FaultKind::io_error);
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_UNKNOWN);
    EXPECT_TRUE(log_has("com_send_file: : other error, error code: -1\n"));
}

TEST_F(Upload, PrinterVanishingDuringTheDataPhaseGives10)
{
    printer->fault_at(mark + 5, emu::FaultKind::vanish);
    EXPECT_EQ(send(local("f.bin", std::string(20000, 'x'))), com::COM_ERR_DISCONNECTED);
    EXPECT_TRUE(log_has("com_send_file: : no device\n"));
    EXPECT_TRUE(log_has("com_write: : no device\n")) << "the closing command was still tried";
}

void cancel_at_first_report(int, float, void* context)
{
    static_cast<com::Com*>(context)->cancel_upload();
}

TEST_F(Upload, CancelStopsAfterThePieceInFlight)
{
    bus().devices().front()->transfer_ms[0x03] = 600;
    const std::string path = local("f.bin", std::string(5 * 4096, 'x'));
    EXPECT_EQ(link->com_send_file(path, "0:/sys/f.bin", cancel_at_first_report, link.get(), 99, "", 1000),
              com::COM_ERR_CANCELED);
    EXPECT_EQ(data_transfers().size(), 1u);
    EXPECT_EQ(printer->commands().back(), "~M29");
    EXPECT_FALSE(printer->files().at("0:/sys/f.bin").complete);
    // The flag belongs to one upload: the next one starts clear.
    EXPECT_EQ(send(path), com::COM_SUCCESS);
}

TEST_F(Upload, AStopHoldsForEveryLaterUploadWhichThenSendsNothing)
{
    // Unlike cancel_upload, which the start of an upload clears, a stop made
    // just before an upload begins is not lost.
    const std::string path = local("f.bin", std::string(5 * 4096, 'x'));
    link->stop(false);
    EXPECT_EQ(send(path), com::COM_ERR_CANCELED);
    EXPECT_EQ(send(path), com::COM_ERR_CANCELED);
    EXPECT_EQ(printer->transfer_count(), mark) << "nothing was sent";
}

void stop_at_once_at_first_report(int, float, void* context)
{
    static_cast<com::Com*>(context)->stop(true);
}

TEST_F(Upload, AStopAtOnceEndsWithoutTheFixedWaits)
{
    // After the piece in flight: no pause before "~M29", and a printer that
    // answers late or wrongly is not waited for longer than a second.
    struct Case {
        const char* what;
        bool silent;             // the printer does not answer "~M29"
        std::uint64_t after_ms;  // virtual time from the stop to the end
    } cases[] = {{"the printer answers", false, 0}, {"the printer is silent", true, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        link.reset();
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        open_link();
        bus().devices().front()->transfer_ms[0x03] = 600;
        if (c.silent)
            printer->silence_replies("M29");
        else
            printer->replace_reply("M29", 1, "busy");  // an unexpected line: no drain
        emu::VirtualClock::reset();
        const std::string path = local("f.bin", std::string(5 * 4096, 'x'));
        EXPECT_EQ(link->com_send_file(path, "0:/sys/f.bin", stop_at_once_at_first_report, link.get(), 99, "", 10000),
                  com::COM_ERR_CANCELED);
        EXPECT_EQ(data_transfers().size(), 1u);
        EXPECT_TRUE(emu::VirtualClock::sleeps().empty()) << "no pause before ~M29";
        EXPECT_EQ(emu::VirtualClock::elapsed_ms(), 600u + c.after_ms);
        EXPECT_EQ(printer->commands().back(), "~M29");
    }
}

TEST_F(Upload, ClosingArgumentGoesWithM29)
{
    ASSERT_EQ(send(local("f.bin", "abc"), "0:/sys/f.bin", 1000, "keep"), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands().back(), "~M29 keep");
}

TEST_F(Upload, ArgumentsThatWouldBreakTheCommandLineAreRefused)
{
    const std::string path = local("f.bin", "abc");
    for (const std::string& remote : {std::string("0:/sys/a\r\n~M600"), std::string("0:/sys/a\nb"),
                                      std::string("0:/sys/\x01"), std::string("0:/sys/\x7F")}) {
        EXPECT_EQ(send(path, remote), com::COM_ERR_INVALID_ARGUMENTS);
    }
    EXPECT_EQ(send(path, "0:/sys/f.bin", 1000, "x\r\n~M600"), com::COM_ERR_INVALID_ARGUMENTS);
    EXPECT_EQ(send(path, "0:/sys/" + std::string(240, 'n')), com::COM_ERR_INVALID_ARGUMENTS);
    EXPECT_EQ(send(path, "0:/sys/f.bin", 1000, std::string(249, 'c')), com::COM_ERR_INVALID_ARGUMENTS);
    EXPECT_EQ(printer->transfer_count(), mark) << "nothing was sent";
    EXPECT_TRUE(log_has("com_send_file: : refused: the remote path or the closing argument holds a control character"));
    EXPECT_TRUE(log_has("com_send_file: : refused: the upload command for 0:/sys/nnn"));
    // The longest line that fits the 256-byte command buffer still goes out
    // whole; the printer's echo of so long a path cannot fit the 128-byte reply
    // buffer, which the host reports as an overflow.
    const std::string longest = "0:/sys/" + std::string(239, 'n');  // a line of 255 characters
    EXPECT_EQ(send(path, longest), com::COM_ERR_OVERFLOW);
    EXPECT_EQ(printer->commands()[1].size(), 253u);
}

TEST_F(Upload, NonAsciiNamesGoOutAsUtf8)
{
    const std::string name = "0:/sys/d\xC3\xA9j\xC3\xA0.xbf";
    ASSERT_EQ(send(local("d\xC3\xA9j\xC3\xA0.xbf", "abc"), name), com::COM_SUCCESS);
    EXPECT_EQ(printer->files().count(name), 1u);
}

#ifndef _WIN32
// A progress callback that changes the file while it is being sent.  Only
// POSIX lets another writer at a file that is open for reading: on Windows
// the upload's open keeps writers out.
struct Resize {
    testsupport::fs::path path;
    std::uintmax_t to;
};

void resize_file(int, float, void* context)
{
    auto* r = static_cast<Resize*>(context);
    testsupport::fs::resize_file(r->path, r->to);
}

TEST_F(Upload, AFileThatGrowsSendsOnlyWhatWasAnnounced)
{
    bus().devices().front()->transfer_ms[0x03] = 600;
    const std::string path = local("f.bin", std::string(10000, 'x'));
    Resize grow{files.path() / "f.bin", 50000};
    EXPECT_EQ(link->com_send_file(path, "0:/sys/f.bin", resize_file, &grow, 99, "", 1000), com::COM_SUCCESS);
    const auto& stored = printer->files().at("0:/sys/f.bin");
    EXPECT_TRUE(stored.complete);
    EXPECT_EQ(std::string(stored.data.begin(), stored.data.end()), std::string(10000, 'x'));
}

TEST_F(Upload, AFileThatShrinksEndsTheDataPhaseWith14)
{
    bus().devices().front()->transfer_ms[0x03] = 600;
    const std::string path = local("f.bin", std::string(10000, 'x'));
    Resize shrink{files.path() / "f.bin", 5000};
    EXPECT_EQ(link->com_send_file(path, "0:/sys/f.bin", resize_file, &shrink, 99, "", 1000), com::COM_ERR_FILE);
    EXPECT_EQ(printer->commands().back(), "~M29");
    EXPECT_FALSE(printer->files().at("0:/sys/f.bin").complete);
    EXPECT_TRUE(log_has("com_send_file: : file " + path + " ended after 5000 of 10000 bytes"));
}
#endif

TEST_F(Upload, FailedAnnouncementEndsTheUploadWithoutClosing)
{
    printer->fault_at(mark, emu::FaultKind::stall);
    EXPECT_EQ(send(local("f.bin", "abc")), com::COM_ERR_HALTED);
    EXPECT_EQ(printer->transfer_count(), mark + 1);
    EXPECT_TRUE(emu::VirtualClock::sleeps().empty());
}

TEST_F(Upload, AnExpectedDigestHoldsBackTheLastPieceOfOtherBytesForOneUploadOnly)
{
    const std::string bytes = testsupport::pattern_bytes(2 * 4096 + 10, 1);
    const std::string path = local("f.bin", bytes);
    com::Sha256Digest right{}, wrong{};
    com::Sha256 hash;
    ASSERT_TRUE(hash.add(bytes.data(), bytes.size()));
    ASSERT_TRUE(hash.finish(&right));
    wrong = right;
    wrong[31] ^= 1;
    struct Case {
        const char* what;
        const std::string* file;
        const com::Sha256Digest* expected;  // nullptr: none given
        int code;
        std::size_t data_bytes;
    };
    const std::string empty_path = local("empty.bin", "");
    const Case cases[] = {
        {"the bytes checked", &path, &right, com::COM_SUCCESS, bytes.size()},
        {"other bytes: the last piece is held back", &path, &wrong, com::COM_ERR_FILE, 2 * 4096},
        {"the expectation was used up", &path, nullptr, com::COM_SUCCESS, bytes.size()},
        {"an empty file against another digest: not even announced", &empty_path, &right, com::COM_ERR_FILE, 0},
    };
    for (const Case& c : cases) {
        const std::size_t before = data_transfers().size();
        const std::size_t commands_before = printer->commands().size();
        if (c.expected)
            link->expect_upload_sha256(*c.expected);
        EXPECT_EQ(send(*c.file), c.code) << c.what;
        std::size_t sent = 0;
        const auto data = data_transfers();
        for (std::size_t i = before; i < data.size(); ++i)
            sent += data[i].data.size();
        EXPECT_EQ(sent, c.data_bytes) << c.what;
        if (c.file == &path)
            EXPECT_EQ(printer->commands().back(), "~M29") << c.what << ": the upload is still closed";
        else
            EXPECT_EQ(printer->commands().size(), commands_before) << c.what;
    }
}

}  // namespace

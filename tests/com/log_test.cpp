// The diagnostic log: file names, line stamps, the line buffer, old-log removal.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "clock/virtual_clock.h"
#include "com/com_usb.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testsupport::read_file;
using testsupport::TempDir;

// A link whose line buffer the tests can look at.
class LogProbe : public com::ComUsb {
public:
    LogProbe(const std::string& dir, bool enabled) : com::ComUsb(0x2C7E, 0x4201, dir, enabled) {}
    unsigned line_buffer_size() const { return log_buf_size; }
    bool has_line_buffer() const { return log_buf != nullptr; }
    bool has_log_file() const { return log_file != nullptr; }
};

com::platform::UtcTime at(int year, int month, int day, int hour, int minute, int second)
{
    com::platform::UtcTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
}

std::uint64_t seconds_ago(std::int64_t seconds)
{
    const std::uint64_t now = com::platform::utc_to_filetime(com::platform::utc_now());
    return now - static_cast<std::uint64_t>(seconds) * 10000000ULL;
}

class Log : public testsupport::EmulatedBusTest {
protected:
    TempDir dir;
};

TEST_F(Log, FileNameCarriesTheHourPlusEightUnreduced)
{
    struct Case {
        com::platform::UtcTime when;
        const char* name;
    } cases[] = {
        {at(2021, 4, 20, 6, 43, 1), "libcom-2021-4-20_14-43-1.log"},
        {at(2021, 4, 20, 19, 5, 9), "libcom-2021-4-20_27-5-9.log"},
        {at(2021, 5, 3, 17, 30, 5), "libcom-2021-5-3_25-30-5.log"},
        {at(2021, 12, 31, 23, 59, 59), "libcom-2021-12-31_31-59-59.log"},
        {at(2022, 1, 1, 0, 0, 0), "libcom-2022-1-1_8-0-0.log"},
    };
    for (const Case& c : cases) {
        emu::VirtualClock::reset(c.when);
        LogProbe link(dir.utf8(), true);
        EXPECT_EQ(link.log_file_path(), dir.utf8() + com::platform::path_separator() + c.name);
        EXPECT_TRUE(testsupport::fs::exists(dir.path() / c.name)) << c.name;
    }
}

TEST_F(Log, LinesAreStampedWithTheUtcHour)
{
    emu::VirtualClock::reset(at(2021, 5, 3, 17, 30, 5));
    LogProbe link(dir.utf8(), true);
    link.write_log("com_readline: : timeout");
    emu::VirtualClock::advance(3600 * 1000 * 7);
    link.write_log("");
    link.write_log("com_write: ~M601 S0\r\n");
    EXPECT_EQ(read_file(link.log_file_path()), "2021-5-3 17:30:5: com_readline: : timeout\n"
                                               "2021-5-4 0:30:5: \n"
                                               "2021-5-4 0:30:5: com_write: ~M601 S0\r\n\n");
}

TEST_F(Log, ConstructionWritesNothingAndNoLineOnDestruction)
{
    std::string path;
    {
        LogProbe link(dir.utf8(), true);
        path = link.log_file_path();
    }
    EXPECT_EQ(read_file(path), "");
}

TEST_F(Log, MessageIsCutAtItsFirstZeroByte)
{
    LogProbe link(dir.utf8(), true);
    const char message[] = "before\0after";
    link.write_log(message);
    EXPECT_EQ(read_file(link.log_file_path()), "2021-4-20 6:43:1: before\n");
}

TEST_F(Log, LineBufferGrowsInStepsOf4096AndIsReused)
{
    // The stamp "2021-4-20 6:43:1" has 16 characters: a message needs its
    // length + 16 + 8 bytes.
    LogProbe link(dir.utf8(), true);
    EXPECT_EQ(link.line_buffer_size(), 8192u);
    link.write_log(std::string(8168, 'a').c_str());
    EXPECT_EQ(link.line_buffer_size(), 8192u) << "8168 + 16 + 8 = 8192 fits";
    link.write_log(std::string(8169, 'b').c_str());
    EXPECT_EQ(link.line_buffer_size(), 12288u);
    link.write_log(std::string(9000, 'c').c_str());
    EXPECT_EQ(link.line_buffer_size(), 12288u) << "9024 fits the grown buffer";
    link.write_log("short");
    EXPECT_EQ(link.line_buffer_size(), 12288u) << "the buffer never shrinks";
    link.write_log(std::string(12264, 'd').c_str());
    EXPECT_EQ(link.line_buffer_size(), 12288u) << "12288 needed fits exactly";
    link.write_log(std::string(12265, 'e').c_str());
    EXPECT_EQ(link.line_buffer_size(), 16384u) << "12289 needed: the next multiple above it";

    const std::string all = read_file(link.log_file_path());
    EXPECT_NE(all.find("2021-4-20 6:43:1: " + std::string(9000, 'c') + "\n"), std::string::npos);
    EXPECT_NE(all.find("2021-4-20 6:43:1: short\n"), std::string::npos);
    EXPECT_EQ(all.size(),
              (18 + 8168 + 1) + (18 + 8169 + 1) + (18 + 9000 + 1) + (18 + 5 + 1) + (18 + 12264 + 1) + (18 + 12265 + 1));
}

TEST_F(Log, NineThousandByteMessageFromAFreshLinkGrowsTo12288)
{
    LogProbe link(dir.utf8(), true);
    link.write_log(std::string(9000, 'x').c_str());
    EXPECT_EQ(link.line_buffer_size(), 12288u);
}

TEST_F(Log, LoggingOffCreatesNothingAndWritesNothing)
{
    LogProbe link(dir.utf8(), false);
    EXPECT_EQ(link.log_file_path(), "");
    EXPECT_FALSE(link.has_log_file());
    EXPECT_FALSE(link.has_line_buffer());
    EXPECT_EQ(link.line_buffer_size(), 0u);
    link.write_log("nothing");
    EXPECT_TRUE(testsupport::log_files(dir.path()).empty());
}

TEST_F(Log, MissingFolderFailsOnlyWhenLogging)
{
    try {
        LogProbe link(dir.utf8("absent"), true);
        FAIL() << "constructed without its log folder";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "open log file failure");
    }
    EXPECT_NO_THROW(LogProbe(dir.utf8("absent"), false));
    EXPECT_EQ(bus().counters.default_context_refs, 0) << "a failed construction must not hold libusb";
}

TEST_F(Log, OldLogsGoAtConstructionWhetherOrNotTheLinkLogs)
{
    for (bool enabled : {true, false}) {
        TempDir d;
        const auto& p = d.path();
        testsupport::write_file(p / "libcom-2021-4-19_14-43-0.log", "old");
        testsupport::write_file(p / "libcom-2021-4-19_14-43-2.log", "young");
        testsupport::write_file(p / "libcom-exactly.log", "a day");
        testsupport::write_file(p / "other.log", "not ours");
        testsupport::write_file(p / "libcom-x.txt", "not ours");
        testsupport::fs::create_directory(p / "libcom-folder.log");
        testsupport::set_last_write(p / "libcom-2021-4-19_14-43-0.log", seconds_ago(86401));
        testsupport::set_last_write(p / "libcom-2021-4-19_14-43-2.log", seconds_ago(86399));
        testsupport::set_last_write(p / "libcom-exactly.log", seconds_ago(86400));
        testsupport::set_last_write(p / "other.log", seconds_ago(90 * 86400));
        testsupport::set_last_write(p / "libcom-x.txt", seconds_ago(90 * 86400));
        testsupport::set_last_write(p / "libcom-folder.log", seconds_ago(90 * 86400));

        LogProbe link(d.utf8(), enabled);
        EXPECT_FALSE(testsupport::fs::exists(p / "libcom-2021-4-19_14-43-0.log")) << enabled;
        EXPECT_TRUE(testsupport::fs::exists(p / "libcom-2021-4-19_14-43-2.log")) << enabled;
        EXPECT_TRUE(testsupport::fs::exists(p / "libcom-exactly.log")) << "exactly one day old stays";
        EXPECT_TRUE(testsupport::fs::exists(p / "other.log"));
        EXPECT_TRUE(testsupport::fs::exists(p / "libcom-x.txt"));
        EXPECT_TRUE(testsupport::fs::is_directory(p / "libcom-folder.log"));
    }
}

TEST_F(Log, RemovalTakesAnyAgeAndIgnoresAMissingFolder)
{
    testsupport::write_file(dir.path() / "libcom-a.log", "");
    testsupport::write_file(dir.path() / "libcom-b.log", "");
    testsupport::set_last_write(dir.path() / "libcom-a.log", seconds_ago(61));
    testsupport::set_last_write(dir.path() / "libcom-b.log", seconds_ago(59));
    com::Com::remove_old_logs(dir.utf8(), 60);
    EXPECT_EQ(testsupport::log_files(dir.path()), std::vector<std::string>{"libcom-b.log"});
    EXPECT_NO_THROW(com::Com::remove_old_logs(dir.utf8("absent"), 60));
    EXPECT_NO_THROW(com::Com::remove_old_logs("\xFF\xFE", 60));
}

TEST_F(Log, ASecondLinkInTheSameSecondContinuesTheFirstLog)
{
    std::string path;
    {
        LogProbe first(dir.utf8(), true);
        first.write_log("first link");
        path = first.log_file_path();
    }
    {
        LogProbe second(dir.utf8(), true);
        EXPECT_EQ(second.log_file_path(), path);
        second.write_log("second link");
    }
    EXPECT_EQ(read_file(path), "2021-4-20 6:43:1: first link\n2021-4-20 6:43:1: second link\n");
}

TEST_F(Log, TwoLinksOpenAtOnceInTheSameSecondKeepEveryLineWhole)
{
    // Two updates of two printers started in the same second (two zarvik
    // runs with one --log folder) write into one file at the same time.
    LogProbe first(dir.utf8(), true);
    LogProbe second(dir.utf8(), true);
    ASSERT_EQ(second.log_file_path(), first.log_file_path());
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        for (LogProbe* link : {&first, &second}) {
            const std::string line =
                std::string(link == &first ? "first" : "second") + " link, line " + std::to_string(i);
            link->write_log(line.c_str());
            expected += "2021-4-20 6:43:1: " + line + "\n";
        }
    }
    EXPECT_EQ(read_file(first.log_file_path()), expected);
}

TEST_F(Log, OtherProcessesMayReadTheLogWhileItIsOpen)
{
    LogProbe link(dir.utf8(), true);
    link.write_log("visible");
    EXPECT_EQ(read_file(link.log_file_path()), "2021-4-20 6:43:1: visible\n");
}

#ifndef _WIN32
TEST_F(Log, FullDiskThrowsNotEnoughDiskSpace)
{
    LogProbe link(dir.utf8(), true);
    testsupport::DiskFullAt full(0);
    try {
        link.write_log("no room");
        FAIL() << "a failed write went unnoticed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "It's not enough disk space");
    }
}

TEST_F(Log, WhatIsFoundAtTheNextNameIsNeverWrittenThrough)
{
    // The name comes from the clock, so anyone who can write in the folder
    // can be there first.  Only a plain file of ours with that one name is
    // continued; anything else is a log that cannot be opened.
    const testsupport::fs::path next = dir.path() / "libcom-2021-4-20_14-43-1.log";
    const testsupport::fs::path victim = dir.path() / "victim";
    struct Case {
        const char* planted;
        void (*plant)(const testsupport::fs::path& next, const testsupport::fs::path& victim);
        bool root_only;
        bool victim_stays = true;
    } cases[] = {
        {"a link to a file", [](const auto& n, const auto& v) { testsupport::fs::create_symlink(v, n); }, false},
        {"a link to nothing yet",
         [](const auto& n, const auto& v) {
             testsupport::fs::remove(v);
             testsupport::fs::create_symlink(v, n);
         },
         false, false},
        {"a hard link", [](const auto& n, const auto& v) { testsupport::fs::create_hard_link(v, n); }, false},
        {"a FIFO nobody reads", [](const auto& n, const auto&) { ::mkfifo(n.c_str(), 0666); }, false},
        {"a file of another account",
         [](const auto& n, const auto&) {
             testsupport::write_file(n, "theirs\n");
             (void)::chown(n.c_str(), 65534, 65534);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted);
        if (c.root_only && ::geteuid() != 0) {
            std::printf("not tried without root: %s\n", c.planted);
            continue;
        }
        testsupport::write_file(victim, "kept\n");
        c.plant(next, victim);
        try {
            LogProbe link(dir.utf8(), true);
            ADD_FAILURE() << "the log was opened";
            link.write_log("written through");
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "open log file failure");
        }
        if (!c.victim_stays)
            EXPECT_FALSE(testsupport::fs::exists(victim)) << "the link's target was made";
        else
            EXPECT_EQ(read_file(victim), "kept\n");
        testsupport::fs::remove(next);
        testsupport::fs::remove(victim);
    }
    EXPECT_EQ(bus().counters.default_context_refs, 0) << "a failed construction must not hold libusb";
}
#endif

}  // namespace

// The platform layer's own rules: UTF-16 length of UTF-8 paths, time
// conversion, the folder search.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace platform = com::platform;
using testsupport::TempDir;

TEST(Utf16Units, CountsUnitsNotBytes)
{
    EXPECT_EQ(platform::utf16_units(""), 0);
    EXPECT_EQ(platform::utf16_units("abc"), 3);
    EXPECT_EQ(platform::utf16_units("\xC3\xA9"), 1);          // U+00E9
    EXPECT_EQ(platform::utf16_units("\xE6\x97\xA5"), 1);      // U+65E5
    EXPECT_EQ(platform::utf16_units("\xF0\x9D\x84\x9E"), 2);  // U+1D11E needs a surrogate pair
    EXPECT_EQ(platform::utf16_units("a\xC3\xA9\xF0\x9D\x84\x9E"), 4);
}

TEST(Utf16Units, MalformedUtf8IsRefused)
{
    EXPECT_EQ(platform::utf16_units("\x80"), -1);              // lone continuation byte
    EXPECT_EQ(platform::utf16_units("\xC3"), -1);              // cut sequence
    EXPECT_EQ(platform::utf16_units("\xC0\x80"), -1);          // overlong NUL
    EXPECT_EQ(platform::utf16_units("\xE0\x80\xAF"), -1);      // overlong '/'
    EXPECT_EQ(platform::utf16_units("\xED\xA0\x80"), -1);      // a surrogate
    EXPECT_EQ(platform::utf16_units("\xF4\x90\x80\x80"), -1);  // past U+10FFFF
    EXPECT_EQ(platform::utf16_units("\xFF"), -1);
    EXPECT_FALSE(platform::path_fits("ab\xC3"));
}

TEST(PathFits, TheTerminatorCounts)
{
    EXPECT_TRUE(platform::path_fits(std::string(1023, 'a')));
    EXPECT_FALSE(platform::path_fits(std::string(1024, 'a')));
    // 511 surrogate pairs and one more unit: 1023 units in 2045 bytes.
    std::string wide;
    for (int i = 0; i < 511; ++i)
        wide += "\xF0\x9D\x84\x9E";
    EXPECT_TRUE(platform::path_fits(wide + "a"));
    EXPECT_FALSE(platform::path_fits(wide + "ab"));
}

TEST(FileTime, KnownInstants)
{
    platform::UtcTime epoch;  // 1601-01-01 00:00:00
    EXPECT_EQ(platform::utc_to_filetime(epoch), 0u);
    platform::UtcTime unix_epoch;
    unix_epoch.year = 1970;
    EXPECT_EQ(platform::utc_to_filetime(unix_epoch), 116444736000000000ULL);
    platform::UtcTime t;
    t.year = 2021;
    t.month = 4;
    t.day = 20;
    t.hour = 6;
    t.minute = 43;
    t.second = 1;
    t.millisecond = 250;
    // 1618900981.25 s after 1970.
    EXPECT_EQ(platform::utc_to_filetime(t), 116444736000000000ULL + 16189009812500000ULL);
}

TEST(FileTime, RoundTripsThroughLeapDaysAndYearEnds)
{
    const int dates[][3] = {{2024, 2, 29}, {2000, 2, 29}, {2100, 3, 1}, {1999, 12, 31}, {2038, 1, 19}, {1601, 1, 1}};
    for (const auto& d : dates) {
        platform::UtcTime t;
        t.year = d[0];
        t.month = d[1];
        t.day = d[2];
        t.hour = 23;
        t.minute = 59;
        t.second = 58;
        t.millisecond = 999;
        const platform::UtcTime back = platform::filetime_to_utc(platform::utc_to_filetime(t));
        EXPECT_EQ(back.year, t.year);
        EXPECT_EQ(back.month, t.month);
        EXPECT_EQ(back.day, t.day);
        EXPECT_EQ(back.hour, 23);
        EXPECT_EQ(back.minute, 59);
        EXPECT_EQ(back.second, 58);
        EXPECT_EQ(back.millisecond, 999);
    }
    platform::UtcTime before;
    before.year = 2024;
    before.month = 2;
    before.day = 28;
    platform::UtcTime after = before;
    after.month = 3;
    after.day = 1;
    EXPECT_EQ(platform::utc_to_filetime(after) - platform::utc_to_filetime(before), 2ULL * 86400 * 10000000);
}

TEST(NameMatches, StarTakesAnyRunAndQuestionMarkExactlyOneCharacter)
{
    EXPECT_TRUE(platform::name_matches("libcom-*.log", "libcom-.log"));
    EXPECT_TRUE(platform::name_matches("libcom-*.log", "libcom-2021-4-20_14-43-1.log"));
    EXPECT_TRUE(platform::name_matches("libcom-*.log", "libcom-a.log.log"));
    EXPECT_FALSE(platform::name_matches("libcom-*.log", "libcom-1.logs"));
    EXPECT_FALSE(platform::name_matches("libcom-*.log", "libcom-1.log.bak"));
    EXPECT_FALSE(platform::name_matches("libcom-*.log", "xlibcom-1.log"));
    EXPECT_TRUE(platform::name_matches("*", ""));
    EXPECT_TRUE(platform::name_matches("a**b", "ab"));
    // Not the old DOS rule under which '?' may match nothing before a dot or the end.
    EXPECT_FALSE(platform::name_matches("libcom-?.log", "libcom-.log"));
    EXPECT_FALSE(platform::name_matches("a?", "a"));
    EXPECT_TRUE(platform::name_matches("a?", "a\xF0\x9D\x84\x9E")) << "one character of four bytes";
    EXPECT_FALSE(platform::name_matches("a??", "a\xC3\xA9"));
    EXPECT_TRUE(platform::name_matches("*?\xC3\xA9", "\xC3\xA9\xC3\xA9"));
    EXPECT_FALSE(platform::name_matches("*?\xC3\xA9", "\xC3\xA9"));
}

TEST(NameMatches, CaseCounts)
{
    EXPECT_FALSE(platform::name_matches("libcom-*.log", "LIBCOM-1.LOG"));
    EXPECT_FALSE(platform::name_matches("libcom-*.log", "libcom-1.Log"));
}

std::vector<platform::DirEntry> search(const std::string& dir, const std::string& pattern)
{
    std::vector<platform::DirEntry> found;
    platform::find_entries(dir, pattern, [&](const platform::DirEntry& e) { found.push_back(e); });
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return found;
}

TEST(FindEntries, MatchesTheWildcardAndReportsFoldersAndTimes)
{
    TempDir dir;
    testsupport::write_file(dir.path() / "libcom-1.log", "");
    testsupport::write_file(dir.path() / "libcom-.log", "");
    testsupport::write_file(dir.path() / "other.log", "");
    testsupport::write_file(dir.path() / "libcom-2.txt", "");
    testsupport::fs::create_directory(dir.path() / "libcom-dir.log");
    testsupport::set_last_write(dir.path() / "libcom-1.log", 130000000000000000ULL);

    const auto found = search(dir.utf8(), "libcom-*.log");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, "libcom-.log");
    EXPECT_EQ(found[1].name, "libcom-1.log");
    EXPECT_EQ(found[1].last_write, 130000000000000000ULL);
    EXPECT_FALSE(found[1].is_directory);
    EXPECT_EQ(found[2].name, "libcom-dir.log");
    EXPECT_TRUE(found[2].is_directory);

    const auto one = search(dir.utf8(), "libcom-?.log");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].name, "libcom-1.log");
}

TEST(FindEntries, NonAsciiFolderAndNames)
{
    TempDir dir;
    const std::string folder = dir.utf8("\xC3\xBC"
                                        "bung");
    testsupport::fs::create_directory(testsupport::from_utf8(folder));
    testsupport::write_file(testsupport::from_utf8(folder) / testsupport::from_utf8("libcom-\xE6\x97\xA5.log"), "");
    const auto found = search(folder, "libcom-?.log");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "libcom-\xE6\x97\xA5.log");
    EXPECT_TRUE(platform::file_delete(folder + platform::path_separator() + found[0].name));
    EXPECT_TRUE(search(folder, "libcom-*").empty());
}

TEST(FindEntries, MissingFolderOrAFileFindsNothingAndFails)
{
    TempDir dir;
    testsupport::write_file(dir.path() / "file", "");
    bool called = false;
    const auto visit = [&](const platform::DirEntry&) { called = true; };
    EXPECT_FALSE(platform::find_entries(dir.utf8("absent"), "*", visit));
    EXPECT_FALSE(platform::find_entries(dir.utf8("file"), "*", visit));
    EXPECT_FALSE(platform::find_entries("", "*", visit));
    EXPECT_FALSE(called);
}

TEST(FindEntries, AFolderWithoutMatchesIsSearchedAndFindsNothing)
{
    TempDir dir;
    testsupport::write_file(dir.path() / "other.log", "");
    bool called = false;
    EXPECT_TRUE(platform::find_entries(dir.utf8(), "libcom-*.log", [&](const platform::DirEntry&) { called = true; }));
    EXPECT_FALSE(called);
}

#ifndef _WIN32
// Sizes past what a 32-bit off_t holds, in sparse files (no disk space): a
// 32-bit build without 64-bit file offsets cannot stat them, reports no size
// and leaves them out of a folder search.  (On Windows the files would not be
// sparse; the Win32 side asks for 64-bit sizes by itself.)
TEST(FileSize, SizesPastThirtyTwoBitsAreReportedAndSearched)
{
    const std::int64_t sizes[] = {
        (std::int64_t{1} << 31) - 1,
        std::int64_t{1} << 31,
        (std::int64_t{1} << 32) + 7,
        std::int64_t{5} << 30,
    };
    for (const std::int64_t size : sizes) {
        TempDir dir;
        const auto path = dir.path() / "big.bin";
        testsupport::write_file(path, "");
        testsupport::fs::resize_file(path, static_cast<std::uintmax_t>(size));

        const platform::FileHandle file = platform::file_open(dir.utf8("big.bin"), true, false);
        ASSERT_NE(file, platform::invalid_file) << size;
        EXPECT_EQ(platform::file_size(file), size);
        platform::file_close(file);

        const auto found = search(dir.utf8(), "*.bin");
        ASSERT_EQ(found.size(), 1u) << size;
        EXPECT_EQ(found[0].name, "big.bin");
    }
}
#endif

TEST(FileOpen, MalformedUtf8IsRefusedAndCreatesNothing)
{
    TempDir dir;
    const char* names[] = {
        "\xC0\xAF.bin",          // overlong '/'
        "\xED\xA0\x80.bin",      // a surrogate
        "\xF4\x90\x80\x80.bin",  // past U+10FFFF
        "caf\xE9.bin",           // Latin-1, not UTF-8
    };
    for (const char* name : names) {
        const std::string path = dir.utf8() + platform::path_separator() + name;
        EXPECT_EQ(platform::file_open(path, false, true), platform::invalid_file) << name;
        EXPECT_EQ(platform::file_open(path, true, true), platform::invalid_file) << name;
        EXPECT_FALSE(platform::file_delete(path)) << name;
    }
    EXPECT_TRUE(testsupport::fs::is_empty(dir.path())) << "a malformed name was created under another name";
}

#ifndef _WIN32
TEST(FileOpen, ReadingOpensARegularFileOnlyAndNeverWaitsForAWriter)
{
    TempDir dir;
    testsupport::write_file(dir.path() / "file.bin", "bytes");
    ASSERT_EQ(::mkfifo(dir.utf8("fifo.bin").c_str(), 0644), 0);
    // Should an open wait for a writer of the FIFO, one comes after a while:
    // the open returns then, and the case fails.
    std::mutex mutex;
    std::condition_variable done;
    bool opened = false;
    std::thread writer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(10), [&] { return opened; }))
            ::close(::open(dir.utf8("fifo.bin").c_str(), O_WRONLY));
    });
    const struct {
        std::string path;
        bool opens;
    } cases[] = {
        {dir.utf8("file.bin"), true},
        {dir.utf8("fifo.bin"), false},
        {"/dev/null", false},
        {dir.utf8(), false},
    };
    for (const auto& c : cases) {
        const platform::FileHandle file = platform::file_open(c.path, true, false);
        EXPECT_EQ(file != platform::invalid_file, c.opens) << c.path;
        if (file == platform::invalid_file)
            continue;
        char buffer[16];
        unsigned count = 0;
        EXPECT_TRUE(platform::file_read(file, buffer, sizeof buffer, &count));
        EXPECT_EQ(std::string(buffer, count), "bytes") << c.path;
        platform::file_close(file);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        opened = true;
    }
    done.notify_all();
    writer.join();
}
#endif

}  // namespace

// The Win32 side of the platform layer against the system itself: the real
// clock, sharing of open files, UTF-8 paths as the wide file API sees them,
// paths past MAX_PATH, and old-log removal on real file times.
//
// Everything here is checked through the wide API directly, not through
// std::filesystem, so that a wrong conversion cannot hide behind a second
// conversion that is wrong the same way.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "com/com.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace platform = com::platform;
using testsupport::TempDir;

constexpr std::uint64_t ticks_per_second = 10000000ULL;  // FILETIME units

std::wstring wide(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &text[0], units);
    return text;
}

// The "\\?\" form of an absolute path: the wide API takes it at any length.
std::wstring long_form(const std::wstring& absolute)
{
    return L"\\\\?\\" + absolute;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_whole(const std::wstring& path)
{
    HANDLE h = CreateFileW(long_form(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<cannot open>";
    std::string bytes(4096, '\0');
    DWORD got = 0;
    const BOOL ok = ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(h);
    return ok ? bytes.substr(0, got) : "<cannot read>";
}

std::uint64_t system_filetime()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void write_through(platform::FileHandle file, const std::string& bytes)
{
    unsigned count = 0;
    ASSERT_TRUE(platform::file_write(file, bytes.data(), static_cast<unsigned>(bytes.size()), &count));
    ASSERT_EQ(count, bytes.size());
}

std::vector<std::string> names_in(const std::string& utf8_dir, const std::string& pattern)
{
    std::vector<std::string> names;
    platform::find_entries(utf8_dir, pattern, [&](const platform::DirEntry& e) { names.push_back(e.name); });
    std::sort(names.begin(), names.end());
    return names;
}

// --- the real clock ----------------------------------------------------------

TEST(RealClock, TickCountCountsMillisecondsAcrossASleep)
{
    // The tick count moves in steps of about 16 ms: 100 ms of sleep show as
    // at least 84.
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t before = platform::tick_count();
    platform::sleep_ms(100);
    const std::uint32_t after = platform::tick_count();
    const auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(slept.count(), 84) << "sleep_ms(100) returned early";
    EXPECT_GE(after - before, 84u);
    EXPECT_LE(after - before, static_cast<std::uint32_t>(slept.count()) + 32u) << "the ticks are not milliseconds";
}

TEST(RealClock, UtcNowIsTheSystemsUtcTime)
{
    const std::uint64_t before = system_filetime();
    const platform::UtcTime now = platform::utc_now();
    const std::uint64_t after = system_filetime();
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
    const std::uint64_t stamp = platform::utc_to_filetime(now);
    // utc_now() has whole milliseconds: it may lie up to 1 ms before `before`.
    EXPECT_GE(stamp + ticks_per_second / 1000, before);
    EXPECT_LE(stamp, after);
}

TEST(RealClock, TheTestsRunWhereLocalTimeIsNotUtc)
{
    // Set for this executable by tests/CMakeLists.txt, so that a local time
    // taken for UTC anywhere in the layer shows as hours of difference.
    SYSTEMTIME utc;
    SYSTEMTIME local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    EXPECT_NE(utc.wHour * 60 + utc.wMinute, local.wHour * 60 + local.wMinute)
        << "local time equals UTC: the time zone of the test environment was not applied";
}

// --- sharing -------------------------------------------------------------------

TEST(Sharing, ALogOpenForWritingMayBeReadButNotWrittenOrDeleted)
{
    TempDir dir;
    const std::string path = dir.utf8("libcom-share.log");
    const std::wstring wpath = wide(path);
    const platform::FileHandle log = platform::file_open(path, false, true);
    ASSERT_NE(log, platform::invalid_file);
    write_through(log, "first line\n");

    // A reader elsewhere (a viewer, an editor) opens it as such programs do.
    HANDLE reader = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    char text[64];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(reader, text, sizeof text, &got, nullptr));
    EXPECT_EQ(std::string(text, got), "first line\n");
    EXPECT_EQ(platform::file_size(log), 11);

    // A second writer, through the layer or not, is turned away.
    EXPECT_EQ(platform::file_open(path, false, true), platform::invalid_file);
    EXPECT_EQ(platform::file_open(path, true, true), platform::invalid_file);
    HANDLE writer = CreateFileW(wpath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD writer_error = GetLastError();
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(writer_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    EXPECT_FALSE(platform::file_delete(path)) << "an open log was deleted";

    // The writer goes on while the reader stays; once it closes, the next may write.
    write_through(log, "second line\n");
    ASSERT_TRUE(ReadFile(reader, text, sizeof text, &got, nullptr));
    EXPECT_EQ(std::string(text, got), "second line\n");
    platform::file_close(log);
    const platform::FileHandle next = platform::file_open(path, false, true);
    EXPECT_NE(next, platform::invalid_file) << "the reader's open handle kept the next writer out";
    platform::file_close(next);
    CloseHandle(reader);
    EXPECT_TRUE(platform::file_delete(path));
    EXPECT_FALSE(exists(wpath));
}

TEST(Sharing, AFileOpenForReadingTakesMoreReadersButNoWriter)
{
    TempDir dir;
    const std::string path = dir.utf8("firmware.bin");
    testsupport::write_file(dir.path() / "firmware.bin", "firmware");
    const platform::FileHandle source = platform::file_open(path, true, false);
    ASSERT_NE(source, platform::invalid_file);

    const platform::FileHandle second = platform::file_open(path, true, false);
    EXPECT_NE(second, platform::invalid_file);
    platform::file_close(second);

    // The file cannot change under a reader of the layer (an upload, say):
    // not through the layer, nor by another program's resize.
    EXPECT_EQ(platform::file_open(path, false, true), platform::invalid_file);
    std::error_code error;
    testsupport::fs::resize_file(dir.path() / "firmware.bin", 3, error);
    EXPECT_TRUE(error) << "the file was resized while open for reading";
    EXPECT_EQ(platform::file_size(source), 8);

    platform::file_close(source);
    testsupport::fs::resize_file(dir.path() / "firmware.bin", 3, error);
    EXPECT_FALSE(error) << error.message();
}

// --- links at a log's name ----------------------------------------------------------

TEST(LogOpen, AReparsePointOrAHardLinkAtTheNameIsNeverWrittenThrough)
{
    // A log's name comes from the clock: whoever can write in its folder can
    // be there first.
    TempDir dir;
    const std::wstring victim = wide(dir.utf8("victim"));
    const std::wstring name = wide(dir.utf8("libcom-2021-4-20_14-43-1.log"));
    const struct {
        const char* planted;
        bool (*plant)(const std::wstring& name, const std::wstring& victim);
    } cases[] = {
        {"a symbolic link to a file",
         [](const std::wstring& n, const std::wstring& v) {
             return CreateSymbolicLinkW(n.c_str(), v.c_str(), 0) != 0;
         }},
        {"a hard link", [](const std::wstring& n,
                           const std::wstring& v) { return CreateHardLinkW(n.c_str(), v.c_str(), nullptr) != 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.planted);
        testsupport::write_file(testsupport::from_utf8(dir.utf8("victim")), "kept\n");
        // Wine 8 reports a symbolic link to a file made when it made none.
        if (!c.plant(name, victim) || GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::printf("not tried: %s cannot be made here (error %lu)\n", c.planted, GetLastError());
            continue;
        }
        const platform::FileHandle log = platform::file_open_append(dir.utf8("libcom-2021-4-20_14-43-1.log"));
        EXPECT_EQ(log, platform::invalid_file) << "opened through the link";
        if (log != platform::invalid_file) {
            write_through(log, "written through\n");
            platform::file_close(log);
        }
        EXPECT_EQ(read_whole(victim), "kept\n");
        DeleteFileW(name.c_str());
        DeleteFileW(victim.c_str());
    }
    // A plain file of its own at the name is continued.
    const platform::FileHandle log = platform::file_open_append(dir.utf8("libcom-2021-4-20_14-43-1.log"));
    ASSERT_NE(log, platform::invalid_file);
    write_through(log, "a line\n");
    platform::file_close(log);
    EXPECT_EQ(read_whole(name), "a line\n");
}

// --- UTF-8 paths ------------------------------------------------------------------

TEST(Utf8Paths, NonAsciiFoldersAndNamesReachTheWideApiUnchanged)
{
    TempDir dir;
    // U+00FC, U+65E5 U+672C, and U+1D11E (a surrogate pair in UTF-16).
    const std::string folder_name = "Pr\xC3\xBC"
                                    "fung \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9D\x84\x9E";
    const std::wstring wfolder_name = L"Pr\u00FCfung \u65E5\u672C \xD834\xDD1E";
    const std::wstring wfolder = wide(dir.utf8()) + L"\\" + wfolder_name;
    ASSERT_TRUE(CreateDirectoryW(wfolder.c_str(), nullptr)) << "error " << GetLastError();
    const std::string folder = dir.utf8() + "\\" + folder_name;

    // Written through the layer, found by its wide name.
    const std::string file_name = "libcom-\xC3\xA9t\xC3\xA9.log";
    const platform::FileHandle file = platform::file_open(folder + "\\" + file_name, false, true);
    ASSERT_NE(file, platform::invalid_file);
    write_through(file, "data");
    platform::file_close(file);
    EXPECT_EQ(read_whole(wfolder + L"\\libcom-\u00E9t\u00E9.log"), "data");

    // Made through the wide API, found and deleted by its UTF-8 name.
    const std::wstring wother = wfolder + L"\\libcom-\xD834\xDD1E.log";
    HANDLE h = CreateFileW(wother.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    const std::string other_name = "libcom-\xF0\x9D\x84\x9E.log";
    EXPECT_EQ(names_in(folder, "libcom-*.log"), (std::vector<std::string>{file_name, other_name}));
    EXPECT_EQ(names_in(folder, "libcom-?.log"), std::vector<std::string>{other_name})
        << "'?' is one character, even one of two UTF-16 units";
    EXPECT_TRUE(platform::file_delete(folder + "\\" + other_name));
    EXPECT_FALSE(exists(wother));
    EXPECT_TRUE(exists(wfolder + L"\\libcom-\u00E9t\u00E9.log"));
}

// --- long paths ---------------------------------------------------------------------

// A folder chain under `base` whose file path `file_units` long ends in a name
// of plain letters.  The folders are made through the "\\?\" form, which
// takes any length, and named with two-unit characters so that the path has
// more bytes than units and more units than characters.
struct LongPath {
    std::string utf8;    // the file's path
    std::wstring wide;   // the same, absolute, without prefix
    std::string folder;  // its folder, UTF-8
};

LongPath make_long_path(const std::string& base, long file_units)
{
    const std::string pair_utf8 = "\xF0\x9D\x84\x9E";  // U+1D11E
    const std::wstring pair_wide = L"\xD834\xDD1E";
    LongPath p{base, wide(base), base};
    while (file_units - platform::utf16_units(p.utf8) > 130) {
        std::string name;
        std::wstring wname;
        for (int i = 0; i < 40; ++i) {
            name += pair_utf8 + "a";
            wname += pair_wide + L"a";
        }
        p.utf8 += "\\" + name;
        p.wide += L"\\" + wname;
        CreateDirectoryW(long_form(p.wide).c_str(), nullptr);
    }
    p.folder = p.utf8;
    p.utf8 += "\\";
    p.wide += L"\\";
    const std::size_t rest = static_cast<std::size_t>(file_units - platform::utf16_units(p.utf8));
    p.utf8 += std::string(rest, 'n');
    p.wide += std::wstring(rest, L'n');
    return p;
}

TEST(LongPaths, PathsUpTo1023UnitsWorkPastMaxPath)
{
    TempDir dir;
    const LongPath fits = make_long_path(dir.utf8(), 1023);
    ASSERT_EQ(platform::utf16_units(fits.utf8), 1023);
    ASSERT_EQ(fits.wide.size(), 1023u);

    const platform::FileHandle file = platform::file_open(fits.utf8, false, true);
    ASSERT_NE(file, platform::invalid_file) << "a path of 1023 units was refused";
    write_through(file, "long");
    platform::file_close(file);
    EXPECT_EQ(read_whole(fits.wide), "long");

    const std::string name = fits.utf8.substr(fits.folder.size() + 1);
    EXPECT_EQ(names_in(fits.folder, "n*"), std::vector<std::string>{name});
    const platform::FileHandle again = platform::file_open(fits.utf8, true, false);
    EXPECT_NE(again, platform::invalid_file);
    platform::file_close(again);
    EXPECT_TRUE(platform::file_delete(fits.utf8));
    EXPECT_FALSE(exists(fits.wide));
}

TEST(LongPaths, The1024thUnitIsRefusedEverywhere)
{
    TempDir dir;
    const LongPath over = make_long_path(dir.utf8(), 1024);
    ASSERT_EQ(platform::utf16_units(over.utf8), 1024);
    EXPECT_EQ(platform::file_open(over.utf8, false, true), platform::invalid_file);
    EXPECT_FALSE(exists(over.wide)) << "a refused path was created";

    // An existing file and folder behind paths of 1024 units are out of reach too.
    HANDLE h = CreateFileW(long_form(over.wide).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(platform::file_open(over.utf8, true, false), platform::invalid_file);
    EXPECT_FALSE(platform::file_delete(over.utf8));
    EXPECT_TRUE(exists(over.wide));
    const std::string folder = over.utf8.substr(0, over.utf8.size() - 1) + "d";
    ASSERT_TRUE(CreateDirectoryW(long_form(wide(folder)).c_str(), nullptr));
    bool visited = false;
    EXPECT_FALSE(platform::find_entries(folder, "*", [&](const platform::DirEntry&) { visited = true; }));
    EXPECT_FALSE(visited);
    // One unit less, and the same folder is searched.
    EXPECT_TRUE(platform::find_entries(over.folder, "*", [&](const platform::DirEntry&) { visited = true; }));
    EXPECT_TRUE(visited);
}

class RelativeLongPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved.resize(GetCurrentDirectoryW(0, nullptr));
        saved.resize(GetCurrentDirectoryW(static_cast<DWORD>(saved.size()), &saved[0]));
        ASSERT_TRUE(SetCurrentDirectoryW(wide(dir.utf8()).c_str()));
    }
    void TearDown() override { SetCurrentDirectoryW(saved.c_str()); }

    TempDir dir;
    std::wstring saved;
};

TEST_F(RelativeLongPaths, AreResolvedAsTheSystemResolvesShortOnes)
{
    // Past MAX_PATH the layer hands the system a "\\?\" path, which the system
    // takes literally: the layer must resolve the current folder, '/' and ".."
    // itself first.
    const std::string base = dir.utf8();
    const LongPath target = make_long_path(base, 600);
    ASSERT_TRUE(CreateDirectoryW(long_form(target.wide.substr(0, target.wide.rfind(L'\\')) + L"\\x").c_str(), nullptr));
    std::string relative = target.utf8.substr(base.size() + 1);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const std::size_t last = relative.rfind('/');
    relative.insert(last + 1, "x/../");
    ASSERT_GT(platform::utf16_units(relative), MAX_PATH);

    const platform::FileHandle file = platform::file_open(relative, false, true);
    ASSERT_NE(file, platform::invalid_file) << "a long relative path was refused";
    write_through(file, "relative");
    platform::file_close(file);
    EXPECT_EQ(read_whole(target.wide), "relative");
    EXPECT_EQ(names_in(relative.substr(0, last), "n*").size(), 1u);
    EXPECT_TRUE(platform::file_delete(relative));
    EXPECT_FALSE(exists(target.wide));
}

// --- old logs on the real clock -----------------------------------------------------

void age(const std::wstring& path, std::uint64_t filetime)
{
    const bool folder = (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(filetime);
    ft.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
}

TEST(OldLogs, RemovalGoesByTheRealClockAndTheFilesUtcTimes)
{
    TempDir dir;
    const std::wstring wdir = wide(dir.utf8());
    const std::uint64_t now = system_filetime();
    const std::uint64_t hour = 3600 * ticks_per_second;
    struct Entry {
        const wchar_t* name;
        std::uint64_t last_write;
        bool folder;
        bool stays;
    } entries[] = {
        {L"libcom-2021-4-19_14-43-0.log", now - 25 * hour, false, false},
        {L"libcom-\u00E9.log", now - 30 * 24 * hour, false, false},
        {L"libcom-young.log", now - 23 * hour, false, true},
        {L"libcom-ahead.log", now + 2 * hour, false, true},
        {L"libcom-1.logs", now - 30 * 24 * hour, false, true},
        {L"LIBCOM-OLD.LOG", now - 30 * 24 * hour, false, true},
        {L"libcom-folder.log", now - 30 * 24 * hour, true, true},
    };
    for (const Entry& e : entries) {
        const std::wstring path = wdir + L"\\" + e.name;
        if (e.folder) {
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        } else {
            HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            CloseHandle(h);
        }
        age(path, e.last_write);
    }

    // A log written through the layer just now carries the time utc_now() tells.
    const platform::FileHandle fresh = platform::file_open(dir.utf8("libcom-fresh.log"), false, true);
    ASSERT_NE(fresh, platform::invalid_file);
    write_through(fresh, "now");
    platform::file_close(fresh);
    const std::uint64_t stamp = platform::utc_to_filetime(platform::utc_now());
    std::vector<platform::DirEntry> found;
    platform::find_entries(dir.utf8(), "libcom-*.log", [&](const platform::DirEntry& e) {
        if (e.name == "libcom-fresh.log" || e.name == "libcom-young.log")
            found.push_back(e);
    });
    ASSERT_EQ(found.size(), 2u);
    for (const platform::DirEntry& e : found) {
        if (e.name == "libcom-young.log") {
            EXPECT_EQ(e.last_write, now - 23 * hour);
        } else {
            const std::uint64_t apart = stamp > e.last_write ? stamp - e.last_write : e.last_write - stamp;
            EXPECT_LT(apart, 5 * ticks_per_second) << "file times and utc_now() disagree";
        }
    }

    com::Com::remove_old_logs(dir.utf8(), 86400);
    for (const Entry& e : entries)
        EXPECT_EQ(exists(wdir + L"\\" + e.name), e.stays) << testsupport::to_utf8(e.name);
    EXPECT_TRUE(exists(wdir + L"\\libcom-fresh.log"));
}

}  // namespace

// Local files: the three modes, the path limit, the read and write loops.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "com/local_file.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

TEST(LocalFile, NeitherReadableNorWritableIsRefused)
{
    TempDir dir;
    try {
        com::LocalFile file(dir.utf8("x"), false, false);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid file mode");
    }
    EXPECT_FALSE(testsupport::fs::exists(dir.path() / "x"));
}

TEST(LocalFile, ConstructionTouchesNoFile)
{
    TempDir dir;
    com::LocalFile file(dir.utf8("new.bin"), false, true);
    EXPECT_FALSE(file.opened());
    EXPECT_FALSE(testsupport::fs::exists(dir.path() / "new.bin"));
}

TEST(LocalFile, ReadingAMissingFileFails)
{
    TempDir dir;
    com::LocalFile file(dir.utf8("missing"), true, false);
    EXPECT_FALSE(file.open());
    EXPECT_FALSE(file.opened());
    EXPECT_EQ(file.size(), -1);
    char buffer[4];
    unsigned count = 77;
    EXPECT_FALSE(file.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 77u) << "the count of a failed read is left alone";
}

TEST(LocalFile, WritingModesCreateAMissingFileEmpty)
{
    TempDir dir;
    for (bool readable : {false, true}) {
        const std::string name = readable ? "rw" : "w";
        com::LocalFile file(dir.utf8(name), readable, true);
        ASSERT_TRUE(file.open()) << name;
        EXPECT_EQ(file.size(), 0) << name;
        EXPECT_TRUE(testsupport::fs::exists(dir.path() / name));
    }
}

TEST(LocalFile, WritingOverwritesInPlaceWithoutTruncating)
{
    TempDir dir;
    const std::string original = testsupport::pattern_bytes(100, 1);
    write_file(dir.path() / "f", original);
    {
        com::LocalFile file(dir.utf8("f"), false, true);
        ASSERT_TRUE(file.open());
        unsigned count = 0;
        ASSERT_TRUE(file.write("0123456789", 10, &count));
        EXPECT_EQ(count, 10u);
    }
    const std::string now = read_file(dir.path() / "f");
    ASSERT_EQ(now.size(), 100u);
    EXPECT_EQ(now.substr(0, 10), "0123456789");
    EXPECT_EQ(now.substr(10), original.substr(10));
}

TEST(LocalFile, ReadAndWriteModeDoesBoth)
{
    TempDir dir;
    write_file(dir.path() / "f", "abcdef");
    com::LocalFile file(dir.utf8("f"), true, true);
    ASSERT_TRUE(file.open());
    char head[3];
    unsigned count = 0;
    ASSERT_TRUE(file.read(head, 3, &count));
    EXPECT_EQ(std::string(head, 3), "abc");
    ASSERT_TRUE(file.write("XY", 2, &count));
    file.close();
    EXPECT_EQ(read_file(dir.path() / "f"), "abcXYf");
}

TEST(LocalFile, ReadsComeInRequestedPiecesUntilTheEnd)
{
    TempDir dir;
    const std::string data = testsupport::pattern_bytes(5000, 2);
    write_file(dir.path() / "f", data);
    com::LocalFile file(dir.utf8("f"), true, false);
    ASSERT_TRUE(file.open());
    EXPECT_EQ(file.size(), 5000);
    std::string buffer(4096, '\0');
    unsigned count = 0;
    ASSERT_TRUE(file.read(&buffer[0], 4096, &count));
    EXPECT_EQ(count, 4096u);
    EXPECT_EQ(buffer, data.substr(0, 4096));
    ASSERT_TRUE(file.read(&buffer[0], 4096, &count));
    EXPECT_EQ(count, 904u);
    EXPECT_EQ(buffer.substr(0, 904), data.substr(4096));
    ASSERT_TRUE(file.read(&buffer[0], 4096, &count));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(file.read(&buffer[0], 0, &count));
    EXPECT_EQ(count, 0u);
}

TEST(LocalFile, SecondOpenKeepsTheSameHandleAndPosition)
{
    TempDir dir;
    write_file(dir.path() / "f", "0123456789");
    com::LocalFile file(dir.utf8("f"), true, false);
    ASSERT_TRUE(file.open());
    char two[2];
    unsigned count = 0;
    ASSERT_TRUE(file.read(two, 2, &count));
    EXPECT_TRUE(file.open());
    ASSERT_TRUE(file.read(two, 2, &count));
    EXPECT_EQ(std::string(two, 2), "23") << "a second open must not reopen the file";
}

TEST(LocalFile, CloseIsHarmlessAndFinal)
{
    TempDir dir;
    com::LocalFile never(dir.utf8("never"), true, false);
    EXPECT_TRUE(never.close());
    write_file(dir.path() / "f", "abc");
    com::LocalFile file(dir.utf8("f"), true, false);
    ASSERT_TRUE(file.open());
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.opened());
    char c;
    unsigned count = 0;
    EXPECT_FALSE(file.read(&c, 1, &count));
    EXPECT_EQ(file.size(), -1);
}

TEST(LocalFile, AFolderIsNotAFile)
{
    TempDir dir;
    testsupport::fs::create_directory(dir.path() / "sub");
    com::LocalFile file(dir.utf8("sub"), true, false);
    EXPECT_FALSE(file.open());
}

// Builds an existing file whose path has exactly `units` UTF-16 units, using
// folder names of two-byte and four-byte characters so that bytes and units differ.
std::string path_of_units(const TempDir& dir, long units)
{
    std::string path = dir.utf8();
    long have = com::platform::utf16_units(path);
    const std::string two_byte = "\xC3\xA9";           // 1 unit, 2 bytes
    const std::string four_byte = "\xF0\x9D\x84\x9E";  // 2 units, 4 bytes
    std::string folder_path = path;
    // Folders of about 60 units each until the rest fits one file name.
    while (units - have > 80) {
        std::string name;
        for (int i = 0; i < 20; ++i)
            name += four_byte + two_byte;  // 3 units per step
        folder_path += testsupport::to_utf8(testsupport::fs::path("/").make_preferred()) + name;
        testsupport::fs::create_directory(testsupport::from_utf8(folder_path));
        have = com::platform::utf16_units(folder_path);
    }
    std::string file_path = folder_path + testsupport::to_utf8(testsupport::fs::path("/").make_preferred());
    have = com::platform::utf16_units(file_path);
    file_path += std::string(static_cast<std::size_t>(units - have), 'n');
    write_file(testsupport::from_utf8(file_path), "x");
    return file_path;
}

TEST(LocalFile, PathsFitIn1024Utf16UnitsWithTheTerminator)
{
    TempDir dir;
    const std::string fits = path_of_units(dir, 1023);
    ASSERT_EQ(com::platform::utf16_units(fits), 1023);
    ASSERT_GT(fits.size(), 1023u) << "the path should hold more bytes than units";
    com::LocalFile ok(fits, true, false);
    EXPECT_TRUE(ok.open());

    const std::string too_long = path_of_units(dir, 1024);
    ASSERT_EQ(com::platform::utf16_units(too_long), 1024);
    com::LocalFile refused(too_long, true, false);
    EXPECT_FALSE(refused.open());
    com::LocalFile refused_write(too_long + "w", false, true);
    EXPECT_FALSE(refused_write.open());
}

TEST(LocalFile, NonAsciiNamesWork)
{
    TempDir dir;
    const std::string name = "Pr\xC3\xBC"
                             "fung-\xE6\x97\xA5\xE6\x9C\xAC.bin";
    com::LocalFile out(dir.utf8(name), false, true);
    ASSERT_TRUE(out.open());
    unsigned count = 0;
    ASSERT_TRUE(out.write("data", 4, &count));
    out.close();
    EXPECT_EQ(read_file(dir.path() / testsupport::from_utf8(name)), "data");
}

}  // namespace

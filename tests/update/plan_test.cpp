// The update core's plan: which files of a folder are installed, in which
// order and under which names, and the checks every one passes first.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/result.h"
#include "support/test_support.h"
#include "update/folder.h"
#include "update/plan.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testsupport::TempDir;

std::vector<std::string> names(const std::vector<update::FolderEntry>& listing)
{
    std::vector<std::string> out;
    for (const auto& e : listing)
        out.push_back(e.name);
    return out;
}

std::vector<std::string> planned(const update::Plan& plan)
{
    std::vector<std::string> out;
    for (const auto& f : plan.files)
        out.push_back(f.local_name + ">" + f.printer_name);
    return out;
}

update::Plan plan_of(const std::vector<std::string>& sorted_names)
{
    std::vector<update::FolderEntry> listing;
    for (const auto& n : sorted_names)
        listing.push_back(update::FolderEntry{"/fw/" + n, n});
    return update::make_plan(listing);
}

TEST(Plan, RolesFollowTheExactSuffixAndTheListingOrder)
{
    struct Case {
        std::vector<std::string> listing;
        std::vector<std::string> plan;
    };
    const Case cases[] = {
        {{"a.bin", "b.xbf"}, {"a.bin>orbrey.bin", "b.xbf>b.xbf"}},
        {{"x.xbf", "y.bin", "z.bin"}, {"y.bin>orbrey.bin", "x.xbf>x.xbf"}},  // the main image first, the first bin only
        {{"LOUD.BIN", "bin", "extra.XBF", "readme.txt"}, {}},                // case counts; no dot, no suffix
        {{"fw.v2.bin", "my.fonts.xbf"}, {"fw.v2.bin>orbrey.bin", "my.fonts.xbf>my.fonts.xbf"}},
        {{"archive.bin.gz", ".bin", "notes.xbf"}, {".bin>orbrey.bin", "notes.xbf>notes.xbf"}},
        {{}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(planned(plan_of(c.listing)), c.plan) << ::testing::PrintToString(c.listing);
}

TEST(Plan, SuffixIsTheTextAfterTheLastDot)
{
    EXPECT_EQ(update::suffix_of("a.b.bin"), "bin");
    EXPECT_EQ(update::suffix_of("bin"), "");
    EXPECT_EQ(update::suffix_of("trailing."), "");
}

TEST(Folder, ListsFilesOnlyWithoutHiddenOnesByNameIgnoringCase)
{
    TempDir dir;
    for (const char* n : {"b.xbf", "A.bin", "c.BIN", ".hidden.bin", "a2.xbf", "_under.xbf", "Zed.xbf"})
        testsupport::write_file(dir.path() / n, "x");
    testsupport::fs::create_directory(dir.path() / "folder.bin");
#ifndef _WIN32
    testsupport::fs::create_symlink("A.bin", dir.path() / "link.xbf");
    testsupport::fs::create_symlink("nowhere", dir.path() / "broken.xbf");
    ASSERT_EQ(mkfifo((dir.path() / "pipe.xbf").c_str(), 0644), 0);
#endif
    const auto listing = update::list_firmware_folder(dir.utf8());
#ifndef _WIN32
    EXPECT_EQ(names(listing), (std::vector<std::string>{"_under.xbf", "A.bin", "a2.xbf", "b.xbf", "c.BIN", "link.xbf", "Zed.xbf"}));
#else
    EXPECT_EQ(names(listing), (std::vector<std::string>{"_under.xbf", "A.bin", "a2.xbf", "b.xbf", "c.BIN", "Zed.xbf"}));
#endif
    EXPECT_EQ(listing[1].path, dir.utf8("A.bin"));
    EXPECT_TRUE(update::list_firmware_folder(dir.utf8("missing")).empty());
}

TEST(Folder, OrderFoldsCaseBeyondAscii)
{
    // By the code units of the lower-cased UTF-16 names.
    const std::vector<std::string> expected = {
        "alpha",
        "Beta",
        "\xC3\x84pfel",        // Ä folds to U+00E4
        "\xC3\xA9" "clair",    // U+00E9
        "\xCF\x89" "2",        // U+03C9, then "2" before "m"
        "\xCE\xA9mega",        // Ω folds to U+03C9
        "\xF0\x9F\x96\xA8",  // U+1F5A8: the surrogate pair D83D DDA8
        "\xEF\xBD\x81",       // U+FF41, above the surrogates in UTF-16
    };
    std::vector<std::string> shuffled = {expected[5], expected[0], expected[7], expected[2],
                                         expected[4], expected[1], expected[6], expected[3]};
    std::sort(shuffled.begin(), shuffled.end(), update::name_before);
    EXPECT_EQ(shuffled, expected);
    EXPECT_EQ(update::folded_name("\xCE\xA9MEGA"), u"\u03c9mega");
    EXPECT_EQ(update::folded_name("\xC4\xB0"), u"i\u0307") << "capital I with dot, as Qt lower-cases it";
    EXPECT_EQ(update::folded_name("a\xFF" "b"), u"a\ufffdb");
    EXPECT_TRUE(update::name_before("A.bin", "a.bin")) << "names equal but for case: by their bytes";
    EXPECT_FALSE(update::name_before("a.bin", "A.bin"));
}

class Check : public ::testing::Test {
protected:
    update::PlannedFile file(const std::string& name, const std::string& bytes, std::string printer_name = "")
    {
        testsupport::write_file(dir.path() / name, bytes);
        return update::PlannedFile{dir.utf8(name), name, printer_name.empty() ? name : printer_name, -1};
    }

    TempDir dir;
};

TEST_F(Check, EveryFileAndNameIsCheckedAndTheFirstProblemCounts)
{
    struct Case {
        const char* what;
        std::string name;
        std::string bytes;
        int code;
        std::string reason;
    };
    const Case cases[] = {
        {"a good file", "good.xbf", "data", com::COM_SUCCESS, ""},
        {"empty", "empty.xbf", "", com::COM_ERR_FILE, "is empty"},
        {"a newline in the name", "new\nline.xbf", "x", com::COM_ERR_INVALID_ARGUMENTS,
         "has a control character in its name"},
        {"DEL in the name", "del\x7F.xbf", "x", com::COM_ERR_INVALID_ARGUMENTS, "has a control character in its name"},
        {"103 bytes", std::string(99, 'n') + ".xbf", "x", com::COM_SUCCESS, ""},
        {"104 bytes", std::string(100, 'n') + ".xbf", "x", com::COM_ERR_INVALID_ARGUMENTS,
         "has a name of 104 bytes, longer than the printer takes (103)"},
    };
    for (const Case& c : cases) {
        if (c.name.find('\n') != std::string::npos || c.name.find('\x7F') != std::string::npos) {
#ifdef _WIN32
            continue;  // names Windows does not take
#endif
        }
        update::Plan plan;
        plan.files.push_back(file("first.bin", "image", "orbrey.bin"));
        plan.files.push_back(file(c.name, c.bytes));
        plan.files.push_back(file("last.xbf", ""));  // a later problem is not the one reported
        const update::Problem p = update::check_plan(plan);
        if (c.code == com::COM_SUCCESS) {
            EXPECT_EQ(p.file, 2u) << c.what;
            EXPECT_EQ(p.reason, "is empty") << c.what;
            EXPECT_EQ(plan.files[1].size, static_cast<std::int64_t>(c.bytes.size())) << c.what;
        } else {
            EXPECT_EQ(p.code, c.code) << c.what;
            EXPECT_EQ(p.file, 1u) << c.what;
            EXPECT_EQ(p.reason, c.reason) << c.what;
        }
        EXPECT_EQ(plan.files[0].size, 5) << c.what;
    }
}

TEST_F(Check, FilesThatAreNotThereOrNoFilesAreRefused)
{
    update::Plan plan;
    plan.files.push_back(update::PlannedFile{dir.utf8("gone.xbf"), "gone.xbf", "gone.xbf", -1});
    update::Problem p = update::check_plan(plan);
    EXPECT_EQ(p.code, com::COM_ERR_FILE);
    EXPECT_EQ(p.reason, "is missing");
    testsupport::fs::create_directory(dir.path() / "dir.xbf");
    plan.files[0] = update::PlannedFile{dir.utf8("dir.xbf"), "dir.xbf", "dir.xbf", -1};
    p = update::check_plan(plan);
    EXPECT_EQ(p.code, com::COM_ERR_FILE);
    EXPECT_EQ(p.reason, "is not a regular file");
}

}  // namespace

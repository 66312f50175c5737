// The update core's plan: which files of a folder are installed, in which
// order and under which names, and the checks every one passes first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "com/result.h"
#include "support/test_support.h"
#include "update/checksums.h"
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

TEST(Plan, EveryEntryNotInstalledIsNamedWithItsReason)
{
    TempDir dir;
    for (const char* n : {"fw-1.0.bin", "fw-2.0.bin", "MAIN.BIN", "FONTS.XBF", "ui.xbf", "readme.txt", "SHA256SUMS"})
        testsupport::write_file(dir.path() / n, "x");
    testsupport::fs::create_directory(dir.path() / "old.xbf");
#ifndef _WIN32
    testsupport::write_file(dir.path() / ".hidden.xbf", "x");  // Windows hides by an attribute instead
    testsupport::fs::create_symlink("gone.bin", dir.path() / "main.bin");
    ASSERT_EQ(mkfifo((dir.path() / "pipe.xbf").c_str(), 0644), 0);
#endif
    const update::Plan plan = update::plan_folder(dir.utf8());
    EXPECT_EQ(planned(plan), (std::vector<std::string>{"fw-1.0.bin>orbrey.bin", "ui.xbf>ui.xbf"}));
    std::vector<std::string> left_out;
    for (const update::LeftOut& e : plan.left_out)
        left_out.push_back(e.name + ": " + e.reason);
    const std::vector<std::string> expected = {
#ifndef _WIN32
        ".hidden.xbf: a hidden file",
#endif
        "FONTS.XBF: suffix is not exactly bin or xbf",
        "fw-2.0.bin: only the first .bin is installed",
        "MAIN.BIN: suffix is not exactly bin or xbf",
#ifndef _WIN32
        "main.bin: a link to nothing",
#endif
        "old.xbf: not a regular file",
#ifndef _WIN32
        "pipe.xbf: not a regular file",
#endif
        "readme.txt: suffix is not exactly bin or xbf",
        "SHA256SUMS: the checksum list, checked and never sent",
    };
    EXPECT_EQ(left_out, expected);
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
    EXPECT_EQ(names(listing),
              (std::vector<std::string>{"_under.xbf", "A.bin", "a2.xbf", "b.xbf", "c.BIN", "link.xbf", "Zed.xbf"}));
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
        "\xC3\x84pfel",  // Ä folds to U+00E4
        "\xC3\xA9"
        "clair",  // U+00E9
        "\xCF\x89"
        "2",                 // U+03C9, then "2" before "m"
        "\xCE\xA9mega",      // Ω folds to U+03C9
        "\xF0\x9F\x96\xA8",  // U+1F5A8: the surrogate pair D83D DDA8
        "\xEF\xBD\x81",      // U+FF41, above the surrogates in UTF-16
    };
    std::vector<std::string> shuffled = {expected[5], expected[0], expected[7], expected[2],
                                         expected[4], expected[1], expected[6], expected[3]};
    std::sort(shuffled.begin(), shuffled.end(), update::name_before);
    EXPECT_EQ(shuffled, expected);
    EXPECT_EQ(update::folded_name("\xCE\xA9MEGA"), u"\u03c9mega");
    EXPECT_EQ(update::folded_name("\xC4\xB0"), u"i\u0307") << "capital I with dot, as Qt lower-cases it";
    EXPECT_EQ(update::folded_name("a\xFF"
                                  "b"),
              u"a\ufffdb");
    EXPECT_TRUE(update::name_before("A.bin", "a.bin")) << "names equal but for case: by their bytes";
    EXPECT_FALSE(update::name_before("a.bin", "A.bin"));
}

class Check : public ::testing::Test {
protected:
    update::PlannedFile file(const std::string& name, const std::string& bytes, std::string printer_name = "")
    {
        testsupport::write_file(dir.path() / name, bytes);
        return update::PlannedFile{dir.utf8(name), name, printer_name.empty() ? name : printer_name, -1, {}};
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
    plan.files.push_back(update::PlannedFile{dir.utf8("gone.xbf"), "gone.xbf", "gone.xbf", -1, {}});
    update::Problem p = update::check_plan(plan);
    EXPECT_EQ(p.code, com::COM_ERR_FILE);
    EXPECT_EQ(p.reason, "is missing");
    testsupport::fs::create_directory(dir.path() / "dir.xbf");
    plan.files[0] = update::PlannedFile{dir.utf8("dir.xbf"), "dir.xbf", "dir.xbf", -1, {}};
    p = update::check_plan(plan);
    EXPECT_EQ(p.code, com::COM_ERR_FILE);
    EXPECT_EQ(p.reason, "is not a regular file");
}

// SHA-256 of "abc" and of the 448-bit message of the published test vectors.
const std::string abc_sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string long_text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string long_sha = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

TEST(Checksums, LinesAreReadAsTheChecksumToolsWriteThem)
{
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> entries;  // "name=sha@line"
        std::string problem;
    };
    std::string upper = abc_sha;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Case cases[] = {
        {"text and binary marker",
         abc_sha + "  a.bin\n" + long_sha + " *b.xbf\n",
         {"a.bin=" + abc_sha + "@1", "b.xbf=" + long_sha + "@2"},
         ""},
        {"blank lines, no last line end, CR LF",
         "\n" + abc_sha + "  a.bin\r\n  \n" + long_sha + "  b.xbf",
         {"a.bin=" + abc_sha + "@2", "b.xbf=" + long_sha + "@4"},
         ""},
        {"a byte order mark first", "\xEF\xBB\xBF" + abc_sha + "  a.bin\n", {"a.bin=" + abc_sha + "@1"}, ""},
        {"blanks inside and around a name", abc_sha + "  my fw .bin \n", {"my fw .bin =" + abc_sha + "@1"}, ""},
        {"upper-case digits", upper + "  a.bin\n", {"a.bin=" + abc_sha + "@1"}, ""},
        {"an escaped name", "\\" + abc_sha + "  a\\\\b\\nc.xbf\n", {"a\\b\nc.xbf=" + abc_sha + "@1"}, ""},
        {"the same name twice alike",
         abc_sha + "  a.bin\n" + abc_sha + "  ./a.bin\n",
         {"a.bin=" + abc_sha + "@1", "./a.bin=" + abc_sha + "@2"},
         ""},
        {"the same name with two checksums",
         abc_sha + "  a.bin\n" + long_sha + "  ./a.bin\n",
         {},
         "SHA256SUMS line 2 gives a.bin another checksum than line 1"},
        {"one blank only", "\n\n" + abc_sha + " a.bin\n", {}, "SHA256SUMS line 3 is not a checksum line"},
        {"63 digits", abc_sha.substr(1) + "  a.bin\n", {}, "SHA256SUMS line 1 is not a checksum line"},
        {"no name", abc_sha + "  \n", {}, "SHA256SUMS line 1 is not a checksum line"},
        {"another tool's tagged form",
         "SHA256 (a.bin) = " + abc_sha + "\n",
         {},
         "SHA256SUMS line 1 is not a checksum line"},
        {"a comment", "# made by the release script\n", {}, "SHA256SUMS line 1 is not a checksum line"},
        {"an unknown escape", "\\" + abc_sha + "  a\\tb\n", {}, "SHA256SUMS line 1 is not a checksum line"},
        {"nothing", "", {}, ""},
    };
    for (const Case& c : cases) {
        const update::ChecksumList list = update::parse_checksum_list(c.text);
        EXPECT_EQ(list.problem, c.problem) << c.what;
        if (!c.problem.empty())
            continue;
        std::vector<std::string> entries;
        for (const update::ChecksumEntry& e : list.entries)
            entries.push_back(e.name + "=" + e.sha256 + "@" + std::to_string(e.line));
        EXPECT_EQ(entries, c.entries) << c.what;
    }
    const update::ChecksumList list = update::parse_checksum_list(abc_sha + "  ./a.bin\n");
    ASSERT_NE(list.find("a.bin"), nullptr) << "a leading ./ names the same file";
    EXPECT_EQ(list.find("A.bin"), nullptr) << "names are matched exactly";
    EXPECT_EQ(list.find("./a.bin"), nullptr);
}

TEST_F(Check, AChecksumListBindsEveryPlannedFileAndNothingElse)
{
    struct Case {
        const char* what;
        std::string list;  // "" for no SHA256SUMS at all
        int code;
        std::size_t file;
        std::string reason;
    };
    const std::string good = abc_sha + "  Main 2.4.bin\n" + long_sha + " *fonts.xbf\n";
    const Case cases[] = {
        {"no list: nothing changes", "", com::COM_SUCCESS, 0, ""},
        {"both listed and matching, files not planned ignored",
         good + "0000000000000000000000000000000000000000000000000000000000000000  notes.txt\n", com::COM_SUCCESS, 0,
         ""},
        {"the main image differs", long_sha + "  Main 2.4.bin\n" + long_sha + "  fonts.xbf\n", com::COM_ERR_FILE, 0,
         "checksum mismatch: SHA256SUMS line 1 gives " + long_sha + ", the file is " + abc_sha},
        {"the additional file not listed", abc_sha + "  Main 2.4.bin\n" + long_sha + "  Fonts.xbf\n", com::COM_ERR_FILE,
         1, "not in SHA256SUMS"},
        {"a malformed line after good ones", good + "not a line\n", com::COM_ERR_FILE, 0,
         "SHA256SUMS line 3 is not a checksum line"},
        {"an empty list lists nothing", "\n", com::COM_ERR_FILE, 0, "not in SHA256SUMS"},
    };
    for (const Case& c : cases) {
        testsupport::fs::remove(dir.path() / "SHA256SUMS");
        if (!c.list.empty())
            testsupport::write_file(dir.path() / "SHA256SUMS", c.list);
        update::Plan plan;
        plan.files.push_back(file("Main 2.4.bin", "abc", "orbrey.bin"));
        plan.files.push_back(file("fonts.xbf", long_text));
        testsupport::write_file(dir.path() / "notes.txt", "not planned, not checked");
        const update::Problem p = update::check_plan(plan);
        EXPECT_EQ(p.code, c.code) << c.what;
        EXPECT_EQ(p.reason, c.reason) << c.what;
        if (c.code != com::COM_SUCCESS) {
            EXPECT_EQ(p.file, c.file) << c.what;
            continue;
        }
        EXPECT_EQ(plan.files[0].sha256, abc_sha) << c.what;
        EXPECT_EQ(plan.files[1].sha256, long_sha) << c.what;
        EXPECT_EQ(plan.checksum_list, c.list.empty() ? std::string() : dir.utf8("SHA256SUMS")) << c.what;
    }
}

TEST_F(Check, AChecksumListThatCannotBeReadRefusesThePlan)
{
    struct Case {
        const char* what;
        std::function<void(const testsupport::fs::path&)> make;
        std::string reason;
    };
    const Case cases[] = {
        {"a folder", [](const testsupport::fs::path& p) { testsupport::fs::create_directory(p); },
         "SHA256SUMS is not a regular file"},
        {"too large",
         [](const testsupport::fs::path& p) { testsupport::write_file(p, std::string((1 << 20) + 1, '\n')); },
         "SHA256SUMS is larger than 1 MiB"},
#ifndef _WIN32
        {"a link to nothing", [](const testsupport::fs::path& p) { testsupport::fs::create_symlink("gone", p); },
         "SHA256SUMS is a link to nothing"},
        {"a pipe, never opened", [](const testsupport::fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); },
         "SHA256SUMS is not a regular file"},
        {"unreadable",
         [](const testsupport::fs::path& p) {
             testsupport::write_file(p, abc_sha + "  a.xbf\n");
             testsupport::fs::permissions(p, testsupport::fs::perms::none);
         },
         getuid() == 0 ? "" : "SHA256SUMS cannot be opened for reading"},
#endif
    };
    for (const Case& c : cases) {
        TempDir folder;
        c.make(folder.path() / "SHA256SUMS");
        testsupport::write_file(folder.path() / "a.xbf", "abc");
        update::Plan plan;
        plan.files.push_back(update::PlannedFile{folder.utf8("a.xbf"), "a.xbf", "a.xbf", -1, {}});
        const update::Problem p = update::check_plan(plan);
        EXPECT_EQ(p.reason, c.reason) << c.what;
        EXPECT_EQ(p.code, c.reason.empty() ? com::COM_SUCCESS : com::COM_ERR_FILE) << c.what;
    }
}

}  // namespace

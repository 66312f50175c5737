// Local folders and files by UTF-8 paths: names in any script, and folders
// deeper than the 260 units of a plain Windows path (under wine these go
// through the Win32 side).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/local_file.h"
#include "support/test_support.h"
#include "update/folder.h"
#include "update/local_path.h"
#include "update/plan.h"

namespace {

using testsupport::TempDir;
using update::PathKind;

// A folder some levels below `root`, its path longer than `units` bytes.
std::string deep_folder(const TempDir& root, std::size_t units)
{
    std::string path = root.utf8();
    for (int level = 0; path.size() <= units; ++level)
        path += "/Verzeichnis-mit-einem-langen-Namen-" + std::to_string(level);
    return path + "/Jörg Müller";
}

TEST(LocalPath, NamesInAnyScriptAndDeepFoldersAreMadeListedAndPlanned)
{
    TempDir root;
    for (const std::string& folder : {root.utf8("Jörg Müller/固件"), deep_folder(root, 300)}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(update::path_kind(folder), PathKind::missing);
        ASSERT_TRUE(update::make_folders(folder));
        ASSERT_TRUE(update::make_folders(folder)) << "an existing folder is no failure";
        EXPECT_EQ(update::path_kind(folder), PathKind::folder);
        ASSERT_TRUE(update::make_folders(folder + "/Прошивка"));
        // Written through the link library's own files, found by the listing.
        for (const std::string name : {"main.bin", "Schrift-Ä.xbf", "字体.xbf"}) {
            com::LocalFile file(folder + "/" + name, false, true);
            unsigned written = 0;
            ASSERT_TRUE(file.open() && file.write(name.data(), static_cast<unsigned>(name.size()), &written)) << name;
        }

        std::vector<std::string> seen;
        EXPECT_TRUE(update::list_folder(folder, [&](const update::LocalEntry& e) {
            seen.push_back(e.name + (e.kind == PathKind::folder ? "/" : ""));
            EXPECT_EQ(update::path_kind(e.path), e.kind) << e.path;
        }));
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"Schrift-Ä.xbf", "main.bin", "Прошивка/", "字体.xbf"}));

        update::Plan plan = update::make_plan(update::list_firmware_folder(folder));
        ASSERT_EQ(plan.files.size(), 3u);
        EXPECT_EQ(update::check_plan(plan).code, 0);
        EXPECT_EQ(plan.files[1].printer_name, "Schrift-Ä.xbf");
        EXPECT_EQ(plan.files[2].size, static_cast<std::int64_t>(std::string("字体.xbf").size()));
    }
}

TEST(LocalPath, WhatAPathNamesIsToldApart)
{
    TempDir root;
    testsupport::write_file(root.path() / "Datei.bin", "x");
    EXPECT_EQ(update::path_kind(root.utf8("Datei.bin")), PathKind::file);
    EXPECT_EQ(update::path_kind(root.utf8("fehlt/darunter")), PathKind::missing);
    EXPECT_EQ(update::path_kind(""), PathKind::missing);
    // Not UTF-8: names no file, and nothing throws.
    EXPECT_EQ(update::path_kind(root.utf8() + "/\xFF\xFE.bin"), PathKind::missing);
    EXPECT_FALSE(update::make_folders(root.utf8("Datei.bin/darunter"))) << "a file is in the way";
    EXPECT_FALSE(update::list_folder(root.utf8("fehlt"), [](const update::LocalEntry&) {}));
}

}  // namespace

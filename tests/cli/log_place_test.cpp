// Where root may log: only in folders that no other account can write.
#include <gtest/gtest.h>

#include <string>

#include "log_place.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = testsupport::fs;
using testsupport::TempDir;

uid_t nobody()
{
    const passwd* user = ::getpwnam("nobody");
    return user ? user->pw_uid : 65534;
}

// base/program/log, all root's, 0755; `change` then spoils one of them.
struct Tree {
    TempDir dir;
    fs::path base = dir.path() / "base";
    fs::path program = base / "program";
    fs::path log = program / "log";
    Tree()
    {
        fs::create_directories(log);
        for (const fs::path& p : {base, program, log})
            ::chmod(p.c_str(), 0755);
    }
};

TEST(RootAloneWrites, OnlyFoldersOfRootThatNoOneElseCanWriteAreTrusted)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: folders are given to another account";
    {
        Tree probe;
        if (!zarvik::root_alone_writes(probe.dir.utf8()))
            GTEST_SKIP() << "the temporary folder " << probe.dir.utf8() << " is not root's alone";
    }
    struct Case {
        const char* what;
        void (*change)(Tree&);
        bool trusted;
    } cases[] = {
        {"root's alone", [](Tree&) {}, true},
        {"a parent shared with the sticky bit", [](Tree& t) { ::chmod(t.base.c_str(), 01777); }, true},
        {"the log folder of another owner", [](Tree& t) { (void)::chown(t.log.c_str(), nobody(), 0); }, false},
        {"the program's folder of another owner", [](Tree& t) { (void)::chown(t.program.c_str(), nobody(), 0); },
         false},
        {"a parent of another owner", [](Tree& t) { (void)::chown(t.base.c_str(), nobody(), 0); }, false},
        {"a parent its group can write", [](Tree& t) { ::chmod(t.base.c_str(), 0775); }, false},
        {"a parent anyone can write", [](Tree& t) { ::chmod(t.base.c_str(), 0757); }, false},
        {"the log folder anyone can write, sticky", [](Tree& t) { ::chmod(t.log.c_str(), 01777); }, false},
        {"the log folder a link to one of root's",
         [](Tree& t) {
             fs::remove(t.log);
             fs::create_directory(t.base / "elsewhere");
             ::chmod((t.base / "elsewhere").c_str(), 0755);
             fs::create_directory_symlink(t.base / "elsewhere", t.log);
         },
         false},
        {"no log folder", [](Tree& t) { fs::remove(t.log); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tree tree;
        c.change(tree);
        EXPECT_EQ(zarvik::root_alone_writes(testsupport::to_utf8(tree.log)), c.trusted);
    }
    Tree tree;
    for (const std::string& odd :
         {std::string("relative/log"), std::string(), tree.log.string() + "/../log", tree.log.string() + "/."})
        EXPECT_FALSE(zarvik::root_alone_writes(odd)) << odd;
    EXPECT_TRUE(zarvik::root_alone_writes(tree.log.string() + "/")) << "a trailing '/' changes nothing";
}

TEST(RootsLogPlace, LogAndHistoryBesideTheProgramOnlyWhereRootAloneWritesAndNothingIsMadeElsewhere)
{
    struct Case {
        bool root;
        bool program_alone;
        bool log_alone;
        const char* expected;
        bool log_folder_made;
        const char* history;  // the history follows the log
    } cases[] = {
        {true, true, true, "/opt/zarvik-update/log", true, "/opt/zarvik-update/history.sqlite"},
        // judged before anything is made in it
        {true, false, true, "/var/log/zarvik", false, "/var/lib/zarvik/history.sqlite"},
        // made, but by an odd umask open to others
        {true, true, false, "/var/log/zarvik", true, "/var/lib/zarvik/history.sqlite"},
        {false, false, false, "/opt/zarvik-update/log", true, "/opt/zarvik-update/history.sqlite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.expected) + (c.root ? " as root" : ""));
        bool made = false;
        zarvik::LogPlaceFacts facts;
        facts.program_dir = "/opt/zarvik-update";
        facts.root = c.root;
        facts.writable = [&](const std::string&) { return made = true; };
        facts.root_alone = [&](const std::string& dir) {
            return dir == facts.program_dir ? c.program_alone : c.log_alone;
        };
        EXPECT_EQ(zarvik::choose_log_dir(facts), c.expected);
        EXPECT_EQ(made, c.log_folder_made);
        EXPECT_EQ(zarvik::choose_history_file(facts), c.history);
    }
}

TEST(RootsLogPlace, APortableFolderOfAnotherAccountSendsRootsLogsToVarLog)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Tree tree;
    fs::remove(tree.log);
    ASSERT_EQ(::chown(tree.program.c_str(), nobody(), 0), 0);
    EXPECT_EQ(zarvik::default_log_dir(testsupport::to_utf8(tree.program)), "/var/log/zarvik");
    EXPECT_EQ(zarvik::default_history_file(testsupport::to_utf8(tree.program)), "/var/lib/zarvik/history.sqlite");
    EXPECT_FALSE(fs::exists(tree.log)) << "root made a folder in another account's folder";
}

}  // namespace
#endif

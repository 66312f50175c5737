// The install sequence: upload into the system folder, take-up, final report.
#include <gtest/gtest.h>

#include <vector>

#include "clock/virtual_clock.h"
#include "support/link_fixture.h"

namespace {

using testsupport::LinkTest;
using Commands = std::vector<std::string>;

struct Seen {
    std::vector<int> percents;
    std::vector<void*> contexts;
};
Seen seen;

void remember(int percent, float, void* context)
{
    seen.percents.push_back(percent);
    seen.contexts.push_back(context);
}

class Install : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        seen = Seen{};
        open_link();
    }

    std::string local(const std::string& name, const std::string& bytes)
    {
        testsupport::write_file(files.path() / name, bytes);
        return files.utf8(name);
    }

    int install(const std::string& path, const std::string& name, void* context = &seen)
    {
        return link->com_install_file(path, name, remember, context, "", 10000);
    }

    testsupport::TempDir files;
};

TEST_F(Install, UploadsIntoTheSystemFolderThenTakesTheFileUp)
{
    const std::string path = local("anything.bin", "image");
    ASSERT_EQ(install(path, "orbrey.bin"), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands(), (Commands{"~M601 S0", "~M28 5 0:/sys/orbrey.bin", "~M29", "~M600"}));
    ASSERT_EQ(printer->installs().size(), 1u);
    EXPECT_EQ(printer->installs()[0].path, "0:/sys/orbrey.bin");
    EXPECT_TRUE(printer->installs()[0].complete);
    EXPECT_EQ(seen.percents, std::vector<int>{100}) << "a small file gets only the final report";
    EXPECT_EQ(printer->pending_reply_bytes(), 0u);
    const auto& take_up = printer->traffic()[printer->traffic().size() - 4];
    EXPECT_EQ(text(take_up), "~M600\r\n");
    EXPECT_EQ(take_up.timeout_ms, 10000u);
}

TEST_F(Install, EmptyNameGivesTheFolderItself)
{
    ASSERT_EQ(install(local("x", "1"), ""), com::COM_SUCCESS);
    EXPECT_EQ(printer->commands()[1], "~M28 1 0:/sys/");
}

TEST_F(Install, FailedUploadSendsNoTakeUpAndNoFinalReport)
{
    printer->set_capacity(3);
    EXPECT_EQ(install(local("big.xbf", "four"), "big.xbf"), com::COM_ERR_DISK_FULL);
    EXPECT_EQ(printer->commands().back(), "~M28 4 0:/sys/big.xbf");
    EXPECT_TRUE(seen.percents.empty());
    EXPECT_TRUE(printer->installs().empty());
}

TEST_F(Install, EveryTakeUpReplyIsChecked)
{
    const std::string path = local("f.xbf", "abc");
    const char* wrong[] = {"CMD M601 Received.", "failed", "error"};
    for (int line = 0; line < 3; ++line) {
        printer->replace_reply("M600", line, wrong[line], line);
        const auto before = printer->transfer_count();
        EXPECT_EQ(install(path, "f.xbf"), com::COM_ERR_COMMAND) << "line " << line;
        EXPECT_EQ(printer->traffic().back().timeout_ms, 1000u) << "drained after line " << line;
        EXPECT_GT(printer->transfer_count(), before);
        while (printer->pending_reply_bytes() > 0)
            link->com_clear_buffer(1000);
    }
    EXPECT_TRUE(seen.percents.empty()) << "no 100 after a wrong reply";
}

TEST_F(Install, TakeUpFailuresKeepTheirCodesWithoutADrain)
{
    const std::string path = local("f.xbf", "abc");
    printer->fault_at(printer->transfer_count() + 9, emu::FaultKind::stall);  // the ~M600 write
    EXPECT_EQ(install(path, "f.xbf"), com::COM_ERR_HALTED);
    printer->silence_replies("M600", 1, 0);  // the stalled one never arrived
    EXPECT_EQ(install(path, "f.xbf"), com::COM_ERR_TIMEOUT);
    EXPECT_EQ(printer->traffic().back().timeout_ms, 10000u) << "no drain after a failed read";
}

TEST_F(Install, FinalReportIsMadeEvenWithANullContext)
{
    testsupport::write_file(files.path() / "f.bin", std::string(8192, 'x'));
    bus().devices().front()->transfer_ms[0x03] = 600;
    ASSERT_EQ(install(files.utf8("f.bin"), "orbrey.bin", nullptr), com::COM_SUCCESS);
    EXPECT_EQ(seen.percents, std::vector<int>{100}) << "the upload's own reports need a context";
    EXPECT_EQ(seen.contexts, std::vector<void*>{nullptr});
}

TEST_F(Install, ProgressRunsFromTheUploadToAFinal100)
{
    testsupport::write_file(files.path() / "f.bin", std::string(10 * 4096, 'x'));
    bus().devices().front()->transfer_ms[0x03] = 300;
    ASSERT_EQ(install(files.utf8("f.bin"), "orbrey.bin"), com::COM_SUCCESS);
    EXPECT_EQ(seen.percents, (std::vector<int>{19, 39, 59, 79, 99, 100}));
}

TEST_F(Install, AWholeFirmwareSetArrivesByteForByte)
{
    const std::string image = testsupport::pattern_bytes(1 << 20, 11);
    const std::string extra1 = testsupport::pattern_bytes(300000, 12);
    const std::string extra2 = testsupport::pattern_bytes(4096 * 3, 13);
    ASSERT_EQ(install(local("fw-2.1.bin", image), "orbrey.bin"), com::COM_SUCCESS);
    ASSERT_EQ(install(local("fonts.xbf", extra1), "fonts.xbf"), com::COM_SUCCESS);
    ASSERT_EQ(install(local("ui.xbf", extra2), "ui.xbf"), com::COM_SUCCESS);

    const auto& files_on_printer = printer->files();
    ASSERT_EQ(files_on_printer.size(), 3u);
    auto bytes = [&](const std::string& path) {
        const auto& f = files_on_printer.at(path);
        EXPECT_TRUE(f.complete) << path;
        return std::string(f.data.begin(), f.data.end());
    };
    EXPECT_TRUE(bytes("0:/sys/orbrey.bin") == image);
    EXPECT_TRUE(bytes("0:/sys/fonts.xbf") == extra1);
    EXPECT_TRUE(bytes("0:/sys/ui.xbf") == extra2);
    ASSERT_EQ(printer->installs().size(), 3u);
    EXPECT_EQ(printer->installs()[2].path, "0:/sys/ui.xbf");
    EXPECT_EQ(emu::VirtualClock::sleeps(), (std::vector<unsigned>{500, 500, 500}));
    link.reset();
    EXPECT_FALSE(printer->under_control());
}

}  // namespace

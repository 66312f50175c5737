// A whole firmware install on the real libusb-1.0, checked byte for byte
// against what the printer stored.
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "printer/control.h"
#include "system_fixture.h"

namespace {

using systemtest::Clock;
using systemtest::ms_since;
using systemtest::SystemTest;

std::vector<int> percents;

void remember(int percent, float, void*)
{
    percents.push_back(percent);
}

class Install : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        percents.clear();
    }

    int install(const std::string& path, const std::string& name)
    {
        return link->com_install_file(path, name, remember, &percents, "", 10000);
    }
};

TEST_F(Install, AWholeFirmwareSetArrivesByteForByte)
{
    const std::string image = testsupport::pattern_bytes(1 << 20, 11);
    const std::string extra1 = testsupport::pattern_bytes(300000, 12);
    const std::string extra2 = testsupport::pattern_bytes(200000, 13);
    const std::string image_path = local("fw-2.1.bin", image);
    const std::string extra1_path = local("fonts.xbf", extra1);
    const std::string extra2_path = local("ui.xbf", extra2);

    const auto start = Clock::now();
    open_link();
    ASSERT_EQ(install(image_path, "orbrey.bin"), com::COM_SUCCESS);
    ASSERT_EQ(install(extra1_path, "fonts.xbf"), com::COM_SUCCESS);
    ASSERT_EQ(install(extra2_path, "ui.xbf"), com::COM_SUCCESS);
    link.reset();
    const long long took = ms_since(start);
    RecordProperty("install_ms", std::to_string(took));
    std::cout << "whole install (1 MiB + 300000 + 200000 bytes): " << took << " ms\n";

    EXPECT_FALSE(ctl->under_control(first));
    const auto stored = ctl->files(first);
    ASSERT_EQ(stored.size(), 3u);
    for (const auto& f : stored)
        EXPECT_TRUE(f.complete) << f.path;
    EXPECT_TRUE(ctl->file_bytes(first, "0:/sys/orbrey.bin") == image);
    EXPECT_TRUE(ctl->file_bytes(first, "0:/sys/fonts.xbf") == extra1);
    EXPECT_TRUE(ctl->file_bytes(first, "0:/sys/ui.xbf") == extra2);
    const auto installs = ctl->installs(first);
    ASSERT_EQ(installs.size(), 3u);
    EXPECT_EQ(installs[0].path, "0:/sys/orbrey.bin");
    EXPECT_EQ(installs[2].path, "0:/sys/ui.xbf");
    for (const auto& i : installs)
        EXPECT_TRUE(i.complete) << i.path;
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(std::count(percents.begin(), percents.end(), 100), 3) << "one final report per file";
    for (int p : percents)
        EXPECT_TRUE(p == 100 || (p >= 0 && p <= 99)) << p;
}

TEST_F(Install, AnUploadThatDoesNotFitGives16AndInstallsNothing)
{
    open_link();
    ctl->set_capacity(first, 100000);
    EXPECT_EQ(install(local("big.xbf", std::string(100001, 'b')), "big.xbf"), com::COM_ERR_DISK_FULL);
    EXPECT_TRUE(ctl->installs(first).empty());
    EXPECT_TRUE(percents.empty());
    EXPECT_EQ(ctl->commands(first).back(), "~M28 100001 0:/sys/big.xbf");
}

// Run by check-store.sh under "zarvik-printer-emulator --store": uploads a
// complete and a cut file and leaves what it sent, and the summary lines the
// store must hold, in $ZARVIK_STORE_EXPECT.
TEST_F(Install, StoreHoldsWhatWasSent)
{
    const char* expect = std::getenv("ZARVIK_STORE_EXPECT");
    ASSERT_TRUE(expect && *expect) << "run through check-store.sh";
    const testsupport::fs::path dir = testsupport::from_utf8(expect);
    const std::string whole = testsupport::pattern_bytes(70000, 21);
    const std::string cut = testsupport::pattern_bytes(9000, 22);

    com::ComUsb& l = open_link();
    ASSERT_EQ(install(local("a.bin", whole), "orbrey.bin"), com::COM_SUCCESS);
    // The second piece of the next upload arrives short: the file stays incomplete.
    ctl->fault_ahead(first, 5, "short_transfer", 1000);
    EXPECT_EQ(l.com_send_file(local("b.xbf", cut), "0:/user/b x.xbf", nullptr, nullptr, 99, "", 1000),
              com::COM_ERR_OVERFLOW);
    link.reset();

    testsupport::write_file(dir / "0%3A%2Fsys%2Forbrey.bin", whole);
    testsupport::write_file(dir / "0%3A%2Fuser%2Fb%20x.xbf", cut.substr(0, 4096 + 1000));
    std::ofstream summary(dir / "summary.txt");
    summary << "printer=1 path=" << emu::control::escape("0:/sys/orbrey.bin") << " size=70000 announced=70000"
            << " complete=1 installed=1 file=printer-1/0%3A%2Fsys%2Forbrey.bin\n";
    summary << "printer=1 path=" << emu::control::escape("0:/user/b x.xbf") << " size=5096 announced=9000"
            << " complete=0 installed=0 file=printer-1/0%3A%2Fuser%2Fb%20x.xbf\n";
}

}  // namespace

// zarvik on the real libusb-1.0 and the real Linux kernel USB stack: runs in
// the kernel test guest (tests/kernel/run-guest.sh) against the gadget
// printer, through zarvik::run, the whole program but its main().
//
//   kernel_zarvik_test --gadget PATH [GoogleTest options]
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "com/devices.h"
#include "gadget_process.h"
#include "support/test_support.h"
#include "zarvik.h"

namespace {

using kerneltest::gadget_program;

class KernelZarvik : public ::testing::Test {
protected:
    void SetUp() override
    {
        char made[40];
        std::snprintf(made, sizeof made, "ZZ%08lX", static_cast<unsigned long>(std::time(nullptr)));
        serial = made;
        gadget = std::make_unique<kerneltest::GadgetProcess>(gadget_program, "2c7e:4201", serial);
    }

    void TearDown() override
    {
        if (gadget)
            for (const std::string& what : gadget->violations(printer_id))
                ADD_FAILURE() << "printer saw: " << what;
    }

    int run(const std::vector<std::string>& args)
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        zarvik::Io io;
        io.out = out;
        io.err = err;
        io.program_dir = program.utf8();
        const int status = zarvik::run(args, io);
        out_text = testsupport::read_stream(out);
        err_text = testsupport::read_stream(err);
        std::fclose(out);
        std::fclose(err);
        std::printf("zarvik");
        for (const std::string& a : args)
            std::printf(" %s", a.c_str());
        std::printf(" -> %d\n%s%s", status, out_text.c_str(), err_text.c_str());
        return status;
    }

    static constexpr int printer_id = 1;  // a gadget's one printer
    std::string serial;
    std::unique_ptr<kerneltest::GadgetProcess> gadget;
    testsupport::TempDir firmware, logs, scratch, program;
    std::string out_text, err_text;
};

TEST_F(KernelZarvik, ListThenAWholeUpdateOfThePrinterAtItsPlace)
{
    const std::string place = std::to_string(gadget->host().bus) + ":" + std::to_string(gadget->host().address);
    ASSERT_EQ(run({"list"}), zarvik::exit_updated);
    EXPECT_NE(out_text.find(place + "  2c7e:4201  Edvin Halvenn Tool Corporation  Halvenn Orbrey 3D Printer  serial " +
                            serial + "  [updated by this tool]"),
              std::string::npos);

    const std::string image = testsupport::pattern_bytes(300000, 31);
    const std::string fonts = testsupport::pattern_bytes(50000, 32);
    testsupport::write_file(firmware.path() / "Firmware-2.5.bin", image);
    testsupport::write_file(firmware.path() / "fonts.xbf", fonts);
    testsupport::write_file(firmware.path() / "notes.txt", "not sent");
    ASSERT_EQ(run({"update", "--firmware", firmware.utf8(), "--printer", place, "--log", logs.utf8()}),
              zarvik::exit_updated);
    EXPECT_NE(out_text.find(place + " " + serial + ": Firmware has been uploaded, reboot your printer to complete the update."),
              std::string::npos);

    EXPECT_FALSE(gadget->under_control(printer_id));
    const auto stored = gadget->files(printer_id);
    ASSERT_EQ(stored.size(), 2u);
    for (const auto& f : stored)
        EXPECT_TRUE(f.complete) << f.path;
    EXPECT_TRUE(gadget->file_bytes(printer_id, "0:/sys/orbrey.bin") == image);
    EXPECT_TRUE(gadget->file_bytes(printer_id, "0:/sys/fonts.xbf") == fonts);
    const auto installs = gadget->installs(printer_id);
    ASSERT_EQ(installs.size(), 2u);
    EXPECT_EQ(installs[0].path, "0:/sys/orbrey.bin");
    const auto logs_made = testsupport::log_files(logs.path());
    ASSERT_EQ(logs_made.size(), 1u);
    EXPECT_NE(testsupport::read_file(logs.path() / logs_made[0]).find("serial " + serial), std::string::npos);
}

}  // namespace

int main(int argc, char** argv)
{
    return kerneltest::run_guest_tests(argc, argv);
}

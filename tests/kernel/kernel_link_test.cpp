// The link library on the real libusb-1.0 and the real kernel USB stack.
//
// Runs inside the test guest (tests/kernel/run-guest.sh): each case plugs a
// gadget printer (emu/gadget) into the guest's dummy_hcd bus, and the library,
// linked against Debian's libusb-1.0 (com_system), reaches it through usbfs,
// usbcore and the host controller driver.  Time is real time here.
//
//   kernel_link_test --gadget PATH [GoogleTest options]
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/devices.h"
#include "com/result.h"
#include "gadget_process.h"
#include "printer/control.h"
#include "printer/usb_descriptors.h"
#include "support/test_support.h"

namespace {

using kerneltest::GadgetProcess;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Commands = std::vector<std::string>;

using kerneltest::gadget_program;

long long elapsed_ms(steady_clock::time_point since)
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count();
}

void keep_percent(int percent, float, void* context)
{
    static_cast<std::vector<int>*>(context)->push_back(percent);
}

class KernelLink : public ::testing::Test {
protected:
    // Plugs in a printer with these ids, the strings of its table row unless
    // `more` gives others (",product=P", escaped), and a serial made for this case.
    GadgetProcess& plug(std::uint16_t vid = com::ids::vendor_halvenn, std::uint16_t pid = com::ids::product_orbrey,
                        const std::string& more = "")
    {
        static unsigned plugs = 0;
        char made[40];
        std::snprintf(made, sizeof made, "ZK%08lX-%u", static_cast<unsigned long>(std::time(nullptr)), ++plugs);
        serial = made;
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", vid, pid);
        gadget.reset();
        gadget = std::make_unique<GadgetProcess>(gadget_program, ids + more, serial);
        vendor = vid;
        product = pid;
        return *gadget;
    }

    com::Com& make_link()
    {
        link.reset(com::ComFactory().create_usb(vendor, product, logs.utf8(), true));
        return *link;
    }

    com::Com& open_link(unsigned timeout_ms = 1000)
    {
        make_link();
        EXPECT_EQ(link->com_open(timeout_ms, true), com::COM_SUCCESS) << "opening the link";
        return *link;
    }

    std::string local(const std::string& name, std::size_t size, std::uint32_t seed)
    {
        const std::string bytes = testsupport::pattern_bytes(size, seed);
        testsupport::write_file(files.path() / name, bytes);
        contents[name] = bytes;
        return files.utf8(name);
    }

    // The stored file at `path`, checked whole against what was sent as `name`.
    void expect_stored(const std::string& name)
    {
        const std::string path = "0:/sys/" + name;
        bool found = false;
        for (const auto& f : gadget->files(printer_id)) {
            if (f.path != path)
                continue;
            found = true;
            EXPECT_TRUE(f.complete) << name;
            EXPECT_EQ(f.announced, contents[name].size()) << name;
        }
        ASSERT_TRUE(found) << name << " is not stored";
        EXPECT_TRUE(gadget->file_bytes(printer_id, path) == contents[name]) << name << " differs from what was sent";
    }

    std::string log_text() const
    {
        return link ? testsupport::read_file(testsupport::from_utf8(link->log_file_path())) : std::string();
    }

    void TearDown() override
    {
        link.reset();  // gives the printer back while it is still plugged in
        if (gadget)
            for (const std::string& what : gadget->violations(printer_id))
                ADD_FAILURE() << "printer saw: " << what;
        gadget.reset();
    }

    testsupport::TempDir logs;
    testsupport::TempDir files;
    std::map<std::string, std::string> contents;
    std::string serial;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    static constexpr int printer_id = 1;  // a gadget's one printer
    std::unique_ptr<GadgetProcess> gadget;
    std::unique_ptr<com::Com> link;
};

void print_record(const com::UsbDeviceRecord& record)
{
    std::printf("listed %04x:%04x on bus %d address %d: \"%s\" \"%s\" \"%s\"\n", record.info.vendor_id,
                record.info.product_id, record.bus_number, record.device_address, record.info.manufacturer,
                record.info.product, record.info.serial);
}

TEST_F(KernelLink, DiscoveryReportsIdsBusAddressAndStrings)
{
    const GadgetProcess* printer = &plug();
    std::vector<com::UsbDeviceRecord> found;
    ASSERT_EQ(com::ComFactory().list_usb_devices(&found), com::COM_SUCCESS);
    ASSERT_EQ(found.size(), 1u) << "the root hub is no printer";
    print_record(found[0]);
    EXPECT_EQ(found[0].info.vendor_id, com::ids::vendor_halvenn);
    EXPECT_EQ(found[0].info.product_id, com::ids::product_orbrey);
    EXPECT_EQ(found[0].bus_number, printer->host().bus);
    EXPECT_EQ(found[0].device_address, printer->host().address);
    const com::DeviceInfo* row = com::find_supported_device(vendor, product);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(found[0].info.manufacturer, row->manufacturer);
    EXPECT_STREQ(found[0].info.product, row->product);
    EXPECT_EQ(std::string(found[0].info.serial), serial);

    // Another printer, whose strings are its own rather than its row's: the
    // listing reports what the device says, at the address it got now.
    printer = &plug(com::ids::vendor_velmora, com::ids::product_ephra,
                    ",manufacturer=Velmora\\sWorks,product=Ephra\\son\\sthe\\sbench");
    ASSERT_EQ(com::ComFactory().list_usb_devices(&found), com::COM_SUCCESS);
    ASSERT_EQ(found.size(), 1u);
    print_record(found[0]);
    EXPECT_EQ(found[0].info.vendor_id, com::ids::vendor_velmora);
    EXPECT_EQ(found[0].info.product_id, com::ids::product_ephra);
    EXPECT_EQ(found[0].bus_number, printer->host().bus);
    EXPECT_EQ(found[0].device_address, printer->host().address);
    EXPECT_STREQ(found[0].info.manufacturer, "Velmora Works");
    EXPECT_STREQ(found[0].info.product, "Ephra on the bench");
    EXPECT_EQ(std::string(found[0].info.serial), serial);
}

TEST_F(KernelLink, OpenTakesControlAndCloseGivesItBack)
{
    plug();
    com::Com& l = make_link();
    const auto start = steady_clock::now();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    std::printf("open with the take-control handshake: %lld ms\n", elapsed_ms(start));
    EXPECT_EQ(l.com_is_closed(), 0);
    EXPECT_TRUE(gadget->under_control(printer_id));
    EXPECT_EQ(gadget->commands(printer_id), (Commands{"~M601 S0"}));

    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_FALSE(gadget->under_control(printer_id));
    EXPECT_EQ(gadget->commands(printer_id), (Commands{"~M601 S0", "~M602"}));
    EXPECT_NE(log_text().find("com_readline: Control Release.\r\n"), std::string::npos)
        << "the give-back's replies were read";
}

TEST_F(KernelLink, OutputQueuedBeforeOpeningIsReadAway)
{
    GadgetProcess& printer = plug();
    // Lines an earlier session left behind, already queued on the IN endpoint.
    printer.push_raw_reply(printer_id, "Control Release.\r\n");
    printer.push_raw_reply(printer_id, "ok\r\n");
    com::Com& l = make_link();
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);
    EXPECT_NE(log_text().find(": com_open: Control Release.\r\n"), std::string::npos);
    EXPECT_NE(log_text().find(": com_open: ok\r\n"), std::string::npos);
    EXPECT_TRUE(printer.under_control(printer_id));
}

TEST_F(KernelLink, ReadingPartOfAReplyOverflowsAndLosesTheRest)
{
    GadgetProcess& printer = plug();
    com::Com& l = open_link();
    // On a real bus a transfer cannot take part of a packet: the host
    // controller reports babble, and the packet's bytes are gone.
    printer.push_raw_reply(printer_id, "CMD M119 Received.\r\n");
    char part[4];
    int received = -1;
    EXPECT_EQ(l.com_read(part, sizeof part, &received, 1000), com::COM_ERR_OVERFLOW);
    EXPECT_EQ(received, -1) << "no byte count on a failed transfer";
    printer.push_raw_reply(printer_id, "ok\r\n");
    char line[128];
    int length = 0;
    ASSERT_EQ(l.com_readline(line, sizeof line, &length, 1000), com::COM_SUCCESS);
    EXPECT_STREQ(line, "ok") << "nothing of the lost reply is left to read";
}

TEST_F(KernelLink, InstallOfAMainImageAndTwoFilesArrivesByteExact)
{
    plug();
    com::Com& l = open_link();
    // Sizes: odd, a whole number of 512-byte packets (the last transfer ends
    // without a short packet), and one byte past a packet.
    const std::vector<std::pair<std::string, std::size_t>> wanted = {
        {"orbrey.bin", 300 * 1024 + 123}, {"first.xbf", 64 * 1024}, {"second.xbf", 100 * 1024 + 1}};
    std::uint32_t seed = 7;
    for (const auto& [name, size] : wanted) {
        const std::string path = local(name, size, seed++);
        std::vector<int> percents;
        const auto start = steady_clock::now();
        ASSERT_EQ(l.com_install_file(path, name, keep_percent, &percents, "", 5000), com::COM_SUCCESS) << name;
        std::printf("installed %s (%zu bytes) in %lld ms\n", name.c_str(), size, elapsed_ms(start));
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(percents.back(), 100) << name;
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << name;
    }
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);

    for (const auto& wanted_file : wanted)
        expect_stored(wanted_file.first);
    const auto installs = gadget->installs(printer_id);
    ASSERT_EQ(installs.size(), 3u);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        EXPECT_EQ(installs[i].path, "0:/sys/" + wanted[i].first);
        EXPECT_TRUE(installs[i].complete);
    }
    const Commands expected{"~M601 S0",
                            "~M28 307323 0:/sys/orbrey.bin",
                            "~M29",
                            "~M600",
                            "~M28 65536 0:/sys/first.xbf",
                            "~M29",
                            "~M600",
                            "~M28 102401 0:/sys/second.xbf",
                            "~M29",
                            "~M600",
                            "~M602"};
    EXPECT_EQ(gadget->commands(printer_id), expected);
    EXPECT_FALSE(gadget->under_control(printer_id)) << "given back at the end";
}

TEST_F(KernelLink, SilentPrinterTimesOutAndTheLinkStillWorks)
{
    GadgetProcess& printer = plug();
    printer.silence_replies(printer_id, "M601", 0, 0);
    com::Com& l = make_link();
    auto start = steady_clock::now();
    EXPECT_EQ(l.com_open(300, true), com::COM_ERR_TIMEOUT);
    long long took = elapsed_ms(start);
    std::printf("unanswered take-control: time-out after %lld ms (100 ms stale-reply look + 300 ms)\n", took);
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 2500) << "no step waits longer than its time-out";

    // The printer answers again: the same link opens, which gives back first.
    ASSERT_EQ(l.com_open(1000, true), com::COM_SUCCESS);

    // Silence in the middle of a reply: the take-up's first line arrives, the rest never.
    printer.silence_replies(printer_id, "M600", 1, 0);
    const std::string image = local("silent.bin", 20000, 3);
    start = steady_clock::now();
    EXPECT_EQ(l.com_install_file(image, "silent.bin", nullptr, nullptr, "", 700), com::COM_ERR_TIMEOUT);
    took = elapsed_ms(start);
    std::printf("unanswered take-up: time-out after %lld ms (500 ms pause + 700 ms)\n", took);
    EXPECT_GE(took, 1200);
    EXPECT_LT(took, 3500) << "no step waits longer than its time-out";

    const std::string next = local("next.bin", 30000, 4);
    EXPECT_EQ(l.com_install_file(next, "next.bin", nullptr, nullptr, "", 2000), com::COM_SUCCESS);
    expect_stored("next.bin");
    const auto installs = gadget->installs(printer_id);
    ASSERT_EQ(installs.size(), 2u);
    EXPECT_EQ(installs[1].path, "0:/sys/next.bin");
}

TEST_F(KernelLink, PrinterGoneDuringTheUploadIsReportedWithoutHanging)
{
    GadgetProcess& printer = plug();
    printer.vanish_after_data(printer_id, 65536);
    com::Com& l = open_link();
    const std::size_t image_size = 256 * 1024;
    const std::string image = local("orbrey.bin", image_size, 11);
    const auto start = steady_clock::now();
    const int code = l.com_install_file(image, "orbrey.bin", nullptr, nullptr, "", 5000);
    const long long took = elapsed_ms(start);
    std::printf("printer gone during the upload: code %d (%s) after %lld ms\n", code, com::result_message(code), took);
    EXPECT_LT(took, 4000) << "the library must not wait for its 5000 ms time-out";

    // The transfer in flight when the printer goes away ends either with the
    // disconnect (no device, 10) or, when the host controller meets the
    // missing device before the hub has reported the disconnect, as a
    // protocol error (URB status -EPROTO, LIBUSB_ERROR_IO, 1).  Which one is a
    // race in the kernel; the closing command 500 ms later always finds the
    // printer gone, and the data phase's code is the one returned.
    const std::string log = log_text();
    if (code == com::COM_ERR_UNKNOWN) {
        EXPECT_NE(log.find("com_send_file: : other error, error code: -1\n"), std::string::npos) << log;
    } else {
        EXPECT_EQ(code, com::COM_ERR_DISCONNECTED);
        EXPECT_NE(log.find("com_send_file: : no device\n"), std::string::npos) << log;
    }
    EXPECT_NE(log.find("com_write: : no device\n"), std::string::npos) << "the closing command was still tried";

    // The gadget reads file data in pieces of its own: it goes once it holds 64 KiB or a little more.
    const std::string gone = printer.next_event(milliseconds(2000));
    unsigned long held = 0;
    ASSERT_EQ(std::sscanf(gone.c_str(), "vanished after %lu data bytes", &held), 1) << gone;
    EXPECT_GE(held, 65536u);
    EXPECT_LT(held, image_size) << "gone during the upload, not after it";
    EXPECT_TRUE(printer.wait_exit(milliseconds(2000)));

    const auto close_start = steady_clock::now();
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    EXPECT_EQ(l.com_is_closed(), 1);
    EXPECT_LT(elapsed_ms(close_start), 900) << "the give-back fails at once on a printer that is gone";
    link.reset();
    gadget->unplug();
    gadget.reset();

    std::vector<com::UsbDeviceRecord> found;
    ASSERT_EQ(com::ComFactory().list_usb_devices(&found), com::COM_SUCCESS);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(make_link().com_open(1000, true), com::COM_ERR_CONNECT);
}

TEST_F(KernelLink, EndpointSetBPrinterTakesCommandsOn02AndDataOn04)
{
    const std::uint16_t cirro_ii = com::ids::endpoint_set_b_products[0];
    const GadgetProcess& printer = plug(com::ids::vendor_velmora, cirro_ii);
    EXPECT_EQ(printer.host().endpoints, (std::vector<std::uint8_t>{0x02, 0x04, 0x81, 0x83}))
        << "the host enumerated endpoint set B";

    std::vector<com::UsbDeviceRecord> found;
    ASSERT_EQ(com::ComFactory().list_usb_devices(&found), com::COM_SUCCESS);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].info.product_id, cirro_ii);
    EXPECT_STREQ(found[0].info.product, com::find_supported_device(vendor, product)->product);

    com::Com& l = open_link();
    const std::string image = local("cirro.bin", 40 * 1024 + 5, 21);
    ASSERT_EQ(l.com_install_file(image, "cirro.bin", nullptr, nullptr, "", 5000), com::COM_SUCCESS);
    EXPECT_EQ(l.com_close(), com::COM_SUCCESS);
    expect_stored("cirro.bin");
    EXPECT_EQ(gadget->commands(printer_id),
              (Commands{"~M601 S0", "~M28 40965 0:/sys/cirro.bin", "~M29", "~M600", "~M602"}));
}

// What the host's kernel read from the gadget, byte for byte against what
// the one descriptor encoder writes for the same printer: the device and the
// high-speed configuration descriptor as sysfs keeps them, and the string
// descriptors as a control transfer through usbfs fetches them again.
TEST_F(KernelLink, TheHostReadsTheDescriptorsTheEncoderWrites)
{
    // A product name past what a descriptor holds, with a surrogate pair at the cut.
    const std::string long_name = std::string(124, 'p') + "\xC3\xA9\xF0\x9F\x96\xA8";
    const struct {
        std::uint16_t vid, pid;
        std::string more;
    } printers[] = {
        {com::ids::vendor_halvenn, com::ids::product_orbrey, ""},
        {com::ids::vendor_velmora, com::ids::endpoint_set_b_products[1], ""},
        {0x1234, 0x5678, ",manufacturer=,product=" + emu::control::escape(long_name)},
    };
    for (const auto& p : printers) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", p.vid, p.pid);
        SCOPED_TRACE(ids);
        const GadgetProcess& printer = plug(p.vid, p.pid, p.more);
        emu::PrinterRequest request;
        std::string error;
        ASSERT_TRUE(
            emu::parse_printer_request(ids + p.more + ",serial=" + emu::control::escape(serial), &request, &error))
            << error;
        const emu::Identity identity = emu::printer_identity(request, 0);

        emu::usb::Bytes expected = emu::printer_device_descriptor(identity);
        const emu::usb::Bytes configuration = emu::printer_configuration(identity, emu::usb::high_speed_bulk_packet);
        expected.insert(expected.end(), configuration.begin(), configuration.end());
        const std::string read =
            testsupport::read_file("/sys/bus/usb/devices/" + printer.host().sysfs_name + "/descriptors");
        EXPECT_EQ(emu::usb::Bytes(read.begin(), read.end()), expected) << "device and configuration";

        libusb_context* context = nullptr;
        ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
        libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, p.vid, p.pid);
        ASSERT_NE(handle, nullptr);
        for (std::uint8_t index = 0; index <= 3; ++index) {
            unsigned char data[255];
            const int got = libusb_get_string_descriptor(handle, index, emu::usb::english_us, data, sizeof data);
            const emu::usb::Bytes want = emu::printer_string(identity, index);
            if (want.empty()) {
                EXPECT_EQ(got, LIBUSB_ERROR_PIPE) << "string " << int(index) << " is stalled";
            } else {
                EXPECT_EQ(emu::usb::Bytes(data, data + std::max(got, 0)), want) << "string " << int(index);
            }
        }
        libusb_close(handle);
        libusb_exit(context);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    return kerneltest::run_guest_tests(argc, argv);
}

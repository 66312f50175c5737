// Listing printers on the real libusb-1.0: ids, bus, address and strings as
// the device presents them, and plugging seen by later listings.
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "com/usb_monitor.h"
#include "system_fixture.h"

namespace {

using systemtest::SystemTest;
using systemtest::wait_for;
using Record = com::UsbDeviceRecord;

class Discovery : public SystemTest {
protected:
    // A device that is no printer of ours: unsupported ids next to the Orbrey rows.
    int other_device(int address)
    {
        emu::EmulatorControl::NewPrinter other;
        other.vendor_id = 0x2C7E;
        other.product_id = 0x4202;
        other.address = address;
        other.manufacturer = "Other";
        return ctl->plug(other);
    }

    static const Record* find(const std::vector<Record>& records, std::uint16_t product, int address)
    {
        for (const Record& r : records)
            if (r.info.product_id == product && r.device_address == address)
                return &r;
        return nullptr;
    }

    static std::string version_line()
    {
        const libusb_version* v = libusb_get_version();
        char line[64];
        std::snprintf(line, sizeof line, "Using libusb v%d.%d.%d.%d\n\n", v->major, v->minor, v->micro, v->nano);
        return line;
    }
};

TEST_F(Discovery, APrinterIsReportedWithBusAddressIdsAndStrings)
{
    other_device(3);
    std::vector<Record> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 1u) << "only the supported printer gets a record";
    EXPECT_EQ(out[0].bus_number, 1);
    EXPECT_EQ(out[0].device_address, 5);
    EXPECT_EQ(out[0].info.vendor_id, 0x2C7E);
    EXPECT_EQ(out[0].info.product_id, 0x4201);
    EXPECT_STREQ(out[0].info.manufacturer, "Edvin Halvenn Tool Corporation");
    EXPECT_STREQ(out[0].info.product, "Halvenn Orbrey 3D Printer");
    EXPECT_STREQ(out[0].info.serial, "SN1-5");
    EXPECT_EQ(stdout_text, version_line());
    EXPECT_EQ(stderr_text, "") << "libusb had something to say about the emulated bus";
}

TEST_F(Discovery, NoPrinterGivesAnEmptyListAndTheVersionLine)
{
    ctl->unplug(first);
    other_device(3);
    std::vector<Record> out(2);
    EXPECT_EQ(list(&out), com::COM_SUCCESS);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(stdout_text, version_line());
    EXPECT_EQ(stderr_text, "");
}

TEST_F(Discovery, SeveralPrintersAreAllListed)
{
    emu::EmulatorControl::NewPrinter cirro;
    cirro.vendor_id = 0x1E4B;
    cirro.product_id = 0x0104;
    cirro.address = 4;
    ctl->plug(cirro);
    emu::EmulatorControl::NewPrinter orbrey2;
    orbrey2.vendor_id = 0x2C7E;
    orbrey2.product_id = 0x4203;
    orbrey2.bus = 2;
    orbrey2.address = 9;
    ctl->plug(orbrey2);

    std::vector<Record> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 3u);
    const Record* a = find(out, 0x4201, 5);
    const Record* b = find(out, 0x0104, 4);
    const Record* c = find(out, 0x4203, 9);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(b->bus_number, 1);
    EXPECT_EQ(b->info.vendor_id, 0x1E4B);
    EXPECT_STREQ(b->info.product, "Velmora Cirro II serials 3D Printer");
    EXPECT_STREQ(b->info.serial, "SN1-4");
    EXPECT_EQ(c->bus_number, 2);
    EXPECT_STREQ(c->info.product, "Halvenn Orbrey-II 3D Printer");
    EXPECT_STREQ(c->info.serial, "SN2-9");
    std::string order;
    for (const Record& r : out)
        order += " " + std::to_string(r.bus_number) + "/" + std::to_string(r.device_address);
    RecordProperty("list_order", order);
}

TEST_F(Discovery, PrintersWithTheSameIdsAllShowTheFirstOnesStrings)
{
    emu::EmulatorControl::NewPrinter twin;
    twin.vendor_id = vid;
    twin.product_id = pid;
    twin.address = 6;
    ctl->plug(twin);
    std::vector<Record> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NE(out[0].device_address, out[1].device_address);
    // Opened by ids, so the first device in libusb's list answers for both.
    const std::string first_serial = "SN1-" + std::to_string(out[0].device_address);
    EXPECT_STREQ(out[0].info.serial, first_serial.c_str());
    EXPECT_STREQ(out[1].info.serial, first_serial.c_str());
}

TEST_F(Discovery, StringsArriveAsTheDescriptorCarriesThem)
{
    ctl->unplug(first);
    emu::EmulatorControl::NewPrinter p;
    p.vendor_id = vid;
    p.product_id = pid;
    p.manufacturer = std::string(120, 'M');  // under both limits: whole
    p.product = std::string(200, 'P');       // more than a descriptor holds
    p.serial = "Dr\xC3\xBC"
               "cker-\xF0\x9F\x96\xA8";  // outside ASCII: one '?' per UTF-16 unit
    ctl->plug(p);
    std::vector<Record> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::string(out[0].info.manufacturer), std::string(120, 'M'));
    // A string descriptor holds at most 126 UTF-16 units (255 bytes), fewer
    // than the 127 characters the 128-byte read limit would let through.
    EXPECT_EQ(std::string(out[0].info.product), std::string(126, 'P'));
    EXPECT_STREQ(out[0].info.serial, "Dr?cker-??");
}

TEST_F(Discovery, APrinterWithoutSerialGetsAnEmptyField)
{
    ctl->unplug(first);
    emu::EmulatorControl::NewPrinter p;
    p.vendor_id = 0x1E4B;
    p.product_id = 0x0110;
    p.bus = 2;
    p.address = 3;
    p.no_serial = true;
    ctl->plug(p);
    std::vector<Record> out;
    ASSERT_EQ(list(&out), com::COM_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bus_number, 2);
    EXPECT_EQ(out[0].device_address, 3);
    EXPECT_STREQ(out[0].info.product, "Velmora Ephra serials 3D Printer");
    EXPECT_STREQ(out[0].info.serial, "");
}

// Each listing initialises libusb afresh; with no link alive it scans the bus
// anew and sees a change at once.
TEST_F(Discovery, WithoutALiveLinkAListingSeesAChangeAtOnce)
{
    ASSERT_EQ(listed().size(), 1u);
    ctl->unplug(first);
    EXPECT_TRUE(listed().empty());
    ctl->plug_back(first);
    const auto out = listed();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].device_address, 5) << "a printer plugged in again gets a new address";
}

// While a link holds libusb's default context, a listing is served from
// libusb's hotplug cache: a change shows once libusb has taken the uevent.
TEST_F(Discovery, WithALiveLinkPlugAndUnplugShowInALaterListing)
{
    make_link();
    ASSERT_EQ(listed().size(), 1u);
    auto start = systemtest::Clock::now();
    ctl->unplug(first);
    EXPECT_TRUE(wait_for([&] { return listed().empty(); })) << "the unplug never showed";
    RecordProperty("unplug_seen_ms", std::to_string(systemtest::ms_since(start)));
    start = systemtest::Clock::now();
    ctl->plug_back(first, 12);
    EXPECT_TRUE(wait_for([&] {
        const auto out = listed();
        return out.size() == 1 && out[0].device_address == 12;
    })) << "the printer plugged in again never showed";
    RecordProperty("plug_seen_ms", std::to_string(systemtest::ms_since(start)));
    EXPECT_EQ(stderr_text, "");
}

// Port paths come from the device's place in sysfs, hubs on the way
// included; the monitor hears plugging through libusb's hotplug events.
TEST_F(Discovery, PrintersBehindAHubHaveTheirPortPathAndTheMonitorHearsThem)
{
    com::UsbMonitor::Options options;
    options.settle_ms = 50;
    com::UsbMonitor monitor(options);
    ASSERT_EQ(monitor.start(), com::COM_SUCCESS);
    ASSERT_TRUE(monitor.uses_hotplug());
    std::vector<com::UsbMonitor::Change> changes;
    const auto next = [&](com::UsbMonitor::Kind kind) {
        for (int i = 0; i < 30; ++i) {
            if (!changes.empty()) {
                const com::UsbMonitor::Change c = changes.front();
                changes.erase(changes.begin());
                if (c.kind == kind)
                    return com::port_path_text(c.printer.port) + " " + com::place_text(com::place_of(c.printer.device));
                return std::string("another change first: ") + com::port_path_text(c.printer.port);
            }
            monitor.wait(100, &changes);
        }
        return std::string("nothing");
    };
    EXPECT_EQ(next(com::UsbMonitor::Kind::arrived), "1-1 1:5");
    EXPECT_EQ(next(com::UsbMonitor::Kind::settled), "1-1 1:5");

    emu::EmulatorControl::NewPrinter p;
    p.vendor_id = vid;
    p.product_id = pid;
    p.bus = 2;
    p.address = 7;
    p.ports = {1, 4};
    const int behind_hub = ctl->plug(p);
    EXPECT_EQ(next(com::UsbMonitor::Kind::arrived), "2-1.4 2:7");
    EXPECT_EQ(next(com::UsbMonitor::Kind::settled), "2-1.4 2:7");
    std::vector<com::UsbPrinterRecord> listed_now;
    ASSERT_EQ(com::ComFactory().list_usb_printers(&listed_now), com::COM_SUCCESS);
    std::vector<std::string> paths;
    for (const auto& r : listed_now)
        paths.push_back(com::port_path_text(r.port) + " " + r.device.info.serial);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"1-1 SN1-5", "2-1.4 SN2-7"})) << "the hub itself is no printer";

    ctl->unplug(behind_hub);
    EXPECT_EQ(next(com::UsbMonitor::Kind::left), "2-1.4 2:7");
    ctl->plug_back(behind_hub);
    const std::string again = next(com::UsbMonitor::Kind::arrived);
    EXPECT_EQ(again.substr(0, 8), "2-1.4 2:") << "at the same port, at another address";
    EXPECT_NE(again, "2-1.4 2:7");
    EXPECT_EQ(ctl->printers().back().ports, (std::vector<int>{1, 4}));
    p.address = 0;
    EXPECT_THROW(ctl->plug(p), emu::ControlClient::Error) << "the port is taken";
    p.ports = {1};
    EXPECT_THROW(ctl->plug(p), emu::ControlClient::Error) << "a hub is there";
}

}  // namespace

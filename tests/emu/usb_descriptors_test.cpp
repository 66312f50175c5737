// The one USB descriptor encoder, and the descriptors every printer of the
// table presents with it.  tests/kernel checks the same bytes against what
// the real kernel reads back from the gadget.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/devices.h"
#include "printer/usb_descriptors.h"

namespace {

using emu::usb::Bytes;

unsigned le16(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

struct StringCase {
    const char* what;
    std::string utf8;
    Bytes expected;  // empty: only the length is checked, see `length`
    std::size_t length;
};

TEST(UsbDescriptors, StringsAreUtf16CutToWhatADescriptorHolds)
{
    const StringCase cases[] = {
        {"ASCII", "Ab", {6, 3, 'A', 0, 'b', 0}, 6},
        {"U+00C4, U+20AC and U+1F5A8 as a surrogate pair",
         "A\xC3\x84\xE2\x82\xAC\xF0\x9F\x96\xA8",
         {12, 3, 'A', 0, 0xC4, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0xA8, 0xDD},
         12},
        {"a lead byte with nothing after it", "\xC3", {4, 3, 0xFD, 0xFF}, 4},
        {"an encoded surrogate", "\xED\xA0\x80", {4, 3, 0xFD, 0xFF}, 4},
        {"an overlong encoding", "\xC0\xAF", {4, 3, 0xFD, 0xFF}, 4},
        {"too long: cut at 126 units", std::string(300, 'x'), {}, 254},
        {"a pair that would end past the limit is left out whole",
         std::string(125, 'a') + "\xF0\x9F\x96\xA8",
         {},
         2 + 2 * 125},
    };
    for (const StringCase& c : cases) {
        const Bytes d = emu::usb::string_descriptor(c.utf8);
        if (!c.expected.empty()) {
            EXPECT_EQ(d, c.expected) << c.what;
        }
        ASSERT_EQ(d.size(), c.length) << c.what;
        EXPECT_EQ(d[0], c.length) << c.what;
        EXPECT_EQ(d[1], 3) << c.what;
    }
    EXPECT_EQ(emu::usb::language_descriptor(), (Bytes{4, 3, 0x09, 0x04}));
}

TEST(UsbDescriptors, PrinterStringsByIndexAndNoneWhereTheTextIsEmpty)
{
    emu::Identity id = emu::printer_identity(com::ids::vendor_halvenn, com::ids::product_orbrey, 1, 5);
    EXPECT_EQ(emu::printer_string(id, 0), (Bytes{4, 3, 0x09, 0x04}));
    const Bytes product = emu::printer_string(id, emu::usb::product_index);
    ASSERT_EQ(product.size(), 2 + 2 * std::string("Halvenn Orbrey 3D Printer").size());
    EXPECT_EQ(product[2], 'H');
    EXPECT_EQ(emu::printer_string(id, emu::usb::serial_index), emu::usb::string_descriptor("SN1-5"));
    EXPECT_TRUE(emu::printer_string(id, 4).empty());

    id.serial.clear();
    EXPECT_TRUE(emu::printer_string(id, emu::usb::serial_index).empty()) << "stalled";
    EXPECT_EQ(emu::printer_device_descriptor(id)[16], 0) << "no serial string";

    const emu::Identity nameless = emu::printer_identity(0x1234, 0x5678, 1, 5);
    const Bytes d = emu::printer_device_descriptor(nameless);
    EXPECT_EQ(Bytes(d.begin() + 14, d.begin() + 16), (Bytes{0, 0})) << "ids of no row have no strings";
    EXPECT_TRUE(emu::printer_string(nameless, emu::usb::manufacturer_index).empty());
}

// The endpoint addresses and packet sizes of the configuration in `b`,
// checking its frame on the way.
void read_configuration(const Bytes& b, std::vector<unsigned>* addresses, std::vector<unsigned>* packets)
{
    ASSERT_GE(b.size(), 18u);
    EXPECT_EQ(b[0], 9);
    EXPECT_EQ(b[1], 2) << "a configuration descriptor";
    EXPECT_EQ(le16(b, 2), b.size()) << "wTotalLength covers exactly the descriptors";
    EXPECT_EQ(b[5], 1) << "configuration value 1";
    EXPECT_NE(b[7] & 0x80, 0) << "bmAttributes bit 7 is always set";
    EXPECT_EQ(Bytes(b.begin() + 9, b.begin() + 11), (Bytes{9, 4})) << "an interface descriptor";
    EXPECT_EQ(b[9 + 4], 4) << "with four endpoints";
    EXPECT_EQ(b[9 + 5], 0xFF) << "vendor-specific";
    for (std::size_t p = 18; p < b.size(); p += 7) {
        EXPECT_EQ(Bytes(b.begin() + static_cast<long>(p), b.begin() + static_cast<long>(p) + 2), (Bytes{7, 5}));
        EXPECT_EQ(b[p + 3], 2) << "bulk";
        addresses->push_back(b[p + 2]);
        packets->push_back(le16(b, p + 4));
    }
}

TEST(UsbDescriptors, EverySupportedPrinterWithItsIdsStringIndexesAndEndpointSet)
{
    for (const com::DeviceInfo& row : com::supported_rows()) {
        SCOPED_TRACE(row.product);
        const emu::Identity id = emu::printer_identity(row.vendor_id, row.product_id, 1, 5);
        const Bytes device = emu::printer_device_descriptor(id);
        ASSERT_EQ(device.size(), 18u);
        EXPECT_EQ(Bytes(device.begin(), device.begin() + 4), (Bytes{18, 1, 0x00, 0x02})) << "USB 2.0";
        EXPECT_EQ(le16(device, 8), row.vendor_id);
        EXPECT_EQ(le16(device, 10), row.product_id);
        EXPECT_EQ(Bytes(device.begin() + 14, device.end()), (Bytes{1, 2, 3, 1})) << "strings 1-3, one configuration";

        const com::EndpointSet set = com::endpoints_for_product(row.product_id);
        const std::vector<unsigned> expected{set.cmd_in, set.cmd_out, set.data_in, set.data_out};
        for (const std::uint16_t packet : {emu::usb::full_speed_bulk_packet, emu::usb::high_speed_bulk_packet}) {
            std::vector<unsigned> addresses, packets;
            read_configuration(emu::printer_configuration(id, packet), &addresses, &packets);
            EXPECT_EQ(addresses, expected);
            EXPECT_EQ(packets, std::vector<unsigned>(4, packet));
        }
    }
}

}  // namespace

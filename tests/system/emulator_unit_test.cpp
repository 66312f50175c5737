// The emulator's own parts that need no bus: the control protocol's escapes,
// the descriptors a printer presents, the printer options, and the model's
// answer to "would an IN transfer wait now?".
#include <gtest/gtest.h>

#include "control_protocol.h"
#include "printer/printer.h"
#include "printer_emulator.h"
#include "usb_descriptors.h"

namespace {

namespace control = emu::control;

TEST(ControlProtocol, EscapedTextHoldsNoSeparatorAndComesBackWhole)
{
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    every += "~M28 12 0:/sys/a,b\\c\r\n";
    const std::string escaped = control::escape(every);
    for (char c : escaped) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte > 0x20 && byte < 0x7F && c != ',') << "byte " << int(byte);
    }
    std::string back;
    ASSERT_TRUE(control::unescape(escaped, &back));
    EXPECT_EQ(back, every);
}

TEST(ControlProtocol, MalformedEscapesAndNumbersAreRefused)
{
    std::string out;
    for (const char* bad : {"\\", "a\\", "\\q", "\\x4", "\\xZ1", "\\x1"})
        EXPECT_FALSE(control::unescape(bad, &out)) << bad;
    unsigned long long n = 0;
    EXPECT_TRUE(control::parse_number("0x81", &n));
    EXPECT_EQ(n, 0x81u);
    EXPECT_TRUE(control::parse_number("4096", &n));
    EXPECT_EQ(n, 4096u);
    for (const char* bad : {"", "-1", "+2", "0x", "12a", " 1", "99999999999999999999999"})
        EXPECT_FALSE(control::parse_number(bad, &n)) << bad;
    std::string bytes;
    EXPECT_TRUE(control::from_hex(control::to_hex(std::string("\x00\xff\x10", 3)), &bytes));
    EXPECT_EQ(bytes, std::string("\x00\xff\x10", 3));
    EXPECT_FALSE(control::from_hex("abc", &bytes));
    EXPECT_FALSE(control::from_hex("zz", &bytes));
}

TEST(PrinterOptions, IdsAndKeysAreParsedAndMistakesRefused)
{
    emu::PrinterOptions o;
    std::string error;
    ASSERT_TRUE(emu::parse_printer_options("1e4b:0104,bus=2,addr=9,serial=A\\sB,product=P\\c1", &o, &error))
        << error;
    EXPECT_EQ(o.vendor_id, 0x1E4B);
    EXPECT_EQ(o.product_id, 0x0104);
    EXPECT_EQ(o.bus, 2);
    EXPECT_EQ(o.address, 9);
    EXPECT_EQ(o.serial, std::string("A B"));
    EXPECT_EQ(o.product, std::string("P,1"));
    EXPECT_FALSE(o.manufacturer.has_value());

    ASSERT_TRUE(emu::parse_printer_options("2C7E:4201,serial=", &o, &error));
    EXPECT_EQ(o.serial, std::string()) << "an empty serial: the printer has none";
    EXPECT_EQ(o.address, 0) << "the bus picks one";

    for (const char* bad : {"2C7E", "2C7E:", "0:4201", "2C7E:12345", "2C7E:4201,addr=1", "2C7E:4201,addr=128",
                            "2C7E:4201,bus=0", "2C7E:4201,colour=red", "2C7E:4201,serial", "xyz:4201"})
        EXPECT_FALSE(emu::parse_printer_options(bad, &o, &error)) << bad;
}

TEST(Descriptors, StringsAreUtf16CutToWhatADescriptorHolds)
{
    EXPECT_EQ(emu::string_descriptor("Ab"), (emu::Bytes{6, 3, 'A', 0, 'b', 0}));
    EXPECT_EQ(emu::language_descriptor(), (emu::Bytes{4, 3, 0x09, 0x04}));

    const emu::Bytes longest = emu::string_descriptor(std::string(300, 'x'));
    EXPECT_EQ(longest.size(), 254u);
    EXPECT_EQ(longest[0], 254);

    // U+00FC and U+1F5A8 (a surrogate pair).
    EXPECT_EQ(emu::string_descriptor("\xC3\xBC\xF0\x9F\x96\xA8"),
              (emu::Bytes{8, 3, 0xFC, 0x00, 0x3D, 0xD8, 0xA8, 0xDD}));
    // A pair that would end past the limit is left out whole.
    const emu::Bytes edge = emu::string_descriptor(std::string(125, 'a') + "\xF0\x9F\x96\xA8");
    EXPECT_EQ(edge[0], 2 + 2 * 125);
    // Broken UTF-8 becomes U+FFFD instead of garbage.
    EXPECT_EQ(emu::string_descriptor("\xC3"), (emu::Bytes{4, 3, 0xFD, 0xFF}));
    EXPECT_EQ(emu::string_descriptor("\xED\xA0\x80"), (emu::Bytes{4, 3, 0xFD, 0xFF})) << "an encoded surrogate";
}

TEST(Descriptors, PrinterDescriptorsCarryIdsStringIndexesAndEndpoints)
{
    emu::DeviceStrings strings{"Maker", "Printer", ""};
    emu::PrinterEndpoints set_b{0x81, 0x02, 0x83, 0x04};
    const emu::Bytes d = emu::printer_descriptors(0x1E4B, 0x0104, strings, set_b);
    ASSERT_EQ(d.size(), 18u + 9u + 9u + 4u * 7u);
    EXPECT_EQ(d[8] | (d[9] << 8), 0x1E4B);
    EXPECT_EQ(d[10] | (d[11] << 8), 0x0104);
    EXPECT_EQ(d[14], emu::manufacturer_index);
    EXPECT_EQ(d[15], emu::product_index);
    EXPECT_EQ(d[16], 0) << "no serial string";
    EXPECT_EQ(d[18 + 2] | (d[18 + 3] << 8), 9 + 9 + 4 * 7) << "wTotalLength";
    EXPECT_EQ(d[18 + 9 + 4], 4) << "four endpoints";
    std::vector<int> addresses;
    for (int i = 0; i < 4; ++i) {
        const std::size_t at = 18 + 9 + 9 + 7 * static_cast<std::size_t>(i);
        EXPECT_EQ(d[at + 1], 5);
        EXPECT_EQ(d[at + 3], 2) << "bulk";
        addresses.push_back(d[at + 2]);
    }
    EXPECT_EQ(addresses, (std::vector<int>{0x81, 0x02, 0x83, 0x04}));
}

TEST(PrinterModel, AnInTransferWaitsOnlyWhenItWouldFindNothing)
{
    emu::Printer p;
    EXPECT_TRUE(p.in_transfer_would_wait(0x81)) << "no reply queued";
    EXPECT_TRUE(p.in_transfer_would_wait(0x83)) << "the printer never sends there";
    EXPECT_FALSE(p.in_transfer_would_wait(0x85)) << "no such endpoint: the transfer fails at once";

    const std::string take = "~M601 S0\r\n";
    p.bulk_out(0x01, reinterpret_cast<const std::uint8_t*>(take.data()), take.size(), 0);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a reply is queued";
    std::uint8_t buffer[4096];
    for (int i = 0; i < 3; ++i)
        p.bulk_in(0x81, buffer, sizeof buffer, 0);
    EXPECT_TRUE(p.in_transfer_would_wait(0x81));
    const auto count = p.transfer_count();

    p.fault_at(count, emu::FaultKind::stall);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a planned fault acts at once";
    EXPECT_EQ(p.bulk_in(0x81, buffer, sizeof buffer, 0).status, emu::Status::stall);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a halted endpoint stalls at once";
    p.clear_halt(0x81);
    EXPECT_TRUE(p.in_transfer_would_wait(0x81));

    p.fault_at(p.transfer_count(), emu::FaultKind::silence);
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "the model consumes a planned silence itself";
    p.unplug();
    EXPECT_FALSE(p.in_transfer_would_wait(0x81)) << "a printer that left answers at once";
    EXPECT_EQ(p.transfer_count(), count + 1) << "asking records nothing";
}

}  // namespace

// Who an emulated printer is: the defaults from the printer table, and the
// "VID:PID[,key=value...]" form the emulator's command line and the control
// language take.
#include <gtest/gtest.h>

#include "com/devices.h"
#include "printer/identity.h"

namespace {

TEST(PrinterIdentity, TheTableRowGivesStringsAndEndpointsThePlaceGivesTheSerial)
{
    const emu::Identity orbrey = emu::printer_identity(com::ids::vendor_halvenn, com::ids::product_orbrey, 2, 9);
    const com::DeviceInfo* row = com::find_supported_device(com::ids::vendor_halvenn, com::ids::product_orbrey);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(orbrey.manufacturer, row->manufacturer);
    EXPECT_EQ(orbrey.product, row->product);
    EXPECT_EQ(orbrey.serial, "SN2-9");
    EXPECT_EQ(orbrey.endpoints.cmd_out, 0x01);
    EXPECT_EQ(orbrey.endpoints.data_out, 0x03);

    const emu::Identity set_b = emu::printer_identity(com::ids::vendor_velmora, 0x0106, 1, 5);
    EXPECT_EQ(set_b.endpoints.cmd_out, 0x02);
    EXPECT_EQ(set_b.endpoints.data_out, 0x04);
    EXPECT_EQ(emu::printer_identity(com::ids::vendor_velmora, 0x0105, 1, 5).endpoints.cmd_out, 0x01);

    const emu::Identity nameless = emu::printer_identity(0x1234, 0x5678, 1, 5);
    EXPECT_TRUE(nameless.manufacturer.empty() && nameless.product.empty());
}

TEST(PrinterIdentity, RequestsAreParsedAndMistakesRefused)
{
    emu::PrinterRequest r;
    std::string error;
    ASSERT_TRUE(emu::parse_printer_request("1e4b:0104,bus=2,addr=9,serial=A\\sB,product=P\\c1", &r, &error)) << error;
    EXPECT_EQ(r.vendor_id, 0x1E4B);
    EXPECT_EQ(r.product_id, 0x0104);
    EXPECT_EQ(r.bus, 2);
    EXPECT_EQ(r.address, 9);
    EXPECT_EQ(r.serial, std::string("A B"));
    EXPECT_EQ(r.product, std::string("P,1"));
    EXPECT_FALSE(r.manufacturer.has_value());
    const emu::Identity id = emu::printer_identity(r, 9);
    EXPECT_EQ(id.serial, "A B");
    EXPECT_EQ(id.product, "P,1");
    EXPECT_EQ(id.manufacturer, com::find_supported_device(0x1E4B, 0x0104)->manufacturer) << "the row's";

    ASSERT_TRUE(emu::parse_printer_request("2C7E:4201,serial=", &r, &error));
    EXPECT_EQ(r.serial, std::string()) << "an empty serial: the printer has none";
    EXPECT_EQ(r.address, 0) << "the bus picks one";
    EXPECT_EQ(emu::printer_identity(r, 5).serial, "");

    for (const char* bad :
         {"2C7E", "2C7E:", "0:4201", "2C7E:12345", "2C7E:4201,addr=1", "2C7E:4201,addr=128", "2C7E:4201,bus=0",
          "2C7E:4201,colour=red", "2C7E:4201,serial", "xyz:4201", "2C7E:4201,serial=\\q"})
        EXPECT_FALSE(emu::parse_printer_request(bad, &r, &error)) << bad;
}

}  // namespace

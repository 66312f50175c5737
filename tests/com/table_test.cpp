// Result codes and the supported-printer table.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

#include "com/devices.h"
#include "com/result.h"

namespace {

TEST(ResultCodes, LibraryTextsStandInCodeOrder)
{
    EXPECT_STREQ(com::result_messages[com::COM_SUCCESS], "success");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_UNKNOWN], "unknown error");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_INIT_LIB], "init lib failure");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_CONNECT], "connect to printer failure");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_INVALID_INFO], "invalid info from device");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_UNKNOWN_DEVICE], "unknown usb device");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_TIMEOUT], "access printer timeout");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_OVERFLOW],
                 "the device offered more data, or receive buf is too small");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_CANCELED], "operation be canceled");
    EXPECT_STREQ(com::result_messages[com::COM_ERR_DISK_FULL], "disk out of space");
    std::set<std::string> distinct;
    for (int code = 0; code < com::result_code_count; ++code) {
        ASSERT_NE(com::result_messages[code], nullptr) << code;
        distinct.insert(com::result_messages[code]);
    }
    EXPECT_EQ(distinct.size(), 17u);
}

TEST(ResultCodes, AccessorHasTextsOnlyForTheClosedSet)
{
    for (int code = 0; code <= 16; ++code)
        EXPECT_EQ(com::result_message(code), com::result_messages[code]);
    EXPECT_EQ(com::result_message(-1), nullptr);
    EXPECT_EQ(com::result_message(17), nullptr);
    EXPECT_EQ(com::result_message(1 << 30), nullptr);
}

TEST(SupportedDevices, TableHoldsElevenRowsThenZeros)
{
    int filled = 0;
    while (filled < com::supported_device_slots &&
           (com::supported_devices[filled].vendor_id || com::supported_devices[filled].product_id))
        ++filled;
    EXPECT_EQ(filled, 11);
    for (int row = filled; row < com::supported_device_slots; ++row) {
        const com::DeviceInfo& info = com::supported_devices[row];
        EXPECT_EQ(info.vendor_id, 0);
        EXPECT_EQ(info.product_id, 0);
        EXPECT_EQ(info.manufacturer[0], '\0');
        EXPECT_EQ(info.product[0], '\0');
    }
    for (int row = 0; row < filled; ++row)
        EXPECT_STREQ(com::supported_devices[row].serial, "") << "row " << row + 1;
}

TEST(SupportedDevices, RowsCarryTheFamilyIds)
{
    const std::pair<unsigned, unsigned> expected[11] = {
        {0x1E4A, 0x0101}, {0x1E4B, 0x0101}, {0x1E4B, 0x0102}, {0x1E4B, 0x0103}, {0x1E4B, 0x0104}, {0x1E4B, 0x0105},
        {0x1E4B, 0x0106}, {0x1E4B, 0x0107}, {0x1E4B, 0x0110}, {0x2C7E, 0x4201}, {0x2C7E, 0x4203}};
    for (int row = 0; row < 11; ++row) {
        EXPECT_EQ(com::supported_devices[row].vendor_id, expected[row].first) << "row " << row + 1;
        EXPECT_EQ(com::supported_devices[row].product_id, expected[row].second) << "row " << row + 1;
    }
    EXPECT_STREQ(com::supported_devices[9].manufacturer, "Edvin Halvenn Tool Corporation");
    EXPECT_STREQ(com::supported_devices[9].product, "Halvenn Orbrey 3D Printer");
    EXPECT_STREQ(com::supported_devices[10].product, "Halvenn Orbrey-II 3D Printer");
    EXPECT_STREQ(com::supported_devices[2].product, com::supported_devices[7].product);
}

TEST(FindSupportedDevice, EveryRowIsFoundByItsOwnIds)
{
    for (int row = 0; row < 11; ++row) {
        const com::DeviceInfo& info = com::supported_devices[row];
        EXPECT_EQ(com::find_supported_device(info.vendor_id, info.product_id), &info) << "row " << row + 1;
    }
}

TEST(FindSupportedDevice, RowsWithTheSameStringsAreToldApartByTheirIds)
{
    // Rows 1 and 2 share strings and product id; only the vendor id differs.
    EXPECT_EQ(com::find_supported_device(0x1E4A, 0x0101), &com::supported_devices[0]);
    EXPECT_EQ(com::find_supported_device(0x1E4B, 0x0101), &com::supported_devices[1]);
}

TEST(FindSupportedDevice, UnknownPairsAreNotSupported)
{
    EXPECT_EQ(com::find_supported_device(0, 0), nullptr);
    EXPECT_EQ(com::find_supported_device(0x1E4A, 0x0102), nullptr);  // V1 only has P1
    EXPECT_EQ(com::find_supported_device(0x2C7E, 0x4202), nullptr);  // between the two Orbrey rows
    EXPECT_EQ(com::find_supported_device(0x1E4B, 0x0108), nullptr);  // just past row 8
    EXPECT_EQ(com::find_supported_device(0x2C7E, 0), nullptr);
    EXPECT_EQ(com::find_supported_device(0, 0x4201), nullptr);
}

TEST(Endpoints, SetBBelongsToThreeProductIdsWhateverTheVendor)
{
    for (std::uint16_t pid : {0x0104, 0x0106, 0x0107}) {
        const com::EndpointSet set = com::endpoints_for_product(pid);
        EXPECT_EQ(set.cmd_in, 0x81);
        EXPECT_EQ(set.cmd_out, 0x02);
        EXPECT_EQ(set.data_in, 0x83);
        EXPECT_EQ(set.data_out, 0x04);
    }
    for (std::uint16_t pid : {0x0101, 0x0102, 0x0103, 0x0105, 0x0110, 0x4201, 0x4203}) {
        const com::EndpointSet set = com::endpoints_for_product(pid);
        EXPECT_EQ(set.cmd_out, 0x01) << std::hex << pid;
        EXPECT_EQ(set.data_out, 0x03) << std::hex << pid;
    }
}

}  // namespace

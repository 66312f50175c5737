// The udev rule the packages install, as the build wrote it, against the
// printer table: every supported printer, and nothing else, with the access
// both kinds of user need.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>

#include "com/devices.h"

namespace {

TEST(UdevRule, GivesEveryPrinterOfTheTableToTheSeatAndToPlugdev)
{
    std::ifstream rule(ZARVIK_UDEV_RULE_FILE);
    ASSERT_TRUE(rule) << ZARVIK_UDEV_RULE_FILE;
    const std::regex line_form(
        "SUBSYSTEM==\"usb\", ENV\\{DEVTYPE\\}==\"usb_device\", ATTR\\{idVendor\\}==\"([0-9a-f]{4})\", "
        "ATTR\\{idProduct\\}==\"([0-9a-f]{4})\", TAG\\+=\"uaccess\", MODE=\"0660\", GROUP=\"plugdev\"");
    std::set<std::pair<unsigned, unsigned>> in_rule;
    std::string line;
    while (std::getline(rule, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_form)) << "not a rule of the expected form: " << line;
        EXPECT_TRUE(in_rule.insert({std::stoul(m[1], nullptr, 16), std::stoul(m[2], nullptr, 16)}).second)
            << "twice: " << line;
    }
    std::set<std::pair<unsigned, unsigned>> in_table;
    for (const com::DeviceInfo& row : com::supported_rows()) {
        in_table.insert({row.vendor_id, row.product_id});
    }
    EXPECT_EQ(in_rule, in_table);
    EXPECT_EQ(in_table.size(), 11u);
}

}  // namespace

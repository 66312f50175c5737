// The farm's rules on their own: what each printer must show after a run,
// and reading zarvik's two kinds of report.  A rule that let a fault through
// would make every farm run pass.
#include <gtest/gtest.h>

#include <set>

#include "farm_check.h"

namespace {

using farm::FaultClass;

const std::vector<std::string> plan = {"0:/sys/orbrey.bin", "0:/sys/fonts.xbf"};
const std::vector<std::string> names = {"orbrey.bin", "fonts.xbf"};

farm::Held updated_printer()
{
    farm::Held h;
    h.place = "1:5";
    h.installs = {{"0:/sys/orbrey.bin", true}, {"0:/sys/fonts.xbf", true}};
    h.commands = {"~M601 S0", "~M28 40000 0:/sys/orbrey.bin", "~M29", "~M600", "~M602"};
    return h;
}

struct Case {
    const char* what;
    void (*change)(farm::Held&, farm::Reported&, farm::Fault&);
    std::size_t failures;
};

const Case cases[] = {
    {"an updated printer, as reported", [](farm::Held&, farm::Reported&, farm::Fault&) {}, 0},
    {"still held", [](farm::Held& h, farm::Reported&, farm::Fault&) { h.under_control = true; }, 1},
    {"held, but gone", [](farm::Held& h, farm::Reported&, farm::Fault&) { h.under_control = true, h.plugged = false; },
     0},
    {"an upload left open",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { h.upload_open = true, h.upload_path = "0:/sys/fonts.xbf"; }, 1},
    {"given back right after \"~M28\"",
     [](farm::Held& h, farm::Reported& r, farm::Fault& f) {
         h.upload_open = true;
         h.installs.pop_back();
         h.commands.back() = "~M28 9000 0:/sys/fonts.xbf";
         h.commands.push_back("~M602");
         r = farm::Reported{false, {"orbrey.bin"}, ""};
         f = farm::Fault{FaultClass::failed_transfer, "stall", 28, 0};
     },
     1},
    {"took up a file that did not arrive whole",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { h.installs[1].second = false; }, 1},
    {"holds a whole file that differs",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { h.differing = {"0:/sys/orbrey.bin"}; }, 1},
    {"saw what a careful host never does",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { h.violations = {"take-up without control"}; }, 1},
    {"reported updated, one file not taken up",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { h.installs.pop_back(); }, 1},
    {"reported installed, nothing taken up",
     [](farm::Held& h, farm::Reported& r, farm::Fault& f) {
         h.installs.clear();
         r = farm::Reported{false, {"orbrey.bin"}, ""};
         f.what = FaultClass::vanish;
     },
     1},
    {"taken up after the take-up command, reported not installed",
     [](farm::Held& h, farm::Reported& r, farm::Fault& f) {
         h.installs.pop_back();
         r = farm::Reported{false, {}, ""};
         f.what = FaultClass::failed_transfer;
     },
     1},
    {"taken up after the take-up command, and the report says it may have been",
     [](farm::Held& h, farm::Reported& r, farm::Fault& f) {
         h.installs.pop_back();
         r = farm::Reported{false, {}, "orbrey.bin"};
         f.what = FaultClass::failed_transfer;
     },
     0},
    {"not taken up, and the report says it may have been",
     [](farm::Held& h, farm::Reported& r, farm::Fault& f) {
         h.installs.clear();
         r = farm::Reported{false, {}, "orbrey.bin"};
         f.what = FaultClass::failed_transfer;
     },
     0},
    {"taken up in another order",
     [](farm::Held& h, farm::Reported&, farm::Fault&) { std::swap(h.installs[0], h.installs[1]); }, 1},
    {"no fault, yet not updated",
     [](farm::Held& h, farm::Reported& r, farm::Fault&) {
         h.installs.pop_back();
         r = farm::Reported{false, {"orbrey.bin"}, ""};
     },
     1},
    {"reported not updated with every file installed",
     [](farm::Held&, farm::Reported& r, farm::Fault& f) { r.succeed = false, f.what = FaultClass::silence; }, 1},
};

TEST(FarmRules, EachRuleCatchesWhatBreaksIt)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        farm::Held held = updated_printer();
        farm::Reported reported{true, names, ""};
        farm::Fault fault;
        c.change(held, reported, fault);
        farm::Findings findings;
        farm::check_printer(held, &reported, fault, plan, &findings);
        EXPECT_EQ(findings.failures.size(), c.failures) << (findings.failures.empty() ? "" : findings.failures[0]);
    }
    farm::Findings findings;
    farm::check_printer(updated_printer(), nullptr, farm::Fault{}, plan, &findings);
    EXPECT_EQ(findings.failures.size(), 1u) << "a printer the report leaves out";
}

TEST(FarmReports, PlainSummaryAndJsonLinesReadAlike)
{
    const std::string plain = "1:5 FARM-1: installed orbrey.bin\n"
                              "summary: 1 of 3 printers updated\n"
                              "1:5 FARM-1: updated\n"
                              "1:6 FARM-2: failed: device disconnected; installed: none; may have been taken up: "
                              "orbrey.bin; not installed: fonts.xbf\n"
                              "1:7 FARM-3: stopped: operation be canceled; installed: none; not installed: orbrey.bin, "
                              "fonts.xbf\n";
    const std::string json =
        "{\"event\":\"plan\",\"files\":[]}\n"
        "{\"event\":\"done\",\"printer\":\"1:5\",\"succeed\":true,\"installed\":[\"orbrey.bin\",\"fonts.xbf\"]}\n"
        "{\"event\":\"done\",\"printer\":\"1:6\",\"succeed\":false,\"installed\":[],"
        "\"may_have_been_taken_up\":[\"orbrey.bin\"]}\n"
        "{\"event\":\"done\",\"printer\":\"1:7\",\"succeed\":false,\"installed\":[]}\n";
    for (const farm::Report& r : {farm::read_plain(plain, names), farm::read_json(json)}) {
        EXPECT_TRUE(r.problems.empty()) << r.problems.front();
        ASSERT_EQ(r.printers.size(), 3u);
        EXPECT_TRUE(r.printers.at("1:5").succeed);
        EXPECT_EQ(r.printers.at("1:5").installed, names);
        EXPECT_FALSE(r.printers.at("1:6").succeed);
        EXPECT_TRUE(r.printers.at("1:6").installed.empty());
        EXPECT_EQ(r.printers.at("1:6").may_be_taken_up, "orbrey.bin");
        EXPECT_TRUE(r.printers.at("1:7").installed.empty());
    }
    EXPECT_EQ(farm::read_plain(plain, names).summary_updated, 1);
    EXPECT_FALSE(farm::read_plain("1:5 FARM-1: updated\n", names).problems.empty()) << "no summary";
    EXPECT_FALSE(farm::read_json(json + json).problems.empty()) << "two done events for one printer";
    EXPECT_FALSE(farm::read_json("{\"event\":\"done\"\n").problems.empty()) << "a line cut short";
}

TEST(FarmFaults, ASeedAloneDecidesThePlanWhichStaysInItsBounds)
{
    std::set<std::string> kinds;
    int faulted = 0, printers = 0;
    for (unsigned seed = 1; seed <= 200; ++seed) {
        const auto plan_a = farm::plan_faults(seed, 8, 46, 49000);
        const auto plan_b = farm::plan_faults(seed, 8, 46, 49000);
        ASSERT_EQ(plan_a.size(), 8u);
        for (std::size_t i = 0; i < plan_a.size(); ++i) {
            const farm::Fault& f = plan_a[i];
            EXPECT_EQ(f.text(), plan_b[i].text()) << "seed " << seed;
            ++printers;
            if (f.what == FaultClass::none)
                continue;
            ++faulted;
            kinds.insert(f.kind);
            const bool in_bytes = f.what == FaultClass::full_store || f.kind == "vanish-after";
            EXPECT_LT(f.at, in_bytes ? 49001u : 46u) << f.text();
        }
    }
    EXPECT_EQ(kinds.size(), 9u) << "every kind of fault comes up";
    EXPECT_NEAR(faulted, printers / 2, printers / 10);
    const auto whole = [](unsigned seed) {
        std::string text;
        for (const farm::Fault& f : farm::plan_faults(seed, 8, 46, 49000))
            text += f.text() + " ";
        return text;
    };
    EXPECT_NE(whole(1), whole(2));
}

}  // namespace

#include "farm_check.h"

#include <cstdio>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

namespace farm {

namespace {

const char* const failed_transfers[] = {"io_error", "stall", "overflow", "zero_length", "short_transfer"};
constexpr const char* system_folder = "0:/sys/";

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

std::vector<std::string> split_list(const std::string& text)
{
    std::vector<std::string> items;
    if (text == "none")
        return items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(", ", start);
        items.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return items;
        start = end + 2;
    }
}

}  // namespace

std::string Fault::text() const
{
    switch (what) {
    case FaultClass::none:
        return "-";
    case FaultClass::full_store:
        return "capacity " + std::to_string(at);
    default:
        break;
    }
    if (kind == "vanish-after")
        return "vanish after " + std::to_string(at) + " data bytes";
    std::string text = kind + "@" + std::to_string(at);
    if (amount)
        text += "+" + std::to_string(amount);
    return text;
}

std::vector<Fault> plan_faults(unsigned seed, int printers, std::uint64_t transfers, std::uint64_t data_bytes)
{
    std::mt19937 random(seed);
    const auto pick = [&](std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
    };
    std::vector<Fault> faults;
    for (int p = 0; p < printers; ++p) {
        Fault f;
        // Half the printers misbehave: a failed transfer two times in five,
        // silence, a vanish or a full store one time in five each.
        if (pick(0, 1) == 0) {
            faults.push_back(f);
            continue;
        }
        const std::uint64_t share = pick(0, 4);
        if (share <= 1) {
            f.what = FaultClass::failed_transfer;
            f.kind = failed_transfers[pick(0, 4)];
            f.at = pick(0, transfers - 1);
            if (f.kind == "short_transfer")
                f.amount = static_cast<std::size_t>(pick(0, 48));
        } else if (share == 2) {
            // A write that runs into its time-out may have moved a few bytes first.
            f.what = FaultClass::silence;
            f.kind = "silence";
            f.at = pick(0, transfers - 1);
            f.amount = pick(0, 1) ? static_cast<std::size_t>(pick(1, 48)) : 0;
        } else if (share == 3) {
            f.what = FaultClass::vanish;
            const bool at_transfer = pick(0, 1) == 0;
            f.kind = at_transfer ? "vanish" : "vanish-after";
            f.at = at_transfer ? pick(0, transfers - 1) : pick(1, data_bytes);
        } else {
            f.what = FaultClass::full_store;
            f.kind = "capacity";
            f.at = pick(0, data_bytes - 1);
        }
        faults.push_back(f);
    }
    return faults;
}

Report read_json(const std::string& out)
{
    Report report;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_discarded() || !event.is_object()) {
            report.problems.push_back("not a JSON object: " + line);
            continue;
        }
        if (event.value("event", "") != "done")
            continue;
        const std::string place = event.value("printer", "");
        if (report.printers.count(place)) {
            report.problems.push_back("a second done event for " + place);
            continue;
        }
        Reported& r = report.printers[place];
        r.succeed = event.value("succeed", false);
        for (const auto& name : event.value("installed", nlohmann::json::array()))
            r.installed.push_back(name.get<std::string>());
        for (const auto& name : event.value("may_have_been_taken_up", nlohmann::json::array()))
            r.may_be_taken_up = name.get<std::string>();
    }
    return report;
}

Report read_plain(const std::string& out, const std::vector<std::string>& names)
{
    Report report;
    std::istringstream lines(out);
    std::string line;
    bool in_summary = false;
    while (std::getline(lines, line)) {
        int updated = 0, all = 0;
        if (std::sscanf(line.c_str(), "summary: %d of %d printers updated", &updated, &all) == 2) {
            if (in_summary)
                report.problems.push_back("a second summary");
            in_summary = true;
            report.summary_updated = updated;
            continue;
        }
        if (!in_summary)
            continue;
        // "1:5 SERIAL: updated", or "1:5 SERIAL: failed: TEXT; installed: A, B;
        // [may have been taken up: C;] not installed: D"
        const std::string place = line.substr(0, line.find(' '));
        Reported r;
        const std::size_t installed = line.find("; installed: ");
        const std::size_t maybe = line.find("; may have been taken up: ");
        const std::size_t left = line.find("; not installed: ");
        if (line.size() > 9 && line.compare(line.size() - 9, 9, ": updated") == 0) {
            r.succeed = true;
            r.installed = names;
        } else if (installed != std::string::npos && left != std::string::npos && installed < left) {
            const std::size_t end = maybe != std::string::npos && maybe < left ? maybe : left;
            r.installed = split_list(line.substr(installed + 13, end - installed - 13));
            if (end == maybe)
                r.may_be_taken_up = line.substr(maybe + 26, left - maybe - 26);
        } else {
            report.problems.push_back("not a summary line: " + line);
            continue;
        }
        if (!report.printers.emplace(place, r).second)
            report.problems.push_back("a second summary line for " + place);
    }
    if (!in_summary)
        report.problems.push_back("no summary");
    return report;
}

void check_printer(const Held& held, const Reported* reported, const Fault& fault, const std::vector<std::string>& plan,
                   Findings* findings)
{
    const auto fail = [&](const std::string& what) { findings->failures.push_back(held.place + ": " + what); };
    const bool gone = !held.plugged;
    if (!gone && held.under_control)
        fail("still held by the host");
    if (!gone && held.upload_open)
        fail("the upload of " + held.upload_path + " is left open");
    for (const auto& install : held.installs)
        if (!install.second)
            fail("took up " + install.first + ", which did not arrive whole");
    for (const std::string& path : held.differing)
        fail("holds " + path + " whole, but not byte for byte as sent");
    for (const std::string& what : held.violations)
        fail("saw what a careful host never does: " + what);

    if (!reported) {
        fail("the report says nothing about it");
        return;
    }
    std::vector<std::string> taken, said;
    for (const auto& install : held.installs)
        taken.push_back(install.first);
    for (const std::string& name : reported->installed)
        said.push_back(system_folder + name);
    if (reported->succeed != (said == plan))
        fail(std::string("reported ") + (reported->succeed ? "updated" : "not updated") +
             " with installed: " + joined(said));
    // The printer may take up the file whose install failed after the
    // take-up command had reached it (in whole, or cut and completed before
    // the give-back): right when the report says it may have.
    const bool one_more = taken.size() == said.size() + 1 && std::equal(said.begin(), said.end(), taken.begin());
    const bool said_maybe =
        !reported->may_be_taken_up.empty() && one_more && taken.back() == system_folder + reported->may_be_taken_up;
    if (taken != said && !said_maybe)
        fail("the report says installed: " + joined(said) + "; the printer took up: " + joined(taken));
    if (fault.what == FaultClass::none && !reported->succeed)
        fail("had no fault, yet was not updated");
}

}  // namespace farm

// Scripts of a bench: printers plugged in and out while `zarvik watch
// --json` runs, and what must have become of each.  The same scripts run on
// the in-process emulated bus (watch_test.cpp) and on the real libusb-1.0
// under the umockdev printer emulator (watch_system_test.cpp); each gives a
// Bench that carries the steps out on its transport.
//
// A step is one line:
//   plug NAME[,port=P.P,model=PID,vanish=BYTES,noserial,interrupt]
//        a new printer with the serial NAME (none with noserial), at that
//        port of bus 1 (the next free one unless given), of another model
//        (its product id in hexadecimal), gone after BYTES of file data, or
//        interrupted (Ctrl-C) while it takes its second file
//   replug NAME   the same printer plugged in again, at its port
//   unplug NAME
//   wait NAME STATE   until its latest appearance is in STATE: settling,
//        updating, updated, failed, stopped (done), left (left alone, named),
//        again (left alone: updated earlier in the watch)
//   interrupt     Ctrl-C now
// The watch ends by itself (--count) or at an interrupt after the last step.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace watchtest {

using nlohmann::json;

struct PlugRequest {
    std::string name;
    std::vector<int> ports;
    std::uint16_t product_id = 0x4201;
    std::uint64_t vanish_after = 0;  // 0: stays
    bool no_serial = false;
    bool interrupt = false;
};

inline PlugRequest parse_plug(const std::string& text)
{
    PlugRequest r;
    std::stringstream parts(text);
    std::getline(parts, r.name, ',');
    for (std::string part; std::getline(parts, part, ',');) {
        const std::string key = part.substr(0, part.find('='));
        const std::string value = part.find('=') == std::string::npos ? "" : part.substr(part.find('=') + 1);
        if (key == "port") {
            std::stringstream ports(value);
            for (std::string p; std::getline(ports, p, '.');)
                r.ports.push_back(std::stoi(p));
        } else if (key == "model") {
            r.product_id = static_cast<std::uint16_t>(std::stoul(value, nullptr, 16));
        } else if (key == "vanish") {
            r.vanish_after = std::stoull(value);
        } else if (key == "noserial") {
            r.no_serial = true;
        } else if (key == "interrupt") {
            r.interrupt = true;
        } else {
            ADD_FAILURE() << "unknown plug key " << key;
        }
    }
    return r;
}

// What a transport offers the scripts.
class Bench {
public:
    virtual ~Bench() = default;
    // Starts `zarvik watch --firmware ... --json --log ...` and `extra`; its
    // standard output goes to output_path().
    virtual void start(const std::vector<std::string>& extra) = 0;
    virtual void plug(const PlugRequest& request) = 0;
    virtual void replug(const std::string& name) = 0;
    virtual void unplug(const std::string& name) = 0;
    virtual void interrupt() = 0;
    // The places "BUS:ADDR" of the printer's appearances, in order.
    virtual std::vector<std::string> places(const std::string& name) = 0;
    std::string place(const std::string& name)
    {
        const std::vector<std::string> all = places(name);
        return all.empty() ? std::string() : all.back();
    }
    // Waits for the watch to end; its exit status.
    virtual int finish() = 0;
    // How often the printer was taken ("~M601 S0"), and whether it holds the
    // firmware whole and taken up.
    virtual int takes(const std::string& name) = 0;
    virtual bool holds_firmware(const std::string& name) = 0;
    virtual std::string output_path() const = 0;

    // The JSON events written so far.
    std::vector<json> events() const
    {
        std::vector<json> out;
        std::ifstream in(output_path());
        for (std::string line; std::getline(in, line);)
            if (json::accept(line))
                out.push_back(json::parse(line));
            else if (!line.empty())
                ADD_FAILURE() << "not JSON: " << line;
        return out;
    }

    // The state an appearance's events say it is in: the last one.
    static std::string state_of(const std::vector<json>& events, const std::string& place)
    {
        std::string state;
        for (const json& e : events) {
            if (!e.contains("printer") || e["printer"] != place || !e.contains("id"))
                continue;
            if (e["event"] == "printer" && e["state"] == "left_alone")
                state = e["reason"].get<std::string>().find("updated earlier") != std::string::npos ? "again" : "left";
            else if (e["event"] == "printer" && e["state"] == "unplugged")
                state = state == "settling" ? "unplugged" : state;
            else if (e["event"] == "printer")
                state = e["state"];
            else if (e["event"] == "done")
                state = e["succeed"].get<bool>() ? "updated" : e["stopped"].get<bool>() ? "stopped" : "failed";
        }
        return state;
    }

    // Waits (real time) until `name`'s latest appearance is in `state`.
    bool wait_state(const std::string& name, const std::string& state, int limit_ms = 20000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (state_of(events(), place(name)) == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

struct Script {
    const char* what;
    std::vector<std::string> options;  // besides --firmware, --json, --log
    std::vector<std::string> steps;
    int status;
    // NAME -> what became of each of its appearances, in order: updated,
    // failed, stopped, left, again, unplugged (before it was taken up), ""
    // (nothing said: left alone as named before).
    std::map<std::string, std::vector<std::string>> outcomes;
    std::map<std::string, int> takes;  // "~M601 S0" per printer
};

inline const std::vector<Script>& scripts()
{
    static const std::vector<Script> all = {
        {"three printers one after another in one socket, each updated once",
         {},
         {"plug A,port=1", "wait A updated", "unplug A", "plug B,port=1", "wait B updated", "unplug B", "plug C,port=1",
          "wait C updated"},
         0,
         {{"A", {"updated"}}, {"B", {"updated"}}, {"C", {"updated"}}},
         {{"A", 1}, {"B", 1}, {"C", 1}}},
        {"one plugged in again after its update is not updated again",
         {},
         {"plug A,port=2", "wait A updated", "unplug A", "replug A", "wait A again", "plug B,port=3", "wait B updated"},
         0,
         {{"A", {"updated", "again"}}, {"B", {"updated"}}},
         {{"A", 1}, {"B", 1}}},
        {"one of another model is named once and left alone",
         {},
         {"plug X,port=4,model=4203", "wait X left", "unplug X", "replug X", "plug A,port=5", "wait A updated"},
         0,
         {{"X", {"left", ""}}, {"A", {"updated"}}},
         {{"X", 0}, {"A", 1}}},
        {"one unplugged in the middle of its update fails alone",
         {},
         {"plug A,port=1", "plug V,port=2,vanish=30000", "wait V failed", "wait A updated", "plug B,port=3",
          "wait B updated"},
         1,
         {{"A", {"updated"}}, {"V", {"failed"}}, {"B", {"updated"}}},
         {{"A", 1}, {"V", 1}, {"B", 1}}},
        {"Ctrl-C in the middle of an update gives the printer back and ends the watch",
         {},
         {"plug A,port=1", "wait A updated", "plug I,port=2,interrupt"},
         1,
         {{"A", {"updated"}}, {"I", {"stopped"}}},
         {{"A", 1}, {"I", 1}}},
        {"--count ends the watch once so many printers have ended",
         {"--count", "2"},
         {"plug A,port=1", "wait A updated", "plug N,port=2,noserial"},
         0,
         {{"A", {"updated"}}, {"N", {"updated"}}},
         {{"A", 1}, {"N", 1}}},
    };
    return all;
}

// Carries `script` out on `bench` and checks what became of every printer.
inline void run_script(Bench& bench, const Script& script)
{
    bench.start(script.options);
    bool interrupted = false;
    for (const std::string& step : script.steps) {
        SCOPED_TRACE(step);
        const std::string verb = step.substr(0, step.find(' '));
        const std::string rest = step.substr(step.find(' ') + 1);
        if (verb == "plug") {
            const PlugRequest request = parse_plug(rest);
            bench.plug(request);
            interrupted = interrupted || request.interrupt;
        } else if (verb == "replug") {
            bench.replug(rest);
        } else if (verb == "unplug") {
            bench.unplug(rest);
        } else if (verb == "interrupt") {
            bench.interrupt();
            interrupted = true;
        } else if (verb == "wait") {
            const std::string name = rest.substr(0, rest.find(' '));
            const std::string state = rest.substr(rest.find(' ') + 1);
            ASSERT_TRUE(bench.wait_state(name, state))
                << name << " never " << state << "; now " << Bench::state_of(bench.events(), bench.place(name));
        } else {
            FAIL() << "unknown step";
        }
    }
    const bool counted = std::find(script.options.begin(), script.options.end(), "--count") != script.options.end();
    if (!interrupted && !counted)
        bench.interrupt();
    const int status = bench.finish();
    std::string written;
    for (const json& e : bench.events())
        written += e.dump() + "\n";
    EXPECT_EQ(status, script.status) << written;

    // Every appearance's outcome, at its place.
    const std::vector<json> events = bench.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "watch_end");
    EXPECT_EQ(events.back()["exit_status"], script.status);
    for (const auto& [name, expected] : script.outcomes) {
        SCOPED_TRACE(name);
        std::vector<std::string> seen;
        for (const std::string& place : bench.places(name))
            seen.push_back(Bench::state_of(events, place));
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(bench.takes(name), script.takes.at(name));
        if (!expected.empty() && expected.front() == "updated") {
            EXPECT_TRUE(bench.holds_firmware(name));
        }
    }
}

}  // namespace watchtest

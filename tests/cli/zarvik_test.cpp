// zarvik on the in-process emulated bus: usage errors, choosing printers,
// several printers at once, what it prints in each form, and Ctrl-C.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/sha256.h"
#include "console.h"
#include "display.h"
#include "interrupt.h"
#include "log_place.h"
#include "service_hold.h"
#include "session_end.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"
#include "zarvik.h"

#include <sqlite3.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

using nlohmann::json;
using Args = std::vector<std::string>;

constexpr std::uint16_t vid = 0x2C7E;
constexpr std::uint16_t pid = 0x4201;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string sha256_of(const std::string& bytes)
{
    com::Sha256 hash;
    com::Sha256Digest digest{};
    hash.add(bytes.data(), bytes.size());
    hash.finish(&digest);
    return com::sha256_hex(digest);
}

class Zarvik : public testsupport::EmulatedBusTest {
protected:
    void SetUp() override
    {
        EmulatedBusTest::SetUp();
        image = firmware("Main-2.4.bin", 70000, 1);
        fonts = firmware("fonts.xbf", 9000, 2);
        firmware("readme.txt", 10, 3);
    }

    void TearDown() override
    {
        for (const auto& d : bus().devices())
            if (d->printer) {
                EXPECT_FALSE(d->printer->under_control()) << "printer " << int(d->spec.address) << " held";
                for (const std::string& what : d->printer->violations())
                    ADD_FAILURE() << "printer saw: " << what;
            }
        EmulatedBusTest::TearDown();
    }

    std::string firmware(const std::string& name, std::size_t size, unsigned seed)
    {
        const std::string bytes = testsupport::pattern_bytes(size, seed);
        testsupport::write_file(folder.path() / name, bytes);
        return bytes;
    }

    std::shared_ptr<emu::Printer> attach(std::uint8_t address)
    {
        auto p = bus().attach_printer(vid, pid, 1, address);
        bus().find(p.get())->transfer_ms[0x03] = 100;  // file data takes virtual time: progress is reported
        return p;
    }

    int run(Args args, bool terminal = false, const std::function<void(zarvik::Io&)>& adjust = {})
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        zarvik::Io io;
        io.out = out;
        io.err = err;
        io.terminal = terminal;
        io.program_dir = program.utf8();
        io.service = service;
        if (adjust)
            adjust(io);
        for (std::string& a : args) {
            if (a == "FW")
                a = folder.utf8();
            else if (a == "LOG")
                a = logs.utf8();
        }
        const int status = zarvik::run(args, io);
        if (io.out != out)
            std::fclose(io.out);
        stdout_text = testsupport::read_stream(out);
        stderr_text = testsupport::read_stream(err);
        std::fclose(out);
        std::fclose(err);
        return status;
    }

    static std::string stored(const emu::Printer& p, const std::string& path)
    {
        auto it = p.files().find(path);
        return it == p.files().end() || !it->second.complete
                   ? std::string()
                   : std::string(it->second.data.begin(), it->second.data.end());
    }

    testsupport::TempDir folder, logs, program;
    std::string image, fonts;
    std::string stdout_text, stderr_text;
    zarvik::ServiceManager* service = nullptr;  // the background service zarvik holds
};

TEST_F(Zarvik, UsageErrorsGiveStatusTwoAndTouchNoPrinter)
{
    auto p = attach(5);
    const Args cases[] = {
        {},
        {"flash"},
        {"update"},
        {"update", "--firmware"},
        {"update", "--firmware", "FW", "--printer", "1:5", "--all"},
        {"update", "--firmware", "FW", "--printer", "1:5", "--serial", "SN1-5"},
        {"update", "--firmware", "FW", "--serial", "SN1-5", "--all"},
        {"update", "--firmware", "FW", "--printer", "15"},
        {"update", "--firmware", "FW", "--printer", "1:0"},
        {"update", "--firmware", "FW", "--printer", "1:300"},
        {"plan"},
        {"list", "--firmware", "FW"},
    };
    for (const Args& args : cases) {
        EXPECT_EQ(run(args), zarvik::exit_usage) << ::testing::PrintToString(args);
        EXPECT_FALSE(stderr_text.empty()) << ::testing::PrintToString(args);
    }
    // A mistyped command is named, with the commands there are.
    EXPECT_EQ(run({"updat", "--firmware", "FW"}), zarvik::exit_usage);
    EXPECT_EQ(stderr_text, "zarvik: unknown command 'updat' (did you mean 'update'?); the commands are list, plan, "
                           "update, history and watch (zarvik --help)\n");
    EXPECT_EQ(p->transfer_count(), 0u);
}

TEST_F(Zarvik, HelpNamesTheExitStatusesAndVersionTheVersion)
{
    EXPECT_EQ(run({"--help"}), 0);
    for (const char* line :
         {"0  every printer updated", "1  an update failed", "2  usage error", "3  no target printer attached"})
        EXPECT_TRUE(has(stdout_text, line)) << line;
    EXPECT_EQ(run({"update", "--help"}), 0);
    EXPECT_TRUE(has(stdout_text, "--printer BUS:ADDR"));
    EXPECT_TRUE(has(stdout_text, "Exit status"));
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_EQ(stdout_text, "zarvik 1.1.0\n");
}

TEST_F(Zarvik, ListShowsEveryPrinterWithItsOwnSerialAndWhetherItIsTheTarget)
{
    attach(5);
    bus().attach_printer(vid, 0x4203, 1, 7);  // Orbrey-II: supported, not updated here
    attach(6);
    bus().devices().back()->open_errno = EACCES;
    EXPECT_EQ(run({"list"}), 0);
    const auto lines = lines_of(stdout_text);
    ASSERT_EQ(lines.size(), 3u) << stdout_text;
    EXPECT_EQ(lines[0],
              "1:5  port 1-1  2c7e:4201  Edvin Halvenn Tool Corporation  Halvenn Orbrey 3D Printer  serial SN1-5  "
              "[updated by this tool]");
    EXPECT_EQ(lines[1], "1:6  port 1-3  2c7e:4201  access denied  [updated by this tool]");
    EXPECT_TRUE(has(lines[2], "Halvenn Orbrey-II 3D Printer  serial SN1-7  [not updated by this tool]"));
#ifndef _WIN32
    EXPECT_TRUE(has(stderr_text, "udev rule")) << stderr_text;
#endif

    EXPECT_EQ(run({"list", "--json"}), 0);
    const auto json_lines = lines_of(stdout_text);
    ASSERT_EQ(json_lines.size(), 1u) << "one object: the list";
    const json list = json::parse(json_lines[0]);
    EXPECT_EQ(list["event"], "list");
    ASSERT_EQ(list["printers"].size(), 3u);
    EXPECT_EQ(list["printers"][1]["printer"], "1:6");
    EXPECT_EQ(list["printers"][1]["open_error"], "access denied");
    EXPECT_EQ(list["printers"][2]["target"], false);
    EXPECT_EQ(list["printers"][0]["serial"], "SN1-5");
}

TEST_F(Zarvik, ListEndsWithNoPrinterWhenNoneIsTheTarget)
{
    // Scripts ask "is there a printer to update?" with the status of list.
    EXPECT_EQ(run({"list"}), zarvik::exit_no_printer);
    EXPECT_TRUE(has(stderr_text, "no supported printer attached")) << stderr_text;
    bus().attach_printer(vid, 0x4203, 1, 7);  // Orbrey-II: supported, not updated here
    EXPECT_EQ(run({"list", "--json"}), zarvik::exit_no_printer);
    EXPECT_EQ(json::parse(stdout_text)["printers"].size(), 1u);
}

TEST_F(Zarvik, PlanShowsWhatWouldBeInstalledWithHashesAndWhatItLeavesOut)
{
    auto p = attach(5);
    firmware("Main-3.0.bin", 10, 5);
    firmware("UI-EN.XBF", 10, 6);  // no twin of another name: Windows ignores case in names
    EXPECT_EQ(run({"plan", "--firmware", "FW"}), 0);
    EXPECT_EQ(stdout_text, "1. Main-2.4.bin as 0:/sys/orbrey.bin, 70000 bytes\n"
                           "   sha256 " +
                               sha256_of(image) +
                               "\n"
                               "2. fonts.xbf as 0:/sys/fonts.xbf, 9000 bytes\n"
                               "   sha256 " +
                               sha256_of(fonts) +
                               "\n"
                               "not installed: Main-3.0.bin: only the first .bin is installed\n"
                               "not installed: readme.txt: suffix is not exactly bin or xbf\n"
                               "not installed: UI-EN.XBF: suffix is not exactly bin or xbf\n"
                               "2 files, 79000 bytes; nothing was sent\n");
    EXPECT_EQ(run({"plan", "--firmware", "FW", "--json"}), 0);
    const json plan = json::parse(stdout_text);
    EXPECT_EQ(plan["event"], "plan");
    EXPECT_EQ(plan["files"][0]["name"], "orbrey.bin");
    EXPECT_EQ(plan["files"][0]["sha256"], sha256_of(image));
    EXPECT_EQ(plan["files"][1]["size"], 9000);
    EXPECT_EQ(plan["total_bytes"], 79000);
    EXPECT_EQ(plan["checksum_list"], nullptr);
    EXPECT_EQ(plan["skipped"][0], json({{"name", "Main-3.0.bin"}, {"reason", "only the first .bin is installed"}}));
    EXPECT_EQ(plan["skipped"].size(), 3u);
    testsupport::fs::remove(folder.path() / "fonts.xbf");
    EXPECT_EQ(run({"plan", "--firmware", "FW"}), 0);
    EXPECT_TRUE(has(stdout_text, "\n1 file, 70000 bytes; nothing was sent\n")) << stdout_text;
    EXPECT_EQ(p->transfer_count(), 0u);
}

TEST_F(Zarvik, AChecksumListIsEnforcedBeforeAnyPrinterIsTouched)
{
    auto p = attach(5);
    const std::string good = sha256_of(image) + "  Main-2.4.bin\n" + sha256_of(fonts) + " *fonts.xbf\n";
    struct Case {
        std::string list;
        std::string message;  // "" when the plan passes
    };
    const Case cases[] = {
        {good, ""},
        {sha256_of(fonts) + "  Main-2.4.bin\n" + sha256_of(fonts) + "  fonts.xbf\n",
         "Main-2.4.bin: checksum mismatch: SHA256SUMS line 1 gives " + sha256_of(fonts) + ", the file is " +
             sha256_of(image) + "; nothing was sent"},
        {good + "\n-\n", "Main-2.4.bin: SHA256SUMS line 4 is not a checksum line; nothing was sent"},
    };
    for (const Case& c : cases) {
        testsupport::write_file(folder.path() / "SHA256SUMS", c.list);
        for (const std::string command : {"plan", "update"}) {
            const int status = run(command == "plan" ? Args{"plan", "--firmware", "FW"}
                                                     : Args{"update", "--firmware", "FW", "--log", "LOG"});
            if (c.message.empty()) {
                EXPECT_EQ(status, zarvik::exit_updated) << command << stderr_text;
                EXPECT_TRUE(
                    has(stdout_text, "every file is listed in " + folder.utf8("SHA256SUMS") + " with its SHA-256\n"))
                    << stdout_text;
                EXPECT_TRUE(has(stdout_text, "SHA256SUMS") &&
                            has(stdout_text, "the checksum list, checked and never sent"))
                    << stdout_text;
                continue;
            }
            EXPECT_EQ(status, zarvik::exit_failed) << command;
            EXPECT_TRUE(has(stderr_text, "open or access file failure (COM_ERR_FILE)\n")) << stderr_text;
            EXPECT_TRUE(has(stderr_text, c.message + "\n")) << stderr_text;
            EXPECT_EQ(stdout_text, "");
        }
    }
    // The one passing update sent the two files and never the list.
    EXPECT_EQ(p->installs().size(), 2u);
    EXPECT_EQ(p->files().size(), 2u);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG", "--json"}), zarvik::exit_failed);
    EXPECT_EQ(p->installs().size(), 2u) << "a refused update sends nothing";
}

TEST_F(Zarvik, AFolderThatCannotBeSentEndsBeforeAnyPrinterIsTouched)
{
    auto p = attach(5);
    struct Case {
        const char* file;
        std::size_t size;
        const char* message;
    };
    const std::string long_name = std::string(100, 'n') + ".xbf";
    const Case cases[] = {
        {"empty.xbf", 0, "open or access file failure (COM_ERR_FILE)"},
        {long_name.c_str(), 5, "invalid arguments (COM_ERR_INVALID_ARGUMENTS)"},
#ifndef _WIN32
        {"tab\there.xbf", 5, "invalid arguments (COM_ERR_INVALID_ARGUMENTS)"},
#endif
    };
    for (const Case& c : cases) {
        firmware(c.file, c.size, 4);
        for (const char* command : {"plan", "update"}) {
            EXPECT_EQ(run({command, "--firmware", "FW"}), zarvik::exit_failed) << c.file;
            EXPECT_TRUE(has(stderr_text, c.message)) << stderr_text;
            EXPECT_TRUE(has(stderr_text, "nothing was sent")) << stderr_text;
            EXPECT_EQ(stderr_text.find('\t'), std::string::npos) << "control bytes are shown escaped";
        }
        testsupport::fs::remove(folder.path() / c.file);
    }
    testsupport::fs::remove(folder.path() / "Main-2.4.bin");
    testsupport::fs::remove(folder.path() / "fonts.xbf");
    EXPECT_EQ(run({"update", "--firmware", "FW"}), zarvik::exit_failed);
    EXPECT_EQ(stderr_text, "no firmware available.\n");
    EXPECT_EQ(run({"update", "--firmware", "FW/missing"}), zarvik::exit_failed);
    EXPECT_EQ(p->transfer_count(), 0u);
}

TEST_F(Zarvik, WithoutAChoiceOnlyASinglePrinterIsUpdated)
{
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_no_printer);
    EXPECT_TRUE(has(stderr_text, "no Halvenn Orbrey 3D Printer attached"));

    auto a = attach(5);
    auto b = attach(6);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_usage);
    EXPECT_TRUE(has(stderr_text, "2 printers attached: choose one with --printer BUS:ADDR, --port PATH or --serial S"));
    EXPECT_TRUE(has(stderr_text, "1:5  port 1-1  2c7e:4201")) << stderr_text;
    EXPECT_TRUE(has(stderr_text, "1:6  port 1-2  2c7e:4201"));
    EXPECT_EQ(a->transfer_count() + b->transfer_count(), 0u);

    EXPECT_EQ(run({"update", "--firmware", "FW", "--printer", "1:9", "--log", "LOG"}), zarvik::exit_no_printer);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--serial", "SN9", "--log", "LOG"}), zarvik::exit_no_printer);
    EXPECT_EQ(a->transfer_count() + b->transfer_count(), 0u);

    EXPECT_EQ(run({"update", "--firmware", "FW", "--serial", "SN1-6", "--log", "LOG"}), zarvik::exit_updated);
    EXPECT_TRUE(stored(*b, "0:/sys/orbrey.bin") == image);
    EXPECT_EQ(a->transfer_count(), 0u);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--printer", "1:5", "--log", "LOG"}), zarvik::exit_updated);
    EXPECT_TRUE(stored(*a, "0:/sys/fonts.xbf") == fonts);
    // Plain lines, one per file and outcome; the log folder is the one given.
    EXPECT_EQ(stdout_text, "plan 1/2: Main-2.4.bin as orbrey.bin (70000 bytes, sha256 " + sha256_of(image) +
                               ")\n"
                               "plan 2/2: fonts.xbf as fonts.xbf (9000 bytes, sha256 " +
                               sha256_of(fonts) +
                               ")\n"
                               "plan: not installed: readme.txt (suffix is not exactly bin or xbf)\n"
                               "1:5 SN1-5: sending Main-2.4.bin as orbrey.bin (70000 bytes)\n"
                               "1:5 SN1-5: installed orbrey.bin\n"
                               "1:5 SN1-5: sending fonts.xbf as fonts.xbf (9000 bytes)\n"
                               "1:5 SN1-5: installed fonts.xbf\n"
                               "1:5 SN1-5: Firmware has been uploaded, reboot your printer to complete the update.\n");
    EXPECT_FALSE(testsupport::log_files(logs.path()).empty());
}

TEST_F(Zarvik, APrinterIsChosenByItsPortAndOneWithoutASerialIsKnownByIt)
{
    auto a = attach(5);
    emu::DeviceSpec spec = emu::printer_identity(vid, pid, 2, 7);
    spec.ports = {1, 4};
    spec.serial.clear();
    auto b = std::make_shared<emu::Printer>(spec.endpoints);
    bus().attach(spec, b);
    EXPECT_EQ(run({"list", "--json"}), 0);
    const json listed = json::parse(stdout_text)["printers"];
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["port"], "1-1");
    EXPECT_EQ(listed[1]["port"], "2-1.4");

    struct Case {
        Args args;
        int status;
    };
    for (const Case& c : {Case{{"--port", "2-9"}, zarvik::exit_no_printer}, Case{{"--port", "1:7"}, zarvik::exit_usage},
                          Case{{"--port", "2-1.4", "--serial", "SN1-5"}, zarvik::exit_usage},
                          Case{{"--port", "2-1.4", "--all"}, zarvik::exit_usage}}) {
        Args args{"update", "--firmware", "FW", "--log", "LOG"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(run(args), c.status) << c.args[1];
    }
    EXPECT_EQ(a->transfer_count() + b->transfer_count(), 0u);

    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG", "--port", "2-1.4"}), zarvik::exit_updated);
    EXPECT_TRUE(stored(*b, "0:/sys/orbrey.bin") == image);
    EXPECT_EQ(a->transfer_count(), 0u);
    EXPECT_TRUE(has(stdout_text, "2:7 port 2-1.4: installed fonts.xbf\n")) << stdout_text;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG", "--port", "2-1.4", "--json"}), zarvik::exit_updated);
    const json done = json::parse(lines_of(stdout_text).back());
    EXPECT_EQ(done["event"], "done");
    EXPECT_EQ(done["port"], "2-1.4");
    EXPECT_EQ(done["serial"], "");
}

TEST_F(Zarvik, TheDefaultLogFolderIsMadeBesideTheProgram)
{
    attach(5);
    EXPECT_EQ(run({"update", "--firmware", "FW"}), zarvik::exit_updated);
    const auto logs_made = testsupport::log_files(program.path() / "log");
    ASSERT_EQ(logs_made.size(), 1u);
    const std::string log = testsupport::read_file(program.path() / "log" / logs_made[0]);
    EXPECT_TRUE(has(log, "update: zarvik 1.1.0, printer at bus 1 address 5, port 1-1, serial SN1-5"));
    EXPECT_TRUE(has(log, "update: sending " + folder.utf8("Main-2.4.bin") + " (70000 bytes) as 0:/sys/orbrey.bin"));
}

TEST_F(Zarvik, AllUpdatesEveryPrinterAndOneFailureFailsTheRunWithARightSummary)
{
    auto a = attach(5);
    auto b = attach(6);
    auto c = attach(7);
    b->replace_reply("M600", 1, "failed", 1);  // b takes the fonts up but answers otherwise
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG"}), zarvik::exit_failed);
    for (const auto& p : {a, c}) {
        EXPECT_TRUE(stored(*p, "0:/sys/orbrey.bin") == image);
        EXPECT_TRUE(stored(*p, "0:/sys/fonts.xbf") == fonts);
        EXPECT_EQ(p->installs().size(), 2u);
    }
    EXPECT_TRUE(stored(*b, "0:/sys/orbrey.bin") == image);
    const auto lines = lines_of(stdout_text);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{
                  "summary: 2 of 3 printers updated", "1:5 SN1-5: updated",
                  "1:6 SN1-6: failed: printer execute command failure; installed: orbrey.bin; may have been taken "
                  "up: fonts.xbf; not installed: none",
                  "1:7 SN1-7: updated"}));
    EXPECT_TRUE(
        has(stderr_text, "1:6 SN1-6: error: printer execute command failure (COM_ERR_COMMAND), with fonts.xbf"));
    // Each its own log folder, each log its own printer's.
    for (const char* place : {"1-5", "1-6", "1-7"}) {
        const auto files = testsupport::log_files(logs.path() / place);
        ASSERT_EQ(files.size(), 1u) << place;
        const std::string serial = std::string("serial SN") + place;
        EXPECT_TRUE(has(testsupport::read_file(logs.path() / place / files[0]), serial)) << place;
    }
}

TEST_F(Zarvik, JsonLinesParseBackAsPlanProgressErrorAndDone)
{
    attach(5);
    auto b = attach(6);
    b->replace_reply("M28", 0, "busy", 1);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--json", "--log", "LOG"}), zarvik::exit_failed);
    std::map<std::string, std::vector<json>> by_printer;
    const auto lines = lines_of(stdout_text);
    ASSERT_FALSE(lines.empty());
    const json plan = json::parse(lines[0]);
    EXPECT_EQ(plan["event"], "plan");
    EXPECT_EQ(plan["printers"].size(), 2u);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const json event = json::parse(lines[i]);  // throws on anything that is not one JSON object
        by_printer[event["printer"]].push_back(event);
    }
    const auto& ok = by_printer["1:5"];
    ASSERT_GE(ok.size(), 2u);
    EXPECT_EQ(ok.front()["event"], "progress");
    EXPECT_EQ(ok.back()["event"], "done");
    EXPECT_EQ(ok.back()["succeed"], true);
    EXPECT_EQ(ok.back()["installed"], json({"orbrey.bin", "fonts.xbf"}));
    int partial = 0;
    for (const json& e : ok)
        partial += e["event"] == "progress" && e["percent"] > 0 && e["percent"] < 100 && e["kib_per_s"] > 0;
    EXPECT_GT(partial, 0) << "the upload's own reports, with their rate";
    for (const std::string& line : lines) {
        // The rate with one decimal at most, as the text has it.
        const std::size_t at = line.find("\"kib_per_s\":");
        if (at == std::string::npos)
            continue;
        const std::string number = line.substr(at + 12, line.find_first_of(",}", at) - at - 12);
        const std::size_t dot = number.find('.');
        EXPECT_TRUE(dot == std::string::npos || number.size() - dot <= 2) << line;
    }
    const auto& failed = by_printer["1:6"];
    ASSERT_GE(failed.size(), 2u);
    const json& error = failed[failed.size() - 2];
    EXPECT_EQ(error["event"], "error");
    EXPECT_EQ(error["message"], "printer execute command failure");
    EXPECT_EQ(error["code"], 13);
    EXPECT_EQ(error["code_name"], "COM_ERR_COMMAND");
    EXPECT_EQ(error["file"], "fonts.xbf");
    EXPECT_EQ(failed.back()["not_installed"], json({"fonts.xbf"}));
    EXPECT_EQ(stderr_text, "");
}

TEST_F(Zarvik, OnATerminalEachPrinterHasOneLineRedrawnInPlace)
{
    attach(5);
    attach(6);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG"}, true), zarvik::exit_updated);
    EXPECT_TRUE(has(stdout_text, "\x1b[2A")) << "two lines, drawn again from their first";
    EXPECT_TRUE(has(stdout_text, "plan: not installed: readme.txt (suffix is not exactly bin or xbf)\n"))
        << "the plan lines come first";
    EXPECT_TRUE(has(stdout_text, "1:5 SN1-5  orbrey.bin (1/2)"));
    EXPECT_TRUE(has(stdout_text, " KiB/s  "));
    EXPECT_TRUE(has(stdout_text, " left"));
    EXPECT_TRUE(has(stdout_text, "\r\x1b[2K1:6 SN1-6  updated\n"));
    EXPECT_TRUE(has(stdout_text, "summary: 2 of 2 printers updated\n"));
}

TEST_F(Zarvik, AccessDeniedSaysHowToGiveTheUserAccess)
{
    attach(5);
    bus().devices().back()->open_errno = EACCES;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
    EXPECT_TRUE(has(stderr_text, "connect to printer failure (COM_ERR_CONNECT)"));
#ifndef _WIN32
    EXPECT_TRUE(has(stderr_text, "sudo cp 70-zarvik.rules /etc/udev/rules.d/")) << stderr_text;
#endif
}

#ifndef _WIN32
// Sends `signal` to the process `times` times, each once the one before has
// been passed on.
void interrupt(int signal, int times)
{
    for (int n = 0; n < times; ++n) {
        const int before = zarvik::InterruptWatch::handled();
        ::kill(::getpid(), signal);
        for (int i = 0; i < 5000 && zarvik::InterruptWatch::handled() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST_F(Zarvik, CtrlCTermAndHangUpStopTheUploadAtTheNextPieceAndSayWhatWasInstalled)
{
    // Ctrl-C, a kill, a closed terminal or ssh session: each while the
    // printer takes the fonts' upload request, the upload held there until
    // the interrupt has been passed on.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        bus().reset();
        auto p = attach(5);
        const int before = zarvik::InterruptWatch::handled();
        p->set_command_hook([&](const std::string& line) {
            if (line.rfind("~M28 9000 ", 0) == 0)
                interrupt(signal, 1);
        });
        EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
        EXPECT_EQ(zarvik::InterruptWatch::handled(), before + 1);
        EXPECT_TRUE(stored(*p, "0:/sys/orbrey.bin") == image);
        EXPECT_EQ(p->installs().size(), 1u);
        EXPECT_EQ(p->files().at("0:/sys/fonts.xbf").data.size(), 0u) << "no piece after the cancel";
        const auto& commands = p->commands();
        EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
                  (std::vector<std::string>{"~M29", "~M602"}));
        EXPECT_FALSE(p->under_control());
        EXPECT_TRUE(has(stderr_text, "interrupted: the upload stops at its next piece and the printer is given back"));
        EXPECT_TRUE(has(stderr_text, "operation be canceled (COM_ERR_CANCELED), with fonts.xbf"));
        EXPECT_TRUE(has(stdout_text, "1:5 SN1-5: not updated; installed: orbrey.bin; not installed: fonts.xbf"))
            << stdout_text;
        // The program's own handler is gone again.
        struct sigaction now {};
        ::sigaction(signal, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL);
    }
}

TEST_F(Zarvik, ASecondInterruptEndsWithoutTheWaitsAndAThirdStillGivesThePrinterBack)
{
    auto p = attach(5);
    p->silence_replies("M29");  // the upload's end is never answered: 500 ms + 20 s of waits
    std::uint64_t interrupted_at = 0;
    p->set_command_hook([&](const std::string& line) {
        if (line.rfind("~M28 70000 ", 0) != 0)
            return;
        interrupt(SIGINT, 3);
        interrupted_at = emu::VirtualClock::elapsed_ms();
    });
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
    EXPECT_TRUE(emu::VirtualClock::sleeps().empty()) << "no pause before ~M29";
    // The piece in flight, then at most a second for the silent "~M29".
    EXPECT_LE(emu::VirtualClock::elapsed_ms() - interrupted_at, 100u + 1000u);
    EXPECT_FALSE(p->under_control());
    EXPECT_FALSE(p->uploading());
    EXPECT_EQ(p->commands().back(), "~M602");
    EXPECT_TRUE(has(stderr_text, "zarvik: interrupted again: ending as soon as the transfers under way return; "
                                 "the printers are still given back"))
        << stderr_text;
    EXPECT_TRUE(has(stderr_text, "zarvik: already ending: the printers are being given back"));
}

TEST_F(Zarvik, AReaderThatGoesAwayStopsTheOutputNotTheUpdate)
{
    // zarvik update ... | head -1: the pipe's reader ends during the update.
    auto p = attach(5);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    p->set_command_hook([&](const std::string& line) {
        if (line.rfind("~M28 9000 ", 0) == 0 && pipe_fds[0] >= 0) {
            ::close(pipe_fds[0]);
            pipe_fds[0] = -1;
        }
    });
    const int status = run({"update", "--firmware", "FW", "--log", "LOG"}, false,
                           [&](zarvik::Io& io) { io.out = ::fdopen(pipe_fds[1], "w"); });
    EXPECT_EQ(status, zarvik::exit_updated) << stderr_text;
    EXPECT_TRUE(stored(*p, "0:/sys/fonts.xbf") == fonts);
    EXPECT_EQ(p->installs().size(), 2u);
    EXPECT_EQ(p->commands().back(), "~M602");
    EXPECT_TRUE(has(stderr_text, "zarvik: standard output went away (Broken pipe): the update goes on without it"))
        << stderr_text;
}

// An output nobody takes from: the terminal's master side (Ctrl-S stopped
// the terminal), or a pipe its reader does not read yet.  `flow` lets the
// output go and reads it to its end, on a thread of its own.
class StoppedOutput {
public:
    explicit StoppedOutput(bool terminal)
    {
        int fds[2];
        if (terminal) {
            EXPECT_EQ(::openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
            termios raw{};
            ::tcgetattr(fds[1], &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fds[1], TCSANOW, &raw);
        } else {
            EXPECT_EQ(::pipe(fds), 0);
        }
        reader = fds[0];
        writer = fds[1];
        this->terminal = terminal;
    }
    ~StoppedOutput()
    {
        if (flowing.joinable())
            flowing.join();
        ::close(reader);
    }

    // Ctrl-S; for a pipe, whatever it can still take is filled.
    void stop()
    {
        if (terminal) {
            ::tcflow(writer, TCOOFF);
            return;
        }
        const int flags = ::fcntl(writer, F_GETFL);
        ::fcntl(writer, F_SETFL, flags | O_NONBLOCK);
        const std::string fill(4096, '#');
        while (::write(writer, fill.data(), fill.size()) > 0)
            ++filled;
        ::fcntl(writer, F_SETFL, flags);
    }

    void flow()
    {
        flowing = std::thread([this] {
            if (terminal)
                ::tcflow(writer, TCOON);
            char buffer[4096];
            for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<std::size_t>(n));
        });
    }

    // What was written, once the writer's end is closed.
    std::string written()
    {
        flowing.join();
        return text.substr(text.find_first_not_of('#'));
    }

    int reader = -1, writer = -1;
    bool terminal = false;
    int filled = 0;
    std::thread flowing;
    std::string text;
};

TEST_F(Zarvik, AStoppedOutputHoldsUpNoPrinterAndItsOutcomeLinesComeWhenItFlows)
{
    struct Case {
        const char* what;
        bool terminal;
        Args args;
        int interrupt_signal;  // at the fonts' upload request; 0: none
        int status;
        std::string last;  // the last thing written to standard output
    };
    const Case cases[] = {
        {"Ctrl-S on a terminal as the main image starts",
         true,
         {"update", "--firmware", "FW", "--log", "LOG"},
         0,
         zarvik::exit_updated,
         "1:5 SN1-5: Firmware has been uploaded, reboot your printer to complete the update.\n"},
        {"then Ctrl-C",
         true,
         {"update", "--firmware", "FW", "--log", "LOG"},
         SIGINT,
         zarvik::exit_failed,
         "1:5 SN1-5: stopped: operation be canceled; installed: orbrey.bin; not installed: fonts.xbf\n"},
        {"--json into a pipe nobody reads",
         false,
         {"update", "--firmware", "FW", "--log", "LOG", "--json"},
         0,
         zarvik::exit_updated,
         R"({"event":"done","installed":["orbrey.bin","fonts.xbf"],"may_have_been_taken_up":[],)"
         R"("not_installed":[],"port":"1-1","printer":"1:5","serial":"SN1-5","succeed":true})"
         "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus().reset();
        auto p = attach(5);
        StoppedOutput output(c.terminal);
        std::mutex mutex;
        std::condition_variable changed;
        bool given_back = false;
        p->set_command_hook([&](const std::string& line) {
            if (c.terminal && line.rfind("~M28 70000 ", 0) == 0)
                output.stop();
            if (c.interrupt_signal && line.rfind("~M28 9000 ", 0) == 0)
                interrupt(c.interrupt_signal, 1);  // its notice waits for the output, its cancel does not
            if (line == "~M602") {
                const std::lock_guard<std::mutex> lock(mutex);
                given_back = true;
                changed.notify_all();
            }
        });
        if (!c.terminal)
            output.stop();  // before anything is written: the pipe's reader waits for zarvik
        // The output flows again once the printer has been given back, or
        // after a while that no update on the emulated bus takes.
        bool given_back_while_stopped = false;
        std::thread user([&] {
            std::unique_lock<std::mutex> lock(mutex);
            given_back_while_stopped = changed.wait_for(lock, std::chrono::seconds(20), [&] { return given_back; });
            output.flow();
        });
        const int status = run(c.args, c.terminal, [&](zarvik::Io& io) { io.out = ::fdopen(output.writer, "w"); });
        user.join();
        EXPECT_TRUE(given_back_while_stopped) << "the printer waited for the output";
        EXPECT_TRUE(c.terminal || output.filled > 0) << "the pipe was filled";
        EXPECT_EQ(status, c.status);
        const std::string text = output.written();
        ASSERT_GE(text.size(), c.last.size());
        EXPECT_EQ(text.substr(text.size() - c.last.size()), c.last) << text;
        EXPECT_TRUE(has(text, c.terminal ? "plan 1/2: Main-2.4.bin" : R"("event":"plan")")) << text;
        if (c.interrupt_signal) {
            EXPECT_TRUE(has(stderr_text, "zarvik: interrupted: the upload stops at its next piece")) << stderr_text;
        }
    }
}

TEST_F(Zarvik, ASignalIgnoredAtTheStartStaysIgnored)
{
    // nohup, a shell's background job: the update goes on, the signal still ignored.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        bus().reset();
        auto p = attach(5);
        struct sigaction ignore {
        }, before{};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(signal, &ignore, &before);
        void (*during)(int) = SIG_DFL;
        p->set_command_hook([&](const std::string& line) {
            if (line.rfind("~M28 9000 ", 0) != 0)
                return;
            struct sigaction now {};
            ::sigaction(signal, nullptr, &now);
            during = now.sa_handler;
            ::kill(::getpid(), signal);
        });
        EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_updated) << stderr_text;
        EXPECT_EQ(during, SIG_IGN);
        struct sigaction after {};
        ::sigaction(signal, &before, &after);
        EXPECT_EQ(after.sa_handler, SIG_IGN);
        EXPECT_EQ(p->installs().size(), 2u);
    }
}

TEST_F(Zarvik, AFileThePrinterMayHaveTakenUpIsNeverCalledNotInstalled)
{
    // The disk of the log fills up just as the printer takes the fonts up:
    // the link throws after the printer has acted on "~M600".
    for (const bool as_json : {false, true}) {
        SCOPED_TRACE(as_json);
        bus().reset();
        auto p = attach(5);
        std::unique_ptr<testsupport::DiskFullAt> full;
        p->set_command_hook([&](const std::string& line) {
            if (line == "~M600" && p->installs().size() == 2) {
                const auto files = testsupport::log_files(logs.path());
                full = std::make_unique<testsupport::DiskFullAt>(testsupport::fs::file_size(logs.path() / files.at(0)));
            }
        });
        Args args{"update", "--firmware", "FW", "--log", "LOG"};
        if (as_json)
            args.push_back("--json");
        EXPECT_EQ(run(args), zarvik::exit_failed);
        full.reset();
        testsupport::fs::remove_all(logs.path());
        testsupport::fs::create_directories(logs.path());
        ASSERT_EQ(p->installs().size(), 2u) << "the printer took the fonts up";
        EXPECT_FALSE(p->under_control());
        if (!as_json) {
            EXPECT_TRUE(has(stdout_text, "1:5 SN1-5: not updated; installed: orbrey.bin; may have been taken up: "
                                         "fonts.xbf; not installed: none"))
                << stdout_text;
            EXPECT_TRUE(has(stderr_text, "the printer may have taken it up")) << stderr_text;
            continue;
        }
        // The full disk fails the history too: its history_error may come after the done event.
        json done;
        for (const std::string& line : lines_of(stdout_text))
            if (json::parse(line)["event"] == "done")
                done = json::parse(line);
        EXPECT_EQ(done["event"], "done");
        EXPECT_EQ(done["installed"], json({"orbrey.bin"}));
        EXPECT_EQ(done["may_have_been_taken_up"], json({"fonts.xbf"}));
        EXPECT_EQ(done["not_installed"], json::array());
    }
}
#endif

TEST_F(Zarvik, WithJsonEveryRunWritesJsonOnlyAndAnEarlyEndIsAnErrorEvent)
{
    testsupport::TempDir empty, refused;
    testsupport::write_file(empty.path() / "readme.txt", "not firmware");
    testsupport::write_file(refused.path() / "a.bin", "image");
    testsupport::write_file(refused.path() / "b.xbf", "");
    struct Case {
        const char* what;
        Args args;
        int printers;
        int status;
        const char* message;  // in the error event; nullptr: a list, and no error event
    };
    const Case cases[] = {
        {"no such folder", {"update", "--firmware", folder.utf8("missing"), "--json"}, 1, 1, "no firmware available."},
        {"nothing to install", {"update", "--firmware", empty.utf8(), "--json"}, 1, 1, "no firmware available."},
        {"a refused file", {"update", "--firmware", refused.utf8(), "--json"}, 1, 1, "open or access file failure"},
        {"a refused file, planned",
         {"plan", "--firmware", refused.utf8(), "--json"},
         0,
         1,
         "open or access file failure"},
        {"several printers, none chosen",
         {"update", "--firmware", folder.utf8(), "--json"},
         2,
         2,
         "2 printers attached: choose one with --printer BUS:ADDR, --port PATH or --serial S, or update them all "
         "with --all"},
        {"no printer with the serial",
         {"update", "--firmware", folder.utf8(), "--serial", "SN9", "--json"},
         2,
         3,
         "no Halvenn Orbrey 3D Printer with the serial SN9"},
        {"no printer",
         {"update", "--firmware", folder.utf8(), "--json"},
         0,
         3,
         "no Halvenn Orbrey 3D Printer attached"},
        {"no --firmware", {"update", "--json"}, 1, 2, "--firmware is required"},
        {"an unknown command", {"updat", "--json"}, 1, 2, "unknown command 'updat'"},
        {"list without printers", {"list", "--json"}, 0, 3, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus().reset();
        for (int i = 0; i < c.printers; ++i)
            attach(static_cast<std::uint8_t>(5 + i));
        EXPECT_EQ(run(c.args), c.status);
        EXPECT_FALSE(stderr_text.empty()) << "a person still reads why on standard error";
        const auto lines = lines_of(stdout_text);
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines)
            EXPECT_TRUE(json::accept(line) && json::parse(line).is_object()) << line;
        const json last = json::parse(lines.back());
        if (!c.message) {
            EXPECT_EQ(last["event"], "list");
            EXPECT_EQ(last["printers"], json::array());
            continue;
        }
        EXPECT_EQ(last["event"], "error");
        EXPECT_EQ(last["exit_status"], c.status);
        EXPECT_TRUE(has(last["message"].get<std::string>(), c.message)) << last.dump();
        for (const auto& d : bus().devices())
            EXPECT_EQ(d->printer->transfer_count(), 0u);
    }
}

TEST_F(Zarvik, ALogThatCannotBeOpenedNamesItsFolderAndTheWayOut)
{
    attach(5);
    testsupport::write_file(logs.path() / "not-a-folder", "a file");
    const std::string place = logs.utf8("not-a-folder");
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", place}), zarvik::exit_failed);
    EXPECT_TRUE(has(stderr_text, "open log file failure, with orbrey.bin") || has(stderr_text, "open log file failure"))
        << stderr_text;
    EXPECT_TRUE(has(stderr_text, "the log folder " + place + " cannot be written; choose another with --log DIR"))
        << stderr_text;
}

TEST_F(Zarvik, OnANarrowTerminalEveryLineFitsAndAResizeStartsAFreshBlock)
{
    attach(5);
    auto p = attach(6);
    attach(7);
    std::atomic<int> width{40};
    testsupport::TempDir screen;  // what the terminal was given, read while it is written
    p->set_command_hook([&](const std::string& line) {
        if (line.rfind("~M28 9000 ", 0) != 0)
            return;
        // The output's thread draws when it comes to it: the resize comes
        // after it has drawn at the first width.
        for (int i = 0; i < 5000 && !has(testsupport::read_file(screen.path() / "out"), "\r\x1b[2K"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        width = 60;
    });
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG"}, true,
                  [&](zarvik::Io& io) {
                      io.out = std::fopen(screen.utf8("out").c_str(), "wb");
                      io.terminal_width = [&] { return width.load(); };
                  }),
              zarvik::exit_updated);
    stdout_text = testsupport::read_file(screen.path() / "out");
    // Each drawn line, without its control sequences, within the width.
    std::size_t blocks = 0;
    for (std::size_t at = stdout_text.find("\r\x1b[2K"); at != std::string::npos;
         at = stdout_text.find("\r\x1b[2K", at + 1)) {
        const std::size_t from = at + 5;
        const std::string line = stdout_text.substr(from, stdout_text.find('\n', from) - from);
        EXPECT_LE(line.size(), 59u) << line;
        blocks += line.rfind("1:5 ", 0) == 0;
    }
    EXPECT_TRUE(has(stdout_text, "...")) << "lines were cut";
    // Every block but the first and the first after the resize goes back up
    // over the one before.
    std::size_t ups = 0;
    for (std::size_t at = stdout_text.find("\x1b[3A"); at != std::string::npos;
         at = stdout_text.find("\x1b[3A", at + 1))
        ++ups;
    EXPECT_EQ(ups, blocks - 2);
}

TEST_F(Zarvik, TheDefaultLogFolderIsBesideThePortableProgramAndTheUsersOwnOtherwise)
{
    struct Case {
        const char* program;
        bool writable;
        bool root;
        const char* state;
        const char* expected;
    };
#ifdef _WIN32
    const char* const app_data = "C:\\Users\\J\xC3\xB6rg\\AppData\\Local";
    const Case cases[] = {
        {"C:\\zarvik-update", true, false, "", "C:\\zarvik-update\\log"},
        {"C:\\Program Files\\zarvik", false, false, "", "C:\\Users\\J\xC3\xB6rg\\AppData\\Local\\zarvik\\log"},
    };
#else
    const Case cases[] = {
        {"/home/u/zarvik-update", true, false, "", "/home/u/zarvik-update/log"},
        {"/opt/zarvik-update", true, true, "", "/opt/zarvik-update/log"},
        {"/usr/bin", true, true, "", "/var/log/zarvik"},
        {"/usr/bin", false, false, "", "/home/u/.local/state/zarvik/log"},
        {"/usr/local/bin", true, false, "/home/u/state", "/home/u/state/zarvik/log"},
        {"/home/u/read-only", false, false, "relative/state", "/home/u/.local/state/zarvik/log"},
        {"/usrx/zarvik-update", true, false, "", "/usrx/zarvik-update/log"},
    };
    const char* const app_data = "";
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        zarvik::LogPlaceFacts facts;
        facts.program_dir = c.program;
        facts.writable = [&](const std::string&) { return c.writable; };
        facts.root_alone = [](const std::string&) { return true; };
        facts.root = c.root;
        facts.state_home = c.state;
        facts.home = "/home/u";
        facts.local_app_data = app_data;
        EXPECT_EQ(zarvik::choose_log_dir(facts), c.expected);
    }
}

// --- a printer without a usable driver (Windows) ------------------------------------

TEST_F(Zarvik, APrinterWithoutADriverIsListedSoAndTheUpdateNamesTheRemedy)
{
    attach(5);
    bus().devices().back()->no_driver = true;
    EXPECT_EQ(run({"list"}), 0);
    EXPECT_EQ(stdout_text, "1:5  port 1-1  2c7e:4201  no driver  [updated by this tool]\n");
    EXPECT_TRUE(has(stderr_text, "install the printer maker's software, which installs the WinUSB driver"))
        << stderr_text;
    EXPECT_EQ(run({"list", "--json"}), 0);
    EXPECT_EQ(json::parse(stdout_text)["printers"][0]["open_error"], "no driver");

    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
    EXPECT_TRUE(has(stderr_text, "connect to printer failure (COM_ERR_CONNECT)")) << stderr_text;
    const auto lines = lines_of(stderr_text);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return has(l, "WinUSB"); }), 1)
        << "one line naming the remedy: " << stderr_text;
}

// --- the background service that holds the printers ------------------------------------

// A service manager that plays its part as told, and notes what the printers
// were doing at each call.
class ScriptedService : public zarvik::ServiceManager {
public:
    std::string name() const override { return "SpoolHub"; }

    unsigned long stop(bool* was_running) override
    {
        calls.push_back("stop");
        opens_before_stop = opens();
        if (!stop_error.empty())
            throw std::runtime_error(stop_error);
        if (during_stop)
            during_stop();
        // 1053: it took the request, then stopped making progress.
        *was_running = running && (stop_code == 0 || stop_code == 1053);
        if (stop_code == 0)
            running = false;
        return stop_code;
    }

    unsigned long start() override
    {
        calls.push_back("start");
        const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
        for (const auto& d : emu::UsbBus::instance().devices())
            held_at_start = held_at_start || (d->printer && d->printer->under_control());
        held_at_start = held_at_start || emu::UsbBus::instance().counters.live_handles > 0;
        if (start_code == 0)
            running = true;
        return start_code;
    }

    static int opens()
    {
        int n = 0;
        for (const auto& d : emu::UsbBus::instance().devices())
            n += d->opens;
        return n;
    }

    bool running = true;
    unsigned long stop_code = 0;
    unsigned long start_code = 0;
    std::string stop_error;  // stop throws this
    std::function<void()> during_stop;
    std::vector<std::string> calls;
    int opens_before_stop = -1;
    bool held_at_start = false;
};

TEST_F(Zarvik, TheServiceIsStoppedBeforeAnyPrinterIsOpenedAndStartedAgainAfterTheyAreGivenBack)
{
    struct Case {
        const char* what;
        bool running;
        unsigned long stop_code;
        unsigned long start_code;
        bool printer_fails;
        int status;
        std::vector<std::string> calls;
        std::vector<std::string> said;  // lines on standard error, in order, among others
    };
    const std::string stopped = "zarvik: stopped the background service SpoolHub, which holds the printers; it is "
                                "started again when zarvik ends";
    const std::string started = "zarvik: started the background service SpoolHub again";
    const Case cases[] = {
        {"running, updated", true, 0, 0, false, 0, {"stop", "start"}, {stopped, started}},
        {"running, the update fails", true, 0, 0, true, 1, {"stop", "start"}, {stopped, started}},
        // The update stands as it was; the user is told how to start the service.
        {"does not start again",
         true,
         0,
         1053,
         false,
         0,
         {"stop", "start"},
         {stopped, "zarvik: could not start the background service SpoolHub again: it stopped making progress "
                   "(system error 1053); start it with: sc start SpoolHub"}},
        {"installed, not running", false, 0, 0, false, 0, {"stop"}, {}},
        {"not installed", false, 1060, 0, false, 0, {"stop"}, {}},
        {"does not take stop requests",
         true,
         1052,
         0,
         false,
         1,
         {"stop"},
         {"zarvik: cannot stop the background service SpoolHub, which holds the printers: it does not take stop "
          "requests (system error 1052); no printer was opened"}},
        // It took the stop request: it is started again all the same.
        {"stuck while stopping",
         true,
         1053,
         0,
         false,
         1,
         {"stop", "start"},
         {"zarvik: cannot stop the background service SpoolHub, which holds the printers: it stopped making progress "
          "(system error 1053); no printer was opened",
          started}},
        {"access denied",
         true,
         5,
         0,
         false,
         1,
         {"stop"},
         {"zarvik: cannot stop the background service SpoolHub, which holds the printers: access denied (system error "
          "5); no printer was opened",
          "zarvik: run zarvik from a console opened as administrator, or stop the service first: sc stop SpoolHub"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus().reset();
        auto p = attach(5);
        if (c.printer_fails)
            p->replace_reply("M600", 1, "failed", 1);
        ScriptedService spool;
        spool.running = c.running;
        spool.stop_code = c.stop_code;
        spool.start_code = c.start_code;
        service = &spool;
        EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), c.status);
        EXPECT_EQ(spool.calls, c.calls);
        EXPECT_EQ(spool.opens_before_stop, 0) << "a printer was opened before the service was stopped";
        EXPECT_FALSE(spool.held_at_start) << "started again while a printer was held";
        const auto lines = lines_of(stderr_text);
        auto at = lines.begin();
        for (const std::string& line : c.said) {
            at = std::find(at, lines.end(), line);
            EXPECT_NE(at, lines.end()) << line << "\nin:\n" << stderr_text;
        }
        if (c.said.empty()) {
            EXPECT_FALSE(has(stderr_text, "service")) << stderr_text;
        }
        if (c.status == 1 && !c.printer_fails) {
            EXPECT_EQ(ScriptedService::opens(), 0) << "no printer opened when the service cannot be stopped";
        } else {
            EXPECT_TRUE(stored(*p, "0:/sys/orbrey.bin") == image);
        }
    }
}

TEST_F(Zarvik, ListHoldsTheServiceTooAndPlanLeavesItAlone)
{
    attach(5);
    ScriptedService spool;
    service = &spool;
    EXPECT_EQ(run({"plan", "--firmware", "FW"}), 0);
    EXPECT_TRUE(spool.calls.empty());
    EXPECT_EQ(run({"list"}), 0);
    EXPECT_EQ(spool.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_EQ(spool.opens_before_stop, 0);

    spool.calls.clear();
    spool.stop_code = 1052;
    EXPECT_EQ(run({"list"}), zarvik::exit_failed);
    EXPECT_EQ(stdout_text, "") << "no printer listed";
    EXPECT_TRUE(has(stderr_text, "cannot stop the background service SpoolHub")) << stderr_text;
}

TEST_F(Zarvik, JsonHasTheServiceEventsOneObjectALine)
{
    attach(5);
    ScriptedService spool;
    service = &spool;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--json", "--log", "LOG"}), 0);
    const auto lines = lines_of(stdout_text);
    ASSERT_GE(lines.size(), 4u);
    for (const std::string& line : lines)
        EXPECT_TRUE(json::parse(line).is_object()) << line;
    EXPECT_EQ(lines.front(), R"({"event":"service","name":"SpoolHub","action":"stopped"})");
    EXPECT_EQ(json::parse(lines[1])["event"], "plan");
    EXPECT_EQ(json::parse(lines[lines.size() - 2])["event"], "done");
    EXPECT_EQ(lines.back(), R"({"event":"service","name":"SpoolHub","action":"started"})");
    EXPECT_EQ(stderr_text, "");

    spool.stop_code = 5;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--json", "--log", "LOG"}), zarvik::exit_failed);
    EXPECT_EQ(stdout_text, R"({"event":"service","name":"SpoolHub","action":"stop_failed","system_error":5,)"
                           R"("reason":"access denied","hint":"run zarvik from a console opened as administrator, )"
                           R"(or stop the service first: sc stop SpoolHub"})"
                           "\n"
                           // The run ends before any printer is opened: its error event, with the exit status.
                           R"({"event":"error","exit_status":1,"message":"cannot stop the background service )"
                           R"(SpoolHub, which holds the printers: access denied (system error 5); no printer was )"
                           R"(opened"})"
                           "\n");
    EXPECT_EQ(stderr_text, "");

    spool.stop_code = 0;
    spool.start_code = 1058;
    EXPECT_EQ(run({"list", "--json"}), 0);
    EXPECT_EQ(
        lines_of(stdout_text).back(),
        R"({"event":"service","name":"SpoolHub","action":"start_failed","system_error":1058,"reason":"it is disabled"})");
}

TEST_F(Zarvik, AnErrorThrownEndsWithItsOwnStatusAndTheServiceStartedAgain)
{
    attach(5);
    ScriptedService spool;
    spool.stop_error = "the service manager ran out of memory";
    service = &spool;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_error);
    EXPECT_EQ(stderr_text, "zarvik: unexpected error: the service manager ran out of memory\n");
    EXPECT_EQ(ScriptedService::opens(), 0);

    // Thrown while the service is held, it is started again on the way out.
    ScriptedService held;
    zarvik::Io io;
    io.err = std::tmpfile();
    io.service = &held;
    try {
        zarvik::ServiceHold hold(io, false);
        ASSERT_TRUE(hold.stop());
        throw std::runtime_error("thrown while held");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(held.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_TRUE(held.running);
    std::fclose(io.err);
}

#ifdef _WIN32
// The system calls console handlers on a thread of its own, at any moment.

TEST_F(Zarvik, TheConsoleHandlerNeverReachesAWatchThatHasEnded)
{
    // A Ctrl-C that is being passed on while the watch ends: the watch waits
    // for it.  The notice looks whether the watch has ended meanwhile.
    std::mutex mutex;
    std::condition_variable changed;
    bool in_notice = false, ended = false, ended_during_notice = false;
    auto watch = std::make_unique<zarvik::InterruptWatch>([&](int) {
        std::unique_lock<std::mutex> lock(mutex);
        in_notice = true;
        changed.notify_all();
        ended_during_notice = changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return ended; });
    });
    int handled = -1;
    std::thread system([&] { handled = zarvik::InterruptWatch::console_event(CTRL_C_EVENT); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return in_notice; });
    }
    std::thread ending([&] {
        watch.reset();
        const std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        changed.notify_all();
    });
    system.join();
    ending.join();
    EXPECT_FALSE(ended_during_notice) << "the watch ended while the handler was using it";
    EXPECT_EQ(handled, TRUE);
    // Once it has ended, the handler leaves Ctrl-C to the next one.
    EXPECT_EQ(zarvik::InterruptWatch::console_event(CTRL_C_EVENT), FALSE);
}

TEST_F(Zarvik, AClosedConsoleKeepsTheProcessUntilThePrinterIsGivenBackAndTheServiceRuns)
{
    auto p = attach(5);
    ScriptedService spool;
    service = &spool;
    // The console is closed while the printer takes the fonts' upload request.
    const int before = zarvik::InterruptWatch::handled();
    std::thread system;
    bool held_when_watch_returned = true, running_when_hold_returned = false;
    int watch_result = -1, hold_result = -1;
    p->set_command_hook([&](const std::string& line) {
        if (line.rfind("~M28 9000 ", 0) != 0 || system.joinable())
            return;
        system = std::thread([&] {
            // As the system does: the handlers in turn, the last installed first.
            watch_result = zarvik::InterruptWatch::console_event(CTRL_CLOSE_EVENT);
            {
                const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
                held_when_watch_returned = p->under_control();
            }
            if (!watch_result)
                hold_result = zarvik::ServiceHold::console_event(CTRL_CLOSE_EVENT);
            running_when_hold_returned = spool.running;
        });
        for (int i = 0; i < 5000 && zarvik::InterruptWatch::handled() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
    ASSERT_TRUE(system.joinable());
    system.join();
    EXPECT_EQ(watch_result, FALSE) << "on to the next handler";
    EXPECT_FALSE(held_when_watch_returned) << "the handler returned before the printer was given back";
    EXPECT_EQ(hold_result, FALSE);
    EXPECT_TRUE(running_when_hold_returned) << "the handler returned before the service ran again";
    EXPECT_EQ(p->installs().size(), 1u);
    EXPECT_EQ(p->commands().back(), "~M602");
}

TEST_F(Zarvik, EveryWayTheSessionEndsStopsAtOnceAndReturnsOnlyOnceThePrinterIsBackAndTheServiceRuns)
{
    // zarvik.exe loads user32.dll, so the system tells it of a logoff or a
    // shutdown only through its hidden window.
    zarvik::watch_session_end();
    const HWND window = static_cast<HWND>(zarvik::session_end_window());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE) << "nothing held: let through";
    const struct {
        const char* what;
        LPARAM query;
        LRESULT answer;
        void (*end)(HWND);
    } cases[] = {
        {"a logoff", ENDSESSION_LOGOFF, FALSE, [](HWND w) { SendMessageW(w, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF); }},
        {"an end that cannot be refused", static_cast<LPARAM>(ENDSESSION_CRITICAL), TRUE,
         [](HWND w) { SendMessageW(w, WM_ENDSESSION, TRUE, static_cast<LPARAM>(ENDSESSION_CRITICAL)); }},
        {"the console closed", ENDSESSION_LOGOFF, FALSE,
         [](HWND) {
             // As the system does: the handlers in turn, the last installed first.
             EXPECT_EQ(zarvik::InterruptWatch::console_event(CTRL_CLOSE_EVENT), FALSE);
             EXPECT_EQ(zarvik::ServiceHold::console_event(CTRL_CLOSE_EVENT), FALSE);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bus().reset();
        emu::VirtualClock::reset();
        auto p = attach(5);
        p->silence_replies("M29");  // the upload's end is never answered: 500 ms + 20 s of waits
        ScriptedService spool;
        service = &spool;
        const int before = zarvik::InterruptWatch::handled();
        LRESULT answer = -1;
        bool held_at_return = true, running_at_return = false;
        std::thread system;
        p->set_command_hook([&](const std::string& line) {
            if (line.rfind("~M28 70000 ", 0) != 0 || system.joinable())
                return;
            answer = SendMessageW(window, WM_QUERYENDSESSION, 0, c.query);
            system = std::thread([&] {
                c.end(window);
                {
                    const std::lock_guard<std::recursive_mutex> lock(emu::UsbBus::mutex());
                    held_at_return = p->under_control();
                }
                running_at_return = spool.running;
            });
            for (int i = 0; i < 5000 && zarvik::InterruptWatch::handled() == before; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        EXPECT_EQ(run({"update", "--firmware", "FW", "--log", "LOG"}), zarvik::exit_failed);
        ASSERT_TRUE(system.joinable());
        system.join();
        EXPECT_EQ(answer, c.answer);
        EXPECT_TRUE(emu::VirtualClock::sleeps().empty()) << "no pause before ~M29: stopped at once";
        EXPECT_LE(emu::VirtualClock::elapsed_ms(), 100u + 1000u) << "at most a second for the silent ~M29";
        EXPECT_FALSE(held_at_return) << "returned before the printer was given back";
        EXPECT_TRUE(running_at_return) << "returned before the service ran again";
        EXPECT_EQ(p->commands().back(), "~M602");
        // The session goes on after all (for the next case): nothing is held now.
        SendMessageW(window, WM_ENDSESSION, FALSE, 0);
        EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    }
}

TEST_F(Zarvik, CtrlCWhileTheServiceStopsEndsBeforeAnyPrinterIsOpened)
{
    attach(5);
    ScriptedService spool;
    spool.during_stop = [] { EXPECT_EQ(zarvik::ServiceHold::console_event(CTRL_C_EVENT), TRUE); };
    service = &spool;
    for (const Args& args : {Args{"list"}, Args{"update", "--firmware", "FW", "--log", "LOG"},
                             Args{"update", "--firmware", "FW", "--log", "LOG", "--json"}}) {
        spool.calls.clear();
        EXPECT_EQ(run(args), zarvik::exit_failed) << args[0];
        EXPECT_EQ(spool.calls, (std::vector<std::string>{"stop", "start"})) << args[0];
        EXPECT_TRUE(has(stderr_text, "zarvik: interrupted; no printer was opened")) << stderr_text;
        EXPECT_EQ(ScriptedService::opens(), 0) << args[0];
        if (args.back() == "--json") {
            EXPECT_TRUE(has(stdout_text, R"({"event":"error","exit_status":1,"message":"interrupted; no printer )"
                                         R"(was opened"})"))
                << stdout_text;
        }
    }
    // Without a hold the handler leaves Ctrl-C to the system.
    EXPECT_EQ(zarvik::ServiceHold::console_event(CTRL_C_EVENT), FALSE);
}
#endif

#ifndef _WIN32
TEST_F(Zarvik, NamesThatWouldDriveATerminalAreShownEscapedAndCarriedWholeInJson)
{
    // U+009B is CSI: "\xC2\x9B" "2J" clears the screen of a terminal that reads C1 controls.
    firmware("csi\xC2\x9B"
             "2J.xbf",
             10, 7);
    EXPECT_EQ(run({"plan", "--firmware", "FW"}), 0);
    EXPECT_TRUE(has(stdout_text, ". csi\\xC2\\x9B2J.xbf as 0:/sys/csi\\xC2\\x9B2J.xbf, 10 bytes")) << stdout_text;
    EXPECT_EQ(run({"plan", "--firmware", "FW", "--json"}), 0);
    EXPECT_TRUE(has(stdout_text, R"("name":"csi\u009b2J.xbf")")) << stdout_text;
    EXPECT_EQ(json::parse(stdout_text)["files"][1]["name"], "csi\xC2\x9B"
                                                            "2J.xbf");
    // A name that is not UTF-8 cannot be sent; the refusal names it.
    firmware("stray\xFF.xbf", 10, 8);
    EXPECT_EQ(run({"plan", "--firmware", "FW"}), zarvik::exit_failed);
    EXPECT_TRUE(has(stderr_text, "/stray\\xFF.xbf: cannot be opened for reading; nothing was sent")) << stderr_text;
    EXPECT_EQ(run({"plan", "--firmware", "FW", "--json"}), zarvik::exit_failed);
    EXPECT_EQ(json::parse(stdout_text)["file"], folder.utf8("stray\xEF\xBF\xBD.xbf"));
    for (const std::string& text : {stdout_text, stderr_text})
        EXPECT_FALSE(has(text, "\xC2\x9B") || has(text, "\xFF")) << text;
}
#endif

TEST(TerminalText, ControlCharactersAndBytesThatAreNotUtf8AreEscaped)
{
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"Main-2.4.bin", "Main-2.4.bin"},
        {"J\xC3\xB6rg \xE5\x9B\xBA\xE4\xBB\xB6 \xF0\x9F\x96\xA8",
         "J\xC3\xB6rg \xE5\x9B\xBA\xE4\xBB\xB6 \xF0\x9F\x96\xA8"},
        {"a\tb\x1B[2J\x7F", "a\\x09b\\x1B[2J\\x7F"},  // C0 and DEL
        {"\xC2\x80|\xC2\x9B"
         "2J|\xC2\x9D"
         "0;x|\xC2\x9F",
         "\\xC2\\x80|\\xC2\\x9B2J|\\xC2\\x9D0;x|\\xC2\\x9F"},  // C1
        {"\xC2\xA0\xC2\xBF", "\xC2\xA0\xC2\xBF"},              // just past C1: shown
        {"a\xFF"
         "b\x80",
         "a\\xFFb\\x80"},                                       // stray bytes
        {"\xE5\x9B", "\\xE5\\x9B"},                             // a character cut short
        {"\xC0\x80\xED\xA0\x80", "\\xC0\\x80\\xED\\xA0\\x80"},  // overlong NUL, a surrogate
        {std::string("nul\0!", 5), "nul\\x00!"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zarvik::printable(c.text), c.shown) << ::testing::PrintToString(c.text);
    // In JSON the text is carried as it is, the C1 controls escaped; bytes
    // that are not UTF-8 cannot be, and are U+FFFD.
    const std::string line = zarvik::dump(json{{"name", "csi\xC2\x9B"
                                                        "2J\xC2\xA0\xFF\x1B"}});
    EXPECT_EQ(line, R"({"name":"csi\u009b2J)"
                    "\xC2\xA0\xEF\xBF\xBD"
                    R"(\u001b"})");
}

// --- text for a console ---------------------------------------------------------------------

TEST(ConsoleText, PiecesNeverEndInsideACharacter)
{
    const struct {
        std::string text;
        std::size_t whole;
    } cases[] = {
        {"", 0},
        {"plain", 5},
        {"J\xC3\xB6rg", 5},           // whole
        {"J\xC3", 1},                 // ö cut after its first byte
        {"\xE5\x9B\xBA\xE4\xBB", 3},  // 固 whole, 件 cut after two of three
        {"\xF0\x9F\x96", 0},          // a four-byte character cut after three
        {"\xF0\x9F\x96\xA8", 4},      // and whole
        {"a\x80\x80", 3},             // stray continuation bytes: malformed, passed on
        {"a\xFF", 2},                 // a byte that starts nothing
        {"\x80\x80\x80\x80\x80", 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zarvik::whole_utf8_prefix(c.text), c.whole) << ::testing::PrintToString(c.text);
}

// The update history: what `zarvik history` reads back after updates, and
// what --skip-installed leaves alone.
TEST_F(Zarvik, TheHistoryReadsBackEveryPrinterOfEveryRunNewestFirst)
{
    auto a = attach(5);
    auto b = attach(6);
    EXPECT_EQ(run({"history"}), zarvik::exit_updated);
    EXPECT_EQ(stdout_text, "");
    EXPECT_EQ(stderr_text, "zarvik: no update recorded in " + program.utf8("history.sqlite") + "\n");
    b->replace_reply("M600", 1, "failed", 1);  // b takes the fonts up but answers otherwise
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG"}), zarvik::exit_failed);
    EXPECT_EQ(run({"update", "--firmware", "FW", "--serial", "SN1-6", "--log", "LOG"}), zarvik::exit_updated);

    EXPECT_EQ(run({"history"}), zarvik::exit_updated);
    const auto lines = lines_of(stdout_text);
    ASSERT_EQ(lines.size(), 3u) << stdout_text;
    const std::string files =
        "orbrey.bin " + sha256_of(image).substr(0, 8) + ", fonts.xbf " + sha256_of(fonts).substr(0, 8);
    EXPECT_TRUE(has(lines[0], "  1:6 SN1-6  updated  " + files)) << lines[0];
    EXPECT_TRUE(has(lines[1], "  1:6 SN1-6  failed  installed: orbrey.bin " + sha256_of(image).substr(0, 8) +
                                  "; may have been taken up: fonts.xbf " + sha256_of(fonts).substr(0, 8) +
                                  "; not installed: none; printer execute command failure (COM_ERR_COMMAND)"))
        << lines[1];
    EXPECT_TRUE(has(lines[2], "  1:5 SN1-5  updated  " + files)) << lines[2];
    EXPECT_EQ(lines[0].substr(4, 1) + lines[0].substr(10, 1) + lines[0].substr(19, 5), "-  UTC ") << lines[0];

    EXPECT_EQ(run({"history", "--serial", "SN1-6", "--json"}), zarvik::exit_updated);
    const auto objects = lines_of(stdout_text);
    ASSERT_EQ(objects.size(), 2u);
    const json failed = json::parse(objects[1]);
    EXPECT_EQ(failed["event"], "history");
    EXPECT_EQ(failed["outcome"], "failed");
    EXPECT_EQ(failed["code_name"], "COM_ERR_COMMAND");
    EXPECT_EQ(failed["files"][1]["state"], "may_have_been_taken_up");
    EXPECT_EQ(failed["files"][0]["sha256"], sha256_of(image));
    EXPECT_EQ(failed["run"]["exit_status"], 1);
    EXPECT_EQ(failed["run"]["command"], "zarvik update --firmware " + folder.utf8() + " --all --log " + logs.utf8());
    EXPECT_TRUE(has(failed["log"].get<std::string>(), logs.utf8("1-6"))) << failed["log"];
    EXPECT_EQ(failed["port_path"], "1-2") << "the port the printer was plugged in at";
    EXPECT_EQ(run({"history", "--printer", "1:5"}), zarvik::exit_updated);
    EXPECT_EQ(lines_of(stdout_text).size(), 1u);
    EXPECT_EQ(run({"history", "--since", "2999-01-01"}), zarvik::exit_updated);
    EXPECT_EQ(stdout_text, "");
    EXPECT_EQ(run({"history", "--since", "last week"}), zarvik::exit_usage);
    // With --no-history nothing more is recorded.
    EXPECT_EQ(run({"update", "--firmware", "FW", "--serial", "SN1-5", "--log", "LOG", "--no-history"}),
              zarvik::exit_updated);
    EXPECT_EQ(run({"history"}), zarvik::exit_updated);
    EXPECT_EQ(lines_of(stdout_text).size(), 3u);
}

TEST_F(Zarvik, SkipInstalledLeavesAloneExactlyThePrintersWhoseLastRecordIsThisPlanInstalled)
{
    auto a = attach(5);
    auto b = attach(6);
    auto c = attach(7);
    b->replace_reply("M28", 0, "busy", 1);  // b fails on the fonts
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG"}), zarvik::exit_failed);
    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> left_alone;  // serials
        std::vector<std::string> updated;
    };
    const Step steps[] = {
        {"the same plan", [] {}, {"SN1-5", "SN1-7"}, {"SN1-6"}},
        {"the same plan again, every printer updated", [] {}, {"SN1-5", "SN1-6", "SN1-7"}, {}},
        {"another printer", [&] { attach(8); }, {"SN1-5", "SN1-6", "SN1-7"}, {"SN1-8"}},
        {"a changed file", [&] { firmware("fonts.xbf", 9000, 9); }, {}, {"SN1-5", "SN1-6", "SN1-7", "SN1-8"}},
        {"the changed plan again", [] {}, {"SN1-5", "SN1-6", "SN1-7", "SN1-8"}, {}},
    };
    for (const Step& step : steps) {
        step.change();
        const std::size_t sent_before = a->installs().size() + b->installs().size() + c->installs().size();
        EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG", "--skip-installed", "--json"}),
                  zarvik::exit_updated)
            << step.what << stderr_text;
        std::vector<std::string> left_alone, updated;
        for (const std::string& line : lines_of(stdout_text)) {
            const json event = json::parse(line);
            if (event["event"] == "left_alone") {
                left_alone.push_back(event["serial"]);
                EXPECT_TRUE(has(event["reason"], "already has these files, installed 2")) << event["reason"];
            }
            if (event["event"] == "done" && event["succeed"] == true)
                updated.push_back(event["serial"]);
        }
        std::sort(updated.begin(), updated.end());
        EXPECT_EQ(left_alone, step.left_alone) << step.what;
        EXPECT_EQ(updated, step.updated) << step.what;
        if (step.updated.empty()) {
            EXPECT_EQ(a->installs().size() + b->installs().size() + c->installs().size(), sent_before)
                << step.what << ": nothing sent";
        }
    }
    // The summary names the printers left alone.
    EXPECT_EQ(run({"update", "--firmware", "FW", "--all", "--log", "LOG", "--skip-installed"}), zarvik::exit_updated);
    EXPECT_TRUE(has(stdout_text, "summary: 0 of 4 printers updated, 4 left alone\n")) << stdout_text;
    EXPECT_TRUE(has(stdout_text, "1:6 SN1-6: left alone: already has these files, installed 2")) << stdout_text;
    EXPECT_EQ(run({"update", "--firmware", "FW", "--skip-installed", "--no-history"}), zarvik::exit_usage);
}

TEST_F(Zarvik, AHistoryThatCannotBeWrittenIsSaidOnceAndTheUpdateGoesOn)
{
    auto p = attach(5);
    testsupport::write_file(logs.path() / "farm.csv", "serial,firmware\n");
    testsupport::write_file(logs.path() / "plain-file", "x");
    sqlite3* locker = nullptr;
    const std::string locked = logs.utf8("locked.sqlite");
    ASSERT_EQ(run({"update", "--firmware", "FW", "--history", locked, "--no-history"}), zarvik::exit_usage);
    ASSERT_EQ(run({"update", "--firmware", "FW", "--history", locked}), zarvik::exit_updated);
    ASSERT_EQ(sqlite3_open(locked.c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    struct Case {
        std::string history;
        const char* reason;
    };
    const Case cases[] = {
        {logs.utf8("farm.csv"), "file is not a database"},
        {logs.utf8("plain-file") + "/history.sqlite", "unable to open database file"},
        {locked, "database is locked"},
    };
    for (const Case& c : cases) {
        for (const bool as_json : {false, true}) {
            const std::size_t before = p->installs().size();
            Args args{"update", "--firmware", "FW", "--history", c.history};
            if (as_json)
                args.push_back("--json");
            EXPECT_EQ(run(args), zarvik::exit_updated) << c.history;
            EXPECT_EQ(p->installs().size(), before + 2) << c.history << ": the update went on";
            const std::string said = "zarvik: the update history " + c.history + " cannot be written (";
            EXPECT_TRUE(has(stderr_text, said) && has(stderr_text, c.reason)) << stderr_text;
            EXPECT_EQ(stderr_text.find(said), stderr_text.rfind(said)) << "said once";
            if (as_json) {
                int events = 0;
                for (const std::string& line : lines_of(stdout_text))
                    events += json::parse(line)["event"] == "history_error";
                EXPECT_EQ(events, 1) << stdout_text;
            }
        }
    }
    sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
    EXPECT_EQ(testsupport::read_file(logs.path() / "farm.csv"), "serial,firmware\n");
}

}  // namespace

// zarvik's update history on the real libusb-1.0 under the umockdev printer
// emulator: zarvik itself is run (and killed) as this test's child, the
// printers steered through the emulator's control socket.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "history/database.h"
#include "system_fixture.h"

namespace {

using history::FileState;
using history::Outcome;

class HistorySystem : public systemtest::SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        testsupport::write_file(fw.path() / "Main-2.4.bin", testsupport::pattern_bytes(70000, 1));
        testsupport::write_file(fw.path() / "fonts.xbf", testsupport::pattern_bytes(9000, 2));
    }

    // zarvik update on the printer at `place` ("" for --all), started.
    pid_t start(const std::string& place, const std::string& name, const std::string& history_file = "")
    {
        std::vector<std::string> args = {
            ZARVIK_PROGRAM, "update",       "--firmware", fw.utf8(),
            "--log",        out.utf8(name), "--history",  history_file.empty() ? path() : history_file};
        if (place.empty())
            args.push_back("--all");
        else
            args.insert(args.end(), {"--printer", place});
        const pid_t child = ::fork();
        if (child == 0) {
            const std::string out_file = out.utf8(name + ".out"), err_file = out.utf8(name + ".err");
            if (!std::freopen(out_file.c_str(), "w", stdout) || !std::freopen(err_file.c_str(), "w", stderr))
                ::_exit(120);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(121);
        }
        return child;
    }

    static int wait_status(pid_t child)
    {
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::vector<history::PrinterRun> records()
    {
        return history::Database::open(path(), history::Database::Mode::read)->read({});
    }
    std::string path() const { return out.utf8("history.sqlite"); }
    std::string err_of(const std::string& name) { return testsupport::read_file(out.path() / (name + ".err")); }

    int add_printer(int address)
    {
        emu::ControlClient::NewPrinter printer;
        printer.vendor_id = vid;
        printer.product_id = pid;
        printer.bus = 1;
        printer.address = address;
        return ctl->plug(printer);
    }

    testsupport::TempDir fw, out;
};

std::vector<FileState> states_of(const history::PrinterRun& r)
{
    std::vector<FileState> states;
    for (const auto& f : r.files)
        states.push_back(f.state);
    return states;
}

TEST_F(HistorySystem, AnAllRunAndTwoProcessesAtOnceAreRecordedWholeAndApart)
{
    add_printer(6);
    add_printer(7);
    ASSERT_EQ(wait_status(start("", "all")), 0) << err_of("all");
    const pid_t a = start("1:5", "a");
    const pid_t b = start("1:6", "b");
    EXPECT_EQ(wait_status(a), 0) << err_of("a");
    EXPECT_EQ(wait_status(b), 0) << err_of("b");
    const auto runs = records();
    ASSERT_EQ(runs.size(), 5u);
    std::vector<std::string> all_run;
    for (const auto& r : runs) {
        EXPECT_EQ(r.outcome, Outcome::updated) << r.serial;
        EXPECT_EQ(states_of(r), std::vector<FileState>(2, FileState::installed)) << r.serial;
        EXPECT_EQ(r.files[0].planned.printer_name, "orbrey.bin");
        EXPECT_EQ(r.exit_status, std::optional<int>(0));
        EXPECT_NE(r.log_path.find(r.command.find("--all") != std::string::npos
                                      ? "/all/1-" + std::to_string(r.address) + "/libcom-"
                                      : "/" + std::string(r.address == 5 ? "a" : "b") + "/libcom-"),
                  std::string::npos)
            << r.log_path;
        if (r.command.find("--all") != std::string::npos)
            all_run.push_back(r.serial);
        else
            EXPECT_NE(r.command.find("--printer 1:" + std::to_string(r.address)), std::string::npos) << r.command;
    }
    std::sort(all_run.begin(), all_run.end());
    EXPECT_EQ(all_run, (std::vector<std::string>{"SN1-5", "SN1-6", "SN1-7"}));
    EXPECT_NE(runs[0].run_id, runs[1].run_id) << "the two processes' runs are two";
}

TEST_F(HistorySystem, ARunKilledAtEachStepReadsInterruptedAtTheFileItReached)
{
    struct Case {
        const char* step;
        // Holds the printer at the step; then the record that shows zarvik there.
        std::function<void(int printer)> hold;
        std::function<bool(const history::PrinterRun&)> there;
        std::optional<std::size_t> reached;
        std::vector<FileState> files;
    };
    const Case cases[] = {
        {"before the open",
         [this](int p) { ctl->silence_replies(p, "M601", 0); },
         [](const history::PrinterRun& r) { return !r.log_path.empty(); },
         std::nullopt,
         {FileState::not_installed, FileState::not_installed}},
        {"after a take-up, before its answer",
         [this](int p) { ctl->silence_replies(p, "M600", 1); },
         [](const history::PrinterRun& r) { return r.reached == std::optional<std::size_t>(0); },
         0,
         {FileState::may_have_been_taken_up, FileState::not_installed}},
        {"during a file",
         [this](int p) { ctl->silence_replies(p, "M28", 0, 1); },
         [](const history::PrinterRun& r) { return r.reached == std::optional<std::size_t>(1); },
         1,
         {FileState::installed, FileState::may_have_been_taken_up}},
    };
    int address = 10;
    for (const Case& c : cases) {
        testsupport::fs::remove(testsupport::from_utf8(path()));
        const int printer = add_printer(address);
        c.hold(printer);
        const pid_t zarvik = start("1:" + std::to_string(address++), "killed");
        bool held = systemtest::wait_for(
            [&] {
                try {
                    const auto runs = records();
                    return runs.size() == 1 && runs[0].outcome == Outcome::running && c.there(runs[0]);
                } catch (const history::Error&) {
                    return false;  // not made yet
                }
            },
            8000);
        if (std::string(c.step).find("take-up") != std::string::npos)
            held = held && systemtest::wait_for([&] { return ctl->installs(printer).size() == 1; });
        EXPECT_TRUE(held) << c.step << ": the record never showed zarvik at the step";
        ::kill(zarvik, SIGKILL);
        EXPECT_EQ(wait_status(zarvik), 128 + SIGKILL);
        const auto runs = records();
        ASSERT_EQ(runs.size(), 1u) << c.step;
        EXPECT_EQ(runs[0].outcome, Outcome::interrupted) << c.step;
        EXPECT_EQ(runs[0].reached, c.reached) << c.step;
        EXPECT_EQ(states_of(runs[0]), c.files) << c.step;
        EXPECT_FALSE(runs[0].log_path.empty()) << c.step;
    }
}

TEST_F(HistorySystem, AHistoryThatIsNotADatabaseIsSaidOnceAndTheUpdateGoesOn)
{
    const std::string sheet = "serial,firmware\nSN1-5,2.3\n";
    testsupport::write_file(out.path() / "farm.csv", sheet);
    EXPECT_EQ(wait_status(start("1:5", "sheet", out.utf8("farm.csv"))), 0);
    const std::string err = err_of("sheet");
    EXPECT_NE(err.find("the update history " + out.utf8("farm.csv") + " cannot be written (file is not a database)"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("cannot be written"), err.rfind("cannot be written")) << "said once";
    EXPECT_EQ(ctl->installs(first).size(), 2u) << "the update went on";
    EXPECT_TRUE(testsupport::read_file(out.path() / "farm.csv") == sheet);
}

}  // namespace

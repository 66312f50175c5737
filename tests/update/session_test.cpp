// One update through the update core on the emulated printer: the order of
// what the observer hears, what reaches the printer, the failures and their
// texts, and a cancel in the middle of an upload.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "com/com_factory.h"
#include "com/com_usb.h"
#include "com/result.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"
#include "update/session.h"

namespace {

constexpr std::uint16_t vid = 0x2C7E;
constexpr std::uint16_t pid = 0x4201;

class Recorder : public update::Observer {
public:
    void progress(int percent, float) override
    {
        if (on_progress)
            on_progress(percent);
        events.push_back("progress(" + std::to_string(percent) + ")");
    }
    void file_started(std::size_t i) override
    {
        if (on_start)
            on_start(i);
        events.push_back("start(" + std::to_string(i) + ")");
    }
    void file_installed(std::size_t i) override { events.push_back("installed(" + std::to_string(i) + ")"); }
    void error(const update::Failure& f) override
    {
        failure = f;
        events.push_back("error(" + f.message + ")");
    }
    void done(bool ok) override
    {
        held_during_done = printer && printer->under_control();
        events.push_back(ok ? "done(true)" : "done(false)");
    }

    std::vector<std::string> events;
    update::Failure failure;
    std::function<void(int)> on_progress;
    std::function<void(std::size_t)> on_start;
    std::shared_ptr<emu::Printer> printer;
    bool held_during_done = false;
};

class Session : public testsupport::EmulatedBusTest {
protected:
    void SetUp() override
    {
        EmulatedBusTest::SetUp();
        printer = bus().attach_printer(vid, pid);
        recorder.printer = printer;
    }

    void TearDown() override
    {
        for (const std::string& what : printer->violations())
            ADD_FAILURE() << "printer saw: " << what;
        EXPECT_FALSE(printer->under_control());
        EmulatedBusTest::TearDown();
    }

    std::string add(const std::string& name, std::size_t size, unsigned seed = 1)
    {
        const std::string bytes = testsupport::pattern_bytes(size, seed);
        testsupport::write_file(firmware.path() / name, bytes);
        return bytes;
    }

    update::Outcome run(update::Session* keep = nullptr)
    {
        update::Session own(update::make_plan(update::list_firmware_folder(firmware.utf8())), recorder);
        update::Session& session = keep ? *keep : own;
        session.set_log_note("test run");
        return session.run([&] { return com::ComFactory().create_usb(vid, pid, logs.utf8(), true); });
    }

    std::string stored(const std::string& path) const
    {
        auto it = printer->files().find(path);
        return it == printer->files().end() ? std::string()
                                            : std::string(it->second.data.begin(), it->second.data.end());
    }

    std::string log_text() const
    {
        const auto files = testsupport::log_files(logs.path());
        return files.size() == 1 ? testsupport::read_file(logs.path() / files[0]) : std::string();
    }

    testsupport::TempDir firmware;
    testsupport::TempDir logs;
    std::shared_ptr<emu::Printer> printer;
    Recorder recorder;
};

using Events = std::vector<std::string>;

TEST_F(Session, AWholeUpdateInstallsInPlanOrderAndHoldsThePrinterThroughDone)
{
    const std::string image = add("Main-2.4.bin", 70000, 1);
    const std::string fonts = add("fonts.xbf", 9000, 2);
    add("notes.txt", 10, 3);
    const update::Outcome outcome = run();
    EXPECT_TRUE(outcome.succeed);
    EXPECT_EQ(outcome.installed, 2u);
    EXPECT_EQ(recorder.events, (Events{"progress(0)", "start(0)", "progress(100)", "installed(0)", "start(1)",
                                       "progress(100)", "installed(1)", "done(true)"}));
    EXPECT_TRUE(recorder.held_during_done);
    EXPECT_TRUE(stored("0:/sys/orbrey.bin") == image);
    EXPECT_TRUE(stored("0:/sys/fonts.xbf") == fonts);
    EXPECT_EQ(printer->commands().front(), "~M601 S0");
    EXPECT_EQ(printer->commands().back(), "~M602");
    const std::string log = log_text();
    EXPECT_NE(log.find("update: test run"), std::string::npos);
    EXPECT_NE(log.find("update: sending " + firmware.utf8("Main-2.4.bin") + " (70000 bytes) as 0:/sys/orbrey.bin"),
              std::string::npos);
    EXPECT_LT(log.find("update: sending"), log.find("~M28 70000"));
}

TEST_F(Session, ProblemsFoundBeforehandSendNothingAndMakeNoLink)
{
    struct Case {
        std::vector<std::pair<std::string, std::size_t>> files;
        std::string error;
        int code;
        std::string detail;
    };
    const Case cases[] = {
        {{{"readme.txt", 10}, {"X.BIN", 10}}, "no firmware available.", -1, ""},
        {{}, "no firmware available.", -1, ""},
        {{{"a.bin", 100}, {"b.xbf", 0}}, "open or access file failure", com::COM_ERR_FILE, "b.xbf: is empty"},
        {{{"a.bin", 100}, {std::string(100, 'n') + ".xbf", 5}},
         "invalid arguments",
         com::COM_ERR_INVALID_ARGUMENTS,
         std::string(100, 'n') + ".xbf: has a name of 104 bytes, longer than the printer takes (103)"},
    };
    for (const Case& c : cases) {
        testsupport::fs::remove_all(firmware.path());
        testsupport::fs::create_directories(firmware.path());
        recorder.events.clear();
        for (const auto& f : c.files)
            add(f.first, f.second);
        const update::Outcome outcome = run();
        EXPECT_FALSE(outcome.succeed);
        EXPECT_FALSE(outcome.link_made);
        EXPECT_EQ(recorder.events, (Events{"progress(0)", "error(" + c.error + ")", "done(false)"})) << c.error;
        EXPECT_EQ(recorder.failure.code, c.code);
        EXPECT_EQ(recorder.failure.detail, c.detail);
    }
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_EQ(bus().counters.inits, 0) << "no link was made";
    EXPECT_TRUE(testsupport::log_files(logs.path()).empty());
}

TEST_F(Session, AFailingStepIsTheOneErrorAndLaterFilesAreNotTried)
{
    add("a.bin", 100, 1);
    add("b.xbf", 100, 2);
    add("c.xbf", 100, 3);
    printer->replace_reply("M600", 1, "failed", 1);  // the take-up of b.xbf
    const update::Outcome outcome = run();
    EXPECT_FALSE(outcome.succeed);
    EXPECT_EQ(outcome.installed, 1u);
    EXPECT_EQ(outcome.failure.file, 1u);
    EXPECT_EQ(outcome.failure.code, com::COM_ERR_COMMAND);
    EXPECT_EQ(recorder.events, (Events{"progress(0)", "start(0)", "progress(100)", "installed(0)", "start(1)",
                                       "error(printer execute command failure)", "done(false)"}));
    EXPECT_EQ(printer->files().count("0:/sys/c.xbf"), 0u);
}

TEST_F(Session, AnOpenFailureAndAThrownLogErrorEndLikeAnyFailure)
{
    add("a.bin", 100);
    bus().detach_all();
    update::Outcome outcome = run();
    EXPECT_EQ(recorder.events, (Events{"progress(0)", "error(connect to printer failure)", "done(false)"}));
    EXPECT_TRUE(outcome.link_made);
    EXPECT_EQ(outcome.failure.code, com::COM_ERR_CONNECT);

    recorder.events.clear();
    update::Session session(update::make_plan(update::list_firmware_folder(firmware.utf8())), recorder);
    outcome = session.run([]() -> com::Com* { throw std::runtime_error("open log file failure"); });
    EXPECT_EQ(recorder.events, (Events{"progress(0)", "error(open log file failure)", "done(false)"}));
    EXPECT_EQ(outcome.failure.code, -1);
    EXPECT_FALSE(outcome.link_made);
}

TEST_F(Session, ACancelStopsTheUploadAtTheNextPieceAndGivesThePrinterBack)
{
    bus().find(printer.get())->transfer_ms[0x03] = 300;  // file data takes time: progress reports come
    add("a.bin", 20 * 4096, 1);
    add("b.xbf", 100, 2);
    update::Session session(update::make_plan(update::list_firmware_folder(firmware.utf8())), recorder);
    std::size_t pieces_at_cancel = 0;
    recorder.on_progress = [&](int percent) {
        if (percent > 0 && percent < 100 && pieces_at_cancel == 0) {
            session.cancel();
            pieces_at_cancel = printer->traffic().size();
        }
    };
    const update::Outcome outcome = run(&session);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.installed, 0u);
    EXPECT_EQ(outcome.failure.message, "operation be canceled");
    EXPECT_EQ(recorder.events.back(), "done(false)");
    EXPECT_FALSE(printer->files().at("0:/sys/orbrey.bin").complete);
    EXPECT_TRUE(printer->installs().empty());
    EXPECT_EQ(printer->files().count("0:/sys/b.xbf"), 0u);
    // After the cancel: no further piece, the upload's end, the give-back.
    const auto& commands = printer->commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
              (std::vector<std::string>{"~M29", "~M602"}));
    std::size_t data_after = 0;
    for (std::size_t i = pieces_at_cancel; i < printer->traffic().size(); ++i)
        data_after += printer->traffic()[i].endpoint == 0x03;
    EXPECT_EQ(data_after, 0u);
}

TEST_F(Session, AFileMayHaveBeenTakenUpOnceItsTakeUpCommandReachedThePrinter)
{
    // Whatever the printer answers after "~M600" (or whether it answers at
    // all), it may have taken the file up; before it, it cannot have.
    struct Case {
        const char* what;
        std::function<void(emu::Printer&)> fault;
        bool may_be_taken_up;
    };
    const Case cases[] = {
        {"the upload request refused", [](emu::Printer& p) { p.replace_reply("M28", 1, "busy", 1); }, false},
        {"the printer gone after the take-up",
         [](emu::Printer& p) {
             p.set_command_hook([&p](const std::string& line) {
                 if (line == "~M600" && p.installs().size() == 2)
                     p.unplug();
             });
         },
         true},
        {"another answer to the take-up", [](emu::Printer& p) { p.replace_reply("M600", 1, "failed", 1); }, true},
        {"no answer to the take-up", [](emu::Printer& p) { p.silence_replies("M600", 0, 1); }, true},
    };
    add("a.bin", 100, 1);
    add("b.xbf", 100, 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        recorder.printer = printer;
        c.fault(*printer);
        const update::Outcome outcome = run();
        EXPECT_FALSE(outcome.succeed);
        EXPECT_EQ(outcome.installed, 1u);
        EXPECT_EQ(outcome.failure.file, 1u);
        EXPECT_EQ(outcome.failure.may_be_taken_up, c.may_be_taken_up);
        EXPECT_EQ(printer->installs().size() == 2, c.may_be_taken_up) << "the printer's own record agrees";
    }
}

TEST_F(Session, ACancelJustBeforeAFileBeginsSendsNothingOfIt)
{
    // The moment between the check for a cancel and the upload's start: the
    // upload used to clear the request and send pieces until its first
    // progress report, half a second in.
    bus().find(printer.get())->transfer_ms[0x03] = 300;
    add("a.bin", 100, 1);
    add("b.xbf", 20 * 4096, 2);
    update::Session session(update::make_plan(update::list_firmware_folder(firmware.utf8())), recorder);
    recorder.on_start = [&](std::size_t file) {
        if (file == 1)
            session.cancel();
    };
    const update::Outcome outcome = run(&session);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.installed, 1u);
    EXPECT_EQ(outcome.failure.file, 1u);
    EXPECT_EQ(printer->commands().back(), "~M602");
    EXPECT_EQ(printer->files().count("0:/sys/b.xbf"), 0u) << "b.xbf was announced";
}

#ifndef _WIN32

TEST_F(Session, ALogThatFailsWhileAFileIsInstalledCallsItTakenUpOnlyOnceItsTakeUpWentOut)
{
    // Once "~M600" went out the printer may have taken the file up before
    // the log failed: the report says it may have, never that it was not.
    // Before, it cannot have.
    add("a.bin", 100, 1);
    add("b.xbf", 100, 2);
    ASSERT_TRUE(run().succeed);
    const std::string clean = log_text();
    const std::size_t from = clean.find("update: sending " + firmware.utf8("b.xbf"));
    const std::size_t to = clean.find("com_write: ~M602");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    // Every log line of b.xbf's install, from its first command on.
    std::vector<std::size_t> starts;
    for (std::size_t at = clean.find('\n', from) + 1; at < to; at = clean.find('\n', at) + 1)
        if (clean.compare(at, 9, "2021-4-20") == 0)
            starts.push_back(at);
    ASSERT_GE(starts.size(), 10u);
    bool taken_up_or_not[2] = {false, false};
    for (const std::size_t at : starts) {
        SCOPED_TRACE(clean.substr(at, clean.find('\n', at) - at));
        testsupport::fs::remove_all(logs.path());
        testsupport::fs::create_directories(logs.path());
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        recorder.printer = printer;
        update::Outcome outcome;
        {
            testsupport::DiskFullAt full(at);
            outcome = run();
        }
        const auto& commands = printer->commands();
        const bool take_up_went_out = std::count(commands.begin(), commands.end(), "~M600") == 2;
        taken_up_or_not[take_up_went_out] = true;
        EXPECT_FALSE(outcome.succeed);
        EXPECT_EQ(outcome.failure.message, "It's not enough disk space");
        EXPECT_EQ(outcome.installed, 1u);
        EXPECT_EQ(outcome.failure.file, 1u);
        EXPECT_EQ(outcome.failure.may_be_taken_up, take_up_went_out);
        EXPECT_EQ(recorder.failure.may_be_taken_up, take_up_went_out) << "the observer hears it too";
        EXPECT_FALSE(printer->under_control());
        EXPECT_FALSE(printer->uploading());
    }
    EXPECT_TRUE(taken_up_or_not[0] && taken_up_or_not[1]) << "failures before and after the take-up";
}

TEST_F(Session, AFileSwappedForAFifoAfterItsCheckIsRefusedWithoutWaiting)
{
    add("a.bin", 100, 1);
    add("b.xbf", 100, 2);
    const std::string fifo = firmware.utf8("b.xbf");
    recorder.on_start = [&](std::size_t file) {
        if (file == 1) {
            testsupport::fs::remove(fifo);
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        }
    };
    // Should the upload wait for a writer of the FIFO, one comes after a
    // while, and the case fails.
    std::mutex mutex;
    std::condition_variable changed;
    bool over = false, writer_came = false;
    std::thread writer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return over; })) {
            writer_came = true;
            ::close(::open(fifo.c_str(), O_WRONLY));
        }
    });
    const update::Outcome outcome = run();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        over = true;
    }
    changed.notify_all();
    writer.join();
    EXPECT_FALSE(writer_came) << "the upload waited for the FIFO with the printer taken";
    EXPECT_EQ(outcome.failure.code, com::COM_ERR_FILE);
    EXPECT_EQ(outcome.installed, 1u);
    EXPECT_EQ(printer->files().count("0:/sys/b.xbf"), 0u) << "nothing of it announced";
    EXPECT_EQ(printer->commands().back(), "~M602");
}
#endif

// An observer that throws where it is told the end.
class ThrowingAtDone : public Recorder {
public:
    void done(bool ok) override
    {
        Recorder::done(ok);
        throw std::runtime_error("the observer failed");
    }
};

// A link whose memory outlives it, all zero once it is deleted: whatever
// is written to it afterwards shows.
alignas(std::max_align_t) unsigned char kept_link[sizeof(com::ComUsb) + 64];

class KeptLink : public com::ComUsb {
public:
    using ComUsb::ComUsb;
    static void* operator new(std::size_t size)
    {
        EXPECT_LE(size, sizeof kept_link);
        return kept_link;
    }
    static void operator delete(void*) { std::memset(kept_link, 0, sizeof kept_link); }
};

TEST_F(Session, ALinkIsOutOfReachOfACancelOnceItIsGoneHoweverTheRunEnds)
{
    add("a.bin", 100);
    ThrowingAtDone throwing;
    throwing.printer = printer;
    update::Session session(update::make_plan(update::list_firmware_folder(firmware.utf8())), throwing);
    EXPECT_THROW(session.run([] { return new KeptLink(vid, pid, std::string(), false); }), std::runtime_error);
    EXPECT_EQ(printer->commands().back(), "~M602") << "given back all the same";
    session.cancel(true);
    EXPECT_TRUE(std::all_of(std::begin(kept_link), std::end(kept_link), [](unsigned char b) { return b == 0; }))
        << "the cancel reached the link after it was deleted";
}

TEST_F(Session, ACancelBeforeTheStartSendsNoFile)
{
    // Stopped before the printer is opened: it is not taken ("~M601"), so
    // nothing at all is sent.
    add("a.bin", 100);
    for (const bool while_the_link_is_made : {false, true}) {
        SCOPED_TRACE(while_the_link_is_made);
        bus().reset();
        printer = bus().attach_printer(vid, pid);
        recorder.printer = printer;
        update::Session session(update::make_plan(update::list_firmware_folder(firmware.utf8())), recorder);
        if (!while_the_link_is_made)
            session.cancel();
        const update::Outcome outcome = session.run([&] {
            if (while_the_link_is_made)
                session.cancel();
            return com::ComFactory().create_usb(vid, pid, logs.utf8(), true);
        });
        EXPECT_TRUE(outcome.cancelled);
        EXPECT_EQ(outcome.failure.code, com::COM_ERR_CANCELED);
        EXPECT_EQ(outcome.link_made, while_the_link_is_made);
        EXPECT_EQ(recorder.events.back(), "done(false)");
        EXPECT_EQ(printer->transfer_count(), 0u);
    }
}

TEST_F(Session, EachUploadIsLoggedWithItsSha256)
{
    testsupport::write_file(firmware.path() / "a.bin", "abc");
    add("b.xbf", 9000, 2);
    ASSERT_TRUE(run().succeed);
    EXPECT_NE(log_text().find("update: sending " + firmware.utf8("a.bin") +
                              " (3 bytes) as 0:/sys/orbrey.bin, sha256 "
                              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"),
              std::string::npos)
        << log_text();
}

TEST_F(Session, AFileChangedAfterItsCheckIsNotSentWhole)
{
    const std::string image = add("a.bin", 5 * 4096 + 100, 1);
    add("b.xbf", 100, 2);
    // Once the plan is checked, while the printer is taken over, the file
    // gets other bytes of the same size: what the plan checked and logged is
    // no longer there.
    printer->set_command_hook([&](const std::string& line) {
        if (line == "~M601 S0")
            testsupport::write_file(firmware.path() / "a.bin", testsupport::pattern_bytes(image.size(), 9));
    });
    const update::Outcome outcome = run();
    EXPECT_FALSE(outcome.succeed);
    EXPECT_EQ(outcome.failure.code, com::COM_ERR_FILE);
    EXPECT_EQ(outcome.failure.file, 0u);
    EXPECT_EQ(outcome.installed, 0u);
    EXPECT_EQ(stored("0:/sys/orbrey.bin").size(), 5u * 4096) << "every piece but the last";
    EXPECT_TRUE(printer->installs().empty());
    const auto& commands = printer->commands();
    EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
              (std::vector<std::string>{"~M29", "~M602"}));
    EXPECT_NE(log_text().find(firmware.utf8("a.bin") + " changed since it was checked"), std::string::npos);
}

}  // namespace

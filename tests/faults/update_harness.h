// Shared by the update fault tests: whole updates through UpdateFirmware on
// the emulated printer, what the worker emitted, and the checks every update
// must pass however it ended.
//
// The worker keeps its log in `log` beside the executable, so each test
// executable of this kind runs from a folder of its own and runs its updates
// one after another.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include "support/test_support.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clock/virtual_clock.h"
#include "com/result.h"
#include "libusb/usb_bus.h"
#include "update_firmware.h"

namespace faults {

inline std::string str(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline std::string str(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline QString logDir()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log");
}

inline QString firmwareDir()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/firmware");
}

// Empties the log folder (its files only: removing the folder itself costs
// more than the update).
inline void clearLogs()
{
    QDir dir(logDir());
    if (!dir.exists())
        QDir().mkpath(logDir());
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(name);
}

// The whole text of the one log an update left (the folder is emptied before each).
inline std::string logText()
{
    const QStringList logs = QDir(logDir()).entryList(QStringList{QStringLiteral("libcom-*.log")}, QDir::Files);
    if (logs.size() != 1)
        return std::string();
    QFile file(logDir() + QLatin1Char('/') + logs.front());
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    return str(file.readAll());
}

// `size` bytes that differ from file to file.
inline QByteArray patternBytes(int size, unsigned seed)
{
    return QByteArray::fromStdString(testsupport::pattern_bytes(static_cast<std::size_t>(size), seed));
}

// One local firmware file and where the update puts it on the printer.
struct Firmware {
    QString path;        // local, absolute
    QByteArray bytes;    // what it holds
    std::string remote;  // "0:/sys/orbrey.bin" for the main image, "0:/sys/<name>" otherwise
};

inline std::string remoteFor(const QFileInfo& info)
{
    if (info.suffix() == QLatin1String("bin"))
        return "0:/sys/orbrey.bin";
    return "0:/sys/" + str(info.fileName());
}

// Writes a firmware file into `dir` and describes it.
inline Firmware writeFirmware(const QString& dir, const QString& name, const QByteArray& bytes)
{
    Firmware f;
    f.path = dir + QLatin1Char('/') + name;
    f.bytes = bytes;
    f.remote = remoteFor(QFileInfo(f.path));
    QFile file(f.path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << str(f.path);
    return f;
}

// The folder's files as the window lists them for the worker.
inline QFileInfoList listFolder(const QString& dir)
{
    return QDir(dir, QStringLiteral("*"), QDir::Name | QDir::IgnoreCase, QDir::Files).entryInfoList();
}

// Every text the worker's result table can give (codes 1..16 and any other value).
inline std::set<QString> applicationTexts()
{
    std::set<QString> texts;
    UpdateFirmware worker;
    QObject::connect(&worker, &UpdateFirmware::error, [&](const QString& m) { texts.insert(m); });
    for (int code = 1; code <= com::result_code_count; ++code)
        worker.checkResult(code);
    return texts;
}

// The application's text of one result code.
inline QString applicationText(int code)
{
    QString text;
    UpdateFirmware worker;
    QObject::connect(&worker, &UpdateFirmware::error, [&](const QString& m) { text = m; });
    worker.checkResult(code);
    return text;
}

// What one update emitted, in order.
struct Emitted {
    QStringList events;  // "progress(n)", "error(text)", "done(true)", "done(false)"
    QStringList errors;
    std::vector<bool> done;

    bool succeeded() const { return done.size() == 1 && done.front(); }
    QString outcome() const
    {
        if (done.size() != 1)
            return QStringLiteral("no single done()");
        if (done.front())
            return errors.isEmpty() ? QStringLiteral("done(true)") : QStringLiteral("done(true) with errors");
        return errors.size() == 1 ? errors.front() : QStringLiteral("%1 errors").arg(errors.size());
    }
};

// Aborts the process when one update does not end within its time: an update
// that hangs must fail the run, naming the case, instead of stalling it.  One
// thread watches every update of the process.
class Watchdog {
public:
    static Watchdog& instance()
    {
        static Watchdog watchdog;
        return watchdog;
    }

    void arm(std::string what, int seconds)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = std::move(what);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        armed_ = true;
        cv_.notify_all();
    }

    void disarm()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = false;
        cv_.notify_all();
    }

    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Watches one scope.
    class Scope {
    public:
        Scope(std::string what, int seconds) { instance().arm(std::move(what), seconds); }
        ~Scope() { instance().disarm(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };

private:
    Watchdog() : thread_([this] { watch(); }) {}

    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (!armed_) {
                cv_.wait(lock);
                continue;
            }
            cv_.wait_until(lock, deadline_);
            if (armed_ && !stop_ && std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "FATAL: the update did not end: %s\n", what_.c_str());
                std::fflush(stderr);
                std::abort();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    bool armed_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Runs one whole update.  `onProgress` runs inside each progress signal.
inline Emitted runUpdate(const QFileInfoList& files, const std::string& what,
                         const std::function<void(int)>& onProgress = nullptr)
{
    Emitted e;
    UpdateFirmware worker;
    QObject::connect(&worker, &UpdateFirmware::progressUpdated, [&](int p) {
        e.events << QStringLiteral("progress(%1)").arg(p);
        if (onProgress)
            onProgress(p);
    });
    QObject::connect(&worker, &UpdateFirmware::error, [&](const QString& m) {
        e.events << QStringLiteral("error(%1)").arg(m);
        e.errors << m;
    });
    QObject::connect(&worker, &UpdateFirmware::done, [&](bool ok) {
        e.events << (ok ? QStringLiteral("done(true)") : QStringLiteral("done(false)"));
        e.done.push_back(ok);
    });
    Watchdog::Scope watched(what, 60);
    worker.update(files);
    return e;
}

// The signal contract: progress(0) first, then progress, then done(true)
// alone or exactly one error followed by done(false), nothing after done.
inline void checkSignals(const Emitted& e, const std::set<QString>& allowedErrors)
{
    ASSERT_FALSE(e.events.isEmpty());
    EXPECT_EQ(str(e.events.front()), "progress(0)");
    ASSERT_EQ(e.done.size(), 1u) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_TRUE(e.events.back().startsWith(QLatin1String("done("))) << str(e.events.join(QLatin1Char(' ')));
    if (e.done.front()) {
        EXPECT_TRUE(e.errors.isEmpty()) << str(e.events.join(QLatin1Char(' ')));
    } else {
        ASSERT_EQ(e.errors.size(), 1) << str(e.events.join(QLatin1Char(' ')));
        EXPECT_TRUE(e.events[e.events.size() - 2].startsWith(QLatin1String("error(")))
            << "the error comes right before done(false): " << str(e.events.join(QLatin1Char(' ')));
        EXPECT_TRUE(allowedErrors.count(e.errors.front()) == 1) << "not a text of the table: " << str(e.errors.front());
    }
    for (const QString& ev : e.events) {
        if (!ev.startsWith(QLatin1String("progress(")))
            continue;
        const int p = ev.mid(9, ev.size() - 10).toInt();
        EXPECT_TRUE(p >= 0 && p <= 100) << str(ev);
    }
}

// libusb used as a careful caller does: nothing left open, init and exit paired.
inline void checkBus()
{
    const emu::UsbBus& bus = emu::UsbBus::instance();
    for (const std::string& what : bus.misuse)
        ADD_FAILURE() << "libusb misuse: " << what;
    EXPECT_EQ(bus.counters.live_device_lists, 0) << "a device list was not freed";
    EXPECT_EQ(bus.counters.live_handles, 0) << "a device handle was not closed";
    EXPECT_EQ(bus.counters.claimed_interfaces, 0) << "an interface stayed claimed";
    EXPECT_EQ(bus.counters.default_context_refs, 0) << "libusb_init without libusb_exit";
    EXPECT_EQ(bus.counters.inits, bus.counters.exits);
    EXPECT_EQ(bus.counters.unmatched_exits, 0);
}

// What the printer holds and took up: only files that arrived whole were
// taken up, and every file it holds as complete is its local file byte for
// byte.  Takes up from install number `firstInstall` on are this update's.
inline void checkPrinterFiles(const emu::Printer& printer, const std::vector<Firmware>& firmware,
                              std::size_t firstInstall = 0)
{
    std::map<std::string, const Firmware*> byRemote;
    for (const Firmware& f : firmware)
        byRemote[f.remote] = &f;
    for (const auto& entry : printer.files()) {
        auto local = byRemote.find(entry.first);
        if (local == byRemote.end()) {
            ADD_FAILURE() << "the printer holds a file nobody sent: " << entry.first;
            continue;
        }
        if (!entry.second.complete)
            continue;
        EXPECT_EQ(entry.second.announced, static_cast<std::uint64_t>(local->second->bytes.size())) << entry.first;
        EXPECT_TRUE(std::equal(entry.second.data.begin(), entry.second.data.end(), local->second->bytes.begin(),
                               local->second->bytes.end(),
                               [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
            << "a complete file differs from its local file: " << entry.first;
    }
    for (std::size_t i = firstInstall; i < printer.installs().size(); ++i) {
        const emu::Install& install = printer.installs()[i];
        EXPECT_TRUE(install.complete) << "took up a file that did not arrive whole: " << install.path;
    }
}

// The local files are as they were: an update only reads them.
inline void checkLocalFiles(const std::vector<Firmware>& firmware)
{
    for (const Firmware& f : firmware) {
        QFile file(f.path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << str(f.path);
        EXPECT_TRUE(file.readAll() == f.bytes) << "local file changed: " << str(f.path);
    }
}

// Nothing a well-behaved host never does: no fault of the printer or the bus
// excuses one (a command line left half-sent, data past the announced size).
inline void checkViolations(const emu::Printer& printer)
{
    for (const std::string& what : printer.violations())
        ADD_FAILURE() << "printer saw: " << what;
}

// The printer is given back whenever it is still there to take it, and not
// left inside an upload, waiting for data that never comes.
inline void checkGivenBack(const emu::Printer& printer)
{
    if (printer.present()) {
        EXPECT_FALSE(printer.under_control()) << "the printer is still held by the host";
        EXPECT_FALSE(printer.uploading()) << "the printer is left inside an upload";
    }
}

// A full update on the printer as it is now must succeed and leave every
// firmware file taken up whole: a failed update leaves nothing behind that
// would spoil the next one.
inline void checkNextUpdateSucceeds(emu::Printer& printer, const QFileInfoList& files,
                                    const std::vector<Firmware>& firmware, const std::string& what)
{
    clearLogs();
    const std::size_t before = printer.installs().size();
    const Emitted e = runUpdate(files, what + " (next update)");
    EXPECT_TRUE(e.succeeded()) << "the next update: " << str(e.events.join(QLatin1Char(' ')));
    std::vector<std::string> taken;
    for (std::size_t i = before; i < printer.installs().size(); ++i)
        taken.push_back(printer.installs()[i].path);
    std::vector<std::string> expected;
    for (const Firmware& f : firmware)
        expected.push_back(f.remote);
    EXPECT_EQ(taken, expected) << "the next update took up other files";
    for (const Firmware& f : firmware) {
        auto it = printer.files().find(f.remote);
        ASSERT_TRUE(it != printer.files().end()) << f.remote;
        EXPECT_TRUE(it->second.complete) << f.remote;
    }
    checkPrinterFiles(printer, firmware, before);
    checkGivenBack(printer);
}

}  // namespace faults

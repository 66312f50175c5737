// The update worker on the emulated printer: which files go where, the signal
// order, the texts of the result codes, and the printer given back.
#include <QSignalSpy>
#include <QtTest>

#include "app_fixture.h"
#include "com/result.h"
#include "update_firmware.h"

using apptest::addFirmware;
using apptest::stored;

class UpdateFirmwareTest : public QObject {
    Q_OBJECT

    std::shared_ptr<emu::Printer> printer;
    QStringList events;

    QFileInfoList firmware() const
    {
        return QDir(apptest::firmwareDir(), QStringLiteral("*"), QDir::Name | QDir::IgnoreCase, QDir::Files)
            .entryInfoList();
    }

    // Runs an update, recording every signal in order.
    void run(UpdateFirmware& worker)
    {
        events.clear();
        connect(&worker, &UpdateFirmware::done, this,
                [this](bool ok) { events << (ok ? QStringLiteral("done(true)") : QStringLiteral("done(false)")); });
        connect(&worker, &UpdateFirmware::error, this, [this](const QString& m) { events << "error(" + m + ")"; });
        connect(&worker, &UpdateFirmware::progressUpdated, this,
                [this](int p) { events << QStringLiteral("progress(%1)").arg(p); });
        worker.update(firmware());
    }

    QStringList errorsAndDone() const
    {
        QStringList out;
        for (const QString& e : events)
            if (!e.startsWith(QLatin1String("progress")))
                out << e;
        return out;
    }

    void checkNoViolations()
    {
        if (!printer)
            return;
        for (const std::string& what : printer->violations())
            QFAIL(("printer saw: " + what).c_str());
        QVERIFY(!printer->under_control());
    }

private slots:
    void init()
    {
        apptest::resetWorld();
        printer = emu::UsbBus::instance().attach_printer(0x2C7E, 0x4201);
    }

    void cleanup()
    {
        checkNoViolations();
        QCOMPARE(emu::UsbBus::instance().counters.live_handles, 0);
        QCOMPARE(emu::UsbBus::instance().counters.default_context_refs, 0);
        printer.reset();
    }

    void detectsOnlyTheTargetPrinter()
    {
        UpdateFirmware worker;
        QVERIFY(worker.detectPrinter());
        emu::UsbBus::instance().detach_all();
        QVERIFY(!worker.detectPrinter());
        emu::UsbBus::instance().attach_printer(0x2C7E, 0x4203);  // the second Orbrey is not served
        QVERIFY(!worker.detectPrinter());
        printer = emu::UsbBus::instance().attach_printer(0x2C7E, 0x4201, 2, 9);
        QVERIFY(worker.detectPrinter());
    }

    void detectionUsesWhatWasFoundBeforeAFailure()
    {
        // Listed newest first: the target, then a printer that cannot be
        // opened, so the listing ends with 5, but the record it made counts.
        emu::UsbBus::instance().reset();
        emu::UsbBus::instance().attach_printer(0x1E4B, 0x0102);
        emu::UsbBus::instance().devices().back()->open_errno = EACCES;
        printer = emu::UsbBus::instance().attach_printer(0x2C7E, 0x4201);
        UpdateFirmware worker;
        QVERIFY(worker.detectPrinter());
    }

    void installsTheMainImageAsOrbreyThenEveryAdditionalFile()
    {
        const QByteArray image = addFirmware(QStringLiteral("Firmware-2.4.bin"), 70000, 1);
        const QByteArray fonts = addFirmware(QStringLiteral("fonts.xbf"), 9000, 2);
        const QByteArray ui = addFirmware(QStringLiteral("UI.xbf"), 5000, 3);
        addFirmware(QStringLiteral("readme.txt"), 10, 4);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(errorsAndDone(), QStringList{QStringLiteral("done(true)")});
        QCOMPARE(stored(*printer, "0:/sys/orbrey.bin"), image);
        QCOMPARE(stored(*printer, "0:/sys/fonts.xbf"), fonts);
        QCOMPARE(stored(*printer, "0:/sys/UI.xbf"), ui);
        QCOMPARE(printer->files().size(), size_t(3));
        QCOMPARE(printer->installs().size(), size_t(3));
        QCOMPARE(printer->installs()[0].path, std::string("0:/sys/orbrey.bin"));
        QCOMPARE(printer->installs()[1].path, std::string("0:/sys/fonts.xbf"));
        QCOMPARE(printer->installs()[2].path, std::string("0:/sys/UI.xbf"));
        QCOMPARE(printer->commands().front(), std::string("~M601 S0"));
        QCOMPARE(printer->commands().back(), std::string("~M602"));
    }

    void onlyTheFirstMainImageInCaseInsensitiveOrder()
    {
        addFirmware(QStringLiteral("b-second.bin"), 100, 1);
        const QByteArray first = addFirmware(QStringLiteral("A-first.bin"), 100, 2);
        addFirmware(QStringLiteral("c-third.bin"), 100, 3);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(stored(*printer, "0:/sys/orbrey.bin"), first);
        QCOMPARE(printer->installs().size(), size_t(1));
    }

    void suffixIsCaseSensitiveAndFollowsTheLastDot()
    {
        addFirmware(QStringLiteral("LOUD.BIN"), 100, 1);
        addFirmware(QStringLiteral("bin"), 100, 2);
        addFirmware(QStringLiteral("extra.XBF"), 100, 3);
        const QByteArray dotted = addFirmware(QStringLiteral("fw.v2.bin"), 100, 4);
        const QByteArray add = addFirmware(QStringLiteral("my.fonts.xbf"), 100, 5);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(stored(*printer, "0:/sys/orbrey.bin"), dotted);
        QCOMPARE(stored(*printer, "0:/sys/my.fonts.xbf"), add);
        QCOMPARE(printer->files().size(), size_t(2));
    }

    void otherFilesOnlyAreNoFirmwareAndThePrinterIsNotTouched()
    {
        // Once opened and closed and reported as success, with nothing sent.
        addFirmware(QStringLiteral("notes.txt"), 10);
        addFirmware(QStringLiteral("LOUD.BIN"), 10);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(events, (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(no firmware available.)"),
                                      QStringLiteral("done(false)")}));
        QCOMPARE(printer->transfer_count(), 0u);
        QCOMPARE(emu::UsbBus::instance().counters.inits, 0);
        QVERIFY(QDir(apptest::logDir()).entryList(QDir::Files).isEmpty());
    }

    void openFailureReportsOnceAndInstallsNothing()
    {
        emu::UsbBus::instance().detach_all();
        printer.reset();
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(events,
                 (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(connect to printer failure)"),
                              QStringLiteral("done(false)")}));
    }

    void aFailingAdditionalFileStopsTheRest()
    {
        addFirmware(QStringLiteral("a.bin"), 100, 1);
        addFirmware(QStringLiteral("b.xbf"), 100, 2);
        addFirmware(QStringLiteral("c.xbf"), 100, 3);
        printer->replace_reply("M600", 1, "failed", 1);  // the take-up of b.xbf
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(errorsAndDone(), (QStringList{QStringLiteral("error(printer execute command failure)"),
                                               QStringLiteral("done(false)")}));
        // The printer took b.xbf up but answered otherwise; c.xbf was never sent.
        QCOMPARE(printer->installs().size(), size_t(2));
        QVERIFY(printer->files().count("0:/sys/orbrey.bin") == 1);
        QVERIFY(printer->files().count("0:/sys/c.xbf") == 0);
    }

    void progressRunsFromZeroToAHundredForEachFile()
    {
        emu::UsbBus::instance().devices().front()->transfer_ms[0x03] = 300;
        addFirmware(QStringLiteral("a.bin"), 10 * 4096, 1);
        addFirmware(QStringLiteral("b.xbf"), 100, 2);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(events, (QStringList{QStringLiteral("progress(0)"), QStringLiteral("progress(19)"),
                                      QStringLiteral("progress(39)"), QStringLiteral("progress(59)"),
                                      QStringLiteral("progress(79)"), QStringLiteral("progress(99)"),
                                      QStringLiteral("progress(100)"), QStringLiteral("progress(100)"),
                                      QStringLiteral("done(true)")}));
    }

    void everyCodeHasTheApplicationsText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("1") << 1 << "unknown error.";
        QTest::newRow("2") << 2 << "invalid arguments";
        QTest::newRow("3") << 3 << "init usb lib failure";
        QTest::newRow("4") << 4 << "list usb devices failure";
        QTest::newRow("5") << 5 << "connect to printer failure";
        QTest::newRow("6") << 6 << "invalid info from";
        QTest::newRow("7") << 7 << "unknown usb device, not velmora printer";
        QTest::newRow("8") << 8 << "access printer failure";
        QTest::newRow("9") << 9 << "access printer timeout";
        QTest::newRow("10") << 10 << "device disconnected";
        QTest::newRow("11") << 11 << "the usb endpoint halted";
        QTest::newRow("12") << 12 << "the device offered more data, or receive buf is too small";
        QTest::newRow("13") << 13 << "printer execute command failure";
        QTest::newRow("14") << 14 << "open or access file failure";
        QTest::newRow("15") << 15 << "operation be canceled";
        QTest::newRow("16") << 16 << "disk out of space";
        QTest::newRow("17") << 17 << "unknown error.";
        QTest::newRow("-1") << -1 << "unknown error.";
        QTest::newRow("huge") << 1000000 << "unknown error.";
    }

    void everyCodeHasTheApplicationsText()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        UpdateFirmware worker;
        QSignalSpy errors(&worker, &UpdateFirmware::error);
        QVERIFY(!worker.checkResult(code));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), text);
    }

    void successEmitsNothing()
    {
        UpdateFirmware worker;
        QSignalSpy errors(&worker, &UpdateFirmware::error);
        QVERIFY(worker.checkResult(com::COM_SUCCESS));
        QCOMPARE(errors.count(), 0);
    }

    void hasExactlyThreeSignals()
    {
        const QMetaObject& meta = UpdateFirmware::staticMetaObject;
        QCOMPARE(QString::fromLatin1(meta.className()), QStringLiteral("UpdateFirmware"));
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 3);
        QCOMPARE(meta.method(meta.methodOffset() + 0).methodSignature(), QByteArray("done(bool)"));
        QCOMPARE(meta.method(meta.methodOffset() + 1).methodSignature(), QByteArray("error(QString)"));
        QCOMPARE(meta.method(meta.methodOffset() + 2).methodSignature(), QByteArray("progressUpdated(int)"));
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
    }

    void theLogNamesEachUploadWithItsSha256AndTheChecksumListIsEnforced()
    {
        const auto write = [](const QString& name, const QByteArray& bytes) {
            QFile file(apptest::firmwareDir() + QLatin1Char('/') + name);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bytes);
        };
        const QByteArray abc_sha("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        write(QStringLiteral("a.bin"), "abc");
        write(QStringLiteral("SHA256SUMS"), abc_sha + " *a.bin\n");
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(errorsAndDone(), QStringList{QStringLiteral("done(true)")});
        QCOMPARE(printer->files().size(), size_t(1));  // the list is never sent
        const QStringList logs = QDir(apptest::logDir()).entryList(QStringList{QStringLiteral("libcom-*.log")});
        QCOMPARE(logs.size(), 1);
        QFile log(apptest::logDir() + QLatin1Char('/') + logs[0]);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray line = "update: sending " +
                                QFileInfo(apptest::firmwareDir() + "/a.bin").absoluteFilePath().toUtf8() +
                                " (3 bytes) as 0:/sys/orbrey.bin, sha256 " + abc_sha + "\n";
        QVERIFY2(log.readAll().contains(line), line.constData());

        // Another file's digest in the list: the file box, and nothing sent.
        write(QStringLiteral("SHA256SUMS"), QByteArray(64, '0') + "  a.bin\n");
        const std::uint64_t transfers = printer->transfer_count();
        UpdateFirmware again;
        run(again);
        QCOMPARE(events,
                 (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(open or access file failure)"),
                              QStringLiteral("done(false)")}));
        QCOMPARE(printer->transfer_count(), transfers);
    }

    void createsAMissingLogFolder()
    {
        QDir(apptest::logDir()).removeRecursively();
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(errorsAndDone(), QStringList{QStringLiteral("done(true)")});
        const QStringList logs = QDir(apptest::logDir()).entryList(QStringList{QStringLiteral("libcom-*.log")});
        QCOMPARE(logs.size(), 1);
    }

    void printerIsGivenBackAfterDoneHasBeenHandled()
    {
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        bool heldDuringDone = false;
        connect(&worker, &UpdateFirmware::done, this, [&](bool) { heldDuringDone = printer->under_control(); });
        worker.update(firmware());
        QVERIFY(heldDuringDone);
        QVERIFY(!printer->under_control());
    }

#ifndef _WIN32
    void aLogThatCannotBeWrittenEndsTheUpdateWithItsMessage()
    {
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        {
            testsupport::DiskFullAt full(0);
            run(worker);
        }
        QCOMPARE(events,
                 (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(It's not enough disk space)"),
                              QStringLiteral("done(false)")}));
        // The take-control command reached the printer before the log failed;
        // deleting the link still gave it back.
        QVERIFY(!printer->under_control());
        QCOMPARE(printer->commands().back(), std::string("~M602"));
    }

    void aLogFolderThatCannotBeMadeEndsTheUpdateWithItsMessage()
    {
        QDir(apptest::logDir()).removeRecursively();
        QFile blocker(apptest::logDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));  // a file where the folder should be
        blocker.close();
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(events, (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(open log file failure)"),
                                      QStringLiteral("done(false)")}));
        QVERIFY(printer->commands().empty());
        QFile::remove(apptest::logDir());
    }

    void aLinkPlantedAtTheNextLogNameIsNeverWrittenThrough()
    {
        // The name is known on the virtual clock; whoever can write in the
        // log folder can be there first.
        const QString victim = apptest::logDir() + QStringLiteral("/victim");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("kept");
        file.close();
        QVERIFY(QFile::link(victim, apptest::logDir() + "/libcom-2021-4-20_14-43-1.log"));
        addFirmware(QStringLiteral("a.bin"), 100);
        UpdateFirmware worker;
        run(worker);
        QCOMPARE(events, (QStringList{QStringLiteral("progress(0)"), QStringLiteral("error(open log file failure)"),
                                      QStringLiteral("done(false)")}));
        QVERIFY(printer->commands().empty());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("kept"));
    }
#endif
};

QTEST_GUILESS_MAIN(UpdateFirmwareTest)
#include "update_firmware_test.moc"

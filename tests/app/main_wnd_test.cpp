// The main window on the emulated printer: detection, the update from the
// firmware folder, message boxes, the final state, and how it looks.
#include <QAbstractEventDispatcher>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QTimerEvent>
#include <QtTest>

#include "app_fixture.h"
#include "main_wnd.h"

using apptest::addFirmware;
using apptest::BoxWatcher;

namespace {

QPushButton* button(MainWnd& w, const char* caption)
{
    for (QPushButton* b : w.findChildren<QPushButton*>())
        if (b->text() == QLatin1String(caption))
            return b;
    return nullptr;
}

QPushButton* detected(MainWnd& w)
{
    return button(w, "Printer\nDetected");
}
QPushButton* start(MainWnd& w)
{
    return button(w, "Start\nFirmware\nUpdate");
}
QPushButton* complete(MainWnd& w)
{
    return button(w, "Firmware\nUpdate\nComplete");
}
QProgressBar* bar(MainWnd& w)
{
    return w.findChild<QProgressBar*>();
}

QList<QAbstractEventDispatcher::TimerInfo> timers(MainWnd& w)
{
    return QAbstractEventDispatcher::instance()->registeredTimers(&w);
}

// Delivers one tick of the detection timer, as the event loop would.
void tick(MainWnd& w)
{
    const auto list = timers(w);
    QVERIFY(!list.isEmpty());
    QTimerEvent event(list.first().timerId);
    QCoreApplication::sendEvent(&w, &event);
}

}  // namespace

class MainWndTest : public QObject {
    Q_OBJECT

    std::shared_ptr<emu::Printer> printer;

    emu::UsbBus& bus() { return emu::UsbBus::instance(); }

private slots:
    void init()
    {
        apptest::resetWorld();
        QFile::remove(apptest::appDir() + "/background.jpg");
        printer = bus().attach_printer(0x2C7E, 0x4201);
    }

    void cleanup()
    {
        if (printer) {
            for (const std::string& what : printer->violations())
                QFAIL(("printer saw: " + what).c_str());
            QVERIFY(!printer->under_control());
        }
        QCOMPARE(bus().counters.live_handles, 0);
        QCOMPARE(bus().counters.default_context_refs, 0);
        printer.reset();
    }

    void firstScanRunsBeforeTheWindowIsShown()
    {
        MainWnd with;
        QVERIFY(!with.isVisible());
        QVERIFY(detected(with)->isChecked());
        bus().detach_all();
        printer.reset();
        MainWnd without;
        QVERIFY(!detected(without)->isChecked());
    }

    void detectionFollowsPlugAndUnplugAtTheNextTick()
    {
        MainWnd w;
        const auto list = timers(w);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().interval, 1000);
        QCOMPARE(list.first().timerType, Qt::CoarseTimer);
        QVERIFY(detected(w)->isChecked());
        bus().detach_all();
        tick(w);
        QVERIFY(!detected(w)->isChecked());
        printer = bus().attach_printer(0x2C7E, 0x4201);
        tick(w);
        QVERIFY(detected(w)->isChecked());
        QVERIFY(!detected(w)->isEnabled());
    }

    void emptyOrMissingFirmwareFolderWarnsWithoutTouchingThePrinter()
    {
        MainWnd w;
        for (bool missing : {false, true}) {
            if (missing)
                QDir(apptest::firmwareDir()).removeRecursively();
            QDir().mkpath(apptest::firmwareDir() + "/a-folder.bin");  // folders do not count
            BoxWatcher watcher;
            start(w)->click();
            QCOMPARE(watcher.boxes.size(), 1);
            QCOMPARE(watcher.boxes[0].title, QStringLiteral("warning"));
            QCOMPARE(watcher.boxes[0].text, QStringLiteral("no firmware available."));
            QCOMPARE(watcher.boxes[0].icon, QMessageBox::Warning);
            QCOMPARE(watcher.boxes[0].buttons, int(QMessageBox::Ok));
            QDir(apptest::firmwareDir()).removeRecursively();
        }
        QCOMPARE(printer->transfer_count(), 0u);
        QVERIFY(QDir(apptest::logDir()).entryList(QDir::Files).isEmpty());
        QCOMPARE(bar(w)->value(), -1);
    }

    void noPrinterShowsConnectFailureAndKeepsTheButtons()
    {
        bus().detach_all();
        printer.reset();
        addFirmware(QStringLiteral("a.bin"), 100);
        MainWnd w;
        BoxWatcher watcher;
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("error"));
        QCOMPARE(watcher.boxes[0].text, QStringLiteral("connect to printer failure"));
        QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(bar(w)->value(), 0);
        QVERIFY(start(w)->isEnabled());
        QVERIFY(!start(w)->isChecked());
        QVERIFY(!complete(w)->isChecked());
        QCOMPARE(timers(w).size(), 1);
        printer = bus().attach_printer(0x2C7E, 0x4201);
        tick(w);
        QVERIFY(detected(w)->isChecked());
    }

    void successfulUpdateEndsTeal()
    {
        const QByteArray image = addFirmware(QStringLiteral("main.bin"), 50000, 1);
        const QByteArray extra = addFirmware(QStringLiteral("extra.xbf"), 3000, 2);
        MainWnd w;
        bool heldWhileShown = false;
        BoxWatcher watcher([&](const QMessageBox&) { heldWhileShown = printer->under_control(); });
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("information"));
        QCOMPARE(watcher.boxes[0].text,
                 QStringLiteral("Firmware has been uploaded, reboot your printer to complete the update."));
        QCOMPARE(watcher.boxes[0].icon, QMessageBox::Information);
        QVERIFY2(heldWhileShown, "the printer is given back only after the box is closed");
        QVERIFY(!printer->under_control());
        QCOMPARE(bar(w)->value(), 100);
        QVERIFY(!start(w)->isEnabled());
        QVERIFY(start(w)->isCheckable());
        QVERIFY(start(w)->isChecked());
        QVERIFY(complete(w)->isChecked());
        QVERIFY(timers(w).isEmpty());
        QCOMPARE(apptest::stored(*printer, "0:/sys/orbrey.bin"), image);
        QCOMPARE(apptest::stored(*printer, "0:/sys/extra.xbf"), extra);

        // Detection has stopped: the first button keeps its state.
        bus().detach_all();
        QCoreApplication::processEvents();
        QVERIFY(detected(w)->isChecked());
    }

    void otherFilesOnlyWarnThatThereIsNoFirmware()
    {
        // Once this ended teal with the completion box, nothing sent.
        addFirmware(QStringLiteral("notes.txt"), 10);
        addFirmware(QStringLiteral("X.BIN"), 10);
        MainWnd w;
        BoxWatcher watcher;
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("warning"));
        QCOMPARE(watcher.boxes[0].text, QStringLiteral("no firmware available."));
        QCOMPARE(watcher.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(bar(w)->value(), -1);
        QVERIFY(start(w)->isEnabled());
        QVERIFY(!start(w)->isChecked());
        QVERIFY(!complete(w)->isChecked());
        QCOMPARE(timers(w).size(), 1);
        QCOMPARE(printer->transfer_count(), 0u);
        QVERIFY(QDir(apptest::logDir()).entryList(QDir::Files).isEmpty());
    }

    void aFileThatCannotBeSentGivesOneErrorBoxAndTouchesNothing()
    {
        addFirmware(QStringLiteral("main.bin"), 5000, 1);
        addFirmware(QStringLiteral("empty.xbf"), 0, 2);
        MainWnd w;
        BoxWatcher watcher;
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("error"));
        QCOMPARE(watcher.boxes[0].text, QStringLiteral("open or access file failure"));
        QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(printer->transfer_count(), 0u);
        QVERIFY(start(w)->isEnabled());
        QCOMPARE(timers(w).size(), 1);
    }

    void oneErrorBoxPerFailureAndTheWindowStaysUsable()
    {
        addFirmware(QStringLiteral("a.bin"), 100);
        printer->replace_reply("M28", 0, "busy");
        MainWnd w;
        {
            BoxWatcher watcher;
            start(w)->click();
            QCOMPARE(watcher.boxes.size(), 1);
            QCOMPARE(watcher.boxes[0].text, QStringLiteral("printer execute command failure"));
        }
        QVERIFY(!printer->under_control());
        QVERIFY(start(w)->isEnabled());
        QCOMPARE(timers(w).size(), 1);
        // The next attempt goes through.
        BoxWatcher watcher;
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("information"));
    }

    void ticksDuringAnUpdateDoNotScan()
    {
        addFirmware(QStringLiteral("a.bin"), 100);
        printer->replace_reply("M600", 1, "failed");
        MainWnd w;
        int initsWhileShown = -1;
        int initsAfterTick = -1;
        BoxWatcher watcher([&](const QMessageBox&) {
            initsWhileShown = bus().counters.inits;
            tick(w);  // the detection timer fires inside the box's own loop
            initsAfterTick = bus().counters.inits;
        });
        start(w)->click();
        QCOMPARE(watcher.boxes.size(), 1);
        QCOMPARE(initsAfterTick, initsWhileShown);
        const int before = bus().counters.inits;
        tick(w);
        QCOMPARE(bus().counters.inits, before + 1);
    }

    void looksAsDesigned()
    {
        MainWnd w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Zarvik Firmware Update Tool"));
        QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(w.windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
        QVERIFY(!(w.windowFlags() & Qt::WindowContextHelpButtonHint));
        QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
        QCOMPARE(w.minimumSize(), QSize(495, 600));
        QCOMPARE(w.maximumSize(), QSize(495, 600));

        const QString sheet = QString::fromLatin1(MainWnd::buttonStyleSheet);
        QCOMPARE(sheet.size(), 362);
        QCOMPARE(
            sheet,
            QStringLiteral("QPushButton{background-color:rgb(255,255,255);color:rgb(100,100,100);border:0px}"
                           "\t\t\t\t\t   "
                           "QPushButton:hover{background-color:rgb( 83,210,194);color:rgb(255,255,255);border:0px}"
                           "\t\t\t\t\t "
                           "QPushButton:pressed{background-color:rgb( 46,178,162);color:rgb(255,255,255);border:0px}"
                           "\t\t\t\t\t "
                           "QPushButton:checked{background-color:rgb( 46,178,162);color:rgb(255,255,255);border:0px}"));
        for (QPushButton* b : {detected(w), start(w), complete(w)}) {
            QVERIFY(b);
            QCOMPARE(b->styleSheet(), sheet);
            QCOMPARE(b->minimumSize(), QSize(113, 72));
            QCOMPARE(b->maximumSize(), QSize(113, 72));
        }
        QVERIFY(!detected(w)->isEnabled() && detected(w)->isCheckable());
        QVERIFY(!complete(w)->isEnabled() && complete(w)->isCheckable());
        QVERIFY(start(w)->isEnabled() && !start(w)->isCheckable());

        QLabel* version = w.findChild<QLabel*>();
        // The version the packages carry, from the one place it is written.
        QCOMPARE(version->text(), QStringLiteral("v" ZARVIK_PACKAGE_VERSION));
        QCOMPARE(version->styleSheet(), QStringLiteral("color: white;"));
        QCOMPARE(bar(w)->minimumWidth(), 360);
        QCOMPARE(bar(w)->maximumWidth(), 360);
        QVERIFY(!bar(w)->isTextVisible());
        QCOMPARE(bar(w)->minimum(), 0);
        QCOMPARE(bar(w)->maximum(), 100);

        // Geometry once laid out: the row of buttons centred with 23 px between
        // them, a spacing of 32 px (besides the layout's own spacing) down to the bar.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect d = detected(w)->geometry(), s = start(w)->geometry(), c = complete(w)->geometry();
        QCOMPARE(s.left() - d.right() - 1, 23);
        QCOMPARE(c.left() - s.right() - 1, 23);
        QVERIFY(qAbs((d.left() + c.right()) / 2 - w.width() / 2) <= 1);
        const int layoutSpacing = w.layout()->spacing();
        QCOMPARE(bar(w)->geometry().top() - s.bottom() - 1, 32 + layoutSpacing);
        QVERIFY(qAbs(bar(w)->geometry().center().x() - w.width() / 2) <= 1);
        QVERIFY(version->geometry().right() > w.width() - 30);
        QVERIFY(version->geometry().top() < 30);
    }

    void backgroundIsScaledToFillTheWindow()
    {
        QImage red(10, 10, QImage::Format_RGB32);
        red.fill(QColor(200, 0, 0));
        QVERIFY(red.save(apptest::appDir() + "/background.jpg", "JPG", 100));
        MainWnd w;
        const QImage shot = w.grab().toImage();
        for (QPoint p : {QPoint(2, 2), QPoint(490, 300), QPoint(250, 595)}) {
            const QColor c = shot.pixelColor(p);
            QVERIFY2(c.red() > 150 && c.green() < 60 && c.blue() < 60,
                     qPrintable(QString("at %1,%2").arg(p.x()).arg(p.y())));
        }
        QFile::remove(apptest::appDir() + "/background.jpg");
        MainWnd plain;
        const QColor c = plain.grab().toImage().pixelColor(2, 2);
        QVERIFY(!(c.red() > 150 && c.green() < 60));
    }
};

QTEST_MAIN(MainWndTest)
#include "main_wnd_test.moc"

// Shared by the application tests: the folders beside the test executable
// (the tool looks for `firmware` and `log` beside its executable), the
// emulated bus, and a watcher that answers message boxes.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include "clock/virtual_clock.h"
#include "libusb/usb_bus.h"
#include "support/test_support.h"

namespace apptest {

inline QString appDir()
{
    return QCoreApplication::applicationDirPath();
}

inline QString firmwareDir()
{
    return appDir() + QStringLiteral("/firmware");
}

inline QString logDir()
{
    return appDir() + QStringLiteral("/log");
}

// Empties the bus and the firmware and log folders, and resets the clock.
inline void resetWorld()
{
    emu::UsbBus::instance().reset();
    emu::VirtualClock::reset();
    QDir(firmwareDir()).removeRecursively();
    QDir(logDir()).removeRecursively();
    QDir().mkpath(firmwareDir());
    QDir().mkpath(logDir());
}

// Puts a firmware file in place and returns its bytes.
inline QByteArray addFirmware(const QString& name, int size, unsigned seed = 1)
{
    const QByteArray bytes =
        QByteArray::fromStdString(testsupport::pattern_bytes(static_cast<std::size_t>(size), seed));
    QFile file(firmwareDir() + QLatin1Char('/') + name);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
    return bytes;
}

inline QByteArray stored(const emu::Printer& printer, const std::string& path)
{
    auto it = printer.files().find(path);
    if (it == printer.files().end())
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(it->second.data.data()), static_cast<int>(it->second.data.size()));
}

// Closes every message box that opens while it lives, recording each.
class BoxWatcher : public QObject {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        int buttons;
        std::function<void()> unused;
    };

    // `whileShown` runs while each box is on screen, before it is closed.
    explicit BoxWatcher(std::function<void(const QMessageBox&)> whileShown = nullptr) : shown(std::move(whileShown))
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(2);
    }

    QList<Box> boxes;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box->property("seen").toBool())
            return;
        box->setProperty("seen", true);
        boxes.append(Box{box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->standardButtons()), {}});
        if (shown)
            shown(*box);
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    std::function<void(const QMessageBox&)> shown;
    QTimer timer;
};

}  // namespace apptest

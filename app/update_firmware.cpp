#include "update_firmware.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>

#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/result.h"
#include "update/messages.h"
#include "update/session.h"

namespace {

std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

UpdateFirmware::UpdateFirmware(QObject* parent) : QObject(parent) {}

bool UpdateFirmware::detectPrinter()
{
    std::vector<com::UsbDeviceRecord> records;
    com::ComFactory().list_usb_devices(&records);  // whatever was found counts, even after a failure
    for (const com::UsbDeviceRecord& record : records) {
        if (record.info.vendor_id == TARGET_VENDOR_ID && record.info.product_id == TARGET_PRODUCT_ID)
            return true;
    }
    return false;
}

namespace {

// Hands the core's reports on as the worker's signals.
class SignalObserver : public update::Observer {
public:
    explicit SignalObserver(UpdateFirmware& worker) : worker(worker) {}
    void progress(int percent, float rate) override { reportProgress(percent, rate, &worker); }
    void error(const update::Failure& failure) override
    {
        emit worker.error(QString::fromUtf8(failure.message.c_str()));
    }
    void done(bool succeed) override { emit worker.done(succeed); }

private:
    UpdateFirmware& worker;
};

}  // namespace

update::Plan UpdateFirmware::plan(const QList<QFileInfo>& files)
{
    std::vector<update::FolderEntry> listing;
    for (const QFileInfo& file : files)
        listing.push_back(update::FolderEntry{utf8(file.absoluteFilePath()), utf8(file.fileName())});
    return update::make_plan(listing);
}

void UpdateFirmware::update(const QList<QFileInfo>& files)
{
    SignalObserver observer(*this);
    update::Session session(plan(files), observer);
    session.run([] {
        const QString logDir = QCoreApplication::applicationDirPath() + QStringLiteral("/log");
        // The link logs into this folder and cannot be created without it.
        QDir().mkpath(logDir);
        return com::ComFactory().create_usb(TARGET_VENDOR_ID, TARGET_PRODUCT_ID, utf8(logDir), true);
    });
}

bool UpdateFirmware::checkResult(int code)
{
    if (code == com::COM_SUCCESS)
        return true;
    emit error(QString::fromUtf8(update::user_message(code)));
    return false;
}

void reportProgress(int percent, float /*rate*/, void* context)
{
    emit static_cast<UpdateFirmware*>(context)->progressUpdated(percent);
}

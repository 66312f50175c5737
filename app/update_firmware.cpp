#include "update_firmware.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>

#include <exception>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_factory.h"
#include "com/result.h"

namespace {

constexpr unsigned open_timeout_ms = 1000;
constexpr unsigned install_timeout_ms = 10000;

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

void UpdateFirmware::update(const QList<QFileInfo>& files)
{
    emit progressUpdated(0);

    const QString logDir = QCoreApplication::applicationDirPath() + QStringLiteral("/log");
    // The link logs into this folder and cannot be created without it.
    QDir().mkpath(logDir);

    // The link lives until after done() has been handled, so the printer is
    // given back only once the user has closed the final message box.
    std::unique_ptr<com::Com> link;
    bool succeed = false;
    try {
        link.reset(com::ComFactory().create_usb(TARGET_VENDOR_ID, TARGET_PRODUCT_ID, utf8(logDir), true));
        succeed = checkResult(link->com_open(open_timeout_ms, true)) && installAll(*link, files);
    } catch (const std::exception& e) {
        // The log could not be written or memory ran out: the update ends
        // like any other failure, and the link below still gives the printer back.
        emit error(QString::fromUtf8(e.what()));
    }
    emit done(succeed);
}

bool UpdateFirmware::installAll(com::Com& link, const QList<QFileInfo>& files)
{
    for (const QFileInfo& file : files) {
        if (file.suffix() == QLatin1String("bin")) {
            if (!checkResult(link.com_install_file(utf8(file.absoluteFilePath()), "orbrey.bin", reportProgress, this,
                                                   std::string(), install_timeout_ms)))
                return false;
            break;
        }
    }
    for (const QFileInfo& file : files) {
        if (file.suffix() == QLatin1String("xbf")) {
            if (!checkResult(link.com_install_file(utf8(file.absoluteFilePath()), utf8(file.fileName()),
                                                   reportProgress, this, std::string(), install_timeout_ms)))
                return false;
        }
    }
    return true;
}

bool UpdateFirmware::checkResult(int code)
{
    if (code == com::COM_SUCCESS)
        return true;
    QString msg;
    switch (code) {
    case com::COM_ERR_INVALID_ARGUMENTS: msg = QStringLiteral("invalid arguments"); break;
    case com::COM_ERR_INIT_LIB: msg = QStringLiteral("init usb lib failure"); break;
    case com::COM_ERR_LIST_DEVICES: msg = QStringLiteral("list usb devices failure"); break;
    case com::COM_ERR_CONNECT: msg = QStringLiteral("connect to printer failure"); break;
    case com::COM_ERR_INVALID_INFO: msg = QStringLiteral("invalid info from"); break;
    case com::COM_ERR_UNKNOWN_DEVICE: msg = QStringLiteral("unknown usb device, not velmora printer"); break;
    case com::COM_ERR_ACCESS: msg = QStringLiteral("access printer failure"); break;
    case com::COM_ERR_TIMEOUT: msg = QStringLiteral("access printer timeout"); break;
    case com::COM_ERR_DISCONNECTED: msg = QStringLiteral("device disconnected"); break;
    case com::COM_ERR_HALTED: msg = QStringLiteral("the usb endpoint halted"); break;
    case com::COM_ERR_OVERFLOW: msg = QStringLiteral("the device offered more data, or receive buf is too small"); break;
    case com::COM_ERR_COMMAND: msg = QStringLiteral("printer execute command failure"); break;
    case com::COM_ERR_FILE: msg = QStringLiteral("open or access file failure"); break;
    case com::COM_ERR_CANCELED: msg = QStringLiteral("operation be canceled"); break;
    case com::COM_ERR_DISK_FULL: msg = QStringLiteral("disk out of space"); break;
    default: msg = QStringLiteral("unknown error."); break;  // 1, and anything outside 0..16
    }
    emit error(msg);
    return false;
}

void reportProgress(int percent, float /*rate*/, void* context)
{
    emit static_cast<UpdateFirmware*>(context)->progressUpdated(percent);
}

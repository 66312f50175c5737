// The update worker: detects the tool's printer and runs a whole firmware
// update in one synchronous call, reporting through three signals.  A Qt
// front end of the update core (update/), which plans, checks and runs it.
#pragma once

#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>

#include "com/devices.h"
#include "update/plan.h"
#include "update/target.h"

class UpdateFirmware : public QObject {
    Q_OBJECT

public:
    // The one printer this tool serves (update/target.h).
    static constexpr std::uint16_t TARGET_VENDOR_ID = update::target_vendor_id;
    static constexpr std::uint16_t TARGET_PRODUCT_ID = update::target_product_id;

    explicit UpdateFirmware(QObject* parent = nullptr);

    // True when the target printer is attached (a fresh USB listing each call).
    bool detectPrinter();

    // Installs the first "bin" file as "orbrey.bin", then every "xbf" file
    // under its own name, once every one of them has passed its checks.
    // Emits progressUpdated(0), then progress, then either done(true) or one
    // error(msg) followed by done(false).
    void update(const QList<QFileInfo>& files);

    // The update core's plan for a listing of the firmware folder.
    static update::Plan plan(const QList<QFileInfo>& files);

    // True for success; for any other code emits error() with its text.
    bool checkResult(int code);

signals:
    void done(bool succeed);
    void error(QString msg);
    void progressUpdated(int percent);
};

// The link's progress callback: emits progressUpdated on the UpdateFirmware
// that `context` points to.
void reportProgress(int percent, float rate, void* context);

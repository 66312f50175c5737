#include "background_service.h"

#include <QMessageBox>
#include <QString>

#include "service/background.h"

#ifdef _WIN32
#include "service/service_control.h"
#endif

bool stopBackgroundService()
{
#ifdef _WIN32
    const DWORD code = stopService(service::background_wide_name);
    if (serviceStopAllowsStart(code))
        return true;
    QMessageBox::warning(nullptr, QStringLiteral("failed to stop service"),
                         QStringLiteral("Failed to stop background service [" ZARVIK_BACKGROUND_SERVICE "]."),
                         QMessageBox::Ok, QMessageBox::NoButton);
    return false;
#else
    return true;
#endif
}

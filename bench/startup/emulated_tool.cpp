// The tool's start-up on the emulated bus: one printer of the tool's model is
// attached, then the same steps as app/main.cpp.  Lives in the tool folder so
// that it finds the same background picture.
#include <QApplication>

#include "libusb/usb_bus.h"
#include "main_wnd.h"
#include "service/background_service.h"

int main(int argc, char* argv[])
{
    emu::UsbBus::instance().attach_printer(UpdateFirmware::TARGET_VENDOR_ID, UpdateFirmware::TARGET_PRODUCT_ID);
    QApplication application(argc, argv);
    if (!stopBackgroundService())
        return 0;
    MainWnd window;
    window.show();
    return application.exec();
}

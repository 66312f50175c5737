// Start-up: the application object, the background service out of the way,
// then the window and the event loop.
#include <QApplication>

#include "main_wnd.h"
#include "service/background_service.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (!stopBackgroundService())
        return 0;
    MainWnd window;
    window.show();
    return application.exec();
}

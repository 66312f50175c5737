// Start-up: the application object, the background service out of the way,
// then the window and the event loop.
#include <QApplication>

#include "main_wnd.h"
#include "service/background_service.h"

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char* argv[])
{
#ifdef _WIN32
    // An update holds the event loop; the progress bar still repaints
    // itself.  Without this the system would, after 5 s without the loop,
    // swap the window for a frozen "(Not Responding)" picture and offer to
    // end the program at a click on close: in the middle of an upload.  It
    // must come before the first window exists.
    ::DisableProcessWindowsGhosting();
#endif
    QApplication application(argc, argv);
    if (!stopBackgroundService())
        return 0;
    MainWnd window;
    window.show();
    return application.exec();
}

// Tells of supported printers as they are plugged in and out.
//
// Where libusb-1.0 offers hotplug events (Linux), the monitor takes them on a
// libusb context of its own, so that they reach only the thread that waits
// here and never a link's transfers; elsewhere (Windows) it looks at the bus
// once a second, opening no printer.  Every printer attached when it starts
// is told as plugged in.  A printer just plugged in is told again once it has
// been there for the settle time, when it may be opened.
//
// One thread waits (wait()); any thread may wake it (wake()).
#pragma once

#include <memory>
#include <vector>

#include "com_factory.h"

namespace com {

class UsbMonitor {
public:
    enum class Kind {
        arrived,  // plugged in (or there at the start)
        settled,  // there for the settle time since it arrived, and still there
        left,     // unplugged, or gone from the bus
    };

    struct Change {
        Kind kind = Kind::arrived;
        // Its bus, address, port path and ids; no strings (nothing was opened).
        UsbPrinterRecord printer;
    };

    struct Options {
        bool hotplug = true;        // hotplug events where libusb-1.0 offers them
        unsigned poll_ms = 1000;    // without them: a look at the bus this often
        unsigned settle_ms = 1000;  // how long a printer is left alone after it arrived
    };

    explicit UsbMonitor(const Options& options);
    UsbMonitor();
    ~UsbMonitor();
    UsbMonitor(const UsbMonitor&) = delete;
    UsbMonitor& operator=(const UsbMonitor&) = delete;

    // Starts watching the bus: COM_SUCCESS, or COM_ERR_INIT_LIB or
    // COM_ERR_LIST_DEVICES when the bus cannot be watched.  The printers there
    // now are the first changes.
    int start();
    // Whether it takes hotplug events (false: it looks once a second).
    bool uses_hotplug() const;

    // Waits until there are changes, wake() is called or `timeout_ms` have
    // passed, and appends the changes since the last call to `out`, in the
    // order they came.  Call it from one thread only.
    void wait(unsigned timeout_ms, std::vector<Change>* out);

    // Ends the wait under way, or the next one, at once.  From any thread,
    // once start() has returned.
    void wake();

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace com

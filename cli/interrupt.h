// Ctrl-C during an update: every running update is asked to stop, and the
// program goes on to give the printers back and say what was installed.
// The first interrupt stops each upload at its next piece; the second ends
// the run as soon as the transfers under way return, without the link's
// fixed waits; later ones change nothing: the printers are still given back.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace update {
class Session;
}

namespace zarvik {

// While one exists, Ctrl-C (on POSIX also SIGTERM and SIGHUP: the terminal
// or the ssh session closed; on Windows also the console's close, logoff and
// shutdown events) no longer ends the program: it cancels the sessions added
// to it and calls `notice` with the interrupt's number (1 for the first) once
// per interrupt, on a thread of its own.  At most one exists at a time.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void(int)> notice);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    void add(update::Session* session);
    bool interrupted() const;

    // Interrupts handled so far by any watch, for tests that interrupt
    // themselves and wait for the cancel to have been passed on.
    static int handled();

    // Called by the platform's handler side.
    void on_interrupt();

#ifdef _WIN32
    // The console event handler while a watch exists, as the system calls
    // it: Ctrl-C and Ctrl-Break interrupt; a closed console, a logoff and a
    // shutdown interrupt too and return only once the watch has ended.
    static int console_event(unsigned long event);
#endif

private:
    struct Platform;
    std::function<void(int)> notice;
    mutable std::mutex mutex;
    std::vector<update::Session*> sessions;
    int interrupts = 0;
    Platform* platform = nullptr;
};

}  // namespace zarvik

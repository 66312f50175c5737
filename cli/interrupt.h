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
// On POSIX a signal that was ignored when the program started (nohup, a
// shell's background job) stays ignored.  `notice` must not wait for the
// output: the display hands its text to the output's thread.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void(int)> notice);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // A session added after an interrupt is cancelled at once.  One that
    // has ended is removed before it goes away.
    void add(update::Session* session);
    void remove(update::Session* session);
    bool interrupted() const;

    // Interrupts handled so far by any watch, for tests that interrupt
    // themselves and wait for the cancel to have been passed on.
    static int handled();

    // Called by the platform's handler side.
    void on_interrupt();

#ifdef _WIN32
    // The session ends (the console closed, a logoff, a shutdown): every
    // update stops at once, as at a second interrupt.
    void on_session_end();

    // The console event handler while a watch exists, as the system calls
    // it: Ctrl-C and Ctrl-Break interrupt; a closed console, a logoff and a
    // shutdown end the session (on_session_end) and return only once the
    // watch has ended.
    static int console_event(unsigned long event);

    // For the end of the session (session_end.h): whether a watch exists;
    // its updates stopped at once; a wait until no watch exists.
    static bool watching();
    static void stop_all_at_once();
    static void wait_until_none();
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

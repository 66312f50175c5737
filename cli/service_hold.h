// The printer maker's background service holds the printers while it runs
// (on Windows): zarvik stops it before list or update opens a printer, and
// starts it again when the command ends if it ran before, whatever the end,
// so that the PC is left as it was found.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "zarvik.h"

namespace zarvik {

// What holding the service needs of the system's service manager: the
// Windows service control manager in zarvik.exe, a scripted one in tests.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    virtual std::string name() const = 0;  // UTF-8
    // Stops the service and waits until it has stopped: 0, or a system error
    // code (1060: not installed).  `was_running`: it took the stop request,
    // so it ran before.
    virtual unsigned long stop(bool* was_running) = 0;
    // Starts the service and waits until it runs: 0, or a system error code.
    virtual unsigned long start() = 0;
};

#ifdef _WIN32
// The service `name` (UTF-8) of the Windows service control manager.
std::unique_ptr<ServiceManager> windows_service(const std::string& name);
#endif

// Holds io.service stopped from stop() to the end of its life; with no
// service in `io` it does nothing.  It says what it does on standard error,
// one line each, or with `json` as one JSON object a line on standard
// output:
//   {"event":"service","name":"SpoolHub","action":"stopped"}
//   {"event":"service","name":"SpoolHub","action":"started"}
//   {"event":"service","name":"SpoolHub","action":"stop_failed","system_error":5,"reason":"access denied","hint":"..."}
//   {"event":"service","name":"SpoolHub","action":"start_failed","system_error":1053,"reason":"..."}
//
// On Windows, while it holds the service, Ctrl-C and Ctrl-Break that no
// update takes (the update's InterruptWatch comes first) only mark the hold
// interrupted: the command stops at its next step without opening a printer,
// and the service is started again before zarvik ends.  A closed console, a
// logoff or a shutdown waits until the service runs again (the system ends
// the process after its own time-out).
class Output;

class ServiceHold {
public:
    // What it says goes through `output` (output.h) when there is one.
    ServiceHold(const Io& io, bool json, Output* output = nullptr);
    // Starts the service again if this hold stopped it, and says so.
    ~ServiceHold();
    ServiceHold(const ServiceHold&) = delete;
    ServiceHold& operator=(const ServiceHold&) = delete;

    // Stops the service.  False when it cannot be stopped: it has said why
    // (and, for access denied, how to go on); the command then opens no
    // printer and ends with exit_failed.
    bool stop();
    // Why stop() failed, for an error event: "cannot stop the background
    // service ...; no printer was opened".
    const std::string& failure() const { return failure_; }
    // Ctrl-C (or the console's end) arrived while the service was held.
    bool interrupted() const { return interrupted_.load(); }

#ifdef _WIN32
    // The console event handler while a hold exists, as the system calls it.
    static int console_event(unsigned long event);

    // For the end of the session (session_end.h): whether a hold has the
    // service (or is stopping it); the hold marked interrupted; a wait until
    // no hold exists, and so until the service runs again.
    static bool holding_now();
    static void interrupt_all();
    static void wait_until_none();
#endif

private:
    void tell(const std::string& action, unsigned long code, const std::string& text);
    void restart();

    const Io& io;
    bool json;
    Output* output;
    std::string failure_;
    bool stopped_ = false;                    // a running service took this hold's stop request
    [[maybe_unused]] bool watching_ = false;  // Windows: its console handler is installed
    std::atomic<bool> interrupted_{false};
};

}  // namespace zarvik

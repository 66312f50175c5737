#include "service_hold.h"

#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "display.h"
#include "output.h"
#include "service/background.h"
#include "update/local_path.h"

#ifdef _WIN32
#include <windows.h>

#include "service/service_control.h"
#include "session_end.h"
#endif

namespace zarvik {

namespace {

constexpr unsigned long access_denied = 5;  // ERROR_ACCESS_DENIED

#ifdef _WIN32
class WindowsService : public ServiceManager {
public:
    explicit WindowsService(const std::string& name) : name_(name), wide_(update::wide_of(name)) {}
    std::string name() const override { return name_; }
    unsigned long stop(bool* was_running) override { return stopService(wide_.c_str(), was_running); }
    unsigned long start() override { return startService(wide_.c_str()); }

private:
    std::string name_;
    std::wstring wide_;
};

// The hold whose service is stopped, for the console handler.
std::mutex hold_mutex;
ServiceHold* holding = nullptr;

// Set while no hold exists; made once and kept for the life of the process,
// as a handler may still wait on it when the hold ends.
HANDLE hold_over()
{
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD event)
{
    return ServiceHold::console_event(event);
}
#endif

std::string admin_hint(const std::string& name)
{
    return "run zarvik from a console opened as administrator, or stop the service first: sc stop " + name;
}

}  // namespace

#ifdef _WIN32
std::unique_ptr<ServiceManager> windows_service(const std::string& name)
{
    return std::make_unique<WindowsService>(name);
}

int ServiceHold::console_event(unsigned long event)
{
    const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!ending && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    {
        const std::lock_guard<std::mutex> lock(hold_mutex);
        if (!holding)
            return FALSE;
        holding->interrupted_.store(true);
        if (!ending)
            return TRUE;  // the command stops at its next step
    }
    // The process ends when this returns: not before the service runs again.
    wait_until_none();
    return FALSE;
}

bool ServiceHold::holding_now()
{
    const std::lock_guard<std::mutex> lock(hold_mutex);
    return holding != nullptr;
}

void ServiceHold::interrupt_all()
{
    const std::lock_guard<std::mutex> lock(hold_mutex);
    if (holding)
        holding->interrupted_.store(true);
}

void ServiceHold::wait_until_none()
{
    ::WaitForSingleObject(hold_over(), INFINITE);
}
#endif

namespace {

// A short text for a system error code of the service manager.
std::string service_error_text(unsigned long code)
{
    switch (code) {
    case access_denied:
        return "access denied";
    case 1052:
        return "it does not take stop requests";  // ERROR_INVALID_SERVICE_CONTROL
    case 1053:
        return "it stopped making progress";  // ERROR_SERVICE_REQUEST_TIMEOUT
    case 1058:
        return "it is disabled";  // ERROR_SERVICE_DISABLED
    case 1061:
        return "it cannot take requests at present";  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
    case 1062:
        return "it is not running";  // ERROR_SERVICE_NOT_ACTIVE
    case 1069:
        return "it could not log on";  // ERROR_SERVICE_LOGON_FAILED
    default:
        break;
    }
#ifdef _WIN32
    wchar_t* message = nullptr;
    const DWORD units =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                         nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = units > 0 ? update::utf8_of(message, units) : std::string();
    ::LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (!text.empty())
        return text;
#endif
    return "system error";
}

}  // namespace

ServiceHold::ServiceHold(const Io& io, bool json, Output* output) : io(io), json(json), output(output) {}

bool ServiceHold::stop()
{
    if (!io.service)
        return true;
#ifdef _WIN32
    watch_session_end();
    {
        const std::lock_guard<std::mutex> lock(hold_mutex);
        holding = this;
        ::ResetEvent(hold_over());
    }
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    watching_ = true;
    if (session_ending()) {
        // Too late to stop the service: the process is about to be ended.
        interrupted_.store(true);
        return true;
    }
#endif
    bool was_running = false;
    const unsigned long code = io.service->stop(&was_running);
    // A service that took the stop request is started again at the end,
    // also when the wait for it to stop gave up.
    stopped_ = was_running;
    if (serviceStopAllowsStart(code)) {
        if (code == 0 && was_running) {
            tell("stopped", 0,
                 "zarvik: stopped the background service " + io.service->name() +
                     ", which holds the printers; it is started again when zarvik ends");
        }
        return true;
    }
    failure_ = "cannot stop the background service " + io.service->name() +
               ", which holds the printers: " + service_error_text(code) + " (system error " + std::to_string(code) +
               "); no printer was opened";
    tell("stop_failed", code, "zarvik: " + failure_);
    return false;
}

ServiceHold::~ServiceHold()
{
    try {
        if (stopped_)
            restart();
    } catch (...) {
        // Nothing more can be said; the hold still ends.
    }
#ifdef _WIN32
    if (watching_) {
        {
            const std::lock_guard<std::mutex> lock(hold_mutex);
            holding = nullptr;
        }
        ::SetEvent(hold_over());
        ::SetConsoleCtrlHandler(on_console_event, FALSE);
    }
#endif
}

void ServiceHold::restart()
{
    const std::string name = io.service->name();
    const unsigned long code = io.service->start();
    if (code == 0)
        tell("started", 0, "zarvik: started the background service " + name + " again");
    else
        tell("start_failed", code,
             "zarvik: could not start the background service " + name + " again: " + service_error_text(code) +
                 " (system error " + std::to_string(code) + "); start it with: sc start " + name);
}

void ServiceHold::tell(const std::string& action, unsigned long code, const std::string& text)
{
    std::string out, err;
    if (json) {
        nlohmann::ordered_json event = {{"event", "service"}, {"name", io.service->name()}, {"action", action}};
        if (code != 0) {
            event["system_error"] = code;
            event["reason"] = service_error_text(code);
        }
        if (action == "stop_failed" && code == access_denied)
            event["hint"] = admin_hint(io.service->name());
        out = dump(event) + "\n";
    } else {
        err = text + "\n";
        if (action == "stop_failed" && code == access_denied)
            err += "zarvik: " + admin_hint(io.service->name()) + "\n";
    }
    if (output) {
        if (!out.empty())
            output->out(out);
        if (!err.empty())
            output->err(err);
        return;
    }
    std::fputs(out.c_str(), io.out);
    std::fflush(io.out);
    std::fputs(err.c_str(), io.err);
    std::fflush(io.err);
}

}  // namespace zarvik

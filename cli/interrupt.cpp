#include "interrupt.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "update/session.h"

#ifdef _WIN32
#include <mutex>

#include <windows.h>

#include "session_end.h"
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace zarvik {

namespace {

std::atomic<int> interrupts_handled{0};
std::atomic<InterruptWatch*> active{nullptr};

#ifdef _WIN32
// The system calls the console handler on a thread of its own: a watch ends
// only once no handler uses it any more, and no handler finds it after that.
std::mutex console_mutex;

// Set while no watch exists; made once and kept for the life of the
// process, as a handler may still wait on it when the watch has ended.
HANDLE watch_over()
{
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD event)
{
    return InterruptWatch::console_event(event);
}
#else
std::atomic<int> wake_fd{-1};

// Only what a signal handler may do: one write to the watch's pipe.
void on_signal(int)
{
    const int saved = errno;
    const int fd = wake_fd.load();
    if (fd >= 0) {
        const char byte = 'i';
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}
#endif

}  // namespace

#ifdef _WIN32
struct InterruptWatch::Platform {};

int InterruptWatch::console_event(unsigned long event)
{
    // A closed console, a logoff and a shutdown end the session: the system
    // allows a few seconds, so the updates stop at once, and the process is
    // kept until the printers are given back.
    const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!ending && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    {
        const std::lock_guard<std::mutex> lock(console_mutex);
        InterruptWatch* watch = active.load();
        if (!watch)
            return FALSE;
        if (!ending) {
            watch->on_interrupt();
            return TRUE;  // the program ends by itself once the printers are given back
        }
        watch->on_session_end();
    }
    // The system ends the process once the handlers have returned (or after
    // its own time-out): not before the watch ends, which is after every
    // printer has been given back.  Then the next handler (the background
    // service's hold, which starts it again) and the system's own.
    wait_until_none();
    return FALSE;
}

bool InterruptWatch::watching()
{
    return active.load() != nullptr;
}

void InterruptWatch::stop_all_at_once()
{
    const std::lock_guard<std::mutex> lock(console_mutex);
    if (InterruptWatch* watch = active.load())
        watch->on_session_end();
}

void InterruptWatch::wait_until_none()
{
    ::WaitForSingleObject(watch_over(), INFINITE);
}
#else
// A pipe the signal handler writes to, and the thread that reads it.
struct InterruptWatch::Platform {
    int pipe_fds[2] = {-1, -1};
    struct sigaction old_int {
    }, old_term{}, old_hup{};
    bool took_int = false, took_term = false, took_hup = false;
    std::thread reader;
};
#endif

InterruptWatch::InterruptWatch(std::function<void(int)> on_notice) : notice(std::move(on_notice))
{
    active.store(this);
    platform = new Platform;
#ifdef _WIN32
    ::ResetEvent(watch_over());
    watch_session_end();
    if (session_ending()) {
        const std::lock_guard<std::mutex> lock(mutex);
        interrupts = interrupts < 2 ? 2 : interrupts;  // too late for anything but giving the printers back
    }
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    if (::pipe(platform->pipe_fds) != 0)
        return;  // without the pipe Ctrl-C ends the program as usual
    ::fcntl(platform->pipe_fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(platform->pipe_fds[1], F_SETFD, FD_CLOEXEC);
    // A handler never waits: with the pipe full (a storm of signals the
    // reader has not taken yet) the byte is dropped, and the interrupts
    // already in the pipe are enough.
    ::fcntl(platform->pipe_fds[1], F_SETFL, ::fcntl(platform->pipe_fds[1], F_GETFL) | O_NONBLOCK);
    wake_fd.store(platform->pipe_fds[1]);
    platform->reader = std::thread([this] {
        char byte = 0;
        for (;;) {
            const ssize_t n = ::read(platform->pipe_fds[0], &byte, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || byte == 'q')
                return;
            on_interrupt();
        }
    });
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal ignored when the program started stays ignored (nohup, a
    // shell's background job): only the others are taken over.
    const auto take = [&action](int number, struct sigaction* old, bool* taken) {
        *taken = ::sigaction(number, nullptr, old) == 0 && old->sa_handler != SIG_IGN &&
                 ::sigaction(number, &action, nullptr) == 0;
    };
    take(SIGINT, &platform->old_int, &platform->took_int);
    take(SIGTERM, &platform->old_term, &platform->took_term);
    take(SIGHUP, &platform->old_hup, &platform->took_hup);
#endif
}

InterruptWatch::~InterruptWatch()
{
#ifdef _WIN32
    {
        // Waits for a handler that is passing an interrupt on to this watch.
        const std::lock_guard<std::mutex> lock(console_mutex);
        active.store(nullptr);
    }
    ::SetEvent(watch_over());
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
#else
    if (platform->reader.joinable()) {
        if (platform->took_int)
            ::sigaction(SIGINT, &platform->old_int, nullptr);
        if (platform->took_term)
            ::sigaction(SIGTERM, &platform->old_term, nullptr);
        if (platform->took_hup)
            ::sigaction(SIGHUP, &platform->old_hup, nullptr);
        wake_fd.store(-1);
        // The quit byte must get in, behind whatever the reader still has to take.
        ::fcntl(platform->pipe_fds[1], F_SETFL, ::fcntl(platform->pipe_fds[1], F_GETFL) & ~O_NONBLOCK);
        const char quit = 'q';
        [[maybe_unused]] const ssize_t n = ::write(platform->pipe_fds[1], &quit, 1);
        platform->reader.join();
        ::close(platform->pipe_fds[0]);
        ::close(platform->pipe_fds[1]);
    }
#endif
    delete platform;
    active.store(nullptr);
}

void InterruptWatch::add(update::Session* session)
{
    const std::lock_guard<std::mutex> lock(mutex);
    sessions.push_back(session);
    if (interrupts > 0)
        session->cancel(interrupts > 1);
}

void InterruptWatch::remove(update::Session* session)
{
    const std::lock_guard<std::mutex> lock(mutex);
    sessions.erase(std::remove(sessions.begin(), sessions.end(), session), sessions.end());
}

bool InterruptWatch::interrupted() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return interrupts > 0;
}

void InterruptWatch::on_interrupt()
{
    int number = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        number = ++interrupts;
        if (number <= 2)
            for (update::Session* session : sessions)
                session->cancel(number == 2);
    }
    if (notice)
        notice(number);
    interrupts_handled.fetch_add(1);
}

#ifdef _WIN32
void InterruptWatch::on_session_end()
{
    int number = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        number = interrupts < 2 ? 2 : interrupts + 1;
        interrupts = number;
        if (number == 2)
            for (update::Session* session : sessions)
                session->cancel(true);
    }
    if (notice)
        notice(number);
    interrupts_handled.fetch_add(1);
}
#endif

int InterruptWatch::handled()
{
    return interrupts_handled.load();
}

}  // namespace zarvik

// Preloaded into a Qt program (LD_PRELOAD) to time its start-up: notes the
// monotonic clock when the dynamic loader has finished, when the application
// object is set up, when the first top-level window is exposed and when that
// first expose has been handled (the window painted), writes the four times
// in nanoseconds to the file descriptor named by ZARVIK_PROBE_FD and ends the
// program's event loop.
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <QWindow>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

namespace {

std::int64_t monotonic_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t loaded_ns = 0;
std::int64_t application_ns = 0;
std::int64_t exposed_ns = 0;

__attribute__((constructor)) void note_loaded()
{
    loaded_ns = monotonic_ns();
}

void report_and_quit()
{
    const std::int64_t painted_ns = monotonic_ns();
    const char* fd_text = std::getenv("ZARVIK_PROBE_FD");
    if (fd_text) {
        char line[160];
        const int length = std::snprintf(line, sizeof line, "%lld %lld %lld %lld\n",
                                         static_cast<long long>(loaded_ns), static_cast<long long>(application_ns),
                                         static_cast<long long>(exposed_ns), static_cast<long long>(painted_ns));
        const ssize_t ignored = ::write(std::atoi(fd_text), line, static_cast<std::size_t>(length));
        (void)ignored;
    }
    QCoreApplication::quit();
}

class ExposeWatch : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (exposed_ns == 0 && event->type() == QEvent::Expose) {
            auto* window = qobject_cast<QWindow*>(watched);
            if (window && window->isTopLevel() && window->isExposed()) {
                exposed_ns = monotonic_ns();
                // Runs once this expose has been handled, painting included.
                QTimer::singleShot(0, &report_and_quit);
            }
        }
        return false;
    }
};

void watch_application()
{
    application_ns = monotonic_ns();
    QCoreApplication* application = QCoreApplication::instance();
    auto* watch = new ExposeWatch;
    watch->setParent(application);
    application->installEventFilter(watch);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(watch_application)

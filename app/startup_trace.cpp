#include "app/startup_trace.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <ctime>

namespace telvar {

Q_LOGGING_CATEGORY(startup_log, "telvar.startup", QtInfoMsg)

namespace {
double ms(qint64 ns) { return double(ns) / 1e6; }

// std::clock is the process's processor time on Linux and the time since it
// started on Windows: either way, before main it is what went before main.
double clock_ms() { return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC; }
} // namespace

startup_trace::startup_trace()
{
    since_main_.start();
    if (!startup_log().isDebugEnabled())
        return;
    last_clock_ms_ = clock_ms();
    const auto clock = std::chrono::steady_clock::now().time_since_epoch();
    qCDebug(startup_log, "main: %.3f ms before main; steady clock %.3f ms", last_clock_ms_,
            ms(std::chrono::duration_cast<std::chrono::nanoseconds>(clock).count()));
}

void startup_trace::mark(const char* phase)
{
    if (!startup_log().isDebugEnabled())
        return;
    const qint64 now = since_main_.nsecsElapsed();
    const double processor = clock_ms();
    // The processor time, unlike the time passed, hardly changes with what
    // else the machine runs.
    qCDebug(startup_log, "%s: %.3f ms since main (+%.3f), processor +%.3f", phase, ms(now),
            ms(now - last_ns_), processor - last_clock_ms_);
    last_ns_ = now;
    last_clock_ms_ = processor;
}

void startup_trace::watch_first_paint(QWidget* window)
{
    if (!startup_log().isDebugEnabled())
        return;
    // The platform window does not exist before the widget is shown, and a
    // platform may expose it at once: the application's filter sees it all.
    window_ = window;
    QCoreApplication::instance()->installEventFilter(this);
}

bool startup_trace::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && !exposed_ && watched == window_->windowHandle()) {
        exposed_ = true;
        mark("exposed");
    } else if (event->type() == QEvent::Paint && watched == window_) {
        // The window paints first, then its children, then the whole is
        // flushed: a call queued now runs once that is done.
        QCoreApplication::instance()->removeEventFilter(this);
        QTimer::singleShot(0, this, [this] { mark("painted"); });
    }
    return false;
}

} // namespace telvar

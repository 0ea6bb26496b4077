#include "link/stop_signals.h"

#include <QMetaObject>

#include <mutex>

#include <windows.h>

namespace telvar::link {

namespace {

// The object that listens; the console calls the handler on a thread of its own,
// so the object is only reached under the lock its destructor takes too.
std::mutex listener_lock;
stop_signals* listener = nullptr;

BOOL WINAPI on_console_event(DWORD event)
{
    stop_reason why = stop_reason::terminate;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        why = stop_reason::interrupt;
    {
        std::lock_guard<std::mutex> hold(listener_lock);
        stop_signals* target = listener;
        if (!target)
            return FALSE;
        // Into the object's own thread; the console thread never touches its state.
        QMetaObject::invokeMethod(
            target,
            [target, why] {
                emit target->received(why);
                emit target->stop_requested(why);
            },
            Qt::QueuedConnection);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(2000);  // the process ends when this returns: give the event loop time to close
    return TRUE;
}

} // namespace

struct stop_signals::platform {
    bool installed = false;
    QString error;
};

stop_signals::stop_signals(QObject* parent) : QObject(parent), p_(std::make_unique<platform>())
{
    std::lock_guard<std::mutex> hold(listener_lock);
    if (listener) {
        p_->error = QStringLiteral("another stop_signals object already holds the console events");
        return;
    }
    listener = this;
    if (!::SetConsoleCtrlHandler(on_console_event, TRUE)) {
        listener = nullptr;
        p_->error = QStringLiteral("SetConsoleCtrlHandler failed (error %1)").arg(::GetLastError());
        return;
    }
    p_->installed = true;
}

stop_signals::~stop_signals()
{
    if (!p_->installed)
        return;
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    std::lock_guard<std::mutex> hold(listener_lock);
    listener = nullptr;
}

bool stop_signals::ok() const
{
    return p_->installed;
}

QString stop_signals::error() const
{
    return p_->error;
}

QString stop_signals::name(stop_reason why)
{
    switch (why) {
    case stop_reason::interrupt:
        return QStringLiteral("Ctrl+C");
    case stop_reason::terminate:
        return QStringLiteral("console close");
    case stop_reason::hangup:
        break;
    }
    return QStringLiteral("hang-up");
}

} // namespace telvar::link

#include "telvard/service_notify.h"

#include <systemd/sd-daemon.h>

namespace telvar::service::service_notify {

namespace {

// Outside systemd (no NOTIFY_SOCKET) every call returns at once.
void send(const QString& state)
{
    sd_notify(0, state.toUtf8().constData());
}

} // namespace

void ready(const QString& text)
{
    send(QStringLiteral("READY=1\nSTATUS=") + text);
}

void reloading()
{
    send(QStringLiteral("RELOADING=1\nSTATUS=reloading the configuration"));
}

void stopping()
{
    send(QStringLiteral("STOPPING=1\nSTATUS=stopping"));
}

void status(const QString& text)
{
    send(QStringLiteral("STATUS=") + text);
}

int watchdog_interval_ms()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return 0;
    return int(usec / 1000);
}

void watchdog()
{
    sd_notify(0, "WATCHDOG=1");
}

} // namespace telvar::service::service_notify

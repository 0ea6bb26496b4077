#include "telvard/service_notify.h"

// No service manager to tell.
namespace telvar::service::service_notify {

void ready(const QString&) {}
void reloading() {}
void stopping() {}
void status(const QString&) {}
int watchdog_interval_ms()
{
    return 0;
}
void watchdog() {}

} // namespace telvar::service::service_notify

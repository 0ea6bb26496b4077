#include "mqtt/service_notify.h"

// No service manager to tell.
namespace telvar::mqtt::service_notify {

void ready(const QString&) {}
void reloading() {}
void stopping() {}
void status(const QString&) {}
int watchdog_interval_ms()
{
    return 0;
}
void watchdog() {}

} // namespace telvar::mqtt::service_notify

// Telling systemd how the service is doing (Type=notify): ready, reloading,
// stopping, and the watchdog's keep-alive. Built on libsystemd where CMake
// finds it (service_notify_systemd.cpp); elsewhere, Windows included, every
// call does nothing (service_notify_none.cpp).
#pragma once

#include <QString>

namespace telvar::service::service_notify {

/** READY=1, with a STATUS= line for systemctl status. */
void ready(const QString& status);
/** RELOADING=1: a new configuration is being read. */
void reloading();
/** STOPPING=1. */
void stopping();
/** A STATUS= line alone. */
void status(const QString& text);
/** The watchdog's period in milliseconds when systemd asks for one (WatchdogSec), else 0. */
int watchdog_interval_ms();
/** WATCHDOG=1: the event loop is alive. */
void watchdog();

} // namespace telvar::service::service_notify

#include "sim/host_system.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <csignal>
#include <iostream>
#include <string>
#include <thread>

namespace telvar::sim
{

// Windows has no port folder: the simulator attaches with --device to one
// end of a virtual null-modem pair, and Telvar opens the other by its COM number.
bool com_link::make(int, const QString&, QString& error)
{
    error = QStringLiteral("--com needs a port folder, which this system does not have; "
                           "use --device with a null-modem pair");
    return false;
}

void com_link::remove() {}

namespace
{
void on_signal(int)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}
} // namespace

void quit_on_signals(QObject*)
{
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

void read_input_lines(QObject* owner, std::function<void(const QString&)> on_line,
                      std::function<void()> on_end)
{
    // Console input has no notifier here: a reader thread posts each line.
    std::thread([owner, on_line, on_end] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString text = QString::fromStdString(line).trimmed();
            QMetaObject::invokeMethod(
                owner, [on_line, text] { on_line(text); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            owner, [on_end] { on_end(); }, Qt::QueuedConnection);
    }).detach();
}

} // namespace telvar::sim

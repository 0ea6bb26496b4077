#include "link/port_spec.h"

#include "link/link_text.h"
#include "serial/port_holder.h"

namespace telvar::link {

std::optional<port_spec> port_spec::parse(const QString& text)
{
    if (text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('\\'))) {
        port_spec spec;
        spec.path = text;
        return spec;
    }
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    if (digits.isEmpty() || digits.size() > 3)
        return std::nullopt;
    for (QChar c : digits)
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return std::nullopt;
    const int number = digits.toInt();
    if (number < 1 || number > largest_port)
        return std::nullopt;
    port_spec spec;
    spec.number = number;
    return spec;
}

QString port_spec::describe(const QString& device) const
{
    if (number == 0)
        return path;
    if (device.isEmpty())
        return QStringLiteral("port %1").arg(number);
    return QStringLiteral("port %1 (%2)").arg(number).arg(device);
}

QString open_failure_text(const port_spec& where, const open_result& result)
{
    const QString what = QStringLiteral("cannot open %1: ").arg(where.describe(result.device));
    QString text;
    switch (result.failure) {
    case open_failure::none:
        return {};
    case open_failure::no_port:
        text = QStringLiteral("no serial device has that number on this computer. "
                              "Run \"telvarctl ports\" to see the numbers and their devices, "
                              "or give a device path with -p.");
        break;
    case open_failure::not_found:
        text = QStringLiteral("the device does not exist. Check that the adapter is "
                              "plugged in, or choose another port.");
        break;
    case open_failure::busy:
        if (result.holder && is_service(*result.holder))
            text = QStringLiteral("the port is busy: it is held by telvard (pid %1); stop it "
                                  "with systemctl stop telvard or use telvarctl without "
                                  "--direct, which goes through the service.")
                       .arg(result.holder->pid);
        else if (result.holder && !result.holder->name.isEmpty())
            text = QStringLiteral("the port is busy: %1 (pid %2) holds it open. Close that "
                                  "program or its port, then try again.")
                       .arg(result.holder->name)
                       .arg(result.holder->pid);
        else
            text = QStringLiteral("the port is busy: another program (a Telvar window, a "
                                  "bridge, a terminal) holds it open. Close that program or "
                                  "its port, then try again.");
        break;
    case open_failure::no_permission:
        text = QStringLiteral("permission denied. ") + permission_advice(result.device);
        break;
    case open_failure::other:
        text = result.detail.trimmed();
        break;
    }
    // The system's own words come with or without a stop; callers add to a whole sentence.
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return what + text + QLatin1Char('.');
}

} // namespace telvar::link

#include "serial/port_mapping.h"

#include <QSerialPortInfo>

namespace telvar {

QString port_device(int number)
{
    if (number <= 0)
        return {};
    return QStringLiteral("COM%1").arg(number);
}

QMap<int, QString> known_ports()
{
    QMap<int, QString> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        bool ok = false;
        const int number = name.mid(3).toInt(&ok);
        if (name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) && ok && number > 0)
            ports.insert(number, name);
    }
    return ports;
}

open_failure classify_refusal(const QString&)
{
    // Windows answers "access denied" for a port that another program holds.
    return open_failure::busy;
}

QString permission_hint()
{
    return QStringLiteral("请确认没有其他程序正在使用该串口，必要时以管理员身份运行。");
}

} // namespace telvar

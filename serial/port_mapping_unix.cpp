#include "serial/port_mapping.h"
#include "serial/port_mapping_unix.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <unistd.h>

namespace telvar {

QString port_folder()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/telvar/ports");
}

QMap<int, QString> port_table(const QString& folder, const QString& dev_dir)
{
    QMap<int, QString> table;
    static const QRegularExpression com_name(QStringLiteral("^com([1-9][0-9]{0,4})$"));
    const QDir ports(folder);
    const auto entries = ports.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const auto match = com_name.match(name);
        if (match.hasMatch())
            table.insert(match.captured(1).toInt(), ports.filePath(name));
    }
    // Links to devices that are gone are still entries (QDir::System covers
    // broken links), so the number stays claimed and the opening reports them.
    int next = 1;
    for (const char* family : {"ttyS", "ttyUSB", "ttyACM"}) {
        for (int k = 0;; ++k) {
            const QString node = QStringLiteral("%1/%2%3").arg(dev_dir).arg(QLatin1String(family)).arg(k);
            if (!QFileInfo::exists(node))
                break;
            while (table.contains(next))
                ++next;
            table.insert(next, node);
        }
    }
    return table;
}

QString port_device(int number)
{
    if (number <= 0)
        return {};
    // Worked out afresh each time, so an adapter plugged in meanwhile is found.
    return port_table(port_folder(), QStringLiteral("/dev")).value(number);
}

QMap<int, QString> known_ports()
{
    return port_table(port_folder(), QStringLiteral("/dev"));
}

open_failure classify_refusal(const QString& device)
{
    const QByteArray path = QFile::encodeName(device);
    // EPERM: a policy above the mode refused it, such as a service's device list.
    if (::access(path.constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        return open_failure::no_permission;
    return open_failure::busy;
}

QString permission_hint()
{
    return QStringLiteral("请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），"
                          "注销并重新登录后再打开串口。");
}

} // namespace telvar

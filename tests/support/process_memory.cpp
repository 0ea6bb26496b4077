#include "support/process_memory.h"

#include <QByteArray>
#include <QFile>
#include <QList>

namespace telvar::test {

long resident_kib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    return -1;
}

} // namespace telvar::test

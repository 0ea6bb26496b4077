#include "telvard/pulse_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace telvar::service {

QList<saved_pulse> read_pulse_file(const QString& path, QString* error)
{
    QFile f(path);
    if (!f.exists())
        return {};
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(path, f.errorString());
        return {};
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(f.read(1 << 20), &parse);
    const QJsonValue list = doc.object().value(QLatin1String("pulses"));
    if (parse.error != QJsonParseError::NoError || !list.isArray()) {
        *error = QStringLiteral("%1 is not a file of pending pulses").arg(path);
        return {};
    }
    QList<saved_pulse> out;
    for (const QJsonValue& v : list.toArray()) {
        const QJsonObject o = v.toObject();
        saved_pulse p;
        p.line = o.value(QLatin1String("line")).toString();
        p.address = o.value(QLatin1String("address")).toInt(-1);
        p.relay = o.value(QLatin1String("relay")).toInt(-1);
        p.deadline_ms = qint64(o.value(QLatin1String("deadline_ms")).toDouble(-1));
        if (p.line.isEmpty() || p.address < 0 || p.address > 255 || p.relay < 1 || p.relay > 16
            || p.deadline_ms < 0) {
            const QByteArray entry = QJsonDocument(o).toJson(QJsonDocument::Compact);
            *error = QStringLiteral("%1 holds an entry that is not a pulse: %2")
                         .arg(path, QString::fromUtf8(entry));
            continue;
        }
        out.append(p);
    }
    return out;
}

bool write_pulse_file(const QString& path, const QList<saved_pulse>& pulses, QString* error)
{
    if (pulses.isEmpty()) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            *error = QStringLiteral("%1 cannot be removed").arg(path);
            return false;
        }
        return true;
    }
    QJsonArray list;
    for (const saved_pulse& p : pulses)
        list.append(QJsonObject{
            {QStringLiteral("line"), p.line},
            {QStringLiteral("address"), p.address},
            {QStringLiteral("relay"), p.relay},
            {QStringLiteral("deadline_ms"), double(p.deadline_ms)},
            // For a person reading the file.
            {QStringLiteral("deadline"),
             QDateTime::fromMSecsSinceEpoch(p.deadline_ms, Qt::UTC).toString(Qt::ISODateWithMs)},
        });
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(path, f.errorString());
        return false;
    }
    f.write(QJsonDocument(QJsonObject{{QStringLiteral("pulses"), list}}).toJson());
    if (!f.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

} // namespace telvar::service

#include "mqtt/twin_check.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSysInfo>

namespace telvar::mqtt {

bridge_identity bridge_identity::of_this_process()
{
    bridge_identity me;
    me.token = QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16,
                                        QLatin1Char('0'));
    me.since_ms = QDateTime::currentMSecsSinceEpoch();
    me.host = QSysInfo::machineHostName();
    me.pid = QCoreApplication::applicationPid();
    return me;
}

std::optional<bridge_identity> bridge_identity::from_payload(const QByteArray& payload)
{
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    bridge_identity other;
    other.token = o.value(QStringLiteral("instance")).toString();
    other.since_ms = qint64(o.value(QStringLiteral("since")).toDouble(-1));
    other.host = o.value(QStringLiteral("host")).toString();
    other.pid = qint64(o.value(QStringLiteral("pid")).toDouble(0));
    if (other.token.isEmpty() || other.since_ms < 0)
        return std::nullopt;
    return other;
}

QByteArray bridge_identity::payload() const
{
    return QJsonDocument(QJsonObject{{QStringLiteral("instance"), token},
                                     {QStringLiteral("since"), double(since_ms)},
                                     {QStringLiteral("host"), host},
                                     {QStringLiteral("pid"), double(pid)}})
        .toJson(QJsonDocument::Compact);
}

bool bridge_identity::older_than(const bridge_identity& other) const
{
    if (since_ms != other.since_ms)
        return since_ms < other.since_ms;
    return token < other.token;
}

QString bridge_identity::describe() const
{
    return QStringLiteral("process %1 on host %2, running since %3")
        .arg(pid)
        .arg(host.isEmpty() ? QStringLiteral("(unnamed)") : host,
             QDateTime::fromMSecsSinceEpoch(since_ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

twin_check::twin_check(const topic_scheme& topics, const bridge_identity& self)
    : base_(topics.base()), self_(self)
{
}

twin_check::verdict twin_check::judge(const QString& topic, const QByteArray& payload) const
{
    verdict v;
    const bool probe = topic == probe_topic();
    if (!probe && topic != alive_topic())
        return v;
    const auto other = bridge_identity::from_payload(payload);
    if (!other || other->token == self_.token)
        return v;
    v.other = *other;
    if (other->older_than(self_))
        v.what = verdict::kind::yield;
    else if (probe)
        v.what = verdict::kind::answer;
    return v;
}

} // namespace telvar::mqtt

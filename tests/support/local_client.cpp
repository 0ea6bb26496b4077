#include "support/local_client.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

namespace telvar::test {

local_client::local_client()
{
    QObject::connect(&socket, &QLocalSocket::readyRead, &socket, [this] { take(); });
}

bool local_client::connect_to(const QString& path, int timeout_ms)
{
    socket.connectToServer(path);
    return wait([this] { return socket.state() == QLocalSocket::ConnectedState; }, timeout_ms);
}

void local_client::take()
{
    pending_ += socket.readAll();
    qsizetype newline;
    while ((newline = pending_.indexOf('\n')) >= 0) {
        const QJsonObject o = QJsonDocument::fromJson(pending_.left(newline)).object();
        if (o.contains(QLatin1String("ok")))
            responses_.insert(o.value(QLatin1String("id")).toString(), o);
        got.append(o);
        pending_.remove(0, newline + 1);
    }
}

void local_client::send(const QByteArray& line)
{
    socket.write(line + '\n');
}

void local_client::send(const QByteArray& request, const QString& id)
{
    QJsonObject o = QJsonDocument::fromJson(request).object();
    o.insert(QStringLiteral("id"), id);
    send(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QJsonObject local_client::ask(const QByteArray& request, int timeout_ms)
{
    const QString id = QStringLiteral("ask-%1").arg(++next_id_);
    send(request, id);
    return response(id, timeout_ms);
}

QJsonObject local_client::response(const QString& id, int timeout_ms)
{
    wait([&] { return responses_.contains(id); }, timeout_ms);
    return responses_.value(id);
}

bool local_client::wait(const std::function<bool()>& done, int timeout_ms)
{
    const QDeadlineTimer deadline(timeout_ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Woken by the next data, or after a few milliseconds for a
        // condition that no data of this client changes.
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        const auto woken =
            QObject::connect(&socket, &QLocalSocket::readyRead, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(woken);
    }
    return true;
}

QList<QJsonObject> local_client::events(const QString& kind) const
{
    QList<QJsonObject> out;
    for (const QJsonObject& o : got)
        if (o.contains(QLatin1String("event"))
            && (kind.isEmpty() || o.value(QLatin1String("event")).toString() == kind))
            out.append(o);
    return out;
}

QString hex4(const QJsonValue& relays)
{
    unsigned bits = 0;
    const QJsonArray list = relays.toArray();
    for (int i = 0; i < list.size(); ++i)
        bits |= list[i].toBool() ? 1u << i : 0u;
    return QString::asprintf("%04X", bits);
}

} // namespace telvar::test

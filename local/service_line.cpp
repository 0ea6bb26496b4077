#include "local/service_line.h"

#include "local/json_forms.h"
#include "local/request.h"
#include "serial/port_mapping.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>

namespace telvar::local {

namespace {

QString real_path(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

std::optional<QJsonObject> read_object(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument d = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !d.isObject())
        return std::nullopt;
    return d.object();
}

// The longest answer line taken from the service: a "lines" answer of many boards fits.
constexpr qint64 longest_answer = 4 * 1024 * 1024;

} // namespace

service_line::service_line(QObject* parent) : link::line(parent)
{
    watchdog_.setInterval(1000);
    connect(&watchdog_, &QTimer::timeout, this, [this] {
        if (waiting_.isEmpty() || quiet_.elapsed() < service_request_ms)
            return;
        lose(QStringLiteral("telvard at %1 has not answered for %2 s: it may be stuck; check it "
                            "with systemctl status telvard")
                 .arg(socket_)
                 .arg(service_request_ms / 1000));
    });
}

service_reach service_line::reach(const QString& socket, int wait_ms)
{
    socket_ = socket;
    QDeadlineTimer deadline(wait_ms);
    socket_stream_.connectToServer(socket);
    if (!socket_stream_.waitForConnected(int(deadline.remainingTime()))) {
        const auto error = socket_stream_.error();
        socket_stream_.abort();
        if (error == QLocalSocket::SocketTimeoutError) {
            reach_message_ = QStringLiteral("telvard at %1 did not accept the connection within "
                                            "%2 ms: it may be stuck; check it with systemctl "
                                            "status telvard")
                                 .arg(socket)
                                 .arg(wait_ms);
            return service_reach::silent;
        }
        if (error == QLocalSocket::SocketAccessError) {
            reach_message_ = QStringLiteral("may not connect to telvard at %1 (permission "
                                            "denied): the socket belongs to the service's group; "
                                            "add your account to it, then log out and in again")
                                 .arg(socket);
            return service_reach::refused;
        }
        reach_message_ = QStringLiteral("no telvard answers at %1").arg(socket);
        return service_reach::absent;
    }
    socket_stream_.write(wire_line({{QStringLiteral("id"), 0},
                                    {QStringLiteral("request"), QStringLiteral("lines")}}));
    socket_stream_.flush();
    while (!socket_stream_.canReadLine()) {
        if (socket_stream_.state() != QLocalSocket::ConnectedState
            && socket_stream_.bytesAvailable() == 0)
            break;
        if (deadline.hasExpired() || !socket_stream_.waitForReadyRead(int(deadline.remainingTime())))
            if (!socket_stream_.canReadLine())
                break;
    }
    if (!socket_stream_.canReadLine()) {
        const bool closed = socket_stream_.state() != QLocalSocket::ConnectedState;
        socket_stream_.abort();
        reach_message_ = closed ? QStringLiteral("telvard at %1 closed the connection without "
                                                 "an answer")
                                      .arg(socket)
                                : QStringLiteral("telvard at %1 did not answer within %2 ms: it "
                                                 "may be stuck; check it with systemctl status "
                                                 "telvard")
                                      .arg(socket)
                                      .arg(wait_ms);
        return closed ? service_reach::refused : service_reach::silent;
    }
    const auto answer = read_object(socket_stream_.readLine(longest_answer).trimmed());
    if (!answer || answer->value(QLatin1String("ok")) != QJsonValue(true)
        || !answer->value(QLatin1String("lines")).isArray()) {
        socket_stream_.abort();
        const QString message = answer ? answer->value(QLatin1String("message")).toString()
                                       : QString();
        reach_message_ = message.isEmpty()
                             ? QStringLiteral("telvard at %1 answered something that is not a "
                                              "list of lines")
                                   .arg(socket)
                             : QStringLiteral("telvard at %1 refused this client: %2")
                                   .arg(socket, message);
        return service_reach::refused;
    }
    lines_ = answer->value(QLatin1String("lines")).toArray();
    reach_message_.clear();
    connect(&socket_stream_, &QLocalSocket::readyRead, this, &service_line::read_lines,
            Qt::UniqueConnection);
    connect(&socket_stream_, &QLocalSocket::disconnected, this, &service_line::on_closed,
            Qt::UniqueConnection);
    return service_reach::answered;
}

service_line::~service_line()
{
    // The socket is destroyed after the requests it waits for, and says
    // disconnected as it goes: nothing of that may reach this half-gone line.
    disconnect(&socket_stream_, nullptr, this, nullptr);
}

void service_line::on_closed()
{
    lose(QStringLiteral("telvard at %1 closed the connection").arg(socket_));
}

QJsonObject service_line::line_for(const link::port_spec& where, const QString& name) const
{
    const QString asked =
        where.number > 0 ? real_path(port_device(where.number)) : real_path(where.path);
    for (const QJsonValue& v : lines_) {
        const QJsonObject l = v.toObject();
        if (!name.isEmpty()) {
            if (l.value(QLatin1String("line")).toString() == name)
                return l;
            continue;
        }
        const QJsonValue port = l.value(QLatin1String("port"));
        if (where.number > 0 && port.isDouble() && port.toInt() == where.number)
            return l;
        if (where.number == 0 && port.isString() && port.toString() == where.path)
            return l;
        // The same device by another name: a port-folder link, a by-id name.
        const QString device = l.value(QLatin1String("device")).toString();
        if (!asked.isEmpty() && !device.isEmpty() && real_path(device) == asked)
            return l;
    }
    return {};
}

link::line_opening service_line::open(const link::port_spec& where)
{
    link::line_opening o;
    o.result.device = where.number > 0 ? port_device(where.number) : where.path;
    if (socket_stream_.state() != QLocalSocket::ConnectedState) {
        o.code = QStringLiteral("no_service");
        o.message = reach_message_.isEmpty()
                        ? QStringLiteral("no telvard answers at %1").arg(socket_)
                        : reach_message_;
        o.message += QStringLiteral("; without --service, telvarctl opens the port itself");
        return o;
    }
    const QJsonObject l = line_for(where, name_);
    if (l.isEmpty()) {
        QStringList held;
        for (const QJsonValue& v : lines_) {
            const QJsonObject h = v.toObject();
            const QJsonValue port = h.value(QLatin1String("port"));
            held << QStringLiteral("%1 (%2)")
                        .arg(h.value(QLatin1String("line")).toString(),
                             port.isDouble() ? QStringLiteral("port %1").arg(port.toInt())
                                             : port.toString());
        }
        o.code = QStringLiteral("not_held");
        o.message = QStringLiteral("telvard at %1 holds %2, not %3: see telvarctl lines")
                        .arg(socket_,
                             held.isEmpty() ? QStringLiteral("no line")
                                            : held.join(QStringLiteral(", ")),
                             name_.isEmpty() ? where.describe(o.result.device)
                                             : QStringLiteral("a line named %1").arg(name_));
        return o;
    }
    line_ = l.value(QLatin1String("line")).toString();
    device_ = l.value(QLatin1String("device")).toString();
    const QJsonValue port = l.value(QLatin1String("port"));
    port_ = name_.isEmpty() ? where
            : port.isDouble() ? link::port_spec{port.toInt(), {}}
                              : link::port_spec{0, port.toString()};
    settings_.reply_window_ms = l.value(QLatin1String("reply_window_ms")).toInt(200);
    settings_.retries = l.value(QLatin1String("retries")).toInt(2);
    settings_.poll_interval_ms = l.value(QLatin1String("poll_interval_ms")).toInt(200);
    for (const QJsonValue& b : l.value(QLatin1String("boards")).toArray())
        served_ << b.toObject().value(QLatin1String("address")).toInt();
    o.result = {true, open_failure::none, device_, {}};
    return o;
}

void service_line::send(QJsonObject request, callback done)
{
    const qint64 id = next_id_++;
    request.insert(QStringLiteral("id"), id);
    request.insert(QStringLiteral("line"), line_);
    if (waiting_.isEmpty())
        quiet_.start();
    waiting_.insert(id, std::move(done));
    watchdog_.start();
    socket_stream_.write(wire_line(request));
    socket_stream_.flush();
}

void service_line::status(int address, link::relay_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("status")},
          {QStringLiteral("address"), address}},
         std::move(done));
}

void service_line::switch_relay(int address, int relay, bool pull_in, link::relay_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("switch")},
          {QStringLiteral("address"), address},
          {QStringLiteral("relay"), relay},
          {QStringLiteral("state"), pull_in ? QStringLiteral("on") : QStringLiteral("off")}},
         std::move(done));
}

void service_line::switch_all(int address, bool pull_in, link::relay_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("switch")},
          {QStringLiteral("address"), address},
          {QStringLiteral("all"), true},
          {QStringLiteral("state"), pull_in ? QStringLiteral("on") : QStringLiteral("off")}},
         std::move(done));
}

void service_line::toggle(int address, int relay, link::relay_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("switch")},
          {QStringLiteral("address"), address},
          {QStringLiteral("relay"), relay},
          {QStringLiteral("state"), QStringLiteral("toggle")}},
         std::move(done));
}

void service_line::read_parameter(link::parameter what, int address, link::parameter_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("get")},
          {QStringLiteral("address"), address},
          {QStringLiteral("parameter"), parameter_name(what)}},
         std::move(done));
}

void service_line::write_parameter(link::parameter what, int address, std::uint32_t value,
                                   link::parameter_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("set")},
          {QStringLiteral("address"), address},
          {QStringLiteral("parameter"), parameter_name(what)},
          {QStringLiteral("value"), qint64(value)}},
         std::move(done));
}

void service_line::pair(int address, link::parameter_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("pair")},
          {QStringLiteral("address"), address}},
         std::move(done));
}

void service_line::pulse(int address, int relay, qint64 ms, bool wait,
                         link::relay_callback pulled, link::relay_callback released)
{
    // The service keeps the timer: one answer, once pulled in, or with wait once released.
    link::relay_callback done = wait ? std::move(released) : std::move(pulled);
    send({{QStringLiteral("request"), QStringLiteral("pulse")},
          {QStringLiteral("address"), address},
          {QStringLiteral("relay"), relay},
          {QStringLiteral("ms"), ms},
          {QStringLiteral("wait"), wait}},
         std::move(done));
}

void service_line::health(int address, link::health_callback done)
{
    send({{QStringLiteral("request"), QStringLiteral("stats")},
          {QStringLiteral("address"), address}},
         std::move(done));
}

QString service_line::follow(const QList<int>& addresses)
{
    if (addresses.isEmpty()) {
        following_ = false;
        return {};
    }
    // The service polls its own boards; asking it to poll others would change its rhythm.
    QStringList missing;
    for (int a : addresses)
        if (!served_.contains(a))
            missing << QString::number(a);
    if (!missing.isEmpty())
        return QStringLiteral("telvard does not poll board%1 %2 on line %3, so there is nothing "
                              "to watch through it; add the board%1 to the line's boards in its "
                              "configuration, or watch another")
            .arg(missing.size() > 1 ? "s" : "", missing.join(QStringLiteral(", ")), line_);
    QJsonArray list;
    for (int a : addresses)
        list.append(a);
    following_ = true;
    subscription_ = next_id_++;
    socket_stream_.write(wire_line({{QStringLiteral("id"), subscription_},
                                    {QStringLiteral("request"), QStringLiteral("subscribe")},
                                    {QStringLiteral("line"), line_},
                                    {QStringLiteral("addresses"), list}}));
    socket_stream_.flush();
    return {};
}

void service_line::read_lines()
{
    QPointer<service_line> alive(this);
    while (alive && !ended_ && socket_stream_.canReadLine()) {
        const QByteArray line = socket_stream_.readLine(longest_answer).trimmed();
        if (line.isEmpty())
            continue;
        const auto o = read_object(line);
        if (!o) {
            lose(QStringLiteral("telvard at %1 sent a line that is not JSON").arg(socket_));
            return;
        }
        take(*o);
    }
}

void service_line::take(const QJsonObject& o)
{
    if (o.contains(QLatin1String("event"))) {
        if (following_)
            take_event(o);
        return;
    }
    const qint64 id = qint64(o.value(QLatin1String("id")).toDouble(-1));
    if (id == subscription_ && o.value(QLatin1String("ok")) == QJsonValue(false)) {
        lose(QStringLiteral("telvard at %1 refused to subscribe: %2")
                 .arg(socket_, o.value(QLatin1String("message")).toString()));
        return;
    }
    const auto it = waiting_.find(id);
    if (it == waiting_.end() || o.contains(QLatin1String("found")))
        return;
    const callback done = it.value();
    waiting_.erase(it);
    quiet_.start();
    if (waiting_.isEmpty())
        watchdog_.stop();
    const QString reason = o.value(QLatin1String("lost_reason")).toString();
    if (!reason.isEmpty() && !following_)
        emit line_lost(reason);
    if (const auto* relay = std::get_if<link::relay_callback>(&done)) {
        const auto r = relay_result_from_json(o);
        if (!r) {
            lose(QStringLiteral("telvard at %1 refused the request: %2")
                     .arg(socket_, o.value(QLatin1String("message")).toString()));
            return;
        }
        (*relay)(*r);
        return;
    }
    if (const auto* health = std::get_if<link::health_callback>(&done)) {
        const auto h = health_from_json(o.value(QLatin1String("health")));
        if (!h) {
            lose(QStringLiteral("telvard at %1 refused the request: %2")
                     .arg(socket_, o.value(QLatin1String("message")).toString()));
            return;
        }
        (*health)(link::outcome::done, *h);
        return;
    }
    const auto r = parameter_result_from_json(o);
    if (!r) {
        lose(QStringLiteral("telvard at %1 refused the request: %2")
                 .arg(socket_, o.value(QLatin1String("message")).toString()));
        return;
    }
    std::get<link::parameter_callback>(done)(*r);
}

void service_line::take_event(const QJsonObject& o)
{
    const QString kind = o.value(QLatin1String("event")).toString();
    const int address = o.value(QLatin1String("address")).toInt(-1);
    if (kind == QLatin1String("state") || kind == QLatin1String("change")) {
        if (const auto relays = relays_from_json(o.value(QLatin1String("relays"))))
            emit board_reported(address, *relays);
    } else if (kind == QLatin1String("available") || kind == QLatin1String("unavailable")) {
        emit availability_changed(address, kind == QLatin1String("available"));
    } else if (kind == QLatin1String("line_lost")) {
        emit line_lost(o.value(QLatin1String("reason")).toString());
    } else if (kind == QLatin1String("line_back")) {
        emit line_restored(o.value(QLatin1String("device")).toString());
    }
}

void service_line::lose(const QString& why)
{
    if (ended_)
        return;
    // Nothing more to wait for: a request in flight may have been carried out or not.
    const bool asked = !waiting_.isEmpty();
    if (!asked && !following_)
        return;
    ended_ = true;
    watchdog_.stop();
    waiting_.clear();
    emit road_closed(QStringLiteral("service_lost"),
                     asked ? why + QStringLiteral("; whether the last request was carried out "
                                                  "is not known: ask telvarctl status")
                           : why);
}

} // namespace telvar::local

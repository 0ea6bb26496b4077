#include "local/json_forms.h"

#include "local/request.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace telvar::local {

namespace {

constexpr link::outcome outcomes[] = {
    link::outcome::done,       link::outcome::not_confirmed, link::outcome::no_reply,
    link::outcome::port_closed, link::outcome::line_lost,    link::outcome::offline,
    link::outcome::queue_full, link::outcome::superseded,
};

std::optional<qint64> whole(const QJsonValue& value, qint64 low, qint64 high)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (d != std::floor(d) || d < double(low) || d > double(high))
        return std::nullopt;
    return qint64(d);
}

} // namespace

QJsonObject to_json(const link::relay_result& result)
{
    QJsonObject o{{QStringLiteral("outcome"), link::outcome_name(result.result)},
                  {QStringLiteral("address"), result.address},
                  {QStringLiteral("frames_sent"), result.frames_sent}};
    if (result.reported)
        o.insert(QStringLiteral("relays"), link::relays_json(*result.reported));
    if (!result.skipped.isEmpty()) {
        QJsonArray skipped;
        for (int n : result.skipped)
            skipped.append(n);
        o.insert(QStringLiteral("skipped"), skipped);
    }
    return o;
}

QJsonObject to_json(const link::board_health& h)
{
    const auto or_null = [](qint64 v) { return v < 0 ? QJsonValue() : QJsonValue(v); };
    QJsonValue last;
    if (h.last_reply_ms >= 0) {
        QDateTime at = QDateTime::fromMSecsSinceEpoch(h.last_reply_ms);
        at.setOffsetFromUtc(at.offsetFromUtc());
        last = at.toString(Qt::ISODateWithMs);
    }
    return {{QStringLiteral("frames_sent"), qint64(h.frames_sent)},
            {QStringLiteral("replies_accepted"), qint64(h.replies_accepted)},
            {QStringLiteral("checksum_errors"), qint64(h.checksum_errors)},
            {QStringLiteral("stray_bytes"), qint64(h.stray_bytes)},
            {QStringLiteral("timeouts"), qint64(h.timeouts)},
            {QStringLiteral("retries"), qint64(h.retries)},
            {QStringLiteral("last_reply"), last},
            {QStringLiteral("round_trip_ms"), or_null(h.round_trip_p50_ms)},
            {QStringLiteral("quality"), or_null(h.quality_percent)}};
}

std::optional<link::board_health> health_from_json(const QJsonValue& value)
{
    const QJsonObject o = value.toObject();
    if (!value.isObject())
        return std::nullopt;
    link::board_health h;
    const auto count = [&](const char* key, quint64& out) {
        const auto n = whole(o.value(QLatin1String(key)), 0, qint64(1) << 52);
        if (n)
            out = quint64(*n);
        return n.has_value();
    };
    const auto maybe = [&](const char* key, qint64 high, int& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isNull())
            return true;
        const auto n = whole(v, 0, high);
        if (n)
            out = int(*n);
        return n.has_value();
    };
    if (!count("frames_sent", h.frames_sent) || !count("replies_accepted", h.replies_accepted)
        || !count("checksum_errors", h.checksum_errors) || !count("stray_bytes", h.stray_bytes)
        || !count("timeouts", h.timeouts) || !count("retries", h.retries)
        || !maybe("round_trip_ms", 1 << 30, h.round_trip_p50_ms) || !maybe("quality", 100, h.quality_percent))
        return std::nullopt;
    const QJsonValue last = o.value(QLatin1String("last_reply"));
    if (!last.isNull()) {
        const QDateTime at = QDateTime::fromString(last.toString(), Qt::ISODateWithMs);
        if (!at.isValid())
            return std::nullopt;
        h.last_reply_ms = at.toMSecsSinceEpoch();
    }
    return h;
}

QJsonObject to_json(const link::parameter_result& result)
{
    QJsonObject o{{QStringLiteral("outcome"), link::outcome_name(result.result)},
                  {QStringLiteral("parameter"), parameter_name(result.what)},
                  {QStringLiteral("address"), result.address},
                  {QStringLiteral("frames_sent"), result.frames_sent}};
    if (result.value)
        o.insert(QStringLiteral("value"), qint64(*result.value));
    return o;
}

std::optional<link::relay_states> relays_from_json(const QJsonValue& value)
{
    const QJsonArray list = value.toArray();
    if (!value.isArray() || list.size() != relay_count)
        return std::nullopt;
    link::relay_states relays{};
    for (int i = 0; i < relay_count; ++i) {
        if (!list[i].isBool())
            return std::nullopt;
        relays[std::size_t(i)] = list[i].toBool();
    }
    return relays;
}

std::optional<link::outcome> outcome_from_name(const QString& name)
{
    for (link::outcome o : outcomes)
        if (link::outcome_name(o) == name)
            return o;
    return std::nullopt;
}

std::optional<link::relay_result> relay_result_from_json(const QJsonObject& o)
{
    const auto result = outcome_from_name(o.value(QLatin1String("outcome")).toString());
    const auto address = whole(o.value(QLatin1String("address")), 0, 255);
    const auto frames = whole(o.value(QLatin1String("frames_sent")), 0, 1 << 30);
    if (!result || !address || !frames)
        return std::nullopt;
    link::relay_result r;
    r.result = *result;
    r.address = int(*address);
    r.frames_sent = int(*frames);
    if (o.contains(QLatin1String("relays"))) {
        r.reported = relays_from_json(o.value(QLatin1String("relays")));
        if (!r.reported)
            return std::nullopt;
    }
    for (const QJsonValue& n : o.value(QLatin1String("skipped")).toArray())
        r.skipped << n.toInt();
    return r;
}

std::optional<link::parameter_result> parameter_result_from_json(const QJsonObject& o)
{
    const auto result = outcome_from_name(o.value(QLatin1String("outcome")).toString());
    const auto what = parameter_from_name(o.value(QLatin1String("parameter")).toString());
    const auto address = whole(o.value(QLatin1String("address")), 0, 255);
    const auto frames = whole(o.value(QLatin1String("frames_sent")), 0, 1 << 30);
    if (!result || !what || !address || !frames)
        return std::nullopt;
    link::parameter_result r;
    r.result = *result;
    r.what = *what;
    r.address = int(*address);
    r.frames_sent = int(*frames);
    if (o.contains(QLatin1String("value"))) {
        const auto value = whole(o.value(QLatin1String("value")), 0, 0xFFFFFFFFll);
        if (!value)
            return std::nullopt;
        r.value = std::uint32_t(*value);
    }
    return r;
}

QString error_code(link::outcome result)
{
    return result == link::outcome::port_closed ? QStringLiteral("port_lost")
                                                : link::outcome_name(result);
}

QJsonObject refusal(const QJsonValue& id, const QString& code, const QString& message)
{
    return {{QStringLiteral("id"), id.isUndefined() ? QJsonValue() : id},
            {QStringLiteral("ok"), false},
            {QStringLiteral("error"), code},
            {QStringLiteral("message"), message}};
}

QString event_time()
{
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc());
    return now.toString(Qt::ISODateWithMs);
}

QByteArray wire_line(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace telvar::local

#include "local/request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace telvar::local {

namespace {

struct kind_entry {
    request_kind what;
    const char* name;
    std::initializer_list<const char*> fields;  // besides id, request and line
};

const kind_entry kinds[] = {
    {request_kind::lines, "lines", {}},
    {request_kind::status, "status", {"address"}},
    {request_kind::switch_relays, "switch", {"address", "relay", "relays", "all", "state"}},
    {request_kind::get, "get", {"address", "parameter"}},
    {request_kind::set, "set", {"address", "parameter", "value"}},
    {request_kind::pair, "pair", {"address"}},
    {request_kind::scan, "scan", {"from", "to"}},
    {request_kind::subscribe, "subscribe", {"addresses"}},
    {request_kind::pulse, "pulse", {"address", "relay", "ms", "wait"}},
    {request_kind::stats, "stats", {"address"}},
};

struct parameter_entry {
    link::parameter what;
    const char* name;
};

const parameter_entry parameters[] = {
    {link::parameter::host_id, "host-id"},
    {link::parameter::host_channel, "host-channel"},
    {link::parameter::slave_id, "slave-id"},
    {link::parameter::slave_channel, "slave-channel"},
    {link::parameter::pairing, "pairing"},
};

// A value as it goes into a message: short, and printable.
QString shown(const QJsonValue& value)
{
    QString text = value.isString()
                       ? QLatin1Char('"') + value.toString() + QLatin1Char('"')
                       : QString::fromUtf8(
                             QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
                             .mid(1)
                             .chopped(1);
    if (text.size() > 24)
        text = text.left(24) + QStringLiteral("...");
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    return text;
}

bool is_whole(const QJsonValue& value, qint64 low, qint64 high)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return d == std::floor(d) && d >= double(low) && d <= double(high);
}

QString range_text(const char* key, qint64 low, qint64 high, const QJsonValue& given)
{
    return QStringLiteral("\"%1\" must be a whole number from %2 to %3, not %4")
        .arg(QLatin1String(key))
        .arg(low)
        .arg(high)
        .arg(shown(given));
}

// Reads an optional whole number into @p out; false with @p error when it is not one in range.
bool read_whole(const QJsonObject& o, const char* key, qint64 low, qint64 high, qint64& out,
                QString& error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    if (!is_whole(v, low, high)) {
        error = range_text(key, low, high, v);
        return false;
    }
    out = qint64(v.toDouble());
    return true;
}

// A list of whole numbers: "relays" of a switch, "addresses" of a subscription.
bool read_list(const QJsonObject& o, const char* key, qint64 low, qint64 high, int longest,
               QList<int>& out, QString& error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    const QJsonArray list = v.toArray();
    if (!v.isArray() || list.isEmpty() || list.size() > longest) {
        error = QStringLiteral("\"%1\" must be a list of 1 to %2 numbers from %3 to %4, not %5")
                    .arg(QLatin1String(key))
                    .arg(longest)
                    .arg(low)
                    .arg(high)
                    .arg(shown(v));
        return false;
    }
    for (const QJsonValue& item : list) {
        if (!is_whole(item, low, high)) {
            error = QStringLiteral("every number in \"%1\" must be a whole number from %2 to %3, "
                                   "not %4")
                        .arg(QLatin1String(key))
                        .arg(low)
                        .arg(high)
                        .arg(shown(item));
            return false;
        }
        out.append(int(item.toDouble()));
    }
    return true;
}

bool read_switch(const QJsonObject& o, request& r, QString& error)
{
    const QJsonValue state = o.value(QLatin1String("state"));
    const QString word = state.toString();
    if (word == QLatin1String("on"))
        r.state = switch_to::on;
    else if (word == QLatin1String("off"))
        r.state = switch_to::off;
    else if (word == QLatin1String("toggle"))
        r.state = switch_to::toggle;
    else {
        error = state.isUndefined()
                    ? QStringLiteral("a switch needs \"state\": \"on\", \"off\" or \"toggle\"")
                    : QStringLiteral("\"state\" must be \"on\", \"off\" or \"toggle\", not %1")
                          .arg(shown(state));
        return false;
    }
    const int given = int(o.contains(QLatin1String("relay"))) +
                      int(o.contains(QLatin1String("relays"))) +
                      int(o.contains(QLatin1String("all")));
    if (given != 1) {
        error = given == 0 ? QStringLiteral("a switch needs \"relay\", \"relays\" or \"all\"")
                           : QStringLiteral("a switch takes only one of \"relay\", \"relays\" "
                                            "and \"all\"");
        return false;
    }
    qint64 relay = 0;
    if (!read_whole(o, "relay", 1, relay_count, relay, error)
        || !read_list(o, "relays", 1, relay_count, relay_count, r.relays, error))
        return false;
    if (relay != 0)
        r.relays = {int(relay)};
    if (o.contains(QLatin1String("all"))) {
        if (o.value(QLatin1String("all")) != QJsonValue(true)) {
            error = QStringLiteral("\"all\" must be true, not %1").arg(shown(o.value(QLatin1String("all"))));
            return false;
        }
        r.all = true;
    }
    if (r.state == switch_to::toggle && (r.all || r.relays.size() != 1)) {
        error = QStringLiteral("toggle takes one relay: \"relay\": N");
        return false;
    }
    return true;
}

bool read_pulse(const QJsonObject& o, request& r, QString& error)
{
    const QJsonValue relay = o.value(QLatin1String("relay"));
    if (!is_whole(relay, 1, relay_count)) {
        error = relay.isUndefined() ? QStringLiteral("a pulse needs \"relay\": a number from 1 to 16")
                                    : range_text("relay", 1, relay_count, relay);
        return false;
    }
    r.relays = {int(relay.toDouble())};
    const QJsonValue ms = o.value(QLatin1String("ms"));
    if (!is_whole(ms, link::shortest_pulse_ms, link::longest_pulse_ms)) {
        error = ms.isUndefined()
                    ? QStringLiteral("a pulse needs \"ms\": its length from %1 to %2 ms")
                          .arg(link::shortest_pulse_ms)
                          .arg(link::longest_pulse_ms)
                    : range_text("ms", link::shortest_pulse_ms, link::longest_pulse_ms, ms);
        return false;
    }
    r.pulse_ms = qint64(ms.toDouble());
    const QJsonValue wait = o.value(QLatin1String("wait"));
    if (!wait.isUndefined() && !wait.isBool()) {
        error = QStringLiteral("\"wait\" must be true or false, not %1").arg(shown(wait));
        return false;
    }
    r.wait = wait.toBool(false);
    return true;
}

bool read_parameter_fields(const QJsonObject& o, request& r, QString& error)
{
    const QJsonValue name = o.value(QLatin1String("parameter"));
    const auto what = parameter_from_name(name.toString());
    if (!name.isString() || !what || *what == link::parameter::pairing) {
        error = QStringLiteral("\"parameter\" must be \"host-id\", \"host-channel\", \"slave-id\" "
                               "or \"slave-channel\"%1")
                    .arg(name.isUndefined() ? QString() : QStringLiteral(", not ") + shown(name));
        return false;
    }
    r.param = *what;
    if (r.what != request_kind::set)
        return true;
    const bool channel =
        *what == link::parameter::host_channel || *what == link::parameter::slave_channel;
    const qint64 high = channel ? 255 : 2147483647;
    const QJsonValue value = o.value(QLatin1String("value"));
    if (!is_whole(value, 0, high)) {
        error = value.isUndefined() ? QStringLiteral("set needs \"value\": %1 from 0 to %2")
                                          .arg(channel ? QStringLiteral("a channel")
                                                       : QStringLiteral("an id"))
                                          .arg(high)
                                    : range_text("value", 0, high, value);
        return false;
    }
    r.value = std::uint32_t(value.toDouble());
    return true;
}

} // namespace

QString kind_name(request_kind what)
{
    for (const kind_entry& k : kinds)
        if (k.what == what)
            return QLatin1String(k.name);
    return {};
}

QString parameter_name(link::parameter what)
{
    for (const parameter_entry& p : parameters)
        if (p.what == what)
            return QLatin1String(p.name);
    return {};
}

std::optional<link::parameter> parameter_from_name(const QString& name)
{
    for (const parameter_entry& p : parameters)
        if (name == QLatin1String(p.name))
            return p.what;
    return std::nullopt;
}

read_result read_request(const QByteArray& line)
{
    read_result result;
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parse);
    if (parse.error != QJsonParseError::NoError) {
        result.message = QStringLiteral("not JSON (%1 at byte %2): send one JSON object a line, "
                                        "such as {\"id\": 1, \"request\": \"lines\"}")
                             .arg(parse.errorString())
                             .arg(parse.offset);
        return result;
    }
    if (!document.isObject()) {
        result.message = QStringLiteral("a request is a JSON object, such as {\"id\": 1, "
                                        "\"request\": \"lines\"}");
        return result;
    }
    const QJsonObject o = document.object();
    result.id = o.value(QLatin1String("id"));
    if (result.id.isUndefined())
        result.id = QJsonValue();

    const QJsonValue name = o.value(QLatin1String("request"));
    const kind_entry* kind = nullptr;
    for (const kind_entry& k : kinds)
        if (name.toString() == QLatin1String(k.name))
            kind = &k;
    if (!kind) {
        result.message =
            (name.isUndefined() ? QStringLiteral("no \"request\"")
                                : QStringLiteral("unknown request %1").arg(shown(name)))
            + QStringLiteral(": one of lines, status, switch, pulse, get, set, pair, scan, "
                             "subscribe, stats");
        return result;
    }
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString key = it.key();
        const bool known = key == QLatin1String("id") || key == QLatin1String("request")
                           || key == QLatin1String("line")
                           || std::any_of(kind->fields.begin(), kind->fields.end(),
                                          [&](const char* f) { return key == QLatin1String(f); });
        if (!known) {
            result.message = QStringLiteral("unknown field %1 in a %2 request")
                                 .arg(shown(key), QLatin1String(kind->name));
            return result;
        }
    }

    request r;
    r.what = kind->what;
    r.id = result.id;
    QString& error = result.message;
    const QJsonValue line_name = o.value(QLatin1String("line"));
    if (!line_name.isUndefined()) {
        if (!line_name.isString() || line_name.toString().isEmpty()) {
            error = QStringLiteral("\"line\" must be a line's name, not %1").arg(shown(line_name));
            return result;
        }
        r.line = line_name.toString();
    }
    qint64 address = r.address;
    qint64 from = r.from;
    qint64 to = r.to;
    if (!read_whole(o, "address", 0, 255, address, error)
        || !read_whole(o, "from", 0, 255, from, error) || !read_whole(o, "to", 0, 255, to, error)
        || !read_list(o, "addresses", 0, 255, 256, r.addresses, error))
        return result;
    r.address = int(address);
    r.from = int(from);
    r.to = int(to);
    if (r.from > r.to) {
        error = QStringLiteral("\"from\" (%1) must not be above \"to\" (%2)").arg(r.from).arg(r.to);
        return result;
    }
    switch (r.what) {
    case request_kind::switch_relays:
        if (!read_switch(o, r, error))
            return result;
        break;
    case request_kind::get:
    case request_kind::set:
        if (!read_parameter_fields(o, r, error))
            return result;
        break;
    case request_kind::pulse:
        if (!read_pulse(o, r, error))
            return result;
        break;
    case request_kind::stats:
    case request_kind::lines:
    case request_kind::status:
    case request_kind::pair:
    case request_kind::scan:
    case request_kind::subscribe:
        break;
    }
    result.ok = r;
    return result;
}

QList<line_splitter::piece> line_splitter::take(const QByteArray& bytes)
{
    QList<piece> out;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        if (!skipping_) {
            // Never more than one byte past the limit is kept.
            const qsizetype room = qsizetype(limit_) + 1 - pending_.size();
            pending_.append(bytes.constData() + start, std::min(end - start, room));
            if (pending_.size() > limit_) {
                pending_.clear();
                out.append({{}, true});
                skipping_ = true;
            }
        }
        if (newline < 0)
            break;
        start = newline + 1;
        if (skipping_) {
            skipping_ = false;
            continue;
        }
        QByteArray text = std::move(pending_);
        pending_.clear();
        if (text.endsWith('\r'))
            text.chop(1);
        if (!text.trimmed().isEmpty())
            out.append({text, false});
    }
    return out;
}

QList<line_splitter::piece> line_splitter::finish()
{
    if (skipping_) {
        skipping_ = false;
        return {};
    }
    return take(QByteArrayLiteral("\n"));
}

} // namespace telvar::local

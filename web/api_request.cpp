#include "web/api_request.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStringList>

#include <initializer_list>

namespace telvar::web {

namespace {

api_result refuse(int status, const QString& code, const QString& message,
                  const QByteArray& allow = {})
{
    api_result r;
    r.refusal = {status, code, message, allow};
    return r;
}

api_result not_found(const QString& path)
{
    return refuse(404, QStringLiteral("not_found"),
                  QStringLiteral("no such page or API path: %1 (the API is under /api/lines)")
                      .arg(path.left(100)));
}

api_result wrong_method(const QByteArray& method, const QByteArray& allow)
{
    return refuse(405, QStringLiteral("method"),
                  QStringLiteral("%1 is not taken here; use %2")
                      .arg(QString::fromLatin1(method.left(16)), QString::fromLatin1(allow)),
                  allow);
}

api_result usage(const QString& message)
{
    return refuse(400, QStringLiteral("usage"), message);
}

struct page_entry {
    const char* path;
    const char* file;
    const char* type;
};

const page_entry page_files[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
    {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
};

// As the configuration names lines.
bool is_line_name(const QString& text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z][A-Za-z0-9_-]{0,31}$"));
    return name.match(text).hasMatch();
}

// A number in the path: digits only, so "+1", "1.0" and "0x1" are refused,
// and without leading zeros, so that each board has one path.
bool path_number(const QString& text, qint64& out)
{
    if (text.isEmpty() || text.size() > 9 || (text.size() > 1 && text[0] == QLatin1Char('0')))
        return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    out = text.toLongLong();
    return true;
}

// The body as a JSON object holding only @p fields; false with the message.
bool body_object(const QByteArray& body, std::initializer_list<const char*> fields,
                 QJsonObject& out, QString& error)
{
    if (body.trimmed().isEmpty()) {
        error = QStringLiteral("the body is empty; send a JSON object");
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("the body is not JSON (%1 at byte %2)")
                    .arg(parse.errorString())
                    .arg(parse.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("the body must be a JSON object");
        return false;
    }
    out = doc.object();
    for (auto it = out.begin(); it != out.end(); ++it) {
        bool known = false;
        QStringList names;
        for (const char* f : fields) {
            known = known || it.key() == QLatin1String(f);
            names << QLatin1String(f);
        }
        if (!known) {
            error = QStringLiteral("unknown field \"%1\" (known here: %2)")
                        .arg(it.key().left(32), names.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

// The local reader checks ranges and words its messages; the front shares them.
api_result through_reader(QJsonObject o, route what)
{
    const local::read_result read = local::read_request(QJsonDocument(o).toJson(QJsonDocument::Compact));
    if (!read.ok)
        return usage(read.message);
    api_result r;
    r.ok = true;
    r.request.what = what;
    r.request.r = *read.ok;
    return r;
}

api_result switch_body(QJsonObject base, const QByteArray& body, bool all)
{
    QJsonObject o;
    QString error;
    if (!body_object(body, all ? std::initializer_list<const char*>{"on"}
                               : std::initializer_list<const char*>{"on", "toggle"},
                     o, error))
        return usage(error);
    const bool has_on = o.contains(QLatin1String("on"));
    const bool has_toggle = o.contains(QLatin1String("toggle"));
    if (has_on == has_toggle)
        return usage(all ? QStringLiteral("send {\"on\": true} or {\"on\": false}")
                         : QStringLiteral("send one of {\"on\": true}, {\"on\": false} or "
                                          "{\"toggle\": true}"));
    if (has_on && !o.value(QLatin1String("on")).isBool())
        return usage(QStringLiteral("\"on\" must be true or false"));
    if (has_toggle && o.value(QLatin1String("toggle")) != QJsonValue(true))
        return usage(QStringLiteral("\"toggle\" must be true"));
    base.insert(QStringLiteral("request"), QStringLiteral("switch"));
    base.insert(QStringLiteral("state"),
                has_toggle                          ? QStringLiteral("toggle")
                : o.value(QLatin1String("on")).toBool() ? QStringLiteral("on")
                                                        : QStringLiteral("off"));
    return through_reader(base, route::call);
}

} // namespace

int http_status(const QString& code)
{
    if (code == QLatin1String("not_confirmed") || code == QLatin1String("superseded"))
        return 409;
    if (code == QLatin1String("no_reply"))
        return 504;
    if (code == QLatin1String("port_lost") || code == QLatin1String("line_lost")
        || code == QLatin1String("offline") || code == QLatin1String("queue_full"))
        return 503;
    if (code == QLatin1String("no_permission"))
        return 403;
    if (code == QLatin1String("not_found"))
        return 404;
    return 400;
}

api_result read_api_request(const QByteArray& method, const QString& path, const QByteArray& body)
{
    const bool get = method == "GET";
    const bool post = method == "POST";
    if (body.size() > max_body_bytes)
        return refuse(413, QStringLiteral("usage"),
                      QStringLiteral("the body has %1 bytes; at most %2 are taken")
                          .arg(body.size())
                          .arg(max_body_bytes));
    for (const page_entry& p : page_files) {
        if (path != QLatin1String(p.path))
            continue;
        if (!get)
            return wrong_method(method, "GET");
        api_result r;
        r.ok = true;
        r.request.file = QLatin1String(p.file);
        r.request.type = p.type;
        return r;
    }
    auto simple = [&](route what, const QByteArray& allow) {
        if (allow == "GET" ? !get : !post)
            return wrong_method(method, allow);
        api_result r;
        r.ok = true;
        r.request.what = what;
        return r;
    };
    if (path == QLatin1String("/login")) {
        if (!get && !post)
            return wrong_method(method, "GET, POST");
        return simple(post ? route::login : route::login_page, post ? "POST" : "GET");
    }
    if (path == QLatin1String("/metrics"))
        return simple(route::metrics, "GET");
    if (path == QLatin1String("/api/events"))
        return simple(route::events, "GET");
    if (path == QLatin1String("/api/lines"))
        return simple(route::lines, "GET");

    // /api/lines/LINE/boards/ADDR[/...]
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() < 6 || !parts[0].isEmpty() || parts[1] != QLatin1String("api")
        || parts[2] != QLatin1String("lines") || parts[4] != QLatin1String("boards"))
        return not_found(path);
    if (!is_line_name(parts[3]))
        return usage(QStringLiteral("\"%1\" is not a line's name: a letter, then letters, "
                                    "digits, _ and -, at most 32")
                         .arg(parts[3].left(40)));
    qint64 address = 0;
    if (!path_number(parts[5], address) || address > 255)
        return usage(QStringLiteral("the board's address must be a whole number from 0 to 255, "
                                    "not \"%1\"")
                         .arg(parts[5].left(16)));
    QJsonObject base{{QStringLiteral("line"), parts[3]}, {QStringLiteral("address"), address}};
    const QStringList rest = parts.mid(6);

    if (rest.isEmpty()) {
        if (!get)
            return wrong_method(method, "GET");
        base.insert(QStringLiteral("request"), QStringLiteral("status"));
        return through_reader(base, route::board);
    }
    if (rest == QStringList{QStringLiteral("all")}) {
        if (!post)
            return wrong_method(method, "POST");
        base.insert(QStringLiteral("all"), true);
        return switch_body(base, body, true);
    }
    if (rest.size() == 2 && rest[0] == QLatin1String("relays")) {
        if (!post)
            return wrong_method(method, "POST");
        qint64 relay = 0;
        if (!path_number(rest[1], relay))
            return usage(QStringLiteral("the relay must be a whole number from 1 to 16, not \"%1\"")
                             .arg(rest[1].left(16)));
        base.insert(QStringLiteral("relay"), relay);
        return switch_body(base, body, false);
    }
    if (rest.size() == 3 && rest[0] == QLatin1String("relays") && rest[2] == QLatin1String("pulse")) {
        if (!post)
            return wrong_method(method, "POST");
        qint64 relay = 0;
        if (!path_number(rest[1], relay))
            return usage(QStringLiteral("the relay must be a whole number from 1 to 16, not \"%1\"")
                             .arg(rest[1].left(16)));
        QJsonObject o;
        QString error;
        if (!body_object(body, {"ms", "wait"}, o, error))
            return usage(error);
        base.insert(QStringLiteral("request"), QStringLiteral("pulse"));
        base.insert(QStringLiteral("relay"), relay);
        for (auto it = o.begin(); it != o.end(); ++it)
            base.insert(it.key(), it.value());
        return through_reader(base, route::call);
    }
    if (rest == QStringList{QStringLiteral("parameters")}) {
        if (!get)
            return wrong_method(method, "GET");
        api_result r;
        r.ok = true;
        r.request.what = route::parameters;
        r.request.r.what = local::request_kind::get;
        r.request.r.line = parts[3];
        r.request.r.address = int(address);
        return r;
    }
    if (rest.size() == 2 && rest[0] == QLatin1String("parameters")) {
        if (!post)
            return wrong_method(method, "POST");
        QJsonObject o;
        QString error;
        if (!body_object(body, {"value"}, o, error))
            return usage(error);
        base.insert(QStringLiteral("request"), QStringLiteral("set"));
        base.insert(QStringLiteral("parameter"), rest[1].left(40));
        if (o.contains(QLatin1String("value")))
            base.insert(QStringLiteral("value"), o.value(QLatin1String("value")));
        return through_reader(base, route::call);
    }
    if (rest == QStringList{QStringLiteral("pair")}) {
        if (!post)
            return wrong_method(method, "POST");
        base.insert(QStringLiteral("request"), QStringLiteral("pair"));
        return through_reader(base, route::call);
    }
    return not_found(path);
}

} // namespace telvar::web

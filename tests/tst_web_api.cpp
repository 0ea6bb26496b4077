// telvard's web front end to end: a real telvard on three telvar-sim lines,
// asked over HTTP by a plain client and followed on its WebSocket. Every
// path and error answer, the security headers, the password when the page
// is reachable from elsewhere (127.0.0.2 counts as another machine here),
// and /metrics.
#include "support/sim_process.h"
#include "web/login_guard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <memory>

using namespace telvar::test;

namespace {

struct http_answer {
    int status = 0;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers;  // lower-case names
    qint64 elapsed_ms = 0;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

http_answer ask(QNetworkAccessManager& net, const QByteArray& method, const QUrl& url,
                const QByteArray& body = {}, const QList<QPair<QByteArray, QByteArray>>& extra = {})
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    for (const auto& [key, value] : extra)
        request.setRawHeader(key, value);
    QElapsedTimer clock;
    clock.start();
    QNetworkReply* reply = net.sendCustomRequest(request, method, body);
    QSignalSpy done(reply, &QNetworkReply::finished);
    http_answer a;
    if (!reply->isFinished() && !done.wait(20000)) {
        reply->abort();
        reply->deleteLater();
        return a;
    }
    a.elapsed_ms = clock.elapsed();
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    a.body = reply->readAll();
    for (const auto& [key, value] : reply->rawHeaderPairs())
        a.headers.insert(key.toLower(), value);
    reply->deleteLater();
    return a;
}

// telvard on three lines: hall (board 1, and board 2 that ignores
// switches), yard (board 3, polled rarely, so it stays available while the
// simulator is silent) and shed (board 4, which the tests take away).
struct web_rig {
    sim_process hall;
    sim_process yard;
    sim_process shed;
    QTemporaryDir dir;
    QProcess service;
    QByteArray log;
    QString error;
    int port = 0;

    QString config() const { return dir.filePath("telvard.conf"); }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    }

    bool start()
    {
        if (!hall.start({"--board", "1,relays=0001", "--board", "2,ignore-switch"})
            || !yard.start({"--board", "3"}) || !shed.start({"--board", "4"})) {
            error = hall.error() + yard.error() + shed.error();
            return false;
        }
        QFile f(config());
        if (!f.open(QIODevice::WriteOnly))
            return false;
        // No local socket: the page needs none.
        f.write(QString("[line hall]\nport = %1\ninterval = 100\nboards = 1,2\n1 = Pump_house\n"
                        "[line yard]\nport = %2\ninterval = 60000\nboards = 3\n"
                        "3.pulse = 9:300ms\n3.interlock = 11,12\n"
                        "[line shed]\nport = %3\ninterval = 100\nboards = 4\n"
                        "[local]\nenabled = false\n[web]\nlisten = 127.0.0.1:0\n")
                    .arg(hall.device(), yard.device(), shed.device())
                    .toUtf8());
        f.close();
        return start_service({"--config", config()});
    }

    bool start_service(const QStringList& arguments, const QProcessEnvironment& env = {})
    {
        QObject::connect(&service, &QProcess::readyReadStandardError,
                         [this] { log += service.readAllStandardError(); });
        if (!env.isEmpty())
            service.setProcessEnvironment(env);
        service.start(qEnvironmentVariable("TELVARD"), arguments);
        if (!service.waitForStarted(5000))
            return false;
        static const QRegularExpression listening("web page on https?://[^:]+:(\\d+)/");
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && service.state() == QProcess::Running) {
            const auto m = listening.match(QString::fromUtf8(log));
            if (m.hasMatch()) {
                port = m.captured(1).toInt();
                return true;
            }
            QTest::qWait(20);
        }
        error = QString::fromUtf8(log);
        return false;
    }

    ~web_rig()
    {
        if (service.state() != QProcess::NotRunning) {
            service.terminate();
            if (!service.waitForFinished(5000))
                service.kill();
        }
    }
};

// The WebSocket's messages as JSON objects, kept as they arrive.
struct event_reader {
    QWebSocket socket;
    QList<QJsonObject> events;
    // An empty origin sends no Origin header, as a client that is not a browser.
    explicit event_reader(const QByteArray& origin) : socket(QString::fromUtf8(origin))
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            events.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
    }
    void open(const QUrl& url) { socket.open(url); }
};

} // namespace

class tst_web_api : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    // Before the silent-board rows: yard's board is polled once a minute, so
    // once found silent it stays unavailable for the rest of the run.
    void board_rules_hold_through_the_api_data();
    void board_rules_hold_through_the_api();
    void answers_data();
    void answers();
    void client_gone_before_the_answer();
    void security_headers_data();
    void security_headers();
    void foreign_origin_refused_data();
    void foreign_origin_refused();
    void events_say_hello_then_follow_the_board();
    void metrics_parse();
    void password_data();
    void password();
    void wrong_passwords_slow_the_next_try();
    void https_with_a_certificate();
    void other_machines_need_a_password_data();
    void other_machines_need_a_password();
    void busy_address_stops_with_status_1();
    void credentials_read_data();
    void credentials_read();
    void sessions_expire();
    // Last: the service keeps reopening the vanished line's device path, and a
    // pseudo-terminal of a later test could be given that number.
    void lost_line_answers_503();

private:
    std::unique_ptr<web_rig> rig_;
    QNetworkAccessManager net_;
};

void tst_web_api::initTestCase()
{
    QVERIFY2(!qEnvironmentVariable("TELVARD").isEmpty(), "TELVARD is not set");
    rig_ = std::make_unique<web_rig>();
    QVERIFY2(rig_->start(), qPrintable(rig_->error));
    // Every board answered once, so the rows start from known relays.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const auto lines = ask(net_, "GET", rig_->url("/api/lines")).json()["lines"].toArray();
            int available = 0;
            for (const QJsonValue& l : lines)
                for (const QJsonValue& b : l["boards"].toArray())
                    available += b["available"].toBool();
            return available == 4;
        }(),
        10000);
}

void tst_web_api::answers_data()
{
    // A simulator command before the request ("yard:silence on"), the
    // request, and what comes back: status, error code ("" for ok), and
    // board 1's relays on the simulator afterwards ("" not looked at).
    QTest::addColumn<QString>("before");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("hall_1");

    const QString b1 = "/api/lines/hall/boards/1";
    QTest::newRow("lines") << "" << QByteArray("GET") << "/api/lines" << QByteArray() << 200 << ""
                           << "0001";
    QTest::newRow("board status") << "" << QByteArray("GET") << b1 << QByteArray() << 200 << ""
                                  << "0001";
    QTest::newRow("relay 5 on") << "" << QByteArray("POST") << b1 + "/relays/5"
                                << QByteArray(R"({"on":true})") << 200 << "" << "0011";
    QTest::newRow("relay 5 toggled") << "" << QByteArray("POST") << b1 + "/relays/5"
                                     << QByteArray(R"({"toggle":true})") << 200 << "" << "0001";
    QTest::newRow("relay 1 off") << "" << QByteArray("POST") << b1 + "/relays/1"
                                 << QByteArray(R"({"on":false})") << 200 << "" << "0000";
    QTest::newRow("all on") << "" << QByteArray("POST") << b1 + "/all"
                            << QByteArray(R"({"on":true})") << 200 << "" << "FFFF";
    QTest::newRow("all off") << "" << QByteArray("POST") << b1 + "/all"
                             << QByteArray(R"({"on":false})") << 200 << "" << "0000";
    QTest::newRow("relay 3 pulsed, answered once released")
        << "" << QByteArray("POST") << b1 + "/relays/3/pulse" << QByteArray(R"({"ms":200,"wait":true})")
        << 200 << "" << "0000";
    QTest::newRow("a pulse too short") << "" << QByteArray("POST") << b1 + "/relays/3/pulse"
                                       << QByteArray(R"({"ms":1})") << 400 << "usage" << "0000";
    QTest::newRow("a pulse without its length") << "" << QByteArray("POST") << b1 + "/relays/3/pulse"
                                                << QByteArray(R"({"wait":true})") << 400 << "usage"
                                                << "";
    QTest::newRow("a pulse with an unknown field")
        << "" << QByteArray("POST") << b1 + "/relays/3/pulse" << QByteArray(R"({"ms":500,"s":1})")
        << 400 << "usage" << "";
    QTest::newRow("parameters read") << "" << QByteArray("GET") << b1 + "/parameters"
                                     << QByteArray() << 200 << "" << "";
    QTest::newRow("a board that ignores switches")
        << "" << QByteArray("POST") << "/api/lines/hall/boards/2/relays/1"
        << QByteArray(R"({"on":true})") << 409 << "not_confirmed" << "";
    QTest::newRow("a silent board") << "yard:silence on" << QByteArray("POST")
                                    << "/api/lines/yard/boards/3/relays/1"
                                    << QByteArray(R"({"on":true})") << 504 << "no_reply" << "";
    QTest::newRow("bad JSON") << "" << QByteArray("POST") << b1 + "/relays/1"
                              << QByteArray(R"({"on":tru)") << 400 << "usage" << "0000";
    QTest::newRow("not an object") << "" << QByteArray("POST") << b1 + "/relays/1"
                                   << QByteArray("[true]") << 400 << "usage" << "";
    QTest::newRow("unknown field") << "" << QByteArray("POST") << b1 + "/relays/1"
                                   << QByteArray(R"({"on":true,"colour":"red"})") << 400 << "usage"
                                   << "0000";
    QTest::newRow("on and toggle") << "" << QByteArray("POST") << b1 + "/relays/1"
                                   << QByteArray(R"({"on":true,"toggle":true})") << 400 << "usage"
                                   << "";
    QTest::newRow("on not a boolean") << "" << QByteArray("POST") << b1 + "/relays/1"
                                      << QByteArray(R"({"on":1})") << 400 << "usage" << "";
    QTest::newRow("empty body") << "" << QByteArray("POST") << b1 + "/relays/1" << QByteArray()
                                << 400 << "usage" << "";
    QTest::newRow("toggle on all") << "" << QByteArray("POST") << b1 + "/all"
                                   << QByteArray(R"({"toggle":true})") << 400 << "usage" << "";
    QTest::newRow("relay 0") << "" << QByteArray("POST") << b1 + "/relays/0"
                             << QByteArray(R"({"on":true})") << 400 << "usage" << "";
    QTest::newRow("relay 17") << "" << QByteArray("POST") << b1 + "/relays/17"
                              << QByteArray(R"({"on":true})") << 400 << "usage" << "";
    QTest::newRow("relay not a number") << "" << QByteArray("POST") << b1 + "/relays/five"
                                        << QByteArray(R"({"on":true})") << 400 << "usage" << "";
    QTest::newRow("address 256") << "" << QByteArray("GET") << "/api/lines/hall/boards/256"
                                 << QByteArray() << 400 << "usage" << "";
    QTest::newRow("address not a number") << "" << QByteArray("GET") << "/api/lines/hall/boards/x1"
                                          << QByteArray() << 400 << "usage" << "";
    QTest::newRow("address with a leading zero") << "" << QByteArray("GET") << "/api/lines/hall/boards/01"
                                                 << QByteArray() << 400 << "usage" << "";
    QTest::newRow("address with a sign") << "" << QByteArray("GET") << "/api/lines/hall/boards/+1"
                                         << QByteArray() << 400 << "usage" << "";
    QTest::newRow("parameter out of range")
        << "" << QByteArray("POST") << b1 + "/parameters/host-channel"
        << QByteArray(R"({"value":300})") << 400 << "usage" << "";
    QTest::newRow("unknown parameter") << "" << QByteArray("POST") << b1 + "/parameters/colour"
                                       << QByteArray(R"({"value":1})") << 400 << "usage" << "";
    QTest::newRow("unknown path") << "" << QByteArray("GET") << "/api/relays" << QByteArray() << 404
                                  << "not_found" << "";
    QTest::newRow("unknown line") << "" << QByteArray("GET") << "/api/lines/attic/boards/1"
                                  << QByteArray() << 404 << "not_found" << "";
    QTest::newRow("a board not served") << "" << QByteArray("POST")
                                        << "/api/lines/hall/boards/9/relays/1"
                                        << QByteArray(R"({"on":true})") << 404 << "not_found" << "";
    QTest::newRow("GET on a relay") << "" << QByteArray("GET") << b1 + "/relays/1" << QByteArray()
                                    << 405 << "method" << "";
    QTest::newRow("POST on the lines") << "" << QByteArray("POST") << "/api/lines"
                                       << QByteArray("{}") << 405 << "method" << "";
    QTest::newRow("DELETE on a board") << "" << QByteArray("DELETE") << b1 << QByteArray() << 405
                                       << "method" << "";
    QTest::newRow("body over 64 KiB")
        << "" << QByteArray("POST") << b1 + "/relays/1"
        << QByteArray(R"({"on":true,"pad":")") + QByteArray(70000, 'x') + QByteArray(R"("})")
        << 413 << "usage" << "0000";
}

void tst_web_api::answers()
{
    QFETCH(QString, before);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, code);
    QFETCH(QString, hall_1);
    sim_process* far = nullptr;
    if (!before.isEmpty()) {
        far = before.startsWith("yard") ? &rig_->yard : &rig_->hall;
        QVERIFY(!far->command(before.section(':', 1)).isEmpty());
    }
    const http_answer a = ask(net_, method, rig_->url(path), body);
    if (far)
        far->command(before.section(':', 1).replace(" on", " off"));
    QVERIFY2(a.status == status, qPrintable(QString::number(a.status) + ' ' + a.body));
    QCOMPARE(a.headers.value("content-type"), QByteArray("application/json"));
    const QJsonObject o = a.json();
    QCOMPARE(o.value("ok").toBool(), status == 200);
    QVERIFY(!o.contains("id"));
    if (status == 200) {
        QVERIFY(!o.contains("error"));
    } else {
        QCOMPARE(o.value("error").toString(), code);
        QVERIFY2(!o.value("message").toString().isEmpty(), a.body.constData());
    }
    if (status == 405)
        QVERIFY(!a.headers.value("allow").isEmpty());
    if (path == "/api/lines" && status == 200) {
        QCOMPARE(o.value("lines").toArray().size(), 3);
        QCOMPARE(o["lines"][0]["boards"][0]["name"].toString(), QString("Pump_house"));
    } else if (status == 200 && method == "GET" && path.endsWith("/parameters")) {
        for (const char* name : {"host-id", "host-channel", "slave-id", "slave-channel"})
            QVERIFY2(o.value(name).isDouble(), a.body.constData());
    } else if (status == 200 && method == "GET") {
        QCOMPARE(o.value("name").toString(), QString("Pump_house"));
        QCOMPARE(o.value("available").toBool(), true);
        QCOMPARE(o.value("relays").toArray().size(), 16);
    } else if (status == 200) {
        // The answer is the board's reply: the same relays the simulator holds.
        QCOMPARE(o.value("outcome").toString(), QString("done"));
        QString bits;
        const QJsonArray relays = o.value("relays").toArray();
        quint16 word = 0;
        for (int n = 0; n < relays.size(); ++n)
            word |= relays[n].toBool() ? quint16(1u << n) : 0;
        bits = QString("%1").arg(word, 4, 16, QChar('0')).toUpper();
        QCOMPARE(bits, hall_1);
    }
    if (!hall_1.isEmpty())
        QCOMPARE(rig_->hall.relays(1), hall_1);
}

void tst_web_api::client_gone_before_the_answer()
{
    // The board stays silent long enough for the clients to give up first.
    QVERIFY(!rig_->yard.command("silence on").isEmpty());
    for (int i = 0; i < 5; ++i) {
        QNetworkRequest request(rig_->url("/api/lines/yard/boards/3/relays/2"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = net_.post(request, QByteArray(R"({"on":true})"));
        QTest::qWait(50);
        reply->abort();
        reply->deleteLater();
    }
    // A request behind them in the line's queue: its answer comes after theirs fell due.
    const http_answer last = ask(net_, "POST", rig_->url("/api/lines/yard/boards/3/relays/3"),
                                 R"({"on":true})");
    rig_->yard.command("silence off");
    // No reply, or offline by now after so many frames went unanswered.
    QVERIFY2(last.status == 504 || last.status == 503, last.body.constData());
    QCOMPARE(rig_->service.state(), QProcess::Running);
    QCOMPARE(ask(net_, "GET", rig_->url("/api/lines/hall/boards/1")).status, 200);
}

void tst_web_api::lost_line_answers_503()
{
    QVERIFY(!rig_->shed.command("vanish").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!ask(net_, "GET", rig_->url("/api/lines")).json()["lines"][2]["open"]
                                  .toBool(),
                             10000);
    const http_answer a = ask(net_, "POST", rig_->url("/api/lines/shed/boards/4/relays/1"),
                              R"({"on":true})");
    QVERIFY2(a.status == 503, a.body.constData());
    const QString code = a.json().value("error").toString();
    QVERIFY2(code == "port_lost" || code == "line_lost" || code == "offline", qPrintable(code));
}

void tst_web_api::security_headers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("the page") << "/" << QByteArray("text/html; charset=utf-8");
    QTest::newRow("its script") << "/app.js" << QByteArray("text/javascript; charset=utf-8");
    QTest::newRow("its styles") << "/style.css" << QByteArray("text/css; charset=utf-8");
    QTest::newRow("its icon") << "/icon.svg" << QByteArray("image/svg+xml");
    QTest::newRow("the API") << "/api/lines" << QByteArray("application/json");
    QTest::newRow("an error") << "/nothing" << QByteArray("application/json");
    QTest::newRow("the metrics") << "/metrics" << QByteArray("text/plain; version=0.0.4; charset=utf-8");
}

void tst_web_api::security_headers()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, type);
    const http_answer a = ask(net_, "GET", rig_->url(path), {}, {{"Origin", "http://evil.example"}});
    QCOMPARE(a.headers.value("content-type"), type);
    const QByteArray csp = a.headers.value("content-security-policy");
    QVERIFY2(csp.contains("default-src 'self'") && csp.contains("script-src 'self'")
                 && csp.contains("frame-ancestors 'none'") && !csp.contains("unsafe-inline"),
             csp.constData());
    QCOMPARE(a.headers.value("x-content-type-options"), QByteArray("nosniff"));
    QCOMPARE(a.headers.value("x-frame-options"), QByteArray("DENY"));
    for (const QByteArray& key : a.headers.keys())
        QVERIFY2(!key.startsWith("access-control-"), key.constData());
    if (path != "/nothing")
        QVERIFY(!a.body.isEmpty());
}

void tst_web_api::foreign_origin_refused_data()
{
    // The Origin a browser would send; empty for a client that sends none.
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("forwarded_proto");  // from a reverse proxy that ends HTTPS
    QTest::addColumn<bool>("allowed");
    QTest::newRow("another site") << QByteArray("http://evil.example") << QByteArray() << false;
    QTest::newRow("another port") << QByteArray("http://127.0.0.1:1") << QByteArray() << false;
    QTest::newRow("https for http") << QByteArray("https://127.0.0.1:PORT") << QByteArray() << false;
    QTest::newRow("the page's own") << QByteArray("http://127.0.0.1:PORT") << QByteArray() << true;
    QTest::newRow("none (not a browser)") << QByteArray() << QByteArray() << true;
    QTest::newRow("https behind a proxy") << QByteArray("https://127.0.0.1:PORT")
                                          << QByteArray("https") << true;
    QTest::newRow("another site behind a proxy") << QByteArray("https://evil.example")
                                                 << QByteArray("https") << false;
}

void tst_web_api::foreign_origin_refused()
{
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, forwarded_proto);
    QFETCH(bool, allowed);
    origin.replace("PORT", QByteArray::number(rig_->port));
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!origin.isEmpty())
        headers.append({"Origin", origin});
    if (!forwarded_proto.isEmpty())
        headers.append({"X-Forwarded-Proto", forwarded_proto});
    const http_answer post = ask(net_, "POST", rig_->url("/api/lines/hall/boards/1/relays/7"),
                                 R"({"toggle":true})", headers);
    QVERIFY2(post.status == (allowed ? 200 : 403), post.body.constData());
    if (!allowed)
        QCOMPARE(post.json().value("error").toString(), QString("no_permission"));

    event_reader events(origin);
    QSignalSpy closed(&events.socket, &QWebSocket::disconnected);
    QNetworkRequest upgrade(QUrl(QString("ws://127.0.0.1:%1/api/events").arg(rig_->port)));
    if (!forwarded_proto.isEmpty())
        upgrade.setRawHeader("X-Forwarded-Proto", forwarded_proto);
    events.socket.open(upgrade);
    if (allowed) {
        QTRY_VERIFY_WITH_TIMEOUT(!events.events.isEmpty(), 10000);
        QCOMPARE(events.events.first().value("event").toString(), QString("hello"));
    } else {
        // Refused before the upgrade: the handshake fails and nothing is sent.
        QVERIFY(closed.wait(10000));
        QVERIFY(events.events.isEmpty());
        QVERIFY(events.socket.error() != QAbstractSocket::UnknownSocketError);
    }
}

void tst_web_api::events_say_hello_then_follow_the_board()
{
    event_reader events(QString("http://127.0.0.1:%1").arg(rig_->port).toUtf8());
    events.open(QUrl(QString("ws://127.0.0.1:%1/api/events").arg(rig_->port)));
    QTRY_VERIFY_WITH_TIMEOUT(!events.events.isEmpty(), 10000);
    const QJsonObject hello = events.events.first();
    QCOMPARE(hello.value("event").toString(), QString("hello"));
    QCOMPARE(hello.value("lines").toArray().size(), 3);
    QCOMPARE(hello["lines"][0]["line"].toString(), QString("hall"));
    // Then what is known now, and every change from here on.
    auto change_on = [&](int relay) {
        for (const QJsonObject& e : events.events)
            if (e.value("event") == "change" && e.value("line") == "hall"
                && e.value("address") == 1 && e.value("changed").toArray().contains(relay))
                return true;
        return false;
    };
    QVERIFY(ask(net_, "POST", rig_->url("/api/lines/hall/boards/1/relays/9"), R"({"toggle":true})")
                .status
            == 200);
    QTRY_VERIFY_WITH_TIMEOUT(change_on(9), 10000);
    // A change made at the board itself comes the same way.
    const QString now = rig_->hall.relays(1);
    const QString flipped = QString("%1").arg(now.toUInt(nullptr, 16) ^ 0x8000, 4, 16, QChar('0')).toUpper();
    QVERIFY(!rig_->hall.command("set 1 relays " + flipped).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(change_on(16), 10000);
    const http_answer metrics = ask(net_, "GET", rig_->url("/metrics"));
    QVERIFY2(metrics.body.contains("telvar_clients{front=\"web\"} 1"), metrics.body.constData());
}

void tst_web_api::metrics_parse()
{
    const http_answer a = ask(net_, "GET", rig_->url("/metrics"));
    QCOMPARE(a.status, 200);
    static const QRegularExpression sample(
        R"(^(telvar_[a-z_]+)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? (-?[0-9.e+]+)$)");
    QMap<QString, QString> types;
    QMap<QString, double> values;
    for (const QByteArray& raw : a.body.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty())
            continue;
        if (line.startsWith("# TYPE ")) {
            types.insert(line.section(' ', 2, 2), line.section(' ', 3));
            continue;
        }
        if (line.startsWith("# HELP "))
            continue;
        const auto m = sample.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QVERIFY2(types.contains(m.captured(1)), qPrintable("no TYPE before " + line));
        values.insert(m.captured(1) + m.captured(2), m.captured(4).toDouble());
    }
    for (auto it = types.begin(); it != types.end(); ++it)
        QVERIFY2((it.value() == "counter") == it.key().endsWith("_total"), qPrintable(it.key()));
    QCOMPARE(values.value(R"(telvar_line_open{line="hall"})", -1), 1.0);
    QCOMPARE(values.value(R"(telvar_board_available{line="hall",address="1"})", -1), 1.0);
    QVERIFY(values.value(R"(telvar_line_frames_sent_total{line="hall"})") > 0);
    QVERIFY(values.value(R"(telvar_line_replies_accepted_total{line="hall"})") > 0);
    // Per board, as the link counts them: the silent board's switch timed out and was resent.
    QVERIFY(values.value(R"(telvar_board_frames_sent_total{line="hall",address="1"})") > 0);
    QVERIFY(values.value(R"(telvar_board_replies_accepted_total{line="hall",address="2"})") > 0);
    QVERIFY(values.value(R"(telvar_board_timeouts_total{line="yard",address="3"})") > 0);
    QVERIFY(values.value(R"(telvar_board_retries_total{line="yard",address="3"})") > 0);
    QCOMPARE(values.value(R"(telvar_board_timeouts_total{line="hall",address="1"})", -1), 0.0);
    QVERIFY(values.value(R"(telvar_board_link_quality_percent{line="hall",address="1"})") > 50);
    QVERIFY(values.contains(R"(telvar_clients{front="web"})"));
    QVERIFY(!values.contains(R"(telvar_clients{front="socket"})"));  // the socket is off here
}

namespace {

// telvard on 127.0.0.2, which the test switch makes count as another
// machine's address, with the password "open sesame".
struct guarded_rig : web_rig {
    bool start_guarded(bool with_password)
    {
        if (!hall.start({"--board", "1"}))
            return false;
        QFile pw(dir.filePath("password"));
        if (!pw.open(QIODevice::WriteOnly))
            return false;
        pw.write("open sesame\n");
        pw.close();
        pw.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QFile f(config());
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QString("[line hall]\nport = %1\nboards = 1\n[local]\nenabled = false\n"
                        "[web]\nlisten = 127.0.0.2:0\n%2")
                    .arg(hall.device(),
                         with_password ? "password_file = " + dir.filePath("password") + "\n"
                                       : QString())
                    .toUtf8());
        f.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TELVAR_WEB_TREAT_AS_REMOTE", "127.0.0.2");
        if (!start_service({"--config", config()}, env))
            return false;
        // A first opening that failed is tried again a second later: a switch must not come before.
        QElapsedTimer clock;
        clock.start();
        while (!log.contains("line hall open") && clock.elapsed() < 5000)
            QTest::qWait(20);
        return log.contains("line hall open");
    }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.2:%1%2").arg(port).arg(path));
    }
};

QByteArray basic(const QByteArray& password)
{
    return "Basic " + ("anyone:" + password).toBase64();
}

} // namespace

void tst_web_api::password_data()
{
    // A request without a session: its Authorization, and what comes back.
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<QByteArray>("fetch_mode");  // Sec-Fetch-Mode, as a browser sends it
    QTest::newRow("API without a login") << QByteArray("GET") << "/api/lines" << QByteArray() << 401
                                         << QByteArray() << QByteArray();
    QTest::newRow("metrics without a login") << QByteArray("GET") << "/metrics" << QByteArray()
                                             << 401 << QByteArray() << QByteArray();
    QTest::newRow("the page sends to the login") << QByteArray("GET") << "/" << QByteArray() << 303
                                                 << QByteArray("login") << QByteArray();
    QTest::newRow("the login page is open") << QByteArray("GET") << "/login" << QByteArray() << 200
                                            << QByteArray() << QByteArray();
    QTest::newRow("Basic, wrong password") << QByteArray("GET") << "/api/lines"
                                           << basic("open says me") << 401 << QByteArray() << QByteArray();
    QTest::newRow("Basic, the password") << QByteArray("GET") << "/api/lines" << basic("open sesame")
                                         << 200 << QByteArray() << QByteArray();
    QTest::newRow("Basic, a switch") << QByteArray("POST") << "/api/lines/hall/boards/1/relays/2"
                                     << basic("open sesame") << 200 << QByteArray() << QByteArray();
    // A page's own fetch gets its 401 without a Basic challenge (no browser prompt).
    QTest::newRow("API from the page's script") << QByteArray("GET") << "/api/lines" << QByteArray()
                                                << 401 << QByteArray() << QByteArray("cors");
    QTest::newRow("API opened in a browser tab") << QByteArray("GET") << "/api/lines" << QByteArray()
                                                 << 401 << QByteArray() << QByteArray("navigate");
}

void tst_web_api::password()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);
    QFETCH(QByteArray, location);
    QFETCH(QByteArray, fetch_mode);
    guarded_rig r;
    QVERIFY2(r.start_guarded(true), r.log.constData());
    QNetworkAccessManager net;
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!authorization.isEmpty())
        headers.append({"Authorization", authorization});
    if (!fetch_mode.isEmpty())
        headers.append({"Sec-Fetch-Mode", fetch_mode});
    const http_answer a = ask(net, method, r.url(path), method == "POST" ? R"({"on":true})" : "",
                              headers);
    QVERIFY2(a.status == status, qPrintable(QString::number(a.status) + ' ' + a.body));
    QCOMPARE(a.headers.value("location"), location);
    if (status == 401) {
        QCOMPARE(a.json().value("error").toString(), QString("no_permission"));
        QCOMPARE(a.headers.contains("www-authenticate"), fetch_mode != "cors");
    }
    QVERIFY2(r.log.contains("with a password"), r.log.constData());
}

void tst_web_api::wrong_passwords_slow_the_next_try()
{
    guarded_rig r;
    QVERIFY2(r.start_guarded(true), r.log.constData());
    QNetworkAccessManager net;
    auto login = [&](const QByteArray& password) {
        QNetworkRequest request(r.url("/login"));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QElapsedTimer clock;
        clock.start();
        QNetworkReply* reply = net.post(request, "password=" + password);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(30000);
        http_answer a;
        a.elapsed_ms = clock.elapsed();
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.headers.insert("location", reply->rawHeader("Location"));
        a.headers.insert("set-cookie", reply->rawHeader("Set-Cookie"));
        reply->deleteLater();
        return a;
    };
    for (int i = 0; i < 3; ++i) {
        const http_answer wrong = login("open+says+me");
        QCOMPARE(wrong.status, 303);
        QCOMPARE(wrong.headers.value("location"), QByteArray("login?wrong#wrong"));
        QVERIFY(wrong.headers.value("set-cookie").isEmpty());
        QVERIFY2(wrong.elapsed_ms < 900, qPrintable(QString::number(wrong.elapsed_ms)));
    }
    // The fourth try waits, even with the right password; then it is let in.
    const http_answer right = login("open+sesame");
    QVERIFY2(right.elapsed_ms >= 900, qPrintable(QString::number(right.elapsed_ms)));
    QCOMPARE(right.status, 303);
    QCOMPARE(right.headers.value("location"), QByteArray("./"));
    const QByteArray cookie = right.headers.value("set-cookie");
    QVERIFY2(cookie.startsWith("telvar_session=") && cookie.contains("HttpOnly")
                 && cookie.contains("SameSite=Strict") && !cookie.contains("Secure"),
             cookie.constData());
    // The session cookie (kept by the client's jar) opens the API and the page.
    QCOMPARE(ask(net, "GET", r.url("/api/lines")).status, 200);
    QCOMPARE(ask(net, "GET", r.url("/")).status, 200);
    // The event stream takes the session too, and nothing without one.
    const QByteArray origin = QString("http://127.0.0.2:%1").arg(r.port).toUtf8();
    const QUrl events_url(QString("ws://127.0.0.2:%1/api/events").arg(r.port));
    event_reader without(origin);
    QSignalSpy refused(&without.socket, &QWebSocket::disconnected);
    without.open(events_url);
    QVERIFY(refused.wait(10000));
    QVERIFY(without.events.isEmpty());
    event_reader with(origin);
    QNetworkRequest upgrade(events_url);
    upgrade.setRawHeader("Cookie", cookie.left(cookie.indexOf(';')));
    with.socket.open(upgrade);
    QTRY_VERIFY_WITH_TIMEOUT(!with.events.isEmpty(), 10000);
    QCOMPARE(with.events.first().value("event").toString(), QString("hello"));
    // After a success the count starts again: the next wrong try is quick.
    QVERIFY(login("nope").elapsed_ms < 900);
}

void tst_web_api::https_with_a_certificate()
{
    const QString openssl = QStandardPaths::findExecutable("openssl");
    QVERIFY2(!openssl.isEmpty(), "openssl is not installed (bash scripts/install-deps.sh)");
    guarded_rig r;
    QProcess make;
    make.setWorkingDirectory(r.dir.path());
    make.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "web.key", "-out",
                         "web.crt", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                         "subjectAltName=IP:127.0.0.1"});
    QVERIFY(make.waitForFinished(30000));
    QCOMPARE(make.exitCode(), 0);
    QVERIFY(r.hall.start({"--board", "1"}));
    QFile pw(r.dir.filePath("password"));
    QVERIFY(pw.open(QIODevice::WriteOnly));
    pw.write("open sesame\n");
    pw.close();
    QFile f(r.config());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QString("[line hall]\nport = %1\n[local]\nenabled = false\n[web]\n"
                    "listen = 127.0.0.1:0\npassword_file = %2/password\n"
                    "certfile = %2/web.crt\nkeyfile = %2/web.key\n")
                .arg(r.hall.device(), r.dir.path())
                .toUtf8());
    f.close();
    QVERIFY2(r.start_service({"--config", r.config()}), r.log.constData());
    QVERIFY2(r.log.contains("web page on https://127.0.0.1:"), r.log.constData());

    // The client trusts this one certificate, so the name and the chain are checked.
    QNetworkAccessManager net;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(r.dir.filePath("web.crt")));
    const QUrl base(QString("https://127.0.0.1:%1").arg(r.port));
    auto secure_ask = [&](const QByteArray& method, const QString& path, const QByteArray& body,
                          const QByteArray& type, const QByteArray& authorization) {
        QNetworkRequest request(base.resolved(QUrl(path)));
        request.setSslConfiguration(tls);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (!type.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, type);
        if (!authorization.isEmpty())
            request.setRawHeader("Authorization", authorization);
        QNetworkReply* reply = net.sendCustomRequest(request, method, body);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(20000);
        http_answer a;
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        a.headers.insert("set-cookie", reply->rawHeader("Set-Cookie"));
        reply->deleteLater();
        return a;
    };
    QCOMPARE(secure_ask("GET", "/api/lines", {}, {}, {}).status, 401);
    const http_answer basic_lines = secure_ask("GET", "/api/lines", {}, {}, basic("open sesame"));
    QVERIFY2(basic_lines.status == 200, basic_lines.body.constData());
    const http_answer login = secure_ask("POST", "/login", "password=open+sesame",
                                         "application/x-www-form-urlencoded", {});
    QCOMPARE(login.status, 303);
    QVERIFY2(login.headers.value("set-cookie").contains("; Secure"),
             login.headers.value("set-cookie").constData());
    // Plain HTTP on the HTTPS port gets no answer.
    QCOMPARE(ask(net, "GET", QUrl(QString("http://127.0.0.1:%1/api/lines").arg(r.port))).status, 0);
}

void tst_web_api::other_machines_need_a_password_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("says");
    QTest::newRow("another machine's address") << "127.0.0.2:0" << "[web] listen";
    QTest::newRow("every address, from the command line") << "*:0" << "--web";
}

void tst_web_api::other_machines_need_a_password()
{
    QFETCH(QString, listen);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QFile f(dir.filePath("telvard.conf"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[local]\nenabled = false\n[web]\nlisten = 127.0.0.2:0\n");
    f.close();
    QStringList arguments{"--config", f.fileName()};
    if (says == "--web")
        arguments << "--web" << listen;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TELVAR_WEB_TREAT_AS_REMOTE", "127.0.0.2");
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("TELVARD"), arguments);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains(says) && err.contains("password_file") && err.contains(listen),
             qPrintable(err));
}

void tst_web_api::busy_address_stops_with_status_1()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    const QString at = QString("127.0.0.1:%1").arg(taken.serverPort());
    QTemporaryDir dir;
    QFile f(dir.filePath("telvard.conf"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[local]\nenabled = false\n");
    f.close();
    QProcess p;
    p.start(qEnvironmentVariable("TELVARD"), {"--config", f.fileName(), "--web", at});
    QVERIFY(p.waitForFinished(10000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitCode() == 1, qPrintable(err));
    QVERIFY2(err.contains("cannot listen on " + at) && err.contains("[web] listen"),
             qPrintable(err));
}

void tst_web_api::credentials_read_data()
{
    // An Authorization header and a Cookie header, and what is read from them.
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("cookies");
    QTest::addColumn<QByteArray>("session");
    QTest::newRow("Basic") << "Basic " + QByteArray("user:pw").toBase64() << QByteArray("pw")
                           << QByteArray("telvar_session=abc") << QByteArray("abc");
    QTest::newRow("lower-case scheme, other cookies around")
        << "basic " + QByteArray(":pw").toBase64() << QByteArray("pw")
        << QByteArray("a=1; telvar_session=abc; b=2") << QByteArray("abc");
    QTest::newRow("a colon in the password") << "Basic " + QByteArray("u:a:b").toBase64()
                                             << QByteArray("a:b") << QByteArray("xtelvar_session=abc")
                                             << QByteArray();
    QTest::newRow("no colon") << "Basic " + QByteArray("pw").toBase64() << QByteArray()
                              << QByteArray("telvar_sessions=abc") << QByteArray();
    QTest::newRow("not base64") << QByteArray("Basic !!!") << QByteArray() << QByteArray()
                                << QByteArray();
    QTest::newRow("another scheme") << "Bearer " + QByteArray("u:pw").toBase64() << QByteArray()
                                    << QByteArray(";;") << QByteArray();
}

void tst_web_api::credentials_read()
{
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, cookies);
    QFETCH(QByteArray, session);
    QCOMPARE(telvar::web::basic_password(authorization), password);
    QCOMPARE(telvar::web::cookie_value(cookies, "telvar_session"), session);
}

void tst_web_api::sessions_expire()
{
    using namespace telvar::web;
    login_guard guard("pw");
    QVERIFY(guard.password_matches("pw"));
    QVERIFY(!guard.password_matches("pw "));
    QVERIFY(!guard.password_matches(""));
    const QByteArray first = guard.open_session(1000);
    const QByteArray second = guard.open_session(1000);
    QCOMPARE(first.size(), 64);
    QVERIFY(first != second);
    QVERIFY(guard.session_valid(first, 1000 + session_lifetime_ms - 1));
    QVERIFY(!guard.session_valid(first, 1000 + session_lifetime_ms));
    QVERIFY(!guard.session_valid(first, 1000));  // gone once expired
    QVERIFY(guard.session_valid(second, 1000));
    QByteArray altered = second;
    altered[0] = altered[0] == '0' ? '1' : '0';
    QVERIFY2(!guard.session_valid(altered, 1000), second.constData());
    // Failures in a row from one address slow it, not the others.
    const QHostAddress one("127.0.0.5");
    for (int i = 0; i < free_failures; ++i) {
        QCOMPARE(guard.delay_ms(one), 0);
        guard.failed(one);
    }
    QCOMPARE(guard.delay_ms(one), 1000);
    guard.failed(one);
    QCOMPARE(guard.delay_ms(one), 2000);
    QCOMPARE(guard.delay_ms(QHostAddress("127.0.0.6")), 0);
    guard.succeeded(one);
    QCOMPARE(guard.delay_ms(one), 0);
}

namespace {

// The simulator's form of a board's relays: 4 hex digits, relay 1 the lowest bit.
QString relay_word(const QList<int>& pulled_in)
{
    quint16 word = 0;
    for (int n : pulled_in)
        word |= quint16(1u << (n - 1));
    return QString("%1").arg(word, 4, 16, QChar('0')).toUpper();
}

QList<int> pulled_in(const QJsonArray& relays)
{
    QList<int> on;
    for (int n = 0; n < relays.size(); ++n)
        if (relays[n].toBool())
            on.append(n + 1);
    return on;
}

QList<int> every_relay_but(const QList<int>& left_out)
{
    QList<int> on;
    for (int n = 1; n <= 16; ++n)
        if (!left_out.contains(n))
            on.append(n);
    return on;
}

} // namespace

void tst_web_api::board_rules_hold_through_the_api_data()
{
    // Board 3 on yard: relay 9 momentary (300 ms), relays 11 and 12 interlocked.
    QTest::addColumn<QList<int>>("before");    // pulled in first, one after the other
    QTest::addColumn<QString>("path");         // under the board's path
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<int>>("answered");  // pulled in, as the answer reports
    QTest::addColumn<QList<int>>("skipped");
    QTest::addColumn<QList<int>>("later");     // pulled in on the board once pulses ended
    const QByteArray on = R"({"on":true})";
    const QByteArray toggle = R"({"toggle":true})";
    QTest::newRow("a momentary relay is released after its time")
        << QList<int>{} << "/relays/9" << on << QList<int>{9} << QList<int>{} << QList<int>{};
    QTest::newRow("so is one a toggle pulled in")
        << QList<int>{} << "/relays/9" << toggle << QList<int>{9} << QList<int>{} << QList<int>{};
    QTest::newRow("pulling in 12 first releases 11")
        << QList<int>{11} << "/relays/12" << on << QList<int>{12} << QList<int>{} << QList<int>{12};
    QTest::newRow("a toggle of 11 first releases 12")
        << QList<int>{12} << "/relays/11" << toggle << QList<int>{11} << QList<int>{} << QList<int>{11};
    QTest::newRow("all on leaves 12 out, and 9 goes after its time")
        << QList<int>{} << "/all" << on << every_relay_but({12}) << QList<int>{12}
        << every_relay_but({9, 12});
}

void tst_web_api::board_rules_hold_through_the_api()
{
    QFETCH(QList<int>, before);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, answered);
    QFETCH(QList<int>, skipped);
    QFETCH(QList<int>, later);
    const QString board = "/api/lines/yard/boards/3";
    const http_answer cleared = ask(net_, "POST", rig_->url(board + "/all"), R"({"on":false})");
    QVERIFY2(cleared.status == 200, cleared.body.constData());
    for (int n : before)
        QCOMPARE(ask(net_, "POST", rig_->url(board + "/relays/" + QString::number(n)), R"({"on":true})")
                     .status,
                 200);
    QCOMPARE(rig_->yard.relays(3), relay_word(before));
    const http_answer a = ask(net_, "POST", rig_->url(board + path), body);
    QVERIFY2(a.status == 200, qPrintable(QString::number(a.status) + ' ' + a.body));
    const QJsonObject o = a.json();
    QCOMPARE(pulled_in(o.value("relays").toArray()), answered);
    QList<int> left_out;
    for (const QJsonValue& v : o.value("skipped").toArray())
        left_out.append(v.toInt());
    QCOMPARE(left_out, skipped);
    // The board itself, whatever the service said: pulses end within their time and a frame.
    QTRY_COMPARE_WITH_TIMEOUT(rig_->yard.relays(3), relay_word(later), 1500);
}

QTEST_GUILESS_MAIN(tst_web_api)
#include "tst_web_api.moc"

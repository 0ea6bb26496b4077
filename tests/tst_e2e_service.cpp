// telvard end to end with every front at once: two telvar-sim lines on
// pseudo-terminals, a real Mosquitto, telvarctl and a socket client. What a
// command on one front does shows on the others, once, on the right line.
#include "support/local_client.h"
#include "support/mosquitto_broker.h"
#include "support/sim_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>
#include <vector>

using namespace telvar::test;

namespace {

// telvard on two lines (hall: boards 1 and 2, yard: board 3) with MQTT.
struct service_rig {
    mosquitto_broker broker;
    sim_process hall;
    sim_process yard;
    mqtt_watch watch;
    QTemporaryDir dir;
    QProcess service;
    QByteArray log;
    QString error;

    QString socket() const { return dir.filePath("telvard.sock"); }
    QString config() const { return dir.filePath("telvard.conf"); }

    // @p hall_keys: more keys of the hall line's section.
    bool start(const QStringList& hall_extra = {}, const QString& hall_keys = {})
    {
        if (!broker.start() || !watch.start(broker)) {
            error = broker.error();
            return false;
        }
        if (!hall.start(hall_extra + QStringList{"--board", "1,relays=0001", "--board", "2"})
            || !yard.start({"--board", "3,relays=8000"})) {
            error = hall.error() + yard.error();
            return false;
        }
        QFile f(config());
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QString("[line hall]\nport = %1\ninterval = 100\nboards = 1,2\n1 = Pump_house\n"
                        "%5\n[line yard]\nport = %2\ninterval = 100\n3 = Gate\n"
                        "[local]\nsocket = %3\n[mqtt]\nbroker = %4\n")
                    .arg(hall.device(), yard.device(), socket(), broker.address(), hall_keys)
                    .toUtf8());
        f.close();
        QObject::connect(&service, &QProcess::readyReadStandardError,
                         [this] { log += service.readAllStandardError(); });
        service.start(qEnvironmentVariable("TELVARD"), {"--config", config()});
        return service.waitForStarted(5000);
    }

    // Killed as a crash would end it (no clean stop), then started again after @p dead_ms.
    bool kill_and_start_again(int dead_ms)
    {
        service.kill();
        if (!service.waitForFinished(5000))
            return false;
        QTest::qWait(dead_ms);
        service.start(qEnvironmentVariable("TELVARD"), {"--config", config()});
        return service.waitForStarted(5000);
    }

    ~service_rig()
    {
        if (service.state() != QProcess::NotRunning) {
            service.terminate();
            if (!service.waitForFinished(5000))
                service.kill();
        }
    }
};

struct run_result {
    int status = -1;
    QString out;
    QString err;
};

run_result telvarctl(const QStringList& arguments)
{
    QProcess p;
    p.start(qEnvironmentVariable("TELVARCTL"), arguments);
    run_result r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class tst_e2e_service : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void every_front_sees_a_command_of_another_data();
    void every_front_sees_a_command_of_another();
    void clients_and_mqtt_at_once_each_see_every_change_once();
    void bad_clients_leave_the_service_serving_data();
    void bad_clients_leave_the_service_serving();
    void second_service_at_the_socket_stops_with_status_2();
    void a_pulse_pending_when_the_service_died_is_released_data();
    void a_pulse_pending_when_the_service_died_is_released();
};

void tst_e2e_service::initTestCase()
{
    QVERIFY2(!qEnvironmentVariable("TELVARD").isEmpty(), "TELVARD is not set");
    QVERIFY2(!qEnvironmentVariable("TELVARCTL").isEmpty(), "TELVARCTL is not set");
}

void tst_e2e_service::every_front_sees_a_command_of_another_data()
{
    // Which front sends the command: "mqtt", "telvarctl" or "socket"; the
    // line and board it goes to, the relay switched on, and the board's
    // relays after it.
    QTest::addColumn<QString>("front");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("relay");
    QTest::addColumn<QString>("after");

    QTest::newRow("MQTT, second line") << "mqtt" << "yard" << 3 << 2 << "8002";
    QTest::newRow("MQTT, first line") << "mqtt" << "hall" << 2 << 16 << "8000";
    QTest::newRow("telvarctl by the line's name") << "telvarctl" << "hall" << 1 << 5 << "0011";
    QTest::newRow("telvarctl, second line") << "telvarctl" << "yard" << 3 << 1 << "8001";
    QTest::newRow("socket client") << "socket" << "yard" << 3 << 8 << "8080";
}

void tst_e2e_service::every_front_sees_a_command_of_another()
{
    QFETCH(QString, front);
    QFETCH(QString, line);
    QFETCH(int, address);
    QFETCH(int, relay);
    QFETCH(QString, after);
    service_rig r;
    QVERIFY2(r.start(), qPrintable(r.error));
    // Two lines: every board topic carries its line.
    const QString T = "telvar/telvar/";
    QVERIFY2(r.watch.wait_for(T + "hall/1/availability", "online") >= 0, r.log.constData());
    QVERIFY(r.watch.wait_for(T + "yard/3/availability", "online") >= 0);
    QVERIFY(r.watch.wait_for(T + "hall/1/relay/1", "ON") >= 0);
    QVERIFY(r.watch.wait_for(T + "yard/3/relay/16", "ON") >= 0);
    for (const QString board : {"hall/1", "hall/2", "yard/3"})
        QTRY_VERIFY_WITH_TIMEOUT(!r.watch.on(T + board + "/state").isEmpty(), 10000);
    // Home Assistant's device is the line's too.
    QTRY_VERIFY_WITH_TIMEOUT(!r.watch.on("homeassistant/device/telvar_yard_3/config").isEmpty(),
                             10000);
    QVERIFY(r.watch.on("homeassistant/device/telvar_3/config").isEmpty());

    local_client watcher;
    QVERIFY(watcher.connect_to(r.socket()));
    QCOMPARE(watcher.ask(R"({"request":"subscribe"})").value("ok"), true);
    const int from = r.watch.messages().size();

    const QString relay_topic = QString("%1%2/%3/relay/%4").arg(T, line).arg(address).arg(relay);
    if (front == "mqtt") {
        QVERIFY(mqtt_publish(r.broker, relay_topic + "/set", "ON"));
    } else if (front == "telvarctl") {
        const run_result ran = telvarctl({"--service", r.socket(), "-p", line, "-a",
                                          QString::number(address), "on", QString::number(relay)});
        QVERIFY2(ran.status == 0, qPrintable(ran.err));
        // The same table a direct run prints, from the board's reply.
        QVERIFY2(ran.out.startsWith("relay   1   2"), qPrintable(ran.out));
    } else {
        local_client sender;
        QVERIFY(sender.connect_to(r.socket()));
        const QJsonObject answer = sender.ask(
            QString(R"({"request":"switch","line":"%1","address":%2,"relay":%3,"state":"on"})")
                .arg(line)
                .arg(address)
                .arg(relay)
                .toUtf8());
        QCOMPARE(answer.value("ok"), true);
        QCOMPARE(hex4(answer.value("relays")), after);
    }
    // The board itself, MQTT and the socket's subscriber all show it.
    sim_process& far = line == "hall" ? r.hall : r.yard;
    QTRY_COMPARE_WITH_TIMEOUT(far.relays(address), after, 10000);
    QVERIFY2(r.watch.wait_for(relay_topic, "ON", from) >= 0, r.log.constData());
    QVERIFY(watcher.wait([&] {
        for (const QJsonObject& e : watcher.events("change"))
            if (e.value("line") == line && e.value("address") == address)
                return true;
        return false;
    }));
    // Once, and on that line only.
    int changes = 0;
    for (const QJsonObject& e : watcher.events("change")) {
        QCOMPARE(e.value("line").toString(), line);
        ++changes;
    }
    QCOMPARE(changes, 1);
    for (const mqtt_message& m : r.watch.messages().mid(from))
        QVERIFY2(!m.topic.contains("/relay/") || m.topic == relay_topic
                     || m.topic == relay_topic + "/set",
                 qPrintable(m.topic + ' ' + m.payload));
    // telvarctl lines lists both lines and their boards.
    const run_result lines = telvarctl({"--service", r.socket(), "lines"});
    QCOMPARE(lines.status, 0);
    QVERIFY2(lines.out.contains("hall") && lines.out.contains("yard")
                 && lines.out.contains("Pump_house") && lines.out.contains("Gate"),
             qPrintable(lines.out));
}

// Three socket clients switching and following, telvarctl watching and MQTT
// commands arriving, all at once: every follower sees every change once, all
// in the same order, and the watch adds no polls to the service's own.
void tst_e2e_service::clients_and_mqtt_at_once_each_see_every_change_once()
{
    service_rig r;
    QVERIFY2(r.start({"--log"}), qPrintable(r.error));
    const QString T = "telvar/telvar/";
    QVERIFY2(r.watch.wait_for(T + "hall/2/availability", "online") >= 0, r.log.constData());
    const auto polls = [&r] {
        return r.hall.log().filter(QRegularExpression("pc>sim 55 0[12] 10 ")).size();
    };

    QProcess watch;
    watch.start(qEnvironmentVariable("TELVARCTL"),
                {"--service", r.socket(), "-p", "hall", "watch", "-a", "1,2"});
    QVERIFY(watch.waitForStarted(5000));
    QByteArray watched;
    QObject::connect(&watch, &QProcess::readyReadStandardOutput,
                     [&] { watched += watch.readAllStandardOutput(); });
    QTRY_VERIFY_WITH_TIMEOUT(watched.contains("board 2 state"), 10000);
    // The service polls every 100 ms; the watch's own 200 ms would add a third.
    const int polls_before = polls();
    QTest::qWait(3000);
    const int polled = polls() - polls_before;
    QVERIFY2(polled >= 15 && polled <= 36, qPrintable(QString::number(polled)));

    std::vector<std::unique_ptr<local_client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<local_client>());
        QVERIFY(clients.back()->connect_to(r.socket()));
        QCOMPARE(clients.back()->ask(R"({"request":"subscribe","line":"hall"})").value("ok"), true);
    }
    // Board and relay of each command: three from the clients, two from MQTT.
    const QList<QPair<int, int>> asked{{1, 5}, {2, 6}, {1, 7}, {2, 3}, {1, 9}};
    for (int i = 0; i < 3; ++i)
        clients[std::size_t(i)]->send(
            QString(R"({"request":"switch","line":"hall","address":%1,"relay":%2,"state":"on"})")
                .arg(asked[i].first)
                .arg(asked[i].second)
                .toUtf8(),
            QString("c%1").arg(i));
    for (int i = 3; i < 5; ++i)
        QVERIFY(mqtt_publish(r.broker,
                             QString("%1hall/%2/relay/%3/set")
                                 .arg(T)
                                 .arg(asked[i].first)
                                 .arg(asked[i].second),
                             "ON"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(clients[std::size_t(i)]->response(QString("c%1").arg(i)).value("ok"), true);
    QTRY_COMPARE_WITH_TIMEOUT(r.hall.relays(1), QString("0151"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(r.hall.relays(2), QString("0024"), 10000);

    // What each follower saw: "board:relay" for every relay that changed, in order.
    const auto seen = [](const local_client& c) {
        QStringList out;
        for (const QJsonObject& e : c.events("change"))
            for (const QJsonValue n : e.value("changed").toArray())
                out << QString("%1:%2").arg(e.value("address").toInt()).arg(n.toInt());
        return out;
    };
    QTRY_COMPARE_WITH_TIMEOUT(seen(*clients[0]).size(), 5, 10000);
    QStringList expected;
    for (const auto& [board, relay] : asked)
        expected << QString("%1:%2").arg(board).arg(relay);
    QStringList sorted = seen(*clients[0]);
    sorted.sort();
    expected.sort();
    QCOMPARE(sorted, expected);
    for (int i = 1; i < 3; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(seen(*clients[std::size_t(i)]).size(), 5, 10000);
        QCOMPARE(seen(*clients[std::size_t(i)]), seen(*clients[0]));
    }
    // The watch told each of them once too.
    for (const auto& [board, relay] : asked)
        QTRY_COMPARE_WITH_TIMEOUT(
            int(watched.count(QString("board %1 relay %2 on\n").arg(board).arg(relay).toUtf8())),
            1, 10000);
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
}

void tst_e2e_service::bad_clients_leave_the_service_serving_data()
{
    // What the client sends, as one line; "kill": a switch, then the client is
    // killed before its answer; "nobody": a lines request from a user outside
    // the socket's group. The answer's error code, or "" when none is read.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("error");

    QTest::newRow("not JSON") << QByteArray("hello") << "usage";
    QTest::newRow("an unknown request") << QByteArray(R"({"request":"dance"})") << "usage";
    QTest::newRow("an unknown field") << QByteArray(R"({"request":"status","adress":1})") << "usage";
    QTest::newRow("a line the service does not hold")
        << QByteArray(R"({"request":"status","line":"garage"})") << "usage";
    QTest::newRow("a line over 64 KiB")
        << QByteArray(R"({"request":"status","pad":")") + QByteArray(70000, 'x') + "\"}" << "usage";
    QTest::newRow("killed while its switch waits") << QByteArray("kill") << "";
    QTest::newRow("a user outside the group") << QByteArray("nobody") << "no_permission";
}

void tst_e2e_service::bad_clients_leave_the_service_serving()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, error);
    service_rig r;
    QVERIFY2(r.start(), qPrintable(r.error));
    QVERIFY2(r.watch.wait_for("telvar/telvar/hall/1/availability", "online") >= 0,
             r.log.constData());
    const char* client_script =
        "import socket,sys\n"
        "s=socket.socket(socket.AF_UNIX);s.connect(sys.argv[1])\n"
        "try: s.sendall(sys.argv[2].encode()+b'\\n')\n"
        "except BrokenPipeError: pass\n"  // refused: answered and closed before it was sent
        "print('sent',flush=True)\n"
        "print(s.makefile().readline(),end='',flush=True)\n";
    if (request == "kill") {
        QProcess client;
        client.start("/usr/bin/python3", {"-c", client_script, r.socket(),
                                 R"({"request":"switch","line":"hall","address":1,"relay":4,"state":"on"})"});
        QVERIFY(client.waitForReadyRead(10000));
        client.kill();
        QVERIFY(client.waitForFinished(5000));
        // Carried out or dropped with its client, the board and the service agree about it.
        QTest::qWait(1000);
        local_client asker;
        QVERIFY(asker.connect_to(r.socket()));
        const QJsonObject now = asker.ask(R"({"request":"status","line":"hall","address":1})");
        QCOMPARE(now.value("ok"), true);
        QCOMPARE(hex4(now.value("relays")), r.hall.relays(1));
        QVERIFY2(QStringList({"0001", "0009"}).contains(r.hall.relays(1)), qPrintable(r.hall.relays(1)));
    } else if (request == "nobody") {
        if (::geteuid() != 0)
            QSKIP("runs a client as nobody, which needs root");
        // The path open to all, so that only the service's own check can refuse.
        QVERIFY(QFile::setPermissions(r.dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                        | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                        | QFileDevice::ExeOther));
        QVERIFY(QFile::setPermissions(r.socket(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                                      | QFileDevice::ReadOther | QFileDevice::WriteOther));
        QProcess client;
        client.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3",
                                 "-c", client_script, r.socket(), R"({"request":"lines"})"});
        QVERIFY(client.waitForFinished(10000));
        const QByteArray answer = client.readAllStandardOutput();
        QVERIFY2(answer.contains(QString(R"("error":"%1")").arg(error).toUtf8()),
                 (answer + client.readAllStandardError()).constData());
        QVERIFY2(!answer.contains("hall"), answer.constData());
    } else {
        local_client c;
        QVERIFY(c.connect_to(r.socket()));
        c.send(request);
        QVERIFY(c.wait([&c] { return !c.got.isEmpty(); }, 10000));
        QCOMPARE(c.got.first().value("ok"), false);
        QCOMPARE(c.got.first().value("error").toString(), error);
    }
    // The service goes on, for every other client.
    QCOMPARE(r.service.state(), QProcess::Running);
    local_client next;
    QVERIFY(next.connect_to(r.socket()));
    const QJsonObject status = next.ask(R"({"request":"status","line":"yard","address":3})");
    QCOMPARE(status.value("ok"), true);
    QCOMPARE(hex4(status.value("relays")), QString("8000"));
}

void tst_e2e_service::second_service_at_the_socket_stops_with_status_2()
{
    service_rig r;
    QVERIFY2(r.start(), qPrintable(r.error));
    QVERIFY2(r.watch.wait_for("telvar/telvar/yard/3/availability", "online") >= 0,
             r.log.constData());
    local_client c;
    QVERIFY(c.connect_to(r.socket()));
    QProcess second;
    second.start(qEnvironmentVariable("TELVARD"), {"--config", r.config()});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 2);
    const QString err = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(err.contains("another server answers at " + r.socket()), qPrintable(err));
    // It stopped before it touched a line: the first one serves on.
    QVERIFY2(!err.contains("line hall"), qPrintable(err));
    QCOMPARE(c.ask(R"({"request":"status","line":"yard","address":3})").value("ok"), true);
}

void tst_e2e_service::a_pulse_pending_when_the_service_died_is_released_data()
{
    // How long relay 3 of board 1 is momentary for, and how long the service
    // stays dead after it was killed with the release pending.
    QTest::addColumn<int>("pulse_ms");
    QTest::addColumn<int>("dead_ms");
    QTest::newRow("still due after the start: released at its deadline") << 5000 << 0;
    QTest::newRow("due while the service was dead: released at once") << 1000 << 2500;
}

void tst_e2e_service::a_pulse_pending_when_the_service_died_is_released()
{
    QFETCH(int, pulse_ms);
    QFETCH(int, dead_ms);
    service_rig r;
    QVERIFY2(r.start({}, QString("1.pulse = 3:%1ms").arg(pulse_ms)), qPrintable(r.error));
    QVERIFY2(r.watch.wait_for("telvar/telvar/hall/1/availability", "online") >= 0,
             r.log.constData());
    const QString file = r.dir.filePath("telvard.pulses.json");
    QVERIFY(!QFile::exists(file));
    QElapsedTimer since_pull_in;
    {
        local_client c;
        QVERIFY(c.connect_to(r.socket()));
        const QJsonObject answer = c.ask(
            R"({"request":"switch","line":"hall","address":1,"relay":3,"state":"on"})");
        since_pull_in.start();
        QCOMPARE(answer.value("ok"), true);
        QCOMPARE(hex4(answer.value("relays")), QString("0005"));
    }
    // The release owed is on disk while it is pending.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), 2000);
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY2(saved.readAll().contains(R"("line": "hall")"), qPrintable(file));
    QVERIFY(r.kill_and_start_again(dead_ms));
    QCOMPARE(r.hall.relays(1), QString("0005"));  // nobody released it meanwhile
    QTRY_VERIFY_WITH_TIMEOUT(r.log.contains("line hall board 1 relay 3 was pulsed when the "
                                            "service ended"),
                             10000);
    QVERIFY2(r.log.contains(dead_ms > 0 ? "released now" : "as it was due"), r.log.constData());
    QTRY_COMPARE_WITH_TIMEOUT(r.hall.relays(1), QString("0001"), pulse_ms + dead_ms + 10000);
    const qint64 released_after = since_pull_in.elapsed();
    // Not before its time; at once when its time had passed (start-up and first polls included).
    QVERIFY2(released_after >= pulse_ms - 100, qPrintable(QString::number(released_after)));
    QVERIFY2(released_after <= std::max(pulse_ms, dead_ms) + 3000,
             qPrintable(QString::number(released_after)));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(file), 5000);
}

QTEST_GUILESS_MAIN(tst_e2e_service)
#include "tst_e2e_service.moc"

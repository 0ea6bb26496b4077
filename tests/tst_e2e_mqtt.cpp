// telvar-mqtt end to end: a real Mosquitto started here, telvar-sim on a
// pseudo-terminal, the real telvar-mqtt process between them, and the test's
// own client (mosquitto_sub / mosquitto_pub) watching and commanding.
#include "support/e2e_rig.h"
#include "support/mosquitto_broker.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <signal.h>

using namespace telvar::test;

namespace
{

const QString T = QStringLiteral("telvar/telvar");

QString topic(const QString& rest)
{
    return T + '/' + rest;
}

QByteArray state_of(const QString& hex4)
{
    const unsigned relays = hex4.toUInt(nullptr, 16);
    QByteArray out = "{\"relays\":[";
    for (int i = 0; i < 16; ++i)
        out += QByteArray(i ? "," : "") + ((relays >> i) & 1u ? "true" : "false");
    return out + "]}";
}

// The simulator, a broker, the bridge between them and a client watching all topics.
struct bridge_rig {
    mosquitto_broker broker;
    e2e_rig line;
    QProcess bridge;
    mqtt_watch watch;
    QByteArray log;
    QString error;

    bool start(const QStringList& sim_arguments, QStringList bridge_arguments,
               const broker_options& how = {})
    {
        if (broker.port() == 0 && !broker.start(how)) {
            error = broker.error();
            return false;
        }
        if (!line.start_sim(sim_arguments)) {
            error = line.error;
            return false;
        }
        if (!watch.start(broker)) {
            error = "mosquitto_sub did not start";
            return false;
        }
        if (!bridge_arguments.contains("--broker"))
            bridge_arguments << "--broker" << broker.address();
        QObject::connect(&bridge, &QProcess::readyReadStandardError,
                         [this] { log += bridge.readAllStandardError(); });
        bridge.start(qEnvironmentVariable("TELVAR_MQTT"),
                     QStringList{"-p", QString::number(line.port), "--interval", "100"} +
                         bridge_arguments);
        if (!bridge.waitForStarted(5000)) {
            error = bridge.errorString();
            return false;
        }
        return true;
    }

    /** Waits until the bridge logged @p fragment @p times times. */
    bool wait_log(const QString& fragment, int times = 1, int timeout_ms = 10000)
    {
        QElapsedTimer waited;
        waited.start();
        while (QString::fromUtf8(log).count(fragment) < times) {
            if (waited.elapsed() > timeout_ms)
                return false;
            bridge.waitForReadyRead(50);
            log += bridge.readAllStandardError();
        }
        return true;
    }

    bool wait(const QString& t, const QByteArray& payload, int from = 0, int timeout_ms = 10000)
    {
        return watch.wait_for(t, payload, from, timeout_ms) >= 0;
    }

    ~bridge_rig()
    {
        if (bridge.state() != QProcess::NotRunning) {
            bridge.kill();
            bridge.waitForFinished(5000);
        }
    }
};

} // namespace

class tst_e2e_mqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startup_publishes_status_discovery_and_states();
    void set_is_confirmed_by_the_board_data();
    void set_is_confirmed_by_the_board();
    void bad_payloads_and_topics_send_nothing_data();
    void bad_payloads_and_topics_send_nothing();
    void board_that_ignores_switches_never_shows_the_asked_state();
    void retained_set_is_not_executed_and_a_removed_board_is_cleared();
    void broker_down_at_start_is_waited_for();
    void silent_board_goes_offline_alone_and_returns();
    void broker_restart_republishes_and_resubscribes();
    void adapter_vanishes_and_returns();
    void kill_9_leaves_the_will();
    void sigterm_publishes_offline_and_exits_0();
    void tls_with_password_data();
    void tls_with_password();
    void renumbered_port_is_not_followed();

private:
    bridge_rig& shared();
    std::unique_ptr<bridge_rig> shared_;
};

void tst_e2e_mqtt::initTestCase()
{
    QVERIFY(e2e_rig::use_private_port_folder());
    QVERIFY2(!qEnvironmentVariable("TELVAR_MQTT").isEmpty(), "TELVAR_MQTT is not set");
    for (const char* program : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "openssl"})
        QVERIFY2(!mosquitto_broker::executable(program).isEmpty(),
                 qPrintable(QString("%1 is missing: bash scripts/install-deps.sh").arg(program)));
}

// Board 1 (relays 1, 3, 6, 8 in) and board 2 on one line, for the command cases.
bridge_rig& tst_e2e_mqtt::shared()
{
    if (!shared_) {
        shared_ = std::make_unique<bridge_rig>();
        if (!shared_->start({"--log", "--board", "1,relays=00A5", "--board", "2"},
                            {"--boards", "1,2"}))
            qWarning("%s", qPrintable(shared_->error));
        shared_->wait(topic("2/availability"), "online");
    }
    return *shared_;
}

void tst_e2e_mqtt::startup_publishes_status_discovery_and_states()
{
    bridge_rig r;
    QTemporaryDir dir;
    const QString conf = dir.filePath("mqtt.conf");
    QFile f(conf);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[boards]\n1 = Hall\n2 = Pump_room\n");
    f.close();
    QVERIFY2(r.start({"--board", "1,relays=00A5", "--board", "2,relays=8100"}, {"--config", conf}),
             qPrintable(r.error));

    QVERIFY(r.wait(topic("status"), "online"));
    QVERIFY(r.wait(topic("1/state"), state_of("00A5")));
    QVERIFY(r.wait(topic("2/state"), state_of("8100")));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    QVERIFY(r.wait(topic("2/availability"), "online"));
    QCOMPARE(r.watch.last(topic("1/relay/1")), QByteArray("ON"));
    QCOMPARE(r.watch.last(topic("1/relay/2")), QByteArray("OFF"));
    QCOMPARE(r.watch.last(topic("2/relay/9")), QByteArray("ON"));
    QCOMPARE(r.watch.last(topic("2/relay/16")), QByteArray("ON"));
    QCOMPARE(r.watch.last(topic("2/relay/15")), QByteArray("OFF"));

    // Two boards on one line are two devices, each with its name and own ids.
    for (const auto& [address, name] : {std::pair{1, "Hall"}, std::pair{2, "Pump_room"}}) {
        const QString config = QString("homeassistant/device/telvar_%1/config").arg(address);
        const QJsonObject o = QJsonDocument::fromJson(r.watch.last(config)).object();
        QCOMPARE(o["dev"].toObject()["name"].toString(), QString(name));
        QCOMPARE(o["cmps"].toObject()["relay3"].toObject()["unique_id"].toString(),
                 QString("telvar_%1_relay3").arg(address));
    }
    // Everything the bridge states is retained, for whoever subscribes later.
    mqtt_watch late;
    QVERIFY(late.start(r.broker, T + "/#"));
    QVERIFY(late.wait_for(topic("2/state"), state_of("8100")) >= 0);
    QVERIFY(late.wait_for(topic("status"), "online") >= 0);
    for (const mqtt_message& m : late.messages())
        QVERIFY2(m.retained, qPrintable(m.topic));

    // Home Assistant coming online again gets the discovery messages again.
    const int from = r.watch.messages().size();
    QVERIFY(mqtt_publish(r.broker, "homeassistant/status", "online"));
    QVERIFY(r.wait("homeassistant/device/telvar_2/config",
                   r.watch.last("homeassistant/device/telvar_2/config"), from));
}

void tst_e2e_mqtt::set_is_confirmed_by_the_board_data()
{
    QTest::addColumn<QString>("command");  // topic below T/1/
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("relays");  // the board's relays after it

    // In order, on one line: each row starts where the one before left the board.
    QTest::newRow("pull in relay 5") << "relay/5/set" << QByteArray("ON") << "00B5";
    QTest::newRow("release relay 1") << "relay/1/set" << QByteArray("OFF") << "00B4";
    QTest::newRow("toggle relay 16") << "relay/16/set" << QByteArray("TOGGLE") << "80B4";
    QTest::newRow("toggle relay 16 back") << "relay/16/set" << QByteArray("TOGGLE") << "00B4";
    QTest::newRow("all on") << "all/set" << QByteArray("ON") << "FFFF";
    QTest::newRow("all off") << "all/set" << QByteArray("OFF") << "0000";
    QTest::newRow("OFF to a relay already off changes nothing") << "relay/2/set" << QByteArray("OFF") << "0000";
}

void tst_e2e_mqtt::set_is_confirmed_by_the_board()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, payload);
    QFETCH(QString, relays);
    bridge_rig& r = shared();
    QVERIFY2(r.bridge.state() == QProcess::Running, qPrintable(r.error + r.log));

    const int from = r.watch.messages().size();
    QVERIFY(mqtt_publish(r.broker, topic("1/" + command), payload));
    QVERIFY2(r.wait(topic("1/state"), state_of(relays), from) ||
                 r.watch.last(topic("1/state")) == state_of(relays),
             r.watch.last(topic("1/state")).constData());
    QCOMPARE(r.line.sim.relays(1), relays);
    QCOMPARE(r.watch.last(topic("1/relay/5")), relays.toUInt(nullptr, 16) & 0x10 ? QByteArray("ON")
                                                                               : QByteArray("OFF"));
}

void tst_e2e_mqtt::bad_payloads_and_topics_send_nothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged");

    QTest::newRow("lower case") << topic("1/relay/5/set") << QByteArray("on") << "the payload is not ON";
    QTest::newRow("JSON payload") << topic("1/relay/5/set") << QByteArray("{\"state\":\"ON\"}") << "the payload is not ON";
    QTest::newRow("toggle all") << topic("1/all/set") << QByteArray("TOGGLE") << "the payload is not ON or OFF";
    QTest::newRow("relay 17") << topic("1/relay/17/set") << QByteArray("ON") << "\"17\" is not a relay number";
    QTest::newRow("relay 0") << topic("1/relay/0/set") << QByteArray("OFF") << "\"0\" is not a relay number";
    QTest::newRow("board not served") << topic("3/relay/1/set") << QByteArray("ON") << "serves no board 3";
    QTest::newRow("address a word") << topic("one/all/set") << QByteArray("ON") << "\"one\" is not a board address";
}

void tst_e2e_mqtt::bad_payloads_and_topics_send_nothing()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);
    bridge_rig& r = shared();
    const QString before = r.line.sim.relays(1);
    const int frames = r.line.sim.log().size();
    r.log.clear();

    QVERIFY(mqtt_publish(r.broker, command, payload));
    QVERIFY2(r.wait_log(logged), r.log.constData());
    QCOMPARE(QString(r.log).count(command), 1);
    // Polls went on; not one switch frame among them.
    QTRY_VERIFY(r.line.sim.log().size() > frames + 4);
    QCOMPARE(r.line.sim.relays(1), before);
    const QStringList sent = r.line.sim.log().mid(frames);
    for (const QString& line : sent)
        QVERIFY2(!line.contains(QRegularExpression("pc>sim 55 0[0-9A-F] 1[123]")), qPrintable(line));
}

void tst_e2e_mqtt::board_that_ignores_switches_never_shows_the_asked_state()
{
    bridge_rig r;
    QVERIFY2(r.start({"--board", "1,ignore-switch"}, {}), qPrintable(r.error));
    QVERIFY(r.wait(topic("1/state"), state_of("0000")));
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/5/set"), "ON"));
    QVERIFY2(r.wait_log("board 1 relay 5 ON: not confirmed"), r.log.constData());
    for (const mqtt_message& m : r.watch.on(topic("1/relay/5")))
        QCOMPARE(m.payload, QByteArray("OFF"));
    QCOMPARE(r.watch.last(topic("1/state")), state_of("0000"));
    QCOMPARE(r.watch.last(topic("1/availability")), QByteArray("online"));
}

void tst_e2e_mqtt::retained_set_is_not_executed_and_a_removed_board_is_cleared()
{
    bridge_rig r;
    QVERIFY(r.broker.start());
    // Left on the broker before the bridge starts: old commands, not a wish of now.
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/5/set"), "ON", true));
    QVERIFY(mqtt_publish(r.broker, topic("1/all/set"), "ON", true));
    // And what an earlier run published for board 9, since taken out of the configuration.
    const QString removed = "homeassistant/device/telvar_9/config";
    QVERIFY(mqtt_publish(r.broker, removed, "{\"dev\":{}}", true));
    QVERIFY(mqtt_publish(r.broker, topic("9/state"), state_of("0001"), true));
    QVERIFY(r.line.start_sim({"--board", "1,relays=0001"}));
    QVERIFY(r.watch.start(r.broker));
    QObject::connect(&r.bridge, &QProcess::readyReadStandardError,
                     [&r] { r.log += r.bridge.readAllStandardError(); });
    r.bridge.start(qEnvironmentVariable("TELVAR_MQTT"),
                   {"-p", QString::number(r.line.port), "--broker", r.broker.address()});
    QVERIFY2(r.wait_log(topic("1/relay/5/set") + " \"ON\": arrived retained"), r.log.constData());
    QVERIFY(r.wait_log(topic("1/all/set") + " \"ON\": arrived retained"));
    // A command of now goes after anything the bridge had taken up before it.
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/16/set"), "ON"));
    QVERIFY2(r.wait(topic("1/state"), state_of("8001")), r.log.constData());
    QCOMPARE(r.line.sim.relays(1), QString("8001"));
    QCOMPARE(r.watch.last(topic("1/relay/5")), QByteArray("OFF"));

    QVERIFY2(r.wait(removed, QByteArray()), r.log.constData());
    QVERIFY(r.wait(topic("9/state"), QByteArray()));
    mqtt_watch late;
    QVERIFY(late.start(r.broker));
    QVERIFY(late.wait_for(topic("1/state"), state_of("8001")) >= 0);
    QVERIFY(late.on(removed).isEmpty() && late.on(topic("9/state")).isEmpty());
}

void tst_e2e_mqtt::broker_down_at_start_is_waited_for()
{
    bridge_rig r;
    QVERIFY(r.broker.start());
    r.broker.kill();  // its port is known and nobody listens there
    QVERIFY(r.line.start_sim({"--board", "1,relays=0002"}));
    QObject::connect(&r.bridge, &QProcess::readyReadStandardError,
                     [&r] { r.log += r.bridge.readAllStandardError(); });
    r.bridge.start(qEnvironmentVariable("TELVAR_MQTT"),
                   {"-p", QString::number(r.line.port), "--broker", r.broker.address()});
    QVERIFY2(r.wait_log("connection refused; trying again"), r.log.constData());
    QVERIFY(r.wait_log("board 1 is online"));  // polling goes on meanwhile
    QVERIFY(r.broker.restart());
    QVERIFY(r.watch.start(r.broker));
    QVERIFY2(r.wait(topic("status"), "online", 0, 20000), r.log.constData());
    QVERIFY(r.wait(topic("1/state"), state_of("0002")));
    QVERIFY(r.wait(topic("1/availability"), "online"));
}

void tst_e2e_mqtt::silent_board_goes_offline_alone_and_returns()
{
    bridge_rig r;
    QVERIFY2(r.start({"--board", "1", "--board", "2"}, {"--boards", "1,2"}), qPrintable(r.error));
    QVERIFY(r.wait(topic("2/availability"), "online"));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    const int from = r.watch.messages().size();
    // Board 2's radio moves off the host module's channel: it hears nothing.
    QCOMPARE(r.line.sim.command("set 2 channel 9").value(0).startsWith("error"), false);
    QVERIFY(r.wait(topic("2/availability"), "offline", from));
    QVERIFY2(r.wait_log("board 2 is offline"), r.log.constData());
    QCOMPARE(r.line.sim.command("set 2 channel 1").value(0).startsWith("error"), false);
    QVERIFY(r.wait(topic("2/availability"), "online", from));
    QVERIFY(r.wait_log("board 2 is online"));
    for (const mqtt_message& m : r.watch.messages().mid(from))
        QVERIFY2(m.topic != topic("1/availability"), "board 1 was never silent");
}

void tst_e2e_mqtt::broker_restart_republishes_and_resubscribes()
{
    bridge_rig r;
    QVERIFY2(r.start({"--board", "1,relays=0003"}, {}), qPrintable(r.error));
    QVERIFY(r.wait(topic("1/state"), state_of("0003")));
    QVERIFY(r.broker.restart());  // nothing retained survives
    QVERIFY2(r.wait_log("the connection was lost"), r.log.constData());

    mqtt_watch after;
    QVERIFY(after.start(r.broker));
    QVERIFY2(after.wait_for(topic("status"), "online", 0, 20000) >= 0, r.log.constData());
    const QString config = "homeassistant/device/telvar_1/config";
    QVERIFY(!r.watch.last(config).isEmpty());
    QVERIFY(after.wait_for(config, r.watch.last(config)) >= 0);
    QVERIFY(after.wait_for(topic("1/state"), state_of("0003")) >= 0);
    QVERIFY(after.wait_for(topic("1/availability"), "online") >= 0);
    // Subscribed again: a command still reaches the board.
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/3/set"), "ON"));
    QVERIFY(after.wait_for(topic("1/state"), state_of("0007")) >= 0);
}

void tst_e2e_mqtt::adapter_vanishes_and_returns()
{
    bridge_rig r;
    // Replugged, a pseudo-terminal comes back as another device; its stable
    // name, as a USB adapter's by-id name, is what the line holds on to.
    QVERIFY2(r.start({"--name", e2e_rig::stable_name(), "--board", "1", "--board", "2"},
                     {"--boards", "1,2"}),
             qPrintable(r.error));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    QVERIFY(r.wait(topic("2/availability"), "online"));
    const int from = r.watch.messages().size();
    QCOMPARE(r.line.sim.command("vanish").size(), 1);
    QVERIFY(r.wait(topic("1/availability"), "offline", from));
    QVERIFY(r.wait(topic("2/availability"), "offline", from));
    QVERIFY2(r.wait_log("line lost"), r.log.constData());
    QCOMPARE(r.line.sim.command("reappear").size(), 1);
    QVERIFY(r.wait(topic("1/availability"), "online", from, 40000));
    QVERIFY(r.wait(topic("2/availability"), "online", from, 40000));
    QCOMPARE(r.watch.last(topic("status")), QByteArray("online"));
}

void tst_e2e_mqtt::kill_9_leaves_the_will()
{
    bridge_rig r;
    QVERIFY2(r.start({}, {}), qPrintable(r.error));
    QVERIFY(r.wait(topic("status"), "online"));
    const int from = r.watch.messages().size();
    r.bridge.kill();
    QVERIFY(r.bridge.waitForFinished(5000));
    QVERIFY(r.wait(topic("status"), "offline", from));
}

void tst_e2e_mqtt::sigterm_publishes_offline_and_exits_0()
{
    bridge_rig r;
    QVERIFY2(r.start({"--board", "1", "--board", "2"}, {"--boards", "1,2"}), qPrintable(r.error));
    QVERIFY(r.wait(topic("2/availability"), "online"));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    const int from = r.watch.messages().size();
    ::kill(pid_t(r.bridge.processId()), SIGTERM);
    QVERIFY(r.bridge.waitForFinished(10000));
    QCOMPARE(r.bridge.exitStatus(), QProcess::NormalExit);
    QCOMPARE(r.bridge.exitCode(), 0);
    QVERIFY(r.wait(topic("status"), "offline", from));
    QVERIFY(r.wait(topic("1/availability"), "offline", from));
    QVERIFY(r.wait(topic("2/availability"), "offline", from));
    r.log += r.bridge.readAllStandardError();
    QVERIFY2(r.log.contains("SIGTERM received") && r.log.contains("stopped"), r.log.constData());
    // A clean stop does not leave the will: offline came once, from the bridge.
    QCOMPARE(r.watch.on(topic("status")).last().payload, QByteArray("offline"));
    QCOMPARE(r.watch.on(topic("status")).count(), 2);
}

void tst_e2e_mqtt::tls_with_password_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("right_ca");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("hint");

    QTest::newRow("right CA and password") << "s3cret" << true << "connected to the broker" << "";
    QTest::newRow("wrong password") << "guess" << true << "the broker refused the connection: not authorised"
                                    << "(check the user name and the password file)";
    QTest::newRow("CA that did not sign the broker") << "s3cret" << false << "TLS failed: "
                                                     << "(check the CA file";
}

void tst_e2e_mqtt::tls_with_password()
{
    QFETCH(QString, password);
    QFETCH(bool, right_ca);
    QFETCH(QString, logged);
    QFETCH(QString, hint);

    bridge_rig r;
    QVERIFY2(r.broker.start({true, "bridge", "s3cret"}), qPrintable(r.broker.error()));
    const QString pw = r.broker.write_file("bridge-password", password.toUtf8() + '\n');
    QVERIFY2(r.start({}, {"-v", "--broker", QString("localhost:%1").arg(r.broker.port()),
                          "--cafile", right_ca ? r.broker.ca_file() : r.broker.other_ca_file(),
                          "--username", "bridge", "--password-file", pw}),
             qPrintable(r.error));
    QVERIFY2(r.wait_log(logged), r.log.constData());
    if (hint.isEmpty()) {
        QVERIFY(r.wait(topic("status"), "online"));
        QVERIFY(r.wait(topic("1/availability"), "online"));
        return;
    }
    // Told with what to check, tried again (the repeat is logged with -v), still running.
    QVERIFY2(r.wait_log(hint), r.log.constData());
    QVERIFY2(r.wait_log(logged, 2), r.log.constData());
    QCOMPARE(r.bridge.state(), QProcess::Running);
    QVERIFY(r.watch.on(topic("status")).isEmpty());
}

void tst_e2e_mqtt::renumbered_port_is_not_followed()
{
    bridge_rig r;
    QVERIFY2(r.start({"--name", e2e_rig::stable_name(), "--board", "1,relays=0001"}, {}),
             qPrintable(r.error));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    sim_process other;
    QVERIFY2(other.start({"--log", "--board", "1,relays=FFFF"}), qPrintable(other.error()));

    // Pulled out, and meanwhile the port number is pointed at another adapter.
    const int from = r.watch.messages().size();
    QCOMPARE(r.line.sim.command("vanish").size(), 1);
    QVERIFY(r.wait(topic("1/availability"), "offline", from));
    QVERIFY(QFile::link(other.device(), e2e_rig::port_entry(r.line.port)));
    QVERIFY2(r.wait_log(QString("port %1 now stands for %2").arg(r.line.port).arg(other.device())),
             r.log.constData());
    QVERIFY2(r.wait_log(QString("cannot open port %1").arg(r.line.port), 2, 15000),
             r.log.constData());
    other.state();  // a round trip, so that its log has caught up
    QCOMPARE(other.log().filter(" pc>sim ").size(), 0);
    QCOMPARE(r.watch.last(topic("1/state")), state_of("0001"));

    // The adapter itself comes back: the bridge reopens it, the other still hears nothing.
    QVERIFY(QFile::remove(e2e_rig::port_entry(r.line.port)));
    r.line.sim.command("set 1 relays 0003");
    QCOMPARE(r.line.sim.command("reappear").size(), 1);
    QVERIFY2(r.wait(topic("1/availability"), "online", from, 20000), r.log.constData());
    QVERIFY(r.wait(topic("1/state"), state_of("0003"), from));
    other.state();
    QCOMPARE(other.log().filter(" pc>sim ").size(), 0);
}

QTEST_GUILESS_MAIN(tst_e2e_mqtt)
#include "tst_e2e_mqtt.moc"

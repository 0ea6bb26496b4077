// telvard's MQTT front end to end: a real Mosquitto started here, telvar-sim
// on a pseudo-terminal, the real telvard process between them, and the test's
// own client (mosquitto_sub / mosquitto_pub) watching and commanding.
#include "support/e2e_rig.h"
#include "support/mosquitto_broker.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstring>

#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/un.h>
#include <unistd.h>

using namespace telvar::test;

namespace
{

const QString T = QStringLiteral("telvar/telvar");

// Each telvard of a test gets a local socket of its own, never the system's.
QStringList own_socket()
{
    static QTemporaryDir sockets;
    static int made = 0;
    return {"--socket", sockets.filePath(QString("telvard-%1.sock").arg(++made))};
}

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

/** Waits until @p process logged @p fragment @p times times on standard error. */
bool wait_log(QProcess& process, QByteArray& log, const QString& fragment, int times = 1,
              int timeout_ms = 10000)
{
    QElapsedTimer waited;
    waited.start();
    while (QString::fromUtf8(log).count(fragment) < times) {
        if (waited.elapsed() > timeout_ms)
            return false;
        process.waitForReadyRead(50);
        log += process.readAllStandardError();
        QCoreApplication::processEvents();
    }
    return true;
}

// Another telvard beside the rig's, with a log of its own.
struct second_bridge {
    QProcess process;
    QByteArray log;

    bool start(const QStringList& arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { log += process.readAllStandardError(); });
        process.start(qEnvironmentVariable("TELVARD"), arguments + own_socket());
        return process.waitForStarted(5000);
    }
    bool wait_log(const QString& fragment, int times = 1, int timeout_ms = 10000)
    {
        return ::wait_log(process, log, fragment, times, timeout_ms);
    }
    ~second_bridge()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

// The simulator, a broker, the bridge between them and a client watching all topics.
struct bridge_rig {
    mosquitto_broker broker;
    e2e_rig line;
    QProcess bridge;
    mqtt_watch watch;
    QByteArray log;
    QString error;
    // Runs the bridge through this command (unshare ...), its arguments after it.
    QStringList launcher;
    bool pass_port = true;  // -p from the simulator's port, over any file

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
        if (!bridge_arguments.contains("--interval"))
            bridge_arguments << "--interval" << "100";
        if (pass_port)
            bridge_arguments << "-p" << QString::number(line.port);
        if (!bridge_arguments.contains("--socket"))
            bridge_arguments << own_socket();
        QObject::connect(&bridge, &QProcess::readyReadStandardError,
                         [this] { log += bridge.readAllStandardError(); });
        QStringList command = launcher;
        command << qEnvironmentVariable("TELVARD") << bridge_arguments;
        bridge.start(command.takeFirst(), command);
        if (!bridge.waitForStarted(5000)) {
            error = bridge.errorString();
            return false;
        }
        return true;
    }

    /** Waits until the bridge logged @p fragment @p times times. */
    bool wait_log(const QString& fragment, int times = 1, int timeout_ms = 10000)
    {
        return ::wait_log(bridge, log, fragment, times, timeout_ms);
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

QString write_text(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    QFile f(dir.filePath(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text);
    return f.fileName();
}

// nss_wrapper, which makes a process's name lookups read a hosts file of our own.
QString nss_wrapper_library()
{
    for (const QString& folder : {QStringLiteral("/usr/lib/x86_64-linux-gnu"),
                                  QStringLiteral("/usr/lib/aarch64-linux-gnu"),
                                  QStringLiteral("/usr/lib64"), QStringLiteral("/usr/lib")}) {
        const QString path = folder + QStringLiteral("/libnss_wrapper.so");
        if (QFile::exists(path))
            return path;
    }
    return {};
}

// The gaps between the frames the bridge sent, as the simulator timed them.
double longest_gap_s(const QStringList& frames)
{
    double last = -1, longest = 0;
    for (const QString& line : frames) {
        if (!line.contains(" pc>sim "))
            continue;
        const double t = line.section(' ', 0, 0).toDouble();
        if (last >= 0)
            longest = std::max(longest, t - last);
        last = t;
    }
    return longest;
}

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
    void retained_set_is_not_executed_and_only_the_file_removes_boards_data();
    void retained_set_is_not_executed_and_only_the_file_removes_boards();
    void broker_down_at_start_is_waited_for();
    void silent_board_goes_offline_alone_and_returns();
    void broker_restart_republishes_and_resubscribes();
    void adapter_vanishes_and_returns();
    void kill_9_leaves_the_will();
    void sigterm_publishes_offline_and_exits_0();
    void tls_with_password_data();
    void tls_with_password();
    void broker_name_whose_first_address_nothing_listens_on_data();
    void broker_name_whose_first_address_nothing_listens_on();
    void second_bridge_with_the_same_id_data();
    void second_bridge_with_the_same_id();
    void remove_board_publishes_the_removal_and_ends();
    void sighup_reloads_the_configuration_data();
    void sighup_reloads_the_configuration();
    void polling_keeps_its_rhythm_while_the_broker_fails_data();
    void polling_keeps_its_rhythm_while_the_broker_fails();
    void tells_systemd_it_is_ready_and_feeds_the_watchdog();
    void journal_prefix_only_when_standard_error_is_the_journal_data();
    void journal_prefix_only_when_standard_error_is_the_journal();
    void renumbered_port_is_not_followed();
    void pulse_is_released_within_its_bound_data();
    void pulse_is_released_within_its_bound();
    void discovery_and_diag_of_a_board_with_a_momentary_relay();

private:
    bridge_rig& shared();
    std::unique_ptr<bridge_rig> shared_;
};

void tst_e2e_mqtt::initTestCase()
{
    QVERIFY(e2e_rig::use_private_port_folder());
    QVERIFY2(!qEnvironmentVariable("TELVARD").isEmpty(), "TELVARD is not set");
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
    f.write("[line main]\n1 = Hall\n2 = Pump_room\n[mqtt]\n");
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
    QTest::newRow("pulse of ON") << topic("1/relay/5/pulse") << QByteArray("ON") << "the payload is not a duration";
    QTest::newRow("pulse too short") << topic("1/relay/5/pulse") << QByteArray("50ms") << "the payload is not a duration from 100ms to 24h";
    QTest::newRow("pulse of relay 17") << topic("1/relay/17/pulse") << QByteArray("1s") << "\"17\" is not a relay number";
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

void tst_e2e_mqtt::retained_set_is_not_executed_and_only_the_file_removes_boards_data()
{
    QTest::addColumn<QStringList>("arguments");  // $CONF is a file that serves board 1
    QTest::addColumn<bool>("removed");

    QTest::newRow("a board the file dropped is cleared") << QStringList{"--config", "$CONF"} << true;
    QTest::newRow("--boards for one run removes nothing")
        << QStringList{"--config", "$CONF", "--boards", "1"} << false;
}

void tst_e2e_mqtt::retained_set_is_not_executed_and_only_the_file_removes_boards()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, removed);
    bridge_rig r;
    QTemporaryDir dir;
    arguments.replaceInStrings("$CONF", write_text(dir, "mqtt.conf", "[line main]\n1 = Hall\n[mqtt]\n"));
    QVERIFY(r.broker.start());
    // Left on the broker before the bridge starts: old commands, not a wish of now.
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/5/set"), "ON", true));
    QVERIFY(mqtt_publish(r.broker, topic("1/all/set"), "ON", true));
    // And what an earlier run published for board 9, since taken out of the configuration.
    const QString config_9 = "homeassistant/device/telvar_9/config";
    QVERIFY(mqtt_publish(r.broker, config_9, "{\"dev\":{}}", true));
    QVERIFY(mqtt_publish(r.broker, topic("9/state"), state_of("0001"), true));
    QVERIFY2(r.start({"--board", "1,relays=0001"}, arguments), qPrintable(r.error));
    QVERIFY2(r.wait_log(topic("1/relay/5/set") + " \"ON\": arrived retained"), r.log.constData());
    QVERIFY(r.wait_log(topic("1/all/set") + " \"ON\": arrived retained"));
    // A command of now goes after anything the bridge had taken up before it.
    QVERIFY(mqtt_publish(r.broker, topic("1/relay/16/set"), "ON"));
    QVERIFY2(r.wait(topic("1/state"), state_of("8001")), r.log.constData());
    QCOMPARE(r.line.sim.relays(1), QString("8001"));
    QCOMPARE(r.watch.last(topic("1/relay/5")), QByteArray("OFF"));

    if (removed) {
        QVERIFY2(r.wait(config_9, QByteArray()), r.log.constData());
        QVERIFY(r.wait(topic("9/state"), QByteArray()));
    }
    // The sweep runs as the retained configs arrive, before the command above.
    mqtt_watch late;
    QVERIFY(late.start(r.broker));
    QVERIFY(late.wait_for(topic("1/state"), state_of("8001")) >= 0);
    if (removed) {
        QVERIFY(late.on(config_9).isEmpty() && late.on(topic("9/state")).isEmpty());
    } else {
        QVERIFY(late.wait_for(config_9, "{\"dev\":{}}") >= 0);
        QVERIFY(late.wait_for(topic("9/state"), state_of("0001")) >= 0);
    }
    QCOMPARE(r.log.contains("board 9 is no longer configured"), removed);
}

void tst_e2e_mqtt::broker_down_at_start_is_waited_for()
{
    bridge_rig r;
    QVERIFY(r.broker.start());
    r.broker.kill();  // its port is known and nobody listens there
    QVERIFY(r.line.start_sim({"--board", "1,relays=0002"}));
    QObject::connect(&r.bridge, &QProcess::readyReadStandardError,
                     [&r] { r.log += r.bridge.readAllStandardError(); });
    r.bridge.start(qEnvironmentVariable("TELVARD"),
                   QStringList{"-p", QString::number(r.line.port), "--broker", r.broker.address()}
                       + own_socket());
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
    QVERIFY2(r.wait_log("line main lost"), r.log.constData());
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

void tst_e2e_mqtt::broker_name_whose_first_address_nothing_listens_on_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("TLS with a password") << true;
}

// localhost as a fresh Debian lists it, ::1 first; the broker listens on
// 127.0.0.1 only. The bridge's name lookups read a hosts file of the test's
// through nss_wrapper, which works as well in a chroot as on a whole system.
void tst_e2e_mqtt::broker_name_whose_first_address_nothing_listens_on()
{
    QFETCH(bool, tls);
    const QString wrapper = nss_wrapper_library();
    QVERIFY2(!wrapper.isEmpty(), "libnss_wrapper.so is missing (Debian: libnss-wrapper, "
                                 "installed by scripts/install-deps.sh)");
    bridge_rig r;
    const QString hosts = r.broker.write_file("hosts", "::1 localhost\n127.0.0.1 localhost\n");
    // The socket's group is looked up too: from files of the test's as well,
    // since the wrapper would otherwise load the C library a second way,
    // which the sanitizers' runtime refuses.
    const struct group* dialout = ::getgrnam("dialout");
    const QString users = r.broker.write_file("passwd", "root:x:0:0:root:/root:/bin/sh\n");
    const QString groups = r.broker.write_file(
        "group", QStringLiteral("root:x:0:\ndialout:x:%1:\n").arg(dialout ? dialout->gr_gid : 20).toUtf8());
    // The sanitizers' runtime must otherwise come first among the libraries.
    r.launcher = QStringList{"sh", "-c",
                             "hosts=$1; users=$2; groups=$3; shift 3; LD_PRELOAD=\"$0\" "
                             "NSS_WRAPPER_HOSTS=\"$hosts\" NSS_WRAPPER_PASSWD=\"$users\" "
                             "NSS_WRAPPER_GROUP=\"$groups\" "
                             "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" "
                             "exec \"$@\"",
                             wrapper, hosts, users, groups};
    {
        // The namespace's lookup does list the address nobody listens on first.
        QProcess lookup;
        lookup.start(r.launcher.first(), r.launcher.mid(1) + QStringList{"getent", "ahosts", "localhost"});
        QVERIFY(lookup.waitForFinished(10000));
        QVERIFY2(lookup.readAllStandardOutput().startsWith("::1 "),
                 lookup.readAllStandardError().constData());
    }
    QStringList arguments{"--broker", "localhost:%1"};
    broker_options how;
    if (tls) {
        how = {true, "bridge", "s3cret"};
        QVERIFY2(r.broker.start(how), qPrintable(r.broker.error()));
        arguments << "--cafile" << r.broker.ca_file() << "--username" << "bridge"
                  << "--password-file" << r.broker.write_file("pw", "s3cret\n");
    } else {
        QVERIFY(r.broker.start());
    }
    arguments[1] = arguments[1].arg(r.broker.port());
    QVERIFY2(r.start({}, arguments, how), qPrintable(r.error));
    QVERIFY2(r.wait_log(QString("connected to the broker at localhost:%1 (127.0.0.1)")
                            .arg(r.broker.port())),
             r.log.constData());
    QVERIFY(r.wait(topic("status"), "online"));
    QVERIFY(!r.log.contains("refused"));
}

void tst_e2e_mqtt::second_bridge_with_the_same_id_data()
{
    QTest::addColumn<QString>("first");  // what becomes of the first bridge before the second starts

    QTest::newRow("first alive: the second stops with status 2") << "alive";
    QTest::newRow("first killed: the second takes over") << "killed";
    QTest::newRow("first hung, its will late: the second takes over and says online") << "hung";
}

void tst_e2e_mqtt::second_bridge_with_the_same_id()
{
    QFETCH(QString, first);
    bridge_rig r;
    QVERIFY2(r.start({"--board", "1"}, {}), qPrintable(r.error));
    QVERIFY(r.wait(topic("status"), "online"));
    QVERIFY(r.wait(topic("1/availability"), "online"));
    QVERIFY(r.wait(topic("1/state"), state_of("0000")));
    // The last of the first burst: the board's diag, whatever its counts.
    const auto diag_seen = [&] {
        const QList<mqtt_message> seen = r.watch.messages();
        return std::any_of(seen.begin(), seen.end(),
                           [](const mqtt_message& m) { return m.topic == topic("1/diag"); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(diag_seen(), 10000);
    const pid_t first_pid = pid_t(r.bridge.processId());
    if (first == "killed") {
        r.bridge.kill();
        QVERIFY(r.bridge.waitForFinished(5000));
        QVERIFY(r.wait(topic("status"), "offline"));
    } else if (first == "hung") {
        ::kill(first_pid, SIGSTOP);
    }
    const int from = r.watch.messages().size();

    second_bridge second;
    QVERIFY(second.start({"-p", QString::number(r.line.port), "--broker", r.broker.address(),
                          "--interval", "100"}));
    if (first == "alive") {
        QVERIFY2(second.process.waitForFinished(20000), second.log.constData());
        second.log += second.process.readAllStandardError();
        QCOMPARE(second.process.exitCode(), 2);
        QVERIFY2(second.log.contains("another telvard already serves bridge id telvar on the "
                                     "broker at " + r.broker.address().toUtf8()),
                 second.log.constData());
        QVERIFY2(r.wait_log("another telvard with id telvar started"), r.log.constData());
        // It never reached the line nor the first one's topics.
        QVERIFY(!second.log.contains("line main open"));
        for (const mqtt_message& m : r.watch.messages().mid(from))
            QVERIFY2(m.topic.endsWith("/bridge/probe") || m.topic.endsWith("/bridge/alive"),
                     qPrintable(m.topic + ' ' + m.payload));
        // The first goes on.
        QVERIFY(mqtt_publish(r.broker, topic("1/relay/2/set"), "ON"));
        QVERIFY(r.wait(topic("1/relay/2"), "ON", from));
        QCOMPARE(r.bridge.state(), QProcess::Running);
        return;
    }
    QVERIFY2(r.wait(topic("status"), "online", from, 20000), second.log.constData());
    if (first == "hung") {
        // The hung one dies at last; the broker sends its will; the new one answers it.
        ::kill(first_pid, SIGKILL);
        const int will = r.watch.wait_for(topic("status"), "offline", from, 20000);
        QVERIFY2(will >= 0, second.log.constData());
        QVERIFY2(r.wait(topic("status"), "online", will + 1), second.log.constData());
        QVERIFY(second.wait_log("was set offline by a last will"));
    }
    QVERIFY2(r.wait(topic("1/availability"), "online", from, 40000), second.log.constData());
    QCOMPARE(r.watch.last(topic("status")), QByteArray("online"));
    QCOMPARE(second.process.state(), QProcess::Running);
}

void tst_e2e_mqtt::remove_board_publishes_the_removal_and_ends()
{
    mosquitto_broker broker;
    QVERIFY(broker.start());
    const QString config_7 = "homeassistant/device/telvar_7/config";
    QVERIFY(mqtt_publish(broker, config_7, "{\"dev\":{}}", true));
    QVERIFY(mqtt_publish(broker, topic("7/relay/3"), "ON", true));
    mqtt_watch watch;
    QVERIFY(watch.start(broker));
    QVERIFY(watch.wait_for(config_7, "{\"dev\":{}}") >= 0);

    second_bridge removal;
    QVERIFY(removal.start({"--remove-board", "7", "--broker", broker.address()}));
    QVERIFY(removal.process.waitForFinished(15000));
    removal.log += removal.process.readAllStandardError();
    QCOMPARE(removal.process.exitCode(), 0);
    QVERIFY2(removal.log.contains("board 7 of telvar/telvar removed"), removal.log.constData());
    QVERIFY(watch.wait_for(config_7, QByteArray()) >= 0);
    QVERIFY(watch.wait_for(topic("7/relay/3"), QByteArray()) >= 0);
    // Nothing about the bridge itself: no status, no will.
    QVERIFY(watch.on(topic("status")).isEmpty());
}

void tst_e2e_mqtt::sighup_reloads_the_configuration_data()
{
    // The file after the change: $OLD the port it had, $PORT a second line.
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QString>("logged");

    QTest::newRow("boards added, dropped and renamed")
        << QByteArray("[line main]\nport = $OLD\n1 = Hall_north\n3 = Store\n")
        << "boards added: 3; boards removed: 2; boards renamed: 1";
    QTest::newRow("a bad file is refused, the old settings go on")
        << QByteArray("[line main]\n1 = Hall\n1 = Store\n")
        << "the configuration is refused, the old settings go on: $FILE:3: [line main] 1: address 1 "
           "is given twice (first on line 2)";
    QTest::newRow("another port reopens the line")
        << QByteArray("[line main]\nport = $PORT\n1 = Hall\n2 = Pump\n") << "port $PORT";
    QTest::newRow("a relay made momentary")
        << QByteArray("[line main]\nport = $OLD\n1 = Hall\n2 = Pump\n1.pulse = 2:300ms\n")
        << "line main pulses, interlocks and returns; new pulses on boards 1";
}

void tst_e2e_mqtt::sighup_reloads_the_configuration()
{
    QFETCH(QByteArray, next);
    QFETCH(QString, logged);
    bridge_rig r;
    QTemporaryDir dir;
    e2e_rig other_line;
    QVERIFY(other_line.start_sim({"--board", "1,relays=0100", "--board", "2"}));
    QVERIFY(r.line.start_sim({"--board", "1,relays=0001", "--board", "2", "--board", "3"}));
    const QString conf = write_text(
        dir, "mqtt.conf",
        QString("[line main]\nport = %1\n1 = Hall\n2 = Pump\n").arg(r.line.port).toUtf8());
    QVERIFY(r.broker.start());
    QVERIFY(r.watch.start(r.broker));
    QObject::connect(&r.bridge, &QProcess::readyReadStandardError,
                     [&r] { r.log += r.bridge.readAllStandardError(); });
    r.bridge.start(qEnvironmentVariable("TELVARD"),
                   QStringList{"--config", conf, "--broker", r.broker.address(), "--interval", "100"}
                       + own_socket());
    QVERIFY(r.wait(topic("1/availability"), "online"));
    QVERIFY(r.wait(topic("2/availability"), "online"));
    const int from = r.watch.messages().size();

    next.replace("$PORT", QByteArray::number(other_line.port));
    next.replace("$OLD", QByteArray::number(r.line.port));
    write_text(dir, "mqtt.conf", next);
    ::kill(pid_t(r.bridge.processId()), SIGHUP);
    logged.replace("$FILE", conf).replace("$PORT", QString::number(other_line.port));
    QVERIFY2(r.wait_log(logged), r.log.constData());
    QCOMPARE(r.bridge.state(), QProcess::Running);

    if (logged.startsWith("boards added")) {
        QVERIFY2(r.wait(topic("3/availability"), "online", from), r.log.constData());
        QVERIFY(r.wait("homeassistant/device/telvar_2/config", QByteArray(), from));
        QVERIFY(r.wait(topic("2/availability"), QByteArray(), from));
        const int renamed = r.watch.wait_for("homeassistant/device/telvar_1/config",
                                             r.watch.last("homeassistant/device/telvar_1/config"), from);
        QVERIFY(renamed >= 0);
        QVERIFY(r.watch.messages()[renamed].payload.contains("\"name\":\"Hall_north\""));
        // Board 1 kept its state all along.
        for (const mqtt_message& m : r.watch.messages().mid(from))
            QVERIFY2(m.topic != topic("1/availability") && m.topic != topic("1/state"),
                     qPrintable(m.topic + ' ' + m.payload));
    } else if (logged.startsWith("line main pulses")) {
        // Home Assistant gets the button, and a plain ON of the relay is released after its time.
        const int described = r.watch.wait_for("homeassistant/device/telvar_1/config",
                                               r.watch.last("homeassistant/device/telvar_1/config"), from);
        QVERIFY(described >= 0);
        QVERIFY(r.watch.messages()[described].payload.contains("\"relay2_pulse\""));
        const int asked = r.watch.messages().size();
        QVERIFY(mqtt_publish(r.broker, topic("1/relay/2/set"), "ON"));
        const int on = r.watch.wait_for(topic("1/relay/2"), "ON", asked);
        QVERIFY2(on >= 0, r.log.constData());
        QVERIFY2(r.wait(topic("1/relay/2"), "OFF", on), r.log.constData());
        QCOMPARE(r.line.sim.relays(1), QString("0001"));
    } else if (logged.startsWith("port")) {
        // The boards of the new line; the old line is closed.
        QVERIFY2(r.wait(topic("1/state"), state_of("0100"), from), r.log.constData());
        QVERIFY(r.wait(topic("1/availability"), "online", from, 20000));
        QVERIFY(mqtt_publish(r.broker, topic("1/relay/5/set"), "ON"));
        QVERIFY(r.wait(topic("1/state"), state_of("0110"), from));
        QCOMPARE(other_line.sim.relays(1), QString("0110"));
        QCOMPARE(r.line.sim.relays(1), QString("0001"));
    } else {
        // Refused: board 1 is still served under the old settings.
        QVERIFY(mqtt_publish(r.broker, topic("1/relay/16/set"), "ON"));
        QVERIFY(r.wait(topic("1/state"), state_of("8001"), from));
        for (const mqtt_message& m : r.watch.messages().mid(from))
            QVERIFY2(!m.payload.isEmpty() && m.payload != "offline",
                     qPrintable(m.topic + ' ' + m.payload));
    }
    QCOMPARE(r.watch.last(topic("status")), QByteArray("online"));
}

void tst_e2e_mqtt::polling_keeps_its_rhythm_while_the_broker_fails_data()
{
    QTest::addColumn<QString>("broker");
    QTest::addColumn<QString>("logged");  // what the bridge says while it goes on

    QTest::newRow("nobody listens") << "refused" << "connection refused";
    QTest::newRow("accepts TCP and never answers") << "silent" << "gave no MQTT answer within 10 s";
    QTest::newRow("TLS refused: a CA that did not sign the broker") << "wrong-ca" << "TLS failed";
    QTest::newRow("TLS to a port without TLS") << "plain-port" << "TLS failed";
    // The worker is still in the name lookup when the bridge stops: it is left behind.
    QTest::newRow("a name server that never answers") << "dns" << "board 1 is online";
}

void tst_e2e_mqtt::polling_keeps_its_rhythm_while_the_broker_fails()
{
    QFETCH(QString, broker);
    QFETCH(QString, logged);
    bridge_rig r;
    silent_listener silent;
    mosquitto_broker plain;
    const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(dns >= 0);
    QStringList arguments{"--interval", "200", "-v", "--broker"};
    if (broker == "refused") {
        QVERIFY(r.broker.start());
        arguments << r.broker.address();
        r.broker.kill();
    } else if (broker == "silent") {
        QVERIFY(r.broker.start());
        QVERIFY(silent.port() > 0);
        arguments << QString("127.0.0.1:%1").arg(silent.port());
    } else if (broker == "dns") {
        if (::geteuid() != 0)
            QSKIP("a private mount namespace needs root");
        // In a chroot the root is no mount point, and a namespace's mounts
        // could reach the system's: the row needs a whole system.
        if (QProcess::execute("unshare", {"--mount", "--propagation", "private", "true"}) != 0)
            QSKIP("no private mount namespace here (a chroot?): the name server row needs one");
        // A name server on a loopback address that takes every question and
        // answers none, named by the bridge's own /etc/resolv.conf.
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(0x7F00004D);  // 127.0.0.77
        QCOMPARE(::bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QVERIFY(r.broker.start());
        const QString resolv = r.broker.write_file(
            "resolv.conf", "nameserver 127.0.0.77\noptions timeout:30 attempts:1\n");
        r.launcher = QStringList{"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                 "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolv};
        arguments << "broker.telvar-test:1883";
    } else {
        QVERIFY2(r.broker.start({true, QString(), QString()}), qPrintable(r.broker.error()));
        if (broker == "wrong-ca") {
            arguments << QString("localhost:%1").arg(r.broker.port()) << "--cafile"
                      << r.broker.other_ca_file();
        } else {
            QVERIFY(plain.start());
            arguments << QString("localhost:%1").arg(plain.port()) << "--cafile" << r.broker.ca_file();
        }
    }
    if (broker == "refused") {
        // The rig's watch needs a broker; this row has none.
        QVERIFY(r.line.start_sim({"--log", "--board", "1"}));
        arguments << "-p" << QString::number(r.line.port);
        QObject::connect(&r.bridge, &QProcess::readyReadStandardError,
                         [&r] { r.log += r.bridge.readAllStandardError(); });
        r.bridge.start(qEnvironmentVariable("TELVARD"), arguments + own_socket());
    } else {
        QVERIFY2(r.start({"--log", "--board", "1"}, arguments), qPrintable(r.error));
    }
    QVERIFY2(r.wait_log(logged, 1, 30000), r.log.constData());
    // Two seconds of polls after the failure, the retry included.
    const int frames = r.line.sim.log().size();
    QTRY_VERIFY_WITH_TIMEOUT(r.line.sim.log().size() > frames + 20, 20000);
    const double gap = longest_gap_s(r.line.sim.log());
    QVERIFY2(gap < 0.5, qPrintable(QString("a gap of %1 s between polls").arg(gap)));
    QVERIFY(r.log.contains("board 1 is online"));
    if (broker == "dns")
        QVERIFY2(!r.log.contains("broker broker.telvar-test:1883: "), r.log.constData());  // still looking up
    // And it stops at once, whatever the session was doing.
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(r.bridge.processId()), SIGTERM);
    QVERIFY(r.bridge.waitForFinished(10000));
    QCOMPARE(r.bridge.exitCode(), 0);
    QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString("%1 ms to stop").arg(stopping.elapsed())));
    ::close(dns);
}

// A service manager's notify socket of the test's own, as systemd hands it
// to a Type=notify service with WatchdogSec.
void tst_e2e_mqtt::tells_systemd_it_is_ready_and_feeds_the_watchdog()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("notify"));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    QStringList told;
    auto take = [&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            told << QString::fromUtf8(buffer, int(n));
        return told.join('|');
    };

    bridge_rig r;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", QString::fromUtf8(path));
    env.insert("WATCHDOG_USEC", "900000");
    r.bridge.setProcessEnvironment(env);
    QVERIFY2(r.start({"--board", "1"}, {}), qPrintable(r.error));
    QTRY_VERIFY_WITH_TIMEOUT(take().contains("READY=1"), 20000);
    // Ready once the line is open and the session with the will is up: the
    // bridge logged that before it told, so the lines are on their way.
    QVERIFY2(r.wait_log("line main open", 1, 1000) && r.wait_log("connected to the broker", 1, 1000),
             r.log.constData());
    QTRY_VERIFY_WITH_TIMEOUT(take().count("WATCHDOG=1") >= 3, 10000);
    ::kill(pid_t(r.bridge.processId()), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(take().contains("RELOADING=1"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(take().count("READY=1") >= 2, 10000);
    ::kill(pid_t(r.bridge.processId()), SIGTERM);
    QVERIFY(r.bridge.waitForFinished(10000));
    QVERIFY(take().contains("STOPPING=1"));
    ::close(fd);
}

void tst_e2e_mqtt::journal_prefix_only_when_standard_error_is_the_journal_data()
{
    QTest::addColumn<QString>("stream");  // JOURNAL_STREAM: "self" for standard error's own
    QTest::addColumn<QString>("first");   // how the first line starts

    QTest::newRow("standard error is the journal") << "self" << "<6>serving local clients";
    QTest::newRow("inherited, but standard error is a file") << "1:2" << "telvard: serving local clients";
    QTest::newRow("no journal") << "" << "telvard: serving local clients";
}

void tst_e2e_mqtt::journal_prefix_only_when_standard_error_is_the_journal()
{
    QFETCH(QString, stream);
    QFETCH(QString, first);
    QTemporaryDir dir;
    const QString path = write_text(dir, "stderr", QByteArray());
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("JOURNAL_STREAM");
    if (stream == "self")
        stream = QString("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
    if (!stream.isEmpty())
        env.insert("JOURNAL_STREAM", stream);
    QProcess bridge;
    bridge.setProcessEnvironment(env);
    bridge.setStandardErrorFile(path, QIODevice::Append);
    bridge.start(qEnvironmentVariable("TELVARD"),
                 QStringList{"-p", "/nonexistent/tty", "--broker", "127.0.0.1:1"} + own_socket());
    QVERIFY(bridge.waitForStarted(5000));
    auto lines = [&path] {
        QFile log(path);
        return log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>();
    };
    QTRY_VERIFY_WITH_TIMEOUT(lines().size() > 2, 10000);
    bridge.kill();
    bridge.waitForFinished(5000);
    const QList<QByteArray> got = lines();
    QVERIFY2(got[0].startsWith(first.toUtf8()), got[0].constData());
    // Warnings carry their own priority in the journal, and a word elsewhere.
    QVERIFY2(got[1].startsWith(first.startsWith('<') ? "<4>" : "telvard: warning: "),
             got[1].constData());
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

void tst_e2e_mqtt::pulse_is_released_within_its_bound_data()
{
    QTest::addColumn<QString>("command");  // below T/1/; "button": what Home Assistant's button sends
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("relay");
    QTest::addColumn<int>("ms");  // from the pull-in's confirmation to the release

    QTest::newRow("pulse topic, 500ms") << "relay/5/pulse" << QByteArray("500ms") << 5 << 500;
    QTest::newRow("pulse topic, a bare number of ms") << "relay/6/pulse" << QByteArray("800") << 6 << 800;
    QTest::newRow("a momentary relay switched on by a plain set ON") << "relay/7/set" << QByteArray("ON") << 7 << 300;
    QTest::newRow("the pulse button of the momentary relay") << "button" << QByteArray() << 7 << 300;
}

void tst_e2e_mqtt::pulse_is_released_within_its_bound()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, payload);
    QFETCH(int, relay);
    QFETCH(int, ms);
    bridge_rig r;
    QTemporaryDir dir;
    const QString conf = write_text(dir, "mqtt.conf", "[line main]\n1.pulse = 7:300ms\n[mqtt]\n");
    QVERIFY2(r.start({"--log", "--board", "1,relays=0001"}, {"--config", conf}), qPrintable(r.error));
    QVERIFY2(r.wait(topic("1/availability"), "online"), r.log.constData());
    QString command_topic = topic("1/" + command);
    if (command == "button") {
        const QJsonObject button = QJsonDocument::fromJson(r.watch.last("homeassistant/device/telvar_1/config"))
                                       .object()["cmps"].toObject()["relay7_pulse"].toObject();
        command_topic = button["command_topic"].toString();
        payload = button["payload_press"].toString().toUtf8();
        QVERIFY2(!payload.isEmpty(), r.watch.last("homeassistant/device/telvar_1/config").constData());
    }
    const int frames = r.line.sim.log().size();
    const int from = r.watch.messages().size();
    QVERIFY(mqtt_publish(r.broker, command_topic, payload));
    const QString on = QString("1/relay/%1").arg(relay);
    const int pulled_in = r.watch.wait_for(topic(on), "ON", from);
    QVERIFY2(pulled_in >= 0, r.log.constData());
    QVERIFY2(r.wait(topic(on), "OFF", pulled_in, ms + 10000), r.log.constData());
    QCOMPARE(r.line.sim.relays(1), QString("0001"));

    // On the line: the pull-in, its reply, and the release after the time asked for.
    const QStringList sent = r.line.sim.log().mid(frames);
    double pulled = -1, released = -1;
    for (int i = 0; i < sent.size(); ++i) {
        const double t = sent[i].section(' ', 0, 0).toDouble();
        if (pulled < 0 && sent[i].contains(" pc>sim 55 01 12 ")) {
            for (int j = i + 1; j < sent.size() && pulled < 0; ++j)
                if (sent[j].contains(" sim>pc "))
                    pulled = sent[j].section(' ', 0, 0).toDouble();
        } else if (pulled >= 0 && sent[i].contains(" pc>sim 55 01 11 ")) {
            released = t;
            break;
        }
    }
    QVERIFY2(pulled >= 0 && released >= 0, qPrintable(sent.join('\n')));
    // Late by at most 50 ms and a frame that was on the line at the deadline.
    const double late_ms = (released - pulled) * 1000 - ms;
    QVERIFY2(late_ms > -10 && late_ms < 50 + 200, qPrintable(QString::number(late_ms)));
    qInfo("released %.1f ms after its deadline", late_ms);
    QVERIFY2(r.wait_log(QString("board 1 relay %1 ").arg(relay)), r.log.constData());
}

void tst_e2e_mqtt::discovery_and_diag_of_a_board_with_a_momentary_relay()
{
    bridge_rig r;
    QTemporaryDir dir;
    const QString conf = write_text(dir, "mqtt.conf", "[line main]\n1.pulse = 3:1.5s, 9:250ms\n[mqtt]\n");
    QVERIFY2(r.start({"--board", "1"}, {"--config", conf}), qPrintable(r.error));
    QVERIFY2(r.wait(topic("1/availability"), "online"), r.log.constData());
    const QJsonObject components =
        QJsonDocument::fromJson(r.watch.last("homeassistant/device/telvar_1/config")).object()["cmps"].toObject();
    QCOMPARE(components["relay3_pulse"].toObject()["payload_press"].toString(), QString("1500ms"));
    QCOMPARE(components["relay9_pulse"].toObject()["payload_press"].toString(), QString("250ms"));
    QCOMPARE(components["relay3_pulse"].toObject()["command_topic"].toString(), topic("1/relay/3/pulse"));
    QVERIFY(!components.contains("relay1_pulse"));
    QCOMPARE(components["link_quality"].toObject()["entity_category"].toString(), QString("diagnostic"));
    QCOMPARE(components["last_seen"].toObject()["device_class"].toString(), QString("timestamp"));

    // The diag at the connection: retained, from the link's own counts.
    QTRY_VERIFY_WITH_TIMEOUT(!r.watch.on(topic("1/diag")).isEmpty(), 10000);
    const mqtt_message first = r.watch.on(topic("1/diag")).first();
    const QJsonObject diag = QJsonDocument::fromJson(first.payload).object();
    for (const char* field : {"frames_sent", "replies_accepted", "checksum_errors", "stray_bytes",
                              "timeouts", "retries", "last_reply", "round_trip_ms", "quality"})
        QVERIFY2(diag.contains(field), first.payload.constData());
    // The line was polled while the bridge made sure no twin runs: a board that answers every poll.
    QVERIFY2(diag["frames_sent"].toInt() >= 10, first.payload.constData());
    QCOMPARE(diag["quality"].toInt(), 100);
    QCOMPARE(diag["timeouts"].toInt(), 0);
    const QDateTime seen = QDateTime::fromString(diag["last_reply"].toString(), Qt::ISODateWithMs);
    QVERIFY2(seen.isValid() && seen.timeSpec() == Qt::UTC, first.payload.constData());
    QVERIFY(qAbs(seen.msecsTo(QDateTime::currentDateTimeUtc())) < 60000);
    QVERIFY(diag["round_trip_ms"].isDouble());
    // Retained: a later subscriber finds it.
    mqtt_watch late;
    QVERIFY(late.start(r.broker, topic("1/diag")));
    QTRY_VERIFY_WITH_TIMEOUT(!late.on(topic("1/diag")).isEmpty(), 5000);
    QVERIFY(late.on(topic("1/diag")).first().retained);
}

QTEST_GUILESS_MAIN(tst_e2e_mqtt)
#include "tst_e2e_mqtt.moc"

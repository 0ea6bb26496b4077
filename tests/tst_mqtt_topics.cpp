// What the bridge makes of an incoming message, and what it publishes for
// Home Assistant: a command only from an exact set topic and payload of a
// served board, never from a retained message; everything else refused with
// a reason and nothing sent.
#include "mqtt/discovery.h"
#include "mqtt/topics.h"
#include "mqtt/twin_check.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace telvar::mqtt;

class tst_mqtt_topics : public QObject
{
    Q_OBJECT
private slots:
    void classify_data();
    void classify();
    void state_payload_lists_relay_1_first();
    void discovery_describes_sixteen_switches();
    void twin_rule_data();
    void twin_rule();
};

void tst_mqtt_topics::classify_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    // command: "ADDR RELAY on|off|toggle" (relay 0 for all); refused: a fragment of
    // the reason; stale: "stale ADDR"; "online"; "" for not mine
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");

    const QString t = "site/hall/";
    QTest::newRow("relay on") << t + "2/relay/5/set" << QByteArray("ON") << false << "command" << "2 5 on";
    QTest::newRow("relay off, relay 16") << t + "2/relay/16/set" << QByteArray("OFF") << false << "command" << "2 16 off";
    QTest::newRow("toggle") << t + "7/relay/1/set" << QByteArray("TOGGLE") << false << "command" << "7 1 toggle";
    QTest::newRow("all on") << t + "2/all/set" << QByteArray("ON") << false << "command" << "2 0 on";
    QTest::newRow("all off") << t + "7/all/set" << QByteArray("OFF") << false << "command" << "7 0 off";
    QTest::newRow("retained command") << t + "2/relay/5/set" << QByteArray("ON") << true << "refused" << "arrived retained";
    QTest::newRow("retained all") << t + "2/all/set" << QByteArray("OFF") << true << "refused" << "arrived retained";
    QTest::newRow("lower case payload") << t + "2/relay/5/set" << QByteArray("on") << false << "refused" << "not ON, OFF or TOGGLE";
    QTest::newRow("payload with a newline") << t + "2/relay/5/set" << QByteArray("ON\n") << false << "refused" << "\"ON\\x0a\": the payload";
    QTest::newRow("empty payload") << t + "2/relay/5/set" << QByteArray() << false << "refused" << "not ON, OFF or TOGGLE";
    QTest::newRow("toggle for all sixteen") << t + "2/all/set" << QByteArray("TOGGLE") << false << "refused" << "not ON or OFF";
    QTest::newRow("relay 0") << t + "2/relay/0/set" << QByteArray("ON") << false << "refused" << "\"0\" is not a relay number";
    QTest::newRow("relay 17") << t + "2/relay/17/set" << QByteArray("ON") << false << "refused" << "\"17\" is not a relay number";
    QTest::newRow("relay with a leading zero") << t + "2/relay/05/set" << QByteArray("ON") << false << "refused" << "\"05\" is not a relay";
    QTest::newRow("relay a word") << t + "2/relay/five/set" << QByteArray("ON") << false << "refused" << "\"five\" is not a relay";
    QTest::newRow("address not served") << t + "3/relay/1/set" << QByteArray("ON") << false << "refused" << "serves no board 3 (it serves 2, 7)";
    QTest::newRow("address 256") << t + "256/relay/1/set" << QByteArray("ON") << false << "refused" << "\"256\" is not a board address";
    QTest::newRow("terminal escape in the topic is shown escaped")
        << t + "\x1b[2J/all/set" << QByteArray("ON") << false << "refused"
        << "site/hall/\\x1b[2J/all/set \"ON\": \"\\x1b[2J\" is not a board address";
    QTest::newRow("address signed") << t + "+2/all/set" << QByteArray("ON") << false << "refused" << "\"+2\" is not a board address";
    QTest::newRow("another bridge's command") << "site/other/2/relay/5/set" << QByteArray("ON") << false << "" << "";
    QTest::newRow("a level too many") << t + "2/relay/5/x/set" << QByteArray("ON") << false << "" << "";
    QTest::newRow("own state topic") << t + "2/relay/5" << QByteArray("ON") << false << "" << "";
    QTest::newRow("prefix alone") << "site/hall" << QByteArray("ON") << false << "" << "";
    QTest::newRow("Home Assistant online") << "ha/status" << QByteArray("online") << false << "online" << "";
    QTest::newRow("Home Assistant online, retained") << "ha/status" << QByteArray("online") << true << "" << "";
    QTest::newRow("Home Assistant offline") << "ha/status" << QByteArray("offline") << false << "" << "";
    QTest::newRow("own config of a removed board") << "ha/device/hall_9/config" << QByteArray("{}") << true << "stale" << "9";
    QTest::newRow("own config of a board just dropped, coming back live") << "ha/device/hall_9/config" << QByteArray("{}") << false << "" << "";
    QTest::newRow("own config of a served board") << "ha/device/hall_2/config" << QByteArray("{}") << true << "" << "";
    QTest::newRow("config already cleared") << "ha/device/hall_9/config" << QByteArray() << true << "" << "";
    QTest::newRow("config of a bridge whose id extends ours") << "ha/device/hall_2_9/config" << QByteArray("{}") << true << "" << "";
    QTest::newRow("config of another bridge") << "ha/device/hallway_9/config" << QByteArray("{}") << true << "" << "";
}

void tst_mqtt_topics::classify()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QString, kind);
    QFETCH(QString, expected);

    const topic_scheme topics("site", "hall", "ha");
    const incoming in = telvar::mqtt::classify(topics, {2, 7}, topic, payload, retained);
    static const char* kinds[] = {"", "command", "refused", "online", "stale"};
    QCOMPARE(QString(kinds[int(in.what)]), kind);
    if (kind == "command") {
        static const char* actions[] = {"on", "off", "toggle"};
        QCOMPARE(QString("%1 %2 %3").arg(in.cmd.address).arg(in.cmd.relay).arg(actions[int(in.cmd.what)]),
                 expected);
        // The command topic the bridge would name for it is the one it came on.
        QCOMPARE(in.cmd.relay ? topics.relay_set(in.cmd.address, in.cmd.relay)
                              : topics.all_set(in.cmd.address),
                 topic);
    } else if (kind == "refused") {
        // The topic leads, escaped as it would reach a terminal or the journal.
        QVERIFY2(in.reason.startsWith(printable(topic.toUtf8(), 200)) && in.reason.contains(expected),
                 qPrintable(in.reason));
    } else if (kind == "stale") {
        QCOMPARE(QString::number(in.address), expected);
    }
}

void tst_mqtt_topics::state_payload_lists_relay_1_first()
{
    telvar::link::relay_states relays{};
    relays[0] = true;
    relays[15] = true;
    QCOMPARE(state_payload(relays),
             QByteArray("{\"relays\":[true,false,false,false,false,false,false,false,"
                        "false,false,false,false,false,false,false,true]}"));
}

void tst_mqtt_topics::discovery_describes_sixteen_switches()
{
    const topic_scheme topics("site", "hall", "ha");
    QCOMPARE(topics.discovery_config(7), QString("ha/device/hall_7/config"));
    const QJsonObject config = QJsonDocument::fromJson(discovery_payload(topics, 7, "Pump_room")).object();

    const QJsonObject device = config["dev"].toObject();
    QCOMPARE(device["identifiers"].toArray(), QJsonArray{"hall_7"});
    QCOMPARE(device["name"].toString(), QString("Pump_room"));
    QVERIFY(!device["manufacturer"].toString().isEmpty());
    QVERIFY(!device["model"].toString().isEmpty());
    QVERIFY(!device["sw_version"].toString().isEmpty());
    QCOMPARE(config["o"].toObject()["name"].toString(), QString("telvar-mqtt"));
    QCOMPARE(config["availability_mode"].toString(), QString("all"));
    QCOMPARE(config["availability"].toArray(),
             (QJsonArray{QJsonObject{{"topic", "site/hall/status"}},
                         QJsonObject{{"topic", "site/hall/7/availability"}}}));

    const QJsonObject components = config["cmps"].toObject();
    QCOMPARE(components.size(), 16);
    for (int n = 1; n <= 16; ++n) {
        const QJsonObject c = components[QString("relay%1").arg(n)].toObject();
        QCOMPARE(c["p"].toString(), QString("switch"));
        QCOMPARE(c["unique_id"].toString(), QString("hall_7_relay%1").arg(n));
        QCOMPARE(c["command_topic"].toString(), QString("site/hall/7/relay/%1/set").arg(n));
        QCOMPARE(c["state_topic"].toString(), QString("site/hall/7/relay/%1").arg(n));
        QCOMPARE(c["retain"], QJsonValue(false));
    }
}

void tst_mqtt_topics::twin_rule_data()
{
    QTest::addColumn<QString>("topic");    // below T/bridge/
    QTest::addColumn<QByteArray>("other");  // its payload; SINCE is this bridge's start
    QTest::addColumn<QString>("verdict");

    const QByteArray older = R"({"instance":"aaaa0000","since":999,"host":"pc","pid":7})";
    const QByteArray younger = R"({"instance":"aaaa0000","since":1001,"host":"pc","pid":7})";
    QTest::newRow("a younger twin asks") << "probe" << younger << "answer";
    QTest::newRow("an older twin asks") << "probe" << older << "yield";
    QTest::newRow("an older twin answers") << "alive" << older << "yield";
    QTest::newRow("a younger twin answers our question") << "alive" << younger << "none";
    QTest::newRow("same start, the smaller token stays")
        << "probe" << QByteArray(R"({"instance":"00000001","since":1000})") << "yield";
    QTest::newRow("same start, a larger token is younger")
        << "probe" << QByteArray(R"({"instance":"ffffffff","since":1000})") << "answer";
    QTest::newRow("our own question echoed")
        << "probe" << QByteArray(R"({"instance":"80000000","since":1000})") << "none";
    QTest::newRow("not JSON") << "probe" << QByteArray("hello") << "none";
    QTest::newRow("no start time") << "probe" << QByteArray(R"({"instance":"aaaa0000"})") << "none";
    QTest::newRow("another level under bridge/") << "other" << older << "none";
}

void tst_mqtt_topics::twin_rule()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, other);
    QFETCH(QString, verdict);
    bridge_identity self;
    self.token = "80000000";
    self.since_ms = 1000;
    const topic_scheme topics("site", "hall", "ha");
    const twin_check check(topics, self);
    const twin_check::verdict v = check.judge("site/hall/bridge/" + topic, other);
    const char* names[] = {"none", "answer", "yield"};
    QCOMPARE(QString(names[int(v.what)]), verdict);
    // Another bridge id is another set of topics.
    QCOMPARE(int(check.judge("site/hallway/bridge/" + topic, other).what), 0);
}

QTEST_GUILESS_MAIN(tst_mqtt_topics)
#include "tst_mqtt_topics.moc"

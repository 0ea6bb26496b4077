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
    void discovery_adds_pulse_buttons_and_link_sensors_data();
    void discovery_adds_pulse_buttons_and_link_sensors();
    void diag_payload_data();
    void diag_payload();
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
    QTest::addColumn<QStringList>("lines");  // the service's lines; boards 2, 7 of the first, 3 of the second

    const QString t = "site/hall/";
    QTest::newRow("relay on") << t + "2/relay/5/set" << QByteArray("ON") << false << "command" << "2 5 on" << QStringList{};
    QTest::newRow("relay off, relay 16") << t + "2/relay/16/set" << QByteArray("OFF") << false << "command" << "2 16 off" << QStringList{};
    QTest::newRow("toggle") << t + "7/relay/1/set" << QByteArray("TOGGLE") << false << "command" << "7 1 toggle" << QStringList{};
    QTest::newRow("all on") << t + "2/all/set" << QByteArray("ON") << false << "command" << "2 0 on" << QStringList{};
    QTest::newRow("all off") << t + "7/all/set" << QByteArray("OFF") << false << "command" << "7 0 off" << QStringList{};
    QTest::newRow("retained command") << t + "2/relay/5/set" << QByteArray("ON") << true << "refused" << "arrived retained" << QStringList{};
    QTest::newRow("retained all") << t + "2/all/set" << QByteArray("OFF") << true << "refused" << "arrived retained" << QStringList{};
    QTest::newRow("lower case payload") << t + "2/relay/5/set" << QByteArray("on") << false << "refused" << "not ON, OFF or TOGGLE" << QStringList{};
    QTest::newRow("payload with a newline") << t + "2/relay/5/set" << QByteArray("ON\n") << false << "refused" << "\"ON\\x0a\": the payload" << QStringList{};
    QTest::newRow("empty payload") << t + "2/relay/5/set" << QByteArray() << false << "refused" << "not ON, OFF or TOGGLE" << QStringList{};
    QTest::newRow("toggle for all sixteen") << t + "2/all/set" << QByteArray("TOGGLE") << false << "refused" << "not ON or OFF" << QStringList{};
    QTest::newRow("relay 0") << t + "2/relay/0/set" << QByteArray("ON") << false << "refused" << "\"0\" is not a relay number" << QStringList{};
    QTest::newRow("relay 17") << t + "2/relay/17/set" << QByteArray("ON") << false << "refused" << "\"17\" is not a relay number" << QStringList{};
    QTest::newRow("relay with a leading zero") << t + "2/relay/05/set" << QByteArray("ON") << false << "refused" << "\"05\" is not a relay" << QStringList{};
    QTest::newRow("relay a word") << t + "2/relay/five/set" << QByteArray("ON") << false << "refused" << "\"five\" is not a relay" << QStringList{};
    QTest::newRow("address not served") << t + "3/relay/1/set" << QByteArray("ON") << false << "refused" << "serves no board 3 (it serves 2, 7)" << QStringList{};
    QTest::newRow("address 256") << t + "256/relay/1/set" << QByteArray("ON") << false << "refused" << "\"256\" is not a board address" << QStringList{};
    QTest::newRow("terminal escape in the topic is shown escaped")
        << t + "\x1b[2J/all/set" << QByteArray("ON") << false << "refused"
        << "site/hall/\\x1b[2J/all/set \"ON\": \"\\x1b[2J\" is not a board address" << QStringList{};
    QTest::newRow("address signed") << t + "+2/all/set" << QByteArray("ON") << false << "refused" << "\"+2\" is not a board address" << QStringList{};
    QTest::newRow("another bridge's command") << "site/other/2/relay/5/set" << QByteArray("ON") << false << "" << "" << QStringList{};
    QTest::newRow("a level too many") << t + "2/relay/5/x/set" << QByteArray("ON") << false << "" << "" << QStringList{};
    QTest::newRow("own state topic") << t + "2/relay/5" << QByteArray("ON") << false << "" << "" << QStringList{};
    QTest::newRow("prefix alone") << "site/hall" << QByteArray("ON") << false << "" << "" << QStringList{};
    QTest::newRow("Home Assistant online") << "ha/status" << QByteArray("online") << false << "online" << "" << QStringList{};
    QTest::newRow("Home Assistant online, retained") << "ha/status" << QByteArray("online") << true << "" << "" << QStringList{};
    QTest::newRow("Home Assistant offline") << "ha/status" << QByteArray("offline") << false << "" << "" << QStringList{};
    QTest::newRow("own config of a removed board") << "ha/device/hall_9/config" << QByteArray("{}") << true << "stale" << "9" << QStringList{};
    QTest::newRow("own config of a board just dropped, coming back live") << "ha/device/hall_9/config" << QByteArray("{}") << false << "" << "" << QStringList{};
    QTest::newRow("own config of a served board") << "ha/device/hall_2/config" << QByteArray("{}") << true << "" << "" << QStringList{};
    QTest::newRow("config already cleared") << "ha/device/hall_9/config" << QByteArray() << true << "" << "" << QStringList{};
    QTest::newRow("config of a bridge whose id extends ours") << "ha/device/hall_2_9/config" << QByteArray("{}") << true << "" << "" << QStringList{};
    QTest::newRow("config of another bridge") << "ha/device/hallway_9/config" << QByteArray("{}") << true << "" << "" << QStringList{};
    QTest::newRow("pulse in milliseconds") << t + "2/relay/5/pulse" << QByteArray("500ms") << false << "command" << "2 5 pulse 500" << QStringList{};
    QTest::newRow("pulse in seconds, relay 16") << t + "7/relay/16/pulse" << QByteArray("2s") << false << "command" << "7 16 pulse 2000" << QStringList{};
    QTest::newRow("pulse as a bare number of ms") << t + "2/relay/1/pulse" << QByteArray("1500") << false << "command" << "2 1 pulse 1500" << QStringList{};
    QTest::newRow("pulse of a fraction of a minute") << t + "2/relay/1/pulse" << QByteArray("1.5m") << false << "command" << "2 1 pulse 90000" << QStringList{};
    QTest::newRow("pulse of a whole day") << t + "2/relay/1/pulse" << QByteArray("24h") << false << "command" << "2 1 pulse 86400000" << QStringList{};
    QTest::newRow("pulse too short") << t + "2/relay/1/pulse" << QByteArray("99") << false << "refused" << "not a duration from 100ms to 24h" << QStringList{};
    QTest::newRow("pulse longer than a day") << t + "2/relay/1/pulse" << QByteArray("25h") << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse of ON") << t + "2/relay/1/pulse" << QByteArray("ON") << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse, empty") << t + "2/relay/1/pulse" << QByteArray() << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse with a newline") << t + "2/relay/1/pulse" << QByteArray("2s\n") << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse, negative") << t + "2/relay/1/pulse" << QByteArray("-500") << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse with digits past 64 bits") << t + "2/relay/1/pulse" << QByteArray("99999999999999999999") << false << "refused" << "not a duration" << QStringList{};
    QTest::newRow("pulse, retained") << t + "2/relay/1/pulse" << QByteArray("2s") << true << "refused" << "arrived retained" << QStringList{};
    QTest::newRow("pulse of relay 17") << t + "2/relay/17/pulse" << QByteArray("2s") << false << "refused" << "\"17\" is not a relay number" << QStringList{};
    QTest::newRow("pulse of a board not served") << t + "3/relay/1/pulse" << QByteArray("2s") << false << "refused" << "serves no board 3" << QStringList{};
    QTest::newRow("pulse of all sixteen is no topic") << t + "2/all/pulse" << QByteArray("2s") << false << "" << "" << QStringList{};
    QTest::newRow("own diag topic") << t + "2/diag" << QByteArray("{}") << false << "" << "" << QStringList{};
    QTest::newRow("lines: pulse") << t + "yard/3/relay/2/pulse" << QByteArray("300ms") << false << "command" << "yard/3 2 pulse 300" << QStringList{"north", "yard"};
    QTest::newRow("lines: relay on") << t + "yard/3/relay/5/set" << QByteArray("ON") << false << "command" << "yard/3 5 on" << QStringList{"north", "yard"};
    QTest::newRow("lines: all off") << t + "north/2/all/set" << QByteArray("OFF") << false << "command" << "north/2 0 off" << QStringList{"north", "yard"};
    QTest::newRow("lines: a board of the other line") << t + "north/3/relay/1/set" << QByteArray("ON") << false << "refused" << "serves no board 3 on line north (it serves north/2, north/7, yard/3)" << QStringList{"north", "yard"};
    QTest::newRow("lines: no such line") << t + "south/2/all/set" << QByteArray("ON") << false << "refused" << "\"south\" is not a line of this service (north, yard)" << QStringList{"north", "yard"};
    QTest::newRow("lines: the address without its line") << t + "2/relay/5/set" << QByteArray("ON") << false << "" << "" << QStringList{"north", "yard"};
    QTest::newRow("lines: a number for the line") << t + "2/3/relay/5/set" << QByteArray("ON") << false << "refused" << "\"2\" is not a line" << QStringList{"north", "yard"};
    QTest::newRow("lines: own config of a removed board") << "ha/device/hall_yard_9/config" << QByteArray("{}") << true << "stale" << "yard/9" << QStringList{"north", "yard"};
    QTest::newRow("lines: own config of a served board") << "ha/device/hall_yard_3/config" << QByteArray("{}") << true << "" << "" << QStringList{"north", "yard"};
    QTest::newRow("lines: config of a line not served") << "ha/device/hall_south_3/config" << QByteArray("{}") << true << "" << "" << QStringList{"north", "yard"};
}

void tst_mqtt_topics::classify()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(QStringList, lines);

    const topic_scheme topics("site", "hall", "ha", lines);
    const incoming in =
        telvar::mqtt::classify(topics, lines.isEmpty() ? QSet<int>{2, 7} : QSet<int>{2, 7, board_key(1, 3)},
                               topic, payload, retained);
    static const char* kinds[] = {"", "command", "refused", "online", "stale"};
    QCOMPARE(QString(kinds[int(in.what)]), kind);
    if (kind == "command") {
        static const char* actions[] = {"on", "off", "toggle", "pulse"};
        const bool pulse = in.cmd.what == command::action::pulse;
        QCOMPARE(QString("%1 %2 %3").arg(topics.board_level(in.cmd.address)).arg(in.cmd.relay).arg(actions[int(in.cmd.what)])
                     + (pulse ? QString(" %1").arg(in.cmd.pulse_ms) : QString()),
                 expected);
        // The command topic the bridge would name for it is the one it came on.
        QCOMPARE(pulse         ? topics.relay_pulse(in.cmd.address, in.cmd.relay)
                 : in.cmd.relay ? topics.relay_set(in.cmd.address, in.cmd.relay)
                                : topics.all_set(in.cmd.address),
                 topic);
    } else if (kind == "refused") {
        // The topic leads, escaped as it would reach a terminal or the journal.
        QVERIFY2(in.reason.startsWith(printable(topic.toUtf8(), 200)) && in.reason.contains(expected),
                 qPrintable(in.reason));
    } else if (kind == "stale") {
        QCOMPARE(topics.board_level(in.address), expected);
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
    QCOMPARE(config["o"].toObject()["name"].toString(), QString("telvard"));
    QCOMPARE(config["availability_mode"].toString(), QString("all"));
    QCOMPARE(config["availability"].toArray(),
             (QJsonArray{QJsonObject{{"topic", "site/hall/status"}},
                         QJsonObject{{"topic", "site/hall/7/availability"}}}));

    const QJsonObject components = config["cmps"].toObject();
    QCOMPARE(components.size(), 16 + 2);  // and the link's two sensors
    for (int n = 1; n <= 16; ++n) {
        const QJsonObject c = components[QString("relay%1").arg(n)].toObject();
        QCOMPARE(c["p"].toString(), QString("switch"));
        QCOMPARE(c["unique_id"].toString(), QString("hall_7_relay%1").arg(n));
        QCOMPARE(c["command_topic"].toString(), QString("site/hall/7/relay/%1/set").arg(n));
        QCOMPARE(c["state_topic"].toString(), QString("site/hall/7/relay/%1").arg(n));
        QCOMPARE(c["retain"], QJsonValue(false));
    }
}

void tst_mqtt_topics::discovery_adds_pulse_buttons_and_link_sensors_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<int>>("relays");       // with a configured pulse
    QTest::addColumn<QList<qint64>>("ms");        // their pulses
    QTest::addColumn<QStringList>("presses");     // the buttons' payloads, relay by relay

    QTest::newRow("no pulse: no button") << QStringList{} << QList<int>{} << QList<qint64>{} << QStringList{};
    QTest::newRow("two momentary relays")
        << QStringList{} << QList<int>{3, 16} << QList<qint64>{500, 2000} << QStringList{"500ms", "2s"};
    QTest::newRow("a minute and a half, on a second line")
        << QStringList{"north", "yard"} << QList<int>{1} << QList<qint64>{90000} << QStringList{"90s"};
    QTest::newRow("a pulse of 1.25 s")
        << QStringList{} << QList<int>{7} << QList<qint64>{1250} << QStringList{"1250ms"};
}

void tst_mqtt_topics::discovery_adds_pulse_buttons_and_link_sensors()
{
    QFETCH(QStringList, lines);
    QFETCH(QList<int>, relays);
    QFETCH(QList<qint64>, ms);
    QFETCH(QStringList, presses);
    const topic_scheme topics("site", "hall", "ha", lines);
    const int key = lines.isEmpty() ? 7 : board_key(1, 7);
    const QString B = lines.isEmpty() ? "7" : "yard/7";
    const QString id = lines.isEmpty() ? "hall_7" : "hall_yard_7";
    std::map<int, qint64> pulses;
    for (int i = 0; i < relays.size(); ++i)
        pulses[relays[i]] = ms[i];
    const QJsonObject components =
        QJsonDocument::fromJson(discovery_payload(topics, key, "Gate", pulses)).object()["cmps"].toObject();
    QCOMPARE(components.size(), 16 + 2 + int(relays.size()));
    for (int i = 0; i < relays.size(); ++i) {
        const QJsonObject b = components[QString("relay%1_pulse").arg(relays[i])].toObject();
        QCOMPARE(b["p"].toString(), QString("button"));
        QCOMPARE(b["name"].toString(), QString("Relay %1 pulse").arg(relays[i]));
        QCOMPARE(b["unique_id"].toString(), QString("%1_relay%2_pulse").arg(id).arg(relays[i]));
        QCOMPARE(b["command_topic"].toString(), QString("site/hall/%1/relay/%2/pulse").arg(B).arg(relays[i]));
        QCOMPARE(b["payload_press"].toString(), presses[i]);
        // What the button sends is what the pulse topic takes, the configured time.
        QCOMPARE(pulse_payload_ms(presses[i].toUtf8()).value_or(-1), ms[i]);
        QCOMPARE(b["retain"], QJsonValue(false));
    }
    const QJsonArray bridge_only{QJsonObject{{"topic", "site/hall/status"}}};
    const QJsonObject quality = components["link_quality"].toObject();
    QCOMPARE(quality["p"].toString(), QString("sensor"));
    QCOMPARE(quality["name"].toString(), QString("Link quality"));
    QCOMPARE(quality["unique_id"].toString(), id + "_link_quality");
    QCOMPARE(quality["state_topic"].toString(), "site/hall/" + B + "/diag");
    QCOMPARE(quality["value_template"].toString(), QString("{{ value_json.quality }}"));
    QCOMPARE(quality["unit_of_measurement"].toString(), QString("%"));
    QCOMPARE(quality["entity_category"].toString(), QString("diagnostic"));
    QCOMPARE(quality["availability"].toArray(), bridge_only);
    const QJsonObject seen = components["last_seen"].toObject();
    QCOMPARE(seen["p"].toString(), QString("sensor"));
    QCOMPARE(seen["name"].toString(), QString("Last seen"));
    QCOMPARE(seen["unique_id"].toString(), id + "_last_seen");
    QCOMPARE(seen["state_topic"].toString(), "site/hall/" + B + "/diag");
    QCOMPARE(seen["value_template"].toString(), QString("{{ value_json.last_reply }}"));
    QCOMPARE(seen["device_class"].toString(), QString("timestamp"));
    QCOMPARE(seen["entity_category"].toString(), QString("diagnostic"));
    QCOMPARE(seen["availability"].toArray(), bridge_only);
    // A board's retained topics, cleared when it is removed, include its diag.
    QVERIFY(topics.board_topics(key).contains("site/hall/" + B + "/diag"));
}

void tst_mqtt_topics::diag_payload_data()
{
    QTest::addColumn<qint64>("last_reply_ms");
    QTest::addColumn<int>("round_trip");
    QTest::addColumn<int>("quality");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("never answered: nulls, not zeros")
        << qint64(-1) << -1 << -1
        << QByteArray(R"({"checksum_errors":3,"frames_sent":10,"last_reply":null,"quality":null,)"
                      R"("replies_accepted":8,"retries":2,"round_trip_ms":null,"stray_bytes":4,"timeouts":1})");
    QTest::newRow("answered: the time in UTC with its zone")
        << qint64(1765297800123) << 35 << 80
        << QByteArray(R"({"checksum_errors":3,"frames_sent":10,"last_reply":"2025-12-09T16:30:00.123Z",)"
                      R"("quality":80,"replies_accepted":8,"retries":2,"round_trip_ms":35,"stray_bytes":4,"timeouts":1})");
}

void tst_mqtt_topics::diag_payload()
{
    QFETCH(qint64, last_reply_ms);
    QFETCH(int, round_trip);
    QFETCH(int, quality);
    QFETCH(QByteArray, expected);
    telvar::link::board_health h;
    h.frames_sent = 10;
    h.replies_accepted = 8;
    h.checksum_errors = 3;
    h.stray_bytes = 4;
    h.timeouts = 1;
    h.retries = 2;
    h.last_reply_ms = last_reply_ms;
    h.round_trip_p50_ms = round_trip;
    h.quality_percent = quality;
    QCOMPARE(telvar::mqtt::diag_payload(h), expected);
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

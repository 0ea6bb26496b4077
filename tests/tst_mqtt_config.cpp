// telvar-mqtt's settings: the file and the command line over it, and every
// refusal naming the file, line and key (or the option) before anything runs.
#include "mqtt/bridge_config.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace telvar::mqtt;

class tst_mqtt_config : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void password_file_open_to_others_is_warned_data();
    void password_file_open_to_others_is_warned();
    void program_refuses_with_status_2();
    void shipped_example_gives_the_defaults();

private:
    config_result load(QByteArray file_text, QStringList arguments);
    QTemporaryDir dir_;
};

void tst_mqtt_config::initTestCase()
{
    QVERIFY(dir_.isValid());
    QFile pw(dir_.filePath("pw"));
    QVERIFY(pw.open(QIODevice::WriteOnly));
    pw.write("s3cret word\r\nsecond line\n");
    pw.close();
    for (const char* name : {"ca.crt", "client.crt", "client.key"}) {
        QFile f(dir_.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QFile empty(dir_.filePath("empty-pw"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
}

// $DIR in the text and the arguments is the test's folder; an empty text: no file.
config_result tst_mqtt_config::load(QByteArray file_text, QStringList arguments)
{
    file_text.replace("$DIR", QFile::encodeName(dir_.path()));
    for (QString& a : arguments)
        a.replace("$DIR", dir_.path());
    QStringList args{"telvar-mqtt"};
    if (!file_text.isEmpty()) {
        QFile f(dir_.filePath("mqtt.conf"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(file_text);
        args << "--config" << f.fileName();
    }
    return load_configuration(args + arguments, dir_.filePath("no-default.conf"));
}

void tst_mqtt_config::accepted_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    // port boards broker id prefix discovery interval user password
    QTest::addColumn<QString>("expected");

    QTest::newRow("defaults") << QByteArray() << QStringList{}
                              << "1|1|localhost:1883|telvar|telvar|homeassistant|200||-";
    QTest::newRow("every key of the file, with comments and blank lines")
        << QByteArray("; bridge\n[serial]\nport = /dev/ttyUSB0\ninterval = 500\n\n[mqtt]\n"
                      "# the broker\nbroker = broker.lan:1884\nid = hall-2\nprefix = site/relays\n"
                      "discovery_prefix = off\nusername = bridge\npassword_file = $DIR/pw\n"
                      "[boards]\n3 = Hall\n1 = Pump_room\n")
        << QStringList{} << "/dev/ttyUSB0|3,1|broker.lan:1884|hall-2|site/relays||500|bridge|s3cret word";
    QTest::newRow("command line over the file")
        << QByteArray("[serial]\nport = 2\n[mqtt]\nbroker = a:1884\nid = one\n[boards]\n5 = Five\n")
        << QStringList{"-p", "3", "--broker", "b", "--id", "two", "--boards", "7,5", "--interval",
                       "50"}
        << "3|7,5|b:1883|two|telvar|homeassistant|50||-";
    QTest::newRow("TLS without a port goes to 8883")
        << QByteArray() << QStringList{"--cafile", "$DIR/ca.crt", "--broker", "[::1]"}
        << "1|1|::1:8883|telvar|telvar|homeassistant|200||-";
    QTest::newRow("TLS with a port and a client certificate")
        << QByteArray("[mqtt]\ncafile = $DIR/ca.crt\ncertfile = $DIR/client.crt\n"
                      "keyfile = $DIR/client.key\nbroker = localhost:9999\n")
        << QStringList{} << "1|1|localhost:9999|telvar|telvar|homeassistant|200||-";
    QTest::newRow("empty optional keys are left out")
        << QByteArray("[mqtt]\nusername =\ncafile =\n") << QStringList{}
        << "1|1|localhost:1883|telvar|telvar|homeassistant|200||-";
    QTest::newRow("UTF-8 byte order mark and CRLF lines")
        << QByteArray("\xEF\xBB\xBF[serial]\r\nport = COM4\r\n") << QStringList{}
        << "4|1|localhost:1883|telvar|telvar|homeassistant|200||-";
}

void tst_mqtt_config::accepted()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const config_result r = load(file, arguments);
    QCOMPARE(r.text, QString());
    QCOMPARE(int(r.what), int(config_result::action::run));
    const bridge_config& c = r.config;
    QStringList boards;
    for (int b : c.boards)
        boards << QString::number(b);
    const QString port = c.port.path.isEmpty() ? QString::number(c.port.number) : c.port.path;
    const QString got = QStringList{port,
                                    boards.join(','),
                                    c.broker_host + ':' + QString::number(c.broker_port),
                                    c.bridge_id,
                                    c.prefix,
                                    c.discovery_prefix,
                                    QString::number(c.interval_ms),
                                    c.username,
                                    c.has_password ? c.password : "-"}
                            .join('|');
    QCOMPARE(got, expected.replace("$DIR", dir_.path()));
}

void tst_mqtt_config::refused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");  // how the refusal starts, after the folder

    QTest::newRow("unknown key") << QByteArray("[mqtt]\nbroker = x\nbrokr = y\n") << QStringList{}
                                 << "mqtt.conf:3: [mqtt] brokr: unknown key";
    QTest::newRow("unknown section") << QByteArray("[serial]\nport = 1\n[radio]\n")
                                     << QStringList{} << "mqtt.conf:3: [radio]: unknown section";
    QTest::newRow("key outside a section") << QByteArray("port = 1\n") << QStringList{}
                                           << "mqtt.conf:1: port: the key comes before";
    QTest::newRow("line without =") << QByteArray("[serial]\n\nport 1\n") << QStringList{}
                                    << "mqtt.conf:3: expected";
    QTest::newRow("address out of range") << QByteArray("[boards]\n1 = A\n256 = B\n")
                                          << QStringList{} << "mqtt.conf:3: [boards] 256: a board's key";
    QTest::newRow("duplicate address, written differently")
        << QByteArray("[boards]\n1 = A\n2 = B\n01 = C\n") << QStringList{}
        << "mqtt.conf:4: [boards] 01: address 1 is given twice (first on line 2)";
    QTest::newRow("key given twice") << QByteArray("[serial]\nport = 1\nport = 2\n")
                                     << QStringList{} << "mqtt.conf:3: [serial] port: the key is given twice";
    QTest::newRow("empty board name") << QByteArray("[boards]\n4 =\n") << QStringList{}
                                      << "mqtt.conf:2: [boards] 4: \"\" is not a board name";
    QTest::newRow("board name with a space") << QByteArray("[boards]\n4 = Pump room\n")
                                             << QStringList{} << "mqtt.conf:2: [boards] 4: \"Pump room\"";
    QTest::newRow("bridge id with a slash") << QByteArray("[mqtt]\nid = a/b\n") << QStringList{}
                                            << "mqtt.conf:2: [mqtt] id: \"a/b\" is not a bridge id";
    QTest::newRow("prefix with a wildcard") << QByteArray("[mqtt]\nprefix = a/#\n") << QStringList{}
                                            << "mqtt.conf:2: [mqtt] prefix:";
    QTest::newRow("interval too short") << QByteArray("[serial]\ninterval = 10\n") << QStringList{}
                                        << "mqtt.conf:2: [serial] interval: \"10\" is not a time";
    QTest::newRow("empty required value") << QByteArray("[mqtt]\nid =\n") << QStringList{}
                                          << "mqtt.conf:2: [mqtt] id: the value is empty";
    QTest::newRow("a line that is not UTF-8") << QByteArray("[boards]\n1 = A\n2 = B\xFF\n")
                                              << QStringList{} << "mqtt.conf:3: the line is not UTF-8";
    QTest::newRow("TLS file missing, named in the file")
        << QByteArray("[mqtt]\n\ncafile = /nonexistent/ca.crt\n") << QStringList{}
        << "mqtt.conf:3: [mqtt] cafile: /nonexistent/ca.crt cannot be read: no such file";
    QTest::newRow("password file missing")
        << QByteArray() << QStringList{"--username", "u", "--password-file", "/nonexistent/pw"}
        << "--password-file: /nonexistent/pw cannot be read";
    QTest::newRow("password file empty")
        << QByteArray() << QStringList{"--username", "u", "--password-file", "$DIR/empty-pw"}
        << "--password-file:";
    QTest::newRow("password without a user name")
        << QByteArray("[mqtt]\npassword_file = $DIR/pw\n") << QStringList{}
        << "mqtt.conf:2: [mqtt] password_file: a password needs a user name";
    QTest::newRow("client certificate without its key")
        << QByteArray() << QStringList{"--cafile", "$DIR/ca.crt", "--certfile", "$DIR/client.crt"}
        << "--certfile: a client certificate needs its key";
    QTest::newRow("client certificate without TLS")
        << QByteArray() << QStringList{"--certfile", "$DIR/client.crt", "--keyfile", "$DIR/client.key"}
        << "--certfile: a client certificate is only used with TLS";
    QTest::newRow("configuration file missing")
        << QByteArray() << QStringList{"--config", "/nonexistent/mqtt.conf"}
        << "/nonexistent/mqtt.conf: cannot be read: no such file";
    QTest::newRow("board list with a duplicate") << QByteArray() << QStringList{"--boards", "1,2,1"}
                                                 << "--boards: address 1 is given twice";
    QTest::newRow("board list out of range") << QByteArray() << QStringList{"--boards", "1,300"}
                                             << "--boards: \"300\" is not an address";
    QTest::newRow("broker port out of range") << QByteArray() << QStringList{"--broker", "h:65536"}
                                              << "--broker: \"65536\" is not a port";
    QTest::newRow("broker with nothing after the colon") << QByteArray() << QStringList{"--broker", "h:"}
                                                         << "--broker: \"h:\" has no port";
    QTest::newRow("port neither number nor path") << QByteArray() << QStringList{"-p", "ttyUSB0"}
                                                  << "--port: \"ttyUSB0\"";
    QTest::newRow("password on the command line is not an option")
        << QByteArray() << QStringList{"--password", "x"} << "Unknown option 'password'";
    QTest::newRow("option given twice") << QByteArray() << QStringList{"--id", "a", "--id", "b"}
                                        << "--id is given more than once";
    QTest::newRow("stray argument") << QByteArray() << QStringList{"run"}
                                    << "unexpected argument \"run\"";
    QTest::newRow("interval with a sign") << QByteArray("[serial]\ninterval = +500\n") << QStringList{}
                                          << "mqtt.conf:2: [serial] interval: \"+500\" is not a time";
    QTest::newRow("interval in full-width digits") << QByteArray() << QStringList{"--interval", "\uFF15\uFF10\uFF10"}
                                                   << "--interval: \"\uFF15\uFF10\uFF10\" is not a time";
    QTest::newRow("broker port beyond 32 bits") << QByteArray() << QStringList{"--broker", "h:99999999999"}
                                                << "--broker: \"99999999999\" is not a port";
    QTest::newRow("removing a board the file still serves")
        << QByteArray("[boards]\n1 = A\n7 = B\n") << QStringList{"--remove-board", "7"}
        << "--remove-board: board 7 is still served (mqtt.conf:1: [boards]): take it out there first";
    QTest::newRow("removing a board --boards serves") << QByteArray() << QStringList{"--boards", "3", "--remove-board", "3"}
                                                      << "--remove-board: board 3 is still served (--boards)";
    QTest::newRow("removing address 256") << QByteArray() << QStringList{"--remove-board", "256"}
                                          << "--remove-board: \"256\" is not an address";
}

void tst_mqtt_config::refused()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const config_result r = load(file, arguments);
    QCOMPARE(int(r.what), int(config_result::action::refuse));
    QString text = r.text;
    text.remove(dir_.path() + '/');
    QVERIFY2(text.startsWith(message.replace("$DIR/", "")), qPrintable(text));
}

void tst_mqtt_config::password_file_open_to_others_is_warned_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("warned");

    QTest::newRow("0600") << 0600 << false;
    QTest::newRow("0400, as a systemd credential") << 0400 << false;
    QTest::newRow("0640: the group reads it") << 0640 << true;
    QTest::newRow("0604: everybody reads it") << 0604 << true;
}

void tst_mqtt_config::password_file_open_to_others_is_warned()
{
    QFETCH(int, mode);
    QFETCH(bool, warned);
    const QString pw = dir_.filePath("pw-mode");
    QFile f(pw);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("s3cret\n");
    f.close();
    QCOMPARE(::chmod(QFile::encodeName(pw).constData(), mode_t(mode)), 0);
    const config_result r = load(QByteArray(), {"--username", "u", "--password-file", pw});
    QCOMPARE(int(r.what), int(config_result::action::run));
    QCOMPARE(r.config.password, QString("s3cret"));
    QCOMPARE(r.warnings.size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(r.warnings[0].startsWith("--password-file: the password file can be read by other "
                                          "users: chmod 600 " + pw),
                 qPrintable(r.warnings[0]));
}

void tst_mqtt_config::program_refuses_with_status_2()
{
    const QString program = qEnvironmentVariable("TELVAR_MQTT");
    QVERIFY2(!program.isEmpty(), "TELVAR_MQTT is not set");
    QFile f(dir_.filePath("bad.conf"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[boards]\n1 = A\n1 = B\n");
    f.close();
    QProcess p;
    p.start(program, {"--config", f.fileName()});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()).trimmed(),
             "telvar-mqtt: " + f.fileName() +
                 ":3: [boards] 1: address 1 is given twice (first on line 2)");
}

void tst_mqtt_config::shipped_example_gives_the_defaults()
{
    const QString example = QFINDTESTDATA("../mqtt/mqtt.conf");
    QVERIFY(!example.isEmpty());
    const config_result r = load_configuration({"telvar-mqtt", "--config", example}, QString());
    QCOMPARE(r.text, QString());
    const bridge_config defaults;
    QCOMPARE(r.config.port.number, defaults.port.number);
    QCOMPARE(r.config.boards, defaults.boards);
    QCOMPARE(r.config.broker_host, defaults.broker_host);
    QCOMPARE(r.config.broker_port, defaults.broker_port);
    QCOMPARE(r.config.bridge_id, defaults.bridge_id);
    QCOMPARE(r.config.prefix, defaults.prefix);
    QCOMPARE(r.config.discovery_prefix, defaults.discovery_prefix);
    QCOMPARE(r.config.interval_ms, defaults.interval_ms);
    QCOMPARE(board_name(r.config, 1), board_name(defaults, 1).replace(' ', '_'));
    QVERIFY(r.config.cafile.isEmpty() && r.config.username.isEmpty());
}

QTEST_GUILESS_MAIN(tst_mqtt_config)
#include "tst_mqtt_config.moc"

// telvard's settings: the file and the command line over it, and every
// refusal naming the file, line and key (or the option) before anything runs.
#include "telvard/pulse_file.h"
#include "telvard/service_config.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace telvar::service;
using telvar::mqtt::board_name;

class tst_service_config : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void accepted_data();
    void accepted();
    void web_settings_data();
    void web_settings();
    void refused_data();
    void refused();
    void board_rules_data();
    void board_rules();
    void line_at_a_port_data();
    void line_at_a_port();
    void pulse_file_data();
    void pulse_file();
    void password_file_open_to_others_is_warned_data();
    void password_file_open_to_others_is_warned();
    void program_refuses_with_status_2();
    void shipped_example_gives_the_defaults();

private:
    config_result load(QByteArray file_text, QStringList arguments);
    QTemporaryDir dir_;
};

void tst_service_config::initTestCase()
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
config_result tst_service_config::load(QByteArray file_text, QStringList arguments)
{
    file_text.replace("$DIR", QFile::encodeName(dir_.path()));
    for (QString& a : arguments)
        a.replace("$DIR", dir_.path());
    QStringList args{"telvard"};
    if (!file_text.isEmpty()) {
        QFile f(dir_.filePath("mqtt.conf"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(file_text);
        args << "--config" << f.fileName();
    }
    return load_configuration(args + arguments, dir_.filePath("no-default.conf"));
}

void tst_service_config::accepted_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    // port boards broker id prefix discovery interval user password, of the
    // first line; then MQTT on or off, the lines, the socket and its group
    QTest::addColumn<QString>("expected");

    QTest::newRow("defaults") << QByteArray() << QStringList{}
                              << "1|1|localhost:1883|telvar|telvar|homeassistant|200||-|on|main||dialout";
    QTest::newRow("every key of the file, with comments and blank lines")
        << QByteArray("; service\n[line main]\nport = /dev/ttyUSB0\ninterval = 500\n3 = Hall\n"
                      "1 = Pump_room\n\n[mqtt]\n"
                      "# the broker\nbroker = broker.lan:1884\nid = hall-2\nprefix = site/relays\n"
                      "discovery_prefix = off\nusername = bridge\npassword_file = $DIR/pw\n"
                      "[local]\nsocket = /run/t/d.sock\ngroup = relays\n")
        << QStringList{}
        << "/dev/ttyUSB0|3,1|broker.lan:1884|hall-2|site/relays||500|bridge|s3cret word|on|main|/run/t/d.sock|relays";
    QTest::newRow("two lines; boards = over the names' order; no [mqtt]: MQTT off")
        << QByteArray("[line hall]\nport = /dev/ttyUSB0\nboards = 7,2\n2 = Door\n"
                      "[line yard]\nport = COM3\n[local]\nenabled = false\n")
        << QStringList{} << "/dev/ttyUSB0|7,2|localhost:1883|telvar|telvar|homeassistant|200||-|off|hall,yard|-|dialout";
    QTest::newRow("MQTT off in the file, on by an option; --socket")
        << QByteArray("[line main]\nport = 2\n[mqtt]\nenabled = no\n")
        << QStringList{"--broker", "b:1", "--socket", "/tmp/x.sock"}
        << "2|1|b:1|telvar|telvar|homeassistant|200||-|on|main|/tmp/x.sock|dialout";
    QTest::newRow("--no-mqtt over the file")
        << QByteArray("[mqtt]\nbroker = a\n") << QStringList{"--no-mqtt"}
        << "1|1|a:1883|telvar|telvar|homeassistant|200||-|off|main||dialout";
    QTest::newRow("command line over the file")
        << QByteArray("[line main]\nport = 2\n5 = Five\n[mqtt]\nbroker = a:1884\nid = one\n")
        << QStringList{"-p", "3", "--broker", "b", "--id", "two", "--boards", "7,5", "--interval",
                       "50"}
        << "3|7,5|b:1883|two|telvar|homeassistant|50||-|on|main||dialout";
    QTest::newRow("TLS without a port goes to 8883")
        << QByteArray() << QStringList{"--cafile", "$DIR/ca.crt", "--broker", "[::1]"}
        << "1|1|::1:8883|telvar|telvar|homeassistant|200||-|on|main||dialout";
    QTest::newRow("TLS with a port and a client certificate")
        << QByteArray("[mqtt]\ncafile = $DIR/ca.crt\ncertfile = $DIR/client.crt\n"
                      "keyfile = $DIR/client.key\nbroker = localhost:9999\n")
        << QStringList{} << "1|1|localhost:9999|telvar|telvar|homeassistant|200||-|on|main||dialout";
    QTest::newRow("empty optional keys are left out")
        << QByteArray("[mqtt]\nusername =\ncafile =\n") << QStringList{}
        << "1|1|localhost:1883|telvar|telvar|homeassistant|200||-|on|main||dialout";
    QTest::newRow("UTF-8 byte order mark and CRLF lines")
        << QByteArray("\xEF\xBB\xBF[line main]\r\nport = COM4\r\n") << QStringList{}
        << "4|1|localhost:1883|telvar|telvar|homeassistant|200||-|off|main||dialout";
}

void tst_service_config::accepted()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const config_result r = load(file, arguments);
    QCOMPARE(r.text, QString());
    QCOMPARE(int(r.what), int(config_result::action::run));
    const telvar::mqtt::bridge_config& c = r.config.mqtt;
    const line_config& line = r.config.lines.first();
    QStringList boards;
    for (int b : line.boards)
        boards << QString::number(b);
    const QString port =
        line.port.path.isEmpty() ? QString::number(line.port.number) : line.port.path;
    QStringList lines;
    for (const line_config& l : r.config.lines)
        lines << l.name;
    QCOMPARE(c.line_names, lines);
    const QString got = QStringList{port,
                                    boards.join(','),
                                    c.broker_host + ':' + QString::number(c.broker_port),
                                    c.bridge_id,
                                    c.prefix,
                                    c.discovery_prefix,
                                    QString::number(line.interval_ms),
                                    c.username,
                                    c.has_password ? c.password : "-",
                                    r.config.mqtt_enabled ? "on" : "off",
                                    lines.join(','),
                                    r.config.local.enabled ? r.config.local.socket : "-",
                                    r.config.local.group}
                            .join('|');
    QCOMPARE(got, expected.replace("$DIR", dir_.path()));
}

void tst_service_config::web_settings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    // on or off, where it listens, the password, HTTPS's certificate
    QTest::addColumn<QString>("expected");
    QTest::newRow("defaults: on, loopback, no password") << QByteArray() << QStringList{}
                                                         << "on|127.0.0.1:8080||";
    QTest::newRow("every key of the file")
        << QByteArray("[web]\nenabled = yes\nlisten = *:8443\npassword_file = $DIR/pw\n"
                      "certfile = $DIR/client.crt\nkeyfile = $DIR/client.key\n")
        << QStringList{} << "on|*:8443|s3cret word|$DIR/client.crt";
    QTest::newRow("IPv6 loopback needs no password") << QByteArray("[web]\nlisten = [::1]:80\n")
                                                      << QStringList{} << "on|[::1]:80||";
    QTest::newRow("--web over the file's off")
        << QByteArray("[web]\nenabled = false\n") << QStringList{"--web", "localhost:9000"}
        << "on|localhost:9000||";
    QTest::newRow("--no-web over the file, which then needs no password")
        << QByteArray("[web]\nlisten = 0.0.0.0:80\n") << QStringList{"--no-web"}
        << "off|0.0.0.0:80||";
}

void tst_service_config::web_settings()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const config_result r = load(file, arguments);
    QCOMPARE(r.text, QString());
    const web_config& w = r.config.web;
    const QString got = QStringList{w.enabled ? "on" : "off", w.listen,
                                    QString::fromUtf8(w.password), w.certfile}
                            .join('|');
    QCOMPARE(got, expected.replace("$DIR", dir_.path()));
}

void tst_service_config::refused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");  // how the refusal starts, after the folder

    QTest::newRow("unknown key") << QByteArray("[mqtt]\nbroker = x\nbrokr = y\n") << QStringList{}
                                 << "mqtt.conf:3: [mqtt] brokr: unknown key";
    QTest::newRow("unknown section") << QByteArray("[line main]\nport = 1\n[radio]\n")
                                     << QStringList{} << "mqtt.conf:3: [radio]: unknown section";
    QTest::newRow("key outside a section") << QByteArray("port = 1\n") << QStringList{}
                                           << "mqtt.conf:1: port: the key comes before";
    QTest::newRow("line without =") << QByteArray("[line main]\n\nport 1\n") << QStringList{}
                                    << "mqtt.conf:3: expected";
    QTest::newRow("address out of range") << QByteArray("[line main]\n1 = A\n256 = B\n")
                                          << QStringList{} << "mqtt.conf:3: [line main] 256: a board's key";
    QTest::newRow("duplicate address, written differently")
        << QByteArray("[line main]\n1 = A\n2 = B\n01 = C\n") << QStringList{}
        << "mqtt.conf:4: [line main] 01: address 1 is given twice (first on line 2)";
    QTest::newRow("key given twice") << QByteArray("[line main]\nport = 1\nport = 2\n")
                                     << QStringList{} << "mqtt.conf:3: [line main] port: the key is given twice";
    QTest::newRow("empty board name") << QByteArray("[line main]\n4 =\n") << QStringList{}
                                      << "mqtt.conf:2: [line main] 4: \"\" is not a board name";
    QTest::newRow("board name with a space") << QByteArray("[line main]\n4 = Pump room\n")
                                             << QStringList{} << "mqtt.conf:2: [line main] 4: \"Pump room\"";
    QTest::newRow("bridge id with a slash") << QByteArray("[mqtt]\nid = a/b\n") << QStringList{}
                                            << "mqtt.conf:2: [mqtt] id: \"a/b\" is not a bridge id";
    QTest::newRow("prefix with a wildcard") << QByteArray("[mqtt]\nprefix = a/#\n") << QStringList{}
                                            << "mqtt.conf:2: [mqtt] prefix:";
    QTest::newRow("interval too short") << QByteArray("[line main]\ninterval = 10\n") << QStringList{}
                                        << "mqtt.conf:2: [line main] interval: \"10\" is not a time";
    QTest::newRow("empty required value") << QByteArray("[mqtt]\nid =\n") << QStringList{}
                                          << "mqtt.conf:2: [mqtt] id: the value is empty";
    QTest::newRow("a line that is not UTF-8") << QByteArray("[line main]\n1 = A\n2 = B\xFF\n")
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
    QTest::newRow("interval with a sign") << QByteArray("[line main]\ninterval = +500\n") << QStringList{}
                                          << "mqtt.conf:2: [line main] interval: \"+500\" is not a time";
    QTest::newRow("interval in full-width digits") << QByteArray() << QStringList{"--interval", "\uFF15\uFF10\uFF10"}
                                                   << "--interval: \"\uFF15\uFF10\uFF10\" is not a time";
    QTest::newRow("broker port beyond 32 bits") << QByteArray() << QStringList{"--broker", "h:99999999999"}
                                                << "--broker: \"99999999999\" is not a port";
    QTest::newRow("removing a board the file still serves")
        << QByteArray("[line main]\n1 = A\n7 = B\n") << QStringList{"--remove-board", "7"}
        << "--remove-board: board 7 is still served (mqtt.conf:1: [line main]): take it out there first";
    QTest::newRow("removing a board --boards serves") << QByteArray() << QStringList{"--boards", "3", "--remove-board", "3"}
                                                      << "--remove-board: board 3 is still served (--boards)";
    QTest::newRow("a line's name that starts with a digit") << QByteArray("[line 2nd]\nport = 1\n")
        << QStringList{} << "mqtt.conf:1: [line 2nd]: \"2nd\" is not a line's name";
    QTest::newRow("a line given twice") << QByteArray("[line a]\nport = 1\n[line  a]\nport = 2\n")
        << QStringList{} << "mqtt.conf:3: [line  a]: the section is given twice (first on line 1)";
    QTest::newRow("a board named but left out of boards =")
        << QByteArray("[line a]\nboards = 1,2\n3 = Gate\n") << QStringList{}
        << "mqtt.conf:3: [line a] 3: board 3 is named but not in the line's boards";
    QTest::newRow("--port with two lines")
        << QByteArray("[line a]\nport = 1\n[line b]\nport = 2\n") << QStringList{"-p", "3"}
        << "--port: the configuration has 2 lines; give each its port in its [line NAME] section";
    QTest::newRow("a relative socket path") << QByteArray("[local]\nsocket = telvard.sock\n")
        << QStringList{} << "mqtt.conf:2: [local] socket: \"telvard.sock\" is not an absolute path";
    QTest::newRow("MQTT neither on nor off") << QByteArray("[mqtt]\nenabled = maybe\n")
        << QStringList{} << "mqtt.conf:2: [mqtt] enabled: \"maybe\" is neither true nor false";
    QTest::newRow("removing a board by address alone with two lines")
        << QByteArray("[line a]\nport = 1\n[line b]\nport = 2\n") << QStringList{"--remove-board", "7"}
        << "--remove-board: \"7\": with more than one line give LINE/ADDRESS, for example a/7";
    QTest::newRow("removing a board of a line that is not there")
        << QByteArray("[line a]\nport = 1\n[line b]\nport = 2\n") << QStringList{"--remove-board", "c/7"}
        << "--remove-board: \"c\" is not one of the lines (a, b)";
    QTest::newRow("web: not ADDRESS:PORT") << QByteArray("[web]\nlisten = 8080\n") << QStringList{}
                                           << "mqtt.conf:2: [web] listen: \"8080\" is not ADDRESS:PORT";
    QTest::newRow("web: a host name") << QByteArray() << QStringList{"--web", "relays.lan:80"}
                                      << "--web: \"relays.lan:80\" is not ADDRESS:PORT";
    QTest::newRow("web: port beyond 65535") << QByteArray() << QStringList{"--web", "127.0.0.1:65536"}
                                            << "--web: \"127.0.0.1:65536\" is not ADDRESS:PORT";
    QTest::newRow("web: IPv6 without brackets") << QByteArray() << QStringList{"--web", "::1:80"}
                                                << "--web: \"::1:80\" is not ADDRESS:PORT";
    QTest::newRow("web: every address without a password")
        << QByteArray("[web]\n\nlisten = *:8080\n") << QStringList{}
        << "mqtt.conf:3: [web] listen: the web page on *:8080 can be reached from other machines, "
           "so it needs a password: set password_file";
    QTest::newRow("web: another machine's address without a password, by option")
        << QByteArray() << QStringList{"--web", "192.168.1.5:80"}
        << "--web: the web page on 192.168.1.5:80 can be reached from other machines";
    QTest::newRow("web: an empty password file")
        << QByteArray("[web]\npassword_file = $DIR/empty-pw\n") << QStringList{}
        << "mqtt.conf:2: [web] password_file: empty-pw holds no password";
    QTest::newRow("web: a certificate without its key")
        << QByteArray("[web]\ncertfile = $DIR/client.crt\n") << QStringList{}
        << "mqtt.conf:2: [web] certfile: HTTPS needs the certificate's key too";
    QTest::newRow("web: an unknown key") << QByteArray("[web]\nport = 80\n") << QStringList{}
                                         << "mqtt.conf:2: [web] port: unknown key (known in [web]: "
                                            "enabled, listen, password_file, certfile, keyfile)";
    QTest::newRow("a pulse on relay 17") << QByteArray("[line a]\n1.pulse = 17:1s\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: \"17\" is not a relay from 1 to 16";
    QTest::newRow("a pulse on relay 0") << QByteArray("[line a]\n1.pulse = 0:1s\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: \"0\" is not a relay";
    QTest::newRow("a pulse without its time") << QByteArray("[line a]\n1.pulse = 3\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: \"3\" is not RELAY:DURATION";
    QTest::newRow("a pulse in bare milliseconds") << QByteArray("[line a]\n1.pulse = 3:500\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: relay 3: \"500\" is not a duration";
    QTest::newRow("a pulse shorter than 100 ms") << QByteArray("[line a]\n1.pulse = 3:50ms\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: relay 3: \"50ms\" is out of range";
    QTest::newRow("a pulse longer than a day") << QByteArray("[line a]\n1.pulse = 3:25h\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: relay 3: \"25h\" is out of range: from 100ms to 24h";
    QTest::newRow("a relay pulsed twice") << QByteArray("[line a]\n1.pulse = 3:1s, 03:2s\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulse: relay 3 is given twice";
    QTest::newRow("a pulse on a board not on the line")
        << QByteArray("[line a]\nboards = 1,2\n\n5.pulse = 3:1s\n") << QStringList{}
        << "mqtt.conf:4: [line a] 5.pulse: board 5 is not on the line (its boards: 1,2)";
    QTest::newRow("an interlock on the default board 1 only")
        << QByteArray("[line a]\n2.interlock = 1,2\n") << QStringList{}
        << "mqtt.conf:2: [line a] 2.interlock: board 2 is not on the line (its boards: 1)";
    QTest::newRow("a relay in two groups") << QByteArray("[line a]\n1.interlock = 1,2; 2,3\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.interlock: relay 2 is in two groups";
    QTest::newRow("a relay twice in one group") << QByteArray("[line a]\n1.interlock = 1,2,1\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.interlock: relay 1 is in two groups, or twice in one";
    QTest::newRow("a group of one") << QByteArray("[line a]\n1.interlock = 1,2; 5\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.interlock: the group of relay 5 alone interlocks nothing";
    QTest::newRow("an interlock on relay 17") << QByteArray("[line a]\n1.interlock = 16,17\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.interlock: \"17\" is not a relay from 1 to 16";
    QTest::newRow("an empty group") << QByteArray("[line a]\n1.interlock = 1,2;\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.interlock: \"\" is not a relay";
    QTest::newRow("an unknown return") << QByteArray("[line a]\n1.on_return = last\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.on_return: \"last\" is not keep, restore or off";
    QTest::newRow("an unknown board setting") << QByteArray("[line a]\n1.pulses = 3:1s\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.pulses: unknown key (known for a board: ADDRESS.pulse";
    QTest::newRow("a board setting given twice, written differently")
        << QByteArray("[line a]\n1.pulse = 3:1s\n01.pulse = 4:1s\n") << QStringList{}
        << "mqtt.conf:3: [line a] 01.pulse: the key is given twice (first on line 2)";
    QTest::newRow("a board setting of address 256") << QByteArray("[line a]\n256.pulse = 3:1s\n")
        << QStringList{} << "mqtt.conf:2: [line a] 256.pulse: a board's key starts with its address";
    QTest::newRow("an empty board setting") << QByteArray("[line a]\n1.on_return =\n")
        << QStringList{} << "mqtt.conf:2: [line a] 1.on_return: the value is empty";
    QTest::newRow("an interlock gap without a unit") << QByteArray("[line a]\ninterlock_gap = 200\n")
        << QStringList{} << "mqtt.conf:2: [line a] interlock_gap: \"200\" is not a duration";
    QTest::newRow("an interlock gap over 10 s") << QByteArray("[line a]\ninterlock_gap = 11s\n")
        << QStringList{} << "mqtt.conf:2: [line a] interlock_gap: \"11s\" is out of range: from 0ms to 10s";
    QTest::newRow("removing address 256") << QByteArray() << QStringList{"--remove-board", "256"}
                                          << "--remove-board: \"256\" is not an address";
}

void tst_service_config::refused()
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

void tst_service_config::board_rules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    // per line: "NAME gap G", then per board "A: pulse R=MS,... interlock G;G return MODE"
    QTest::addColumn<QString>("expected");

    QTest::newRow("none: nothing momentary, the default gap")
        << QByteArray("[line a]\n1 = A\n") << QStringList{} << "a gap 200";
    QTest::newRow("each key on one board")
        << QByteArray("[line a]\nboards = 1,3\ninterlock_gap = 0.5s\n3.pulse = 3:500ms, 7:2s\n"
                      "3.interlock = 1,2; 3, 4 ,5\n3.on_return = restore\n1.on_return = off\n")
        << QStringList{}
        << "a gap 500 | 1: return off | 3: pulse 3=500,7=2000 interlock 1,2;3,4,5 return restore";
    QTest::newRow("settings of a named board, without boards =")
        << QByteArray("[line a]\n4 = Gate\n4.pulse = 1:1.5m\n4.on_return = keep\n")
        << QStringList{} << "a gap 200 | 4: pulse 1=90000 return keep";
    QTest::newRow("the default board 1, a gap of none")
        << QByteArray("[line a]\ninterlock_gap = 0ms\n1.interlock = 15,16\n") << QStringList{}
        << "a gap 0 | 1: interlock 15,16";
    QTest::newRow("each line its own")
        << QByteArray("[line a]\n1.pulse = 2:1s\n[line b]\nport = 2\ninterlock_gap = 1s\n"
                      "1.pulse = 2:2s\n")
        << QStringList{} << "a gap 200 | 1: pulse 2=1000 / b gap 1000 | 1: pulse 2=2000";
    QTest::newRow("--boards leaves out the settings of boards it does not serve")
        << QByteArray("[line a]\nboards = 1,2\n1.pulse = 2:1s\n2.on_return = off\n")
        << QStringList{"--boards", "2"} << "a gap 200 | 2: return off";
}

void tst_service_config::board_rules()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const config_result r = load(file, arguments);
    QCOMPARE(r.text, QString());
    QStringList lines;
    for (const line_config& line : r.config.lines) {
        const telvar::link::link_settings s = line_settings(line);
        QCOMPARE(s.poll_interval_ms, line.interval_ms);
        QStringList parts{QStringLiteral("%1 gap %2").arg(line.name).arg(s.interlock_gap_ms)};
        for (int address : line.boards) {
            QStringList board;
            if (s.pulse_ms.count(address)) {
                QStringList p;
                for (const auto& [relay, ms] : s.pulse_ms.at(address))
                    p << QStringLiteral("%1=%2").arg(relay).arg(ms);
                board << "pulse " + p.join(',');
            }
            if (s.interlocks.count(address)) {
                QStringList groups;
                for (const auto& group : s.interlocks.at(address)) {
                    QStringList g;
                    for (int relay : group)
                        g << QString::number(relay);
                    groups << g.join(',');
                }
                board << "interlock " + groups.join(';');
            }
            if (s.on_return.count(address)) {
                const auto mode = s.on_return.at(address);
                board << QString("return ") +
                             (mode == telvar::link::return_mode::keep      ? "keep"
                              : mode == telvar::link::return_mode::restore ? "restore"
                                                                           : "off");
            }
            if (!board.isEmpty())
                parts << QStringLiteral("%1: ").arg(address) + board.join(' ');
        }
        lines << parts.join(" | ");
    }
    QCOMPARE(lines.join(" / "), expected);
}

void tst_service_config::line_at_a_port_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected");  // the line and its pulses of board 1, or none

    QTest::newRow("the same number") << "3" << "b 2=2000";
    QTest::newRow("COM3 is port 3") << "COM3" << "b 2=2000";
    QTest::newRow("the same path") << "$DIR/dev-a" << "a 2=1000";
    QTest::newRow("the same device by a link to it") << "$DIR/link-a" << "a 2=1000";
    QTest::newRow("a port no line holds") << "4" << "none";
    QTest::newRow("a path no line holds") << "$DIR/dev-z" << "none";
}

void tst_service_config::line_at_a_port()
{
    QFETCH(QString, port);
    QFETCH(QString, expected);
    QFile device(dir_.filePath("dev-a"));
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();
    QFile::remove(dir_.filePath("link-a"));
    QVERIFY(QFile::link(device.fileName(), dir_.filePath("link-a")));
    QFile conf(dir_.filePath("ports.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
    conf.write(QByteArray("[line a]\nport = $DIR/dev-a\n1.pulse = 2:1s\n1.interlock = 3,4\n"
                          "[line b]\nport = 3\n1.pulse = 2:2s\n")
                   .replace("$DIR", QFile::encodeName(dir_.path())));
    conf.close();
    const auto spec = telvar::link::port_spec::parse(port.replace("$DIR", dir_.path()));
    QVERIFY(spec);
    const port_line found = line_at_port(conf.fileName(), *spec);
    QCOMPARE(found.error, QString());
    QString got = QStringLiteral("none");
    if (found.what == port_line::found::line) {
        QStringList p;
        for (const auto& [relay, ms] : found.settings.pulse_ms.at(1))
            p << QStringLiteral("%1=%2").arg(relay).arg(ms);
        got = found.name + ' ' + p.join(',');
        QCOMPARE(found.settings.interlocks.count(1), std::size_t(found.name == "a" ? 1 : 0));
    }
    QCOMPARE(got, expected);

    // A file it cannot read, or a bad one, is refused with its place named.
    conf.open(QIODevice::WriteOnly | QIODevice::Truncate);
    conf.write("[line a]\n1.interlock = 3\n");
    conf.close();
    const port_line bad = line_at_port(conf.fileName(), *spec);
    QCOMPARE(int(bad.what), int(port_line::found::refused));
    QVERIFY2(bad.error.startsWith(conf.fileName() + ":2: [line a] 1.interlock:"), qPrintable(bad.error));
    QCOMPARE(int(line_at_port(dir_.filePath("none.conf"), *spec).what), int(port_line::found::refused));
}

void tst_service_config::pulse_file_data()
{
    QTest::addColumn<QByteArray>("text");  // the file; "-": none
    QTest::addColumn<QString>("pulses");   // what is read: "LINE/ADDR/RELAY@DEADLINE ..."
    QTest::addColumn<QString>("error");    // how the complaint ends, if any

    QTest::newRow("no file: nothing owed") << QByteArray("-") << "" << "";
    QTest::newRow("two releases")
        << QByteArray(R"({"pulses":[{"line":"hall","address":1,"relay":3,"deadline_ms":1765297800123},)"
                      R"({"line":"yard","address":0,"relay":16,"deadline_ms":5}]})")
        << "hall/1/3@1765297800123 yard/0/16@5" << "";
    QTest::newRow("not JSON, as a file cut short would be")
        << QByteArray(R"({"pulses":[{"line":"ha)") << "" << "is not a file of pending pulses";
    QTest::newRow("relay 17 is left out, the others kept")
        << QByteArray(R"({"pulses":[{"line":"hall","address":1,"relay":17,"deadline_ms":9},)"
                      R"({"line":"hall","address":2,"relay":1,"deadline_ms":9}]})")
        << "hall/2/1@9" << R"(holds an entry that is not a pulse: {"address":1,"deadline_ms":9,"line":"hall","relay":17})";
    QTest::newRow("an entry without its deadline")
        << QByteArray(R"({"pulses":[{"line":"hall","address":1,"relay":2}]})") << ""
        << "holds an entry that is not a pulse";
}

void tst_service_config::pulse_file()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, pulses);
    QFETCH(QString, error);
    const QString path = dir_.filePath("state/telvard.pulses.json");
    QFile::remove(path);
    if (text != "-") {
        QVERIFY(QDir().mkpath(dir_.filePath("state")));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QString why;
    const QList<saved_pulse> read = read_pulse_file(path, &why);
    QStringList got;
    for (const saved_pulse& p : read)
        got << QString("%1/%2/%3@%4").arg(p.line).arg(p.address).arg(p.relay).arg(p.deadline_ms);
    QCOMPARE(got.join(' '), pulses);
    QVERIFY2(error.isEmpty() ? why.isEmpty() : why.startsWith(path) && why.contains(error), qPrintable(why));

    // What is written reads back the same; nothing owed leaves no file.
    QVERIFY(write_pulse_file(path, read, &why));
    QCOMPARE(QFile::exists(path), !read.isEmpty());
    QString again;
    QCOMPARE(read_pulse_file(path, &again).size(), read.size());
    QCOMPARE(again, QString());
}

void tst_service_config::password_file_open_to_others_is_warned_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("warned");

    QTest::newRow("0600") << 0600 << false;
    QTest::newRow("0400, as a systemd credential") << 0400 << false;
    QTest::newRow("0640: the group reads it") << 0640 << true;
    QTest::newRow("0604: everybody reads it") << 0604 << true;
}

void tst_service_config::password_file_open_to_others_is_warned()
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
    QCOMPARE(r.config.mqtt.password, QString("s3cret"));
    QCOMPARE(r.warnings.size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(r.warnings[0].startsWith("--password-file: the password file can be read by other "
                                          "users: chmod 600 " + pw),
                 qPrintable(r.warnings[0]));
}

void tst_service_config::program_refuses_with_status_2()
{
    const QString program = qEnvironmentVariable("TELVARD");
    QVERIFY2(!program.isEmpty(), "TELVARD is not set");
    QFile f(dir_.filePath("bad.conf"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[line main]\n1 = A\n1 = B\n");
    f.close();
    QProcess p;
    p.start(program, {"--config", f.fileName()});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()).trimmed(),
             "telvard: " + f.fileName() +
                 ":3: [line main] 1: address 1 is given twice (first on line 2)");
}

void tst_service_config::shipped_example_gives_the_defaults()
{
    const QString example = QFINDTESTDATA("../telvard/telvard.conf");
    QVERIFY(!example.isEmpty());
    const config_result r = load_configuration({"telvard", "--config", example}, QString());
    QCOMPARE(r.text, QString());
    const service_config defaults;
    QCOMPARE(r.config.lines.size(), 1);
    const line_config& line = r.config.lines.first();
    QCOMPARE(line.name, defaults.lines.first().name);
    QCOMPARE(line.port.number, defaults.lines.first().port.number);
    QCOMPARE(line.boards, defaults.lines.first().boards);
    QCOMPARE(line.interval_ms, defaults.lines.first().interval_ms);
    QCOMPARE(r.config.mqtt_enabled, defaults.mqtt_enabled);
    QCOMPARE(r.config.local.enabled, defaults.local.enabled);
    QCOMPARE(r.config.local.socket, defaults.local.socket);
    QCOMPARE(r.config.local.group, defaults.local.group);
    QCOMPARE(r.config.web.enabled, defaults.web.enabled);
    QCOMPARE(r.config.web.listen, defaults.web.listen);
    QVERIFY(r.config.web.password_file.isEmpty() && r.config.web.certfile.isEmpty());
    const telvar::mqtt::bridge_config& m = r.config.mqtt;
    QCOMPARE(m.broker_host, defaults.mqtt.broker_host);
    QCOMPARE(m.broker_port, defaults.mqtt.broker_port);
    QCOMPARE(m.bridge_id, defaults.mqtt.bridge_id);
    QCOMPARE(m.prefix, defaults.mqtt.prefix);
    QCOMPARE(m.discovery_prefix, defaults.mqtt.discovery_prefix);
    const auto served = bridge_lines(r.config, {nullptr});
    QCOMPARE(board_name(served.first(), 1), QString("Relay_board_1"));
    QVERIFY(m.cafile.isEmpty() && m.username.isEmpty());
}

QTEST_GUILESS_MAIN(tst_service_config)
#include "tst_service_config.moc"

// telvarctl as its users meet it: the program run as a process against
// telvar-sim on a pseudo-terminal, for every command, both output forms and
// every exit status, under line faults and with a faulty board; and its
// command line, refused before anything is sent.
#include "link/link_text_unix.h"
#include "serial/qt_serial_port.h"
#include "support/e2e_rig.h"
#include "telvarctl/command_line.h"
#include "telvarctl/session.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace telvar;
using namespace telvar::test;

Q_DECLARE_METATYPE(telvar::link::outcome)

namespace {

struct run_result {
    int status = -1;
    QString out;
    QString err;
};

QString program()
{
    const QString given = qEnvironmentVariable("TELVARCTL");
    return given.isEmpty()
               ? QCoreApplication::applicationDirPath() + QStringLiteral("/../telvarctl/telvarctl")
               : given;
}

run_result run(const QStringList& arguments, int timeout_ms = 20000)
{
    QProcess p;
    p.start(program(), arguments);
    run_result r;
    if (!p.waitForFinished(timeout_ms)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("telvarctl did not end");
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// Where a run's standard output goes, set up in the child before it starts.
enum class sink { full, closed, no_reader, reader_leaves };

struct sink_run {
    QProcess process;
    int reader = -1;  // reader_leaves: the pipe's read end, the test's to close
    ~sink_run()
    {
        if (reader >= 0)
            ::close(reader);
    }
};

// Starts telvarctl with its standard output on @p where and SIGPIPE as the
// parent left it (default, or ignored).
void start_into(sink_run& run, const QStringList& arguments, sink where, bool sigpipe_ignored)
{
    int ends[2] = {-1, -1};
    if (where == sink::no_reader || where == sink::reader_leaves)
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    if (where == sink::no_reader) {
        ::close(ends[0]);
        ends[0] = -1;
    }
    const int writer = ends[1];
    run.process.setChildProcessModifier([where, writer, sigpipe_ignored] {
        ::signal(SIGPIPE, sigpipe_ignored ? SIG_IGN : SIG_DFL);
        if (where == sink::full)
            ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
        else if (where == sink::closed)
            ::close(STDOUT_FILENO);
        else
            ::dup2(writer, STDOUT_FILENO);
    });
    run.process.start(program(), arguments);
    if (writer >= 0)
        ::close(writer);
    run.reader = ends[0];
}

// The relays as the simulator's state line has them, from a JSON array.
QString hex4_of(const QJsonArray& relays)
{
    unsigned bits = 0;
    for (int i = 0; i < relays.size(); ++i)
        bits |= relays[i].toBool() ? 1u << i : 0u;
    return QString::asprintf("%04X", bits);
}

// Frames the program sent, as the simulator logged them.
int frames_heard(sim_process& sim)
{
    sim.state();  // a round trip, so the log has caught up
    int n = 0;
    for (const QString& line : sim.log())
        n += line.contains(QLatin1String(" pc>sim ")) ? 1 : 0;
    return n;
}

} // namespace

Q_DECLARE_METATYPE(sink)

class tst_telvarctl : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void command_data();
    void command();
    void command_through_the_service_data();
    void command_through_the_service();
    void switch_on_a_faulty_line_data();
    void switch_on_a_faulty_line();
    void every_outcome_has_its_documented_status_data();
    void every_outcome_has_its_documented_status();
    void refused_before_sending_data();
    void refused_before_sending();
    void port_held_by_a_window();
    void watch_through_a_vanished_device_data();
    void watch_through_a_vanished_device();
    void output_that_takes_no_more_data();
    void output_that_takes_no_more();
    void refused_device_data();
    void refused_device();

private:
    void check_command(bool through_service);
};

void tst_telvarctl::initTestCase()
{
    QVERIFY(e2e_rig::use_private_port_folder());
    QVERIFY2(QFileInfo::exists(program()), qPrintable(program()));
}

void tst_telvarctl::command_data()
{
    QTest::addColumn<QStringList>("sim");        // simulator options
    QTest::addColumn<QStringList>("arguments");  // PORT stands for the simulator's port number
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");            // a pattern for the whole standard output
    QTest::addColumn<QString>("state");          // a line the simulator's state must hold after
    QTest::addColumn<QString>("says");           // what standard error must say, if anything

    const QStringList two{"--board", "1,relays=00A5", "--board", "2,relays=0003"};
    const QString table_a5 = "relay   1   2   3   4   5   6   7   8   9  10  11  12  13  14  15  16\n"
                             "state  on off  on off off  on off  on off off off off off off off off\n";
    QTest::newRow("status, text") << two << QStringList{"status"} << 0
                                  << QRegularExpression::escape(table_a5) << "board 1 relays 00A5" << "";
    QTest::newRow("status, JSON")
        << two << QStringList{"--json", "status"} << 0
        << R"(\{"address":1,"command":"status","device":"[^"]+","port":\d+,)"
           R"("relays":\[true,false,true,false,false,true,false,true(,false){8}\]\}\n)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("on 2 16, each confirmed")
        << two << QStringList{"on", "2", "16"} << 0 << R"(relay .*\nstate  on  on  on .* on\n)"
        << "board 1 relays 80A7" << "";
    QTest::newRow("off 1 at address 2, JSON")
        << two << QStringList{"-a", "2", "--json", "off", "1"} << 0
        << R"(\{"address":2,"command":"off",.*"relays":\[false,true(,false){14}\]\}\n)"
        << "board 2 relays 0002" << "";
    QTest::newRow("toggle asks, then switches")
        << two << QStringList{"toggle", "3"} << 0 << R"(relay .*\nstate  on off off off .*\n)"
        << "board 1 relays 00A1" << "";
    QTest::newRow("all on") << two << QStringList{"all", "on"} << 0 << R"((?s).*( +on){16}\n)"
                            << "board 1 relays FFFF" << "";
    QTest::newRow("all off, JSON") << two << QStringList{"--json", "all", "off"} << 0
                                   << R"(.*"relays":\[false(,false){15}\]\}\n)"
                                   << "board 1 relays 0000" << "";
    QTest::newRow("pulse 2 for 300 ms, JSON: pulled in, then released, confirmed")
        << two << QStringList{"--json", "pulse", "2", "300ms", "--wait"} << 0
        << R"(\{"address":1,"command":"pulse",.*"pulse_ms":300,)"
           R"("relays":\[true,false,true,false,false,true,false,true(,false){8}\]\}\n)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("interlock from the configuration: 1 released before 2 is pulled in")
        << two << QStringList{"--config", "CONF", "on", "2"} << 0
        << R"(relay .*\nstate off  on  on off off  on off  on .*\n)" << "board 1 relays 00A6" << "";
    QTest::newRow("--interlock: toggle pulls in through the group")
        << two << QStringList{"--interlock", "1,2;5,6", "toggle", "2"} << 0
        << R"(relay .*\nstate off  on  on off off  on off  on .*\n)" << "board 1 relays 00A6" << "";
    QTest::newRow("all on with groups: the higher of each left out and named, JSON")
        << two << QStringList{"--json", "--config", "CONF", "all", "on"} << 0
        << R"(\{"address":1,"command":"all on",.*"relays":\[true,false(,true){3},false(,true){10}\],"skipped":\[2,6\]\}\n)"
        << "board 1 relays FFDD" << "relays 2 and 6 left out";
    QTest::newRow("a pulse on a group's relay releases the other first")
        << two << QStringList{"--config", "CONF", "pulse", "5", "200ms", "--wait"} << 0
        << R"(relay .*\nstate  on off  on off off off off  on .*\n)" << "board 1 relays 0085" << "";
    QTest::newRow("stats, JSON: every reply accepted")
        << two << QStringList{"--json", "stats", "--count", "5"} << 0
        << R"(\{"address":1,"command":"stats",.*"health":\{"checksum_errors":0,"frames_sent":\d+,)"
           R"("last_reply":"[^"]+","quality":100,"replies_accepted":\d+,"retries":0,)"
           R"("round_trip_ms":\d+,"stray_bytes":0,"timeouts":0\}.*\}\n)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("stats, text")
        << two << QStringList{"stats", "--count", "3"} << 0
        << R"(frames sent +\d+\nreplies accepted +\d+\nchecksum errors +0\nstray bytes +0\n)"
           R"(timeouts +0\nretries +0\nlast reply +\S+\nround trip +\d+ ms\n)"
           R"(quality +100 % over the last \d+ frames\n)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("scan finds both boards")
        << two << QStringList{"scan", "0-3"} << 0 << "1\n2\n" << "board 1 relays 00A5" << "";
    QTest::newRow("scan, JSON") << two << QStringList{"--json", "scan", "1-2"} << 0
                                << R"(\{"addresses":\[1,2\],"command":"scan",.*\}\n)"
                                << "board 1 relays 00A5" << "";
    QTest::newRow("scan where no board answers")
        << two << QStringList{"scan", "5-6"} << 3 << "" << "board 1 relays 00A5" << "";
    QTest::newRow("get host id") << two << QStringList{"get", "host-id"} << 0 << "1\n"
                                 << "host id 1 channel 1" << "";
    QTest::newRow("get slave channel, JSON")
        << two << QStringList{"--json", "get", "slave-channel"} << 0
        << R"(\{"address":1,"command":"get","device":"[^"]+","parameter":"slave-channel","port":\d+,"value":1\}\n)"
        << "host id 1 channel 1" << "";
    QTest::newRow("set host channel: the value sent back")
        << two << QStringList{"set", "host-channel", "5", "--yes"} << 0 << "5\n"
        << "host id 1 channel 5" << "the host module now talks on channel 5";
    QTest::newRow("set host channel, JSON: told as a change")
        << two << QStringList{"--json", "set", "host-channel", "5", "--yes"} << 0
        << R"(\{"address":1,"changed":true,"command":"set",.*"value":5\}\n)"
        << "host id 1 channel 5" << "now talks on channel 5";
    QTest::newRow("set the channel the host module is on: nothing written, no change told")
        << two << QStringList{"--json", "set", "host-channel", "1", "--yes"} << 0
        << R"(\{"address":1,"changed":false,"command":"set",.*"value":1\}\n)"
        << "host id 1 channel 1" << "the host module already talks on channel 1: nothing written";
    QTest::newRow("set slave id of board 1, JSON")
        << two << QStringList{"--json", "--yes", "set", "slave-id", "2147483647"} << 0
        << R"(.*"parameter":"slave-id",.*"value":2147483647\}\n)"
        << "board 1 relays 00A5 id 2147483647" << "";
    QTest::newRow("pair hands board 2 the host's id")
        << QStringList{"--board", "2,id=7"} << QStringList{"-a", "2", "pair", "--yes"} << 0
        << "1\n" << "board 2 relays 0000 id 1" << "";
    QTest::newRow("ports lists the simulator's number")
        << two << QStringList{"ports"} << 0 << R"((?s).*PORT  \S+com\d+ -> /dev/\S+\n.*)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("silent address: no reply")
        << two << QStringList{"-a", "9", "status"} << 3 << "" << "board 1 relays 00A5"
        << "no valid reply from board 9 on port PORT (";
    QTest::newRow("slave id of board 255, read as asked though its reply looks like the host's")
        << QStringList{"--host-id", "7", "--board", "255"}
        << QStringList{"-a", "255", "get", "slave-id"} << 0 << "7\n" << "board 255 relays 0000 id 7"
        << "";
    QTest::newRow("the line lost while a switch waits for its answer: sent, not confirmed")
        << QStringList{"--board", "1,ignore-switch", "--vanish-after", "1500"}
        << QStringList{"--json", "--timeout", "600", "--retries", "5", "on", "2", "3"} << 4
        << R"(\{"address":1,"command":"on",.*"error":"line_lost",)"
           R"("message":"on 2 to board 1: sent, no reply before port PORT \(/dev/[^)]+\) was lost.*; relay 3 not tried".*\}\n)"
        << "board 1 relays 0000" << "sent, no reply before port PORT (";
    QTest::newRow("silent address, JSON")
        << two << QStringList{"-a", "9", "--json", "--retries", "0", "on", "1"} << 3
        << R"(\{"address":9,"command":"on",.*"error":"no_reply","message":"no valid reply .*\}\n)"
        << "board 1 relays 00A5" << "";
    QTest::newRow("silent slave module") << two << QStringList{"-a", "9", "get", "slave-id"} << 3
                                         << "" << "board 1 relays 00A5" << "";
    QTest::newRow("board ignoring switch frames: not confirmed")
        << QStringList{"--board", "1,relays=0001,ignore-switch"} << QStringList{"on", "2"} << 1
        << R"(relay .*\nstate  on off off .*\n)" << "board 1 relays 0001" << "";
    QTest::newRow("board ignoring switch frames, JSON: never done")
        << QStringList{"--board", "1,relays=0001,ignore-switch"}
        << QStringList{"--json", "all", "off"} << 1
        << R"(\{.*"error":"not_confirmed",.*"relays":\[true(,false){15}\]\}\n)"
        << "board 1 relays 0001" << "";
    QTest::newRow("no board hears anything: silence")
        << QStringList{"--loss", "1"} << QStringList{"on", "5"} << 3 << ""
        << "board 1 relays 00B5" << "";
    QTest::newRow("a port number with no device")
        << two << QStringList{"-p", "250", "status"} << 4 << "" << "board 1 relays 00A5"
        << "cannot open port 250: no serial device has that number";
    QTest::newRow("a device that is not there, JSON")
        << two << QStringList{"-p", "/dev/telvar-no-such-device", "--json", "status"} << 4
        << R"(\{.*"error":"not_found",.*\}\n)" << "board 1 relays 00A5" << "";
}

void tst_telvarctl::command()
{
    check_command(false);
}

void tst_telvarctl::command_through_the_service_data()
{
    command_data();
}

// The same commands while telvard holds the port: the same output, state and
// status, the command carried out through the service.
void tst_telvarctl::command_through_the_service()
{
    check_command(true);
}

void tst_telvarctl::check_command(bool through_service)
{
    QFETCH(QStringList, sim);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, state);
    QFETCH(QString, says);

    e2e_rig rig;
    QVERIFY2(rig.start_sim(sim), qPrintable(rig.error));
    const bool own_port = arguments.contains(QLatin1String("-p"));
    if (!own_port)
        arguments = QStringList{"-p", QString::number(rig.port)} + arguments;
    QTemporaryDir dir;
    // CONF: a configuration of this port's line with interlocks, for telvarctl and telvard alike.
    const QString conf = dir.filePath(QStringLiteral("telvard.conf"));
    const bool configured = arguments.contains(QLatin1String("CONF"))
                            || arguments.contains(QLatin1String("--interlock"));
    if (configured) {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[line main]\nport = %1\n1.interlock = 1,2; 5,6\n"
                               "interlock_gap = 50ms\n")
                    .arg(rig.port)
                    .toUtf8());
        f.close();
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^CONF$")), conf);
    }
    QProcess service;
    struct ender {
        QProcess& p;
        ~ender()
        {
            if (p.state() != QProcess::NotRunning) {
                p.terminate();
                if (!p.waitForFinished(5000))
                    p.kill();
                p.waitForFinished(2000);
            }
        }
    } end_service{service};
    if (through_service) {
        const QString program = qEnvironmentVariable("TELVARD");
        if (program.isEmpty())
            QSKIP("telvard is not built");
        const QString socket = dir.filePath(QStringLiteral("telvard.sock"));
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList options{"-p", QString::number(rig.port), "--no-mqtt", "--socket", socket};
        if (configured)
            options << "--config" << conf;
        service.start(program, options);
        QVERIFY(service.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), 5000);
        // A port the service does not hold is refused there, not opened here.
        if (own_port && !arguments.contains(QLatin1String("ports"))) {
            const run_result r = run(QStringList{"--service", socket} + arguments);
            QCOMPARE(r.status, 4);
            QVERIFY2(r.err.contains(QLatin1String("telvard")), qPrintable(r.err));
            return;
        }
        // The service's line keeps its own reply window and retries, and
        // its polls find a silent board offline before a command comes.
        if (arguments.contains(QLatin1String("--timeout")) || sim.contains(QLatin1String("--loss")))
            QSKIP("the outcome depends on the line's own settings and history");
        if (arguments == QStringList{"-p", QString::number(rig.port), "status"}) {
            // Forced past the service, the port is busy, and the message says who holds it.
            const run_result direct = run(QStringList{"--direct"} + arguments);
            QCOMPARE(direct.status, 4);
            QVERIFY2(direct.err.contains(QLatin1String("telvard")), qPrintable(direct.err));
        }
        arguments = QStringList{"--service", socket} + arguments;
    }
    const run_result r = run(arguments);
    QVERIFY2(r.status == status, qPrintable(QStringLiteral("status %1: %2").arg(r.status).arg(r.err)));
    const QRegularExpression whole(QRegularExpression::anchoredPattern(
        QString(out).replace(QLatin1String("PORT"), QString::number(rig.port))));
    QVERIFY2(whole.match(r.out).hasMatch(), qPrintable(r.out));
    // Data only on standard output; every failure says why on standard error.
    const bool tells = arguments.contains(QLatin1String("set"))
                       || arguments.contains(QLatin1String("pair"))
                       || arguments.contains(QLatin1String("pulse")) || !says.isEmpty();
    // (A pulse tells its pull-in where this program keeps the time.)
    if (!tells)
        QCOMPARE(r.err.isEmpty(), status == 0);
    else if (status != 0)
        QVERIFY(!r.err.isEmpty());
    const QStringList lines = rig.sim.state();
    QVERIFY2(lines.filter(state).size() == 1, qPrintable(lines.join('\n')));
    QVERIFY2(r.err.contains(QString(says).replace(QLatin1String("PORT"), QString::number(rig.port))),
             qPrintable(r.err));
    // One full stop to a sentence.
    QVERIFY2(!r.err.contains(QLatin1String("..")) && !r.err.contains(QLatin1String(".;")),
             qPrintable(r.err));
}

void tst_telvarctl::switch_on_a_faulty_line_data()
{
    QTest::addColumn<QStringList>("faults");

    for (const char* seed : {"1", "2", "3", "4"}) {
        QTest::addRow("half the replies lost, seed %s", seed)
            << QStringList{"--loss", "0.5", "--seed", seed};
        QTest::addRow("half the checksums spoilt, seed %s", seed)
            << QStringList{"--bad-checksum", "0.5", "--seed", seed};
        QTest::addRow("stray bytes before half the replies, seed %s", seed)
            << QStringList{"--stray", "0.5", "--seed", seed};
    }
    QTest::newRow("replies in 8 pieces 20 ms apart")
        << QStringList{"--split", "8", "--split-gap", "20"};
    QTest::newRow("replies in 3 pieces at line rate") << QStringList{"--split", "3", "--pace"};
    QTest::newRow("everything at once, seed 5")
        << QStringList{"--loss", "0.3", "--bad-checksum", "0.3", "--stray", "0.3", "--split", "2",
                       "--seed", "5"};
}

void tst_telvarctl::switch_on_a_faulty_line()
{
    QFETCH(QStringList, faults);
    e2e_rig rig;
    QVERIFY2(rig.start_sim(QStringList{"--board", "1,relays=0000"} + faults), qPrintable(rig.error));
    for (const char* relay : {"3", "9"}) {
        const run_result r = run({"-p", QString::number(rig.port), "--json", "on", relay});
        const QString now = rig.sim.relays(1);
        const bool on = now.toUInt(nullptr, 16) & (1u << (QByteArray(relay).toInt() - 1));
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        // Done only when the board really switched; otherwise said honestly.
        switch (r.status) {
        case 0:
            QVERIFY2(on, qPrintable(now));
            QVERIFY(!o.contains(QLatin1String("error")));
            break;
        case 1:
            QCOMPARE(o.value(QLatin1String("error")).toString(), QStringLiteral("not_confirmed"));
            break;
        case 3:
            QCOMPARE(o.value(QLatin1String("error")).toString(), QStringLiteral("no_reply"));
            break;
        default:
            QFAIL(qPrintable(QStringLiteral("status %1: %2").arg(r.status).arg(r.err)));
        }
        // What is shown as the board's state is what the board holds.
        if (o.contains(QLatin1String("relays")))
            QCOMPARE(hex4_of(o.value(QLatin1String("relays")).toArray()), now);
    }
}

void tst_telvarctl::every_outcome_has_its_documented_status_data()
{
    QTest::addColumn<link::outcome>("result");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");  // in --json's "error", and beside its status in --help

    QTest::newRow("not confirmed") << link::outcome::not_confirmed << 1 << "not_confirmed";
    QTest::newRow("superseded by a newer command") << link::outcome::superseded << 1 << "superseded";
    QTest::newRow("no reply") << link::outcome::no_reply << 3 << "no_reply";
    QTest::newRow("board offline, failed at once") << link::outcome::offline << 3 << "offline";
    QTest::newRow("sent, then the line lost") << link::outcome::line_lost << 4 << "line_lost";
    QTest::newRow("lost before it was sent") << link::outcome::port_closed << 4 << "port_lost";
    QTest::newRow("the line's queue full") << link::outcome::queue_full << 4 << "queue_full";
}

void tst_telvarctl::every_outcome_has_its_documented_status()
{
    QFETCH(link::outcome, result);
    QFETCH(int, status);
    QFETCH(QString, code);
    QCOMPARE(int(ctl::status_of(result)), status);
    QCOMPARE(ctl::error_code(result), code);
    // --help tells the code under its status, before the next status begins.
    const QString help = ctl::help_text();
    const int from = help.indexOf(QStringLiteral("\n  %1  ").arg(status));
    const int to = help.indexOf(QRegularExpression(QStringLiteral("\n  [0-9]  |\n\n")), from + 1);
    QVERIFY(from > 0 && to > from);
    QVERIFY2(help.mid(from, to - from).contains(code), qPrintable(help.mid(from, to - from)));
    // What the line did is said in words; no message ends in a doubled stop.
    const QString words = ctl::line_words(result, QStringLiteral("port 3 (/dev/ttyUSB0)"),
                                          QStringLiteral("device removed"));
    QCOMPARE(words.isEmpty(), status != 4 && result != link::outcome::superseded);
    QVERIFY(!words.endsWith(QLatin1Char('.')));
}

void tst_telvarctl::refused_before_sending_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");  // what the message must name

    QTest::newRow("relay 0") << QStringList{"on", "0"} << "\"0\" is out of range; give a whole number from 1 to 16";
    QTest::newRow("relay 17") << QStringList{"off", "3", "17"} << "\"17\" is out of range";
    QTest::newRow("relay with a minus") << QStringList{"on", "-5"} << "\"-5\" has a sign";
    QTest::newRow("relay with a plus") << QStringList{"on", "+5"} << "\"+5\" has a sign";
    QTest::newRow("relay in letters") << QStringList{"toggle", "five"} << "\"five\" is not a whole number";
    QTest::newRow("relay empty") << QStringList{"on", ""} << "relay number is empty";
    QTest::newRow("no relay") << QStringList{"on"} << "from 1 to 16";
    QTest::newRow("two relays to toggle") << QStringList{"toggle", "1", "2"} << "unexpected argument \"2\"";
    QTest::newRow("address 256") << QStringList{"-a", "256", "status"} << "address (-a) \"256\" is out of range; give a whole number from 0 to 255";
    QTest::newRow("address with a sign") << QStringList{"-a", "-1", "status"} << "address (-a) \"-1\" has a sign";
    QTest::newRow("address list outside watch") << QStringList{"-a", "1,2", "status"} << "for watch only";
    QTest::newRow("address in a watch list") << QStringList{"watch", "-a", "1,300"} << "\"300\" is out of range";
    QTest::newRow("empty address in a watch list") << QStringList{"watch", "-a", "1,,2"} << "address (-a) is empty";
    QTest::newRow("channel 256, no modulo") << QStringList{"set", "host-channel", "256", "--yes"} << "channel \"256\" is out of range; give a whole number from 0 to 255";
    QTest::newRow("channel in letters") << QStringList{"set", "slave-channel", "x1", "--yes"} << "channel \"x1\" is not a whole number";
    QTest::newRow("id beyond 2147483647") << QStringList{"set", "host-id", "2147483648", "--yes"} << "id \"2147483648\" is out of range; give a whole number from 0 to 2147483647";
    QTest::newRow("id with spaces") << QStringList{"set", "slave-id", " 5", "--yes"} << "id \" 5\" is not a whole number";
    QTest::newRow("set without a value") << QStringList{"set", "host-id", "--yes"} << "give the value";
    QTest::newRow("unknown parameter") << QStringList{"get", "colour"} << "no parameter is called \"colour\"";
    QTest::newRow("channel write without --yes") << QStringList{"set", "host-channel", "5"} << "Add --yes";
    QTest::newRow("id write without --yes") << QStringList{"-a", "2", "set", "slave-id", "5"} << "Add --yes";
    QTest::newRow("pairing without --yes") << QStringList{"pair"} << "Add --yes";
    QTest::newRow("all, neither on nor off") << QStringList{"all", "up"} << "\"up\" is neither on nor off";
    QTest::newRow("scan backwards") << QStringList{"scan", "9-3"} << "runs backwards";
    QTest::newRow("scan past 255") << QStringList{"scan", "0-256"} << "last address \"256\" is out of range";
    QTest::newRow("unknown command") << QStringList{"switch", "5"} << "unknown command \"switch\"";
    QTest::newRow("no command") << QStringList{} << "no command given";
    QTest::newRow("unknown option") << QStringList{"--force", "status"} << "unknown option --force";
    QTest::newRow("unknown short option") << QStringList{"-x", "status"} << "unknown option -x";
    QTest::newRow("option without its value") << QStringList{"status", "--timeout"} << "--timeout needs a value";
    QTest::newRow("timeout too short") << QStringList{"--timeout", "5", "status"} << "--timeout \"5\" is out of range; give a whole number from 10 to 60000";
    QTest::newRow("negative retries") << QStringList{"--retries=-1", "status"} << "--retries \"-1\" has a sign";
    QTest::newRow("pulse shorter than 100 ms") << QStringList{"pulse", "1", "50ms"} << "\"50ms\" is out of range: from 100ms to 24h";
    QTest::newRow("pulse without a unit") << QStringList{"pulse", "1", "500"} << "pulse: \"500\" is not a duration";
    QTest::newRow("pulse without a duration") << QStringList{"pulse", "1"} << "and a duration";
    QTest::newRow("pulse of relay 17") << QStringList{"pulse", "17", "1s"} << "\"17\" is out of range";
    QTest::newRow("--wait outside pulse") << QStringList{"--wait", "on", "1"} << "--wait is for pulse only";
    QTest::newRow("--count outside stats") << QStringList{"--count", "5", "status"} << "--count is for stats only";
    QTest::newRow("--count 0") << QStringList{"stats", "--count", "0"} << "--count \"0\" is out of range";
    QTest::newRow("an interlock group of one") << QStringList{"--interlock", "1,2;3", "on", "1"} << "\"3\" is a group of one";
    QTest::newRow("a relay in two interlock groups") << QStringList{"--interlock", "1,2;2,3", "on", "1"} << "relay 2 is in two groups";
    QTest::newRow("an interlock of relay 17") << QStringList{"--interlock", "1,17", "on", "1"} << "--interlock: relay \"17\" is out of range";
    QTest::newRow("interval outside watch") << QStringList{"--interval", "100", "status"} << "for watch only";
    QTest::newRow("flag given a value") << QStringList{"--json=yes", "status"} << "--json takes no value";
    QTest::newRow("port 0") << QStringList{"-p", "0", "status"} << "\"0\" is not a port; give a port number from 1 to 255";
    QTest::newRow("port name without a folder") << QStringList{"-p", "ttyUSB0", "status"} << "\"ttyUSB0\" is not a port";
    QTest::newRow("a line's name with --direct") << QStringList{"--direct", "-p", "hall", "status"} << "a line's name is known only to the service";
    QTest::newRow("both roads at once") << QStringList{"--direct", "--service", "status"} << "--direct and --service exclude each other";
    QTest::newRow("the service's lines, directly") << QStringList{"--direct", "lines"} << "leave out --direct";
    QTest::newRow("a line's name with a space") << QStringList{"-p", "hall 2", "status"} << "\"hall 2\" is not a port";
}

void tst_telvarctl::refused_before_sending()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);

    const ctl::parse_result parsed =
        ctl::parse_command_line(QStringList{QStringLiteral("telvarctl")} + arguments);
    QVERIFY(!parsed.run);
    QVERIFY2(parsed.error.contains(named), qPrintable(parsed.error));

    // The program itself: status 2, the message, and not one frame on the line.
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    const run_result r = run(QStringList{"-p", QString::number(rig.port), "--json"} + arguments);
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains(named), qPrintable(r.err));
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value(QLatin1String("error")).toString(), QStringLiteral("usage"));
    QCOMPARE(frames_heard(rig.sim), 0);
}

void tst_telvarctl::port_held_by_a_window()
{
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    // Held as a window holds it: the same serial port code, open on the same number.
    qt_serial_port window_port;
    QVERIFY(window_port.open(rig.port).ok);

    const run_result r = run({"-p", QString::number(rig.port), "on", "2"});
    QCOMPARE(r.status, 4);
    QVERIFY2(r.err.contains(QStringLiteral("cannot open port %1 (").arg(rig.port))
                 && r.err.contains(QLatin1String("busy")),
             qPrintable(r.err));
    QCOMPARE(frames_heard(rig.sim), 0);
    QCOMPARE(rig.sim.relays(1), QStringLiteral("00A5"));

    window_port.close();
    QCOMPARE(run({"-p", QString::number(rig.port), "on", "2"}).status, 0);
    QCOMPARE(rig.sim.relays(1), QStringLiteral("00A7"));
}

void tst_telvarctl::watch_through_a_vanished_device_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("stop");
    QTest::addColumn<bool>("renumbered");  // the port points at another adapter meanwhile

    QTest::newRow("text, ended by Ctrl+C") << false << int(SIGINT) << false;
    QTest::newRow("JSON, ended by SIGTERM") << true << int(SIGTERM) << false;
    QTest::newRow("text, the port number given to another adapter meanwhile")
        << false << int(SIGINT) << true;
}

void tst_telvarctl::watch_through_a_vanished_device()
{
    QFETCH(bool, json);
    QFETCH(int, stop);
    QFETCH(bool, renumbered);

    // The adapter has a stable name, as a USB adapter's by-id name, and the
    // port number's entry points at it.
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--name", e2e_rig::stable_name(), "--board", "1,relays=0001",
                            "--board", "2"}),
             qPrintable(rig.error));
    QProcess watch;
    QStringList arguments{"-p", QString::number(rig.port), "watch", "-a", "1,2", "--interval", "50"};
    if (json)
        arguments << "--json";
    watch.start(program(), arguments);
    QVERIFY(watch.waitForStarted());
    QString out;
    QString err;
    const auto lines_of = [&](const QString& pattern) {
        out += QString::fromLocal8Bit(watch.readAllStandardOutput());
        return out.count(QRegularExpression(pattern));
    };
    const auto said = [&](const QString& text) {
        err += QString::fromLocal8Bit(watch.readAllStandardError());
        return err.count(text);
    };
    const auto event = [&](int address, const char* what) {
        return json ? QStringLiteral(R"("address":%1,.*"event":"%2")").arg(address).arg(what)
                    : QStringLiteral("board %1 %2\n").arg(address).arg(what);
    };

    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(1, "available")), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(2, "available")), 1, 5000);
    QCOMPARE(lines_of(json ? R"("event":"state","port":\d+,"relays":\[true,false)"
                           : R"(board 1 state on off off)"),
             1);

    // A change at the board shows as a change.
    rig.sim.command(QStringLiteral("set 1 relays 0003"));
    QTRY_COMPARE_WITH_TIMEOUT(
        lines_of(json ? R"("address":1,"changed":\[2\],.*"event":"change")" : "board 1 relay 2 on\n"),
        1, 5000);

    // The adapter is pulled: both boards are lost, the loss told first.
    QCOMPARE(rig.sim.command(QStringLiteral("vanish")), QStringList{"vanished"});
    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(1, "unavailable")), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(2, "unavailable")), 1, 5000);
    QTRY_COMPARE(said(QStringLiteral("was lost")), 1);
    QCOMPARE(watch.state(), QProcess::Running);

    sim_process other;
    if (renumbered) {
        // Meanwhile the port number is pointed at another adapter: the watch
        // says so and sends it nothing.
        QVERIFY2(other.start({"--log", "--board", "1,relays=FFFF"}), qPrintable(other.error()));
        QVERIFY(QFile::link(other.device(), e2e_rig::port_entry(rig.port)));
        QTRY_COMPARE_WITH_TIMEOUT(
            said(QStringLiteral("port %1 now stands for %2").arg(rig.port).arg(other.device())), 1,
            10000);
        const int tries = said(QStringLiteral("next try"));
        QTRY_VERIFY_WITH_TIMEOUT(said(QStringLiteral("next try")) > tries, 10000);
        QCOMPARE(frames_heard(other), 0);
        // Put back as it was, so that the simulator can link it again.
        QVERIFY(QFile::remove(e2e_rig::port_entry(rig.port)));
    }

    // It comes back under a new device with its old name, and is reopened.
    rig.sim.command(QStringLiteral("set 2 relays 8000"));
    QVERIFY(rig.sim.command(QStringLiteral("reappear")).value(0).startsWith(QLatin1String("/dev/")));
    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(1, "available")), 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(lines_of(event(2, "available")), 2, 10000);
    // What changed while it was away shows too.
    QTRY_COMPARE_WITH_TIMEOUT(
        lines_of(json ? R"("address":2,"changed":\[16\],)" : "board 2 relay 16 on\n"), 1, 5000);
    if (renumbered)
        QCOMPARE(frames_heard(other), 0);

    ::kill(pid_t(watch.processId()), stop);
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QVERIFY2(said(QStringLiteral("open again")) == 1, qPrintable(err));
    QVERIFY2(!err.contains(QLatin1String("..")), qPrintable(err));
    if (json)
        for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(QJsonDocument::fromJson(line.toUtf8()).isObject(), qPrintable(line));
}

void tst_telvarctl::output_that_takes_no_more_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<sink>("where");
    QTest::addColumn<bool>("sigpipe_ignored");  // as the parent left it
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("relays");  // board 1's relays after

    QTest::newRow("status into /dev/full")
        << QStringList{"status"} << sink::full << false << 5
        << "cannot write to standard output: No space left on device" << "00A5";
    QTest::newRow("on 2 into /dev/full: carried out, output lost")
        << QStringList{"on", "2"} << sink::full << false << 5 << "No space left on device"
        << "00A7";
    QTest::newRow("--help into /dev/full") << QStringList{"--help"} << sink::full << false << 5
                                           << "No space left on device" << "00A5";
    QTest::newRow("no reply keeps its status, JSON into /dev/full")
        << QStringList{"-a", "9", "--retries", "0", "--json", "status"} << sink::full << false
        << 3 << "cannot write to standard output" << "00A5";
    QTest::newRow("standard output closed: nothing sent")
        << QStringList{"on", "2"} << sink::closed << false << 5
        << "standard output is closed: nothing was sent" << "00A5";
    QTest::newRow("watch with standard output closed")
        << QStringList{"watch"} << sink::closed << true << 5 << "standard output is closed"
        << "00A5";
    QTest::newRow("pipe without a reader, SIGPIPE default")
        << QStringList{"status"} << sink::no_reader << false << 5
        << "cannot write to standard output: Broken pipe" << "00A5";
    QTest::newRow("pipe without a reader, SIGPIPE ignored")
        << QStringList{"on", "2"} << sink::no_reader << true << 5 << "Broken pipe" << "00A7";
    QTest::newRow("watch of a quiet board, its reader leaves")
        << QStringList{"watch", "--interval", "50"} << sink::reader_leaves << false << 5
        << "standard output is a pipe whose reader has gone" << "00A5";
    QTest::newRow("watch, JSON, its reader leaves, SIGPIPE ignored")
        << QStringList{"--json", "watch", "--interval", "50"} << sink::reader_leaves
        << true << 5 << "reader has gone" << "00A5";
}

void tst_telvarctl::output_that_takes_no_more()
{
    QFETCH(QStringList, arguments);
    QFETCH(sink, where);
    QFETCH(bool, sigpipe_ignored);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(QString, relays);

    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    sink_run run;
    start_into(run, QStringList{"-p", QString::number(rig.port)} + arguments, where,
               sigpipe_ignored);
    QVERIFY(run.process.waitForStarted());
    if (where == sink::reader_leaves) {
        // Read up to the board's first state, then the reader goes: a quiet
        // board gives nothing more to write, so only watching the pipe can
        // end the watch.
        QByteArray seen;
        char c = 0;
        while (!seen.contains("state") && ::read(run.reader, &c, 1) == 1)
            seen += c;
        QVERIFY2(seen.contains("state"), seen.constData());
        ::close(run.reader);
        run.reader = -1;
    }
    // Promptly: a watch left running would time out here.
    QVERIFY2(run.process.waitForFinished(10000), "telvarctl did not end");
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    const QString err = QString::fromLocal8Bit(run.process.readAllStandardError());
    QVERIFY2(run.process.exitCode() == status,
             qPrintable(QStringLiteral("status %1: %2").arg(run.process.exitCode()).arg(err)));
    QVERIFY2(err.contains(says), qPrintable(err));
    QCOMPARE(rig.sim.relays(1), relays);
    if (where == sink::closed)
        QCOMPARE(frames_heard(rig.sim), 0);
}

void tst_telvarctl::refused_device_data()
{
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("group");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("in_dialout");  // the account nobody, with dialout as its group or not
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QString>("never");

    const uint root = 0, tty = 5, uucp = 10, dialout = 20, nobody = 65534;
    QTest::newRow("root's 0600: no group opens it")
        << root << root << 0600u << false << false
        << QStringList{"belongs to root, group root, mode 0600", "only root may open it",
                       "joining a group does not help", "Run the program as root"}
        << "usermod";
    QTest::newRow("root's 0600 in group dialout, asked by a dialout member")
        << root << dialout << 0600u << true << false
        << QStringList{"group dialout, mode 0600", "only root may open it"} << "usermod";
    QTest::newRow("dialout's 0660, asked from outside: join dialout")
        << root << dialout << 0660u << false << false
        << QStringList{"group dialout, mode 0660", "sudo usermod -aG dialout nobody",
                       "log out and in again", "SupplementaryGroups=dialout"}
        << "only root";
    QTest::newRow("dialout's 0660, asked by a member: opens")
        << root << dialout << 0660u << true << true << QStringList{"lets this account in"}
        << "usermod";
    QTest::newRow("a group of its own, 0660: that group is named")
        << root << uucp << 0660u << false << false
        << QStringList{"group uucp, mode 0660", "usermod -aG uucp nobody"} << "dialout";
    QTest::newRow("root's group, 0660: no account's group")
        << root << root << 0660u << false << false
        << QStringList{"only root and group root may open it"} << "usermod";
    QTest::newRow("another account's 0620 terminal")
        << 1234u << tty << 0620u << false << false
        << QStringList{"belongs to 1234, group tty, mode 0620", "only 1234 may open it",
                       "Run the program as 1234"}
        << "usermod";
    QTest::newRow("its owner's, without read and write for the owner")
        << nobody << dialout << 0060u << true << false
        << QStringList{"not even its owner may read and write it", "chmod u+rw"} << "usermod";
    QTest::newRow("0666: the refusal is not the mode's")
        << root << root << 0666u << false << true
        << QStringList{"lets this account in", "getfacl", "DeviceAllow="} << "usermod";
}

void tst_telvarctl::refused_device()
{
    QFETCH(uint, owner);
    QFETCH(uint, group);
    QFETCH(uint, mode);
    QFETCH(bool, in_dialout);
    QFETCH(bool, opens);
    QFETCH(QStringList, says);
    QFETCH(QString, never);
    if (::geteuid() != 0)
        QSKIP("giving files other owners needs root");

    // The text, from a real file of that owner, group and mode, as nobody would read it.
    const auto own = [&](const QString& path) {
        const QByteArray name = QFile::encodeName(path);
        return ::chown(name.constData(), owner, group) == 0 && ::chmod(name.constData(), mode) == 0;
    };
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ttyUSB0"));
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    QVERIFY(own(file));
    link::account nobody{65534, 65534, {}};
    if (in_dialout)
        nobody.groups << 20;
    const QString text = link::permission_advice(file, nobody);
    for (const QString& part : says)
        QVERIFY2(text.contains(part), qPrintable(text));
    QVERIFY2(!text.contains(never), qPrintable(text));

    // The program itself, run as nobody, on a pseudo-terminal given the same owner and mode.
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    QVERIFY(own(rig.sim.device()));
    // A lock file of this name is left from an earlier terminal of the same
    // number by a root process that was killed; nobody could not remove it
    // and would find the port "busy".
    QFile::remove(QStringLiteral("/var/lock/LCK..")
                  + rig.sim.device().mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
    QProcess p;
    p.start(QStringLiteral("setpriv"),
            QStringList{"--reuid=65534", "--regid=65534",
                        in_dialout ? "--groups=20" : "--clear-groups", "--", program(), "-p",
                        rig.sim.device(), "--json", "status"});
    QVERIFY2(p.waitForFinished(20000), "setpriv telvarctl did not end");
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    if (opens) {
        QVERIFY2(p.exitCode() == 0, qPrintable(err));
        QCOMPARE(hex4_of(o.value(QLatin1String("relays")).toArray()), QStringLiteral("00A5"));
        return;
    }
    QVERIFY2(p.exitCode() == 4, qPrintable(err));
    QCOMPARE(o.value(QLatin1String("error")).toString(), QStringLiteral("no_permission"));
    QVERIFY2(err.contains(QLatin1String("permission denied")), qPrintable(err));
    for (const QString& part : says)
        QVERIFY2(err.contains(part), qPrintable(err));
    QVERIFY2(!err.contains(never), qPrintable(err));
    QCOMPARE(frames_heard(rig.sim), 0);
}

QTEST_GUILESS_MAIN(tst_telvarctl)
#include "tst_telvarctl.moc"

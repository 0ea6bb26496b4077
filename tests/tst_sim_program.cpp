// telvar-sim as a program: what comes back on a real pseudo-terminal under
// each fault option, how fast, its com link's life, and how it refuses bad
// options.
#include "serial/pty_pair.h"
#include "support/sim_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace telvar::test;

namespace
{

QByteArray from_hex(const QString& text)
{
    return QByteArray::fromHex(text.toLatin1().replace(' ', ""));
}

QString to_hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ')).toUpper();
}

// The PC's side of the line.
class pc_side
{
public:
    bool open(const QString& device)
    {
        port.setPortName(device);
        port.setBaudRate(QSerialPort::Baud9600);
        if (!port.open(QIODevice::ReadWrite))
            return false;
        QObject::connect(&port, &QSerialPort::readyRead, &port, [this] {
            got += port.readAll();
            if (arrival.isEmpty())
                clock_first = clock.nsecsElapsed();
            arrival << clock.nsecsElapsed();
        });
        return true;
    }
    void send(const QString& hex)
    {
        clock.start();
        arrival.clear();
        port.write(from_hex(hex));
        port.flush();
    }
    bool wait_for(int bytes, int timeout_ms = 5000)
    {
        // An event loop rather than qWaitFor's naps, so each read is timed as it lands.
        if (got.size() < bytes) {
            QEventLoop loop;
            QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
            const auto check = QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
                if (got.size() >= bytes)
                    loop.quit();
            });
            loop.exec();
            QObject::disconnect(check);
        }
        return got.size() >= bytes;
    }

    QSerialPort port;
    QByteArray got;
    QElapsedTimer clock;
    QList<qint64> arrival; // ns after the last send, one per read
    qint64 clock_first = 0;
};

// Expected bytes as hex, where "!XX" is any byte but XX and a leading "..."
// stands for 1 to 7 bytes of any value.
bool matches(const QByteArray& got, QString expected)
{
    int skip_min = 0, skip_max = 0;
    if (expected.startsWith(QLatin1String("... "))) {
        expected = expected.mid(4);
        skip_min = 1;
        skip_max = 7;
    }
    const QStringList tokens = expected.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const int extra = int(got.size()) - int(tokens.size());
    if (extra < skip_min || extra > skip_max)
        return false;
    for (int i = 0; i < tokens.size(); ++i) {
        const auto byte = static_cast<unsigned char>(got[extra + i]);
        const QString t = tokens[i];
        if (t.startsWith(QLatin1Char('!')) ? byte == t.mid(1).toUInt(nullptr, 16)
                                           : byte != t.toUInt(nullptr, 16))
            return false;
    }
    return true;
}

const QString query = QStringLiteral("55 01 10 00 00 00 00 66");
const QString reply = QStringLiteral("22 01 10 00 00 00 A5 D8");
const QString host_query = QStringLiteral("56 FF 30 00 00 00 00 85");
const QString host_reply = QStringLiteral("22 FF 30 00 00 00 01 52");

} // namespace

class tst_sim_program : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void replies_under_faults_data();
    void replies_under_faults();
    void timing_data();
    void timing();
    void com_link_lives_as_long_as_the_simulator_data();
    void com_link_lives_as_long_as_the_simulator();
    void vanish_and_reappear_data();
    void vanish_and_reappear();
    void attaches_to_a_given_device();
    void refuses_bad_options_data();
    void refuses_bad_options();
    void existing_port_folder_entry_data();
    void existing_port_folder_entry();

private:
    QTemporaryDir config_;
};

void tst_sim_program::initTestCase()
{
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
    if (sim_process::executable().isEmpty())
        qputenv("TELVAR_SIM",
                QFile::encodeName(QCoreApplication::applicationDirPath() + "/../sim/telvar-sim"));
    QVERIFY2(QFileInfo::exists(sim_process::executable()), "telvar-sim not found");
}

void tst_sim_program::replies_under_faults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain status reply") << QStringList{} << query << reply;
    QTest::newRow("back in step after stray bytes from the PC")
        << QStringList{} << "13 37 55 01 55 01 10 00 00 00 00 66" << reply;
    QTest::newRow("a frame with a wrong checksum is ignored")
        << QStringList{} << "55 01 10 00 00 00 00 67"
        << "";
    QTest::newRow("echo comes before the reply")
        << QStringList{"--echo"} << query << query + " " + reply;
    QTest::newRow("every checksum spoilt")
        << QStringList{"--bad-checksum", "1"} << query << "22 01 10 00 00 00 A5 !D8";
    QTest::newRow("every reply lost") << QStringList{"--loss", "1"} << query << "";
    QTest::newRow("stray bytes before every reply")
        << QStringList{"--stray", "1"} << query << "... " + reply;
    QTest::newRow("split reply arrives whole")
        << QStringList{"--split", "8", "--split-gap", "5"} << query << reply;
    QTest::newRow("paced reply arrives whole") << QStringList{"--pace"} << query << reply;
    QTest::newRow("a stuck relay released: still reported in")
        << QStringList{"--board", "1,relays=0000,stuck=3"} << "55 01 11 00 00 00 03 6A"
        << "22 01 11 00 00 00 04 38";
    QTest::newRow("all released but the stuck relay")
        << QStringList{"--board", "1,relays=00FF,stuck=3"} << "55 01 13 00 00 00 00 69"
        << "22 01 13 00 00 00 04 3A";
    QTest::newRow("silent board on another channel")
        << QStringList{"--board", "1,channel=9"} << query << "";
}

void tst_sim_program::replies_under_faults()
{
    QFETCH(QStringList, options);
    QFETCH(QString, sent);
    QFETCH(QString, expected);
    sim_process sim;
    QVERIFY2(sim.start(options), qPrintable(sim.error()));
    pc_side pc;
    QVERIFY(pc.open(sim.device()));
    pc.send(sent);
    // "..." stands for at least one byte, like any other token.
    const int least = int(expected.split(QLatin1Char(' '), Qt::SkipEmptyParts).size());
    if (least > 0)
        QVERIFY(pc.wait_for(least));
    // With the faults off, a different query: its plain reply closes the
    // exchange, so every byte that came before it is accounted for.
    for (const char* off : {"fault loss 0", "fault bad-checksum 0", "fault stray 0",
                            "fault echo off", "fault split 1", "fault pace off"})
        QVERIFY(!sim.command(off).value(0).startsWith(QLatin1String("error")));
    pc.send(host_query);
    const QByteArray closing = from_hex(host_reply);
    QTRY_VERIFY2(pc.got.endsWith(closing), qPrintable(to_hex(pc.got)));
    const QByteArray first = pc.got.chopped(closing.size());
    if (expected.isEmpty())
        QVERIFY2(first.isEmpty(), qPrintable(to_hex(first)));
    else
        QVERIFY2(matches(first, expected), qPrintable(to_hex(first)));
}

void tst_sim_program::timing_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<double>("last_after_ms");  // the last byte cannot land before this
    QTest::addColumn<double>("last_within_ms"); // and lands before this
    QTest::addColumn<double>("spread_ms");      // least time from first to last byte

    QTest::newRow("delay 300 ms") << QStringList{"--delay", "300"} << 300.0 << 1000.0 << 0.0;
    QTest::newRow("four pieces 60 ms apart")
        << QStringList{"--split", "4", "--split-gap", "60"} << 180.0 << 1000.0 << 120.0;
    // 8 bytes at 1.0417 ms: the whole reply takes 8.33 ms, as on a real line.
    QTest::newRow("paced at 9600 baud") << QStringList{"--pace"} << 8.33 << 60.0 << 0.0;
    QTest::newRow("unpaced arrives at once") << QStringList{} << 0.0 << 60.0 << 0.0;
}

void tst_sim_program::timing()
{
    QFETCH(QStringList, options);
    QFETCH(double, last_after_ms);
    QFETCH(double, last_within_ms);
    QFETCH(double, spread_ms);
    sim_process sim;
    QVERIFY2(sim.start(options), qPrintable(sim.error()));
    pc_side pc;
    QVERIFY(pc.open(sim.device()));
    pc.send(query);
    QVERIFY(pc.wait_for(8));
    QCOMPARE(to_hex(pc.got), reply);
    const double first = pc.arrival.first() / 1e6;
    const double last = pc.arrival.last() / 1e6;
    QVERIFY2(last >= last_after_ms && last < last_within_ms,
             qPrintable(QStringLiteral("last byte at %1 ms").arg(last)));
    QVERIFY2(last - first >= spread_ms,
             qPrintable(QStringLiteral("%1 ms spread").arg(last - first)));
}

void tst_sim_program::com_link_lives_as_long_as_the_simulator_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("quit command") << "quit";
    QTest::newRow("standard input closed") << "eof";
    QTest::newRow("SIGTERM") << "term";
    QTest::newRow("SIGINT") << "int";
}

void tst_sim_program::com_link_lives_as_long_as_the_simulator()
{
    QFETCH(QString, ending);
    const QString link = config_.path() + QStringLiteral("/telvar/ports/com4");
    sim_process sim;
    QVERIFY2(sim.start({"--com", "4"}), qPrintable(sim.error()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device());
    pc_side pc;
    QVERIFY(pc.open(link)); // the link opens like the device itself
    pc.send(query);
    QVERIFY(pc.wait_for(8));
    QCOMPARE(to_hex(pc.got), reply);

    if (ending == QLatin1String("quit"))
        QCOMPARE(sim.command("quit"), QStringList{"bye"});
    else if (ending == QLatin1String("eof"))
        sim.process().closeWriteChannel();
    else
        ::kill(pid_t(sim.process().processId()),
               ending == QLatin1String("term") ? SIGTERM : SIGINT);
    QCOMPARE(sim.wait_for_exit(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
}

void tst_sim_program::vanish_and_reappear_data()
{
    QTest::addColumn<bool>("named");
    QTest::newRow("com link to the device") << false;
    QTest::newRow("com link to a stable name that follows the device") << true;
}

void tst_sim_program::vanish_and_reappear()
{
    QFETCH(bool, named);
    const QString link = config_.path() + QStringLiteral("/telvar/ports/com5");
    const QString name = config_.path() + QStringLiteral("/usb-telvar-sim");
    sim_process sim;
    QStringList arguments{"--com", "5", "--log"};
    if (named)
        arguments << "--name" << name;
    QVERIFY2(sim.start(arguments), qPrintable(sim.error()));
    const QString first_device = sim.device();
    if (named) {
        QCOMPARE(QFileInfo(link).symLinkTarget(), name);
        QCOMPARE(QFileInfo(name).symLinkTarget(), first_device);
    }
    {
        pc_side pc;
        QVERIFY(pc.open(link));
        QCOMPARE(sim.command("vanish"), QStringList{"vanished"});
        // Like a pulled adapter: the link, the stable name and the device node are gone.
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(!QFileInfo(name).isSymLink());
        QTRY_VERIFY(!QFileInfo::exists(first_device));
        // The PC's open port learns of it as a pulled adapter's would.
        QTRY_VERIFY(pc.port.error() == QSerialPort::ReadError ||
                    pc.port.error() == QSerialPort::ResourceError);
    }
    const QStringList again = sim.command("reappear");
    QVERIFY2(again.value(0).startsWith(QLatin1String("/dev/")), qPrintable(again.join(' ')));
    QCOMPARE(QFileInfo(named ? name : link).symLinkTarget(), again.value(0));
    pc_side pc;
    QVERIFY(pc.open(link));
    pc.send(query);
    QVERIFY(pc.wait_for(8));
    QCOMPARE(to_hex(pc.got), reply);

    // Every frame both ways, one line each, with the time since start.
    static const QRegularExpression frame_line(
        QStringLiteral("^[0-9]+\\.[0-9]{6} (pc>sim|sim>pc) ([0-9A-F]{2} ){7}[0-9A-F]{2}$"));
    QTRY_VERIFY(sim.log().size() >= 2);
    const QStringList log = sim.log();
    QVERIFY2(frame_line.match(log.value(log.size() - 2)).hasMatch(), qPrintable(log.join('\n')));
    QVERIFY(log.value(log.size() - 2).endsWith(QLatin1String("pc>sim ") + query));
    QVERIFY(log.last().endsWith(QLatin1String("sim>pc ") + reply));
}

void tst_sim_program::attaches_to_a_given_device()
{
    // The device end of a pseudo-terminal stands in for a null-modem cable;
    // the test plays the PC on the far end.
    telvar::pty_pair cable;
    QVERIFY2(cable.create(), qPrintable(cable.error()));
    sim_process sim;
    QVERIFY2(sim.start({"--device", cable.device()}), qPrintable(sim.error()));
    QCOMPARE(sim.device(), cable.device());
    const QByteArray request = from_hex(QStringLiteral("07 ") + query); // with a stray byte first
    QCOMPARE(cable.write_far(request.constData(), request.size()), long(request.size()));
    QByteArray got;
    QTRY_VERIFY([&] {
        char buffer[64];
        const long n = cable.read_far(buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, int(n));
        return got.size() >= 8;
    }());
    QCOMPARE(to_hex(got), reply);
}

void tst_sim_program::refuses_bad_options_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("named");

    QTest::newRow("unknown option") << QStringList{"--baud", "115200"} << 2 << "--baud";
    QTest::newRow("rate out of range") << QStringList{"--loss", "3"} << 2 << "--loss";
    QTest::newRow("bad board") << QStringList{"--board", "1,relays=12345"} << 2 << "--board";
    QTest::newRow("missing value") << QStringList{"--delay"} << 2 << "--delay";
    QTest::newRow("device that does not exist")
        << QStringList{"--device", "/dev/no-such-tty"} << 1 << "/dev/no-such-tty";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--vanish-after";
}

void tst_sim_program::refuses_bad_options()
{
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, named);
    QProcess sim;
    sim.start(sim_process::executable(), options);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), code);
    const QString said = QString::fromLocal8Bit(code == 0 ? sim.readAllStandardOutput()
                                                          : sim.readAllStandardError());
    QVERIFY2(said.contains(named), qPrintable(said));
}

void tst_sim_program::existing_port_folder_entry_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("replaced");
    // An operator's own adapter is never replaced, even while unplugged.
    QTest::newRow("a device that is there") << "/dev/null" << false;
    QTest::newRow("an unplugged adapter") << "/dev/ttyUSB97" << false;
    // What a killed simulator leaves behind goes.
    QTest::newRow("a vanished pseudo-terminal") << "/dev/pts/9997" << true;
}

void tst_sim_program::existing_port_folder_entry()
{
    QFETCH(QString, target);
    QFETCH(bool, replaced);
    const QString folder = config_.path() + QStringLiteral("/telvar/ports");
    QVERIFY(QDir().mkpath(folder));
    const QString link = folder + QStringLiteral("/com6");
    QFile::remove(link);
    QVERIFY(QFile::link(target, link));
    sim_process sim;
    const bool started = sim.start({"--com", "6"});
    QCOMPARE(started, replaced);
    if (replaced) {
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device());
        QCOMPARE(sim.command("quit"), QStringList{"bye"});
        QCOMPARE(sim.wait_for_exit(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    } else {
        QCOMPARE(sim.wait_for_exit(), 1);
        QVERIFY2(sim.error().contains(QLatin1String("com6")), qPrintable(sim.error()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
    }
}

QTEST_GUILESS_MAIN(tst_sim_program)
#include "tst_sim_program.moc"

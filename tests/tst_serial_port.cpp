// The QSerialPort-backed port over real pseudo-terminals, and how port
// numbers map onto devices.
#include "serial/port_mapping.h"
#include "serial/port_mapping_unix.h"
#include "serial/pty_pair.h"
#include "serial/qt_serial_port.h"
#include "support/hex.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

using namespace telvar;

namespace {

// Reads whole groups as a window's handler does, checking it is never
// called short.
struct group_reader {
    explicit group_reader(serial_port& port) : port(port)
    {
        QObject::connect(&port, &serial_port::received, [this] { on_received(); });
    }
    void on_received()
    {
        ++events;
        if (this->port.bytes_waiting() < 8)
            ++short_events;
        for (int i = 0; i < 8; ++i) {
            const auto byte = this->port.read_byte();
            if (!byte)
                return;
            bytes.append(char(*byte));
        }
    }
    serial_port& port;
    int events = 0;
    int short_events = 0;
    QByteArray bytes;
};

QByteArray read_far(pty_pair& pty, int want)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < want && clock.elapsed() < 5000) {
        char buf[256];
        const long n = pty.read_far(buf, sizeof buf);
        if (n > 0)
            got.append(buf, int(n));
        else
            QTest::qWait(5);
    }
    return got;
}

void link_port(int number, const QString& target)
{
    QDir().mkpath(port_folder());
    const QString link = port_folder() + QStringLiteral("/com%1").arg(number);
    QFile::remove(link);
    QVERIFY(QFile::link(target, link));
}

} // namespace

class tst_serial_port : public QObject {
    Q_OBJECT
private slots:
    void line_settings_in_force();
    void receive_event_in_batches_data();
    void receive_event_in_batches();
    void discard_drops_buffered_and_driver_bytes();
    void leftovers_from_before_opening_are_dropped();
    void write_reaches_the_line();
    void vanished_line_is_reported_once();
    void open_by_number_through_port_folder();
    void open_failures_data();
    void open_failures();
    void port_table_data();
    void port_table();
};

void tst_serial_port::line_settings_in_force()
{
    pty_pair pty;
    QVERIFY2(pty.create(), qPrintable(pty.error()));
    qt_serial_port port;
    QVERIFY(port.open_device(pty.device()).ok);

    const int fd = ::open(pty.device().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(cfgetispeed(&tio), speed_t(B9600));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
}

void tst_serial_port::receive_event_in_batches_data()
{
    QTest::addColumn<QList<int>>("batches");

    QTest::newRow("one byte at a time") << QList<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    QTest::newRow("threes") << QList<int>{3, 3, 3, 3, 3, 1};
    QTest::newRow("thirteen then three") << QList<int>{13, 3};
    QTest::newRow("seven short of a group") << QList<int>{7};
    QTest::newRow("forty in one go") << QList<int>{40};
    QTest::newRow("odd pieces") << QList<int>{5, 9, 2, 7, 1};
}

void tst_serial_port::receive_event_in_batches()
{
    QFETCH(QList<int>, batches);

    pty_pair pty;
    QVERIFY(pty.create());
    qt_serial_port port;
    QVERIFY(port.open_device(pty.device()).ok);
    port.set_threshold(8);
    group_reader reader(port);

    QByteArray sent;
    int value = 0;
    for (int size : batches) {
        QByteArray batch;
        for (int i = 0; i < size; ++i)
            batch.append(char(value++));
        QCOMPARE(pty.write_far(batch.constData(), batch.size()), long(batch.size()));
        sent += batch;
        QTRY_COMPARE(reader.bytes.size() + port.bytes_waiting(), int(sent.size()));
    }
    const int groups = int(sent.size()) / 8;
    QTRY_COMPARE(reader.events, groups);
    QCOMPARE(reader.short_events, 0);
    QCOMPARE(reader.bytes, sent.left(groups * 8));
    QCOMPARE(port.bytes_waiting(), int(sent.size()) % 8);
    // No event follows for a tail shorter than a group.
    QTest::qWait(50);
    QCOMPARE(reader.events, groups);
}

void tst_serial_port::discard_drops_buffered_and_driver_bytes()
{
    pty_pair pty;
    QVERIFY(pty.create());
    qt_serial_port port;
    QVERIFY(port.open_device(pty.device()).ok);
    port.set_threshold(8);

    pty.write_far("\x01\x02\x03\x04\x05", 5);
    QTRY_COMPARE(port.bytes_waiting(), 5);  // now in Qt's buffer
    pty.write_far("\x06\x07\x08", 3);       // these still sit in the driver
    QTest::qWait(0);
    port.discard_input();
    QCOMPARE(port.bytes_waiting(), 0);
    QTest::qWait(50);
    QCOMPARE(port.bytes_waiting(), 0);
    pty.write_far("\x09", 1);
    QTRY_COMPARE(port.bytes_waiting(), 1);
    QCOMPARE(port.read_byte().value_or(0), std::uint8_t(9));
    QVERIFY(!port.read_byte());  // never reads past what was received
}

void tst_serial_port::leftovers_from_before_opening_are_dropped()
{
    pty_pair pty;
    QVERIFY(pty.create());
    pty.write_far("\x22\x01\x10\x00", 4);
    qt_serial_port port;
    QVERIFY(port.open_device(pty.device()).ok);
    QTest::qWait(50);
    QCOMPARE(port.bytes_waiting(), 0);
}

void tst_serial_port::write_reaches_the_line()
{
    pty_pair pty;
    QVERIFY(pty.create());
    qt_serial_port port;
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));  // closed: nothing
    QVERIFY(port.open_device(pty.device()).ok);
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));
    port.write(make_frame(0x55, 1, 0x12, 0, 0, 0, 16));
    QCOMPARE(read_far(pty, 16).toHex(' ').toUpper(),
             QByteArray("55 01 10 00 00 00 00 66 55 01 12 00 00 00 10 78"));
}

void tst_serial_port::vanished_line_is_reported_once()
{
    auto pty = std::make_unique<pty_pair>();
    QVERIFY(pty->create());
    qt_serial_port port;
    QVERIFY(port.open_device(pty->device()).ok);
    QSignalSpy lost(&port, &serial_port::lost);
    pty->close_far();
    // The next write, or the reader, finds the line gone.
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(!port.is_open());
    QTest::qWait(100);
    QCOMPARE(lost.count(), 1);
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));  // closed now: harmless
    QCOMPARE(lost.count(), 1);

    // A new line opens without a new port object.
    pty = std::make_unique<pty_pair>();
    QVERIFY(pty->create());
    QVERIFY(port.open_device(pty->device()).ok);
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));
    QCOMPARE(read_far(*pty, 8).size(), 8);
}

void tst_serial_port::open_by_number_through_port_folder()
{
    pty_pair pty;
    QVERIFY(pty.create());
    link_port(42, pty.device());
    QCOMPARE(port_device(42), port_folder() + QStringLiteral("/com42"));
    qt_serial_port port;
    const open_result result = port.open(42);
    QVERIFY2(result.ok, qPrintable(result.detail));
    port.write(make_frame(0x55, 1, 0x10, 0, 0, 0, 0));
    QCOMPARE(read_far(pty, 8).size(), 8);
}

void tst_serial_port::open_failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("failure");

    QTest::newRow("port 0 names no port") << "" << 0 << int(open_failure::no_port);
    QTest::newRow("number without a device") << "" << 149 << int(open_failure::no_port);
    QTest::newRow("link to a pulled adapter") << "dangling" << 61 << int(open_failure::not_found);
    QTest::newRow("port held by another program") << "held" << 62 << int(open_failure::busy);
}

void tst_serial_port::open_failures()
{
    QFETCH(QString, setup);
    QFETCH(int, number);
    QFETCH(int, failure);

    pty_pair pty;
    QVERIFY(pty.create());
    qt_serial_port holder;
    if (setup == QLatin1String("dangling"))
        link_port(number, QStringLiteral("/dev/ttyUSB-gone-%1").arg(number));
    if (setup == QLatin1String("held")) {
        link_port(number, pty.device());
        QVERIFY(holder.open(number).ok);
    }
    qt_serial_port port;
    QSignalSpy lost(&port, &serial_port::lost);
    const open_result result = port.open(number);
    QVERIFY(!result.ok);
    QCOMPARE(int(result.failure), failure);
    QVERIFY(!port.is_open());
    const QString message = open_failure_message(number, result);
    QVERIFY2(message.contains(QStringLiteral("COM%1").arg(number)), qPrintable(message));
    if (!result.device.isEmpty())
        QVERIFY2(message.contains(result.device), qPrintable(message));
    QCOMPARE(lost.count(), 0);
}

void tst_serial_port::port_table_data()
{
    QTest::addColumn<QStringList>("dev");       // nodes in a fake /dev
    QTest::addColumn<QStringList>("links");     // com<n> entries in the port folder
    QTest::addColumn<QStringList>("expected");  // "n=name" for every numbered port

    QTest::newRow("four built-in ports and one adapter")
        << QStringList{"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyUSB0"} << QStringList{}
        << QStringList{"1=ttyS0", "2=ttyS1", "3=ttyS2", "4=ttyS3", "5=ttyUSB0"};
    QTest::newRow("a gap ends the family") << QStringList{"ttyS0", "ttyS2", "ttyACM0"}
                                           << QStringList{} << QStringList{"1=ttyS0", "2=ttyACM0"};
    QTest::newRow("folder entries claim their numbers first")
        << QStringList{"ttyS0", "ttyS1", "ttyUSB0"} << QStringList{"com1", "com3"}
        << QStringList{"1=com1", "2=ttyS0", "3=com3", "4=ttyS1", "5=ttyUSB0"};
    QTest::newRow("only names com<n> count") << QStringList{"ttyUSB0"}
                                             << QStringList{"COM2", "com", "com07", "notes"}
                                             << QStringList{"1=ttyUSB0"};
    QTest::newRow("nothing at all") << QStringList{} << QStringList{} << QStringList{};
}

void tst_serial_port::port_table()
{
    QFETCH(QStringList, dev);
    QFETCH(QStringList, links);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("dev"));
    QDir(root.path()).mkpath(QStringLiteral("ports"));
    for (const QString& node : dev) {
        QFile f(root.filePath(QStringLiteral("dev/") + node));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    for (const QString& name : links)
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), root.filePath(QStringLiteral("ports/") + name)));

    const auto table = telvar::port_table(root.filePath(QStringLiteral("ports")),
                                          root.filePath(QStringLiteral("dev")));
    QStringList got;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        got << QStringLiteral("%1=%2").arg(it.key()).arg(QFileInfo(it.value()).fileName());
    QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(tst_serial_port)
#include "tst_serial_port.moc"

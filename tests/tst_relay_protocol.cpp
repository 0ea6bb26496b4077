// Relay frames as they reach the wire, status replies as the board sends
// them, and the poll cycle's slot and watchdog.
#include "relay/module1.h"
#include "relay/poll_cycle.h"
#include "protocol/relay_protocol.h"
#include "support/hex.h"
#include "support/memory_port.h"

#include <QTest>

using namespace telvar;
using telvar::test::hex;
using telvar::test::memory_port;

class tst_relay_protocol : public QObject {
    Q_OBJECT
private slots:
    void relay_frame_data();
    void relay_frame();
    void closed_port_builds_but_sends_nothing();
    void unread_input_is_discarded_before_the_frame();
    void status_reply_data();
    void status_reply();
    void get_bit_agrees_with_halving();
    void last_command_wins();
    void watchdog_counts_down_then_paints_every_tick();
};

void tst_relay_protocol::relay_frame_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("p1");
    QTest::addColumn<int>("p2");
    QTest::addColumn<QString>("wire");

    QTest::newRow("status query at address 1") << 1 << 0x10 << 0 << 0 << "55 01 10 00 00 00 00 66";
    QTest::newRow("status query at address 0") << 0 << 0x10 << 0 << 0 << "55 00 10 00 00 00 00 65";
    QTest::newRow("address 300 wraps to 0x2C") << 300 << 0x10 << 0 << 0 << "55 2C 10 00 00 00 00 91";
    QTest::newRow("address 255") << 255 << 0x10 << 0 << 0 << "55 FF 10 00 00 00 00 64";
    QTest::newRow("pull in all, sum wraps") << 1 << 0x13 << 0xFF << 0xFF << "55 01 13 00 00 FF FF 67";
    QTest::newRow("release all") << 1 << 0x13 << 0 << 0 << "55 01 13 00 00 00 00 69";
    QTest::newRow("pull in relay 16") << 1 << 0x12 << 0 << 16 << "55 01 12 00 00 00 10 78";
    QTest::newRow("release relay 5") << 1 << 0x11 << 0 << 5 << "55 01 11 00 00 00 05 6C";
}

void tst_relay_protocol::relay_frame()
{
    QFETCH(int, address);
    QFETCH(int, code);
    QFETCH(int, p1);
    QFETCH(int, p2);
    QFETCH(QString, wire);

    memory_port port;
    QVERIFY(port.open(1).ok);
    Module1::send_relay_frame(port, address, std::uint8_t(code), std::uint8_t(p1),
                              std::uint8_t(p2));
    QCOMPARE(port.written.size(), 1);
    QCOMPARE(hex(port.written.front()), wire);
    QCOMPARE(hex(Module1::tx_frame), wire);
}

void tst_relay_protocol::closed_port_builds_but_sends_nothing()
{
    memory_port port;
    Module1::send_relay_frame(port, 1, release_relay, 0, 5);
    QVERIFY(port.written.isEmpty());
    QCOMPARE(port.discards, 0);
    QCOMPARE(hex(Module1::tx_frame), QStringLiteral("55 01 11 00 00 00 05 6C"));
}

void tst_relay_protocol::unread_input_is_discarded_before_the_frame()
{
    memory_port port;
    QVERIFY(port.open(1).ok);
    port.set_threshold(8);
    port.feed(test::bytes("22 01 10 00 00"));
    QCOMPARE(port.bytes_waiting(), 5);
    Module1::send_relay_frame(port, 1, status_query, 0, 0);
    QCOMPARE(port.bytes_waiting(), 0);
    QCOMPARE(port.discards, 1);
    QCOMPARE(port.written.size(), 1);
}

void tst_relay_protocol::status_reply_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("pulled_in");  // relays pulled in, as "1,8,9"

    QTest::newRow("relay 1 only") << "22 01 10 00 00 00 01 34" << true << "1";
    QTest::newRow("relay 16 only") << "22 01 10 00 00 80 00 B3" << true << "16";
    QTest::newRow("relays 8 and 9") << "22 01 10 00 00 01 80 B4" << true << "8,9";
    QTest::newRow("all sixteen, sum wraps") << "22 01 10 00 00 FF FF 31" << true
                                            << "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";
    QTest::newRow("none") << "22 01 10 00 00 00 00 33" << true << "";
    QTest::newRow("another board's address") << "22 07 10 00 00 00 01 3A" << true << "1";
    QTest::newRow("wrong checksum") << "22 01 10 00 00 00 01 35" << false << "";
    QTest::newRow("echo of our own frame") << "55 01 10 00 00 00 00 66" << false << "";
    QTest::newRow("start mark off by one") << "23 01 10 00 00 00 01 35" << false << "";
    QTest::newRow("all zero bytes") << "00 00 00 00 00 00 00 00" << false << "";
}

void tst_relay_protocol::status_reply()
{
    QFETCH(QString, reply);
    QFETCH(bool, accepted);
    QFETCH(QString, pulled_in);

    rx_buffer rx{};
    const QByteArray b = test::bytes(reply.toLatin1().constData());
    for (int i = 0; i < 8; ++i)
        rx[i] = static_cast<std::uint8_t>(b[i]);
    QCOMPARE(is_valid_reply(rx), accepted);
    if (!accepted)
        return;
    const auto states = status_reply_states(rx);
    QStringList on;
    for (int relay = 1; relay <= relay_count; ++relay)
        if (states[relay - 1])
            on << QString::number(relay);
    QCOMPARE(on.join(','), pulled_in);
}

void tst_relay_protocol::get_bit_agrees_with_halving()
{
    for (int value = 0; value < 256; ++value) {
        for (std::int16_t n = 0; n < 8; ++n) {
            int v = value, bit = 0;
            for (int i = 0; i <= n; ++i) {
                bit = v % 2;
                v /= 2;
            }
            QCOMPARE(Module1::get_bit(std::uint8_t(value), n), bit);
        }
    }
}

void tst_relay_protocol::last_command_wins()
{
    poll_cycle poll;
    poll.queue_command(release_relay, 0, 3);
    poll.queue_command(pull_in_relay, 0, 7);
    const relay_command first = poll.take_next();
    QCOMPARE(first.code, pull_in_relay);
    QCOMPARE(first.param2, std::uint8_t(7));
    QCOMPARE(poll.take_next().code, status_query);
}

void tst_relay_protocol::watchdog_counts_down_then_paints_every_tick()
{
    poll_cycle poll;
    QVERIFY(poll.watchdog_step());  // nothing heard yet: unknown from the start
    poll.reply_accepted();
    for (int tick = 1; tick <= 5; ++tick) {
        QVERIFY2(!poll.watchdog_step(), qPrintable(QStringLiteral("tick %1").arg(tick)));
        QCOMPARE(poll.link_countdown, 5 - tick);
    }
    QVERIFY(poll.watchdog_step());
    QVERIFY(poll.watchdog_step());
    QCOMPARE(poll.link_countdown, 0);
}

QTEST_GUILESS_MAIN(tst_relay_protocol)
#include "tst_relay_protocol.moc"

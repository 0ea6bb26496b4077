// The parameter requests on the wire, the reading of a box as a number, and
// what each reply does to the dialog's boxes.
#include "protocol/canshu_protocol.h"
#include "params/number_message.h"
#include "relay/module1.h"
#include "support/hex.h"
#include "support/memory_port.h"

#include <QTest>

using namespace telvar;
using namespace telvar::test;

Q_DECLARE_METATYPE(telvar::number_fault)
Q_DECLARE_METATYPE(telvar::reply_box)

namespace {
reply_group group_of(const char* hex_bytes)
{
    const frame f = to_frame(hex_bytes);
    reply_group g{};
    for (int i = 0; i < frame_length; ++i)
        g[i] = f[i];
    return g;
}
} // namespace

class tst_canshu_protocol : public QObject {
    Q_OBJECT
private slots:
    void request_on_the_wire_data();
    void request_on_the_wire();
    void request_with_port_closed();
    void request_discards_unread_input();
    void reading_a_box_data();
    void reading_a_box();
    void number_to_bytes_data();
    void number_to_bytes();
    void fault_message_names_the_box();
    void reply_data();
    void reply();
    void reply_with_a_damaged_byte();
};

void tst_canshu_protocol::request_on_the_wire_data()
{
    QTest::addColumn<QByteArray>("content");  // bytes 0 to 6
    QTest::addColumn<QString>("request");     // code (hex), address, value for canshu_request
    QTest::addColumn<QString>("wire");

    QTest::newRow("read host id, sum wraps past 0xFF")
        << bytes("56 FF 30 00 00 00 00") << "30 7 0" << "56 FF 30 00 00 00 00 85";
    QTest::newRow("write host channel 5")
        << bytes("56 FF 33 00 00 00 05") << "33 0 5" << "56 FF 33 00 00 00 05 8D";
    QTest::newRow("write host id 258")
        << bytes("56 FF 31 00 00 01 02") << "31 0 258" << "56 FF 31 00 00 01 02 89";
    QTest::newRow("read slave id of board 1")
        << bytes("55 01 40 00 00 00 00") << "40 1 0" << "55 01 40 00 00 00 00 96";
    QTest::newRow("pair with board 1")
        << bytes("56 01 34 00 00 00 00") << "34 1 0" << "56 01 34 00 00 00 00 8B";
    QTest::newRow("write host channel 300 sent as 44")
        << bytes("56 FF 33 00 00 00 2C") << "33 0 300" << "56 FF 33 00 00 00 2C B4";
    QTest::newRow("write slave channel 5 of board 1")
        << bytes("55 01 43 00 00 00 05") << "43 1 5" << "55 01 43 00 00 00 05 9E";
    QTest::newRow("write slave id 0x01020304 of board 2")
        << bytes("55 02 41 01 02 03 04") << "41 2 16909060" << "55 02 41 01 02 03 04 A2";
    QTest::newRow("largest sum 7 x 0xFF")
        << bytes("FF FF FF FF FF FF FF") << "" << "FF FF FF FF FF FF FF F9";
}

void tst_canshu_protocol::request_on_the_wire()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, request);
    QFETCH(QString, wire);
    memory_port port;
    port.open(1);
    const auto b = [&](int i) { return static_cast<std::uint8_t>(content[i]); };
    Module1::send_canshu_frame(port, b(0), b(1), b(2), b(3), b(4), b(5), b(6));
    QCOMPARE(port.written.size(), 1);
    QCOMPARE(hex(port.written.front()), wire);
    QCOMPARE(hex(Module1::canshu_frame), wire);
    // The one builder the dialog and the headless link share gives the same bytes.
    if (!request.isEmpty()) {
        const QStringList parts = request.split(QLatin1Char(' '));
        const frame built = canshu_request(std::uint8_t(parts[0].toUInt(nullptr, 16)),
                                           std::uint8_t(parts[1].toUInt()), parts[2].toUInt());
        QCOMPARE(hex(built), wire);
    }
}

void tst_canshu_protocol::request_with_port_closed()
{
    memory_port port;
    Module1::send_canshu_frame(port, 0x56, 0x01, 0x34, 0, 0, 0, 0);
    QVERIFY(port.written.isEmpty());
    // The buffer holds the frame all the same.
    QCOMPARE(hex(Module1::canshu_frame), QStringLiteral("56 01 34 00 00 00 00 8B"));
    // The relay frame's buffer is a different one.
    Module1::send_relay_frame(port, 1, 0x10, 0, 0);
    QCOMPARE(hex(Module1::canshu_frame), QStringLiteral("56 01 34 00 00 00 00 8B"));
}

void tst_canshu_protocol::request_discards_unread_input()
{
    memory_port port;
    port.open(1);
    port.set_threshold(8);
    port.feed(bytes("22 FF 30 00 00"));  // a stray part of an earlier reply
    QCOMPARE(port.bytes_waiting(), 5);
    Module1::send_canshu_frame(port, 0x56, 0xFF, 0x30, 0, 0, 0, 0);
    QCOMPARE(port.bytes_waiting(), 0);
    QCOMPARE(port.written.size(), 1);
}

void tst_canshu_protocol::reading_a_box_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<number_fault>("fault");
    QTest::addColumn<int>("value");

    QTest::newRow("zero") << "0" << number_fault::none << 0;
    QTest::newRow("258") << "258" << number_fault::none << 258;
    QTest::newRow("leading zeros") << "007" << number_fault::none << 7;
    QTest::newRow("largest id") << "2147483647" << number_fault::none << 2147483647;
    QTest::newRow("largest id with leading zeros") << "0002147483647" << number_fault::none << 2147483647;
    QTest::newRow("one beyond the largest") << "2147483648" << number_fault::too_large << 0;
    QTest::newRow("unsigned largest") << "4294967295" << number_fault::too_large << 0;
    QTest::newRow("forty digits") << QString(40, QLatin1Char('9')) << number_fault::too_large << 0;
    QTest::newRow("empty") << "" << number_fault::empty << 0;
    QTest::newRow("one space") << " " << number_fault::not_decimal << 0;
    QTest::newRow("spaces only") << "   " << number_fault::not_decimal << 0;
    QTest::newRow("leading space") << " 5" << number_fault::not_decimal << 0;
    QTest::newRow("trailing space") << "5 " << number_fault::not_decimal << 0;
    QTest::newRow("letters") << "abc" << number_fault::not_decimal << 0;
    QTest::newRow("hex") << "0x10" << number_fault::not_decimal << 0;
    QTest::newRow("digits then letter") << "12a" << number_fault::not_decimal << 0;
    QTest::newRow("plus sign") << "+5" << number_fault::not_decimal << 0;
    QTest::newRow("minus only") << "-" << number_fault::not_decimal << 0;
    QTest::newRow("negative") << "-1" << number_fault::negative << 0;
    QTest::newRow("negative beyond range") << "-99999999999" << number_fault::negative << 0;
    QTest::newRow("minus then letters") << "-x" << number_fault::not_decimal << 0;
    QTest::newRow("decimal point") << "1.5" << number_fault::not_decimal << 0;
    QTest::newRow("thousands separator") << "1,000" << number_fault::not_decimal << 0;
    QTest::newRow("full-width digits") << QStringLiteral("１２") << number_fault::not_decimal << 0;
    QTest::newRow("Arabic-Indic digit") << QStringLiteral("\u0661") << number_fault::not_decimal << 0;
    QTest::newRow("newline inside") << "1\n2" << number_fault::not_decimal << 0;
}

void tst_canshu_protocol::reading_a_box()
{
    QFETCH(QString, text);
    QFETCH(number_fault, fault);
    QFETCH(int, value);
    const number_reading reading = read_number(text);
    QCOMPARE(reading.fault, fault);
    QCOMPARE(reading.ok(), fault == number_fault::none);
    if (reading.ok())
        QCOMPARE(reading.value, value);
}

void tst_canshu_protocol::number_to_bytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("low");          // as an address or a channel
    QTest::addColumn<QByteArray>("id");    // bytes 3 to 6

    QTest::newRow("1") << "1" << 1 << bytes("00 00 00 01");
    QTest::newRow("255") << "255" << 255 << bytes("00 00 00 FF");
    QTest::newRow("256 wraps to 0") << "256" << 0 << bytes("00 00 01 00");
    QTest::newRow("257 wraps to 1") << "257" << 1 << bytes("00 00 01 01");
    QTest::newRow("300 wraps to 44") << "300" << 44 << bytes("00 00 01 2C");
    QTest::newRow("258") << "258" << 2 << bytes("00 00 01 02");
    QTest::newRow("01 02 03 04") << QString::number(16909060) << 4 << bytes("01 02 03 04");
    QTest::newRow("largest") << "2147483647" << 255 << bytes("7F FF FF FF");
}

void tst_canshu_protocol::number_to_bytes()
{
    QFETCH(QString, text);
    QFETCH(int, low);
    QFETCH(QByteArray, id);
    const number_reading reading = read_number(text);
    QVERIFY(reading.ok());
    QCOMPARE(int(low_byte(reading.value)), low);
    const auto b = id_bytes(static_cast<std::uint32_t>(reading.value));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(b.data()), 4), id);
}

void tst_canshu_protocol::fault_message_names_the_box()
{
    const QString message = number_fault_message(QStringLiteral("从机参数："), QStringLiteral("地址："),
                                                 QStringLiteral("abc"), number_fault::not_decimal);
    QVERIFY2(message.contains(QStringLiteral("从机参数：地址：")), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("abc")), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("2147483647")), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral("没有发送")));

    const QString spaces = number_fault_message(QStringLiteral("主机参数："), QStringLiteral("频道："),
                                                QStringLiteral("   "), number_fault::not_decimal);
    QVERIFY2(spaces.contains(QStringLiteral("只有空格")), qPrintable(spaces));

    // A long paste is cut short instead of filling the screen.
    const QString huge = number_fault_message(QStringLiteral("主机参数："), QStringLiteral("ID标识："),
                                              QString(5000, QLatin1Char('x')), number_fault::not_decimal);
    QVERIFY2(huge.size() < 200, qPrintable(QString::number(huge.size())));
}

void tst_canshu_protocol::reply_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<reply_box>("box");
    QTest::addColumn<QString>("shown");  // the value as the box shows it
    QTest::addColumn<bool>("paired");

    QTest::newRow("host id 258") << "22 FF 30 00 00 01 02 54" << true << reply_box::zhuji_id << "258" << false;
    QTest::newRow("answer to a host id write") << "22 FF 31 00 00 01 02 55" << true << reply_box::zhuji_id << "258" << false;
    QTest::newRow("host channel 5") << "22 FF 32 00 00 00 05 58" << true << reply_box::pinlv << "5" << false;
    QTest::newRow("answer to a host channel write") << "22 FF 33 00 00 00 2C 80" << true << reply_box::pinlv << "44" << false;
    QTest::newRow("slave id 258 of board 1") << "22 01 40 00 00 01 02 66" << true << reply_box::Text2 << "258" << false;
    QTest::newRow("answer to a slave id write") << "22 01 41 00 00 01 02 67" << true << reply_box::Text2 << "258" << false;
    QTest::newRow("slave channel 9") << "22 01 42 00 00 00 09 6E" << true << reply_box::Text3 << "9" << false;
    QTest::newRow("answer to a slave channel write") << "22 01 43 00 00 00 FF 65" << true << reply_box::Text3 << "255" << false;
    QTest::newRow("pairing with id 258") << "22 01 34 00 00 01 02 5A" << true << reply_box::Text2 << "258" << true;
    QTest::newRow("largest signed id") << "22 FF 30 7F FF FF FF CD" << true << reply_box::zhuji_id << "2147483647" << false;
    QTest::newRow("id with byte 3 at 0x80, unsigned") << "22 FF 30 80 00 00 00 D1" << true << reply_box::zhuji_id << "2147483648" << false;
    QTest::newRow("id FF FF FF FF, unsigned") << "22 FF 30 FF FF FF FF 4D" << true << reply_box::zhuji_id << "4294967295" << false;
    QTest::newRow("slave id with byte 3 at 0x80") << "22 05 40 80 00 00 01 E8" << true << reply_box::Text2 << "2147483649" << false;
    QTest::newRow("pairing code about the host: nothing") << "22 FF 34 00 00 01 02 58" << true << reply_box::none << "0" << false;
    QTest::newRow("host code about a board: nothing") << "22 01 30 00 00 01 02 56" << true << reply_box::none << "0" << false;
    QTest::newRow("slave code about the host: nothing") << "22 FF 42 00 00 00 09 6C" << true << reply_box::none << "0" << false;
    QTest::newRow("unknown code: nothing") << "22 01 50 00 00 00 01 74" << true << reply_box::none << "0" << false;
    QTest::newRow("status reply code: nothing") << "22 01 10 00 00 00 00 33" << true << reply_box::none << "0" << false;
    QTest::newRow("wrong checksum") << "22 FF 30 00 00 01 02 55" << false << reply_box::none << "0" << false;
    QTest::newRow("relay frame mark") << "55 FF 30 00 00 01 02 87" << false << reply_box::none << "0" << false;
    QTest::newRow("our own request echoed") << "56 FF 30 00 00 00 00 85" << false << reply_box::none << "0" << false;
    QTest::newRow("all zero") << "00 00 00 00 00 00 00 00" << false << reply_box::none << "0" << false;
}

void tst_canshu_protocol::reply()
{
    QFETCH(QString, group);
    QFETCH(bool, accepted);
    QFETCH(reply_box, box);
    QFETCH(QString, shown);
    QFETCH(bool, paired);
    const canshu_reply r = decode_canshu_reply(group_of(group.toLatin1().constData()));
    QCOMPARE(r.accepted, accepted);
    QCOMPARE(r.box, box);
    QCOMPARE(r.paired, paired);
    if (box != reply_box::none)
        QCOMPARE(QString::number(r.value), shown);
}

void tst_canshu_protocol::reply_with_a_damaged_byte()
{
    // Every single-byte change of a good reply is refused: the checksum or the
    // mark no longer fits (values out of 0..255 count as damage too).
    const reply_group good = group_of("22 01 34 00 00 01 02 5A");
    QVERIFY(decode_canshu_reply(good).accepted);
    int refused = 0;
    for (int slot = 0; slot < frame_length; ++slot) {
        for (int value : {good[slot] ^ 0x01, good[slot] ^ 0x80, -1, 256, good[slot] + 256}) {
            reply_group damaged = good;
            damaged[slot] = value;
            const canshu_reply r = decode_canshu_reply(damaged);
            QVERIFY2(!r.accepted && r.box == reply_box::none && !r.paired,
                     qPrintable(QStringLiteral("slot %1 value %2").arg(slot).arg(value)));
            ++refused;
        }
    }
    QCOMPARE(refused, 40);
}

QTEST_GUILESS_MAIN(tst_canshu_protocol)
#include "tst_canshu_protocol.moc"

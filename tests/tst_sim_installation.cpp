// The simulated installation as Telvar meets it over the line: which frame
// gets which reply, and when the radio rule keeps a board silent.
#include "sim/sim_options.h"

// hex.h declares a metatype without including QMetaType: bring it in first.
#include <QMetaType>
#include <QTest>

#include "support/hex.h"

using namespace telvar;
using namespace telvar::test;

namespace
{

// Board 1 linked; board 2 on another channel; board 3 with another id; board 4
// linked, but ignoring switch frames.
sim::installation test_boards()
{
    const auto parsed = sim::parse_options(
        {QStringLiteral("telvar-sim"), QStringLiteral("--board"), QStringLiteral("1,relays=00A5"),
         QStringLiteral("--board"), QStringLiteral("2,channel=2"), QStringLiteral("--board"),
         QStringLiteral("3,id=7"), QStringLiteral("--board"),
         QStringLiteral("4,relays=0001,ignore-switch")});
    return parsed.options.far_side;
}

QString answer_text(sim::installation& far_side, const QString& request)
{
    const auto reply = far_side.answer(to_frame(request.toLatin1().constData()));
    return reply ? hex(*reply) : QStringLiteral("-");
}

} // namespace

class tst_sim_installation : public QObject
{
    Q_OBJECT
private slots:
    void conversation_data();
    void conversation();
    void relay_state_follows_commands_data();
    void relay_state_follows_commands();
};

void tst_sim_installation::conversation_data()
{
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("replies"); // "-" for no reply

    const auto row = [](const char* name, QStringList requests, QStringList replies) {
        QTest::newRow(name) << requests << replies;
    };
    row("status query at address 1", {"55 01 10 00 00 00 00 66"}, {"22 01 10 00 00 00 A5 D8"});
    row("pull in relay 16 at address 1", {"55 01 12 00 00 00 10 78"}, {"22 01 12 00 00 80 A5 5A"});
    row("release relay 1 at address 1", {"55 01 11 00 00 00 01 68"}, {"22 01 11 00 00 00 A4 D8"});
    row("pull in all", {"55 01 13 00 00 FF FF 67"}, {"22 01 13 00 00 FF FF 34"});
    row("release all", {"55 01 13 00 00 00 00 69"}, {"22 01 13 00 00 00 00 36"});
    row("mixed all-relay parameters are not a command", {"55 01 13 00 00 FF 00 68"}, {"-"});
    row("relay 17 does not exist", {"55 01 12 00 00 00 11 79"}, {"-"});
    row("relay 0 does not exist", {"55 01 12 00 00 00 00 68"}, {"-"});
    row("wrong checksum from the PC", {"55 01 10 00 00 00 00 67"}, {"-"});
    row("unknown command code", {"55 01 20 00 00 00 00 76"}, {"-"});
    row("unknown start mark", {"57 01 10 00 00 00 00 68"}, {"-"});
    row("board on another channel stays silent", {"55 02 10 00 00 00 00 67"}, {"-"});
    row("board with another id stays silent", {"55 03 10 00 00 00 00 68"}, {"-"});
    row("board ignoring switch frames: no answer, no change, status answered",
        {"55 04 11 00 00 00 01 6B", "55 04 13 00 00 FF FF 6A", "55 04 10 00 00 00 00 69"},
        {"-", "-", "22 04 10 00 00 00 01 37"});
    row("no board at the address", {"55 09 10 00 00 00 00 6E"}, {"-"});
    row("read host id", {"56 FF 30 00 00 00 00 85"}, {"22 FF 30 00 00 00 01 52"});
    row("write host id 258", {"56 FF 31 00 00 01 02 89"}, {"22 FF 31 00 00 01 02 55"});
    row("largest host id", {"56 FF 31 FF FF FF FF 82", "56 FF 30 00 00 00 00 85"},
        {"22 FF 31 FF FF FF FF 4E", "22 FF 30 FF FF FF FF 4D"});
    row("read host channel", {"56 FF 32 00 00 00 00 87"}, {"22 FF 32 00 00 00 01 54"});
    row("write host channel 5", {"56 FF 33 00 00 00 05 8D"}, {"22 FF 33 00 00 00 05 59"});
    row("read slave id of board 1", {"55 01 40 00 00 00 00 96"}, {"22 01 40 00 00 00 01 64"});
    row("read slave channel of board 1", {"55 01 42 00 00 00 00 98"}, {"22 01 42 00 00 00 01 66"});
    row("pairing reaches a board with another id on the host's channel",
        {"56 03 34 00 00 00 00 8D", "55 03 10 00 00 00 00 68"},
        {"22 03 34 00 00 00 01 5A", "22 03 10 00 00 00 00 35"});
    row("pairing does not reach a board on another channel",
        {"56 02 34 00 00 00 00 8C", "55 02 10 00 00 00 00 67"}, {"-", "-"});
    row("slave moves channel: answered, then silent until the host follows",
        {"55 01 43 00 00 00 02 9B", "55 01 10 00 00 00 00 66", "56 FF 33 00 00 00 02 8A",
         "55 01 10 00 00 00 00 66"},
        {"22 01 43 00 00 00 02 68", "-", "22 FF 33 00 00 00 02 56", "22 01 10 00 00 00 A5 D8"});
    row("host moves channel: the board drops out",
        {"56 FF 33 00 00 00 05 8D", "55 01 10 00 00 00 00 66"}, {"22 FF 33 00 00 00 05 59", "-"});
    row("slave id written: link lost until pairing gives it the host's id back",
        {"55 01 41 00 00 00 05 9C", "55 01 10 00 00 00 00 66", "56 01 34 00 00 00 00 8B",
         "55 01 10 00 00 00 00 66"},
        {"22 01 41 00 00 00 05 69", "-", "22 01 34 00 00 00 01 58", "22 01 10 00 00 00 A5 D8"});
    row("host id written: pairing hands the new id to the board",
        {"56 FF 31 00 00 00 09 8F", "55 01 10 00 00 00 00 66", "56 01 34 00 00 00 00 8B",
         "55 01 40 00 00 00 00 96"},
        {"22 FF 31 00 00 00 09 5B", "-", "22 01 34 00 00 00 09 60", "22 01 40 00 00 00 09 6C"});
}

void tst_sim_installation::conversation()
{
    QFETCH(QStringList, requests);
    QFETCH(QStringList, replies);
    auto far_side = test_boards();
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(answer_text(far_side, requests[i]), replies[i]);
}

void tst_sim_installation::relay_state_follows_commands_data()
{
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QString>("state");

    QTest::newRow("untouched board keeps its relays")
        << QStringList{"55 01 10 00 00 00 00 66"} << "board 1 relays 00A5 id 1 channel 1";
    QTest::newRow("pull in 16 then release 1")
        << QStringList{"55 01 12 00 00 00 10 78", "55 01 11 00 00 00 01 68"}
        << "board 1 relays 80A4 id 1 channel 1";
    QTest::newRow("all in then release 8")
        << QStringList{"55 01 13 00 00 FF FF 67", "55 01 11 00 00 00 08 6F"}
        << "board 1 relays FF7F id 1 channel 1";
    QTest::newRow("pulling in a relay already in changes nothing")
        << QStringList{"55 01 12 00 00 00 01 69"} << "board 1 relays 00A5 id 1 channel 1";
    QTest::newRow("command to an unlinked board is not carried out")
        << QStringList{"56 FF 33 00 00 00 05 8D", "55 01 13 00 00 FF FF 67"}
        << "board 1 relays 00A5 id 1 channel 1";
}

void tst_sim_installation::relay_state_follows_commands()
{
    QFETCH(QStringList, requests);
    QFETCH(QString, state);
    auto far_side = test_boards();
    for (const QString& request : requests)
        far_side.answer(to_frame(request.toLatin1().constData()));
    QCOMPARE(sim::state_lines(far_side).value(0), state);
}

QTEST_GUILESS_MAIN(tst_sim_installation)
#include "tst_sim_installation.moc"

// Both builds' real main window against telvar-sim over a real
// pseudo-terminal: the board's relays on screen, switching that reaches the
// board, the watchdog when the board falls silent, a line that vanishes and
// comes back, and every fault the simulator can put on the line.
#include "relay/main_form.h"
#include "support/e2e_rig.h"
#include "support/message_boxes.h"

#include <QTest>

using namespace telvar;
using namespace telvar::test;

namespace
{
constexpr int slow = 10000; // ms; lossy lines need several ticks to get a reply through

void add_builds(const char* scenario, const std::function<void(QTestData&)>& columns)
{
    for (bool v11 : {false, true}) {
        QTestData& row = QTest::addRow("%s: %s", v11 ? "telvar-v1.1" : "telvar", scenario) << v11;
        columns(row);
    }
}
} // namespace

class tst_e2e_main_window : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(e2e_rig::use_private_port_folder(), "telvar-sim not found"); }
    void cleanup() { close_message_boxes(); }
    void shows_the_boards_relays_data();
    void shows_the_boards_relays();
    void switching_reaches_the_board_data();
    void switching_reaches_the_board();
    void watchdog_when_the_board_falls_silent_data();
    void watchdog_when_the_board_falls_silent();
    void line_vanishes_and_comes_back_data();
    void line_vanishes_and_comes_back();
    void survives_line_faults_data();
    void survives_line_faults();
};

void tst_e2e_main_window::shows_the_boards_relays_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("relays");
    add_builds("default board", [](QTestData& r) { r << 1 << QStringLiteral("00A5"); });
    add_builds("all pulled in", [](QTestData& r) { r << 1 << QStringLiteral("FFFF"); });
    add_builds("all released", [](QTestData& r) { r << 1 << QStringLiteral("0000"); });
    add_builds("relays 1 and 16", [](QTestData& r) { r << 1 << QStringLiteral("8001"); });
    add_builds("board at address 37", [](QTestData& r) { r << 37 << QStringLiteral("0F0F"); });
}

void tst_e2e_main_window::shows_the_boards_relays()
{
    QFETCH(bool, v11);
    QFETCH(int, address);
    QFETCH(QString, relays);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--board", QStringLiteral("%1,relays=%2").arg(address).arg(relays),
                            "--board", QStringLiteral("%1,relays=FFFF").arg(address + 1)}),
             qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    rig.window->VScroll1->set_number(address);
    QTRY_COMPARE_WITH_TIMEOUT(looks(*rig.window), looks_of(relays), slow);
    for (int i = 1; i <= relay_count; ++i)
        QCOMPARE(rig.window->Label2[i]->text(), looks_of(relays)[i - 1] == QLatin1Char('G')
                                                    ? QStringLiteral("  吸合")
                                                    : QStringLiteral("  断开"));

    // The next board along answers only to its own address.
    rig.window->VScroll1->set_number(address + 1);
    QTRY_COMPARE_WITH_TIMEOUT(looks(*rig.window), looks_of("FFFF"), slow);
}

void tst_e2e_main_window::switching_reaches_the_board_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("board_after");
    add_builds("click green box 1 releases it", [](QTestData& r) {
        r << "box 1"
          << "00A4";
    });
    add_builds("click red box 2 pulls it in", [](QTestData& r) {
        r << "box 2"
          << "00A7";
    });
    add_builds("click red box 16 pulls it in", [](QTestData& r) {
        r << "box 16"
          << "80A5";
    });
    add_builds("click label of green box 8 releases it", [](QTestData& r) {
        r << "label 8"
          << "0025";
    });
    add_builds("pull in all", [](QTestData& r) {
        r << "openall"
          << "FFFF";
    });
    add_builds("release all", [](QTestData& r) {
        r << "closeall"
          << "0000";
    });
}

void tst_e2e_main_window::switching_reaches_the_board()
{
    QFETCH(bool, v11);
    QFETCH(QString, action);
    QFETCH(QString, board_after);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);

    const QStringList words = action.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("box"))
        QTest::mouseClick(w.Picture1[words[1].toInt()], Qt::LeftButton, {}, QPoint(3, 3));
    else if (words[0] == QLatin1String("label"))
        QTest::mouseClick(w.Label2[words[1].toInt()], Qt::LeftButton);
    else
        QTest::mouseClick(action == QLatin1String("openall") ? w.openall : w.closeall,
                          Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.relays(1), board_after, slow);
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board_after), slow);
    // One command frame went out, then the polling went on.
    int commands = 0;
    for (const QString& line : rig.sim.log())
        commands += line.contains(QLatin1String("pc>sim 55 01 1")) &&
                    !line.contains(QLatin1String("pc>sim 55 01 10"));
    QCOMPARE(commands, 1);
}

void tst_e2e_main_window::watchdog_when_the_board_falls_silent_data()
{
    QTest::addColumn<bool>("v11");
    add_builds("silence and back", [](QTestData&) {});
}

void tst_e2e_main_window::watchdog_when_the_board_falls_silent()
{
    QFETCH(bool, v11);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--board", "1,relays=F00F"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    QTRY_COMPARE_WITH_TIMEOUT(looks(*rig.window), looks_of("F00F"), slow);

    QCOMPARE(rig.sim.command("silence on"), QStringList{"silence on"});
    QTRY_COMPARE_WITH_TIMEOUT(looks(*rig.window), QString(16, QLatin1Char('Y')), slow);
    QCOMPARE(rig.window->Label2[1]->text(), QStringLiteral("状态未知"));
    QVERIFY(rig.window->port().is_open());
    QVERIFY(!visible_message_box());

    // Switched while the window could not see it: the window shows what the board reports.
    rig.sim.command("set 1 relays 0FF0");
    QCOMPARE(rig.sim.command("silence off"), QStringList{"silence off"});
    QTRY_COMPARE_WITH_TIMEOUT(looks(*rig.window), looks_of("0FF0"), slow);
}

void tst_e2e_main_window::line_vanishes_and_comes_back_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<bool>("timed");
    add_builds("vanish command", [](QTestData& r) { r << false; });
    add_builds("vanish-after option", [](QTestData& r) { r << true; });
}

void tst_e2e_main_window::line_vanishes_and_comes_back()
{
    QFETCH(bool, v11);
    QFETCH(bool, timed);
    e2e_rig rig;
    QVERIFY2(rig.start_sim(timed ? QStringList{"--vanish-after", "1500"} : QStringList{}),
             qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);

    if (!timed)
        QCOMPARE(rig.sim.command("vanish"), QStringList{"vanished"});
    // The window closes its port itself and tells the operator.
    QTRY_VERIFY_WITH_TIMEOUT(w.last_message() != nullptr, slow);
    QCOMPARE(looks(w), QString(16, QLatin1Char('-')));
    QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));
    QVERIFY(!w.port().is_open());
    QVERIFY(!w.openall->isEnabled());

    // Opening the vanished port again fails with a message, not a crash.
    close_message_boxes();
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(!w.port().is_open());
    QTRY_VERIFY(w.last_message() != nullptr);
    QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));
    close_message_boxes();

    // Plugged back in under the same number: the operator reopens and polling resumes.
    const QStringList device = rig.sim.command("reappear");
    QVERIFY2(device.value(0).startsWith(QLatin1String("/dev/")), qPrintable(device.join(' ')));
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(w.port().is_open());
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);
    QTest::mouseClick(w.openall, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.relays(1), QStringLiteral("FFFF"), slow);
}

void tst_e2e_main_window::survives_line_faults_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("worsen"); // control command that breaks the link
    QTest::addColumn<QString>("mend");

    const auto rows = [](const char* name, QStringList options, const char* worsen,
                         const char* mend) {
        add_builds(name, [&](QTestData& r) { r << options << QString(worsen) << QString(mend); });
    };
    rows("a third of replies lost", {"--loss", "0.33", "--seed", "1"}, "fault loss 1",
         "fault loss 0");
    rows("a third of checksums spoilt", {"--bad-checksum", "0.33", "--seed", "2"},
         "fault bad-checksum 1", "fault bad-checksum 0");
    rows("stray bytes before a third of replies", {"--stray", "0.33", "--seed", "3"},
         "fault stray 1", "fault stray 0");
    rows("replies 150 ms late", {"--delay", "150"}, "silence on", "silence off");
    rows("replies in four pieces 30 ms apart", {"--split", "4", "--split-gap", "30"}, "silence on",
         "silence off");
    rows("own frames echoed", {"--echo"}, "silence on", "silence off");
    rows("bytes at line rate", {"--pace"}, "silence on", "silence off");
    rows("everything at once",
         {"--loss", "0.1", "--bad-checksum", "0.1", "--stray", "0.1", "--delay", "20", "--split",
          "2", "--split-gap", "10", "--echo", "--pace", "--seed", "4"},
         "fault loss 1", "fault loss 0");
}

void tst_e2e_main_window::survives_line_faults()
{
    QFETCH(bool, v11);
    QFETCH(QStringList, options);
    QFETCH(QString, worsen);
    QFETCH(QString, mend);
    e2e_rig rig;
    QVERIFY2(rig.start_sim(options), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;

    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);
    QTest::mouseClick(w.closeall, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.relays(1), QStringLiteral("0000"), slow);
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("0000"), slow);

    // The link breaks: the watchdog shows unknown, the port stays open, nothing pops up.
    QVERIFY(!rig.sim.command(worsen).value(0).startsWith(QLatin1String("error")));
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), QString(16, QLatin1Char('Y')), slow);
    QVERIFY(w.port().is_open());
    QVERIFY(!visible_message_box());

    // The line recovers: the states come back and switching works again.
    rig.sim.command("set 1 relays 1234");
    QVERIFY(!rig.sim.command(mend).value(0).startsWith(QLatin1String("error")));
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("1234"), slow);
    QTest::mouseClick(w.openall, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.relays(1), QStringLiteral("FFFF"), slow);
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("FFFF"), slow);
}

QTEST_MAIN(tst_e2e_main_window)
#include "tst_e2e_main_window.moc"

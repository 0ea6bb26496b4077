// Both builds' parameter dialog against telvar-sim over a real
// pseudo-terminal: the port handed from the main window to the dialog and
// back, reading and writing the radio modules' settings, the channel
// confirmation, and pairing.
#include "params/canshu.h"
#include "relay/main_form.h"
#include "support/e2e_rig.h"
#include "support/message_boxes.h"

#include <QPointer>
#include <QTest>

using namespace telvar;
using namespace telvar::test;

namespace
{
constexpr int slow = 10000;

canshu* open_dialog(main_form& w)
{
    QTest::mouseClick(w.wuxian_canshu, Qt::LeftButton);
    return w.parameter_dialog();
}

// Replies come back in the order asked; once a later request's reply is in,
// an earlier request that got none will get none.
bool settle(canshu& d)
{
    d.zhuji_id->clear();
    QTest::mouseClick(d.Command1, Qt::LeftButton);
    return QTest::qWaitFor([&] { return !d.zhuji_id->text().isEmpty(); }, slow);
}

bool sent(sim_process& sim, const char* frame_hex)
{
    for (const QString& line : sim.log())
        if (line.endsWith(QLatin1String("pc>sim ") + QLatin1String(frame_hex)))
            return true;
    return false;
}
} // namespace

class tst_e2e_parameters : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(e2e_rig::use_private_port_folder(), "telvar-sim not found"); }
    void cleanup() { close_message_boxes(); }
    void port_hand_over_data();
    void port_hand_over();
    void round_trip_data();
    void round_trip();
};

void tst_e2e_parameters::port_hand_over_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<bool>("main_open");
    QTest::newRow("telvar, main port open") << false << true;
    QTest::newRow("telvar, main port closed") << false << false;
    QTest::newRow("telvar-v1.1, main port open") << true << true;
    QTest::newRow("telvar-v1.1, main port closed") << true << false;
}

void tst_e2e_parameters::port_hand_over()
{
    QFETCH(bool, v11);
    QFETCH(bool, main_open);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--host-id", "77"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);
    if (!main_open) {
        QTest::mouseClick(w.open_comm, Qt::LeftButton);
        QVERIFY(!w.port().is_open());
    }

    for (int round = 1; round <= 2; ++round) {
        canshu* d = open_dialog(w);
        QVERIFY(d);
        QVERIFY(d->isVisible());
        QVERIFY(!w.isVisible());
        QVERIFY(!w.port().is_open());
        QCOMPARE(looks(w), QString(16, QLatin1Char('-')));
        QVERIFY(d->port().is_open());
        QCOMPARE(d->zhuji_id->text(), QString()); // nothing survives from the last round

        QTest::mouseClick(d->Command1, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->zhuji_id->text(), QStringLiteral("77"), slow);

        QTest::mouseClick(d->open_comm, Qt::LeftButton);
        QTRY_VERIFY(w.parameter_dialog() == nullptr || !w.parameter_dialog()->isVisible());
        QVERIFY(w.isVisible());
        QVERIFY(!w.port().is_open());
        QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));

        // The dialog let go of the port: the main window takes it back.
        QTest::mouseClick(w.open_comm, Qt::LeftButton);
        QVERIFY(w.port().is_open());
        QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);
    }
    QVERIFY(!visible_message_box());
}

void tst_e2e_parameters::round_trip_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<QString>("scenario");
    for (const char* scenario :
         {"read all four values", "write slave channel, cancel",
          "write slave channel, ok, host follows", "write host channel, cancel",
          "pair a board that lost its id", "pair with no board on the channel", "write ids"}) {
        QTest::addRow("telvar: %s", scenario) << false << QString(scenario);
        QTest::addRow("telvar-v1.1: %s", scenario) << true << QString(scenario);
    }
}

void tst_e2e_parameters::round_trip()
{
    QFETCH(bool, v11);
    QFETCH(QString, scenario);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log", "--host-id", "7", "--host-channel", "3"}),
             qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    sim_process& sim = rig.sim;
    QPointer<canshu> d = open_dialog(w);
    QVERIFY(d && d->port().is_open());
    QCOMPARE(d->Text4->text(), QStringLiteral("1"));

    if (scenario == QLatin1String("read all four values")) {
        QTest::mouseClick(d->Command1, Qt::LeftButton);
        QTest::mouseClick(d->Command3, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->pinlv->text(), QStringLiteral("3"), slow);
        QTest::mouseClick(d->Command5, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->Text2->text(), QStringLiteral("7"), slow);
        QTest::mouseClick(d->Command7, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->Text3->text(), QStringLiteral("3"), slow);
        // The first request was answered too, though a later one went out before its reply was
        // read.
        QVERIFY(settle(*d));
        QCOMPARE(d->zhuji_id->text(), QStringLiteral("7"));
    } else if (scenario == QLatin1String("write slave channel, cancel")) {
        d->Text3->setText(QStringLiteral("5"));
        QString asked;
        answer_next_box(QMessageBox::Cancel, &asked);
        QTest::mouseClick(d->Command8, Qt::LeftButton);
        QCOMPARE(asked, QStringLiteral("写入之后，将按照新的频道通信，确认吗？"));
        QVERIFY(settle(*d));
        QVERIFY(!sent(sim, "55 01 43 00 00 00 05 9E"));
        QCOMPARE(sim.state().value(0), QStringLiteral("board 1 relays 00A5 id 7 channel 3"));
    } else if (scenario == QLatin1String("write slave channel, ok, host follows")) {
        d->Text3->setText(QStringLiteral("5"));
        answer_next_box(QMessageBox::Ok);
        QTest::mouseClick(d->Command8, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(sim.state().value(0),
                                  QStringLiteral("board 1 relays 00A5 id 7 channel 5"), slow);
        QVERIFY(sent(sim, "55 01 43 00 00 00 05 9E"));
        // The slave module moved: it no longer hears the host module.
        d->Text3->clear();
        QTest::mouseClick(d->Command7, Qt::LeftButton);
        QVERIFY(settle(*d));
        QCOMPARE(d->Text3->text(), QString());
        // The host module follows, and the board answers again.
        d->pinlv->setText(QStringLiteral("5"));
        answer_next_box(QMessageBox::Ok);
        QTest::mouseClick(d->Command4, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(sim.state().value(1), QStringLiteral("host id 7 channel 5"),
                                  slow);
        QTRY_COMPARE_WITH_TIMEOUT(d->pinlv->text(), QStringLiteral("5"), slow);
        QTest::mouseClick(d->Command7, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->Text3->text(), QStringLiteral("5"), slow);
    } else if (scenario == QLatin1String("write host channel, cancel")) {
        d->pinlv->setText(QStringLiteral("9"));
        answer_next_box(QMessageBox::Cancel);
        QTest::mouseClick(d->Command4, Qt::LeftButton);
        QVERIFY(settle(*d));
        QCOMPARE(sim.state().value(1), QStringLiteral("host id 7 channel 3"));
        QCOMPARE(d->pinlv->text(), QStringLiteral("9"));
    } else if (scenario == QLatin1String("pair a board that lost its id")) {
        sim.command("set 1 id 12");
        QTest::mouseClick(d->Command5, Qt::LeftButton);
        QVERIFY(settle(*d));
        QCOMPARE(d->Text2->text(), QString()); // not linked: no answer
        QString notice;
        answer_next_box(QMessageBox::Ok, &notice);
        QTest::mouseClick(d->Command10, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(notice, QStringLiteral("对码成功！"), slow);
        QCOMPARE(d->Text2->text(), QStringLiteral("7"));
        QCOMPARE(sim.state().value(0), QStringLiteral("board 1 relays 00A5 id 7 channel 3"));
        // Back in the main window the board is in reach again.
        QTest::mouseClick(d->open_comm, Qt::LeftButton);
        QTest::mouseClick(w.open_comm, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), slow);
        return;
    } else if (scenario == QLatin1String("pair with no board on the channel")) {
        sim.command("set 1 channel 4");
        QTest::mouseClick(d->Command10, Qt::LeftButton);
        QVERIFY(settle(*d));
        QVERIFY(sent(sim, "56 01 34 00 00 00 00 8B"));
        QVERIFY(!visible_message_box());
        QCOMPARE(d->Text2->text(), QString());
    } else if (scenario == QLatin1String("write ids")) {
        QCOMPARE(d->Command2->isVisible(), v11);
        QCOMPARE(d->Command6->isVisible(), v11);
        if (!v11)
            return;
        d->zhuji_id->setText(QStringLiteral("258"));
        QTest::mouseClick(d->Command2, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(sim.state().value(1), QStringLiteral("host id 258 channel 3"),
                                  slow);
        QVERIFY(sent(sim, "56 FF 31 00 00 01 02 89"));
        // The board keeps id 7 until it is written or paired.
        d->Text2->setText(QStringLiteral("258"));
        QTest::mouseClick(d->Command6, Qt::LeftButton);
        QVERIFY(settle(*d));
        QCOMPARE(sim.state().value(0), QStringLiteral("board 1 relays 00A5 id 7 channel 3"));
        answer_next_box(QMessageBox::Ok);
        QTest::mouseClick(d->Command10, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(d->Text2->text(), QStringLiteral("258"), slow);
        QTRY_COMPARE_WITH_TIMEOUT(sim.state().value(0),
                                  QStringLiteral("board 1 relays 00A5 id 258 channel 3"), slow);
    }
    // Whatever was asked, the dialog is still there for the next request.
    QVERIFY(d && d->isVisible());
}

QTEST_MAIN(tst_e2e_parameters)
#include "tst_e2e_parameters.moc"

// Minutes of real polling against telvar-sim over a pseudo-terminal, with the
// real timer, a line that loses, spoils and pads replies, and an operator who
// clicks now and then. This process's resident memory and the window's
// objects are sampled as it runs and must stay flat; afterwards the window
// must still show the board as it is.
// TELVAR_SOAK_SECONDS sets the length (default 180 s; 60 s under ASan).
#include "relay/main_form.h"
#include "support/e2e_rig.h"
#include "support/message_boxes.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include "support/process_memory.h"

#include <QTest>
#include <QTimer>

using namespace telvar;
using namespace telvar::test;

namespace {

int soak_seconds()
{
    bool ok = false;
    const int asked = qEnvironmentVariableIntValue("TELVAR_SOAK_SECONDS", &ok);
    if (ok && asked > 0)
        return asked;
#ifdef TELVAR_UNDER_ASAN
    return 60;
#else
    return 180;
#endif
}

} // namespace

class tst_soak_realtime : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(e2e_rig::use_private_port_folder(), "telvar-sim not found"); }
    void cleanup() { close_message_boxes(); }
    void minutes_against_the_simulator();
};

void tst_soak_realtime::minutes_against_the_simulator()
{
    const int seconds = soak_seconds();
    e2e_rig rig;
    // No --log: the harness keeping every log line would itself grow.
    QVERIFY2(rig.start_sim({"--loss", "0.1", "--bad-checksum", "0.05", "--stray", "0.05",
                            "--split", "3", "--pace", "--seed", "11"}),
             qPrintable(rig.error));
    QVERIFY2(rig.open_window(false), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("00A5"), 10000);

    // The operator clicks a relay or an all-relay button every second or so.
    QRandomGenerator random(5);
    QTimer operator_clicks;
    int clicks = 0;
    connect(&operator_clicks, &QTimer::timeout, &operator_clicks, [&] {
        const int choice = int(random.bounded(20));
        if (choice == 18)
            w.openall_Click();
        else if (choice == 19)
            w.closeall_Click();
        else if (choice < 16)
            w.Picture1_Click(choice + 1);
        ++clicks;
    });
    operator_clicks.start(900);

    // Memory and objects, every five seconds.
    QList<long> rss;
    QList<int> objects;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, &sampler, [&] {
        rss << resident_kib();
        objects << w.findChildren<QObject*>().size() + int(QApplication::allWidgets().size());
    });
    sampler.start(5000);

    int events = 0;
    connect(&w.port(), &serial_port::received, &sampler, [&events] { ++events; });

    QElapsedTimer clock;
    clock.start();
    QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= seconds * 1000LL; },
                            seconds * 1000 + 5000));
    operator_clicks.stop();
    sampler.stop();
    QVERIFY(w.port().is_open());
    QVERIFY(!visible_message_box());
    // Polling kept its rhythm: five frames a second, most of them answered.
    QVERIFY2(events >= seconds * 3, qPrintable(QString::number(events)));

    // The line mends: the window shows the board as it is now, once the
    // last parked click has gone out.
    const int mark = events;
    QVERIFY(QTest::qWaitFor([&] { return events >= mark + 4; }, 10000));
    QCOMPARE(w.poll.pending_flag, std::uint8_t(0));
    QVERIFY(!rig.sim.command("fault loss 0").isEmpty());
    QVERIFY(!rig.sim.command("fault bad-checksum 0").isEmpty());
    QVERIFY(!rig.sim.command("fault stray 0").isEmpty());
    const QString relays = rig.sim.relays(1);
    QVERIFY(!relays.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(relays), 10000);

    QVERIFY(rss.size() >= 4);
    qInfo("%d s, %d clicks, %d receive events; resident KiB sampled: %s", seconds, clicks, events,
          qPrintable([&] {
              QStringList s;
              for (long kib : rss)
                  s << QString::number(kib);
              return s.join(' ');
          }()));
    // The first samples include start-up; compare the second against the last.
    QCOMPARE(objects.last(), objects[1]);
#ifndef TELVAR_UNDER_ASAN
    if (rss[1] >= 0)
        QVERIFY2(rss.last() - rss[1] < 1024,
                 qPrintable(QStringLiteral("grew from %1 to %2 KiB").arg(rss[1]).arg(rss.last())));
#endif
}

QTEST_MAIN(tst_soak_realtime)
#include "tst_soak_realtime.moc"

// Both windows on a real serial line whose far side misbehaves: telvar-sim
// with its faults switched on and off while Telvar runs, or a board played by
// the test for what the simulator does not do (garbage at the full line rate,
// a reply cut at a chosen byte, a burst of replies at once). Throughout, a
// watch checks after every receive event and every tick that the relays show
// only what an accepted reply reported, or unknown, or closed; afterwards the
// window must recover once the line does.
#include "params/canshu.h"
#include "relay/main_form.h"
#include "serial/qt_serial_port.h"
#include "support/e2e_rig.h"
#include "support/message_boxes.h"
#include "support/scripted_board.h"

#include <QApplication>
#include <QPointer>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace telvar;
using namespace telvar::test;

namespace {

constexpr int slow = 10000;

bool accepted_by_the_rules(const rx_buffer& rx)
{
    int sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += rx[i];
    return rx[0] == 0x22 && sum % 256 == rx[7];
}

QString looks_of_group(const rx_buffer& rx)
{
    const unsigned relays = unsigned(rx[5]) << 8 | unsigned(rx[6]);
    return looks_of(QString::number(relays, 16).rightJustified(4, QLatin1Char('0')));
}

// Watches a main window after each of its receive events and ticks.
class display_watch : public QObject {
public:
    display_watch(main_form& form, const QString& board_looks) : form_(form)
    {
        allowed_ << QString(16, QLatin1Char('Y')) << QString(16, QLatin1Char('-')) << board_looks;
        // Connected after the window's own handlers, so this runs after them.
        connect(&form.port(), &serial_port::received, this, [this] { check(true); });
        connect(form.Timer1, &QTimer::timeout, this, [this] { check(false); });
    }

    void allow(const QString& looks) { allowed_ << looks; }

    void check(bool after_receive)
    {
        ++checks;
        if (after_receive && accepted_by_the_rules(form_.rx_buf)) {
            const QString reported = looks_of_group(form_.rx_buf);
            if (!allowed_.contains(reported))
                ++chance_replies;  // random bytes that happen to form a reply
            allowed_ << reported;
        }
        const QString shown = looks(form_);
        if (!allowed_.contains(shown))
            wrong << shown;
    }

    int checks = 0;
    int chance_replies = 0;
    QStringList wrong;

private:
    main_form& form_;
    QSet<QString> allowed_;
};

QByteArray reply_bytes(std::uint16_t relays)
{
    const frame f = make_frame(0x22, 0x01, 0x10, 0x00, 0x00, std::uint8_t(relays >> 8),
                               std::uint8_t(relays & 0xFF));
    return QByteArray(reinterpret_cast<const char*>(f.data()), 8);
}

std::unique_ptr<main_form> window_on(int port, bool v11 = false)
{
    auto form = std::make_unique<main_form>(v11 ? variant_v11() : variant_v20(),
                                            [] { return std::make_unique<qt_serial_port>(); });
    form->show();
    form->VScroll2->set_number(port);
    return form;
}

// Waits until the simulator has heard @p frames more frames from us.
bool frames_pass(sim_process& sim, int frames)
{
    const int before = sim.log().size();
    return QTest::qWaitFor([&] { return sim.log().size() >= before + frames; }, slow);
}

// Waits for a line of the simulator's log, after its first @p from lines,
// that contains @p what.
bool log_shows(sim_process& sim, int from, const char* what)
{
    return QTest::qWaitFor(
        [&] {
            const QStringList lines = sim.log();
            for (int i = from; i < lines.size(); ++i)
                if (lines[i].contains(QLatin1String(what)))
                    return true;
            return false;
        },
        slow);
}

const QString board = QStringLiteral("00A5");

// The operator closes the boxes and the event loop gets a turn.
void dismiss_boxes()
{
    close_message_boxes();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class tst_fault_line : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(e2e_rig::use_private_port_folder(), "telvar-sim not found");
    }
    void cleanup() { dismiss_boxes(); }

    void main_window_under_line_faults_data();
    void main_window_under_line_faults();
    void garbage_at_line_rate();
    void reply_split_at_every_byte_data();
    void reply_split_at_every_byte();
    void burst_of_replies();
    void device_vanishes_and_reappears_data();
    void device_vanishes_and_reappears();
    void port_held_by_another_program();
    void dialog_under_line_faults_data();
    void dialog_under_line_faults();
    void dialog_outlives_a_vanished_device();
};

void tst_fault_line::main_window_under_line_faults_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<QStringList>("fault_on");
    QTest::addColumn<QStringList>("fault_off");
    QTest::addColumn<bool>("link_falls");  // the display must fall back to unknown

    const QList<std::tuple<const char*, QStringList, QStringList, bool>> rows = {
        {"stray bytes before every reply", {"fault stray 1"}, {"fault stray 0"}, true},
        {"every checksum spoiled", {"fault bad-checksum 1"}, {"fault bad-checksum 0"}, true},
        {"board silent", {"silence on"}, {"silence off"}, true},
        {"own frame echoed before every reply", {"fault echo on"}, {"fault echo off"}, false},
        {"replies in 8 pieces 15 ms apart",
         {"fault split 8", "fault split-gap 15"},
         {"fault split 1", "fault split-gap 0"},
         false},
        {"replies at the line rate, 100 ms late", {"fault pace on", "fault delay 100"},
         {"fault pace off", "fault delay 0"}, false},
    };
    for (const auto& [name, on, off, falls] : rows) {
        QTest::addRow("telvar: %s", name) << false << on << off << falls;
        QTest::addRow("telvar-v1.1: %s", name) << true << on << off << falls;
    }
}

void tst_fault_line::main_window_under_line_faults()
{
    QFETCH(bool, v11);
    QFETCH(QStringList, fault_on);
    QFETCH(QStringList, fault_off);
    QFETCH(bool, link_falls);

    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board), slow);
    display_watch watch(w, looks_of(board));

    for (const QString& command : fault_on)
        QVERIFY2(!rig.sim.command(command).value(0).startsWith("error"), qPrintable(command));
    if (link_falls) {
        QTRY_COMPARE_WITH_TIMEOUT(looks(w), QString(16, QLatin1Char('Y')), slow);
        QVERIFY(frames_pass(rig.sim, 10));
        QCOMPARE(looks(w), QString(16, QLatin1Char('Y')));
    } else {
        // The board changes under the fault: the window must still follow.
        watch.allow(looks_of("5A5A"));
        QCOMPARE(rig.sim.command("set 1 relays 5A5A").size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of("5A5A"), slow);
        QVERIFY(frames_pass(rig.sim, 10));
        QCOMPARE(looks(w), looks_of("5A5A"));
        QCOMPARE(rig.sim.command("set 1 relays 00A5").size(), 1);
    }
    for (const QString& command : fault_off)
        QVERIFY2(!rig.sim.command(command).value(0).startsWith("error"), qPrintable(command));
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board), slow);

    QVERIFY(w.port().is_open());
    QVERIFY(!visible_message_box());
    QVERIFY(watch.checks >= 10);
    QVERIFY2(watch.wrong.isEmpty(), qPrintable(watch.wrong.join(' ')));
}

void tst_fault_line::garbage_at_line_rate()
{
    // 9600 baud 8N1 carries 960 bytes a second; send that for three seconds.
    const int port = 90;
    scripted_board line(port);
    QVERIFY(line.ok());
    line.relays = 0x00A5;
    auto w = window_on(port);
    QTest::mouseClick(w->open_comm, Qt::LeftButton);
    QVERIFY(w->port().is_open());
    QTRY_COMPARE_WITH_TIMEOUT(looks(*w), looks_of(board), slow);
    display_watch watch(*w, looks_of(board));

    line.answering = false;
    QRandomGenerator random(7);
    int sent = 0;
    QTimer pump;
    pump.setTimerType(Qt::PreciseTimer);
    connect(&pump, &QTimer::timeout, &pump, [&] {
        QByteArray garbage(48, Qt::Uninitialized);  // 50 ms of line time
        for (char& c : garbage)
            c = char(random.bounded(256));
        line.send(garbage);
        sent += garbage.size();
    });
    pump.start(50);
    QVERIFY(QTest::qWaitFor([&] { return sent >= 3 * 960; }, slow));
    pump.stop();
    QCOMPARE(looks(*w), QString(16, QLatin1Char('Y')));

    line.answering = true;
    QTRY_COMPARE_WITH_TIMEOUT(looks(*w), looks_of(board), slow);
    QVERIFY(w->port().is_open());
    QVERIFY2(watch.wrong.isEmpty(), qPrintable(watch.wrong.join(' ')));
    qInfo("%d garbage bytes, %d checks, %d chance replies", sent, watch.checks, watch.chance_replies);
}

void tst_fault_line::reply_split_at_every_byte_data()
{
    QTest::addColumn<int>("cut");
    for (int cut = 1; cut < 8; ++cut)
        QTest::addRow("cut after byte %d", cut) << cut;
}

void tst_fault_line::reply_split_at_every_byte()
{
    QFETCH(int, cut);
    const int port = 91;
    scripted_board line(port);
    QVERIFY(line.ok());
    line.answering = false;
    auto w = window_on(port);
    QTest::mouseClick(w->open_comm, Qt::LeftButton);
    QVERIFY(w->port().is_open());
    w->Timer1->stop();  // the ticks are ours: a tick between the pieces would discard the first
    w->Timer1_Timer();
    QTRY_COMPARE(line.heard.size(), 1);

    const QByteArray reply = reply_bytes(0x8001);  // relays 1 and 16
    line.send(reply.left(cut));
    QTRY_COMPARE(w->port().bytes_waiting(), cut);
    QCOMPARE(looks(*w), QString(16, QLatin1Char('Y')));
    line.send(reply.mid(cut));
    QTRY_COMPARE(looks(*w), looks_of("8001"));
    QCOMPARE(w->poll.link_countdown, 5);
    QCOMPARE(w->port().bytes_waiting(), 0);
}

void tst_fault_line::burst_of_replies()
{
    const int port = 92;
    scripted_board line(port);
    QVERIFY(line.ok());
    line.answering = false;
    auto w = window_on(port);
    QTest::mouseClick(w->open_comm, Qt::LeftButton);
    QVERIFY(w->port().is_open());
    w->Timer1->stop();
    display_watch watch(*w, looks_of("0000"));

    // 500 replies in one write, far more than a receive buffer of 1024 bytes.
    QByteArray burst;
    for (int k = 1; k <= 500; ++k) {
        burst += reply_bytes(std::uint16_t(k));
        watch.allow(looks_of(QString::number(k, 16).rightJustified(4, QLatin1Char('0'))));
    }
    QSignalSpy events(&w->port(), &serial_port::received);
    line.send(burst);
    // Every reply is read in its turn; the last one is what stays shown.
    QTRY_COMPARE_WITH_TIMEOUT(looks(*w), looks_of("01F4"), slow);
    QCOMPARE(w->port().bytes_waiting(), 0);
    QVERIFY(events.size() >= 1);
    QVERIFY2(watch.wrong.isEmpty(), qPrintable(watch.wrong.join(' ')));

    // Still polling afterwards.
    w->Timer1_Timer();
    QTRY_COMPARE(line.heard.size(), 1);
}

void tst_fault_line::device_vanishes_and_reappears_data()
{
    QTest::addColumn<bool>("v11");
    QTest::newRow("telvar") << false;
    QTest::newRow("telvar-v1.1") << true;
}

void tst_fault_line::device_vanishes_and_reappears()
{
    QFETCH(bool, v11);
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(v11), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board), slow);
    display_watch watch(w, looks_of(board));

    const QStringList answer = rig.sim.command("vanish");
    QVERIFY2(answer.size() == 1, qPrintable(answer.join('|')));
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), QString(16, QLatin1Char('-')), slow);
    QTRY_VERIFY_WITH_TIMEOUT(visible_message_box() != nullptr, slow);
    QVERIFY(!w.port().is_open());
    QCOMPARE(looks(w), QString(16, QLatin1Char('-')));
    QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));
    dismiss_boxes();

    // Opening while the device is gone: a message, and the window stays closed.
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(!w.port().is_open());
    QTRY_VERIFY(visible_message_box() != nullptr);
    dismiss_boxes();
    QCOMPARE(looks(w), QString(16, QLatin1Char('-')));

    // The adapter is plugged back in: the same number opens again.
    QVERIFY(!rig.sim.command("reappear").isEmpty());
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(w.port().is_open());
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board), slow);
    QVERIFY(!visible_message_box());
    QVERIFY2(watch.wrong.isEmpty(), qPrintable(watch.wrong.join(' ')));
}

void tst_fault_line::port_held_by_another_program()
{
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log"}), qPrintable(rig.error));
    qt_serial_port holder;
    QVERIFY(holder.open(rig.port).ok);

    auto w = window_on(rig.port);
    QTest::mouseClick(w->open_comm, Qt::LeftButton);
    QVERIFY(!w->port().is_open());
    QTRY_VERIFY(visible_message_box() != nullptr);
    const QString text = visible_message_box()->text();
    QVERIFY2(text.contains(QString::number(rig.port)), qPrintable(text));
    dismiss_boxes();
    QCOMPARE(w->open_comm->text(), QStringLiteral("打开串口"));
    QVERIFY(w->chuankou_num->isEnabled());

    holder.close();
    QTest::mouseClick(w->open_comm, Qt::LeftButton);
    QVERIFY(w->port().is_open());
    QTRY_COMPARE_WITH_TIMEOUT(looks(*w), looks_of(board), slow);
}

void tst_fault_line::dialog_under_line_faults_data()
{
    QTest::addColumn<QStringList>("fault_on");
    QTest::addColumn<QStringList>("fault_off");
    QTest::addColumn<bool>("answer_gets_through");

    QTest::newRow("stray bytes before every reply")
        << QStringList{"fault stray 1"} << QStringList{"fault stray 0"} << false;
    QTest::newRow("every checksum spoiled")
        << QStringList{"fault bad-checksum 1"} << QStringList{"fault bad-checksum 0"} << false;
    QTest::newRow("module silent") << QStringList{"silence on"} << QStringList{"silence off"}
                                   << false;
    QTest::newRow("own frame echoed before every reply")
        << QStringList{"fault echo on"} << QStringList{"fault echo off"} << true;
    QTest::newRow("replies in 8 pieces 15 ms apart")
        << QStringList{"fault split 8", "fault split-gap 15"}
        << QStringList{"fault split 1", "fault split-gap 0"} << true;
}

void tst_fault_line::dialog_under_line_faults()
{
    QFETCH(QStringList, fault_on);
    QFETCH(QStringList, fault_off);
    QFETCH(bool, answer_gets_through);
    const bool silent = fault_on.contains("silence on");

    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log", "--host-id", "4660", "--host-channel", "9"}),
             qPrintable(rig.error));
    QVERIFY2(rig.open_window(false), qPrintable(rig.error));
    QTest::mouseClick(rig.window->wuxian_canshu, Qt::LeftButton);
    QPointer<canshu> d = rig.window->parameter_dialog();
    QVERIFY(d && d->port().is_open());

    // Every box only ever holds nothing or what the module really has.
    QStringList wrong;
    connect(&d->port(), &serial_port::received, d, [&] {
        if (!QStringList{"", "4660"}.contains(d->zhuji_id->text()))
            wrong << "zhuji_id " + d->zhuji_id->text();
        if (!QStringList{"", "9"}.contains(d->pinlv->text()))
            wrong << "pinlv " + d->pinlv->text();
        if (!d->Text2->text().isEmpty() || !d->Text3->text().isEmpty())
            wrong << "slave boxes " + d->Text2->text() + "/" + d->Text3->text();
    });

    for (const QString& command : fault_on)
        QVERIFY2(!rig.sim.command(command).value(0).startsWith("error"), qPrintable(command));
    // One request at a time: each request discards what waits unread, so a
    // second click would cut the first reply short.
    for (QPushButton* button : {d->Command1, d->Command3, d->Command1, d->Command3}) {
        const int logged = rig.sim.log().size();
        QLineEdit* box = button == d->Command1 ? d->zhuji_id : d->pinlv;
        box->clear();
        QSignalSpy received(&d->port(), &serial_port::received);
        QTest::mouseClick(button, Qt::LeftButton);
        if (answer_gets_through) {
            // Filled once the reply's last byte is in: nothing of it is left on the way.
            QTRY_VERIFY_WITH_TIMEOUT(!box->text().isEmpty(), slow);
        } else {
            // The module heard it and, unless silent, its spoilt answer reached
            // the dialog, which must have filled nothing in.
            QVERIFY(log_shows(rig.sim, logged, "pc>sim"));
            if (!silent)
                QVERIFY(!received.isEmpty() || received.wait(slow));
            QCOMPARE(box->text(), QString());
        }
    }
    if (answer_gets_through) {
        QCOMPARE(d->zhuji_id->text(), QStringLiteral("4660"));
        QCOMPARE(d->pinlv->text(), QStringLiteral("9"));
    } else {
        QCOMPARE(d->zhuji_id->text(), QString());
        QCOMPARE(d->pinlv->text(), QString());
    }
    for (const QString& command : fault_off)
        QVERIFY2(!rig.sim.command(command).value(0).startsWith("error"), qPrintable(command));
    d->zhuji_id->clear();
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(d->zhuji_id->text(), QStringLiteral("4660"), slow);
    QVERIFY(d->port().is_open());
    QVERIFY(!visible_message_box());
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(", ")));
}

void tst_fault_line::dialog_outlives_a_vanished_device()
{
    e2e_rig rig;
    QVERIFY2(rig.start_sim({"--log", "--host-id", "31"}), qPrintable(rig.error));
    QVERIFY2(rig.open_window(false), qPrintable(rig.error));
    main_form& w = *rig.window;
    QTest::mouseClick(w.wuxian_canshu, Qt::LeftButton);
    QPointer<canshu> d = w.parameter_dialog();
    QVERIFY(d && d->port().is_open());

    QCOMPARE(rig.sim.command("vanish").size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(visible_message_box() != nullptr, slow);
    QVERIFY(!d->port().is_open());
    dismiss_boxes();
    // Buttons of a dialog without a line do nothing harmful.
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QTest::mouseClick(d->Command5, Qt::LeftButton);
    QVERIFY(d->isVisible());

    // Back to the main window, adapter plugged in again, reopen: all works.
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QTRY_VERIFY(w.isVisible());
    QVERIFY(!rig.sim.command("reappear").isEmpty());
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(w.port().is_open());
    QTRY_COMPARE_WITH_TIMEOUT(looks(w), looks_of(board), slow);
    QTest::mouseClick(w.wuxian_canshu, Qt::LeftButton);
    d = w.parameter_dialog();
    QVERIFY(d && d->port().is_open());
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(d->zhuji_id->text(), QStringLiteral("31"), slow);
}

QTEST_MAIN(tst_fault_line)
#include "tst_fault_line.moc"

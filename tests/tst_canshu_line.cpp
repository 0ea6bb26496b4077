// The parameter dialog on a real serial line: a pseudo-terminal whose far end
// plays the radio modules from a script, the real buttons clicked and the real
// message boxes answered; and the port handed between the two windows.
#include "params/canshu.h"
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "serial/port_mapping.h"
#include "serial/port_mapping_unix.h"
#include "serial/pty_pair.h"
#include "serial/qt_serial_port.h"
#include "support/hex.h"
#include "support/message_boxes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

using namespace telvar;
using namespace telvar::test;

namespace {

// The radio modules at the far end: hears whole frames, answers each with the
// bytes scripted for its hex text, if any.
class scripted_module : public QObject {
public:
    explicit scripted_module(int com_number)
    {
        if (!pty_.create())
            return;
        QDir().mkpath(port_folder());
        link_ = port_folder() + QStringLiteral("/com%1").arg(com_number);
        QFile::remove(link_);
        if (!QFile::link(pty_.device(), link_))
            return;
        notifier_ = std::make_unique<QSocketNotifier>(pty_.far_end(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { on_readable(); });
        ok_ = true;
    }
    ~scripted_module() override { QFile::remove(link_); }

    bool ok() const { return ok_; }
    QString device() const { return pty_.device(); }
    void send(const char* hex_bytes)
    {
        const QByteArray b = bytes(hex_bytes);
        pty_.write_far(b.constData(), b.size());
    }
    /** The line goes away, as a pulled adapter does. */
    void vanish()
    {
        notifier_.reset();
        pty_.close_far();
    }

    QStringList heard;
    QMap<QString, QByteArray> script;  // request → reply

private:
    void on_readable()
    {
        char buf[256];
        long n = 0;
        while ((n = pty_.read_far(buf, sizeof buf)) > 0)
            pending_.append(buf, int(n));
        while (pending_.size() >= frame_length) {
            frame f{};
            for (int i = 0; i < frame_length; ++i)
                f[i] = std::uint8_t(pending_[i]);
            pending_.remove(0, frame_length);
            heard << hex(f);
            const QByteArray reply = script.value(hex(f));
            if (!reply.isEmpty())
                pty_.write_far(reply.constData(), reply.size());
        }
    }

    pty_pair pty_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray pending_;
    QString link_;
    bool ok_ = false;
};

std::unique_ptr<main_form> make_window(const build_variant& variant, int number)
{
    install_font_substitutes();
    auto form = std::make_unique<main_form>(variant, [] { return std::make_unique<qt_serial_port>(); });
    form->show();
    form->VScroll2->set_number(number);
    return form;
}

canshu* open_dialog(main_form& form)
{
    QTest::mouseClick(form.wuxian_canshu, Qt::LeftButton);
    return form.parameter_dialog();
}

// Answers the next modal box with OK or Cancel and keeps its text.
void answer(QMessageBox::StandardButton button, QString* text)
{
    answer_next_box(button, text);
}

} // namespace

class tst_canshu_line : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { close_message_boxes(); }
    void requests_and_replies_data();
    void requests_and_replies();
    void damaged_reply_ignored();
    void twelve_bytes_waiting();
    void hand_over_data();
    void hand_over();
    void port_will_not_open_data();
    void port_will_not_open();
    void port_vanishes();
};

void tst_canshu_line::requests_and_replies_data()
{
    QTest::addColumn<bool>("v11");
    QTest::newRow("telvar") << false;
    QTest::newRow("telvar-v1.1") << true;
}

void tst_canshu_line::requests_and_replies()
{
    QFETCH(bool, v11);
    scripted_module module(41);
    QVERIFY2(module.ok(), "pseudo-terminal");
    module.script.insert("56 FF 30 00 00 00 00 85", bytes("22 FF 30 00 00 01 02 54"));
    module.script.insert("56 FF 32 00 00 00 00 87", bytes("22 FF 32 00 00 00 05 58"));
    module.script.insert("56 FF 33 00 00 00 09 91", bytes("22 FF 33 00 00 00 09 5D"));
    module.script.insert("55 01 42 00 00 00 00 98", bytes("22 01 42 00 00 00 09 6E"));
    module.script.insert("55 01 43 00 00 00 0C A5", bytes("22 01 43 00 00 00 0C 72"));
    module.script.insert("56 01 34 00 00 00 00 8B", bytes("22 01 34 00 00 01 02 5A"));
    module.script.insert("56 FF 31 00 00 01 03 8A", bytes("22 FF 31 00 00 01 03 56"));

    auto form = make_window(v11 ? variant_v11() : variant_v20(), 41);
    canshu* d = open_dialog(*form);
    QVERIFY(d);
    QVERIFY(d->port().is_open());
    QCOMPARE(QFileInfo(d->port().device()).symLinkTarget(), module.device());

    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QTRY_COMPARE(d->zhuji_id->text(), QStringLiteral("258"));
    QTest::mouseClick(d->Command3, Qt::LeftButton);
    QTRY_COMPARE(d->pinlv->text(), QStringLiteral("5"));

    // Channel write, confirmed: the module moves and says so.
    d->pinlv->setText(QStringLiteral("9"));
    QString asked;
    answer(QMessageBox::Ok, &asked);
    QTest::mouseClick(d->Command4, Qt::LeftButton);
    QCOMPARE(asked, QStringLiteral("写入之后，将按照新的频道通信，确认吗？"));
    QTRY_COMPARE(module.heard.size(), 3);
    QCOMPARE(module.heard.last(), QStringLiteral("56 FF 33 00 00 00 09 91"));
    QTRY_COMPARE(d->pinlv->text(), QStringLiteral("9"));

    // Cancelled: nothing goes out; the next frame on the line is the next read.
    d->Text3->setText(QStringLiteral("12"));
    answer(QMessageBox::Cancel, &asked);
    QTest::mouseClick(d->Command8, Qt::LeftButton);
    QTest::mouseClick(d->Command7, Qt::LeftButton);
    QTRY_COMPARE(module.heard.size(), 4);
    QCOMPARE(module.heard.last(), QStringLiteral("55 01 42 00 00 00 00 98"));
    QTRY_COMPARE(d->Text3->text(), QStringLiteral("9"));
    d->Text3->setText(QStringLiteral("12"));
    answer(QMessageBox::Ok, &asked);
    QTest::mouseClick(d->Command8, Qt::LeftButton);
    QTRY_COMPARE(module.heard.size(), 5);
    QCOMPARE(module.heard.last(), QStringLiteral("55 01 43 00 00 00 0C A5"));
    QTRY_COMPARE(d->Text3->text(), QStringLiteral("12"));

    // Pairing, and its notice.
    QString notice;
    answer(QMessageBox::Ok, &notice);
    QTest::mouseClick(d->Command10, Qt::LeftButton);
    QTRY_COMPARE(notice, QStringLiteral("对码成功！"));
    QCOMPARE(d->Text2->text(), QStringLiteral("258"));
    QCOMPARE(module.heard.last(), QStringLiteral("56 01 34 00 00 00 00 8B"));

    // Only the older build can write an id.
    d->zhuji_id->setText(QStringLiteral("259"));
    if (v11) {
        QTest::mouseClick(d->Command2, Qt::LeftButton);
        QTRY_COMPARE(module.heard.size(), 7);
        QCOMPARE(module.heard.last(), QStringLiteral("56 FF 31 00 00 01 03 8A"));
        QTRY_COMPARE(d->zhuji_id->text(), QStringLiteral("259"));
    } else {
        QVERIFY(!d->Command2->isVisible());
        QVERIFY(!d->Command6->isVisible());
    }
    QVERIFY(!visible_message_box());
}

void tst_canshu_line::damaged_reply_ignored()
{
    scripted_module module(42);
    QVERIFY(module.ok());
    auto form = make_window(variant_v20(), 42);
    canshu* d = open_dialog(*form);
    QVERIFY(d && d->port().is_open());
    // A host id with a wrong checksum, then a good channel reply behind it:
    // once the channel shows, the damaged group has been read and dropped.
    module.send("22 FF 30 00 00 01 02 55 22 FF 32 00 00 00 05 58");
    QTRY_COMPARE(d->pinlv->text(), QStringLiteral("5"));
    QCOMPARE(d->zhuji_id->text(), QString());
    // A group with a wrong start mark likewise.
    module.send("23 FF 30 00 00 01 02 55 22 01 42 00 00 00 09 6E");
    QTRY_COMPARE(d->Text3->text(), QStringLiteral("9"));
    QCOMPARE(d->zhuji_id->text(), QString());
    QVERIFY(!visible_message_box());
}

void tst_canshu_line::twelve_bytes_waiting()
{
    scripted_module module(43);
    QVERIFY(module.ok());
    module.script.insert("56 FF 30 00 00 00 00 85", bytes("22 FF 30 00 00 01 02 54"));
    auto form = make_window(variant_v20(), 43);
    canshu* d = open_dialog(*form);
    QVERIFY(d && d->port().is_open());
    // A whole reply and the start of another: the first eight are taken, the
    // other four wait.
    module.send("22 FF 32 00 00 00 05 58 22 FF 30 00");
    QTRY_COMPARE(d->pinlv->text(), QStringLiteral("5"));
    QTRY_COMPARE(d->port().bytes_waiting(), 4);
    QCOMPARE(d->zhuji_id->text(), QString());
    // The next request throws them away, so its reply is read from its first byte.
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QTRY_COMPARE(d->zhuji_id->text(), QStringLiteral("258"));
    QCOMPARE(d->port().bytes_waiting(), 0);
    QCOMPARE(d->pinlv->text(), QStringLiteral("5"));
}

void tst_canshu_line::hand_over_data()
{
    QTest::addColumn<bool>("main_open");
    QTest::newRow("main port open before") << true;
    QTest::newRow("main port closed before") << false;
}

void tst_canshu_line::hand_over()
{
    QFETCH(bool, main_open);
    scripted_module module(44);
    QVERIFY(module.ok());
    module.script.insert("56 FF 32 00 00 00 00 87", bytes("22 FF 32 00 00 00 05 58"));
    auto form = make_window(variant_v20(), 44);
    if (main_open) {
        QTest::mouseClick(form->open_comm, Qt::LeftButton);
        QVERIFY(form->port().is_open());
        QTRY_VERIFY(!module.heard.isEmpty());  // the poll reaches the line
    }
    canshu* d = open_dialog(*form);
    QVERIFY(d);
    // The dialog could open the very device the main window held a moment ago.
    QVERIFY(!form->port().is_open());
    QVERIFY2(d->port().is_open(), d->last_message() ? qPrintable(d->last_message()->text()) : "");
    QVERIFY(!d->last_message());
    QVERIFY(!form->isVisible());
    QCOMPARE(form->open_comm->text(), QStringLiteral("打开串口"));
    for (int i = 1; i <= relay_count; ++i)
        QCOMPARE(form->look(i), main_open ? relay_look::closed : relay_look::unknown);

    // Poll ticks of the hidden main window send nothing: the only frame on
    // the line is the dialog's request, which it sent after them.
    module.heard.clear();
    form->Timer1_Timer();
    form->Timer1_Timer();
    QTest::mouseClick(d->Command3, Qt::LeftButton);
    QTRY_COMPARE(d->pinlv->text(), QStringLiteral("5"));
    QCOMPARE(module.heard, QStringList{"56 FF 32 00 00 00 00 87"});

    // Back to the main window, which reopens the same port at once.
    QPointer<canshu> gone(d);
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QVERIFY(form->isVisible());
    QVERIFY(!form->port().is_open());
    // Released as it closed, not only once the dialog is finally deleted.
    QVERIFY(gone);
    QVERIFY(!gone->port().is_open());
    QTest::mouseClick(form->open_comm, Qt::LeftButton);
    QVERIFY(form->port().is_open());
    QVERIFY(!form->last_message());
    QTRY_VERIFY(!gone);
    module.heard.clear();
    QTRY_VERIFY(module.heard.contains(QStringLiteral("55 01 10 00 00 00 00 66")));
}

void tst_canshu_line::port_will_not_open_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("failure");
    QTest::newRow("port 0") << 0 << int(open_failure::no_port);
    QTest::newRow("adapter unplugged since it was linked") << 47 << int(open_failure::not_found);
}

void tst_canshu_line::port_will_not_open()
{
    QFETCH(int, number);
    QFETCH(int, failure);
    auto module = std::make_unique<scripted_module>(47);
    QVERIFY(module->ok());
    module->vanish();  // the link stays, the device behind it is gone
    auto form = make_window(variant_v20(), number);
    QTest::mouseClick(form->open_comm, Qt::LeftButton);  // fails too, and says so
    close_message_boxes();
    canshu* d = open_dialog(*form);
    QVERIFY(d);
    QVERIFY(d->isVisible());
    QVERIFY(!form->isVisible());
    QVERIFY(!d->port().is_open());
    QVERIFY(d->last_message());
    open_result expected{false, open_failure(failure), {}, {}};
    if (number != 0)
        expected.device = port_folder() + QStringLiteral("/com%1").arg(number);
    QVERIFY2(d->last_message()->text().startsWith(open_failure_message(number, expected)),
             qPrintable(d->last_message()->text()));
    close_message_boxes();
    // Told once: the buttons now send nothing and show nothing; closing returns at once.
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QVERIFY(!d->last_message());
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QVERIFY(form->isVisible());
    QVERIFY(!form->port().is_open());
}

void tst_canshu_line::port_vanishes()
{
    auto module = std::make_unique<scripted_module>(46);
    QVERIFY(module->ok());
    auto form = make_window(variant_v20(), 46);
    canshu* d = open_dialog(*form);
    QVERIFY(d && d->port().is_open());
    module->vanish();
    QTRY_VERIFY(d->last_message());
    QVERIFY2(d->last_message()->text().contains(QStringLiteral("COM46")),
             qPrintable(d->last_message()->text()));
    QVERIFY(!d->port().is_open());
    d->Text4->setText(QStringLiteral("1"));
    QTest::mouseClick(d->Command10, Qt::LeftButton);
    QVERIFY(d->isVisible());
    // One box, whatever else fails after the loss.
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        shown += qobject_cast<QMessageBox*>(w) && w->isVisible();
    QCOMPARE(shown, 1);
    close_message_boxes();
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QVERIFY(form->isVisible());
    QVERIFY(!form->port().is_open());
}

QTEST_MAIN(tst_canshu_line)
#include "tst_canshu_line.moc"

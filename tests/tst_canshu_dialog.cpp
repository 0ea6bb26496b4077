// The parameter dialog through its real controls, on in-memory ports: its
// layout, its buttons' frames, its message boxes, bad input, a port that will
// not open or goes away, and the hand-over to and from the main window.
#include "params/canshu.h"
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "relay/module1.h"
#include "serial/port_mapping.h"
#include "support/hex.h"
#include "support/memory_port.h"
#include "support/message_boxes.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace telvar;
using namespace telvar::test;

namespace {

// What a modal box looked like when it was answered.
struct box_seen {
    bool shown = false;
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* owner = nullptr;
    int buttons = 0;
};

// Answers the next modal box with a key, as an operator at the keyboard would.
void answer_with_key(Qt::Key key, box_seen* seen)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, key, seen] {
        QMessageBox* box = visible_message_box();
        if (!box)
            return;
        seen->shown = true;
        seen->text = box->text();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->modality = box->windowModality();
        seen->owner = box->parentWidget() ? box->parentWidget()->window() : nullptr;
        seen->buttons = int(box->standardButtons());
        QTest::keyClick(box, key);
        poll->deleteLater();
    });
    poll->start();
}

struct rig {
    explicit rig(const build_variant& variant = variant_v20())
    {
        install_font_substitutes();
        window = std::make_unique<main_form>(variant, [this] {
            auto port = std::make_unique<memory_port>();
            if (!made.isEmpty())
                port->next_open = next_dialog_open;
            made.append(port.get());
            return port;
        });
        window->Timer1->stop();
        window->show();
    }
    ~rig() { close_message_boxes(); }

    memory_port& main_port() { return *made.front(); }
    // Valid while the dialog is open.
    memory_port& dialog_port() { return *made.back(); }
    canshu* open_dialog()
    {
        QTest::mouseClick(window->wuxian_canshu, Qt::LeftButton);
        return window->parameter_dialog();
    }
    QStringList written()
    {
        QStringList frames;
        for (const frame& f : dialog_port().written)
            frames << hex(f);
        dialog_port().written.clear();
        return frames;
    }

    open_result next_dialog_open{true, open_failure::none, QStringLiteral("/dev/mem1"), {}};
    QList<memory_port*> made;
    std::unique_ptr<main_form> window;
};

QPushButton* button(canshu* d, const QString& name)
{
    return d->findChild<QPushButton*>(name);
}

int px(int twips)
{
    return (twips + 7) / 15;
}

} // namespace

class tst_canshu_dialog : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { close_message_boxes(); }

    void layout_data();
    void layout();
    void window_and_captions();
    void buttons_of_each_build_data();
    void buttons_of_each_build();
    void focus_order_data();
    void focus_order();

    void buttons_send_data();
    void buttons_send();
    void confirmation_box_data();
    void confirmation_box();
    void replies_fill_boxes_data();
    void replies_fill_boxes();
    void pairing_notice();
    void bad_input_data();
    void bad_input();

    void load_seeds_the_address();
    void hand_over_data();
    void hand_over();
    void second_opening_starts_afresh();
    void port_that_will_not_open_data();
    void port_that_will_not_open();
    void port_lost_while_open();
};

void tst_canshu_dialog::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("large");

    QTest::newRow("Label3") << "Label3" << QRect(360, 240, 1695, 375) << "主机参数：" << true;
    QTest::newRow("Label1") << "Label1" << QRect(480, 840, 1215, 375) << "ID标识：" << false;
    QTest::newRow("zhuji_id") << "zhuji_id" << QRect(1680, 840, 975, 375) << "" << false;
    QTest::newRow("Command1") << "Command1" << QRect(3000, 840, 855, 375) << "读取" << true;
    QTest::newRow("Command2") << "Command2" << QRect(3960, 840, 855, 375) << "写入" << true;
    QTest::newRow("Label2") << "Label2" << QRect(600, 1440, 1095, 375) << "频道：" << false;
    QTest::newRow("pinlv") << "pinlv" << QRect(1680, 1440, 975, 375) << "" << false;
    QTest::newRow("Command3") << "Command3" << QRect(3000, 1440, 855, 375) << "读取" << true;
    QTest::newRow("Command4") << "Command4" << QRect(3960, 1440, 855, 375) << "写入" << true;
    QTest::newRow("Label4") << "Label4" << QRect(360, 2520, 1695, 375) << "从机参数：" << true;
    QTest::newRow("Label7") << "Label7" << QRect(720, 3120, 975, 375) << "地址：" << false;
    QTest::newRow("Text4") << "Text4" << QRect(1680, 3120, 975, 375) << "1" << false;
    QTest::newRow("Command10") << "Command10" << QRect(3000, 3120, 1815, 375) << "对  码" << true;
    QTest::newRow("Label5") << "Label5" << QRect(480, 3720, 1215, 375) << "ID标识：" << false;
    QTest::newRow("Text2") << "Text2" << QRect(1680, 3720, 975, 375) << "" << false;
    QTest::newRow("Command5") << "Command5" << QRect(3000, 3720, 855, 375) << "读取" << true;
    QTest::newRow("Command6") << "Command6" << QRect(3960, 3720, 855, 375) << "写入" << true;
    QTest::newRow("Label6") << "Label6" << QRect(600, 4320, 1095, 375) << "频道：" << false;
    QTest::newRow("Text3") << "Text3" << QRect(1680, 4320, 975, 375) << "" << false;
    QTest::newRow("Command7") << "Command7" << QRect(3000, 4320, 855, 375) << "读取" << true;
    QTest::newRow("Command8") << "Command8" << QRect(3960, 4320, 855, 375) << "写入" << true;
    QTest::newRow("open_comm") << "open_comm" << QRect(2280, 5280, 1455, 375) << "关闭窗口" << true;
}

void tst_canshu_dialog::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    QFETCH(bool, large);
    rig r;
    canshu* d = r.open_dialog();
    QVERIFY(d);
    QWidget* w = d->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->geometry(), QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
    QString shown;
    if (auto* label = qobject_cast<QLabel*>(w))
        shown = label->text();
    else if (auto* box = qobject_cast<QLineEdit*>(w))
        shown = box->text();
    else if (auto* b = qobject_cast<QPushButton*>(w))
        shown = b->text();
    QCOMPARE(shown, text);
    QCOMPARE(w->font().family(), QStringLiteral("宋体"));
    QCOMPARE(w->font().pixelSize(), large ? large_font().pixelSize() : medium_font().pixelSize());
    QVERIFY(!w->font().bold());
    if (qobject_cast<QLabel*>(w)) {
        QVERIFY(w->autoFillBackground());
        QCOMPARE(w->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    if (auto* box = qobject_cast<QLineEdit*>(w)) {
        QVERIFY(!box->isReadOnly());
        QVERIFY(box->maxLength() > 32767);  // above Qt's default cut-off
    }
    if (qobject_cast<QPushButton*>(w) && w->isVisible())
        QVERIFY(w->isEnabled());
}

void tst_canshu_dialog::window_and_captions()
{
    rig r;
    canshu* d = r.open_dialog();
    QVERIFY(d);
    QCOMPARE(d->size(), QSize(398, 397));
    QVERIFY(d->windowTitle().endsWith(QStringLiteral("参数设置")));
    QVERIFY(d->windowTitle().size() > 4);
    QCOMPARE(d->windowTitle(), dialog_caption());
    QVERIFY(d->windowTitle() != variant_v20().main_caption);
    QVERIFY(d->isVisible());
    QVERIFY(!d->parentWidget());  // no owner
    // Centred on its screen.
    const QRect area = d->screen()->availableGeometry();
    const QPoint middle = d->frameGeometry().center();
    QVERIFY2(qAbs(middle.x() - area.center().x()) <= 2 && qAbs(middle.y() - area.center().y()) <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(middle.x()).arg(middle.y())));
}

void tst_canshu_dialog::buttons_of_each_build_data()
{
    QTest::addColumn<bool>("older");
    QTest::newRow("V2.0 hides the id writes") << false;
    QTest::newRow("V1.1 shows the id writes") << true;
}

void tst_canshu_dialog::buttons_of_each_build()
{
    QFETCH(bool, older);
    rig r(older ? variant_v11() : variant_v20());
    canshu* d = r.open_dialog();
    QCOMPARE(d->Command2->isVisible(), older);
    QCOMPARE(d->Command6->isVisible(), older);
    for (QPushButton* b : {d->Command1, d->Command3, d->Command4, d->Command5, d->Command7,
                           d->Command8, d->Command10, d->open_comm})
        QVERIFY(b->isVisible());
    QCOMPARE(d->windowTitle(), dialog_caption());
}

void tst_canshu_dialog::focus_order_data()
{
    QTest::addColumn<bool>("older");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("V2.0") << false
                          << QStringList{"open_comm", "zhuji_id", "Command1", "pinlv", "Command3",
                                         "Command4", "Text2", "Command5", "Text3", "Command7",
                                         "Command8", "Text4", "Command10", "open_comm"};
    QTest::newRow("V1.1") << true
                          << QStringList{"open_comm", "zhuji_id", "Command1", "Command2", "pinlv",
                                         "Command3", "Command4", "Text2", "Command5", "Command6",
                                         "Text3", "Command7", "Command8", "Text4", "Command10",
                                         "open_comm"};
}

void tst_canshu_dialog::focus_order()
{
    QFETCH(bool, older);
    QFETCH(QStringList, order);
    rig r(older ? variant_v11() : variant_v20());
    canshu* d = r.open_dialog();
    d->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(d));
    QStringList visited;
    visited << QApplication::focusWidget()->objectName();
    for (int i = 1; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
}

void tst_canshu_dialog::buttons_send_data()
{
    QTest::addColumn<bool>("older");
    QTest::addColumn<QStringList>("boxes");  // zhuji_id, pinlv, Text4, Text2, Text3
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("wire");       // empty: nothing sent

    const QStringList none{"", "", "", "", ""};
    QTest::newRow("Command1 reads the host id") << false << none << "Command1" << "56 FF 30 00 00 00 00 85";
    QTest::newRow("Command2 writes host id 258") << true << QStringList{"258", "", "", "", ""} << "Command2" << "56 FF 31 00 00 01 02 89";
    QTest::newRow("Command2 writes id 01 02 03 04") << true << QStringList{"16909060", "", "", "", ""} << "Command2" << "56 FF 31 01 02 03 04 90";
    QTest::newRow("Command2 writes the largest id") << true << QStringList{"2147483647", "", "", "", ""} << "Command2" << "56 FF 31 7F FF FF FF 02";
    QTest::newRow("Command2 with zhuji_id empty") << true << none << "Command2" << "";
    QTest::newRow("Command3 reads the host channel") << false << none << "Command3" << "56 FF 32 00 00 00 00 87";
    QTest::newRow("Command4 writes host channel 300 as 44") << false << QStringList{"", "300", "", "", ""} << "Command4" << "56 FF 33 00 00 00 2C B4";
    QTest::newRow("Command4 with pinlv empty, after OK") << false << none << "Command4" << "";
    QTest::newRow("Command5 reads slave id of board 1") << false << QStringList{"", "", "1", "", ""} << "Command5" << "55 01 40 00 00 00 00 96";
    QTest::newRow("Command5 at address 257 as 1") << false << QStringList{"", "", "257", "", ""} << "Command5" << "55 01 40 00 00 00 00 96";
    QTest::newRow("Command5 with Text4 empty") << false << none << "Command5" << "";
    QTest::newRow("Command6 writes slave id 258 at board 3") << true << QStringList{"", "", "3", "258", ""} << "Command6" << "55 03 41 00 00 01 02 9C";
    QTest::newRow("Command6 with Text2 empty") << true << QStringList{"", "", "1", "", ""} << "Command6" << "";
    QTest::newRow("Command6 with Text4 empty") << true << QStringList{"", "", "", "258", ""} << "Command6" << "";
    QTest::newRow("Command7 reads slave channel at 300 as 44") << false << QStringList{"", "", "300", "", ""} << "Command7" << "55 2C 42 00 00 00 00 C3";
    QTest::newRow("Command8 writes slave channel 5 of board 1") << false << QStringList{"", "", "1", "", "5"} << "Command8" << "55 01 43 00 00 00 05 9E";
    QTest::newRow("Command8 with Text3 empty") << false << QStringList{"", "", "1", "", ""} << "Command8" << "";
    QTest::newRow("Command10 pairs with board 1") << false << QStringList{"", "", "1", "", ""} << "Command10" << "56 01 34 00 00 00 00 8B";
    QTest::newRow("Command10 at address 255") << false << QStringList{"", "", "255", "", ""} << "Command10" << "56 FF 34 00 00 00 00 89";
    QTest::newRow("Command10 with Text4 empty") << false << none << "Command10" << "";
}

void tst_canshu_dialog::buttons_send()
{
    QFETCH(bool, older);
    QFETCH(QStringList, boxes);
    QFETCH(QString, name);
    QFETCH(QString, wire);
    rig r(older ? variant_v11() : variant_v20());
    canshu* d = r.open_dialog();
    QLineEdit* order[] = {d->zhuji_id, d->pinlv, d->Text4, d->Text2, d->Text3};
    for (int i = 0; i < 5; ++i)
        order[i]->setText(boxes[i]);
    const bool asks = name == QLatin1String("Command4") || name == QLatin1String("Command8");
    box_seen seen;
    if (asks)
        answer_with_key(Qt::Key_Return, &seen);
    QTest::mouseClick(button(d, name), Qt::LeftButton);
    QCOMPARE(seen.shown, asks);
    QCOMPARE(r.written(), wire.isEmpty() ? QStringList{} : QStringList{wire});
    // An empty box is refused without a word.
    QVERIFY(!visible_message_box());
    // The boxes are left as they were: only replies write them.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(order[i]->text(), boxes[i]);
}

void tst_canshu_dialog::confirmation_box_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<QString>("wire");
    QTest::newRow("Command4, Enter answers OK") << "Command4" << Qt::Key_Return << "56 FF 33 00 00 00 07 8F";
    QTest::newRow("Command4, Escape answers Cancel") << "Command4" << Qt::Key_Escape << "";
    QTest::newRow("Command8, Enter answers OK") << "Command8" << Qt::Key_Return << "55 02 43 00 00 00 07 A1";
    QTest::newRow("Command8, Escape answers Cancel") << "Command8" << Qt::Key_Escape << "";
}

void tst_canshu_dialog::confirmation_box()
{
    QFETCH(QString, name);
    QFETCH(Qt::Key, key);
    QFETCH(QString, wire);
    rig r;
    canshu* d = r.open_dialog();
    d->Text4->setText(QStringLiteral("2"));
    d->pinlv->setText(QStringLiteral("7"));
    d->Text3->setText(QStringLiteral("7"));
    box_seen seen;
    answer_with_key(key, &seen);
    QTest::mouseClick(button(d, name), Qt::LeftButton);
    QVERIFY(seen.shown);
    QCOMPARE(seen.text, QStringLiteral("写入之后，将按照新的频道通信，确认吗？"));
    QCOMPARE(seen.title, program_title());
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QCOMPARE(seen.buttons, int(QMessageBox::Ok | QMessageBox::Cancel));
    QCOMPARE(seen.modality, Qt::WindowModal);
    QCOMPARE(seen.owner, static_cast<QWidget*>(d));
    QCOMPARE(r.written(), wire.isEmpty() ? QStringList{} : QStringList{wire});
}

void tst_canshu_dialog::replies_fill_boxes_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("boxes");  // zhuji_id, pinlv, Text2, Text3 afterwards

    QTest::newRow("host id 258") << "22 FF 30 00 00 01 02 54" << QStringList{"258", "-", "-", "-"};
    QTest::newRow("host channel 5") << "22 FF 32 00 00 00 05 58" << QStringList{"-", "5", "-", "-"};
    QTest::newRow("slave id 258") << "22 01 40 00 00 01 02 66" << QStringList{"-", "-", "258", "-"};
    QTest::newRow("slave channel 9") << "22 01 42 00 00 00 09 6E" << QStringList{"-", "-", "-", "9"};
    QTest::newRow("id beyond signed range, unsigned") << "22 FF 30 FF FF FF FF 4D" << QStringList{"4294967295", "-", "-", "-"};
    QTest::newRow("pairing code with byte 1 FF") << "22 FF 34 00 00 01 02 58" << QStringList{"-", "-", "-", "-"};
    QTest::newRow("wrong checksum") << "22 FF 30 00 00 01 02 55" << QStringList{"-", "-", "-", "-"};
}

void tst_canshu_dialog::replies_fill_boxes()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, boxes);
    rig r;
    canshu* d = r.open_dialog();
    for (QLineEdit* box : {d->zhuji_id, d->pinlv, d->Text2, d->Text3})
        box->setText(QStringLiteral("-"));
    r.dialog_port().feed(bytes(reply.toLatin1().constData()));
    QCOMPARE(d->zhuji_id->text(), boxes[0]);
    QCOMPARE(d->pinlv->text(), boxes[1]);
    QCOMPARE(d->Text2->text(), boxes[2]);
    QCOMPARE(d->Text3->text(), boxes[3]);
    QVERIFY(!visible_message_box());
    QCOMPARE(r.dialog_port().bytes_waiting(), 0);
}

void tst_canshu_dialog::pairing_notice()
{
    rig r;
    canshu* d = r.open_dialog();
    box_seen seen;
    answer_with_key(Qt::Key_Return, &seen);
    // Split arrival: nothing happens until the eighth byte is there.
    r.dialog_port().feed(bytes("22 01 34 00 00"));
    QCOMPARE(d->Text2->text(), QString());
    r.dialog_port().feed(bytes("01 02 5A"));
    QVERIFY(seen.shown);
    QCOMPARE(d->Text2->text(), QStringLiteral("258"));
    QCOMPARE(seen.text, QStringLiteral("对码成功！"));
    QCOMPARE(seen.title, program_title());
    QCOMPARE(seen.buttons, int(QMessageBox::Ok));
    QCOMPARE(seen.modality, Qt::WindowModal);
    QCOMPARE(seen.owner, static_cast<QWidget*>(d));
    QVERIFY(!visible_message_box());

    // Escape closes it as well.
    box_seen again;
    answer_with_key(Qt::Key_Escape, &again);
    r.dialog_port().feed(bytes("22 01 34 00 00 01 03 5B"));
    QVERIFY(again.shown);
    QCOMPARE(d->Text2->text(), QStringLiteral("259"));
    QVERIFY(!visible_message_box());
}

void tst_canshu_dialog::bad_input_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("box");       // 0 zhuji_id, 1 pinlv, 2 Text4, 3 Text2, 4 Text3
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named"); // how the message names the box

    QTest::newRow("letters in the address, read id") << "Command5" << 2 << "abc" << "从机参数：地址：";
    QTest::newRow("spaces only in the address, pair") << "Command10" << 2 << "  " << "从机参数：地址：";
    QTest::newRow("negative address, read channel") << "Command7" << 2 << "-1" << "从机参数：地址：";
    QTest::newRow("huge address") << "Command5" << 2 << "99999999999" << "从机参数：地址：";
    QTest::newRow("letters in the host channel") << "Command4" << 1 << "five" << "主机参数：频道：";
    QTest::newRow("negative host channel") << "Command4" << 1 << "-5" << "主机参数：频道：";
    QTest::newRow("slave channel beyond 32 bits") << "Command8" << 4 << "2147483648" << "从机参数：频道：";
    QTest::newRow("space before the slave channel") << "Command8" << 4 << " 5" << "从机参数：频道：";
    QTest::newRow("host id with letters") << "Command2" << 0 << "12ab" << "主机参数：ID标识：";
    QTest::newRow("host id beyond signed range") << "Command2" << 0 << "4294967295" << "主机参数：ID标识：";
    QTest::newRow("slave id negative") << "Command6" << 3 << "-258" << "从机参数：ID标识：";
    QTest::newRow("slave id pasted with a newline") << "Command6" << 3 << "25\n8" << "从机参数：ID标识：";
    QTest::newRow("very long text") << "Command6" << 3 << QString(10000, QLatin1Char('7')) << "从机参数：ID标识：";
}

void tst_canshu_dialog::bad_input()
{
    QFETCH(QString, name);
    QFETCH(int, box);
    QFETCH(QString, text);
    QFETCH(QString, named);
    rig r(variant_v11());
    canshu* d = r.open_dialog();
    QLineEdit* boxes[] = {d->zhuji_id, d->pinlv, d->Text4, d->Text2, d->Text3};
    for (QLineEdit* b : boxes)
        b->setText(QStringLiteral("1"));
    boxes[box]->setText(text);
    box_seen seen;
    if (name == QLatin1String("Command4") || name == QLatin1String("Command8"))
        answer_with_key(Qt::Key_Return, &seen);
    QTest::mouseClick(button(d, name), Qt::LeftButton);
    QVERIFY(r.written().isEmpty());
    QMessageBox* message = d->last_message();
    QVERIFY(message);
    QVERIFY(message->isVisible());
    QVERIFY2(message->text().contains(named), qPrintable(message->text()));
    QVERIFY2(message->text().contains(QStringLiteral("0 到 2147483647")), qPrintable(message->text()));
    QCOMPARE(message->windowTitle(), program_title());
    QCOMPARE(message->parentWidget(), static_cast<QWidget*>(d));
    // A second bad click reuses the same box instead of stacking another.
    if (name != QLatin1String("Command4") && name != QLatin1String("Command8")) {
        QTest::mouseClick(button(d, name), Qt::LeftButton);
        int shown = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            shown += qobject_cast<QMessageBox*>(w) && w->isVisible();
        QCOMPARE(shown, 1);
    }
    // Once mended, the same button sends.
    message->close();
    boxes[box]->setText(QStringLiteral("1"));
    if (name == QLatin1String("Command4") || name == QLatin1String("Command8"))
        answer_with_key(Qt::Key_Return, &seen);
    QTest::mouseClick(button(d, name), Qt::LeftButton);
    QCOMPARE(r.written().size(), 1);
}

void tst_canshu_dialog::load_seeds_the_address()
{
    rig r;
    r.window->VScroll1->set_number(37);
    QCOMPARE(r.window->add->text(), QStringLiteral("37"));
    canshu* d = r.open_dialog();
    QCOMPARE(d->Text4->text(), QStringLiteral("37"));
    for (QLineEdit* box : {d->zhuji_id, d->pinlv, d->Text2, d->Text3})
        QCOMPARE(box->text(), QString());
    // The open dialog follows nothing: it took a copy.
    r.window->VScroll1->set_number(38);
    QCOMPARE(d->Text4->text(), QStringLiteral("37"));
}

void tst_canshu_dialog::hand_over_data()
{
    QTest::addColumn<bool>("main_open");
    QTest::newRow("main port open before") << true;
    QTest::newRow("main port closed before") << false;
}

void tst_canshu_dialog::hand_over()
{
    QFETCH(bool, main_open);
    rig r;
    main_form& w = *r.window;
    w.VScroll2->set_number(7);
    if (main_open) {
        QTest::mouseClick(w.open_comm, Qt::LeftButton);
        QVERIFY(r.main_port().is_open());
        w.Timer1->stop();
    }
    const QColor before = w.Picture1[3]->colour();
    canshu* d = r.open_dialog();
    QVERIFY(d);
    QVERIFY(!r.main_port().is_open());
    QVERIFY(!w.isVisible());
    QVERIFY(d->isVisible());
    QCOMPARE(r.made.size(), 2);
    QCOMPARE(r.dialog_port().opened_number, 7);
    QVERIFY(r.dialog_port().is_open());
    QCOMPARE(r.dialog_port().threshold(), 8);
    QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));
    if (main_open) {
        QCOMPARE(w.look(3), relay_look::closed);
        QVERIFY(!w.openall->isEnabled());
        QVERIFY(w.chuankou_num->isEnabled());
    } else {
        QCOMPARE(w.Picture1[3]->colour(), before);  // left exactly as it was
    }

    // The dialog's requests go out on its own port, never the main one.
    const int main_frames = r.main_port().written.size();
    QTest::mouseClick(d->Command1, Qt::LeftButton);
    QCOMPARE(r.written(), QStringList{"56 FF 30 00 00 00 00 85"});
    QCOMPARE(r.main_port().written.size(), main_frames);

    QPointer<canshu> gone(d);
    memory_port* dialog_port = &r.dialog_port();
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    // Released before the main window is back, not only once deleted.
    QVERIFY(!dialog_port->is_open());
    QVERIFY(w.isVisible());
    QVERIFY(!r.main_port().is_open());
    QCOMPARE(w.open_comm->text(), QStringLiteral("打开串口"));
    QTRY_VERIFY(!gone);
    QVERIFY(!w.parameter_dialog());
    QTest::mouseClick(w.open_comm, Qt::LeftButton);
    QVERIFY(r.main_port().is_open());
    QCOMPARE(r.main_port().opened_number, 7);
}

void tst_canshu_dialog::second_opening_starts_afresh()
{
    rig r;
    canshu* d = r.open_dialog();
    r.dialog_port().feed(bytes("22 FF 30 00 00 01 02 54"));
    d->pinlv->setText(QStringLiteral("12"));
    d->Text4->setText(QStringLiteral("99"));
    QCOMPARE(d->zhuji_id->text(), QStringLiteral("258"));
    d->close();  // the window's close box unloads it the same way
    QVERIFY(r.window->isVisible());
    r.window->VScroll1->set_number(4);
    canshu* again = r.open_dialog();
    QVERIFY(again);
    for (QLineEdit* box : {again->zhuji_id, again->pinlv, again->Text2, again->Text3})
        QCOMPARE(box->text(), QString());
    QCOMPARE(again->Text4->text(), QStringLiteral("4"));
    QCOMPARE(r.made.size(), 3);  // a port of its own each time
}

void tst_canshu_dialog::port_that_will_not_open_data()
{
    QTest::addColumn<int>("failure");
    QTest::newRow("port number names no device") << int(open_failure::no_port);
    QTest::newRow("device missing") << int(open_failure::not_found);
    QTest::newRow("held by another program") << int(open_failure::busy);
}

void tst_canshu_dialog::port_that_will_not_open()
{
    QFETCH(int, failure);
    rig r;
    r.next_dialog_open = {false, open_failure(failure), QStringLiteral("/dev/ttyUSB9"), {}};
    const QString says = open_failure_message(0, r.next_dialog_open);
    r.window->VScroll2->set_number(0);
    canshu* d = r.open_dialog();
    QVERIFY(d);
    QVERIFY(d->isVisible());
    QVERIFY(!r.window->isVisible());
    QVERIFY(!r.dialog_port().is_open());
    QMessageBox* message = d->last_message();
    QVERIFY(message && message->isVisible());
    QVERIFY2(message->text().contains(says), qPrintable(message->text()));
    QCOMPARE(message->parentWidget(), static_cast<QWidget*>(d));
    message->close();

    // Told once: buttons now send nothing and show nothing, the frame is built all the same.
    d->Text4->setText(QStringLiteral("1"));
    const auto shown = [] {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            count += w->isVisible();
        return count;
    };
    const int windows = shown();
    QTest::mouseClick(d->Command10, Qt::LeftButton);
    QVERIFY(r.written().isEmpty());
    QVERIFY(!visible_message_box());
    QCOMPARE(shown(), windows);
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(hex(Module1::canshu_frame), QStringLiteral("56 01 34 00 00 00 00 8B"));

    // "关闭窗口" works at once, with no box to dismiss first.
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QVERIFY(r.window->isVisible());
    QVERIFY(!r.main_port().is_open());
}

void tst_canshu_dialog::port_lost_while_open()
{
    rig r;
    canshu* d = r.open_dialog();
    d->Text4->setText(QStringLiteral("1"));
    r.dialog_port().vanish(QStringLiteral("cable pulled"));
    QMessageBox* message = d->last_message();
    QVERIFY(message && message->isVisible());
    QVERIFY2(message->text().contains(QStringLiteral("cable pulled")), qPrintable(message->text()));
    QVERIFY(d->isVisible());
    // Still usable: a read sends nothing, and the one box tells why.
    QTest::mouseClick(d->Command5, Qt::LeftButton);
    QVERIFY(r.written().isEmpty());
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        shown += qobject_cast<QMessageBox*>(w) && w->isVisible();
    QCOMPARE(shown, 1);
    // Bytes after the loss are not taken for a reply.
    r.dialog_port().feed(bytes("22 FF 30 00 00 01 02 54"));
    QCOMPARE(d->zhuji_id->text(), QString());
    close_message_boxes();
    QTest::mouseClick(d->open_comm, Qt::LeftButton);
    QVERIFY(r.window->isVisible());
    QTest::mouseClick(r.window->open_comm, Qt::LeftButton);
    QVERIFY(r.main_port().is_open());
}

QTEST_MAIN(tst_canshu_dialog)
#include "tst_canshu_dialog.moc"

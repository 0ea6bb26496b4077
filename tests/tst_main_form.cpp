// The main window against an in-memory port: its looks, the poll tick, the
// status display, the operator's clicks, the spinners and port failures.
#include "relay/form_style.h"
#include "support/hex.h"
#include "support/message_boxes.h"
#include "support/window_fixture.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QHelpEvent>
#include <QImageReader>
#include <QScreen>
#include <QTemporaryDir>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

using namespace telvar;
using telvar::test::window_fixture;

namespace {

QString looks(const main_form& form)
{
    QString s;
    for (int i = 1; i <= relay_count; ++i) {
        switch (form.look(i)) {
        case relay_look::pulled_in: s += 'G'; break;
        case relay_look::released: s += 'R'; break;
        case relay_look::unknown: s += 'Y'; break;
        case relay_look::closed: s += '-'; break;
        }
    }
    return s;
}

bool all_labels_read(const main_form& form, const QString& text)
{
    for (int i = 1; i <= relay_count; ++i)
        if (form.Label2[i]->text() != text)
            return false;
    return true;
}

// Centre of one arrow of a spinner, where an operator would click.
QPoint arrow(QScrollBar* bar, QStyle::SubControl which)
{
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.subControls = QStyle::SC_All;
    opt.orientation = bar->orientation();
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    opt.sliderPosition = bar->sliderPosition();
    opt.sliderValue = bar->value();
    opt.singleStep = bar->singleStep();
    opt.pageStep = bar->pageStep();
    opt.upsideDown = bar->invertedAppearance();
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, which, bar).center();
}

const QString unknown = QStringLiteral("状态未知");

// A control of the main window by its design name: "open_comm", "Picture1_5", "Label4_14".
QWidget* control(main_form& form, const QString& name)
{
    const int index = name.section('_', -1).toInt();
    if (name.startsWith(QLatin1String("Picture1_")))
        return form.Picture1[index];
    if (name.startsWith(QLatin1String("Label2_")))
        return form.Label2[index];
    if (name.startsWith(QLatin1String("Label4_")))
        return form.Label4[index];
    const std::map<QString, QWidget*> named{
        {"main_form", &form},          {"Label3", form.Label3},     {"Label5", form.Label5},
        {"chuankou_num", form.chuankou_num}, {"VScroll2", form.VScroll2},
        {"open_comm", form.open_comm}, {"add", form.add},           {"VScroll1", form.VScroll1},
        {"wuxian_canshu", form.wuxian_canshu}, {"openall", form.openall},
        {"closeall", form.closeall}};
    const auto found = named.find(name);
    return found == named.end() ? nullptr : found->second;
}

// The application palette of a dark desktop theme, while it lives.
struct desktop_palette {
    explicit desktop_palette(bool dark) : saved(QApplication::palette())
    {
        if (!dark)
            return;
        const QColor face(53, 53, 53);
        QPalette palette(Qt::white, face, QColor(80, 80, 80), QColor(25, 25, 25),
                         QColor(40, 40, 40), Qt::white, Qt::white, QColor(35, 35, 35), face);
        for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(QPalette::Disabled, role, QColor(110, 110, 110));
        QApplication::setPalette(palette);
    }
    ~desktop_palette() { QApplication::setPalette(saved); }
    QPalette saved;
};

} // namespace

class tst_main_form : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { test::close_message_boxes(); }

    void start_up_look();
    void layout_data();
    void layout();
    void captions_of_both_builds();
    void focus_order();
    void centred_when_shown();
    void number_boxes_refuse_typing();
    void port_box_tooltip_names_the_device();
    void light_look_whatever_the_desktop_data();
    void light_look_whatever_the_desktop();

    void open_and_close_looks_data();
    void open_and_close_looks();
    void open_failure_keeps_the_closed_look_data();
    void open_failure_keeps_the_closed_look();
    void device_lost_closes_once();

    void replies_data();
    void replies();
    void short_read_waits_for_the_rest();
    void twelve_bytes_take_the_first_eight();

    void ticks_send_query_or_parked_command();
    void watchdog_paints_on_the_sixth_tick();
    void clicks_data();
    void clicks();
    void click_on_unknown_keeps_parked_command();
    void command_before_closing_goes_after_reopening();
    void openall_before_opening_is_lost();
    void address_change_applies_to_next_frame();

    void spinner_arrows_data();
    void spinner_arrows();

    void looks_as_before_data();
    void looks_as_before();
};

void tst_main_form::start_up_look()
{
    window_fixture f;
    main_form& form = f.form();
    QCOMPARE(looks(form), QString(16, 'Y'));
    QVERIFY(all_labels_read(form, unknown));
    QCOMPARE(form.open_comm->text(), QStringLiteral("打开串口"));
    QCOMPARE(form.chuankou_num->text(), QStringLiteral("1"));
    QCOMPARE(form.add->text(), QStringLiteral("1"));
    QVERIFY(form.openall->isEnabled());
    QVERIFY(form.closeall->isEnabled());
    QVERIFY(form.chuankou_num->isEnabled());
    QVERIFY(!form.port().is_open());

    // The poll tick runs from the start, port open or not.
    window_fixture running;
    QVERIFY(running.form().Timer1->interval() == 200);
    QCOMPARE(running.form().Timer1->timerType(), Qt::PreciseTimer);
    main_form fresh(variant_v20(), [] { return std::make_unique<test::memory_port>(); });
    QVERIFY(fresh.Timer1->isActive());
}

void tst_main_form::layout_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("twips");

    QTest::newRow("port number box") << "chuankou_num" << QRect(1680, 120, 615, 375);
    QTest::newRow("port spinner") << "VScroll2" << QRect(2280, 120, 375, 375);
    QTest::newRow("port button") << "open_comm" << QRect(3840, 120, 1455, 375);
    QTest::newRow("address box") << "add" << QRect(1680, 840, 690, 375);
    QTest::newRow("address spinner") << "VScroll1" << QRect(2310, 840, 375, 375);
    QTest::newRow("dialog button") << "wuxian_canshu" << QRect(3840, 840, 1455, 375);
    QTest::newRow("pull in all") << "openall" << QRect(1320, 7440, 1455, 375);
    QTest::newRow("release all") << "closeall" << QRect(3600, 7440, 1455, 375);
    QTest::newRow("relay 1 top left") << "Picture1_1" << QRect(1080, 1560, 1335, 615);
    QTest::newRow("relay 8 bottom left") << "Picture1_8" << QRect(1080, 6600, 1335, 615);
    QTest::newRow("relay 9 bottom right") << "Picture1_9" << QRect(3840, 6600, 1335, 615);
    QTest::newRow("relay 16 top right") << "Picture1_16" << QRect(3840, 1560, 1335, 615);
    QTest::newRow("name of relay 14") << "Label4_14" << QRect(5280, 3120, 1455, 375);
    QTest::newRow("name of relay 3") << "Label4_3" << QRect(120, 3120, 975, 375);
}

void tst_main_form::layout()
{
    QFETCH(QString, control);
    QFETCH(QRect, twips);

    window_fixture f;
    main_form& form = f.form();
    QCOMPARE(form.size(), QSize(448, 531));
    QWidget* w = ::control(form, control);
    QVERIFY2(w, qPrintable(control));
    QCOMPARE(w->geometry(), tw_rect(twips.x(), twips.y(), twips.width(), twips.height()));
}

void tst_main_form::captions_of_both_builds()
{
    window_fixture v20(variant_v20());
    window_fixture v11(variant_v11());
    const QString a = v20.form().windowTitle();
    const QString b = v11.form().windowTitle();
    QVERIFY2(a.contains(QStringLiteral("-")) && a.contains(QStringLiteral("V2.0  ")), qPrintable(a));
    QVERIFY2(b.contains(QChar(0x2014)) && b.contains(QStringLiteral("V1.1  ")), qPrintable(b));
    QVERIFY(!b.contains(QStringLiteral("-")));
    QVERIFY(a.contains(QStringLiteral(".example.")) && b.contains(QStringLiteral(".example.")));

    // One icon: both windows show the 32 px image of the program's file icon,
    // which holds it in 256 colours.
    const QString path = QFINDTESTDATA("../icons/telvar.ico");
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QDataStream in(&file);
    in.setByteOrder(QDataStream::LittleEndian);
    quint16 reserved = 0, type = 0, count = 0;
    in >> reserved >> type >> count;
    int bits_of_32 = 0;
    for (int i = 0; i < count; ++i) {
        quint8 width = 0, height = 0, colours = 0, zero = 0;
        quint16 planes = 0, bits = 0;
        quint32 bytes = 0, offset = 0;
        in >> width >> height >> colours >> zero >> planes >> bits >> bytes >> offset;
        if (width == 32 && height == 32)
            bits_of_32 = bits;
    }
    QCOMPARE(bits_of_32, 8);
    QImageReader reader(path);
    QImage image;
    for (int i = 0; i < reader.imageCount() && image.size() != QSize(32, 32); ++i) {
        reader.jumpToImage(i);
        image = reader.read();
    }
    QCOMPARE(image.size(), QSize(32, 32));
    image.convertTo(QImage::Format_ARGB32_Premultiplied);
    for (main_form* form : {&v20.form(), &v11.form()}) {
        QImage shown = form->windowIcon().pixmap(32, 32).toImage();
        shown.convertTo(QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(shown, image);
    }
}

void tst_main_form::focus_order()
{
    window_fixture f;
    main_form& form = f.form();
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.chuankou_num->setFocus();
    QList<QWidget*> expected{form.chuankou_num, form.open_comm, form.add,    form.openall,
                             form.closeall,     form.VScroll1,  form.VScroll2};
    for (int i = 1; i <= relay_count; ++i)
        expected << form.Picture1[i];
    expected << form.wuxian_canshu << form.chuankou_num;
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), expected[i]);
    }
}

void tst_main_form::centred_when_shown()
{
    window_fixture f;
    f.form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.form()));
    const QRect screen = f.form().screen()->availableGeometry();
    const QPoint offset = f.form().frameGeometry().center() - screen.center();
    QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1,
             qPrintable(QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y())));
}

void tst_main_form::number_boxes_refuse_typing()
{
    window_fixture f;
    QTest::keyClicks(f.form().add, QStringLiteral("99x"));
    QTest::keyClicks(f.form().chuankou_num, QStringLiteral("7"));
    QCOMPARE(f.form().add->text(), QStringLiteral("1"));
    QCOMPARE(f.form().chuankou_num->text(), QStringLiteral("1"));
}

void tst_main_form::port_box_tooltip_names_the_device()
{
    QTemporaryDir target;
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/telvar/ports";
    QVERIFY(QDir().mkpath(folder));
    QFile::remove(folder + "/com9");
    QVERIFY(QFile::link(target.path(), folder + "/com9"));

    window_fixture f;
    QLineEdit* box = f.form().chuankou_num;
    const auto hover = [box] {
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), box->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(box, &help);
        return box->toolTip();
    };
    f.form().VScroll2->set_number(9);
    QVERIFY2(hover().contains(folder + "/com9"), qPrintable(box->toolTip()));
    f.form().VScroll2->set_number(0);
    QVERIFY2(hover().startsWith("COM0"), qPrintable(box->toolTip()));
}

void tst_main_form::light_look_whatever_the_desktop_data()
{
    QTest::addColumn<QString>("part");  // a main window control, "canshu/<control>" or "message"
    QTest::addColumn<int>("role");

    QTest::newRow("status label on a yellow box") << "Label2_1" << int(QPalette::WindowText);
    QTest::newRow("channel name") << "Label4_9" << int(QPalette::WindowText);
    QTest::newRow("port number label") << "Label3" << int(QPalette::WindowText);
    QTest::newRow("address label") << "Label5" << int(QPalette::WindowText);
    QTest::newRow("port box text") << "chuankou_num" << int(QPalette::Text);
    QTest::newRow("address box text") << "add" << int(QPalette::Text);
    QTest::newRow("port box background") << "chuankou_num" << int(QPalette::Base);
    QTest::newRow("window background") << "main_form" << int(QPalette::Window);
    QTest::newRow("button text") << "open_comm" << int(QPalette::ButtonText);
    QTest::newRow("button face") << "openall" << int(QPalette::Button);
    QTest::newRow("dialog background") << "canshu/" << int(QPalette::Window);
    QTest::newRow("dialog label") << "canshu/Label1" << int(QPalette::WindowText);
    QTest::newRow("dialog box background") << "canshu/zhuji_id" << int(QPalette::Base);
    QTest::newRow("dialog button text") << "canshu/Command1" << int(QPalette::ButtonText);
    QTest::newRow("message box background") << "message" << int(QPalette::Window);
    QTest::newRow("message box text") << "message" << int(QPalette::WindowText);
}

void tst_main_form::light_look_whatever_the_desktop()
{
    QFETCH(QString, part);
    QFETCH(int, role);

    QColor seen[2];  // under a light and under a dark desktop palette
    for (const bool dark : {false, true}) {
        const desktop_palette desktop(dark);
        window_fixture f;
        QWidget* w = nullptr;
        if (part == QLatin1String("message")) {
            f.port().next_open = {false, open_failure::busy, QStringLiteral("/dev/ttyS1"), {}};
            QTest::mouseClick(f.form().open_comm, Qt::LeftButton);
            w = test::visible_message_box();
        } else if (part.startsWith(QLatin1String("canshu/"))) {
            QTest::mouseClick(f.form().wuxian_canshu, Qt::LeftButton);
            w = f.form().parameter_dialog();
            if (w && part.size() > 7)
                w = w->findChild<QWidget*>(part.mid(7));
        } else {
            w = control(f.form(), part);
        }
        QVERIFY2(w, qPrintable(part));
        seen[dark] = w->palette().color(QPalette::ColorRole(role));
        test::close_message_boxes();
    }
    QCOMPARE(seen[1], seen[0]);
    if (role == QPalette::WindowText || role == QPalette::Text || role == QPalette::ButtonText)
        QCOMPARE(seen[0], QColor(Qt::black));
    else
        QVERIFY2(seen[0].lightness() >= 200, qPrintable(seen[0].name()));
}

void tst_main_form::open_and_close_looks_data()
{
    QTest::addColumn<bool>("dark");
    QTest::newRow("light desktop") << false;
    QTest::newRow("dark desktop") << true;
}

void tst_main_form::open_and_close_looks()
{
    QFETCH(bool, dark);
    const desktop_palette desktop(dark);
    window_fixture f;
    main_form& form = f.form();
    form.VScroll2->set_number(3);
    QCOMPARE(form.chuankou_num->text(), QStringLiteral("3"));

    f.open();
    QCOMPARE(f.port().opened_number, 3);
    QVERIFY(form.port().is_open());
    QCOMPARE(f.port().threshold(), 8);
    QCOMPARE(form.open_comm->text(), QStringLiteral("关闭串口"));
    QCOMPARE(looks(form), QString(16, 'Y'));
    QVERIFY(!form.chuankou_num->isEnabled());
    QVERIFY(form.openall->isEnabled() && form.closeall->isEnabled());
    // The port spinner still rewrites the disabled box; the open port keeps its number.
    QVERIFY(form.VScroll2->isEnabled());
    form.VScroll2->set_number(4);
    QCOMPARE(form.chuankou_num->text(), QStringLiteral("4"));
    QCOMPARE(f.port().opened_number, 3);

    QTest::mouseClick(form.open_comm, Qt::LeftButton);
    QVERIFY(!form.port().is_open());
    QCOMPARE(form.open_comm->text(), QStringLiteral("打开串口"));
    QCOMPARE(looks(form), QString(16, '-'));  // neither yellow, red nor green
    // The running style's own grey for disabled text, whatever the desktop's palette.
    const QColor grey =
        QApplication::style()->standardPalette().color(QPalette::Disabled, QPalette::WindowText);
    for (int i = 1; i <= relay_count; ++i)
        QCOMPARE(form.Picture1[i]->colour(), grey);
    QVERIFY(all_labels_read(form, unknown));
    QVERIFY(!form.openall->isEnabled() && !form.closeall->isEnabled());
    QVERIFY(form.chuankou_num->isEnabled());
    QVERIFY(!form.Timer1->isActive());

    // A grey box switches nothing: the next frame after reopening is the query.
    form.Picture1_Click(7);
    form.Label2_Click(12);
    f.open();
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 10 00 00 00 00 66"});
}

void tst_main_form::open_failure_keeps_the_closed_look_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("says");

    QTest::newRow("port 0") << 0 << int(open_failure::no_port) << "" << "COM0";
    QTest::newRow("missing adapter") << 5 << int(open_failure::not_found) << "/dev/ttyUSB0"
                                     << "设备不存在";
    QTest::newRow("held by another program") << 2 << int(open_failure::busy) << "/dev/ttyS1"
                                             << "占用";
    QTest::newRow("no permission") << 4 << int(open_failure::no_permission) << "/dev/ttyUSB3"
                                   << "权限";
}

void tst_main_form::open_failure_keeps_the_closed_look()
{
    QFETCH(int, number);
    QFETCH(int, failure);
    QFETCH(QString, device);
    QFETCH(QString, says);

    window_fixture f;
    main_form& form = f.form();
    form.show();
    form.VScroll2->set_number(number);
    f.port().next_open = {false, open_failure(failure), device, QStringLiteral("refused")};
    QTest::mouseClick(form.open_comm, Qt::LeftButton);

    QMessageBox* box = test::visible_message_box();
    QVERIFY(box);
    QVERIFY2(box->text().contains(says), qPrintable(box->text()));
    if (!device.isEmpty()) {
        QVERIFY2(box->text().contains(device), qPrintable(box->text()));
        QVERIFY(box->text().contains(QStringLiteral("COM%1").arg(number)));
    }
    if (failure == int(open_failure::no_permission) && QSysInfo::kernelType() == "linux")
        QVERIFY(box->text().contains(QStringLiteral("dialout")));
    // Nothing in the window claims the port is open.
    QCOMPARE(form.open_comm->text(), QStringLiteral("打开串口"));
    QVERIFY(form.chuankou_num->isEnabled());
    QCOMPARE(looks(form), QString(16, 'Y'));
    // The operator can go on: a second try with the port available works.
    box->close();
    f.port().next_open = {true, open_failure::none, QStringLiteral("/dev/ttyUSB0"), {}};
    QTest::mouseClick(form.open_comm, Qt::LeftButton);
    QVERIFY(form.port().is_open());
    QCOMPARE(form.open_comm->text(), QStringLiteral("关闭串口"));
}

void tst_main_form::device_lost_closes_once()
{
    window_fixture f;
    main_form& form = f.form();
    form.show();
    f.open();
    f.receive("22 01 10 00 00 00 01 34");
    form.Timer1->start();
    f.port().vanish(QStringLiteral("Input/output error"));
    f.port().vanish();  // a second report of the same loss says nothing new
    QCOMPARE(looks(form), QString(16, '-'));
    QVERIFY(!form.Timer1->isActive());
    QCOMPARE(form.open_comm->text(), QStringLiteral("打开串口"));
    int boxes = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w) && w->isVisible())
            ++boxes;
    QCOMPARE(boxes, 1);
    QVERIFY(test::visible_message_box()->text().contains(QStringLiteral("/dev/mem0")));
    // Reopening works without restarting.
    test::close_message_boxes();
    QTest::mouseClick(form.open_comm, Qt::LeftButton);
    QVERIFY(form.port().is_open());
}

void tst_main_form::replies_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("countdown");

    QTest::newRow("relay 1 pulled in") << "22 01 10 00 00 00 01 34" << "GRRRRRRRRRRRRRRR" << 5;
    QTest::newRow("relay 16 pulled in") << "22 01 10 00 00 80 00 B3" << "RRRRRRRRRRRRRRRG" << 5;
    QTest::newRow("relays 8 and 9") << "22 01 10 00 00 01 80 B4" << "RRRRRRRGGRRRRRRR" << 5;
    QTest::newRow("all pulled in") << "22 01 10 00 00 FF FF 31" << QString(16, 'G') << 5;
    QTest::newRow("board 7 answers board 1's window") << "22 07 10 00 00 00 01 3A"
                                                      << "GRRRRRRRRRRRRRRR" << 5;
    QTest::newRow("wrong checksum ignored") << "22 01 10 00 00 00 01 35" << QString(16, 'Y') << 2;
    QTest::newRow("echo of own frame ignored") << "55 01 10 00 00 00 00 66" << QString(16, 'Y')
                                               << 2;
}

void tst_main_form::replies()
{
    QFETCH(QString, reply);
    QFETCH(QString, shown);
    QFETCH(int, countdown);

    window_fixture f;
    f.open();
    f.form().poll.link_countdown = 2;
    f.receive(reply.toLatin1().constData());
    QCOMPARE(looks(f.form()), shown);
    QCOMPARE(f.form().poll.link_countdown, countdown);
    QCOMPARE(f.port().bytes_waiting(), 0);  // the eight bytes are consumed either way
    for (int i = 1; i <= relay_count; ++i) {
        const relay_look look = f.form().look(i);
        const QString text = f.form().Label2[i]->text();
        if (look == relay_look::pulled_in)
            QCOMPARE(text, QStringLiteral("  吸合"));
        else if (look == relay_look::released)
            QCOMPARE(text, QStringLiteral("  断开"));
        else
            QCOMPARE(text, unknown);
    }
}

void tst_main_form::short_read_waits_for_the_rest()
{
    window_fixture f;
    f.open();
    f.receive("22 01 10");
    QCOMPARE(looks(f.form()), QString(16, 'Y'));
    f.receive("00 00 00 01");
    QCOMPARE(looks(f.form()), QString(16, 'Y'));
    f.receive("34");
    QCOMPARE(looks(f.form()), QStringLiteral("GRRRRRRRRRRRRRRR"));
}

void tst_main_form::twelve_bytes_take_the_first_eight()
{
    window_fixture f;
    f.open();
    f.receive("22 01 10 00 00 00 01 34 22 01 10 00");
    QCOMPARE(looks(f.form()), QStringLiteral("GRRRRRRRRRRRRRRR"));
    QCOMPARE(f.port().bytes_waiting(), 4);
    // The next frame sent throws the stale tail away.
    f.tick();
    QCOMPARE(f.port().bytes_waiting(), 0);
}

void tst_main_form::ticks_send_query_or_parked_command()
{
    window_fixture f;
    f.open();
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 10 00 00 00 00 66"});
    QTest::mouseClick(f.form().openall, Qt::LeftButton);
    f.tick(2);
    QCOMPARE(f.take_written(),
             (QStringList{"55 01 13 00 00 FF FF 67", "55 01 10 00 00 00 00 66"}));
    QTest::mouseClick(f.form().closeall, Qt::LeftButton);
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 13 00 00 00 00 69"});
}

void tst_main_form::watchdog_paints_on_the_sixth_tick()
{
    window_fixture f;
    f.open();
    f.receive("22 01 10 00 00 00 01 34");
    for (int tick = 1; tick <= 5; ++tick) {
        f.tick();
        QCOMPARE(looks(f.form()), QStringLiteral("GRRRRRRRRRRRRRRR"));
    }
    f.tick();
    QCOMPARE(looks(f.form()), QString(16, 'Y'));
    QVERIFY(all_labels_read(f.form(), unknown));
    // Each tick still sends its frame while the display shows unknown.
    QCOMPARE(f.take_written().size(), 6);
    // A reply between ticks brings the states back at once.
    f.receive("22 01 10 00 00 80 00 B3");
    QCOMPARE(looks(f.form()), QStringLiteral("RRRRRRRRRRRRRRRG"));
}

void tst_main_form::clicks_data()
{
    QTest::addColumn<QStringList>("clicks");  // "box 5", "label 5"
    QTest::addColumn<QString>("sent");

    // After the reply below: relays 1 and 3 green, the rest red.
    QTest::newRow("green box releases") << QStringList{"box 1"} << "55 01 11 00 00 00 01 68";
    QTest::newRow("red box pulls in") << QStringList{"box 5"} << "55 01 12 00 00 00 05 6D";
    QTest::newRow("label acts as its box") << QStringList{"label 5"} << "55 01 12 00 00 00 05 6D";
    QTest::newRow("red box 16") << QStringList{"box 16"} << "55 01 12 00 00 00 10 78";
    QTest::newRow("last click wins") << QStringList{"box 3", "box 7"}
                                     << "55 01 12 00 00 00 07 6F";
    QTest::newRow("same green box twice sends once") << QStringList{"box 1", "label 1"}
                                                     << "55 01 11 00 00 00 01 68";
}

void tst_main_form::clicks()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, sent);

    window_fixture f;
    main_form& form = f.form();
    form.show();
    f.open();
    f.receive("22 01 10 00 00 00 05 38");
    QCOMPARE(looks(form), QStringLiteral("GRGRRRRRRRRRRRRR"));
    for (const QString& click : clicks) {
        const int index = click.section(' ', 1).toInt();
        QWidget* target = click.startsWith(QLatin1String("box"))
                              ? static_cast<QWidget*>(form.Picture1[index])
                              : form.Label2[index];
        // Click near the box's corner, outside its label, or on the label.
        const QPoint where = click.startsWith(QLatin1String("box")) ? QPoint(3, 3)
                                                                    : target->rect().center();
        QTest::mouseClick(target, Qt::LeftButton, {}, where);
    }
    // Clicking changes no colour; only the board's reply will.
    QCOMPARE(looks(form), QStringLiteral("GRGRRRRRRRRRRRRR"));
    f.tick(2);
    QCOMPARE(f.take_written(), (QStringList{sent, "55 01 10 00 00 00 00 66"}));
}

void tst_main_form::click_on_unknown_keeps_parked_command()
{
    window_fixture f;
    f.form().show();
    f.open();
    QTest::mouseClick(f.form().openall, Qt::LeftButton);
    QTest::mouseClick(f.form().Picture1[4], Qt::LeftButton, {}, QPoint(3, 3));  // yellow
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 13 00 00 FF FF 67"});
}

void tst_main_form::command_before_closing_goes_after_reopening()
{
    window_fixture f;
    f.open();
    f.receive("22 01 10 00 00 00 01 34");
    QTest::mouseClick(f.form().Picture1[1], Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseClick(f.form().open_comm, Qt::LeftButton);  // close
    QVERIFY(!f.form().Timer1->isActive());
    f.open();
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 11 00 00 00 01 68"});
}

void tst_main_form::openall_before_opening_is_lost()
{
    window_fixture f;
    QTest::mouseClick(f.form().openall, Qt::LeftButton);
    f.tick();  // taken by the tick, port closed: gone
    f.open();
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 01 10 00 00 00 00 66"});
}

void tst_main_form::address_change_applies_to_next_frame()
{
    window_fixture f;
    f.open();
    f.form().VScroll1->set_number(37);
    QCOMPARE(f.form().add->text(), QStringLiteral("37"));
    f.tick();
    QCOMPARE(f.take_written(), QStringList{"55 25 10 00 00 00 00 8A"});
}

void tst_main_form::spinner_arrows_data()
{
    QTest::addColumn<QString>("which");  // "address" or "port"
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("upper");
    QTest::addColumn<QString>("shown");

    QTest::newRow("address up from 1") << "address" << 1 << true << "2";
    QTest::newRow("address down from 1") << "address" << 1 << false << "0";
    QTest::newRow("address stays at 255") << "address" << 255 << true << "255";
    QTest::newRow("address stays at 0") << "address" << 0 << false << "0";
    QTest::newRow("port down from 1") << "port" << 1 << false << "0";
    QTest::newRow("port up from 1") << "port" << 1 << true << "2";
    QTest::newRow("port stays at 150") << "port" << 150 << true << "150";
    QTest::newRow("port stays at 0") << "port" << 0 << false << "0";
}

void tst_main_form::spinner_arrows()
{
    QFETCH(QString, which);
    QFETCH(int, start);
    QFETCH(bool, upper);
    QFETCH(QString, shown);

    window_fixture f;
    main_form& form = f.form();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    spinner* bar = which == QLatin1String("address") ? form.VScroll1 : form.VScroll2;
    QLineEdit* box = which == QLatin1String("address") ? form.add : form.chuankou_num;
    bar->set_number(start);
    const QPoint at = arrow(bar, upper ? QStyle::SC_ScrollBarSubLine : QStyle::SC_ScrollBarAddLine);
    QVERIFY2(bar->rect().contains(at), "arrow outside the spinner");
    // The upper arrow must be the one above the lower.
    QVERIFY(arrow(bar, QStyle::SC_ScrollBarSubLine).y() < arrow(bar, QStyle::SC_ScrollBarAddLine).y());
    QTest::mouseClick(bar, Qt::LeftButton, {}, at);
    QCOMPARE(box->text(), shown);
    QCOMPARE(bar->number(), shown.toInt());
}

void tst_main_form::looks_as_before_data()
{
    QTest::addColumn<bool>("v11");
    QTest::addColumn<QString>("state");  // "start", "open", "closed" or "dialog"
    QTest::addColumn<QString>("image");  // in tests/looks

    QTest::newRow("main window at start") << false << "start" << "main-start.png";
    QTest::newRow("V1.1 main window: only the caption differs") << true << "start"
                                                                << "main-start.png";
    QTest::newRow("relays 1 and 3 pulled in") << false << "open" << "main-open.png";
    QTest::newRow("port closed again: grey boxes") << false << "closed" << "main-closed.png";
    QTest::newRow("dialog without the id-write buttons") << false << "dialog" << "canshu-v20.png";
    QTest::newRow("V1.1 dialog with them") << true << "dialog" << "canshu-v11.png";
}

// The windows as the operator sees them, pixel for pixel, against images
// made when they were laid out. They hold only where Qt's version, style and
// the face standing in for the Song font are those recorded beside them.
void tst_main_form::looks_as_before()
{
    QFETCH(bool, v11);
    QFETCH(QString, state);
    QFETCH(QString, image);

    window_fixture f(v11 ? variant_v11() : variant_v20());
    const QString folder = QFINDTESTDATA("looks");
    QFile recorded(folder + "/made-with.txt");
    QVERIFY2(recorded.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(folder));
    const QString here = QStringLiteral("Qt %1, style %2, face %3\n")
                             .arg(QString::fromLatin1(qVersion()), QApplication::style()->name(),
                                  QFontInfo(large_font()).family());
    const QString made = QString::fromUtf8(recorded.readAll());
    if (here != made)
        QSKIP(qPrintable("the images were made with " + made.trimmed() + ", this is "
                         + here.trimmed() + "; look at the windows and make them anew"));

    main_form& form = f.form();
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QWidget* window = &form;
    if (state != QLatin1String("start") && state != QLatin1String("dialog")) {
        f.open();
        f.receive("22 01 10 00 00 00 05 38");
        if (state == QLatin1String("closed"))
            QTest::mouseClick(form.open_comm, Qt::LeftButton);
    } else if (state == QLatin1String("dialog")) {
        QTest::mouseClick(form.wuxian_canshu, Qt::LeftButton);
        window = form.parameter_dialog();
        QVERIFY(window && QTest::qWaitForWindowActive(window));
    }
    const QImage seen = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage expected = QImage(folder + "/" + image).convertToFormat(QImage::Format_RGB32);
    if (seen == expected)
        return;
    // Kept for a look: what differs, and where the first difference is.
    const QString kept = QCoreApplication::applicationDirPath() + "/looks-seen/" + image;
    QDir().mkpath(QFileInfo(kept).path());
    seen.save(kept);
    QString where = QStringLiteral("size %1x%2 against %3x%4")
                        .arg(seen.width()).arg(seen.height())
                        .arg(expected.width()).arg(expected.height());
    if (seen.size() == expected.size()) {
        int count = 0;
        for (int y = 0; y < seen.height(); ++y)
            for (int x = 0; x < seen.width(); ++x)
                if (seen.pixel(x, y) != expected.pixel(x, y) && count++ == 0)
                    where = QStringLiteral("first at %1,%2").arg(x).arg(y);
        where = QStringLiteral("%1 pixels differ, %2").arg(count).arg(where);
    }
    QFAIL(qPrintable(image + ": " + where + "; the window as seen is in " + kept));
}

QTEST_MAIN(tst_main_form)
#include "tst_main_form.moc"

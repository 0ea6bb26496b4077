// The real main window on a real serial line: a pseudo-terminal with a
// scripted board on its far end, the real poll timer running.
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "serial/qt_serial_port.h"
#include "support/hex.h"
#include "support/message_boxes.h"
#include "support/scripted_board.h"

#include <QElapsedTimer>
#include <QTest>

using namespace telvar;

namespace {
QString looks(const main_form& form)
{
    QString s;
    for (int i = 1; i <= relay_count; ++i)
        s += QStringLiteral("GRY-").at(int(form.look(i)));
    return s;
}

std::unique_ptr<main_form> make_window(const build_variant& variant)
{
    install_font_substitutes();
    return std::make_unique<main_form>(variant, [] { return std::make_unique<qt_serial_port>(); });
}
} // namespace

class tst_main_window_line : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { test::close_message_boxes(); }
    void board_drives_the_display_data();
    void board_drives_the_display();
    void pulled_adapter_closes_the_port();
};

void tst_main_window_line::board_drives_the_display_data()
{
    QTest::addColumn<bool>("v11");
    QTest::newRow("telvar") << false;
    QTest::newRow("telvar-v1.1") << true;
}

void tst_main_window_line::board_drives_the_display()
{
    QFETCH(bool, v11);

    test::scripted_board board(7);
    QVERIFY(board.ok());
    board.relays = 0x0005;  // relays 1 and 3 pulled in
    auto form = make_window(v11 ? variant_v11() : variant_v20());
    form->show();
    form->VScroll2->set_number(7);
    QTest::mouseClick(form->open_comm, Qt::LeftButton);
    QVERIFY(form->port().is_open());
    QTRY_COMPARE(looks(*form), QStringLiteral("GRGRRRRRRRRRRRRR"));

    // Frames come one a tick, about 200 ms apart.
    const int before = board.heard.size();
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY(board.heard.size() >= before + 5);
    const qint64 per_frame = clock.elapsed() / (board.heard.size() - before);
    QVERIFY2(per_frame > 120 && per_frame < 400, qPrintable(QString::number(per_frame)));
    QCOMPARE(test::hex(board.heard.last()), QStringLiteral("55 01 10 00 00 00 00 66"));

    // A click on a red box pulls its relay in; the board's reply repaints it.
    QTest::mouseClick(form->Picture1[5], Qt::LeftButton, {}, QPoint(3, 3));
    QTRY_COMPARE(looks(*form), QStringLiteral("GRGRGRRRRRRRRRRR"));
    bool saw_command = false;
    for (const frame& f : board.heard)
        saw_command |= test::hex(f) == QLatin1String("55 01 12 00 00 00 05 6D");
    QVERIFY(saw_command);

    // The label inside a green box releases it.
    QTest::mouseClick(form->Label2[1], Qt::LeftButton);
    QTRY_COMPARE(looks(*form), QStringLiteral("RRGRGRRRRRRRRRRR"));
    QTest::mouseClick(form->openall, Qt::LeftButton);
    QTRY_COMPARE(looks(*form), QString(16, 'G'));
    QCOMPARE(board.relays, std::uint16_t(0xFFFF));

    // The board falls silent: after about a second the relays show unknown,
    // while the window keeps polling.
    board.answering = false;
    QTRY_COMPARE_WITH_TIMEOUT(looks(*form), QString(16, 'Y'), 3000);
    board.answering = true;
    QTRY_COMPARE(looks(*form), QString(16, 'G'));

    QTest::mouseClick(form->open_comm, Qt::LeftButton);
    QCOMPARE(looks(*form), QString(16, '-'));
    const int after_close = board.heard.size();
    QTest::qWait(500);
    QCOMPARE(board.heard.size(), after_close);
}

void tst_main_window_line::pulled_adapter_closes_the_port()
{
    auto board = std::make_unique<test::scripted_board>(8);
    QVERIFY(board->ok());
    auto form = make_window(variant_v20());
    form->show();
    form->VScroll2->set_number(8);
    QTest::mouseClick(form->open_comm, Qt::LeftButton);
    QTRY_COMPARE(looks(*form), QString(16, 'R'));

    board.reset();  // the far end goes away as a pulled adapter does
    QTRY_COMPARE(looks(*form), QString(16, '-'));
    QCOMPARE(form->open_comm->text(), QStringLiteral("打开串口"));
    QVERIFY(!form->Timer1->isActive());
    QTRY_VERIFY(test::visible_message_box());
    QVERIFY(test::visible_message_box()->text().contains(QStringLiteral("COM8")));
    QTest::qWait(300);
    QCOMPARE(test::close_message_boxes(), 1);

    // Plugged in again: the same number reopens without a restart.
    board = std::make_unique<test::scripted_board>(8);
    board->relays = 0x8000;
    QTest::mouseClick(form->open_comm, Qt::LeftButton);
    QTRY_COMPARE(looks(*form), QStringLiteral("RRRRRRRRRRRRRRRG"));
}

QTEST_MAIN(tst_main_window_line)
#include "tst_main_window_line.moc"

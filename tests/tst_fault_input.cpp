// What an operator can type or paste into the parameter dialog's boxes, put
// in the way an operator does it: keystrokes and the clipboard, not setText.
// Every button that reads a box must refuse what is not a number with a box
// that names the field, send nothing, and work again once the text is mended.
#include "params/canshu.h"
#include "support/window_fixture.h"
#include "support/message_boxes.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>

using namespace telvar;
using telvar::test::window_fixture;

namespace {

enum class entry { typed, pasted };

struct field {
    const char* box;
    const char* button;
    const char* named;  // how the message names the box
};

const field fields[] = {
    {"zhuji_id", "Command2", "主机参数：ID标识："},
    {"pinlv", "Command4", "主机参数：频道："},
    {"Text4", "Command5", "从机参数：地址："},
    {"Text4", "Command7", "从机参数：地址："},
    {"Text4", "Command10", "从机参数：地址："},
    {"Text2", "Command6", "从机参数：ID标识："},
    {"Text3", "Command8", "从机参数：频道："},
};

bool asks_first(const QString& button)
{
    // Channel writes ask for confirmation before they look at the boxes.
    return button == QLatin1String("Command4") || button == QLatin1String("Command8");
}

} // namespace

Q_DECLARE_METATYPE(entry)

class tst_fault_input : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        test::close_message_boxes();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void bad_text_is_refused_data();
    void bad_text_is_refused();
};

void tst_fault_input::bad_text_is_refused_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("named");
    QTest::addColumn<entry>("how");
    QTest::addColumn<QString>("text");

    const QList<std::tuple<const char*, entry, QString>> inputs = {
        {"letters typed", entry::typed, QStringLiteral("12ab")},
        {"spaces typed around a number", entry::typed, QStringLiteral(" 5 ")},
        {"minus sign typed", entry::typed, QStringLiteral("-7")},
        {"plus sign typed", entry::typed, QStringLiteral("+7")},
        {"twenty nines typed", entry::typed, QString(20, QLatin1Char('9'))},
        {"two lines pasted", entry::pasted, QStringLiteral("12\nab")},
        {"a page of text pasted", entry::pasted, QStringLiteral("1234567890x").repeated(10000)},
        {"full-width digits pasted", entry::pasted, QStringLiteral("１２３")},
    };
    for (const field& f : fields)
        for (const auto& [what, how, text] : inputs)
            QTest::addRow("%s into %s, then %s", what, f.box, f.button)
                << f.box << f.button << QString::fromUtf8(f.named) << how << text;
}

void tst_fault_input::bad_text_is_refused()
{
    QFETCH(QString, box);
    QFETCH(QString, button);
    QFETCH(QString, named);
    QFETCH(entry, how);
    QFETCH(QString, text);

    // The older build shows every button, the id writes included.
    window_fixture f(variant_v11());
    f.form().show();
    QTest::mouseClick(f.form().wuxian_canshu, Qt::LeftButton);
    canshu* d = f.form().parameter_dialog();
    QVERIFY(d);
    test::memory_port& port = *f.made.back();
    QVERIFY(port.is_open());
    for (QLineEdit* b : {d->zhuji_id, d->pinlv, d->Text4, d->Text2, d->Text3})
        b->setText(QStringLiteral("1"));

    auto* target = d->findChild<QLineEdit*>(box);
    auto* push = d->findChild<QPushButton*>(button);
    QVERIFY(target && push);
    QVERIFY(push->isVisible());
    target->setFocus();
    target->selectAll();
    if (how == entry::typed) {
        QTest::keyClick(target, Qt::Key_Delete);
        QTest::keyClicks(target, text);
    } else {
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
    }
    QVERIFY2(!target->text().isEmpty(), "nothing reached the box");
    QVERIFY(target->text() != QLatin1String("1"));
    // The box takes all of it, however long: nothing is cut off unseen.
    QCOMPARE(target->text().size(), text.size());

    if (asks_first(button))
        test::answer_next_box(QMessageBox::Ok);
    port.written.clear();
    QTest::mouseClick(push, Qt::LeftButton);
    QVERIFY2(port.written.isEmpty(), "a frame went out");
    QMessageBox* message = d->last_message();
    QVERIFY(message && message->isVisible());
    QVERIFY2(message->text().contains(named), qPrintable(message->text()));
    // However long the paste, the message stays a few lines.
    QVERIFY2(message->text().size() < 300, qPrintable(QString::number(message->text().size())));

    // Mended, the same button sends exactly one frame.
    message->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    target->setText(QStringLiteral("1"));
    if (asks_first(button))
        test::answer_next_box(QMessageBox::Ok);
    QTest::mouseClick(push, Qt::LeftButton);
    QCOMPARE(port.written.size(), 1);
    QVERIFY(d->isVisible());
}

QTEST_MAIN(tst_fault_input)
#include "tst_fault_input.moc"

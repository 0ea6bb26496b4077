// Replies that arrive while a receive handler is still running, as when the
// dialog's pairing notice holds the event loop in a modal box: once the
// handler returns, every whole group that came meanwhile must be handed over
// without waiting for more bytes from the line. Checked on a real port over a
// pseudo-terminal and on the in-memory port, which share the same rule.
#include "serial/pty_pair.h"
#include "serial/qt_serial_port.h"
#include "support/memory_port.h"

#include <QTest>

#include <memory>

using namespace telvar;

class tst_fault_receive : public QObject {
    Q_OBJECT
private slots:
    void groups_that_arrive_during_a_handler_data();
    void groups_that_arrive_during_a_handler();
};

void tst_fault_receive::groups_that_arrive_during_a_handler_data()
{
    QTest::addColumn<bool>("real_port");
    QTest::addColumn<int>("arriving");  // bytes that come while the first handler runs
    QTest::addColumn<int>("events");    // receive events in all
    QTest::addColumn<int>("left");      // bytes left waiting for the rest of a group

    for (const bool real : {true, false}) {
        const char* port = real ? "pseudo-terminal" : "in-memory port";
        QTest::addRow("%s: one whole reply meanwhile", port) << real << 8 << 2 << 0;
        QTest::addRow("%s: one and a half replies meanwhile", port) << real << 12 << 2 << 4;
        QTest::addRow("%s: three replies meanwhile", port) << real << 24 << 4 << 0;
        QTest::addRow("%s: part of a reply meanwhile", port) << real << 3 << 1 << 3;
    }
}

void tst_fault_receive::groups_that_arrive_during_a_handler()
{
    QFETCH(bool, real_port);
    QFETCH(int, arriving);
    QFETCH(int, events);
    QFETCH(int, left);

    pty_pair line;
    std::unique_ptr<serial_port> port;
    test::memory_port* memory = nullptr;
    if (real_port) {
        QVERIFY2(line.create(), qPrintable(line.error()));
        auto real = std::make_unique<qt_serial_port>();
        QVERIFY(real->open_device(line.device()).ok);
        port = std::move(real);
    } else {
        auto made = std::make_unique<test::memory_port>();
        QVERIFY(made->open(1).ok);
        memory = made.get();
        port = std::move(made);
    }
    port->set_threshold(8);

    QByteArray stream;
    for (int i = 0; i < 8 + arriving; ++i)
        stream += char(i + 1);
    const auto send = [&](const QByteArray& bytes) {
        if (real_port)
            QCOMPARE(line.write_far(bytes.constData(), bytes.size()), long(bytes.size()));
        else
            memory->feed(bytes);
    };

    QByteArray read;
    int raised = 0;
    connect(port.get(), &serial_port::received, this, [&] {
        ++raised;
        QVERIFY(port->bytes_waiting() >= 8);
        for (int k = 0; k < 8; ++k)
            read += char(port->read_byte().value_or(0));
        if (raised == 1) {
            // The handler shows a box; the line goes on while it is open. Qt's
            // port holds new bytes back until its handler returns, the
            // in-memory port hands them in at once: both must end alike.
            send(stream.mid(8));
            QCoreApplication::processEvents();
        }
    });

    send(stream.left(8));
    QTRY_COMPARE(raised, events);
    QCOMPARE(read, stream.left(8 * events));
    QCOMPARE(port->bytes_waiting(), left);
    // The rest of the last group completes it: exactly one more event.
    QByteArray rest;
    for (int i = 0; i < 8 - left; ++i)
        rest += char(0x70 + i);
    send(rest);
    QTRY_COMPARE(raised, events + 1);
    QCOMPARE(port->bytes_waiting(), 0);
    QCOMPARE(read.right(8), (stream + rest).right(8));
}

QTEST_MAIN(tst_fault_receive)
#include "tst_fault_receive.moc"

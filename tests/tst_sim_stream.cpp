// The simulator's byte stream: getting back in step after stray bytes from
// the PC, the fault dice, and the timing of bytes on the line.
#include "sim/faults.h"
#include "sim/frame_reader.h"
#include "sim/line_schedule.h"

// hex.h declares a metatype without including QMetaType: bring it in first.
#include <QMetaType>
#include <QTest>

#include "support/hex.h"

using namespace telvar;
using namespace telvar::test;

class tst_sim_stream : public QObject
{
    Q_OBJECT
private slots:
    void realigns_data();
    void realigns();
    void fed_byte_by_byte_gives_the_same_frames();
    void fault_rates_data();
    void fault_rates();
    void same_seed_same_faults();
    void split_data();
    void split();
    void schedule_data();
    void schedule();
    void paced_rate_holds_when_woken_late();
};

void tst_sim_stream::realigns_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("held");

    QTest::newRow("one status query")
        << "55 01 10 00 00 00 00 66" << QStringList{"55 01 10 00 00 00 00 66"} << 0 << 0;
    QTest::newRow("two frames back to back")
        << "55 01 10 00 00 00 00 66 56 FF 30 00 00 00 00 85"
        << QStringList{"55 01 10 00 00 00 00 66", "56 FF 30 00 00 00 00 85"} << 0 << 0;
    QTest::newRow("stray bytes before a frame")
        << "01 02 03 55 01 12 00 00 00 10 78" << QStringList{"55 01 12 00 00 00 10 78"} << 3 << 0;
    QTest::newRow("torn frame followed by a whole one")
        << "55 01 10 00 55 01 10 00 00 00 00 66" << QStringList{"55 01 10 00 00 00 00 66"} << 4
        << 0;
    QTest::newRow("wrong checksum then a good frame")
        << "55 01 10 00 00 00 00 67 55 01 10 00 00 00 00 66"
        << QStringList{"55 01 10 00 00 00 00 66"} << 8 << 0;
    QTest::newRow("a reply is not a request")
        << "22 01 10 00 00 00 A5 D8" << QStringList{} << 1 << 7;
    QTest::newRow("half a frame waits for the rest") << "55 01 10 00" << QStringList{} << 0 << 4;
}

void tst_sim_stream::realigns()
{
    QFETCH(QString, stream);
    QFETCH(QStringList, frames);
    QFETCH(int, skipped);
    QFETCH(int, held);
    sim::frame_reader reader;
    const QByteArray data = bytes(stream.toLatin1().constData());
    const auto result = reader.feed(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                    static_cast<std::size_t>(data.size()));
    QStringList got;
    for (const frame& f : result.frames)
        got << hex(f);
    QCOMPARE(got, frames);
    QCOMPARE(int(result.skipped.size()), skipped);
    QCOMPARE(int(reader.held()), held);
}

void tst_sim_stream::fed_byte_by_byte_gives_the_same_frames()
{
    const QByteArray data = bytes("07 55 01 13 00 00 FF FF 67 FF 55 01 11 00 00 00 05 6C");
    sim::frame_reader reader;
    QStringList got;
    for (char c : data) {
        const auto byte = static_cast<std::uint8_t>(c);
        for (const frame& f : reader.feed(&byte, 1).frames)
            got << hex(f);
    }
    QCOMPARE(got, (QStringList{"55 01 13 00 00 FF FF 67", "55 01 11 00 00 00 05 6C"}));
}

void tst_sim_stream::fault_rates_data()
{
    QTest::addColumn<double>("loss");
    QTest::addColumn<double>("bad_checksum");
    QTest::addColumn<double>("stray");
    QTest::addColumn<int>("min_lost");
    QTest::addColumn<int>("max_lost");
    QTest::addColumn<int>("min_corrupted");
    QTest::addColumn<int>("max_corrupted");
    QTest::addColumn<int>("min_stray");
    QTest::addColumn<int>("max_stray");

    // 1000 replies; bounds are wide enough for any seed, tight enough to catch a wrong rate.
    QTest::newRow("no faults") << 0.0 << 0.0 << 0.0 << 0 << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("every reply lost") << 1.0 << 0.0 << 0.0 << 1000 << 1000 << 0 << 0 << 0 << 0;
    QTest::newRow("a third lost") << 0.33 << 0.0 << 0.0 << 250 << 410 << 0 << 0 << 0 << 0;
    QTest::newRow("every checksum spoilt") << 0.0 << 1.0 << 0.0 << 0 << 0 << 1000 << 1000 << 0 << 0;
    QTest::newRow("a tenth spoilt") << 0.0 << 0.1 << 0.0 << 0 << 0 << 50 << 150 << 0 << 0;
    QTest::newRow("stray bytes before half") << 0.0 << 0.0 << 0.5 << 0 << 0 << 0 << 0 << 420 << 580;
}

void tst_sim_stream::fault_rates()
{
    QFETCH(double, loss);
    QFETCH(double, bad_checksum);
    QFETCH(double, stray);
    QFETCH(int, min_lost);
    QFETCH(int, max_lost);
    QFETCH(int, min_corrupted);
    QFETCH(int, max_corrupted);
    QFETCH(int, min_stray);
    QFETCH(int, max_stray);
    sim::fault_options faults;
    faults.loss = loss;
    faults.bad_checksum = bad_checksum;
    faults.stray = stray;
    sim::fault_dice dice(12345);
    const frame reply = to_frame("22 01 10 00 00 00 A5 D8");
    int lost = 0, corrupted = 0, with_stray = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto plan = dice.plan(reply, faults);
        if (plan.lost) {
            ++lost;
            continue;
        }
        // A spoilt reply must fail Telvar's test; an unspoilt one must pass it unchanged.
        QCOMPARE(is_valid_reply(plan.reply), !plan.corrupted);
        if (!plan.corrupted)
            QCOMPARE(hex(plan.reply), hex(reply));
        corrupted += plan.corrupted;
        if (!plan.stray.empty()) {
            ++with_stray;
            QVERIFY(plan.stray.size() >= 1 && plan.stray.size() <= 7);
        }
    }
    QVERIFY2(lost >= min_lost && lost <= max_lost, qPrintable(QString::number(lost)));
    QVERIFY2(corrupted >= min_corrupted && corrupted <= max_corrupted,
             qPrintable(QString::number(corrupted)));
    QVERIFY2(with_stray >= min_stray && with_stray <= max_stray,
             qPrintable(QString::number(with_stray)));
}

void tst_sim_stream::same_seed_same_faults()
{
    sim::fault_options faults;
    faults.loss = 0.3;
    faults.bad_checksum = 0.3;
    faults.stray = 0.3;
    const frame reply = to_frame("22 01 10 00 00 00 A5 D8");
    const auto run = [&](std::uint32_t seed) {
        sim::fault_dice dice(seed);
        QStringList trace;
        for (int i = 0; i < 50; ++i) {
            const auto plan = dice.plan(reply, faults);
            trace << QStringLiteral("%1 %2 %3")
                         .arg(plan.lost)
                         .arg(hex(plan.reply))
                         .arg(plan.stray.size());
        }
        return trace;
    };
    QCOMPARE(run(7), run(7));
    QVERIFY(run(7) != run(8));
}

void tst_sim_stream::split_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QList<int>>("sizes");

    QTest::newRow("whole reply") << 1 << QList<int>{8};
    QTest::newRow("two halves") << 2 << QList<int>{4, 4};
    QTest::newRow("three pieces, longer first") << 3 << QList<int>{3, 3, 2};
    QTest::newRow("byte by byte") << 8 << QList<int>{1, 1, 1, 1, 1, 1, 1, 1};
    QTest::newRow("more pieces than bytes") << 20 << QList<int>{1, 1, 1, 1, 1, 1, 1, 1};
    QTest::newRow("zero pieces is one") << 0 << QList<int>{8};
}

void tst_sim_stream::split()
{
    QFETCH(int, pieces);
    QFETCH(QList<int>, sizes);
    const std::vector<std::uint8_t> reply{0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0xA5, 0xD8};
    const auto runs = sim::split_into(reply, pieces);
    QList<int> got;
    std::vector<std::uint8_t> joined;
    for (const auto& run : runs) {
        got << int(run.size());
        joined.insert(joined.end(), run.begin(), run.end());
    }
    QCOMPARE(got, sizes);
    QVERIFY(joined == reply);
}

void tst_sim_stream::schedule_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addColumn<qint64>("second_at"); // the second chunk's earliest time, ns
    QTest::addColumn<QList<qint64>>("dues");

    const qint64 b = sim::line_schedule::byte_ns;
    QTest::newRow("unpaced: each chunk at its own time")
        << false << qint64(5'000'000) << QList<qint64>{0, 0, 0, 5'000'000, 5'000'000};
    QTest::newRow("paced: one byte every 1.0417 ms, each at the end of its slot")
        << true << qint64(0) << QList<qint64>{b, 2 * b, 3 * b, 4 * b, 5 * b};
    QTest::newRow("paced: a later chunk waits for its time")
        << true << qint64(10'000'000)
        << QList<qint64>{b, 2 * b, 3 * b, 10'000'000 + b, 10'000'000 + 2 * b};
    QTest::newRow("paced: an earlier time still queues behind the line")
        << true << qint64(1) << QList<qint64>{b, 2 * b, 3 * b, 4 * b, 5 * b};
    QTest::newRow("unpaced: order kept when a chunk asks to go earlier")
        << false << qint64(-100) << QList<qint64>{0, 0, 0, 0, 0};
}

void tst_sim_stream::schedule()
{
    QFETCH(bool, paced);
    QFETCH(qint64, second_at);
    QFETCH(QList<qint64>, dues);
    sim::line_schedule line(paced);
    line.enqueue({1, 2, 3}, 0);
    line.enqueue({4, 5}, second_at);
    // Each byte's slot: taken exactly when the schedule says it is due.
    QList<qint64> got;
    std::vector<std::uint8_t> order;
    while (const auto due = line.next_due()) {
        QVERIFY(line.take_due(*due - 1).empty());
        for (auto byte : line.take_due(*due)) {
            order.push_back(byte);
            got << *due;
        }
    }
    QCOMPARE(got, dues);
    QVERIFY(order == (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

void tst_sim_stream::paced_rate_holds_when_woken_late()
{
    // Woken 3 ms late every time, the line still averages one byte per slot:
    // the schedule counts from slots, not from wake-ups.
    sim::line_schedule line(true);
    line.enqueue(std::vector<std::uint8_t>(96, 0x55), 0);
    qint64 now = 0;
    int sent = 0;
    while (const auto due = line.next_due()) {
        now = std::max<qint64>(now, *due) + 3'000'000;
        sent += int(line.take_due(now).size());
    }
    QCOMPARE(sent, 96);
    // 96 bytes at 9600 baud take 100 ms on a real line.
    const qint64 last_slot = 96 * sim::line_schedule::byte_ns;
    QVERIFY2(now <= last_slot + 3'000'000 + sim::line_schedule::byte_ns,
             qPrintable(QStringLiteral("finished at %1 ns").arg(now)));
    QVERIFY(last_slot > 99'900'000 && last_slot < 100'100'000);
}

QTEST_GUILESS_MAIN(tst_sim_stream)
#include "tst_sim_stream.moc"

// The link's rules on an in-memory line: which reply answers which frame, when
// a switch counts as confirmed, what is resent, and how polling, availability
// and a lost device behave. The far side is the simulator's own installation,
// steered frame by frame.
#include "link/board_link.h"
#include "link/stop_signals.h"
#include "sim/installation.h"
#include "support/hex.h"
#include "support/memory_port.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace telvar;
using namespace telvar::link;
using namespace telvar::test;

Q_DECLARE_METATYPE(telvar::link::outcome)
Q_DECLARE_METATYPE(telvar::link::stop_reason)

namespace {

// How the far side treats one frame. "apply": as a board does (the
// installation answers); "lose": carries it out, the reply is lost; "stuck":
// answers with its state unchanged; "quiet": nothing; "spoil": the answer's
// checksum is wrong; "other": a valid status reply from board 9; "stray": the
// answer, after three stray bytes; "value=N": a parameter reply carrying N;
// "code=C": a parameter reply with command code C (hex); "host": a parameter
// reply with selector FF; "board": one with board 1's selector.
struct far_side : QObject {
    far_side(memory_port& port, board_link& link, QStringList script)
        : port_(port), script_(std::move(script))
    {
        sim::board b;
        b.address = 1;
        b.relays = 0x0010;  // relay 5 pulled in
        line.boards.push_back(b);
        connect(&link, &board_link::frame_sent, this, &far_side::heard);
    }

    void heard(const frame& request)
    {
        heard_codes << QString::asprintf("%02X", request[2]);
        const QString action = script_.isEmpty() ? QStringLiteral("apply") : script_.takeFirst();
        std::optional<frame> reply;
        sim::board& b = line.boards.front();
        const std::uint16_t before = b.relays;
        if (action == QLatin1String("apply") || action == QLatin1String("lose")
            || action == QLatin1String("spoil") || action == QLatin1String("stray"))
            reply = line.answer(request);
        if (action == QLatin1String("stuck")) {
            reply = line.answer(request);
            b.relays = before;
            if (reply) {
                (*reply)[5] = static_cast<std::uint8_t>(before >> 8);
                (*reply)[6] = static_cast<std::uint8_t>(before);
                (*reply)[7] = checksum(*reply);
            }
        }
        if (action == QLatin1String("other"))
            reply = make_frame(reply_mark, 9, status_query, 0, 0, 0xFF, 0xFF);
        if (action.startsWith(QLatin1String("value=")))
            reply = sim::value_reply(request[1], request[2], action.mid(6).toUInt());
        if (action.startsWith(QLatin1String("code=")))
            reply = sim::value_reply(request[1], std::uint8_t(action.mid(5).toUInt(nullptr, 16)), 7);
        if (action == QLatin1String("host"))
            reply = sim::value_reply(host_target, request[2], 7);
        if (action == QLatin1String("board"))
            reply = sim::value_reply(1, request[2], 7);
        if (!reply || action == QLatin1String("lose"))
            return;
        if (action == QLatin1String("spoil"))
            (*reply)[7] ^= 0x01;
        QByteArray out(reinterpret_cast<const char*>(reply->data()), frame_length);
        if (action == QLatin1String("stray"))
            out.prepend("\x01\x02\x03", 3);
        // From the event loop, as a real line would deliver it.
        QTimer::singleShot(1, &port_, [this, out] { port_.feed(out); });
    }

    sim::installation line;
    QStringList heard_codes;

private:
    memory_port& port_;
    QStringList script_;
};

link_settings quick_settings(int retries)
{
    link_settings s;
    s.reply_window_ms = 40;
    s.retries = retries;
    s.poll_interval_ms = 50;
    s.reopen_first_ms = 20;
    s.reopen_max_ms = 50;
    return s;
}

QString hex4(const std::optional<relay_states>& states)
{
    if (!states)
        return QStringLiteral("none");
    unsigned bits = 0;
    for (int i = 0; i < relay_count; ++i)
        bits |= (*states)[i] ? 1u << i : 0u;
    return QString::asprintf("%04X", bits);
}

} // namespace

class tst_board_link : public QObject {
    Q_OBJECT
private slots:
    void relay_request_data();
    void relay_request();
    void parameter_request_data();
    void parameter_request();
    void port_names_data();
    void port_names();
    void polling_and_availability();
    void request_goes_ahead_of_the_next_poll();
    void lost_device_is_reopened_by_number();
    void requests_on_a_closed_line_end_port_closed();
    void open_failure_message_data();
    void open_failure_message();
    void stop_signal_data();
    void stop_signal();
};

void tst_board_link::relay_request_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<outcome>("result");
    QTest::addColumn<QString>("frames");    // command codes on the wire, in order
    QTest::addColumn<QString>("reported");  // the board's last report, or none
    QTest::addColumn<int>("dropped");       // groups that failed the mark or checksum test
    QTest::addColumn<int>("unmatched");     // valid groups that answered nothing in flight

    const auto done = outcome::done;
    const auto unconfirmed = outcome::not_confirmed;
    const auto silent = outcome::no_reply;
    QTest::newRow("pull in relay 1: the switch reply confirms")
        << "on 1" << 2 << QStringList{} << done << "12" << "0011" << 0 << 0;
    QTest::newRow("switch reply lost: the status query confirms")
        << "on 1" << 2 << QStringList{"lose"} << done << "12 10" << "0011" << 0 << 0;
    QTest::newRow("switch reply spoilt: the status query confirms")
        << "on 1" << 2 << QStringList{"spoil"} << done << "12 10" << "0011" << 1 << 0;
    QTest::newRow("stray bytes shift the switch reply: the status query confirms")
        << "on 1" << 2 << QStringList{"stray"} << done << "12 10" << "0011" << 1 << 0;
    QTest::newRow("confirmed by the last status query")
        << "on 1" << 2 << QStringList{"quiet", "quiet", "quiet", "quiet", "lose"} << done
        << "12 10 12 10 12 10" << "0011" << 0 << 0;
    QTest::newRow("board answers but never switches: resent, then not confirmed")
        << "on 1" << 2 << QStringList{"stuck", "stuck", "stuck"} << unconfirmed << "12 12 12"
        << "0010" << 0 << 0;
    QTest::newRow("board ignores the switch, reports its state when asked")
        << "on 1" << 2 << QStringList{"quiet", "stuck", "quiet", "stuck", "quiet", "stuck"}
        << unconfirmed << "12 10 12 10 12 10" << "0010" << 0 << 0;
    QTest::newRow("silence throughout: no reply")
        << "on 1" << 2 << QStringList{"quiet", "quiet", "quiet", "quiet", "quiet", "quiet"}
        << silent << "12 10 12 10 12 10" << "none" << 0 << 0;
    QTest::newRow("only spoilt replies: no reply")
        << "off 5" << 1 << QStringList{"spoil", "spoil", "spoil", "spoil"} << silent
        << "11 10 11 10" << "none" << 4 << 0;
    QTest::newRow("another board's reply is no answer")
        << "off 5" << 0 << QStringList{"other", "other"} << silent << "11 10" << "none" << 0 << 2;
    QTest::newRow("no retries: one switch and one question")
        << "off 5" << 0 << QStringList{"stuck"} << unconfirmed << "11" << "0010" << 0 << 0;
    QTest::newRow("relay already in the asked state")
        << "on 5" << 2 << QStringList{} << done << "12" << "0010" << 0 << 0;
    QTest::newRow("all on") << "all on" << 2 << QStringList{} << done << "13" << "FFFF" << 0 << 0;
    QTest::newRow("all off, first answer lost")
        << "all off" << 2 << QStringList{"lose"} << done << "13 10" << "0000" << 0 << 0;
    QTest::newRow("toggle with nothing known asks first")
        << "toggle 5" << 2 << QStringList{} << done << "10 11" << "0000" << 0 << 0;
    QTest::newRow("toggle: the question goes unanswered")
        << "toggle 5" << 1 << QStringList{"quiet", "quiet"} << silent << "10 10" << "none" << 0 << 0;
    QTest::newRow("status") << "status" << 2 << QStringList{} << done << "10" << "0010" << 0 << 0;
    QTest::newRow("status asked again after a lost reply")
        << "status" << 2 << QStringList{"lose", "spoil"} << done << "10 10 10" << "0010" << 1 << 0;
    QTest::newRow("status: silence") << "status" << 1 << QStringList{"quiet", "quiet"} << silent
                                     << "10 10" << "none" << 0 << 0;
}

void tst_board_link::relay_request()
{
    QFETCH(QString, request);
    QFETCH(int, retries);
    QFETCH(QStringList, script);
    QFETCH(outcome, result);
    QFETCH(QString, frames);
    QFETCH(QString, reported);
    QFETCH(int, dropped);
    QFETCH(int, unmatched);

    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(retries));
    far_side board(port, link, script);
    QVERIFY(link.open(port_spec{1, {}}).ok);

    std::optional<relay_result> got;
    const auto done = [&](const relay_result& r) {
        QVERIFY(!got);  // exactly once
        got = r;
    };
    const QStringList words = request.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("status"))
        link.status(1, done);
    else if (words[0] == QLatin1String("all"))
        link.switch_all(1, words[1] == QLatin1String("on"), done);
    else if (words[0] == QLatin1String("toggle"))
        link.toggle(1, words[1].toInt(), done);
    else
        link.switch_relay(1, words[1].toInt(), words[0] == QLatin1String("on"), done);

    QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 5000);
    QCOMPARE(got->result, result);
    QCOMPARE(board.heard_codes.join(QLatin1Char(' ')), frames);
    QCOMPARE(got->frames_sent, int(board.heard_codes.size()));
    QCOMPARE(hex4(got->reported), reported);
    // Only the board's replies make a report: a commanded state never does.
    QCOMPARE(hex4(link.last_reported(1)), reported);
    // Every frame was preceded by discarding what waited.
    QCOMPARE(port.discards, int(port.written.size()));
    QCOMPARE(link.stats().groups_dropped, quint64(dropped));
    QCOMPARE(link.stats().groups_unmatched, quint64(unmatched));
    QCOMPARE(link.stats().frames_sent, quint64(port.written.size()));
}

void tst_board_link::parameter_request_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<outcome>("result");
    QTest::addColumn<QString>("value");     // as the module sent it back, or none
    QTest::addColumn<QString>("first_frame");
    QTest::addColumn<int>("frames");

    QTest::newRow("read host id") << "get host-id 0" << QStringList{"value=258"} << outcome::done
                                  << "258" << "56 FF 30 00 00 00 00 85" << 1;
    QTest::newRow("write host channel 5")
        << "set host-channel 5" << QStringList{} << outcome::done << "5"
        << "56 FF 33 00 00 00 05 8D" << 1;
    QTest::newRow("write host id 258 comes back as 259: not confirmed")
        << "set host-id 258" << QStringList{"value=259"} << outcome::not_confirmed << "259"
        << "56 FF 31 00 00 01 02 89" << 1;
    QTest::newRow("read slave channel of board 1")
        << "get slave-channel 0" << QStringList{} << outcome::done << "1"
        << "55 01 42 00 00 00 00 98" << 1;
    QTest::newRow("write slave channel 5 of board 1")
        << "set slave-channel 5" << QStringList{} << outcome::done << "5"
        << "55 01 43 00 00 00 05 9E" << 1;
    QTest::newRow("pair with board 1: the shared id")
        << "pair - 0" << QStringList{} << outcome::done << "1" << "56 01 34 00 00 00 00 8B" << 1;
    QTest::newRow("a reply with another code is no answer")
        << "get slave-id 0" << QStringList{"code=42", "code=30", "apply"} << outcome::done << "1"
        << "55 01 40 00 00 00 00 96" << 3;
    QTest::newRow("a host reply is no answer to a board request")
        << "get slave-channel 0" << QStringList{"host", "host", "host"} << outcome::no_reply
        << "none" << "55 01 42 00 00 00 00 98" << 3;
    QTest::newRow("a board's reply is no answer to a host request")
        << "get host-channel 0" << QStringList{"board", "quiet", "apply"} << outcome::done << "1"
        << "56 FF 32 00 00 00 00 87" << 3;
    QTest::newRow("silence: no reply after the retries")
        << "set slave-id 7" << QStringList{"quiet", "quiet", "quiet"} << outcome::no_reply
        << "none" << "55 01 41 00 00 00 07 9E" << 3;
}

void tst_board_link::parameter_request()
{
    QFETCH(QString, request);
    QFETCH(QStringList, script);
    QFETCH(outcome, result);
    QFETCH(QString, value);
    QFETCH(QString, first_frame);
    QFETCH(int, frames);

    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(2));
    far_side board(port, link, script);
    QVERIFY(link.open(port_spec{1, {}}).ok);

    std::optional<parameter_result> got;
    const auto done = [&](const parameter_result& r) { got = r; };
    const QStringList words = request.split(QLatin1Char(' '));
    const QMap<QString, parameter> names{{"host-id", parameter::host_id},
                                         {"host-channel", parameter::host_channel},
                                         {"slave-id", parameter::slave_id},
                                         {"slave-channel", parameter::slave_channel}};
    if (words[0] == QLatin1String("pair"))
        link.pair(1, done);
    else if (words[0] == QLatin1String("get"))
        link.read_parameter(names.value(words[1]), 1, done);
    else
        link.write_parameter(names.value(words[1]), 1, words[2].toUInt(), done);

    QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 5000);
    QCOMPARE(got->result, result);
    QCOMPARE(got->value ? QString::number(*got->value) : QStringLiteral("none"), value);
    QCOMPARE(hex(port.written.front()), first_frame);
    QCOMPARE(int(port.written.size()), frames);
    QCOMPARE(got->frames_sent, frames);
}

void tst_board_link::port_names_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("path");

    QTest::newRow("number") << "3" << 3 << "";
    QTest::newRow("COM name") << "COM12" << 12 << "";
    QTest::newRow("com name in lower case") << "com1" << 1 << "";
    QTest::newRow("highest number") << "255" << 255 << "";
    QTest::newRow("device path") << "/dev/ttyUSB0" << 0 << "/dev/ttyUSB0";
    QTest::newRow("relative path") << "./pty" << 0 << "./pty";
    QTest::newRow("Windows device path") << "\\\\.\\COM10" << 0 << "\\\\.\\COM10";
    QTest::newRow("port 0 names nothing") << "0" << -1 << "";
    QTest::newRow("beyond the highest number") << "256" << -1 << "";
    QTest::newRow("sign") << "+3" << -1 << "";
    QTest::newRow("negative") << "-3" << -1 << "";
    QTest::newRow("empty") << "" << -1 << "";
    QTest::newRow("COM without a number") << "COM" << -1 << "";
    QTest::newRow("device name without a folder") << "ttyUSB0" << -1 << "";
    QTest::newRow("spaces") << " 3" << -1 << "";
}

void tst_board_link::port_names()
{
    QFETCH(QString, text);
    QFETCH(int, number);
    QFETCH(QString, path);
    const auto spec = port_spec::parse(text);
    QCOMPARE(spec.has_value(), number >= 0);
    if (spec) {
        QCOMPARE(spec->number, number);
        QCOMPARE(spec->path, path);
    }
}

void tst_board_link::polling_and_availability()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(2));
    far_side board(port, link, {});
    QSignalSpy availability(&link, &board_link::availability_changed);
    QVERIFY(link.open(port_spec{1, {}}).ok);
    link.set_polled({1, 2});

    // Board 1 answers at its first poll; board 2, missing, after five silent polls.
    QTRY_COMPARE_WITH_TIMEOUT(availability.size(), 2, 5000);
    QCOMPARE(availability[0], (QVariantList{1, true}));
    QCOMPARE(availability[1], (QVariantList{2, false}));
    QVERIFY(link.available(1));
    QVERIFY(!link.available(2));
    // Round robin, one status query each.
    QStringList addresses;
    for (const frame& f : port.written)
        addresses << QString::number(f[1]);
    QCOMPARE(addresses.mid(0, 10).join(QLatin1Char(' ')), QStringLiteral("1 2 1 2 1 2 1 2 1 2"));

    // Board 2 appears: available again at its next reply.
    sim::board b2;
    b2.address = 2;
    board.line.boards.push_back(b2);
    QTRY_COMPARE_WITH_TIMEOUT(availability.size(), 3, 5000);
    QCOMPARE(availability[2], (QVariantList{2, true}));

    // Board 1 goes silent: five polls of it, not five frames on the line.
    const int before = int(port.written.size());
    board.line.boards.erase(board.line.boards.begin());
    QTRY_COMPARE_WITH_TIMEOUT(availability.size(), 4, 5000);
    QCOMPARE(availability[3], (QVariantList{1, false}));
    QVERIFY(int(port.written.size()) - before >= 9);
}

void tst_board_link::request_goes_ahead_of_the_next_poll()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 10;
    board_link link(std::move(owned), settings);
    far_side board(port, link, {});
    QVERIFY(link.open(port_spec{1, {}}).ok);
    link.set_polled({1});
    QTRY_VERIFY(port.written.size() >= 3);

    std::optional<relay_result> got;
    const int queued_at = int(port.written.size());
    link.switch_relay(1, 2, true, [&](const relay_result& r) { got = r; });
    QTRY_VERIFY(got.has_value());
    QCOMPARE(got->result, outcome::done);
    // At most the frame in flight went before it.
    const int switched_at = int(board.heard_codes.indexOf(QStringLiteral("12")));
    QVERIFY2(switched_at <= queued_at, qPrintable(board.heard_codes.join(QLatin1Char(' '))));
}

void tst_board_link::lost_device_is_reopened_by_number()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(2));
    far_side board(port, link, {});
    QSignalSpy availability(&link, &board_link::availability_changed);
    QSignalSpy lost(&link, &board_link::line_lost);
    QSignalSpy failed(&link, &board_link::reopen_failed);
    QSignalSpy restored(&link, &board_link::line_restored);
    QVERIFY(link.open(port_spec{4, {}}).ok);
    link.set_polled({1});
    QTRY_COMPARE(availability.size(), 1);

    // A request waiting when the device goes ends at once, with the line.
    std::optional<relay_result> got;
    board.line.boards.clear();
    link.status(1, [&](const relay_result& r) { got = r; });
    port.next_open = {false, open_failure::not_found, QStringLiteral("/dev/ttyUSB0"), {}};
    port.opened_number = -1;
    port.vanish(QStringLiteral("unplugged"));
    QTRY_VERIFY(got.has_value());
    QCOMPARE(got->result, outcome::port_closed);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(availability.last(), (QVariantList{1, false}));
    QVERIFY(!link.available(1));

    // Tried again by the same number, with a growing pause.
    QTRY_COMPARE(failed.size(), 3);
    QCOMPARE(port.opened_number, 4);
    QCOMPARE(failed[0][1].toInt(), 40);
    QCOMPARE(failed[1][1].toInt(), 50);
    QCOMPARE(failed[2][1].toInt(), 50);

    port.next_open = {true, open_failure::none, QStringLiteral("/dev/ttyUSB0"), {}};
    sim::board b;
    b.address = 1;
    board.line.boards.push_back(b);
    QTRY_COMPARE(restored.size(), 1);
    QCOMPARE(restored[0][0].toString(), QStringLiteral("/dev/ttyUSB0"));
    QTRY_COMPARE(availability.last(), (QVariantList{1, true}));
}

void tst_board_link::requests_on_a_closed_line_end_port_closed()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    port.next_open = {false, open_failure::busy, QStringLiteral("/dev/ttyS0"), {}};
    board_link link(std::move(owned), quick_settings(2));
    const open_result opened = link.open(port_spec{1, {}});
    QCOMPARE(opened.failure, open_failure::busy);
    QVERIFY(open_failure_text(port_spec{1, {}}, opened).contains(QLatin1String("busy")));

    int calls = 0;
    outcome result = outcome::done;
    link.switch_relay(1, 1, true, [&](const relay_result& r) {
        ++calls;
        result = r.result;
    });
    // Never inside the caller's own call.
    QCOMPARE(calls, 0);
    QTRY_COMPARE(calls, 1);
    QCOMPARE(result, outcome::port_closed);
    QVERIFY(port.written.isEmpty());
}

void tst_board_link::open_failure_message_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("says");

    QTest::newRow("no device has the number")
        << "7" << int(open_failure::no_port) << ""
        << QStringList{"cannot open port 7:", "no serial device has that number", "telvarctl ports"};
    QTest::newRow("device missing")
        << "2" << int(open_failure::not_found) << "/dev/ttyUSB0"
        << QStringList{"port 2 (/dev/ttyUSB0)", "does not exist", "plugged in"};
    QTest::newRow("held by another program")
        << "COM3" << int(open_failure::busy) << "/dev/ttyS2"
        << QStringList{"port 3 (/dev/ttyS2)", "busy", "Telvar window"};
    QTest::newRow("no permission: the dialout group")
        << "1" << int(open_failure::no_permission) << "/dev/ttyS0"
        << QStringList{"port 1 (/dev/ttyS0)", "permission denied", "dialout"};
    QTest::newRow("by path, the system's own words")
        << "/dev/pts/9" << int(open_failure::other) << "/dev/pts/9"
        << QStringList{"cannot open /dev/pts/9:", "Input/output error"};
}

void tst_board_link::open_failure_message()
{
    QFETCH(QString, port);
    QFETCH(int, failure);
    QFETCH(QString, device);
    QFETCH(QStringList, says);
    const open_result result{false, open_failure(failure), device,
                             QStringLiteral("Input/output error")};
    const QString text = open_failure_text(*port_spec::parse(port), result);
    for (const QString& part : says)
        QVERIFY2(text.contains(part), qPrintable(text));
}

void tst_board_link::stop_signal_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<stop_reason>("reason");
    QTest::addColumn<bool>("reload");  // a service reads its configuration again instead of stopping

    QTest::newRow("Ctrl+C") << int(SIGINT) << stop_reason::interrupt << false;
    QTest::newRow("SIGTERM from a service manager") << int(SIGTERM) << stop_reason::terminate << false;
    QTest::newRow("terminal closed, or systemctl reload") << int(SIGHUP) << stop_reason::hangup << true;
}

void tst_board_link::stop_signal()
{
    QFETCH(int, number);
    QFETCH(stop_reason, reason);
    QFETCH(bool, reload);
    // What was in force before comes back afterwards: here, ignoring the signal.
    const auto previous = std::signal(number, SIG_IGN);
    {
        stop_signals stop;
        QVERIFY2(stop.ok(), qPrintable(stop.error()));
        stop_signals second;
        QVERIFY(!second.ok());
        QSignalSpy received(&stop, &stop_signals::received);
        QSignalSpy requested(&stop, &stop_signals::stop_requested);
        QSignalSpy reloads(&stop, &stop_signals::reload_requested);
        std::raise(number);
        std::raise(number);
        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(received[0][0].value<stop_reason>(), reason);
        QCOMPARE(requested.size(), reload ? 0 : 2);
        QCOMPARE(reloads.size(), reload ? 2 : 0);
    }
    QVERIFY(std::signal(number, previous) == SIG_IGN);
}

QTEST_GUILESS_MAIN(tst_board_link)
#include "tst_board_link.moc"

// The link's rules on an in-memory line: which reply answers which frame, when
// a switch counts as confirmed, what is resent, how requests wait, coalesce
// and share the line with polls, and how polling, availability and a lost or
// renumbered device behave. The far side is the simulator's own installation,
// steered frame by frame; the rhythm is also checked against telvar-sim on a
// pseudo-terminal.
#include "link/board_link.h"
#include "link/pulses.h"
#include "link/stop_signals.h"
#include "sim/installation.h"
#include "support/hex.h"
#include "support/memory_port.h"
#include "support/sim_process.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <cstdlib>

using namespace telvar;
using namespace telvar::link;
using namespace telvar::test;

Q_DECLARE_METATYPE(telvar::link::outcome)
Q_DECLARE_METATYPE(telvar::link::relay_states)
Q_DECLARE_METATYPE(telvar::link::stop_reason)
Q_DECLARE_METATYPE(telvar::link::return_mode)

namespace {

// How the far side treats one frame. "apply": as a board does (the
// installation answers); "lose": carries it out, the reply is lost; "stuck":
// answers with its state unchanged; "quiet": nothing; "spoil": the answer's
// checksum is wrong; "other": a valid status reply from board 9; "stray": the
// answer, after three stray bytes; "value=N": a parameter reply carrying N;
// "code=C": a parameter reply with command code C (hex); "host": a parameter
// reply with selector FF; "board": one with board 1's selector; "late=C,HEX":
// carries the frame out, but what comes is a late answer to an earlier frame
// (code C, relays HEX) instead of its own; "stray1": a stray start mark before
// the answer; "short+": the answer with its third byte lost, then whole.
// Board 1 (relay 5 in) and board 255 are installed.
struct far_side : QObject {
    far_side(memory_port& port, board_link& link, QStringList script)
        : port_(port), script_(std::move(script))
    {
        sim::board b;
        b.address = 1;
        b.relays = 0x0010;  // relay 5 pulled in
        line.boards.push_back(b);
        sim::board last;
        last.address = 255;
        line.boards.push_back(last);
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
            || action == QLatin1String("spoil") || action == QLatin1String("stray")
            || action == QLatin1String("stray1") || action == QLatin1String("short+"))
            reply = line.answer(request);
        if (action.startsWith(QLatin1String("late="))) {
            line.answer(request);
            const QStringList late = action.mid(5).split(QLatin1Char(','));
            const unsigned relays = late.value(1).toUInt(nullptr, 16);
            reply = make_frame(reply_mark, 1, std::uint8_t(late.value(0).toUInt(nullptr, 16)), 0,
                               0, std::uint8_t(relays >> 8), std::uint8_t(relays));
        }
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
        if (action == QLatin1String("stray1"))
            out.prepend(char(reply_mark));
        if (action == QLatin1String("short+"))
            out = out.left(2) + out.mid(3) + out;
        // From the event loop, as a real line would deliver it.
        QTimer::singleShot(1, &port_, [this, out] { port_.feed(out); });
    }

    sim::installation line;
    QStringList heard_codes;

private:
    memory_port& port_;
    QStringList script_;
};

// Port numbers and stable names for the whole run: com1 stands for a file
// the memory port opens, and no adapter of this machine has a say.
QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

QString by_id_folder()
{
    return scratch().filePath(QStringLiteral("by-id"));
}

link_settings quick_settings(int retries)
{
    link_settings s;
    s.reply_window_ms = 40;
    s.retries = retries;
    s.poll_interval_ms = 50;
    s.reopen_first_ms = 20;
    s.reopen_max_ms = 50;
    s.by_id_folder = by_id_folder();
    return s;
}

// Requests as the table rows write them: "status", "on 5", "off 5", "toggle 5", "all on",
// "pulse 5" (for 100 ms; done once pulled in).
void ask(board_link& link, const QString& text, int address, board_link::relay_callback done)
{
    const QStringList words = text.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("pulse"))
        link.pulse(address, words[1].toInt(), 100, std::move(done), {});
    else if (words[0] == QLatin1String("status"))
        link.status(address, std::move(done));
    else if (words[0] == QLatin1String("all"))
        link.switch_all(address, words[1] == QLatin1String("on"), std::move(done));
    else if (words[0] == QLatin1String("toggle"))
        link.toggle(address, words[1].toInt(), std::move(done));
    else
        link.switch_relay(address, words[1].toInt(), words[0] == QLatin1String("on"),
                          std::move(done));
}

// Interlock groups as the rows write them: "1,2;5,6,7".
std::vector<std::vector<int>> groups_of(const QString& text)
{
    std::vector<std::vector<int>> groups;
    for (const QString& group : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        groups.emplace_back();
        for (const QString& relay : group.split(QLatin1Char(',')))
            groups.back().push_back(relay.toInt());
    }
    return groups;
}

// "10 11 12 12 12" as "10 11 12x3".
QString runs_of(const QStringList& codes)
{
    QStringList runs;
    for (int i = 0; i < codes.size();) {
        int j = i;
        while (j < codes.size() && codes[j] == codes[i])
            ++j;
        runs << (j - i > 1 ? QStringLiteral("%1x%2").arg(codes[i]).arg(j - i) : codes[i]);
        i = j;
    }
    return runs.join(QLatin1Char(' '));
}

bool two_of_a_group(const relay_states& relays, const std::vector<std::vector<int>>& groups)
{
    for (const auto& group : groups) {
        int in = 0;
        for (int r : group)
            in += relays[std::size_t(r - 1)] ? 1 : 0;
        if (in > 1)
            return true;
    }
    return false;
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
    void initTestCase();
    void relay_request_data();
    void relay_request();
    void parameter_request_data();
    void parameter_request();
    void port_names_data();
    void port_names();
    void polling_and_availability();
    void request_goes_ahead_of_the_next_poll();
    void queue_coalesces_and_is_bounded_data();
    void queue_coalesces_and_is_bounded();
    void offline_board_fails_commands_at_once();
    void polls_keep_their_rhythm_while_commands_wait_data();
    void polls_keep_their_rhythm_while_commands_wait();
    void lost_device_is_reopened_as_the_same_device_data();
    void lost_device_is_reopened_as_the_same_device();
    void requests_on_a_closed_line_end_port_closed();
    void open_failure_message_data();
    void open_failure_message();
    void stop_signal_data();
    void stop_signal();
    void pulse_duration_data();
    void pulse_duration();
    void pulse_released_at_its_deadline_data();
    void pulse_released_at_its_deadline();
    void pulse_release_owed_across_a_line_loss();
    void interlock_change_over_data();
    void interlock_change_over();
    void interlock_holds_when_two_requests_race();
    void two_of_a_group_reported_are_released_data();
    void two_of_a_group_reported_are_released();
    void board_brought_back_to_its_return_mode_data();
    void board_brought_back_to_its_return_mode();
    void health_counts_data();
    void health_counts();
    void link_quality_under_faults_data();
    void link_quality_under_faults();
};

void tst_board_link::initTestCase()
{
    QVERIFY(scratch().isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch().path()));
    QVERIFY(QDir().mkpath(scratch().filePath("telvar/ports")));
    QVERIFY(QDir().mkpath(scratch().filePath("dev")));
    QVERIFY(QDir().mkpath(by_id_folder()));
    QFile node(scratch().filePath("dev/mem1"));
    QVERIFY(node.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(node.fileName(), scratch().filePath("telvar/ports/com1")));
    qRegisterMetaType<relay_states>();
}

void tst_board_link::relay_request_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<outcome>("result");
    QTest::addColumn<QString>("frames");    // command codes on the wire, in order
    QTest::addColumn<QString>("reported");  // the board's last report, or none
    QTest::addColumn<int>("skipped");       // bytes that began no valid reply
    QTest::addColumn<int>("unmatched");     // valid replies that answered nothing in flight

    const auto done = outcome::done;
    const auto unconfirmed = outcome::not_confirmed;
    const auto silent = outcome::no_reply;
    QTest::newRow("pull in relay 1: the switch reply confirms")
        << "on 1" << 2 << QStringList{} << done << "12" << "0011" << 0 << 0;
    QTest::newRow("switch reply lost: the status query confirms")
        << "on 1" << 2 << QStringList{"lose"} << done << "12 10" << "0011" << 0 << 0;
    QTest::newRow("switch reply spoilt: the status query confirms")
        << "on 1" << 2 << QStringList{"spoil"} << done << "12 10" << "0011" << 8 << 0;
    QTest::newRow("stray bytes before the switch reply cost nothing")
        << "on 1" << 2 << QStringList{"stray"} << done << "12" << "0011" << 3 << 0;
    QTest::newRow("a stray start mark costs one byte")
        << "on 1" << 2 << QStringList{"stray1"} << done << "12" << "0011" << 1 << 0;
    QTest::newRow("a byte lost from the answer costs that copy, not a resend")
        << "on 1" << 2 << QStringList{"short+"} << done << "12" << "0011" << 7 << 0;
    QTest::newRow("a late answer to an earlier status query is no answer to the switch")
        << "on 1" << 2 << QStringList{"late=10,0010"} << done << "12 10" << "0011" << 0 << 1;
    QTest::newRow("a late answer to an earlier switch is no answer to the toggle's question")
        << "toggle 5" << 2 << QStringList{"late=12,0000"} << done << "10 10 11" << "0000" << 0
        << 1;
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
        << "11 10 11 10" << "none" << 32 << 0;
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
        << "status" << 2 << QStringList{"lose", "spoil"} << done << "10 10 10" << "0010" << 8 << 0;
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
    QFETCH(int, skipped);
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
    ask(link, request, 1, done);

    QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 5000);
    QCOMPARE(got->result, result);
    QCOMPARE(board.heard_codes.join(QLatin1Char(' ')), frames);
    QCOMPARE(got->frames_sent, int(board.heard_codes.size()));
    QCOMPARE(hex4(got->reported), reported);
    // Only the board's replies make a report: a commanded state never does.
    QCOMPARE(hex4(link.last_reported(1)), reported);
    // Every frame was preceded by discarding what waited.
    QCOMPARE(port.discards, int(port.written.size()));
    QCOMPARE(link.stats().bytes_skipped, quint64(skipped));
    QCOMPARE(link.stats().replies_unmatched, quint64(unmatched));
    QCOMPARE(link.stats().frames_sent, quint64(port.written.size()));
}

void tst_board_link::parameter_request_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("address");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<outcome>("result");
    QTest::addColumn<QString>("value");     // as the module sent it back, or none
    QTest::addColumn<QString>("first_frame");
    QTest::addColumn<int>("frames");

    QTest::newRow("read host id") << "get host-id 0" << 1 << QStringList{"value=258"}
                                  << outcome::done << "258" << "56 FF 30 00 00 00 00 85" << 1;
    QTest::newRow("write host channel 5")
        << "set host-channel 5" << 1 << QStringList{} << outcome::done << "5"
        << "56 FF 33 00 00 00 05 8D" << 1;
    QTest::newRow("write host id 258 comes back as 259: not confirmed")
        << "set host-id 258" << 1 << QStringList{"value=259"} << outcome::not_confirmed << "259"
        << "56 FF 31 00 00 01 02 89" << 1;
    QTest::newRow("read slave channel of board 1")
        << "get slave-channel 0" << 1 << QStringList{} << outcome::done << "1"
        << "55 01 42 00 00 00 00 98" << 1;
    QTest::newRow("write slave channel 5 of board 1")
        << "set slave-channel 5" << 1 << QStringList{} << outcome::done << "5"
        << "55 01 43 00 00 00 05 9E" << 1;
    QTest::newRow("pair with board 1: the shared id")
        << "pair - 0" << 1 << QStringList{} << outcome::done << "1" << "56 01 34 00 00 00 00 8B"
        << 1;
    QTest::newRow("a reply with another code is no answer")
        << "get slave-id 0" << 1 << QStringList{"code=42", "code=30", "apply"} << outcome::done
        << "1" << "55 01 40 00 00 00 00 96" << 3;
    QTest::newRow("a host reply is no answer to a board request")
        << "get slave-channel 0" << 1 << QStringList{"host", "host", "host"} << outcome::no_reply
        << "none" << "55 01 42 00 00 00 00 98" << 3;
    QTest::newRow("a board's reply is no answer to a host request")
        << "get host-channel 0" << 1 << QStringList{"board", "quiet", "apply"} << outcome::done
        << "1" << "56 FF 32 00 00 00 00 87" << 3;
    QTest::newRow("silence: no reply after the retries")
        << "set slave-id 7" << 1 << QStringList{"quiet", "quiet", "quiet"} << outcome::no_reply
        << "none" << "55 01 41 00 00 00 07 9E" << 3;
    // Board 255's module answers with FF in byte 1, as the host module does.
    QTest::newRow("read slave id of board 255: read as the request asked")
        << "get slave-id 0" << 255 << QStringList{} << outcome::done << "1"
        << "55 FF 40 00 00 00 00 94" << 1;
    QTest::newRow("write slave id of board 255")
        << "set slave-id 305419896" << 255 << QStringList{} << outcome::done << "305419896"
        << "55 FF 41 12 34 56 78 A9" << 1;
    QTest::newRow("write slave channel 7 of board 255")
        << "set slave-channel 7" << 255 << QStringList{} << outcome::done << "7"
        << "55 FF 43 00 00 00 07 9E" << 1;
    QTest::newRow("pair with board 255: the id read as the request asked")
        << "pair - 0" << 255 << QStringList{"value=7"} << outcome::done << "7"
        << "56 FF 34 00 00 00 00 89" << 1;
}

void tst_board_link::parameter_request()
{
    QFETCH(QString, request);
    QFETCH(int, address);
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
        link.pair(address, done);
    else if (words[0] == QLatin1String("get"))
        link.read_parameter(names.value(words[1]), address, done);
    else
        link.write_parameter(names.value(words[1]), address, words[2].toUInt(), done);

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

    // A relay that changes at the board is told as a change, with the states before and after.
    QSignalSpy changes(&link, &board_link::relays_changed);
    board.line.boards.front().relays = 0x8010;
    QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 1, 5000);
    QCOMPARE(changes[0][0].toInt(), 1);
    QCOMPARE(hex4(changes[0][1].value<relay_states>()), QStringLiteral("0010"));
    QCOMPARE(hex4(changes[0][2].value<relay_states>()), QStringLiteral("8010"));

    // Board 1 goes silent: five polls of it, not five frames on the line.
    const int before = int(port.written.size());
    board.line.boards.erase(board.line.boards.begin());
    QTRY_COMPARE_WITH_TIMEOUT(availability.size(), 4, 5000);
    QCOMPARE(availability[3], (QVariantList{1, false}));
    QVERIFY(int(port.written.size()) - before >= 9);
    // What it reported before the silence is not taken for its state now.
    QVERIFY(!link.last_reported(1));
    QCOMPARE(changes.size(), 1);
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
    // At most the frame in flight went before it, and on a slow machine the
    // one poll that fell due meanwhile: polls and commands take turns.
    const int switched_at = int(board.heard_codes.indexOf(QStringLiteral("12")));
    QVERIFY2(switched_at >= 0 && switched_at <= queued_at + 1,
             qPrintable(board.heard_codes.join(QLatin1Char(' '))));
}

void tst_board_link::queue_coalesces_and_is_bounded_data()
{
    QTest::addColumn<QStringList>("requests");  // to board 1, one after the other, at once
    QTest::addColumn<int>("limit");             // requests that may wait
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<QString>("frames");
    QTest::addColumn<QString>("relays");        // the board's relays after all (relay 5 in before)

    QTest::newRow("the newest wish for a waiting relay takes its place")
        << QStringList{"on 1", "on 5", "off 5"} << 64
        << QStringList{"done", "superseded", "done"} << "12 11" << "0001";
    QTest::newRow("a wish already on the wire is carried out")
        << QStringList{"off 5", "on 5"} << 64 << QStringList{"done", "done"} << "11 12" << "0010";
    QTest::newRow("all off replaces every waiting wish of the board")
        << QStringList{"status", "on 2", "toggle 3", "all off"} << 64
        << QStringList{"done", "superseded", "superseded", "done"} << "10 13" << "0000";
    QTest::newRow("a wish for one relay after all waits behind it")
        << QStringList{"status", "all on", "off 2"} << 64 << QStringList{"done", "done", "done"}
        << "10 13 11" << "FFFD";
    QTest::newRow("the newer wish keeps the place in line of the one it replaces")
        << QStringList{"status", "on 2", "on 3", "off 2"} << 64
        << QStringList{"done", "superseded", "done", "done"} << "10 11 12" << "0014";
    QTest::newRow("a toggle right after a report goes from it without asking")
        << QStringList{"status", "toggle 5", "toggle 5"} << 64
        << QStringList{"done", "superseded", "done"} << "10 11" << "0000";
    QTest::newRow("a full queue refuses, and says so")
        << QStringList{"status", "on 1", "on 2", "on 3"} << 2
        << QStringList{"done", "done", "done", "queue_full"} << "10 12 12" << "0013";
    QTest::newRow("a full queue still takes a wish that replaces a waiting one")
        << QStringList{"status", "on 1", "on 2", "off 1"} << 2
        << QStringList{"done", "superseded", "done", "done"} << "10 11 12" << "0012";
}

void tst_board_link::queue_coalesces_and_is_bounded()
{
    QFETCH(QStringList, requests);
    QFETCH(int, limit);
    QFETCH(QStringList, outcomes);
    QFETCH(QString, frames);
    QFETCH(QString, relays);

    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    link_settings settings = quick_settings(2);
    settings.queue_limit = limit;
    settings.poll_interval_ms = 5000;  // a report stays fresh for the whole row
    board_link link(std::move(owned), settings);
    far_side board(port, link, {});
    QVERIFY(link.open(port_spec{1, {}}).ok);

    QStringList got(requests.size());
    int calls = 0;
    for (int i = 0; i < requests.size(); ++i)
        ask(link, requests[i], 1, [&, i](const relay_result& r) {
            QVERIFY2(got[i].isEmpty(), "a callback ran twice");
            got[i] = outcome_name(r.result);
            ++calls;
        });
    QCOMPARE(calls, 0);  // refused or replaced, never inside the caller's call
    QTRY_COMPARE_WITH_TIMEOUT(calls, int(requests.size()), 5000);
    QCOMPARE(got, outcomes);
    QCOMPARE(board.heard_codes.join(QLatin1Char(' ')), frames);
    QCOMPARE(hex4(link.last_reported(1)), relays);
}

void tst_board_link::offline_board_fails_commands_at_once()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(2));
    far_side board(port, link, {});
    QVERIFY(link.open(port_spec{1, {}}).ok);

    // Board 2 is served but missing; two commands wait for it.
    int frames_at_offline = -1;
    connect(&link, &board_link::availability_changed, this, [&](int address, bool available) {
        if (address == 2 && !available)
            frames_at_offline = int(port.written.size());
    });
    link.set_polled({2});
    std::optional<relay_result> first, second, later, elsewhere;
    link.switch_relay(2, 1, true, [&](const relay_result& r) { first = r; });
    link.switch_relay(2, 3, true, [&](const relay_result& r) { second = r; });

    // Offline after five unanswered frames, polls and the command's frames alike.
    QTRY_VERIFY_WITH_TIMEOUT(frames_at_offline >= 0, 5000);
    QCOMPARE(frames_at_offline, 5);
    for (const frame& f : port.written)
        QCOMPARE(int(f[1]), 2);
    // The one waiting fails then, unsent; the one on the wire runs its course.
    QVERIFY(second.has_value());
    QCOMPARE(second->result, outcome::offline);
    QCOMPARE(second->frames_sent, 0);
    QTRY_VERIFY_WITH_TIMEOUT(first.has_value(), 5000);
    QCOMPARE(first->result, outcome::no_reply);

    // A new one fails at once, not after its own retries; other boards are served.
    const int sent = int(port.written.size());
    link.switch_relay(2, 4, false, [&](const relay_result& r) { later = r; });
    link.switch_relay(1, 2, true, [&](const relay_result& r) { elsewhere = r; });
    QTRY_VERIFY(later.has_value());
    QCOMPARE(later->result, outcome::offline);
    QCOMPARE(later->frames_sent, 0);
    QTRY_VERIFY_WITH_TIMEOUT(elsewhere.has_value(), 5000);
    QCOMPARE(elsewhere->result, outcome::done);
    for (int i = sent; i < int(port.written.size()); ++i)
        QVERIFY2(port.written[i][1] == 1 || port.written[i][2] == status_query,
                 qPrintable(hex(port.written[i])));
}

void tst_board_link::polls_keep_their_rhythm_while_commands_wait_data()
{
    QTest::addColumn<bool>("pty");
    QTest::newRow("in-memory line") << false;
    QTest::newRow("telvar-sim on a pseudo-terminal") << true;
}

void tst_board_link::polls_keep_their_rhythm_while_commands_wait()
{
    QFETCH(bool, pty);
    link_settings settings = quick_settings(2);
    settings.reply_window_ms = 60;
    settings.poll_interval_ms = 150;
    // Two boards polled: each at least once every 2 x 150 + 60 ms.
    const qint64 bound = 2 * settings.poll_interval_ms + settings.reply_window_ms;

    // Board 1 ignores switch frames, so every command is sent three times and
    // asked about three times before it ends; board 2 only answers polls.
    sim_process sim;
    std::unique_ptr<board_link> owned;
    std::unique_ptr<far_side> board;
    if (pty) {
        QVERIFY2(sim.start({"--board", "1,ignore-switch", "--board", "2"}), qPrintable(sim.error()));
        owned = std::make_unique<board_link>(settings);
        QVERIFY(owned->open(port_spec{0, sim.device()}).ok);
    } else {
        auto port = std::make_unique<memory_port>();
        memory_port& memory = *port;
        owned = std::make_unique<board_link>(std::move(port), settings);
        board = std::make_unique<far_side>(memory, *owned, QStringList{});
        board->line.boards.front().ignores_switch = true;
        board->line.boards.front().relays = 0;
        sim::board second;
        second.address = 2;
        board->line.boards.push_back(second);
        QVERIFY(owned->open(port_spec{1, {}}).ok);
    }
    board_link& link = *owned;

    QElapsedTimer clock;
    clock.start();
    QMap<int, QList<qint64>> reports;
    qint64 changed_at = -1;
    connect(&link, &board_link::board_reported, this,
            [&](int address, const relay_states&) { reports[address] << clock.elapsed(); });
    connect(&link, &board_link::relays_changed, this,
            [&](int address, const relay_states&, const relay_states& now) {
                if (address == 1 && now[15])
                    changed_at = clock.elapsed();
            });
    link.set_polled({1, 2});
    QTRY_VERIFY_WITH_TIMEOUT(link.available(1) && link.available(2), 5000);

    // Twenty commands, each sent as the one before ends, as a busy client does.
    int ended = 0;
    int unconfirmed = 0;
    qint64 commanded_at = 0;
    qint64 flipped_at = -1;
    std::function<void()> next = [&] {
        link.switch_relay(1, 1 + ended % 8, true, [&](const relay_result& r) {
            unconfirmed += r.result == outcome::not_confirmed ? 1 : 0;
            if (++ended < 20)
                next();
        });
    };
    commanded_at = clock.elapsed();
    next();
    // Meanwhile someone switches relay 16 by hand at the board.
    QTRY_VERIFY_WITH_TIMEOUT(ended >= 10, 30000);
    QVERIFY(ended < 20);
    flipped_at = clock.elapsed();
    if (pty)
        sim.command(QStringLiteral("set 1 relays 8000"));
    else
        board->line.boards.front().relays = 0x8000;
    QTRY_COMPARE_WITH_TIMEOUT(ended, 20, 30000);
    const qint64 finished_at = clock.elapsed();
    QCOMPARE(unconfirmed, 20);

    // Under way, every board kept reporting within the bound; a shared
    // machine gets one bound more before it counts as a fault.
    for (int address : {1, 2}) {
        qint64 last = commanded_at;
        qint64 widest = 0;
        for (qint64 at : reports.value(address)) {
            if (at < commanded_at || at > finished_at)
                continue;
            widest = std::max(widest, at - last);
            last = at;
        }
        widest = std::max(widest, finished_at - last);
        QVERIFY2(widest <= 2 * bound,
                 qPrintable(QStringLiteral("board %1: %2 ms without a report").arg(address).arg(widest)));
    }
    // The change at the board showed within the bound too.
    QVERIFY(flipped_at >= 0);
    QVERIFY2(changed_at >= flipped_at && changed_at - flipped_at <= 2 * bound,
             qPrintable(QStringLiteral("changed %1 ms after").arg(changed_at - flipped_at)));
}

void tst_board_link::lost_device_is_reopened_as_the_same_device_data()
{
    // Files in a folder stand for device nodes; "by-id/NAME" is an adapter's
    // stable name, "com4" the port-folder entry. "mk NODE" plugs a node in,
    // "rm PATH" takes a node or a name away, "ln PATH TARGET" points a link.
    QTest::addColumn<QString>("open");        // "4", or a path in the folder
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("unplug");  // while the device is away
    QTest::addColumn<QStringList>("replug");
    QTest::addColumn<QString>("reopened");    // the node opened again
    QTest::addColumn<QString>("renumbered");  // what port 4 was told to stand for meanwhile

    QTest::newRow("port 4 now stands for another adapter: not followed, the device waited for")
        << "4" << QStringList{"mk ttyUSB0", "mk ttyUSB1", "ln com4 ttyUSB0"}
        << QStringList{"rm ttyUSB0", "ln com4 ttyUSB1"} << QStringList{"mk ttyUSB0"} << "ttyUSB0"
        << "ttyUSB1";
    QTest::newRow("another adapter takes the node: the by-id name is waited for and followed")
        << "4" << QStringList{"mk ttyUSB0", "ln by-id/usb-A ttyUSB0", "ln com4 ttyUSB0"}
        << QStringList{"rm by-id/usb-A", "ln by-id/usb-B ttyUSB0"}
        << QStringList{"mk ttyUSB1", "ln by-id/usb-A ttyUSB1"} << "ttyUSB1" << "ttyUSB0";
    QTest::newRow("a device path with a by-id name: its node taken meanwhile is not opened")
        << "ttyUSB0" << QStringList{"mk ttyUSB0", "ln by-id/usb-A ttyUSB0"}
        << QStringList{"rm by-id/usb-A"} << QStringList{"mk ttyUSB2", "ln by-id/usb-A ttyUSB2"}
        << "ttyUSB2" << "";
    QTest::newRow("a port-folder entry that names a stable name follows the name")
        << "4" << QStringList{"mk ttyUSB0", "ln by-id/usb-A ttyUSB0", "ln com4 by-id/usb-A"}
        << QStringList{"rm by-id/usb-A", "rm ttyUSB0"}
        << QStringList{"mk ttyUSB3", "ln by-id/usb-A ttyUSB3"} << "ttyUSB3" << "";
    QTest::newRow("a link the user named is followed to where it points now")
        << "alias" << QStringList{"mk ttyACM0", "ln alias ttyACM0"}
        << QStringList{"rm ttyACM0", "rm alias"} << QStringList{"mk ttyACM1", "ln alias ttyACM1"}
        << "ttyACM1" << "";
    QTest::newRow("a plain device comes back at its node")
        << "ttyS1" << QStringList{"mk ttyS1"} << QStringList{"rm ttyS1"} << QStringList{"mk ttyS1"}
        << "ttyS1" << "";
}

void tst_board_link::lost_device_is_reopened_as_the_same_device()
{
    QFETCH(QString, open);
    QFETCH(QStringList, before);
    QFETCH(QStringList, unplug);
    QFETCH(QStringList, replug);
    QFETCH(QString, reopened);
    QFETCH(QString, renumbered);

    QTemporaryDir folder;
    QVERIFY(QDir().mkpath(folder.filePath("by-id")));
    const QString com4 = scratch().filePath("telvar/ports/com4");
    QFile::remove(com4);
    const auto path = [&](const QString& name) {
        return name == QLatin1String("com4") ? com4 : folder.filePath(name);
    };
    const auto apply = [&](const QStringList& steps) {
        for (const QString& step : steps) {
            const QStringList w = step.split(QLatin1Char(' '));
            if (w[0] == QLatin1String("mk")) {
                QFile node(path(w[1]));
                QVERIFY(node.open(QIODevice::WriteOnly));
            } else if (w[0] == QLatin1String("rm")) {
                QVERIFY(QFile::remove(path(w[1])));
            } else {
                QFile::remove(path(w[1]));
                QVERIFY(QFile::link(path(w[2]), path(w[1])));
            }
        }
    };
    const auto node = [&](const QString& name) { return QFileInfo(path(name)).canonicalFilePath(); };
    apply(before);
    const QString first = node(before.value(0).mid(3));

    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    link_settings settings = quick_settings(2);
    settings.by_id_folder = folder.filePath("by-id");
    settings.poll_interval_ms = 1000;  // one poll at the opening, then a quiet line
    board_link link(std::move(owned), settings);
    far_side board(port, link, {});
    QStringList events;
    connect(&link, &board_link::line_lost, this, [&](const QString& why) { events << "lost " + why; });
    connect(&link, &board_link::availability_changed, this, [&](int address, bool available) {
        events << QStringLiteral("%1 %2").arg(available ? "available" : "unavailable").arg(address);
    });
    QSignalSpy failed(&link, &board_link::reopen_failed);
    QSignalSpy restored(&link, &board_link::line_restored);
    QSignalSpy moved(&link, &board_link::port_renumbered);
    const port_spec where = open == QLatin1String("4") ? port_spec{4, {}} : port_spec{0, path(open)};
    QVERIFY(link.open(where).ok);
    QCOMPARE(port.opened_paths, QStringList{first});
    link.set_polled({1});
    QTRY_COMPARE(events, QStringList{"available 1"});

    // A frame on the wire when the device goes is told as sent and lost; one
    // waiting as not sent; and the loss itself before any board is unavailable.
    board.line.boards.clear();
    link.status(1, [&](const relay_result& r) { events << "on the wire: " + outcome_name(r.result); });
    link.status(1, [&](const relay_result& r) { events << "waiting: " + outcome_name(r.result); });
    QCOMPARE(int(port.written.size()), 2);
    apply(unplug);
    port.vanish(QStringLiteral("unplugged"));
    QCOMPARE(events, (QStringList{"available 1", "lost unplugged", "on the wire: line_lost",
                                  "waiting: port_closed", "unavailable 1"}));

    // Tried again with a growing pause; nothing else is opened meanwhile.
    QTRY_COMPARE(failed.size(), 3);
    QCOMPARE(failed[0][1].toInt(), 40);
    QCOMPARE(failed[1][1].toInt(), 50);
    QCOMPARE(int(port.opened_paths.size()), 1);
    QCOMPARE(moved.size(), renumbered.isEmpty() ? 0 : 1);
    if (!renumbered.isEmpty()) {
        QCOMPARE(moved[0][0].toInt(), 4);
        QCOMPARE(moved[0][1].toString(), node(renumbered));
    }

    apply(replug);
    sim::board b;
    b.address = 1;
    board.line.boards.push_back(b);
    QTRY_COMPARE(restored.size(), 1);
    QCOMPARE(port.opened_paths, (QStringList{first, node(reopened)}));
    QCOMPARE(restored[0][0].toString(), node(reopened));
    QTRY_COMPARE(events.last(), QStringLiteral("available 1"));
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
    QTest::addColumn<QString>("detail");  // the system's own words
    QTest::addColumn<QStringList>("says");

    const QString io = QStringLiteral("Input/output error");
    QTest::newRow("no device has the number")
        << "7" << int(open_failure::no_port) << "" << io
        << QStringList{"cannot open port 7:", "no serial device has that number", "telvarctl ports"};
    QTest::newRow("device missing")
        << "2" << int(open_failure::not_found) << "/dev/ttyUSB0" << io
        << QStringList{"port 2 (/dev/ttyUSB0)", "does not exist", "plugged in"};
    QTest::newRow("held by another program")
        << "COM3" << int(open_failure::busy) << "/dev/ttyS2" << io
        << QStringList{"port 3 (/dev/ttyS2)", "busy", "Telvar window"};
    QTest::newRow("no permission, the device gone since")
        << "1" << int(open_failure::no_permission) << "/dev/telvar-no-such-device" << io
        << QStringList{"port 1 (/dev/telvar-no-such-device)", "permission denied",
                       "ls -l /dev/telvar-no-such-device"};
    QTest::newRow("by path, the system's own words")
        << "/dev/pts/9" << int(open_failure::other) << "/dev/pts/9" << io
        << QStringList{"cannot open /dev/pts/9:", "Input/output error."};
    QTest::newRow("the system's words with a stop of their own: one stop")
        << "/dev/pts/9" << int(open_failure::other) << "/dev/pts/9" << "Device busy. "
        << QStringList{"cannot open /dev/pts/9: Device busy."};
}

void tst_board_link::open_failure_message()
{
    QFETCH(QString, port);
    QFETCH(int, failure);
    QFETCH(QString, device);
    QFETCH(QString, detail);
    QFETCH(QStringList, says);
    const open_result result{false, open_failure(failure), device, detail};
    const QString text = open_failure_text(*port_spec::parse(port), result);
    for (const QString& part : says)
        QVERIFY2(text.contains(part), qPrintable(text));
    // A whole sentence that callers can add to: one stop at the end, never two.
    QVERIFY2(text.endsWith(QLatin1Char('.')) && !text.contains(QLatin1String("..")),
             qPrintable(text));
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


void tst_board_link::pulse_duration_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("ms");  // -1: refused
    QTest::newRow("milliseconds") << "500ms" << qint64(500);
    QTest::newRow("seconds") << "2s" << qint64(2000);
    QTest::newRow("a fraction of a minute") << "1.5m" << qint64(90000);
    QTest::newRow("hours, the longest") << "24h" << qint64(86400000);
    QTest::newRow("the shortest") << "100ms" << qint64(100);
    QTest::newRow("shorter than the shortest") << "99ms" << qint64(-1);
    QTest::newRow("longer than a day") << "24.1h" << qint64(-1);
    QTest::newRow("no unit") << "500" << qint64(-1);
    QTest::newRow("unknown unit") << "5d" << qint64(-1);
    QTest::newRow("negative") << "-2s" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
}

void tst_board_link::pulse_duration()
{
    QFETCH(QString, text);
    QFETCH(qint64, ms);
    QString error;
    const auto read = parse_duration(text, &error);
    QCOMPARE(read.value_or(-1), ms);
    // A refusal names the value and says what would do.
    QCOMPARE(error.contains(QStringLiteral("\"%1\"").arg(text)), ms < 0);
}

void tst_board_link::pulse_released_at_its_deadline_data()
{
    QTest::addColumn<QString>("request");  // as ask() takes it; "pulse 3" lasts 300 ms here
    QTest::addColumn<bool>("momentary");   // relay 3 made momentary for 300 ms
    QTest::newRow("telvarctl-style pulse") << "pulse 3" << false;
    QTest::newRow("a momentary relay switched on by any client") << "on 3" << true;
    QTest::newRow("a momentary relay toggled on") << "toggle 3" << true;
    QTest::newRow("a momentary relay pulled in by all on") << "all on" << true;
}

void tst_board_link::pulse_released_at_its_deadline()
{
    QFETCH(QString, request);
    QFETCH(bool, momentary);
    sim_process sim;
    QVERIFY2(sim.start({"--board", "1,relays=0000"}), qPrintable(sim.error()));
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 100;
    if (momentary)
        settings.pulse_ms[1][3] = 300;
    board_link link(settings);
    QVERIFY(link.open(port_spec{0, sim.device()}).ok);
    link.set_polled({1});
    QTRY_VERIFY(link.available(1));

    QElapsedTimer clock;
    clock.start();
    qint64 pulled_at = -1;
    qint64 released_at = -1;
    outcome pulled = outcome::no_reply;
    outcome released = outcome::no_reply;
    const auto on_pulled = [&](const relay_result& r) {
        pulled = r.result;
        pulled_at = clock.elapsed();
    };
    if (request.startsWith(QLatin1String("pulse"))) {
        link.pulse(1, 3, 300, on_pulled, [&](const relay_result& r) {
            released = r.result;
            released_at = clock.elapsed();
        });
    } else {
        ask(link, request, 1, on_pulled);
    }
    QTRY_COMPARE(pulled, outcome::done);
    const bool all = request == QLatin1String("all on");
    QCOMPARE(sim.relays(1), all ? QStringLiteral("FFFF") : QStringLiteral("0004"));
    QVERIFY(link.pulse_pending(1, 3));
    if (momentary) {
        QTRY_VERIFY_WITH_TIMEOUT(!link.pulse_pending(1, 3), 3000);
        released_at = clock.elapsed();
        released = outcome::done;
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(released_at >= 0, 3000);
    }
    QCOMPARE(released, outcome::done);
    // Only the momentary relay goes back.
    QCOMPARE(sim.relays(1), all ? QStringLiteral("FFFB") : QStringLiteral("0000"));
    // Confirmed within 50 ms and one frame (a poll on the wire) of the deadline.
    const qint64 late = released_at - (pulled_at + 300);
    QVERIFY2(late >= 0 && late <= 50 + settings.reply_window_ms,
             qPrintable(QStringLiteral("released %1 ms after the deadline").arg(late)));
}

void tst_board_link::pulse_release_owed_across_a_line_loss()
{
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 1000;
    board_link link(std::move(owned), settings);
    far_side board(port, link, {});
    QVERIFY(link.open(port_spec{1, {}}).ok);
    outcome pulled = outcome::no_reply;
    std::optional<outcome> released;
    link.pulse(1, 2, 100, [&](const relay_result& r) { pulled = r.result; },
               [&](const relay_result& r) { released = r.result; });
    QTRY_COMPARE(pulled, outcome::done);
    QCOMPARE(board.line.boards.front().relays, std::uint16_t(0x0012));
    const board_health before = link.health(1);
    QCOMPARE(before.replies_accepted, quint64(1));

    // The line goes before the deadline and stays away past it.
    port.next_open.ok = false;
    port.vanish(QStringLiteral("unplugged"));
    QTest::qWait(250);
    QVERIFY(!released);
    QVERIFY(link.pulse_pending(1, 2));
    QCOMPARE(board.line.boards.front().relays, std::uint16_t(0x0012));

    // Back: the board is asked, still shows the relay in, and is told to release it.
    port.next_open.ok = true;
    QTRY_VERIFY_WITH_TIMEOUT(released.has_value(), 3000);
    QCOMPARE(*released, outcome::done);
    QCOMPARE(board.line.boards.front().relays, std::uint16_t(0x0010));
    QVERIFY(!link.pulse_pending(1, 2));
    // The board's health counts on from before the loss: the pull-in, the status asked, the release.
    const board_health after = link.health(1);
    QCOMPARE(after.replies_accepted, quint64(3));
    QCOMPARE(after.frames_sent, quint64(3));
    QCOMPARE(after.window_frames, 3);
}

void tst_board_link::health_counts_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QList<int>>("counts");  // frames, accepted, checksum, stray, timeouts, retries
    QTest::addColumn<int>("quality");

    QTest::newRow("a switch answered at once")
        << "on 2" << QStringList{} << QList<int>{1, 1, 0, 0, 0, 0} << 100;
    QTest::newRow("a switch whose answer is lost: the state asked after the timeout")
        << "on 2" << QStringList{"lose"} << QList<int>{2, 1, 0, 0, 1, 1} << 50;
    QTest::newRow("a spoilt sum: one error, its eight bytes skipped, asked again")
        << "status" << QStringList{"spoil"} << QList<int>{2, 1, 1, 8, 1, 1} << 50;
    QTest::newRow("stray bytes before the answer")
        << "status" << QStringList{"stray"} << QList<int>{1, 1, 0, 3, 0, 0} << 100;
    QTest::newRow("a late answer to another frame is not this one's")
        << "status" << QStringList{"late=12,0010"} << QList<int>{2, 1, 0, 0, 1, 1} << 50;
    QTest::newRow("a silent board: every retry times out")
        << "status" << QStringList{"quiet", "quiet", "quiet"} << QList<int>{3, 0, 0, 0, 3, 2} << 0;
    QTest::newRow("another board's reply counts for neither")
        << "status" << QStringList{"other", "apply"} << QList<int>{2, 1, 0, 0, 1, 1} << 50;
}

void tst_board_link::health_counts()
{
    QFETCH(QString, request);
    QFETCH(QStringList, script);
    QFETCH(QList<int>, counts);
    QFETCH(int, quality);
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    board_link link(std::move(owned), quick_settings(2));
    far_side board(port, link, script);
    QVERIFY(link.open(port_spec{1, {}}).ok);
    const board_health fresh = link.health(1);
    QCOMPARE(fresh.quality_percent, -1);
    QCOMPARE(fresh.last_reply_ms, qint64(-1));

    const qint64 asked_at = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer took;
    took.start();
    std::optional<relay_result> got;
    ask(link, request, 1, [&](const relay_result& r) { got = r; });
    QTRY_VERIFY(got.has_value());
    const qint64 whole_ms = took.elapsed();
    const board_health h = link.health(1);
    const QList<int> seen{int(h.frames_sent),     int(h.replies_accepted), int(h.checksum_errors),
                          int(h.stray_bytes),     int(h.timeouts),         int(h.retries)};
    QCOMPARE(seen, counts);
    QCOMPARE(h.quality_percent, quality);
    QCOMPARE(h.window_frames, counts[0]);
    if (counts[1] > 0) {
        QVERIFY(h.last_reply_ms >= asked_at && h.last_reply_ms <= QDateTime::currentMSecsSinceEpoch());
        QVERIFY2(h.round_trip_p50_ms >= 0 && h.round_trip_p50_ms <= whole_ms,
                 qPrintable(QString::number(h.round_trip_p50_ms)));
    } else {
        QCOMPARE(h.last_reply_ms, qint64(-1));
        QCOMPARE(h.round_trip_p50_ms, -1);
    }
    // Another board's counts stay apart.
    QCOMPARE(link.health(9).frames_sent, quint64(0));
}

void tst_board_link::interlock_change_over_data()
{
    // Board 1 has relay 5 in; no polls, so the link asks the state first.
    QTest::addColumn<QString>("groups");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("wire");  // command codes in order, "12x3" for three 12s
    QTest::addColumn<QString>("relays");
    QTest::addColumn<outcome>("result");
    QTest::addColumn<QList<int>>("skipped");

    QTest::newRow("the other of the group released, confirmed, the gap, then the pull-in")
        << "5,6" << "on 6" << QStringList{} << "10 11 12" << "0020" << outcome::done << QList<int>{};
    QTest::newRow("nothing else of the group in: no release")
        << "1,2" << "on 2" << QStringList{} << "10 12" << "0012" << outcome::done << QList<int>{};
    QTest::newRow("a release needs no interlock")
        << "5,6" << "off 5" << QStringList{} << "11" << "0000" << outcome::done << QList<int>{};
    QTest::newRow("a relay outside the groups goes as asked")
        << "5,6" << "on 1" << QStringList{} << "12" << "0011" << outcome::done << QList<int>{};
    QTest::newRow("toggle pulls in through the interlock")
        << "5,6" << "toggle 6" << QStringList{} << "10 11 12" << "0020" << outcome::done
        << QList<int>{};
    QTest::newRow("toggle of the one in releases it")
        << "5,6" << "toggle 5" << QStringList{} << "10 11" << "0000" << outcome::done << QList<int>{};
    QTest::newRow("a pulse pulls in through the interlock")
        << "4,5" << "pulse 4" << QStringList{} << "10 11 12" << "0008" << outcome::done
        << QList<int>{};
    QTest::newRow("a release the board does not confirm keeps the other out")
        << "5,6" << "on 6" << QStringList{"apply", "stuck", "stuck", "stuck"} << "10 11x3" << "0010"
        << outcome::not_confirmed << QList<int>{};
    QTest::newRow("all on: the lowest of each group, the others skipped")
        << "1,2;5,6,7" << "all on" << QStringList{} << "10 12x12" << "FF9D" << outcome::done
        << QList<int>{2, 6, 7};
    QTest::newRow("all on with a higher one of a group in: released first")
        << "4,5" << "all on" << QStringList{} << "10 11 12x15" << "FFEF" << outcome::done
        << QList<int>{5};
    QTest::newRow("all off goes as asked")
        << "5,6" << "all off" << QStringList{} << "13" << "0000" << outcome::done << QList<int>{};
}

void tst_board_link::interlock_change_over()
{
    QFETCH(QString, groups);
    QFETCH(QString, request);
    QFETCH(QStringList, script);
    QFETCH(QString, wire);
    QFETCH(QString, relays);
    QFETCH(outcome, result);
    QFETCH(QList<int>, skipped);
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    link_settings settings = quick_settings(2);
    settings.interlocks[1] = groups_of(groups);
    settings.interlock_gap_ms = 60;
    board_link link(std::move(owned), settings);
    far_side board(port, link, script);
    QElapsedTimer clock;
    clock.start();
    QList<qint64> sent_at;
    connect(&link, &board_link::frame_sent, this, [&] { sent_at << clock.elapsed(); });
    QList<qint64> reported_at;
    bool both_in = false;
    connect(&link, &board_link::board_reported, this, [&](int, const relay_states& now) {
        reported_at << clock.elapsed();
        both_in = both_in || two_of_a_group(now, settings.interlocks[1]);
    });
    QVERIFY(link.open(port_spec{1, {}}).ok);

    std::optional<relay_result> got;
    ask(link, request, 1, [&](const relay_result& r) { got = r; });
    QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 5000);
    QCOMPARE(got->result, result);
    QCOMPARE(runs_of(board.heard_codes), wire);
    QCOMPARE(QString::asprintf("%04X", board.line.boards.front().relays), relays);
    QCOMPARE(got->skipped, skipped);
    QCOMPARE(got->frames_sent, int(board.heard_codes.size()));
    QVERIFY(!both_in);
    // A pull-in after a release of its group waits the gap from the release's confirmation
    // (every frame here has its reply, so frames and reports pair up).
    const auto group_of = [&](int relay) {
        for (const auto& g : settings.interlocks[1])
            if (std::find(g.begin(), g.end(), relay) != g.end())
                return g;
        return std::vector<int>{};
    };
    for (int pull = 0; pull < int(port.written.size()); ++pull) {
        if (port.written[pull][2] != 0x12)
            continue;
        const auto group = group_of(port.written[pull][6]);
        for (int release = 0; release < pull; ++release) {
            const int relay = port.written[release][6];
            if (port.written[release][2] != 0x11 || relay == port.written[pull][6]
                || std::find(group.begin(), group.end(), relay) == group.end())
                continue;
            QVERIFY2(sent_at[pull] - reported_at[release] >= settings.interlock_gap_ms,
                     qPrintable(QStringLiteral("%1 ms").arg(sent_at[pull] - reported_at[release])));
        }
    }
}

void tst_board_link::interlock_holds_when_two_requests_race()
{
    sim_process sim;
    QVERIFY2(sim.start({"--board", "1,relays=0000"}), qPrintable(sim.error()));
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 30;
    board_link link(settings);
    QVERIFY(link.open(port_spec{0, sim.device()}).ok);
    link.set_polled({1});
    QTRY_VERIFY(link.available(1));
    // Set while running, as a reloaded configuration does.
    link_settings changed = settings;
    changed.interlocks[1] = {{1, 2}, {3, 4}};
    changed.interlock_gap_ms = 40;
    link.apply(changed);
    bool both_in = false;
    connect(&link, &board_link::board_reported, this, [&](int, const relay_states& now) {
        both_in = both_in || two_of_a_group(now, changed.interlocks[1]);
    });

    // Two clients pull in both relays of each group at once, over and over, in every way.
    QStringList outcomes;
    int ended = 0;
    const QStringList rounds{"on 1|on 2", "on 2|toggle 1", "pulse 1|on 2", "all on|on 4",
                             "on 3|on 4", "toggle 3|all on"};
    for (const QString& round : rounds) {
        for (const QString& request : round.split(QLatin1Char('|')))
            ask(link, request, 1, [&, request](const relay_result& r) {
                outcomes << request + ": " + outcome_name(r.result);
                ++ended;
            });
        QTRY_COMPARE_WITH_TIMEOUT(ended, 2 * int(rounds.indexOf(round) + 1), 5000);
    }
    QVERIFY(!both_in);
    for (const QString& o : outcomes)
        QVERIFY2(o.endsWith(QLatin1String("done")), qPrintable(outcomes.join(", ")));
    // The later of each pair holds: all on pulled in the lowest of each group, then 4 took over.
    QTRY_COMPARE(sim.relays(1), QStringLiteral("FFF5"));
}

void tst_board_link::two_of_a_group_reported_are_released_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("relays");  // as the sim ends

    QTest::newRow("both released") << "1,relays=0000" << "0000";
    QTest::newRow("a stuck relay stays in, the other is released") << "1,relays=0000,stuck=3"
                                                                   << "0004";
}

void tst_board_link::two_of_a_group_reported_are_released()
{
    QFETCH(QString, board);
    QFETCH(QString, relays);
    sim_process sim;
    QVERIFY2(sim.start({"--board", board}), qPrintable(sim.error()));
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 30;
    settings.interlocks[1] = {{2, 3}};
    board_link link(settings);
    QVERIFY(link.open(port_spec{0, sim.device()}).ok);
    link.set_polled({1});
    QTRY_VERIFY(link.available(1));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("board 1 reports relays 2 and 3 of one interlock group"));
    if (relays == QLatin1String("0004"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("board 1 relay 3: the interlock's release failed"));
    // Relay 2 pulled in by hand beside 3, and relay 8 outside the group.
    QCOMPARE(sim.command("set 1 relays 0086").value(0).left(20),
             QStringLiteral("board 1 relays 0086 "));
    QTRY_COMPARE_WITH_TIMEOUT(sim.relays(1), QString::asprintf("%04X", relays.toUInt(nullptr, 16) | 0x80), 5000);
    // Told once, not at every poll of the stuck relay.
    QTest::qWait(300);
    QCOMPARE(sim.relays(1), QString::asprintf("%04X", relays.toUInt(nullptr, 16) | 0x80));
    if (relays == QLatin1String("0004")) {
        // With 3 stuck in, 2 is never pulled in beside it.
        std::optional<relay_result> got;
        link.switch_relay(1, 2, true, [&](const relay_result& r) { got = r; });
        QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 5000);
        QCOMPARE(got->result, outcome::not_confirmed);
        QCOMPARE(sim.relays(1), QStringLiteral("0084"));
    }
}

void tst_board_link::board_brought_back_to_its_return_mode_data()
{
    QTest::addColumn<int>("mode");  // -1: none set (keep)
    QTest::addColumn<QString>("relays");

    // Before: 1 and 5 in, confirmed. While silent, by hand: 2 (of 1's group) and 9.
    QTest::newRow("unset is keep") << -1 << "0102";
    QTest::newRow("keep what it reports") << int(return_mode::keep) << "0102";
    QTest::newRow("restore the last confirmed, the group changed over")
        << int(return_mode::restore) << "0011";
    QTest::newRow("off") << int(return_mode::off) << "0000";
}

void tst_board_link::board_brought_back_to_its_return_mode()
{
    QFETCH(int, mode);
    QFETCH(QString, relays);
    sim_process sim;
    QVERIFY2(sim.start({"--board", "1,relays=0000"}), qPrintable(sim.error()));
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 30;
    settings.interlocks[1] = {{1, 2}};
    settings.interlock_gap_ms = 40;
    board_link link(settings);
    QVERIFY(link.open(port_spec{0, sim.device()}).ok);
    link.set_polled({1});
    QTRY_VERIFY(link.available(1));
    if (mode >= 0) {
        link_settings changed = settings;
        changed.on_return[1] = return_mode(mode);
        link.apply(changed);
    }
    int done = 0;
    link.switch_relay(1, 1, true, [&](const relay_result& r) { done += r.result == outcome::done; });
    link.switch_relay(1, 5, true, [&](const relay_result& r) { done += r.result == outcome::done; });
    QTRY_COMPARE(done, 2);
    QTRY_COMPARE(link.last_reported(1).has_value() ? hex4(link.last_reported(1)) : QString(),
                 QStringLiteral("0011"));
    bool both_in = false;
    connect(&link, &board_link::board_reported, this, [&](int, const relay_states& now) {
        both_in = both_in || (now[0] && now[1]);
    });

    QCOMPARE(sim.command("silence on"), QStringList{"silence on"});
    QTRY_VERIFY_WITH_TIMEOUT(!link.available(1), 5000);
    sim.command("set 1 relays 0102");
    QCOMPARE(sim.command("silence off"), QStringList{"silence off"});
    QTRY_VERIFY_WITH_TIMEOUT(link.available(1), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(sim.relays(1), relays, 5000);
    QTest::qWait(200);
    QCOMPARE(sim.relays(1), relays);
    QVERIFY(!both_in);
}

void tst_board_link::link_quality_under_faults_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("quality");  // percent, within a few points
    QTest::addColumn<bool>("spoilt");  // checksum errors are counted

    QTest::newRow("a clean line") << QStringList{} << 100 << false;
    QTest::newRow("a fifth of the replies lost") << QStringList{"--loss", "0.2"} << 80 << false;
    QTest::newRow("a fifth of the replies spoilt")
        << QStringList{"--bad-checksum", "0.2"} << 80 << true;
}

void tst_board_link::link_quality_under_faults()
{
    QFETCH(QStringList, faults);
    QFETCH(int, quality);
    QFETCH(bool, spoilt);
    sim_process sim;
    QVERIFY2(sim.start(QStringList{"--board", "1", "--seed", "7"} + faults), qPrintable(sim.error()));
    link_settings settings = quick_settings(2);
    settings.poll_interval_ms = 20;
    settings.unavailable_after = 1000;
    board_link link(settings);
    QVERIFY(link.open(port_spec{0, sim.device()}).ok);
    link.set_polled({1});
    QTRY_VERIFY_WITH_TIMEOUT(link.health(1).window_frames == health_window, 20000);
    const board_health h = link.health(1);
    QVERIFY2(std::abs(h.quality_percent - quality) <= 7,
             qPrintable(QStringLiteral("quality %1 %").arg(h.quality_percent)));
    // Every frame landed either accepted or timed out (one may be in flight).
    const quint64 landed = h.replies_accepted + h.timeouts;
    QVERIFY(landed == h.frames_sent || landed + 1 == h.frames_sent);
    QCOMPARE(h.checksum_errors > 0, spoilt);
    // A spoilt reply is no answer: its frame timed out too (or is still in flight).
    QVERIFY(h.checksum_errors <= h.timeouts + 1);
    QVERIFY(h.round_trip_p50_ms >= 0 && h.round_trip_p50_ms < settings.reply_window_ms);
}

QTEST_GUILESS_MAIN(tst_board_link)
#include "tst_board_link.moc"

// The service's local front as its clients meet it: real QLocalSocket
// clients, and clients in other processes and under other users, against
// the server on a temporary path; telvar-sim on a pseudo-terminal plays the
// boards, or the in-memory port where the line must go at an exact frame.
#include "local/json_forms.h"
#include "local/server.h"
#include "sim/installation.h"
#include "support/hex.h"
#include "support/local_client.h"
#include "support/memory_port.h"
#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace telvar;
using namespace telvar::test;

namespace {

// A client in a process of its own: sends one line (and with "shut", shuts
// its sending side after it), prints the first line it gets, or what its
// connect raised, then waits for the next line until the server closes or it
// is killed.
const char* const python_client = R"(
import socket, sys
s = socket.socket(socket.AF_UNIX)
try:
    s.connect(sys.argv[1])
except OSError as e:
    print(type(e).__name__, flush=True)
    sys.exit(1)
try:
    s.sendall(sys.argv[2].encode() + b"\n")
except BrokenPipeError:
    pass  # refused: the service answered and closed before the request was sent
if sys.argv[3:] == ["shut"]:
    s.shutdown(socket.SHUT_WR)
f = s.makefile()
print(f.readline().strip(), flush=True)
f.readline()
)";

// A client as a plain socket, for what QLocalSocket does not do: never
// read, or shut its sending side.
int raw_client(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// Reads @p fd until the server closes it, the event loop running; false when it stays open.
bool read_to_end(int fd, QByteArray& got, int timeout_ms = 20000)
{
    return QTest::qWaitFor(
        [&] {
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                got.append(buffer, qsizetype(n));
            return n == 0;
        },
        timeout_ms);
}

QString python()
{
    // The system's own, which another user can run too.
    return QFileInfo::exists(QStringLiteral("/usr/bin/python3"))
               ? QStringLiteral("/usr/bin/python3")
               : QStandardPaths::findExecutable(QStringLiteral("python3"));
}

QString compact(const QJsonValue& v)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

// The service's part around one line: the dispatcher, the server on a temporary path.
struct front_rig {
    sim_process sim;
    std::unique_ptr<link::board_link> line;
    QTemporaryDir dir;
    std::unique_ptr<local::dispatcher> lines;
    std::unique_ptr<local::server> front;
    QStringList log;
    QString error;

    bool start_sim(const QStringList& sim_arguments, const QList<int>& boards,
                   local::server_settings settings = {})
    {
        if (!sim.start(sim_arguments)) {
            error = sim.error();
            return false;
        }
        line = std::make_unique<link::board_link>();
        return serve({{QStringLiteral("main"), line.get(), {0, sim.device()}, {}}}, boards,
                     std::move(settings));
    }

    bool serve(QList<local::served_line> served, const QList<int>& boards,
               local::server_settings settings = {})
    {
        for (local::served_line& l : served) {
            for (int a : boards)
                l.boards.insert(a, a == 1 ? QStringLiteral("Pump house") : QString());
            if (l.link == line.get() && !line->open(l.port).ok) {
                error = QStringLiteral("the link did not open ") + l.port.path;
                return false;
            }
        }
        lines = std::make_unique<local::dispatcher>(served);
        if (line)
            line->set_polled(boards);
        if (settings.path.isEmpty())
            settings.path = dir.filePath(QStringLiteral("telvard.sock"));
        front = std::make_unique<local::server>(settings, *lines);
        QObject::connect(front.get(), &local::server::logged,
                         [this](QtMsgType, const QString& text) { log << text; });
        if (!front->start())
            error = front->error();
        return error.isEmpty();
    }

    QString path() const { return front->path(); }
    bool logged(const QString& fragment) const { return log.join('\n').contains(fragment); }
};

// Frames the link sent: to @p address, from index @p from on.
int frames_to(const QSignalSpy& sent, int address, int from = 0)
{
    int n = 0;
    for (int i = from; i < sent.size(); ++i)
        n += sent[i][0].value<frame>()[1] == address ? 1 : 0;
    return n;
}

// A check of a response: "path=JSON", "path=#HEX4" (relays), "path~" (absent).
// A path is keys and indexes joined by '/'; "next/…" is the message after the
// response, "found" the scan's finds before it.
QString mismatch(local_client& c, const QJsonObject& r, const QStringList& checks)
{
    for (const QString& check : checks) {
        const bool absent = check.endsWith('~');
        const QString path = absent ? check.chopped(1) : check.section('=', 0, 0);
        const QString want = check.section('=', 1);
        QJsonValue v = r;
        QStringList keys = path.split('/');
        if (keys.first() == QLatin1String("next")) {
            keys.removeFirst();
            const int after = int(c.got.indexOf(r)) + 1;
            c.wait([&] { return c.got.size() > after; }, 5000);
            v = c.got.value(after);
        }
        if (path == QLatin1String("found")) {
            QJsonArray found;
            for (const QJsonObject& o : c.got)
                if (o.value("id") == r.value("id") && o.contains("found"))
                    found.append(o.value("found"));
            v = found;
            keys.clear();
        }
        for (const QString& key : keys) {
            bool index = false;
            const int n = key.toInt(&index);
            v = index ? v.toArray().at(n) : v.toObject().value(key);
        }
        const QString got = want.startsWith('#') ? '#' + hex4(v) : compact(v);
        if (absent ? !v.isUndefined() : got != want)
            return QStringLiteral("%1: got %2").arg(check, v.isUndefined() ? "nothing" : got);
    }
    return {};
}

} // namespace

class tst_local_front : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void request_kinds_data();
    void request_kinds();
    void refused_requests_data();
    void refused_requests();
    void result_round_trip_data();
    void result_round_trip();
    void malformed_results_are_refused_data();
    void malformed_results_are_refused();
    void health_round_trip_data();
    void health_round_trip();
    void three_clients_switch_and_follow();
    void killed_client_ends_its_requests();
    void slow_reader_is_cut_off();
    void client_that_shut_its_side_is_answered_data();
    void client_that_shut_its_side_is_answered();
    void lines_by_name_and_a_lost_line();
    void peers_data();
    void peers();
    void socket_path_data();
    void socket_path();

private:
    front_rig& shared();
    std::unique_ptr<front_rig> shared_;
};

void tst_local_front::initTestCase()
{
    QVERIFY2(!sim_process::executable().isEmpty(), "TELVAR_SIM is not set");
    QVERIFY2(!python().isEmpty(), "python3 is missing: bash scripts/install-deps.sh");
}

// Board 1 (relays 1, 3, 6, 8 in at every row's start) and board 2, which
// ignores switches, polled on one line.
front_rig& tst_local_front::shared()
{
    if (!shared_) {
        shared_ = std::make_unique<front_rig>();
        if (!shared_->start_sim({"--board", "1,relays=00A5", "--board", "2,ignore-switch"}, {1, 2}))
            qWarning("shared rig: %s", qPrintable(shared_->error));
    }
    return *shared_;
}

void tst_local_front::request_kinds_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("checks");
    QTest::addColumn<QString>("board_1_after");  // the simulator's relays, where the request changes them

    QTest::newRow("lines: the line, its boards and names, the link's timing")
        << QByteArray(R"({"request":"lines"})") << ""
        << QStringList{"lines/0/line=\"main\"", "lines/0/open=true",
                       "lines/0/boards/0/name=\"Pump house\"", "lines/0/boards/0/available=true",
                       "lines/0/boards/0/relays=#00A5", "lines/0/boards/1/address=2",
                       "lines/0/boards/1/name=null", "lines/0/retries=2",
                       "lines/0/reply_window_ms=200", "lines/0/boards/0/quality=100", "lines/1~"}
        << "";
    QTest::newRow("status: the relays board 1 reports, in one frame")
        << QByteArray(R"({"request":"status","address":1})") << ""
        << QStringList{"relays=#00A5", "outcome=\"done\"", "frames_sent=1", "address=1",
                       "line=\"main\""}
        << "00A5";
    QTest::newRow("switch one relay on")
        << QByteArray(R"({"request":"switch","address":1,"relay":2,"state":"on"})") << ""
        << QStringList{"relays=#00A7", "relay=2", "not_tried~"} << "00A7";
    QTest::newRow("switch two relays off, one after the other")
        << QByteArray(R"({"request":"switch","relays":[1,3],"state":"off"})") << ""
        << QStringList{"relays=#00A0", "relay=3"} << "00A0";
    QTest::newRow("switch all on")
        << QByteArray(R"({"request":"switch","all":true,"state":"on"})") << ""
        << QStringList{"relays=#FFFF", "relay~"} << "FFFF";
    QTest::newRow("toggle from the state the board reported")
        << QByteArray(R"({"request":"switch","relay":1,"state":"toggle"})") << ""
        << QStringList{"relays=#00A4"} << "00A4";
    QTest::newRow("pulse: answered once pulled in, with its length")
        << QByteArray(R"({"request":"pulse","address":1,"relay":2,"ms":100})") << ""
        << QStringList{"relays=#00A7", "pulse_ms=100", "outcome=\"done\"", "relay=2"} << "00A7";
    QTest::newRow("pulse with wait: answered once released")
        << QByteArray(R"({"request":"pulse","relay":4,"ms":300,"wait":true})") << ""
        << QStringList{"relays=#00A5", "pulse_ms=300", "outcome=\"done\""} << "00A5";
    QTest::newRow("stats: board 1's health since the line opened, no frame for it")
        << QByteArray(R"({"request":"stats","address":1})") << ""
        << QStringList{"address=1", "health/checksum_errors=0", "health/stray_bytes=0",
                       "health/quality=100", "frames_sent~", "relays~"}
        << "";
    QTest::newRow("stats of a board never asked: nothing counted")
        << QByteArray(R"({"request":"stats","address":200})") << ""
        << QStringList{"health/frames_sent=0", "health/last_reply=null", "health/quality=null",
                       "health/round_trip_ms=null"}
        << "";
    QTest::newRow("get the host module's channel")
        << QByteArray(R"({"request":"get","parameter":"host-channel"})") << ""
        << QStringList{"parameter=\"host-channel\"", "value=1", "frames_sent=1"} << "";
    QTest::newRow("set the host module's channel it has already")
        << QByteArray(R"({"request":"set","parameter":"host-channel","value":1})") << ""
        << QStringList{"outcome=\"done\"", "value=1"} << "";
    QTest::newRow("get board 1's slave id")
        << QByteArray(R"({"request":"get","parameter":"slave-id","address":1})") << ""
        << QStringList{"parameter=\"slave-id\"", "value=1", "address=1"} << "";
    QTest::newRow("pair board 1: the id both modules share")
        << QByteArray(R"({"request":"pair","address":1})") << ""
        << QStringList{"parameter=\"pairing\"", "value=1"} << "";
    QTest::newRow("scan: each find at once, then all of them")
        << QByteArray(R"({"request":"scan","from":0,"to":3})") << ""
        << QStringList{"addresses=[1,2]", "found=[1,2]"} << "";
    QTest::newRow("subscribe: answered, then the state of each board asked for")
        << QByteArray(R"({"request":"subscribe","addresses":[1]})") << ""
        << QStringList{"next/event=\"state\"", "next/address=1", "next/line=\"main\"",
                       "next/relays=#00A5"}
        << "";
    QTest::newRow("status of an absent board: no reply to three frames")
        << QByteArray(R"({"request":"status","address":9})") << "no_reply"
        << QStringList{"outcome=\"no_reply\"", "frames_sent=3", "relays~", "address=9"} << "";
    QTest::newRow("a board that ignores switches: not confirmed, with what it reports")
        << QByteArray(R"({"request":"switch","address":2,"relay":4,"state":"on"})")
        << "not_confirmed"
        << QStringList{"outcome=\"not_confirmed\"", "relays=#0000", "frames_sent=6"} << "00A5";
    QTest::newRow("several relays stop at the first one not confirmed")
        << QByteArray(R"({"request":"switch","address":2,"relays":[4,5,6],"state":"on"})")
        << "not_confirmed" << QStringList{"relay=4", "not_tried=[5,6]"} << "";
    QTest::newRow("scan where nobody answers")
        << QByteArray(R"({"request":"scan","from":5,"to":5})") << "no_reply"
        << QStringList{"addresses=[]"} << "";
}

void tst_local_front::request_kinds()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, error);
    QFETCH(QStringList, checks);
    QFETCH(QString, board_1_after);
    front_rig& rig = shared();
    QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
    rig.sim.command("set 1 relays 00A5");
    local_client c;
    QVERIFY(c.connect_to(rig.path()));
    // The link learns the state the row starts from.
    QCOMPARE(c.ask(R"({"request":"status"})").value("ok"), true);

    c.send(request, QStringLiteral("row"));
    const QJsonObject r = c.response(QStringLiteral("row"), 30000);
    QVERIFY2(!r.isEmpty(), "no response");
    QCOMPARE(r.value("ok").toBool(), error.isEmpty());
    QCOMPARE(r.value("error").toString(), error);
    QCOMPARE(r.value("message").toString().isEmpty(), error.isEmpty());
    const QString wrong = mismatch(c, r, checks);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong + " in " + compact(r)));
    if (!board_1_after.isEmpty())
        QCOMPARE(rig.sim.relays(1), board_1_after);
}

void tst_local_front::refused_requests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("id");       // as JSON
    QTest::addColumn<QString>("message");  // a part of it; empty: the request is served

    const auto padded = [](QByteArray json, int size) { return json + QByteArray(size - json.size(), ' '); };
    QTest::newRow("not JSON") << QByteArray("relay 5 on") << "null" << "not JSON";
    QTest::newRow("not UTF-8") << QByteArray("{\"id\":\"\xff\xfe\"}") << "null" << "not JSON";
    QTest::newRow("an array") << QByteArray("[1,2]") << "null" << "a request is a JSON object";
    QTest::newRow("nested ten thousand deep")
        << QByteArray(10000, '[') + QByteArray(10000, ']') << "null" << "not JSON";
    QTest::newRow("no request") << QByteArray(R"({"id":7})") << "7" << "no \"request\"";
    QTest::newRow("unknown request")
        << QByteArray(R"({"id":"x","request":"reboot"})") << "\"x\"" << "unknown request \"reboot\"";
    QTest::newRow("misspelt field")
        << QByteArray(R"({"id":[1],"request":"status","adress":2})") << "[1]"
        << "unknown field \"adress\" in a status request";
    QTest::newRow("address beyond 255")
        << QByteArray(R"({"id":1,"request":"status","address":256})") << "1"
        << "\"address\" must be a whole number from 0 to 255, not 256";
    QTest::newRow("address not whole")
        << QByteArray(R"({"id":1,"request":"status","address":1.5})") << "1" << "not 1.5";
    QTest::newRow("address as text")
        << QByteArray(R"({"id":1,"request":"status","address":"1"})") << "1" << "not \"1\"";
    QTest::newRow("relay 0")
        << QByteArray(R"({"id":1,"request":"switch","relay":0,"state":"on"})") << "1"
        << "\"relay\" must be a whole number from 1 to 16";
    QTest::newRow("relay 17 in a list")
        << QByteArray(R"({"id":1,"request":"switch","relays":[3,17],"state":"on"})") << "1"
        << "from 1 to 16, not 17";
    QTest::newRow("switch without a state")
        << QByteArray(R"({"id":1,"request":"switch","relay":1})") << "1" << "needs \"state\"";
    QTest::newRow("switch to a state that is none")
        << QByteArray(R"({"id":1,"request":"switch","relay":1,"state":"half"})") << "1"
        << "not \"half\"";
    QTest::newRow("switch of no relay")
        << QByteArray(R"({"id":1,"request":"switch","state":"on"})") << "1"
        << "needs \"relay\", \"relays\" or \"all\"";
    QTest::newRow("relay and all at once")
        << QByteArray(R"({"id":1,"request":"switch","relay":1,"all":true,"state":"on"})") << "1"
        << "only one of";
    QTest::newRow("toggle of all relays")
        << QByteArray(R"({"id":1,"request":"switch","all":true,"state":"toggle"})") << "1"
        << "toggle takes one relay";
    QTest::newRow("channel beyond 255")
        << QByteArray(R"({"id":1,"request":"set","parameter":"slave-channel","value":256})")
        << "1" << "from 0 to 255, not 256";
    QTest::newRow("set without a value")
        << QByteArray(R"({"id":1,"request":"set","parameter":"host-id"})") << "1"
        << "set needs \"value\": an id from 0 to 2147483647";
    QTest::newRow("pairing is a request, not a parameter")
        << QByteArray(R"({"id":1,"request":"get","parameter":"pairing"})") << "1"
        << "\"parameter\" must be";
    QTest::newRow("pulse without its length")
        << QByteArray(R"({"id":1,"request":"pulse","relay":1})") << "1" << "a pulse needs \"ms\"";
    QTest::newRow("pulse shorter than 100 ms")
        << QByteArray(R"({"id":1,"request":"pulse","relay":1,"ms":50})") << "1"
        << "\"ms\" must be a whole number from 100 to 86400000, not 50";
    QTest::newRow("pulse of no relay")
        << QByteArray(R"({"id":1,"request":"pulse","ms":500})") << "1" << "a pulse needs \"relay\"";
    QTest::newRow("pulse of relay 17")
        << QByteArray(R"({"id":1,"request":"pulse","relay":17,"ms":500})") << "1"
        << "\"relay\" must be a whole number from 1 to 16, not 17";
    QTest::newRow("wait that is no boolean")
        << QByteArray(R"({"id":1,"request":"pulse","relay":1,"ms":500,"wait":"yes"})") << "1"
        << "\"wait\" must be true or false";
    QTest::newRow("stats of a relay")
        << QByteArray(R"({"id":1,"request":"stats","relay":1})") << "1"
        << "unknown field \"relay\" in a stats request";
    QTest::newRow("scan backwards")
        << QByteArray(R"({"id":1,"request":"scan","from":9,"to":3})") << "1"
        << "\"from\" (9) must not be above \"to\" (3)";
    QTest::newRow("a line the service does not hold")
        << QByteArray(R"({"id":1,"request":"status","line":"attic"})") << "1"
        << "no line named \"attic\"; the service holds main";
    QTest::newRow("over 64 KiB, the rest of the line skipped")
        << QByteArray(100 * 1024, 'x') << "null" << "longer than 65536 bytes";
    QTest::newRow("valid JSON one byte over 64 KiB")
        << padded(R"({"id":"edge","request":"lines"})", 65537) << "null" << "longer than 65536";
    QTest::newRow("exactly 64 KiB is served")
        << padded(R"({"id":"edge","request":"lines"})", 65536) << "\"edge\"" << "";
}

void tst_local_front::refused_requests()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, id);
    QFETCH(QString, message);
    front_rig& rig = shared();
    QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
    local_client c;
    QVERIFY(c.connect_to(rig.path()));
    c.send(line);
    c.send(R"({"request":"lines"})", QStringLiteral("after"));
    QVERIFY(c.wait([&] { return c.got.size() >= 2; }));
    const QJsonObject r = c.got.first();
    QCOMPARE(compact(r.value("id")), id);
    QCOMPARE(r.value("ok").toBool(), message.isEmpty());
    if (!message.isEmpty()) {
        QCOMPARE(r.value("error").toString(), QStringLiteral("usage"));
        QVERIFY2(r.value("message").toString().contains(message), qPrintable(compact(r)));
    }
    // The connection goes on with the next line.
    QCOMPARE(c.got[1].value("id").toString(), QStringLiteral("after"));
    QCOMPARE(c.got[1].value("ok"), true);
    QCOMPARE(c.got.size(), 2);
}

void tst_local_front::result_round_trip_data()
{
    QTest::addColumn<int>("parameter");  // -1: a relay result
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("relays");  // empty: nothing reported
    QTest::addColumn<qint64>("value");    // -1: no value
    QTest::addColumn<QString>("code");
    using link::outcome;
    using link::parameter;
    const auto o = [](outcome x) { return int(x); };
    const auto p = [](parameter x) { return int(x); };
    QTest::newRow("done with the board's report")
        << -1 << o(outcome::done) << 1 << 1 << "A5A5" << -1ll << "done";
    QTest::newRow("not confirmed, all relays in")
        << -1 << o(outcome::not_confirmed) << 255 << 6 << "FFFF" << -1ll << "not_confirmed";
    QTest::newRow("no reply, nothing reported")
        << -1 << o(outcome::no_reply) << 0 << 3 << "" << -1ll << "no_reply";
    QTest::newRow("the line closed: port_lost") << -1 << o(outcome::port_closed) << 7 << 0 << ""
                                                << -1ll << "port_lost";
    QTest::newRow("sent, then the line was lost")
        << -1 << o(outcome::line_lost) << 7 << 1 << "" << -1ll << "line_lost";
    QTest::newRow("board offline") << -1 << o(outcome::offline) << 3 << 0 << "0001" << -1ll
                                   << "offline";
    QTest::newRow("queue full") << -1 << o(outcome::queue_full) << 3 << 0 << "" << -1ll
                                << "queue_full";
    QTest::newRow("superseded") << -1 << o(outcome::superseded) << 3 << 0 << "" << -1ll
                                << "superseded";
    QTest::newRow("the largest id read back") << p(parameter::host_id) << o(outcome::done) << 0
                                              << 1 << "" << 4294967295ll << "done";
    QTest::newRow("a channel written, another one answered")
        << p(parameter::slave_channel) << o(outcome::not_confirmed) << 12 << 3 << "" << 7ll
        << "not_confirmed";
    QTest::newRow("pairing without a reply")
        << p(parameter::pairing) << o(outcome::no_reply) << 4 << 3 << "" << -1ll << "no_reply";
}

void tst_local_front::result_round_trip()
{
    QFETCH(int, parameter);
    QFETCH(int, outcome);
    QFETCH(int, address);
    QFETCH(int, frames);
    QFETCH(QString, relays);
    QFETCH(qint64, value);
    QFETCH(QString, code);
    const auto through_the_wire = [](const QJsonObject& o) {
        return QJsonDocument::fromJson(local::wire_line(o)).object();
    };
    QCOMPARE(local::error_code(link::outcome(outcome)), code);
    if (parameter < 0) {
        link::relay_result in;
        in.result = link::outcome(outcome);
        in.address = address;
        in.frames_sent = frames;
        if (!relays.isEmpty()) {
            const unsigned bits = relays.toUInt(nullptr, 16);
            in.reported.emplace();
            for (int i = 0; i < relay_count; ++i)
                (*in.reported)[std::size_t(i)] = (bits >> i) & 1u;
        }
        const auto out = local::relay_result_from_json(through_the_wire(local::to_json(in)));
        QVERIFY(out);
        QCOMPARE(int(out->result), outcome);
        QCOMPARE(out->address, address);
        QCOMPARE(out->frames_sent, frames);
        QCOMPARE(out->reported, in.reported);
        return;
    }
    link::parameter_result in;
    in.result = link::outcome(outcome);
    in.what = link::parameter(parameter);
    in.address = address;
    in.frames_sent = frames;
    if (value >= 0)
        in.value = std::uint32_t(value);
    const auto out = local::parameter_result_from_json(through_the_wire(local::to_json(in)));
    QVERIFY(out);
    QCOMPARE(int(out->result), outcome);
    QCOMPARE(int(out->what), parameter);
    QCOMPARE(out->address, address);
    QCOMPARE(out->frames_sent, frames);
    QCOMPARE(out->value, in.value);
}

void tst_local_front::malformed_results_are_refused_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("relay");  // read as a relay result, else as a parameter result
    const QByteArray ok = R"("outcome":"done","address":1,"frames_sent":1)";
    QTest::newRow("an outcome the link has not")
        << QByteArray(R"({"outcome":"maybe","address":1,"frames_sent":1})") << true;
    QTest::newRow("no address") << QByteArray(R"({"outcome":"done","frames_sent":1})") << true;
    QTest::newRow("address 256")
        << QByteArray(R"({"outcome":"done","address":256,"frames_sent":1})") << true;
    QTest::newRow("frames below zero")
        << QByteArray(R"({"outcome":"done","address":1,"frames_sent":-1})") << true;
    QTest::newRow("fifteen relays")
        << "{" + ok + R"(,"relays":[true,true,true,true,true,true,true,true,true,true,true,true,true,true,true]})"
        << true;
    QTest::newRow("a relay that is a number")
        << "{" + ok + R"(,"relays":[1,true,true,true,true,true,true,true,true,true,true,true,true,true,true,true]})"
        << true;
    QTest::newRow("a parameter that is none")
        << "{" + ok + R"(,"parameter":"volume","value":1})" << false;
    QTest::newRow("a value beyond 32 bits")
        << "{" + ok + R"(,"parameter":"host-id","value":4294967296})" << false;
}

void tst_local_front::malformed_results_are_refused()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, relay);
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    QVERIFY(!o.isEmpty());
    if (relay)
        QVERIFY(!local::relay_result_from_json(o));
    else
        QVERIFY(!local::parameter_result_from_json(o));
}

void tst_local_front::health_round_trip_data()
{
    QTest::addColumn<QList<qint64>>("counts");  // frames, accepted, sums, stray, timeouts, retries
    QTest::addColumn<qint64>("last_reply_ms");  // -1: never
    QTest::addColumn<int>("round_trip_ms");     // -1: none
    QTest::addColumn<int>("quality");           // -1: none
    QTest::addColumn<QByteArray>("spoilt");     // the same JSON with this field changed is refused

    QTest::newRow("a board never asked: nulls")
        << QList<qint64>{0, 0, 0, 0, 0, 0} << qint64(-1) << -1 << -1
        << QByteArray(R"("quality":101)");
    QTest::newRow("a busy board, the last reply to the millisecond")
        << QList<qint64>{123456789, 123400000, 17, 300, 56789, 1234} << qint64(1797000000123)
        << 12 << 96 << QByteArray(R"("last_reply":"yesterday")");
    QTest::newRow("counts never below zero")
        << QList<qint64>{5, 5, 0, 0, 0, 0} << qint64(1797000000000) << 0 << 100
        << QByteArray(R"("timeouts":-1)");
}

void tst_local_front::health_round_trip()
{
    QFETCH(QList<qint64>, counts);
    QFETCH(qint64, last_reply_ms);
    QFETCH(int, round_trip_ms);
    QFETCH(int, quality);
    QFETCH(QByteArray, spoilt);
    link::board_health in;
    in.frames_sent = quint64(counts[0]);
    in.replies_accepted = quint64(counts[1]);
    in.checksum_errors = quint64(counts[2]);
    in.stray_bytes = quint64(counts[3]);
    in.timeouts = quint64(counts[4]);
    in.retries = quint64(counts[5]);
    in.last_reply_ms = last_reply_ms;
    in.round_trip_p50_ms = round_trip_ms;
    in.quality_percent = quality;
    const QByteArray wire = local::wire_line({{"health", local::to_json(in)}});
    const QJsonObject back = QJsonDocument::fromJson(wire).object();
    const auto out = local::health_from_json(back.value("health"));
    QVERIFY(out);
    QCOMPARE(out->frames_sent, in.frames_sent);
    QCOMPARE(out->replies_accepted, in.replies_accepted);
    QCOMPARE(out->checksum_errors, in.checksum_errors);
    QCOMPARE(out->stray_bytes, in.stray_bytes);
    QCOMPARE(out->timeouts, in.timeouts);
    QCOMPARE(out->retries, in.retries);
    QCOMPARE(out->last_reply_ms, in.last_reply_ms);
    QCOMPARE(out->round_trip_p50_ms, in.round_trip_p50_ms);
    QCOMPARE(out->quality_percent, in.quality_percent);
    // An answer with one field out of its range is no health.
    QJsonObject bad = back.value("health").toObject();
    const QJsonObject change = QJsonDocument::fromJson("{" + spoilt + "}").object();
    bad.insert(change.begin().key(), change.begin().value());
    QVERIFY(!local::health_from_json(bad));
}

void tst_local_front::three_clients_switch_and_follow()
{
    front_rig rig;
    QVERIFY2(rig.start_sim({"--board", "1,relays=0000"}, {1}), qPrintable(rig.error));
    std::array<local_client, 3> clients;
    for (local_client& c : clients) {
        QVERIFY(c.connect_to(rig.path()));
        QCOMPARE(c.ask(R"({"request":"subscribe"})").value("ok"), true);
        QVERIFY(c.wait([&] { return !c.events("state").isEmpty(); }));
    }
    // Each pulls in four relays of its own and releases them again, the three at once.
    for (int step = 0; step < 8; ++step) {
        const QString id = QStringLiteral("s%1").arg(step);
        for (int i = 0; i < 3; ++i)
            clients[std::size_t(i)].send(
                QStringLiteral(R"({"request":"switch","relay":%1,"state":"%2"})")
                    .arg(i * 4 + step % 4 + 1)
                    .arg(step < 4 ? "on" : "off")
                    .toUtf8(),
                id);
        for (local_client& c : clients)
            QCOMPARE(c.response(id).value("ok"), true);
    }
    for (local_client& c : clients) {
        QCOMPARE(c.ask(R"({"request":"lines"})").value("ok"), true);
        QVERIFY(c.wait([&] { return c.events("change").size() >= 24; }));
    }
    const QList<QJsonObject> changes = clients[0].events("change");
    QCOMPARE(changes.size(), 24);
    QCOMPARE(clients[1].events("change"), changes);
    QCOMPARE(clients[2].events("change"), changes);
    // One relay a change, each of the twelve twice, from all off back to all off.
    unsigned relays = 0;
    QMap<int, int> times;
    for (const QJsonObject& e : changes) {
        const QJsonArray changed = e.value("changed").toArray();
        QCOMPARE(changed.size(), 1);
        relays ^= 1u << (changed[0].toInt() - 1);
        QCOMPARE(hex4(e.value("relays")), QString::asprintf("%04X", relays));
        ++times[changed[0].toInt()];
    }
    QCOMPARE(relays, 0u);
    QCOMPARE(times.keys(), (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    QCOMPARE(times.values(), QList<int>(12, 2));
    QCOMPARE(rig.sim.relays(1), QStringLiteral("0000"));
}

void tst_local_front::killed_client_ends_its_requests()
{
    front_rig rig;
    QVERIFY2(rig.start_sim({}, {1}), qPrintable(rig.error));
    QSignalSpy sent(rig.line.get(), &link::board_link::frame_sent);
    QProcess client;
    client.start(python(), {"-I", "-c", python_client, rig.path(),
                            R"({"id":1,"request":"scan","from":0,"to":255})"});
    QTRY_VERIFY_WITH_TIMEOUT(frames_to(sent, 3) > 0, 20000);
    client.kill();
    QVERIFY(client.waitForFinished(5000));

    QTRY_COMPARE_WITH_TIMEOUT(rig.front->client_count(), 0, 10000);
    // The request at the line when the client went ends unseen; the scan goes no further.
    QTRY_COMPARE_WITH_TIMEOUT(rig.lines->dropped_answers(), quint64(1), 10000);
    const int since = int(sent.size());
    QTRY_VERIFY_WITH_TIMEOUT(frames_to(sent, 1, since) >= 10, 10000);
    QCOMPARE(frames_to(sent, 1, since), int(sent.size()) - since);
    QCOMPARE(rig.lines->subscriber_count(), 0);
    local_client next;
    QVERIFY(next.connect_to(rig.path()));
    QCOMPARE(hex4(next.ask(R"({"request":"status"})").value("relays")), QStringLiteral("00A5"));
}

void tst_local_front::slow_reader_is_cut_off()
{
    front_rig rig;
    QVERIFY2(rig.start_sim({"--board", "1,relays=0000"}, {1}), qPrintable(rig.error));
    // A subscriber that never reads.
    const int slow = raw_client(rig.path());
    QVERIFY(slow >= 0);
    const QByteArray subscribe = "{\"request\":\"subscribe\"}\n";
    QCOMPARE(::write(slow, subscribe.constData(), std::size_t(subscribe.size())), subscribe.size());
    local_client fast;
    QVERIFY(fast.connect_to(rig.path()));
    QCOMPARE(fast.ask(R"({"request":"subscribe"})").value("ok"), true);
    QVERIFY(fast.wait([&] { return !fast.events("state").isEmpty(); }));

    int toggles = 0;
    const QDeadlineTimer deadline(180000);
    while (!rig.logged("cut off") && !deadline.hasExpired()) {
        for (int k = 0; k < 8; ++k)
            fast.send(R"({"request":"switch","relay":1,"state":"toggle"})",
                      QStringLiteral("t%1").arg(toggles + k));
        for (int k = 0; k < 8; ++k)
            QCOMPARE(fast.response(QStringLiteral("t%1").arg(toggles + k)).value("ok"), true);
        toggles += 8;
    }
    QVERIFY2(rig.logged("client 1 (uid 0"), qPrintable(rig.log.join('\n')));
    QCOMPARE(rig.front->client_count(), 1);
    // The other subscriber saw every toggle once and in order, and the polls go on.
    QSignalSpy sent(rig.line.get(), &link::board_link::frame_sent);
    QTRY_VERIFY_WITH_TIMEOUT(frames_to(sent, 1) >= 5, 10000);
    QCOMPARE(fast.ask(R"({"request":"switch","relay":1,"state":"toggle"})").value("ok"), true);
    ++toggles;
    QVERIFY(fast.wait([&] { return fast.events("change").size() >= toggles; }));
    const QList<QJsonObject> changes = fast.events("change");
    QCOMPARE(changes.size(), toggles);
    for (int i = 0; i < toggles; ++i)
        QCOMPARE(changes[i].value("relays").toArray().at(0).toBool(), i % 2 == 0);
    // What was sent before the cut can still be read, then the connection ends.
    QByteArray unread;
    QVERIFY(read_to_end(slow, unread));
    ::close(slow);
}

void tst_local_front::client_that_shut_its_side_is_answered_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("answers");  // the ids of the responses, in order
    QTest::newRow("one status") << QByteArray("{\"id\":1,\"request\":\"status\"}\n")
                                << QStringList{"1"};
    QTest::newRow("three requests, the last without its newline")
        << QByteArray("{\"id\":1,\"request\":\"lines\"}\n{\"id\":2,\"request\":\"switch\","
                      "\"relays\":[2,4],\"state\":\"on\"}\n{\"id\":3,\"request\":\"status\"}")
        << QStringList{"1", "2", "3"};
    QTest::newRow("a refused line and an over-long last one")
        << QByteArray("{\"id\":1,\"request\":\"nap\"}\n") + QByteArray(70000, 'x')
        << QStringList{"1", "null"};
}

void tst_local_front::client_that_shut_its_side_is_answered()
{
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, answers);
    front_rig& rig = shared();
    QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
    const int fd = raw_client(rig.path());
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, sent.constData(), std::size_t(sent.size())), sent.size());
    QCOMPARE(::shutdown(fd, SHUT_WR), 0);
    QByteArray got;
    QVERIFY2(read_to_end(fd, got), got.constData());
    ::close(fd);
    QStringList ids;
    for (const QByteArray& line : got.split('\n'))
        if (!line.isEmpty())
            ids << compact(QJsonDocument::fromJson(line).object().value("id"));
    QCOMPARE(ids, answers);
}

void tst_local_front::lines_by_name_and_a_lost_line()
{
    link::link_settings quick;
    quick.poll_interval_ms = 50;
    quick.reopen_first_ms = 50;
    auto owned = std::make_unique<memory_port>();
    memory_port& port = *owned;
    front_rig rig;
    rig.line = std::make_unique<link::board_link>(std::move(owned), quick);
    link::board_link spare(std::make_unique<memory_port>(), quick);  // never opened
    // The far side answers as boards do while it is told to.
    sim::installation far;
    far.boards.push_back({});
    bool answering = true;
    QObject::connect(rig.line.get(), &link::board_link::frame_sent, &port, [&](const frame& f) {
        const auto reply = far.answer(f);
        if (!answering || !reply)
            return;
        const QByteArray bytes(reinterpret_cast<const char*>(reply->data()), frame_length);
        QTimer::singleShot(1, &port, [&port, bytes] { port.feed(bytes); });
    });
    // The link holds on to a device that exists; the in-memory port stands in for it.
    const QString main_device = QFileInfo(rig.dir.filePath(QStringLiteral("mem0"))).absoluteFilePath();
    const QString spare_device = rig.dir.filePath(QStringLiteral("mem1"));
    for (const QString& node : {main_device, spare_device}) {
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY2(rig.serve({{"main", rig.line.get(), {0, main_device}, {}},
                        {"spare", &spare, {0, spare_device}, {}}},
                       {1}),
             qPrintable(rig.error));
    local_client c;
    QVERIFY(c.connect_to(rig.path()));
    const QJsonObject which = c.ask(R"({"request":"status"})");
    QCOMPARE(which.value("error").toString(), QStringLiteral("usage"));
    QVERIFY(which.value("message").toString().contains("holds lines main, spare: say which"));
    const QJsonObject closed = c.ask(R"({"request":"status","line":"spare"})");
    QCOMPARE(closed.value("error").toString(), QStringLiteral("port_lost"));
    QVERIFY(closed.value("message").toString().startsWith(QStringLiteral("line spare (%1) is not open").arg(spare_device)));
    QCOMPARE(c.ask(R"({"request":"subscribe","line":"main"})").value("ok"), true);
    QVERIFY(c.wait([&] { return !c.events("state").isEmpty(); }));

    // Lost with a request for board 7 in flight, then back.
    answering = false;
    QSignalSpy sent(rig.line.get(), &link::board_link::frame_sent);
    c.send(R"({"request":"status","line":"main","address":7})", QStringLiteral("lost"));
    QVERIFY(c.wait([&] { return frames_to(sent, 7) > 0; }));
    port.vanish(QStringLiteral("adapter pulled"));
    const QJsonObject lost = c.response(QStringLiteral("lost"));
    QVERIFY2(QStringList({"port_lost", "line_lost"}).contains(lost.value("error").toString()),
             qPrintable(compact(lost)));
    answering = true;
    QVERIFY(c.wait([&] { return c.events("state").size() >= 2; }));
    QStringList kinds;
    for (const QJsonObject& e : c.events()) {
        kinds << e.value("event").toString();
        QVERIFY2(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)$)")
                     .match(e.value("time").toString())
                     .hasMatch(),
                 qPrintable(compact(e)));
        QCOMPARE(e.value("line").toString(), QStringLiteral("main"));
    }
    const QString seen = kinds.join(' ');
    QVERIFY2(QRegularExpression("^(available )?state( unavailable)? line_lost( unavailable)? line_back available state$")
                 .match(seen)
                 .hasMatch(),
             qPrintable(seen));
    QCOMPARE(c.events("line_lost").value(0).value("reason").toString(), QStringLiteral("adapter pulled"));
    QCOMPARE(c.events("line_back").value(0).value("device").toString(),
             QFileInfo(main_device).canonicalFilePath());
}

void tst_local_front::peers_data()
{
    QTest::addColumn<QStringList>("identity");  // setpriv's options
    QTest::addColumn<bool>("opened");           // the socket file opened to everyone first
    QTest::addColumn<QString>("answer");
    const QStringList outside{"--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    QTest::newRow("outside the group: the socket file's mode refuses")
        << outside << false << "PermissionError";
    QTest::newRow("outside the group, the file opened to all: its credentials are refused")
        << outside << true << R"("error":"no_permission")";
    QTest::newRow("in the group by a supplementary group: served")
        << QStringList{"--reuid=nobody", "--regid=nogroup", "--groups=dialout"} << false
        << R"("ok":true)";
    QTest::newRow("in the group as its own group: served")
        << QStringList{"--reuid=nobody", "--regid=dialout", "--clear-groups"} << false
        << R"("ok":true)";
}

void tst_local_front::peers()
{
    if (::geteuid() != 0)
        QSKIP("runs clients as nobody, which needs root");
    QFETCH(QStringList, identity);
    QFETCH(bool, opened);
    QFETCH(QString, answer);
    front_rig rig;
    QVERIFY(QFile::setPermissions(rig.dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                      | QFileDevice::ExeOther));
    QVERIFY2(rig.serve({}, {}), qPrintable(rig.error));
    if (opened)
        QCOMPARE(::chmod(QFile::encodeName(rig.path()).constData(), 0666), 0);
    QProcess client;
    client.setWorkingDirectory(QStringLiteral("/"));
    client.start(QStringLiteral("setpriv"),
                 identity + QStringList{python(), "-I", "-c", python_client, rig.path(),
                                        R"({"id":1,"request":"lines"})", "shut"});
    // Answered, or refused, then closed by the server.
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 20000);
    const QString out = QString::fromUtf8(client.readLine());
    QVERIFY2(out.contains(answer), qPrintable(out + client.readAllStandardError()));
    QCOMPARE(rig.logged("refused uid 65534 (nobody)"), answer.contains("no_permission"));
}

void tst_local_front::socket_path_data()
{
    QTest::addColumn<QString>("before");  // what is at the path before the server starts
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("group");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<QString>("said");  // in the log when it starts, in the error when not

    QTest::newRow("its missing folder is made")
        << "" << "run/telvard.sock" << "dialout" << true << "serving local clients at";
    QTest::newRow("a folder two levels down is not")
        << "" << "run/telvar/telvard.sock" << "dialout" << false << "run does not exist";
    QTest::newRow("a socket left by a dead server is replaced")
        << "stale" << "telvard.sock" << "dialout" << true << "left by a server that is gone";
    QTest::newRow("a live server is left serving")
        << "live" << "telvard.sock" << "dialout" << false << "another server answers at";
    QTest::newRow("a file that is not a socket is left alone")
        << "file" << "telvard.sock" << "dialout" << false << "exists and is not a socket";
    QTest::newRow("a group the system does not have")
        << "" << "telvard.sock" << "telvar-no-such-group" << false << "does not exist on this";
}

void tst_local_front::socket_path()
{
    QFETCH(QString, before);
    QFETCH(QString, where);
    QFETCH(QString, group);
    QFETCH(bool, starts);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString path = dir.filePath(where);
    local::dispatcher none({});
    local::server_settings settings;
    settings.path = path;
    local::server first(settings, none);
    if (before == QLatin1String("live"))
        QVERIFY(first.start());
    if (before == QLatin1String("stale")) {
        // Bound and never unlinked, as a killed server leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    if (before == QLatin1String("file")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep");
    }
    settings.group = group;
    local::server s(settings, none);
    QStringList log;
    connect(&s, &local::server::logged, [&](QtMsgType, const QString& text) { log << text; });
    QCOMPARE(s.start(), starts);
    const QString told = starts ? log.join('\n') : s.error();
    QVERIFY2(told.contains(said), qPrintable(told));
    if (starts) {
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0660));
        QCOMPARE(QFileInfo(path).group(), QStringLiteral("dialout"));
    }
    if (before == QLatin1String("file")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep"));
        return;
    }
    // Whichever server holds the path answers there.
    local_client c;
    if (starts || before == QLatin1String("live")) {
        QVERIFY(c.connect_to(path));
        QCOMPARE(c.ask(R"({"request":"lines"})").value("ok"), true);
    }
}

QTEST_GUILESS_MAIN(tst_local_front)
#include "tst_local_front.moc"

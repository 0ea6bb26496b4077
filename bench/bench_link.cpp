// The link's poll rhythm under load, for bench/bench_link.py: polls 8 boards
// on the line at DEVICE and times every poll frame, first with nothing else
// to do, then while rounds of 100 commands go through the queue (60 waiting
// at a time) to boards 1 to 7, then while commands go to board 8, which
// ignores switch frames, so that each is resent and asked after three times.
// Each phase lasts SECONDS. Prints one JSON object: per phase, the time
// between two polls of the same board, and how the commands ended.
#include "link/board_link.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTimer>

#include <cstdio>
#include <functional>

using namespace telvar;

namespace {

constexpr int boards = 8;
constexpr int ignoring = 8;  // the board that ignores switch frames

struct phase {
    QString name;
    QJsonArray periods_ms;
    QMap<QString, int> outcomes;
    int issued = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: telvar_bench_link DEVICE SECONDS\n");
        return 2;
    }
    const QString device = QString::fromLocal8Bit(argv[1]);
    const int seconds = QByteArray(argv[2]).toInt();

    link::link_settings settings;
    link::board_link line(settings);
    const open_result opened = line.open(link::port_spec{0, device});
    if (!opened.ok) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(link::open_failure_text(link::port_spec{0, device}, opened)));
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    QList<phase> phases;
    for (const char* name : {"warm-up", "idle", "commands", "retried"}) {
        phases.append(phase{});
        phases.last().name = QLatin1String(name);
    }
    int current = 0;
    int waiting = 0;  // issued and not ended
    bool feeding = false;
    QMap<int, QPair<qint64, int>> last_poll;  // board: time (ns) and phase of its last poll

    QObject::connect(&line, &link::board_link::frame_sent, &app,
                     [&](const frame& bytes, bool poll) {
                         if (!poll)
                             return;
                         const qint64 now = clock.nsecsElapsed();
                         const auto before = last_poll.constFind(bytes[1]);
                         if (before != last_poll.constEnd() && before->second == current)
                             phases[current].periods_ms.append(double(now - before->first) / 1e6);
                         last_poll[bytes[1]] = {now, current};
                     });

    // Command k of a phase: distinct relays in turn, so that no two wait for
    // the same relay and none replaces another.
    std::function<void()> start_round;
    std::function<void()> issue = [&] {
        phase& p = phases[current];
        const int k = p.issued++;
        const bool retried = p.name == QLatin1String("retried");
        const int address = retried ? ignoring : 1 + k % (boards - 1);
        const int relay = 1 + (retried ? k : k / (boards - 1)) % relay_count;
        const bool on = (k / (retried ? relay_count : (boards - 1) * relay_count)) % 2 == 0;
        ++waiting;
        const int mine = current;
        line.switch_relay(address, relay, on, [&, mine](const link::relay_result& r) {
            --waiting;
            ++phases[mine].outcomes[link::outcome_name(r.result)];
            if (!feeding || mine != current)
                return;
            if (phases[mine].name == QLatin1String("retried") || phases[mine].issued % 100 != 0)
                issue();
            else if (waiting == 0)
                start_round();
        });
    };
    // A round: 100 commands, 60 of them at once and the rest as room frees
    // up; for the board that ignores switches, one command a relay, 15 waiting.
    start_round = [&] {
        const bool retried = phases[current].name == QLatin1String("retried");
        for (int n = 0; n < (retried ? relay_count - 1 : 60); ++n)
            issue();
    };
    const auto start_feeding = [&] {
        feeding = true;
        start_round();
    };

    std::function<void()> next_phase = [&] {
        feeding = false;
        if (waiting > 0) {
            // Drained in the phase it belongs to.
            QTimer::singleShot(50, &app, next_phase);
            return;
        }
        if (++current == phases.size()) {
            QJsonObject out{{QStringLiteral("boards"), boards},
                            {QStringLiteral("interval_ms"), settings.poll_interval_ms},
                            {QStringLiteral("reply_window_ms"), settings.reply_window_ms}};
            QJsonObject all;
            for (const phase& p : phases) {
                QJsonObject ended;
                for (auto it = p.outcomes.begin(); it != p.outcomes.end(); ++it)
                    ended.insert(it.key(), it.value());
                all.insert(p.name, QJsonObject{{QStringLiteral("periods_ms"), p.periods_ms},
                                               {QStringLiteral("commands"), p.issued},
                                               {QStringLiteral("outcomes"), ended}});
            }
            out.insert(QStringLiteral("phases"), all);
            std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
            QCoreApplication::quit();
            return;
        }
        if (current >= 2)
            start_feeding();
        QTimer::singleShot(seconds * 1000, &app, next_phase);
    };

    QList<int> polled;
    for (int a = 1; a <= boards; ++a)
        polled << a;
    line.set_polled(polled);
    // Two whole rounds of polls before anything is counted.
    QTimer::singleShot(2 * boards * settings.poll_interval_ms + 500, &app, next_phase);
    return app.exec();
}

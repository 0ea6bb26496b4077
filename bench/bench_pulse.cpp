// Pulses and interlocks on the link, for bench/bench_pulse.py: on the line at
// DEVICE, board 1 polled every 200 ms, relays 1 and 2 interlocked with the
// default gap. First PULSES pulses of relay 3, each of MS, one after the
// other: when the board confirmed the release, against the deadline (the
// confirmed pull-in plus MS). Then as many change-overs between relays 1 and
// 2 (command to the new relay confirmed), each beside a plain on of relay 5
// (after its off). Prints one JSON object with every figure.
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
#include <memory>

using namespace telvar;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: telvar_bench_pulse DEVICE PULSES MS\n");
        return 2;
    }
    const QString device = QString::fromLocal8Bit(argv[1]);
    const int rounds = QByteArray(argv[2]).toInt();
    const qint64 length = QByteArray(argv[3]).toLongLong();

    link::link_settings settings;
    settings.interlocks[1] = {{1, 2}};
    link::board_link line(settings);
    const open_result opened = line.open(link::port_spec{0, device});
    if (!opened.ok) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(link::open_failure_text(link::port_spec{0, device}, opened)));
        return 1;
    }
    line.set_polled({1});

    QElapsedTimer clock;
    clock.start();
    QJsonArray late_ms;
    QJsonArray changeover_ms;
    QJsonArray plain_ms;
    QMap<QString, int> failures;
    const auto failed = [&](const char* what, const link::relay_result& r) {
        if (r.result == link::outcome::done)
            return false;
        ++failures[QStringLiteral("%1 %2").arg(QLatin1String(what), link::outcome_name(r.result))];
        return true;
    };

    auto next = std::make_shared<std::function<void(int)>>();
    // Steps 0..rounds-1: pulses; then pairs of (change-over, plain on).
    *next = [&, next](int step) {
        if (step < rounds) {
            auto pulled_at = std::make_shared<qint64>(-1);
            line.pulse(
                1, 3, length,
                [&, pulled_at](const link::relay_result& r) {
                    if (!failed("pull-in", r))
                        *pulled_at = clock.nsecsElapsed();
                },
                [&, next, step, pulled_at](const link::relay_result& r) {
                    if (!failed("release", r) && *pulled_at >= 0)
                        late_ms.append(double(clock.nsecsElapsed() - *pulled_at) / 1e6
                                       - double(length));
                    // A pause, so that pulses start at every point of the poll rhythm.
                    QTimer::singleShot(37 + step % 5 * 29, [next, step] { (*next)(step + 1); });
                });
            return;
        }
        const int round = step - rounds;
        if (round >= rounds) {
            QJsonObject out{{QStringLiteral("pulses"), rounds},
                            {QStringLiteral("pulse_ms"), length},
                            {QStringLiteral("interval_ms"), settings.poll_interval_ms},
                            {QStringLiteral("gap_ms"), settings.interlock_gap_ms},
                            {QStringLiteral("late_ms"), late_ms},
                            {QStringLiteral("changeover_ms"), changeover_ms},
                            {QStringLiteral("plain_on_ms"), plain_ms}};
            QJsonObject f;
            for (auto it = failures.begin(); it != failures.end(); ++it)
                f.insert(it.key(), it.value());
            out.insert(QStringLiteral("failures"), f);
            std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
            QCoreApplication::quit();
            return;
        }
        // Relay 1 and 2 take turns: each pull-in first releases the other.
        const qint64 asked = clock.nsecsElapsed();
        line.switch_relay(1, 1 + round % 2, true, [&, next, step, asked](const link::relay_result& r) {
            if (!failed("change-over", r))
                changeover_ms.append(double(clock.nsecsElapsed() - asked) / 1e6);
            line.switch_relay(1, 5, false, [&, next, step](const link::relay_result& off) {
                failed("plain off", off);
                const qint64 on_asked = clock.nsecsElapsed();
                line.switch_relay(1, 5, true, [&, next, step, on_asked](const link::relay_result& on) {
                    if (!failed("plain on", on))
                        plain_ms.append(double(clock.nsecsElapsed() - on_asked) / 1e6);
                    QTimer::singleShot(37 + step % 5 * 29, [next, step] { (*next)(step + 1); });
                });
            });
        });
    };
    // The first poll answered: the board is known before the first pulse.
    QObject::connect(&line, &link::board_link::availability_changed, &app,
                     [next](int, bool available) {
                         static bool started = false;
                         if (available && !started) {
                             started = true;
                             (*next)(0);
                         }
                     });
    QTimer::singleShot(10000 + rounds * (2 * length + 3000), &app, [] {
        std::fprintf(stderr, "telvar_bench_pulse: did not finish in time\n");
        QCoreApplication::exit(1);
    });
    return app.exec();
}

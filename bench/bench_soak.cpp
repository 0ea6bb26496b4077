// An hour of polling in fast motion: the main window on the real platform
// plugin, an in-memory port, and N poll ticks driven by hand, each answered
// like a board would, with relays switching, operator clicks and spells of
// silence that trip the watchdog. Prints resident memory before and after
// as one JSON line, so a leak shows as growth.
#include "relay/main_form.h"
#include "support/memory_port.h"
#include "variant/build_variant.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

long rss_kb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& row : status.readAll().split('\n')) {
        if (row.startsWith("VmRSS:"))
            return row.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QByteArray status_reply(std::uint16_t relays)
{
    QByteArray reply(8, '\0');
    reply[0] = char(0x22);
    reply[1] = char(0x01);
    reply[2] = char(0x10);
    reply[5] = char(relays >> 8);
    reply[6] = char(relays & 0xFF);
    int sum = 0;
    for (int k = 0; k < 7; ++k)
        sum += static_cast<std::uint8_t>(reply[k]);
    reply[7] = char(sum & 0xFF);
    return reply;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int ticks = argc > 1 ? QByteArray(argv[1]).toInt() : 18000;

    telvar::test::memory_port* port = nullptr;
    telvar::main_form form(telvar::variant_v20(), [&port] {
        auto made = std::make_unique<telvar::test::memory_port>();
        port = made.get();
        return made;
    });
    form.show();
    form.open_comm_Click();
    if (!port || !port->is_open()) {
        std::fprintf(stderr, "the in-memory port did not open\n");
        return 1;
    }
    // We are the clock now.
    form.Timer1->stop();

    auto run_ticks = [&](int count, std::uint16_t& relays) {
        for (int t = 0; t < count; ++t) {
            form.Timer1_Timer();
            if (t % 600 < 592) {  // now and then eight silent ticks: the watchdog paints yellow
                if (t % 50 == 0)
                    relays ^= static_cast<std::uint16_t>(1u << (t / 50 % 16));
                port->feed(status_reply(relays));
            }
            if (t % 97 == 0)
                form.Picture1_Click(1 + t % 16);
            // The double keeps what was written; an hour of it is ours, not Telvar's.
            port->written.clear();
            QApplication::processEvents();
        }
    };

    std::uint16_t relays = 0x00FF;
    // Warm up so that first-use allocations (fonts, glyph caches) are not counted.
    run_ticks(600, relays);
    const long before = rss_kb();
    QElapsedTimer clock;
    clock.start();
    run_ticks(ticks, relays);
    const double seconds = clock.elapsed() / 1000.0;
    const long after = rss_kb();

    std::printf("{\"ticks\": %d, \"rss_start_kb\": %ld, \"rss_end_kb\": %ld, \"seconds\": %.2f}\n",
                ticks, before, after, seconds);
    return 0;
}

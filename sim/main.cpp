// telvar-sim: a simulated relay installation on the far side of a serial line.
#include "sim/host_system.h"
#include "sim/simulator.h"
#include "telvar_version.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const telvar::sim::parse_outcome parsed =
        telvar::sim::parse_options(QCoreApplication::arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "telvar-sim: %s\n", parsed.error.toLocal8Bit().constData());
        return 2;
    }
    if (parsed.help) {
        std::fputs(parsed.help_text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::fputs("telvar-sim " TELVAR_VERSION "\n", stdout);
        return 0;
    }
    telvar::sim::quit_on_signals(&app);
    telvar::sim::simulator sim(parsed.options);
    if (!sim.start())
        return sim.exit_code();
    const int code = QCoreApplication::exec();
    return code != 0 ? code : sim.exit_code();
}

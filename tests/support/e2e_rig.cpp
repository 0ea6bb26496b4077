#include "support/e2e_rig.h"

#include "relay/form_style.h"
#include "serial/qt_serial_port.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace telvar::test
{

namespace
{
int next_port = 11;
} // namespace

bool e2e_rig::use_private_port_folder()
{
    // A folder of our own: no link left by an earlier run can claim a number.
    static QTemporaryDir folder;
    if (!folder.isValid())
        return false;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
    if (sim_process::executable().isEmpty()) {
        const QString beside =
            QCoreApplication::applicationDirPath() + QStringLiteral("/../sim/telvar-sim");
        if (QFileInfo::exists(beside))
            qputenv("TELVAR_SIM", QFile::encodeName(beside));
    }
    return !sim_process::executable().isEmpty();
}

bool e2e_rig::start_sim(const QStringList& sim_arguments)
{
    port = next_port++;
    if (!sim.start(QStringList{QStringLiteral("--com"), QString::number(port)} + sim_arguments)) {
        error = sim.error();
        return false;
    }
    return true;
}

QString e2e_rig::stable_name()
{
    static int next_name = 1;
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/by-id");
    QDir().mkpath(folder);
    return QStringLiteral("%1/usb-telvar-sim-%2").arg(folder).arg(next_name++);
}

QString e2e_rig::port_entry(int number)
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/telvar/ports/com%1").arg(number);
}

bool e2e_rig::open_window(bool v11)
{
    install_font_substitutes();
    window = std::make_unique<main_form>(v11 ? variant_v11() : variant_v20(),
                                         [] { return std::make_unique<qt_serial_port>(); });
    window->show();
    window->VScroll2->set_number(port);
    QTest::mouseClick(window->open_comm, Qt::LeftButton);
    if (!window->port().is_open()) {
        error = QStringLiteral("port %1 did not open").arg(port);
        return false;
    }
    return true;
}

QString looks(const main_form& form)
{
    QString s;
    for (int i = 1; i <= relay_count; ++i)
        s += QStringLiteral("GRY-").at(int(form.look(i)));
    return s;
}

QString looks_of(const QString& hex4)
{
    const unsigned relays = hex4.toUInt(nullptr, 16);
    QString s;
    for (int i = 0; i < relay_count; ++i)
        s += (relays >> i) & 1u ? QLatin1Char('G') : QLatin1Char('R');
    return s;
}

} // namespace telvar::test

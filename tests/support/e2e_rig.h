// One end-to-end set-up: telvar-sim linked to a port number in a private port
// folder, and a real main window of either build with a real serial port.
#pragma once

#include "relay/main_form.h"
#include "support/sim_process.h"
#include "variant/build_variant.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace telvar::test
{

class e2e_rig
{
public:
    /** Points the port folder at a fresh temporary folder for this process. */
    static bool use_private_port_folder();

    /** Starts the simulator on a new port number with @p sim_arguments. */
    bool start_sim(const QStringList& sim_arguments);

    /**
     * A fresh path for the simulator's --name, in a folder of the private
     * port folder's: an adapter's stable name, as under /dev/serial/by-id/.
     */
    static QString stable_name();

    /** The port folder's entry for port @p number. */
    static QString port_entry(int number);

    /** Makes the window of build @p v11 and opens its port on the simulator's number. */
    bool open_window(bool v11);

    sim_process sim;
    std::unique_ptr<main_form> window;
    int port = 0;
    QString error;
};

/** One letter a relay: G pulled in, R released, Y unknown, - port closed. */
QString looks(const main_form& form);

/** The looks a board with relays @p hex4 shows. */
QString looks_of(const QString& hex4);

} // namespace telvar::test

// The simulator's command line and its control commands, read into plain
// values so that a bad option is refused with a message before anything runs.
#pragma once

#include "sim/faults.h"
#include "sim/installation.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace telvar::sim
{

struct sim_options {
    QString device; // attach here instead of making a pseudo-terminal
    int com = 0;    // link com<N> in the port folder; 0 for none
    QString name;   // a stable name linked to the device while the line is there
    bool log = false;
    bool control = false;
    installation far_side;
    fault_options faults;
    std::optional<std::uint32_t> seed;
};

struct parse_outcome {
    sim_options options;
    bool help = false;
    bool version = false;
    QString help_text;
    QString error; // names the option; empty when all is well
};

/** Reads the command line (@p arguments[0] is the program). */
parse_outcome parse_options(const QStringList& arguments);

/**
 * Reads a board SPEC, ADDR[,relays=HEX4][,id=N][,channel=N], into @p out;
 * id and channel left out stay as @p out has them.
 * @return an empty string, or what is wrong.
 */
QString parse_board(const QString& spec, board& out);

/**
 * Sets fault @p name (an option name without dashes: loss, bad-checksum,
 * stray, delay, split, split-gap, echo, pace) to @p value.
 * @return an empty string, or what is wrong.
 */
QString set_fault(fault_options& faults, const QString& name, const QString& value);

// What a control line asks of the running program beyond the installation.
enum class control_action { none, silence_on, silence_off, vanish, reappear, quit };

struct control_outcome {
    control_action action = control_action::none;
    QStringList lines; // the answer, one line each
};

/**
 * Carries out one control line on @p far_side and @p faults. The program
 * itself carries out the action and answers vanish, reappear and quit.
 */
control_outcome run_control(const QString& line, installation& far_side, fault_options& faults);

/** One line per board, then the host module: the answer to `state`. */
QStringList state_lines(const installation& far_side);

} // namespace telvar::sim

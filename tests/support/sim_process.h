// telvar-sim as a child process for end-to-end tests: started on a
// pseudo-terminal, optionally linked to a port number, and steered through
// its control commands. Waiting is on real I/O with the event loop running,
// so windows under test keep polling meanwhile.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace telvar::test
{

class sim_process
{
public:
    sim_process() = default;
    ~sim_process();
    sim_process(const sim_process&) = delete;
    sim_process& operator=(const sim_process&) = delete;

    /** The simulator to run: $TELVAR_SIM, or empty when it is not built. */
    static QString executable();

    /**
     * Starts the simulator with --control and @p arguments and waits for its
     * device line. @return false with error() saying why.
     */
    bool start(const QStringList& arguments);

    /** The pseudo-terminal's device, as the simulator printed it. */
    QString device() const { return device_; }

    /**
     * Sends one control command and waits for @p lines answer lines.
     * @return the lines, or fewer when the simulator did not answer in time.
     */
    QStringList command(const QString& line, int lines = 1);

    /** The relays of board @p address as 4 hex digits, or empty. */
    QString relays(int address);

    /** The whole state: one line per board, then the host module's line. */
    QStringList state();

    /** Frame lines the simulator logged so far (with --log). */
    QStringList log() const { return log_; }

    /** Waits for the simulator to end; @return its exit code, or -1. */
    int wait_for_exit(int timeout_ms = 5000);

    QString error() const { return error_; }
    QString standard_error();
    QProcess& process() { return process_; }

private:
    bool wait_for_lines(int count, int timeout_ms);
    void take_output();

    QProcess process_;
    QByteArray pending_;
    QStringList answers_;
    QStringList log_;
    QString device_;
    QString error_;
};

} // namespace telvar::test

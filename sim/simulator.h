// The running simulator: reads request frames from its line, lets the
// simulated installation answer them, and sends the answers back through the
// faults asked for, on a schedule kept against a monotonic clock.
#pragma once

#include "sim/frame_reader.h"
#include "sim/host_system.h"
#include "sim/line_schedule.h"
#include "sim/sim_line.h"
#include "sim/sim_options.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

namespace telvar::sim
{

class simulator : public QObject
{
    Q_OBJECT
public:
    explicit simulator(sim_options options, QObject* parent = nullptr);
    ~simulator() override;

    /**
     * Makes the line, links the com entry and prints the device path.
     * @return false, with the reason on standard error, when it cannot.
     */
    bool start();

    int exit_code() const { return exit_code_; }

private:
    bool open_line(QString& error);
    bool make_name(QString& error);
    void remove_name();
    void on_bytes(const QByteArray& bytes);
    void answer(const frame& request);
    void queue(const std::vector<std::uint8_t>& bytes, std::int64_t not_before_ns);
    void pump();
    void arm_pump();
    void vanish();
    void on_control(const QString& line);
    void on_line_failed(const QString& reason);
    void log(const char* direction, const std::uint8_t* bytes, std::size_t size);
    std::int64_t now_ns() const { return clock_.nsecsElapsed(); }

    sim_options options_;
    installation& far_side_;
    fault_options& faults_;
    frame_reader reader_;
    fault_dice dice_;
    line_schedule schedule_;
    QElapsedTimer clock_;
    QTimer pump_timer_;
    std::unique_ptr<sim_line> line_;
    com_link link_;
    QString named_target_;  // what the stable name links to while it is ours
    bool silent_ = false;
    int exit_code_ = 0;
};

/** Prints one line on standard output at once. */
void print_line(const QString& line);

} // namespace telvar::sim

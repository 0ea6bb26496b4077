#include "sim/simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <random>

namespace telvar::sim
{

void print_line(const QString& line)
{
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
}

namespace
{
void print_error(const QString& line)
{
    const QByteArray text = "telvar-sim: " + line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
}

std::uint32_t seed_of(const sim_options& options)
{
    if (options.seed)
        return *options.seed;
    return std::random_device{}();
}
} // namespace

simulator::simulator(sim_options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), far_side_(options_.far_side),
      faults_(options_.faults), dice_(seed_of(options_)), schedule_(options_.faults.pace)
{
    clock_.start();
    pump_timer_.setSingleShot(true);
    pump_timer_.setTimerType(Qt::PreciseTimer);
    connect(&pump_timer_, &QTimer::timeout, this, &simulator::pump);
}

simulator::~simulator()
{
    link_.remove();
    remove_name();
}

bool simulator::make_name(QString& error)
{
    const QString& name = options_.name;
    const QFileInfo entry(name);
    // A link left behind by a simulator that was killed goes; anything else stays.
    if (entry.isSymLink() && !entry.exists()) {
        QFile::remove(name);
    } else if (entry.exists() || entry.isSymLink()) {
        error = QStringLiteral("%1 already exists; choose another --name").arg(name);
        return false;
    }
    if (!QFile::link(line_->device(), name)) {
        error = QStringLiteral("cannot link %1 to %2").arg(name, line_->device());
        return false;
    }
    named_target_ = line_->device();
    return true;
}

void simulator::remove_name()
{
    if (named_target_.isEmpty())
        return;
    if (QFileInfo(options_.name).symLinkTarget() == named_target_)
        QFile::remove(options_.name);
    named_target_.clear();
}

bool simulator::open_line(QString& error)
{
    line_ = options_.device.isEmpty() ? make_pty_line() : make_device_line(options_.device);
    connect(line_.get(), &sim_line::received, this, &simulator::on_bytes);
    connect(line_.get(), &sim_line::failed, this, &simulator::on_line_failed);
    if (!line_->open(error))
        return false;
    if (!options_.name.isEmpty() && !make_name(error)) {
        line_->vanish();
        return false;
    }
    // With a stable name the port-folder entry points at it, as an operator sets it up.
    const QString target = options_.name.isEmpty() ? line_->device() : options_.name;
    if (options_.com > 0 && !link_.make(options_.com, target, error)) {
        remove_name();
        line_->vanish();
        return false;
    }
    reader_.clear();
    return true;
}

bool simulator::start()
{
    QString error;
    if (!open_line(error)) {
        print_error(error);
        exit_code_ = 1;
        return false;
    }
    print_line(line_->device());
    if (options_.com > 0)
        print_error(QStringLiteral("port %1 is %2").arg(options_.com).arg(line_->device()));
    if (faults_.vanish_after_ms >= 0)
        QTimer::singleShot(faults_.vanish_after_ms, this, [this] {
            vanish();
            print_error(QStringLiteral("the line vanished"));
        });
    if (options_.control)
        read_input_lines(
            this, [this](const QString& line) { on_control(line); },
            [] { QCoreApplication::quit(); });
    return true;
}

void simulator::on_bytes(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
    // An echoing line hands every byte straight back, whoever listens.
    if (faults_.echo) {
        std::vector<std::uint8_t> echo(data, data + size);
        log("sim>pc", echo.data(), echo.size());
        queue(echo, now_ns());
    }
    const read_result result = reader_.feed(data, size);
    if (!result.skipped.empty())
        log("pc>sim", result.skipped.data(), result.skipped.size());
    for (const frame& request : result.frames) {
        log("pc>sim", request.data(), request.size());
        if (!silent_)
            answer(request);
    }
}

void simulator::answer(const frame& request)
{
    const auto reply = far_side_.answer(request);
    if (!reply)
        return;
    const reply_plan plan = dice_.plan(*reply, faults_);
    if (plan.lost) {
        log("lost", plan.reply.data(), plan.reply.size());
        return;
    }
    const std::int64_t start = now_ns() + std::int64_t{faults_.delay_ms} * 1'000'000;
    if (!plan.stray.empty()) {
        log("sim>pc", plan.stray.data(), plan.stray.size());
        queue(plan.stray, start);
    }
    log("sim>pc", plan.reply.data(), plan.reply.size());
    const std::vector<std::uint8_t> bytes(plan.reply.begin(), plan.reply.end());
    const auto pieces = split_into(bytes, faults_.split);
    for (std::size_t k = 0; k < pieces.size(); ++k)
        queue(pieces[k], start + static_cast<std::int64_t>(k) * faults_.split_gap_ms * 1'000'000);
}

void simulator::queue(const std::vector<std::uint8_t>& bytes, std::int64_t not_before_ns)
{
    schedule_.set_paced(faults_.pace);
    schedule_.enqueue(bytes, not_before_ns);
    pump();
}

void simulator::pump()
{
    const std::vector<std::uint8_t> due = schedule_.take_due(now_ns());
    if (!due.empty() && line_)
        line_->write(
            QByteArray(reinterpret_cast<const char*>(due.data()), static_cast<int>(due.size())));
    arm_pump();
}

void simulator::arm_pump()
{
    const auto next = schedule_.next_due();
    if (!next) {
        pump_timer_.stop();
        return;
    }
    // Round up: waking early only costs one more turn, the schedule itself keeps the rate.
    const std::int64_t wait_ns = *next - now_ns();
    const int wait_ms = wait_ns <= 0 ? 0 : static_cast<int>((wait_ns + 999'999) / 1'000'000);
    pump_timer_.start(wait_ms);
}

void simulator::vanish()
{
    schedule_.clear();
    pump_timer_.stop();
    reader_.clear();
    link_.remove();
    remove_name();
    if (line_)
        line_->vanish();
}

void simulator::on_line_failed(const QString& reason)
{
    print_error(QStringLiteral("the line was lost: %1").arg(reason));
    exit_code_ = 1;
    QCoreApplication::quit();
}

void simulator::on_control(const QString& line)
{
    if (line.isEmpty())
        return;
    const control_outcome outcome = run_control(line, far_side_, faults_);
    for (const QString& answer : outcome.lines)
        print_line(answer);
    switch (outcome.action) {
    case control_action::none:
        break;
    case control_action::silence_on:
        silent_ = true;
        break;
    case control_action::silence_off:
        silent_ = false;
        break;
    case control_action::vanish:
        vanish();
        print_line(QStringLiteral("vanished"));
        break;
    case control_action::reappear: {
        QString error;
        vanish();
        if (open_line(error))
            print_line(line_->device());
        else
            print_line(QStringLiteral("error ") + error);
        break;
    }
    case control_action::quit:
        print_line(QStringLiteral("bye"));
        QCoreApplication::quit();
        break;
    }
}

void simulator::log(const char* direction, const std::uint8_t* bytes, std::size_t size)
{
    if (!options_.log)
        return;
    QString line = QString::asprintf("%.6f %s", static_cast<double>(now_ns()) / 1e9, direction);
    for (std::size_t i = 0; i < size; ++i)
        line += QString::asprintf(" %02X", bytes[i]);
    print_line(line);
}

} // namespace telvar::sim

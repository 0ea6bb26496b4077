#include "support/sim_process.h"

#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

namespace telvar::test
{

sim_process::~sim_process()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    // Closing its input ends the simulator cleanly, so its com link goes too.
    process_.closeWriteChannel();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

QString sim_process::executable()
{
    return qEnvironmentVariable("TELVAR_SIM");
}

bool sim_process::start(const QStringList& arguments)
{
    const QString program = executable();
    if (program.isEmpty()) {
        error_ = QStringLiteral("TELVAR_SIM is not set");
        return false;
    }
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, &process_,
                     [this] { take_output(); });
    process_.start(program, QStringList{QStringLiteral("--control")} + arguments);
    if (!process_.waitForStarted(5000)) {
        error_ = process_.errorString();
        return false;
    }
    if (!wait_for_lines(1, 5000)) {
        error_ = QStringLiteral("no device line; stderr: %1").arg(standard_error());
        return false;
    }
    device_ = answers_.takeFirst();
    return true;
}

void sim_process::take_output()
{
    static const QRegularExpression frame_line(
        QStringLiteral("^[0-9]+\\.[0-9]{6} (pc>sim|sim>pc|lost)( [0-9A-F]{2})+$"));
    pending_ += process_.readAllStandardOutput();
    int newline;
    while ((newline = pending_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending_.left(newline)).trimmed();
        pending_.remove(0, newline + 1);
        if (frame_line.match(line).hasMatch())
            log_ << line;
        else
            answers_ << line;
    }
}

bool sim_process::wait_for_lines(int count, int timeout_ms)
{
    if (answers_.size() >= count)
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = QObject::connect(&process_, &QProcess::readyReadStandardOutput, &loop, [&] {
        if (answers_.size() >= count)
            loop.quit();
    });
    const auto ended =
        QObject::connect(&process_, &QProcess::finished, &loop, [&] { loop.quit(); });
    timeout.start(timeout_ms);
    loop.exec();
    QObject::disconnect(check);
    QObject::disconnect(ended);
    take_output();
    return answers_.size() >= count;
}

QStringList sim_process::command(const QString& line, int lines)
{
    answers_.clear();
    process_.write(line.toUtf8() + '\n');
    process_.waitForBytesWritten(1000);
    wait_for_lines(lines, 5000);
    const QStringList out = answers_.mid(0, lines);
    answers_ = answers_.mid(lines);
    return out;
}

QStringList sim_process::state()
{
    // One line per board, closed by the host module's line.
    answers_.clear();
    process_.write("state\n");
    process_.waitForBytesWritten(1000);
    QStringList lines;
    for (int n = 1; n < 300; ++n) {
        if (!wait_for_lines(n, 5000))
            break;
        if (answers_.value(n - 1).startsWith(QLatin1String("host "))) {
            lines = answers_.mid(0, n);
            answers_ = answers_.mid(n);
            break;
        }
    }
    return lines;
}

QString sim_process::relays(int address)
{
    const QString prefix = QStringLiteral("board %1 relays ").arg(address);
    for (const QString& line : state())
        if (line.startsWith(prefix))
            return line.mid(prefix.size(), 4);
    return {};
}

int sim_process::wait_for_exit(int timeout_ms)
{
    if (process_.state() != QProcess::NotRunning) {
        QEventLoop loop;
        QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
        QObject::connect(&process_, &QProcess::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (process_.state() != QProcess::NotRunning || process_.exitStatus() != QProcess::NormalExit)
        return -1;
    return process_.exitCode();
}

QString sim_process::standard_error()
{
    return QString::fromLocal8Bit(process_.readAllStandardError());
}

} // namespace telvar::test

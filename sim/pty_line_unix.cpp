#include "serial/pty_pair.h"
#include "sim/sim_line.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace telvar::sim
{

namespace
{

class pty_line final : public sim_line
{
public:
    bool open(QString& error) override
    {
        vanish();
        pty_ = std::make_unique<pty_pair>();
        if (!pty_->create()) {
            error = QStringLiteral("cannot make a pseudo-terminal: %1").arg(pty_->error());
            pty_.reset();
            return false;
        }
        notifier_ = std::make_unique<QSocketNotifier>(pty_->far_end(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { read_ready(); });
        return true;
    }

    QString device() const override { return pty_ ? pty_->device() : QString(); }
    bool is_open() const override { return pty_ != nullptr; }

    void write(const QByteArray& bytes) override
    {
        if (!pty_)
            return;
        // Non-blocking: a PC that stopped reading must not stall the simulator.
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(pty_->far_end(), bytes.constData() + done,
                                      static_cast<size_t>(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (!(n < 0 && errno == EINTR))
                break;
        }
    }

    void vanish() override
    {
        notifier_.reset();
        pty_.reset();
    }

private:
    void read_ready()
    {
        char buffer[512];
        const long n = pty_ ? pty_->read_far(buffer, sizeof buffer) : 0;
        if (n > 0)
            emit received(QByteArray(buffer, static_cast<int>(n)));
    }

    std::unique_ptr<pty_pair> pty_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace

std::unique_ptr<sim_line> make_pty_line()
{
    return std::make_unique<pty_line>();
}

} // namespace telvar::sim

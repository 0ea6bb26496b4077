#include "sim/sim_line.h"

namespace telvar::sim
{

namespace
{

// Windows has no pseudo-terminals; a virtual null-modem pair and --device
// play the same part there.
class no_pty_line final : public sim_line
{
public:
    bool open(QString& error) override
    {
        error = QStringLiteral("this system has no pseudo-terminals; attach to one end of a "
                               "null-modem pair with --device");
        return false;
    }
    QString device() const override { return {}; }
    bool is_open() const override { return false; }
    void write(const QByteArray&) override {}
    void vanish() override {}
};

} // namespace

std::unique_ptr<sim_line> make_pty_line()
{
    return std::make_unique<no_pty_line>();
}

} // namespace telvar::sim

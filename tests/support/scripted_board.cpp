#include "support/scripted_board.h"

#include "serial/port_mapping_unix.h"

#include <QDir>
#include <QFile>

namespace telvar::test {

scripted_board::scripted_board(int com_number, QObject* parent) : QObject(parent)
{
    if (!pty_.create())
        return;
    QDir().mkpath(port_folder());
    const QString link = port_folder() + QStringLiteral("/com%1").arg(com_number);
    QFile::remove(link);
    if (!QFile::link(pty_.device(), link))
        return;
    notifier_ = std::make_unique<QSocketNotifier>(pty_.far_end(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &scripted_board::on_readable);
    ok_ = true;
}

void scripted_board::send(const QByteArray& bytes)
{
    pty_.write_far(bytes.constData(), bytes.size());
}

void scripted_board::on_readable()
{
    char buf[256];
    long n = 0;
    while ((n = pty_.read_far(buf, sizeof buf)) > 0)
        pending_.append(buf, int(n));
    // Realign on the next frame whose checksum holds.
    while (pending_.size() >= 8) {
        frame f{};
        for (int i = 0; i < 8; ++i)
            f[i] = std::uint8_t(pending_[i]);
        if ((f[0] != board_mark && f[0] != host_mark) || checksum(f) != f[7]) {
            pending_.remove(0, 1);
            continue;
        }
        pending_.remove(0, 8);
        heard.append(f);
        emit frame_heard(f);
        if (f[0] != board_mark || !answering)
            continue;
        if (f[2] == 0x11 && f[6] >= 1 && f[6] <= 16)
            relays &= std::uint16_t(~(1u << (f[6] - 1)));
        else if (f[2] == 0x12 && f[6] >= 1 && f[6] <= 16)
            relays |= std::uint16_t(1u << (f[6] - 1));
        else if (f[2] == 0x13)
            relays = f[5] == 0xFF ? 0xFFFF : 0;
        const frame reply = make_frame(reply_mark, f[1], f[2], 0, 0, std::uint8_t(relays >> 8),
                                       std::uint8_t(relays & 0xFF));
        send(QByteArray(reinterpret_cast<const char*>(reply.data()), 8));
    }
}

} // namespace telvar::test

#include "local/wording.h"

#include <QStringList>

namespace telvar::local {

namespace {

QString on_off(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString board_on(const line_context& line, int address)
{
    return QStringLiteral("board %1 on line %2").arg(address).arg(line.name);
}

// The failures every kind of request can meet on the line itself; empty for the others.
QString line_failure(const line_context& line, link::outcome result, const QString& whom)
{
    switch (result) {
    case link::outcome::port_closed:
        return QStringLiteral("line %1 (%2) is not open%3; nothing was sent. The service opens "
                              "it again as soon as the device is back")
            .arg(line.name, line.where,
                 line.lost_reason.isEmpty() ? QString()
                                            : QStringLiteral(": it was lost (%1)").arg(line.lost_reason));
    case link::outcome::line_lost:
        return QStringLiteral("line %1 (%2) was lost (%3) before %4 answered: sent, no reply "
                              "before the line was lost")
            .arg(line.name, line.where,
                 line.lost_reason.isEmpty() ? QStringLiteral("device gone") : line.lost_reason,
                 whom);
    case link::outcome::queue_full:
        return QStringLiteral("line %1 has too many requests waiting; not sent, try again "
                              "shortly")
            .arg(line.name);
    case link::outcome::done:
    case link::outcome::not_confirmed:
    case link::outcome::no_reply:
    case link::outcome::offline:
    case link::outcome::superseded:
        break;
    }
    return {};
}

} // namespace

QString number_list(const QList<int>& numbers)
{
    QStringList words;
    for (int n : numbers)
        words << QString::number(n);
    if (words.size() < 2)
        return words.join(QString());
    const QString last = words.takeLast();
    return words.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QString relay_failure_text(const line_context& line, const request& r, int relay,
                           const link::relay_result& result)
{
    const QString board = board_on(line, r.address);
    const QString general = line_failure(line, result.result, QStringLiteral("board %1").arg(r.address));
    if (!general.isEmpty())
        return general;
    switch (result.result) {
    case link::outcome::not_confirmed: {
        if (!result.reported)
            break;
        const link::relay_states& now = *result.reported;
        if (r.what == request_kind::switch_relays && r.all) {
            const bool asked = r.state == switch_to::on;
            QList<int> other;
            for (int n = 1; n <= relay_count; ++n)
                if (now[std::size_t(n - 1)] != asked && !result.skipped.contains(n))
                    other << n;
            return QStringLiteral("%1 did not confirm all relays %2: it reports %3 %4 %5 after "
                                  "%6 tries")
                .arg(board, on_off(asked),
                     other.size() == 1 ? QStringLiteral("relay") : QStringLiteral("relays"),
                     number_list(other), on_off(!asked))
                .arg(line.tries);
        }
        const bool state = now[std::size_t(relay - 1)];
        if (r.state == switch_to::toggle)
            return QStringLiteral("%1 did not confirm the toggle of relay %2: it still reports "
                                  "relay %2 %3 after %4 tries")
                .arg(board)
                .arg(relay)
                .arg(on_off(state))
                .arg(line.tries);
        return QStringLiteral("%1 did not confirm relay %2 %3: it reports relay %2 %4 after %5 "
                              "tries")
            .arg(board)
            .arg(relay)
            .arg(on_off(r.state == switch_to::on), on_off(state))
            .arg(line.tries);
    }
    case link::outcome::no_reply:
        return QStringLiteral("no valid reply from %1 to %2 frames, %3 ms each: check the "
                              "address, that the board is powered and that its slave module is "
                              "paired with the host module on the same channel")
            .arg(board)
            .arg(result.frames_sent)
            .arg(line.reply_window_ms);
    case link::outcome::offline:
        return QStringLiteral("%1 is offline (no reply to its last polls); not sent. It is "
                              "served again at its first reply")
            .arg(board);
    case link::outcome::superseded:
        return QStringLiteral("a newer request for %1 of %2 took this one's place; not sent")
            .arg(relay == 0 ? QStringLiteral("all relays") : QStringLiteral("relay %1").arg(relay),
                 board);
    case link::outcome::done:
    case link::outcome::port_closed:
    case link::outcome::line_lost:
    case link::outcome::queue_full:
        break;
    }
    return QStringLiteral("%1: %2").arg(board, link::outcome_name(result.result));
}

QString parameter_failure_text(const line_context& line, const request& r,
                               const link::parameter_result& result)
{
    const bool host =
        result.what == link::parameter::host_id || result.what == link::parameter::host_channel;
    const QString module = host ? QStringLiteral("the host module")
                                : QStringLiteral("board %1's slave module").arg(r.address);
    const QString general = line_failure(line, result.result, module);
    if (!general.isEmpty())
        return general;
    switch (result.result) {
    case link::outcome::not_confirmed:
        return QStringLiteral("%1 answered %2 %3, not %4 as asked")
            .arg(module, parameter_name(result.what))
            .arg(result.value.value_or(0))
            .arg(r.value);
    case link::outcome::no_reply:
        if (result.what == link::parameter::pairing)
            return QStringLiteral("no valid reply to the pairing with board %1 after %2 frames on "
                                  "line %3: the board must be powered and its slave module on "
                                  "the host module's channel")
                .arg(r.address)
                .arg(result.frames_sent)
                .arg(line.name);
        return QStringLiteral("no valid reply from %1 after %2 frames on line %3 (%4): %5")
            .arg(module)
            .arg(result.frames_sent)
            .arg(line.name, line.where,
                 host ? QStringLiteral("check that the radio module is attached and powered")
                      : QStringLiteral("check the address, that the board is powered and that "
                                       "its slave module is paired with the host module on the "
                                       "same channel"));
    case link::outcome::offline:
        return QStringLiteral("board %1 on line %2 is offline (no reply to its last polls); not "
                              "sent")
            .arg(r.address)
            .arg(line.name);
    case link::outcome::done:
    case link::outcome::port_closed:
    case link::outcome::line_lost:
    case link::outcome::queue_full:
    case link::outcome::superseded:
        break;
    }
    return QStringLiteral("%1: %2").arg(module, link::outcome_name(result.result));
}

QString scan_failure_text(const line_context& line, const request& r, link::outcome result,
                          int address)
{
    const QString general =
        line_failure(line, result, QStringLiteral("address %1").arg(address));
    if (!general.isEmpty())
        return general + QStringLiteral("; the scan stopped at address %1").arg(address);
    return QStringLiteral("no board answered at addresses %1-%2 on line %3 (%4)")
        .arg(r.from)
        .arg(r.to)
        .arg(line.name, line.where);
}

} // namespace telvar::local

#include "telvarctl/session.h"

#include "local/json_forms.h"
#include "serial/port_mapping.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace telvar::ctl {

namespace {

QString on_off(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString now_text()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

// "3, 4 and 9"
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

} // namespace

exit_status status_of(link::outcome result)
{
    switch (result) {
    case link::outcome::done:
        return exit_done;
    case link::outcome::not_confirmed:
    // A newer wish for the relay took its place: it does not end as this one asked.
    case link::outcome::superseded:
        return exit_not_confirmed;
    case link::outcome::no_reply:
    // Known not to answer: the same as no reply, without waiting for it again.
    case link::outcome::offline:
        return exit_no_reply;
    case link::outcome::port_closed:
    case link::outcome::line_lost:
    // The line cannot take it now, as a port another program holds cannot.
    case link::outcome::queue_full:
        break;
    }
    return exit_port;
}

QString error_code(open_failure failure)
{
    switch (failure) {
    case open_failure::none:
        return {};
    case open_failure::no_port:
        return QStringLiteral("no_port");
    case open_failure::not_found:
        return QStringLiteral("not_found");
    case open_failure::busy:
        return QStringLiteral("busy");
    case open_failure::no_permission:
        return QStringLiteral("no_permission");
    case open_failure::other:
        break;
    }
    return QStringLiteral("open_failed");
}

QString error_code(link::outcome result)
{
    return result == link::outcome::port_closed ? QStringLiteral("port_lost")
                                                : link::outcome_name(result);
}

QString line_words(link::outcome result, const QString& port, const QString& reason)
{
    const QString why = reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
    switch (result) {
    case link::outcome::line_lost:
        return QStringLiteral("sent, no reply before %1 was lost%2; check the adapter and try "
                              "again")
            .arg(port, why);
    case link::outcome::port_closed:
        return QStringLiteral("not sent: %1 was lost%2; check the adapter and try again")
            .arg(port, why);
    case link::outcome::queue_full:
        return QStringLiteral("not sent: %1 already has as many requests waiting as it takes; "
                              "try again in a moment")
            .arg(port);
    case link::outcome::superseded:
        return QStringLiteral("not sent: a newer command took its place");
    default:
        break;
    }
    return {};
}

QString relay_table(const link::relay_states& relays)
{
    QString numbers = QStringLiteral("relay");
    QString states = QStringLiteral("state");
    for (int i = 0; i < relay_count; ++i) {
        numbers += QString::number(i + 1).rightJustified(4);
        states += on_off(relays[std::size_t(i)]).rightJustified(4);
    }
    return numbers + QLatin1Char('\n') + states;
}

QString json_line(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void list_ports(const output& out, bool json)
{
    const QMap<int, QString> ports = known_ports();
    QJsonArray list;
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        const QFileInfo info(it.value());
        // An entry of the port folder is a link: say where it leads, and whether that is there.
        const QString target = info.isSymLink() ? info.symLinkTarget() : QString();
        const bool present = info.exists();
        if (json) {
            QJsonObject port{{QStringLiteral("port"), it.key()},
                             {QStringLiteral("device"), it.value()},
                             {QStringLiteral("present"), present}};
            if (!target.isEmpty())
                port.insert(QStringLiteral("target"), target);
            list.append(port);
            continue;
        }
        QString line = QStringLiteral("%1  %2").arg(it.key(), 3).arg(it.value());
        if (!target.isEmpty())
            line += QStringLiteral(" -> ") + target;
        if (!present)
            line += QStringLiteral("  (missing)");
        out.data(line);
    }
    if (json)
        out.data(json_line(QJsonObject{{QStringLiteral("ports"), list}}));
    if (ports.isEmpty())
        out.message(QStringLiteral("no serial ports found on this computer"));
}

session::session(link::line& link, invocation run, output out, QObject* parent)
    : QObject(parent), link_(link), run_(std::move(run)), out_(std::move(out))
{
    connect(&link_, &link::line::line_lost, this,
            [this](const QString& reason) { lost_reason_ = reason; });
    connect(&link_, &link::line::road_closed, this,
            [this](const QString& code, const QString& message) {
                if (ended_)
                    return;
                fail(code, message);
                end(exit_port);
            });
}

QJsonObject session::base() const
{
    QJsonObject o{{QStringLiteral("address"), run_.address},
                  {QStringLiteral("device"), link_.device()}};
    o.insert(QStringLiteral("port"),
             run_.port.number > 0 ? QJsonValue(run_.port.number) : QJsonValue());
    if (!run_.line.isEmpty())
        o.insert(QStringLiteral("line"), run_.line);
    return o;
}

QString session::board_text() const
{
    return QStringLiteral("board %1 on %2").arg(run_.address).arg(port_text());
}

QString session::port_text() const
{
    return run_.port.describe(link_.device());
}

QString session::request_text() const
{
    const QString what = command_name(run_.what);
    if (run_.what == command::on || run_.what == command::off || run_.what == command::toggle
        || run_.what == command::pulse)
        return QStringLiteral("%1 %2 to board %3")
            .arg(what)
            .arg(run_.relays.value(step_))
            .arg(run_.address);
    return QStringLiteral("%1 to board %2").arg(what).arg(run_.address);
}

void session::start()
{
    const link::line_opening opened = link_.open(run_.port);
    if (!opened.result.ok) {
        QJsonObject fields{{QStringLiteral("device"), opened.result.device}};
        fail(opened.code.isEmpty() ? error_code(opened.result.failure) : opened.code,
             opened.message, fields);
        end(opened.status);
        return;
    }
    // Through the service, a line asked for by name is told by its port.
    run_.port = link_.port();
    const int a = run_.address;
    const auto relay = [this](const link::relay_result& r) { relay_done(r); };
    const auto parameter = [this](const link::parameter_result& r) { parameter_done(r); };
    switch (run_.what) {
    case command::status:
        link_.status(a, relay);
        return;
    case command::on:
    case command::off:
        next_relay();
        return;
    case command::toggle:
        link_.toggle(a, run_.relays.value(0), relay);
        return;
    case command::all_on:
    case command::all_off:
        link_.switch_all(a, run_.what == command::all_on, relay);
        return;
    case command::pulse:
        start_pulse();
        return;
    case command::stats:
        if (link_.holds_port()) {
            next_stats_poll();
            return;
        }
        link_.health(a, [this](link::outcome, const link::board_health& h) { show_health(h); });
        return;
    case command::watch:
        start_watch();
        return;
    case command::scan:
        step_ = run_.scan_from;
        next_scan();
        return;
    case command::get:
        link_.read_parameter(run_.param, a, parameter);
        return;
    case command::set:
        // Asked first: a value already there is neither written again nor told as a change.
        link_.read_parameter(run_.param, a,
                             [this](const link::parameter_result& r) { before_write(r); });
        return;
    case command::pair:
        link_.pair(a, parameter);
        return;
    case command::ports:
    case command::lines:
        break;
    }
    list_ports(out_, run_.json);
    end(exit_done);
}

void session::start_pulse()
{
    const int n = run_.relays.value(0);
    // Here the timer lives in this program; through the service only with --wait is the release awaited.
    const bool stays = link_.holds_port() || run_.wait;
    link_.pulse(
        run_.address, n, run_.pulse_ms, run_.wait,
        [this, stays, n](const link::relay_result& r) {
            if (!stays) {
                relay_done(r);
                return;
            }
            if (r.result != link::outcome::done)
                return;  // the release callback tells the failure
            pulled_ = true;
            const QString when = run_.pulse_ms % 1000 == 0
                                     ? QStringLiteral("%1 s").arg(run_.pulse_ms / 1000)
                                     : QStringLiteral("%1 ms").arg(run_.pulse_ms);
            out_.message(QStringLiteral("relay %1 of %2 pulled in; released in %3%4")
                             .arg(n)
                             .arg(board_text(), when,
                                  link_.holds_port() ? QStringLiteral(" (Ctrl+C releases it now)")
                                                     : QString()));
            if (stop_asked_)
                link_.release_pulse_now(run_.address, n);
        },
        [this](const link::relay_result& r) { relay_done(r); });
}

void session::next_stats_poll()
{
    if (step_ >= run_.count) {
        link_.health(run_.address,
                     [this](link::outcome, const link::board_health& h) { show_health(h); });
        return;
    }
    link_.status(run_.address, [this](const link::relay_result& r) {
        if (status_of(r.result) == exit_port) {
            fail(error_code(r.result),
                 QStringLiteral("stats of board %1: %2")
                     .arg(run_.address)
                     .arg(line_words(r.result, port_text(), lost_reason_)));
            end(exit_port);
            return;
        }
        accepted_polls_ += r.result == link::outcome::done ? 1 : 0;
        ++step_;
        next_stats_poll();
    });
}

void session::show_health(const link::board_health& h)
{
    const bool polled = link_.holds_port();
    if (run_.json) {
        QJsonObject o = base();
        o.insert(QStringLiteral("command"), QStringLiteral("stats"));
        o.insert(QStringLiteral("health"), local::to_json(h));
        if (polled)
            o.insert(QStringLiteral("polls"), run_.count);
        out_.data(json_line(o));
    } else {
        const QJsonObject j = local::to_json(h);
        const auto row = [this](const QString& name, const QString& value) {
            out_.data(QStringLiteral("%1 %2").arg(name, -17).arg(value));
        };
        row(QStringLiteral("frames sent"), QString::number(h.frames_sent));
        row(QStringLiteral("replies accepted"), QString::number(h.replies_accepted));
        row(QStringLiteral("checksum errors"), QString::number(h.checksum_errors));
        row(QStringLiteral("stray bytes"), QString::number(h.stray_bytes));
        row(QStringLiteral("timeouts"), QString::number(h.timeouts));
        row(QStringLiteral("retries"), QString::number(h.retries));
        row(QStringLiteral("last reply"), h.last_reply_ms < 0
                                              ? QStringLiteral("never")
                                              : j.value(QLatin1String("last_reply")).toString());
        row(QStringLiteral("round trip"), h.round_trip_p50_ms < 0
                                              ? QStringLiteral("-")
                                              : QStringLiteral("%1 ms").arg(h.round_trip_p50_ms));
        row(QStringLiteral("quality"),
            h.quality_percent < 0 ? QStringLiteral("-")
                                  : QStringLiteral("%1 % over the last %2 frames")
                                        .arg(h.quality_percent)
                                        .arg(h.window_frames));
    }
    if (polled && accepted_polls_ == 0) {
        out_.message(QStringLiteral("no valid reply from %1 to %2 polls: check the address (-a), "
                                    "that the board is powered and that its slave module is "
                                    "paired with the host module on the same channel")
                         .arg(board_text())
                         .arg(run_.count));
        end(exit_no_reply);
        return;
    }
    end(exit_done);
}

void session::next_relay()
{
    link_.switch_relay(run_.address, run_.relays.value(step_), run_.what == command::on,
                       [this](const link::relay_result& r) { relay_done(r); });
}

void session::relay_done(const link::relay_result& r)
{
    const bool several = run_.what == command::on || run_.what == command::off;
    if (r.result == link::outcome::done && several && step_ + 1 < run_.relays.size()) {
        ++step_;
        next_relay();
        return;
    }
    QJsonObject fields{{QStringLiteral("command"), command_name(run_.what)}};
    if (r.reported)
        fields.insert(QStringLiteral("relays"), link::relays_json(*r.reported));
    if (run_.what == command::pulse)
        fields.insert(QStringLiteral("pulse_ms"), run_.pulse_ms);
    if (!r.skipped.isEmpty()) {
        QJsonArray skipped;
        for (int n : r.skipped)
            skipped.append(n);
        fields.insert(QStringLiteral("skipped"), skipped);
    }
    if (r.result == link::outcome::done) {
        if (!r.skipped.isEmpty())
            out_.message(QStringLiteral("%1 left out: interlocked with a lower relay of %2")
                             .arg(r.skipped.size() > 1 ? QStringLiteral("relays ") + number_list(r.skipped)
                                                       : QStringLiteral("relay ") + number_list(r.skipped),
                                  r.skipped.size() > 1 ? QStringLiteral("their groups")
                                                       : QStringLiteral("its group")));
        if (run_.json) {
            QJsonObject o = base();
            for (auto it = fields.begin(); it != fields.end(); ++it)
                o.insert(it.key(), it.value());
            out_.data(json_line(o));
        } else {
            out_.data(relay_table(*r.reported));
        }
        end(exit_done);
        return;
    }

    const int tries = link_.settings().retries + 1;
    QString why;
    switch (r.result) {
    case link::outcome::done:
        break;
    case link::outcome::not_confirmed: {
        const link::relay_states& states = *r.reported;
        if (run_.what == command::all_on || run_.what == command::all_off) {
            const bool asked = run_.what == command::all_on;
            QList<int> other;
            for (int i = 0; i < relay_count; ++i)
                if (states[std::size_t(i)] != asked && !r.skipped.contains(i + 1))
                    other << i + 1;
            const QString which = other.size() == relay_count ? QStringLiteral("all sixteen")
                                  : other.size() > 1 ? QStringLiteral("relays ") + number_list(other)
                                                     : QStringLiteral("relay ") + number_list(other);
            why = QStringLiteral("%1 did not confirm all relays %2: it reports %3 %4 after %5 "
                                 "tries")
                      .arg(board_text(), on_off(asked), which, on_off(!asked))
                      .arg(tries);
        } else {
            const int n = run_.relays.value(step_);
            const bool now = states[std::size_t(n - 1)];
            why = run_.what == command::toggle
                      ? QStringLiteral("%1 did not confirm the toggle of relay %2: it still "
                                       "reports relay %2 %3 after %4 tries")
                            .arg(board_text())
                            .arg(n)
                            .arg(on_off(now))
                            .arg(tries)
                      : QStringLiteral("%1 did not confirm relay %2 %3: it reports relay %2 %4 "
                                       "after %5 tries")
                            .arg(board_text())
                            .arg(n)
                            .arg(on_off(run_.what == command::on
                                        || (run_.what == command::pulse && !pulled_)),
                                 on_off(now))
                            .arg(tries);
        }
        if (!run_.json)
            out_.data(relay_table(states));
        break;
    }
    case link::outcome::no_reply:
        why = QStringLiteral("no valid reply from %1 to %2 frames, %3 ms each: check the "
                             "address (-a), that the board is powered and that its slave "
                             "module is paired with the host module on the same channel; "
                             "--timeout and --retries wait longer")
                  .arg(board_text())
                  .arg(r.frames_sent)
                  .arg(link_.settings().reply_window_ms);
        break;
    case link::outcome::offline:
        why = QStringLiteral("not sent: %1 is offline (its last %2 frames went unanswered); "
                             "it is asked again at its next poll")
                  .arg(board_text())
                  .arg(link_.settings().unavailable_after);
        break;
    case link::outcome::superseded:
        why = QStringLiteral("not sent: a newer command for %1 took its place")
                  .arg(run_.what == command::all_on || run_.what == command::all_off
                           ? QStringLiteral("the relays of %1").arg(board_text())
                           : QStringLiteral("relay %1 of %2").arg(run_.relays.value(step_)).arg(board_text()));
        break;
    case link::outcome::port_closed:
    case link::outcome::line_lost:
    case link::outcome::queue_full:
        why = QStringLiteral("%1: %2").arg(request_text(),
                                           line_words(r.result, port_text(), lost_reason_));
        break;
    }
    if (several && step_ + 1 < run_.relays.size())
        why += QStringLiteral("; relay%1 %2 not tried")
                   .arg(run_.relays.size() - step_ - 1 > 1 ? "s" : "",
                        number_list(run_.relays.mid(step_ + 1)));
    fail(error_code(r.result), why, fields);
    end(status_of(r.result));
}

void session::before_write(const link::parameter_result& r)
{
    if (r.result == link::outcome::done && r.value && *r.value == run_.value) {
        unchanged_ = true;
        parameter_done(r);
        return;
    }
    if (status_of(r.result) == exit_port) {
        parameter_done(r);
        return;
    }
    link_.write_parameter(run_.param, run_.address, run_.value,
                          [this](const link::parameter_result& w) { parameter_done(w); });
}

void session::parameter_done(const link::parameter_result& r)
{
    const QString name = parameter_name(r.what);
    const bool host = r.what == link::parameter::host_id || r.what == link::parameter::host_channel;
    const QString module = host ? QStringLiteral("the host module")
                                : QStringLiteral("board %1's slave module").arg(run_.address);
    QJsonObject fields{{QStringLiteral("command"), command_name(run_.what)},
                       {QStringLiteral("parameter"), name}};
    if (r.value)
        fields.insert(QStringLiteral("value"), qint64(*r.value));
    if (run_.what == command::set && r.result == link::outcome::done)
        fields.insert(QStringLiteral("changed"), !unchanged_);

    if (r.result == link::outcome::done) {
        if (run_.json) {
            QJsonObject o = base();
            for (auto it = fields.begin(); it != fields.end(); ++it)
                o.insert(it.key(), it.value());
            out_.data(json_line(o));
        } else {
            out_.data(QString::number(*r.value));
        }
        const QString v = QString::number(*r.value);
        const QString a = QString::number(run_.address);
        if (run_.what == command::pair) {
            out_.message(QStringLiteral("board %1's slave module shares id %2 with the host "
                                        "module")
                             .arg(a, v));
        } else if (run_.what == command::set && unchanged_) {
            const bool channel = r.what == link::parameter::host_channel
                                 || r.what == link::parameter::slave_channel;
            out_.message(QStringLiteral("%1 already %2 %3: nothing written")
                             .arg(module,
                                  channel ? QStringLiteral("talks on channel")
                                          : QStringLiteral("carries id"),
                                  v));
        } else if (run_.what == command::set) {
            // Which side has to follow for the link to work again.
            switch (r.what) {
            case link::parameter::host_channel:
                out_.message(QStringLiteral(
                                 "the host module now talks on channel %1: boards answer again "
                                 "only once their slave module is on channel %1 too")
                                 .arg(v));
                break;
            case link::parameter::slave_channel:
                out_.message(QStringLiteral(
                                 "board %1's slave module now talks on channel %2: it answers "
                                 "again once the host module follows (telvarctl set "
                                 "host-channel %2 --yes)")
                                 .arg(a, v));
                break;
            case link::parameter::host_id:
                out_.message(QStringLiteral(
                                 "the host module now carries id %1: boards answer again once "
                                 "their slave module carries it too; pair each one (telvarctl -a "
                                 "ADDR pair --yes)")
                                 .arg(v));
                break;
            case link::parameter::slave_id:
                out_.message(QStringLiteral(
                                 "board %1's slave module now carries id %2: it answers again "
                                 "once the host module follows (telvarctl set host-id %2 --yes), "
                                 "or after pairing it again (telvarctl -a %1 pair --yes)")
                                 .arg(a, v));
                break;
            case link::parameter::pairing:
                break;
            }
        }
        end(exit_done);
        return;
    }

    const int tries = r.frames_sent;
    QString why;
    switch (r.result) {
    case link::outcome::done:
        break;
    case link::outcome::not_confirmed:
        if (!run_.json)
            out_.data(QString::number(*r.value));
        why = QStringLiteral("%1 answered %2 %3, not %4 as asked")
                  .arg(module, name)
                  .arg(*r.value)
                  .arg(run_.value);
        break;
    case link::outcome::no_reply:
        why = run_.what == command::pair
                  ? QStringLiteral("no valid reply to the pairing with board %1 after %2 frames "
                                   "on %3: the board must be powered and its slave module on "
                                   "the host module's channel")
                        .arg(run_.address)
                        .arg(tries)
                        .arg(run_.port.describe(link_.device()))
              : host ? QStringLiteral("no valid reply from the host module after %1 frames on %2: "
                                      "check the port (-p) and that the radio module is "
                                      "attached and powered")
                           .arg(tries)
                           .arg(run_.port.describe(link_.device()))
                     : QStringLiteral("no valid reply from %1 after %2 frames on %3: check the "
                                      "address (-a), that the board is powered and that its "
                                      "slave module is paired with the host module on the same "
                                      "channel")
                           .arg(module)
                           .arg(tries)
                           .arg(run_.port.describe(link_.device()));
        break;
    case link::outcome::offline:
        why = QStringLiteral("not sent: %1 is offline (its last %2 frames went unanswered)")
                  .arg(board_text())
                  .arg(link_.settings().unavailable_after);
        break;
    case link::outcome::superseded:
    case link::outcome::port_closed:
    case link::outcome::line_lost:
    case link::outcome::queue_full:
        why = QStringLiteral("%1 of %2: %3")
                  .arg(run_.what == command::pair ? QStringLiteral("pairing")
                                                  : command_name(run_.what) + QLatin1Char(' ') + name,
                       module, line_words(r.result, port_text(), lost_reason_));
        break;
    }
    fail(error_code(r.result), why, fields);
    end(status_of(r.result));
}

void session::next_scan()
{
    if (step_ > run_.scan_to) {
        if (run_.json) {
            QJsonArray list;
            for (int a : answering_)
                list.append(a);
            QJsonObject o = base();
            o.remove(QStringLiteral("address"));
            o.insert(QStringLiteral("command"), QStringLiteral("scan"));
            o.insert(QStringLiteral("addresses"), list);
            if (answering_.isEmpty()) {
                o.insert(QStringLiteral("error"), QStringLiteral("no_reply"));
                o.insert(QStringLiteral("message"), QStringLiteral("no board answered"));
            }
            out_.data(json_line(o));
        }
        if (answering_.isEmpty()) {
            out_.message(QStringLiteral("no board answered at addresses %1-%2 on %3")
                             .arg(run_.scan_from)
                             .arg(run_.scan_to)
                             .arg(run_.port.describe(link_.device())));
            end(exit_no_reply);
            return;
        }
        end(exit_done);
        return;
    }
    link_.status(step_, [this](const link::relay_result& r) {
        if (status_of(r.result) == exit_port) {
            fail(error_code(r.result), QStringLiteral("scan of address %1: %2")
                                           .arg(r.address)
                                           .arg(line_words(r.result, port_text(), lost_reason_)));
            end(exit_port);
            return;
        }
        if (r.result == link::outcome::done) {
            answering_ << r.address;
            // Found addresses show at once: a whole scan takes a while.
            if (!run_.json)
                out_.data(QString::number(r.address));
        }
        ++step_;
        next_scan();
    });
}

void session::start_watch()
{
    connect(&link_, &link::line::board_reported, this,
            [this](int address, const link::relay_states& relays) {
                if (!run_.addresses.contains(address))
                    return;
                const auto before = shown_.constFind(address);
                if (before == shown_.constEnd()) {
                    QString states;
                    for (bool on : relays)
                        states += QLatin1Char(' ') + on_off(on);
                    watch_event(address,
                                {{QStringLiteral("event"), QStringLiteral("state")},
                                 {QStringLiteral("relays"), link::relays_json(relays)}},
                                QStringLiteral("state") + states);
                } else {
                    QJsonArray changed;
                    QStringList lines;
                    for (int i = 0; i < relay_count; ++i) {
                        if ((*before)[std::size_t(i)] == relays[std::size_t(i)])
                            continue;
                        changed.append(i + 1);
                        lines << QStringLiteral("relay %1 %2").arg(i + 1).arg(
                            on_off(relays[std::size_t(i)]));
                    }
                    if (changed.isEmpty())
                        return;
                    if (run_.json)
                        watch_event(address,
                                    {{QStringLiteral("event"), QStringLiteral("change")},
                                     {QStringLiteral("changed"), changed},
                                     {QStringLiteral("relays"), link::relays_json(relays)}},
                                    {});
                    else
                        for (const QString& line : lines)
                            watch_event(address, {}, line);
                }
                shown_.insert(address, relays);
            });
    connect(&link_, &link::line::availability_changed, this,
            [this](int address, bool available) {
                const QString event =
                    available ? QStringLiteral("available") : QStringLiteral("unavailable");
                watch_event(address, {{QStringLiteral("event"), event}}, event);
            });
    connect(&link_, &link::line::line_lost, this, [this](const QString& reason) {
        out_.message(QStringLiteral("%1 was lost (%2): every board is unavailable; opening it "
                                    "again as soon as the device is back")
                         .arg(run_.port.describe(link_.device()), reason));
    });
    connect(&link_, &link::line::reopen_failed, this,
            [this](const open_result& result, int next_try_ms) {
                QString why = link::open_failure_text(run_.port, result);
                if (why.endsWith(QLatin1Char('.')))
                    why.chop(1);
                out_.message(why + QStringLiteral("; next try in %1 s").arg(next_try_ms / 1000.0));
            });
    connect(&link_, &link::line::port_renumbered, this,
            [this](int number, const QString& device, const QString& held) {
                out_.message(QStringLiteral("port %1 now stands for %2, not for %3, the "
                                            "device that was open: not followed; waiting for "
                                            "that device to come back")
                                 .arg(number)
                                 .arg(device, held));
            });
    connect(&link_, &link::line::line_restored, this, [this](const QString& device) {
        out_.message(QStringLiteral("%1 is open again; polling").arg(run_.port.describe(device)));
    });
    const QString refused = link_.follow(run_.addresses);
    if (!refused.isEmpty()) {
        fail(QStringLiteral("usage"), refused);
        end(exit_usage);
    }
}

void session::watch_event(int address, const QJsonObject& fields, const QString& text)
{
    if (!run_.json) {
        out_.data(QStringLiteral("%1 board %2 %3").arg(now_text()).arg(address).arg(text));
        return;
    }
    QJsonObject o = base();
    o.insert(QStringLiteral("time"), now_text());
    o.insert(QStringLiteral("address"), address);
    for (auto it = fields.begin(); it != fields.end(); ++it)
        o.insert(it.key(), it.value());
    out_.data(json_line(o));
}

void session::stop()
{
    if (run_.what == command::pulse && link_.holds_port()) {
        // Released now; the program ends once the board confirms it.
        stop_asked_ = true;
        if (pulled_)
            link_.release_pulse_now(run_.address, run_.relays.value(0));
        return;
    }
    if (run_.what == command::pulse && !ended_)
        out_.message(QStringLiteral("telvard releases relay %1 of %2 at its time")
                         .arg(run_.relays.value(0))
                         .arg(board_text()));
    link_.follow({});
    end(exit_done);
}

void session::fail(const QString& code, const QString& message, QJsonObject fields)
{
    out_.message(message);
    if (!run_.json)
        return;
    QJsonObject o = base();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        o.insert(it.key(), it.value());
    o.insert(QStringLiteral("error"), code);
    o.insert(QStringLiteral("message"), message);
    out_.data(json_line(o));
}

void session::end(int status)
{
    if (ended_)
        return;
    ended_ = true;
    emit finished(status);
}

} // namespace telvar::ctl

#include "local/dispatch.h"

#include "local/json_forms.h"
#include "local/local_log.h"
#include "local/wording.h"

#include <QJsonArray>
#include <QPointer>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(local_log, "telvar.local", QtInfoMsg)

namespace telvar::local {

struct dispatcher::line_state {
    served_line config;
    // The last report of each board, as its subscribers were told it: a
    // report that differs is a change. Forgotten when the board or the line
    // goes, so its first report after that is a state again.
    std::map<int, link::relay_states> shown;
    QString lost_reason;

    link::board_link& link() const { return *config.link; }

    line_context context() const
    {
        line_context c;
        c.name = config.name;
        c.where = config.port.describe(link().device());
        c.reply_window_ms = link().settings().reply_window_ms;
        c.tries = link().settings().retries + 1;
        c.lost_reason = lost_reason;
        return c;
    }
};

// A request of several steps between its link calls.
struct dispatcher::job {
    request r;
    std::weak_ptr<void> owner;
    answer reply;
    line_state* line = nullptr;
    int step = 0;           // switch: relays done; scan: the address asked
    QList<int> found;       // scan
};

namespace {

QJsonValue quality(const link::board_health& h)
{
    return h.quality_percent < 0 ? QJsonValue() : QJsonValue(h.quality_percent);
}

QJsonObject new_event(const QString& kind, const QString& line)
{
    return {{QStringLiteral("event"), kind},
            {QStringLiteral("line"), line},
            {QStringLiteral("time"), event_time()}};
}

} // namespace

dispatcher::dispatcher(QList<served_line> lines, QObject* parent) : QObject(parent)
{
    for (served_line& l : lines) {
        auto state = std::make_unique<line_state>();
        state->config = std::move(l);
        lines_.append(state.get());
        watch(*state);
        by_name_[state->config.name] = std::move(state);
    }
}

dispatcher::~dispatcher() = default;

void dispatcher::update(const QString& name, const link::port_spec& port,
                        const QMap<int, QString>& boards)
{
    const auto found = by_name_.find(name);
    if (found == by_name_.end())
        return;
    line_state& line = *found->second;
    line.config.port = port;
    line.config.boards = boards;
    // A board no longer served starts afresh if it comes back.
    for (auto it = line.shown.begin(); it != line.shown.end();)
        it = boards.contains(it->first) ? std::next(it) : line.shown.erase(it);
}

void dispatcher::watch(line_state& line)
{
    link::board_link* l = line.config.link;
    connect(l, &link::board_link::board_reported, this,
            [this, &line](int address, const link::relay_states& relays) {
                on_reported(line, address, relays);
            });
    connect(l, &link::board_link::availability_changed, this,
            [this, &line](int address, bool available) {
                if (!available)
                    line.shown.erase(address);
                QJsonObject e = new_event(available ? QStringLiteral("available")
                                                : QStringLiteral("unavailable"),
                                      line.config.name);
                e.insert(QStringLiteral("address"), address);
                fan_out(line, address, e);
            });
    connect(l, &link::board_link::line_lost, this, [this, &line](const QString& reason) {
        line.lost_reason = reason;
        line.shown.clear();
        QJsonObject e = new_event(QStringLiteral("line_lost"), line.config.name);
        e.insert(QStringLiteral("reason"), reason);
        fan_out(line, -1, e);
    });
    connect(l, &link::board_link::line_restored, this, [this, &line](const QString& device) {
        line.lost_reason.clear();
        QJsonObject e = new_event(QStringLiteral("line_back"), line.config.name);
        e.insert(QStringLiteral("device"), device);
        fan_out(line, -1, e);
    });
}

void dispatcher::on_reported(line_state& line, int address, const link::relay_states& relays)
{
    const auto before = line.shown.find(address);
    QJsonObject e;
    if (before == line.shown.end()) {
        e = new_event(QStringLiteral("state"), line.config.name);
    } else {
        QJsonArray changed;
        for (int n = 1; n <= relay_count; ++n)
            if (before->second[std::size_t(n - 1)] != relays[std::size_t(n - 1)])
                changed.append(n);
        if (changed.isEmpty())
            return;
        e = new_event(QStringLiteral("change"), line.config.name);
        e.insert(QStringLiteral("changed"), changed);
    }
    line.shown[address] = relays;
    e.insert(QStringLiteral("address"), address);
    e.insert(QStringLiteral("relays"), link::relays_json(relays));
    fan_out(line, address, e);
}

void dispatcher::fan_out(const line_state& line, int address, const QJsonObject& e)
{
    // A copy: a reply may cut its client off, which ends its subscription.
    const std::vector<subscriber> now = subscribers_;
    for (const subscriber& s : now) {
        if (s.owner.expired())
            continue;
        if (!s.line.isEmpty() && s.line != line.config.name)
            continue;
        if (address >= 0 && !s.addresses.isEmpty() && !s.addresses.contains(address))
            continue;
        s.reply(e);
    }
    subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                      [](const subscriber& s) { return s.owner.expired(); }),
                       subscribers_.end());
}

void dispatcher::forget(const void* owner)
{
    subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                      [owner](const subscriber& s) { return s.key == owner; }),
                       subscribers_.end());
}

dispatcher::line_state* dispatcher::find_line(const request& r, QString& error)
{
    QStringList names;
    for (const line_state* l : lines_)
        names << l->config.name;
    if (r.line.isEmpty()) {
        if (lines_.size() == 1)
            return lines_.front();
        error = lines_.isEmpty()
                    ? QStringLiteral("the service holds no line")
                    : QStringLiteral("the service holds lines %1: say which with \"line\"")
                          .arg(names.join(QStringLiteral(", ")));
        return nullptr;
    }
    const auto it = by_name_.find(r.line);
    if (it != by_name_.end())
        return it->second.get();
    error = QStringLiteral("no line named \"%1\"; the service holds %2")
                .arg(r.line.left(64), names.isEmpty() ? QStringLiteral("none")
                                                      : names.join(QStringLiteral(", ")));
    return nullptr;
}

void dispatcher::carry_out(const request& r, const std::shared_ptr<void>& owner, answer reply)
{
    if (r.what == request_kind::lines || r.what == request_kind::subscribe) {
        QString error;
        if (!r.line.isEmpty() && !find_line(r, error)) {
            reply(refusal(r.id, QStringLiteral("usage"), error));
            return;
        }
        if (r.what == request_kind::lines)
            reply(lines_answer(r));
        else
            subscribe(r, owner, std::move(reply));
        return;
    }
    QString error;
    line_state* line = find_line(r, error);
    if (!line) {
        reply(refusal(r.id, QStringLiteral("usage"), error));
        return;
    }
    auto j = std::make_shared<job>();
    j->r = r;
    j->owner = owner;
    j->reply = std::move(reply);
    j->line = line;
    link::board_link& l = line->link();
    QPointer<dispatcher> self(this);
    switch (r.what) {
    case request_kind::status:
        l.status(r.address, [self, j](const link::relay_result& result) {
            if (self)
                self->switch_done(j, result);
        });
        return;
    case request_kind::switch_relays:
        next_switch(j);
        return;
    case request_kind::scan:
        j->step = r.from;
        next_scan(j);
        return;
    case request_kind::pulse:
        pulse(j);
        return;
    case request_kind::stats:
        stats(j);
        return;
    case request_kind::get:
    case request_kind::set:
    case request_kind::pair: {
        auto done = [self, j](const link::parameter_result& result) {
            if (self)
                self->parameter_done(j, result);
        };
        if (r.what == request_kind::pair)
            l.pair(r.address, done);
        else if (r.what == request_kind::get)
            l.read_parameter(r.param, r.address, done);
        else
            l.write_parameter(r.param, r.address, r.value, done);
        return;
    }
    case request_kind::lines:
    case request_kind::subscribe:
        break;
    }
}

QJsonObject dispatcher::lines_answer(const request& r) const
{
    QJsonArray list;
    for (const line_state* line : lines_) {
        if (!r.line.isEmpty() && r.line != line->config.name)
            continue;
        const link::board_link& l = line->link();
        const link::port_spec& port = line->config.port;
        QJsonArray boards;
        for (auto it = line->config.boards.begin(); it != line->config.boards.end(); ++it) {
            const auto relays = l.last_reported(it.key());
            boards.append(QJsonObject{
                {QStringLiteral("address"), it.key()},
                {QStringLiteral("name"), it.value().isEmpty() ? QJsonValue() : it.value()},
                {QStringLiteral("available"), l.available(it.key())},
                {QStringLiteral("quality"), quality(l.health(it.key()))},
                {QStringLiteral("relays"),
                 relays ? QJsonValue(link::relays_json(*relays)) : QJsonValue()}});
        }
        QJsonObject o{{QStringLiteral("line"), line->config.name},
                      {QStringLiteral("port"),
                       port.number > 0 ? QJsonValue(port.number) : QJsonValue(port.path)},
                      {QStringLiteral("device"), l.device()},
                      {QStringLiteral("open"), l.is_open()},
                      {QStringLiteral("reply_window_ms"), l.settings().reply_window_ms},
                      {QStringLiteral("retries"), l.settings().retries},
                      {QStringLiteral("poll_interval_ms"), l.settings().poll_interval_ms},
                      {QStringLiteral("boards"), boards}};
        if (!line->lost_reason.isEmpty())
            o.insert(QStringLiteral("lost_reason"), line->lost_reason);
        list.append(o);
    }
    return {{QStringLiteral("id"), r.id}, {QStringLiteral("ok"), true},
            {QStringLiteral("lines"), list}};
}

void dispatcher::subscribe(const request& r, const std::shared_ptr<void>& owner, answer reply)
{
    forget(owner.get());
    subscriber s;
    s.key = owner.get();
    s.owner = owner;
    s.line = r.line;
    s.addresses = r.addresses;
    s.reply = reply;
    subscribers_.push_back(s);
    reply({{QStringLiteral("id"), r.id}, {QStringLiteral("ok"), true}});
    // What is known now, so that every change after it can be followed.
    for (const line_state* line : lines_) {
        if (!r.line.isEmpty() && r.line != line->config.name)
            continue;
        for (const auto& [address, relays] : line->shown) {
            if (!r.addresses.isEmpty() && !r.addresses.contains(address))
                continue;
            QJsonObject e = new_event(QStringLiteral("state"), line->config.name);
            e.insert(QStringLiteral("address"), address);
            e.insert(QStringLiteral("relays"), link::relays_json(relays));
            reply(e);
        }
    }
}

bool dispatcher::owner_gone(const job& j)
{
    if (!j.owner.expired())
        return false;
    ++dropped_;
    qCDebug(local_log, "%s request for %s %d on line %s ended after its client went",
            qUtf8Printable(kind_name(j.r.what)),
            j.r.what == request_kind::scan ? "address" : "board",
            j.r.what == request_kind::scan ? j.step : j.r.address,
            qUtf8Printable(j.line->config.name));
    return true;
}

QJsonObject dispatcher::response(const job& j, const QJsonObject& result, link::outcome outcome,
                                 const QString& failure) const
{
    QJsonObject o = result;
    o.insert(QStringLiteral("id"), j.r.id);
    o.insert(QStringLiteral("line"), j.line->config.name);
    o.insert(QStringLiteral("device"), j.line->link().device());
    const bool done = outcome == link::outcome::done;
    o.insert(QStringLiteral("ok"), done);
    if (!done) {
        o.insert(QStringLiteral("error"), error_code(outcome));
        o.insert(QStringLiteral("message"), failure);
        if (!j.line->lost_reason.isEmpty())
            o.insert(QStringLiteral("lost_reason"), j.line->lost_reason);
    }
    return o;
}

void dispatcher::next_switch(const std::shared_ptr<job>& j)
{
    const request& r = j->r;
    link::board_link& l = j->line->link();
    QPointer<dispatcher> self(this);
    auto done = [self, j](const link::relay_result& result) {
        if (self)
            self->switch_done(j, result);
    };
    if (r.all)
        l.switch_all(r.address, r.state == switch_to::on, done);
    else if (r.state == switch_to::toggle)
        l.toggle(r.address, r.relays.front(), done);
    else
        l.switch_relay(r.address, r.relays[j->step], r.state == switch_to::on, done);
}

void dispatcher::pulse(const std::shared_ptr<job>& j)
{
    // Answered like a one-relay switch: once pulled in, or with wait once released.
    QPointer<dispatcher> self(this);
    const bool wait = j->r.wait;
    auto answer = [self, j](const link::relay_result& result) {
        if (self)
            self->switch_done(j, result);
    };
    link::relay_callback pulled;
    link::relay_callback released;
    if (wait)
        released = answer;
    else
        pulled = answer;
    j->line->link().pulse(j->r.address, j->r.relays.front(), j->r.pulse_ms, pulled, released);
}

void dispatcher::stats(const std::shared_ptr<job>& j)
{
    // Counted since the service opened the line; no frame goes out for it.
    const link::board_health h = j->line->link().health(j->r.address);
    QPointer<dispatcher> self(this);
    QTimer::singleShot(0, this, [self, j, h] {
        if (!self || self->owner_gone(*j))
            return;
        j->reply(self->response(*j, {{QStringLiteral("address"), j->r.address},
                                     {QStringLiteral("health"), to_json(h)}},
                                link::outcome::done, {}));
    });
}

void dispatcher::switch_done(const std::shared_ptr<job>& j, const link::relay_result& result)
{
    if (owner_gone(*j))
        return;
    const request& r = j->r;
    const bool several =
        (r.what == request_kind::switch_relays && !r.all) || r.what == request_kind::pulse;
    if (result.result == link::outcome::done && several && j->step + 1 < r.relays.size()) {
        ++j->step;
        next_switch(j);
        return;
    }
    const int relay = several ? r.relays[j->step] : 0;
    QJsonObject o = to_json(result);
    if (r.what == request_kind::pulse)
        o.insert(QStringLiteral("pulse_ms"), r.pulse_ms);
    if (several) {
        o.insert(QStringLiteral("relay"), relay);
        const QList<int> rest = r.relays.mid(j->step + 1);
        if (result.result != link::outcome::done && !rest.isEmpty()) {
            QJsonArray not_tried;
            for (int n : rest)
                not_tried.append(n);
            o.insert(QStringLiteral("not_tried"), not_tried);
        }
    }
    QString failure;
    if (result.result != link::outcome::done) {
        failure = relay_failure_text(j->line->context(), r, relay, result);
        if (several && j->step + 1 < r.relays.size())
            failure += QStringLiteral("; %1 %2 not tried")
                           .arg(r.relays.size() - j->step - 1 > 1 ? QStringLiteral("relays")
                                                                  : QStringLiteral("relay"),
                                number_list(r.relays.mid(j->step + 1)));
    }
    j->reply(response(*j, o, result.result, failure));
}

void dispatcher::parameter_done(const std::shared_ptr<job>& j, const link::parameter_result& result)
{
    if (owner_gone(*j))
        return;
    const QString failure = result.result == link::outcome::done
                                ? QString()
                                : parameter_failure_text(j->line->context(), j->r, result);
    j->reply(response(*j, to_json(result), result.result, failure));
}

void dispatcher::next_scan(const std::shared_ptr<job>& j)
{
    const request& r = j->r;
    if (j->step > r.to) {
        QJsonArray found;
        for (int a : j->found)
            found.append(a);
        const link::outcome outcome =
            j->found.isEmpty() ? link::outcome::no_reply : link::outcome::done;
        const QString failure = j->found.isEmpty()
                                    ? scan_failure_text(j->line->context(), r, outcome, r.to)
                                    : QString();
        j->reply(response(*j, {{QStringLiteral("addresses"), found}}, outcome, failure));
        return;
    }
    QPointer<dispatcher> self(this);
    j->line->link().status(j->step, [self, j](const link::relay_result& result) {
        if (!self || self->owner_gone(*j))
            return;
        switch (result.result) {
        case link::outcome::done:
            j->found.append(result.address);
            // Found addresses go out at once: a whole scan takes a while.
            j->reply({{QStringLiteral("id"), j->r.id}, {QStringLiteral("found"), result.address}});
            break;
        case link::outcome::port_closed:
        case link::outcome::line_lost:
        case link::outcome::queue_full: {
            QJsonArray found;
            for (int a : j->found)
                found.append(a);
            j->reply(self->response(
                *j, {{QStringLiteral("address"), result.address}, {QStringLiteral("addresses"), found}},
                result.result,
                scan_failure_text(j->line->context(), j->r, result.result, result.address)));
            return;
        }
        case link::outcome::not_confirmed:
        case link::outcome::no_reply:
        case link::outcome::offline:
        case link::outcome::superseded:
            break;
        }
        ++j->step;
        self->next_scan(j);
    });
}

} // namespace telvar::local

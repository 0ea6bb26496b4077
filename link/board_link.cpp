#include "link/board_link.h"

#include "link/link_log.h"
#include "link/link_text.h"
#include "protocol/canshu_protocol.h"
#include "relay/module1.h"
#include "serial/qt_serial_port.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <map>

Q_LOGGING_CATEGORY(link_log, "telvar.link", QtWarningMsg)

namespace telvar::link {

namespace {

QString hex_of(const frame& bytes)
{
    QString text;
    for (std::uint8_t b : bytes)
        text += QString::asprintf(text.isEmpty() ? "%02X" : " %02X", b);
    return text;
}

bool is_relay_code(std::int32_t code)
{
    return code >= status_query && code <= telvar::switch_all;
}

std::uint8_t read_code(parameter what)
{
    switch (what) {
    case parameter::host_id:
        return read_host_id;
    case parameter::host_channel:
        return read_host_channel;
    case parameter::slave_id:
        return read_slave_id;
    case parameter::slave_channel:
        return read_slave_channel;
    case parameter::pairing:
        break;
    }
    return pair_with_board;
}

std::uint8_t write_code(parameter what)
{
    switch (what) {
    case parameter::host_id:
        return write_host_id;
    case parameter::host_channel:
        return write_host_channel;
    case parameter::slave_id:
        return write_slave_id;
    case parameter::slave_channel:
        return write_slave_channel;
    case parameter::pairing:
        break;
    }
    return pair_with_board;
}

bool is_channel(parameter what)
{
    return what == parameter::host_channel || what == parameter::slave_channel;
}

} // namespace

std::optional<port_spec> port_spec::parse(const QString& text)
{
    if (text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('\\'))) {
        port_spec spec;
        spec.path = text;
        return spec;
    }
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    if (digits.isEmpty() || digits.size() > 3)
        return std::nullopt;
    for (QChar c : digits)
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return std::nullopt;
    const int number = digits.toInt();
    if (number < 1 || number > largest_port)
        return std::nullopt;
    port_spec spec;
    spec.number = number;
    return spec;
}

QString port_spec::describe(const QString& device) const
{
    if (number == 0)
        return path;
    if (device.isEmpty())
        return QStringLiteral("port %1").arg(number);
    return QStringLiteral("port %1 (%2)").arg(number).arg(device);
}

QString open_failure_text(const port_spec& where, const open_result& result)
{
    const QString what = QStringLiteral("cannot open %1: ").arg(where.describe(result.device));
    switch (result.failure) {
    case open_failure::none:
        return {};
    case open_failure::no_port:
        return what
               + QStringLiteral("no serial device has that number on this computer. "
                                "Run \"telvarctl ports\" to see the numbers and their devices, "
                                "or give a device path with -p.");
    case open_failure::not_found:
        return what
               + QStringLiteral("the device does not exist. Check that the adapter is "
                                "plugged in, or choose another port.");
    case open_failure::busy:
        return what
               + QStringLiteral("the port is busy: another program (a Telvar window, a "
                                "bridge, a terminal) holds it open. Close that program or "
                                "its port, then try again.");
    case open_failure::no_permission:
        return what + QStringLiteral("permission denied. ") + permission_advice(result.device);
    case open_failure::other:
        break;
    }
    return what + result.detail;
}

// One request from its first frame to its callback.
struct board_link::request {
    enum class kind { status, switch_one, switch_all, toggle, read, write };
    kind what = kind::status;
    int address = 0;
    int relay = 0;         // 1..16 for switch_one and toggle
    bool pull_in = false;  // the asked state, once known
    parameter param = parameter::host_id;
    std::uint32_t value = 0;
    relay_callback relay_done;
    parameter_callback parameter_done;

    int tries = 0;         // frames of the repeated kind sent so far
    bool checking = false; // the frame in flight is the status query after a silent switch
    bool answered = false; // the board or module sent an accepted reply in this request
    std::optional<relay_states> reported;
    std::optional<std::uint32_t> value_back;
    int frames_sent = 0;

    bool is_parameter() const { return what == kind::read || what == kind::write; }
};

struct board_link::polled_board {
    int misses = 0;                  // polls in a row without an accepted reply
    std::optional<bool> available;   // unknown until the first poll result
};

struct board_link::state {
    std::deque<request> queue;
    std::optional<request> current;
    // The frame in flight: what it asks and whom, so a reply can be matched.
    bool in_flight = false;
    bool poll_in_flight = false;
    int flight_address = 0;
    std::uint8_t flight_code = 0;
    bool flight_parameter = false;

    QList<int> polled;
    int next_poll = 0;
    bool poll_due = false;
    std::map<int, polled_board> boards;
    std::map<int, relay_states> reported;

    port_spec where;
    bool reopening = false;
    int reopen_delay_ms = 0;
    counters stats;
};

board_link::board_link(link_settings settings, QObject* parent)
    : board_link(std::make_unique<qt_serial_port>(), settings, parent)
{
}

board_link::board_link(std::unique_ptr<serial_port> port, link_settings settings, QObject* parent)
    : QObject(parent), port_(std::move(port)), settings_(settings), s_(std::make_unique<state>())
{
    port_->setParent(nullptr);
    reply_timer_.setSingleShot(true);
    reply_timer_.setTimerType(Qt::PreciseTimer);
    poll_timer_.setSingleShot(true);
    poll_timer_.setTimerType(Qt::PreciseTimer);
    reopen_timer_.setSingleShot(true);
    connect(&reply_timer_, &QTimer::timeout, this, &board_link::reply_window_closed);
    connect(&poll_timer_, &QTimer::timeout, this, [this] {
        s_->poll_due = true;
        pump();
    });
    connect(&reopen_timer_, &QTimer::timeout, this, &board_link::try_reopen);
    connect(port_.get(), &serial_port::received, this, &board_link::take_groups);
    connect(port_.get(), &serial_port::lost, this, &board_link::on_lost);
}

board_link::~board_link()
{
    // Callbacks of waiting requests are dropped with the link: their owners may be gone too.
    port_->disconnect(this);
    port_->close();
}

open_result board_link::open(const port_spec& where)
{
    reopen_timer_.stop();
    s_->reopening = false;
    s_->where = where;
    const open_result result = open_port();
    if (result.ok) {
        qCDebug(link_log).noquote() << "opened" << where.describe(result.device);
        s_->poll_due = true;
        pump();
    }
    return result;
}

open_result board_link::open_port()
{
    const port_spec& where = s_->where;
    // A number is mapped to its device afresh at every opening.
    const open_result result =
        where.number > 0 ? port_->open(where.number) : port_->open_device(where.path);
    if (result.ok)
        port_->set_threshold(frame_length);
    return result;
}

void board_link::close()
{
    reopen_timer_.stop();
    s_->reopening = false;
    port_->close();
    end_all(QStringLiteral("closed"));
}

bool board_link::is_open() const
{
    return port_->is_open();
}

QString board_link::device() const
{
    return port_->device();
}

const link_settings& board_link::settings() const
{
    return settings_;
}

void board_link::status(int address, relay_callback done)
{
    request r;
    r.what = request::kind::status;
    r.address = address;
    r.relay_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::switch_relay(int address, int relay, bool pull_in, relay_callback done)
{
    request r;
    r.what = request::kind::switch_one;
    r.address = address;
    r.relay = relay;
    r.pull_in = pull_in;
    r.relay_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::switch_all(int address, bool pull_in, relay_callback done)
{
    request r;
    r.what = request::kind::switch_all;
    r.address = address;
    r.pull_in = pull_in;
    r.relay_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::toggle(int address, int relay, relay_callback done)
{
    request r;
    r.what = request::kind::toggle;
    r.address = address;
    r.relay = relay;
    r.relay_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::read_parameter(parameter what, int address, parameter_callback done)
{
    request r;
    r.what = request::kind::read;
    r.param = what;
    r.address = address;
    r.parameter_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::write_parameter(parameter what, int address, std::uint32_t value,
                                 parameter_callback done)
{
    request r;
    r.what = request::kind::write;
    r.param = what;
    r.address = address;
    r.value = value;
    r.parameter_done = std::move(done);
    enqueue(std::move(r));
}

void board_link::pair(int address, parameter_callback done)
{
    read_parameter(parameter::pairing, address, std::move(done));
}

void board_link::set_polled(const QList<int>& addresses)
{
    QList<int> unique;
    for (int a : addresses)
        if (!unique.contains(a))
            unique.append(a);
    s_->polled = unique;
    for (auto it = s_->boards.begin(); it != s_->boards.end();)
        it = unique.contains(it->first) ? std::next(it) : s_->boards.erase(it);
    for (int a : unique)
        s_->boards.try_emplace(a);
    s_->next_poll = 0;
    if (unique.isEmpty()) {
        poll_timer_.stop();
        s_->poll_due = false;
        return;
    }
    if (!poll_timer_.isActive()) {
        s_->poll_due = true;
        pump();
    }
}

std::optional<relay_states> board_link::last_reported(int address) const
{
    const auto it = s_->reported.find(address);
    if (it == s_->reported.end())
        return std::nullopt;
    return it->second;
}

bool board_link::available(int address) const
{
    const auto it = s_->boards.find(address);
    return it != s_->boards.end() && it->second.available.value_or(false);
}

board_link::counters board_link::stats() const
{
    return s_->stats;
}

void board_link::enqueue(request r)
{
    if (!port_->is_open()) {
        // Not at once: the caller may not be ready for its callback inside its own call.
        auto shared = std::make_shared<request>(std::move(r));
        QTimer::singleShot(0, this, [this, shared] { deliver(*shared, outcome::port_closed); });
        return;
    }
    s_->queue.push_back(std::move(r));
    pump();
}

void board_link::pump()
{
    if (s_->in_flight || s_->current || !port_->is_open())
        return;
    if (!s_->queue.empty()) {
        s_->current = std::move(s_->queue.front());
        s_->queue.pop_front();
        start_request();
        return;
    }
    if (s_->poll_due && !s_->polled.isEmpty())
        send_poll();
}

void board_link::start_request()
{
    request& r = *s_->current;
    switch (r.what) {
    case request::kind::status:
        send_relay(r.address, status_query, 0, 0);
        return;
    case request::kind::toggle: {
        const auto known = last_reported(r.address);
        if (!known) {
            // The board is asked first: a toggle goes from what it reports.
            send_relay(r.address, status_query, 0, 0);
            return;
        }
        r.pull_in = !(*known)[static_cast<std::size_t>(r.relay - 1)];
        r.what = request::kind::switch_one;
        send_switch();
        return;
    }
    case request::kind::switch_one:
    case request::kind::switch_all:
        send_switch();
        return;
    case request::kind::read:
    case request::kind::write:
        send_parameter();
        return;
    }
}

void board_link::send_switch()
{
    request& r = *s_->current;
    r.checking = false;
    if (r.what == request::kind::switch_all) {
        const std::uint8_t both = r.pull_in ? 0xFF : 0x00;
        send_relay(r.address, telvar::switch_all, both, both);
    } else {
        send_relay(r.address, r.pull_in ? pull_in_relay : release_relay, 0,
                   static_cast<std::uint8_t>(r.relay));
    }
}

void board_link::send_parameter()
{
    request& r = *s_->current;
    const std::uint8_t code = r.what == request::kind::write ? write_code(r.param) : read_code(r.param);
    const frame bytes = canshu_request(code, static_cast<std::uint8_t>(r.address), r.value);
    Module1::send_canshu_frame(*port_, bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5],
                               bytes[6]);
    s_->flight_parameter = true;
    s_->flight_code = code;
    s_->flight_address = bytes[1];
    after_send(Module1::canshu_frame);
}

void board_link::send_relay(int address, std::uint8_t code, std::uint8_t param1,
                            std::uint8_t param2)
{
    // Input is discarded before the frame goes out, as the windows do.
    Module1::send_relay_frame(*port_, address, code, param1, param2);
    s_->flight_parameter = false;
    s_->flight_code = code;
    s_->flight_address = address & 0xFF;
    after_send(Module1::tx_frame);
}

void board_link::after_send(const frame& bytes)
{
    s_->in_flight = true;
    ++s_->stats.frames_sent;
    if (s_->current && !s_->poll_in_flight)
        ++s_->current->frames_sent;
    qCDebug(link_log).noquote() << "sent" << hex_of(bytes);
    emit frame_sent(bytes);
    reply_timer_.start(settings_.reply_window_ms);
}

void board_link::send_poll()
{
    const QList<int>& polled = s_->polled;
    const int address = polled[s_->next_poll % polled.size()];
    s_->next_poll = (s_->next_poll + 1) % polled.size();
    s_->poll_due = false;
    s_->poll_in_flight = true;
    poll_timer_.start(settings_.poll_interval_ms);
    send_relay(address, status_query, 0, 0);
}

void board_link::take_groups()
{
    reply_group group{};
    // Groups of eight from the first byte after the frame: the port raises
    // the event only once a whole group waits.
    while (read_group(*port_, group)) {
        frame bytes{};
        std::copy(group.begin(), group.end(), bytes.begin());
        if (!is_valid_reply(group)) {
            ++s_->stats.groups_dropped;
            qCDebug(link_log).noquote() << "dropped" << hex_of(bytes);
            emit group_received(bytes, false);
            continue;
        }
        if (!answers_flight(group)) {
            ++s_->stats.groups_unmatched;
            qCDebug(link_log).noquote() << "unmatched" << hex_of(bytes);
            emit group_received(bytes, false);
            continue;
        }
        ++s_->stats.replies_accepted;
        qCDebug(link_log).noquote() << "received" << hex_of(bytes);
        emit group_received(bytes, true);
        QPointer<board_link> alive(this);
        accept(group);
        if (!alive)
            return;
    }
}

bool board_link::answers_flight(const reply_group& group) const
{
    if (!s_->in_flight)
        return false;
    if (s_->flight_parameter) {
        // Host module requests are answered with FF, a board's and pairing with its address.
        const int selector = s_->flight_code >= read_host_id && s_->flight_code <= write_host_channel
                                 ? host_target
                                 : s_->flight_address;
        return group[1] == selector && group[2] == s_->flight_code;
    }
    return group[1] == s_->flight_address && is_relay_code(group[2]);
}

void board_link::accept(const reply_group& group)
{
    reply_timer_.stop();
    s_->in_flight = false;
    if (s_->flight_parameter) {
        request& r = *s_->current;
        r.answered = true;
        const canshu_reply reply = decode_canshu_reply(group);
        r.value_back = reply.value;
        if (r.what == request::kind::write) {
            const std::uint32_t asked = is_channel(r.param) ? (r.value & 0xFFu) : r.value;
            finish(reply.value == asked ? outcome::done : outcome::not_confirmed);
        } else {
            finish(outcome::done);
        }
        return;
    }

    rx_buffer rx{};
    std::copy(group.begin(), group.end(), rx.begin());
    const relay_states states = status_reply_states(rx);
    const int address = group[1];
    s_->reported[address] = states;
    board_answered(address);
    QPointer<board_link> alive(this);
    emit board_reported(address, states);
    if (!alive)
        return;

    if (s_->poll_in_flight) {
        s_->poll_in_flight = false;
        pump();
        return;
    }
    if (!s_->current)
        return;
    request& r = *s_->current;
    r.answered = true;
    r.reported = states;
    switch (r.what) {
    case request::kind::status:
        finish(outcome::done);
        return;
    case request::kind::toggle:
        r.pull_in = !states[static_cast<std::size_t>(r.relay - 1)];
        r.what = request::kind::switch_one;
        r.tries = 0;
        send_switch();
        return;
    case request::kind::switch_one:
    case request::kind::switch_all:
        if (shows_asked(r, states))
            finish(outcome::done);
        else
            switch_again();
        return;
    case request::kind::read:
    case request::kind::write:
        return;
    }
}

void board_link::board_answered(int address)
{
    const auto it = s_->boards.find(address);
    if (it == s_->boards.end())
        return;
    it->second.misses = 0;
    if (it->second.available != true) {
        it->second.available = true;
        emit availability_changed(address, true);
    }
}

bool board_link::shows_asked(const request& r, const relay_states& states)
{
    if (r.what == request::kind::switch_all)
        return std::all_of(states.begin(), states.end(),
                           [&](bool on) { return on == r.pull_in; });
    return states[static_cast<std::size_t>(r.relay - 1)] == r.pull_in;
}

void board_link::switch_again()
{
    request& r = *s_->current;
    // tries counts the switch frames after the first.
    if (r.tries < settings_.retries) {
        ++r.tries;
        send_switch();
        return;
    }
    finish(r.answered ? outcome::not_confirmed : outcome::no_reply);
}

void board_link::reply_window_closed()
{
    if (!s_->in_flight)
        return;
    s_->in_flight = false;
    if (s_->poll_in_flight) {
        s_->poll_in_flight = false;
        const int address = s_->flight_address;
        const auto it = s_->boards.find(address);
        if (it != s_->boards.end()) {
            polled_board& b = it->second;
            ++b.misses;
            if (b.misses >= settings_.unavailable_after && b.available != false) {
                b.available = false;
                QPointer<board_link> alive(this);
                emit availability_changed(address, false);
                if (!alive)
                    return;
            }
        }
        pump();
        return;
    }
    if (!s_->current)
        return;
    request& r = *s_->current;
    switch (r.what) {
    case request::kind::status:
    case request::kind::toggle:
    case request::kind::read:
    case request::kind::write:
        if (r.tries < settings_.retries) {
            ++r.tries;
            if (r.is_parameter())
                send_parameter();
            else
                send_relay(r.address, status_query, 0, 0);
            return;
        }
        finish(r.answered ? outcome::not_confirmed : outcome::no_reply);
        return;
    case request::kind::switch_one:
    case request::kind::switch_all:
        if (!r.checking) {
            // The switch may have gone through with its answer lost: ask.
            r.checking = true;
            send_relay(r.address, status_query, 0, 0);
            return;
        }
        switch_again();
        return;
    }
}

void board_link::finish(outcome result)
{
    reply_timer_.stop();
    s_->in_flight = false;
    request r = std::move(*s_->current);
    s_->current.reset();
    QPointer<board_link> alive(this);
    deliver(r, result);
    if (alive)
        pump();
}

void board_link::deliver(request& r, outcome result)
{
    qCDebug(link_log).noquote() << "request for address" << r.address << "ended:"
                                << outcome_name(result);
    if (r.is_parameter()) {
        parameter_result p;
        p.result = result;
        p.what = r.param;
        p.address = r.address;
        p.value = r.value_back;
        p.frames_sent = r.frames_sent;
        if (r.parameter_done)
            r.parameter_done(p);
        return;
    }
    relay_result out;
    out.result = result;
    out.address = r.address;
    out.reported = r.reported;
    out.frames_sent = r.frames_sent;
    if (r.relay_done)
        r.relay_done(out);
}

void board_link::end_all(const QString& why)
{
    reply_timer_.stop();
    poll_timer_.stop();
    s_->in_flight = false;
    s_->poll_in_flight = false;
    std::deque<request> ending;
    if (s_->current)
        ending.push_back(std::move(*s_->current));
    s_->current.reset();
    for (request& r : s_->queue)
        ending.push_back(std::move(r));
    s_->queue.clear();
    qCDebug(link_log).noquote() << "line" << why << "with" << ending.size() << "requests waiting";
    QPointer<board_link> alive(this);
    for (request& r : ending) {
        deliver(r, outcome::port_closed);
        if (!alive)
            return;
    }
}

void board_link::on_lost(const QString& reason)
{
    QPointer<board_link> alive(this);
    end_all(QStringLiteral("lost"));
    if (!alive)
        return;
    for (auto& [address, b] : s_->boards) {
        b.misses = 0;
        if (b.available != false) {
            b.available = false;
            emit availability_changed(address, false);
            if (!alive)
                return;
        }
    }
    s_->reopening = true;
    s_->reopen_delay_ms = settings_.reopen_first_ms;
    reopen_timer_.start(s_->reopen_delay_ms);
    emit line_lost(reason);
}

void board_link::try_reopen()
{
    if (!s_->reopening)
        return;
    const open_result result = open_port();
    if (result.ok) {
        s_->reopening = false;
        s_->poll_due = !s_->polled.isEmpty();
        emit line_restored(result.device);
        pump();
        return;
    }
    s_->reopen_delay_ms = std::min(s_->reopen_delay_ms * 2, settings_.reopen_max_ms);
    reopen_timer_.start(s_->reopen_delay_ms);
    emit reopen_failed(result, s_->reopen_delay_ms);
}

QJsonArray relays_json(const relay_states& relays)
{
    QJsonArray array;
    for (bool on : relays)
        array.append(on);
    return array;
}

QString outcome_name(outcome result)
{
    switch (result) {
    case outcome::done:
        return QStringLiteral("done");
    case outcome::not_confirmed:
        return QStringLiteral("not_confirmed");
    case outcome::no_reply:
        return QStringLiteral("no_reply");
    case outcome::port_closed:
        return QStringLiteral("port_closed");
    case outcome::line_lost:
        return QStringLiteral("line_lost");
    case outcome::offline:
        return QStringLiteral("offline");
    case outcome::queue_full:
        return QStringLiteral("queue_full");
    case outcome::superseded:
        return QStringLiteral("superseded");
    }
    return {};
}

} // namespace telvar::link

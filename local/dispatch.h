// The local front's one road to the lines: carries out a client's request
// on the line it names, answers with what the board said, and turns the
// link's reports into events for the subscribers. Every call on the link is
// in dispatch.cpp. Clients are known only by an owner token: once it has
// expired, nothing more reaches the client and its requests take no next
// step.
#pragma once

#include "link/board_link.h"
#include "local/request.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace telvar::local {

// One line the service holds, as the program hands it over.
struct served_line {
    QString name;
    link::board_link* link = nullptr;
    link::port_spec port;
    QMap<int, QString> boards;  // the boards it serves by address, with their names ("" for none)
};

class dispatcher : public QObject {
    Q_OBJECT
public:
    using answer = std::function<void(const QJsonObject&)>;

    explicit dispatcher(QList<served_line> lines, QObject* parent = nullptr);
    ~dispatcher() override;

    /**
     * Carries out @p r. @p reply gets every message it yields, in order: a
     * scan's finds, the response (the message with "ok"), and for a
     * subscription the events from then on. Nothing reaches @p reply once
     * @p owner has expired, and a request of several steps stops there.
     */
    void carry_out(const request& r, const std::shared_ptr<void>& owner, answer reply);

    /** A reload: @p name now serves @p boards on @p port (the same link). */
    void update(const QString& name, const link::port_spec& port, const QMap<int, QString>& boards);

    /** Ends the subscription of @p owner at once (a client that went away). */
    void forget(const void* owner);

    int subscriber_count() const { return int(subscribers_.size()); }
    /** Results that came back for an owner that had gone. */
    quint64 dropped_answers() const { return dropped_; }

private:
    struct line_state;
    struct job;
    struct subscriber {
        const void* key = nullptr;
        std::weak_ptr<void> owner;
        QString line;            // empty: every line
        QList<int> addresses;    // empty: every board
        answer reply;
    };

    line_state* find_line(const request& r, QString& error);
    QJsonObject lines_answer(const request& r) const;
    void subscribe(const request& r, const std::shared_ptr<void>& owner, answer reply);
    void next_switch(const std::shared_ptr<job>& j);
    void switch_done(const std::shared_ptr<job>& j, const link::relay_result& result);
    void next_scan(const std::shared_ptr<job>& j);
    void pulse(const std::shared_ptr<job>& j);
    void stats(const std::shared_ptr<job>& j);
    void parameter_done(const std::shared_ptr<job>& j, const link::parameter_result& result);
    bool owner_gone(const job& j);
    QJsonObject response(const job& j, const QJsonObject& result, link::outcome outcome,
                         const QString& failure) const;

    void watch(line_state& line);
    void on_reported(line_state& line, int address, const link::relay_states& relays);
    void fan_out(const line_state& line, int address, const QJsonObject& event);

    std::map<QString, std::unique_ptr<line_state>> by_name_;
    QList<line_state*> lines_;  // in the order given
    std::vector<subscriber> subscribers_;  // in the order they subscribed
    quint64 dropped_ = 0;
};

} // namespace telvar::local

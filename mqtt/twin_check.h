// Two bridges with one id on one broker: each process has an identity (a
// random token, its start time, host and process id). A bridge that connects
// asks on T/bridge/probe whether another one serves its topics; every live
// bridge of the id answers on T/bridge/alive. Of two live bridges the one
// that started first stays and the other stops; one that died answers
// nothing, so its successor starts once the probe time has passed. The
// rule only reads messages: the bridge publishes and keeps the time.
#pragma once

#include "mqtt/topics.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace telvar::mqtt {

struct bridge_identity {
    QString token;  // random, one per process; part of the broker client id
    qint64 since_ms = 0;  // when the process started, milliseconds since 1970
    QString host;
    qint64 pid = 0;

    /** A fresh identity for this process. */
    static bridge_identity of_this_process();
    /** Reads what payload() wrote; nothing for anything else. */
    static std::optional<bridge_identity> from_payload(const QByteArray& payload);

    QByteArray payload() const;
    /** Started before @p other; the token decides between equal start times. */
    bool older_than(const bridge_identity& other) const;
    /** "process 1234 on host hall-pc, running since 2024-05-01 10:00:00". */
    QString describe() const;
};

class twin_check {
public:
    twin_check(const topic_scheme& topics, const bridge_identity& self);

    QString probe_topic() const { return base_ + QStringLiteral("/bridge/probe"); }
    QString alive_topic() const { return base_ + QStringLiteral("/bridge/alive"); }
    QString filter() const { return base_ + QStringLiteral("/bridge/+"); }

    struct verdict {
        enum class kind {
            none,    // not about a twin, our own message, or a younger twin's answer
            answer,  // a younger twin asks: tell it this bridge is alive
            yield,   // an older twin is alive: this bridge stops
        };
        kind what = kind::none;
        bridge_identity other;
    };
    verdict judge(const QString& topic, const QByteArray& payload) const;

private:
    QString base_;
    bridge_identity self_;
};

} // namespace telvar::mqtt

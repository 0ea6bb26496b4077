// A client of the service's local socket for tests: sends request lines,
// keeps every message that comes back in order, and waits for answers on
// real I/O with the event loop running, so a server in the same process
// goes on serving meanwhile.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QString>

#include <functional>

namespace telvar::test {

class local_client {
public:
    local_client();

    bool connect_to(const QString& path, int timeout_ms = 5000);
    /** Writes @p line and its newline as it stands. */
    void send(const QByteArray& line);
    /** Sends the JSON object @p request with "id" @p id added. */
    void send(const QByteArray& request, const QString& id);
    /** Sends @p request with a fresh id and waits for its response; empty when none came. */
    QJsonObject ask(const QByteArray& request, int timeout_ms = 20000);
    /** The response (the message with "ok") to @p id, waiting for it; empty when none came. */
    QJsonObject response(const QString& id, int timeout_ms = 20000);

    /** Runs the event loop until @p done holds or the time is up. */
    bool wait(const std::function<bool()>& done, int timeout_ms = 20000);

    /** The events received so far, of kind @p kind (all when empty). */
    QList<QJsonObject> events(const QString& kind = {}) const;

    QList<QJsonObject> got;  // every message, in the order it came
    QLocalSocket socket;

private:
    void take();

    QByteArray pending_;
    QHash<QString, QJsonObject> responses_;  // by id, for ids that are strings
    int next_id_ = 0;
};

/** The relays of a JSON array of 16 booleans as 4 hex digits, bit n-1 for relay n. */
QString hex4(const QJsonValue& relays);

} // namespace telvar::test

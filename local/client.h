// One client of the local socket: its request lines are read, handed to the
// dispatcher one at a time in the order sent and answered in JSON lines, and
// nothing ever waits on the client. While its answers pile up unread, its next requests
// are left unread too; a client whose unread output passes the bound
// (events keep coming) is cut off. A client that has sent its last request
// gets its answers, and then the connection closes, unless it subscribed.
#pragma once

#include "local/dispatch.h"
#include "local/request.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

namespace telvar::local {

class connection;

struct client_limits {
    qint64 output_bytes = 1024 * 1024;  // unread output that cuts the client off
    qint64 pause_bytes = 64 * 1024;     // unread output that holds its next requests back
    int waiting = 64;                   // requests read and waiting their turn
};

class client : public QObject {
    Q_OBJECT
public:
    client(connection* stream, int number, QString who, dispatcher& lines, client_limits limits,
           QObject* parent = nullptr);
    ~client() override;

    int number() const { return number_; }
    QString who() const { return who_; }

    /** Ends the connection at once; nothing more is sent or carried out for it. */
    void close();

signals:
    /** The client went away, was cut off or closed: delete it later. */
    void gone(telvar::local::client* self);
    void logged(QtMsgType level, const QString& text);

private:
    void pump();
    void take(const line_splitter::piece& piece);
    void send(const QJsonObject& o);
    bool held_back() const;
    void end();

    connection* stream_;
    int number_;
    QString who_;
    dispatcher& lines_;
    client_limits limits_;
    std::shared_ptr<void> token_;  // expires when the client ends: the dispatcher's answers stop
    line_splitter splitter_;
    struct pending {
        std::optional<request> r;
        QJsonObject refused;  // the answer to a line that is no request
    };
    std::deque<pending> waiting_;
    bool busy_ = false;  // a request is being carried out
    bool subscribed_ = false;
    bool pumping_ = false;
    bool again_ = false;
};

} // namespace telvar::local

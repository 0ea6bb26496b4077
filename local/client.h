// One client of the local socket: its request lines are read, handed to the
// dispatcher a few at a time and answered in JSON lines, and nothing ever
// waits on the client. While its answers pile up unread, its next requests
// are left unread too; a client whose unread output passes the bound
// (events keep coming) is cut off.
#pragma once

#include "local/dispatch.h"
#include "local/request.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>

class QLocalSocket;

namespace telvar::local {

struct client_limits {
    qint64 output_bytes = 1024 * 1024;  // unread output that cuts the client off
    qint64 pause_bytes = 64 * 1024;     // unread output that holds its next requests back
    int at_once = 8;                    // requests of one client at the lines at a time
    int waiting = 64;                   // requests read and waiting their turn
};

class client : public QObject {
    Q_OBJECT
public:
    client(QLocalSocket* socket, int number, QString who, dispatcher& lines, client_limits limits,
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

    QLocalSocket* socket_;
    int number_;
    QString who_;
    dispatcher& lines_;
    client_limits limits_;
    std::shared_ptr<void> token_;  // expires when the client ends: the dispatcher's answers stop
    line_splitter splitter_;
    std::deque<request> waiting_;
    int at_lines_ = 0;
    bool pumping_ = false;
    bool again_ = false;
};

} // namespace telvar::local

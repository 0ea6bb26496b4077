#include "local/client.h"

#include "local/json_forms.h"
#include "local/local_log.h"

#include <QLocalSocket>

namespace telvar::local {

client::client(QLocalSocket* socket, int number, QString who, dispatcher& lines,
               client_limits limits, QObject* parent)
    : QObject(parent), socket_(socket), number_(number), who_(std::move(who)), lines_(lines),
      limits_(limits), token_(std::make_shared<int>(number))
{
    socket_->setParent(this);
    // While its requests are held back, the socket takes no more from the
    // client than this: its writes wait, the service's memory does not grow.
    socket_->setReadBufferSize(4 * max_request_bytes);
    connect(socket_, &QLocalSocket::readyRead, this, &client::pump);
    connect(socket_, &QLocalSocket::bytesWritten, this, &client::pump);
    connect(socket_, &QLocalSocket::disconnected, this, [this] {
        if (token_)
            qCDebug(local_log, "client %d gone; %d of its requests end unseen", number_,
                    at_lines_ + int(waiting_.size()));
        end();
    });
}

client::~client()
{
    if (token_) {
        lines_.forget(token_.get());
        token_.reset();
    }
}

void client::close()
{
    end();
    socket_->abort();
}

bool client::held_back() const
{
    return int(waiting_.size()) >= limits_.waiting || socket_->bytesToWrite() > limits_.pause_bytes;
}

void client::pump()
{
    // Answers given at once come back into pump(): they ask for another round.
    if (pumping_) {
        again_ = true;
        return;
    }
    pumping_ = true;
    do {
        again_ = false;
        while (token_ && !held_back() && socket_->bytesAvailable() > 0)
            for (const line_splitter::piece& piece : splitter_.take(socket_->read(4096)))
                take(piece);
        while (token_ && at_lines_ < limits_.at_once && !waiting_.empty()) {
            const request r = std::move(waiting_.front());
            waiting_.pop_front();
            ++at_lines_;
            lines_.carry_out(r, token_, [this](const QJsonObject& o) {
                send(o);
                if (o.contains(QLatin1String("ok"))) {
                    --at_lines_;
                    pump();
                }
            });
        }
    } while (again_ && token_);
    pumping_ = false;
}

void client::take(const line_splitter::piece& piece)
{
    if (piece.too_long) {
        send(refusal(QJsonValue(), QStringLiteral("usage"),
                     QStringLiteral("request line longer than %1 bytes: refused, and the rest "
                                    "of that line is skipped")
                         .arg(max_request_bytes)));
        return;
    }
    const read_result read = read_request(piece.text);
    if (!read.ok) {
        qCDebug(local_log, "client %d: refused: %s", number_, qUtf8Printable(read.message));
        send(refusal(read.id, QStringLiteral("usage"), read.message));
        return;
    }
    qCDebug(local_log, "client %d: %s", number_, piece.text.left(200).constData());
    waiting_.push_back(*read.ok);
}

void client::send(const QJsonObject& o)
{
    if (!token_)
        return;
    socket_->write(wire_line(o));
    if (socket_->bytesToWrite() <= limits_.output_bytes)
        return;
    emit logged(QtWarningMsg,
                QStringLiteral("client %1 (%2) cut off: more than %3 KiB of answers and events "
                               "left unread")
                    .arg(number_)
                    .arg(who_)
                    .arg(limits_.output_bytes / 1024));
    end();
    socket_->abort();
}

void client::end()
{
    if (!token_)
        return;
    lines_.forget(token_.get());
    token_.reset();
    waiting_.clear();
    emit gone(this);
}

} // namespace telvar::local

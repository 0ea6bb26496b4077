#include "local/client.h"

#include "local/connection.h"
#include "local/json_forms.h"
#include "local/local_log.h"

namespace telvar::local {

client::client(connection* stream, int number, QString who, dispatcher& lines,
               client_limits limits, QObject* parent)
    : QObject(parent), stream_(stream), number_(number), who_(std::move(who)), lines_(lines),
      limits_(limits), token_(std::make_shared<int>(number))
{
    stream_->setParent(this);
    connect(stream_, &connection::readable, this, &client::pump);
    connect(stream_, &connection::written, this, &client::pump);
    connect(stream_, &connection::closed, this, [this] {
        if (token_)
            qCDebug(local_log, "client %d gone; %d of its requests end unseen", number_,
                    int(busy_) + int(waiting_.size()));
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
    stream_->abort();
}

bool client::held_back() const
{
    return int(waiting_.size()) >= limits_.waiting || stream_->bytes_to_write() > limits_.pause_bytes;
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
        while (token_ && !held_back()) {
            const QByteArray bytes = stream_->read(4096);
            if (bytes.isEmpty())
                break;
            for (const line_splitter::piece& piece : splitter_.take(bytes))
                take(piece);
        }
        if (token_ && stream_->at_end() && !held_back())
            for (const line_splitter::piece& piece : splitter_.finish())
                take(piece);
        // One request at a time, in the order sent: each is answered before
        // the next starts, and no client holds more than one place in a queue.
        while (token_ && !busy_ && !waiting_.empty()) {
            const pending next = std::move(waiting_.front());
            waiting_.pop_front();
            if (!next.r) {
                send(next.refused);
                continue;
            }
            busy_ = true;
            lines_.carry_out(*next.r, token_, [this, kind = next.r->what](const QJsonObject& o) {
                send(o);
                if (!o.contains(QLatin1String("ok")))
                    return;
                if (kind == request_kind::subscribe && o.value(QLatin1String("ok")).toBool())
                    subscribed_ = true;
                busy_ = false;
                pump();
            });
        }
    } while (again_ && token_);
    pumping_ = false;
    // Its last request answered, a client that shut its side is done with.
    if (token_ && stream_->at_end() && waiting_.empty() && !busy_ && !subscribed_)
        stream_->close_when_written();
}

void client::take(const line_splitter::piece& piece)
{
    // Refusals wait their turn too: every line is answered in the order it came.
    if (piece.too_long) {
        waiting_.push_back({std::nullopt,
                            refusal(QJsonValue(), QStringLiteral("usage"),
                                    QStringLiteral("request line longer than %1 bytes: refused, "
                                                   "and the rest of that line is skipped")
                                        .arg(max_request_bytes))});
        return;
    }
    const read_result read = read_request(piece.text);
    if (!read.ok) {
        qCDebug(local_log, "client %d: refused: %s", number_, qUtf8Printable(read.message));
        waiting_.push_back({std::nullopt, refusal(read.id, QStringLiteral("usage"), read.message)});
        return;
    }
    qCDebug(local_log, "client %d: %s", number_, piece.text.left(200).constData());
    waiting_.push_back({read.ok, {}});
}

void client::send(const QJsonObject& o)
{
    if (!token_)
        return;
    stream_->write(wire_line(o));
    if (stream_->bytes_to_write() <= limits_.output_bytes)
        return;
    emit logged(QtWarningMsg,
                QStringLiteral("client %1 (%2) cut off: more than %3 KiB of answers and events "
                               "left unread")
                    .arg(number_)
                    .arg(who_)
                    .arg(limits_.output_bytes / 1024));
    end();
    stream_->abort();
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

// One client's byte stream, chosen by platform file. On Linux it is the
// accepted socket itself, driven by socket notifiers: a client that has sent
// its last request and shut its sending side (echo … | socat) still gets
// every answer, and a write never blocks or raises SIGPIPE. On Windows it is
// a QLocalSocket on the pipe, which has no half-closed state.
#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

namespace telvar::local {

class connection : public QObject {
    Q_OBJECT
public:
    /** Takes over the connected @p descriptor, as QLocalServer hands it over. */
    explicit connection(qintptr descriptor, QObject* parent = nullptr);
    ~connection() override;

    qintptr descriptor() const;
    bool is_open() const;

    /** Up to @p max of the bytes the client sent; empty when none wait. */
    QByteArray read(qint64 max);
    /** The client has sent its last byte: it shut its sending side, or went away. */
    bool at_end() const;

    /** Queues @p bytes; they go out as fast as the client takes them. */
    void write(const QByteArray& bytes);
    /** Bytes queued that the client's side has not taken yet. */
    qint64 bytes_to_write() const;

    /** Closes once every queued byte has gone out. */
    void close_when_written();
    /** Closes at once; what was not written is dropped. */
    void abort();

signals:
    /** Bytes arrived, or the client sent its last one. */
    void readable();
    /** Queued bytes went out. */
    void written();
    /** The client went away or the connection was closed: nothing more goes either way. */
    void closed();

private:
    struct state;
    std::unique_ptr<state> s_;
};

} // namespace telvar::local

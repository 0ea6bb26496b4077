// Who may use the web front when a password is set: the password compared
// in constant time, the session tokens a login hands out (random, expiring),
// and the pause before answering a client address that has just failed
// several times in a row. No sockets here; the server asks and waits.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>

namespace telvar::web {

// A session lasts this long after the login that made it.
constexpr qint64 session_lifetime_ms = 12LL * 60 * 60 * 1000;
// Failures in a row an address has before its tries are slowed.
constexpr int free_failures = 3;

class login_guard {
public:
    /** @p password empty: no login is needed. */
    explicit login_guard(QByteArray password = {});

    bool required() const { return !password_.isEmpty(); }
    bool password_matches(const QByteArray& given) const;

    /** A new session token (64 hex digits) valid until @p now_ms + session_lifetime_ms. */
    QByteArray open_session(qint64 now_ms);
    bool session_valid(const QByteArray& token, qint64 now_ms);

    /** How long to hold back the answer to a try from @p from. */
    int delay_ms(const QHostAddress& from) const;
    void failed(const QHostAddress& from);
    void succeeded(const QHostAddress& from);

private:
    QByteArray password_;
    QHash<QByteArray, qint64> sessions_;  // token to its expiry
    QHash<QString, int> failures_;        // address to failures in a row
};

/** The password of an "Authorization: Basic ..." header (any user), or nothing. */
QByteArray basic_password(const QByteArray& authorization);

/** The value of cookie @p name in a Cookie header. */
QByteArray cookie_value(const QByteArray& cookies, const QByteArray& name);

} // namespace telvar::web

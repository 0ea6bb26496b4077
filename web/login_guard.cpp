#include "web/login_guard.h"

#include <QCryptographicHash>
#include <QList>
#include <QRandomGenerator>

#include <algorithm>

namespace telvar::web {

namespace {

// Sessions and addresses kept at most; beyond that the oldest knowledge goes.
constexpr int max_sessions = 256;
constexpr int max_addresses = 1024;
constexpr int longest_delay_ms = 16000;

QByteArray digest(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256);
}

} // namespace

login_guard::login_guard(QByteArray password) : password_(std::move(password)) {}

bool login_guard::password_matches(const QByteArray& given) const
{
    if (!required())
        return true;
    // Digests of equal length, compared without an early exit: the time
    // tells nothing about how much of the password was right.
    const QByteArray a = digest(password_);
    const QByteArray b = digest(given);
    unsigned char differ = 0;
    for (int i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

QByteArray login_guard::open_session(qint64 now_ms)
{
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it.value() <= now_ms ? sessions_.erase(it) : std::next(it);
    if (sessions_.size() >= max_sessions) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end());
        sessions_.erase(oldest);
    }
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray token =
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
    sessions_.insert(token, now_ms + session_lifetime_ms);
    return token;
}

bool login_guard::session_valid(const QByteArray& token, qint64 now_ms)
{
    const auto it = sessions_.find(token);
    if (it == sessions_.end())
        return false;
    if (it.value() <= now_ms) {
        sessions_.erase(it);
        return false;
    }
    return true;
}

int login_guard::delay_ms(const QHostAddress& from) const
{
    const int n = failures_.value(from.toString());
    if (n < free_failures)
        return 0;
    return std::min(longest_delay_ms, 1000 << std::min(n - free_failures, 4));
}

void login_guard::failed(const QHostAddress& from)
{
    if (failures_.size() >= max_addresses && !failures_.contains(from.toString()))
        failures_.clear();
    ++failures_[from.toString()];
}

void login_guard::succeeded(const QHostAddress& from)
{
    failures_.remove(from.toString());
}

QByteArray basic_password(const QByteArray& authorization)
{
    const QByteArray value = authorization.trimmed();
    if (!value.left(6).toLower().startsWith("basic "))
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(value.mid(6).trimmed());
    if (!decoded)
        return {};
    const int colon = decoded.decoded.indexOf(':');
    return colon < 0 ? QByteArray() : decoded.decoded.mid(colon + 1);
}

QByteArray cookie_value(const QByteArray& cookies, const QByteArray& name)
{
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith(name + '='))
            return p.mid(name.size() + 1);
    }
    return {};
}

} // namespace telvar::web

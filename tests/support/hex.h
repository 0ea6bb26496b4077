// Frames written as hex text in tests, the way the wire is read.
#pragma once

#include "protocol/frame.h"

#include <QByteArray>
#include <QString>

namespace telvar::test {

/** "55 01 10 00 00 00 00 66" to bytes. */
inline QByteArray bytes(const char* hex)
{
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

inline frame to_frame(const char* hex)
{
    frame f{};
    const QByteArray b = bytes(hex);
    for (int i = 0; i < 8 && i < b.size(); ++i)
        f[i] = static_cast<std::uint8_t>(b[i]);
    return f;
}

inline QString hex(const frame& f)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(f.data()), 8).toHex(' '))
        .toUpper();
}

} // namespace telvar::test

Q_DECLARE_METATYPE(telvar::frame)

// The releases telvard owes, kept in a file of the runtime folder while
// they are pending, so that a service that died with a relay pulled in for
// a pulse releases it when it starts again.
#pragma once

#include <QList>
#include <QString>

namespace telvar::service {

struct saved_pulse {
    QString line;
    int address = 0;
    int relay = 0;
    qint64 deadline_ms = 0;  // since the epoch
};

/** The releases in @p path; none when it does not exist. A bad file: @p error says why. */
QList<saved_pulse> read_pulse_file(const QString& path, QString* error);

/** Replaces @p path whole (never half written); no releases removes it. */
bool write_pulse_file(const QString& path, const QList<saved_pulse>& pulses, QString* error);

} // namespace telvar::service

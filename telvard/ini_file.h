// A small INI reader that keeps the line of every entry, so that a bad
// setting can be named by file, line and key. QSettings reads the same
// format but forgets where each value came from, and quietly accepts what a
// daemon's configuration should refuse (keys outside a section, a key twice).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace telvar::service {

struct ini_entry {
    QString section;
    QString key;
    QString value;
    int line = 0;
};

struct ini_section {
    QString name;
    int line = 0;
};

struct ini_document {
    QList<ini_section> sections;
    QList<ini_entry> entries;  // in file order
    int error_line = 0;        // 0 when the text was read whole
    QString error;
};

/**
 * Reads UTF-8 INI text: [section] lines, key = value lines, comment lines
 * starting with ; or #, blank lines. Keys and values are trimmed.
 * @return the entries, or the first line that is not one of these.
 */
ini_document read_ini(const QByteArray& text);

} // namespace telvar::service

#include "telvard/ini_file.h"

#include <QStringDecoder>

namespace telvar::service {

ini_document read_ini(const QByteArray& text)
{
    ini_document doc;
    auto fail = [&doc](int line, const QString& why) {
        doc.error_line = line;
        doc.error = why;
        doc.sections.clear();
        doc.entries.clear();
        return doc;
    };

    const QList<QByteArray> lines = text.split('\n');
    QString section;
    bool in_section = false;
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        QStringDecoder utf8(QStringDecoder::Utf8);
        QString line = utf8.decode(lines[i]);
        if (utf8.hasError())
            return fail(number, QStringLiteral("the line is not UTF-8 text"));
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (i == 0 && line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        if (line.contains(QChar(0)))
            return fail(number, QStringLiteral("the line holds a NUL character"));
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) ||
            trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                return fail(number, QStringLiteral("a section header must end with ]"));
            section = trimmed.mid(1, trimmed.size() - 2).trimmed();
            if (section.isEmpty())
                return fail(number, QStringLiteral("the section has no name"));
            in_section = true;
            doc.sections.append({section, number});
            continue;
        }
        const int equals = trimmed.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(number,
                        QStringLiteral("expected \"key = value\" or \"[section]\", found \"%1\"")
                            .arg(trimmed.left(60)));
        const QString key = trimmed.left(equals).trimmed();
        if (key.isEmpty())
            return fail(number, QStringLiteral("the line has a value but no key"));
        if (!in_section)
            return fail(number, QStringLiteral("%1: the key comes before any [section]").arg(key));
        doc.entries.append({section, key, trimmed.mid(equals + 1).trimmed(), number});
    }
    return doc;
}

} // namespace telvar::service

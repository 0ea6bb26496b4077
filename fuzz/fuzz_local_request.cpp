// Request lines of the local socket: the first byte picks the size of the
// pieces the bytes arrive in, the second the longest line, the rest is what
// a client sends before it shuts its side. The lines must be those an independent splitting of the
// whole input gives, whatever the pieces; each line is a request within its
// ranges or a refusal that goes back as valid JSON with the request's id.
#include "fuzz_check.h"
#include "local/json_forms.h"
#include "local/request.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

using namespace telvar;
using namespace telvar::local;

namespace {

// Lines as the rule says: ended by a newline or by the end of the input, at
// most limit bytes before it (a carriage return counted), one carriage
// return at the end taken off, blank ones left out; a longer line is one
// refusal.
QList<line_splitter::piece> reference_lines(const QByteArray& bytes, int limit)
{
    QList<line_splitter::piece> out;
    qsizetype start = 0;
    while (start <= bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        QByteArray text = bytes.mid(start, end - start);
        if (text.size() > limit) {
            out.append({{}, true});
        } else {
            if (text.endsWith('\r'))
                text.chop(1);
            if (!text.trimmed().isEmpty())
                out.append({text, false});
        }
        if (newline < 0)
            break;
        start = newline + 1;
    }
    return out;
}

void check_request(const QByteArray& line)
{
    const read_result read = read_request(line);
    const QJsonObject document = QJsonDocument::fromJson(line).object();
    if (!read.ok) {
        FUZZ_CHECK(!read.message.isEmpty());
        const QJsonObject back =
            QJsonDocument::fromJson(wire_line(refusal(read.id, QStringLiteral("usage"), read.message)))
                .object();
        FUZZ_CHECK(back.value(QLatin1String("ok")) == QJsonValue(false));
        FUZZ_CHECK(back.value(QLatin1String("id")) == (read.id.isUndefined() ? QJsonValue() : read.id));
        FUZZ_CHECK(back.value(QLatin1String("message")).toString() == read.message);
        return;
    }
    const request& r = *read.ok;
    FUZZ_CHECK(read.message.isEmpty());
    FUZZ_CHECK(document.value(QLatin1String("request")).toString() == kind_name(r.what));
    const QJsonValue id = document.value(QLatin1String("id"));
    FUZZ_CHECK(r.id == (id.isUndefined() ? QJsonValue() : id));
    FUZZ_CHECK(r.address >= 0 && r.address <= 255);
    FUZZ_CHECK(r.from >= 0 && r.from <= r.to && r.to <= 255);
    for (int a : r.addresses)
        FUZZ_CHECK(a >= 0 && a <= 255);
    if (r.what == request_kind::switch_relays) {
        FUZZ_CHECK(r.all != !r.relays.isEmpty());
        FUZZ_CHECK(r.relays.size() <= relay_count);
        for (int n : r.relays)
            FUZZ_CHECK(n >= 1 && n <= relay_count);
        FUZZ_CHECK(r.state != switch_to::toggle || (!r.all && r.relays.size() == 1));
    }
    if (r.what == request_kind::get || r.what == request_kind::set)
        FUZZ_CHECK(r.param != link::parameter::pairing);
    if (r.what == request_kind::set) {
        const bool channel =
            r.param == link::parameter::host_channel || r.param == link::parameter::slave_channel;
        FUZZ_CHECK(r.value <= (channel ? 255u : 2147483647u));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int piece = 1 + data[0];
    const int limit = 1 + data[1] * 4;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), int(size - 2));

    line_splitter splitter(limit);
    QList<line_splitter::piece> lines;
    for (qsizetype at = 0; at < bytes.size(); at += piece)
        lines += splitter.take(bytes.mid(at, piece));
    lines += splitter.finish();
    const QList<line_splitter::piece> expected = reference_lines(bytes, limit);
    FUZZ_CHECK(lines.size() == expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        FUZZ_CHECK(lines[i].too_long == expected[i].too_long);
        FUZZ_CHECK(lines[i].text == expected[i].text);
        if (!lines[i].too_long)
            check_request(lines[i].text);
    }
    return 0;
}

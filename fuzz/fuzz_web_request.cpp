// Requests of the web front: the first byte picks the method, the input up
// to the first newline is the path, the rest the body. Each is either
// something to do, with a request within its ranges, or a refusal with an
// HTTP error status and a message; a path under a board names a line and
// an address the way the API spells them.
#include "fuzz_check.h"
#include "web/api_request.h"

using namespace telvar;
using namespace telvar::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const QByteArray methods[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS"};
    const QByteArray method = methods[data[0] % 6];
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), int(size - 1));
    const qsizetype newline = rest.indexOf('\n');
    const QString path = QString::fromUtf8(newline < 0 ? rest : rest.left(newline));
    const QByteArray body = newline < 0 ? QByteArray() : rest.mid(newline + 1);

    const api_result read = read_api_request(method, path, body);
    if (!read.ok) {
        const api_refusal& r = read.refusal;
        FUZZ_CHECK(r.status == 400 || r.status == 404 || r.status == 405 || r.status == 413);
        FUZZ_CHECK(!r.message.isEmpty() && !r.code.isEmpty());
        FUZZ_CHECK((r.status == 405) == !r.allow.isEmpty());
        FUZZ_CHECK(r.status != 413 || body.size() > max_body_bytes);
        return 0;
    }
    FUZZ_CHECK(body.size() <= max_body_bytes);
    const api_request& a = read.request;
    FUZZ_CHECK(method == (a.what == route::login ? "POST" : a.what == route::call ? "POST" : "GET"));
    if (a.what == route::page_file)
        FUZZ_CHECK(a.file.startsWith(QLatin1String(":/web/")) && !a.type.isEmpty());
    if (a.what == route::board || a.what == route::parameters || a.what == route::call) {
        const QString prefix = QStringLiteral("/api/lines/%1/boards/%2").arg(a.r.line).arg(a.r.address);
        FUZZ_CHECK(path == prefix || path.startsWith(prefix + QLatin1Char('/')));
        FUZZ_CHECK(!a.r.line.isEmpty() && a.r.address >= 0 && a.r.address <= 255);
    }
    if (a.what == route::call && a.r.what == local::request_kind::switch_relays) {
        FUZZ_CHECK(a.r.all == a.r.relays.isEmpty());
        for (int n : a.r.relays)
            FUZZ_CHECK(n >= 1 && n <= 16);
    }
    return 0;
}

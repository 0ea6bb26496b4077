// The web front's requests: an HTTP method, path and body become what the
// front is to do (serve a page file, carry out a local::request, open the
// event stream, ...) or a refusal with its HTTP status and the message the
// client gets back. Pure: nothing here knows sockets, the server or the
// link, so it can be fuzzed on its own.
#pragma once

#include "local/request.h"

#include <QByteArray>
#include <QString>

namespace telvar::web {

// The largest body a request may carry.
constexpr int max_body_bytes = 64 * 1024;

enum class route {
    page_file,    // file: the resource to send
    login_page,
    login,        // POST /login: the body is the form
    lines,        // GET /api/lines
    board,        // GET a board's fresh status: r is a status request
    parameters,   // GET a board's four parameters, read one after the other
    call,         // r is carried out and its answer sent
    events,       // the WebSocket
    metrics,
};

struct api_request {
    route what = route::page_file;
    local::request r;   // with line and address for board, parameters and call
    QString file;       // page_file: ":/web/index.html" ...
    QByteArray type;    // page_file: its Content-Type
};

struct api_refusal {
    int status = 400;
    QString code;      // "usage", "not_found", "method"
    QString message;
    QByteArray allow;  // 405: the methods the path takes
};

struct api_result {
    bool ok = false;
    api_request request;
    api_refusal refusal;
};

/** Reads one request; @p path is the URL's path, already percent-decoded. */
api_result read_api_request(const QByteArray& method, const QString& path, const QByteArray& body);

/** The HTTP status of an error code as telvarctl --json gives it ("no_reply": 504). */
int http_status(const QString& code);

} // namespace telvar::web

// The JSON forms of the local socket: a request's result as the link gave
// it, the events, and refusals. A client rebuilds the link's own result from
// a response without loss (the *_from_json functions), so it can word the
// result exactly as it would word one of a direct request.
#pragma once

#include "link/board_link.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace telvar::local {

/** "outcome", "address", "frames_sent" and, when the board reported, "relays". */
QJsonObject to_json(const link::relay_result& result);
/** "outcome", "parameter", "address", "frames_sent" and, when the module answered, "value". */
QJsonObject to_json(const link::parameter_result& result);

/** A board's health as "stats" answers it: counters, "last_reply" ISO 8601, "round_trip_ms", "quality"; null for none. */
QJsonObject to_json(const link::board_health& health);
std::optional<link::board_health> health_from_json(const QJsonValue& value);

/** The result in @p o (a response), or nothing when a field is missing or out of range. */
std::optional<link::relay_result> relay_result_from_json(const QJsonObject& o);
std::optional<link::parameter_result> parameter_result_from_json(const QJsonObject& o);

/** 16 booleans, relay 1 first; nothing unless it is exactly that. */
std::optional<link::relay_states> relays_from_json(const QJsonValue& value);

/** The link's name of an outcome read back: "done", "no_reply" … */
std::optional<link::outcome> outcome_from_name(const QString& name);

/** The code of a failed request, as telvarctl --json gives it: a closed line is "port_lost". */
QString error_code(link::outcome result);

/** A refusal: {"id", "ok": false, "error", "message"}. */
QJsonObject refusal(const QJsonValue& id, const QString& code, const QString& message);

/** The time an event happened: ISO 8601 with milliseconds and the UTC offset. */
QString event_time();

/** A JSON object as one line with its newline, as it goes on the socket. */
QByteArray wire_line(const QJsonObject& o);

} // namespace telvar::local

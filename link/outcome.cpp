#include "link/outcome.h"

namespace telvar::link {

QString outcome_name(outcome result)
{
    switch (result) {
    case outcome::done:
        return QStringLiteral("done");
    case outcome::not_confirmed:
        return QStringLiteral("not_confirmed");
    case outcome::no_reply:
        return QStringLiteral("no_reply");
    case outcome::port_closed:
        return QStringLiteral("port_closed");
    case outcome::line_lost:
        return QStringLiteral("line_lost");
    case outcome::offline:
        return QStringLiteral("offline");
    case outcome::queue_full:
        return QStringLiteral("queue_full");
    case outcome::superseded:
        return QStringLiteral("superseded");
    }
    return {};
}

} // namespace telvar::link

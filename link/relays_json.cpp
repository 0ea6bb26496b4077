#include "link/relays_json.h"

namespace telvar::link {

QJsonArray relays_json(const relay_states& relays)
{
    QJsonArray array;
    for (bool on : relays)
        array.append(on);
    return array;
}

} // namespace telvar::link

// The link's logging category: QT_LOGGING_RULES="telvar.link.debug=true"
// (or telvarctl -v) shows every frame sent and every group received in hex.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(link_log)

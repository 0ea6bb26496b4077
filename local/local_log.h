// The local front's logging category: QT_LOGGING_RULES="telvar.local.debug=true"
// shows every client that comes and goes and every request it sends.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(local_log)

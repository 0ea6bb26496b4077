#include "link/link_log.h"

Q_LOGGING_CATEGORY(link_log, "telvar.link", QtWarningMsg)

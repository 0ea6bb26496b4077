#include "mqtt/board_removal.h"

#include "mqtt/twin_check.h"

#include <QLoggingCategory>

namespace telvar::mqtt {

Q_DECLARE_LOGGING_CATEGORY(bridge_log)

namespace {
constexpr int acknowledge_ms = 5000;
}

board_removal::board_removal(const bridge_config& config, client& broker, QObject* parent)
    : QObject(parent), config_(config), broker_(broker),
      topics_(config.prefix, config.bridge_id, config.discovery_prefix, config.line_names)
{
    give_up_.setSingleShot(true);
    connect(&give_up_, &QTimer::timeout, this, [this] {
        qCCritical(bridge_log, "the broker at %s:%d could not be reached in %d s%s%s; nothing "
                               "was removed",
                   qUtf8Printable(config_.broker_host), config_.broker_port, give_up_ms / 1000,
                   last_problem_.isEmpty() ? "" : ": ", qUtf8Printable(last_problem_));
        broker_.stop(0);
    });
    connect(&broker_, &client::disconnected, this,
            [this](const QString& reason) { last_problem_ = reason; });
    connect(&broker_, &client::connected, this, [this] {
        give_up_.stop();
        for (int address : config_.remove_boards) {
            for (const QString& topic : topics_.board_topics(address))
                broker_.publish(topic, QByteArray(), 1, true);
            qCInfo(bridge_log, "%s of %s removed from Home Assistant and its retained "
                               "topics cleared",
                   qUtf8Printable(topics_.board_text(address)), qUtf8Printable(topics_.base()));
        }
        removed_ = true;
        // Ends once the broker has acknowledged every removal.
        broker_.stop(acknowledge_ms);
    });
    connect(&broker_, &client::stopped, this, [this] { emit finished(removed_); });
}

bool board_removal::start()
{
    const session_settings s =
        broker_session(config_, bridge_identity::of_this_process().token);
    QString error;
    if (!broker_.start(s, &error)) {
        qCCritical(bridge_log, "%s", qUtf8Printable(error));
        return false;
    }
    give_up_.start(give_up_ms);
    return true;
}

} // namespace telvar::mqtt

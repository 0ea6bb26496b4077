// Incoming MQTT messages: the first byte picks the retained flag and which
// boards the bridge serves, the rest is a topic and a payload split at the
// first zero byte. A command may only come from an exact set topic of a
// served board with an exact payload, never retained; anything else is
// refused with a reason or left alone, and the log text (topic included)
// stays printable.
#include "fuzz_check.h"
#include "mqtt/topics.h"

#include <QString>

using namespace telvar::mqtt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool retained = data[0] & 1;
    QSet<int> served{1};
    if (data[0] & 2)
        served.insert(2);
    if (data[0] & 4)
        served.insert(255);
    if (data[0] & 8)
        served.insert(0);
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), int(size - 1));
    const int split = rest.indexOf('\0');
    const QString topic = QString::fromUtf8(split < 0 ? rest : rest.left(split));
    const QByteArray payload = split < 0 ? QByteArray() : rest.mid(split + 1);

    const topic_scheme topics(QStringLiteral("telvar"), QStringLiteral("hall"),
                              data[0] & 16 ? QString() : QStringLiteral("homeassistant"));
    const incoming in = classify(topics, served, topic, payload, retained);
    switch (in.what) {
    case incoming::kind::command: {
        FUZZ_CHECK(!retained);
        FUZZ_CHECK(served.contains(in.cmd.address));
        FUZZ_CHECK(in.cmd.relay >= 0 && in.cmd.relay <= 16);
        // The topic is exactly the one the bridge names for this command.
        FUZZ_CHECK(topic == (in.cmd.relay ? topics.relay_set(in.cmd.address, in.cmd.relay)
                                          : topics.all_set(in.cmd.address)));
        const char* word = in.cmd.what == command::action::on    ? "ON"
                           : in.cmd.what == command::action::off ? "OFF"
                                                                 : "TOGGLE";
        FUZZ_CHECK(payload == word);
        FUZZ_CHECK(in.cmd.what != command::action::toggle || in.cmd.relay != 0);
        break;
    }
    case incoming::kind::refused:
        FUZZ_CHECK(topic.startsWith(topics.base() + QLatin1Char('/')) && topic.endsWith(QLatin1String("/set")));
        FUZZ_CHECK(in.reason.startsWith(printable(topic.toUtf8(), 200)) &&
                   in.reason.endsWith(QLatin1String("ignored")));
        // Topics come from anyone: the log line holds nothing a terminal would act on.
        for (const QChar c : in.reason)
            FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() < 0x7F);
        break;
    case incoming::kind::discovery_online:
        FUZZ_CHECK(topics.discovery() && topic == topics.discovery_status());
        FUZZ_CHECK(payload == "online" && !retained);
        break;
    case incoming::kind::stale_discovery:
        FUZZ_CHECK(!served.contains(in.address) && in.address >= 0 && in.address <= 255);
        FUZZ_CHECK(topic == topics.discovery_config(in.address) && !payload.isEmpty() && retained);
        break;
    case incoming::kind::not_mine:
        break;
    }

    for (const QChar c : printable(payload))
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() < 0x7F);
    return 0;
}

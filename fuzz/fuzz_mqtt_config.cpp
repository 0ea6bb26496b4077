// The bridge's configuration file: any bytes are either refused with the
// file name and a line that exists, or read into settings that all hold up
// (addresses 0 to 255 once each, plain names, an interval in range).
#include "fuzz_check.h"
#include "mqtt/bridge_config.h"
#include "mqtt/ini_file.h"

#include <QRegularExpression>
#include <QSet>

using namespace telvar::mqtt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    const int lines = int(text.count('\n')) + 1;

    const ini_document doc = read_ini(text);
    FUZZ_CHECK(doc.error.isEmpty() == (doc.error_line == 0));
    for (const ini_entry& e : doc.entries)
        FUZZ_CHECK(e.line >= 1 && e.line <= lines && !e.key.isEmpty() && !e.section.isEmpty());

    const config_result r = read_configuration_text(text, QStringLiteral("fuzz.conf"));
    if (r.what == config_result::action::refuse) {
        static const QRegularExpression where(QStringLiteral("^fuzz\\.conf:([0-9]+):"));
        const auto m = where.match(r.text);
        FUZZ_CHECK(m.hasMatch());
        const int line = m.captured(1).toInt();
        FUZZ_CHECK(line >= 1 && line <= lines);
        return 0;
    }
    FUZZ_CHECK(r.what == config_result::action::run);
    FUZZ_CHECK(doc.error.isEmpty());
    const bridge_config& c = r.config;
    FUZZ_CHECK(!c.boards.isEmpty());
    QSet<int> seen;
    for (int address : c.boards) {
        FUZZ_CHECK(address >= 0 && address <= 255 && !seen.contains(address));
        seen.insert(address);
    }
    for (auto it = c.names.cbegin(); it != c.names.cend(); ++it)
        FUZZ_CHECK(seen.contains(it.key()) && is_plain_name(it.value()));
    FUZZ_CHECK(is_plain_name(c.bridge_id));
    FUZZ_CHECK(c.interval_ms >= min_interval_ms && c.interval_ms <= max_interval_ms);
    FUZZ_CHECK(c.broker_port >= 1 && c.broker_port <= 65535 && !c.broker_host.isEmpty());
    FUZZ_CHECK(!c.prefix.isEmpty() && !c.prefix.contains(QLatin1Char('#')) &&
               !c.prefix.contains(QLatin1Char('+')));
    FUZZ_CHECK((c.port.number >= 1) != !c.port.path.isEmpty());
    return 0;
}

// telvard's configuration file: any bytes are either refused with the file
// name and a line that exists, or read into settings that all hold up
// (lines with unique names, addresses 0 to 255 once each per line, plain
// names, an interval in range, pulses and interlocks on relays 1 to 16 of
// the line's boards, no relay in two groups).
#include "fuzz_check.h"
#include "link/pulses.h"
#include "telvard/ini_file.h"
#include "telvard/service_config.h"

#include <QRegularExpression>
#include <QSet>

using namespace telvar::service;
using telvar::mqtt::is_plain_name;

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
    FUZZ_CHECK(!r.config.lines.isEmpty());
    QSet<QString> names;
    for (const line_config& line : r.config.lines) {
        FUZZ_CHECK(is_line_name(line.name) && !names.contains(line.name));
        names.insert(line.name);
        FUZZ_CHECK(!line.boards.isEmpty());
        QSet<int> seen;
        for (int address : line.boards) {
            FUZZ_CHECK(address >= 0 && address <= 255 && !seen.contains(address));
            seen.insert(address);
        }
        for (auto it = line.names.cbegin(); it != line.names.cend(); ++it)
            FUZZ_CHECK(seen.contains(it.key()) && is_plain_name(it.value()));
        FUZZ_CHECK(line.interval_ms >= min_interval_ms && line.interval_ms <= max_interval_ms);
        FUZZ_CHECK((line.port.number >= 1) != !line.port.path.isEmpty());
        FUZZ_CHECK(line.interlock_gap_ms >= 0 && line.interlock_gap_ms <= max_interlock_gap_ms);
        for (const auto& [address, relays] : line.pulse_ms) {
            FUZZ_CHECK(seen.contains(address) && !relays.empty());
            for (const auto& [relay, ms] : relays)
                FUZZ_CHECK(relay >= 1 && relay <= 16 && ms >= telvar::link::shortest_pulse_ms &&
                           ms <= telvar::link::longest_pulse_ms);
        }
        for (const auto& [address, groups] : line.interlocks) {
            FUZZ_CHECK(seen.contains(address));
            QSet<int> grouped;
            for (const auto& group : groups) {
                FUZZ_CHECK(group.size() >= 2);
                for (int relay : group) {
                    FUZZ_CHECK(relay >= 1 && relay <= 16 && !grouped.contains(relay));
                    grouped.insert(relay);
                }
            }
        }
        for (const auto& entry : line.on_return)
            FUZZ_CHECK(seen.contains(entry.first));
    }
    const telvar::mqtt::bridge_config& c = r.config.mqtt;
    FUZZ_CHECK(c.line_names.size() == r.config.lines.size());
    FUZZ_CHECK(is_plain_name(c.bridge_id));
    FUZZ_CHECK(c.broker_port >= 1 && c.broker_port <= 65535 && !c.broker_host.isEmpty());
    FUZZ_CHECK(!c.prefix.isEmpty() && !c.prefix.contains(QLatin1Char('#')) &&
               !c.prefix.contains(QLatin1Char('+')));
    FUZZ_CHECK(r.config.local.socket.isEmpty() || r.config.local.socket.startsWith(QLatin1Char('/'))
               || r.config.local.socket.startsWith(QLatin1String("\\\\.\\pipe\\")));
    return 0;
}

// Whatever a script or a user puts on telvarctl's command line: the input is
// one argument a line, as UTF-8. The command line is either refused with a
// short message, or read into values that all lie in their documented
// ranges; writes and pairing only with --yes. The value reader and the port
// reader are also held against an independent reading of their rules.
#include "fuzz_check.h"
#include "telvarctl/command_line.h"

#include <string>

using namespace telvar;

namespace {

bool in(qint64 value, qint64 low, qint64 high)
{
    return value >= low && value <= high;
}

// Digits only, and their value; anything of more than 12 significant digits
// counts as 10^13, beyond every range here.
std::optional<qint64> reference_whole(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    int significant = 0;
    for (QChar c : text) {
        if (c.unicode() < '0' || c.unicode() > '9')
            return std::nullopt;
        if (significant > 0 || c != QLatin1Char('0'))
            ++significant;
        if (significant <= 12)
            value = value * 10 + (c.unicode() - '0');
    }
    return significant > 12 ? qint64(10'000'000'000'000) : value;
}

void check_run(const ctl::invocation& run)
{
    using ctl::command;
    FUZZ_CHECK(in(run.address, 0, 255));
    FUZZ_CHECK(in(run.timeout_ms, 10, 60000));
    FUZZ_CHECK(in(run.retries, 0, 100));
    FUZZ_CHECK(in(run.interval_ms, 20, 60000));
    if (!run.line.isEmpty())
        // A line by its name goes through the service only, and names no port.
        FUZZ_CHECK(run.way != ctl::road::direct && run.port.number == 0
                   && run.port.path.isEmpty() && run.line.size() <= 64 && run.line[0].isLetter());
    else if (run.port.number != 0)
        FUZZ_CHECK(in(run.port.number, 1, link::largest_port) && run.port.path.isEmpty());
    else
        FUZZ_CHECK(run.port.path.contains(QLatin1Char('/'))
                   || run.port.path.contains(QLatin1Char('\\')));
    for (int relay : run.relays)
        FUZZ_CHECK(in(relay, 1, 16));
    switch (run.what) {
    case command::on:
    case command::off:
        FUZZ_CHECK(!run.relays.isEmpty());
        break;
    case command::toggle:
        FUZZ_CHECK(run.relays.size() == 1);
        break;
    case command::watch:
        FUZZ_CHECK(!run.addresses.isEmpty());
        for (int a : run.addresses)
            FUZZ_CHECK(in(a, 0, 255) && run.addresses.count(a) == 1);
        break;
    case command::scan:
        FUZZ_CHECK(in(run.scan_from, 0, 255) && in(run.scan_to, run.scan_from, 255));
        break;
    case command::set: {
        FUZZ_CHECK(run.yes);
        const bool channel = run.param == link::parameter::host_channel
                             || run.param == link::parameter::slave_channel;
        FUZZ_CHECK(run.value <= (channel ? 255u : 2147483647u));
        break;
    }
    case command::pair:
        FUZZ_CHECK(run.yes);
        break;
    case command::lines:
        FUZZ_CHECK(run.way != ctl::road::direct);
        break;
    default:
        break;
    }
    const link::link_settings s = ctl::settings_for(run);
    FUZZ_CHECK(s.retries == (run.what == command::scan && !run.retries_given ? 0 : run.retries));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString input =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList lines = input.split(QLatin1Char('\n'));

    // The command line as a whole.
    const ctl::parse_result parsed =
        ctl::parse_command_line(QStringList{QStringLiteral("telvarctl")} + lines);
    const int outcomes = int(parsed.help) + int(parsed.version) + int(parsed.run.has_value())
                         + int(!parsed.error.isEmpty());
    FUZZ_CHECK(outcomes >= 1);
    FUZZ_CHECK(parsed.error.isEmpty() == (parsed.help || parsed.version || parsed.run.has_value()));
    if (parsed.run)
        check_run(*parsed.run);
    FUZZ_CHECK(parsed.error.size() < 400);
    for (QChar c : parsed.error)
        FUZZ_CHECK(c.unicode() >= 0x20);

    // The first line as a value from 0 to the second line's number.
    const QString text = lines.value(0);
    const qint64 high = lines.value(1).toLongLong() & 0x7FFFFFFF;
    QString error;
    const auto got = ctl::read_whole(text, 0, high, QStringLiteral("value"), error);
    const auto expected = reference_whole(text);
    const bool accepted = expected && *expected <= high;
    FUZZ_CHECK(got.has_value() == accepted);
    if (got)
        FUZZ_CHECK(*got == *expected);
    else
        FUZZ_CHECK(error.startsWith(QLatin1String("value")) && error.size() < 200
                   && error.contains(QString::number(high)));

    // The first line as a port.
    const auto port = link::port_spec::parse(text);
    const bool path = text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('\\'));
    QString digits = text;
    if (!path && digits.startsWith(QLatin1String("com"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    const auto number = reference_whole(digits);
    const bool numbered = !path && digits.size() <= 3 && number && in(*number, 1, 255);
    FUZZ_CHECK(port.has_value() == (path || numbered));
    if (port && numbered)
        FUZZ_CHECK(port->number == *number);
    if (port && path)
        FUZZ_CHECK(port->path == text && port->number == 0);
    return 0;
}

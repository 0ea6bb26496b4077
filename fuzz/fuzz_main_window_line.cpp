// The main window against whatever the line and the operator do: bytes in
// any batches, ticks, relay and all-relay clicks, the port closed, reopened,
// refused or pulled away. After every step the sixteen relays must show
// exactly what a reference reading of the accepted replies says (or unknown,
// or closed), every tick must put the expected frame on the wire, and the
// window must never read a byte that was not received.
#include "fuzz_check.h"
#include "fuzz_port.h"

#include "relay/main_form.h"
#include "variant/build_variant.h"

#include <QApplication>
#include <QLabel>

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>

using namespace telvar;

namespace {

// What the window should be showing, kept from the line's rules alone.
struct expected_window {
    bool open = false;
    std::vector<std::uint8_t> unread;
    std::array<relay_look, 16> looks;
    int countdown = 0;
    std::optional<std::array<std::uint8_t, 3>> pending;

    expected_window() { looks.fill(relay_look::unknown); }

    void received(const std::vector<std::uint8_t>& bytes)
    {
        if (!open)
            return;
        unread.insert(unread.end(), bytes.begin(), bytes.end());
        while (unread.size() >= 8) {
            const std::vector<std::uint8_t> group(unread.begin(), unread.begin() + 8);
            unread.erase(unread.begin(), unread.begin() + 8);
            if (!fuzz::reference_accepts(group.data()))
                continue;
            const auto states = fuzz::reference_states(group.data());
            for (int n = 0; n < 16; ++n)
                looks[n] = states[n] ? relay_look::pulled_in : relay_look::released;
            countdown = 5;
        }
    }

    // The frame this tick sends, or nothing while closed.
    std::optional<frame> tick()
    {
        if (countdown > 0)
            --countdown;
        else
            looks.fill(relay_look::unknown);
        const std::array<std::uint8_t, 3> command =
            pending.value_or(std::array<std::uint8_t, 3>{0x10, 0, 0});
        pending.reset();
        if (!open)
            return std::nullopt;
        unread.clear();
        frame f{0x55, 1, command[0], 0, 0, command[1], command[2], 0};
        int sum = 0;
        for (int i = 0; i < 7; ++i)
            sum += f[i];
        f[7] = static_cast<std::uint8_t>(sum % 256);
        return f;
    }

    void clicked(int relay)
    {
        if (looks[relay - 1] == relay_look::pulled_in)
            pending = {{0x11, 0, std::uint8_t(relay)}};
        else if (looks[relay - 1] == relay_look::released)
            pending = {{0x12, 0, std::uint8_t(relay)}};
    }

    void closed()
    {
        open = false;
        unread.clear();
        looks.fill(relay_look::closed);
    }
};

QString caption_of(relay_look look)
{
    switch (look) {
    case relay_look::pulled_in:
        return QStringLiteral("  吸合");
    case relay_look::released:
        return QStringLiteral("  断开");
    default:
        return QStringLiteral("状态未知");
    }
}

void check_same(const main_form& window, const expected_window& expected)
{
    for (int n = 1; n <= 16; ++n) {
        FUZZ_CHECK(window.look(n) == expected.looks[n - 1]);
        FUZZ_CHECK(window.Label2[n]->text() == caption_of(expected.looks[n - 1]));
    }
    FUZZ_CHECK(window.poll.link_countdown == expected.countdown);
    FUZZ_CHECK(const_cast<main_form&>(window).port().is_open() == expected.open);
}

fuzz::fuzz_port* port = nullptr;
main_form* window_ptr = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes on every shown box would drown the findings.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static int argc = 1;
    static char name[] = "fuzz_main_window_line";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    // One window for the whole run: building sixteen indicators per input
    // would leave the fuzzer a handful of inputs a second.
    static main_form window(variant_v20(), [] {
        auto made = std::make_unique<fuzz::fuzz_port>();
        port = made.get();
        return made;
    });
    window_ptr = &window;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    main_form& window = *window_ptr;
    // Every input starts from the operator having closed the port.
    if (port->is_open())
        window.open_comm_Click();
    else
        window.show_port_closed();
    window.poll = poll_cycle{};
    port->written.clear();
    expected_window expected;
    expected.closed();
    check_same(window, expected);

    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
        case 1:
        case 2: {
            const auto batch = input.ConsumeBytes<std::uint8_t>(
                input.ConsumeIntegralInRange<std::size_t>(0, 30));
            port->arrive(batch);
            expected.received(batch);
            break;
        }
        case 3:
        case 4: {
            // The timer runs only while the port is open (and before the first opening).
            if (!window.Timer1->isActive())
                break;
            const std::size_t sent_before = port->written.size();
            const std::optional<frame> wire = expected.tick();
            window.Timer1_Timer();
            FUZZ_CHECK(port->written.size() == sent_before + (wire ? 1 : 0));
            if (wire)
                FUZZ_CHECK(port->written.back() == *wire);
            break;
        }
        case 5: {
            const int relay = input.ConsumeIntegralInRange<int>(1, 16);
            expected.clicked(relay);
            if (input.ConsumeBool())
                window.Picture1_Click(relay);
            else
                window.Label2_Click(relay);
            break;
        }
        case 6:
            if (window.openall->isEnabled()) {
                const bool all_on = input.ConsumeBool();
                expected.pending = {{0x13, std::uint8_t(all_on ? 0xFF : 0), std::uint8_t(all_on ? 0xFF : 0)}};
                all_on ? window.openall_Click() : window.closeall_Click();
            }
            break;
        case 7:
            if (expected.open) {
                port->vanish();
                expected.closed();
            }
            break;
        default:
            if (expected.open) {
                window.open_comm_Click();
                expected.closed();
            } else {
                port->next_open_ok = input.ConsumeBool();
                window.open_comm_Click();
                if (port->next_open_ok) {
                    expected.open = true;
                    expected.unread.clear();
                    expected.looks.fill(relay_look::unknown);
                }
            }
            break;
        }
        check_same(window, expected);
    }
    return 0;
}

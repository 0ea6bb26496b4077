#include "support/window_fixture.h"

#include "relay/form_style.h"
#include "support/hex.h"

#include <QTest>

namespace telvar::test {

window_fixture::window_fixture(const build_variant& variant)
{
    install_font_substitutes();
    window = std::make_unique<main_form>(variant, [this] {
        auto port = std::make_unique<memory_port>();
        made.append(port.get());
        return port;
    });
    main_port = made.front();
    // Ticks are driven by hand.
    window->Timer1->stop();
}

void window_fixture::open()
{
    QTest::mouseClick(window->open_comm, Qt::LeftButton);
    window->Timer1->stop();
}

void window_fixture::receive(const char* hex_bytes)
{
    main_port->feed(bytes(hex_bytes));
}

void window_fixture::tick(int count)
{
    for (int i = 0; i < count; ++i)
        window->Timer1_Timer();
}

QStringList window_fixture::take_written()
{
    QStringList frames;
    for (const frame& f : main_port->written)
        frames << hex(f);
    main_port->written.clear();
    return frames;
}

} // namespace telvar::test

// A main window on an in-memory port, for window-logic tests.
#pragma once

#include "relay/main_form.h"
#include "support/memory_port.h"

#include <memory>

namespace telvar::test {

struct window_fixture {
    explicit window_fixture(const build_variant& variant = variant_v20());

    main_form& form() { return *window; }
    memory_port& port() { return *main_port; }

    /** Opens the main window's port with the open_comm button. */
    void open();
    /** Feeds bytes as if they had arrived on the line. */
    void receive(const char* hex_bytes);
    /** Runs @p count poll ticks. */
    void tick(int count = 1);
    /** Frames written since the last call, as hex text. */
    QStringList take_written();

    memory_port* main_port = nullptr;
    QList<memory_port*> made;  // every port the factory made, in order
    std::unique_ptr<main_form> window;
};

} // namespace telvar::test

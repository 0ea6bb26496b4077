// Loads the system's font configuration on a thread of its own while the
// application connects to the display, so that the window's first text does
// not wait for it: on Linux fontconfig reads some forty files before the
// first face can be chosen. Windows has nothing of the kind to load.
#pragma once

#include <memory>

namespace telvar {

class font_warmup {
public:
    /** Starts loading; without a thread to spare, Qt loads it when first needed. */
    font_warmup();
    ~font_warmup();
    font_warmup(const font_warmup&) = delete;
    font_warmup& operator=(const font_warmup&) = delete;

    /** Waits until the configuration is loaded; call it before the first text is laid out. */
    void wait();

private:
    struct loader;
    std::unique_ptr<loader> loader_;
};

} // namespace telvar

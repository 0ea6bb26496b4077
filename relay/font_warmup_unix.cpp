#include "relay/font_warmup.h"

#include <fontconfig/fontconfig.h>

#include <system_error>
#include <thread>

namespace telvar {

struct font_warmup::loader {
    std::thread thread;
};

font_warmup::font_warmup()
{
    try {
        // Qt's own FcInit finds the configuration in place and returns at once.
        loader_ = std::make_unique<loader>(loader{std::thread([] { FcInit(); })});
    } catch (const std::system_error&) {
    }
}

font_warmup::~font_warmup()
{
    wait();
}

void font_warmup::wait()
{
    if (loader_ && loader_->thread.joinable())
        loader_->thread.join();
}

} // namespace telvar

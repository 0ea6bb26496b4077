#include "support/memory_port.h"

namespace telvar::test {

open_result memory_port::open(int number)
{
    opened_number = number;
    device_ = next_open.device;
    open_ = next_open.ok;
    input_.clear();
    return next_open;
}

open_result memory_port::open_device(const QString& path)
{
    open_result result = open(0);
    opened_path = path;
    opened_paths << path;
    device_ = result.device = path;
    return result;
}

void memory_port::write(const frame& bytes)
{
    if (open_)
        written.append(bytes);
}

std::optional<std::uint8_t> memory_port::read_byte()
{
    if (!open_ || input_.isEmpty())
        return std::nullopt;
    const auto byte = static_cast<std::uint8_t>(input_.front());
    input_.remove(0, 1);
    gate_.note_read();
    return byte;
}

void memory_port::feed(const QByteArray& bytes)
{
    if (!open_)
        return;
    input_.append(bytes);
    raise_received();
}

void memory_port::vanish(const QString& reason)
{
    if (!open_)
        return;
    close();
    emit lost(reason);
}

void memory_port::raise_received()
{
    // The same rule as the real port, so tests see the same grouping.
    gate_.offer(
        threshold_, [this] { return open_ ? input_.size() : qsizetype(0); },
        [this] {
            emit received();
            return true;
        });
}

} // namespace telvar::test

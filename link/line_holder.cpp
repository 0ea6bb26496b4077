#include "link/line_holder.h"

#include "link/link_log.h"

namespace telvar::link {

line_holder::line_holder(std::unique_ptr<serial_port> port, const link_settings& settings,
                         QObject* parent)
    : QObject(parent), port_(std::move(port)), settings_(settings),
      pauses_(settings.reopen_first_ms, settings.reopen_max_ms)
{
    port_->setParent(nullptr);
    reopen_timer_.setSingleShot(true);
    connect(&reopen_timer_, &QTimer::timeout, this, &line_holder::try_reopen);
    connect(port_.get(), &serial_port::received, this, &line_holder::received);
    connect(port_.get(), &serial_port::lost, this, &line_holder::on_lost);
}

line_holder::~line_holder()
{
    port_->disconnect(this);
    port_->close();
}

open_result line_holder::open(const port_spec& where)
{
    reopen_timer_.stop();
    pauses_.reset();
    where_ = where;
    told_device_.clear();
    const resolution found = resolve_port(where, settings_.by_id_folder);
    if (!found.ok) {
        port_->close();
        held_ = {};
        return found.failure;
    }
    held_ = found.held;
    const open_result result = open_held();
    if (result.ok)
        qCDebug(link_log).noquote() << "opened" << where.describe(result.device) << "holding"
                                    << held_.name;
    return result;
}

open_result line_holder::open_held()
{
    const QString device = device_behind(held_.name);
    if (device.isEmpty())
        return {false, open_failure::not_found, held_.name, {}};
    const open_result result = port_->open_device(device);
    // Every byte is taken as it comes: the receiver finds the frames.
    if (result.ok)
        port_->set_threshold(1);
    return result;
}

void line_holder::close()
{
    reopen_timer_.stop();
    port_->close();
}

bool line_holder::is_open() const
{
    return port_->is_open();
}

QString line_holder::device() const
{
    return port_->device();
}

void line_holder::send(const frame& bytes)
{
    // Whatever waits unread answers an earlier frame.
    port_->discard_input();
    port_->write(bytes);
}

void line_holder::on_lost(const QString& reason)
{
    reopen_timer_.start(pauses_.next());
    emit lost(reason);
}

void line_holder::try_reopen()
{
    check_numbering();
    const open_result result = open_held();
    if (result.ok) {
        pauses_.reset();
        told_device_.clear();
        emit restored(result.device);
        return;
    }
    const int next = pauses_.next();
    reopen_timer_.start(next);
    emit reopen_failed(result, next);
}

void line_holder::check_numbering()
{
    if (where_.number <= 0)
        return;
    const resolution now = resolve_port(where_, settings_.by_id_folder);
    if (!now.ok || now.held.device == device_behind(held_.name) || now.held.device == told_device_)
        return;
    told_device_ = now.held.device;
    qCInfo(link_log, "port %d now stands for %s, not for %s, the device that was open: not "
                     "followed; waiting for that device to come back",
           where_.number, qUtf8Printable(now.held.device), qUtf8Printable(held_.name));
    emit renumbered(where_.number, now.held.device, held_.name);
}

} // namespace telvar::link

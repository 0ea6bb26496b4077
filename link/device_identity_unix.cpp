#include "link/device_identity.h"

#include "serial/port_mapping.h"

#include <QDir>
#include <QFileInfo>

namespace telvar::link {

namespace {

// The by-id entry that points at @p device, if the system made one.
QString stable_name_of(const QString& device, const QString& by_id_folder)
{
    const QDir folder(by_id_folder);
    const auto entries = folder.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const QString path = folder.filePath(entry);
        if (QFileInfo(path).canonicalFilePath() == device)
            return path;
    }
    return {};
}

} // namespace

resolution resolve_port(const port_spec& where, const QString& by_id_folder)
{
    resolution r;
    QString name = where.path;
    if (where.number > 0) {
        const QString entry = port_device(where.number);
        if (entry.isEmpty()) {
            r.failure = {false, open_failure::no_port, {}, {}};
            return r;
        }
        // A port-folder entry names what it links to; that is what the number stands for.
        const QFileInfo info(entry);
        name = info.isSymLink() ? info.symLinkTarget() : entry;
    }
    const QFileInfo info(name);
    // A link the user or the system named (a by-id name, a udev alias) is the
    // adapter's own name, kept however the nodes are numbered after a replug.
    const bool stable = info.isSymLink();
    const QString device = info.canonicalFilePath();
    if (device.isEmpty()) {
        r.failure = {false, open_failure::not_found, name, {}};
        return r;
    }
    if (!stable) {
        const QString by_id = stable_name_of(device, by_id_folder);
        if (!by_id.isEmpty())
            name = by_id;
    }
    r.ok = true;
    r.held = {name, device};
    return r;
}

QString device_behind(const QString& name)
{
    return QFileInfo(name).canonicalFilePath();
}

} // namespace telvar::link

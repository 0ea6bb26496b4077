// What the simulator needs of the operating system beyond Qt: the com<N>
// link in Telvar's port folder, a clean end on SIGINT and SIGTERM, and
// lines from standard input. Each system has its own implementation file.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace telvar::sim
{

// A com<N> entry in the port folder that points at the simulator's device
// and goes away with it.
class com_link
{
public:
    com_link() = default;
    ~com_link() { remove(); }
    com_link(const com_link&) = delete;
    com_link& operator=(const com_link&) = delete;

    /**
     * Links com<@p number> to @p device. An entry that is ours, or a link left
     * behind to a pseudo-terminal that no longer exists, is replaced; any other
     * entry is left alone and refused.
     * @return false with @p error saying why.
     */
    bool make(int number, const QString& device, QString& error);

    /** Removes the link if it is still ours. */
    void remove();

    QString path() const { return path_; }

private:
    QString path_;
    QString target_;
};

/** Ends the application's event loop on SIGINT, SIGTERM and SIGHUP. */
void quit_on_signals(QObject* app);

/**
 * Hands each line of standard input to @p on_line on the event loop's
 * thread, and calls @p on_end once when standard input closes.
 */
void read_input_lines(QObject* owner, std::function<void(const QString&)> on_line,
                      std::function<void()> on_end);

} // namespace telvar::sim

// telvarctl's standard output, checked: every line is flushed at once and a
// write that fails (a full disk, a closed pipe) is reported once, so that
// the program can end with a message and a status of its own instead of
// passing the loss over. For a pipe it also notices a reader that went away
// while nothing is written, since a watch of a quiet board writes nothing
// for hours. The platform parts live in standard_output_unix.cpp and
// standard_output_win.cpp.
#pragma once

#include <QObject>
#include <QString>

namespace telvar::ctl {

/**
 * Called first in main, before anything opens a file. POSIX: a closed
 * descriptor 0, 1 or 2 is held by /dev/null opened read-only, so that no
 * device opened later becomes standard output and every write to a closed
 * one still fails; writing into a pipe without a reader fails with EPIPE
 * instead of killing the program with SIGPIPE.
 * @return false when standard output was closed.
 */
bool prepare_standard_streams();

class standard_output : public QObject {
    Q_OBJECT
public:
    /** @p open: what prepare_standard_streams() returned. */
    explicit standard_output(bool open, QObject* parent = nullptr);

    /** Writes @p line and a newline, flushed. @return false if it (or an earlier line) failed. */
    bool write(const QString& line);
    bool failed() const { return failed_; }

    /** Watches a pipe for its reader going away; nothing for other kinds of output. */
    void watch_reader();

signals:
    /** Once, at the first failure: why, for a message. */
    void lost(const QString& why);

private:
    void fail(const QString& why);

    bool failed_ = false;
    bool closed_ = false;
};

} // namespace telvar::ctl

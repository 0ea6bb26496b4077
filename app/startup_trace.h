// Marks of a window program's start-up, logged under the category
// telvar.startup when QT_LOGGING_RULES="telvar.startup.debug=true": the time
// of each phase since main began and the processor time it took, and where
// the steady clock stood at main, so that a benchmark can add the time from
// exec to main. Off, a mark costs a clock reading and a flag test.
#pragma once

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>

class QWidget;

namespace telvar {

Q_DECLARE_LOGGING_CATEGORY(startup_log)

class startup_trace : public QObject {
public:
    /** The first mark, "main", with the processor time spent before main. */
    startup_trace();

    /**
     * Logs @p phase with the time since main, and the time and the processor
     * time since the previous mark.
     */
    void mark(const char* phase);

    /**
     * Marks "exposed" when @p window is first exposed (mapped, on X11) and
     * "painted" once its first paint has been flushed. Call it before the
     * window is shown.
     */
    void watch_first_paint(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QElapsedTimer since_main_;
    qint64 last_ns_ = 0;
    double last_clock_ms_ = 0;
    QWidget* window_ = nullptr;
    bool exposed_ = false;
};

} // namespace telvar

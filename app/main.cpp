// Entry point of both builds; TELVAR_BUILD_V11 picks the older one.
#include "app/startup_trace.h"
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "serial/qt_serial_port.h"
#include "variant/build_variant.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    telvar::startup_trace trace;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("telvar"));
    trace.mark("application");
    telvar::install_font_substitutes();
    trace.mark("fonts");

#ifdef TELVAR_BUILD_V11
    const auto& variant = telvar::variant_v11();
    // Docks and task bars find the menu entry, and its name, by this.
    QApplication::setDesktopFileName(QStringLiteral("telvar-v1.1"));
#else
    const auto& variant = telvar::variant_v20();
    QApplication::setDesktopFileName(QStringLiteral("telvar"));
#endif
    telvar::main_form window(variant, [] { return std::make_unique<telvar::qt_serial_port>(); });
    trace.mark("form");
    trace.watch_first_paint(&window);
    window.show();
    // The dialog and the message boxes, with no icon of their own, show the
    // window's. Given to the application before the window existed, Qt would
    // have sent the images to the window system twice.
    QApplication::setWindowIcon(window.windowIcon());
    trace.mark("shown");
    return QApplication::exec();
}

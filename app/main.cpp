// Entry point of both builds; TELVAR_BUILD_V11 picks the older one.
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "serial/qt_serial_port.h"
#include "variant/build_variant.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("telvar"));
    telvar::install_font_substitutes();
    // The dialog and the message boxes, with no icon of their own, show the program's.
    QApplication::setWindowIcon(telvar::program_icon());

#ifdef TELVAR_BUILD_V11
    const auto& variant = telvar::variant_v11();
#else
    const auto& variant = telvar::variant_v20();
#endif
    telvar::main_form window(variant, [] { return std::make_unique<telvar::qt_serial_port>(); });
    window.show();
    return QApplication::exec();
}

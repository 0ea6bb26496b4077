// No system colour to ask for here: the running style's own grey for disabled
// text, which a dark desktop palette does not change, as Windows keeps its
// system grey whatever an application's theme.
#include "relay/form_style.h"

#include <QApplication>
#include <QStyle>

namespace telvar {

QColor gray_text_colour()
{
    return QApplication::style()->standardPalette().color(QPalette::Disabled,
                                                          QPalette::WindowText);
}

} // namespace telvar

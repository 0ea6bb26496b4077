// The system colour for disabled text, which the closed relay boxes show.
// Qt's own disabled colour is derived from other palette entries and differs.
#include "relay/form_style.h"

#include <windows.h>

namespace telvar {

QColor gray_text_colour()
{
    const COLORREF colour = GetSysColor(COLOR_GRAYTEXT);
    return QColor(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

} // namespace telvar

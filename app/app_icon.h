// The program's icon, drawn rather than shipped as an image file.
#pragma once

#include <QIcon>

namespace telvar {

/** A 32 × 32 icon: a relay board with green and red indicators. */
QIcon app_icon();

} // namespace telvar

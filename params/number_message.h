// The dialog's words for a text box that holds no usable number.
#pragma once

#include "protocol/decimal.h"

#include <QString>

namespace telvar {

/**
 * The operator's message for a box that holds no usable number: names the box
 * by its group and row as the dialog shows them, and says what is accepted.
 */
QString number_fault_message(const QString& group, const QString& row, const QString& text,
                             number_fault fault);

} // namespace telvar

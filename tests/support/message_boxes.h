// Finding and answering the message boxes a window shows, modal or not.
#pragma once

#include <QMessageBox>
#include <QString>

namespace telvar::test {

/** The visible message box, or nullptr. */
QMessageBox* visible_message_box();

/**
 * Arranges for the next modal box to be answered with @p button once it shows;
 * its text is stored in @p seen_text when given.
 */
void answer_next_box(QMessageBox::StandardButton button, QString* seen_text = nullptr);

/** Closes every visible message box; @return how many there were. */
int close_message_boxes();

} // namespace telvar::test

// How a window description becomes widgets: twips to pixels, the two fonts,
// the system grey, the light look, the program's icon, centring, and the
// operator's message boxes. Shared by both windows.
#pragma once

#include <QColor>
#include <QIcon>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QFont>
#include <QRect>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;

namespace telvar {

// 15 twips are one logical pixel (96 dpi).
constexpr int tw(int twips) { return (twips + 7) / 15; }
inline QRect tw_rect(int left, int top, int width, int height)
{
    return {tw(left), tw(top), tw(width), tw(height)};
}

/** Lets "宋体" fall back to a Song-style CJK face where it is missing. */
void install_font_substitutes();

/**
 * The characters of @p text that no installed face shows in @p font, Qt's
 * fallback faces included, each once and none of @p known; empty when every
 * one shows.
 */
QString uncovered_characters(const QFont& font, const QString& text, const QString& known = {});

/**
 * Logs a warning on standard error, naming the fonts to install, when a text
 * of @p window would be drawn as boxes: its labels and buttons, and
 * @p later_texts that it shows later in @p later_font.
 */
void warn_if_texts_uncovered(const QWidget* window, const QFont& later_font,
                             const QString& later_texts);

/** "宋体" at 15.75 points (large) or 15 points (medium), in pixels at 96 dpi. */
QFont large_font();
QFont medium_font();

// The relay looks' colours, set and read back exactly.
inline QColor pulled_in_colour() { return QColor(0, 255, 0); }
inline QColor released_colour() { return QColor(255, 0, 0); }
inline QColor unknown_colour() { return QColor(255, 255, 0); }
/**
 * The platform's grey for disabled text: the system colour on Windows, the
 * running style's own grey elsewhere. One file per platform.
 */
QColor gray_text_colour();

/**
 * The light look both windows and their message boxes keep whatever the
 * desktop theme: light faces, black text, disabled text in gray_text_colour().
 */
QPalette light_palette();

/** Black @p role text on @p widget; disabled, it still turns grey. */
void set_black_text(QWidget* widget, QPalette::ColorRole role);

/** The program's icon, the same image as its file icon. */
QIcon program_icon();

/** A label, a button (never a default button) and their fonts, as the descriptions place them. */
QLabel* make_label(QWidget* parent, const QString& text, const QFont& font, const QRect& where);
QPushButton* make_button(QWidget* parent, const QString& text, const QRect& where);

/** Places a top-level window centred on its screen, before or after it is shown. */
void center_on_screen(QWidget* window);

/** A message box with the program's title and the light look, modal to @p parent's window. */
QMessageBox* make_message_box(QMessageBox::Icon icon, const QString& text,
                              QMessageBox::StandardButtons buttons, QWidget* parent);

/**
 * Tells the operator something went wrong, without blocking the caller: the
 * box is modal to @p parent's window and deletes itself when closed.
 */
QMessageBox* show_operator_message(QWidget* parent, const QString& text);

// A window's one message box to the operator: a failure while the box is
// still up replaces its text rather than stacking a second box.
class operator_message {
public:
    void tell(QWidget* parent, const QString& text);
    /** The box while it is shown, else nullptr. */
    QMessageBox* shown() const;

private:
    QPointer<QMessageBox> box_;
};

} // namespace telvar

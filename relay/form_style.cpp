#include "relay/form_style.h"

#include "variant/build_variant.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace telvar {

namespace {
const QString song_face = QStringLiteral("宋体");

QFont song(int pixels)
{
    QFont font(song_face);
    font.setPixelSize(pixels);
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}
} // namespace

void install_font_substitutes()
{
    QFont::insertSubstitutions(song_face, {QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                                           QStringLiteral("AR PL UMing CN"),
                                           QStringLiteral("AR PL UMing TW"),
                                           QStringLiteral("Noto Serif CJK SC"),
                                           QStringLiteral("Noto Sans CJK SC"),
                                           QStringLiteral("WenQuanYi Zen Hei")});
}

// 15.75 pt and 15 pt at 96 dpi.
QFont large_font() { return song(21); }
QFont medium_font() { return song(20); }

QColor gray_text_colour()
{
    return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

QLabel* make_label(QWidget* parent, const QString& text, const QFont& font, const QRect& where)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setGeometry(where);
    return label;
}

QPushButton* make_button(QWidget* parent, const QString& text, const QRect& where)
{
    auto* button = new QPushButton(text, parent);
    button->setFont(large_font());
    button->setGeometry(where);
    button->setAutoDefault(false);
    return button;
}

void center_on_screen(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize frame = window->frameGeometry().size();
    window->move(area.x() + (area.width() - frame.width()) / 2,
                 area.y() + (area.height() - frame.height()) / 2);
}

QMessageBox* show_operator_message(QWidget* parent, const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, program_title(), text, QMessageBox::Ok,
                                parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->show();
    return box;
}

void operator_message::tell(QWidget* parent, const QString& text)
{
    // A closed box lingers until its deferred delete: only a shown one is reused.
    if (QMessageBox* box = shown()) {
        box->setText(text);
        return;
    }
    box_ = show_operator_message(parent, text);
}

QMessageBox* operator_message::shown() const
{
    return box_ && box_->isVisible() ? box_.data() : nullptr;
}

} // namespace telvar

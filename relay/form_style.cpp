#include "relay/form_style.h"

#include "variant/build_variant.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QLoggingCategory>
#include <QLabel>
#include <QPushButton>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace telvar {

namespace {
Q_LOGGING_CATEGORY(fonts_log, "telvar.fonts")

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

QString uncovered_characters(const QFont& font, const QString& text, const QString& known)
{
    const QFontMetrics metrics(font);
    QString missing;
    for (const char32_t c : text.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        if (!QChar::isSpace(c) && !known.contains(one) && !missing.contains(one)
            && !metrics.inFontUcs4(c))
            missing += one;
    }
    return missing;
}

void warn_if_texts_uncovered(const QWidget* window, const QFont& later_font,
                             const QString& later_texts)
{
    // The faces are the window's own, so the check loads nothing that the
    // first paint would not; once loaded, a character costs a table lookup.
    QString missing = uncovered_characters(later_font, later_texts);
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        if (const auto* label = qobject_cast<const QLabel*>(w))
            missing += uncovered_characters(w->font(), label->text(), missing);
        else if (const auto* button = qobject_cast<const QAbstractButton*>(w))
            missing += uncovered_characters(w->font(), button->text(), missing);
    }
    if (missing.isEmpty())
        return;
    const auto characters = missing.toUcs4();
    QString shown;
    for (qsizetype i = 0; i < characters.size() && i < 12; ++i) {
        const char32_t c = characters[i];
        shown += QString::fromUcs4(&c, 1);
    }
    if (characters.size() > 12)
        shown += QStringLiteral("…");
    qCWarning(fonts_log,
              "no installed font has %d of the Chinese characters of the window's texts (%s), "
              "so they show as boxes; install a Chinese font: fonts-arphic-uming, "
              "fonts-noto-cjk or fonts-wqy-zenhei (sudo apt install fonts-arphic-uming)",
              int(characters.size()), qUtf8Printable(shown));
}

// 15.75 pt and 15 pt at 96 dpi.
QFont large_font() { return song(21); }
QFont medium_font() { return song(20); }

QPalette light_palette()
{
    // The faces and texts of a light desktop, which the windows were laid out on.
    const QColor face(240, 240, 240);
    const QColor edge(160, 160, 160);
    QPalette palette(Qt::black, face, Qt::white, edge, edge, Qt::black, Qt::white, Qt::white,
                     face);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::Midlight, QColor(227, 227, 227));
    palette.setColor(QPalette::Shadow, QColor(105, 105, 105));
    palette.setColor(QPalette::AlternateBase, QColor(245, 245, 245));
    palette.setColor(QPalette::Highlight, QColor(0, 120, 215));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(255, 255, 225));
    palette.setColor(QPalette::ToolTipText, Qt::black);
    palette.setColor(QPalette::Link, QColor(0, 0, 255));
    palette.setColor(QPalette::LinkVisited, QColor(128, 0, 128));
    palette.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128));
    // Disabled texts in the same grey as the closed relay boxes, as on Windows.
    const QColor grey = gray_text_colour();
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, grey);
    return palette;
}

void set_black_text(QWidget* widget, QPalette::ColorRole role)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Active, role, Qt::black);
    palette.setColor(QPalette::Inactive, role, Qt::black);
    widget->setPalette(palette);
}

QIcon program_icon()
{
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        // Named as PNG, for Qt's own reader: left to guess, Qt asks every
        // image plugin first, which loads them all and the JPEG library.
        QImageReader reader(QStringLiteral(":/icons/telvar-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    return icon;
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

QMessageBox* make_message_box(QMessageBox::Icon icon, const QString& text,
                              QMessageBox::StandardButtons buttons, QWidget* parent)
{
    auto* box = new QMessageBox(icon, program_title(), text, buttons, parent);
    // A box is a window of its own and would take the desktop's palette.
    box->setPalette(light_palette());
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

QMessageBox* show_operator_message(QWidget* parent, const QString& text)
{
    QMessageBox* box = make_message_box(QMessageBox::Warning, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
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

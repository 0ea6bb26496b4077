// The floor of the start-up benchmark: the least a Qt Widgets program does to
// show a window, one empty QWidget of the main window's size. With --label it
// shows one Chinese label too, which costs what any window with such a text
// pays (the font configuration, a CJK face, shaping and drawing the glyphs).
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.setFixedSize(448, 531);
    if (QApplication::arguments().contains(QStringLiteral("--label")))
        (new QLabel(QStringLiteral("状态未知"), &window))->move(72, 112);
    window.show();
    return QApplication::exec();
}

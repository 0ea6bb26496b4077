// The floor of the start-up benchmark: the least a Qt Widgets program does to
// show a window, one empty QWidget of the main window's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.setFixedSize(448, 531);
    window.show();
    return QApplication::exec();
}

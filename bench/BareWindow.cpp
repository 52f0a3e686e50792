// The reference for start-up: a minimal Qt Widgets program that shows a window of the main
// window's size and title, and links nothing else.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Form1"));
    window.resize(696, 480);
    window.show();
    return QApplication::exec();
}

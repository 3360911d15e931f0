// The floor for a program start: a QApplication that starts and quits at once.
#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QApplication::quit);
    return QApplication::exec();
}

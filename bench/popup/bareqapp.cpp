// The reference for start-up cost: a QApplication that starts and exits.
#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    return 0;
}

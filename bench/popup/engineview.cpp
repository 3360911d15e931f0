// The smallest page window of either web engine, for comparing them: a
// frameless window at the given place and size showing one page.
//   engineview URL X Y WIDTH HEIGHT
#include <QApplication>
#include <QUrl>
#ifdef ENGINE_WEBENGINE
#include <QWebEngineView>
using View = QWebEngineView;
#else
#include <QWebView>
using View = QWebView;
#endif

int main(int argc, char* argv[])
{
    if (argc < 6) {
        return 2;
    }
#ifdef ENGINE_WEBENGINE
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
    QApplication app(argc, argv);
    View view;
    view.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    view.setGeometry(QString(argv[2]).toInt(), QString(argv[3]).toInt(), QString(argv[4]).toInt(),
                     QString(argv[5]).toInt());
    view.load(QUrl(QString::fromLocal8Bit(argv[1])));
    view.show();
    return QApplication::exec();
}

// The smallest page window of either web engine, for comparing them: a
// frameless window at the given place and size showing one page.
//   engineview URL X Y WIDTH HEIGHT
// With "-" for URL (Qt WebEngine only), the program makes its engine ready
// and reads addresses from its standard input, one a line: each opens in a
// new window at the place, and the window of the one before closes. So one
// program started ahead of a page (a spare) or showing one page after the
// other (several pages in one program) can be measured against a program
// started for each page.
#include <QApplication>
#include <QSocketNotifier>
#include <QUrl>
#ifdef ENGINE_WEBENGINE
#include <QWebEngineView>
using View = QWebEngineView;
#else
#include <QWebView>
using View = QWebView;
#endif

#include <cstdio>
#include <memory>

int main(int argc, char* argv[])
{
    if (argc < 6) {
        return 2;
    }
#ifdef ENGINE_WEBENGINE
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
    QApplication app(argc, argv);
    const QRect place(QString(argv[2]).toInt(), QString(argv[3]).toInt(), QString(argv[4]).toInt(),
                      QString(argv[5]).toInt());
    std::unique_ptr<View> view(new View);
    const auto dress = [&place](View* v) {
        v->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        v->setGeometry(place);
    };
    dress(view.get());
    if (QString(argv[1]) != QLatin1String("-")) {
        view->load(QUrl(QString::fromLocal8Bit(argv[1])));
        view->show();
        return QApplication::exec();
    }
    view->load(QUrl(QStringLiteral("about:blank"))); // the engine and a renderer, ready
    bool first = true;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[4096];
        if (!std::fgets(line, sizeof line, stdin)) {
            QApplication::quit();
            return;
        }
        if (!first) { // a new window for the next page; the last one goes
            view.reset(new View);
            dress(view.get());
        }
        first = false;
        view->load(QUrl(QString::fromLocal8Bit(line).trimmed()));
        view->show();
    });
    return QApplication::exec();
}

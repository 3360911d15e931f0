// Popup figures of the real agent: memory around page popups and after many
// popups, the cost of a second copy handing over, and the time from
// "PopupMessage:" to the popup's window being mapped on an X server.
//   popupbench AGENT BAREQAPP
#include "xsession.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>

namespace {

QTextStream out(stdout);

double rssMb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return 0;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

QString popup(const QString& position, const QString& form = QString(),
              const QString& url = QString())
{
    QJsonObject m{{"title", "Benchmark"},
                  {"summary", "A popup of the benchmark, <b>with HTML</b>."},
                  {"authorName", "测试"},
                  {"settings", QJsonArray{QJsonObject{{"key", "position"}, {"value", position}}}},
                  {"actions", QJsonArray{QJsonObject{{"id", "1"}, {"action", "OK"}, {"url", ""}}}}};
    if (!form.isEmpty()) {
        m.insert("messageFrom", form);
        m.insert("url", url);
    }
    return QStringLiteral("PopupMessage:") +
           QString::fromUtf8(QJsonDocument(m).toJson(QJsonDocument::Compact));
}

/// Closes every popup with its close button (they all rest at the centre).
void closeAll(XSession& x)
{
    for (int round = 0; round < 500; ++round) {
        const QStringList ids = x.popups();
        if (ids.isEmpty()) {
            return;
        }
        const QRect r = x.geometry(ids.constLast());
        x.click(QPoint(r.right() - 17, r.top() + 17));
        QThread::msleep(20);
    }
}

bool waitFor(const std::function<bool()>& condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (condition()) {
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return false;
}

/// A page server on loopback that counts requests.
class PageServer : public QTcpServer
{
public:
    PageServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    s->readAll();
                    ++requests;
                    const QByteArray body =
                        "<html><body><h1>Page</h1><p>A page popup of the benchmark.</p>"
                        "<script>document.title='x';</script></body></html>";
                    s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: "
                             "close\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    int requests = 0;
};

void memoryFigures(const QString& agent)
{
    XSession x;
    if (!x.start() || !x.startAgent(agent)) {
        out << "memory: cannot start Xvfb and the agent\n";
        return;
    }
    const qint64 pid = x.agent.processId();
    settle(1500);
    const double idle = rssMb(pid);

    x.send(popup("center"));
    waitFor([&] { return x.popups().size() == 1; }, 10000);
    settle(500);
    closeAll(x);
    settle(1000);
    const double warm = rssMb(pid);

    double shown50 = 0;
    QList<double> after;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 50; ++i) {
            x.send(popup("center"));
        }
        waitFor([&] { return x.popups().size() == 50; }, 30000);
        settle(500);
        shown50 = qMax(shown50, rssMb(pid));
        closeAll(x);
        settle(1500);
        after << rssMb(pid);
    }
    const double after50 = after.constFirst();

    PageServer page;
    x.send(popup("center", "Url", QStringLiteral("http://127.0.0.1:%1/").arg(page.serverPort())));
    waitFor([&] { return page.requests > 0; }, 20000);
    settle(1500);
    const double pageShown = rssMb(pid);
    closeAll(x);
    settle(1500);
    const double pageClosed = rssMb(pid);

    out << "| Agent state (Xvfb, RSS) | MB |\n|---|---|\n";
    out << QStringLiteral("| idle, before any popup | %1 |\n").arg(idle, 0, 'f', 1);
    out << QStringLiteral("| after one text popup shown and closed | %1 |\n").arg(warm, 0, 'f', 1);
    out << QStringLiteral("| 50 text popups shown | %1 |\n").arg(shown50, 0, 'f', 1);
    out << QStringLiteral("| the 50 popups closed | %1 (%2%3 MB) |\n")
               .arg(after50, 0, 'f', 1)
               .arg(after50 >= warm ? "+" : "")
               .arg(after50 - warm, 0, 'f', 1);
    out << QStringLiteral("| 50 more shown and closed, twice | %1, %2 |\n")
               .arg(after.value(1), 0, 'f', 1)
               .arg(after.value(2), 0, 'f', 1);
    out << QStringLiteral("| one page popup shown (web engine loaded) | %1 |\n")
               .arg(pageShown, 0, 'f', 1);
    out << QStringLiteral("| the page popup closed, idle again | %1 |\n\n")
               .arg(pageClosed, 0, 'f', 1);
}

double timeRun(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    p.waitForFinished(30000);
    return t.nsecsElapsed() / 1e6;
}

void handOverFigures(const QString& agent, const QString& bare)
{
    XSession x; // only for its private runtime directory and pipe
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", x.dir.path());
    x.agent.setProcessEnvironment(env);
    x.agent.setStandardOutputFile(QProcess::nullDevice());
    x.agent.start(agent, {"-pid", QString::number(QCoreApplication::applicationPid()), "-product",
                          "P", "-mac", "M"});
    x.agent.waitForStarted();
    waitFor([&] { return x.send("Hello") == QLatin1String("OK"); }, 10000);

    QList<double> handOver, reference;
    for (int i = 0; i < 21; ++i) {
        reference << timeRun(bare, {}, env);
        handOver << timeRun(agent,
                            {"-pid", QString::number(QCoreApplication::applicationPid()),
                             "-product", "Q", "-mac", "M2"},
                            env);
    }
    const double h = median(handOver), r = median(reference);
    out << "| Start to exit (offscreen, median of 21) | ms |\n|---|---|\n";
    out << QStringLiteral("| bare QApplication | %1 |\n").arg(r, 0, 'f', 1);
    out << QStringLiteral("| second copy handing over to the agent | %1 (%2×) |\n\n")
               .arg(h, 0, 'f', 1)
               .arg(h / r, 0, 'f', 2);
}

void mapFigures(const QString& agent)
{
    XSession x;
    if (!x.start() || !x.startAgent(agent)) {
        out << "map: cannot start Xvfb and the agent\n";
        return;
    }
    xcb_connection_t* c = xcb_connect(qPrintable(x.display), nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    QList<double> times;
    for (int i = 0; i < 21; ++i) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            free(e);
        }
        QElapsedTimer t;
        t.start();
        x.send(popup("center"));
        bool mapped = false;
        while (!mapped) {
            xcb_generic_event_t* e = xcb_wait_for_event(c);
            if (!e) {
                break;
            }
            mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            free(e);
        }
        times << t.nsecsElapsed() / 1e6;
        closeAll(x);
    }
    xcb_disconnect(c);
    const double first = times.takeFirst();
    out << "| \"PopupMessage:\" to window mapped (Xvfb) | ms |\n|---|---|\n";
    out << QStringLiteral("| first popup of the agent | %1 |\n").arg(first, 0, 'f', 1);
    out << QStringLiteral("| later popups, median of 20 | %1 |\n").arg(median(times), 0, 'f', 1);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: popupbench AGENT BAREQAPP\n");
        return 2;
    }
    if (!XSession::available()) {
        std::fprintf(stderr, "popupbench: Xvfb and xdotool are needed\n");
        return 1;
    }
    const QString agent = QString::fromLocal8Bit(argv[1]);
    memoryFigures(agent);
    if (!qEnvironmentVariableIsSet("POPUPBENCH_MEMORY_ONLY")) {
        handOverFigures(agent, QString::fromLocal8Bit(argv[2]));
        mapFigures(agent);
    }
    out.flush();
    return 0;
}

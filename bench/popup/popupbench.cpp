// Popup figures of the real agent: memory around the first popup with each
// GL integration, around page popups and after many popups, the cost of a second copy handing over,
// and the time from "PopupMessage:" to the popup's window being mapped on an X server.
//   popupbench AGENT BAREQAPP [MSGCTL]
// The comparison with a notification daemon needs dunst, notify-send and a
// session bus: run it as  dbus-run-session -- popupbench ...
#include "benchsession.h"

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

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <functional>

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
void closeAll(BenchSession& x)
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

/// RSS of a fresh agent: idle, with one text popup on screen, and once the
/// popup has closed.
struct FirstPopup
{
    double idle = 0;
    double open = 0;
    double closed = 0;
};

FirstPopup firstPopup(BenchSession& x)
{
    const qint64 pid = x.agent.processId();
    FirstPopup rss;
    settle(1500);
    rss.idle = rssMb(pid);
    x.send(popup("center"));
    waitFor([&] { return x.popups().size() == 1; }, 10000);
    settle(1000);
    rss.open = rssMb(pid);
    closeAll(x);
    settle(1500);
    rss.closed = rssMb(pid);
    return rss;
}

void memoryFigures(const QString& agent)
{
    BenchSession x;
    if (!x.start() || !x.startAgent(agent)) {
        out << "memory: cannot start Xvfb and the agent\n";
        return;
    }
    const qint64 pid = x.agent.processId();
    const FirstPopup first = firstPopup(x);
    const double warm = first.closed;

    const QStringList positions{"bottom right", "bottom left", "top right", "left top", "center"};
    double shown50 = 0;
    int onScreen = 0;
    QList<double> after;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 50; ++i) {
            x.send(popup(positions.at(i % positions.size())));
        }
        waitFor([&] { return x.popups().size() >= 10; }, 30000); // the most on screen
        onScreen = x.popups().size();
        settle(500);
        shown50 = qMax(shown50, rssMb(pid));
        closeAll(x);
        settle(1500);
        after << rssMb(pid);
    }
    const double after50 = after.constFirst();

    PageServer page("<html><body><h1>Page</h1><p>A page popup of the benchmark.</p>"
                    "<script>document.title='x';</script></body></html>");
    x.send(popup("center", "Url", page.url()));
    waitFor([&] { return page.requests > 0; }, 20000);
    settle(1500);
    const double pageShown = rssMb(pid);
    closeAll(x);
    settle(1500);
    const double pageClosed = rssMb(pid);

    out << "| Agent state (Xvfb, RSS) | MB |\n|---|---|\n";
    out << QStringLiteral("| idle, before any popup | %1 |\n").arg(first.idle, 0, 'f', 1);
    out << QStringLiteral("| one text popup open | %1 |\n").arg(first.open, 0, 'f', 1);
    out << QStringLiteral("| after one text popup shown and closed | %1 |\n").arg(warm, 0, 'f', 1);
    out << QStringLiteral("| 50 text popups sent (%1 on screen, the rest waiting) | %2 |\n")
               .arg(onScreen)
               .arg(shown50, 0, 'f', 1);
    out << QStringLiteral("| all 50 closed | %1 (%2%3 MB) |\n")
               .arg(after50, 0, 'f', 1)
               .arg(after50 >= warm ? "+" : "")
               .arg(after50 - warm, 0, 'f', 1);
    out << QStringLiteral("| 50 more shown and closed, twice | %1, %2 |\n")
               .arg(after.value(1), 0, 'f', 1)
               .arg(after.value(2), 0, 'f', 1);
    out << QStringLiteral("| one page popup shown (by its page view) | %1 |\n")
               .arg(pageShown, 0, 'f', 1);
    out << QStringLiteral("| the page popup closed, idle again | %1 |\n\n")
               .arg(pageClosed, 0, 'f', 1);
}

/// What the first text popup costs: RSS idle, with the popup on screen and
/// after it closed, a fresh agent for each GL integration: the agent's own
/// choice and the ones a user may set.
void firstPopupFigures(const QString& agent)
{
    out << "| GL integration (Xvfb, RSS MB) | idle | one text popup open | closed again |\n"
           "|---|---|---|---|\n";
    for (const QString& gl : {QString(), QStringLiteral("xcb_glx"), QStringLiteral("xcb_egl")}) {
        BenchSession x;
        x.glIntegration = gl;
        if (!x.start() || !x.startAgent(agent)) {
            out << "first popup: cannot start Xvfb and the agent\n";
            return;
        }
        const FirstPopup rss = firstPopup(x);
        out << QStringLiteral("| %1 | %2 | %3 (+%4) | %5 |\n")
                   .arg(gl.isEmpty() ? QStringLiteral("the agent's (variable unset)")
                                     : QStringLiteral("QT_XCB_GL_INTEGRATION=") + gl)
                   .arg(rss.idle, 0, 'f', 1)
                   .arg(rss.open, 0, 'f', 1)
                   .arg(rss.open - rss.idle, 0, 'f', 1)
                   .arg(rss.closed, 0, 'f', 1);
    }
    out << "\n";
}

/// Milliseconds for a "Hello" round trip, or -1 without an answer.
double helloMs(BenchSession& x)
{
    QElapsedTimer t;
    t.start();
    return x.send(QStringLiteral("Hello")) == QLatin1String("OK") ? t.nsecsElapsed() / 1e6 : -1;
}

/// The agent under floods of popups: 1,000 over the pipe, then popups that
/// ask for 16000 x 16000 pixels. RSS, the "Hello" round trip after each, and
/// the time from SIGTERM to the agent's end.
void boundFigures(const QString& agent)
{
    BenchSession x;
    if (!x.start() || !x.startAgent(agent)) {
        out << "bounds: cannot start Xvfb and the agent\n";
        return;
    }
    const qint64 pid = x.agent.processId();
    settle(1500);
    const double idle = rssMb(pid);
    const QStringList positions{"bottom right", "bottom left", "top right", "left top", "center"};
    for (int i = 0; i < 1000; ++i) {
        x.send(popup(positions.at(i % positions.size())));
    }
    settle(2000);
    const double flooded = rssMb(pid);
    const double hello1 = helloMs(x);
    closeAll(x); // 10 at a time; most of the 1,000 were dropped
    settle(1500);

    QJsonObject huge{{"title", "Huge"},
                     {"settings", QJsonArray{QJsonObject{{"key", "width"}, {"value", "16000"}},
                                             QJsonObject{{"key", "height"}, {"value", "16000"}}}}};
    const QString hugeCommand =
        QStringLiteral("PopupMessage:") +
        QString::fromUtf8(QJsonDocument(huge).toJson(QJsonDocument::Compact));
    for (int i = 0; i < 5; ++i) {
        x.send(hugeCommand);
    }
    settle(2000);
    const double hugeRss = rssMb(pid);
    const double hello2 = helloMs(x);

    QElapsedTimer t;
    t.start();
    x.agent.terminate();
    const bool ended = x.agent.waitForFinished(10000);
    const double termMs = t.nsecsElapsed() / 1e6;

    out << "| Flood (Xvfb) | RSS MB | \"Hello\" ms |\n|---|---|---|\n";
    out << QStringLiteral("| idle | %1 | |\n").arg(idle, 0, 'f', 1);
    out << QStringLiteral("| 1,000 popups sent over the pipe | %1 (+%2) | %3 |\n")
               .arg(flooded, 0, 'f', 1)
               .arg(flooded - idle, 0, 'f', 1)
               .arg(hello1, 0, 'f', 1);
    out << QStringLiteral("| then 5 popups of 16000 x 16000 | %1 (+%2) | %3 |\n")
               .arg(hugeRss, 0, 'f', 1)
               .arg(hugeRss - idle, 0, 'f', 1)
               .arg(hello2, 0, 'f', 1);
    out << QStringLiteral("| SIGTERM to exit | %1 ms%2 | |\n\n")
               .arg(termMs, 0, 'f', 1)
               .arg(ended ? QString() : QStringLiteral(" (did not end)"));
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
    BenchSession x; // only for its private runtime directory and pipe
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

/// X events of the whole screen: which windows are mapped and unmapped.
class MapWatch
{
public:
    explicit MapWatch(const QString& display)
    {
        c = xcb_connect(qPrintable(display), nullptr);
        if (xcb_connection_has_error(c)) {
            return;
        }
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
    }
    ~MapWatch() { xcb_disconnect(c); }

    void drain()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            free(e);
        }
    }

    /// Waits up to ms for the next event of the type (XCB_MAP_NOTIFY,
    /// XCB_UNMAP_NOTIFY) of any top-level window; false on time-out.
    bool wait(uint8_t type, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
                const bool hit = (e->response_type & 0x7f) == type;
                free(e);
                if (hit) {
                    return true;
                }
            }
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            ::poll(&fd, 1, 5);
        }
        return false;
    }

private:
    xcb_connection_t* c = nullptr;
};

/// Milliseconds from send() until a window is mapped, then close() and a
/// wait for the unmap. The first figure and the median of the others.
struct MapTimes
{
    double first = 0;
    double later = 0;
    int failed = 0;
};

MapTimes timeMaps(MapWatch& watch, int runs, const std::function<void()>& send,
                  const std::function<void()>& close)
{
    QList<double> times;
    MapTimes result;
    for (int i = 0; i < runs; ++i) {
        watch.drain();
        QElapsedTimer t;
        t.start();
        send();
        if (!watch.wait(XCB_MAP_NOTIFY, 10000)) {
            ++result.failed;
        }
        times << t.nsecsElapsed() / 1e6;
        close();
        watch.wait(XCB_UNMAP_NOTIFY, 5000);
        settle(100);
    }
    result.first = times.takeFirst();
    result.later = median(times);
    return result;
}

/// Runs a short command to its end (at most 10 s).
void runQuietly(const QString& program, const QStringList& args,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(1000);
    }
}

/// "PopupMessage:" to the popup mapped, against a notification sent with
/// notify-send to the desktop's notification daemon (dunst) mapping its
/// window, in turns on one X server. The daemon's part needs a session bus
/// (run the benchmark under dbus-run-session).
void mapFigures(const QString& agent, const QString& msgctl)
{
    // The agent runs without the session bus, as in the other figures.
    const QString bus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    BenchSession x;
    if (!x.start() || !x.startAgent(agent)) {
        out << "map: cannot start Xvfb and the agent\n";
        return;
    }
    MapWatch watch(x.display);
    const int runs = 21;
    QProcessEnvironment env = x.environment();
    const auto closeAgent = [&] { closeAll(x); };

    const MapTimes pipe = timeMaps(
        watch, runs, [&] { x.send(popup("bottom right")); }, closeAgent);
    MapTimes ctl;
    if (!msgctl.isEmpty()) {
        ctl = timeMaps(
            watch, runs,
            [&] {
                QProcess p;
                p.setProcessEnvironment(env);
                p.setProgram(msgctl);
                p.setArguments(
                    {"popup", "--title", "Benchmark", "--summary", "A popup of the benchmark."});
                p.setStandardOutputFile(QProcess::nullDevice());
                p.startDetached();
            },
            closeAgent);
    }

    const bool daemonAvailable =
        !QStandardPaths::findExecutable(QStringLiteral("dunst")).isEmpty() &&
        !QStandardPaths::findExecutable(QStringLiteral("notify-send")).isEmpty() &&
        !bus.isEmpty() && !bus.startsWith(QLatin1String("disabled:"));
    MapTimes daemon;
    if (daemonAvailable) {
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        QProcess dunst;
        dunst.setProcessEnvironment(env);
        dunst.setStandardOutputFile(QProcess::nullDevice());
        dunst.setStandardErrorFile(QProcess::nullDevice());
        dunst.start(QStringLiteral("dunst"), QStringList());
        dunst.waitForStarted(5000);
        settle(1000); // until it owns the bus name
        daemon = timeMaps(
            watch, runs,
            [&] {
                QProcess p;
                p.setProcessEnvironment(env);
                p.setProgram(QStringLiteral("notify-send"));
                p.setArguments({"Benchmark", "A notification of the benchmark."});
                p.startDetached();
            },
            [&] { runQuietly(QStringLiteral("dunstctl"), {"close-all"}, env); });
        dunst.terminate();
        dunst.waitForFinished(5000);
    }

    out << "| Command sent to window mapped (Xvfb) | first | later, median of " << runs - 1
        << " |\n|---|---|---|\n";
    const auto row = [](const QString& what, const MapTimes& m) {
        out << QStringLiteral("| %1 | %2 | %3 |%4\n")
                   .arg(what)
                   .arg(m.first, 0, 'f', 1)
                   .arg(m.later, 0, 'f', 1)
                   .arg(m.failed ? QStringLiteral(" %1 not mapped").arg(m.failed) : QString());
    };
    row(QStringLiteral("agent: \"PopupMessage:\" written to the pipe"), pipe);
    if (!msgctl.isEmpty()) {
        row(QStringLiteral("agent: `zav-msgctl popup` started"), ctl);
    }
    if (daemonAvailable) {
        row(QStringLiteral("dunst: `notify-send` started"), daemon);
    } else {
        out << "| dunst: `notify-send` started | not measured (needs dunst, notify-send and a "
               "session bus) | |\n";
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: popupbench AGENT BAREQAPP [MSGCTL]\n");
        return 2;
    }
    if (!BenchSession::available()) {
        std::fprintf(stderr, "popupbench: Xvfb and xdotool are needed\n");
        return 1;
    }
    const QString agent = QString::fromLocal8Bit(argv[1]);
    if (qEnvironmentVariableIsSet("POPUPBENCH_MAP_ONLY")) {
        mapFigures(agent, argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString());
        out.flush();
        return 0;
    }
    firstPopupFigures(agent);
    if (qEnvironmentVariableIsSet("POPUPBENCH_FIRST_ONLY")) {
        out.flush();
        return 0;
    }
    memoryFigures(agent);
    boundFigures(agent);
    if (!qEnvironmentVariableIsSet("POPUPBENCH_MEMORY_ONLY")) {
        handOverFigures(agent, QString::fromLocal8Bit(argv[2]));
        mapFigures(agent, argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString());
    }
    out.flush();
    return 0;
}

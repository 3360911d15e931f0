// Page popup figures: the time from a command to the page's first pixels on
// the screen, and memory, of the agent with page popups and of a page window
// program on its own.
//   pagebench agent AGENT [RUNS]        five page popups in a row, RUNS times
//   pagebench view RUNS PROGRAM [ARG...] the program started with URL X Y W H
//                                        appended, RUNS times
// Both start their own Xvfb (1280 x 1024) and serve the page on loopback. The
// page is one colour; "painted" is the moment the X server's screen shows that
// colour in the middle of the page's area, read with GetImage every
// millisecond.
#include "benchsession.h"

#include <QCoreApplication>
#include <QDir>
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
#include <csignal>
#include <cstdio>
#include <functional>

namespace {

QTextStream out(stdout);

using Rgb = quint32;
constexpr Rgb rgb(int r, int g, int b)
{
    return Rgb(r) << 16 | Rgb(g) << 8 | Rgb(b);
}

/// The page's colour, unlike anything else on the screen.
const Rgb pageColour = rgb(10, 200, 30);
/// A centred 310 x 210 popup on 1280 x 1024; the page fills it below the
/// sender's strip, so its middle is a little below the popup's.
const QRect popupRect(485, 407, 310, 210);
const QPoint probe(640, 530);

/// The page: one colour, a heading and a line.
const QByteArray pageBody = "<html><body style='margin:0;background:rgb(10,200,30)'><h1>Page</h1>"
                            "<p>A page popup of the benchmark.</p></body></html>";

/// Reads single pixels of the screen.
class Screen
{
public:
    explicit Screen(const QString& display)
    {
        c = xcb_connect(qPrintable(display), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    }
    ~Screen() { xcb_disconnect(c); }

    Rgb pixel(const QPoint& at)
    {
        xcb_get_image_reply_t* r =
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, int16_t(at.x()),
                                              int16_t(at.y()), 1, 1, ~0u),
                                nullptr);
        Rgb value = 0;
        if (r && xcb_get_image_data_length(r) >= 4) {
            const uint8_t* d = xcb_get_image_data(r); // B, G, R, X
            value = rgb(d[2], d[1], d[0]);
        }
        free(r);
        return value;
    }

    /// Milliseconds from clock's start until the probe shows colour, or -1.
    double waitFor(Rgb colour, const QElapsedTimer& clock, int ms, bool shows = true)
    {
        while (clock.elapsed() < ms) {
            if ((pixel(probe) == colour) == shows) {
                return clock.nsecsElapsed() / 1e6;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            QThread::usleep(500);
        }
        return -1;
    }

private:
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

/// A line of /proc/PID/status or smaps_rollup, in MB.
double procMb(qint64 pid, const char* file, const QByteArray& key)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key + ':')) {
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return 0;
}

/// The process ids below pid, all generations.
QList<qint64> descendants(qint64 pid)
{
    QList<qint64> result;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + QStringLiteral("/children")));
        if (!f.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& child : f.readAll().split(' ')) {
            if (!child.trimmed().isEmpty()) {
                result << child.trimmed().toLongLong();
                result << descendants(child.trimmed().toLongLong());
            }
        }
    }
    return result;
}

/// A figure (Pss of smaps_rollup, VmRSS of status) summed over the processes
/// below pid, in MB. PSS splits shared pages among the processes that map
/// them, so it is the processes' own share only when nothing else runs the
/// same libraries.
double below(qint64 pid, const char* file, const QByteArray& key)
{
    double sum = 0;
    for (qint64 child : descendants(pid)) {
        sum += procMb(child, file, key);
    }
    return sum;
}

/// Whether the process has a web engine mapped.
bool mapsEngine(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray maps = f.readAll();
    return maps.contains("libQt5WebKit") || maps.contains("libQt5WebEngine");
}

QString pageCommand(const QString& url)
{
    const QJsonObject m{
        {"title", "Benchmark"},
        {"authorName", "Benchmark"},
        {"messageFrom", "Url"},
        {"url", url},
        {"settings", QJsonArray{QJsonObject{{"key", "position"}, {"value", "center"}}}}};
    return QStringLiteral("PopupMessage:") +
           QString::fromUtf8(QJsonDocument(m).toJson(QJsonDocument::Compact));
}

QString mb(double v)
{
    return QString::number(v, 'f', 1);
}

/// Five page popups in a row, each shown until painted, then closed with its
/// close button.
void agentFigures(const QString& agent, int runs)
{
    out << "| Run | agent RSS before | with the first page | after five, closed | in the "
           "agent's maps | first paint, first popup | first paint, later four (median) | "
           "page view's processes, PSS / RSS summed |\n|---|---|---|---|---|---|---|---|\n";
    for (int run = 1; run <= runs; ++run) {
        BenchSession x;
        PageServer page(pageBody);
        if (!x.start() || !x.startAgent(agent)) {
            out << "cannot start Xvfb and the agent\n";
            return;
        }
        Screen screen(x.display);
        const qint64 pid = x.agent.processId();
        // Fonts and style sheets are loaded with the first popup of any kind.
        x.send(QStringLiteral(R"(PopupMessage:{"title":"warm","summary":"up",)"
                              R"("settings":[{"key":"position","value":"center"}]})"));
        settle(1000);
        x.click(QPoint(popupRect.right() - 17, popupRect.top() + 17));
        settle(1500);
        const double before = procMb(pid, "status", "VmRSS");
        double with = 0, pss = 0, rss = 0, first = -1;
        QList<double> later;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer clock;
            clock.start();
            x.send(pageCommand(page.url()));
            const double painted = screen.waitFor(pageColour, clock, 20000);
            if (i == 0) {
                first = painted;
            } else {
                later << painted;
            }
            settle(500);
            if (i == 0) {
                with = procMb(pid, "status", "VmRSS");
                pss = below(pid, "smaps_rollup", "Pss");
                rss = below(pid, "status", "VmRSS");
            }
            x.click(QPoint(popupRect.right() - 17, popupRect.top() + 17));
            QElapsedTimer gone;
            gone.start();
            screen.waitFor(pageColour, gone, 5000, false);
            settle(300);
        }
        settle(1500);
        const double after = procMb(pid, "status", "VmRSS");
        out << QStringLiteral("| %1 | %2 | %3 | %4 (%5%6) | %7 | %8 ms | %9 ms | %10 |\n")
                   .arg(run)
                   .arg(mb(before), mb(with), mb(after), after >= before ? "+" : "",
                        mb(after - before))
                   .arg(mapsEngine(pid) ? "engine" : "no engine")
                   .arg(first, 0, 'f', 0)
                   .arg(median(later), 0, 'f', 0)
                   .arg(pss > 0.05 ? mb(pss) + QStringLiteral(" / ") + mb(rss)
                                   : QStringLiteral("-"));
        out.flush();
    }
}

/// A page window program started RUNS times: start to first paint, and its
/// memory once painted.
void viewFigures(int runs, const QStringList& command)
{
    BenchSession x;
    PageServer page(pageBody);
    if (!x.start()) {
        out << "cannot start Xvfb\n";
        return;
    }
    Screen screen(x.display);
    QList<double> paints, pss, rss;
    QProcessEnvironment env = x.environment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(x.dir.filePath(QStringLiteral("view.log")));
        const QRect r = popupRect;
        QElapsedTimer clock;
        clock.start();
        p.start(command.first(),
                command.mid(1) + QStringList{page.url(), QString::number(r.x()),
                                             QString::number(r.y()), QString::number(r.width()),
                                             QString::number(r.height())});
        paints << screen.waitFor(pageColour, clock, 30000);
        settle(1500);
        pss << procMb(p.processId(), "smaps_rollup", "Pss") +
                   below(p.processId(), "smaps_rollup", "Pss");
        rss << procMb(p.processId(), "status", "VmRSS") + below(p.processId(), "status", "VmRSS");
        ::kill(pid_t(p.processId()), SIGTERM);
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished();
        }
        QElapsedTimer gone;
        gone.start();
        screen.waitFor(pageColour, gone, 5000, false);
    }
    const double first = paints.takeFirst();
    out << QStringLiteral("| %1 | %2 ms | %3 ms (%4-%5) | %6 MB | %7 MB |\n")
               .arg(QFileInfo(command.first()).fileName())
               .arg(first, 0, 'f', 0)
               .arg(median(paints), 0, 'f', 0)
               .arg(*std::min_element(paints.begin(), paints.end()), 0, 'f', 0)
               .arg(*std::max_element(paints.begin(), paints.end()), 0, 'f', 0)
               .arg(mb(median(pss)), mb(median(rss)));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (!BenchSession::available()) {
        std::fprintf(stderr, "pagebench: Xvfb and xdotool are needed\n");
        return 1;
    }
    if (args.size() >= 3 && args.at(1) == QLatin1String("agent")) {
        agentFigures(args.at(2), args.value(3, QStringLiteral("3")).toInt());
    } else if (args.size() >= 4 && args.at(1) == QLatin1String("view")) {
        out << "| Program | start to first paint, first | later (median, range) | PSS of its "
               "processes | RSS summed |\n|---|---|---|---|---|\n";
        viewFigures(args.at(2).toInt(), args.mid(3));
    } else {
        std::fprintf(stderr, "usage: pagebench agent AGENT [RUNS] | view RUNS PROGRAM [ARG...]\n");
        return 2;
    }
    out.flush();
    return 0;
}

// Page popup figures: the time from a command to a popup on the screen and to
// the page's first pixels there, and memory, of the agent with page popups
// and of a page window program on its own.
//   pagebench agent AGENT [RUNS [BUSY [POPUPS]]]
//        POPUPS page popups in a row (default 10), RUNS times (default 3),
//        with BUSY processes that keep a processor busy each (default 0);
//        then the agent's and its children's memory after the spare page
//        view's idle time (IDLE seconds, default 125: pagebench agent AGENT
//        RUNS BUSY POPUPS IDLE)
//   pagebench view RUNS PROGRAM [ARG...] the program started with URL X Y W H
//                                        appended, RUNS times
//   pagebench designs RUNS ENGINEVIEW    engineview-webengine three ways, RUNS
//        pages each: a program started for each page; a spare program started
//        ahead of each page; one program showing one page after the other
// Both start their own Xvfb (1280 x 1024) and serve the page on loopback. The
// page is one colour; "painted" is the moment the X server's screen shows that
// colour in the middle of the page's area, read with GetImage every
// 3 ms (polling faster takes processor time from the X server and the page).
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

#include <unistd.h>

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
/// The popup's strip, the agent's and the page view's alike.
const Rgb stripColour = rgb(0, 170, 255);
/// A centred 310 x 210 popup on 1280 x 1024; the page fills it below the
/// sender's strip, so its middle is a little below the popup's.
const QRect popupRect(485, 407, 310, 210);
const QPoint probe(640, 530);
/// A point of the strip of that popup, clear of the sender's text.
const QPoint stripProbe(700, 420);

/// The page: one colour, a heading and a line.
const QByteArray pageBody = "<html><body style='margin:0;background:rgb(10,200,30)'><h1>Page</h1>"
                            "<p>A page popup of the benchmark.</p></body></html>";

/// Reads single pixels of the screen, and sees windows mapped.
class Screen
{
public:
    explicit Screen(const QString& display)
    {
        c = xcb_connect(qPrintable(display), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
    }

    /// Forgets the windows mapped so far.
    void forgetMaps()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            free(e);
        }
    }

    /// Milliseconds from clock's start until a top-level window is mapped, or -1.
    double waitForMap(const QElapsedTimer& clock, int ms)
    {
        while (clock.elapsed() < ms) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
                const bool mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
                free(e);
                if (mapped) {
                    return clock.nsecsElapsed() / 1e6;
                }
            }
            QThread::usleep(1000);
        }
        return -1;
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
    double waitFor(Rgb colour, const QElapsedTimer& clock, int ms, bool shows = true,
                   const QPoint& at = probe)
    {
        while (clock.elapsed() < ms) {
            if ((pixel(at) == colour) == shows) {
                return clock.nsecsElapsed() / 1e6;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            QThread::usleep(3000); // the X server and the page share the processors
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

/// Processes that keep a processor busy each, for as long as they live.
class Busy
{
public:
    explicit Busy(int n)
    {
        for (int i = 0; i < n; ++i) {
            auto* p = new QProcess;
            p->start(QStringLiteral("sh"),
                     {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
            burners << p;
        }
    }
    ~Busy()
    {
        for (QProcess* p : qAsConst(burners)) {
            p->kill();
            p->waitForFinished();
            delete p;
        }
    }

private:
    QList<QProcess*> burners;
};

QString ms(double v)
{
    return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 0);
}

/// POPUPS page popups in a row, each shown until painted, then closed with
/// its close button, 1.5 s apart; then the memory after the spare's idle time.
void agentFigures(const QString& agent, int runs, int busy, int popups, int idleSeconds)
{
    out << "| Run | mapped, first | mapped, median | strip at its place, median | page painted, "
           "first | page painted, median (range) | agent RSS before | after the popups | after "
           "the idle time | children PSS / RSS after the popups | after the idle time | engine in "
           "the agent |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n";
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
        QList<double> mapped, strip, painted;
        {
            Busy load(busy);
            settle(500);
            for (int i = 0; i < popups; ++i) {
                screen.forgetMaps();
                QElapsedTimer clock;
                clock.start();
                x.send(pageCommand(page.url()));
                mapped << screen.waitForMap(clock, 5000);
                strip << screen.waitFor(stripColour, clock, 5000, true, stripProbe);
                painted << screen.waitFor(pageColour, clock, 20000);
                settle(300);
                x.click(QPoint(popupRect.right() - 17, popupRect.top() + 17));
                QElapsedTimer gone;
                gone.start();
                screen.waitFor(stripColour, gone, 5000, false, stripProbe);
                settle(1500);
            }
        }
        settle(1500);
        const double after = procMb(pid, "status", "VmRSS");
        const double pssAfter = below(pid, "smaps_rollup", "Pss");
        const double rssAfter = below(pid, "status", "VmRSS");
        settle(idleSeconds * 1000); // the spare's idle time and a little
        const double idle = procMb(pid, "status", "VmRSS");
        const double pssIdle = below(pid, "smaps_rollup", "Pss");
        const double rssIdle = below(pid, "status", "VmRSS");
        const double firstPaint = painted.first();
        QList<double> sorted = painted;
        std::sort(sorted.begin(), sorted.end());
        out << QStringLiteral("| %1 | %2 ms | %3 ms | %4 ms | %5 ms | %6 ms (%7-%8) | %9 | ")
                   .arg(run)
                   .arg(ms(mapped.first()), ms(median(mapped)), ms(median(strip)), ms(firstPaint),
                        ms(median(painted)), ms(sorted.first()), ms(sorted.last()), mb(before))
            << QStringLiteral("%1 (%2%3) | %4 (%5%6) | %7 / %8 | %9 / %10 | %11 |\n")
                   .arg(mb(after), after >= before ? "+" : "", mb(after - before), mb(idle),
                        idle >= before ? "+" : "", mb(idle - before), mb(pssAfter), mb(rssAfter),
                        mb(pssIdle), mb(rssIdle))
                   .arg(mapsEngine(pid) ? "yes" : "no");
        QStringList each;
        for (double v : qAsConst(painted)) {
            each << ms(v);
        }
        out << "  page painted, each: " << each.join(QStringLiteral(", ")) << " ms\n";
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

/// The ways a page can reach the screen, with engineview-webengine: the time
/// from the page being asked for to its first paint, and memory.
void designFigures(int runs, const QString& program)
{
    BenchSession x;
    PageServer page(pageBody);
    if (!x.start()) {
        out << "cannot start Xvfb\n";
        return;
    }
    Screen screen(x.display);
    QProcessEnvironment env = x.environment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    if (::geteuid() == 0) {
        env.insert(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"), QStringLiteral("--no-sandbox"));
    }
    const QRect r = popupRect;
    const QStringList place{QString::number(r.x()), QString::number(r.y()),
                            QString::number(r.width()), QString::number(r.height())};
    const auto memory = [](QProcess& p, double* pss, double* rss) {
        *pss = procMb(p.processId(), "smaps_rollup", "Pss") +
               below(p.processId(), "smaps_rollup", "Pss");
        *rss = procMb(p.processId(), "status", "VmRSS") + below(p.processId(), "status", "VmRSS");
    };
    const auto gone = [&screen] {
        QElapsedTimer t;
        t.start();
        screen.waitFor(pageColour, t, 5000, false);
    };
    const auto row = [](const QString& name, QList<double> paints, double pss, double rss,
                        const QString& idle) {
        const double first = paints.first();
        std::sort(paints.begin(), paints.end());
        out << QStringLiteral("| %1 | %2 ms | %3 ms (%4-%5) | %6 / %7 MB | %8 |\n")
                   .arg(name, ms(first), ms(median(paints)), ms(paints.first()), ms(paints.last()),
                        mb(pss), mb(rss), idle);
        out.flush();
    };
    out << "| Design | first page painted | median (range) | PSS / RSS, one page shown | PSS / "
           "RSS waiting with no page |\n|---|---|---|---|---|\n";

    // A program started for each page (the page view as it was).
    QList<double> paints;
    double pss = 0, rss = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        p.start(program, QStringList{page.url()} + place);
        paints << screen.waitFor(pageColour, clock, 30000);
        settle(1000);
        memory(p, &pss, &rss);
        p.kill();
        p.waitForFinished();
        gone();
    }
    row(QStringLiteral("a program started for each page"), paints, pss, rss, QStringLiteral("0"));

    // A spare: a program started well before its page.
    paints.clear();
    double idlePss = 0, idleRss = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(program, QStringList{QStringLiteral("-")} + place);
        settle(4000);
        memory(p, &idlePss, &idleRss);
        QElapsedTimer clock;
        clock.start();
        p.write((page.url() + QLatin1Char('\n')).toUtf8());
        paints << screen.waitFor(pageColour, clock, 30000);
        settle(1000);
        memory(p, &pss, &rss);
        p.kill();
        p.waitForFinished();
        gone();
    }
    row(QStringLiteral("a spare program started ahead of each page"), paints, pss, rss,
        mb(idlePss) + QStringLiteral(" / ") + mb(idleRss) + QStringLiteral(" MB"));

    // One program, one page after the other, each in a new window.
    paints.clear();
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, QStringList{QStringLiteral("-")} + place);
    settle(4000);
    memory(p, &idlePss, &idleRss);
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        // Each page a different address, as different popups' pages are.
        p.write(QStringLiteral("%1?%2\n").arg(page.url()).arg(i).toUtf8());
        paints << screen.waitFor(pageColour, clock, 30000);
        settle(1000);
        memory(p, &pss, &rss);
        p.write("about:blank\n"); // the page's window goes
        gone();
    }
    p.kill();
    p.waitForFinished();
    row(QStringLiteral("one program for one page after the other"), paints, pss, rss,
        mb(idlePss) + QStringLiteral(" / ") + mb(idleRss) + QStringLiteral(" MB"));
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
        agentFigures(args.at(2), args.value(3, QStringLiteral("3")).toInt(),
                     args.value(4, QStringLiteral("0")).toInt(),
                     args.value(5, QStringLiteral("10")).toInt(),
                     args.value(6, QStringLiteral("125")).toInt());
    } else if (args.size() >= 4 && args.at(1) == QLatin1String("designs")) {
        designFigures(args.at(2).toInt(), args.at(3));
    } else if (args.size() >= 4 && args.at(1) == QLatin1String("view")) {
        out << "| Program | start to first paint, first | later (median, range) | PSS of its "
               "processes | RSS summed |\n|---|---|---|---|---|\n";
        viewFigures(args.at(2).toInt(), args.mid(3));
    } else {
        std::fprintf(
            stderr,
            "usage: pagebench agent AGENT [RUNS [BUSY [POPUPS [IDLE]]]] | view RUNS PROGRAM "
            "[ARG...] | designs RUNS ENGINEVIEW\n");
        return 2;
    }
    out.flush();
    return 0;
}

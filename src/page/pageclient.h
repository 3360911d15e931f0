// One page popup's page view program, seen from the agent. The program draws
// the whole popup where the agent says and runs the page; the agent keeps
// deciding where popups rest and what a link opens, and trusts nothing the
// program says beyond what it can check.
#pragma once

#include "message/pageframe.h"
#include "page/pagewatch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <QUrl>

#include <sys/types.h>

class QLocalSocket;
class QTimer;

/// Starts the page view (in its sandbox and a scope of its own where they
/// can be made, see pagesandbox), talks to it over a private socket pair,
/// passes its debug lines on, and watches it: it ends the page view when it
/// does not answer, keeps a processor busy, takes too much memory or runs too
/// many processes (all its processes together), floods the channel or does
/// not read it. Geometry goes in (open, moveTo); what the user does comes
/// out as signals, each frame acted on as often as it means something.
class PageClient : public QObject
{
    Q_OBJECT

public:
    explicit PageClient(QObject* parent = nullptr);
    /// Whether this system has a page view program at all; where it has none
    /// (Windows: Qt WebEngine has no MinGW build), why, in words.
    static bool supported(QString* why = nullptr);
    /// Ends the page view at once, if it still runs.
    ~PageClient() override;

    /// Starts the page view program with no page yet: it makes its web
    /// engine ready and waits for open. False, and why, when the program is
    /// not there or does not start.
    bool start(QString* why);
    /// Whether the program runs (started, not ended).
    bool running() const { return pid > 0 && !finished; }
    /// Shows url, with the sender's text in its strip, at geometry (the
    /// popup's whole window); with layer edges, as a layer surface anchored at
    /// those edges of area. Starts the program first if start() was not
    /// called; false, and why, when it cannot. Once per page view.
    bool open(const QUrl& url, const QString& sender, const QRect& geometry, Qt::Edges layer,
              const QRect& area, QString* why);
    /// Moves the popup's window.
    void moveTo(const QPoint& place);
    /// Ends the page view now; failed(why) follows.
    void end(const QString& why);
    /// Ends the page view now, quietly, with every process below it: nothing
    /// follows. Also in one of this object's own signals.
    void stop();

signals:
    /// The popup's window is on the screen and painted, where open put it.
    /// Once.
    void ready();
    /// The page has loaded (or failed to). Once.
    void loaded(bool ok);
    /// The user clicked a link in the page: at most limits::pageLinksPerPopup,
    /// one a second, each for a click the agent saw where it can see them.
    void linkClicked(const QUrl& url);
    /// Once.
    void closeClicked();
    /// The user dragged the popup there.
    void dragged(const QPoint& place);
    /// The pointer came over the popup (true) or left it.
    void hovered(bool in);
    /// The page view has ended without being asked to; why, in words. Sent
    /// once, and nothing after it.
    void failed(const QString& why);

private:
    void readChannel();
    void readLog();
    void handle(const pageframe::Frame& frame);
    void link(const QUrl& url);
    void send(const pageframe::Writer& frame);
    /// A debug line about the page view, counted with its own lines.
    void note(const QString& line);
    /// The watchdog's round: answers, processor time, memory, processes, an end.
    void check();

    pid_t pid = -1;
    bool finished = false;
    bool sandboxed = false;
    bool opened = false;
    bool shown = false;
    bool pageLoaded = false;
    bool closed = false;
    QRect place; ///< the popup's window now
    QLocalSocket* channel = nullptr;
    QLocalSocket* log = nullptr;
    QTimer* watchdog = nullptr;
    pageframe::Reader reader;
    QElapsedTimer started;
    QElapsedTimer openedAt;
    QElapsedTimer answered; ///< since the last Pong; invalid until the first
    QElapsedTimer lastLink;
    int links = 0;
    QElapsedTimer second; ///< since the current second of frames began
    int frames = 0;       ///< frames within it
    QElapsedTimer sample; ///< since the last processor time sample
    pagewatch::CpuWindow cpu;
    qint32 pings = 0;
    qint32 pongs = 0;    ///< the last ping answered
    QString gone;        ///< why, as the page view said it was ending
    QByteArray logLine;  ///< the unfinished debug line
    int logLines = 0;    ///< debug lines passed on, or written about it
    QElapsedTimer ended; ///< since the channel closed
};

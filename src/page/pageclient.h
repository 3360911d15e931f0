// One page popup's page view program, seen from the agent. The program draws
// the whole popup where the agent says and runs the page; the agent keeps
// deciding where popups rest and what a link opens.
#pragma once

#include "message/pageframe.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <QUrl>

#include <sys/types.h>

class QLocalSocket;
class QTimer;

/// Starts the page view (in its sandbox where one can be made, see
/// pagesandbox), talks to it over a private socket pair, passes its debug lines
/// on, and watches it: it ends the page view when it does not answer, keeps a
/// processor busy or takes too much memory (all its processes together).
/// Geometry goes in (open, moveTo); what the user does comes out as signals.
class PageClient : public QObject
{
    Q_OBJECT

public:
    explicit PageClient(QObject* parent = nullptr);
    /// Ends the page view at once, if it still runs.
    ~PageClient() override;

    /// Starts the page view for url, with the sender's text in its strip, at
    /// geometry (the popup's whole window); with layer edges, as a layer
    /// surface anchored at those edges of area. False, and why, when the
    /// program is not there or does not start.
    bool open(const QUrl& url, const QString& sender, const QRect& geometry, Qt::Edges layer,
              const QRect& area, QString* why);
    /// Moves the popup's window.
    void moveTo(const QPoint& place);
    /// Ends the page view now; failed(why) follows.
    void end(const QString& why);
    /// Ends the page view now, quietly: nothing follows. Also in one of this
    /// object's own signals.
    void stop();

signals:
    /// The popup is on the screen, where open put it.
    void ready();
    /// The user clicked a link in the page (at most one a second is passed on).
    void linkClicked(const QUrl& url);
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
    void send(const pageframe::Writer& frame);
    /// The watchdog's round: answers, processor time, memory, an end.
    void check();

    pid_t pid = -1;
    bool finished = false;
    QLocalSocket* channel = nullptr;
    QLocalSocket* log = nullptr;
    QTimer* watchdog = nullptr;
    pageframe::Reader reader;
    QElapsedTimer started;
    QElapsedTimer answered; ///< since the last Pong; invalid until Ready
    QElapsedTimer lastLink;
    QElapsedTimer sample; ///< since the last processor time sample
    QList<qint64> cpuMs;  ///< processor time, one sample a second, the last limits::pageCpuWindowMs
    qint32 pings = 0;
    QString gone;        ///< why, as the page view said it was ending
    QByteArray logLine;  ///< the unfinished debug line
    int logLines = 0;    ///< debug lines passed on
    QElapsedTimer ended; ///< since the channel closed
};

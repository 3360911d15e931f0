#include "pageclient.h"

#include "page/clickwitness.h"
#include "page/pagesandbox.h"

#include "message/limits.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pageframe;

namespace {

const int tickMs = 250;

QString exitText(int status)
{
    if (WIFSIGNALED(status)) {
        return QStringLiteral("killed by signal %1 (%2)")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))));
    }
    const int code = WEXITSTATUS(status);
    // bwrap ends with 128 + the signal that killed the program.
    return code > 128 ? QStringLiteral("ended with code %1 (killed by signal %2 in its sandbox)")
                            .arg(code)
                            .arg(code - 128)
                      : QStringLiteral("ended with code %1").arg(code);
}

/// A socket pair, both ends closed on exec (a child gets its end by dup2).
bool socketPair(int fds[2])
{
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
}

} // namespace

PageClient::PageClient(QObject* parent) : QObject(parent) {}

bool PageClient::supported(QString*)
{
    return true;
}

PageClient::~PageClient()
{
    stop();
}

bool PageClient::start(QString* why)
{
    if (pid > 0 || finished) {
        *why = QStringLiteral("the page view was started before");
        return false;
    }
    const QString program = pagesandbox::program(why);
    if (program.isEmpty()) {
        return false;
    }
    const pagesandbox::Launch launch = pagesandbox::launch(program);
    int channelFds[2], logFds[2];
    if (!socketPair(channelFds)) {
        *why = QStringLiteral("no socket pair: ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    if (!socketPair(logFds)) {
        *why = QStringLiteral("no socket pair: ") + QString::fromLocal8Bit(strerror(errno));
        ::close(channelFds[0]);
        ::close(channelFds[1]);
        return false;
    }
    QList<QByteArray> argv, env;
    for (const QString& a : launch.argv) {
        argv << QFile::encodeName(a);
    }
    for (const QString& e : launch.env) {
        env << e.toLocal8Bit();
    }
    std::vector<char*> args, vars;
    for (QByteArray& a : argv) {
        args.push_back(a.data());
    }
    for (QByteArray& e : env) {
        vars.push_back(e.data());
    }
    args.push_back(nullptr);
    vars.push_back(nullptr);

    // The channel becomes descriptor 3, the debug lines come through 2.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, logFds[1], 2);
    posix_spawn_file_actions_adddup2(&files, channelFds[1], 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // A session of its own: no terminal to type into.
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    const int failure =
        ::posix_spawn(&pid, args.front(), &files, &attributes, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    ::close(channelFds[1]);
    ::close(logFds[1]);
    if (failure != 0) {
        *why =
            launch.argv.first() + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(failure));
        ::close(channelFds[0]);
        ::close(logFds[0]);
        pid = -1;
        return false;
    }
    started.start();
    sample.start();
    second.start();
    sandboxed = launch.sandboxed;
    const QString scope = launch.scoped
                              ? QStringLiteral("in a scope of its own (memory, processor time and "
                                               "tasks bounded by the kernel)")
                              : QStringLiteral("in no scope of its own (%1): bounded by the "
                                               "agent's watchdog")
                                    .arg(launch.whyNoScope);
    if (launch.sandboxed) {
        note(QStringLiteral("page view started, pid %1 sandboxed (bwrap), %2").arg(pid).arg(scope));
    } else {
        note(QStringLiteral("page view started, pid %1 NOT sandboxed, it runs with the agent's "
                            "rights: %2; %3")
                 .arg(pid)
                 .arg(launch.why, scope));
    }

    channel = new QLocalSocket(this);
    channel->setSocketDescriptor(channelFds[0]);
    connect(channel, &QLocalSocket::readyRead, this, &PageClient::readChannel);
    connect(channel, &QLocalSocket::disconnected, this, [this] { ended.start(); });
    log = new QLocalSocket(this);
    log->setSocketDescriptor(logFds[0]);
    connect(log, &QLocalSocket::readyRead, this, &PageClient::readLog);
    watchdog = new QTimer(this);
    connect(watchdog, &QTimer::timeout, this, &PageClient::check);
    watchdog->start(tickMs);
    return true;
}

bool PageClient::open(const QUrl& url, const QString& sender, const QRect& geometry,
                      Qt::Edges layer, const QRect& area, QString* why)
{
    if (opened || (pid <= 0 && !start(why))) {
        if (opened) {
            *why = QStringLiteral("the page view has a page already");
        }
        return false;
    }
    if (finished) {
        *why = QStringLiteral("the page view has ended");
        return false;
    }
    opened = true;
    openedAt.start();
    place = geometry;
    ClickWitness::instance(); // watching from now on: the click comes before its link
    send(Writer(Open)
             .text(url.toString(QUrl::FullyEncoded))
             .text(sender)
             .number(geometry.x())
             .number(geometry.y())
             .number(geometry.width())
             .number(geometry.height())
             .number(int(layer))
             .number(area.x())
             .number(area.y())
             .number(area.width())
             .number(area.height()));
    return true;
}

void PageClient::moveTo(const QPoint& to)
{
    place.moveTopLeft(to);
    send(Writer(Place).number(to.x()).number(to.y()));
}

void PageClient::send(const Writer& frame)
{
    if (!channel || finished) {
        return;
    }
    const QByteArray bytes = frame.frame();
    if (channel->bytesToWrite() + bytes.size() > limits::pageUnsentBytes) {
        end(QStringLiteral("it does not read what the agent sends (%1 KiB waiting)")
                .arg(channel->bytesToWrite() >> 10));
        return;
    }
    channel->write(bytes);
}

void PageClient::readChannel()
{
    // Never more at once than a second of frames could take.
    reader.add(channel->read(qint64(limits::maxPageFrame) * 2));
    Frame frame;
    while (!finished && reader.next(&frame)) {
        if (second.elapsed() >= 1000) {
            second.restart();
            frames = 0;
        }
        if (++frames > limits::pageFramesPerSecond) {
            end(QStringLiteral("it sent more than %1 frames in a second")
                    .arg(limits::pageFramesPerSecond));
            return;
        }
        handle(frame);
    }
    if (reader.broken() && !finished) {
        end(QStringLiteral("it sent a frame longer than %1 bytes").arg(limits::maxPageFrame));
        return;
    }
    if (!finished && channel->bytesAvailable() > 0) { // the rest on the next pass
        QMetaObject::invokeMethod(this, &PageClient::readChannel, Qt::QueuedConnection);
    }
}

void PageClient::handle(const Frame& frame)
{
    Fields fields(frame.fields);
    switch (frame.type) {
    case Ready: // once, and only for a page it was asked to show
        if (opened && !shown) {
            shown = true;
            emit ready();
        }
        break;
    case Loaded: {
        const bool ok = fields.number() == 1;
        if (fields.ok() && opened && !pageLoaded) {
            pageLoaded = true;
            note(QStringLiteral("page loaded: %1").arg(ok ? "ok" : "failed"));
            emit loaded(ok);
        }
        break;
    }
    case Link: {
        const QUrl url(fields.text(), QUrl::StrictMode);
        if (fields.ok() && shown) {
            link(url);
        }
        break;
    }
    case CloseClicked:
        if (shown && !closed) {
            closed = true;
            emit closeClicked();
        }
        break;
    case Dragged: {
        const int x = fields.number(), y = fields.number();
        if (fields.ok() && shown) {
            place.moveTopLeft(QPoint(x, y));
            emit dragged(QPoint(x, y));
        }
        break;
    }
    case Hover: {
        const bool in = fields.number() == 1;
        if (fields.ok() && shown) {
            emit hovered(in);
        }
        break;
    }
    case Pong: { // an answer only to a ping sent and not yet answered
        const qint32 n = fields.number();
        if (fields.ok() && n > pongs && n <= pings) {
            pongs = n;
            answered.start();
        }
        break;
    }
    case Gone:
        if (gone.isEmpty()) {
            gone = fields.text().left(300);
        }
        break;
    default:
        break; // a frame of a later page view, or none: not acted on
    }
}

void PageClient::link(const QUrl& url)
{
    if (links >= limits::pageLinksPerPopup) {
        note(QStringLiteral("page link not opened: this popup has opened %1 already")
                 .arg(limits::pageLinksPerPopup));
        return;
    }
    if (lastLink.isValid() && lastLink.elapsed() < 1000) {
        note(QStringLiteral("page link not opened: another one came less than a second ago"));
        return;
    }
    ClickWitness* witness = ClickWitness::instance();
    if (witness && !witness->takeClick(place)) {
        note(QStringLiteral("page link not opened: the agent saw no click on the popup"));
        return;
    }
    ++links;
    lastLink.start();
    emit linkClicked(url);
}

void PageClient::note(const QString& line)
{
    if (logLines < limits::pageLogLines) {
        qDebug().noquote() << line;
    } else if (logLines == limits::pageLogLines) {
        qDebug() << "page view: later debug lines of this page view are dropped";
    }
    ++logLines;
}

void PageClient::readLog()
{
    const QByteArray bytes = log->read(qint64(64) * 1024);
    for (char c : bytes) {
        if (c != '\n') {
            if (logLine.size() < limits::pageLogLineLength) {
                logLine.append(c);
            }
            continue;
        }
        note(QStringLiteral("page view: ") + QString::fromUtf8(logLine));
        logLine.clear();
    }
    if (logLines > limits::pageLogLines) { // nothing more of it is written
        log->abort();
    } else if (log->bytesAvailable() > 0) { // the rest on the next pass
        QMetaObject::invokeMethod(this, &PageClient::readLog, Qt::QueuedConnection);
    }
}

void PageClient::check()
{
    if (finished) {
        return;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        finished = true;
        watchdog->stop();
        readLog();
        const QString why = (gone.isEmpty() ? QString() : gone + QStringLiteral("; ")) +
                            QStringLiteral("the page view ") + exitText(status);
        qDebug().noquote() << "page view ended:" << why;
        emit failed(why);
        return;
    }
    if (ended.isValid()) { // its channel closed: it is ending
        if (ended.elapsed() > 2000) {
            end(QStringLiteral("it closed its channel but did not end"));
        }
        return;
    }
    if (opened && !shown && openedAt.elapsed() > limits::pageStartMs) {
        end(QStringLiteral("it did not show the popup within %1 s")
                .arg(limits::pageStartMs / 1000));
        return;
    }
    if (!answered.isValid() && started.elapsed() > limits::pageStartMs) {
        end(QStringLiteral("it did not answer within %1 s of its start")
                .arg(limits::pageStartMs / 1000));
        return;
    }
    if (answered.isValid() && answered.elapsed() > limits::pageAnswerMs) {
        end(QStringLiteral("it did not answer for %1 s").arg(limits::pageAnswerMs / 1000));
        return;
    }
    const pagewatch::Usage used = pagewatch::usage(pid, sandboxed);
    if (used.tooMany) {
        end(QStringLiteral("it ran more than %1 processes").arg(limits::pageProcesses));
        return;
    }
    if (used.memory > limits::pageMemoryBytes) {
        end(QStringLiteral("its processes took %1 MB of memory (at most %2 MB)")
                .arg(used.memory >> 20)
                .arg(limits::pageMemoryBytes >> 20));
        return;
    }
    if (sample.elapsed() < 1000) {
        return;
    }
    sample.restart();
    send(Writer(Ping).number(++pings));
    const qint64 window = cpu.add(started.elapsed(), used.cpuMs);
    if (window >= limits::pageCpuBudgetMs) {
        end(QStringLiteral("its processes used %1 s of processor time in %2 s")
                .arg(window / 1000)
                .arg(limits::pageCpuWindowMs / 1000));
    }
}

void PageClient::end(const QString& why)
{
    if (finished) {
        return;
    }
    stop();
    qDebug().noquote() << "page view ended by the agent:" << why;
    emit failed(why);
}

void PageClient::stop()
{
    if (finished || pid <= 0) {
        finished = true;
        return;
    }
    finished = true;
    if (watchdog) {
        watchdog->stop();
    }
    // Every process: in a sandbox they die with its first one, but not
    // without one. The tree is stopped first, so that none starts another or
    // leaves it (an orphan would go to init) while it is ended; those that
    // left the process group are found as children.
    QList<pid_t> all;
    for (int round = 0; round < 3; ++round) {
        const QList<pid_t> found = pagewatch::descendants(pid, 4096);
        ::kill(pid, SIGSTOP);
        bool fresh = false;
        for (pid_t p : found) {
            if (!all.contains(p)) {
                ::kill(p, SIGSTOP);
                all << p;
                fresh = true;
            }
        }
        if (!fresh) {
            break;
        }
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    for (pid_t p : qAsConst(all)) {
        ::kill(p, SIGKILL);
    }
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

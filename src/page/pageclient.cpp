#include "pageclient.h"

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

/// The processes below pid, all generations (at most limits::pageProcesses).
QList<pid_t> descendants(pid_t pid)
{
    QList<pid_t> found{pid};
    for (int i = 0; i < found.size() && found.size() < limits::pageProcesses; ++i) {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(found.at(i));
        for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
            if (children.open(QIODevice::ReadOnly)) {
                for (const QByteArray& child : children.read(4096).split(' ')) {
                    if (child.toInt() > 0 && found.size() < limits::pageProcesses) {
                        found << pid_t(child.toInt());
                    }
                }
            }
        }
    }
    return found.mid(1);
}

/// Processor time (ms) and private memory (bytes) of pid and its descendants.
void usage(pid_t pid, qint64* cpuMs, qint64* memory)
{
    static const long tick = ::sysconf(_SC_CLK_TCK);
    *cpuMs = 0;
    *memory = 0;
    QList<pid_t> all = descendants(pid);
    all << pid;
    for (pid_t p : qAsConst(all)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(p));
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.read(4096);
            // After the command's name, which may hold ") ": fields 14 and 15.
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            *cpuMs += (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / tick;
        }
        QFile status(QStringLiteral("/proc/%1/status").arg(p));
        if (status.open(QIODevice::ReadOnly)) {
            const QByteArray text = status.read(8192);
            const int at = text.indexOf("RssAnon:");
            if (at >= 0) {
                *memory += text.mid(at + 8, 24).trimmed().split(' ').value(0).toLongLong() * 1024;
            }
        }
    }
}

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

PageClient::~PageClient()
{
    stop();
}

bool PageClient::open(const QUrl& url, const QString& sender, const QRect& geometry,
                      Qt::Edges layer, const QRect& area, QString* why)
{
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
    if (launch.sandboxed) {
        qDebug() << "page view started, pid" << pid << "sandboxed (bwrap)";
    } else {
        qDebug().noquote() << "page view started, pid" << pid
                           << "NOT sandboxed, it runs with the agent's rights:" << launch.why;
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

void PageClient::moveTo(const QPoint& place)
{
    send(Writer(Place).number(place.x()).number(place.y()));
}

void PageClient::send(const Writer& frame)
{
    if (channel && !finished) {
        channel->write(frame.frame());
    }
}

void PageClient::readChannel()
{
    reader.add(channel->readAll());
    Frame frame;
    while (!finished && reader.next(&frame)) {
        handle(frame);
    }
    if (reader.broken() && !finished) {
        end(QStringLiteral("it sent a frame longer than %1 bytes").arg(limits::maxPageFrame));
    }
}

void PageClient::handle(const Frame& frame)
{
    Fields fields(frame.fields);
    switch (frame.type) {
    case Ready:
        answered.start();
        emit ready();
        break;
    case Loaded: {
        const bool ok = fields.number() == 1;
        qDebug() << "page loaded:" << (ok ? "ok" : "failed");
        break;
    }
    case Link: {
        const QUrl url(fields.text(), QUrl::StrictMode);
        if (!fields.ok()) {
            break;
        }
        if (lastLink.isValid() && lastLink.elapsed() < 1000) {
            qDebug() << "page link not opened: another one came less than a second ago";
            break;
        }
        lastLink.start();
        emit linkClicked(url);
        break;
    }
    case CloseClicked:
        emit closeClicked();
        break;
    case Dragged: {
        const int x = fields.number(), y = fields.number();
        if (fields.ok()) {
            emit dragged(QPoint(x, y));
        }
        break;
    }
    case Hover: {
        const bool in = fields.number() == 1;
        if (fields.ok()) {
            emit hovered(in);
        }
        break;
    }
    case Pong:
        if (answered.isValid()) {
            answered.start();
        }
        break;
    case Gone:
        gone = fields.text().left(300);
        break;
    default:
        break; // a frame of a later page view, or none: not acted on
    }
}

void PageClient::readLog()
{
    const QByteArray bytes = log->readAll();
    for (char c : bytes) {
        if (c != '\n') {
            if (logLine.size() < limits::pageLogLineLength) {
                logLine.append(c);
            }
            continue;
        }
        if (logLines < limits::pageLogLines) {
            qDebug().noquote() << "page view:" << QString::fromUtf8(logLine);
        } else if (logLines == limits::pageLogLines) {
            qDebug() << "page view: later debug lines of this page view are dropped";
        }
        ++logLines;
        logLine.clear();
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
    if (!answered.isValid() && started.elapsed() > limits::pageStartMs) {
        end(QStringLiteral("it did not show the popup within %1 s")
                .arg(limits::pageStartMs / 1000));
        return;
    }
    if (answered.isValid() && answered.elapsed() > limits::pageAnswerMs) {
        end(QStringLiteral("it did not answer for %1 s").arg(limits::pageAnswerMs / 1000));
        return;
    }
    qint64 cpu = 0, memory = 0;
    usage(pid, &cpu, &memory);
    if (memory > limits::pageMemoryBytes) {
        end(QStringLiteral("its processes took %1 MB of memory (at most %2 MB)")
                .arg(memory >> 20)
                .arg(limits::pageMemoryBytes >> 20));
        return;
    }
    if (sample.elapsed() < 1000) {
        return;
    }
    sample.restart();
    send(Writer(Ping).number(++pings));
    cpuMs << cpu;
    if (cpuMs.size() > limits::pageCpuWindowMs / 1000) {
        const qint64 used = cpu - cpuMs.takeFirst();
        if (used >= limits::pageCpuBudgetMs) {
            end(QStringLiteral("its processes used %1 s of processor time in %2 s")
                    .arg(used / 1000)
                    .arg(limits::pageCpuWindowMs / 1000));
        }
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
    // Every process: in a sandbox they die with it, but not without one.
    const QList<pid_t> all = descendants(pid);
    ::kill(pid, SIGKILL);
    for (pid_t p : all) {
        ::kill(p, SIGKILL);
    }
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

// The pipe on Linux: a Unix socket, owner-only, in a private directory, and
// an exclusive lock on a file beside it. Only the lock's holder creates the
// socket, so a socket file found by the holder is left over from an agent
// that died and is removed; a copy that cannot take the lock never touches
// the socket.
#include "pipelistener.h"

#include "ipc/pipepath.h"
#include "message/limits.h"

#include <QDebug>
#include <QEvent>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int maxPendingConnections = 20;
/// Descriptors kept for everything but pipe connections (polling, popups,
/// the toolkit); the pipe takes no more than the limit minus these.
const int reservedDescriptors = 128;
/// How often the server is checked to be still listening.
const int listenCheckMs = 10 * 1000;

QString lastError()
{
    return qt_error_string(errno);
}

/// Where the single-instance lock lives when the pipe has no private
/// directory: the user's cache directory ($XDG_CACHE_HOME, or ~/.cache),
/// made owner-only if missing, and refused (empty text, why says why) unless
/// it is a directory of this user that nobody else can write to.
QString ownLockPath(QString* why)
{
    QString dir = QFile::decodeName(qgetenv("XDG_CACHE_HOME"));
    if (!dir.startsWith(QLatin1Char('/'))) {
        const QString home = QFile::decodeName(qgetenv("HOME"));
        if (!home.startsWith(QLatin1Char('/'))) {
            *why = QStringLiteral("neither XDG_CACHE_HOME nor HOME is an absolute path");
            return {};
        }
        dir = home + QStringLiteral("/.cache");
    }
    const QByteArray native = QFile::encodeName(dir);
    ::mkdir(native.constData(), 0700);
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = dir + QStringLiteral(": not a directory of this user's alone");
        return {};
    }
    return dir + QStringLiteral("/zav-msg-agent.lock");
}

} // namespace

struct PipeListener::State
{
    QLocalServer* server = nullptr;
    QString socketPath;
    int lockFd = -1;
    int spareFd = -1; // given up to take a connection when descriptors run out
    Claim claim = Unclaimed;
    bool listening = false;

    bool listenOnSocket(PipeListener* listener);
    void keepListening(PipeListener* listener);
    void refuseConnection(QSocketNotifier* notifier);
};

PipeListener::PipeListener(QObject* parent) : QObject(parent), d(new State) {}

PipeListener::~PipeListener()
{
    close();
    if (d->spareFd >= 0) {
        ::close(d->spareFd);
    }
    if (d->lockFd >= 0) {
        ::close(d->lockFd); // the lock goes with it
    }
}

PipeListener::Claim PipeListener::claim()
{
    if (d->lockFd >= 0) {
        return d->claim;
    }
    QString why;
    d->socketPath = pipePath(&why);
    // Beside the socket, in the same private directory, owner-only. Without
    // such a directory there is no pipe, but still one agent: the lock then
    // lives in a directory of the user's own.
    QString lockName = d->socketPath + QStringLiteral(".lock");
    if (d->socketPath.isEmpty()) {
        qDebug().noquote() << "server : no private directory for the pipe:" << why;
        lockName = ownLockPath(&why);
        if (lockName.isEmpty()) {
            qDebug().noquote() << "server : no place for the lock either:" << why;
            return d->claim = Unclaimed;
        }
    }
    qDebug().noquote() << "server : pipe" << (d->socketPath.isEmpty() ? "(none)" : d->socketPath)
                       << ", lock" << lockName;
    const QByteArray lockPath = QFile::encodeName(lockName);
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        qDebug().noquote() << "server : cannot open the pipe's lock file:" << lastError();
        return d->claim = Unclaimed;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return d->claim = Taken;
        }
        qDebug().noquote() << "server : cannot lock the pipe's lock file:"
                           << qt_error_string(error);
        return d->claim = Unclaimed;
    }
    d->lockFd = fd; // held until the process ends
    return d->claim = Claimed;
}

bool PipeListener::hasPipe() const
{
    return !d->socketPath.isEmpty();
}

int PipeListener::maxConnections() const
{
    rlimit limit{};
    const rlim_t descriptors = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    return int(qBound<rlim_t>(
        16, descriptors > reservedDescriptors ? descriptors - reservedDescriptors : 16,
        limits::maxPipeConnections));
}

bool PipeListener::listen()
{
    d->server = new QLocalServer(this);
    d->server->setMaxPendingConnections(maxPendingConnections);
    connect(d->server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = d->server->nextPendingConnection()) {
            emit accepted(socket);
        }
    });
    d->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    d->listening = d->listenOnSocket(this);
    if (d->listening) {
        auto* watch = new QTimer(d->server);
        connect(watch, &QTimer::timeout, this, [this] { d->keepListening(this); });
        watch->start(listenCheckMs);
    }
    return d->listening;
}

void PipeListener::close()
{
    delete d->server; // its connections with it
    d->server = nullptr;
    d->listening = false;
}

bool PipeListener::State::listenOnSocket(PipeListener* listener)
{
    if (socketPath.isEmpty()) {
        QString why;
        socketPath = pipePath(&why);
        if (socketPath.isEmpty()) {
            qDebug().noquote() << "server : no private directory for the pipe:" << why;
            return false;
        }
    }
    const QByteArray path = QFile::encodeName(socketPath);
    if (claim == Claimed && ::unlink(path.constData()) == 0) {
        // Only the lock's holder ever creates the socket: one found now is
        // left over from an agent that died.
        qDebug().noquote() << QStringLiteral("server : remove pipe line : ") + socketPath;
    }
    // No socket options: with them the server would replace any file there,
    // a live agent's too, and without the lock a socket file is never removed.
    if (!server->listen(socketPath)) {
        qDebug().noquote() << "server : listen:" << server->errorString();
        return false;
    }
    // The directory is private already; the socket is owner-only as well.
    if (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0) {
        qDebug().noquote() << "server : cannot make the pipe owner-only:" << lastError();
        server->close();
        return false;
    }
    // The server's notifier on its listening socket: see eventFilter().
    const auto notifiers =
        server->findChildren<QSocketNotifier*>(QString(), Qt::FindDirectChildrenOnly);
    for (QSocketNotifier* notifier : notifiers) {
        if (notifier->socket() != server->socketDescriptor()) {
            continue; // one from before, on its way out
        }
        notifier->installEventFilter(listener);
        connect(notifier, &QSocketNotifier::activated, listener, [this, listener] {
            // once the server has taken the connection
            QMetaObject::invokeMethod(
                listener, [this, listener] { keepListening(listener); }, Qt::QueuedConnection);
        });
    }
    return true;
}

bool PipeListener::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::SockAct || !d->server || watched->parent() != d->server) {
        return QObject::eventFilter(watched, event);
    }
    // The server stops listening, and removes its socket file, when its
    // accept() fails: it accepts only while a descriptor is free.
    if (d->spareFd < 0) {
        d->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const int probe = d->spareFd >= 0 ? ::fcntl(d->spareFd, F_DUPFD_CLOEXEC, 0) : -1;
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    d->refuseConnection(static_cast<QSocketNotifier*>(watched));
    return true;
}

void PipeListener::State::keepListening(PipeListener* listener)
{
    // After a failed accept() the server has closed its socket and removed
    // its file, yet still counts as listening: the file tells.
    struct stat file = {};
    if (!server || !listening ||
        (::stat(QFile::encodeName(socketPath).constData(), &file) == 0 && S_ISSOCK(file.st_mode))) {
        return;
    }
    // This copy holds the pipe: nobody else can have taken it.
    const QString why =
        server->errorString().isEmpty() ? QStringLiteral("file removed") : server->errorString();
    server->close();
    const bool ok = listenOnSocket(listener);
    qDebug().noquote() << "server : the pipe's socket is gone (" + why + "), listening again:"
                       << (ok ? "done" : "failed, trying again at the next check");
}

void PipeListener::State::refuseConnection(QSocketNotifier* notifier)
{
    // No descriptor left: give up the spare one to take the waiting
    // connection and close it, so that the server never meets the shortage.
    if (spareFd >= 0) {
        ::close(spareFd);
        spareFd = -1;
    }
    pollfd waiting{int(server->socketDescriptor()), POLLIN, 0}; // the socket blocks
    const int fd =
        ::poll(&waiting, 1, 0) == 1 ? ::accept4(waiting.fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd >= 0) {
        ::close(fd);
        qDebug() << "server : no descriptor left for another connection, closed it at once";
    }
    spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && spareFd >= 0) {
        return;
    }
    // Not even that: stop accepting for a moment rather than spin.
    qDebug() << "server : no descriptor left, accepting again shortly";
    notifier->setEnabled(false);
    QTimer::singleShot(100, notifier, [notifier] { notifier->setEnabled(true); });
}

void PipeListener::send(QLocalSocket* socket, const char* data, qint64 size)
{
    // When nothing of an earlier reply waits before them the bytes go
    // straight to the kernel: one system call, where the socket's own
    // buffered write arms its write notification and disarms it again after
    // the flush (two wake-ups of the thread's event loop). What the kernel
    // does not take at once, and every error, goes the buffered way, so that
    // the socket reports errors and written bytes as it always did.
    qint64 sent = 0;
    if (size <= 0) {
        return;
    }
    if (socket->bytesToWrite() == 0 && socket->state() == QLocalSocket::ConnectedState) {
        ssize_t n = 0;
        do {
            n = ::send(int(socket->socketDescriptor()), data, size_t(size),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        sent = qMax<qint64>(n, 0);
    }
    if (sent < size) {
        socket->write(data + sent, size - sent);
        socket->flush();
    }
}

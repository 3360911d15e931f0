#include "ipcserver.h"

#include "core/clientpool.h"
#include "ipc/pipepath.h"
#include "message/limits.h"
#include "message/message.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QMetaMethod>
#include <QPointer>
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

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

const int maxPendingConnections = 20;
/// Descriptors kept for everything but pipe connections (polling, popups,
/// the toolkit); the pipe takes no more than the limit minus these.
const int reservedDescriptors = 128;
/// A message list is written in parts of at most this many messages or this
/// much text, and the next part only once less than listHighWater bytes wait
/// for the peer; other peers' commands are served between parts.
const int listPartMessages = 500;
const int listPartChars = 128 * 1024;
const qint64 listHighWater = qint64(256) * 1024;
/// How often the server is checked to be still listening.
const int listenCheckMs = 10 * 1000;
/// Freed heap is handed back to the system this long after the pipe's last
/// burst of work.
const int trimDelayMs = 1000;
/// Longer commands and replies are cut short in debug lines.
const int maxLoggedChars = 1000;

QString forLog(const QString& text)
{
    if (text.size() <= maxLoggedChars) {
        return text;
    }
    return text.left(maxLoggedChars) + QStringLiteral("... (%1 characters)").arg(text.size());
}

const char* errorName(QLocalSocket::LocalSocketError error)
{
    switch (error) {
    case QLocalSocket::ConnectionRefusedError:
        return "ConnectionRefusedError";
    case QLocalSocket::PeerClosedError:
        return "PeerClosedError";
    case QLocalSocket::ServerNotFoundError:
        return "ServerNotFoundError";
    case QLocalSocket::SocketAccessError:
        return "SocketAccessError";
    case QLocalSocket::SocketResourceError:
        return "SocketResourceError";
    case QLocalSocket::SocketTimeoutError:
        return "SocketTimeoutError";
    case QLocalSocket::DatagramTooLargeError:
        return "DatagramTooLargeError";
    case QLocalSocket::ConnectionError:
        return "ConnectionError";
    case QLocalSocket::UnsupportedSocketOperationError:
        return "UnsupportedSocketOperationError";
    case QLocalSocket::OperationError:
        return "OperationError";
    case QLocalSocket::UnknownSocketError:
        break;
    }
    return "UnknownSocketError";
}

QString lastError()
{
    return qt_error_string(errno);
}

/// Sends bytes on a connection. When nothing of an earlier reply waits
/// before them they go straight to the kernel: one system call, where the
/// socket's own buffered write arms its write notification and disarms it
/// again after the flush (two wake-ups of the thread's event loop). What the
/// kernel does not take at once, and every error, goes the buffered way, so
/// that the socket reports errors and written bytes as it always did.
void sendNow(QLocalSocket* socket, const char* data, qint64 size)
{
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

/// A reply's UTF-8 bytes sent; the short ASCII replies without a heap copy.
void sendText(QLocalSocket* socket, const QString& text)
{
    char ascii[64];
    if (text.size() <= int(sizeof(ascii))) {
        int n = 0;
        for (const QChar c : text) {
            if (c.unicode() >= 0x80) {
                break;
            }
            ascii[n++] = char(c.unicode());
        }
        if (n == text.size()) {
            sendNow(socket, ascii, n);
            return;
        }
    }
    const QByteArray bytes = text.toUtf8();
    sendNow(socket, bytes.constData(), bytes.size());
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

IpcServer::IpcServer(QObject* parent) : QThread(parent)
{
    setObjectName(QStringLiteral("ipc server thread"));
    moveToThread(this);
}

IpcServer::~IpcServer()
{
    if (lockFd >= 0) {
        ::close(lockFd); // the lock goes with it
    }
}

IpcServer::Claim IpcServer::claimPipe()
{
    if (lockFd >= 0) {
        return claim;
    }
    QString why;
    socketPath = pipePath(&why);
    // Beside the socket, in the same private directory, owner-only. Without
    // such a directory there is no pipe, but still one agent: the lock then
    // lives in a directory of the user's own.
    QString lockName = socketPath + QStringLiteral(".lock");
    if (socketPath.isEmpty()) {
        qDebug().noquote() << "server : no private directory for the pipe:" << why;
        lockName = ownLockPath(&why);
        if (lockName.isEmpty()) {
            qDebug().noquote() << "server : no place for the lock either:" << why;
            return claim = Unclaimed;
        }
    }
    qDebug().noquote() << "server : pipe" << (socketPath.isEmpty() ? "(none)" : socketPath)
                       << ", lock" << lockName;
    const QByteArray lockPath = QFile::encodeName(lockName);
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        qDebug().noquote() << "server : cannot open the pipe's lock file:" << lastError();
        return claim = Unclaimed;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return claim = Taken;
        }
        qDebug().noquote() << "server : cannot lock the pipe's lock file:"
                           << qt_error_string(error);
        return claim = Unclaimed;
    }
    lockFd = fd; // held until the process ends
    return claim = Claimed;
}

bool IpcServer::waitForListening(int timeoutMs)
{
    if (!listenTried.tryAcquire(1, timeoutMs)) {
        return false;
    }
    listenTried.release();
    return listening.loadAcquire() != 0;
}

void IpcServer::run()
{
    server = new QLocalServer();
    connect(this, &QThread::finished, server, &QObject::deleteLater);
    connect(server, &QObject::destroyed, this, [this] { server = nullptr; });
    connect(server, &QLocalServer::newConnection, this, &IpcServer::onClientConnected);
    server->setMaxPendingConnections(maxPendingConnections);
    trimTimer = new QTimer(server);
    trimTimer->setSingleShot(true);
    trimTimer->setInterval(trimDelayMs);
    connect(trimTimer, &QTimer::timeout, server, [] {
#ifdef __GLIBC__
        // Bursts of connections and big commands leave freed heap behind
        // that the allocator keeps; an idle agent hands it back.
        malloc_trim(0);
#endif
    });

    rlimit limit{};
    const rlim_t descriptors = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    maxConnections = int(qBound<rlim_t>(
        16, descriptors > reservedDescriptors ? descriptors - reservedDescriptors : 16,
        limits::maxPipeConnections));
    spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    const bool ok = listenOnPipe();
    if (ok) {
        qDebug() << "server : ipc server started";
        qDebug() << "server : started with no error";
        auto* watch = new QTimer(server);
        connect(watch, &QTimer::timeout, this, &IpcServer::keepListening);
        watch->start(listenCheckMs);
    } else {
        qDebug() << "server : ipc server failed";
    }
    listening.storeRelease(ok ? 1 : 0);
    listenTried.release();

    exec();

    // Lists not yet delivered go back to their queues.
    const QList<QLocalSocket*> pending = lists.keys();
    for (QLocalSocket* socket : pending) {
        endList(socket, false);
    }
    trimTimer = nullptr; // the server, its timers and connections go when the thread finishes
    if (spareFd >= 0) {
        ::close(spareFd);
        spareFd = -1;
    }
}

bool IpcServer::listenOnPipe()
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
        notifier->installEventFilter(this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            // once the server has taken the connection
            QMetaObject::invokeMethod(this, &IpcServer::keepListening, Qt::QueuedConnection);
        });
    }
    return true;
}

bool IpcServer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::SockAct || !server || watched->parent() != server) {
        return QThread::eventFilter(watched, event);
    }
    // The server stops listening, and removes its socket file, when its
    // accept() fails: it accepts only while a descriptor is free.
    if (spareFd < 0) {
        spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const int probe = spareFd >= 0 ? ::fcntl(spareFd, F_DUPFD_CLOEXEC, 0) : -1;
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    refuseConnection(static_cast<QSocketNotifier*>(watched));
    return true;
}

void IpcServer::keepListening()
{
    // After a failed accept() the server has closed its socket and removed
    // its file, yet still counts as listening: the file tells.
    struct stat file = {};
    if (!server || listening.loadAcquire() == 0 ||
        (::stat(QFile::encodeName(socketPath).constData(), &file) == 0 && S_ISSOCK(file.st_mode))) {
        return;
    }
    // This copy holds the pipe: nobody else can have taken it.
    const QString why =
        server->errorString().isEmpty() ? QStringLiteral("file removed") : server->errorString();
    server->close();
    const bool ok = listenOnPipe();
    qDebug().noquote() << "server : the pipe's socket is gone (" + why + "), listening again:"
                       << (ok ? "done" : "failed, trying again at the next check");
}

void IpcServer::onClientConnected()
{
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        if (connections >= maxConnections) {
            delete socket;
            qDebug() << "server : no room for another connection (" << connections
                     << "open ), closed it at once";
            continue;
        }
        qDebug() << "client connected";
        ++connections;
        connect(socket, &QObject::destroyed, this, [this] {
            --connections;
            releaseMemorySoon();
        });
        connect(socket, &QLocalSocket::errorOccurred, this, &IpcServer::socketErrorHandler);
        connect(socket, &QLocalSocket::readyRead, this, &IpcServer::dataReceived);
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            if (lists.contains(socket)) {
                endList(socket, false);
            }
            socket->deleteLater();
        });
        // Reading stops while too many replies wait for the peer, and while a
        // list is written; it goes on once they have been written.
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] {
            if (lists.contains(socket)) {
                continueList(socket);
            } else if (socket->bytesAvailable() > 0) {
                serve(socket);
            }
        });
    }
}

void IpcServer::refuseConnection(QSocketNotifier* notifier)
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
        qDebug() << "server : no descriptor left for another connection (" << connections
                 << "open ), closed it at once";
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

void IpcServer::dataReceived()
{
    auto* socket = qobject_cast<QLocalSocket*>(sender());
    if (!socket) {
        return;
    }
    serve(socket);
}

void IpcServer::serve(QLocalSocket* socket)
{
    if (lists.contains(socket) || socket->bytesToWrite() > limits::maxUnsentReplyBytes) {
        // Hold the peer back: a read buffer no larger than what it already
        // holds makes Qt stop taking its bytes from the kernel.
        socket->setReadBufferSize(1);
        return;
    }
    socket->setReadBufferSize(0); // unlimited again
    // All that has arrived, read at its own size (readAll() grows a buffer in
    // steps of 16 KB and copies it, for every command); a short command needs
    // no heap block.
    const int available = int(qMin<qint64>(socket->bytesAvailable(), limits::maxCommandBytes));
    if (available <= 0) {
        return;
    }
    char small[512];
    QByteArray large;
    char* bytes = small;
    if (available > int(sizeof(small))) {
        large.resize(available);
        bytes = large.data();
        if (available > listPartChars) {
            releaseMemorySoon();
        }
    }
    const int size = int(qMax<qint64>(socket->read(bytes, available), 0));
    // Every byte counts, NUL bytes included; invalid sequences become U+FFFD.
    const QString command = QString::fromUtf8(bytes, size);
    large.clear();
    PipeAnswer reply = answer(command);
    if (!reply.messages.isEmpty()) {
        startList(socket, std::move(reply));
        return;
    }
    qDebug() << "response :" << forLog(reply.reply);
    sendText(socket, reply.reply);
}

PipeAnswer IpcServer::answer(const QString& command)
{
    qDebug() << "receive command:" << forLog(command);
    PipeAnswer result = answerCommand(command, clientPool);
    if (Message* message = result.popup) {
        result.popup = nullptr;
        // The receiver lives in the main thread and owns the message from now on.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            message->moveToThread(app->thread());
        }
        if (isSignalConnected(QMetaMethod::fromSignal(&IpcServer::onPopup))) {
            emit onPopup(message);
        } else {
            delete message; // nobody would own it
        }
    }
    return result;
}

QString IpcServer::handleCommond(const QString& command)
{
    PipeAnswer reply = answer(command);
    return takeReplyText(reply);
}

void IpcServer::startList(QLocalSocket* socket, PipeAnswer answer)
{
    qDebug() << "response : a list of" << answer.messages.size() << "messages, written in parts";
    ReplyList& list = lists[socket];
    list.answer = std::move(answer);
    list.stall = new QTimer(socket);
    list.stall->setSingleShot(true);
    list.stall->start(limits::listStallMs);
    connect(list.stall, &QTimer::timeout, socket, [socket] {
        qDebug() << "server : the peer took no part of its list for" << limits::listStallMs << "ms";
        socket->abort();
    });
    socket->write("[", 1);
    continueList(socket);
}

void IpcServer::continueList(QLocalSocket* socket)
{
    auto it = lists.find(socket);
    if (it == lists.end()) {
        return;
    }
    ReplyList& list = *it;
    list.stall->start(limits::listStallMs); // the peer is taking it
    const QList<Message*>& messages = list.answer.messages;
    if (list.written == messages.size()) {
        if (socket->bytesToWrite() == 0) {
            endList(socket, true);
        }
        return;
    }
    if (list.partQueued || socket->bytesToWrite() > listHighWater) {
        return; // goes on with the queued part or at the next bytesWritten
    }

    // The same bytes as Message::listToJson of the whole list: the parts'
    // arrays without their brackets, joined by commas.
    int end = list.written;
    int chars = 0;
    while (end < messages.size() && end - list.written < listPartMessages &&
           chars < listPartChars) {
        const Message* m = messages.at(end++);
        chars += m->summary.size() + m->title.size() + m->url.size() + 256;
    }
    QByteArray part = Message::listToJson(messages.mid(list.written, end - list.written)).toUtf8();
    part = part.mid(1, part.size() - 2);
    if (list.written > 0) {
        part.prepend(',');
    }
    list.written = end;
    if (end == messages.size()) {
        part.append(']');
    }
    socket->write(part);

    // Other peers' commands are served before the next part.
    list.partQueued = true;
    QPointer<QLocalSocket> guard(socket);
    QMetaObject::invokeMethod(
        this,
        [this, guard] {
            auto next = guard ? lists.find(guard) : lists.end();
            if (next != lists.end()) {
                next->partQueued = false;
                continueList(guard);
            }
        },
        Qt::QueuedConnection);
}

void IpcServer::endList(QLocalSocket* socket, bool delivered)
{
    ReplyList list = lists.take(socket);
    list.stall->deleteLater(); // this may run inside its own timeout
    QList<Message*>& messages = list.answer.messages;
    if (delivered) {
        qDebug() << "response : list of" << messages.size() << "messages written";
        qDeleteAll(messages);
    } else {
        qDebug() << "response : list not taken, its" << messages.size()
                 << "messages go back to the queue";
        clientPool.giveBack(list.answer.from, messages);
    }
    messages.clear();
    releaseMemorySoon();
    if (delivered && socket->bytesAvailable() > 0) {
        serve(socket);
    }
}

void IpcServer::releaseMemorySoon()
{
    if (trimTimer) {
        trimTimer->start();
    }
}

void IpcServer::socketErrorHandler(QLocalSocket::LocalSocketError error)
{
    qDebug() << "server : error:" << errorName(error);
}

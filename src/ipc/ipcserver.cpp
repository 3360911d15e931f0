#include "ipcserver.h"

#include "core/clientpool.h"
#include "ipc/pipepath.h"
#include "message/limits.h"
#include "message/message.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaMethod>
#include <QPointer>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

/// A message list is written in parts of at most this many messages or this
/// much text, and the next part only once less than listHighWater bytes wait
/// for the peer; other peers' commands are served between parts.
const int listPartMessages = 500;
const int listPartChars = 128 * 1024;
const qint64 listHighWater = qint64(256) * 1024;
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
            PipeListener::send(socket, ascii, n);
            return;
        }
    }
    const QByteArray bytes = text.toUtf8();
    PipeListener::send(socket, bytes.constData(), bytes.size());
}

} // namespace

IpcServer::IpcServer(QObject* parent) : QThread(parent), listener(new PipeListener(this))
{
    setObjectName(QStringLiteral("ipc server thread"));
    moveToThread(this); // and the listener with it
    connect(listener, &PipeListener::accepted, this, &IpcServer::onClientConnected);
}

IpcServer::~IpcServer() = default;

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
    trimTimer = new QTimer();
    trimTimer->setSingleShot(true);
    trimTimer->setInterval(trimDelayMs);
    connect(trimTimer, &QTimer::timeout, this, [] {
#ifdef __GLIBC__
        // Bursts of connections and big commands leave freed heap behind
        // that the allocator keeps; an idle agent hands it back.
        malloc_trim(0);
#endif
    });
    maxConnections = listener->maxConnections();

    const bool ok = listener->listen();
    if (ok) {
        qDebug() << "server : ipc server started";
        qDebug() << "server : started with no error";
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
    listener->close(); // the connections go with it, in this thread
    delete trimTimer;
    trimTimer = nullptr;
}

void IpcServer::onClientConnected(QLocalSocket* socket)
{
    if (connections >= maxConnections) {
        delete socket;
        qDebug() << "server : no room for another connection (" << connections
                 << "open ), closed it at once";
        return;
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

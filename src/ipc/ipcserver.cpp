#include "ipcserver.h"

#include "core/clientpool.h"
#include "ipc/pipecommand.h"
#include "ipc/pipepath.h"
#include "message/message.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QMetaMethod>

#include <cerrno>
#include <sys/stat.h>

namespace {

const int maxPendingConnections = 20;
/// A peer that sends without reading its replies is not read any further
/// while this many reply bytes wait for it; the kernel then holds its sends
/// back, so such a peer cannot make the agent grow.
const qint64 maxUnsentReplyBytes = 1024 * 1024;
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

/// True when the socket file at path is left over from an agent that died
/// without closing it: nobody accepts connections on it any more. An agent
/// that is alive but whose backlog is full does not refuse, it makes the
/// caller wait, so it is never taken for a dead one.
bool isStaleEndpoint(const QString& path)
{
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(500)) {
        probe.abort();
        return false;
    }
    return probe.error() == QLocalSocket::ConnectionRefusedError;
}

} // namespace

IpcServer::IpcServer(QObject* parent) : QThread(parent)
{
    setObjectName(QStringLiteral("ipc server thread"));
    moveToThread(this);
}

void IpcServer::run()
{
    server = new QLocalServer();
    connect(this, &QThread::finished, server, &QObject::deleteLater);
    connect(server, &QLocalServer::newConnection, this, &IpcServer::onClientConnected);
    server->setMaxPendingConnections(maxPendingConnections);

    if (listenOnPipe()) {
        qDebug() << "server : ipc server started";
        qDebug() << "server : started with no error";
    } else {
        qDebug() << "server : ipc server failed";
    }
    exec();
}

bool IpcServer::listenOnPipe()
{
    QString why;
    const QString path = pipePath(&why);
    if (path.isEmpty()) {
        qDebug().noquote() << "server : no private directory for the pipe:" << why;
        return false;
    }

    // Listening without socket options: with them, Qt replaces an existing
    // socket file, even a live agent's. The file is restricted below.
    if (!server->listen(path)) {
        if (server->serverError() != QAbstractSocket::AddressInUseError) {
            qDebug().noquote() << "server : listen:" << server->errorString();
            return false;
        }
        if (!isStaleEndpoint(path)) {
            qDebug().noquote() << "server : another agent answers on" << path;
            return false;
        }
        QLocalServer::removeServer(path);
        qDebug().noquote() << QStringLiteral("server : remove pipe line : ") + path;
        if (!server->listen(path)) {
            qDebug().noquote() << "server : listen:" << server->errorString();
            return false;
        }
    }

    if (::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) != 0) {
        qDebug().noquote() << "server : cannot make the pipe owner-only:" << qt_error_string(errno);
        server->close();
        return false;
    }
    return true;
}

void IpcServer::onClientConnected()
{
    qDebug() << "client connected";
    QLocalSocket* socket = server->nextPendingConnection();
    if (!socket) {
        return;
    }
    connect(socket, &QLocalSocket::errorOccurred, this, &IpcServer::socketErrorHandler);
    connect(socket, &QLocalSocket::readyRead, this, &IpcServer::dataReceived);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Reading stops while too many replies wait for the peer; it goes on
    // once they have been written.
    connect(socket, &QLocalSocket::bytesWritten, this, [this, socket]() {
        if (socket->bytesAvailable() > 0) {
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
    if (socket->bytesToWrite() > maxUnsentReplyBytes) {
        // Hold the peer back: a read buffer no larger than what it already
        // holds makes Qt stop taking its bytes from the kernel.
        socket->setReadBufferSize(1);
        return;
    }
    socket->setReadBufferSize(0); // unlimited again
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty()) {
        return;
    }
    // Every byte counts, NUL bytes included; invalid sequences become U+FFFD.
    const QString command = QString::fromUtf8(bytes.constData(), bytes.size());
    const QString reply = handleCommond(command);
    qDebug() << "response :" << forLog(reply);
    socket->write(reply.toUtf8());
    socket->flush();
}

QString IpcServer::handleCommond(const QString& command)
{
    qDebug() << "receive command:" << forLog(command);
    const PipeAnswer answer = answerCommand(command, clientPool);
    if (Message* message = answer.popup) {
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
    return answer.reply;
}

void IpcServer::socketErrorHandler(QLocalSocket::LocalSocketError error)
{
    qDebug() << "server : error:" << errorName(error);
}

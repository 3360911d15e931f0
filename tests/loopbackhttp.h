// The common part of the tests' HTTP servers on loopback: accepting
// connections, cutting requests at the end of their head, and recording each
// request target. What a request gets back is up to the subclass.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class LoopbackHttp : public QObject
{
public:
    explicit LoopbackHttp(quint16 port = 0)
    {
        listening = server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, &LoopbackHttp::accept);
    }

    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString& path = QString()) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }

    bool listening = false;
    /// Every request target ("/push/channel/polling/detect?..."), as received.
    QStringList requests;

protected:
    /// Called once per request, after its target was recorded.
    virtual void answer(QTcpSocket* socket, const QString& target) = 0;

    /// Writes a whole response and closes the connection after it.
    static void respond(QTcpSocket* socket, int status, const QByteArray& contentType,
                        const QByteArray& body)
    {
        socket->write(
            "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: " + contentType +
            "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

private:
    void accept()
    {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            connect(s, &QTcpSocket::readyRead, this, [this, s] { read(s); });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                buffers.remove(s);
                s->deleteLater();
            });
        }
    }

    void read(QTcpSocket* s)
    {
        QByteArray buffer = buffers.take(s) + s->readAll();
        int end;
        while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = buffer.left(end);
            buffer.remove(0, end + 4);
            const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
            const QString target = words.size() > 1 ? QString::fromLatin1(words.at(1)) : QString();
            requests << target;
            answer(s, target);
        }
        if (!buffer.isEmpty()) {
            buffers.insert(s, buffer);
        }
    }

    // Before the server: its sockets still report their end while it goes.
    QHash<QTcpSocket*, QByteArray> buffers;
    QTcpServer server;
};

// A push service on loopback, in the test process: answers each GET with what
// `answer` gives for its path and query, and records the requests.
#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <functional>

class FakePush : public QObject
{
public:
    /// port 0: any free port. The agent built for the tests polls
    /// testPort(), chosen when the build was configured.
    explicit FakePush(quint16 port = 0)
    {
        // A fixed port may still be held for a moment by a service that is ending.
        (void)QTest::qWaitFor(
            [&] { return server.listen(QHostAddress::LocalHost, port) || !port; });
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    static quint16 testPort()
    {
        return quint16(qEnvironmentVariableIntValue("ZAV_TEST_PUSH_PORT"));
    }

    QString base() const
    {
        return QStringLiteral("http://127.0.0.1:%1/push").arg(server.serverPort());
    }
    /// Path and query -> body. A body that starts with "HTTP/" is the whole
    /// response, headers included.
    std::function<QByteArray(const QString&)> answer = [](const QString&) {
        return QByteArray(R"({"code":800,"data":0})");
    };
    /// Answers for which this holds never end: `filler` follows them again
    /// and again for as long as the peer reads, or once every `everyMs`.
    std::function<bool(const QString&)> endless = [](const QString&) { return false; };
    QByteArray filler;
    int everyMs = 0;
    QStringList requests; ///< path and query, in arrival order
    QTcpServer server;

private:
    void serve(QTcpSocket* socket)
    {
        QByteArray& buffer = pending[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n")) {
            return;
        }
        const QString target = QString::fromUtf8(buffer.split(' ').value(1));
        pending.remove(socket);
        requests.append(target);
        const QByteArray body = answer(target);
        const QByteArray head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
        socket->write(body.startsWith("HTTP/") ? body : head + body); // the body ends at the close
        if (!endless(target)) {
            socket->disconnectFromHost();
            return;
        }
        if (everyMs > 0) {
            auto* trickle = new QTimer(socket);
            connect(trickle, &QTimer::timeout, socket, [this, socket] { socket->write(filler); });
            trickle->start(everyMs);
            return;
        }
        connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] {
            if (socket->bytesToWrite() < filler.size()) {
                socket->write(filler);
            }
        });
    }
    QHash<QTcpSocket*, QByteArray> pending;
};

// An in-process push service on loopback for the polling tests: records every
// request target and answers it with whatever the test decides, or holds it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtGlobal>

#include <functional>

struct FakeAnswer
{
    int status = 200;
    QByteArray body = R"({"code":800,"data":0})";
    bool hold = false; ///< keep the request open without answering
};

class FakeService : public QObject
{
    Q_OBJECT

public:
    FakeService()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, &FakeService::accept);
    }

    /// The base URL the agent would use for this service.
    QString baseUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1/push").arg(server.serverPort());
    }

    /// Queues answers given in order to the next requests; afterwards
    /// `fallback` answers.
    void queue(const QByteArray& body, int status = 200)
    {
        FakeAnswer a;
        a.body = body;
        a.status = status;
        answers.append(a);
    }

    /// Answers every held request with body and closes it.
    void release(const QByteArray& body)
    {
        for (const QPointer<QTcpSocket>& s : qAsConst(held)) {
            if (s) {
                write(s, 200, body);
            }
        }
        held.clear();
    }

    /// Sockets of requests that are held; null once the client went away.
    QList<QPointer<QTcpSocket>> held;
    /// Every request target ("/push/channel/polling/detect?..."), as received.
    QStringList requests;
    FakeAnswer fallback;
    /// When set, decides the answer of every request before the queue.
    std::function<FakeAnswer(const QString& target)> responder;

private:
    void accept()
    {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            connect(s, &QTcpSocket::readyRead, this, [this, s] { read(s); });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    }

    void read(QTcpSocket* s)
    {
        QByteArray& buffer = buffers[s];
        buffer += s->readAll();
        int end;
        while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = buffer.left(end);
            buffer.remove(0, end + 4);
            const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
            const QString target = words.size() > 1 ? QString::fromLatin1(words.at(1)) : QString();
            requests << target;
            FakeAnswer a = fallback;
            if (responder) {
                a = responder(target);
            } else if (!answers.isEmpty()) {
                a = answers.takeFirst();
            }
            if (a.hold) {
                held << s;
            } else {
                write(s, a.status, a.body);
            }
        }
    }

    static void write(QTcpSocket* s, int status, const QByteArray& body)
    {
        s->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\n" +
                 "Content-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    QTcpServer server;
    QList<FakeAnswer> answers;
    QHash<QTcpSocket*, QByteArray> buffers;
};

/// Collects the debug and warning lines written while it exists, and passes
/// them on to the handler that was installed before.
class LogCapture
{
public:
    LogCapture()
    {
        current = this;
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    bool contains(const QString& text) const
    {
        QMutexLocker lock(&mutex);
        for (const QString& l : lines) {
            if (l.contains(text)) {
                return true;
            }
        }
        return false;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& msg)
    {
        if (current) {
            QMutexLocker lock(&current->mutex);
            current->lines << msg;
        }
        if (previous) {
            previous(type, context, msg);
        }
    }

    mutable QMutex mutex;
    QStringList lines;
    static inline LogCapture* current = nullptr;
    static inline QtMessageHandler previous = nullptr;
};

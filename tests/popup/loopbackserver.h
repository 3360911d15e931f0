// A small HTTP server on loopback for the popup tests: records every request
// target and answers each with one fixed page.
#pragma once

#include <QDesktopServices>
#include <QHash>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

class LoopbackServer : public QObject
{
    Q_OBJECT

public:
    explicit LoopbackServer(quint16 port = 0)
    {
        listening = server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, &LoopbackServer::accept);
    }

    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString& path = QString()) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }

    bool listening = false;
    QStringList requests; ///< request targets ("/push/channel/..."), as received
    QByteArray contentType = "application/json";
    QByteArray body = "{}";

signals:
    void requested(const QString& target);

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
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const QByteArray head = buffer.left(end);
        buffers.remove(s);
        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
        const QString target = words.size() > 1 ? QString::fromLatin1(words.at(1)) : QString();
        requests << target;
        s->write("HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
                 "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
                 "\r\n\r\n" + body);
        s->disconnectFromHost();
        emit requested(target);
    }

    QTcpServer server;
    QHash<QTcpSocket*, QByteArray> buffers;
};

/// Receives the URLs that QDesktopServices::openUrl hands to the browser.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    UrlRecorder()
    {
        for (const char* scheme : {"http", "https", "file", "mailto"}) {
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
        }
    }
    ~UrlRecorder() override
    {
        for (const char* scheme : {"http", "https", "file", "mailto"}) {
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        }
    }
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

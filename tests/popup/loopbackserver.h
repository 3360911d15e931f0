// A small HTTP server on loopback for the popup tests: records every request
// target and answers each with one fixed page.
#pragma once

#include "loopbackhttp.h"

#include <QDesktopServices>
#include <QUrl>

class LoopbackServer : public LoopbackHttp
{
    Q_OBJECT

public:
    explicit LoopbackServer(quint16 port = 0) : LoopbackHttp(port) {}

    QByteArray contentType = "application/json";
    QByteArray body = "{}";

signals:
    void requested(const QString& target);

protected:
    void answer(QTcpSocket* socket, const QString& target) override
    {
        respond(socket, 200, contentType, body);
        emit requested(target);
    }
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

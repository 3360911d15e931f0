#include "httpclient.h"

#include "message/limits.h"
#include "urlpolicy.h"

#include <QDebug>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

struct HttpClient::Reading
{
    enum Stage
    {
        Status,    ///< the status line
        Headers,   ///< the header section
        Body,      ///< a body of a known length, or one that ends with the connection
        ChunkSize, ///< a chunk-size line
        ChunkData, ///< a chunk and the line end after it
        Trailers   ///< the trailer section after the last chunk
    };
    Stage stage = Status;
    QByteArray buffer;
    int pos = 0;     ///< where the unread part of buffer starts
    int scanned = 0; ///< from pos, bytes known to hold no line end
    int budget =
        limits::maxHeadBytes; ///< bytes left for the head, a chunk-size line or the trailers
    int status = 0;
    qint64 left = -1; ///< of the body (Content-Length) or of the chunk; -1: up to the close
    bool chunked = false;
    QByteArray body;

    /// Takes a line: 1 when one was taken, 0 when it is not whole yet, -1
    /// when it is past the budget.
    int takeLine(QByteArray* line)
    {
        const int end = buffer.indexOf('\n', pos + scanned);
        if (end < 0) {
            scanned = buffer.size() - pos;
            return scanned > budget ? -1 : 0;
        }
        const int size = end + 1 - pos;
        if (size > budget) {
            return -1;
        }
        budget -= size;
        *line = buffer.mid(pos, end - pos);
        if (line->endsWith('\r')) {
            line->chop(1);
        }
        pos = end + 1;
        scanned = 0;
        return 1;
    }

    /// Takes body bytes, at most left of them (all there are if left < 0);
    /// false when the body grows past its cap.
    bool takeBody()
    {
        const qint64 available = buffer.size() - pos;
        const int n = int(left < 0 ? available : qMin(left, available));
        if (body.size() + qint64(n) > limits::maxAnswerBytes) {
            qDebug() << "answer larger than" << limits::maxAnswerBytes << "bytes, abandoned";
            return false;
        }
        body.append(buffer.constData() + pos, n);
        pos += n;
        if (left > 0) {
            left -= n;
        }
        return true;
    }
};

namespace {

/// Outcome of reading what has arrived so far.
enum class Read
{
    More,  ///< the answer goes on
    Whole, ///< the answer is complete
    Bad    ///< the answer is broken or past a limit
};

} // namespace

HttpClient::HttpClient(QObject* parent, int timeLimitMs)
    : QObject(parent), contexts(new QMap<QTcpSocket*, QObject*>()), timeLimitMs(timeLimitMs)
{
}

HttpClient::~HttpClient()
{
    // Requests in flight end here, silently: their sockets would otherwise
    // report their close to a client that is gone.
    for (auto it = readings.cbegin(); it != readings.cend(); ++it) {
        it.key()->disconnect(this);
        delete it.key();
        delete it.value();
    }
    delete contexts;
}

void HttpClient::get(const QString& url, QObject* context)
{
    const QUrl target(url, QUrl::TolerantMode);
    const bool secure = target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const bool web = urlpolicy::isWebUrl(target);
    if (!web || (secure && !QSslSocket::supportsSsl())) {
        // A file: or other local URL would be read in this thread, and a FIFO
        // would block it for good.
        qDebug().noquote() << (web ? "not requested, no TLS here:"
                                   : "not requested, not an http or https URL:")
                           << url.left(200);
        QTimer::singleShot(0, this, [this, context] {
            if (context && context->parent() == this) {
                delete context;
            }
            qDebug() << "error";
            emit onError(QStringLiteral("error"));
        });
        return;
    }
    QTcpSocket* socket = secure ? new QSslSocket(this) : new QTcpSocket(this);
    // The socket reads ahead only this far: each read is bounded, and the
    // answer is taken in pieces.
    socket->setReadBufferSize(qint64(64) * 1024);
    readings.insert(socket, new Reading());
    if (context) {
        contexts->insert(socket, context);
        if (context->parent() == this) {
            ownedContexts.insert(socket);
        }
    }

    QString host = target.host(QUrl::FullyEncoded);
    if (host.contains(QLatin1Char(':'))) {
        host = QLatin1Char('[') + host + QLatin1Char(']'); // IPv6
    }
    const int port = target.port(secure ? 443 : 80);
    if (target.port() >= 0) {
        host += QLatin1Char(':') + QString::number(port);
    }
    QByteArray path =
        target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!path.startsWith('/')) {
        path.prepend('/');
    }
    // Asked for uncompressed: a small compressed answer could inflate to
    // any size.
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: " + host.toLatin1() +
                               "\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n";
    const auto send = [socket, request] { socket->write(request); };
    if (secure) {
        connect(static_cast<QSslSocket*>(socket), &QSslSocket::encrypted, this, send);
        static_cast<QSslSocket*>(socket)->connectToHostEncrypted(target.host(), quint16(port));
    } else {
        connect(socket, &QTcpSocket::connected, this, send);
        socket->connectToHost(target.host(), quint16(port));
    }
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readAnswer(socket); });
    // A refused or broken connection, or the close that ends an answer.
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { readAnswer(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError) {
                    readAnswer(socket); // decided once it is disconnected
                } else {
                    onReply(socket, false);
                }
            });
    // Closed here, in the thread that reads it: nothing reads on afterwards.
    QTimer::singleShot(timeLimitMs, socket, [this, socket] {
        if (readings.contains(socket)) {
            qDebug() << "no complete answer within" << timeLimitMs << "ms, abandoned";
            onReply(socket, false);
        }
    });
}

void HttpClient::readAnswer(QTcpSocket* socket)
{
    Reading* r = readings.value(socket);
    if (!r) {
        return; // already ended
    }
    r->buffer += socket->readAll();
    Read outcome = Read::More;
    QByteArray line;
    while (outcome == Read::More) {
        int got = 0;
        switch (r->stage) {
        case Reading::Status:
            got = r->takeLine(&line);
            if (got > 0) {
                const QList<QByteArray> parts = line.split(' ');
                bool ok = false;
                r->status = parts.value(1).toInt(&ok);
                outcome = line.startsWith("HTTP/1.") && ok && r->status >= 100 && r->status < 600
                              ? Read::More
                              : Read::Bad;
                r->stage = Reading::Headers;
            }
            break;
        case Reading::Headers:
            got = r->takeLine(&line);
            if (got > 0 && !line.isEmpty()) {
                const int colon = line.indexOf(':');
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                bool ok = true;
                if (name == "content-length") {
                    r->left = value.toLongLong(&ok);
                    ok = ok && r->left >= 0;
                } else if (name == "transfer-encoding") {
                    r->chunked = value.toLower().contains("chunked");
                }
                outcome = ok ? Read::More : Read::Bad;
            } else if (got > 0 && r->status < 200) { // an interim answer: the real one follows
                r->stage = Reading::Status;
                r->left = -1;
                r->chunked = false;
            } else if (got > 0 && (r->status == 204 || r->status == 304 || r->left == 0)) {
                outcome = Read::Whole;
            } else if (got > 0 && r->chunked) {
                r->stage = Reading::ChunkSize;
                r->budget = limits::maxHeadBytes;
            } else if (got > 0) {
                if (r->left > limits::maxAnswerBytes) {
                    qDebug() << "answer larger than" << limits::maxAnswerBytes
                             << "bytes, abandoned";
                    outcome = Read::Bad;
                }
                r->stage = Reading::Body;
            }
            break;
        case Reading::Body:
            if (!r->takeBody()) {
                outcome = Read::Bad;
            } else if (r->left == 0) {
                outcome = Read::Whole;
            }
            got = r->left == 0 ? 1 : 0; // else wait for more (or the close)
            break;
        case Reading::ChunkSize:
            got = r->takeLine(&line);
            if (got > 0) {
                bool ok = false;
                const int extensions = line.indexOf(';');
                r->left = line.left(extensions < 0 ? line.size() : extensions)
                              .trimmed()
                              .toLongLong(&ok, 16);
                if (!ok || r->left < 0) {
                    outcome = Read::Bad;
                } else if (r->left == 0) {
                    r->stage = Reading::Trailers;
                    r->budget = limits::maxHeadBytes;
                } else {
                    r->stage = Reading::ChunkData;
                }
            }
            break;
        case Reading::ChunkData:
            if (r->left > 0) {
                outcome = r->takeBody() ? Read::More : Read::Bad;
                got = r->left == 0 ? 1 : 0;
                break;
            }
            r->budget = limits::maxHeadBytes;
            got = r->takeLine(&line); // the line end after the chunk
            if (got > 0) {
                r->stage = Reading::ChunkSize;
                r->budget = limits::maxHeadBytes;
            }
            break;
        case Reading::Trailers:
            got = r->takeLine(&line);
            if (got > 0 && line.isEmpty()) {
                outcome = Read::Whole;
            }
            break;
        }
        if (got < 0) {
            qDebug() << "answer line longer than" << limits::maxHeadBytes << "bytes, abandoned";
            outcome = Read::Bad;
        } else if (got == 0 && outcome == Read::More) {
            break; // wait for more
        }
    }
    r->buffer.remove(0, r->pos);
    r->pos = 0;
    if (outcome == Read::More && socket->state() == QAbstractSocket::UnconnectedState) {
        // The connection ended: only a body that lasts until the close is whole.
        const bool untilClose = r->stage == Reading::Body && r->left < 0;
        outcome = untilClose ? Read::Whole : Read::Bad;
    }
    if (outcome != Read::More) {
        onReply(socket, outcome == Read::Whole && r->status < 400);
    }
}

void HttpClient::onReply(QTcpSocket* socket, bool ok)
{
    Reading* r = readings.take(socket);
    if (!r) {
        return;
    }
    socket->disconnect(this);
    socket->abort(); // nothing more is read, whatever the peer still sends
    socket->deleteLater();
    QObject* context = contexts->take(socket);
    const bool owned = ownedContexts.remove(socket);
    if (ok) {
        QString content = QString::fromUtf8(r->body);
        delete r;
        emit onComplete(content, context);
    } else {
        delete r;
        qDebug() << "error";
        emit onError(QStringLiteral("error"));
    }
    if (owned) {
        context->deleteLater();
    }
}

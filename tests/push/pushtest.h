// What the push service's tests share: a fresh store of either kind, the
// service as a real process, and plain HTTP requests to it.
#pragma once

#include <libpq-fe.h>

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

/// The test server started by the CTest fixture (scripts/pg-test.sh).
inline QString pgBase()
{
    return qEnvironmentVariable("ZAV_TEST_PG");
}

/// A new, empty PostgreSQL database on the test server; its URL (empty when
/// the server cannot be reached).
inline QString freshPgDatabase(const QString& name)
{
    PGconn* conn = PQconnectdb(pgBase().toUtf8().constData());
    const bool up = PQstatus(conn) == CONNECTION_OK;
    if (up) {
        for (const QString& sql : {QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)"),
                                   QStringLiteral("CREATE DATABASE %1")}) {
            PQclear(PQexec(conn, sql.arg(name).toUtf8().constData()));
        }
    }
    PQfinish(conn);
    QString url = pgBase();
    return up ? url.replace(QLatin1String("/postgres?"), "/" + name + "?") : QString();
}

/// A store of the kind named ("sqlite" or "postgresql"), fresh for the test.
class TestStore
{
public:
    TestStore(const QString& kind, const QString& name)
    {
        url = kind == QLatin1String("sqlite") ? "sqlite:" + dir.filePath(name + ".db")
                                              : freshPgDatabase(name);
    }
    QString url;
    QTemporaryDir dir;
};

struct HttpResult
{
    int status = 0; ///< 0: no answer
    QByteArray body;
};

/// One request on a connection of its own, answered within ms.
inline HttpResult http(quint16 port, const QByteArray& method, const QByteArray& target,
                       const QByteArray& body = {}, const QByteArray& headers = {}, int ms = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    HttpResult result;
    if (!socket.waitForConnected(ms)) {
        return result;
    }
    socket.write(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                 headers + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
                 body);
    QByteArray all;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < ms) {
        socket.waitForReadyRead(ms - int(timer.elapsed()));
        all += socket.readAll();
    }
    all += socket.readAll();
    const int split = all.indexOf("\r\n\r\n");
    if (!all.startsWith("HTTP/1.1 ") || split < 0) {
        return result;
    }
    result.status = all.mid(9, 3).toInt();
    result.body = all.mid(split + 4);
    return result;
}

/// zav-push serve as a process, on free ports.
class PushProcess
{
public:
    explicit PushProcess(const QString& store, const QStringList& extra = {},
                         const QString& listenAt = QStringLiteral("127.0.0.1:0"))
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(ZAV_PUSH, QStringList{"serve", "--db", store, "--listen", listenAt,
                                            "--admin-listen", "127.0.0.1:0"} +
                                    extra);
        QByteArray line;
        while (!line.contains('\n') && process.waitForReadyRead(15000)) {
            line += process.readAllStandardOutput();
        }
        const QRegularExpressionMatch m =
            QRegularExpression("http://[^:]+:(\\d+)/\\S*, admin on http://[^:]+:(\\d+)/")
                .match(QString::fromUtf8(line));
        port = quint16(m.captured(1).toUInt());
        adminPort = quint16(m.captured(2).toUInt());
        if (!port) {
            qWarning() << "zav-push did not start:" << line << process.readAllStandardError();
        }
    }
    ~PushProcess()
    {
        process.kill();
        process.waitForFinished();
    }
    HttpResult agent(const QByteArray& what, const QByteArray& query)
    {
        return http(port, "GET", "/push/channel/polling/" + what + "?" + query);
    }
    HttpResult admin(const QByteArray& method, const QByteArray& path, const QByteArray& body = {},
                     const QByteArray& token = {})
    {
        return http(adminPort, method, path, body,
                    token.isEmpty() ? QByteArray() : "Authorization: Bearer " + token + "\r\n");
    }
    QProcess process;
    quint16 port = 0;
    quint16 adminPort = 0;
};

/// Runs zav-push with arguments; its exit code, stdout in out.
inline int runPush(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr)
{
    QProcess p;
    p.start(ZAV_PUSH, args);
    p.waitForFinished(30000);
    if (out) {
        *out = p.readAllStandardOutput();
    }
    if (err) {
        *err = p.readAllStandardError();
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

/// A write token for the store.
inline QByteArray writeToken(const QString& store)
{
    QByteArray out;
    runPush({"token", "add", "admin", "--role", "write", "--db", store}, &out);
    return out.trimmed();
}
